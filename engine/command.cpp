#include "engine/command.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "audio/audio.h"
#include "basics/messages.h"
#include "engine/catalog/catalog.h"
#include "engine/dsp/melody.h"
#include "engine/dsp/sequencer.h"
#include "engine/globals.h"
#include "engine/midimap.h"
#include "engine/modulelist.h"
#include "engine/tuning.h"
#include "platform/threads.h"

namespace Tarvelo {

EngineCommandRecord EngineCommand{};
bool (*DescribeWave)(const WaveLibraryEntry* wave, WaveInfo& info) = nullptr;
void (*FinishTake)(ModuleRecord& m) = nullptr;
void (*ShowMelodyScalePattern)() = nullptr;
double CommandSlotWait = 3.0;
double ModuleLiveWait = 1.0;
double FrameHoldWait = 1.0;
double FrameHoldLimit = 0.25;

// Read by the render callback each frame (EngineCommandWork), so outside the
// unnamed namespace.
std::atomic<int32_t> EngineCommandBacklog{0};
std::atomic<uint32_t> FrameHoldWanted{0};

namespace {

// A command that found the mailbox busy. The audio thread takes the oldest one
// into the mailbox once the mailbox is idle; it only ever try-locks the queue,
// so the interface holding the lock costs it nothing but a frame's delay.
// one thread: value
struct QueuedCommand {
  uint64_t WaveArgument;
  uint64_t RebuildArgument;
  int32_t Kind;
  int32_t Port;
  int32_t TemplateType;
  ModuleRecord* Module;
  ModuleRecord* Source;
  WaveLibraryEntry* Wave;
};

// one thread: holder of lock
struct CommandQueue {
  QueuedCommand* items = nullptr;
  int32_t capacity = 0;
  int32_t head = 0;
  std::mutex lock;  // the count is EngineCommandBacklog
};
CommandQueue Backlog;

// The frame hold: the interface asks under a new ticket, the render callback
// stops at a frame boundary and answers with that ticket, the interface copies
// and withdraws the ticket. Tickets keep a release followed at once by a new
// request from being taken for the old answer.
// g_holdParkedFor: written by the render callback, read by the interface
// (HoldFrames). Once it names the ticket asked, the render touches no module
// until that ticket is withdrawn.
std::atomic<uint32_t> g_holdParkedFor{0}; // 0: not parked
std::atomic<uint32_t> g_holdTickets{0};
// The ticket whose wait ran its whole FrameHoldLimit (render callback only):
// its frames go on silent at once.
// one thread: audio, the render callback's
uint32_t g_holdOutwaited = 0;

// True while the ticket is still asked: the frame plays no module. The
// render waits at most FrameHoldLimit per ticket for the release; a copy that
// takes longer (a loaded machine) gets silent frames meanwhile, so the stream
// goes on and the copy still sees no module change.
bool ParkWhileHeld() {
  const uint32_t wanted = FrameHoldWanted.load();
  if (wanted == 0) return false;
  if (wanted == g_holdOutwaited) return true;
  g_holdParkedFor.store(wanted, std::memory_order_release);
  WakeRenderWaiters();
  const double start = platform::HighResClock();
  // Sleeps rather than yields: a real-time thread that yields keeps its core,
  // and on a core or two the holder could not finish its copy meanwhile.
  // ReleaseFrames wakes it.
  while (FrameHoldWanted.load(std::memory_order_acquire) == wanted) {
    const double left = FrameHoldLimit - (platform::HighResClock() - start);
    if (!(left > 0.0)) break;
    platform::WaitOnWord(FrameHoldWanted, wanted, left);
  }
  if (FrameHoldWanted.load(std::memory_order_acquire) != wanted) {
    g_holdParkedFor.store(0, std::memory_order_release);
    return false;
  }
  g_holdOutwaited = wanted;
  return true;
}

// The interface's waits for the render: how many threads sleep in one, and
// the count of the render's wakes they sleep on. The render (WakeRenderWaiters)
// bumps the count; the waiting threads (WaitForRender) change the number.
std::atomic<int32_t> g_renderWaiters{0};
std::atomic<uint32_t> g_renderWakes{0};

// A wait for the render that ran its full time, in the log: what did not
// happen within the wait, and what the waiter does instead.
void ReportUnanswered(const std::string& what, double seconds, const char* instead) {
  char limit[32];
  std::snprintf(limit, sizeof limit, "%g", seconds);
  QUARLE_BASICS::Report(what + " within " + limit + " s; " + instead, QUARLE_BASICS::kLevelWarning);
}

constexpr int32_t kBacklogInitialCapacity = 16;

bool BacklogPush(const QueuedCommand& c) {
  std::lock_guard<std::mutex> guard(Backlog.lock);
  int32_t count = EngineCommandBacklog.load(std::memory_order_relaxed);
  if (count == Backlog.capacity) {
    int32_t capacity = Backlog.capacity > 0 ? 2 * Backlog.capacity : kBacklogInitialCapacity;
    auto* items = static_cast<QueuedCommand*>(std::calloc(capacity, sizeof(QueuedCommand)));
    if (items == nullptr) return false;
    for (int32_t i = 0; i < count; ++i) items[i] = Backlog.items[(Backlog.head + i) % Backlog.capacity];
    std::free(Backlog.items);
    Backlog.items = items;
    Backlog.capacity = capacity;
    Backlog.head = 0;
  }
  Backlog.items[(Backlog.head + count) % Backlog.capacity] = c;
  EngineCommandBacklog.store(count + 1, std::memory_order_release);
  return true;
}

void WriteSlot(const QueuedCommand& c) {
  EngineCommand.WaveArgument = c.WaveArgument;
  EngineCommand.RebuildArgument = c.RebuildArgument;
  EngineCommand.Kind = c.Kind;
  EngineCommand.Port = c.Port;
  EngineCommand.TemplateType = c.TemplateType;
  EngineCommand.Module.Store(c.Module);
  EngineCommand.Source.Store(c.Source);
  EngineCommand.Wave = c.Wave;
  EngineCommand.State.store(kCommandPosted, std::memory_order_release);
}

// Audio thread: the oldest queued command becomes the posted one.
void BacklogPopIntoSlot() {
  if (EngineCommandBacklog.load(std::memory_order_acquire) == 0) return;
  if (!Backlog.lock.try_lock()) return;
  int32_t count = EngineCommandBacklog.load(std::memory_order_relaxed);
  if (count > 0) {
    QueuedCommand c = Backlog.items[Backlog.head];
    Backlog.head = (Backlog.head + 1) % Backlog.capacity;
    // The mailbox is busy again before the queue looks shorter, so a poster
    // never takes the mailbox while it is being filled here.
    WriteSlot(c);
    EngineCommandBacklog.store(count - 1, std::memory_order_release);
  }
  Backlog.lock.unlock();
}

// Never overwrites a pending command: when the mailbox (or the queue behind it)
// is still busy the new command joins the queue and runs after the older ones.
void PostOrQueue(const QueuedCommand& c) {
  if (EngineCommandBacklog.load(std::memory_order_acquire) == 0 &&
      EngineCommand.State.load(std::memory_order_acquire) == kCommandIdle) {
    WriteSlot(c);
    return;
  }
  // A wait that ran its full time said so; a stream that stopped runs what
  // waits when its stop report is taken.
  while (!BacklogPush(c)) {
    // Out of memory for the queue: keep the command and try again.
    QUARLE_BASICS::Report("Engine command: no memory to queue the command; waiting.",
                          QUARLE_BASICS::kLevelWarning);
    platform::SleepMs(10);
  }
}

// What the posters wait for: no command pending, or none to be taken before
// the interface takes the stream's stop report (which runs what is pending).
bool CommandsTakenOrStreamStopped() { return !EngineCommandPending() || !QUARLE_AUDIO::RenderHandedOver(); }

ModuleRecord* TemplateOf(int32_t type) {
  if (type < 0) type = 0;
  if (type >= kModuleTypeCount) type = kModuleTypeCount - 1;
  return &ModuleCatalog[type];
}

// A link runs after every command posted before it, a deleted module's unlink
// among them: a module no longer listed when it runs is refused at either end,
// or a listed module would read it (or stand in its table) once it is freed.
void LinkListedInput(ModuleRecord* m, int32_t port, ModuleRecord* source, int32_t templateType) {
  if (m == nullptr || !ModuleListed(m) || !ModuleListed(source)) return;
  ModuleLinkInput(*m, port, source, TemplateOf(templateType));
}

// A take ended twice (by its last frame and by the stop) is ended once.
void FinishTakeNow(ModuleRecord* m) {
  if (m != nullptr && FinishTake != nullptr && m->ModuleSwitches[kSwitchRecord].Load() != 0 &&
      m->SampleEntry.Load() != nullptr)
    FinishTake(*m);
}

void BeginTakeNow(ModuleRecord* m, WaveLibraryEntry* wave) {
  if (m != nullptr && m->Type == kTypeMelodyGenerator) BeginMelodyGeneratorRecording(*m, wave);
}

// Every listed module of the type at once. On the audio thread the list may
// be changing (or the video thread reading it): false when its lock is not
// free at once, and the next frame boundary tries again.
bool RewindListed(int32_t type, bool onRender) {
  if (onRender) {
    if (!platform::MutexTryLock(ModuleList.lock)) return false;
  } else {
    platform::MutexLock(ModuleList.lock);
  }
  for (int32_t i = 0; i < ModuleList.count && ModuleList.entries != nullptr; ++i) {
    ModuleRecord* m = ModuleList.entries[i];
    if (m != nullptr && m->Type == type) RewindModule(*m);
  }
  platform::MutexUnlock(ModuleList.lock);
  return true;
}

void SetPlaySwitchNow(ModuleRecord& m, int64_t on) {
  Shared<int64_t>* w = m.ModuleSwitches;
  // Playback about to start with autorewind: every phase from the beginning.
  if (on != 0 && w[kSwitchPlay].Load() == 0 && w[kSwitchRewind].Load() != 0)
    std::memset(m.VoiceState, 0, sizeof m.VoiceState);
  w[kSwitchPlay].Store(on);
}

// What the last pause found, for the resume that follows it. Only whoever runs
// the commands touches it (the render while playing, else the interface),
// and pause and resume run in the order they were posted.
// one thread: graph owner, whoever runs the commands
struct PausedPlay {
  ModuleRecord* Module;
  int64_t Play;
  int64_t Rewind;
};
PausedPlay g_paused{nullptr, 0, 0};

void PausePlayNow(ModuleRecord& m) {
  Shared<int64_t>* w = m.ModuleSwitches;
  g_paused = PausedPlay{&m, w[kSwitchPlay].Load(), w[kSwitchRewind].Load()};
  if (g_paused.Play == 0) return;
  w[kSwitchPlay].Store(0);
  w[kSwitchRewind].Store(0);
}

void ResumePlayNow(ModuleRecord& m) {
  if (g_paused.Module != &m) return;
  g_paused.Module = nullptr;
  if (g_paused.Play == 0) return;
  m.ModuleSwitches[kSwitchRewind].Store(g_paused.Rewind);
  m.ModuleSwitches[kSwitchPlay].Store(g_paused.Play);
}

// Whether a command changes what the order is built from; the module page's
// switch and rewind commands do not.
bool RebuildsOrder(int32_t kind) { return kind < kCommandRewind; }

// false when the command could not run yet (see RewindListed).
bool RunCommand(int32_t kind, ModuleRecord* module, ModuleRecord* source, int32_t port,
                int32_t templateType, WaveLibraryEntry* wave, uint64_t waveArgument, bool onRender) {
  switch (kind) {
    case kCommandRewind:
      if (module == nullptr) return RewindListed(templateType, onRender);
      RewindModule(*module);
      break;
    case kCommandPlaySwitch:
      if (module != nullptr) SetPlaySwitchNow(*module, static_cast<int64_t>(waveArgument));
      break;
    case kCommandPausePlay:
      if (module != nullptr) PausePlayNow(*module);
      break;
    case kCommandResumePlay:
      if (module != nullptr) ResumePlayNow(*module);
      break;
    case kCommandFinishTake:
      FinishTakeNow(module);
      break;
    case kCommandBeginTake:
      BeginTakeNow(module, wave);
      break;
    case kCommandAttachWave:
      AttachWaveToModule(module, wave, waveArgument);
      break;
    case kCommandLink:
      LinkListedInput(module, port, source, templateType);
      break;
    case kCommandApplyTuning:
      ApplyTuning();
      break;
    case kCommandUnlinkModule:
      if (module != nullptr) UnlinkModule(*module);
      break;
    default:
      break;
  }
  return true;
}

}  // namespace

void EngineCommandInit() {
  EngineCommand.State.store(kCommandPosted, std::memory_order_relaxed);
  EngineCommand.WaveArgument = 0;
  EngineCommand.RebuildArgument = 0;
  EngineCommand.Kind = kCommandRebuild;
  EngineCommand.Port = 0;
  EngineCommand.TemplateType = 0;
  EngineCommand.Module.Store(nullptr);
  EngineCommand.Source.Store(nullptr);
  EngineCommand.Wave = nullptr;
  std::lock_guard<std::mutex> guard(Backlog.lock);
  Backlog.head = 0;
  EngineCommandBacklog.store(0, std::memory_order_release);
}

void EngineCommandFree() {
  std::lock_guard<std::mutex> guard(Backlog.lock);
  std::free(Backlog.items);
  Backlog.items = nullptr;
  Backlog.capacity = 0;
  Backlog.head = 0;
  EngineCommandBacklog.store(0, std::memory_order_release);
}

void ResetEngineCommand(EngineCommandRecord& c) {
  c.Kind = kCommandRebuild;
  c.RebuildArgument = 0;
  c.WaveArgument = 0;
  c.State.store(kCommandIdle, std::memory_order_release);
}

bool EngineCommandPending() {
  return EngineCommand.State.load(std::memory_order_acquire) == kCommandPosted ||
         EngineCommandBacklog.load(std::memory_order_acquire) > 0;
}

int32_t EngineCommandsQueued() { return EngineCommandBacklog.load(std::memory_order_acquire); }

void WakeRenderWaiters() {
  // A read-modify-write, as the waiter's count is: of the two, the later
  // one sees the earlier, so either this sees the waiter or the waiter sees
  // what this thread changed before (and does not sleep).
  if (g_renderWaiters.fetch_add(0, std::memory_order_acq_rel) == 0) return;
  g_renderWakes.fetch_add(1, std::memory_order_release);
  platform::WakeWordWaiters(g_renderWakes);
}

namespace render_wait {
uint32_t Enter() {
  const uint32_t seen = g_renderWakes.load(std::memory_order_acquire);
  g_renderWaiters.fetch_add(1, std::memory_order_acq_rel);
  return seen;
}
void Sleep(uint32_t seen, double seconds) { platform::WaitOnWord(g_renderWakes, seen, seconds); }
void Leave() { g_renderWaiters.fetch_sub(1, std::memory_order_relaxed); }
}  // namespace render_wait

int32_t WaitEngineCommandSlot() {
  if (PlaybackActive.load() == 0) return 0;
  // The rebuild that follows the command the caller may post runs on the
  // audio thread, which takes no memory: room for the modules listed now.
  ProvideOrderRoom();
  if (!WaitForRender(CommandsTakenOrStreamStopped, CommandSlotWait))
    ReportUnanswered("Engine command: the audio thread has not taken the previous command", CommandSlotWait,
                     "what is posted now queues behind it.");
  return 1;
}

int32_t IsModuleLive(const ModuleRecord* m, uint64_t noWait) {
  if (PlaybackActive.load() == 0) return 0;
  if (noWait == 0 && !WaitForRender(CommandsTakenOrStreamStopped, ModuleLiveWait))
    ReportUnanswered("Engine command: the audio thread has not taken the previous command", ModuleLiveWait,
                     "the module is judged by the order as it stands.");
  return ModuleInCurrentOrder(m) ? 1 : 0;
}

void WaitModuleOutput(const ModuleRecord* m) {
  if (m == nullptr || PlaybackActive.load() == 0) return;
  const auto silent = [m] { return PlaybackActive.load() == 0 || m->ActiveVoices.Load() == 0; };
  if (!WaitForRender(silent, CommandSlotWait))
    ReportUnanswered("Engine: the voices of " + QUARLE_BASICS::DynZStringGet(m->ShortName) + " " +
                         std::to_string(m->InstanceNumber.Load()) + " did not end",
                     CommandSlotWait, "going on while they sound.");
}

void RequestGraphRebuild(uint64_t flag, uint64_t argument, ModuleRecord* output) {
  int32_t live = WaitEngineCommandSlot();
  if (flag == ~uint64_t{0})
    SynthOutputModule.store(nullptr);
  else if (output != nullptr)
    SynthOutputModule.store(output);
  if (live == 1) {
    QueuedCommand c{};
    c.Kind = kCommandRebuild;
    c.RebuildArgument = argument;
    PostOrQueue(c);
  } else {
    UpdateProcessingOrder(argument);
  }
}

bool DisconnectOutput() {
  ModuleRecord* const previous = SynthOutputModule.load();
  RequestGraphRebuild(~uint64_t{0}, 0, nullptr);
  SettleEngineCommands();
  if (!EngineCommandPending()) return true;
  // The rebuild still posted reads the output put back; one more behind it
  // covers a render that took the first just before the output came back.
  // Queued, not waited for: the render did not answer.
  SynthOutputModule.store(previous);
  QueuedCommand c{};
  c.Kind = kCommandRebuild;
  PostOrQueue(c);
  return false;
}

// While playing, a module is the render's to change when it is in the order,
// when a command still pending (a link, a rebuild) may bring it there, and
// when it feeds another module (a live module reads one left out of the order
// through its link): a change made here would be read by a frame that never
// synchronised with it.
static bool RenderMayReach(const ModuleRecord* m) {
  if (PlaybackActive.load() == 0) return false;
  return IsModuleLive(m, 0) == 1 || EngineCommandPending() || m->OutputCount.Load() > 0 || SynthOutputModule.load() == m;
}

// Posts a command on m for the render when it may reach m; false when the
// caller is to run it at once.
static bool PostWhereRenderReaches(int32_t kind, ModuleRecord* m, WaveLibraryEntry* wave = nullptr,
                                   uint64_t waveArgument = 0) {
  if (!RenderMayReach(m) || WaitEngineCommandSlot() != 1) return false;
  QueuedCommand c{};
  c.Kind = kind;
  c.Module = m;
  c.Wave = wave;
  c.WaveArgument = waveArgument;
  PostOrQueue(c);
  return true;
}

void PostAttachWave(ModuleRecord* m, WaveLibraryEntry* wave, uint64_t waveArgument) {
  if (m == nullptr) return;
  if (PostWhereRenderReaches(kCommandAttachWave, m, wave, waveArgument)) return;
  AttachWaveToModule(m, wave, waveArgument);
  RequestGraphRebuild(0, 0, nullptr);
}

static void QueueFinishTake(ModuleRecord* m) {
  QueuedCommand c{};
  c.Kind = kCommandFinishTake;
  c.Module = m;
  PostOrQueue(c);
}

void PostFinishTake(ModuleRecord* m) {
  if (m == nullptr) return;
  // The finish resets the module's voices and sets its parameters, which the
  // render writes as well while it plays: a controller move reaches a module
  // that no frame plays too. So while playing the render finishes every take.
  if (PlaybackActive.load() != 0 && WaitEngineCommandSlot() == 1) {
    QueueFinishTake(m);
    return;
  }
  FinishTakeNow(m);
}

void PostBeginTake(ModuleRecord* m, WaveLibraryEntry* wave) {
  if (m == nullptr) return;
  if (PostWhereRenderReaches(kCommandBeginTake, m, wave)) return;
  BeginTakeNow(m, wave);
}

static bool EndTakes(ModuleRecord* m, bool samplesOnly) {
  std::vector<ModuleRecord*> posted;
  const auto take = [&](ModuleRecord* r) {
    if (r != nullptr && r->ModuleSwitches[kSwitchRecord].Load() != 0 && (!samplesOnly || r->Type == kTypeSample))
      posted.push_back(r);
  };
  if (m != nullptr) {
    take(m);
  } else {
    for (int32_t i = 0; i < ModuleList.count && ModuleList.entries != nullptr; ++i) take(ModuleList.entries[i]);
  }
  if (posted.empty()) return true;
  // As PostFinishTake, with one wait for the mailbox: the stops queue behind
  // one another, so a render that does not answer costs one wait, not one
  // per take.
  const bool playing = PlaybackActive.load() != 0 && WaitEngineCommandSlot() == 1;
  for (ModuleRecord* r : posted) {
    if (playing)
      QueueFinishTake(r);
    else
      FinishTakeNow(r);
  }
  // A stream that stopped leaves the stops to this thread.
  SettleEngineCommands();
  // A take that held nothing was handed back to this thread to leave its
  // list; what runs next (a session save) must not find it there.
  TakeFinishedRecordings();
  for (const ModuleRecord* r : posted)
    if (EngineCommandReferences(r)) return false;
  return true;
}

bool EndRecordings(ModuleRecord* m) { return EndTakes(m, false); }

bool EndSampleTakes() { return EndTakes(nullptr, true); }

void PostRewind(ModuleRecord* m) {
  if (m == nullptr) return;
  if (PostWhereRenderReaches(kCommandRewind, m)) return;
  RewindModule(*m);
}

void PostRewindType(int32_t type) {
  // Some of them may be the render's: all of them at one boundary.
  if (WaitEngineCommandSlot() == 1) {
    QueuedCommand c{};
    c.Kind = kCommandRewind;
    c.TemplateType = type;
    PostOrQueue(c);
    return;
  }
  RewindListed(type, false);
}

void PostPlaySwitch(ModuleRecord* m, int64_t on) {
  if (m == nullptr) return;
  if (PostWhereRenderReaches(kCommandPlaySwitch, m, nullptr, static_cast<uint64_t>(on))) return;
  SetPlaySwitchNow(*m, on);
}

void PostPausePlay(ModuleRecord* m) {
  if (m == nullptr) return;
  if (PostWhereRenderReaches(kCommandPausePlay, m)) return;
  PausePlayNow(*m);
}

void PostResumePlay(ModuleRecord* m) {
  if (m == nullptr) return;
  // Posted whenever the pause may still wait in the mailbox (a pending
  // command makes the render's reach count), so it never runs before it.
  if (PostWhereRenderReaches(kCommandResumePlay, m)) return;
  ResumePlayNow(*m);
}

void PostDetachWave(ModuleRecord* m) {
  if (m == nullptr) return;
  if (RenderMayReach(m) && WaitEngineCommandSlot() == 1) {
    QueuedCommand c{};
    c.Kind = kCommandAttachWave;
    c.Module = m;
    PostOrQueue(c);
    return;
  }
  // The same detach the posted command makes: the sound's channels and a take
  // on it go with it, whether or not the output plays.
  AttachWaveToModule(m, nullptr, 0);
  RequestGraphRebuild(0, 0, nullptr);
}

void RequestTuningApply() {
  // A pattern past the tuning's would allow no key: the melody would hold one
  // note for good. Fitted before the engine takes the tuning, so no frame
  // reads it against the new one. Only this thread changes the list and the
  // tuning in use.
  const int32_t patterns = ActiveTuning.PatternCount;
  for (int32_t i = 0; i < ModuleList.count && ModuleList.entries != nullptr; ++i)
    if (ModuleRecord* m = ModuleList.entries[i]; m != nullptr && m->Type == kTypeMelodyGenerator)
      FitMelodyScalePattern(*m, patterns);
  FitMelodyScalePattern(ModuleCatalog[kTypeMelodyGenerator], patterns);
  if (ShowMelodyScalePattern != nullptr) ShowMelodyScalePattern();
  if (WaitEngineCommandSlot() == 1) {
    QueuedCommand c{};
    c.Kind = kCommandApplyTuning;
    PostOrQueue(c);
  } else {
    ApplyTuning();
  }
}

void PostLinkInput(ModuleRecord* m, int32_t port, ModuleRecord* source, int32_t templateType) {
  if (m == nullptr) return;
  if (WaitEngineCommandSlot() == 1) {
    QueuedCommand c{};
    c.Kind = kCommandLink;
    c.Module = m;
    c.Source = source;
    c.Port = port;
    c.TemplateType = templateType;
    PostOrQueue(c);
  } else {
    LinkListedInput(m, port, source, templateType);
    UpdateProcessingOrder(0);
  }
}

void PostUnlinkModule(ModuleRecord* m) {
  if (m == nullptr) return;
  const int32_t live = WaitEngineCommandSlot();
  ModuleRecord* expected = m;
  SynthOutputModule.compare_exchange_strong(expected, nullptr);
  if (live == 1) {
    QueuedCommand c{};
    c.Kind = kCommandUnlinkModule;
    c.Module = m;
    PostOrQueue(c);
    return;
  }
  {
    platform::MutexGuard guard(ModuleList.lock);
    UnlinkModule(*m);
  }
  UpdateProcessingOrder(0);
}

void AttachWaveToModule(ModuleRecord* m, WaveLibraryEntry* wave, uint64_t waveArgument) {
  if (m == nullptr) return;
  m->SampleData = nullptr;
  m->SampleEntry.Store(wave);
  ModuleResetVoices(*m);
  // A Sequencer's take starts from no voice: none is left for the render to clear.
  if (m->Type == kTypeSequencer && waveArgument != 0) m->PreviousActiveVoices = 0;
  if (wave == nullptr) {
    m->OutputChannels.Store(1);
    m->ModuleSwitches[kSwitchRecord].Store(0);
    return;
  }
  WaveInfo info{1, 0, nullptr, 0.0f};
  if (DescribeWave == nullptr || !DescribeWave(wave, info)) info = WaveInfo{1, 0, nullptr, 0.0f};
  if (info.Channels < 1) info.Channels = 1;
  if (info.Frames < 0) info.Frames = 0;
  m->SampleChannels = info.Channels;
  // The module's own output has one or two channels whatever the sound holds.
  m->OutputChannels.Store(info.Channels > 2 ? 2 : info.Channels);
  m->SampleFrames = info.Frames;
  m->SampleData = info.Data;
  m->SampleStep = info.Pitch;
  if (m->Type == kTypeSample && m->SampleData != nullptr) {
    // A sound without a usable pitch (silent, constant, very short) takes the
    // recorder's fallback, one period per 4 / frames, so that it still plays.
    float pitch = info.Pitch;
    if (!(pitch > 0.0f) || !std::isfinite(pitch))
      pitch = info.Frames > 0 ? 4.0f / static_cast<float>(info.Frames) : 0.0f;
    // The sound is stepped through at its own rate, so that it plays at its
    // pitch and speed from its F, a key or a sequencer alike; the rate is
    // folded in here, once, and the kernel's step stays one multiply.
    const int32_t rate = info.Rate > 0 ? info.Rate : RateWhole;
    const double d = static_cast<double>(info.Frames) * 4.0 * static_cast<double>(pitch);
    m->SampleStep = d > 0.0 && std::isfinite(d) ? static_cast<float>(static_cast<double>(rate) / d) : 0.0f;
  }
  // The interface reads the switch to show it while the render sets it here.
  m->ModuleSwitches[kSwitchRecord].Store(static_cast<int64_t>(waveArgument));
}

void RewindModule(ModuleRecord& m) {
  std::memset(m.VoiceState, 0, sizeof m.VoiceState);
  m.MelodyRestart = -1;
  m.SequencerWord = 0;
  for (int64_t& run : m.VoicePlaying) run = -1;
}

void ApplyTuning() {
  platform::MutexLock(MT_TUNINGS[kActiveTuning]);
  platform::MutexLock(MT_TUNINGS[kEngineTuning]);
  int32_t before = EngineTuning.NoteCount;
  CopyTuning(EngineTuning, ActiveTuning);
  int32_t after = EngineTuning.NoteCount;
  platform::MutexUnlock(MT_TUNINGS[kEngineTuning]);
  platform::MutexUnlock(MT_TUNINGS[kActiveTuning]);
  if (before == after) return;
  // The list may be growing on the interface thread: walk it only when its lock
  // is free at once, else reset the generators that are being processed.
  if (platform::MutexTryLock(ModuleList.lock)) {
    for (int32_t i = 0; i < ModuleList.count; ++i) {
      ModuleRecord* m = ModuleList.entries[i];
      if (m != nullptr && m->Type == kTypeMelodyGenerator) ModuleResetVoices(*m);
    }
    platform::MutexUnlock(ModuleList.lock);
  } else {
    ProcessingOrderBlock* order = ProcessingOrder.load(std::memory_order_acquire);
    for (int32_t i = 0; i < order->Count; ++i)
      if (order->Entries[i]->Type == kTypeMelodyGenerator) ModuleResetVoices(*order->Entries[i]);
  }
}

bool ExecuteEngineCommand() {
  // A copy that outlasts the wait still sees no value or link change.
  if (ParkWhileHeld()) return true;
  TakeControllerMoves(true);
  const bool posted = EngineCommand.State.load(std::memory_order_acquire) == kCommandPosted;
  if (posted) {
    // Not yet run: it stays posted for the next frame boundary.
    if (!RunCommand(EngineCommand.Kind, EngineCommand.Module.Load(), EngineCommand.Source.Load(), EngineCommand.Port,
                    EngineCommand.TemplateType, EngineCommand.Wave, EngineCommand.WaveArgument, true))
      return false;
    if (RebuildsOrder(EngineCommand.Kind)) UpdateProcessingOrderOnRender(EngineCommand.RebuildArgument);
    ResetEngineCommand(EngineCommand);
  }
  if (EngineCommand.State.load(std::memory_order_relaxed) == kCommandIdle) BacklogPopIntoSlot();
  if (posted) WakeRenderWaiters();
  return false;
}

void SettleEngineCommands() {
  WaitEngineCommandSlot();
  // A stream that stopped renders nothing before this thread takes its stop
  // report, so what it left pending runs here, as the report's handler would.
  if (EngineCommandPending() && (PlaybackActive.load() == 0 || !QUARLE_AUDIO::RenderHandedOver()) &&
      RenderBusy.load() == 0)
    RunPendingEngineCommands();
}

void RunPendingEngineCommands() {
  // Bounded: the queue only shrinks here (posters take the direct path now),
  // but a poster holding its lock may make a pop miss once.
  for (int32_t guard = 0; guard < 1 << 20 && EngineCommandPending(); ++guard) {
    if (EngineCommand.State.load(std::memory_order_acquire) == kCommandPosted) {
      if (EngineCommand.Kind == kCommandUnlinkModule && EngineCommand.Module.Load() != nullptr) {
        platform::MutexGuard lock(ModuleList.lock);
        UnlinkModule(*EngineCommand.Module.Load());
      } else {
        RunCommand(EngineCommand.Kind, EngineCommand.Module.Load(), EngineCommand.Source.Load(), EngineCommand.Port,
                   EngineCommand.TemplateType, EngineCommand.Wave, EngineCommand.WaveArgument, false);
      }
      if (RebuildsOrder(EngineCommand.Kind)) UpdateProcessingOrder(EngineCommand.RebuildArgument);
      ResetEngineCommand(EngineCommand);
    }
    BacklogPopIntoSlot();
  }
}

bool HoldFrames() {
  // Nothing renders: with playback off, or once the audio thread reported a
  // stop this thread has not taken yet (it renders again only after that).
  auto nothingRenders = [] {
    return (PlaybackActive.load() == 0 || !QUARLE_AUDIO::RenderHandedOver()) && RenderBusy.load() == 0;
  };
  if (!nothingRenders()) {
    uint32_t ticket = g_holdTickets.fetch_add(1) + 1;
    if (ticket == 0) ticket = g_holdTickets.fetch_add(1) + 1;  // 0 means none
    FrameHoldWanted.store(ticket);
    // The stream may stop while we wait (an overload): its last frame is then
    // behind it, and the ticket stays asked until ReleaseFrames. A render
    // between two calls holds too: the ticket stored before RenderBusy is
    // found clear, its next call finds the ticket at its first frame
    // boundary (both seq_cst) and stops there.
    const auto parked = [&] {
      return g_holdParkedFor.load(std::memory_order_acquire) == ticket || nothingRenders() ||
             RenderBusy.load() == 0;
    };
    if (!WaitForRender(parked, FrameHoldWait)) {
      ReleaseFrames();
      ReportUnanswered("Engine: the audio thread did not pause between two frames", FrameHoldWait,
                       "going on without the pause.");
      return false;
    }
  }
  // What the page shows and still waits for a frame lands before the copy.
  TakeControllerMovesWhileHeld();
  return true;
}

void ReleaseFrames() {
  FrameHoldWanted.store(0, std::memory_order_release);
  platform::WakeWordWaiters(FrameHoldWanted);
}

bool HoldFramesOrGiveUp() {
  for (int32_t attempt = 0; attempt < kFrameHoldAttempts; ++attempt)
    if (HoldFrames()) return true;
  return false;
}

std::string WaitingForAudioText() { return QUARLE_BASICS::LangText(141, "Waiting for audio thread."); }

bool EngineCommandReferences(const ModuleRecord* m) {
  if (m == nullptr) return false;
  if (EngineCommand.State.load(std::memory_order_acquire) == kCommandPosted &&
      (EngineCommand.Module.Load() == m || EngineCommand.Source.Load() == m))
    return true;
  std::lock_guard<std::mutex> guard(Backlog.lock);
  int32_t count = EngineCommandBacklog.load(std::memory_order_relaxed);
  for (int32_t i = 0; i < count; ++i) {
    const QueuedCommand& c = Backlog.items[(Backlog.head + i) % Backlog.capacity];
    if (c.Module == m || c.Source == m) return true;
  }
  return false;
}

bool SettleCommandsOf(const ModuleRecord* m) {
  if (EngineCommandReferences(m)) SettleEngineCommands();
  return !EngineCommandReferences(m);
}

}  // namespace Tarvelo
