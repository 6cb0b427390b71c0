#!/usr/bin/env bash
# Opens a timeline page written by `brisum-sim run --timeline` in headless
# Chromium and checks that its script ran and drew what the run holds:
# data-lanes on #timeline says as many processor lanes as the scenario
# asked for, a lane element per processor, the request and USB lanes,
# callback and lock bars, and no data-error (the script's own report of an
# exception). The page must also load nothing from anywhere else.
#
# usage: timeline-page.sh BRISUM_SIM SCENARIO OUTPUT.html PROCESSORS
# Exit 77 (skipped) when chromium is not installed.
set -euo pipefail

sim=$1
scenario=$2
page=$3
processors=$4

fail() {
  echo "timeline page: $*" >&2
  exit 1
}

browser=$(command -v chromium || command -v chromium-browser || true)
if [ -z "$browser" ]; then
  echo "chromium is not installed (scripts/setup.sh installs it); timeline page check skipped"
  exit 77
fi

"$sim" run --quiet --timeline "$page" "$scenario" || fail "brisum-sim failed on $scenario"
[ -s "$page" ] || fail "no page written"
if grep -Eq '<(script|link|img|iframe)[^>]* (src|href)=' "$page"; then
  fail "the page loads something from elsewhere"
fi

profile=$(mktemp -d)
trap 'rm -rf "$profile"' EXIT
dom=$(timeout 120 "$browser" --headless --no-sandbox --disable-gpu --user-data-dir="$profile" \
  --virtual-time-budget=10000 --dump-dom "file://$(realpath "$page")" 2>/dev/null) ||
  fail "chromium could not open the page"

grep -q 'data-error=' <<<"$dom" && fail "the page's script failed: $(grep -o 'data-error="[^"]*"' <<<"$dom")"
grep -q "id=\"timeline\"[^>]*data-lanes=\"$processors\"" <<<"$dom" ||
  fail "the script did not finish drawing $processors processor lanes"
for ((cpu = 0; cpu < processors; cpu++)); do
  grep -q "class=\"lane processor\" data-lane=\"cpu$cpu\"" <<<"$dom" || fail "no lane for processor $cpu"
done
grep -q 'class="lane requests"' <<<"$dom" || fail "no request lane"
grep -q 'class="lane pipe"' <<<"$dom" || fail "no USB pipe lane"
for bar in cb-dispatch lock-device lock-spin request transfer; do
  grep -q "class=\"span $bar" <<<"$dom" || fail "no $bar bar"
done
echo "timeline page: $processors processor lanes drawn"
