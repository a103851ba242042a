// Round counts for the cases that race threads against each other.
#pragma once

#include <sched.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <thread>

namespace test_rounds {

// The cores this process may run on: its affinity (taskset, a CI runner's
// cgroup), not the machine's count, which std::thread::hardware_concurrency gives.
inline int32_t UsableCores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
  return static_cast<int32_t>(std::max(1u, std::thread::hardware_concurrency()));
}

// Rounds of a case whose threads race: `full` with `fullAt` cores or more,
// a share of it on fewer (never under `least`), since threads that take turns
// on a core or two meet in fewer interleavings per round and each round costs
// them more time. A positive number in the environment variable `setting`
// (a deeper run, or CI) is taken as it is.
inline int32_t RoundsForCores(const char* setting, int32_t full, int32_t least, int32_t fullAt = 4) {
  if (setting != nullptr) {
    const char* text = std::getenv(setting);
    if (text != nullptr && std::atoi(text) > 0) return std::atoi(text);
  }
  const int32_t cores = std::min(UsableCores(), fullAt);
  return std::max(least, static_cast<int32_t>(static_cast<int64_t>(full) * cores / fullAt));
}

}  // namespace test_rounds
