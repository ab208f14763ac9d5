// The service's log: a folder of monthly files ("watch-2026-12.csv"), each the watch's CSV in UTF-8
// with its header line, one line per event, each line one write. What a power cut leaves (a cut last
// line, or zero bytes where the data never reached the disk) is a tail that every reader skips; the
// next line written starts a line of its own. Lines are held in memory while the log's own disk sleeps, so that the log
// wakes nothing; the oldest go first beyond HELD_MAX, and one line says how many.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

constexpr char LOG_HEADER[] = "time,device,event,state,seconds,reads,writes,process,pid,file";
constexpr std::size_t LOG_HELD_MAX = 1000;
constexpr std::size_t LOG_MONTHS_KEPT = 13;
constexpr std::uint64_t LOG_RETRY_MS = 600000;

// The file system under the log's folder.
class LogFiles {
 public:
  virtual ~LogFiles() = default;
  // Opens the file for appending, creating it: its size and its last byte (-1 when empty).
  virtual bool open(const std::string& name, std::uint64_t& size, int& last_byte) = 0;
  virtual bool write(const std::string& bytes) = 0;  // one write
  virtual void flush() = 0;                         // to the disk, after each batch
  virtual void close() = 0;
  virtual std::vector<std::string> names() = 0;      // the folder's files
  virtual void remove(const std::string& name) = 0;
};

class WatchLog {
 public:
  // A row of the watch's CSV (no CR LF), its first field the ISO 8601 time whose month names its file.
  void add(std::string row);
  // A note of the log's own (a "note" row: its text in the state column).
  void note(const std::string& iso_time, const std::string& text_utf8);
  // Writes the lines held, in order, then flushes: false when a file would not open or a write failed
  // (the lines not written stay held).
  bool write(LogFiles& files);
  std::size_t held() const { return held_.size(); }
  // Whether to try writing now: lines are held, and the log's disks were not found asleep at the last
  // try, or a drive woke since, or that try is LOG_RETRY_MS old.
  bool due(std::uint64_t now_ms, bool a_drive_woke) const;
  void found_asleep(std::uint64_t now_ms) { asleep_since_ = now_ms, asleep_ = true; }

 private:
  std::deque<std::string> held_;
  bool asleep_ = false;
  std::uint64_t asleep_since_ = 0;
  std::uint64_t dropped_ = 0;
  std::string open_;  // the file open now
};

// A row of the log's own kinds ("note", "summary", "suspend", "resume"): its text in the state column.
std::string log_row(const std::string& iso_time, const std::string& device, const char* event, const std::string& text_utf8);
// "watch-2026-12.csv" for a row's time "2026-12-09T14:05:03+01:00"; empty for a time of another form.
std::string log_file_name(const std::string& iso_time);
// The complete lines of a log file's bytes, without their CR LF: a line that does not end in CR LF and
// one that holds a zero byte (what a power cut leaves, and the writer ends with a bare line feed) are
// left out.
std::vector<std::string> log_lines(const std::string& bytes);
// The fields of one CSV row (RFC 4180); false for a row that is not one (a quote left open, text after
// a closing quote).
bool csv_fields(const std::string& row, std::vector<std::string>& out);
