// The keyboard panel: notes from pointer gestures on KB and BB with the lock
// and island-key modes, the computer keyboard's top row, the number and key
// position selectors, the key-frequency entry and the panel's layout.
#include <cmath>
#include <functional>
#include <string>
#include <utility>

#include "app/state/dialogs.h"
#include "app/state/module_page.h"
#include "audio/midi.h"
#include "engine/keyboard.h"
#include "panels_a_fixture.h"
#include "platform/events.h"
#include "ui/build/groups_b.h"
#include "ui/panels/keyboards.h"

namespace panelsa {
namespace {

using namespace Tarvelo;

class KeyboardsTest : public PanelsATest {
 protected:
  void SetUp() override {
    PanelsATest::SetUp();
    ResetKeyboardPanelStatics();
    CurrentKeyboardIndex.Store(0);
    CurrentOctaveBoardIndex.Store(0);
    for (const Shared<KeyboardState*>& s : KeyboardStates) ResetKeyboardState(*s.Load(), nullptr);
    for (const Shared<KeyboardState*>& s : OctaveBoardStates) ResetKeyboardState(*s.Load(), nullptr);
    kb_ = Slot(kUiKB);
    bb_ = Slot(kUiBB);
    s_ = KeyboardStates[0].Load();
    s_->LockFlag.Store(0);
    s_->Stamp.Store(0);
    s_->KeyOffset.Store(0);
    V::KeyInput = V::SelectorState{};
  }
  void TearDown() override {
    V::KeyInput = V::SelectorState{};
    CurrentKeyboard.store(nullptr);
    PanelsATest::TearDown();
  }
  // A pointer event on key k of KB.
  void OnKey(uint32_t bits, int32_t k) {
    const V::ControlRecord* c = C(kb_);
    V::Pointer.x = c->X + static_cast<int32_t>((k + 0.5) * c->W / KeyboardVisibleKeys);
    OnKeyboard(bits, bits == V::kEventDrag ? 1 : V::Pointer.x, c->Y + 1, kb_, 0);
  }
  static int32_t Sounding(const KeyboardState* s) {
    int32_t n = 0;
    for (int32_t v = 0; v < kVoicesUsed; ++v) n += s->Voices[v].State.Load() == kVoiceOn;
    return n;
  }
  static int32_t Used(const KeyboardState* s) {
    int32_t n = 0;
    for (int32_t v = 0; v < kVoicesUsed; ++v) n += s->Voices[v].State.Load() != kVoiceFree;
    return n;
  }
  void TopRow(uint32_t scan, bool released, bool shift) {
    V::KeyInput.CounterA = scan;
    V::KeyInput.Word3 = released ? -1 : 0;
    V::KeyInput.Words[0] = shift ? -1 : 0;
    OnKeyboard(V::kEventKey, 0, 0, kb_, 0);
  }
  static void Right(V::EventCallbackFn fn, int32_t id) {
    fn(V::kEventClick, C(id)->X + C(id)->W - 2, C(id)->Y + 1, id, 0);
  }
  // Window events through the interface's own loop, as a player's keys come.
  static void Loop(std::initializer_list<platform::WindowEvent> events) {
    for (const platform::WindowEvent& e : events) platform::WindowEventInject(e);
    platform::WindowEventInject(platform::PlainEvent(platform::kWindowClose));
    const int32_t quit = std::exchange(V::CloseRequestTarget, 0);
    V::GuiMessageLoop();
    V::CloseRequestTarget = quit;
  }
  static void New() { PlaybackActive = 0, ReleaseAllKeys(), PlaybackActive = -1; }
  // Voices on, and held keys holding one, in every keyboard and board.
  static int32_t HeldAnywhere() {
    int32_t n = 0;
    for (const Shared<KeyboardState*>* bank : {KeyboardStates, OctaveBoardStates})
      for (int32_t k = 0; k < kKeyboardBankSize; ++k) {
        n += Sounding(bank[k].Load());
        for (const HeldKey& h : bank[k].Load()->HeldKeys) n += h.Voice.Load() >= 0;
      }
    return n;
  }
  int32_t kb_ = 0, bb_ = 0;
  KeyboardState* s_ = nullptr;
};

TEST_F(KeyboardsTest, KeysNeedAudioOutput) {
  ASSERT_GT(KeyboardVisibleKeys, 3);
  OnKey(V::kEventPress, 2);
  EXPECT_EQ(Text(Slot(kUiMB)), "Turn audio output ON to activate keyboards.");
  EXPECT_EQ(Used(s_), 0);
}

// Keys start nothing while the output is off, but no release is lost: a note
// held when the output went off ends at its release, whatever played it, and
// no key is left drawn held. A press while off starts nothing, and its release
// lets go of no other note (here one started since in the freed entry). A
// release beyond the keys ends the note with the output on too, unless the
// board is locked.
TEST_F(KeyboardsTest, AReleaseWhileTheOutputIsOffEndsTheNote) {
  const auto row = [&](uint32_t bits, int32_t r) {
    const V::ControlRecord* c = C(bb_);
    V::Pointer.y = c->Y + static_cast<int32_t>((r + 0.5) * c->H / OctaveBoardVisibleKeys.Load());
    OnOctaveBoard(bits, c->X + 1, V::Pointer.y, bb_, 0);
  };
  const auto beyond = [&](int32_t k, bool down) {
    if (down) return OnKey(V::kEventPress, k);
    OnKey(V::kEventDrag, KeyboardVisibleKeys + 1);
    OnKey(V::kEventDragRelease, KeyboardVisibleKeys + 1);
  };
  // Pressed, then let go off the keys before the move made a drag: the loop
  // tells the strip only of a leave, with the button up.
  const auto offEdge = [&](int32_t k, bool down) {
    if (down) return OnKey(V::kEventPress, k);
    V::Pointer.held = 0;
    V::Pointer.pressed = kb_;
    OnKeyboard(V::kEventLeave, 0, 0, kb_, 0);
    V::Pointer.pressed = 0;
  };
  const struct {
    const char* what;
    bool board;     // plays the octave board's state, else the keyboard's
    int32_t strip;  // shows the key played; 0 none
    bool tells;     // a press while off says why nothing sounds
    std::function<void(int32_t key, bool down)> play;
    bool on = false;      // the output stays on for the release
    bool locked = false;  // the board is locked: the note sounds on
  } sources[] = {
      {"typed top row", false, 0, true, [&](int32_t k, bool down) { TopRow(2 + k, !down, false); }},
      {"keyboard", false, kb_, true,
       [&](int32_t k, bool down) { OnKey(down ? V::kEventPress : V::kEventClick, k); }},
      {"keyboard, released after a drag", false, kb_, true,
       [&](int32_t k, bool down) {
         if (down) return OnKey(V::kEventPress, k);
         OnKey(V::kEventDrag, k + 1);
         OnKey(V::kEventDragRelease, k + 1);
       }},
      {"keyboard, released beyond its keys", false, kb_, true, beyond},
      {"keyboard, released beyond its keys, output on", false, kb_, true, beyond, true},
      {"locked keyboard, released beyond its keys, output on", false, kb_, true, beyond, true, true},
      {"keyboard, released off its edge", false, kb_, true, offEdge},
      {"keyboard, released off its edge, output on", false, kb_, true, offEdge, true},
      {"locked keyboard, released off its edge, output on", false, kb_, true, offEdge, true, true},
      {"octave board", true, bb_, true, [&](int32_t k, bool down) { row(down ? V::kEventPress : V::kEventClick, k); }},
      {"MIDI", false, 0, false,
       [&](int32_t k, bool down) {
         QUARLE_AUDIO::MidiNoteToKeyboard({21u + static_cast<uint32_t>(k), down ? 100u : 0u, 0, 1});
       }},
  };
  const auto held = [](const KeyboardState* s) {
    int32_t n = 0;
    for (const HeldKey& h : s->HeldKeys) n += h.Voice.Load() >= 0;
    return n;
  };
  ASSERT_GT(OctaveBoardVisibleKeys.Load(), 3);
  for (const auto& src : sources) {
    SCOPED_TRACE(src.what);
    KeyboardState* s = src.board ? OctaveBoardStates[0].Load() : s_;
    ResetKeyboardState(*s, nullptr);
    s->LockFlag.Store(src.locked ? -1 : 0);
    PlaybackActive = -1;
    src.play(1, true);
    ASSERT_EQ(Sounding(s), 1);
    PlaybackActive = src.on ? -1 : 0;
    src.play(1, false);
    EXPECT_EQ(Sounding(s), src.locked ? 1 : 0);
    EXPECT_EQ(held(s), src.locked ? 1 : 0);
    if (src.strip != 0) {
      EXPECT_EQ(C(src.strip)->Text.Selected, -1);
    }
    s->LockFlag.Store(0);
    if (src.on) continue;  // what follows is the output off's
    ASSERT_GE(src.board ? OctaveNoteOn(7, 1.0f) : KeyNoteOn(7, 1.0f, 0), 0);
    SetTextOf(Slot(kUiMB), "");
    src.play(2, true);
    src.play(2, false);
    EXPECT_EQ(Sounding(s), 1);
    EXPECT_EQ(held(s), 1);
    if (src.tells) {
      EXPECT_EQ(Text(Slot(kUiMB)), "Turn audio output ON to activate keyboards.");
    }
  }
  // A leave after the release lets go of nothing: the entry the gesture held
  // may hold another note by then.
  ResetKeyboardState(*s_, nullptr);
  PlaybackActive = -1;
  OnKey(V::kEventPress, 1);
  OnKey(V::kEventClick, 1);
  ASSERT_GE(KeyNoteOn(7, 1.0f, 0), 0);
  offEdge(1, false);
  EXPECT_EQ(Sounding(s_), 1);
}

TEST_F(KeyboardsTest, LockedKeysStayUntilPressedAgain) {
  PlaybackActive = -1;
  s_->LockFlag.Store(-1);
  OnKey(V::kEventPress, 2);
  EXPECT_EQ(C(kb_)->Text.Selected, 2);
  OnKey(V::kEventClick, 2);
  EXPECT_EQ(Sounding(s_), 1);
  OnKey(V::kEventPress, 2);
  OnKey(V::kEventClick, 2);
  EXPECT_EQ(Sounding(s_), 0);
  // Switching the lock off releases every held key.
  OnKey(V::kEventPress, 4);
  OnKey(V::kEventPress, 5);
  ASSERT_EQ(Sounding(s_), 2);
  const int32_t lock = Slot(kUiKBLOCK);
  Click(OnKeyboardLock, lock);
  EXPECT_EQ(s_->LockFlag.Load(), 0);
  EXPECT_EQ(On(lock), 0);
  EXPECT_EQ(Sounding(s_), 0);
}

TEST_F(KeyboardsTest, IslandKeysStartNewNotesAndSlidingGlides) {
  PlaybackActive = -1;
  OnKey(V::kEventPress, 1);
  OnKey(V::kEventDrag, 2);
  OnKey(V::kEventDrag, 3);
  EXPECT_EQ(Used(s_), 3);
  EXPECT_EQ(Sounding(s_), 1);
  OnKey(V::kEventDragRelease, 3);
  EXPECT_EQ(Sounding(s_), 0);

  for (const Shared<KeyboardState*>& s : KeyboardStates) ResetKeyboardState(*s.Load(), nullptr);
  const int32_t ik = Slot(kUiKBIK);
  Click(OnKeyboardIslandKeys, ik);
  EXPECT_EQ(s_->Stamp.Load(), 1);
  EXPECT_EQ(On(ik), 0);
  OnKey(V::kEventPress, 1);
  OnKey(V::kEventDrag, 2);
  OnKey(V::kEventDrag, 3);
  EXPECT_EQ(Used(s_), 1);
  float f = 0.0f;
  for (int32_t v = 0; v < kVoicesUsed; ++v)
    if (s_->Voices[v].State.Load() == kVoiceOn) f = s_->Voices[v].Frequency.Load();
  EXPECT_FLOAT_EQ(f, KeyToFrequency(WrapKeyIndex(3)));
  OnKey(V::kEventDragRelease, 3);
  EXPECT_EQ(Sounding(s_), 0);
}

TEST_F(KeyboardsTest, TopRowKeysWithShiftChangedBeforeTheRelease) {
  PlaybackActive = -1;
  TopRow(3, false, false);  // "2": key 1
  EXPECT_EQ(Sounding(s_), 1);
  TopRow(3, true, true);  // released with Shift held: the octave below is tried
  EXPECT_EQ(Sounding(s_), 0);
  // A key event posted from elsewhere (source not 0) plays nothing.
  V::KeyInput.CounterA = 4;
  V::KeyInput.Word3 = 0;
  OnKeyboard(V::kEventKey, 0, 0, kb_, 99);
  EXPECT_EQ(Sounding(s_), 0);
}

// A press's release ends the note it started (on #2), whatever opened, switched, scrolled,
// was deleted or let go meanwhile, never one another press has started since in its entry.
TEST_F(KeyboardsTest, ANoteEndsAtItsOwnRelease) {
  using platform::KeyPressEvent, platform::KeyReleaseEvent;
  const int32_t kbnum = Named("KBNUM");
  ModuleRecord* first = Make(kTypeKeyboard);
  Make(kTypeKeyboard);
  // "1" typed through the interface's loop, or KB's first key, or BB's second row.
  const auto typed = [](uint32_t bits) {
    bits == V::kEventPress ? Loop({KeyPressEvent(2, '1')})
                           : Loop({KeyReleaseEvent(2, '1'), KeyReleaseEvent(14, 8), KeyReleaseEvent(42, 0)});
  };
  const auto key = [&](uint32_t bits) { OnKey(bits, 0); };
  const auto board = [&](uint32_t bits) {
    V::Pointer.y = C(bb_)->Y + static_cast<int32_t>(1.5 * C(bb_)->H / OctaveBoardVisibleKeys.Load());
    OnOctaveBoard(bits, C(bb_)->X + 1, V::Pointer.y, bb_, 0);
  };
  const struct {
    const char* what;
    std::function<void(uint32_t)> play;  // the press, then the release
    std::function<void()> between;
    int32_t others;  // voices and held keys of the note it leaves on
  } rows[] = {
      {"\"1\" tapped, \"2\" held", key,
       [&] { TopRow(2, false, false), TopRow(2, true, false), TopRow(3, false, false); }, 2},
      {"New, \"2\" held", key, [&] { New(), TopRow(3, false, false); }, 2},
      {"keyboard #2 -> #3, \"2\" held", key, [&] { Right(OnKeyboardNumber, kbnum), TopRow(3, false, false); }, 2},
      {"board: New, another note", board, [] { New(), OctaveNoteOn(5, 1.0f); }, 2},
      {"the value entry opens", typed, [] { OpenDialog(Slot(kUiFAD_PP) + 1, "v =", -1, "1", 1, -1, -1); }, 0},
      {"Rename opens", typed, [] { OpenDialog(Slot(kUiMB), "Rename", -1, "Osc 1", 0, 0, 0); }, 0},
      {"keyboard #2 -> #3", typed, [&] { Right(OnKeyboardNumber, kbnum); }, 0},
      {"the key strip scrolls", typed, [] { Step(OnKeyPositionSelect, Slot(kUiKBPOS), 1); }, 0},
      {"Backspace held, Shift, \"1\" let go first", typed,
       [] { Loop({KeyPressEvent(14, 8), KeyPressEvent(42, 0)}); }, 0},
      {"keyboard #1 deleted", typed, [&] { PlaybackActive = 0, DeleteModule(first), PlaybackActive = -1; }, 0},
  };
  V::SetActiveEditField(V::DefaultKeyTarget);  // the keys go to KB, as after the build
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    New();
    C(kbnum)->Text.Selected = 1;
    CurrentKeyboardIndex.Store(1);
    r.play(V::kEventPress);
    ASSERT_EQ(Sounding(KeyboardStates[1].Load()) + Sounding(OctaveBoardStates[0].Load()), 1);
    r.between();
    r.play(V::kEventClick);
    EXPECT_EQ(HeldAnywhere(), r.others) << "only the other note sounds on";
    TopRow(3, true, false), OctaveNoteOff(-1, 5);  // the other note's own release
    EXPECT_EQ(HeldAnywhere(), 0);
    CloseDialog();
    V::SetActiveEditField(V::DefaultKeyTarget);
  }
}

TEST_F(KeyboardsTest, OctaveBoardPlaysRowsFromItsOctaveWord) {
  PlaybackActive = -1;
  KeyboardState* b = OctaveBoardStates[0].Load();
  b->Octave.Store(5);
  ASSERT_GT(OctaveBoardVisibleKeys.Load(), 2);
  const V::ControlRecord* c = C(bb_);
  V::Pointer.y = c->Y + static_cast<int32_t>(1.5 * c->H / OctaveBoardVisibleKeys.Load());
  OnOctaveBoard(V::kEventPress, c->X + 1, V::Pointer.y, bb_, 0);
  EXPECT_EQ(C(bb_)->Text.Selected, 1);
  EXPECT_EQ(Sounding(b), 1);
  EXPECT_EQ(b->HeldKeys[LastBoardHeld].Key.Load(), 6u);
  OnOctaveBoard(V::kEventClick, c->X + 1, V::Pointer.y, bb_, 0);
  EXPECT_EQ(Sounding(b), 0);
}

TEST_F(KeyboardsTest, NumberAndKeyPositionSelectors) {
  const int32_t kbnum = Named("KBNUM");
  KeyboardStates[3].Load()->LockFlag.Store(-1);
  KeyboardStates[3].Load()->KeyOffset.Store(5);
  C(kbnum)->Text.Selected = 2;
  Right(OnKeyboardNumber, kbnum);
  EXPECT_EQ(CurrentKeyboardIndex.Load(), 3);
  EXPECT_EQ(CurrentKeyboard.load(), nullptr);
  EXPECT_EQ(Text(kbnum), "#4");
  EXPECT_EQ(On(Slot(kUiKBLOCK)), -1);
  EXPECT_EQ(C(Slot(kUiKBPOS))->Text.Selected, 5 + 8 * 12);

  // Key positions: 17 octaves of a 12-key tuning, 0 is 8 octaves down.
  CurrentKeyboardIndex.Store(0);
  const int32_t pos = Slot(kUiKBPOS);
  C(pos)->Text.Selected = 1;
  OnKeyPositionSelect(V::kEventClick, C(pos)->X + 1, C(pos)->Y + 1, pos, 0);
  EXPECT_EQ(s_->KeyOffset.Load(), -96);
  EXPECT_EQ(s_->Octave.Load(), -8);
  OnKeyPositionSelect(V::kEventClick, C(pos)->X + 1, C(pos)->Y + 1, pos, 0);
  EXPECT_EQ(C(pos)->Text.Selected, 203);
  EXPECT_EQ(s_->KeyOffset.Load(), 107);
  EXPECT_EQ(s_->Octave.Load(), 8);

  // The octave board's selector is vertical: a click below the middle steps up.
  const int32_t bbnum = Named("BBNUM");
  OnBoardNumber(V::kEventClick, C(bbnum)->X + 1, C(bbnum)->Y + C(bbnum)->H - 2, bbnum, 0);
  EXPECT_EQ(CurrentOctaveBoardIndex.Load(), 1);
}

// With the typed-value dialog open a played key enters its frequency and
// sounds nothing: key 0 is A0 (27.5 Hz), so key 3 is C1 in equal temperament.
TEST_F(KeyboardsTest, TypedValueDialogTakesTheKeysFrequency) {
  ModuleRecord* m = Make(kTypeOscillator);
  SelectModule(m, 0);
  int32_t hertz = -1;
  for (int32_t p = 0; p < m->ParamCount && hertz < 0; ++p)
    if (m->Params[p].Scale == RateQuarter) hertz = p;
  ASSERT_GE(hertz, 0);
  C(Slot(kUiPLIST))->Text.Selected = hertz;
  const int32_t typed = Slot(kUiFAD_PP) + 1;
  OpenDialog(typed, "Value?", -1, "1", 1, -1, -1);
  SetOnWord(typed, -1);
  OnKey(V::kEventClick, 3);
  const int32_t edit = *V::DialogEditIndex;
  EXPECT_NEAR(std::stod(Text(edit)), 27.5 * std::pow(2.0, 3.0 / 12.0), 1e-3) << Text(edit);
  EXPECT_EQ(QUARLE_AUDIO::KeyEntryMode.load(), -1);
  EXPECT_EQ(Used(s_), 0);
  C(Slot(kUiPLIST))->Text.Selected = -1;  // no parameter: nothing typed
  SetTextOf(edit, "x");
  OnKey(V::kEventClick, 3);
  EXPECT_EQ(Text(edit), "x");
}

TEST_F(KeyboardsTest, HidingTheKeyboardsGivesThePlaneTheRoom) {
  const V::ControlRecord* plane = C(Window(kWinSYNTH));
  const V::ControlRecord* bar = C(Window(kWinSYSBAR));
  const V::ControlRecord* panel = C(Window(kWinPANEL));
  const int32_t top = bar->H + UiUnit;
  LayoutKeyboardPanel(-1);
  EXPECT_EQ(Shown(Window(kWinKBGROUP)), -1);
  const V::ControlRecord* bbg = C(Window(kWinBBGROUP));
  const V::ControlRecord* kbg = C(Window(kWinKBGROUP));
  EXPECT_EQ(plane->X, bbg->W + UiUnit);
  EXPECT_EQ(plane->W, 1920 - bbg->W - UiUnit - panel->W - UiUnit);
  EXPECT_EQ(plane->H, 1080 - top - kbg->H - UiUnit - top);
  const int32_t shb = Slot(kUiSTB_SHB);
  Click(OnToggleKeyboards, shb);
  EXPECT_EQ(On(shb), 0);
  EXPECT_EQ(Shown(Window(kWinKBGROUP)), 0);
  EXPECT_EQ(plane->X, 0);
  EXPECT_EQ(plane->W, 1920 - panel->W - UiUnit);
  EXPECT_EQ(plane->H, 1080 - 2 * top);
  EXPECT_EQ(C(Slot(kUiSCOPE))->W, plane->W);
}

}  // namespace
}  // namespace panelsa
