#!/usr/bin/env bash
# The Debian package as a user gets it: built from this build with cpack
# (into a scratch folder, so the build's own package stays), unpacked into a
# scratch root with dpkg -x, and run from there. Checks that
#  - clockreader-cli --help and clocksim --help run;
#  - the menu entry, its icon and the manual pages are in place;
#  - the package depends on the packages of every library the programs load;
#  - the window, run as an ordinary user who may not write to usr/bin and
#    with no icon theme at all, starts, stays up and creates its files in
#    ~/ClockReader (as "nobody" when run as root);
#  - lintian, when installed, reports no error.
#   package_test.sh BUILD_DIR
set -uo pipefail
build=$1
scratch=$(mktemp -d /tmp/package-test-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "package_test: $*" >&2; exit 1; }

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/out" > "$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log"; fail "cpack failed"; }
deb=$(ls "$scratch"/out/clockreader_*.deb) || fail "no package made"
root=$scratch/root
dpkg -x "$deb" "$root" || fail "dpkg -x failed"

# Each help is read whole first: grep -q would stop reading at the first
# match and the program's next write would fail.
for program in clockreader-cli clocksim; do
  help=$("$root/usr/bin/$program" --help) || fail "$program --help failed"
  grep -q "^Usage: $program" <<<"$help" || fail "$program --help shows no usage"
done
for file in usr/share/applications/clockreader.desktop usr/share/icons/hicolor/scalable/apps/clockreader.svg \
            usr/share/man/man1/clockreader.1.gz usr/share/man/man1/clockreader-cli.1.gz \
            usr/share/man/man1/clocksim.1.gz usr/share/doc/clockreader/copyright; do
  [ -s "$root/$file" ] || fail "$file is missing"
done

# Every shared library a program loads comes from a package the .deb
# depends on (libpq5, libxlsxwriter4, Qt's, SQLite's...), by name.
depends=$(dpkg-deb -f "$deb" Depends)
for program in clockreader clockreader-cli clocksim; do
  for library in $(objdump -p "$root/usr/bin/$program" | awk '$1 == "NEEDED" { print $2 }'); do
    path=$(ldconfig -p | awk -v l="$library" '$1 == l && /x86-64/ { print $NF; exit }')
    [ -n "$path" ] || fail "$program needs $library, which is not on this machine"
    # dpkg knows the file under /lib or /usr/lib, whichever its package uses.
    owner=$(dpkg -S "$path" "$(readlink -f "$(dirname "$path")")/$library" 2>/dev/null | head -n 1 | cut -d: -f1)
    [ -n "$owner" ] || fail "no package holds $library"
    case $owner in libc6 | libgcc-s1 | libstdc++6) continue ;; esac
    grep -qE "(^|, )$owner( |,|$)" <<<"$depends" || fail "$program needs $library of $owner; Depends: $depends"
  done
done

home=$scratch/home
mkdir -p "$home" "$scratch/no-icons"
chmod 755 "$scratch"
if [ "$(id -u)" -eq 0 ]; then
  chown 65534:65534 "$home"
  as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
else
  chmod 555 "$root/usr/bin"
  as_user=()
fi
# The window runs until it is stopped; "timeout" only guards against a test
# that never gets to stop it.
env -i PATH=/usr/bin:/bin HOME="$home" XDG_DATA_DIRS="$scratch/no-icons" XDG_CONFIG_DIRS="$scratch/no-icons" \
  XDG_RUNTIME_DIR="$home" QT_QPA_PLATFORM=offscreen \
  "${as_user[@]}" timeout 30 "$root/usr/bin/clockreader" > "$scratch/window.log" 2>&1 &
window=$!
for _ in $(seq 100); do [ -f "$home/ClockReader/BadRecs.Txt" ] && break; sleep 0.1; done
sleep 0.5
if ! kill -0 "$window" 2>/dev/null; then
  status=0
  wait "$window" || status=$?
  cat "$scratch/window.log"
  fail "the window ended by itself (status $status)"
fi
kill "$window"
wait "$window"
[ -f "$home/ClockReader/Dump.Txt" ] && [ -f "$home/ClockReader/BadRecs.Txt" ] ||
  fail "the window made no Dump.Txt and BadRecs.Txt in ~/ClockReader"
[ ! -e "$root/usr/bin/Dump.Txt" ] || fail "the window wrote beside the installed program"

if command -v lintian > /dev/null; then
  status=0
  lintian --fail-on error "$deb" > "$scratch/lintian.log" 2>&1 || status=$?
  grep -v 'running with root privileges' "$scratch/lintian.log"
  [ "$status" -eq 0 ] || fail "lintian reports errors"
fi
echo "package_test: $(basename "$deb") installs and runs"
