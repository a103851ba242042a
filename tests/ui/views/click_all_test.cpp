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
// The second test takes every other window the same way (see there), with
// the program's own audio thread playing.
//
// Under ThreadSanitizer any word two of these threads touch without an owner
// fails the run. Fixed seeds (the typed values); TARVELO_CLICK_ALL_TYPES sets
// how many types a pass takes (all 43 by default) and
// TARVELO_CLICK_ALL_SECONDS runs pass after pass for that long (both tests).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
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
#include "audio/audio.h"
#include "audio/wav.h"
#include "basics/listings.h"
#include "basics/program.h"
#include "engine/catalog/catalog.h"
#include "engine/midimap.h"
#include "engine/modulelist.h"
#include "engine/params.h"
#include "platform/events.h"
#include "platform/screen.h"
#include "platform/sdl.h"
#include "threaded_ui_fixture.h"
#include "ui/build/callbacks.h"
#include "ui/build/frame.h"
#include "ui/panels/dialog.h"
#include "ui/panels/midi_mapping.h"
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
    MakeHome("tarvelo_click_all");
    ThreadedUiTest::SetUp();
    if (HasFatalFailure()) return;
    EnterHome();
    if (HasFatalFailure()) return;
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
    if (render.joinable() || audio) StopThreads();
    Tarvelo::SelectModule(nullptr, -1);
    Tarvelo::ClearSynth();
    Tarvelo::MidiDevices = Tarvelo::MidiDeviceHooks{};
    Tarvelo::ResetMidiMappingStatics();  // the map and channel the MIDI page chose
    Tarvelo::WaveLibraryListsFree();
    QUARLE_BASICS::DirListFree(Tarvelo::BrowserListing);
    QUARLE_BASICS::DynZStringAssign(QUARLE_BASICS::HomeFolder, "");
    ThreadedUiTest::TearDown();
    LeaveHome();
  }

  // The libraries the pages list hold an entry each: a sample of the synth,
  // a filter and a melody (a load keeps only what its file names).
  static void FillLibraries() {
    if (Tarvelo::SynthSamples.header.count < 1) AddWave(Tarvelo::SynthSamples, "take.wav", 480);
    if (Tarvelo::FilterLibrary.header.count < 1) AddWave(Tarvelo::FilterLibrary, "FIR.wav", 16);
    if (Tarvelo::MelodyLibrary.header.count < 1) uithreads::ShortMelody();
  }
  static void AddWave(Tarvelo::WaveLibraryList& list, const char* file, int32_t frames, int32_t channels = 1) {
    EXPECT_EQ(Tarvelo::WaveLibraryListReserve(list), 0);
    Tarvelo::WaveLibraryEntry* e = Tarvelo::WaveLibraryEntryNew();
    QUARLE_BASICS::DynZStringAssign(e->File, file);
    QUARLE_AUDIO::SoundBufferSetFormat(&e->Sound, channels, 48000, 32);
    e->Sound.frameCount = static_cast<uint32_t>(frames);
    e->Sound.dataSize = static_cast<uint32_t>(frames * channels * 4);
    e->Sound.samples = static_cast<float*>(std::calloc(frames * channels + 1, sizeof(float)));
    for (int32_t i = 0; i < frames * channels; ++i) e->Sound.samples[i] = 0.25f * ((i % 4) - 1.5f);
    e->RateRatio = QUARLE_BASICS::Ratio{1, 1};
    e->Pitch[0] = 440.0f;
    e->LoadState = Tarvelo::kWaveDataHeld;
    e->State.Store(Tarvelo::kWaveIdle);
    e->ListIndex = list.header.count;
    Tarvelo::WaveLibraryListCommit(list, e);
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

  // --- Every window -----------------------------------------------------------

  // What the walk of the windows used.
  struct WindowTally {
    std::map<int32_t, int32_t> controls;  // controls pressed, clicked, dragged or wheeled: their windows
    std::set<std::string> names;          // their ID texts
    std::set<std::string> typedInto;      // the controls whose fields took the texts
    int32_t clicks = 0, drags = 0, drops = 0, wheels = 0, rows = 0, keys = 0, texts = 0,
            questions = 0, covered = 0, closes = 0, links = 0, made = 0, altKeys = 0;
  };

  static int32_t WindowOf(int32_t id) {
    for (int32_t w = 0; w < V::WindowSlotCount; ++w)
      if (V::WindowList[w] > 0 && Within(id, V::WindowList[w])) return w;
    return -1;
  }
  static bool IsQuit(int32_t id) { return C(id) && C(id)->EventCallback == Tarvelo::Cb.OnQuit; }
  static int32_t QuitButton() {
    for (int32_t id = 1; id < V::ControlTableCount(); ++id)
      if (IsQuit(id)) return id;
    return 0;
  }
  // The video thread frees a deleted box's whole subtree between frames, and
  // only the box says it goes: after a purge was asked (this thread alone
  // asks), the table is read whole only once the video thread took the
  // request and ended the frame it purged in.
  static void CountedPurge() {
    ++g_purgesAsked;
    V::PurgeRequest = -1;
  }
  static void Quiet() {
    if (g_purgesAsked == g_purgesSettled) return;
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    auto running = [&] { return V::VideoRunFlag.load() == -1 && std::chrono::steady_clock::now() < giveUp; };
    while (running() && V::PurgeRequest.load() == -1) std::this_thread::sleep_for(std::chrono::microseconds(200));
    const uint64_t frame = V::VideoFrameSerial.load();
    while (running() && (frame & 1) != 0 && V::VideoFrameSerial.load() == frame)
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    g_purgesSettled = g_purgesAsked;
  }
  // Every control of every window outside the module page a user can use
  // now, in table order: shown, enabled, on the screen, taking a press, a
  // click, a drag or the wheel. The dialog's buttons are its answers.
  static std::vector<int32_t> WindowControls() {
    Quiet();
    const int32_t tools = Slot(Tarvelo::kUiTOOLS), db = Slot(Tarvelo::kUiDB);
    std::vector<int32_t> out;
    for (int32_t id = 1; id < V::ControlTableCount(); ++id) {
      const V::ControlRecord* c = C(id);
      if (!c || c->DeletePending || !c->EventCallback || V::IsDisabled(&c->State)) continue;
      if ((c->EventMask & (V::kEventPress | V::kEventClick | V::kEventDrag | V::kEventWheel)) == 0) continue;
      if (Within(id, tools) || Within(id, db)) continue;
      if (Reachable(id)) out.push_back(id);
    }
    return out;
  }
  // Which controls are shown and enabled: a click that changes it opens or
  // closes a page (or offers what a selection offers).
  static std::vector<bool> ShownControls() {
    Quiet();
    std::vector<bool> v(V::ControlTableCount());
    for (int32_t id = 0; id < V::ControlTableCount(); ++id)
      v[id] = C(id) && !C(id)->DeletePending && C(id)->Visible != 0 && !V::IsDisabled(&C(id)->State);
    return v;
  }
  // A place where a click reaches the control (the middle first); false when
  // other controls cover all of it.
  static bool HitPlace(int32_t id, int32_t& x, int32_t& y) {
    const V::ControlRecord* c = C(id);
    x = c->X + c->W / 2;
    y = c->Y + c->H / 2;
    if (x >= 0 && x < kW && y >= 0 && y < kH && V::ControlHitTest(x, y, 0) == id) return true;
    for (int32_t dy = 1; dy < c->H; dy += std::max(c->H / 5, 2))
      for (int32_t dx = 1; dx < c->W; dx += std::max(c->W / 7, 2)) {
        x = c->X + dx;
        y = c->Y + dy;
        if (x >= 0 && x < kW && y >= 0 && y < kH && V::ControlHitTest(x, y, 0) == id) return true;
      }
    return false;
  }
  // A bare place of the plane.
  static bool BarePlace(int32_t& x, int32_t& y) {
    const int32_t plane = Plane();
    const V::ControlRecord* p = C(plane);
    for (y = p->Y + p->H / 2; y < p->Y + p->H - 10; y += 23)
      for (x = p->X + p->W / 3; x < p->X + p->W - 10; x += 31)
        if (x < kW && y < kH && V::ControlHitTest(x, y, 0) == plane) return true;
    return false;
  }
  void Drag(int32_t x, int32_t y, int32_t toX, int32_t toY) {
    MoveTo(x, y);
    Button(platform::kWindowButtonPress);
    for (int32_t step = 1; step <= 4; ++step) MoveTo(x + (toX - x) * step / 4, y + (toY - y) * step / 4);
    Button(platform::kWindowButtonRelease);
    RunLoop();
  }

  // What a user types where a value or a name is asked for, good and bad.
  static const std::vector<std::string>& BadTexts() {
    static const std::vector<std::string> texts = {
        "abc", "", std::string(1000, '9'), "nan", "-inf", "1e999", "-7", std::string(300, 'n'),
        "a\\b", "..\\..\\up", "a/b", "con:", "0.5"};
    return texts;
  }
  void Type(const std::string& text) {
    for (const char ch : text) {
      static constexpr uint32_t kDigitScans[10] = {11, 2, 3, 4, 5, 6, 7, 8, 9, 10};
      const uint32_t scan = ch >= '0' && ch <= '9' ? kDigitScans[ch - '0'] : ch == '.' ? 52u : 0u;
      Key(scan, static_cast<uint8_t>(ch));
    }
  }
  // A field takes the keys typed (not the shortcuts' default target).
  static bool Editing() { return V::ActiveEditField() > 0 && V::ActiveEditField() != V::DefaultKeyTarget; }
  // Each of the texts typed into the field being edited and entered; the
  // control that asked for it clicked again when the field closed.
  void TypeTexts(int32_t owner, WindowTally& t) {
    for (const std::string& text : BadTexts()) {
      int32_t field = Editing() ? V::ActiveEditField() : 0;
      if (field <= 0) {
        if (!Reachable(owner) || V::IsDisabled(&C(owner)->State) || IsQuit(owner)) return;
        int32_t x = 0, y = 0;
        if (!HitPlace(owner, x, y)) return;
        ClickAt(x, y, RunLoop);
        ++t.clicks;
        field = Editing() ? V::ActiveEditField() : 0;
        if (field <= 0) {
          AnswerNo(t);
          return;
        }
      }
      Key(Tarvelo::kScanEnd, 0);
      for (size_t k = Text(field).size() + 1; k > 0; --k) Key(Tarvelo::kScanBackspace, 8);
      Type(text);
      AltKeysTypeNothing(field, t);
      Key(Tarvelo::kScanEnter, 13);
      RunLoop();
      ++t.texts;
      t.typedInto.insert(Id(owner));
      // A value field keeps a number whatever was typed.
      if (C(owner) && C(owner)->EventCallback == Tarvelo::Cb.OnValueEdit && C(owner)->UserPointer) {
        const auto* v = static_cast<const Tarvelo::ParamValue*>(C(owner)->UserPointer);
        platform::MutexGuard guard(v->Lock);
        EXPECT_TRUE(std::isfinite(v->Base.value)) << Id(owner) << " holds " << v->Base.value << " after \""
                                                  << text.substr(0, 20) << "\"";
      }
    }
  }
  // A question up is answered: Quit's with No, any other with what it asks
  // (a text typed when it has an edit line, else OK); Cancel when that left
  // it open.
  void AnswerNo(WindowTally& t) {
    const int32_t db = Slot(Tarvelo::kUiDB);
    if (!OnScreen(db)) return;
    ++t.questions;
    const int32_t cancel = db + 4, ok = db + 3;
    const int32_t answer = IsQuit(Tarvelo::DialogOwner) || !Reachable(ok) ? cancel : ok;
    if (answer == ok && OnScreen(db + 2) && V::ActiveEditField() == db + 2) {
      TypeTexts(Tarvelo::DialogOwner, t);
    } else if (Reachable(answer)) {
      ClickAt(C(answer)->X + C(answer)->W / 2, C(answer)->Y + C(answer)->H / 2, RunLoop);
    }
    if (OnScreen(db) && Reachable(cancel))
      ClickAt(C(cancel)->X + C(cancel)->W / 2, C(cancel)->Y + C(cancel)->H / 2, RunLoop);
    EXPECT_FALSE(OnScreen(db) && IsQuit(Tarvelo::DialogOwner)) << "Quit's question left up";
  }
  // The output stream as the interface asks it and the audio thread answers:
  // waits (within the hang bound) until the render plays or no longer does.
  void AwaitPlayback(int64_t was) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    auto open = [] {
      platform::MutexGuard guard(QUARLE_AUDIO::MT_AUDIO);
      return QUARLE_AUDIO::PlaybackOpen == -1;
    };
    while (Tarvelo::PlaybackActive.load() == was && std::chrono::steady_clock::now() < giveUp && open()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      RunLoop();
    }
  }
  void PowerOn() {
    if (Tarvelo::PlaybackActive.load() != 0) return;
    // The device the audio settings closed is opened again, as their Set does.
    int32_t device = -1;
    {
      platform::MutexGuard guard(QUARLE_AUDIO::MT_AUDIO);
      if (QUARLE_AUDIO::PlaybackOpen != -1)
        for (int32_t i = 1; i < QUARLE_AUDIO::PlaybackDeviceCount && device < 0; ++i)
          if (QUARLE_BASICS::DynZStringGet(QUARLE_AUDIO::PlaybackDeviceList[i]) == "No Output") device = i;
    }
    if (device > 0) {
      QUARLE_BASICS::CommandMessage open{};
      open.type = QUARLE_AUDIO::kAudioPlaybackDevice;
      open.single1 = static_cast<float>(device);
      QUARLE_BASICS::PostCommand(open, QUARLE_BASICS::AudioCommandQueue, -1);
      const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      for (bool opened = false; !opened && std::chrono::steady_clock::now() < giveUp;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        RunLoop();
        platform::MutexGuard guard(QUARLE_AUDIO::MT_AUDIO);
        opened = QUARLE_AUDIO::PlaybackOpen == -1;
      }
    }
    const int32_t power = Slot(Tarvelo::kUiPlayMP);
    int32_t x = 0, y = 0;
    if (power <= 0 || !Reachable(power) || !HitPlace(power, x, y)) return;
    ClickAt(x, y, RunLoop);
    AwaitPlayback(0);
  }
  void ClickOnce(int32_t id, int32_t x, int32_t y, WindowTally& t) {
    const int64_t playing = Tarvelo::PlaybackActive.load();
    ClickAt(x, y, RunLoop);
    ++t.clicks;
    if (C(id) && C(id)->EventCallback == Tarvelo::Cb.OnAudioOutputPower) AwaitPlayback(playing);
    if (Editing() && !OnScreen(Slot(Tarvelo::kUiDB))) TypeTexts(id, t);
    AnswerNo(t);
  }
  // Each shown row clicked, the list scrolled by the wheel to its end; a
  // list whose rows are dragged has its selected row dropped on the plane.
  void WindowRows(int32_t list, WindowTally& t) {
    std::set<int32_t> seen;
    for (int32_t scroll = 0; scroll < kRowScrolls && Reachable(list); ++scroll) {
      const V::ControlRecord* c = C(list);
      const int32_t rows = std::max(c->Text.VisibleRows, 1);
      const int32_t rowH = std::max(Tarvelo::ListRowHeightOf(c->Render), 1);
      // Bottom up: a list's first row may lead back to the list before it.
      for (int32_t r = rows - 1; r >= 0 && Reachable(list) && seen.size() < 48; --r) {
        const int32_t item = C(list)->Text.FirstVisible + r;
        const int32_t y = c->Y + V::BorderWidth + r * rowH + rowH / 2;
        if (!seen.insert(item).second || V::ControlHitTest(c->X + c->W / 2, y, 0) != list) continue;
        const std::vector<bool> before = ShownControls();
        ClickOnce(list, c->X + c->W / 2, y, t);
        ++t.rows;
        // What the row's choice offers that nothing used yet, at once.
        for (const int32_t id : WindowControls()) {
          bool opens = false;
          if (static_cast<size_t>(id) < before.size() && !before[id] && !t.controls.count(id) &&
              !IsList(id) && Reachable(id))
            UseAny(id, t, opens);
        }
      }
      const int32_t first = C(list)->Text.FirstVisible;
      MoveTo(c->X + c->W / 2, c->Y + c->H / 2);
      Wheel(-rows);
      RunLoop();
      ++t.wheels;
      if (!Reachable(list) || C(list)->Text.FirstVisible == first) break;
    }
    if (!Reachable(list)) return;
    MoveTo(C(list)->X + C(list)->W / 2, C(list)->Y + C(list)->H / 2);
    Wheel(64);
    RunLoop();
    // The first row chosen again (a click on a row past the items chose
    // none): what a choice offers stays offered for the walk.
    if (C(list)->Text.Selected < 0 && !seen.empty()) {
      const V::ControlRecord* c = C(list);
      const int32_t rowH = std::max(Tarvelo::ListRowHeightOf(c->Render), 1);
      const int32_t y = c->Y + V::BorderWidth + rowH / 2;
      if (V::ControlHitTest(c->X + c->W / 2, y, 0) == list) ClickOnce(list, c->X + c->W / 2, y, t);
    }
    int32_t x = 0, y = 0, toX = 0, toY = 0;
    if (C(list)->Text.Selected >= 0 && BarePlace(toX, toY)) {
      const V::ControlRecord* c = C(list);
      const int32_t rowH = std::max(Tarvelo::ListRowHeightOf(c->Render), 1);
      const int32_t row = C(list)->Text.Selected - C(list)->Text.FirstVisible;
      if (row >= 0 && row < c->Text.VisibleRows) {
        x = c->X + c->W / 2;
        y = c->Y + V::BorderWidth + row * rowH + rowH / 2;
        if (V::ControlHitTest(x, y, 0) == list) {
          Drag(x, y, toX, toY);
          ++t.drops;
          AnswerNo(t);
        }
      }
    }
  }
  // One control as its kind is used: a list row by row; a control taking
  // drags clicked and dragged both ways; any other clicked twice (on and off
  // again), with a question answered and bad text typed where it asks for
  // text; the wheel turned both ways over one that takes it. False when
  // other controls cover all of it now.
  // `opens` tells whether its first click showed or hid a page.
  bool UseAny(int32_t id, WindowTally& t, bool& opens) {
    int32_t x = 0, y = 0;
    opens = false;
    if (!HitPlace(id, x, y)) return false;
    const std::vector<bool> before = ShownControls();
    t.controls[id] = WindowOf(id);
    t.names.insert(Id(id));
    const uint32_t mask = C(id)->EventMask;
    if (IsList(id)) {
      WindowRows(id, t);
      opens = ShownControls() != before;
      return true;
    }
    if (mask & V::kEventDrag) {
      ClickOnce(id, x, y, t);
      if (Reachable(id) && HitPlace(id, x, y)) {
        Drag(x, y, x + 40, y + 12);
        Drag(x + 40, y + 12, x - 10, y - 6);
        t.drags += 2;
        AnswerNo(t);
      }
    } else if (mask & (V::kEventPress | V::kEventClick)) {
      ClickOnce(id, x, y, t);
      // What it opened stays open for the walk; the walk of the pages
      // clicks it again.
      opens = ShownControls() != before;
      if (!opens && Reachable(id) && !V::IsDisabled(&C(id)->State) && HitPlace(id, x, y)) ClickOnce(id, x, y, t);
    }
    if ((mask & V::kEventWheel) && Reachable(id) && HitPlace(id, x, y)) {
      MoveTo(x, y);
      Wheel(1);
      Wheel(-2);
      RunLoop();
      t.wheels += 2;
      AnswerNo(t);
    }
    return true;
  }
  // A window over the control (About, a settings window, the tuning
  // window) closed by its tab, or the plane put back in place for a control
  // of the plane; false when none covers it or none can be.
  bool Uncover(int32_t id, WindowTally& t) {
    const V::ControlRecord* c = C(id);
    const int32_t over = WindowOf(V::ControlHitTest(c->X + c->W / 2, c->Y + c->H / 2, 0));
    const int32_t reset = Slot(Tarvelo::kUiSTB_CP);
    int32_t x = 0, y = 0;
    if (over != Tarvelo::kWinSYNTH && WindowOf(id) == Tarvelo::kWinSYNTH && Reachable(reset) &&
        HitPlace(reset, x, y)) {
      ClickOnce(reset, x, y, t);
      return true;
    }
    if (over != Tarvelo::kWinABOUT && over != Tarvelo::kWinVS && over != Tarvelo::kWinAUDIO &&
        over != Tarvelo::kWinTNG)
      return false;
    for (int32_t tab = 1; tab < V::ControlTableCount(); ++tab) {
      if (!C(tab) || C(tab)->EventCallback != Tarvelo::Cb.OnWindowTab || static_cast<int32_t>(C(tab)->Tag) != over) continue;
      if (!Reachable(tab) || !HitPlace(tab, x, y)) return false;
      ClickOnce(tab, x, y, t);
      return !OnScreen(V::WindowList[over]);
    }
    return false;
  }
  // About, the settings windows and the tuning window closed by their tabs.
  void CloseWindows(WindowTally& t) {
    for (const int32_t w : {Tarvelo::kWinABOUT, Tarvelo::kWinVS, Tarvelo::kWinAUDIO, Tarvelo::kWinTNG})
      for (int32_t tab = 1; OnScreen(V::WindowList[w]) && tab < V::ControlTableCount(); ++tab) {
        int32_t x = 0, y = 0;
        if (C(tab) && C(tab)->EventCallback == Tarvelo::Cb.OnWindowTab && static_cast<int32_t>(C(tab)->Tag) == w &&
            Reachable(tab) && HitPlace(tab, x, y))
          ClickOnce(tab, x, y, t);
      }
  }
  // A synth to play and click on after a New or a load emptied it: a
  // Keyboard and an Oscillator, which the walk links.
  void Restock() {
    if (Tarvelo::ModuleList.count >= 2) return;
    Make(Tarvelo::kTypeKeyboard, 600 + 10 * Tarvelo::ModuleList.count, 480);
    Make(Tarvelo::kTypeOscillator, 860, 500);
    RunLoop();
  }
  // Uses every control not used yet until none is left that a click can
  // reach; what opened or closed a page goes to `togglers`.
  void WalkWindows(std::set<int32_t>& done, std::vector<int32_t>& togglers, WindowTally& t) {
    std::set<int32_t> covered, uncovered;
    for (int32_t uses = 0; uses < kWindowUses; ++uses) {
      // A list before the other controls: a tab after it may hide it.
      int32_t next = 0;
      for (const int32_t id : WindowControls())
        if (!done.count(id) && !covered.count(id) && (next == 0 || (IsList(id) && !IsList(next)))) {
          next = id;
          if (IsList(id)) break;
        }
      if (next == 0) break;
      bool opens = false;
      if (!UseAny(next, t, opens)) {
        if (!uncovered.insert(next).second || !Uncover(next, t)) covered.insert(next);
        continue;
      }
      done.insert(next);
      if (opens) togglers.push_back(next);
      if (HasFatalFailure()) return;
      Restock();
      PowerOn();
      if (uses % 16 == 0) NextFrame();
    }
    t.covered += static_cast<int32_t>(covered.size());
  }
  // The window manager's close, answered No: the loop hands it to Quit as
  // the program's window does, and the test's handler takes the close
  // target back before the loop's next close.
  static int32_t CloseThenEnd(QUARLE_BASICS::CommandMessage* m) {
    if (m->type != kCloseTurn) return Tarvelo::HandleSystemMessage(m);
    if (++g_closeTurn == 1) {
      QUARLE_BASICS::PostCommand(*m, 0, 0);
    } else {
      V::CloseRequestTarget = 0;
      platform::WindowEventInject(platform::PlainEvent(platform::kWindowClose));
    }
    return 0;
  }
  void WindowCloseAnsweredNo(WindowTally& t) {
    const int32_t quit = QuitButton();
    ASSERT_GT(quit, 0);
    g_closeTurn = 0;
    V::SystemMessageHandler = CloseThenEnd;
    V::CloseRequestTarget = quit;
    platform::WindowEventInject(platform::PlainEvent(platform::kWindowClose));
    QUARLE_BASICS::CommandMessage turn{};
    turn.type = kCloseTurn;
    QUARLE_BASICS::PostCommand(turn, 0, 0);
    V::GuiMessageLoop();
    V::SystemMessageHandler = Tarvelo::HandleSystemMessage;
    V::CloseRequestTarget = 0;
    RunLoop();
    EXPECT_EQ(Tarvelo::DialogOwner, quit) << "the close asks";
    ++t.closes;
    AnswerNo(t);
  }
  // Every shortcut of the table, every other Ctrl key, Alt+M, Del and Esc,
  // each as SDL reports it; each question answered (Ctrl+X's with No). Alt+M
  // minimises where it reaches its button.
  void Shortcuts(WindowTally& t) {
    std::vector<int32_t> codes;
    for (int32_t code = 1; code < V::kKeyShortcutCount; ++code)
      if (V::KeyShortcutTable[code] > 0 || code <= 26) codes.push_back(code);
    codes.push_back(Tarvelo::kKeyEsc);
    codes.push_back(Tarvelo::kKeyDel);
    int32_t reached = 0;
    for (const int32_t code : codes) {
      const int32_t count = platform::ScreenMinimizeCount(), winmin = V::KeyShortcutTable[Tarvelo::kKeyAltM];
      const bool reaches = code == Tarvelo::kKeyAltM && V::ActiveEditField() == V::DefaultKeyTarget && winmin > 0 &&
                           OnScreen(winmin) && !V::IsDisabled(&C(winmin)->State);
      SdlShortcut(code);
      RunLoop();
      ++t.keys;
      reached += reaches;
      if (code == Tarvelo::kKeyAltM) {
        EXPECT_EQ(platform::ScreenMinimizeCount(), count + reaches) << "Alt+M";
      }
      if (Editing() && !OnScreen(Slot(Tarvelo::kUiDB))) {
        Key(Tarvelo::kScanEnter, 13);
        RunLoop();
      }
      AnswerNo(t);
      PowerOn();
    }
    EXPECT_GT(reached, 0);
  }
  // Alt+M in a field being edited is a shortcut, not its letter.
  void AltKeysTypeNothing(int32_t field, WindowTally& t) {
    RunLoop();
    if (V::ActiveEditField() != field) return;
    const std::string before = Text(field);
    SdlShortcut(Tarvelo::kKeyAltM);
    RunLoop();
    EXPECT_TRUE(Text(field) == before) << "Alt+M typed into " << Id(field);
    ++t.altKeys;
  }
#if TARVELO_HAVE_SDL
  // A shortcut as SDL (text input on, no window) reports it, through the
  // pump's translation: Ctrl with a letter for a control character, left Alt
  // with a letter and the text X11 types with it for a letter's scan code.
  static void SdlShortcut(int32_t code) {
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    ASSERT_EQ(SDL_InitSubSystem(SDL_INIT_EVENTS), 0) << SDL_GetError();
    SDL_EventState(SDL_TEXTINPUT, SDL_ENABLE);
    int32_t scan = code == Tarvelo::kKeyEnter ? SDL_SCANCODE_RETURN : code == Tarvelo::kKeyEsc ? SDL_SCANCODE_ESCAPE
                   : code < 27 ? SDL_SCANCODE_A + code - 1 : 0;
    for (int32_t s = 1; s < SDL_NUM_SCANCODES && scan == 0; ++s)
      if (platform::ScanCodeOfSdl(s) == static_cast<uint32_t>(code - 256)) scan = s;
    ASSERT_GT(scan, 0) << code;
    const bool letter = scan >= SDL_SCANCODE_A && scan <= SDL_SCANCODE_Z;
    const int32_t sym = letter ? 'a' + scan - SDL_SCANCODE_A : code < 256 ? code : SDL_SCANCODE_TO_KEYCODE(scan);
    SDL_Event down{}, typed{};
    down.type = SDL_KEYDOWN;
    down.key.keysym = {static_cast<SDL_Scancode>(scan), sym, static_cast<uint16_t>(!letter ? 0 : code < 27 ? KMOD_LCTRL : KMOD_LALT), 0};
    SDL_Event up = down;
    up.type = SDL_KEYUP;
    typed.type = SDL_TEXTINPUT;
    typed.text.text[0] = static_cast<char>(sym);
    SDL_PushEvent(&down);
    if (letter && code >= 256) SDL_PushEvent(&typed);
    SDL_PushEvent(&up);
    SDL_Event e;
    platform::WindowEvent out;
    while (SDL_PeepEvents(&e, 1, SDL_GETEVENT, SDL_FIRSTEVENT, SDL_LASTEVENT) == 1)
      if (platform::TranslateSdlEventForTest(e, out)) platform::WindowEventInject(out);
    SDL_QuitSubSystem(SDL_INIT_EVENTS);
  }
#else
  static void SdlShortcut(int32_t code) { code < 256 ? Key(0, code) : Key(code - 256, 0); }
#endif
  // The synth file renamed, copied and saved over from the file browser,
  // every name typed: none with a path separator takes the file out of its
  // folder.
  void FileNames(WindowTally& t) {
    for (const char* button : {"LIREN", "LICOPY", "LISAVE"}) {
      TapOrFail("TABFIL");
      if (Tarvelo::BrowseFolder(Tarvelo::SessionFolder, kSynthFile) < 0) {
        ASSERT_EQ(Tarvelo::SaveSession(Tarvelo::SessionFolder, kSynthFile), 0);
        ASSERT_GE(Tarvelo::BrowseFolder(Tarvelo::SessionFolder, kSynthFile), 0);
      }
      RunLoop();
      const int32_t id = Find(button);
      int32_t x = 0, y = 0;
      ASSERT_TRUE(Reachable(id) && HitPlace(id, x, y)) << button;
      ClickOnce(id, x, y, t);
      t.controls[id] = WindowOf(id);
    }
    for (const auto& e : fs::recursive_directory_iterator(home / "SYNTHS"))
      EXPECT_FALSE(e.is_directory()) << e.path() << " made by a name";
    for (const char* name : {"up", "up.tarvelo", "b", "b.tarvelo"}) {
      EXPECT_FALSE(fs::exists(home / name)) << name;
      EXPECT_FALSE(fs::exists(home.parent_path() / name)) << name;
    }
  }
  // The plane's own uses: links drawn port to port, an input's value
  // dragged, a box dragged, the wheel over the plane.
  void PlaneUses(WindowTally& t) {
    ModuleRecord* kb = nullptr;
    ModuleRecord* osc = nullptr;
    for (int32_t i = 0; i < Tarvelo::ModuleList.count; ++i) {
      ModuleRecord* m = Tarvelo::ModuleList.entries[i];
      if (m->Type == Tarvelo::kTypeKeyboard && !kb) kb = m;
      if (m->Type == Tarvelo::kTypeOscillator && !osc) osc = m;
    }
    if (!kb) kb = Make(Tarvelo::kTypeKeyboard, 600, 500);
    if (!osc) osc = Make(Tarvelo::kTypeOscillator, 850, 520);
    ASSERT_TRUE(kb && osc);
    RunLoop();
    auto click = [&](int32_t id) {
      int32_t x = 0, y = 0;
      if (id > 0 && Reachable(id) && HitPlace(id, x, y)) {
        ClickOnce(id, x, y, t);
        t.controls[id] = WindowOf(id);
        t.names.insert(Id(id));
      }
    };
    const std::vector<int32_t> inputs = Ports(osc);
    for (size_t k = 0; k + 1 < inputs.size() && k < 4; ++k) {
      click(Output(kb));
      click(inputs[k]);
      ++t.links;
    }
    click(Output(osc));
    click(Slot(Tarvelo::kUiSOUT));
    ++t.links;
    int32_t x = 0, y = 0;
    for (size_t k = 0; k + 1 < inputs.size() && k < 4; ++k)
      if (Reachable(inputs[k]) && HitPlace(inputs[k], x, y)) {
        Drag(x, y, x + 3, y - 30);
        ++t.drags;
        t.controls[inputs[k]] = WindowOf(inputs[k]);
      }
    if (Box(kb) && BoxPlace(kb, x, y)) {
      Drag(x, y, x + 25, y + 15);
      ++t.drags;
    }
    // A row of the catalog and one of the created modules dropped on the plane.
    for (const char* tab : {"LIBT1", "LIBT2"}) {
      int32_t tx = 0, ty = 0;
      const int32_t id = Find(tab);
      if (!Reachable(id) || !HitPlace(id, tx, ty)) continue;
      ClickOnce(id, tx, ty, t);
      const int32_t list = Slot(Tarvelo::kUiREFM) + (std::string(tab) == "LIBT2" ? 1 : 0);
      if (!Reachable(list) || !BarePlace(x, y)) continue;
      const V::ControlRecord* c = C(list);
      const int32_t rowH = std::max(Tarvelo::ListRowHeightOf(c->Render), 1);
      const int32_t count = Tarvelo::ModuleList.count;
      Drag(c->X + c->W / 2, c->Y + V::BorderWidth + rowH / 2, x, y);
      ++t.drops;
      t.controls[list] = WindowOf(list);
      t.made += Tarvelo::ModuleList.count > count;
      AnswerNo(t);
    }
    if (BarePlace(x, y)) {
      MoveTo(x, y);
      Wheel(2);
      Wheel(-2);
      RunLoop();
      t.wheels += 2;
      Drag(x, y, x - 15, y + 10);
    }
    AnswerNo(t);
  }

  static constexpr int32_t kWindowUses = 4000;  // bounds a walk that keeps finding controls
  static constexpr uint32_t kCloseTurn = 0x7F0001;
  static inline int32_t g_closeTurn = 0;  // one thread: interface
  static inline int64_t g_purgesAsked = 0, g_purgesSettled = 0;  // one thread: interface

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

// Every control of every window but the module page (which the test above
// takes), enumerated from the control table as it stands: the system bar,
// the status bar, the plane with its boxes, ports and links, the browser's
// pages, the keyboards and the octave board, the settings windows, the
// tuning window and About; pages a click opened walked in turn. Each is used
// as its kind is (rows clicked and scrolled, rows dropped on the plane,
// drags, wheels, clicks on and off), every question answered (Quit's with
// No), bad text typed into every field that asks for one; then the window
// manager's close answered No, the window's focus and exposure events, and
// every shortcut key. The program's own audio thread plays on OpenAL Soft's
// null device meanwhile, so output power, Rec, the gain drags and the buffer
// length reach it, while a controller moves and the video thread draws.
TEST_F(ClickAll, EveryControlOfEveryWindowWhileTheAudioThreadPlaysWithShortcutsAndBadText) {
  const int32_t seconds = EnvCount("TARVELO_CLICK_ALL_SECONDS", 0);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  uithreads::RunningProgram running;
  WindowTally t;
  int32_t passes = 0, walks = 0, played = 0;
  for (int32_t pass = 0; pass == 0 || (seconds > 0 && std::chrono::steady_clock::now() < end); ++pass) {
    const auto start = std::chrono::steady_clock::now();
    rng.seed(static_cast<uint32_t>(pass + 1));
    FillLibraries();
    if (Tarvelo::SampleLibrary.header.count < 1) AddWave(Tarvelo::SampleLibrary, "library.wav", 960, 2);
    // A Keyboard playing an Oscillator into the synth output, the windows
    // as the program opens them.
    Tarvelo::SelectModule(nullptr, -1);
    Tarvelo::ClearSynth();
    ModuleRecord* kb = Make(Tarvelo::kTypeKeyboard, 700, 300);
    ModuleRecord* osc = Make(Tarvelo::kTypeOscillator, 900, 300);
    ASSERT_TRUE(kb && osc);
    Tarvelo::ModuleLinkInput(*osc, 0, kb, &Tarvelo::ModuleCatalog[osc->Type]);
    Tarvelo::SynthOutputModule.store(osc);
    Show(Tarvelo::kWinPANEL, -1);
    for (const int32_t w : {Tarvelo::kWinABOUT, Tarvelo::kWinVS, Tarvelo::kWinAUDIO, Tarvelo::kWinTNG})
      Show(w, 0);
    Tarvelo::BoxHooks.RaisePurge = CountedPurge;
    StartAudioThread();
    ASSERT_FALSE(HasFatalFailure());
    StartRenderAndVideo(false);
    ASSERT_FALSE(HasFatalFailure());
    StartMidi();
    RunLoop();
    PowerOn();
    played += Tarvelo::PlaybackActive.load() != 0;
    // The MIDI page lists the moving controller, bound to the Oscillator.
    Tarvelo::SelectModule(osc, -1);
    EXPECT_GE(Bind(osc), 0);

    std::set<int32_t> done;
    std::vector<int32_t> togglers;
    WalkWindows(done, togglers, t);
    ++walks;
    // What a page that opens or closes hides or shows: each control that
    // opened one clicked again, then every other that takes a click (those
    // the walks after reach too), each followed by the walk of what it
    // showed.
    std::vector<int32_t> again = togglers;
    std::set<int32_t> queued(again.begin(), again.end());
    std::map<int32_t, int32_t> deferred;
    auto queueUsed = [&] {
      for (const auto& [id, w] : t.controls)
        if (queued.insert(id).second) again.push_back(id);
    };
    queueUsed();
    for (size_t i = 0; i < again.size() && !HasFatalFailure(); ++i) {
      int32_t x = 0, y = 0;
      const int32_t id = again[i];
      if (!C(id) || C(id)->DeletePending || IsList(id) || TakesDrags(id) ||
          (C(id)->EventMask & (V::kEventPress | V::kEventClick)) == 0)
        continue;
      // One hidden or covered now comes again after the others, twice at most.
      if (!Reachable(id) || V::IsDisabled(&C(id)->State) || !HitPlace(id, x, y)) {
        if (Reachable(id)) Uncover(id, t);
        if (++deferred[id] <= 2) again.push_back(id);
        continue;
      }
      const std::vector<bool> hidden = ShownControls();
      ClickOnce(id, x, y, t);
      // The tabs of a page it showed come next (once more each at most).
      const std::vector<bool> shown = ShownControls();
      for (size_t k = shown.size(); k-- > 0;)
        if (shown[k] && (k >= hidden.size() || !hidden[k]) && t.controls.count(static_cast<int32_t>(k)) &&
            ++deferred[static_cast<int32_t>(k)] <= 3)
          again.insert(again.begin() + static_cast<std::ptrdiff_t>(i) + 1, static_cast<int32_t>(k));
      const size_t before = done.size();
      WalkWindows(done, togglers, t);
      walks += done.size() > before;
      queueUsed();
    }
    if (HasFatalFailure()) break;
    CloseWindows(t);
    FileNames(t);
    PlaneUses(t);
    WindowCloseAnsweredNo(t);
    for (const platform::WindowEventKind kind :
         {platform::kWindowFocusLost, platform::kWindowPointerLeave, platform::kWindowPointerEnter,
          platform::kWindowFocusGained})
      platform::WindowEventInject(platform::PlainEvent(kind));
    platform::ScreenNoteExposed();  // as after the window manager resized the window
    RunLoop();
    NextFrame();
    Shortcuts(t);
    StopMidi();
    StopThreads();
    ++passes;
    std::printf("pass %d: %.1f s\n", pass,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    if (HasFatalFailure()) break;
  }

  std::map<int32_t, int32_t> perWindow;
  for (const auto& [id, w] : t.controls) ++perWindow[w];
  std::printf("%d passes, %d walks: %zu controls in %zu windows (", passes, walks, t.controls.size(),
              perWindow.size());
  for (const auto& [w, n] : perWindow) std::printf(" %d:%d", w, n);
  std::printf(" ), %d clicks, %d list rows, %d drags, %d drops (%d made), %d wheels, %d keys, %d texts typed, "
              "%d questions, %d links, %d closes, %d covered, %lld controller moves\n",
              t.clicks, t.rows, t.drags, t.drops, t.made, t.wheels, t.keys, t.texts, t.questions, t.links,
              t.closes, t.covered, static_cast<long long>(moves.load()));
  for (const int32_t w : {Tarvelo::kWinSYSBAR, Tarvelo::kWinABOUT, Tarvelo::kWinVS, Tarvelo::kWinAUDIO,
                          Tarvelo::kWinTNG, Tarvelo::kWinSYNTH, Tarvelo::kWinSTB, Tarvelo::kWinPANEL,
                          Tarvelo::kWinBBGROUP, Tarvelo::kWinKBGROUP})
    EXPECT_GT(perWindow[w], 0) << "window " << w << " walked";
  // Every control of every window that takes a press, a click, a drag or
  // the wheel was used (the module boxes and ports by kind: those of the
  // catalog are never shown, and boxes may lie over one another).
  const int32_t tools = Slot(Tarvelo::kUiTOOLS), db = Slot(Tarvelo::kUiDB);
  int32_t population = 0;
  Quiet();
  for (int32_t id = 1; id < V::ControlTableCount(); ++id) {
    const V::ControlRecord* c = C(id);
    if (!c || c->DeletePending || !c->EventCallback || Within(id, tools) || Within(id, db)) continue;
    if ((c->EventMask & (V::kEventPress | V::kEventClick | V::kEventDrag | V::kEventWheel)) == 0) continue;
    if (c->EventCallback == Tarvelo::Cb.OnModuleBoxMouse || c->EventCallback == Tarvelo::Cb.OnModulePortMouse)
      continue;
    ++population;
    EXPECT_TRUE(t.controls.count(id)) << Id(id) << " in window " << WindowOf(id) << " never used";
  }
  std::printf("%d controls of the windows outside the module page (boxes and ports aside); texts typed "
              "into", population);
  for (const std::string& name : t.typedInto) std::printf(" %s", name.c_str());
  std::printf("\n");
  for (const char* kind : {"MOD", "MODIN", "MODOUT"}) EXPECT_TRUE(t.names.count(kind)) << kind;
  EXPECT_GT(t.texts, 0);
  EXPECT_GT(t.drops, 0);
  EXPECT_GT(t.made, 0) << "drops on the plane made modules";
  EXPECT_GT(t.keys, 0);
  EXPECT_GT(t.altKeys, 0) << "Alt+M pressed in a field";
  EXPECT_EQ(played, passes) << "the audio thread played";
  // Rec reached the audio thread: its take is a file.
  int32_t takes = 0;
  for (const auto& e : fs::directory_iterator(home / "AUDIO"))
    takes += e.path().extension() == ".wav";
  EXPECT_GT(takes, 0) << "Rec recorded";
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
