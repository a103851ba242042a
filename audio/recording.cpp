#include "audio/recording.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

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

// Rewrites only the RIFF size, the fact count and the data size for the data
// counted so far, then returns to the end of the data, so that a recording
// cut short (killed, crashed, the power gone) announces what it holds.
int32_t WriteSizes(int32_t fileNumber, SoundBuffer* sb) {
  const uint32_t dataBytes = sb->dataSize / 2;
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
  if (rc == 0) rc = platform::FileSeek(fileNumber, sb->dataOffset + dataBytes);
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

int32_t CreateRecordingWav(const std::string& fileName, SoundBuffer* sb) {
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
  platform::FolderSync(cut == std::string::npos ? std::string() : fileName.substr(0, cut == 0 ? 1 : cut));
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
    if (rc == 0) rc = WriteSizes(fileNumber, sb);
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
std::atomic<int32_t> g_writerRunning{0};  // 1 once it runs, -1 when it could not be made
std::once_flag g_writerOnce;

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

// one thread: value, the writer thread's open take (a local of its loop)
struct WriterTake {
  int32_t take = 0;
  int32_t file = 0;  // 0: none open (refused, failed or ended)
  SoundBuffer sb;
  uint32_t label = 0;  // the interface's number of the take
  bool begun = false;  // its file was made
  std::string name;    // its file's
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

// A failed end may leave a header that does not name what the file holds:
// the log says which file.
void FinishTake(WriterTake& t) {
  const int32_t rc = FinishRecordingWav(t.file, &t.sb);
  if (rc != 0)
    Report(InsertArg(LangText(622, "The end of the recording {$} could not be written: "), t.name) + ErrorText(rc), 2);
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
  const int32_t file = CreateRecordingWav(folder + "\\" + name, &t.sb);
  if (file < 0) {
    Report(LangText(77, "Error creating WAV file for recording") + ": " + ErrorText(file), 2);
    EndFailedTake(t, file);
    return;
  }
  Report(LangText(78, "Now recording") + " " + name, 0);
  t.file = file;
  t.begun = true;
  t.name = name;
}

void EndTake(WriterTake& t) {
  if (t.file > 0) FinishTake(t);
  t.file = 0;
  SoundBufferFree(&t.sb);
}

// One piece of work: log lines, then the values up to the next event, then
// that event. False when there was nothing to do.
bool WriterStep(WriterTake& t) {
  WriteLogLines();
  const uint32_t tail = g_eventTail.load(std::memory_order_relaxed);
  const bool event = tail != g_eventHead.load(std::memory_order_acquire);
  WriterEvent& e = g_events[tail % kEventSlots];
  const uint64_t bound = event ? e.at : g_appended.load(std::memory_order_acquire);
  const uint64_t from = g_taken.load(std::memory_order_relaxed);
  if (from < bound) {
    const uint64_t size = g_ringValues.load(std::memory_order_relaxed);
    // All there is in one write (two where the ring wraps): the sync that
    // follows it then keeps everything that waited during the last one, so
    // a disk whose syncs take seconds still keeps up.
    const uint64_t n = std::min({bound - from, size - from % size, uint64_t(INT32_MAX)});
    if (t.file > 0) {
      const int32_t rc = WriteRecordingSamples(t.file, &t.sb, g_ring + from % size, static_cast<int32_t>(n));
      if (rc != 0) {
        FinishTake(t);
        t.file = 0;
        EndFailedTake(t, rc);
      }
    }
    g_taken.store(from + n, std::memory_order_release);
    return true;
  }
  if (!event) return false;
  if (e.kind == kTakeBegin)
    BeginTake(t, e);
  else
    EndTake(t);
  g_eventTail.store(tail + 1, std::memory_order_release);
  return true;
}

void WriterThread() {
  platform::ThreadSetName("tarvelo-rec");
  WriterTake t;
  SoundBufferInit(&t.sb);
  for (;;) {
    const uint32_t bell = g_bell.load(std::memory_order_acquire);
    if (!WriterStep(t)) platform::WaitOnWord(g_bell, bell, 0.5);
  }
}

}  // namespace

bool RecordingWriterStart(uint32_t rate, uint32_t ringValues) {
  std::call_once(g_writerOnce, [&] {
    g_rate.store(rate, std::memory_order_relaxed);
    const uint32_t values = std::max<uint32_t>(ringValues, 2);
    g_ring = static_cast<int16_t*>(std::malloc(size_t(values) * sizeof(int16_t)));
    if (!g_ring) {
      g_writerRunning.store(-1, std::memory_order_release);
      return;
    }
    // Every page is touched here, so the audio thread's copies never fault one in.
    std::memset(g_ring, 0, size_t(values) * sizeof(int16_t));
    g_ringValues.store(values, std::memory_order_relaxed);
    try {
      std::thread(WriterThread).detach();
      g_writerRunning.store(1, std::memory_order_release);
    } catch (const std::system_error&) {
      g_writerRunning.store(-1, std::memory_order_release);
    }
  });
  // Later starts keep the ring; the takes they record carry their own rate.
  if (g_writerRunning.load(std::memory_order_acquire) == 1) g_rate.store(rate, std::memory_order_relaxed);
  return g_writerRunning.load(std::memory_order_acquire) == 1;
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

bool RecordingWriterSettle(double seconds) {
  const double end = platform::HighResClock() + seconds;
  for (;;) {
    if (g_eventTail.load(std::memory_order_acquire) == g_eventHead.load(std::memory_order_acquire) &&
        g_taken.load(std::memory_order_acquire) == g_appended.load(std::memory_order_acquire) &&
        g_logTail.load(std::memory_order_acquire) == g_logHead.load(std::memory_order_acquire))
      return true;
    if (platform::HighResClock() > end) return false;
    platform::SleepMs(1);
  }
}

}  // namespace QUARLE_AUDIO
