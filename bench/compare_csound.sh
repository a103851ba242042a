#!/bin/bash
# Times the three render benchmark synths (30 s at 48 kHz each) against csound
# rendering the same patches sample by sample (ksmps=1) and in 64-sample blocks
# (ksmps=64), from the scores in CSD_FOLDER (bench/scores by default):
#   bench32   BM_SawFilters30s  bench32_k{1,64}_30s.csd   32 sawtooth voices, 2 Filters
#   fm16      BM_Fm16_30s       fm16_k{1,64}_30s.csd      16 two-operator FM voices
#   wide64x8  BM_Wide64x8_30s   wide64x8_k{1,64}_30s.csd  8 voices of 15 partials
# Every round runs each patch once in every program, one after the other, so
# that a busy machine slows them alike; the medians of the CPU seconds (user +
# system) over the rounds give the ratios. More benchmark binaries (another
# build, e.g. -O2 beside -O3) are timed in the same rounds and reported beside
# the first. A busy machine spreads the rounds: their least time is printed
# beside the median.
#   bench/compare_csound.sh BENCH_RENDER_BINARY [CSD_FOLDER [ROUNDS [OTHER_BINARY...]]]
# Instructions per frame, free of a busy machine's noise (the second's render
# calls only; divide by 48,000 frames): bench/instructions.sh.
set -eu
bin=$1
csd=${2:-$(dirname "$0")/scores}
rounds=${3:-5}
shift $(($# < 3 ? $# : 3))
bins=("$bin" "$@")
patches=(bench32 fm16 wide64x8)
declare -A filter=([bench32]=BM_SawFilters30s [fm16]=BM_Fm16_30s [wide64x8]=BM_Wide64x8_30s)
declare -A runs
times=$(mktemp)
trap 'rm -f "$times"' EXIT
command -v csound >/dev/null || { echo "csound is not installed (apt-get install csound)" >&2; exit 1; }
for p in "${patches[@]}"; do
  for k in 1 64; do [ -r "$csd/${p}_k${k}_30s.csd" ] || { echo "missing $csd/${p}_k${k}_30s.csd" >&2; exit 1; }; done
done
cpu() { /usr/bin/time -o "$times" -f %U+%S "$@" >/dev/null 2>&1; bc <"$times"; }
for ((r = 0; r < rounds; ++r)); do
  for p in "${patches[@]}"; do
    for ((b = 0; b < ${#bins[@]}; ++b)); do
      runs[$p,ours$b]+="$(cpu "${bins[$b]}" "--benchmark_filter=${filter[$p]}") "
    done
    runs[$p,k1]+="$(cpu csound -d -n "$csd/${p}_k1_30s.csd") "
    runs[$p,k64]+="$(cpu csound -d -n "$csd/${p}_k64_30s.csd") "
  done
  echo "round $((r + 1)) of $rounds done" >&2
done
median() { printf '%s\n' $1 | sort -g | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }
# The least time of the rounds: the one a busy machine disturbed least.
least() { printf '%s\n' $1 | sort -g | head -1; }
for ((b = 0; b < ${#bins[@]}; ++b)); do echo "ours$b = ${bins[$b]}"; done
for p in "${patches[@]}"; do
  echo "== $p (CPU seconds for 30 s; median of $rounds)"
  m1=$(median "${runs[$p,k1]}")
  m64=$(median "${runs[$p,k64]}")
  printf '   %-8s %s-> %s (least %s)\n' k1 "${runs[$p,k1]}" "$m1" "$(least "${runs[$p,k1]}")"
  printf '   %-8s %s-> %s (least %s)\n' k64 "${runs[$p,k64]}" "$m64" "$(least "${runs[$p,k64]}")"
  for ((b = 0; b < ${#bins[@]}; ++b)); do
    m=$(median "${runs[$p,ours$b]}")
    printf '   %-8s %s-> %s (least %s)\n' "ours$b" "${runs[$p,ours$b]}" "$m" "$(least "${runs[$p,ours$b]}")"
    awk -v o="$m" -v a="$m1" -v c="$m64" -v n="ours$b" 'BEGIN {
      printf "   %s: %.1f x real time; CPU / csound k64 %.2f (k64 / ours %.2f); CPU / csound k1 %.2f (k1 / ours %.2f)\n",
        n, 30 / o, o / c, c / o, o / a, a / o }'
  done
done
