# A PostgreSQL 15 server for the tests, sourced by their scripts: made by
# initdb in a temporary folder (as the postgres user when run as root),
# listening on 127.0.0.1 only, on a port free when it starts, and removed
# by pg_remove. The superuser "postgres" logs in with $pg_password over TCP
# (scram-sha-256); over the folder's socket without one.
#   pg_start [ssl]   sets PGDIR and PGPORT; with ssl, a CA ($PGDIR/ca.crt)
#                    and a certificate for "localhost" made by openssl
#   pg_sql SQL...    runs SQL as the superuser in database $PGDATABASE
#   pg_holds DB      the central database holds the records of the punch
#                    store DB once each, with their lines, and no others of
#                    its site
#   pg_stop, pg_again, pg_remove
pg_bin=/usr/lib/postgresql/15/bin
pg_password=sup3r-s3cret

as_postgres() {
  if [ "$(id -u)" = 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

pg_start() {
  unset PGPORT
  PGDIR=$(mktemp -d /tmp/clockreader-pg-XXXXXX)
  chmod 755 "$PGDIR"
  echo "$pg_password" >"$PGDIR/pwfile"
  [ "$(id -u)" = 0 ] && chown postgres "$PGDIR" "$PGDIR/pwfile"
  as_postgres "$pg_bin/initdb" -D "$PGDIR/data" -U postgres --pwfile="$PGDIR/pwfile" \
    --auth-local=trust --auth-host=scram-sha-256 >"$PGDIR/initdb.log" 2>&1 || { cat "$PGDIR/initdb.log"; return 1; }
  if [ "${1:-}" = ssl ]; then
    (cd "$PGDIR" && openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=test-ca \
        -keyout ca.key -out ca.crt &&
      openssl req -newkey rsa:2048 -nodes -subj /CN=localhost -keyout server.key -out server.csr &&
      printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\n' >san.ext &&
      openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 \
        -extfile san.ext -out server.crt) >/dev/null 2>&1 || return 1
    cp "$PGDIR/server.crt" "$PGDIR/server.key" "$PGDIR/data/"
    [ "$(id -u)" = 0 ] && chown postgres "$PGDIR/data/server.crt" "$PGDIR/data/server.key"
    chmod 600 "$PGDIR/data/server.key"
    echo "ssl = on" >>"$PGDIR/data/postgresql.conf"
  fi
  pg_again
}

pg_again() {
  local tries
  for tries in 1 2 3; do
    [ -z "${PGPORT:-}" ] || [ "$tries" -gt 1 ] && PGPORT=$(free_port)
    as_postgres "$pg_bin/pg_ctl" -D "$PGDIR/data" -l "$PGDIR/server.log" -w -t 60 \
      -o "-p $PGPORT -k $PGDIR -c listen_addresses=127.0.0.1" start >/dev/null && break
  done
  export PGDIR PGPORT
}

pg_stop() { as_postgres "$pg_bin/pg_ctl" -D "$PGDIR/data" -m "${1:-fast}" -w stop >/dev/null; }

pg_sql() { psql -X -q -At -h "$PGDIR" -p "$PGPORT" -U postgres -d "${PGDATABASE:-postgres}" -v ON_ERROR_STOP=1 -c "$*"; }

pg_remove() {
  [ -n "${PGDIR:-}" ] || return 0
  pg_stop immediate 2>/dev/null
  rm -rf "$PGDIR"
}

pg_holds() {
  local site
  site=$(sqlite3 "$1" "SELECT identity FROM store")
  [ "$(sqlite3 "$1" "SELECT count(*) FROM record")" -gt 0 ] &&
    diff <(sqlite3 "$1" "SELECT clock_id, serial, lower(hex(line)) FROM record" | sort) \
      <(pg_sql "SELECT clock, lap * 253579 + position, encode(line, 'hex') FROM clockreader.record
                WHERE site = '$site'" | sort) >/dev/null
}
