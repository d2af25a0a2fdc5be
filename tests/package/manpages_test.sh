#!/usr/bin/env bash
# The manual pages agree with --help: every option that clockreader-cli
# --help, clockreader-cli COMMAND --help or clocksim --help lists is in the
# program's page, every command that --help lists is in the page's COMMANDS
# section, and every option the page's OPTIONS section describes is in the
# help of some command.
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
  # The commands, listed under "Commands:" two blanks in; each has its own help.
  commands=$(awk '/^Commands:/ {on = 1; next} /^[^ ]/ {on = 0} on && /^  [a-z]/ {print $1}' <<<"$help")
  [ "$program" = clockreader-cli ] && [ -z "$commands" ] && { echo "$program --help lists no command"; status=1; }
  listed=$(awk '/^\.SH COMMANDS/ {on = 1; next} /^\.SH/ {on = 0} on' <<<"$text")
  for command in $commands; do
    grep -qE "^\.B $command\$" <<<"$listed" || { echo "$program: the command $command is missing from $page"; status=1; }
    more=$("$programs/$program" "$command" --help) || { echo "$program $command --help failed"; status=1; continue; }
    help+=$'\n'$more
  done
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
