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
extern SlotRing<TakeEvent, kEventSlots> TakeEvents;
extern SlotRing<LogLine, kLogSlots> LogLines;

// The sound ring, made once (the first writer start) and kept.
bool MakeSoundRing(uint32_t values);
uint64_t SoundRingSize();
const int16_t* SoundRingValues();
uint64_t Appended();  // values the audio thread appended
uint64_t Taken();     // values the writer took: the room behind them is free
void Take(uint64_t upTo);

// The writer's doorbell: rung by every post to it and by the sync thread.
uint32_t Bell();
void RingBell();
void WaitForBell(uint32_t seen, double seconds);

// Whether the ring takes new takes and log lines (a running writer's).
void OpenForTakes(bool open);
// The writer ended the take on its own (a failed create or write): the audio
// thread hears of it at its next append.
void TakeEndedByWriter(int32_t take);
// Says a log line (the writer's, or one the interface took off queue 0).
void SayLogLine(const LogLine& l);

}  // namespace QUARLE_AUDIO::rec
