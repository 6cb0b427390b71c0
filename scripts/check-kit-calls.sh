#!/usr/bin/env bash
# Every kit routine the stand-in defines opens with KIT_ENTRY(its own name),
# so it has a row in framework/src/KitCalls.def (the entry names the row;
# KitCalls.cpp makes a row without a routine a link error). Usage:
#   check-kit-calls.sh SOURCE_DIR
set -euo pipefail
src="${1:?source dir}/framework/src"
status=0
while IFS= read -r f; do
  # A definition: an EXTERN_C line whose routine body opens on a line of its
  # own; the first statement after that brace must be the entry.
  out=$(awk -v file="${f#"$src"/}" '
    /^(EXTERN_C|extern "C")/ && !/;[[:space:]]*$/ {
      line = $0; sub(/\(.*/, "", line); n = split(line, w, /[ *]+/); name = w[n]; want = 1; start = NR; next
    }
    want == 1 && /;[[:space:]]*$/ && !/^\{/ && !/,[[:space:]]*$/ { if ($0 ~ /\)[[:space:]]*;[[:space:]]*$/) want = 0 }
    want == 1 && /^\{/ { want = 2; next }
    want == 2 {
      if ($0 !~ "^    KIT_ENTRY\\(" name "\\);") printf "%s:%d: %s does not open with KIT_ENTRY(%s)\n", file, start, name, name
      want = 0
    }' "$f")
  if [ -n "$out" ]; then echo "$out"; status=1; fi
done < <(find "$src" -name '*.cpp' | sort)
defined=$(find "$src" -name '*.cpp' -exec grep -ho 'KIT_ENTRY([A-Za-z0-9_]*)' {} + | sort | uniq -d)
if [ -n "$defined" ]; then echo "entered twice: $defined"; status=1; fi
[ $status = 0 ] && echo "kit calls: every routine opens with its entry"
exit $status
