// The MIDI lists, the module panel's two lists and the melody list.
#include <cstring>
#include <string>

#include "app/state/wave_library.h"
#include "basics/dynzstring.h"
#include "engine/catalog/catalog.h"
#include "engine/midimap.h"
#include "engine/modulelist.h"
#include "engine/notes.h"
#include "tests/ui/views/views_b_fixture.h"
#include "ui/panels/midi_mapping.h"
#include "ui/views/list_views.h"
#include "ui/views/melody_list.h"
#include "ui/views/midi_lists.h"
#include "ui/views/module_lists.h"
#include "visuals/layers.h"

namespace viewsb {
namespace {

using namespace Tarvelo;
using QUARLE_BASICS::DynZStringGet;

// Lists 300 pixels wide with rows of 30 and text of 16: row images 7 pixels
// below each row's top, icons at x0 + (w - B - 2) - IconSize - 3.
constexpr int32_t kRowH = 30, kTextY = 7, kIconX = 273;
// Icon layers are small squares, each its own colour.
constexpr uint32_t kIcon[4] = {0xFFFF0000, 0xFF00FF00, 0xFF0000FF, 0xFFFFFF00};

class ListTest : public ViewTest {
 protected:
  void SetUp() override {
    ViewTest::SetUp();
    for (int32_t i = 0; i < kMidiMapCount; ++i) MidiMapInit(MidiMaps[i], i);
    SelectedMidiMap.Store(0);
    SelectedMidiChannel.Store(0);
  }
  void TearDown() override {
    for (int32_t i = 0; i < kMidiMapCount; ++i) MidiMapInit(MidiMaps[i], i);
    MidiDeviceMaps[0] = nullptr;
    for (PortListRow& r : PortListRows) QUARLE_BASICS::DynZStringFree(r.LongName);
    PortListCount = 0;
    ViewTest::TearDown();
  }
  int32_t List(int32_t icons, int32_t rows = 10) {
    const int32_t id = Make(0, 0, 300, rows * kRowH + 6);
    for (int32_t i = 0; i < icons; ++i) AddLayer(id, 4, 4, kIcon[i]);
    EXPECT_GE(V::SetListRows(id, 16, rows, kRowH), 0);
    return id;
  }
  std::string Tip(int32_t id) { return uitest::TipOf(id); }
  // The pixel one in from the corner of an icon put at the row's text offset + dy.
  uint32_t IconAt(int32_t row, int32_t dy) const { return Px(kIconX + 1, 3 + row * kRowH + kTextY + dy + 1); }
  static void Name(int32_t map, const char* name) {
    std::strncpy(MidiMaps[map].DeviceName, name, kMidiDeviceNameMax);
  }
};

TEST(MidiTexts, AssignmentTextsByMode) {
  MidiControlRow row;
  row.mode = kMidiSelectedParam;
  EXPECT_EQ(MidiAssignmentText(row, false), "[CONTROL ANY SELECTION]");
  row.mode = kMidiParamOfSelected;
  EXPECT_EQ(MidiAssignmentText(row, false), "[INVALID ASSIGMENT]");  // parameter -1
  row.param = 3;
  EXPECT_EQ(MidiAssignmentText(row, false), "PORT #3 of selected module.");
  row.mode = kMidiFixedParam;
  EXPECT_EQ(MidiAssignmentText(row, false), "[INVALID ASSIGMENT]");  // its module is gone
  row.hasTarget = true;
  row.label = "Freq";
  row.shortName = "OSC";
  row.instance = 4;
  EXPECT_EQ(MidiAssignmentText(row, false), "PORT #3 (Freq) OF OSC #4");
  EXPECT_EQ(MidiAssignmentText(row, true), "PORT #3 (Freq) of OSC #4");
  row.mode = 3;
  EXPECT_EQ(MidiAssignmentText(row, false), "[UNASSIGNED]");
  EXPECT_EQ(MidiKindIcon(kControllerPad), 2);
  EXPECT_EQ(MidiKindIcon(200), -1);
}

TEST_F(ListTest, ControlListReadsTheChosenMapAndChannel) {
  Name(0, "Keys");
  MidiMaps[0].Entries[7][0].Mode = kMidiSelectedParam;
  MidiMaps[0].Entries[7][0].Kind = kControllerStandard;
  MidiMaps[0].Entries[7][3].Mode = kMidiParamOfSelected;
  MidiMaps[0].Entries[7][3].Param = 5;
  const int32_t id = List(4);
  C(id)->Text.Mark = 8;  // controller 7
  Snapshot s;
  DrawMidiControlList(Take(id, s), id);
  EXPECT_EQ(Tip(id), "CONTROL #7:    [CONTROL ANY SELECTION]");
  EXPECT_EQ(IconAt(0, -1), kIcon[0]);  // the way back
  EXPECT_EQ(IconAt(8, -1), kIcon[1]);  // a standard control
  EXPECT_NE(IconAt(1, -1), kIcon[1]);  // auto-detect: no icon
  EXPECT_GT(Covered(C(id)->Layers[4]), 10);
  SelectedMidiChannel.Store(3);
  DrawMidiControlList(Take(id, s), id);
  EXPECT_EQ(Tip(id), "CONTROL #7:    PORT #5 of selected module.");
  C(id)->Text.Mark = 0;
  DrawMidiControlList(Take(id, s), id);
  EXPECT_EQ(Tip(id), "   CLICK TO GO BACK");
  SelectedMidiMap.Store(40);  // no such map: empty rows
  C(id)->Text.Mark = 2;
  DrawMidiControlList(Take(id, s), id);
  EXPECT_EQ(Tip(id), "CONTROL #1:    [UNASSIGNED]");
}

TEST_F(ListTest, DeviceListsNamesAndOpenState) {
  Name(0, "Keys");
  MidiMaps[0].Claimed = -1;
  Name(1, "   ");
  int32_t id = List(2);
  C(id)->Text.Mark = 2;
  Snapshot s;
  DrawMidiDeviceMapList(Take(id, s), id);
  EXPECT_EQ(IconAt(0, -2), kIcon[0]);
  EXPECT_NE(IconAt(1, -2), kIcon[0]);  // a blank name: no icon
  EXPECT_NE(IconAt(1, -2), kIcon[1]);
  EXPECT_EQ(Tip(id), "DEVICE 2:    [NO DEVICE]");
  MidiMaps[0].Claimed = 0;  // closed: the icon changes without new text
  DrawMidiDeviceMapList(Take(id, s, 0), id);
  EXPECT_EQ(IconAt(0, -2), kIcon[1]);

  // The keyboard's devices: row r is device slot r - 1, named by its map.
  Name(3, "Piano");
  MidiDeviceMaps[0] = &MidiMaps[3];
  id = List(0, 17);
  for (auto [row, text] : {std::pair{0, "[ANY FREE DEVICE]"}, {1, "Piano"}, {2, "[NO DEVICE]"}}) {
    C(id)->Text.Mark = row;
    DrawKeyboardDeviceList(Take(id, s), id);
    EXPECT_EQ(Tip(id), text);
  }
}

TEST_F(ListTest, ParameterAndWaveLists) {
  const auto row = [](int32_t i, int64_t input, int64_t reads, int64_t fixed, int64_t hidden, const char* name) {
    PortListRows[i].IsInputPort = input;
    PortListRows[i].ReadsValueModule = reads;
    PortListRows[i].ChannelCountExempt = fixed;
    PortListRows[i].NoValueEditor = hidden;
    QUARLE_BASICS::DynZStringAssign(PortListRows[i].LongName, name);
  };
  row(0, -1, -1, 0, 0, "Frequency");  // icon 0
  row(1, -1, 0, 0, -1, "Amplitude");  // icon 1, hidden
  row(2, 0, 0, -1, 0, "Channels");    // icon 3
  PortListCount = 3;
  int32_t id = List(4);
  C(id)->Text.Selected = 1;
  C(id)->Text.Mark = 2;
  Snapshot s;
  DrawParameterList(Take(id, s), id);
  EXPECT_EQ(Px(290, 3 + 2), kListRowEven);
  EXPECT_EQ(Px(290, 33 + 2), kHiddenRowOdd);  // purple although selected
  EXPECT_EQ(Px(290, 63 + 2), kListRowHovered);
  EXPECT_EQ(Px(8, 3), kIcon[0]);
  EXPECT_EQ(Px(8, 33), kIcon[1]);
  EXPECT_EQ(Px(8, 63), kIcon[3]);
  EXPECT_EQ(Tip(id), "Channels");
  EXPECT_GT(Covered(C(id)->Layers[4]), 10);  // row images after the icons

  FillKernelTables();
  id = List(0, 12);
  C(id)->Text.Mark = 10;
  DrawWaveFunctionList(Take(id, s), id);
  EXPECT_EQ(Tip(id), DynZStringGet(WaveShapeTable[10].Name));
  EXPECT_EQ(Px(290, 3 + 11 * kRowH + 2), kBackground);  // the twelfth shape is not listed
}

TEST_F(ListTest, MelodyIconsTooltipAndNames) {
  ASSERT_EQ(WaveLibraryListCreate(MelodyLibrary), 0);
  float samples[4] = {};
  const auto add = [&](const char* file, int32_t state, bool data, float seconds) {
    WaveLibraryEntry* e = WaveLibraryEntryNew();
    QUARLE_BASICS::DynZStringAssign(e->File, file);
    e->State.Store(state);
    e->Sound.samples = data ? samples : nullptr;
    e->Duration.Store(seconds);
    EXPECT_EQ(WaveLibraryListReserve(MelodyLibrary), 0);
    WaveLibraryListCommit(MelodyLibrary, e);
    return e;
  };
  ModuleRecord* module = ModuleRecordNew();
  module->SampleEntry.Store(add("tune.one.mel", kWaveIdle, true, 12.5f));
  add("recording.mel", kWaveCreating, true, 1.0f);
  add("empty.mel", kWaveIdle, false, 0.0f);
  add("other", kWaveIdle, true, 2.0f);
  SetSelectedModule(module);
  const int32_t id = List(3);
  C(id)->Text.Mark = 0;
  Snapshot s;
  DrawMelodyList(Take(id, s), id);
  EXPECT_EQ(Tip(id), "tune.one.mel (12.50s)");
  EXPECT_EQ(IconAt(0, -1), kIcon[kMelodyIconAttached]);
  EXPECT_EQ(IconAt(1, -1), kIcon[kMelodyIconBusy]);
  EXPECT_EQ(IconAt(2, -1), kIcon[kMelodyIconNoData]);
  EXPECT_EQ(IconAt(3, -1), kListRowOdd);
  // The name without its extension, clear of the icon.
  platform::Image* e = platform::ImageCreate(295, kRowH + 1, 0);
  V::DrawTextFT(e, 5, 0, 22 + 5, "tune.one", V::TextFont.Face, 16, 0xFFFFFFFF, 2);
  EXPECT_TRUE(SameImage(C(id)->Layers[3], e));
  platform::ImageDestroy(e);
  SetSelectedModule(nullptr);  // another selection: the icon leaves at the next frame
  DrawMelodyList(Take(id, s, 0), id);
  EXPECT_EQ(IconAt(0, -1), kListRowHovered);

  for (int32_t i = 0; i < MelodyLibrary.header.count; ++i) MelodyLibrary.entries[i]->Sound.samples = nullptr;
  WaveLibraryListFree(MelodyLibrary);
  ModuleRecordDelete(module);
}

}  // namespace
}  // namespace viewsb
