// Figures beyond what 32 bits hold, through the daemon binary (also the armhf one under qemu,
// where long and time_t have 32 bits): a fixture flow database with rows above 2 GB and a day
// after 2038, traffic added on top, and the exact sums in every query reply and in the file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "e2e/daemon_helper.h"
#include "e2e/peers_helper.h"

namespace {

using qvtest::DaemonUnderTest;
using qvtest::Gateway;
using qvtest::Origin;
using qvtest::TempDir;

// The flow table's day number of a date, counted here on its own: 1970-01-01 is 1.
long DayOf(int year, int month, int day) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  auto leap = [](int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; };
  long n = 0;
  for (int y = 1970; y < year; ++y)
    n += leap(y) ? 366 : 365;
  for (int m = 1; m < month; ++m)
    n += kDays[m - 1] + (m == 2 && leap(year) ? 1 : 0);
  return n + day;
}

std::string Sql(const TempDir& dir, const std::string& db, const std::string& statement) {
  qvtest::Process sqlite;
  const std::string out = dir.File("sql.out");
  if (!sqlite.Spawn({"sqlite3", db, statement}, out, dir.File("sql.err")) || sqlite.Wait(20) != 0)
    return "(sqlite3 failed: " + qvtest::ReadFile(dir.File("sql.err")) + ")";
  std::string text = qvtest::ReadFile(out);
  while (!text.empty() && text.back() == '\n')
    text.pop_back();
  return text;
}

TEST(FiguresEndToEnd, SumsBeyondTwoGigabytesAndDaysAfter2038StayExact) {
  TempDir dir;
  Origin origin;
  Gateway gateway;
  ASSERT_TRUE(origin.Start(dir));
  ASSERT_TRUE(gateway.Start(dir));
  DaemonUnderTest daemon({{"QUORVIN_GATE_PORT", std::to_string(gateway.port())}});
  ASSERT_TRUE(daemon.Start());
  const int port = daemon.StartProxy();
  ASSERT_GT(port, 0);

  const std::string today = qvtest::Today();
  const long day = DayOf(atoi(today.substr(0, 4).c_str()), atoi(today.substr(5, 2).c_str()),
                         atoi(today.substr(8, 2).c_str()));
  const long leap_2040 = DayOf(2040, 2, 29);
  const std::string uid = std::to_string(geteuid());
  // Today: our UID above 2 GB in every column; another UID at the int limit and one past it.
  // 2040-02-29, after 32-bit time_t ends: above 4 GB.
  ASSERT_EQ("", Sql(dir, daemon.db_path(),
                    "insert into flow values(null," + uid + "," + std::to_string(day) +
                        ",3000000000,4000000000,2500000000,2200000000,'');"
                        "insert into flow values(null,10001," +
                        std::to_string(day) +
                        ",2147483647,2147483648,0,0,'');"
                        "insert into flow values(null," +
                        uid + "," + std::to_string(leap_2040) + ",5000000000,6000000000,0,0,'');"));

  // Traffic on top of it, through the proxy.
  qvtest::CurlResult r =
      qvtest::RunCurl(daemon.dir(), {"-x", "http://127.0.0.1:" + std::to_string(port), "-w",
                                     "%{size_header} %{size_request}", origin.Url("/text")});
  ASSERT_EQ(0, r.exit_code) << r.stderr_text;
  long long header_bytes = 0, request_bytes = 0;
  ASSERT_EQ(2, sscanf(r.written.c_str(), "%lld %lld", &header_bytes, &request_bytes));
  const long long up = 3000000000LL + request_bytes;
  const long long down = 4000000000LL + header_bytes + static_cast<long long>(r.body.size());

  const std::string flow = "1 allFlow:{up:" + std::to_string(up + 2147483647LL) +
                           ",down:" + std::to_string(down + 2147483648LL) + "}";
  EXPECT_TRUE(qvtest::WaitUntil(
      [&] {
        return daemon.Ctl({"queryflow", today, today, ""}).out == flow;
      },
      10))
      << daemon.Ctl({"queryflow", today, today, ""}).out << " want " << flow;
  EXPECT_EQ("1 allFlow:{original:2500000000,compressed:2200000000}",
            daemon.Ctl({"query", today, today, ""}).out);
  EXPECT_EQ("1 {Flow:[{up:" + std::to_string(up) + ",down:" + std::to_string(down) +
                ",appUID:" + uid + "},{up:2147483647,down:2147483648,appUID:10001}]}",
            daemon.Ctl({"querydetailflow", today, today, ""}).out);
  EXPECT_EQ("1 allFlow:{up:5000000000,down:6000000000}",
            daemon.Ctl({"queryflow", "2040-02-29", "2040-02-29", ""}).out);
  // Every day from 1970 to 2040 at once: all rows.
  EXPECT_EQ("1 allFlow:{up:" + std::to_string(up + 2147483647LL + 5000000000LL) +
                ",down:" + std::to_string(down + 2147483648LL + 6000000000LL) + "}",
            daemon.Ctl({"queryflow", "1970-01-01", "2040-12-31", ""}).out);
  // And the file holds the exact sum in our row.
  EXPECT_EQ(std::to_string(up) + "|" + std::to_string(down),
            Sql(dir, daemon.db_path(),
                "select UPFLOW, DOWNFLOW from flow where UID=" + uid +
                    " and TIME=" + std::to_string(day) + ";"));
}

}  // namespace
