// The writer's life and the end's wait: RecordingWriterStart makes the writer
// and its sync thread, RecordingWriterStop lets them write all they hold,
// showing the time left at the pace the disk confirms, and joins them.
#include "audio/recording.h"

#include <algorithm>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "audio/recording_ring.h"
#include "audio/recording_sync.h"
#include "audio/recording_writer.h"
#include "basics/messages.h"
#include "basics/program.h"
#include "platform/threads.h"

namespace QUARLE_AUDIO {

using namespace QUARLE_BASICS;

namespace {

// one thread: holder of g_life
struct Life {
  std::thread* writer = nullptr;
  std::thread* sync = nullptr;
  std::shared_ptr<rec::SyncLine> line;
};
std::mutex g_life;
Life g_lifeOf;  // one thread: holder of g_life
std::atomic<int32_t> g_running{0};  // 1 while it takes takes, -1 when it could not be made

// What the end says of takes it could not confirm whole.
std::mutex g_notesLock;
// one thread: holder of g_notesLock, a take's file name and its line
std::vector<std::pair<std::string, std::string>> g_notes;
// one thread: holder of g_notesLock
std::vector<std::string> g_unconfirmed;

// A disk that confirmed bytes within this long is confirming.
constexpr double kConfirmingSeconds = 3.0;
// The pace is measured over this last stretch of the wait.
constexpr double kPaceSeconds = 5.0;

// The end's notes said, once, and kept as the takes not confirmed whole.
void SayNotes() {
  std::vector<std::pair<std::string, std::string>> notes;
  {
    std::lock_guard<std::mutex> hold(g_notesLock);
    notes.swap(g_notes);
    for (const auto& n : notes) g_unconfirmed.push_back(n.first);
  }
  for (const auto& n : notes) Report(n.second, 2);
}

// The end's count: measured on the waiting thread from the disk's confirmed
// bytes, sampled each time it shows.
// one thread: value
class Pace {
 public:
  RecordingEndProgress Now() {
    const double now = platform::HighResClock();
    const uint64_t confirmed = rec::ConfirmedBytes();
    samples_.emplace_back(now, confirmed);
    while (samples_.size() > 2 && now - samples_[1].first >= kPaceSeconds) samples_.pop_front();
    const double rate = 4.0 * rec::WriterRate();
    const double ring = double(rec::Appended() - rec::Taken()) * 2.0;
    const double left = ring + double(rec::BacklogBytes());
    RecordingEndProgress p{-1.0, left / rate, now - rec::LastConfirmed() < kConfirmingSeconds};
    // Measured up to the last confirmation, so the pause between two of a
    // slow disk's pieces does not read as a slowing pace.
    const double span = rec::LastConfirmed() - samples_.front().first;
    const uint64_t moved = confirmed - samples_.front().second;
    if (left <= 0.0 && rec::OpenTakes() == 0)
      p.secondsLeft = 0.0;
    else if (span >= 0.5 && moved > 0 && left > 0.0)
      p.secondsLeft = left / (double(moved) / span);
    return p;
  }

 private:
  std::deque<std::pair<double, uint64_t>> samples_;
};

// The writer held and not joined: its threads stay, and nothing they use may go.
int32_t LeaveHeld() {
  rec::CloseTakesOfAHeldWriter();
  SayNotes();
  return -1;
}

}  // namespace

namespace rec {
void NoteTakeNotWhole(const std::string& name, const std::string& line) {
  std::lock_guard<std::mutex> hold(g_notesLock);
  g_notes.emplace_back(name, line);
}
}  // namespace rec

bool RecordingWriterStart(uint32_t rate, uint32_t ringValues) {
  std::lock_guard<std::mutex> hold(g_life);
  Life& life = g_lifeOf;
  if (life.writer) {
    // Later starts keep the ring; the takes they record carry their own rate.
    // A writer the end left held by the disk takes no more.
    if (g_running.load(std::memory_order_acquire) != 1) return false;
    rec::SetWriterRate(rate);
    return true;
  }
  rec::SetWriterRate(rate);
  if (!rec::MakeSoundRing(ringValues)) {
    g_running.store(-1, std::memory_order_release);
    return false;
  }
  rec::ResetWriter();
  std::shared_ptr<rec::SyncLine> line;
  try {
    line = std::make_shared<rec::SyncLine>();
    life.sync = new std::thread(rec::SyncThread, line);
  } catch (const std::exception&) {
    g_running.store(-1, std::memory_order_release);
    return false;
  }
  try {
    life.writer = new std::thread(rec::WriterThread, line);
  } catch (const std::exception&) {
    line->Quit();
    life.sync->join();
    delete life.sync;
    life.sync = nullptr;
    g_running.store(-1, std::memory_order_release);
    return false;
  }
  life.line = std::move(line);
  g_running.store(1, std::memory_order_release);
  rec::OpenForTakes(true);
  return true;
}

int32_t RecordingWriterStop(double idleSeconds, bool (*shown)(const RecordingEndProgress&)) {
  std::lock_guard<std::mutex> hold(g_life);
  Life& life = g_lifeOf;
  {
    std::lock_guard<std::mutex> holdNotes(g_notesLock);
    g_unconfirmed.clear();
  }
  if (!life.writer) return 0;
  // No new take or log line from here.
  g_running.store(0, std::memory_order_release);
  rec::OpenForTakes(false);
  rec::AskStop();
  Pace pace;
  // The give-up counts from the disk's last confirmed byte: a disk that still
  // takes bytes, however slowly, keeps the wait going.
  double since = platform::HighResClock();
  bool gaveUp = rec::GivenUp();  // by a call before, which left the writer held
  // Shown at the start, whatever is left, and then while the writer works.
  for (bool first = true; first || !rec::WriterDone(); first = false) {
    const uint32_t seen = rec::SyncProgress.load(std::memory_order_acquire);
    if (shown && !shown(pace.Now())) {
      // Cut short: the writer writes no more and closes every take with what
      // its file holds; one held in a write leaves that to this thread.
      if (rec::WriterDone()) break;  // nothing was left to cut
      gaveUp = true;
      rec::AskGiveUp();
      const double grace = platform::HighResClock() + 0.2;
      while (!rec::WriterDone() && platform::HighResClock() < grace)
        platform::WaitOnWord(rec::SyncProgress, rec::SyncProgress.load(std::memory_order_acquire), 0.02);
      if (!rec::WriterDone()) return LeaveHeld();
      break;
    }
    if (rec::WriterDone()) break;
    platform::WaitOnWord(rec::SyncProgress, seen, 0.09);
    const double now = platform::HighResClock();
    if (now - std::max(since, rec::LastConfirmed()) < idleSeconds) continue;
    // The disk confirmed nothing for long: the writer writes no more and
    // closes every take with what its file holds. One held in a write that
    // never comes back is left running: nothing it uses may go then.
    if (gaveUp) return LeaveHeld();
    gaveUp = true;
    rec::AskGiveUp();
    since = now;
  }
  life.writer->join();
  delete life.writer;
  life.writer = nullptr;
  // The sync thread ends with the writer, or after the sync it is held in.
  life.line->Quit();
  if (!life.line->Busy())
    life.sync->join();
  else
    life.sync->detach();
  delete life.sync;
  life.sync = nullptr;
  life.line.reset();
  SayNotes();
  return gaveUp ? 1 : 0;
}

std::vector<std::string> RecordingEndUnconfirmed() {
  std::lock_guard<std::mutex> hold(g_notesLock);
  return g_unconfirmed;
}

bool RecordingWriterSettle(double seconds) {
  const double end = platform::HighResClock() + seconds;
  for (;;) {
    if (rec::TakeEvents.Held() == 0 && rec::Taken() == rec::Appended() && rec::LogLines.Held() == 0 &&
        rec::OpenTakes() == 0)
      return true;
    if (platform::HighResClock() > end) return false;
    platform::SleepMs(1);
  }
}

}  // namespace QUARLE_AUDIO
