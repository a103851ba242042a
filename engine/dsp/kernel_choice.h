// Which build of the hot kernels runs: plain or AVX2, settled once as the
// program loads. The environment can ask for the plain builds on any
// processor (TARVELO_PLAIN_KERNELS=1), for machines that misreport what they
// run and for comparing the two families.
#pragma once
#include <cstdint>

namespace Tarvelo {

// The environment's answer (TARVELO_PLAIN_KERNELS set, neither empty nor
// "0"). Read once from the environment the program started with, so that it
// also answers the variant choosers that run while the program is relocated,
// before the C library has set up getenv.
bool PlainKernelsAsked();

// Whether an environment (a null-ended list of NAME=value texts) asks for the
// plain builds; what PlainKernelsAsked reads its answer with.
bool PlainKernelsAskedIn(const char* const* environment);

// Start-up choices so far: how many chose, and how many of those took AVX2.
// one thread: value
struct KernelChoices {
  int32_t made;
  int32_t avx2;
};
KernelChoices KernelChoicesMade();

// The one question every start-up choice of a kernel build asks: whether the
// processor has what the AVX2 build needs (AVX2, and FMA where withFma) and
// the plain builds were not asked for. Counted in KernelChoicesMade.
bool TakeAvx2Kernels(bool withFma);

}  // namespace Tarvelo
