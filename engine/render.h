// The render and capture callbacks the audio thread calls. RenderAudio is the
// only place module process functions run: per stereo frame it takes pending
// keyboard changes, runs a posted engine command, processes the order deepest
// first, mixes and clips the output module's voices, feeds the output meters
// and advances the frame counter and parity. CaptureAudio stores captured
// input in the ring the Capture module reads.
#pragma once
#include <atomic>
#include <cstdint>

#include "audio/meters.h"
#include "engine/module.h"

namespace Tarvelo {

// Accumulators of the meters (left, right): sum of squares, sum of the
// negative samples, sum of the others.
// one thread: audio
extern QUARLE_AUDIO::LevelMeter OutputLevelSums[2];
extern QUARLE_AUDIO::LevelMeter InputLevelSums[2];
// Floats rendered since the last output meter report.
// one thread: audio
extern int32_t OutputMeterCount;

// Fills count floats of *stream from index start on, as count / 2 stereo
// frames (left at even, right at odd offsets). Audio thread only.
void RenderAudio(float** stream, int32_t start, int32_t count);

// Set: RenderAudio forgets, before every frame, what it keeps to skip work
// (the remembered port walks, the keyboards' kept publishes, the envelopes'
// proofs), so every frame is computed the long way. For tests that compare
// the two; read once per render call.
extern std::atomic<bool> RenderShortcutsOff;

// Takes count floats of interleaved stereo input; ORs the engine's own resync
// request into *resync and clears both once the ring is realigned. Audio
// thread only.
void CaptureAudio(float** input, int32_t count, int64_t* resync);

// One module's share of a frame: chooses its ports' voice-map rows, decides
// whether it runs, wakes it or puts it to sleep, and calls its process
// function. Exposed for tests; RenderAudio does the same for every entry,
// skipping a port walk that would find what it found in the frame before.
void ProcessModuleFrame(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);

}  // namespace Tarvelo
