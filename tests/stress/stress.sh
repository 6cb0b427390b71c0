#!/usr/bin/env bash
# stress.sh TESTS [FILTER]
#
# The randomized runs of receive, transmit, control and PnP on 2 and 4
# simulated processors, under both schedules, over schedule seeds
# 1..BRISUM_STRESS_SEEDS (3 unless set): for each processor count and
# schedule one process of the test program TESTS repeats the runs once per
# seed (the test programs' main moves every world to the next seed at each
# repetition). A failure prints its seed and the command that replays it,
# and the run goes on to report every failing seed; the exit status is 1
# when any failed. The lock-order verifier keeps one graph for each whole
# process (BRISUM_LOCK_GRAPH): an order in one run that inverts an order of
# another is a failure too. Each run records its tests' timelines
# (BRISUM_TIMELINE_DIR): a failing test's page is printed beside the replay
# command, and kept; the pages of a clean run are removed.
set -uo pipefail
tests=${1:?usage: stress.sh TESTS [FILTER]}
filter=${2:-'ReadRandomized.*:*RandomizedRun*:Seeds/ControlRandom.*'}
seeds=${BRISUM_STRESS_SEEDS:-3}
log=$(mktemp)
pages=$(mktemp -d "${TMPDIR:-/tmp}/brisum-timelines.XXXXXX")
trap 'rm -f "$log"' EXIT
failed=0
runs=0
# report SEED: one failing seed of the current processors and schedule.
report() {
    failed=$((failed + 1))
    echo "stress: seed $1, $schedule schedule, $processors processors failed:"
    grep -E "Failure|FAILED|VERIFIER|verifier:|Expected|Actual|Which is|failed on seed $1\$" "$log" | head -20
    echo "  replay: BRISUM_PROCESSORS=$processors BRISUM_SCHEDULE=$schedule BRISUM_SCHEDULE_SEED=$1" \
        "$tests --gtest_filter='$filter'"
    for page in "$dir"/*-seed"$1".html; do
        [[ -e $page ]] && echo "  timeline: $page"
    done
}
for processors in 2 4; do
    for schedule in random priority; do
        runs=$((runs + seeds))
        dir="$pages/p$processors-$schedule"
        mkdir -p "$dir"
        first=1
        while ((first <= seeds)); do
            BRISUM_LOCK_GRAPH=1 BRISUM_TIMELINE_DIR=$dir BRISUM_PROCESSORS=$processors BRISUM_SCHEDULE=$schedule \
                BRISUM_SCHEDULE_SEED=$first timeout $((300 + 10 * seeds)) "$tests" --gtest_filter="$filter" \
                --gtest_repeat=$((seeds - first + 1)) --gtest_brief=1 >"$log" 2>&1
            status=$?
            ((status == 0)) && break
            for seed in $(sed -n 's/^stress: .* failed on seed \([0-9]*\)$/\1/p' "$log" | sort -nu); do
                report "$seed"
            done
            # A test failure lets the repetitions go on; a crash or a
            # time-out ends them at the seed it was running: report that
            # one and go on after it.
            ((status == 1)) && break
            last=$(sed -n 's/^stress: seed \([0-9]*\)$/\1/p' "$log" | tail -1)
            grep -q "failed on seed ${last:-0}\$" "$log" || report "${last:-$first}"
            first=$((${last:-$first} + 1))
        done
        [[ -n $(ls -A "$dir") ]] || rm -rf "$dir"
    done
done
echo "stress: $runs runs, $failed failed"
[[ $failed -eq 0 ]] && rm -rf "$pages"
[[ $failed -eq 0 ]]
