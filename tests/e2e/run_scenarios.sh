#!/usr/bin/env bash
# Runs the end-to-end cases of scenarios.table on one form of qelrestore:
#
#   bash tests/e2e/run_scenarios.sh posix   <posix-build-dir>
#   bash tests/e2e/run_scenarios.sh windows <windows-build-dir>
#
# Each case starts from an empty sandbox (a temp folder on POSIX; one private wine prefix for the
# whole run on Windows), sets up the files, path.conf, registry and stand-in clients of its row,
# starts the program as its users do and checks what the row expects. Prints one line per case
# and a closing "N passed, M failed"; exits non-zero on any failure. A case that means something
# on the other form only is listed as SKIP with its reason. CASES="a b" runs only those cases.
set -u

here=$(cd "$(dirname "$0")" && pwd)
form=${1:-}
build=${2:-}
if [[ ($form != posix && $form != windows) || -z $build ]]; then
  echo "usage: run_scenarios.sh posix|windows BUILD-DIR" >&2
  exit 2
fi
build=$(cd "$build" && pwd) || exit 2
# shellcheck disable=SC2034  # the Windows form finds qelRestore.bat there
SOURCE_ROOT=$(cd "$here/../.." && pwd)

# shellcheck source=tests/e2e/lib/table.sh
source "$here/lib/table.sh"
# shellcheck source=tests/e2e/lib/checks.sh
source "$here/lib/checks.sh"
# shellcheck source=tests/e2e/lib/posix_form.sh
# shellcheck source=tests/e2e/lib/windows_form.sh
source "$here/lib/${form}_form.sh"

read_table "$here/scenarios.table" || exit 2

# Cases run in E2E_JOBS shards at once, each with a sandbox of its own (by default two on POSIX;
# one on Windows, where every shard would boot a wine prefix); their lines are printed in the
# table's order.
if [[ $form == posix ]]; then jobs=${E2E_JOBS:-2}; else jobs=${E2E_JOBS:-1}; fi
[[ $jobs =~ ^[1-9][0-9]*$ ]] || { echo "E2E_JOBS must be a whole number above 0" >&2; exit 2; }
BASE=$(mktemp -d "/tmp/qel-e2e-$form.XXXXXX")
trap 'rm -rf "$BASE"' EXIT

started=$(date +%s)

# host_path PATH: where a path of the table lies on this machine (C:\ and %PROFILE% mapped).
host_path() {
  local path=$1
  case $path in
    '%PROFILE%'*) path=$PROFILE_DIR${path#%PROFILE%} ;;
    [Cc]:*) path=$ROOT_C${path:2} ;;
  esac
  printf '%s' "${path//\\//}"
}

# prepare_case: the sandbox of the loaded case: its program, files, path.conf, registry, clients.
# Sets PROGRAM_FOLDER (the table's path), RUN_ARGS (the table's texts of the arguments).
prepare_case() {
  form_reset
  local program
  if [[ $C_RUN_MODE == bat ]]; then
    program='C:\qel\qelRestore.bat'
    split_typed "$C_RUN_TEXT"
    RUN_ARGS=("${TYPED_WORDS[@]}")
  else
    split_typed "$C_RUN_TEXT"
    program=${TYPED_WORDS[0]}
    RUN_ARGS=("${TYPED_WORDS[@]:1}")
  fi
  PROGRAM_FOLDER=${program%\\*}
  form_install_program "$PROGRAM_FOLDER"

  local entry path
  for path in "${C_DIRS[@]}"; do mkdir -p "$(host_path "$path")"; done
  for entry in "${C_FILES[@]}"; do
    path=$(host_path "${entry%% =*}")
    mkdir -p "$(dirname "$path")"
    file_content "$entry" >"$path"
  done
  if ((${#C_PATHCONF[@]})); then
    mkdir -p "$PROFILE_DIR/.corvilane"
    local line
    for line in "${C_PATHCONF[@]}"; do
      printf '%s\r\n' "$(form_pathconf_line "$line")"
    done >"$PROFILE_DIR/.corvilane/path.conf"
  fi
  for path in "${C_CLIENTS[@]}"; do
    mkdir -p "$(dirname "$(host_path "$path")")"
    cp "$STANDIN" "$(host_path "$path")"
  done
  form_set_registry "${C_REGS[@]}"
}

# run_case NAME: runs one loaded case and prints its line: PASS, FAIL (with the first lines of
# standard error) or SKIP.
run_case() {
  local name=$1 why run
  load_case "$name" || { echo "FAIL $form $name: the table does not load"; return; }
  if [[ " $C_FORMS " != *" $form "* ]]; then
    echo "SKIP $form $name: $C_WHY"
    return
  fi
  if ! prepare_case >"$WORK/setup.log" 2>&1; then
    echo "FAIL $form $name: setting up: $(head -3 "$WORK/setup.log")"
    return
  fi
  SNAPSHOT_BEFORE=$(snapshot)
  DAY_BEFORE=$(date +%d)
  for ((run = 1; run <= C_RUNS; run++)); do form_run; done
  run_later
  DAY_AFTER=$(date +%d)
  if why=$(check_expectations 2>&1); then
    echo "PASS $form $name: $C_ABOUT"
    [[ -n ${E2E_SHOW:-} ]] && show_run
  else
    echo "FAIL $form $name: $why"
    [[ -s $WORK/err ]] && sed 's/^/    stderr: /' "$WORK/err" | head -5
  fi
  form_stop_clients
}

# run_later: the case's "then" runs, each with its variables added, and the files its "between"
# lines write before the next run.
run_later() {
  local line entry path
  local -a env=("${C_ENV[@]}")
  for line in "${C_LATER[@]}"; do
    entry=${line#* }
    if [[ $line == between* ]]; then
      path=$(host_path "${entry%% =*}")
      mkdir -p "$(dirname "$path")"
      file_content "$entry" >"$path"
    else
      read -ra C_ENV <<<"$entry"
      C_ENV=("${env[@]}" "${C_ENV[@]}")
      form_run
      C_ENV=("${env[@]}")
    fi
  done
}

# show_run: the last run as it went (E2E_SHOW=1), for a reader who wants to see it: its start,
# its status and what it wrote.
show_run() {
  local log
  log=$(the_log)
  echo "    run $C_RUN_MODE $C_RUN_TEXT${C_ENV[*]:+  (with ${C_ENV[*]})}"
  echo "    status $STATUS"
  [[ -f $log ]] && tr -d '\r' <"$log" | sed 's/^/    log: /'
  [[ -s $WORK/out ]] && tr -d '\r' <"$WORK/out" | sed 's/^/    out: /'
  [[ -s $WORK/err ]] && tr -d '\r' <"$WORK/err" | sed 's/^/    err: /'
  return 0
}

# run_shard K: every case whose place in the table is K modulo the shard count, each one's line
# in $BASE/case.PLACE.
run_shard() {
  SCRATCH=$BASE/shard$1
  WORK=$SCRATCH/work  # standard output and error of a run, and the runner's own files
  mkdir -p "$WORK"
  trap form_finish EXIT
  form_start "$build" || exit 2
  local place name
  for place in "${!CASE_NAMES[@]}"; do
    ((place % jobs == $1)) || continue
    name=${CASE_NAMES[place]}
    if [[ -n ${CASES:-} && " $CASES " != *" $name "* ]]; then continue; fi
    run_case "$name" >"$BASE/case.$place"
  done
}

shards=()
for ((shard = 0; shard < jobs; shard++)); do
  run_shard "$shard" &
  shards+=($!)
done
status=0
for pid in "${shards[@]}"; do wait "$pid" || status=$?; done
((status == 0)) || { echo "a shard could not start the $form form (exit $status)" >&2; exit 2; }

passed=0
failed=0
skipped=0
for place in "${!CASE_NAMES[@]}"; do
  [[ -f $BASE/case.$place ]] || continue
  cat "$BASE/case.$place"
  case $(head -c 4 "$BASE/case.$place") in
    PASS) passed=$((passed + 1)) ;;
    SKIP) skipped=$((skipped + 1)) ;;
    *) failed=$((failed + 1)) ;;
  esac
done

echo "$form suite took $(($(date +%s) - started)) s ($skipped skipped, $jobs at once)"
echo "$passed passed, $failed failed"
((failed == 0))
