// The dialog box protocol (texts, widths, the answer event, a replaced owner,
// withdrawal) and the browser helpers: the file browser on a folder with a
// file selected, the list on view, and scrolling a block into the plane.
#include "app/state/dialogs.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "app/startup.h"
#include "app/state/module_controls.h"
#include "basics/listings.h"
#include "module_ui_fixture.h"
#include "visuals/fonts.h"
#include "visuals/text.h"

namespace moduleui {
namespace {

using namespace Tarvelo;
namespace fs = std::filesystem;

class DialogsTest : public ModuleUiTest {
 protected:
  void SetUp() override {
    ModuleUiTest::SetUp();
    db_ = Slot(kUiDB);
    owner_ = Slot(kUiPLAY);
    other_ = Slot(kUiMFP);
  }
  void TearDown() override {
    QUARLE_BASICS::DirListFree(BrowserListing);
    if (!cwd_.empty()) fs::current_path(cwd_);
    if (!dir_.empty()) fs::remove_all(dir_);
    ModuleUiTest::TearDown();
  }
  static void ExpectClick(const CommandMessage& m, int32_t target, int32_t source) {
    EXPECT_EQ(m.type, 100u);
    EXPECT_EQ(static_cast<int32_t>(m.arg2), target);
    EXPECT_EQ(static_cast<int32_t>(m.arg1), source);
    EXPECT_EQ(m.arg5, 8u);
  }
  int32_t db_ = 0, owner_ = 0, other_ = 0;
  fs::path dir_, cwd_;
};

TEST_F(DialogsTest, QuestionWithoutEditField) {
  ASSERT_EQ(OpenDialog(owner_, "Really?", 0, "kept", 1, 2, 3), 0);
  EXPECT_EQ(DialogOwner, owner_);
  EXPECT_EQ(DialogContext[0], 1);
  EXPECT_EQ(DialogContext[2], 3);
  EXPECT_TRUE(Shown(db_));
  EXPECT_FALSE(Shown(Slot(kUiCTRL_INFO)));
  EXPECT_FALSE(Shown(Slot(kUiMB)));
  EXPECT_EQ(Text(db_ + 1), "  Really?");
  EXPECT_EQ(C(db_ + 1)->W, 2 * C(db_ + 2)->W);
  EXPECT_FALSE(Shown(db_ + 2));
  EXPECT_EQ(Text(db_ + 2), "kept");
  EXPECT_FALSE(Disabled(db_ + 3));
  EXPECT_FALSE(Disabled(db_ + 4));
  EXPECT_TRUE(Drain().empty());

  // The owner asking again changes nothing, not even the text.
  ASSERT_EQ(OpenDialog(owner_, "Other text", -1, "x", 0, 0, 0), 0);
  EXPECT_EQ(Text(db_ + 1), "  Really?");
  EXPECT_EQ(DialogContext[0], 1);

  ASSERT_EQ(AnswerDialog(db_ + 3, -1), 0);
  EXPECT_EQ(DialogOwner, 0);
  EXPECT_EQ(DialogAnswer, -1);
  EXPECT_EQ(DialogAnswered, -1);
  EXPECT_FALSE(Shown(db_));
  EXPECT_TRUE(Shown(Slot(kUiCTRL_INFO)));
  EXPECT_TRUE(Disabled(db_ + 3));
  EXPECT_TRUE(Disabled(db_ + 4));
  EXPECT_EQ(V::ActiveEditField(), V::DefaultKeyTarget);
  const std::vector<CommandMessage> posted = Drain();
  ASSERT_EQ(posted.size(), 1u);
  ExpectClick(posted[0], owner_, db_ + 3);
}

// A question takes the fullest of its forms that its box shows whole, beside
// the edit line or across the box (twice the room); with none, the last. The
// edit line shows the end of its text, where the caret stands.
TEST_F(DialogsTest, AQuestionTakesItsFullestFormThatFitsWhole) {
  const int32_t size = C(db_ + 1)->Text.TextSize;
  const auto longest = [&](int32_t room) {
    std::string run;
    while (V::TextWidth("  " + run + "W", &V::TextFont, size) <= room) run += "W";
    return run;
  };
  const int32_t beside = C(db_ + 2)->W - 3 * V::BorderWidth - 1, across = 2 * C(db_ + 2)->W - 3 * V::BorderWidth - 1;
  if (V::TextWidth("  WWWW", &V::TextFont, size) <= 1) GTEST_SKIP() << "no font measures";
  const std::string wide = longest(across), narrow = longest(beside);
  ASSERT_GT(wide.size(), narrow.size());
  EXPECT_EQ(DialogQuestionThatFits({wide, narrow, "W"}, -1), narrow);
  EXPECT_EQ(DialogQuestionThatFits({wide, narrow, "W"}, 0), wide);
  EXPECT_EQ(DialogQuestionThatFits({wide + "W", wide + "WW"}, 0), wide + "WW");

  const std::string path = "\\home\\someone\\Tarvelo\\SYNTHS\\" + wide + "\\mine (2).tarvelo";
  ASSERT_EQ(OpenDialog(owner_, "Save?", -1, path, 0, 0, 0), 0);
  const V::TextField& t = C(db_ + 2)->Text;
  EXPECT_EQ(t.FitCount, static_cast<int32_t>(path.size()));
  EXPECT_GT(t.EditPair[0], 0);
  EXPECT_LE(t.EditPair[0], static_cast<int32_t>(path.rfind('\\') + 1));
  ASSERT_EQ(CloseDialog(), 0);
}

// A question in pieces shows each for its ticks of the system bar, then the
// next, the first again after the last; an answer or another question ends
// the turning.
TEST_F(DialogsTest, AQuestionInPiecesTurnsThemInTheBox) {
  ASSERT_EQ(OpenDialogInPages(owner_, {"(1/3) one", "(2/3) two", "(3/3) three"}, {2.0, 0.4, 1.0}), 0);
  EXPECT_TRUE(Shown(db_));
  std::vector<std::string> seen = {Text(db_ + 1)};
  for (int32_t tick = 0; tick < 6; ++tick) {
    TurnDialogPage();
    seen.push_back(Text(db_ + 1));
  }
  const std::vector<std::string> expected = {"  (1/3) one",   "  (1/3) one", "  (2/3) two", "  (3/3) three",
                                             "  (1/3) one", "  (1/3) one", "  (2/3) two"};
  EXPECT_EQ(seen, expected);
  // Another question takes the box: its text stays.
  ASSERT_EQ(OpenDialog(other_, "Really?", 0, "", 0, 0, 0), 0);
  Drain();
  EXPECT_FALSE(TurnDialogPage());
  EXPECT_FALSE(TurnDialogPage());
  EXPECT_EQ(Text(db_ + 1), "  Really?");
  ASSERT_EQ(AnswerDialog(db_ + 3, -1), 0);
  Drain();
  ASSERT_EQ(OpenDialogInPages(owner_, {"a", "b"}, {1.0, 1.0}), 0);
  ASSERT_EQ(AnswerDialog(db_ + 3, -1), 0);
  Drain();
  EXPECT_FALSE(TurnDialogPage());
}

TEST_F(DialogsTest, EditFieldTakesTheKeys) {
  ASSERT_EQ(OpenDialog(owner_, "Enter a new name: ", -1, "Old", 1, 5, -1), 0);
  EXPECT_EQ(C(db_ + 1)->W, C(db_ + 2)->W);
  EXPECT_TRUE(Shown(db_ + 2));
  EXPECT_EQ(V::ActiveEditField(), db_ + 2);
  EXPECT_EQ(Text(db_ + 2), "Old");
  ASSERT_EQ(CloseDialog(), 0);
  EXPECT_EQ(DialogOwner, 0);
  EXPECT_FALSE(Shown(db_));
  EXPECT_TRUE(Disabled(db_ + 3));
  EXPECT_EQ(V::ActiveEditField(), V::DefaultKeyTarget);
  EXPECT_EQ(DialogAnswered, 0);
  EXPECT_TRUE(Drain().empty());
}

TEST_F(DialogsTest, AnotherOwnerFirstAnswersTheFirstNo) {
  ASSERT_EQ(OpenDialog(owner_, "First?", 0, "", 0, 0, 0), 0);
  ASSERT_EQ(OpenDialog(other_, "Second?", 0, "", 7, 0, 0), 0);
  EXPECT_EQ(DialogAnswer, 0);
  EXPECT_EQ(DialogAnswered, -1);
  EXPECT_EQ(DialogOwner, other_);
  EXPECT_EQ(DialogContext[0], 7);
  EXPECT_EQ(Text(db_ + 1), "  Second?");
  const std::vector<CommandMessage> posted = Drain();
  ASSERT_EQ(posted.size(), 1u);
  ExpectClick(posted[0], owner_, db_);
}

TEST_F(DialogsTest, BrowseFolderSelectsTheNamedFile) {
  cwd_ = fs::current_path();
  dir_ = fs::temp_directory_path() / ("tarvelo_dialogs_" + std::to_string(::getpid()));
  fs::create_directories(dir_);
  for (const char* name : {"a.txt", "b.wav", "c.tarvelo"}) std::ofstream(dir_ / name) << "x";
  S(kUiFB)->Text.Reversed = 0;
  C(Slot(kUiFILES))->Text.Reversed = -1;
  C(Slot(kUiLSORDER) + 3)->State.Disabled = -1;
  V::ControlSetVisible(S(kUiMCC), -1);

  const int32_t found = BrowseFolder(platform::FromOsPath(dir_.string()), "b.wav");
  ASSERT_GE(found, 0);
  EXPECT_EQ(QUARLE_BASICS::DirListName(BrowserListing, static_cast<uint32_t>(found)), "b.wav");
  EXPECT_EQ(C(Slot(kUiFILES))->Text.Selected, found);
  EXPECT_EQ(C(Slot(kUiFILES))->Text.Mark, -1);
  const int32_t tabs = Slot(kUiTABMSG);
  for (int32_t i = 0; i < 5; ++i) EXPECT_EQ(C(tabs + i)->State.On, i == 1 ? -1 : 0) << i;
  EXPECT_TRUE(Shown(Slot(kUiFB)));
  for (int32_t slot : {kUiMSGB, kUiLIB_MODULES, kUiLIB_SAMPLES, kUiMCC}) EXPECT_FALSE(Shown(Slot(slot)));
  EXPECT_FALSE(Disabled(Slot(kUiLSORDER) + 3));
  EXPECT_EQ(S(kUiLSORDER)->Text.Selected, 0);  // the file list runs newest first
  EXPECT_EQ(GetActiveBrowserList(), Slot(kUiFILES));

  EXPECT_LT(SelectBrowserFile("missing.wav"), 0);
  EXPECT_EQ(C(Slot(kUiFILES))->Text.Selected, -1);
  // A name's spaces are its own: " b.wav " is another file's name.
  EXPECT_LT(SelectBrowserFile(" b.wav "), 0);
}

TEST_F(DialogsTest, ActiveBrowserListFollowsThePane) {
  auto show = [](int32_t id, bool on) { V::ControlSetVisible(C(id), on ? -1 : 0); };
  const int32_t msgs = Slot(kUiMSGS), refm = Slot(kUiREFM), devices = Slot(kUiMIDIDEVS);
  EXPECT_EQ(GetActiveBrowserList(), msgs);
  show(msgs + 1, true);
  EXPECT_EQ(GetActiveBrowserList(), msgs + 1);
  show(Slot(kUiMSGB), false);
  show(Slot(kUiLIB_MODULES), true);
  EXPECT_EQ(GetActiveBrowserList(), refm);
  show(refm + 1, true);
  EXPECT_EQ(GetActiveBrowserList(), refm + 1);
  show(Slot(kUiLIB_MODULES), false);
  show(Slot(kUiLIB_SAMPLES), true);
  EXPECT_EQ(GetActiveBrowserList(), Slot(kUiSAM_LIBRARY));
  show(Slot(kUiLIB_SAMPLES), false);
  EXPECT_EQ(GetActiveBrowserList(), 0);  // the MIDI page's lists are hidden with it
  show(Slot(kUiMCC), true);
  EXPECT_EQ(GetActiveBrowserList(), devices);
  show(devices, false);
  EXPECT_EQ(GetActiveBrowserList(), devices + 1);
}

TEST_F(DialogsTest, ScrollToModuleCorrectsOneAxisPerCall) {
  ModuleRecord* m = nullptr;
  ASSERT_EQ(AddModule(kTypeAdsr, true, &m), 0);
  const V::ControlRecord* plane = C(Plane());
  const int32_t x = plane->X + plane->W + 40, y = plane->Y + plane->H + 60;
  ASSERT_GT(CreateModuleControls(m, x, y), 0);
  V::ControlRecord* box = C(static_cast<int32_t>(m->BoxControl.Load()));
  ScrollToModule(0);
  std::vector<CommandMessage> posted = Drain();
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].arg5, 16u);
  EXPECT_EQ(posted[0].single1, 0.0f);
  EXPECT_EQ(posted[0].single2, static_cast<float>(plane->Y - y + plane->H - box->H));
  // The plane moved the box up; the horizontal correction comes next.
  V::ControlSetY(box, box->Y + static_cast<int32_t>(posted[0].single2));
  ScrollToModule(0);
  posted = Drain();
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].single1, static_cast<float>(plane->X - x + plane->W - box->W));
  EXPECT_EQ(posted[0].single2, 0.0f);
  // In view, past the list or without a block: nothing.
  V::ControlSetX(box, plane->X + 10);
  ScrollToModule(0);
  ScrollToModule(1);
  ScrollToModule(-1);
  EXPECT_TRUE(Drain().empty());
}

// A box under the strip drawn over the plane goes clear of it by the smallest
// move (down, or aside when shorter); one clear of it stays.
TEST_F(DialogsTest, ScrollToModuleClearsTheStripOverThePlane) {
  ModuleRecord* m = nullptr;
  ASSERT_EQ(AddModule(kTypeAdsr, true, &m), 0);
  PlaneRect plane;
  std::vector<PlaneRect> covers;  // the strip alone
  ASSERT_TRUE(PlaneOpenArea(plane, covers) && covers.size() == 1u);
  const PlaneRect strip = covers[0];
  const int32_t w = C(static_cast<int32_t>(ModuleCatalog[kTypeAdsr].BoxControl.Load()))->W, under = strip.Y + strip.H;
  ASSERT_GT(CreateModuleControls(m, strip.X + 40, plane.Y), 0);
  V::ControlRecord* box = C(static_cast<int32_t>(m->BoxControl.Load()));
  const struct { int32_t x, y, dx, dy; } rows[] = {
      {strip.X + 40, plane.Y, 0, under - plane.Y},            // under the switch: down
      {strip.X - w + 4, plane.Y + 2, -4, 0},                  // its corner: aside
      {strip.X + 40, plane.Y - 30, 0, under - plane.Y + 30},  // above the plane too
      {strip.X - w, plane.Y, 0, 0},                           // beside it: stays
      {strip.X + 40, under, 0, 0},                            // under it: stays
  };
  for (const auto& r : rows) {
    V::ControlSetX(box, r.x), V::ControlSetY(box, r.y);
    ScrollToModule(0);
    std::vector<float> moved;
    for (const CommandMessage& p : Drain()) moved.insert(moved.end(), {p.single1, p.single2});
    EXPECT_EQ(moved, (r.dx || r.dy ? std::vector<float>{float(r.dx), float(r.dy)} : std::vector<float>{}))
        << r.x << "," << r.y;
  }
}

}  // namespace
}  // namespace moduleui
