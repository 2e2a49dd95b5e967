#!/usr/bin/env bash
# Builds qelrestore and runs its tests; installs what it needs when it is missing.
#
#   ./run-tests.sh           every test: the POSIX form (CTest, the end-to-end table), the same
#                            suites sanitized, the folder copy thread-sanitized with 2 and 8
#                            workers, every fuzz target (its seeds, then a few seconds), the Windows
#                            form under wine64 (the unit tests, the Windows host's tests, the
#                            end-to-end table), both packages. This is what CI runs.
#   ./run-tests.sh --quick   the POSIX form only: CTest's unit and POSIX suites without their slow
#                            cases, the exit-status table check, the end-to-end table.
#   ./run-tests.sh --soak    what is too long for every run: 300 generated trees, each fuzz target
#                            for minutes, the thread-sanitized copy with 1, 2 and 8 workers three
#                            times over, the benchmark's smoke run.
#   ./run-tests.sh --help    this text.
# Builds are configured through CMakePresets.json (cmake --list-presets names them).
# Every stage runs even when one before it failed (a stage that needs a failed build is not run);
# the closing summary names each stage's outcome, and the exit status is non-zero if any failed.
set -euo pipefail
cd "$(dirname "$0")"

usage() { sed -n '2,17s/^# \{0,1\}//p' "$0"; }

# Left out of --quick: the POSIX cases at scale and the benchmark's rewrite test (CTest names, an
# extended regular expression).
QUICK_SKIPS='^(ScaleTest\.|CopyRewriteTest\.|ByteCopierLength\.|copy_rewrite_test_NOT_BUILT$)'

mode=full
case "$#:${1:-}" in
  0:) ;;
  1:--quick) mode=quick ;;
  1:--soak) mode=soak ;;
  1:--help | 1:-h)
    usage
    exit 0
    ;;
  *)
    usage >&2
    exit 2
    ;;
esac

# shellcheck source=scripts/ensure-packages.sh
source scripts/ensure-packages.sh
jobs=$(nproc)

# Every stage runs, whatever happened before it; one whose prerequisite stage failed is not run.
# The summary at the end names each stage's outcome, and the exit status is non-zero when any
# stage failed or was not run.
results=()
failed_stages=" "

# stage NAME [--needs STAGE]... -- COMMAND...: runs COMMAND in a subshell with errexit on (run as
# a condition, `( ... ) || ...`, it would lose errexit, so the status is taken with errexit off).
stage() {
  local name=$1 need missing=""
  shift
  while [[ $1 == --needs ]]; do
    need=$2
    shift 2
    [[ $failed_stages == *" $need "* ]] && missing=$need
  done
  shift
  if [[ -n $missing ]]; then
    echo "== $name: not run, \"$missing\" failed"
    results+=("not run  $name (\"$missing\" failed)")
    failed_stages+="$name "
    return 0
  fi
  echo "== $name"
  local began=$SECONDS status
  set +e
  (
    set -e
    "$@"
  )
  status=$?
  set -e
  local took="$((SECONDS - began)) s"
  if ((status == 0)); then
    results+=("passed   $name ($took)")
  else
    echo "== $name: FAILED (exit $status)"
    results+=("FAILED   $name (exit $status, $took)")
    failed_stages+="$name "
  fi
}

summary() {
  local line passed=0 failed=0 skipped=0
  echo "== summary"
  for line in "${results[@]}"; do
    echo "  $line"
    case $line in
      passed*) passed=$((passed + 1)) ;;
      FAILED*) failed=$((failed + 1)) ;;
      *) skipped=$((skipped + 1)) ;;
    esac
  done
  echo "stages: $passed passed, $failed failed, $skipped not run"
  ((failed + skipped == 0))
}

posix_build() {
  cmake --preset posix >/dev/null
  if [[ $mode == quick ]]; then
    cmake --build --preset posix -j "$jobs" --target qelrestore standin_client unit_tests \
      posix_tests copy_tests
  else
    cmake --build --preset posix -j "$jobs"
  fi
}

posix_ctest() {
  if [[ $mode == quick ]]; then
    ctest --preset posix -j "$jobs" -E "$QUICK_SKIPS"
  else
    ctest --preset posix -j "$jobs"
  fi
}

windows_build() {
  cmake --preset windows >/dev/null
  cmake --build --preset windows -j "$jobs"
}

case $mode in
  quick)
    stage "packages needed" -- ensure_packages "${POSIX_PACKAGES[@]}"
    stage "POSIX form: build (quick)" -- posix_build
    stage "POSIX form: CTest (quick)" --needs "POSIX form: build (quick)" -- posix_ctest
    stage "POSIX form: end-to-end table" --needs "POSIX form: build (quick)" -- \
      bash tests/e2e/run_scenarios.sh posix build/posix
    ;;
  soak)
    stage "packages needed" -- ensure_packages "${POSIX_PACKAGES[@]}"
    stage "POSIX form: build" -- posix_build
    stage "Generated trees, 300 against cp -a" --needs "POSIX form: build" -- \
      env QELRESTORE_TREES=300 build/posix/tests/posix/copy_tests \
      --gtest_filter='*GeneratedTreesTest.*'
    stage "Benchmark: smoke run" --needs "POSIX form: build" -- \
      bash bench/smoke_test.sh "$PWD/build/posix"
    stage "Folder copy, thread-sanitized (1, 2, 8 workers, 3 rounds)" -- \
      env QEL_TSAN_WORKERS="1 2 8" QEL_TSAN_ROUNDS=3 QELRESTORE_TREES=12 \
      bash tests/sanitize/run_thread_sanitized.sh build/tsan
    stage "Fuzz targets, 300 s each" -- env QEL_FUZZ_JOBS="$jobs" bash fuzz/run_fuzzers.sh 300
    ;;
  full)
    stage "packages needed" -- ensure_packages "${POSIX_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}"
    stage "POSIX form: build" -- posix_build
    stage "POSIX form: CTest" --needs "POSIX form: build" -- posix_ctest
    stage "POSIX form: end-to-end table" --needs "POSIX form: build" -- \
      bash tests/e2e/run_scenarios.sh posix build/posix
    stage "POSIX form, sanitized" -- bash tests/sanitize/run_sanitized.sh build/sanitize
    stage "Folder copy, thread-sanitized (2, 8 workers)" -- \
      bash tests/sanitize/run_thread_sanitized.sh build/tsan
    stage "Fuzz targets: seeds, then 5 s each" -- \
      env QEL_FUZZ_JOBS="$jobs" bash fuzz/run_fuzzers.sh 5
    stage "Windows form: build" -- windows_build
    stage "Windows form: wine suite" --needs "Windows form: build" -- \
      bash tests/wine/run_wine_tests.sh build/windows
    stage "Packages" --needs "POSIX form: build" --needs "Windows form: build" -- \
      bash tests/package/check_packages.sh build/posix build/windows
    ;;
esac
summary
