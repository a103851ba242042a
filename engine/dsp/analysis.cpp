#include "engine/dsp/analysis.h"

#include <cmath>
#include <cstdlib>

#include "app/state/wave_library.h"
#include "audio/spectrum.h"
#include "basics/errors.h"
#include "engine/globals.h"

namespace Tarvelo {

using QUARLE_BASICS::Complex;

namespace {

// Interleaved values the sound really holds: the frame count never reaches
// past the data array.
int64_t FramesHeld(const QUARLE_AUDIO::SoundBuffer& s, int32_t nc) {
  int64_t frames = s.frameCount;
  const int64_t held = static_cast<int64_t>(s.dataSize / 4) / nc;
  return frames < held ? frames : held;
}

}  // namespace

int32_t AnalyseSampleLevels(WaveLibraryEntry* entry) {
  if (entry == nullptr || entry->Sound.samples == nullptr) return -QUARLE_BASICS::kErrBadParameter;
  const QUARLE_AUDIO::SoundBuffer& s = entry->Sound;
  const int32_t nc = s.format.channels < 1 ? 1 : s.format.channels;
  const float* data = s.samples;
  const int64_t w = static_cast<int64_t>(kLevelWindowFrames) * nc;
  const int64_t n = nc * FramesHeld(s, nc);
  float mean[2] = {0.0f, 0.0f}, loudest[2] = {0.0f, 0.0f}, position[2] = {0.0f, 0.0f};

  int64_t windows = 0;
  // A window is taken only when one more frame follows it.
  for (int64_t start = 0; start <= n - w - nc; start += w) {
    float acc[2] = {0.0f, 0.0f};
    for (int64_t i = 0; i <= w - nc; i += nc) {
      acc[0] += data[start + i] * data[start + i];
      if (nc >= 2) acc[1] += data[start + i + 1] * data[start + i + 1];
    }
    for (int32_t c = 0; c < 2; ++c) {
      if (loudest[c] < acc[c]) {
        loudest[c] = acc[c];
        position[c] = static_cast<float>(start);
      }
      mean[c] += acc[c];
    }
    ++windows;
  }
  int64_t analysed = kLevelWindowFrames * windows;
  if (analysed < 1) analysed = 1;
  for (int32_t c = 0; c < 2; ++c) {
    entry->LoudestPosition[c] = position[c];
    entry->LoudestValue[c] = loudest[c];
    entry->MeanLevel[c] = mean[c];
  }
  for (int32_t c = 0; c < nc && c < 2; ++c) {
    entry->MeanLevel[c] = QUARLE_AUDIO::AmplitudeToDb(mean[c] / static_cast<float>(analysed));
    entry->LoudestValue[c] = QUARLE_AUDIO::AmplitudeToDb(loudest[c] / 128.0f);
  }
  return 0;
}

int32_t DetectSamplePitchInto(WaveLibraryEntry* entry, int32_t ch, Complex* work) {
  if (entry == nullptr || ch < 0 || ch > 1) return -QUARLE_BASICS::kErrBadParameter;
  const QUARLE_AUDIO::SoundBuffer& s = entry->Sound;
  const int32_t nc = s.format.channels;
  // The spectrum step reads one channel or one of two interleaved channels.
  if (nc < 1 || nc > 2 || ch >= nc) return -QUARLE_BASICS::kErrBadParameter;
  const int64_t frames = s.samples != nullptr ? FramesHeld(s, nc) : 0;

  // The block is counted in frames, so it stays inside the sound for both
  // channel counts and the peak search sees exactly the block's bins.
  const float at = entry->LoudestPosition[ch];
  int64_t start = (std::isfinite(at) && at > 0.0f) ? static_cast<int64_t>(at) / nc : 0;
  int64_t count = kPitchBlockFrames;
  if (start + count > frames) {
    start = frames - count;
    if (start < 0) start = 0;
  }
  if (start + count > frames) count = frames - start;
  const int64_t pad = kPitchBlockFrames - count;
  const int32_t selector = nc == 1 ? 0 : ch + 1;

  int32_t r = QUARLE_AUDIO::SpectrumOfBlock(s.samples, work, start * nc, count, pad, selector);
  if (r != 0) return r;
  const float rate = static_cast<float>(s.format.sampleRate);
  float f = QUARLE_AUDIO::SpectrumPeakFrequency(work, kPitchBlockFrames, rate, 0);
  if (f == 0.0f) return 0;
  // The sound's peak is brought into the engine's range: not below its
  // lowest frequency, and up to three octaves down below an eighth of its rate.
  if (f < PitchFloor) f = PitchFloor;
  const int32_t q = static_cast<int32_t>(std::nearbyint(static_cast<float>(RateWhole) / 4.0f)) >> 1;
  for (int32_t k = 0; k < 3; ++k)
    if (f > static_cast<float>(q)) f = f / 2.0f;
  entry->Pitch[ch] = f;
  return 0;
}

int32_t DetectSamplePitch(WaveLibraryEntry* entry, int32_t ch) {
  auto* work = static_cast<Complex*>(std::calloc(kPitchBlockFrames, sizeof(Complex)));
  if (work == nullptr) return -QUARLE_BASICS::kErrAllocation;
  int32_t r = DetectSamplePitchInto(entry, ch, work);
  std::free(work);
  return r;
}

}  // namespace Tarvelo
