# mdk dump --salvage: damaged copies of sound files (block mode, slot mode, indexed), damaged by
# the byte changes given, are read in the order their records lie in: every record outside the
# damaged places comes out as the plain dump of the sound file gave it, each place that cannot
# be read is named, and standard error ends with the counts.  Exit status 0 when no place was
# skipped, 1 when one was.
source "$(dirname "$0")/lib.sh"

# A big-endian 32-bit number of the file at an offset.
be32() { od -An -tu4 --endian=big -j"$2" -N4 "$1" | tr -d ' '; }
byte() { od -An -tu1 -j"$2" -N1 "$1" | tr -d ' '; }
# poke FILE OFFSET BYTES: writes the bytes (printf escapes) over the file's at the offset.
poke() { printf "$3" | dd of="$1" bs=1 seek="$2" conv=notrunc 2>/dev/null; }
# A number as the printf escapes of its four big-endian bytes.
hex() {
    printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 >> 24 & 255)) $(($1 >> 16 & 255)) \
        $(($1 >> 8 & 255)) $(($1 & 255))
}
# The 1 KiB block of the file that holds TEXT and is of type TYPE (128 data, 254 key).
block_with() {
    local at block
    for at in $(grep -obUa "$2" "$1" | cut -d: -f1); do
        block=$(((at - 512) / 1024 * 1024 + 512))
        if [[ $(byte "$1" "$block") == "$3" ]]; then
            echo "$block"
            return
        fi
    done
}
# The keys (k + five digits) written in bytes FROM to FROM + LENGTH of the file.
keys_in() { dd if="$1" bs=1 skip="$2" count="$3" 2>/dev/null | grep -ao 'k[0-9]\{5\}' | sort -u; }
# The rows of the dump DUMP whose keys are not in the file KEYS.
rows_without() { grep -v -f <(sed 's/.*/^&\t/' "$2") "$1"; }

for ((i = 0; i < 600; i++)); do
    printf 'k%05d,v%04d,name %d\n' "$i" $((i * 7 % 600)) "$i"
done >"$WORK/rows.csv"

# A sound file of the storage given, with some records removed (free slots), and its plain
# dumps in the three formats.
sound_file() {
    cat >"$WORK/$1.json" <<JSON
{"storage": "$1", "blockSize": 1024, "recordSize": 30, "keyAreaSize": 6,
 "keys": [{"segments": [{"field": "key", "length": 6}]},
          {"segments": [{"field": 1, "length": 6}]}]}
JSON
    "$MDK" create "$WORK/$1.dat" --layout "$WORK/$1.json" >/dev/null
    "$MDK" load "$WORK/$1.dat" --input "$WORK/rows.csv" --format csv >/dev/null
    for ((i = 100; i < 110; i++)); do "$MDK" del "$WORK/$1.dat" "k00$i" >/dev/null; done
    for format in text jsonl csv; do
        "$MDK" dump "$WORK/$1.dat" --format "$format" >"$WORK/$1.$format"
    done
}

# salvage WHAT FILE WANT_ROWS PLACES: the salvage of FILE gives the rows of the file WANT_ROWS
# (in any order), skips PLACES places, and exits accordingly.
salvage() {
    run "$MDK" dump "$2" --salvage
    expect_status "$1: exit status" $(($4 > 0))
    expect_same_file "$1: rows" "$3" <(sort <<<"$out")
    local saved places=places
    saved=$(wc -l <"$3")
    [[ $4 == 1 ]] && places=place
    expect_contains "$1: counts" "$(basename "$2"): salvaged $saved records, skipped $4 $places" "$err"
}

# ---- sound files: every record, nothing skipped, in each format; loaded back as they were ----
for storage in block slot; do
    sound_file "$storage"
    for format in text jsonl csv; do
        run "$MDK" dump "$WORK/$storage.dat" --salvage --format "$format"
        expect_status "$storage, $format: exit status" 0
        expect_same_file "$storage, $format: rows" <(sort "$WORK/$storage.$format") <(sort <<<"$out")
        expect_eq "$storage, $format: counts" "$WORK/$storage.dat: salvaged 590 records, skipped 0 places" "$err"
    done
    "$MDK" dump "$WORK/$storage.dat" --salvage --format jsonl >"$WORK/saved.jsonl" 2>/dev/null
    "$MDK" create "$WORK/new-$storage.dat" --like "$WORK/$storage.dat" >/dev/null
    "$MDK" load "$WORK/new-$storage.dat" --input "$WORK/saved.jsonl" >/dev/null
    run "$MDK" dump "$WORK/new-$storage.dat" --format jsonl
    expect_eq "$storage: loaded back" "$(cat "$WORK/$storage.jsonl")" "$out"
done

run "$MDK" dump "$WORK/block.dat" --salvage --key 2
expect_status "--salvage with --key" 2

# ---- block mode ----
sort "$WORK/block.text" >"$WORK/all.rows"
root=$(be32 "$WORK/block.dat" 40)  # key 0's root
data=$(block_with "$WORK/block.dat" k00300 128)
size=$(stat -c %s "$WORK/block.dat")
last=$((size - 1024))
[[ $(byte "$WORK/block.dat" "$root") == 254 && -n $data && $(byte "$WORK/block.dat" $last) == 128 ]] &&
    pass || fail "block mode: no key root, data block or last data block where expected"
keys_in "$WORK/block.dat" "$data" 1024 >"$WORK/data.keys"
keys_in "$WORK/block.dat" "$last" 1024 >"$WORK/last.keys"
rows_without "$WORK/all.rows" "$WORK/data.keys" >"$WORK/no-data.rows"
rows_without "$WORK/all.rows" "$WORK/last.keys" >"$WORK/no-last.rows"
[[ $(wc -l <"$WORK/data.keys") -gt 5 && $(wc -l <"$WORK/last.keys") -gt 0 ]] &&
    pass || fail "block mode: the data blocks hold no keys"

# what | offset | bytes written there | rows expected | places skipped | what stderr names
cases=(
    "key 0's root with a wrong own address|$((root + 1))|$(hex $((root + 4096)))|all.rows|1|$(printf 'skipped block 0x%08X' "$root")"
    "a data block with a wrong own address|$((data + 1))|$(hex $((data + 4096)))|no-data.rows|1|$(printf 'skipped block 0x%08X' "$data")"
    "an end of file before the last data block|32|$(hex $last)|no-last.rows|1|$(printf 'skipped bytes 0x%08X to 0x%08X' "$last" "$size")"
)
for c in "${cases[@]}"; do
    IFS='|' read -r what offset bytes want places named <<<"$c"
    cp "$WORK/block.dat" "$WORK/bad.dat"
    poke "$WORK/bad.dat" "$offset" "$bytes"
    salvage "block mode, $what" "$WORK/bad.dat" "$WORK/$want" "$places"
    expect_contains "block mode, $what: place named" "$named" "$err"
done
# The two damaged blocks at once; the plain dump stops at the first.
cp "$WORK/block.dat" "$WORK/bad.dat"
poke "$WORK/bad.dat" $((root + 1)) "$(hex $((root + 4096)))"
poke "$WORK/bad.dat" $((data + 1)) "$(hex $((data + 4096)))"
run "$MDK" dump "$WORK/bad.dat"
expect_status "block mode, two damaged blocks: plain dump" 1
expect_contains "block mode, two damaged blocks: plain dump's reason" "(code 11)" "$err"
salvage "block mode, two damaged blocks" "$WORK/bad.dat" "$WORK/no-data.rows" 2
expect_contains "block mode, two damaged blocks: why" \
    "File error : Key header address invalid (code 11)" "$err"

# ---- slot mode: slots of 30 + 6 + 3 bytes from 512 + 1024 on, among the key blocks ----
sort "$WORK/slot.text" >"$WORK/all.rows"
root=$(be32 "$WORK/slot.dat" 40)
slot=""
for at in $(grep -obUa k00300 "$WORK/slot.dat" | cut -d: -f1); do
    if (((at - 1 - 1536) % 39 == 0)) && [[ $(byte "$WORK/slot.dat" $((at - 1))) == 6 ]]; then
        slot=$((at - 1))
    fi
done
[[ $(byte "$WORK/slot.dat" "$root") == 254 && -n $slot ]] &&
    pass || fail "slot mode: no key root or slot of k00300"
echo k00300 >"$WORK/slot.keys"
rows_without "$WORK/all.rows" "$WORK/slot.keys" >"$WORK/no-slot.rows"

# A key block is no record place: with key 0's root damaged every record is saved, and nothing
# is skipped, though the plain dump fails.
cp "$WORK/slot.dat" "$WORK/bad.dat"
poke "$WORK/bad.dat" $((root + 1)) "$(hex $((root + 4096)))"
run "$MDK" dump "$WORK/bad.dat"
expect_status "slot mode, damaged root: plain dump" 1
salvage "slot mode, damaged root" "$WORK/bad.dat" "$WORK/all.rows" 0
# And a slot whose data length runs past the slot.
poke "$WORK/bad.dat" $((slot + 7)) '\x7f\xff'
salvage "slot mode, damaged root and slot" "$WORK/bad.dat" "$WORK/no-slot.rows" 1
expect_contains "slot mode, damaged slot: named" \
    "$(printf 'skipped slot 0x%08X: ' "$slot")File error : Record length invalid (code 27)" "$err"

# ---- indexed files: 20 records of 10 bytes after a 512-byte header ----
echo '{"kind": "indexed", "recordSize": 10}' >"$WORK/ind.json"
"$MDK" create "$WORK/n.ind" --layout "$WORK/ind.json" >/dev/null
for ((i = 0; i < 20; i++)); do echo "$i,item$i"; done | "$MDK" load "$WORK/n.ind" --format csv >/dev/null
"$MDK" dump "$WORK/n.ind" | sort >"$WORK/all.rows"
"$MDK" dump "$WORK/n.ind" --to 18 | sort >"$WORK/first19.rows"
"$MDK" dump "$WORK/n.ind" --to 9 | sort >"$WORK/first10.rows"
salvage "indexed, sound" "$WORK/n.ind" "$WORK/all.rows" 0

# what | change | rows expected | what stderr names
cases=(
    "cut inside its last record|truncate -s -4|first19.rows|skipped records 19 to 19: the header counts 20 records, but the file ends after 708 bytes"
    "a record count of 8126484|poke 15 \\x7c|all.rows|skipped records 20 to 8126483"
    "a record count of 10|poke 17 \\x0a|first10.rows|skipped bytes 612 to 712: the file goes on after the 10 records its header counts"
)
for c in "${cases[@]}"; do
    IFS='|' read -r what change want named <<<"$c"
    cp "$WORK/n.ind" "$WORK/bad.ind"
    read -r how a b <<<"$change"
    if [[ $how == poke ]]; then poke "$WORK/bad.ind" "$a" "$b"; else truncate "$a" "$b" "$WORK/bad.ind"; fi
    salvage "indexed, $what" "$WORK/bad.ind" "$WORK/$want" 1
    expect_contains "indexed, $what: place named" "$named" "$err"
done

finish
