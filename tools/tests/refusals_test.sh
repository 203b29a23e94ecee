# What mdk refuses at once instead of losing or hiding data: a layout whose key segment reaches
# past the record, a name that is not a regular file, an indexed file cut short; and what it must
# not refuse: a path with "@" in a directory.
source "$(dirname "$0")/lib.sh"

# ---- a key segment past the key area: refused, naming the layout member, nothing made ----------
bad_segments=(
    '{"keyAreaSize": 6, "keys": [{"segments": [{"field": "key", "offset": 4, "length": 6}]}]}|layout.keys[0].segments[0]: offset 4 + length 6 reaches past the 6-byte key area'
    '{"keyAreaSize": 6, "recordSize": 20, "keys": [{"segments": [{"field": "key", "length": 6}]}, {"segments": [{"field": 1, "length": 4}, {"field": 0, "offset": 18, "length": 4}]}]}|layout.keys[1].segments[1]: offset 18 + length 4 reaches past the record size of 20 bytes'
)
for b in "${bad_segments[@]}"; do
    IFS='|' read -r json want <<<"$b"
    echo "$json" >"$WORK/bad.json"
    rm -f "$WORK/bad.dat"
    run "$MDK" create "$WORK/bad.dat" --layout "$WORK/bad.json"
    expect_status "layout $json" 1
    expect_contains "layout $json: names the member" "$want" "$err"
    [[ ! -e $WORK/bad.dat ]] && pass || fail "layout $json: a file was made"
done

# The same segment ending at the last byte of the key area is fine.
echo '{"keyAreaSize": 6, "keys": [{"segments": [{"field": "key", "offset": 4, "length": 2}]}]}' \
    >"$WORK/edge.json"
run "$MDK" create "$WORK/edge.dat" --layout "$WORK/edge.json"
expect_status "a segment to the last byte of the key area" 0

# ---- "@" in a directory is part of a local path ---------------------------------------------------
echo '{"recordSize": 20, "keyAreaSize": 6, "keys": [{"segments": [{"field": "key", "length": 6}]}]}' \
    >"$WORK/layout.json"
mkdir -p "$WORK/exports/a@b"
run "$MDK" create "$WORK/exports/a@b/x.dat" --layout "$WORK/layout.json"
expect_status "create in a@b" 0
run "$MDK" put "$WORK/exports/a@b/x.dat" K00001 hello
expect_status "put in a@b" 0
run "$MDK" get "$WORK/exports/a@b/x.dat" K00001
expect_status "get in a@b" 0
expect_contains "get in a@b: the record" "hello" "$out"
out=$(cd "$WORK" && "$MDK" dump exports/a@b/x.dat --format csv 2>&1)
expect_eq "dump by a relative path through a@b" "K00001,hello" "$out"

# ---- a FIFO is not a data file: refused with "can't open" ------------------------------------------
# The script holds the FIFO open itself, so that a regression (an open that waits for a writer)
# shows as a wrong answer here; that no open waits is shown by the library's own tests.
mkfifo "$WORK/fifo"
exec 3<>"$WORK/fifo"
for command in info dump get; do
    args=("$WORK/fifo")
    [[ $command == get ]] && args+=(K00001)
    run "$MDK" $command "${args[@]}"
    [[ $status -ne 0 ]] && pass || fail "mdk $command on a FIFO: exit status 0"
    expect_contains "mdk $command on a FIFO: why" "Can't open data file (code 1)" "$err"
done
exec 3>&-

# ---- an indexed file cut short: dump fails instead of printing part of it -----------------------
S=$WORK/samples
if [[ -z $MAKE_SAMPLES ]] || ! "$MAKE_SAMPLES" "$S" >/dev/null; then
    fail "make_samples did not make the sample data set"
else
    cp "$S/products.ind" "$WORK/cut.ind"
    truncate -s 1302 "$WORK/cut.ind"
    run "$MDK" info "$WORK/cut.ind"
    expect_contains "info on the cut file: the header's count" "20" "$out"
    run "$MDK" dump "$WORK/cut.ind" --format csv
    [[ $status -ne 0 ]] && pass || fail "dump of a cut file: exit status 0"
    expect_contains "dump of a cut file: why" "Read failed (code 15)" "$err"
fi

finish
