#!/usr/bin/env bash
# How long a start takes to show its window when the data folder lies on a
# slow or busy card: the program under Xvfb with HOME on a disk made by the
# slow-disk tool, the time from the start to the first window of the program
# (xwininfo), each case on a disk made anew. Needs root, Xvfb and xwininfo.
# Cases:
#   quiet    2 MB/s, a first start (the bundled files are copied)
#   busy     2 MB/s with a copy running onto the card (started 20 s before):
#            a first start, then a quit (SIGTERM) after 15 s and, while that
#            end still waits for the card, a second start
#   held     1 B/s (a card that writes nothing): a first start
#
#   bench/start_window.sh [program] [case...]    (default: every case)
#   SLOW_DISK=path   the slow-disk tool (default /work/shared/tools/slow-disk)
#   BOUND=s          how long a start is given to show its window (default 240)
set -uo pipefail
program=${1:-build/release/tarvelo}
shift || true
cases=("$@")
[ ${#cases[@]} -gt 0 ] || cases=(quiet busy held)
tool=${SLOW_DISK:-/work/shared/tools/slow-disk}
bound=${BOUND:-240}
[ -x "$program" ] || { echo "no program at $program (scripts/run builds it)" >&2; exit 2; }
program=$(realpath "$program")
work=$(mktemp -d /tmp/start_window_XXXXXX)
dir=$work/card
display=:$((90 + RANDOM % 9))
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null; done
  "$tool" down "$dir" >/dev/null 2>&1
  [ -n "${xvfb:-}" ] && kill "$xvfb" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

Xvfb "$display" -screen 0 1920x1080x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.1; done

card() {  # <rate B/s> <copy on|off>
  "$tool" down "$dir" >/dev/null 2>&1
  "$tool" up "$dir" --size 1024 --rate "$1" >/dev/null || exit 1
  mkdir -p "$dir/home"
  if [ "$2" = on ]; then "$tool" copy "$dir" on >/dev/null; sleep 20; fi
}

# Whether the program of that pid shows a window (its _NET_WM_PID): a start
# held in the kernel before keeps its window after its end.
window_of() {  # <pid>
  local id
  for id in $(xwininfo -display "$display" -root -tree 2>/dev/null | awk '/"Tarvelo/ {print $1}'); do
    xprop -display "$display" -id "$id" _NET_WM_PID 2>/dev/null | grep -q "= $1\$" && return 0
  done
  return 1
}

# Starts the program and prints the seconds to its window ("none after N s").
start() {  # <label>
  local now
  t0=$(date +%s.%N)
  HOME=$dir/home DISPLAY=$display ALSOFT_DRIVERS=null "$program" >"$work/$1.out" 2>&1 &
  pids+=($!)
  last=$!
  while :; do
    now=$(date +%s.%N)
    if window_of "$last"; then
      printf '%s: window after %.1f s\n' "$1" "$(echo "$now - $t0" | bc)"
      return 0
    fi
    if ! kill -0 "$last" 2>/dev/null; then
      printf '%s: the program ended without a window after %.1f s\n' "$1" "$(echo "$now - $t0" | bc)"
      return 1
    fi
    if (( $(echo "$now - $t0 > $bound" | bc) )); then
      printf '%s: no window after %s s\n' "$1" "$bound"
      return 1
    fi
    sleep 0.1
  done
}

# What the window's status line said, as the log has it.
said() {
  grep -aE 'bundled|recording|work files|answer|zeros' "$dir/home/Tarvelo/TARVELO_LOG.TXT" 2>/dev/null | tail -5
  grep -aE 'answer' "$work"/*.out 2>/dev/null | tail -3
}

# How long after the start the log says the bundled files are in place.
in_place() {  # <label>
  local i
  for i in $(seq "$bound"); do
    if grep -aq 'bundled files are in place' "$dir/home/Tarvelo/TARVELO_LOG.TXT" 2>/dev/null; then
      printf '%s: bundled files in place after %.1f s\n' "$1" "$(echo "$(date +%s.%N) - $t0" | bc)"
      return 0
    fi
    sleep 1
  done
  printf '%s: bundled files not in place after %s s\n' "$1" "$bound"
}

for c in "${cases[@]}"; do
  echo "== $c"
  case "$c" in
    quiet) card 2000000 off; start first && in_place first; said ;;
    busy)
      card 2000000 on
      start first
      sleep 15
      kill -TERM "$last"
      sleep 1
      start second
      sleep 30; said ;;
    held) card 1 off; start first; sleep 3; said ;;
    *) echo "unknown case $c" >&2 ;;
  esac
  for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null; done
  pids=()
  sleep 1
done
