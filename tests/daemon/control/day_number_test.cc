#include "control/day_number.h"

#include <gtest/gtest.h>
#include <time.h>

#include <string>


namespace {

struct DateCase {
  const char* date;
  int day;
};

TEST(DayNumberTest, DatesToDayNumbers) {
  const DateCase cases[] = {
      {"1970-01-01", 1},
      {"1970-01-02", 2},
      {"1970-02-01", 32},
      {"1970-12-31", 365},
      {"1971-01-01", 366},
      {"1973-01-01", 1097},  // 1972 is a leap year
      {"2000-03-01", 11018},  // 2000 is one (divisible by 400)
      {"2012-02-29", 15400},
      {"2012-03-01", 15401},
      {"2014-01-01", 16072},
      {"2100-03-01", 47542},  // 2100 is not (divisible by 100)
      {"2013-13-01", 16072},  // a month above 12 adds no days of its own
      {"2013-14-05", 16076},
      {"2014/01/01", 16072},  // separators are not looked at
      {"2014-01-01T10:00", 16072},
  };
  for (const DateCase& c : cases) {
    int day = -7;
    EXPECT_TRUE(DayNumberOfDate(c.date, &day)) << c.date;
    EXPECT_EQ(c.day, day) << c.date;
  }
  EXPECT_EQ(15400, DayNumber(2012, 2, 29));
}

TEST(DayNumberTest, ShortDatesAreRefusedWithAWarning) {
  for (const char* date : {"", "2014-1-1", "2014-01-1", "201401011"}) {
    int day = -7;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(DayNumberOfDate(date, &day)) << date;
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(-7, day);
    EXPECT_NE(std::string::npos, log.find("W/control_message(")) << log;
  }
  EXPECT_FALSE(DayNumberOfDate(nullptr, nullptr));
}

TEST(DayNumberTest, TodayIsTheLocalDate) {
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  // The C library's own count of days to the local date.
  struct tm midnight = {};
  midnight.tm_year = local.tm_year;
  midnight.tm_mon = local.tm_mon;
  midnight.tm_mday = local.tm_mday;
  long long expected = static_cast<long long>(timegm(&midnight)) / 86400 + 1;
  int today = TodayDayNumber();
  // A run across midnight may see the next day.
  EXPECT_TRUE(today == expected || today == expected + 1) << expected << " " << today;
}

}  // namespace
