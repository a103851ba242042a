#include <gtest/gtest.h>

#include <limits>

#include "engine/globals.h"
#include "engine/midimap.h"
#include "engine/module.h"
#include "engine/modulelist.h"
#include "engine/params.h"

using namespace Tarvelo;

namespace {

struct ParamFixture : ::testing::Test {
  ModuleParam p;
  void SetUp() override { ModuleParamInit(p); }
  void TearDown() override { ModuleParamFree(p); }
};

TEST_F(ParamFixture, StepClamping) {
  p.RangeLow.Store(0.0f);
  p.RangeHigh.Store(127.0f);
  p.Step.Store(0.0f);
  ModuleParamClampStep(p);
  EXPECT_FLOAT_EQ(p.Step.Load(), 1.0f);  // range / 127
  p.Step.Store(1e-9f);
  ModuleParamClampStep(p);
  EXPECT_FLOAT_EQ(p.Step.Load(), 127.0f / 65535.0f);
  p.Step.Store(500.0f);
  ModuleParamClampStep(p);
  EXPECT_FLOAT_EQ(p.Step.Load(), 63.5f);
  p.IntegerFlag = -1;
  p.RangeHigh.Store(10.0f);
  p.Step.Store(0.01f);
  ModuleParamClampStep(p);
  EXPECT_EQ(p.Step.Load(), 1.0f);  // an integer step is at least 1
}

TEST_F(ParamFixture, ParamModes) {
  p.Min = -10.0f;
  p.Max = 100.0f;
  ModuleSetParamMode(p, 2);
  EXPECT_EQ(p.RangeLow.Load(), 0.0f);
  EXPECT_EQ(p.RangeHigh.Load(), 20.0f);
  EXPECT_FLOAT_EQ(p.Step.Load(), 0.02f);

  p.Scale = 12000.0f;
  ModuleSetParamMode(p, 1);
  EXPECT_EQ(p.RangeLow.Load(), 0.0f);
  EXPECT_FLOAT_EQ(p.RangeHigh.Load(), 1000.0f / 12000.0f);
  EXPECT_FLOAT_EQ(p.Step.Load(), 5.0f / 12000.0f);

  p.Scale = 2.0f;
  p.Min = -1.0f;
  p.Max = 126.0f;
  ModuleSetParamMode(p, 0);
  EXPECT_FLOAT_EQ(p.RangeLow.Load(), -0.5f);
  EXPECT_FLOAT_EQ(p.RangeHigh.Load(), 63.0f);
  EXPECT_FLOAT_EQ(p.Step.Load(), 63.5f / 127.0f);
  p.IntegerFlag = -1;
  ModuleSetParamMode(p, 0);
  EXPECT_EQ(p.Step.Load(), 1.0f);
}

TEST_F(ParamFixture, FieldSizeAndCopy) {
  ParamValueSetFieldSize(p.Number, 5, 30);
  EXPECT_EQ(p.Number.FieldWidth, 20);
  EXPECT_EQ(p.Number.TextSize, 30);

  ModuleParam q;
  ModuleParamInit(q);
  q.Number.UnitSign = 1;
  p.Number.UnitSign = 0;
  p.Number.Dirty = 0;
  p.Value.Store(0.25f);
  p.VoiceMapRow = 1;
  p.MidiMapCount.Store(3);
  p.FeedbackPort.Store(-1);
  p.MidiMoved.Store(-1);
  QUARLE_BASICS::DynZStringAssign(p.LongName, "Amplitude");
  platform::Mutex* own = q.Number.Lock;
  ModuleParamCopy(q, p);
  EXPECT_EQ(q.Number.Lock, own);  // keeps its own lock
  EXPECT_NE(q.Number.Lock, p.Number.Lock);
  EXPECT_EQ(q.Number.Dirty, -1);
  EXPECT_EQ(q.Number.UnitSign, 1);
  EXPECT_EQ(q.Value.Load(), 0.25f);
  EXPECT_EQ(q.Number.TextSize, 30);
  EXPECT_EQ(QUARLE_BASICS::DynZStringGet(q.LongName), "Amplitude");
  EXPECT_EQ(q.VoiceMapRow, 0);
  EXPECT_EQ(q.MidiMapCount.Load(), 0);
  EXPECT_EQ(q.FeedbackPort.Load(), 0);
  EXPECT_EQ(q.MidiMoved.Load(), 0);
  ModuleParamFree(q);
}

struct ValueChangeFixture : ::testing::Test {
  ModuleRecord* m = nullptr;
  void SetUp() override {
    m = ModuleRecordNew();
    ASSERT_NE(m, nullptr);
    m->PortValueModules[0] = ModuleRecordNew();
    m->ParamCount = 1;
    m->SelectedParam.Store(0);
    m->ListIndex.Store(0);  // a module of the synth: a queued move reaches only those
    ModuleParam& p = m->Params[0];
    p.Scale = 2.0f;
    p.Min = -4.0f;
    p.Max = 10.0f;
    p.RangeLow.Store(-2.0f);
    p.RangeHigh.Store(5.0f);
    SelectedModule = m;
    ParamEditMode.Store(0);
  }
  void TearDown() override {
    SelectedModule = nullptr;
    ParamEditMode.Store(0);
    ModuleRecordDelete(m);
  }
};

TEST_F(ValueChangeFixture, ValueIsClampedScaledAndApplied) {
  float shown = 30.0f;
  EXPECT_EQ(OnParamValueChange(&shown), -1);  // came back smaller
  EXPECT_EQ(shown, 10.0f);
  EXPECT_EQ(m->Params[0].Value.Load(), 5.0f);
  EXPECT_EQ(m->PortValueModules[0]->Outputs[0][0].Level, 5.0f);
  EXPECT_EQ(m->Changed.Load(), -1);
  shown = 3.0f;
  EXPECT_EQ(OnParamValueChange(&shown), 0);
  EXPECT_EQ(m->Params[0].Value.Load(), 1.5f);
  m->Params[0].IntegerFlag = -1;
  shown = 3.0f;  // 1.5 rounds to 2 -> shown 4
  EXPECT_EQ(OnParamValueChange(&shown), 1);
  EXPECT_EQ(shown, 4.0f);
}

// A value typed while playback runs reaches the module at the next frame,
// not from the interface thread while a frame may be reading it.
TEST_F(ValueChangeFixture, ValueTypedWhilePlayingWaitsForTheRender) {
  m->Params[0].Value.Store(1.0f);
  PlaybackActive = -1;
  float shown = 6.0f;
  EXPECT_EQ(OnParamValueChange(&shown), 0);
  EXPECT_EQ(shown, 6.0f);  // the field shows what will be set
  EXPECT_EQ(m->Params[0].Value.Load(), 1.0f);
  TakeControllerMoves(true);
  PlaybackActive = 0;
  EXPECT_EQ(m->Params[0].Value.Load(), 3.0f);
  EXPECT_EQ(m->PortValueModules[0]->Outputs[0][0].Level, 3.0f);
}

TEST_F(ValueChangeFixture, RangeEdits) {
  ParamEditMode.Store(1);  // range low above range high stores range high
  m->Params[0].RangeHigh.Store(3.0f);
  float shown = 8.0f;
  OnParamValueChange(&shown);
  EXPECT_EQ(m->Params[0].RangeLow.Load(), 3.0f);
  EXPECT_EQ(shown, 6.0f);
  ParamEditMode.Store(2);  // range high below range low stores range low
  m->Params[0].RangeLow.Store(1.0f);
  shown = -4.0f;
  OnParamValueChange(&shown);
  EXPECT_EQ(m->Params[0].RangeHigh.Load(), 1.0f);
  EXPECT_EQ(shown, 2.0f);
  ParamEditMode.Store(3);
  m->Params[0].RangeLow.Store(0.0f);
  m->Params[0].RangeHigh.Store(4.0f);
  shown = 10.0f;  // step 5 is above range / 2
  OnParamValueChange(&shown);
  EXPECT_EQ(m->Params[0].Step.Load(), 2.0f);
  EXPECT_EQ(shown, 4.0f);
}

// The limits a typed number is read against are those the value hook holds
// it to, in each edit mode: a number just past either one comes back as it.
TEST_F(ValueChangeFixture, TheRangeHookGivesTheLimitsTheValueHookHoldsTo) {
  struct Case {
    int32_t mode;
    float low, high;  // shown: value x Scale 2
  };
  const Case cases[] = {
      {0, -4.0f, 10.0f},                  // Min and Max
      {1, -4.0f, 6.0f},                   // range low at most range high 3
      {2, 2.0f, 10.0f},                   // range high at least range low 1
      {3, 2.0f / 65535.0f * 2.0f, 2.0f},  // a step within 1/65535 and 1/2 of the range 0..2
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    ParamEditMode.Store(c.mode);
    const auto setRange = [&] {
      m->Params[0].RangeLow.Store(c.mode == 3 ? 0.0f : 1.0f);
      m->Params[0].RangeHigh.Store(c.mode == 3 ? 2.0f : 3.0f);
    };
    setRange();
    float low = 0.0f, high = 0.0f;
    OnParamValueRange(&low, &high);
    EXPECT_FLOAT_EQ(low, c.low);
    EXPECT_FLOAT_EQ(high, c.high);
    for (float past : {low > 0.0f ? low / 2.0f : low - 1.0f, high + 1.0f}) {
      const float limit = past < low ? low : high;
      setRange();
      OnParamValueChange(&past);
      EXPECT_FLOAT_EQ(past, limit);
    }
  }
  SelectedModule = nullptr;  // nothing selected: nothing limited
  float low = 0.0f, high = 0.0f;
  OnParamValueRange(&low, &high);
  EXPECT_EQ(low, -std::numeric_limits<float>::infinity());
  EXPECT_EQ(high, std::numeric_limits<float>::infinity());
}

}  // namespace
