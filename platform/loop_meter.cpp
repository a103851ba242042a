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
  m.workPasses = 0;
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
  m.rested += Span(m.restStart, Now(m));
}

void LoopPass(LoopMeter& m) {
  if (const int32_t us = m.slowPassUs.load(std::memory_order_relaxed); us > 0)
    SleepSeconds(us * 1e-6);
  ++m.passes;
}

void LoopWork(LoopMeter& m, double seconds) {
  if (!(seconds > 0.0)) return;
  m.work += seconds;
  ++m.workPasses;
}

double LoopWindowSeconds(const LoopMeter& m) { return Span(m.windowStart, Now(m)); }

int32_t LoopRate(LoopMeter& m, double restPass) {
  const double now = Now(m);
  const double wall = Span(m.windowStart, now);
  double rest = m.rested + (m.resting ? Span(m.restStart, now) : 0.0);
  rest = std::min(rest, wall);
  double passes = static_cast<double>(m.passes);
  if (restPass == kRestAtMeasuredPace) {
    // The loop's own pass speed while it had nothing heavy to do.
    const double light = wall - rest - m.work;
    const double lightPasses = static_cast<double>(m.passes - m.workPasses);
    if (light > 0.0 && lightPasses > 0.0) passes += rest * lightPasses / light;
  } else if (restPass > 0.0) {
    passes += rest / restPass;
  }
  LoopMeterStart(m);
  if (!(wall > 0.0)) return 0;
  const double rate = passes / wall;
  return rate >= 2.0e9 ? 2000000000 : static_cast<int32_t>(std::lround(rate));
}

}  // namespace platform
