#!/usr/bin/env bash
# Runs the command examples of the README, literally, against clocksim:
#   readme_examples.sh README.md PROGRAM_DIR
# Every line of a ```sh block is run by bash, in order, in a scratch folder
# that holds copies of clockreader-cli and clocksim as build/bin/, so the
# examples' paths and their ports/ links are the README's own and touch
# nothing of the real build. A line ending in "&" starts a simulated clock;
# the next line waits until its --link exists. Fails when an example exits
# non-zero, warns that its records do not fit the layout it chose, or when
# the README has too few examples to mean anything.
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
    if grep -q 'try --vireo\|try without --vireo' "$scratch/stderr"; then
      echo "readme_examples: the records do not fit the layout this example chose" >&2
      exit 1
    fi
  fi
done
echo "readme_examples: ${#examples[@]} example lines ran"
