#!/usr/bin/env bash
# Builds the fuzz preset (clang-14, libFuzzer, ASan+UBSan) and runs every
# target from its committed corpus for a bounded time. Any crash, leak,
# sanitizer report, verifier report or hang is a finding and fails the run;
# the input that caused it is left in build/fuzz/findings/.
#   FUZZ_SECONDS  seconds per target (default 25)
set -euo pipefail
cd "$(dirname "$0")/.."
BRISUM_NEED_FUZZ=1 scripts/setup.sh
seconds=${FUZZ_SECONDS:-25}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"

bin=build/fuzz/tests/fuzz
findings=build/fuzz/findings
mkdir -p "$findings"
status=0
for target in fuzz_system fuzz_notify fuzz_descriptors fuzz_scenario; do
  [ -x "$bin/$target" ] || continue
  work=$(mktemp -d)
  echo "fuzz-ci: $target for ${seconds}s"
  if ! "$bin/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
       -print_final_stats=1 -artifact_prefix="$findings/$target-" \
       "$work" "tests/fuzz/corpus/$target" > "$findings/$target.log" 2>&1; then
    echo "fuzz-ci: $target found a fault; see $findings/$target.log" >&2
    tail -40 "$findings/$target.log" >&2
    status=1
  fi
  grep -E '^#[0-9]+[[:space:]]+DONE' "$findings/$target.log" || true
  rm -rf "$work"
done
exit $status
