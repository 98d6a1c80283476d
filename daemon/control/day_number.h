#ifndef DAEMON_CONTROL_DAY_NUMBER_H
#define DAEMON_CONTROL_DAY_NUMBER_H

// The flow database keeps dates as day numbers: 1 for 1970-01-01, 2 for 1970-01-02 and so on.

// Days of the years from 1970 up to the year before, of the months before `month` (a month
// number above 12 has no days), plus `day`. Gregorian leap years.
int DayNumber(int year, int month, int day);

// A date written "YYYY?MM?DD" (the separators are not looked at) into `*day`. False, with a
// WARN line, when the text is shorter than 10 characters.
bool DayNumberOfDate(const char* date, int* day);

// Today's local date.
int TodayDayNumber();

#endif  // DAEMON_CONTROL_DAY_NUMBER_H
