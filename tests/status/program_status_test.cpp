// The status file read back as written, the JSON report's fields, the OpenMetrics text's
// shape, and the spool's figures from a directory.
#include "status/program_status.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <set>

#include "platform/files.h"
#include "status/openmetrics.h"
#include "status/spool_figures.h"
#include "status/status_text.h"
#include "support/spool_directories.h"

namespace quelma::status {
namespace {

ProgramStatus Example() {
  ProgramStatus s;
  s.pid = 4242;
  s.version = "0.7.10";
  s.startedAt = 1796800000;
  s.writtenAt = 1796803600;
  s.accounts = {{"pop.example.org", "ivan", "pop3", {1796803500, true, 0, 3, 0}, "", "good"},
                {"imap.example.org", "o\"lga", "imap", {1796803550, false, 10061, 0, 1796700000}, "waiting", ""}};
  s.upload = {1796803560, true, 0, 7, 0};
  s.nextSession = 1796807200;
  s.alerts = {{"disk", "Мало места\r\nОсвободите место\r\n", 1796790000, 1796790060, "мало места на диске"}};
  s.running = true;
  s.spool = {2, 4096, 1796000000, 3, 1 << 20};
  return s;
}

TEST(ProgramStatus, TheFileKeepsWhatTheProgramKeeps) {
  const ProgramStatus s = Example();
  const auto back = DecodeStatusFile(EncodeStatusFile(s));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->pid, s.pid);
  EXPECT_EQ(back->version, s.version);
  ASSERT_EQ(back->accounts.size(), 2u);
  EXPECT_EQ(back->accounts[1].login, "o\"lga");
  EXPECT_EQ(back->accounts[1].last.error, 10061);
  EXPECT_EQ(back->accounts[1].last.failingSince, 1796700000);
  EXPECT_EQ(back->accounts[1].push, "waiting");
  EXPECT_EQ(back->upload.messages, 7u);
  EXPECT_EQ(back->alerts.at(0).text, "Мало места\r\nОсвободите место\r\n");
  EXPECT_EQ(back->alerts.at(0).sentAt, 1796790060);
  EXPECT_EQ(back->alerts.at(0).subject, "мало места на диске");
  // The program's last word on a login is kept: a revoked grant shows only when it is tried.
  EXPECT_EQ(back->accounts[0].oauth, "good");
  // What only a reader adds is not in the file.
  EXPECT_FALSE(back->running);
  EXPECT_EQ(back->spool.queueMessages, 0u);
  for (const char* bad : {"", "{", "[]", "{\"format\":2}", "{\"format\":1,\"pid\":\"x\"}"}) {
    EXPECT_FALSE(DecodeStatusFile(bad)) << bad;
  }
}

TEST(ProgramStatus, TheJsonReportNamesEveryFigure) {
  const auto j = nlohmann::json::parse(FormatStatusJson(Example()));
  EXPECT_EQ(j["running"], true);
  EXPECT_EQ(j["pid"], 4242);
  EXPECT_EQ(j["started"], "2026-12-09T07:06:40Z");
  EXPECT_EQ(j["accounts"][0]["result"], "ok");
  EXPECT_EQ(j["accounts"][0]["messages"], 3);
  EXPECT_EQ(j["accounts"][0]["oauth"], "good");
  EXPECT_TRUE(j["accounts"][0]["error"].is_null());
  EXPECT_EQ(j["accounts"][1]["result"], "failed");
  EXPECT_EQ(j["accounts"][1]["error"], 10061);
  EXPECT_EQ(j["accounts"][1]["push"], "waiting");
  EXPECT_EQ(j["smtp"]["messages"], 7);
  EXPECT_EQ(j["queue"]["messages"], 2);
  EXPECT_EQ(j["queue"]["bytes"], 4096);
  EXPECT_EQ(j["maildrops"]["count"], 3);
  EXPECT_EQ(j["alerts"].size(), 1u);
  ProgramStatus stopped;
  const auto none = nlohmann::json::parse(FormatStatusJson(stopped));
  EXPECT_EQ(none["running"], false);
  EXPECT_TRUE(none["pid"].is_null());
  EXPECT_TRUE(none["next_session"].is_null());
}

// The rules of the OpenMetrics text a textfile collector relies on: every sample of a family
// declared before it, names and labels well formed, "# EOF" last.
TEST(ProgramStatus, OpenMetricsTextIsWellFormed) {
  const std::string text = FormatOpenMetrics(Example());
  ASSERT_TRUE(text.ends_with("# EOF\n"));
  std::set<std::string> families;
  std::size_t samples = 0;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find('\n', at);
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    if (line == "# EOF") break;
    if (line.starts_with("# TYPE ")) {
      families.insert(line.substr(7, line.find(' ', 7) - 7));
      continue;
    }
    if (line.starts_with("# HELP ")) continue;
    ++samples;
    const std::string name = line.substr(0, line.find_first_of("{ "));
    const bool declared = families.contains(name) || families.contains(name.substr(0, name.rfind('_')));
    EXPECT_TRUE(declared) << line;
    EXPECT_EQ(name.find_first_not_of("abcdefghijklmnopqrstuvwxyz_"), std::string::npos) << line;
  }
  EXPECT_GE(samples, 14u);
  EXPECT_NE(text.find("login=\"o\\\"lga\""), std::string::npos);
  EXPECT_NE(text.find("quelma_version_info{version=\"0.7.10\"} 1\n"), std::string::npos);
  EXPECT_NE(text.find("quelma_queue_messages 2\n"), std::string::npos);
}

TEST(ProgramStatus, SpoolFiguresCountQueueFilesAndEveryMailbox) {
  testing::SpoolDirectories s;
  s.config.users = {{"ivan", "", ""}, {"olga", "", ""}};
  testing::WriteAll(s.config.QueueDir + "0000000A", "12345");
  testing::WriteAll(s.config.QueueDir + "0000000B", "123");
  testing::WriteAll(s.config.QueueDir + "0000000B.sent", "");
  testing::WriteAll(s.config.QueueDir + "sorter-1.tmp", "xxxxxxxx");
  testing::WriteAll(s.config.MailDropDir + "ivan", std::string(100, 'a'));
  platform::MakeDirectory(s.config.MailDropDir + "ivan.folders");
  testing::WriteAll(s.config.MailDropDir + "ivan.folders/Work", std::string(10, 'w'));
  testing::WriteAll(s.config.MailDropDir + "ivan.folders/.Work.index", std::string(50, 'i'));
  const SpoolFigures f = ReadSpoolFigures(s.config);
  EXPECT_EQ(f.queueMessages, 2u);
  EXPECT_EQ(f.queueBytes, 8u);
  EXPECT_GT(f.queueOldest, 0);
  EXPECT_EQ(f.maildrops, 2u);
  EXPECT_EQ(f.maildropBytes, 110u);
}

TEST(ProgramStatus, TheTextHasALinePerFact) {
  const std::string text = FormatStatusText(Example(), 3 * 3600);
  for (const char* line : {"Программа работает (процесс 4242)\n", "Версия: 0.7.10\n", "Запущена: 09.12.2026 10:06\n",
                           "Счет 0 (pop3 pop.example.org, ivan): 09.12.2026 11:05 успешно, сообщений 3; OAuth: вход действует\n",
                           "Очередь: сообщений 2, 0.0 МБ, самое старое от ",
                           "Предупреждение с 09.12.2026 07:20: Мало места\n  Освободите место\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
  }
}

}  // namespace
}  // namespace quelma::status
