// The whole program, headless, with its real parts: start-up with the program's
// wiring, the real interface build, the event loop driven by injected window
// events for a few seconds, and the ordered shutdown.
#include "app/wiring.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/documents/doc_hooks.h"
#include "app/documents/synth_file.h"
#include "app/fixed_tables.h"
#include "app/startup.h"
#include "app/startup_hooks.h"
#include "app/state/history.h"
#include "app/state/modules.h"
#include "app/state/settings.h"
#include "app/state/ui_hooks.h"
#include "app_run_fixture.h"
#include "audio/midi.h"
#include "audio/sync_count.h"
#include "basics/queues.h"
#include "engine/catalog/catalog.h"
#include "engine/dsp/sample.h"
#include "engine/dsp/sequencer.h"
#include "engine/modulelist.h"
#include "engine/ui_hooks.h"
#include "platform/events.h"
#include "platform/threads.h"
#include "ui/build/callbacks.h"
#include "ui/build/frame.h"
#include "ui/panels/panel_common.h"
#include "ui/views/scope_view.h"
#include "visuals/control_table.h"
#include "visuals/event_loop.h"
#include "visuals/visuals.h"

namespace apptest {
namespace {

namespace V = QUARLE_VISUALS;
using Tarvelo::Cb;

// Every hook table the wiring writes, as it was before, so that the other
// tests of this program keep their stand-ins.
struct SavedHooks {
  Tarvelo::UiCallbackSlots cb = Tarvelo::Cb;
  Tarvelo::StateUiHooks state = Tarvelo::StateUi;
  Tarvelo::DocumentUiHooks documents = Tarvelo::DocumentUi;
  Tarvelo::EngineUiHooks engine = Tarvelo::EngineUi;
  Tarvelo::ModuleBoxHooks boxes = Tarvelo::BoxHooks;
  QUARLE_AUDIO::MidiUiHooks midi = QUARLE_AUDIO::MidiUi;
  Tarvelo::PanelServices panel = Tarvelo::Panel;
  int32_t (*catalogWidth)(const std::string&, int32_t) = Tarvelo::CatalogTextWidth;
  void (*sampleList)() = Tarvelo::SampleListChanged;
  void (*melodyList)() = Tarvelo::PublishMelodyList;
  int32_t scopeMode = Tarvelo::ScopeMode.load();

  void Restore() const {
    Tarvelo::Cb = cb;
    Tarvelo::StateUi = state;
    Tarvelo::DocumentUi = documents;
    Tarvelo::EngineUi = engine;
    Tarvelo::BoxHooks = boxes;
    QUARLE_AUDIO::MidiUi = midi;
    Tarvelo::Panel = panel;
    Tarvelo::CatalogTextWidth = catalogWidth;
    Tarvelo::SampleListChanged = sampleList;
    Tarvelo::PublishMelodyList = melodyList;
    Tarvelo::ScopeMode.store(scopeMode);
  }
};

// What the checks at the end of the loop found (the controls are gone after
// the shutdown).
struct Seen {
  std::vector<std::string> unbound;  // named controls without their callbacks
  int64_t octaveBoardsShown = 0;
  int64_t keyboardsShown = 0;
  int32_t engineMidiDevices = -1, indexMidiDevices = -2;
  int32_t midiKeyboard = -1, indexKeyboard = -2;
  int32_t modules = 0;
  bool outputSet = false;
  int32_t historyLines = 0;
  int64_t outputPortOn = 0;
  int32_t ticks = 0;
};
Seen g_seen;

// The scripted user: each tick of the root (about once a second) queues the
// next gestures, read from the controls as they stand then.
int32_t (*g_realTick)(uint32_t, int32_t, int32_t, int32_t, int32_t) = nullptr;

V::ControlRecord* SlotControl(int32_t slot) {
  return V::UiIndex && V::UiIndex[slot] > 0 ? V::ControlAt(V::UiIndex[slot]) : nullptr;
}

void MoveTo(int32_t x, int32_t y, int32_t dx = 0, int32_t dy = 0) {
  platform::WindowEventInject(platform::PointerMoveEvent(x, y, dx, dy));
}
void Press() {
  platform::WindowEventInject(platform::ButtonEvent(platform::kWindowButtonPress, platform::kButtonLeft));
}
void Release() {
  platform::WindowEventInject(platform::ButtonEvent(platform::kWindowButtonRelease, platform::kButtonLeft));
}
void ClickAt(int32_t x, int32_t y) {
  MoveTo(x, y);
  Press();
  Release();
}
void ClickCentre(const V::ControlRecord* c) {
  if (c) ClickAt(c->X + c->W / 2, c->Y + c->H / 2);
}

constexpr int32_t kOscillatorRow = 2;  // third row of the catalog list

int32_t ScriptedTick(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source) {
  const int32_t r = g_realTick ? g_realTick(bits, x, y, id, source) : 0;
  ++g_seen.ticks;
  const int32_t u = Tarvelo::UiUnit;
  if (g_seen.ticks == 1) {
    // The About window greets the user over the plane for five seconds: its
    // tab puts it away. Then the module libraries' tab, and a catalog row
    // dragged onto the plane.
    ClickCentre(V::ControlAt(Tarvelo::AboutTabId));
    V::ControlRecord* tabs = SlotControl(Tarvelo::kUiTABMSG);
    if (!tabs) return r;
    ClickCentre(V::ControlAt(tabs->Id + 2));
    const V::ControlRecord* refm = SlotControl(Tarvelo::kUiREFM);
    const V::ControlRecord* plane = V::ControlAt(V::WindowList[Tarvelo::kWinSYNTH]);
    if (!refm || !plane) return r;
    const int32_t rowX = refm->X + refm->W / 3;
    const int32_t rowY = refm->Y + V::BorderWidth + kOscillatorRow * 6 * u + 3 * u;
    MoveTo(rowX, rowY);
    Press();
    const int32_t toX = plane->X + plane->W / 3, toY = plane->Y + plane->H / 3;
    const int32_t steps = 8;
    int32_t px = rowX, py = rowY;
    for (int32_t i = 1; i <= steps; ++i) {
      const int32_t nx = rowX + (toX - rowX) * i / steps, ny = rowY + (toY - rowY) * i / steps;
      MoveTo(nx, ny, nx - px, ny - py);
      px = nx, py = ny;
    }
    Release();
  } else if (g_seen.ticks == 2) {
    // The new module's output, then the synth output: the module is heard.
    if (Tarvelo::ModuleList.count < 1 || !Tarvelo::ModuleList.entries[0]) return r;
    const V::ControlRecord* box =
        V::ControlAt(static_cast<int32_t>(Tarvelo::ModuleList.entries[0]->BoxControl.Load()));
    if (!box || !box->Children.Ids) return r;
    const V::ControlRecord* ports = V::ControlAt(box->Children.Ids[0]);
    const V::ControlRecord* out = nullptr;
    for (uint32_t i = 0; ports && i < ports->Children.Count; ++i) {
      const V::ControlRecord* c = V::ControlAt(ports->Children.Ids[i]);
      if (c && static_cast<int64_t>(c->Tag) < 0) out = c;
    }
    ClickCentre(out);
    ClickCentre(SlotControl(Tarvelo::kUiSOUT));
  } else if (g_seen.ticks == 3) {
    // A look at the outcome, then the run ends: after three ticks, however
    // long a busy machine takes over them.
    QUARLE_BASICS::CommandMessage m{};
    m.type = QUARLE_BASICS::kCommandEndLoop;
    QUARLE_BASICS::PostCommand(m, QUARLE_BASICS::MainCommandQueue, -1);
  }
  return r;
}

struct Expected {
  const char* what;
  int32_t id;
  bool hasEvent;  // the control takes events
  V::EventCallbackFn event;
  V::DrawCallbackFn draw;
};

int32_t Slot(int32_t s) { return V::UiIndex ? V::UiIndex[s] : 0; }

void LookAtTheInterface(int32_t step) {
  if (step != 42) return;
  // The slots were filled by the wiring before the build: an empty slot or a
  // control that did not get it counts as unbound.
  const Expected expected[] = {
      {"Quit", 2, true, Cb.OnQuit, Cb.DrawButton},
      {"PlayMP", Slot(Tarvelo::kUiPlayMP), true, Cb.OnAudioOutputPower, Cb.DrawOutputPowerSwitch},
      {"FRE", Slot(Tarvelo::kUiFRE), false, nullptr, Cb.DrawMemoryReadout},
      {"CTRL_INFO", Slot(Tarvelo::kUiCTRL_INFO), false, nullptr, Cb.DrawLiveGuide},
      {"PLIST", Slot(Tarvelo::kUiPLIST), true, Cb.OnParameterList, Cb.DrawParameterList},
      {"REFM", Slot(Tarvelo::kUiREFM), true, Cb.OnModuleCatalogList, Cb.DrawModuleCatalogList},
      {"MSGS", Slot(Tarvelo::kUiMSGS), true, Cb.OnSystemMessageList, Cb.DrawSystemMessageList},
      {"SCOPE", Slot(Tarvelo::kUiSCOPE), false, nullptr, Cb.DrawScope},
      {"SYNTH", V::WindowList[Tarvelo::kWinSYNTH], true, Cb.OnSynthPlaneMouse, Cb.DrawSynthPlane},
      {"SOUT", Slot(Tarvelo::kUiSOUT), true, Cb.OnModulePortMouse, Cb.DrawSynthOutput},
      {"KB", Slot(Tarvelo::kUiKB), true, Cb.OnKeyboard, Cb.DrawKeyboard},
      {"BB", Slot(Tarvelo::kUiBB), true, Cb.OnOctaveBoard, Cb.DrawOctaveBoard},
      {"PPDISP", Slot(Tarvelo::kUiPPDISP), true, Cb.OnPowerDisplayMouse, Cb.DrawPowerHistory},
      {"VS_ZRESET", Slot(Tarvelo::kUiVS_ZRESET), true, Cb.OnZoomReset, Cb.DrawButton},
      {"TNGNAME", Slot(Tarvelo::kUiTNGNAME), false, nullptr, Cb.DrawTuningName},
  };
  for (const Expected& e : expected) {
    const V::ControlRecord* c = e.id > 0 ? V::ControlAt(e.id) : nullptr;
    const std::string what = e.what;
    if (!c) {
      g_seen.unbound.push_back(what + " missing");
      continue;
    }
    if (e.hasEvent && (!e.event || c->EventCallback != e.event)) g_seen.unbound.push_back(what + " event");
    if (!e.draw || c->DrawCallback.load() != e.draw) g_seen.unbound.push_back(what + " draw");
  }
  // The root carries the system bar's tick (here the script around it).
  const V::ControlRecord* root = V::ControlAt(0);
  if (!root || !g_realTick || root->EventCallback != ScriptedTick) g_seen.unbound.push_back("TARVELO tick");

  if (const V::ControlRecord* bb = V::ControlAt(V::WindowList[Tarvelo::kWinBBGROUP]))
    g_seen.octaveBoardsShown = V::ControlVisible(bb);
  if (const V::ControlRecord* kb = V::ControlAt(V::WindowList[Tarvelo::kWinKBGROUP]))
    g_seen.keyboardsShown = V::ControlVisible(kb);

  g_seen.engineMidiDevices = Tarvelo::UiControlId(Tarvelo::kControlMidiDevices);
  g_seen.indexMidiDevices = Slot(Tarvelo::kUiMIDIDEVS);
  g_seen.midiKeyboard = QUARLE_AUDIO::MidiUi.ControlId
                            ? QUARLE_AUDIO::MidiUi.ControlId(QUARLE_AUDIO::kControlKeyboard)
                            : 0;
  g_seen.indexKeyboard = Slot(Tarvelo::kUiKB);

  g_seen.modules = Tarvelo::ModuleList.count;
  g_seen.outputSet = Tarvelo::SynthOutputModule.load() != nullptr;
  g_seen.historyLines = Tarvelo::ActionHistory.count;
  if (const V::ControlRecord* sout = SlotControl(Tarvelo::kUiSOUT)) g_seen.outputPortOn = sout->State.On;
}

class WiredRun : public AppRun {
 protected:
  void SetUp() override {
    AppRun::SetUp();
    if (IsSkipped()) return;
    saved_ = SavedHooks{};
    g_seen = Seen{};
    // The program's own loaders and savers, as Main has them, and its wiring.
    Tarvelo::ResetStartupHooks();
    Tarvelo::InstallProgramWiring();
    Tarvelo::Startup.Pause = [](int32_t) {};
    Tarvelo::Startup.BeforeStep = LookAtTheInterface;
    g_realTick = Cb.OnSysbarTick;
    // The interface's clock runs four times faster: a tick every quarter second.
    V::SetGuiClock([] { return 4.0 * platform::HighResClock(); });
    if (Cb.OnSysbarTick) Cb.OnSysbarTick = ScriptedTick;
  }
  void TearDown() override {
    platform::WindowEventsClear();
    V::SetGuiClock(nullptr);
    saved_.Restore();
    AppRun::TearDown();
  }
  SavedHooks saved_;
};

TEST_F(WiredRun, TheWholeProgramRunsWithItsOwnPartsAndEndsCleanly) {
  // Two scripted gestures and a look, a tick each: the third tick ends the
  // run. The timer only bounds a hang.
  setenv("TARVELO_EXIT_AFTER_MS", "60000", 1);
  ASSERT_EQ(RunProgram(), Tarvelo::kStartupOk);
  EXPECT_EQ(loopEntered_, -1);
  EXPECT_TRUE(g_seen.unbound.empty()) << ::testing::PrintToString(g_seen.unbound);

  // The keyboard panel is shown once the session is set up.
  EXPECT_EQ(g_seen.octaveBoardsShown, -1);
  EXPECT_EQ(g_seen.keyboardsShown, -1);
  // The engine and the MIDI input find the named controls.
  EXPECT_GT(g_seen.indexMidiDevices, 0);
  EXPECT_EQ(g_seen.engineMidiDevices, g_seen.indexMidiDevices);
  EXPECT_GT(g_seen.indexKeyboard, 0);
  EXPECT_EQ(g_seen.midiKeyboard, g_seen.indexKeyboard);

  // The gestures: a module made by a drop and connected to the synth output.
  EXPECT_GE(g_seen.ticks, 3);
  EXPECT_EQ(g_seen.modules, 1);
  EXPECT_TRUE(g_seen.outputSet);
  EXPECT_EQ(g_seen.outputPortOn, -1);
  EXPECT_GE(g_seen.historyLines, 2);

  // Nothing went wrong on the way, and the shutdown ran to its end.
  const std::vector<LogEntry> log = Log();
  for (const LogEntry& e : log) EXPECT_LT(e.level, 2) << e.text;
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back().text, "END|FIN");
}

// --- A saved layout comes back at the next start -------------------------------------------

// Each block's place relative to the plane's top left corner (the plane is not
// panned after a load), and whether it lies wholly on the plane.
struct Layout {
  std::vector<std::pair<int32_t, int32_t>> boxes;
  bool allOnPlane = true;
  float zoom = 0.0f;
};
Layout g_layout;
float g_zoom = 1.0f;
bool g_makeSynth = false;
bool g_browserLoad = false;
std::string g_synthFolder;
Layout g_browserLayout;
// The disk holds the start's bundled copies from before they are handed over
// until the session's load has been asked for.
bool g_holdCopies = false;

Layout ReadLayout() {
  Layout l;
  l.zoom = Tarvelo::ZoomFactor;
  const V::ControlRecord* plane = V::ControlAt(V::WindowList[Tarvelo::kWinSYNTH]);
  if (!plane) return l;
  for (int32_t i = 0; i < Tarvelo::ModuleList.count; ++i) {
    const Tarvelo::ModuleRecord* m = Tarvelo::ModuleList.entries[i];
    const V::ControlRecord* box = m ? V::ControlAt(static_cast<int32_t>(m->BoxControl.Load())) : nullptr;
    if (!box) {
      l.allOnPlane = false;
      continue;
    }
    l.boxes.emplace_back(box->X - plane->X, box->Y - plane->Y);
    l.allOnPlane = l.allOnPlane && box->X >= plane->X && box->Y >= plane->Y &&
                   box->X + box->W <= plane->X + plane->W && box->Y + box->H <= plane->Y + plane->H;
  }
  return l;
}

void LayoutSteps(int32_t step) {
  // The zoom the display settings apply at step 32.
  if (step == 31) Tarvelo::Settings.Zoom = g_zoom;
  if (step == 31 && g_holdCopies) synccount::Hold("tarvelo-save", false);
  if (step == 39 && g_holdCopies) synccount::Release();
  if (step != 42) return;
  if (g_makeSynth) {
    // A keyboard, an envelope and an oscillator spread over the plane as it
    // stands after the start-up, saved as a synth file.
    const V::ControlRecord* plane = V::ControlAt(V::WindowList[Tarvelo::kWinSYNTH]);
    if (!plane) return;
    const int32_t types[] = {Tarvelo::kTypeKeyboard, Tarvelo::kTypeAdsr, Tarvelo::kTypeOscillator};
    for (int32_t i = 0; i < 3; ++i)
      Tarvelo::CreateModule(types[i], plane->X + plane->W * (1 + 2 * i) / 10, plane->Y + plane->H * (1 + i) / 6, -1);
    Tarvelo::SaveSession(g_synthFolder, "Layout.tarvelo");
  }
  g_layout = ReadLayout();
  if (g_browserLoad) {
    // As the file browser loads it, into the running program.
    Tarvelo::LoadSynth(g_synthFolder, "Layout.tarvelo");
    g_browserLayout = ReadLayout();
  }
}

class LayoutRun : public WiredRun {
 protected:
  void SetUp() override {
    WiredRun::SetUp();
    if (IsSkipped()) return;
    Tarvelo::Startup.BeforeStep = LayoutSteps;
    g_makeSynth = g_browserLoad = g_holdCopies = false;
    g_layout = g_browserLayout = Layout{};
    g_synthFolder = platform::FromOsPath(DataFolder() + "/SYNTHS");
  }
  void TearDown() override {
    synccount::Release();
    g_holdCopies = false;
    Tarvelo::Settings.AutoSave = 0;
    WiredRun::TearDown();
  }
  // A fresh process: the program's state as a new start finds it, its hooks
  // and wiring as Main sets them.
  void Again() {
    Restart();
    Tarvelo::ResetStartupHooks();
    Tarvelo::InstallProgramWiring();
    Tarvelo::Startup.Pause = [](int32_t) {};
    Tarvelo::Startup.BeforeStep = LayoutSteps;
    g_makeSynth = g_browserLoad = false;
    g_layout = g_browserLayout = Layout{};
  }
};

TEST_F(LayoutRun, ASavedLayoutComesBackAtStartUpFromTheCommandLineAndTheBrowser) {
  for (const float zoom : {1.0f, 0.8f}) {
    SCOPED_TRACE(zoom);
    g_zoom = zoom;
    // First run, on a new data folder: a new synth laid out and saved; the
    // file becomes the session.
    fs::remove_all(DataFolder());
    g_makeSynth = true;
    ASSERT_EQ(RunProgram(), Tarvelo::kStartupOk);
    const Layout saved = g_layout;
    ASSERT_EQ(saved.zoom, zoom);
    ASSERT_EQ(saved.boxes.size(), 3u);
    ASSERT_TRUE(saved.allOnPlane);

    // Restarted with the file on the command line.
    Again();
    const std::string file = g_synthFolder + "\\Layout.tarvelo";
    ASSERT_EQ(RunProgram({platform::ToOsPath(file)}), Tarvelo::kStartupOk);
    EXPECT_EQ(g_layout.boxes, saved.boxes);
    EXPECT_TRUE(g_layout.allOnPlane);

    // Restarted on the session of the settings, then loaded from the browser.
    Again();
    g_browserLoad = true;
    ASSERT_EQ(RunProgram(), Tarvelo::kStartupOk);
    EXPECT_EQ(g_layout.boxes, saved.boxes);
    EXPECT_TRUE(g_layout.allOnPlane);
    EXPECT_EQ(g_browserLayout.boxes, saved.boxes);
    EXPECT_TRUE(g_browserLayout.allOnPlane);
    Again();
  }
}

// Every demo opened from the command line of a program that does not lie in
// the build folder: it finds its sounds and tuning in the data folder and
// shows every block on the plane.
TEST_F(LayoutRun, EveryDemoOpensFromTheCommandLineWithItsBlocksOnThePlane) {
  const fs::path shipped = TARVELO_PROGRAM_DIR;
  Tarvelo::SetProductIdentity();
  for (const char* sub : {"SYNTHS", "TUNINGS", "AUDIO"}) {
    fs::create_directories(fs::path(program_) / sub);
    fs::copy(shipped / sub, fs::path(program_) / sub, fs::copy_options::recursive);
  }
  std::vector<std::string> demos;
  const std::string version = std::string("DEMO ") + Tarvelo::ProductVersion;
  for (const auto& e : fs::directory_iterator(fs::path(program_) / "SYNTHS" / version))
    if (e.path().extension() == ".tarvelo") demos.push_back(e.path().filename().string());
  ASSERT_GE(demos.size(), 6u);
  bool first = true;
  for (const std::string& name : demos) {
    SCOPED_TRACE(name);
    if (!first) Again();
    // The first start's load comes while the disk still holds the copies of
    // the tuning and sounds it names: it waits for them, in the loop, which
    // ends once the load ran (the timer only bounds a hang).
    g_holdCopies = first;
    first = false;
    setenv("TARVELO_EXIT_AFTER_MS", "60000", 1);
    Tarvelo::Cb.OnSysbarTick = g_realTick;
    Tarvelo::Startup.LoadSynth = [](const std::string& folder, const std::string& file) {
      const int32_t r = Tarvelo::LoadSynth(folder, file);
      QUARLE_BASICS::CommandMessage m{};
      m.type = QUARLE_BASICS::kCommandEndLoop;
      QUARLE_BASICS::PostCommand(m, QUARLE_BASICS::MainCommandQueue, -1);
      return r;
    };
    g_zoom = 1.0f;
    // The first start copies the demos into the data folder; each opens from there.
    const std::string path = DataFolder() + "/SYNTHS/" + version + "/" + name;
    ASSERT_EQ(RunProgram({fs::exists(path) ? path : (fs::path(program_) / "SYNTHS" / version / name).string()}),
              Tarvelo::kStartupOk);
    EXPECT_FALSE(g_layout.boxes.empty());
    EXPECT_TRUE(g_layout.allOnPlane);
    const std::vector<LogEntry> log = Log();
    EXPECT_EQ(Find(log, "Can't find"), -1);
    for (const LogEntry& e : log) EXPECT_LT(e.level, 2) << e.text;
  }
  Again();
}

// Once stored by a selector that offered it, zoom 0.2 stopped every start.
// Below the least zoom the interface builds at, the run starts at zoom 1 and
// the other settings stay as they were.
TEST_F(WiredRun, AStoredZoomTooSmallToBuildStartsAtOne) {
  WriteFile(DataFolder() + "/Settings.txt",
            "\"ZOOM FACTOR\",0.2\r\n\"AUTO-CONNECT\",\"FALSE\"\r\n\"SCOPE\",3\r\n");
  setenv("TARVELO_EXIT_AFTER_MS", "1000", 1);
  ASSERT_EQ(RunProgram(), Tarvelo::kStartupOk);
  EXPECT_EQ(loopEntered_, -1);
  EXPECT_FLOAT_EQ(Tarvelo::ZoomFactor, 1.0f);
  const std::vector<LogEntry> log = Log();
  EXPECT_EQ(Find(log, "The interface could not be completed."), -1);
  std::ifstream in(DataFolder() + "/Settings.txt", std::ios::binary);
  const std::string saved((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(saved.find("\"AUTO-CONNECT\",\"FALSE\"\r\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find("\"SCOPE\",3\r\n"), std::string::npos) << saved;
}

}  // namespace
}  // namespace apptest
