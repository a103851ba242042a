#!/usr/bin/env bash
# The saver and the quit's wait for it on a slow, a busy and a cut disk, with
# bench_save_slow_disk on a disk made by slow-disk (root). Each case makes its
# disk anew at MNT and prints the driver's lines.
#
#   bench/save_slow_disk.sh [driver] [mount point]
#     (defaults build/rel/bench/bench_save_slow_disk, /tmp/slowsave)
#   CASES="slow24 stick busy repeat cut"  the cases to run (default all)
set -euo pipefail
driver=${1:-build/rel/bench/bench_save_slow_disk}
mnt=${2:-/tmp/slowsave}
tool=${SLOW_DISK:-/work/shared/tools/slow-disk}
cases=${CASES:-"slow24 stick busy repeat cut"}
down() { "$tool" down "$mnt" >/dev/null 2>&1 || true; }
trap down EXIT

run() {  # <title> <rate> <copy on|off> driver args...
  local title=$1 rate=$2 copy=$3
  shift 3
  down
  "$tool" up "$mnt" --size 512 --rate "$rate" >/dev/null
  [ "$copy" = on ] && "$tool" copy "$mnt" on >/dev/null && sleep 3
  echo "== $title"
  "$driver" "$mnt" "$@" || true
  [ "$copy" = on ] && "$tool" copy "$mnt" off >/dev/null
  sync -f "$mnt"  # this disk only: another's may be slow too
}

for c in $cases; do
  case $c in
    # A 24-MB save and a synth behind it on a 2 MB/s disk, the quit's idle 10 s.
    slow24) run "24 MB + 1 MB behind it, 2 MB/s, idle 10 s" 2000000 off --idle 10 big.wav:24000000 mine.tarvelo:1000000 ;;
    # A 40-s take's 7.7 MB and the synth with its backup onto a 100 kB/s stick.
    stick) run "7.7 MB take + synth with backup, 100 kB/s, idle 10 s" 100000 off --idle 10 \
      --old mine.tarvelo:380000 take.wav:7680000 mine.tarvelo:400000@mine_BACKUP.tarvelo ;;
    # A copy runs onto a 4 MB/s stick while the synth is saved.
    busy) run "synth with backup, 4 MB/s with a copy running, idle 10 s" 4000000 on --idle 10 \
      --old mine.tarvelo:2900000 mine.tarvelo:3000000@mine_BACKUP.tarvelo ;;
    # The auto-save handing the same file over faster than the disk takes it.
    repeat) run "a 2 MB save of one file every 2 s for 40 s, 200 kB/s" 200000 off --idle 10 \
      --repeat auto.tarvelo:2000000:2:40 ;;
    # A power cut while a 6 MB save replaces a file: the file is the old or the new, whole.
    cut)
      down
      "$tool" up "$mnt" --size 512 --rate 1000000 >/dev/null
      head -c 3000000 /dev/zero | tr '\0' 'O' >"$mnt/doc.tarvelo"
      sync -f "$mnt"
      echo "== power cut during a 6 MB save over a 3 MB file, 1 MB/s"
      "$driver" "$mnt" --idle 30 doc.tarvelo:6000000 >"$mnt.cut.log" 2>&1 &
      pid=$!
      for at in 2 4 6; do
        sleep 2
        img=$(mktemp /tmp/slowsave_cut_XXXXXX.img)
        "$tool" cut "$mnt" "$img" >/dev/null
        m=$(mktemp -d /tmp/slowsave_cut_m_XXXXXX)
        mount -o loop,ro "$img" "$m" 2>/dev/null || mount -o loop "$img" "$m"
        size=$(stat -c %s "$m/doc.tarvelo" 2>/dev/null || echo none)
        first=$(head -c 1 "$m/doc.tarvelo" 2>/dev/null || true)
        whole=no
        if [ "$size" = 3000000 ] && [ "$(tr -d 'O' <"$m/doc.tarvelo" | wc -c)" = 0 ]; then whole=old; fi
        if [ "$size" = 6000000 ] && [ "$(tr -d 'A' <"$m/doc.tarvelo" | wc -c)" = 0 ]; then whole=new; fi
        told=$(grep -c "^stop rc=0" "$mnt.cut.log" || true)
        echo "cut at ${at}s: doc.tarvelo size=$size first=$first whole=$whole (told saved by then: $told)"
        umount "$m"
        rm -rf "$m" "$img"
      done
      wait $pid || true
      cat "$mnt.cut.log"
      rm -f "$mnt.cut.log"
      ;;
  esac
done
