#!/usr/bin/env bash
# gait-sim on every shipped scenario: the movements come in the expected
# order in the CSV, and the SVG is well-formed XML.
#   gait_sim.sh <gait-sim> <scenario folder>
set -uo pipefail
sim="$1"
scenarios="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

"$sim" --quiet --out "$work" "$scenarios"/*.json >"$work/log" 2>&1 || fail "gait-sim failed: $(cat "$work/log")"

# The movements of one character, each change once: "Idle Start Walk Stop Idle"
# with starts and stops named by kind.
movements() {
  awk -F, -v c="$2" 'NR > 1 && $2 == c && $7 != last { last = $7; m = $7
      sub(/^IdleToWalk.*/, "Start", m); sub(/^WalkToIdle.*/, "Stop", m); sub(/^Turn.*/, "Turn", m)
      printf "%s%s", (n++ ? " " : ""), m } END { print "" }' "$1"
}

expect() {
  local got
  got="$(movements "$work/$1.csv" "$2")"
  [ "$got" = "$3" ] || fail "$1 character $2: expected \"$3\", got \"$got\""
}

for name in walk_and_stop turns slalom; do
  [ -s "$work/$name.csv" ] || fail "no CSV for $name"
  xmllint --noout "$work/$name.svg" || fail "$name.svg is not well-formed XML"
done
expect walk_and_stop 0 "Idle Start Walk Stop Idle"
expect turns 0 "Idle Turn Start Walk Stop Idle"
expect turns 1 "Idle Turn Start Walk Stop Idle"
expect slalom 0 "Idle Start Walk Stop Idle"

# A refused scenario names the file and the member, and fails.
printf '{"Timeline":[{"At":1,"Call":"Jump"}]}' >"$work/bad.json"
out="$("$sim" --quiet --out "$work" "$work/bad.json" 2>&1)" && fail "a bad scenario must fail"
echo "$out" | grep -q 'bad.json: Timeline\[0\].Call: unknown call "Jump"' || fail "unexpected message: $out"
echo "ok"
