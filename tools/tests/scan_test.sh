# mdk scan: conditions filtered inside the library, entry by entry and as one packed program,
# against the records awk selects from the rows loaded.
source "$(dirname "$0")/lib.sh"

names=(Amelia Bruno camille Dario Elena Farid)
cities=(Oslo Osloby Lima Rome Bergen Zagreb)
for ((i = 0; i < 90; i++)); do
    printf 'c%03d,%s%d,%s,%d,%d.%02d,%d\n' "$i" "${names[i % 6]}" "$i" "${cities[i * 7 % 6]}" \
        $((i * 1237 % 100000)) $((i * 31 % 400)) $((i * 50 % 100)) $((i % 7))
done >"$WORK/rows.csv"

cat >"$WORK/layout.json" <<'JSON'
{"blockSize": 1024, "recordSize": 80, "keyAreaSize": 4,
 "keys": [{"segments": [{"field": "key", "length": 4}]},
          {"segments": [{"field": 2, "length": 8}]}]}
JSON
"$MDK" create "$WORK/f.dat" --layout "$WORK/layout.json" >/dev/null
"$MDK" load "$WORK/f.dat" --input "$WORK/rows.csv" >/dev/null

# csv columns of the rows: $1 key, $2 name, $3 city, $4 cents (two implied decimals), $5 price,
# $6 quantity.  A text condition compares as many bytes as its value has.
# conditions (";" between several) | scan options | the awk selection
cases=(
    '2 = Oslo||substr($3, 1, 4) == "Oslo"'
    '2 == Osloby||$3 == "Osloby"'
    '2 != Lima||substr($3, 1, 4) != "Lima"'
    '2 < M||substr($3, 1, 1) < "M"'
    '2 >= Rome||substr($3, 1, 4) >= "Rome"'
    '1@1 = ame||substr($2, 2, 3) == "ame"'
    '3 >= 500 num scale=2||$4 / 100 >= 500'
    '3 < 123.7 scale=2||$4 / 100 < 123.7'
    '4 > 250.5 num||$5 > 250.5'
    '4 = 12.5 num||$5 == 12.5'
    '5 <= 3 num||$6 <= 3'
    '5 <> 3 num||$6 != 3'
    'key < c020||$1 < "c020"'
    'key@1 >= 45 num width=3||substr($1, 2, 3) + 0 >= 45'
    '2 = Oslo;5 > 2 num||substr($3, 1, 4) == "Oslo" && $6 > 2'
    '5 > 4 num|--from c010 --to c050|$1 >= "c010" && $1 <= "c050" && $6 > 4'
    '5 > 4 num|--from c04 --to c06|$1 >= "c04" && substr($1, 1, 3) <= "c06" && $6 > 4'
    '3 < 300 num scale=2|--key 2 --from Lima --to Oslo|$3 >= "Lima" && substr($3, 1, 4) <= "Oslo" && $4 < 30000'
    '2 = Nowhere||0'
)
for c in "${cases[@]}"; do
    IFS='|' read -r conditions options selection <<<"$c"
    where=()
    IFS=';' read -ra parts <<<"$conditions"
    for p in "${parts[@]}"; do where+=(--where "$p"); done
    read -ra opts <<<"$options"
    expected=$(awk -F, "$selection {print \$1}" "$WORK/rows.csv" | sort)
    for packed in "" --packed; do
        what="$conditions $options $packed"
        run "$MDK" scan "$WORK/f.dat" "${where[@]}" "${opts[@]}" $packed --format csv
        expect_status "$what: exit status" 0
        keys=$(cut -d, -f1 <<<"$out")
        expect_eq "$what: records" "$expected" "$(sort <<<"$keys")"
    done
    run "$MDK" scan "$WORK/f.dat" "${where[@]}" "${opts[@]}" --count
    expect_eq "$conditions $options: count" "$(grep -c . <<<"$expected" || true)" "$out"
    # In key order: as the dump of the same key lists them.
    in_order=$(awk 'NR == FNR {want[$1]; next} $1 in want' <(echo "$expected") \
        <("$MDK" dump "$WORK/f.dat" "${opts[@]}" --format csv | cut -d, -f1))
    expect_eq "$conditions $options: key order" "$in_order" "$keys"
done

# Whole records come out, as dump shows them.
run "$MDK" scan "$WORK/f.dat" --where 'key = c007' --format jsonl
expect_eq "whole record" "$("$MDK" get "$WORK/f.dat" c007 --format jsonl)" "$out"

# The library's refusals, with its message and code.
run "$MDK" scan "$WORK/f.dat" --where '9 = x'
expect_status "missing field" 1
expect_contains "missing field: why" "Record field not found (code 48)" "$err"
for bad in 'city = Oslo' '2 ~ Oslo' '3 > abc num'; do
    run "$MDK" scan "$WORK/f.dat" --where "$bad"
    expect_status "malformed condition '$bad'" 2
    expect_contains "malformed condition '$bad': named" "--where \"$bad\"" "$err"
done

# Indexed files filter the same way.  (Their records are zero-filled: a number in the last
# field would be read with the zeros after it, so the number comes first here.)
echo '{"kind": "indexed", "recordSize": 20}' >"$WORK/ind.json"
"$MDK" create "$WORK/n.ind" --layout "$WORK/ind.json" >/dev/null
for ((i = 0; i < 30; i++)); do printf '%d,%d,%s\n' "$i" $((i * 3)) "${cities[i % 6]}"; done |
    "$MDK" load "$WORK/n.ind" --format csv >/dev/null
for packed in "" --packed; do
    run "$MDK" scan "$WORK/n.ind" --where '2 = Rome' --where '1 >= 30 num' --from 5 $packed \
        --format csv
    expect_eq "indexed $packed" "$(printf '%s\n' 00000015,45,Rome 00000021,63,Rome 00000027,81,Rome)" \
        "$out"
done

finish
