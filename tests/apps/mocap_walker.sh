#!/usr/bin/env bash
# The character made from motion capture (data/mocap-walker), run by gait-sim
# as a person would: asked for a heading of 90 degrees and a walk, then a
# stop, it ends standing still in its idle, facing the heading.
#   mocap_walker.sh <gait-sim> <scenario>
set -uo pipefail
sim="$1"
scenario="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

"$sim" --quiet --out "$work" "$scenario" || fail "gait-sim failed on $scenario"
csv="$work/$(basename "$scenario" .json).csv"
[ -s "$csv" ] || fail "no CSV"
# The last row, and the row a second before it (steps of 16 ms).
last="$(tail -1 "$csv")"
before="$(tail -63 "$csv" | head -1)"
field() { echo "$1" | cut -d, -f"$2"; }
movement="$(field "$last" 9)"
[ "$movement" = "Idle" ] || fail "it ends in $movement, not Idle: $last"
awk -v h="$(field "$last" 6)" 'BEGIN { d = h - 90; if (d < 0) d = -d; exit !(d < 10) }' ||
  fail "it ends facing $(field "$last" 6) degrees, not 90"
awk -v x1="$(field "$last" 3)" -v y1="$(field "$last" 4)" -v x0="$(field "$before" 3)" -v y0="$(field "$before" 4)" \
  'BEGIN { exit !(sqrt((x1 - x0) ^ 2 + (y1 - y0) ^ 2) < 0.01) }' || fail "it still moves at the end: $before / $last"
awk -v y="$(field "$last" 4)" 'BEGIN { exit !(y > 3) }' || fail "it did not walk toward +Y: $last"
echo "the motion-capture walker turned, walked $(field "$last" 4) m and stands facing $(field "$last" 6) degrees"
