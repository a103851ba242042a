// A synth built from the catalog for the logic, arithmetic, mixer and stereo
// kernel tests: modules added to the live list, linked port to port, driven
// either one kernel call at a time or through the real render callback.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "basics/dynzstring.h"
#include "engine/catalog/catalog.h"
#include "engine/catalog/engine_init.h"
#include "engine/command.h"
#include "engine/dsp/contract.h"
#include "engine/dsp/oscillators.h"
#include "engine/globals.h"
#include "engine/keyboard.h"
#include "engine/modulelist.h"
#include "engine/render.h"

namespace Tarvelo {
namespace testing_logic {

// Module types of the kernels under test.
enum TestType : int32_t {
  kTypeLogicSwitch = 10,
  kTypeDifference = 11,
  kTypeProduct = 12,
  kTypeLevel = 13,
  kTypeJoinStereo = 19,
  kTypeMergeStereo = 20,
  kTypeBalance = 21,
  kTypeInverter = 24,
  kTypeAddition = 33,
  kTypeGate = 34,
  kTypeDerivative = 36,
  kTypeAbsolute = 37,
  kTypeClipper = 38,
  kTypeRectifier = 41,
};

class LogicGraphTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(Tarvelo::init(48000.0f), 0);
    PlaybackActive = 0;
    CaptureActive = 0;
    // The first frame takes the start-up rebuild out of the mailbox.
    Render(1);
  }
  void TearDown() override { Tarvelo::close(); }

  static ModuleRecord* Add(int32_t type) {
    ModuleRecord* m = nullptr;
    EXPECT_GE(AddModule(type, true, &m), 0);
    return m;
  }
  static void Link(ModuleRecord* m, int32_t port, ModuleRecord* source) {
    EXPECT_EQ(ModuleLinkInput(*m, port, source, &ModuleCatalog[m->Type]), kLinkConnected);
  }
  static void PerVoice(ModuleRecord* m) {
    m->ModuleSwitches[kSwitchPerVoice] = -1;
    m->PolyphonyMode = 1;
  }
  static void Set(ModuleRecord* m, int32_t p, float value) { ModuleSetParamValue(*m, p, value); }
  static void Output(ModuleRecord* m) { RequestGraphRebuild(0, 0, m); }

  // A live module whose outputs a test writes by hand: n channels, the given
  // voices, element (ch, v) = {level, frequency}.
  static ModuleRecord* Source(int32_t channels = 1, int32_t voices = 1) {
    ModuleRecord* s = Add(kTypeOscillator);
    s->ChannelsProcessed = channels;
    s->ActiveVoices = voices;
    return s;
  }
  static void Put(ModuleRecord* s, int32_t ch, int32_t v, float level, float frequency) {
    s->Outputs[ch][v] = OutputElement{level, frequency};
  }
  static void Put(ModuleRecord* s, int32_t ch, int32_t v, float level) { Put(s, ch, v, level, level); }

  // A single-voice source for the render path: an oscillator held at
  // frequency 0 publishes its bias.
  static ModuleRecord* Constant(float value) {
    ModuleRecord* osc = Add(kTypeOscillator);
    Set(osc, kOscFrequency, 0.0f);
    Set(osc, kOscBias, value);
    return osc;
  }

  // One kernel call as the render callback makes it, with the voices to
  // compute given and a fixed parity.
  static void Run(ModuleRecord* m, int32_t voicesToCompute = 1, int32_t parity = 0) {
    m->VoicesToCompute = voicesToCompute;
    if (m->TriggerOwner == m) ClearTriggerBuffer(*m, parity);
    m->ProcessFunctions[m->PolyphonyMode & 1](m, 0, parity, parity ^ 1);
    if (m->ActiveVoices < m->PreviousActiveVoices) ClearDroppedVoices(*m, m->PreviousActiveVoices);
    m->PreviousActiveVoices = m->ActiveVoices;
  }
  static float Level(const ModuleRecord* m, int32_t ch = 0, int32_t v = 0) { return m->Outputs[ch][v].Level; }

  // Renders frames and returns the interleaved floats.
  static std::vector<float> Render(int32_t frames) {
    std::vector<float> buffer(2 * static_cast<size_t>(frames), -9.0f);
    float* p = buffer.data();
    RenderAudio(&p, 0, 2 * frames);
    return buffer;
  }

  static const ModuleRecord& T(int32_t type) { return ModuleCatalog[type]; }
  static std::string Name(const ModuleParam& p) { return QUARLE_BASICS::DynZStringGet(p.LongName); }
  static std::string Label(const ModuleParam& p) { return QUARLE_BASICS::DynZStringGet(p.Label); }
};

}  // namespace testing_logic
}  // namespace Tarvelo
