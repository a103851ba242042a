// The frame: derived sizes, the shortcut and window tables, rebuilds, the
// live modules' blocks and the failure rule.
#include <vector>

#include "build_fixture.h"
#include "engine/modulelist.h"
#include "platform/threads.h"

namespace buildtest {
namespace {

using namespace Tarvelo;

TEST_F(BuildTest, SizesAtZoomOneFollowTheWindow) {
  ASSERT_EQ(BuildInterface(1.0f), 0);
  EXPECT_EQ(WindowUnitsWide, 384);
  EXPECT_EQ(WindowUnitsHigh, 216);
  EXPECT_EQ(MonitorUnits, 384);
  EXPECT_EQ(ListTextSize, 22);  // 22.5 rounds to even
  EXPECT_EQ(ToolsHeight, 400);
  EXPECT_EQ(KeyboardKeySize, 45);
  EXPECT_EQ(V::InterfaceReady.load(), -1);
  // The captions live only during the build.
  EXPECT_TRUE(Caption(286).empty());

  MonitorsSpanned = 2;
  Window(3840, 1080);
  ASSERT_EQ(BuildInterface(1.0f), 0);
  EXPECT_EQ(MonitorUnits, 384);
}

TEST_F(BuildTest, ShortcutAndWindowTables) {
  ASSERT_EQ(BuildInterface(1.0f), 0);
  const std::vector<std::pair<int32_t, const char*>> keys = {
      {3, "LICOPY"}, {24, "Quit"}, {339, "LIDEL"}};
  int32_t mapped = 0;
  for (int32_t k : V::KeyShortcutTable) mapped += k != 0;
  EXPECT_EQ(mapped, 11);
  for (const auto& [key, name] : keys) EXPECT_EQ(Id(V::KeyShortcutTable[key]), name) << key;
  EXPECT_EQ(V::WindowList[kWinPANEL], 27);
  EXPECT_EQ(Id(V::WindowList[kWinSTB]), "STB_WIN");
  EXPECT_EQ(AudioTabId, 17);
  EXPECT_EQ(*V::DialogEditIndex, 24);
}

TEST_F(BuildTest, RebuildAtZoomTwoKeepsIdsAndScalesSizes) {
  ASSERT_EQ(BuildInterface(1.0f), 0);
  const int32_t count = V::ControlTableCount();
  Zoom(2);
  ASSERT_EQ(BuildInterface(1.0f), 0);
  EXPECT_EQ(V::ControlTableCount(), count);
  EXPECT_EQ(Id(2), "Quit");
  ExpectRect(2, 10, 10, 90, 70);
  EXPECT_EQ(ListTextSize, 45);
  EXPECT_EQ(ToolsHeight, 10 * 38);  // floor(0.39 x (108 - 9)) units
  // Five browser tabs of 184 fill 920 exactly.
  int32_t sum = 0;
  for (int32_t id = 100; id <= 104; ++id) sum += C(id)->W;
  EXPECT_EQ(sum, 920);
}

struct ModuleFixture {
  ModuleRecord module{};
  ModuleRecord* entries[1] = {&module};
  ModuleListRecord saved = ModuleList;
  ModuleFixture() {
    module.ParamCount = 0;
    ModuleList.entries = entries;
    ModuleList.count = 1;
  }
  ~ModuleFixture() { ModuleList = saved; }
};

std::vector<std::pair<int32_t, int32_t>> g_blocks;
int32_t g_blockResult = 1;
bool g_failNext = false;

int32_t RecordBlock(ModuleRecord*, int32_t x, int32_t y) {
  g_blocks.emplace_back(x, y);
  if (g_failNext) platform::FailNextMutexCreations(1);
  return g_blockResult;
}

TEST_F(BuildTest, LiveBlocksKeepTheirOffsetFromTheOutputPortTimesScale) {
  ModuleFixture mf;
  g_blocks.clear();
  g_blockResult = 1;
  g_failNext = false;
  Cb.CreateModuleControls = RecordBlock;
  ASSERT_EQ(BuildInterface(1.0f), 0);
  ASSERT_EQ(g_blocks.size(), 1u);
  // No box yet: a zero offset, so the block is made on the output port.
  ASSERT_TRUE(PlaneBuilt());
  EXPECT_EQ(g_blocks[0], std::make_pair(C(141)->X, C(141)->Y));

  // The box is some control of the old tree (Quit at (5, 5)); its offset from
  // the old output port comes back times the scale from the new one.
  mf.module.BoxControl.Store(2);
  ASSERT_EQ(BuildInterface(2.5f), 0);
  ASSERT_EQ(g_blocks.size(), 2u);
  // The port stays at (748, 950): 748 - 743 x 2.5 = -1109.5 and 950 - 945 x 2.5
  // = -1412.5, both to even.
  EXPECT_EQ(g_blocks[1], std::make_pair(-1110, -1412));
}

TEST_F(BuildTest, AFailedBlockEndsTheBuildBeforeTheStatusBar) {
  ModuleFixture mf;
  g_blocks.clear();
  g_blockResult = -21;
  g_failNext = false;
  Cb.CreateModuleControls = RecordBlock;
  EXPECT_EQ(BuildInterface(1.0f), -21);
  EXPECT_EQ(V::InterfaceReady.load(), 0);
  const int32_t count = V::ControlTableCount();
  EXPECT_EQ(Id(count - 1), "MODOUT");
  EXPECT_EQ(V::UiIndex[kUiSTB_DM], 0);
  EXPECT_TRUE(Caption(287).empty());
}

TEST_F(BuildTest, AFailedCreationStopsAtOnceAndKeepsWhatWasMade) {
  ModuleFixture mf;
  g_blocks.clear();
  g_blockResult = 1;
  g_failNext = true;  // the next control (STB_WIN) cannot get its locks
  Cb.CreateModuleControls = RecordBlock;
  EXPECT_EQ(BuildInterface(1.0f), -26);
  g_failNext = false;
  EXPECT_EQ(V::InterfaceReady.load(), 0);
  const int32_t last = V::ControlTableCount() - 1;
  EXPECT_EQ(Id(last), "STB_WIN");
  EXPECT_EQ(C(last)->Visible.load(), 0);  // made hidden
  // Nothing after the failed control: no look, no table entry.
  EXPECT_EQ(V::WindowList[kWinSTB], 0);
  EXPECT_EQ(C(last)->NoHit.load(), 0);
  // Labels and masks were not finished either.
  EXPECT_EQ(C(1)->EventMask, 31);
}

TEST_F(BuildTest, FinishingFlagsMasksHintsAndArrowKeys) {
  ASSERT_EQ(BuildInterface(1.0f), 0);
  // No event callback: mask 0 (the slots are empty in these tests).
  EXPECT_EQ(C(1)->EventMask, 0);
  // Selectors keep theirs and get the hint matching their shape.
  EXPECT_EQ(C(60)->EventMask, 31);
  EXPECT_EQ(Tip(60), "Select spatial channel: select by sliding or clicking left or right.");
  // Lists and the edit line take arrow keys; the message list does not.
  EXPECT_EQ(C(66)->EditArrows, -1);
  EXPECT_EQ(C(115)->EditArrows, 0);
  EXPECT_EQ(C(116)->EditArrows, -1);
}

TEST_F(BuildTest, InstalledPreparationReplacesTheDefault) {
  static int32_t calls = 0;
  static std::string h, v;
  Cb.PrepareControlImages = [](const std::string& a, const std::string& b) -> int32_t {
    ++calls;
    h = a;
    v = b;
    return -30;
  };
  EXPECT_EQ(BuildInterface(1.0f), -30);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(h, "select by sliding or clicking left or right.");
  EXPECT_EQ(v, "select by sliding or clicking up or down.");
  EXPECT_EQ(V::InterfaceReady.load(), 0);
}

}  // namespace
}  // namespace buildtest
