// Log lines: exact format per source, muting at shutdown, Winsock error names, the log file.
#include <gtest/gtest.h>

#include "link/activity_log.h"
#include "link/log_file.h"
#include "support/fake_clock.h"
#include "support/recording_main_window.h"
#include "support/temp_dir.h"

namespace quelma::link {
namespace {

using quelma::testing::FakeClock;
using quelma::testing::ReadAll;
using quelma::testing::RecordingMainWindow;
using quelma::testing::TempDir;
using quelma::testing::WriteAll;

TEST(ActivityLog, LineFormatOfEverySource) {
  RecordingMainWindow window;
  ServerControl control;
  FakeClock clock;
  ActivityLog log(window, control, clock);
  log.LogPop3Srv("a\r\n");
  log.LogSmtpSrv("b\r\n");
  log.LogPop3Client("c\r\n");
  log.LogSmtpClient("d\r\n");
  log.LogDialer("*** Дозваниваюсь до сервера.");
  EXPECT_EQ(window.lines(), (std::vector<std::string>{
                                "05 Dec 2001 14:03:07 POP3SRV> a\r\n", "05 Dec 2001 14:03:07 SMTPSRV> b\r\n",
                                "05 Dec 2001 14:03:07 POP3CLIENT> c\r\n", "05 Dec 2001 14:03:07 SMTPCLIENT> d\r\n",
                                "05 Dec 2001 14:03:07 DIALER> *** Дозваниваюсь до сервера.\r\n"}));
  const auto messages = window.messages();
  for (std::size_t i = 0; i < messages.size(); ++i) {
    EXPECT_EQ(messages[i].message, UM_LOG_LINE);
    EXPECT_EQ(messages[i].wParam, i) << "wParam is the LogSource";
  }
}

TEST(ActivityLog, OnlyTheDialerSpeaksAfterTheStopRequest) {
  RecordingMainWindow window;
  ServerControl control;
  FakeClock clock;
  ActivityLog log(window, control, clock);
  control.pop3Srv.stopRequest = true;
  control.smtpSrv.stopRequest = true;
  log.LogPop3Srv("a\r\n");
  log.LogSmtpSrv("b\r\n");
  log.LogPop3Client("c\r\n");
  log.LogSmtpClient("d\r\n");
  log.LogDialer("e");
  EXPECT_EQ(window.unstampedLines(), std::vector<std::string>{"DIALER> e\r\n"});
}

TEST(WinsockErrorName, NamedAndUnknownCodes) {
  const std::pair<int, const char*> cases[] = {
      {10060, "WSAETIMEDOUT"}, {10101, "WSAEDISCON"},       {11001, "unknown reason"}, {0, "unknown reason"},
      {10004, "WSAEINTR"},     {10035, "WSAEWOULDBLOCK"},   {10071, "WSAEREMOTE"},     {10072, "unknown reason"},
      {10048, "WSAEADDRINUSE"}, {10093, "WSANOTINITIALISED"}, {10034, "unknown reason"}, {-1, "unknown reason"},
  };
  for (const auto& [code, name] : cases) EXPECT_EQ(WinsockErrorName(code), name) << code;
}

// A file above the limit keeps its newest part: it begins just after the first line feed at
// or after (size - limit) and ends with what it held, then the new line.
TEST(LogFile, TrimKeepsTheNewestLinesWholeAtEveryLimit) {
  struct Case {
    std::uint32_t limitKb;
    std::size_t lineLength;  // every line, CR LF included
    std::size_t lines;
  };
  const Case cases[] = {
      {4, 100, 42},        // 4,200 bytes: the cut starts looking at offset 1,128
      {1000, 100, 10241},  // 1,024,100 bytes: one line over the largest limit
      {1000, 97, 10558},   // lines not aligned with the cut
  };
  for (const auto& c : cases) {
    TempDir dir;
    const std::string path = dir.file("quelma.log");
    std::string content;
    for (std::size_t i = 0; i < c.lines; ++i) {
      std::string line = std::to_string(i);
      content += line + std::string(c.lineLength - 2 - line.size(), '.') + "\r\n";
    }
    WriteAll(path, content);
    ASSERT_TRUE(AppendLogLine(path, "new\r\n", c.limitKb));
    const std::size_t keep = LogKeptAfterTrim(c.limitKb * 1024u);
    const std::string expected = content.substr(content.find('\n', content.size() - keep) + 1) + "new\r\n";
    EXPECT_TRUE(ReadAll(path) == expected) << c.limitKb << " KB, " << c.lines << " lines";
  }
}

// Line after line, the file never holds more than the limit and the newest line, always
// begins with a whole line, and holds at least the newest three quarters of the limit.
TEST(LogFile, ALongRunStaysWithinTheLimitAndKeepsTheNewestLines) {
  TempDir dir;
  const std::string path = dir.file("quelma.log");
  std::string all;
  for (int i = 0; i < 3000; ++i) {
    const std::string line = "line " + std::to_string(i) + std::string(static_cast<std::size_t>(i % 50), '.') + "\r\n";
    ASSERT_TRUE(AppendLogLine(path, line, 4));
    all += line;
    const std::string file = ReadAll(path);
    ASSERT_LE(file.size(), 4096 + line.size()) << "after line " << i;
    ASSERT_TRUE(all.ends_with(file)) << "after line " << i;
    ASSERT_TRUE(file.size() == all.size() || all[all.size() - file.size() - 1] == '\n') << "after line " << i;
    ASSERT_GE(file.size(), std::min<std::size_t>(all.size(), LogKeptAfterTrim(4096) - 60)) << "after line " << i;
  }
}

TEST(LogFile, NoLineFeedAfterTheCutEmptiesTheFile) {
  TempDir dir;
  const std::string path = dir.file("quelma.log");
  WriteAll(path, std::string(10, 'x') + "\n" + std::string(5000, 'y'));
  ASSERT_TRUE(AppendLogLine(path, "new\r\n", 4));
  EXPECT_EQ(ReadAll(path), "new\r\n");
}

TEST(LogFile, SizeZeroWritesNothingAndSmallFilesGrow) {
  TempDir dir;
  const std::string path = dir.file("quelma.log");
  EXPECT_FALSE(AppendLogLine(path, "x\r\n", 0));
  EXPECT_EQ(ReadAll(path), "<missing>");
  EXPECT_TRUE(AppendLogLine(path, "one\r\n", 4));
  EXPECT_TRUE(AppendLogLine(path, "two\r\n", 4));
  EXPECT_EQ(ReadAll(path), "one\r\ntwo\r\n");
  ClearLogFile(path);
  EXPECT_EQ(ReadAll(path), "");
  ClearLogFile(dir.file("other.log"));
  EXPECT_EQ(ReadAll(dir.file("other.log")), "<missing>");
  EXPECT_FALSE(AppendLogLine(dir.file("no-dir/quelma.log"), "x\r\n", 4));
}

}  // namespace
}  // namespace quelma::link
