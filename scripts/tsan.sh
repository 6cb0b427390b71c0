#!/usr/bin/env bash
# Data-race detection: builds the tsan preset (the driver's translation
# units under ThreadSanitizer, the host stating the framework's orderings)
# and runs the race self-tests, the directed race regressions
# (tests/*/test_*_races.cpp, suites Races*), then the randomized runs on 2 and 4
# simulated processors (tests/stress/stress.sh) over BRISUM_STRESS_SEEDS
# seeds (30 unless set: thirty of each schedule on 2 and 4 processors). Any
# ThreadSanitizer report fails it, printed whole.
set -euo pipefail
cd "$(dirname "$0")/.."
BRISUM_NEED_TSAN=1 scripts/setup.sh
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j2 --target brisum_stress_tests brisum_race_selftest
reports=$(mktemp -d)
trap 'rm -rf "$reports"' EXIT
# The self-tests set their own options: the unlocked one must be reported.
ctest --test-dir build/tsan -R '^race\.' --output-on-failure
# Lock order is the framework's own verifier's (core/LockOrder.h): the
# detector checks only data races.
export TSAN_OPTIONS="halt_on_error=1 exitcode=66 detect_deadlocks=0 log_path=$reports/report"
status=0
# The directed interleavings of the races found so far, each test in a
# process of its own: the detector's history (which earlier accesses it
# still remembers) then depends on that test alone, so a race a test is
# known to expose is exposed whatever runs before it.
for test in $(build/tsan/tests/brisum_stress_tests --gtest_filter='Races*' --gtest_list_tests |
    awk '/^[^ ]/ { suite = $1 } /^  / { print suite $1 }'); do
    build/tsan/tests/brisum_stress_tests --gtest_filter="$test" --gtest_brief=1 || status=1
done
# One configuration at a time: under the detector the simulated processors'
# hand-offs between threads cost several times more when two such
# processes share the cores (3 seeds: 51 s alone, 61 s side by side).
BRISUM_STRESS_JOBS=1 BRISUM_STRESS_SEEDS=${BRISUM_STRESS_SEEDS:-30} bash tests/stress/stress.sh \
    build/tsan/tests/brisum_stress_tests || status=1
if compgen -G "$reports/report*" >/dev/null; then
    cat "$reports"/report*
    echo "tsan: ThreadSanitizer reported the races above" >&2
    exit 1
fi
[[ $status -eq 0 ]] || exit 1
echo "tsan: no race reported"
