#!/bin/bash
# Times the 32-voice sawtooth patch (BM_SawFilters30s: 30 s at 48 kHz) against
# csound rendering the same patch sample by sample (ksmps=1) and in 64-sample
# blocks, alternating the three runs so that a busy machine slows them alike.
# Prints the median CPU seconds (user + system) of each and the ratios.
#   bench/compare_csound.sh BENCH_RENDER_BINARY CSD_FOLDER [ROUNDS]
# Instructions per frame, free of a busy machine's noise (the second's render
# calls only; divide by 48,000 frames), for N = 0, 1, 8 or 32 voices:
#   valgrind --tool=callgrind --toggle-collect='Tarvelo::RenderAudio*' \
#     BENCH_RENDER_BINARY --benchmark_filter='BM_SawFiltersOnce/N/'
set -eu
bin=$1
csd=$2
rounds=${3:-5}
declare -a ours k1 k64
times=$(mktemp)
trap 'rm -f "$times"' EXIT
cpu() { /usr/bin/time -o "$times" -f %U+%S "$@" >/dev/null 2>&1; bc <"$times"; }
for ((r = 0; r < rounds; ++r)); do
  ours+=("$(cpu "$bin" --benchmark_filter=BM_SawFilters30s)")
  k1+=("$(cpu csound -d -n "$csd/bench32_k1_30s.csd")")
  k64+=("$(cpu csound -d -n "$csd/bench32_k64_30s.csd")")
done
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }
m0=$(median "${ours[@]}")
m1=$(median "${k1[@]}")
m64=$(median "${k64[@]}")
echo "ours ${ours[*]} -> median $m0 s"
echo "k1   ${k1[*]} -> median $m1 s"
echo "k64  ${k64[*]} -> median $m64 s"
awk -v o="$m0" -v a="$m1" -v b="$m64" 'BEGIN {
  printf "ours x real time: %.1f\n", 30 / o;
  printf "csound k1 time / ours: %.2f\n", a / o;
  printf "csound k64 time / ours: %.2f\n", b / o }'
