#include <gtest/gtest.h>

#include "engine/catalog/catalog.h"
#include "engine/catalog/engine_init.h"
#include "engine/command.h"
#include "engine/globals.h"
#include "engine/keyboard.h"
#include "engine/modulelist.h"
#include "engine/notes.h"
#include "platform/threads.h"

using namespace Tarvelo;

namespace {

TEST(EngineInit, RateConstants) {
  SetRateConstants(48000.0f);
  EXPECT_EQ(RateWhole, 48000);
  EXPECT_EQ(RateQuarter, 12000.0f);
  EXPECT_EQ(FrequencyNorm, static_cast<float>(4.0 / 48000.0));
  SetRateConstants(44100.5f);  // halfway: to the even neighbour
  EXPECT_EQ(RateWhole, 44100);
  SetRateConstants(44101.5f);
  EXPECT_EQ(RateWhole, 44102);
}

TEST(EngineInit, InitAndCloseTwice) {
  ASSERT_EQ(init(48000.0f), 0);
  EXPECT_EQ(EngineReady, -1);
  EXPECT_EQ(RateWhole, 48000);
  EXPECT_EQ(CaptureRingFrames, 4800);
  EXPECT_EQ(CaptureRingSize, 9600);
  ASSERT_NE(CaptureRing, nullptr);
  EXPECT_EQ(CaptureRing[9599], 0.0f);
  EXPECT_EQ(ChannelMap[2][1], 1);
  EXPECT_EQ(VoiceMap[1][32], 32);
  EXPECT_EQ(ModuleList.capacity, 1000);
  EXPECT_EQ(EngineCommand.State.load(), kCommandPosted);  // the first frame rebuilds
  EXPECT_EQ(EngineCommand.Kind, kCommandRebuild);
  ASSERT_NE(KeyboardStates[15].Load(), nullptr);
  EXPECT_EQ(MidiKeyMapping[7].KeyOffset, -21);
  EXPECT_EQ(CatalogBuilt, -1);

  float* ring = CaptureRing;
  EXPECT_EQ(init(44100.0f), 0);  // a second init changes nothing
  EXPECT_EQ(CaptureRing, ring);
  EXPECT_EQ(RateWhole, 48000);

  // A small synth so that close has live and removed modules to free.
  ModuleRecord* out = nullptr;
  for (int32_t t = 0; t < kModuleTypeCount; ++t) {
    ModuleRecord* m = nullptr;
    ASSERT_GE(AddModule(t, true, &m), 0) << t;
    if (t == 41) out = m;
  }
  PowerDisplayHistory = new float[10];
  ModuleLinkInput(*out, 0, ModuleList.entries[1], &ModuleCatalog[41]);
  RequestGraphRebuild(0, 0, out);
  RemoveModule(ModuleList.entries[2]);

  close();
  EXPECT_EQ(EngineClosed, -1);
  EXPECT_EQ(EngineReady, 0);
  EXPECT_EQ(CaptureRing, nullptr);
  EXPECT_EQ(ModuleList.entries, nullptr);
  EXPECT_EQ(KeyboardStates[0].Load(), nullptr);
  EXPECT_EQ(CatalogBuilt, 0);
  close();  // a second close does nothing

  ASSERT_EQ(init(44100.0f), 0);
  EXPECT_EQ(RateWhole, 44100);
  EXPECT_EQ(CaptureRingFrames, 4410);
  EXPECT_EQ(ModuleCatalog[15].WorkBufferSize, (44100 + 1) * 2);
  close();
}

TEST(EngineInit, LockFailureLeavesNothing) {
  platform::FailNextMutexCreations(1);
  EXPECT_EQ(init(48000.0f), -26);
  EXPECT_EQ(EngineReady, 0);
  EXPECT_EQ(CaptureRing, nullptr);
  EXPECT_EQ(KeyboardStates[0].Load(), nullptr);
  platform::FailNextMutexCreations(0);
  ASSERT_EQ(init(48000.0f), 0);
  close();
}

}  // namespace
