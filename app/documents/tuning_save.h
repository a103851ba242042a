// A tuning's file written by the saver: the interface builds the bytes under
// the tuning's lock and hands them over, so the window never waits for a disk.
#pragma once
#include <cstdint>
#include <functional>

#include "engine/tuning.h"
#include "platform/threads.h"

namespace Tarvelo {

// The tuning's file handed to the saver, its bytes taken under `lock` (when
// given; the caller must not hold it): 0, or SaveTuning's refusal before the
// write (`done` then not called). `done` hears SaveTuning's result on the
// interface thread, once the file is on the disk or the disk refused it. The
// tuning's modified flag is the caller's to clear.
int32_t SaveTuningThen(Tuning& tuning, platform::Mutex* lock, std::function<void(int32_t)> done);

}  // namespace Tarvelo
