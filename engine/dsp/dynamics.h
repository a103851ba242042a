// Dynamics effects: the Soft Limiter (bends the signal above a threshold along
// a parabola), the Wave Folder (mirrors it back at a threshold and at a lower
// fold line, up to seven times) and the Compressor (lowers the level above a
// threshold by a ratio, through a gain reduction smoothed over attack and
// release periods, with an optional makeup gain).
#pragma once
#include <cstdint>

#include "engine/module.h"

namespace Tarvelo {

enum SoftLimiterPort : int32_t {
  kLimiterInput = 0,
  kLimiterThreshold = 1,
};

enum WaveFolderParam : int32_t {
  kFolderInput = 0,
  kFolderThreshold = 1,
  kFolderRange = 2,   // the fold range, a fraction of the threshold
  kFolderPasses = 3,  // setting, 1..7
};

enum CompressorParam : int32_t {
  kCompressorInput = 0,
  kCompressorThreshold = 1,  // settings from here on
  kCompressorRatio = 2,
  kCompressorAttack = 3,     // frames
  kCompressorRelease = 4,    // frames
  kCompressorGain = 5,       // makeup gain
};

constexpr int32_t kFolderMaxPasses = 7;

// The curves on their own: the limiter for an input and a threshold; the
// folder for an input, a threshold, a fold range and a number of passes.
float SoftLimit(float x, float threshold);
float FoldWave(float x, float threshold, float range, int32_t passes);
// Passes a stored value gives: floor(value + 1e-6) within 1..7.
int32_t FolderPasses(float passes);

void ProcessSoftLimiterMono(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessSoftLimiterPoly(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessWaveFolderMono(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessWaveFolderPoly(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
// The smoothed gain reduction lives in VoiceState[ch][voice id].
void ProcessCompressorMono(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessCompressorPoly(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);

}  // namespace Tarvelo
