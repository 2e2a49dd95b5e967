# shellcheck shell=bash disable=SC1003  # a backslash in single quotes is a Windows separator
# Reading the table of cases (scenarios.table): setup blocks, cases with their setups expanded,
# and the pieces of one case as the runner needs them. Also the two ways of splitting a command
# line that the cases rely on.

declare -a CASE_NAMES=()
declare -A CASE_LINES=()   # case name -> its directive lines, setups expanded, one a line
declare -A SETUP_LINES=()  # setup name -> its directive lines

# expand_lines LINES: the lines with every "use SETUP" replaced by the setup's own lines.
expand_lines() {
  local line
  while IFS= read -r line; do
    if [[ $line == "use "* ]]; then
      local setup=${line#use }
      if [[ -z ${SETUP_LINES[$setup]+set} ]]; then
        echo "table: unknown setup '$setup'" >&2
        return 1
      fi
      expand_lines "${SETUP_LINES[$setup]}" || return 1
    elif [[ -n $line ]]; then
      printf '%s\n' "$line"
    fi
  done <<<"$1"
}

# read_table FILE: fills CASE_NAMES and CASE_LINES. Fails on a malformed table.
read_table() {
  local kind='' name='' body='' raw line
  while IFS= read -r raw || [[ -n $raw ]]; do
    raw=${raw%$'\r'}
    line=${raw#"${raw%%[![:space:]]*}"}  # the line without its indentation and trailing blanks
    line=${line%"${line##*[![:space:]]}"}
    [[ -z $line || $line == '#'* ]] && continue
    if [[ -z $kind ]]; then
      case $line in
        'case '* | 'setup '*)
          kind=${line%% *}
          name=${line#* }
          body=''
          ;;
        *)
          echo "table: '$line' outside a case or setup" >&2
          return 1
          ;;
      esac
    elif [[ $line == end ]]; then
      if [[ $kind == setup ]]; then
        SETUP_LINES[$name]=$body
      else
        [[ -z ${CASE_LINES[$name]+set} ]] || { echo "table: case '$name' twice" >&2; return 1; }
        CASE_NAMES+=("$name")
        CASE_LINES[$name]=$(expand_lines "$body") || return 1
      fi
      kind=''
    else
      # Trailing blanks matter in a few expected texts ("msg~ ... started: "): keep the raw
      # line's tail, only its indentation goes.
      body+=${raw#"${raw%%[![:space:]]*}"}$'\n'
    fi
  done <"$1"
  [[ -z $kind ]] || { echo "table: '$name' has no end" >&2; return 1; }
}

# load_case NAME: the case's pieces in globals. Setting up: C_FILES (PATH = LINES), C_DIRS,
# C_PATHCONF, C_REGS (VIEW FAMILY [NAME TYPE DATA]), C_CLIENTS, C_ENV, C_FORMS, C_WHY, C_ABOUT,
# C_RUN_MODE (bat|exe), C_RUN_TEXT, C_RUNS, C_CWD, C_LATER (the "then" and "between" lines, in
# order). Expecting: C_EXPECT, the expectation lines in order.
load_case() {
  C_FILES=() C_DIRS=() C_PATHCONF=() C_REGS=() C_CLIENTS=() C_ENV=() C_EXPECT=() C_LATER=()
  C_FORMS='windows posix' C_WHY='' C_ABOUT=$1 C_RUN_MODE='' C_RUN_TEXT='' C_RUNS=1 C_CWD=''
  local line word rest
  while IFS= read -r line; do
    word=${line%% *}
    rest=''
    [[ $line == *' '* ]] && rest=${line#* }
    case $word in
      file) C_FILES+=("$rest") ;;
      dir) C_DIRS+=("$rest") ;;
      pathconf) C_PATHCONF+=("$rest") ;;
      reg) C_REGS+=("$rest") ;;
      standin) C_CLIENTS+=("$rest") ;;
      env) C_ENV+=("$rest") ;;
      forms) C_FORMS=$rest ;;
      why) C_WHY=$rest ;;
      about) C_ABOUT=$rest ;;
      runs) C_RUNS=$rest ;;
      cwd) C_CWD=$rest ;;
      then | between) C_LATER+=("$line") ;;
      run)
        C_RUN_MODE=${rest%% *}
        C_RUN_TEXT=''
        [[ $rest == *' '* ]] && C_RUN_TEXT=${rest#* }
        ;;
      status | msg | msg~ | record | stderr | stderr-has | client | same | content | absent | \
        unchanged | gives-up | client-runs-on | out | out~)
        C_EXPECT+=("$line")
        ;;
      *)
        echo "table: unknown directive '$word' in case $1" >&2
        return 1
        ;;
    esac
  done <<<"${CASE_LINES[$1]}"
  [[ $C_RUN_MODE == bat || $C_RUN_MODE == exe ]] || { echo "table: $1 has no run line" >&2; return 1; }
}

# file_content "PATH = LINE | LINE": the lines, each ended by CR LF ("" for "PATH =").
file_content() {
  local lines=${1#* =}
  lines=${lines# }
  [[ -z $lines ]] && return
  local piece
  while [[ -n $lines ]]; do
    piece=${lines%% | *}
    printf '%s\r\n' "$piece"
    [[ $lines == *' | '* ]] && lines=${lines#* | } || lines=''
  done
}

# split_typed TEXT: the words of TEXT as a prompt hands them to a batch file: blanks separate
# words, double quotes group and are removed. Result in TYPED_WORDS.
split_typed() {
  TYPED_WORDS=()
  local text=$1 word='' quoted=0 in_word=0 ch i
  for ((i = 0; i < ${#text}; i++)); do
    ch=${text:i:1}
    if [[ $ch == '"' ]]; then
      quoted=$((1 - quoted))
      in_word=1
    elif [[ $quoted == 0 && ($ch == ' ' || $ch == $'\t') ]]; then
      ((in_word)) && TYPED_WORDS+=("$word")
      word='' in_word=0
    else
      word+=$ch
      in_word=1
    fi
  done
  ((in_word)) && TYPED_WORDS+=("$word")
  return 0
}

# split_windows_rules TEXT: the arguments a Windows program gets from the command line TEXT
# (2n backslashes before a quote give n and the quote groups, 2n+1 give n and a literal quote;
# other backslashes are literal). The program's own name is the first. Result in WINDOWS_ARGS.
split_windows_rules() {
  WINDOWS_ARGS=()
  local text=$1 word='' quoted=0 in_word=0 ch i slashes
  for ((i = 0; i < ${#text}; i++)); do
    ch=${text:i:1}
    if [[ $ch == '\' ]]; then
      slashes=0
      while [[ ${text:i:1} == '\' ]]; do
        slashes=$((slashes + 1))
        i=$((i + 1))
      done
      if [[ ${text:i:1} == '"' ]]; then
        word+=$(printf '%*s' $((slashes / 2)) '' | tr ' ' '\\')
        if ((slashes % 2)); then word+='"'; else i=$((i - 1)); fi
      else
        word+=$(printf '%*s' "$slashes" '' | tr ' ' '\\')
        i=$((i - 1))
      fi
      in_word=1
    elif [[ $ch == '"' ]]; then
      quoted=$((1 - quoted))
      in_word=1
    elif [[ $quoted == 0 && ($ch == ' ' || $ch == $'\t') ]]; then
      ((in_word)) && WINDOWS_ARGS+=("$word")
      word='' in_word=0
    else
      word+=$ch
      in_word=1
    fi
  done
  ((in_word)) && WINDOWS_ARGS+=("$word")
  return 0
}
