#!/usr/bin/env bash
# The manual pages agree with --help: every option that clockreader-cli
# --help or clocksim --help lists is in the program's page, and every option
# the page's OPTIONS section describes is in --help.
#   manpages_test.sh PROGRAM_DIR PAGE_DIR
set -uo pipefail
programs=$1
pages=$2
status=0
options() { grep -oE -- '--[a-z][a-z-]*[a-z]' | sort -u; }
for program in clockreader-cli clocksim; do
  page=$pages/$program.1
  help=$("$programs/$program" --help) || { echo "$program --help failed"; status=1; continue; }
  # The page as text: troff's escaped hyphens and font changes undone.
  text=$(sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' "$page")
  described=$(awk '/^\.SH OPTIONS/ {on = 1; next} /^\.SH/ {on = 0} on' <<<"$text" | options)
  for option in $(options <<<"$help"); do
    grep -qE -- "$option([^a-z-]|\$)" <<<"$text" || { echo "$program: $option of --help is missing from $page"; status=1; }
  done
  for option in $described; do
    [ "$option" = --help ] && continue
    grep -qE -- "$option([^a-z-]|\$)" <<<"$help" || { echo "$program: $option of $page is not in --help"; status=1; }
  done
done
[ $status -eq 0 ] && echo "manpages_test: the pages agree with --help"
exit $status
