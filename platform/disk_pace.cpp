#include "platform/disk_pace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace platform {

namespace {
// How far back (in windows) a pace reaches: a count that moves only when a
// long request is whole (a few MB or a few hundred, minutes apart at a busy
// stick's pace) is a disk that writes at its requests' pace, never one that
// wrote nothing over the window; one that stopped reads slower and slower.
constexpr double kBurstWindows = 5.0;

// A kernel's text file (one read: sysfs gives it whole), ended by a zero.
bool ReadKernelText(const char* path, char* text, size_t size) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const ssize_t n = ::read(fd, text, size - 1);
  ::close(fd);
  if (n <= 0) return false;
  text[n] = '\0';
  return true;
}
}  // namespace

int64_t KernelWrittenBytes(uint64_t device) {
  if (device == 0 || major(device) == 0) return -1;  // anonymous: tmpfs, overlays
  char path[64];
  std::snprintf(path, sizeof path, "/sys/dev/block/%u:%u/stat", major(device), minor(device));
  char text[512];
  if (!ReadKernelText(path, text, sizeof text)) return -1;
  return WrittenBytesOfStat(text);
}

int64_t WrittenBytesOfStat(const char* line) {
  // Reads, read merges, sectors read, read time, writes, write merges, sectors written.
  const char* p = line;
  unsigned long long value = 0;
  for (int field = 0; field < 7; ++field) {
    char* end = nullptr;
    errno = 0;
    value = std::strtoull(p, &end, 10);
    if (end == p || errno != 0) return -1;
    p = end;
  }
  return static_cast<int64_t>(value * 512ull);
}

uint64_t DeviceOf(int fd) {
  struct stat st;
  return fd >= 0 && ::fstat(fd, &st) == 0 ? uint64_t(st.st_dev) : 0;
}

uint64_t DeviceOfPath(const char* osPath) {
  struct stat st;
  return osPath && ::stat(osPath, &st) == 0 ? uint64_t(st.st_dev) : 0;
}

void DiskPace::Sample(double now, uint64_t count) {
  if (!samples_.empty() && count < samples_.back().count) Reset();
  if (samples_.empty()) {
    samples_.push_back({now, count, now});
    lastMoved_ = now;
    return;
  }
  if (count != samples_.back().count) lastMoved_ = now;
  const double since = count != samples_.back().count ? now : samples_.back().since;
  // A tenth of a second apart at most a sample: the newest replaces one closer than that.
  if (samples_.size() >= 2 && now - samples_[samples_.size() - 2].at < 0.1)
    samples_.back() = {now, count, since};
  else
    samples_.push_back({now, count, since});
  // Kept: kBurstWindows of them, and the one just before, so the span
  // reaches them.
  size_t drop = 0;
  while (drop + 1 < samples_.size() && now - samples_[drop + 1].at >= kBurstWindows * window_) ++drop;
  if (drop > 0) samples_.erase(samples_.begin(), samples_.begin() + std::ptrdiff_t(drop));
}

double DiskPace::Span() const { return samples_.size() < 2 ? 0.0 : samples_.back().at - samples_.front().at; }

double DiskPace::BytesPerSecond(double minSpan) const {
  const double span = Span();
  if (span <= 0.0 || span < minSpan) return -1.0;
  const Point& last = samples_.back();
  // The window's: from the last sample before it.
  size_t first = samples_.size() - 1;
  while (first > 0 && last.at - samples_[first].at < window_) --first;
  const double windowSpan = last.at - samples_[first].at;
  const double inWindow = windowSpan > 0.0 ? double(last.count - samples_[first].count) / windowSpan : 0.0;
  // All kept: a count that moves in bursts longer apart than the window.
  return std::max(inWindow, double(last.count - samples_.front().count) / span);
}

double DiskPace::BytesPerSecondOfMoves(double minSpan) const {
  const double span = Span();
  if (span <= 0.0 || span < minSpan) return -1.0;
  const Point &first = samples_.front(), &last = samples_.back();
  if (last.count == first.count || last.since <= first.since) return 0.0;
  return double(last.count - first.count) / (last.since - first.since);
}

void DiskPace::Reset() {
  samples_.clear();
  lastMoved_ = 0.0;
}

int SyncToDisk(int fd, bool whole) {
  while ((whole ? ::fsync(fd) : ::fdatasync(fd)) != 0) {
    if (errno == EINTR) continue;
    return errno == EINVAL || errno == ENOTSUP ? 0 : errno;
  }
  return 0;
}

bool StartWriteBack(int fd, int64_t from, int64_t to) {
  for (int64_t at = from; at < to; at += kWriteBackPiece) {
    int rc;
    do {
      rc = ::sync_file_range(fd, at, std::min(kWriteBackPiece, to - at), SYNC_FILE_RANGE_WRITE);
    } while (rc != 0 && errno == EINTR);
    // Where the file has no such call, the waits and the sync after it keep the bytes.
    if (rc != 0) return errno == EINVAL || errno == ESPIPE || errno == ENOSYS || errno == EOPNOTSUPP;
  }
  return true;
}

int64_t WriteBackInPieces(int fd, int64_t from, int64_t to, const std::function<void(int64_t bytes)>& onPiece) {
  int64_t done = 0;
  for (int64_t at = from; at < to; at += kWriteBackPiece) {
    const int64_t n = std::min(kWriteBackPiece, to - at);
    int rc;
    do {
      rc = ::sync_file_range(fd, at, n, SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) break;
    done += n;
    if (onPiece) onPiece(n);
  }
  return done;
}

EndWait::EndWait(double start, DiskPace pace)
    : pace_(std::move(pace)), start_(start), lastMoved_(start), lastOwn_(start) {}

void EndWait::Look(double now, int64_t deviceBytes, uint64_t ownMark, uint64_t ownBytes) {
  if (ownMark != ownMark_) {
    ownMark_ = ownMark;
    lastOwn_ = lastMoved_ = now;
    anchored_ = false;
  }
  const bool counted = deviceBytes >= 0;
  // One measure at a time; the first look goes on with the one it was given.
  if (looked_ && counted != counted_) pace_.Reset();
  looked_ = true;
  if (counted && counted_ && deviceBytes != device_) lastDevice_ = lastMoved_ = now;
  counted_ = counted;
  device_ = deviceBytes;
  pace_.Sample(now, counted ? uint64_t(deviceBytes) : ownBytes);
}

bool EndWait::OthersFirst(double now) const {
  return counted_ && spent_ && now - lastDevice_ < kEndWritingSeconds && now - lastOwn_ >= kEndOthersSeconds;
}

double EndWait::BytesLeft(double unconfirmed, int64_t countAtConfirm) {
  if (counted_ && countAtConfirm >= 0 && countAtConfirm <= device_) {
    anchored_ = true;
    anchorLeft_ = unconfirmed;
    anchorDevice_ = countAtConfirm;
  }
  if (!counted_ || !anchored_) {
    anchored_ = counted_;
    spent_ = false;
    anchorLeft_ = unconfirmed;
    anchorDevice_ = device_;
    return unconfirmed;
  }
  const double left = anchorLeft_ - double(device_ - anchorDevice_);
  // More than all of ours: what it writes is others', ours all still to come.
  spent_ = left <= 0.0;
  return spent_ || unconfirmed <= 0.0 ? unconfirmed : std::min(left, unconfirmed);
}

double EndWait::SecondsLeft(double bytesLeft) const {
  if (bytesLeft <= 0.0) return 0.0;
  // A second at least (of a shorter window, most of it): less says nothing.
  const double perSecond = pace_.BytesPerSecondOfMoves(std::min(1.0, 0.9 * pace_.Window()));
  return perSecond > 0.0 ? bytesLeft / perSecond : -1.0;
}

}  // namespace platform
