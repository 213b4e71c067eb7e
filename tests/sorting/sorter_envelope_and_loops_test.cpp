// The sorter for one provider mailbox shared by several people: recipients from the envelope
// headers, one copy per user per Message-ID, no relay loops, and rule options in sorter.cfg.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/byte_source.h"
#include "platform/files.h"
#include "sorting/envelope_recipients.h"
#include "sorting/sort_downloaded_mail.h"
#include "sorting/sorter_matching.h"
#include "spool/queue_file.h"
#include "support/recorded_log.h"
#include "support/spool_directories.h"
#include "support/temp_dir.h"

namespace quelma::sorting {
namespace {

using quelma::testing::ReadAll;
using quelma::testing::WriteAll;

TEST(EnvelopeReader, AddressesAndReceivedFor) {
  const std::pair<std::string, std::vector<std::string>> lists[] = {
      {" ivan@office.test", {"ivan@office.test"}},
      {" \"Petrov, Petr\" <petr@office.test>, anna@office.test (Anna, <x@y>)", {"petr@office.test", "anna@office.test"}},
      {" Undisclosed recipients:;", {}},
      {" <a@b>;<c@d>\t e@f", {"a@b", "c@d", "e@f"}},
      {" \"quoted \\\" <not@this>\" <yes@this>", {"yes@this"}},
      {" <unclosed@x", {}},
      {" " + std::string(400, 'a') + "@x", {}},
  };
  for (const auto& [value, addresses] : lists) EXPECT_EQ(AddressesIn(value), addresses) << value;
  const std::pair<const char*, const char*> received[] = {
      {" from mx by box with ESMTP id 1 for <ivan@office.test>; Mon, 7 Dec 2026", "ivan@office.test"},
      {" from mx by box\r\n\tfor ivan@office.test; Mon", "ivan@office.test"},
      {" from mx (for <no@x>) by box; Mon", ""},
      {" from before.example by box; Mon", ""},
      {" from x by y FOR <Petr@Office.Test>", "Petr@Office.Test"},
  };
  for (const auto& [value, address] : received) EXPECT_EQ(ReceivedFor(value), address) << value;
}

// The first envelope header that names a local user decides; To and Cc come last.
TEST(EnvelopeReader, WhoTheProviderDeliveredTo) {
  config::Configuration c;
  c.LocalDomain = "Office.Test";
  c.users = {{"postmaster", "", ""}, {"ivan", "", ""}, {"petr", "", ""}, {"anna", "", ""}};
  const std::pair<std::string, std::vector<std::size_t>> cases[] = {
      {"Delivered-To: box@provider.test\r\nDelivered-To: IVAN@office.test\r\nTo: petr@office.test\r\n", {1}},
      {"X-Original-To: anna@office.test\r\nTo: petr@office.test\r\n", {3}},
      {"Envelope-To: petr+lists@office.test, ivan@office.test\r\n", {2, 1}},
      {"X-Envelope-To: <anna@office.test>\r\n", {3}},
      {"Received: from a by b for <petr@office.test>;\r\nReceived: from c by d for <ivan@office.test>;\r\n", {2}},
      {"Delivered-To: box@provider.test\r\nTo: ivan@office.test\r\nCc: anna@office.test, ivan@office.test\r\n", {1, 3}},
      {"To: ivan@elsewhere.test, nobody@office.test\r\n", {}},
      {"Subject: none at all\r\n", {}},
  };
  for (const auto& [block, users] : cases) EXPECT_EQ(EnvelopeRecipients(MessageHeader(block), c), users) << block;
}

struct Office : testing::RecordedLog, testing::SpoolDirectories {
  SorterFile sorter{SorterFilePath(dir.path())};

  explicit Office(const std::string& domain) {
    config.PostMaster = "postmaster";
    config.LocalDomain = domain;
    config.users = {{"postmaster", "", ""}, {"ivan", "", ""}, {"petr", "", ""}, {"anna", "", ""}};
    clock.time = {2026, 12, 1, 7, 10, 0, 0, 0};
  }
  void rules(SorterRuleTable table) { WriteSorterRules(sorter, table); }
  // Messages (without their end lines) as the provider handed them over, sorted by the rules.
  SortResult sort(const std::vector<std::string>& messages) {
    std::string file;
    for (const auto& m : messages) file += m + ".\r\n";
    WriteAll(dir.file("mail.txt"), file);
    return SortMailFile({config, sorter, log, dir.path(), &clock}, dir.file("mail.txt"), true, "*");
  }
  int copies(const std::string& user, const std::string& text) {
    const std::string drop = ReadAll(config.MailDropDir + user);
    int n = 0;
    for (auto at = drop.find(text); at != std::string::npos; at = drop.find(text, at + 1)) ++n;
    return n;
  }
  std::vector<std::string> queue() {
    std::vector<std::string> texts;
    for (const auto& name : spool::ListQueueFiles(config.QueueDir)) {
      texts.push_back(ReadAll(config.QueueDir + name));
      platform::RemoveFile(config.QueueDir + name);
    }
    return texts;
  }
};

std::string ListCopy(const std::string& deliveredTo, const std::string& id = "<list-1@lists.test>") {
  return "Delivered-To: " + deliveredTo + "\r\nFrom: list@lists.test\r\nTo: team@lists.test\r\n"
         "Cc: ivan@office.test, petr@office.test, anna@office.test\r\nMessage-ID: " + id +
         "\r\nSubject: meeting\r\n\r\nbody\r\n";
}

// A list message to three users of one provider box arrives as three copies: each user gets
// exactly one, judged by Delivered-To; a Bcc recipient named only there gets it too.
TEST(MultiDrop, EachUserOneCopyByTheEnvelope) {
  Office office("office.test");
  office.rules({{"To", "@", "postmaster", 1, true}});
  const std::string bcc = "X-Original-To: anna@office.test\r\nFrom: boss@else.test\r\nTo: petr@office.test\r\n"
                          "Message-ID: <bcc-1@else.test>\r\nSubject: secret\r\n\r\nx\r\n";
  ASSERT_EQ(office.sort({ListCopy("ivan@office.test"), ListCopy("petr@office.test"), ListCopy("anna@office.test"), bcc}),
            SortResult::kSorted);
  for (const char* user : {"ivan", "petr", "anna"}) EXPECT_EQ(office.copies(user, "Subject: meeting"), 1) << user;
  EXPECT_EQ(office.copies("anna", "Subject: secret"), 1) << "the Bcc recipient";
  EXPECT_EQ(office.copies("petr", "Subject: secret"), 0) << "To: is not who the provider delivered to";
  EXPECT_EQ(office.copies("postmaster", "Subject:"), 0);
  // Without the option the same rule goes to its recipients; with nobody in the envelope too.
  Office plain("office.test");
  plain.rules({{"To", "@", "postmaster", 1, false}});
  plain.sort({ListCopy("ivan@office.test")});
  EXPECT_EQ(plain.copies("postmaster", "Subject: meeting"), 1);
  Office nobody("office.test");
  nobody.rules({{"To", "@", "postmaster", 1, true}});
  nobody.sort({"To: someone@else.test\r\nSubject: stray\r\n\r\nx\r\n"});
  EXPECT_EQ(nobody.copies("postmaster", "Subject: stray"), 1);
}

// The same Message-ID for the same user within a day is delivered once: within one run,
// across runs, to each user once; after a day, or without an id, again.
TEST(MultiDrop, OneMessageIdOncePerUserPerDay) {
  Office office("office.test");
  office.rules({{"Subject", "meeting", "ivan,petr", 0}});
  ASSERT_EQ(office.sort({ListCopy("x@y"), ListCopy("x@y")}), SortResult::kSorted);
  EXPECT_EQ(office.copies("ivan", "Subject: meeting"), 1);
  EXPECT_EQ(office.copies("petr", "Subject: meeting"), 1);
  EXPECT_TRUE(office.logged("POP3CLIENT> Сообщение #2 для ivan уже доставлено (Message-ID <list-1@lists.test>): повтор не доставляется\r\n"))
      << office.transcript();
  office.clock.time.hour = 23;
  office.sort({ListCopy("x@y")});
  EXPECT_EQ(office.copies("ivan", "Subject: meeting"), 1) << "later the same day";
  office.clock.time = {2026, 12, 3, 2, 10, 0, 1, 0};
  office.sort({ListCopy("x@y")});
  EXPECT_EQ(office.copies("ivan", "Subject: meeting"), 2) << "a day later";
  const std::string noId = "Subject: meeting\r\n\r\nno id\r\n";
  office.sort({noId, noId});
  EXPECT_EQ(office.copies("ivan", "no id"), 2);
  // The ledger stays bounded: only the last day's ids are kept.
  const std::string ids = ReadAll(office.dir.file("delivered.ids"));
  EXPECT_EQ(std::count(ids.begin(), ids.end(), '\n'), 2) << ids;
}

// A run that cannot deliver remembers none of its ids: the next run delivers the mail.
TEST(MultiDrop, AnUndoneDeliveryRemembersNoIds) {
  Office office("office.test");
  office.rules({{"Subject", "meeting", "ivan,petr", 0}});
  platform::MakeDirectory(office.config.MailDropDir + "petr");  // petr's maildrop cannot be written
  EXPECT_EQ(office.sort({ListCopy("x@y")}), SortResult::kStopped);
  std::filesystem::remove(office.config.MailDropDir + "petr");
  EXPECT_EQ(office.sort({ListCopy("x@y")}), SortResult::kSorted);
  EXPECT_EQ(office.copies("ivan", "Subject: meeting"), 1);
  EXPECT_EQ(office.copies("petr", "Subject: meeting"), 1);
}

// What the provider hands the other office: the queue file's message, with the hop's headers.
std::string Transit(const std::string& queueFile, const std::string& to) {
  std::size_t at = 0;
  while (queueFile.compare(at, 5, "MAIL ") == 0 || queueFile.compare(at, 5, "RCPT ") == 0) at = queueFile.find("\r\n", at) + 2;
  return "Delivered-To: " + to + "\r\nReceived: from provider by box for <" + to + ">;\r\n" + queueFile.substr(at);
}

// Two offices whose rules relay to each other: the message goes round once and stops; an
// auto-reply is never relayed; what stops is still delivered locally or to the fallback.
TEST(RelayLoops, StopAfterOneRoundAndAutoRepliesStayHome) {
  Office a("a.test"), b("b.test");
  a.rules({{"Subject", "report", "ivan,boss@b.test", 0}});
  b.rules({{"Subject", "report", "office@a.test", 0}});
  a.sort({"From: sender@far.test\r\nMessage-ID: <r1@far.test>\r\nSubject: report\r\n\r\nx\r\n"});
  auto toB = a.queue();
  ASSERT_EQ(toB.size(), 1u);
  EXPECT_NE(toB[0].find("\r\nX-Loop: a.test\r\n"), std::string::npos) << toB[0];
  b.sort({Transit(toB[0], "boss@b.test")});
  auto toA = b.queue();
  ASSERT_EQ(toA.size(), 1u) << "b relays once";
  a.sort({Transit(toA[0], "office@a.test")});
  EXPECT_TRUE(a.queue().empty()) << "the round ends at a";
  EXPECT_TRUE(a.logged("POP3CLIENT> Сообщение #1 не пересылается повторно (X-Loop: a.test)\r\n")) << a.transcript();
  EXPECT_EQ(a.copies("ivan", "Subject: report"), 1) << "delivered locally once (same Message-ID)";

  const std::pair<const char*, bool> autoSubmitted[] = {
      {"Auto-Submitted: auto-replied\r\n", false}, {"Auto-Submitted: auto-generated (vacation)\r\n", false},
      {"Auto-Submitted: no\r\n", true}, {"Auto-Submitted: No (a person)\r\n", true}, {"", true}};
  for (const auto& [line, relayed] : autoSubmitted) {
    Office c("c.test");
    c.rules({{"Subject", "away", "far@else.test", 0}});
    c.sort({std::string("From: me@x.test\r\n") + line + "Subject: away\r\n\r\nx\r\n"});
    EXPECT_EQ(c.queue().size(), relayed ? 1u : 0u) << line;
    if (!relayed) {
      EXPECT_EQ(c.copies("postmaster", "Subject: away"), 1) << "no one else: the fallback gets it";
    }
  }
}

// Options ride on a line after the rule's five, which an older build reads outside any rule:
// without that line the file is exactly the older one, and its rules read the same.
TEST(SorterFileOptions, OlderBuildsReadTheSameRules) {
  SorterRuleTable rules = {{"To", "@office", "postmaster", 1, true}, {"Subject", "x", "ivan", 0, false},
                           {"Cc", "y", "petr", 0, true}};
  const std::string written = FormatSorterRules(rules);
  EXPECT_EQ(std::count(written.begin(), written.end(), '\n'), 2 + 5 * 3 + 2);
  SorterRuleTable older = rules;
  for (auto& rule : older) rule.envelope = false;
  std::string withoutOptions = written;
  for (std::size_t at; (at = withoutOptions.find("options: envelope\r\n")) != std::string::npos;) withoutOptions.erase(at, 19);
  EXPECT_EQ(withoutOptions, FormatSorterRules(older));
  const auto parse = [](const std::string& bytes) {
    platform::StringSource source(bytes);
    return ParseSorterRules(source);
  };
  EXPECT_EQ(parse(written), rules);
  EXPECT_EQ(parse(FormatSorterRules(older)), older);
  // Unknown options are passed over; an options line anywhere but after a stop line is no option.
  EXPECT_EQ(parse("\r\nTo\r\na\r\nivan\r\n0\r\nOPTIONS: future envelope\r\n")[0].envelope, true);
  EXPECT_EQ(parse("\r\nTo\r\na\r\nivan\r\n0\r\nx\r\noptions: envelope\r\n")[0].envelope, false);
  EXPECT_EQ(parse("\r\nTo\r\na\r\nivan\r\n0\r\noptions: future\r\n")[0], (SorterRule{"To", "a", "ivan", 0, false}));
}

}  // namespace
}  // namespace quelma::sorting

namespace quelma::sorting {
namespace {

// Rules written in Windows-1251 match what senders actually send: encoded-words in each
// charset, folded over lines, raw UTF-8; a character Windows-1251 lacks matches nothing and
// breaks no match around it; rules on the text as written still match as before.
TEST(SorterMatching, DecodedHeaderValues) {
  const std::tuple<std::string, const char*, bool> cases[] = {
      {"Subject: =?UTF-8?B?0YHRh9GR0YI=?=\r\n", "счёт", true},
      {"Subject: =?koi8-r?Q?=D3=DE=A3=D4?= N 5\r\n", "счёт n 5", true},
      {"Subject: =?ISO-8859-5?B?4efV4g==?=\r\n", "счет", true},
      {"Subject: =?windows-1251?Q?=D1=F7=B8=F2_=ED=E0?=\r\n =?windows-1251?Q?_=EE=EF=EB=E0=F2=F3?=\r\n", "счёт на оплату", true},
      {"Subject: Re: \xD1\x81\xD1\x87\xD1\x91\xD1\x82\r\n", "re: счёт", true},
      {"Subject: =?UTF-8?B?0YHRh9GR?=\r\n\t=?UTF-8?B?0YI=?=\r\n", "счёт", true},
      {"Subject: =?UTF-8?B?0YHRh/CfmIDRkdGC?=\r\n", "счёт", false},
      {"Subject: =?UTF-8?B?8J+YgCDRgdGH0ZHRgg==?=\r\n", "счёт", true},
      {"Subject: =?UTF-8?B?0YHRh9GR0YI=?=\r\n", "=?utf-8?b?", true},
      {"Subject: =?UTF-8?B?broken!?=\r\n", "broken!", true},
      {"From: =?UTF-8?B?0JjQstCw0L0=?= <ivan@x.ru>\r\n", "иван <ivan@x.ru>", true},
  };
  for (const auto& [block, pattern, expected] : cases) {
    EXPECT_EQ(HeaderMatches(block, SorterRule{block.substr(0, block.find(':')), pattern, "ivan", 0}), expected)
        << block << pattern;
  }
}

}  // namespace
}  // namespace quelma::sorting
