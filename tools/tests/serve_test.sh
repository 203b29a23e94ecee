# mdk serve in a process of its own, and the other commands working on its files through
# "[rmt:127.0.0.1;PORT]name": a load, a dump, get, put and del give what they give on the file
# itself, names outside the root are refused, and SIGTERM ends the server with status 0.
source "$(dirname "$0")/lib.sh"

mkdir -p "$WORK/root" "$WORK/outside"
cat >"$WORK/layout.json" <<'JSON'
{"keyAreaSize": 6, "recordSize": 40, "keys": [{"segments": [{"field": "key", "length": 6}]}]}
JSON
"$MDK" create "$WORK/root/t.dat" --layout "$WORK/layout.json" >/dev/null
"$MDK" create "$WORK/local.dat" --layout "$WORK/layout.json" >/dev/null
"$MDK" create "$WORK/outside/secret.dat" --layout "$WORK/layout.json" >/dev/null
ln -s "$WORK/outside/secret.dat" "$WORK/root/link.dat"
for ((i = 1; i <= 40; i++)); do
    printf '{"key":"k%05d","fields":["name %d","%d"]}\n' "$i" "$i" $((i * 7))
done >"$WORK/rows.jsonl"

"$MDK" serve "$WORK/root" --listen 127.0.0.1:0 >"$WORK/serve.out" 2>&1 &
server=$!
for ((i = 0; i < 300; i++)); do
    grep -q 'serving' "$WORK/serve.out" && break
    sleep 0.1
done
port=$(sed -n 's/.*on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$WORK/serve.out")
[[ -n $port ]] && pass || fail "mdk serve printed no port: $(cat "$WORK/serve.out")"
remote="[rmt:127.0.0.1;$port]"

# Every command on the served file answers as on the local one.
for name in "$WORK/local.dat" "${remote}t.dat"; do
    tag=$([[ $name == "$WORK/local.dat" ]] && echo local || echo remote)
    run "$MDK" load "$name" --input "$WORK/rows.jsonl"
    expect_status "$tag load" 0
    echo "${out#"$name": }" >"$WORK/$tag.load"
    "$MDK" put "$name" k00003 "changed" "0" >/dev/null
    "$MDK" del "$name" k00004 >/dev/null
    "$MDK" dump "$name" --format jsonl >"$WORK/$tag.dump"
    "$MDK" get "$name" k00017 >"$WORK/$tag.get"
    run "$MDK" get "$name" k00004
    echo "$status" >"$WORK/$tag.missing"
done
for what in load dump get missing; do
    expect_same_file "remote $what" "$WORK/local.$what" "$WORK/remote.$what"
done
[[ $(wc -l <"$WORK/remote.dump") == 39 ]] && pass || fail "remote dump: $(wc -l <"$WORK/remote.dump") rows"

# What lies outside the root stays there.
for name in link.dat ../outside/secret.dat "$WORK/outside/secret.dat"; do
    run "$MDK" dump "${remote}$name"
    expect_status "served name $name" 1
    expect_contains "served name $name: refused" "code 1)" "$err"
    # The name is the server's: no local file is looked at for the reason.
    expect_lacks "served name $name: no local reason" "No such file" "$err"
done

kill -TERM "$server"
wait "$server"
expect_eq "server's exit status after SIGTERM" 0 "$?"
run "$MDK" dump "${remote}t.dat"
expect_status "no server" 1
expect_contains "no server: the network error" "code 43" "$err"

finish
