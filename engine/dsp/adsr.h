// The ADSR envelope: a note (a frequency that is non-zero while a key is held)
// and its velocity become a level that rises, falls to a sustain level, holds
// and dies away after the note ends. The note's frequency passes through
// unchanged, so one cable can drive both amplitude and pitch of a source.
#pragma once
#include <cstdint>

#include "engine/module.h"

namespace Tarvelo {

enum AdsrParam : int32_t {
  kAdsrFrequency = 0,
  kAdsrVelocity = 1,
  kAdsrSustain = 2,
  kAdsrAttack = 3,
  kAdsrDecay = 4,
  kAdsrSustainLength = 5,
  kAdsrRelease = 6,
  kAdsrRetrigger = 7,
};

enum AdsrStage : int32_t {
  kAdsrIdle = 0,
  kAdsrAttacking = 1,
  kAdsrDecaying = 2,
  kAdsrSustaining = 3,
  kAdsrReleasing = 4,
  kAdsrEnded = 5,
  kAdsrSilent = 6,
};

// Per voice id the envelope lives in the module's voice records:
// State = NoteHeld, Index = Stage, Position = OutputPosition, Frequency,
// A[0] = ReleaseStart, B[0] = Peak, C[0] = SustainInput; the seconds spent in
// the current stage are VoiceState[0][voice id]. They hold after every frame.
// While the voices stay, the per-voice kernel also keeps copies by voice
// position in AuxVoiceState[0..2] and VoiceState[1..2], armed by the
// record's Adsr, which any reset of the module's state makes it take again.
void ProcessAdsrMono(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessAdsrPoly(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);

}  // namespace Tarvelo
