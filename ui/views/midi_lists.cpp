#include "ui/views/midi_lists.h"

#include <algorithm>
#include <cstring>

#include "app/startup.h"
#include "basics/dynzstring.h"
#include "basics/messages.h"
#include "engine/midimap_hooks.h"
#include "engine/module.h"
#include "platform/threads.h"
#include "ui/panels/midi_mapping.h"
#include "ui/views/control_drawing.h"
#include "ui/views/list_views.h"
#include "visuals/text.h"
#include "visuals/visuals.h"

namespace Tarvelo {

namespace V = QUARLE_VISUALS;
using QUARLE_BASICS::InsertArg;
using QUARLE_BASICS::LangText;

namespace {

// The start-up fills these texts; until then their English defaults stand.
std::string Held(const QUARLE_BASICS::DynZString& text, uint32_t n, const char* english) {
  std::string s = QUARLE_BASICS::DynZStringGet(text);
  return s.empty() ? LangText(n, english) : s;
}
std::string NoDevice() { return Held(NoDeviceText, 117, "[NO DEVICE]"); }
std::string AnyFreeDevice() { return Held(AnyFreeDeviceText, 118, "[ANY FREE DEVICE]"); }
std::string Unassigned() { return Held(UnassignedText, 119, "[UNASSIGNED]"); }
std::string AnySelection() { return Held(AnySelectionText, 120, "[CONTROL ANY SELECTION]"); }
std::string InvalidAssignment() { return Held(InvalidAssignmentText, 121, "[INVALID ASSIGMENT]"); }

bool Blank(const std::string& s) {
  return s.find_first_not_of(' ') == std::string::npos;
}

// The device name of map i, copied under the maps' lock; "" for a missing map.
std::string MapName(int32_t i) {
  if (i < 0 || i >= kMidiMapCount) return "";
  platform::MutexGuard guard(MT_MIDIMAPS);
  const MidiMap& m = MidiMaps[i];
  return std::string(m.DeviceName, strnlen(m.DeviceName, sizeof m.DeviceName));
}

void RowText(platform::Image* row, const V::RenderRecord* snap, const std::string& first,
             const std::string& second) {
  const int32_t u = UnitPx(), size = snap->Text.TextSize;
  if (!first.empty()) DrawListRowText(row, u, 0, first, size, TextColour);
  if (!second.empty()) DrawListRowText(row, 8 * u, 0, second, size, TextColour);
}

void RowIcon(const ListRowPlace& place, const V::ControlRecord* c, int32_t layer, int32_t dy) {
  platform::Image* icon = LayerAt(c, layer);
  if (!icon) return;
  const int32_t w0 = place.w - V::BorderWidth - 2;
  BlitImage(icon, place.x0 + w0 - IconPx() - 3, place.top + place.textY + dy);
}

// --- KBDEVS -------------------------------------------------------------------------
// The device name in the map of device slot `slot` (the slot a Keyboard binds
// to); "" when the slot has no map.
std::string SlotName(int32_t slot) {
  if (slot < 0 || slot >= kMidiDeviceSlots) return "";
  platform::MutexGuard guard(MT_MIDIMAPS);
  const MidiMap* m = MidiDeviceMaps[slot];
  return m ? std::string(m->DeviceName, strnlen(m->DeviceName, sizeof m->DeviceName)) : "";
}

std::string KeyboardDeviceText(int32_t item) {
  if (item == 0) return AnyFreeDevice();
  const std::string name = SlotName(item - 1);
  return name.empty() ? NoDevice() : name;
}

void RenderKeyboardDevice(platform::Image* row, int32_t item, const V::RenderRecord* snap, void*) {
  RowText(row, snap, KeyboardDeviceText(item), "");
}

std::string KeyboardDeviceTooltip(int32_t item, void*) { return KeyboardDeviceText(item); }

// --- MIDIDEVS -----------------------------------------------------------------------
void RenderDeviceMap(platform::Image* row, int32_t item, const V::RenderRecord* snap, void*) {
  const std::string name = MapName(item);
  RowText(row, snap, std::to_string(item), name.empty() ? NoDevice() : name);
}

std::string DeviceMapTooltip(int32_t item, void*) {
  const std::string name = MapName(item);
  return InsertArg(LangText(278, "DEVICE {$}: "), std::to_string(item)) + "   " +
         (name.empty() ? NoDevice() : name);
}

// Read every frame, so a device that opens or closes shows it at once.
void DeviceMapIcon(const ListRowPlace& place, void* ctx) {
  if (place.item < 0 || place.item >= kMidiMapCount) return;
  bool named = false, open = false;
  {
    platform::MutexGuard guard(MT_MIDIMAPS);
    const MidiMap& m = MidiMaps[place.item];
    named = !Blank(std::string(m.DeviceName, strnlen(m.DeviceName, sizeof m.DeviceName)));
    open = m.Claimed == -1;
  }
  if (named) RowIcon(place, static_cast<const V::ControlRecord*>(ctx), open ? 0 : 1, -2);
}

// --- MIDICC -------------------------------------------------------------------------
// one thread: value
struct ControlListData {
  const V::ControlRecord* control = nullptr;
  int32_t map = 0;
  int32_t channel = 0;
  std::string name;  // the map's device name (row 0)
  MidiControlRow rows[kMidiControlListRows];
};

MidiControlRow CopyControlRow(int32_t map, int32_t controller, int32_t channel) {
  MidiControlRow row;
  if (map < 0 || map >= kMidiMapCount || controller < 0 || controller >= kMidiControllers ||
      channel < 0 || channel >= kMidiMapColumns)
    return row;
  {
    platform::MutexGuard guard(MT_MIDIMAPS);
    const MidiMapEntry& e = MidiMaps[map].Entries[controller][channel];
    row.mode = e.Mode;
    row.param = e.Param;
    // A module loses its bindings under this lock before it is freed, so its
    // texts are read here while the entry still names it.
    if (const ModuleRecord* t = e.Target) {
      row.hasTarget = true;
      row.shortName = QUARLE_BASICS::DynZStringGet(t->ShortName);
      row.instance = t->InstanceNumber.Load();
      if (row.param >= 0 && row.param < kModuleParams)
        row.label = QUARLE_BASICS::DynZStringGet(t->Params[row.param].Label);
    }
  }
  {
    platform::MutexGuard guard(MT_MIDIMAPS);
    row.kind = MidiMaps[map].Entries[controller][channel].Kind;
  }
  return row;
}

void PrepareControlRows(int32_t top, int32_t last, int32_t step, void* ctx) {
  auto* d = static_cast<ControlListData*>(ctx);
  for (int32_t i = top; step > 0 ? i <= last : i >= last; i += step) {
    if (i == 0) {
      d->name = MapName(d->map);
    } else if (i > 0 && i < kMidiControlListRows) {
      d->rows[i] = CopyControlRow(d->map, i - 1, d->channel);
    }
  }
}

void RenderControlRow(platform::Image* row, int32_t item, const V::RenderRecord* snap, void* ctx) {
  const auto* d = static_cast<const ControlListData*>(ctx);
  if (item == 0) {
    RowText(row, snap, "", d->name);
  } else if (item > 0 && item < kMidiControlListRows) {
    RowText(row, snap, std::to_string(item - 1) + " : ", MidiAssignmentText(d->rows[item], false));
  }
}

std::string ControlRowTooltip(int32_t item, void* ctx) {
  const auto* d = static_cast<const ControlListData*>(ctx);
  if (item == 0) return "   " + LangText(279, "CLICK TO GO BACK");
  if (item < 0 || item >= kMidiControlListRows) return "";
  return InsertArg(LangText(280, "CONTROL #{$}: "), std::to_string(item - 1)) + "   " +
         MidiAssignmentText(d->rows[item], true);
}

void ControlRowIcon(const ListRowPlace& place, void* ctx) {
  const auto* d = static_cast<const ControlListData*>(ctx);
  if (place.item == 0) {
    RowIcon(place, d->control, 0, -1);
  } else if (place.item > 0 && place.item < kMidiControlListRows) {
    const int32_t icon = MidiKindIcon(d->rows[place.item].kind);
    if (icon > 0) RowIcon(place, d->control, icon, -1);
  }
}

}  // namespace

std::string MidiAssignmentText(const MidiControlRow& row, bool forTooltip) {
  const std::string param = std::to_string(row.param);
  if (row.mode == kMidiSelectedParam) return AnySelection();
  if (row.mode > 0 && row.param == -1) return InvalidAssignment();
  if (row.mode == kMidiParamOfSelected)
    return forTooltip ? InsertArg(LangText(281, "PORT #{$} of selected module."), param)
                      : InsertArg(LangText(283, "PORT #{$} of selected module."), param);
  if (row.mode == kMidiFixedParam) {
    if (!row.hasTarget) return InvalidAssignment();
    const std::string owner = " #" + std::to_string(row.instance);
    if (forTooltip)
      return LangText(282, "PORT #") + param + " (" + row.label + ") of " + row.shortName + owner;
    std::string text = InsertArg(LangText(284, "PORT #{$} ({$}) OF {$}"), param);
    text = InsertArg(text, row.label);
    return InsertArg(text, row.shortName) + owner;
  }
  return Unassigned();
}

int32_t MidiKindIcon(uint8_t kind) {
  switch (kind) {
    case kControllerStandard: return 1;
    case kControllerButton:
    case kControllerPad: return 2;
    case kControllerEndless64:
    case kControllerEndlessBounded: return 3;
    default: return -1;
  }
}

int32_t DrawKeyboardDeviceList(V::RenderRecord* snap, int32_t id) {
  static ListDrawStatics statics;
  return DrawListView(snap, id,
                      {.count = kKeyboardDeviceListRows,
                       .renderRow = RenderKeyboardDevice,
                       .tooltip = KeyboardDeviceTooltip},
                      statics);
}

int32_t DrawMidiDeviceMapList(V::RenderRecord* snap, int32_t id) {
  static ListDrawStatics statics;
  return DrawListView(snap, id,
                      {.count = kMidiDeviceMapRows,
                       .firstRowLayer = kMidiDeviceIconLayers,
                       .context = LiveControl(id),
                       .renderRow = RenderDeviceMap,
                       .tooltip = DeviceMapTooltip,
                       .finish = DeviceMapIcon},
                      statics);
}

int32_t DrawMidiControlList(V::RenderRecord* snap, int32_t id) {
  static ListDrawStatics statics;
  // one thread: video
  static ControlListData data;
  if (!snap) return 0;
  // Shared words the MIDI page's handlers store; read once per frame.
  data.channel = SelectedMidiChannel.Load();
  data.map = SelectedMidiMap.Load();
  data.control = LiveControl(id);
  return DrawListView(snap, id,
                      {.count = kMidiControlListRows,
                       .firstRowLayer = kMidiControlIconLayers,
                       .context = &data,
                       .prepare = PrepareControlRows,
                       .renderRow = RenderControlRow,
                       .tooltip = ControlRowTooltip,
                       .finish = ControlRowIcon},
                      statics);
}

}  // namespace Tarvelo
