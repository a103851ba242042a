#include "engine/dsp/kernel_choice.h"

#include <cstdlib>

// The variant choosers run before the sanitizers' runtimes have started:
// nothing they reach may be instrumented.
#define TARVELO_BEFORE_START __attribute__((no_sanitize("address", "undefined", "thread")))

#if defined(__GLIBC__)
// The process's first stack frame: argc, the arguments and a null, then the
// environment the program was started with.
// one thread: start-up, the C library's
extern "C" void* __libc_stack_end;
#endif

namespace Tarvelo {
namespace {

constexpr char kSwitch[] = "TARVELO_PLAIN_KERNELS=";

// Written only while the program loads (one thread), read afterwards.
// one thread: start-up
int32_t gAsked = -1;
KernelChoices gChoices{0, 0};

}  // namespace

TARVELO_BEFORE_START bool PlainKernelsAskedIn(const char* const* environment) {
  for (const char* const* e = environment; e != nullptr && *e != nullptr; ++e) {
    const char* s = *e;
    const char* k = kSwitch;
    while (*k != '\0' && *s == *k) {
      ++s;
      ++k;
    }
    // The first setting counts, as it does for getenv.
    if (*k == '\0') return *s != '\0' && !(s[0] == '0' && s[1] == '\0');
  }
  return false;
}

TARVELO_BEFORE_START bool PlainKernelsAsked() {
  if (gAsked < 0) {
#if defined(__GLIBC__)
    const auto* start = static_cast<const char* const*>(__libc_stack_end);
    const auto argc = reinterpret_cast<intptr_t>(start[0]);
    gAsked = PlainKernelsAskedIn(start + argc + 2) ? 1 : 0;
#else
    const char* v = std::getenv("TARVELO_PLAIN_KERNELS");
    gAsked = v != nullptr && *v != '\0' && !(v[0] == '0' && v[1] == '\0') ? 1 : 0;
#endif
  }
  return gAsked != 0;
}

TARVELO_BEFORE_START bool TakeAvx2Kernels(bool withFma) {
  bool avx2 = false;
#if defined(__x86_64__) && defined(__GNUC__)
  __builtin_cpu_init();
  avx2 = __builtin_cpu_supports("avx2") && (!withFma || __builtin_cpu_supports("fma"));
#else
  (void)withFma;
#endif
  avx2 = avx2 && !PlainKernelsAsked();
  ++gChoices.made;
  gChoices.avx2 += avx2 ? 1 : 0;
  return avx2;
}

KernelChoices KernelChoicesMade() { return gChoices; }

}  // namespace Tarvelo
