// One text through every reader on its way: lines of every length around each reader's limit
// (the sorter's 998-byte pieces, the intake's 1199, the POP3 client's 2000-byte receives, the
// 64 KiB pieces of files and sends), "From " lines and a line that begins with the separator
// marker. Every copy must hold the text as it came; the marker line alone gets ">" in front,
// and the upload breaks lines over SMTP's 1,000 bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <string_view>

#include "net/protocol_line_reader.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "pop3_client/pop3_client_session.h"
#include "sorting/sort_downloaded_mail.h"
#include "pop3_server/pop3_session.h"
#include "smtp_client/provider_session.h"
#include "smtp_server/message_intake.h"
#include "spool/download_files.h"
#include "spool/maildrop.h"
#include "support/recorded_log.h"
#include "support/scripted_stream.h"
#include "support/spool_directories.h"
#include "support/string_sink.h"
#include "support/temp_dir.h"

namespace quelma {
namespace {

using testing::ReadAll;
using testing::WriteAll;

const std::string kMarkerLine = std::string(spool::kMaildropMarker) + " not a separator\r\n";

std::string TextWithEveryLength() {
  std::string text = "Subject: lengths\r\n\r\nFrom the desk of Ivan\r\n" + kMarkerLine + ".a dot\r\n";
  for (const std::size_t n : {996, 997, 998, 999, 1197, 1198, 1199, 1200, 1201, 1497, 1498, 1499, 1500, 1994, 1995,
                              1996, 1997, 65534, 65535, 65536, 65537, 65538}) {
    const std::string head = std::to_string(n) + ":";
    text += head + std::string(n - head.size(), n % 2 ? 'x' : '.') + "\r\n";
    text += "." + std::string(n - 1, 'd') + "\r\n";  // the same length beginning with a dot
  }
  return text + "end\r\n";
}

// What a maildrop copy holds of the text.
std::string Stored(const std::string& text) {
  std::string stored = text;
  stored.replace(stored.find(kMarkerLine), kMarkerLine.size(), ">" + kMarkerLine);
  return stored;
}

// The transfer form: every line that begins with a dot gets another, and the end line.
std::string Stuffed(const std::string& text) {
  std::string out;
  bool lineStart = true;
  for (const char c : text) {
    if (lineStart && c == '.') out.push_back('.');
    out.push_back(c);
    lineStart = c == '\n';
  }
  return out;
}

// Text in transfer form as the upload sends it: no line longer than 998 bytes before its
// CR LF; the rest of a longer one follows on lines of a space and at most 997 bytes.
std::string BrokenForSmtp(const std::string& wire) {
  std::string out;
  for (std::size_t start = 0; start < wire.size();) {
    const std::size_t end = wire.find("\r\n", start);
    std::string_view line(wire.data() + start, end - start);
    for (std::size_t room = 998; !line.empty(); room = 997) {
      if (room == 997) out += "\r\n ";
      out.append(line.substr(0, room));
      line.remove_prefix(std::min(room, line.size()));
    }
    out += "\r\n";
    start = end + 2;
  }
  return out;
}

struct Spool : testing::RecordedLog, testing::SpoolDirectories {
  Spool() {
    config.LocalDomain = "office.ru";
    config.PostMaster = "postmaster";
    config.users = {{"postmaster", "", ""}, {"ivan", "", ""}};
  }
  std::string copyOf(const std::string& user) {
    const std::string drop = ReadAll(config.MailDropDir + user);
    return drop.substr(drop.find("\r\n") + 2);  // after the separator line
  }
};

TEST(LineLengths, HandedInThroughTheIntakeInEveryPieceSize) {
  const std::string text = TextWithEveryLength();
  const std::string wire = Stuffed(text) + ".\r\n";
  for (const std::size_t receive : {std::size_t{1200}, std::size_t{997}, std::size_t{65536}}) {
    SCOPED_TRACE("receives of " + std::to_string(receive));
    Spool s;
    smtp_server::Envelope envelope{true, "a@b.ru", {"far@example.com"}, {"ivan"}};
    smtp_server::MessageIntake intake(s.config, envelope);
    ASSERT_TRUE(intake.begin());
    std::size_t at = 0;
    net::ProtocolLineReader reader(
        [&](char* buffer, std::size_t capacity) {
          const std::size_t n = std::min({capacity, receive, wire.size() - at});
          wire.copy(buffer, n, at);
          at += n;
          return static_cast<long>(n);
        },
        s.clock, 1199, receive);
    bool ended = false;
    while (!ended) {
      const auto piece = reader.nextPiece(smtp_server::kMaxStoredLine);
      ASSERT_TRUE(piece.has_value());
      ended = intake.addPiece(*piece);
    }
    const auto stored = intake.finish();
    ASSERT_TRUE(stored.has_value());
    EXPECT_TRUE(s.copyOf("ivan") == Stored(text)) << "the maildrop copy";
    EXPECT_TRUE(ReadAll(s.config.QueueDir + stored->name) == "MAIL FROM:<a@b.ru>\r\nRCPT TO:<far@example.com>\r\n" + text)
        << "the queue file";
  }
}

TEST(LineLengths, UploadedToTheProvider) {
  const std::string text = TextWithEveryLength();
  Spool s;
  WriteAll(s.dir.file("queued"), "MAIL FROM:<a@b.ru>\r\nRCPT TO:<far@example.com>\r\n" + text);
  std::string data;
  bool inData = false;
  testing::ScriptedStream stream("220 hi\r\n", [&](const std::string& line) -> std::optional<std::string> {
    if (inData && line != ".\r\n") {
      data += line;
      return std::nullopt;
    }
    inData = line == "DATA\r\n";
    return inData ? "354 go\r\n" : "250 ok\r\n";
  });
  smtp_client::ProviderSession session(stream, s.config, s.log);
  ASSERT_EQ(session.logIn(), smtp_client::SmtpClientError::kNone);
  auto file = platform::InputFile::Open(s.dir.file("queued"));
  ASSERT_TRUE(file.has_value());
  EXPECT_EQ(session.sendQueueFile(*file), smtp_client::TransactionResult::kSent);
  const std::string expected = "Subject: lengths\r\n" + std::string(smtp_client::kTraceHeader) + "\r\n" +
                               BrokenForSmtp(Stuffed(text.substr(text.find("\r\n\r\n") + 4)));
  EXPECT_TRUE(data == expected) << "the text on the wire, with the trace header, dot-stuffed, long lines broken";
  EXPECT_TRUE(ReadAll(s.dir.file("queued")) == "MAIL FROM:<a@b.ru>\r\nRCPT TO:<far@example.com>\r\n" + text)
      << "the queue file stays whole";
}

TEST(LineLengths, DownloadedCollectedAndSorted) {
  const std::string text = TextWithEveryLength();
  for (const std::size_t piece : {std::size_t{2000}, std::size_t{997}, std::size_t{1} << 20}) {
    SCOPED_TRACE("pieces of " + std::to_string(piece));
    Spool s;
    testing::ScriptedStream stream("+OK ready\r\n", [&](const std::string& line) -> std::optional<std::string> {
      if (line.starts_with("stat")) return "+OK 1 " + std::to_string(text.size()) + "\r\n";
      if (line.starts_with("capa")) return "+OK\r\nPIPELINING\r\n.\r\n";
      if (line.starts_with("list")) return "+OK\r\n1 " + std::to_string(text.size()) + "\r\n.\r\n";
      if (line.starts_with("retr")) return "+OK\r\n" + Stuffed(text) + ".\r\n";
      return "+OK\r\n";
    });
    stream.pieceSize = piece;
    const config::ProviderAccount account{"pop.test", "login", "x", 110, "ivan", 0, {}, {}, {}, {}};
    pop3_client::Pop3ClientSession session(stream, account, s.dir.path(), s.log, s.window);
    ASSERT_EQ(session.run(), pop3_client::Pop3ClientError::kNone);
    s.config.accounts = {account};
    sorting::SorterFile sorter(sorting::SorterFilePath(s.dir.path()));
    ASSERT_EQ(sorting::SortDownloadedMail({s.config, sorter, s.log, s.dir.path()}),
              sorting::SortResult::kSorted);
    EXPECT_TRUE(s.copyOf("ivan") == Stored(text));
  }
}

TEST(LineLengths, RetrievedFromTheMaildrop) {
  const std::string text = TextWithEveryLength();
  Spool s;
  ASSERT_EQ(spool::AppendToMaildrop(s.config.MailDropDir + "ivan", spool::NewSeparatorLine(), text, false),
            spool::AppendResult::kAppended);
  auto config = std::make_shared<config::Configuration>(s.config);
  testing::StringSink sink;
  pop3_server::Pop3Session session(config, s.log, sink);
  for (const char* line : {"USER ivan\r\n", "PASS x\r\n", "RETR 1\r\n"}) ASSERT_TRUE(session.handleLine(line));
  const std::string status = "+OK message text follows\r\n";
  const std::size_t start = sink.text.find(status) + status.size();
  EXPECT_TRUE(sink.text.substr(start) == Stuffed(Stored(text)) + ".\r\n");
}

}  // namespace
}  // namespace quelma
