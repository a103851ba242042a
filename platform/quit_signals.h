// Requests to end the program that come as signals: a desktop's logout or a
// system shutdown (SIGTERM), the terminal going away (SIGHUP) and Ctrl-C
// (SIGINT). They are blocked in every thread and taken by one thread of their
// own with sigwait, so no handler ever interrupts the program mid-work; that
// thread only hands the request on.
#pragma once
#include <string>

namespace platform {

// Blocks the three signals in the calling thread. Called first on the main
// thread, before any other thread exists, every thread started later inherits
// the block, so the signals wait for the watching thread.
void BlockQuitSignals();

// Starts the watching thread (only after BlockQuitSignals; false otherwise or
// when the thread cannot start). At the first signal it calls `onQuit` with
// the signal's number, on its own thread: `onQuit` may only post. A second
// signal, from a user or a session manager that will not wait for the end, is
// only noted (SecondQuitSignal): the end cuts its waits short and ends the
// process with exit code 128 + its number once every recording's file names
// what it holds. A third ends the process at once with 128 + its number.
bool WatchQuitSignals(void (*onQuit)(int signal));

// The run is ending on its own: from now on `onQuit` is never called (what it
// posts to may be going away); a first signal is only counted, a second is
// noted, a third still ends the process at once. Waits for a call of `onQuit`
// under way.
void StopQuitRequests();

// The number of the first quit signal that arrived; 0 while none has.
int FirstQuitSignal();
// When it arrived (HighResClock); 0 while none has.
double FirstQuitSignalAt();
// The number of the second quit signal; 0 while none has: the end is to be
// cut short.
int SecondQuitSignal();
// "SIGTERM", "SIGINT" or "SIGHUP"; "signal N" for any other number.
std::string QuitSignalName(int signal);

}  // namespace platform
