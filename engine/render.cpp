#include "engine/render.h"

#include <atomic>
#include <bit>

#include "audio/audio.h"
#include "engine/command.h"
#include "engine/dsp/contract.h"
#include "engine/globals.h"
#include "engine/keyboard.h"
#include "engine/midimap.h"
#include "engine/modulelist.h"

namespace Tarvelo {

using QUARLE_AUDIO::LevelMeter;
using QUARLE_AUDIO::LevelMeterFeed;

LevelMeter OutputLevelSums[2] = {};
LevelMeter InputLevelSums[2] = {};
int32_t OutputMeterCount = 0;

namespace {

// Keyboard changes: the voice lists are rebuilt under each bank's voices lock,
// and only where something is pending. The banks are looked through only when
// a Pending word was posted since the last look, and every 1024 frames anyway
// (a word set without posting waits at most that long). Audio thread only.
// one thread: audio
uint32_t KeyboardPendingSeen = ~0u;
int32_t FramesToKeyboardSweep = 1024;

[[gnu::noinline]] void SweepKeyboards() {
  // Removing a keyboard may swap two bank entries under their voices locks:
  // an entry is peeked at without the lock and read again under it.
  for (int32_t k = 0; k < kKeyboardBankSize; ++k) {
    const KeyboardState* kb = KeyboardStates[k].Load();
    if (kb != nullptr && kb->Pending.Load() != kPendingTaken) {
      platform::MutexLock(KeyboardVoiceLocks[k]);
      VoiceListRebuild(*KeyboardStates[k].Load(), KeyboardKeyLocks[k]);
      platform::MutexUnlock(KeyboardVoiceLocks[k]);
    }
    const KeyboardState* ob = OctaveBoardStates[k].Load();
    if (ob != nullptr && ob->Pending.Load() != kPendingTaken) {
      platform::MutexLock(OctaveBoardVoiceLocks[k]);
      VoiceListRebuild(*OctaveBoardStates[k].Load(), OctaveBoardKeyLocks[k]);
      platform::MutexUnlock(OctaveBoardVoiceLocks[k]);
    }
  }
}

// toSweep: the frames left to the next sweep, which the render callback keeps
// in a register for a call (FramesToKeyboardSweep between calls).
inline void TakeKeyboardChanges(int32_t& toSweep) {
  const uint32_t posted = KeyboardPendingCount.load(std::memory_order_acquire);
  if (posted == KeyboardPendingSeen && --toSweep > 0) [[likely]]
    return;
  KeyboardPendingSeen = posted;
  toSweep = 1024;
  SweepKeyboards();
}

// Sum of the output module's voices on one channel row, added in voice order:
// n voices jump into a run of 32 single additions n from its end (a
// vectorized in-order sum costs more than it saves; a loop or a switch costs
// a jump or more per voice).
// n: the voices, 0 .. 32.
[[gnu::noinline]] float MixVoices(const OutputElement* e, int32_t n) {
  static_assert(kVoices == 32);
  static const void* const kFirstVoice[kVoices + 1] = {
      &&v0, &&v1, &&v2, &&v3, &&v4, &&v5, &&v6, &&v7,
      &&v8, &&v9, &&v10, &&v11, &&v12, &&v13, &&v14, &&v15,
      &&v16, &&v17, &&v18, &&v19, &&v20, &&v21, &&v22, &&v23,
      &&v24, &&v25, &&v26, &&v27, &&v28, &&v29, &&v30, &&v31,
      &&v32};
  const OutputElement* const end = e + n;
  float sum = 0.0f;
  goto *kFirstVoice[n];
v32:
  sum = sum + end[-32].Level;
v31:
  sum = sum + end[-31].Level;
v30:
  sum = sum + end[-30].Level;
v29:
  sum = sum + end[-29].Level;
v28:
  sum = sum + end[-28].Level;
v27:
  sum = sum + end[-27].Level;
v26:
  sum = sum + end[-26].Level;
v25:
  sum = sum + end[-25].Level;
v24:
  sum = sum + end[-24].Level;
v23:
  sum = sum + end[-23].Level;
v22:
  sum = sum + end[-22].Level;
v21:
  sum = sum + end[-21].Level;
v20:
  sum = sum + end[-20].Level;
v19:
  sum = sum + end[-19].Level;
v18:
  sum = sum + end[-18].Level;
v17:
  sum = sum + end[-17].Level;
v16:
  sum = sum + end[-16].Level;
v15:
  sum = sum + end[-15].Level;
v14:
  sum = sum + end[-14].Level;
v13:
  sum = sum + end[-13].Level;
v12:
  sum = sum + end[-12].Level;
v11:
  sum = sum + end[-11].Level;
v10:
  sum = sum + end[-10].Level;
v9:
  sum = sum + end[-9].Level;
v8:
  sum = sum + end[-8].Level;
v7:
  sum = sum + end[-7].Level;
v6:
  sum = sum + end[-6].Level;
v5:
  sum = sum + end[-5].Level;
v4:
  sum = sum + end[-4].Level;
v3:
  sum = sum + end[-3].Level;
v2:
  sum = sum + end[-2].Level;
v1:
  sum = sum + end[-1].Level;
v0:
  return sum;
}

inline void AdvanceCaptureRead() {
  CaptureReadIndex += CaptureRingChannels;
  if (CaptureReadIndex >= CaptureRingSize) CaptureReadIndex = 0;
  // The reader caught up with the writer: the next block realigns it.
  if (CaptureReadIndex == CaptureWriteIndex) CaptureResync.store(-1, std::memory_order_relaxed);
}

}  // namespace

namespace {

// What a module's port walk found.
// one thread: value
struct PortWalk {
  int32_t toCompute;   // the voices to compute, as far as the ports tell
  int32_t leadVoices;  // the lead port's source's voices
  bool blocked;        // a port without any source
  bool seeded;         // a feedback source without voices was seeded
};

// Chooses the voice-map rows of the ports that may change (steady ones, see
// ModuleChooseSteadyPorts, would change nothing), in port order, and counts
// the voices to compute. `steady` and `leadPort` as read for this frame.
inline PortWalk WalkPorts(ModuleRecord* m, uint64_t steady, int32_t leadPort) {
  PortWalk w{0, 0, false, false};
  const int32_t ports = m->PortCount < kModuleParams ? m->PortCount : kModuleParams;
  if (ports <= 0) return w;
  int32_t lead = leadPort;
  if (static_cast<uint32_t>(lead) >= static_cast<uint32_t>(ports)) lead = 0;
  const ModuleRecord* leadSource = m->PortSources[lead].LoadSettled();
  w.leadVoices = leadSource != nullptr ? leadSource->ActiveVoices.LoadSettled() : 0;
  w.toCompute = w.leadVoices;
  uint64_t walk = (ports >= 64 ? ~uint64_t{0} : (uint64_t{1} << ports) - 1) & ~steady;
  for (; walk != 0; walk &= walk - 1) {
    const int32_t p = std::countr_zero(walk);
    const ModuleRecord* s = m->PortSources[p].LoadSettled();
    if (s == nullptr) {
      // A port without any source (its value module could not be made)
      // cannot be read: the module does not run.
      w.blocked = true;
      w.toCompute = 0;
      break;
    }
    ModuleParam& param = m->Params[p];
    // Written only when it changes: the row rarely does, and the entry's
    // cache line then stays clean.
    const int32_t row = (s->ActiveVoices.LoadSettled() == 1 && s->PerVoiceOutput == 0) ? 0 : 1;
    if (param.VoiceMapRow != row) param.VoiceMapRow = row;
    if (s->ActiveVoices.LoadSettled() == 0) {
      if (param.FeedbackPort.Load() != 0) {
        SeedFeedbackSource(*m, p);
        w.seeded = true;
      } else {
        w.toCompute = 0;
        if (!(m->RunsWithoutVoices != 0 && m->HasFeedbackInput != 0)) break;
      }
    }
  }
  return w;
}

// The rest of a frame of a module with voices to compute (toCompute > 0), or
// of one that runs without voices with none to compute (see WalkAgain).
[[gnu::always_inline]] inline void FinishComputingFrame(ModuleRecord* m, int32_t toCompute, uint64_t frameCounter,
                                                        int32_t parity, int32_t previousParity) {
  m->VoicesToCompute = toCompute;
  const int32_t mode = m->PolyphonyMode.Load();  // once for the frame (see RunRememberedOrder)
  if (m->TriggerOwner.LoadSettled() == m) ClearTriggerBuffer(*m, parity, mode);
  if ((m->ModuleSwitches[kSwitchPlay].LoadSettled() | m->ModuleSwitches[kSwitchRecord].LoadSettled()) != 0 &&
      (toCompute + m->ActiveVoices.LoadSettled() > 0 || m->RunsWithoutVoices != 0)) [[likely]] {
    if (m->Awake == 0) [[unlikely]]
      ModuleWake(*m);
    m->ProcessFunctions[mode & 1](m, frameCounter, parity, previousParity);
    const int32_t active = m->ActiveVoices.LoadSettled();
    if (active < m->PreviousActiveVoices) [[unlikely]]
      ClearDroppedVoices(*m, m->PreviousActiveVoices);
    m->PreviousActiveVoices = active;
  } else if (m->Awake != 0) {
    ModuleReset(*m);
  }
}

// The rest of a module's frame: the voices to compute, then the module runs
// or sleeps.
[[gnu::always_inline]] inline void FinishModuleFrame(ModuleRecord* m, const PortWalk& w, uint64_t frameCounter,
                                                     int32_t parity, int32_t previousParity) {
  int32_t toCompute = w.toCompute;
  if (toCompute > 0) [[likely]] {
    FinishComputingFrame(m, toCompute, frameCounter, parity, previousParity);
    return;
  }
  if (toCompute == 0) {
    if (m->HasFeedbackInput != 0 && m->ModuleSwitches[kSwitchFeedbackVoice].Load() != 0) {
      toCompute = 1;
    } else if (m->RunsWithoutVoices == 0 && m->KeepsVoices == 0) {
      // Nothing to compute and no voices left: the module sleeps.
      m->ActiveVoices.Store(0);
      m->VoicesToCompute = 0;
      if (m->TriggerOwner.LoadSettled() == m) ClearTriggerBuffer(*m, parity);
      if (m->Awake != 0) ModuleReset(*m);
      return;
    } else if (m->KeepsVoices != 0 && w.leadVoices > 0) {
      m->ActiveVoices.Store(0);
    }
  }
  m->VoicesToCompute = toCompute;
  const int32_t mode = m->PolyphonyMode.Load();
  if (m->TriggerOwner.LoadSettled() == m) ClearTriggerBuffer(*m, parity, mode);

  const bool switched = (m->ModuleSwitches[kSwitchPlay].LoadSettled() | m->ModuleSwitches[kSwitchRecord].LoadSettled()) != 0;
  // Voices to compute mean that no port blocked the module.
  const bool runs = switched && (toCompute > 0 ? (toCompute + m->ActiveVoices.LoadSettled() > 0 || m->RunsWithoutVoices != 0)
                                               : (!w.blocked && (m->RunsWithoutVoices != 0 || toCompute + m->ActiveVoices.LoadSettled() > 0)));
  if (runs) {
    if (m->Awake == 0) ModuleWake(*m);
    m->ProcessFunctions[mode & 1](m, frameCounter, parity, previousParity);
    const int32_t active = m->ActiveVoices.LoadSettled();
    if (active < m->PreviousActiveVoices) ClearDroppedVoices(*m, m->PreviousActiveVoices);
    m->PreviousActiveVoices = active;
  } else if (m->Awake != 0) {
    ModuleReset(*m);
  }
}

// A module's walk as the render loop remembers it, by the module's place in
// the order. A walk reads the module's ports and steady ports, which change
// only with a rebuild (a new order, InstallFrame) or a port change
// (PortChanges: links, forgotten steady ports, voices reset outside a frame,
// a new lead port: ModuleSetPolyphonyPort, a module loaded in place), and its
// sources' voice counts, which change only when a module's frame ends with
// other voices than the frame before. While none of this happened since the
// last frame, nor yet in this one, the walk would find what it found last
// time and write nothing new. A source processed after its
// reader was read as the frame before left it: after a change the next frame
// walks again too. Audio thread only.
// one thread: audio
struct WalkMemo {
  ModuleRecord* module;  // the order's entry
  // The voices to compute when the quick frame (RunRememberedOrder) will do,
  // else kFinishes or kWalksAgain.
  int32_t quick;
  int32_t endVoices;     // the module's voices at the end of its last frame (at
                         // the start of the frame for the first frame walked)
  PortWalk walk;
};
// FinishModuleFrame with the remembered walk.
constexpr int32_t kFinishes = -1;
// Walked again in every frame: a seeded feedback source is seeded again in
// every frame it has no voices.
constexpr int32_t kWalksAgain = -2;
constexpr int32_t kWalkMemos = 1024;
// Entry j's memo is WalkMemos[j + 1]; WalkMemos[0] stays empty and ends the
// walk down the order.
WalkMemo WalkMemos[kWalkMemos + 1];
// The order the memos hold walks of, and its count; Forgotten (never an
// installed order, nor null) after a frame that changed voices (the next one
// walks again), after a frame run outside the loop and for an order too long
// to remember.
const ProcessingOrderBlock Forgotten{};
// one thread: audio
const ProcessingOrderBlock* MemoOrder = &Forgotten;
uint32_t MemoPortChanges = 0;
WalkMemo* MemoTop = WalkMemos;  // WalkMemos + the order's count

// Walks a module's ports again and remembers what it found.
[[gnu::always_inline]] inline void WalkAgain(ModuleRecord* m, WalkMemo& memo) {
  memo.module = m;
  memo.walk = WalkPorts(m, ModuleSteadyPorts(*m), m->VoiceMapSourcePort.Load());
  // FinishComputingFrame does all FinishModuleFrame would: voices to
  // compute, or none for a module that runs without (a Keyboard) and keeps
  // nothing else in mind (a rebuild decides HasFeedbackInput and walks again).
  const bool computes = memo.walk.toCompute > 0 ||
                        (memo.walk.toCompute == 0 && !memo.walk.blocked && m->RunsWithoutVoices != 0 &&
                         m->KeepsVoices == 0 && m->HasFeedbackInput == 0);
  memo.quick = memo.walk.seeded ? kWalksAgain : (computes ? memo.walk.toCompute : kFinishes);
}

// After a module's frame run another way than the quick one: its voices, and
// whether the quick frame may follow. That frame starts with these voices
// (any other change walks again): it leaves the earlier voices
// (PreviousActiveVoices) alone while the voices stay, so they must be the
// same, and it takes the module to have voices to run with.
// True when the voices changed (the next frame walks again).
[[gnu::always_inline]] inline bool EndWalkedFrame(const ModuleRecord* m, WalkMemo& memo) {
  const int32_t voices = m->ActiveVoices.LoadSettled();
  if (voices != memo.endVoices) {
    memo.endVoices = voices;
    MemoOrder = &Forgotten;
    return true;
  }
  if (memo.quick >= 0 && (m->PreviousActiveVoices != voices ||
                          !(memo.quick + voices > 0 || m->RunsWithoutVoices != 0)))
    memo.quick = kFinishes;
  return false;
}

[[gnu::noinline]] void WalkAgainApart(ModuleRecord* m, WalkMemo& memo) { WalkAgain(m, memo); }

// The modules from memo down, each walking its ports again: after a module
// ended its frame with other voices, or in a frame that remembers nothing.
[[gnu::noinline]] void WalkOrderFrom(const ProcessingOrderBlock* order, WalkMemo* memo, uint64_t frame,
                                     int32_t parity, int32_t previous) {
  ModuleRecord* const* entries = order->Entries - 1;
  for (; memo > WalkMemos; --memo) {
    ModuleRecord* m = entries[memo - WalkMemos];
    WalkAgain(m, *memo);
    FinishModuleFrame(m, memo->walk, frame, parity, previous);
    EndWalkedFrame(m, *memo);
  }
}

// A frame of the order whose walks are remembered (see WalkMemo), deepest
// module first, each memo naming its entry, until a module ends its frame
// with other voices than the frame before. The quick frame is
// FinishComputingFrame knowing what EndWalkedFrame made sure of: the module
// has voices to run with, and they are its earlier voices too, so while they
// stay there is nothing to clear nor to note.
[[gnu::always_inline]] inline void RunRememberedOrder(const ProcessingOrderBlock* order, uint64_t frame,
                                                      int32_t parity, int32_t previous) {
  for (WalkMemo* memo = MemoTop; ModuleRecord* m = memo->module; --memo) {
    const int32_t toCompute = memo->quick;
    if (toCompute >= 0) [[likely]] {
      m->VoicesToCompute = toCompute;
      // The per-voice mode, read once for the frame: the page may store it meanwhile.
      const int32_t mode = m->PolyphonyMode.Load();
      if (m->TriggerOwner.LoadSettled() == m) ClearTriggerBuffer(*m, parity, mode);
      if ((m->ModuleSwitches[kSwitchPlay].LoadSettled() | m->ModuleSwitches[kSwitchRecord].LoadSettled()) != 0) [[likely]] {
        if (m->Awake == 0) [[unlikely]]
          ModuleWake(*m);
        m->ProcessFunctions[mode & 1](m, frame, parity, previous);
        // Read once: the checks below and the memo's must see one count.
        const int32_t active = m->ActiveVoices.LoadSettled();
        if (active != memo->endVoices) [[unlikely]] {
          if (active < m->PreviousActiveVoices) ClearDroppedVoices(*m, m->PreviousActiveVoices);
          m->PreviousActiveVoices = active;
          memo->endVoices = active;
          MemoOrder = &Forgotten;
          WalkOrderFrom(order, memo - 1, frame, parity, previous);
          return;
        }
        continue;
      } else if (m->Awake != 0) {
        ModuleReset(*m);
      }
    } else if (toCompute == kFinishes) {
      FinishModuleFrame(m, memo->walk, frame, parity, previous);
    } else {
      WalkAgainApart(m, *memo);
      FinishModuleFrame(m, memo->walk, frame, parity, previous);
      if (EndWalkedFrame(m, *memo)) {
        WalkOrderFrom(order, memo - 1, frame, parity, previous);
        return;
      }
      continue;
    }
    const int32_t voices = m->ActiveVoices.LoadSettled();
    if (voices != memo->endVoices) [[unlikely]] {
      memo->endVoices = voices;
      MemoOrder = &Forgotten;
      WalkOrderFrom(order, memo - 1, frame, parity, previous);
      return;
    }
  }
}

// A frame of an order not remembered: a new order, a rebuild, a port change
// or other voices since the last frame. Every walk is made again.
[[gnu::noinline]] void RunOrder(const ProcessingOrderBlock* order, uint64_t frame, int32_t parity,
                                int32_t previous) {
  const int32_t n = order->Count;
  if (n <= kWalkMemos) [[likely]] {
    MemoOrder = order;
    // Acquire: a lead port the interface set before counting its change is
    // in place for the walks.
    MemoPortChanges = PortChanges.load(std::memory_order_acquire);
    MemoTop = WalkMemos + n;
    // Voices as this frame starts with them: what the memos hold is of
    // another order, or from before voices were reset outside a frame. A
    // module whose frame ends with other voices than it started with then
    // makes the next frame walk again, also where the new count matches one
    // remembered from before.
    ModuleRecord* const* entries = order->Entries;
    for (int32_t j = 0; j < n; ++j) WalkMemos[j + 1].endVoices = entries[j]->ActiveVoices.LoadSettled();
    WalkOrderFrom(order, MemoTop, frame, parity, previous);
    return;
  }
  MemoOrder = &Forgotten;
  ModuleRecord* const* entries = order->Entries;
  for (int32_t j = n - 1; j >= 0; --j) {
    ModuleRecord* m = entries[j];
    FinishModuleFrame(m, WalkPorts(m, ModuleSteadyPorts(*m), m->VoiceMapSourcePort.Load()), frame, parity, previous);
  }
}

}  // namespace

void ProcessModuleFrame(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity) {
  // Run outside the render loop: its remembered walks are no longer sure.
  MemoOrder = &Forgotten;
  FinishModuleFrame(m, WalkPorts(m, ModuleSteadyPorts(*m), m->VoiceMapSourcePort.Load()), frameCounter, parity,
                    previousParity);
}

std::atomic<bool> RenderShortcutsOff{false};

namespace {

// What the render keeps to skip work, forgotten: the next frame walks every
// port, every keyboard publishes again and every envelope proves again.
[[gnu::noinline]] void ForgetShortcuts() {
  MemoOrder = &Forgotten;
  const ProcessingOrderBlock* order = ProcessingOrder.load();
  if (order == nullptr) return;
  for (int32_t j = 0; j < order->Count; ++j) {
    ModuleRecord* m = order->Entries[j];
    if (m->Type == kTypeKeyboard || m->Type == kTypeOctaveBoard) m->Published.State = nullptr;
    if (m->Type == kTypeAdsr) m->Adsr.Stamp = 0;
  }
}

void RenderFrames(float** stream, int32_t start, int32_t count);

}  // namespace

void RenderAudio(float** stream, int32_t start, int32_t count) {
  if (stream == nullptr || *stream == nullptr || start < 0 || count <= 0) return;
  if (RenderShortcutsOff.load(std::memory_order_relaxed)) [[unlikely]] {
    for (int32_t i = 0; i + 1 < count; i += 2) {
      ForgetShortcuts();
      RenderFrames(stream, start + i, 2);
    }
    return;
  }
  RenderFrames(stream, start, count);
}

namespace {

void RenderFrames(float** stream, int32_t start, int32_t count) {
  RenderBusy.store(1);
  // What only this thread reads while it renders stays in registers for the
  // call: the parities, the meter sums, the frames to the keyboard sweep. The
  // frame counter is stored every frame (other threads wait for it to pass).
  uint64_t frame = FrameCounter.load(std::memory_order_relaxed);
  int32_t parity = FrameParity;
  int32_t previous = PreviousFrameParity;
  LevelMeter left = OutputLevelSums[0];
  LevelMeter right = OutputLevelSums[1];
  bool rightIsLeft = false;  // a one-channel frame: the right sums are the left ones
  int32_t toKeyboardSweep = FramesToKeyboardSweep;
  float* out = *stream + start;
  float* const end = out + (count & ~1);
  for (; out != end; out += 2) {
    TakeKeyboardChanges(toKeyboardSweep);
    // Commands and controller moves run at the start of a frame: looked at
    // here, taken by ExecuteEngineCommand.
    if (EngineCommandWork() || ControllerMovesWaiting()) [[unlikely]] {
      if (ExecuteEngineCommand()) [[unlikely]] {
        // A copy outlasted the wait for it: no module plays and no frame is
        // counted until it ends; the input ring keeps its pace.
        out[0] = 0.0f;
        out[1] = 0.0f;
        if (CaptureActive.load(std::memory_order_relaxed) != 0) AdvanceCaptureRead();
        continue;
      }
    }

    float l = 0.0f;
    float r = 0.0f;
    // Loaded once per frame, after the frame's command: only a command
    // replaces or rewrites the order.
    const ProcessingOrderBlock* order = ProcessingOrder.load();
    ModuleRecord* output = nullptr;  // entry 0
    if (order == MemoOrder && InstallFrame.load(std::memory_order_relaxed) != frame &&
        PortChanges.load(std::memory_order_relaxed) == MemoPortChanges) [[likely]] {
      // The same order as the last frame, no rebuild, no port change and no
      // other voices since (a remembered order has modules).
      RunRememberedOrder(order, frame, parity, previous);
      output = WalkMemos[1].module;
    } else if (order != nullptr && order->Count > 0) {
      RunOrder(order, frame, parity, previous);
      output = order->Entries[0];
    } else {
      // Nothing remembered outlives a frame without the order: its block may
      // be freed and a later one made at the same place.
      MemoOrder = &Forgotten;
    }
    if (output != nullptr) [[likely]] {
      ModuleRecord& o = *output;
      // One unsigned test for the usual 0 .. 32 voices.
      int32_t voices = o.ActiveVoices.LoadSettled();
      if (static_cast<uint32_t>(voices) > static_cast<uint32_t>(kVoices)) [[unlikely]]
        voices = voices < 0 ? 0 : kVoices;
      if (o.ChannelsProcessed.LoadSettled() > 1) {
        if (rightIsLeft) right = left;
        rightIsLeft = false;
        l = ClipValue(MixVoices(o.Outputs[0], voices), o.ClipFlag);
        LevelMeterFeed(left, l);
        r = ClipValue(MixVoices(o.Outputs[1], voices), o.ClipFlag);
        LevelMeterFeed(right, r);
      } else {
        l = ClipValue(MixVoices(o.Outputs[0], voices), o.ClipFlag);
        LevelMeterFeed(left, l);
        r = l;
        rightIsLeft = true;
      }
    }
    out[0] = l;
    out[1] = r;

    if (CaptureActive.load(std::memory_order_relaxed) != 0) [[unlikely]]
      AdvanceCaptureRead();
    previous = parity;
    parity ^= 1;
    // The audio thread is the counter's only writer: a release store publishes
    // the frame without a locked instruction.
    FrameCounter.store(++frame, std::memory_order_release);
  }
  FrameParity = parity;
  PreviousFrameParity = previous;
  FramesToKeyboardSweep = toKeyboardSweep;
  OutputLevelSums[0] = left;
  OutputLevelSums[1] = rightIsLeft ? left : right;
  OutputMeterCount += count;
  if (OutputMeterCount >= QUARLE_AUDIO::StreamLength) {
    QUARLE_AUDIO::UpdateOutputMeters(&OutputLevelSums[0], &OutputLevelSums[1], OutputMeterCount);
    OutputMeterCount = 0;
  }
  RenderBusy.store(0);
  // The interface may be waiting for what these frames did (voices ended).
  WakeRenderWaiters();
}

}  // namespace

void CaptureAudio(float** input, int32_t count, int64_t* resync) {
  if (input == nullptr || *input == nullptr || count <= 0) return;
  const float* in = *input;
  int64_t flag = resync != nullptr ? *resync : 0;
  flag |= CaptureResync.exchange(0);
  const int32_t size = CaptureRing != nullptr ? CaptureRingSize : 0;
  if (flag != 0) {
    // Start reading 500 frames behind the writer.
    int32_t r = CaptureWriteIndex - 1000;
    if (size > 0) {
      r %= size;
      if (r < 0) r += size;
    }
    CaptureReadIndex = r & ~1;
  }
  if (resync != nullptr) *resync = 0;

  int32_t w = CaptureWriteIndex;
  if (size > 0 && (w < 0 || w >= size)) w = 0;
  const float gain = InputGain.load(std::memory_order_relaxed);
  for (int32_t i = 0; i + 1 < count; i += 2) {
    const float l = gain * in[i];
    const float r = gain * in[i + 1];
    if (size > 0) {
      // Blocks that do not divide the ring wrap float by float.
      CaptureRing[w] = l;
      if (++w >= size) w = 0;
      CaptureRing[w] = r;
      if (++w >= size) w = 0;
    }
    LevelMeterFeed(InputLevelSums[0], l);
    LevelMeterFeed(InputLevelSums[1], r);
  }
  CaptureWriteIndex = size > 0 ? w : 0;
  QUARLE_AUDIO::UpdateInputMeters(&InputLevelSums[0], &InputLevelSums[1], count, -1);
}

}  // namespace Tarvelo
