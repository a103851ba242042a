// Modules that move signals between the voice dimension and the single-voice
// world: the Voice selector picks one voice of a per-voice source by its id,
// the Voice Mixer sums all voices into one signal, and the Multiplexer gathers
// up to ten single-voice inputs into the voices of one per-voice output. Each
// type has one function serving both slots.
#pragma once
#include <cstdint>

#include "engine/module.h"

namespace Tarvelo {

enum VoiceSelectorParam : int32_t {
  kSelectorFrequency = 0,  // port: the per-voice source
  kSelectorVoice = 1,      // setting: voice id to pick
};

enum VoiceMixerParam : int32_t {
  kVoiceMixerInput = 0,    // port: voices to mix; its set value is the output gain
  kVoiceMixerScaling = 1,  // port: per-voice scaling signal (an envelope)
};

constexpr int32_t kMultiplexerInputs = 10;

void ProcessVoiceSelector(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessVoiceMixer(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessMultiplexer(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);

}  // namespace Tarvelo
