// The first groups: ids of the named controls, positions at zoom 1 on the
// reference windows, looks and fields that handlers rely on.
#include "build_fixture.h"

namespace buildtest {
namespace {

using namespace Tarvelo;

TEST_F(BuildTest, NamedSlotsHoldTheirControls) {
  ASSERT_EQ(BuildInterface(1.0f), 0);
  const std::pair<int32_t, int32_t> slots[] = {{0, 7}, {15, 58}, {53, 44}, {104, 98}};
  for (const auto& [slot, id] : slots) EXPECT_EQ(V::UiIndex[slot], id) << "slot " << slot;
  for (int32_t slot : {23, 105}) EXPECT_EQ(V::UiIndex[slot], 0) << slot;
  EXPECT_EQ(Id(0), "TARVELO");
  EXPECT_EQ(Id(116), "MSGA");
  // The status bar follows the templates and the live blocks.
  const int32_t stb = V::WindowList[kWinSTB];
  EXPECT_EQ(V::UiIndex[kUiSTB_DM], stb + 3);
  EXPECT_EQ(V::UiIndex[kUiSTB_FPS], stb + 8);
  EXPECT_EQ(Id(stb + 8), "STB_FPS");
}

TEST_F(BuildTest, PositionsOnA1920By1080Window) {
  ASSERT_EQ(BuildInterface(1.0f), 0);
  ExpectRect(0, 0, 0, 1920, 1080);
  ExpectRect(20, 1155, 5, 760, 35);  // ends u before the bar's edge
  ExpectRect(24, 330, 0, 330, 35);   // the right half
  ExpectRect(44, 397, 48, 55, 35);   // MIDI1 at 80u - b
  // Parameter page: gaps of 36, five list rows, the value editor under them.
  ExpectRect(66, 0, 38, 444, 156);
  ExpectRect(69, 90, 194, 294, 40);
  ExpectRect(80, 0, 0, 444, 126);
  // Browser: the message group moved down 30 pixels, lists of 13 rows.
  EXPECT_EQ(C(112)->Y, 630);
  ExpectRect(115, 0, 35, 445, 396);
  EXPECT_EQ(C(115)->Y + C(115)->H, 1061);
  // Status bar left of the panel, below the plane's top.
  const int32_t stb = V::WindowList[kWinSTB];
  ExpectRect(stb, 760, 103, 600, 35);
  EXPECT_EQ(C(stb + 8)->X + C(stb + 8)->W, 1455);
}

TEST_F(BuildTest, SmallWindowKeepsListsUsableAndTwoMonitorsNarrowTheBar) {
  Window(1280, 720);
  ASSERT_EQ(BuildInterface(1.0f), 0);
  EXPECT_EQ(ToolsHeight, 260);
  EXPECT_EQ(C(66)->H, 36);  // one parameter row
  // Not one filter row fits: the list keeps one and the graph shrinks, so the
  // page's controls stay inside it.
  EXPECT_EQ(C(80)->H, 36);
  EXPECT_EQ(C(80)->LayerCount, 3 + 1);
  const V::ControlRecord* page = C(79);
  EXPECT_EQ(C(88)->Y + C(88)->H, page->Y + page->H);
  EXPECT_GT(C(81)->H, 0);
  EXPECT_EQ(C(115)->H, 186);

  MonitorsSpanned = 2;
  Window(3840, 1080);
  ASSERT_EQ(BuildInterface(1.0f), 0);
  EXPECT_EQ(C(1)->W, 1920);
  EXPECT_EQ(C(20)->X + C(20)->W, 1920 - 5);
  EXPECT_EQ(C(V::WindowList[kWinSTB])->Y, 53);
}

TEST_F(BuildTest, TooltipsMasksAndStartStates) {
  Settings.AutoSave = -1;
  Settings.Scope = 3;
  // Controls with an event callback keep their masks.
  const V::EventCallbackFn any = [](uint32_t, int32_t, int32_t, int32_t, int32_t) { return 0; };
  Cb.OnAudioInputMeter = Cb.OnDialogEdit = Cb.OnParameterList = any;
  ASSERT_EQ(BuildInterface(1.0f), 0);
  EXPECT_EQ(Tip(2), "Quit program - always asks for confirmation [CTRL-X]");
  EXPECT_EQ(Tip(109), "Delete the selected list item; with none selected on a module list, the selected module [DEL]");
  EXPECT_EQ(C(24)->EventMask, 287);
  EXPECT_EQ(C(22)->NoHit.load(), -1);
  // The dialog's edit line knows its buttons; both start disabled.
  EXPECT_EQ(C(24)->Text.EditWords[0], 25u);
  EXPECT_EQ(C(24)->Text.EditWords[1], 26u);
  EXPECT_EQ(C(25)->State.Disabled, -1);
  // No module selected: the panel is disabled and says so.
  EXPECT_EQ(C(31)->State.Disabled, -1);
  EXPECT_STREQ(V::TextFieldGetText(&C(32)->Text), "[NO ACTIVE SELECTION]");
  EXPECT_EQ(C(43)->State.Disabled, 0);
  // Tags the shared handlers switch on.
  EXPECT_EQ(C(39)->Tag, 13u);
  EXPECT_EQ(C(98)->Tag, 6u);
  // Meters start from the gains: 1.0 and 0.5.
  EXPECT_STREQ(V::TextFieldGetText(&C(12)->Text), "0dB");
  EXPECT_STREQ(V::TextFieldGetText(&C(14)->Text), "-6.02dB");
  // Message lists: newest first; only the action list has the list word.
  EXPECT_EQ(C(115)->Text.Reversed, -1);
  EXPECT_EQ(C(115)->Text.EditStates[0], 0);
  EXPECT_EQ(C(116)->Text.EditStates[0], -1);
  // Status bar from the settings.
  const int32_t stb = V::WindowList[kWinSTB];
  EXPECT_EQ(C(stb + 3)->State.Spare, 3);
  EXPECT_EQ(C(stb + 4)->State.On, -1);
  // Lists: icons plus rows; switches one layer per state.
  EXPECT_EQ(C(66)->LayerCount, 4 + 5);
  EXPECT_EQ(C(39)->LayerCount, 2);
  ASSERT_NE(C(69)->Layers[0], nullptr);
}

}  // namespace
}  // namespace buildtest
