#include "ui/panels/keyboards.h"

#include <cmath>
#include <string>

#include "app/startup.h"
#include "app/state/console.h"
#include "app/state/settings.h"
#include "audio/midi.h"
#include "basics/messages.h"
#include "engine/globals.h"
#include "engine/keyboard.h"
#include "engine/modulelist.h"
#include "engine/notes.h"
#include "engine/tuning.h"
#include "ui/build/frame.h"
#include "ui/build/groups_b.h"
#include "ui/panels/panel_common.h"
#include "ui/panels/value_editors.h"
#include "visuals/control_table.h"
#include "visuals/event_loop.h"
#include "visuals/layers.h"
#include "visuals/visuals.h"

namespace Tarvelo {

namespace V = QUARLE_VISUALS;

ModuleRecord* CurrentOctaveBoardModule = nullptr;
int32_t LastKeyboardKey = -1;
int32_t LastKeyboardHeld = -1;
int32_t LastBoardKey = -1;
int32_t LastBoardHeld = -1;

namespace {

// The note of the pointer's gesture on KB and on BB, from its press to its
// release; LastKeyboardHeld and LastBoardHeld name their entries.
// one thread: interface
HeldNote KeyboardGestureNote;
HeldNote BoardGestureNote;
// The note each top-row key's press started, for its own release to end.
// one thread: interface
HeldNote TypedNotes[kPlayedTopRowKeys];

// one thread: interface
int32_t KeyboardNumberAccumulator = 0;
int32_t BoardNumberAccumulator = 0;
int32_t KeyPositionAccumulator = 0;

constexpr float kVelocity = 1.0f;

int32_t NotesPerOctave() {
  platform::MutexGuard guard(MT_TUNINGS[kActiveTuning]);
  const int32_t n = TuningGetNoteCount(ActiveTuning);
  return n > 0 ? n : 1;
}

int32_t BankIndex(int32_t index) { return index >= 0 && index < kKeyboardBankSize ? index : -1; }

KeyboardState* CurrentKeyboardState() {
  const int32_t i = BankIndex(CurrentKeyboardIndex.Load());
  return i < 0 ? nullptr : KeyboardStates[i].Load();
}

KeyboardState* CurrentBoardState() {
  const int32_t i = BankIndex(CurrentOctaveBoardIndex.Load());
  return i < 0 ? nullptr : OctaveBoardStates[i].Load();
}

bool Locked(const KeyboardState* s) { return s && s->LockFlag.Load() != 0; }

bool ShownOnScreen(int32_t id) {
  for (int32_t guard = 0; guard < 64 && id >= 0; ++guard) {
    const ControlRecord* c = PanelCtl(id);
    if (!c || !V::ControlVisible(c)) return false;
    if (id == 0 || c->Parent == id) return true;
    id = c->Parent;
  }
  return false;
}

// -1 while the typed-value dialog of the parameter page is open: played keys
// then enter frequencies instead of sounding.
int64_t RefreshKeyEntryMode() {
  const int32_t edit = V::DialogEditIndex ? *V::DialogEditIndex : 0;
  const int32_t typed = SlotId(kUiFAD_PP) > 0 ? SlotId(kUiFAD_PP) + 1 : 0;
  const ControlRecord* t = PanelCtl(typed);
  const int64_t mode = edit > 0 && ShownOnScreen(edit) && t && t->State.On == -1 ? -1 : 0;
  QUARLE_AUDIO::KeyEntryMode.store(mode);
  return mode;
}

bool AudioOff() { return PlaybackActive.load() == 0; }

// The key index under the pointer along a strip of `count` keys; -1 outside.
int32_t KeyUnder(int32_t position, int32_t origin, int32_t extent, int32_t count) {
  if (extent <= 0 || count <= 0) return -1;
  const int32_t k =
      static_cast<int32_t>(std::floor(static_cast<double>(position - origin) / extent * count));
  return k < -1 || k >= count ? -1 : k;
}

// One gesture's note calls, for the keyboard or the octave board.
// one thread: value
struct NoteCalls {
  HeldNote (*on)(int32_t key);
  int32_t (*off)(int32_t key);  // whatever entry holds the key
};

HeldNote KeyboardOn(int32_t key) { return KeyNoteOnHeld(key, kVelocity); }
int32_t KeyboardOff(int32_t key) { return KeyNoteOff(-1, key, 0); }
HeldNote BoardOn(int32_t key) { return OctaveNoteOnHeld(key, kVelocity); }
int32_t BoardOff(int32_t key) { return OctaveNoteOff(-1, key); }

// A pointer gesture's own note: its release ends the note its press (or its
// last island-key move) started, in the state that plays it, and never the
// note another press has started since in the same entry.
// one thread: value
struct Gesture {
  int32_t& lastKey;
  int32_t& lastHeld;  // the entry of note, for the panel's readers
  HeldNote& note;
};

void GestureNote(uint32_t bits, ControlRecord* strip, int32_t k, int32_t key, KeyboardState* s,
                 const Gesture& g, const NoteCalls& calls) {
  if (strip) strip->Text.Selected = -1;
  if (bits & V::kEventPress) {
    g.lastKey = key;
    g.note = HeldNote{};
    // On a locked board pressing a sounding key only releases it.
    if (calls.off(key) == 0 || !Locked(s)) g.note = calls.on(key);
    if (g.note.state && strip) strip->Text.Selected = k;
  } else if (bits & V::kEventDrag) {
    if (key != g.lastKey) {
      if (!s || s->Stamp.Load() == 0) {
        if (g.lastKey >= 0) NoteOffHeld(g.note, LockedNote::kRelease);
        g.note = calls.on(key);
      } else {
        NoteSlideHeld(g.note, key, kVelocity);
      }
    }
    g.lastKey = key;
    if (strip) strip->Text.Selected = k;
  } else if (bits & V::kEventClick) {
    NoteOffHeld(g.note, LockedNote::kKeep);
  } else if (bits & V::kEventDragRelease) {
    NoteOffHeld(g.note, LockedNote::kDropDuplicate);
  }
  g.lastHeld = g.note.entry;
}

// A gesture released beyond the keys still ends its note (unless the board
// is locked), or the note would sound on with no key left to release it. A
// press released off the strip before it became a drag reaches the strip
// only as a leave once the button is up: that ends it too.
void ReleaseBeyondKeys(uint32_t bits, ControlRecord* strip, const Gesture& g) {
  const bool released = (bits & (V::kEventClick | V::kEventDragRelease)) != 0 ||
                        (bits == V::kEventLeave && !V::Pointer.held && V::Pointer.pressed == strip->Id);
  if (!released || !g.note.state) return;
  strip->Text.Selected = -1;
  NoteOffHeld(g.note, LockedNote::kKeep);
  g.lastHeld = -1;
}

const NoteCalls kKeyboardCalls{KeyboardOn, KeyboardOff};
const NoteCalls kBoardCalls{BoardOn, BoardOff};
const Gesture kKeyboardGesture{LastKeyboardKey, LastKeyboardHeld, KeyboardGestureNote};
const Gesture kBoardGesture{LastBoardKey, LastBoardHeld, BoardGestureNote};

int32_t BoardKey(int32_t row) {
  const KeyboardState* s = CurrentBoardState();
  return row + (s ? s->Octave.Load() : 0);
}

// The first listed module of a type with an instance number.
ModuleRecord* FindInstance(int32_t type, int32_t instance) {
  platform::MutexGuard guard(ModuleList.lock);
  for (int32_t i = 0; i < ModuleList.count; ++i) {
    ModuleRecord* m = ModuleList.entries ? ModuleList.entries[i] : nullptr;
    if (m && m->Type == type && m->InstanceNumber.Load() == instance) return m;
  }
  return nullptr;
}

void SwitchLook(int32_t id, int64_t on) {
  if (ControlRecord* c = PanelCtl(id)) {
    c->State.On = on;
    c->Text.Changed = -1;
  }
}

// The key under the pointer along a key strip (position against the strip's
// origin and extent), marked on the strip; -1 when the event goes no further:
// no button held, no key there, or the keyboards off while audio is off. Off,
// a press starts no note (and forgets the last gesture's, so its release lets
// go of nothing), but the release of a note started before the output went
// off still ends it: it would sound, and show held, once the output is on.
int32_t MarkStripKey(uint32_t bits, ControlRecord* c, int64_t entry, int32_t position, int32_t origin,
                     int32_t extent, int32_t count, const Gesture& g) {
  if (bits == 0) {
    c->Text.Mark = -1;
    return -1;
  }
  const int32_t k = KeyUnder(position, origin, extent, count);
  c->Text.Mark = k;
  if (AudioOff() && entry == 0) {
    if (bits == V::kEventPress) {
      ShowKeyboardsOff();
      g.lastKey = g.lastHeld = -1;
      g.note = HeldNote{};
    }
    const bool release = (bits & (V::kEventClick | V::kEventDragRelease)) != 0;
    return release && g.note.state ? k : -1;
  }
  return k;
}

}  // namespace

void ResetKeyboardPanelStatics() {
  LastKeyboardKey = LastKeyboardHeld = LastBoardKey = LastBoardHeld = -1;
  KeyboardGestureNote = BoardGestureNote = HeldNote{};
  for (HeldNote& note : TypedNotes) note = HeldNote{};
  KeyboardNumberAccumulator = BoardNumberAccumulator = KeyPositionAccumulator = 0;
  CurrentOctaveBoardModule = nullptr;
}

void ShowKeyboardsOff() {
  std::string text = QUARLE_BASICS::DynZStringGet(KeyboardsOffText);
  if (text.empty()) text = QUARLE_BASICS::LangText(116, "Turn audio output ON to activate keyboards.");
  SetStatusText(text);
}

void VirtualKeyNote(uint32_t bits, int32_t kb, int32_t k) {
  const int32_t key = WrapKeyIndex(k);
  GestureNote(bits, PanelCtl(kb), k, key, CurrentKeyboardState(), kKeyboardGesture, kKeyboardCalls);
}

void OctaveBoardNote(uint32_t bits, int32_t bb, int32_t k) {
  GestureNote(bits, PanelCtl(bb), k, BoardKey(k), CurrentBoardState(), kBoardGesture, kBoardCalls);
}

void PlayTypedKey() {
  const int32_t i0 = static_cast<int32_t>(V::KeyScanCode()) - static_cast<int32_t>(kFirstPlayedScanCode);
  if (i0 < 0 || i0 >= kPlayedTopRowKeys) return;
  HeldNote& note = TypedNotes[i0];
  if (V::KeyReleased() != 0) {
    // The release ends the note its own press started, whatever keyboard,
    // key position or Shift there is now (the output off too: it would
    // sound once the output is on); a locked keyboard keeps it.
    NoteOffHeld(note, LockedNote::kKeep);
    return;
  }
  if (AudioOff() && QUARLE_AUDIO::KeyEntryMode.load() == 0) {
    ShowKeyboardsOff();
    return;
  }
  const int32_t i = V::KeyShift() != 0 ? i0 + NotesPerOctave() : i0;
  const int32_t key = WrapKeyIndex(i);
  note = HeldNote{};
  if (KeyNoteOff(-1, key, 0) == 0 || !Locked(CurrentKeyboardState())) note = KeyNoteOnHeld(key, kVelocity);
}

namespace {

// What the keyboard and the octave board each bring to a pointer event.
// one thread: value
struct Strip {
  const Gesture& gesture;
  void (*note)(uint32_t bits, int32_t id, int32_t k);
  void (*enter)(int32_t k);  // types the frequency of the key under k
};

void StripEvent(uint32_t bits, int32_t id, ControlRecord* c, int64_t entry, int32_t position,
                int32_t origin, int32_t extent, int32_t count, const Strip& strip) {
  const int32_t k = MarkStripKey(bits, c, entry, position, origin, extent, count, strip.gesture);
  if (k < 0) {
    if (entry == 0) ReleaseBeyondKeys(bits, c, strip.gesture);
  } else if (entry == 0) {
    strip.note(bits, id, k);
  } else if (bits & (V::kEventDragRelease | V::kEventClick)) {
    strip.enter(k);
  }
}

}  // namespace

int32_t OnKeyboard(uint32_t bits, int32_t, int32_t, int32_t id, int32_t source) {
  PressedLook(id, bits);
  const int64_t entry = RefreshKeyEntryMode();
  ControlRecord* c = PanelCtl(id);
  if (!c) return 0;
  if (bits & V::kEventKey) {
    if (source == 0) PlayTypedKey();
    return 0;
  }
  // Drags carry a movement: the key is always read from the pointer itself.
  static const Strip keys{kKeyboardGesture, VirtualKeyNote,
                          [](int32_t k) { EnterKeyFrequency(WrapKeyIndex(k), 0); }};
  StripEvent(bits, id, c, entry, V::Pointer.x, c->X, c->W, KeyboardVisibleKeys, keys);
  return 0;
}

int32_t OnOctaveBoard(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  PressedLook(id, bits);
  const int64_t entry = RefreshKeyEntryMode();
  ControlRecord* c = PanelCtl(id);
  if (!c) return 0;
  static const Strip rows{kBoardGesture, OctaveBoardNote,
                          [](int32_t k) { EnterKeyFrequency(BoardKey(k), -1); }};
  StripEvent(bits, id, c, entry, V::Pointer.y, c->Y, c->H, OctaveBoardVisibleKeys.Load(), rows);
  return 0;
}

int32_t OnKeyboardNumber(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t) {
  PressedLook(id, bits);
  ControlRecord* c = PanelCtl(id);
  if (!c || !SelectorEvent(bits, x, y, id, kKeyboardBankSize, KeyboardNumberAccumulator)) return 0;
  const int32_t value = c->Text.Selected;
  V::TextFieldSetText(&c->Text, ("#" + std::to_string(value + 1)).c_str());
  if (value == CurrentKeyboardIndex.Load()) return 0;
  CurrentKeyboard.store(FindInstance(kTypeKeyboard, value + 1));
  CurrentKeyboardIndex.Store(value);
  const KeyboardState* s = CurrentKeyboardState();
  if (s) {
    SetOnWord(SlotId(kUiKBLOCK), s->LockFlag.Load());
    if (ControlRecord* pos = SlotCtl(kUiKBPOS)) {
      pos->Text.Selected = s->KeyOffset.Load() + 8 * NotesPerOctave();
      V::ControlPublishText(pos, -1);
    }
  }
  PublishText(SlotId(kUiKB), -1);
  return 0;
}

int32_t OnBoardNumber(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t) {
  PressedLook(id, bits);
  ControlRecord* c = PanelCtl(id);
  if (!c || !SelectorEvent(bits, x, y, id, kKeyboardBankSize, BoardNumberAccumulator, true)) return 0;
  const int32_t value = c->Text.Selected;
  V::TextFieldSetText(&c->Text, ("#" + std::to_string(value + 1)).c_str());
  if (value == CurrentOctaveBoardIndex.Load()) return 0;
  CurrentOctaveBoardModule = FindInstance(kTypeOctaveBoard, value + 1);
  CurrentOctaveBoardIndex.Store(value);
  if (const KeyboardState* s = CurrentBoardState()) SetOnWord(SlotId(kUiBBLOCK), s->LockFlag.Load());
  LayOutOctaveBoard();
  PublishText(SlotId(kUiBB), -1);
  return 0;
}

int32_t OnKeyPositionSelect(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t) {
  PressedLook(id, bits);
  ControlRecord* c = PanelCtl(id);
  const int32_t n = NotesPerOctave();
  if (!c || !SelectorEvent(bits, x, y, id, 17 * n, KeyPositionAccumulator)) return 0;
  if (KeyboardState* s = CurrentKeyboardState()) {
    const int32_t offset = c->Text.Selected - 8 * n;
    s->KeyOffset.Store(offset);
    s->Octave.Store(offset / n);
  }
  PublishText(SlotId(kUiKB), -1);
  c->Text.Changed = -1;
  return 0;
}

namespace {

int32_t LockSwitch(uint32_t bits, int32_t id, KeyboardState* s, platform::Mutex* voices,
                   platform::Mutex* keys) {
  ToggleLook(id, bits);
  ControlRecord* c = PanelCtl(id);
  if (!(bits & (V::kEventDragRelease | V::kEventClick)) || !s || !c) return 0;
  platform::MutexGuard guard(voices);
  const int32_t lock = s->LockFlag.Load() != 0 ? 0 : -1;
  s->LockFlag.Store(lock);
  c->State.On = lock;
  if (lock == 0) ReleaseHeldKeys(*s, keys);
  return 0;
}

int32_t IslandKeys(uint32_t bits, int32_t id, KeyboardState* s) {
  PressedLook(id, bits);
  ControlRecord* c = PanelCtl(id);
  if (!(bits & (V::kEventDragRelease | V::kEventClick)) || !c) return 0;
  const int32_t slide = c->Text.Selected == 0 ? 1 : 0;
  c->Text.Selected = slide;
  if (s) s->Stamp.Store(slide);
  SwitchLook(id, slide == 0 ? -1 : 0);
  return 0;
}

}  // namespace

int32_t OnKeyboardLock(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  const int32_t i = BankIndex(CurrentKeyboardIndex.Load());
  if (i < 0) return ToggleLook(id, bits), 0;
  return LockSwitch(bits, id, KeyboardStates[i].Load(), KeyboardVoiceLocks[i], KeyboardKeyLocks[i]);
}

int32_t OnBoardLock(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  const int32_t i = BankIndex(CurrentOctaveBoardIndex.Load());
  if (i < 0) return ToggleLook(id, bits), 0;
  return LockSwitch(bits, id, OctaveBoardStates[i].Load(), OctaveBoardVoiceLocks[i], OctaveBoardKeyLocks[i]);
}

int32_t OnKeyboardIslandKeys(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  return IslandKeys(bits, id, CurrentKeyboardState());
}

int32_t OnBoardIslandKeys(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  return IslandKeys(bits, id, CurrentBoardState());
}

int32_t OnToggleKeyboards(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  if (ToggleLook(id, bits)) LayoutKeyboardPanel(PanelCtl(id)->State.On);
  return 0;
}

void LayoutKeyboardPanel(int64_t show) {
  const int32_t u = UiUnit;
  ControlRecord* bb = WindowCtl(kWinBBGROUP);
  ControlRecord* kb = WindowCtl(kWinKBGROUP);
  const int64_t visible = show != 0 ? -1 : 0;
  if (bb) V::ControlSetVisible(bb, visible);
  if (kb) V::ControlSetVisible(kb, visible);
  const ControlRecord* bar = WindowCtl(kWinSYSBAR);
  const int32_t top = (bar ? bar->H : 0) + u;
  const int32_t left = visible && bb ? bb->W + u : 0;
  int64_t width = V::ScreenWidth;
  int64_t height = V::ScreenHeight - top;
  if (bb && V::ControlVisible(bb)) width -= bb->W + u;
  if (kb && V::ControlVisible(kb)) height -= kb->H + u;
  if (const ControlRecord* panel = WindowCtl(kWinPANEL); panel && V::ControlVisible(panel))
    width -= panel->W + u;
  if (MonitorsSpanned < 2) height -= top;
  for (int32_t id : {WindowIdOf(kWinSYNTH), SlotId(kUiSCOPE)}) {
    ControlRecord* c = id > 0 ? PanelCtl(id) : nullptr;
    if (!c) continue;
    V::ControlSetX(c, left);
    V::ControlSetW(c, static_cast<int32_t>(width));
    V::ControlSetH(c, static_cast<int32_t>(height));
    V::UpdateControl(id, 0);
  }
  CablesDirty.store(-1);
}

void EnterKeyFrequency(int32_t key, int32_t board) {
  const ControlRecord* list = SlotCtl(kUiPLIST);
  const ModuleRecord* m = SelectedModule;
  const int32_t p = list ? list->Text.Selected : -1;
  if (!m || p < 0 || p >= m->ParamCount || p >= kModuleParams) return;
  const float highest = RateQuarter;
  const float f = board == 0 ? KeyToFrequency(key) : OctaveKeyToFrequency(key);
  float number = f;
  const ModuleParam& param = m->Params[p];
  if (param.Scale != highest) {
    number = highest != 0.0f ? f / highest : 0.0f;
    if (QUARLE_BASICS::DynZStringGet(param.Label) == "A") number -= m->Params[0].Value.Load();
  }
  const int32_t edit = V::DialogEditIndex ? *V::DialogEditIndex : 0;
  if (edit > 0) V::StartTextEdit(edit, DecimalTextOf(number));
}

}  // namespace Tarvelo
