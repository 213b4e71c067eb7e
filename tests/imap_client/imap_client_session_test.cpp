// The IMAP client session against a played provider: what is downloaded, kept, moved and
// expunged over several sessions and days, a new UIDVALIDITY, a connection that breaks inside
// a message, messages too large, the logins, and the parser of responses.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>

#include "codec/base64.h"
#include "fake_imap_provider.h"
#include "imap_client/imap_client_session.h"
#include "imap_client/imap_response.h"
#include "net/line_receiver.h"
#include "net/sasl_oauth.h"
#include "platform/files.h"
#include "spool/download_files.h"
#include "spool/uid_ledger.h"
#include "support/fake_access_tokens.h"
#include "support/recorded_log.h"
#include "support/scripted_stream.h"
#include "support/temp_dir.h"

namespace quelma::imap_client {
namespace {

using quelma::testing::FakeImapProvider;
using quelma::testing::ScriptedStream;
using Commands = std::vector<std::string>;

std::string Text(int n) {
  return "Message-ID: <m" + std::to_string(n) + "@provider>\r\nSubject: " + std::to_string(n) + "\r\n\r\n.body " +
         std::to_string(n) + "\r\n";
}

struct Sessions : quelma::testing::RecordedLog {
  quelma::testing::TempDir dir;
  FakeImapProvider provider;
  config::ProviderAccount account{"imap.provider.test", "login", "secret", 993, "*", 0, {}, {}, {}, {}};
  std::int32_t today = 20000;
  std::size_t pieceSize = 1 << 20;
  std::function<void(const std::string&)> stored;  // hears of each published download file
  std::vector<sorting::LeftAtProvider> told;

  // One session over every folder; the commands it sent (without tags) after the login.
  ImapClientError run(Commands* sent = nullptr, net::AccessTokenSource* tokens = nullptr) {
    provider.commands.clear();
    ScriptedStream stream("* OK ready\r\n", [this](const std::string& line) { return provider(line); });
    stream.pieceSize = pieceSize;
    stream.closeWhenDrained();
    ImapClientSession session(stream, account, dir.path(), log, today, nullptr, tokens);
    session.onTooLarge([this](const sorting::LeftAtProvider& m) {
      told.push_back(m);
      return true;
    });
    if (stored) session.onStored(stored);
    const ImapClientError e = session.run();
    if (sent) *sent = provider.commands;
    return e;
  }
  // Every message downloaded so far, in file order, without the end lines.
  std::vector<std::string> downloaded() const {
    std::vector<std::string> messages;
    for (const auto& name : platform::ListDirectory(dir.path(), "*.popfile")) {
      std::string text = platform::ReadWholeFile(dir.file(name), 1 << 20).value_or("");
      for (std::size_t end; (end = text.find("\r\n.\r\n")) != std::string::npos; text.erase(0, end + 5)) {
        messages.push_back(text.substr(0, end + 2));
      }
    }
    return messages;
  }
  std::vector<std::uint32_t> uids(const std::string& folder) {
    std::vector<std::uint32_t> found;
    for (const auto& m : provider.folders[folder].messages) found.push_back(m.uid);
    return found;
  }
};

bool Sent(const Commands& commands, const std::string& command) {
  return std::find(commands.begin(), commands.end(), command) != commands.end();
}

// Stuffed as a download file holds it: the leading dot doubled.
std::string Stuffed(int n) {
  std::string text = Text(n);
  return text.replace(text.find(".body"), 1, "..");
}

TEST(ImapClientSession, DownloadsThenDeletesOrMovesWhatIsNotKept) {
  const struct Case {
    const char* name;
    std::string capabilities;
    std::string moveTo;
    bool foreignDeleted;  // another client marked a message \Deleted and did not expunge it
    Commands expected;
    std::vector<std::uint32_t> leftInInbox;
  } cases[] = {
      {"UID EXPUNGE", "IMAP4rev1 UIDPLUS", "", false,
       {"UID STORE 1:2 +FLAGS.SILENT (\\Deleted)", "UID EXPUNGE 1:2"}, {}},
      {"EXPUNGE without UIDPLUS", "IMAP4rev1", "", false,
       {"UID STORE 1:2 +FLAGS.SILENT (\\Deleted)", "UID SEARCH DELETED", "EXPUNGE"}, {}},
      {"someone else's deletion is not finished", "IMAP4rev1", "", true,
       {"UID STORE 1:2 +FLAGS.SILENT (\\Deleted)", "UID SEARCH DELETED"}, {1, 2, 3}},
      {"MOVE", "IMAP4rev1 UIDPLUS MOVE", "Archive", false, {"UID MOVE 1:2 \"Archive\""}, {}},
      {"COPY where MOVE is not offered", "IMAP4rev1 UIDPLUS", "Archive", false,
       {"UID COPY 1:2 \"Archive\"", "UID STORE 1:2 +FLAGS.SILENT (\\Deleted)", "UID EXPUNGE 1:2"}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Sessions s;
    s.provider.capabilities = c.capabilities;
    s.account.moveTo = c.moveTo;
    s.provider.add("INBOX", Text(1));
    s.provider.add("INBOX", Text(2));
    if (c.foreignDeleted) {  // too large for the account: not ours
      s.account.maxSizeKb = 1;
      s.provider.add("INBOX", std::string(2000, 'x'), {"\\Deleted"});
    }
    s.provider.add("Archive", Text(9));
    Commands sent;
    ASSERT_EQ(s.run(&sent), ImapClientError::kNone) << s.transcript();
    for (const auto& command : c.expected) EXPECT_TRUE(Sent(sent, command)) << command;
    EXPECT_FALSE(Sent(sent, "EXPUNGE") && c.foreignDeleted);
    EXPECT_EQ(s.uids("INBOX"), c.leftInInbox);
    const auto got = s.downloaded();
    ASSERT_GE(got.size(), 2u);
    EXPECT_EQ(got[0], Stuffed(1));
    EXPECT_EQ(got[1], Stuffed(2));
    if (!c.moveTo.empty()) {
      EXPECT_EQ(s.uids("Archive").size(), 3u);
    }
    // A later session never fetches them again; the one left marked goes once it can.
    if (c.foreignDeleted) s.provider.folders["INBOX"].messages.erase(s.provider.folders["INBOX"].messages.begin() + 2);
    ASSERT_EQ(s.run(&sent), ImapClientError::kNone);
    EXPECT_EQ(s.downloaded().size(), 2u);
    EXPECT_EQ(s.uids("INBOX"), std::vector<std::uint32_t>{});
  }
}

// A long folder goes into several download files, each published while the next one fills:
// the sorter hears of each, in order, once it is on disk with its UIDs standing in the ledger.
TEST(ImapClientSession, EachFileReachesTheSorterOnceItsUidsStand) {
  Sessions s;
  constexpr int kMessages = 600;
  for (int n = 1; n <= kMessages; ++n) s.provider.add("INBOX", Text(n));
  std::vector<std::string> heard;
  int whole = 0;
  s.stored = [&](const std::string& path) {
    heard.push_back(path);
    const std::string text = platform::ReadWholeFile(path, 1 << 24).value_or("");
    for (std::size_t at = text.find("\r\n.\r\n"); at != std::string::npos; at = text.find("\r\n.\r\n", at + 1)) ++whole;
    spool::UidLedger ledger(s.dir.path(), spool::AccountKey(s.account.server, s.account.login), "INBOX", s.today);
    ASSERT_TRUE(ledger.load());
    for (int uid = 1; uid <= whole; ++uid) ASSERT_TRUE(ledger.contains(std::to_string(uid))) << uid << " in " << path;
  };
  ASSERT_EQ(s.run(), ImapClientError::kNone) << s.transcript();
  EXPECT_EQ(whole, kMessages);
  ASSERT_GE(heard.size(), 3u);
  EXPECT_TRUE(std::is_sorted(heard.begin(), heard.end(), [](const std::string& a, const std::string& b) {
    return a.size() < b.size() || (a.size() == b.size() && a < b);
  })) << "in the order they were filled";
  EXPECT_TRUE(s.uids("INBOX").empty()) << "deleted once all were stored";
}

TEST(ImapClientSession, KeptMessagesAreListedOnceAndGoWhenTheirDaysRunOut) {
  Sessions s;
  s.account.keepDays = 2;
  s.provider.add("INBOX", Text(1), {"\\Flagged"});
  s.provider.add("INBOX", Text(2));
  Commands sent;
  ASSERT_EQ(s.run(&sent), ImapClientError::kNone);
  EXPECT_TRUE(Sent(sent, "UID SEARCH UID 1:*"));
  EXPECT_EQ(s.downloaded().size(), 2u);
  ASSERT_EQ(s.run(&sent), ImapClientError::kNone);
  EXPECT_EQ(std::count_if(sent.begin(), sent.end(), [](const auto& c) { return c.starts_with("UID FETCH"); }), 0)
      << "nothing new above UIDNEXT: no listing at all";
  s.provider.add("INBOX", Text(3));
  s.today += 2;
  ASSERT_EQ(s.run(&sent), ImapClientError::kNone);
  EXPECT_TRUE(Sent(sent, "UID SEARCH UID 3:*")) << "the listing begins above the last UID";
  EXPECT_TRUE(Sent(sent, "UID STORE 1:2 +FLAGS.SILENT (\\Deleted)"));
  EXPECT_EQ(s.uids("INBOX"), std::vector<std::uint32_t>{3});
  EXPECT_EQ(s.downloaded().size(), 3u);
  EXPECT_FALSE(s.provider.folders["INBOX"].messages[0].flags.contains("\\Seen")) << "BODY.PEEK leaves \\Seen alone";
}

TEST(ImapClientSession, ANewUidValidityFetchesOnlyWhatWasNotStored) {
  Sessions s;
  s.account.keepDays = config::kKeepForever;
  s.account.folders = {"INBOX", "Work"};
  s.provider.add("INBOX", Text(1));
  s.provider.add("INBOX", Text(2));
  s.provider.add("INBOX", "Subject: a\r\n\r\nno id\r\n");
  s.provider.folders["Work"] = {};
  ASSERT_EQ(s.run(), ImapClientError::kNone);
  // The folder made anew: other UIDs, the same messages, one more.
  auto& inbox = s.provider.folders["INBOX"];
  inbox = {};
  inbox.validity = 5;
  inbox.nextUid = 1;
  s.provider.add("INBOX", Text(7));
  s.provider.add("INBOX", Text(2));
  s.provider.add("INBOX", Text(1));
  // Another message without a Message-ID, of the same size as the one stored: it is fetched.
  s.provider.add("INBOX", "Subject: b\r\n\r\nno id\r\n");
  s.provider.add("Work", Text(8));
  Commands sent;
  ASSERT_EQ(s.run(&sent), ImapClientError::kNone) << s.transcript();
  EXPECT_TRUE(Sent(sent, "UID FETCH 1:* (UID RFC822.SIZE BODY.PEEK[HEADER.FIELDS (MESSAGE-ID)])"));
  EXPECT_TRUE(Sent(sent, "UID FETCH 1,4 (UID BODY.PEEK[])"));
  EXPECT_TRUE(s.logged("IMAPCLIENT> UIDVALIDITY папки сменилась (1 -> 5): по Message-ID и размеру 2 из 4 сообщений "
                       "уже загружены\r\n"))
      << s.transcript();
  const auto got = s.downloaded();
  ASSERT_EQ(got.size(), 6u);
  EXPECT_EQ(got[3], Stuffed(7));
  EXPECT_EQ(got[4], "Subject: b\r\n\r\nno id\r\n");
  EXPECT_EQ(got[5], Stuffed(8));
  ASSERT_EQ(s.run(&sent), ImapClientError::kNone);
  EXPECT_EQ(s.downloaded().size(), 6u) << "and the next session fetches nothing";
}

TEST(ImapClientSession, WhatCameWholeStaysWhenTheConnectionBreaksInsideAMessage) {
  for (const std::size_t pieceSize : {std::size_t{1}, std::size_t{1} << 20}) {
    Sessions s;
    s.pieceSize = pieceSize;
    s.provider.add("INBOX", Text(1));
    s.provider.add("INBOX", Text(2));
    s.provider.cutAfter = 150;  // inside the second literal
    EXPECT_EQ(s.run(), ImapClientError::kReceive);
    EXPECT_EQ(s.downloaded(), std::vector<std::string>{Stuffed(1)});
    EXPECT_EQ(s.uids("INBOX"), (std::vector<std::uint32_t>{1, 2})) << "nothing removed before the FETCH ended";
    EXPECT_TRUE(platform::ListDirectory(s.dir.path(), "*.part").empty());
    Commands sent;
    ASSERT_EQ(s.run(&sent), ImapClientError::kNone);
    EXPECT_TRUE(Sent(sent, "UID FETCH 2 (UID BODY.PEEK[])"));
    EXPECT_EQ(s.downloaded(), (std::vector<std::string>{Stuffed(1), Stuffed(2)}));
    EXPECT_TRUE(s.uids("INBOX").empty());
  }
}

TEST(ImapClientSession, AMessageTheServerDidNotGiveIsAskedForAgain) {
  Sessions s;
  s.account.keepDays = config::kKeepForever;
  for (int n = 1; n <= 3; ++n) s.provider.add("INBOX", Text(n));
  s.provider.withheld = {2};
  ASSERT_EQ(s.run(), ImapClientError::kNone);
  EXPECT_EQ(s.downloaded(), (std::vector<std::string>{Stuffed(1), Stuffed(3)}));
  s.provider.withheld.clear();
  Commands sent;
  ASSERT_EQ(s.run(&sent), ImapClientError::kNone);
  EXPECT_TRUE(Sent(sent, "UID SEARCH UID 2:*"));
  EXPECT_EQ(s.downloaded(), (std::vector<std::string>{Stuffed(1), Stuffed(3), Stuffed(2)}));
}

TEST(ImapClientSession, AMessageOverTheLimitStaysAndThePostmasterIsToldOnce) {
  Sessions s;
  s.account.maxSizeKb = 1;
  s.provider.add("INBOX", "From: big@x\r\nSubject: large\r\n\r\n" + std::string(2000, 'x') + "\r\n");
  s.provider.add("INBOX", Text(2));
  ASSERT_EQ(s.run(), ImapClientError::kNone);
  ASSERT_EQ(s.told.size(), 1u);
  EXPECT_EQ(s.told[0].folder, "INBOX");
  EXPECT_EQ(s.told[0].number, 1u);
  EXPECT_EQ(s.told[0].header, "From: big@x\r\nSubject: large\r\n\r\n");
  EXPECT_EQ(s.uids("INBOX"), std::vector<std::uint32_t>{1});
  s.provider.add("INBOX", Text(3));
  ASSERT_EQ(s.run(), ImapClientError::kNone);
  EXPECT_EQ(s.told.size(), 1u);
  EXPECT_EQ(s.downloaded().size(), 2u);
  s.account.maxSizeKb = 0;  // the limit raised: the message left comes now
  ASSERT_EQ(s.run(), ImapClientError::kNone);
  EXPECT_EQ(s.downloaded().size(), 3u);
}

TEST(ImapClientSession, Logins) {
  const std::string plain = codec::Base64Encode(std::string("\0login\0secret", 13));
  const struct Case {
    const char* name;
    std::string capabilities;
    std::string password;
    config::OauthMechanism auth;
    std::map<std::string, std::string> replies;
    ImapClientError error;
    std::string firstCommand;
  } cases[] = {
      {"LOGIN", "IMAP4rev1", "secret", config::OauthMechanism::kNone, {}, ImapClientError::kNone,
       "LOGIN \"login\" \"secret\""},
      {"quotes escaped", "IMAP4rev1", "se\"c\\", config::OauthMechanism::kNone, {}, ImapClientError::kNone,
       "LOGIN \"login\" \"se\\\"c\\\\\""},
      {"8-bit password as a literal", "IMAP4rev1 LITERAL+", "пароль", config::OauthMechanism::kNone, {},
       ImapClientError::kNone, "LOGIN \"login\" {6+}\r\nпароль"},
      {"refused", "IMAP4rev1", "secret", config::OauthMechanism::kNone, {{"LOGIN", "NO [AUTHENTICATIONFAILED] no"}},
       ImapClientError::kLoginRefused, "LOGIN \"login\" \"secret\""},
      {"LOGINDISABLED: PLAIN with SASL-IR", "IMAP4rev1 LOGINDISABLED AUTH=PLAIN SASL-IR", "secret",
       config::OauthMechanism::kNone, {}, ImapClientError::kNone, "AUTHENTICATE PLAIN " + plain},
      {"LOGINDISABLED and no PLAIN", "IMAP4rev1 LOGINDISABLED", "secret", config::OauthMechanism::kNone, {},
       ImapClientError::kLoginDisabled, "LOGOUT"},
      {"XOAUTH2 with SASL-IR", "IMAP4rev1 AUTH=XOAUTH2 SASL-IR", "", config::OauthMechanism::kXoauth2, {},
       ImapClientError::kNone, "AUTHENTICATE XOAUTH2 " + net::Xoauth2Response("login", "tok1")},
      {"OAUTHBEARER after +", "IMAP4rev1 AUTH=OAUTHBEARER", "", config::OauthMechanism::kOauthBearer, {},
       ImapClientError::kNone, "AUTHENTICATE OAUTHBEARER"},
      {"mechanism not offered", "IMAP4rev1 AUTH=PLAIN", "", config::OauthMechanism::kXoauth2, {},
       ImapClientError::kAuthNotOffered, "LOGOUT"},
      {"token refused twice", "IMAP4rev1 AUTH=XOAUTH2 SASL-IR", "", config::OauthMechanism::kXoauth2,
       {{"AUTHENTICATE", "NO [AUTHENTICATIONFAILED] bad token"}}, ImapClientError::kAuthRefused,
       "AUTHENTICATE XOAUTH2 " + net::Xoauth2Response("login", "tok1")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Sessions s;
    s.provider.capabilities = c.capabilities;
    s.provider.replies = c.replies;
    s.account.password = c.password;
    s.account.auth = c.auth;
    quelma::testing::FakeAccessTokens tokens({"tok1", "tok2"});
    Commands sent;
    EXPECT_EQ(s.run(&sent, &tokens), c.error) << s.transcript();
    ASSERT_GE(sent.size(), 1u);
    EXPECT_EQ(sent.size() > 1 ? sent[1] : "", c.firstCommand) << "after CAPABILITY";
    if (c.error == ImapClientError::kAuthRefused) {
      EXPECT_EQ(tokens.requests, (std::vector<bool>{false, true})) << "one renewed token after the refusal";
    }
  }
}

TEST(ImapClientSession, StartTlsThatIsNotOfferedSendsNoPassword) {
  Sessions s;
  s.provider.capabilities = "IMAP4rev1 AUTH=PLAIN";
  ScriptedStream stream("* OK ready\r\n", [&s](const std::string& line) { return s.provider(line); });
  stream.closeWhenDrained();
  const net::TlsClient tls{{"imap.provider.test", "", ""}};
  ImapClientSession session(stream, s.account, s.dir.path(), s.log, s.today, &tls);
  EXPECT_EQ(session.run(), ImapClientError::kStartTlsNotOffered);
  EXPECT_EQ(stream.sent.find("secret"), std::string::npos);
}

TEST(ImapClientSession, IdleEndsWithNewMailAndDone) {
  Sessions s;
  s.provider.add("INBOX", Text(1));
  s.provider.replies["IDLE"] = "";
  std::string idleTag;
  ScriptedStream stream("* OK ready\r\n", [&](const std::string& line) -> std::optional<std::string> {
    if (line.find(" IDLE") != std::string::npos) {
      idleTag = line.substr(0, line.find(' '));
      return "+ idling\r\n* 2 EXISTS\r\n";
    }
    if (line == "DONE\r\n") return idleTag + " OK done\r\n";
    return s.provider(line);
  });
  ImapClientSession session(stream, s.account, s.dir.path(), s.log, s.today);
  ASSERT_EQ(session.open(), ImapClientError::kNone);
  s.account.keepDays = config::kKeepForever;
  ASSERT_EQ(session.collect("INBOX"), ImapClientError::kNone) << stream.sent;
  std::atomic<bool> stop = false;
  bool newMail = false;
  ASSERT_EQ(session.idle(60000, stop, newMail), ImapClientError::kNone) << stream.sent;
  EXPECT_TRUE(newMail);
  EXPECT_TRUE(stream.sent.ends_with(" IDLE\r\nDONE\r\n")) << stream.sent;
}

TEST(ImapResponse, ValuesAndBounds) {
  const struct Case {
    std::string wire;
    bool parses;
    std::string shown;  // the values flattened: atoms, [strings], (lists), NIL as ~
  } cases[] = {
      {"* 1 FETCH (UID 7 BODY[] {6}\r\nab)c\r\n FLAGS (\\Seen))\r\n", true, "1 FETCH (UID 7 BODY[] [ab)c\r\n] FLAGS (\\Seen))"},
      {"* 2 FETCH (BODY[HEADER.FIELDS (MESSAGE-ID)] {0}\r\n ENVELOPE (NIL \"a\\\"b\"))\r\n", true,
       "2 FETCH (BODY[HEADER.FIELDS (MESSAGE-ID)] [] ENVELOPE (~ [a\"b]))"},
      {"* 3 FETCH (UID 1\r\n", false, ""},
      {"* 4 FETCH UID 1)\r\n", false, ""},
      {"* 5 FETCH (\"open)\r\n", false, ""},
  };
  const auto show = [](const auto& self, const std::vector<ImapValue>& values) -> std::string {
    std::string out;
    for (const auto& v : values) {
      if (!out.empty()) out += " ";
      if (v.kind == ImapValue::Kind::kList) out += "(" + self(self, v.items) + ")";
      else if (v.kind == ImapValue::Kind::kString) out += "[" + v.text + "]";
      else if (v.kind == ImapValue::Kind::kNil) out += "~";
      else out += v.text;
    }
    return out;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.wire);
    ScriptedStream stream(c.wire, [](const std::string&) { return std::nullopt; });
    stream.pieceSize = 3;
    stream.closeWhenDrained();
    net::LineReceiver lines(stream, 64);
    ResponseReader reader(lines);
    ImapResponse r;
    ASSERT_EQ(reader.next(r), ResponseReader::Status::kResponse);
    const auto values = ParseValues(r);
    ASSERT_EQ(values.has_value(), c.parses);
    if (values) {
      EXPECT_EQ(show(show, *values), c.shown);
    }
  }
  ScriptedStream huge("* 1 FETCH (BODY[] {2000000}\r\n", [](const std::string&) { return std::nullopt; });
  net::LineReceiver lines(huge, 64);
  ResponseReader reader(lines);
  ImapResponse r;
  EXPECT_EQ(reader.next(r), ResponseReader::Status::kTooLarge) << "a literal nobody takes is not held over 1 MB";
}

TEST(ImapClientSession, SetsMarksAndFolderNames) {
  EXPECT_EQ(UidSet({1, 2, 3, 5, 7, 8}), "1:3,5,7:8");
  EXPECT_EQ(MessageIdOf("Subject: x\r\nMessage-Id:\r\n  <a@b> \r\nTo: y\r\n\r\nMessage-ID: <no>\r\n"), "<a@b>");
  EXPECT_EQ(MessageIdOf("Subject: x\r\n\r\nMessage-ID: <body@b>\r\n"), "");
  EXPECT_EQ(FolderArgument("inbox"), "INBOX");
  EXPECT_EQ(FolderArgument("Входящие/Работа"), "\"&BBIERQQ+BDQETwRJBDgENQ-/&BCAEMAQxBD4EQgQw-\"");
  EXPECT_EQ(FolderArgument("Sent \"Items\""), "\"Sent \\\"Items\\\"\"");
}

}  // namespace
}  // namespace quelma::imap_client
