#include "ui/build/callbacks.h"

#include <vector>

#include "visuals/control_table.h"

namespace Tarvelo {

using QUARLE_VISUALS::ControlAt;
using QUARLE_VISUALS::ControlRecord;
using QUARLE_VISUALS::ControlTableCount;

UiCallbackSlots Cb;

namespace {
// one thread: interface
std::vector<int32_t> g_selectors;
}

void ResetUiCallbacks() { Cb = UiCallbackSlots{}; }

void MarkSelector(int32_t id) { g_selectors.push_back(id); }

bool IsMarkedSelector(int32_t id) {
  for (int32_t s : g_selectors)
    if (s == id) return true;
  return false;
}

void ClearSelectorMarks() { g_selectors.clear(); }

int32_t FinishControlFlags(const std::string& hintH, const std::string& hintV) {
  const int32_t count = ControlTableCount();
  for (int32_t id = 0; id < count; ++id) {
    ControlRecord* c = ControlAt(id);
    if (!c) continue;
    // The list and edit words live in the text field (see frame.h).
    if (c->Text.EditStates[0] == -1 || c->Text.EditStates[1] == -1) c->EditArrows = -1;
    const QUARLE_VISUALS::DrawCallbackFn draw = c->DrawCallback.load();
    const bool selector =
        (Cb.DrawSelector != nullptr && draw == Cb.DrawSelector) || IsMarkedSelector(id);
    if (!selector) {
      if ((Cb.DrawLabel != nullptr && draw == Cb.DrawLabel) || c->EventCallback == nullptr)
        c->EventMask = 0;
      continue;
    }
    const std::string& hint = c->H >= c->W ? hintV : hintH;
    std::string tip = QUARLE_BASICS::DynZStringGet(c->Tooltip);
    tip += ": ";
    tip += hint;
    QUARLE_BASICS::DynZStringAssign(c->Tooltip, tip);
  }
  return 0;
}

}  // namespace Tarvelo
