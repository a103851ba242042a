// The recordings' sync thread (tarvelo-recsync): it has the disk keep what
// the writer wrote, one round at a time, on descriptors of the takes' own, so
// the writer never waits for a sync. A round first has the disk write each
// file's new bytes back in pieces, each piece confirmed counting as the disk's
// progress (what the end's wait and the writer's backlog measure), then makes
// them durable: a file's data sync (fdatasync), or its whole sync (fsync)
// once its closing header is written; a new name's folder is synced in the
// same round. When the writer has fallen behind on several takes one sync of
// the file system keeps them all together, not one sync a take.
#pragma once
#include <atomic>
#include <functional>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace QUARLE_AUDIO::rec {

// one thread: value, a round's entry
struct SyncFile {
  int fd = -1;
  int64_t from = 0, to = 0;  // the new bytes (file offsets) the round keeps
  // Written back in pieces before the sync, from `from`: `to` and beyond, all
  // the writer started, so the sync (which waits for the whole file) finds
  // nothing long left to wait for, and the disk's pace shows piece by piece.
  int64_t waitTo = 0;
  // The running take's: what the writer writes meanwhile (its writes go on
  // during a round, SyncLine::Written) is started and waited for in pieces
  // too before the sync, which would wait for it whole.
  bool chase = false;
  bool whole = false;        // fsync, else fdatasync
  int64_t confirmed = 0;     // bytes from `from` on the disk confirmed
  int error = 0;             // errno of its sync, 0 when it kept the bytes
};

// one thread: value, a round's request and its outcome
struct SyncRound {
  std::vector<SyncFile> files;
  std::vector<int> folders;  // folders whose new names the round keeps
  bool together = false;  // one sync of the file system for all
  int folderError = 0;
};

class Ring;

// The writer's line to its sync thread: one round under way at a time, and
// the bytes the disk confirmed on it. Each start makes one: a sync thread the
// end had to leave in a sync that never came back keeps its own (and its
// writer's state, with the ring).
class SyncLine {
 public:
  // owner keeps the ring's writer state while the line lasts.
  // The device's own count of written bytes under the takes (-1: none).
  using DeviceCount = std::function<int64_t()>;
  SyncLine(Ring& ring, std::shared_ptr<void> owner, DeviceCount count = nullptr)
      : ring_(ring), owner_(std::move(owner)), count_(std::move(count)) {}
  // The writer's: hands a round over (none under way).
  void Ask(SyncRound round);
  // The writer's: the finished round, taken once; false while it runs.
  bool TakeDone(SyncRound& round);
  bool Busy() const;
  // The sync thread's loop, until Quit and nothing under way.
  void Run();
  void Quit();

  // Bytes the disk confirmed (written back or kept) on this line, and when it
  // last did (HighResClock; 0: never).
  uint64_t Confirmed() const { return confirmed_.load(std::memory_order_acquire); }
  double LastConfirmed() const { return lastConfirmed_.load(std::memory_order_acquire); }
  // The device's count when the disk last confirmed something (-1: never,
  // or no count): what it wrote since may be ours, confirmed at a sync's end.
  int64_t DeviceAtConfirm() const { return countAtConfirm_.load(std::memory_order_acquire); }
  // Moved by every confirmed piece and by the writer's end: the end's wait waits on it.
  std::atomic<uint32_t> progress{0};
  void Moved();
  // The writer's: a descriptor it is done with that the round under way may
  // still sync (a take the end gave up on): closed by the sync thread once
  // no round is under way, so one an end left to its disk goes once the
  // disk lets go.
  void Leave(int fd);
  // The writer's: the running take (its descriptor) holds whole pieces up
  // to `to`. The sync thread starts their write-back (the one piece rule,
  // platform/disk_pace.h) as soon as it can, never the writer: starting one
  // may wait for the file system's journal, which a busy disk holds for long.
  void Written(int fd, int64_t to);

 private:
  void RunRound(SyncRound& r);
  void Confirm(uint64_t bytes);
  void CloseLeft();

  Ring& ring_;  // one thread: maker
  std::shared_ptr<void> owner_;  // one thread: maker
  const DeviceCount count_;
  std::atomic<int64_t> countAtConfirm_{-1};
  std::atomic<uint64_t> confirmed_{0};
  std::atomic<double> lastConfirmed_{0.0};
  std::atomic<uint32_t> asked_{0};
  std::atomic<uint32_t> done_{0};
  std::atomic<bool> quit_{false};
  // Where the running take holds whole pieces up to (-1: none of fd's).
  int64_t WrittenFor(int fd);
  // Starts the write-back of fd's bytes from `from` (or where it was started
  // up to) to `to`.
  void StartUpTo(int fd, int64_t from, int64_t to);
  std::mutex writtenLock_;
  // one thread: holder of writtenLock_
  int writtenFd_ = -1;
  // one thread: holder of writtenLock_
  int64_t writtenTo_ = 0;
  // The file whose write-back the sync thread last started, and how far
  // (only it touches them: the lock is never waited for).
  std::mutex startedLock_;
  // one thread: holder of startedLock_
  int startedFd_ = -1;
  // one thread: holder of startedLock_
  uint64_t startedFile_ = 0;
  // one thread: holder of startedLock_
  int64_t startedTo_ = 0;
  std::mutex leftLock_;
  // one thread: holder of leftLock_
  std::vector<int> left_;
  // one thread: holder of round_ (the writer while asked_ == done_, else the sync thread)
  SyncRound round_;
};

}  // namespace QUARLE_AUDIO::rec
