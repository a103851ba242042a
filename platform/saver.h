// Saving files: the one sequence that puts a file in the place of its target,
// and the thread that runs it for the interface (`tarvelo-save`), so the
// window never waits for a disk.
//
// A save writes a work file beside the target (ClaimWorkFile), syncs it,
// renames it over the target and syncs the folder (FileReplace): a failed
// save leaves the previous file as it was, and a power cut leaves the old
// file or the new. A reader of the target meanwhile sees one or the other.
//
// The interface builds a document's bytes in memory and hands them over
// (SaveInBackground). The saver takes the saves one at a time, in the order
// they were handed over, so a second save of a file follows the first and its
// bytes win. Each outcome waits for the interface thread (SaverTakeOutcomes,
// which the wake hook asks for with a message to queue 0): only there does a
// save say it is done, once its file is on the disk, or say why not.
// Without a running saver (tools, tests that start none) a save runs at once
// on the caller's thread and its outcome is delivered before it returns.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

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
// and suffix), `fill`, sync, close, `length` checked when not negative,
// FileReplace, the work name released. 0; the negated open failure (FileOpen's
// codes); -kSaveIoError for a refused write or sync or a short file; or
// FileReplace's code. On failure the work file is removed, the target kept.
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
  // The outcome, on the interface thread: PutFileInPlace's result.
  std::function<void(int32_t rc)> Done;
  // Set on the saver's thread before Done is queued, when given.
  SaveOutcome Outcome;
  // Saves handed over before this one whose files it names.
  std::vector<SaveOutcome> After;
};

// 0 once handed over (the outcome comes to Done later); without a running
// saver the outcome itself, Done having run.
int32_t SaveInBackground(SaveRequest request);
// Starts `tarvelo-save`: false when the thread could not be made (saves then
// run on their caller's thread).
bool SaverStart();
bool SaverRunning();
// Runs Done of every save finished since, in the order they were handed over:
// the interface thread. The number run.
int32_t SaverTakeOutcomes();
// Called on the saver's thread whenever an outcome waits (a post to queue 0).
void SetSaverWake(bool (*wake)());
// Saves handed over and not finished yet (the one being written included).
int32_t SaverPending();
// Waits for every save handed over (and those their outcomes hand over),
// running the outcomes, `shown` told how many are left whenever that changes;
// then the thread ends. A disk that takes nothing for `idleSeconds` ends the
// wait: -1, the thread left to its write. Else 0.
int32_t SaverStop(double idleSeconds, void (*shown)(int32_t left));
// True while a save of `target` (as its target or its backup) waits, is
// being written, or has an outcome the interface has not taken yet: a
// reader of the file would find the old one. The interface thread.
bool SaverHolds(const std::string& target);
// Runs `then` on the interface thread once no save of `target` is held
// (from SaverTakeOutcomes, after the outcome that let it go), or at once when
// none is. The end drops the ones still waiting. The interface thread.
void SaverWhenDone(const std::string& target, std::function<void()> then);
// Tests: waits (at most `bound` seconds) until no save is pending.
bool SaverWaitIdle(double bound);

}  // namespace platform
