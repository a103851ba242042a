// A press held through the real event loop on a control whose box goes, or
// on a page showing the module that goes, while the mouse keeps moving: by
// Del, by Ctrl+N and by a load. With the output off the module is reclaimed
// at once and the purge is run between two events, as the video thread runs
// it between frames; with the output on the render plays and the real video
// thread purges. Nothing after the removal may reach the box's controls or
// the module: the sanitizer builds fail the run on any touch, and the
// modules left or loaded keep their values.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

#include "app/documents/synth_file.h"
#include "app/fixed_tables.h"
#include "app/state/dialogs.h"
#include "app/state/module_page.h"
#include "app/state/settings.h"
#include "app/state/wave_library.h"
#include "basics/program.h"
#include "engine/catalog/catalog.h"
#include "engine/keyboard.h"
#include "engine/modulelist.h"
#include "engine/notes.h"
#include "engine/params.h"
#include "engine/units.h"
#include "platform/files.h"
#include "platform/sdl.h"
#include "threaded_ui_fixture.h"
#include "ui/build/frame.h"
#include "ui/build/groups_b.h"
#include "ui/views/synth_plane.h"
#include "visuals/event_loop.h"
#include "visuals/focus.h"

namespace {

namespace V = QUARLE_VISUALS;
namespace fs = std::filesystem;
using Tarvelo::ModuleRecord;

constexpr const char* kSynthFile = "HeldPress.tarvelo";
constexpr int32_t kMovesBehind = 12;  // drag moves right behind a removal, in its batch
constexpr int32_t kBatchesBehind = 30;  // batches of moves after it, each run by the loop

// What the press is held on.
enum Hold { kPortValue, kBoxMove, kLinkDrawn, kPageSlider, kListRow, kTextField, kHolds };
constexpr const char* kHoldNames[kHolds] = {"input port's value drag", "box drag", "link being drawn",
                                            "page slider", "module list row", "text field with focus"};
enum Removal { kDel, kCtrlN, kLoad, kRemovals };
constexpr const char* kRemovalNames[kRemovals] = {"Del", "Ctrl+N", "load"};
// What a press is held on while the window lets go of it, or takes the focus.
enum Held { kHeldBox, kHeldKey, kHeldRow, kHeldValue, kHelds };

class HeldPress : public uithreads::ThreadedUiTest {
 protected:
  void SetUp() override {
    MakeHome("tarvelo_held_press");
    ThreadedUiTest::SetUp();
    if (HasFatalFailure()) return;
    EnterHome();
    if (HasFatalFailure()) return;
    // The synth a load brings back: two of each, so its boxes take the
    // slots the purge emptied.
    MakePair();
    Tarvelo::SynthOutputModule.store(osc);
    ASSERT_EQ(Tarvelo::SaveSession(Tarvelo::SessionFolder, kSynthFile), 0);
    Tarvelo::SelectModule(nullptr, -1);
    Tarvelo::ClearSynth();
    Show(Tarvelo::kWinPANEL, -1);
    Show(Tarvelo::kWinABOUT, 0);
    RunLoop();
  }
  void TearDown() override {
    if (render.joinable()) StopThreads();
    Tarvelo::SelectModule(nullptr, -1);
    Tarvelo::ClearSynth();
    Tarvelo::WaveLibraryListsFree();
    QUARLE_BASICS::DynZStringAssign(QUARLE_BASICS::HomeFolder, "");
    ThreadedUiTest::TearDown();
    LeaveHome();
  }

  // Calls that reach the held control once its box is gone: none may.
  static int32_t CountingCallback(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source) {
    ++lateCalls;
    return heldCallback(bits, x, y, id, source);
  }
  static inline int32_t lateCalls = 0;
  static inline V::EventCallbackFn heldCallback = nullptr;

  void MakePair() {
    kb = Make(Tarvelo::kTypeKeyboard, 300, 300);
    osc = Make(Tarvelo::kTypeOscillator, 700, 420);
    ASSERT_TRUE(kb && osc);
    ASSERT_EQ(Tarvelo::ModuleLinkInput(*osc, 0, kb, &Tarvelo::ModuleCatalog[osc->Type]), 4);
  }
  static bool Listed(const ModuleRecord* m) {
    for (int32_t i = 0; i < Tarvelo::ModuleList.count; ++i)
      if (Tarvelo::ModuleList.entries[i] == m) return true;
    return false;
  }
  // Every value of every listed module, in list order.
  static std::vector<float> Values() {
    std::vector<float> v;
    for (int32_t i = 0; i < Tarvelo::ModuleList.count; ++i)
      for (int32_t p = 0; p < Tarvelo::ModuleList.entries[i]->ParamCount; ++p)
        v.push_back(Tarvelo::ModuleList.entries[i]->Params[p].Value.Load());
    return v;
  }
  // The pointer on the control's middle; false when another covers it.
  bool Center(int32_t id) {
    const int32_t x = C(id)->X + C(id)->W / 2, y = C(id)->Y + C(id)->H / 2;
    MoveTo(x, y);
    return V::ControlHitTest(x, y, 0) == id;
  }
  // Moves that make a drag of any control: past the loop's and the box's
  // thresholds.
  void Wiggle(int32_t times) {
    for (int32_t i = 0; i < times; ++i) MoveTo(px + (i % 2 ? -7 : 9), py - 8);
  }
  // A step the other threads see: the loop runs, then a frame begins (the
  // purge runs before it); with the output off the purge runs here.
  void Step(bool output) {
    RunLoop();
    if (output) {
      EXPECT_TRUE(NextFrame());
    } else {
      V::PurgeDeletedControls();
    }
  }
  // The key, or the click its shortcut makes while a field takes the keys.
  void Shortcut(uint32_t scan, uint32_t ascii, int32_t code) {
    if (V::ActiveEditField() == V::DefaultKeyTarget) {
      Key(scan, ascii);
      return;
    }
    QUARLE_BASICS::CommandMessage m{};
    m.type = QUARLE_BASICS::kCommandControlEvent;
    m.arg2 = static_cast<uint32_t>(V::KeyShortcutTable[code]);
    m.arg5 = V::kEventClick;
    QUARLE_BASICS::PostCommand(m, 0, 0);
  }

  // The press held on the control of the kind; false when it is not on the
  // screen.
  bool Press(Hold hold) {
    switch (hold) {
      case kPortValue:
      case kLinkDrawn: {
        if (hold == kLinkDrawn) {  // the input half armed, the output pressed
          Center(Input(osc, 0));
          Button(platform::kWindowButtonPress);
          Button(platform::kWindowButtonRelease);
        }
        const int32_t port = hold == kPortValue ? Input(osc, 1) : Output(osc);
        if (!Reachable(port) || !Center(port)) return false;
        break;
      }
      case kBoxMove: {
        const V::ControlRecord* box = Box(osc);
        MoveTo(box->X + box->W / 2, box->Y + 3);
        break;
      }
      case kPageSlider:
      case kTextField: {
        Tarvelo::SelectModule(osc, 1);
        Tap("MODTAB0", [] {});
        const int32_t id = Find(hold == kPageSlider ? "FAV_PP" : "FAE_PP");
        if (!Reachable(id) || !Center(id)) return false;
        if (hold == kTextField) {  // the typed entry's field takes the keys
          Button(platform::kWindowButtonPress);
          Button(platform::kWindowButtonRelease);
          RunLoop();
          Key(2, '7');
          return V::ActiveEditField() != V::DefaultKeyTarget;
        }
        break;
      }
      case kListRow: {
        // The module list's tab; again when a page a handler posted came over it.
        const int32_t list = Find("LIBM");
        for (int32_t tries = 0; tries < 3 && !Reachable(list); ++tries) {
          Tap("TABMOD", [] {});
          RunLoop();
        }
        if (!Reachable(list)) return false;
        const V::ControlRecord* l = C(list);
        const int32_t rows = std::max(l->Text.VisibleRows, 1);
        const int32_t rowH = std::max((l->H - 2 * V::BorderWidth) / rows, 1);
        // The second row: the oscillator.
        MoveTo(l->X + l->W / 2, l->Y + V::BorderWidth + rowH + rowH / 2);
        break;
      }
      default:
        return false;
    }
    Button(platform::kWindowButtonPress);
    RunLoop();
    if (hold == kListRow) {
      // Dragged out over a bare place of the plane.
      const V::ControlRecord* p = C(Plane());
      MoveTo(p->X + 40, p->Y + p->H - 40);
    }
    Wiggle(3);
    return true;
  }

  void Round(bool output, Hold hold, Removal removal) {
    SCOPED_TRACE(std::string(kHoldNames[hold]) + ", " + kRemovalNames[removal] +
                 (output ? ", output on" : ", output off"));
    MakePair();
    Tarvelo::SynthOutputModule.store(osc);
    Tarvelo::SelectModule(osc, -1);
    RunLoop();
    // Del takes the selected module only from a list of modules: their tab on view.
    for (int32_t tries = 0; removal == kDel && tries < 3 && !Reachable(Find("REFM")) && !Reachable(Find("LIBM"));
         ++tries) {
      Tap("TABMOD", [] {});
      RunLoop();
    }
    if (output) StartRenderAndVideo();
    ASSERT_TRUE(Press(hold)) << "not on the screen";
    Step(output);
    ModuleRecord* gone = osc;
    // The held control of the box counts what reaches it from here on.
    lateCalls = 0;
    const int32_t held = hold == kPortValue || hold == kLinkDrawn || hold == kBoxMove ? V::Pointer.pressed : 0;
    if (held > 0) {
      heldCallback = C(held)->EventCallback;
      C(held)->EventCallback = CountingCallback;
    }
    // The removal, with drag moves right behind it in the same batch (the
    // load is the interface's own call, as the browser's Load makes it).
    switch (removal) {
      case kDel:
        if (hold == kLinkDrawn || hold == kBoxMove || hold == kPortValue)
          Tarvelo::SelectModule(osc, -1);
        Shortcut(83, 0, V::kKeyDelete);
        break;
      case kCtrlN:
        Shortcut(49, 14, 14);
        break;
      default:
        ASSERT_EQ(Tarvelo::LoadSynth(Tarvelo::SessionFolder, kSynthFile), 0);
        break;
    }
    // Enough moves that the video thread's purge meets them.
    Wiggle(kMovesBehind);
    RunLoop();
    // (A load may make a module where the removed one was.)
    if (removal != kLoad) {
      ASSERT_FALSE(Listed(gone)) << "the module was not removed";
    }
    const int32_t count = Tarvelo::ModuleList.count;
    const std::vector<float> values = Values();
    // The mouse keeps dragging over whatever now lies under it while the
    // purge runs: the video thread's, or here after the first batch.
    for (int32_t batch = 0; batch < kBatchesBehind; ++batch) {
      Wiggle(2);
      RunLoop();
      if (!output && batch == 0) V::PurgeDeletedControls();
    }
    Step(output);
    Key(2, '5');
    Key(28, 13);
    Wiggle(2);
    Button(platform::kWindowButtonRelease);
    Step(output);
    if (output) StopThreads();

    EXPECT_EQ(lateCalls, 0) << "events reached a control of the removed box";
    EXPECT_EQ(Tarvelo::ModuleList.count, count) << "a drop made a module";
    EXPECT_EQ(Values(), values) << "a drag moved a module's value";
    EXPECT_NE(Tarvelo::PendingPortLink.module, gone);
    EXPECT_NE(Tarvelo::PendingPortLink.source, gone);
    EXPECT_EQ(Tarvelo::PlaneMoving.load(), 0);

    Tarvelo::SelectModule(nullptr, -1);
    Tarvelo::ClearSynth();
    Tarvelo::CancelPendingPortLink();
    V::SetActiveEditField(V::DefaultKeyTarget);
    RunLoop();
    V::PurgeDeletedControls();
  }

  // With the output on the purge runs on its own thread: each round comes
  // more than once (TARVELO_HELD_PRESS_ROUNDS times) to meet it.
  void AllRounds(bool output) {
    const int32_t repeats = output ? uithreads::EnvCount("TARVELO_HELD_PRESS_ROUNDS", 1) : 1;
    for (int32_t n = 0; n < repeats; ++n)
      for (int32_t h = 0; h < kHolds; ++h)
        for (int32_t r = 0; r < kRemovals; ++r) {
          Round(output, static_cast<Hold>(h), static_cast<Removal>(r));
          if (HasFatalFailure()) return;
        }
  }

  // The notes the on-screen keyboard and octave board sound.
  static int32_t Sounding() {
    int32_t n = 0;
    for (const Tarvelo::KeyboardState* s : {Tarvelo::KeyboardStates[Tarvelo::CurrentKeyboardIndex.Load()].Load(),
                                            Tarvelo::OctaveBoardStates[Tarvelo::CurrentOctaveBoardIndex.Load()].Load()})
      for (int32_t v = 0; v < Tarvelo::kVoicesUsed; ++v) n += s->Voices[v].State.Load() == Tarvelo::kVoiceOn;
    return n;
  }
  // A pointer or window event as SDL reports it, through the window's translation.
  static void Sdl(SDL_Event e) {
    platform::WindowEvent w;
    if (platform::TranslateSdlEventForTest(e, w)) platform::WindowEventInject(w);
  }
  void SdlMoveTo(int32_t x, int32_t y, uint32_t state) {
    SDL_Event e{};
    e.motion = {SDL_MOUSEMOTION, 0, 0, 0, state, x, y, x - px, y - py};
    Sdl(e);
    px = x;
    py = y;
  }

  // A press moving a box, playing a key of the on-screen keyboard or a row of
  // the octave board, or dragging a digit of the page's value, let go of by
  // the window (a move with the button up, hidden) or its focus lost; then
  // moves. A focus lost ends nothing: the moves with the button down go on
  // and only the release ends the press.
  void LostRound(Held held, uint8_t lost) {
    SCOPED_TRACE(testing::Message() << "held " << held << ", lost " << int{lost});
    MakePair();
    Tarvelo::SelectModule(osc, -1);
    for (const auto* states : {Tarvelo::KeyboardStates, Tarvelo::OctaveBoardStates})
      for (int32_t k = 0; k < Tarvelo::kKeyboardBankSize; ++k) Tarvelo::ResetKeyboardState(*states[k].Load(), nullptr);
    // Notes need the output on; with it off a value moves at once.
    Tarvelo::PlaybackActive = held == kHeldKey || held == kHeldRow ? -1 : 0;
    RunLoop();
    V::ControlRecord* box = Box(osc);
    const int32_t x0 = box->X, y0 = box->Y;
    if (held == kHeldBox) {
      MoveTo(box->X + box->W / 2, box->Y + 1);  // above its ports
      ASSERT_EQ(V::ControlHitTest(px, py, 0), osc->BoxControl.Load());
    } else if (held == kHeldKey || held == kHeldRow) {
      const bool kb = held == kHeldKey;
      Show(kb ? Tarvelo::kWinKBGROUP : Tarvelo::kWinBBGROUP, -1);
      ASSERT_TRUE(Reachable(Slot(kb ? Tarvelo::kUiKB : Tarvelo::kUiBB)) && Center(Slot(kb ? Tarvelo::kUiKB : Tarvelo::kUiBB)))
          << "no keyboard";
    } else {
      Tarvelo::SelectModule(osc, 1);
      Tap("MODTAB0", [] {});
      const int32_t id = Find("FAV_PP");
      ASSERT_TRUE(Reachable(id) && Center(id)) << "no value field";
      const auto* v = static_cast<const Tarvelo::ParamValue*>(C(id)->UserPointer);
      const auto onDigit = [&] {  // the segment a drag steps
        const int32_t s = C(id)->Text.Selected;
        return s >= 0 && s < v->SegmentCount && v->Segments[s].Kind == 1;
      };
      for (int32_t x = C(id)->X; x < C(id)->X + C(id)->W; x += 2) {
        MoveTo(x, py);
        RunLoop();
        if (onDigit()) break;
      }
      ASSERT_TRUE(onDigit()) << "no digit in the value";
    }
    const std::vector<float> before = Values();
    const int32_t pressX = px, pressY = py;
    Button(platform::kWindowButtonPress);
    for (int32_t i = 0; i < 3 && held == kHeldValue; ++i) MoveTo(px + 12, py);  // the digit goes up
    if (held != kHeldValue) Wiggle(3);
    RunLoop();
    EXPECT_TRUE(held == kHeldBox ? box->X != x0 && Tarvelo::PlaneMoving.load() == -1
                : held != kHeldValue ? Sounding() == 1
                                     : Values() != before)
        << "the press did nothing";

    SDL_Event end{};
    end.window = {SDL_WINDOWEVENT, 0, 0, lost, 0, 0, 0, 0, 0};
    if (lost == 0) SdlMoveTo(px + 4, py, 0);  // a move with the button up
    else Sdl(end);
    RunLoop();
    if (lost == SDL_WINDOWEVENT_FOCUS_LOST) {
      const std::vector<float> atLoss = Values();
      for (int32_t i = 0; i < 3; ++i) SdlMoveTo(px + 9, py, SDL_BUTTON_LMASK);
      RunLoop();
      EXPECT_TRUE(held == kHeldBox    ? box->X - x0 == px - pressX && box->Y - y0 == py - pressY
                  : held != kHeldValue ? Sounding() == 1
                                       : Values() != atLoss)
          << "the press ended before its release";
      SDL_Event up{};
      up.button = {SDL_MOUSEBUTTONUP, 0, 0, 0, SDL_BUTTON_LEFT, SDL_RELEASED, 1, 0, px, py};
      Sdl(up);
      RunLoop();
    }
    const int32_t x = box->X, y = box->Y;
    const std::vector<float> values = Values();
    Wiggle(6);
    RunLoop();
    EXPECT_EQ(V::Pointer.held, 0);
    EXPECT_EQ(Sounding(), 0) << "the note sounds on";
    EXPECT_EQ(Tarvelo::PlaneMoving.load(), 0) << "the cables stay dotted";
    EXPECT_TRUE(box->X == x && box->Y == y) << "the box follows the pointer";
    EXPECT_EQ(Values(), values) << "the value keeps changing";

    Tarvelo::PlaybackActive = 0;
    Tarvelo::SelectModule(nullptr, -1);
    Tarvelo::ClearSynth();
    Show(Tarvelo::kWinKBGROUP, 0);
    Show(Tarvelo::kWinBBGROUP, 0);
    RunLoop();
    V::PurgeDeletedControls();
  }

  ModuleRecord* kb = nullptr;
  ModuleRecord* osc = nullptr;
};

TEST_F(HeldPress, APressOnAControlThatGoesEndsWithItOutputOff) { AllRounds(false); }

TEST_F(HeldPress, APressOnAControlThatGoesEndsWithItOutputOn) { AllRounds(true); }

// A press the window lets go of without a release ends there as a release
// would: the box stays with its cables whole, the note ends, the value stays.
// One whose focus went on with the button down ends at its release: the box
// goes the whole way, the note sounds until then. SDL's own events.
TEST_F(HeldPress, AReleaseTheWindowNeverSeesEndsThePress) {
  struct Units {  // the value's drag steps come from the units, which the start-up fills
    std::vector<Tarvelo::UnitRow> rows{std::begin(Tarvelo::UnitTable), std::end(Tarvelo::UnitTable)};
    ~Units() { std::copy(rows.begin(), rows.end(), std::begin(Tarvelo::UnitTable)); }
  } restore;
  Tarvelo::SetUnitTable();
  for (int32_t h = 0; h < kHelds; ++h)
    for (const uint8_t lost : {uint8_t{0}, uint8_t{SDL_WINDOWEVENT_FOCUS_LOST}, uint8_t{SDL_WINDOWEVENT_HIDDEN}})
      if (!HasFatalFailure()) LostRound(static_cast<Held>(h), lost);
}

}  // namespace
