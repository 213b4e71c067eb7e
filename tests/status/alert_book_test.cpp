// When the postmaster hears of a condition: at once, again a day after the last telling, and
// once more when it ends; an event each time it happens; nothing twice in a day, across a
// restart too (the book starts from what the file kept).
#include "status/alert_book.h"

#include <gtest/gtest.h>

namespace quelma::status {
namespace {

constexpr std::int64_t kDay = kAlertRepeatSeconds;

AlertCondition Disk() { return {"disk", "мало места", "Свободно 3 МБ\r\n", 0, false}; }

std::string Steps(const std::vector<AlertStep>& steps) {
  std::string out;
  for (const AlertStep& s : steps) {
    out += (s.kind == AlertStep::Kind::kTell ? (s.first ? "new " : "again ") : (s.told ? "cleared+mail " : "cleared ")) +
           s.key + ";";
  }
  return out;
}

TEST(AlertBook, TellsOnceADayWhileItLastsAndOnceWhenItEnds) {
  struct Step {
    std::int64_t at;
    bool present;
    bool delivered;  // the message reached the postmaster
    const char* expected;
  };
  const Step script[] = {
      {1000, true, true, "new disk;"},
      {1060, true, true, ""},                       // a minute later: nothing
      {1000 + kDay - 1, true, true, ""},            // not yet a day
      {1000 + kDay, true, false, "again disk;"},    // a day: told again, but the write failed
      {1060 + kDay, true, true, "again disk;"},     // so it is tried again a minute later
      {1120 + kDay, true, true, ""},
      {1180 + kDay, false, true, "cleared+mail disk;"},
      {1240 + kDay, false, true, ""},
      {1300 + kDay, true, true, "new disk;"},       // back: a new alert
  };
  AlertBook book;
  for (const Step& s : script) {
    const auto steps = book.review(s.present ? std::vector<AlertCondition>{Disk()} : std::vector<AlertCondition>{}, s.at);
    EXPECT_EQ(Steps(steps), s.expected) << "at " << s.at;
    for (const AlertStep& step : steps) {
      if (step.kind == AlertStep::Kind::kTell && s.delivered) book.told(step.key, s.at);
    }
  }
}

TEST(AlertBook, AnAlertNeverToldEndsWithTheLogLineAlone) {
  AlertBook book;
  book.review({Disk()}, 100);  // the message could not be written
  const auto steps = book.review({}, 160);
  ASSERT_EQ(steps.size(), 1u);
  EXPECT_EQ(steps[0].kind, AlertStep::Kind::kCleared);
  EXPECT_FALSE(steps[0].told);
  EXPECT_EQ(steps[0].subject, "мало места");
}

TEST(AlertBook, ARestartCarriesOnFromTheFile) {
  AlertBook first;
  first.review({Disk()}, 5000);
  first.told("disk", 5000);
  AlertBook restarted(first.open());
  EXPECT_EQ(Steps(restarted.review({Disk()}, 5000 + 3600)), "") << "no second message on the same day";
  EXPECT_EQ(restarted.open().at(0).since, 5000);
  EXPECT_EQ(Steps(restarted.review({}, 5000 + 7200)), "cleared+mail disk;");
}

TEST(AlertBook, EventsAreToldEachTimeAndNeverStayOpen) {
  AlertBook book;
  const AlertCondition start{"unclean start", "запуск после аварийной остановки", "...", 0, true};
  EXPECT_EQ(Steps(book.review({start}, 10)), "new unclean start;");
  book.told("unclean start", 10);
  EXPECT_TRUE(book.open().empty());
  EXPECT_EQ(Steps(book.review({}, 70)), "");
}

TEST(AlertBook, ConditionsNotCheckedThisTimeStayAsTheyAre) {
  AlertBook book;
  book.review({Disk()}, 10);
  book.told("disk", 10);
  EXPECT_EQ(Steps(book.review({}, 70, {"disk"})), "");
  EXPECT_EQ(book.open().size(), 1u);
}

TEST(AlertBook, TheTextFollowsTheFiguresAndTheStartStays) {
  AlertBook book;
  AlertCondition queue{"queue", "письма ждут", "3 письма\r\n", 400, false};
  book.review({queue}, 1000);
  book.told("queue", 1000);
  queue.text = "5 писем\r\n";
  book.review({queue}, 1060);
  EXPECT_EQ(book.open().at(0).text, "5 писем\r\n");
  EXPECT_EQ(book.open().at(0).since, 400) << "since when the check knows it, not when it was first seen";
}

}  // namespace
}  // namespace quelma::status
