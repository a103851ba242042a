#include "basics/timetext.h"

#include <gtest/gtest.h>

#include <ctime>

using namespace QUARLE_BASICS;

namespace {

int g_reads = 0;
LocalDateTime g_readings[2];

// Each reading moves on: the first just before midnight on New Year's Eve, the
// next one second later, in the new year.
LocalDateTime SteppingClock() {
  LocalDateTime t = g_readings[g_reads < 1 ? 0 : 1];
  ++g_reads;
  return t;
}

LocalDateTime FixedClock() {
  ++g_reads;
  return g_readings[0];
}

class ClockTest : public ::testing::Test {
 protected:
  void SetUp() override { g_reads = 0; }
  void TearDown() override { SetLocalClock(nullptr); }
};

uint32_t UtcSeconds(int y, int mo, int d, int h, int mi, int s) {
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  return static_cast<uint32_t>(timegm(&tm));
}

}  // namespace

TEST(TimeText, LeapYears) {
  EXPECT_EQ(IsLeapYear(2000), 1);
  EXPECT_EQ(IsLeapYear(1900), 0);
  EXPECT_EQ(IsLeapYear(2026), 0);
}

TEST(TimeText, DaysBetweenDates) {
  EXPECT_EQ(DaysBetween("01-01-1970", "01-01-1971"), 365);
  EXPECT_EQ(DaysBetween("02-28-2024", "03-01-2024"), 2);
  EXPECT_EQ(DaysBetween("03-01-2024", "02-28-2024"), -2);
  EXPECT_EQ(DaysBetween("12-31-2023", "01-01-2025"), 367);  // across the leap year 2024
  EXPECT_EQ(DaysBetween("01-01-1970", "02-18-2026"), 20502);
}

TEST(TimeText, DaysBetweenSurvivesMalformedDates) {
  // Out-of-range months and short texts give some number, never a read past a table.
  EXPECT_EQ(DaysBetween("13-01-2024", "13-02-2024"), 1);
  EXPECT_EQ(DaysBetween("ab", "xy-zz-abcd"), 0);
}

TEST_F(ClockTest, TimeStampIsSeventeenCharactersFromOneReading) {
  g_readings[0] = {2026, 2, 18, 11, 8, 56};
  SetLocalClock(FixedClock);
  std::string stamp = TimeStampText();
  EXPECT_EQ(stamp, "20260218-11h08m56");
  EXPECT_EQ(stamp.size(), 17u);
  EXPECT_EQ(g_reads, 1);
}

TEST_F(ClockTest, TimeStampAtMidnightDoesNotMixTwoDays) {
  g_readings[0] = {2025, 12, 31, 23, 59, 59};
  g_readings[1] = {2026, 1, 1, 0, 0, 0};
  SetLocalClock(SteppingClock);
  // Date and time from separate readings would give "20251231-00h00m00".
  EXPECT_EQ(TimeStampText(), "20251231-23h59m59");
  EXPECT_EQ(g_reads, 1);
  EXPECT_EQ(TimeStampText(), "20260101-00h00m00");
}

TEST_F(ClockTest, UnixTimeCountsLocalDaysAndSeconds) {
  g_readings[0] = {1970, 1, 1, 0, 0, 0};
  SetLocalClock(FixedClock);
  EXPECT_EQ(UnixTimeNow(), 0u);
  g_readings[0] = {2026, 2, 18, 11, 8, 56};
  EXPECT_EQ(UnixTimeNow(), UtcSeconds(2026, 2, 18, 11, 8, 56));
  g_readings[0] = {2025, 12, 31, 23, 59, 59};
  g_readings[1] = {2026, 1, 1, 0, 0, 0};
  g_reads = 0;
  SetLocalClock(SteppingClock);
  EXPECT_EQ(UnixTimeNow(), UtcSeconds(2025, 12, 31, 23, 59, 59));
  EXPECT_EQ(g_reads, 1);
}

TEST_F(ClockTest, SystemClockGivesAPlausibleStamp) {
  std::string stamp = TimeStampText();
  ASSERT_EQ(stamp.size(), 17u);
  EXPECT_EQ(stamp[8], '-');
  EXPECT_EQ(stamp[11], 'h');
  EXPECT_EQ(stamp[14], 'm');
  EXPECT_GE(stamp.substr(0, 4), "2024");
  EXPECT_GT(UnixTimeNow(), UtcSeconds(2024, 1, 1, 0, 0, 0));
}

TEST(TimeText, ZeroPadAndChoice) {
  EXPECT_EQ(ZeroPadText(5, 2), "05");
  EXPECT_EQ(ZeroPadText(123, 2), "123");
  EXPECT_EQ(ZeroPadText(7, 0), "7");
  EXPECT_EQ(IIfText(-1, "a", "b"), "a");
  EXPECT_EQ(IIfText(0, "a", "b"), "b");
}

TEST(TimeText, YesNoSettings) {
  EXPECT_EQ(TextToBool("  yEs  "), -1);
  EXPECT_EQ(TextToBool("true"), -1);
  EXPECT_EQ(TextToBool("banana"), 0);
  EXPECT_EQ(TextToBool(""), 0);
  EXPECT_EQ(TextToBool("0.5"), 0);   // halves go to the even neighbour
  EXPECT_EQ(TextToBool("1.5"), -1);
  EXPECT_EQ(TextToBool("-0.5"), 0);
  EXPECT_EQ(TextToBool("3abc"), -1);  // a leading number counts
  EXPECT_EQ(TextToBool("1e3"), -1);
}

TEST(TimeText, ByteSizes) {
  EXPECT_EQ(ByteSizeText(1023), "1023 B");
  EXPECT_EQ(ByteSizeText(1024), "1 kB");
  EXPECT_EQ(ByteSizeText(1572864), "1.5 MB");
  EXPECT_EQ(ByteSizeText(3219128320ull), "2.99 GB");  // 2.998... floored, not rounded
  EXPECT_EQ(ByteSizeText(1073741824ull * 1000), "1000 GB");
}

TEST(TimeText, SplitAtBar) {
  EXPECT_EQ(SplitAtBar("mono|stereo", -1), "mono");
  EXPECT_EQ(SplitAtBar("mono|stereo", 0), "stereo");
  EXPECT_EQ(SplitAtBar("plain", 0), "plain");
  EXPECT_EQ(SplitAtBar("a|b|c", 0), "b|c");
}
