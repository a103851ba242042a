// The writer's life and the end's wait: Start makes the writer and its sync
// thread, Stop lets them write all they hold, showing the time left at the
// pace the disk writes, and joins them. The free functions are the program's
// writer's.
#include "audio/recording.h"

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "audio/recording_ring.h"
#include "audio/recording_sync.h"
#include "audio/recording_writer.h"
#include "basics/messages.h"
#include "basics/program.h"
#include "platform/disk_pace.h"
#include "platform/threads.h"

namespace QUARLE_AUDIO {

using namespace QUARLE_BASICS;

namespace {

// The end's notes said, once, and kept as the takes not confirmed whole.
void SayNotes(rec::State& s) {
  std::vector<std::pair<std::string, std::string>> notes;
  {
    std::lock_guard<std::mutex> hold(s.notesLock);
    notes.swap(s.notes);
    for (const auto& n : notes) s.unconfirmed.push_back(n.first);
  }
  for (const auto& n : notes) Report(n.second, 2);
}

// The end's measure, on the waiting thread each time it shows: the end's one
// rule (platform/disk_pace.h) over the disk's own count of written bytes
// where the device keeps one (whoever's bytes: ours wait behind them), its
// pace going on from what the writer measured over the take; else over the
// bytes the disk confirmed of ours.
// one thread: value
class EndPace {
 public:
  EndPace(rec::State& s, const rec::SyncLine& line) : s_(s), line_(line), wait_(platform::HighResClock(), Seed(s)) {}

  RecordingEndProgress Now() {
    const double now = platform::HighResClock();
    const uint64_t device = s_.device.load(std::memory_order_acquire);
    const int64_t count = device != 0 && s_.options.writtenBytes ? s_.options.writtenBytes(device) : -1;
    wait_.Look(now, count, line_.progress.load(std::memory_order_acquire), line_.Confirmed());
    const double rate = 4.0 * s_.Rate();
    const double ring = double(s_.ring.Appended() - s_.ring.Taken()) * 2.0;
    const double unconfirmed = ring + double(s_.Backlog(line_));
    // What the disk still has to write: less what its count moved since it
    // last confirmed ours, as a sync confirms only at its end.
    const double left = wait_.BytesLeft(unconfirmed, line_.DeviceAtConfirm());
    RecordingEndProgress p{-1.0, unconfirmed / rate, wait_.Writing(now), wait_.Counted()};
    p.othersFirst = wait_.OthersFirst(now);
    if (left <= 0.0 && s_.openTakes.load(std::memory_order_acquire) == 0)
      p.secondsLeft = 0.0;
    else if (left > 0.0)
      p.secondsLeft = wait_.SecondsLeft(left);
    return p;
  }

  // When the disk last moved: wrote (its count) or confirmed of ours.
  double LastMoved() const { return wait_.LastMoved(); }

 private:
  // The writer's measure of the disk under the takes, where it keeps a count.
  static platform::DiskPace Seed(rec::State& s) {
    std::lock_guard<std::mutex> hold(s.paceLock);
    if (s.pacedDevice != 0 && s.pacedDevice == s.device.load(std::memory_order_acquire)) return s.pace;
    return platform::DiskPace(platform::kEndPaceWindow);
  }

  rec::State& s_;
  const rec::SyncLine& line_;
  platform::EndWait wait_;
};

}  // namespace

RecordingWriter::RecordingWriter(RecordingWriterOptions options)
    : s_(std::make_shared<rec::State>(std::move(options))) {}

RecordingWriter::~RecordingWriter() {
  // Cut short at once; a writer held by its disk keeps what it uses.
  if (Stop(0.0, [](const RecordingEndProgress&) { return false; }) >= 0) return;
  // Held: the state goes once its threads let go of it, not through a line it holds.
  std::lock_guard<std::mutex> hold(s_->lifeLock);
  s_->line.reset();
}

namespace {
RecordingWriterOptions& ProgramOptions() {
  // one thread: start-up (set before the program's writer is made)
  static RecordingWriterOptions options;
  return options;
}
std::atomic<bool> g_programMade{false};
}  // namespace

bool SetProgramRecordingWriterOptions(RecordingWriterOptions options) {
  if (g_programMade.load(std::memory_order_acquire)) return false;
  ProgramOptions() = std::move(options);
  return true;
}

RecordingWriter& ProgramRecordingWriter() {
  static RecordingWriter* const writer = [] {
    g_programMade.store(true, std::memory_order_release);
    return new RecordingWriter(ProgramOptions());
  }();
  return *writer;
}

bool RecordingWriter::Start(uint32_t rate, uint32_t ringValues) {
  rec::State& s = *s_;
  std::lock_guard<std::mutex> hold(s.lifeLock);
  if (s.writer) {
    // Later starts keep the ring; the takes they record carry their own rate.
    // A writer the end left held by the disk takes no more.
    if (s.running.load(std::memory_order_acquire) != 1) return false;
    s.rate.store(rate, std::memory_order_relaxed);
    return true;
  }
  s.rate.store(rate, std::memory_order_relaxed);
  if (!s.ring.Make(ringValues)) {
    s.running.store(-1, std::memory_order_release);
    return false;
  }
  s.stopAsked.store(false, std::memory_order_relaxed);
  s.giveUp.store(false, std::memory_order_relaxed);
  s.done.store(false, std::memory_order_relaxed);
  // Bytes of an earlier start's takes no longer count.
  s.written.store(0, std::memory_order_relaxed);
  s.dropped.store(0, std::memory_order_relaxed);
  std::shared_ptr<rec::SyncLine> line;
  try {
    rec::State* const state = s_.get();  // the line's owner keeps it
    line = std::make_shared<rec::SyncLine>(s.ring, s_, [state]() -> int64_t {
      const uint64_t device = state->device.load(std::memory_order_acquire);
      return device != 0 && state->options.writtenBytes ? state->options.writtenBytes(device) : -1;
    });
    s.sync = new std::thread([line] {
      platform::ThreadSetName("tarvelo-recsync");
      line->Run();
    });
  } catch (const std::exception&) {
    s.running.store(-1, std::memory_order_release);
    return false;
  }
  try {
    s.writer = new std::thread(rec::WriterThread, s_, line);
  } catch (const std::exception&) {
    line->Quit();
    s.sync->join();
    delete s.sync;
    s.sync = nullptr;
    s.running.store(-1, std::memory_order_release);
    return false;
  }
  s.line = std::move(line);
  s.running.store(1, std::memory_order_release);
  s.ring.Open(true);
  return true;
}

int32_t RecordingWriter::Stop(double idleSeconds, bool (*shown)(const RecordingEndProgress&)) {
  rec::State& s = *s_;
  std::lock_guard<std::mutex> hold(s.lifeLock);
  {
    std::lock_guard<std::mutex> holdNotes(s.notesLock);
    s.unconfirmed.clear();
  }
  if (!s.writer) return 0;
  // No new take or log line from here.
  s.running.store(0, std::memory_order_release);
  s.ring.Open(false);
  s.AskStop();
  rec::SyncLine& line = *s.line;
  // The writer held and not joined: its threads stay, and nothing they use may go.
  const auto leaveHeld = [&] {
    rec::CloseTakesOfAHeldWriter(s);
    SayNotes(s);
    return -1;
  };
  EndPace pace(s, line);
  // The give-up counts from the disk's last written byte: a disk that still
  // writes, however slowly, keeps the wait going.
  double since = platform::HighResClock();
  bool gaveUp = s.GivenUp();  // by a call before, which left the writer held
  // Shown at the start, whatever is left, and then while the writer works.
  for (bool first = true; first || !s.Done(); first = false) {
    const uint32_t seen = line.progress.load(std::memory_order_acquire);
    const RecordingEndProgress now = pace.Now();
    if (shown && !shown(now)) {
      // Cut short: the writer writes no more and closes every take with what
      // its file holds; one held in a write leaves that to this thread.
      if (s.Done()) break;  // nothing was left to cut
      gaveUp = true;
      s.AskGiveUp();
      const double grace = platform::HighResClock() + 0.2;
      while (!s.Done() && platform::HighResClock() < grace)
        platform::WaitOnWord(line.progress, line.progress.load(std::memory_order_acquire), 0.02);
      if (!s.Done()) return leaveHeld();
      break;
    }
    if (s.Done()) break;
    platform::WaitOnWord(line.progress, seen, 0.09);
    const double at = platform::HighResClock();
    if (at - std::max(since, pace.LastMoved()) < idleSeconds) continue;
    // The disk wrote nothing for long: the writer writes no more and closes
    // every take with what its file holds. One held in a write that never
    // comes back is left running: nothing it uses may go then.
    if (gaveUp) return leaveHeld();
    gaveUp = true;
    s.AskGiveUp();
    since = at;
  }
  s.writer->join();
  delete s.writer;
  s.writer = nullptr;
  // The sync thread ends with the writer, or after the sync it is held in.
  line.Quit();
  if (!line.Busy())
    s.sync->join();
  else
    s.sync->detach();
  delete s.sync;
  s.sync = nullptr;
  s.line.reset();
  SayNotes(s);
  return gaveUp ? 1 : 0;
}

std::vector<std::string> RecordingWriter::EndUnconfirmed() {
  std::lock_guard<std::mutex> hold(s_->notesLock);
  return s_->unconfirmed;
}

bool RecordingWriter::Settle(double seconds) {
  const rec::State& s = *s_;
  const double end = platform::HighResClock() + seconds;
  for (;;) {
    if (s.ring.events.Held() == 0 && s.ring.Taken() == s.ring.Appended() && s.ring.logLines.Held() == 0 &&
        s.openTakes.load(std::memory_order_acquire) == 0)
      return true;
    if (platform::HighResClock() > end) return false;
    platform::SleepMs(1);
  }
}

int32_t RecordingWriter::HandOver(char* stem, uint32_t label) { return s_->ring.HandOver(stem, label); }
int32_t RecordingWriter::Append(int32_t take, const int16_t* values, int32_t count) {
  return s_->ring.Append(take, values, count);
}
void RecordingWriter::End() { s_->ring.End(); }
void RecordingWriter::LogLine(uint32_t message, const char* text, int64_t value, int32_t level) {
  s_->ring.PostLogLine(message, text, value, false, level);
}
void RecordingWriter::LogError(uint32_t message, const char* text, int32_t error, int32_t level) {
  s_->ring.PostLogLine(message, text, error, true, level);
}

bool RecordingWriterStart(uint32_t rate, uint32_t ringValues) { return ProgramRecordingWriter().Start(rate, ringValues); }
int32_t RecordingWriterStop(double idleSeconds, bool (*shown)(const RecordingEndProgress&)) {
  return ProgramRecordingWriter().Stop(idleSeconds, shown);
}
std::vector<std::string> RecordingEndUnconfirmed() { return ProgramRecordingWriter().EndUnconfirmed(); }
bool RecordingWriterSettle(double seconds) { return ProgramRecordingWriter().Settle(seconds); }
int32_t RecordingHandOver(char* stem, uint32_t label) { return ProgramRecordingWriter().HandOver(stem, label); }
int32_t RecordingAppend(int32_t take, const int16_t* values, int32_t count) {
  return ProgramRecordingWriter().Append(take, values, count);
}
void RecordingEnd() { ProgramRecordingWriter().End(); }
void RecordingLogLine(uint32_t message, const char* text, int64_t value, int32_t level) {
  ProgramRecordingWriter().LogLine(message, text, value, level);
}
void RecordingLogError(uint32_t message, const char* text, int32_t error, int32_t level) {
  ProgramRecordingWriter().LogError(message, text, error, level);
}

}  // namespace QUARLE_AUDIO
