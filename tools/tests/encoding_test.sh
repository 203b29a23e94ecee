# Text in UTF-8 on the command side, Windows-1252 in the file: a migration of UTF-8 csv with
# letters beyond ASCII comes back from dump byte for byte; what the file cannot hold (a character
# Windows-1252 lacks, a field holding the separator byte) refuses its row with the reason and
# stores nothing; cp1252 and raw keep the file's bytes as they are or escaped.
source "$(dirname "$0")/lib.sh"

layout() {  # SEPARATOR: a key area of 4 bytes, and a key on field 2 without case or accents
    cat <<JSON
{"blockSize": 1024, "recordSize": 100, "keyAreaSize": 4, "separator": $1,
 "keys": [{"segments": [{"field": "key", "length": 4}]},
          {"segments": [{"field": 2, "length": 10, "options": ["upper", "fold-accents"]}]}]}
JSON
}
new_file() {  # NAME SEPARATOR
    layout "$2" >"$WORK/$1.json"
    rm -f "$WORK/$1"
    "$MDK" create "$WORK/$1" --layout "$WORK/$1.json" >/dev/null
}
count() { "$MDK" dump "$WORK/$1" --format csv | grep -c .; }

# The migration: rows in key order, written as dump writes csv.  The default separator 0x8A is
# "Š" in Windows-1252, so "Š" goes to a file with another separator.
cat >"$WORK/default.csv" <<'CSV'
c001,Café Müller,Zürich,€ 12.50
c002,“Smart” quotes — dash,Málaga,™ œ Œ ‰ ƒ
c003,"Comma, inside",São Paulo,† ‡ • … ‚ „ ‹ ›
c004,Ærøskøbing,Ørsted,¿¡ ½ ¾ ÿ Ÿ ž Ž ˆ ˜
CSV
cat >"$WORK/pipe.csv" <<'CSV'
s001,Škoda,Šibenik,šŠ
s002,Žilina,Tromsø,Œuvre
CSV
for name in default pipe; do
    separator='"default"'
    [[ $name == pipe ]] && separator='"|"'
    new_file "$name.dat" "$separator"
    run "$MDK" load "$WORK/$name.dat" --input "$WORK/$name.csv" --encoding utf-8
    expect_status "$name: load" 0
    expect_contains "$name: counts" "refused 0" "$out"
    "$MDK" dump "$WORK/$name.dat" --format csv >"$WORK/$name.again.csv"
    expect_same_file "$name: dump gives back the csv loaded" "$WORK/$name.csv" \
        "$WORK/$name.again.csv"
    # jsonl is UTF-8 as well, and loads back into the same bytes.
    "$MDK" dump "$WORK/$name.dat" --format jsonl >"$WORK/$name.jsonl"
    iconv -f UTF-8 -t UTF-8 "$WORK/$name.jsonl" >/dev/null && pass || fail "$name: jsonl not UTF-8"
    new_file "$name.copy" "$separator"
    "$MDK" load "$WORK/$name.copy" --input "$WORK/$name.jsonl" >/dev/null
    expect_eq "$name: jsonl copy, raw bytes" "$("$MDK" dump "$WORK/$name.dat" --encoding raw)" \
        "$("$MDK" dump "$WORK/$name.copy" --encoding raw)"
    run "$MDK" check "$WORK/$name.dat"
    expect_status "$name: sound" 0
done

# In the file: Windows-1252 bytes, one per letter.
expect_eq "stored bytes" 'c001	Caf\xe9 M\xfcller	Z\xfcrich	\x80 12.50' \
    "$("$MDK" get "$WORK/default.dat" c001 --encoding raw)"
expect_eq "stored bytes, pipe file" 's001	\x8akoda	\x8aibenik	\x9a\x8a' \
    "$("$MDK" get "$WORK/pipe.dat" s001 --encoding raw)"
# Keys and condition values are given in the same encoding.
expect_eq "get by a key folding accents" "c001" \
    "$("$MDK" get "$WORK/default.dat" --key 2 zürich --format csv | cut -d, -f1)"
expect_eq "scan for a value with accents" "c004" \
    "$("$MDK" scan "$WORK/default.dat" --where '2 = Ørsted' --format csv | cut -d, -f1)"
expect_eq "put and get a key with a letter past ASCII" 'é1,Niño' \
    "$("$MDK" put "$WORK/default.dat" é1 Niño >/dev/null && "$MDK" get "$WORK/default.dat" é1 --format csv)"

# Rows the file cannot hold: refused with the reason, nothing stored, the other rows loaded.
# line | row | reason
refusals=(
    '1|k001,上海,x|field 1: "上" (U+4E0A) has no Windows-1252 byte'
    '2|k002,ok,Škoda|field 2 holds the file'"'"'s field separator, byte 0x8A (Š)'
    '3|k003,emoji 😀|(U+1F600) has no Windows-1252 byte'
    '4|上海,x|the key: "上" (U+4E0A) has no Windows-1252 byte'
    '5|k005,fine,row|'
)
for r in "${refusals[@]}"; do
    IFS='|' read -r line row why <<<"$r"
    echo "$row"
done >"$WORK/bad.csv"
new_file bad.dat '"default"'
run "$MDK" load "$WORK/bad.dat" --input "$WORK/bad.csv"
expect_status "refusals: exit status" 1
expect_contains "refusals: counts" "inserted 1, updated 0, refused 4" "$out"
for r in "${refusals[@]}"; do
    IFS='|' read -r line row why <<<"$r"
    [[ -z $why ]] && continue
    expect_contains "line $line: why" "$why" "$(grep "bad.csv:$line: " <<<"$err")"
done
expect_eq "refusals: only the good row stored" "k005,fine,row" "$("$MDK" dump "$WORK/bad.dat" --format csv)"
# Raw text gives 上 as its UTF-8 bytes E4 B8 8A: the last one is the separator.
run "$MDK" put "$WORK/bad.dat" k006 上海 --encoding raw
expect_status "raw 上海: refused" 1
expect_contains "raw 上海: why" "field 1 holds the file's field separator, byte 0x8A" "$err"
run "$MDK" put "$WORK/bad.dat" k007 上海
expect_status "put 上海: refused" 1
expect_contains "put 上海: why" '"上" (U+4E0A) has no Windows-1252 byte' "$err"
expect_eq "put refusals stored nothing" 1 "$(count bad.dat)"

# cp1252: the file's bytes as they are, both ways; jsonl, being UTF-8, does not take it.
printf 'w001,Caf\xe9,\x80 5,\x81\n' >"$WORK/w.csv"
new_file w.dat '"|"'
run "$MDK" load "$WORK/w.dat" --input "$WORK/w.csv" --encoding cp1252
expect_contains "cp1252: loaded" "inserted 1, updated 0, refused 0" "$out"
"$MDK" dump "$WORK/w.dat" --format csv --encoding cp1252 >"$WORK/w.again.csv"
printf 'w001,Caf\xe9,\x80 5,\\x81\n' >"$WORK/w.expected.csv"  # the undefined byte escaped
expect_same_file "cp1252: dump" "$WORK/w.expected.csv" "$WORK/w.again.csv"
expect_eq "cp1252 read as utf-8: the undefined byte escaped" 'w001,Café,€ 5,\x81' \
    "$("$MDK" dump "$WORK/w.dat" --format csv)"
run "$MDK" dump "$WORK/w.dat" --format jsonl --encoding cp1252
expect_status "cp1252 jsonl: usage" 2
run "$MDK" load "$WORK/w.dat" --input "$WORK/w.csv"
expect_contains "Windows-1252 text read as UTF-8: refused with a hint" \
    "is not UTF-8 (--encoding cp1252 reads Windows-1252 text)" "$err"

finish
