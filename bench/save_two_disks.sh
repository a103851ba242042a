#!/usr/bin/env bash
# Saves on a stick that stops writing and saves elsewhere, and an act on a
# file while auto-saves slower than their minute keep coming, with
# bench_save_two_disks on a disk made by slow-disk (root).
#
#   bench/save_two_disks.sh [driver] [mount point] [other folder]
#     (defaults build/rel/bench/bench_save_two_disks, /tmp/savedisks, /tmp/savedisks-other)
#
# A process whose save the stick holds lives on in the kernel until the stick
# writes: the limit is lifted after each case so that it ends.
set -euo pipefail
driver=${1:-build/rel/bench/bench_save_two_disks}
mnt=${2:-/tmp/savedisks}
other=${3:-/tmp/savedisks-other}
tool=${SLOW_DISK:-/work/shared/tools/slow-disk}
down() { "$tool" down "$mnt" >/dev/null 2>&1 || true; }
trap down EXIT
mkdir -p "$other"
down
"$tool" up "$mnt" --size 256 --rate 1 >/dev/null
echo "== a 400-kB save onto a stick writing 1 B/s, then a 1-MB save onto another disk"
out=$(mktemp)
"$driver" disks "$mnt" "$other" >"$out" 2>&1 &
pid=$!
# Its end waits in the kernel for the stick: the limit goes once it has said all.
until grep -q "^stop" "$out"; do sleep 1; done
"$tool" rate "$mnt" 0 >/dev/null
wait $pid || true
cat "$out"
rm -f "$out"
rm -f "$mnt"/*.tarvelo "$other"/*.tarvelo
sync -f "$mnt"
"$tool" rate "$mnt" 200000 >/dev/null
echo "== a 2-MB save every 2 s for 40 s onto 200 kB/s, an act on the file asked at 3 s"
"$driver" act "$mnt" || true
"$tool" rate "$mnt" 0 >/dev/null
