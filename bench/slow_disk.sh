#!/usr/bin/env bash
# A take and the end's wait on a slow or busy USB stick: bench_record_sync
# records onto ext4 on a loop device whose writes the blkio throttle limits
# (the slow-disk tool), each case on a disk made anew. Needs root. Cases:
#   slow     100 kB/s (slower than the sound's 192 kB/s), a 90 s take: it may
#            end "too slow", but only after the disk was seen that slow for a while
#   slowend  100 kB/s, a 20 s take, then the quit's wait: it should wait while
#            the disk writes and end with the take whole
#   busy2    2 MB/s with a copy running onto the stick, a 90 s take and the quit;
#            the copy stops 30 s after the take's end (as a copy of a few
#            hundred MB would), so the quit waits behind it meanwhile
#   busy4    4 MB/s with a copy, likewise
#   busysave 2 MB/s with a copy from 5 s before it, a 300 s take, a 3-MB save
#            every 30 s of it (the auto-save and Ctrl+S), and the quit: the take
#            should end only when it is ended (the disk ten times the sound's pace)
#   The end's lines (each second: the count, the sound unconfirmed, where the
#   sync thread waits) show whether the count falls a second a second.
#   cut      a quiet stick, a power cut 20 s into a 30 s take: what the image holds
#
#   bench/slow_disk.sh [bench program] [case...]     (default: every case)
#   SLOW_DISK=path   the slow-disk tool (default ../shared/tools/slow-disk from the worktree's parent)
set -uo pipefail
program=${1:-build/rel/bench/bench_record_sync}
shift || true
cases=("$@")
[ ${#cases[@]} -gt 0 ] || cases=(slow slowend busy2 busy4 busysave cut)
tool=${SLOW_DISK:-/work/shared/tools/slow-disk}
[ -x "$program" ] || { echo "no bench program at $program (build bench_record_sync, -DTARVELO_BENCH=ON)" >&2; exit 2; }
work=$(mktemp -d /tmp/slow_disk_XXXXXX)
logs=${LOGS:-/tmp/slow_disk_logs}  # each case's whole log, kept
mkdir -p "$logs"
dir=$work/stick
trap '"$tool" down "$dir" >/dev/null 2>&1; umount "$work/cut" 2>/dev/null; rm -rf "$work"' EXIT

# <rate B/s> <copy on|off>: a fresh stick
stick() {
  "$tool" down "$dir" >/dev/null 2>&1
  "$tool" up "$dir" --size 1024 --rate "$1" >/dev/null || exit 1
  if [ "$2" = on ]; then "$tool" copy "$dir" on >/dev/null; sleep 5; fi
}

# What a recording's header names against what its file holds.
header() {  # <wav>
  python3 "$(dirname "$0")/take_header.py" "$1"
}

run() {  # <case> <seconds> [bench options]
  local name=$1 seconds=$2
  shift 2
  echo "== $name"
  local t0=$SECONDS
  "$program" "$dir" "$seconds" "$@" > "$work/$name.log" 2>&1
  local rc=$?
  # Every status line of the end, and each tenth second's line of the take.
  cp "$work/$name.log" "$logs/"
  grep -E '^t=([0-9]*0)s|ended at|^ *[0-9.]+s \[|^ *[0-9.]+s count|saves left|returned|recording:' "$work/$name.log"
  echo "-- $name: exit $rc, $((SECONDS - t0)) s"
}

for c in "${cases[@]}"; do
  case "$c" in
    slow) stick 100000 off; run slow 90 --quit;;
    slowend) stick 100000 off; run slowend 20 --quit;;
    busy2) stick 2000000 on; (sleep 120; "$tool" copy "$dir" off >/dev/null) & run busy2 90 --quit; wait;;
    busy4) stick 4000000 on; (sleep 120; "$tool" copy "$dir" off >/dev/null) & run busy4 90 --quit; wait;;
    busysave) stick 2000000 on; (sleep 330; "$tool" copy "$dir" off >/dev/null) & run busysave 300 --quit --saves 30:3000000; wait;;
    cut)
      stick 0 off
      echo "== cut"
      "$program" "$dir" 30 > "$work/cut.log" 2>&1 &
      pid=$!
      sleep 20
      "$tool" cut "$dir" "$work/cut.img" >/dev/null
      wait $pid
      mkdir -p "$work/cut"
      mount -o loop,ro "$work/cut.img" "$work/cut" 2>/dev/null || mount -o loop "$work/cut.img" "$work/cut"
      wav=$(ls "$work/cut/AUDIO/"*.wav 2>/dev/null | head -1)
      if [ -n "$wav" ]; then echo "at the cut (20 s into the take): $(header "$wav")"; else echo "at the cut: no recording"; fi
      umount "$work/cut"; rm -f "$work/cut.img"
      grep 'recording:' "$work/cut.log";;
    *) echo "unknown case $c" >&2;;
  esac
done
