// Command queue 0 as the state tests read it: made if there is no queue yet,
// and what already waited fetched by Open(); Fetch() takes what came since.
// The fetched messages and the header are freed with it.
#pragma once

#include <cstdlib>

#include "basics/dynzstring.h"
#include "basics/queues.h"

namespace Tarvelo {

struct QueueZero {
  QUARLE_BASICS::CommandMessage* buffer = nullptr;
  QUARLE_BASICS::ArrayHeader header;

  QueueZero() { QUARLE_BASICS::ArrayHeaderInit(header); }
  ~QueueZero() {
    std::free(buffer);
    QUARLE_BASICS::ArrayHeaderFree(header);
  }
  QueueZero(const QueueZero&) = delete;
  QueueZero& operator=(const QueueZero&) = delete;

  int32_t Open() {
    if (QUARLE_BASICS::CommandQueueCount() == 0) {
      int32_t q = -1;
      const int32_t status = QUARLE_BASICS::CreateCommandQueue(q);
      if (status != 0) return status;
    }
    return Fetch();
  }
  int32_t Fetch() { return QUARLE_BASICS::FetchCommands(buffer, header, 0); }
};

}  // namespace Tarvelo
