#!/usr/bin/env bash
# The Windows zip as a user gets it: unpacked into a folder whose name has
# Persian letters, both programs run from there under Wine (on the X display
# of xvfb-run) against clocksim, and what they write compared byte for byte
# with what the Linux programs write for the same clock: clockreader-cli's
# download, and the window's Button1 with its Com and count fields filled in
# by mouse and keyboard.
#   package_test.sh SOURCE_DIR WINDOWS_BUILD NATIVE_BUILD
set -euo pipefail
src=$(cd "$1" && pwd)
win=$(cd "$2" && pwd)
native=$(cd "$3" && pwd)
run=$win/wine/run
prefix=$win/wine/prefix
count=120

work=$(mktemp -d /tmp/clockreader-zip-XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -- "-$pid" 2>/dev/null || kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "package test: $*" >&2; exit 1; }

"$run" cmd /c exit >/dev/null 2>&1  # the prefix exists from here on
zip=$(BUILD_DIR_WINDOWS=$win "$src/scripts/package-windows" --no-build)
folder="$work/برنامه ساعت"
mkdir -p "$folder"
unzip -q "$zip" -d "$folder"
app=$folder/ClockReader

# A COM number no other test holds (winebridge's locks), linked to clocksim.
mkdir -p "$prefix/comlocks"
for n in $(seq 200 255); do
  exec {lock}>"$prefix/comlocks/com$n"
  flock -n "$lock" && break
  exec {lock}>&-
done
"$native/bin/clocksim" --records 300 --flagged-rate 0.05 --link "$prefix/dosdevices/com$n" \
  >"$work/sim.out" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/sim.out" ] && break; sleep 0.1; done
pty=$(head -n 1 "$work/sim.out")
[ -n "$pty" ] || fail "clocksim did not start"
mkdir -p "$work/ports"
ln -s "$pty" "$work/ports/COM$n"

windows_path() { printf 'Z:%s' "$1" | tr / '\\'; }

# clockreader-cli on both systems.
"$run" "$app/clockreader-cli.exe" download --port "COM$n" --count $count --out "$(windows_path "$work/cli-windows")" \
  >/dev/null 2>"$work/cli-windows.err" || fail "clockreader-cli.exe: $(cat "$work/cli-windows.err")"
"$native/bin/clockreader-cli" download --ports-dir "$work/ports" --port "COM$n" --count $count \
  --out "$work/cli-linux" >/dev/null 2>&1 || fail "clockreader-cli (Linux) failed"
[ "$(wc -l <"$work/cli-linux/Dump.Txt")" -eq $((count - $(wc -l <"$work/cli-linux/BadRecs.Txt"))) ] ||
  fail "the Linux download is short"
cmp "$work/cli-windows/Dump.Txt" "$work/cli-linux/Dump.Txt" || fail "clockreader-cli.exe wrote another Dump.Txt"
cmp "$work/cli-windows/BadRecs.Txt" "$work/cli-linux/BadRecs.Txt" || fail "clockreader-cli.exe wrote another BadRecs.Txt"

# The window: where its controls are, from gui_screenshot of the same build.
source "$src/tests/wine/window.sh"
expected=$(wc -l <"$work/cli-linux/Dump.Txt")

"$run" "$win/tests/gui/gui_screenshot.exe" "$(windows_path "$work/shots-windows")" >"$work/geometry-windows" 2>/dev/null
"$native/tests/gui/gui_screenshot" "$work/shots-linux" >"$work/geometry-linux" 2>/dev/null
[ -n "$(geometry "$work/geometry-windows" Button1)" ] || fail "no geometry from gui_screenshot.exe"

window_download "$work/geometry-windows" "$app/Dump.Txt" "$expected" "$n" $count "$run" "$app/clockreader.exe"
mkdir -p "$work/linux-window"
cp "$native/bin/clockreader" "$work/linux-window/"
mv "$work/ports" "$work/linux-window/ports"
window_download "$work/geometry-linux" "$work/linux-window/Dump.Txt" "$expected" "$n" $count env QT_QPA_PLATFORM=xcb "$work/linux-window/clockreader"

cmp "$app/Dump.Txt" "$work/linux-window/Dump.Txt" || fail "the Windows window wrote another Dump.Txt than the Linux one"
cmp "$app/Dump.Txt" "$work/cli-linux/Dump.Txt" || fail "the window's Dump.Txt differs from clockreader-cli's"
echo "package test: both programs from $(basename "$zip") wrote the Linux build's files ($(wc -l <"$app/Dump.Txt") lines)"
