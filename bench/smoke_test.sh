#!/usr/bin/env bash
# The benchmark's smoke run: tiny trees, one run each, with the binaries of the build at $1. It
# checks that every row is printed with numbers in it (and so that every copy was complete and the
# same as cp's, which run_bench.sh checks itself); it judges no timing.
set -euo pipefail
build_dir=$1
root=$(mktemp -d /tmp/qelbench-smoke.XXXXXX)
trap 'rm -rf "$root"' EXIT
output=$(bash "$(dirname "$0")/run_bench.sh" --smoke --no-build --build-dir "$build_dir" \
  --root "$root/trees")
echo "$output"

number='[0-9]+(\.[0-9]+)?'
n=$number
expected=(
  "^A fresh +200 +$n +$n +$n +$n +$n +$n +$n +[0-9]+ +[0-9]+/[0-9]+$"
  "^A rerun +200 "
  "^B fresh +2 "
  "^B rerun +2 "
  "^C fresh +[0-9]{3} "
  "^C rerun +[0-9]{3} "
  "^sparse length_KiB=65536 source_KiB=[0-9]+ qel_KiB=[0-9]+ cp_KiB=[0-9]+ qel_ms=$n cp_ms=$n$"
  "^overhead runs=3 qel_ms median=$n qel_cpu_ms median=$n process_start_ms median=$n rss_KiB=[0-9]+$"
  "^client-wait runs=3 return_after_end_ms median=$n max=$n total_ms median=$n max=$n$"
  "^database-phase runs=3 ms median=$n max=$n$"
  "^scale files 50 +qel_ms=$n qel_us_per_file=$n qel_cpu_us_per_file=$n cp_us_per_file=$n cp_cpu_us_per_file=$n rss_KiB=[0-9]+$"
  "^scale files 500 "
  "^scale items 10 +qel_ms=$n qel_us_per_item=$n qel_cpu_us_per_item=$n rss_KiB=[0-9]+$"
  "^scale items 100 "
)
status=0
for pattern in "${expected[@]}"; do
  if ! grep -Eq "$pattern" <<<"$output"; then
    echo "smoke_test.sh: no line matches: $pattern" >&2
    status=1
  fi
done
# Nothing of the trees may be left behind.
if [ -e "$root/trees" ]; then
  echo "smoke_test.sh: run_bench.sh left its trees in $root/trees" >&2
  status=1
fi
exit "$status"
