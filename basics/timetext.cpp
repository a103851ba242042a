#include "basics/timetext.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace QUARLE_BASICS {

namespace {

std::atomic<LocalClockFn> g_clock{nullptr};

LocalDateTime ReadClock() {
  LocalClockFn fn = g_clock.load();
  return fn ? fn() : SystemLocalClock();
}

std::string Two(int32_t v) { return ZeroPadText(static_cast<uint64_t>(v < 0 ? 0 : v), 2); }

// Leading decimal integer of a text ("" or no digits read as 0).
int32_t WholeNumber(const std::string& s) {
  size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
  int64_t v = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9' && v < 1000000000) v = v * 10 + (s[i++] - '0');
  return static_cast<int32_t>(negative ? -v : v);
}

// Leading decimal number of a text: sign, digits, fraction, exponent; 0 when
// the text does not start with one.
double DecimalNumber(const std::string& s) {
  size_t i = 0;
  std::string lit;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) lit += s[i++];
  size_t digits = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') lit += s[i++], ++digits;
  if (i < s.size() && s[i] == '.') {
    lit += s[i++];
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') lit += s[i++], ++digits;
  }
  if (digits == 0) return 0.0;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E' || s[i] == 'd' || s[i] == 'D')) {
    size_t j = i + 1;
    std::string ex = "e";
    if (j < s.size() && (s[j] == '-' || s[j] == '+')) ex += s[j++];
    if (j < s.size() && s[j] >= '0' && s[j] <= '9') {
      while (j < s.size() && s[j] >= '0' && s[j] <= '9') ex += s[j++];
      lit += ex;
    }
  }
  return std::strtod(lit.c_str(), nullptr);
}

std::string Trimmed(const std::string& s) {
  size_t a = s.find_first_not_of(' ');
  if (a == std::string::npos) return "";
  size_t b = s.find_last_not_of(' ');
  return s.substr(a, b - a + 1);
}

int32_t DayOfYear(int32_t month, int32_t day, int32_t year) {
  static const int32_t kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  int32_t before = month - 1;
  if (before < 0) before = 0;
  if (before > 12) before = 12;  // a month past December counts the whole year
  int32_t d = day;
  for (int32_t m = 0; m < before; ++m) d += kMonthDays[m];
  if (month > 2) d += IsLeapYear(static_cast<uint32_t>(year));
  return d;
}

}  // namespace

LocalDateTime SystemLocalClock() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  LocalDateTime t;
  t.year = tm.tm_year + 1900;
  t.month = tm.tm_mon + 1;
  t.day = tm.tm_mday;
  t.hour = tm.tm_hour;
  t.minute = tm.tm_min;
  t.second = tm.tm_sec > 59 ? 59 : tm.tm_sec;  // a leap second stays within the minute
  return t;
}

void SetLocalClock(LocalClockFn clock) { g_clock.store(clock); }

int32_t IsLeapYear(uint32_t year) {
  return ((year % 4 == 0 && year % 100 != 0) || year % 400 == 0) ? 1 : 0;
}

int32_t DaysBetween(const std::string& first, const std::string& second) {
  if (first == second) return 0;
  auto field = [](const std::string& s, size_t pos, size_t len) {
    return pos < s.size() ? WholeNumber(s.substr(pos, len)) : 0;
  };
  int32_t m1 = field(first, 0, 2), d1 = field(first, 3, 2), y1 = field(first, 6, 4);
  int32_t m2 = field(second, 0, 2), d2 = field(second, 3, 2), y2 = field(second, 6, 4);
  int32_t between = 0;
  if (y2 - y1 >= 2)
    for (int32_t y = y1 + 1; y <= y2 - 1; ++y) between += 365 + IsLeapYear(static_cast<uint32_t>(y));
  int32_t doy1 = DayOfYear(m1, d1, y1), doy2 = DayOfYear(m2, d2, y2);
  if (y1 == y2) return doy2 - doy1;
  return (365 + IsLeapYear(static_cast<uint32_t>(y1)) - doy1) + between + doy2;
}

std::string DateText(const LocalDateTime& t) {
  return Two(t.month) + "-" + Two(t.day) + "-" + ZeroPadText(static_cast<uint64_t>(t.year < 0 ? 0 : t.year), 4);
}

std::string TimeText(const LocalDateTime& t) {
  return Two(t.hour) + ":" + Two(t.minute) + ":" + Two(t.second);
}

uint32_t UnixTimeNow() {
  LocalDateTime now = ReadClock();
  int32_t days = DaysBetween("01-01-1970", DateText(now));
  uint32_t dayPart = static_cast<uint32_t>(days < 0 ? -static_cast<int64_t>(days) : days) * 86400u;
  uint32_t secondsToday = static_cast<uint32_t>(now.hour * 3600 + now.minute * 60 + now.second);
  return dayPart + secondsToday;
}

std::string TimeStampText() {
  LocalDateTime now = ReadClock();
  std::string date = DateText(now);  // mm-dd-yyyy
  std::string time = TimeText(now);  // hh:mm:ss
  return date.substr(6, 4) + date.substr(0, 2) + date.substr(3, 2) + "-" + time.substr(0, 2) + "h" +
         time.substr(3, 2) + "m" + time.substr(6, 2);
}

std::string ZeroPadText(uint64_t number, uint8_t width) {
  std::string s = std::to_string(number);
  if (s.size() < width) s.insert(0, width - s.size(), '0');
  return s;
}

std::string IIfText(int64_t condition, const std::string& a, const std::string& b) {
  return condition != 0 ? a : b;
}

int64_t TextToBool(const std::string& text) {
  std::string t = Trimmed(text);
  for (char& c : t)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  if (t == "ON" || t == "TRUE" || t == "T" || t == "YES" || t == "Y" || t == "-1" || t == "1") return -1;
  if (t == "OFF" || t == "FALSE" || t == "F" || t == "NO" || t == "N" || t == "0") return 0;
  return std::nearbyint(DecimalNumber(t)) != 0.0 ? -1 : 0;
}

std::string ByteSizeText(uint64_t bytes) {
  const double n = static_cast<double>(bytes);
  float x = static_cast<float>(n / 1073741824.0);
  const char* unit = "GB";
  if (std::floor(x) == 0.0f) {
    x = static_cast<float>(n / 1048576.0);
    unit = "MB";
  }
  if (std::floor(x) == 0.0f) {
    x = static_cast<float>(n / 1024.0);
    unit = "kB";
  }
  if (std::floor(x) == 0.0f) {
    x = static_cast<float>(n);
    unit = "B";
  }
  x = std::floor(100.0f * x) / 100.0f;
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.7g %s", static_cast<double>(x), unit);
  return buf;
}

std::string SplitAtBar(const std::string& text, int64_t flag) {
  size_t bar = text.find('|');
  if (bar == std::string::npos) return text;
  return flag == -1 ? text.substr(0, bar) : text.substr(bar + 1);
}

}  // namespace QUARLE_BASICS
