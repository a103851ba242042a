#!/usr/bin/env bash
# What a power cut leaves of an output recording: bench_record_sync records
# into an ext4 file system on a loop device; at each cut time the disk image
# is copied while it records (what the disk held at that moment), and each copy
# is then mounted (its journal replayed, as after a cut) and the recording read:
# its length, the data its header names, and how much of what was written by
# then that is. Needs root (losetup, mount).
#
#   bench/power_cut.sh [bench program] [cut seconds...]   (default 12 25 50)
#   LOAD=1   a large write-back under way beside the recording (--load)
set -euo pipefail
program=${1:-build/bench/bench/bench_record_sync}
shift || true
cuts=("$@")
[ ${#cuts[@]} -gt 0 ] || cuts=(12 25 50)
last=$(printf '%s\n' "${cuts[@]}" | sort -n | tail -1)
work=$(mktemp -d /tmp/power_cut_XXXXXX)
img=$work/disk.img
truncate -s 1G "$img"
mkfs.ext4 -q "$img"
dev=$(losetup -f --show "$img")
mkdir -p "$work/mnt"
mount "$dev" "$work/mnt"
cleanup() {
  umount "$work/mnt" 2>/dev/null || true
  losetup -d "$dev" 2>/dev/null || true
}
trap cleanup EXIT
"$program" "$work/mnt" $((last + 5)) ${LOAD:+--load} >"$work/log" 2>&1 &
pid=$!
start=$(date +%s.%N)
for c in "${cuts[@]}"; do
  sleep "$(echo "$start + $c - $(date +%s.%N)" | bc)"
  written=$(tail -1 "$work/log" | sed -n 's/.*written=\([0-9.]*\)s/\1/p')
  cp --sparse=always "$img" "$work/cut_$c.img"
  echo "$c ${written:-0}" >>"$work/cuts"
done
wait $pid
tail -1 "$work/log"
while read -r c written; do
  mkdir -p "$work/m_$c"
  mount -o loop "$work/cut_$c.img" "$work/m_$c"
  f="$work/m_$c/AUDIO/REC_bench.wav"
  if [ -f "$f" ]; then
    size=$(stat -c %s "$f")
    named=0
    [ "$size" -ge 88 ] && named=$(od -An -tu4 -j84 -N4 "$f" | tr -d ' ')
    echo "cut at ${c}s: ${written}s written, file ${size} bytes, header names $(echo "scale=2; $named / 192000" | bc)s," \
      "file holds $(echo "scale=2; ($size - 88) / 192000" | bc)s"
  else
    echo "cut at ${c}s: ${written}s written, no file"
  fi
  umount "$work/m_$c"
done <"$work/cuts"
cleanup
trap - EXIT
rm -rf "$work"
