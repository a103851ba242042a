// The message view: its two tabs swap the lists and the list-order switch
// follows; the system messages cannot be selected, the action history can.
#include "panels_b_fixture.h"

namespace panelsb {
namespace {

using namespace Tarvelo;

TEST_F(PanelsBTest, MessageTabsSwapTheListsAndTheOrderSwitchFollows) {
  const int32_t t1 = Slot(kUiMSGT1), msgs = Slot(kUiMSGS), order = Slot(kUiLSORDER);
  ASSERT_GT(t1, 0);
  ASSERT_EQ(Id(t1 + 1), "MSGT2");
  ASSERT_EQ(Id(msgs + 1), "MSGA");
  EXPECT_EQ(Shown(msgs), -1);
  EXPECT_EQ(Shown(msgs + 1), 0);

  // A hover does nothing but the pressed look.
  Send(OnMessageTab, V::kEventHover, 0, 0, t1 + 1);
  EXPECT_EQ(Shown(msgs), -1);

  Press(OnMessageTab, t1 + 1);
  EXPECT_EQ(C(t1 + 1)->State.Pressed, -1);
  EXPECT_EQ(On(t1), 0);
  EXPECT_EQ(On(t1 + 1), -1);
  EXPECT_EQ(Shown(msgs), 0);
  EXPECT_EQ(Shown(msgs + 1), -1);
  EXPECT_EQ(Field(order).Selected, 0);  // the history shows reversed

  // The order switch reverses only the history list.
  Field(msgs + 1).Reversed = 0;
  Press(OnMessageTab, t1 + 1);
  EXPECT_EQ(Field(order).Selected, 1);
  EXPECT_EQ(Field(msgs).Reversed, -1);

  Press(OnMessageTab, t1);
  EXPECT_EQ(On(t1), -1);
  EXPECT_EQ(On(t1 + 1), 0);
  EXPECT_EQ(Shown(msgs), -1);
  EXPECT_EQ(Shown(msgs + 1), 0);
  EXPECT_EQ(Field(order).Selected, 0);
}

TEST_F(PanelsBTest, SystemMessagesHoverButNeverSelectWhileTheHistorySelects) {
  const int32_t msgs = Slot(kUiMSGS);
  for (int i = 0; i < 3; ++i) LogMessage("message " + std::to_string(i), 0);
  ModuleRecord* m = Make(kTypeOscillator);
  for (int i = 0; i < 3; ++i) RecordAction(kActionPower, m, -1, nullptr);

  // Reversed: the top row is the newest message.
  PressRow(OnSystemMessageList, msgs, 0);
  EXPECT_EQ(Field(msgs).Mark, 2);
  ClickRow(OnSystemMessageList, msgs, 0);
  EXPECT_EQ(Field(msgs).Selected, -1);
  Send(OnSystemMessageList, V::kEventLeave, 0, 0, msgs);
  EXPECT_EQ(Field(msgs).Mark, -1);

  const int32_t msga = msgs + 1;
  C(msga)->Visible = -1;
  ClickRow(OnActionHistoryList, msga, 1);
  EXPECT_EQ(Field(msga).Selected, 1);
  // The selected line clicked again clears the selection.
  ClickRow(OnActionHistoryList, msga, 1);
  EXPECT_EQ(Field(msga).Selected, -1);
  // Below the last line: nothing.
  ClickRow(OnActionHistoryList, msga, 5);
  EXPECT_EQ(Field(msga).Selected, -1);
}

}  // namespace
}  // namespace panelsb
