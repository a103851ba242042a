// The lists of MIDI input devices and controller maps:
//   KBDEVS    the devices a Keyboard module can be bound to, after a first row
//             for any free device (17 rows; row r is device slot r - 1, shown by
//             the name its map holds);
//   MIDIDEVS  the 16 controller maps with their device's name and open state;
//   MIDICC    the 128 controllers of the chosen map on the chosen channel,
//             after a first row that leads back to the device list.
// The maps are read under MT_MIDIMAPS, one short copy at a time; MIDICC shows
// the map SelectedMidiMap on the channel SelectedMidiChannel (written by the
// MIDI page's handlers, ui/panels/midi_mapping.h).
#pragma once
#include <cstdint>
#include <string>

#include "engine/midimap.h"
#include "visuals/controls.h"

namespace Tarvelo {

constexpr int32_t kKeyboardDeviceListRows = 17;
constexpr int32_t kMidiDeviceMapRows = 16;
constexpr int32_t kMidiControlListRows = 129;
// Layers before the row images.
constexpr int32_t kMidiDeviceIconLayers = 2;   // 0 device open, 1 not open
constexpr int32_t kMidiControlIconLayers = 4;  // 0 the way back, 1..3 controller kinds

// What one controller row of MIDICC shows, copied out of its map.
// one thread: value
struct MidiControlRow {
  uint8_t mode = 0;
  uint8_t kind = 0;
  int32_t param = -1;
  bool hasTarget = false;
  std::string label;      // the target parameter's label
  std::string shortName;  // the target module's short name
  int32_t instance = 0;
};
// The row's assignment text; forTooltip selects the tooltip's wording of the
// module-parameter binding.
std::string MidiAssignmentText(const MidiControlRow& row, bool forTooltip);
// The icon layer of a controller kind: -1 none (auto-detect), 1, 2 or 3.
int32_t MidiKindIcon(uint8_t kind);

int32_t DrawKeyboardDeviceList(QUARLE_VISUALS::RenderRecord* snapshot, int32_t id);
int32_t DrawMidiDeviceMapList(QUARLE_VISUALS::RenderRecord* snapshot, int32_t id);
int32_t DrawMidiControlList(QUARLE_VISUALS::RenderRecord* snapshot, int32_t id);

}  // namespace Tarvelo
