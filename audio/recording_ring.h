// The recordings' ring: what the audio thread (its one producer) hands the
// writer thread (its one consumer). The sound's 16-bit values, the starts and
// ends of takes, each at the ring position it follows, and log lines; each
// side moves only its own indexes, so neither waits for the other.
#pragma once
#include <atomic>
#include <cstdint>

namespace QUARLE_AUDIO::rec {

// A fixed ring of slots with one producer and one consumer: the producer
// fills the slot Free gives and publishes it; the consumer reads Front and
// pops it once done with it.
template <class T, uint32_t kSlots>
class SlotRing {
  static_assert((kSlots & (kSlots - 1)) == 0, "a power of two");

 public:
  uint32_t Held() const {
    return head_.load(std::memory_order_acquire) - tail_.load(std::memory_order_acquire);
  }
  // The producer's: null when the ring is full.
  T* Free() {
    const uint32_t head = head_.load(std::memory_order_relaxed);
    if (head - tail_.load(std::memory_order_acquire) >= kSlots) return nullptr;
    return &slots_[head % kSlots];
  }
  void Publish() { head_.store(head_.load(std::memory_order_relaxed) + 1, std::memory_order_release); }
  // The consumer's: null when the ring is empty.
  T* Front() {
    const uint32_t tail = tail_.load(std::memory_order_relaxed);
    return tail == head_.load(std::memory_order_acquire) ? nullptr : &slots_[tail % kSlots];
  }
  void Pop() { tail_.store(tail_.load(std::memory_order_relaxed) + 1, std::memory_order_release); }

 private:
  // one thread: maker, a slot is filled before head_ publishes it
  T slots_[kSlots] = {};
  std::atomic<uint32_t> head_{0};  // the producer's
  std::atomic<uint32_t> tail_{0};  // the consumer's
};

enum TakeEventKind : uint32_t { kTakeBegin = 1, kTakeEnd = 2 };

// one thread: value, a slot of the take events
struct TakeEvent {
  uint64_t at = 0;  // the values appended before it
  uint32_t kind = 0;
  int32_t take = 0;
  char* stem = nullptr;  // a begin's heap text, the writer's once posted
  uint32_t label = 0;    // a begin's: the interface's number of the take
};

// one thread: value, a slot of the log lines
struct LogLine {
  uint32_t message = 0;
  const char* text = nullptr;  // the call site's default, a literal; null: no text
  int64_t value = 0;
  bool hasValue = false;   // value fills the text's {$}
  bool errorCode = false;  // value is an error code whose text follows
  int32_t level = 0;
};

constexpr uint32_t kEventSlots = 64;
constexpr uint32_t kLogSlots = 32;

// A writer's ring: the audio thread's side (HandOver, Append, End, PostLogLine:
// none waits, allocates or touches the disk) and the writer's (Take, the bell).
// A writer object owns one, so a test's writer shares nothing with another.
class Ring {
 public:
  Ring() = default;
  Ring(const Ring&) = delete;
  Ring& operator=(const Ring&) = delete;
  ~Ring();

  SlotRing<TakeEvent, kEventSlots> events;
  SlotRing<LogLine, kLogSlots> logLines;

  // The sound ring, made once (the first writer start) and kept.
  bool Make(uint32_t values);
  uint64_t Size() const { return size_.load(std::memory_order_acquire); }
  const int16_t* Values() const { return values_; }
  uint64_t Appended() const { return appended_.load(std::memory_order_acquire); }  // values the audio thread appended
  uint64_t Taken() const { return taken_.load(std::memory_order_acquire); }  // values the writer took
  void Take(uint64_t upTo) { taken_.store(upTo, std::memory_order_release); }

  // The writer's doorbell: rung by every post to it and by the sync thread.
  uint32_t Bell() const { return bell_.load(std::memory_order_acquire); }
  void RingBell();
  void WaitForBell(uint32_t seen, double seconds);

  // Whether the ring takes new takes and log lines (a running writer's).
  void Open(bool open) { open_.store(open, std::memory_order_release); }
  // The writer ended the take on its own (a failed create or write): the audio
  // thread hears of it at its next append.
  void EndedByWriter(int32_t take) { endedTake_.store(take, std::memory_order_release); }

  // The audio thread's (see RecordingHandOver and the rest in recording.h).
  int32_t HandOver(char* stem, uint32_t label);
  int32_t Append(int32_t take, const int16_t* values, int32_t count);
  void End();
  void PostLogLine(uint32_t message, const char* text, int64_t value, bool errorCode, int32_t level);

 private:
  void PostEvent(uint32_t kind, int32_t take, char* stem, uint32_t label);

  // one thread: maker, set once before the writer thread first runs
  int16_t* values_ = nullptr;
  std::atomic<uint64_t> size_{0};
  std::atomic<uint64_t> appended_{0};  // moved by the audio thread
  std::atomic<uint64_t> taken_{0};     // moved by the writer
  std::atomic<uint32_t> bell_{0};
  std::atomic<bool> open_{false};
  std::atomic<int32_t> endedTake_{0};
  // one thread: audio
  int32_t lastTake_ = 0;
};

// Says a log line (the writer's, or one the interface took off queue 0).
void SayLogLine(const LogLine& l);

}  // namespace QUARLE_AUDIO::rec
