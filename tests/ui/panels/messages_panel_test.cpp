// The message view: the tabs swap the lists and the order switch follows;
// system messages cannot be selected, history lines can.
#include "panels_b_fixture.h"

namespace panelsb {
namespace {

using namespace Tarvelo;

TEST_F(PanelsBTest, MessageTabsSwapTheListsAndTheOrderSwitchFollows) {
  const int32_t t1 = Slot(kUiMSGT1), msgs = Slot(kUiMSGS), order = Slot(kUiLSORDER);
  ASSERT_EQ(Id(msgs + 1), "MSGA");
  Field(msgs + 1).Reversed = 0;  // the history shown in normal order
  Press(OnMessageTab, t1 + 1);
  EXPECT_EQ(C(t1 + 1)->State.Pressed, -1);
  EXPECT_EQ(On(t1), 0);
  EXPECT_EQ(On(t1 + 1), -1);
  EXPECT_EQ(Shown(msgs), 0);
  EXPECT_EQ(Shown(msgs + 1), -1);
  EXPECT_EQ(Field(order).Selected, 1);
  Press(OnMessageTab, t1);
  EXPECT_EQ(On(t1 + 1), 0);
  EXPECT_EQ(Shown(msgs), -1);
  EXPECT_EQ(Field(order).Selected, 0);  // the messages show newest first
}

TEST_F(PanelsBTest, SystemMessagesHoverButNeverSelectWhileTheHistorySelects) {
  const int32_t msgs = Slot(kUiMSGS), msga = msgs + 1;
  for (int i = 0; i < 3; ++i) LogMessage("message " + std::to_string(i), 0);
  ModuleRecord* m = Make(kTypeOscillator);
  for (int i = 0; i < 3; ++i) RecordAction(kActionPower, m, -1, nullptr);
  PressRow(OnSystemMessageList, msgs, 0);
  EXPECT_EQ(Field(msgs).Mark, 2);  // newest at the top
  ClickRow(OnSystemMessageList, msgs, 0);
  EXPECT_EQ(Field(msgs).Selected, -1);
  ClickRow(OnActionHistoryList, msga, 1);
  EXPECT_EQ(Field(msga).Selected, 1);
  ClickRow(OnActionHistoryList, msga, 1);  // the selected line again: cleared
  EXPECT_EQ(Field(msga).Selected, -1);
}

}  // namespace
}  // namespace panelsb
