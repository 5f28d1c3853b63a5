#!/usr/bin/env bash
# scripts/demo with the programs of this build, when its plot cannot be
# written (a folder stands where the CSV goes): the demo fails naming that
# step, shows gait-sim's own message, prints no plot path, and stops the
# host it started.
#   demo_script.sh <scripts/demo> <build folder>
set -uo pipefail
demo="$1"
build="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; echo "--- output"; cat "$work/out.txt" "$work/err.txt"; exit 1; }

mkdir -p "$work/out/walk_and_stop.csv"
"$demo" --build "$build" --out "$work/out" >"$work/out.txt" 2>"$work/err.txt"
code=$?
[ $code -eq 1 ] || fail "exit code $code, expected 1"
grep -q '^t=' "$work/out.txt" || fail "the steps before the plot did not run"
grep -qF 'demo: step "plot the demo scenario with gait-sim" failed' "$work/err.txt" || fail "the step is not named"
grep -qF "gait-sim: $work/out/walk_and_stop.csv: cannot be written" "$work/err.txt" || fail "gait-sim's message is missing"
grep -q 'plot:' "$work/out.txt" "$work/err.txt" && fail "a plot was announced"
grep -q 'endpoint stopped' "$work/out/host.log" || fail "the host was not stopped: $(cat "$work/out/host.log")"
echo "ok"
