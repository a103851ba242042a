// The Set buttons of the sample, filter and melody pages and the module
// page's channel link, pressed while a render thread plays the modules they
// change: every value lands, and none is written beside the render (the
// thread-checking build reports any such write as a race).
#include <algorithm>
#include <atomic>
#include <thread>

#include "engine/command.h"
#include "engine/dsp/mixer.h"
#include "engine/midimap.h"
#include "engine/render.h"
#include "panels_b_fixture.h"
#include "ui/panels/filter_panel.h"
#include "ui/panels/melody_panel.h"
#include "ui/panels/module_panel.h"

namespace panelsb {
namespace {

using namespace Tarvelo;

constexpr int32_t kConvolutive = 17;

TEST_F(PanelsBTest, SetButtonsWhilePlayingHandTheirValuesToTheRender) {
  ModuleRecord* sample = Make(kTypeSample);
  ModuleRecord* filter = Make(kConvolutive);
  ModuleRecord* sequencer = Make(kTypeSequencer);
  ModuleRecord* osc = Make(kTypeOscillator);
  ModuleRecord* mixer = Make(kTypeMixer);
  int32_t port = kMixerFirstInput;
  for (ModuleRecord* m : {sample, filter, sequencer, osc}) {
    ModuleLinkInput(*mixer, port++, m, &ModuleCatalog[kTypeMixer]);
    m->SelectedParam.Store(-1);  // no field shows the values set here
  }
  ModuleLinkInput(*filter, filter->RequiredPort, osc, &ModuleCatalog[kConvolutive]);  // filters the oscillator
  RequestGraphRebuild(0, 0, mixer);
  for (ModuleRecord* m : {sample, filter, sequencer, osc}) ASSERT_TRUE(ModuleInOrder(ProcessingOrder.load(), m)) << m->Type;

  WaveLibraryEntry* sound = AddEntry(SynthSamples, "a.wav", 480);
  sound->RateRatio = QUARLE_BASICS::Ratio{1, 1};
  WaveLibraryEntry* taps = AddEntry(FilterLibrary, "FIR.wav", 16);
  WaveLibraryEntry* melody = AddEntry(MelodyLibrary, "tune.mel", 16);
  Field(Slot(kUiWLIST)).Selected = 0;
  Field(Slot(kUiFLIST)).Selected = 0;
  Field(Slot(kUiMLIST)).Selected = 0;
  const int32_t sampleSet = Slot(kUiWLIST) + 3;
  const int32_t filterSet = Slot(kUiFWS_WINDOW) + 4;
  const int32_t melodySet = Slot(kUiMLIST) + 3;
  const int32_t link = Slot(kUiPSCL);
  ASSERT_EQ(Id(sampleSet), "SSET");
  ASSERT_EQ(Id(filterSet), "FSET");
  ASSERT_EQ(Id(melodySet), "MSET");
  osc->Params[0].WriteBothChannels = 0;
  osc->EditChannel = 0;

  PlaybackActive = -1;
  std::atomic<bool> stop{false};
  std::thread render([&] {
    float buffer[128];
    float* stream = buffer;
    while (!stop.load()) RenderAudio(&stream, 0, 128);
  });
  // A pressed button's wave is attached by a command; a frame runs it.
  auto settle = [] {
    while (EngineCommandPending()) std::this_thread::yield();
  };
  float typed = 0.0f;
  for (int32_t round = 1; round <= 12; ++round) {
    sound->Pitch[0] = 100.0f * static_cast<float>(round);
    taps->Pitch[0] = 0.5f + 0.01f * static_cast<float>(round);
    melody->Sound.samples[7] = static_cast<float>(round);
    melody->Sound.samples[4] = 2.0f * static_cast<float>(round);
    melody->Pitch[0] = 3.0f + static_cast<float>(round);
    melody->Duration.Store(4.0f * static_cast<float>(round));
    SelectedModule = sample;
    Click(OnSampleSet, sampleSet);
    settle();
    SelectedModule = filter;
    Click(OnFilterSet, filterSet);
    settle();
    SelectedModule = sequencer;
    Click(OnMelodySet, melodySet);
    settle();
    // A value typed for the left channel, then the channels linked: both
    // carry it; and unlinked again.
    SelectedModule = osc;
    typed = 0.05f * static_cast<float>(round);
    ASSERT_TRUE(SetParamValueOrQueue(*osc, 0, typed));
    osc->SelectedParam.Store(0);
    Click(OnLinkSpatialChannels, link);
    settle();
    if (round < 12) Click(OnLinkSpatialChannels, link);
    osc->SelectedParam.Store(-1);
    settle();
  }
  stop = true;
  render.join();
  PlaybackActive = 0;
  RunPendingEngineCommands();
  TakeControllerMoves(false);

  struct Expected {
    const char* what;
    const ModuleRecord* m;
    int32_t p;
    float value;
  };
  const Expected expected[] = {
      {"sample frequency", sample, 2, 1200.0f / RateQuarter},
      {"filter gain", filter, 3, 0.62f},
      {"melody first", sequencer, 0, 12.0f},
      {"melody pitch", sequencer, 2, 15.0f},
      {"melody second", sequencer, 3, 24.0f},
      {"melody duration", sequencer, 4, 48.0f},
      {"linked left", osc, 0, typed},
  };
  for (const Expected& e : expected) {
    SCOPED_TRACE(e.what);
    EXPECT_FLOAT_EQ(e.m->Params[e.p].Value.Load(), e.value);
    EXPECT_FLOAT_EQ(e.m->PortValueModules[e.p]->Outputs[0][0].Level, e.value);
  }
  EXPECT_EQ(osc->Params[0].WriteBothChannels, -1);
  EXPECT_FLOAT_EQ(osc->PortValueModules[0]->Outputs[1][0].Level, typed);
  EXPECT_EQ(sample->SampleEntry.Load(), sound);
  EXPECT_EQ(filter->SampleEntry.Load(), taps);
  EXPECT_EQ(sequencer->SampleEntry.Load(), melody);
}

// Set on a playing Sequencer whose pass the render ends in a frame before the
// Set takes effect: the stop stands (Set puts back only the playing it
// stopped itself), and the melody and its numbers land all the same.
TEST_F(PanelsBTest, SetOnAPlayingSequencerLeavesAStopTheRenderMadeMeanwhile) {
  ModuleRecord* seq = Make(kTypeSequencer);
  ModuleRecord* mixer = Make(kTypeMixer);
  ModuleLinkInput(*mixer, kMixerFirstInput, seq, &ModuleCatalog[kTypeMixer]);
  seq->SelectedParam.Store(-1);
  // One short note in a 0.01-s melody, played as recorded; Set gives the
  // module the same numbers again.
  WaveLibraryEntry* melody = AddEntry(MelodyLibrary, "tune.mel", 16);
  float* d = melody->Sound.samples;
  std::fill(d, d + 16, 0.0f);
  d[0] = 1.0f;
  d[1] = 1.0f;
  d[2] = 0.001f;
  d[3] = 1.0f;
  d[6] = 0.001f;
  d[7] = 0.02f;
  d[8] = 1.0f;
  melody->Pitch[0] = 1.0f;
  melody->Duration.Store(0.01f);
  AttachWaveToModule(seq, melody, 0);
  const float numbers[][2] = {{0, 0.02f}, {2, 1.0f}, {3, 0.0f}, {4, 0.01f}};
  for (const auto& n : numbers) ModuleSetParamValue(*seq, static_cast<int32_t>(n[0]), n[1]);
  seq->ModuleSwitches[kSwitchLoop].Store(0);
  seq->ModuleSwitches[kSwitchRewind].Store(0);
  seq->ModuleSwitches[kSwitchPlay].Store(-1);
  RequestGraphRebuild(0, 0, mixer);
  ASSERT_TRUE(ModuleInOrder(ProcessingOrder.load(), seq));
  const auto frame = [] {
    float buffer[2];
    float* stream = buffer;
    RenderAudio(&stream, 0, 2);
  };
  const double slotWait = CommandSlotWait, liveWait = ModuleLiveWait;
  CommandSlotWait = ModuleLiveWait = 0.02;
  PlaybackActive = -1;
  // How many frames a pass lasts: the frame after them stops it.
  int32_t pass = 0;
  while (seq->ModuleSwitches[kSwitchPlay].Load() != 0 && pass < 100000) {
    frame();
    ++pass;
  }
  ASSERT_LT(pass, 100000) << "the Sequencer never ended its pass";
  seq->ModuleSwitches[kSwitchPlay].Store(-1);
  for (int32_t f = 0; f < pass - 1; ++f) frame();
  ASSERT_EQ(seq->ModuleSwitches[kSwitchPlay].Load(), -1);

  // A command waits in the mailbox: the frame that takes it ends the pass,
  // before anything Set posts behind it.
  RequestGraphRebuild(0, 0, nullptr);
  std::atomic<bool> stop{false};
  std::thread render([&] {
    while (EngineCommandsQueued() == 0 && !stop.load()) std::this_thread::yield();
    while (!stop.load())
      if (EngineCommandPending())
        frame();
      else
        std::this_thread::yield();
  });
  SelectedModule = seq;
  Field(Slot(kUiMLIST)).Selected = 0;
  Click(OnMelodySet, Slot(kUiMLIST) + 3);
  while (EngineCommandPending()) std::this_thread::yield();
  stop = true;
  render.join();
  EXPECT_EQ(seq->ModuleSwitches[kSwitchPlay].Load(), 0) << "Set restarted what the render stopped";
  EXPECT_EQ(seq->SampleEntry.Load(), melody);
  PlaybackActive = 0;
  TakeControllerMoves(false);
  for (const auto& n : numbers) EXPECT_FLOAT_EQ(seq->Params[static_cast<int32_t>(n[0])].Value.Load(), n[1]);
  CommandSlotWait = slotWait;
  ModuleLiveWait = liveWait;
}

}  // namespace
}  // namespace panelsb
