#!/usr/bin/env bash
# gait-sim as a person uses it: every shipped scenario runs; the CSV has the
# columns docs/gait-sim.md shows and describes, and the movements come in the
# expected order; the SVG
# is well-formed XML with its legends, axis names and a weight panel per
# character, and its axis values put each path's start and end marker where
# the CSV says the character was; scenarios and command lines that are
# wrong are refused with the documented message and exit code.
#   gait_sim.sh <gait-sim> <scenario folder> [docs/gait-sim.md]
set -uo pipefail
sim="$1"
scenarios="$2"
doc="${3:-$scenarios/../../../docs/gait-sim.md}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

# The header the documentation shows, each of its columns described there.
header="$(grep -m1 '^time,character,' "$doc")" || fail "no CSV header in $doc"
for name in ${header//,/ }; do
  case "$name" in w_*) name='w_<movement>' ;; esac
  grep -qF "\`$name\`" "$doc" || fail "$doc does not describe the column $name"
done

# The value of an XPath expression on an SVG ("" when it matches nothing).
xp() { xmllint --xpath "$2" "$1" 2>/dev/null; }
# One column of a CSV, by name, for one character (all characters without $3).
column() {
  awk -F, -v name="$2" -v c="${3:-}" 'NR == 1 { for (i = 1; i <= NF; i++) if ($i == name) k = i; next }
      c == "" || $2 == c { print $k }' "$1"
}

"$sim" --quiet --out "$work" "$scenarios"/*.json >"$work/log" 2>&1 || fail "gait-sim failed: $(cat "$work/log")"

# The page of a run: structure, legends, axis names, one weight panel per
# character (up to four), and the markers where the CSV puts the paths.
check_page() {
  local name="$1" characters="$2" svg="$work/$1.svg" csv="$work/$1.csv"
  [ -s "$csv" ] || fail "no CSV for $name"
  [ "$(head -1 "$csv")" = "$header" ] || fail "$name.csv: header $(head -1 "$csv")"
  xmllint --noout "$svg" || fail "$name.svg is not well-formed XML"
  local id text
  for id in top-view character-legend headings movements movement-legend note-walk; do
    [ "$(xp "$svg" "count(//*[@id='$id'])")" = 1 ] || fail "$name.svg: no element $id"
  done
  for text in "x (m)" "y (m)" "time (s)" "heading (°)" "end" "heading, every 0.5 s" "Idle" "Walk"; do
    [ "$(xp "$svg" "count(//*[local-name()='text' and .='$text'])")" -ge 1 ] || fail "$name.svg: no text \"$text\""
  done
  xp "$svg" "string(//*[@id='note-walk'])" | grep -q 'weight = speed × 0.75' || fail "$name.svg: walk note"
  local panels=$((characters < 4 ? characters : 4))
  [ "$(xp "$svg" "count(//*[starts-with(@id, 'weights-')])")" = "$panels" ] ||
    fail "$name.svg: expected $panels weight panels"

  # Metres from page units, through the first and last tick of an axis.
  local ax="$(xp "$svg" "string((//*[@class='tick-x'])[1]/@x)")" av="$(xp "$svg" "string((//*[@class='tick-x'])[1])")"
  local bx="$(xp "$svg" "string((//*[@class='tick-x'])[last()]/@x)")" bv="$(xp "$svg" "string((//*[@class='tick-x'])[last()])")"
  local ay="$(xp "$svg" "string((//*[@class='tick-y'])[1]/@y)")" aw="$(xp "$svg" "string((//*[@class='tick-y'])[1])")"
  local by="$(xp "$svg" "string((//*[@class='tick-y'])[last()]/@y)")" bw="$(xp "$svg" "string((//*[@class='tick-y'])[last()])")"
  [ -n "$ax" ] && [ -n "$bx" ] && [ -n "$ay" ] && [ -n "$by" ] || fail "$name.svg: no axis values on the top view"
  local c marker row
  for ((c = 0; c < characters; c++)); do
    for marker in start end; do
      if [ "$marker" = start ]; then row=1; else row='$'; fi
      local px="$(xp "$svg" "string(//*[@id='$marker-$c']/@cx)")" py="$(xp "$svg" "string(//*[@id='$marker-$c']/@cy)")"
      local mx="$(column "$csv" x "$c" | sed -n "${row}p")" my="$(column "$csv" y "$c" | sed -n "${row}p")"
      [ -n "$px" ] && [ -n "$mx" ] || fail "$name: no $marker marker or no rows for character $c"
      awk -v p="$px" -v a="$ax" -v b="$bx" -v va="$av" -v vb="$bv" -v want="$mx" \
          -v q="$py" -v e="$ay" -v f="$by" -v wa="$aw" -v wb="$bw" -v wantq="$my" 'BEGIN {
            x = va + (p - a) * (vb - va) / (b - a); y = wa + (q - e) * (wb - wa) / (f - e)
            exit !((x - want) ^ 2 < 1e-4 && (y - wantq) ^ 2 < 1e-4) }' ||
        fail "$name: the $marker of character $c is drawn at ($px, $py), not at ($mx, $my) m on the axes"
    done
  done
}

# The movements of one character, each change once: "Idle Start Walk Stop Idle"
# with starts, stops and turns named by kind.
played() {
  column "$1" movement "$2" | awk '$0 != last { last = $0; m = $0
      sub(/^IdleToWalk.*/, "Start", m); sub(/^WalkToIdle.*/, "Stop", m); sub(/^Turn.*/, "Turn", m)
      printf "%s%s", (n++ ? " " : ""), m } END { print "" }'
}

while read -r name characters; do
  check_page "$name" "$characters"
done <<'EOF'
walk_and_stop 1
turns 2
slalom 1
EOF

while read -r name character expected; do
  got="$(played "$work/$name.csv" "$character")"
  [ "$got" = "$expected" ] || fail "$name character $character: expected \"$expected\", got \"$got\""
done <<'EOF'
walk_and_stop 0 Idle Start Walk Stop Idle
turns 0 Idle Turn Start Walk Stop Idle
turns 1 Idle Turn Start Walk Stop Idle
slalom 0 Idle Start Walk Stop Idle
EOF

# More characters than weight panels, a walk weight above 1, requests for
# one character, and a file name that needs escaping in the page.
mkdir "$work/crowd"
crowd="$work/crowd/a&b <6>.json"
cat >"$crowd" <<'EOF'
{ "Characters": 6, "Spacing": 1.5, "Duration": 4, "Timeline": [
  { "At": 0, "Call": "Activate", "Arg": true },
  { "At": 0.5, "Call": "SetSpeed", "Arg": 2.0 },
  { "At": 0.5, "Call": "SetRotation", "Arg": -30, "Character": 5 } ] }
EOF
"$sim" --quiet --out "$work/crowd" "$crowd" >"$work/log" 2>&1 || fail "crowd: $(cat "$work/log")"
mv "$work/crowd/a&b <6>.csv" "$work/crowd.csv" && mv "$work/crowd/a&b <6>.svg" "$work/crowd.svg" || fail "crowd: no output"
check_page crowd 6
xp "$work/crowd.svg" "string(//*[local-name()='title'][1])" | grep -qF 'gait-sim: a&b <6>' || fail "crowd: title"
xp "$work/crowd.svg" "string(//*[@id='note-weights'])" | grep -q 'of 6 shown; the CSV holds' || fail "crowd: note"
[ "$(column "$work/crowd.csv" character | sort -u | tr '\n' ' ')" = "0 1 2 3 4 5 " ] || fail "crowd: CSV characters"
top="$(xp "$work/crowd.svg" "string((//*[@class='tick-w'])[last()])")"
walk="$(column "$work/crowd.csv" w_Walk | sort -g | tail -1)"
awk -v t="$top" -v w="$walk" 'BEGIN { exit !(w > 1 && t >= w) }' || fail "crowd: weight axis up to $top, walk weight $walk"
while read -r character heading speed; do
  got="$(column "$work/crowd.csv" requested_heading_deg "$character" | tail -1),$(
    column "$work/crowd.csv" requested_speed "$character" | tail -1)"
  [ "$got" = "$heading,$speed" ] || fail "crowd character $character: requested $got, expected $heading,$speed"
done <<'EOF'
0 0.00 2.000
5 -30.00 2.000
EOF

# Refused scenarios name the file and the member, and exit with 1; the other
# files on the same command line are still written.
while IFS='|' read -r content message; do
  printf '%s' "$content" >"$work/bad.json"
  rm -f "$work/walk_and_stop.csv"
  out="$("$sim" --quiet --out "$work" "$work/bad.json" "$scenarios/walk_and_stop.json" 2>&1)"
  code=$?
  [ "$code" = 1 ] || fail "$content: exit code $code, expected 1"
  echo "$out" | grep -qF "bad.json: $message" || fail "$content: expected \"$message\", got: $out"
  [ -s "$work/walk_and_stop.csv" ] || fail "$content: the good scenario beside it was not written"
done <<'EOF'
{"Timeline":[{"At":1,"Call":"Jump"}]}|Timeline[0].Call: unknown call "Jump"
{"Duraton":5,"Timeline":[]}|Duraton: unknown member (Prefab, Characters, Spacing, Duration, StepMs, Seed, Timeline)
{"Timeline":[{"At":1,"Call":"Reset","Charcter":0}]}|Timeline[0].Charcter: unknown member (At, Call, Arg, Character)
{"Characters":2,"Timeline":[{"At":1,"Call":"Reset","Character":2}]}|Timeline[0].Character: there are only 2 characters
{"Timeline":[{"At":1,"Call":"SetSpeed","Arg":"fast"}]}|Timeline[0].Arg: expected a speed from 0 to 10
{"Timeline":[{"At":1,"Call":"SetSpeed","Arg":10.5}]}|Timeline[0].Arg: expected a speed from 0 to 10
{"Timeline":[{"Call":"Reset"}]}|Timeline[0].At: missing
{"StepMs":2.5,"Timeline":[]}|Characters/StepMs/Seed: expected whole numbers
{"Duration":5}|Timeline: expected an array of calls
EOF

# The command line itself: exit code 1 for usage and input errors, each
# message starting with the program's name and naming what was wrong.
while IFS='|' read -r expected message args; do
  eval "\"\$sim\" $args" >"$work/out" 2>"$work/err"
  code=$?
  [ "$code" = "$expected" ] || fail "gait-sim $args: exit code $code, expected $expected"
  grep -qF "$message" "$work/out" "$work/err" || fail "gait-sim $args: no \"$message\" in: $(cat "$work/out" "$work/err")"
done <<EOF
0|Usage: gait-sim|--help
0|gait-sim 0.|--version
1|gait-sim: scenarios is required|
1|gait-sim: The following argument was not expected: --bogus|--bogus "$scenarios/turns.json"
1|gait-sim: The following argument was not expected: --bogus|--bogus "$work/no-such-file.json"
1|gait-sim: $work/no-such-file.json: cannot be read|"$work/no-such-file.json"
1|gait-sim: the data folder|--data "$work/no-such-folder" "$scenarios/turns.json"
EOF
echo "ok"
