// The Convolutive filter and vocoder: the impulse response through the ring
// (tap 0 meets the input of 128 frames ago), attenuation, resonance and the
// clip rule, the pass-through without taps or voice, the vocoder's moving
// window, tails that ring on after the input stops and keep their voice
// alive, per-voice rings, and the catalog templates.
#include "engine/dsp/convolution.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "tests/engine/synth_fixture.h"

namespace Tarvelo {
namespace {

constexpr int32_t kConvFilter = 17;
constexpr int32_t kConvVocoder = 27;

class ConvolutionTest : public testing_synth::SynthTest {
 protected:
  // A live module whose outputs the test writes itself; it is never run.
  static ModuleRecord* Source(float value = 0.0f) {
    ModuleRecord* s = SynthTest::Source();
    Put(s, 0, 0, value);
    return s;
  }
  // A filter sound of the given taps attached to m.
  void AttachTaps(ModuleRecord* m, const std::vector<float>& taps) { AttachWaveToModule(m, Sound(taps), 0); }
  ModuleRecord* Filter(ModuleRecord* input, const std::vector<float>& taps) {
    ModuleRecord* f = Add(kConvFilter);
    Link(f, kConvInput, input);
    f->ChannelsProcessed.Store(1);
    if (!taps.empty()) AttachTaps(f, taps);
    return f;
  }
  // One frame of m as the render callback runs it; the source, never run
  // itself, has its trigger entries of this parity cleared as its own run would.
  void Frame(ModuleRecord* source, ModuleRecord* m) {
    ClearTriggerBuffer(*source, parity_);
    ProcessModuleFrame(m, frame_++, parity_, parity_ ^ 1);
    parity_ ^= 1;
  }
  // Frames of m with the source publishing input[k] in frame k (then 0).
  std::vector<float> Run(ModuleRecord* source, ModuleRecord* m, const std::vector<float>& input, size_t frames,
                         int32_t ch = 0) {
    std::vector<float> out;
    for (size_t k = 0; k < frames; ++k) {
      const float x = k < input.size() ? input[k] : 0.0f;
      source->Outputs[0][0] = OutputElement{x, x};
      Frame(source, m);
      out.push_back(m->Outputs[ch][0].Level);
    }
    return out;
  }

  int32_t parity_ = 0;
  uint64_t frame_ = 0;
};

TEST_F(ConvolutionTest, ImpulseReturnsTheKernelWithTapZeroOneRingLater) {
  ModuleRecord* src = Source();
  ModuleRecord* f = Filter(src, {0.5f, 0.25f, -0.125f, 0.0625f});
  const std::vector<float> y = Run(src, f, {1.0f}, 300);
  for (size_t k = 0; k < y.size(); ++k) {
    float want = 0.0f;
    if (k == 1) want = 0.25f;
    if (k == 2) want = -0.125f;
    if (k == 3) want = 0.0625f;
    if (k == 128) want = 0.5f;
    EXPECT_EQ(y[k], want) << k;
  }
  EXPECT_EQ(f->ClipFlag.Load(), 0);
}

TEST_F(ConvolutionTest, OneTapDelaysByTheRingAndTwoTapsByOneFrame) {
  ModuleRecord* src = Source();
  ModuleRecord* one = Filter(src, {1.0f});
  std::vector<float> ramp;
  for (int32_t k = 0; k < 200; ++k) ramp.push_back(0.001f * (k + 1));
  std::vector<float> y = Run(src, one, ramp, 200);
  for (size_t k = 0; k < 200; ++k) EXPECT_EQ(y[k], k < 128 ? 0.0f : ramp[k - 128]) << k;

  ModuleRecord* src2 = Source();
  ModuleRecord* two = Filter(src2, {0.0f, 1.0f});
  y = Run(src2, two, ramp, 50);
  for (size_t k = 1; k < 50; ++k) EXPECT_EQ(y[k], ramp[k - 1]) << k;
}

// The ring holds 128 frames: a kernel of 200 taps plays its first 128 taps
// (tap 0 one ring later) and never reads past the ring.
TEST_F(ConvolutionTest, AKernelLongerThanTheRingPlaysItsFirst128Taps) {
  std::vector<float> taps(200);
  for (int32_t t = 0; t < 200; ++t) taps[t] = 0.001f * static_cast<float>(t + 1);
  ModuleRecord* src = Source();
  ModuleRecord* f = Filter(src, taps);
  const std::vector<float> y = Run(src, f, {1.0f}, 400);
  for (size_t k = 0; k < y.size(); ++k) {
    float want = 0.0f;
    if (k >= 1 && k < 128) want = taps[k];
    if (k == 128) want = taps[0];
    EXPECT_EQ(y[k], want) << k;
  }
}

TEST_F(ConvolutionTest, AttenuationResonanceAndClipping) {
  ModuleRecord* src = Source();
  ModuleRecord* f = Filter(src, {0.0f, 1.0f});
  ModuleSetParamValue(*f, kConvAttenuation, 1.0f);
  for (float y : Run(src, f, {1.0f, 0.5f, -0.5f}, 10)) EXPECT_EQ(y, 0.0f);

  // Half attenuation halves; resonance 0.5 feeds half the output back, negated.
  ModuleRecord* src2 = Source();
  ModuleRecord* g = Filter(src2, {0.0f, 1.0f});
  ModuleSetParamValue(*g, kConvAttenuation, 0.5f);
  ModuleSetParamValue(*g, kConvResonance, 0.5f);
  std::vector<float> y = Run(src2, g, {1.0f}, 6);
  // u[n] = x[n] - 0.5 y[n], y[n] = 0.5 u[n - 1].
  EXPECT_EQ(y[0], 0.0f);
  EXPECT_FLOAT_EQ(y[1], 0.5f);
  EXPECT_FLOAT_EQ(y[2], -0.125f);
  EXPECT_FLOAT_EQ(y[3], 0.03125f);

  // An input beyond the limits is clipped at the output and flagged.
  ModuleRecord* src3 = Source();
  ModuleRecord* h = Filter(src3, {0.0f, 1.0f});
  y = Run(src3, h, {3.0f, std::nanf("")}, 4);
  EXPECT_EQ(y[1], 1.0f);
  EXPECT_EQ(y[2], 0.0f);  // a NaN reads as 0 after the clip rule
  EXPECT_EQ(h->ClipFlag.Load(), -1);
}

TEST_F(ConvolutionTest, FilterTailRingsOnForOneRingAndThenLetsGo) {
  ModuleRecord* src = Source(0.5f);
  ModuleRecord* f = Filter(src, {0.0f, 1.0f});
  for (int32_t k = 0; k < 10; ++k) Frame(src, f);
  src->ActiveVoices.Store(0);  // the input's voice stops
  int32_t sounding = 0;
  int32_t marked = 0;
  for (int32_t k = 0; k < 400 && f->ActiveVoices.Load() > 0; ++k) {
    const int32_t parity = parity_;
    Frame(src, f);
    if (f->ActiveVoices.Load() > 0) ++sounding;
    if (src->TriggerBuffers[parity][0] == kVoiceMark) ++marked;
    if (k == 0) {
      EXPECT_EQ(f->Outputs[0][0].Level, 0.5f);  // the last fed value, one frame late
    }
    if (k == 1) {
      EXPECT_EQ(f->Outputs[0][0].Level, 0.0f);
    }
  }
  // 128 frames of silence are drained, all of them marked; the voice stays
  // listed one more frame on its own last mark and then ends.
  EXPECT_EQ(marked, 129);
  EXPECT_EQ(sounding, 130);
  EXPECT_EQ(f->ActiveVoices.Load(), 0);
  EXPECT_EQ(f->SequencerVoices[0].State, kTailIdle);
}

TEST_F(ConvolutionTest, PerVoiceRingsFollowTheirVoices) {
  ModuleRecord* src = Source();
  src->ActiveVoices.Store(2);
  src->PerVoiceOutput = -1;
  src->VoiceIds[0] = 3;
  src->VoiceIds[1] = 7;
  ModuleRecord* f = Filter(src, {0.0f, 1.0f});
  f->PolyphonyMode.Store(1);
  auto frame = [&](float a, float b) {
    src->Outputs[0][0] = OutputElement{a, a};
    src->Outputs[0][1] = OutputElement{b, b};
    Frame(src, f);
  };
  frame(0.25f, -0.5f);
  frame(0.0f, 0.0f);
  ASSERT_EQ(f->ActiveVoices.Load(), 2);
  EXPECT_EQ(f->VoiceIds[0], 3);
  EXPECT_EQ(f->VoiceIds[1], 7);
  EXPECT_EQ(f->Outputs[0][0].Level, 0.25f);
  EXPECT_EQ(f->Outputs[0][1].Level, -0.5f);

  // Voice 3 stops: it drains in place while voice 7, now the source's only
  // voice, keeps reading its own input.
  src->ActiveVoices.Store(1);
  src->VoiceIds[0] = 7;
  frame(0.75f, 0.0f);
  frame(0.125f, 0.0f);
  ASSERT_EQ(f->ActiveVoices.Load(), 2);
  EXPECT_EQ(f->VoiceIds[0], 3);
  EXPECT_EQ(f->VoiceIds[1], 7);
  EXPECT_EQ(f->SequencerVoices[3].State, kTailDraining);
  EXPECT_EQ(f->Outputs[0][0].Level, 0.0f);
  EXPECT_EQ(f->Outputs[0][1].Level, 0.75f);
  EXPECT_EQ(src->TriggerBuffers[parity_ ^ 1][3], kVoiceMark);
}

TEST_F(ConvolutionTest, VocoderAveragesInputTimesVoiceOverItsWindow) {
  ModuleRecord* in = Source(1.0f);
  ModuleRecord* voice = Source(0.5f);
  ModuleRecord* v = Add(kConvVocoder);
  Link(v, kConvInput, in);
  Link(v, kConvVoice, voice);
  v->ChannelsProcessed.Store(1);
  ModuleSetParamValue(*v, kConvVoice, 1.0f);
  ModuleSetParamValue(*v, kConvWindow, 3.0f);
  const std::vector<float> y = Run(in, v, std::vector<float>(10, 1.0f), 10);
  EXPECT_EQ(y[0], 0.0f);
  EXPECT_FLOAT_EQ(y[1], 0.5f / 3.0f);
  EXPECT_FLOAT_EQ(y[2], 1.0f / 3.0f);
  for (size_t k = 3; k < 10; ++k) EXPECT_FLOAT_EQ(y[k], 0.5f) << k;

  // The Voice port's set value scales the latched voice.
  ModuleSetParamValue(*v, kConvVoice, 0.5f);
  const std::vector<float> z = Run(in, v, std::vector<float>(10, 1.0f), 10);
  EXPECT_FLOAT_EQ(z[9], 0.25f);

  // The tail: one window of silence, then the voice ends.
  in->ActiveVoices.Store(0);
  int32_t sounding = 0;
  for (int32_t k = 0; k < 20 && v->ActiveVoices.Load() > 0; ++k) {
    Frame(in, v);
    if (v->ActiveVoices.Load() > 0) ++sounding;
  }
  EXPECT_EQ(sounding, 5);  // 4 drained frames pass L = 3, one more on the last mark
}

TEST_F(ConvolutionTest, ShorterWindowClampsTheRingPosition) {
  EXPECT_EQ(VocoderWindow(16.0f), 16);
  EXPECT_EQ(VocoderWindow(3.9999995f), 4);
  EXPECT_EQ(VocoderWindow(0.0f), 1);
  EXPECT_EQ(VocoderWindow(std::nanf("")), 1);
  EXPECT_EQ(VocoderWindow(1e9f), 127);

  ModuleRecord* in = Source(1.0f);
  ModuleRecord* voice = Source(1.0f);
  ModuleRecord* v = Add(kConvVocoder);
  Link(v, kConvInput, in);
  Link(v, kConvVoice, voice);
  v->ChannelsProcessed.Store(1);
  ModuleSetParamValue(*v, kConvWindow, 16.0f);
  for (int32_t k = 0; k < 12; ++k) Frame(in, v);
  EXPECT_EQ(v->AuxVoiceState[0][0], 12.0f);
  ModuleSetParamValue(*v, kConvWindow, 4.0f);
  Frame(in, v);  // position 12 becomes 7, the last of the 8-frame ring
  EXPECT_EQ(v->AuxVoiceState[0][0], 0.0f);
  for (int32_t k = 0; k < 8; ++k) Frame(in, v);
  EXPECT_FLOAT_EQ(v->Outputs[0][0].Level, 1.0f);
}

TEST_F(ConvolutionTest, FilterThroughTheRenderCallback) {
  // Capture feeds the filter; the output module is the filter.
  ModuleRecord* cap = Add(kTypeCapture);
  ModuleRecord* f = Add(kConvFilter);
  Link(f, kConvInput, cap);
  AttachTaps(f, {0.0f, 0.5f, 0.25f});
  RequestGraphRebuild(0, 0, f);
  for (int32_t i = 0; i < CaptureRingSize; ++i) CaptureRing[i] = 0.0f;
  CaptureRing[0] = CaptureRing[1] = 1.0f;
  CaptureReadIndex = 0;
  CaptureWriteIndex = CaptureRingSize / 2;
  CaptureActive = -1;
  std::vector<float> out(16, -9.0f);
  float* p = out.data();
  RenderAudio(&p, 0, 16);
  EXPECT_EQ(out[0], 0.0f);
  EXPECT_EQ(out[2], 0.5f);   // left
  EXPECT_EQ(out[3], 0.5f);   // right
  EXPECT_EQ(out[4], 0.25f);
  EXPECT_EQ(out[6], 0.0f);
}

}  // namespace
}  // namespace Tarvelo
