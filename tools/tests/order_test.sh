# Records in the order of each key, forwards and backwards, and key ranges: against orders and
# selections worked out here from the rows loaded (sort and awk over the same data).
source "$(dirname "$0")/lib.sh"

words=(apple Banana cherry Date elder Fig grape Hazel)
cities=(Oslo Quito Lima Rome Bergen Zagreb Aarhus)
for ((i = 0; i < 80; i++)); do
    printf 'c%03d,%s%03d,%s,%d\n' "$i" "${words[i % 8]}" $((i * 37 % 1000)) "${cities[i % 7]}" \
        $((i * 13 % 97))
done >"$WORK/rows.csv"

cat >"$WORK/layout.json" <<'JSON'
{"storage": "block", "blockSize": 1024, "recordSize": 60, "keyAreaSize": 4,
 "keys": [{"segments": [{"field": "key", "length": 4}]},
          {"segments": [{"field": 1, "length": 12, "options": ["upper"]}]},
          {"segments": [{"field": 2, "length": 8, "descending": true}]}]}
JSON
"$MDK" create "$WORK/f.dat" --layout "$WORK/layout.json" >/dev/null
run "$MDK" load "$WORK/f.dat" --input "$WORK/rows.csv"
expect_contains "load" "inserted 80, updated 0, refused 0" "$out"

column() { cut -d, -f"$1"; }  # a csv column of the dump (the data has no commas or quotes)
dump() { "$MDK" dump "$WORK/f.dat" --format csv "$@"; }

# Whole orders.  (A descending alternate key would put a city before the longer ones it begins:
# the record-address suffix follows a value's own bytes, ahead of its padding.  The cities here
# do not begin one another.)
expect_eq "key 1 order" "$(column 1 <"$WORK/rows.csv" | sort)" "$(dump | column 1)"
expect_eq "key 2 order: names without regard to case" \
    "$(awk -F, '{print toupper($2) "," $1}' "$WORK/rows.csv" | sort | column 2)" \
    "$(dump --key 2 | column 1)"
expect_eq "key 3 order: cities descending" "$(column 3 <"$WORK/rows.csv" | sort -r)" \
    "$(dump --key 3 | column 3)"
for k in 1 2 3; do
    expect_eq "key $k backwards" "$(dump --key $k | tac)" "$(dump --key $k --reverse)"
done

# Ranges: (key, from, to, the rows' awk selection, the column the order is checked on).
ranges=(
    "1|c010|c019|\$1 >= \"c010\" && \$1 <= \"c019\""
    "1|c035||\$1 >= \"c035\""
    "1||c02|substr(\$1, 1, 3) <= \"c02\""
    "1|c08|c09|0"
    "2|b|d|toupper(\$2) >= \"B\" && substr(toupper(\$2), 1, 1) <= \"D\""
    "2|GRAPE500||toupper(\$2) >= \"GRAPE500\""
    "3|Rome|Lima|\$3 == \"Rome\" || \$3 == \"Quito\" || \$3 == \"Oslo\" || \$3 == \"Lima\""
)
for r in "${ranges[@]}"; do
    IFS='|' read -r key from to selection <<<"$r"
    args=(--key "$key")
    [[ -n $from ]] && args+=(--from "$from")
    [[ -n $to ]] && args+=(--to "$to")
    expected=$(awk -F, "$selection {print \$1}" "$WORK/rows.csv" | sort)
    forward=$(dump "${args[@]}" | column 1)
    expect_eq "range $r: records" "$expected" "$(sort <<<"$forward")"
    in_order=$(awk 'NR == FNR {want[$1]; next} $1 in want' <(echo "$expected") \
        <(dump --key "$key" | column 1))
    expect_eq "range $r: in key order" "$in_order" "$forward"
    expect_eq "range $r: backwards" "$(tac <<<"$forward")" "$(dump "${args[@]}" --reverse | column 1)"
done

# get finds a record by any key, in the key's own form (key 2 folds case).
run "$MDK" get "$WORK/f.dat" --key 2 "cherry074" --format csv
expect_eq "get by key 2" "c002,cherry074,Lima,26" "$out"
run "$MDK" get "$WORK/f.dat" c042 --format csv
expect_eq "get by key 1" "$(grep '^c042,' "$WORK/rows.csv")" "$out"

# Indexed files: record numbers.
echo '{"kind": "indexed", "recordSize": 16}' >"$WORK/ind.json"
"$MDK" create "$WORK/n.ind" --layout "$WORK/ind.json" >/dev/null
for ((i = 0; i < 12; i++)); do printf '%d,rec %d\n' "$i" "$i"; done >"$WORK/n.csv"
"$MDK" load "$WORK/n.ind" --input "$WORK/n.csv" >/dev/null
ndump() { "$MDK" dump "$WORK/n.ind" --format csv "$@" | column 1 | tr '\n' ' '; }
expect_eq "indexed order" "$(seq -f '%08g' 0 11 | tr '\n' ' ')" "$(ndump)"
expect_eq "indexed range" "00000003 00000004 00000005 00000006 00000007 " "$(ndump --from 3 --to 7)"
expect_eq "indexed range backwards" "00000007 00000006 00000005 00000004 00000003 " \
    "$(ndump --from 3 --to 00000007 --reverse)"
expect_eq "indexed range past the end" "00000010 00000011 " "$(ndump --from 10 --to 500)"
expect_eq "indexed backwards" "$(seq -f '%08g' 11 -1 0 | tr '\n' ' ')" "$(ndump --reverse)"
run "$MDK" dump "$WORK/n.ind" --from x7
expect_status "indexed key that is not a number" 1
expect_contains "indexed key that is not a number: why" "not a record number" "$err"

finish
