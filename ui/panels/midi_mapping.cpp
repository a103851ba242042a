#include "ui/panels/midi_mapping.h"

#include <atomic>
#include <string>

#include "app/state/console.h"
#include "audio/midi.h"
#include "basics/messages.h"
#include "engine/midimap.h"
#include "engine/midimap_hooks.h"
#include "engine/modulelist.h"
#include "engine/notes.h"
#include "engine/params.h"
#include "platform/threads.h"
#include "ui/build/frame.h"
#include "ui/panels/panel_common.h"
#include "ui/views/list_views.h"
#include "visuals/controls.h"

namespace Tarvelo {

namespace V = QUARLE_VISUALS;
using QUARLE_BASICS::LangText;

QUARLE_BASICS::Shared<int32_t> SelectedMidiMap{0};
QUARLE_BASICS::Shared<int32_t> SelectedMidiChannel{0};

namespace {

// one thread: interface
int32_t ChannelAccumulator = 0;
int32_t TypeAccumulator = 0;
int32_t DeviceAccumulator = 0;
int32_t ControlAccumulator = 0;

int64_t DeviceCount() {
  platform::MutexGuard guard(QUARLE_AUDIO::MT_MIDIDEVICES);
  return QUARLE_AUDIO::MidiDeviceCount;
}

const char* ControllerTypeName(int32_t t) {
  if (t < 0 || t >= QUARLE_AUDIO::kMidiControllerTypeCount) t = 0;
  return QUARLE_AUDIO::MidiControllerTypeNames[t];
}

bool ValidMap(int32_t map) { return map >= 0 && map < kMidiMapCount; }
bool ValidChannel(int32_t ch) { return ch >= 0 && ch < kMidiMapColumns; }

// MIDICC is the control made right after MIDIDEVS.
int32_t ControlListId() {
  const int32_t devices = SlotId(kUiMIDIDEVS);
  return devices > 0 ? devices + 1 : 0;
}

void SetEnabled(ControlRecord* c, bool enabled) {
  if (!c) return;
  V::SetDisabled(&c->State, enabled ? 0 : -1);
  V::ControlPublishState(c);
}

int32_t LearnButton(uint32_t bits, int32_t id, int32_t kind, uint32_t message) {
  if (DeviceCount() == 0) {
    if (bits & V::kEventClick) SetStatusText(LangText(message, "No MIDI device connected."));
    return 0;
  }
  PressedLook(id, bits);
  if (!(bits & V::kEventClick)) return 0;
  const int32_t armed = MidiLearnArmed.load() == kind ? 0 : kind;
  MidiLearnArmed.store(armed);
  const int32_t buttons[3] = {SlotId(kUiMIDI0), SlotId(kUiMIDI1), SlotId(kUiMIDI2)};
  for (int32_t b : buttons)
    if (b != id) SetOnWord(b, 0);
  SetOnWord(id, armed == kind ? -1 : 0);
  return 0;
}

// MMIN, MMAX and MRES are consecutive: mode m's button is the first one + m - 1.
int32_t RangeButton(uint32_t bits, int32_t id, int32_t mode) {
  PressedLook(id, bits);
  if (!(bits & V::kEventClick)) return 0;
  ModuleRecord* m = SelectedModule;
  if (!m || m->SelectedParam.Load() < 0) return 0;
  // MIDI moves read it on the audio thread.
  ParamEditMode.Store(ParamEditMode.Load() == mode ? 0 : mode);
  const int32_t first = id - (mode - 1);
  for (int32_t k = 1; k <= 3; ++k)
    if (k != mode) SetOnWord(first + k - 1, 0);
  SetOnWord(id, ParamEditMode.Load() == mode ? -1 : 0);
  RefreshParamControl(m);
  return 0;
}

// MIDICCCT shows the stored type of controller row r - 1 on the selected
// channel of the selected map, and is enabled.
void RefreshControllerType(int32_t r) {
  int32_t t = 0;
  const int32_t map = SelectedMidiMap.Load(), channel = SelectedMidiChannel.Load();
  {
    platform::MutexGuard guard(MT_MIDIMAPS);
    if (ValidMap(map) && ValidChannel(channel) && r >= 1 && r <= kMidiControllers)
      t = MidiMaps[map].Entries[r - 1][channel].Kind;
  }
  ControlRecord* type = SlotCtl(kUiMIDICCCT);
  if (!type) return;
  if (t >= kMidiControllerTypeChoices) t = 0;
  type->Text.Selected = t;
  V::TextFieldSetText(&type->Text, ControllerTypeName(t));
  V::SetDisabled(&type->State, 0);
  V::ControlPublish(type, 0);
}

}  // namespace

void ResetMidiMappingStatics() {
  SelectedMidiMap.Store(0);
  SelectedMidiChannel.Store(0);
  ChannelAccumulator = TypeAccumulator = DeviceAccumulator = ControlAccumulator = 0;
}

int32_t OnMidiMapAny(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  return LearnButton(bits, id, kMidiLearnAny, 201);
}

int32_t OnMidiMapParameter(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  return LearnButton(bits, id, kMidiLearnParameter, 202);
}

int32_t OnMidiMapModuleParameter(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  return LearnButton(bits, id, kMidiLearnModuleParameter, 203);
}

int32_t OnMidiMapMin(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  return RangeButton(bits, id, 1);
}

int32_t OnMidiMapMax(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  return RangeButton(bits, id, 2);
}

int32_t OnMidiMapResolution(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  return RangeButton(bits, id, 3);
}

int32_t OnMidiControlChannel(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t) {
  PressedLook(id, bits);
  if (!SelectorEvent(bits, x, y, id, kMidiChannelChoices, ChannelAccumulator)) return 0;
  ControlRecord* c = PanelCtl(id);
  if (!c) return 0;
  // Channels show as 0 to 15, as the maps number them.
  V::TextFieldSetText(&c->Text, ("Ch. " + std::to_string(c->Text.Selected)).c_str());
  SelectedMidiChannel.Store(c->Text.Selected);
  if (ControlRecord* list = PanelCtl(ControlListId())) {
    list->Text.Changed = -1;
    V::ControlPublishText(list, -1);
  }
  return 0;
}

int32_t OnMidiControllerType(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t) {
  PressedLook(id, bits);
  if (!SelectorEvent(bits, x, y, id, kMidiControllerTypeChoices, TypeAccumulator)) return 0;
  ControlRecord* c = PanelCtl(id);
  if (!c) return 0;
  if (c->Text.Selected < 0) c->Text.Selected = 0;
  const int32_t t = c->Text.Selected;
  V::TextFieldSetText(&c->Text, ControllerTypeName(t));
  ControlRecord* list = PanelCtl(ControlListId());
  const int32_t row = list ? list->Text.Selected - 1 : -1;
  const int32_t map = SelectedMidiMap.Load(), channel = SelectedMidiChannel.Load();
  {
    platform::MutexGuard guard(MT_MIDIMAPS);
    if (ValidMap(map) && ValidChannel(channel) && row >= 0 && row < kMidiControllers)
      MidiMaps[map].Entries[row][channel].Kind = static_cast<uint8_t>(t);
  }
  // The list shows each row's type by its icon.
  if (list) V::ControlPublishText(list, 0);
  return 0;
}

int32_t OnMidiDeviceMapList(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t) {
  PressedLook(id, bits);
  const uint32_t b = ListProcedure(bits, x, y, id, kMidiDeviceRows, DeviceAccumulator);
  ControlRecord* devices = PanelCtl(id);
  if (!devices || !(b & V::kEventClick)) return 0;
  const int32_t r = devices->Text.Selected;
  bool usable = false;
  if (ValidMap(r)) {
    platform::MutexGuard guard(MT_MIDIMAPS);
    const std::string name = MidiMaps[r].DeviceName;
    usable = name.find_first_not_of(' ') != std::string::npos;
    SelectedMidiMap.Store(r);
  }
  if (usable) {
    if (ControlRecord* list = PanelCtl(id + 1)) {
      list->Text.Selected = -1;
      V::ControlPublishText(list, 0);
      V::ControlSetVisible(list, -1);
    }
    V::ControlSetVisible(devices, 0);
    SetEnabled(SlotCtl(kUiMIDICCCH), true);
    SetEnabled(SlotCtl(kUiMIDICCCT), false);
  }
  // No row of the device list stays selected.
  devices->Text.Selected = -1;
  return 0;
}

int32_t OnMidiControlList(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source) {
  PressedLook(id, bits);
  ControlRecord* list = PanelCtl(id);
  if (!list) return 0;
  ControlRecord* type = SlotCtl(kUiMIDICCCT);
  if (source == -1) {
    // A refresh request of the controller-kind detection, not a pointer event.
    if (type && V::IsDisabled(&type->State) == 0 && list->Text.Selected > 0)
      RefreshControllerType(list->Text.Selected);
    return 0;
  }
  const uint32_t b = ListProcedure(bits, x, y, id, kMidiControlRows, ControlAccumulator);
  if (!(b & V::kEventClick)) return 0;
  SetEnabled(type, false);
  const int32_t r = list->Text.Selected;
  if (r == 0) {
    SetEnabled(SlotCtl(kUiMIDICCCH), false);
    list->Text.Selected = -1;
    if (ControlRecord* devices = PanelCtl(id - 1)) V::ControlSetVisible(devices, -1);
    V::ControlSetVisible(list, 0);
  } else if (r > 0) {
    RefreshControllerType(r);
  }
  return 0;
}

}  // namespace Tarvelo
