// Engine-wide values: the sample-rate constants, the channel and voice index
// tables every port read goes through, the frame counters, the capture ring and
// the one random generator.
#pragma once
#include <atomic>
#include <cstdint>
#include <random>

#include "platform/threads.h"

namespace Tarvelo {

// Sample-rate constants, set once by the engine start-up.
// one thread: start-up
extern float SampleRate;       // the rate the engine was started with
extern int32_t RateWhole;      // the integer rate (48000 at 48 kHz)
extern int32_t RateDouble;     // 2 x RateWhole
extern float PitchFloor;       // RateWhole x 1e-7
extern float RateQuarter;      // also MaxFrequency: rate / 4, the frequency of a 1.0 signal
extern float FrequencyNorm;    // also FrequencyScale: 4 / rate
extern float RateInverse;      // 1 / rate
// Derives every constant above from the rate (ties-to-even for the integer rate).
void SetRateConstants(float sampleRate);

// Filled by the engine start-up; read-only after.
// one thread: start-up
// [n][ch]: the channel of an n-channel source that channel ch reads.
extern int32_t ChannelMap[3][3];
// Row 0: every voice reads position 0; row 1: voice v reads position v.
extern int32_t VoiceMap[2][33];  // one thread: start-up
void FillIndexMaps();

// Advanced by the render callback after every stereo frame; never reset. Other
// threads read FrameCounter to learn that the audio thread passed a frame
// boundary (see modulelist.h).
extern std::atomic<uint64_t> FrameCounter;
// one thread: audio (the render callback flips them)
extern int32_t FrameParity;          // starts at 0
extern int32_t PreviousFrameParity;  // starts at 1

// The render callback holds this at 1 from entry to return, so others can tell
// that no walk of the processing order is in progress.
extern std::atomic<int32_t> RenderBusy;

// Playback and capture state, set from the audio thread's reports.
extern std::atomic<int64_t> PlaybackActive;  // -1 while the output streams
extern std::atomic<int64_t> CaptureActive;   // -1 while capture runs

// Captured interleaved stereo input (left even, right odd). The ring is made
// by the engine start-up; the render writes and the Capture module reads it.
// one thread: start-up
extern float* CaptureRing;
extern int32_t CaptureRingFrames;    // a tenth of a second
extern int32_t CaptureRingChannels;  // also CaptureChannels: 2
extern int32_t CaptureRingSize;      // floats

// one thread: audio (the render and the Capture module it runs; reset at start-up)
extern int32_t CaptureWriteIndex;
extern int32_t CaptureReadIndex;
extern std::atomic<int64_t> CaptureResync;
// Set by the interface, read by the render and the meter draw.
extern std::atomic<float> InputGain;

// The process-wide generator (32-bit Mersenne Twister), seeded once at start.
// one thread: audio (the noise kernels, the Randomizer and the Melody Generator;
// seeded, and the Step sequencer's first pattern drawn, at start-up)
extern std::mt19937 RandomGenerator;
void SeedRandom(uint32_t seed);
float RandomUnit();  // [0, 1): the next output times 2^-32

}  // namespace Tarvelo
