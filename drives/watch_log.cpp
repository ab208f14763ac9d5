#include "watch_log.h"

#include <algorithm>

#include "text.h"

std::string log_file_name(const std::string& t) {
  const auto digit = [&](std::size_t i) { return t[i] >= '0' && t[i] <= '9'; };
  if (t.size() < 10 || !digit(0) || !digit(1) || !digit(2) || !digit(3) || t[4] != '-' || !digit(5) || !digit(6) ||
      t[7] != '-')
    return "";
  return "watch-" + t.substr(0, 7) + ".csv";
}

void WatchLog::add(std::string row) {
  held_.push_back(std::move(row));
  while (held_.size() > LOG_HELD_MAX) {
    held_.pop_front();
    ++dropped_;
  }
}

std::string log_row(const std::string& time, const std::string& device, const char* event, const std::string& text) {
  TextLine row;
  row.csv(time);
  row.csv(device);
  row.csv(event);
  row.csv(text);
  for (int i = 0; i < 6; ++i) row.csv("");
  return row.text;
}

void WatchLog::note(const std::string& time, const std::string& text) { add(log_row(time, "", "note", text)); }

bool WatchLog::due(std::uint64_t now, bool a_drive_woke) const {
  return !held_.empty() && (!asleep_ || a_drive_woke || now - asleep_since_ >= LOG_RETRY_MS);
}

bool WatchLog::write(LogFiles& files) {
  asleep_ = false;
  if (dropped_ != 0 && !held_.empty()) {
    const std::string time = held_.front().substr(0, held_.front().find(','));
    held_.push_front(log_row(time, "", "note", std::to_string(dropped_) + " Zeilen verworfen: die Platte des Protokolls schlief zu lange"));
    dropped_ = 0;
  }
  bool ok = true;
  while (ok && !held_.empty()) {
    const std::string& row = held_.front();
    const std::string name = log_file_name(row);
    if (name.empty()) {  // not a row of the log's form: nothing to write it to
      held_.pop_front();
      continue;
    }
    if (name != open_) {
      if (!open_.empty()) files.flush(), files.close();
      open_.clear();
      std::uint64_t size = 0;
      int last = -1;
      if (!files.open(name, size, last)) return false;
      open_ = name;
      // A new file gets the header. One that ends in the middle of a line (a power cut) gets a bare line
      // feed: readers take only lines that end in CR LF, so the remains are never read as a row.
      ok = size == 0 ? files.write(std::string(LOG_HEADER) + "\r\n") : last == '\n' || files.write("\n");
      std::vector<std::string> months;
      for (const std::string& n : files.names())
        if (n.size() == name.size() && n.compare(0, 6, "watch-") == 0 && n.compare(n.size() - 4, 4, ".csv") == 0) months.push_back(n);
      std::sort(months.begin(), months.end());
      for (std::size_t i = 0; i + LOG_MONTHS_KEPT < months.size(); ++i)
        if (months[i] != name) files.remove(months[i]);
    }
    if (ok && (ok = files.write(row + "\r\n"))) held_.pop_front();
  }
  if (!open_.empty()) files.flush();
  if (!ok) files.close(), open_.clear();  // opened again next time, its end looked at again
  return ok;
}

std::vector<std::string> log_lines(const std::string& bytes) {
  std::vector<std::string> lines;
  for (std::size_t at = 0, end; (end = bytes.find('\n', at)) != std::string::npos; at = end + 1) {
    if (end == at || bytes[end - 1] != '\r') continue;  // the remains of a cut line
    std::string line = bytes.substr(at, end - 1 - at);
    if (line.find('\0') == std::string::npos) lines.push_back(std::move(line));
  }
  return lines;
}

bool csv_fields(const std::string& row, std::vector<std::string>& out) {
  out.assign(1, "");
  for (std::size_t i = 0; i < row.size(); ++i) {
    if (row[i] == ',') {
      out.emplace_back();
    } else if (row[i] == '"' && out.back().empty() && (i == 0 || row[i - 1] == ',')) {
      for (++i;; ++i) {
        if (i >= row.size()) return false;
        if (row[i] == '"' && (i + 1 >= row.size() || row[i + 1] != '"')) break;
        if (row[i] == '"') ++i;
        out.back() += row[i];
      }
      if (i + 1 < row.size() && row[i + 1] != ',') return false;
    } else {
      out.back() += row[i];
    }
  }
  return true;
}
