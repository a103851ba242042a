#include "engine/globals.h"

#include <cmath>

namespace Tarvelo {

float SampleRate = 48000.0f;
int32_t RateWhole = 48000;
int32_t RateDouble = 96000;
float PitchFloor = 0.0048f;
float RateQuarter = 12000.0f;
float FrequencyNorm = static_cast<float>(4.0 / 48000.0);
float RateInverse = static_cast<float>(1.0 / 48000.0);

int32_t ChannelMap[3][3] = {};
int32_t VoiceMap[2][33] = {};

std::atomic<uint64_t> FrameCounter{0};
int32_t FrameParity = 0;
int32_t PreviousFrameParity = 1;
std::atomic<int32_t> RenderBusy{0};

std::atomic<int64_t> PlaybackActive{0};
std::atomic<int64_t> CaptureActive{0};

float* CaptureRing = nullptr;
int32_t CaptureRingFrames = 0;
int32_t CaptureRingChannels = 2;
int32_t CaptureRingSize = 0;
int32_t CaptureWriteIndex = 0;
int32_t CaptureReadIndex = 0;
std::atomic<int64_t> CaptureResync{0};
std::atomic<float> InputGain{1.0f};

std::mt19937 RandomGenerator;

void SetRateConstants(float sampleRate) {
  SampleRate = sampleRate;
  // Single-precision rounding to nearest, halves to even.
  RateWhole = static_cast<int32_t>(std::nearbyintf(sampleRate));
  RateDouble = 2 * RateWhole;
  PitchFloor = static_cast<float>(RateWhole) * 1e-7f;
  RateQuarter = static_cast<float>(static_cast<double>(RateWhole) / 4.0);
  FrequencyNorm = static_cast<float>(4.0 / static_cast<double>(RateWhole));
  RateInverse = static_cast<float>(1.0 / static_cast<double>(RateWhole));
}

void FillIndexMaps() {
  for (int32_t n = 0; n < 3; ++n)
    for (int32_t c = 0; c < 3; ++c) ChannelMap[n][c] = 0;
  for (int32_t n = 1; n <= 2; ++n)
    for (int32_t c = 0; c <= 1; ++c) ChannelMap[n][c] = c % n;
  for (int32_t v = 0; v < 33; ++v) {
    VoiceMap[0][v] = 0;
    VoiceMap[1][v] = v;
  }
}

void SeedRandom(uint32_t seed) { RandomGenerator.seed(seed); }

float RandomUnit() {
  // Scaled in double so that the largest output stays below 1.0 after rounding.
  double x = static_cast<double>(RandomGenerator()) * (1.0 / 4294967296.0);
  float f = static_cast<float>(x);
  return f < 1.0f ? f : std::nextafterf(1.0f, 0.0f);
}

}  // namespace Tarvelo
