#!/usr/bin/env bash
# The Windows form's suite under wine64: the host's own checks (host_checks.exe) in a private
# wine prefix, then the cases of tests/e2e/scenarios.table, run by the shared runner in one
# private wine prefix of its own.
#
#   bash tests/wine/run_wine_tests.sh <windows-build-dir>
set -u
build=${1:?usage: run_wine_tests.sh <windows-build-dir>}
build=$(cd "$build" && pwd) || exit 2

# run_host_checks: the registry key and environment host_checks.exe expects, then the program.
run_host_checks() {
  local checks=$build/tests/wine/host_checks.exe standin=$build/tests/wine/standin_client.exe
  [[ -f $checks && -f $standin ]] || { echo "host_checks.exe or standin_client.exe missing" >&2; return 1; }
  local wine=${WINE64:-$(command -v wine64 || echo /usr/lib/wine/wine64)}
  local scratch
  scratch=$(mktemp -d /tmp/qel-host-checks.XXXXXX)
  (
    export WINEPREFIX=$scratch/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    trap '"$(command -v wineserver || echo /usr/lib/wine/wineserver)" -k >/dev/null 2>&1' EXIT
    "$wine" wineboot -i >/dev/null 2>&1 || { echo "wineboot failed" >&2; exit 1; }
    local key='HKLM\SOFTWARE\QelHostCheck' long
    long=$(printf 'x%.0s' {1..3000})
    if ! "$wine" reg add "$key" /v Long /t REG_SZ /d "$long" /f /reg:64 >/dev/null 2>&1 ||
      ! "$wine" reg add "$key" /v Empty /t REG_BINARY /f /reg:64 >/dev/null 2>&1; then
      echo "reg add failed" >&2
      exit 1
    fi
    local plan=$scratch/files/plan
    mkdir -p "$plan/source/sub" "$plan/source/empty" "$plan/destination/sub"
    printf abc >"$plan/source/a.txt"
    printf hidden. >"$plan/source/.hidden"
    printf bbbbb >"$plan/source/sub/b.txt"
    printf old >"$plan/destination/sub/b.txt"
    # Z: is the prefix's view of the Unix root.
    env -u QEL_HOST_CHECK_UNSET QEL_HOST_CHECK_EMPTY= QEL_STANDIN_STATUS=3221225477 \
      "$wine" "$checks" "Z:${standin//\//\\}" "Z:${scratch//\//\\}\\files" >"$scratch/out"
    local status=$?
    tr -d '\r' <"$scratch/out"
    if ! grep -qx $'standard output line\r' "$scratch/out"; then
      echo "FAIL a line of OpenStandardOutput ended by CR LF on standard output"
      status=1
    fi
    exit "$status"
  )
  local status=$?
  rm -rf "$scratch"
  return "$status"
}

run_host_checks || exit 1
exec bash "$(dirname "$0")/../e2e/run_scenarios.sh" windows "$build"
