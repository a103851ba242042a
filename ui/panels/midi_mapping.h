// MIDI mapping: the learn buttons MIDI0, MIDI1 and MIDI2 arm MIDI learn (the
// next controller message binds); the range buttons MMIN, MMAX and MRES choose
// which number of the selected parameter the value editor edits; the MIDI page
// of the browser shows the maps: the device list MIDIDEVS (one row per map),
// the control list MIDICC (row 0 leads back, row r is controller r - 1), the
// channel selector MIDICCCH and the controller-type selector MIDICCCT.
#pragma once
#include <cstdint>

#include "basics/shared_word.h"

namespace Tarvelo {

// The map whose controllers MIDICC shows (0..15) and the channel whose
// entries it shows and MIDICCCT edits (0..15). Both start at 0. Written by
// the MIDI page's handlers (interface), read by them and by MIDICC's draw
// (video thread), each whole.
extern QUARLE_BASICS::Shared<int32_t> SelectedMidiMap;
extern QUARLE_BASICS::Shared<int32_t> SelectedMidiChannel;

constexpr int32_t kMidiLearnAny = 1;             // MIDI0
constexpr int32_t kMidiLearnParameter = 2;       // MIDI1
constexpr int32_t kMidiLearnModuleParameter = 4; // MIDI2
constexpr int32_t kMidiDeviceRows = 16;
constexpr int32_t kMidiControlRows = 129;
constexpr int32_t kMidiChannelChoices = 16;
constexpr int32_t kMidiControllerTypeChoices = 6;

int32_t OnMidiMapAny(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnMidiMapParameter(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnMidiMapModuleParameter(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnMidiMapMin(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnMidiMapMax(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnMidiMapResolution(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnMidiControlChannel(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnMidiControllerType(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
// A call with source -1 (posted by the controller-kind detection) asks for the
// type selector to show the selected controller's type again.
int32_t OnMidiDeviceMapList(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnMidiControlList(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);

// The selections back to 0 and the accumulators to 0 (tests).
void ResetMidiMappingStatics();

}  // namespace Tarvelo
