// Levels and pitch of a sound: the 128-frame windows (none without one frame
// beyond), the loudest window's place, the pitch of known sines in one and two
// channels, the octave folding into the engine's range, short sounds padded
// with zeros, and bad entries.
#include "engine/dsp/analysis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <vector>

#include "app/state/wave_library.h"
#include "engine/globals.h"

namespace Tarvelo {
namespace {

class AnalysisTest : public ::testing::Test {
 protected:
  void SetUp() override { SetRateConstants(48000.0f); }
  void TearDown() override {
    for (WaveLibraryEntry* e : entries_) WaveLibraryEntryDelete(e);
  }
  WaveLibraryEntry* Sound(const std::vector<float>& values, int32_t channels, uint32_t rate = 48000) {
    WaveLibraryEntry* e = WaveLibraryEntryNew();
    e->Sound.format.channels = static_cast<int16_t>(channels);
    e->Sound.format.sampleRate = rate;
    e->Sound.frameCount = static_cast<uint32_t>(values.size() / channels);
    e->Sound.dataSize = static_cast<uint32_t>(values.size() * 4);
    e->Sound.samples = static_cast<float*>(std::malloc(values.size() * 4 + 4));
    for (size_t i = 0; i < values.size(); ++i) e->Sound.samples[i] = values[i];
    entries_.push_back(e);
    return e;
  }
  static std::vector<float> Sine(size_t frames, double hz, double rate = 48000.0, float amplitude = 0.5f) {
    std::vector<float> s(frames);
    for (size_t i = 0; i < frames; ++i) s[i] = amplitude * static_cast<float>(std::sin(2.0 * M_PI * hz * i / rate));
    return s;
  }
  std::vector<WaveLibraryEntry*> entries_;
};

TEST_F(AnalysisTest, LoudestWindowInOneAndTwoChannels) {
  std::vector<float> mono(1000, 0.01f);
  for (int32_t i = 512; i < 640; ++i) mono[i] = 0.8f;
  WaveLibraryEntry* e = Sound(mono, 1);
  ASSERT_EQ(AnalyseSampleLevels(e), 0);
  EXPECT_EQ(e->LoudestPosition[0], 512.0f);
  EXPECT_NEAR(e->LoudestValue[0], 20.0f * std::log10(0.64f), 1e-3);
  EXPECT_LT(e->MeanLevel[0], e->LoudestValue[0]);
  // Channel 1 of a mono sound is left alone at 0.
  EXPECT_EQ(e->MeanLevel[1], 0.0f);

  // Stereo: positions are interleaved indexes; each channel has its own.
  std::vector<float> st(2 * 1000, 0.01f);
  for (int32_t f = 256; f < 384; ++f) st[2 * f] = 0.9f;
  for (int32_t f = 640; f < 768; ++f) st[2 * f + 1] = -0.9f;
  WaveLibraryEntry* s = Sound(st, 2);
  ASSERT_EQ(AnalyseSampleLevels(s), 0);
  EXPECT_EQ(s->LoudestPosition[0], 512.0f);
  EXPECT_EQ(s->LoudestPosition[1], 1280.0f);
  EXPECT_NEAR(s->LoudestValue[1], 20.0f * std::log10(0.81f), 1e-3);
}

TEST_F(AnalysisTest, PitchOfSinesInEitherChannel) {
  WaveLibraryEntry* e = Sound(Sine(8000, 440.0), 1);
  ASSERT_EQ(AnalyseSampleLevels(e), 0);
  ASSERT_EQ(DetectSamplePitch(e, 0), 0);
  EXPECT_NEAR(e->Pitch[0], 440.0f, 4.0f);

  // Two channels: each finds its own sine, at its own frequency (not an
  // octave off).
  const std::vector<float> l = Sine(8000, 300.0), r = Sine(8000, 1200.0);
  std::vector<float> st;
  for (size_t i = 0; i < l.size(); ++i) {
    st.push_back(l[i]);
    st.push_back(r[i]);
  }
  WaveLibraryEntry* s = Sound(st, 2);
  ASSERT_EQ(AnalyseSampleLevels(s), 0);
  ASSERT_EQ(DetectSamplePitch(s, 0), 0);
  ASSERT_EQ(DetectSamplePitch(s, 1), 0);
  EXPECT_NEAR(s->Pitch[0], 300.0f, 4.0f);
  EXPECT_NEAR(s->Pitch[1], 1200.0f, 4.0f);
}

TEST_F(AnalysisTest, HighPeaksFoldIntoTheEnginesRange) {
  // A peak at bin 853 of 2048 (about 19,992 Hz) folds twice.
  const double hz = 853.0 * 48000.0 / 2048.0;
  WaveLibraryEntry* e = Sound(Sine(4096, hz), 1);
  ASSERT_EQ(DetectSamplePitch(e, 0), 0);
  EXPECT_NEAR(e->Pitch[0], hz / 4.0, 2.0);
  // A 50,000 Hz peak of a high-rate sound folds three times and stays above
  // the limit.
  const double high = 533.0 * 192000.0 / 2048.0;  // a bin centre near 50 kHz
  WaveLibraryEntry* f = Sound(Sine(4096, high, 192000.0), 1, 192000);
  ASSERT_EQ(DetectSamplePitch(f, 0), 0);
  EXPECT_NEAR(f->Pitch[0], high / 8.0, 20.0);
  EXPECT_GT(f->Pitch[0], 6000.0f);
}

TEST_F(AnalysisTest, ShortSoundsArePaddedAndSilenceKeepsThePitch) {
  WaveLibraryEntry* e = Sound(Sine(1000, 960.0), 1);
  ASSERT_EQ(DetectSamplePitch(e, 0), 0);
  EXPECT_NEAR(e->Pitch[0], 960.0f, 30.0f);

  WaveLibraryEntry* quiet = Sound(std::vector<float>(3000, 0.0f), 1);
  quiet->Pitch[0] = 123.0f;
  ASSERT_EQ(DetectSamplePitch(quiet, 0), 0);
  EXPECT_EQ(quiet->Pitch[0], 123.0f);

  // A loudest position beyond the sound is pulled back inside it.
  WaveLibraryEntry* far = Sound(Sine(3000, 480.0), 1);
  far->LoudestPosition[0] = 1e9f;
  ASSERT_EQ(DetectSamplePitch(far, 0), 0);
  EXPECT_NEAR(far->Pitch[0], 480.0f, 5.0f);
}

TEST_F(AnalysisTest, BadEntries) {
  EXPECT_EQ(AnalyseSampleLevels(nullptr), -19);
  EXPECT_EQ(DetectSamplePitch(nullptr, 0), -19);
  WaveLibraryEntry* empty = WaveLibraryEntryNew();
  entries_.push_back(empty);
  empty->MeanLevel[0] = 5.0f;
  EXPECT_EQ(AnalyseSampleLevels(empty), -19);
  EXPECT_EQ(empty->MeanLevel[0], 5.0f);
  EXPECT_NE(DetectSamplePitch(empty, 0), 0);
  WaveLibraryEntry* mono = Sound(Sine(3000, 480.0), 1);
  EXPECT_EQ(DetectSamplePitch(mono, 1), -19);
  // A frame count beyond the data is read as the data's length.
  mono->Sound.frameCount = 1000000;
  ASSERT_EQ(AnalyseSampleLevels(mono), 0);
  ASSERT_EQ(DetectSamplePitch(mono, 0), 0);
}

}  // namespace
}  // namespace Tarvelo
