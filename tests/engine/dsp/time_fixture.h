// Set-up shared by the filter, delay, average and dynamics kernel tests:
// modules made from the catalog, fed by hand-driven sources and stepped one
// frame at a time the way the render callback steps them, or rendered through
// the real render callback.
#pragma once
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "../engine_fixture.h"
#include "basics/dynzstring.h"
#include "engine/catalog/catalog.h"
#include "engine/catalog/engine_init.h"
#include "engine/command.h"
#include "engine/dsp/contract.h"
#include "engine/globals.h"
#include "engine/keyboard.h"
#include "engine/modulelist.h"
#include "engine/notes.h"
#include "engine/render.h"
#include "engine/tuning.h"

namespace Tarvelo {
namespace testing_time {

// Module types of the kernels under test.
enum TestType : int32_t {
  kTypeEnvelopeFollower = 14,
  kTypeDelay = 15,
  kTypeEcho = 16,
  kTypeFilter = 22,
  kTypeDistortion = 23,
  kTypeWaveFolder = 28,
  kTypeCompressor = 31,
  kTypeSoftLimiter = 39,
  kTypeMobileAverage = 42,
};

class TimeTest : public testing_engine::EngineTest {
 protected:
  void SetUp() override { ASSERT_EQ(Tarvelo::init(48000.0f), 0); }
  void TearDown() override { Tarvelo::close(); }

  // A set value in displayed units.
  static void Set(ModuleRecord* m, int32_t p, float shown) { SetShown(m, p, shown); }

  // One frame as the render callback runs it for a module m fed by the
  // hand-driven sources: the sources clear their trigger buffers of this
  // parity (they run first), the module learns its voices from the source of
  // its lead port, and dropped positions are cleared after the call.
  void Step(ModuleRecord* m) {
    for (int32_t p = 0; p < m->PortCount; ++p) {
      ModuleRecord* s = m->PortSources[p].Load();
      if (s->Role == kRoleLive && s != m && s->TriggerOwner.Load() == s) ClearTriggerBuffer(*s, parity_);
      m->Params[p].VoiceMapRow = (s->ActiveVoices.Load() == 1 && s->PerVoiceOutput == 0) ? 0 : 1;
    }
    Run(m, m->PortSources[m->VoiceMapSourcePort.Load()].Load()->ActiveVoices.Load(), parity_);
    parity_ ^= 1;
  }
  // Steps n frames and returns what channel ch, position v published.
  std::vector<float> Steps(ModuleRecord* m, int32_t n, int32_t ch = 0, int32_t v = 0) {
    std::vector<float> out;
    for (int32_t i = 0; i < n; ++i) {
      Step(m);
      out.push_back(m->Outputs[ch][v].Level);
    }
    return out;
  }
  int32_t Parity() const { return parity_; }

 private:
  int32_t parity_ = 0;
};

// The real render callback with tunings and notes.
class TimeRenderTest : public TimeTest {
 protected:
  void SetUp() override {
    for (platform::Mutex*& m : MT_TUNINGS) m = platform::MutexCreate();
    FreeTuning(ActiveTuning);
    InitTuning(ActiveTuning);
    TimeTest::SetUp();
    PlaybackActive = 0;
    CaptureActive = 0;
    Render(1);
  }
  void TearDown() override {
    TimeTest::TearDown();
    for (platform::Mutex*& m : MT_TUNINGS) {
      platform::MutexDestroy(m);
      m = nullptr;
    }
  }
};

}  // namespace testing_time
}  // namespace Tarvelo
