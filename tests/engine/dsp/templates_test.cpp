// Catalog templates of the types whose kernels live here: process functions,
// parameters with their stored defaults and formats, and the flags the
// finishing pass derives from them.
#include <gtest/gtest.h>

#include "engine/catalog/catalog.h"
#include "engine/catalog/engine_init.h"
#include "engine/dsp/adsr.h"
#include "engine/dsp/capture.h"
#include "engine/dsp/keyboards.h"
#include "engine/dsp/oscillators.h"
#include "engine/dsp/randomizer.h"
#include "engine/dsp/sample.h"
#include "engine/dsp/waves.h"
#include "engine/globals.h"
#include "tests/engine/synth_fixture.h"

namespace Tarvelo {
namespace {

class TemplateTest : public testing_synth::SynthTest {};

TEST_F(TemplateTest, ProcessFunctionsAndParameterCounts) {
  EXPECT_EQ(T(0).ProcessFunctions[0], ProcessCapture);
  EXPECT_EQ(T(0).ProcessFunctions[1], ProcessCapture);
  EXPECT_EQ(T(2).ProcessFunctions[0], ProcessOscillatorMono);
  EXPECT_EQ(T(2).ProcessFunctions[1], ProcessOscillatorPoly);
  EXPECT_EQ(T(9).ProcessFunctions[1], ProcessAdsrPoly);
  EXPECT_EQ(T(32).ProcessFunctions[0], ProcessRandomizerMono);
  EXPECT_EQ(WaveShapeTable[0].Function, WaveSine);
  const int32_t counts[][2] = {{0, 0}, {1, 8}, {2, 7}, {3, 1}, {4, 2}, {5, 6}, {9, 9}, {32, 5}, {35, 4}};
  for (const auto& c : counts) EXPECT_EQ(T(c[0]).ParamCount, c[1]) << c[0];
}

TEST_F(TemplateTest, DerivedFlagsAndStoredDefaults) {
  // Flags the finishing pass derives.
  EXPECT_EQ(T(0).RunsWithoutVoices, -1);
  EXPECT_EQ(T(0).VoiceFlagRoot, 1);
  EXPECT_EQ(T(3).RunsWithoutVoices, -1);
  EXPECT_EQ(T(9).KeepsVoices, -1);
  EXPECT_EQ(T(2).RequiredPort, 2);
  EXPECT_EQ(T(2).VoiceMapSourcePort.Load(), 2);
  EXPECT_EQ(T(32).RequiredPort, 0);
  // The seed of a fixed-channel type is exempt from the channel count; the
  // envelope's is not.
  EXPECT_EQ(T(1).Params[6].ChannelCountExempt, -1);
  EXPECT_EQ(T(5).Params[5].ChannelCountExempt, -1);
  EXPECT_EQ(T(9).Params[8].ChannelCountExempt, 0);
  EXPECT_EQ(T(5).WorkBufferElements, 128);
  // Frequencies are stored normalized, and the set value reaches the port
  // value module's output.
  const ModuleRecord& osc = T(2);
  EXPECT_EQ(osc.Params[2].Value.Load(), 55.0f / 12000.0f);
  EXPECT_EQ(osc.Params[2].Scale, 12000.0f);
  EXPECT_FLOAT_EQ(osc.Params[2].RangeHigh.Load(), 1000.0f / 12000.0f);
  EXPECT_EQ(osc.PortValueModules[2]->Outputs[0][0].Level, 55.0f / 12000.0f);
  EXPECT_EQ(T(32).Params[3].Value.Load(), 50.0f / 48000.0f);
  for (int32_t p : {kAdsrAttack, kAdsrDecay, kAdsrRelease}) EXPECT_EQ(T(9).Params[p].Min, 0.0005f) << p;
  EXPECT_EQ(Name(osc.Params[0]), "Bias (Amplitude offset)");
  EXPECT_EQ(Label(T(9).Params[kAdsrRetrigger]), "*");
}

}  // namespace
}  // namespace Tarvelo
