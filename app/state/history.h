// The action history: one numbered line per change the user made to the
// synth's structure or to a module's modes, shown under the "Action history"
// tab of the message pane. A display log only: nothing replays or undoes it.
#pragma once
#include <cstdint>
#include <string>

#include "basics/dynzstring.h"
#include "engine/module.h"
#include "platform/threads.h"

namespace Tarvelo {

// Lines in order of the actions, only ever appended; the capacity survives a
// clear. The lock guards the array, count and capacity; the history list's draw
// callback reads the lines under it.
// one thread: holder of lock
struct ActionHistoryList {
  QUARLE_BASICS::DynZString** lines = nullptr;
  int32_t count = 0;
  int32_t capacity = 0;
  platform::Mutex* lock = nullptr;  // one thread: maker (the lock itself)
};
// Made by the start-up and freed by the shutdown; the interface appends under
// the lock (and reads its own count without), the list's draw reads under it.
// one thread: holder of ActionHistory.lock
extern ActionHistoryList ActionHistory;

enum ActionKind : int32_t {
  kActionNone = -1,
  kActionCreate = 0,
  kActionDelete = 1,
  kActionChannels = 2,       // linked channels: mono or stereo
  kActionGlobal = 3,         // global or local value
  kActionConnect = 4,
  kActionDisconnect = 5,
  kActionConnectSynth = 6,
  kActionDisconnectSynth = 7,
  kActionInputDomain = 8,    // energy or time
  kActionVoiceMapSource = 9,
  kActionEnvelope = 10,
  kActionPlayState = 11,
  kActionPower = 12,
  kActionPolyphony = 13,
};

// The list with 16 empty slots and its lock: 0, -21 or -26 (nothing made).
int32_t ActionHistoryCreate();
// Frees every line, the array and the lock.
void ActionHistoryFree();

// Appends the line of an action: its index, "- ", the text and ".". Port -1
// means the module itself; other is the second module of a connection. 0, or
// -21 when the list cannot grow (the line is dropped). A kind without a text
// (-1, or outside 0..13) records nothing and gives 0.
int32_t RecordAction(int32_t kind, const ModuleRecord* module, int32_t port,
                     const ModuleRecord* other);
// Frees every line; the next line is numbered 0 again.
void ClearHistory();
// Line i under the list's lock; "" outside 0..count - 1.
std::string GetActionLine(int32_t i);

// Tests only: the next n growths of the list fail.
void HistoryFailNextGrowths(int n);

}  // namespace Tarvelo
