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

Ring::~Ring() { std::free(values_); }

bool Ring::Make(uint32_t values) {
  if (values_) return true;
  values = std::max<uint32_t>(values, 2);
  values_ = static_cast<int16_t*>(std::malloc(size_t(values) * sizeof(int16_t)));
  if (!values_) return false;
  // Every page is touched here, so the audio thread's copies never fault one in.
  std::memset(values_, 0, size_t(values) * sizeof(int16_t));
  size_.store(values, std::memory_order_release);
  return true;
}

void Ring::RingBell() {
  bell_.fetch_add(1, std::memory_order_release);
  platform::WakeWordWaiters(bell_);
}
void Ring::WaitForBell(uint32_t seen, double seconds) { platform::WaitOnWord(bell_, seen, seconds); }

void SayLogLine(const LogLine& l) {
  const std::string text = l.text ? LangText(l.message, l.text) : std::string();
  if (l.errorCode)
    Report(text + ErrorText(static_cast<int32_t>(l.value)), l.level);
  else
    Report(l.hasValue ? InsertArg(text, std::to_string(l.value)) : text, l.level);
}

void Ring::PostEvent(uint32_t kind, int32_t take, char* stem, uint32_t label) {
  TakeEvent* e = events.Free();
  if (!e) return;  // a begin checked for room for its end too
  e->at = appended_.load(std::memory_order_relaxed);
  e->kind = kind;
  e->take = take;
  e->stem = stem;
  e->label = label;
  events.Publish();
  RingBell();
}

void Ring::PostLogLine(uint32_t message, const char* text, int64_t value, bool errorCode, int32_t level) {
  if (!open_.load(std::memory_order_acquire)) {
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
  LogLine* l = logLines.Free();
  if (!l) return;
  l->message = message;
  l->text = text;
  l->value = value;
  l->hasValue = !errorCode && value >= 0;
  l->errorCode = errorCode;
  l->level = level;
  logLines.Publish();
  RingBell();
}

int32_t Ring::HandOver(char* stem, uint32_t label) {
  const bool running = open_.load(std::memory_order_acquire);
  // A take takes two events, its begin and its end: the end always finds room.
  if (!running || events.Held() > kEventSlots - 2) {
    std::free(stem);
    // Without a writer the start said so once; the interface says each refusal.
    if (running)
      PostLogLine(612,
                       "The recording could not be handed over to its writer, which still holds "
                       "the ones before: none was started",
                  -1, false, 2);
    return running ? -kErrWriterBusy : -kErrThreadCreate;
  }
  PostEvent(kTakeBegin, ++lastTake_, stem, label);
  return lastTake_;
}

int32_t Ring::Append(int32_t take, const int16_t* values, int32_t count) {
  if (endedTake_.load(std::memory_order_acquire) == take) return 1;
  if (count <= 0) return 0;
  const uint64_t size = size_.load(std::memory_order_relaxed);
  const uint64_t at = appended_.load(std::memory_order_relaxed);
  if (at + uint64_t(count) - taken_.load(std::memory_order_acquire) > size) return -kErrDiskTooSlow;
  const uint64_t start = at % size;
  const uint64_t first = std::min<uint64_t>(uint64_t(count), size - start);
  std::memcpy(values_ + start, values, first * sizeof(int16_t));
  std::memcpy(values_, values + first, (uint64_t(count) - first) * sizeof(int16_t));
  appended_.store(at + uint64_t(count), std::memory_order_release);
  RingBell();
  return 0;
}

void Ring::End() { PostEvent(kTakeEnd, lastTake_, nullptr, 0); }

}  // namespace rec

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
