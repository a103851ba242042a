// MIDI mapping: learn and range buttons, the map page's lists and selectors.
#include <cstring>

#include "panels_b_fixture.h"

namespace panelsb {
namespace {

using namespace Tarvelo;

class MidiMappingTest : public PanelsBTest {
 protected:
  void SetUp() override {
    PanelsBTest::SetUp();
    devices_ = Slot(kUiMIDIDEVS);
    controls_ = devices_ + 1;
    ASSERT_EQ(Id(controls_), "MIDICC");
    channel_ = Slot(kUiMIDICCCH);
    type_ = Slot(kUiMIDICCCT);
    for (MidiMap& m : MidiMaps) m.DeviceName[0] = '\0';
  }
  int32_t devices_ = 0, controls_ = 0, channel_ = 0, type_ = 0;
};

TEST_F(MidiMappingTest, LearnButtonsArmOneKindAtATimeOnlyWithADevice) {
  const int32_t m0 = Slot(kUiMIDI0), m1 = Slot(kUiMIDI1), m2 = Slot(kUiMIDI2);
  Click(OnMidiMapParameter, m1);
  EXPECT_EQ(Text(Slot(kUiMB)), "No MIDI device connected.");
  EXPECT_EQ(MidiLearnArmed.load(), 0);
  QUARLE_AUDIO::MidiDeviceCount = 1;
  Click(OnMidiMapAny, m0);
  Click(OnMidiMapParameter, m1);
  EXPECT_EQ(MidiLearnArmed.load(), kMidiLearnParameter);
  EXPECT_EQ(On(m0), 0);
  EXPECT_EQ(On(m1), -1);
  EXPECT_EQ(On(m2), 0);
  Click(OnMidiMapParameter, m1);
  EXPECT_EQ(MidiLearnArmed.load(), 0);
  EXPECT_EQ(On(m1), 0);
  QUARLE_AUDIO::MidiDeviceCount = 0;
}

TEST_F(MidiMappingTest, RangeButtonsNeedASelectedParameter) {
  const int32_t mmin = Slot(kUiMMIN), mmax = Slot(kUiMMAX);
  Click(OnMidiMapMin, mmin);  // no module
  EXPECT_EQ(ParamEditMode.Load(), 0);
  SelectedModule = Make(kTypeOscillator);
  SelectedModule->SelectedParam.Store(1);
  Click(OnMidiMapMin, mmin);
  Click(OnMidiMapMax, mmax);
  EXPECT_EQ(ParamEditMode.Load(), 2);
  EXPECT_EQ(On(mmin), 0);
  EXPECT_EQ(On(mmax), -1);
  Click(OnMidiMapMax, mmax);
  EXPECT_EQ(ParamEditMode.Load(), 0);
}

TEST_F(MidiMappingTest, DeviceRowsEnterOnlyAMapWithADevice) {
  C(controls_)->Visible = 0;
  std::strcpy(MidiMaps[3].DeviceName, "  ");  // spaces only: no device
  ClickRow(OnMidiDeviceMapList, devices_, 3);
  EXPECT_EQ(Shown(controls_), 0);
  EXPECT_EQ(Field(devices_).Selected, -1);
  std::strcpy(MidiMaps[4].DeviceName, "Keys");
  ClickRow(OnMidiDeviceMapList, devices_, 4);
  EXPECT_EQ(SelectedMidiMap.Load(), 4);
  EXPECT_EQ(Field(devices_).Selected, -1);
  EXPECT_EQ(Shown(controls_), -1);
  EXPECT_EQ(Shown(devices_), 0);
  EXPECT_EQ(Disabled(channel_), 0);
  EXPECT_EQ(Disabled(type_), -1);
}

TEST_F(MidiMappingTest, ControlRowsShowAndSetTheTypePerChannel) {
  SelectedMidiMap.Store(4);
  MidiMaps[4].Entries[2][0].Kind = kControllerButton;
  ClickRow(OnMidiControlList, controls_, 3);  // controller 2
  EXPECT_EQ(Disabled(type_), 0);
  EXPECT_EQ(Text(type_), QUARLE_AUDIO::MidiControllerTypeNames[kControllerButton]);
  Step(OnMidiControllerType, type_, +1);
  EXPECT_EQ(MidiMaps[4].Entries[2][0].Kind, kControllerPad);

  Field(channel_).Selected = 15;
  Step(OnMidiControlChannel, channel_, +1);
  EXPECT_EQ(Text(channel_), "Ch. 0");
  Step(OnMidiControlChannel, channel_, +1);
  EXPECT_EQ(SelectedMidiChannel.Load(), 1);
  EXPECT_EQ(C(controls_)->Render->Text.Changed, -1);  // redrawn for the channel
  // The detection's refresh request makes the selector follow the map.
  MidiMaps[4].Entries[2][1].Kind = kControllerEndless64;
  Send(OnMidiControlList, 0, 0, 0, controls_, -1);
  EXPECT_EQ(Field(type_).Selected, kControllerEndless64);

  ClickRow(OnMidiControlList, controls_, 0);  // back to the devices
  EXPECT_EQ(Disabled(channel_), -1);
  EXPECT_EQ(Disabled(type_), -1);
  EXPECT_EQ(Shown(controls_), 0);
  EXPECT_EQ(Shown(devices_), -1);
}

}  // namespace
}  // namespace panelsb
