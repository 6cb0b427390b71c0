#!/usr/bin/env bash
# Checks that every C and C++ source follows .clang-format; lists the files
# that do not and fails. `check-format.sh --fix` rewrites them in place.
set -euo pipefail
cd "$(dirname "$0")/.."
BRISUM_NEED_STYLE=1 scripts/setup.sh
mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.c')
if [ "${1:-}" = "--fix" ]; then
  clang-format-14 -i "${files[@]}"
  exit 0
fi
bad=()
for f in "${files[@]}"; do
  clang-format-14 --dry-run -Werror "$f" >/dev/null 2>&1 || bad+=("$f")
done
if [ ${#bad[@]} -gt 0 ]; then
  printf 'format: %s\n' "${bad[@]}" >&2
  echo "format: run scripts/check-format.sh --fix" >&2
  exit 1
fi
echo "format: ${#files[@]} files clean"
