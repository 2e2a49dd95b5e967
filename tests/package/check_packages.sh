#!/usr/bin/env bash
# Makes the packages a user installs and checks them as that user meets them: the Windows .zip
# holds the program, its batch file, the README and the samples (and, where wine64 is there, the
# batch file from the .zip starts the program as it should); the .deb passes lintian without an
# error or a warning, installs /usr/bin/qelrestore and its manual page, answers --help and
# --version, restores a folder in a sandbox, writes its default log under /var/log/qelrestore and
# nothing under /usr. The package is purged again at the end, so the machine is left as it was
# found.
#
#   bash tests/package/check_packages.sh <posix-build-dir> <windows-build-dir>
#
# Both build folders must be configured; an empty <windows-build-dir> ("") skips the .zip.
# Installing needs root (sudo is used otherwise).
# Prints one line per check and a closing "N passed, M failed"; exits non-zero on any failure.
set -u

posix=$(realpath "${1:?usage: check_packages.sh <posix-build-dir> <windows-build-dir>}")
windows=${2?usage: check_packages.sh <posix-build-dir> <windows-build-dir>}
[[ -n $windows ]] && windows=$(realpath "$windows")

sudo=()
[[ $(id -u) -ne 0 ]] && sudo=(sudo)
needed=()
for tool in unzip lintian; do command -v "$tool" >/dev/null || needed+=("$tool"); done
if ((${#needed[@]})); then
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${needed[@]}" >/dev/null
fi

scratch=$(mktemp -d /tmp/qel-package.XXXXXX)
installed_here=0
wine_prefix=
cleanup() {
  if ((installed_here)); then "${sudo[@]}" dpkg -P qelrestore >/dev/null 2>&1; fi
  if [[ -n $wine_prefix ]]; then
    WINEPREFIX=$wine_prefix "$(command -v wineserver || echo /usr/lib/wine/wineserver)" -k \
      >/dev/null 2>&1
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT

passed=0
failed=0
pass() {
  echo "PASS $1"
  passed=$((passed + 1))
}
fail() {
  echo "FAIL $1: $2"
  failed=$((failed + 1))
}

# make_package DIR PATTERN: builds the program in DIR and runs cpack there; prints the one
# package matching PATTERN that it made, or why there is none.
make_package() {
  local dir=$1 pattern=$2
  local old
  while read -r old; do rm -f "$old"; done < <(compgen -G "$dir/$pattern")
  cmake --build "$dir" --target qelrestore >"$scratch/build.log" 2>&1 ||
    { echo "build failed: $(tail -3 "$scratch/build.log")"; return 1; }
  (cd "$dir" && cpack) >"$scratch/cpack.log" 2>&1 ||
    { echo "cpack failed: $(tail -3 "$scratch/cpack.log")"; return 1; }
  local made=()
  mapfile -t made < <(compgen -G "$dir/$pattern")
  [[ ${#made[@]} == 1 ]] || { echo "not one $pattern in $dir: ${made[*]}"; return 1; }
  echo "${made[0]}"
}

# --- the Windows .zip --------------------------------------------------------------------------
zip_files=(qelrestore.exe qelRestore.bat README.md examples/registry.reg examples/path.conf
  examples/PLUV/db.properties)
if [[ -z $windows ]]; then
  echo "SKIP zip: no Windows build folder"
  zip=
elif ! zip=$(make_package "$windows" 'qelrestore-*.zip'); then
  fail zip "$zip"
  zip=
else
  listing=$(unzip -Z1 "$zip")
  missing=()
  for f in "${zip_files[@]}"; do grep -qx "[^/]*/$f" <<<"$listing" || missing+=("$f"); done
  if ((${#missing[@]})); then
    fail zip-contents "missing: ${missing[*]} (holds: $(tr '\n' ' ' <<<"$listing"))"
  else
    pass "zip-contents: $(basename "$zip") holds ${zip_files[*]}"
  fi
  # cmd reads a batch file by lines ended in CR LF; a checkout that turned them into LF breaks it.
  unzip -p "$zip" '*/qelRestore.bat' >"$scratch/qelRestore.bat"
  lines=$(wc -l <"$scratch/qelRestore.bat")
  crlf=$(grep -c $'\r$' "$scratch/qelRestore.bat")
  if [[ $lines -gt 0 && $lines == "$crlf" ]]; then
    pass "zip-batch: qelRestore.bat ends all $lines lines in CR LF"
  else
    fail zip-batch "$((lines - crlf)) of $lines lines not ended by CR LF"
  fi
fi

# The batch file from the .zip, run by cmd under wine: its arguments reach the program as typed,
# from a folder whose name has blanks, parentheses and an ampersand, and the program's exit
# status comes back through it.
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
if [[ -z $zip || ! -x $wine ]]; then
  echo "SKIP zip-batch-runs: no .zip or no wine64"
else
  wine_prefix=$scratch/wine
  export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" QELRESTORE_BOXES=console
  program_dir="$wine_prefix/drive_c/qel (x86) & co"
  if ! WINEPREFIX=$wine_prefix "$wine" wineboot -i >"$scratch/wineboot.log" 2>&1; then
    fail zip-batch-runs "wineboot failed"
  else
    mkdir -p "$program_dir" "$wine_prefix/drive_c/logs"
    unzip -q -j "$zip" '*/qelrestore.exe' '*/qelRestore.bat' -d "$program_dir"
    # A batch file started from another one without "call" hands its exit status to cmd.
    printf '%s\r\n' '@echo off' \
      '"C:\qel (x86) & co\qelRestore.bat" "C:\no backup (1) & 2" "C:\logs\run.log" "N"' \
      >"$wine_prefix/drive_c/missing.bat"
    WINEPREFIX=$wine_prefix "$wine" cmd /c 'C:\missing.bat' >"$scratch/out" 2>"$scratch/err" \
      </dev/null
    status=$?
    last=$(tail -1 "$wine_prefix/drive_c/logs/run.log" 2>/dev/null | tr -d '\r')
    if [[ $status != 2 || $last != *': C:\no backup (1) & 2backup directory not found. Pls. check' ]]; then
      fail zip-batch-runs "exit status $status (expected 2), last log line [$last]"
    else
      pass "zip-batch-runs: the quoted arguments arrive as typed, exit status 2 comes back"
    fi
    printf '%s\r\n' '@echo off' '"C:\qel (x86) & co\qelRestore.bat"' >"$wine_prefix/drive_c/bare.bat"
    WINEPREFIX=$wine_prefix "$wine" cmd /c 'C:\bare.bat' >"$scratch/out" 2>"$scratch/err" </dev/null
    status=$?
    if [[ $status != 1 ]] || ! grep -q '^qelRestore.bat backdirectory' "$scratch/err"; then
      fail zip-batch-usage "exit status $status (expected 1), stderr [$(head -2 "$scratch/err")]"
    else
      pass "zip-batch-usage: without arguments the usage message, exit status 1"
    fi
  fi
fi

# The default logs beside the installed program: a run there must never leave one.
default_logs() { compgen -G '/usr/bin/qelRestorelog*' | wc -l; }

# --- the Linux .deb ----------------------------------------------------------------------------
if ! deb=$(make_package "$posix" 'qelrestore_*.deb'); then
  fail deb "$deb"
  echo "$passed passed, $failed failed"
  exit 1
fi
version=$(dpkg-deb -f "$deb" Version)
listing=$(dpkg-deb -c "$deb" | awk '{print $NF}')
missing=()
for f in ./usr/bin/qelrestore ./usr/share/man/man1/qelrestore.1.gz \
  ./usr/share/doc/qelrestore/README.md ./usr/share/doc/qelrestore/examples/registry.reg \
  ./usr/share/doc/qelrestore/copyright ./usr/share/doc/qelrestore/changelog.gz \
  ./etc/qelrestore/registry.reg ./etc/logrotate.d/qelrestore \
  ./var/log/qelrestore/ ./var/lib/qelrestore/; do
  grep -qx -- "$f" <<<"$listing" || missing+=("$f")
done
if ((${#missing[@]})); then
  fail deb-contents "missing: ${missing[*]}"
else
  pass "deb-contents: $(basename "$deb") holds the program, man page, samples, registry file, log rotation, log and state folders"
fi
# What an administrator edits in /etc survives an upgrade: both files are conffiles.
conffiles=$(dpkg-deb -I "$deb" conffiles 2>/dev/null)
if [[ $conffiles != $'/etc/qelrestore/registry.reg\n/etc/logrotate.d/qelrestore' ]]; then
  fail deb-conffiles "conffiles: [$conffiles]"
else
  pass "deb-conffiles: the registry file and the log rotation are conffiles"
fi

# lintian: no error and no warning (its informational notes are not counted). The changelog's
# newest entry is the package's version: a version raised without an entry fails here.
if ! command -v lintian >/dev/null; then
  fail deb-lintian "lintian is not installed"
else
  lintian --fail-on error,warning --tag-display-limit 0 "$deb" >"$scratch/lintian" \
    2>"$scratch/lintian.err"
  status=$?
  entry=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/doc/qelrestore/changelog.gz |
    gunzip 2>/dev/null | head -1)
  if [[ $status != 0 ]]; then
    fail deb-lintian "status $status: $(grep -E '^[EW]: ' "$scratch/lintian" | head -5 |
      tr '\n' ' ')$(grep -v '^running with root' "$scratch/lintian.err" | head -3)"
  elif [[ $entry != "qelrestore ($version) "* ]]; then
    fail deb-lintian "the changelog's newest entry is [$entry], not version $version"
  else
    pass "deb-lintian: no error or warning; the changelog's newest entry is $version"
  fi
fi

# The page as man shows it: its version filled in, and no complaint from the formatter.
dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/man/man1/qelrestore.1.gz 2>/dev/null |
  gunzip >"$scratch/qelrestore.1" 2>/dev/null
if ! grep -q "^\.TH QELRESTORE 1 .*\"qelrestore $version\"" "$scratch/qelrestore.1"; then
  fail deb-man-page "no title line naming qelrestore $version"
elif command -v groff >/dev/null &&
  [[ -n $(groff -man -Tutf8 -ww -z "$scratch/qelrestore.1" 2>&1) ]]; then
  fail deb-man-page "$(groff -man -Tutf8 -ww -z "$scratch/qelrestore.1" 2>&1 | head -3)"
else
  pass "deb-man-page: qelrestore(1) of version $version formats cleanly"
fi

# dpkg ARGUMENTS..., its output in $scratch/dpkg.log. On a busy machine another installer may
# hold dpkg's lock for a while: that is waited out (ten minutes at most), not taken as a failure.
run_dpkg() {
  local try status
  for ((try = 0; try < 600; try++)); do
    "${sudo[@]}" dpkg "$@" >"$scratch/dpkg.log" 2>&1
    status=$?
    ((status != 0)) && grep -q 'locked by another process' "$scratch/dpkg.log" || return "$status"
    sleep 1
  done
  return "$status"
}

# The package is installed machine-wide: a second check on the same machine (another checkout's)
# waits here until the first has purged it again.
# Read-only, so that a check run by another account than the one that made the lock file waits too.
lock=/tmp/qelrestore-package-check.lock
[[ -e $lock ]] || (umask 022 && : >>"$lock")
if exec 9<"$lock" && ! flock -n 9; then
  echo "waiting for another package check on this machine to end"
  flock -w 1800 9 || echo "still running after 30 minutes; going on"
fi
if dpkg-query -W -f='${Status}' qelrestore 2>/dev/null | grep -q 'ok installed'; then
  fail deb-install "qelrestore is installed already; it is left as it is and not checked"
  echo "$passed passed, $failed failed"
  exit 1
fi
if ! run_dpkg -i "$deb"; then
  installed_here=1  # a half-done install is undone too
  fail deb-install "$(tail -3 "$scratch/dpkg.log")"
  echo "$passed passed, $failed failed"
  exit 1
fi
installed_here=1
pass "deb-install: dpkg -i $(basename "$deb")"
# Everything the installed program writes goes outside /usr: what is newer than this under /usr
# after its runs, it wrote.
touch "$scratch/installed"

# --help and --version from PATH: standard output, exit 0, and no log beside the program.
logs_before=$(default_logs)
(cd "$scratch" && qelrestore --version >"$scratch/out" 2>"$scratch/err")
status=$?
if [[ $(command -v qelrestore) != /usr/bin/qelrestore ]]; then
  fail path "qelrestore on PATH is [$(command -v qelrestore)]"
elif [[ $status != 0 || $(cat "$scratch/out") != "qelrestore $version" || -s $scratch/err ]]; then
  fail version "exit status $status, output [$(cat "$scratch/out")], stderr [$(cat "$scratch/err")]"
else
  pass "version: qelrestore --version prints qelrestore $version"
fi
(cd "$scratch" && qelrestore --help >"$scratch/out" 2>"$scratch/err")
status=$?
if [[ $status != 0 || -s $scratch/err ]] || ! head -1 "$scratch/out" | grep -q '^qelRestore.bat backdirectory' ||
  ! grep -q '^Exit status:' "$scratch/out"; then
  fail help "exit status $status, output [$(head -3 "$scratch/out")], stderr [$(cat "$scratch/err")]"
else
  pass "help: qelrestore --help prints the usage message, arguments and exit statuses"
fi
if [[ $(default_logs) != "$logs_before" ]]; then
  fail no-log "--help or --version left a log in /usr/bin"
else
  pass "no-log: --help and --version leave no log in /usr/bin"
fi

# A sandbox restore with the installed program: a home with path.conf, a backup and an
# installation folder; no db.properties in the backup, so the run ends without the database.
sandbox=$scratch/sandbox
mkdir -p "$sandbox/home/.corvilane" "$sandbox/backup/lib" "$sandbox/install"
echo "restored program" >"$sandbox/backup/app.jar"
echo "restored library" >"$sandbox/backup/lib/core.jar"
echo "hidden settings" >"$sandbox/backup/.app.rc"
echo "old program" >"$sandbox/install/app.jar"
echo "local file" >"$sandbox/install/local.txt"
printf 'finalPath=%s/\r\n' "$sandbox/install" >"$sandbox/home/.corvilane/path.conf"
log=$sandbox/run.log
# The installed program is the administrator's: its run lock is in the state folder root owns,
# and a run that cannot take it refuses to go on. These runs are made as root, through sudo when
# the check is not run as root.

"${sudo[@]}" env HOME="$sandbox/home" /usr/bin/qelrestore "$sandbox/nobackup" "$log" N </dev/null \
  >"$scratch/out" 2>"$scratch/err"
status=$?
last=$("${sudo[@]}" tail -1 "$log" 2>/dev/null)
if [[ $status != 2 || $last != *": $sandbox/nobackupbackup directory not found. Pls. check"$'\r' ]]; then
  fail stop "exit status $status (expected 2), last log line [$last]"
else
  pass "stop: a missing backup folder is logged and stops the run with exit status 2"
fi

"${sudo[@]}" rm -f "$log"
"${sudo[@]}" env HOME="$sandbox/home" /usr/bin/qelrestore "$sandbox/backup" "$log" N </dev/null \
  >"$scratch/out" 2>"$scratch/err"
status=$?
last=$("${sudo[@]}" tail -1 "$log" 2>/dev/null)
if [[ $status != 0 || $last != *': QEL Restore completed without SQLServer version'$'\r' ]]; then
  fail restore "exit status $status (expected 0), last log line [$last], stderr [$(cat "$scratch/err")]"
elif [[ $(cat "$sandbox/install/app.jar") != "restored program" ||
  ! -f $sandbox/install/lib/core.jar || ! -f $sandbox/install/.app.rc ||
  ! -f $sandbox/install/local.txt ]]; then
  fail restore "the installation folder holds: $(cd "$sandbox/install" && find . -type f | sort | tr '\n' ' ')"
else
  pass "restore: the folder is copied over the installation, exit status 0"
fi
# Without a log path of its own, the installed program logs under /var/log/qelrestore, in the
# file of the day of the month. Those folders are the administrator's, who runs the installed
# program as root: so do these runs, through sudo when the check is not run as root.
default_log=/var/log/qelrestore/qelRestorelog.txt$(date +%d)
usr_log=/usr/bin/${default_log##*/}
[[ -e $usr_log ]] && usr_log=  # not this run's, so not this check's to remove
as_admin() { "${sudo[@]}" env "$@"; }
default_log_text() { "${sudo[@]}" cat "$default_log" 2>/dev/null; }
lines_before=$(default_log_text | wc -l)
as_admin HOME="$sandbox/home" /usr/bin/qelrestore "$sandbox/backup" </dev/null >"$scratch/out" \
  2>"$scratch/err"
status=$?
last=$(default_log_text | tail -1)
if [[ $status != 0 || $(default_log_text | wc -l) -le $lines_before ||
  $last != *': QEL Restore completed without SQLServer version'$'\r' ]]; then
  fail default-log "exit status $status (expected 0), last line of $default_log [$last], stderr [$(cat "$scratch/err")]"
else
  pass "default-log: a run without a log path logs in $default_log"
fi
# The demo's restore with the installed program and no log argument: the SQL client writes its
# output where the run reads it, so the restore is verified.
cmake --build "$posix" --target standin_client >"$scratch/build.log" 2>&1
mkdir -p "$sandbox/backup/PLUV" "$sandbox/install/PLUV" "$sandbox/tools/Binn"
cp "$posix/tests/standin_client" "$sandbox/tools/Binn/OSQL.exe"
printf 'DB_PROVIDER=SQLOLEDB\r\ndbconn.appl.url=jdbc:x://dbhost:1433;databaseName=QEL_PLUV\r\n' \
  >"$sandbox/backup/PLUV/db.properties"
printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Microsoft SQL Server\\80\\Tools\\ClientSetup]\r\n"SQLPath"="%s"\r\n' \
  "$sandbox/tools" >"$sandbox/registry.reg"
as_admin HOME="$sandbox/home" QELRESTORE_REGISTRY="$sandbox/registry.reg" /usr/bin/qelrestore \
  "$sandbox/backup" </dev/null >"$scratch/out" 2>"$scratch/err"
status=$?
verified=$(default_log_text | grep -c ': SQL restore verified: ')
if [[ $status != 0 || $(default_log_text | tail -1) != *': SQL Restore Complete'$'\r' ||
  ${verified:-0} == 0 ]]; then
  fail verified-restore "exit status $status (expected 0), last lines of $default_log [$(default_log_text | tail -2)], stderr [$(cat "$scratch/err")]"
else
  pass "verified-restore: without a log argument the restore is verified, exit status 0"
fi
# The shipped registry file is an empty registry: the run says where it looked, and fails loudly.
as_admin HOME="$sandbox/home" /usr/bin/qelrestore "$sandbox/backup" </dev/null >"$scratch/out" \
  2>"$scratch/err"
status=$?
if [[ $status != 5 ]] ||
  ! grep -q 'no folder is registered for the SQL client (the value SQLPath of .*, in the registry file /etc/qelrestore/registry.reg) (log: /var/log/qelrestore/qelRestorelog.txt' "$scratch/err"; then
  fail empty-registry "exit status $status (expected 5), stderr [$(cat "$scratch/err")]"
else
  pass "empty-registry: the shipped registry names no client; the run says where it looked, exit status 5"
fi

written=$(find /usr -newer "$scratch/installed" 2>/dev/null | head -5)
if [[ -n $written ]]; then
  fail usr-untouched "the runs wrote under /usr: $(tr '\n' ' ' <<<"$written")"
else
  pass "usr-untouched: the installed program's runs write nothing under /usr"
fi
if [[ -n $usr_log && -e $usr_log ]]; then "${sudo[@]}" rm -f "$usr_log"; fi
if [[ $(default_logs) != "$logs_before" ]]; then
  fail no-log-run "a run with its own log path left a log in /usr/bin"
else
  pass "no-log-run: runs with a log path of their own leave nothing in /usr/bin"
fi

# Removal takes the program; purging takes the logs and kept settings too, so the machine is left
# as it was found.
run_dpkg -r qelrestore
status=$?
if [[ $status != 0 || -e /usr/bin/qelrestore || -e /usr/share/man/man1/qelrestore.1.gz ]] ||
  dpkg-query -W -f='${Status}' qelrestore 2>/dev/null | grep -q 'ok installed'; then
  fail deb-remove "dpkg -r: status $status, $(tail -2 "$scratch/dpkg.log")"
else
  pass "deb-remove: dpkg -r removes the program and its manual page"
fi
run_dpkg -P qelrestore
status=$?
installed_here=0
left=()
for folder in /var/log/qelrestore /var/lib/qelrestore; do [[ -e $folder ]] && left+=("$folder"); done
if [[ $status != 0 || ${#left[@]} != 0 ]] || dpkg-query -W qelrestore >/dev/null 2>&1; then
  fail deb-purge "dpkg -P: status $status, left: ${left[*]}; $(tail -2 "$scratch/dpkg.log")"
else
  pass "deb-purge: dpkg -P removes the package's logs and kept settings"
fi

echo "$passed passed, $failed failed"
((failed == 0))
