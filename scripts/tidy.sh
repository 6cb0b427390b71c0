#!/usr/bin/env bash
# Runs clang-tidy (the checks of .clang-tidy) over every source of the driver
# folders, the framework stand-in and the world, with the default preset's
# compile commands; any warning in the project's own code fails the run.
#   tidy.sh [FILE...]   only these files
set -euo pipefail
cd "$(dirname "$0")/.."
BRISUM_NEED_STYLE=1 scripts/setup.sh
[ -f build/default/compile_commands.json ] || cmake --preset default >/dev/null
if [ $# -gt 0 ]; then
  files=("$@")
else
  mapfile -t files < <(git ls-files 'driver/*.cpp' 'usb/*.cpp' 'receive/*.cpp' 'transmit/*.cpp' 'control/*.cpp' \
                                    'framework/src/*.cpp' 'world/*.cpp')
fi
log=$(mktemp)
printf '%s\n' "${files[@]}" | xargs -P "$(nproc)" -n 4 clang-tidy-14 -p build/default --quiet >"$log" 2>/dev/null || true
if grep -E "^$PWD/.*(warning|error):" "$log" | grep -v "/framework/include/"; then
  echo "tidy: the warnings above are in the project's code" >&2
  rm -f "$log"
  exit 1
fi
rm -f "$log"
echo "tidy: ${#files[@]} files clean"
