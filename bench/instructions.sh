#!/bin/bash
# Instructions per frame under callgrind, free of a busy machine's noise.
#   bench/instructions.sh BENCH_BUILD_DIR [patches|types|envelope|all] [JOBS]
# patches: the render benchmark's three synths (bench32, fm16, wide64x8) with
#   0, 1 and all their notes, and its two chains of 64 one-voice modules
#   (mixed, Additions): every instruction of the render calls of one second
#   (BM_*Once: a first 10 ms buffer, then 100 more), per frame.
# envelope: Keyboard -> ADSR -> Oscillator with 32 notes (BM_EnvelopeOnce),
#   the envelope's velocity a constant (0) or linked to the Keyboard (1): the
#   ADSR's process function and the whole render, per frame.
# types: every module type's cost (bench_type_cost, JOBS valgrind processes
#   side by side, default 3): per frame, with the Keyboard holding 0, 1 and 32
#   notes,
#     kernel  the type's process function,
#     +frame  the whole synth minus the feed it runs (column feed: k the
#             Keyboard, ke with the envelope, kev with the oscillator voice),
#             alone: what the type adds to a frame, the render loop's work
#             for it included,
#     /voice  (kernel at 32 - kernel at 1) / 31.
#   At 0 notes "+frame" is the type's fixed cost. TYPES="9 29" measures
#   those types alone.
# Needs valgrind (apt-get install valgrind). BENCH_BUILD_DIR is a build made
# with -DTARVELO_BENCH=ON (e.g. build/bench).
set -eu
dir=$1
what=${2:-all}
jobs=${3:-3}
render=$dir/bench/bench_render
types=$dir/bench/bench_type_cost
command -v valgrind >/dev/null || { echo "valgrind is not installed (apt-get install valgrind)" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The cost total of a callgrind dump.
total() { awk '/^(summary|totals):/ {print $2; exit}' "$1"; }

if [ "$what" = patches ] || [ "$what" = all ]; then
  echo "== instructions per frame of the render calls (48,480 frames)"
  for run in SawFiltersOnce/0 SawFiltersOnce/1 SawFiltersOnce/32 Fm16Once/0 Fm16Once/1 Fm16Once/16 \
    Wide64x8Once/0 Wide64x8Once/1 Wide64x8Once/8 MonoChainOnce/64 AdditionChainOnce/64; do
    out=$work/patch.out
    valgrind --tool=callgrind --toggle-collect='Tarvelo::RenderAudio*' --callgrind-out-file="$out" \
      "$render" --benchmark_filter="^BM_$run/" >/dev/null 2>&1
    awk -v n="$run" -v t="$(total "$out")" 'BEGIN {printf "   %-20s %10.0f\n", n, t / 48480}'
  done
fi

if [ "$what" = envelope ] || [ "$what" = all ]; then
  echo "== ADSR with its velocity constant (0) or linked (1), 32 notes: per frame (48,480 frames)"
  printf "   %-20s %10s %10s\n" run ADSR render
  # The ADSR's frames run in its kernel builds (Tarvelo::KernelBuilds<&
  # Tarvelo::ProcessAdsrPolyBody>::Avx2 or ::Plain) where the build makes
  # them, and in Tarvelo::ProcessAdsrPoly itself where it does not: there that
  # name is only the resolver that picks a build at start-up.
  for run in EnvelopeOnce/0 EnvelopeOnce/1; do
    for part in 'Tarvelo::*ProcessAdsrPoly*' 'Tarvelo::RenderAudio*'; do
      valgrind --tool=callgrind --toggle-collect="$part" --callgrind-out-file="$work/env.out" \
        "$render" --benchmark_filter="^BM_$run/" >/dev/null 2>&1
      total "$work/env.out"
    done | paste -s - | awk -v n="$run" '{printf "   %-20s %10.0f %10.0f\n", n, $1 / 48480, $2 / 48480}'
  done
fi

if [ "$what" = types ] || [ "$what" = all ]; then
  declare -a lists
  # Type numbers dealt round-robin to the jobs; -4 .. -1 are the feeds alone.
  # TYPES="9 29" measures those types alone (with the feeds).
  if [ -n "${TYPES:-}" ]; then
    i=0
    for t in -4 -3 -2 -1 $TYPES; do lists[$((i++ % jobs))]+="$t "; done
  else
    for ((t = -4; t < ${TYPES_UP_TO:-43}; ++t)); do lists[$(((t + 4) % jobs))]+="$t "; done
  fi
  pids=()
  for ((j = 0; j < jobs; ++j)); do
    valgrind --tool=callgrind --collect-atstart=no \
      --callgrind-out-file="$work/type.$j.%p" "$types" ${lists[$j]} >"$work/log.$j" 2>&1 &
    pids+=($!)
  done
  for p in "${pids[@]}"; do wait "$p" || { echo "bench_type_cost failed:" >&2; cat "$work"/log.* >&2; exit 1; }; done
  # One line per dump: pass name mode notes frames total.
  for f in "$work"/type.*; do
    desc=$(sed -n 's/^desc: Trigger: Client Request: //p' "$f")
    [ -n "$desc" ] && echo "$desc $(total "$f")"
  done | sort -s -n -k7,7 >"$work/costs"
  grep -h "could not be built" "$work"/log.* >&2 || true
  echo "== instructions per frame of each module type (Keyboard holding 0 / 1 / 32 notes)"
  awk '
    { key = $2 " " $3; cost = $8 / $5
      if (!(key in seen)) { seen[key] = 1; order[++n] = key; feed[key] = $6 " PerVoice" }
      value[$1, key, $4] = cost }
    END {
      printf "   %-31s %-5s %-10s %8s | %8s %8s | %8s %8s | %7s\n", "type", "mode", "feed", "0:+frame",
        "1:kernel", "1:+frame", "32:kernel", "32:+frame", "/voice"
      for (i = 1; i <= n; ++i) {
        key = order[i]; split(key, k, " "); f = feed[key]
        if (substr(k[1], 1, 1) == "(") continue
        split(f, fn, " ")
        printf "   %-31s %-5s %-10s %8.0f | %8.0f %8.0f | %8.0f %8.0f | %7.1f\n", k[1],
          k[2] == "PerVoice" ? "poly" : "mono", fn[1],
          value["patch", key, 0] - value["patch", f, 0],
          value["kernel", key, 1], value["patch", key, 1] - value["patch", f, 1],
          value["kernel", key, 32], value["patch", key, 32] - value["patch", f, 32],
          (value["kernel", key, 32] - value["kernel", key, 1]) / 31
      }
      print "   the feeds alone, whole frame (0 / 1 / 32 notes):"
      for (i = 1; i <= n; ++i) {
        key = order[i]; split(key, k, " ")
        if (substr(k[1], 1, 1) != "(") continue
        printf "   %-31s %8.0f %8.0f %8.0f\n", k[1], value["patch", key, 0], value["patch", key, 1], value["patch", key, 32]
      }
    }' "$work/costs"
fi
