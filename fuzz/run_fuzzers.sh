#!/usr/bin/env bash
# Builds the fuzz targets with clang into build/fuzz and runs each on a fresh copy of its seed
# corpus (fuzz/corpus/<target>) for SECONDS (default 20). Any crash, broken contract, leak,
# timeout (10 s for one input) or memory use past 512 MB fails the target; its input is kept under
# build/fuzz/findings/<target>/. Prints per target the executions and the coverage, then
# "N passed, M failed"; exits non-zero when any failed.
#
# Usage: fuzz/run_fuzzers.sh [SECONDS]
# Environment: QEL_FUZZ_JOBS  targets run at the same time (default 1)
#              QEL_FUZZ_TARGETS  a space-separated subset of the targets (default all)
#              QEL_FUZZ_BUILD  the build folder, below the top folder (default build/fuzz)
#
# The long run, before a release: fuzz/run_fuzzers.sh 600 with QEL_FUZZ_JOBS=2 (ten minutes
# per target, two at a time: about 40 minutes for the eight targets).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${1:-20}
jobs=${QEL_FUZZ_JOBS:-1}
[[ "$seconds" =~ ^[0-9]+$ && "$seconds" -gt 0 ]] || { echo "SECONDS must be a whole number" >&2; exit 2; }

source scripts/ensure-packages.sh
ensure_packages cmake ninja-build clang libclang-rt-dev


# The longest input each target is given: a registry file in UTF-16 needs room; the rest are
# lines and small settings files.
max_len() {
  case "$1" in
    reg_file) echo 8192 ;;
    *) echo 4096 ;;
  esac
}

build=${QEL_FUZZ_BUILD:-build/fuzz}
echo "== building the fuzz targets in $build"
cmake --preset fuzz -B "$build" >/dev/null
# fuzz/CMakeLists.txt lists the targets; configuring writes the list here.
read -r -a all_targets <"$build/fuzz/targets.txt"
read -r -a targets <<<"${QEL_FUZZ_TARGETS:-${all_targets[*]}}"
cmake --build "$build" --target "${targets[@]/%/_fuzzer}"

mkdir -p "$build/logs"
run_target() {
  local target=$1
  local corpus="$build/corpus/$target" findings="$build/findings/$target"
  local log="$build/logs/$target.log"
  rm -rf "$corpus" "$findings"
  mkdir -p "$corpus" "$findings"
  cp -r "fuzz/corpus/$target/." "$corpus/"
  local status=0
  "$build/fuzz/${target}_fuzzer" -max_total_time="$seconds" -rss_limit_mb=512 -timeout=10 \
    -max_len="$(max_len "$target")" -print_final_stats=1 -artifact_prefix="$root/$findings/" \
    "$corpus" >"$log" 2>&1 || status=$?
  # A finding always leaves an input behind, even when the exit status would not tell.
  if [ "$status" -eq 0 ] && [ -n "$(ls -A "$findings")" ]; then status=1; fi
  echo "$status" >"$build/logs/$target.status"
}

for target in "${targets[@]}"; do
  [ -d "fuzz/corpus/$target" ] || { echo "no seed corpus for $target" >&2; exit 2; }
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  echo "== $target: ${seconds}s"
  run_target "$target" &
done
wait

passed=0
failed=0
for target in "${targets[@]}"; do
  log="$build/logs/$target.log"
  status=$(cat "$build/logs/$target.status" 2>/dev/null || echo 1)
  stat() { sed -n "s/^stat::$1: *//p" "$log" | tail -n 1; }
  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$done_line")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$done_line")
  corp=$(sed -n 's/.* corp: \([0-9]*\/[0-9a-zA-Z]*\).*/\1/p' <<<"$done_line")
  printf '%-22s %10s execs %7s exec/s  cov %5s  ft %6s  corpus %-10s rss %4s MB  ' "$target" \
    "$(stat number_of_executed_units)" "$(stat average_exec_per_sec)" "${cov:--}" "${ft:--}" \
    "${corp:--}" "$(stat peak_rss_mb)"
  if [ "$status" -eq 0 ]; then
    echo "passed"
    passed=$((passed + 1))
  else
    echo "FAILED (exit $status; see $log, inputs in $build/findings/$target/)"
    grep -E 'ERROR: |contract broken|SUMMARY' "$log" | head -n 5 | sed 's/^/    /'
    failed=$((failed + 1))
  fi
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
