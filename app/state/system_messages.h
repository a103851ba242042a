// The main thread's handler of every queue-0 message the event loop does not
// keep (control events 100, found tooltips 99 and the quit -1 are its own):
// the audio thread's reports (playback and capture state, recording failure,
// settled buffer length, output blocks for the scope, meter values, output
// lost), other threads ending or failing, and the display changes the settings
// windows post instead of applying them inside their own callbacks. It fills
// the two rings that the scope and power displays read under the scope lock.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "basics/queues.h"

namespace Tarvelo {

// The latest output blocks (stereo interleaved floats, heap blocks handed over
// by the audio thread); a block is freed when its slot is reused. Guarded by
// the engine's scope lock.
constexpr int32_t kScopeBlockSlots = 100;
// one thread: holder of ScopeLock
struct ScopeBlockRingRecord {
  float* blocks[kScopeBlockSlots] = {};
  int32_t lengths[kScopeBlockSlots] = {};  // floats in each block
  int32_t newest = 0;                      // slot of the newest block
};
// one thread: holder of ScopeLock
extern ScopeBlockRingRecord ScopeBlockRing;

// The power history's write position (a float index, a multiple of 6, 0..594)
// and the number of entries added; the 600 floats themselves are the engine's
// PowerHistoryRing. Guarded by the scope lock.
// one thread: holder of ScopeLock
extern int32_t PowerHistoryWrite;
extern int32_t PowerHistoryCount;

// -1 while the output is being recorded to a WAV file.
// one thread: interface
extern int64_t OutputRecording;
// The number the interface gave the take it asked for last (the start
// command's arg2, which the stop reports carry back): a report naming any
// other take, or coming while no take runs, is about one already ended.
// one thread: interface
extern uint32_t RecordingTake;

// The stream rate the program asks of the audio subsystem: 48,000 Hz, never changed.
// one thread: start-up, read-only
extern int64_t ConfiguredStreamRate;

// Main-queue message types this handler acts on besides the audio reports.
enum SystemMessageType : uint32_t {
  kMessageThreadError = 1,
  kMessageThreadEnded = 2,
  kMessageLanguage = 3,
  kMessageZoom = 101,
  kMessageScreenMode = 102,
  kMessageDisplayDriver = 103,
  kMessageStatusText = 104,        // a status text set on another thread waits (console)
  kMessageMelodiesFinished = 105,  // recordings the audio thread finished (TakeFinishedRecordings)
  kMessagePerVoice = 106,          // the audio thread rebuilt the order (PublishSelectedPerVoice)
  kMessageControllerMoves = 107,   // MIDI controller moves wait while playback is off
  kMessageSavesDone = 109,         // the saver finished saves (platform::SaverTakeOutcomes)
  kMessageStartWork = 110,         // the start's disk work has news (StartWorkNewsHook)
};
// Runs the news of the start's disk work (app/startup_work.h); set by the
// start-up before its thread runs.
// one thread: start-up
extern int32_t (*StartWorkNewsHook)();
// Posts a message of that type, without data, to queue 0; false when it could not.
bool PostToInterface(uint32_t type);

// Acts on one message; a data block it carries is released or kept by the
// scope ring (the message's data word is then cleared). Always 0.
int32_t HandleSystemMessage(QUARLE_BASICS::CommandMessage* msg);

// The status lines of saves, on the interface thread. A save handed to the
// saver says so while it lasts ("Saving X..."), unless the status line names
// the file already (a New or Load that waits for it); once it landed the line
// says "X has been saved." when nothing replaced the line meanwhile (a failure is the
// outcome's to say).
void SayingSaveOnItsWay(const std::string& target);
void SaveOnItsWayDone(const std::string& target, int32_t rc);
// What the status line says of the oldest save still on its way ("" none):
// said again whenever another report replaced it.
std::string SaveOnItsWayText();
// Told every save's outcome (the saver's watch): a file whose save failed is
// named, with every other file whose last save failed, once each ("Not saved:
// ..."); a later save of it that lands takes it off. A save left out because
// a file it names failed is no outcome of its own (the save handed again
// decides).
void NoteSaveOutcome(const std::string& target, int32_t rc);
// The names of the files whose last save failed, in the order they failed.
std::vector<std::string> FilesNotSaved();
// Tests: forgets them.
void ForgetFilesNotSaved();

// Frees every scope block (at shutdown, after the audio thread ended) and
// empties the power history's counters.
void ScopeBlockRingFree();

}  // namespace Tarvelo
