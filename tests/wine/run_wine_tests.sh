#!/usr/bin/env bash
# The Windows form's suite under wine64, as an unprivileged user: the unit tests (unit_tests.exe),
# the host's own tests (windows_tests.exe) and the batch file's check in a private wine prefix,
# then the cases of tests/e2e/scenarios.table, run by the shared runner in one private wine prefix
# of its own.
#
#   bash tests/wine/run_wine_tests.sh <windows-build-dir>
set -u
build=${1:?usage: run_wine_tests.sh <windows-build-dir>}
build=$(cd "$build" && pwd) || exit 2

# Wine run as root writes read-only files as any other, and the Windows form's checks of read-only
# files would pass for the wrong reason: as root, the suite runs itself again as nobody. Nobody
# may be unable to reach the checkout (root's home folder is private), so it runs from a copy of
# its own: the scripts, the batch file and the build's programs, in a temporary folder it owns.
if [[ $(id -u) == 0 && -z ${QEL_WINE_AS_ROOT-} ]]; then
  checkout=$(cd "$(dirname "$0")/../.." && pwd) || exit 2
  copy=$(mktemp -d /tmp/qel-wine.XXXXXX) || exit 2
  trap 'rm -rf "$copy"' EXIT
  mkdir -p "$copy/home" "$copy/source/tests" "$copy/build/tests/unit" "$copy/build/tests/windows" \
    "$copy/build/tests/wine" &&
    cp -r "$checkout/tests/wine" "$checkout/tests/e2e" "$copy/source/tests/" &&
    cp "$checkout/qelRestore.bat" "$copy/source/" &&
    for program in qelrestore.exe tests/unit/unit_tests.exe tests/windows/windows_tests.exe \
      tests/wine/standin_client.exe; do
      cp "$build/$program" "$copy/build/$program" || exit 2
    done &&
    chown -R nobody:nogroup "$copy" || exit 2
  setpriv --reuid=nobody --regid=nogroup --clear-groups \
    env HOME="$copy/home" USER=nobody bash "$copy/source/tests/wine/run_wine_tests.sh" \
    "$copy/build"
  exit
fi
# run_windows_tests: the unit tests, then the registry key, files and environment that
# windows_tests.exe expects, and the program.
run_windows_tests() {
  local units=$build/tests/unit/unit_tests.exe checks=$build/tests/windows/windows_tests.exe
  local standin=$build/tests/wine/standin_client.exe program
  for program in "$units" "$checks" "$standin"; do
    [[ -f $program ]] || { echo "$program missing" >&2; return 1; }
  done
  local wine=${WINE64:-$(command -v wine64 || echo /usr/lib/wine/wine64)}
  local scratch
  scratch=$(mktemp -d /tmp/qel-host-checks.XXXXXX)
  (
    # File names hold characters outside ASCII: wine reads their bytes as UTF-8 in this locale.
    export LC_ALL=C.UTF-8
    export WINEPREFIX=$scratch/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    trap '"$(command -v wineserver || echo /usr/lib/wine/wineserver)" -k >/dev/null 2>&1' EXIT
    "$wine" wineboot -i >/dev/null 2>&1 || { echo "wineboot failed" >&2; exit 1; }
    local status=0
    # The tests print only what failed and the count of those that passed.
    "$wine" "$units" --gtest_brief=1 >"$scratch/units.out" 2>&1 || status=1
    tr -d '\r' <"$scratch/units.out"
    local key='HKLM\SOFTWARE\QelHostCheck' long
    long=$(printf 'x%.0s' {1..3000})
    if ! "$wine" reg add "$key" /v Long /t REG_SZ /d "$long" /f /reg:64 >/dev/null 2>&1 ||
      ! "$wine" reg add "$key" /v Empty /t REG_BINARY /f /reg:64 >/dev/null 2>&1; then
      echo "reg add failed" >&2
      exit 1
    fi
    # A code page would read <fullwidth t> as t, naming another folder.
    "$wine" reg add "$key" /v LookAlike /t REG_SZ /d 'C:\qel\ｔools' /f /reg:64 >/dev/null 2>&1 ||
      { echo "reg add failed" >&2; exit 1; }
    local files=$scratch/files
    local plan=$files/plan
    mkdir -p "$plan/source/sub" "$plan/source/empty" "$plan/destination/sub"
    printf abc >"$plan/source/a.txt"
    printf hidden. >"$plan/source/.hidden"
    printf bbbbb >"$plan/source/sub/b.txt"
    printf old >"$plan/destination/sub/b.txt"
    ln -s plan/source "$files/alias"
    # Folders named outside the code page, and the folder a code page would take one of them for.
    local name
    for name in ｂackup Дом📁; do
      mkdir -p "$files/wide/$name" "$files/wide/to-$name"
      printf wide >"$files/wide/$name/a.txt"
    done
    mkdir -p "$files/wide/backup"
    printf narrow >"$files/wide/backup/a.txt"
    # What wine's shell copy leaves out without saying so: a folder where a file stands.
    local audit=$files/audit
    mkdir -p "$audit/source/sub" "$audit/destination"
    printf copied >"$audit/source/a.txt"
    printf nested >"$audit/source/sub/b.txt"
    printf file >"$audit/destination/sub"
    # The restore's own files in the installation, and names only a case-sensitive folder holds.
    local own=$files/own
    mkdir -p "$own/source/prog" "$own/destination/prog"
    for name in run.log Data.txt data.txt prog/curdb.properties.bak prog/app.txt; do
      printf backup >"$own/source/$name"
    done
    printf run >"$own/destination/run.log"
    printf machine >"$own/destination/prog/curdb.properties.bak"
    # A file whose path is longer than 260 characters.
    local long=$files/long/source/$(printf 'd%.0s' {1..120})/$(printf 'e%.0s' {1..120})
    mkdir -p "$long" "$files/long/destination"
    printf long >"$long/f.txt"
    # The kept settings file's copy: a hard link and a read-only file at the destination.
    local kept=$files/kept
    mkdir -p "$kept"
    printf new >"$kept/new.properties"
    printf new >"$kept/ro-source.properties"
    chmod a-w "$kept/ro-source.properties"
    printf victim >"$kept/victim"
    ln "$kept/victim" "$kept/link.bak"
    printf old >"$kept/ro.bak"
    chmod a-w "$kept/ro.bak"
    # Z: is the prefix's view of the Unix root. The host is an unattended run's: no window of the
    # shell's copy may wait for anybody.
    env -u QEL_HOST_CHECK_UNSET QEL_HOST_CHECK_EMPTY= QEL_STANDIN_STATUS=3221225477 \
      QELRESTORE_BOXES=console \
      QEL_HOST_CHECK_STANDIN="Z:${standin//\//\\}" QEL_HOST_CHECK_FILES="Z:${files//\//\\}" \
      "$wine" "$checks" --gtest_brief=1 >"$scratch/checks.out" 2>&1 || status=1
    tr -d '\r' <"$scratch/checks.out"
    # qelRestore.bat started at a prompt with delayed expansion on (where "!such!", no variable,
    # stays as typed): the "!"s of an argument reach the program, which names the backup folder
    # it was given (a dry run, and the folder is missing).
    local bat=$scratch/bat
    mkdir -p "$bat"
    cp "$build/qelrestore.exe" "$(dirname "$0")/../../qelRestore.bat" "$bat/"
    QELRESTORE_DRY_RUN=1 QELRESTORE_BOXES=console "$wine" cmd /v:on /c \
      "Z:${bat//\//\\}\\qelRestore.bat" 'C:\no!such!' "Z:${bat//\//\\}\\run.log" \
      >"$scratch/bat.out" 2>&1 </dev/null
    if ! grep -q 'C:\\no!such!backup directory not found' "$scratch/bat.out"; then
      echo "FAIL qelRestore.bat hands a \"!\" of an argument on under delayed expansion:"
      tr -d '\r' <"$scratch/bat.out"
      status=1
    fi
    exit "$status"
  )
  local status=$?
  rm -rf "$scratch"
  return "$status"
}

run_windows_tests || exit 1
exec bash "$(dirname "$0")/../e2e/run_scenarios.sh" windows "$build"
