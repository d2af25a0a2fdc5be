#!/usr/bin/env bash
# The Windows installer as a user meets it, in a Wine prefix of its own (its
# user's Documents in the test's folder): installed silently, both installed
# programs run against clocksim (the window on the X display of xvfb-run),
# the Start-menu entry looked at, uninstalled silently. Checks that the
# install writes only Program Files\ClockReader and the Start menu, that the
# installed window writes Documents\ClockReader and nothing beside itself
# although Wine's user may write Program Files, and that the uninstall takes
# the program away and keeps Documents\ClockReader.
#   msi_test.sh SOURCE_DIR WINDOWS_BUILD NATIVE_BUILD
set -euo pipefail
src=$(cd "$1" && pwd)
win=$(cd "$2" && pwd)
native=$(cd "$3" && pwd)
count=120

fail() { echo "msi test: $*" >&2; exit 1; }
# Made before HOME moves: the package takes Qt from the user's cache.
msi=$(BUILD_DIR_WINDOWS=$win "$src/scripts/package-windows" --no-build 2>/dev/null | tail -n 1)
[[ $msi == *.msi ]] && [ -f "$msi" ] || fail "no installer from package-windows"

work=$(mktemp -d /tmp/clockreader-msi-XXXXXX)
pids=()
export WINEPREFIX=$work/prefix HOME=$work/home WINEDEBUG=-all
# No desktop entries of the host for the Start-menu entry.
export WINEDLLOVERRIDES='mscoree,mshtml=,winemenubuilder.exe=d'
cleanup() {
  for pid in "${pids[@]}"; do kill -- "-$pid" 2>/dev/null || kill "$pid" 2>/dev/null || true; done
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
windows_path() { printf 'Z:%s' "$1" | tr / '\\'; }
# Everything on drive C but the system's own folder.
listing() { (cd "$WINEPREFIX/drive_c" && find . -path ./windows -prune -o -print | LC_ALL=C sort); }

mkdir -p "$HOME"
# The Wine server reports every hang-up of a line on its standard error.
wineserver -p30 >"$work/wineserver.log" 2>&1 || true
wine wineboot --init >"$work/wineboot.log" 2>&1
for font in "Tahoma" "MS Shell Dlg" "MS Shell Dlg 2" "Segoe UI" "Arial" "Microsoft Sans Serif"; do
  wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$font" /d "DejaVu Sans" /f >>"$work/wineboot.log" 2>&1
done
wineserver -w


listing >"$work/before"
wine msiexec /i "$(windows_path "$msi")" /qn || fail "msiexec /i failed"
listing >"$work/after"
program=$WINEPREFIX/drive_c/Program\ Files/ClockReader
[ -f "$program/clockreader.exe" ] && [ -f "$program/clockreader-cli.exe" ] || fail "the programs are not in Program Files"
[ -f "$program/clockreader.installed" ] || fail "no installed-copy marker"
# Only the program's folder and the Start-menu entry are new.
added=$(comm -13 "$work/before" "$work/after" | grep -v '^\./Program Files/ClockReader' |
  grep -v '/Start Menu/Programs/ClockReader - خواندن اطلاعات ساعت\.lnk$' || true)
[ -z "$added" ] || fail "the install wrote elsewhere: $added"
shortcut=$(grep '/Start Menu/Programs/ClockReader - خواندن اطلاعات ساعت\.lnk$' "$work/after" | head -n 1)
[ -n "$shortcut" ] || fail "no Start-menu entry named in English and Persian"
strings -el "$WINEPREFIX/drive_c/$shortcut" | grep -qi 'ClockReader\\clockreader\.exe\|^clockreader\.exe$' ||
  fail "the Start-menu entry does not start clockreader.exe"
strings -el "$WINEPREFIX/drive_c/$shortcut" | grep -qi 'clockreader\.ico' || fail "the Start-menu entry has no icon"

# A COM number no other test holds, linked to clocksim.
mkdir -p "$win/wine/prefix/comlocks"
for n in $(seq 200 255); do
  exec {lock}>"$win/wine/prefix/comlocks/com$n"
  flock -n "$lock" && break
  exec {lock}>&-
done
"$native/bin/clocksim" --records 300 --flagged-rate 0.05 --link "$WINEPREFIX/dosdevices/com$n" \
  >"$work/sim.out" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/sim.out" ] && break; sleep 0.1; done
[ -s "$work/sim.out" ] || fail "clocksim did not start"

installed='C:\Program Files\ClockReader'
wine "$installed\\clockreader-cli.exe" pointers --port "COM$n" >"$work/pointers.out" 2>"$work/pointers.err" ||
  fail "the installed clockreader-cli: $(cat "$work/pointers.err")"
grep -q '^AWI 300' "$work/pointers.out" || fail "the installed clockreader-cli read no pointers"
wine "$installed\\clockreader-cli.exe" download --port "COM$n" --count $count --out "$(windows_path "$work/cli")" \
  >/dev/null 2>"$work/cli.err" || fail "the installed clockreader-cli: $(cat "$work/cli.err")"
expected=$(wc -l <"$work/cli/Dump.Txt")
[ "$expected" -gt 0 ] || fail "the installed clockreader-cli downloaded nothing"

# The installed window, as Wine's user, who may write Program Files: its
# files go to Documents\ClockReader all the same.
source "$src/tests/wine/window.sh"
"$win/wine/run" "$win/tests/gui/gui_screenshot.exe" "$(windows_path "$work/shots")" >"$work/geometry" 2>/dev/null
[ -n "$(geometry "$work/geometry" Button1)" ] || fail "no geometry from gui_screenshot.exe"
user=$(ls "$WINEPREFIX/drive_c/users" | grep -v '^Public$' | head -n 1)
documents=$(readlink -f "$WINEPREFIX/drive_c/users/$user/Documents")
window_download "$work/geometry" "$documents/ClockReader/Dump.Txt" "$expected" "$n" $count \
  wine "$installed\\clockreader.exe"
cmp "$documents/ClockReader/Dump.Txt" "$work/cli/Dump.Txt" || fail "the installed window wrote another Dump.Txt"
[ ! -e "$program/Dump.Txt" ] && [ ! -e "$program/BadRecs.Txt" ] || fail "the installed window wrote beside itself"

wine msiexec /x "$(windows_path "$msi")" /qn || fail "msiexec /x failed"
[ ! -e "$program" ] || fail "the uninstall left $(ls "$program")"
[ ! -e "$WINEPREFIX/drive_c/$shortcut" ] || fail "the uninstall left the Start-menu entry"
cmp "$documents/ClockReader/Dump.Txt" "$work/cli/Dump.Txt" || fail "the uninstall touched Documents\\ClockReader"
echo "msi test: $(basename "$msi") installed, both programs ran ($expected lines in Documents\\ClockReader), uninstalled"
