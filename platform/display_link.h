// The program's connection to the display server: made once and kept for the
// run, its failure told in words, and its loss while the program runs noticed
// instead of ending the process from inside the display library.
#pragma once
#include <string>

namespace platform {

// Takes one use of SDL's video for the caller (pair with VideoRelease). The
// first success is also kept for the whole run, so later queries and windows
// reuse one connection instead of opening the display again each time: a
// server that is busy accepting may refuse a connection now and then, and SDL
// would then quietly fall back to an invisible display. A server that refuses
// is asked a few times more; an invisible stand-in counts as a failure unless
// SDL_VIDEODRIVER asks for one.
bool VideoAcquire();
void VideoRelease();

// Why the last VideoAcquire failed: the display's name and SDL's own words.
std::string DisplayFailureText();
// Kept as the failure text above (the simulated display's own failures).
void SetDisplayFailure(const std::string& why);
// "the display \"NAME\"", NAME from the environment ("(none)" when unset).
std::string DisplayName();

// Called with SDL's window once it exists: from then on a display server that
// goes away marks the display lost and ends the run through the end hook,
// instead of the display library ending the process from whichever thread
// noticed (with the other threads still running) or that thread going on
// with a broken connection.
void WatchDisplayConnection(void* sdlWindow);
// Set by the program on its main thread: `endRun` saves what a quit saves and
// ends the process; it must not return. `askMain` asks the main thread to call
// TakeOverDisplayLoss soon (it may run on any thread and must only post).
void SetDisplayLostHooks(void (*endRun)(), void (*askMain)());
bool DisplayLost();
// The main thread, once asked: true when it is to call the end hook itself
// (the thread that noticed then waits for the process to end).
bool TakeOverDisplayLoss();
// What the watch does when the server goes away, from the calling thread; for
// tests. It does not return when an end hook is set.
void MarkDisplayLost();

}  // namespace platform
