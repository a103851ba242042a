// What a disk writes, measured where it cannot be hidden: the count of bytes
// the kernel keeps for the block device that holds a file. A sync of our data
// finishes only after everything queued ahead of it at the device (another
// file's write-back, a copy, the journal), so how long one sync waits says
// how busy the queue is, not how fast the disk writes; the device's count
// moves whenever the disk writes, whoever's bytes. Where a file lies on no
// block device (tmpfs, an overlay) the callers fall back to their own
// confirmed bytes.
#pragma once
#include <cstdint>
#include <functional>
#include <vector>

namespace platform {

// Reads the bytes a block device (its st_dev) has written so far: -1 when the
// device has no such count (no block device) or it cannot be read.
using WrittenBytesReader = std::function<int64_t(uint64_t device)>;
// The kernel's count (sysfs: the device's sectors written, times 512).
int64_t KernelWrittenBytes(uint64_t device);
// The bytes written a block device's stat line names (its seventh field,
// sectors of 512 bytes, whatever the device's own size); -1 when the line
// holds no such field.
int64_t WrittenBytesOfStat(const char* line);
// The device of an open file, or of a path's (st_dev); 0 when unknown.
uint64_t DeviceOf(int fd);
uint64_t DeviceOfPath(const char* osPath);

// A disk's pace from samples of a count that grows as it writes: the bytes
// per second over the last `window` seconds, or over the last five windows
// where that is more, and when it last moved.
// one thread: value, its owner's
class DiskPace {
 public:
  explicit DiskPace(double window = 30.0) : window_(window) {}
  // A sample of the count at `now` (HighResClock seconds). A count that goes
  // back (another device, a reset) starts the measure anew.
  void Sample(double now, uint64_t count);
  // Bytes per second over the last window, or over all samples kept (five
  // windows) where that is more, once they span at least `minSpan` seconds;
  // -1 before.
  double BytesPerSecond(double minSpan) const;
  // The same measured between the moves of the count (from when the oldest
  // count kept was first seen to the newest's): a disk whose count moves in
  // bursts (a long request counted once it is whole) reads at its pace
  // between them, not faster just after one and slower before the next.
  double BytesPerSecondOfMoves(double minSpan) const;
  // Seconds the samples kept span.
  double Span() const;
  // When the count last moved (the first sample's time until it does); 0 with no sample.
  double LastMoved() const { return lastMoved_; }
  uint64_t Count() const { return samples_.empty() ? 0 : samples_.back().count; }
  double Window() const { return window_; }
  void Reset();

 private:
  struct Point {
    double at;
    uint64_t count;
    double since;  // when this count was first seen
  };
  double window_;
  std::vector<Point> samples_;  // oldest first, at most one a tenth of a second
  double lastMoved_ = 0.0;
};

// The one rule of our writes to a disk and of every end's wait for them (the
// saver's and the recordings').
//
// Pieces: each piece's write-back is started as soon as it is written
// (StartWriteBack), so the kernel's own write-back never takes many of them
// at once as one long request (on a slow disk longer than the end's
// patience, its bytes counted only once it is whole), and all of them queue
// at the device together: a queue kept busy by another writer is waited out
// once, not once a piece. They are then waited for one by one
// (WriteBackInPieces), each one the disk confirmed a sign that it writes.
constexpr int64_t kWriteBackPiece = 64 * 1024;
// A disk that wrote nothing for this long is given up on: by the end's waits
// (the saves', the takes', the start's jobs', the log's last lines) and by a
// Save, which then offers another place.
constexpr double kEndIdleSeconds = 10.0;
// A disk that wrote within this long is writing.
constexpr double kEndWritingSeconds = 3.0;
// A disk that writes but confirmed none of our bytes for this long writes
// other files' first (a slow disk's own pieces come more often).
constexpr double kEndOthersSeconds = 10.0;
// The time left is judged over this long of the disk's writing.
constexpr double kEndPaceWindow = 30.0;

// Syncs an open file (with `whole`, its size and times too; else its data
// only) or a folder, again when a signal cuts the wait short: 0, or the errno
// of the disk's refusal. A file system that keeps nothing to sync (some
// virtual ones) loses nothing: 0.
int SyncToDisk(int fd, bool whole = true);

// Starts the write-back of bytes [from, to) of an open file, piece by piece,
// without waiting for it. False only when the disk refused (a file system
// without the call loses nothing: a sync after it keeps the bytes).
bool StartWriteBack(int fd, int64_t from, int64_t to);
// Has the disk write back bytes [from, to) of an open file, waiting for each
// piece in turn, `onPiece` told of each piece it wrote back. The bytes written
// back; fewer than asked when the file system has no such call or refused one
// (a sync after it keeps the rest).
int64_t WriteBackInPieces(int fd, int64_t from, int64_t to, const std::function<void(int64_t bytes)>& onPiece);

// An end's wait, judged one way wherever it waits: the disk moved when its
// own count of written bytes moved (whoever's bytes: ours wait behind them)
// or when it confirmed something of ours; a wait gives up once it moved for
// none of them for the idle limit. The time left is the bytes left over the
// disk's pace (its count's where it keeps one, else our confirmed bytes')
// over the last kEndPaceWindow, so on a disk at one pace it falls a second a
// second.
// one thread: value, the waiting thread's
class EndWait {
 public:
  // `pace`: what the writer measured of the disk before the wait (its
  // samples go on), or a fresh one.
  explicit EndWait(double start, DiskPace pace = DiskPace(kEndPaceWindow));
  // A look at `now`: the device's count (-1: it keeps none), a mark that
  // moves whenever the disk confirmed something of ours, and the bytes of
  // ours it confirmed so far.
  void Look(double now, int64_t deviceBytes, uint64_t ownMark, uint64_t ownBytes);
  bool Counted() const { return counted_; }
  // When the disk last moved (the wait's start until it does).
  double LastMoved() const { return lastMoved_; }
  bool Writing(double now) const { return now - lastMoved_ < kEndWritingSeconds; }
  bool GivesUp(double now, double idleSeconds) const { return now - lastMoved_ >= idleSeconds; }
  // The device writes, but confirmed nothing of ours for kEndOthersSeconds,
  // and wrote more since than all of ours it had left then (BytesLeft): what
  // it writes is surely other files'.
  bool OthersFirst(double now) const;
  // Of `unconfirmed` bytes of ours, those the disk still has to write: less
  // what its own count says it wrote since it last confirmed something of
  // ours (a sync confirms at its end all it wrote meanwhile), never more
  // than that; all of them once it wrote more than that since (other files'
  // bytes, then, go first). `countAtConfirm`: the
  // device's count at that confirmation where the writer knows it (-1: the
  // wait's own looks tell). Where the device keeps no count, `unconfirmed`.
  // Call after each Look.
  double BytesLeft(double unconfirmed, int64_t countAtConfirm = -1);
  // Seconds the disk needs for `bytesLeft` at its pace: 0 for none, -1 while
  // the pace is not known.
  double SecondsLeft(double bytesLeft) const;

 private:
  DiskPace pace_;
  bool counted_ = false, looked_ = false;
  int64_t device_ = -1;
  uint64_t ownMark_ = 0;
  bool anchored_ = false;  // the bytes left at the last confirmation are known
  bool spent_ = false;     // the device wrote more since than those bytes
  double anchorLeft_ = 0.0;
  int64_t anchorDevice_ = 0;
  double start_, lastMoved_, lastOwn_, lastDevice_ = -1e300;
};

}  // namespace platform
