// The browser's list buttons on files in a temporary data folder, on the
// sample library and on the module lists: order, rename with its extension
// rule and the session and library following, copies to free "#n" names,
// deletes with and without confirmation, saves, loads and the new synth.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <atomic>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <thread>
#include <vector>

#include "app/documents/doc_io.h"
#include "app/documents/synth_file.h"
#include "app/documents/wave_convert.h"
#include "app/state/dialogs.h"
#include "app/state/history.h"
#include "app/state/module_page.h"
#include "basics/timetext.h"
#include "engine/command.h"
#include "engine/midimap.h"
#include "engine/render.h"
#include "engine/tuning.h"
#include "engine/tuningfile.h"
#include "audio/sync_count.h"
#include "panels_a_fixture.h"
#include "platform/clipboard.h"
#include "platform/events.h"
#include "platform/saver.h"
#include "platform/sdl.h"
#include "ui/panels/dialog.h"
#include "ui/panels/filter_panel.h"
#include "ui/panels/keyboards.h"
#include "ui/panels/list_buttons.h"
#include "ui/panels/midi_mapping.h"
#include "ui/panels/module_panel.h"
#include "ui/panels/sample_panel.h"
#include "ui/panels/sysbar.h"
#include "ui/panels/window_buttons.h"
#include "ui/views/synth_plane.h"
#include "ui/views/dialog_drawing.h"
#include "visuals/text.h"
#include "ui/views/tuning_editor.h"

namespace panelsa {
namespace {

using namespace Tarvelo;

QUARLE_BASICS::LocalDateTime FixedClock() { return {2026, 1, 2, 3, 4, 5}; }
// The interface's seconds, which only a test moves.
double g_guiNow = 1000.0;
double GuiNow() { return g_guiNow; }

void WriteFile(const fs::path& p, const std::string& bytes) {
  std::ofstream out(p, std::ios::binary);
  out << bytes;
}
std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A 16-bit mono PCM WAV file of n silent frames at 48 kHz.
std::string WavBytes(uint32_t n) {
  auto u32 = [](uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [](uint16_t v) { return std::string(reinterpret_cast<const char*>(&v), 2); };
  return "RIFF" + u32(36 + 2 * n) + "WAVEfmt " + u32(16) + u16(1) + u16(1) + u32(48000) +
         u32(96000) + u16(2) + u16(16) + "data" + u32(2 * n) + std::string(2 * n, '\0');
}

class ListButtonsTest : public PanelsATest {
 protected:
  void SetUp() override {
    PanelsATest::SetUp();
    Settings.AutoSave = 0;
    fs::create_directories(Home() / "AUDIO" / "CONVERTED");
    order_ = Slot(kUiLSORDER);
    files_ = Slot(kUiFILES);
    db_ = Slot(kUiDB);
    QUARLE_BASICS::SetLocalClock(FixedClock);
    g_guiNow = 1000.0;
    V::SetGuiClock(GuiNow);
  }
  void TearDown() override {
    V::SetGuiClock(nullptr);
    QUARLE_BASICS::SetLocalClock(nullptr);
    PanelsATest::TearDown();
  }
  // Only one group of the browser pane shown.
  void ShowOnly(int32_t slot) {
    for (int32_t s : {kUiMSGB, kUiFB, kUiLIB_MODULES, kUiLIB_SAMPLES, kUiMIDIDEVS, kUiMCC})
      SetVisibleWord(Slot(s), s == slot ? -1 : 0);
  }
  // The home folder listed and shown, with a file selected by name ("" none).
  void Browse(const std::string& name = "") {
    ShowOnly(kUiFB);
    QUARLE_BASICS::ListFolder(BrowserListing, Folder(), "*.*", 0, 0);
    C(files_)->Text.Selected = -1;
    C(files_)->Text.Reversed = 0;
    if (!name.empty()) SelectBrowserFile(name);
  }
  static std::string Folder() { return platform::FromOsPath(Home().string()); }
  void Answer(bool yes) {
    Click(yes ? OnDialogOk : OnDialogCancel, db_ + (yes ? 3 : 4));
    for (const CommandMessage& m : Drain(0))
      if (m.type == 100 && C(m.arg2) && C(m.arg2)->EventCallback)
        C(m.arg2)->EventCallback(m.arg5, 0, 0, m.arg2, m.arg1);
  }
  int32_t Button(int32_t offset) { return order_ + offset; }
  std::string Status() { return Text(Slot(kUiMB)); }
  WaveLibraryEntry* LibraryEntry(const std::string& file) {
    EXPECT_EQ(WaveLibraryListReserve(SampleLibrary), 0);
    WaveLibraryEntry* e = WaveLibraryEntryNew();
    QUARLE_BASICS::DynZStringAssign(e->Folder, Folder());
    QUARLE_BASICS::DynZStringAssign(e->File, file);
    e->ListIndex = SampleLibrary.header.count;
    WaveLibraryListCommit(SampleLibrary, e);
    return e;
  }

  int32_t order_ = 0, files_ = 0, db_ = 0;
};

TEST_F(ListButtonsTest, OrderReversesTheVisibleList) {
  Browse();
  Click(OnListOrder, order_);
  EXPECT_EQ(C(files_)->Text.Reversed, -1);
  EXPECT_EQ(C(order_)->Text.Selected, 0);
  Click(OnListOrder, order_);
  EXPECT_EQ(C(files_)->Text.Reversed, 0);
  EXPECT_EQ(C(order_)->Text.Selected, 1);
}

TEST_F(ListButtonsTest, RenameAddsTheExtensionAndTheLibraryFollows) {
  WriteFile(Home() / "Song.wav", "x");
  WaveLibraryEntry* e = LibraryEntry("Song.wav");
  const int32_t rename = Button(1);
  Browse("Song.wav");
  Click(OnListRename, rename);
  EXPECT_EQ(DialogOwner, rename);
  EXPECT_EQ(Text(db_ + 2), "Song.wav");
  EXPECT_EQ(On(rename), -1);
  SetTextOf(db_ + 2, "New");
  Answer(true);
  EXPECT_TRUE(fs::exists(Home() / "New.wav"));
  EXPECT_FALSE(fs::exists(Home() / "Song.wav"));
  EXPECT_EQ(QUARLE_BASICS::DynZStringGet(e->File), "New.wav");
  EXPECT_EQ(LibraryChanged, -1);
  EXPECT_EQ(QUARLE_BASICS::DirListName(BrowserListing, C(files_)->Text.Selected), "New.wav");
  EXPECT_EQ(On(rename), 0);

  // A name with a separator is refused.
  Browse("New.wav");
  Click(OnListRename, rename);
  SetTextOf(db_ + 2, "..\\elsewhere");
  Answer(true);
  EXPECT_TRUE(fs::exists(Home() / "New.wav"));
  EXPECT_TRUE(HasReport("Renaming error: Incorrect Function Parameter", 2));
}

// A name typed in any script (SDL's text input, through the window's
// translation and the event loop) or pasted from the system's clipboard is,
// on the disk, the name typed; Backspace takes a whole character.
TEST_F(ListButtonsTest, ANameTypedOrPastedInAnyScriptIsTheNameOnTheDisk) {
  const struct {
    const char* utf8;  // typed (an input method's text), pasted, or typed with a slip
    char how;          // 't' typed, 'p' pasted, 'b' typed, Backspace, its last character again
    const char* disk;
  } rows[] = {
      {"\xD0\x9F\xD0\xB5\xD1\x81\xD0\xBD\xD1\x8F" "1", 't', "\xD0\x9F\xD0\xB5\xD1\x81\xD0\xBD\xD1\x8F" "1.wav"},
      {"\xD0\x9F\xD0\xB5\xD1\x81\xD0\xBD\xD1\x8F" "2", 'p', "\xD0\x9F\xD0\xB5\xD1\x81\xD0\xBD\xD1\x8F" "2.wav"},
      {"\xCE\xA4\xCF\x81\xCE\xB1\xCE\xB3\xCE\xBF\xCF\x8D\xCE\xB4\xCE\xB9", 't', "\xCE\xA4\xCF\x81\xCE\xB1\xCE\xB3\xCE\xBF\xCF\x8D\xCE\xB4\xCE\xB9.wav"},
      {"\xE6\xAD\x8C \xF0\x9F\x8E\xB5", 'p', "\xE6\xAD\x8C \xF0\x9F\x8E\xB5.wav"},
      {"\xF0\x9D\x84\x9E\xE9\x9F\xB3", 'b', "\xF0\x9D\x84\x9E\xE9\x9F\xB3.wav"},
      {"\xD8\xA3\xD8\xBA\xD9\x86\xD9\x8A\xD8\xA9", 't', "\xD8\xA3\xD8\xBA\xD9\x86\xD9\x8A\xD8\xA9.wav"},
      {"\xD7\xA9\xD7\x99\xD7\xA8 caf\xC3\xA9", 'p', "\xD7\xA9\xD7\x99\xD7\xA8 caf\xC3\xA9.wav"},
  };
  const int32_t rename = Button(1), edit = db_ + 2;
  const int32_t quit = V::CloseRequestTarget;
  V::CloseRequestTarget = 0;  // the window's close ends the loop at once
  const auto loop = [] {
    platform::WindowEventInject(platform::PlainEvent(platform::kWindowClose));
    EXPECT_EQ(V::GuiMessageLoop(), 0);
  };
  const auto type = [](const std::string& utf8) {
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    ASSERT_EQ(SDL_InitSubSystem(SDL_INIT_EVENTS), 0) << SDL_GetError();
    SDL_Event e{};
    e.type = SDL_TEXTINPUT;
    std::snprintf(e.text.text, sizeof e.text.text, "%s", utf8.c_str());
    // The translation gives the first character and queues the rest behind it.
    std::vector<platform::WindowEvent> presses(1);
    if (!platform::TranslateSdlEventForTest(e, presses[0])) presses.clear();
    for (platform::WindowEvent w; platform::WindowEventPoll(w);) presses.push_back(w);
    for (const platform::WindowEvent& w : presses) platform::WindowEventInject(w);
    SDL_QuitSubSystem(SDL_INIT_EVENTS);
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.disk);
    WriteFile(Home() / "Song.wav", r.disk);
    Browse("Song.wav");
    Click(OnListRename, rename);
    ASSERT_EQ(V::ActiveEditField(), edit);
    SetTextOf(edit, "");
    if (r.how == 'p') {
      platform::ClipboardSetUtf8(r.utf8);
      platform::WindowEventInject(platform::KeyPressEvent(47, 22));  // Ctrl-V
    } else {
      type(r.utf8);
    }
    if (r.how == 'b') {
      platform::WindowEventInject(platform::KeyPressEvent(14, 8));  // Backspace
      const std::u32string typed = platform::TypedCharacters(r.utf8);
      platform::WindowEventInject(platform::TypedKeyEvent(0, typed.back()));
    }
    loop();
    Answer(true);

    EXPECT_EQ(ReadFile(Home() / r.disk), r.disk);
    EXPECT_FALSE(fs::exists(Home() / "Song.wav"));
  }
  V::CloseRequestTarget = quit;
}

TEST_F(ListButtonsTest, RenameNeverReplacesAnotherFile) {
  WriteFile(Home() / "a.wav", "A");
  WriteFile(Home() / "b.wav", "B");
  const int32_t rename = Button(1);
  const auto renameTo = [&](const std::string& typed) {
    Browse("a.wav");
    Click(OnListRename, rename);
    SetTextOf(db_ + 2, typed);
    Answer(true);
  };
  renameTo("b");
  EXPECT_TRUE(HasReport("Renaming error: b.wav - File Access Failed", 2));
  // Control characters, also those of the code page's upper half typed by
  // their bytes or as a byte the code page leaves undefined.
  for (const char* typed : {".", "..", "c\td", "e\x7F", "f\xA4[C2]\xA4[85]", "g\x81"}) {
    Reports.clear();
    renameTo(typed);
    EXPECT_TRUE(HasReport("Renaming error: Incorrect Function Parameter", 2)) << typed;
  }
  EXPECT_EQ(ReadFile(Home() / "a.wav"), "A");
  EXPECT_EQ(ReadFile(Home() / "b.wav"), "B");

  // A library sample is not renamed onto another file either, nor is its entry.
  WaveLibraryEntry* e = LibraryEntry("a.wav");
  ShowOnly(kUiLIB_SAMPLES);
  C(Slot(kUiSAM_LIBRARY))->Text.Selected = 0;
  Reports.clear();
  Click(OnListRename, rename);
  SetTextOf(db_ + 2, "b.wav");
  Answer(true);
  EXPECT_TRUE(HasReport("Renaming error: b.wav - File Access Failed", 2));
  EXPECT_EQ(QUARLE_BASICS::DynZStringGet(e->File), "a.wav");
  EXPECT_EQ(ReadFile(Home() / "b.wav"), "B");
}

// A name keeps its spaces: one left as it is stays the same file, and typed
// spaces at either end are part of the new name.
TEST_F(ListButtonsTest, RenameKeepsTheSpacesOfANameWhole) {
  const int32_t rename = Button(1);
  const struct {
    const char* old;
    const char* typed;
    const char* renamed;
  } rows[] = {
      {"  lead.wav", "  lead.wav", "  lead.wav"},
      {"Song.wav", " New ", " New .wav"},
      {"pad.wav", "pad.wav  ", "pad.wav  "},
  };
  for (const auto& row : rows) {
    WriteFile(Home() / row.old, row.old);
    Browse(row.old);
    ASSERT_EQ(QUARLE_BASICS::DirListName(BrowserListing, C(files_)->Text.Selected), row.old);
    Click(OnListRename, rename);
    SetTextOf(db_ + 2, row.typed);
    Answer(true);
    EXPECT_EQ(ReadFile(Home() / row.renamed), row.old) << row.typed;
    EXPECT_EQ(QUARLE_BASICS::DirListName(BrowserListing, C(files_)->Text.Selected), row.renamed) << row.typed;
  }
  EXPECT_FALSE(fs::exists(Home() / "lead.wav"));
}

TEST_F(ListButtonsTest, RenamingTheSessionFileRenamesTheSession) {
  WriteFile(Home() / "My.tarvelo", "x");
  SessionFolder = Folder();
  SessionFile = "My.tarvelo";
  SessionTitle = "My";
  const int32_t rename = Button(1);
  Browse("My.tarvelo");
  Click(OnListRename, rename);
  SetTextOf(db_ + 2, "Yours");
  Answer(true);
  EXPECT_EQ(SessionFile, "Yours.tarvelo");
  EXPECT_EQ(SessionTitle, "Yours");
  EXPECT_EQ(Text(Slot(kUiTABSES)), " Yours");
  EXPECT_TRUE(fs::exists(Home() / "Settings.txt"));
}

TEST_F(ListButtonsTest, RenamingALibrarySampleRenamesItsFileFirst) {
  WriteFile(Home() / "kick.wav", "x");
  WaveLibraryEntry* kept = LibraryEntry("kick.wav");
  WaveLibraryEntry* gone = LibraryEntry("missing.wav");
  ShowOnly(kUiLIB_SAMPLES);
  const int32_t sam = Slot(kUiSAM_LIBRARY), rename = Button(1);
  C(sam)->Text.Selected = 0;
  Click(OnListRename, rename);
  SetTextOf(db_ + 2, "snare");
  Answer(true);
  EXPECT_TRUE(fs::exists(Home() / "snare.wav"));
  EXPECT_EQ(QUARLE_BASICS::DynZStringGet(kept->File), "snare.wav");
  // Without its file the entry keeps its name.
  C(sam)->Text.Selected = 1;
  Click(OnListRename, rename);
  SetTextOf(db_ + 2, "other");
  Answer(true);
  EXPECT_EQ(QUARLE_BASICS::DynZStringGet(gone->File), "missing.wav");
  EXPECT_TRUE(HasReport("Renaming error: File Not Found", 2));
}

TEST_F(ListButtonsTest, CopiesTakeTheFirstFreeNumber) {
  WriteFile(Home() / "kick.wav", "k");
  WriteFile(Home() / "kick#2.wav", "k2");
  WriteFile(Home() / "my#song.wav", "m");
  const int32_t copy = Button(2);
  Browse("kick.wav");
  Click(OnListCopy, copy);
  EXPECT_TRUE(fs::exists(Home() / "kick#3.wav"));
  EXPECT_EQ(QUARLE_BASICS::DirListName(BrowserListing, C(files_)->Text.Selected), "kick#3.wav");
  Browse("my#song.wav");
  Click(OnListCopy, copy);
  // The '#' of "my#song" is part of the name, not a copy number.
  EXPECT_TRUE(fs::exists(Home() / "my#song#2.wav"));
  EXPECT_FALSE(fs::exists(Home() / "my#2.wav"));
  // Nothing on view and no module: told, nothing copied.
  ShowOnly(-1);
  Click(OnListCopy, copy);
  EXPECT_EQ(Status(), "No visible list from which to copy.");
  // With a module selected and no list the module itself is copied.
  ModuleRecord* m = Make(kTypeOscillator);
  SelectedModule = m;
  const int32_t before = ModuleList.count;
  Click(OnListCopy, copy);
  EXPECT_EQ(ModuleList.count, before + 1);
  EXPECT_NE(SelectedModule, m);
  EXPECT_EQ(SelectedModule->Type, kTypeOscillator);
}

TEST_F(ListButtonsTest, DeletesAskForFilesAndActOnModules) {
  WriteFile(Home() / "old.wav", "x");
  const int32_t del = Button(3);
  Browse("old.wav");
  Click(OnListDelete, del);
  EXPECT_EQ(DialogOwner, del);
  EXPECT_EQ(Text(db_ + 1), "  Confirm permanent deletion of file: old.wav");
  EXPECT_EQ(V::IsDisabled(&C(del)->State), -1);
  Answer(false);
  EXPECT_TRUE(fs::exists(Home() / "old.wav"));
  EXPECT_EQ(V::IsDisabled(&C(del)->State), 0);
  Click(OnListDelete, del);
  Answer(true);
  EXPECT_FALSE(fs::exists(Home() / "old.wav"));
  EXPECT_EQ(Status(), "The file has been deleted.");
  EXPECT_EQ(On(del), 0);

  // No file row: nothing, even with a module selected; on the created
  // modules with no row the selected live module goes.
  Browse();
  Click(OnListDelete, del);
  EXPECT_EQ(Status(), "No item is selected.");
  ModuleRecord* m = Make(kTypeOscillator);
  SelectModule(m, -1);
  ASSERT_EQ(Text(Slot(kUiMTLBL)), "Oscillator 1");
  Click(OnListDelete, del);
  EXPECT_EQ(Status(), "No item is selected.");
  EXPECT_EQ(ModuleList.count, 1);
  ShowOnly(kUiLIB_MODULES);
  SetVisibleWord(Slot(kUiREFM) + 1, -1);
  C(Slot(kUiREFM) + 1)->Text.Selected = -1;
  Click(OnListDelete, del);
  EXPECT_EQ(Status(), "Module deleted.");
  EXPECT_EQ(ModuleList.count, 0);
  EXPECT_EQ(SelectedModule, nullptr);
  EXPECT_EQ(Text(Slot(kUiMTLBL)), "[NO ACTIVE SELECTION]");

  // The catalog without a row or module asks to reset every master preset.
  SetVisibleWord(Slot(kUiREFM) + 1, 0);
  C(Slot(kUiREFM))->Text.Selected = -1;
  Click(OnListDelete, del);
  EXPECT_EQ(Text(db_ + 1), "  Confirm reset of all master presets?");
  Answer(true);
  EXPECT_EQ(Status(), "All master presets have been reset.");
}

// With no row chosen, Copy, Delete (Del) and Load (Ctrl+L) take the selected
// module for one only where the list on view shows modules: on the files, the
// samples, the messages or the MIDI lists they say so and change nothing. A
// row that no button acts on is no reason to take the module either.
TEST_F(ListButtonsTest, WithNoRowTheSelectedModuleStandsInOnlyOnAListOfModules) {
  WriteFile(Home() / "kept.wav", WavBytes(48));
  LibraryEntry("kept.wav");
  struct Case {
    const char* what;
    int32_t shown;   // the group on view; LIBM: the created modules
    int32_t row;     // the row chosen in the list on view, -1 none
    int32_t button;  // 2 copy, 3 delete, 5 load
    const char* status;
    int32_t modules;  // listed afterwards
  };
  constexpr int32_t kLibm = -1;
  const Case cases[] = {
      {"files, copy", kUiFB, -1, 2, "No selected item to copy.", 1},
      {"files, delete", kUiFB, -1, 3, "No item is selected.", 1},
      {"files, load", kUiFB, -1, 5, "No selected item to load.", 1},
      {"samples, copy", kUiLIB_SAMPLES, -1, 2, "No selected item to copy.", 1},
      {"samples, delete", kUiLIB_SAMPLES, -1, 3, "No item is selected.", 1},
      {"samples, load", kUiLIB_SAMPLES, -1, 5, "No selected item to load.", 1},
      {"messages, copy", kUiMSGB, -1, 2, "No selected item to copy.", 1},
      {"messages, delete", kUiMSGB, -1, 3, "No item is selected.", 1},
      {"messages, load", kUiMSGB, -1, 5, "No selected item to load.", 1},
      {"a message row, delete", kUiMSGB, 0, 3, "Nothing to delete", 1},
      {"MIDI controls, copy", kUiMCC, -1, 2, "No selected item to copy.", 1},
      {"MIDI controls, load", kUiMCC, -1, 5, "No selected item to load.", 1},
      // The lists of modules keep the selected module as their item.
      {"created modules, delete", kLibm, -1, 3, "Module deleted.", 0},
      {"created modules, load", kLibm, -1, 5, "", 2},
      {"catalog, copy", kUiLIB_MODULES, -1, 2, "", 2},
  };
  const V::EventCallbackFn buttons[6] = {nullptr, nullptr, OnListCopy, OnListDelete, nullptr, OnListLoad};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    while (ModuleList.count > 0) ASSERT_EQ(DeleteModule(ModuleList.entries[0]), 0);
    SelectModule(Make(kTypeOscillator), -1);
    Browse();
    ShowOnly(c.shown == kLibm ? kUiLIB_MODULES : c.shown);
    SetVisibleWord(Slot(kUiREFM) + 1, c.shown == kLibm ? -1 : 0);
    const int32_t list = PanelActiveBrowserList();
    ASSERT_GT(list, 0);
    C(list)->Text.Selected = c.row;
    SetTextOf(Slot(kUiMB), "");
    Click(buttons[c.button], Button(c.button));
    EXPECT_EQ(Status(), c.status);
    EXPECT_EQ(ModuleList.count, c.modules);
    EXPECT_NE(DialogOwner, Button(3));
    EXPECT_TRUE(fs::exists(Home() / "kept.wav"));
    EXPECT_EQ(SampleLibrary.header.count, 1);
    EXPECT_EQ(SynthSamples.header.count, 0);
  }
}

// A Catalog row's master preset reset while the render plays a module whose
// port reads the template's value (global): the template is rewritten between
// two frames, never while a frame reads it.
TEST_F(ListButtonsTest, ACatalogRowsResetWhilePlayingWaitsForAFrameBoundary) {
  ModuleRecord* m = Make(kTypeOscillator);
  ModuleRecord& templ = ModuleCatalog[kTypeOscillator];
  m->Params[1].Global.Store(-1);
  ModuleLinkInput(*m, 1, nullptr, &templ);
  ASSERT_EQ(m->PortSources[1].Load(), templ.PortValueModules[1]);
  PlaybackActive = 0;
  RequestGraphRebuild(0, 0, m);
  ResetEngineCommand(EngineCommand);  // no rebuild left for the first frame
  PlaybackActive = -1;
  ShowOnly(kUiLIB_MODULES);
  int32_t row = 0;
  while (row < kModuleTypeCount - 1 && ModulePaletteOrder[row] != kTypeOscillator) ++row;
  C(Slot(kUiREFM))->Text.Selected = row;

  PlayingRender audio;
  const int32_t del = Button(3);
  for (int32_t reset = 0; reset < 20; ++reset) {
    Click(OnListDelete, del);
    EXPECT_EQ(Status(), "Master preset of Oscillator reset.") << reset;
  }
  // A new synth resets every master preset while the render may still play
  // the modules it let go.
  OnNewSynth(V::kEventClick, 0, 0, Slot(kUiSNEW), 0);
  EXPECT_EQ(ModuleList.count, 0);
  audio.Stop();
  PlaybackActive = 0;
  EXPECT_GT(audio.frames.load(), 0);
}

// A render stuck inside a frame never reaches the boundary a change of what
// it reads waits for: the page's channel links and input domain and the
// Catalog's resets change nothing then (not half of it) and say why.
TEST_F(ListButtonsTest, ChangesTheRenderNeverPausesForAreNotMadeAndSaySo) {
  ModuleRecord* m = Make(kTypeOscillator);
  ModuleRecord& templ = ModuleCatalog[kTypeOscillator];
  ModuleRecord* value = m->PortValueModules[0];
  ASSERT_NE(value, nullptr);
  ShowOnly(kUiLIB_MODULES);
  int32_t row = 0;
  while (row < kModuleTypeCount - 1 && ModulePaletteOrder[row] != kTypeOscillator) ++row;
  const int32_t del = Button(3);
  struct Case {
    const char* what;
    std::function<void()> act;
  };
  const Case cases[] = {
      {"every parameter's channels linked",
       [&] {
         SelectedModule = m;
         m->SelectedParam.Store(-1);
         Click(OnLinkSpatialChannels, Slot(kUiPSCL));
       }},
      {"one parameter's channels linked",
       [&] {
         SelectedModule = m;
         m->SelectedParam.Store(0);
         Click(OnLinkSpatialChannels, Slot(kUiPSCL));
       }},
      {"the input domain",
       [&] {
         SelectedModule = m;
         m->SelectedParam.Store(0);
         Click(OnInputDomain, Slot(kUiPDOM));
       }},
      {"a Catalog row's master preset reset",
       [&] {
         SelectedModule = nullptr;
         C(Slot(kUiREFM))->Text.Selected = row;
         Click(OnListDelete, del);
       }},
      {"every master preset reset",
       [&] {
         SelectedModule = nullptr;
         C(Slot(kUiREFM))->Text.Selected = -1;
         Click(OnListDelete, del);
         Answer(true);
       }},
  };
  const double wait = FrameHoldWait;
  FrameHoldWait = 0.01;
  for (const Case& c : cases) {
    templ.Params[0].Value.Store(0.123f);
    const int64_t both = m->Params[0].WriteBothChannels, swap = m->Params[0].SideSwap;
    const int32_t side = m->Params[0].OutputSide.Load();
    const int32_t channels = m->ChannelsProcessed.Load(), valueChannels = value->ChannelsProcessed.Load();
    PlaybackActive = -1;
    RenderBusy = 1;
    c.act();
    RenderBusy = 0;
    PlaybackActive = 0;
    EXPECT_EQ(Status(), "Waiting for audio thread.") << c.what;
    EXPECT_EQ(templ.Params[0].Value.Load(), 0.123f) << c.what;
    EXPECT_EQ(m->Params[0].WriteBothChannels, both) << c.what;
    EXPECT_EQ(m->Params[0].SideSwap, swap) << c.what;
    EXPECT_EQ(m->Params[0].OutputSide.Load(), side) << c.what;
    EXPECT_EQ(m->ChannelsProcessed.Load(), channels) << c.what;
    EXPECT_EQ(value->ChannelsProcessed.Load(), valueChannels) << c.what;
  }
  FrameHoldWait = wait;
  // With nothing rendering the same reset is made.
  Click(OnListDelete, del);
  Answer(true);
  EXPECT_EQ(Status(), "All master presets have been reset.");
  EXPECT_NE(templ.Params[0].Value.Load(), 0.123f);
}

// A controller learned with a Catalog row selected names that template; the
// render takes its moves at frame boundaries while New, or a load with master
// presets, rewrites every template. The rewrite waits for a frame boundary:
// a move lands before it or after it, never inside it. Once the moves stop,
// New leaves the template as its master preset.
TEST_F(ListButtonsTest, TemplatesAreRewrittenBetweenFramesWhileTheirControllerMoves) {
  Make(kTypeOscillator);
  ASSERT_EQ(SaveSession(Folder(), "presets.tarvelo"), 0);
  ModuleRecord& templ = ModuleCatalog[kTypeOscillator];
  // The program's waits for the render (a frame hold, a command taken) only
  // bound a hang here: on a busy machine, under ThreadSanitizer most of all,
  // the render may take longer than the program's seconds to answer, and the
  // load then refuses as a stuck render makes it.
  struct KeptWaits {
    double hold = FrameHoldWait, slot = CommandSlotWait, live = ModuleLiveWait;
    ~KeptWaits() {  // once nothing renders
      FrameHoldWait = hold;
      CommandSlotWait = slot;
      ModuleLiveWait = live;
    }
  } keptWaits;
  FrameHoldWait = CommandSlotWait = ModuleLiveWait = 30.0;
  PlaybackActive = -1;
  PlayingRender audio;
  // The MIDI thread's side: the learned controller turned on and on.
  std::atomic<bool> moving{true};
  std::thread controller([&] {
    for (int32_t k = 0; moving.load(); k = (k + 1) % 128) {
      MoveParameterOrQueue(&templ, 0, static_cast<float>(k) / 127.0f, 0);
      if (k % 8 == 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  });
  // Joined on every way out (a failed assertion's too), before the render stops.
  struct Joined {
    std::atomic<bool>& moving;
    std::thread& thread;
    ~Joined() {
      moving.store(false);
      if (thread.joinable()) thread.join();
    }
  } joined{moving, controller};
  const fs::path synths = Home() / "SYNTHS";
  struct Case {
    const char* name;
    bool load;
  };
  for (const Case c : {Case{"new", false}, Case{"load", true}}) {
    SCOPED_TRACE(c.name);
    for (int32_t round = 0; round < 60; ++round) {
      if (c.load) {
        ASSERT_EQ(LoadSynth(Folder(), "presets.tarvelo"), 0) << round;
      } else {
        OnNewSynth(V::kEventClick, 0, 0, Slot(kUiSNEW), 0);
        fs::remove(synths / SessionFile);
      }
    }
  }
  moving.store(false);
  controller.join();
  for (int32_t i = 0; i < 30000 && ControllerMovesPending(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_FALSE(ControllerMovesPending());
  OnNewSynth(V::kEventClick, 0, 0, Slot(kUiSNEW), 0);
  audio.Stop();
  PlaybackActive = 0;
  EXPECT_GT(audio.frames.load(), 0);
  EXPECT_EQ(templ.Params[0].Value.Load(), MasterPresets[kTypeOscillator].Params[0].Value);
}

// The map deleted is the one the question named, and so are the keyboards let
// go, whichever device is selected when the answer comes.
TEST_F(ListButtonsTest, DeletingAMidiMapUnbindsOnlyItsOwnKeyboards) {
  for (MidiMap& map : MidiMaps) map.DeviceName[0] = '\0';
  std::strcpy(MidiMaps[2].DeviceName, "Keys");
  std::strcpy(MidiMaps[5].DeviceName, "Pads");
  ModuleRecord* onKeys = Make(kTypeKeyboard);
  ModuleRecord* onPads = Make(kTypeKeyboard);
  onKeys->MidiDeviceBinding.Store(3);  // slot 2
  onPads->MidiDeviceBinding.Store(6);  // slot 5
  ShowOnly(kUiMCC);
  C(Slot(kUiMIDIDEVS) + 1)->Text.Selected = -1;  // MIDICC: no controller row
  Panel.SelectedMidiMap = [] { return SelectedMidiMap.Load(); };
  SelectedMidiMap.Store(2);
  const int32_t del = Button(3);
  Click(OnListDelete, del);
  ASSERT_EQ(Text(db_ + 1), "  Confirm permanent deletion of MIDI Map for device: Keys");
  SelectedMidiMap.Store(5);  // another device chosen before answering
  Answer(true);
  EXPECT_EQ(onKeys->MidiDeviceBinding.Load(), 0);
  EXPECT_EQ(onPads->MidiDeviceBinding.Load(), 6);
  EXPECT_STREQ(MidiMaps[5].DeviceName, "Pads");
  Panel.SelectedMidiMap = nullptr;
}

TEST_F(ListButtonsTest, SavesOverwriteAfterAskingOrSaveTheSession) {
  WriteFile(Home() / "Old.tarvelo", "x");
  WriteFile(Home() / "drum.wav", "x");
  const int32_t save = Button(4);
  Browse("Old.tarvelo");
  Click(OnListSave, save);
  EXPECT_EQ(Text(db_ + 1), "  Confirm overwriting of: Old.tarvelo ?");
  Answer(false);
  EXPECT_EQ(Status(), "Nothing to save.");
  Click(OnListSave, save);
  Answer(true);
  EXPECT_GT(fs::file_size(Home() / "Old.tarvelo"), 1000u);
  EXPECT_EQ(SessionFile, "Old.tarvelo");
  EXPECT_EQ(SessionFolder, Folder());
  EXPECT_EQ(Status(), "Old.tarvelo has been saved.");

  // A WAV file (or any other list) saves the session to its own file.
  SessionFolder = platform::FromOsPath((Home() / "SYNTHS").string());
  SessionFile = "Own.tarvelo";
  Browse("drum.wav");
  Click(OnListSave, save);
  EXPECT_TRUE(fs::exists(Home() / "SYNTHS" / "Own.tarvelo"));
  // A session folder that cannot be written: the error and the message list.
  SessionFolder = Folder() + "\\drum.wav\\inside";
  Browse("drum.wav");
  Click(OnListSave, save);
  ASSERT_FALSE(Reports.empty());
  EXPECT_EQ(Reports.back().level, 2);
  EXPECT_EQ(Reports.back().text.rfind("Saving error: ", 0), 0u);
}

// The answer writes the file the question named, though the browser went up
// to another folder meanwhile (where a file of that name may stand too).
TEST_F(ListButtonsTest, AnOverwriteAnsweredElsewhereWritesTheFileItNamed) {
  struct Row {
    const char* sub;
    const char* name;
    bool aboveToo;  // a file of that name in the folder gone up to
  };
  const Row rows[] = {{"SYNTHS", "08 Reed Organ.tarvelo", false},
                      {"SYNTHS", "08 Reed Organ.tarvelo", true},
                      {"TUNINGS", "Pure.tng", false}};
  const int32_t save = Button(4);
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.sub) + "\\" + r.name + (r.aboveToo ? ", one above too" : ""));
    const fs::path named = Home() / r.sub / r.name, above = Home() / r.name;
    WriteFile(named, "x");
    fs::remove(above);
    if (r.aboveToo) WriteFile(above, "above");
    ShowOnly(kUiFB);
    QUARLE_BASICS::ListFolder(BrowserListing, Folder() + "\\" + r.sub, "*.*", 0, 0);
    C(files_)->Text.Selected = -1;
    SelectBrowserFile(r.name);
    Click(OnListSave, save);
    Browse();  // Up
    Answer(true);
    EXPECT_GT(fs::file_size(named), 100u);
    if (r.aboveToo)
      EXPECT_TRUE(ReadFile(above) == "above");
    else
      EXPECT_FALSE(fs::exists(above));
    EXPECT_EQ(Status(), std::string(r.name) + " has been saved.");
    EXPECT_EQ(C(files_)->Text.Selected, -1);  // no namesake chosen in the folder on view
  }
  EXPECT_EQ(SessionFolder, Folder() + "\\SYNTHS");
  EXPECT_EQ(SessionFile, "08 Reed Organ.tarvelo");
  EXPECT_EQ(QUARLE_BASICS::DynZStringGet(ActiveTuning.Folder), Folder() + "\\TUNINGS");
}

// A save whose take could not be written says so on the status line, not
// that all was saved; the next save that writes it says plainly it was.
TEST_F(ListButtonsTest, ASaveThatLeftATakeOutSaysWhichAndWhy) {
  ASSERT_EQ(RecordToWaveFile(Folder() + "\\NOWHERE", "Rec1.wav", 0.1f, 1, 48000), 0);
  SynthSamples.entries[0]->State.Store(kWaveIdle);
  SessionFolder = platform::FromOsPath((Home() / "SYNTHS").string());
  SessionFile = "mine.tarvelo";
  ShowOnly(kUiMSGB);  // Ctrl+S with no file chosen: the session
  Click(OnListSave, Button(4));
  ASSERT_TRUE(fs::exists(Home() / "SYNTHS" / "mine.tarvelo"));
  const std::string told = Status();
  const std::string head = "mine.tarvelo has been saved without Rec1.wav: ";
  EXPECT_EQ(told.substr(0, head.size()), head);
  EXPECT_GT(told.size(), head.size());  // and why
  EXPECT_EQ(SynthSamples.header.count, 1);
  EXPECT_EQ(SynthSamples.entries[0]->Saved, 0);
  fs::create_directories(Home() / "NOWHERE");
  Click(OnListSave, Button(4));
  EXPECT_EQ(Status(), "mine.tarvelo has been saved.");
  EXPECT_TRUE(fs::exists(Home() / "NOWHERE" / "Rec1.wav"));

  // A Sample recording as its REC began it: the save says the take is not
  // in the file; once the take ended, the next save holds it.
  ModuleRecord* sample = Make(kTypeSample);
  ASSERT_EQ(RecordToWaveFile(Folder() + "\\NOWHERE", "Rec2.wav", 0.1f, 1, 48000), 0);
  WaveLibraryEntry* take = SynthSamples.entries[1];
  AssignWaveToModule(sample, take, ~uint64_t{0});
  Click(OnListSave, Button(4));
  EXPECT_EQ(Status(),
            "mine.tarvelo has been saved. The take still recording on Sample #1 is not in the file (saved as it "
            "was before the take); save again once it ends.");
  EXPECT_EQ(take->Saved, 0);
  sample->FramesRecorded = 100;
  ASSERT_TRUE(EndRecordings(sample));
  Click(OnListSave, Button(4));
  EXPECT_EQ(Status(), "mine.tarvelo has been saved.");
  EXPECT_TRUE(fs::exists(Home() / "NOWHERE" / "Rec2.wav"));
}

TEST_F(ListButtonsTest, LoadsWalkThroughTheFolderAndReportFailures) {
  WriteFile(Home() / "a.wav", WavBytes(480));
  WriteFile(Home() / "b.wav", WavBytes(480));
  WriteFile(Home() / "bad.tarvelo", "not a synth");
  WriteFile(Home() / "text.txt", "x");
  const int32_t load = Button(5);
  Browse();
  Click(OnListLoad, load);
  EXPECT_EQ(Status(), "No selected item to load.");
  Browse("a.wav");
  Click(OnListLoad, load);
  EXPECT_EQ(Status(), "a.wav is now in the library.");
  EXPECT_EQ(SampleLibrary.header.count, 1);
  EXPECT_EQ(QUARLE_BASICS::DirListName(BrowserListing, C(files_)->Text.Selected), "b.wav");
  // A damaged synth: reported, and the session saved first with auto-save on.
  Settings.AutoSave = -1;
  Browse("bad.tarvelo");
  Click(OnListLoad, load);
  EXPECT_TRUE(HasReport("Loading error: Incompatible file content", 2));
  EXPECT_TRUE(fs::exists(Home() / "SYNTHS" / "Session.tarvelo"));
  // A synth the render (stuck inside a frame) does not let go: the box says why.
  Settings.AutoSave = 0;
  fs::copy_file(Home() / "SYNTHS" / "Session.tarvelo", Home() / "good.tarvelo");
  Browse("good.tarvelo");
  const double slot = CommandSlotWait, hold = FrameHoldWait;
  CommandSlotWait = FrameHoldWait = 0.01;
  PlaybackActive = -1;
  RenderBusy = 1;
  Click(OnListLoad, load);
  RenderBusy = 0;
  PlaybackActive = 0;
  CommandSlotWait = slot;
  FrameHoldWait = hold;
  SettleEngineCommands();
  EXPECT_TRUE(HasReport("Loading error: Waiting for audio thread.", 2));
  // A library sample goes into memory and the Sample master shows.
  ShowOnly(kUiLIB_SAMPLES);
  C(Slot(kUiSAM_LIBRARY))->Text.Selected = 0;
  Click(OnListLoad, load);
  EXPECT_EQ(SynthSamples.header.count, 1);
  EXPECT_EQ(SelectedModule, &ModuleCatalog[kTypeSample]);
}

// A control's window rectangle, joined with everything under it unless `own`.
struct Area {
  int32_t x0, y0, x1, y1;
  bool Meets(const Area& o) const { return x0 < o.x1 && o.x0 < x1 && y0 < o.y1 && o.y0 < y1; }
  bool Within(const Area& o) const { return x0 >= o.x0 && y0 >= o.y0 && x1 <= o.x1 && y1 <= o.y1; }
};
Area AreaOf(int32_t id, bool own = false) {
  const V::ControlRecord* c = V::ControlAt(id);
  Area a{c->X, c->Y, c->X + c->W, c->Y + c->H};
  std::vector<V::ChildRef> kids;
  if (!own) V::LiveChildren(c, kids);
  for (const V::ChildRef& k : kids) {
    const Area b = AreaOf(k.Id);
    a = {std::min(a.x0, b.x0), std::min(a.y0, b.y0), std::max(a.x1, b.x1), std::max(a.y1, b.y1)};
  }
  return a;
}
Area BoxArea(const ModuleRecord* m) { return AreaOf(static_cast<int32_t>(m->BoxControl.Load())); }

// Every type loaded into every demo lands, after the plane's scroll, inside the
// plane, clear of the strip over it and of the other boxes, the synth output in
// view: with the keyboards shown, as a start shows them, and (one type per box
// size, where a box lands depending on its size only) without them.
TEST_F(ListButtonsTest, LoadedModulesLandInTheOpenPlane) {
  ShowOnly(kUiLIB_MODULES);
  const int32_t plane = Window(kWinSYNTH);
  const Area strip = AreaOf(Window(kWinSTB));
  int32_t cases = 0;
  std::array<int32_t, 4> wrong{};  // boxes under the strip, outside the plane, on others; the output gone
  const auto load = [&](bool everyType) {
    const std::vector<ModuleRecord*> synth(ModuleList.entries, ModuleList.entries + ModuleList.count);
    std::set<std::pair<int32_t, int32_t>> sizes;
    for (int32_t row = 0; row < kModuleTypeCount; ++row) {
      const Area a = BoxArea(&ModuleCatalog[ModulePaletteOrder[row]]);
      if (!sizes.insert({a.x1 - a.x0, a.y1 - a.y0}).second && !everyType) continue;
      C(Slot(kUiREFM))->Text.Selected = row;
      Click(OnListLoad, Button(5));
      ModuleRecord* made = nullptr;
      for (int32_t i = 0; i < ModuleList.count; ++i)
        if (std::find(synth.begin(), synth.end(), ModuleList.entries[i]) == synth.end()) made = ModuleList.entries[i];
      ASSERT_NE(made, nullptr) << row;
      // The scroll the load posted, handed to the plane as the event loop would.
      int32_t dx = 0, dy = 0;
      for (const CommandMessage& m : Drain(0))
        if (m.type == 100 && static_cast<int32_t>(m.arg2) == plane && m.arg5 == V::kEventDrag) {
          dx += static_cast<int32_t>(m.single1), dy += static_cast<int32_t>(m.single2);
          OnSynthPlaneMouse(V::kEventDrag, static_cast<int32_t>(m.single1), static_cast<int32_t>(m.single2), plane, plane);
        }
      const Area box = BoxArea(made), view = AreaOf(plane, true);
      ++cases;
      wrong[0] += box.Meets(strip);
      wrong[1] += !box.Within(view);
      for (const ModuleRecord* m : synth) wrong[2] += box.Meets(BoxArea(m));
      wrong[3] += !AreaOf(Slot(kUiSOUT)).Within(view);
      ASSERT_EQ(DeleteModule(made), 0);  // back as the demo was
      if (dx != 0 || dy != 0) OnSynthPlaneMouse(V::kEventDrag, -dx, -dy, plane, plane);
    }
  };
  for (const auto& folder : fs::directory_iterator(fs::path(TARVELO_PROGRAM_DIR) / "SYNTHS"))
    for (const auto& demo : fs::directory_iterator(folder)) {
      SCOPED_TRACE(demo.path().filename());
      ASSERT_EQ(LoadSynth(platform::FromOsPath(folder.path().string()), demo.path().filename().string()), 0);
      Drain(0);
      for (const bool shown : {true, false}) LayoutKeyboardPanel(shown ? -1 : 0), load(shown);
    }
  EXPECT_GE(cases, 8 * kModuleTypeCount);  // the shipped demos, each with every type
  EXPECT_EQ(wrong, (std::array<int32_t, 4>{})) << "of " << cases;
}

TEST_F(ListButtonsTest, ARefusedTuningFileKeepsTheEditorsUnsavedEdits) {
  // Long enough to be read, but its key records end early.
  std::string damaged(40, '\0');
  damaged[4] = 12;
  WriteFile(Home() / "bad.tng", damaged);
  TuningSetReferencePitch(EditedTuning, 432.0f);
  TuningSetNoteName(EditedTuning, 2, "edited");
  EditedTuning.Modified = -1;
  const float active = TuningGetReferencePitch(ActiveTuning);
  Browse("bad.tng");
  Click(OnListLoad, Button(5));
  EXPECT_TRUE(HasReport("Loading error: Incompatible file content", 2));
  EXPECT_EQ(TuningGetReferencePitch(EditedTuning), 432.0f);
  EXPECT_EQ(TuningGetNoteName(EditedTuning, 2), "edited");
  EXPECT_EQ(EditedTuning.Modified, -1);
  EXPECT_EQ(TuningGetReferencePitch(ActiveTuning), active);

  // A good file still replaces both.
  TuningSetReferencePitch(ActiveTuning, 450.0f);
  QUARLE_BASICS::DynZStringAssign(ActiveTuning.Folder, Folder());
  QUARLE_BASICS::DynZStringAssign(ActiveTuning.FileName, "good.tng");
  ASSERT_EQ(SaveTuning(ActiveTuning), 0);
  TuningSetReferencePitch(ActiveTuning, 440.0f);
  Browse("good.tng");
  Click(OnListLoad, Button(5));
  EXPECT_EQ(TuningGetReferencePitch(EditedTuning), 450.0f);
  EXPECT_EQ(TuningGetReferencePitch(ActiveTuning), 450.0f);
  EXPECT_EQ(EditedTuning.Modified, 0);
}

TEST_F(ListButtonsTest, NewSynthStartsAnEmptySavedSession) {
  SelectModule(Make(kTypeOscillator), -1);
  RecordAction(kActionPower, ModuleList.entries[0], -1, nullptr);
  KeyboardStates[0].Load()->LockFlag.Store(-1);
  OnNewSynth(V::kEventClick, 0, 0, Slot(kUiSNEW), 0);
  EXPECT_EQ(ModuleList.count, 0);
  EXPECT_EQ(ActionHistory.count, 0);
  EXPECT_EQ(SessionFile, "NewSynth_20260102-03h04m05.tarvelo");
  EXPECT_TRUE(fs::exists(Home() / "SYNTHS" / SessionFile));
  EXPECT_EQ(Text(Slot(kUiTABSES)), " NewSynth_20260102-03h04m05");
  bool reset = false;
  for (const CommandMessage& m : Drain(0))
    reset |= m.type == 100 && static_cast<int32_t>(m.arg2) == Slot(kUiSTB_CP) && m.arg5 == 8;
  EXPECT_TRUE(reset);
  EXPECT_EQ(On(Slot(kUiKBLOCK)), KeyboardStates[0].Load()->LockFlag.Load());
  EXPECT_EQ(Text(Slot(kUiMTLBL)), "[NO ACTIVE SELECTION]");
  // A second new synth within the same second does not overwrite the first.
  OnNewSynth(V::kEventClick, 0, 0, Slot(kUiSNEW), 0);
  EXPECT_EQ(SessionFile, "NewSynth_20260102-03h04m05 (2).tarvelo");
  EXPECT_TRUE(fs::exists(Home() / "SYNTHS" / "NewSynth_20260102-03h04m05.tarvelo"));
  EXPECT_TRUE(fs::exists(Home() / "SYNTHS" / SessionFile));
}

// The empty synth is the session at once, whatever its first save does: a
// refused write leaves the earlier synth's file as it was, and the next save
// creates the new file rather than putting the empty synth over the old one.
TEST_F(ListButtonsTest, NewWithTheSaveRefusedThenASave) {
  Make(kTypeOscillator);
  const std::string synths = platform::FromOsPath((Home() / "SYNTHS").string());
  ASSERT_EQ(SaveSession(synths, "mine.tarvelo"), 0);
  const std::string mine = ReadFile(Home() / "SYNTHS" / "mine.tarvelo");
  DocumentFailWritesAfter(0);
  OnNewSynth(V::kEventClick, 0, 0, Slot(kUiSNEW), 0);
  DocumentFailWritesAfter(-1);
  EXPECT_EQ(ModuleList.count, 0);
  EXPECT_EQ(SessionFolder, synths);
  EXPECT_EQ(SessionFile, "NewSynth_20260102-03h04m05.tarvelo");
  EXPECT_EQ(Text(Slot(kUiTABSES)), " NewSynth_20260102-03h04m05");
  EXPECT_FALSE(fs::exists(Home() / "SYNTHS" / SessionFile));
  EXPECT_TRUE(ReadFile(Home() / "SYNTHS" / "mine.tarvelo") == mine) << "the earlier synth's file changed";
  // The settings name the new session too, so a restart does not take the
  // empty synth for the old one either.
  EXPECT_NE(ReadFile(Home() / "Settings.txt").find("NewSynth_20260102-03h04m05.tarvelo"), std::string::npos);

  // The save once the disk takes writes (the minute's auto-save, Ctrl+S).
  ASSERT_EQ(SaveSession(SessionFolder, SessionFile), 0);
  EXPECT_TRUE(fs::exists(Home() / "SYNTHS" / "NewSynth_20260102-03h04m05.tarvelo"));
  EXPECT_TRUE(ReadFile(Home() / "SYNTHS" / "mine.tarvelo") == mine) << "the later save went over the earlier synth";
  EXPECT_EQ(SessionFile, "NewSynth_20260102-03h04m05.tarvelo");
}

// Ctrl+S while the disk holds the saver's sync: the click returns, the status
// line does not say "saved" and the file is not there until the sync is done;
// then the outcome says it.
TEST_F(ListButtonsTest, ASaveSaysSavedOnlyOnceItsFileIsOnTheDisk) {
  ASSERT_TRUE(platform::SaverStart());
  SessionFolder = platform::FromOsPath((Home() / "SYNTHS").string());
  SessionFile = "mine.tarvelo";
  ShowOnly(kUiMSGB);
  synccount::Reset();
  synccount::Hold("tarvelo-save");
  Click(OnListSave, Button(4));
  EXPECT_NE(Status(), "mine.tarvelo has been saved.");
  EXPECT_FALSE(fs::exists(Home() / "SYNTHS" / "mine.tarvelo"));
  EXPECT_EQ(synccount::On(synccount::ThreadName()), 0) << "synced on the window's thread";
  synccount::Release();
  ASSERT_TRUE(platform::SaverWaitIdle(30.0));
  EXPECT_EQ(platform::SaverTakeOutcomes(), 1);
  EXPECT_EQ(Status(), "mine.tarvelo has been saved.");
  EXPECT_TRUE(fs::exists(Home() / "SYNTHS" / "mine.tarvelo"));
  EXPECT_EQ(platform::SaverStop(30.0, nullptr), 0);
}

// Every save of a tuning, a sample or a designed filter, and a file's copy, on
// a disk that holds the saver's sync: the click returns with the old file (or none) in place,
// nothing said saved and nothing listed; once the sync is done the outcome
// says it and the file is on the disk.
TEST_F(ListButtonsTest, TuningSampleAndFilterSavesWaitForNoSync) {
  ASSERT_TRUE(platform::SaverStart());
  fs::create_directories(Home() / "FILTERS");
  const std::string tunings = platform::FromOsPath((Home() / "TUNINGS").string());
  const auto named = [](const std::string& folder, const char* file) {
    platform::MutexGuard active(MT_TUNINGS[kActiveTuning]);
    QUARLE_BASICS::DynZStringAssign(ActiveTuning.Folder, folder);
    QUARLE_BASICS::DynZStringAssign(ActiveTuning.FileName, file);
    CopyTuning(EditedTuning, ActiveTuning);
  };
  const struct {
    const char* name;
    std::function<void()> click;
    fs::path file;
    bool old;  // a file there before the save
    const char* said;
    WaveLibraryList* listed;  // gains the saved files
    fs::path second;  // a second save the click made, under a name of its own
    std::function<void(bool onDisk)> also = nullptr;
  } rows[] = {
      {"tuning editor", [&] { named(tunings, "Ed.tng"); Click(OnTuningSave, Named("TNG_SET")); },
       Home() / "TUNINGS" / "Ed.tng", true, "Ed.tng has been saved.", nullptr, {}},
      {"tuning tab", [&] { named(tunings, "Tab.tng"); Press(OnWindowTab, TuningTabId); },
       Home() / "TUNINGS" / "Tab.tng", false, "", nullptr, {}},
      {"list save", [&] {
         Browse("List.tng");
         Click(OnListSave, Button(4));
         Answer(true);
       }, Home() / "List.tng", true, "List.tng has been saved.", nullptr, {}},
      {"sample", [&] {
         ASSERT_EQ(WaveLibraryListReserve(SynthSamples), 0);
         WaveLibraryEntry* e = WaveLibraryEntryNew();
         QUARLE_BASICS::DynZStringAssign(e->Folder, Folder());
         QUARLE_BASICS::DynZStringAssign(e->File, "take.wav");
         QUARLE_AUDIO::SoundBufferSetFormat(&e->Sound, 1, 48000, 32);
         e->Sound.frameCount = 64;
         e->Sound.dataSize = 256;
         e->Sound.samples = static_cast<float*>(std::calloc(64, sizeof(float)));
         e->LoadState = kWaveDataHeld;
         e->State.Store(kWaveIdle);
         WaveLibraryListCommit(SynthSamples, e);
         C(Slot(kUiWLIST))->Text.Selected = 0;
         Click(OnSampleSave, Slot(kUiWLIST) + 1);
       }, Home() / "take.wav", true, "take.wav has been saved.", &SampleLibrary, {}},
      {"filter", [&] {
         ClickRow(OnFilterList, Slot(kUiFLIST), 0);
         Click(OnFilterCreate, Slot(kUiFWS_WINDOW) + 2);
         Click(OnFilterCreate, Slot(kUiFWS_WINDOW) + 2);
       }, Home() / "FILTERS" / "FIR_8-16_Triangular.wav", false, "", &FilterLibrary,
       Home() / "FILTERS" / "FIR_8-16_Triangular (2).wav"},
      {"file copy", [&] {
         WriteFile(Home() / "kick.wav", "kick");
         Browse("kick.wav");
         Click(OnListCopy, Button(2));
         Click(OnListCopy, Button(2));
       }, Home() / "kick#2.wav", false, "", nullptr, Home() / "kick#3.wav"},
      {"converted on loading", [&] {
         WriteFile(Home() / "pcm.wav", WavBytes(64));
         ASSERT_GE(ConvertAndLoadWave(Folder(), "pcm.wav"), 0);
       }, Home() / "AUDIO" / "CONVERTED" / "pcm.wav", false, "", nullptr, {}, [](bool onDisk) {
         // The entry reads the file it came from until its copy is on the disk.
         const WaveLibraryEntry* e = SampleLibrary.entries[SampleLibrary.header.count - 1];
         EXPECT_EQ(QUARLE_BASICS::DynZStringGet(e->Folder).ends_with("\\AUDIO\\CONVERTED"), onDisk);
       }},
  };
  ShowOnly(kUiMSGB);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.old) WriteFile(row.file, "old");
    SetStatusText("");
    const int32_t listed = row.listed ? row.listed->header.count : 0;
    synccount::Reset();
    synccount::Hold("tarvelo-save");
    row.click();
    EXPECT_EQ(synccount::On(synccount::ThreadName()), 0) << "synced on the window's thread";
    EXPECT_EQ(fs::exists(row.file), row.old);
    EXPECT_FALSE(!row.second.empty() && fs::exists(row.second));
    EXPECT_TRUE(!row.old || ReadFile(row.file) == "old") << "the old file went before the sync was done";
    EXPECT_EQ(Status(), "");
    EXPECT_EQ(row.listed ? row.listed->header.count : 0, listed);
    if (row.also) row.also(false);
    synccount::Release();
    while (platform::SaverWaitIdle(30.0) && platform::SaverTakeOutcomes() > 0) {
    }
    ASSERT_TRUE(fs::exists(row.file));
    EXPECT_GT(ReadFile(row.file).size(), 3u);
    EXPECT_TRUE(row.second.empty() || fs::exists(row.second));
    if (row.file.filename() == "kick#2.wav") {
      EXPECT_EQ(QUARLE_BASICS::DirListName(BrowserListing, C(files_)->Text.Selected), "kick#3.wav");
    }
    EXPECT_EQ(Status(), row.said);
    if (row.also) row.also(true);
    if (row.listed) {
      EXPECT_EQ(row.listed->header.count, listed + (row.second.empty() ? 1 : 2));
    }
  }
  EXPECT_EQ(platform::SaverStop(30.0, nullptr), 0);
}

// A take without a file goes to the saver before the synth that names it; the
// synth names it only once its file is on the disk, and a take the disk
// refused is left out of a synth saved once more without it. Nothing of either
// is synced on the window's thread.
TEST_F(ListButtonsTest, ATakeIsSavedByTheSaverBeforeTheSynthThatNamesIt) {
  ASSERT_TRUE(platform::SaverStart());
  const struct {
    bool folder;  // the take's folder exists
    const char* told;
  } rows[] = {{true, "mine.tarvelo has been saved."}, {false, "mine.tarvelo has been saved without Rec1.wav: "}};
  SessionFolder = platform::FromOsPath((Home() / "SYNTHS").string());
  SessionFile = "mine.tarvelo";
  ShowOnly(kUiMSGB);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.told);
    WaveLibraryListFree(SynthSamples);
    fs::remove_all(Home() / "NOWHERE");
    if (row.folder) fs::create_directories(Home() / "NOWHERE");
    ASSERT_EQ(RecordToWaveFile(Folder() + "\\NOWHERE", "Rec1.wav", 0.1f, 1, 48000), 0);
    SynthSamples.entries[0]->State.Store(kWaveIdle);
    Reports.clear();
    synccount::Reset();
    Click(OnListSave, Button(4));
    while (platform::SaverWaitIdle(30.0) && platform::SaverTakeOutcomes() > 0) {
    }
    EXPECT_EQ(synccount::On(synccount::ThreadName()), 0) << "synced on the window's thread";
    EXPECT_EQ(Status().substr(0, std::strlen(row.told)), row.told);
    EXPECT_EQ(fs::exists(Home() / "NOWHERE" / "Rec1.wav"), row.folder);
    EXPECT_EQ(SynthSamples.entries[0]->Saved, row.folder ? -1 : 0);
    EXPECT_EQ(HasReport("Could not save Rec1.wav: File Not Found Signal", 2), !row.folder);
    // The synth names the take only when its file is there.
    const std::string synth = ReadFile(Home() / "SYNTHS" / "mine.tarvelo");
    EXPECT_EQ(synth.find("Rec1.wav") != std::string::npos, row.folder);
  }
  EXPECT_EQ(platform::SaverStop(30.0, nullptr), 0);
}

// Until the saver's thread waits in the held sync of the save under way.
void AwaitHeldSave() {
  for (int i = 0; i < 30000; ++i) {
    for (const synccount::Sync& s : synccount::Syncs())
      if (s.thread == "tarvelo-save") return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ADD_FAILURE() << "the save never reached its sync";
}

// Ctrl+S of the session, then at once an act on its file while the disk
// holds the save's sync: the saver's work files are not listed, and each act
// waits for the save's outcome, saying so, then acts on the file as saved
// (two modules), never on the one before it (one).
TEST_F(ListButtonsTest, AnActOnAFileBeingSavedWaitsForTheSave) {
  ASSERT_EQ(SaveSession(Folder(), "empty.tarvelo"), 0);
  Make(kTypeOscillator);
  ASSERT_EQ(SaveSession(Folder(), "one.tarvelo"), 0);
  Make(kTypeOscillator);
  const auto modules = [](const fs::path& p) -> int64_t {
    if (!fs::exists(p)) return -1;
    return static_cast<int64_t>((fs::file_size(p) - fs::file_size(Home() / "empty.tarvelo")) / sizeof(ModuleFileRecord));
  };
  const fs::path mine = Home() / "mine.tarvelo";
  const struct {
    const char* name;
    std::function<void()> act;
    fs::path result;  // holds the saved synth once the act is done
    bool mineStays;
  } rows[] = {
      {"load", [&] { Click(OnListLoad, Button(5)); }, mine, true},
      {"rename", [&] {
         Click(OnListRename, Button(1));
         SetTextOf(db_ + 2, "other");
         Answer(true);
       }, Home() / "other.tarvelo", false},
      {"delete", [&] {
         Click(OnListDelete, Button(3));
         Answer(true);
       }, {}, false},
      {"copy", [&] { Click(OnListCopy, Button(2)); }, Home() / "mine#2.tarvelo", true},
  };
  ASSERT_TRUE(platform::SaverStart());
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    SessionFolder = Folder();
    SessionFile = "mine.tarvelo";
    fs::copy_file(Home() / "one.tarvelo", mine, fs::copy_options::overwrite_existing);
    ClearHistory();
    RecordAction(kActionPower, ModuleList.entries[0], -1, nullptr);
    ShowOnly(kUiMSGB);
    synccount::Reset();
    synccount::Hold("tarvelo-save", false);
    Click(OnListSave, Button(4));
    AwaitHeldSave();
    Browse();
    for (int32_t i = 0; i < QUARLE_BASICS::DirListCount(BrowserListing); ++i) {
      const std::string listed = QUARLE_BASICS::DirListName(BrowserListing, static_cast<uint32_t>(i));
      EXPECT_FALSE(listed.ends_with(".tmp") || listed.ends_with(".part~")) << listed << " listed";
    }
    Browse("mine.tarvelo");
    row.act();
    EXPECT_EQ(Status(), "Waiting for mine.tarvelo to be saved...");
    EXPECT_EQ(modules(mine), 1) << "acted before the save";
    EXPECT_EQ(ModuleList.count, 2);
    EXPECT_EQ(ActionHistory.count, 1) << "loaded before the save";
    synccount::Release();
    while (platform::SaverWaitIdle(30.0) && platform::SaverTakeOutcomes() > 0) {
    }
    EXPECT_EQ(ModuleList.count, 2);
    if (!row.result.empty()) {
      EXPECT_EQ(modules(row.result), 2);
    }
    EXPECT_EQ(fs::exists(mine), row.mineStays);
    EXPECT_FALSE(fs::exists(Home() / "mine_BACKUP.tarvelo"));
    if (std::string(row.name) == "load") {
      EXPECT_EQ(ActionHistory.count, 0) << "not loaded";
    }
    fs::remove(row.result);
  }
  EXPECT_EQ(platform::SaverStop(30.0, nullptr), 0);
}

// Ctrl+S of a synth whose take the disk refuses, and another synth loaded
// before the outcome: the save tried again without the take writes the synth
// it was asked for, and the session stays with the synth loaded.
TEST_F(ListButtonsTest, ASaveTriedAgainWritesTheSynthItWasAskedFor) {
  ASSERT_EQ(SaveSession(Folder(), "empty.tarvelo"), 0);
  for (int i = 0; i < 3; ++i) Make(kTypeOscillator);
  ASSERT_EQ(SaveSession(Folder(), "other.tarvelo"), 0);
  ClearSynth();
  Make(kTypeOscillator);
  ASSERT_TRUE(platform::SaverStart());
  SessionFolder = Folder();
  SessionFile = "mine.tarvelo";
  ASSERT_EQ(RecordToWaveFile(Folder() + "\\NOWHERE", "Rec1.wav", 0.1f, 1, 48000), 0);
  SynthSamples.entries[0]->State.Store(kWaveIdle);
  ShowOnly(kUiMSGB);
  synccount::Reset();
  synccount::Hold("tarvelo-save");
  Click(OnListSave, Button(4));
  Browse("other.tarvelo");
  Click(OnListLoad, Button(5));
  ASSERT_EQ(ModuleList.count, 3);
  synccount::Release();
  while (platform::SaverWaitIdle(30.0) && platform::SaverTakeOutcomes() > 0) {
  }
  const std::string told = "mine.tarvelo has been saved without Rec1.wav: ";
  EXPECT_EQ(Status().substr(0, told.size()), told);
  ASSERT_TRUE(fs::exists(Home() / "mine.tarvelo"));
  EXPECT_EQ(fs::file_size(Home() / "mine.tarvelo"), fs::file_size(Home() / "empty.tarvelo") + sizeof(ModuleFileRecord))
      << "not the synth the save was asked for";
  EXPECT_EQ(ReadFile(Home() / "mine.tarvelo").find("Rec1.wav"), std::string::npos);
  EXPECT_EQ(SessionFile, "other.tarvelo");
  EXPECT_EQ(ModuleList.count, 3);
  EXPECT_EQ(platform::SaverStop(30.0, nullptr), 0);
}

// Auto-save on, New or Load while the disk holds the save of the synth they
// replace: the status line says the wait for as long as it lasts (the tick's
// countdown of a status text runs out meanwhile), and a module made during the
// wait is saved with the synth before it is replaced.
TEST_F(ListButtonsTest, NewOrLoadSaysItsWaitAndSavesWhatWasMadeMeanwhile) {
  ASSERT_EQ(SaveSession(Folder(), "empty.tarvelo"), 0);
  ASSERT_EQ(SaveSession(Folder(), "other.tarvelo"), 0);
  ASSERT_TRUE(platform::SaverStart());
  const struct {
    bool load;
    const char* said;
  } rows[] = {{false, "Saving mine.tarvelo before the new synth..."},
              {true, "Saving mine.tarvelo before loading other.tarvelo..."}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.said);
    ClearSynth();
    Make(kTypeOscillator);
    Settings.AutoSave = -1;
    SessionFolder = Folder();
    SessionFile = "mine.tarvelo";
    fs::remove(Home() / "mine.tarvelo");
    synccount::Reset();
    synccount::Hold("tarvelo-save", false);
    if (row.load) {
      Browse("other.tarvelo");
      Click(OnListLoad, Button(5));
    } else {
      Click(OnNewSynth, Slot(kUiSNEW));
    }
    AwaitHeldSave();
    Make(kTypeSample);
    for (int tick = 0; tick < 8; ++tick) {
      TickCounter = 1;
      OnSysbarTick(0, 0, 0, 0, 0);
      EXPECT_EQ(Status(), row.said) << "tick " << tick;
      EXPECT_EQ(Shown(Slot(kUiMB)), -1) << "tick " << tick;
    }
    EXPECT_EQ(ModuleList.count, 2) << "replaced before its save was on the disk";
    synccount::Release();
    while (platform::SaverWaitIdle(30.0) && platform::SaverTakeOutcomes() > 0) {
    }
    EXPECT_EQ(ModuleList.count, 0);
    EXPECT_EQ(fs::file_size(Home() / "mine.tarvelo"), fs::file_size(Home() / "empty.tarvelo") + 2 * sizeof(ModuleFileRecord))
        << "what was made during the wait is in no file";
    EXPECT_NE(SessionFile, "mine.tarvelo");
    EXPECT_EQ(ListActsWaitingText(), "");
  }
  EXPECT_EQ(platform::SaverStop(30.0, nullptr), 0);
}

// With auto-save on, a New or a Load saves the synth it replaces first; when
// that save fails (a full disk under its work file) nothing is replaced: the
// reason is said and the user chooses. Yes to the first question saves it
// under the name given and goes on; no then yes discards it and goes on; no
// twice keeps it.
TEST_F(ListButtonsTest, AFailedSaveBeforeNewOrLoadReplacesNothingAndAsks) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  const std::string synths = platform::FromOsPath((Home() / "SYNTHS").string());
  const fs::path work = Home() / "SYNTHS" / "mine.tarvelo~tarvelo-1.tmp";
  const fs::path elsewhere = Home() / "SYNTHS" / "elsewhere.tarvelo";
  ASSERT_EQ(SaveSession(Folder(), "other.tarvelo"), 0);  // an empty synth to load
  const struct {
    bool load;
    std::vector<bool> answers;
    const char* session;  // after the answers; "" a new synth's
  } rows[] = {
      {false, {true}, ""},           {false, {false, true}, ""},           {false, {false, false}, "mine.tarvelo"},
      {true, {true}, "other.tarvelo"}, {true, {false, true}, "other.tarvelo"}, {true, {false, false}, "mine.tarvelo"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.load ? "Load" : "New") + ", answers " + std::to_string(row.answers.size()) +
                 (row.answers.front() ? " yes" : " no"));
    ClearSynth();
    Make(kTypeOscillator);
    Settings.AutoSave = -1;
    SessionFolder = synths;
    SessionFile = "mine.tarvelo";
    fs::remove(elsewhere);
    fs::create_symlink("/dev/full", work);
    Reports.clear();
    if (row.load) {
      Browse("other.tarvelo");
      Click(OnListLoad, Button(5));
    } else {
      Click(OnNewSynth, Slot(kUiSNEW));
    }
    EXPECT_EQ(ModuleList.count, 1) << "replaced before the user chose";
    EXPECT_TRUE(HasReport("SaveSession(): File I/O Error: Disk Full, Restricted Access or Other", 2));
    // The form the test window's box shows whole (the reason is in the log).
    EXPECT_EQ(Text(db_ + 1), "  Not saved: save as?");
    V::TextFieldSetText(&C(*V::DialogEditIndex)->Text, (synths + "\\elsewhere.tarvelo").c_str());
    for (const bool yes : row.answers) Answer(yes);
    EXPECT_EQ(DialogOwner, 0);
    const bool kept = row.answers.size() == 2 && !row.answers[1];
    EXPECT_EQ(ModuleList.count, kept ? 1 : 0);
    if (*row.session) {
      EXPECT_EQ(SessionFile, row.session);
    } else {
      EXPECT_EQ(SessionFile.rfind("NewSynth_", 0), 0u) << SessionFile;
    }
    // Saved elsewhere only when asked, with the Oscillator in it.
    EXPECT_EQ(fs::exists(elsewhere), row.answers.front());
    if (row.answers.front()) {
      EXPECT_EQ(fs::file_size(elsewhere), fs::file_size(Home() / "other.tarvelo") + sizeof(ModuleFileRecord));
    }
    fs::remove(work);
  }
}

// The question after the failed save before New, on a full disk: it fits its
// box whole (the box beside the name field draws it to its width less its
// frames) and the name field shows the end of the path, the file's name. A
// window close at it asks instead whether to save the synth before quitting:
// yes saves it under the name given and only then quits; no asks whether to
// quit without it, and only a yes to that quits.
TEST_F(ListButtonsTest, TheFailedSaveQuestionIsReadWholeAndAQuitOffersTheSave) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  ASSERT_EQ(fontResult, 0);
  const std::string synths = platform::FromOsPath((Home() / "SYNTHS").string());
  const fs::path work = Home() / "SYNTHS" / "mine.tarvelo~tarvelo-1.tmp";
  const fs::path elsewhere = Home() / "SYNTHS" / "elsewhere.tarvelo";
  const int32_t quit = Named("Quit");
  const int32_t edit = *V::DialogEditIndex;
  const auto fitsWhole = [&] {
    const V::ControlRecord* text = C(db_ + 1);
    EXPECT_LE(V::TextWidth(Text(db_ + 1), &V::TextFont, text->Text.TextSize), text->W - 3 * V::BorderWidth - 1)
        << Text(db_ + 1);
    EXPECT_TRUE(Text(db_ + 1).ends_with("?")) << Text(db_ + 1);
    // The name's end in view: the edit line shows up to the text's end, the
    // whole file name included.
    const std::string path = Text(edit);
    EXPECT_EQ(EditLastVisible(C(edit)->Text), static_cast<int32_t>(path.size()));
    EXPECT_LE(EditFirstVisible(C(edit)->Text), static_cast<int32_t>(path.rfind('\\') + 1)) << path;
    EXPECT_GT(EditFirstVisible(C(edit)->Text), 0) << "the path fits whole: no test of its end";
  };
  // What was posted reaches its owner; whether the loop's end was posted.
  const auto deliver = [&] {
    bool ended = false;
    for (int round = 0; round < 4; ++round)
      for (const CommandMessage& m : Drain(0)) {
        ended |= m.type == QUARLE_BASICS::kCommandEndLoop;
        if (m.type == 100 && C(m.arg2) && C(m.arg2)->EventCallback)
          C(m.arg2)->EventCallback(m.arg5, 0, 0, m.arg2, m.arg1);
      }
    return ended;
  };
  const auto answer = [&](bool yes) {
    Click(yes ? OnDialogOk : OnDialogCancel, db_ + (yes ? 3 : 4));
    return deliver();
  };
  ClearSynth();
  Make(kTypeOscillator);
  Settings.AutoSave = -1;
  SessionFolder = synths;
  SessionFile = "mine.tarvelo";
  SessionTitle = "mine";
  for (const bool save : {true, false}) {
    SCOPED_TRACE(save ? "saved before quitting" : "quit without saving");
    fs::remove(work);
    fs::create_symlink("/dev/full", work);
    Click(OnNewSynth, Slot(kUiSNEW));
    ASSERT_EQ(DialogOwner, Slot(kUiSNEW));
    fitsWhole();
    OnQuit(V::kEventClick, 0, 0, quit, V::kCloseRequestSource);
    EXPECT_FALSE(deliver());  // the withdrawn question's "no": the synth is kept
    ASSERT_EQ(DialogOwner, quit);
    EXPECT_NE(Text(db_ + 1), "  Please confirm that you want to quit.") << "the unsaved synth is not said";
    EXPECT_EQ(Shown(edit), -1);
    fitsWhole();
    if (save) {
      V::TextFieldSetText(&C(edit)->Text, (synths + "\\elsewhere.tarvelo").c_str());
      EXPECT_TRUE(answer(true)) << "not quit once saved";
      ASSERT_TRUE(fs::exists(elsewhere));
      fs::remove(elsewhere);
      // Saved: the next quit asks only to confirm.
      SessionFolder = synths;
      SessionFile = "mine.tarvelo";
    } else {
      EXPECT_FALSE(answer(false));
      EXPECT_EQ(DialogOwner, quit);
      EXPECT_EQ(Text(db_ + 1), "  Quit without saving the synth?");
      EXPECT_TRUE(answer(true));
      EXPECT_FALSE(fs::exists(elsewhere));
    }
    EXPECT_EQ(ModuleList.count, 1);
    EXPECT_EQ(DialogOwner, 0);
  }
  fs::remove(work);
}

}  // namespace
}  // namespace panelsa

namespace panelsa {
namespace {

// The modules a synth file holds beside the empty synth's file beside it in
// the home folder; -1 when there is no file.
int64_t ModulesIn(const fs::path& p) {
  if (!fs::exists(p)) return -1;
  const fs::path empty = (p.parent_path().filename() == "STICK" || p.parent_path().filename() == "SYNTHS"
                              ? p.parent_path().parent_path()
                              : p.parent_path()) / "empty.tarvelo";
  return static_cast<int64_t>((fs::file_size(p) - fs::file_size(empty)) / sizeof(ModuleFileRecord));
}

// Until `done`, taking the saver's outcomes (bounded as a hang).
bool TakeOutcomesUntil(const std::function<bool()>& done) {
  for (int i = 0; i < 30000 && !done(); ++i) {
    platform::SaverTakeOutcomes();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return done();
}

// Acts that replace the synth take effect in the order they were made while
// the disk holds a save of the session's file: a Load of another synth made
// while an earlier Load or New waits holds, and the earlier one never runs
// after it (a module made after the later act stays where it was made); with
// auto-save on the later Load waits behind the same save, which keeps what
// was made meanwhile. No file is changed behind the user.
TEST_F(ListButtonsTest, ActsThatReplaceTheSynthTakeEffectInTheOrderMade) {
  ASSERT_EQ(SaveSession(Folder(), "empty.tarvelo"), 0);
  for (int i = 0; i < 3; ++i) Make(kTypeOscillator);
  ASSERT_EQ(SaveSession(Folder(), "demo.tarvelo"), 0);
  const fs::path mine = Home() / "mine.tarvelo";
  const struct {
    const char* why;
    bool autoSave;
    bool newFirst;      // the first act is New (else Ctrl+S, then Load of the session's file)
    const char* said;   // while the later act waits ("" when it acts at once)
    int32_t modules;    // then, in the synth
    int64_t mineHolds;  // modules in the session's old file
  } rows[] = {
      {"auto-save off: Load of the file being saved, then Load of another", false, false, "", 4, 1},
      {"auto-save on: the same", true, false, "Saving mine.tarvelo before loading demo.tarvelo...", 3, 2},
      {"auto-save on: New, then Load of another", true, true, "Saving mine.tarvelo before loading demo.tarvelo...", 3, 2},
  };
  ASSERT_TRUE(platform::SaverStart());
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    ClearSynth();
    Make(kTypeOscillator);
    Settings.AutoSave = 0;
    SessionFolder = Folder();
    SessionFile = "mine.tarvelo";
    // Saved before, empty: listed, so that it can be loaded while its save is on its way.
    fs::copy_file(Home() / "empty.tarvelo", mine, fs::copy_options::overwrite_existing);
    ShowOnly(kUiMSGB);
    synccount::Reset();
    synccount::Hold("tarvelo-save", false);
    Settings.AutoSave = row.autoSave ? -1 : 0;
    if (row.newFirst) {
      Click(OnNewSynth, Slot(kUiSNEW));
      AwaitHeldSave();
    } else {
      Click(OnListSave, Button(4));
      AwaitHeldSave();
      Browse("mine.tarvelo");
      Click(OnListLoad, Button(5));
    }
    Browse("demo.tarvelo");
    Click(OnListLoad, Button(5));
    if (*row.said) {
      EXPECT_EQ(Status(), row.said);
    }
    Make(kTypeSample);
    synccount::Release();
    while (platform::SaverWaitIdle(30.0) && platform::SaverTakeOutcomes() > 0) {
    }
    EXPECT_EQ(SessionFile, "demo.tarvelo") << "an earlier act ran after the later one";
    EXPECT_EQ(ModuleList.count, row.modules);
    EXPECT_EQ(ModulesIn(mine), row.mineHolds);
    EXPECT_EQ(ModulesIn(Home() / "demo.tarvelo"), 3) << "the demo's file changed";
    EXPECT_EQ(ListActsWaitingText(), "");
  }
  EXPECT_EQ(platform::SaverStop(30.0, nullptr), 0);
}

// A Load with auto-save on while a Sample records: the take ends before the
// save of the synth it leaves, which names it.
TEST_F(ListButtonsTest, ALoadEndsATakeBeforeTheSaveOfTheSynthItLeaves) {
  ASSERT_EQ(SaveSession(Folder(), "demo.tarvelo"), 0);
  ModuleRecord* sample = Make(kTypeSample);
  ASSERT_EQ(RecordToWaveFile(Folder(), "Rec3.wav", 0.1f, 1, 48000), 0);
  AssignWaveToModule(sample, SynthSamples.entries[0], ~uint64_t{0});
  sample->FramesRecorded = 100;
  Settings.AutoSave = -1;
  SessionFolder = Folder();
  SessionFile = "mine.tarvelo";
  Browse("demo.tarvelo");
  Click(OnListLoad, Button(5));
  Settings.AutoSave = 0;
  EXPECT_EQ(SessionFile, "demo.tarvelo");
  EXPECT_NE(ReadFile(Home() / "mine.tarvelo").find("Rec3.wav"), std::string::npos);
  EXPECT_TRUE(fs::exists(Home() / "Rec3.wav"));
}

// A browser act waiting for a save of its file: a lasting wait shows a box
// whose Cancel leaves it; the act is then not done once the save lands, and
// the file is as saved. OK leaves it waiting, and it is done then.
TEST_F(ListButtonsTest, ABrowserActWaitingForASaveCanBeLeft) {
  ASSERT_EQ(SaveSession(Folder(), "empty.tarvelo"), 0);
  const fs::path mine = Home() / "mine.tarvelo", copy = Home() / "mine#2.tarvelo";
  const struct {
    const char* why;
    bool leave;
  } rows[] = {{"Cancel", true}, {"OK", false}};
  ASSERT_TRUE(platform::SaverStart());
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    ClearSynth();
    Make(kTypeOscillator);
    SessionFolder = Folder();
    SessionFile = "mine.tarvelo";
    fs::copy_file(Home() / "empty.tarvelo", mine, fs::copy_options::overwrite_existing);
    fs::remove(copy);
    ShowOnly(kUiMSGB);
    synccount::Reset();
    synccount::Hold("tarvelo-save", false);
    Click(OnListSave, Button(4));
    AwaitHeldSave();
    Browse("mine.tarvelo");
    Click(OnListCopy, Button(2));
    EXPECT_EQ(Status(), "Waiting for mine.tarvelo to be saved...");
    g_guiNow += 0.5;
    OnSysbarTick(0, 0, 0, 0, 0);
    EXPECT_EQ(DialogOwner, 0);
    g_guiNow += 2.0;
    OnSysbarTick(0, 0, 0, 0, 0);
    ASSERT_EQ(DialogOwner, Button(5)) << "no way out of the wait";
    Answer(!row.leave);
    if (row.leave) {
      EXPECT_EQ(Status(), "Stopped waiting: what waited for the save is not done.");
      EXPECT_EQ(ListActsWaitingText(), "");
    }
    synccount::Release();
    while (platform::SaverWaitIdle(30.0) && platform::SaverTakeOutcomes() > 0) {
    }
    EXPECT_EQ(ModulesIn(mine), 1) << "the saved file changed";
    EXPECT_EQ(ModulesIn(copy), row.leave ? -1 : 1);
    EXPECT_EQ(DialogOwner, 0);
  }
  EXPECT_EQ(platform::SaverStop(30.0, nullptr), 0);
}

// New with auto-save on while the session lies on a stick that stopped
// writing: a short wait shows no box; a lasting one shows a box whose Cancel
// keeps the synth (and a save to the other disk then lands while the stick
// still holds its own); when the stick has written nothing for 10 s a question
// offers to save the synth elsewhere, which saves it and goes on. The stick's
// save lands whenever it writes again.
TEST_F(ListButtonsTest, AWaitForAStickThatStopsWritingCanBeLeftOrSavedElsewhere) {
  ASSERT_EQ(SaveSession(Folder(), "empty.tarvelo"), 0);
  fs::create_directories(Home() / "STICK");
  fs::create_directories(Home() / "SYNTHS");
  const std::string stick = platform::FromOsPath((Home() / "STICK").string());
  const std::string synths = platform::FromOsPath((Home() / "SYNTHS").string());
  platform::ProgramSaver().SetDisks([](uint64_t) { return int64_t{7}; }, [](const std::string& target) -> uint64_t {
    return target.find("STICK") != std::string::npos ? 1 : 2;
  });
  ASSERT_TRUE(platform::SaverStart());
  const auto tick = [](double seconds) {
    g_guiNow += seconds;
    TickCounter = 1;
    OnSysbarTick(0, 0, 0, 0, 0);
  };
  const struct {
    const char* why;
    bool elsewhere;
    bool saveAlone;  // a Save of the session, nothing waiting for it
  } rows[] = {{"Cancel", false, false}, {"saved elsewhere", true, false}, {"a Save alone, saved elsewhere", true, true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    ClearSynth();
    Make(kTypeOscillator);
    Settings.AutoSave = -1;
    SessionFolder = stick;
    SessionFile = "Small.tarvelo";
    SessionTitle = "Small";
    fs::remove(Home() / "STICK" / "Small.tarvelo");
    fs::remove(Home() / "SYNTHS" / "Elsewhere.tarvelo");
    fs::remove(Home() / "SYNTHS" / "Other.tarvelo");
    synccount::Reset();
    synccount::HoldUnder(fs::canonical(Home() / "STICK").string());
    if (row.saveAlone) {
      ShowOnly(kUiMSGB);
      Click(OnListSave, Button(4));
      AwaitHeldSave();
      tick(0.5);
      tick(9.0);
      EXPECT_EQ(DialogOwner, 0) << "asked while the disk may still write";
      tick(2.0);
      ASSERT_EQ(DialogOwner, Button(4)) << "the stuck save is not said";
      EXPECT_EQ(Shown(*V::DialogEditIndex), -1);
      V::TextFieldSetText(&C(*V::DialogEditIndex)->Text, (synths + "\\Elsewhere.tarvelo").c_str());
      Answer(true);
      EXPECT_TRUE(TakeOutcomesUntil([&] { return Status() == "Elsewhere.tarvelo has been saved."; })) << Status();
      EXPECT_EQ(ModulesIn(Home() / "SYNTHS" / "Elsewhere.tarvelo"), 1) << "the synth is in no file";
      EXPECT_EQ(SessionFile, "Elsewhere.tarvelo");
      synccount::Release();
      while (platform::SaverWaitIdle(30.0) && platform::SaverTakeOutcomes() > 0) {
      }
      EXPECT_EQ(ModulesIn(Home() / "STICK" / "Small.tarvelo"), 1) << "the stick's save did not go on";
      continue;
    }
    Click(OnNewSynth, Slot(kUiSNEW));
    AwaitHeldSave();
    tick(0.5);
    EXPECT_EQ(DialogOwner, 0) << "a short wait shows a box";
    EXPECT_EQ(Status(), "Saving Small.tarvelo before the new synth...");
    tick(2.0);
    ASSERT_EQ(DialogOwner, Slot(kUiSNEW)) << "no way out of the wait";
    EXPECT_NE(Text(db_ + 1).find("Cancel"), std::string::npos) << Text(db_ + 1);
    if (!row.elsewhere) {
      Answer(false);
      EXPECT_EQ(Status(), "Stopped waiting: this synth stays as it is, and its save goes on.");
      EXPECT_EQ(ListActsWaitingText(), "");
      int32_t told = 1;
      SaveSessionThen(synths, "Other.tarvelo", [&told](int32_t rc) { told = rc; });
      EXPECT_TRUE(TakeOutcomesUntil([&told] { return told != 1; })) << "a save to another disk waits for the stick";
      EXPECT_EQ(told, 0);
      EXPECT_EQ(ModulesIn(Home() / "SYNTHS" / "Other.tarvelo"), 1);
      EXPECT_EQ(ModuleList.count, 1);
    } else {
      tick(11.0);
      ASSERT_EQ(DialogOwner, Slot(kUiSNEW));
      const std::string asked = Text(db_ + 1);
      EXPECT_TRUE(asked.starts_with("  The disk has written nothing of Small.tarvelo for 13 s.") ||
                  asked == "  The disk writes nothing. Save under this name?" || asked == "  Disk stuck: save as?")
          << asked;
      V::TextFieldSetText(&C(*V::DialogEditIndex)->Text, (synths + "\\Elsewhere.tarvelo").c_str());
      Answer(true);
      EXPECT_TRUE(TakeOutcomesUntil([] { return SessionFile.rfind("NewSynth_", 0) == 0; }))
          << "the new synth waits for the stick";
      EXPECT_EQ(ModulesIn(Home() / "SYNTHS" / "Elsewhere.tarvelo"), 1) << "the synth is in no file";
      EXPECT_EQ(ModuleList.count, 0);
    }
    EXPECT_EQ(DialogOwner, 0);
    EXPECT_FALSE(fs::exists(Home() / "STICK" / "Small.tarvelo"));
    synccount::Release();
    while (platform::SaverWaitIdle(30.0) && platform::SaverTakeOutcomes() > 0) {
    }
    EXPECT_EQ(ModulesIn(Home() / "STICK" / "Small.tarvelo"), 1) << "the stick's save did not go on";
    EXPECT_EQ(ModuleList.count, row.elsewhere ? 0 : 1) << "replaced once the stick wrote";
  }
  EXPECT_EQ(platform::SaverStop(30.0, nullptr), 0);
  platform::ProgramSaver().SetDisks(platform::KernelWrittenBytes, platform::DeviceOfTarget);
}

}  // namespace
}  // namespace panelsa
