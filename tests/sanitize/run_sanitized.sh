#!/usr/bin/env bash
# Builds the POSIX form with the address and undefined-behaviour sanitizers into build/sanitize
# and runs the unit and POSIX suites there. Exits non-zero when a test fails or a sanitizer
# reports anything (a report aborts the process, and every report also lands in a log file that
# is checked here, so that one made by a child process the tests only wait for is not lost).
# Usage: tests/sanitize/run_sanitized.sh [build-folder]
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build/sanitize}
reports=$(mktemp -d "${TMPDIR:-/tmp}/qel-sanitize.XXXXXX")
trap 'rm -rf "$reports"' EXIT
# Programs the tests run as an unprivileged user write their reports here too.
chmod 1777 "$reports"

jobs=$(nproc)
cmake --preset sanitize -B "$build" >/dev/null
cmake --build "$build" -j "$jobs"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1:log_path=$reports/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"
export LSAN_OPTIONS="log_path=$reports/lsan"

status=0
ctest --test-dir "$build" --output-on-failure -j "$jobs" | tee "$reports/ctest.txt" || status=$?
echo "== sanitized run: $(grep -E 'tests passed|tests failed' "$reports/ctest.txt" || echo 'no summary')"

if compgen -G "$reports/*san*" >/dev/null; then
  echo "== sanitizer reports:"
  cat "$reports"/*san*
  status=1
else
  echo "== sanitizer reports: none"
fi
exit "$status"
