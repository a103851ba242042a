#!/usr/bin/env bash
# The thread stress test of CI (ThreadStress.AudioMidiAndInterfaceThreadsTogether
# in tests/audio/thread_stress_rt_test.cpp) run for longer: ten minutes by
# default, in a sanitizer build of the tests. Not run by CI. Prints the figures
# (frames, saves, loads, faults, ...); any sanitizer report fails the run. Its
# saves go through the saver (tarvelo-save), whose syncs the disk holds now and
# then, as it holds the recordings'.
#
#   tests/stress_soak.sh [build folder] [seconds]
#     default build/tsan (else build/test) and 600 s
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-}"
if [ -z "$build" ]; then
  build="$root/build/tsan"
  [ -x "$build/tests/test_audio_rt" ] || build="$root/build/test"
fi
seconds="${2:-600}"
program="$build/tests/test_audio_rt"
[ -x "$program" ] || { echo "no $program: build the test_audio_rt target first" >&2; exit 2; }
figures="$(mktemp /tmp/tarvelo_soak_XXXXXX)"
trap 'rm -f "$figures"' EXIT
export TARVELO_HEADLESS=1 SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy
export TARVELO_STRESS_SECONDS="$seconds" TARVELO_STRESS_FIGURES="$figures"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$root/scripts/tsan.supp}"
status=0
"$program" --gtest_filter=ThreadStress.AudioMidiAndInterfaceThreadsTogether || status=$?
echo "figures: $(cat "$figures" 2>/dev/null || echo none)"
exit "$status"
