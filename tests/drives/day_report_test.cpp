// The day report of a scripted log (data/month.csv: across midnight, the spring's daylight-saving
// change, a suspend, a drive gone and back, two rows that are none), its figures worked out by hand.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "day_report.h"
#include "watch_log.h"

namespace {

LogReport month() {
  std::ifstream in(SPINDWART_TEST_DATA "/month.csv", std::ios::binary);
  return read_log(log_lines(std::string(std::istreambuf_iterator<char>(in), {})));
}

TEST(DayReport, FiguresOfAScriptedMonth) {
  EXPECT_EQ(report_text(month()),
            "/dev/sdb  2026-03-28 (24 h): 2 Anläufe, 2 Abschaltungen (1 durch --idle), Standby 15:39 von 22:00 beobachtet "
            "(71 %), längster Schlaf 8:39; geweckt von Backup, \"Nacht\".exe (1), SearchIndexer.exe (1)\r\n"
            "/dev/sdb  2026-03-29 (23 h): 2 Anläufe, 1 Abschaltungen (0 durch --idle), Standby 18:00 von 21:00 beobachtet "
            "(86 %), längster Schlaf 12:00; geweckt von Setup<1>.exe (1)\r\n"
            "/dev/sdb  2026-03-30 (24 h): 0 Anläufe, 0 Abschaltungen (0 durch --idle), Standby 0:00 von 0:30 beobachtet "
            "(0 %), längster Schlaf 0:00\r\n"
            "2 Zeilen übersprungen: keine Zeilen des Protokolls\r\n");
  // Files given in another order, and a log of nothing but the header.
  std::vector<std::string> lines = {"2026-03-29T23:00:00+02:00,/dev/sdb,wake,aktiv/idle,7200,,,,,",
                                    "2026-03-29T21:00:00+02:00,/dev/sdb,sleep,Standby,60,,,,,"};
  EXPECT_EQ(report_text(read_log(lines)),
            "/dev/sdb  2026-03-29 (24 h): 1 Anläufe, 1 Abschaltungen (0 durch --idle), Standby 2:00 von 2:01 beobachtet "
            "(99 %), längster Schlaf 2:00\r\n");
  EXPECT_EQ(report_text(read_log({"time,device,event,state,seconds,reads,writes,process,pid,file"})),
            "Das Protokoll nennt kein Laufwerk.\r\n");
  // A clock far off once (a row of 9999) adds its own day and no others; 31,700 years in a state are no row.
  lines.push_back("9999-12-31T23:59:59+00:00,/dev/sdb,sleep,Standby,60,,,,,");
  lines.push_back("2026-03-30T01:00:00+02:00,/dev/sdb,wake,aktiv/idle,999999999999,,,,,");
  const LogReport far = read_log(lines);
  ASSERT_EQ(far.days.size(), 2u);
  EXPECT_EQ(std::tuple(far.days[0].date, far.days[1].date, far.skipped), std::tuple("2026-03-29", "9999-12-31", 1u));
}

// The strips: a day's length in seconds is its width (90 s a pixel), a wake at 06:00 of a 24-hour day
// a quarter along it, the 23:00 wake of the 23-hour day 22 hours along; the log's texts escaped.
TEST(DayReport, StripsOfThePage) {
  const LogReport report = month();
  ASSERT_EQ(report.days.size(), 3u);
  EXPECT_EQ(report.days[1].length_s, 82800);
  const std::string html = report_html(report);
  for (const char* part :
       {"<svg width=\"960\" height=\"24\" viewBox=\"0 0 86400 24\"", "<svg width=\"920\" height=\"24\" viewBox=\"0 0 82800 24\"",
        "<rect class=\"s\" x=\"0\" width=\"21600\" height=\"24\"/><rect class=\"a\" x=\"21600\" width=\"21600\"",
        "<rect class=\"w\" x=\"21600\" width=\"180\" height=\"24\"><title>06:00:00 aufgewacht, 3 Lesezugriffe, 0 Schreibzugriffe; "
        "SearchIndexer.exe (PID 812): C:\\Users\\Анна\\Ärger.txt</title>",
        "<rect class=\"w\" x=\"79200\"", "Setup&lt;1&gt;.exe (PID 4711): C:\\a&amp;b.txt", "Backup, &quot;Nacht&quot;.exe"})
    EXPECT_NE(html.find(part), std::string::npos) << part;
  EXPECT_EQ(html.find("<script"), std::string::npos);
  EXPECT_EQ(html.find("http"), std::string::npos);
}

TEST(DayReport, TimesAndArguments) {
  std::int64_t utc = 0, local = 0;
  ASSERT_TRUE(parse_log_time("2026-12-09T14:05:03-05:30", utc, local));
  EXPECT_EQ(std::pair(utc, local), std::pair(std::int64_t{1796844903}, std::int64_t{1796825103}));  // Python's datetime
  for (const char* bad : {"2026-12-09T14:05:03", "2026-12-09 14:05:03+01:00", "2026-13-09T14:05:03+01:00",
                          "2026-04-31T14:05:03+01:00", "2026-12-09T24:00:00+01:00", "2026-12-09T14:05:03+15:00"})
    EXPECT_FALSE(parse_log_time(bad, utc, local)) << bad;
  std::string html;
  std::vector<std::string> logs;
  const char* good[] = {"x", "--report", "a.csv", "--html", "day.html", "b.csv"};
  ASSERT_TRUE(parse_report(6, good, html, logs));
  EXPECT_EQ(std::pair(html, logs), std::pair(std::string("day.html"), std::vector<std::string>{"a.csv", "b.csv"}));
  for (const auto& bad : {std::vector<const char*>{"x", "--report", "--html"}, {"x", "--report", "--html", "a", "--html", "b"},
                          {"x", "--report", "--csv"}, {"x", "--report", ""}}) {
    html.clear(), logs.clear();
    EXPECT_FALSE(parse_report(static_cast<int>(bad.size()), bad.data(), html, logs)) << bad.back();
  }
}

}  // namespace
