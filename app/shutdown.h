// The program's end, on the main thread once the event loop has returned or the
// start-up gave up: what the user would lose is saved, the audio thread stopped
// and the recordings' writer let write all it holds (the window's status line
// shows how much is left), the video thread stopped, the program's lists
// freed, the subsystems shut down in reverse order of their start, and the
// console counts down before the process ends (exit code 0 after a normal run).
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/documents/end_notes.h"

namespace Tarvelo {

// Steps 1 to 7: saves (only after a clean start), the start-up failure message
// with its pause, the audio thread's end and the recordings' (the window still
// drawing), the video thread's, the memory, the subsystems, "END|FIN" in the
// log. The message hook is the text-console printer afterwards. A writer that
// a disk still holds after its wait keeps the message table, the queues and
// the files to the process's end. The end's wait for the writer keeps the
// window answering and its status line counting; a second quit signal cuts
// it short (each take then names what its file holds). The takes it could not
// confirm are said and noted for the next start. The saves wait the same way,
// for as long as the disk writes, at the same time as the recordings (the
// writer's wait on a thread of the end's own), under one status line, one
// bound after a signal and one cut; those the end could not finish are said
// and noted for the next start. What it waits for is noted before it waits.
// False when the writer or the saver is still held (see EndProcess).
bool RunShutdown();

// Ends the process with code, or 128 + the second quit signal when one came,
// or kExitEndUnclean for a code of 0 when the end left something unsaved or
// held by its disk; without static destructors while the writer or the saver
// is still held.
constexpr int32_t kExitEndUnclean = 1;
[[noreturn]] void EndProcess(bool writerEnded, int32_t code);

// How long the window stays up with the names of the takes the end could not
// confirm (headless runs do not wait).
// one thread: interface (the end's), set before a run
extern double EndWarningSeconds;

// After a quit signal (a logout: the desktop kills what still runs about a
// minute later) the whole end is over this long after the signal's own
// moment. Its waits give up by themselves (as a second signal would cut them)
// in time for what follows: what the end then says, its pieces each a share
// of kSignalSayingSeconds, and the steps after it, each taking only what the
// bound leaves it (the notes' write, the takes' last moment, the log's last
// lines, the countdown), kSignalTailSeconds kept for those that do not wait.
// A thread a disk holds inside the kernel is the one thing the end cannot
// end: it is named, and the process ends without it.
// one thread: interface (the end's), set before a run
extern double SignalEndSeconds;
constexpr double kSignalSayingSeconds = 10.0;
constexpr double kSignalTailSeconds = 3.0;

// The end's clock (seconds): HighResClock, or a test's (nullptr: back to it).
// The end reads the time only through it; its sleeps stay real.
using EndClockFn = double (*)();
void SetEndClock(EndClockFn clock);

// A Sample, Sequencer or Melody Generator still recording ends it before
// anything is saved, as its record button would: what it holds becomes its
// sound or melody (nothing when it holds nothing), not the whole silent length
// or the empty note slots it was given.
void EndRunningTakes();

// After the display server went away, on the thread that ends the run: logs
// the loss, saves what a quit saves, lets the recordings reach the disk as a
// quit does, closes the log and files and ends the process with exit code 1,
// or 128 + a second quit signal (the video thread may be stuck in the display
// library, so nothing waits for it).
[[noreturn]] void EndAfterDisplayLoss();

// Step 8: "END|FIN - CLOSING TERMINAL IN:" and the countdown 2, 1, 0 on the
// text console, a second apart (after a signal, only the pauses its bound
// leaves room for). The caller ends the process.
void ShutdownCountdown();

}  // namespace Tarvelo
