#include "app/documents/tuning_save.h"

#include <string>
#include <utility>

#include "engine/tuningfile.h"
#include "platform/saver.h"

namespace Tarvelo {

int32_t SaveTuningThen(Tuning& tuning, platform::Mutex* lock, std::function<void(int32_t)> done) {
  platform::SaveRequest r;
  platform::MutexLock(lock);
  const int32_t rc = TuningFileBytes(tuning, r.Target, r.Bytes);
  platform::MutexUnlock(lock);
  if (rc != 0) return rc;
  r.Done = [done = std::move(done)](int32_t rc) {
    if (done) done(TuningSaveResult(rc));
  };
  platform::SaveInBackground(std::move(r));
  return 0;
}

}  // namespace Tarvelo
