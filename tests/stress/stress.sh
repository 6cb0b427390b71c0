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
pages=$(mktemp -d "${TMPDIR:-/tmp}/brisum-timelines.XXXXXX")
jobs=${BRISUM_STRESS_JOBS:-$(nproc)}
# report SEED: one failing seed of the current processors and schedule.
report() {
    echo "stress: seed $1, $schedule schedule, $processors processors failed:"
    grep -E "Failure|FAILED|VERIFIER|verifier:|Expected|Actual|Which is|failed on seed $1\$" "$log" | head -20
    echo "  replay: BRISUM_PROCESSORS=$processors BRISUM_SCHEDULE=$schedule BRISUM_SCHEDULE_SEED=$1" \
        "$tests --gtest_filter='$filter'"
    for page in "$dir"/*-seed"$1".html; do
        [[ -e $page ]] && echo "  timeline: $page"
    done
}
# one PROCESSORS SCHEDULE: every seed on one processor count and schedule,
# its reports in $dir.report, one line per failing seed.
one() {
    processors=$1
    schedule=$2
    dir="$pages/p$processors-$schedule"
    log="$dir.log"
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
    done >"$dir.report"
    rm -f "$log"
    [[ -n $(ls -A "$dir") ]] || rm -rf "$dir"
}
# The four configurations are independent processes: up to $jobs at once.
configs=("2 random" "2 priority" "4 random" "4 priority")
for config in "${configs[@]}"; do
    while (($(jobs -rp | wc -l) >= jobs)); do
        wait -n
    done
    # shellcheck disable=SC2086
    one $config &
done
wait
failed=0
for config in "${configs[@]}"; do
    report_file="$pages/p${config/ /-}.report"
    cat "$report_file"
    failed=$((failed + $(grep -c '^stress: seed ' "$report_file")))
    rm -f "$report_file"
done
runs=$((seeds * ${#configs[@]}))
echo "stress: $runs runs, $failed failed"
[[ $failed -eq 0 ]] && rm -rf "$pages"
[[ $failed -eq 0 ]]
