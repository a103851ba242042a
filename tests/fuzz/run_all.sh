#!/usr/bin/env bash
# Builds the fuzz targets in build/fuzz (clang, ASan + UBSan), writes each
# target's seeds and runs every target for SECONDS (default 300), two at a time.
# Corpora, logs and crashing inputs go to OUT (default build/fuzz/runs).
# Usage: tests/fuzz/run_all.sh [SECONDS] [OUT] [target...]
# Needs clang and its libFuzzer runtime (Debian: clang, libclang-rt-14-dev); the
# test run and CI do not, so scripts/setup leaves them out.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
seconds="${1:-300}"
out="${2:-$root/build/fuzz/runs}"
shift $(( $# > 2 ? 2 : $# ))
build="$root/build/fuzz"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" -DTARVELO_SANITIZE=address,undefined -DTARVELO_FUZZ=ON \
  -DTARVELO_TESTS=OFF "${launcher[@]}" >/dev/null
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for src in "$root"/tests/fuzz/*_fuzz.cpp; do
    name="$(basename "$src" _fuzz.cpp)"
    targets+=("$name")
  done
fi
cmake --build "$build" -j3 --target "${targets[@]/#/fuzz_}"
export TARVELO_HEADLESS=1 SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy
export ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

run() {
  local t="$1" dir="$out/$1"
  mkdir -p "$dir/corpus" "$dir/crashes"
  TARVELO_FUZZ_SEEDS="$dir/corpus" "$build/tests/fuzz/fuzz_$t"
  (cd "$dir" && "$build/tests/fuzz/fuzz_$t" -max_total_time="$seconds" -jobs=1 -max_len=2000000 \
     -artifact_prefix="$dir/crashes/" corpus >/dev/null 2>&1 || true)
  echo "$t: $(grep -ho 'Done [0-9]* runs' "$dir"/fuzz-*.log | tail -1), $(ls "$dir/crashes" | wc -l) crashing inputs"
}

for ((i = 0; i < ${#targets[@]}; i += 2)); do
  run "${targets[i]}" &
  if (( i + 1 < ${#targets[@]} )); then run "${targets[i+1]}" & fi
  wait
done
