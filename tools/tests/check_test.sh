# mdk check: 0 and "sound" on a sound file; on a copy with one corrupted key block, exit status
# 1 and the broken invariant named; 4 for a file that cannot be opened or locked.
source "$(dirname "$0")/lib.sh"

cat >"$WORK/layout.json" <<'JSON'
{"blockSize": 1024, "recordSize": 30, "keyAreaSize": 6,
 "keys": [{"segments": [{"field": "key", "length": 6}]},
          {"segments": [{"field": 1, "length": 6}]}]}
JSON
"$MDK" create "$WORK/f.dat" --layout "$WORK/layout.json" >/dev/null
for ((i = 0; i < 200; i++)); do printf 'k%05d,v%04d\n' "$i" $((i * 7 % 200)); done >"$WORK/rows.csv"
"$MDK" load "$WORK/f.dat" --input "$WORK/rows.csv" >/dev/null

run "$MDK" check "$WORK/f.dat"
expect_status "sound file" 0
expect_contains "sound file: report" "f.dat: sound (classic keyed file, 200 records)" "$out"

# A big-endian 32-bit number of the file at an offset.
be32() {
    local a b c d
    read -r a b c d < <(od -An -tu1 -j"$2" -N4 "$1")
    echo $(((a << 24) | (b << 16) | (c << 8) | d))
}
root=$(be32 "$WORK/f.dat" 40)  # key 0's root: an inner block with 200 keys in 1 KiB blocks
leaf=$(be32 "$WORK/f.dat" $((root + 6)))  # the child of its first entry
[[ $root -ge 512 && $leaf -ge 512 && $leaf != "$root" ]] && pass || fail "key 0 has no inner root"

# where | bytes written there | the invariant the report must name
corruptions=(
    "$root|\\x80|key 0 block $(printf '0x%X' "$root"): block type 0x80 is not a key block (0xFE)"
    "$((root + 1))|\\x00\\x00\\x00\\x01|self address 0x1 differs from the block's address"
    "$((root + 5))|\\xff|entry count 255 is above the capacity"
    "$((leaf + 6 + 5))|z|key 0 block $(printf '0x%X' "$leaf") entry 1: entries not sorted"
)
for c in "${corruptions[@]}"; do
    IFS='|' read -r offset bytes want <<<"$c"
    cp "$WORK/f.dat" "$WORK/bad.dat"
    printf "$bytes" | dd of="$WORK/bad.dat" bs=1 seek="$offset" conv=notrunc 2>/dev/null
    run "$MDK" check "$WORK/bad.dat"
    expect_status "corrupted at $offset: exit status" 1
    expect_contains "corrupted at $offset: invariant named" "$want" "$out"
    expect_contains "corrupted at $offset: verdict" "bad.dat: not sound" "$out"
done

# Indexed files: a record count the length does not back.
echo '{"kind": "indexed", "recordSize": 10}' >"$WORK/ind.json"
"$MDK" create "$WORK/n.ind" --layout "$WORK/ind.json" >/dev/null
printf '%s\n' 0,a 1,b 2,c | "$MDK" load "$WORK/n.ind" --format csv >/dev/null
run "$MDK" check "$WORK/n.ind"
expect_status "sound indexed file" 0
truncate -s -4 "$WORK/n.ind"
run "$MDK" check "$WORK/n.ind"
expect_status "short indexed file" 1
expect_contains "short indexed file: why" "the file holds 538 bytes" "$out"

# A file the library will not open at all is named as such, with what is wrong with it.
for ((i = 0; i < 20; i++)); do echo "not a data file at all, just text"; done >"$WORK/text.dat"
run "$MDK" check "$WORK/text.dat"
expect_status "not a data file" 1
expect_contains "not a data file: library's word" "Bad file type -- Not a KEYED file (code 5)" "$out"
expect_contains "not a data file: verifier's word" "bad magic" "$out"

# Files that cannot be opened or locked are not damaged: they are named as such, with status 4.
run "$MDK" check "$WORK/missing.dat"
expect_status "missing file" 4
expect_contains "missing file: why" "missing.dat: cannot be checked: File does not exist (code 33)" "$err"
ln -s loop.b "$WORK/loop.a"
ln -s loop.a "$WORK/loop.b"
run "$MDK" check "$WORK/loop.a"
expect_status "symbolic link loop" 4
expect_contains "symbolic link loop: the system's reason" \
    "cannot be checked: Can't open data file (code 1): Too many levels of symbolic links" "$err"
hold "$WORK/f.dat"
run "$MDK" check "$WORK/f.dat"
expect_status "held exclusively" 4
expect_contains "held exclusively: why" \
    "f.dat: cannot be checked: Can't open data file (code 1): another process holds it exclusively" \
    "$err"
expect_lacks "held exclusively: no verdict" "sound" "$out$err"
release
run "$MDK" check "$WORK/f.dat"
expect_status "released: sound again" 0

# More problems than are listed: the count at the end takes in those not listed.  In a slot
# file of 600 records, every record's field 1 changed from "v..." to "w..." (its data: length 5,
# then the field), so that no record has its key 1 entry.
sed 's/"blockSize"/"storage": "slot", "blockSize"/' "$WORK/layout.json" >"$WORK/slot.json"
"$MDK" create "$WORK/many.dat" --layout "$WORK/slot.json" >/dev/null
for ((i = 0; i < 600; i++)); do printf 'k%05d,v%04d\n' "$i" "$i"; done |
    "$MDK" load "$WORK/many.dat" --format csv >/dev/null
perl -0777 -pi -e 's/\x00\x05v/\x00\x05w/g' "$WORK/many.dat"
run "$MDK" check "$WORK/many.dat"
expect_status "many problems" 1
listed=$(grep -vc -e 'more problems not listed' -e 'not sound' <<<"$out")
more=$(sed -n 's/.*verifier: \([0-9]*\) more problems not listed$/\1/p' <<<"$out")
[[ ${more:-0} -gt 0 ]] && pass || fail "many problems: some left unlisted (listed $listed)"
expect_contains "many problems: the count" "many.dat: not sound: $((listed + ${more:-0})) problems" "$out"

finish
