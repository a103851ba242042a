// The module panel's two lists: PLIST, the selected module's parameters (its
// input ports and settings, with an icon per row and hidden parameters in
// purple), and SLIST, the oscillator wave functions (shapes 0 to 10; the
// twelfth, experimental shape is never listed). Both follow the common list
// scheme (ui/views/list_views.h).
#pragma once
#include <cstdint>

#include "visuals/controls.h"

namespace Tarvelo {

// Rows of a hidden parameter, whatever their selection or hover.
constexpr uint32_t kHiddenRowEven = 0xFF3E0063;
constexpr uint32_t kHiddenRowOdd = 0xFF6400A0;
// PLIST's layers 0..3 are the row icons; its row images follow.
constexpr int32_t kParameterIconLayers = 4;
constexpr int32_t kListedWaveShapes = 11;

// The icon layer of a parameter row: 0 an input reading its own value, 1 an
// input cabled from a module, 2 a setting, 3 a setting with a fixed channel.
int32_t ParameterRowIcon(int64_t isInput, int64_t readsValueModule, int64_t fixedChannel);

int32_t DrawParameterList(QUARLE_VISUALS::RenderRecord* snapshot, int32_t id);
// Its item count: the port table's rows.
int32_t ParameterListCount();
int32_t DrawWaveFunctionList(QUARLE_VISUALS::RenderRecord* snapshot, int32_t id);

}  // namespace Tarvelo
