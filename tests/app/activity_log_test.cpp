// Log lines: exact format per source, muting at shutdown, Winsock error names, the log file.
#include <gtest/gtest.h>

#include "app/activity_log.h"
#include "app/log_file.h"
#include "support/fake_clock.h"
#include "support/recording_main_window.h"
#include "support/temp_dir.h"

namespace quelma::app {
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

TEST(LogFile, TrimsToTheLimitAtALineStart) {
  TempDir dir;
  const std::string path = dir.file("quelma.log");
  // 4,200 bytes whose first line feed at or after offset 104 is at offset 149.
  std::string content = std::string(149, 'a') + "\n";
  content += std::string(4200 - content.size() - 1, 'b') + "\n";
  WriteAll(path, content);
  ASSERT_TRUE(AppendLogLine(path, "new\r\n", 4));
  EXPECT_EQ(ReadAll(path), content.substr(150) + "new\r\n");
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
}  // namespace quelma::app
