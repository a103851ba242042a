#include "visuals/event_loop.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "app/fixed_tables.h"
#include "basics/errors.h"
#include "basics/messages.h"
#include "platform/charset.h"
#include "platform/events.h"
#include "platform/joystick.h"
#include "platform/paths.h"
#include "platform/threads.h"
#include "visuals/control_table.h"
#include "visuals/focus.h"
#include "visuals/list_range.h"
#include "visuals/video_thread.h"
#include "visuals/visuals.h"

namespace QUARLE_VISUALS {

using QUARLE_BASICS::CommandMessage;

SelectorState KeyInput;
int32_t DefaultKeyTarget = 0;
int32_t CloseRequestTarget = 0;
int32_t KeyShortcutTable[kKeyShortcutCount] = {};
TextField HoverText;
int64_t GamepadRedetect = -1;
int64_t TabFocusKeys = -1;
int64_t CpuSaving = -1;
std::atomic<int32_t> LoopRate{0};
platform::LoopMeter ControlLoopMeter;
SystemMessageHandlerFn SystemMessageHandler = DefaultSystemMessageHandler;

int32_t DefaultSystemMessageHandler(CommandMessage* /*message*/) { return 0; }

namespace {

std::atomic<GuiClockFn> g_clock{nullptr};
// one thread: interface
double g_lastFocusKey = 0.0;
// The loop ended its press for a release the window never got: the window's
// own release, should it come after all, is no second click.
// one thread: interface
bool g_releaseTaken = false;

// The control that took a key's press and takes its releases, by its slot
// and serial: the key's release goes back to it, whatever takes the keys by
// then (a question's edit line opened meanwhile), and never to a control
// made later in its slot.
// one thread: value
struct KeyTaker {
  int32_t id = 0;
  uint64_t serial = 0;
};
constexpr uint32_t kScanCodes = 256;
// one thread: interface
KeyTaker g_keyTakers[kScanCodes];

// Tooltips a draw found: those not yet set, under MT_HOVER; and the last text
// posted for each control, the drawing thread's own. Each names its control by
// slot and serial, so that neither reaches a control made later in the slot.
// one thread: value
struct FoundTooltip {
  int32_t id = 0;
  uint64_t serial = 0;
  std::string text;
};
// one thread: holder of MT_HOVER
std::vector<FoundTooltip> g_foundTooltips;
// one thread: video, the drawing thread's own
std::unordered_map<int32_t, FoundTooltip> g_postedTooltips;

constexpr float kDragThreshold = 5.0f;
constexpr double kCpuSavingPass = 0.00033;
// The CPU-saving nap the loop takes where it cannot wait for its work.
constexpr double kCpuSavingNap = 0.001;
constexpr double kGamepadPollPeriod = static_cast<double>(0.01f);
// The four dead-key accents in the program's code page: ^ ¨ ` ~.
constexpr char kAccents[] = "^\xA8`~";
constexpr uint32_t kScanControl = 29;
constexpr uint32_t kScanInsert = 82;
constexpr uint32_t kScanLeftShift = 42;
constexpr uint32_t kScanRightShift = 54;
// Print Screen; the keypad's '*' shares the scan code but types its character.
constexpr int32_t kKeyPrintScreen = 256 + 55;

// A timer difference, corrected for the seconds timer passing midnight.
double Elapsed(double from, double to) {
  double d = to - from;
  if (d < -1.0) d += 86400.0;
  return d < 0.0 ? 0.0 : d;
}

int32_t RoundToInt(double v) { return static_cast<int32_t>(std::nearbyint(v)); }

// A control the loop may touch: in the table, and neither it nor a control
// above it waiting for the purge (the video thread destroys those between
// frames).
ControlRecord* Live(int32_t id) { return ControlLive(id); }

// Is `held` the control `top` or below it?
bool Within(int32_t held, int32_t top) {
  const ControlRecord* c = held > 0 ? ControlAt(held) : nullptr;
  for (int32_t steps = 0, limit = ControlTableCount() + 1; c && steps <= limit; ++steps) {
    if (c->Id == top) return true;
    if (c->Parent == c->Id) return false;
    c = ControlAt(c->Parent);
  }
  return false;
}

bool Enabled(const ControlRecord* c) { return !IsDisabled(&c->State); }
bool Shown(const ControlRecord* c) { return c->Visible != 0; }

void ReportCallbackError(const char* prefix, int32_t r) {
  QUARLE_BASICS::Report(std::string(prefix) + QUARLE_BASICS::ErrorText(r),
                        QUARLE_BASICS::kLevelError);
}

bool QueueZeroHasWork() { return QUARLE_BASICS::CommandQueuePending(0) > 0; }

// The CPU-saving sleep of a pass that found nothing to do: instead of napping
// a millisecond at a time, the loop sleeps until a window event or a message on
// queue 0 arrives (a post wakes it), or until its next timed duty is due.
void WaitForInterfaceWork(double seconds) {
  // A clock of the tests' own runs at another pace than the wait's: nap as the
  // polling loop did.
  if (g_clock.load()) seconds = std::min(seconds, kCpuSavingNap);
  // Asleep for lack of work: the loop rate counts this as the naps it replaces.
  platform::LoopRest rest(ControlLoopMeter);
  platform::WindowEventWait(std::max(seconds, 0.0), QueueZeroHasWork);
}

// The tooltip is the interface thread's own (draws post theirs): read without
// the lock, which guards the hover text the video thread draws.
void SetHoverText(const ControlRecord* c, bool onlyWhenDifferent) {
  const std::string tip = QUARLE_BASICS::DynZStringGet(c->Tooltip);
  platform::MutexGuard g(MT_HOVER);
  if (onlyWhenDifferent && tip == TextFieldGetText(&HoverText)) return;
  TextFieldSetText(&HoverText, tip.c_str());
}

// What one window event leads to.
// one thread: value
struct Derived {
  uint32_t bits = 0;
  int32_t target = 0;
  int32_t x = 0, y = 0;
  int32_t source = 0;
  int32_t leave = 0;
};

void PostClick(int32_t id, int32_t source = 0) {
  CommandMessage m{};
  m.type = QUARLE_BASICS::kCommandControlEvent;
  m.arg1 = static_cast<uint32_t>(source);
  m.arg2 = static_cast<uint32_t>(id);
  m.arg5 = kEventClick;
  m.timeStamp = GuiTimer();
  QUARLE_BASICS::PostCommand(m, 0, 0);
}

bool IsArrow(int32_t code) {
  return code == kKeyUp || code == kKeyLeft || code == kKeyRight || code == kKeyDown;
}

int32_t ShortcutOf(int32_t code) {
  return (code > 0 && code < kKeyShortcutCount) ? KeyShortcutTable[code] : 0;
}

void StoreKeyCodes(const platform::WindowEvent& e) {
  KeyInput.CounterA = e.scanCode;
  KeyInput.CounterB = e.ascii;
  KeyInput.Words2[1] = e.ascii > 31 || e.unicode != 0 ? -1 : 0;
  const uint32_t base = e.ascii == 0 ? 256u : 0u;
  KeyInput.Spare[1] = base;
  KeyInput.Spare[2] = base == 256u ? e.scanCode : e.ascii;
}

void RecomputeShift() { KeyInput.Words[0] = KeyInput.Words[1] | KeyInput.Words[2]; }

// The Ctrl key, by its character code 29 or by its scan code.
bool IsControlKey() {
  return KeyCode() == 29 || (KeyInput.Spare[1] == 256u && KeyInput.CounterA == kScanControl);
}

// Whole characters only, as many as the field holds before its terminator:
// a character that is none (its bytes' forms) may not fit, and is never cut
// inside a form.
void SetTyped(const std::string& text) {
  std::memset(KeyInput.Text, 0, sizeof KeyInput.Text);
  const size_t fits = platform::WholeCharactersWithin(text, sizeof KeyInput.Text - 1);
  std::memcpy(KeyInput.Text, text.data(), fits);
}

// Dead keys: an accent key arms an accent; the next letter takes its accented
// form from the accent rows, anything else is typed after the accent itself.
// `form`: the escape form of a typed character the code page lacks.
void Compose(const std::string& form) {
  const bool printable = KeyInput.Words2[1] != 0;
  const char ch = static_cast<char>(KeyInput.CounterB);
  if (printable) SetTyped(form.empty() ? std::string(1, ch) : form);
  int32_t& pending = reinterpret_cast<int32_t&>(KeyInput.Spare[0]);
  if (KeyInput.Spare[1] == 256u && !printable) {
    int32_t accent = 0;
    if (KeyInput.Spare[2] == 26u)
      accent = KeyInput.Words[0] ? 2 : (KeyInput.Words[4] ? 3 : 1);
    else if (KeyInput.Spare[2] == 27u)
      accent = 4;
    if (accent != 0) {
      KeyInput.Text2[0] = kAccents[accent - 1];
      KeyInput.Text2[1] = 0;
      if (pending != accent) {
        pending = accent;
      } else {
        const char t[2] = {KeyInput.Text2[0], 0};
        SetTyped(t);
        KeyInput.Text2[0] = 0;
        pending = 0;
      }
    }
  } else if (pending != 0) {
    if (printable) {
      const char* row0 = Tarvelo::AccentRows[0];
      const void* at = form.empty() ? std::memchr(row0, ch, sizeof Tarvelo::AccentRows[0]) : nullptr;
      char accented = 0;
      if (at && pending >= 1 && pending <= 4) {
        const size_t p = static_cast<size_t>(static_cast<const char*>(at) - row0);
        const char a = Tarvelo::AccentRows[pending][p];
        if (a != ' ' && a != 0) accented = a;
      }
      if (accented) {
        const char t[2] = {accented, 0};
        SetTyped(t);
      } else {
        SetTyped(KeyInput.Text2[0] + (form.empty() ? std::string(1, ch) : form));
      }
    } else {
      const char t[2] = {KeyInput.Text2[0], 0};
      SetTyped(t);
    }
    KeyInput.Text2[0] = 0;
    pending = 0;
  }
  KeyInput.Words2[1] = KeyInput.Text[0] != 0 ? -1 : 0;
}

bool FieldTakes(const ControlRecord* field, bool arrow) {
  return !arrow || field->EditArrows != 0;
}

void KeyPress(const platform::WindowEvent& e, Derived& d) {
  StoreKeyCodes(e);
  KeyInput.Word3 = 0;
  SetTyped("");
  const int32_t code = KeyCode();
  // The key users expect to take a picture of the screen asks the video
  // thread for a snapshot after its next frame.
  if (code == kKeyPrintScreen) SnapshotRequest = -1;
  const double now = GuiTimer();

  if (code == kKeyTab && TabFocusKeys) {
    if (!(FocusMode.load() & 1u))
      FocusMode.fetch_or(1u);
    else
      FocusedControl = FocusNext();
    g_lastFocusKey = now;
  } else if (code == kKeyEnter && (FocusMode.load() & 1u)) {
    PostClick(FocusedControl.load());
    g_lastFocusKey = now;
  } else {
    const bool arrow = IsArrow(code);
    const int32_t shortcut = ShortcutOf(code);
    const int32_t fieldId = ActiveEditField();
    if (fieldId == DefaultKeyTarget && shortcut > 0) {
      const ControlRecord* s = shortcut < ControlTableCount() ? Live(shortcut) : nullptr;
      const ControlRecord* w = s ? Live(WindowOfControl(shortcut)) : nullptr;
      if (s && Enabled(s) && Shown(s) && w && Enabled(w) && Shown(w)) {
        d.target = shortcut;
        d.bits = (s->EventMask & kEventKey) ? kEventKey : kEventClick;
      }
    } else if (fieldId >= 1 && Live(fieldId) && FieldTakes(Live(fieldId), arrow)) {
      const ControlRecord* f = Live(fieldId);
      if (Enabled(f) && Shown(f)) {
        // A character the code page lacks enters every field in its escape
        // form: lossless, read back at the disk's edge, and what lists show.
        std::string utf8;
        if (e.unicode != 0) platform::AppendUtf8(utf8, e.unicode);
        Compose(platform::TypedText(utf8));
        if (KeyInput.Spare[2] > 0 || KeyInput.Text[0] != 0) {
          d.target = fieldId;
          d.bits = kEventKey;
        }
      }
    } else if (FocusedControl.load() >= 1 && arrow) {
      const ControlRecord* f = Live(FocusedControl.load());
      if (f && f->EditArrows == -1) {
        d.target = FocusedControl.load();
        d.bits = kEventKey;
      }
    }
  }

  if (e.scanCode < kScanCodes) {
    const ControlRecord* t = d.bits == kEventKey && d.target > 0 ? Live(d.target) : nullptr;
    g_keyTakers[e.scanCode] = t && t->Text.KeyReleases == -1 ? KeyTaker{d.target, t->Serial} : KeyTaker{};
  }

  if (IsControlKey()) KeyInput.Words[4] = -1;
  if (e.scanCode == kScanInsert && KeyInput.Text[0] == 0) KeyInput.Words2[0] = ~KeyInput.Words2[0];
  if (e.scanCode == kScanLeftShift) KeyInput.Words[1] = -1;
  if (e.scanCode == kScanRightShift) KeyInput.Words[2] = -1;
  RecomputeShift();
}

void KeyRelease(const platform::WindowEvent& e, Derived& d) {
  StoreKeyCodes(e);
  KeyInput.Word3 = -1;
  const int32_t code = KeyCode();
  const int32_t fieldId = ActiveEditField();
  const bool swallowed = code == kKeyTab || (code == kKeyEnter && (FocusMode.load() & 1u)) ||
                         (ShortcutOf(code) > 0 && fieldId == DefaultKeyTarget);
  KeyTaker taker;
  if (e.scanCode < kScanCodes) std::swap(taker, g_keyTakers[e.scanCode]);
  const ControlRecord* pressTaker = taker.id > 0 ? Live(taker.id) : nullptr;
  if (pressTaker && pressTaker->Serial == taker.serial) {
    d.target = taker.id;
    d.bits = kEventKey;
  } else if (!swallowed && fieldId >= 1) {
    const ControlRecord* f = Live(fieldId);
    if (f && FieldTakes(f, IsArrow(code)) && f->Text.KeyReleases == -1 && Enabled(f) &&
        Shown(f)) {
      d.target = fieldId;
      d.bits = kEventKey;
    }
  }
  if (IsControlKey()) KeyInput.Words[4] = 0;
  if (e.scanCode == kScanLeftShift) KeyInput.Words[1] = 0;
  if (e.scanCode == kScanRightShift) KeyInput.Words[2] = 0;
  RecomputeShift();
}

// Calls a control's event procedure as the loop delivers events. The hover
// mark (Active) follows the pointer only: a control a key reached keeps the
// look it had, for no leave call would ever take a mark back.
void Deliver(const Derived& d, bool byPointer) {
  const int32_t t = d.target;
  if (t <= 0 || t >= ControlTableCount()) return;
  ControlRecord* c = Live(t);
  if (!c || !Enabled(c) || (d.bits & static_cast<uint32_t>(c->EventMask)) == 0) return;
  if (byPointer) c->State.Active = -1;
  c->Dragged = d.bits == kEventDrag ? -1 : 0;
  if (const EventCallbackFn fn = c->EventCallback) {
    const int32_t r = fn(d.bits, d.x, d.y, t, d.source);
    UpdateControl(t, 0);
    if (r != 0) ReportCallbackError("CTRL FCT CALL 1: ", r);
  }
}

void DeliverLeave(int32_t id) {
  ControlRecord* c = Live(id);
  if (!c) return;
  if (Enabled(c)) {
    c->State.Active = 0;
    if (const EventCallbackFn fn = c->EventCallback) {
      const int32_t r = fn(kEventLeave, Pointer.x, Pointer.y, id, 0);
      UpdateControl(id, 0);
      if (r != 0) ReportCallbackError("CTRL FCT CALL 2: ", r);
    }
  }
  // Looked up again: the callback may have flagged it for deletion.
  if (ControlRecord* k = Live(id)) {
    k->Dragged = 0;
    k->DragOver = 0;
  }
}

// Steps 4 to 8 of a window event: hit test, derivation, delivery, leave call.
void Dispatch(Derived d) {
  PointerState& p = Pointer;
  const bool keyChosen = d.target != 0;
  if (d.bits != 0 && !keyChosen) {
    p.hit = ControlHitTest(p.x, p.y, 0);
    // A drag belongs to the control pressed, wherever its first move went
    // (off every control, out of the window).
    const bool pressedDrag = d.bits == kEventDrag && p.pressed >= 1;
    if (p.hit < 1 && !p.dragging && !p.dragOver && !pressedDrag) {
      // A press on the bare background presses nothing: no later drag or
      // release may go to a control pressed before.
      if (d.bits == kEventPress) p.pressed = 0;
      d.bits = 0;
    }
  } else if (keyChosen) {
    p.hit = d.target;
  }

  ControlRecord* hit = Live(p.hit);
  switch (d.bits) {
    case kEventHover:
      if (hit) SetHoverText(hit, false);
      d.target = p.hit;
      d.x = p.x;
      d.y = p.y;
      if (p.hit != p.lastTarget) d.leave = p.lastTarget;
      break;
    case kEventPress:
      d.target = p.hit;
      d.x = p.x;
      d.y = p.y;
      p.pressed = p.hit;
      if (hit) {
        hit->PressX = p.x;
        hit->PressY = p.y;
        hit->DragOver = 0;
        hit->Dragged = 0;
        if (hit->Focusable == -1) SetFocusControl(p.hit);
      }
      p.dragging = 0;
      p.dragOver = 0;
      break;
    case kEventClick:
      if (keyChosen) break;
      {
        d.x = p.x;
        d.y = p.y;
        ControlRecord* pressed = Live(p.pressed);
        ControlRecord* last = Live(p.lastTarget);
        if (p.hit == p.pressed) {
          d.target = p.hit;
          if (pressed && pressed->Dragged) d.bits = kEventDragRelease;
        } else if (!(last && last->DragOver)) {
          if (pressed && pressed->Dragged) {
            d.bits = kEventDragRelease;
            d.target = p.pressed;
          } else {
            d.bits = 0;
            d.leave = p.pressed;
          }
        } else {
          d.bits = kEventDrop;
          d.target = p.lastTarget;
          d.source = p.pressed;
          d.leave = p.pressed;
        }
        if (pressed) pressed->Dragged = 0;
        // A drag-over released elsewhere than on its target (back on the
        // control it started from) ends there too: the target hears a leave,
        // and lets go of what the drag offered it.
        if (last && last->DragOver && d.bits != kEventDrop && d.leave == 0 &&
            p.lastTarget != d.target)
          d.leave = p.lastTarget;
        if (last) last->DragOver = 0;
        p.dragging = 0;
        p.dragOver = 0;
      }
      break;
    case kEventDrag: {
      d.x = p.dx;
      d.y = p.dy;
      ControlRecord* pressed = Live(p.pressed);
      ControlRecord* last = Live(p.lastTarget);
      if (p.pressed < 1) {
        d.bits = 0;  // nothing was pressed that could be dragged
      } else if (last && last->DragOver) {
        d.bits = kEventDragOver;
        d.target = p.lastTarget;
        d.source = p.pressed;
      } else if (p.hit == p.pressed) {
        d.target = p.hit;
        p.dragging = -1;
      } else if (pressed && (pressed->EventMask & kEventDrag) &&
                 !(pressed->EventMask & kEventDragOver)) {
        d.target = p.pressed;
        p.dragging = -1;
      } else if (!(hit && (hit->EventMask & kEventDragOver))) {
        d.bits = 0;
      } else {
        if (pressed) pressed->Dragged = 0;
        hit->DragOver = -1;
        d.bits = kEventDragOver;
        d.target = p.hit;
        d.source = p.pressed;
        p.dragOver = -1;
      }
      break;
    }
    case kEventWheel:
      d.x = 0;
      d.y = p.wheelDelta;
      d.target = p.hit;
      break;
    default:
      break;
  }

  // The last target is the pointer's: a control a key reached takes neither
  // the hover mark nor the leave call the pointer's control is owed.
  if (d.bits > 0 && d.bits != kEventKey && !keyChosen) p.lastTarget = d.target;
  Deliver(d, !keyChosen);
  if (d.leave != 0) DeliverLeave(d.leave);
}

// A press whose release the window will not report (it was put away while
// the button was down, or a move tells the button up) ends as that release
// would, with the pointer where it last was: every handler ends its drag,
// note or move as it does on a release.
void EndHeldPress() {
  PointerState& p = Pointer;
  if (!p.held) return;
  p.held = 0;
  p.button = platform::kButtonLeft;
  p.dragDistance = 0.0f;
  // SDL would drop the next press of a button it still counts down: the
  // release handed to it for that comes back as the late one, taken below.
  platform::WindowLeftButtonLetGo();
  g_releaseTaken = true;
  Derived d;
  d.bits = kEventClick;
  Dispatch(d);
}

// Step 3 of a pass for one window event; false for the close event.
bool HandleWindowEvent(const platform::WindowEvent& e, bool& lostFocus) {
  PointerState& p = Pointer;
  Derived d;
  switch (e.kind) {
    case platform::kWindowPointerMove:
      if (e.buttonsKnown && !(e.buttons & platform::kButtonLeft)) EndHeldPress();
      p.x = e.x;
      p.y = e.y;
      p.dx = e.dx;
      p.dy = e.dy;
      if (p.held) {
        if (p.dragging || p.dragOver) {
          d.bits = kEventDrag;
        } else {
          const int64_t sq = int64_t{e.dx} * e.dx + int64_t{e.dy} * e.dy;
          p.dragDistance = static_cast<float>(p.dragDistance + std::sqrt(static_cast<double>(sq)));
          if (p.dragDistance > kDragThreshold) {
            p.dragDistance = 0.0f;
            d.bits = kEventDrag;
          }
        }
      } else {
        d.bits = kEventHover;
      }
      lostFocus = false;
      break;
    case platform::kWindowButtonPress:
    case platform::kWindowDoubleClick:
      p.button = e.buttons;
      if (e.buttons & platform::kButtonLeft) {
        // A handler whose first click changed what lies under the pointer
        // (a folder row entered) tells the second by it.
        p.doublePress = e.kind == platform::kWindowDoubleClick ? -1 : 0;
        p.held = -1;
        d.bits = kEventPress;
        g_releaseTaken = false;
      }
      if (lostFocus) {
        platform::MutexGuard g(MT_DRAW);
        platform::WindowPointer(p.x, p.y);
        lostFocus = false;
      }
      break;
    case platform::kWindowButtonRelease:
      p.button = e.buttons;
      if ((e.buttons & platform::kButtonLeft) && !p.held && g_releaseTaken) {
        g_releaseTaken = false;  // its press ended already
      } else if (e.buttons & platform::kButtonLeft) {
        p.held = 0;
        d.bits = kEventClick;
      }
      p.dragDistance = 0.0f;
      break;
    case platform::kWindowWheel:
      p.wheelDelta = p.wheelPosition - e.wheel;
      p.wheelPosition = e.wheel;
      d.bits = kEventWheel;
      break;
    case platform::kWindowKeyPress:
      KeyPress(e, d);
      break;
    case platform::kWindowKeyRelease:
      KeyRelease(e, d);
      break;
    case platform::kWindowFocusLost:
      // Another window takes the keys, not the press: its moves and its
      // release still come here (a move with the button up tells if not).
      lostFocus = true;
      return true;
    case platform::kWindowHidden:
      lostFocus = true;
      EndHeldPress();
      return true;
    case platform::kWindowClose: {
      const ControlRecord* quit = CloseRequestTarget > 0 ? ControlAt(CloseRequestTarget) : nullptr;
      if (quit == nullptr || quit->EventCallback == nullptr) return false;
      PostClick(CloseRequestTarget, kCloseRequestSource);
      return true;
    }
    default:
      return true;  // key repeats, pointer enter and leave, focus gained
  }
  Dispatch(d);
  return true;
}

// The gamepad's poll: the stick moves the focus, button 1 clicks it.
void PollGamepad() {
  uint32_t buttons = 0;
  float axes[platform::kJoystickAxisCount];
  if (platform::JoystickRead(Gamepad.Id, buttons, axes)) {
    Gamepad.State.Axis[0] = axes[0];
    Gamepad.State.Axis[1] = axes[1];
    JoystickAxisUpdate(&Gamepad.State, 0);
    JoystickAxisUpdate(&Gamepad.State, 1);
    GamepadFocusNav();
    const uint32_t changed = JoystickSetButtons(&Gamepad.State, buttons);
    if (changed != 0 && (buttons & 1u)) PostClick(FocusedControl.load());
  } else {
    GamepadRedetect = -1;
    JoystickReset(&Gamepad.State);
  }
  if (Gamepad.Id >= 0) JoystickClearChanged(&Gamepad.State);
}

}  // namespace

void FlagForDeletion(int32_t id) {
  ControlRecord* c = ControlAt(id);
  if (!c) return;
  PointerState& p = Pointer;
  // Asked before the flag: the walks up stop at nothing flagged yet.
  const bool pressed = Within(p.pressed, id);
  const bool last = Within(p.lastTarget, id);
  const bool hit = Within(p.hit, id);
  const bool field = Within(ActiveEditField(), id);
  const bool focused = Within(FocusedControl.load(), id);
  if (pressed && !last && p.dragOver) {
    // The target the drag offered something to lets go of it, through the
    // queue: this runs inside a handler.
    if (ControlRecord* t = Live(p.lastTarget)) {
      t->DragOver = 0;
      CommandMessage m{};
      m.type = QUARLE_BASICS::kCommandControlEvent;
      m.arg2 = static_cast<uint32_t>(p.lastTarget);
      m.arg5 = kEventLeave;
      m.timeStamp = GuiTimer();
      QUARLE_BASICS::PostCommand(m, 0, 0);
    }
    p.lastTarget = 0;
  }
  c->DeletePending = -1;
  if (pressed) {
    // The button may still be down: its moves and its release find nothing
    // pressed and deliver nothing.
    p.pressed = 0;
    p.dragging = 0;
    p.dragOver = 0;
    p.dragDistance = 0.0f;
  }
  if (last) {
    p.lastTarget = 0;
    platform::MutexGuard g(MT_HOVER);
    TextFieldSetText(&HoverText, "");
  }
  if (hit) p.hit = 0;
  if (field) SetActiveEditField(DefaultKeyTarget);
  // The focus moves on in the window, past everything flagged.
  if (focused) FocusedControl.store(FocusWindow(WindowSlotOfControl(id)));
}

void SetGuiClock(GuiClockFn clock) { g_clock.store(clock); }

void PostFoundTooltip(int32_t id, const std::string& text) {
  if (id <= 0) return;
  // The drawing thread is the one that purges, so while it draws the control
  // the slot holds it.
  const ControlRecord* c = ControlAt(id);
  if (!c) return;
  const uint64_t serial = c->Serial;
  FoundTooltip& posted = g_postedTooltips[id];
  if (posted.serial == serial && posted.text == text) return;
  posted.serial = serial;
  posted.text = text;
  {
    platform::MutexGuard g(MT_HOVER);
    auto same = std::find_if(g_foundTooltips.begin(), g_foundTooltips.end(),
                             [id](const FoundTooltip& f) { return f.id == id; });
    if (same != g_foundTooltips.end())
      *same = FoundTooltip{id, serial, text};
    else
      g_foundTooltips.push_back(FoundTooltip{id, serial, text});
  }
  CommandMessage m{};
  m.type = QUARLE_BASICS::kCommandFoundTooltips;
  QUARLE_BASICS::PostCommand(m, 0, 0);
}

void TakeFoundTooltips() {
  std::vector<FoundTooltip> found;
  {
    platform::MutexGuard g(MT_HOVER);
    found.swap(g_foundTooltips);
  }
  for (const FoundTooltip& f : found) {
    ControlRecord* c = Live(f.id);
    if (c && c->Serial == f.serial) QUARLE_BASICS::DynZStringAssign(c->Tooltip, f.text);
  }
}

void ForgetFoundTooltips(int32_t id) {
  if (id >= 0) {
    g_postedTooltips.erase(id);
    platform::MutexGuard g(MT_HOVER);
    g_foundTooltips.erase(std::remove_if(g_foundTooltips.begin(), g_foundTooltips.end(),
                                         [id](const FoundTooltip& f) { return f.id == id; }),
                          g_foundTooltips.end());
    return;
  }
  g_postedTooltips.clear();
  platform::MutexGuard g(MT_HOVER);
  g_foundTooltips.clear();
}

double GuiTimer() {
  const GuiClockFn fn = g_clock.load();
  return fn ? fn() : platform::HighResClock();
}

void GuiLoopReset() {
  Pointer = PointerState{};
  KeyInput = SelectorState{};
  DefaultKeyTarget = 0;
  CloseRequestTarget = 0;
  for (int32_t& s : KeyShortcutTable) s = 0;
  {
    platform::MutexGuard g(MT_HOVER);
    TextFieldFree(&HoverText);
    HoverText = TextField{};
  }
  GamepadRedetect = -1;
  TabFocusKeys = -1;
  CpuSaving = -1;
  LoopRate = 0;
  SystemMessageHandler = DefaultSystemMessageHandler;
  Gamepad = GamepadRecord{};
  g_lastFocusKey = 0.0;
  g_releaseTaken = false;
  for (KeyTaker& t : g_keyTakers) t = KeyTaker{};
}

int32_t GuiMessageLoop() {
  if (!GuiFetchHeader.lock) QUARLE_BASICS::ArrayHeaderInit(GuiFetchHeader);
  // A post to queue 0 ends the loop's wait for work.
  QUARLE_BASICS::SetCommandQueueWake(0, platform::WindowEventWake);
  double passStart = GuiTimer();
  double tickStart = passStart;
  double pollStart = passStart;
  g_lastFocusKey = passStart;
  ControlLoopMeter.clock = GuiTimer;
  platform::LoopMeterStart(ControlLoopMeter);
  bool lostFocus = false;

  for (;;) {
    passStart = GuiTimer();

    // 1-2. Queue 0.
    if (const int32_t r = QUARLE_BASICS::FetchCommands(GuiFetchBuffer, GuiFetchHeader, 0);
        r != 0) {
      QUARLE_BASICS::Report(
          QUARLE_BASICS::LangText(100, "CTRL message checkup error: ") + QUARLE_BASICS::ErrorText(r),
          QUARLE_BASICS::kLevelFatal);
      return r;
    }
    const int32_t fetched = GuiFetchHeader.count;
    // Leaving amid a batch, the messages after this one stay in the queue:
    // some carry a block that only their reader (or the end's drop) frees.
    const auto leave = [&](int32_t i, int32_t r) {
      QUARLE_BASICS::ReturnCommands(GuiFetchBuffer + i + 1, fetched - i - 1, 0);
      return r;
    };
    for (int32_t i = 0; i < fetched; ++i) {
      CommandMessage m = GuiFetchBuffer[i];
      if (m.type == QUARLE_BASICS::kCommandEndLoop) return leave(i, 0);
      if (m.type == QUARLE_BASICS::kCommandFoundTooltips) {
        TakeFoundTooltips();
        continue;
      }
      if (m.type == QUARLE_BASICS::kCommandControlEvent) {
        const auto id = static_cast<int32_t>(m.arg2);
        ControlRecord* c = Live(id);
        if (c && c->EventCallback) {
          c->EventCallback(m.arg5, RoundToInt(m.single1), RoundToInt(m.single2), id,
                           static_cast<int32_t>(m.arg1));
          UpdateControl(id, 0);
        }
        continue;
      }
      if (SystemMessageHandler) {
        const int32_t r = SystemMessageHandler(&m);
        if (r != 0) {
          QUARLE_BASICS::Report(QUARLE_BASICS::ErrorText(r), QUARLE_BASICS::kLevelError);
          if (VideoRunFlag.load() == 0 || InterfaceReady.load() == 0) return leave(i, r);
        }
      }
    }

    // 3-8. Window events.
    platform::WindowEvent e;
    bool open = true;
    while (open && platform::WindowEventPoll(e)) open = HandleWindowEvent(e, lostFocus);
    // What the handlers added to or took from a list is drawn at the next frame.
    KeepListsInRange();
    if (!open) return 0;

    platform::LoopPass(ControlLoopMeter);
    double now = GuiTimer();

    // The root's tick.
    const double sinceTick = Elapsed(tickStart, now);
    if (sinceTick >= 1.0) {
      ControlRecord* root = ControlAt(0);
      if (root && root->EventCallback) {
        root->EventCallback(0, RoundToInt(sinceTick), 0, 0, 0);
        UpdateControl(0, 0);
        KeepListsInRange();
      }
      LoopRate = platform::LoopRate(ControlLoopMeter, kControlLoopNap);
      now = GuiTimer();
      tickStart = now;
      GamepadRedetect = -1;
      if ((FocusMode.load() & 1u) && Elapsed(g_lastFocusKey, now) >= 5.0) FocusMode.fetch_and(~1u);
    }

    // The gamepad.
    if (GamepadRedetect == -1) {
      GamepadRedetect = 0;
      Gamepad.Id = FindFirstJoystick();
      if (Gamepad.Id >= 0)
        FocusMode.fetch_or(2u);
      else
        FocusMode.fetch_and(~2u);
    }
    if (Elapsed(pollStart, now) >= kGamepadPollPeriod && Gamepad.Id >= 0) {
      PollGamepad();
      pollStart = GuiTimer();
    }

    // The hover text follows the last control the pointer reached.
    if (Pointer.lastTarget > 0) {
      if (const ControlRecord* c = Live(Pointer.lastTarget)) SetHoverText(c, true);
    }

    if (CpuSaving == -1 && QUARLE_BASICS::CommandQueuePending(0) == 0) {
      const double end = GuiTimer();
      if (Elapsed(passStart, end) < kCpuSavingPass) {
        // Nothing is due before the tick, or the gamepad's next poll.
        double due = 1.0 - Elapsed(tickStart, end);
        if (Gamepad.Id >= 0) due = std::min(due, kGamepadPollPeriod - Elapsed(pollStart, end));
        WaitForInterfaceWork(due);
      }
    }
  }
}

}  // namespace QUARLE_VISUALS
