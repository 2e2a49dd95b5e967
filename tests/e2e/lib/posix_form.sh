# shellcheck shell=bash disable=SC1003  # a backslash in single quotes is a Windows separator
# The POSIX form of the cases: a temp sandbox where C:\ is SANDBOX/c and the profile is HOME;
# the registry is a .reg file named by QELRESTORE_REGISTRY; the program is started directly with
# the words of the row's arguments, standard input from /dev/null. The stand-in client writes
# the arguments it got, one a line.

# form_start BUILD: the programs of the build and the sandbox's places.
form_start() {
  EXE=$1/qelrestore
  STANDIN=$1/tests/standin_client
  [[ -x $EXE ]] || { echo "qelrestore not found in $1" >&2; return 1; }
  [[ -x $STANDIN ]] || { echo "tests/standin_client not found in $1" >&2; return 1; }
  ROOT_C=$SCRATCH/c
  PROFILE_DIR=$SCRATCH/profile
  REGISTRY_FILE=$SCRATCH/registry.reg
}

form_finish() { form_stop_clients; }

form_reset() {
  rm -rf "$ROOT_C" "$PROFILE_DIR" "$REGISTRY_FILE"
  mkdir -p "$ROOT_C" "$PROFILE_DIR"
  : >"$REGISTRY_FILE"
}

# form_install_program FOLDER: the program in that folder of the table (its name loses ".exe").
form_install_program() {
  mkdir -p "$(host_path "$1")"
  cp "$EXE" "$(host_path "$1")/qelrestore"
}

# form_pathconf_line LINE: the line with its C: paths in the sandbox.
form_pathconf_line() {
  local line=${1//C:\\/$ROOT_C\\}
  printf '%s' "${line//C:\//$ROOT_C/}"
}

# reg_string TEXT: TEXT as a quoted string of a .reg file.
reg_string() {
  local text=${1//\\/\\\\}
  printf '"%s"' "${text//\"/\\\"}"
}

# form_set_registry ENTRY...: the registry file. As on a 64-bit machine, a key of the 32-bit view
# stands below SOFTWARE\Wow6432Node.
form_set_registry() {
  local -A body=()
  local entry view family name type data key below
  for entry in "$@"; do
    read -r view family name type data <<<"$entry"
    below=''
    [[ $view == 32 ]] && below='Wow6432Node\'
    key="HKEY_LOCAL_MACHINE\\SOFTWARE\\${below}Microsoft\\Microsoft SQL Server\\$family\\Tools\\ClientSetup"
    body[$key]+=''
    [[ -z $name ]] && continue
    case $type in
      REG_SZ) [[ $data == [Cc]:* ]] && data=$(host_path "$data")
        body[$key]+="$(reg_string "$name")=$(reg_string "$data")"$'\r\n' ;;
      REG_DWORD) body[$key]+="$(reg_string "$name")=dword:$(printf '%08x' "$data")"$'\r\n' ;;
      *) echo "table: registry type $type is not supported here" >&2; return 1 ;;
    esac
  done
  {
    printf 'Windows Registry Editor Version 5.00\r\n'
    for key in "${!body[@]}"; do printf '\r\n[%s]\r\n%s' "$key" "${body[$key]}"; done
  } >"$REGISTRY_FILE"
}

# form_run: one start of the program; sets STATUS and ELAPSED_MS, output in $WORK/out and err.
form_run() {
  local program
  program="$(host_path "$PROGRAM_FOLDER")/qelrestore"
  local -a arguments=()
  local argument
  for argument in "${RUN_ARGS[@]}"; do arguments+=("$(host_path "$argument")"); done
  local begin
  begin=$(date +%s%N)
  local from=$WORK
  [[ -n $C_CWD ]] && from=$(host_path "$C_CWD")
  (cd "$from" && env HOME="$PROFILE_DIR" QELRESTORE_REGISTRY="$REGISTRY_FILE" \
    QELRESTORE_BOXES=console "${C_ENV[@]}" "$program" "${arguments[@]}" \
    >"$WORK/out" 2>"$WORK/err" </dev/null)
  STATUS=$?
  ELAPSED_MS=$((($(date +%s%N) - begin) / 1000000))
}

# form_expected TEXT: a message of the table as the POSIX program logs it. The program logs its
# own texts: the installation folder (path.conf's value, "/" turned into "\"), the parts it
# joins on ("\QEL_PLUV.bak", "\Binn\OSQL.exe", ...) keep their backslashes; the backup folder,
# the log path, the registry's folder and the profile stay as given, a trailing "/" included
# (only a trailing "\" is cut from the backup folder). The SQL client's command line alone has
# every "\" turned into "/", as the client gets it.
form_expected() {
  local text=${1//%PROFILE%/@@profile@@}
  # "\xNN" (upper-case hex) is how a byte the log cannot hold is written, not a path separator.
  while [[ $text =~ ^(.*)\\x([0-9A-F][0-9A-F])(.*)$ ]]; do
    text=${BASH_REMATCH[1]}@@x${BASH_REMATCH[2]}@@${BASH_REMATCH[3]}
  done
  text=${text//%REGISTRY%/the registry file $REGISTRY_FILE}
  local -a kept=()
  local line value windows n
  for line in "${C_PATHCONF[@]}"; do
    value=${line#*=}
    [[ $value == [Cc]:* ]] || continue
    windows=${value//\//\\}
    while [[ $windows == *'\' ]]; do windows=${windows%\\}; done
    n=${#kept[@]}
    value=$(host_path "$value")
    while [[ $value == */ ]]; do value=${value%/}; done
    kept+=("${value//\//\\}\\")
    text=${text//"$windows\\"/@@$n@@}
  done
  local joined
  for joined in '\QEL_PLUV.bak' '\Binn\OSQL.exe' '\Binn\sqlcmd.exe' '\.corvilane\path.conf' \
    'PLUV\db.properties' '\curdb.properties.bak' '\qelRestorelog.txt' \
    'HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Microsoft SQL Server\80\Tools\ClientSetup'; do
    n=${#kept[@]}
    kept+=("$joined")
    text=${text//"$joined"/@@$n@@}
  done
  local backup=${RUN_ARGS[0]-}
  if [[ $backup == *'\' ]]; then
    n=${#kept[@]}
    kept+=("$(host_path "$backup")")
    text=${text//"$backup"/@@$n@@}
    text=${text//"${backup%\\}"/@@$n@@}
  fi
  text=${text//C:\\/$ROOT_C\\}
  text=${text//C:\//$ROOT_C/}
  text=${text//\\//}
  text=${text//@@profile@@/$PROFILE_DIR}
  for ((n = 0; n < ${#kept[@]}; n++)); do text=${text//@@$n@@/${kept[n]}}; done
  # The SQL client takes its arguments literally: its command line holds the paths as opened.
  [[ $text == '"'*' -E -Q'* || $text == '"'*' -E -b -Q'* ]] && text=${text//\\//}
  while [[ $text =~ ^(.*)@@x([0-9A-F][0-9A-F])@@(.*)$ ]]; do
    text=${BASH_REMATCH[1]}\\x${BASH_REMATCH[2]}${BASH_REMATCH[3]}
  done
  printf '%s' "$text"
}

# form_check_client COMMAND: the stand-in got COMMAND's arguments split by the Windows rules.
form_check_client() {
  split_windows_rules "$(form_expected "$1")"
  local want got
  want=$(printf '%s\n' "${WINDOWS_ARGS[@]:1}")
  # The stand-in writes its arguments first, then what a client prints.
  got=$(head -n "$((${#WINDOWS_ARGS[@]} - 1))" "$(the_log)sql" 2>/dev/null)
  [[ $got == "$want" ]] || { echo "the client got [$got], expected [$want]"; return 1; }
}

# The process ids of programs of this sandbox still running (the stand-in clients).
client_pids() {
  find /proc -mindepth 2 -maxdepth 2 -name exe -lname "$ROOT_C/*" 2>/dev/null | cut -d/ -f3
}

form_client_running() { [[ -n $(client_pids) ]]; }

form_stop_clients() {
  local pid
  for pid in $(client_pids); do kill "$pid" 2>/dev/null; done
  return 0
}
