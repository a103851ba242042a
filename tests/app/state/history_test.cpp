// The action history: the numbered line of every kind of action, growth from
// 16 to 32 lines, the clear that restarts the numbering, a refused growth that
// keeps the list as it was, and kinds that record nothing.
#include "app/state/history.h"

#include <gtest/gtest.h>

#include <string>

#include "basics/messages.h"

namespace Tarvelo {
namespace {

using QUARLE_BASICS::DynZStringAssign;

// A live module as the history reads it: short name, instance number, the
// labels and flags of its first ports and its channel count.
struct TestModule {
  ModuleRecord* m = ModuleRecordNew();
  TestModule(const char* shortName, int32_t instance, int32_t channels = 1) {
    DynZStringAssign(m->ShortName, shortName);
    m->InstanceNumber.Store(instance);
    m->ChannelsProcessed.Store(channels);
    DynZStringAssign(m->Params[0].Label, "F");
    DynZStringAssign(m->Params[1].Label, "A");
  }
  ~TestModule() { ModuleRecordDelete(m); }
};

class HistoryTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(ActionHistoryCreate(), 0); }
  void TearDown() override {
    HistoryFailNextGrowths(0);
    ActionHistoryFree();
  }
  // The line an action leaves, after a clear.
  std::string Line(int32_t kind, const ModuleRecord* m, int32_t port, const ModuleRecord* other) {
    ClearHistory();
    EXPECT_EQ(RecordAction(kind, m, port, other), 0);
    EXPECT_EQ(ActionHistory.count, 1);
    return GetActionLine(0);
  }
};

TEST_F(HistoryTest, TextOfEveryKind) {
  TestModule osc("Osc", 1, 1), env("Env", 2, 2);
  osc.m->Params[0].WriteBothChannels = -1;
  osc.m->Params[0].Global.Store(-1);
  osc.m->Params[0].OutputSide.Store(1);
  osc.m->Params[1].WriteBothChannels = 0;
  osc.m->Params[1].Global.Store(0);
  osc.m->Params[1].OutputSide.Store(0);
  EXPECT_EQ(Line(0, osc.m, -1, nullptr), "0- Create Osc 1.");
  EXPECT_EQ(Line(1, env.m, -1, nullptr), "0- Delete Env 2.");
  EXPECT_EQ(Line(2, osc.m, 0, nullptr), "0- Set input 'F' of Osc 1 as mono.");
  EXPECT_EQ(Line(2, osc.m, 1, nullptr), "0- Set input 'A' of Osc 1 as stereo.");
  EXPECT_EQ(Line(2, osc.m, -1, nullptr), "0- Set Osc 1 as mono.");
  EXPECT_EQ(Line(2, env.m, -1, nullptr), "0- Set Env 2 as stereo.");
  EXPECT_EQ(Line(3, osc.m, 0, nullptr), "0- Set input 'F' of Osc 1 as global.");
  EXPECT_EQ(Line(3, osc.m, 1, nullptr), "0- Set input 'A' of Osc 1 as local.");
  EXPECT_EQ(Line(4, osc.m, 1, env.m), "0- Connect input 'A' of Osc 1 to Env 2.");
  EXPECT_EQ(Line(4, osc.m, 1, osc.m), "0- Connect input 'A' of Osc 1 to self.");
  EXPECT_EQ(Line(5, osc.m, 0, env.m), "0- Disconnect input 'F' of Osc 1 from Env 2.");
  EXPECT_EQ(Line(5, osc.m, 0, osc.m), "0- Disconnect input 'F' of Osc 1 from self.");
  EXPECT_EQ(Line(6, env.m, -1, nullptr), "0- Connect Env 2 to synth.");
  EXPECT_EQ(Line(7, env.m, -1, nullptr), "0- Disconnect Env 2 from synth.");
  EXPECT_EQ(Line(8, osc.m, 0, nullptr), "0- Set input 'F' of Osc 1 as energy.");
  EXPECT_EQ(Line(8, osc.m, 1, nullptr), "0- Set input 'A' of Osc 1 as time.");
  EXPECT_EQ(Line(9, osc.m, 1, nullptr), "0- Set input 'A' of Osc 1 as voice map source.");
  EXPECT_EQ(Line(10, env.m, -1, nullptr), "0- Set Env 2 as envelope.");
  EXPECT_EQ(Line(11, osc.m, -1, nullptr), "0- Toggle play state of Osc 1.");
  EXPECT_EQ(Line(12, osc.m, -1, nullptr), "0- Toggle power of Osc 1.");
  EXPECT_EQ(Line(13, osc.m, -1, nullptr), "0- Toggle polyphony mode of Osc 1.");
  // A port the module cannot have reads as the module itself.
  EXPECT_EQ(Line(2, osc.m, 99, nullptr), "0- Set Osc 1 as mono.");
}

TEST_F(HistoryTest, KindsWithoutTextRecordNothing) {
  TestModule osc("Osc", 1);
  for (int32_t kind : {-1, 14, 100, -5}) EXPECT_EQ(RecordAction(kind, osc.m, -1, nullptr), 0);
  EXPECT_EQ(ActionHistory.count, 0);
  EXPECT_EQ(GetActionLine(0), "");
  EXPECT_EQ(GetActionLine(-1), "");
}

TEST_F(HistoryTest, NumberingGrowthAndClear) {
  TestModule osc("Osc", 3);
  for (int i = 0; i < 16; ++i) ASSERT_EQ(RecordAction(12, osc.m, -1, nullptr), 0);
  EXPECT_EQ(ActionHistory.capacity, 16);
  ASSERT_EQ(RecordAction(0, osc.m, -1, nullptr), 0);
  EXPECT_EQ(ActionHistory.capacity, 32);
  EXPECT_EQ(ActionHistory.count, 17);
  EXPECT_EQ(GetActionLine(0), "0- Toggle power of Osc 3.");
  EXPECT_EQ(GetActionLine(15), "15- Toggle power of Osc 3.");
  EXPECT_EQ(GetActionLine(16), "16- Create Osc 3.");

  ClearHistory();
  EXPECT_EQ(ActionHistory.count, 0);
  EXPECT_EQ(ActionHistory.capacity, 32);  // kept
  ASSERT_EQ(RecordAction(1, osc.m, -1, nullptr), 0);
  EXPECT_EQ(GetActionLine(0), "0- Delete Osc 3.");
}

TEST_F(HistoryTest, RefusedGrowthDropsOnlyTheNewLine) {
  TestModule osc("Osc", 1);
  for (int i = 0; i < 16; ++i) ASSERT_EQ(RecordAction(0, osc.m, -1, nullptr), 0);
  HistoryFailNextGrowths(1);
  EXPECT_EQ(RecordAction(1, osc.m, -1, nullptr), -21);
  EXPECT_EQ(ActionHistory.count, 16);
  EXPECT_EQ(ActionHistory.capacity, 16);
  EXPECT_EQ(GetActionLine(15), "15- Create Osc 1.");
  ASSERT_EQ(RecordAction(1, osc.m, -1, nullptr), 0);
  EXPECT_EQ(GetActionLine(16), "16- Delete Osc 1.");
}

TEST_F(HistoryTest, LanguageTableTextsAreUsed) {
  ASSERT_EQ(QUARLE_BASICS::LanguageTableCreate(116), 0);
  ASSERT_EQ(QUARLE_BASICS::LanguageTableGrow(608), 0);
  ASSERT_EQ(QUARLE_BASICS::LanguageTableSet(172, "Relier {$} \xE0 {$}"), 0);
  ASSERT_EQ(QUARLE_BASICS::LanguageTableSet(166, "mono|st\xE9r\xE9o"), 0);
  TestModule a("Osc", 1, 2), b("Mix", 4);
  EXPECT_EQ(Line(4, a.m, -1, b.m), "0- Relier Osc 1 \xE0 Mix 4.");
  EXPECT_EQ(Line(2, a.m, -1, nullptr), "0- Set Osc 1 as st\xE9r\xE9o.");
  QUARLE_BASICS::LanguageTableFree();
}

TEST(HistoryWithoutList, FirstRecordMakesTheArray) {
  // A record before the list was created must not write through a null array.
  TestModule osc("Osc", 1);
  EXPECT_EQ(RecordAction(0, osc.m, -1, nullptr), 0);
  EXPECT_EQ(GetActionLine(0), "0- Create Osc 1.");
  ActionHistoryFree();
  EXPECT_EQ(GetActionLine(0), "");
}

}  // namespace
}  // namespace Tarvelo
