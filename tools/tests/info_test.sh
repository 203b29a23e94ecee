# mdk info in words: the file's size and blocks as the file system counts them, and each key's
# tree (levels, blocks, entries) as a walk of the tree finds it; a tree that cannot be walked is
# said so, not guessed.
source "$(dirname "$0")/lib.sh"

# file | layout | rows
files=(
    'block.dat|{"blockSize": 1024, "recordSize": 30, "keyAreaSize": 6, "keys": [{"segments": [{"field": "key", "length": 6}]}, {"segments": [{"field": 1, "length": 6}]}]}|300'
    'one.dat|{"blockSize": 2048, "recordSize": 30, "keyAreaSize": 6, "keys": [{"segments": [{"field": "key", "length": 6}]}]}|1'
    'empty.dat|{"blockSize": 1024, "recordSize": 30, "keyAreaSize": 6, "keys": [{"segments": [{"field": "key", "length": 6}]}]}|0'
    'slot.dat|{"storage": "slot", "blockSize": 1024, "recordSize": 30, "keyAreaSize": 6, "keys": [{"segments": [{"field": "key", "length": 6}]}]}|300'
)
for f in "${files[@]}"; do
    IFS='|' read -r name layout count <<<"$f"
    echo "$layout" >"$WORK/layout.json"
    "$MDK" create "$WORK/$name" --layout "$WORK/layout.json" >/dev/null
    for ((i = 0; i < count; i++)); do printf 'k%05d,v%04d\n' "$i" $((i * 7 % 300)); done |
        "$MDK" load "$WORK/$name" --format csv >/dev/null
done
size_of() { stat -c %s "$WORK/$1"; }

# (file | what info says, one line each, ";" between them)
cases=(
    "block.dat|size         $(size_of block.dat) bytes, $((($(size_of block.dat) - 512) / 1024)) blocks of 1024 bytes;tree: 2 levels deep;300 entries"
    "one.dat|size         $(size_of one.dat) bytes, $((($(size_of one.dat) - 512) / 2048)) blocks of 2048 bytes;tree: 1 level deep, 1 block, 1 entry"
    "empty.dat|tree: empty"
    "slot.dat|size         $(size_of slot.dat) bytes (slot mode: key blocks and record slots side by side);tree: 2 levels deep"
)
for c in "${cases[@]}"; do
    IFS='|' read -r name wants <<<"$c"
    run "$MDK" info "$WORK/$name"
    expect_status "info $name" 0
    IFS=';' read -ra parts <<<"$wants"
    for want in "${parts[@]}"; do expect_contains "info $name: $want" "$want" "$out"; done
    for raw in flagsC value5 value7 describeFlags; do expect_lacks "info $name: no $raw" "$raw" "$out"; done
done
# Both keys of block.dat hold every record; the tree of key 2 is counted on its own.
expect_eq "block.dat: a tree per key" "2" "$("$MDK" info "$WORK/block.dat" | grep -c '300 entries')"

# JSON: the same facts, and the library's descriptions as before.
run "$MDK" info "$WORK/block.dat" --json
for want in "\"bytes\": $(size_of block.dat)" "\"blocks\": $((($(size_of block.dat) - 512) / 1024))" \
    '"depth": 2' '"entries": 300' '"formatCode": 2' '"keyName": "#2"'; do
    expect_contains "info --json: $want" "$want" "$out"
done
expect_eq "info --json: a tree per key" "2" "$(grep -c '"depth"' <<<"$out")"

# An indexed file has no tree: its size only.
echo '{"kind": "indexed", "recordSize": 20}' >"$WORK/ind.json"
"$MDK" create "$WORK/n.ind" --layout "$WORK/ind.json" >/dev/null
for ((i = 0; i < 5; i++)); do "$MDK" put "$WORK/n.ind" "$i" "row$i" >/dev/null; done
run "$MDK" info "$WORK/n.ind"
expect_contains "indexed: size" "size         $(size_of n.ind) bytes" "$out"
expect_lacks "indexed: no tree" "tree" "$out"

# A damaged key tree: the block under the root of key 1 made a data block.  info still
# describes the file but does not guess the tree's shape.
root=$(od -An -tu4 --endian=big -j40 -N4 "$WORK/block.dat" | tr -d ' ')
leaf=$(od -An -tu4 --endian=big -j$((root + 6)) -N4 "$WORK/block.dat" | tr -d ' ')
cp "$WORK/block.dat" "$WORK/bad.dat"
printf '\x80' | dd of="$WORK/bad.dat" bs=1 seek="$leaf" conv=notrunc 2>/dev/null
run "$MDK" info "$WORK/bad.dat"
expect_status "damaged tree: info" 0
expect_contains "damaged tree: not measured" \
    "trees        not measured: key 0 block $(printf '0x%X' "$leaf"): block type 0x80 is not a key block (0xFE) (mdk check tells more)" \
    "$out"
expect_lacks "damaged tree: no shape" "levels deep" "$out"

finish
