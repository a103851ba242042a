// What the start does on the data folder's disk, behind its window: the
// leftovers of cut-short saves put in place or cleared away, the headers of
// takes an end cut short, the bundled files handed to the saver, the notes of
// the last end read. A busy or failing card holds these for minutes; they run
// on a thread of their own (`tarvelo-start`), one job after another in the
// order handed over, and what the interface must do with their outcome comes
// back to it as news (a message on queue 0), so the window never waits for
// the disk.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/documents/end_notes.h"

namespace Tarvelo {

// The data folder's sub-folders, in the order they are made.
constexpr int32_t kDataSubFolderCount = 8;
std::string DataSubFolder(int32_t i);  // "AUDIO", ..., "SYNTHS\DEMO 1.8.13", "TUNINGS"

// A run's start: its news are taken from here on (until its finish).
void BeginStartWork();

// Runs `job` on the start's worker after every job handed before it; its
// thread is made at the first job (and again after a finish; a job whose
// thread could not be made runs here). Interface thread.
void StartDiskJob(std::function<void()> job);

// From a job: `then` runs on the interface thread (TakeStartWorkNews, asked
// for by a message on queue 0), after the news handed before it.
void StartWorkNews(std::function<void()> then);
// The interface thread's side: runs the news waiting. How many ran.
int32_t TakeStartWorkNews();

// News waiting for the interface thread. Any thread.
int32_t StartWorkNewsWaiting();
// Jobs handed and not ended (the running one included). Any thread.
int32_t StartDiskJobsLeft();

// Waits for every job handed, for as long as the jobs move on: one that has
// not ended after `idleSeconds` ends the wait, its thread goes to the keeper
// (platform::HeldWorkers) and the jobs not begun are dropped and said. The
// probe's worker ends too. Then runs the news; news that come after the
// finish, or from a job of an earlier run, are dropped (the end has begun).
// A later run's jobs run on a new thread. True when every job ended.
bool FinishStartDiskWork(double idleSeconds);

// Whether the folder's disk answers: `file` in it opened for writing and
// emptied (as the log is) on the probe's worker (tarvelo-probe), waited for
// at most `bound` seconds. A disk held by an earlier process (a stick that
// writes nothing) holds that open, and then every change of the folder, for
// minutes: the probe's job is left to it (the finish hands its thread to the
// keeper) and once it comes back `late` runs on the interface thread (as
// news), when given.
bool FolderAnswers(const std::string& file, double bound, std::function<void()> late = nullptr);

// The notes the last run's end left for this start (the saves it could not
// finish, the takes the disk did not confirm: app/documents/end_notes.h),
// read once on the start's thread and posted to the interface thread, which
// asks about them in the window once the interface is up: every name whole
// (in pieces when the box cannot show them at once), and a note that could
// not be read whole said too. The notes are removed only when the user has
// acknowledged the question, so a start that fails before (or a user who
// never answers) keeps them for the next.
// From the start's job: what it read goes to the interface thread.
void PostLastEndNotes(const std::string& dataFolder, LastEndNotes notes);
// The interface is up: the question is asked now, or when the notes come.
// Interface thread.
void AskAboutLastEndOnceUp();
// What the notes hold as this run knows them (the start's read, nothing once
// acknowledged); false while the start has not read them (a data folder
// that does not answer, a start that failed before), when the end must
// leave them as they are. Interface thread.
bool LastEndNotesKnown(LastEndNotes& notes);
// The question's forms, the fullest first.
std::vector<std::string> LastEndQuestion(const LastEndNotes& notes);
// What the question's acknowledgement does: the notes removed, behind the
// window. Interface thread.
void AcknowledgeLastEnd(const std::string& dataFolder);

// The work files of saves (platform::ReadWorkName) a crash or a cut-short end
// left in the folder, no save of any running program of ours holding them
// (platform::HoldLeftWorkFile): one the file beside it
// holds all of (or that holds nothing) is removed; one that holds more (or
// whose file is gone) is kept under a name the browser lists, "<name>
// (recovered).<ext>" ("Recovered <hash>.<ext>" for a short name). Each is said; the WAV leftovers RecoverCutSaves looks
// at are its. Gives how many were removed and kept.
struct WorkLeftovers {  // one thread: value
  int32_t removed = 0;
  int32_t kept = 0;
};
WorkLeftovers ClearWorkLeftovers(const std::string& folder);
// The data folder and its sub-folders.
WorkLeftovers ClearWorkLeftoversOf(const std::string& dataFolder);

}  // namespace Tarvelo
