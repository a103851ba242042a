// The synth the engine-side fuzz targets load into: an empty module list and
// a fresh engine state before every input, a keyboard and an oscillator to
// link to, frames rendered through the real callback.
#pragma once
#include "fuzz_support.h"

#include <cstring>

#include "engine/catalog/catalog.h"
#include "engine/command.h"
#include "engine/filerecord.h"
#include "engine/globals.h"
#include "engine/keyboard.h"
#include "engine/midimap.h"
#include "engine/modulelist.h"
#include "engine/notes.h"

namespace fuzz {

inline void ClearEngine() {
  Tarvelo::ClearSynth();
  Tarvelo::SynthOutputModule.store(nullptr);
  Tarvelo::UpdateProcessingOrder(0);
  Tarvelo::ReclaimRemovedModules();
}

inline Tarvelo::ModuleRecord* AddTyped(int32_t type) {
  Tarvelo::ModuleRecord* m = nullptr;
  Check(Tarvelo::AddModule(type, true, &m) >= 0, "module");
  return m;
}

// A record from the input: its bytes, zero-padded.
inline Tarvelo::ModuleFileRecord RecordOf(const uint8_t* data, size_t size) {
  Tarvelo::ModuleFileRecord r;
  std::memset(&r, 0, sizeof r);
  std::memcpy(&r, data, size < sizeof r ? size : sizeof r);
  return r;
}

// A held note on keyboard 0, so voices run.
inline void HoldNote() {
  Tarvelo::KeyboardState& k = *Tarvelo::KeyboardStates[0].Load();
  Tarvelo::KeyboardStateInit(k);
  Tarvelo::NoteOn(k, 440.0f, 0.75f);
  Tarvelo::VoiceListRebuild(k, Tarvelo::KeyboardKeyLocks[0]);
}

// Map 0 for the device "Dev A": controller 7 on channel 0 moves parameter 1
// of the module.
inline void MapController(Tarvelo::ModuleRecord* module) {
  platform::MutexGuard guard(Tarvelo::MT_MIDIMAPS);
  std::strcpy(Tarvelo::MidiMaps[0].DeviceName, "Dev A");
  Tarvelo::MidiMapEntry& e = Tarvelo::MidiMaps[0].Entries[7][0];
  e.Mode = Tarvelo::kMidiFixedParam;
  e.Kind = Tarvelo::kControllerStandard;
  e.Target = module;
  e.Param = 1;
}

}  // namespace fuzz
