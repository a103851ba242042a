#!/usr/bin/env bash
# What an idle program costs: starts the program under Xvfb (1920x1080), lets it
# settle, then reads every thread's CPU time from /proc over a quiet stretch and
# counts the frames it showed. Scenarios: window open with output off; output on
# with nothing playing; output on with one on-screen key held on a demo synth,
# so that the note sounds and the scope runs; the pointer sweeping over the
# on-screen keys (a frame's worth of change every frame); the pointer moving
# over the synth plane of a demo, output off (hover: nothing on the plane
# changes); the same program headless (TARVELO_HEADLESS=1), idle; and the held
# key once per visualization
# mode of the plane (0 off, 1 waveform, 2 X-Y, 3 mirror, 4 spectrum), the mode
# given by the settings file the program starts with.
#
#   bench/idle_cost.sh [program]        (default: build/release/tarvelo)
#   QUIET_SECONDS=20 SETTLE_SECONDS=6   (environment, optional)
#   CASES="off on note sweep hover headless"
#                                       (the scenarios to run, default all; the
#                                        visualization modes are vis0 to vis4,
#                                        or "modes" for all five)
#   SOUND_DRIVER=null                   (OpenAL Soft's silent driver instead of its
#                                        wave writer, which cannot rest while the
#                                        output is off: it is never paused)
#   DEMO_SYNTH=<file.tarvelo>           (the held-key case's synth; default the
#                                        demo "01 Poly Saw Pad" beside the program)
#
# Needs Xvfb and xdotool; frames are counted with perf uprobes when perf can set
# them (as root), else the FPS column reads "-". The held-key case also gives the
# loudest sample of its last second of sound (python3), so a silent note shows. Sound goes to OpenAL Soft's wave
# writer, which plays in real time without a sound card.
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
prog="$(realpath "${1:-$root/build/release/tarvelo}")"
quiet="${QUIET_SECONDS:-20}"
settle="${SETTLE_SECONDS:-6}"
work="$(mktemp -d /tmp/tarvelo_bench_XXXXXX)"
demo="${DEMO_SYNTH:-}"
if [ -z "$demo" ]; then
  for f in "$(dirname "$prog")"/SYNTHS/DEMO*/"01 Poly Saw Pad.tarvelo"; do
    [ -f "$f" ] && demo="$f"
  done
fi
display=""
for n in 71 72 73 74 75 76 77 78 79; do
  if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then display=":$n"; break; fi
done
[ -n "$display" ] || { echo "no free X display number" >&2; exit 1; }
xvfb=""
copy_event=""

cleanup() {
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null || true
  [ -n "$copy_event" ] && perf probe -q -d "$copy_event" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

cat >"$work/alsoft.conf" <<EOF
[general]
drivers = ${SOUND_DRIVER:-wave}
frequency = 48000
period_size = 240
[wave]
file = $work/out.wav
EOF

Xvfb "$display" -screen 0 1920x1080x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.1; done
sleep 0.5

# Frames shown: the calls that copy changed pixels to the visible page and send
# them to the window (headless: to the page only): ScreenCopyRuns, or in builds
# before it ScreenCopyRects. The probe's name is this run's own, so that
# benchmarks running at the same time do not remove each other's.
add_probe() {  # <event name> <perf probe arguments...>
  local event=$1
  shift
  perf probe -q -d "$event" 2>/dev/null || true
  if perf probe -q "$@" 2>/dev/null; then echo "$event"; fi
}
copy="$( (nm "$prog" 2>/dev/null || true) | awk '/ T _ZN8platform14ScreenCopyRunsEiiPKNS_10ScreenRectEiS2_i$/{print $1}' | head -1)"
[ -n "$copy" ] || copy="$( (nm "$prog" 2>/dev/null || true) | awk '/ T _ZN8platform15ScreenCopyRectsEiiPKNS_10ScreenRectEi$/{print $1}' | head -1)"
if [ -n "$copy" ]; then
  copy_event="$(add_probe "probe_$(basename "$prog"):shown$$" -x "$prog" -a "shown$$=0x$copy" || true)"
fi

# utime + stime (clock ticks) of every thread, as "name tid|ticks".
ticks() {
  local pid=$1
  for t in /proc/"$pid"/task/*; do
    [ -r "$t/stat" ] || continue
    # comm may hold blanks: take the fields after its closing parenthesis.
    sed -E 's/^([0-9]+) \((.*)\) (.*)$/\2 \1|\3/' "$t/stat" | awk -F'|' '{split($2, f, " "); print $1 "|" f[12] + f[13]}'
  done | LC_ALL=C sort -t'|' -k1,1
}

report() {
  local name=$1 before=$2 after=$3 frames=$4 xb=$5 xa=$6
  local hz
  hz="$(getconf CLK_TCK)"
  echo "== $name ($quiet s)"
  LC_ALL=C join -t'|' -a2 -e0 -o '0,1.2,2.2' "$before" "$after" |
    awk -F'|' -v hz="$hz" -v q="$quiet" '{d = ($3 - $2) / hz / q * 100; tot += d;
      if (d >= 0.05) printf "   %-22s %6.1f %%\n", $1, d} END {printf "   %-22s %6.1f %%\n", "total", tot}'
  awk -v a="$xb" -v b="$xa" -v hz="$hz" -v q="$quiet" \
    'BEGIN {printf "   %-22s %6.1f %%\n", "(Xvfb server)", (b - a) / hz / q * 100}'
  if [ "$frames" = "-" ]; then echo "   FPS -"; else
    awk -v f="$frames" -v q="$quiet" 'BEGIN {printf "   FPS %.1f\n", f / q}'; fi
}

xvfb_ticks() { awk '{print $14 + $15}' /proc/"$xvfb"/stat; }

count_frames() {
  local pid=$1 event=$2
  if [ -z "$event" ]; then sleep "$quiet"; echo "-"; return; fi
  perf stat -x, -e "$event" -p "$pid" sleep "$quiet" 2>&1 | awk -F, 'NR==1 {print $1 + 0}'
}

# The loudest sample of the last second the wave writer received, in full
# scale; "-" when it cannot be read.
peak_of_last_second() {
  python3 - "$work/out.wav" 2>/dev/null <<'PY' || echo "-"
import struct, sys
raw = open(sys.argv[1], "rb").read()
at, fmt, bits, chans, rate, data = 12, 1, 16, 2, 48000, b""
while at + 8 <= len(raw):
    tag, size = raw[at:at + 4], struct.unpack("<I", raw[at + 4:at + 8])[0]
    body = raw[at + 8:at + 8 + size] if tag != b"data" else raw[at + 8:]
    if tag == b"fmt ":
        fmt, chans, rate = struct.unpack("<HHI", body[:8])
        bits = struct.unpack("<H", body[14:16])[0]
        if fmt == 0xFFFE: fmt = struct.unpack("<H", body[24:26])[0]
    if tag == b"data":
        data = body
        break
    at += 8 + size + (size & 1)
step = bits // 8
tail = data[-rate * chans * step:]
tail = tail[:len(tail) - len(tail) % step]
n = len(tail) // step
if fmt == 3 and bits == 32: vals = struct.unpack("<%df" % n, tail)
elif bits == 16: vals = [v / 32768.0 for v in struct.unpack("<%dh" % n, tail)]
elif bits == 32: vals = [v / 2147483648.0 for v in struct.unpack("<%di" % n, tail)]
else: raise SystemExit(1)
print("%.3f" % max((abs(v) for v in vals), default=0.0))
PY
}

# run <name> <headless 0|1> <action> [synth file] [visualization mode]
# Moves the pointer to and fro between x = FROM and TO on row Y for the whole
# stretch, in the background (its process in the caller's `sweeper`).
sweep_pointer() {  # <from> <to> <y>
  (
    end=$((SECONDS + quiet + 2))
    while [ $SECONDS -lt $end ]; do
      for x in $(seq "$1" 12 "$2") $(seq "$2" -12 "$1"); do
        DISPLAY="$display" xdotool mousemove "$x" "$3"
        sleep 0.01
      done
    done
  ) &
  sweeper=$!
}

run() {
  local name=$1 headless=$2 action=$3 synth=${4:-} mode=${5:-}
  local home="$work/home_$RANDOM"
  mkdir -p "$home"
  if [ -n "$mode" ]; then
    # The program's default settings with the mode the switch would have kept.
    mkdir -p "$home/Tarvelo"
    sed -E "s/^\"SCOPE\",[0-9]+/\"SCOPE\",$mode/" "$(dirname "$prog")/lang.txt" >"$home/Tarvelo/Settings.txt"
  fi
  local args=()
  [ -n "$synth" ] && args=("$synth")
  (
    export HOME="$home" XDG_CONFIG_HOME="$home" ALSOFT_CONF="$work/alsoft.conf"
    export DISPLAY="$display" TARVELO_EXIT_AFTER_MS=$(((settle + quiet + 5) * 1000))
    if [ "$headless" = 1 ]; then export TARVELO_HEADLESS=1; fi
    cd "$(dirname "$prog")"
    exec "$prog" "${args[@]}" >"$work/log_$name.txt" 2>&1
  ) &
  local pid=$!
  local sweeper=""
  sleep "$settle"
  case "$action" in
    output) DISPLAY="$display" xdotool mousemove 817 22 click 1; sleep 2 ;;
    note)
      DISPLAY="$display" xdotool mousemove 817 22 click 1; sleep 1
      DISPLAY="$display" xdotool mousemove 125 1020 mousedown 1; sleep 1 ;;
    sweep)
      # The pointer sweeps to and fro over the on-screen keys for the whole
      # stretch: every move changes the key under it, so every frame has work.
      DISPLAY="$display" xdotool mousemove 817 22 click 1; sleep 1
      sweep_pointer 140 1200 1020
      sleep 1 ;;
    hover)
      # Across the plane below the demo's modules, to and fro, output off.
      sweep_pointer 700 1300 820
      sleep 1 ;;
  esac
  local event="$copy_event"
  ticks "$pid" >"$work/before"
  local xb
  xb="$(xvfb_ticks)"
  local frames
  frames="$(count_frames "$pid" "$event")"
  ticks "$pid" >"$work/after"
  report "$name" "$work/before" "$work/after" "$frames" "$xb" "$(xvfb_ticks)"
  [ "$action" = note ] && echo "   sound peak (last 1 s) $(peak_of_last_second)"
  [ "$action" = note ] && DISPLAY="$display" xdotool mouseup 1 || true
  if [ -n "$sweeper" ]; then kill "$sweeper" 2>/dev/null || true; wait "$sweeper" 2>/dev/null || true; fi
  # The stream grows 1 ms at every underrun; it settles (and says so) after 10 s
  # without one: "set to 10ms" means no underrun at the 10 ms buffer.
  cat "$work/log_$name.txt" "$home/Tarvelo/TARVELO_LOG.TXT" 2>/dev/null |
    grep -a -i -E "overrun|delay in audio|buffer length is now" | sort -u | sed 's/^/   log: /' | head -5 || true
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

wanted() {
  local cases=" ${CASES:-off on note sweep hover headless vis0 vis1 vis2 vis3 vis4} "
  cases="${cases/ modes / vis0 vis1 vis2 vis3 vis4 }"
  case "$cases" in *" $1 "*) return 0 ;; *) return 1 ;; esac
}

echo "program: $prog"
wanted off && run "window, output off" 0 none
wanted on && run "window, output on, silent" 0 output
if wanted note; then
  if [ -n "$demo" ]; then
    echo "held-key synth: $demo"
    run "window, one key held on a demo, scope" 0 note "$demo"
  else
    echo "== window, one key held on a demo, scope: no demo synth beside the program (DEMO_SYNTH)" >&2
  fi
fi
wanted sweep && run "window, pointer sweeping the keys" 0 sweep
if wanted hover; then
  if [ -n "$demo" ]; then
    run "window, pointer moving over the plane of a demo" 0 hover "$demo"
  else
    echo "== window, pointer over the plane: no demo synth beside the program (DEMO_SYNTH)" >&2
  fi
fi
wanted headless && run "headless, idle" 1 none
mode_names=(off waveform X-Y mirror spectrum)
for mode in 0 1 2 3 4; do
  wanted "vis$mode" || continue
  if [ -z "$demo" ]; then
    echo "== visualization mode $mode: no demo synth beside the program (DEMO_SYNTH)" >&2
    continue
  fi
  run "one key held, visualization $mode (${mode_names[$mode]})" 0 note "$demo" "$mode"
done
exit 0
