// Saving files: the one sequence that puts a file in the place of its target,
// and the saver that runs it on a thread of its own (`tarvelo-save`), so the
// window never waits for a disk.
//
// A save writes a work file beside the target (ClaimWorkFile), has the disk
// write it back in counted pieces, syncs it, renames it over the target and
// syncs the folder (FileReplace): a failed save leaves the previous file as it
// was, and a power cut leaves the old file or the new. A reader of the target
// meanwhile sees one or the other.
//
// The interface builds a document's bytes in memory and hands them over
// (SaveInBackground). The saver keeps one queue and one thread per disk (the
// device under the target's folder, made at its first save), so a disk that
// stops writing holds only the saves to itself. Each queue takes its saves one
// at a time, in the order they were handed over, so a second save of a file
// follows the first and its bytes win; a save still waiting when a newer one
// of its file comes is replaced by it (the newest bytes win, every Done still
// runs); a save that names saves on another disk waits for them. Each outcome
// waits for the interface thread (SaverTakeOutcomes, which the wake hook asks
// for with a message to queue 0): only there does a save say it is done, once
// its file is on the disk, or say why not.
// Without a running saver (tools, tests that start none) a save runs at once
// on the caller's thread and its outcome is delivered before it returns.
//
// A saver is an object with its queue, thread and progress (tests make their
// own); the program keeps one, whose API the free functions below are.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/disk_pace.h"

namespace platform {

// The shared numbering's file I/O error ("File I/O Error: Disk Full, ..."):
// a write or a sync the disk refused, or a file that came out short.
constexpr int32_t kSaveIoError = 3;

// Writes the work file's bytes to the descriptor: false when the disk refused.
using SaveFill = std::function<bool(int fd)>;
// A fill's write: every byte, or false.
bool SaveWrite(int fd, const void* bytes, size_t n);
// The fill of a copy of `from`, a regular file opened now and read when the
// fill runs (FileCopy's, or a copy handed to the saver); none when there is
// nothing to copy, rc then -24 (no file) or -20 (not a regular file, or
// refused), else 0.
SaveFill FileCopyFill(const std::string& from, int32_t& rc);
// fsync, as a save makes it (also a folder's): false when the disk refused.
bool SyncDescriptor(int fd);

// The sequence itself, on the calling thread: the work file (target's name
// and suffix), `fill`, written back in counted pieces, sync, close, `length` checked when not negative,
// FileReplace, the work name released. 0; the negated open failure (FileOpen's
// codes); -kSaveIoError for a refused write or sync or a short file; or
// FileReplace's code. On failure the work file is removed, the target kept.
// A link as the target writes the file it leads to and stays (SaveTargetOf);
// one leading to no regular file, or such a file itself, is refused at once
// with -kOpenNotRegular, nothing written.
int32_t PutFileInPlace(const std::string& target, std::string_view suffix, const SaveFill& fill,
                       int64_t length = -1);
// The same for bytes held in memory.
int32_t PutFileInPlace(const std::string& target, std::string_view bytes, std::string_view suffix = ".tmp");

// A save's result as the saver's thread leaves it, for the saves after it:
// kSavePending until then.
constexpr int32_t kSavePending = 1;
using SaveOutcome = std::shared_ptr<std::atomic<int32_t>>;
SaveOutcome NewSaveOutcome();
// A save that names files saved before it fails with this, writing nothing,
// when one of them failed.
constexpr int32_t kSaveEarlierFailed = -1000;

// one thread: value, a save's own
struct SaveRequest {
  std::string Target;
  std::string Bytes;
  // When set, writes the file in place of Bytes.
  SaveFill Fill;
  std::string Suffix = ".tmp";
  // When set, a file at the target is copied here before the save and the
  // copy removed once the new file is in place (it stays after a failure).
  std::string Backup;
  // The outcome, on the interface thread: PutFileInPlace's result (a save
  // replaced by a newer one of its file is told the newer one's).
  std::function<void(int32_t rc)> Done;
  // Set on the saver's thread before Done is queued, when given.
  SaveOutcome Outcome;
  // Saves handed over before this one whose files it names.
  std::vector<SaveOutcome> After;
  // The program's own file (a bundled copy), not the user's: the end neither
  // waits for it nor names it (a save still waiting is dropped, one being
  // written is cut short at its next piece, its old file kept; the next start
  // puts it in place), and its outcome is not watched.
  bool Own = false;
  // Written only when no file lies at the target when its turn comes (a
  // user's file of that name, or one a save before it put there, stays).
  bool IfMissing = false;
};

// A save's progress as the disk writes it, told by the saver's thread (the
// pieces written and written back, each save finished); a save made on a
// thread that is no saver's counts nowhere.
void SaveMovedOn();

// Told each save's target and outcome on the thread that runs its Done,
// right after it (the program's status line names the files not saved).
using SaveOutcomeWatch = void (*)(const std::string& target, int32_t rc);
void SetSaveOutcomeWatch(SaveOutcomeWatch watch);

// Shown while a stop waits: how many saves are left. Called at least every
// 100 ms while it waits (and once at its start); false cuts the wait short.
using SaverShown = bool (*)(int32_t left);

// The disk a target lies on (the device under its folder: DeviceOfPath).
using TargetDevice = std::function<uint64_t(const std::string& target)>;
uint64_t DeviceOfTarget(const std::string& target);

// A saver: its queues, their threads, the progress they count and the source
// of the disks' own written bytes (KernelWrittenBytes for the program, a fake
// count in tests) and of a target's disk. The methods are the interface
// thread's unless they say so.
class Saver {
 public:
  explicit Saver(WrittenBytesReader written = KernelWrittenBytes, TargetDevice device = DeviceOfTarget);
  // Stops a saver still running as a stop that waits for nothing would: one
  // held by its disk is left to its thread, which owns what it still uses.
  ~Saver();
  Saver(const Saver&) = delete;
  Saver& operator=(const Saver&) = delete;

  // Takes saves from here on, each disk's thread made at its first save (a
  // save whose thread could not be made runs on its caller's thread). true.
  bool Start();
  // Tests: the disks as Saver's constructor takes them, while no save is
  // handed over (before Start or after Stop).
  void SetDisks(WrittenBytesReader written, TargetDevice device);
  bool Running() const;
  // 0 once handed over (the outcome comes to Done later); without a running
  // saver the outcome itself, Done having run. Any thread.
  int32_t Hand(SaveRequest request);
  // Runs Done of every save finished since, in the order they were handed
  // over. The number of saves told.
  int32_t TakeOutcomes();
  // Called on the saver's thread whenever an outcome waits (a post to queue 0).
  void SetWake(bool (*wake)());
  // Saves handed over and not finished yet (the one being written included),
  // the program's own too. Any thread.
  int32_t Pending() const;
  // The user's among them: the one being written first, then the waiting ones in order. Any thread.
  std::vector<std::string> PendingTargets() const;
  // Waits for every save of the user's handed over (and those their outcomes
  // hand over), running the outcomes; the program's own are dropped or cut
  // short first (Own); then the thread ends: 0. The wait goes on while the
  // disk writes (the saver's pieces, or the device's written bytes growing,
  // whoever's they are); a disk that writes nothing for `idleSeconds`, or
  // `shown` returning false, ends it: -1, the saves not finished named in
  // Unfinished() (the user's only), the thread left to the save it is in (it
  // tells no outcome and starts no other save).
  int32_t Stop(double idleSeconds, SaverShown shown);
  // The targets of the saves the last Stop left unfinished, in their order.
  std::vector<std::string> Unfinished() const;
  // The last Stop left a thread in a save (the user's or the program's own
  // one it did not wait for): the process ends without static destructors.
  bool LeftThread() const;
  // True while a save of `target` (as its target or its backup) waits, is
  // being written, or has an outcome the interface has not taken yet: a
  // reader of the file would find the old one.
  bool Holds(const std::string& target) const;
  // Runs `then` once the saves of `target` held when it was asked are told
  // (from TakeOutcomes, after the outcome that let it go), or at once when
  // none is: a save handed over later is not waited for. The stop drops the
  // ones still waiting.
  void WhenDone(const std::string& target, std::function<void()> then);
  // A word that moves whenever the disk under a save of `target` writes (the
  // saver's pieces or the device's written bytes); 0 while no save holds it.
  uint64_t Progress(const std::string& target) const;
  // Tests: waits (at most `bound` seconds) until no save is pending.
  bool WaitIdle(double bound) const;

  struct Core;

 private:
  // Joins or leaves each disk's thread, as its save lets it: true when one is
  // still held.
  bool EndThreads();

  // one thread: interface (its owner's), the threads and their shared state
  std::shared_ptr<Core> core_;
  // one thread: value, an act waiting for the saves of a file up to a number
  struct Act {
    std::string Target;
    uint64_t UpTo = 0;
    std::function<void()> Then;
  };
  // one thread: interface (its owner's), acts waiting for a file's save
  std::vector<Act> whenDone_;
  // one thread: interface (its owner's)
  std::vector<std::string> unfinished_;
  bool left_ = false;  // one thread: interface (its owner's)
};

// The program's saver, made at the first call and never destroyed (a saver a
// disk still holds at the end may outlive everything else).
Saver& ProgramSaver();

// The program's saver's API (see Saver).
int32_t SaveInBackground(SaveRequest request);
bool SaverStart();
bool SaverRunning();
int32_t SaverTakeOutcomes();
void SetSaverWake(bool (*wake)());
int32_t SaverPending();
std::vector<std::string> SaverPendingTargets();
int32_t SaverStop(double idleSeconds, SaverShown shown);
std::vector<std::string> SaverUnfinished();
bool SaverLeftThread();
bool SaverHolds(const std::string& target);
uint64_t SaverProgress(const std::string& target);
void SaverWhenDone(const std::string& target, std::function<void()> then);
bool SaverWaitIdle(double bound);

}  // namespace platform
