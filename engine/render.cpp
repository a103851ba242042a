#include "engine/render.h"

#include <atomic>
#include <bit>

#include "audio/audio.h"
#include "engine/command.h"
#include "engine/dsp/contract.h"
#include "engine/globals.h"
#include "engine/keyboard.h"
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
// (a word set without posting waits at most that long).
uint32_t KeyboardPendingSeen = ~0u;
int32_t FramesSinceKeyboardSweep = 0;

inline void TakeKeyboardChanges() {
  const uint32_t posted = KeyboardPendingCount.load(std::memory_order_acquire);
  if (posted == KeyboardPendingSeen && ++FramesSinceKeyboardSweep < 1024) return;
  KeyboardPendingSeen = posted;
  FramesSinceKeyboardSweep = 0;
  // Removing a keyboard may swap two bank entries under their voices locks:
  // an entry is peeked at without the lock and read again under it.
  for (int32_t k = 0; k < kKeyboardBankSize; ++k) {
    const KeyboardState* kb = KbLoad(KeyboardStates[k]);
    if (kb != nullptr && KbLoad(kb->Pending) != kPendingTaken) {
      platform::MutexLock(KeyboardVoiceLocks[k]);
      VoiceListRebuild(*KeyboardStates[k], KeyboardKeyLocks[k]);
      platform::MutexUnlock(KeyboardVoiceLocks[k]);
    }
    const KeyboardState* ob = KbLoad(OctaveBoardStates[k]);
    if (ob != nullptr && KbLoad(ob->Pending) != kPendingTaken) {
      platform::MutexLock(OctaveBoardVoiceLocks[k]);
      VoiceListRebuild(*OctaveBoardStates[k], OctaveBoardKeyLocks[k]);
      platform::MutexUnlock(OctaveBoardVoiceLocks[k]);
    }
  }
}

// Sum of the output module's voices on one channel row, added in voice order.
inline float MixVoices(const ModuleRecord& out, int32_t row) {
  int32_t n = out.ActiveVoices;
  if (n > kVoices) n = kVoices;
  const OutputElement* e = out.Outputs[row];
  float sum = 0.0f;
  int32_t v = 0;
  // Eight voices a step, still added one after the other in voice order
  // (written out: a vectorized in-order sum costs more than it saves).
  for (; v + 8 <= n; v += 8) {
    sum = sum + e[v].Level;
    sum = sum + e[v + 1].Level;
    sum = sum + e[v + 2].Level;
    sum = sum + e[v + 3].Level;
    sum = sum + e[v + 4].Level;
    sum = sum + e[v + 5].Level;
    sum = sum + e[v + 6].Level;
    sum = sum + e[v + 7].Level;
  }
  for (; v < n; ++v) sum = sum + e[v].Level;
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
  const ModuleRecord* leadSource = m->PortSources[lead];
  w.leadVoices = leadSource != nullptr ? leadSource->ActiveVoices : 0;
  w.toCompute = w.leadVoices;
  uint64_t walk = (ports >= 64 ? ~uint64_t{0} : (uint64_t{1} << ports) - 1) & ~steady;
  for (; walk != 0; walk &= walk - 1) {
    const int32_t p = std::countr_zero(walk);
    const ModuleRecord* s = m->PortSources[p];
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
    const int32_t row = (s->ActiveVoices == 1 && s->PerVoiceOutput == 0) ? 0 : 1;
    if (param.VoiceMapRow != row) param.VoiceMapRow = row;
    if (s->ActiveVoices == 0) {
      if (param.FeedbackPort != 0) {
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

// The rest of a module's frame: the voices to compute, then the module runs
// or sleeps.
[[gnu::always_inline]] inline void FinishModuleFrame(ModuleRecord* m, const PortWalk& w, uint64_t frameCounter,
                                                     int32_t parity, int32_t previousParity) {
  int32_t toCompute = w.toCompute;
  if (toCompute == 0) {
    if (m->HasFeedbackInput != 0 && m->ModuleSwitches[kSwitchFeedbackVoice] != 0) {
      toCompute = 1;
    } else if (m->RunsWithoutVoices == 0 && m->KeepsVoices == 0) {
      // Nothing to compute and no voices left: the module sleeps.
      m->ActiveVoices = 0;
      m->VoicesToCompute = 0;
      if (m->TriggerOwner == m) ClearTriggerBuffer(*m, parity);
      if (m->Awake != 0) ModuleReset(*m);
      return;
    } else if (m->KeepsVoices != 0 && w.leadVoices > 0) {
      m->ActiveVoices = 0;
    }
  }
  m->VoicesToCompute = toCompute;
  if (m->TriggerOwner == m) ClearTriggerBuffer(*m, parity);

  const bool switched = (m->ModuleSwitches[kSwitchPlay] | m->ModuleSwitches[kSwitchRecord]) != 0;
  // Voices to compute mean that no port blocked the module.
  const bool runs = switched && (toCompute > 0 ? (toCompute + m->ActiveVoices > 0 || m->RunsWithoutVoices != 0)
                                               : (!w.blocked && (m->RunsWithoutVoices != 0 || toCompute + m->ActiveVoices > 0)));
  if (runs) {
    if (m->Awake == 0) ModuleWake(*m);
    m->ProcessFunctions[m->PolyphonyMode & 1](m, frameCounter, parity, previousParity);
    if (m->ActiveVoices < m->PreviousActiveVoices) ClearDroppedVoices(*m, m->PreviousActiveVoices);
    m->PreviousActiveVoices = m->ActiveVoices;
  } else if (m->Awake != 0) {
    ModuleReset(*m);
  }
}

// A module's walk as the render loop remembers it, by the module's place in
// the order. A walk reads the module's ports and lead port, which change only
// with a rebuild, a port change (PortChanges: links, forgotten steady ports,
// voices reset outside a frame) or a new lead, and its sources' voice counts,
// which change only when a module's frame ends with other voices than the
// frame before. While none of this happened since the last frame, nor yet in
// this one, the walk would find what it found last time and write nothing
// new. A source processed after its reader was read as the frame before left
// it: after a change the next frame walks again too. Audio thread only.
struct WalkMemo {
  uint64_t steady;
  int32_t lead;
  int32_t endVoices;  // the module's voices at the end of its last frame
  PortWalk walk;
  bool valid;
};
constexpr int32_t kWalkMemos = 1024;
WalkMemo WalkMemos[kWalkMemos];
const ProcessingOrderBlock* MemoOrder = nullptr;
uint32_t MemoPortChanges = 0;
bool VoicesChangedLastFrame = true;

[[gnu::always_inline]] inline void RememberedModuleFrame(ModuleRecord* m, WalkMemo& memo, bool changed,
                                                         uint64_t frameCounter, int32_t parity,
                                                         int32_t previousParity) {
  const uint64_t steady = ModuleSteadyPorts(*m);
  const int32_t lead = m->VoiceMapSourcePort;
  if (changed || !memo.valid || memo.lead != lead || memo.steady != steady) {
    memo.walk = WalkPorts(m, steady, lead);
    memo.steady = steady;
    memo.lead = lead;
    // A seeded feedback source is seeded again in every frame it has no voices.
    memo.valid = !memo.walk.seeded;
  }
  FinishModuleFrame(m, memo.walk, frameCounter, parity, previousParity);
}

}  // namespace

void ProcessModuleFrame(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity) {
  // Run outside the render loop: its remembered walks are no longer sure.
  MemoOrder = nullptr;
  FinishModuleFrame(m, WalkPorts(m, ModuleSteadyPorts(*m), m->VoiceMapSourcePort), frameCounter, parity,
                    previousParity);
}

void RenderAudio(float** stream, int32_t start, int32_t count) {
  if (stream == nullptr || *stream == nullptr || start < 0 || count <= 0) return;
  RenderBusy.store(1);
  float* out = *stream;
  const int32_t end = start + count - 2;
  for (int32_t i = start; i <= end; i += 2) {
    TakeKeyboardChanges();
    ExecuteEngineCommand();

    float left = 0.0f;
    float right = 0.0f;
    // Loaded once per frame and used only until the frame counter advances:
    // a replaced order is freed only after that.
    const ProcessingOrderBlock* order = ProcessingOrder.load();
    const int32_t n = order != nullptr ? order->Count : 0;
    if (n > 0) {
      const uint64_t frame = FrameCounter.load(std::memory_order_relaxed);
      const int32_t parity = FrameParity;
      const int32_t previous = PreviousFrameParity;
      ModuleRecord* const* entries = order->Entries;
      if (n <= kWalkMemos) {
        bool changed = VoicesChangedLastFrame;
        const uint32_t portChanges = PortChanges.load(std::memory_order_relaxed);
        if (order != MemoOrder || InstallFrame.load(std::memory_order_relaxed) == frame ||
            portChanges != MemoPortChanges) {
          // A new order, a rebuild or a port change since the last frame:
          // every walk is made again.
          MemoOrder = order;
          MemoPortChanges = portChanges;
          changed = true;
        }
        bool changedNow = false;
        for (int32_t j = n - 1; j >= 0; --j) {
          ModuleRecord* m = entries[j];
          WalkMemo& memo = WalkMemos[j];
          RememberedModuleFrame(m, memo, changed, frame, parity, previous);
          const int32_t voices = m->ActiveVoices;
          if (voices != memo.endVoices) {
            memo.endVoices = voices;
            changed = true;
            changedNow = true;
          }
        }
        VoicesChangedLastFrame = changedNow;
      } else {
        MemoOrder = nullptr;
        for (int32_t j = n - 1; j >= 0; --j) {
          ModuleRecord* m = entries[j];
          FinishModuleFrame(m, WalkPorts(m, ModuleSteadyPorts(*m), m->VoiceMapSourcePort), frame, parity, previous);
        }
      }

      ModuleRecord& output = *entries[0];
      left = ClipValue(MixVoices(output, 0), output.ClipFlag);
      LevelMeterFeed(OutputLevelSums[0], left);
      if (output.ChannelsProcessed > 1) {
        right = ClipValue(MixVoices(output, 1), output.ClipFlag);
        LevelMeterFeed(OutputLevelSums[1], right);
      } else {
        right = left;
        OutputLevelSums[1] = OutputLevelSums[0];
      }
    }
    out[i] = left;
    out[i + 1] = right;

    if (CaptureActive.load(std::memory_order_relaxed) != 0) AdvanceCaptureRead();
    PreviousFrameParity = FrameParity;
    FrameParity ^= 1;
    // The audio thread is the counter's only writer: a release store publishes
    // the frame without a locked instruction.
    FrameCounter.store(FrameCounter.load(std::memory_order_relaxed) + 1, std::memory_order_release);
  }
  OutputMeterCount += count;
  if (OutputMeterCount >= QUARLE_AUDIO::StreamLength) {
    QUARLE_AUDIO::UpdateOutputMeters(&OutputLevelSums[0], &OutputLevelSums[1], OutputMeterCount);
    OutputMeterCount = 0;
  }
  RenderBusy.store(0);
}

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
