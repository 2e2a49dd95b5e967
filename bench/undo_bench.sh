#!/usr/bin/env bash
# The keeping restore and its undo, side by side with a plain restore and cp -a, over an
# installation where every file is replaced (default 20,000 files of 4 KiB in 200 folders).
#
# Usage: bench/undo_bench.sh [--build-dir DIR] [--no-build] [--root DIR] [--runs N] [--files N]
#
# Each round, from an installation made afresh as the old tree, caches dropped where allowed
# (root) before every timed step:
#   plain  qelrestore of the backup over it;
#   cp     cp -a of the old tree over what the plain restore left: putting it back by hand;
#   keep   qelrestore with QELRESTORE_KEEP_REPLACED=1 over a fresh old tree;
#   undo   qelrestore with QELRESTORE_UNDO=1 right after it.
# The undone installation is compared with the old tree (contents, modes, times) every round.
# The medians are printed, and keep/plain and undo/cp.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build_dir="$repo/build/bench"
build=1
root=/var/tmp/qelundo
runs=5
files=20000
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build_dir=$(realpath -m "$2"); shift 2 ;;
    --no-build) build=0; shift ;;
    --root) root=$(realpath -m "$2"); shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --files) files=$2; shift 2 ;;
    *) echo "undo_bench.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
if [ "$build" -eq 1 ]; then
  cmake -S "$repo" --preset bench -B "$build_dir" >/dev/null
  cmake --build "$build_dir" --target qelrestore >/dev/null
fi
qel="$build_dir/qelrestore"
[ -x "$qel" ] || { echo "undo_bench.sh: $qel is missing" >&2; exit 2; }

rm -rf "$root"
mkdir -p "$root/home/.corvilane"
trap 'rm -rf "$root"' EXIT
printf 'finalPath=%s/\r\n' "$root/inst" >"$root/home/.corvilane/path.conf"
python3 - "$root" "$files" <<'EOF'
import os, sys
root, files = sys.argv[1], int(sys.argv[2])
for tree, fill in (("old", b"o"), ("backup", b"n")):
    for i in range(files):
        folder = os.path.join(root, tree, "d%03d" % (i % 200))
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "f%05d" % i), "wb") as f:
            f.write(fill * 4096)
EOF
# The backup's files are newer: each one replaces its old one.
find "$root/old" -exec touch -h -d 2020-01-01 {} +

settle() {
  sync
  [ -w /proc/sys/vm/drop_caches ] && echo 3 >/proc/sys/vm/drop_caches || true
}
fresh() {
  rm -rf "$root/inst"
  cp -a "$root/old" "$root/inst"
  settle
}
# ms COMMAND...: runs it and prints its wall time in milliseconds; a failure stops the bench.
ms() {
  local began ended
  began=$(date +%s%N)
  "$@" >/dev/null 2>"$root/err" || { echo "undo_bench.sh: $* failed" >&2; cat "$root/err" >&2; exit 1; }
  ended=$(date +%s%N)
  echo $(((ended - began) / 1000000))
}
qelrun() {
  rm -f "$root/run.log"
  HOME="$root/home" "$qel" "$root/backup" "$root/run.log" "N"
  tail -n 1 "$root/run.log" | grep -q "$1" || { cat "$root/run.log" >&2; return 1; }
}
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

: >"$root/plain" && : >"$root/cp" && : >"$root/keep" && : >"$root/undo"
for ((round = 1; round <= runs; round++)); do
  fresh
  ms qelrun "QEL Restore completed" >>"$root/plain"
  settle
  ms cp -a "$root/old/." "$root/inst/" >>"$root/cp"
  fresh
  QELRESTORE_KEEP_REPLACED=1 ms qelrun "QEL Restore completed" >>"$root/keep"
  settle
  QELRESTORE_UNDO=1 ms qelrun "Undo completed" >>"$root/undo"
  # The old tree and the undone installation: the same names, contents, modes and times.
  if ! diff <(cd "$root/old" && find . -printf '%p %y %m %T@\n' | sort) \
    <(cd "$root/inst" && find . -printf '%p %y %m %T@\n' | sort) >/dev/null ||
    ! diff -r -q "$root/old" "$root/inst" >/dev/null; then
    echo "undo_bench.sh: the undo did not give back the old tree" >&2
    exit 1
  fi
done
plain=$(median <"$root/plain") cp=$(median <"$root/cp")
keep=$(median <"$root/keep") undo=$(median <"$root/undo")
printf '%s files, %s runs, medians in ms\n' "$files" "$runs"
printf 'plain %s  keep %s  keep/plain %s\n' "$plain" "$keep" "$(awk "BEGIN { printf \"%.2f\", $keep / $plain }")"
printf 'cp -a %s  undo %s  undo/cp %s\n' "$cp" "$undo" "$(awk "BEGIN { printf \"%.2f\", $undo / $cp }")"
for row in plain keep cp undo; do printf '%s runs: %s\n' "$row" "$(tr '\n' ' ' <"$root/$row")"; done
