// How fast a thread's loop goes, measured so that a loop resting for lack of
// work (asleep or blocked until its work arrives) does not read as slow while
// one whose passes are slow still does. The loop counts its passes and wraps
// every wait for work in a LoopRest; once a second it takes its rate, in which
// the time rested counts as the passes the loop would have made there had it
// napped or spun instead of waiting. All calls but the test hook come from the
// loop's own thread.
#pragma once
#include <atomic>
#include <cstdint>

namespace platform {

// one thread: value, the loop's own thread's
struct LoopMeter {
  double (*clock)() = nullptr;  // seconds; none: HighResClock
  double windowStart = 0.0;
  double rested = 0.0;     // seconds of rest in the window
  double restStart = 0.0;  // while resting
  bool resting = false;
  double work = 0.0;        // seconds of the window spent on heavy work (LoopWork)
  int64_t passes = 0;
  // The current pass: when the last one ended, its rest and heavy work so far.
  double passStart = 0.0;
  double passRest = 0.0;
  double passWork = 0.0;
  // The shortest awake time of a pass without heavy work in the window: the
  // pace of a loop with nothing heavy to do (0: none yet).
  double lightPass = 0.0;
  // Tests: every pass takes this many microseconds longer (an overloaded loop).
  std::atomic<int32_t> slowPassUs{0};
};

// A new window from now, with nothing counted.
void LoopMeterStart(LoopMeter& m);
// Around a wait for work: the time between does not count as the loop's own.
void LoopRestBegin(LoopMeter& m);
void LoopRestEnd(LoopMeter& m);
// One pass of the loop done.
void LoopPass(LoopMeter& m);
// This pass spent `seconds` on heavy work (the audio loop's render).
void LoopWork(LoopMeter& m, double seconds);
// Seconds since the window began.
double LoopWindowSeconds(const LoopMeter& m);

// Pace of the rest in a rate: the seconds of rest that count as one pass.
constexpr double kRestCountsNothing = -1.0;    // passes per second of the whole window
constexpr double kRestAtMeasuredPace = 0.0;    // at the loop's fastest light pass
// Passes per second over the window, rest counted at `restPass` (seconds per
// pass, or one of the two above); a new window starts.
int32_t LoopRate(LoopMeter& m, double restPass);

class LoopRest {
 public:
  explicit LoopRest(LoopMeter& m) : m_(m) { LoopRestBegin(m_); }
  ~LoopRest() { LoopRestEnd(m_); }
  LoopRest(const LoopRest&) = delete;
  LoopRest& operator=(const LoopRest&) = delete;

 private:
  LoopMeter& m_;
};

}  // namespace platform
