# shellcheck shell=bash
# The Windows form of the cases, under wine64 in one private prefix for the whole run: C:\ is
# the prefix's drive_c, the profile its user folder; the registry is set with reg add in the
# 32- and 64-bit views; the program is started the way its users start it, from a batch file
# run by cmd, so that the quoted arguments arrive exactly as typed; boxes go to standard error
# (QELRESTORE_BOXES=console). The stand-in client writes its whole command line on the first line
# of its output file, the client's output after it.

# form_start BUILD: the prefix, made once, and the programs of the build.
form_start() {
  EXE=$1/qelrestore.exe
  STANDIN=$1/tests/wine/standin_client.exe
  BAT=$SOURCE_ROOT/qelRestore.bat  # the batch file shipped beside qelrestore.exe
  [[ -f $EXE ]] || { echo "qelrestore.exe not found in $1" >&2; return 1; }
  [[ -f $STANDIN ]] || { echo "tests/wine/standin_client.exe not found in $1" >&2; return 1; }
  [[ -f $BAT ]] || { echo "qelRestore.bat not found beside the sources" >&2; return 1; }
  WINE=${WINE64:-$(command -v wine64 || echo /usr/lib/wine/wine64)}
  WINESERVER=$(command -v wineserver || echo /usr/lib/wine/wineserver)
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="  # no .NET or browser engine: a faster prefix
  export WINEPREFIX=$SCRATCH/prefix
  if ! "$WINE" wineboot -i >"$WORK/wineboot.log" 2>&1; then
    echo "wineboot failed:" >&2
    cat "$WORK/wineboot.log" >&2
    return 1
  fi
  "$WINESERVER" -p  # keep the server up between cases instead of starting it every time
  ROOT_C=$WINEPREFIX/drive_c
  PROFILE_TEXT=$("$WINE" cmd /c echo %USERPROFILE% 2>/dev/null | tr -d '\r')
  [[ $PROFILE_TEXT == [Cc]:\\* ]] || { echo "no profile folder: [$PROFILE_TEXT]" >&2; return 1; }
  PROFILE_DIR=$ROOT_C/${PROFILE_TEXT:3}
  PROFILE_DIR=${PROFILE_DIR//\\//}
  REGISTRY_STATE=''  # the registry entries set now; a fresh prefix has none
}

form_finish() {
  [[ -n ${WINESERVER-} && -n ${WINEPREFIX-} ]] && "$WINESERVER" -k >/dev/null 2>&1
  return 0
}

form_reset() {
  rm -rf "$ROOT_C"/qel* "$PROFILE_DIR/.corvilane"
}

# form_install_program FOLDER: qelrestore.exe and the batch file that starts it, in FOLDER.
form_install_program() {
  mkdir -p "$(host_path "$1")"
  cp "$EXE" "$BAT" "$(host_path "$1")/"
}

form_pathconf_line() { printf '%s' "$1"; }

client_setup_key() {
  printf 'HKLM\\SOFTWARE\\Microsoft\\Microsoft SQL Server\\%s\\Tools\\ClientSetup' "$1"
}

# form_set_registry ENTRY...: both client setup keys removed from both views, the row's entries
# added; then each view is read back, so that a prefix that mixes the views up is seen as such.
form_set_registry() {
  local state
  state=$(printf '%s\n' "$@" | sort)
  [[ $state == "$REGISTRY_STATE" ]] && return 0
  local entry view family name type data
  local -A expected=([32]='' [64]='')
  {
    printf '@echo off\r\n'
    for family in 80 90; do
      for view in 32 64; do
        printf 'reg delete "%s" /f /reg:%s >nul 2>&1\r\n' "$(client_setup_key "$family")" "$view"
      done
    done
    for entry in "$@"; do
      read -r view family name type data <<<"$entry"
      if [[ -z $name ]]; then
        printf 'reg add "%s" /f /reg:%s >nul\r\n' "$(client_setup_key "$family")" "$view"
      else
        printf 'reg add "%s" /v %s /t %s /d "%s" /f /reg:%s >nul\r\n' \
          "$(client_setup_key "$family")" "$name" "$type" "$data" "$view"
      fi
    done
    for view in 32 64; do
      printf 'echo ==%s\r\n' "$view"
      printf 'reg query "HKLM\\SOFTWARE\\Microsoft\\Microsoft SQL Server" /s /reg:%s 2>nul\r\n' "$view"
    done
  } >"$ROOT_C/e2e-registry.bat"
  "$WINE" cmd /c 'C:\e2e-registry.bat' 2>/dev/null | tr -d '\r' >"$WORK/registry.txt"
  REGISTRY_STATE=$state
  # What each view holds: "FAMILY NAME DATA" per value, read back against what the row set.
  for entry in "$@"; do
    read -r view family name type data <<<"$entry"
    [[ -n $name ]] || continue
    expected[$view]+="$family $name $data"$'\n'
  done
  for view in 32 64; do
    local seen want
    seen=$(awk -v view="==$view" '
      /^==/ { inside = ($0 == view); next }
      inside && /ClientSetup$/ { n = split($0, parts, "\\"); family = parts[n - 2] }
      inside && /REG_/ && !/^ *\(Default\)/ { sub(/^ +/, ""); split($0, f, /  +/); print family, f[1], f[3] }' \
      "$WORK/registry.txt" | sort)
    want=$(printf '%s' "${expected[$view]}" | sort)
    [[ $seen == "$want" ]] ||
      { echo "the $view-bit view holds [$seen], expected [$want]" >&2; REGISTRY_STATE=''; return 1; }
  done
}

# form_run: one start from a batch file; sets STATUS and ELAPSED_MS, output in $WORK/out and err.
# Files, not pipes: a client that runs on after the program ends must not hold the run up.
form_run() {
  # qelRestore.bat is started without "call", as at a prompt: its "exit /b" ends cmd with the
  # program's status (wine's cmd answers 1 for a called batch file's "exit /b N").
  local line=$C_RUN_TEXT
  [[ $C_RUN_MODE == bat ]] && line="\"$PROGRAM_FOLDER\\qelRestore.bat\"${C_RUN_TEXT:+ $C_RUN_TEXT}"
  local -a lines=('@echo off')
  [[ -n $C_CWD ]] && lines+=("cd /d \"$C_CWD\"")
  printf '%s\r\n' "${lines[@]}" "$line" 'exit /b %ERRORLEVEL%' >"$ROOT_C/e2e-case.bat"
  local begin
  begin=$(date +%s%N)
  (cd "$WORK" && env QELRESTORE_BOXES=console "${C_ENV[@]}" "$WINE" cmd /c 'C:\e2e-case.bat' \
    >"$WORK/out" 2>"$WORK/err" </dev/null)
  STATUS=$?
  ELAPSED_MS=$((($(date +%s%N) - begin) / 1000000))
}

# form_expected TEXT: the table's text as the Windows program writes it.
form_expected() {
  local text=${1//%PROFILE%/$PROFILE_TEXT}
  printf '%s' "${text//%REGISTRY%/the registry}"
}

# form_check_client COMMAND: the stand-in saw exactly COMMAND as its command line.
form_check_client() {
  local got
  got=$(head -n 1 "$(the_log)sql" 2>/dev/null | tr -d '\r')
  [[ $got == "$1" ]] || { echo "the client saw [$got]"; return 1; }
}

# The process ids of stand-in clients of this prefix still running (other prefixes are not ours).
client_pids() {
  local pid
  for pid in $(pgrep -f 'Binn.(OSQL|sqlcmd)\.exe'); do
    tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ" | grep -qx "WINEPREFIX=$WINEPREFIX" && echo "$pid"
  done
  return 0
}

form_client_running() { [[ -n $(client_pids) ]]; }

form_stop_clients() {
  local pid
  for pid in $(client_pids); do kill "$pid" 2>/dev/null; done
  return 0
}
