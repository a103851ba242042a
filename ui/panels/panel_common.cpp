#include "ui/panels/panel_common.h"

#include <cctype>
#include <cmath>
#include <cstdlib>

#include "app/state/dialogs.h"
#include "app/state/module_page.h"
#include "app/state/modules.h"
#include "audio/midi.h"
#include "basics/listings.h"
#include "engine/modulelist.h"
#include "engine/notes.h"
#include "platform/screen.h"
#include "ui/build/frame.h"
#include "visuals/control_table.h"
#include "visuals/event_loop.h"
#include "visuals/layers.h"
#include "visuals/visuals.h"

namespace Tarvelo {

namespace V = QUARLE_VISUALS;
using QUARLE_BASICS::CommandMessage;

// --- Controls -----------------------------------------------------------------

ControlRecord* PanelCtl(int32_t id) { return id < 0 ? nullptr : V::ControlAt(id); }

int32_t SlotId(int32_t slot) {
  if (!V::UiIndex || slot < 0 || slot >= kUiSlotCount) return 0;
  return V::UiIndex[slot];
}

ControlRecord* SlotCtl(int32_t slot) {
  const int32_t id = SlotId(slot);
  return id > 0 ? V::ControlAt(id) : nullptr;
}

int32_t WindowIdOf(int32_t slot) {
  if (!V::WindowList || slot < 0 || slot >= V::WindowSlotCount) return 0;
  return V::WindowList[slot];
}

ControlRecord* WindowCtl(int32_t slot) {
  const int32_t id = WindowIdOf(slot);
  return id > 0 ? V::ControlAt(id) : nullptr;
}

void PressedLook(int32_t id, uint32_t bits) {
  if (ControlRecord* c = PanelCtl(id))
    c->State.Pressed = (bits == V::kEventPress || bits == V::kEventDrag || bits == V::kEventDragOver)
                           ? -1
                           : 0;
}

bool ToggleLook(int32_t id, uint32_t bits) {
  ControlRecord* c = PanelCtl(id);
  if (!c) return false;
  if (bits == V::kEventPress) {
    c->State.Pressed = -1;
  } else if (bits == V::kEventClick) {
    c->State.Pressed = 0;
    c->State.On = c->State.On ? 0 : -1;
    return true;
  } else if (bits == 0) {
    c->State.Pressed = 0;
  }
  return false;
}

void PublishState(int32_t id) {
  if (ControlRecord* c = PanelCtl(id)) V::ControlPublishState(c);
}

void PublishText(int32_t id, int64_t flags) {
  if (ControlRecord* c = PanelCtl(id)) V::ControlPublishText(c, flags);
}

void PublishWhole(int32_t id, int64_t flags) {
  if (ControlRecord* c = PanelCtl(id)) V::ControlPublish(c, flags);
}

void SetOnWord(int32_t id, int64_t on) {
  if (ControlRecord* c = PanelCtl(id)) {
    c->State.On = on;
    V::ControlPublishState(c);
  }
}

void SetVisibleWord(int32_t id, int64_t visible) {
  if (ControlRecord* c = PanelCtl(id)) V::ControlSetVisible(c, visible);
}

void SetTextOf(int32_t id, const std::string& text) {
  if (ControlRecord* c = PanelCtl(id)) V::TextFieldSetText(&c->Text, text.c_str());
}

std::string TextOf(int32_t id) {
  const ControlRecord* c = PanelCtl(id);
  return c ? V::TextFieldGetText(&c->Text) : "";
}

// --- Messages -------------------------------------------------------------------

CommandMessage HandlerMessage{};

double PanelNow() { return V::GuiTimer(); }

int32_t PostHandlerMessage(int32_t queue) {
  HandlerMessage.timeStamp = PanelNow();
  const int32_t r = QUARLE_BASICS::PostCommand(HandlerMessage, queue, -1);
  // A refused message is not cleared by the queue; the next post starts afresh.
  QUARLE_BASICS::CommandClear(HandlerMessage);
  return r;
}

int32_t PostControlEvent(int32_t target, int32_t source, uint32_t bits) {
  CommandMessage m{};
  m.type = QUARLE_BASICS::kCommandControlEvent;
  m.arg1 = static_cast<uint32_t>(source);
  m.arg2 = static_cast<uint32_t>(target);
  m.arg5 = bits;
  m.timeStamp = PanelNow();
  return QUARLE_BASICS::PostCommand(m, QUARLE_BASICS::MainCommandQueue, -1);
}

// --- Selectors ------------------------------------------------------------------------

namespace {

// n is a single so that the zoom selector wraps in single precision; for a
// whole n this is the plain wrap.
int32_t WrapOption(int32_t option, float n) {
  if (static_cast<float>(option) >= n) option = static_cast<int32_t>(std::nearbyint(static_cast<float>(option) - n));
  if (option < 0) option = static_cast<int32_t>(std::nearbyint(static_cast<float>(option) + n));
  return option;
}

}  // namespace

bool SelectorEvent(uint32_t bits, int32_t x, int32_t y, int32_t id, float n,
                   int32_t& accumulator, bool vertical, int32_t* direction) {
  ControlRecord* c = PanelCtl(id);
  if (direction) *direction = 1;
  if (!c) return false;
  if (!(n >= 1.0f)) n = 1.0f;
  const int32_t extent = vertical ? c->H : c->W;
  const int32_t half = static_cast<int32_t>(std::nearbyint(extent * 0.5));
  const int32_t r = vertical ? y - c->Y : x - c->X;
  int32_t option = c->Text.Selected;
  bool changed = false;
  if (bits & V::kEventDrag) {
    accumulator += vertical ? -y : x;
    const int32_t k = static_cast<int32_t>(std::nearbyint(accumulator / 25.0));
    const int32_t s = (k > 0) - (k < 0);
    option = WrapOption(option + s, n);
    accumulator -= 25 * k;
    if (s != 0) {
      c->Dragged = -1;
      changed = true;
      if (direction) *direction = s;
    }
  } else if (bits & V::kEventClick) {
    if (r < half) {
      option = WrapOption(option - 1, n);
      if (direction) *direction = -1;
    } else if (r > half) {
      option = WrapOption(option + 1, n);
    }
    changed = true;
    accumulator = 0;
  } else if (bits & (V::kEventHover | V::kEventPress)) {
    c->Text.Mark = r < half ? 1 : (r > half ? 2 : 0);
    accumulator = 0;
  } else {
    c->Text.Mark = 0;
    accumulator = 0;
  }
  c->Text.Changed = -1;
  if (changed) c->Text.Selected = option;
  return changed;
}

// --- Services -------------------------------------------------------------------------

PanelServices Panel{};

void ResetPanelServices() { Panel = PanelServices{}; }

int32_t PanelOpenDialog(int32_t owner, const std::string& text, int64_t withEdit,
                        const std::string& editText, int32_t w1, int32_t w2, int32_t w3) {
  return OpenDialog(owner, text, withEdit, editText, w1, w2, w3);
}
int32_t PanelAnswerDialog(int32_t source, int64_t answer) { return AnswerDialog(source, answer); }
int32_t PanelCloseDialog() { return CloseDialog(); }
int32_t PanelDialogOwner() { return DialogOwner; }
int64_t PanelTakeDialogAnswered() {
  const int64_t a = DialogAnswered;
  DialogAnswered = 0;
  return a;
}
int64_t PanelDialogAnswer() { return DialogAnswer; }
int32_t PanelDialogWord(int32_t i) { return i >= 1 && i <= 3 ? DialogContext[i - 1] : 0; }

void PanelSelectModule(ModuleRecord* module, int32_t port) { SelectModule(module, port); }
void PanelShowPortPage(ModuleRecord* module, int32_t port) { ShowPortPage(module, port); }
int32_t PanelCreateModule(int32_t n, int32_t x, int32_t y, int32_t source) {
  return CreateModule(n, x, y, source);
}
int32_t PanelDeleteModule(ModuleRecord* module) { return DeleteModule(module); }
int32_t PanelBrowseFolder(const std::string& folder, const std::string& name) {
  return BrowseFolder(folder, name);
}
int32_t PanelSelectBrowserFile(const std::string& name) { return SelectBrowserFile(name); }
int32_t PanelActiveBrowserList() { return GetActiveBrowserList(); }

int32_t PanelSelectedMidiMap() { return Panel.SelectedMidiMap ? Panel.SelectedMidiMap() : -1; }

void PanelMinimizeWindow() {
  if (Panel.MinimizeWindow) return Panel.MinimizeWindow();
  platform::ScreenMinimizeWindow();
}

void PanelOpenWebAddress(const std::string& address) {
  if (Panel.OpenWebAddress) return Panel.OpenWebAddress(address);
  if (address.empty() || platform::ScreenHeadless()) return;
  // Only the address's own safe characters reach the shell.
  for (char ch : address)
    if (!(std::isalnum(static_cast<unsigned char>(ch)) || std::string("./:-_~?=&%#").find(ch) !=
                                                             std::string::npos))
      return;
  const std::string command = "xdg-open '" + address + "' >/dev/null 2>&1 &";
  [[maybe_unused]] const int rc = std::system(command.c_str());
}

int32_t PanelCheckMidiDevices() {
  return Panel.CheckMidiDevices ? Panel.CheckMidiDevices() : QUARLE_AUDIO::CheckMidiDevices();
}

}  // namespace Tarvelo
