#!/usr/bin/env bash
# The framework never depends on the world: no source under framework/
# includes a header of world/, and the framework library's objects refer to
# no symbol of the world's namespace. (The world builds on the framework;
# the other direction is what this refuses.)
#   check-seam.sh SOURCE_DIR FRAMEWORK_ARCHIVE
set -euo pipefail
src=$1
archive=$2
status=0

world_headers=$(cd "$src/world" && ls *.h)
for h in $world_headers; do
  if grep -rnE "#include *[\"<]([^\">]*/)?$h[\">]" "$src/framework" ; then
    echo "check-seam: framework/ includes the world's $h" >&2
    status=1
  fi
done

if nm -C --undefined-only "$archive" | grep -E '\bworld::' ; then
  echo "check-seam: the framework library refers to the world's symbols above" >&2
  status=1
fi
[ $status -eq 0 ] && echo "check-seam: the framework stands on its own"
exit $status
