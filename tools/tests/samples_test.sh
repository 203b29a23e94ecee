# The sample data set of make_samples: every data file goes through dump, load into a new file
# and dump again unchanged; the files are sound; the catalog lists the tables and columns the
# dictionaries hold; a filtered scan agrees with awk over the dump.
source "$(dirname "$0")/lib.sh"

S=$WORK/samples
sample_data "$S"

for file in customers.dat orders.dat stock.dat products.ind meridane.ddf; do
    records=$("$MDK" info "$S/$file" --json | sed -n 's/^  "records": \([0-9]*\),$/\1/p')
    for format in jsonl csv; do
        copy=$WORK/$file.$format.copy
        "$MDK" dump "$S/$file" --format $format >"$WORK/$file.$format"
        expect_eq "$file $format: every record dumped" "$records" "$(grep -c . "$WORK/$file.$format")"
        "$MDK" create "$copy" --like "$S/$file" >/dev/null
        run "$MDK" load "$copy" --input "$WORK/$file.$format"
        expect_contains "$file $format: load" "inserted $records, updated 0, refused 0" "$out"
        "$MDK" dump "$copy" --format $format >"$WORK/$file.$format.again"
        expect_same_file "$file $format: dump, load, dump" "$WORK/$file.$format" \
            "$WORK/$file.$format.again"
        run "$MDK" check "$copy"
        expect_status "$file $format: copy sound" 0
    done
    run "$MDK" check "$S/$file"
    expect_status "$file: sound" 0
done

# Tables: the .ini dictionary's *Tables* section, read here with awk.
ini_section() {  # the keys (or key=value lines) of one section of an .ini file
    awk -v want="[$2]" '/^\[/ {inside = ($0 == want); next} inside && /=/ {print}' "$1"
}
run "$MDK" tables "$S/sales.ini"
expect_status "tables of sales.ini" 0
expect_eq "tables of sales.ini: names and files" \
    "$(ini_section "$S/sales.ini" '*Tables*' | tr '=' ' ')" \
    "$(sed 's/  */ /' <<<"$out")"

# The keyed dictionary lists its records, but for record 000000 and those starting with '*'.
run "$MDK" tables "$S/meridane.ddf" --json
expect_status "tables of meridane.ddf" 0
expect_eq "tables of meridane.ddf: names" \
    "$("$MDK" dump "$S/meridane.ddf" --format csv | awk -F, '$1 != "000000" {split($2, f, "|"); if (substr(f[1], 1, 1) != "*") print f[1]}')" \
    "$(sed -n 's/^    "name": "\(.*\)",$/\1/p' <<<"$out")"

# Columns of an .ini table, in the section's order; of a table with a column source.
columns() { "$MDK" columns "$@" | awk 'NR > 1 {print $1}'; }
expect_eq "columns of CUSTOMERS in sales.ini" \
    "$(ini_section "$S/sales.ini" CUSTOMERS | cut -d= -f1)" "$(columns "$S/sales.ini" customers)"
expect_eq "columns of ORDERS from orders_cols.ini" \
    "$(ini_section "$S/orders_cols.ini" ORDERS | cut -d= -f1)" "$(columns "$S/sales.ini" ORDERS)"
# The same table through the keyed dictionary: the columns the data file carries itself.
expect_eq "CUSTOMERS through both dictionaries" "$(columns "$S/sales.ini" CUSTOMERS)" \
    "$(columns "$S/meridane.ddf" CUSTOMERS)"
run "$MDK" columns "$S/meridane.ddf" stock --json
expect_status "columns of STOCK (embedded dictionary)" 0
expect_contains "columns of STOCK: the key column" '"field": 0' "$out"
run "$MDK" columns "$S/sales.ini" CUSTOMERS
expect_contains "column attributes" "BALANCE                 N    D     9.2" "$out"
run "$MDK" columns "$S/sales.ini" NOSUCH
expect_status "columns of a missing table" 1
# A data file without its own dictionary lists no tables: tables says so and names the way to
# its columns, which works.  (One that carries its own lists itself: columns_test.sh.)
run "$MDK" tables "$S/orders.dat"
expect_status "tables of a data file without its own dictionary" 1
expect_contains "tables of a data file without its own dictionary: the way to its columns" \
    "the columns of such a data file's table are those \"mdk columns $S/meridane.ddf TABLE\" lists" \
    "$err"
expect_eq "columns of the table of stock.dat" "STOCK" \
    "$("$MDK" tables "$S/meridane.ddf" --json | grep -B1 '"fileSpec": "stock.dat"' | sed -n 's/.*"name": "\(.*\)",/\1/p')"

# A filtered scan of a sample file.
"$MDK" dump "$S/customers.dat" --format csv >"$WORK/customers.csv"
expect_eq "scan of customers.dat" \
    "$(awk -F, '$3 == "Oslo" && $4 >= 100 {print $1}' "$WORK/customers.csv")" \
    "$("$MDK" scan "$S/customers.dat" --where '2 = Oslo' --where '3 >= 100 num' --format csv | cut -d, -f1)"

finish
