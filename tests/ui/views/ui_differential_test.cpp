// Random use of the whole interface, each action followed by one partial frame
// compared with a whole redraw: whatever a draw callback reads, a change of it
// must be marked, so the two never differ. Pointer and key events go through
// the real event loop onto every shown control; between them come the changes
// the other threads and the program make: a selection, the render's flags, the
// audio thread's reports. Fixed seeds; TARVELO_UI_DIFF_SEEDS (how many),
// TARVELO_UI_DIFF_FIRST_SEED and TARVELO_UI_DIFF_ACTIONS (per seed) make
// other and longer runs.
//
// The same mix runs once more with the real video thread drawing and a render
// thread playing the modules, each action followed by a frame of that thread
// instead of a comparison: the ThreadSanitizer pass fails on any record one
// thread writes while another reads it without an owner.
// TARVELO_UI_DIFF_THREADED_SECONDS runs it that long instead, seed after seed.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/state/console.h"
#include "app/state/module_page.h"
#include "app/state/settings.h"
#include "app/state/system_messages.h"
#include "app/state/ui_hooks.h"
#include "audio/audio.h"
#include "engine/catalog/engine_init.h"
#include "app/state/wave_library.h"
#include "engine/command.h"
#include "engine/dsp/mixer.h"
#include "engine/dsp/sequencer.h"
#include "engine/midimap.h"
#include "engine/modulelist.h"
#include "engine/notes.h"
#include "engine/render.h"
#include "engine/tuning.h"
#include "engine/ui_hooks.h"
#include "platform/events.h"
#include "platform/threads.h"
#include "ui/build/frame.h"
#include "ui/build/groups_b.h"
#include "ui/panels/install.h"
#include "ui/views/install.h"
#include "ui/views/list_views.h"
#include "ui/views/partial_frame_fixture.h"
#include "threaded_ui_fixture.h"
#include "visuals/control_table.h"
#include "visuals/renderer.h"
#include "visuals/video_thread.h"

namespace {

namespace V = QUARLE_VISUALS;
using Tarvelo::ModuleRecord;
using uithreads::EnvCount;
using uithreads::RunningProgram;
using uithreads::ShortMelody;

constexpr int32_t kMergeStereo = 20;

enum Kind {
  kClick, kDrag, kWheel, kKey, kWindowButton, kSelect, kRenderFlag, kAudioReport,
  // What random clicks seldom reach: a scrolled list losing rows, the tuning
  // displays at any key count, new messages and actions, boxes overlapping
  // others or at the plane's edges.
  kListShrink, kKeyCount, kMessage, kBox,
  // The pointer resting on and moving over the rows of the module lists; Del
  // on a Catalog row (its master preset reset); a long drag that starts on a
  // port and runs off the plane; links made and removed.
  kListHover, kCatalogDelete, kPortDrag, kLink,
  // With the render playing only: the module page's switches on a played
  // module (or its type's master), and Set on the melody page of a playing
  // Sequencer.
  kPageSwitch, kMelodySet, kKinds
};
constexpr const char* kKindNames[kKinds] = {"click",  "drag",   "wheel",       "key",
                                            "window", "select", "render flag", "audio report",
                                            "list shrink", "key count", "message", "box",
                                            "list hover", "catalog del", "port drag", "link",
                                            "page switch", "melody set"};
// How often each kind comes, out of the sum; the last two only while the
// render plays.
constexpr int32_t kKindWeights[kKinds] = {30, 12, 8, 12, 8, 6, 6, 6, 10, 10, 10, 10, 10, 8, 10, 10, 0, 0};
constexpr int32_t kThreadedKindWeights[kKinds] = {30, 12, 8, 12, 8, 6, 6, 6, 10, 10, 10, 10, 10, 8, 10, 10, 14, 8};
// From the first of these on, each kind is reached by the CI run.
constexpr int32_t kFirstReachedKind = kListShrink;

struct Tally {
  int32_t actions = 0, panels = 0, plane = 0;
};

class UiDifferential : public uithreads::ThreadedUiTest {
 protected:
  // Shown, enabled controls taking any of the event bits, the quit button aside.
  std::vector<int32_t> Targets(uint32_t bits, int32_t window = -1) const {
    std::vector<int32_t> out;
    const int32_t play = threaded ? Find("PlayMP") : 0;
    for (int32_t id = 1; id < V::ControlTableCount(); ++id) {
      const V::ControlRecord* c = C(id);
      if (!c || c->DeletePending || !c->EventCallback || id == quit) continue;
      // With no device its click ends playback, which the render thread here
      // would go on with.
      if (id == play && play > 0) continue;
      if ((static_cast<uint32_t>(c->EventMask) & bits) == 0 || V::IsDisabled(&c->State)) continue;
      if (c->W < 1 || c->H < 1 || c->X >= kW || c->Y >= kH || c->X + c->W <= 0 || c->Y + c->H <= 0)
        continue;
      if (window >= 0 && V::WindowOfControl(id) != window) continue;
      if (OnScreen(id)) out.push_back(id);
    }
    return out;
  }
  // A point of the control on the screen.
  static void PointIn(int32_t id, std::mt19937& rng, int32_t& x, int32_t& y) {
    const V::ControlRecord* c = C(id);
    const int32_t x0 = std::max(c->X, 0), x1 = std::min(c->X + c->W, kW) - 1;
    const int32_t y0 = std::max(c->Y, 0), y1 = std::min(c->Y + c->H, kH) - 1;
    x = std::uniform_int_distribution<int32_t>(x0, std::max(x0, x1))(rng);
    y = std::uniform_int_distribution<int32_t>(y0, std::max(y0, y1))(rng);
  }
  // A click on one of a list's visible rows, then Del on it.
  template <typename Judge>
  void ClickRowAndDelete(const V::ControlRecord* c, int32_t rows, int32_t row, Judge&& judge) {
    const int32_t rowH = std::max((c->H - 2 * V::BorderWidth) / rows, 1);
    MoveTo(c->X + c->W / 2, c->Y + V::BorderWidth + row * rowH + rowH / 2);
    Button(platform::kWindowButtonPress);
    Button(platform::kWindowButtonRelease);
    judge();
    Tap("LIDEL", judge);
  }
  static ModuleRecord* AnyModule(std::mt19937& rng) {
    const int32_t n = Tarvelo::ModuleList.count;
    if (n < 1) return nullptr;
    return Tarvelo::ModuleList.entries[std::uniform_int_distribution<int32_t>(0, n - 1)(rng)];
  }
  static ModuleRecord* FirstOfType(int32_t type) {
    for (int32_t i = 0; i < Tarvelo::ModuleList.count; ++i)
      if (ModuleRecord* m = Tarvelo::ModuleList.entries[i]; m && m->Type == type) return m;
    return nullptr;
  }
  // The types the render plays (StartThreads links them to the output).
  static constexpr int32_t kPlayedTypes[] = {Tarvelo::kTypeOscillator, Tarvelo::kTypeSequencer,
                                             Tarvelo::kTypeStepSequencer, Tarvelo::kTypeMixer, 20};

  // One action of the kind; its description. A pointer action is judged after
  // each of its steps (pressed, dragged, released), as frames come between them.
  template <typename Judge>
  std::string Act(Kind kind, std::mt19937& rng, Judge&& judge) {
    auto pick = [&](const std::vector<int32_t>& ids) {
      return ids.empty() ? 0 : ids[std::uniform_int_distribution<size_t>(0, ids.size() - 1)(rng)];
    };
    auto coin = [&](int32_t n) { return std::uniform_int_distribution<int32_t>(0, n - 1)(rng); };
    int32_t x = 0, y = 0;
    switch (kind) {
      case kClick:
      case kWindowButton:
      case kDrag: {
        const uint32_t taking = kind == kDrag ? V::kEventDrag : V::kEventPress | V::kEventClick;
        const int32_t id =
            pick(Targets(taking, kind == kWindowButton ? V::WindowList[Tarvelo::kWinSYSBAR] : -1));
        if (id == 0) return std::string("nothing for a ") + kKindNames[kind];
        PointIn(id, rng, x, y);
        MoveTo(x, y);
        Button(platform::kWindowButtonPress);
        judge();
        if (kind == kDrag) {
          const int32_t reach = coin(4) == 0 ? 300 : 40;
          for (int32_t step = 0, steps = 2 + coin(5); step < steps; ++step)
            MoveTo(std::clamp(px + coin(2 * reach + 1) - reach, 0, kW - 1),
                   std::clamp(py + coin(2 * reach + 1) - reach, 0, kH - 1));
          judge();
        }
        Button(platform::kWindowButtonRelease);
        return std::string(kKindNames[kind]) + " " + Id(id);
      }
      case kWheel: {
        const int32_t id = pick(Targets(V::kEventWheel));
        if (id == 0) return "nothing to wheel";
        PointIn(id, rng, x, y);
        MoveTo(x, y);
        wheel += coin(7) - 3;
        platform::WindowEventInject(platform::WheelEvent(wheel));
        return "wheel " + Id(id);
      }
      case kKey: {
        struct KeyStroke {
          uint32_t scan, ascii;
        };
        static constexpr KeyStroke kKeys[] = {{72, 0}, {80, 0},  {75, 0},  {77, 0},  {28, 13},
                                              {1, 27}, {83, 0},  {14, 8},  {2, '1'}, {6, '5'},
                                              {30, 'a'}, {44, 'z'}, {52, '.'}, {12, '-'}, {57, ' '}};
        const KeyStroke k = kKeys[coin(static_cast<int32_t>(std::size(kKeys)))];
        platform::WindowEventInject(platform::KeyPressEvent(k.scan, k.ascii));
        platform::WindowEventInject(platform::KeyReleaseEvent(k.scan, k.ascii));
        return "key " + std::to_string(k.scan);
      }
      case kSelect: {
        ModuleRecord* m = coin(5) == 0 ? nullptr : AnyModule(rng);
        Tarvelo::SelectModule(m, -1);
        return "select module";
      }
      case kRenderFlag: {
        ModuleRecord* m = AnyModule(rng);
        if (!m) return "no module to flag";
        if (threaded) return "render flag: the render's own";
        if (coin(2) == 0) {
          m->ClipFlag.Store(m->ClipFlag.Load() == 0 ? -1 : 0);
          return "render flag: clip";
        }
        const int32_t p = coin(4);
        m->Params[p].MidiMoved.Store(m->Params[p].MidiMoved.Load() == 0 ? -1 : 0);
        return "render flag: controller move";
      }
      case kAudioReport: {
        QUARLE_BASICS::CommandMessage msg{};
        if (coin(3) == 0) {
          msg.type = Tarvelo::kMessagePerVoice;
        } else {
          float* e = meterBlocks[nextMeter++ % std::size(meterBlocks)];
          for (int32_t i = 0; i < 6; ++i)
            e[i] = i % 3 == 2 ? -140.0f + coin(140) : (coin(200) - 100) / 100.0f;
          msg.type = QUARLE_AUDIO::kAudioMeters;
          msg.word2 = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(e));
        }
        QUARLE_BASICS::PostCommand(msg, 0, 0);
        return msg.type == QUARLE_AUDIO::kAudioMeters ? "audio report: meters" : "audio report: per-voice";
      }
      case kListShrink: {
        // The created-module list scrolled, a shown row picked and deleted.
        if (!OnScreen(Find("LIBM"))) {
          Show(Tarvelo::kWinPANEL, -1);
          for (const char* name : {"TABMOD", "LIBT2"}) Tap(name, judge);
        }
        const int32_t list = Find("LIBM");
        if (!OnScreen(list)) return "list hidden";
        const V::ControlRecord* c = C(list);
        const int32_t rows = std::max(c->Text.VisibleRows, 1);
        // Longer than it shows, as after a few copies.
        for (int32_t more = rows + 1 + coin(6) - Tarvelo::ModuleList.count; more > 0; --more) {
          const int32_t n = Tarvelo::ModuleList.count;
          const int32_t x = 60 + 45 * (n % 16), y = 120 + 45 * (n / 16);
          if (n > 0 && coin(2) == 0)
            Tarvelo::CreateModule(coin(n), x, y, 0);
          else
            Tarvelo::CreateModule(Tarvelo::kTypeOscillator, x, y, -1);
        }
        judge();
        MoveTo(c->X + c->W / 2, c->Y + c->H / 2);
        wheel -= coin(2) == 0 ? 40 : coin(7) - 3;
        platform::WindowEventInject(platform::WheelEvent(wheel));
        judge();
        ClickRowAndDelete(c, rows, coin(rows), judge);
        return "list shrink: " + std::to_string(Tarvelo::ModuleList.count) + " modules";
      }
      case kKeyCount: {
        // The editor's key count set as a loaded tuning would have it, then
        // stepped with its buttons, each step judged.
        Show(Tarvelo::kWinTNG, -1);
        const int32_t keys = 1 + coin(Tarvelo::kTuningMaxKeys);
        {
          platform::MutexGuard g(Tarvelo::MT_TUNINGS[Tarvelo::kEditedTuning]);
          Tarvelo::TuningSetNoteCount(Tarvelo::EditedTuning, keys);
        }
        judge();
        for (int32_t step = 0, steps = 1 + coin(3); step < steps; ++step)
          Tap(coin(3) == 0 ? "TNGK-" : "TNGK+", judge);
        if (coin(2) == 0) Tap(coin(2) == 0 ? "TNGo" : "TNG=", judge);
        if (coin(2) == 0) Show(Tarvelo::kWinTNG, 0);
        return "key count from " + std::to_string(keys);
      }
      case kMessage: {
        // Mostly with the lists shown: the messages, then the actions.
        const bool shown = coin(4) != 0;
        if (shown) {
          Show(Tarvelo::kWinPANEL, -1);
          Tap("TABMSG", judge);
          Tap("MSGT1", judge);
        }
        const int32_t level = coin(3);
        // A take started on the audio thread, a report of a handler, and an
        // action from a click the program posts.
        std::thread([level] { QUARLE_BASICS::Report("Now recording take.wav", level); }).join();
        judge();
        QUARLE_BASICS::Report("Audio playback is not available", level);
        judge();
        if (shown) Tap("MSGT2", judge);
        if (!Tarvelo::SelectedModule) Tarvelo::SelectModule(AnyModule(rng), -1);
        QUARLE_BASICS::CommandMessage msg{};
        msg.type = QUARLE_BASICS::kCommandControlEvent;
        msg.arg2 = static_cast<uint32_t>(Find("MFP"));
        msg.arg5 = V::kEventClick;
        QUARLE_BASICS::PostCommand(msg, 0, 0);
        return "messages and an action";
      }
      case kBox: {
        // A new box over another one or across an edge of the plane.
        if (Tarvelo::ModuleList.count >= 40) return "no room for a box";
        const V::ControlRecord* plane = C(Plane());
        static constexpr int32_t kTypes[] = {Tarvelo::kTypeOscillator, Tarvelo::kTypeMixer,
                                             Tarvelo::kTypeSequencer, Tarvelo::kTypeAdsr,
                                             Tarvelo::kTypeKeyboard};
        const int32_t type = kTypes[coin(static_cast<int32_t>(std::size(kTypes)))];
        int32_t bx = plane->X + coin(std::max(plane->W, 1));
        int32_t by = plane->Y + coin(std::max(plane->H, 1));
        std::string where = "on the plane";
        if (const V::ControlRecord* other = coin(2) == 0 ? Box(AnyModule(rng)) : nullptr) {
          bx = other->X + coin(41) - 20;
          by = other->Y + coin(41) - 20;
          where = "over another";
        } else if (coin(3) != 0) {
          switch (coin(4)) {
            case 0: bx = plane->X - coin(60); break;
            case 1: bx = plane->X + plane->W - coin(60); break;
            case 2: by = plane->Y - coin(40); break;
            default: by = plane->Y + plane->H - coin(40); break;
          }
          where = "at an edge";
        }
        const int32_t i = Tarvelo::CreateModule(type, bx, by, -1);
        if (i >= 0 && coin(2) == 0) Tarvelo::SelectModule(Tarvelo::ModuleList.entries[i], -1);
        return "box " + where;
      }
      case kListHover: {
        const bool catalog = coin(2) == 0;
        const int32_t list = ShownList(catalog, judge);
        if (!OnScreen(list)) return "list hidden";
        const V::ControlRecord* c = C(list);
        const int32_t rows = std::max(c->Text.VisibleRows, 1);
        const int32_t rowH = std::max((c->H - 2 * V::BorderWidth) / rows, 1);
        for (int32_t step = 0, steps = 2 + coin(6); step < steps; ++step) {
          // At rest a frame or more passes with the pointer still.
          if (coin(3) != 0)
            MoveTo(c->X + V::BorderWidth + coin(std::max(c->W - 2 * V::BorderWidth, 1)),
                   c->Y + V::BorderWidth + coin(rows) * rowH + coin(rowH));
          judge();
        }
        return std::string("list hover: ") + (catalog ? "catalog" : "modules");
      }
      case kCatalogDelete: {
        // A Catalog row selected, then Del: its master preset is reset.
        const int32_t list = ShownList(true, judge);
        if (!OnScreen(list)) return "catalog hidden";
        const V::ControlRecord* c = C(list);
        const int32_t rows = std::max(c->Text.VisibleRows, 1);
        ClickRowAndDelete(c, rows, coin(rows), judge);
        return "catalog del, row " + std::to_string(C(list)->Text.Selected);
      }
      case kPortDrag: {
        // Pressed on a port, then dragged far: over the plane, out of it and
        // into the lists beside it.
        ModuleRecord* m = AnyModule(rng);
        std::vector<int32_t> ports;
        for (const int32_t id : m ? Ports(m) : std::vector<int32_t>{})
          if (Reachable(id)) ports.push_back(id);
        const int32_t port = pick(ports);
        if (port == 0) return "no port to drag";
        PointIn(port, rng, x, y);
        MoveTo(x, y);
        Button(platform::kWindowButtonPress);
        judge();
        const int32_t lists = Find("LIBM");
        for (int32_t step = 0, steps = 3 + coin(6); step < steps; ++step) {
          if (coin(3) == 0 && Reachable(lists)) {
            PointIn(lists, rng, x, y);
            MoveTo(x, y);
          } else {
            MoveTo(std::clamp(px + coin(601) - 300, 0, kW - 1), std::clamp(py + coin(401) - 200, 0, kH - 1));
          }
          if (coin(2) == 0) judge();
        }
        judge();
        Button(platform::kWindowButtonRelease);
        return "port drag " + Id(port);
      }
      case kLink: {
        // An output clicked, then an input: linked, or unlinked when it was.
        ModuleRecord* from = AnyModule(rng);
        ModuleRecord* to = AnyModule(rng);
        if (!from || !to || to->PortCount < 1) return "nothing to link";
        const int32_t out = Output(from), in = Input(to, coin(to->PortCount));
        if (!Reachable(out) || !Reachable(in)) return "ports off the screen";
        for (const int32_t id : {out, in}) {
          PointIn(id, rng, x, y);
          MoveTo(x, y);
          Button(platform::kWindowButtonPress);
          Button(platform::kWindowButtonRelease);
          judge();
        }
        return "link " + Id(out) + " to " + Id(in);
      }
      case kPageSwitch: {
        // A played module's switches, or its type's master (whose rewind
        // reaches every module of the type), clicked while the render plays.
        const int32_t type = kPlayedTypes[coin(static_cast<int32_t>(std::size(kPlayedTypes)))];
        ModuleRecord* m = coin(5) == 0 ? &Tarvelo::ModuleCatalog[type] : FirstOfType(type);
        if (!m) return "no played module";
        Tarvelo::SelectModule(m, m->PortCount > 0 && coin(2) == 0 ? coin(m->PortCount) : -1);
        Show(Tarvelo::kWinPANEL, -1);
        Tap("MODTAB0", judge);
        static constexpr const char* kSwitches[] = {"PLAY", "LOOP", "ARWD", "RWD", "POLY", "PDOM"};
        std::string what = "page switches of " + std::to_string(type) + ":";
        for (int32_t step = 0, steps = 1 + coin(4); step < steps; ++step) {
          const char* name = kSwitches[coin(static_cast<int32_t>(std::size(kSwitches)))];
          Tap(name, judge);
          what += std::string(" ") + name;
        }
        return what;
      }
      case kMelodySet: {
        // Set on the melody page of the Sequencer, started first when it
        // rests: the melody again, or none.
        ModuleRecord* m = FirstOfType(Tarvelo::kTypeSequencer);
        if (!m) return "no Sequencer";
        Tarvelo::SelectModule(m, -1);
        Show(Tarvelo::kWinPANEL, -1);
        if (m->ModuleSwitches[Tarvelo::kSwitchPlay].Load() == 0) Tap("PLAY", judge);
        Tap("MODTAB1D", judge);
        const int32_t list = Find("MLIST");
        if (list <= 0) return "no melody list";
        C(list)->Text.Selected = coin(6) == 0 || Tarvelo::MelodyLibrary.header.count < 1 ? -1 : 0;
        Tap("MSET", judge);
        return C(list)->Text.Selected < 0 ? "melody set: none" : "melody set";
      }
      default:
        return "";
    }
  }
  // The Catalog or the Modules list, shown; its id.
  template <typename Judge>
  int32_t ShownList(bool catalog, Judge&& judge) {
    const char* name = catalog ? "REFM" : "LIBM";
    if (!OnScreen(Find(name))) {
      Show(Tarvelo::kWinPANEL, -1);
      for (const char* tab : {"TABMOD", catalog ? "LIBT1" : "LIBT2"}) Tap(tab, judge);
    }
    return Find(name);
  }
  // The control is the window of that slot or lies in it.
  static bool Within(int32_t id, int32_t slot) {
    const int32_t window = V::WindowList[slot];
    for (int32_t steps = 0; steps < 64; ++steps) {
      const V::ControlRecord* c = C(id);
      if (!c) return false;
      if (id == window) return true;
      if (c->Parent == id) return false;
      id = c->Parent;
    }
    return false;
  }
  // One partial frame against a whole one: the stale pixels by the control
  // shown there (added to `here`), and those on the plane (to `onPlane`).
  static void Judge(std::map<std::string, int32_t>& here, int32_t& onPlane) {
    const int32_t plane = Plane();
    const V::ControlRecord* p = C(plane);
    // The memory read-out shows a live value of its own.
    const int32_t memory = Find("FRE");
    std::vector<int32_t> where;
    StalePixels(&where);
    for (const int32_t i : where) {
      const int32_t x = i % kW, y = i / kW;
      const int32_t hit = V::ControlHitTest(x, y, 0);
      // The information window and the status strip's labels are translucent:
      // the plane shows through them.
      const bool through = (Within(hit, Tarvelo::kWinABOUT) || Within(hit, Tarvelo::kWinSTB)) &&
                           p->Visible != 0 && x >= p->X && x < p->X + p->W && y >= p->Y &&
                           y < p->Y + p->H;
      if (hit == plane || V::WindowOfControl(hit) == plane || through)
        ++onPlane;
      else if (hit != memory)
        ++here[Id(hit)];
    }
  }
  // What Judge finds after running the loop, as one text ("" for nothing stale).
  static std::string StaleAfterLoop() {
    RunLoop();
    std::map<std::string, int32_t> here;
    int32_t onPlane = 0;
    Judge(here, onPlane);
    std::string out;
    for (const auto& [id, n] : here) out += id + ": " + std::to_string(n) + " px; ";
    if (onPlane > 0)
      out += "synth plane: " + std::to_string(onPlane) + " px; ";
    return out;
  }
  // Runs the seed's actions, each judged by one partial frame.
  void Run(uint32_t seed, int32_t actions, Tally (&tally)[kKinds],
           std::map<std::string, int32_t>& culprits) {
    std::mt19937 rng(seed);
    for (const int32_t type : {Tarvelo::kTypeKeyboard, Tarvelo::kTypeOscillator, Tarvelo::kTypeAdsr,
                               Tarvelo::kTypeMixer, Tarvelo::kTypeSequencer})
      Make(type, 250 + 220 * (type % 5), 250 + 60 * (type % 4));
    if (threaded) {
      Make(Tarvelo::kTypeStepSequencer, 470, 430);
      Make(kMergeStereo, 690, 430);
    }
    Tarvelo::SelectModule(Tarvelo::ModuleList.entries[1], -1);
    RunLoop();
    StalePixels();  // whatever the setting up left
    if (threaded) StartThreads();
    const int32_t(&weights)[kKinds] = threaded ? kThreadedKindWeights : kKindWeights;
    int32_t weightSum = 0;
    for (const int32_t w : weights) weightSum += w;
    for (int32_t a = 0; a < actions; ++a) {
      int32_t roll = std::uniform_int_distribution<int32_t>(0, weightSum - 1)(rng);
      int32_t k = 0;
      while (roll >= weights[k]) roll -= weights[k++];
      std::map<std::string, int32_t> here;
      int32_t onPlane = 0;
      auto judge = [&] {
        RunLoop();
        if (!threaded) {
          Judge(here, onPlane);
          return;
        }
        // A frame of the video thread meets what the action changed.
        EXPECT_TRUE(NextFrame());
        for (const V::PaintOutside& o : V::TakePaintOutside())
          here[Id(o.id) + " painting outside"] += static_cast<int32_t>(o.pixels);
      };
      // Paint outside an area is found within the action.
      SCOPED_TRACE("seed " + std::to_string(seed) + " action " + std::to_string(a) + " (" +
                   kKindNames[k] + ")");
      const std::string what = Act(static_cast<Kind>(k), rng, judge);
      judge();
      Tally& t = tally[k];
      ++t.actions;
      t.plane += onPlane > 0;
      t.panels += !here.empty();
      for (const auto& [id, n] : here) {
        ++culprits[std::string(kKindNames[k]) + " / " + id];
        ADD_FAILURE() << "seed " << seed << " action " << a << " (" << what << "): " << n
                      << " px stale in " << id;
      }
      if (onPlane > 0)
        ADD_FAILURE() << "seed " << seed << " action " << a << " (" << what << "): " << onPlane
                      << " px stale on the synth plane";
      if (HasFatalFailure()) break;
    }
    if (threaded) StopThreads();
  }

  // The mix the differential plays: the oscillator, a looping Sequencer, a
  // Step Sequencer and a Merge Stereo of the oscillator into the mixer.
  void PlayTheMix(ModuleRecord* osc, ModuleRecord* mixer, ModuleRecord* seq, ModuleRecord* step,
                  ModuleRecord* merge) {
    // The mixer heard: the oscillator, a looping Sequencer, a Step Sequencer
    // and a Merge Stereo of the oscillator.
    Tarvelo::ModuleLinkInput(*merge, 0, osc, &Tarvelo::ModuleCatalog[kMergeStereo]);
    int32_t port = Tarvelo::kMixerFirstInput;
    for (ModuleRecord* m : {osc, seq, step, merge})
      Tarvelo::ModuleLinkInput(*mixer, port++, m, &Tarvelo::ModuleCatalog[Tarvelo::kTypeMixer]);
    Tarvelo::AttachWaveToModule(seq, ShortMelody(), 0);
    Tarvelo::ModuleSetParamValue(*seq, Tarvelo::kSeqTempo, 1.0f);
    Tarvelo::ModuleSetParamValue(*seq, Tarvelo::kSeqLength, 0.05f);
    for (const int32_t w : {Tarvelo::kSwitchPlay, Tarvelo::kSwitchLoop}) seq->ModuleSwitches[w].Store(-1);
    Tarvelo::SynthOutputModule.store(mixer);
  }

  // The modules linked and heard, the render playing them and the video
  // thread drawing.
  void StartThreads() {
    ModuleRecord* const* list = Tarvelo::ModuleList.entries;
    ModuleRecord* kb = list[0];
    ModuleRecord* osc = list[1];
    ASSERT_EQ(Tarvelo::ModuleLinkInput(*osc, 0, kb, &Tarvelo::ModuleCatalog[osc->Type]), 4);
    // A test of its own few modules plays the oscillator alone.
    if (Tarvelo::ModuleList.count < 7) {
      Tarvelo::SynthOutputModule.store(osc);
    } else {
      PlayTheMix(osc, list[3], list[4], list[5], list[6]);
    }
    StartRenderAndVideo();
  }
  bool threaded = false;
  float meterBlocks[16][6] = {};
  size_t nextMeter = 0;
};

TEST_F(UiDifferential, APartialFrameShowsWhatAWholeRedrawShowsAfterEveryAction) {
  const int32_t first = EnvCount("TARVELO_UI_DIFF_FIRST_SEED", 1);
  const int32_t seeds = EnvCount("TARVELO_UI_DIFF_SEEDS", 2);
  const int32_t actions = EnvCount("TARVELO_UI_DIFF_ACTIONS", 20);
  Tally tally[kKinds];
  std::map<std::string, int32_t> culprits;
  RunningProgram running;
  for (int32_t s = first; s < first + seeds; ++s) {
    Tarvelo::ClearSynth();
    Run(static_cast<uint32_t>(s), actions, tally, culprits);
  }
  std::string table = "kind           actions  panels  plane\n";
  Tally sum;
  for (int32_t k = 0; k < kKinds; ++k) {
    char line[96];
    std::snprintf(line, sizeof line, "%-14s %7d %7d %6d\n", kKindNames[k], tally[k].actions,
                  tally[k].panels, tally[k].plane);
    table += line;
    sum.actions += tally[k].actions;
    sum.panels += tally[k].panels;
    sum.plane += tally[k].plane;
  }
  char line[96];
  std::snprintf(line, sizeof line, "%-14s %7d %7d %6d\n", "all", sum.actions, sum.panels, sum.plane);
  table += line;
  for (const auto& [where, n] : culprits) table += "  " + where + ": " + std::to_string(n) + "\n";
  std::printf("%s", table.c_str());
  EXPECT_EQ(sum.panels, 0);
  EXPECT_EQ(sum.plane, 0);
  if (seeds * actions >= 40) {
    for (int32_t k = kFirstReachedKind; k < kPageSwitch; ++k) EXPECT_GT(tally[k].actions, 0) << kKindNames[k];
  }
}

// The same mix with the video thread drawing and the render playing: under
// ThreadSanitizer any record read or written by two threads without an owner
// fails the run, and no draw may paint outside its area.
TEST_F(UiDifferential, TheVideoThreadAndTheRenderReadOnlyWhatIsTheirsThroughTheMix) {
  threaded = true;
  const int32_t first = EnvCount("TARVELO_UI_DIFF_FIRST_SEED", 1);
  const int32_t seeds = EnvCount("TARVELO_UI_DIFF_THREADED_SEEDS", 2);
  const int32_t actions = EnvCount("TARVELO_UI_DIFF_THREADED_ACTIONS", 25);
  const int32_t seconds = EnvCount("TARVELO_UI_DIFF_THREADED_SECONDS", 0);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  Tally tally[kKinds];
  std::map<std::string, int32_t> culprits;
  RunningProgram running;
  int32_t runs = 0;
  for (int32_t s = first; seconds > 0 ? std::chrono::steady_clock::now() < end : s < first + seeds;
       ++s, ++runs) {
    Tarvelo::ClearSynth();
    Run(static_cast<uint32_t>(s), actions, tally, culprits);
    if (HasFatalFailure()) break;
  }
  int32_t all = 0;
  for (const Tally& t : tally) all += t.actions;
  std::printf("%d seeds, %d actions with the video thread drawing and the render playing\n", runs, all);
  for (const auto& [where, n] : culprits) std::printf("  %s: %d\n", where.c_str(), n);
  EXPECT_TRUE(culprits.empty());
  for (int32_t k = kListHover; k < kKinds; ++k) EXPECT_GT(tally[k].actions, 0) << kKindNames[k];
}

}  // namespace

// A Catalog row dragged onto the plane and back to its list, released there:
// the plane's drag-over ends, and its payload with it, so that a drag from a
// port over the plane later carries none and draws no drop outline.
TEST_F(UiDifferential, ADragOverEndedWithoutADropTakesItsPayloadAlong) {
  ModuleRecord* osc = Make(Tarvelo::kTypeOscillator, 600, 400);
  ASSERT_NE(osc, nullptr);
  Show(Tarvelo::kWinPANEL, -1);
  Show(Tarvelo::kWinABOUT, 0);
  for (const char* name : {"TABMOD", "LIBT1"}) {
    const int32_t id = Find(name);
    if (!OnScreen(id)) continue;
    MoveTo(C(id)->X + C(id)->W / 2, C(id)->Y + C(id)->H / 2);
    Button(platform::kWindowButtonPress);
    Button(platform::kWindowButtonRelease);
    EXPECT_EQ(StaleAfterLoop(), "") << name;
  }
  const int32_t list = Find("REFM"), plane = Plane();
  ASSERT_TRUE(OnScreen(list));
  const V::ControlRecord* l = C(list);
  const V::ControlRecord* p = C(plane);
  const int32_t rowX = l->X + l->W / 2, rowY = l->Y + V::BorderWidth + 4;
  ASSERT_EQ(V::ControlHitTest(rowX, rowY, 0), list);
  // A bare place of the plane.
  int32_t bareX = 0, bareY = 0;
  for (int32_t y = p->Y + 20; y < p->Y + p->H && bareX == 0; y += 37)
    for (int32_t x = p->X + 20; x < p->X + p->W && bareX == 0; x += 41)
      if (V::ControlHitTest(x, y, 0) == plane) bareX = x, bareY = y;
  ASSERT_GT(bareX, 0);

  MoveTo(rowX, rowY);
  Button(platform::kWindowButtonPress);
  EXPECT_EQ(StaleAfterLoop(), "") << "row pressed";
  MoveTo(bareX, bareY);
  MoveTo(bareX + 9, bareY + 7);
  EXPECT_EQ(StaleAfterLoop(), "") << "dragged over the plane";
  EXPECT_NE(C(plane)->DragOver.load(), 0);
  EXPECT_NE(C(plane)->UserPointer, nullptr) << "the row's module offered";
  MoveTo(rowX + 3, rowY + 2);
  EXPECT_EQ(StaleAfterLoop(), "") << "dragged back";
  Button(platform::kWindowButtonRelease);
  EXPECT_EQ(StaleAfterLoop(), "") << "released on the list";
  EXPECT_EQ(C(plane)->DragOver.load(), 0);
  EXPECT_EQ(C(plane)->UserPointer, nullptr) << "no drop: the offer ended";

  // A long drag from the output port, over the plane and off it.
  const int32_t out = Output(osc);
  ASSERT_TRUE(OnScreen(out));
  MoveTo(C(out)->X + C(out)->W / 2, C(out)->Y + C(out)->H / 2);
  Button(platform::kWindowButtonPress);
  EXPECT_EQ(StaleAfterLoop(), "") << "port pressed";
  for (const auto& [x, y] : {std::pair{bareX, bareY}, std::pair{bareX + 30, bareY + 20},
                             std::pair{rowX, rowY}, std::pair{p->X + 5, p->Y + 3}}) {
    MoveTo(x, y);
    EXPECT_EQ(StaleAfterLoop(), "") << "port dragged to " << x << "," << y;
    EXPECT_EQ(C(plane)->UserPointer, nullptr) << "a port offers no module";
  }
  Button(platform::kWindowButtonRelease);
  EXPECT_EQ(StaleAfterLoop(), "") << "port released";
  EXPECT_EQ(Tarvelo::ModuleList.count, 1) << "nothing dropped";
}

// Each state that a draw callback reads and nobody used to mark, changed once:
// every step is judged pressed and released.
TEST_F(UiDifferential, StateTheDrawingReadsIsRedrawnAtTheNextFrame) {
  ModuleRecord* osc = Make(Tarvelo::kTypeOscillator, 600, 400);
  ASSERT_NE(osc, nullptr);
  Tarvelo::SelectModule(osc, -1);
  Show(Tarvelo::kWinPANEL, -1);
  EXPECT_EQ(StaleAfterLoop(), "") << "set up";

  auto click = [this](const char* name) {
    const int32_t id = Find(name);
    ASSERT_GT(id, 0) << name;
    ASSERT_TRUE(OnScreen(id)) << name;
    MoveTo(C(id)->X + C(id)->W / 2, C(id)->Y + C(id)->H / 2);
    Button(platform::kWindowButtonPress);
    EXPECT_EQ(StaleAfterLoop(), "") << name << " pressed";
    Button(platform::kWindowButtonRelease);
    EXPECT_EQ(StaleAfterLoop(), "") << name << " released";
  };
  // Each window shown for its buttons only: they cover the panels.
  struct Clicks {
    int32_t window;  // -1: none of its own
    std::vector<const char*> names;
  };
  const Clicks groups[] = {
      {-1, {"Rec", "Rec", "POLY", "POLY", "FAD_PP"}},
      {Tarvelo::kWinVS, {"VS_SHADER0", "VS_SHADER0"}},
      {Tarvelo::kWinTNG,
       {"TNGK+", "TNGK-", "TNGK-", "TNGo", "TNG=", "FAD_RF", "TNGSCL", "FAV_AK", "FAV_RK", "TNGo",
        "FAD_AK", "TNG="}},
  };
  for (const Clicks& g : groups) {
    if (g.window >= 0) Show(g.window, -1);
    for (const char* name : g.names) {
      SCOPED_TRACE(name);
      click(name);
    }
    if (g.window >= 0) Show(g.window, 0);
    EXPECT_EQ(StaleAfterLoop(), "") << "window closed";
  }

  // What other threads and the render change.
  static float meters[2][6] = {{-0.5f, 0.5f, -20.0f, -0.25f, 0.75f, -6.0f},
                               {-0.1f, 0.1f, -60.0f, -0.9f, 0.9f, -1.0f}};
  for (float* e : meters) {
    QUARLE_BASICS::CommandMessage msg{};
    msg.type = QUARLE_AUDIO::kAudioMeters;
    msg.word2 = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(e));
    QUARLE_BASICS::PostCommand(msg, 0, 0);
    EXPECT_EQ(StaleAfterLoop(), "") << "meter report";
  }
  Tarvelo::SelectPort(0);
  EXPECT_EQ(StaleAfterLoop(), "") << "a value selected";
  const int32_t p = osc->SelectedParam.Load();
  ASSERT_GE(p, 0);
  Tarvelo::ModuleSetParamValue(*osc, p, osc->Params[p].Value.Load() * 0.5f + 1.0f);
  osc->Params[p].MidiMoved.Store(-1);
  EXPECT_EQ(StaleAfterLoop(), "") << "controller move of the selected value";
  osc->PolyphonyMode.Store(1);
  osc->ModuleSwitches[Tarvelo::kSwitchPerVoice].Store(osc->ModuleSwitches[Tarvelo::kSwitchPerVoice].Load() ? 0 : -1);
  // The on-screen keyboard's captions and colours follow the tuning in use.
  Show(Tarvelo::kWinKBGROUP, -1);
  EXPECT_EQ(StaleAfterLoop(), "") << "keyboard shown";
  for (const int32_t keys : {10, 12}) {
    {
      platform::MutexGuard g(Tarvelo::MT_TUNINGS[Tarvelo::kActiveTuning]);
      Tarvelo::TuningSetNoteCount(Tarvelo::ActiveTuning, keys);
    }
    EXPECT_EQ(StaleAfterLoop(), "") << keys << " keys in use";
  }
  QUARLE_BASICS::CommandMessage rebuilt{};
  rebuilt.type = Tarvelo::kMessagePerVoice;
  QUARLE_BASICS::PostCommand(rebuilt, 0, 0);
  EXPECT_EQ(StaleAfterLoop(), "") << "per-voice switch after a rebuild";

  // Draws held to the area their controls mark (the fixture fails any draw
  // asking to paint beyond it): the key steps at counts whose rounded steps
  // overrun the bar, its tuning put back after.
  auto editedKeys = [] {
    platform::MutexGuard g(Tarvelo::MT_TUNINGS[Tarvelo::kEditedTuning]);
    return Tarvelo::TuningGetNoteCount(Tarvelo::EditedTuning);
  };
  Show(Tarvelo::kWinKBGROUP, 0);
  Show(Tarvelo::kWinABOUT, 0);  // it lies over the editor's buttons
  Show(Tarvelo::kWinTNG, -1);
  const int32_t keysBefore = editedKeys();
  for (const int32_t keys : {13, 14, 16, 17}) {
    SCOPED_TRACE(std::to_string(keys) + " keys, geometric");
    for (int32_t n = 0; editedKeys() < keys && n < 20; ++n) click("TNGK+");
    ASSERT_EQ(editedKeys(), keys);
    click("TNGo");
  }
  for (int32_t n = 0; editedKeys() > keysBefore && n < 20; ++n) click("TNGK-");
  click("TNG=");
  Show(Tarvelo::kWinTNG, 0);
  EXPECT_EQ(StaleAfterLoop(), "") << "tuning window closed";

  // A cable into a box at the plane's top edge: its end's glow stays on the
  // plane, under the output power history, which redraws with a report.
  ModuleRecord* top = Make(Tarvelo::kTypeOscillator, 300, C(Plane())->Y + 5);
  ModuleRecord* kb = Make(Tarvelo::kTypeKeyboard, 320, 500);
  ASSERT_TRUE(top && kb);
  ASSERT_EQ(Tarvelo::ModuleLinkInput(*top, 0, kb, &Tarvelo::ModuleCatalog[top->Type]), 4);
  EXPECT_EQ(StaleAfterLoop(), "") << "cable to the plane's top edge";
  for (float* e : meters) {
    QUARLE_BASICS::CommandMessage msg{};
    msg.type = QUARLE_AUDIO::kAudioMeters;
    msg.word2 = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(e));
    QUARLE_BASICS::PostCommand(msg, 0, 0);
    EXPECT_EQ(StaleAfterLoop(), "") << "meter report over a cable's glow";
  }

  // Overlapping boxes: a box made after the Sequencer lies over it, its input
  // ports over the Sequencer's output port, though it takes the list place a
  // deleted box left before the Sequencer's. A press on a third box (which
  // raises it) redraws the two where they meet in their order.
  ModuleRecord* gone = Make(Tarvelo::kTypeMixer, 1100, 700);
  ModuleRecord* seq = Make(Tarvelo::kTypeSequencer, 900, 300);
  ASSERT_TRUE(gone && seq);
  ASSERT_EQ(Tarvelo::DeleteModule(gone), 0);
  EXPECT_EQ(StaleAfterLoop(), "") << "a box deleted";
  const V::ControlRecord* seqOut = C(Output(seq));
  ModuleRecord* over = Make(Tarvelo::kTypeOscillator, seqOut->X - 10, seqOut->Y + seqOut->H / 2);
  ASSERT_NE(over, nullptr);
  EXPECT_EQ(StaleAfterLoop(), "") << "a box made over the Sequencer";
  for (ModuleRecord* m : {kb, seq, over}) {
    const V::ControlRecord* box = Box(m);
    MoveTo(box->X + box->W / 2, box->Y + box->H - 3);
    Button(platform::kWindowButtonPress);
    EXPECT_EQ(StaleAfterLoop(), "") << "box pressed";
    Button(platform::kWindowButtonRelease);
    EXPECT_EQ(StaleAfterLoop(), "") << "box released";
  }

  // A list scrolled to its end that loses rows: 18 modules, the created-module
  // list wheeled to its end, its last shown row clicked and deleted, 4 times.
  Show(Tarvelo::kWinKBGROUP, 0);
  while (Tarvelo::ModuleList.count < 18)
    Make(Tarvelo::kTypeOscillator, 100 + 40 * (Tarvelo::ModuleList.count % 8), 150 + 40 * (Tarvelo::ModuleList.count / 8));
  for (const char* name : {"TABMOD", "LIBT2"}) click(name);
  const int32_t created = Find("LIBM");
  ASSERT_TRUE(OnScreen(created));
  const int32_t rows = C(created)->Text.VisibleRows;
  ASSERT_LT(rows, 14);
  for (int32_t deletion = 1; deletion <= 4; ++deletion) {
    const V::ControlRecord* list = C(created);
    MoveTo(list->X + list->W / 2, list->Y + list->H / 2);
    wheel -= 30;
    platform::WindowEventInject(platform::WheelEvent(wheel));
    EXPECT_EQ(StaleAfterLoop(), "") << "wheeled to the end before deletion " << deletion;
    ASSERT_EQ(C(created)->Text.FirstVisible, Tarvelo::ModuleList.count - rows);
    const int32_t rowH = Tarvelo::ListRowHeightOf(C(created)->Render);
    MoveTo(list->X + list->W / 2, list->Y + V::BorderWidth + (rows - 1) * rowH + rowH / 2);
    Button(platform::kWindowButtonPress);
    Button(platform::kWindowButtonRelease);
    EXPECT_EQ(StaleAfterLoop(), "") << "last row selected before deletion " << deletion;
    ASSERT_EQ(C(created)->Text.Selected, Tarvelo::ModuleList.count - 1);
    const int32_t before = Tarvelo::ModuleList.count;
    click("LIDEL");
    EXPECT_EQ(Tarvelo::ModuleList.count, before - 1) << "deletion " << deletion;
    EXPECT_EQ(StaleAfterLoop(), "") << "the frame after deletion " << deletion;
    EXPECT_EQ(C(created)->Text.FirstVisible, Tarvelo::ModuleList.count - rows) << deletion;
  }

  // New messages and actions, the way the running program adds them: reports
  // go to the message console and, with the video thread running, up on the
  // status line, which another thread hands to the interface thread.
  RunningProgram running;
  Tarvelo::SelectModule(Tarvelo::ModuleList.entries[0], -1);
  for (const char* name : {"TABMSG", "MSGT1"}) click(name);
  ASSERT_TRUE(OnScreen(Find("MSGS")));
  for (int32_t take = 0; take < 2; ++take) {
    const int32_t before = Tarvelo::MessageConsole.count;
    std::thread([] { QUARLE_BASICS::Report("Now recording take.wav", 0); }).join();
    EXPECT_EQ(StaleAfterLoop(), "") << "a report from another thread";
    EXPECT_EQ(Tarvelo::MessageConsole.count, before + 1);
  }
  const int32_t reports = Tarvelo::MessageConsole.count;
  click("PlayMP");  // no sound device: a report on the interface thread
  EXPECT_EQ(Tarvelo::MessageConsole.count, reports + 1);
  click("MSGT2");
  ASSERT_TRUE(OnScreen(Find("MSGA")));
  for (int32_t press = 0; press < 2; ++press) {
    const int32_t before = Tarvelo::ActionHistory.count;
    click("MFP");
    EXPECT_EQ(Tarvelo::ActionHistory.count, before + 1);
  }
}

// A number base set while the octave board is held and the pointer drags over
// it, with the video thread drawing: the board's layout (its key count and
// height, each board's first key) is the interface's, laid out by the Set
// itself; the draw only reads it. Under ThreadSanitizer the handler's reads of
// the key count meet no write on another thread.
TEST_F(UiDifferential, ANumberBaseSetWhileTheOctaveBoardIsHeldIsLaidOutByTheInterface) {
  V::ControlSetVisible(C(V::WindowList[Tarvelo::kWinBBGROUP]), -1);
  V::UpdateControl(V::WindowList[Tarvelo::kWinBBGROUP], 0);
  const int32_t bb = V::UiIndex[Tarvelo::kUiBB], tstb = V::UiIndex[Tarvelo::kUiTSTB];
  const int32_t set = Find("TSS");
  ASSERT_TRUE(OnScreen(bb));
  ASSERT_GT(tstb, 0);
  ASSERT_GT(set, 0);
  for (const int32_t type : {Tarvelo::kTypeKeyboard, Tarvelo::kTypeOscillator, Tarvelo::kTypeOctaveBoard})
    ASSERT_NE(Make(type, 250 + 220 * (type % 5), 250 + 60 * (type % 4)), nullptr);
  RunLoop();
  StartThreads();
  ASSERT_FALSE(HasFatalFailure());
  const V::ControlRecord* board = C(bb);
  V::Pointer.x = board->X + board->W / 2;
  V::Pointer.y = board->Y + board->H / 2;
  Send(bb, V::kEventPress, V::Pointer.x, V::Pointer.y);
  constexpr int32_t kSets = 24, kRows = 16, kMaxMoves = 1000000;
  for (int32_t i = 0; i < kSets; ++i) {
    const int32_t base = (i + 1) % 3;
    C(tstb)->Text.Selected = base;
    Send(set, V::kEventClick);
    ASSERT_EQ(Tarvelo::TimeBaseIndex.Load(), base);
    // The layout is the new base's at once, before any frame draws it.
    const int32_t keys = Tarvelo::OctaveBoardKeyRanges[base].Count;
    const int32_t fit = board->H / (9 * Tarvelo::UiUnit);
    const int32_t count = std::min(keys, fit);
    EXPECT_EQ(Tarvelo::OctaveBoardVisibleKeys.Load(), count) << "base " << base;
    EXPECT_EQ(Tarvelo::OctaveBoardStates[0].Load()->Octave.Load(), (keys - count) / 2) << "base " << base;
    // Dragged over the board until the video thread has drawn the new
    // layout and begun the frame after it (a bound on the moves in case it
    // stalls: then the wait for the frame fails).
    const int64_t begun = g_framesBegun.load();
    for (int32_t m = 0; g_framesBegun.load() < begun + 2 && m < kMaxMoves; ++m) {
      V::Pointer.y = board->Y + (m % kRows) * board->H / kRows;
      Send(bb, V::kEventDrag, V::Pointer.x, V::Pointer.y);
    }
    ASSERT_TRUE(NextFrame());
  }
  Send(bb, V::kEventDragRelease, V::Pointer.x, V::Pointer.y);
  ASSERT_TRUE(NextFrame());
  StopThreads();
}

// The MIDI thread's controller-kind detection while the interface shows and
// hides the controller list and enables and disables the type selector: the
// MIDI thread reads only the list's visibility, which the interface stores
// whole; the refresh it posts is taken on the interface thread, which shows
// the detected kind only while the selector is enabled.
TEST_F(UiDifferential, TheMidiThreadsDetectionReadsOnlyWhatTheInterfaceStoresWhole) {
  const int32_t devices = V::UiIndex[Tarvelo::kUiMIDIDEVS], selector = V::UiIndex[Tarvelo::kUiMIDICCCT];
  const int32_t list = devices + 1;
  ASSERT_GT(devices, 0);
  ASSERT_GT(selector, 0);
  ASSERT_NE(C(list), nullptr);
  bool ownLock = false;
  if (!Tarvelo::MT_MIDIMAPS) ownLock = (Tarvelo::MT_MIDIMAPS = platform::MutexCreate()) != nullptr;
  ASSERT_NE(Tarvelo::MT_MIDIMAPS, nullptr);
  // The program's adapters, as its wiring installs them.
  const Tarvelo::EngineUiHooks saved = Tarvelo::EngineUi;
  Tarvelo::EngineUi.ControlId = [](int32_t named) -> int32_t {
    if (named == Tarvelo::kControlMidiDevices) return V::UiIndex[Tarvelo::kUiMIDIDEVS];
    if (named == Tarvelo::kControlMidiKindSelector) return V::UiIndex[Tarvelo::kUiMIDICCCT];
    return 0;
  };
  Tarvelo::EngineUi.Visible = [](int64_t id) -> int32_t {
    const V::ControlRecord* c = V::ControlAt(static_cast<int32_t>(id));
    return c && V::ControlVisible(c) != 0 ? -1 : 0;
  };
  Tarvelo::EngineUi.IsEnabled = [](int32_t id) -> int32_t {
    const V::ControlRecord* c = V::ControlAt(id);
    return c && V::ControlIsEnabled(c) != 0 ? -1 : 0;
  };
  Tarvelo::MidiMap& map = Tarvelo::MidiMaps[0];
  constexpr int32_t kController = 1;  // row 2 of the list
  map.Entries[kController][0].CentreCount = map.Entries[kController][0].SeenCount = 0;
  C(list)->Text.Selected = kController + 1;
  // 65 twice decides "Endless, 64-rel." at every second message.
  auto detect = [&](float time) { return Tarvelo::DetectControllerKind(map, kController, 0, 65.0f, 65.0f, time, 0); };
  // Pairs of messages until the interface has toggled the page a while and
  // the MIDI thread has sent a good many of them (the wall clock only bounds
  // a hang).
  std::atomic<bool> stop{false}, finished{false};
  std::atomic<int32_t> pairs{0};
  int32_t decided = 0;
  std::thread midi([&] {
    // Paced, as a device sends: a flood of refreshes would keep the loop busy.
    for (int32_t n = 0; !stop.load() && n < 5000; ++n) {
      decided += detect(static_cast<float>(2 * n)) != 0;
      decided += detect(static_cast<float>(2 * n + 1)) != 0;
      pairs.fetch_add(1);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    finished = true;
  });
  const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (int32_t flips = 1; flips <= 200 || (pairs.load() < 200 && std::chrono::steady_clock::now() < bound);
       ++flips) {
    V::ControlSetVisible(C(list), (flips & 1) != 0 ? -1 : 0);
    V::SetDisabled(&C(selector)->State, (flips & 2) != 0 ? -1 : 0);
    RunLoop();
  }
  stop = true;
  // A post that finds queue 0 full waits for the loop to take some.
  while (!finished.load()) RunLoop();
  midi.join();
  RunLoop();
  EXPECT_GE(pairs.load(), 200);
  EXPECT_EQ(decided, pairs.load());  // the second of each pair decides

  // Shown and enabled: the refresh shows the kind; disabled: it leaves the
  // selector as it was.
  V::ControlSetVisible(C(list), -1);
  for (const bool enabled : {false, true}) {
    V::SetDisabled(&C(selector)->State, enabled ? 0 : -1);
    C(selector)->Text.Selected = 0;
    ASSERT_EQ(detect(0.0f), 0);
    ASSERT_EQ(detect(1.0f), Tarvelo::kControllerEndless64);
    RunLoop();
    EXPECT_EQ(C(selector)->Text.Selected, enabled ? Tarvelo::kControllerEndless64 : 0) << enabled;
  }
  Tarvelo::EngineUi = saved;
  if (ownLock) {
    platform::MutexDestroy(Tarvelo::MT_MIDIMAPS);
    Tarvelo::MT_MIDIMAPS = nullptr;
  }
}
