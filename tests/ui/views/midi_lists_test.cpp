// The MIDI lists, the module panel's two lists and the melody list.
#include <cstring>
#include <string>

#include "app/state/wave_library.h"
#include "basics/dynzstring.h"
#include "engine/catalog/catalog.h"
#include "engine/midimap.h"
#include "engine/module.h"
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

constexpr int32_t kRowH = 30;
constexpr int32_t kListW = 300;
// Icon layers are small solid squares, each its own colour.
constexpr uint32_t kIcon[4] = {0xFFFF0000, 0xFF00FF00, 0xFF0000FF, 0xFFFFFF00};
// x of a row icon at the right end: x0 + (w - B - 2) - IconSize - 3.
constexpr int32_t kIconX = 3 + (kListW - 5) - 22 - 3;
constexpr int32_t kTextY = 7;  // nearest((30 - 16) / 2)

class ListTest : public ViewTest {
 protected:
  void SetUp() override {
    ViewTest::SetUp();
    for (int32_t i = 0; i < kMidiMapCount; ++i) MidiMapInit(MidiMaps[i], i);
    SelectedMidiMap = 0;
    SelectedMidiChannel = 0;
  }
  void TearDown() override {
    for (int32_t i = 0; i < kMidiMapCount; ++i) MidiMapInit(MidiMaps[i], i);
    ViewTest::TearDown();
  }
  // A list of `rows` visible rows under `icons` icon layers, at (0, 0).
  int32_t List(int32_t icons, int32_t rows = 10) {
    const int32_t id = Make(0, 0, kListW, rows * kRowH + 6);
    for (int32_t i = 0; i < icons; ++i) AddLayer(id, 4, 4, kIcon[i]);
    EXPECT_GE(V::SetListRows(id, 16, rows, kRowH), 0);
    return id;
  }
  std::string Tip(int32_t id) { return DynZStringGet(C(id)->Tooltip); }
  static int32_t RowTop(int32_t row) { return 3 + row * kRowH; }
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
  EXPECT_EQ(MidiAssignmentText(row, true), "PORT #3 of selected module.");
  row.mode = kMidiFixedParam;
  EXPECT_EQ(MidiAssignmentText(row, false), "[INVALID ASSIGMENT]");  // its module is gone
  row.hasTarget = true;
  row.label = "Freq";
  row.shortName = "OSC";
  row.instance = 4;
  EXPECT_EQ(MidiAssignmentText(row, false), "PORT #3 (Freq) OF OSC #4");
  EXPECT_EQ(MidiAssignmentText(row, true), "PORT #3 (Freq) of OSC #4");
  row.mode = kMidiUnbound;
  EXPECT_EQ(MidiAssignmentText(row, false), "[UNASSIGNED]");
  row.mode = 3;
  EXPECT_EQ(MidiAssignmentText(row, false), "[UNASSIGNED]");
  EXPECT_EQ(MidiKindIcon(kControllerAuto), -1);
  EXPECT_EQ(MidiKindIcon(kControllerStandard), 1);
  EXPECT_EQ(MidiKindIcon(kControllerPad), 2);
  EXPECT_EQ(MidiKindIcon(kControllerEndlessBounded), 3);
  EXPECT_EQ(MidiKindIcon(200), -1);
}

TEST_F(ListTest, ControlListReadsTheChosenChannelsEntries) {
  Name(0, "Keys");
  MidiMaps[0].Entries[7][0].Mode = kMidiSelectedParam;
  MidiMaps[0].Entries[7][0].Kind = kControllerStandard;
  MidiMaps[0].Entries[7][3].Mode = kMidiParamOfSelected;
  MidiMaps[0].Entries[7][3].Param = 5;
  const int32_t id = List(4);
  C(id)->Text.Mark = 8;  // controller 7
  Snapshot s;
  Take(id, s);
  DrawMidiControlList(s.get(), id);
  EXPECT_EQ(Tip(id), "CONTROL #7:    [CONTROL ANY SELECTION]");
  EXPECT_EQ(Px(kIconX + 1, RowTop(0) + kTextY - 1 + 1), kIcon[0]);  // the way back
  EXPECT_EQ(Px(kIconX + 1, RowTop(8) + kTextY - 1 + 1), kIcon[1]);  // a standard control
  EXPECT_NE(Px(kIconX + 1, RowTop(1) + kTextY - 1 + 1), kIcon[1]);  // auto-detect: none
  EXPECT_GT(Covered(C(id)->Layers[4]), 10);                          // row 0: the device name

  SelectedMidiChannel = 3;
  Take(id, s);
  DrawMidiControlList(s.get(), id);
  EXPECT_EQ(Tip(id), "CONTROL #7:    PORT #5 of selected module.");
  C(id)->Text.Mark = 0;
  Take(id, s);
  DrawMidiControlList(s.get(), id);
  EXPECT_EQ(Tip(id), "   CLICK TO GO BACK");

  // A map index out of range shows empty rows.
  SelectedMidiMap = 40;
  C(id)->Text.Mark = 2;
  Take(id, s);
  DrawMidiControlList(s.get(), id);
  EXPECT_EQ(Tip(id), "CONTROL #1:    [UNASSIGNED]");
}

TEST_F(ListTest, DeviceMapIconFollowsTheOpenStateEveryFrame) {
  Name(0, "Keys");
  MidiMaps[0].Claimed = -1;
  Name(1, "   ");
  const int32_t id = List(2);
  C(id)->Text.Mark = 1;
  Snapshot s;
  Take(id, s);
  DrawMidiDeviceMapList(s.get(), id);
  EXPECT_EQ(Px(kIconX + 1, RowTop(0) + kTextY - 2 + 1), kIcon[0]);
  EXPECT_NE(Px(kIconX + 1, RowTop(1) + kTextY - 2 + 1), kIcon[0]);  // a blank name: no icon
  EXPECT_NE(Px(kIconX + 1, RowTop(1) + kTextY - 2 + 1), kIcon[1]);
  EXPECT_EQ(Tip(id), std::string("DEVICE 1: ") + "   " + "   ");  // a blank name shows as it is
  C(id)->Text.Mark = 2;
  MidiMaps[0].Claimed = 0;  // the device closed: no new text, the icon changes
  Take(id, s, 0);
  DrawMidiDeviceMapList(s.get(), id);
  EXPECT_EQ(Px(kIconX + 1, RowTop(0) + kTextY - 2 + 1), kIcon[1]);
  EXPECT_EQ(Tip(id), "DEVICE 2:    [NO DEVICE]");
}

TEST_F(ListTest, KeyboardDevicesStartWithAnyFreeDevice) {
  // Device slot 0 uses map 3; slot 1 has no map.
  Name(3, "Keys");
  MidiDeviceMaps[0] = &MidiMaps[3];
  const int32_t id = List(0, 17);
  Snapshot s;
  for (auto [row, text] : {std::pair{0, "[ANY FREE DEVICE]"}, {1, "Keys"}, {2, "[NO DEVICE]"}}) {
    C(id)->Text.Mark = row;
    Take(id, s);
    DrawKeyboardDeviceList(s.get(), id);
    EXPECT_EQ(Tip(id), text);
  }
  MidiDeviceMaps[0] = nullptr;
}

// --- Module panel lists ------------------------------------------------------------

class PortListTest : public ListTest {
 protected:
  void TearDown() override {
    for (PortListRow& r : PortListRows) QUARLE_BASICS::DynZStringFree(r.LongName);
    PortListCount = 0;
    ListTest::TearDown();
  }
  static void Row(int32_t i, int64_t input, int64_t reads, int64_t fixed, int64_t hidden,
                  const char* name) {
    PortListRows[i].IsInputPort = input;
    PortListRows[i].ReadsValueModule = reads;
    PortListRows[i].ChannelCountExempt = fixed;
    PortListRows[i].NoValueEditor = hidden;
    QUARLE_BASICS::DynZStringAssign(PortListRows[i].LongName, name);
  }
};

TEST_F(PortListTest, ParameterRowsIconsAndHiddenRows) {
  EXPECT_EQ(ParameterRowIcon(-1, -1, 0), 0);
  EXPECT_EQ(ParameterRowIcon(-1, 0, -1), 1);
  EXPECT_EQ(ParameterRowIcon(0, -1, 0), 2);
  EXPECT_EQ(ParameterRowIcon(0, 0, -1), 3);

  Row(0, -1, -1, 0, 0, "Frequency");
  Row(1, -1, 0, 0, -1, "Amplitude");
  Row(2, 0, 0, -1, 0, "Channels");
  PortListCount = 3;
  const int32_t id = List(4);
  C(id)->Text.Selected = 1;
  C(id)->Text.Mark = 2;
  Snapshot s;
  Take(id, s);
  DrawParameterList(s.get(), id);
  const int32_t right = kListW - 10;
  EXPECT_EQ(Px(right, RowTop(0) + 2), kListRowEven);
  EXPECT_EQ(Px(right, RowTop(1) + 2), kHiddenRowOdd);  // purple although selected
  EXPECT_EQ(Px(right, RowTop(2) + 2), kListRowHovered);
  EXPECT_EQ(Px(8, RowTop(0)), kIcon[0]);
  EXPECT_EQ(Px(8, RowTop(1)), kIcon[1]);
  EXPECT_EQ(Px(8, RowTop(2)), kIcon[3]);
  EXPECT_EQ(Tip(id), "Channels");
  EXPECT_GT(Covered(C(id)->Layers[4]), 10);  // row images after the icons

  // No module selected: an empty list, only the frame.
  PortListCount = 0;
  ClearCanvas();
  Take(id, s);
  DrawParameterList(s.get(), id);
  EXPECT_EQ(Px(right, RowTop(0) + 2), kBackground);
  EXPECT_EQ(Px(0, 0), kListFrame);
}

TEST_F(PortListTest, WaveListHasElevenRows) {
  FillKernelTables();
  const int32_t id = List(0, 12);
  C(id)->Text.Mark = 10;
  Snapshot s;
  Take(id, s);
  DrawWaveFunctionList(s.get(), id);
  EXPECT_EQ(Tip(id), DynZStringGet(WaveShapeTable[10].Name));
  EXPECT_EQ(Px(kListW - 10, RowTop(10) + 2), kListRowHovered);
  EXPECT_EQ(Px(kListW - 10, RowTop(11) + 2), kBackground);  // the twelfth shape is not listed
  EXPECT_EQ(Covered(C(id)->Layers[11]), 0);
}

// --- Melody list --------------------------------------------------------------------

class MelodyListTest : public ListTest {
 protected:
  void SetUp() override {
    ListTest::SetUp();
    ASSERT_EQ(WaveLibraryListCreate(MelodyLibrary), 0);
    module = ModuleRecordNew();
    ASSERT_NE(module, nullptr);
  }
  void TearDown() override {
    for (int32_t i = 0; i < MelodyLibrary.header.count; ++i)
      MelodyLibrary.entries[i]->Sound.samples = nullptr;
    WaveLibraryListFree(MelodyLibrary);
    SelectedModule = nullptr;
    ModuleRecordDelete(module);
    ListTest::TearDown();
  }
  WaveLibraryEntry* Add(const char* file, int32_t state, bool data, float seconds) {
    WaveLibraryEntry* e = WaveLibraryEntryNew();
    QUARLE_BASICS::DynZStringAssign(e->File, file);
    e->State = state;
    e->Sound.samples = data ? samples : nullptr;
    e->Duration = seconds;
    EXPECT_EQ(WaveLibraryListReserve(MelodyLibrary), 0);
    WaveLibraryListCommit(MelodyLibrary, e);
    return e;
  }
  ModuleRecord* module = nullptr;
  float samples[4] = {};
};

TEST_F(MelodyListTest, IconsTooltipAndNamesWithoutExtension) {
  WaveLibraryEntry* attached = Add("tune.one.mel", kWaveIdle, true, 12.5f);
  Add("recording.mel", kWaveCreating, true, 1.0f);
  Add("empty.mel", kWaveIdle, false, 0.0f);
  Add("other", kWaveIdle, true, 2.0f);
  module->SampleEntry = attached;
  SelectedModule = module;
  const int32_t id = List(3);
  C(id)->Text.Mark = 0;
  Snapshot s;
  Take(id, s);
  DrawMelodyList(s.get(), id);
  EXPECT_EQ(Tip(id), "tune.one.mel (12.50s)");
  const int32_t iconY = kTextY - 1 + 1;
  EXPECT_EQ(Px(kIconX + 1, RowTop(0) + iconY), kIcon[kMelodyIconAttached]);
  EXPECT_EQ(Px(kIconX + 1, RowTop(1) + iconY), kIcon[kMelodyIconBusy]);
  EXPECT_EQ(Px(kIconX + 1, RowTop(2) + iconY), kIcon[kMelodyIconNoData]);
  EXPECT_EQ(Px(kIconX + 1, RowTop(3) + iconY), kListRowOdd);

  // The row text is the name without its extension, clear of the icon.
  platform::Image* e = platform::ImageCreate(kListW - 6 + 1, kRowH + 1, 0);
  V::DrawTextFT(e, 5, 0, 22 + 5, "tune.one", V::TextFont.Face, 16, 0xFFFFFFFF, 2);
  EXPECT_TRUE(SameImage(C(id)->Layers[3], e));
  platform::ImageDestroy(e);

  // Another module selected: the icon leaves at the next frame.
  SelectedModule = nullptr;
  Take(id, s, 0);
  DrawMelodyList(s.get(), id);
  EXPECT_EQ(Px(kIconX + 1, RowTop(0) + iconY), kListRowHovered);
}

}  // namespace
}  // namespace viewsb
