// The module panel on live modules: switches with their history lines and
// keyboard stops, rewind, page tabs, global value, voice-map source, input
// domain, channel selector and links, the parameter and wave-shape lists and
// the keyboard's MIDI device binding.
#include <cstring>

#include "app/state/history.h"
#include "app/state/module_page.h"
#include "engine/dsp/mixer.h"
#include "engine/midimap.h"
#include "panels_a_fixture.h"
#include "ui/panels/module_panel.h"

namespace panelsa {
namespace {

using namespace Tarvelo;

class ModulePanelTest : public PanelsATest {
 protected:
  void SetUp() override {
    PanelsATest::SetUp();
    ResetModulePanelStatics();
    play_ = Slot(kUiPLAY);
  }
  void TearDown() override {
    for (MidiMap*& map : MidiDeviceMaps) map = nullptr;
    for (MidiMap& map : MidiMaps) {
      map.DeviceName[0] = '\0';
      for (ModuleRecord*& k : map.ChannelKeyboards) k = nullptr;
    }
    PanelsATest::TearDown();
  }
  static std::string LastHistory() {
    return ActionHistory.count ? GetActionLine(ActionHistory.count - 1) : "";
  }
  int32_t play_ = 0;
};

TEST_F(ModulePanelTest, PolyphonyOnlyWhenTheTypeLeavesTheChoice) {
  ModuleRecord* m = Make(kTypeOscillator);
  SelectedModule = m;
  const int32_t poly = Slot(kUiPOLY);
  m->PolyphonyCapability = 1;
  const int64_t word = m->ModuleSwitches[kSwitchPerVoice].Load();
  Click(OnModuleSwitch, poly);
  EXPECT_EQ(m->ModuleSwitches[kSwitchPerVoice].Load(), word);
  EXPECT_EQ(On(poly), word);
  EXPECT_EQ(ActionHistory.count, 0);
  m->PolyphonyCapability = 2;
  m->ModuleSwitches[kSwitchPerVoice].Store(0);
  Click(OnModuleSwitch, poly);
  EXPECT_EQ(m->ModuleSwitches[kSwitchPerVoice].Load(), -1);
  EXPECT_EQ(m->PolyphonyMode.Load(), 1);
  EXPECT_EQ(On(poly), -1);
  EXPECT_NE(LastHistory().find("Toggle polyphony mode of"), std::string::npos);
}

TEST_F(ModulePanelTest, PlayWithAutorewindClearsPhasesOnlyWhenStarting) {
  ModuleRecord* m = Make(kTypeOscillator);
  SelectedModule = m;
  m->ModuleSwitches[kSwitchRewind].Store(-1);
  m->ModuleSwitches[kSwitchPlay].Store(0);
  m->VoiceState[1][3] = 0.5f;
  Click(OnModuleSwitch, play_);
  EXPECT_EQ(m->VoiceState[1][3], 0.0f);
  EXPECT_EQ(On(play_), -1);
  m->VoiceState[1][3] = 0.5f;
  Click(OnModuleSwitch, play_);
  EXPECT_EQ(m->VoiceState[1][3], 0.5f);
  EXPECT_EQ(On(play_), 0);
  EXPECT_NE(LastHistory().find("Toggle play state of"), std::string::npos);
}

TEST_F(ModulePanelTest, PowerOffStopsAKeyboardsNotes) {
  ModuleRecord* kb = Make(kTypeKeyboard);
  SelectedModule = kb;
  KeyboardState* s = KeyboardStates[kb->InstanceNumber.Load() - 1].Load();
  s->Pending.Store(0);
  const int32_t mfp = Slot(kUiMFP);
  kb->ModuleSwitches[kSwitchPower].Store(-1);
  Click(OnModuleSwitch, mfp);
  EXPECT_EQ(s->Pending.Load(), kPendingReset);
  EXPECT_NE(LastHistory().find("Toggle power of"), std::string::npos);
  s->Pending.Store(0);
  Click(OnModuleSwitch, mfp);
  EXPECT_EQ(s->Pending.Load(), 0);
  EXPECT_EQ(On(mfp), -1);
}

TEST_F(ModulePanelTest, RewindTheTypeFromItsMasterOrStopAKeyboard) {
  ModuleRecord* a = Make(kTypeOscillator);
  ModuleRecord* b = Make(kTypeOscillator);
  ModuleRecord* other = Make(kTypeSequencer);
  for (ModuleRecord* m : {a, b, other}) {
    m->VoiceState[0][0] = 1.0f;
    m->SequencerWord = 7;
    m->VoicePlaying[5] = 0;
  }
  const int32_t rwd = Named("RWD");
  SelectedModule = &ModuleCatalog[kTypeOscillator];
  Click(OnRewindClocks, rwd);
  for (ModuleRecord* m : {a, b}) {
    EXPECT_EQ(m->VoiceState[0][0], 0.0f);
    EXPECT_EQ(m->SequencerWord, 0);
    EXPECT_EQ(m->VoicePlaying[5], -1);
    EXPECT_EQ(m->MelodyRestart, -1);
  }
  EXPECT_EQ(other->SequencerWord, 7);
  ModuleRecord* kb = Make(kTypeKeyboard);
  SelectedModule = kb;
  KeyboardStates[kb->InstanceNumber.Load() - 1].Load()->Pending.Store(0);
  Click(OnRewindClocks, rwd);
  EXPECT_EQ(KeyboardStates[kb->InstanceNumber.Load() - 1].Load()->Pending.Load(), kPendingReset);
}

// While the render plays, a rewind (of a module, or from the master of every
// module of its type) and a Play turned on with autorewind are the render's to
// take: nothing of them lands before its next frame boundary, and all of them
// (every voice, every module of the type) lands at that one. This test is the
// render: its frame boundary is ExecuteEngineCommand.
TEST_F(ModulePanelTest, WhilePlayingARewindOrAPlayWithAutorewindLandsWholeAtTheNextFrame) {
  ModuleRecord* a = Make(kTypeOscillator);
  ModuleRecord* b = Make(kTypeOscillator);
  ModuleRecord* apart = Make(kTypeOscillator);  // linked nowhere
  ModuleRecord* mixer = Make(kTypeMixer);
  ModuleLinkInput(*mixer, kMixerFirstInput, a, &ModuleCatalog[kTypeMixer]);
  ModuleLinkInput(*mixer, kMixerFirstInput + 1, b, &ModuleCatalog[kTypeMixer]);
  RequestGraphRebuild(0, 0, mixer);
  ResetEngineCommand(EngineCommand);  // nothing left for the first frame
  const double slotWait = CommandSlotWait, liveWait = ModuleLiveWait;
  CommandSlotWait = ModuleLiveWait = 0.02;
  PlaybackActive = -1;
  const int32_t rwd = Named("RWD");
  const auto all = [](const ModuleRecord* m, float v) {
    for (const auto& row : m->VoiceState)
      for (const float x : row)
        if (x != v) return false;
    return true;
  };
  const struct {
    const char* what;
    ModuleRecord* selected;
    int32_t control;
    std::vector<ModuleRecord*> reached;
    bool play;
  } cases[] = {
      {"rewind one", a, rwd, {a}, false},
      {"rewind the type from its master", &ModuleCatalog[kTypeOscillator], rwd, {a, b, apart}, false},
      {"play with autorewind", b, play_, {b}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (ModuleRecord* m : {a, b, apart}) {
      for (auto& row : m->VoiceState)
        for (float& x : row) x = 1.0f;
      m->SequencerWord = 7;
      m->MelodyRestart = 0;
      for (int64_t& run : m->VoicePlaying) run = 0;
      m->ModuleSwitches[kSwitchRewind].Store(-1);
      m->ModuleSwitches[kSwitchPlay].Store(c.play ? 0 : -1);
    }
    SelectedModule = c.selected;
    Click(c.play ? OnModuleSwitch : OnRewindClocks, c.control);
    for (const ModuleRecord* m : c.reached) {
      EXPECT_TRUE(all(m, 1.0f)) << "a voice reset before the frame boundary";
      EXPECT_EQ(m->ModuleSwitches[kSwitchPlay].Load(), c.play ? 0 : -1);
      EXPECT_EQ(m->SequencerWord, 7);
      EXPECT_EQ(m->VoicePlaying[31], 0);
    }
    ExecuteEngineCommand();
    EXPECT_FALSE(EngineCommandPending());
    for (const ModuleRecord* m : c.reached) {
      EXPECT_TRUE(all(m, 0.0f)) << "a voice left out at the frame boundary";
      EXPECT_EQ(m->ModuleSwitches[kSwitchPlay].Load(), -1);
      if (c.play) continue;
      EXPECT_EQ(m->SequencerWord, 0);
      EXPECT_EQ(m->MelodyRestart, -1);
      for (const int64_t run : m->VoicePlaying) EXPECT_EQ(run, -1);
    }
  }
  // With playback off the click acts at once.
  PlaybackActive = 0;
  a->SequencerWord = 7;
  SelectedModule = a;
  Click(OnRewindClocks, rwd);
  EXPECT_EQ(a->SequencerWord, 0);
  CommandSlotWait = slotWait;
  ModuleLiveWait = liveWait;
}

// PLAY clicked again before the render took the previous click: each click
// toggles from what the one before asked, so two clicks leave Play as it was
// and three toggle it, whether it was on or off.
TEST_F(ModulePanelTest, PlayClicksBeforeTheRenderTookThemEachToggle) {
  ModuleRecord* m = Make(kTypeOscillator);
  RequestGraphRebuild(0, 0, m);
  ResetEngineCommand(EngineCommand);
  const double slotWait = CommandSlotWait, liveWait = ModuleLiveWait;
  CommandSlotWait = ModuleLiveWait = 0.02;
  PlaybackActive = -1;
  SelectedModule = m;
  for (const int64_t was : {int64_t{0}, int64_t{-1}}) {
    for (const int32_t clicks : {1, 2, 3, 4}) {
      SCOPED_TRACE(std::to_string(clicks) + " clicks, Play was " + std::to_string(was));
      m->ModuleSwitches[kSwitchPlay].Store(was);
      for (int32_t i = 0; i < clicks; ++i) Click(OnModuleSwitch, play_);
      const int64_t asked = clicks % 2 != 0 ? ~was : was;
      EXPECT_EQ(On(play_), asked);
      while (EngineCommandPending()) ExecuteEngineCommand();
      EXPECT_EQ(m->ModuleSwitches[kSwitchPlay].Load(), asked);
    }
  }
  PlaybackActive = 0;
  CommandSlotWait = slotWait;
  ModuleLiveWait = liveWait;
}

TEST_F(ModulePanelTest, TabsShowOnePage) {
  ModuleRecord* m = Make(kTypeOscillator);
  SelectedModule = m;
  const int32_t tab0 = Slot(kUiMODTAB0);
  Press(OnModuleTab, tab0 + 2);
  EXPECT_EQ(Shown(Slot(kUiSAMPLE)), -1);
  EXPECT_EQ(Shown(Slot(kUiPARAM)), 0);
  EXPECT_EQ(On(tab0 + 2), -1);
  EXPECT_EQ(On(tab0), 0);
  EXPECT_EQ(m->PageWord, 2);
  Click(OnModuleTab, tab0 + 5);  // tabs act on the press
  EXPECT_EQ(Shown(Slot(kUiDEVICES)), 0);
}

TEST_F(ModulePanelTest, GlobalValueReadsTheMastersValueModule) {
  ModuleRecord* m = Make(kTypeOscillator);
  SelectedModule = m;
  m->SelectedParam.Store(0);
  const int32_t pgv = Slot(kUiPGV);
  Click(OnGlobalValue, pgv);
  EXPECT_EQ(m->Params[0].Global.Load(), -1);
  EXPECT_EQ(m->Params[0].PortLinkState.Load(), kPortGlobal);
  EXPECT_EQ(On(pgv), -1);
  Click(OnGlobalValue, pgv);
  EXPECT_EQ(m->Params[0].PortLinkState.Load(), kPortUnlinked);
  EXPECT_EQ(ActionHistory.count, 2);
}

TEST_F(ModulePanelTest, VoiceMapSourceOnPortsOnly) {
  ModuleRecord* m = Make(kTypeOscillator);
  SelectedModule = m;
  const int32_t pvm = Slot(kUiPVM);
  ASSERT_GT(m->ParamCount, m->PortCount);
  m->SelectedParam.Store(m->PortCount);  // a setting
  SetOnWord(pvm, -1);
  Click(OnVoiceMapSource, pvm);
  EXPECT_EQ(On(pvm), 0);
  EXPECT_EQ(ActionHistory.count, 0);
  m->SelectedParam.Store(1);
  Click(OnVoiceMapSource, pvm);
  EXPECT_EQ(m->VoiceMapSourcePort.Load(), 1);
  EXPECT_EQ(m->ChosenSourcePort, 1);
  EXPECT_EQ(On(pvm), -1);
  Click(OnVoiceMapSource, pvm);  // again: back to the default
  EXPECT_EQ(m->ChosenSourcePort, -1);
  EXPECT_EQ(On(pvm), 0);
}

TEST_F(ModulePanelTest, InputDomainTogglesAroundTheDefaultSide) {
  ModuleRecord* m = Make(kTypeOscillator);
  SelectedModule = m;
  const int32_t pdom = Slot(kUiPDOM);
  m->SelectedParam.Store(-1);
  Click(OnInputDomain, pdom);
  EXPECT_EQ(C(pdom)->Colour, kNoDomainColour);
  EXPECT_EQ(Text(pdom), " ");
  m->SelectedParam.Store(0);
  m->Params[0].DefaultOutputSide = 2;
  m->Params[0].SideSwap = 0;
  Click(OnInputDomain, pdom);
  EXPECT_EQ(m->Params[0].OutputSide.Load(), 1);
  EXPECT_EQ(Text(pdom), "E");
  EXPECT_EQ(C(pdom)->Colour, kDomainColours[1]);
  Click(OnInputDomain, pdom);
  EXPECT_EQ(m->Params[0].OutputSide.Load(), 2);
}

TEST_F(ModulePanelTest, ChannelSelectorAndLinks) {
  ModuleRecord* m = Make(kTypeOscillator);
  SelectedModule = m;
  const int32_t psc = Slot(kUiPSC);
  m->SelectedParam.Store(0);
  m->Params[0].ChannelCountExempt = -1;
  Step(OnSpatialChannel, psc, +1);
  EXPECT_EQ(C(psc)->Text.Selected, 0);
  EXPECT_EQ(Text(psc), "L");
  EXPECT_EQ(m->EditChannel.Load(), 0);
  m->Params[0].ChannelCountExempt = 0;
  Step(OnSpatialChannel, psc, +1);
  EXPECT_EQ(m->EditChannel.Load(), 1);
  EXPECT_EQ(Text(psc), "R");

  // The parameter's own link: one value module channel when linked.
  const int32_t pscl = Slot(kUiPSCL);
  m->Params[0].WriteBothChannels = 0;
  m->PortValueModules[0]->ChannelsProcessed.Store(2);
  m->PortValueModules[0]->Outputs[1][0].Level = 0.25f;
  Click(OnLinkSpatialChannels, pscl);
  EXPECT_EQ(m->Params[0].WriteBothChannels, -1);
  EXPECT_EQ(m->PortValueModules[0]->ChannelsProcessed.Load(), 1);
  EXPECT_FLOAT_EQ(m->Params[0].Value.Load(), 0.25f);
  EXPECT_EQ(On(pscl), -1);

  // The Capture module switches its output between one and two channels.
  ModuleRecord* cap = Make(kTypeCapture);
  SelectedModule = cap;
  cap->SelectedParam.Store(-1);
  cap->ChannelsFixed = 0;
  cap->ChannelsProcessed.Store(2);
  cap->OutputChannels.Store(2);
  Click(OnLinkSpatialChannels, pscl);
  EXPECT_EQ(cap->OutputChannels.Load(), 1);
  EXPECT_EQ(cap->ChannelsProcessed.Load(), 1);
  EXPECT_EQ(On(pscl), -1);
}

// A move lands on the channel the page edited when the move was made, also
// when the L/R selector flips before the render takes it: a relative move
// reads and writes that one channel, a value set writes it.
TEST_F(ModulePanelTest, AMoveLandsOnTheChannelItWasMadeFor) {
  ModuleRecord* m = Make(kTypeOscillator);
  SelectedModule = m;
  const int32_t psc = Slot(kUiPSC);
  constexpr int32_t p = 1;
  m->SelectedParam.Store(p);
  m->Params[p].ChannelCountExempt = 0;
  m->Params[p].WriteBothChannels = 0;
  StoreControlRange(m->Params[p], ControlRange{0.0f, 1000.0f, 1.0f});
  ModuleRecord* value = m->PortValueModules[p];
  const struct {
    const char* what;
    int32_t made;  // the channel edited when the move is made
    bool relative;
    float left, right;  // after the move
  } cases[] = {
      {"relative, made on the left", 0, true, 11.0f, 100.0f},
      {"relative, made on the right", 1, true, 10.0f, 101.0f},
      {"a value set on the left", 0, false, 0.5f, 100.0f},
      {"a value set on the right", 1, false, 10.0f, 0.5f},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    value->Outputs[0][0] = OutputElement{10.0f, 10.0f};
    value->Outputs[1][0] = OutputElement{100.0f, 100.0f};
    if (m->EditChannel.Load() != c.made) Step(OnSpatialChannel, psc, c.made == 1 ? +1 : -1);
    ASSERT_EQ(m->EditChannel.Load(), c.made);
    PlaybackActive = -1;
    if (c.relative)
      MoveParameterOrQueue(m, p, 1.0f, -1);
    else
      SetParamValueOrQueue(*m, p, 0.5f);
    Step(OnSpatialChannel, psc, c.made == 1 ? -1 : +1);  // flipped before the render takes it
    ASSERT_NE(m->EditChannel.Load(), c.made);
    PlaybackActive = 0;
    TakeControllerMoves(false);
    EXPECT_FLOAT_EQ(value->Outputs[0][0].Level, c.left);
    EXPECT_FLOAT_EQ(value->Outputs[1][0].Level, c.right);
  }
}

TEST_F(ModulePanelTest, ParameterListClickSelectsAndReclickClears) {
  ModuleRecord* m = Make(kTypeOscillator);
  SelectModule(m, -1);
  const int32_t plist = Slot(kUiPLIST);
  ASSERT_GT(PortListCount.load(), 1);
  ClickRow(OnParameterList, plist, 1);
  EXPECT_EQ(m->SelectedParam.Load(), 1);
  EXPECT_EQ(C(plist)->Text.Selected, 1);
  ClickRow(OnParameterList, plist, 1);
  EXPECT_EQ(m->SelectedParam.Load(), -1);
  EXPECT_EQ(C(plist)->Text.Selected, -1);
}

TEST_F(ModulePanelTest, WaveShapesAlwaysKeepOneShapeChosen) {
  ModuleRecord* m = Make(kTypeOscillator);
  SelectedModule = m;
  const int32_t slist = Slot(kUiSLIST);
  C(slist)->Text.VisibleRows = 11;
  ClickRow(OnWaveShapeList, slist, 3);
  EXPECT_EQ(m->MidiDeviceBinding.Load(), 3);
  EXPECT_EQ(C(Slot(kUiPGRAPH))->Text.Selected, 3);
  ClickRow(OnWaveShapeList, slist, 3);  // clears the selection: shape 0
  EXPECT_EQ(C(slist)->Text.Selected, 0);
  EXPECT_EQ(m->MidiDeviceBinding.Load(), 0);
  // Row 11 ("Experimental") is not offered.
  C(slist)->Text.Selected = 0;
  C(slist)->Text.VisibleRows = 12;
  ClickRow(OnWaveShapeList, slist, 11);
  EXPECT_EQ(C(slist)->Text.Selected, 0);
}

TEST_F(ModulePanelTest, KeyboardDeviceBindingAndChannels) {
  MidiDeviceMaps[2] = &MidiMaps[2];
  std::strcpy(MidiMaps[2].DeviceName, "Keys");
  MidiDeviceMaps[3] = &MidiMaps[3];
  ModuleRecord* a = Make(kTypeKeyboard);
  ModuleRecord* b = Make(kTypeKeyboard);
  const int32_t devs = Slot(kUiKBDEVS);
  C(devs)->Text.VisibleRows = 17;
  SelectedModule = a;
  ClickRow(OnKeyboardDeviceList, devs, 3);  // slot 2
  EXPECT_EQ(a->MidiDeviceBinding.Load(), 3);
  EXPECT_EQ(MidiMaps[2].ChannelKeyboards[0], a);
  EXPECT_EQ(MidiMaps[2].ChannelKeyboards[15], a);
  // A second keyboard on the same device takes it over.
  SelectedModule = b;
  C(devs)->Text.Selected = 0;  // the module page shows b's own device
  ClickRow(OnKeyboardDeviceList, devs, 3);
  EXPECT_EQ(b->MidiDeviceBinding.Load(), 3);
  EXPECT_EQ(a->MidiDeviceBinding.Load(), 0);
  EXPECT_EQ(MidiMaps[2].ChannelKeyboards[7], b);
  // Its row again clears the selection: unbound, row 0 shows.
  ClickRow(OnKeyboardDeviceList, devs, 3);
  EXPECT_EQ(b->MidiDeviceBinding.Load(), 0);
  EXPECT_EQ(C(devs)->Text.Selected, 0);
  EXPECT_EQ(MidiMaps[2].ChannelKeyboards[7], nullptr);
  // Channel 9 and then 10: the caption keeps its length.
  ClickRow(OnKeyboardDeviceList, devs, 3);
  const int32_t kbch = Slot(kUiKBCH);
  C(kbch)->Text.Selected = 8;
  Step(OnKeyboardChannel, kbch, +1);
  const std::string nine = Text(kbch);
  EXPECT_EQ(nine.substr(nine.size() - 2), "9 ");
  EXPECT_EQ(b->MidiChannelFilter.Load(), 9);
  EXPECT_EQ(MidiMaps[2].ChannelKeyboards[8], b);
  EXPECT_EQ(MidiMaps[2].ChannelKeyboards[0], nullptr);
  Step(OnKeyboardChannel, kbch, +1);
  EXPECT_EQ(Text(kbch).size(), nine.size());
  EXPECT_EQ(Text(kbch).substr(nine.size() - 2), "10");
  EXPECT_EQ(MidiMaps[2].ChannelKeyboards[9], b);
  EXPECT_EQ(MidiMaps[2].ChannelKeyboards[8], nullptr);
}

}  // namespace
}  // namespace panelsa
