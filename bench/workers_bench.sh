#!/usr/bin/env bash
# The folder copy with its workers, side by side with cp -a and rsync -a in one run.
#
# Usage: bench/workers_bench.sh [options]
#   --build-dir DIR  build (Release) bench_tool and latency_fs into DIR (default build/bench)
#   --no-build       take the binaries already built in --build-dir
#   --before TOOL    a bench_tool of an earlier build, timed beside this one ("before" rows)
#   --root DIR       where the trees are made (default: a new folder under /tmp); removed at the end
#   --runs N         timed rounds per tree (default 5), after one untimed warm-up; medians shown
#   --rows LIST      of spread flat big latency (default all four)
#   --smoke          tiny trees, one round: checks that everything runs, says nothing of speed
#
# Trees: spread = 20,000 files of 1 to 16 KiB in 200 folders; flat = the same in one folder;
# big = 8 files of 128 MiB; latency = 2,000 such small files in 20 folders read through a
# pass-through file system that adds 1 ms to every call (latency_fs; needs /dev/fuse), copied
# with 1, 2, 4 and 8 workers. Each round times every tool on a fresh copy and, for spread and
# flat, a re-run over the copy it just made (cp -a over cp's, rsync -a over rsync's); the order
# of the tools turns from round to round, everything is synced before each timed run, caches
# stay warm. "qel" is the engine alone (bench_tool copy) with its default workers, "qel1" with
# one, "before" the earlier build given.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build_dir="$repo/build/bench"
build=1
before=""
root=""
runs=5
rows="spread flat big latency"
smoke=0
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build_dir=$(realpath -m "$2"); shift 2 ;;
    --no-build) build=0; shift ;;
    --before) before=$(realpath "$2"); shift 2 ;;
    --root) root=$(realpath -m "$2"); shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --rows) rows=$2; shift 2 ;;
    --smoke) smoke=1; runs=1; shift ;;
    *) echo "workers_bench.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
if [ "$build" -eq 1 ]; then
  cmake -S "$repo" --preset bench -B "$build_dir" >/dev/null
  cmake --build "$build_dir" --target bench_tool >/dev/null
  cmake --build "$build_dir" --target latency_fs >/dev/null 2>&1 || true
fi
tool="$build_dir/bench/bench_tool"
latency_fs="$build_dir/bench/latency_fs"
command -v rsync >/dev/null || { echo "workers_bench.sh: rsync is missing" >&2; exit 2; }
[ -z "$root" ] && root=$(mktemp -d /tmp/qelworkers.XXXXXX)
mkdir -p "$root"
mounted=""
cleanup() {
  if [ -n "$mounted" ]; then fusermount3 -u "$mounted" 2>/dev/null || umount "$mounted" || true; fi
  rm -rf "$root"
}
trap cleanup EXIT

# One timed run of tool $1 from $2 into $3; prints the wall time in ms.
run() {
  local which=$1 from=$2 to=$3 result
  case "$which" in
    qel) result=$("$tool" time -- "$tool" copy "$from" "$to" "$root/records") ;;
    qel[0-9]*) result=$(QELRESTORE_COPY_THREADS=${which#qel} "$tool" time -- "$tool" copy "$from" "$to" "$root/records") ;;
    before) result=$("$tool" time -- "$before" copy "$from" "$to") ;;
    cp) result=$("$tool" time -- cp -a "$from/." "$to/") ;;
    rsync) result=$("$tool" time -- rsync -a "$from/" "$to/") ;;
  esac
  set -- $result
  [ "$3" = 0 ] || { echo "workers_bench.sh: $which failed on $from" >&2; exit 1; }
  echo "$1"
}

median() { sort -n "$1" | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

# Times every tool in $3.. on the tree $2 (label $1); with rerun=1 a re-run too.
bench() {
  local label=$1 source=$2 rerun=$3
  shift 3
  local tools=("$@") data="$root/times" round i
  rm -rf "$data" && mkdir -p "$data"
  for ((round = 0; round <= runs; round++)); do
    for ((i = 0; i < ${#tools[@]}; i++)); do
      local which=${tools[$(((i + round) % ${#tools[@]}))]} dst="$root/dst"
      rm -rf "$dst" "$root/records" && mkdir -p "$dst" && sync
      local fresh again=""
      fresh=$(run "$which" "$source" "$dst")
      if [ "$rerun" -eq 1 ]; then sync && again=$(run "$which" "$source" "$dst"); fi
      if [ "$round" -gt 0 ]; then
        echo "$fresh" >>"$data/$which.fresh"
        [ -z "$again" ] || echo "$again" >>"$data/$which.rerun"
      fi
    done
  done
  local kinds=(fresh) kind which
  [ "$rerun" -eq 1 ] && kinds+=(rerun)
  for kind in "${kinds[@]}"; do
    local cp rsync
    cp=$(median "$data/cp.$kind")
    rsync=$(median "$data/rsync.$kind")
    for which in "${tools[@]}"; do
      local ms
      ms=$(median "$data/$which.$kind")
      printf '%-8s %-6s %-7s %9s ms  %5s x cp -a  %5s x rsync -a\n' "$label" "$kind" "$which" "$ms" \
        "$(ratio "$ms" "$cp")" "$(ratio "$ms" "$rsync")"
    done
  done
  rm -rf "$data" "$root/dst"
}

files=20000 big=128M latency_files=2000
[ "$smoke" -eq 1 ] && files=200 big=1M latency_files=40
echo "copy workers benchmark: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg), kernel $(uname -r), $(df -T "$root" | awk 'NR == 2 { print $2 }') under $root"
echo "rounds: $runs (median) after a warm-up, caches warm; $(cp --version | head -n 1); $(rsync --version | head -n 1)"
qels=(qel qel1)
[ -n "$before" ] && qels+=(before)
for row in $rows; do
  case "$row" in
    spread)
      "$tool" files "$root/tree" "$files" 200 1K 16K 1
      bench spread "$root/tree" 1 "${qels[@]}" cp rsync ;;
    flat)
      "$tool" files "$root/tree" "$files" 1 1K 16K 1
      bench flat "$root/tree" 1 "${qels[@]}" cp rsync ;;
    big)
      "$tool" big "$root/tree" 8 "$big"
      bench big "$root/tree" 0 "${qels[@]}" cp rsync ;;
    latency)
      if [ ! -x "$latency_fs" ] || ! [ -c /dev/fuse ]; then
        echo "latency: skipped (no latency_fs built, or no /dev/fuse)"
        continue
      fi
      "$tool" files "$root/tree" "$latency_files" 20 1K 16K 1
      mkdir -p "$root/mnt"
      if ! "$latency_fs" "$root/tree" "$root/mnt" 1000 2>"$root/fuse.err"; then
        echo "latency: skipped (the file system could not be mounted: $(cat "$root/fuse.err"))"
        continue
      fi
      mounted="$root/mnt"
      bench latency "$root/mnt" 0 qel1 qel2 qel4 qel8 cp rsync
      fusermount3 -u "$root/mnt" && mounted="" ;;
    *) echo "workers_bench.sh: no row $row" >&2; exit 2 ;;
  esac
  rm -rf "${root:?}/tree"
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
