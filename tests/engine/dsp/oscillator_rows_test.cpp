// The Oscillator's per-voice slot computes its voices side by side in rows
// when the shape's settings are shared; these tests hold it to what the same
// module gives one voice after the other, bit for bit, over every lane count
// (voices filling their lanes and not), both channel counts, voices out of
// place, every shape but white noise and the switches, with awkward values
// (signed zeros, wrapping and NaN phases, zero and NaN frequencies, clips).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "tests/engine/synth_fixture.h"

namespace Tarvelo {
namespace {

// Bit for bit, except that any NaN equals any NaN: which of two NaNs an
// operation keeps depends on the order the compiler put them in.
uint32_t Bits(float x) {
  if (x != x) return 0x7fc00000u;
  uint32_t u;
  std::memcpy(&u, &x, 4);
  return u;
}

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Per-voice feeds and starting states, cycled over the voices.
constexpr float kBias[] = {0.0f, -0.0f, 0.2f, -1.5f, 0.1f, kNaN, -0.3f};
constexpr float kAmplitude[] = {0.5f, -0.7f, 0.0f, 3.0f, -0.0f, 0.25f, kNaN, 1.0f, 0.9f, -0.4f, 0.6f};
constexpr float kFrequency[] = {0.01f, 0.0f, -0.02f, 1e-3f, 0.5f, 0.03f, kNaN, 2.5f, -0.0f};
constexpr float kPhase[] = {0.1f, -0.0f, 0.0f, 0.99f, 1.0f, -1.0f, -1.5f, 0.5f, kNaN, 0.75f, -0.25f, 1.75f, 0.3f};
constexpr int64_t kPlaying[] = {-1, -1, 0, -1, -1, 0, -1};

// The shape's shared settings: phase offset, period factor, duty.
struct Settings {
  float offset, factor, duty;
};

class OscillatorRowsTest : public testing_synth::SynthTest {
 protected:
  // rows runs side by side; twin reads the same values through per-voice
  // maps, which sends it one voice after the other.
  void Build(const Settings& s) {
    feed_ = Add(kTypeOscillator);
    amp_ = Add(kTypeOscillator);
    settings_ = Add(kTypeOscillator);
    rows_ = Add(kTypeOscillator);
    twin_ = Add(kTypeOscillator);
    ASSERT_NE(twin_, nullptr);
    for (ModuleRecord* src : {feed_, amp_, settings_}) src->ChannelsProcessed.Store(2);
    for (int32_t ch = 0; ch < 2; ++ch)
      for (int32_t v = 0; v < kVoiceColumns; ++v) {
        const float sign = ch == 0 ? 1.0f : -1.0f;
        feed_->Outputs[ch][v] = OutputElement{sign * kBias[v % 7], sign * kFrequency[v % 9]};
        amp_->Outputs[ch][v] = OutputElement{0.0f, (ch == 0 ? 1.0f : 0.5f) * kAmplitude[v % 11]};
        // Every element the same, so that a per-voice read gives the shared value.
        settings_->Outputs[ch][v] = OutputElement{s.offset, s.factor};
      }
    for (ModuleRecord* m : {rows_, twin_}) {
      ModuleRecord* t = &ModuleCatalog[kTypeOscillator];
      ASSERT_EQ(ModuleLinkInput(*m, kOscBias, feed_, t), kLinkConnected);
      ASSERT_EQ(ModuleLinkInput(*m, kOscAmplitude, amp_, t), kLinkConnected);
      ASSERT_EQ(ModuleLinkInput(*m, kOscFrequency, feed_, t), kLinkConnected);
      ASSERT_EQ(ModuleLinkInput(*m, kOscPhase, settings_, t), kLinkConnected);
      ASSERT_EQ(ModuleLinkInput(*m, kOscPeriod, settings_, t), kLinkConnected);
      ModuleSetParamValue(*m, kOscAmplitude, 0.75f);
      ModuleSetParamValue(*m, kOscDuty, s.duty);
      m->Params[kOscBias].OutputSide.Store(0);
      m->Params[kOscAmplitude].OutputSide.Store(1);
      m->Params[kOscFrequency].OutputSide.Store(1);
      m->Params[kOscPhase].OutputSide.Store(0);
      m->Params[kOscPeriod].OutputSide.Store(1);
      for (int32_t p : {kOscBias, kOscAmplitude, kOscFrequency}) m->Params[p].VoiceMapRow = 1;
      m->Params[kOscPhase].VoiceMapRow = 0;
      m->Params[kOscPeriod].VoiceMapRow = 0;
      m->TriggerOwner.Store(m);
    }
    twin_->Params[kOscPhase].VoiceMapRow = 1;
  }

  void Start(int32_t shape, int32_t voices, int32_t channels, bool shuffled, bool loop, bool doubled, bool rewind) {
    for (ModuleRecord* m : {rows_, twin_}) {
      SetOscillatorShape(*m, shape);
      m->ModuleSwitches[kSwitchLoop].Store(loop ? -1 : 0);
      m->ModuleSwitches[kSwitch2].Store(doubled ? -1 : 0);
      m->ModuleSwitches[kSwitchRewind].Store(rewind ? -1 : 0);
      m->ChannelsProcessed.Store(channels);
      m->VoicesToCompute = voices;
      m->ClipFlag.Store(0);
      for (int32_t v = 0; v < kVoices; ++v) {
        // Out of place: position v holds voice id (v * 7 + 3) mod 32, distinct.
        m->VoiceIds[v] = shuffled ? (v * 7 + 3) % kVoices : v;
        m->VoicePlaying[v] = kPlaying[v % 7];
      }
      for (int32_t ch = 0; ch < 2; ++ch)
        for (int32_t v = 0; v < kVoiceColumns; ++v) {
          m->VoiceState[ch][v] = (ch == 0 ? 1.0f : 0.5f) * kPhase[v % 13];
          // Marks in the columns past the voices, which must stay.
          m->Outputs[ch][v] = OutputElement{100.0f + static_cast<float>(v), -100.0f - static_cast<float>(ch)};
        }
    }
  }

  // Runs both for a few frames; true when everything they keep and publish
  // is the same bit for bit.
  void RunAndCompare(const char* what) {
    for (int32_t frame = 0; frame < 6; ++frame) {
      ProcessOscillatorPoly(rows_, 0, 0, 1);
      ProcessOscillatorPoly(twin_, 0, 0, 1);
      ASSERT_EQ(rows_->ClipFlag.Load(), twin_->ClipFlag.Load()) << what << " frame " << frame;
      ASSERT_EQ(rows_->ActiveVoices.Load(), twin_->ActiveVoices.Load()) << what;
      for (int32_t v = 0; v < kVoices; ++v) ASSERT_EQ(rows_->VoicePlaying[v], twin_->VoicePlaying[v]) << what << " id " << v;
      for (int32_t ch = 0; ch < 2; ++ch)
        for (int32_t v = 0; v < kVoiceColumns; ++v) {
          ASSERT_EQ(Bits(rows_->VoiceState[ch][v]), Bits(twin_->VoiceState[ch][v]))
              << what << " frame " << frame << " channel " << ch << " phase of id " << v;
          ASSERT_EQ(Bits(rows_->Outputs[ch][v].Level), Bits(twin_->Outputs[ch][v].Level))
              << what << " frame " << frame << " channel " << ch << " position " << v;
          ASSERT_EQ(Bits(rows_->Outputs[ch][v].Frequency), Bits(twin_->Outputs[ch][v].Frequency))
              << what << " frame " << frame << " channel " << ch << " position " << v;
        }
    }
  }

  ModuleRecord* feed_ = nullptr;
  ModuleRecord* amp_ = nullptr;
  ModuleRecord* settings_ = nullptr;
  ModuleRecord* rows_ = nullptr;
  ModuleRecord* twin_ = nullptr;
};

TEST_F(OscillatorRowsTest, SideBySideGivesWhatOneAfterTheOtherGivesOverEveryLaneCount) {
  Build(Settings{-0.0f, 1.0f, 0.5f});
  for (int32_t shape = 0; shape < kWaveShapeCount; ++shape) {
    if (shape == 7) continue;  // white noise stays voice by voice
    for (int32_t voices : {1, 3, 4, 5, 8, 9, 16, 17, 31, 32}) {
      for (int32_t channels : {1, 2}) {
        for (bool loop : {true, false}) {
          Start(shape, voices, channels, false, loop, voices % 2 == 1, shape % 2 == 0);
          const std::string what = "shape " + std::to_string(shape) + " voices " + std::to_string(voices) +
                                   " channels " + std::to_string(channels) + (loop ? " loop" : " once");
          RunAndCompare(what.c_str());
          if (HasFatalFailure()) return;
        }
      }
    }
  }
}

TEST_F(OscillatorRowsTest, VoicesOutOfPlaceAndOtherSettings) {
  // A negative factor, a negative duty, a silent duty, a wide offset.
  for (const Settings& s : {Settings{0.25f, -1.5f, -0.3f}, Settings{-0.0f, 2.0f, 0.0f}, Settings{3.5f, 0.5f, 0.9f},
                            Settings{0.0f, 0.0f, 0.5f}}) {
    Build(s);
    for (int32_t shape : {0, 1, 2, 3, 8, 9, 10, 11}) {
      for (int32_t voices : {2, 7, 12, 24}) {
        Start(shape, voices, voices % 3 == 0 ? 2 : 1, true, shape % 3 != 0, shape % 2 == 1, voices > 10);
        const std::string what = "shape " + std::to_string(shape) + " voices " + std::to_string(voices) + " factor " +
                                 std::to_string(s.factor);
        RunAndCompare(what.c_str());
        if (HasFatalFailure()) return;
      }
    }
  }
}

// Shared settings at the duty gate's and the silence's edges: a NaN factor
// or duty (never silent, never gating), a duty of -0 (silent), of -1 (gating
// nothing from below), of 1 and beyond, and infinite ones.
TEST_F(OscillatorRowsTest, SettingsAtTheGateEdges) {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  for (const Settings& s : {Settings{0.1f, kNaN, 0.5f}, Settings{0.2f, 1.0f, kNaN}, Settings{0.0f, -0.0f, 0.4f},
                            Settings{0.3f, 1.5f, -0.0f}, Settings{0.0f, 1.0f, -1.0f}, Settings{0.6f, -0.5f, 1.0f},
                            Settings{0.0f, 2.0f, kInf}, Settings{0.1f, 0.5f, -kInf}, Settings{0.0f, 1.0f, -1.5f}}) {
    Build(s);
    for (int32_t shape : {0, 2, 3, 9}) {
      for (int32_t voices : {6, 8, 16, 32}) {
        Start(shape, voices, voices == 6 ? 2 : 1, voices == 32, voices != 8, false, shape == 2);
        const std::string what = "shape " + std::to_string(shape) + " voices " + std::to_string(voices) + " factor " +
                                 std::to_string(s.factor) + " duty " + std::to_string(s.duty);
        RunAndCompare(what.c_str());
        if (HasFatalFailure()) return;
      }
    }
  }
}

// Extreme feeds and phases: infinities, subnormal and huge frequencies
// (whose quarter steps are inexact in single precision), phases that wrap
// to infinities or stay huge, amplitudes and biases that clip or vanish.
TEST_F(OscillatorRowsTest, ExtremeValuesSideBySide) {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  constexpr float kFeeds[] = {1e-40f, -1e-45f, kInf, 3e38f, 1e-30f, -kInf, 0x1p-125f, 0.015625f, -2e-39f, 7.0f, 0.001f};
  constexpr float kPhases[] = {kInf, -kInf, 1e30f, -3e38f, 1e-40f, 0.999999f, -0.999999f, 2.0f, 0.5f};
  Build(Settings{0.3f, -2.5f, 0.7f});
  for (int32_t shape = 0; shape < kWaveShapeCount; ++shape) {
    if (shape == 7) continue;
    for (int32_t voices : {8, 13, 16, 29}) {
      Start(shape, voices, voices == 13 ? 2 : 1, voices == 29, voices != 16, voices == 8, voices == 13);
      for (int32_t ch = 0; ch < 2; ++ch)
        for (int32_t v = 0; v < kVoiceColumns; ++v) {
          feed_->Outputs[ch][v] = OutputElement{kFeeds[(v + 3) % 11] * 1e-38f, kFeeds[v % 11]};
          amp_->Outputs[ch][v].Frequency = kFeeds[(v + 5) % 11];
          for (ModuleRecord* m : {rows_, twin_}) m->VoiceState[ch][v] = kPhases[(v + ch) % 9];
        }
      // A phase of 3 and a frequency of 2 of the smallest subnormal steps:
      // the quarter frequency rounds to 0 in single precision, and the sum
      // must round from 3.5 as the double steps give it, to 4.
      const uint32_t two = 2;
      const uint32_t three = 3;
      for (int32_t ch = 0; ch < 2; ++ch)
        for (int32_t v : {1, 3}) {
          std::memcpy(&feed_->Outputs[ch][v].Frequency, &two, 4);
          for (ModuleRecord* m : {rows_, twin_}) std::memcpy(&m->VoiceState[ch][m->VoiceIds[v]], &three, 4);
        }
      // Two different NaNs for a phase and its frequency: the advance keeps
      // a NaN, either one, as the voice alone does.
      const uint32_t phaseNaN = 0x7fc00011u;
      const uint32_t frequencyNaN = 0xffc00022u;
      for (int32_t ch = 0; ch < 2; ++ch) {
        std::memcpy(&feed_->Outputs[ch][4].Frequency, &frequencyNaN, 4);
        for (ModuleRecord* m : {rows_, twin_}) std::memcpy(&m->VoiceState[ch][m->VoiceIds[4]], &phaseNaN, 4);
      }
      const std::string what = "shape " + std::to_string(shape) + " voices " + std::to_string(voices);
      RunAndCompare(what.c_str());
      if (HasFatalFailure()) return;
    }
  }
}

// A wave keeps its frequency over an hour: its rising zero crossings (found
// between two frames) fall on the whole periods of the frequency its input
// holds. Each case plays a few seconds and the drift found is taken to an
// hour, which must stay under a millisecond.
// one thread: value
struct WaveCase {
  int32_t type;
  double hz;
  double seconds;
};

class WaveTimingTest : public testing_synth::SynthTest, public ::testing::WithParamInterface<WaveCase> {};

TEST_P(WaveTimingTest, AnHourStraysLessThanAMillisecond) {
  const WaveCase c = GetParam();
  ModuleRecord* m = Add(c.type);
  const float f = static_cast<float>(c.hz) / RateQuarter;
  Set(m, kOscBias, 0.0f);
  Set(m, kOscFrequency, f);
  const double hz = static_cast<double>(f) * static_cast<double>(RateQuarter);
  const double rate = static_cast<double>(RateWhole);
  const int64_t frames = static_cast<int64_t>(c.seconds * rate);
  float before = 0.0f;
  int64_t k = 0;
  double error = 0.0;  // s, the last crossing's
  double at = 0.0;
  for (int64_t n = 0; n < frames; ++n) {
    Run(m, 1, static_cast<int32_t>(n & 1));
    const float now = Level(m);
    if (n > 0 && before < 0.0f && now >= 0.0f) {
      ++k;
      at = (static_cast<double>(n - 1) + static_cast<double>(before) / static_cast<double>(before - now)) / rate;
      error = at - static_cast<double>(k) / hz;
    }
    before = now;
  }
  ASSERT_GE(k, 2);
  const double hourMs = error / at * 3600.0 * 1000.0;
  EXPECT_LT(std::fabs(hourMs), 1.0) << "type " << c.type << " at " << c.hz << " Hz: " << error * 1e6
                                    << " us after " << at << " s";
}

INSTANTIATE_TEST_SUITE_P(Waves, WaveTimingTest,
                         ::testing::Values(WaveCase{35, 0.5, 4.5}, WaveCase{35, 3.7, 4.0}, WaveCase{35, 440.0, 2.0},
                                           WaveCase{kTypeOscillator, 0.5, 4.5}, WaveCase{kTypeOscillator, 3.7, 4.0},
                                           WaveCase{kTypeOscillator, 440.0, 2.0}));

// The phase a voice holds after each frame, set against the exact phase and
// against the float steps alone (each frame wraps the phase once and adds a
// quarter of f in double, rounded to float). A frequency held keeps the exact
// phase to within a frame's rounding, where the float steps stray frames
// apart; a frequency that moves every frame (here it alternates) keeps the
// float steps bit for bit: the phase is never set beyond their rounding.
// one thread: value
struct AnchorCase {
  const char* name;
  double hz;       // even frames
  double otherHz;  // odd frames
  bool doubled;    // SW2
  bool strays;     // the float steps alone stray past what the anchoring keeps
};

class OscillatorAnchorTest : public testing_synth::SynthTest {};

TEST_F(OscillatorAnchorTest, HeldFrequenciesKeepTheExactPhase) {
  constexpr AnchorCase kCases[] = {
      {"0.5 Hz", 0.5, 0.5, false, true},
      {"440 Hz", 440.0, 440.0, false, true},
      {"3.7 Hz doubled", 3.7, 3.7, true, true},
      {"-220 Hz", -220.0, -220.0, false, true},
      {"15 kHz (a step exact in float, many turns a block)", 15000.0, 15000.0, false, false},
      {"alternating", 440.0, 97.0, false, false},
      {"alternating doubled", 0.5, 3.0, true, false}};
  constexpr int32_t kBlock = kOscillatorAnchorFrames;
  constexpr int32_t kFrames = kBlock * 16 + 17;
  for (const AnchorCase& c : kCases) {
    ModuleRecord* m = Add(kTypeOscillator);
    ASSERT_NE(m, nullptr);
    Set(m, kOscBias, 0.0f);
    m->ModuleSwitches[kSwitch2].Store(c.doubled ? -1 : 0);
    const float fs[2] = {static_cast<float>(c.hz) / RateQuarter, static_cast<float>(c.otherHz) / RateQuarter};
    const bool held = c.hz == c.otherHz;
    // From three quarters of the cycle, where a float step rounds the most.
    m->VoiceState[0][0] = 0.75f;
    double exact = 0.75;
    float steps = 0.75f;
    double strayed = 0.0;  // the float steps' largest distance from the exact phase
    for (int32_t n = 0; n < kFrames; ++n) {
      Set(m, kOscFrequency, fs[n & 1]);
      // The first anchoring (after kBlock frames) keeps the phase it finds,
      // the float steps' from the 0.75 the test wrote: exactness counts
      // from there.
      if (n == kBlock) exact = static_cast<double>(m->VoiceState[0][0]);
      Run(m, 1, n & 1);
      const float f = c.doubled ? fs[n & 1] + fs[n & 1] : fs[n & 1];
      exact += 0.25 * static_cast<double>(f);
      const float p = !(1.0f > std::fabs(steps)) ? steps - std::copysign(1.0f, steps) : steps;
      steps = static_cast<float>(static_cast<double>(p) + 0.25 * static_cast<double>(f));
      const float phase = m->VoiceState[0][0];
      if (!held) {
        ASSERT_EQ(Bits(phase), Bits(steps)) << c.name << " frame " << n;
        continue;
      }
      const double off = static_cast<double>(phase) - exact;
      const double steppedOff = static_cast<double>(steps) - exact;
      strayed = std::max(strayed, std::fabs(steppedOff - std::nearbyint(steppedOff)));
      // From the second anchoring on, the call that anchors leaves the
      // phase a frame's rounding off the exact one, and the frames after it
      // the float steps' rounding (each at most 2^-24 while the phase is
      // below 2).
      if (n < 2 * kBlock) continue;
      const double bound = n % kBlock == 0 ? 0x1p-24 : kBlock * 0x1p-24;
      ASSERT_LE(std::fabs(off - std::nearbyint(off)), bound) << c.name << " frame " << n;
    }
    // The float steps alone stray further: the case tells the two apart.
    if (c.strays) {
      EXPECT_GT(strayed, kBlock * 0x1p-24) << c.name;
    }
  }
}

}  // namespace
}  // namespace Tarvelo
