#!/usr/bin/env bash
# Holds the exit-status tables users read to the one the program returns: the statuses of the
# ExitStatus enum (driver/program.h) must be listed, exactly and in the same order, by the
# README's table, the man page's EXIT STATUS section and the program's --help. Only the numbers
# are compared; each text words them its own way.
#
#   bash tests/docs/check_exit_statuses.sh SOURCE-DIR QELRESTORE
set -u
source_dir=${1:?usage: check_exit_statuses.sh SOURCE-DIR QELRESTORE}
program=${2:?usage: check_exit_statuses.sh SOURCE-DIR QELRESTORE}

# The enum's initialisers, in order: "kExitName = N,  // ...".
code_statuses() {
  sed -n '/^enum ExitStatus/,/^};/s/^ *kExit[A-Za-z]* *= *\([0-9][0-9]*\),.*/\1/p' \
    "$source_dir/driver/program.h"
}

# The first cells of the table headed "| status | the run |".
readme_statuses() {
  awk '/^\| *status *\| *the run *\|/ { table = 1; next }
       table && /^\|[- |]*$/ { next }
       table && /^\|/ { cell = $0; sub(/^\| */, "", cell); sub(/ *\|.*/, "", cell); print cell; next }
       table { exit }' "$source_dir/README.md"
}

# The ".B N" tags of the EXIT STATUS section.
man_statuses() {
  awk '/^\.SH / { section = ($0 ~ /^\.SH "?EXIT STATUS"?$/); next }
       section && /^\.B [0-9]+$/ { print $2 }' "$source_dir/docs/qelrestore.1"
}

# The indented "N  text" lines after "Exit status:", up to a blank line.
help_statuses() {
  "$program" --help | awk '/^Exit status:$/ { section = 1; next }
                           section && /^$/ { exit }
                           section && /^ +[0-9]+ / { print $1 }'
}

expected=$(code_statuses | paste -sd' ')
if [[ -z $expected ]]; then
  echo "FAIL: no kExit... = N lines in the ExitStatus enum of driver/program.h"
  exit 1
fi
echo "code: $expected"

failed=0
readme_tables=$(grep -c '^| *status *| *the run *|' "$source_dir/README.md")
if [[ $readme_tables -ne 1 ]]; then
  echo "FAIL: README.md has $readme_tables exit-status tables, not one"
  failed=1
fi
# check NAME: the statuses the text NAME lists (one a line, on standard input) against the code's.
check() {
  local got
  got=$(paste -sd' ')
  if [[ $got == "$expected" ]]; then
    echo "ok    $1: $got"
  else
    echo "FAIL  $1: '$got', the code: '$expected'"
    failed=1
  fi
}
check README.md < <(readme_statuses)
check docs/qelrestore.1 < <(man_statuses)
check "qelrestore --help" < <(help_statuses)
exit "$failed"
