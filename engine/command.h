// The engine command mailbox: while playback runs the module graph belongs to
// the audio thread, so the interface posts each change of it into a one-slot
// mailbox that the render callback executes at the start of its next frame.
// With playback off the poster performs the change itself.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "engine/module.h"
#include "platform/threads.h"

namespace Tarvelo {

enum EngineCommandKind : int32_t {
  kCommandRebuild = 0,
  kCommandLink = 1,
  kCommandAttachWave = 2,
  kCommandApplyTuning = 3,
  kCommandUnlinkModule = 4,  // a module going away leaves every link at once
  kCommandFinishTake = 5,    // a recording ends, running or asleep
  kCommandBeginTake = 6,     // a Melody Generator starts recording into an entry
  // The module page's words that the render writes too (a frame's reset, a
  // Sequencer's pass end): taken whole at a frame boundary.
  kCommandRewind = 7,       // every clock of a module, or of every listed module of a type
  kCommandPlaySwitch = 8,   // the play switch set; turned on with autorewind, the phases cleared
  kCommandPausePlay = 9,    // a Sequencer's play and autorewind off while Set changes its melody,
  kCommandResumePlay = 10,  // and back as the pause found them
};

constexpr int64_t kCommandIdle = -1;
constexpr int64_t kCommandPosted = 0;

// The state word is written last by the poster and last by the reset: it
// hands the other fields over. The poster that found the slot idle (the
// interface, or the audio thread filling it from the queue under the queue's
// lock) writes them before its release store of posted; the one thread that
// runs the command (the render while playing, the interface once the stream
// stopped) reads them after an acquire of posted and resets the slot. The
// interface also asks whether a pending command names a module while the
// render may run it and fill the slot again: the two module words are shared.
struct EngineCommandRecord {
  std::atomic<int64_t> State;  // -1 idle, 0 posted
  // one thread: holder of State, the poster while idle and the runner once posted
  uint64_t WaveArgument;
  uint64_t RebuildArgument;
  int32_t Kind;
  int32_t Port;
  int32_t TemplateType;
  QUARLE_BASICS::Shared<ModuleRecord*> Module;
  QUARLE_BASICS::Shared<ModuleRecord*> Source;
  WaveLibraryEntry* Wave;
};
// one thread: holder of EngineCommand.State, as above (the module words are shared)
extern EngineCommandRecord EngineCommand;

// What a wave library entry hands to the module it is attached to.
// one thread: value
struct WaveInfo {
  int32_t Channels;
  int32_t Frames;
  float* Data;
  float Pitch;  // detected pitch of channel 0
  int32_t Rate = 0;  // the sound's frames per second; 0: the engine's
};
// Installed by the libraries; without it an attached entry carries no sound.
// one thread: start-up
extern bool (*DescribeWave)(const WaveLibraryEntry* wave, WaveInfo& info);
// Installed by the engine start-up: ends the recording of a Sample, Sequencer
// or Melody Generator with what it holds (an entry without anything recorded
// leaves its list).
// one thread: start-up
extern void (*FinishTake)(ModuleRecord& m);
// The interface shows the scale pattern of the Melody Generator it shows
// (null: nothing shows it). Interface thread.
// one thread: start-up
extern void (*ShowMelodyScalePattern)();

// Waits of the posters, in seconds (3.0 and 1.0).
// one thread: start-up (tests set them while nothing renders)
extern double CommandSlotWait;
extern double ModuleLiveWait;

// Zero-fills the mailbox (read as a posted rebuild, so the first frame builds
// the order) and empties the queue of waiting commands.
void EngineCommandInit();
void EngineCommandFree();
// kind, rebuild argument and wave argument 0, then idle.
void ResetEngineCommand(EngineCommandRecord& c);
// 1 when playback is active (after waiting up to 3 s for the mailbox and its
// queue to empty), else 0 at once.
int32_t WaitEngineCommandSlot();
// true while a command is posted or queued.
bool EngineCommandPending();
// Commands that found the mailbox still busy after the wait, oldest first.
int32_t EngineCommandsQueued();
// 1 when playback is active and m is in the processing order (after waiting
// up to 1 s for the commands pending; noWait: at once). Walks no order: the
// rebuild marks the modules it places.
int32_t IsModuleLive(const ModuleRecord* m, uint64_t noWait);
// While playback is active, waits up to 3 s for m to have no active voices.
void WaitModuleOutput(const ModuleRecord* m);

// The interface's waits for the render callback sleep rather than spin: the
// render wakes them at its frame boundaries (a command run, a frame hold
// taken, the end of a render call), and they look again every few
// milliseconds in any case (a stream that stops wakes nobody). Each wait is
// bounded, and one that gives up says so in the log.
//
// Audio thread: wakes the waiting threads, if any (one load when none waits;
// no lock, no allocation).
void WakeRenderWaiters();
namespace render_wait {
uint32_t Enter();  // counts the caller as waiting; the wake count it saw
void Sleep(uint32_t seen, double seconds);
void Leave();
constexpr double kLookAgain = 0.004;  // seconds between looks without a wake
}  // namespace render_wait
// Sleeps until done() holds (true) or `limit` seconds have passed (false).
template <class Done>
bool WaitForRender(Done&& done, double limit) {
  const double start = platform::HighResClock();
  for (;;) {
    if (done()) return true;
    const double left = limit - (platform::HighResClock() - start);
    if (!(left > 0.0)) return false;
    const uint32_t seen = render_wait::Enter();
    // Looked at again once counted: a change the render made before it saw
    // this waiter is seen here, one made after wakes it.
    if (!done()) render_wait::Sleep(seen, left < render_wait::kLookAgain ? left : render_wait::kLookAgain);
    render_wait::Leave();
  }
}

// Posters.
void RequestGraphRebuild(uint64_t flag, uint64_t argument, ModuleRecord* output);
// Takes the synth's output away and waits for the render to rebuild the
// order without it (a load, before the old synth goes). false when the render
// did not take it within the wait: the output is put back, and the rebuilds
// still pending find it there (nothing changed).
bool DisconnectOutput();
void PostAttachWave(ModuleRecord* m, WaveLibraryEntry* wave, uint64_t waveArgument);
// Every tuning load ends here, on the interface thread, once the tuning in
// use (ActiveTuning) holds the new tuning: each Melody Generator (and its
// template) whose scale pattern the tuning lacks takes pattern 0, the page
// shows the selected one's (ShowMelodyScalePattern), and the engine is handed
// the tuning.
void RequestTuningApply();
// Links (or, with the port's current source, unlinks) an input port.
void PostLinkInput(ModuleRecord* m, int32_t port, ModuleRecord* source, int32_t templateType);
// A library entry goes away: detaches it from m, posted while the render may
// reach m (as PostAttachWave is).
void PostDetachWave(ModuleRecord* m);
// Ends the recording of m (a Sample, Sequencer or Melody Generator) at the
// start of the next frame, also when m has no voice to run with then; at once
// when the render cannot reach m (as PostAttachWave).
void PostFinishTake(ModuleRecord* m);
// Starts the recording of a Melody Generator into wave (its melody, its
// counters and its record switch, which the render reads) at the start of the
// next frame; at once when nothing renders m.
void PostBeginTake(ModuleRecord* m, WaveLibraryEntry* wave);
// Ends every recording of the module list (or of m alone) with what it holds
// and waits until the render took the stops: a module that goes away, or is
// reset, takes no busy entry with it, and a take that held nothing has left
// its list on return (interface thread). false when the render did not take
// every stop within the wait: those takes still run, their entries busy, and
// end when it takes them.
bool EndRecordings(ModuleRecord* m = nullptr);
// The same for the Sample takes alone, as the output going off does: the
// render alone writes them and serves their stop. A melody recording pauses
// with the output instead.
bool EndSampleTakes();
// The module page's clicks on words the render writes as well, taken whole
// at the next frame boundary where the render may reach the module (at once
// where nothing renders it), so a frame sees all of a click or none of it.
// Rewinds m, or every listed module of the type.
void PostRewind(ModuleRecord* m);
void PostRewindType(int32_t type);
// Sets m's play switch (0 off, -1 on); turned on with autorewind on, every
// phase starts from 0 in the same step.
void PostPlaySwitch(ModuleRecord* m, int64_t on);
// Set on a Sequencer's melody page: the pause turns play and autorewind off
// when the render still finds play on as it takes it, the resume puts back
// what that pause turned off. A pass the render ended first stays ended.
void PostPausePlay(ModuleRecord* m);
void PostResumePlay(ModuleRecord* m);

// Cuts every link into and out of m in one step and rebuilds the order, so a
// frame sees m either fully linked or not at all (m stops being the output
// module first). Posted while playback runs, like every change of the graph.
void PostUnlinkModule(ModuleRecord* m);

// The operations themselves.
void AttachWaveToModule(ModuleRecord* m, WaveLibraryEntry* wave, uint64_t waveArgument);
// Starts every clock of m again from its beginning: phases cleared, melody
// restarted, sequencer position 0, every voice's run flag set. The render's
// words: through PostRewind while it may reach m.
void RewindModule(ModuleRecord& m);
void ApplyTuning();

// The render callback's step at the start of every frame: runs a posted
// command, rebuilds the order, makes the mailbox idle, and moves the oldest
// queued command into it. Audio thread only; never waits on a lock. true
// while a frame hold holds the frames (see HoldFrames): the frame then plays
// silent and touches no module.
bool ExecuteEngineCommand();

// The queue's length and the frame hold's ticket (0: none asked), for the
// look below.
extern std::atomic<int32_t> EngineCommandBacklog;
extern std::atomic<uint32_t> FrameHoldWanted;
// Whether ExecuteEngineCommand has anything to do: a command posted or queued,
// or a frame hold asked for. The render callback looks before each frame and
// calls it only then; ExecuteEngineCommand reads every word again itself. The
// hold's ticket is read seq_cst: after silent frames of a hold that outlasted
// the render's wait, finding it withdrawn here puts the copy's reads before
// the modules' next writes; and read after RenderBusy is set, it is seen by a
// call that starts while a hold found the render between two calls.
inline bool EngineCommandWork() {
  return EngineCommand.State.load(std::memory_order_relaxed) == kCommandPosted ||
         (static_cast<uint32_t>(EngineCommandBacklog.load(std::memory_order_relaxed)) |
          FrameHoldWanted.load()) != 0;
}

// The interface's side once the render callback stopped for good (its stop
// report): what it left posted or queued runs here, oldest first, before the
// posters take the direct path.
void RunPendingEngineCommands();

// Before freeing what pending commands may name (library entries): waits for
// the render to run them, or runs them here once the stream has stopped (its
// stop report not yet taken: nothing else runs them before that).
void SettleEngineCommands();

// true when a pending command (posted or queued) names m.
bool EngineCommandReferences(const ModuleRecord* m);
// What m has pending runs (SettleEngineCommands) before a page judges m's
// switches, e.g. a take's start a press posted; false when some of it still
// waits for the render.
bool SettleCommandsOf(const ModuleRecord* m);

// A copy of module state taken between two frames (a save during playback):
// HoldFrames parks the render callback at its next frame boundary and answers
// true once it is parked, or at once when nothing renders (also when the
// stream stops while it waits); then the controller moves still waiting are
// applied, so the copy holds every value set so far; a render between two
// calls holds as well (its next call stops at its first frame boundary).
// false when the audio thread did not answer within FrameHoldWait (stuck
// inside a frame):
// nothing is held then, and a save gives up rather than copy a frame being
// made. ReleaseFrames lets it go on. The
// render callback waits at most FrameHoldLimit seconds for the release and
// then plays silent frames that touch no module until it comes, so keep the
// copy short (no I/O in between).
bool HoldFrames();
void ReleaseFrames();
// Frame holds asked for before a change gives up (FrameHoldWait each): a
// render stuck inside a frame gets a second chance to reach its boundary.
constexpr int32_t kFrameHoldAttempts = 2;
bool HoldFramesOrGiveUp();

// HoldFramesOrGiveUp for the length of a scope (what the render reads changes
// between two frames). Post nothing that waits for the render meanwhile. When
// it did not hold, nothing is held: change nothing the render reads, and say
// so (WaitingForAudioText).
// one thread: value, a scope's
struct FrameHold {
  FrameHold() : held(HoldFramesOrGiveUp()) {}
  ~FrameHold() { ReleaseFrames(); }
  FrameHold(const FrameHold&) = delete;
  FrameHold& operator=(const FrameHold&) = delete;
  bool held;
};
// What a change that found no frame hold tells the user.
std::string WaitingForAudioText();
// one thread: start-up (tests set them while nothing renders)
extern double FrameHoldWait;   // 1.0 s
extern double FrameHoldLimit;  // 0.25 s

}  // namespace Tarvelo
