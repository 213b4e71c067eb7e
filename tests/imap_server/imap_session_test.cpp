// IMAP transcripts: logins, the mailbox commands, FETCH, STORE, COPY and MOVE, APPEND, and
// two sessions of one user seeing each other's changes.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "codec/base64.h"
#include "codec/md5.h"
#include "imap_server/command_reader.h"
#include "imap_server/imap_session.h"
#include "spool/mailbox.h"
#include "spool/mailbox_keeper.h"
#include "spool/maildrop.h"
#include "support/fake_clock.h"
#include "support/recording_main_window.h"
#include "support/string_sink.h"
#include "support/temp_dir.h"

namespace quelma::imap_server {
namespace {

using quelma::testing::StringSink;
using quelma::testing::TempDir;
using quelma::testing::WriteAll;

std::string Sep(const char* id) { return std::string(spool::kMaildropMarker) + " " + id + "\r\n"; }

const std::string kOne = "Subject: one\r\nFrom: Ivan <ivan@office.example>\r\n\r\nbody 1\r\n";
const std::string kTwo = "Subject: two\r\nTo: anna@office.example\r\n\r\nsecond\r\n";
const std::string kThree = "Subject: three\r\n\r\n3\r\n";

struct Fixture {
  TempDir dir;
  testing::RecordingMainWindow window;
  link::ServerControl control;
  testing::FakeClock clock;
  link::ActivityLog log{window, control, clock};
  std::shared_ptr<config::Configuration> config = std::make_shared<config::Configuration>();

  Fixture() {
    config->MailDropDir = dir.path();
    config->QueueDir = dir.path();
    config->Daemon = "daemon";
    config->PLAINTEXT_LOGIN = config::PlaintextLogin::kYes;
    config->users = {{"ivan", "Secret1", ""}, {"open", "", ""}, {"daemon", "", ""}, {"olga", "Пароль-2", ""}};
    WriteAll(dir.file("ivan"), Sep("0000000A") + kOne + Sep("0000000B") + kTwo + Sep("0000000C") + kThree);
  }
  ~Fixture() {
    spool::FinishCompactions();
    spool::Mailbox::ForgetIdle();
  }
};

// A client: commands go in as the wire has them, replies come back as text.
class Client {
 public:
  Client(Fixture& f, ImapSessionOptions options = {})
      : session_(f.config, f.log, sink_, options),
        reader_([this](char* b, std::size_t n) -> long {
                  const std::size_t take = std::min(n, input_.size());
                  std::copy_n(input_.data(), take, b);
                  input_.erase(0, take);
                  return static_cast<long>(take);
                },
                [this](std::string_view soFar) { return session_.literalLimit(soFar); },
                [this] { return sink_.send("+ OK\r\n"); }) {}

  // Sends `text` (CR LF added) and runs every command it holds; the replies.
  std::string send(const std::string& text) {
    input_ += text + "\r\n";
    sink_.text.clear();
    while (!input_.empty() && next_ != ImapSession::Next::kEnd) {
      if (next_ == ImapSession::Next::kAuthenticate) next_ = session_.authenticateLine(*reader_.nextLine());
      else if (next_ == ImapSession::Next::kIdle) next_ = session_.idleLine(*reader_.nextLine());
      else next_ = session_.command(reader_.next());
    }
    return sink_.text;
  }
  // Logged in, without \Recent (IMAP4rev2) unless `rev1`.
  std::string login(bool rev1 = false) {
    const std::string reply = send("l LOGIN ivan secret1");
    return rev1 ? reply : reply + send("e ENABLE IMAP4rev2");
  }
  bool ended() const { return next_ == ImapSession::Next::kEnd; }
  ImapSession::Next next() const { return next_; }
  ImapSession& session() { return session_; }

 private:
  StringSink sink_;
  ImapSession session_;
  std::string input_;
  CommandReader reader_;
  ImapSession::Next next_ = ImapSession::Next::kCommand;
};

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A Cyrillic password as UTF-8 (u8 literals are UTF-8 whatever the sources' execution charset).
std::string Utf8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

std::string CramMd5Answer(const std::string& user, const std::string& key) {
  return codec::Base64Encode(user + " " + codec::DigestToHex(codec::HmacMd5Of("", key)));
}

TEST(ImapSession, Logins) {
  Fixture f;
  const std::string plain = codec::Base64Encode(std::string("\0ivan\0Secret1", 13));
  const std::string olga = Utf8(u8"Пароль-2");
  const struct Case {
    std::vector<std::string> commands;
    std::string last;  // what the reply to the last command holds
    bool fromThisComputer = true;
  } cases[] = {
      {{"a LOGIN ivan wrong"}, "a NO [AUTHENTICATIONFAILED]"},
      {{"a LOGIN nobody x"}, "a NO [AUTHENTICATIONFAILED]"},
      {{"a LOGIN daemon x"}, "a NO [AUTHENTICATIONFAILED]"},
      {{"a LOGIN IVAN SECRET1"}, "a OK [CAPABILITY IMAP4rev1 IMAP4rev2"},
      {{"a LOGIN open anything"}, "a OK [CAPABILITY"},
      {{"a LOGIN open anything"}, "a NO [AUTHENTICATIONFAILED]", false},  // no password: only from here
      {{"a AUTHENTICATE PLAIN " + plain}, "a OK [CAPABILITY"},
      {{"a AUTHENTICATE PLAIN", plain}, "a OK [CAPABILITY"},
      {{"a AUTHENTICATE PLAIN", "*"}, "a BAD"},
      {{"a AUTHENTICATE PLAIN", "%%%"}, "a BAD"},
      {{"a AUTHENTICATE KERBEROS_V4"}, "a NO"},
      {{"a SELECT INBOX"}, "a BAD Command not allowed before login"},
      {{"a LOGIN ivan secret1", "b LOGIN ivan secret1"}, "b BAD"},
      // A Cyrillic password: as Windows-1251 (older programs) or as UTF-8 (phones, PLAIN).
      {{"a LOGIN olga \"Пароль-2\""}, "a OK [CAPABILITY"},
      {{"a LOGIN olga {" + std::to_string(olga.size()) + "+}\r\n" + olga}, "a OK [CAPABILITY"},
      {{"a LOGIN olga {" + std::to_string(olga.size()) + "+}\r\n" + Utf8(u8"ПАРОЛЬ-2")}, "a NO [AUTHENTICATIONFAILED]"},
      {{"a LOGIN olga \"Пароль-\""}, "a NO [AUTHENTICATIONFAILED]"},
      {{"a AUTHENTICATE PLAIN " + codec::Base64Encode(std::string("\0olga\0", 6) + olga)}, "a OK [CAPABILITY"},
      {{"a AUTHENTICATE CRAM-MD5", CramMd5Answer("olga", olga)}, "a OK [CAPABILITY"},
      {{"a AUTHENTICATE CRAM-MD5", CramMd5Answer("olga", "Пароль-2")}, "a OK [CAPABILITY"},
      {{"a AUTHENTICATE CRAM-MD5", CramMd5Answer("olga", Utf8(u8"Пароль-3"))}, "a NO [AUTHENTICATIONFAILED]"},
  };
  for (const Case& c : cases) {
    ImapSessionOptions options;
    options.fromThisComputer = c.fromThisComputer;
    Client client(f, options);
    std::string reply;
    for (const std::string& command : c.commands) reply = client.send(command);
    EXPECT_TRUE(Has(reply, c.last)) << c.commands[0] << "\n" << reply;
  }
}

TEST(ImapSession, SelectFetchStoreExpunge) {
  Fixture f;
  Client client(f);
  client.login();
  const std::string selected = client.send("s SELECT inbox");
  EXPECT_TRUE(Has(selected, "* 3 EXISTS\r\n")) << selected;
  EXPECT_TRUE(Has(selected, "* OK [UIDNEXT 4]")) << selected;
  EXPECT_TRUE(Has(selected, "s OK [READ-WRITE]")) << selected;

  const std::string sizes = client.send("f FETCH 1:* (UID RFC822.SIZE FLAGS)");
  EXPECT_TRUE(Has(sizes, "* 2 FETCH (UID 2 RFC822.SIZE " + std::to_string(kTwo.size()) + " FLAGS ())")) << sizes;

  const std::string body = client.send("b UID FETCH 2 BODY[]");
  EXPECT_TRUE(Has(body, "* 2 FETCH (UID 2 FLAGS (\\Seen) BODY[] {" + std::to_string(kTwo.size()) + "}\r\n" + kTwo + ")"))
      << body;
  const std::string header = client.send("h FETCH 1 (BODY.PEEK[HEADER.FIELDS (subject)] FLAGS)");
  EXPECT_TRUE(Has(header, "BODY[HEADER.FIELDS (subject)] {16}\r\nSubject: one\r\n\r\n FLAGS ()")) << header;
  const std::string partial = client.send("p FETCH 3 BODY.PEEK[TEXT]<1.1>");
  EXPECT_TRUE(Has(partial, "BODY[TEXT]<1> {1}\r\n\r")) << partial;

  const std::string stored = client.send("t STORE 1,3 +FLAGS (\\Deleted $Work)");
  EXPECT_TRUE(Has(stored, "* FLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft $Work)")) << stored;
  EXPECT_TRUE(Has(stored, "* 1 FETCH (FLAGS (\\Deleted $Work))")) << stored;
  const std::string expunged = client.send("e EXPUNGE");
  EXPECT_TRUE(Has(expunged, "* 1 EXPUNGE\r\n* 2 EXPUNGE\r\ne OK")) << expunged;
  EXPECT_TRUE(Has(client.send("n NOOP"), "n OK")) ;
  const std::string left = client.send("f UID FETCH 1:* FLAGS");
  EXPECT_EQ(left, "* 1 FETCH (UID 2 FLAGS (\\Seen))\r\nf OK Fetch completed.\r\n");

  // A number past the mailbox is an error; a UID past it names nothing.
  EXPECT_TRUE(Has(client.send("x FETCH 5 FLAGS"), "x BAD"));
  EXPECT_TRUE(Has(client.send("y UID FETCH 9:20 FLAGS"), "y OK"));
}

TEST(ImapSession, AppendCopyMoveAndFolders) {
  Fixture f;
  Client client(f);
  client.login();
  EXPECT_TRUE(Has(client.send("c CREATE Projects/2026"), "c OK"));
  EXPECT_TRUE(Has(client.send("c CREATE projects/2026"), "c NO [ALREADYEXISTS]"));
  const std::string appended =
      client.send("a APPEND Projects/2026 (\\Seen $Label) \"08-Dec-2026 21:30:00 +0100\" {12}\r\nSubject: x\r\n");
  EXPECT_TRUE(Has(appended, "+ OK\r\na OK [APPENDUID ")) << appended;
  EXPECT_TRUE(Has(client.send("a APPEND Nowhere {3}\r\nabc"), "a NO [TRYCREATE]"));
  // A binary append keeps its NUL bytes in a base64 part, whole.
  const std::string binary("Content-Transfer-Encoding: binary\r\n\r\n\0\1\2\r\n", 42);
  EXPECT_TRUE(Has(client.send("b APPEND Projects/2026 ~{" + std::to_string(binary.size()) + "}\r\n" + binary), "b OK"));

  const std::string listed = client.send("l LIST \"\" *");
  EXPECT_TRUE(Has(listed, "* LIST (\\HasNoChildren) \"/\" INBOX\r\n")) << listed;
  EXPECT_TRUE(Has(listed, "* LIST (\\HasNoChildren \\Sent) \"/\" Sent\r\n")) << listed;  // from the first login
  EXPECT_TRUE(Has(listed, "* LIST (\\Noselect \\HasChildren) \"/\" Projects\r\n")) << listed;
  EXPECT_TRUE(Has(listed, "* LIST (\\HasNoChildren) \"/\" Projects/2026\r\n")) << listed;

  client.send("s SELECT Projects/2026");
  const std::string fetched = client.send("f FETCH 1 (FLAGS INTERNALDATE BODY[])");
  EXPECT_TRUE(Has(fetched, "FLAGS (\\Seen $Label) INTERNALDATE \"08-Dec-2026 20:30:00 +0000\" BODY[] {12}\r\nSubject: x\r\n"))
      << fetched;

  const std::string decoded = client.send("f FETCH 2 (BODY[TEXT] BINARY[1])");
  EXPECT_TRUE(Has(decoded, "BODY[TEXT] {10}\r\nAAECDQo=\r\n")) << decoded;
  EXPECT_TRUE(Has(decoded, std::string("BINARY[1] ~{5}\r\n\0\1\2\r\n", 20))) << decoded;

  client.send("s SELECT INBOX");
  const std::string copied = client.send("c UID COPY 1:2 Projects/2026");
  EXPECT_TRUE(Has(copied, "c OK [COPYUID ")) << copied;
  EXPECT_TRUE(Has(copied, " 1:2 3:4] Copy completed.")) << copied;
  EXPECT_TRUE(Has(client.send("c CREATE Archive"), "c NO [ALREADYEXISTS]"));
  const std::string moved = client.send("m MOVE 3 Archive");
  EXPECT_TRUE(Has(moved, "* OK [COPYUID ")) << moved;
  EXPECT_TRUE(Has(moved, "* 3 EXPUNGE\r\nm OK Move completed.")) << moved;
  const std::string status = client.send("s STATUS Archive (MESSAGES UIDNEXT UNSEEN)");
  EXPECT_TRUE(Has(status, "* STATUS Archive (MESSAGES 1 UIDNEXT 2 UNSEEN 1)")) << status;

  EXPECT_TRUE(Has(client.send("r RENAME Projects Work"), "r OK"));
  const std::string after = client.send("l LIST \"\" Work/%");
  EXPECT_TRUE(Has(after, "\"/\" Work/2026\r\n")) << after;
  EXPECT_TRUE(Has(client.send("d DELETE Work"), "d NO [CANNOT]"));
  EXPECT_TRUE(Has(client.send("d DELETE Work/2026"), "d OK"));
  EXPECT_TRUE(Has(client.send("d DELETE INBOX"), "d NO"));

  // RENAME of INBOX moves its mail, flags and keywords too, into the new folder; INBOX stays, empty.
  client.send("s SELECT INBOX");
  client.send("t STORE 2 +FLAGS (\\Flagged $Todo)");
  client.send("u UNSELECT");
  EXPECT_TRUE(Has(client.send("r RENAME INBOX Old"), "r OK"));
  EXPECT_TRUE(Has(client.send("s STATUS INBOX (MESSAGES)"), "* STATUS INBOX (MESSAGES 0)"));
  client.send("s SELECT Old");
  const std::string old = client.send("f FETCH 1:* (FLAGS BODY.PEEK[HEADER.FIELDS (SUBJECT)])");
  EXPECT_TRUE(Has(old, "* 2 FETCH (FLAGS (\\Flagged $Todo) BODY[HEADER.FIELDS (SUBJECT)] {16}\r\nSubject: two\r\n\r\n)")) << old;
}

TEST(ImapSession, TwoSessionsSeeEachOther) {
  Fixture f;
  Client phone(f), desktop(f);
  phone.login();
  desktop.login();
  phone.send("s SELECT INBOX");
  desktop.send("s SELECT INBOX");
  phone.send("t STORE 2 +FLAGS (\\Flagged)");
  EXPECT_TRUE(Has(desktop.send("n NOOP"), "* 2 FETCH (FLAGS (\\Flagged))"));
  phone.send("t STORE 1 +FLAGS (\\Deleted)");
  phone.send("e EXPUNGE");
  // No expunge is told during FETCH: numbers must not move under the client.
  const std::string during = desktop.send("f FETCH 1:3 UID");
  EXPECT_FALSE(Has(during, "* 1 EXPUNGE")) << during;
  EXPECT_TRUE(Has(during, "f NO [EXPUNGEISSUED]")) << during;
  EXPECT_TRUE(Has(desktop.send("n NOOP"), "* 1 EXPUNGE"));
  // Mail one session appends shows in the other.
  EXPECT_TRUE(Has(phone.send("a APPEND INBOX {10+}\r\nSubject: 4"), "a OK [APPENDUID"));
  EXPECT_TRUE(Has(desktop.send("n NOOP"), "* 3 EXISTS"));
}

// A client that comes back with what it knew (QRESYNC): the UIDs gone since, and only those
// that existed; UID FETCH's VANISHED the same way.
TEST(ImapSession, QuickResynchronisationTellsWhatVanished) {
  Fixture f;
  Client phone(f), desktop(f);
  phone.login();
  phone.send("s SELECT INBOX");
  const std::string status = phone.send("t STATUS INBOX (UIDVALIDITY HIGHESTMODSEQ)");
  const std::string validity = status.substr(status.find("UIDVALIDITY ") + 12, status.find(' ', status.find("UIDVALIDITY ") + 12) -
                                                                                     status.find("UIDVALIDITY ") - 12);
  phone.send("t STORE 1 +FLAGS (\\Deleted)");
  phone.send("e EXPUNGE");
  desktop.login();
  desktop.send("e ENABLE QRESYNC");
  struct Case {
    std::string command, vanished;  // "" : no VANISHED line at all
    std::string tagged;
  };
  const Case cases[] = {
      {"s SELECT INBOX (QRESYNC (" + validity + " 1))", "* VANISHED (EARLIER) 1\r\n", "s OK [READ-WRITE]"},
      {"s SELECT INBOX (QRESYNC (" + validity + " 1 1:100))", "* VANISHED (EARLIER) 1\r\n", "s OK [READ-WRITE]"},
      {"s SELECT INBOX (QRESYNC (" + validity + " 1 2:3))", "", "s OK [READ-WRITE]"},
      {"s SELECT INBOX (QRESYNC (1 1))", "", "s OK [READ-WRITE]"},  // another UIDVALIDITY: nothing told
      {"f UID FETCH 1:* (FLAGS) (CHANGEDSINCE 1 VANISHED)", "* VANISHED (EARLIER) 1\r\n", "f OK"},
      {"f UID FETCH 1:100 (FLAGS) (CHANGEDSINCE 1 VANISHED)", "* VANISHED (EARLIER) 1\r\n", "f OK"},
      {"f UID FETCH 2:3 (FLAGS) (CHANGEDSINCE 1 VANISHED)", "", "f OK"},
      {"f FETCH 1:2 (FLAGS) (CHANGEDSINCE 1 VANISHED)", "", "f BAD"},
      {"f UID FETCH 1:* (FLAGS) (VANISHED)", "", "f BAD"},
  };
  for (const Case& c : cases) {
    const std::string reply = desktop.send(c.command);
    const auto at = reply.find("* VANISHED");
    EXPECT_EQ(at == std::string::npos ? "" : reply.substr(at, reply.find("\r\n", at) + 2 - at), c.vanished)
        << c.command << "\n" << reply;
    EXPECT_TRUE(Has(reply, c.tagged)) << c.command << "\n" << reply;
    if (c.command.starts_with("f UID") && c.tagged == "f OK") {
      // The vanished UIDs come before the messages' own answers.
      EXPECT_LT(at == std::string::npos ? 0 : at, reply.find("* 1 FETCH")) << reply;
    }
  }
}

// Another session's flag change is told during the next command; during a UID command the
// FETCH response names the UID too, or a client that matches responses by UID cannot place it.
TEST(ImapSession, FlagChangesToldDuringUidCommandsCarryTheUid) {
  const struct {
    const char* command;
    bool condstore;
    const char* told;
  } kCases[] = {
      {"n NOOP", false, "* 2 FETCH (FLAGS (\\Flagged))\r\n"},
      {"f FETCH 1 FLAGS", false, "* 2 FETCH (FLAGS (\\Flagged))\r\n"},
      {"f UID FETCH 1 FLAGS", false, "* 2 FETCH (UID 2 FLAGS (\\Flagged))\r\n"},
      {"s UID SEARCH ALL", false, "* 2 FETCH (UID 2 FLAGS (\\Flagged))\r\n"},
      {"t UID STORE 3 +FLAGS (\\Seen)", false, "* 2 FETCH (UID 2 FLAGS (\\Flagged))\r\n"},
      {"f UID FETCH 1:* (FLAGS) (CHANGEDSINCE 1)", true, "* 2 FETCH (UID 2 FLAGS (\\Flagged) MODSEQ ("},
      {"n NOOP", true, "* 2 FETCH (FLAGS (\\Flagged) MODSEQ ("},
  };
  for (const auto& c : kCases) {
    Fixture f;
    Client phone(f), desktop(f);
    phone.login();
    desktop.login();
    if (c.condstore) desktop.send("e ENABLE CONDSTORE");
    phone.send("s SELECT INBOX");
    desktop.send("s SELECT INBOX");
    phone.send("t STORE 2 +FLAGS (\\Flagged)");
    const std::string told = desktop.send(c.command);
    EXPECT_TRUE(Has(told, c.told)) << c.command << "\n" << told;
    // Told once: the next command has nothing more to say about it.
    EXPECT_FALSE(Has(desktop.send("n NOOP"), "* 2 FETCH")) << c.command;
  }
}

TEST(ImapSession, BoundsAndBadCommands) {
  Fixture f;
  Client client(f);
  client.login();
  const std::string refused = client.send("a APPEND INBOX {99999999999}");
  EXPECT_TRUE(Has(refused, "a NO [TOOBIG]")) << refused;
  EXPECT_FALSE(Has(refused, "+ OK"));
  for (int i = 0; i < kMaxBadCommands - 1; ++i) EXPECT_TRUE(Has(client.send("x FOO"), "x BAD"));
  EXPECT_FALSE(client.ended());
  EXPECT_TRUE(Has(client.send("x FOO"), "* BYE Too many invalid IMAP commands."));
  EXPECT_TRUE(client.ended());
}

}  // namespace
}  // namespace quelma::imap_server
