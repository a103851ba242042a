#include "engine/midimap.h"

#include <atomic>
#include <cmath>
#include <mutex>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "basics/errors.h"
#include "basics/messages.h"
#include "basics/queues.h"
#include "engine/catalog/catalog.h"
#include "engine/globals.h"
#include "engine/modulelist.h"
#include "engine/valueedit.h"
#include "engine/ui_hooks.h"
#include "platform/files.h"
#include "platform/threads.h"

namespace Tarvelo {

bool (*WakeInterfaceForControllers)() = nullptr;
// The queue's ends (see below); the render callback looks at them inline.
std::atomic<uint32_t> ControllerMoveHead{0};
std::atomic<uint32_t> ControllerMoveTail{0};
std::atomic<uint32_t> ControllerMovesSpilled{0};

namespace {

int32_t MoveParameter(ModuleRecord* module, int32_t p, float x, int64_t relative, int32_t channel, bool display);

// Controller moves from the MIDI thread, and values set on the interface
// thread while playback runs, for the owner of the parameter values (one taker
// at a time, see TakeControllerMoves). Producers take turns under a lock the
// taker never touches. A move names a listed live module or a catalog
// template (a controller learned with a Catalog row selected): whatever
// rewrites or copies a template while playing does so between two frames.
constexpr int64_t kMoveSetsValue = 1;  // relative word of a move that carries the value itself
// The channel a move targets is decided where the move is made (the channel
// the interface edits then): the L/R selector flipped before the render takes
// it does not move the other channel's value.
// one thread: value
struct ControllerMove {
  ModuleRecord* module;
  int32_t p;
  float x;
  int64_t relative;
  int32_t channel;
};
constexpr uint32_t kMoveSlots = 256;
// one thread: maker, a slot is filled before the tail publishes it and not written until the head passed it
ControllerMove g_moves[kMoveSlots];
std::mutex g_moveTaker;
std::mutex g_moveProducer;
std::atomic<bool> g_moveWoken{false};

// A move that finds the ring full (the render stalled, a flood of moves) is
// not dropped: it waits here, marked with the ring position that was next to
// fill, and the taker applies it right before that position, so every move
// lands in the order it came. The list grows on the producer's thread; the
// render only try-locks it and, when it is busy, takes no more of the ring
// than comes before the oldest move waiting here.
// one thread: value
struct SpilledMove {
  ControllerMove move;
  uint32_t before;
};
// one thread: holder of lock
struct SpilledMoves {
  SpilledMove* items = nullptr;
  uint32_t capacity = 0;
  uint32_t head = 0;
  uint32_t count = 0;
  std::mutex lock;
};
SpilledMoves g_spill;
std::atomic<uint32_t> g_spillFirst{0};  // `before` of the oldest waiting one

// Under g_moveProducer. false when no memory could be had.
bool SpillMove(const ControllerMove& move, uint32_t before) {
  std::lock_guard<std::mutex> guard(g_spill.lock);
  if (g_spill.head + g_spill.count == g_spill.capacity) {
    if (g_spill.head > 0) {
      std::memmove(static_cast<void*>(g_spill.items), g_spill.items + g_spill.head,
                   g_spill.count * sizeof(SpilledMove));
      g_spill.head = 0;
    }
    if (g_spill.count == g_spill.capacity) {
      const uint32_t capacity = g_spill.capacity > 0 ? 2 * g_spill.capacity : 64;
      auto* items = static_cast<SpilledMove*>(std::realloc(static_cast<void*>(g_spill.items),
                                                            capacity * sizeof(SpilledMove)));
      if (items == nullptr) return false;
      g_spill.items = items;
      g_spill.capacity = capacity;
    }
  }
  if (g_spill.count == 0) g_spillFirst.store(before, std::memory_order_relaxed);
  g_spill.items[g_spill.head + g_spill.count] = SpilledMove{move, before};
  g_spill.count += 1;
  ControllerMovesSpilled.store(g_spill.count, std::memory_order_release);
  return true;
}

void QueueControllerMove(ModuleRecord* module, int32_t p, float x, int64_t relative) {
  {
    std::lock_guard<std::mutex> guard(g_moveProducer);
    const uint32_t tail = ControllerMoveTail.load(std::memory_order_relaxed);
    const ControllerMove move{module, p, x, relative, module != nullptr ? module->EditChannel.Load() : 0};
    if (tail - ControllerMoveHead.load(std::memory_order_acquire) < kMoveSlots) {
      g_moves[tail % kMoveSlots] = move;
      ControllerMoveTail.store(tail + 1, std::memory_order_release);
    } else {
      while (!SpillMove(move, tail)) {
        QUARLE_BASICS::Report("Controller moves: no memory to keep a move; waiting.", QUARLE_BASICS::kLevelWarning);
        platform::SleepMs(10);
      }
    }
  }
  if (PlaybackActive.load() != 0) return;  // the next frame takes it
  if (!g_moveWoken.exchange(true) && (WakeInterfaceForControllers == nullptr || !WakeInterfaceForControllers()))
    g_moveWoken.store(false);
}

void ApplyMove(const ControllerMove& c, bool display) {
  // A module deleted since the move was queued is kept until the move is
  // taken, but it is no longer the synth's: its values stay as they are.
  if (!ModuleListed(c.module)) return;
  // The field of the module page follows through MidiMoved on the video
  // thread; the render callback never waits for the field's lock.
  if (c.relative == kMoveSetsValue)
    ModuleSetParamValueOnChannel(*c.module, c.p, c.x, c.channel);
  else
    MoveParameter(c.module, c.p, c.x, c.relative, c.channel, display);
}

// Under g_spill.lock: the waiting moves that come before ring position `at`.
void ApplySpilledBefore(uint32_t at, bool display) {
  while (g_spill.count > 0 && static_cast<int32_t>(g_spill.items[g_spill.head].before - at) <= 0) {
    ApplyMove(g_spill.items[g_spill.head].move, display);
    g_spill.head += 1;
    g_spill.count -= 1;
  }
  if (g_spill.count == 0)
    g_spill.head = 0;
  else
    g_spillFirst.store(g_spill.items[g_spill.head].before, std::memory_order_relaxed);
  ControllerMovesSpilled.store(g_spill.count, std::memory_order_release);
}

// Under g_moveTaker: every move that waits, ring and spilled ones in the
// order they came. Without wait (the render) a busy spill lock leaves the
// spilled moves, and the ring's moves behind them, for a later frame.
void TakeMovesInOrder(bool display, bool wait) {
  const uint32_t tail = ControllerMoveTail.load(std::memory_order_acquire);
  uint32_t head = ControllerMoveHead.load(std::memory_order_relaxed);
  bool spillHeld = false;
  uint32_t stop = tail;
  if (ControllerMovesSpilled.load(std::memory_order_acquire) != 0) {
    if (wait) {
      g_spill.lock.lock();
      spillHeld = true;
    } else {
      spillHeld = g_spill.lock.try_lock();
    }
    if (!spillHeld) {
      const uint32_t first = g_spillFirst.load(std::memory_order_relaxed);
      if (first - head < tail - head) stop = first;
    }
  }
  for (; head != stop; ++head) {
    if (spillHeld) ApplySpilledBefore(head, display);
    ApplyMove(g_moves[head % kMoveSlots], display);
    ControllerMoveHead.store(head + 1, std::memory_order_release);
  }
  if (spillHeld) {
    ApplySpilledBefore(stop, display);
    g_spill.lock.unlock();
  }
}

}  // namespace

using QUARLE_BASICS::kErrBadParameter;
using QUARLE_BASICS::kErrIncompatibleFile;

MidiMap MidiMaps[kMidiMapCount];
std::atomic<int32_t> MidiLearnArmed{0};
MidiDeviceHooks MidiDevices{};
MidiMap* MidiDeviceMaps[kMidiDeviceSlots] = {};

namespace {

bool ValidSlot(int32_t d) { return d >= 0 && d < kMidiDeviceSlots; }
bool ValidCell(int32_t controller, int32_t channel) {
  return controller >= 0 && controller < kMidiControllers && channel >= 0 && channel < kMidiChannels;
}

std::string Trim(const std::string& s) {
  std::size_t a = s.find_first_not_of(' ');
  if (a == std::string::npos) return std::string();
  std::size_t b = s.find_last_not_of(' ');
  return s.substr(a, b - a + 1);
}

std::string MapName(const MidiMap& map) {
  return std::string(map.DeviceName, strnlen(map.DeviceName, kMidiDeviceNameMax));
}

void SetMapName(MidiMap& map, const std::string& name) {
  std::size_t n = name.size() < static_cast<std::size_t>(kMidiDeviceNameMax) ? name.size() : kMidiDeviceNameMax;
  std::memset(map.DeviceName, 0, sizeof map.DeviceName);
  std::memcpy(map.DeviceName, name.data(), n);
}

std::string SlotName(int32_t d) {
  if (!ValidSlot(d) || MidiDevices.SlotName == nullptr) return std::string();
  return MidiDevices.SlotName(d);
}

platform::Mutex* DeviceTableLock() {
  return MidiDevices.TableLock != nullptr ? MidiDevices.TableLock() : nullptr;
}

int32_t MapIndex(const MidiMap* map) { return static_cast<int32_t>(map - MidiMaps); }

// The map of a device slot, found or assigned when the slot has none yet.
MidiMap* MapOfDevice(int32_t d) {
  if (!ValidSlot(d)) return nullptr;
  if (MidiDeviceMaps[d] != nullptr) return MidiDeviceMaps[d];
  int32_t i = FindMidiMapForDevice(d);
  return i < 0 ? nullptr : &MidiMaps[i];
}

// The controller list is the control created right after the device list.
int32_t ControllerListId() {
  int32_t devices = UiControlId(kControlMidiDevices);
  return devices > 0 ? devices + 1 : 0;
}

void DropParamCount(ModuleRecord* target, int32_t p) {
  if (target == nullptr || p < 0 || p >= kModuleParams) return;
  // Learning counts up on the interface meanwhile.
  Shared<int64_t>& count = target->Params[p].MidiMapCount;
  int64_t n = count.Load();
  while (n > 0 && !count.CompareExchange(n, n - 1)) continue;
}

}  // namespace

// ---------------------------------------------------------------- the maps

// The engine start-up creates MT_MIDIMAPS before and destroys it after these.
int32_t InitMidiMaps() {
  for (int32_t i = 0; i < kMidiMapCount; ++i) MidiMapInit(MidiMaps[i], i);
  for (MidiMap*& m : MidiDeviceMaps) m = nullptr;
  MidiLearnArmed = 0;
  return 0;
}

void FreeMidiMaps() {
  // The modules the entries pointed at may be gone already: forget, don't touch.
  for (int32_t i = 0; i < kMidiMapCount; ++i) MidiMapInit(MidiMaps[i], i);
  for (MidiMap*& m : MidiDeviceMaps) m = nullptr;
  MidiLearnArmed = 0;
  FreeSpilledControllerMoves();
}

void ClearMidiMapTargets(ModuleRecord* m) {
  if (m == nullptr) return;
  platform::MutexGuard guard(MT_MIDIMAPS);
  for (MidiMap& map : MidiMaps) {
    for (ModuleRecord*& k : map.ChannelKeyboards)
      if (k == m) k = nullptr;
    for (int32_t c = 0; c < kMidiMapRows; ++c)
      for (int32_t ch = 0; ch < kMidiMapColumns; ++ch)
        if (map.Entries[c][ch].Target == m) ClearMidiMapEntry(map.Entries[c][ch]);
  }
}

void MidiMapEntryInit(MidiMapEntry& e) {
  e.Mode = kMidiUnbound;
  e.Kind = kControllerAuto;
  e.CentreCount = 0;
  e.SeenCount = 0;
  e.Target = nullptr;
  e.ModuleRef = -1;
  e.Param = -1;
}

void MidiMapInit(MidiMap& map, int32_t slot) {
  for (auto& row : map.Entries)
    for (MidiMapEntry& e : row) MidiMapEntryInit(e);
  std::memset(map.DeviceName, 0, sizeof map.DeviceName);
  map.Claimed = 0;
  // The map's own index from the start: FindMidiMapForDevice answers with it.
  map.Slot = slot;
  std::memset(map.LastValues, 0, sizeof map.LastValues);
  std::memset(map.LastTimes, 0, sizeof map.LastTimes);
  for (ModuleRecord*& k : map.ChannelKeyboards) k = nullptr;
}

void ClearMidiMapEntry(MidiMapEntry& e) {
  // Every binding that counted itself on a parameter (mode 4, and a mode 2
  // entry that a synth file gave a target) gives the count back.
  if (e.Target != nullptr) DropParamCount(e.Target, e.Param);
  MidiMapEntryInit(e);
}

int32_t FindMidiDevice(const std::string& name) {
  if (name.empty()) return -1;
  for (int32_t d = 0; d < kMidiDeviceSlots; ++d)
    if (SlotName(d) == name) return d;
  return -1;
}

void ResetMidiMap(MidiMap& map) {
  std::string name;
  {
    platform::MutexGuard guard(MT_MIDIMAPS);
    name = Trim(MapName(map));
  }
  int32_t device = -1;
  {
    platform::MutexGuard guard(DeviceTableLock());
    device = FindMidiDevice(name);
  }
  platform::MutexGuard guard(MT_MIDIMAPS);
  SetMapName(map, device < 0 ? std::string() : name);
  if (device < 0) {
    // A free map may go to another device next: no slot may still lead here.
    for (MidiMap*& m : MidiDeviceMaps)
      if (m == &map) m = nullptr;
  }
  for (int32_t c = 0; c < kMidiControllers; ++c)
    for (int32_t ch = 0; ch < kMidiChannels; ++ch) ClearMidiMapEntry(map.Entries[c][ch]);
  std::memset(map.LastValues, 0, sizeof map.LastValues);
  for (int32_t ch = 0; ch < kMidiChannels; ++ch) {
    if (map.ChannelKeyboards[ch] != nullptr) map.ChannelKeyboards[ch]->MidiDeviceBinding.Store(0);
    map.ChannelKeyboards[ch] = nullptr;
  }
}

int32_t AssignFreeMidiMap(int32_t d) {
  std::string name = SlotName(d);
  if (name.empty()) return -1;  // a map with an empty name would still be free
  for (int32_t i = 0; i < kMidiMapCount; ++i) {
    MidiMap& map = MidiMaps[i];
    if (!Trim(MapName(map)).empty()) continue;
    SetMapName(map, name);
    MidiDeviceMaps[d] = &map;
    map.Claimed = -1;
    return i;
  }
  return -1;
}

int32_t FindMidiMapForDevice(int32_t d) {
  std::string name = SlotName(d);
  if (name.empty()) return -1;
  MidiMap* current = MidiDeviceMaps[d];
  if (current != nullptr && Trim(MapName(*current)) == name) return MapIndex(current);
  for (int32_t i = 0; i < kMidiMapCount; ++i) {
    if (Trim(MapName(MidiMaps[i])) == name) {
      MidiDeviceMaps[d] = &MidiMaps[i];
      return i;
    }
  }
  return AssignFreeMidiMap(d);
}

// ---------------------------------------------------------------- learning

void MidiLearnBind(int32_t d, int32_t controller, int32_t channel, int32_t mode) {
  if (!ValidCell(controller, channel)) return;
  MidiMap* map = MapOfDevice(d);
  if (map == nullptr) return;

  const int32_t learn0 = UiControlId(kControlMidiLearn0);
  const int32_t learn1 = UiControlId(kControlMidiLearn1);
  const int32_t learn2 = UiControlId(kControlMidiLearn2);
  UiSetPressed(learn0, 0);
  UiSetPressed(learn1, 0);
  UiSetPressed(learn2, 0);
  UiSetOn(learn2, 0);

  MidiMapEntry& e = map->Entries[controller][channel];
  ModuleRecord* selected = SelectedModule;
  const int32_t p = SelectedParamIndex != nullptr ? SelectedParamIndex() : -1;
  auto giveUpOld = [&e]() {
    if (e.Target != nullptr) DropParamCount(e.Target, e.Param);
  };
  if (mode == kMidiFixedParam && selected != nullptr && p >= 0 && p < selected->ParamCount &&
      p < kModuleParams) {
    giveUpOld();
    e.Mode = kMidiFixedParam;
    e.Target = selected;
    e.Param = p;
    e.ModuleRef = -1;
    selected->Params[p].MidiMapCount.FetchAdd(1);
    UiSetOn(learn2, -1);
  } else if (mode == kMidiSelectedParam) {
    giveUpOld();
    e.Mode = kMidiSelectedParam;
    e.Target = nullptr;
    e.Param = -1;
    e.ModuleRef = -1;
  } else if (mode == kMidiParamOfSelected && p >= 0) {
    giveUpOld();
    e.Mode = kMidiParamOfSelected;
    e.Target = nullptr;
    e.Param = p;
    e.ModuleRef = -1;
  }

  MidiLearnArmed = 0;
  UiPublishText(ControllerListId(), -1);
  UiPublishState(learn0);
  UiPublishState(learn1);
  UiPublishState(learn2);
}

int32_t DetectControllerKind(MidiMap& map, int32_t controller, int32_t channel, float value, float last,
                             float time, int32_t /*kind*/) {
  if (!ValidCell(controller, channel)) return 0;
  MidiMapEntry& e = map.Entries[controller][channel];
  int32_t centre = 0;
  int32_t seen = 0;
  double previousTime = 0.0;
  {
    platform::MutexGuard guard(MT_MIDIMAPS);
    centre = e.CentreCount;
    seen = e.SeenCount;
    previousTime = std::nearbyint(static_cast<double>(map.LastTimes[controller][channel]));
    map.LastTimes[controller][channel] = time;
  }
  const bool first = seen == 0;
  const float d = value - last;
  seen += 1;
  int32_t decided = 0;
  if (first) {
    // The first message of a detection has no previous value to compare with
    // (the stored one is a start value or belongs to an older detection).
  } else if (seen - centre > 23) {
    decided = kControllerStandard;
  } else if (d == 0.0f) {
    decided = (value == 0.0f || value == 127.0f) ? kControllerEndlessBounded : kControllerEndless64;
  } else if (std::fabs(d) == 127.0f) {
    if (seen <= 2) decided = kControllerButton;
  } else {
    if ((last == 64.0f) != (value == 64.0f))
      centre += 1;
    else
      centre = 0;
    if (centre > 9 || (centre > 2 && std::nearbyint(static_cast<double>(time)) == previousTime))
      decided = kControllerEndless64;
  }
  if (decided != 0) {
    centre = 0;
    seen = 0;
  }
  {
    platform::MutexGuard guard(MT_MIDIMAPS);
    if (decided != 0) e.Kind = static_cast<uint8_t>(decided);
    e.CentreCount = static_cast<uint8_t>(centre > 255 ? 255 : centre);
    e.SeenCount = static_cast<uint8_t>(seen > 255 ? 255 : seen);
  }
  if (decided != 0) {
    // Called on the MIDI thread: it reads only the list's visibility, a word
    // the interface stores whole. Whether the type selector is enabled is the
    // interface's own state, read by the list's handler on the interface
    // thread when it takes the refresh (a refresh of a disabled selector does
    // nothing there).
    const int32_t list = ControllerListId();
    if (list > 0 && UiVisible(list) == -1) {
      QUARLE_BASICS::CommandMessage msg{};
      msg.type = QUARLE_BASICS::kCommandControlEvent;
      msg.arg1 = 0xFFFFFFFFu;
      msg.arg2 = static_cast<uint32_t>(list);
      QUARLE_BASICS::PostCommand(msg, 0, 0);
    }
  }
  return decided;
}

// ---------------------------------------------------------------- applying

void MidiControlChange(int32_t d, int32_t controller, int32_t channel, float value, float time) {
  if (!ValidCell(controller, channel)) return;
  MidiMap* map = nullptr;
  int32_t mode = 0;
  int32_t kind = 0;
  int32_t param = -1;
  ModuleRecord* target = nullptr;
  float last = 0.0f;
  {
    platform::MutexGuard guard(MT_MIDIMAPS);
    map = MapOfDevice(d);
    if (map == nullptr) return;
    const MidiMapEntry& e = map->Entries[controller][channel];
    mode = e.Mode;
    kind = e.Kind;
    param = e.Param;
    target = e.Target;
    last = map->LastValues[controller][channel];
    map->LastValues[controller][channel] = value;
  }
  if (kind == kControllerAuto) kind = DetectControllerKind(*map, controller, channel, value, last, time, kind);
  if (mode == kMidiUnbound) return;

  float x = 0.0f;
  if (kind == kControllerEndlessBounded) {
    float delta = value - last;
    if (delta == 0.0f) delta = value - 127.0f;
    x = delta > 0.0f ? 1.0f : (delta < 0.0f ? -1.0f : 1.0f);
  } else if (kind == kControllerEndless64) {
    x = value - 64.0f;
  } else {
    x = value / 127.0f;
  }
  const int64_t relative = (kind == kControllerEndless64 || kind == kControllerEndlessBounded) ? -1 : 0;
  if (mode != kMidiFixedParam && !platform::OnInterfaceThread()) {
    QUARLE_BASICS::CommandMessage msg{};
    msg.type = kMessageSelectedControllerMove;
    msg.arg1 = static_cast<uint32_t>(mode);
    msg.arg2 = static_cast<uint32_t>(param);
    msg.arg3 = relative != 0 ? 1u : 0u;
    msg.single1 = x;
    msg.timeStamp = platform::HighResClock();
    QUARLE_BASICS::PostCommand(msg, QUARLE_BASICS::MainCommandQueue, -1);
    return;
  }
  // The render owns the values while playing, whichever thread the move came on.
  const bool queue = !platform::OnInterfaceThread() || PlaybackActive.load() != 0;
  if (mode == kMidiFixedParam) {
    // A delete clears the entry under the maps' lock before the module may be
    // freed, so the module is read, and its move queued or applied, only while
    // the entry still names it: the delete then finds the move pending (and
    // reclaiming waits for it), or this thread never touches the module.
    platform::MutexGuard guard(MT_MIDIMAPS);
    MidiMapEntry& e = map->Entries[controller][channel];
    if (e.Mode != mode || e.Target != target || e.Param != param || target == nullptr) return;
    if (queue) {
      if (param >= 0 && param < target->ParamCount && param < kModuleParams) {
        QueueControllerMove(target, param, x, relative);
        return;
      }
    } else if (ApplyControllerToParameter(target, param, x, relative) != 0) {
      return;
    }
    // A refusal breaks the binding; the other modes follow the selection,
    // which may fit again with the next module selected.
    ClearMidiMapEntry(e);
    return;
  }
  ModuleRecord* module = SelectedModule;
  const int32_t p = mode == kMidiSelectedParam ? (SelectedParamIndex != nullptr ? SelectedParamIndex() : -1) : param;
  if (module == nullptr) return;
  if (queue) {
    if (p >= 0 && p < module->ParamCount && p < kModuleParams) QueueControllerMove(module, p, x, relative);
    return;
  }
  ApplyControllerToParameter(module, p, x, relative);
}

void ApplySelectedControllerMove(int32_t mode, int32_t param, float x, int64_t relative) {
  ModuleRecord* module = SelectedModule;
  const int32_t p = mode == kMidiSelectedParam ? (SelectedParamIndex != nullptr ? SelectedParamIndex() : -1) : param;
  MoveParameterOrQueue(module, p, x, relative);
}

void MoveParameterOrQueue(ModuleRecord* module, int32_t p, float x, int64_t relative) {
  if (module == nullptr) return;
  // While playback runs the values are the render callback's: it takes the move.
  if (PlaybackActive.load() != 0 && p >= 0 && p < module->ParamCount && p < kModuleParams) {
    QueueControllerMove(module, p, x, relative != 0 ? -1 : 0);
    return;
  }
  ApplyControllerToParameter(module, p, x, relative);
}

bool SetParamValueOrQueue(ModuleRecord& module, int32_t p, float value) {
  if (p < 0 || p >= kModuleParams) return false;
  if (PlaybackActive.load() == 0) {
    ModuleSetParamValue(module, p, value);
    return false;
  }
  QueueControllerMove(&module, p, value, kMoveSetsValue);
  return true;
}

int32_t ApplyControllerToParameter(ModuleRecord* module, int32_t p, float x, int64_t relative) {
  if (module == nullptr) return 0;
  return MoveParameter(module, p, x, relative, module->EditChannel.Load(), true);
}

void TakeControllerMoves(bool onRender) {
  // While playback runs the values are the render callback's.
  if (!onRender && PlaybackActive.load() != 0) return;
  if (!ControllerMovesPending()) {
    if (!onRender) g_moveWoken.store(false);
    return;
  }
  // One taker at a time; the render callback never waits for it.
  if (!g_moveTaker.try_lock()) return;
  if (!onRender) g_moveWoken.store(false);
  TakeMovesInOrder(!onRender, !onRender);
  g_moveTaker.unlock();
}

void TakeControllerMovesWhileHeld() {
  if (!ControllerMovesPending()) return;
  std::lock_guard<std::mutex> guard(g_moveTaker);
  TakeMovesInOrder(true, true);
}

bool ControllerMovesPending() {
  return ControllerMoveTail.load(std::memory_order_acquire) != ControllerMoveHead.load(std::memory_order_acquire) ||
         ControllerMovesSpilled.load(std::memory_order_acquire) != 0;
}

void FreeSpilledControllerMoves() {
  std::lock_guard<std::mutex> guard(g_spill.lock);
  std::free(g_spill.items);
  g_spill.items = nullptr;
  g_spill.capacity = g_spill.head = g_spill.count = 0;
  ControllerMovesSpilled.store(0, std::memory_order_release);
}

namespace {

int32_t MoveParameter(ModuleRecord* module, int32_t p, float x, int64_t relative, int32_t channel, bool display) {
  if (module == nullptr || p < 0 || p >= module->ParamCount || p >= kModuleParams) return 0;
  ModuleParam& param = module->Params[p];
  const ControlRange range = LoadControlRange(param);
  float v = 0.0f;
  if (relative != 0) {
    float current = param.Value.Load();
    const ModuleRecord* pvm = module->PortValueModules[p];
    if (pvm != nullptr) {
      const OutputElement& o = pvm->Outputs[channel == 1 ? 1 : 0][0];
      current = param.OutputSide.Load() == 1 ? o.Frequency : o.Level;
    }
    v = current + range.step * x;
    if (v < range.low) v = range.low;
    if (v > range.high) v = range.high;
  } else {
    v = range.low + (range.high - range.low) * x;
  }
  if (param.IntegerFlag != 0) v = std::floor(v + 0.5f);
  ModuleSetParamValueOnChannel(*module, p, v, channel);
  param.MidiMoved.Store(-1);
  if (ParamEditMode.Load() != 0) return -1;
  if (display) {
    platform::MutexGuard guard(param.Number.Lock);
    ParamValueConvertUnit(param.Number, v * param.Scale, 0, -1);
  }
  if (module->MirrorPair != 0 && module->ModuleSwitches[kSwitchDual].Load() != 0) {
    const int32_t q = p ^ 1;
    if (q < module->ParamCount && q < kModuleParams) {
      ModuleSetParamValueOnChannel(*module, q, range.high - v + range.low, channel);
      module->Params[q].MidiMoved.Store(-1);
    }
  }
  return -1;
}

}  // namespace

void UnbindKeyboardsFromDevice(int32_t d) {
  platform::MutexGuard guard(ModuleList.lock);
  // The MIDI thread reads the bindings under the maps' lock.
  platform::MutexGuard maps(MT_MIDIMAPS);
  for (int32_t i = 0; i < ModuleList.count; ++i) {
    ModuleRecord* m = ModuleList.entries[i];
    if (m != nullptr && m->Type == kTypeKeyboard && m->MidiDeviceBinding.Load() == d + 1) m->MidiDeviceBinding.Store(0);
  }
}

// ---------------------------------------------------------------- the file section

int32_t MidiMapModuleRef(const MidiMapEntry& e) {
  const ModuleRecord* t = e.Target;
  if (t == nullptr) return -1;
  if (e.Mode == kMidiFixedParam && t->Role == kRoleLive) {
    const int32_t i = t->ListIndex.Load();
    if (i >= 0 && i < ModuleList.count && ModuleList.entries != nullptr && ModuleList.entries[i] == t) return i;
  }
  for (int32_t type = 0; type < kModuleTypeCount; ++type)
    if (t == &ModuleCatalog[type]) return -2 - type;
  return -1;
}

namespace {

void PutI32(unsigned char* p, int32_t v) {
  uint32_t u = static_cast<uint32_t>(v);
  for (int b = 0; b < 4; ++b) p[b] = static_cast<unsigned char>(u >> (8 * b));
}

int32_t GetI32(const unsigned char* p) {
  uint32_t u = 0;
  for (int b = 0; b < 4; ++b) u |= static_cast<uint32_t>(p[b]) << (8 * b);
  return static_cast<int32_t>(u);
}

void ReadEntry(MidiMapEntry& e, const unsigned char* p) {
  ClearMidiMapEntry(e);
  unsigned char head[4] = {p[0], p[1], p[2], p[3]};
  if (head[0] == 0xFF && head[1] == 0xFF && head[2] == 0xFF && head[3] == 0xFF) std::memset(head, 0, 4);
  e.Mode = head[0];
  e.Kind = head[1];
  e.CentreCount = head[2];
  e.SeenCount = head[3];
  e.Target = nullptr;
  e.ModuleRef = GetI32(p + 4);
  e.Param = GetI32(p + 8);
  // What no learning could have made is dropped; a kind we don't know is
  // detected again.
  const bool knownMode = e.Mode == kMidiUnbound || e.Mode == kMidiSelectedParam ||
                         e.Mode == kMidiParamOfSelected || e.Mode == kMidiFixedParam;
  const bool needsParam = e.Mode == kMidiParamOfSelected || e.Mode == kMidiFixedParam;
  if (!knownMode || (needsParam && (e.Param < 0 || e.Param >= kModuleParams))) {
    MidiMapEntryInit(e);
    return;
  }
  if (e.Kind > kControllerEndlessBounded) {
    e.Kind = kControllerAuto;
    e.CentreCount = 0;
    e.SeenCount = 0;
  }
}

void ReadMapName(MidiMap& map, int32_t index, const unsigned char* p) {
  std::string name(reinterpret_cast<const char*>(p), strnlen(reinterpret_cast<const char*>(p), kMidiMapNameBytes));
  map.Slot = index;
  SetMapName(map, Trim(name));
}

// Reads the whole section before anything changes, so a short file leaves the
// maps as they were.
int32_t LoadSection(int32_t fileNumber, bool old) {
  if (!platform::FileIsOpen(fileNumber)) return -kErrBadParameter;
  const std::size_t record = old ? kMidiMapRecordSizeOld : kMidiMapRecordSize;
  std::vector<unsigned char> buffer(record * kMidiMapCount);
  std::size_t got = 0;
  int32_t rc = platform::FileGet(fileNumber, 0, buffer.data(), buffer.size(), &got);
  if (rc != 0) return rc;
  if (got < buffer.size()) return -kErrIncompatibleFile;
  platform::MutexGuard guard(MT_MIDIMAPS);
  for (int32_t i = 0; i < kMidiMapCount; ++i) {
    MidiMap& map = MidiMaps[i];
    const unsigned char* p = buffer.data() + record * i;
    ReadMapName(map, i, p);
    p += kMidiMapNameBytes;
    for (int32_t c = 0; c < kMidiControllers; ++c) {
      if (old) {
        ReadEntry(map.Entries[c][0], p);
        p += kMidiMapEntryBytes;
      } else {
        for (int32_t ch = 0; ch < kMidiChannels; ++ch) {
          ReadEntry(map.Entries[c][ch], p);
          p += kMidiMapEntryBytes;
        }
      }
    }
  }
  return 0;
}

}  // namespace

std::vector<unsigned char> MidiMapsBytes() {
  std::vector<unsigned char> buffer(static_cast<std::size_t>(kMidiMapRecordSize) * kMidiMapCount, 0);
  platform::MutexGuard guard(MT_MIDIMAPS);
  for (int32_t i = 0; i < kMidiMapCount; ++i) {
    const MidiMap& map = MidiMaps[i];
    unsigned char* p = buffer.data() + static_cast<std::size_t>(kMidiMapRecordSize) * i;
    std::memcpy(p, map.DeviceName, strnlen(map.DeviceName, kMidiMapNameBytes));
    p += kMidiMapNameBytes;
    for (int32_t c = 0; c < kMidiControllers; ++c) {
      for (int32_t ch = 0; ch < kMidiChannels; ++ch) {
        const MidiMapEntry& e = map.Entries[c][ch];
        p[0] = e.Mode;
        p[1] = e.Kind;
        p[2] = e.CentreCount;
        p[3] = e.SeenCount;
        PutI32(p + 4, MidiMapModuleRef(e));
        PutI32(p + 8, e.Param);
        p += kMidiMapEntryBytes;
      }
    }
  }
  return buffer;
}

int32_t SaveMidiMaps(int32_t fileNumber) {
  if (!platform::FileIsOpen(fileNumber)) return -kErrBadParameter;
  const std::vector<unsigned char> buffer = MidiMapsBytes();
  return platform::FilePut(fileNumber, 0, buffer.data(), buffer.size());
}

int32_t LoadMidiMaps(int32_t fileNumber) { return LoadSection(fileNumber, false); }

int32_t LoadMidiMapsOld(int32_t fileNumber) { return LoadSection(fileNumber, true); }

}  // namespace Tarvelo
