// The first groups: ids of the named controls, positions at zoom 1 on the
// reference windows, looks and fields that handlers rely on.
#include "build_fixture.h"

namespace buildtest {
namespace {

using namespace Tarvelo;

TEST_F(BuildTest, NamedSlotsHoldTheirControls) {
  ASSERT_EQ(BuildInterface(1.0f), 0);
  const std::pair<int32_t, int32_t> slots[] = {
      {0, 7},    {1, 8},    {2, 13},   {3, 12},   {4, 15},   {5, 14},   {6, 16},   {11, 20},
      {12, 21},  {13, 22},  {14, 31},  {15, 58},  {16, 60},  {17, 61},  {18, 57},  {19, 43},
      {20, 54},  {21, 33},  {22, 52},  {25, 53},  {26, 32},  {27, 45},  {28, 55},  {29, 66},
      {30, 67},  {31, 59},  {32, 71},  {33, 72},  {34, 73},  {35, 74},  {37, 75},  {38, 79},
      {39, 80},  {40, 81},  {41, 82},  {42, 87},  {43, 88},  {44, 89},  {45, 90},  {46, 94},
      {47, 95},  {48, 63},  {49, 64},  {50, 65},  {51, 96},  {53, 44},  {54, 62},  {60, 100},
      {61, 106}, {65, 113}, {66, 112}, {67, 115}, {74, 29},  {75, 30},  {103, 97}, {104, 98}};
  for (const auto& [slot, id] : slots) EXPECT_EQ(V::UiIndex[slot], id) << "slot " << slot;
  for (int32_t slot : {23, 24, 36, 76, 96, 105}) EXPECT_EQ(V::UiIndex[slot], 0) << slot;
  EXPECT_EQ(Id(0), "TARVELO");
  EXPECT_EQ(Id(21), "MB");
  EXPECT_EQ(Id(26), "DB_X");
  EXPECT_EQ(Id(54), "POLY");
  EXPECT_EQ(Id(70), "FAU_PP");
  EXPECT_EQ(Id(93), "MSET");
  EXPECT_EQ(Id(116), "MSGA");
  // The status bar follows the templates and the live blocks.
  const int32_t stb = V::WindowList[kWinSTB];
  EXPECT_EQ(V::UiIndex[kUiSTB_DM], stb + 3);
  EXPECT_EQ(V::UiIndex[kUiSTB_SHB], stb + 4);
  EXPECT_EQ(V::UiIndex[kUiSTB_CP], stb + 5);
  EXPECT_EQ(V::UiIndex[kUiMIDI0], stb + 6);
  EXPECT_EQ(V::UiIndex[kUiSTB_FPS], stb + 8);
  EXPECT_EQ(Id(stb + 8), "STB_FPS");
}

TEST_F(BuildTest, PositionsOnA1920By1080Window) {
  ASSERT_EQ(BuildInterface(1.0f), 0);
  ExpectRect(0, 0, 0, 1920, 1080);
  ExpectRect(1, 0, 0, 1920, 45);
  ExpectRect(4, 95, 5, 45, 35);
  ExpectRect(18, 929, 6, 225, 35);
  ExpectRect(20, 1155, 5, 760, 35);  // ends u before the bar's edge
  ExpectRect(23, 0, 0, 660, 35);     // DB_TEXT
  ExpectRect(24, 330, 0, 330, 35);   // the right half
  ExpectRect(25, 665, 0, 45, 35);
  ExpectRect(27, 1460, 50, 460, 1030);
  ExpectRect(29, 0, 0, 415, 45);
  ExpectRect(31, 0, 50, 460, 400);
  ExpectRect(44, 397, 48, 55, 35);   // MIDI1 at 80u - b
  ExpectRect(54, 332, 93, 40, 35);   // POLY at 67u - b
  // Parameter page: gaps of 36, five list rows, the value editor under them.
  ExpectRect(55, 8, 128, 444, 266);
  ExpectRect(60, 129, 3, 90, 35);
  ExpectRect(65, 405, 3, 35, 35);
  ExpectRect(66, 0, 38, 444, 156);
  ExpectRect(69, 90, 194, 294, 40);
  ExpectRect(70, 384, 194, 60, 40);
  // Pages: 6, 7, 4 and 7 list rows.
  ExpectRect(71, 8, 128, 444, 266);
  ExpectRect(72, 0, 0, 444, 186);
  ExpectRect(73, 0, 186, 444, 65);
  ExpectRect(76, 314, 216, 40, 35);
  ExpectRect(80, 0, 0, 444, 126);
  ExpectRect(87, 0, 226, 120, 35);
  ExpectRect(88, 120, 226, 120, 35);
  ExpectRect(96, 0, 216, 444, 35);
  ExpectRect(98, 0, 0, 444, 216);
  // Browser: the message group moved down 30 pixels, lists of 13 rows.
  ExpectRect(101, 92, 0, 92, 35);
  ExpectRect(105, 0, 490, 460, 539);
  EXPECT_EQ(C(112)->Y, 630);
  ExpectRect(115, 0, 35, 445, 396);
  EXPECT_EQ(C(115)->Y + C(115)->H, 1061);
  ExpectRect(116, 0, 35, 445, 396);
  // Status bar left of the panel, below the plane's top.
  const int32_t stb = V::WindowList[kWinSTB];
  ExpectRect(stb, 760, 103, 600, 35);
  EXPECT_EQ(C(stb + 8)->X + C(stb + 8)->W, 1455);
}

TEST_F(BuildTest, TheSmallestWindowKeepsEveryListUsable) {
  Window(1280, 720);
  ASSERT_EQ(BuildInterface(1.0f), 0);
  EXPECT_EQ(ToolsHeight, 260);
  EXPECT_EQ(C(66)->H, 36);          // one parameter row
  EXPECT_EQ(C(67)->Y - C(55)->Y, 74);
  EXPECT_EQ(C(72)->H, 36);          // RS = 1
  EXPECT_EQ(C(75)->H, 66);          // RW = 2
  // Not one filter row fits: the list keeps one and the graph shrinks, so the
  // page's controls stay inside it.
  EXPECT_EQ(C(80)->H, 36);
  EXPECT_EQ(C(80)->LayerCount, 3 + 1);
  const V::ControlRecord* page = C(79);
  EXPECT_EQ(page->H, 126);
  EXPECT_EQ(C(88)->Y + C(88)->H, page->Y + page->H);
  EXPECT_GT(C(81)->H, 0);
  EXPECT_EQ(C(112)->Y, 460 + 22);
  EXPECT_EQ(C(115)->H, 186);
}

TEST_F(BuildTest, TwoMonitorsNarrowTheBarAndRaiseTheStatusBar) {
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
  EXPECT_EQ(Tip(3), "Minimize window[Alt-M]");
  EXPECT_EQ(Tip(25), "OK [Enter]");
  EXPECT_EQ(Tip(68), "Edit this parameter by entering a floating point value");
  EXPECT_EQ(Tip(88), "Select the size of the filter lobe K = [0..N-1]: select by sliding or "
                     "clicking left or right.");
  EXPECT_EQ(Tip(109), "Delete the selected list item OR the selected module, if any [DEL]");
  EXPECT_EQ(Tip(18), Tip(19));
  EXPECT_EQ(C(12)->EventMask, 17);
  EXPECT_EQ(C(24)->EventMask, 287);
  EXPECT_EQ(C(66)->EventMask, 415);
  EXPECT_EQ(C(21)->Visible.load(), 0);
  EXPECT_EQ(C(22)->Visible.load(), 0);
  EXPECT_EQ(C(22)->NoHit.load(), -1);
  // The dialog's edit line knows its buttons; both start disabled.
  EXPECT_EQ(C(24)->Text.EditWords[0], 25u);
  EXPECT_EQ(C(24)->Text.EditWords[1], 26u);
  EXPECT_EQ(C(25)->State.Disabled, -1);
  EXPECT_EQ(C(26)->State.Disabled, -1);
  // No module selected: the panel is disabled and says so.
  EXPECT_EQ(C(31)->State.Disabled, -1);
  EXPECT_STREQ(V::TextFieldGetText(&C(32)->Text), "[NO ACTIVE SELECTION]");
  for (int32_t id = 46; id <= 51; ++id) EXPECT_EQ(C(id)->Visible.load(), 0) << id;
  EXPECT_EQ(C(45)->State.On, -1);
  EXPECT_EQ(C(41)->State.On, -1);
  for (int32_t id : {33, 35, 39, 40, 41, 42, 67, 68, 69, 70})
    EXPECT_EQ(C(id)->State.Disabled, -1) << Id(id);
  EXPECT_EQ(C(43)->State.Disabled, 0);
  // Tags the shared handlers switch on.
  const std::pair<int32_t, uint64_t> tags[] = {{5, 3},  {6, 1},  {17, 4}, {33, 2}, {35, 3},
                                               {39, 13}, {52, 0}, {54, 8}, {51, 6}, {104, 4},
                                               {106, 1}, {114, 1}, {98, 6}};
  for (const auto& [id, tag] : tags) EXPECT_EQ(C(id)->Tag, tag) << Id(id);
  // Selector start items and captions.
  EXPECT_EQ(C(88)->Text.Selected, 2);
  EXPECT_STREQ(V::TextFieldGetText(&C(96)->Text), "MIDI Channel (0=any): 0 ");
  EXPECT_STREQ(V::TextFieldGetText(&C(82)->Text), "Square (none)");
  // Meters start from the gains: 1.0 and 0.5.
  EXPECT_STREQ(V::TextFieldGetText(&C(12)->Text), "0dB");
  EXPECT_STREQ(V::TextFieldGetText(&C(14)->Text), "-6.02dB");
  // Message lists: newest first; only the action list has the list word.
  EXPECT_EQ(C(115)->Text.Reversed, -1);
  EXPECT_EQ(C(116)->Text.Reversed, -1);
  EXPECT_EQ(C(115)->Text.EditStates[0], 0);
  EXPECT_EQ(C(116)->Text.EditStates[0], -1);
  EXPECT_EQ(C(116)->Visible.load(), 0);
  // Status bar from the settings.
  const int32_t stb = V::WindowList[kWinSTB];
  EXPECT_EQ(C(stb + 2)->Text.Selected, 1);
  EXPECT_EQ(C(stb + 3)->State.Spare, 3);
  EXPECT_EQ(C(stb + 3)->Colour, 0xFFAA3200u);
  EXPECT_EQ(C(stb + 4)->State.On, -1);
  EXPECT_EQ(C(0)->Colour, 0xFF000000u);
  EXPECT_EQ(C(13)->Colour, 0xFF32323Cu);
}

TEST_F(BuildTest, LayersOfListsAndSwitches) {
  ASSERT_EQ(BuildInterface(1.0f), 0);
  EXPECT_EQ(C(66)->LayerCount, 4 + 5);  // four icons, five rows
  EXPECT_EQ(C(75)->LayerCount, 3 + 7);
  EXPECT_EQ(C(39)->LayerCount, 2);      // "1" and "2"
  EXPECT_EQ(C(106)->LayerCount, 2);     // } and {
  EXPECT_EQ(C(69)->LayerCount, 1);      // the value field's image
  ASSERT_NE(C(69)->Layers[0], nullptr);
}

}  // namespace
}  // namespace buildtest
