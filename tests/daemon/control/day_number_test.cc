#include "control/day_number.h"

#include <gtest/gtest.h>
#include <time.h>

#include <string>

namespace {

TEST(DayNumberTest, DatesToDayNumbers) {
  const struct {
    const char* date;
    int day;  // -1: refused with a WARN line
  } cases[] = {
      {"1970-01-01", 1},
      {"1970-12-31", 365},
      {"1973-01-01", 1097},
      {"2000-03-01", 11018},  // 2000 is a leap year (divisible by 400)
      {"2100-03-01", 47542},  // 2100 is not (divisible by 100)
      {"2012-02-29", 15400},
      {"2014-01-01", 16072},
      {"2013-13-01", 16072},  // a month above 12 adds no days of its own
      {"2013-14-05", 16076},
      {"2014/01/01", 16072},  // separators are not looked at
      {"", -1},
      {"2014-1-1", -1},
      {"2014-01-1", -1},
  };
  for (const auto& c : cases) {
    int day = -1;
    testing::internal::CaptureStderr();
    EXPECT_EQ(c.day != -1, DayNumberOfDate(c.date, &day)) << c.date;
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(c.day, day) << c.date;
    EXPECT_EQ(c.day == -1, log.find("W/control_message(") != std::string::npos) << log;
  }

  // Today from the local date, against the C library's own count of days.
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  struct tm midnight = {};
  midnight.tm_year = local.tm_year;
  midnight.tm_mon = local.tm_mon;
  midnight.tm_mday = local.tm_mday;
  long long expected = static_cast<long long>(timegm(&midnight)) / 86400 + 1;
  int today = TodayDayNumber();
  EXPECT_TRUE(today == expected || today == expected + 1) << expected << " " << today;
}

}  // namespace
