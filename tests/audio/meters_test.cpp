#include "audio/meters.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <vector>

#include "audio/audio.h"
#include "basics/queues.h"

namespace {

using namespace QUARLE_AUDIO;
using QUARLE_BASICS::CommandMessage;

class Meters : public ::testing::Test {
 protected:
  void SetUp() override {
    if (QUARLE_BASICS::MainCommandQueue < 0) {
      int32_t q = -1;
      ASSERT_EQ(QUARLE_BASICS::CreateCommandQueue(q), 0);
      QUARLE_BASICS::MainCommandQueue = q;
    }
    Drain();
  }
  void TearDown() override { Drain(); }

  // Takes every pending report off the main queue; payloads are ours to free.
  std::vector<CommandMessage> Drain() {
    CommandMessage* buffer = nullptr;
    QUARLE_BASICS::ArrayHeader header;
    std::vector<CommandMessage> got;
    if (QUARLE_BASICS::FetchCommands(buffer, header, QUARLE_BASICS::MainCommandQueue) == 0) {
      for (int32_t i = 0; i < header.count; ++i) got.push_back(buffer[i]);
    }
    std::free(buffer);
    for (CommandMessage& m : got) payloads_.push_back(m);
    return got;
  }
  ~Meters() override {
    for (const CommandMessage& m : payloads_) QUARLE_AUDIO::ReleaseReportBlock(m.type, m.word2);
  }

  std::vector<CommandMessage> payloads_;
};

// Accumulates a block of interleaved stereo as the feeding callbacks do.
void Feed(LevelMeter* m, const std::vector<float>& block) {
  for (size_t i = 0; i + 1 < block.size(); i += 2) {
    LevelMeterFeed(m[0], block[i]);
    LevelMeterFeed(m[1], block[i + 1]);
  }
}

TEST_F(Meters, OutputMetersMeasureFramesAndReport) {
  LevelMeter m[2] = {};
  std::vector<float> block(2 * 100, 0.5f);
  for (size_t i = 1; i < block.size(); i += 2) block[i] = -0.5f;
  Feed(m, block);
  UpdateOutputMeters(&m[0], &m[1], int32_t(block.size()));

  // Sum of squares 25 over 100 frames: 20 log10 sqrt(0.25) = -6.02 dB, the
  // same reading the input meter gives for the same block.
  EXPECT_NEAR(OutputMeters[0].level, -6.0206, 1e-3);
  EXPECT_FLOAT_EQ(OutputMeters[0].maximum, 0.5f);
  EXPECT_FLOAT_EQ(OutputMeters[0].minimum, 0.0f);
  EXPECT_NEAR(OutputMeters[1].level, -6.0206, 1e-3);
  EXPECT_FLOAT_EQ(OutputMeters[1].minimum, -0.5f);
  EXPECT_FLOAT_EQ(OutputMeters[1].maximum, 0.0f);
  for (const LevelMeter& x : m) {
    EXPECT_EQ(x.level, 0.0f);
    EXPECT_EQ(x.minimum, 0.0f);
    EXPECT_EQ(x.maximum, 0.0f);
  }

  std::vector<CommandMessage> reports = Drain();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].type, 209u);
  EXPECT_EQ(reports[0].arg1, uint32_t(QUARLE_BASICS::AudioCommandQueue));
  EXPECT_GT(reports[0].timeStamp, 0.0);
  const float* v = reinterpret_cast<const float*>(reports[0].word2);
  ASSERT_NE(v, nullptr);
  EXPECT_FLOAT_EQ(v[0], 0.0f);
  EXPECT_FLOAT_EQ(v[1], 0.5f);
  EXPECT_NEAR(v[2], -6.0206, 1e-3);
  EXPECT_FLOAT_EQ(v[3], -0.5f);
  EXPECT_FLOAT_EQ(v[4], 0.0f);
  EXPECT_NEAR(v[5], -6.0206, 1e-3);
}

TEST_F(Meters, SilenceAndEmptyCounts) {
  LevelMeter m[2] = {};
  UpdateOutputMeters(&m[0], &m[1], 96);
  EXPECT_EQ(OutputMeters[0].level, -140.0f);
  EXPECT_EQ(OutputMeters[0].minimum, 0.0f);
  EXPECT_EQ(OutputMeters[0].maximum, 0.0f);
  EXPECT_EQ(Drain().size(), 1u);

  // n below 1 does nothing: the sums stay, nothing is reported.
  m[0].level = 3.0f;
  UpdateOutputMeters(&m[0], &m[1], 0);
  UpdateInputMeters(&m[0], &m[1], -5, -1);
  EXPECT_EQ(m[0].level, 3.0f);
  EXPECT_TRUE(Drain().empty());

  // A tiny level is floored at -140.
  LevelMeter t[2] = {{1e-20f, 0, 0}, {0, 0, 0}};
  UpdateInputMeters(&t[0], &t[1], 2, 0);
  EXPECT_EQ(InputMeters[0].level, -140.0f);
}

// The input meters: 20 log10 of the RMS per channel, peaks limited to full
// scale; nothing is posted.
TEST_F(Meters, InputMeasuresFramesOfAStereoBlock) {
  struct Row {
    float left, right, level, leftMax, rightMin;
  };
  const Row rows[] = {{0.5f, 0.5f, -6.0206f, 0.5f, 0.0f}, {2.0f, -2.0f, 6.0206f, 1.0f, -1.0f}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.left);
    LevelMeter m[2] = {};
    std::vector<float> block;
    for (int i = 0; i < 48; ++i) block.insert(block.end(), {r.left, r.right});
    Feed(m, block);
    UpdateInputMeters(&m[0], &m[1], 96, -1);
    EXPECT_NEAR(InputMeters[0].level, r.level, 1e-3);
    EXPECT_NEAR(InputMeters[1].level, r.level, 1e-3);
    EXPECT_EQ(InputMeters[0].minimum, 0.0f);
    EXPECT_EQ(InputMeters[0].maximum, r.leftMax);
    EXPECT_EQ(InputMeters[1].minimum, r.rightMin);
    EXPECT_TRUE(Drain().empty());
  }
}

TEST_F(Meters, DefaultRenderWritesSilenceAndReportsPerStreamBuffer) {
  const int32_t savedLength = StreamLength;
  StreamLength = 8;
  std::vector<float> stream(8, 7.0f);
  float* p = stream.data();
  DefaultRenderCallback(&p, 2, 4);
  EXPECT_EQ(stream[0], 7.0f);
  EXPECT_EQ(stream[2], 0.0f);
  EXPECT_EQ(stream[5], 0.0f);
  EXPECT_EQ(stream[6], 7.0f);
  EXPECT_TRUE(Drain().empty());
  DefaultRenderCallback(&p, 0, 2);
  DefaultRenderCallback(&p, 6, 2);  // 8 floats produced: one update
  std::vector<CommandMessage> r = Drain();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].type, 209u);
  EXPECT_EQ(OutputMeters[0].level, -140.0f);
  EXPECT_EQ(OutputMeters[1].maximum, 0.0f);
  StreamLength = savedLength;
}

TEST_F(Meters, DefaultCaptureReportsACopyOfTheBlock) {
  std::vector<float> block = {0.5f, -0.5f, 0.5f, -0.5f};
  float* p = block.data();
  int64_t resync = -1;
  DefaultCaptureCallback(&p, 4, &resync);
  EXPECT_EQ(resync, 0);
  EXPECT_NEAR(InputMeters[0].level, -6.0206, 1e-3);
  EXPECT_FLOAT_EQ(InputMeters[1].minimum, -0.5f);
  std::vector<CommandMessage> r = Drain();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].type, 207u);
  EXPECT_EQ(r[0].single1, 4.0f);
  EXPECT_EQ(r[0].single2, 2.0f);
  const float* copy = reinterpret_cast<const float*>(r[0].word2);
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy, block.data());
  for (int i = 0; i < 4; ++i) EXPECT_EQ(copy[i], block[i]);

  // Nothing to take: nothing happens.
  resync = -1;
  DefaultCaptureCallback(&p, 0, &resync);
  DefaultCaptureCallback(nullptr, 4, &resync);
  EXPECT_EQ(resync, -1);
  EXPECT_TRUE(Drain().empty());
}

}  // namespace
