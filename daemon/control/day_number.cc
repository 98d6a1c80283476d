#include "control/day_number.h"

#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>

#include "core/logging.h"

namespace {

const char kTag[] = "control_message";

bool IsLeap(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysOfMonth(int year, int month) {
  switch (month) {
    case 1:
    case 3:
    case 5:
    case 7:
    case 8:
    case 10:
    case 12:
      return 31;
    case 4:
    case 6:
    case 9:
    case 11:
      return 30;
    case 2:
      return IsLeap(year) ? 29 : 28;
    default:
      return 0;
  }
}

int Field(const char* date, size_t at, size_t len) {
  return atoi(std::string(date + at, len).c_str());
}

}  // namespace

int DayNumber(int year, int month, int day) {
  int total = 0;
  for (int y = 1970; y < year; ++y)
    total += IsLeap(y) ? 366 : 365;
  for (int m = 1; m < month && m <= 12; ++m)
    total += DaysOfMonth(year, m);
  return total + day;
}

bool DayNumberOfDate(const char* date, int* day) {
  if (date == nullptr || strlen(date) < 10) {
    QV_LOGW(kTag, "date \"%s\" is shorter than 10 characters", date != nullptr ? date : "");
    return false;
  }
  QV_LOGD(kTag, "date is %s", date);
  *day = DayNumber(Field(date, 0, 4), Field(date, 5, 2), Field(date, 8, 2));
  QV_LOGD(kTag, "totalDay is %d", *day);
  return true;
}

int TodayDayNumber() {
  // Asked at every client read and write; within one second the answer cannot change.
  thread_local time_t cached_second = -1;
  thread_local int cached_day = 0;
  time_t now = time(nullptr);
  if (now == cached_second)
    return cached_day;
  struct tm local;
  int day;
  if (localtime_r(&now, &local) == nullptr)
    day = DayNumber(1970, 1, 1);
  else
    day = DayNumber(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
  cached_second = now;
  cached_day = day;
  return day;
}
