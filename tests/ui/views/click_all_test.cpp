// Every control of every module type's page clicked as a user clicks it, while
// the render plays that module, a controller bound to one of its parameters
// moves on a MIDI thread and the video thread draws. No control is named here:
// each page's are taken from the control table as it stands (every shown,
// enabled control in the module panel that takes a press or a click), so a
// control a page gains is clicked without a change to this test.
//
// Each page tab the module shows, then each control of the page as its kind
// is used. A list: each row clicked, scrolled to the last, and after each row
// that selected something every other control of its page (a parameter row,
// then domain, Global, voice map, L/R, link, the MIDI buttons and the value
// editor: a value typed into the dialog with Enter, a drag over the field). A
// control that takes drags: clicked at both ends and dragged. Any other:
// clicked twice after a row (on and off at once), else once, and again after
// the plane's buttons, so what it switched on (Play, Record, Loop) stays on
// meanwhile: Record, then Stop. The render goes on playing the module: a
// click that switched it off is undone at once. A click that asks a question
// has it answered.
//
// Then the plane's and the window's buttons: reset plane position, a pan,
// paste (Load of the module's row), delete, and reset and pan at once after
// each delete. Every other round ends with Load (the module still recording,
// playing and moved) and New, the others with the second clicks and the
// module deleted; a pass ends with New and Load.
//
// Under ThreadSanitizer any word two of these threads touch without an owner
// fails the run. Fixed seeds (the typed values); TARVELO_CLICK_ALL_TYPES sets
// how many types a pass takes (all 43 by default) and
// TARVELO_CLICK_ALL_SECONDS runs pass after pass for that long.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/documents/synth_file.h"
#include "app/startup.h"
#include "app/state/dialogs.h"
#include "app/state/modules.h"
#include "app/state/settings.h"
#include "app/state/wave_library.h"
#include "audio/wav.h"
#include "basics/listings.h"
#include "basics/program.h"
#include "engine/catalog/catalog.h"
#include "engine/midimap.h"
#include "engine/modulelist.h"
#include "threaded_ui_fixture.h"
#include "ui/build/callbacks.h"
#include "ui/build/frame.h"
#include "ui/panels/dialog.h"
#include "ui/views/list_views.h"
#include "visuals/event_loop.h"

namespace {

namespace V = QUARLE_VISUALS;
namespace fs = std::filesystem;
using Tarvelo::ModuleRecord;
using uithreads::EnvCount;

constexpr int32_t kController = 21;     // the bound controller, channel 1 of device slot 0
constexpr const char* kSynthFile = "ClickAll.tarvelo";
constexpr int32_t kRowScrolls = 64;     // bounds a list that keeps scrolling
constexpr int32_t kResetsAfterDelete = 2000;  // bounds the resets waiting for a frame

std::string DeviceName(int32_t slot) { return slot == 0 ? "Click-all controller" : ""; }

// What one module type's round clicked.
struct Tally {
  std::set<int32_t> controls;  // distinct controls of its pages
  int32_t clicks = 0, rows = 0, typed = 0, covered = 0, frames = 0;
};

class ClickAll : public uithreads::ThreadedUiTest {
 protected:
  void SetUp() override {
    home = fs::temp_directory_path() / ("tarvelo_click_all_" + std::to_string(::getpid()));
    fs::remove_all(home);
    for (const char* sub : {"SYNTHS", "AUDIO/CONVERTED", "MELODIES", "TUNINGS", "FILTERS"})
      fs::create_directories(home / sub);
    if (const char* h = std::getenv("HOME")) oldHome = h;
    setenv("HOME", home.c_str(), 1);
    ThreadedUiTest::SetUp();
    if (HasFatalFailure()) return;
    QUARLE_BASICS::DynZStringAssign(QUARLE_BASICS::HomeFolder, platform::FromOsPath(home.string()));
    ASSERT_EQ(Tarvelo::WaveLibraryListsCreate(), 0);
    Tarvelo::Settings.AutoSave = 0;
    Tarvelo::SessionFolder = platform::FromOsPath((home / "SYNTHS").string());
    Tarvelo::SessionFile = kSynthFile;
    Tarvelo::SessionTitle = "ClickAll";
    Tarvelo::MidiDevices = Tarvelo::MidiDeviceHooks{nullptr, DeviceName};
    // The synth Load brings back: a Keyboard playing an Oscillator.
    ModuleRecord* kb = Make(Tarvelo::kTypeKeyboard, 700, 300);
    ModuleRecord* osc = Make(Tarvelo::kTypeOscillator, 900, 300);
    ASSERT_TRUE(kb && osc);
    ASSERT_EQ(Tarvelo::ModuleLinkInput(*osc, 0, kb, &Tarvelo::ModuleCatalog[osc->Type]), 4);
    Tarvelo::SynthOutputModule.store(osc);
    ASSERT_EQ(Tarvelo::SaveSession(Tarvelo::SessionFolder, kSynthFile), 0);
    Tarvelo::SelectModule(nullptr, -1);
    Tarvelo::ClearSynth();
    QUARLE_BASICS::ListFolder(Tarvelo::BrowserListing, Tarvelo::SessionFolder, ".tarvelo", 0, 0);
    RunLoop();
  }
  void TearDown() override {
    if (midi.joinable()) StopMidi();
    if (render.joinable()) StopThreads();
    Tarvelo::SelectModule(nullptr, -1);
    Tarvelo::ClearSynth();
    Tarvelo::MidiDevices = Tarvelo::MidiDeviceHooks{};
    Tarvelo::WaveLibraryListsFree();
    QUARLE_BASICS::DirListFree(Tarvelo::BrowserListing);
    QUARLE_BASICS::DynZStringAssign(QUARLE_BASICS::HomeFolder, "");
    ThreadedUiTest::TearDown();
    setenv("HOME", oldHome.c_str(), 1);
    std::error_code gone;
    fs::remove_all(home, gone);
  }

  // The libraries the pages list hold an entry each: a sample of the synth,
  // a filter and a melody (a load keeps only what its file names).
  static void FillLibraries() {
    auto wave = [](Tarvelo::WaveLibraryList& list, const char* file, int32_t frames) {
      EXPECT_EQ(Tarvelo::WaveLibraryListReserve(list), 0);
      Tarvelo::WaveLibraryEntry* e = Tarvelo::WaveLibraryEntryNew();
      QUARLE_BASICS::DynZStringAssign(e->File, file);
      QUARLE_AUDIO::SoundBufferSetFormat(&e->Sound, 1, 48000, 32);
      e->Sound.frameCount = static_cast<uint32_t>(frames);
      e->Sound.dataSize = static_cast<uint32_t>(frames * 4);
      e->Sound.samples = static_cast<float*>(std::calloc(frames + 1, sizeof(float)));
      for (int32_t i = 0; i < frames; ++i) e->Sound.samples[i] = 0.25f * ((i % 4) - 1.5f);
      e->RateRatio = QUARLE_BASICS::Ratio{1, 1};
      e->Pitch[0] = 440.0f;
      e->LoadState = Tarvelo::kWaveDataHeld;
      e->State.Store(Tarvelo::kWaveIdle);
      e->ListIndex = list.header.count;
      Tarvelo::WaveLibraryListCommit(list, e);
    };
    if (Tarvelo::SynthSamples.header.count < 1) wave(Tarvelo::SynthSamples, "take.wav", 480);
    if (Tarvelo::FilterLibrary.header.count < 1) wave(Tarvelo::FilterLibrary, "FIR.wav", 16);
    if (Tarvelo::MelodyLibrary.header.count < 1) uithreads::ShortMelody();
  }

  // A thread that sends the bound controller, as a device sends it, until stopped.
  void StartMidi() {
    stopMidi = false;
    midi = std::thread([this] {
      float time = 0.0f;
      for (int32_t n = 0; !stopMidi.load(); ++n) {
        Tarvelo::MidiControlChange(0, kController, 0, static_cast<float>((n * 7) % 128), time += 10.0f);
        moves.fetch_add(1);
        std::this_thread::sleep_for(std::chrono::microseconds(500));
      }
    });
  }
  void StopMidi() {
    stopMidi = true;
    midi.join();
  }
  // The controller bound to the module's first parameter with a value editor,
  // as a learnt controller is bound on the interface thread.
  static int32_t Bind(ModuleRecord* m) {
    int32_t p = -1;
    for (int32_t i = 0; i < std::min(m->ParamCount, Tarvelo::kModuleParams) && p < 0; ++i)
      if (m->Params[i].NoValueEditor == 0) p = i;
    if (p < 0) return -1;
    Tarvelo::SelectPort(p);
    if (m->SelectedParam.Load() != p) return -1;
    platform::MutexGuard maps(Tarvelo::MT_MIDIMAPS);
    Tarvelo::MidiLearnArmed = Tarvelo::kMidiFixedParam;
    Tarvelo::MidiLearnBind(0, kController, 0, Tarvelo::kMidiFixedParam);
    const int32_t map = Tarvelo::FindMidiMapForDevice(0);
    if (map < 0) return -1;
    const Tarvelo::MidiMapEntry& e = Tarvelo::MidiMaps[map].Entries[kController][0];
    return e.Mode == Tarvelo::kMidiFixedParam && e.Target == m && e.Param == p ? p : -1;
  }

  static int32_t Slot(int32_t slot) { return V::UiIndex[slot]; }
  static bool Within(int32_t id, int32_t ancestor) {
    for (int32_t steps = 0; steps < 64 && id > 0; ++steps) {
      if (id == ancestor) return true;
      const V::ControlRecord* c = C(id);
      if (!c || c->Parent == id) return false;
      id = c->Parent;
    }
    return false;
  }
  static bool IsTab(int32_t id) { return C(id)->EventCallback == Tarvelo::Cb.OnModuleTab; }
  static bool IsList(int32_t id) {
    const V::ControlRecord* c = C(id);
    return c->Text.VisibleRows > 0 && (c->EventMask & V::kEventWheel) != 0;
  }
  static bool TakesDrags(int32_t id) { return (C(id)->EventMask & V::kEventDrag) != 0; }
  // The controls of the module panel a user can click now, in table order:
  // shown, enabled, on the screen, taking a press or a click. Within `parent`
  // only its children when given.
  static std::vector<int32_t> PageControls(int32_t parent = 0) {
    const int32_t tools = Slot(Tarvelo::kUiTOOLS);
    std::vector<int32_t> out;
    for (int32_t id = 1; id < V::ControlTableCount(); ++id) {
      const V::ControlRecord* c = C(id);
      if (!c || c->DeletePending || !c->EventCallback || V::IsDisabled(&c->State)) continue;
      if ((c->EventMask & (V::kEventPress | V::kEventClick)) == 0) continue;
      if (parent > 0 ? c->Parent != parent : !Within(id, tools)) continue;
      if (Reachable(id)) out.push_back(id);
    }
    return out;
  }

  // A click at (x, y) meant for the control; covered when another lies over it there.
  void Click(int32_t id, int32_t x, int32_t y, Tally& t) {
    ++t.clicks;
    t.controls.insert(id);
    if (V::ControlHitTest(x, y, 0) != id) ++t.covered;
    ClickAt(x, y, RunLoop);
    Answer(t);
  }
  void ClickMiddle(int32_t id, Tally& t) {
    const V::ControlRecord* c = C(id);
    Click(id, c->X + c->W / 2, c->Y + c->H / 2, t);
  }
  // A question the click asked: a value typed and Enter when it has an edit
  // line, else OK; Cancel when that left it open.
  void Answer(Tally& t) {
    const int32_t db = Slot(Tarvelo::kUiDB);
    if (!OnScreen(db)) return;
    const int32_t edit = db + 2;
    if (OnScreen(edit) && V::ActiveEditField() == edit) {
      Key(Tarvelo::kScanEnd, 0);
      for (int32_t k = 0; k < 24; ++k) Key(Tarvelo::kScanBackspace, 8);
      char text[16];
      std::snprintf(text, sizeof text, "%.2f", std::uniform_int_distribution<int32_t>(0, 400)(rng) / 100.0);
      for (const char* p = text; *p; ++p) {
        static constexpr uint32_t kDigitScans[10] = {11, 2, 3, 4, 5, 6, 7, 8, 9, 10};
        Key(*p == '.' ? 52 : kDigitScans[*p - '0'], static_cast<uint8_t>(*p));
      }
      Key(Tarvelo::kScanEnter, 13);
      RunLoop();
      ++t.typed;
    } else {
      const V::ControlRecord* ok = C(db + 3);
      ClickAt(ok->X + ok->W / 2, ok->Y + ok->H / 2, RunLoop);
    }
    if (OnScreen(db)) {
      const V::ControlRecord* cancel = C(db + 4);
      ClickAt(cancel->X + cancel->W / 2, cancel->Y + cancel->H / 2, RunLoop);
    }
  }
  // One control as its kind is used: a list row by row, with the rest of its
  // page after each row that selected something; a control taking drags at
  // both ends and dragged; any other once when `later` takes its second
  // click, else twice.
  void Use(int32_t id, Tally& t, std::vector<int32_t>* later = nullptr) {
    const V::ControlRecord* c = C(id);
    if (IsList(id)) {
      Rows(id, t);
    } else if (TakesDrags(id)) {
      Click(id, c->X + c->W / 4, c->Y + c->H / 2, t);
      Click(id, c->X + 3 * c->W / 4, c->Y + c->H / 2, t);
      MoveTo(c->X + c->W / 2, c->Y + c->H / 2);
      Button(platform::kWindowButtonPress);
      for (int32_t step = 1; step <= 4; ++step) MoveTo(c->X + c->W / 2 + 20 * step, c->Y + c->H / 2);
      Button(platform::kWindowButtonRelease);
      RunLoop();
      ++t.clicks;
      Answer(t);
    } else {
      ModuleRecord* m = Tarvelo::SelectedModule;
      const bool powered = m && m->ModuleSwitches[Tarvelo::kSwitchPower].Load() != 0;
      ClickMiddle(id, t);
      // The render goes on playing the module: a click that switched it off
      // is undone at once.
      const bool off = powered && Tarvelo::SelectedModule == m &&
                       m->ModuleSwitches[Tarvelo::kSwitchPower].Load() == 0;
      if (later && !off)
        later->push_back(id);
      else if (Reachable(id) && !V::IsDisabled(&C(id)->State))
        ClickMiddle(id, t);
    }
  }
  void Rows(int32_t list, Tally& t) {
    std::set<int32_t> seen;
    for (int32_t scroll = 0; scroll < kRowScrolls && Reachable(list); ++scroll) {
      const V::ControlRecord* c = C(list);
      const int32_t rows = std::max(c->Text.VisibleRows, 1);
      const int32_t rowH = std::max(Tarvelo::ListRowHeightOf(c->Render), 1);
      for (int32_t r = 0; r < rows && Reachable(list); ++r) {
        const int32_t item = c->Text.FirstVisible + r;
        if (!seen.insert(item).second) continue;
        Click(list, c->X + c->W / 2, c->Y + V::BorderWidth + r * rowH + rowH / 2, t);
        ++t.rows;
        if (C(list)->Text.Selected != item) continue;
        // What the row's choice offers: the rest of its page, the last made
        // first (Set before unload, the value editor before the MIDI buttons).
        std::vector<int32_t> rest = PageControls(c->Parent);
        for (auto it = rest.rbegin(); it != rest.rend(); ++it)
          if (*it != list && !IsList(*it) && Reachable(*it)) Use(*it, t);
        t.frames += NextFrame();
      }
      const int32_t first = C(list)->Text.FirstVisible;
      MoveTo(c->X + c->W / 2, c->Y + c->H / 2);
      Wheel(-rows);
      RunLoop();
      if (C(list)->Text.FirstVisible == first) break;
    }
  }

  // A bare place of the plane, dragged: the plane pans. Run by the loop at
  // once unless `later`, with what else is waiting.
  void Pan(int32_t dx, int32_t dy, bool later = false) {
    const int32_t plane = Plane();
    const V::ControlRecord* p = C(plane);
    for (int32_t y = p->Y + 20; y < p->Y + p->H; y += 37)
      for (int32_t x = p->X + 20; x < p->X + p->W; x += 41) {
        if (V::ControlHitTest(x, y, 0) != plane) continue;
        MoveTo(x, y);
        Button(platform::kWindowButtonPress);
        for (int32_t step = 1; step <= 4; ++step) MoveTo(x + dx * step / 4, y + dy * step / 4);
        Button(platform::kWindowButtonRelease);
        if (!later) RunLoop();
        return;
      }
    ADD_FAILURE() << "no bare place on the plane";
  }
  static bool Listed(const ModuleRecord* m) {
    for (int32_t i = 0; i < Tarvelo::ModuleList.count; ++i)
      if (Tarvelo::ModuleList.entries[i] == m) return true;
    return false;
  }
  // A place of the module's box that no other control covers; false when
  // none is on the screen.
  static bool BoxPlace(const ModuleRecord* m, int32_t& x, int32_t& y) {
    const V::ControlRecord* box = Box(m);
    for (int32_t dy = box->H - 3; dy > 0; dy -= 7)
      for (int32_t dx = 2; dx < box->W - 1; dx += 5) {
        x = box->X + dx;
        y = box->Y + dy;
        if (x >= 0 && x < kW && y >= 0 && y < kH && V::ControlHitTest(x, y, 0) == box->Id) return true;
      }
    return false;
  }
  // Selected by a click on its box; the plane reset first when none of it is
  // to be clicked.
  void SelectByBox(ModuleRecord* m) {
    if (Tarvelo::SelectedModule == m) return;
    ASSERT_TRUE(Listed(m)) << "selected after its delete";
    int32_t x = 0, y = 0;
    if (!BoxPlace(m, x, y)) TapOrFail("STB_CP");
    ASSERT_TRUE(BoxPlace(m, x, y)) << "no place of the box to click";
    ClickAt(x, y, RunLoop);
  }
  void TapOrFail(const char* name) {
    const int32_t id = Find(name);
    ASSERT_TRUE(Reachable(id)) << name;
    ClickAt(C(id)->X + C(id)->W / 2, C(id)->Y + C(id)->H / 2, RunLoop);
  }
  // Delete clicked, then the plane reset and panned at once, in the same run
  // of the loop, and again and again until the video thread has begun two
  // more frames: the first purges the deleted box, with the plane's buttons
  // clicked before and while it does.
  void DeleteThenResetAndPan() {
    auto press = [this](const char* name) {
      const int32_t id = Find(name);
      ASSERT_TRUE(Reachable(id)) << name;
      MoveTo(C(id)->X + C(id)->W / 2, C(id)->Y + C(id)->H / 2);
      Button(platform::kWindowButtonPress);
      Button(platform::kWindowButtonRelease);
    };
    press("LIDEL");
    const int64_t from = g_framesBegun.load();
    for (int32_t n = 0; n < kResetsAfterDelete && g_framesBegun.load() < from + 2; ++n) {
      press("STB_CP");
      Pan(n % 2 == 0 ? -30 : 30, n % 2 == 0 ? 20 : -20, true);
      RunLoop();
    }
  }

  // One module type's round; false when no module of it could be made. It
  // ends with Load and New when `renew`, else with the second clicks and
  // the module deleted.
  bool Round(int32_t type, Tally& t, bool renew) {
    const int32_t before = Tarvelo::ModuleList.count;
    ModuleRecord* m = Make(type, 400 + 40 * (type % 5), 350 + 30 * (type % 4));
    if (!m) return false;
    RunLoop();
    SelectByBox(m);
    EXPECT_EQ(Tarvelo::SelectedModule, m) << "selected by its box";
    if (Tarvelo::SelectedModule != m) return false;
    // The render plays it: its output to the synth output.
    const int32_t out = Output(m);
    if (out > 0 && static_cast<int64_t>(C(out)->Tag) < 0) {
      for (const int32_t id : {out, Slot(Tarvelo::kUiSOUT)}) {
        EXPECT_TRUE(Reachable(id));
        ClickAt(C(id)->X + C(id)->W / 2, C(id)->Y + C(id)->H / 2, RunLoop);
      }
      ++played;
    }
    bound += Bind(m) >= 0;
    t.frames += NextFrame();

    // Each page tab the module shows, then every control of its page.
    std::set<int32_t> done;
    std::vector<int32_t> again;
    for (const int32_t tab : PageControls()) {
      if (!IsTab(tab)) continue;
      ClickMiddle(tab, t);
      for (const int32_t id : PageControls()) {
        if (IsTab(id) || (done.count(id) && !IsList(id)) || !Reachable(id)) continue;
        done.insert(id);
        Use(id, t, &again);
      }
      t.frames += NextFrame();
      if (Tarvelo::SelectedModule != m) SelectByBox(m);
    }
    // The plane's and the window's buttons: reset, pan, a copy pasted and
    // deleted.
    TapOrFail("STB_CP");
    Pan(40, -25);
    // Load on the created-module list's selected row pastes a copy (of the
    // types a synth may hold more than one of).
    for (const char* name : {"TABMOD", "LIBT2", "LILOAD"}) TapOrFail(name);
    if (Tarvelo::ModuleList.count == before + 2) {
      ModuleRecord* copy = Tarvelo::ModuleList.entries[before + 1];
      SelectByBox(copy);
      EXPECT_EQ(Tarvelo::SelectedModule, copy) << "the copy selected";
      if (Tarvelo::SelectedModule == copy) {
        ++pasted;
        DeleteThenResetAndPan();
        EXPECT_EQ(Tarvelo::ModuleList.count, before + 1) << "the copy deleted";
        t.frames += NextFrame();
      }
    }
    if (renew) {
      // Load with the module as its switches left it (recording, playing,
      // the controller moving it), then New.
      Load();
      New();
      ++renewed;
      return true;
    }
    // The second clicks, the page the control lies on shown again; then the
    // module deleted.
    SelectByBox(m);
    for (const int32_t id : again) {
      if (!Reachable(id))
        for (const int32_t tab : PageControls())
          if (IsTab(tab) && !Reachable(id)) ClickMiddle(tab, t);
      if (Reachable(id) && !V::IsDisabled(&C(id)->State)) ClickMiddle(id, t);
    }
    t.frames += NextFrame();
    SelectByBox(m);
    EXPECT_EQ(Tarvelo::SelectedModule, m);
    if (Tarvelo::SelectedModule == m) DeleteThenResetAndPan();
    EXPECT_EQ(Tarvelo::ModuleList.count, before) << "deleted";
    t.frames += NextFrame();
    return true;
  }

  // New: an empty synth.
  void New() {
    TapOrFail("SNEW");
    EXPECT_EQ(Tarvelo::ModuleList.count, 0) << "New";
    NextFrame();
  }
  // The saved synth loaded from the session's folder.
  void Load() {
    TapOrFail("TABFIL");
    ASSERT_EQ(Tarvelo::SelectBrowserFile(kSynthFile), 0);
    TapOrFail("LILOAD");
    EXPECT_EQ(Tarvelo::ModuleList.count, 2) << "Load";
    NextFrame();
  }

  fs::path home;
  std::string oldHome;
  std::mt19937 rng;
  std::thread midi;
  std::atomic<bool> stopMidi{false};
  std::atomic<int64_t> moves{0};
  int32_t played = 0, bound = 0, pasted = 0, renewed = 0;  // rounds ending with Load and New
};

TEST_F(ClickAll, EveryControlOfEveryModulePageWhileItPlaysAControllerMovesItAndTheVideoThreadDraws) {
  const int32_t types = std::min(EnvCount("TARVELO_CLICK_ALL_TYPES", Tarvelo::kModuleTypeCount),
                                 static_cast<int32_t>(Tarvelo::kModuleTypeCount));
  const int32_t seconds = EnvCount("TARVELO_CLICK_ALL_SECONDS", 0);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  uithreads::RunningProgram running;
  std::vector<Tally> tally(Tarvelo::kModuleTypeCount);
  int32_t rounds = 0, passes = 0;
  for (int32_t pass = 0; pass == 0 || (seconds > 0 && std::chrono::steady_clock::now() < end); ++pass) {
    rng.seed(static_cast<uint32_t>(pass + 1));
    FillLibraries();
    Show(Tarvelo::kWinPANEL, -1);
    Show(Tarvelo::kWinABOUT, 0);  // it lies over the plane
    StartRenderAndVideo();
    ASSERT_FALSE(HasFatalFailure());
    StartMidi();
    // The first type of a pass moves on, so a long run reaches every type
    // even when a pass takes fewer.
    for (int32_t k = 0; k < types; ++k) {
      const int32_t type = (pass * types + k) % Tarvelo::kModuleTypeCount;
      SCOPED_TRACE("pass " + std::to_string(pass) + ", type " + std::to_string(type) + " " +
                   QUARLE_BASICS::DynZStringGet(Tarvelo::ModuleCatalog[type].Name));
      // Every other round ends with Load and New: a type's ending changes
      // from one pass to the next (43 types).
      rounds += Round(type, tally[type], (pass * types + k) % 2 == 1);
      if (HasFatalFailure()) break;
    }
    if (!HasFatalFailure()) {
      New();
      Load();
    }
    StopMidi();
    StopThreads();
    ++passes;
    if (HasFatalFailure()) break;
  }

  int32_t clicks = 0, rows = 0, typed = 0, controls = 0;
  std::printf("type                      controls  clicks  rows  typed  covered  frames\n");
  for (int32_t type = 0; type < Tarvelo::kModuleTypeCount; ++type) {
    const Tally& t = tally[type];
    if (t.clicks == 0) continue;
    std::printf("%2d %-22s %8zu %7d %5d %6d %8d %7d\n", type,
                QUARLE_BASICS::DynZStringGet(Tarvelo::ModuleCatalog[type].Name).c_str(), t.controls.size(),
                t.clicks, t.rows, t.typed, t.covered, t.frames);
    clicks += t.clicks;
    rows += t.rows;
    typed += t.typed;
    controls += static_cast<int32_t>(t.controls.size());
    EXPECT_GE(t.controls.size(), 10u) << "type " << type << ": a page offers its switches, tabs and list";
  }
  std::printf("%d passes, %d rounds: %d controls, %d clicks (%d list rows, %d values typed), "
              "%d played, %d bound, %d pasted, %d Load and New, %lld controller moves\n",
              passes, rounds, controls, clicks, rows, typed, played, bound, pasted, renewed,
              static_cast<long long>(moves.load()));
  EXPECT_EQ(rounds, passes * types);
  EXPECT_GT(typed, 0);
  EXPECT_GT(bound, 0);
  EXPECT_GT(played, 0);
  EXPECT_GT(pasted, 0);
  EXPECT_GT(moves.load(), 0);
  for (const V::PaintOutside& o : V::TakePaintOutside())
    ADD_FAILURE() << Id(o.id) << " painted " << o.pixels << " px outside its area";
}

}  // namespace

// The parameter list's rows of a playing Oscillator clicked in turn while a
// controller moves the first of them: each click fills the value editor from
// the selected parameter's value record, which the value field's draw
// converts (under the record's lock) in every frame that shows a controller
// move. Under ThreadSanitizer the page reads the record only under that lock.
TEST_F(ClickAll, ARowSelectedWhileItsControllerMovesItReadsTheValueRecordUnderItsLock) {
  uithreads::RunningProgram running;
  Show(Tarvelo::kWinPANEL, -1);
  Show(Tarvelo::kWinABOUT, 0);
  StartRenderAndVideo();
  ASSERT_FALSE(HasFatalFailure());
  StartMidi();
  ModuleRecord* osc = Make(Tarvelo::kTypeOscillator, 500, 400);
  ASSERT_NE(osc, nullptr);
  RunLoop();
  SelectByBox(osc);
  ASSERT_EQ(Tarvelo::SelectedModule, osc);
  for (const int32_t id : {Output(osc), Slot(Tarvelo::kUiSOUT)})
    ClickAt(C(id)->X + C(id)->W / 2, C(id)->Y + C(id)->H / 2, RunLoop);
  const int32_t p = Bind(osc);
  ASSERT_GE(p, 0);
  TapOrFail("MODTAB0");
  const int32_t list = Slot(Tarvelo::kUiPLIST);
  ASSERT_TRUE(Reachable(list));
  // The bound parameter's row and the next with a value editor.
  int32_t other = -1;
  for (int32_t i = p + 1; i < std::min(osc->ParamCount, Tarvelo::kModuleParams) && other < 0; ++i)
    if (osc->Params[i].NoValueEditor == 0) other = i;
  ASSERT_GT(other, p);
  const V::ControlRecord* c = C(list);
  const int32_t rowH = std::max(Tarvelo::ListRowHeightOf(c->Render), 1);
  ASSERT_LT(other, c->Text.VisibleRows);
  constexpr int32_t kClicks = 1000;
  int32_t selected = 0;
  const int64_t movesBefore = moves.load();
  for (int32_t n = 0; n < kClicks; ++n) {
    const int32_t row = n % 2 == 0 ? other : p;
    ClickAt(c->X + c->W / 2, c->Y + V::BorderWidth + row * rowH + rowH / 2, RunLoop);
    selected += osc->SelectedParam.Load() == row;
    if (n % 25 == 0) {
      ASSERT_TRUE(NextFrame());
    }
  }
  EXPECT_EQ(selected, kClicks);
  EXPECT_GT(moves.load(), movesBefore);
  StopMidi();
  StopThreads();
}
