#!/usr/bin/env bash
# scripts/debian-source's rule, with a fake archive (apt-get, apt-cache and
# dpkg-source on PATH; no network): the installed version where the archive
# serves it; where its files are gone although its index lists it, the
# newest served version of the same upstream series, never one of another
# series; the choice remembered, so a second run asks the archive nothing.
# Faults it catches: a fallback missing (the fresh machine's failure when
# the archive dropped libpq 15.20), a fallback into another series (libpq
# 16 or Qt 6.5 in place of 15.x or 6.4.x), a wrong version printed (the
# cache keyed by a version that was not built).
#   debian_source_test.sh SOURCE_DIR
set -uo pipefail
script=$1/scripts/debian-source
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin" "$work/apt/sources.list.d"
echo 'deb-src http://archive.invalid/debian bookworm main' >"$work/apt/sources.list"
log=$work/archive.log

# The archive: `served` lists what downloads; `listed` what the index names.
cat >"$work/bin/apt-cache" <<'FAKE'
#!/usr/bin/env bash
[ "$1" = showsrc ] || exit 1
sed 's/^/Version: /' "$FAKE_ARCHIVE/listed"
FAKE
cat >"$work/bin/apt-get" <<'FAKE'
#!/usr/bin/env bash
[ "$1" = update ] && exit 0
for a; do case $a in *=*) want=$a ;; esac; done
echo "apt-get $want" >>"$FAKE_ARCHIVE/log"
grep -qxF "${want#*=}" "$FAKE_ARCHIVE/served" || { echo "404  Not Found" >&2; exit 100; }
echo "$want" >"${want%%=*}.dsc"
FAKE
cat >"$work/bin/dpkg-source" <<'FAKE'
#!/usr/bin/env bash
mkdir -p "$4" && cp "$3" "$4/unpacked-from"
FAKE
chmod +x "$work/bin"/*
export PATH=$work/bin:$PATH APT_ETC=$work/apt FAKE_ARCHIVE=$work XDG_CACHE_HOME=$work/cache
status=0

# case: package, installed version, listed, served, version expected ('-' for a refusal)
check() {
  local package=$1 wanted=$2 expect=$5 out got
  printf '%s\n' $3 >"$work/listed"
  printf '%s\n' $4 >"$work/served"
  : >"$work/log"
  out=$(bash "$script" "$package" "$wanted" 2>"$work/stderr")
  local rc=$?
  if [ "$expect" = - ]; then
    [ $rc -ne 0 ] || { echo "FAIL $package $wanted: taken ($out) though nothing of its series is served"; status=1; }
    return
  fi
  got=$(tail -n 2 <<<"$out" | head -n 1)
  [ $rc -eq 0 ] && [ "$got" = "$expect" ] ||
    { echo "FAIL $package $wanted: exit $rc, took '$got', expected $expect"; cat "$work/stderr"; status=1; return; }
  [ "$(tail -n 1 <<<"$out")" = "$XDG_CACHE_HOME/clockreader/src/$package-$expect/$package" ] &&
    grep -qxF "$package=$expect" "$XDG_CACHE_HOME/clockreader/src/$package-$expect/$package/unpacked-from" ||
    { echo "FAIL $package $wanted: the folder printed is not the $expect source"; status=1; }
  if [ "$expect" != "$wanted" ]; then
    grep -q "building $package from $expect in place of $wanted" "$work/stderr" ||
      { echo "FAIL $package $wanted: the fallback to $expect is not said"; status=1; }
  fi
  # Again: the same answer, and the archive is not asked.
  : >"$work/log"
  out=$(bash "$script" "$package" "$wanted" 2>/dev/null)
  [ "$(tail -n 2 <<<"$out" | head -n 1)" = "$expect" ] && [ ! -s "$work/log" ] ||
    { echo "FAIL $package $wanted: a second run asked the archive again or took another version"; status=1; }
}

check postgresql-15 15.18-0+deb12u1 "15.18-0+deb12u1 15.20-0+deb12u1" "15.18-0+deb12u1 15.20-0+deb12u1" 15.18-0+deb12u1
check postgresql-15 15.20-0+deb12u1 "15.18-0+deb12u1 15.20-0+deb12u1 15.9-0+deb12u1" "15.18-0+deb12u1 15.9-0+deb12u1" 15.18-0+deb12u1
check openssl 3.0.22-1~deb12u2 "3.0.22-1~deb12u2 3.0.21-1~deb12u1 3.1.0-1 3.0.11-1~deb12u2" "3.0.11-1~deb12u2 3.1.0-1" 3.0.11-1~deb12u2
check qt6-base 6.4.2+dfsg-10 "6.4.2+dfsg-10 6.5.0+dfsg-1" "6.5.0+dfsg-1" -
check sqlite3 3.40.1-2+deb12u3 "3.40.1-2+deb12u3 3.40.1-2+deb12u2 3.40.0-1" "3.40.0-1 3.40.1-2+deb12u2" 3.40.1-2+deb12u2
exit $status
