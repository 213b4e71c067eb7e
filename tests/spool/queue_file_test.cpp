// Queue files: which names the reader takes, how it reads the envelope, fresh names.
#include <gtest/gtest.h>

#include "platform/byte_source.h"
#include "platform/files.h"
#include "spool/queue_file.h"
#include "support/temp_dir.h"

namespace quelma::spool {
namespace {

using quelma::testing::ReadAll;
using quelma::testing::TempDir;
using quelma::testing::WriteAll;

TEST(QueueFile, OnlyEightHexDigitsAreQueueFiles) {
  TempDir dir;
  for (const char* name : {"0000ABCD", "deadbeef", "0000ABC", "0000ABCDE", "0000ABCD.tmp", "smtps.tmp", "0000ABCG"}) {
    WriteAll(dir.file(name), "x");
  }
  EXPECT_EQ(ListQueueFiles(dir.path()), (std::vector<std::string>{"0000ABCD", "deadbeef"}));
  EXPECT_EQ(QueueFileName(0x00501335u), "00501335");
  EXPECT_EQ(QueueFileName(0xFFFFFFFFu), "FFFFFFFF");
}

TEST(QueueFile, PublishingNeverReplacesAnEarlierFile) {
  TempDir dir;
  WriteAll(dir.file("00000010"), "earlier");
  WriteAll(dir.file("work"), "new");
  EXPECT_EQ(PublishQueueFile(dir.file("work"), dir.path(), 0x10), "00000011");
  EXPECT_EQ(ReadAll(dir.file("00000010")), "earlier");
  EXPECT_EQ(ReadAll(dir.file("00000011")), "new");
  EXPECT_FALSE(platform::FileExists(dir.file("work")));
}

TEST(QueueFile, TheReadersViewOfTheEnvelope) {
  struct Case {
    std::string file;
    QueueFileKind kind;
    std::string sender;
    std::size_t recipients;
    std::size_t messageOffset;
  };
  const std::string envelope = FormatEnvelope("a@b.ru", {"x@y.ru", "z@w.ru"});
  const Case cases[] = {
      {envelope + "Subject: s\r\n\r\nbody\r\n", QueueFileKind::kMessage, "a@b.ru", 2, envelope.size()},
      {"MAIL FROM:<>\r\nSubject: s\r\n", QueueFileKind::kMessage, "", 0, 14},
      {"", QueueFileKind::kEmpty, "", 0, 0},
      {"RCPT TO:<x@y.ru>\r\nMAIL FROM:<a@b.ru>\r\n", QueueFileKind::kNotAMessage, "", 0, 0},
      {envelope + "From someone\r\nRCPT TO:<late@y.ru>\r\ntext\r\n", QueueFileKind::kMessage, "a@b.ru", 3,
       envelope.size() + 14 + 21},
      {"mail from:<a@b.ru>\r\nRCPT TO:<x@y.ru>\r\n", QueueFileKind::kMessage, "a@b.ru", 0, 0},
  };
  for (const auto& c : cases) {
    platform::StringSource source(c.file);
    QueueEnvelope e;
    EXPECT_EQ(ReadQueueEnvelope(source, e), c.kind) << c.file;
    if (c.kind != QueueFileKind::kMessage) continue;
    EXPECT_EQ(e.sender, c.sender) << c.file;
    EXPECT_EQ(e.recipientLines.size(), c.recipients) << c.file;
    EXPECT_EQ(e.messageOffset, c.messageOffset) << c.file;
  }
}

}  // namespace
}  // namespace quelma::spool
