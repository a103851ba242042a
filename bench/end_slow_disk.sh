#!/usr/bin/env bash
# The program's end on a stick, as a logout meets it: bench_end_slow_disk runs
# the program (HOME, its data folder and the session on the stick) with a take
# of its output, a SIGTERM comes SECONDS into the take, and this times the end
# (signal to exit), gives the exit code, what the take's file holds against
# what its header names, and every report made after the signal (what the
# status line said). Each case on a stick made anew. Needs root. Cases:
#   busy      2 MB/s with a copy running onto it, SIGTERM 60 s into the take
#   busysave  the same with a Ctrl+S 2 s before the signal
#   pullwait  2 MB/s with a copy, SIGTERM 20 s in, the stick pulled 1 s later
#   pullsave  2 MB/s with a copy, Ctrl+S 10 s in, the stick pulled 0.3 s later,
#             SIGTERM 30 s in
#   stuck     2 MB/s, 15 s into the take the stick writes 1 B/s, SIGTERM at 20 s
#
#   bench/end_slow_disk.sh BENCH_PROGRAM PROGRAM_DIR [case...]
#   SLOW_DISK=path  the slow-disk tool; DIR=path the stick's mount point
#   (default /tmp/end-disk); DISPLAY set: the window (else headless);
#   MAXWAIT=s  an end still running that long after the signal is killed (300)
set -uo pipefail
program=$(realpath "$1"); programDir=$(realpath "$2"); shift 2
cases=("$@")
[ ${#cases[@]} -gt 0 ] || cases=(busy pullwait pullsave stuck)
tool=${SLOW_DISK:-/work/shared/tools/slow-disk}
dir=${DIR:-/tmp/end-disk}
logs=${LOGS:-/tmp/end_slow_disk_logs}
mkdir -p "$logs"
trap '"$tool" down "$dir" >/dev/null 2>&1' EXIT

stick() {  # <rate> <copy on|off>
  "$tool" down "$dir" >/dev/null 2>&1
  "$tool" up "$dir" --size 1024 --rate "$1" --pullable >/dev/null || exit 1
  mkdir -p "$dir/home/Tarvelo/SYNTHS"
  sed 's/"AUTO-SAVE","FALSE"/"AUTO-SAVE","TRUE"/' "$programDir/lang.txt" > "$dir/home/Tarvelo/Settings.txt"
  demo=$(ls "$programDir"/SYNTHS/*/*.tarvelo | head -1)
  cp "$demo" "$dir/home/Tarvelo/SYNTHS/mine.tarvelo"
  # A first run puts the bundled files in place while the stick is quiet.
  env HOME="$dir/home" TARVELO_HEADLESS=1 SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy ALSOFT_DRIVERS=null \
    TARVELO_EXIT_AFTER_MS=500 "$programDir/tarvelo" >/dev/null 2>&1
  sync -f "$dir/home/Tarvelo/SYNTHS/mine.tarvelo"
  if [ "$2" = on ]; then "$tool" copy "$dir" on >/dev/null; sleep 5; fi
}

header() {  # <wav>
  echo "take: $(python3 "$(dirname "$0")/take_header.py" "$1")"
}

run() {  # <case> <signal s> [bench options] ; ACTIONS run beside: "at-seconds command"
  local name=$1 seconds=$2; shift 2
  echo "== $name"
  local env=(HOME="$dir/home" SDL_AUDIODRIVER=dummy ALSOFT_DRIVERS=null)
  [ -n "${DISPLAY:-}" ] || env+=(TARVELO_HEADLESS=1 SDL_VIDEODRIVER=dummy)
  local out="$logs/$name.txt"
  env "${env[@]}" "$program" "$programDir" "$dir/home/Tarvelo/SYNTHS/mine.tarvelo" "$seconds" "$@" \
    > "$out" 2>&1 &
  local pid=$!
  local start; start=$(date +%s.%N)
  while ! grep -q '^take t=0' "$out" 2>/dev/null && kill -0 $pid 2>/dev/null; do sleep 0.05; done
  local take; take=$(date +%s.%N)
  for a in "${ACTIONS[@]}"; do
    ( at=${a%% *}; cmd=${a#* }; sleep "$at"; eval "$cmd" ) &
  done
  while ! grep -q '^signal' "$out" 2>/dev/null && kill -0 $pid 2>/dev/null; do sleep 0.05; done
  local sig; sig=$(date +%s.%N)
  local gone="" ended=""
  while kill -0 $pid 2>/dev/null; do
    sleep 0.1
    # Ended, but threads a disk holds in the kernel keep the process from its parent.
    if [ -z "$ended" ] && [ "$(awk '{print $3}' /proc/$pid/stat 2>/dev/null)" = Z ]; then
      ended=$(date +%s.%N)
      python3 -c "print(f'the program ended {$ended - $sig:.1f} s after the signal; its threads held in the kernel: $(ls /proc/$pid/task 2>/dev/null | wc -l)')"
    fi
    if [ -z "$gone" ] && python3 -c "import sys; sys.exit(0 if $(date +%s.%N) - $sig > 90 else 1)"; then
      gone=1; echo "still running 90 s after the signal (a desktop kills it here)"
    fi
    if python3 -c "import sys; sys.exit(0 if $(date +%s.%N) - $sig > ${MAXWAIT:-300} else 1)"; then
      echo "still running ${MAXWAIT:-300} s after the signal: killed"; kill -9 $pid; break
    fi
  done
  wait $pid; local rc=$?
  local end; end=$(date +%s.%N)
  wait
  python3 -c "print(f'exit {$rc}: the end took {$end - $sig:.1f} s after the signal ({$sig - $take:.1f} s into the take)')"
  grep -E '^(ctrl-s|signal)' "$out"
  # The window's thread says "Ending on" as it takes the signal: a disk it waited on holds that.
  awk '/^signal t=/{sub("t=","",$2); s=$2} /^report t=.* Ending on /{sub("t=","",$2); if (s != "") printf "the window took the signal %.1f s after it\n", $2 - s; exit}' "$out"
  # The status line from a Ctrl+S on, and every report after the signal.
  awk '/^ctrl-s/{s=1} /^signal/{on=1} (s && /^status/) || (on && /^report/)' "$out" |
    grep -vE 'Terminating|Cleaning memory|Audio thread terminated|Waiting for audio|delay in audio' | head -60
  local wav; wav=$(ls "$dir/home/Tarvelo/AUDIO/"*.wav 2>/dev/null | head -1)
  if [ -n "$wav" ] && [ -r "$wav" ] && header "$wav" 2>/dev/null; then :; else echo "take: not readable (the stick is gone)"; fi
  [ -e "$dir/home/Tarvelo/SAVES_UNFINISHED.TXT" ] && echo "note: $(tr '\n' ' ' < "$dir/home/Tarvelo/SAVES_UNFINISHED.TXT")"
  ACTIONS=()
}

ACTIONS=()
for c in "${cases[@]}"; do
  case "$c" in
    busy) stick 2000000 on; run busy 60;;
    busysave) stick 2000000 on; run busysave 60 --save 58;;
    pullwait) stick 2000000 on; ACTIONS=("21 $tool pull $dir >/dev/null"); run pullwait 20;;
    pullsave) stick 2000000 on; ACTIONS=("10.3 $tool pull $dir >/dev/null"); run pullsave 30 --save 10;;
    stuck) stick 2000000 off; ACTIONS=("15 $tool rate $dir 1 >/dev/null"); run stuck 20;;
    *) echo "unknown case $c" >&2;;
  esac
done
