// Fixed-size command messages and the numbered queues threads talk through.
#pragma once
#include <cstdint>

#include "basics/dynzstring.h"

namespace QUARLE_BASICS {

// one thread: value
struct CommandMessage {
  uint32_t type;
  uint32_t arg1;
  uint32_t arg2;
  uint32_t arg3;
  uint32_t arg4;
  uint32_t arg5;
  float single1;
  float single2;
  float single3;
  double timeStamp;
  uint64_t word1;
  uint64_t word2;  // heap block pointer where a message carries one; receiver frees
};
static_assert(sizeof(CommandMessage) == 64, "CommandMessage is 64 bytes");

constexpr uint32_t kCommandError = 1;
// Queue 0's types the interface loop keeps for itself: a control event, the
// tooltips a draw found and the quit. Every other type on queue 0 goes to the
// system-message handler (QUARLE_VISUALS::SystemMessageHandler).
constexpr uint32_t kCommandControlEvent = 100;
// A draw found a control's tooltip: the interface loop sets what was found
// (QUARLE_VISUALS::TakeFoundTooltips). No data.
constexpr uint32_t kCommandFoundTooltips = 99;
constexpr uint32_t kCommandEndLoop = 0xFFFFFFFFu;

// Numbers are handed out in creation order from 0; a queue may be made while
// other threads post to those made before it (at most 64 queues).
// 0 and the new number; -21 or -26 when the queue cannot be made (nothing changes).
int32_t CreateCommandQueue(int32_t& queueNumber);
// 0; -19 for a queue never handed out; -21 when a full queue cannot grow (the
// message is refused and, like every refused message, not cleared).
int32_t PostCommand(CommandMessage& msg, int32_t queue, int32_t clearAfter);
// Posts a type-1 error report (arg1 parameter, arg3 queue, arg4 |code|, time
// stamp); nothing for an invalid queue.
void PostSimpleCommand(int32_t code, int32_t queue, uint32_t parameter);
// Moves every pending message into the caller's buffer in posting order; the
// buffer is the caller's own, replaced by one of the queue's capacity when
// smaller; the header needs its own lock (ArrayHeaderInit). 0; -19 for a queue
// never handed out; -21 when the bigger buffer cannot be had (the messages stay
// pending and the caller keeps its buffer).
int32_t FetchCommands(CommandMessage*& buffer, ArrayHeader& header, int32_t queue);
// Puts fetched messages a reader did not handle back at the queue's front, in
// their order, ahead of those posted since, so that whoever reads the queue
// next (or drops what is left at the end) finds them. 0; -19 for a bad queue
// or count; -21 when the queue cannot hold them (it keeps what it held).
int32_t ReturnCommands(const CommandMessage* messages, int32_t count, int32_t queue);
void CommandCopy(CommandMessage& dst, const CommandMessage& src);
void CommandClear(CommandMessage& msg);
uint32_t CommandQueueCount();  // number of queues created
// Messages waiting in a queue (0 for a queue number never handed out); lets a
// loop decide whether to sleep without fetching.
int32_t CommandQueuePending(int32_t queue);
// Blocks until the queue holds a message or `seconds` have passed, so that a
// loop with nothing else to do sleeps until its work arrives; gives the number
// of messages pending (0 at once for a queue never handed out).
int32_t WaitForCommands(int32_t queue, double seconds);
// `wake` runs on the posting thread after every post to the queue, for a loop
// that waits for the queue elsewhere (the interface waits on its window); null
// removes it.
void SetCommandQueueWake(int32_t queue, void (*wake)());

// Frees the queues and the foundation's tables, destroys MT_FILES, MT_CONSOLE,
// MT_BASICS. Runs once; a second call does nothing until the next BasicsReset.
void BasicsShutdown();

// Creates MT_BASICS, MT_FILES and MT_CONSOLE, in that order (the program main
// does this first thing). 0, or -26 when a lock cannot be created (the locks
// made before stay and BasicsShutdown destroys them).
int32_t BasicsCreateLocks();

// Set by the builder of the console code-page map and its inverse, so that
// BasicsShutdown frees both maps; null when there is nothing to free.
// one thread: start-up
extern void (*CodePageMapsFree)();

// Tests only: after BasicsShutdown, lets the foundation be set up again in the
// same process.
void BasicsReset();

// Made before the other threads start; every thread posts to them.
// one thread: start-up, read-only between
extern int32_t MainCommandQueue;
extern int32_t AudioCommandQueue;
extern int32_t VisualsCommandQueue;

// one thread: start-up, made first thing and destroyed last
extern Mutex* MT_BASICS;
extern Mutex* MT_FILES;
extern Mutex* MT_CONSOLE;

}  // namespace QUARLE_BASICS
