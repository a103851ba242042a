// The melody list (MLIST) of the melody page: the melodies in memory (the
// melody library), each row its file name without extension and a status
// icon: busy while being recorded, no data, or the melody of the selected
// module. A member of the common list scheme (ui/views/list_views.h).
#pragma once
#include <cstdint>

#include "visuals/controls.h"

namespace Tarvelo {

// MLIST's layers 0..2 are its icons; its row images follow.
constexpr int32_t kMelodyIconLayers = 3;
constexpr int32_t kMelodyIconAttached = 0;
constexpr int32_t kMelodyIconBusy = 1;
constexpr int32_t kMelodyIconNoData = 2;

int32_t DrawMelodyList(QUARLE_VISUALS::RenderRecord* snapshot, int32_t id);
// Its item count, read under the melody library's lock.
int32_t MelodyListCount();

}  // namespace Tarvelo
