#!/usr/bin/env bash
# The test command of the spin-lock mutation check (scripts/mutate-locks.py):
# every directed race test of the race build (suites Races*) in a process of
# its own, then the randomized runs on 2 and 4 processors under the race
# build over MUTATION_SEEDS seeds (2 unless set); with MUTATION_DEFAULT=1 the
# default preset's suite after. Exit status 1 at the first failure, naming
# what failed. Run from the tree's root, the tsan preset built:
#
#   python3 scripts/mutate-locks.py \
#       --build 'cmake --build --preset tsan -j2 --target brisum_stress_tests >/dev/null 2>&1' \
#       --test 'bash scripts/mutation-tests.sh' --timeout 600
set -uo pipefail
cd "$(dirname "$0")/.."
program=build/tsan/tests/brisum_stress_tests
export TSAN_OPTIONS="halt_on_error=1 exitcode=66 detect_deadlocks=0"
for test in $("$program" --gtest_filter='Races*' --gtest_list_tests |
    awk '/^[^ ]/ { suite = $1 } /^  / { print suite $1 }'); do
    timeout 120 "$program" --gtest_filter="$test" >/dev/null 2>&1 || { echo "mutation: $test failed" >&2; exit 1; }
done
BRISUM_STRESS_SEEDS=${MUTATION_SEEDS:-2} bash tests/stress/stress.sh "$program" >/dev/null 2>&1 ||
    { echo "mutation: the randomized runs failed" >&2; exit 1; }
if [[ -n ${MUTATION_DEFAULT:-} ]]; then
    cmake --build --preset default -j2 >/dev/null 2>&1 || exit 1
    ctest --preset default -j2 --timeout 300 -E 'soak|fuzz' >/dev/null 2>&1 ||
        { echo "mutation: the default suite failed" >&2; exit 1; }
fi
exit 0
