#include "ui/views/tuning_editor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "app/fixed_tables.h"
#include "app/state/console.h"
#include "app/state/dialogs.h"
#include "app/state/module_page.h"
#include "basics/program.h"
#include "basics/timetext.h"
#include "engine/catalog/catalog.h"
#include "engine/command.h"
#include "engine/dsp/melody.h"
#include "engine/keyboard.h"
#include "engine/notes.h"
#include "engine/tuning.h"
#include "engine/tuningfile.h"
#include "platform/paths.h"
#include "platform/threads.h"
#include "ui/build/groups_b.h"
#include "ui/panels/value_editors.h"
#include "ui/views/views_c_fixture.h"

namespace {

namespace V = QUARLE_VISUALS;
using Tarvelo::ActiveTuning;
using Tarvelo::EditedTuning;
using Tarvelo::MT_TUNINGS;

class TuningEditor : public viewsc::ViewsCTest {
 protected:
  void SetUp() override {
    ViewsCTest::SetUp();
    Tarvelo::SetUnitTable();  // the reference's unit, as the start fills it
    for (platform::Mutex*& m : MT_TUNINGS)
      if (!m) m = platform::MutexCreate();
    char dir[] = "/tmp/tarvelo_tuning_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    home = dir;
    folder = platform::CurrentFolder();
    QUARLE_BASICS::DynZStringAssign(QUARLE_BASICS::HomeFolder, home);
    for (Tarvelo::Tuning* t : {&EditedTuning, &ActiveTuning, &Tarvelo::EngineTuning}) {
      Tarvelo::FreeTuning(*t);
      Tarvelo::InitTuning(*t);
      t->Modified = 0;
    }
    grid = Slot(Tarvelo::kUiTNGSCL);
    list = Slot(Tarvelo::kUiSAM_PATTERNS);
    ASSERT_GT(grid, 0);
    ASSERT_GT(list, 0);
    save = Find("TNG_SET");
    cancel = Find("TNG_SET", save + 1);
    ASSERT_GT(cancel, save);
  }
  void TearDown() override {
    platform::ChangeFolder(folder);
    QUARLE_BASICS::DynZStringAssign(QUARLE_BASICS::HomeFolder, "");
    const std::string cmd = "rm -rf '" + home + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
    Tarvelo::DialogOwner = 0;
    Tarvelo::DialogAnswered = 0;
    ViewsCTest::TearDown();
  }
  // Window x of the middle of key k on a key row control.
  int32_t KeyX(int32_t id, int32_t k) const {
    const float cw = (C(id)->W - 6) / static_cast<float>(EditedTuning.NoteCount);
    return C(id)->X + 3 + static_cast<int32_t>(cw * (k + 0.5f));
  }
  void ClickKey(int32_t k) { Send(grid, 8, KeyX(grid, k), C(grid)->Y + 3); }
  bool Disabled(int32_t id) const { return C(id)->State.Disabled != 0; }
  // Window y of the middle of row r of a list.
  int32_t RowY(int32_t id, int32_t r) const { return C(id)->Y + 3 + r * 30 + 15; }
  std::vector<int32_t> KeyEditors() const {
    const int32_t rk = Slot(Tarvelo::kUiFAV_RK), ak = Slot(Tarvelo::kUiFAV_AK);
    return {rk, rk - 1, rk - 2, ak, ak - 1, ak - 2, Slot(Tarvelo::kUiTNG_RFK),
            Slot(Tarvelo::kUiFAE_KR)};
  }
  // Types a text into a value through its typed-value button's dialog, the
  // status line emptied before.
  void TypeInto(const char* field, const char* typed) {
    const int32_t button = Find(field);
    ASSERT_GT(button, 0);
    V::TextFieldSetText(&C(Slot(Tarvelo::kUiMB))->Text, "");
    // The panels' shared typed-value callback, which this fixture leaves out.
    Tarvelo::OnValueEdit(8, 0, 0, button, 0);
    ASSERT_EQ(Tarvelo::DialogOwner, button);
    V::TextFieldSetText(&C(*V::DialogEditIndex)->Text, typed);
    Tarvelo::AnswerDialog(Find("DB_OK"), -1);
    Drain(0);
    Tarvelo::OnValueEdit(8, 0, 0, button, 0);
  }
  void SixPatterns() {
    for (int32_t i = 1; i < 6; ++i)
      Tarvelo::TuningAddScalePattern(EditedTuning, uint64_t{1} << i, ("P" + std::to_string(i)).c_str(), 0);
    ASSERT_EQ(EditedTuning.PatternCount, 6);
  }
  std::string home, folder;
  int32_t grid = 0, list = 0, save = 0, cancel = 0;
};

TEST_F(TuningEditor, TheKeyGridSelectsKeysAndEnablesTheirEditors) {
  Send(grid, 1, KeyX(grid, 3), C(grid)->Y + 3);
  EXPECT_EQ(C(grid)->Text.Mark, 3);
  EXPECT_EQ(QUARLE_BASICS::DynZStringGet(C(grid)->Tooltip),
            "Key #4: C = 1.189207; Click to edit its value or set a reference key.");
  Send(grid, 1, C(grid)->X + 1, C(grid)->Y + 3);  // on the frame: no key
  EXPECT_EQ(C(grid)->Text.Mark, -1);

  ClickKey(0);
  EXPECT_EQ(C(grid)->Text.Selected, 0);
  std::vector<int32_t> ids = KeyEditors();
  for (int32_t i = 0; i < 6; ++i) EXPECT_TRUE(Disabled(ids[i])) << i;
  EXPECT_FALSE(Disabled(ids[6]));
  EXPECT_FALSE(Disabled(ids[7]));
  ClickKey(0);
  EXPECT_EQ(C(grid)->Text.Selected, -1);
  for (int32_t id : ids) EXPECT_TRUE(Disabled(id));

  ClickKey(7);
  for (int32_t id : ids) EXPECT_FALSE(Disabled(id));
  EXPECT_NEAR(Tarvelo::AbsoluteKeyValue.Base.value, std::pow(2.0, 7.0 / 12.0), 1e-4);
  EXPECT_NEAR(Tarvelo::RelativeKeyValue.Base.value, std::pow(2.0, 1.0 / 12.0), 1e-4);
}

TEST_F(TuningEditor, ValueHooksApplyToTheEditedTuningOnly) {
  float hz = 1000.0f;
  Tarvelo::OnReferenceFrequencyValue(&hz);
  EXPECT_EQ(hz, 880.0f);
  hz = 100.0f;
  Tarvelo::OnReferenceFrequencyValue(&hz);
  EXPECT_EQ(hz, 220.0f);
  EXPECT_EQ(Tarvelo::TuningGetReferencePitch(ActiveTuning), 440.0f);
  EXPECT_EQ(EditedTuning.Modified, -1);

  // No key selected: nothing changes, and the hook keeps working afterwards.
  float ratio = 1.3f;
  Tarvelo::OnAbsoluteKeyValue(&ratio);
  EXPECT_EQ(ratio, 1.3f);
  ClickKey(4);
  ratio = 1.3f;
  Tarvelo::OnAbsoluteKeyValue(&ratio);
  EXPECT_NEAR(Tarvelo::TuningGetAbsoluteRatio(EditedTuning, 4), 1.3f, 1e-6);
  EXPECT_NEAR(Tarvelo::RelativeKeyValue.Base.value, Tarvelo::TuningGetRatio(EditedTuning, 4), 1e-5);
  ratio = 1.0f;  // below its predecessor: raised by the tuning
  Tarvelo::OnRelativeKeyValue(&ratio);
  EXPECT_GE(ratio, 1.0025f - 1e-6f);
  EXPECT_NEAR(Tarvelo::AbsoluteKeyValue.Base.value, Tarvelo::TuningGetAbsoluteRatio(EditedTuning, 4),
              1e-5);
}

TEST_F(TuningEditor, TypedFieldsKeepTheirValueForTextThatIsNoNumber) {
  // The reference and a key's ratios typed through their dialogs: a text that
  // is no number leaves the tuning alone and says so; one with a number in
  // front is read as that number.
  ClickKey(4);
  const float key4 = Tarvelo::TuningGetAbsoluteRatio(EditedTuning, 4);
  const float key3 = Tarvelo::TuningGetAbsoluteRatio(EditedTuning, 3);
  struct Case {
    const char* field;  // the typed-value button
    const char* typed;
    float reference, key4;  // after the answer
    const char* status;     // "" untouched
  };
  const Case cases[] = {
      {"FAE_RF", "abc", 440.0f, key4, "\"abc\" is not a number: the value stays as it was."},
      {"FAE_RF", "0,5", 440.0f, key4, "\"0,5\": type decimals with a point (0.5), not a comma. The value stays as it was."},
      {"FAE_AK", ".", 440.0f, key4, "\".\" is not a number: the value stays as it was."},
      {"FAE_RF", " 415.5 Hz", 415.5f, key4, ""},
      {"FAE_AK", "1.25x", 415.5f, 1.25f, "\"1.25x\" is read as 1.25 (the text after the number is left out)."},
      // A key's ratios are held where the keys around it leave room.
      {"FAE_AK", "5", 415.5f, 1.960446f, "5 is out of range: the highest is 1.960446: set to 1.960446."},
      {"FAE_RK", "1", 415.5f, key3 * 1.0025f, "1 is out of range: the lowest is 1.0025: set to 1.0025."},
      {"FAE_AK", "0", 415.5f, 1.010038f, "0 is out of range: the lowest is 1.010038: set to 1.010038."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.field) + " " + c.typed);
    TypeInto(c.field, c.typed);
    if (HasFatalFailure()) return;
    EXPECT_EQ(Tarvelo::TuningGetReferencePitch(EditedTuning), c.reference);
    EXPECT_NEAR(Tarvelo::TuningGetAbsoluteRatio(EditedTuning, 4), c.key4, 1e-6);
    EXPECT_EQ(Text(Slot(Tarvelo::kUiMB)), c.status);
  }
}

TEST_F(TuningEditor, ATypedReferenceOutsideItsRangeSaysWhatWasSet) {
  const std::string low = " Hz is out of range: the lowest is 220 Hz: set to 220 Hz.";
  const std::string high = " Hz is out of range: the highest is 880 Hz: set to 880 Hz.";
  struct Case {
    const char* typed;
    float reference;  // after the answer
    std::string status;
  };
  const Case cases[] = {
      {"-5", 220.0f, "-5" + low},
      {"500", 500.0f, ""},
      {"0", 220.0f, "0" + low},
      {"1e9", 880.0f, "1e+09" + high},
      {"5k", 220.0f, "\"5k\" is read as 5 (the text after the number is left out). 5" + low},
      {"432 Hz", 432.0f, ""},  // the field's own unit
      {"1000 cents", 880.0f,
       "\"1000 cents\" is read as 1000 (the text after the number is left out). 1000" + high},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed);
    TypeInto("FAE_RF", c.typed);
    if (HasFatalFailure()) return;
    EXPECT_EQ(Tarvelo::TuningGetReferencePitch(EditedTuning), c.reference);
    EXPECT_EQ(Tarvelo::ReferenceFrequencyValue.Base.value, c.reference);
    EXPECT_EQ(Text(Slot(Tarvelo::kUiMB)), c.status);
  }
}

TEST_F(TuningEditor, SaveAppliesTheEditsWritesTheFileAndTellsTheEngine) {
  float hz = 432.0f;
  Tarvelo::OnReferenceFrequencyValue(&hz);
  Send(Find("TNGK+"), 8);
  EXPECT_EQ(Text(Slot(Tarvelo::kUiTNGNBL)), "13 keys");
  EXPECT_EQ(Tarvelo::TuningGetNoteCount(ActiveTuning), 12);  // private until saved
  Tarvelo::KeyboardStates[0].Load()->Octave.Store(3);
  Tarvelo::CurrentKeyboardIndex.Store(0);

  Send(save, 8);
  EXPECT_EQ(Tarvelo::TuningGetReferencePitch(ActiveTuning), 432.0f);
  EXPECT_EQ(Tarvelo::TuningGetNoteCount(ActiveTuning), 13);
  EXPECT_EQ(Tarvelo::TuningGetNoteCount(Tarvelo::EngineTuning), 13);
  EXPECT_EQ(EditedTuning.Modified, 0);
  EXPECT_EQ(Tarvelo::KeyboardStates[0].Load()->KeyOffset.Load(), 39);
  EXPECT_EQ(C(Slot(Tarvelo::kUiKBPOS))->Text.Selected, 39 + 8 * 13);
  const std::string file = QUARLE_BASICS::DynZStringGet(ActiveTuning.FileName);
  EXPECT_TRUE(platform::FileExists(home + "\\" + file));
  EXPECT_EQ(Text(Slot(Tarvelo::kUiMB)), file + " has been saved.");

  // What was written reads back as the tuning in use.
  Tarvelo::Tuning back{};
  Tarvelo::InitTuning(back);
  ASSERT_EQ(Tarvelo::LoadTuning(back, home, file), 0);
  EXPECT_EQ(Tarvelo::TuningGetNoteCount(back), 13);
  EXPECT_EQ(Tarvelo::TuningGetReferencePitch(back), 432.0f);
  Tarvelo::FreeTuning(back);
}

TEST_F(TuningEditor, AFailingSaveIsReportedAndKeepsTheEdits) {
  QUARLE_BASICS::DynZStringAssign(EditedTuning.Folder, home + "\\missing\\deeper");
  float hz = 300.0f;
  Tarvelo::OnReferenceFrequencyValue(&hz);
  viewsc::Reports().clear();
  Send(save, 8);
  const std::string file = QUARLE_BASICS::DynZStringGet(EditedTuning.FileName);
  ASSERT_FALSE(viewsc::Reports().empty());
  EXPECT_EQ(viewsc::Reports().back().second, 2);
  EXPECT_EQ(viewsc::Reports().back().first.rfind("Error saving " + file + ": ", 0), 0u);
  // The edits are in use and still in the editor; the engine has them too.
  EXPECT_EQ(Tarvelo::TuningGetReferencePitch(ActiveTuning), 300.0f);
  EXPECT_EQ(Tarvelo::TuningGetReferencePitch(EditedTuning), 300.0f);
  EXPECT_EQ(Tarvelo::TuningGetReferencePitch(Tarvelo::EngineTuning), 300.0f);
  EXPECT_NE(Text(Slot(Tarvelo::kUiMB)), file + " has been saved.");
  // Nothing is on disk: the editor still says so.
  EXPECT_EQ(EditedTuning.Modified, -1);
}

TEST_F(TuningEditor, CancelThrowsTheEditsAway) {
  SixPatterns();
  Send(Find("TNGK-"), 8);
  float hz = 500.0f;
  Tarvelo::OnReferenceFrequencyValue(&hz);
  ClickKey(2);
  C(list)->Text.Selected = 3;
  Send(cancel, 8);
  EXPECT_EQ(Tarvelo::TuningGetNoteCount(EditedTuning), 12);
  EXPECT_EQ(Tarvelo::TuningGetReferencePitch(EditedTuning), 440.0f);
  EXPECT_EQ(EditedTuning.PatternCount, 1);
  EXPECT_EQ(EditedTuning.Modified, 0);
  EXPECT_EQ(Text(Slot(Tarvelo::kUiTNGNBL)), "12 keys");
  EXPECT_EQ(Text(Slot(Tarvelo::kUiTNG_RFK)), "A");
  EXPECT_EQ(C(grid)->Text.Selected, -1);
  EXPECT_EQ(C(list)->Text.Selected, 0);  // the first pattern, which the switches show
  for (int32_t id : KeyEditors()) EXPECT_TRUE(Disabled(id));
}

// Holds one tuning lock while the handler runs on another thread: the handler
// must take the other lock first and then wait for this one.
void ExpectLockOrder(int32_t id, int32_t heldByTest, int32_t takenFirst) {
  platform::MutexLock(MT_TUNINGS[heldByTest]);
  std::atomic<bool> done{false};
  std::thread handler([&] {
    V::ControlAt(id)->EventCallback(8, 0, 0, id, 0);
    done = true;
  });
  bool sawFirst = false;
  // The bound only catches a hang: a busy machine may start the handler late.
  const double end = platform::HighResClock() + 30.0;
  while (!sawFirst && platform::HighResClock() < end) {
    if (platform::MutexTryLock(MT_TUNINGS[takenFirst])) {
      platform::MutexUnlock(MT_TUNINGS[takenFirst]);
      platform::SleepMs(1);
    } else {
      sawFirst = true;
    }
  }
  EXPECT_TRUE(sawFirst);
  EXPECT_FALSE(done.load());
  platform::MutexUnlock(MT_TUNINGS[heldByTest]);
  handler.join();
  EXPECT_TRUE(done.load());
}

// Save and Cancel take the two tuning locks in the one order every holder of
// both keeps (the tuning in use first), so neither can deadlock the other or
// the engine's tuning update.
TEST_F(TuningEditor, SaveAndCancelLockTheTuningInUseFirst) {
  ExpectLockOrder(save, Tarvelo::kEditedTuning, Tarvelo::kActiveTuning);
  ExpectLockOrder(cancel, Tarvelo::kEditedTuning, Tarvelo::kActiveTuning);
}

TEST_F(TuningEditor, PatternsAreToggledAddedAndDeletedButTheFirstStays) {
  SixPatterns();
  const uint64_t mask4 = EditedTuning.PatternMasks[4];
  const std::string name4 = EditedTuning.PatternNames[4];
  C(list)->Text.Selected = 3;
  Send(Find("TNGSS-"), 8);
  ASSERT_EQ(EditedTuning.PatternCount, 5);
  EXPECT_EQ(EditedTuning.PatternMasks[3], mask4);
  EXPECT_EQ(std::string(EditedTuning.PatternNames[3]), name4);
  EXPECT_EQ(C(list)->Text.Selected, 3);

  C(list)->Text.Selected = 0;
  EditedTuning.PatternMasks[0] = 5;
  Send(Find("TNGSS-"), 8);
  EXPECT_EQ(EditedTuning.PatternCount, 5);
  EXPECT_EQ(EditedTuning.PatternMasks[0], ~uint64_t{0});
  EXPECT_EQ(std::string(EditedTuning.PatternNames[0]), "Chromatic");

  // A press on a key toggles it in the selected pattern; the click does not
  // toggle it back.
  const int32_t sw = Slot(Tarvelo::kUiTNGSS);
  C(list)->Text.Selected = 2;
  const uint64_t before = EditedTuning.PatternMasks[2];
  Send(sw, 2, KeyX(sw, 5), C(sw)->Y + 3);
  Send(sw, 8, KeyX(sw, 5), C(sw)->Y + 3);
  EXPECT_EQ(EditedTuning.PatternMasks[2], before ^ (uint64_t{1} << 5));

  Send(Find("TNGSS+"), 8);
  EXPECT_EQ(EditedTuning.PatternCount, 6);
  EXPECT_EQ(C(list)->Text.Selected, 5);
  EXPECT_EQ(std::string(EditedTuning.PatternNames[5]), "[New scale pattern]");
  EditedTuning.PatternCount = 128;
  Send(Find("TNGSS+"), 8);
  EXPECT_EQ(EditedTuning.PatternCount, 128);
  EXPECT_EQ(C(list)->Text.Selected, 128);  // past the last row: nothing shows selected
}

// New, a load and Cancel select the first pattern, which the switches show:
// a press on them changes it.
TEST_F(TuningEditor, AfterNewLoadOrCancelTheSwitchesActOnTheFirstPattern) {
  ASSERT_TRUE(platform::MakeFolder(home + "\\TUNINGS"));
  const int32_t sw = Slot(Tarvelo::kUiTNGSS);
  for (const int32_t button : {Find("TNEW"), 0, cancel}) {  // 0: a load's refresh
    C(list)->Text.Selected = 3;
    if (button > 0)
      Send(button, 8);
    else
      Tarvelo::RefreshTuningPanel();
    EXPECT_EQ(C(list)->Text.Selected, 0) << button;
    EditedTuning.Modified = 0;
    const uint64_t before = EditedTuning.PatternMasks[0];
    Send(sw, 2, KeyX(sw, 4), C(sw)->Y + 3);
    EXPECT_EQ(EditedTuning.PatternMasks[0] ^ before, uint64_t{1} << 4) << button;
    EXPECT_EQ(EditedTuning.Modified, -1) << button;
  }
}

// A second click on the selected pattern keeps it: the first pattern would
// take its place unasked (and the delete button would then reset it).
TEST_F(TuningEditor, ClickingTheSelectedPatternKeepsIt) {
  SixPatterns();
  C(list)->Text.Selected = 2;
  Send(list, 8, C(list)->X + 20, RowY(list, 2));
  EXPECT_EQ(C(list)->Text.Selected, 2);
  Send(list, 8, C(list)->X + 20, RowY(list, 4));
  EXPECT_EQ(C(list)->Text.Selected, 4);
}

TEST_F(TuningEditor, KeysAndPatternsAreRenamedThroughTheDialog) {
  const int32_t rename = Slot(Tarvelo::kUiFAE_KR);
  ClickKey(2);
  Send(rename, 8);
  EXPECT_EQ(Tarvelo::DialogOwner, rename);
  EXPECT_EQ(C(rename)->State.On, -1);
  V::TextFieldSetText(&C(*V::DialogEditIndex)->Text, "  Xyzw  ");
  ClickKey(5);  // another key meanwhile: the answer still names key 2
  Tarvelo::AnswerDialog(Find("DB_OK"), -1);
  Drain(0);
  Send(rename, 8);
  EXPECT_EQ(Tarvelo::TuningGetNoteName(EditedTuning, 2), "Xyz");
  EXPECT_EQ(Tarvelo::DialogAnswered, 0);
  EXPECT_EQ(C(rename)->State.On, 0);
  // Names are cut, never inside a character's escape form: a key's to its
  // first three characters, a pattern's to its field.
  struct Renamed {
    const char* typed;
    const char* kept;
  };
  const auto answer = [](int32_t button, const Renamed& n) {
    if (Tarvelo::DialogOwner != button) Send(button, 8);
    ASSERT_EQ(Tarvelo::DialogOwner, button);
    V::TextFieldSetText(&C(*V::DialogEditIndex)->Text, n.typed);
    Tarvelo::AnswerDialog(Find("DB_OK"), -1);
    Drain(0);
    Send(button, 8);
  };
  const Renamed keys[] = {
      {"\xA4{420}\xA4{435}", "\xA4{420}\xA4{435}"},
      {" \xA4{420}\xA4{435}\xA4{434}\xA4{435} ", "\xA4{420}\xA4{435}\xA4{434}"},
      {"a\xA4{97F3}bc", "a\xA4{97F3}b"},
  };
  for (const Renamed& n : keys) {
    answer(rename, n);
    EXPECT_EQ(Tarvelo::TuningGetNoteName(EditedTuning, 5), n.kept) << n.typed;
  }

  // A second click while waiting withdraws the question.
  Send(rename, 8);
  ASSERT_EQ(Tarvelo::DialogOwner, rename);
  Send(rename, 8);
  EXPECT_EQ(Tarvelo::DialogOwner, 0);
  EXPECT_EQ(C(rename)->State.On, 0);

  SixPatterns();
  const int32_t prename = Find("TNGSSR");
  C(list)->Text.Selected = -1;
  Send(prename, 8);
  EXPECT_EQ(Tarvelo::DialogOwner, 0);  // no pattern selected
  C(list)->Text.Selected = 1;
  Send(prename, 8);
  ASSERT_EQ(Tarvelo::DialogOwner, prename);
  const Renamed names[] = {
      {"   A name far longer than thirty-two characters   ", "A name far longer than thirty-tw"},
      {"abc\xA4{41F}\xA4{435}\xA4{441}\xA4{43D}\xA4{44F}\xA4{44F}", "abc\xA4{41F}\xA4{435}\xA4{441}\xA4{43D}"},
  };
  for (const Renamed& n : names) {
    answer(prename, n);
    EXPECT_EQ(std::string(EditedTuning.PatternNames[1]), n.kept);
  }
}

TEST_F(TuningEditor, ANewTuningIsWrittenAndTakenByEditorAndEngine) {
  ASSERT_TRUE(platform::MakeFolder(home + "\\TUNINGS"));
  float hz = 300.0f;
  Tarvelo::OnReferenceFrequencyValue(&hz);
  Send(Find("TNEW"), 8);
  const std::string file = QUARLE_BASICS::DynZStringGet(EditedTuning.FileName);
  EXPECT_EQ(file.rfind("Tuning ", 0), 0u);
  EXPECT_TRUE(platform::FileExists(home + "\\TUNINGS\\" + file));
  EXPECT_EQ(QUARLE_BASICS::DynZStringGet(ActiveTuning.FileName), file);
  EXPECT_EQ(Tarvelo::TuningGetReferencePitch(EditedTuning), 440.0f);
  EXPECT_EQ(Tarvelo::TuningGetReferencePitch(Tarvelo::EngineTuning), 440.0f);
  EXPECT_EQ(EditedTuning.Modified, 0);

  // Without the folder the file cannot be written: said so, and taken all the same.
  const std::string cmd = "rm -rf '" + home + "/TUNINGS'";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  Tarvelo::OnReferenceFrequencyValue(&hz);
  viewsc::Reports().clear();
  Send(Find("TNEW"), 8);
  ASSERT_FALSE(viewsc::Reports().empty());
  EXPECT_EQ(viewsc::Reports().back().first.rfind("Error saving Tuning ", 0), 0u);
  EXPECT_EQ(viewsc::Reports().back().second, 2);
  EXPECT_EQ(Tarvelo::TuningGetReferencePitch(EditedTuning), 440.0f);
}

QUARLE_BASICS::LocalDateTime FixedClock() { return {2026, 3, 4, 5, 6, 7}; }

TEST_F(TuningEditor, NewTuningsWithinOneSecondGetFilesOfTheirOwn) {
  ASSERT_TRUE(platform::MakeFolder(home + "\\TUNINGS"));
  QUARLE_BASICS::SetLocalClock(FixedClock);
  std::vector<std::string> files;
  for (int i = 0; i < 3; ++i) {
    Send(Find("TNEW"), 8);
    files.push_back(QUARLE_BASICS::DynZStringGet(EditedTuning.FileName));
  }
  QUARLE_BASICS::SetLocalClock(nullptr);
  EXPECT_EQ(files, (std::vector<std::string>{"Tuning 20260304-05h06m07.tng", "Tuning 20260304-05h06m07 (2).tng",
                                             "Tuning 20260304-05h06m07 (3).tng"}));
  for (const std::string& f : files) EXPECT_TRUE(platform::FileExists(home + "\\TUNINGS\\" + f)) << f;
}

TEST_F(TuningEditor, TheNumberBaseIsAppliedOnlyWhenItChanges) {
  const int32_t tstb = Slot(Tarvelo::kUiTSTB);
  Tarvelo::TimeBaseIndex.Store(0);
  C(tstb)->Text.Selected = 0;
  Send(tstb, 8, C(tstb)->X + C(tstb)->W - 2, C(tstb)->Y + 2);
  EXPECT_EQ(Text(tstb), "Base: 3");
  Send(tstb, 8, C(tstb)->X + 2, C(tstb)->Y + 2);
  Send(tstb, 8, C(tstb)->X + 2, C(tstb)->Y + 2);
  EXPECT_EQ(C(tstb)->Text.Selected, 2);
  EXPECT_EQ(Text(tstb), "Base: 5");
  Send(Find("TSS"), 8);
  EXPECT_EQ(Tarvelo::TimeBaseIndex.Load(), 2);
  EXPECT_TRUE(platform::FileExists(home + "\\Settings.txt"));
  std::remove((home + "/Settings.txt").c_str());
  Send(Find("TSS"), 8);  // the same base again: no release, no save
  EXPECT_FALSE(platform::FileExists(home + "\\Settings.txt"));
  C(tstb)->Text.Selected = 1;
  Send(Find("TSC"), 8);
  EXPECT_EQ(C(tstb)->Text.Selected, 2);
  EXPECT_EQ(Text(tstb), "Base: 5");
  Tarvelo::TimeBaseIndex.Store(0);
}

TEST_F(TuningEditor, TheScaleListGivesAMelodyGeneratorItsPattern) {
  for (int32_t i = 1; i < 4; ++i)
    Tarvelo::TuningAddScalePattern(ActiveTuning, uint64_t{7} << i, "S", 0);
  Tarvelo::ModuleRecord* gen = Make(Tarvelo::kTypeMelodyGenerator, 500, 500);
  ASSERT_NE(gen, nullptr);
  Tarvelo::SelectedModule = gen;
  const int32_t sl = Slot(Tarvelo::kUiSCALELIST);
  C(sl)->Text.Selected = -1;
  C(sl)->Text.FirstVisible = 0;
  const int32_t rowH = static_cast<int32_t>(
      std::nearbyint((C(sl)->H - 6) / static_cast<double>(C(sl)->Text.VisibleRows)));
  Send(sl, 8, C(sl)->X + 20, C(sl)->Y + 3 + 2 * rowH + rowH / 2);
  EXPECT_EQ(C(sl)->Text.Selected, 2);
  EXPECT_EQ(gen->MidiDeviceBinding.Load(), 2);
  Send(sl, 8, C(sl)->X + 20, C(sl)->Y + 3 + 2 * rowH + rowH / 2);
  EXPECT_EQ(C(sl)->Text.Selected, 2);  // a second click keeps the pattern
  EXPECT_EQ(gen->MidiDeviceBinding.Load(), 2);
  Tarvelo::SelectedModule = nullptr;
}

// Every tuning load (the editor's OK, New, a load as the browser makes it)
// brings each Melody Generator's scale pattern within the new tuning's
// patterns, pattern 0 where it is past them, and the scale list shows the
// shown generator's pattern selected.
TEST_F(TuningEditor, ATuningLoadBringsGeneratorPatternsWithinItsPatterns) {
  ASSERT_TRUE(platform::MakeFolder(home + "\\TUNINGS"));
  Tarvelo::ModuleRecord* shown = Make(Tarvelo::kTypeMelodyGenerator, 500, 500);
  Tarvelo::ModuleRecord* other = Make(Tarvelo::kTypeMelodyGenerator, 700, 500);
  ASSERT_NE(shown, nullptr);
  ASSERT_NE(other, nullptr);
  const int32_t sl = Slot(Tarvelo::kUiSCALELIST);
  enum How { kOk, kNew, kBrowser };
  const struct {
    How how;
    int32_t patterns;  // of the tuning loaded
    int32_t expected;
  } rows[] = {{kOk, 1, 0}, {kOk, 5, 0}, {kOk, 6, 5}, {kNew, 1, 0}, {kBrowser, 2, 0}, {kBrowser, 47, 5}};
  for (const auto& row : rows) {
    SCOPED_TRACE(std::to_string(row.how) + " " + std::to_string(row.patterns));
    for (Tarvelo::Tuning* t : {&ActiveTuning, &EditedTuning}) {
      for (int32_t i = t->PatternCount; i < 6; ++i) Tarvelo::TuningAddScalePattern(*t, uint64_t{3} << i, "S", 0);
      t->PatternCount = 6;
    }
    Tarvelo::SelectedModule = shown;
    for (Tarvelo::ModuleRecord* m : {shown, other}) Tarvelo::SetMelodyScalePattern(*m, 5);
    C(sl)->Text.Selected = 5;
    for (int32_t i = EditedTuning.PatternCount; i < row.patterns; ++i)
      Tarvelo::TuningAddScalePattern(EditedTuning, uint64_t{3} << (i % 10), "S", 0);
    EditedTuning.PatternCount = row.patterns;
    if (row.how == kOk) {
      Send(save, 8);
    } else if (row.how == kNew) {
      Send(Find("TNEW"), 8);
    } else {
      {
        platform::MutexGuard a(MT_TUNINGS[Tarvelo::kActiveTuning]);
        Tarvelo::CopyTuning(ActiveTuning, EditedTuning);
      }
      Tarvelo::RefreshTuningPanel();
      Tarvelo::RequestTuningApply();
    }
    ASSERT_EQ(ActiveTuning.PatternCount, row.patterns);
    EXPECT_EQ(Tarvelo::MelodyScalePattern(*shown), row.expected);
    EXPECT_EQ(Tarvelo::MelodyScalePattern(*other), row.expected);
    EXPECT_EQ(C(sl)->Text.Selected, row.expected);
  }
  Tarvelo::SelectedModule = nullptr;
}

// A pattern deleted in the editor takes effect at OK: generators on later
// patterns keep their scale (one place down), one on it takes pattern 0; a
// cancel or a load in between leaves them where they are.
TEST_F(TuningEditor, DeletedPatternsMoveTheGeneratorsOnLaterOnesDownAtOk) {
  ASSERT_TRUE(platform::MakeFolder(home + "\\TUNINGS"));
  SixPatterns();
  Tarvelo::ModuleRecord* a = Make(Tarvelo::kTypeMelodyGenerator, 500, 500);
  Tarvelo::ModuleRecord* b = Make(Tarvelo::kTypeMelodyGenerator, 700, 500);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  Tarvelo::ModuleRecord* gens[] = {a, b, &Tarvelo::ModuleCatalog[Tarvelo::kTypeMelodyGenerator]};
  enum Then { kOk, kCancelThenOk, kLoadThenOk };
  const struct {
    std::vector<int32_t> deleted;  // selected rows, one delete each
    Then then;
    std::vector<int32_t> expected;  // of generators on 1, 3 and 5
  } rows[] = {{{1}, kOk, {0, 2, 4}},        {{3}, kOk, {1, 0, 4}},
              {{2, 2}, kOk, {1, 0, 3}},     {{5, 1}, kOk, {0, 2, 0}},
              {{0}, kOk, {1, 3, 5}},        {{1}, kCancelThenOk, {1, 3, 5}},
              {{1}, kLoadThenOk, {1, 3, 5}}};
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.deleted) + " then " + std::to_string(row.then));
    {
      platform::MutexGuard e(MT_TUNINGS[Tarvelo::kEditedTuning]);
      for (int32_t i = EditedTuning.PatternCount; i < 6; ++i)
        Tarvelo::TuningAddScalePattern(EditedTuning, uint64_t{1} << i, "P", 0);
    }
    Send(save, 8);  // six patterns in use
    ASSERT_EQ(ActiveTuning.PatternCount, 6);
    for (int32_t g = 0; g < 3; ++g) Tarvelo::SetMelodyScalePattern(*gens[g], 2 * g + 1);
    for (const int32_t p : row.deleted) {
      C(list)->Text.Selected = p;
      Send(Find("TNGSS-"), 8);
    }
    if (row.then == kCancelThenOk) {
      Send(cancel, 8);
    } else if (row.then == kLoadThenOk) {  // the tuning in use loaded again
      {
        platform::MutexGuard act(MT_TUNINGS[Tarvelo::kActiveTuning]);
        platform::MutexGuard e(MT_TUNINGS[Tarvelo::kEditedTuning]);
        Tarvelo::CopyTuning(EditedTuning, ActiveTuning);
      }
      Tarvelo::RefreshTuningPanel();
      Tarvelo::RequestTuningApply();
    }
    Send(save, 8);
    for (int32_t g = 0; g < 3; ++g) EXPECT_EQ(Tarvelo::MelodyScalePattern(*gens[g]), row.expected[g]) << g;
  }
  Tarvelo::SetMelodyScalePattern(*gens[2], 0);
}

TEST_F(TuningEditor, LoadingATuningShowsItsReferenceFrequency) {
  // Two tuning files with different references, loaded as the browser and
  // the synth reader do: into the edited tuning, then the panel refreshed.
  const float references[] = {261.63f, 415.3f};
  const char* names[] = {"Low C.tng", "Baroque A.tng"};
  for (int32_t i = 0; i < 2; ++i) {
    Tarvelo::Tuning t;
    Tarvelo::InitTuning(t);
    Tarvelo::TuningSetReferencePitch(t, references[i]);
    QUARLE_BASICS::DynZStringAssign(t.Folder, home);
    QUARLE_BASICS::DynZStringAssign(t.FileName, names[i]);
    ASSERT_EQ(Tarvelo::SaveTuning(t), 0);
    Tarvelo::FreeTuning(t);
  }
  const int32_t field = Find("FAV_RF");
  ASSERT_GT(field, 0);
  ASSERT_EQ(C(field)->UserPointer, &Tarvelo::ReferenceFrequencyValue);
  for (int32_t i : {0, 1, 0}) {
    SCOPED_TRACE(names[i]);
    {
      platform::MutexGuard g(MT_TUNINGS[Tarvelo::kEditedTuning]);
      ASSERT_EQ(Tarvelo::LoadTuning(EditedTuning, home, names[i]), 0);
    }
    Tarvelo::RefreshTuningPanel();
    EXPECT_EQ(Text(Slot(Tarvelo::kUiTNGNAME)), names[i]);
    EXPECT_NEAR(Tarvelo::ReferenceFrequencyValue.Base.value, references[i], 0.01);
    EXPECT_NE(std::string(Tarvelo::ReferenceFrequencyValue.Text).find(i == 0 ? "261" : "415"), std::string::npos)
        << Tarvelo::ReferenceFrequencyValue.Text;
  }
}

}  // namespace
