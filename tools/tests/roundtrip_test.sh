# Dump, load into a new file, dump again: the same text, for files made here with mdk create and
# mdk load in every shape the tool handles: slot and block mode, compression, separator bytes,
# length-prefixed fields, binary bytes needing escapes, records longer than the record size,
# keys from the data, key-only files and indexed files.  The first dump is also compared with
# the rows that were loaded: they are written here as dump writes them, in key order.
source "$(dirname "$0")/lib.sh"

N=50

# JSON string literals of escaped field texts that need care: quotes and commas (csv),
# binary bytes, blanks at the ends, a backslash, a tab.
specials=('""' '"comma, and \"quote\""' '"\\x00\\xff\\x7f\\x02"' '" padded "' '"back\\\\slash"'
          '"tab\\x09in"')

rows_plain() {  # with "accented": Windows-1252 letters in every fifth record too
    for ((i = 1; i <= N; i++)); do
        local special=${specials[i % ${#specials[@]}]}
        [[ ${1:-} == accented && $((i % 5)) == 0 ]] && special='"\\xc9t\\xe9"'
        printf '{"key":"r%05d","fields":["name %d",%s,"%d.%02d"]}\n' "$i" $((i * 37 % 101)) \
            "$special" $((i * 7)) $((i % 100))
    done
}

rows_long() {  # every seventh record is longer than the record size: continuation pieces
    local long
    long=$(printf 'L%.0s' {1..300})
    for ((i = 1; i <= N; i++)); do
        local f2="short $i"
        (( i % 7 == 0 )) && f2=$long
        printf '{"key":"r%05d","fields":["n%d","%s","%s"]}\n' "$i" "$i" "$f2" '\\x8a in a field'
    done
}

rows_compressible() {  # runs of equal bytes and of zeros, keys starting with byte 0x01
    local run zeros
    run=$(printf 'a%.0s' {1..90})
    zeros=$(printf '%s' '\\x00'{,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,})
    for ((i = 1; i <= N; i++)); do
        printf '{"key":"%sk%04d","fields":["%s","%s","x%d",""]}\n' '\\x01' "$i" "$run" "$zeros" "$i"
    done
}

rows_prefixed() {  # length-prefixed fields, with prefixes a writer would not choose, kept
    local long
    long=$(printf 'P%.0s' {1..150})
    local shapes=('["alpha","beta"]' '[]' '["\\p93abcd","x"]' '["","\\R\\x05zz"]'
                  "[\"$long\",\"tail\"]" '["\\pf1hi"]' '["with\\x8abyte","\\x00"]')
    for ((i = 1; i <= N; i++)); do
        printf '{"key":"%s%04d","fields":%s}\n' '\\xe9' "$i" "${shapes[i % ${#shapes[@]}]}"
    done
}

rows_datakey() {  # no key area: the keys come from the data fields
    for ((i = 1; i <= N; i++)); do
        printf '{"key":"","fields":["id%05d","unique name %d","%s"]}\n' "$i" "$i" "$((i % 3))"
    done
}

rows_keyonly() {  # record size 0: a record is its key
    for ((i = 1; i <= N; i++)); do printf '{"key":"k%04d","fields":[""]}\n' "$i"; done
}

rows_indexed() {  # record numbers; the last field never ends in a zero byte (records are
    for ((i = 0; i < N; i++)); do  # zero-filled, and the zeros are not data)
        printf '{"key":"%08d","fields":["name %d",%s,"%d"]}\n' "$i" "$i" \
            "${specials[i % ${#specials[@]}]}" "$i"
    done
}

rows_indexed_prefixed() {
    for ((i = 0; i < N; i++)); do
        printf '{"key":"%08d","fields":["ab%d","%s","z"]}\n' "$i" "$i" '\\x00c'
    done
}

# name %% layout %% rows
cases=(
"slot %% {\"storage\":\"slot\",\"blockSize\":1024,\"recordSize\":100,\"keyAreaSize\":8,
  \"keys\":[{\"segments\":[{\"field\":\"key\",\"length\":8}]},
            {\"segments\":[{\"field\":1,\"length\":10,\"options\":[\"upper\"]}]}]} %% rows_plain"
"block-separator %% {\"storage\":\"block\",\"blockSize\":2048,\"recordSize\":60,\"keyAreaSize\":8,
  \"separator\":\"|\",\"keys\":[{\"segments\":[{\"field\":\"key\",\"length\":8}]}]} %% rows_long"
"block-default %% {\"blockSize\":1024,\"recordSize\":100,\"keyAreaSize\":7,
  \"keys\":[{\"segments\":[{\"field\":\"key\",\"length\":7}]},
            {\"segments\":[{\"field\":3,\"length\":6,\"descending\":true}]}]} %% rows_plain accented"
"compressed %% {\"blockSize\":1024,\"recordSize\":200,\"keyAreaSize\":6,\"compress\":true,
  \"separator\":1,\"keys\":[{\"segments\":[{\"field\":\"key\",\"length\":6}]}]} %% rows_compressible"
"length-prefixed %% {\"blockSize\":1024,\"recordSize\":220,\"keyAreaSize\":6,
  \"separator\":\"length-prefixed\",\"keys\":[{\"segments\":[{\"field\":\"key\",\"length\":6}]},
  {\"segments\":[{\"field\":2,\"length\":4}]}]} %% rows_prefixed"
"data-keys %% {\"storage\":\"slot\",\"blockSize\":1024,\"recordSize\":80,\"keyAreaSize\":0,
  \"keys\":[{\"segments\":[{\"field\":1,\"length\":7}]},
            {\"unique\":true,\"segments\":[{\"field\":2,\"length\":16}]}]} %% rows_datakey"
"key-only %% {\"storage\":\"slot\",\"blockSize\":1024,\"recordSize\":0,\"keyAreaSize\":10,
  \"keys\":[{\"segments\":[{\"field\":\"key\",\"length\":10}]}]} %% rows_keyonly"
"indexed %% {\"kind\":\"indexed\",\"recordSize\":48} %% rows_indexed"
"indexed-no-separator %% {\"kind\":\"indexed\",\"recordSize\":20,\"separator\":\"none\"} %% rows_indexed_prefixed"
)

for c in "${cases[@]}"; do
    c=$(tr '\n' ' ' <<<"$c")
    name=${c%% %% *}
    rest=${c#* %% }
    layout=${rest% %% *}
    generator=${rest##* %% }
    dir=$WORK/$name
    mkdir -p "$dir"
    echo "$layout" >"$dir/layout.json"
    eval "$generator" >"$dir/rows.jsonl"
    run "$MDK" create "$dir/a.dat" --layout "$dir/layout.json"
    expect_status "$name: create" 0
    run "$MDK" load "$dir/a.dat" --input "$dir/rows.jsonl"
    expect_status "$name: load" 0
    expect_contains "$name: load counts" "inserted $N, updated 0, refused 0" "$out"

    # The dump is the rows as they were loaded (written in the raw form, every byte past ASCII
    # escaped).
    "$MDK" dump "$dir/a.dat" --format jsonl --encoding raw >"$dir/a.jsonl"
    expect_same_file "$name: dump of the loaded rows" "$dir/rows.jsonl" "$dir/a.jsonl"

    # Through csv in UTF-8 (the default) into a second file; the layout through info --layout
    # and create.
    "$MDK" dump "$dir/a.dat" --format csv >"$dir/a.utf8.csv"
    "$MDK" create "$dir/b.dat" --like "$dir/a.dat" >/dev/null
    run "$MDK" load "$dir/b.dat" --input "$dir/a.utf8.csv"
    expect_contains "$name: csv load" "inserted $N, updated 0, refused 0" "$out"
    "$MDK" info "$dir/a.dat" --layout >"$dir/a.layout"
    "$MDK" create "$dir/c.dat" --layout "$dir/a.layout" >/dev/null
    "$MDK" info "$dir/c.dat" --layout >"$dir/c.layout"
    expect_same_file "$name: layout through info --layout" "$dir/a.layout" "$dir/c.layout"
    for format in jsonl csv text; do
        for copy in a b; do
            "$MDK" dump "$dir/$copy.dat" --format $format --encoding raw >"$dir/$copy.$format"
        done
        expect_same_file "$name: dump of copy in $format" "$dir/a.$format" "$dir/b.$format"
    done

    # Backwards is the same records the other way round.
    "$MDK" dump "$dir/a.dat" --reverse --format jsonl --encoding raw >"$dir/a.reverse"
    expect_same_file "$name: reverse dump" <(tac "$dir/a.jsonl") "$dir/a.reverse"

    for copy in a b; do
        run "$MDK" check "$dir/$copy.dat"
        expect_status "$name: check $copy" 0
    done
done

finish
