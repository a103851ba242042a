// The Sample module: plays an attached or recorded sound as a wavetable (each
// voice a position that advances with its frequency input, wraps or stops at
// the period, read with linear interpolation), or, while recording, stores its
// input port into the sound and passes it through. A finished recording is
// analysed and set to play back at the speed it was recorded at.
#pragma once
#include <cstdint>

#include "engine/module.h"

namespace Tarvelo {

enum SamplePort : int32_t {
  kSampleBias = 0,
  kSampleAmplitude = 1,
  kSampleFrequency = 2,
  kSamplePhase = 3,
  kSamplePeriod = 4,
  kSampleInput = 5,
  kSampleRecordLength = 6,  // setting: seconds, read by the interface
};

void ProcessSampleMono(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessSamplePoly(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);

// One output value of voice id w (at voice position v) on channel ch;
// position is that voice's place in the sound, a fraction in (-1, 1), kept at
// VoiceState[ch][w] with its rest beside it (SamplePositionRest[ch][w]).
// Without a sound the input port passes through, read at position v.
float SampleInterpolate(ModuleRecord& m, float* position, int32_t ch, int32_t w, int32_t v, float b, float a,
                        float f, float p, float t);
// Records one value of channel ch (port 5 at voice 0) and returns it; finishes
// the recording when the buffer is full or the recording was asked to end.
float RecordSampleFrame(ModuleRecord& m, int32_t ch);
// Levels, pitch and playback speed of the recording; the module then plays it.
void FinishSampleRecording(ModuleRecord& m);

// Called when a recording finished, so the interface republishes its sample
// list. Null by default: nothing to republish.
// one thread: start-up
extern void (*SampleListChanged)();

}  // namespace Tarvelo
