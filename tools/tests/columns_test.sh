# Column names over the sample data set of make_samples: dump, scan, get and load with --dict and
# --table (or a data file's own dictionary) print a header of column names, select by name, give
# typed numbers in jsonl, choose columns, and load their own output back byte for byte.
source "$(dirname "$0")/lib.sh"

S=$WORK/samples
sample_data "$S"
CUSTOMERS=(--dict "$S/sales.ini" --table CUSTOMERS)

# A data file that carries its own dictionary is a dictionary of one table, named after it.
run "$MDK" tables "$S/stock.dat"
expect_status "tables of stock.dat" 0
expect_eq "tables of stock.dat" "stock stock.dat" "$(sed 's/  */ /' <<<"$out")"
run "$MDK" tables "$S/orders.dat"
expect_status "tables of orders.dat, which carries no dictionary" 1

# The csv header: "key", then the data columns in the dictionary's order (the .ini section less
# its first column, the key).
ini_columns() {
    awk -v want="[$2]" '/^\[/ {inside = ($0 == want); next} inside && /=/ {print}' "$1" |
        cut -d= -f1 | tail -n +2 | paste -sd, -
}
run "$MDK" dump "$S/customers.dat" "${CUSTOMERS[@]}" --format csv
expect_status "dump by CUSTOMERS" 0
expect_eq "csv header" "key,$(ini_columns "$S/sales.ini" CUSTOMERS)" "$(head -1 <<<"$out")"
expect_eq "csv rows below the header" 36 "$(tail -n +2 <<<"$out" | grep -c .)"
expect_eq "csv rows: the fixed region split from the name" "C00003,EA,Acme Holdings,Oslo,158.38" \
    "$(grep '^C00003,' <<<"$out")"
"$MDK" dump "$S/customers.dat" "${CUSTOMERS[@]}" --format csv >"$WORK/customers.csv"

# --where by name selects what --where by field number selects.
keys_by_number() { "$MDK" scan "$1" "${@:3}" | cut -f1; }
keys_by_name() { "$MDK" scan "$1" --dict "$2" "${@:3}" --columns key | tail -n +2; }
while IFS='|' read -r file dict table by_number by_name; do
    expected=$(keys_by_number "$S/$file" - --where "$by_number")
    got=$(keys_by_name "$S/$file" "$S/$dict" --table "$table" --where "$by_name")
    [[ -n $expected ]] || fail "$by_number selects nothing: the case shows nothing"
    expect_eq "$file: --where '$by_name' as '$by_number'" "$expected" "$got"
done <<'EOF'
customers.dat|sales.ini|CUSTOMERS|2 = Oslo|CITY = Oslo
customers.dat|sales.ini|CUSTOMERS|3 >= 500 num|balance >= 500 num
customers.dat|sales.ini|CUSTOMERS|1 = SO|REGION = SO
customers.dat|sales.ini|CUSTOMERS|1@2 = Dunmore|NAME = Dunmore
customers.dat|sales.ini|CUSTOMERS|key < C00010|CUSTNO < C00010
orders.dat|sales.ini|ORDERS|1@6 > 0030 num width=4|QTY > 30 num
orders.dat|sales.ini|ORDERS|1 = C00008|CUSTNO = C00008
stock.dat|stock.dat|stock|1@5 >= 100 num width=3|BIN >= 100 num
stock.dat|meridane.ddf|STOCK|4 = SUP003|SUPPLIER = SUP003
EOF
run "$MDK" scan "$S/customers.dat" "${CUSTOMERS[@]}" --where 'REGION = SOX'
expect_status "a text longer than its fixed column" 2
run "$MDK" scan "$S/customers.dat" "${CUSTOMERS[@]}" --where 'TOWN = Oslo'
expect_status "a name that is no column" 2
expect_contains "a name that is no column: said" "a column" "$err"

# jsonl: numbers of numeric columns are JSON numbers, rows keyed by column name.
run "$MDK" dump "$S/stock.dat" --table stock --format jsonl
expect_status "dump by the file's own dictionary" 0
expect_eq "jsonl: typed numbers" \
    '{"key":"S0000002","LOCATION":"A02-2","BIN":11,"DESCRIPTION":"Nuts","ONHAND":13,"PRICE":0.55,"SUPPLIER":"SUP002","REORDER":75}' \
    "$(sed -n 2p <<<"$out")"
run "$MDK" dump "$S/customers.dat" "${CUSTOMERS[@]}" --format jsonl
expect_eq "jsonl: every balance a number" 36 "$(grep -c '"BALANCE":[-0-9]' <<<"$out")"
expect_eq "jsonl: the same balances as csv" \
    "$(tail -n +2 "$WORK/customers.csv" | cut -d, -f5 | awk '{printf "%.2f\n", $1}')" \
    "$(sed 's/.*"BALANCE":\([-0-9.]*\)}/\1/' <<<"$out" | awk '{printf "%.2f\n", $1}')"
run "$MDK" get "$S/orders.dat" O0000003 --dict "$S/sales.ini" --table ORDERS --format jsonl
expect_eq "get by name" \
    '{"key":"O0000003","CUSTNO":"C00015","QTY":7,"ITEM":"Washers","ORDERDATE":20240303,"AMOUNT":20.0}' \
    "$out"

# --columns chooses and orders.
run "$MDK" dump "$S/customers.dat" "${CUSTOMERS[@]}" --format csv --columns CITY,key
expect_eq "--columns" "$(awk -F, '{print $4 "," $1}' "$WORK/customers.csv" | sed 1s/.*/CITY,key/)" \
    "$out"
run "$MDK" dump "$S/customers.dat" --columns CITY
expect_status "--columns without a table" 2
run "$MDK" dump "$S/customers.dat" "${CUSTOMERS[@]}" --columns CITY,TOWN
expect_status "--columns naming no column" 2
run "$MDK" dump "$S/customers.dat" --dict "$S/sales.ini"
expect_status "--dict of two tables without --table" 2
run "$MDK" dump "$S/stock.dat" --salvage --table stock
expect_status "--salvage, which prints every byte it can read, with a table" 2

# Named output loads back into an empty copy, which then dumps as the source does; a header in
# another order loads the same.
while IFS='|' read -r file dict table columns; do
    "$MDK" dump "$S/$file" >"$WORK/$file.plain"
    for format in csv jsonl; do
        for choice in "" "$columns"; do
            copy=$WORK/copy.$file.$dict.$format${choice:+.reordered}
            named=(--dict "$S/$dict" --table "$table")
            "$MDK" dump "$S/$file" "${named[@]}" --format $format ${choice:+--columns "$choice"} \
                >"$copy.$format"
            "$MDK" create "$copy" --like "$S/$file" >/dev/null
            run "$MDK" load "$copy" "${named[@]}" --input "$copy.$format"
            records=$("$MDK" info "$S/$file" --json | sed -n 's/^  "records": \([0-9]*\),$/\1/p')
            expect_contains "$file by $table, $format ${choice:-}: load" \
                "inserted $records, updated 0, refused 0" "$out"
            "$MDK" dump "$copy" >"$copy.plain"
            expect_same_file "$file by $table, $format ${choice:-}: dump, load, dump" \
                "$WORK/$file.plain" "$copy.plain"
        done
    done
done <<'EOF'
customers.dat|sales.ini|CUSTOMERS|BALANCE,CITY,NAME,REGION,CUSTNO
customers.dat|meridane.ddf|CUSTOMERS|NAME,key,BALANCE,CITY,REGION
orders.dat|sales.ini|ORDERS|AMOUNT,ITEM,ORDERNO,QTY,ORDERDATE,CUSTNO
stock.dat|stock.dat|stock|REORDER,SUPPLIER,PRICE,ONHAND,DESCRIPTION,BIN,LOCATION,STOCKNO
EOF

# A header that names what is no column stops the load before any row is written.
"$MDK" create "$WORK/empty.dat" --like "$S/customers.dat" >/dev/null
printf 'key,TOWN\nC1,Oslo\n' >"$WORK/bad.csv"
run "$MDK" load "$WORK/empty.dat" "${CUSTOMERS[@]}" --input "$WORK/bad.csv"
expect_status "a header naming no column" 2
expect_contains "a header naming no column: said" "TOWN is no column of table CUSTOMERS" "$err"
expect_eq "a header naming no column: nothing written" "" "$("$MDK" dump "$WORK/empty.dat")"
printf '{"key": "C1", "BALANCE": 1.005}\n{"key": "C2", "CITY": 7}\n' >"$WORK/bad.jsonl"
run "$MDK" load "$WORK/empty.dat" "${CUSTOMERS[@]}" --input "$WORK/bad.jsonl"
expect_status "jsonl values a column cannot hold" 1
expect_contains "jsonl values a column cannot hold: said" "more decimals" "$err"
expect_eq "jsonl values a column cannot hold: nothing written" "" "$("$MDK" dump "$WORK/empty.dat")"

# A record with bytes no column holds is not printed by the columns, and said; chosen columns
# print what they hold.
"$MDK" put "$WORK/empty.dat" C00001 NOAcme Oslo 1.00 >/dev/null
"$MDK" put "$WORK/empty.dat" C00002 NOAcme Oslo 1.00 'a fourth field' >/dev/null
run "$MDK" dump "$WORK/empty.dat" "${CUSTOMERS[@]}" --format csv
expect_status "a record the columns do not hold whole" 1
expect_eq "a record the columns do not hold whole: the others printed" \
    "$(printf 'key,REGION,NAME,CITY,BALANCE\nC00001,NO,Acme,Oslo,1.00')" "$out"
expect_contains "a record the columns do not hold whole: said" 'key "C00002": not printed' "$err"
run "$MDK" dump "$WORK/empty.dat" "${CUSTOMERS[@]}" --format csv --columns key,CITY
expect_status "chosen columns" 0
expect_eq "chosen columns: every record" "$(printf 'key,CITY\nC00001,Oslo\nC00002,Oslo')" "$out"

# Values are text in --encoding (UTF-8 by default, escapes in raw), and load back to the same
# bytes; a where text is one too, and a character the file cannot hold refuses its row as such.
"$MDK" create "$WORK/letters.dat" --like "$S/customers.dat" >/dev/null
"$MDK" put "$WORK/letters.dat" C00001 'NOZ\xfcrich AG' 'Malm\xf6' 1.00 >/dev/null
"$MDK" put "$WORK/letters.dat" C00002 'SEOslo AS' Oslo 2.50 >/dev/null
run "$MDK" get "$WORK/letters.dat" C00001 "${CUSTOMERS[@]}" --format csv
expect_eq "utf-8 by name" "$(printf 'key,REGION,NAME,CITY,BALANCE\nC00001,NO,Zürich AG,Malmö,1.00')" \
    "$out"
run "$MDK" get "$WORK/letters.dat" C00001 "${CUSTOMERS[@]}" --format jsonl --encoding raw
expect_eq "raw by name" \
    '{"key":"C00001","REGION":"NO","NAME":"Z\\xfcrich AG","CITY":"Malm\\xf6","BALANCE":1.0}' "$out"
expect_eq "a where text in utf-8, by name" "C00001" \
    "$("$MDK" scan "$WORK/letters.dat" "${CUSTOMERS[@]}" --where 'CITY = Malmö' --columns key |
        tail -n +2)"
"$MDK" dump "$WORK/letters.dat" >"$WORK/letters.plain"
for format in csv jsonl; do
    "$MDK" dump "$WORK/letters.dat" "${CUSTOMERS[@]}" --format $format >"$WORK/letters.$format"
    "$MDK" create "$WORK/letters.$format.dat" --like "$S/customers.dat" >/dev/null
    run "$MDK" load "$WORK/letters.$format.dat" "${CUSTOMERS[@]}" --input "$WORK/letters.$format"
    expect_contains "utf-8 by name, $format: load" "inserted 2, updated 0, refused 0" "$out"
    "$MDK" dump "$WORK/letters.$format.dat" >"$WORK/letters.$format.plain"
    expect_same_file "utf-8 by name, $format: dump, load, dump" "$WORK/letters.plain" \
        "$WORK/letters.$format.plain"
done
{
    echo key,CITY
    for n in 1 2 3 4 5 6 7; do echo "C0000$n,上海"; done
} >"$WORK/unheld.csv"
run "$MDK" load "$WORK/empty.dat" "${CUSTOMERS[@]}" --input "$WORK/unheld.csv"
expect_status "characters the file cannot hold" 1
expect_contains "characters the file cannot hold: said" "has no Windows-1252 byte" "$err"
expect_contains "characters the file cannot hold: their kind" \
    "2 more rows refused from line 7 on, not listed: text the file cannot hold" "$err"

finish
