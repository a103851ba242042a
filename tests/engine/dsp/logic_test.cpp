// Gate and Logic switch kernels, and the catalog templates of the logic and
// arithmetic types.
#include "engine/dsp/logic.h"

#include <cmath>

#include "engine/dsp/arithmetic.h"
#include "engine/dsp/mixer.h"
#include "tests/engine/synth_fixture.h"

namespace Tarvelo {
namespace testing_synth {
namespace {

using LogicTest = SynthTest;

TEST_F(LogicTest, GateShutsAtOrBelowTheThreshold) {
  ModuleRecord* src = Source();
  ModuleRecord* gate = Add(kTypeGate);
  Link(gate, kGateInput, src);
  Set(gate, kGateThreshold, 0.2f);
  auto gated = [&](float x) {
    Put(src, 0, 0, x, -7.0f);
    Run(gate);
    EXPECT_EQ(gate->Outputs[0][0].Frequency, Level(gate));
    return Level(gate);
  };
  EXPECT_EQ(gated(0.5f), 0.5f);
  EXPECT_EQ(gated(0.2f), 0.0f);
  EXPECT_EQ(gated(0.1f), 0.0f);
  EXPECT_EQ(gated(-3.0f), 0.0f);
  // SW1: only equality shuts it.
  gate->ModuleSwitches[kSwitch1].Store(-1);
  EXPECT_EQ(gated(0.1f), 0.1f);
  EXPECT_EQ(gated(0.2f), 0.0f);
  EXPECT_EQ(gated(-3.0f), -3.0f);  // not clipped
  gate->ModuleSwitches[kSwitch1].Store(0);
  // A comparison with a NaN is no equality and no "below".
  Set(gate, kGateThreshold, std::nanf(""));
  EXPECT_EQ(gated(0.5f), 0.5f);
  EXPECT_EQ(gate->ClipFlag.Load(), 0);
}

TEST_F(LogicTest, GateInputIsAlwaysWeightedByItsSetValue) {
  ModuleRecord* src = Source();
  Put(src, 0, 0, 0.8f);
  ModuleRecord* gate = Add(kTypeGate);
  Link(gate, kGateInput, src);
  Set(gate, kGateInput, 0.5f);
  Run(gate);
  EXPECT_FLOAT_EQ(Level(gate), 0.4f);
  // Unlinked, the value module is both the source and the weight.
  ModuleRecord* lone = Add(kTypeGate);
  Set(lone, kGateInput, 0.6f);
  Set(lone, kGateThreshold, 0.3f);
  Run(lone);
  EXPECT_FLOAT_EQ(Level(lone), 0.36f);
  // The threshold is read plain: a linked threshold ignores its set value.
  Link(lone, kGateThreshold, src);
  Set(lone, kGateThreshold, 0.01f);
  Run(lone);
  EXPECT_EQ(Level(lone), 0.0f);
}

TEST_F(LogicTest, LogicSwitchPassesTheChosenElementUnchanged) {
  ModuleRecord* ls = Add(kTypeLogicSwitch);
  ModuleRecord* equal = Source();
  Put(equal, 0, 0, 0.3f, 0.7f);
  Link(ls, kLogicEqual, equal);
  Set(ls, kLogicEqual, 0.1f);  // not applied to what passes
  Set(ls, kLogicBelow, -0.2f);
  Set(ls, kLogicAbove, 0.6f);
  Set(ls, kLogicInput, 0.5f);
  Set(ls, kLogicThreshold, 0.5f);
  ls->VoiceIds[0] = 9;
  Run(ls);
  EXPECT_EQ(ls->ActiveVoices.Load(), 1);
  EXPECT_EQ(ls->VoiceIds[0], 0);
  EXPECT_EQ(Level(ls), 0.3f);
  EXPECT_EQ(ls->Outputs[0][0].Frequency, 0.7f);
  // Unlinked output ports pass their set values.
  Set(ls, kLogicInput, 0.75f);
  Run(ls);
  EXPECT_EQ(Level(ls), 0.6f);
  Set(ls, kLogicInput, 0.25f);
  Run(ls);
  EXPECT_EQ(Level(ls), -0.2f);
  Set(ls, kLogicInput, std::nanf(""));
  Run(ls);
  EXPECT_EQ(Level(ls), -0.2f);

  // In and T are scaled reads: 0.8 weighted by 0.5 equals 0.4.
  ModuleRecord* in = Source();
  Put(in, 0, 0, 0.8f);
  Link(ls, kLogicInput, in);
  Set(ls, kLogicInput, 0.5f);
  Set(ls, kLogicThreshold, 0.4f);
  Run(ls);
  EXPECT_EQ(Level(ls), 0.3f);
  EXPECT_EQ(ls->ClipFlag.Load(), 0);
}

TEST_F(LogicTest, LogicSwitchPerVoicePublishesOnlyPositionsThatPassed) {
  ModuleRecord* in = Source(1, 5);
  const float inputs[5] = {0.1f, 0.9f, 0.2f, 0.8f, 0.3f};
  for (int32_t v = 0; v < 5; ++v) Put(in, 0, v, inputs[v]);
  ModuleRecord* above = Source(1, 5);
  for (int32_t v = 0; v < 5; ++v) Put(above, 0, v, -0.1f * static_cast<float>(v));
  ModuleRecord* silent = Source(1, 0);
  ModuleRecord* ls = Add(kTypeLogicSwitch);
  PerVoice(ls);
  Link(ls, kLogicInput, in);
  Link(ls, kLogicAbove, above);
  Link(ls, kLogicBelow, silent);
  ls->Params[kLogicInput].VoiceMapRow = 1;
  ls->Params[kLogicAbove].VoiceMapRow = 1;
  Set(ls, kLogicThreshold, 0.5f);
  for (int32_t v = 0; v < 5; ++v) ls->Outputs[0][v] = OutputElement{7.0f, 7.0f};
  Run(ls, 5);
  ASSERT_EQ(ls->ActiveVoices.Load(), 2);
  EXPECT_EQ(Level(ls, 0, 0), -0.1f);
  EXPECT_EQ(Level(ls, 0, 1), -0.3f);
  EXPECT_EQ(ls->VoiceIds[0], 1);
  EXPECT_EQ(ls->VoiceIds[1], 3);
  // The last, unpublished position still wrote its {0, 0}.
  EXPECT_EQ(ls->Outputs[0][2].Level, 0.0f);
}

TEST_F(LogicTest, GateAndLogicSwitchRendered) {
  ModuleRecord* c = Constant(0.5f);
  ModuleRecord* gate = Add(kTypeGate);
  Link(gate, kGateInput, c);
  Set(gate, kGateThreshold, 0.2f);
  Output(gate);
  std::vector<float> out = Render(2);
  EXPECT_EQ(out[2], 0.5f);
  Set(gate, kGateThreshold, 0.7f);
  out = Render(1);
  EXPECT_EQ(out[0], 0.0f);

  // The switch runs without voices of its own and passes ">".
  ModuleRecord* ls = Add(kTypeLogicSwitch);
  Link(ls, kLogicInput, c);
  Set(ls, kLogicThreshold, 0.25f);
  Set(ls, kLogicAbove, -0.75f);
  Output(ls);
  out = Render(2);
  EXPECT_EQ(out[2], -0.75f);
  EXPECT_EQ(out[3], -0.75f);
}

}  // namespace
}  // namespace testing_synth
}  // namespace Tarvelo
