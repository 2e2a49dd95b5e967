# shellcheck shell=bash
# The expectations of a case, checked after its run. Each check prints what differs and fails;
# the paths and texts of the table are mapped by the form's functions (host_path, form_expected).

# log_entries FILE: one line per log line: the message after the time text and ": ", or
# "[record]" and the error record after the time text; "[bad line]..." for anything else. The
# shape of every time text (each run of digits as one 9, of letters as one A, so that neither the
# hour's digit count nor AM and PM change it) goes to $WORK/time-shapes.
log_entries() {
  local line time message
  : >"$WORK/time-shapes"
  while IFS= read -r line || [[ -n $line ]]; do
    line=${line%$'\r'}
    if [[ $line == *Error:* && ${line%%Error:*} != *': '* ]]; then
      time=${line%%Error:*}
      message="[record]Error:${line#*Error:}"
    elif [[ $line == *': '* ]]; then
      time=${line%%': '*}
      message=${line#*': '}
    else
      time=''
      message="[bad line]$line"
    fi
    [[ $time == *[0-9]* ]] || message="[no time text]$line"
    printf '%s\n' "$time" | sed 's/[0-9][0-9]*/9/g; s/[A-Za-z][A-Za-z]*/A/g' >>"$WORK/time-shapes"
    printf '%s\n' "$message"
  done <"$1"
}

# check_log FILE EXPECTATIONS...: every line ends in CR LF, every time text has the shape of the
# first, and the entries match "msg TEXT", "msg~ TEXT" (a beginning) and "record TEXT" in order.
check_log() {
  local file=$1
  shift
  [[ -f $file ]] || { echo "no log file $file"; return 1; }
  local lines crlf
  lines=$(wc -l <"$file")
  crlf=$(grep -c $'\r$' "$file")
  [[ $lines == "$crlf" && -z $(tail -c 1 "$file" | tr -d '\n') ]] ||
    { echo "$((lines - crlf)) of $lines log lines not ended by CR LF"; return 1; }
  mapfile -t ENTRIES < <(log_entries "$file")
  [[ $(sort -u "$WORK/time-shapes" | wc -l) -le 1 ]] ||
    { echo "time texts of different shapes: $(sort -u "$WORK/time-shapes" | tr '\n' ' ')"; return 1; }
  match_entries log "$@"
}

# match_entries NOUN EXPECTATIONS...: the lines in ENTRIES match the expectations in order, exactly
# (msg, out), by their beginning (msg~, out~) or as an error record (record), and nothing follows.
match_entries() {
  local noun=$1
  shift
  local i=0 expectation kind want got
  for expectation in "$@"; do
    kind=${expectation%% *}
    want=$(form_expected "$(with_day "${expectation#* }")")
    got=${ENTRIES[i]-<no line>}
    case $kind in
      msg | out) [[ $got == "$want" ]] ;;
      msg~ | out~) [[ $got == "$want"* ]] ;;
      record) [[ $got == "[record]$want" ]] ;;
    esac || { echo "$noun line $((i + 1)): expected [$want], got [$got]"; return 1; }
    i=$((i + 1))
  done
  ((${#ENTRIES[@]} == i)) || { echo "$noun line $((i + 1)) not expected: [${ENTRIES[i]}]"; return 1; }
}

# check_output EXPECTATIONS...: the lines of standard output (a dry run's, in the log's own line
# format) match "out TEXT" and "out~ TEXT" (a beginning) in order, and nothing follows them.
check_output() {
  mapfile -t ENTRIES < <(tr -d '\r' <"$WORK/out" | log_entries /dev/stdin)
  match_entries output "$@"
}

# the_log: the log file of the case's run: its second argument, else the default log in the
# program folder, named after the day of the month before or after the run.
the_log() {
  if [[ -n ${RUN_ARGS[1]-} && ${RUN_ARGS[1],,} != default ]]; then
    host_path "${RUN_ARGS[1]}"
    return
  fi
  local day folder
  folder=$(host_path "$PROGRAM_FOLDER")
  for day in "$DAY_BEFORE" "$DAY_AFTER"; do
    [[ -f $folder/qelRestorelog.txt$day ]] && { echo "$folder/qelRestorelog.txt$day"; return; }
  done
  echo "$folder/qelRestorelog.txt$DAY_BEFORE"
}

# with_day TEXT: TEXT with %DD% as the day of the month in the name of the case's log.
with_day() {
  local log
  log=$(the_log)
  printf '%s' "${1//%DD%/${log: -2}}"
}

# snapshot: every file and folder under C:\qel* with the checksum of each file; the lock file that
# keeps runs apart aside.
snapshot() {
  (cd "$ROOT_C" && find qel* -type d -printf '%p/\n' 2>/dev/null
    find qel* -type f ! -name qelrestore.lock -print0 2>/dev/null | xargs -0 -r md5sum) | sort
}

# check_expectations: every expectation of the case; prints the first difference and fails.
check_expectations() {
  local -a log_expected=() out_expected=() stderr_lines=()
  local stderr_given=0 expectation kind rest
  for expectation in "${C_EXPECT[@]}"; do
    kind=${expectation%% *}
    rest=''
    [[ $expectation == *' '* ]] && rest=${expectation#* }
    case $kind in
      msg | msg~ | record) log_expected+=("$expectation") ;;
      out | out~) out_expected+=("$expectation") ;;
      stderr)
        stderr_given=1
        [[ -n $rest ]] && stderr_lines+=("$(form_expected "$(with_day "$rest")")")
        ;;
    esac
  done

  local err
  err=$(tr -d '\r' <"$WORK/err")
  for expectation in "${C_EXPECT[@]}"; do
    kind=${expectation%% *}
    rest=''
    [[ $expectation == *' '* ]] && rest=${expectation#* }
    case $kind in
      status)
        [[ $STATUS == "$rest" ]] || { echo "exit status $STATUS, expected $rest"; return 1; }
        ;;
      stderr-has)
        grep -qF -- "$rest" <<<"$err" || { echo "standard error lacks [$rest]: [$err]"; return 1; }
        ;;
      gives-up)
        # The whole run, form start-up included, bounds the wait from below; from the client's
        # start (its output file written) to the log's last line bounds it from above.
        local low=${rest% *} high=${rest#* } waited
        ((ELAPSED_MS >= low)) || { echo "the run took $ELAPSED_MS ms, expected at least $low"; return 1; }
        waited=$(stat -c '%.9Y' "$(the_log)" "$(host_path "${RUN_ARGS[1]}")sql" 2>/dev/null |
          awk 'NR == 1 { end = $1 } NR == 2 { printf "%d", (end - $1) * 1000 }')
        if [[ -z $waited ]] || ((waited > high)); then
          echo "the run ended ${waited:-?} ms after the client started, expected at most $high"
          return 1
        fi
        ;;
      client-runs-on)
        form_client_running || { echo "the client did not run on"; return 1; }
        ;;
      client)
        form_check_client "$(with_day "$rest")" || return 1
        ;;
      same)
        local first second
        read -r first second <<<"$rest"
        cmp -s "$(host_path "$first")" "$(host_path "$second")" ||
          { echo "$first and $second differ"; return 1; }
        ;;
      content)
        local path=${rest%% =*}
        cmp -s <(file_content "$rest") "$(host_path "$path")" ||
          { echo "$path holds [$(tr -d '\r' <"$(host_path "$path")" 2>&1)]"; return 1; }
        ;;
      absent)
        [[ ! -e $(host_path "$rest") ]] || { echo "$rest exists"; return 1; }
        ;;
      unchanged)
        [[ $(snapshot) == "$SNAPSHOT_BEFORE" ]] ||
          { echo "files changed: $(diff <(echo "$SNAPSHOT_BEFORE") <(snapshot) | grep '^[<>]' | head -3 | tr '\n' ' ')"; return 1; }
        ;;
    esac
  done

  if ((stderr_given)); then
    local want=''
    ((${#stderr_lines[@]})) && want=$(printf '%s\n' "${stderr_lines[@]}")
    [[ $err == "${want%$'\n'}" ]] || { echo "standard error [$err], expected [${want%$'\n'}]"; return 1; }
  fi
  if ((${#log_expected[@]})); then
    check_log "$(the_log)" "${log_expected[@]}" || return 1
  fi
  if ((${#out_expected[@]})); then
    check_output "${out_expected[@]}" || return 1
  fi
  return 0
}
