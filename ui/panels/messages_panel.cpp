#include "ui/panels/messages_panel.h"

#include "app/state/console.h"
#include "app/state/history.h"
#include "platform/threads.h"
#include "ui/build/frame.h"
#include "ui/panels/libraries.h"
#include "ui/panels/panel_common.h"
#include "ui/views/list_views.h"

namespace Tarvelo {

namespace V = QUARLE_VISUALS;

namespace {
int32_t MessagesAccumulator = 0;
int32_t HistoryAccumulator = 0;
}  // namespace

void ResetMessagePanelStatics() { MessagesAccumulator = HistoryAccumulator = 0; }

int32_t OnMessageTab(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  PressedLook(id, bits);
  if (!(bits & V::kEventPress)) return 0;
  ControlRecord* tab = PanelCtl(id);
  const int32_t first = SlotId(kUiMSGT1);
  const int32_t msgs = SlotId(kUiMSGS);
  if (!tab || first <= 0 || msgs <= 0) return 0;
  SetOnWord(first, 0);
  SetOnWord(first + 1, 0);
  SetVisibleWord(msgs, 0);
  SetVisibleWord(msgs + 1, 0);
  const int32_t tag = tab->Tag == 1 ? 1 : 0;
  SetOnWord(id, -1);
  SetVisibleWord(msgs + tag, -1);
  ShowListOrderOf(msgs + tag);
  return 0;
}

int32_t OnSystemMessageList(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t) {
  PressedLook(id, bits);
  int32_t count = 0;
  {
    // Messages arrive from any thread.
    platform::MutexGuard guard(MessageConsole.lock);
    count = MessageConsole.count;
  }
  ListProcedure(bits, x, y, id, count, MessagesAccumulator);
  return 0;
}

int32_t OnActionHistoryList(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t) {
  PressedLook(id, bits);
  // Only the main thread appends to the history.
  ListProcedure(bits, x, y, id, ActionHistory.count, HistoryAccumulator);
  return 0;
}

}  // namespace Tarvelo
