// Catalog templates of the types whose kernels live here: process functions,
// parameters with their stored defaults and formats, and the flags the
// finishing pass derives from them.
#include <gtest/gtest.h>

#include <string>

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

namespace Tarvelo {
namespace {

class TemplateTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(Tarvelo::init(48000.0f), 0); }
  void TearDown() override { Tarvelo::close(); }
  static const ModuleRecord& T(int32_t type) { return ModuleCatalog[type]; }
  static std::string Name(const ModuleParam& p) { return QUARLE_BASICS::DynZStringGet(p.LongName); }
  static std::string Label(const ModuleParam& p) { return QUARLE_BASICS::DynZStringGet(p.Label); }
};

TEST_F(TemplateTest, ProcessFunctionsOfTheSoundAndControlTypes) {
  EXPECT_EQ(T(0).ProcessFunctions[0], ProcessCapture);
  EXPECT_EQ(T(0).ProcessFunctions[1], ProcessCapture);
  EXPECT_EQ(T(2).ProcessFunctions[0], ProcessOscillatorMono);
  EXPECT_EQ(T(2).ProcessFunctions[1], ProcessOscillatorPoly);
  EXPECT_EQ(T(35).ProcessFunctions[0], ProcessSineWaveMono);
  EXPECT_EQ(T(35).ProcessFunctions[1], ProcessSineWavePoly);
  EXPECT_EQ(T(3).ProcessFunctions[0], ProcessKeyboardMono);
  EXPECT_EQ(T(3).ProcessFunctions[1], ProcessKeyboardPoly);
  EXPECT_EQ(T(4).ProcessFunctions[0], ProcessOctaveBoardMono);
  EXPECT_EQ(T(4).ProcessFunctions[1], ProcessOctaveBoardPoly);
  EXPECT_EQ(T(9).ProcessFunctions[0], ProcessAdsrMono);
  EXPECT_EQ(T(9).ProcessFunctions[1], ProcessAdsrPoly);
  EXPECT_EQ(T(1).ProcessFunctions[0], ProcessSampleMono);
  EXPECT_EQ(T(1).ProcessFunctions[1], ProcessSamplePoly);
  EXPECT_EQ(T(32).ProcessFunctions[0], ProcessRandomizerMono);
  EXPECT_EQ(T(32).ProcessFunctions[1], ProcessRandomizerPoly);
  EXPECT_EQ(WaveShapeTable[0].Function, WaveSine);
  EXPECT_EQ(QUARLE_BASICS::DynZStringGet(WaveShapeTable[11].Name), "Experimental");
}

TEST_F(TemplateTest, SoundSourceParameters) {
  EXPECT_EQ(T(0).ParamCount, 0);
  EXPECT_EQ(T(0).RunsWithoutVoices, -1);
  EXPECT_EQ(T(0).FollowsPolyphony, 0);
  EXPECT_EQ(T(0).VoiceFlagRoot, 1);
  EXPECT_EQ(T(1).ParamCount, 8);
  EXPECT_EQ(T(2).ParamCount, 7);
  EXPECT_EQ(T(35).ParamCount, 4);
  EXPECT_EQ(T(32).ParamCount, 5);

  const ModuleRecord& osc = T(2);
  const char* labels[7] = {"B", "A", "F", "P", "T", "D", "*"};
  for (int32_t p = 0; p < 7; ++p) EXPECT_EQ(Label(osc.Params[p]), labels[p]) << p;
  EXPECT_EQ(Name(osc.Params[0]), "Bias (Amplitude offset)");
  EXPECT_EQ(Name(osc.Params[3]), "Phase (Time offset)");
  EXPECT_EQ(Name(osc.Params[6]), "Feedback seed");
  EXPECT_FLOAT_EQ(osc.Params[1].Value, 0.25f);
  EXPECT_EQ(osc.Params[2].Value, 55.0f / 12000.0f);
  EXPECT_EQ(osc.Params[2].Scale, 12000.0f);
  EXPECT_EQ(osc.Params[2].Min, -12000.0f);
  EXPECT_EQ(osc.Params[2].OutputSide, 1);
  EXPECT_EQ(osc.Params[4].Value, 1.0f);
  EXPECT_EQ(osc.Params[4].Number.DisplayMode, 1);
  EXPECT_EQ(osc.Params[5].Value, 1.0f);
  EXPECT_EQ(osc.Params[6].Value, 0.5f);
  // dB rows: family 3 shown in unit 1, control mode 2; frequency rows mode 1.
  EXPECT_EQ(osc.Params[1].Number.UnitFamily, 3);
  EXPECT_EQ(osc.Params[1].Number.Unit, 1);
  EXPECT_EQ(osc.Params[1].RangeHigh, 1.0f);
  EXPECT_EQ(osc.Params[2].Number.Unit, 2);
  EXPECT_FLOAT_EQ(osc.Params[2].RangeHigh, 1000.0f / 12000.0f);
  EXPECT_EQ(osc.RequiredPort, 2);
  EXPECT_EQ(osc.VoiceMapSourcePort, 2);
  EXPECT_EQ(osc.ModuleSwitches[kSwitchLoop], -1);
  EXPECT_EQ(osc.ModuleSwitches[kSwitchPlay], -1);
  // The set value reaches the port value module's output.
  EXPECT_EQ(osc.PortValueModules[2]->Outputs[0][0].Level, 55.0f / 12000.0f);

  EXPECT_EQ(T(1).Params[2].Value, 1.0f / 12000.0f);
  EXPECT_FLOAT_EQ(T(1).Params[1].Value, 0.33f);
  EXPECT_EQ(Label(T(1).Params[5]), "In");
  EXPECT_EQ(T(1).Params[6].Max, 600.0f);
  EXPECT_EQ(T(1).Params[6].ChannelCountExempt, -1);
  EXPECT_EQ(T(1).RequiredPort, 2);
  EXPECT_EQ(T(35).Params[2].Value, 55.0f / 12000.0f);
  EXPECT_EQ(T(35).RequiredPort, 2);

  const ModuleRecord& rnd = T(32);
  EXPECT_EQ(Label(rnd.Params[0]), "In");
  EXPECT_EQ(rnd.RequiredPort, 0);
  EXPECT_EQ(rnd.Params[3].Max, 48000.0f);
  EXPECT_EQ(rnd.Params[3].Value, 50.0f / 48000.0f);
  EXPECT_EQ(Name(rnd.Params[3]), "Refresh period (0=hold)");
}

TEST_F(TemplateTest, KeyboardSequencerAndEnvelopeParameters) {
  const ModuleRecord& kb = T(3);
  EXPECT_EQ(kb.ParamCount, 1);
  EXPECT_EQ(Name(kb.Params[0]), "Max keys (polyphonic)");
  EXPECT_EQ(kb.Params[0].Value, 8.0f);
  EXPECT_EQ(kb.Params[0].IntegerFlag, -1);
  EXPECT_EQ(kb.FollowsPolyphony, 0);
  EXPECT_EQ(kb.RunsWithoutVoices, -1);
  EXPECT_EQ(QUARLE_BASICS::DynZStringGet(kb.ShortName), "KB");

  const ModuleRecord& ob = T(4);
  EXPECT_EQ(ob.ParamCount, 2);
  EXPECT_EQ(ob.Params[0].Value, 1.0f);
  EXPECT_EQ(ob.Params[0].Number.Unit, 3);
  EXPECT_EQ(ob.Params[0].Number.SetUnit, 2);
  EXPECT_EQ(ob.Params[0].IntegerFlag, 0);
  EXPECT_EQ(ob.Params[1].Min, 2.0f);
  EXPECT_EQ(QUARLE_BASICS::DynZStringGet(ob.ShortName), "BB");

  const ModuleRecord& seq = T(5);
  EXPECT_EQ(seq.ParamCount, 6);
  EXPECT_EQ(seq.Params[2].Scale, 12000.0f);
  EXPECT_EQ(seq.Params[2].Min, -1200.0f);
  EXPECT_EQ(seq.Params[2].Max, 1200.0f);
  EXPECT_EQ(seq.Params[2].Value, 1.0f / 12000.0f);
  EXPECT_EQ(seq.Params[5].ChannelCountExempt, -1);  // the seed of a fixed-channel type
  EXPECT_EQ(seq.WorkBufferElements, 128);

  const ModuleRecord& env = T(9);
  EXPECT_EQ(env.ParamCount, 9);
  EXPECT_EQ(env.Params[kAdsrSustainLength].Min, 0.0f);
  for (int32_t p : {kAdsrAttack, kAdsrDecay, kAdsrRelease}) EXPECT_EQ(env.Params[p].Min, 0.0005f) << p;
  EXPECT_FLOAT_EQ(env.Params[kAdsrAttack].Value, 0.1f);
  EXPECT_EQ(env.Params[kAdsrRelease].Value, 1.0f);
  EXPECT_EQ(env.Params[kAdsrSustain].Value, 0.5f);
  EXPECT_EQ(Label(env.Params[kAdsrRetrigger]), "*");
  EXPECT_EQ(env.Params[0].NoValueEditor, -1);
  EXPECT_EQ(env.Params[8].ChannelCountExempt, 0);  // not a fixed-channel type
  EXPECT_EQ(env.ModuleSwitches[kSwitchEnvelope], -1);
  EXPECT_EQ(env.KeepsVoices, -1);
  EXPECT_EQ(env.RequiredPort, 0);
}

}  // namespace
}  // namespace Tarvelo
