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
// The device of an open file, or of a path's (st_dev); 0 when unknown.
uint64_t DeviceOf(int fd);
uint64_t DeviceOfPath(const char* osPath);

// A disk's pace from samples of a count that grows as it writes: the bytes
// per second over the last `window` seconds, and when it last moved.
// one thread: value, its owner's
class DiskPace {
 public:
  explicit DiskPace(double window = 30.0) : window_(window) {}
  // A sample of the count at `now` (HighResClock seconds). A count that goes
  // back (another device, a reset) starts the measure anew.
  void Sample(double now, uint64_t count);
  // Bytes per second over the samples kept (up to the window's length),
  // once they span at least `minSpan` seconds; -1 before.
  double BytesPerSecond(double minSpan) const;
  // Seconds the samples kept span.
  double Span() const;
  // When the count last moved (the first sample's time until it does); 0 with no sample.
  double LastMoved() const { return lastMoved_; }
  uint64_t Count() const { return samples_.empty() ? 0 : samples_.back().count; }
  void Reset();

 private:
  struct Point {
    double at;
    uint64_t count;
  };
  double window_;
  std::vector<Point> samples_;  // oldest first, at most one a tenth of a second
  double lastMoved_ = 0.0;
};

// Has the disk write back bytes [from, to) of an open file in pieces of
// `piece` bytes (sync_file_range), `onPiece` told of each piece it wrote
// back, so a slow disk's long write-back shows as progress, not as silence.
// The bytes written back; fewer than asked when the file system has no such
// call or refused one (a sync after it keeps the rest).
int64_t WriteBackInPieces(int fd, int64_t from, int64_t to, int64_t piece,
                          const std::function<void(int64_t bytes)>& onPiece);

}  // namespace platform
