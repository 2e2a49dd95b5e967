#!/usr/bin/env bash
# Builds qelrestore and runs its tests; installs what it needs when it is missing.
#
#   ./run-tests.sh           every test: the POSIX form (CTest, the end-to-end table), the same
#                            suites sanitized (the folder copy also thread-sanitized), every fuzz
#                            target, the Windows form under wine64 (the unit tests, the Windows
#                            host's tests, the end-to-end table), both packages. This is what CI runs.
#   ./run-tests.sh --quick   the POSIX form only: CTest's unit and POSIX suites without their slow
#                            cases, the exit-status table check, the end-to-end table.
#   ./run-tests.sh --help    this text.
# Builds are configured through CMakePresets.json (cmake --list-presets names them).
# Every stage runs even when one before it failed (a stage that needs a failed build is not run);
# the closing summary names each stage's outcome, and the exit status is non-zero if any failed.
set -euo pipefail
cd "$(dirname "$0")"

usage() { sed -n '2,13s/^# \{0,1\}//p' "$0"; }

# Left out of --quick: the POSIX cases at scale, the slowest fault case and the benchmark's
# own tests (CTest names, an extended regular expression).
QUICK_SKIPS='^(ScaleTest\.|FaultTest\.ClientIgnoringTermination|bench_smoke$|CopyRewriteTest\.|ByteCopierLength\.|copy_rewrite_test_NOT_BUILT$)'

mode=full
case "$#:${1:-}" in
  0:) ;;
  1:--quick) mode=quick ;;
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
    cmake --build --preset posix -j "$jobs" --target qelrestore standin_client unit_tests posix_tests
  else
    cmake --build --preset posix -j "$jobs"
  fi
}

posix_ctest() {
  if [[ $mode == quick ]]; then
    ctest --preset posix -j "$jobs" -E "$QUICK_SKIPS"
  else
    ctest --preset posix -j "$jobs"
    # The generated trees at full count: a few hundred, against cp -a.
    QELRESTORE_TREES=300 build/posix/tests/posix/posix_tests --gtest_filter='GeneratedTreesTest.*'
  fi
}

windows_build() {
  cmake --preset windows >/dev/null
  cmake --build --preset windows -j "$jobs"
}

if [[ $mode == quick ]]; then
  stage "packages needed" -- ensure_packages "${POSIX_PACKAGES[@]}"
  stage "POSIX form: build (quick)" -- posix_build
  stage "POSIX form: CTest (quick)" --needs "POSIX form: build (quick)" -- posix_ctest
  stage "POSIX form: end-to-end table" --needs "POSIX form: build (quick)" -- \
    bash tests/e2e/run_scenarios.sh posix build/posix
  summary
  exit
fi

stage "packages needed" -- ensure_packages "${POSIX_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}"
stage "POSIX form: build" -- posix_build
stage "POSIX form: CTest" --needs "POSIX form: build" -- posix_ctest
stage "POSIX form: end-to-end table" --needs "POSIX form: build" -- \
  bash tests/e2e/run_scenarios.sh posix build/posix
stage "POSIX form, sanitized" -- bash tests/sanitize/run_sanitized.sh build/sanitize
stage "Folder copy, thread-sanitized (1, 2, 8 workers)" -- \
  bash tests/sanitize/run_thread_sanitized.sh build/tsan
stage "Fuzz targets, 20 s each" -- bash fuzz/run_fuzzers.sh 20
stage "Windows form: build" -- windows_build
stage "Windows form: wine suite" --needs "Windows form: build" -- \
  bash tests/wine/run_wine_tests.sh build/windows
stage "Packages" --needs "POSIX form: build" --needs "Windows form: build" -- \
  bash tests/package/check_packages.sh build/posix build/windows
summary
