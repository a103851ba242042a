// What removing modules and failing allocations must leave behind: a cleared
// synth leaves no MIDI mapping aimed at its modules, and a work-buffer
// allocation that cannot be made leaves the module's buffers as they were.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "basics/errors.h"
#include "engine/midimap.h"
#include "engine/midimap_hooks.h"
#include "engine/module.h"
#include "module_fixture.h"

using namespace Tarvelo;
using tarvelo_test::EngineTest;

namespace {

constexpr int32_t kKeyboard = 3;
constexpr int32_t kDelay = 15;
constexpr int32_t kRectifier = 41;

using TeardownGuardsTest = EngineTest;

// A MIDI controller moved after a load must not write into a freed module:
// clearing the synth unbinds every mapping and channel keyboard aimed at it,
// and leaves the mappings of the type templates (master presets) alone.
TEST_F(TeardownGuardsTest, ClearSynthUnbindsMidiMapsAimedAtItsModules) {
  ModuleRecord* kb = Add(kKeyboard);
  ModuleRecord* r = Add(kRectifier);
  {
    platform::MutexGuard guard(MT_MIDIMAPS);
    for (MidiMap& map : MidiMaps) MidiMapInit(map, static_cast<int32_t>(&map - MidiMaps));
    MidiMapEntry& e = MidiMaps[2].Entries[7][0];
    e.Mode = kMidiFixedParam;
    e.Target = r;
    e.Param = 0;
    MidiMapEntry& late = MidiMaps[15].Entries[128][16];
    late.Mode = kMidiFixedParam;
    late.Target = kb;
    late.Param = 1;
    MidiMapEntry& preset = MidiMaps[0].Entries[9][3];
    preset.Mode = kMidiFixedParam;
    preset.Target = &ModuleCatalog[kRectifier];
    preset.Param = 0;
    MidiMaps[4].ChannelKeyboards[5] = kb;
  }
  r->MidiMapped = -1;
  ClearSynth();
  platform::MutexGuard guard(MT_MIDIMAPS);
  EXPECT_EQ(MidiMaps[2].Entries[7][0].Target, nullptr);
  EXPECT_EQ(MidiMaps[2].Entries[7][0].Mode, kMidiUnbound);
  EXPECT_EQ(MidiMaps[15].Entries[128][16].Target, nullptr);
  EXPECT_EQ(MidiMaps[4].ChannelKeyboards[5], nullptr);
  EXPECT_EQ(MidiMaps[0].Entries[9][3].Target, &ModuleCatalog[kRectifier]);
  for (MidiMap& map : MidiMaps) MidiMapInit(map, static_cast<int32_t>(&map - MidiMaps));
}

// Sizes that cannot be allocated are refused before anything is freed: the
// module keeps its buffers, their contents and their size.
TEST_F(TeardownGuardsTest, AFailedWorkBufferAllocationLeavesTheModuleAsItWas) {
  ModuleRecord* d = Add(kDelay);
  ASSERT_NE(d->WorkBuffers[0], nullptr);
  float* const first = d->WorkBuffers[0];
  float* const last = d->WorkBuffers[31];
  const int32_t size = d->WorkBufferSize;
  const int32_t elements = d->WorkBufferElements;
  first[3] = 0.5f;
  last[size - 1] = -0.25f;
  EXPECT_EQ(ModuleAllocBuffers(*d, INT32_MAX, 2, -1), -QUARLE_BASICS::kErrAllocation);
  EXPECT_EQ(ModuleAllocBuffers(*d, -1, 2, -1), -QUARLE_BASICS::kErrBadParameter);
  EXPECT_EQ(ModuleAllocBuffers(*d, 4, -2, -1), -QUARLE_BASICS::kErrBadParameter);
  EXPECT_EQ(d->WorkBuffers[0], first);
  EXPECT_EQ(d->WorkBuffers[31], last);
  EXPECT_EQ(d->WorkBufferSize, size);
  EXPECT_EQ(d->WorkBufferElements, elements);
  EXPECT_EQ(first[3], 0.5f);
  EXPECT_EQ(last[size - 1], -0.25f);
}

}  // namespace
