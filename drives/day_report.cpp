#include "day_report.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "text.h"
#include "watch_log.h"

namespace {

enum Column { TIME, DEVICE, EVENT, STATE, SECONDS, READS, WRITES, PROCESS, PID, FILE_, COLUMNS };
constexpr std::int64_t DAY = 86400;
// A time in a previous state longer than 400 days is no row of the log (the service keeps 13 months);
// of a drive the latest 5,000 days with something on them are shown, whatever the clock said once.
constexpr std::int64_t STATE_DAYS_MAX = 400;
constexpr std::size_t REPORT_DAYS_MAX = 5000;

std::int64_t floor_div(std::int64_t a, std::int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }

struct Row {
  std::int64_t utc, local;
  std::vector<std::string> f;
};

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar.
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  return era * 146097 + static_cast<std::int64_t>(yoe * 365 + yoe / 4 - yoe / 100 + doy) - 719468;
}

std::string civil_date(std::int64_t days) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto doe = static_cast<unsigned>(days - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100), mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1, m = mp < 10 ? mp + 3 : mp - 9;
  const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2);
  const auto two = [](unsigned v) { return std::string{static_cast<char>('0' + v / 10), static_cast<char>('0' + v % 10)}; };
  return std::to_string(y) + "-" + two(m) + "-" + two(d);
}

bool number(const std::string& text, std::int64_t& value) {
  if (text.empty() || text.size() > 12) return false;
  value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return true;
}

struct Piece {
  std::int64_t from, to;
  bool standby;
};

struct Track {
  int state = -1;  // -1 not known, 0 spinning, 1 standby
  std::int64_t since = 0;
  std::vector<Piece> pieces;
  struct Event {
    std::int64_t at;
    char kind;  // u: spin-up, d: spin-down, i: by --idle
    std::string process, title;
    std::int64_t slept = 0;
  };
  std::vector<Event> events;
};

std::string clock_of(const Row& row) { return row.f[TIME].substr(11, 8); }

std::string wake_title(const Row& row) {
  std::string title = clock_of(row) + (row.f[EVENT] == "wake" ? " aufgewacht" : " aufgewacht nach dem Aufwachen des Systems");
  if (!row.f[READS].empty()) title += ", " + row.f[READS] + " Lesezugriffe, " + row.f[WRITES] + " Schreibzugriffe";
  if (!row.f[PROCESS].empty()) title += "; " + row.f[PROCESS] + (row.f[PID].empty() ? "" : " (PID " + row.f[PID] + ")");
  if (!row.f[FILE_].empty()) title += ": " + row.f[FILE_];
  return title;
}

// One row of a drive: the piece of time it closes, the state it leaves, the event it counts.
void follow(Track& t, const Row& row) {
  const std::string& event = row.f[EVENT];
  std::int64_t seconds = 0;
  number(row.f[SECONDS], seconds);
  const std::int64_t at = row.utc, from = at - seconds;
  const bool wake = event == "wake" || event == "wake-after-resume";
  if (event == "sleep" || wake) {
    const int before = wake ? 1 : 0;
    if (t.state < 0 || t.state == before) {
      const std::int64_t start = t.state >= 0 ? std::max(from, t.since) : from;
      if (at > start) t.pieces.push_back({start, at, wake});
    }
    t.events.push_back({at, wake ? 'u' : 'd', wake ? row.f[PROCESS] : "", wake ? wake_title(row) : "", wake ? seconds : 0});
    t.state = wake ? 0 : 1;
    t.since = at;
  } else if (event == "idle-standby") {
    t.events.push_back({at, 'i', "", "", 0});
  } else if (event == "wake-file") {
    for (auto e = t.events.rbegin(); e != t.events.rend(); ++e)
      if (e->kind == 'u') {
        if (e->title.find(": ") == std::string::npos && !row.f[FILE_].empty()) e->title += ": " + row.f[FILE_];
        break;
      }
  } else if (event == "back") {
    t.state = row.f[STATE].compare(0, 7, "Standby") == 0 ? 1 : 0;
    t.since = at;
  } else if (event == "gone" || event == "not-asked" || event == "summary") {
    if (t.state >= 0) {
      const std::int64_t start = event == "gone" ? std::max(from, t.since) : t.since;
      if (at > start) t.pieces.push_back({start, at, t.state == 1});
    }
    t.state = -1;
  }
}

// The UTC second at which the local day begins: midnight less the offset that held just before it.
std::int64_t day_start(const std::vector<Row>& rows, std::int64_t day) {
  const std::int64_t midnight = day * DAY;
  std::int64_t offset = rows.front().local - rows.front().utc;
  for (const Row& r : rows) {
    if (r.local >= midnight) break;
    offset = r.local - r.utc;
  }
  return midnight - offset;
}

std::string escaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string figures(const ReportDay& d) {
  TextLine line;
  line.add_number(d.spin_ups);
  line.add(" Anl\xE4ufe, ");
  line.add_number(d.spin_downs);
  line.add(" Abschaltungen (");
  line.add_number(d.by_idle);
  line.add(" durch --idle), Standby ");
  line.add_utf8(duration_text(static_cast<std::uint64_t>(d.standby_s) * 1000, false));
  line.add(" von ");
  line.add_utf8(duration_text(static_cast<std::uint64_t>(d.watched_s) * 1000, false));
  line.add(" beobachtet (");
  line.add_number(d.watched_s ? static_cast<std::uint64_t>((d.standby_s * 100 + d.watched_s / 2) / d.watched_s) : 0);
  line.add(" %), l\xE4ngster Schlaf ");
  line.add_utf8(duration_text(static_cast<std::uint64_t>(d.longest_sleep_s) * 1000, false));
  for (std::size_t i = 0; i < d.wakers.size(); ++i) {
    line.add(i == 0 ? "; geweckt von " : ", ");
    line.add_utf8(d.wakers[i].first);
    line.add(" (");
    line.add_number(d.wakers[i].second);
    line.add(")");
  }
  return line.text;
}

}  // namespace

bool parse_log_time(const std::string& t, std::int64_t& utc, std::int64_t& local) {
  static const char FORM[] = "dddd-dd-ddTdd:dd:dd+dd:dd";
  if (t.size() != sizeof FORM - 1) return false;
  for (std::size_t i = 0; i < t.size(); ++i) {
    const bool ok = FORM[i] == 'd' ? t[i] >= '0' && t[i] <= '9' : FORM[i] == '+' ? t[i] == '+' || t[i] == '-' : t[i] == FORM[i];
    if (!ok) return false;
  }
  const auto n = [&](std::size_t at, std::size_t len) {
    unsigned value = 0;
    for (std::size_t i = at; i < at + len; ++i) value = value * 10 + static_cast<unsigned>(t[i] - '0');
    return value;
  };
  const unsigned month = n(5, 2), day = n(8, 2), hour = n(11, 2), minute = n(14, 2), second = n(17, 2);
  const unsigned offset = n(20, 2) * 60 + n(23, 2);
  static const unsigned LAST[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1 || day > LAST[month - 1] || hour > 23 || minute > 59 || second > 60 || offset > 14 * 60)
    return false;
  local = days_from_civil(n(0, 4), month, day) * DAY + hour * 3600 + minute * 60 + second;
  utc = local - (t[19] == '-' ? -1 : 1) * static_cast<std::int64_t>(offset) * 60;
  return true;
}

LogReport read_log(const std::vector<std::string>& lines) {
  LogReport report;
  std::vector<Row> rows;
  for (const std::string& line : lines) {
    if (line == LOG_HEADER) continue;
    Row row{};
    std::int64_t seconds = 0;
    const auto timed = [&] { return row.f[EVENT] == "sleep" || row.f[EVENT] == "wake" || row.f[EVENT] == "wake-after-resume"; };
    if (!csv_fields(line, row.f) || row.f.size() != COLUMNS || !parse_log_time(row.f[TIME], row.utc, row.local) ||
        (timed() && (!number(row.f[SECONDS], seconds) || seconds > STATE_DAYS_MAX * DAY))) {
      ++report.skipped;
      continue;
    }
    rows.push_back(std::move(row));
  }
  if (rows.empty()) return report;
  // In time order, rows of one time in the order given.
  std::vector<std::pair<std::int64_t, std::size_t>> order;
  for (std::size_t i = 0; i < rows.size(); ++i) order.emplace_back(rows[i].utc, i);
  std::sort(order.begin(), order.end());
  std::vector<Row> sorted;
  for (const auto& [utc, i] : order) sorted.push_back(std::move(rows[i]));
  rows.swap(sorted);
  std::vector<std::pair<std::string, Track>> tracks;  // by name
  const auto track = [&](const std::string& name) -> Track& {
    auto at = std::lower_bound(tracks.begin(), tracks.end(), name, [](const auto& t, const std::string& n) { return t.first < n; });
    if (at == tracks.end() || at->first != name) at = tracks.insert(at, {name, Track{}});
    return at->second;
  };
  for (const Row& row : rows) {
    const std::string& event = row.f[EVENT];
    if (row.f[DEVICE].empty()) {  // the system's own: while it sleeps nothing is watched
      for (auto& [name, t] : tracks) {
        if (event == "suspend" && t.state >= 0 && row.utc > t.since) t.pieces.push_back({t.since, row.utc, t.state == 1});
        if (event == "suspend" || event == "resume") t.since = row.utc;
      }
      continue;
    }
    follow(track(row.f[DEVICE]), row);
  }
  // The local days that something of a drive falls on (the first row's offset is near enough to find
  // them; each day's own start comes from the offsets of its rows).
  const std::int64_t offset = rows.front().local - rows.front().utc;
  const auto local_day = [&](std::int64_t utc) { return floor_div(utc + offset, DAY); };
  for (auto& [name, t] : tracks) {
    std::vector<std::int64_t> numbers;
    const auto touch = [&](std::int64_t from, std::int64_t to) {
      for (std::int64_t d = local_day(from) - 1; d <= local_day(to) + 1; ++d) numbers.push_back(d);
    };
    for (const Piece& p : t.pieces) touch(p.from, p.to);
    for (const Track::Event& e : t.events) touch(e.at, e.at);
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    if (numbers.size() > REPORT_DAYS_MAX) numbers.erase(numbers.begin(), numbers.end() - REPORT_DAYS_MAX);
    std::int64_t next = INT64_MIN, next_start = 0;  // a day's end is the next one's start: found once
    for (const std::int64_t number : numbers) {
      ReportDay day;
      day.device = name;
      day.date = civil_date(number);
      const std::int64_t begin = number == next ? next_start : day_start(rows, number), end = day_start(rows, number + 1);
      next = number + 1, next_start = end;
      day.length_s = end - begin;
      for (const Piece& p : t.pieces) {
        const std::int64_t from = std::max(p.from, begin), to = std::min(p.to, end);
        if (to <= from) continue;
        day.spans.push_back({from - begin, to - begin, p.standby});
        day.watched_s += to - from;
        if (p.standby) day.standby_s += to - from;
        if (p.standby && p.to <= end) day.longest_sleep_s = std::max(day.longest_sleep_s, p.to - p.from);
      }
      auto& wakers = day.wakers;
      for (const Track::Event& e : t.events) {
        if (e.at < begin || e.at >= end) continue;
        day.spin_ups += e.kind == 'u';
        day.spin_downs += e.kind == 'd';
        day.by_idle += e.kind == 'i';
        if (e.kind == 'u') day.wakes.push_back({e.at - begin, e.title});
        if (e.process.empty()) continue;
        auto w = std::find_if(wakers.begin(), wakers.end(), [&](const auto& p) { return p.first == e.process; });
        if (w == wakers.end()) wakers.emplace_back(e.process, 1);
        else ++w->second;
      }
      if (day.watched_s == 0 && day.wakes.empty() && day.spin_downs == 0) continue;
      std::sort(wakers.begin(), wakers.end(), [](const auto& a, const auto& b) { return a.second != b.second ? a.second > b.second : a.first < b.first; });
      if (wakers.size() > 3) wakers.resize(3);
      report.days.push_back(std::move(day));
    }
  }
  return report;
}

std::string report_text(const LogReport& report) {
  std::string out;
  for (const ReportDay& d : report.days)
    out += d.device + "  " + d.date + " (" + std::to_string(d.length_s / 3600) + " h): " + figures(d) + "\r\n";
  if (report.days.empty()) out += utf8_from_1252("Das Protokoll nennt kein Laufwerk.\r\n");
  if (report.skipped) out += std::to_string(report.skipped) + utf8_from_1252(" Zeilen \xFC" "bersprungen: keine Zeilen des Protokolls\r\n");
  return out;
}

std::string report_html(const LogReport& report) {
  std::string out = utf8_from_1252(
      "<!DOCTYPE html>\n<html lang=\"de\"><head><meta charset=\"utf-8\"><title>Spindwart \x96 Tagesbericht</title>\n"
      "<style>body{font:14px sans-serif;margin:16px;color:#222;background:#fff}h2{margin:20px 0 4px}"
      "svg{display:block;margin:2px 0}p{margin:0 0 10px}.s{fill:#2f5f98}.a{fill:#f0a030}.w{fill:#b00020}</style></head>\n"
      "<body><h1>Spindwart \x96 Tagesbericht</h1>\n<p><svg width=\"12\" height=\"12\" style=\"display:inline\"><rect class=\"s\" "
      "width=\"12\" height=\"12\"/></svg> Standby &#160; <svg width=\"12\" height=\"12\" style=\"display:inline\"><rect class=\"a\" "
      "width=\"12\" height=\"12\"/></svg> l\xE4uft &#160; grau: nicht beobachtet &#160; Striche: Aufwachen</p>\n");
  const std::string* device = nullptr;
  for (const ReportDay& d : report.days) {
    if (!device || *device != d.device) out += "<h2>" + escaped(d.device) + "</h2>\n";
    device = &d.device;
    const std::string length = std::to_string(d.length_s);
    out += "<div>" + escaped(d.date) + "</div>\n<svg width=\"" + std::to_string(d.length_s / 90) + "\" height=\"24\" viewBox=\"0 0 " +
           length + " 24\" preserveAspectRatio=\"none\"><rect width=\"" + length + "\" height=\"24\" fill=\"#e4e4e4\"/>";
    for (const ReportDay::Span& s : d.spans)
      out += "<rect class=\"" + std::string(s.standby ? "s" : "a") + "\" x=\"" + std::to_string(s.from) + "\" width=\"" +
             std::to_string(s.to - s.from) + "\" height=\"24\"/>";
    for (const ReportDay::Mark& m : d.wakes)
      out += "<rect class=\"w\" x=\"" + std::to_string(m.at) + "\" width=\"180\" height=\"24\"><title>" + escaped(m.title) +
             "</title></rect>";
    out += "</svg>\n<p>" + escaped(figures(d)) + "</p>\n";
  }
  if (report.skipped) out += "<p>" + std::to_string(report.skipped) + utf8_from_1252(" Zeilen \xFC" "bersprungen</p>\n");
  return out + "</body></html>\n";
}

bool parse_report(int argc, const char* const* argv, std::string& html, std::vector<std::string>& logs) {
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--html") == 0 && html.empty() && i + 1 < argc && argv[i + 1][0] != '\0' && argv[i + 1][0] != '-')
      html = argv[++i];
    else if (argv[i][0] == '-' || argv[i][0] == '\0')
      return false;
    else
      logs.emplace_back(argv[i]);
  }
  return true;
}
