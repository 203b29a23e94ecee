# Helpers of the mdk test scripts.  A script is run as
# `bash NAME_test.sh MDK MAKE_SAMPLES LOCK_HOLDER`; it sources this file, makes its checks and
# ends with `finish`, which prints "N passed, M failed" and fails the script when any check
# failed.
set -uo pipefail

MDK=${1:?the mdk program}
MAKE_SAMPLES=${2:-}
LOCK_HOLDER=${3:-}  # lock_holder: holds a transaction, a record lock or the whole file
export LC_ALL=C

base=${MDK_TEST_TMP:-${TMPDIR:-/tmp}}
mkdir -p "$base"
WORK=$(mktemp -d "$base/mdk-test.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

passed=0
failed=0

pass() { passed=$((passed + 1)); }
fail() {
    failed=$((failed + 1))
    echo "FAIL: $*" >&2
}

# expect_eq WHAT EXPECTED ACTUAL
expect_eq() {
    if [[ "$2" == "$3" ]]; then pass; else fail "$1: expected [$2], got [$3]"; fi
}

# expect_same_file WHAT EXPECTED_FILE ACTUAL_FILE
expect_same_file() {
    if cmp -s "$2" "$3"; then
        pass
    else
        fail "$1: $2 and $3 differ"
        diff "$2" "$3" | head -10 >&2
    fi
}

# expect_contains WHAT NEEDLE HAYSTACK
expect_contains() {
    if [[ "$3" == *"$2"* ]]; then pass; else fail "$1: [$2] not in [$3]"; fi
}

# expect_lacks WHAT NEEDLE HAYSTACK
expect_lacks() {
    if [[ "$3" != *"$2"* ]]; then pass; else fail "$1: [$2] should not be in [$3]"; fi
}

# run CMD...: runs a command, keeping its exit status, standard output and error in
# $status, $out and $err.
run() {
    "$@" >"$WORK/.out" 2>"$WORK/.err"
    status=$?
    out=$(cat "$WORK/.out")
    err=$(cat "$WORK/.err")
}

# expect_status WHAT STATUS: the status of the last `run`.
expect_status() {
    if [[ "$status" == "$2" ]]; then
        pass
    else
        fail "$1: exit status $status, expected $2 (stderr: ${err:0:300})"
    fi
}

# sample_data DIR: the sample data set of make_samples in DIR; a script that cannot have it
# fails at once.
sample_data() {
    if [[ -z $MAKE_SAMPLES ]] || ! "$MAKE_SAMPLES" "$1" >/dev/null; then
        fail "make_samples did not make the sample data set"
        finish
        exit 1
    fi
}

# expect_steps STEP...: each STEP is "ARGS|STATUS|TEXT": `mdk ARGS` (ARGS split at blanks)
# exits with STATUS and has TEXT in its output or error.
expect_steps() {
    local s line want_status want args
    for s in "$@"; do
        IFS='|' read -r line want_status want <<<"$s"
        read -ra args <<<"$line"
        run "$MDK" "${args[@]}"
        expect_status "mdk $line" "$want_status"
        expect_contains "mdk $line: says" "$want" "$out$err"
    done
}

# hold FILE: another process opens FILE exclusively and keeps it until `release`.
hold() {
    mkfifo "$WORK/.hold.in" "$WORK/.hold.out"
    "$LOCK_HOLDER" "$1" exclusive <"$WORK/.hold.in" >"$WORK/.hold.out" &
    holder=$!
    exec 7>"$WORK/.hold.in" 8<"$WORK/.hold.out"
    local ready=
    read -r ready <&8
    if [[ $ready == holding ]]; then pass; else fail "lock_holder did not hold $1"; fi
}
release() {
    exec 7>&- 8<&-
    wait "$holder"
    rm -f "$WORK/.hold.in" "$WORK/.hold.out"
}

finish() {
    echo "$passed passed, $failed failed"
    [[ $failed -eq 0 ]]
}
