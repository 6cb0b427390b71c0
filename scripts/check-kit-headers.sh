#!/usr/bin/env bash
# check-kit-headers.sh COMPILER [ROOT]
#
# Keeps the driver folders buildable with the real kit by holding the
# stand-in kit headers (framework/include) to what the kit's headers do:
#  1. every stand-in header is described in tests/headers/kit-headers.txt;
#  2. each compiles alone after the headers the kit requires before it, in
#     the kit's order, and twice over (its guard holds);
#  3. each fails to compile when any one of those prerequisites is missing;
#  4. each includes exactly the stand-ins its namesake includes;
#  5. no header in a driver folder shares a name, ignoring case, with a kit
#     header (on Windows it would shadow that header);
#  6. a driver file includes kit headers only by <name>, only stand-ins, and
#     its own headers only by "path" inside the driver folders;
#  7. every driver header and source compiles alone against the stand-ins
#     alone (no standard library, no host headers), warnings as errors;
#  8. the kit's names and values in tests/headers/kit_names.cpp hold.
# Exits 0 when all hold; otherwise prints each failure and exits 1.
set -uo pipefail

cxx=${1:?usage: check-kit-headers.sh COMPILER [ROOT]}
root=$(cd "${2:-$(dirname "$0")/..}" && pwd)
kit="$root/framework/include"
manifest="$root/tests/headers/kit-headers.txt"
names="$root/tests/headers/kit-header-names.txt"
driver_dirs=(driver usb receive transmit control)
flags=(-std=c++20 -x c++ -fsyntax-only -fshort-wchar -fno-exceptions -fno-rtti
       -nostdinc -Wall -Wextra -Werror -I "$kit")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "check-kit-headers: $*" >&2
    failures=$((failures + 1))
}

# compile NAME LINES...: compiles a unit made of the given lines.
# Compiler messages go to $work/NAME.log.
compile() {
    local name=$1
    shift
    printf '%s\n' "$@" >"$work/$name.cpp"
    "$cxx" "${flags[@]}" "$work/$name.cpp" >"$work/$name.log" 2>&1
}

includes_of() { # the names a file includes with <...> or "..."
    sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]\([^>"]*\)[>"].*/\1/p' "$1"
}

lower() { tr '[:upper:]' '[:lower:]'; }

# ---- the manifest ----
declare -A requires includes
while read -r header req inc rest; do
    [[ -z "$header" || "$header" == \#* ]] && continue
    if [[ -n "$rest" || -z "$inc" ]]; then
        fail "kit-headers.txt: malformed line for $header"
        continue
    fi
    requires[$header]=${req//,/ }
    includes[$header]=$inc
done < <(sed 's/#.*//' "$manifest")

for path in "$kit"/*; do
    h=$(basename "$path")
    [[ -v "requires[$h]" ]] || fail "$h: a stand-in kit header not described in tests/headers/kit-headers.txt"
done

for h in $(printf '%s\n' "${!requires[@]}" | sort); do
    if [[ ! -f "$kit/$h" ]]; then
        fail "$h: described in kit-headers.txt but missing from framework/include"
        continue
    fi
    prereq=()
    [[ "${requires[$h]}" != "-" ]] && read -ra prereq <<<"${requires[$h]}"

    # 2. alone after its prerequisites, and twice.
    lines=()
    for p in "${prereq[@]}"; do lines+=("#include <$p>"); done
    if ! compile "alone_$h" "${lines[@]}" "#include <$h>" "#include <$h>"; then
        fail "$h does not compile after its prerequisites (${requires[$h]}):"
        sed 's/^/    /' "$work/alone_$h.log" | head -20 >&2
    fi

    # 3. without any one prerequisite.
    for missing in "${prereq[@]}"; do
        lines=()
        for p in "${prereq[@]}"; do
            [[ "$p" != "$missing" ]] && lines+=("#include <$p>")
        done
        if compile "without_${missing}_$h" "${lines[@]}" "#include <$h>"; then
            fail "$h compiles without <$missing>, which the kit requires before it"
        fi
    done

    # 4. its own includes.
    made=$(includes_of "$kit/$h" | sort | tr '\n' ' ' | sed 's/ $//')
    want=$([[ "${includes[$h]}" == "-" ]] || tr ',' '\n' <<<"${includes[$h]}" | sort | tr '\n' ' ' | sed 's/ $//')
    if [[ "$made" != "$want" ]]; then
        fail "$h includes [${made}] but its namesake in the kit includes [${want}]"
    fi
done

# ---- the driver folders ----
kit_names=$( { printf '%s\n' "${!requires[@]}"; sed 's/#.*//' "$names"; } | lower | sed '/^[[:space:]]*$/d' | sort -u)
driver_files=()
driver_headers=()
for d in "${driver_dirs[@]}"; do
    [[ -d "$root/$d" ]] || continue
    while IFS= read -r f; do driver_files+=("$f"); done < <(find "$root/$d" -type f \( -name '*.h' -o -name '*.hpp' -o -name '*.c' -o -name '*.cpp' \) | sort)
    while IFS= read -r f; do driver_headers+=("$f"); done < <(find "$root/$d" -type f \( -iname '*.h' -o -iname '*.hpp' \) | sort)
done

# 5. no header named like a kit header, ignoring case.
for f in "${driver_headers[@]}"; do
    n=$(basename "$f" | lower)
    if grep -qxF "$n" <<<"$kit_names"; then
        fail "${f#"$root"/}: shares its name, ignoring case, with the kit header $n"
    fi
done

# 6. include discipline.
for f in "${driver_files[@]}"; do
    rel=${f#"$root"/}
    while IFS= read -r line; do
        if [[ "$line" =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*\<([^>]*)\> ]]; then
            inc=${BASH_REMATCH[1]}
            [[ -v "requires[$inc]" ]] || fail "$rel: includes <$inc>, which is not a kit header the driver may use"
        elif [[ "$line" =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*\"([^\"]*)\" ]]; then
            inc=${BASH_REMATCH[1]}
            target=$(realpath -m "$(dirname "$f")/$inc")
            inside=0
            for d in "${driver_dirs[@]}"; do
                [[ "$target" == "$root/$d/"* ]] && inside=1
            done
            if [[ $inside -eq 0 || ! -f "$target" ]]; then
                fail "$rel: includes \"$inc\", which is not a file of the driver folders"
            elif grep -qxF "$(basename "$inc" | lower)" <<<"$kit_names"; then
                fail "$rel: includes \"$inc\", named like a kit header"
            fi
        elif [[ "$line" =~ ^[[:space:]]*#[[:space:]]*include ]]; then
            fail "$rel: an include the check cannot read: $line"
        fi
    done < <(grep -E '^[[:space:]]*#[[:space:]]*include' "$f")
done

# 7. every driver header and source, alone, against the stand-ins alone.
for f in "${driver_files[@]}"; do
    rel=${f#"$root"/}
    if ! compile driver "#include \"$f\""; then
        fail "$rel does not compile alone against the kit headers:"
        sed 's/^/    /' "$work/driver.log" | head -20 >&2
    fi
done

# 8. the kit's names.
if ! "$cxx" "${flags[@]}" "$root/tests/headers/kit_names.cpp" >"$work/names.log" 2>&1; then
    fail "the kit's names and values (tests/headers/kit_names.cpp) do not hold:"
    sed 's/^/    /' "$work/names.log" | head -20 >&2
fi

if [[ $failures -ne 0 ]]; then
    echo "check-kit-headers: $failures failure(s)" >&2
    exit 1
fi
echo "check-kit-headers: ${#requires[@]} kit headers, ${#driver_files[@]} driver files: all hold"
