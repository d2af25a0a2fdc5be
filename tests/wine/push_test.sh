#!/usr/bin/env bash
# clockreader-cli.exe push under Wine, with the libpq.dll of the build,
# into a PostgreSQL 15 started here on 127.0.0.1 (tests/support/pgserver.sh):
# two stores collected from clocksim by download --new, one pushed without
# TLS and one over TLS checked against the test's own CA
# (sslmode=verify-full), the second pushed again. The central database must
# hold each record of each store once, with its line; a push whose server
# certificate does not check against the CA given must fail. The first store
# is also exported as an Excel workbook (libxlsxwriter.dll), and both from
# the central database (export --from-db), read back with Debian's openpyxl.
#   push_test.sh SOURCE_DIR WINDOWS_BUILD NATIVE_BUILD
set -uo pipefail
src=$(cd "$1" && pwd)
win=$(cd "$2" && pwd)
native=$(cd "$3" && pwd)
run=$win/wine/run
prefix=$win/wine/prefix
# shellcheck source=../support/pgserver.sh
source "$src/tests/support/pgserver.sh"

work=$(mktemp -d /tmp/clockreader-push-XXXXXX)
chmod 755 "$work"
sim=
cleanup() {
  [ -n "$sim" ] && kill "$sim" 2>/dev/null
  pg_remove
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "windows push test: $*" >&2
  [ -n "${PGDIR:-}" ] && tail -n 5 "$PGDIR/server.log" >&2
  exit 1
}
windows_path() { printf 'Z:%s' "$1" | tr / '\\'; }
cli() { "$run" "$win/bin/clockreader-cli.exe" "$@"; }

"$run" cmd /c exit >/dev/null 2>&1  # the prefix exists from here on
# A COM number no other test holds (winebridge's locks), linked to clocksim.
mkdir -p "$prefix/comlocks"
for n in $(seq 200 255); do
  exec {lock}>"$prefix/comlocks/com$n"
  flock -n "$lock" && break
  exec {lock}>&-
done
"$native/bin/clocksim" --records 2000 --link "$prefix/dosdevices/com$n" >"$work/sim.out" 2>/dev/null &
sim=$!
for _ in $(seq 100); do [ -s "$work/sim.out" ] && break; sleep 0.1; done
[ -s "$work/sim.out" ] || fail "clocksim did not start"
pg_start ssl || fail "no server"

for store in a b; do
  cli download --new --out "$(windows_path "$work/$store")" --port "COM$n" --site-name "site-$store" \
    >"$work/$store.log" 2>&1 || fail "download --new into $store: $(tail -n 3 "$work/$store.log")"
done
holds() { pg_holds "$work/$1/Punches.db" || fail "the central records of $1 are not its records once each"; }

# The Excel export, through libxlsxwriter.dll: a row a record on the sheets
# beside the daily summary.
cli export --out "$(windows_path "$work/a")" --format xlsx --file "$(windows_path "$work/a.xlsx")" \
  >"$work/export.log" 2>&1 || fail "export --format xlsx: $(cat "$work/export.log")"
rows=$(/usr/bin/python3 -c 'import sys, openpyxl
book = openpyxl.load_workbook(sys.argv[1])
print(sum(book[name].max_row - 1 for name in book.sheetnames if name != "daily"))' "$work/a.xlsx") ||
  fail "the workbook cannot be read"
[ "$rows" = "$(sqlite3 "$work/a/Punches.db" "SELECT count(*) FROM record")" ] ||
  fail "the workbook has $rows records' rows, not the store's"

plain="host=127.0.0.1 port=$PGPORT dbname=postgres user=postgres password=$pg_password sslmode=disable"
cli push --out "$(windows_path "$work/a")" --to "$plain" >"$work/push.log" 2>&1 ||
  fail "push without TLS: $(cat "$work/push.log")"
holds a
# libpq takes / in Windows paths; \ would be an escape in these values.
ca=$(windows_path "$PGDIR/ca.crt" | tr '\\' /)
tls="host=localhost port=$PGPORT dbname=postgres user=postgres password=$pg_password sslmode=verify-full"
cli push --out "$(windows_path "$work/b")" --to "$tls sslrootcert=$ca" >"$work/push.log" 2>&1 ||
  fail "push over TLS: $(cat "$work/push.log")"
holds b
cli push --out "$(windows_path "$work/b")" --to "$tls sslrootcert=$ca" >"$work/push.log" 2>&1
grep -q "nothing new to push" "$work/push.log" || fail "a second push sent records again: $(cat "$work/push.log")"
holds a
holds b
# Payroll's workbook of both stores, read back from the central database.
cli export --from-db "$plain" --format xlsx --file "$(windows_path "$work/all.xlsx")" >"$work/export.log" 2>&1 ||
  fail "export --from-db: $(cat "$work/export.log")"
central=$(/usr/bin/python3 -c 'import sys, openpyxl
book = openpyxl.load_workbook(sys.argv[1])
print(sum(book[name].max_row - 1 for name in book.sheetnames if name != "daily"))' "$work/all.xlsx") ||
  fail "the central workbook cannot be read"
[ "$central" = "$(($(sqlite3 "$work/a/Punches.db" "SELECT count(*) FROM record") +
                   $(sqlite3 "$work/b/Punches.db" "SELECT count(*) FROM record")))" ] ||
  fail "the central workbook has $central records' rows, not both stores'"
# The server's own certificate is no CA of it: the check fails.
cli push --out "$(windows_path "$work/a")" --to "$tls sslrootcert=${ca%ca.crt}server.crt" >"$work/push.log" 2>&1
status=$?
[ $status = 7 ] || fail "a push that cannot check the server's certificate exited $status: $(cat "$work/push.log")"
echo "windows push test: two stores pushed, without TLS and over TLS (verify-full), each record once; $rows rows in the workbook, $central from the central database"
