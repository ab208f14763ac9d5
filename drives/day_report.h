// The day report: the service's log read back, per drive and local day: spin-ups and spin-downs, the
// share of the watched time in standby, the longest sleep, who woke it most often; as lines of text and
// as one self-contained HTML page with a strip per day drawn in SVG.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ReportDay {
  std::string device, date;          // "/dev/sdb", "2026-12-09"
  std::int64_t length_s = 86400;     // 82800 or 90000 on the days the clocks change
  unsigned spin_ups = 0, spin_downs = 0, by_idle = 0;
  std::int64_t standby_s = 0, watched_s = 0, longest_sleep_s = 0;
  std::vector<std::pair<std::string, unsigned>> wakers;  // who woke it, most often first, three at most
  struct Span {
    std::int64_t from, to;  // seconds since the day's start
    bool standby;
  };
  std::vector<Span> spans;  // what was watched, in order
  struct Mark {
    std::int64_t at;
    std::string title;  // its time and cause, UTF-8
  };
  std::vector<Mark> wakes;
};

struct LogReport {
  std::vector<ReportDay> days;  // by drive, then by day
  unsigned skipped = 0;         // rows that are not rows of the log
};

// The report of the log files' lines (log_lines of each file), in any order of files.
LogReport read_log(const std::vector<std::string>& lines);
// Seconds since 1970 of a time "2026-12-09T14:05:03+01:00" as UTC (utc) and as its clock showed it
// (local); false for a time of another form.
bool parse_log_time(const std::string& text, std::int64_t& utc, std::int64_t& local);
// A line per drive and day, and one for the skipped rows, each with CR LF.
std::string report_text(const LogReport& report);
// The page: no script, nothing fetched, every text of the log escaped.
std::string report_html(const LogReport& report);
// --report [--html FILE] [LOG...]: false for an argument it does not take.
bool parse_report(int argc, const char* const* argv, std::string& html, std::vector<std::string>& logs);
