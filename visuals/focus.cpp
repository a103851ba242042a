#include "visuals/focus.h"

#include <cstdlib>
#include <cstring>

#include "platform/joystick.h"
#include "visuals/control_table.h"
#include "visuals/visuals.h"

namespace QUARLE_VISUALS {

GamepadRecord Gamepad;
int64_t JoystickPresent[kJoystickIdCount] = {};

namespace {

// one thread: interface
int64_t g_ready = 0;
int32_t g_slot = 0;
int32_t g_pos = 0;
// The moves call each other until they meet a focusable control in an active
// window. With none anywhere they would never stop: every move of one call
// spends from this budget, and a spent budget ends the search with no control.
// one thread: interface
int64_t g_budget = 0;
bool g_exhausted = false;

int32_t SlotCount() { return WindowList ? WindowSlotCount : 0; }
bool ValidSlot(int32_t s) { return s >= 0 && s < SlotCount(); }
int32_t CountOf(int32_t s) { return ValidSlot(s) && FocusListCounts ? FocusListCounts[s] : 0; }

int32_t ControlAtPosition() {
  if (!ValidSlot(g_slot) || !FocusLists || !FocusLists[g_slot]) return 0;
  if (g_pos < 0 || g_pos >= CountOf(g_slot)) return 0;
  return FocusLists[g_slot][g_pos];
}

bool Focusable(int32_t id) { return id >= 1 && IsControlFocusable(id) == -1; }

// A new budget for a public move: enough for one round over every list and slot,
// twice.
void StartBudget() {
  int64_t n = SlotCount() + 2;
  for (int32_t s = 0; s < SlotCount(); ++s) n += CountOf(s) + 1;
  g_budget = 2 * n;
  g_exhausted = false;
}

bool Spend() {
  if (g_budget <= 0) {
    g_exhausted = true;
    return false;
  }
  --g_budget;
  return true;
}

int32_t NextInWindow(int64_t wrap);
int32_t NextWindow();

int32_t NextWindow() {
  if (!Spend()) return 0;
  const int32_t slots = SlotCount();
  if (slots < 1) return 0;
  ++g_slot;
  if (g_slot >= slots) g_slot -= slots;
  if (g_slot < 0 || g_slot >= slots) g_slot = 0;
  if (CountOf(g_slot) != 0 && IsWindowActive(g_slot) == -1) {
    g_pos = 0;
    if (!Focusable(ControlAtPosition())) NextInWindow(0);
  } else {
    NextWindow();
  }
  return WindowList[g_slot];
}

int32_t PrevWindow() {
  if (!Spend()) return 0;
  const int32_t slots = SlotCount();
  if (slots < 1) return 0;
  --g_slot;
  if (g_slot < 0) g_slot += slots;
  if (g_slot < 0 || g_slot >= slots) g_slot = 0;
  if (CountOf(g_slot) != 0 && IsWindowActive(g_slot) == -1) {
    g_pos = 0;
    if (!Focusable(ControlAtPosition())) NextInWindow(-1);
  } else {
    PrevWindow();
  }
  return WindowList[g_slot];
}

int32_t NextInWindow(int64_t wrap) {
  if (!Spend()) return 0;
  const int32_t count = CountOf(g_slot);
  if (count != 0 && IsWindowActive(g_slot) == -1) {
    ++g_pos;
    if (wrap == -1) {
      if (g_pos >= count) g_pos -= count;
      if (g_pos < 0 || g_pos >= count) g_pos = 0;
    } else if (g_pos >= count) {
      NextWindow();
    }
    if (!g_exhausted && !Focusable(ControlAtPosition())) NextInWindow(wrap);
  } else {
    NextWindow();
  }
  return ControlAtPosition();
}

int32_t Next() {
  if (!Spend()) return 0;
  const int32_t count = CountOf(g_slot);
  if (count != 0 && IsWindowActive(g_slot) == -1) {
    ++g_pos;
    if (g_pos >= count) NextWindow();
    if (!g_exhausted && !Focusable(ControlAtPosition())) Next();
  } else {
    NextWindow();
  }
  return ControlAtPosition();
}

int32_t Prev() {
  if (!Spend()) return 0;
  const int32_t count = CountOf(g_slot);
  if (count != 0 && IsWindowActive(g_slot) == -1) {
    --g_pos;
    if (g_pos < 0) g_pos += count;
    if (g_pos < 0 || g_pos >= count) g_pos = 0;
    if (!Focusable(ControlAtPosition())) Prev();
  } else {
    PrevWindow();
  }
  return ControlAtPosition();
}

// The result of a public move: nothing when the search gave up.
int32_t Finish(int32_t result) { return g_exhausted ? 0 : result; }

void FreeList(int32_t s) {
  if (!FocusLists || !FocusListCounts) return;
  std::free(FocusLists[s]);
  FocusLists[s] = nullptr;
  FocusListCounts[s] = 0;
}

}  // namespace

int32_t BuildFocusList(int32_t*& list, int32_t& count, int32_t id) {
  ControlRecord* c = ControlAt(id);
  if (!c) return count;
  std::vector<ChildRef> children;
  LiveChildren(c, children);
  for (const ChildRef& ref : children) {
    const int32_t child = ref.Id;
    ControlRecord* k = ChildRecord(ref);
    if (!k) continue;
    if (!k->NoHit && k->EventMask != 0) {
      auto* grown = static_cast<int32_t*>(std::malloc(sizeof(int32_t) * (static_cast<size_t>(count) + 1)));
      if (!grown) continue;  // the control stays out of the list, reachable by the pointer
      if (list && count > 0) std::memcpy(grown, list, sizeof(int32_t) * static_cast<size_t>(count));
      grown[count] = child;
      std::free(list);
      list = grown;
      k->Focusable = -1;
      ++count;
    } else {
      BuildFocusList(list, count, child);
    }
  }
  return count;
}

void BuildAllFocusLists() {
  if (!WindowList || !FocusLists || !FocusListCounts) return;
  for (int32_t s = 0; s < WindowSlotCount; ++s) {
    FreeList(s);
    if (WindowList[s] > 0) BuildFocusList(FocusLists[s], FocusListCounts[s], WindowList[s]);
  }
  g_ready = -1;
}

int32_t FocusNext() {
  if (g_ready != -1) return 0;
  StartBudget();
  return Finish(Next());
}

int32_t FocusPrev() {
  if (g_ready != -1) return 0;
  StartBudget();
  return Finish(Prev());
}

int32_t FocusNextInWindow(int64_t wrap) {
  if (g_ready != -1) return 0;
  StartBudget();
  return Finish(NextInWindow(wrap));
}

int32_t FocusNextWindow() {
  if (g_ready != -1) return ValidSlot(g_slot) ? WindowList[g_slot] : 0;
  StartBudget();
  return Finish(NextWindow());
}

int32_t FocusPrevWindow() {
  if (g_ready != -1) return ValidSlot(g_slot) ? WindowList[g_slot] : 0;
  StartBudget();
  return Finish(PrevWindow());
}

int32_t FocusWindow(int32_t slot) {
  if (g_ready != -1 || SlotCount() < 1) return 0;
  StartBudget();
  if (slot < 0) slot = 0;
  if (slot > SlotCount() - 1) slot = SlotCount() - 1;
  g_slot = slot;
  if (CountOf(g_slot) != 0 && IsWindowActive(g_slot) == -1) {
    g_pos = 0;
    if (!Focusable(ControlAtPosition())) NextInWindow(0);
  } else {
    NextWindow();
  }
  return Finish(ControlAtPosition());
}

void SetFocusControl(int32_t id) {
  if (g_ready != -1) return;
  const int32_t slot = WindowSlotOfControl(id);
  if (!ValidSlot(slot)) return;
  g_slot = slot;
  const int32_t count = CountOf(slot);
  for (int32_t i = 0; i < count; ++i) {
    if (FocusLists[slot][i] == id) {
      g_pos = i;
      FocusedControl = id;
      return;
    }
  }
  FocusedControl = FocusWindow(slot);
}

int64_t IsControlFocusable(int32_t id) {
  // Walks up iteratively; the bound keeps a broken parent chain from looping.
  const int32_t limit = ControlTableCount() + 1;
  for (int32_t steps = 0; steps <= limit; ++steps) {
    const ControlRecord* c = ControlAt(id);
    if (!c || c->DeletePending) return 0;
    const int64_t r = ControlIsEnabled(c) & (c->Visible != 0 ? -1 : 0);
    if (r != -1) return r;
    if (id < 1) return -1;
    id = c->Parent;
  }
  return 0;
}

int64_t IsWindowActive(int32_t slot) {
  if (!ValidSlot(slot)) return 0;
  const int32_t id = WindowList[slot];
  if (id < 1) return 0;
  const ControlRecord* c = ControlAt(id);
  if (!c || c->DeletePending) return 0;
  return (c->Visible != 0 && !IsDisabled(&c->State)) ? -1 : 0;
}

int32_t FocusWindowSlot() { return g_slot; }
int32_t FocusListPosition() { return g_pos; }
int64_t FocusReady() { return g_ready; }

void FocusReset() {
  if (WindowList && FocusLists && FocusListCounts)
    for (int32_t s = 0; s < WindowSlotCount; ++s) FreeList(s);
  g_ready = 0;
  g_slot = 0;
  g_pos = 0;
  Gamepad = GamepadRecord{};
  for (int64_t& p : JoystickPresent) p = 0;
}

int32_t FindFirstJoystick() {
  int32_t first = -1;
  for (int32_t id = 0; id < kJoystickIdCount; ++id) {
    uint32_t buttons = 0;
    float axes[platform::kJoystickAxisCount];
    const bool ok = platform::JoystickRead(id, buttons, axes);
    JoystickPresent[id] = ok ? -1 : 0;
    if (ok && first < 0) first = id;
  }
  return first;
}

void GamepadFocusNav() {
  if (g_ready != -1) return;
  JoystickState& j = Gamepad.State;
  if (j.AxisChanged[0]) {
    if (j.Direction[0] > 0.0f) {
      FocusNextWindow();
      FocusedControl = Finish(ControlAtPosition());
    } else if (j.Direction[0] < 0.0f) {
      FocusPrevWindow();
      FocusedControl = Finish(ControlAtPosition());
    }
  }
  if (j.AxisChanged[1]) {
    if (j.Direction[1] > 0.0f)
      FocusedControl = FocusNextInWindow(-1);
    else if (j.Direction[1] < 0.0f)
      FocusedControl = FocusPrev();
  }
}

}  // namespace QUARLE_VISUALS
