// The service's log against a scripted folder: what a power cut leaves, the month's files, the lines
// held and the cap, a file name of any characters there and back.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "text.h"
#include "watch_log.h"

namespace {

struct ScriptedFiles : LogFiles {
  std::map<std::string, std::string> files;
  std::string opened;
  int writes = 0, flushes = 0;
  bool refuse = false;
  bool open(const std::string& name, std::uint64_t& size, int& last) override {
    const std::string& f = files[opened = name];
    size = f.size();
    last = f.empty() ? -1 : static_cast<unsigned char>(f.back());
    return !refuse;
  }
  bool write(const std::string& bytes) override { return !refuse && (++writes, files[opened] += bytes, true); }
  void flush() override { ++flushes; }
  void close() override { opened.clear(); }
  std::vector<std::string> names() override {
    std::vector<std::string> out;
    for (const auto& [name, bytes] : files) out.push_back(name);
    return out;
  }
  void remove(const std::string& name) override { files.erase(name); }
};

std::string row(const char* time, const char* file = "") {
  TextLine r;
  for (const char* field : {time, "/dev/sdb", "wake", "aktiv/idle", "60", "3", "0", "idx.exe", "300", file}) r.csv(field);
  return r.text;
}

TEST(WatchLog, PowerCutsMonthsHeldLinesAndTheCap) {
  const std::string header = std::string(LOG_HEADER) + "\r\n", nov = "2026-11-30T23:59:59+01:00", dec = "2026-12-01T00:00:01+01:00";
  ScriptedFiles folder;
  // Data that never reached the disk: zeros, and after them the end of a later line that did.
  folder.files["watch-2026-11.csv"] = header + row(nov.c_str()) + "\r\n" + std::string(4096, '\0') + "9,,note,late\r\n";
  folder.files["watch-2026-12.csv"] = header + row(dec.c_str()) + "\r\n" + row(dec.c_str()).substr(0, 30);  // a cut line
  for (int month = 1; month <= 13; ++month) folder.files["watch-2025-" + std::string(month < 10 ? "0" : "") + std::to_string(month) + ".csv"] = header;
  folder.files["watch-2025-13.csv"] = folder.files["readme.txt"] = "x";  // no month's file
  const char* name = "C:\\Users\\a,\"b\"\xE6\x96\x87.txt";
  WatchLog log;
  log.add(row(nov.c_str(), name));
  log.add(row(dec.c_str()));
  ASSERT_TRUE(log.write(folder));
  // Each line one write; a bare line feed after a cut line; the 13 newest months kept.
  EXPECT_EQ(std::tuple(folder.writes, folder.flushes, log.held()), std::tuple(3, 2, std::size_t{0}));
  const std::vector<std::string> november = log_lines(folder.files["watch-2026-11.csv"]), december = log_lines(folder.files["watch-2026-12.csv"]);
  EXPECT_EQ(november, (std::vector<std::string>{LOG_HEADER, row(nov.c_str()), row(nov.c_str(), name)}));
  EXPECT_EQ(december, (std::vector<std::string>{LOG_HEADER, row(dec.c_str()), row(dec.c_str())}));
  std::vector<std::string> fields;
  ASSERT_TRUE(csv_fields(november[2], fields));
  EXPECT_EQ(std::pair(fields.size(), fields[9]), std::pair(std::size_t{10}, std::string(name)));
  EXPECT_EQ(folder.files.count("watch-2025-01.csv") + folder.files.count("watch-2025-02.csv"), 0u);
  EXPECT_EQ(folder.files.count("watch-2025-03.csv") + folder.files.count("watch-2025-13.csv") + folder.files.count("readme.txt"), 3u);
  for (const char* bad : {"a,\"b", "\"a\"b,c"}) EXPECT_FALSE(csv_fields(bad, fields)) << bad;
  // Held while the log's disk sleeps: tried again at a wake or after 10 minutes; beyond 1,000 the oldest
  // go, and a line before the rest says how many.
  log.found_asleep(1000);
  for (int i = 0; i < 1005; ++i) log.add(row(dec.c_str(), std::to_string(i).c_str()));
  EXPECT_EQ(std::tuple(log.held(), log.due(1000 + LOG_RETRY_MS - 1, false), log.due(2000, true), log.due(1000 + LOG_RETRY_MS, false)),
            std::tuple(std::size_t{1000}, false, true, true));
  folder.refuse = true;
  EXPECT_FALSE(log.write(folder));
  folder.refuse = false;
  ASSERT_TRUE(log.write(folder));
  const std::vector<std::string> lines = log_lines(folder.files["watch-2026-12.csv"]);
  ASSERT_EQ(lines.size(), 3u + 1001u);
  EXPECT_EQ(lines[3], dec + ",,note,5 Zeilen verworfen: die Platte des Protokolls schlief zu lange,,,,,,");
  EXPECT_EQ(std::pair(lines[4], lines.back()), std::pair(row(dec.c_str(), "5"), row(dec.c_str(), "1004")));
}

}  // namespace
