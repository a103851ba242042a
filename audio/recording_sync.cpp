#include "audio/recording_sync.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "audio/recording_ring.h"
#include "platform/disk_pace.h"
#include "platform/threads.h"

namespace QUARLE_AUDIO::rec {

void SyncLine::Moved() {
  progress.fetch_add(1, std::memory_order_release);
  platform::WakeWordWaiters(progress);
}

void SyncLine::Confirm(uint64_t bytes) {
  if (count_) countAtConfirm_.store(count_(), std::memory_order_release);
  confirmed_.fetch_add(bytes, std::memory_order_release);
  lastConfirmed_.store(platform::HighResClock(), std::memory_order_release);
  Moved();
  ring_.RingBell();
}

void SyncLine::RunRound(SyncRound& r) {
  // Each piece confirmed tells the end's wait and the writer that the disk
  // takes the bytes, so a slow disk's long sync never reads as a disk that
  // takes nothing. All of a round's pieces are started first, to queue at the
  // device together (a queue kept busy by another writer is waited out once,
  // not once a piece), and what the writer writes meanwhile is started as
  // each piece comes back: none waits long enough for the kernel's own
  // write-back. Then once more what it wrote meanwhile (once: on a disk
  // slower than the sound it would keep the sync from ever coming), so the
  // sync (which waits for every byte of the file under way) finds less left.
  // What fails to be written back here the sync below confirms.
  for (SyncFile& f : r.files) StartUpTo(f.fd, f.from, std::max(f.to, f.waitTo));
  for (SyncFile& f : r.files) {
    int64_t upTo = std::max(f.to, f.waitTo);
    f.confirmed = 0;
    for (int pass = 0; pass < 2; ++pass) {
      const int64_t at = f.from + f.confirmed;
      f.confirmed += platform::WriteBackInPieces(f.fd, at, upTo, [&](int64_t n) {
        Confirm(uint64_t(n));
        if (f.chase) StartUpTo(f.fd, upTo, WrittenFor(f.fd));
      });
      const int64_t more = f.chase ? WrittenFor(f.fd) : upTo;
      if (f.from + f.confirmed < upTo || more <= upTo) break;
      StartUpTo(f.fd, upTo, more);
      upTo = more;
    }
  }
  if (r.together && !r.files.empty()) {
    int error = 0;
    while (::syncfs(r.files.front().fd) != 0) {
      if (errno == EINTR) continue;
      error = errno;
      break;
    }
    for (SyncFile& f : r.files) f.error = error;
    r.folderError = error;
  } else {
    for (int fd : r.folders)
      if (const int error = platform::SyncToDisk(fd, true); error != 0 && r.folderError == 0) r.folderError = error;
    for (SyncFile& f : r.files) f.error = platform::SyncToDisk(f.fd, f.whole);
  }
  // What no piece confirmed (a file system without them) the sync did; a
  // finished sync is the disk's progress even with no new bytes.
  uint64_t rest = 0;
  bool kept = r.folders.size() > 0 && r.folderError == 0;
  for (SyncFile& f : r.files) {
    if (f.error != 0) continue;
    kept = true;
    if (const int64_t asked = f.to - f.from; f.confirmed < asked) {
      rest += uint64_t(asked - f.confirmed);
      f.confirmed = asked;
    }
  }
  if (kept) Confirm(rest);
}

void SyncLine::Ask(SyncRound round) {
  round_ = std::move(round);
  asked_.fetch_add(1, std::memory_order_release);
  platform::WakeWordWaiters(asked_);
}

bool SyncLine::Busy() const {
  return done_.load(std::memory_order_acquire) != asked_.load(std::memory_order_relaxed);
}

bool SyncLine::TakeDone(SyncRound& round) {
  if (Busy()) return false;
  round = std::move(round_);
  round_ = SyncRound{};
  return true;
}

void SyncLine::Quit() {
  quit_.store(true, std::memory_order_release);
  platform::WakeWordWaiters(asked_);
}

void SyncLine::Written(int fd, int64_t to) {
  std::lock_guard<std::mutex> hold(writtenLock_);
  writtenFd_ = fd;
  writtenTo_ = to;
}

int64_t SyncLine::WrittenFor(int fd) {
  std::lock_guard<std::mutex> hold(writtenLock_);
  return writtenFd_ == fd ? writtenTo_ : -1;
}

void SyncLine::StartUpTo(int fd, int64_t from, int64_t to) {
  // A descriptor's number may come back for a later take's file.
  struct stat st;
  const uint64_t file = ::fstat(fd, &st) == 0 ? uint64_t(st.st_ino) : 0;
  int64_t at;
  {
    std::lock_guard<std::mutex> hold(startedLock_);
    if (fd != startedFd_ || file != startedFile_) {
      startedFd_ = fd;
      startedFile_ = file;
      startedTo_ = from;
    }
    if (to <= startedTo_) return;
    at = std::max(startedTo_, from);
    startedTo_ = to;
  }
  platform::StartWriteBack(fd, at, to);
}

void SyncLine::Leave(int fd) {
  if (fd < 0) return;
  std::lock_guard<std::mutex> hold(leftLock_);
  left_.push_back(fd);
}

void SyncLine::CloseLeft() {
  std::vector<int> left;
  {
    std::lock_guard<std::mutex> hold(leftLock_);
    left.swap(left_);
  }
  for (int fd : left) ::close(fd);
}

void SyncLine::Run() {
  for (;;) {
    // Between rounds: no sync holds a descriptor the writer left.
    CloseLeft();
    const uint32_t asked = asked_.load(std::memory_order_acquire);
    if (asked != done_.load(std::memory_order_relaxed)) {
      RunRound(round_);
      done_.store(asked, std::memory_order_release);
      ring_.RingBell();
      continue;
    }
    if (quit_.load(std::memory_order_acquire)) return;
    platform::WaitOnWord(asked_, asked, 0.5);
  }
}

}  // namespace QUARLE_AUDIO::rec
