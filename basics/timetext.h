// Calendar and small text services: time stamps for file names and WAV headers,
// day counts, zero padding, yes/no settings, byte sizes and "a|b" labels.
#pragma once
#include <cstdint>
#include <string>

namespace QUARLE_BASICS {

// One reading of the local clock.
// one thread: value
struct LocalDateTime {
  int32_t year = 1970;
  int32_t month = 1;
  int32_t day = 1;
  int32_t hour = 0;
  int32_t minute = 0;
  int32_t second = 0;
};

// The clock that UnixTimeNow and TimeStampText read; each takes exactly one
// reading, so a date and a time of day can never straddle midnight.
using LocalClockFn = LocalDateTime (*)();
LocalDateTime SystemLocalClock();
// Replaces the clock (tests); null restores the system clock.
void SetLocalClock(LocalClockFn clock);

int32_t IsLeapYear(uint32_t year);
// Days from the first date to the second, both "mm-dd-yyyy"; the earlier first.
int32_t DaysBetween(const std::string& first, const std::string& second);
uint32_t UnixTimeNow();
// "yyyymmdd-hhhmmmss", 17 characters.
std::string TimeStampText();
// The local date as "mm-dd-yyyy" and the time of day as "hh:mm:ss".
std::string DateText(const LocalDateTime& t);
std::string TimeText(const LocalDateTime& t);

std::string ZeroPadText(uint64_t number, uint8_t width);
std::string IIfText(int64_t condition, const std::string& a, const std::string& b);
int64_t TextToBool(const std::string& text);
std::string ByteSizeText(uint64_t bytes);
std::string SplitAtBar(const std::string& text, int64_t flag);

}  // namespace QUARLE_BASICS
