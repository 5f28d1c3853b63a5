#!/usr/bin/env bash
# End to end: tarn-host as a process on an ephemeral port with the demo
# character, driven by tarn-rpc; then SIGTERM ends it cleanly.
#   host_and_client.sh <tarn-host> <tarn-rpc>
set -uo pipefail
host="$1"
rpc="$2"
work="$(mktemp -d)"
trap 'kill -KILL "$pid" 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; echo "--- host output"; cat "$work/host.out"; exit 1; }

"$host" --port 0 --demo >"$work/host.out" 2>&1 &
pid=$!
port=""
for _ in $(seq 1 100); do
  port="$(sed -n 's/^tarn-host ready: listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/host.out")"
  [ -n "$port" ] && break
  kill -0 "$pid" 2>/dev/null || fail "the host ended before it was ready"
  sleep 0.1
done
[ -n "$port" ] || fail "no ready line"
grep -q "plug-ins loaded: 1" "$work/host.out" || fail "the Gait module was not loaded"

reply="$("$rpc" --port "$port" Root IsLoadingFinished 2>/dev/null)" || fail "IsLoadingFinished failed"
[ "$reply" = '{"Res":true}' ] || fail "unexpected reply $reply"

# The demo road: the character walks away from the origin.
"$rpc" --port "$port" --seconds 2 demo >"$work/demo.out" 2>&1 || fail "the demo road failed: $(cat "$work/demo.out")"
last="$(grep '^t=' "$work/demo.out" | tail -1)"
x="$(echo "$last" | sed 's/.*position ( *\([-0-9.]*\),.*/\1/')"
awk -v x="$x" 'BEGIN { exit !(x > 0.5) }' || fail "the character did not move: $last"

# The host's own character (placed by --demo, not by a client) is listed,
# reached by its Id and steered until it walks.
"$rpc" --port "$port" Root GetPrefabManager >"$work/own-manager.out" 2>/dev/null || fail "GetPrefabManager failed"
own_manager="$(sed -n 's/.*"InstanceID":\([0-9]*\).*/\1/p' "$work/own-manager.out")"
"$rpc" --port "$port" PrefabManager ListPrefabs --id "$own_manager" >"$work/list.out" 2>/dev/null || fail "ListPrefabs failed"
grep -q '"File":"demo/biped.prefab.json"' "$work/list.out" || fail "the host's character is not listed: $(cat "$work/list.out")"
own_id="$(grep -o '"Id":[0-9]*' "$work/list.out" | head -1 | cut -d: -f2)"
"$rpc" --port "$port" PrefabManager GetPrefab --id "$own_manager" "$own_id" >"$work/own.out" 2>/dev/null ||
  fail "GetPrefab $own_id failed: $(cat "$work/own.out")"
own_prefab="$(sed -n 's/.*"InstanceID":\([0-9]*\).*/\1/p' "$work/own.out")"
"$rpc" --port "$port" GaitComponentBuilderRpc GetPrefabComponent "{\"InstanceID\":$own_prefab}" >"$work/own-gait.out" \
  2>/dev/null || fail "GetPrefabComponent of the host's character failed"
own_gait="$(sed -n 's/.*"InstanceID":\([0-9]*\).*/\1/p' "$work/own-gait.out")"
"$rpc" --port "$port" GaitComponentRpc Activate --id "$own_gait" true >/dev/null 2>&1 || fail "Activate failed"
"$rpc" --port "$port" GaitComponentRpc SetSpeed --id "$own_gait" 1 >/dev/null 2>&1 || fail "SetSpeed failed"
# Bounded generously: a sanitizer build steps the engine slowly.
for _ in $(seq 1 300); do
  "$rpc" --port "$port" GaitComponentRpc GetState --id "$own_gait" >"$work/state.out" 2>/dev/null || fail "GetState failed"
  grep -q '"Movement":"Walk"' "$work/state.out" && break
  sleep 0.1
done
grep -q '"Movement":"Walk"' "$work/state.out" || fail "the host's character does not walk: $(cat "$work/state.out")"
"$rpc" --port "$port" GaitComponentRpc SetSpeed --id "$own_gait" 0 >/dev/null 2>&1 || fail "SetSpeed 0 failed"

# A bad request: an error reply and exit code 3; a bad argument: exit code 1.
"$rpc" --port "$port" GaitComponentRpc IsActive --id 12345 >"$work/error.out" 2>/dev/null
[ $? -eq 3 ] || fail "an error reply must give exit code 3"
grep -q '"Error"' "$work/error.out" || fail "no error reply: $(cat "$work/error.out")"
"$rpc" --port "$port" Root KeepAlive 'not json' >/dev/null 2>&1
[ $? -eq 1 ] || fail "a bad argument must give exit code 1"

# The load generator: every request counted, acknowledged or not, and the
# objects it set up are released again.
for mode in "" "--no-ack"; do
  "$rpc" --port "$port" bench -c 2 -n 300 --method GaitComponentRpc.SetSpeed $mode >"$work/bench.out" 2>&1 ||
    fail "bench $mode failed: $(cat "$work/bench.out")"
  grep -q ": 300 requests in" "$work/bench.out" || fail "bench $mode did not run every request: $(cat "$work/bench.out")"
  grep -q "the host ran 300 of the 300 requests" "$work/bench.out" ||
    fail "bench $mode: the host did not run every request: $(cat "$work/bench.out")"
done

# Values out of range are refused with an error naming the argument, and the
# engine keeps running: a speed of 1e39 once hung it for good.
id_of() { sed -n 's/.*"InstanceID":\([0-9]*\).*/\1/p' "$1"; }
"$rpc" --port "$port" Root GetPrefabManager >"$work/manager.out" 2>/dev/null || fail "GetPrefabManager failed"
manager="$(id_of "$work/manager.out")"
"$rpc" --port "$port" PrefabManager LoadFile --id "$manager" '"demo/biped.prefab.json"' >"$work/walker.out" 2>/dev/null ||
  fail "LoadFile failed"
walker="$(id_of "$work/walker.out")"
"$rpc" --port "$port" GaitComponentBuilderRpc GetPrefabComponent "{\"InstanceID\":$walker}" >"$work/facade.out" \
  2>/dev/null || fail "GetPrefabComponent failed"
facade="$(id_of "$work/facade.out")"
"$rpc" --port "$port" GaitComponentRpc Activate --id "$facade" true >/dev/null 2>&1 || fail "Activate failed"
for speed in 1e39 -1e39 3.4e38 -1 11; do
  "$rpc" --port "$port" GaitComponentRpc SetSpeed --id "$facade" "$speed" >"$work/speed.out" 2>/dev/null
  [ $? -eq 3 ] || fail "SetSpeed $speed was not refused: $(cat "$work/speed.out")"
  grep -q 'Assertion \\"Arg0\\" failed. argument Arg0 must be' "$work/speed.out" ||
    fail "SetSpeed $speed: unexpected reply $(cat "$work/speed.out")"
done
"$rpc" --port "$port" GaitComponentRpc SetRotation --id "$facade" '{"x":0,"y":0,"z":0,"w":0}' >/dev/null 2>&1
[ $? -eq 3 ] || fail "a rotation of no length was not refused"
for position in '{"x":1e39,"y":0,"z":0}' '{"x":100001,"y":0,"z":0}' '{"x":0,"y":-2e5,"z":0}' '{"x":0,"y":0,"z":1e6}'; do
  "$rpc" --port "$port" Prefab SetPosition --id "$walker" "$position" >/dev/null 2>&1
  [ $? -eq 3 ] || fail "the position $position was not refused"
done
"$rpc" --port "$port" GaitComponentRpc SetSpeed --id "$facade" 10 >/dev/null 2>&1 || fail "SetSpeed 10 failed"
sleep 1
"$rpc" --port "$port" Prefab GetPosition --id "$walker" >"$work/position.out" 2>/dev/null || fail "GetPosition failed"
grep -q null "$work/position.out" && fail "the position is not a number: $(cat "$work/position.out")"
reply="$("$rpc" --port "$port" Root IsLoadingFinished 2>/dev/null)" || fail "the engine stopped answering"

# A facade whose prefab was removed refuses every call, also once a new
# character has taken the removed one's place.
"$rpc" --port "$port" PrefabManager RemovePrefab --id "$manager" "{\"InstanceID\":$walker}" >/dev/null 2>&1 ||
  fail "RemovePrefab failed"
"$rpc" --port "$port" PrefabManager LoadFile --id "$manager" '"demo/biped.prefab.json"' >/dev/null 2>&1 ||
  fail "LoadFile after RemovePrefab failed"
for method in IsActive Reset; do
  "$rpc" --port "$port" GaitComponentRpc "$method" --id "$facade" >"$work/removed.out" 2>/dev/null
  [ $? -eq 3 ] || fail "$method through the facade of a removed prefab was not refused"
  grep -q "The prefab has been removed" "$work/removed.out" || fail "unexpected reply $(cat "$work/removed.out")"
done

# Objects a client never released (here a prefab manager, a prefab and a
# Gait component held twice) go at shutdown instead of leaking.
"$rpc" --port "$port" Root GetPrefabManager >/dev/null 2>&1 || fail "GetPrefabManager failed"
"$rpc" --port "$port" PrefabManager LoadFile --id 0 '"demo/biped.prefab.json"' >"$work/prefab.out" 2>/dev/null ||
  fail "LoadFile failed"
prefab="$(sed -n 's/.*"InstanceID":\([0-9]*\).*/\1/p' "$work/prefab.out")"
for _ in 1 2; do
  "$rpc" --port "$port" GaitComponentBuilderRpc GetPrefabComponent "{\"InstanceID\":$prefab}" >/dev/null 2>&1 ||
    fail "GetPrefabComponent failed"
done

kill -TERM "$pid"
wait "$pid"
code=$?
[ $code -eq 0 ] || fail "the host ended with exit code $code after SIGTERM"
grep -q "Leak detected : 0 " "$work/host.out" || fail "the host reported a leak"
grep -q "remote objects still referenced by clients released" "$work/host.out" ||
  fail "the objects left referenced were not released at shutdown"
grep -q "endpoint stopped after running [0-9]* remote commands" "$work/host.out" ||
  fail "the host did not say how many commands it ran"

# --- tarn-host: what it says about itself, and what it refuses to start with.
# The host's log lines start with the seconds since its start and the level;
# the connection line names the client. The demo character's gait document
# comes from its own file.
grep -Eq '^ *[0-9]+\.[0-9]{3} info  plugin .*/PLUGIN_Gait_[^ ]* loading : Ok$' "$work/host.out" ||
  fail "no time and level at the head of a log line"
grep -Eq " info  Start new client connection on port $port from 127\.0\.0\.1:[0-9]+$" "$work/host.out" ||
  fail "the connection line does not name the client"
grep -q "characters: 1, step:" "$work/host.out" || fail "the demo character is not counted"

# Starts a host in the background as $pid, output in $work/NAME.out and
# NAME.err; its port in $port once it is ready.
start_host() {
  local name="$1"
  shift
  "$host" --port 0 "$@" >"$work/$name.out" 2>"$work/$name.err" &
  pid=$!
  port=""
  for _ in $(seq 1 100); do
    port="$(sed -n 's/^tarn-host ready: listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/$name.out")"
    [ -n "$port" ] && return 0
    kill -0 "$pid" 2>/dev/null || fail "$name: the host ended before it was ready: $(cat "$work/$name.err")"
    sleep 0.1
  done
  fail "$name: no ready line"
}

# Without plug-ins the demo character has no Gait component: it is no
# character, and the log says why. A second host cannot take the port
# (exit code 2). The memory manager's report goes to standard error only.
mkdir "$work/no-plugins"
start_host bare --plugins "$work/no-plugins" --demo
grep -q "plug-ins loaded: 0, characters: 0, step:" "$work/bare.out" || fail "bare: $(grep ready "$work/bare.out")"
grep -q ' warn  .*/biped.prefab.json: AddInObjects\[0\]: no component builder made data of type "Gait"$' \
  "$work/bare.out" || fail "bare: the add-in that gave nothing is not logged"
"$host" --port "$port" >"$work/taken.out" 2>&1
[ $? -eq 2 ] || fail "a port in use must give exit code 2: $(cat "$work/taken.out")"
kill -TERM "$pid"
wait "$pid" || fail "bare: the host did not end cleanly"
grep -q "Leak detected : 0 " "$work/bare.err" || fail "bare: no memory report on standard error"
grep -q "Leak detected" "$work/bare.out" && fail "bare: the memory report is on standard output"

# --strict refuses to start without its plug-in folder (exit code 1, naming
# it); --log-level debug also writes the settings.
"$host" --port 0 --demo --strict --plugins "$work/nowhere" --log-level debug >"$work/strict.out" 2>"$work/strict.err"
[ $? -eq 1 ] || fail "--strict without a plug-in folder must give exit code 1"
grep -q "^tarn-host: --strict: the plug-in folder $work/nowhere does not exist$" "$work/strict.err" ||
  fail "--strict: the plug-in folder is not named: $(cat "$work/strict.err")"
grep -Eq '^ *[0-9.]+ debug tarn-host: data folder ' "$work/strict.out" || fail "--log-level debug wrote no debug line"

# --strict refuses a prefab whose gait document, named by path, is missing or
# does not load: the message names the prefab, the member and the document.
# At --log-level error only errors are written.
mkdir -p "$work/data"
printf '{"Binds": [{"NameKeySource": 3, "NameKeyTarget": "Idle"}], "Stables": [], "Behaviors": []}' \
  >"$work/data/broken.gait.json"
for gait in broken missing; do
  printf '{"Name": "W", "AddInObjects": [{"Type": "Gait", "JsonFile": "%s.gait.json"}]}' "$gait" \
    >"$work/data/$gait.prefab.json"
  "$host" --port 0 --strict --data "$work/data" --prefab "$gait.prefab.json" --log-level error \
    >"$work/$gait.out" 2>"$work/$gait.err"
  [ $? -eq 1 ] || fail "--strict with a $gait gait document must give exit code 1"
  grep -q "^tarn-host: --strict: $work/data/$gait.prefab.json: AddInObjects\[0\].JsonFile: .*$work/data/$gait.gait.json" \
    "$work/$gait.err" || fail "--strict: the $gait gait document is not named: $(cat "$work/$gait.err")"
  grep -Eq ' (warn|info)  ' "$work/$gait.out" && fail "--log-level error wrote other lines: $(cat "$work/$gait.out")"
done
grep -q "Binds\[0\].NameKeySource: expected a string" "$work/broken.err" || fail "the gait member is not named"

# The parser's messages name the program; a bad option is exit code 1.
"$host" --version | grep -Eq '^tarn-host [0-9]+\.[0-9]+\.[0-9]+$' || fail "--version: $("$host" --version)"
"$host" --hz 0 >"$work/usage.out" 2>&1
[ $? -eq 1 ] || fail "a bad option must give exit code 1"
grep -q "^tarn-host: --hz: " "$work/usage.out" || fail "the parser's message does not name the program"
echo "ok"
