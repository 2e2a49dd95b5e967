#!/usr/bin/env bash
# The copy and wait benchmark of the POSIX qelrestore, against cp on the same trees.
#
# Usage: bench/run_bench.sh [options]
#   --build-dir DIR  build (Release) into DIR, default build/bench; with --no-build use it as it is
#   --no-build       take the binaries already built in --build-dir
#   --root DIR       where the trees are made (default: a new folder under /tmp); removed at the end
#   --runs N         timed runs of each tool per tree (default 5); the median is reported
#   --cache MODE     drop: caches dropped before every timed run (needs root); warm: one untimed
#                    run of each tool first, caches left warm; auto (default): drop when allowed
#   --trees LIST     the trees to copy, of A B C (default all three; "" for none)
#   --no-scaling     skip the cost-growth rows (200,000 files and 100,000 path.conf items)
#   --smoke          tiny trees, one run each: checks that everything runs, says nothing of speed
#   --engine         time the folder copy alone (bench_tool copy) instead of the whole program:
#                    needs only bench_tool, and leaves out the program's own start and log
#
# cp runs as cp -a, which keeps what the copy keeps (owners, links, attributes, holes). Every timed
# run starts from the same state for both tools: the destination removed (or, for the
# re-run rows, left full from the run before), everything synced, caches dropped or warm. The two
# tools alternate which goes first in each round. The first copy of each tree is checked against
# cp's: the same entries, types, modes, owners, link counts, sizes, times, link targets and
# contents. A last row copies a sparse file of 1 GiB and prints the space each copy takes.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

build_dir="$repo/build/bench"
build=1
root=""
runs=5
cache=auto
scaling=1
smoke=0
trees="A B C"
engine=0
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build_dir=$(realpath -m "$2"); shift 2 ;;
    --no-build) build=0; shift ;;
    --root) root=$(realpath -m "$2"); shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --cache) cache=$2; shift 2 ;;
    --trees) trees=$2; shift 2 ;;
    --no-scaling) scaling=0; shift ;;
    --smoke) smoke=1; runs=1; cache=warm; shift ;;
    --engine) engine=1; shift ;;
    *) echo "run_bench.sh: unknown option $1" >&2; exit 2 ;;
  esac
done

if [ "$build" -eq 1 ]; then
  cmake -S "$repo" --preset bench -B "$build_dir" >/dev/null
  if [ "$engine" -eq 1 ]; then targets=(bench_tool); else targets=(qelrestore bench_tool wait_bench); fi
  cmake --build "$build_dir" --target "${targets[@]}" >/dev/null
fi
qel="$build_dir/qelrestore"
tool="$build_dir/bench/bench_tool"
waiter="$build_dir/bench/wait_bench"
programs=("$tool")
[ "$engine" -eq 1 ] || programs+=("$qel" "$waiter")
for program in "${programs[@]}"; do
  [ -x "$program" ] || { echo "run_bench.sh: $program is missing" >&2; exit 2; }
done

if [ "$cache" = auto ]; then
  cache=warm
  if [ -w /proc/sys/vm/drop_caches ] && sync && echo 3 2>/dev/null >/proc/sys/vm/drop_caches; then
    cache=drop
  fi
fi
[ -z "$root" ] && root=$(mktemp -d /tmp/qelbench.XXXXXX)
mkdir -p "$root"
trap 'rm -rf "$root"' EXIT
home="$root/home"
mkdir -p "$home/.corvilane"
log="$root/run.log"

settle() {
  sync
  if [ "$cache" = drop ]; then echo 3 >/proc/sys/vm/drop_caches; fi
}

# The median, minimum and maximum of the numbers in a file, one a line.
stats() { sort -n "$1" | awk '{ v[NR] = $1 } END { printf "%.3f %.3f %.3f\n", v[int((NR + 1) / 2)], v[1], v[NR] }'; }
median() { stats "$1" | cut -d' ' -f1; }

# One timed qelrestore run of backup $1 into the installation folder named by path.conf; appends
# the wall time to $2, the processor time to $2.cpu and the peak memory to $3. Anything but a clean, completed run stops the
# benchmark: a fast failure would read as a fast copy.
time_qel() {
  if [ "$engine" -eq 1 ]; then
    local result
    result=$("$tool" time -- "$tool" copy "$1" "$copy_to" 2>"$root/qel.err")
    set -- "$1" "$2" "$3" $result
    if [ "$6" != 0 ] || [ -s "$root/qel.err" ]; then
      echo "run_bench.sh: the copy failed (status $6) on $1" >&2
      cat "$root/qel.err" >&2
      exit 1
    fi
    echo "$4" >>"$2"
    echo "$7" >>"$2.cpu"
    echo "$5" >>"$3"
    return
  fi
  rm -f "$log"
  local result
  result=$(HOME="$home" "$tool" time -- "$qel" "$1" "$log" "N" 2>"$root/qel.err")
  set -- "$1" "$2" "$3" $result
  if [ "$6" != 0 ] || [ -s "$root/qel.err" ] ||
    ! tail -n 1 "$log" | grep -q "QEL Restore completed without SQLServer version"; then
    echo "run_bench.sh: qelrestore failed (status $6) on $1" >&2
    cat "$root/qel.err" "$log" >&2
    exit 1
  fi
  echo "$4" >>"$2"
  echo "$7" >>"$2.cpu"
  echo "$5" >>"$3"
}

# One timed cp of backup $1 into $2; appends the wall time to $3 and the processor time to $3.cpu.
time_cp() {
  local result
  result=$("$tool" time -- cp -a "$1/." "$2/")
  set -- "$1" "$2" "$3" $result
  [ "$6" = 0 ] || { echo "run_bench.sh: cp failed on $1" >&2; exit 1; }
  echo "$4" >>"$3"
  echo "$7" >>"$3.cpu"
}

# Names the installation folder the next runs copy into: in path.conf for the program, in
# copy_to for the engine alone.
point_path_conf() {
  printf 'finalPath=%s/\r\n' "$1" >"$home/.corvilane/path.conf"
  copy_to=$1
}

# What a copy must reproduce, in a form two trees can be compared by.
listing() { (cd "$1" && find . -mindepth 1 -printf '%P %y %m %U:%G %n %s %T@ %l\n' | LC_ALL=C sort); }

verify_same() {
  if ! cmp -s <(listing "$1") <(listing "$2") || ! diff -r --no-dereference -q "$1" "$2" >/dev/null; then
    echo "run_bench.sh: qelrestore's copy differs from cp's" >&2
    diff <(listing "$1") <(listing "$2") | head -20 >&2
    exit 1
  fi
}

row() { printf '%-12s %6s %5s %10s %10s %6s %10s %10s %6s %7s %9s\n' "$@"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }

# Fresh and re-run rows for the tree at $2, labelled $1.
bench_tree() {
  local label=$1 source=$2
  local files mib
  files=$(find "$source" -type f | wc -l)
  mib=$(du -sm "$source" | cut -f1)
  local qdst="$root/dst-qel" cdst="$root/dst-cp" data="$root/times"
  rm -rf "$data" && mkdir -p "$data"
  point_path_conf "$qdst"
  local round
  for ((round = 0; round <= runs; round++)); do
    # Round 0 warms both tools up and is the checked copy; it is not counted.
    local order=(qel cp) suffix=""
    if ((round % 2 == 1)); then order=(cp qel); fi
    if [ "$round" -eq 0 ]; then suffix=".warmup"; fi
    for which in "${order[@]}"; do
      local dst=$cdst
      [ "$which" = qel ] && dst=$qdst
      rm -rf "$dst" && mkdir -p "$dst" && settle
      if [ "$which" = qel ]; then
        time_qel "$source" "$data/qel-fresh$suffix" "$data/rss$suffix"
        settle
        time_qel "$source" "$data/qel-rerun$suffix" "$data/rss$suffix"
      else
        time_cp "$source" "$dst" "$data/cp-fresh$suffix"
        settle
        time_cp "$source" "$dst" "$data/cp-rerun$suffix"
      fi
    done
    if [ "$round" -eq 0 ]; then verify_same "$qdst" "$cdst"; fi
  done
  local kind q c qcpu ccpu rss
  for kind in fresh rerun; do
    read -r q qmin qmax <<<"$(stats "$data/qel-$kind")"
    read -r c cmin cmax <<<"$(stats "$data/cp-$kind")"
    qcpu=$(median "$data/qel-$kind.cpu")
    ccpu=$(median "$data/cp-$kind.cpu")
    rss=$(sort -n "$data/rss" | tail -n 1)
    row "$label $kind" "$files" "$mib" "$q" "$c" "$(ratio "$q" "$c")" "$qcpu" "$ccpu" \
      "$(ratio "$qcpu" "$ccpu")" "$rss" "$(awk -v a="$qmin" -v b="$qmax" -v c="$cmin" -v d="$cmax" \
        -v q="$q" -v m="$c" 'BEGIN { printf "%.0f/%.0f", 100 * (b - a) / q, 100 * (d - c) / m }')"
  done
  rm -rf "$qdst" "$cdst" "$data"
}

echo "qelrestore copy benchmark: $(nproc) cores, kernel $(uname -r), $(df -T "$root" | awk 'NR == 2 { print $2 }') under $root"
echo "runs per row: $runs (median), caches: $cache, cp: $(cp --version | head -n 1)"
echo
# wall time (ms) and processor time (user + system, ms) medians; spread: (max - min) / median
row tree files MiB qel_ms cp_ms ratio qel_cpu cp_cpu ratio rss_KiB spread%
for tree in $trees; do
  case "$tree$smoke" in
    A0) "$tool" files "$root/A" 20000 400 1K 16K 1 ;;
    A1) "$tool" files "$root/A" 200 8 1K 16K 1 ;;
    B0) "$tool" big "$root/B" 8 128M ;;
    B1) "$tool" big "$root/B" 2 1M ;;
    C0) "$tool" install "$root/C" ;;
    C1) "$tool" install "$root/C" 256 ;;
    *) echo "run_bench.sh: no tree $tree" >&2; exit 2 ;;
  esac
  bench_tree "$tree" "$root/$tree"
  rm -rf "${root:?}/$tree"
done

# A sparse file: the space each copy of it takes (KiB), beside its length and the source's.
sparse_size=$((smoke ? 64 << 20 : 1 << 30))
mkdir -p "$root/P" "$root/dst-qel" "$root/dst-cp"
"$tool" sparse "$root/P/sparse" "$sparse_size" 4K
point_path_conf "$root/dst-qel"
time_qel "$root/P" "$root/sq" "$root/srss" && time_cp "$root/P" "$root/dst-cp" "$root/sc"
printf 'sparse length_KiB=%s source_KiB=%s qel_KiB=%s cp_KiB=%s qel_ms=%s cp_ms=%s\n' "$((sparse_size >> 10))" \
  "$(du -k "$root/P/sparse" | cut -f1)" "$(du -k "$root/dst-qel/sparse" | cut -f1)" \
  "$(du -k "$root/dst-cp/sparse" | cut -f1)" "$(cat "$root/sq")" "$(cat "$root/sc")"
rm -rf "$root/P" "$root/dst-qel" "$root/dst-cp" "$root"/sq* "$root"/sc* "$root/srss"
[ "$engine" -eq 1 ] && exit 0

echo
# The program's own cost: an empty backup folder, nothing to copy, no db.properties.
mkdir -p "$root/empty" "$root/empty-dst"
point_path_conf "$root/empty-dst"
overhead_runs=$((smoke ? 3 : 30))
rm -f "$root"/over* "$root/true"
for ((i = 0; i < overhead_runs; i++)); do
  time_qel "$root/empty" "$root/over" "$root/over-rss"
  "$tool" time -- true | cut -d' ' -f1 >>"$root/true"
done
printf 'overhead runs=%d qel_ms median=%s qel_cpu_ms median=%s process_start_ms median=%s rss_KiB=%s\n' \
  "$overhead_runs" "$(median "$root/over")" "$(median "$root/over.cpu")" "$(median "$root/true")" \
  "$(sort -n "$root/over-rss" | tail -n 1)"

"$waiter" "$root/wait" "$((smoke ? 3 : 20))"

echo
# Cost growth: time per file and per path.conf item at ten times and a hundred times the size.
if [ "$smoke" -eq 1 ]; then
  sizes=(50 500) items=(10 100)
elif [ "$scaling" -eq 1 ]; then
  sizes=(2000 20000 200000) items=(1000 10000 100000)
else
  sizes=() items=()
fi
scale_runs=$((runs < 3 ? runs : 3))
per() { awk -v t="$1" -v n="$2" 'BEGIN { printf "%.1f", 1000 * t / n }'; }
for count in "${sizes[@]}"; do
  "$tool" files "$root/S" "$count" "$((count / 50))" 1K 16K 2
  point_path_conf "$root/dst-qel"
  rm -f "$root"/sq* "$root"/sc* "$root/srss"
  for ((i = 0; i <= scale_runs; i++)); do
    rm -rf "$root/dst-qel" "$root/dst-cp" && mkdir -p "$root/dst-qel" "$root/dst-cp" && sync
    # The first of them warms the caches and is not counted.
    time_qel "$root/S" "$root/sq" "$root/srss"
    time_cp "$root/S" "$root/dst-cp" "$root/sc"
    if [ "$i" -eq 0 ]; then rm -f "$root"/sq* "$root"/sc*; fi
  done
  q=$(median "$root/sq")
  printf 'scale files %-8s qel_ms=%s qel_us_per_file=%.1f qel_cpu_us_per_file=%.1f cp_us_per_file=%.1f cp_cpu_us_per_file=%.1f rss_KiB=%s\n' \
    "$count" "$q" "$(per "$q" "$count")" "$(per "$(median "$root/sq.cpu")" "$count")" \
    "$(per "$(median "$root/sc")" "$count")" "$(per "$(median "$root/sc.cpu")" "$count")" \
    "$(sort -n "$root/srss" | tail -n 1)"
  rm -rf "$root/S" "$root/dst-qel" "$root/dst-cp"
done
"$tool" files "$root/one" 1 1 1K 1K 3
mkdir -p "$root/dst-qel"
for count in "${items[@]}"; do
  "$tool" pathconf "$home/.corvilane/path.conf" "$count" "$root/dst-qel"
  rm -f "$root"/sq* "$root/srss"
  for ((i = 0; i <= scale_runs; i++)); do
    time_qel "$root/one" "$root/sq" "$root/srss"
    if [ "$i" -eq 0 ]; then rm -f "$root"/sq*; fi
  done
  q=$(median "$root/sq")
  printf 'scale items %-8s qel_ms=%s qel_us_per_item=%.1f qel_cpu_us_per_item=%.1f rss_KiB=%s\n' \
    "$count" "$q" "$(per "$q" "$count")" "$(per "$(median "$root/sq.cpu")" "$count")" \
    "$(sort -n "$root/srss" | tail -n 1)"
done
