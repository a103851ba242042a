// Loudness and pitch of a sound held by a library entry: the loudest 128-frame
// window, the mean level, and the dominant frequency of a 2048-frame block at
// the loudest window.
#pragma once
#include <cstdint>

#include "basics/complex.h"

namespace Tarvelo {

struct WaveLibraryEntry;

constexpr int32_t kLevelWindowFrames = 128;
constexpr int32_t kPitchBlockFrames = 2048;

// Loudest window (start as the index of its first interleaved sample), its
// level and the mean level, per channel, in dB. 0, or -19 without an entry or
// data.
int32_t AnalyseSampleLevels(WaveLibraryEntry* entry);

// The dominant frequency of channel ch (at the sound's own rate), kept at or
// above the engine's lowest frequency and brought down by up to three octaves
// below an eighth of the engine's rate, stored as the entry's pitch of ch. 0,
// or the spectrum's error; a silent block leaves the pitch as it was.
int32_t DetectSamplePitch(WaveLibraryEntry* entry, int32_t ch);
// The same with a caller's work array of kPitchBlockFrames zeroed bins, so the
// audio thread needs no allocation.
int32_t DetectSamplePitchInto(WaveLibraryEntry* entry, int32_t ch, QUARLE_BASICS::Complex* work);

}  // namespace Tarvelo
