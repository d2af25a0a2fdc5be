#!/usr/bin/env bash
# The push to a central PostgreSQL 15 started here, against psql's \copy of
# the same rows into the same table, side by side in one run:
#   pushbench.sh PROGRAM_DIR [--quick]
# A store of a whole ring (253579 records; 20000 with --quick) collected from
# clocksim is pushed into an empty table five times, each followed by
# \copy of the rows it made; the medians are compared (goal: at most 1.15
# times, judged on the whole ring only: at 20000 records what a push does
# once, opening and checking the store and the schema, is much of its time).
# Then a day's 10000 records on top of the whole ring (goal: under 3 s), a
# push with nothing new (goal: under 1 s), and the push's peak memory (goal:
# under 64 MiB). Prints a table; exits 1 when a goal is missed.
set -uo pipefail
bin=$1
records=253579
[ "${2:-}" = --quick ] && records=20000
source "$(dirname "$0")/../support/pgserver.sh"
work=$(mktemp -d /tmp/push-bench-XXXXXX)
chmod 755 "$work"
cd "$work" || exit 1
sim=
trap '[ -n "$sim" ] && kill $sim; pg_remove; rm -rf "$work"' EXIT

pg_start >/dev/null || exit 1
echo "127.0.0.1:$PGPORT:*:postgres:$pg_password" >pgpass && chmod 600 pgpass
export PGPASSFILE=$work/pgpass
uri="postgresql://postgres@127.0.0.1:$PGPORT/postgres"
"$bin/clocksim" --records "$records" --link "$work/ports/COM1" >/dev/null 2>&1 &
sim=$!
for _ in $(seq 100); do [ -e ports/COM1 ] && break; sleep 0.05; done
"$bin/clockreader-cli" download --new --out store --ports-dir ports --port COM1 >collect.log 2>&1 || {
  cat collect.log
  exit 1
}
columns="site, clock, lap, position, port, bus, address, line, raw, card, clock_date, calendar, day, time, type, flagged, collected_at"
seconds() { # COMMAND...: its wall time in seconds; its peak memory in KiB to peak.txt
  /usr/bin/time -f '%e %M' -o timing.txt "$@" >/dev/null 2>run.log || { cat run.log >&2; return 1; }
  read -r elapsed peak <timing.txt
  echo "$peak" >peak.txt
  echo "$elapsed"
}
median() { printf '%s\n' "$@" | sort -g | sed -n "$((($# + 1) / 2))p"; }

pushes=() copies=() peaks=()
for _ in 1 2 3 4 5; do
  sqlite3 store/Punches.db "DELETE FROM central" 2>/dev/null
  pg_sql "TRUNCATE clockreader.record" 2>/dev/null
  pushes+=("$(seconds "$bin/clockreader-cli" push --out store --to "$uri")") || exit 1
  peaks+=("$(cat peak.txt)")
  pg_sql "COPY (SELECT $columns FROM clockreader.record) TO STDOUT" >rows.txt
  pg_sql "TRUNCATE clockreader.record"
  copies+=("$(seconds psql -X -q -h "$PGDIR" -p "$PGPORT" -U postgres -c "\\copy clockreader.record ($columns) FROM rows.txt")") || exit 1
done
push=$(median "${pushes[@]}")
copy=$(median "${copies[@]}")
peak=$(median "${peaks[@]}")

# A day's records after the whole ring: the newest 10000 again.
last=$(sqlite3 store/Punches.db "SELECT max(id) FROM record")
sqlite3 store/Punches.db "UPDATE central SET pushed_through = $last - 10000"
pg_sql "DELETE FROM clockreader.record WHERE (clock, lap * 253579 + position) IN
        (SELECT clock, lap * 253579 + position FROM clockreader.record ORDER BY lap DESC, position DESC LIMIT 10000)"
day=$(seconds "$bin/clockreader-cli" push --out store --to "$uri") || exit 1
nothing=$(seconds "$bin/clockreader-cli" push --out store --to "$uri") || exit 1

ratio=$(awk -v a="$push" -v b="$copy" 'BEGIN { printf "%.2f", a / b }')
mib=$(awk -v k="$peak" 'BEGIN { printf "%.1f", k / 1024 }')
echo "| records | push s | psql \\copy s | ratio (goal <= 1.15) | 10000 more s (goal < 3) | nothing new s (goal < 1) | peak MiB (goal < 64) |"
echo "|---|---|---|---|---|---|---|"
echo "| $records | $push | $copy | $ratio | $day | $nothing | $mib |"
status=0
goal() { awk "BEGIN { exit !($1) }" || { echo "  missed: $2"; status=1; }; }
if [ "$records" = 253579 ]; then
  goal "$ratio <= 1.15" "the push takes at most 1.15 times psql's \\copy"
else
  echo "  ratio not judged at $records records: it is a goal for the whole ring (scripts/bench without --quick)"
fi
goal "$day < 3" "a day's 10000 records pushed in under 3 s"
goal "$nothing < 1" "a push with nothing new in under 1 s"
goal "$mib < 64" "peak memory under 64 MiB"
exit $status
