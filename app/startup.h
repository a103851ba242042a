// The program's entry: the start-up sequence that brings every subsystem up in
// one fixed order, keeps a status, hands the main thread to the interface's
// event loop and, when that returns, runs the shutdown (app/shutdown.h).
//
// Headless runs (TARVELO_HEADLESS=1) go through the same steps without a
// display or sound card. TARVELO_EXIT_AFTER_MS=n ends the event loop n
// milliseconds after it starts (a quit message on queue 0), so scripts and
// tests can run the whole program unattended.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "app/startup_work.h"  // the data folder's sub-folders
#include "basics/dynzstring.h"
#include "basics/listings.h"

namespace Tarvelo {

// StartupStatus: 0 success; 1 the data folder or a sub-folder can be neither
// found nor made; 2 the event loop was never entered; 3 the tuning locks could
// not be made; 4 the screen could not be opened; 5 the interface failed.
enum StartupStatusCode : int32_t {
  kStartupOk = 0,
  kStartupFolders = 1,
  kStartupNoLoop = 2,
  kStartupTuningLocks = 3,
  kStartupScreen = 4,
  kStartupInterface = 5,
};
// one thread: interface, the start-up's and the shutdown's steps
extern int32_t StartupStatus;
// What made the start-up fail, in words, when the failing step knows it (the
// display and the graphics library's own error); empty otherwise.
extern std::string StartupFailure;  // one thread: interface

// one thread: interface
extern int64_t LoopEntered;      // -1 once the event loop was called
extern int64_t NewSessionFlag;   // -1 when no synth file was loaded at start
// Bit 0: the synth or demo folder could not be entered before the sub-folders
// were made; bit 1: the tunings folder. Handed to the demo-file copy.
extern int32_t DemoFlags;  // one thread: interface

// The command line as the process got it.
// one thread: start-up
extern int32_t ProgramArgCount;
extern char** ProgramArgs;

// one thread: interface
extern uint8_t CpuCount;
extern char WindowTitle[17];

// The desktop's size: the start-up and the system bar's tick (a monitor
// change) store it; the scope's draws read it on the video thread.
extern std::atomic<int64_t> DesktopWidth;
extern std::atomic<int64_t> DesktopHeight;

// Drives that can be entered (DriveList) and the listing the file browser
// starts with (DirList: the data folder's own files). The records are made by
// the start-up and freed by the shutdown; what they hold has its own words.
// one thread: start-up, read-only between
extern QUARLE_BASICS::DriveList* Drives;
extern QUARLE_BASICS::DirList* BrowserListing;

// Messages 116 to 121, kept for the keyboards and the MIDI lists.
// one thread: start-up, read-only between
extern QUARLE_BASICS::DynZString KeyboardsOffText;
extern QUARLE_BASICS::DynZString NoDeviceText;
extern QUARLE_BASICS::DynZString AnyFreeDeviceText;
extern QUARLE_BASICS::DynZString UnassignedText;
extern QUARLE_BASICS::DynZString AnySelectionText;
extern QUARLE_BASICS::DynZString InvalidAssignmentText;

// The running audio thread; null when none was started. The end takes it
// over (and clears it) as it asks the thread to end, and its worker
// (tarvelo-end) joins it; no other thread reads it.
// one thread: interface, set by the start before the thread runs, taken by the end
extern std::thread* AudioThreadHandle;

// What the status line keeps saying while the data folder does not answer
// (its disk held or gone); "" while it answers. Interface thread.
std::string DataFolderSilentText();

// Runs start-up steps 1 to 42: everything up to and including the event loop,
// then stops the video thread. Gives the final StartupStatus.
int32_t RunStartup(int32_t argc, char** argv);

// The process's exit code for the run that ended: 0 after a normal quit, 1
// when the start-up failed (a display lost mid-run ends with 1 on its own).
int32_t ProgramExitCode();

// The whole program: start-up, event loop, shutdown; ends the process with
// ProgramExitCode() and never returns.
[[noreturn]] void Main(int32_t argc, char** argv);

}  // namespace Tarvelo
