// The browser tabs and the file browser: which group and buttons each tab
// shows, the file and session listings, entering folders, up, home, refresh
// and the drive strip.
#include <fstream>

#include "app/state/module_page.h"
#include "app/state/settings.h"
#include "panels_b_fixture.h"
#include "platform/folders.h"

namespace panelsb {
namespace {

using namespace Tarvelo;

class BrowserTabsTest : public PanelsBTest {
 protected:
  void SetUp() override {
    PanelsBTest::SetUp();
    tab_ = Slot(kUiTABMSG);
    files_ = Slot(kUiFILES);
    order_ = Slot(kUiLSORDER);
    session_ = Slot(kUiTABSES);
    ASSERT_EQ(Id(tab_ + 4), "TABMCC");
    ASSERT_EQ(Id(session_), "TABSES");
    ASSERT_EQ(Id(order_ + 3), "LIDEL");
    fs::create_directories(Home() / "sub");
    std::ofstream(Home() / "top.txt") << "x";
    std::ofstream(Home() / "sub" / "inner.txt") << "y";
    std::ofstream(Home() / "SYNTHS" / "a.tarvelo") << "z";
    std::ofstream(Home() / "SYNTHS" / "b.txt") << "z";
  }
  std::string Cwd() const { return fs::current_path().string(); }
  int32_t IndexOf(const std::string& name) const {
    for (int32_t i = 0; i < QUARLE_BASICS::DirListCount(BrowserListing); ++i)
      if (QUARLE_BASICS::DirListName(BrowserListing, i) == name) return i;
    return -1;
  }
  // The display position of an item of the reversed file list.
  int32_t PositionOf(int32_t item) const { return QUARLE_BASICS::DirListCount(BrowserListing) - 1 - item; }
  int32_t Tab(int32_t tag) const { return tag == 5 ? session_ : tab_ + tag; }
  int32_t tab_ = 0, files_ = 0, order_ = 0, session_ = 0;
};

TEST_F(BrowserTabsTest, EachTabShowsItsGroupAndItsButtons) {
  const int32_t groups[5] = {Slot(kUiMSGB), Slot(kUiFB), Slot(kUiLIB_MODULES),
                             Slot(kUiLIB_SAMPLES), Slot(kUiMCC)};
  // Tag: shown group, rename/copy enabled, load enabled.
  struct Row {
    int32_t tag, group;
    bool named, load;
  };
  const Row rows[6] = {{0, 0, false, false}, {1, 1, true, true},  {2, 2, false, true},
                       {3, 3, true, true},   {4, 4, false, false}, {5, 1, true, true}};
  for (const Row& r : rows) {
    Press(OnBrowserTab, Tab(r.tag));
    EXPECT_EQ(BrowserTab, r.tag);
    for (int32_t k = 0; k < 6; ++k) EXPECT_EQ(On(Tab(k)), k == r.tag ? -1 : 0) << r.tag;
    for (int32_t g = 0; g < 5; ++g) EXPECT_EQ(Shown(groups[g]), g == r.group ? -1 : 0) << r.tag;
    EXPECT_EQ(Disabled(order_ + 1), r.named ? 0 : -1) << r.tag;
    EXPECT_EQ(Disabled(order_ + 2), r.named ? 0 : -1) << r.tag;
    EXPECT_EQ(Disabled(order_ + 3), r.tag == 0 ? -1 : 0) << r.tag;  // no module selected
    EXPECT_EQ(Disabled(order_ + 4), 0) << r.tag;
    EXPECT_EQ(Disabled(order_ + 5), r.load ? 0 : -1) << r.tag;
  }
  // With a module selected the delete button stays enabled on the message view.
  SelectedModule = Make(kTypeOscillator);
  Press(OnBrowserTab, tab_);
  EXPECT_EQ(Disabled(order_ + 3), 0);
  // The order switch shows the visible list's order (FILES starts reversed).
  Press(OnBrowserTab, tab_ + 1);
  EXPECT_EQ(Field(order_).Selected, 0);
  Field(Slot(kUiREFM)).Reversed = 0;
  Press(OnBrowserTab, tab_ + 2);
  EXPECT_EQ(Field(order_).Selected, 1);
  // Only a press acts.
  Click(OnBrowserTab, tab_);
  EXPECT_EQ(BrowserTab, 2);
}

TEST_F(BrowserTabsTest, SessionTabShowsSynthFilesUntilTheFileTabListsAllAgain) {
  SessionFolder = platform::FromOsPath((Home() / "SYNTHS").string());
  SessionFile = "a.tarvelo";
  Press(OnBrowserTab, Tab(5));
  EXPECT_EQ(fs::path(Cwd()), Home() / "SYNTHS");
  ASSERT_EQ(QUARLE_BASICS::DirListCount(BrowserListing), 1);
  EXPECT_EQ(QUARLE_BASICS::DirListName(BrowserListing, 0), "a.tarvelo");
  EXPECT_EQ(Field(files_).Selected, 0);
  // Up keeps the synth mask; the file tab brings every file back.
  Click(OnBrowserUp, tab_);
  EXPECT_EQ(IndexOf("top.txt"), -1);
  EXPECT_GE(IndexOf("sub"), 0);
  Click(OnBrowserHome, tab_);
  Press(OnBrowserTab, tab_ + 1);
  EXPECT_GE(IndexOf("top.txt"), 0);
}

TEST_F(BrowserTabsTest, FolderRowsAreEnteredFileRowsOnlySelected) {
  Press(OnBrowserTab, tab_ + 1);
  const int32_t count = QUARLE_BASICS::DirListCount(BrowserListing);
  ASSERT_GE(Field(files_).VisibleRows, count);
  const int32_t top = IndexOf("top.txt");
  ASSERT_GE(top, 0);
  ClickRow(OnFileList, files_, PositionOf(top));
  EXPECT_EQ(Field(files_).Selected, top);
  EXPECT_EQ(fs::path(Cwd()), Home());

  const int32_t sub = IndexOf("sub");
  Field(files_).FirstVisible = 0;
  ClickRow(OnFileList, files_, PositionOf(sub));
  EXPECT_EQ(fs::path(Cwd()), Home() / "sub");
  EXPECT_EQ(Field(files_).Selected, -1);
  EXPECT_EQ(Field(files_).Mark, -1);
  EXPECT_EQ(Field(files_).FirstVisible, 0);
  ASSERT_EQ(QUARLE_BASICS::DirListCount(BrowserListing), 1);
  EXPECT_EQ(QUARLE_BASICS::DirListName(BrowserListing, 0), "inner.txt");

  // Up, then any key on a selected folder enters it too.
  Click(OnBrowserUp, files_);
  EXPECT_EQ(fs::path(Cwd()), Home());
  Field(files_).Selected = IndexOf("sub");
  V::KeyInput.Spare[1] = 0;
  V::KeyInput.Spare[2] = 'a';
  Send(OnFileList, V::kEventKey, 0, 0, files_);
  EXPECT_EQ(fs::path(Cwd()), Home() / "sub");

  // A folder that went away leaves the current folder, listed again.
  Click(OnBrowserUp, files_);
  Field(files_).Selected = IndexOf("sub");
  fs::remove_all(Home() / "sub");
  Send(OnFileList, V::kEventKey, 0, 0, files_);
  EXPECT_EQ(fs::path(Cwd()), Home());
  EXPECT_EQ(IndexOf("sub"), -1);
}

TEST_F(BrowserTabsTest, HomeAndRefreshSelectTheCurrentDrive) {
  const int32_t bdrv = Slot(kUiBDRV);
  fs::current_path(Home() / "sub");
  Click(OnBrowserHome, tab_);
  EXPECT_EQ(fs::path(Cwd()), Home());
  EXPECT_EQ(Field(bdrv).Selected, QUARLE_BASICS::CurrentDriveIndex(Drives));
  Field(bdrv).Selected = 9;
  Drives->count = 0;
  Click(OnBrowserRefresh, tab_);
  EXPECT_GE(Drives->count, 1);
  EXPECT_EQ(fs::path(Cwd()), Home());
  EXPECT_EQ(Field(bdrv).Selected, QUARLE_BASICS::CurrentDriveIndex(Drives));
  EXPECT_GE(Field(bdrv).Selected, 1);
}

TEST_F(BrowserTabsTest, DriveStripMapsThePointerToDrives) {
  const int32_t bdrv = Slot(kUiBDRV);
  const V::ControlRecord* c = C(bdrv);
  const int32_t inner = c->W - 2 * V::BorderWidth;
  Drives->count = 2;
  Drives->codes[0] = 1;
  Drives->codes[1] = 26;  // no such drive: it cannot be entered
  Send(OnBrowserDrives, V::kEventHover, c->X + 1, c->Y + 2, bdrv);
  EXPECT_EQ(Field(bdrv).Mark, 1);
  EXPECT_EQ(Tip(bdrv), "Drive #1: " + platform::DriveRoot(1));
  Send(OnBrowserDrives, V::kEventHover, c->X + inner - 1, c->Y + 2, bdrv);
  EXPECT_EQ(Field(bdrv).Mark, 2);
  // The frame hovers nothing.
  Send(OnBrowserDrives, V::kEventHover, c->X, c->Y + 2, bdrv);
  EXPECT_EQ(Field(bdrv).Mark, -1);
  EXPECT_EQ(Tip(bdrv), "Available drives. Click to open.");
  Send(OnBrowserDrives, V::kEventHover, c->X + inner, c->Y + 2, bdrv);
  EXPECT_EQ(Field(bdrv).Mark, -1);

  // A drive that cannot be entered: probed again, the folder stays.
  Send(OnBrowserDrives, V::kEventClick, c->X + inner - 1, c->Y + 2, bdrv);
  EXPECT_EQ(fs::path(Cwd()), Home());
  EXPECT_EQ(Field(bdrv).Selected, QUARLE_BASICS::CurrentDriveIndex(Drives));
  EXPECT_NE(Drives->codes[Drives->count - 1], 26u);

  // Drive 1 is the root folder.
  Drives->count = 1;
  Drives->codes[0] = 1;
  Send(OnBrowserDrives, V::kEventClick, c->X + 5, c->Y + 2, bdrv);
  EXPECT_EQ(Field(bdrv).Selected, 1);
  EXPECT_EQ(fs::path(Cwd()), fs::path("/"));
  EXPECT_EQ(Field(files_).Selected, -1);
  // A leave clears the hovered drive.
  Field(bdrv).Mark = 1;
  Send(OnBrowserDrives, V::kEventLeave, 0, 0, bdrv);
  EXPECT_EQ(Field(bdrv).Mark, -1);
}

}  // namespace
}  // namespace panelsb
