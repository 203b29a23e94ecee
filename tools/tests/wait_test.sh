# mdk while another process holds a lock of the file: an open transaction (the header lock) or a
# record read for update (its record lock).  --nowait gives up at once and --timeout S after S
# seconds, with exit status 75 and what was busy; a command without them says what it waits for
# and goes on once the lock is let go, missing nothing.
source "$(dirname "$0")/lib.sh"

cat >"$WORK/layout.json" <<'JSON'
{"blockSize": 1024, "recordSize": 40, "keyAreaSize": 6,
 "keys": [{"segments": [{"field": "key", "length": 6}]},
          {"segments": [{"field": 1, "length": 8}]}]}
JSON
# Named as a keyed dictionary is, so that `tables` takes it for one and meets its lock too.
F=$WORK/meridane.ddf
"$MDK" create "$F" --layout "$WORK/layout.json" >/dev/null
for k in k1 k2 k3 k4; do "$MDK" put "$F" "$k" "name$k" >/dev/null; done
printf 'k7,seven\n' >"$WORK/rows.csv"
all_keys="k1 k2 k3 k4"
keys_of() { cut -d, -f1 "$1" | xargs; }

# hold ARGS...: starts the lock holder on $F and waits until it holds its lock.  What it is to
# do next goes to it on fd 7; it answers on fd 8.
hold() {
    rm -f "$WORK/to_holder" "$WORK/from_holder"
    mkfifo "$WORK/to_holder" "$WORK/from_holder"
    "$LOCK_HOLDER" "$F" "$@" <"$WORK/to_holder" >"$WORK/from_holder" &
    holder=$!
    exec 7>"$WORK/to_holder" 8<"$WORK/from_holder"
    local said=""
    read -r said <&8
    expect_eq "lock_holder $*" "holding" "$said"
}

# let_go commit|rollback|release EXPECTED_ANSWER
let_go() {
    local said=""
    echo "$1" >&7
    read -r said <&8
    exec 7>&- 8<&-
    wait "$holder"
    expect_eq "lock_holder $1" "$2" "$said"
}

# start_waiting NAME ARGS...: runs mdk ARGS in the background and returns once it says that it
# waits (its first line on standard error, kept in $said).
start_waiting() {
    local name=$1
    shift
    rm -f "$WORK/$name.err"
    mkfifo "$WORK/$name.err"
    "$MDK" "$@" >"$WORK/$name.out" 2>"$WORK/$name.err" &
    waiting=$!
    exec 9<"$WORK/$name.err"
    said=""
    read -r said <&9
    expect_contains "$name: says what it waits for" "mdk: waiting for $F: another process holds" \
        "$said"
    expect_contains "$name: says how to stop" "--nowait not to wait" "$said"
}

# finish_waiting NAME: waits for the command start_waiting began; its status in $status.
finish_waiting() {
    wait "$waiting"
    status=$?
    exec 9<&-
    out=$(cat "$WORK/$1.out")
}

# The commands that open the file: (name | arguments).  Their arguments are split at blanks.
commands=(
    "info|info $F"
    "get|get $F k1"
    "dump|dump $F"
    "scan|scan $F --where key>=k"
    "check|check $F"
    "put|put $F k5 five"
    "del|del $F k1"
    "load|load $F --input $WORK/rows.csv"
    "create|create $WORK/copy.dat --like $F"
    "tables|tables $F"
)

# An open transaction of another process holds the header lock: every command meets it.
hold insert k9 nine
for c in "${commands[@]}"; do
    IFS='|' read -r name line <<<"$c"
    read -ra args <<<"$line"
    run "$MDK" "${args[@]}" --nowait
    expect_status "$name --nowait: exit status" 75
    expect_contains "$name --nowait: why" \
        "$F: busy, not waiting (--nowait): another process holds its header lock (an open transaction?): File header is busy -- retry later (code 38)" \
        "$err"
    expect_lacks "$name --nowait: no waiting" "waiting for" "$err"
    run "$MDK" "${args[@]}" --timeout 1
    expect_status "$name --timeout 1: exit status" 75
    expect_contains "$name --timeout 1: says it waits" "mdk: waiting for $F" "$err"
    expect_contains "$name --timeout 1: gives up" "$F: still busy after 1 s (--timeout)" "$err"
done
[[ ! -e $WORK/copy.dat ]] && pass || fail "create --like a busy file made the copy"
run "$MDK" dump "$F" --nowait --timeout 3
expect_status "--nowait with --timeout" 2

# A plain command waits, then reads what the transaction left: nothing after a rollback, the new
# record after a commit.
start_waiting dump1 dump "$F" --format csv
let_go rollback "rolled back"
finish_waiting dump1
expect_status "dump after the rollback" 0
expect_eq "dump after the rollback: records" "$all_keys" "$(keys_of "$WORK/dump1.out")"

hold insert k9 nine
start_waiting put1 put "$F" k8 eight
let_go commit committed
finish_waiting put1
expect_status "put after the commit" 0
expect_eq "both writes kept" "$all_keys k8 k9" "$("$MDK" dump "$F" --format csv | cut -d, -f1 | xargs)"
"$MDK" del "$F" k8 >/dev/null
"$MDK" del "$F" k9 >/dev/null

# A record read for update: reads that step onto it and writes that change it meet its lock
# (code 23).  Once it is let go they go on from that record: none is skipped.
hold lock k2
for line in "dump $F" "scan $F --where key>=k" "get $F k2" "put $F k2 changed"; do
    read -ra args <<<"$line"
    run "$MDK" "${args[@]}" --nowait
    expect_status "record lock: $line --nowait" 75
    expect_contains "record lock: $line --nowait: why" "(code 23)" "$err"
done
start_waiting dump2 dump "$F" --format csv
let_go release released
finish_waiting dump2
expect_status "dump after the record lock" 0
expect_eq "dump after the record lock: every record" "$all_keys" "$(keys_of "$WORK/dump2.out")"

for packed in "" --packed; do
    hold lock k2
    start_waiting scan2 scan "$F" --where 'key >= k' --format csv $packed
    let_go release released
    finish_waiting scan2
    expect_status "scan $packed after the record lock" 0
    expect_eq "scan $packed after the record lock: every record" "$all_keys" \
        "$(keys_of "$WORK/scan2.out")"
done

hold lock k2
start_waiting put2 put "$F" k2 changed
let_go release released
finish_waiting put2
expect_status "put after the record lock" 0
expect_eq "put after the record lock: written" "k2,changed" "$("$MDK" get "$F" k2 --format csv)"
expect_eq "nothing else changed" "$all_keys" "$("$MDK" dump "$F" --format csv | cut -d, -f1 | xargs)"
run "$MDK" check "$F"
expect_status "sound after all" 0

finish
