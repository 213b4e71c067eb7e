// A message handed in while one file step fails, at every step: a message answered 250 is in
// every place once after a restart, one that was refused in all of them or in none, nothing
// torn and no work file left; the next message is taken whatever the failure left.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "platform/files.h"
#include "smtp_server/message_intake.h"
#include "spool/delivery.h"
#include "spool/maildrop.h"
#include "spool/queue_file.h"
#include "support/file_faults.h"
#include "support/spool_directories.h"

namespace quelma::smtp_server {
namespace {

using quelma::testing::ReadAll;

struct Office : testing::SpoolDirectories {
  Office() {
    config.PostMaster = "postmaster";
    config.Boss = "boss";
    config.users = {{"postmaster", "", ""}, {"ivan", "", ""}, {"petr", "", ""}, {"boss", "", ""}};
  }
};

std::string Text(int n) { return "Subject: number " + std::to_string(n) + "\r\n\r\nbody " + std::to_string(n) + "\r\n"; }
std::string BossCopy(int n) {
  return "Subject: number " + std::to_string(n) + " [BOSS COPY]\r\n\r\nbody " + std::to_string(n) + "\r\n";
}

// True when the message was answered 250; `unfinished` gets what its delivery left to recovery.
bool HandIn(const config::Configuration& config, const Envelope& envelope, int n, std::string* unfinished = nullptr) {
  MessageIntake intake(config, envelope);
  intake.begin();
  const std::string text = Text(n);
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find("\r\n", at) + 2;
    intake.addPiece(std::string_view(text).substr(at, end - at));
    at = end;
  }
  intake.addPiece(".\r\n");
  const auto stored = intake.finish();
  if (!stored) {
    EXPECT_FALSE(intake.failure().empty()) << "a refusal names the file and the reason";
  }
  if (unfinished) *unfinished = intake.unfinished();
  return stored.has_value();
}

// How often message `n` is in each of its places, after checking that every place holds
// whole messages only.
std::vector<int> Copies(const Office& o, const Envelope& envelope, int n) {
  std::vector<int> counts;
  for (const std::string user : {"ivan", "petr", "boss"}) {
    const bool addressed = std::find(envelope.local.begin(), envelope.local.end(), user) != envelope.local.end();
    if (!addressed && user != "boss") continue;
    const std::string drop = ReadAll(o.config.MailDropDir + user);
    int count = 0;
    std::size_t at = 0;
    while (drop != "<missing>" && at < drop.size()) {
      EXPECT_EQ(drop.compare(at, spool::kMaildropMarker.size(), spool::kMaildropMarker), 0) << user << ": " << drop;
      const std::size_t text = drop.find("\r\n", at) + 2;
      const std::size_t next = std::min(drop.find(spool::kMaildropMarker, text), drop.size());
      const std::string message = drop.substr(text, next - text);
      const bool whole = message == Text(1) || message == Text(2) || message == BossCopy(1) || message == BossCopy(2);
      EXPECT_TRUE(whole) << user << " holds a torn message: " << message;
      count += message == (user == "boss" ? BossCopy(n) : Text(n));
      at = next;
    }
    counts.push_back(count);
  }
  if (!envelope.outgoing.empty()) {
    int queued = 0;
    const std::string expected = spool::FormatEnvelope(envelope.sender, envelope.outgoing) + Text(n);
    for (const auto& name : spool::ListQueueFiles(o.config.QueueDir)) queued += ReadAll(o.config.QueueDir + name) == expected;
    counts.push_back(queued);
  }
  return counts;
}

TEST(IntakeFaults, EveryFileStepFailing) {
  const struct {
    const char* name;
    Envelope envelope;
  } cases[] = {
      {"local and outgoing", {true, "a@b.ru", {"far@example.com"}, {"ivan", "petr"}}},
      {"local only", {true, "a@b.ru", {}, {"ivan"}}},
      {"outgoing only", {true, "a@b.ru", {"far@example.com"}, {}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int acknowledged = 0, refused = 0;
    const int injected = testing::FailEveryFileStep([&](testing::FaultWindow& faults) {
      Office o;
      faults.open();
      std::string unfinished;
      const bool first = HandIn(o.config, c.envelope, 1, &unfinished);
      faults.close();
      if (first) {
        EXPECT_EQ(testing::UnfinishedJournals(o.config.MailDropDir).empty(), unfinished.empty())
            << "a journal kept for recovery is told in the log";
      }
      if (faults.failing()) (first ? acknowledged : refused) += 1;
      EXPECT_TRUE(HandIn(o.config, c.envelope, 2)) << "the next delivery finishes or undoes what the failure left";
      ASSERT_TRUE(o.restart(&unfinished));
      EXPECT_EQ(unfinished, "");
      const auto ones = Copies(o, c.envelope, 1);
      const auto twos = Copies(o, c.envelope, 2);
      EXPECT_EQ(twos, std::vector<int>(twos.size(), 1));
      if (first) {
        // A maildrop that cannot be opened is skipped, as the office has always had it: one
        // copy missing then, the others there.
        const bool skipped = faults.step() == platform::FileStep::kCreate && std::count(ones.begin(), ones.end(), 0) == 1 &&
                             std::count(ones.begin(), ones.end(), 1) + 1 == static_cast<long>(ones.size());
        EXPECT_TRUE(skipped || ones == std::vector<int>(ones.size(), 1))
            << "acknowledged: once in every place " << ::testing::PrintToString(ones);
      } else {
        // Refused: in no place, or (a commit record whose directory could not be synced) in all.
        const int all = ones.front();
        EXPECT_TRUE(all <= 1 && ones == std::vector<int>(ones.size(), all)) << ::testing::PrintToString(ones);
      }
      EXPECT_EQ(testing::UnfinishedJournals(o.config.MailDropDir), std::vector<std::string>{});
      EXPECT_EQ(platform::ListDirectory(o.config.QueueDir, "*.tmp"), std::vector<std::string>{});
    });
    EXPECT_GT(injected, 15);  // fewer on Windows, whose renames have no directory to sync
    EXPECT_GT(refused, 10) << "most failures refuse the message";
    EXPECT_GT(acknowledged, 0) << "a failure after the commit does not";
    std::printf("[ intake, %s: %d faults injected, %d acknowledged, %d refused ]\n", c.name, injected, acknowledged,
                refused);
  }
}

}  // namespace
}  // namespace quelma::smtp_server
