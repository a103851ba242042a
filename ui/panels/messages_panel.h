// The message view of the browser pane: the tabs MSGT1 (system messages) and
// MSGT2 (action history) over the two lists that share one place, MSGS (the
// message console, newest first, not selectable) and MSGA (the action
// history, newest first, selectable). The lists only hover, select and scroll;
// the list buttons of the browser act on the one on view.
#pragma once
#include <cstdint>

namespace Tarvelo {

int32_t OnMessageTab(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnSystemMessageList(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnActionHistoryList(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);

// Both drag accumulators back to 0 (tests).
void ResetMessagePanelStatics();

}  // namespace Tarvelo
