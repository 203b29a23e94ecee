# What the README says of the tool and the library agrees with what they do: the layout
# defaults it shows are the ones create gives, its layout example is one create takes, and the
# shared library it tells programs to find is the one the build names.
source "$(dirname "$0")/lib.sh"

README=$(dirname "$0")/../../README.md

# The JSON blocks that follow the "**Layouts.**" paragraph: the defaults, then the example.
json_block() {  # N: the N-th block
    awk -v want="$1" '/^\*\*Layouts\.\*\*/ {on = 1} on && /^```json$/ {n++; inside = 1; next}
                      inside && /^```$/ {inside = 0; if (n == want) exit} inside && n == want' \
        "$README"
}
json_block 1 >"$WORK/defaults.json"
json_block 2 >"$WORK/example.json"
[[ -s $WORK/defaults.json && -s $WORK/example.json ]] && pass || fail "README: no layout blocks"

# Files made from layouts that leave the members out: one with a key area, one with data
# (a file with neither is refused).
echo '{"keyAreaSize": 4, "keys": [{"segments": [{"field": "key", "length": 4}]}]}' >"$WORK/a.json"
echo '{"recordSize": 10, "keys": [{"segments": [{"field": 1, "length": 4}]}]}' >"$WORK/b.json"
for f in a b; do
    "$MDK" create "$WORK/$f.dat" --layout "$WORK/$f.json" >/dev/null
    "$MDK" info "$WORK/$f.dat" --layout | tr -d ' ' >"$WORK/$f.layout"
done
members=$(grep -o '"[A-Za-z]*": *[^ ,]*' "$WORK/defaults.json" | tr -d ' ')
[[ $(wc -l <<<"$members") -ge 13 ]] && pass || fail "README defaults: too few members [$members]"
for m in $members; do
    from=a
    [[ $m == '"keyAreaSize":'* ]] && from=b
    grep -qxF "$m," "$WORK/$from.layout" && pass ||
        fail "README default $m: create gives $(grep -F "${m%%:*}:" "$WORK/$from.layout")"
done
run "$MDK" create "$WORK/example.dat" --layout "$WORK/example.json"
expect_status "README layout example: create takes it" 0

# The shared library's name (its SOVERSION in the build), as the README tells programs to find
# it.
version=$(sed -n 's/.*set_target_properties(mdnio .*SOVERSION \([0-9]*\)).*/\1/p' \
    "$(dirname "$0")/../../CMakeLists.txt")
[[ -n $version ]] && pass || fail "no SOVERSION of mdnio in CMakeLists.txt"
soname=libmdnio.so.$version
expect_contains "README: the library a program loads" "$soname" \
    "$(grep -A3 'Link with `-lmdnio`' "$README" | tr '\n' ' ')"
expect_contains "README: where it is looked for" "LD_LIBRARY_PATH" \
    "$(grep -A5 'Link with `-lmdnio`' "$README" | tr '\n' ' ')"

finish
