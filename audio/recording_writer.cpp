#include "audio/recording_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "audio/audio.h"
#include "audio/recording.h"
#include "audio/recording_file.h"
#include "audio/recording_ring.h"
#include "basics/errors.h"
#include "basics/messages.h"
#include "basics/program.h"
#include "basics/timetext.h"
#include "platform/disk_pace.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/threads.h"

namespace QUARLE_AUDIO {

using namespace QUARLE_BASICS;

namespace rec {
namespace {

// one thread: value, a take of the writer thread (an entry of its list)
struct WriterTake {
  int32_t take = 0;
  int32_t file = 0;  // the data's stream; 0: none open (refused or failed)
  int fd = -1;       // the take's own descriptor: its syncs and header writes
  int folderFd = -1; // its folder's until the new name is kept
  SoundBuffer sb;
  uint32_t label = 0;  // the interface's number of the take
  bool begun = false;  // its file was made
  std::string name;    // its file's
  std::string path;
  bool ended = false;    // no more values come
  uint32_t confirmed = 0;  // data bytes the disk wrote back
  uint32_t named = 0;      // data bytes a finished sync kept: the header names them
  bool endKept = false;    // the end's data sync failed: the closing header names what was kept
  bool closing = false;    // its closing header is written, its last sync asked
  uint64_t lost = 0;       // values given up on, never written
  int32_t endFailure = 0;  // the first failed step of its end, said when it closes
  int64_t started = 0;     // file bytes handed to the sync thread to write back
  uint32_t Data() const { return sb.dataSize / 2; }
  int64_t Head() const { return sb.dataOffset - 1; }
};

void Hold(State& s, const WriterTake& t, bool current) {
  std::lock_guard<std::mutex> hold(s.heldLock);
  auto it = std::find_if(s.held.begin(), s.held.end(), [&](const auto& h) { return h.first == t.take; });
  if (it == s.held.end()) it = s.held.insert(s.held.end(), {t.take, HeldTake{}});
  HeldTake& h = it->second;
  if (h.closedByEnd) return;
  h.name = t.name;
  h.path = t.path;
  h.headBytes = t.Head();
  h.blockAlign = t.sb.format.blockAlign > 0 ? uint32_t(t.sb.format.blockAlign) : 1u;
  h.bytesPerSecond = t.sb.format.bytesPerSecond > 0 ? t.sb.format.bytesPerSecond : 1u;
  h.named = t.named;
  h.current = current;
}

bool ClosedByEnd(State& s, const WriterTake& t) {
  std::lock_guard<std::mutex> hold(s.heldLock);
  return std::any_of(s.held.begin(), s.held.end(), [&](const auto& h) { return h.first == t.take && h.second.closedByEnd; });
}

// True when the take is still the writer's to close.
bool Release(State& s, const WriterTake& t) {
  std::lock_guard<std::mutex> hold(s.heldLock);
  bool mine = true;
  std::erase_if(s.held, [&](const auto& h) {
    if (h.first != t.take) return false;
    mine = !h.second.closedByEnd;
    return true;
  });
  return mine;
}

std::string Tenths(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", seconds);
  return text;
}

// The lines of a take the end could not wait for.
std::string ShortLine(const std::string& name, double seconds) {
  return InsertArg(InsertArg(LangText(624, "The recording {$} is short: the disk took nothing for a long while, "
                                           "and its last {$} s were not written"),
                             name),
                   Tenths(seconds));
}
std::string UnconfirmedLine(const std::string& name, double seconds) {
  return InsertArg(InsertArg(LangText(625, "The recording {$} may not be whole on the disk: the disk has not "
                                           "confirmed its last {$} s"),
                             name),
                   Tenths(seconds));
}

// one thread: value, the writer thread's (a local of its loop)
struct Writer {
  State* s = nullptr;
  Ring* ring = nullptr;
  std::shared_ptr<SyncLine> line;
  bool counted = false;  // the disk's count was known at the last look
  std::vector<std::unique_ptr<WriterTake>> takes;  // open or still to be closed, oldest first
  WriterTake* current = nullptr;                   // the take the ring's values go to
  bool asked = false;                              // a round is under way
  std::vector<WriterTake*> inRound;                // its files' takes, in order
  std::vector<WriterTake*> foldersInRound;
};

void Publish(const Writer& w) { w.s->openTakes.store(static_cast<int32_t>(w.takes.size()), std::memory_order_release); }


void WriteLogLines(Ring& ring) {
  while (LogLine* l = ring.logLines.Front()) {
    SayLogLine(*l);
    ring.logLines.Pop();
  }
}

// The audio thread hears of it at its next append; the interface by the
// report, which turns its record button off.
void EndFailedTake(Ring& ring, WriterTake& t, int32_t error) {
  ring.EndedByWriter(t.take);
  RecordingStopReport(error, t.label, t.begun);
}

// A step of a take's end that failed: the first is the end's, as the file
// may then not name what it holds. Every later step runs all the same.
void EndStep(WriterTake& t, int32_t rc, int err) {
  if (rc != 0 && t.endFailure == 0) t.endFailure = WriteFailure(rc, err);
}

void CloseFds(WriterTake& t) {
  if (t.fd >= 0) ::close(t.fd);
  if (t.folderFd >= 0) ::close(t.folderFd);
  t.fd = t.folderFd = -1;
}

// A file made but not to be kept: a take whose descriptors could not be had.
void Unmake(WriterTake& t) {
  platform::FileClose(t.file);
  CloseFds(t);
  platform::FileDelete(t.path);
  t.file = 0;
}

void BeginTake(Writer& w, WriterTake& t, TakeEvent& e) {
  const std::string stem = e.stem ? std::string(e.stem) : "REC_" + TimeStampText();
  std::free(e.stem);
  e.stem = nullptr;
  t.take = e.take;
  t.label = e.label;
  SoundBufferInitFormat(&t.sb, 2, 16, static_cast<int32_t>(w.s->Rate()));
  const std::string folder = DynZStringGet(HomeFolder) + "\\AUDIO";
  // A second recording within the same second gets a name of its own.
  const std::string name = platform::FreeFileName(folder, stem + ".wav");
  t.path = folder + "\\" + name;
  int32_t file = CreateRecordingWav(t.path, &t.sb);
  if (file > 0) {
    t.file = file;
    // The sync thread syncs, and the header is rewritten, through descriptors
    // of the take's own, never through the stream the data goes on: without
    // them the take could be neither kept nor named, so it is no recording.
    t.fd = platform::OpenDescriptor(t.path, O_RDWR);
    const int err = errno;
    if (t.fd >= 0) t.folderFd = platform::OpenDescriptor(folder, O_RDONLY | O_DIRECTORY);
    if (t.fd < 0 || t.folderFd < 0) {
      const int why = t.fd < 0 ? err : errno;
      Unmake(t);
      file = why == EMFILE || why == ENFILE ? -kErrNoFreeFile : WriteFailure(-kErrFileAccess, why);
    }
  }
  if (file < 0) {
    Report(LangText(77, "Error creating WAV file for recording") + ": " + ErrorText(file), 2);
    EndFailedTake(*w.ring, t, file);
    return;
  }
  Report(LangText(78, "Now recording") + " " + name, 0);
  w.line->Written(t.fd, 0);  // its number may have been an earlier take's
  t.begun = true;
  t.name = name;
  // The disk's pace is measured where this take's bytes go.
  const uint64_t device = platform::DeviceOf(t.fd);
  const auto& count = w.s->options.writtenBytes;
  w.s->device.store(device != 0 && count && count(device) >= 0 ? device : 0, std::memory_order_release);
}

// Hands count values to the disk, the stream flushed (a full disk stops the
// take now), without waiting for a sync.
int32_t WriteData(State& s, SyncLine& line, WriterTake& t, const int16_t* values, int32_t count) {
  const uint64_t grown = uint64_t(t.sb.dataSize) + uint64_t(count) * 4;
  if (grown > 0xFFFFFFFFull) return -kErrFileTooBig;
  errno = 0;
  int32_t rc = platform::FilePut(t.file, 0, values, size_t(count) * 2);
  if (rc == 0) rc = platform::FileFlush(t.file);
  if (rc != 0) return WriteFailure(rc, errno);
  t.sb.dataSize = static_cast<uint32_t>(grown);
  s.written.fetch_add(uint64_t(count) * 2, std::memory_order_relaxed);
  // Each whole piece goes to the sync thread, which starts its write-back
  // (the one piece rule, platform/disk_pace.h) and waits for it.
  const int64_t whole = (t.Head() + t.Data()) / platform::kWriteBackPiece * platform::kWriteBackPiece;
  if (whole > t.started) {
    t.started = whole;
    line.Written(t.fd, whole);
  }
  return 0;
}

// No more values come: the sizes become those of the whole frames the file
// holds (after a failed write, more than was counted; a part frame is cut).
void EndWriting(State& s, WriterTake& t) {
  if (t.ended) return;
  t.ended = true;
  if (t.file <= 0) return;
  const uint32_t blockAlign = t.sb.format.blockAlign > 0 ? uint32_t(t.sb.format.blockAlign) : 1u;
  const int64_t length = platform::FileLengthOf(t.file);
  const uint32_t held = WholeFramesHeld(length, t.Head(), blockAlign);
  if (length >= t.Head() && (held != t.Data() || length != t.Head() + held)) {
    if (held > t.Data()) s.written.fetch_add(held - t.Data(), std::memory_order_relaxed);
    if (held < t.Data()) s.dropped.fetch_add(t.Data() - held, std::memory_order_relaxed);
    t.sb.dataSize = held * 2;
    if (t.confirmed > held) t.confirmed = held;
    platform::FileTruncate(t.file, t.Head() + held);
  }
  t.sb.frameCount = t.Data() / blockAlign;
}

void FailTake(Writer& w, WriterTake& t, int32_t error) {
  EndWriting(*w.s, t);
  if (w.current == &t) w.current = nullptr;
  EndFailedTake(*w.ring, t, error);
}

// The file closed and the take off the list; its descriptors go to the sync
// thread while a round is still under way on them (only when the end gave up
// on the disk), which closes them once it comes back.
void CloseTake(Writer& w, WriterTake& t) {
  const bool mine = Release(*w.s, t);
  if (t.file > 0 && mine) {
    errno = 0;
    const int32_t rc = platform::FileClose(t.file);
    EndStep(t, rc, errno);
    if (t.endFailure != 0)
      Report(InsertArg(LangText(622, "The end of the recording {$} could not be written: "), t.name) +
                 ErrorText(t.endFailure),
             2);
  } else if (t.file > 0) {
    // The end closed it (its header written) while a write held this
    // thread: that write is done, and nothing more goes to the file.
    platform::FileClose(t.file);
  }
  t.file = 0;
  if (t.Data() > t.confirmed) w.s->dropped.fetch_add(t.Data() - t.confirmed, std::memory_order_relaxed);
  const bool inRound = std::find(w.inRound.begin(), w.inRound.end(), &t) != w.inRound.end() ||
                       std::find(w.foldersInRound.begin(), w.foldersInRound.end(), &t) != w.foldersInRound.end();
  if (inRound) {
    w.line->Leave(t.fd);
    w.line->Leave(t.folderFd);
    t.fd = t.folderFd = -1;
  }
  CloseFds(t);
  std::erase(w.inRound, &t);
  std::erase(w.foldersInRound, &t);
  if (w.current == &t) w.current = nullptr;
  SoundBufferFree(&t.sb);
  std::erase_if(w.takes, [&](const auto& p) { return p.get() == &t; });
}

// The end gave up on the disk: the take's closing header names what its
// file holds, unconfirmed, and the end says how much of it may be missing.
void CloseGivenUp(Writer& w, WriterTake& t) {
  EndWriting(*w.s, t);
  const std::string name = t.name.empty() ? "?" : t.name;
  if (t.file > 0) {
    const int32_t rc = PutHeader(t.fd, Header(&t.sb));
    EndStep(t, rc == 0 ? 0 : -kErrFileAccess, -rc);
  }
  if (ClosedByEnd(*w.s, t)) {  // the end's wait closed it and said it, the writer held
    CloseTake(w, t);
    return;
  }
  const double perSecond = 4.0 * w.s->Rate();
  if (t.lost > 0)
    w.s->NoteTakeNotWhole(name, ShortLine(name, double(t.lost) * 2.0 / perSecond));
  else if (t.file > 0 && t.named < t.Data())
    w.s->NoteTakeNotWhole(name, UnconfirmedLine(name, double(t.Data() - t.named) / perSecond));
  CloseTake(w, t);
}

// The next round, once the last one finished: a new name's folder; the data
// of an ended take, then its closing header and its last sync (which closes
// it); the running take's data once a second of it waits. Several takes
// behind are kept by one sync of them all.
bool AskRound(Writer& w) {
  if (w.asked || w.s->GivenUp()) return false;
  SyncRound r;
  for (const auto& p : w.takes) {
    WriterTake& t = *p;
    if (t.file <= 0) continue;
    if (t.folderFd >= 0) {
      r.folders.push_back(t.folderFd);
      w.foldersInRound.push_back(&t);
    }
    const uint32_t data = t.Data();
    const int64_t head = t.Head();
    SyncFile f;
    f.fd = t.fd;
    f.from = head + t.confirmed;
    if (t.ended && (t.named == data || t.endKept)) {
      // All it holds is kept (or what was, when its end's sync failed): the
      // closing header names it, and a sync of the whole file keeps both.
      if (!t.closing) {
        SoundBuffer sb;
        SoundBufferInit(&sb);
        sb.format = t.sb.format;
        sb.dataSize = t.named * 2;
        const uint32_t blockAlign = t.sb.format.blockAlign > 0 ? uint32_t(t.sb.format.blockAlign) : 1u;
        sb.frameCount = t.named / blockAlign;
        const int32_t rc = PutHeader(t.fd, Header(&sb));
        SoundBufferFree(&sb);
        EndStep(t, rc == 0 ? 0 : -kErrFileAccess, -rc);
        t.closing = true;
      }
      f.from = f.to = head + data;
      f.whole = true;
    } else if (data > t.named) {
      // A running take's header names its first block, then whole seconds.
      const uint32_t perSecond = t.sb.format.bytesPerSecond > 0 ? t.sb.format.bytesPerSecond : 1u;
      const uint32_t upTo = t.ended || t.named == 0 ? data : data - data % perSecond;
      if (upTo <= t.named) continue;
      f.to = head + upTo;
    } else {
      continue;
    }
    f.waitTo = std::max(f.to, t.started);
    f.chase = !t.ended;
    r.files.push_back(f);
    w.inRound.push_back(&t);
  }
  if (r.files.empty() && r.folders.empty()) return false;
  r.together = r.files.size() > 2;
  w.line->Ask(std::move(r));
  w.asked = true;
  return true;
}

// A finished round: new names kept; kept data named in the header (a take
// that runs) or lets the closing header follow; the last sync closes a take.
bool TakeRound(Writer& w) {
  SyncRound r;
  if (!w.asked || !w.line->TakeDone(r)) return false;
  w.asked = false;
  std::vector<WriterTake*> takes;
  takes.swap(w.inRound);
  std::vector<WriterTake*> folders;
  folders.swap(w.foldersInRound);
  for (WriterTake* t : folders) {
    ::close(t->folderFd);
    t->folderFd = -1;
    if (r.folderError == 0) continue;
    if (!t->ended)
      FailTake(w, *t, WriteFailure(-kErrFileAccess, r.folderError));
    else
      EndStep(*t, -kErrFileAccess, r.folderError);
  }
  for (size_t i = 0; i < takes.size() && i < r.files.size(); ++i) {
    WriterTake& t = *takes[i];
    const SyncFile& f = r.files[i];
    t.confirmed = std::max<uint32_t>(t.confirmed, uint32_t(f.from + f.confirmed - t.Head()));
    if (f.whole) {
      if (f.error != 0) EndStep(t, -kErrFileAccess, f.error);
      CloseTake(w, t);
      continue;
    }
    if (f.error != 0) {
      // The data may not be on the disk: the header goes on naming what an
      // earlier sync kept, and the end says why.
      if (!t.ended)
        FailTake(w, t, WriteFailure(-kErrFileAccess, f.error));
      else
        EndStep(t, -kErrFileAccess, f.error);
      t.endKept = true;
      continue;
    }
    t.named = uint32_t(f.to - t.Head());
    Hold(*w.s, t, w.current == &t);
    if (!t.ended) {
      if (const int32_t rc = PutSizes(t.fd, t.Head(), t.sb.format.blockAlign, t.named); rc != 0)
        FailTake(w, t, WriteFailure(-kErrFileAccess, -rc));
    } else if (t.named < t.Data()) {
      // An ended take whose rest still waits for the disk (the end's wait):
      // its header names what is kept now, so a program killed in the wait
      // leaves a file that names its sound.
      const int32_t rc = PutSizes(t.fd, t.Head(), t.sb.format.blockAlign, t.named);
      EndStep(t, rc == 0 ? 0 : -kErrFileAccess, -rc);
    }
  }
  return true;
}

bool WriterStep(Writer& w) {
  State& s = *w.s;
  Ring& ring = *w.ring;
  WriteLogLines(ring);
  const bool giveUp = s.GivenUp();
  bool did = TakeRound(w);
  TakeEvent* e = ring.events.Front();
  const uint64_t bound = e ? e->at : ring.Appended();
  const uint64_t from = ring.Taken();
  const uint32_t rate = s.Rate();
  // The disk's pace is sampled while a take runs, whether sound waits or not.
  const double window = s.options.paceSeconds;
  const State::Pace pace = w.current && w.current->file > 0 ? s.SamplePace(window * 0.95) : State::Pace{};
  w.counted = pace.counted;
  if (from < bound) {
    const uint64_t size = ring.Size();
    // A tenth of a second of sound a write at most, so the end sees even a
    // slow disk move.
    const uint64_t tenth = std::max<uint64_t>(rate / 5, 2);
    const uint64_t n = std::min({bound - from, size - from % size, tenth});
    WriterTake* t = w.current;
    bool take = true;
    if (t && giveUp) {
      if (!t->name.empty()) t->lost += n;  // a take refused at its creation was said
    } else if (t && t->file > 0) {
      // Past what the disk's pace allows unconfirmed, the sound waits in the
      // ring: the disk's confirmations ring the bell, and the writer looks
      // again at least every quarter second as the pace moves.
      take = s.Backlog(*w.line) + n * 2 <= Bound(pace.counted, pace.perSecond, rate, s.MemoryBytes());
      if (take) {
        const int32_t rc = WriteData(s, *w.line, *t, ring.Values() + from % size, static_cast<int32_t>(n));
        if (rc != 0) FailTake(w, *t, rc);
      }
    }
    if (take) {
      ring.Take(from + n);
      did = true;
    }
  } else if (e) {
    if (e->kind == kTakeBegin) {
      auto t = std::make_unique<WriterTake>();
      SoundBufferInit(&t->sb);
      if (giveUp) {  // nothing more reaches the disk: the take is said short
        t->take = e->take;
        t->label = e->label;
        t->name = (e->stem ? std::string(e->stem) : "REC_" + TimeStampText()) + ".wav";
        std::free(e->stem);
        e->stem = nullptr;
      } else {
        BeginTake(w, *t, *e);
      }
      w.current = t.get();
      if (t->file > 0) Hold(s, *t, true);
      w.takes.push_back(std::move(t));
    } else if (w.current) {
      EndWriting(s, *w.current);
      Hold(s, *w.current, false);
      w.current = nullptr;
    }
    Publish(w);  // before the event goes: a settle sees the take
    ring.events.Pop();
    did = true;
  } else if (w.current && s.stopAsked.load(std::memory_order_acquire)) {
    // The end came with a take still running: it ends with what it holds.
    EndWriting(s, *w.current);
    w.current = nullptr;
    did = true;
  }
  if (giveUp) {
    // Every take that ended is closed now, with what its file holds; once
    // nothing more came, the one still running too.
    const bool last = !did && !e;
    for (size_t i = w.takes.size(); i-- > 0;) {
      WriterTake& t = *w.takes[i];
      if (t.ended || last) {
        CloseGivenUp(w, t);
        did = true;
      }
    }
  } else {
    // Takes refused at their creation hold no file: they go once ended.
    for (size_t i = w.takes.size(); i-- > 0;) {
      if (w.takes[i]->ended && w.takes[i]->file <= 0) {
        CloseTake(w, *w.takes[i]);
        did = true;
      }
    }
    did = AskRound(w) || did;
  }
  Publish(w);
  return did;
}

bool WriterHolds(const Writer& w) {
  // A round the disk holds is not waited for once the end gave up on it.
  const bool round = w.asked && !w.s->GivenUp();
  const Ring& ring = *w.ring;
  return !w.takes.empty() || round || ring.events.Held() > 0 || ring.Taken() != ring.Appended() ||
         ring.logLines.Held() > 0;
}

}  // namespace

State::State(RecordingWriterOptions o) : options(std::move(o)), pace(options.paceSeconds) {}

State::~State() {
  for (std::thread* t : {writer, sync}) {
    if (t && t->joinable()) t->detach();
    delete t;
  }
}

uint64_t State::Backlog(const SyncLine& l) const {
  const uint64_t settled = l.Confirmed() + dropped.load(std::memory_order_relaxed);
  const uint64_t all = written.load(std::memory_order_relaxed);
  return all > settled ? all - settled : 0;
}

State::Pace State::SamplePace(double minSpan) {
  const uint64_t d = device.load(std::memory_order_acquire);
  if (d == 0) return {};
  std::lock_guard<std::mutex> hold(paceLock);
  if (d != pacedDevice) {
    pacedDevice = d;
    pace.Reset();
    sampledAt = 0.0;
  }
  const double now = platform::HighResClock();
  if (now - sampledAt >= 0.1) {
    const int64_t count = options.writtenBytes(d);
    if (count < 0) return {};
    sampledAt = now;
    pace.Sample(now, uint64_t(count));
  }
  return {true, pace.BytesPerSecond(minSpan), pace.LastMoved()};
}

uint64_t State::MemoryBytes() const {
  if (options.memoryBytes > 0) return options.memoryBytes;
  const long pages = ::sysconf(_SC_PHYS_PAGES), page = ::sysconf(_SC_PAGESIZE);
  const uint64_t sixteenth = pages > 0 && page > 0 ? uint64_t(pages) * uint64_t(page) / 16 : 0;
  return std::min<uint64_t>(sixteenth > 0 ? sixteenth : 64ull << 20, 256ull << 20);
}

void State::AskStop() {
  stopAsked.store(true, std::memory_order_release);
  ring.RingBell();
}

void State::AskGiveUp() {
  giveUp.store(true, std::memory_order_release);
  ring.RingBell();
}

void State::NoteTakeNotWhole(const std::string& name, const std::string& line) {
  std::lock_guard<std::mutex> hold(notesLock);
  notes.emplace_back(name, line);
}

uint64_t Bound(bool counted, double pace, uint32_t rate, uint64_t memory) {
  const double sound = 4.0 * double(std::max<uint32_t>(rate, 1));
  const double least = kBacklogSeconds * sound;
  if (!counted) return uint64_t(least);
  const double most = std::max(least, double(memory));
  if (!(pace >= 0.0)) return uint64_t(most);
  if (pace < sound) return uint64_t(least);
  return uint64_t(std::clamp(pace * kDrainSeconds, least, most));
}

void WriterThread(std::shared_ptr<State> s, std::shared_ptr<SyncLine> line) {
  platform::ThreadSetName("tarvelo-rec");
  Writer w;
  w.s = s.get();
  w.ring = &s->ring;
  w.line = std::move(line);
  for (;;) {
    const uint32_t bell = w.ring->Bell();
    if (WriterStep(w)) continue;
    if (s->stopAsked.load(std::memory_order_acquire) && !WriterHolds(w)) break;
    // A quarter second at most where the disk's pace is sampled, as it may
    // let the sound waiting in the ring go.
    w.ring->WaitForBell(bell, w.counted ? 0.25 : 0.5);
  }
  s->done.store(true, std::memory_order_release);
  w.line->Moved();
  // The sync thread ends after the round it may be in: also when the end
  // gave up on this thread and left it (no one else asks it then).
  w.line->Quit();
}

void CloseTakesOfAHeldWriter(State& s) {
  std::lock_guard<std::mutex> hold(s.heldLock);
  const uint64_t ring = s.ring.Appended() - s.ring.Taken();
  for (auto& [take, h] : s.held) {

    if (h.closedByEnd) continue;
    h.closedByEnd = true;
    const int fd = platform::OpenDescriptor(h.path, O_WRONLY);
    struct stat st;
    uint32_t held = 0;
    if (fd >= 0 && ::fstat(fd, &st) == 0) {
      held = WholeFramesHeld(st.st_size, h.headBytes, h.blockAlign);
      PutSizes(fd, h.headBytes, h.blockAlign, held);
    }
    if (fd >= 0) ::close(fd);
    const double perSecond = double(h.bytesPerSecond);
    if (h.current && ring > 0)
      s.NoteTakeNotWhole(h.name, ShortLine(h.name, double(ring) * 2.0 / perSecond));
    else if (held > h.named || fd < 0)
      s.NoteTakeNotWhole(h.name, UnconfirmedLine(h.name, double(held - std::min(held, h.named)) / perSecond));
  }
}

}  // namespace rec

void RecordingStopReport(int32_t error, uint32_t label, bool begun) {
  CommandMessage stop{};
  stop.type = kAudioRecordStop;
  stop.arg1 = static_cast<uint32_t>(AudioCommandQueue);
  stop.arg2 = label;
  stop.arg3 = begun ? 0u : kRecordNotStarted;
  stop.arg4 = static_cast<uint32_t>(error);
  stop.timeStamp = AudioNow();
  PostCommand(stop, 0, -1);
}

}  // namespace QUARLE_AUDIO
