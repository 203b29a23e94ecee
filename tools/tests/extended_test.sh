# mdk create and check with extended keyed files: a layout of kind "extended" makes one (its
# refusals name the member), and check runs the extended verifier on it, naming a damaged map.
source "$(dirname "$0")/lib.sh"

cat >"$WORK/layout.json" <<'JSON'
{"kind": "extended", "maxDataLength": 60, "keyAreaSize": 6, "separator": "|",
 "compress": true, "largeFile": true,
 "keys": [{"name": "code", "segments": [{"field": "key", "length": 6}]},
          {"name": "by name", "unique": true,
           "segments": [{"field": 1, "length": 12, "options": ["upper"]}]}]}
JSON
run "$MDK" create "$WORK/x.dat" --layout "$WORK/layout.json"
expect_status "create" 0
expect_contains "create: summary" "created $WORK/x.dat: extended keyed file, 4096-byte blocks, 2 keys" "$out"
expect_eq "magic" "[Mdnky2]" "$(head -c 8 "$WORK/x.dat")"
LC_ALL=C grep -a -q "by name" "$WORK/x.dat" && pass || fail "the key name is not in the file"

# Sound: every problem listed is the library's refusal to open the file, while it cannot.
run "$MDK" check "$WORK/x.dat"
if [[ "$out" == *"the library does not open it"* ]]; then
    expect_status "sound file, not opened" 1
    expect_contains "sound file: the verifier finds nothing" "x.dat: not sound: 1 problem" "$out"
else
    expect_status "sound file" 0
    expect_contains "sound file: report" "x.dat: sound (extended keyed file, 0 records)" "$out"
fi

# Group 0's first map copy (place 1) made a data block: named by the extended verifier.
cp "$WORK/x.dat" "$WORK/bad.dat"
printf '\x80' | dd of="$WORK/bad.dat" bs=1 seek=4096 conv=notrunc 2>/dev/null
run "$MDK" check "$WORK/bad.dat"
expect_status "damaged map: exit status" 1
expect_contains "damaged map: named" \
    "map group 0 copy 1 (place 1): block type 0x80 is not a map block (0xFC)" "$out"
expect_contains "damaged map: verdict" "bad.dat: not sound" "$out"

# Refusals name the member at fault, and create nothing.
refusals=(
    '{"kind": "extended", "keyAreaSize": 8, "keys": [{"segments": [{"field": "key", "offset": 4, "length": 8}]}]}|layout.keys[0].segments[0]: offset 4 + length 8'
    '{"kind": "extended", "keyAreaSize": 8, "keys": [{"name": "a name of more than 23 chars", "segments": [{"field": "key", "length": 8}]}]}|layout.keys[0]: name "a name of more than 23 chars" is longer than 23 characters'
    '{"kind": "extended", "storage": "block", "keyAreaSize": 8, "keys": [{"segments": [{"field": "key", "length": 8}]}]}|layout: unknown member "storage"'
    '{"kind": "extended", "blockSize": 2048, "keys": []}|layout.blockSize: 2048 is not in 4096..65536'
    '{"kind": "classic", "keyAreaSize": 8, "keys": [{"name": "x", "segments": [{"field": "key", "length": 8}]}]}|layout.keys[0]: unknown member "name"'
)
for r in "${refusals[@]}"; do
    IFS='|' read -r json want <<<"$r"
    echo "$json" >"$WORK/refused.json"
    rm -f "$WORK/refused.dat"
    run "$MDK" create "$WORK/refused.dat" --layout "$WORK/refused.json"
    expect_contains "refused: $want" "$want" "$out$err"
    [[ $status != 0 && ! -e "$WORK/refused.dat" ]] && pass || fail "refused: $want: status $status"
done

finish
