#!/usr/bin/env bash
# Runs the command examples of the README, literally, against clocksim:
#   readme_examples.sh README.md PROGRAM_DIR
# Every line of a ```sh block is run by bash, in order, in a scratch folder
# that holds copies of clockreader-cli and clocksim as build/bin/, so the
# examples' paths and their ports/ links are the README's own and touch
# nothing of the real build. A line ending in "&" starts a simulated clock,
# and the next line waits until its --link exists, or a converter (ser2net,
# socat), and the next line waits until its TCP port listens (its
# "tcp,HOST,PORT" or "TCP-LISTEN:PORT"). Fails when an example exits
# non-zero, warns that its records do not fit the layout it chose, or when
# the README has too few examples to mean anything.
#
# Then the scheduling examples (the crontab line and the systemd units) run
# as far as this machine allows: as an installed copy (clockreader-cli with
# its installed marker), with /usr/bin, /srv and /var/lib moved into the
# scratch folder, against a simulated bus of 32 clocks linked as COM1 in the
# user's ~/ClockReader/ports. The crontab line runs as root, as root's crontab
# would; the service is checked by systemd-analyze and its ExecStart runs as
# an unprivileged user whose home is the state directory.
set -uo pipefail
readme=$1
programs=$2

scratch=$(mktemp -d /tmp/readme-examples-XXXXXX)
background=()
cleanup() {
  for pid in "${background[@]}"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  rm -rf "$scratch"
}
trap cleanup EXIT
mkdir -p "$scratch/build/bin"
cp "$programs/clockreader-cli" "$programs/clocksim" "$scratch/build/bin/"
cd "$scratch" || exit 1

mapfile -t examples < <(awk '/^```sh$/ {inside = 1; next} /^```/ {inside = 0} inside && NF' "$readme")
if [ "${#examples[@]}" -lt 4 ]; then
  echo "readme_examples: only ${#examples[@]} example lines in $readme" >&2
  exit 1
fi

for line in "${examples[@]}"; do
  echo "\$ $line"
  if [[ $line =~ \&[[:space:]]*$ ]]; then
    eval "$line"
    background+=($!)
    port=$(sed -nE 's/.*(tcp,[^,]*,|TCP-LISTEN:)([0-9]+).*/\2/p' <<<"$line")
    if [ -n "$port" ] && [[ $line != *--link* ]]; then
      hex=$(printf ':%04X ' "$port")
      for _ in $(seq 100); do grep -q "$hex[0-9A-F:]* 0A " /proc/net/tcp /proc/net/tcp6 && break; sleep 0.05; done
      if ! grep -q "$hex[0-9A-F:]* 0A " /proc/net/tcp /proc/net/tcp6; then
        echo "readme_examples: nothing listens on port $port after this line" >&2
        exit 1
      fi
      continue
    fi
    link=$(sed -n 's/.*--link \([^ ]*\).*/\1/p' <<<"$line")
    for _ in $(seq 100); do [ -e "$link" ] && break; sleep 0.05; done
    if [ -z "$link" ] || [ ! -e "$link" ]; then
      echo "readme_examples: the clock of this line never appeared at '$link'" >&2
      exit 1
    fi
  else
    eval "$line" 2>"$scratch/stderr"
    status=$?
    cat "$scratch/stderr" >&2
    if [ "$status" -ne 0 ]; then
      echo "readme_examples: exit status $status" >&2
      exit 1
    fi
    # A layout that does not fit the clock's records gives wrong lines
    # without failing: the warning is what tells.
    if grep -q 'the clock most likely uses the' "$scratch/stderr"; then
      echo "readme_examples: the records do not fit the layout this example chose" >&2
      exit 1
    fi
  fi
done

fail() {
  echo "readme_examples: $*" >&2
  exit 1
}
# Starts a simulated bus of 32 clocks linked as COM1 in the ports folder of
# the home folder $1.
start_bus() {
  local link=$1/ClockReader/ports/COM1
  "$scratch/build/bin/clocksim" --bus rs485 --clocks 1-32 --records 20 --link "$link" >/dev/null &
  background+=($!)
  for _ in $(seq 100); do [ -e "$link" ] && break; sleep 0.05; done
  [ -e "$link" ] || fail "the bus for $1 never appeared"
  chmod 666 "$(readlink -f "$link")"
}
# A scheduled command with the system's folders moved into the scratch folder.
relocated() {
  sed -e "s#/usr/bin/#$scratch/usr/bin/#g" -e "s#/srv/#$scratch/srv/#g" -e "s#/var/lib/#$scratch/var/lib/#g" <<<"$1"
}
chmod 755 "$scratch"
mkdir -p "$scratch/usr/bin"
cp "$programs/clockreader-cli" "$scratch/usr/bin/"
touch "$scratch/usr/bin/clockreader.installed"

cron=$(awk '/^# crontab -e$/ {getline; print; exit}' "$readme" | sed -E 's/^([^ ]+ +){5}//')
[ -n "$cron" ] || fail "no crontab line"
echo "\$ (cron, as root) $cron"
if [ "$(id -u)" -eq 0 ]; then
  start_bus "$scratch/root"
  HOME=$scratch/root bash -c "$(relocated "$cron")" || fail "the crontab line failed"
  records=$(cat "$scratch"/srv/clock/Dump-*.Txt | wc -l)
  [ "$records" -eq 640 ] || fail "the crontab line collected $records records, not 640"
  grep -q . "$scratch/srv/clock/collect.log" || fail "the crontab line logged nothing"
  [ -z "$(ls "$scratch/usr/bin" | grep -v '^clockreader')" ] || fail "something was written beside the installed program"
else
  echo "readme_examples: not root, the crontab line is not run"
fi

units=$scratch/systemd
mkdir -p "$units"
awk -v dir="$units" '/^# \/etc\/systemd\/system\// {file = dir "/" substr($2, 21); next}
  /^```/ {file = ""} file {print > file}' "$readme"
service=$units/clockreader-collect.service
[ -f "$service" ] && [ -f "$units/clockreader-collect.timer" ] || fail "no systemd units"
sed -i "s#^ExecStart=.*#$(relocated "$(grep '^ExecStart=' "$service")")#" "$service"
echo "\$ systemd-analyze verify clockreader-collect.service clockreader-collect.timer"
if command -v systemd-analyze >/dev/null; then
  complaints=$(cd "$units" && systemd-analyze verify ./clockreader-collect.service ./clockreader-collect.timer 2>&1) ||
    fail "systemd-analyze: $complaints"
  [ -z "$complaints" ] || fail "systemd-analyze: $complaints"
fi
user=$(sed -n 's/^User=//p' "$service")
state=$(sed -n 's/^StateDirectory=//p' "$service")
[ -n "$user" ] && [ -n "$state" ] || fail "the service names no User= and StateDirectory="
exec_start=$(sed -n 's/^ExecStart=//p' "$service")
echo "\$ (service, as $user: nobody here) $exec_start"
if [ "$(id -u)" -eq 0 ]; then
  home=$scratch/var/lib/$state
  mkdir -p "$home"
  chown 65534:65534 "$home"
  start_bus "$home"
  HOME=$home setpriv --reuid=65534 --regid=65534 --clear-groups $exec_start || fail "the service failed"
  records=$(cat "$home"/records/Dump-*.Txt | wc -l)
  [ "$records" -eq 640 ] || fail "the service collected $records records, not 640"
else
  echo "readme_examples: not root, the service is not run"
fi
echo "readme_examples: ${#examples[@]} example lines, the crontab line and the service ran"
