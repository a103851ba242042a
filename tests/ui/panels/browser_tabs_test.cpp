// The browser tabs and the file browser: groups and buttons per tab, the file
// and session listings, entering folders, up, home, refresh and the drives.
#include <fstream>

#include "app/state/module_page.h"
#include "app/state/settings.h"
#include "panels_b_fixture.h"
#include "platform/events.h"
#include "platform/folders.h"
#include "platform/sdl.h"
#include "visuals/event_loop.h"

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
    fs::create_directories(Home() / "sub");
    std::ofstream(Home() / "top.txt") << "x";
    std::ofstream(Home() / "SYNTHS" / "a.tarvelo") << "z";
    std::ofstream(Home() / "SYNTHS" / "b.txt") << "z";
  }
  int32_t Tab(int32_t tag) const { return tag == 5 ? Slot(kUiTABSES) : tab_ + tag; }
  static fs::path Cwd() { return fs::current_path(); }
  static int32_t IndexOf(const std::string& name) {
    for (int32_t i = 0; i < QUARLE_BASICS::DirListCount(BrowserListing); ++i)
      if (QUARLE_BASICS::DirListName(BrowserListing, i) == name) return i;
    return -1;
  }
  int32_t tab_ = 0, files_ = 0, order_ = 0;
};

TEST_F(BrowserTabsTest, EachTabShowsItsGroupAndItsButtons) {
  const int32_t groups[5] = {Slot(kUiMSGB), Slot(kUiFB), Slot(kUiLIB_MODULES),
                             Slot(kUiLIB_SAMPLES), Slot(kUiMCC)};
  const int32_t groupOf[6] = {0, 1, 2, 3, 4, 1};
  for (int32_t tag = 0; tag < 6; ++tag) {
    Press(OnBrowserTab, Tab(tag));
    EXPECT_EQ(BrowserTab, tag);
    for (int32_t k = 0; k < 6; ++k) EXPECT_EQ(On(Tab(k)), k == tag ? -1 : 0) << tag;
    for (int32_t g = 0; g < 5; ++g) EXPECT_EQ(Shown(groups[g]), g == groupOf[tag] ? -1 : 0) << tag;
    const bool named = tag == 1 || tag == 3 || tag == 5;
    EXPECT_EQ(Disabled(order_ + 1), named ? 0 : -1) << tag;   // rename
    EXPECT_EQ(Disabled(order_ + 3), tag == 0 ? -1 : 0) << tag;  // delete, no module
    EXPECT_EQ(Disabled(order_ + 5), tag == 0 || tag == 4 ? -1 : 0) << tag;  // load
  }
  // Delete has nothing to act on among the messages, whatever is selected.
  SelectedModule = Make(kTypeOscillator);
  Press(OnBrowserTab, tab_);
  EXPECT_EQ(Disabled(order_ + 3), -1);
}

TEST_F(BrowserTabsTest, SessionTabShowsSynthFilesUntilTheFileTabListsAllAgain) {
  SessionFolder = platform::FromOsPath((Home() / "SYNTHS").string());
  SessionFile = "a.tarvelo";
  Press(OnBrowserTab, Tab(5));
  EXPECT_EQ(Cwd(), Home() / "SYNTHS");
  ASSERT_EQ(QUARLE_BASICS::DirListCount(BrowserListing), 1);
  EXPECT_EQ(Field(files_).Selected, 0);
  Click(OnBrowserUp, tab_);  // the synth mask stays
  EXPECT_EQ(IndexOf("top.txt"), -1);
  EXPECT_GE(IndexOf("sub"), 0);
  Press(OnBrowserTab, Tab(1));
  EXPECT_GE(IndexOf("top.txt"), 0);
}

TEST_F(BrowserTabsTest, FolderRowsAreEnteredFileRowsOnlySelected) {
  Press(OnBrowserTab, Tab(1));
  const int32_t count = QUARLE_BASICS::DirListCount(BrowserListing);
  ASSERT_GE(Field(files_).VisibleRows, count);
  ClickRow(OnFileList, files_, count - 1 - IndexOf("top.txt"));  // reversed list
  EXPECT_EQ(Field(files_).Selected, IndexOf("top.txt"));
  EXPECT_EQ(Cwd(), Home());
  ClickRow(OnFileList, files_, count - 1 - IndexOf("sub"));
  EXPECT_EQ(Cwd(), Home() / "sub");
  EXPECT_EQ(Field(files_).Selected, -1);
  EXPECT_EQ(QUARLE_BASICS::DirListCount(BrowserListing), 0);
  // A folder that went away: the folder stays and is listed again.
  Click(OnBrowserUp, files_);
  Field(files_).Selected = IndexOf("sub");
  fs::remove_all(Home() / "sub");
  Send(OnFileList, V::kEventKey, 0, 0, files_);
  EXPECT_EQ(Cwd(), Home());
  EXPECT_EQ(IndexOf("sub"), -1);
}

// A double-click on a folder row, through the event loop: its first click
// enters the folder, its second lands on the new listing and chooses nothing
// there (the folder's row number chooses nothing in another folder). A click
// of its own on the same place then chooses the row.
TEST_F(BrowserTabsTest, ADoubleClickIntoAFolderLeavesNoRowChosen) {
  for (const char* name : {"a.txt", "b.txt", "c.txt", "d.txt", "e.txt", "f.txt", "g.txt", "h.txt"})
    std::ofstream(Home() / "sub" / name) << name;
  Press(OnBrowserTab, Tab(1));
  V::UpdateControl(Tab(1), 0);
  const int32_t closeTarget = V::CloseRequestTarget;
  const int64_t saving = V::CpuSaving;
  V::CloseRequestTarget = 0;  // the window's close ends the loop at once
  V::CpuSaving = 0;
  Drain(0);
  const int32_t count = QUARLE_BASICS::DirListCount(BrowserListing);
  const int32_t sub = IndexOf("sub");
  ASSERT_GE(sub, 0);
  const int32_t row = Field(files_).Reversed ? count - 1 - sub : sub;
  ASSERT_LT(row, 8);  // a row the new listing has too
  const int32_t x = C(files_)->X + 10, y = RowY(files_, row);
  // The presses as SDL reports them (its click count), through the window's translation.
  const auto sdl = [](const SDL_Event& e) {
    platform::WindowEvent w;
    if (platform::TranslateSdlEventForTest(e, w)) platform::WindowEventInject(w);
  };
  const auto run = [&](std::initializer_list<uint8_t> clicks) {
    SDL_Event e{};
    e.motion = {SDL_MOUSEMOTION, 0, 0, 0, 0, x, y, 0, 0};
    sdl(e);
    for (const uint8_t n : clicks)
      for (const uint32_t type : {SDL_MOUSEBUTTONDOWN, SDL_MOUSEBUTTONUP}) {
        e = SDL_Event{};
        e.button.type = type;
        e.button.button = SDL_BUTTON_LEFT;
        e.button.state = type == SDL_MOUSEBUTTONDOWN ? SDL_PRESSED : SDL_RELEASED;
        e.button.clicks = n;
        e.button.x = x;
        e.button.y = y;
        sdl(e);
      }
    platform::WindowEventInject(platform::PlainEvent(platform::kWindowClose));
    EXPECT_EQ(V::GuiMessageLoop(), 0);
    Drain(0);
  };
  run({1, 2});
  EXPECT_EQ(Cwd(), Home() / "sub");
  EXPECT_EQ(QUARLE_BASICS::DirListCount(BrowserListing), 8);
  EXPECT_EQ(Field(files_).Selected, -1);
  run({1});
  EXPECT_GE(Field(files_).Selected, 0);
  V::CloseRequestTarget = closeTarget;
  V::CpuSaving = saving;
}

TEST_F(BrowserTabsTest, HomeRefreshAndTheDriveStrip) {
  const int32_t bdrv = Slot(kUiBDRV);
  fs::current_path(Home() / "sub");
  Click(OnBrowserHome, tab_);
  EXPECT_EQ(Cwd(), Home());
  EXPECT_EQ(Field(bdrv).Selected, QUARLE_BASICS::CurrentDriveIndex(Drives));
  Drives->count = 0;
  Click(OnBrowserRefresh, tab_);
  EXPECT_GE(Drives->count, 1);

  const V::ControlRecord* c = C(bdrv);
  const int32_t inner = c->W - 2 * V::BorderWidth;
  Drives->count = 2;
  Drives->codes[0] = 1;
  Drives->codes[1] = 26;  // no such drive
  Send(OnBrowserDrives, V::kEventHover, c->X + 1, c->Y + 2, bdrv);
  EXPECT_EQ(Field(bdrv).Mark, 1);
  EXPECT_EQ(Tip(bdrv), "Drive #1: " + platform::DriveRoot(1));
  // A drive that cannot be entered: probed again, the folder stays.
  Send(OnBrowserDrives, V::kEventClick, c->X + inner - 1, c->Y + 2, bdrv);
  EXPECT_EQ(Cwd(), Home());
  EXPECT_EQ(Field(bdrv).Selected, QUARLE_BASICS::CurrentDriveIndex(Drives));
  Drives->count = 1;
  Send(OnBrowserDrives, V::kEventClick, c->X + 5, c->Y + 2, bdrv);
  EXPECT_EQ(Cwd(), fs::path("/"));
}

}  // namespace
}  // namespace panelsb
