#!/usr/bin/env bash
# Builds the folder copy's tests with the thread sanitizer into build/tsan and runs them, the
# generated trees among them, with 2 and 8 copy workers (a single worker starts no second thread,
# so it has no race to find). Exits non-zero when a test fails or the sanitizer reports a race (a
# report ends the test process, and lands in a log checked here too).
# Usage: tests/sanitize/run_thread_sanitized.sh [build-folder]
# Environment: QEL_TSAN_WORKERS  the worker counts (default "2 8")
#              QEL_TSAN_ROUNDS   how many times each count runs (default 1)
#              QELRESTORE_TREES  the generated trees of each run (default 4)
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build/tsan}
reports=$(mktemp -d "${TMPDIR:-/tmp}/qel-tsan.XXXXXX")
trap 'rm -rf "$reports"' EXIT

cmake --preset tsan -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)" --target copy_tests copy_rewrite_test

export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:log_path=$reports/tsan"
# A few trees per worker count: the races are in how workers share a tree, not in its shape.
export QELRESTORE_TREES=${QELRESTORE_TREES:-4}
rounds=${QEL_TSAN_ROUNDS:-1}
status=0
for ((round = 1; round <= rounds; round++)); do
  for workers in ${QEL_TSAN_WORKERS:-2 8}; do
    echo "== $workers copy workers (round $round of $rounds)"
    export QELRESTORE_COPY_THREADS=$workers
    "$build/tests/posix/copy_tests" --gtest_brief=1 || status=1
    "$build/bench/copy_rewrite_test" --gtest_brief=1 || status=1
  done
done
if compgen -G "$reports/tsan*" >/dev/null; then
  echo "== thread sanitizer reports:"
  cat "$reports"/tsan*
  status=1
else
  echo "== thread sanitizer reports: none"
fi
exit "$status"
