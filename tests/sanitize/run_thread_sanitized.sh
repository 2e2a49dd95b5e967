#!/usr/bin/env bash
# Builds the POSIX tests with the thread sanitizer into build/tsan and runs the folder copy's
# tests and the generated trees with 1, 2 and 8 copy workers. Exits non-zero when a test fails
# or the sanitizer reports a race (a report ends the test process, and lands in a log checked
# here too).
# Usage: tests/sanitize/run_thread_sanitized.sh [build-folder]
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build/tsan}
reports=$(mktemp -d "${TMPDIR:-/tmp}/qel-tsan.XXXXXX")
trap 'rm -rf "$reports"' EXIT

cmake --preset tsan -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)" --target posix_tests copy_rewrite_test

export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:log_path=$reports/tsan"
# A few trees per worker count: the races are in how workers share a tree, not in its shape.
export QELRESTORE_TREES=${QELRESTORE_TREES:-4}
status=0
for workers in 1 2 8; do
  echo "== $workers copy workers"
  QELRESTORE_COPY_THREADS=$workers "$build/tests/posix/posix_tests" --gtest_brief=1 \
    --gtest_filter='CopyEngineTest.*:CopyGuardTest.*:GeneratedTreesTest.*:TrustTest.*' || status=1
  QELRESTORE_COPY_THREADS=$workers "$build/bench/copy_rewrite_test" --gtest_brief=1 || status=1
done
if compgen -G "$reports/tsan*" >/dev/null; then
  echo "== thread sanitizer reports:"
  cat "$reports"/tsan*
  status=1
else
  echo "== thread sanitizer reports: none"
fi
exit "$status"
