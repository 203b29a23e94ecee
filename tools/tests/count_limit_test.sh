# Listing part of a file and counting: scan without --where (every record of the key range),
# --limit N and --count on dump and scan, against the full listings they cut or count.
source "$(dirname "$0")/lib.sh"

cat >"$WORK/layout.json" <<'JSON'
{"blockSize": 1024, "recordSize": 40, "keyAreaSize": 4,
 "keys": [{"segments": [{"field": "key", "length": 4}]},
          {"segments": [{"field": 2, "length": 6}]}]}
JSON
F=$WORK/f.dat
"$MDK" create "$F" --layout "$WORK/layout.json" >/dev/null
cities=(Oslo Lima Rome Bergen Zagreb)
for ((i = 0; i < 50; i++)); do printf 'c%03d,name%d,%s\n' "$i" "$i" "${cities[i * 3 % 5]}"; done |
    "$MDK" load "$F" --format csv >/dev/null
echo '{"kind": "indexed", "recordSize": 20}' >"$WORK/ind.json"
"$MDK" create "$WORK/n.ind" --layout "$WORK/ind.json" >/dev/null
for ((i = 0; i < 30; i++)); do printf '%d,v%d\n' "$i" "$i"; done |
    "$MDK" load "$WORK/n.ind" --format csv >/dev/null
G=$WORK/n.ind

# scan without --where lists what dump lists, in the same order: (file | range options)
ranges=(
    "$F|"
    "$F|--from c010 --to c019"
    "$F|--from c04"
    "$F|--key 2 --from Lima --to Rome"
    "$G|"
    "$G|--from 5 --to 12"
)
for r in "${ranges[@]}"; do
    IFS='|' read -r file line <<<"$r"
    read -ra opts <<<"$line"
    full=$("$MDK" dump "$file" "${opts[@]}" --format csv)
    run "$MDK" scan "$file" "${opts[@]}" --format csv
    expect_status "scan ${file##*/} $line: exit status" 0
    expect_eq "scan ${file##*/} $line: every record" "$full" "$out"
    n=$(grep -c . <<<"$full")
    for cmd in dump scan; do
        expect_eq "$cmd ${file##*/} $line --count" "$n" "$("$MDK" "$cmd" "$file" "${opts[@]}" --count)"
        for limit in 0 7 100; do
            want=$(head -n "$limit" <<<"$full")
            run "$MDK" "$cmd" "$file" "${opts[@]}" --limit "$limit" --format csv
            expect_eq "$cmd ${file##*/} $line --limit $limit" "$want" "$out"
            run "$MDK" "$cmd" "$file" "${opts[@]}" --limit "$limit" --count
            expect_eq "$cmd ${file##*/} $line --limit $limit --count" \
                "$((limit < n ? limit : n))" "$out"
        done
    done
done

# With conditions and backwards, --limit cuts the listing it would print.
for args in "scan $F --where 2=Rome" "scan $F --where 2=Rome --packed" "dump $F --reverse" \
    "dump $F --key 2 --reverse"; do
    read -ra a <<<"$args"
    full=$("$MDK" "${a[@]}" --format csv)
    expect_eq "$args --limit 3" "$(head -n 3 <<<"$full")" "$("$MDK" "${a[@]}" --limit 3 --format csv)"
done

run "$MDK" scan "$F" --packed
expect_status "--packed without --where" 2
expect_contains "--packed without --where: why" "--packed sends the --where conditions" "$err"
run "$MDK" dump "$F" --limit -1
expect_status "a negative limit" 2

finish
