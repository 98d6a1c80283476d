// The control client's reading of a "status" reply and its date check.
#include <gtest/gtest.h>

#include <string>

#include "http2proxyctl/command_table.h"
#include "http2proxyctl/status_report.h"

namespace {

const char kReply[] =
    "{running:1,listen:127.0.0.1:8123,gateway:up,uptime:3725,streams:22,linkDown:1165809,"
    "linkUp:2561,appDown:2317326,appUp:3323,rttMs:4,level:3,sim:46,00,config:/etc/a,b.conf}";

TEST(StatusReport, ReadsEveryFieldAndWritesThemOutWithTheSaving) {
  StatusReport report;
  ASSERT_TRUE(report.Parse(kReply));
  EXPECT_EQ(1165809u, report.Number("linkDown"));
  EXPECT_EQ(3323u, report.Number("appUp"));
  // Free text may hold commas: sim runs to the last ",config:", config to the end.
  EXPECT_EQ("46,00", report.Text("sim"));
  EXPECT_EQ("/etc/a,b.conf", report.Text("config"));
  double percent = 0;
  ASSERT_TRUE(report.SavingPercent(&percent));
  EXPECT_NEAR(100.0 * (1.0 - (1165809.0 + 2561.0) / (2317326.0 + 3323.0)), percent, 1e-9);
  const std::string text = report.Readable();
  for (const char* line :
       {"proxy         running, listening on 127.0.0.1:8123, image level 3\n",
        "gateway       up, last ping answered in 4 ms\n", "uptime        1 h 02 min\n",
        "applications  2,317,326 bytes received, 3,323 bytes sent\n",
        "gateway link  1,165,809 bytes received, 2,561 bytes sent\n",
        "saving        49.7 % (the gateway link against the applications)\n"})
    EXPECT_NE(std::string::npos, text.find(line)) << line << "in\n" << text;

  ASSERT_TRUE(report.Parse(
      "{running:0,listen:127.0.0.1:0,gateway:down,uptime:5,streams:0,linkDown:0,linkUp:0,"
      "appDown:0,appUp:0,rttMs:0,level:0,sim:,config:/c}"));
  EXPECT_FALSE(report.SavingPercent(&percent));
  EXPECT_NE(std::string::npos, report.Readable().find("saving        none yet"));
  EXPECT_NE(std::string::npos, report.Readable().find("sim           (none)"));

  for (const char* bad : {"", "StartOkay.", "{running:1}", "{listen:1,running:1}",
                          "allFlow:{original:0,compressed:0}"})
    EXPECT_FALSE(report.Parse(bad)) << bad;
}

TEST(CommandTable, DatesAreRealDaysWrittenYYYYMMDD) {
  const struct {
    const char* text;
    bool date;
  } cases[] = {{"2026-12-09", true},  {"2024-02-29", true},  {"2000-02-29", true},
               {"1900-02-29", false}, {"2025-02-29", false}, {"2026-04-31", false},
               {"2026-00-10", false}, {"2026-12-00", false}, {"2026-1-09", false},
               {"2026/12/09", false}, {"20261209", false},   {"2026-12-09 ", false},
               {"", false},           {"abcd-ef-gh", false}};
  for (const auto& c : cases)
    EXPECT_EQ(c.date, CommandTable::IsDate(c.text)) << c.text;
}

}  // namespace
