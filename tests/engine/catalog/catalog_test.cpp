#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

#include "engine/catalog/catalog.h"
#include "engine/catalog/engine_init.h"
#include "engine/globals.h"

using namespace Tarvelo;
using QUARLE_BASICS::DynZStringGet;

namespace {

class CatalogTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(init(48000.0f), 0); }
  static void TearDownTestSuite() { close(); }
  static const ModuleRecord& T(int32_t type) { return ModuleCatalog[type]; }
  static bool In(int32_t type, std::initializer_list<int32_t> types) {
    return std::find(types.begin(), types.end(), type) != types.end();
  }
};

TEST_F(CatalogTest, FortyThreeTypesInPaletteOrder) {
  std::set<int32_t> seen;
  for (int32_t i = 0; i < kModuleTypeCount; ++i) {
    const int32_t type = ModulePaletteOrder[i];
    seen.insert(type);
    const ModuleRecord& t = T(type);
    EXPECT_EQ(t.Type, type);
    EXPECT_EQ(t.Role, kRoleTemplate);
    EXPECT_NE(t.ProcessFunctions[0], nullptr);
    EXPECT_NE(t.ProcessFunctions[1], nullptr);
    EXPECT_FALSE(DynZStringGet(t.ShortName).empty());
  }
  EXPECT_EQ(seen.size(), 43u);
  EXPECT_EQ(ModulePaletteOrder[3], 35);
  EXPECT_EQ(DynZStringGet(T(32).Name), "4-in-1 Randomizer");
  EXPECT_EQ(T(18).PortCount, 17);
  EXPECT_EQ(T(30).PolyphonyCapability, 0);
  EXPECT_EQ(T(9).ParamCount, 9);  // eight of its own and the feedback seed
  EXPECT_EQ(DynZStringGet(T(12).ShortName), "a*b");
  // Slot 43: only the common defaults.
  EXPECT_EQ(ModuleCatalog[43].Type, 43);
  EXPECT_EQ(ModuleCatalog[43].ParamCount, 0);
}

TEST_F(CatalogTest, SchedulingFlags) {
  for (int32_t type = 0; type < kModuleTypeCount; ++type) {
    const ModuleRecord& t = T(type);
    SCOPED_TRACE(DynZStringGet(t.Name));
    bool noPorts = t.PortCount == 0;
    EXPECT_EQ(t.RunsWithoutVoices != 0, noPorts || In(type, {0, 3, 4, 5, 10, 18, 25, 26, 30}));
    EXPECT_EQ(t.KeepsVoices != 0, In(type, {5, 9, 14, 15, 16, 17, 27, 30, 42}));
    EXPECT_EQ(t.VoiceOwner != 0, In(type, {3, 4, 5, 9, 25, 42, 14, 15, 16, 17, 27}));
    EXPECT_EQ(t.VoiceFlagRoot == -1, In(type, {3, 4, 5, 9, 25}));
    EXPECT_EQ(t.ChannelsFixed != 0, In(type, {3, 4, 5, 30, 20}));
    bool effectOrFilter = t.Category == kCategoryEffect || t.Category == kCategoryFilter;
    EXPECT_EQ(t.RequiresPortLink != 0,
              effectOrFilter || In(type, {9, 8, 6, 7, 26, 34, 24, 37, 36, 13, 38, 20, 21}));
    EXPECT_EQ(t.OutputChannels.Load(), In(type, {19, 21}) ? 2 : 1);
    EXPECT_EQ(t.ModuleSwitches[kSwitchPlay].Load() != 0, !In(type, {1, 5, 30, 29}));
    EXPECT_EQ(t.ModuleSwitches[kSwitchLoop].Load() != 0, In(type, {1, 2, 35}));
    EXPECT_EQ(t.ModuleSwitches[kSwitchEnvelope].Load() != 0, In(type, {9, 14}));
    EXPECT_EQ(t.ModuleSwitches[kSwitchZeroOut].Load() != 0, t.Category == kCategoryControl);
    EXPECT_EQ(t.ModuleSwitches[kSwitchRewind].Load(), t.StateSelect);
    EXPECT_EQ(t.ModuleSwitches[kSwitchPower].Load(), -1);
    if (t.PolyphonyCapability != 2 || noPorts) {
      EXPECT_EQ(t.FollowsPolyphony, 0);
    }
    if (t.PolyphonyCapability == 0) {
      EXPECT_EQ(t.VoiceFlagRoot, 1);
    }
  }
  EXPECT_EQ(T(18).RequiredPort, 1);  // the Mixer's lead is port 1
  EXPECT_EQ(T(18).VoiceMapSourcePort.Load(), 1);
  EXPECT_EQ(T(18).ChosenSourcePort, 1);
  EXPECT_EQ(T(9).FollowsPolyphony, -1);
  EXPECT_EQ(T(1).FollowsPolyphony, 0);
}

TEST_F(CatalogTest, DerivedFlags) {
  for (int32_t type = 0; type < kModuleTypeCount; ++type) {
    const ModuleRecord& t = T(type);
    SCOPED_TRACE(DynZStringGet(t.Name));
    bool source = t.Category == kCategorySource;
    EXPECT_EQ(t.DerivedFlag1 != 0, In(type, {1, 5, 30, 29}));
    EXPECT_EQ(t.DerivedFlag2 != 0, In(type, {1, 5, 30}));
    EXPECT_EQ(t.StateSelect != 0, source || In(type, {5, 30, 29}));
    EXPECT_EQ(t.DerivedFlag3 != 0, t.StateSelect != 0 || In(type, {3, 4}) || t.KeepsVoices != 0);
    EXPECT_EQ(t.KeepsState != 0, source || t.KeepsVoices != 0 || In(type, {29, 36, 31}));
    EXPECT_EQ(t.MirrorPair != 0, In(type, {33, 11, 12, 19}));
    EXPECT_EQ(t.DerivedFlag6 != 0, In(type, {34, 40, 3, 4, 9}));
    EXPECT_EQ(t.DerivedFlag7 != 0, In(type, {2, 35, 1}));
    EXPECT_EQ(t.DerivedFlag8 != 0, type == 40);
    EXPECT_EQ(t.ClearBuffersOnReset != 0, t.RunsWithoutVoices == 0 && t.WorkBuffers[0] != nullptr);
  }
}

TEST_F(CatalogTest, WorkBuffers) {
  const int32_t q = RateWhole;
  struct Buffer {
    int32_t type, elements, channels, buffers;
  };
  for (const Buffer& b : {Buffer{42, q + 3, 2, 32}, Buffer{15, q + 1, 2, 32}, Buffer{16, q + 1, 2, 32},
                          Buffer{14, 1, 2, 32}, Buffer{22, 14, 2, 32}, Buffer{17, 258, 2, 32},
                          Buffer{27, 1024, 2, 32}, Buffer{5, 128, 1, 1}, Buffer{30, 2304, 1, 1}}) {
    const ModuleRecord& t = T(b.type);
    SCOPED_TRACE(b.type);
    EXPECT_EQ(t.WorkBufferElements, b.elements);
    EXPECT_EQ(t.WorkBufferChannels, b.channels);
    EXPECT_EQ(t.WorkBufferSize, b.elements * b.channels);
    EXPECT_NE(t.WorkBuffers[b.buffers - 1], nullptr);
    EXPECT_EQ(t.WorkBuffers[b.buffers], nullptr);
  }
  EXPECT_EQ(T(2).WorkBuffers[0], nullptr);
}

TEST_F(CatalogTest, FeedbackSeedAndValueModules) {
  for (int32_t type = 0; type < kModuleTypeCount; ++type) {
    const ModuleRecord& t = T(type);
    SCOPED_TRACE(DynZStringGet(t.Name));
    for (int32_t p = 0; p < kPortValueSlots; ++p) {
      ASSERT_NE(t.PortValueModules[p], nullptr);
      EXPECT_EQ(t.PortValueModules[p]->Role, kRoleTemplatePortValue);
      EXPECT_EQ(t.PortSources[p].Load(), t.PortValueModules[p]);
      EXPECT_EQ(t.PortValueModules[p]->ActiveVoices.Load(), 1);
    }
    EXPECT_EQ(t.PortValueModules[32], nullptr);
    if (t.PortCount == 0) continue;
    int32_t s = t.ParamCount - 1;
    const ModuleParam& seed = t.Params[s];
    EXPECT_EQ(DynZStringGet(seed.LongName), "Feedback seed");
    EXPECT_EQ(DynZStringGet(seed.Label), "*");
    EXPECT_EQ(seed.Value.Load(), 0.5f);
    EXPECT_EQ(seed.InitialValue, 0.5f);
    EXPECT_EQ(seed.WriteBothChannels, -1);
    EXPECT_EQ(seed.ChannelCountExempt != 0, t.ChannelsFixed != 0);
    EXPECT_EQ(t.PortValueModules[s]->Outputs[0][0].Level, 0.5f);
    EXPECT_EQ(t.PortValueModules[s]->Outputs[1][0].Frequency, 0.5f);
  }
  // Entries beyond the parameter count keep the common defaults.
  const ModuleParam& spare = T(41).Params[20];
  EXPECT_EQ(DynZStringGet(spare.LongName), "N/A");
  EXPECT_EQ(DynZStringGet(spare.Label), "20");
  EXPECT_EQ(spare.Min, -1.0f);
  EXPECT_EQ(spare.Max, 1.0f);
  // Control range of a plain setting and what its value module carries in voice 32.
  EXPECT_FLOAT_EQ(spare.RangeLow.Load(), -1.0f);
  EXPECT_FLOAT_EQ(spare.RangeHigh.Load(), 1.0f);
  EXPECT_FLOAT_EQ(spare.Step.Load(), 2.0f / 127.0f);
  const ModuleRecord* pvm = T(41).PortValueModules[20];
  EXPECT_EQ(pvm->Outputs[0][32].Level, spare.RangeLow.Load());
  EXPECT_EQ(pvm->Outputs[1][32].Level, spare.RangeHigh.Load());
  EXPECT_EQ(pvm->Outputs[2][32].Level, spare.Step.Load());
}

// The finishing pass on a type block that defines its parameters.
TEST(CatalogFinish, LeadPortScalesAndModes) {
  SetRateConstants(48000.0f);
  ModuleRecord* t = ModuleRecordNew();
  ASSERT_NE(t, nullptr);
  t->Role = kRoleTemplate;
  t->Type = 23;
  t->PolyphonyCapability = 2;
  t->FollowsPolyphony = -1;
  t->Category = kCategoryEffect;
  t->PortCount = 3;
  t->ParamCount = 3;
  QUARLE_BASICS::DynZStringAssign(t->ShortName, "Dist.");
  SetParamName(*t, 0, "Input", "In");
  SetParamRange(*t, 0, -1.0f, 1.0f, 0.95f);
  ParamValueSetFormat(t->Params[0].Number, -1, kUnitLevel, 1);
  SetParamName(*t, 1, "Frequency", "F");
  SetParamRange(*t, 1, -RateQuarter, RateQuarter, 55.0f, RateQuarter);
  t->Params[1].OutputSide.Store(1);
  SetParamName(*t, 2, "Count", "N");
  SetParamRange(*t, 2, 0.0f, 100.0f, 7.0f);
  ParamValueSetFormat(t->Params[2].Number, -1, kUnitCount, -1);
  int32_t calls = 0;
  static int32_t* callsSeen = nullptr;
  callsSeen = &calls;
  CatalogTextWidth = [](const std::string& text, int32_t size) {
    ++*callsSeen;
    return text == "Dist. 888" && size == 20 ? 1000 : 0;
  };
  ASSERT_EQ(FinishTemplate(*t), 0);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(t->BoxWidthUnits, 200);
  EXPECT_EQ(t->BoxHeightUnits, 18);
  EXPECT_EQ(t->ParamCount, 4);
  EXPECT_EQ(t->RequiredPort, 1);  // the frequency-side port wins over "In"
  EXPECT_EQ(t->VoiceMapSourcePort.Load(), 1);
  EXPECT_EQ(t->RequiresPortLink, -1);
  EXPECT_EQ(t->Params[1].NoValueEditor, -1);
  EXPECT_EQ(t->Params[0].NoValueEditor, 0);
  EXPECT_EQ(t->Params[1].DefaultOutputSide, 1);
  EXPECT_FLOAT_EQ(t->Params[1].Value.Load(), 55.0f / 12000.0f);
  EXPECT_EQ(t->Params[1].InitialValue, t->Params[1].Value.Load());
  EXPECT_EQ(t->PortValueModules[1]->Outputs[0][0].Level, t->Params[1].Value.Load());
  EXPECT_FLOAT_EQ(t->Params[1].RangeHigh.Load(), 1000.0f / 12000.0f);  // frequency mode
  EXPECT_FLOAT_EQ(t->Params[0].RangeLow.Load(), 0.0f);                   // dB mode
  EXPECT_FLOAT_EQ(t->Params[0].Step.Load(), 0.001f);
  EXPECT_EQ(t->Params[2].IntegerFlag, -1);
  EXPECT_EQ(t->Params[2].Step.Load(), 1.0f);
  EXPECT_FLOAT_EQ(t->Params[0].Number.Base.value, 0.95f);
  CatalogTextWidth = [](const std::string& text, int32_t size) { return static_cast<int32_t>(text.size()) * size / 2; };
  ModuleRecordDelete(t);
}

}  // namespace
