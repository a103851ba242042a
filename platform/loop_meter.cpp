#include "platform/loop_meter.h"

#include <algorithm>
#include <cmath>

#include "platform/threads.h"

namespace platform {

namespace {

double Now(const LoopMeter& m) { return m.clock ? m.clock() : HighResClock(); }

// Seconds from `from` to `to`; a backwards step (a clock passing midnight)
// counts as nothing.
double Span(double from, double to) { return to > from ? to - from : 0.0; }

}  // namespace

void LoopMeterStart(LoopMeter& m) {
  m.windowStart = Now(m);
  m.rested = 0.0;
  m.work = 0.0;
  m.passes = 0;
  m.lightPass = 0.0;
  m.passStart = m.windowStart;
  m.passRest = 0.0;
  m.passWork = 0.0;
  if (m.resting) m.restStart = m.windowStart;
}

void LoopRestBegin(LoopMeter& m) {
  if (m.resting) return;
  m.resting = true;
  m.restStart = Now(m);
}

void LoopRestEnd(LoopMeter& m) {
  if (!m.resting) return;
  m.resting = false;
  const double rest = Span(m.restStart, Now(m));
  m.rested += rest;
  m.passRest += rest;
}

void LoopPass(LoopMeter& m) {
  if (const int32_t us = m.slowPassUs.load(std::memory_order_relaxed); us > 0)
    SleepSeconds(us * 1e-6);
  ++m.passes;
  const double now = Now(m);
  if (m.passWork <= 0.0) {
    const double awake = Span(m.passStart, now) - m.passRest;
    if (awake > 0.0 && (m.lightPass <= 0.0 || awake < m.lightPass)) m.lightPass = awake;
  }
  m.passStart = now;
  m.passRest = 0.0;
  m.passWork = 0.0;
}

void LoopWork(LoopMeter& m, double seconds) {
  if (!(seconds > 0.0)) return;
  m.work += seconds;
  m.passWork += seconds;
}

double LoopWindowSeconds(const LoopMeter& m) { return Span(m.windowStart, Now(m)); }

int32_t LoopRate(LoopMeter& m, double restPass) {
  const double now = Now(m);
  const double wall = Span(m.windowStart, now);
  double rest = m.rested + (m.resting ? Span(m.restStart, now) : 0.0);
  rest = std::min(rest, wall);
  double passes = static_cast<double>(m.passes);
  if (restPass == kRestAtMeasuredPace) {
    // The loop's fastest pass with nothing heavy to do: what it makes spinning
    // (a pass just woken from a sleep runs slower than that).
    if (m.lightPass > 0.0) passes += rest / std::max(m.lightPass, 1e-7);
  } else if (restPass > 0.0) {
    passes += rest / restPass;
  }
  LoopMeterStart(m);
  if (!(wall > 0.0)) return 0;
  const double rate = passes / wall;
  return rate >= 2.0e9 ? 2000000000 : static_cast<int32_t>(std::lround(rate));
}

}  // namespace platform
