#include "audio/recording_ring.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "audio/audio.h"
#include "audio/recording.h"
#include "basics/errors.h"
#include "basics/messages.h"
#include "basics/program.h"
#include "basics/queues.h"
#include "platform/threads.h"

namespace QUARLE_AUDIO {

using namespace QUARLE_BASICS;

namespace rec {

SlotRing<TakeEvent, kEventSlots> TakeEvents;
SlotRing<LogLine, kLogSlots> LogLines;

namespace {
// one thread: maker, set once before the writer thread first runs
int16_t* g_ring = nullptr;
std::atomic<uint64_t> g_size{0};
std::atomic<uint64_t> g_appended{0};  // moved by the audio thread
std::atomic<uint64_t> g_taken{0};     // moved by the writer
std::atomic<uint32_t> g_bell{0};
std::atomic<bool> g_open{false};
std::atomic<int32_t> g_endedTake{0};
// one thread: audio
int32_t g_lastTake = 0;
}  // namespace

bool MakeSoundRing(uint32_t values) {
  if (g_ring) return true;
  values = std::max<uint32_t>(values, 2);
  g_ring = static_cast<int16_t*>(std::malloc(size_t(values) * sizeof(int16_t)));
  if (!g_ring) return false;
  // Every page is touched here, so the audio thread's copies never fault one in.
  std::memset(g_ring, 0, size_t(values) * sizeof(int16_t));
  g_size.store(values, std::memory_order_release);
  return true;
}

uint64_t SoundRingSize() { return g_size.load(std::memory_order_acquire); }
const int16_t* SoundRingValues() { return g_ring; }
uint64_t Appended() { return g_appended.load(std::memory_order_acquire); }
uint64_t Taken() { return g_taken.load(std::memory_order_acquire); }
void Take(uint64_t upTo) { g_taken.store(upTo, std::memory_order_release); }

uint32_t Bell() { return g_bell.load(std::memory_order_acquire); }
void RingBell() {
  g_bell.fetch_add(1, std::memory_order_release);
  platform::WakeWordWaiters(g_bell);
}
void WaitForBell(uint32_t seen, double seconds) { platform::WaitOnWord(g_bell, seen, seconds); }

void OpenForTakes(bool open) { g_open.store(open, std::memory_order_release); }
void TakeEndedByWriter(int32_t take) { g_endedTake.store(take, std::memory_order_release); }

void SayLogLine(const LogLine& l) {
  const std::string text = l.text ? LangText(l.message, l.text) : std::string();
  if (l.errorCode)
    Report(text + ErrorText(static_cast<int32_t>(l.value)), l.level);
  else
    Report(l.hasValue ? InsertArg(text, std::to_string(l.value)) : text, l.level);
}

namespace {

void PostEvent(uint32_t kind, int32_t take, char* stem, uint32_t label) {
  TakeEvent* e = TakeEvents.Free();
  if (!e) return;  // a begin checked for room for its end too
  e->at = g_appended.load(std::memory_order_relaxed);
  e->kind = kind;
  e->take = take;
  e->stem = stem;
  e->label = label;
  TakeEvents.Publish();
  RingBell();
}

void PostLogLine(uint32_t message, const char* text, int64_t value, bool errorCode, int32_t level) {
  if (!g_open.load(std::memory_order_acquire)) {
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
  // A writer held up by the disk loses the lines beyond the ring, not the sound.
  LogLine* l = LogLines.Free();
  if (!l) return;
  l->message = message;
  l->text = text;
  l->value = value;
  l->hasValue = !errorCode && value >= 0;
  l->errorCode = errorCode;
  l->level = level;
  LogLines.Publish();
  RingBell();
}

}  // namespace
}  // namespace rec

int32_t RecordingHandOver(char* stem, uint32_t label) {
  const bool running = rec::g_open.load(std::memory_order_acquire);
  // A take takes two events, its begin and its end: the end always finds room.
  if (!running || rec::TakeEvents.Held() > rec::kEventSlots - 2) {
    std::free(stem);
    // Without a writer the start said so once; the interface says each refusal.
    if (running)
      RecordingLogLine(612,
                       "The recording could not be handed over to its writer, which still holds "
                       "the ones before: none was started",
                       -1, 2);
    return running ? -kErrWriterBusy : -kErrThreadCreate;
  }
  rec::PostEvent(rec::kTakeBegin, ++rec::g_lastTake, stem, label);
  return rec::g_lastTake;
}

int32_t RecordingAppend(int32_t take, const int16_t* values, int32_t count) {
  if (rec::g_endedTake.load(std::memory_order_acquire) == take) return 1;
  if (count <= 0) return 0;
  const uint64_t size = rec::g_size.load(std::memory_order_relaxed);
  const uint64_t at = rec::g_appended.load(std::memory_order_relaxed);
  if (at + uint64_t(count) - rec::g_taken.load(std::memory_order_acquire) > size) return -kErrDiskTooSlow;
  const uint64_t start = at % size;
  const uint64_t first = std::min<uint64_t>(uint64_t(count), size - start);
  std::memcpy(rec::g_ring + start, values, first * sizeof(int16_t));
  std::memcpy(rec::g_ring, values + first, (uint64_t(count) - first) * sizeof(int16_t));
  rec::g_appended.store(at + uint64_t(count), std::memory_order_release);
  rec::RingBell();
  return 0;
}

void RecordingEnd() { rec::PostEvent(rec::kTakeEnd, rec::g_lastTake, nullptr, 0); }

void RecordingLogLine(uint32_t message, const char* text, int64_t value, int32_t level) {
  rec::PostLogLine(message, text, value, false, level);
}

void RecordingLogError(uint32_t message, const char* text, int32_t error, int32_t level) {
  rec::PostLogLine(message, text, error, true, level);
}

void ReportAudioLogLine(const CommandMessage& msg) {
  if (msg.type != kAudioLogLine) return;
  rec::LogLine l;
  l.message = msg.arg1;
  l.text = reinterpret_cast<const char*>(static_cast<uintptr_t>(msg.word1));
  l.value = static_cast<int64_t>(uint64_t(msg.arg4) | uint64_t(msg.arg5) << 32);
  l.hasValue = (msg.arg3 & 1u) != 0;
  l.errorCode = (msg.arg3 & 2u) != 0;
  l.level = static_cast<int32_t>(msg.arg2);
  rec::SayLogLine(l);
}

}  // namespace QUARLE_AUDIO
