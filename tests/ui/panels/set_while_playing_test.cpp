// The Set buttons of the sample, filter and melody pages and the module
// page's channel link, Shapes and scale lists, L/R, Global and LOOP, pressed
// while a render thread plays the modules they change: every value lands,
// and none is written beside the render (the thread-checking build reports
// any such write as a race).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "app/state/module_page.h"
#include "engine/command.h"
#include "engine/dsp/melody.h"
#include "engine/dsp/mixer.h"
#include "engine/dsp/oscillators.h"
#include "engine/midimap.h"
#include "engine/render.h"
#include "engine/tuning.h"
#include "panels_b_fixture.h"
#include "ui/panels/filter_panel.h"
#include "ui/panels/melody_panel.h"
#include "ui/panels/module_panel.h"
#include "ui/panels/sysbar.h"
#include "ui/views/tuning_editor.h"

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
  osc->EditChannel.Store(0);

  PlaybackActive = -1;
  PlayingRender render;
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
  render.Stop();
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


// Module-page clicks while the render plays the module they change, and the
// words they share with it: the Shapes list and the scale list (the wave
// shape / scale pattern word a kernel reads every frame or step), the L/R
// selector while a controller's relative moves land, quick Global clicks, a
// take's finish setting a value beside the render's moves, and the LOOP click,
// the selection and the system-bar tick beside a Melody Generator's phrase
// ends. Every click lands whole and the thread-checking build reports no race.
TEST_F(PanelsBTest, ModulePageClicksWhilePlayingLandWhole) {
  ModuleRecord* osc = Make(kTypeOscillator);
  ModuleRecord* mixer = Make(kTypeMixer);
  ModuleRecord* mg = Make(kTypeMelodyGenerator);
  ModuleRecord* root = Make(kTypeOscillator);  // the melody's input; never rendered
  root->ModuleSwitches[kSwitchPower].Store(0);
  ModuleLinkInput(*mixer, kMixerFirstInput, osc, &ModuleCatalog[kTypeMixer]);
  RequestGraphRebuild(0, 0, mixer);
  ASSERT_TRUE(ModuleInOrder(ProcessingOrder.load(), osc));
  ModuleLinkInput(*mg, kMelFrequency, root, &ModuleCatalog[kTypeMelodyGenerator]);
  root->Outputs[0][0] = OutputElement{1.0f, FrequencyNorm * TuningKeyFrequency(EngineTuning, 24)};
  root->ActiveVoices.Store(1);
  for (int32_t i = 1; i < 4; ++i) TuningAddScalePattern(ActiveTuning, uint64_t{0xAD5} << i, "S", 0);
  for (int32_t i = 1; i < 4; ++i) TuningAddScalePattern(EngineTuning, uint64_t{0xAD5} << i, "S", 0);
  ModuleSetParamValue(*mg, kMelTempo, 1.0f);  // a step a frame
  ModuleSetParamValue(*mg, kMelDensity, 1.0f);
  ModuleSetParamValue(*mg, kMelBeats, 1.0f);  // four steps a measure
  ModuleSetParamValue(*mg, kMelMeasures, 1.0f);  // a measure a phrase
  mg->ModuleSwitches[kSwitchLoop].Store(0);      // composes (reading the pattern) until LOOP
  const int32_t slist = Slot(kUiSLIST);
  const int32_t scales = Slot(kUiSCALELIST);
  const int32_t psc = Slot(kUiPSC);
  const int32_t pgv = Slot(kUiPGV);
  const int32_t loop = Slot(kUiPLAY) + 3;
  ASSERT_GT(slist, 0);
  ASSERT_GT(scales, 0);
  C(slist)->Text.VisibleRows = 11;
  C(scales)->Text.VisibleRows = 4;
  C(scales)->Text.FirstVisible = 0;

  // b: left and right start 100 apart; every relative move adds one step to
  // the channel it read.
  constexpr int32_t kMoves = 400;
  constexpr float kRightStart = 100.0f;
  ModuleParam& amplitude = osc->Params[1];
  const auto valueOf = [&](int32_t ch) { return LoadValueOutput(osc->PortValueModules[1]->Outputs[ch][0].Level); };

  constexpr int32_t kClicks = 200;
  int32_t lastRow = 0;
  struct Case {
    const char* what;
    ModuleRecord* selected;
    int32_t param;
    bool melodyKernel;  // the Melody Generator's kernel plays too
    ModuleRecord* moved;  // a controller moves its amplitude meanwhile; null none
    std::function<void(int32_t)> click;
    std::function<void()> check;
  };
  const Case cases[] = {
      {"a: wave shapes", osc, -1, false, nullptr,
       [&](int32_t i) {
         lastRow = (i * 7) % 11;
         C(slist)->Text.Selected = -1;
         ClickRow(OnWaveShapeList, slist, lastRow);
       },
       [&] { EXPECT_EQ(OscillatorShape(*osc), lastRow); }},
      {"a: scale patterns", mg, -1, true, nullptr,
       [&](int32_t i) {
         lastRow = 1 + i % 3;
         C(scales)->Text.Selected = -1;
         ClickRow(OnScaleList, scales, lastRow);
       },
       [&] {
         EXPECT_EQ(MelodyScalePattern(*mg), lastRow);
         EXPECT_NE(MelodyInt(*mg, kMelRootKey), 0) << "the melody never composed";
       }},
      {"b: L/R beside relative moves", osc, 1, false, osc, [&](int32_t i) { Step(OnSpatialChannel, psc, i % 2 ? -1 : 1); },
       [&] {
         const float left = valueOf(0), right = valueOf(1) - kRightStart;
         EXPECT_GE(left, 0.0f);
         EXPECT_GE(right, 0.0f) << "a move read the left value and wrote the right one";
         EXPECT_EQ(left + right, static_cast<float>(kMoves)) << "a move landed on the other channel's value";
       }},
      {"c: Global", osc, 1, false, nullptr, [&](int32_t) { Click(OnGlobalValue, pgv); },
       [&] {
         // An even number of clicks: the port reads its own value again.
         EXPECT_EQ(amplitude.PortLinkState.Load(), kPortUnlinked);
         EXPECT_EQ(On(pgv), 0);
       }},
      // The module is not rendered: only the words a set value shares with
      // the render's moves are at stake.
      {"d: a take's finish sets a value beside the render's moves", root, -1, false, root,
       [&](int32_t i) { ModuleSetParamValue(*root, 2, 0.001f * static_cast<float>(i)); }, [] {}},
      {"f: LOOP, the selection and the tick beside phrase ends", mg, -1, true, nullptr,
       [&](int32_t i) {
         if (i % 3 == 0) Click(OnModuleSwitch, loop);
         if (i % 3 == 1) SelectModule(mg, -1);
         if (i % 3 == 2) OnSysbarTick(0, 1, 0, 0, 0);
       },
       [] {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SelectedModule = c.selected;
    c.selected->SelectedParam.Store(c.param);
    amplitude.WriteBothChannels = 0;
    amplitude.ChannelCountExempt = 0;
    StoreControlRange(amplitude, ControlRange{0.0f, 100000.0f, 1.0f});
    StoreValueOutput(osc->PortValueModules[1]->Outputs[0][0].Level, 0.0f);
    StoreValueOutput(osc->PortValueModules[1]->Outputs[1][0].Level, kRightStart);
    PlaybackActive = -1;
    std::atomic<bool> stop{false};
    std::atomic<bool> composing{false};  // the render's kernel has read the pattern
    std::thread render([&] {
      float buffer[128];
      float* stream = buffer;
      uint64_t frame = 0;
      while (!stop.load()) {
        RenderAudio(&stream, 0, 128);
        if (!c.melodyKernel) continue;
        ProcessMelodyGenerator(mg, ++frame, 0, 1);
        if (MelodyInt(*mg, kMelRootKey) != 0) composing.store(true);
      }
    });
    std::thread controller([&] {
      for (int32_t k = 0; c.moved && k < kMoves; ++k) MoveParameterOrQueue(c.moved, 1, 1.0f, -1);
    });
    // The clicks meet a composing kernel: wait for its first phrase (bounded
    // only against a hang; a busy machine may take a while to start it).
    const auto hang = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (c.melodyKernel && !composing.load() && std::chrono::steady_clock::now() < hang)
      std::this_thread::yield();
    for (int32_t i = 0; i < kClicks; ++i) c.click(i);
    controller.join();
    while (EngineCommandPending() || ControllerMovesPending()) std::this_thread::yield();
    stop = true;
    render.join();
    PlaybackActive = 0;
    c.check();
  }
}

}  // namespace
}  // namespace panelsb
