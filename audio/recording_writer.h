// The recordings' writer thread (tarvelo-rec): it takes the takes and their
// sound off the ring in order, names, creates and writes each take's file,
// asks its sync thread for a round whenever the last one finished, names in
// a header only data a finished sync kept, and ends each take (data kept,
// closing header, kept, closed). It writes no further ahead of what the disk
// confirmed than the disk's own pace allows (Bound): a disk slower than the
// sound then leaves the sound in the ring, which the audio thread finds full
// and ends the take "too slow", and what the end must wait for stays bounded.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "audio/recording.h"
#include "audio/recording_ring.h"
#include "audio/recording_sync.h"

namespace QUARLE_AUDIO::rec {

// The least the writer may write ahead of the disk, whatever its pace: long
// enough for a busy disk and syncs held 15 s to pass, with slack. Where the
// disk's count is not known it is the bound.
constexpr double kBacklogSeconds = 20.0;

// The takes a held writer leaves to the end's wait: what it needs to close
// each one on descriptors of its own.
// one thread: value
struct HeldTake {
  std::string name, path;
  int64_t headBytes = 0;
  uint32_t blockAlign = 4;
  uint32_t bytesPerSecond = 192000;
  uint32_t named = 0;
  bool current = false;      // the ring's values go to it
  bool closedByEnd = false;  // the end's wait closed it: the writer only lets it go
};

// A writer's state: its ring, what its threads publish, the end's notes and
// its life. RecordingWriter owns it.
// one thread: maker (the members say their own)
struct State {
  explicit State(RecordingWriterOptions o);
  // Its threads' handles go with it (the last of them may be the one ending).
  ~State();

  RecordingWriterOptions options;  // one thread: maker
  Ring ring;
  std::atomic<uint32_t> rate{48000};
  // Data bytes the writer wrote, and those it gave up on (never to be
  // confirmed), since it started.
  std::atomic<uint64_t> written{0};
  std::atomic<uint64_t> dropped{0};
  std::atomic<int32_t> openTakes{0};
  std::atomic<bool> stopAsked{false};
  std::atomic<bool> giveUp{false};
  std::atomic<bool> done{false};
  // The device under the latest take's file, where it counts what it writes (0: none).
  std::atomic<uint64_t> device{0};

  // The disk's pace, sampled by the writer and the end's wait alike.
  // one thread: value
  struct Pace {
    bool counted = false;     // the device counts what it writes
    double perSecond = -1.0;  // bytes a second over the window kept; < 0 while not known
    double lastMoved = 0.0;   // when the count last moved
  };
  // Samples the device's count (a tenth of a second apart at most) and says
  // its pace once the samples span minSpan.
  Pace SamplePace(double minSpan);
  std::mutex paceLock;
  // one thread: holder of paceLock
  platform::DiskPace pace;
  // one thread: holder of paceLock
  uint64_t pacedDevice = 0;
  // one thread: holder of paceLock
  double sampledAt = 0.0;

  std::mutex heldLock;
  // one thread: holder of heldLock, keyed by the writer's take number
  std::vector<std::pair<int32_t, HeldTake>> held;

  std::mutex notesLock;
  // one thread: holder of notesLock, a take's file name and its line
  std::vector<std::pair<std::string, std::string>> notes;
  // one thread: holder of notesLock
  std::vector<std::string> unconfirmed;

  std::mutex lifeLock;
  // one thread: holder of lifeLock
  std::thread* writer = nullptr;
  // one thread: holder of lifeLock
  std::thread* sync = nullptr;
  // one thread: holder of lifeLock (the writer thread keeps its own copy)
  std::shared_ptr<SyncLine> line;
  std::atomic<int32_t> running{0};  // 1 while it takes takes, -1 when it could not be made

  uint32_t Rate() const { return std::max<uint32_t>(rate.load(std::memory_order_relaxed), 1); }
  // The data bytes written that the disk has not confirmed yet (of takes still open).
  uint64_t Backlog(const SyncLine& l) const;
  // The most it may have unconfirmed whatever the pace.
  uint64_t MemoryBytes() const;
  void AskStop();
  void AskGiveUp();
  bool GivenUp() const { return giveUp.load(std::memory_order_acquire); }
  bool Done() const { return done.load(std::memory_order_acquire); }
  // What the end says of takes it could not confirm whole: the file's name
  // and the line (level 2); said once the end ends.
  void NoteTakeNotWhole(const std::string& name, const std::string& line);
};

// What the end may wait for at the disk's pace, at most.
constexpr double kDrainSeconds = 60.0;

// What the writer may hold unconfirmed. With the disk's own count (counted):
// while its pace (bytes a second over the pace window) is not known, the
// memory bound; a disk slower than the sound, kBacklogSeconds of sound (the
// take then ends "too slow" once the ring fills too); a faster one, what it
// writes in kDrainSeconds, between those two. Without one, kBacklogSeconds of
// sound ahead of the disk's confirmations.
uint64_t Bound(bool counted, double pace, uint32_t rate, uint64_t memory);

void WriterThread(std::shared_ptr<State> s, std::shared_ptr<SyncLine> line);

// The end's wait cut short while the writer is held in a write: every take it
// has not closed gets a header naming what its file holds, written here on
// descriptors of this thread's own, and is said as in a give-up.
void CloseTakesOfAHeldWriter(State& s);

}  // namespace QUARLE_AUDIO::rec
