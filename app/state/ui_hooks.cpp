#include "app/state/ui_hooks.h"

#include "visuals/control_table.h"
#include "visuals/controls.h"
#include "visuals/visuals.h"

namespace Tarvelo {

namespace {

// Slot 0 of the control table is the root window: no named control of this
// folder lives there, so id 0 means "not built".
QUARLE_VISUALS::ControlRecord* Named(int32_t id) {
  if (id <= 0) return nullptr;
  return QUARLE_VISUALS::ControlAt(id);
}

int32_t DefaultControlId(int32_t slot) {
  if (!QUARLE_VISUALS::UiIndex || slot < 0 || slot >= kStateSlotCount) return 0;
  const int32_t id = QUARLE_VISUALS::UiIndex[slot];
  return id > 0 ? id : 0;
}

void DefaultSetText(int32_t id, const std::string& text) {
  QUARLE_VISUALS::ControlRecord* c = Named(id);
  if (!c) return;
  QUARLE_VISUALS::TextFieldSetText(&c->Text, text.c_str());
  QUARLE_VISUALS::ControlPublishText(c, 0);
}

void DefaultSetOn(int32_t id, int64_t on) {
  QUARLE_VISUALS::ControlRecord* c = Named(id);
  if (!c) return;
  c->State.On = on;
  QUARLE_VISUALS::ControlPublishState(c);
}

void DefaultSetSelected(int32_t id, int32_t item) {
  QUARLE_VISUALS::ControlRecord* c = Named(id);
  if (c) c->Text.Selected = item;
}

int64_t DefaultVisible(int32_t id) {
  QUARLE_VISUALS::ControlRecord* c = Named(id);
  return c ? QUARLE_VISUALS::ControlVisible(c) : 0;
}

void DefaultSetVisible(int32_t id, int64_t visible) {
  QUARLE_VISUALS::ControlRecord* c = Named(id);
  if (c) QUARLE_VISUALS::ControlSetVisible(c, visible);
}

constexpr StateUiHooks kDefaults{
    DefaultControlId, DefaultSetText, DefaultSetOn, DefaultSetSelected, DefaultVisible,
    DefaultSetVisible, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr,
};

}  // namespace

StateUiHooks StateUi = kDefaults;

void ResetStateUiHooks() { StateUi = kDefaults; }

int32_t StateControlId(int32_t slot) { return StateUi.ControlId ? StateUi.ControlId(slot) : 0; }

void StateSetControlText(int32_t id, const std::string& text) {
  if (id > 0 && StateUi.SetText) StateUi.SetText(id, text);
}

void StateSetControlOn(int32_t id, int64_t on) {
  if (id > 0 && StateUi.SetOn) StateUi.SetOn(id, on);
}

void StateSetControlSelected(int32_t id, int32_t item) {
  if (id > 0 && StateUi.SetSelected) StateUi.SetSelected(id, item);
}

int64_t StateControlVisible(int32_t id) {
  return (id > 0 && StateUi.Visible) ? StateUi.Visible(id) : 0;
}

void StateSetControlVisible(int32_t id, int64_t visible) {
  if (id > 0 && StateUi.SetVisible) StateUi.SetVisible(id, visible);
}

int64_t StateVideoRunFlag() { return StateUi.VideoRunFlag ? StateUi.VideoRunFlag() : 0; }
int64_t StateVideoLoopActive() { return StateUi.VideoLoopActive ? StateUi.VideoLoopActive() : 0; }
int64_t StateInterfaceReady() { return StateUi.InterfaceReady ? StateUi.InterfaceReady() : 0; }

void StateSetInterfaceReady(int64_t ready) {
  if (StateUi.SetInterfaceReady) StateUi.SetInterfaceReady(ready);
}

void StateStopVideoThread() {
  if (StateUi.StopVideoThread) StateUi.StopVideoThread();
}

int32_t StateStartVideoThread(int32_t measure) {
  return StateUi.StartVideoThread ? StateUi.StartVideoThread(measure) : 0;
}

void StateScreenOpened(uint32_t* screen) {
  if (StateUi.ScreenOpened) StateUi.ScreenOpened(screen);
}

void StateUseTextFontForEditField() {
  if (StateUi.UseTextFontForEditField) StateUi.UseTextFontForEditField();
}

void StateSetRowTextColour(uint32_t colour) {
  if (StateUi.SetRowTextColour) StateUi.SetRowTextColour(colour);
}

}  // namespace Tarvelo
