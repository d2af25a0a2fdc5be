#!/usr/bin/env bash
# The same paced download by the Linux clockreader-cli and by the Windows one
# under Wine, side by side on this machine: an RS-485 clock at 57600 baud,
# clocksim pacing the line at its rate, ROUNDS rounds that alternate the two
# programs. Each run's own rate (records/s, from its final progress line) is
# taken, so Wine's start-up does not count. Prints the medians and the
# ratio of the Linux rate to Wine's (Wine's time over Linux's; goal at most
# 1.05) and exits 1 when the goal is missed. The Wine server is kept for a
# minute after each program and reused by the next.
#   wineratio.sh WINDOWS_BUILD NATIVE_BUILD [--quick]
set -euo pipefail
win=$(cd "$1" && pwd)
native=$(cd "$2" && pwd)
records=400
rounds=3
if [ "${3:-}" = --quick ]; then
  records=150
  rounds=2
fi
prefix=$win/wine/prefix
work=$(mktemp -d /tmp/clockreader-wineratio-XXXXXX)
sim=
cleanup() {
  [ -n "$sim" ] && kill "$sim" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

"$win/wine/run" cmd /c exit >/dev/null 2>&1  # the prefix and its server exist from here on
# Wine's waits and timers run in its server process, which keeps Linux's
# default timer slack of 50 us, while the Linux program cuts its own
# thread's to 1 us (ComSleep). The server of this prefix gets the
# same 1 us (root may set it), so that both programs' pauses wait alike; on
# Windows the high-resolution timer plays that part.
slack="Wine's server at its default timer slack"
for pid in $(pgrep wineserver); do
  if tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qx "WINEPREFIX=$prefix" &&
    echo 1000 2>/dev/null >"/proc/$pid/timerslack_ns"; then
    slack="Wine's server at the timer slack of the Linux program's thread (1 us)"
  fi
done
echo "$slack"
mkdir -p "$prefix/comlocks" "$work/ports"
for n in $(seq 200 255); do
  exec {lock}>"$prefix/comlocks/com$n"
  flock -n "$lock" && break
  exec {lock}>&-
done
"$native/bin/clocksim" --bus rs485 --clocks 1 --baud 57600 --line-rate --records $records \
  --link "$prefix/dosdevices/com$n" >"$work/sim.out" 2>/dev/null &
sim=$!
for _ in $(seq 100); do [ -s "$work/sim.out" ] && break; sleep 0.1; done
ln -s "$(head -n 1 "$work/sim.out")" "$work/ports/COM$n"

# rate linux|wine -> that run's records/s
rate() {
  local options=(download --port "COM$n" --baud 57600 --bus rs485 --clock 1 --count $records)
  if [ "$1" = linux ]; then
    "$native/bin/clockreader-cli" "${options[@]}" --ports-dir "$work/ports" --out "$work/linux"
  else
    "$win/wine/run" "$win/bin/clockreader-cli.exe" "${options[@]}" --out "Z:$(tr / '\\' <<<"$work/wine")"
  fi 2>"$work/err" >/dev/null || { cat "$work/err" >&2; exit 1; }
  # The last progress line, with or without its time stamp.
  local r
  r=$(tr '\r' '\n' <"$work/err" | sed -n 's/.*records [0-9]*\/[0-9]* (100%), \([0-9.]*\) records\/s.*/\1/p' | tail -n 1)
  [ -n "$r" ] || { echo "wineratio: no rate in the $1 run's progress:" >&2; cat "$work/err" >&2; exit 1; }
  echo "$r"
}
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
linux=()
wine=()
for round in $(seq $rounds); do
  linux+=("$(rate linux)")
  wine+=("$(rate wine)")
  echo "round $round: Linux ${linux[-1]} records/s, Wine ${wine[-1]} records/s"
done
l=$(printf '%s\n' "${linux[@]}" | median)
w=$(printf '%s\n' "${wine[@]}" | median)
ratio=$(awk -v l="$l" -v w="$w" 'BEGIN { printf "%.3f", l / w }')
verdict=$(awk -v r="$ratio" 'BEGIN { print (r <= 1.05 ? "ok" : "MISSED") }')
echo "paced download, RS-485 at 57600, $records records: Linux $l records/s, Wine $w records/s;" \
  "Wine takes $ratio times as long"
echo "$verdict: Wine-to-Linux time ratio $ratio (goal at most 1.05)"
[ "$verdict" = ok ]
