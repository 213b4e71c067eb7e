// The watch on a real spool: an alert reaches the postmaster's maildrop once, is not sent
// again on the same day (a restart included), again a day later, and its end is told; the
// space kept for alerts lets one through when the disk refuses the first write.
#include "app/alert_watch.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>

#include "codec/encoded_words.h"
#include "config/config_store.h"
#include "platform/file_faults.h"
#include "spool/queue_file.h"
#include "status/status_file.h"
#include "support/recorded_log.h"
#include "support/spool_directories.h"

namespace quelma::app {
namespace {

constexpr std::int64_t kHour = 3600;

struct Fixture {
  testing::SpoolDirectories spool;
  testing::RecordedLog log;
  std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
  std::unique_ptr<config::ConfigStore> store;
  std::unique_ptr<status::StatusBoard> board;
  std::unique_ptr<AlertWatch> watch;

  Fixture() {
    config::Configuration c = spool.config;
    c.LocalDomain = "office.ru";
    c.PostMaster = "postmaster";
    c.users = {{"postmaster", "pm", ""}};
    c.ALERT_DISK_MB = 0;  // the test machine's disk is what it is
    store = std::make_unique<config::ConfigStore>(std::move(c));
    restart();
  }
  // A new program on the same directory: the board carries on from the status file.
  void restart() {
    watch.reset();
    board = std::make_unique<status::StatusBoard>(spool.dir.path(), "test", 1, [this] { return now; });
    if (const auto previous = status::ReadStatusFile(spool.dir.path())) board->carryOn(*previous);
    watch = std::make_unique<AlertWatch>(AlertWatchContext{*store, spool.dir.path(), *board, log.log, log.clock, {}, {}, {}, [this] { return now; }});
  }
  std::string postmaster() const { return testing::ReadAll(spool.config.MailDropDir + "postmaster"); }
  std::size_t messages() const {
    const std::string all = postmaster();
    std::size_t n = 0;
    for (std::size_t at = all.find("Subject: [Quelmar] "); at != std::string::npos; at = all.find("Subject: [Quelmar] ", at + 1)) ++n;
    return n;
  }
  // A message handed in `age` ago waits in the queue.
  std::string queueFile(std::int64_t age) {
    const std::string path = spool.config.QueueDir + spool::QueueFileName(77);
    testing::WriteAll(path, "MAIL FROM:<a@office.ru>\r\nRCPT TO:<b@example.org>\r\nDATA\r\nSubject: x\r\n\r\nx\r\n.\r\n");
    const auto when = std::chrono::system_clock::from_time_t(static_cast<std::time_t>(now - age));
    std::filesystem::last_write_time(path, std::chrono::file_clock::from_sys(when));
    return path;
  }
};

TEST(AlertWatch, AQueueMessageTooOldIsToldOnceADayAndItsEndToo) {
  Fixture f;
  const std::string queued = f.queueFile(25 * kHour);
  f.watch->check();
  ASSERT_EQ(f.messages(), 1u) << f.log.transcript();
  const std::string mail = f.postmaster();
  EXPECT_NE(mail.find("From: \"office.ru Quelmar Mail Server\" <MAILER-DAEMON@office.ru>"), std::string::npos) << mail;
  const std::size_t subject = mail.find("Subject: ");
  EXPECT_EQ(codec::DecodeHeaderValue(mail.substr(subject + 9, mail.find("\r\n", subject) - subject - 9)),
            "[Quelmar] письма долго ждут отправки");
  EXPECT_NE(mail.find("В очереди 1 писем ждут отправки"), std::string::npos);
  EXPECT_NE(mail.find("Message-ID: <"), std::string::npos);
  EXPECT_NE(f.log.transcript().find("SYSTEM> Предупреждение постмастеру: письма долго ждут отправки"), std::string::npos)
      << f.log.transcript();

  f.now += 60;
  f.watch->check();
  f.now += 2 * kHour;
  f.restart();  // the status file keeps when it was sent
  f.watch->check();
  EXPECT_EQ(f.messages(), 1u) << "nothing twice in a day";
  const auto written = status::ReadStatusFile(f.spool.dir.path());
  ASSERT_TRUE(written && written->alerts.size() == 1);
  EXPECT_EQ(written->alerts[0].condition, "queue");
  EXPECT_NE(written->alerts[0].sentAt, 0);

  f.now += 22 * kHour;
  f.watch->check();
  EXPECT_EQ(f.messages(), 2u) << "a day after the last one";

  std::filesystem::remove(queued);
  f.now += 60;
  f.watch->check();
  EXPECT_EQ(f.messages(), 3u);
  EXPECT_NE(f.postmaster().find("Больше не актуально"), std::string::npos);
  EXPECT_NE(f.log.transcript().find("SYSTEM> Предупреждение снято, все в порядке: письма долго ждут отправки"),
            std::string::npos);
  EXPECT_TRUE(status::ReadStatusFile(f.spool.dir.path())->alerts.empty());
}

TEST(AlertWatch, TheKeptSpaceLetsTheAlertThroughWhenTheDiskRefuses) {
  Fixture f;
  f.watch->check();  // nothing wrong: the space is kept
  const std::string reserve = f.spool.config.MailDropDir + kAlertReserveFile;
  ASSERT_EQ(platform::FileSize(reserve).value_or(0), kAlertReserveBytes);
  f.queueFile(30 * kHour);
  {
    platform::FileFaultInjection faults;
    faults.failCall(platform::FileStep::kWrite, 1);  // the disk is full for the first try
    f.now += 60;
    f.watch->check();
    EXPECT_TRUE(faults.fired());
  }
  EXPECT_EQ(f.messages(), 1u) << f.log.transcript();
  EXPECT_EQ(platform::FileSize(reserve).value_or(0), kAlertReserveBytes) << "kept again once there was room";
}

TEST(AlertWatch, AnUndeliverableAlertIsToldInTheLogOnceAndTriedAgain) {
  Fixture f;
  config::Configuration c = *f.store->current();
  c.PostMaster = "nobody-here";
  c.MailDropDir = f.spool.dir.file("missing") + platform::kPathSeparator;
  f.store->publish(std::move(c));
  f.queueFile(30 * kHour);
  f.watch->check();
  f.now += 60;
  f.watch->check();
  const std::string log = f.log.transcript();
  std::size_t told = 0;
  for (std::size_t at = log.find("Не удалось положить предупреждение"); at != std::string::npos;
       at = log.find("Не удалось положить предупреждение", at + 1)) {
    ++told;
  }
  EXPECT_EQ(told, 1u) << log;
  EXPECT_EQ(status::ReadStatusFile(f.spool.dir.path())->alerts.at(0).sentAt, 0) << "still to be sent";
}

}  // namespace
}  // namespace quelma::app
