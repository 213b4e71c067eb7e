// The main window's handling: log lines to file and view, exit codes, the shutdown wait.
#include <gtest/gtest.h>

#include <thread>

#include "app/main_window_procedure.h"
#include "support/temp_dir.h"

namespace quelma::app {
namespace {

using quelma::testing::ReadAll;
using quelma::testing::TempDir;

struct RecordingView final : LogView {
  std::vector<std::pair<link::LogSource, std::string>> shown;
  void showLine(link::LogSource source, std::string_view line) override { shown.emplace_back(source, line); }
};

struct Fixture {
  TempDir dir;
  config::ConfigStore store;
  link::ServerControl control;
  RecordingView view;
  int pumps = 0;
  MainWindowProcedure procedure{dir.file("quelma.log"), store, control, view, [this] { ++pumps; }};

  explicit Fixture(std::uint32_t logKilobytes = 4) {
    config::Configuration c;
    c.LogFileSize = logKilobytes;
    store.publish(c);
  }
  void line(link::LogSource source, const std::string& text) {
    procedure.handle(link::UM_LOG_LINE, static_cast<std::uintptr_t>(source), reinterpret_cast<std::intptr_t>(&text));
  }
};

TEST(MainWindowProcedure, LogLinesGoToTheFileWholeAndToTheViewWithoutCrLf) {
  Fixture f;
  f.line(link::LogSource::kDialer, "05 Dec 2001 14:03:07 DIALER> x\r\n");
  EXPECT_EQ(ReadAll(f.dir.file("quelma.log")), "05 Dec 2001 14:03:07 DIALER> x\r\n");
  ASSERT_EQ(f.view.shown.size(), 1u);
  EXPECT_EQ(f.view.shown[0].first, link::LogSource::kDialer);
  EXPECT_EQ(f.view.shown[0].second, "05 Dec 2001 14:03:07 DIALER> x");

  Fixture noFile(0);
  noFile.line(link::LogSource::kPop3Srv, "y\r\n");
  EXPECT_EQ(ReadAll(noFile.dir.file("quelma.log")), "<missing>");
  EXPECT_EQ(noFile.view.shown.size(), 1u) << "LogFileSize 0 still shows the line";
}

TEST(MainWindowProcedure, ExitCodes) {
  const std::pair<unsigned, int> cases[] = {{link::kWmClose, 0}, {link::UM_SHUTDOWN, 1}};
  for (const auto& [message, code] : cases) {
    Fixture f;
    EXPECT_FALSE(f.procedure.exitCode());
    f.procedure.handle(message, 0, 0);
    EXPECT_EQ(f.procedure.exitCode(), code);
    EXPECT_TRUE(f.control.pop3Srv.stopRequest);
    EXPECT_TRUE(f.control.smtpSrv.stopRequest);
    f.procedure.handle(link::UM_SHUTDOWN, 0, 0);
    EXPECT_EQ(f.procedure.exitCode(), code) << "a second request changes nothing";
  }
  Fixture menu;
  menu.procedure.handle(link::kWmCommand, link::kCommandExit, 0);
  EXPECT_EQ(menu.procedure.exitCode(), 0);
}

TEST(MainWindowProcedure, ShutdownWaitsForBothServersAndKeepsHandlingMessages) {
  Fixture f;
  f.control.pop3Srv.stopped = false;
  f.control.smtpSrv.stopped = false;
  std::thread servers([&] {
    while (!f.control.pop3Srv.stopRequest) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    f.control.pop3Srv.stopped = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    f.control.smtpSrv.stopped = true;
  });
  f.procedure.handle(link::kWmClose, 0, 0);
  servers.join();
  EXPECT_EQ(f.procedure.exitCode(), 0);
  EXPECT_GT(f.pumps, 0) << "messages are handled while waiting";
}

TEST(MainWindowProcedure, AServerThatNeverStopsDoesNotHoldTheProgramForever) {
  TempDir dir;
  config::ConfigStore store;
  link::ServerControl control;
  RecordingView view;
  MainWindowProcedure procedure{dir.file("quelma.log"), store, control, view, [] {}, std::chrono::milliseconds(50)};
  control.smtpSrv.stopped = false;
  procedure.handle(link::UM_SHUTDOWN, 0, 0);
  EXPECT_EQ(procedure.exitCode(), 1);
}

}  // namespace
}  // namespace quelma::app
