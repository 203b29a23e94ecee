# Data a file cannot hold as given is refused with the reason, by put and by load, and nothing
# is written: data longer than an indexed file's records (unless --truncate asks for the cut),
# data for a file whose record size is 0.
source "$(dirname "$0")/lib.sh"

echo '{"kind": "indexed", "recordSize": 10}' >"$WORK/ind.json"
new_indexed() {
    rm -f "$WORK/n.ind"
    "$MDK" create "$WORK/n.ind" --layout "$WORK/ind.json" >/dev/null
}
records() { "$MDK" info "$WORK/$1" --json | sed -n 's/^  "records": \([0-9]*\),$/\1/p'; }

# put on an indexed file of 10-byte records: arguments | exit status | what it says | record 0
# afterwards ("-": none)
new_indexed
steps=(
    "0 --data 0123456789AB|1|12 bytes of data do not fit the file's records of 10 bytes|-"
    "0 01234 56789|1|11 bytes of data do not fit|-"
    "0 --data 0123456789|0|inserted key \"0\"|00000000	0123456789"
    "0 --data abcdefghijKL --update|1|12 bytes of data do not fit|00000000	0123456789"
    "0 --data abcdefghijKL --update --truncate|0|updated key \"0\" (data cut to 10 bytes)|00000000	abcdefghij"
)
for s in "${steps[@]}"; do
    IFS='|' read -r line want_status want record <<<"$s"
    read -ra args <<<"$line"
    run "$MDK" put "$WORK/n.ind" "${args[@]}"
    expect_status "put $line" "$want_status"
    expect_contains "put $line: says" "$want" "$out$err"
    if [[ $record == - ]]; then
        expect_eq "put $line: nothing written" 0 "$(records n.ind)"
    else
        expect_eq "put $line: record 0" "$record" "$("$MDK" get "$WORK/n.ind" 0)"
    fi
done

# load: the long row refused with its line and reason, the others loaded; --truncate cuts it.
printf '%s\n' '0,short' '1,exactly10b' '2,much too long for ten' >"$WORK/rows.csv"
new_indexed
run "$MDK" load "$WORK/n.ind" --input "$WORK/rows.csv"
expect_status "load: a row too long" 1
expect_contains "load: counts" "inserted 2, updated 0, refused 1" "$out"
expect_contains "load: line and reason" \
    "rows.csv:3: refused key \"2\": 21 bytes of data do not fit the file's records of 10 bytes" "$err"
new_indexed
run "$MDK" load "$WORK/n.ind" --input "$WORK/rows.csv" --truncate
expect_status "load --truncate" 0
expect_contains "load --truncate: counts" "inserted 3, updated 0, refused 0 (1 cut to the record size)" "$out"
expect_eq "load --truncate: cut" "00000002,much too l" "$("$MDK" get "$WORK/n.ind" 2 --format csv)"

# A file of keys only: a record without data goes in, data is refused, cut or not.
echo '{"keyAreaSize": 6, "keys": [{"segments": [{"field": "key", "length": 6}]}]}' >"$WORK/keys.json"
"$MDK" create "$WORK/keys.dat" --layout "$WORK/keys.json" >/dev/null
for args in "K00001 hello world" "K00001 --data x" "K00001 x --truncate"; do
    read -ra a <<<"$args"
    run "$MDK" put "$WORK/keys.dat" "${a[@]}"
    expect_status "keys only: put $args" 1
    expect_contains "keys only: put $args: why" "the file holds keys only (record size 0)" "$err"
done
expect_eq "keys only: nothing written" 0 "$(records keys.dat)"
run "$MDK" put "$WORK/keys.dat" K00002
expect_status "keys only: a key alone" 0
printf '%s\n' 'K00003' 'K00004,data' 'K00005,""' >"$WORK/keys.csv"
run "$MDK" load "$WORK/keys.dat" --input "$WORK/keys.csv"
expect_contains "keys only: load counts" "inserted 2, updated 0, refused 1" "$out"
expect_contains "keys only: load reason" \
    "keys.csv:2: refused key \"K00004\": the file holds keys only (record size 0): 4 bytes" "$err"
expect_eq "keys only: what is stored" "K00002 K00003 K00005" \
    "$("$MDK" dump "$WORK/keys.dat" --format csv | cut -d, -f1 | xargs)"

finish
