#!/usr/bin/env bash
# The wine suite: runs the Windows build of qelrestore the way users start it, from a batch file
# run by cmd, so that the quoted arguments reach the program exactly as typed, and checks exit
# statuses, log lines and files. Boxes go to standard error (QELRESTORE_BOXES=console).
#
#   bash tests/wine/run_wine_tests.sh <windows-build-dir>
#
# One private wine prefix (in a temp folder) serves the whole suite and is removed at the end.
# Prints one line per case and a closing "N passed, M failed"; exits non-zero on any failure.
set -u

build=${1:?usage: run_wine_tests.sh <windows-build-dir>}
exe=$build/qelrestore.exe
standin=$build/tests/wine/standin_client.exe
if [[ ! -f $exe ]]; then
  echo "qelrestore.exe not found in $build" >&2
  exit 2
fi

WINE=${WINE64:-$(command -v wine64 || echo /usr/lib/wine/wine64)}
WINESERVER=$(command -v wineserver || echo /usr/lib/wine/wineserver)
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no .NET or browser engine: a faster prefix

scratch=$(mktemp -d /tmp/qel-wine.XXXXXX)
export WINEPREFIX=$scratch/prefix
work=$scratch/work  # the Unix-side folder the cases are started from
mkdir -p "$work"
cleanup() {
  "$WINESERVER" -k >/dev/null 2>&1
  rm -rf "$scratch"
}
trap cleanup EXIT

started_suite=$(date +%s)
if ! "$WINE" wineboot -i >"$work/wineboot.log" 2>&1; then
  echo "wineboot failed:" >&2
  cat "$work/wineboot.log" >&2
  exit 2
fi
"$WINESERVER" -p  # keep the server up between cases instead of restarting it every time

drive_c=$WINEPREFIX/drive_c
qel=$drive_c/qel  # C:\qel
mkdir -p "$qel"
cp "$exe" "$qel/"

passed=0
failed=0
pass() {
  echo "PASS $1"
  passed=$((passed + 1))
}
fail() {
  echo "FAIL $1: $2"
  failed=$((failed + 1))
  if [[ -s $work/err ]]; then sed 's/^/    stderr: /' "$work/err" | head -5; fi
}

# write_bat NAME COMMAND: C:\qel\NAME.bat runs COMMAND and hands its exit status back to cmd.
write_bat() {
  printf '%s\r\n' '@echo off' "$2" 'exit /b %ERRORLEVEL%' >"$qel/$1.bat"
}

# run_bat NAME [VAR=VALUE...]: runs C:\qel\NAME.bat through cmd; sets STATUS and ELAPSED_MS and
# leaves standard output and error in $work/out and $work/err. Files, not pipes: a client that
# runs on after the program ends must not hold the suite up.
run_bat() {
  local name=$1
  shift
  local begin
  begin=$(date +%s%N)
  (cd "$work" && env QELRESTORE_BOXES=console "$@" "$WINE" cmd /c "C:\\qel\\$name.bat" \
    >"$work/out" 2>"$work/err" </dev/null)
  STATUS=$?
  ELAPSED_MS=$((($(date +%s%N) - begin) / 1000000))
}

# True when a stand-in client of this suite's prefix is running (other prefixes are not ours).
client_running() {
  local pid
  for pid in $(pgrep -f 'Binn.OSQL\.exe'); do
    if tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX"; then
      return 0
    fi
  done
  return 1
}

# A listing of the files under a folder, to show that a run created nothing.
snapshot() { (cd "$1" && find . | sort); }

# log_messages FILE: the messages of the log's lines (the text after the first ": "), one a line.
log_messages() { tr -d '\r' <"$1" | sed -n 's/^[^:]*\(:[^ ][^:]*\)*: //p'; }

# check_log FILE EXPECTED...: every line ends in CR LF, every line is a message line, and the
# messages are exactly the ones given, in order. Prints what differs.
check_log() {
  local file=$1
  shift
  [[ -f $file ]] || { echo "no log file"; return 1; }
  local lines crlf
  lines=$(wc -l <"$file")
  crlf=$(grep -c $'\r$' "$file")
  [[ $lines == "$crlf" ]] || { echo "$((lines - crlf)) of $lines lines not ended by CR LF"; return 1; }
  local expected actual
  expected=$(printf '%s\n' "$@")
  actual=$(log_messages "$file")
  [[ $(log_messages "$file" | wc -l) == "$lines" ]] || { echo "a line without time text"; return 1; }
  [[ $actual == "$expected" ]] || { echo "log messages: [$actual]"; return 1; }
}

# default_log FOLDER: the day-of-month log in FOLDER; the day is read before and after the run,
# so a run across midnight still finds it.
default_log() {
  local f
  for day in "$day_before" "$(date +%d)"; do
    f="$1/qelRestorelog.txt$day"
    if [[ -f $f ]]; then
      echo "$f"
      return
    fi
  done
  echo "$1/qelRestorelog.txt$day_before"
}

# restore_command CLIENT SERVER DISK: the client command line a whole run logs and starts, with
# DISK the backup file's literal as it must appear in the statement, and the client's output
# beside the log C:\qel\logs\run.log.
restore_command() {
  printf '"%s" -S %s -E -Q " RESTORE DATABASE [QEL_PLUV] From DISK = %s WITH  FILE = 1,  NOUNLOAD,  REPLACE,  STATS = 10" -o "%s"' \
    "$1" "$2" "$3" 'C:\qel\logs\run.logsql'
}

# check_client_run COMMAND MESSAGES...: exit 0, the log C:\qel\logs\run.log holds exactly MESSAGES
# and the client was handed exactly COMMAND. Prints what differs.
check_client_run() {
  local command=$1
  shift
  [[ $STATUS == 0 ]] || { echo "exit status $STATUS, expected 0"; return 1; }
  check_log "$qel/logs/run.log" "$@" || return 1
  local seen
  seen=$(cat "$qel/logs/run.logsql" 2>/dev/null)
  [[ $seen == "$command" ]] || { echo "the client saw [$seen]"; return 1; }
}

# fresh_run NAME [VAR=VALUE...]: run_bat with no log or client output left from an earlier run.
fresh_run() {
  rm -f "$qel/logs/run.log" "$qel/logs/run.logsql"
  run_bat "$@"
}

# sql_path KEY VIEW: the SQLPath text of KEY in the 32- or 64-bit registry view; empty if none.
sql_path() {
  "$WINE" reg query "$1" /v SQLPath "/reg:$2" 2>/dev/null | tr -d '\r' |
    sed -n 's/^ *SQLPath  *REG_SZ  *//p'
}

mkdir -p "$qel/backup/PLUV" "$qel/backup/sub" "$qel/app/PLUV" "$qel/logs"

# --- usage: no double quotes on the command line -------------------------------------------
write_bat usage 'C:\qel\qelrestore.exe C:\qel\backup'
before=$(snapshot "$qel")
run_bat usage
if [[ $STATUS != 1 ]]; then
  fail usage "exit status $STATUS, expected 1"
elif [[ $(snapshot "$qel") != "$before" ]]; then
  fail usage "files were created"
elif ! grep -q 'qelRestore.bat backdirectory' "$work/err"; then
  fail usage "no usage text on standard error"
else
  pass "usage: exit 1, usage text, no log"
fi

# --- a missing backup folder, default log, then a second run appending to it ---------------
write_bat nobackup 'C:\qel\qelrestore.exe "C:\qel\nobackup" "default" "N"'
day_before=$(date +%d)
run_bat nobackup
log=$(default_log "$qel")
stop='C:\qel\nobackupbackup directory not found. Pls. check'
if [[ $STATUS != 2 ]]; then
  fail missing-backup "exit status $STATUS, expected 2"
elif ! why=$(check_log "$log" 'QEL start Restore' "$stop"); then
  fail missing-backup "$why"
else
  pass "missing-backup: exit 2, $(basename "$log") holds the stop message"
fi

day_before=$(date +%d)
run_bat nobackup
if [[ $STATUS != 2 ]]; then
  fail append "exit status $STATUS, expected 2"
elif ! why=$(check_log "$log" 'QEL start Restore' "$stop" 'QEL start Restore' "$stop"); then
  fail append "$why"
else
  pass "append: a second run adds its lines after the first run's"
fi

# --- the program started by a quoted name from a folder with a blank in it -----------------
mkdir -p "$drive_c/qel run"
cp "$exe" "$drive_c/qel run/"
write_bat quotedname '"C:\qel run\qelrestore.exe"   "C:\qel\no backup\"'
day_before=$(date +%d)
run_bat quotedname
log=$(default_log "$drive_c/qel run")
if [[ $STATUS != 2 ]]; then
  fail quoted-name "exit status $STATUS, expected 2"
elif ! why=$(check_log "$log" 'QEL start Restore' \
  'C:\qel\no backup\backup directory not found. Pls. check'); then
  fail quoted-name "$why"
else
  pass "quoted-name: arguments and program folder found past a quoted program name"
fi

# --- a log folder that does not exist --------------------------------------------------------
write_bat nologdir 'C:\qel\qelrestore.exe "C:\qel\backup" "C:\qel\nodir\run.log" "N"'
before=$(snapshot "$qel")
run_bat nologdir
if [[ $STATUS != 4 ]]; then
  fail missing-log-folder "exit status $STATUS, expected 4"
elif [[ $(snapshot "$qel") != "$before" ]]; then
  fail missing-log-folder "files were created"
elif ! grep -q 'Path not found' "$work/err"; then
  fail missing-log-folder "the report does not name 'Path not found'"
else
  pass "missing-log-folder: exit 4, path not found reported, nothing created"
fi

# --- whole runs: profile, path.conf, shell copy, registry, the client ------------------------
profile_windows=$("$WINE" cmd /c echo %USERPROFILE% 2>/dev/null | tr -d '\r')
profile=$drive_c/${profile_windows#C:\\}
profile=${profile//\\//}
mkdir -p "$profile/.corvilane"
printf '%s\r\n' 'finalPath=C:/qel/app/' >"$profile/.corvilane/path.conf"
printf '%s\r\n' 'DB_PROVIDER=SQLOLEDB' 'dbconn.appl.url=jdbc:sqlserver://dbhost:1433;databaseName=QEL_PLUV' \
  >"$qel/backup/PLUV/db.properties"
printf 'backup\r\n' >"$qel/backup/QEL_PLUV.bak"
printf 'nested\r\n' >"$qel/backup/sub/nested.txt"
printf '%s\r\n' 'DB_PROVIDER=none' >"$qel/app/PLUV/db.properties"

write_bat fullrun 'C:\qel\qelrestore.exe "C:\qel\backup\" "C:\qel\logs\run.log" "N"'
command=$(restore_command 'C:\qel\tools\Binn\OSQL.exe' dbhost,1433 "N'C:\\qel\\backup\\QEL_PLUV.bak'")
# shellcheck disable=SC1003  # backslashes before a closing quote are Windows paths, not escapes
copy_lines=('QEL start Restore' 'Start copying from C:\qel\backupto C:\qel\app\' 'Restore Folder completed'
  'SQL start Restore MSDE')

# No client registered yet: the command line names "\Binn\OSQL.exe", which cannot be started.
run_bat fullrun
nostart=${command/C:\\qel\\tools/}
if [[ $STATUS != 5 ]]; then
  fail client-missing "exit status $STATUS, expected 5"
elif [[ $(log_messages "$qel/logs/run.log" | head -5) != "$(printf '%s\n' "${copy_lines[@]}" "$nostart")" ]] ||
  [[ $(log_messages "$qel/logs/run.log" | tail -1) != 'SQL Restore Complete' ]]; then
  fail client-missing "log messages: [$(log_messages "$qel/logs/run.log")]"
elif ! tr -d '\r' <"$work/err" | grep -qx 'error'; then
  fail client-missing "no \"error\" box on standard error"
elif ! cmp -s "$qel/backup/sub/nested.txt" "$qel/app/sub/nested.txt" ||
  ! cmp -s "$qel/backup/PLUV/db.properties" "$qel/app/PLUV/db.properties"; then
  fail client-missing "the backup was not copied over the installation folder"
else
  pass "client-missing: folder copied, \"error\" box, exit 5"
fi
rm -f "$qel/logs/run.log"

if [[ ! -f $standin ]]; then
  fail client-runs "standin_client.exe not built"
  fail client-left-running "standin_client.exe not built"
else
  mkdir -p "$qel/tools/Binn"
  cp "$standin" "$qel/tools/Binn/OSQL.exe"
  "$WINE" reg add 'HKLM\SOFTWARE\Microsoft\Microsoft SQL Server\80\Tools\ClientSetup' \
    /v SQLPath /t REG_SZ /d 'C:\qel\tools' /f >/dev/null 2>&1

  run_bat fullrun
  if [[ $STATUS != 0 ]]; then
    fail client-runs "exit status $STATUS, expected 0"
  elif ! why=$(check_log "$qel/logs/run.log" "${copy_lines[@]}" "$command" 'SQL Restore Complete'); then
    fail client-runs "$why"
  elif [[ $(cat "$qel/logs/run.logsql" 2>/dev/null) != "$command" ]]; then
    fail client-runs "the client saw [$(cat "$qel/logs/run.logsql" 2>/dev/null)]"
  else
    pass "client-runs: the client got the logged command line exactly, exit 0"
  fi
  rm -f "$qel/logs/run.log" "$qel/logs/run.logsql"

  # A client that runs for half a minute: the run gives up after 5 to 6 seconds and leaves it.
  run_bat fullrun QEL_STANDIN_SECONDS=30
  if [[ $STATUS != 0 ]]; then
    fail client-left-running "exit status $STATUS, expected 0"
  elif ((ELAPSED_MS < 5000 || ELAPSED_MS > 9000)); then
    fail client-left-running "the run took $ELAPSED_MS ms, expected 5 to 6 s"
  elif ! client_running; then
    fail client-left-running "the client did not run on"
  elif ! why=$(check_log "$qel/logs/run.log" "${copy_lines[@]}" "$command" 'SQL Restore Complete'); then
    fail client-left-running "$why"
  else
    pass "client-left-running: gave up after $ELAPSED_MS ms, the client runs on"
  fi
fi


# --- the copy, the backup folder's name in the statement, the registry views, kept settings -----
key80='HKLM\SOFTWARE\Microsoft\Microsoft SQL Server\80\Tools\ClientSetup'
key90='HKLM\SOFTWARE\Microsoft\Microsoft SQL Server\90\Tools\ClientSetup'
if [[ ! -f $standin ]]; then
  for name in copy-replaces apostrophe registry-64-only registry-both-views keep-settings; do
    fail "$name" "standin_client.exe not built"
  done
else
  # The copy overwrites what both folders have and leaves what only the installation folder has,
  # also inside a folder both have.
  printf 'only here\r\n' >"$qel/app/extra.txt"
  printf 'only here too\r\n' >"$qel/app/sub/extra.txt"
  printf 'old nested\r\n' >"$qel/app/sub/nested.txt"
  cp "$qel/app/extra.txt" "$work/extra.txt"
  cp "$qel/app/sub/extra.txt" "$work/sub-extra.txt"
  fresh_run fullrun
  if ! why=$(check_client_run "$command" "${copy_lines[@]}" "$command" 'SQL Restore Complete'); then
    fail copy-replaces "$why"
  elif ! cmp -s "$qel/backup/sub/nested.txt" "$qel/app/sub/nested.txt"; then
    fail copy-replaces "sub\\nested.txt holds [$(cat "$qel/app/sub/nested.txt")], not the backup's"
  elif ! cmp -s "$work/extra.txt" "$qel/app/extra.txt" ||
    ! cmp -s "$work/sub-extra.txt" "$qel/app/sub/extra.txt"; then
    fail copy-replaces "a file only the installation folder had was changed or removed"
  else
    pass "copy-replaces: shared files hold the backup's content, extra files are left alone"
  fi

  # An apostrophe in the backup folder is doubled inside the statement's N'...' literal.
  obrien="$qel/O'Brien/bk"
  mkdir -p "$obrien/PLUV"
  cp "$qel/backup/PLUV/db.properties" "$obrien/PLUV/"
  cp "$qel/backup/QEL_PLUV.bak" "$obrien/"
  write_bat apostrophe 'C:\qel\qelrestore.exe "C:\qel\O'"'"'Brien\bk" "C:\qel\logs\run.log" "N"'
  expected=$(restore_command 'C:\qel\tools\Binn\OSQL.exe' dbhost,1433 "N'C:\\qel\\O''Brien\\bk\\QEL_PLUV.bak'")
  fresh_run apostrophe
  if why=$(check_client_run "$expected" 'QEL start Restore' \
    "Start copying from C:\\qel\\O'Brien\\bkto C:\\qel\\app\\" 'Restore Folder completed' \
    'SQL start Restore MSDE' "$expected" 'SQL Restore Complete'); then
    pass "apostrophe: doubled inside N'...', the client got the logged command line"
  else
    fail apostrophe "$why"
  fi

  # The 2005 family's client registered in the 64-bit view only, then in both views with
  # different folders: the 32-bit view's folder wins.
  mkdir -p "$qel/backup2005/PLUV" "$qel/tools32/Binn" "$qel/tools64/Binn"
  printf '%s\r\n' 'DB_PROVIDER=SQLNCLI.1' 'dbconn.appl.url=jdbc:sqlserver://dbhost:1433;databaseName=QEL_PLUV' \
    >"$qel/backup2005/PLUV/db.properties"
  cp "$qel/backup/QEL_PLUV.bak" "$qel/backup2005/"
  cp "$standin" "$qel/tools32/Binn/sqlcmd.exe"
  cp "$standin" "$qel/tools64/Binn/sqlcmd.exe"
  write_bat run2005 'C:\qel\qelrestore.exe "C:\qel\backup2005" "C:\qel\logs\run.log" "N"'
  # shellcheck disable=SC1003  # a Windows path's closing backslash
  lines2005=('QEL start Restore' 'Start copying from C:\qel\backup2005to C:\qel\app\'
    'Restore Folder completed' 'SQL start Restore 2005')
  disk2005="N'C:\\qel\\backup2005\\QEL_PLUV.bak'"
  "$WINE" reg add "$key90" /v SQLPath /t REG_SZ /d 'C:\qel\tools64' /f /reg:64 >/dev/null 2>&1
  expected=$(restore_command 'C:\qel\tools64\Binn\sqlcmd.exe' dbhost,1433 "$disk2005")
  fresh_run run2005
  if [[ -n $(sql_path "$key90" 32) || $(sql_path "$key90" 64) != 'C:\qel\tools64' ]]; then
    fail registry-64-only "the key is not in the 64-bit view alone: 32 [$(sql_path "$key90" 32)]"
  elif ! why=$(check_client_run "$expected" "${lines2005[@]}" "$expected" 'SQL Restore Complete'); then
    fail registry-64-only "$why"
  else
    pass "registry-64-only: the 64-bit view's folder is used when the 32-bit view has no key"
  fi

  "$WINE" reg add "$key90" /v SQLPath /t REG_SZ /d 'C:\qel\tools32' /f /reg:32 >/dev/null 2>&1
  expected=$(restore_command 'C:\qel\tools32\Binn\sqlcmd.exe' dbhost,1433 "$disk2005")
  fresh_run run2005
  if [[ $(sql_path "$key90" 32) != 'C:\qel\tools32' || $(sql_path "$key90" 64) != 'C:\qel\tools64' ]]; then
    fail registry-both-views "wine does not keep the views apart:" \
      "32 [$(sql_path "$key90" 32)], 64 [$(sql_path "$key90" 64)]"
  elif ! why=$(check_client_run "$expected" "${lines2005[@]}" "$expected" 'SQL Restore Complete'); then
    fail registry-both-views "$why"
  else
    pass "registry-both-views: the 32-bit view's folder wins over the 64-bit view's"
  fi

  # Keeping the settings: the installation's own db.properties (2005 family, another server)
  # is saved beside the program, put back over the backup's (MSDE) after the copy, and read.
  printf '%s\r\n' 'DB_PROVIDER=SQLNCLI.1' 'dbconn.appl.url=jdbc:sqlserver://kepthost:1500;databaseName=QEL_PLUV' \
    >"$qel/app/PLUV/db.properties"
  cp "$qel/app/PLUV/db.properties" "$work/kept.properties"
  rm -f "$qel/curdb.properties.bak"
  write_bat keep 'C:\qel\qelrestore.exe "C:\qel\backup\" "C:\qel\logs\run.log" "N" "Y"'
  expected=$(restore_command 'C:\qel\tools32\Binn\sqlcmd.exe' kepthost,1500 \
    "N'C:\\qel\\backup\\QEL_PLUV.bak'")
  fresh_run keep
  if ! why=$(check_client_run "$expected" "${copy_lines[@]::3}" 'SQL start Restore 2005' \
    "$expected" 'SQL Restore Complete'); then
    fail keep-settings "$why"
  elif ! cmp -s "$work/kept.properties" "$qel/curdb.properties.bak"; then
    fail keep-settings "C:\\qel\\curdb.properties.bak does not hold the installation's settings"
  elif ! cmp -s "$work/kept.properties" "$qel/app/PLUV/db.properties"; then
    fail keep-settings "the kept settings were not put back over the restored db.properties"
  else
    pass "keep-settings: saved to curdb.properties.bak, put back after the copy, and read"
  fi
fi

# --- an error trapped during the restore: the MSDE key without its SQLPath value ------------------
"$WINE" reg delete "$key80" /f >/dev/null 2>&1
"$WINE" reg add "$key80" /f >/dev/null 2>&1
fresh_run fullrun
record='Error: 1001line no: 116Desc:Unsupported value type'
last=$(tail -1 "$qel/logs/run.log" 2>/dev/null | tr -d '\r')
time_text=${last%"$record"}
first_time=$(head -1 "$qel/logs/run.log" 2>/dev/null | tr -d '\r')
first_time=${first_time%': QEL start Restore'}
if [[ $STATUS != 3 ]]; then
  fail error-report "exit status $STATUS, expected 3"
elif [[ $last != *"$record" || -z $time_text || ${time_text//[0-9]/9} != "${first_time//[0-9]/9}" ]]; then
  fail error-report "last log line [$last], expected the time text then [$record]"
elif ! why=$(head -n -1 "$qel/logs/run.log" >"$work/head.log" &&
  check_log "$work/head.log" "${copy_lines[@]}"); then
  fail error-report "$why"
elif [[ $(tr -d '\r' <"$work/err") != $'Unexpected error 1001 line no 116 in printing.\nUnsupported value type' ]]; then
  fail error-report "standard error: [$(cat "$work/err")]"
else
  pass "error-report: exit 3, the error record with checkpoint 116 logged last and boxed"
fi

echo "suite took $(($(date +%s) - started_suite)) s"
echo "$passed passed, $failed failed"
((failed == 0))
