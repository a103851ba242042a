#include "audio/recording.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "audio/audio.h"
#include "audio/backend.h"
#include "basics/errors.h"
#include "basics/messages.h"
#include "basics/program.h"
#include "basics/queues.h"
#include "basics/timetext.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/threads.h"

namespace QUARLE_AUDIO {

using namespace QUARLE_BASICS;

namespace {

void PutU32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}
void PutU16(std::string& out, uint16_t v) {
  out.push_back(static_cast<char>(v));
  out.push_back(static_cast<char>(v >> 8));
}
void PutF32(std::string& out, float f) {
  uint32_t v;
  std::memcpy(&v, &f, 4);
  PutU32(out, v);
}

// The header from "RIFF" to the data chunk's size, from sb's current values.
// Its length depends only on the text, so the rewrite at the end covers
// exactly the bytes written at the start.
std::string Header(SoundBuffer* sb) {
  std::string h;
  h += "RIFF";
  PutU32(h, 0);  // patched once the length is known
  h += "WAVE";
  h += "fmt ";
  PutU32(h, 16);
  PutU16(h, sb->format.formatTag);
  PutU16(h, uint16_t(sb->format.channels));
  PutU32(h, sb->format.sampleRate);
  PutU32(h, sb->format.bytesPerSecond);
  PutU16(h, uint16_t(sb->format.blockAlign));
  PutU16(h, uint16_t(sb->format.bitsPerSample));
  h += "fact";
  PutU32(h, 4);
  PutU32(h, sb->frameCount);
  std::string text = DynZStringGet(sb->listText);
  if (!text.empty()) {
    h += "LIST";
    PutU32(h, static_cast<uint32_t>(text.size()));
    h += text;
  }
  sb->peakChunkSize = 24;
  sb->peakVersion = 1;
  sb->peakTimeStamp = UnixTimeNow();
  h += "PEAK";
  PutU32(h, sb->peakChunkSize);
  PutU32(h, sb->peakVersion);
  PutU32(h, sb->peakTimeStamp);
  PutF32(h, sb->peakValue[0]);
  PutU32(h, sb->peakPosition[0]);
  PutF32(h, sb->peakValue[1]);
  PutU32(h, sb->peakPosition[1]);
  h += "data";
  const uint32_t dataBytes = sb->dataSize / 2;
  PutU32(h, dataBytes);
  const uint32_t riff = dataBytes + static_cast<uint32_t>(h.size()) - 8;
  for (int i = 0; i < 4; ++i) h[4 + i] = static_cast<char>(riff >> (8 * i));
  return h;
}

// Writes the header at position 1 and leaves the file at the first data byte.
int32_t WriteHeader(int32_t fileNumber, SoundBuffer* sb) {
  const std::string h = Header(sb);
  int32_t rc = platform::FilePut(fileNumber, 1, h.data(), h.size());
  if (rc == 0) rc = platform::FileFlush(fileNumber);
  const int64_t firstData = static_cast<int64_t>(h.size()) + 1;
  platform::FileSeek(fileNumber, firstData);
  sb->dataOffset = firstData;
  return rc;
}

void PutLe32(uint8_t* at, uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Rewrites only the RIFF size, the fact count and the data size for dataBytes
// of data (a sync kept them), then returns to the end of the data counted, so
// that a recording cut short (killed, crashed, the power gone) announces what
// it holds.
int32_t WriteSizes(int32_t fileNumber, SoundBuffer* sb, uint32_t dataBytes) {
  const uint32_t blockAlign = sb->format.blockAlign > 0 ? uint32_t(sb->format.blockAlign) : 1u;
  const int64_t headBytes = sb->dataOffset - 1;
  uint8_t riff[4], fact[4], data[4];
  PutLe32(riff, dataBytes + static_cast<uint32_t>(headBytes) - 8);
  PutLe32(fact, dataBytes / blockAlign);
  PutLe32(data, dataBytes);
  int32_t rc = platform::FilePut(fileNumber, 5, riff, 4);
  if (rc == 0) rc = platform::FilePut(fileNumber, 45, fact, 4);  // fact always follows fmt
  if (rc == 0) rc = platform::FilePut(fileNumber, sb->dataOffset - 4, data, 4);
  if (rc == 0) rc = platform::FileFlush(fileNumber);
  if (rc == 0) rc = platform::FileSeek(fileNumber, sb->dataOffset + sb->dataSize / 2);
  return rc;
}

// After a failed write the file may hold part of a block beyond the counted
// data (a disk that filled mid-write): the count becomes the whole frames the
// file holds and the file ends with them, so the sizes match the file.
void TakeFileData(int32_t fileNumber, SoundBuffer* sb) {
  const int64_t length = platform::FileLengthOf(fileNumber);
  const int64_t headBytes = sb->dataOffset - 1;
  if (headBytes <= 0 || length < headBytes) return;
  const int64_t blockAlign = sb->format.blockAlign > 0 ? sb->format.blockAlign : 1;
  int64_t held = length - headBytes;
  held -= held % blockAlign;
  const int64_t most = 0x7FFFFFFFll - (0x7FFFFFFFll % blockAlign);  // dataSize counts twice the bytes
  if (held > most) held = most;
  if (held == int64_t(sb->dataSize / 2) && length == headBytes + held) return;
  sb->dataSize = static_cast<uint32_t>(held * 2);
  platform::FileTruncate(fileNumber, headBytes + held);
}

// A write refused for want of room says so: "File Access Failed" would send
// the user looking for a permissions fault; a file system turned read-only
// and a refused right name theirs.
int32_t WriteFailure(int32_t rc, int err) {
  if (err == ENOSPC || err == EDQUOT) return -kErrDiskFull;
  if (err == EROFS) return -kErrReadOnly;
  if (err == EACCES || err == EPERM) return -kErrNoPermission;
  return -std::abs(rc);
}

}  // namespace

int32_t CreateRecordingWav(const std::string& fileName, SoundBuffer* sb, bool syncFolder) {
  if (fileName.empty() || !sb) return -kErrBadParameter;
  sb->dataSize = 0;
  sb->frameCount = 0;
  // A refused create (a full disk) takes away the file it made, so every try
  // does not leave an empty recording behind; a file that was there stays.
  const bool made = !platform::FileExists(fileName);
  const auto refused = [&](int32_t rc) {
    if (made) platform::FileDelete(fileName);
    return -std::abs(rc);
  };
  int32_t number;
  {
    platform::MutexGuard lock(MT_FILES);
    number = platform::FreeFile();
    if (number <= 0) return -kErrNoFreeFile;
    int32_t rc = platform::FileOpen(number, fileName, platform::kFileOutput);
    if (rc != 0) return refused(rc);
    platform::FileClose(number);
    // Reopened under the same hold so that no other thread takes the number
    // between the two opens.
    rc = platform::FileOpen(number, fileName, platform::kFileBinary);
    if (rc != 0) return refused(rc);
  }
  errno = 0;
  if (int32_t rc = WriteHeader(number, sb); rc != 0) {
    // A file without its header is no recording: say so instead of
    // streaming into it.
    const int err = errno;
    platform::FileClose(number);
    return refused(WriteFailure(rc, err));
  }
  // The new name is kept by the disk from the start: a power cut leaves the
  // recording up to its last header, not a folder without it.
  const size_t cut = fileName.find_last_of("\\/");
  if (syncFolder) platform::FolderSync(cut == std::string::npos ? std::string() : fileName.substr(0, cut == 0 ? 1 : cut));
  return number;
}

int32_t WriteRecordingSamples(int32_t fileNumber, SoundBuffer* sb, const int16_t* values,
                              int32_t count) {
  if (!sb || !values || count < 0) return -kErrBadParameter;
  if (count == 0) return 0;
  // The sizes are 32-bit: a recording stops cleanly before they would wrap
  // round and leave a header that no longer matches the data.
  const uint64_t grown = uint64_t(sb->dataSize) + uint64_t(count) * 4;
  if (grown > 0xFFFFFFFFull) return -kErrFileTooBig;
  // Flushed at once: a full disk must stop the recording now, not surface
  // unnoticed when the file is closed.
  errno = 0;
  int32_t rc = platform::FilePut(fileNumber, 0, values, size_t(count) * 2);
  if (rc == 0) rc = platform::FileFlush(fileNumber);
  if (rc != 0) return WriteFailure(rc, errno);
  const uint32_t before = sb->dataSize / 2;
  sb->dataSize = static_cast<uint32_t>(grown);
  // The header catches up with the data once the first block is on disk and
  // then about once a second of sound, always after the data it names was
  // synced: the disk may write the header's page before the data's, so a
  // header written before that sync could outlive a power cut that the data
  // did not. The next sync keeps the header with the data that follows it.
  const uint32_t perSecond = sb->format.bytesPerSecond > 0 ? sb->format.bytesPerSecond : 1u;
  if (before == 0 || before / perSecond != sb->dataSize / 2 / perSecond) {
    errno = 0;
    rc = platform::FileSyncData(fileNumber);
    if (rc == 0) rc = WriteSizes(fileNumber, sb, sb->dataSize / 2);
    if (rc != 0) return WriteFailure(rc, errno);
  }
  return 0;
}

int32_t FinishRecordingWav(int32_t fileNumber, SoundBuffer* sb) {
  if (!sb) return -kErrBadParameter;
  TakeFileData(fileNumber, sb);
  const int32_t blockAlign = sb->format.blockAlign > 0 ? sb->format.blockAlign : 1;
  sb->frameCount = static_cast<uint32_t>(
      std::nearbyint(double(sb->dataSize / 2) / double(blockAlign)));
  // The data first, then the closing header that names every frame of it: a
  // power cut at any moment leaves a header naming no more than the disk
  // holds, and one soon after leaves the recording whole. Every step runs
  // whatever an earlier one did (the file is closed all the same); the first
  // failure is the end's, as the file may then not name what it holds.
  int32_t failure = 0;
  const auto step = [&failure](int32_t rc) {
    if (rc != 0 && failure == 0) failure = WriteFailure(rc, errno);
    errno = 0;
  };
  errno = 0;
  step(platform::FileSyncData(fileNumber));
  step(WriteHeader(fileNumber, sb));
  step(platform::FileSync(fileNumber));
  step(platform::FileClose(fileNumber));
  return failure;
}

// The writer. The audio thread appends to a ring of 16-bit values and posts
// the starts and ends of takes, each at the ring position it follows; the
// writer thread takes both in order. Each side moves only its own indexes.
// The writer never waits for a sync: its sync thread makes them, one at a
// time, and a header names data only once a sync has kept it.
namespace {

constexpr uint32_t kEventSlots = 64;  // a power of two
constexpr uint32_t kLogSlots = 32;    // a power of two

enum WriterEventKind : uint32_t { kTakeBegin = 1, kTakeEnd = 2 };

// one thread: maker, a slot is filled before g_eventHead publishes it
struct WriterEvent {
  uint64_t at = 0;  // the values appended before it
  uint32_t kind = 0;
  int32_t take = 0;
  char* stem = nullptr;  // a begin's heap text, the writer's once posted
  uint32_t label = 0;    // a begin's: the interface's number of the take
};

// one thread: maker, a slot is filled before g_logHead publishes it
struct WriterLogLine {
  uint32_t message = 0;
  const char* text = nullptr;  // the call site's default, a literal; null: no text
  int64_t value = 0;
  bool hasValue = false;   // value fills the text's {$}
  bool errorCode = false;  // value is an error code whose text follows
  int32_t level = 0;
};

WriterEvent g_events[kEventSlots];
std::atomic<uint32_t> g_eventHead{0};  // moved by the audio thread
std::atomic<uint32_t> g_eventTail{0};  // moved by the writer when an event is done
WriterLogLine g_logLines[kLogSlots];
std::atomic<uint32_t> g_logHead{0};
std::atomic<uint32_t> g_logTail{0};
// one thread: maker, set once before the writer thread runs
int16_t* g_ring = nullptr;
std::atomic<uint64_t> g_ringValues{0};
std::atomic<uint64_t> g_appended{0};  // moved by the audio thread
std::atomic<uint64_t> g_taken{0};     // moved by the writer: the room behind it is free
std::atomic<uint32_t> g_rate{48000};
// The last take the writer ended on its own (a failed create or write).
std::atomic<int32_t> g_endedTake{0};
// one thread: audio
int32_t g_lastTake = 0;
std::atomic<uint32_t> g_bell{0};
std::atomic<int32_t> g_writerRunning{0};  // 1 while it takes takes, -1 when it could not be made
// Its life: RecordingWriterStart makes both threads, RecordingWriterStop ends
// and joins them.
std::mutex g_life;
// one thread: holder of g_life
std::thread* g_writerThread = nullptr;
// one thread: holder of g_life
std::thread* g_syncThread = nullptr;
std::atomic<bool> g_stopAsked{false};  // the writer ends once it holds nothing
std::atomic<bool> g_giveUp{false};     // the disk took nothing for long: write no more
std::atomic<bool> g_writerDone{false};
// Moved by every write and every finished sync: what the end's wait watches.
std::atomic<uint32_t> g_progress{0};
// Data bytes the writer wrote that no sync has kept yet, and the recordings
// it has open: what is left besides the ring.
std::atomic<uint64_t> g_unconfirmed{0};
std::atomic<int32_t> g_openFiles{0};
// What the end says of takes it could not wait for, said by the end itself
// on its own thread (the window's).
std::mutex g_notesLock;
// one thread: holder of g_notesLock
std::vector<std::string> g_notes;
// one thread: holder of g_notesLock, the takes the last end could not confirm whole
std::vector<std::string> g_unconfirmedNames;

// The sync thread's one request at a time: the writer fills it while none is
// under way (asked == done) and moves asked; the sync thread makes it and
// moves done. Each start makes one: a sync thread the end had to leave in a
// sync that never came back keeps its own.
struct SyncLine {
  std::atomic<int> fd{-1};
  std::atomic<bool> whole{false};  // fsync, else fdatasync
  std::atomic<int64_t> from{0};    // a data sync's new bytes, file offsets
  std::atomic<int64_t> to{0};
  std::atomic<int> error{0};       // errno of the last sync, 0 when it kept the bytes
  std::atomic<uint32_t> asked{0};
  std::atomic<uint32_t> done{0};
  std::atomic<bool> quit{false};
};
// one thread: holder of g_life
std::shared_ptr<SyncLine> g_syncLine;

void Progress() {
  g_progress.fetch_add(1, std::memory_order_release);
  platform::WakeWordWaiters(g_progress);
}

void RingBell() {
  g_bell.fetch_add(1, std::memory_order_release);
  platform::WakeWordWaiters(g_bell);
}

void PostEvent(uint32_t kind, int32_t take, char* stem, uint32_t label = 0) {
  const uint32_t head = g_eventHead.load(std::memory_order_relaxed);
  WriterEvent& e = g_events[head % kEventSlots];
  e.at = g_appended.load(std::memory_order_relaxed);
  e.kind = kind;
  e.take = take;
  e.stem = stem;
  e.label = label;
  g_eventHead.store(head + 1, std::memory_order_release);
  RingBell();
}

// Names the take, so that the interface lets a report about a take already
// ended change nothing, and says whether it ever began.
void ReportStopped(int32_t error, uint32_t label, bool begun) {
  CommandMessage stop{};
  stop.type = kAudioRecordStop;
  stop.arg1 = static_cast<uint32_t>(AudioCommandQueue);
  stop.arg2 = label;
  stop.arg3 = begun ? 0u : kRecordNotStarted;
  stop.arg4 = static_cast<uint32_t>(error);
  stop.timeStamp = AudioNow();
  PostCommand(stop, 0, -1);
}

// one thread: value, a take of the writer thread (an entry of its list)
struct WriterTake {
  int32_t take = 0;
  int32_t file = 0;  // 0: none open (refused or failed)
  SoundBuffer sb;
  uint32_t label = 0;  // the interface's number of the take
  bool begun = false;  // its file was made
  std::string name;    // its file's
  // Descriptors of its own for the sync thread: the file's, and its folder's
  // until the new name is synced.
  int syncFd = -1;
  int folderFd = -1;
  bool ended = false;   // no more values come
  uint32_t named = 0;   // data bytes a finished sync kept (the header names them)
  uint32_t asking = 0;  // data bytes the sync under way keeps
  uint64_t lost = 0;    // values given up on, never written
  int32_t endFailure = 0;  // the first failed step of its end, said when it closes
};

// Says the line of a log-line slot or of a report that carried one.
void SayLogLine(const WriterLogLine& l) {
  const std::string text = l.text ? LangText(l.message, l.text) : std::string();
  if (l.errorCode)
    Report(text + ErrorText(static_cast<int32_t>(l.value)), l.level);
  else
    Report(l.hasValue ? InsertArg(text, std::to_string(l.value)) : text, l.level);
}

void WriteLogLines() {
  uint32_t tail = g_logTail.load(std::memory_order_relaxed);
  while (tail != g_logHead.load(std::memory_order_acquire)) {
    SayLogLine(g_logLines[tail % kLogSlots]);
    g_logTail.store(++tail, std::memory_order_release);
  }
}

// The audio thread hears of it at its next append; the interface by the
// report, which turns its record button off.
void EndFailedTake(WriterTake& t, int32_t error) {
  g_endedTake.store(t.take, std::memory_order_release);
  ReportStopped(error, t.label, t.begun);
}

// A step of a take's end (its data's sync, the closing header, the last
// sync, the close) that failed: the first is the end's, as the file may then
// not name what it holds. Every later step runs all the same.
void EndStep(WriterTake& t, int32_t rc, int err) {
  if (rc != 0 && t.endFailure == 0) t.endFailure = WriteFailure(rc, err);
}

// A failed end may leave a header that does not name what the file holds:
// the log says which file.
void SayFailedEnd(const WriterTake& t) {
  if (t.endFailure != 0)
    Report(InsertArg(LangText(622, "The end of the recording {$} could not be written: "), t.name) +
               ErrorText(t.endFailure),
           2);
}

void BeginTake(WriterTake& t, WriterEvent& e) {
  const std::string stem = e.stem ? std::string(e.stem) : "REC_" + TimeStampText();
  std::free(e.stem);
  e.stem = nullptr;
  t.take = e.take;
  t.file = 0;
  t.label = e.label;
  t.begun = false;
  SoundBufferInitFormat(&t.sb, 2, 16, static_cast<int32_t>(g_rate.load(std::memory_order_relaxed)));
  const std::string folder = DynZStringGet(HomeFolder) + "\\AUDIO";
  // A second recording within the same second gets a name of its own.
  const std::string name = platform::FreeFileName(folder, stem + ".wav");
  const std::string path = folder + "\\" + name;
  const int32_t file = CreateRecordingWav(path, &t.sb, false);
  if (file < 0) {
    Report(LangText(77, "Error creating WAV file for recording") + ": " + ErrorText(file), 2);
    EndFailedTake(t, file);
    return;
  }
  Report(LangText(78, "Now recording") + " " + name, 0);
  t.file = file;
  t.begun = true;
  t.name = name;
  // The sync thread syncs through descriptors of its own, never through the
  // stream the writer writes on.
  t.syncFd = ::open(platform::ToOsPath(path).c_str(), O_RDONLY | O_CLOEXEC);
  t.folderFd = ::open(platform::ToOsPath(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// Bytes a data sync has the disk write at a time before it syncs: each piece
// written tells the end's wait that the disk takes bytes, so a slow disk's
// sync of many seconds never reads as a disk that takes nothing.
constexpr int64_t kSyncPiece = 64 * 1024;

void SyncThread(std::shared_ptr<SyncLine> line) {
  platform::ThreadSetName("tarvelo-recsync");
  for (;;) {
    const uint32_t asked = line->asked.load(std::memory_order_acquire);
    if (asked != line->done.load(std::memory_order_relaxed)) {
      const int fd = line->fd.load(std::memory_order_relaxed);
      const bool whole = line->whole.load(std::memory_order_relaxed);
      const int64_t to = line->to.load(std::memory_order_relaxed);
      for (int64_t at = line->from.load(std::memory_order_relaxed); !whole && at < to; at += kSyncPiece) {
        if (::sync_file_range(fd, at, std::min(kSyncPiece, to - at),
                              SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER) != 0)
          break;
        Progress();
      }
      int error = 0;
      while ((whole ? ::fsync(fd) : ::fdatasync(fd)) != 0) {
        if (errno == EINTR) continue;
        // A file system with nothing to sync (some virtual ones) loses nothing.
        error = errno == EINVAL || errno == ENOTSUP ? 0 : errno;
        break;
      }
      line->error.store(error, std::memory_order_relaxed);
      line->done.store(asked, std::memory_order_release);
      Progress();
      RingBell();
      continue;
    }
    if (line->quit.load(std::memory_order_acquire)) return;
    platform::WaitOnWord(line->asked, asked, 0.5);
  }
}

// one thread: value, the writer thread's (a local of its loop)
struct Writer {
  std::shared_ptr<SyncLine> line;
  std::vector<std::unique_ptr<WriterTake>> takes;  // open or still to be closed, oldest first
  WriterTake* current = nullptr;                   // the take the ring's values go to
  WriterTake* syncing = nullptr;                   // whose sync is under way
  enum class Sync { kFolder, kData, kClose } kind = Sync::kData;
};

double SecondsOf(uint64_t dataBytes) {
  return double(dataBytes) / (4.0 * double(std::max<uint32_t>(g_rate.load(std::memory_order_relaxed), 1)));
}

// What the end's wait shows as left besides the ring.
void Publish(const Writer& w) {
  uint64_t unconfirmed = 0;
  for (const auto& t : w.takes)
    if (t->sb.dataSize / 2 > t->named) unconfirmed += t->sb.dataSize / 2 - t->named;
  g_unconfirmed.store(unconfirmed, std::memory_order_relaxed);
  g_openFiles.store(static_cast<int32_t>(w.takes.size()), std::memory_order_release);
}

void Ask(Writer& w, WriterTake& t, int fd, bool whole, Writer::Sync kind) {
  w.syncing = &t;
  w.kind = kind;
  w.line->fd.store(fd, std::memory_order_relaxed);
  w.line->whole.store(whole, std::memory_order_relaxed);
  const int64_t head = t.sb.dataOffset - 1;
  w.line->from.store(head + t.named, std::memory_order_relaxed);
  w.line->to.store(head + t.asking, std::memory_order_relaxed);
  w.line->asked.fetch_add(1, std::memory_order_release);
  platform::WakeWordWaiters(w.line->asked);
}

// Hands count values to the disk, the stream flushed (a full disk stops the
// take now), without waiting for a sync.
int32_t WriteData(WriterTake& t, const int16_t* values, int32_t count) {
  const uint64_t grown = uint64_t(t.sb.dataSize) + uint64_t(count) * 4;
  if (grown > 0xFFFFFFFFull) return -kErrFileTooBig;
  errno = 0;
  int32_t rc = platform::FilePut(t.file, 0, values, size_t(count) * 2);
  if (rc == 0) rc = platform::FileFlush(t.file);
  if (rc != 0) return WriteFailure(rc, errno);
  t.sb.dataSize = static_cast<uint32_t>(grown);
  return 0;
}

// No more values come: the sizes become those of the whole frames the file
// holds (after a failed write, more than was counted).
void EndWriting(WriterTake& t) {
  if (t.ended) return;
  t.ended = true;
  if (t.file <= 0) return;
  TakeFileData(t.file, &t.sb);
  const int32_t blockAlign = t.sb.format.blockAlign > 0 ? t.sb.format.blockAlign : 1;
  t.sb.frameCount = static_cast<uint32_t>(std::nearbyint(double(t.sb.dataSize / 2) / double(blockAlign)));
}

void FailTake(Writer& w, WriterTake& t, int32_t error) {
  EndWriting(t);
  if (w.current == &t) w.current = nullptr;
  EndFailedTake(t, error);
}

// The file closed and the take off the list; its descriptors stay with a sync
// still under way on them (only when the end gave up on the disk).
void CloseTake(Writer& w, WriterTake& t) {
  if (t.file > 0) {
    errno = 0;
    const int32_t rc = platform::FileClose(t.file);
    EndStep(t, rc, errno);
    SayFailedEnd(t);
  }
  if (w.syncing != &t) {
    if (t.syncFd >= 0) ::close(t.syncFd);
    if (t.folderFd >= 0) ::close(t.folderFd);
  }
  if (w.syncing == &t) w.syncing = nullptr;
  if (w.current == &t) w.current = nullptr;
  SoundBufferFree(&t.sb);
  w.takes.erase(std::find_if(w.takes.begin(), w.takes.end(), [&](const auto& p) { return p.get() == &t; }));
}

std::string Tenths(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", seconds);
  return text;
}

// The end gave up on the disk: the take's closing header names what its file
// holds, unsynced, and the end says how much of it may be missing.
void CloseGivenUp(Writer& w, WriterTake& t) {
  EndWriting(t);
  const std::string name = t.name.empty() ? "?" : t.name;
  if (t.file > 0) {
    errno = 0;
    int32_t rc = WriteHeader(t.file, &t.sb);
    if (rc == 0) rc = platform::FileFlush(t.file);
    EndStep(t, rc, errno);
  }
  std::string note;
  if (t.lost > 0) {
    note = InsertArg(InsertArg(LangText(624, "The recording {$} is short: the disk took nothing for a long while, "
                                             "and its last {$} s were not written"),
                               name),
                     Tenths(double(t.lost) / (2.0 * std::max<uint32_t>(g_rate.load(std::memory_order_relaxed), 1))));
  } else if (t.file > 0 && t.named < t.sb.dataSize / 2) {
    note = InsertArg(InsertArg(LangText(625, "The recording {$} may not be whole on the disk: the disk has not "
                                             "confirmed its last {$} s"),
                               name),
                     Tenths(SecondsOf(t.sb.dataSize / 2 - t.named)));
  }
  if (!note.empty()) {
    std::lock_guard<std::mutex> hold(g_notesLock);
    g_notes.push_back(note);
    g_unconfirmedNames.push_back(name);
  }
  CloseTake(w, t);
}

// A free sync thread takes the next sync, the oldest take's first: a new
// name's folder; the data of an ended take, then its closing header and a
// last sync (which closes it); the running take's data once a second of it
// waits. True when one was asked.
bool AskNext(Writer& w) {
  if (w.syncing || g_giveUp.load(std::memory_order_acquire)) return false;
  for (const auto& p : w.takes) {
    WriterTake& t = *p;
    if (t.file <= 0) continue;
    if (t.folderFd >= 0) {
      Ask(w, t, t.folderFd, true, Writer::Sync::kFolder);
      return true;
    }
    const uint32_t data = t.sb.dataSize / 2;
    if (t.ended) {
      if (t.named < data) {
        t.asking = data;
        Ask(w, t, t.syncFd, false, Writer::Sync::kData);
      } else {
        errno = 0;
        int32_t rc = WriteHeader(t.file, &t.sb);
        if (rc == 0) rc = platform::FileFlush(t.file);
        EndStep(t, rc, errno);
        Ask(w, t, t.syncFd, true, Writer::Sync::kClose);
      }
      return true;
    }
    const uint32_t perSecond = t.sb.format.bytesPerSecond > 0 ? t.sb.format.bytesPerSecond : 1u;
    if (data > t.named && (t.named == 0 || data - t.named >= perSecond)) {
      t.asking = data;
      Ask(w, t, t.syncFd, false, Writer::Sync::kData);
      return true;
    }
  }
  return false;
}

// A finished sync: a folder's descriptor goes; kept data is named in the
// header (a take that runs) or lets the closing header follow; the last sync
// closes the take. True when one was taken.
bool TakeSync(Writer& w) {
  if (!w.syncing) return false;
  if (w.line->done.load(std::memory_order_acquire) != w.line->asked.load(std::memory_order_relaxed)) return false;
  WriterTake& t = *w.syncing;
  const int error = w.line->error.load(std::memory_order_relaxed);
  w.syncing = nullptr;
  switch (w.kind) {
    case Writer::Sync::kFolder:
      ::close(t.folderFd);
      t.folderFd = -1;
      break;
    case Writer::Sync::kData:
      if (error != 0 && !t.ended) {
        FailTake(w, t, WriteFailure(-kErrFileAccess, error));
        break;
      }
      // An ended take's end goes on as a finish does, the failure its end's.
      if (error != 0) EndStep(t, -kErrFileAccess, error);
      t.named = t.asking;
      if (!t.ended) {
        errno = 0;
        if (const int32_t rc = WriteSizes(t.file, &t.sb, t.named); rc != 0) FailTake(w, t, WriteFailure(rc, errno));
      }
      break;
    case Writer::Sync::kClose:
      if (error != 0) EndStep(t, -kErrFileAccess, error);
      CloseTake(w, t);
      break;
  }
  return true;
}

// One piece of work: log lines, a finished sync, then the values up to the
// next event, then that event; then the next sync. False when there was
// nothing to do.
bool WriterStep(Writer& w) {
  WriteLogLines();
  const bool giveUp = g_giveUp.load(std::memory_order_acquire);
  bool did = TakeSync(w);
  const uint32_t tail = g_eventTail.load(std::memory_order_relaxed);
  const bool event = tail != g_eventHead.load(std::memory_order_acquire);
  WriterEvent& e = g_events[tail % kEventSlots];
  const uint64_t bound = event ? e.at : g_appended.load(std::memory_order_acquire);
  const uint64_t from = g_taken.load(std::memory_order_relaxed);
  if (from < bound) {
    const uint64_t size = g_ringValues.load(std::memory_order_relaxed);
    // A tenth of a second of sound a write at most, so the end sees even a
    // slow disk move.
    const uint64_t tenth = std::max<uint64_t>(g_rate.load(std::memory_order_relaxed) / 5, 2);
    const uint64_t n = std::min({bound - from, size - from % size, tenth});
    WriterTake* t = w.current;
    if (t && giveUp) {
      if (!t->name.empty()) t->lost += n;  // a take refused at its creation was said
    } else if (t && t->file > 0) {
      const int32_t rc = WriteData(*t, g_ring + from % size, static_cast<int32_t>(n));
      if (rc != 0) FailTake(w, *t, rc);
    }
    Publish(w);
    g_taken.store(from + n, std::memory_order_release);
    Progress();
    did = true;
  } else if (event) {
    if (e.kind == kTakeBegin) {
      auto t = std::make_unique<WriterTake>();
      SoundBufferInit(&t->sb);
      if (giveUp) {  // nothing more reaches the disk: the take is said short
        t->take = e.take;
        t->label = e.label;
        t->name = (e.stem ? std::string(e.stem) : "REC_" + TimeStampText()) + ".wav";
        std::free(e.stem);
        e.stem = nullptr;
      } else {
        BeginTake(*t, e);
      }
      w.current = t.get();
      w.takes.push_back(std::move(t));
    } else if (w.current) {
      EndWriting(*w.current);
      w.current = nullptr;
    }
    Publish(w);
    g_eventTail.store(tail + 1, std::memory_order_release);
    Progress();
    did = true;
  }
  if (giveUp) {
    // Every take that ended is closed now, with what its file holds; once
    // nothing more came, the one still running too.
    const bool last = !did && !event;
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
    did = AskNext(w) || did;
  }
  if (did) Publish(w);
  return did;
}

bool WriterHolds(const Writer& w) {
  return !w.takes.empty() || w.syncing ||
         g_eventTail.load(std::memory_order_relaxed) != g_eventHead.load(std::memory_order_acquire) ||
         g_taken.load(std::memory_order_relaxed) != g_appended.load(std::memory_order_acquire) ||
         g_logTail.load(std::memory_order_relaxed) != g_logHead.load(std::memory_order_acquire);
}

void WriterThread(std::shared_ptr<SyncLine> line) {
  platform::ThreadSetName("tarvelo-rec");
  Writer w;
  w.line = std::move(line);
  for (;;) {
    const uint32_t bell = g_bell.load(std::memory_order_acquire);
    if (WriterStep(w)) continue;
    if (g_stopAsked.load(std::memory_order_acquire) && !WriterHolds(w)) break;
    platform::WaitOnWord(g_bell, bell, 0.5);
  }
  g_writerDone.store(true, std::memory_order_release);
  Progress();
}

}  // namespace

bool RecordingWriterStart(uint32_t rate, uint32_t ringValues) {
  std::lock_guard<std::mutex> hold(g_life);
  if (g_writerThread) {
    // Later starts keep the ring; the takes they record carry their own rate.
    // A writer the end left held by the disk takes no more.
    if (g_writerRunning.load(std::memory_order_acquire) != 1) return false;
    g_rate.store(rate, std::memory_order_relaxed);
    return true;
  }
  g_rate.store(rate, std::memory_order_relaxed);
  if (!g_ring) {
    const uint32_t values = std::max<uint32_t>(ringValues, 2);
    g_ring = static_cast<int16_t*>(std::malloc(size_t(values) * sizeof(int16_t)));
    if (!g_ring) {
      g_writerRunning.store(-1, std::memory_order_release);
      return false;
    }
    // Every page is touched here, so the audio thread's copies never fault one in.
    std::memset(g_ring, 0, size_t(values) * sizeof(int16_t));
    g_ringValues.store(values, std::memory_order_relaxed);
  }
  g_stopAsked.store(false, std::memory_order_relaxed);
  g_giveUp.store(false, std::memory_order_relaxed);
  g_writerDone.store(false, std::memory_order_relaxed);
  std::shared_ptr<SyncLine> line;
  try {
    line = std::make_shared<SyncLine>();
    g_syncThread = new std::thread(SyncThread, line);
  } catch (const std::exception&) {
    g_writerRunning.store(-1, std::memory_order_release);
    return false;
  }
  try {
    g_writerThread = new std::thread(WriterThread, line);
  } catch (const std::exception&) {
    line->quit.store(true, std::memory_order_release);
    platform::WakeWordWaiters(line->asked);
    g_syncThread->join();
    delete g_syncThread;
    g_syncThread = nullptr;
    g_writerRunning.store(-1, std::memory_order_release);
    return false;
  }
  g_syncLine = std::move(line);
  g_writerRunning.store(1, std::memory_order_release);
  return true;
}

int32_t RecordingWriterStop(double idleSeconds, bool (*shown)(const RecordingEndProgress&)) {
  std::lock_guard<std::mutex> hold(g_life);
  {
    std::lock_guard<std::mutex> holdNotes(g_notesLock);
    g_unconfirmedNames.clear();
  }
  if (!g_writerThread) return 0;
  // No new take or log line from here.
  g_writerRunning.store(0, std::memory_order_release);
  g_stopAsked.store(true, std::memory_order_release);
  RingBell();
  const auto left = [] {
    const double rate = std::max<uint32_t>(g_rate.load(std::memory_order_relaxed), 1);
    const uint64_t ring = g_appended.load(std::memory_order_acquire) - g_taken.load(std::memory_order_acquire);
    return double(ring) / (2.0 * rate) + SecondsOf(g_unconfirmed.load(std::memory_order_relaxed));
  };
  uint32_t seen = g_progress.load(std::memory_order_acquire);
  double moved = platform::HighResClock();
  bool gaveUp = g_giveUp.load(std::memory_order_acquire);
  bool cut = false;
  while (!g_writerDone.load(std::memory_order_acquire)) {
    const double sound = left();
    const RecordingEndProgress p{sound, sound, platform::HighResClock() - moved < 3.0};
    if (shown && !cut && !shown(p)) cut = true;
    platform::WaitOnWord(g_progress, seen, 0.1);
    if (const uint32_t now = g_progress.load(std::memory_order_acquire); now != seen) {
      seen = now;
      moved = platform::HighResClock();
      if (!cut) continue;
    }
    if (!cut && platform::HighResClock() - moved < idleSeconds) continue;
    // The disk took nothing for long: the writer writes no more and closes
    // every take with what its file holds. One held in a write that never
    // comes back is left running: nothing it uses may go then.
    if (gaveUp) {
      if (cut && platform::HighResClock() - moved < 1.0) continue;
      return -1;
    }
    gaveUp = true;
    g_giveUp.store(true, std::memory_order_release);
    RingBell();
    moved = platform::HighResClock();
  }
  g_writerThread->join();
  delete g_writerThread;
  g_writerThread = nullptr;
  // The sync thread ends with the writer, or after the sync it is held in.
  g_syncLine->quit.store(true, std::memory_order_release);
  platform::WakeWordWaiters(g_syncLine->asked);
  if (g_syncLine->done.load(std::memory_order_acquire) == g_syncLine->asked.load(std::memory_order_relaxed))
    g_syncThread->join();
  else
    g_syncThread->detach();
  delete g_syncThread;
  g_syncThread = nullptr;
  g_syncLine.reset();
  std::vector<std::string> notes;
  {
    std::lock_guard<std::mutex> holdNotes(g_notesLock);
    notes.swap(g_notes);
  }
  for (const std::string& note : notes) Report(note, 2);
  return gaveUp ? 1 : 0;
}

int32_t RecordingHandOver(char* stem, uint32_t label) {
  const bool running = g_writerRunning.load(std::memory_order_acquire) == 1;
  const uint32_t head = g_eventHead.load(std::memory_order_relaxed);
  // A take takes two events, its begin and its end: the end always finds room.
  if (!running || head - g_eventTail.load(std::memory_order_acquire) > kEventSlots - 2) {
    std::free(stem);
    // Without a writer the start said so once; the interface says each refusal.
    if (running)
      RecordingLogLine(612,
                       "The recording could not be handed over to its writer, which still holds "
                       "the ones before: none was started",
                       -1, 2);
    return running ? -kErrWriterBusy : -kErrThreadCreate;
  }
  PostEvent(kTakeBegin, ++g_lastTake, stem, label);
  return g_lastTake;
}

int32_t RecordingAppend(int32_t take, const int16_t* values, int32_t count) {
  if (g_endedTake.load(std::memory_order_acquire) == take) return 1;
  if (count <= 0) return 0;
  const uint64_t size = g_ringValues.load(std::memory_order_relaxed);
  const uint64_t at = g_appended.load(std::memory_order_relaxed);
  if (at + uint64_t(count) - g_taken.load(std::memory_order_acquire) > size) return -kErrDiskTooSlow;
  const uint64_t start = at % size;
  const uint64_t first = std::min<uint64_t>(uint64_t(count), size - start);
  std::memcpy(g_ring + start, values, first * sizeof(int16_t));
  std::memcpy(g_ring, values + first, (uint64_t(count) - first) * sizeof(int16_t));
  g_appended.store(at + uint64_t(count), std::memory_order_release);
  RingBell();
  return 0;
}

void RecordingEnd() { PostEvent(kTakeEnd, g_lastTake, nullptr); }

namespace {
void PostLogLine(uint32_t message, const char* text, int64_t value, bool errorCode, int32_t level) {
  if (g_writerRunning.load(std::memory_order_acquire) != 1) {
    // No writer: the interface says the line (ReportAudioLogLine), which the
    // log would otherwise never get. The text is a literal: nothing to free.
    CommandMessage m{};
    m.type = kAudioLogLine;
    m.arg1 = message;
    m.arg2 = static_cast<uint32_t>(level);
    m.arg3 = (!errorCode && value >= 0 ? 1u : 0u) | (errorCode ? 2u : 0u);
    m.arg4 = static_cast<uint32_t>(static_cast<uint64_t>(value));
    m.arg5 = static_cast<uint32_t>(static_cast<uint64_t>(value) >> 32);
    m.word1 = reinterpret_cast<uintptr_t>(text);
    m.timeStamp = AudioNow();
    PostCommand(m, 0, -1);
    return;
  }
  const uint32_t head = g_logHead.load(std::memory_order_relaxed);
  // A writer held up by the disk loses the lines beyond the ring, not the sound.
  if (head - g_logTail.load(std::memory_order_acquire) >= kLogSlots) return;
  WriterLogLine& l = g_logLines[head % kLogSlots];
  l.message = message;
  l.text = text;
  l.value = value;
  l.hasValue = !errorCode && value >= 0;
  l.errorCode = errorCode;
  l.level = level;
  g_logHead.store(head + 1, std::memory_order_release);
  RingBell();
}
}  // namespace

void RecordingLogLine(uint32_t message, const char* text, int64_t value, int32_t level) {
  PostLogLine(message, text, value, false, level);
}

void RecordingLogError(uint32_t message, const char* text, int32_t error, int32_t level) {
  PostLogLine(message, text, error, true, level);
}

void ReportAudioLogLine(const CommandMessage& msg) {
  if (msg.type != kAudioLogLine) return;
  WriterLogLine l;
  l.message = msg.arg1;
  l.text = reinterpret_cast<const char*>(static_cast<uintptr_t>(msg.word1));
  l.value = static_cast<int64_t>(uint64_t(msg.arg4) | uint64_t(msg.arg5) << 32);
  l.hasValue = (msg.arg3 & 1u) != 0;
  l.errorCode = (msg.arg3 & 2u) != 0;
  l.level = static_cast<int32_t>(msg.arg2);
  SayLogLine(l);
}

std::vector<std::string> RecordingEndUnconfirmed() {
  std::lock_guard<std::mutex> hold(g_notesLock);
  return g_unconfirmedNames;
}

bool RecordingWriterSettle(double seconds) {
  const double end = platform::HighResClock() + seconds;
  for (;;) {
    if (g_eventTail.load(std::memory_order_acquire) == g_eventHead.load(std::memory_order_acquire) &&
        g_taken.load(std::memory_order_acquire) == g_appended.load(std::memory_order_acquire) &&
        g_logTail.load(std::memory_order_acquire) == g_logHead.load(std::memory_order_acquire) &&
        g_openFiles.load(std::memory_order_acquire) == 0)
      return true;
    if (platform::HighResClock() > end) return false;
    platform::SleepMs(1);
  }
}

}  // namespace QUARLE_AUDIO
