#include "engine/modulelist.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "basics/errors.h"
#include "basics/labels.h"
#include "basics/messages.h"
#include "engine/catalog/catalog.h"
#include "engine/command.h"
#include "engine/globals.h"
#include "engine/keyboard.h"
#include "engine/midimap.h"
#include "engine/midimap_hooks.h"
#include "engine/notes.h"

namespace Tarvelo {

using QUARLE_BASICS::kErrAllocation;
using QUARLE_BASICS::kErrBadParameter;

ModuleListRecord ModuleList;
RemovedModuleListRecord RemovedModuleList;

namespace {
// The order before the first rebuild: empty, never freed.
// one thread: start-up, never written
ModuleRecord* EmptyEntries[1] = {nullptr};
ProcessingOrderBlock EmptyOrder{EmptyEntries, 0, 1};

// A rebuild on the audio thread asked the interface to show the per-voice switch.
std::atomic<bool> g_perVoiceAsked{false};

// The order blocks that change hands while playback runs. The spare: put
// there by the interface (ProvideOrderRoom), taken by the render's rebuild
// when the current block has no room. The retired: the blocks the render
// replaced, freed by the interface (nothing walks them any more: the render
// loads the order afresh each frame, the interface walks it only while no
// command is pending).
std::atomic<ProcessingOrderBlock*> g_spareOrder{nullptr};
constexpr int32_t kRetiredSlots = 4;
std::atomic<ProcessingOrderBlock*> g_retiredOrders[kRetiredSlots] = {};

ProcessingOrderBlock* NewOrderBlock(int32_t capacity) {
  if (capacity < 1) capacity = 1;
  auto* block = static_cast<ProcessingOrderBlock*>(
      std::calloc(1, sizeof(ProcessingOrderBlock) + static_cast<size_t>(capacity) * sizeof(ModuleRecord*)));
  if (block == nullptr) return nullptr;
  block->Entries = reinterpret_cast<ModuleRecord**>(block + 1);
  block->Capacity = capacity;
  return block;
}

// Audio thread. Should every slot be full (the interface has not looked for
// a while and the synth grew each time), the block is kept for good rather
// than freed here.
void RetireOrderBlock(ProcessingOrderBlock* block) {
  for (std::atomic<ProcessingOrderBlock*>& slot : g_retiredOrders) {
    ProcessingOrderBlock* empty = nullptr;
    if (slot.compare_exchange_strong(empty, block, std::memory_order_acq_rel)) return;
  }
}

void FreeRetiredOrderBlocks() {
  for (std::atomic<ProcessingOrderBlock*>& slot : g_retiredOrders) std::free(slot.exchange(nullptr, std::memory_order_acq_rel));
}

// list count as the render thread may read it while the interface edits it
int32_t ListCount() { return std::atomic_ref<int32_t>(ModuleList.count).load(std::memory_order_relaxed); }
void SetListCount(int32_t n) { std::atomic_ref<int32_t>(ModuleList.count).store(n, std::memory_order_relaxed); }
// A listed module's index as the render's link command may read it meanwhile.
void StoreListIndex(ModuleRecord* m, int32_t i) {
  m->ListIndex.Store(i);
}
}  // namespace

std::atomic<uint64_t> InstallFrame{0};
// 0 is the mark of a module never placed.
std::atomic<uint64_t> OrderGeneration{1};

std::atomic<ProcessingOrderBlock*> ProcessingOrder{&EmptyOrder};
std::atomic<ModuleRecord*> SynthOutputModule{nullptr};
std::atomic<ModuleRecord*> CaptureModule{nullptr};
std::atomic<ModuleRecord*> CurrentKeyboard{nullptr};
ModuleRecord* SelectedModule = nullptr;
std::atomic<ModuleRecord*> SelectedModuleShown{nullptr};
ModuleBoxHooks BoxHooks{};

// ---------------------------------------------------------------- the lists

int32_t InitModuleLists() {
  FreeModuleLists();
  ModuleList.lock = platform::MutexCreate();
  RemovedModuleList.lock = platform::MutexCreate();
  if (ModuleList.lock == nullptr || RemovedModuleList.lock == nullptr) {
    FreeModuleLists();
    return -QUARLE_BASICS::kErrMutexCreate;
  }
  ModuleList.entries = static_cast<ModuleRecord**>(std::calloc(kModuleListInitialCapacity, sizeof(ModuleRecord*)));
  RemovedModuleList.entries =
      static_cast<RemovedEntry*>(std::calloc(kRemovedListInitialCapacity, sizeof(RemovedEntry)));
  if (ModuleList.entries == nullptr || RemovedModuleList.entries == nullptr) {
    FreeModuleLists();
    return -kErrAllocation;
  }
  ModuleList.capacity = kModuleListInitialCapacity;
  RemovedModuleList.capacity = kRemovedListInitialCapacity;
  // The render's first rebuild finds the empty order: it builds into this.
  g_spareOrder.store(NewOrderBlock(kModuleListInitialCapacity), std::memory_order_release);
  return 0;
}

static void FreeRemovedEntry(const RemovedEntry& e) {
  if (e.kind == 0)
    ModuleRecordDelete(static_cast<ModuleRecord*>(e.item));
  else
    std::free(e.item);
}

void FreeModuleLists() {
  // Shutdown: the audio thread is stopped, nothing walks the order any more.
  if (ModuleList.entries != nullptr) {
    for (int32_t i = 0; i < ModuleList.count; ++i) {
      ModuleRecordDelete(ModuleList.entries[i]);
      ModuleList.entries[i] = nullptr;
    }
  }
  std::free(ModuleList.entries);
  ModuleList.entries = nullptr;
  ModuleList.count = 0;
  ModuleList.capacity = 0;
  platform::MutexDestroy(ModuleList.lock);
  ModuleList.lock = nullptr;

  RemovedModuleList.next = 0;
  for (int32_t i = 0; i < RemovedModuleList.count; ++i) FreeRemovedEntry(RemovedModuleList.entries[i]);
  std::free(RemovedModuleList.entries);
  RemovedModuleList.entries = nullptr;
  RemovedModuleList.count = 0;
  RemovedModuleList.capacity = 0;
  platform::MutexDestroy(RemovedModuleList.lock);
  RemovedModuleList.lock = nullptr;

  ProcessingOrderBlock* order = ProcessingOrder.exchange(&EmptyOrder);
  if (order != &EmptyOrder) std::free(order);
  // No module is left in the order.
  OrderGeneration.fetch_add(1, std::memory_order_release);
  std::free(g_spareOrder.exchange(nullptr));
  FreeRetiredOrderBlocks();
  SynthOutputModule.store(nullptr);
  CaptureModule = nullptr;
  CurrentKeyboard.store(nullptr);
  SetSelectedModule(nullptr);
}

void SetSelectedModule(ModuleRecord* m) {
  SelectedModule = m;
  SelectedModuleShown.store(m, std::memory_order_release);
}

// The video thread's frame serial (odd while a frame draws); 0 without one.
static uint64_t VideoFrameSerial() {
  return BoxHooks.VideoFrameSerial != nullptr ? BoxHooks.VideoFrameSerial() : 0;
}

// Queues an item for freeing; false when the list cannot grow (the item is then
// kept allocated for good rather than freed too early).
static bool RemovedListAppend(void* item, int32_t kind) {
  // Taken once the module is out of the list and its box hidden: a frame that
  // starts later no longer draws it.
  const uint64_t video = kind == 0 ? VideoFrameSerial() : 0;
  platform::MutexGuard guard(RemovedModuleList.lock);
  RemovedModuleListRecord& r = RemovedModuleList;
  if (r.count == r.capacity) {
    int32_t capacity = r.capacity > 0 ? 2 * r.capacity : kRemovedListInitialCapacity;
    auto* entries = static_cast<RemovedEntry*>(std::calloc(capacity, sizeof(RemovedEntry)));
    if (entries == nullptr) return false;
    if (r.count > 0) std::memcpy(entries, r.entries, r.count * sizeof(RemovedEntry));
    std::free(r.entries);
    r.entries = entries;
    r.capacity = capacity;
  }
  r.entries[r.count++] = RemovedEntry{item, kind, video};
  return true;
}

// No walk of an older order can be in progress: the audio thread is outside the
// render callback, or it finished a frame after the current order went in.
static bool PastFrameBoundary() {
  if (RenderBusy.load() == 0) return true;
  return FrameCounter.load() > InstallFrame.load();
}

namespace {

// The removed modules that something still reaches. Only pointers are
// compared: what a kept module points at may be freed already.
// one thread: value
class ReachedModules {
  using ValueOf = std::pair<const ModuleRecord*, const ModuleRecord*>;  // port value, its module

 public:
  explicit ReachedModules(const RemovedModuleListRecord& r) {
    for (int32_t i = 0; i < r.count; ++i)
      if (r.entries[i].kind == 0) removed_.push_back(static_cast<const ModuleRecord*>(r.entries[i].item));
    std::sort(removed_.begin(), removed_.end());
    removed_.erase(std::unique(removed_.begin(), removed_.end()), removed_.end());
    reached_.assign(removed_.size(), 0);
    // Reading a module's port value reads into the module: it goes with it.
    for (const ModuleRecord* m : removed_)
      for (const ModuleRecord* v : m->PortValueModules)
        if (v != nullptr) values_.emplace_back(v, m);
    std::sort(values_.begin(), values_.end());
  }
  bool Empty() const { return removed_.empty(); }
  void Mark(const ModuleRecord* m) {
    const auto v = std::lower_bound(values_.begin(), values_.end(), ValueOf{m, nullptr});
    if (v != values_.end() && v->first == m) m = v->second;
    const auto it = std::lower_bound(removed_.begin(), removed_.end(), m);
    if (it == removed_.end() || *it != m) return;
    const size_t i = static_cast<size_t>(it - removed_.begin());
    if (reached_[i] != 0) return;
    reached_[i] = 1;
    pending_.push_back(removed_[i]);
  }
  // What a module reads and what reads it.
  void MarkLinksOf(const ModuleRecord& m) {
    const int32_t ports = std::min(m.ParamCount, kModuleParams);
    for (int32_t p = 0; p < ports; ++p) Mark(m.PortSources[p].Load());
    const int32_t targets = std::min(m.OutputCount.Load(), kOutputTargetSlots);
    for (int32_t i = 0; i < targets; ++i) Mark(m.OutputTargets[i]);
  }
  // A kept module keeps what it points at too.
  void Close() {
    while (!pending_.empty()) {
      const ModuleRecord* m = pending_.back();
      pending_.pop_back();
      MarkLinksOf(*m);
    }
  }
  bool Reached(const ModuleRecord* m) const {
    const auto it = std::lower_bound(removed_.begin(), removed_.end(), m);
    return it != removed_.end() && *it == m && reached_[static_cast<size_t>(it - removed_.begin())] != 0;
  }

 private:
  std::vector<const ModuleRecord*> removed_;
  std::vector<char> reached_;
  std::vector<const ModuleRecord*> pending_;
  std::vector<ValueOf> values_;
};

// A video frame that was drawing when the module went is over: the serial
// moved on, or no frame was in progress then.
bool VideoFramePassed(uint64_t atRemoval, uint64_t now) { return (atRemoval & 1) == 0 || now != atRemoval; }

}  // namespace

int32_t ReclaimRemovedModules() {
  FreeRetiredOrderBlocks();
  bool playing = PlaybackActive.load() != 0;
  // While a command is pending the audio thread may swap the order under us,
  // and the command itself may still name a removed module.
  if (playing && EngineCommandPending()) return RemovedModuleList.count;
  // A controller move still queued may name a removed module.
  if (ControllerMovesPending()) return RemovedModuleList.count;
  if (!PastFrameBoundary()) return RemovedModuleList.count;
  const ProcessingOrderBlock* order = ProcessingOrder.load(std::memory_order_acquire);
  const uint64_t video = VideoFrameSerial();
  std::vector<RemovedEntry> freeNow;
  {
    platform::MutexGuard guard(RemovedModuleList.lock);
    RemovedModuleListRecord& r = RemovedModuleList;
    // With no command pending nothing changes a link meanwhile: only this
    // thread edits the list and posts commands.
    ReachedModules reached(r);
    if (!reached.Empty()) {
      for (const ModuleRecord* m : {SynthOutputModule.load(), CaptureModule.load(), CurrentKeyboard.load(),
                                    SelectedModule, SelectedModuleShown.load()})
        reached.Mark(m);
      // The order and what the render reads through the links of its last rebuild.
      for (int32_t i = 0; order != nullptr && i < order->Count; ++i) {
        const ModuleRecord* m = order->Entries[i];
        reached.Mark(m);
        for (const ModuleRecord* link : {m->TriggerOwner.Load(), m->TriggerLink, m->VoiceFlagLink, m->ThirdLink})
          reached.Mark(link);
      }
      // Every listed module, and every template, whose tables name the
      // modules with global ports.
      for (int32_t i = 0; ModuleList.entries != nullptr && i < ModuleList.count; ++i)
        if (const ModuleRecord* m = ModuleList.entries[i]) reached.MarkLinksOf(*m);
      for (const ModuleRecord& t : ModuleCatalog) reached.MarkLinksOf(t);
      if (!playing)
        for (int32_t i = 0; i < r.count; ++i)
          if (r.entries[i].kind == 0 && EngineCommandReferences(static_cast<ModuleRecord*>(r.entries[i].item)))
            reached.Mark(static_cast<ModuleRecord*>(r.entries[i].item));
      reached.Close();
    }
    int32_t kept = 0;
    for (int32_t i = 0; i < r.count; ++i) {
      RemovedEntry e = r.entries[i];
      const bool hold = e.kind == 0 && (reached.Reached(static_cast<const ModuleRecord*>(e.item)) ||
                                        !VideoFramePassed(e.videoFrame, video));
      if (hold)
        r.entries[kept++] = e;
      else
        freeNow.push_back(e);
    }
    for (int32_t i = kept; i < r.count; ++i) r.entries[i] = RemovedEntry{nullptr, 0, 0};
    r.count = kept;
  }
  for (const RemovedEntry& e : freeNow) FreeRemovedEntry(e);
  return RemovedModuleList.count;
}

// ---------------------------------------------------------------- adding

static int32_t GrowListLocked() {
  int32_t capacity = ModuleList.capacity > 0 ? 2 * ModuleList.capacity : kModuleListInitialCapacity;
  auto* entries = static_cast<ModuleRecord**>(std::calloc(capacity, sizeof(ModuleRecord*)));
  if (entries == nullptr) return -kErrAllocation;
  if (ModuleList.count > 0) std::memcpy(entries, ModuleList.entries, ModuleList.count * sizeof(ModuleRecord*));
  std::free(ModuleList.entries);
  ModuleList.entries = entries;
  ModuleList.capacity = capacity;
  return 0;
}

int32_t AddModule(int32_t n, bool fromType, ModuleRecord** out) {
  if (out != nullptr) *out = nullptr;
  ReclaimRemovedModules();
  if (ModuleList.count == 0 && !fromType) return -kErrBadParameter;
  const ModuleRecord* source = nullptr;
  int32_t position = 0;
  int32_t instance = 1;
  {
    platform::MutexGuard guard(ModuleList.lock);
    if (ModuleList.count == ModuleList.capacity && GrowListLocked() != 0) return -kErrAllocation;
    if (n < 0) n = 0;
    if (fromType) {
      if (n > kModuleTypeCount - 1) n = kModuleTypeCount - 1;
      source = &ModuleCatalog[n];
    } else {
      if (n > ModuleList.count - 1) n = ModuleList.count - 1;
      source = ModuleList.entries[n];
      if (source == nullptr || source->Role >= kRoleTemplate) return -kErrBadParameter;
    }
    int32_t type = source->Type;
    position = ModuleList.count;
    for (int32_t i = ModuleList.count - 1; i >= 0; --i) {
      const ModuleRecord* e = ModuleList.entries[i];
      if (e != nullptr && e->Type == type) {
        position = i + 1;
        instance = e->InstanceNumber.Load() + 1;
        break;
      }
    }
    if (type == kTypeCapture && instance >= 2) return -kErrBadParameter;
    if ((type == kTypeKeyboard || type == kTypeOctaveBoard) && instance > kKeyboardBankSize)
      return -kErrBadParameter;
  }
  // The copy allocates a megabyte or so; the lock is not held meanwhile. Only
  // the interface thread adds and removes modules, so the position holds.
  ModuleRecord* m = ModuleRecordNew();
  if (m == nullptr) return -kErrAllocation;
  // A listed module's links, channels and polyphony are the rebuild's while
  // playback runs, and the copy enters itself in its sources' output tables;
  // a template's values are what a controller learned on its Catalog row moves
  // on the render: the copy is taken between two frames, or not at all.
  if (!HoldFramesOrGiveUp()) {
    ModuleRecordDelete(m);
    QUARLE_BASICS::Report(WaitingForAudioText(), QUARLE_BASICS::kLevelWarning);
    return kModuleNotHeld;
  }
  const int32_t copied = ModuleDuplicate(*m, *source);
  // A copy that failed half-way may already stand in its sources' tables.
  if (copied != 0) UnlinkModule(*m);
  ReleaseFrames();
  if (copied != 0) {
    ModuleRecordDelete(m);
    return -kErrAllocation;
  }
  m->ListIndex.Store(position);
  m->InstanceNumber.Store(instance);
  m->BoxControl.Store(0);
  if (m->Type == kTypeCapture) CaptureModule = m;
  if (m->Type == kTypeKeyboard || m->Type == kTypeOctaveBoard) m->MidiDeviceBinding.Store(0);
  if (m->Type == kTypeKeyboard && instance == CurrentKeyboardIndex.Load() + 1) CurrentKeyboard.store(m);
  {
    platform::MutexGuard guard(ModuleList.lock);
    int32_t count = ModuleList.count;
    ModuleList.entries[count] = m;
    for (int32_t i = count; i > position; --i) {
      ModuleRecord* tmp = ModuleList.entries[i - 1];
      ModuleList.entries[i - 1] = ModuleList.entries[i];
      ModuleList.entries[i] = tmp;
      StoreListIndex(tmp, i);
    }
    StoreListIndex(m, position);
    SetListCount(count + 1);
  }
  if (out != nullptr) *out = m;
  return position;
}

bool ModuleListed(const ModuleRecord* m) {
  return m == nullptr || m->Role != kRoleLive ||
         m->ListIndex.Load() >= 0;
}

int32_t NewModuleRecord(ModuleRecord** out, int32_t& type, int32_t listIndex) {
  if (type < 0) type = 0;
  if (type > kModuleTypeCount - 1) type = kModuleTypeCount - 1;
  if (out != nullptr) *out = nullptr;
  ModuleRecord* m = ModuleRecordNew();
  if (m == nullptr) return -kErrAllocation;
  int32_t copied = kModuleNotHeld;
  {
    // A controller learned on the type's Catalog row moves the template on
    // the render while playing: copied between two frames, or not at all.
    FrameHold hold;
    if (hold.held) copied = ModuleDuplicate(*m, ModuleCatalog[type]) != 0 ? -kErrAllocation : 0;
  }
  if (copied != 0) {
    ModuleRecordDelete(m);
    return copied;
  }
  m->ListIndex.Store(listIndex);
  if (out != nullptr) *out = m;
  return 0;
}

void CompactModuleList(int32_t n) {
  platform::MutexGuard guard(ModuleList.lock);
  if (n > ModuleList.capacity) n = ModuleList.capacity;
  int32_t kept = 0;
  for (int32_t i = 0; i < n; ++i) {
    ModuleRecord* m = ModuleList.entries[i];
    if (m == nullptr) continue;
    ModuleList.entries[i] = nullptr;
    ModuleList.entries[kept] = m;
    StoreListIndex(m, kept);
    if (m->BoxControl.Load() != 0 && BoxHooks.SetListIndex != nullptr) BoxHooks.SetListIndex(m->BoxControl.Load(), kept);
    ++kept;
  }
  SetListCount(kept);
}

// ---------------------------------------------------------------- removing

static std::string ModuleTitle(const ModuleRecord& m) {
  std::string title = QUARLE_BASICS::DynZStringGet(m.ShortName) + " " + std::to_string(m.InstanceNumber.Load());
  if (m.Type == kTypeOscillator) {
    int32_t shape = m.MidiDeviceBinding.Load();
    if (shape >= 0 && shape < kWaveShapeCount)
      title += " : " + QUARLE_BASICS::AbbreviateLabel(QUARLE_BASICS::DynZStringGet(WaveShapeTable[shape].Name), 0);
  }
  return title;
}

static void SwapBankEntries(Shared<KeyboardState*>* bank, platform::Mutex** voiceLocks, int32_t a, int32_t b) {
  if (a < 0 || b < 0 || a >= kKeyboardBankSize || b >= kKeyboardBankSize || a == b) return;
  // In entry order, as a release that looks for its moving state takes them all.
  platform::MutexLock(voiceLocks[std::min(a, b)]);
  platform::MutexLock(voiceLocks[std::max(a, b)]);
  // The render callback reads the entries without these locks.
  // Release: the renumbering's odd count is seen before the new entries.
  bank[b].Store(bank[a].Exchange(bank[b].Load(), std::memory_order_release), std::memory_order_release);
  platform::MutexUnlock(voiceLocks[std::max(a, b)]);
  platform::MutexUnlock(voiceLocks[std::min(a, b)]);
}

// Clears what points at a module that is going away.
static void ForgetModule(ModuleRecord* m) {
  if (CaptureModule == m) CaptureModule = nullptr;
  {
    // The MIDI thread reads the current keyboard, and the fields it routes
    // by, under the maps' lock: once this lets go it holds the module no more.
    platform::MutexGuard guard(MT_MIDIMAPS);
    ModuleRecord* expected = m;
    CurrentKeyboard.compare_exchange_strong(expected, nullptr);
  }
  if (SelectedModule == m) SetSelectedModule(nullptr);
  ClearMidiMapTargets(m);
  m->MidiMapped = 0;
}

void UnlinkModule(ModuleRecord& m) {
  // Unlinking a target also clears its entry in m's table; walking from the
  // end leaves the entries still to visit where they are. No copy: the audio
  // thread runs this too and must not allocate.
  for (int32_t i = m.OutputCount.Load() - 1; i >= 0; --i) {
    if (i >= m.OutputCount.Load()) continue;
    ModuleRecord* t = m.OutputTargets[i];
    if (t == nullptr || t == &m) continue;
    int32_t port = m.OutputTargetPorts[i];
    ModuleLinkInput(*t, port, nullptr, &ModuleCatalog[t->Type < 0 || t->Type >= kModuleTypeCount ? 0 : t->Type]);
    // A target that no longer reads m from that port keeps m's entry: drop it.
    if (i < m.OutputCount.Load() && m.OutputTargets[i] == t) m.OutputTargets[i] = nullptr;
  }
  for (int32_t p = 0; p < m.ParamCount && p < kModuleParams; ++p) {
    ModuleRecord* s = m.PortSources[p].Load();
    if (s == nullptr) continue;
    if (s != &m && s->Role == kRoleLive) {
      ModuleDisconnectOutput(*s, &m, p);
    } else if (m.Params[p].Global.Load() != 0 && m.Type >= 0 && m.Type < kModuleTypeCount) {
      ModuleDisconnectOutput(ModuleCatalog[m.Type], &m, p);
    }
  }
}

void RemoveModule(ModuleRecord* m) {
  if (m == nullptr) return;
  // Its recording ends first, with what it holds: the entry stays behind.
  EndRecordings(m);
  if (m->BoxControl.Load() != 0 && BoxHooks.Hide != nullptr) BoxHooks.Hide(m->BoxControl.Load());
  // The rebuild on the audio thread reads the switch.
  m->ModuleSwitches[kSwitchPower].Store(0);
  if (BoxHooks.DropHalfLink != nullptr) BoxHooks.DropHalfLink(m);
  PostUnlinkModule(m);

  ForgetModule(m);
  if ((m->Type == kTypeKeyboard || m->Type == kTypeOctaveBoard) && m->InstanceNumber.Load() >= 1 &&
      m->InstanceNumber.Load() <= kKeyboardBankSize) {
    int32_t k = m->InstanceNumber.Load() - 1;
    bool keyboard = m->Type == kTypeKeyboard;
    KeyboardState* state = keyboard ? KeyboardStates[k].Load() : OctaveBoardStates[k].Load();
    platform::Mutex* voices = keyboard ? KeyboardVoiceLocks[k] : OctaveBoardVoiceLocks[k];
    platform::Mutex* keys = keyboard ? KeyboardKeyLocks[k] : OctaveBoardKeyLocks[k];
    if (state != nullptr) {
      platform::MutexLock(voices);
      ReleaseHeldKeys(*state, keys);
      platform::MutexUnlock(voices);
    }
  }

  // one thread: value
  struct Retitle {
    ModuleRecord* module;
    int32_t from;
  };
  std::vector<Retitle> renumbered;
  {
    platform::MutexGuard guard(ModuleList.lock);
    // The MIDI thread reads a keyboard's number and plays its note in one
    // section under the maps' lock, and the render trusts a number and its
    // entry only outside a renumbering: the numbers and the bank entries
    // change together for both.
    platform::MutexGuard maps(MT_MIDIMAPS);
    const bool keyboards = m->Type == kTypeKeyboard || m->Type == kTypeOctaveBoard;
    if (keyboards) BeginKeyboardRenumbering();
    int32_t index = m->ListIndex.Load();
    int32_t count = ModuleList.count;
    if (index >= 0 && index < count && ModuleList.entries[index] == m) {
      for (int32_t i = index; i < count - 1; ++i) {
        ModuleList.entries[i] = ModuleList.entries[i + 1];
        StoreListIndex(ModuleList.entries[i], i);
      }
      ModuleList.entries[count - 1] = nullptr;
      SetListCount(count - 1);
      int32_t number = 1;
      for (int32_t i = 0; i < ModuleList.count; ++i) {
        ModuleRecord* e = ModuleList.entries[i];
        if (e == nullptr || e->Type != m->Type) continue;
        renumbered.push_back(Retitle{e, e->InstanceNumber.Load()});
        // A keyboard's processing reads its number to find its bank entry.
        e->InstanceNumber.Store(number++, std::memory_order_release);
      }
      // A state moves with its keyboard: entry (new number - 1) takes it.
      for (const Retitle& r : renumbered) {
        ModuleRecord* e = r.module;
        if (r.from == e->InstanceNumber.Load()) continue;
        if (e->Type == kTypeKeyboard)
          SwapBankEntries(KeyboardStates, KeyboardVoiceLocks, r.from - 1, e->InstanceNumber.Load() - 1);
        else if (e->Type == kTypeOctaveBoard)
          SwapBankEntries(OctaveBoardStates, OctaveBoardVoiceLocks, r.from - 1, e->InstanceNumber.Load() - 1);
      }
    }
    if (keyboards) EndKeyboardRenumbering();
  }
  for (const Retitle& r : renumbered) {
    ModuleRecord* e = r.module;
    if (e->BoxControl.Load() != 0 && BoxHooks.Retitle != nullptr) BoxHooks.Retitle(e->BoxControl.Load(), ModuleTitle(*e));
  }

  CablesDirty.store(-1);
  ModuleRecord* entry = m;
  DetachModule(&entry);
  if (BoxHooks.RaisePurge != nullptr) BoxHooks.RaisePurge();
  ReclaimRemovedModules();
}

int32_t DetachModule(ModuleRecord** entry) {
  if (entry == nullptr || *entry == nullptr) return -1;
  ModuleRecord* m = *entry;
  if (m->BoxControl.Load() != 0) {
    if (BoxHooks.Hide != nullptr) BoxHooks.Hide(m->BoxControl.Load());
    if (BoxHooks.MarkForDeletion != nullptr) BoxHooks.MarkForDeletion(m->BoxControl.Load());
    m->BoxControl.Store(0);
  }
  StoreListIndex(m, -1);
  // Without room to wait in, the module stays allocated: never freed early.
  RemovedListAppend(m, 0);
  *entry = nullptr;
  return -1;
}

void ClearSynth() {
  EndRecordings();
  RequestGraphRebuild(~uint64_t{0}, 0, nullptr);
  CaptureModule = nullptr;
  std::vector<ModuleRecord*> modules;
  {
    platform::MutexGuard guard(ModuleList.lock);
    for (int32_t i = 0; i < ModuleList.count; ++i) {
      if (ModuleList.entries[i] != nullptr) modules.push_back(ModuleList.entries[i]);
      ModuleList.entries[i] = nullptr;
    }
    SetListCount(0);
  }
  for (ModuleRecord* m : modules) {
    // As a removal does: a half-drawn link must not outlive its module.
    if (BoxHooks.DropHalfLink != nullptr) BoxHooks.DropHalfLink(m);
    ForgetModule(m);
    DetachModule(&m);
  }
  CablesDirty.store(-1);
  if (BoxHooks.RaisePurge != nullptr) BoxHooks.RaisePurge();
  ReclaimRemovedModules();
}

static int32_t ModuleByY(bool lowest) {
  if (BoxHooks.Visible == nullptr || BoxHooks.BoxY == nullptr) return -1;
  int32_t best = -1;
  int32_t bestY = 0;
  for (int32_t i = 0; i < ModuleList.count; ++i) {
    const ModuleRecord* m = ModuleList.entries[i];
    if (m == nullptr || m->BoxControl.Load() == 0 || BoxHooks.Visible(m->BoxControl.Load()) != -1) continue;
    int32_t y = BoxHooks.BoxY(m->BoxControl.Load());
    if (best < 0 || (lowest ? y > bestY : y < bestY)) {
      best = i;
      bestY = y;
    }
  }
  return best;
}

int32_t FirstModuleByY() { return ModuleByY(false); }
int32_t LastModuleByY() { return ModuleByY(true); }

// ---------------------------------------------------------------- the order

bool ModuleInCurrentOrder(const ModuleRecord* m) {
  if (m == nullptr) return false;
  const uint64_t current = OrderGeneration.load(std::memory_order_acquire);
  return m->PlacedInOrder.Load(std::memory_order_acquire) >= current;
}

void ProvideOrderRoom() {
  FreeRetiredOrderBlocks();
  int32_t wanted = std::max(ModuleList.capacity, ListCount());
  // The render replaces the order only by a command this thread posted: a
  // block loaded here stays until this thread frees it.
  const ProcessingOrderBlock* current = ProcessingOrder.load(std::memory_order_acquire);
  if (current != &EmptyOrder && current->Capacity >= wanted) return;
  const ProcessingOrderBlock* spare = g_spareOrder.load(std::memory_order_acquire);
  if (spare != nullptr && spare->Capacity >= wanted) return;
  ProcessingOrderBlock* grown = NewOrderBlock(wanted);
  if (grown == nullptr) return;  // the render's rebuild keeps to the room it has
  // A spare the render did not take is this thread's again.
  std::free(g_spareOrder.exchange(grown, std::memory_order_acq_rel));
}

bool ModuleInOrder(const ProcessingOrderBlock* order, const ModuleRecord* m) {
  if (order == nullptr || m == nullptr) return false;
  for (int32_t i = 0; i < order->Count; ++i)
    if (order->Entries[i] == m) return true;
  return false;
}

static bool InArray(ModuleRecord* const* array, int32_t n, const ModuleRecord* m) {
  for (int32_t i = 0; i < n; ++i)
    if (array[i] == m) return true;
  return false;
}

int32_t ComputeModuleDepth(ModuleRecord* parent, ModuleRecord* m, ModuleRecord** array, int32_t& n,
                           int32_t capacity) {
  if (m == nullptr || m->Role >= kRoleTemplate) return 0;
  if (m->OrderVisiting != 0) return -1;
  if (InArray(array, n, m)) return 0;
  if (parent != m && parent != nullptr && parent->ProcessingDepth >= m->ProcessingDepth)
    m->ProcessingDepth = parent->ProcessingDepth + 1;
  m->TriggerOwner.Store(m);
  const int64_t power = m->ModuleSwitches[kSwitchPower].Load();
  int64_t excluded = power == 0 ? -1 : 0;
  if (m->RequiresPortLink != 0 && m->RequiredPort >= 0 && m->RequiredPort < kModuleParams) {
    const ModuleRecord* s = m->PortSources[m->RequiredPort].Load();
    if (s == nullptr || s->Role > kRoleLive) excluded = -1;
  }
  // A module reached through a link that no listed module should have (the
  // array is sized by the list) is treated like an excluded one.
  if (excluded == 0 && n >= capacity) excluded = -1;
  m->OrderExcluded.Store(excluded);
  if (m->OrderExcluded.Load() != 0) {
    // A module reading this one on its lead port copies these links: links of
    // an older rebuild may name a module removed since.
    m->TriggerLink = nullptr;
    m->VoiceFlagLink = nullptr;
    m->ThirdLink = nullptr;
    if (power == 0)
      ModuleResetVoices(*m);
    else
      std::memset(m->Outputs, 0, sizeof(m->Outputs));
    return 0;
  }
  array[n++] = m;
  int32_t k = m->OutputChannels.Load();
  m->OrderVisiting = -1;
  m->PerVoiceOutput = 0;
  m->PolyphonyChanged = 0;
  m->ChannelsGrew = 0;
  m->HasFeedbackInput = 0;
  m->TriggerLink = nullptr;
  m->VoiceFlagLink = nullptr;
  m->ThirdLink = nullptr;
  for (int32_t p = 0; p < m->PortCount && p < kModuleParams; ++p) {
    ModuleRecord* s = m->PortSources[p].Load();
    int32_t r = ComputeModuleDepth(m, s, array, n, capacity);
    m->Params[p].FeedbackPort.Store(r);
    m->HasFeedbackInput |= r;
    if (s != nullptr && m->Params[p].ChannelCountExempt == 0 && s->ChannelsProcessed.Load() > k) k = s->ChannelsProcessed.Load();
  }
  ModuleUpdateChannels(*m, k, 0);
  ModuleUpdatePolyphony(*m, 0);
  int32_t lead = m->VoiceMapSourcePort.Load();
  if (m->PortCount > 0 && m->PolyphonyCapability > 0 && lead >= 0 && lead < kModuleParams &&
      m->PortSources[lead].Load() != nullptr) {
    ModuleRecord* s = m->PortSources[lead].Load();
    if (m->Params[lead].FeedbackPort.Load() != 0) {
      if (m->VoiceOwner == 0) m->TriggerLink = s;
      if (m->VoiceFlagRoot == 0) m->VoiceFlagLink = s;
    } else {
      if (m->VoiceOwner == 0) m->TriggerLink = s->VoiceOwner != 0 ? s : s->TriggerLink;
      if (m->VoiceFlagRoot == 0) m->VoiceFlagLink = s->VoiceFlagRoot == -1 ? s : s->VoiceFlagLink;
    }
  }
  m->OrderVisiting = 0;
  return 0;
}

void SortModulesByDepth(ModuleRecord** a, int32_t lo, int32_t hi) {
  if (hi - lo < 1) return;
  int32_t p = (lo + hi) / 2;
  int32_t i = lo;
  int32_t j = hi;
  while (i <= p && j >= p) {
    while (i <= p && a[i]->ProcessingDepth < a[p]->ProcessingDepth) ++i;
    while (j >= p && a[j]->ProcessingDepth > a[p]->ProcessingDepth) --j;
    ModuleRecord* tmp = a[i];
    a[i] = a[j];
    a[j] = tmp;
    ++i;
    --j;
    if (i - 1 == p) {
      ++j;
      p = j;
    } else if (j + 1 == p) {
      --i;
      p = i;
    }
  }
  SortModulesByDepth(a, lo, p - 1);
  SortModulesByDepth(a, p + 1, hi);
}

static bool PerVoice(const ModuleRecord* m) { return m != nullptr && m->ModuleSwitches[kSwitchPerVoice].Load() != 0; }

// The block the audio thread's rebuild writes: the current one while it
// has room for every listed module, else the interface's spare. Null only
// when neither can be written (the old order then stays in force).
static ProcessingOrderBlock* RenderOrderBlock(ProcessingOrderBlock* current, int32_t needed) {
  if (current != &EmptyOrder && current->Capacity >= needed) return current;
  ProcessingOrderBlock* spare = g_spareOrder.exchange(nullptr, std::memory_order_acq_rel);
  if (spare != nullptr && (spare->Capacity >= needed || current == &EmptyOrder)) return spare;
  // Neither has room (the interface had none to give): the modules beyond
  // the room are left out, as from an overfull order.
  if (spare != nullptr) RetireOrderBlock(spare);
  return current != &EmptyOrder ? current : nullptr;
}

static void RebuildOrder(uint64_t argument, bool onRender) {
  ModuleRecord* capture = CaptureModule.load();
  bool wasLive = capture != nullptr && IsModuleLive(capture, 1) == 1;

  const int32_t needed = std::max(ListCount(), 1);
  ProcessingOrderBlock* const current = ProcessingOrder.load(std::memory_order_acquire);
  ProcessingOrderBlock* const block = onRender ? RenderOrderBlock(current, needed) : NewOrderBlock(needed);
  if (block == nullptr) return;  // the old order stays in force
  const int32_t capacity = block->Capacity;
  ModuleRecord** array = block->Entries;
  int32_t n = 0;

  ModuleRecord* out = SynthOutputModule.load();
  if (out != nullptr) {
    out->ProcessingDepth = 0;
    ComputeModuleDepth(out, out, array, n, capacity);
    if (n > 1) SortModulesByDepth(array, 0, n - 1);
    for (int32_t j = n - 1; j >= 0; --j) {
      ModuleRecord* m = array[j];
      ModuleUpdateChannels(*m, -1, -1);
      ModuleUpdatePolyphony(*m, -1);
      if (PerVoice(m)) {
        ModuleRecord* t = m->TriggerLink;
        if (PerVoice(t)) {
          if (t->VoiceOwner == 0 && PerVoice(t->TriggerLink)) t = t->TriggerLink;
          m->TriggerOwner.Store(t->TriggerOwner.Load());
        }
        ModuleRecord* u = m->VoiceFlagLink;
        if (PerVoice(u)) {
          if (u->VoiceFlagRoot == 0 && PerVoice(u->VoiceFlagLink)) u = u->VoiceFlagLink;
          m->PerVoiceOutput = u->PerVoiceOutput;
        }
      } else if (m->PolyphonyCapability > 0 && m->VoiceOwner != 0 && m->VoiceIds != nullptr) {
        m->VoiceIds[0] = 0;
      }
      ModuleChooseSteadyPorts(*m);
    }
  } else if (argument != 0) {
    // On the audio thread the list may be growing: skip rather than wait.
    bool locked = onRender ? platform::MutexTryLock(ModuleList.lock) : (platform::MutexLock(ModuleList.lock), true);
    if (locked) {
      for (int32_t i = 0; i < ModuleList.count; ++i)
        if (ModuleList.entries[i] != nullptr) ModuleResetVoices(*ModuleList.entries[i]);
      platform::MutexUnlock(ModuleList.lock);
    }
  }
  block->Count = n;

  // The marks first, then the count that makes them current: a module in
  // both orders reads as live throughout.
  const uint64_t generation = OrderGeneration.load(std::memory_order_relaxed) + 1;
  for (int32_t j = 0; j < n; ++j) array[j]->PlacedInOrder.Store(generation, std::memory_order_relaxed);
  if (block != current) ProcessingOrder.store(block, std::memory_order_release);
  OrderGeneration.store(generation, std::memory_order_release);
  InstallFrame.store(FrameCounter.load());
  if (block != current && current != &EmptyOrder) {
    // The audio thread walks no order but the one it loads after this; the
    // interface frees what it let go of. Elsewhere a render callback may
    // still be walking the old block (should the list not grow, the block is
    // kept for good rather than freed early).
    if (onRender)
      RetireOrderBlock(current);
    else if (RenderBusy.load() == 0)
      std::free(current);
    else
      RemovedListAppend(current, 1);
  }

  if (capture != nullptr && !wasLive && IsModuleLive(capture, 1) == 1) CaptureResync.store(-1);
  // The page's switch is the interface's: from the audio thread it is asked for.
  if (!onRender)
    PublishSelectedPerVoice();
  else if (!g_perVoiceAsked.exchange(true) && (BoxHooks.AskPerVoice == nullptr || !BoxHooks.AskPerVoice()))
    g_perVoiceAsked.store(false);
}

void PublishSelectedPerVoice() {
  g_perVoiceAsked.store(false);
  const ModuleRecord* m = SelectedModule;
  if (m != nullptr && BoxHooks.PublishPerVoice != nullptr)
    BoxHooks.PublishPerVoice(
        m->ModuleSwitches[kSwitchPerVoice].Load());
}

void UpdateProcessingOrder(uint64_t argument) {
  RebuildOrder(argument, false);
  ReclaimRemovedModules();
}

void UpdateProcessingOrderOnRender(uint64_t argument) { RebuildOrder(argument, true); }

}  // namespace Tarvelo
