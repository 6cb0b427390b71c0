#!/usr/bin/env bash
# stress.sh TESTS [FILTER]
#
# The randomized runs of receive, transmit and control on 2 and 4 simulated
# processors, under both schedules, over seeds 1..BRISUM_STRESS_SEEDS (3
# unless set): each a run of the test program TESTS with the world's
# processors set from the environment. A failure prints its seed and the
# command that replays it, and the run goes on to report every failing
# seed; the exit status is 1 when any failed. Each run records its tests'
# timelines (BRISUM_TIMELINE_DIR): a failing test's page is printed beside
# the replay command, and kept; the pages of a clean run are removed.
set -uo pipefail
tests=${1:?usage: stress.sh TESTS [FILTER]}
filter=${2:-'ReadRandomized.*:*RandomizedRun*:Seeds/ControlRandom.*'}
seeds=${BRISUM_STRESS_SEEDS:-3}
log=$(mktemp)
pages=$(mktemp -d "${TMPDIR:-/tmp}/brisum-timelines.XXXXXX")
trap 'rm -f "$log"' EXIT
failed=0
runs=0
for processors in 2 4; do
    for schedule in random priority; do
        for ((seed = 1; seed <= seeds; seed++)); do
            runs=$((runs + 1))
            dir="$pages/p$processors-$schedule-seed$seed"
            mkdir -p "$dir"
            if ! BRISUM_TIMELINE_DIR=$dir BRISUM_PROCESSORS=$processors BRISUM_SCHEDULE=$schedule BRISUM_SCHEDULE_SEED=$seed \
                timeout 300 "$tests" --gtest_filter="$filter" --gtest_brief=1 >"$log" 2>&1; then
                failed=$((failed + 1))
                echo "stress: seed $seed, $schedule schedule, $processors processors failed:"
                grep -E "Failure|FAILED|VERIFIER|verifier:|Expected|Actual|Which is" "$log" | head -20
                echo "  replay: BRISUM_PROCESSORS=$processors BRISUM_SCHEDULE=$schedule BRISUM_SCHEDULE_SEED=$seed" \
                    "$tests --gtest_filter='$filter'"
                for page in "$dir"/*.html; do
                    [[ -e $page ]] && echo "  timeline: $page"
                done
            else
                rm -rf "$dir"
            fi
        done
    done
done
echo "stress: $runs runs, $failed failed"
[[ $failed -eq 0 ]] && rm -rf "$pages"
[[ $failed -eq 0 ]]
