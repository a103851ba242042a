// What the kernel and render tests share: modules made from the catalog and
// linked port to port, sources a test writes by hand, one kernel call as the
// render callback makes it, and frames through the real render callback.
// Each fixture sets the engine up its own way.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "basics/dynzstring.h"
#include "engine/catalog/catalog.h"
#include "engine/command.h"
#include "engine/dsp/contract.h"
#include "engine/globals.h"
#include "engine/modulelist.h"
#include "engine/render.h"

namespace Tarvelo {
namespace testing_engine {

class EngineTest : public ::testing::Test {
 protected:
  static ModuleRecord* Add(int32_t type) {
    ModuleRecord* m = nullptr;
    EXPECT_GE(AddModule(type, true, &m), 0);
    return m;
  }
  static void Link(ModuleRecord* m, int32_t port, ModuleRecord* source) {
    EXPECT_EQ(ModuleLinkInput(*m, port, source, &ModuleCatalog[m->Type]), kLinkConnected);
  }
  static void PerVoice(ModuleRecord* m) {
    m->ModuleSwitches[kSwitchPerVoice].Store(-1);
    m->PolyphonyMode.Store(1);
  }
  // A value in displayed units (hertz for frequencies).
  static void SetShown(ModuleRecord* m, int32_t p, float shown) {
    ModuleSetParamValue(*m, p, shown / m->Params[p].Scale);
  }
  static void Output(ModuleRecord* m) { RequestGraphRebuild(0, 0, m); }

  // A live module whose outputs a test writes by hand. It is its own trigger
  // owner; per voice, its voice ids are 0, 1, 2 ... unless a test sets them.
  static ModuleRecord* Source(int32_t channels = 1, int32_t voices = 1, bool perVoice = false) {
    ModuleRecord* s = Add(kTypeOscillator);
    s->ChannelsProcessed.Store(channels);
    s->ActiveVoices.Store(voices);
    if (perVoice) {
      PerVoice(s);
      s->PerVoiceOutput = -1;
    }
    return s;
  }
  static void Put(ModuleRecord* s, int32_t ch, int32_t v, float level, float frequency) {
    s->Outputs[ch][v] = OutputElement{level, frequency};
  }
  static void Put(ModuleRecord* s, int32_t ch, int32_t v, float level) { Put(s, ch, v, level, level); }

  // One kernel call as the render callback makes it.
  static void Run(ModuleRecord* m, int32_t voicesToCompute = 1, int32_t parity = 0) {
    m->VoicesToCompute = voicesToCompute;
    if (m->TriggerOwner.Load() == m) ClearTriggerBuffer(*m, parity);
    m->ProcessFunctions[m->PolyphonyMode.Load() & 1](m, 0, parity, parity ^ 1);
    if (m->ActiveVoices.Load() < m->PreviousActiveVoices) ClearDroppedVoices(*m, m->PreviousActiveVoices);
    m->PreviousActiveVoices = m->ActiveVoices.Load();
  }
  static float Level(const ModuleRecord* m, int32_t ch = 0, int32_t v = 0) { return m->Outputs[ch][v].Level; }
  static float Freq(const ModuleRecord* m, int32_t ch = 0, int32_t v = 0) { return m->Outputs[ch][v].Frequency; }

  // Renders frames and returns the interleaved floats.
  static std::vector<float> Render(int32_t frames) {
    std::vector<float> buffer(2 * static_cast<size_t>(frames), -9.0f);
    float* p = buffer.data();
    RenderAudio(&p, 0, 2 * frames);
    return buffer;
  }
  static std::vector<float> Left(const std::vector<float>& b) {
    std::vector<float> l;
    for (size_t i = 0; i < b.size(); i += 2) l.push_back(b[i]);
    return l;
  }

  static std::string Name(const ModuleParam& p) { return QUARLE_BASICS::DynZStringGet(p.LongName); }
  static std::string Label(const ModuleParam& p) { return QUARLE_BASICS::DynZStringGet(p.Label); }
};

}  // namespace testing_engine
}  // namespace Tarvelo
