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
// one thread: interface
int32_t MessagesAccumulator = 0;
int32_t HistoryAccumulator = 0;
}  // namespace

void ResetMessagePanelStatics() { MessagesAccumulator = HistoryAccumulator = 0; }

int32_t OnMessageTab(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  ShowTabPage(id, bits, kUiMSGT1, kUiMSGS);
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
