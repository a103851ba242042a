#include "platform/loop_meter.h"

#include <gtest/gtest.h>

namespace {

double g_now = 0.0;
double Clock() { return g_now; }

class LoopMeterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_now = 100.0;
    m.clock = Clock;
    platform::LoopMeterStart(m);
  }
  // n passes of `each` seconds, each followed by a rest of `rest` seconds.
  void Passes(int n, double each, double rest = 0.0) {
    for (int i = 0; i < n; ++i) {
      g_now += each;
      platform::LoopPass(m);
      if (rest > 0.0) {
        platform::LoopRest r(m);
        g_now += rest;
      }
    }
  }
  platform::LoopMeter m;
};

TEST_F(LoopMeterTest, WithoutRestTheRateIsPassesPerSecond) {
  Passes(950, 1.0 / 950);
  EXPECT_EQ(platform::LoopRate(m, 0.001), 950);
  // Too slow: each pass takes 10 ms.
  Passes(100, 0.01);
  EXPECT_EQ(platform::LoopRate(m, 0.001), 100);
  EXPECT_EQ(platform::LoopRate(m, platform::kRestAtMeasuredPace), 0);  // an empty window
}

TEST_F(LoopMeterTest, ALoopBlockedForLackOfWorkReadsAsOneThatNapped) {
  // Three passes of 0.1 ms in a second, the rest blocked.
  Passes(3, 0.0001, (1.0 - 0.0003) / 3);
  EXPECT_EQ(platform::LoopRate(m, 0.001), 1003);
  // Counting nothing for the rest: the wall-clock rate, as in standby.
  Passes(3, 0.0001, (1.0 - 0.0003) / 3);
  EXPECT_EQ(platform::LoopRate(m, platform::kRestCountsNothing), 3);
  // A rest still going on at the end of a window counts up to then.
  platform::LoopRestBegin(m);
  g_now += 0.5;
  EXPECT_EQ(platform::LoopRate(m, 0.001), 1000);
  g_now += 0.5;
  platform::LoopRestEnd(m);
  EXPECT_EQ(platform::LoopRate(m, 0.001), 1000);
}

// A second of the audio loop while playing, in 100 buffers of 10 ms: three
// passes awake 2 us each, the first also rendering for `render` seconds,
// asleep in between.
void PlayingSecond(platform::LoopMeter& m, double render) {
  for (int buffer = 0; buffer < 100; ++buffer) {
    for (int pass = 0; pass < 3; ++pass) {
      const double work = pass == 0 ? render : 0.0;
      g_now += 2e-6 + work;
      platform::LoopWork(m, work);
      platform::LoopPass(m);
      platform::LoopRest r(m);
      g_now += pass < 2 ? 0.0001 : 0.01 - render - 6e-6 - 0.0002;
    }
  }
}

TEST_F(LoopMeterTest, SleepCountsAtTheLoopsOwnPaceAndHeavyWorkDoesNot) {
  // Rendering 10% of the time: the 0.9 s asleep at the light passes' pace
  // (2 us) gives some 450000 passes, far above the stream rate, as a loop
  // spinning there would.
  PlayingSecond(m, 0.001);
  EXPECT_NEAR(platform::LoopRate(m, platform::kRestAtMeasuredPace), 450000, 100);
  // Rendering 95% of the time leaves some 25000: slower than the stream.
  PlayingSecond(m, 0.0095);
  EXPECT_NEAR(platform::LoopRate(m, platform::kRestAtMeasuredPace), 25000, 100);
  // Passes that all render leave no pace to count the sleep at.
  for (int i = 0; i < 100; ++i) {
    g_now += 0.009;
    platform::LoopWork(m, 0.009);
    platform::LoopPass(m);
    platform::LoopRest r(m);
    g_now += 0.001;
  }
  EXPECT_EQ(platform::LoopRate(m, platform::kRestAtMeasuredPace), 100);
}

TEST_F(LoopMeterTest, TheSlowPassHookMakesEveryPassSlow) {
  platform::LoopMeter real;
  platform::LoopMeterStart(real);
  real.slowPassUs = 20000;
  for (int i = 0; i < 5; ++i) platform::LoopPass(real);
  real.slowPassUs = 0;
  // Five passes of at least 20 ms: at most 50 a second, however busy the machine.
  EXPECT_LE(platform::LoopRate(real, 0.001), 50);
}

}  // namespace
