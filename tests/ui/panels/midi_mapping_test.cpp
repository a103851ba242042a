// MIDI mapping: learn buttons, range buttons, the map page's lists and its
// channel and controller-type selectors.
#include <cstring>

#include "engine/midimap_hooks.h"
#include "panels_b_fixture.h"

namespace panelsb {
namespace {

using namespace Tarvelo;

class MidiMappingTest : public PanelsBTest {
 protected:
  void SetUp() override {
    PanelsBTest::SetUp();
    learn_[0] = Slot(kUiMIDI0);
    learn_[1] = Slot(kUiMIDI1);
    learn_[2] = Slot(kUiMIDI2);
    devices_ = Slot(kUiMIDIDEVS);
    controls_ = devices_ + 1;
    ASSERT_EQ(Id(controls_), "MIDICC");
    channel_ = Slot(kUiMIDICCCH);
    type_ = Slot(kUiMIDICCCT);
    for (MidiMap& m : MidiMaps) m.DeviceName[0] = '\0';
  }
  void TearDown() override {
    QUARLE_AUDIO::MidiDeviceCount = 0;
    PanelsBTest::TearDown();
  }
  int32_t learn_[3] = {0, 0, 0};
  int32_t devices_ = 0, controls_ = 0, channel_ = 0, type_ = 0;
};

TEST_F(MidiMappingTest, LearnButtonsWithoutADeviceOnlySaySo) {
  const V::EventCallbackFn fns[3] = {OnMidiMapAny, OnMidiMapParameter, OnMidiMapModuleParameter};
  for (int i = 0; i < 3; ++i) {
    SetStatusText("");
    Press(fns[i], learn_[i]);
    EXPECT_EQ(C(learn_[i])->State.Pressed, 0);
    EXPECT_EQ(Text(Slot(kUiMB)), "");
    Click(fns[i], learn_[i]);
    EXPECT_EQ(Text(Slot(kUiMB)), "No MIDI device connected.");
    EXPECT_EQ(MidiLearnArmed.load(), 0);
    EXPECT_EQ(On(learn_[i]), 0);
  }
}

TEST_F(MidiMappingTest, LearnButtonsArmOneKindAtATime) {
  QUARLE_AUDIO::MidiDeviceCount = 1;
  Click(OnMidiMapAny, learn_[0]);
  EXPECT_EQ(MidiLearnArmed.load(), kMidiLearnAny);
  EXPECT_EQ(On(learn_[0]), -1);
  Click(OnMidiMapParameter, learn_[1]);
  EXPECT_EQ(MidiLearnArmed.load(), kMidiLearnParameter);
  EXPECT_EQ(On(learn_[0]), 0);
  EXPECT_EQ(On(learn_[1]), -1);
  EXPECT_EQ(On(learn_[2]), 0);
  Click(OnMidiMapModuleParameter, learn_[2]);
  EXPECT_EQ(MidiLearnArmed.load(), kMidiLearnModuleParameter);
  EXPECT_EQ(On(learn_[1]), 0);
  EXPECT_EQ(On(learn_[2]), -1);
  Click(OnMidiMapModuleParameter, learn_[2]);
  EXPECT_EQ(MidiLearnArmed.load(), 0);
  EXPECT_EQ(On(learn_[2]), 0);
  Press(OnMidiMapAny, learn_[0]);
  EXPECT_EQ(C(learn_[0])->State.Pressed, -1);
  EXPECT_EQ(MidiLearnArmed.load(), 0);
}

TEST_F(MidiMappingTest, RangeButtonsChooseTheEditedNumberOfASelectedParameter) {
  const int32_t mmin = Slot(kUiMMIN), mmax = Slot(kUiMMAX), mres = Slot(kUiMRES);
  ASSERT_EQ(mmax, mmin + 1);
  ASSERT_EQ(mres, mmin + 2);
  // Without a module (or a parameter) the clicks are ignored.
  Click(OnMidiMapMin, mmin);
  EXPECT_EQ(ParamEditMode, 0);
  ModuleRecord* m = Make(kTypeOscillator);
  SelectedModule = m;
  m->SelectedParam = -1;
  Click(OnMidiMapMin, mmin);
  EXPECT_EQ(ParamEditMode, 0);

  m->SelectedParam = 1;
  Click(OnMidiMapMin, mmin);
  EXPECT_EQ(ParamEditMode, 1);
  EXPECT_EQ(On(mmin), -1);
  Click(OnMidiMapMax, mmax);
  EXPECT_EQ(ParamEditMode, 2);
  EXPECT_EQ(On(mmin), 0);
  EXPECT_EQ(On(mmax), -1);
  Click(OnMidiMapResolution, mres);
  EXPECT_EQ(ParamEditMode, 3);
  EXPECT_EQ(On(mmax), 0);
  EXPECT_EQ(On(mres), -1);
  Click(OnMidiMapMin, mmin);
  Click(OnMidiMapMin, mmin);
  EXPECT_EQ(ParamEditMode, 0);
  EXPECT_EQ(On(mmin), 0);
  EXPECT_EQ(On(mres), 0);
}

TEST_F(MidiMappingTest, DeviceRowsEnterOnlyAMapWithADevice) {
  C(devices_)->Visible = -1;
  C(controls_)->Visible = 0;
  ClickRow(OnMidiDeviceMapList, devices_, 2);  // an empty slot
  EXPECT_EQ(Field(devices_).Selected, -1);
  EXPECT_EQ(Shown(controls_), 0);
  EXPECT_EQ(Shown(devices_), -1);

  std::strcpy(MidiMaps[3].DeviceName, "  ");  // spaces only: no device either
  ClickRow(OnMidiDeviceMapList, devices_, 3);
  EXPECT_EQ(Shown(controls_), 0);

  std::strcpy(MidiMaps[4].DeviceName, "Keys");
  Field(controls_).Selected = 9;
  ClickRow(OnMidiDeviceMapList, devices_, 4);
  EXPECT_EQ(SelectedMidiMap, 4);
  EXPECT_EQ(Field(devices_).Selected, -1);
  EXPECT_EQ(Field(controls_).Selected, -1);
  EXPECT_EQ(Shown(controls_), -1);
  EXPECT_EQ(Shown(devices_), 0);
  EXPECT_EQ(Disabled(channel_), 0);
  EXPECT_EQ(Disabled(type_), -1);
}

TEST_F(MidiMappingTest, ControlRowsShowAndSetTheControllerTypeOnTheChosenChannel) {
  SelectedMidiMap = 4;
  SelectedMidiChannel = 0;
  MidiMaps[4].Entries[2][0].Kind = kControllerButton;
  C(controls_)->Visible = -1;
  ClickRow(OnMidiControlList, controls_, 3);  // controller 2
  EXPECT_EQ(Field(controls_).Selected, 3);
  EXPECT_EQ(Disabled(type_), 0);
  EXPECT_EQ(Field(type_).Selected, kControllerButton);
  EXPECT_EQ(Text(type_), QUARLE_AUDIO::MidiControllerTypeNames[kControllerButton]);

  Step(OnMidiControllerType, type_, +1);
  EXPECT_EQ(MidiMaps[4].Entries[2][0].Kind, kControllerPad);
  EXPECT_EQ(Text(type_), "Pressure Pad");
  Field(type_).Selected = 5;
  Step(OnMidiControllerType, type_, +1);  // wraps to auto-detect
  EXPECT_EQ(MidiMaps[4].Entries[2][0].Kind, kControllerAuto);

  // Channel 15 steps on to 0; the list is redrawn, the type waits for a click.
  Field(channel_).Selected = 15;
  C(controls_)->Render->Text.Changed = 0;
  Step(OnMidiControlChannel, channel_, +1);
  EXPECT_EQ(Text(channel_), "Ch. 0");
  EXPECT_EQ(SelectedMidiChannel, 0);
  Step(OnMidiControlChannel, channel_, +1);
  EXPECT_EQ(Text(channel_), "Ch. 1");
  EXPECT_EQ(SelectedMidiChannel, 1);
  EXPECT_EQ(C(controls_)->Render->Text.Changed, -1);  // published for a redraw
  Step(OnMidiControllerType, type_, +1);
  EXPECT_EQ(MidiMaps[4].Entries[2][1].Kind, kControllerStandard);
  EXPECT_EQ(MidiMaps[4].Entries[2][0].Kind, kControllerAuto);

  // The detection's refresh request: the selector follows the map.
  MidiMaps[4].Entries[2][1].Kind = kControllerEndless64;
  Send(OnMidiControlList, 0, 0, 0, controls_, -1);
  EXPECT_EQ(Field(type_).Selected, kControllerEndless64);
  EXPECT_EQ(Field(controls_).Selected, 3);

  // Deselecting leaves the type selector disabled; row 0 leads back.
  ClickRow(OnMidiControlList, controls_, 3);
  EXPECT_EQ(Disabled(type_), -1);
  MidiMaps[4].Entries[2][1].Kind = kControllerButton;
  Send(OnMidiControlList, 0, 0, 0, controls_, -1);  // disabled: no refresh
  EXPECT_EQ(Field(type_).Selected, kControllerEndless64);
  ClickRow(OnMidiControlList, controls_, 0);
  EXPECT_EQ(Field(controls_).Selected, -1);
  EXPECT_EQ(Disabled(channel_), -1);
  EXPECT_EQ(Shown(controls_), 0);
  EXPECT_EQ(Shown(devices_), -1);
}

}  // namespace
}  // namespace panelsb
