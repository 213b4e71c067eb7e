// The sorter rules dialog, the rule dialog and the recipients of unsorted mail.
#include "dialogs/sorter_dialog.h"

#include <gtest/gtest.h>

#include "dialogs/dialog_fixture.h"

namespace quelma::dialogs {
namespace {

using sorting::SorterRule;
using quelma::testing::ReadAll;
using quelma::testing::WriteAll;

TEST(SorterDialog, RuleLines) {
  const struct {
    SorterRule rule;
    const char* line;
  } cases[] = {
      {{"To", "sales@", "ivan,petr", 1}, "Если \"To\" содержит \"sales@\" - Доставить: ivan,petr  и СТОП"},
      {{"Subject", "счёт", "ivan", 0}, "Если \"Subject\" содержит \"счёт\" - Доставить: ivan "},
      {{"To", "@office.ru", "postmaster", 1, true},
       "Если \"To\" содержит \"@office.ru\" - Доставить: по конверту, иначе postmaster  и СТОП"},
      {{"Received", "office", "ivan,a@b.c", 0, true},
       "Если \"Received\" содержит \"office\" - Доставить: по конверту, иначе ivan,a@b.c "},
  };
  for (const auto& c : cases) EXPECT_EQ(RuleLine(c.rule), c.line);
}

TEST(SorterDialog, EditingTheTable) {
  DialogFixture f;
  WriteAll(f.dir.file("sorter.cfg"), "\r\nTo\r\na\r\nivan\r\n1\r\n\r\nCc\r\nb\r\npetr\r\n0\r\n");
  SorterDialog d(f.env);
  ASSERT_TRUE(d.opened());
  const SorterRule first{"To", "a", "ivan", 1}, second{"Cc", "b", "petr", 0};
  EXPECT_EQ(d.moveUp(0), std::nullopt);
  EXPECT_EQ(d.moveDown(1), std::nullopt);
  EXPECT_EQ(d.moveDown(0), 1);
  EXPECT_EQ(d.rules(), (sorting::SorterRuleTable{second, first}));
  EXPECT_EQ(d.moveUp(1), 0);
  f.prompt.answers = {false};
  d.remove(0);
  EXPECT_EQ(d.rules().size(), 2u) << "No keeps it";
  d.remove(0);
  EXPECT_EQ(f.prompt.shown.back(), (Message{"Удалить эту запись?", "Удаление", Buttons::kYesNo}));
  EXPECT_EQ(d.rules(), (sorting::SorterRuleTable{second})) << "the second rule whole";
  d.add({"From", "boss@", "postmaster", 0});
  d.replace(0, {"Cc", "c", "ivan", 1});
  const std::string before = "\r\nTo\r\na\r\nivan\r\n1\r\n\r\nCc\r\nb\r\npetr\r\n0\r\n";
  EXPECT_EQ(ReadAll(f.dir.file("sorter.cfg")), before) << "until OK the edits are the dialog's own (Cancel drops them)";
  EXPECT_TRUE(d.ok());
  SorterDialog again(f.env);
  EXPECT_EQ(again.lines(), (std::vector<std::string>{"Если \"Cc\" содержит \"c\" - Доставить: ivan  и СТОП",
                                                     "Если \"From\" содержит \"boss@\" - Доставить: postmaster "}));

  DialogFixture empty;
  SorterDialog none(empty.env);
  none.remove(0);
  EXPECT_TRUE(empty.prompt.shown.empty()) << "with no rules Delete asks nothing";
}

TEST(SorterDialog, RuleDialogBuildsTheDeliveryListUsersFirst) {
  DialogFixture f;
  const config::Configuration& c = *f.store.current();
  RuleDialog d(c, nullptr);
  EXPECT_EQ(d.users(), (std::vector<std::string>{"postmaster", "ivan", "petr"})) << "never the daemon";
  EXPECT_TRUE(d.addAddress("first@far.away"));
  d.addUser("petr");
  EXPECT_TRUE(d.addAddress(" second @ far.away "));
  d.addUser("ivan");
  EXPECT_EQ(d.users(), (std::vector<std::string>{"postmaster"}));
  EXPECT_EQ(d.recipients(), "ivan,petr,second@far.away,first@far.away")
      << "users in table order, then the addresses last added first";
  d.removeDelivery(1);  // petr: the list box keeps the order things were put there
  EXPECT_EQ(d.delivery(), (std::vector<std::string>{"first@far.away", "second@far.away", "ivan"}));
  EXPECT_EQ(d.users(), (std::vector<std::string>{"postmaster", "petr"})) << "a removed user is offered again";

  for (const char* refused : {"@far.away", "me@", "a@@b", "a@b@c", "nobody", ""}) {
    EXPECT_FALSE(d.addAddress(refused)) << refused;
  }
}

TEST(SorterDialog, UnsortedListKeepsToWhatQuelmaCfgKeeps) {
  const std::string name(99, 'a');  // ten of them with their commas: 999 characters
  const std::vector<std::string> names(10, name);
  const std::string joined = JoinRecipients(names);
  EXPECT_EQ(joined.size(), 899u) << "the tenth name would need the 999th character, which the file cannot keep";
  EXPECT_EQ(JoinRecipients({}), "");
}

TEST(SorterDialog, RuleDialogOkAndItsRefusals) {
  DialogFixture f;
  const config::Configuration& c = *f.store.current();
  const SorterRule old{"To", "sales", "ivan,gone,x@y.z,IVAN", 1};
  RuleDialog d(c, &old);
  EXPECT_EQ(d.delivery(), (std::vector<std::string>{"ivan", "x@y.z"}))
      << "a user no longer in the table is dropped, a user named twice shown once";
  EXPECT_EQ(d.headerName, "To");
  EXPECT_TRUE(d.stop);
  EXPECT_FALSE(d.envelope);
  SorterRule rule;
  EXPECT_EQ(d.ok(" X-Mailer ", "Outlook", false, false, f.prompt, rule), InnerOutcome::kAccepted);
  EXPECT_EQ(rule, (SorterRule{"X-Mailer", "Outlook", "ivan,x@y.z", 0}));
  EXPECT_EQ(d.ok("To", "sales", true, true, f.prompt, rule), InnerOutcome::kAccepted);
  EXPECT_EQ(rule, (SorterRule{"To", "sales", "ivan,x@y.z", 1, true})) << "the two boxes are independent";

  struct Case {
    const char* header;
    const char* text;
  };
  for (const Case& refused : {Case{"Тема", "x"}, Case{"  ", "x"}, Case{"Subject", ""}}) {
    f.prompt.answers = {false};
    EXPECT_EQ(d.ok(refused.header, refused.text, false, true, f.prompt, rule), InnerOutcome::kCancelled) << refused.header;
    EXPECT_EQ(f.prompt.shown.back(), MissingParametersQuestion(Icon::kExclamation));
  }
  RuleDialog nobody(c, nullptr);
  EXPECT_EQ(nobody.ok("To", "x", false, true, f.prompt, rule), InnerOutcome::kEditAgain) << "an empty delivery list";
}

// The envelope box through the rule dialog, the rules dialog's OK (sorter.cfg) and back: set on
// a new rule, kept or cleared when the rule is edited, never spilling onto its neighbour.
TEST(SorterDialog, EnvelopeOptionThroughSorterCfg) {
  const struct {
    bool added, edited;
  } cases[] = {{true, true}, {true, false}, {false, true}, {false, false}};
  for (const auto& c : cases) {
    DialogFixture f;
    SorterDialog d(f.env);
    RuleDialog fresh(d.config(), nullptr);
    EXPECT_FALSE(fresh.envelope);
    fresh.addUser("postmaster");
    SorterRule rule;
    ASSERT_EQ(fresh.ok("Delivered-To", "@Office.ru", true, c.added, f.prompt, rule), InnerOutcome::kAccepted);
    d.add(rule);
    d.add({"Subject", "счёт", "ivan", 0});
    ASSERT_TRUE(d.ok());
    const std::string file = ReadAll(f.dir.file("sorter.cfg"));
    EXPECT_EQ(file.find("\r\nDelivered-To\r\n@office.ru\r\npostmaster\r\n1\r\noptions: envelope\r\n") !=
                  std::string::npos,
              c.added)
        << file;

    SorterDialog reopened(f.env);
    ASSERT_EQ(reopened.rules().size(), 2u);
    EXPECT_EQ(reopened.rules()[0].envelope, c.added);
    EXPECT_FALSE(reopened.rules()[1].envelope) << "the next rule keeps its own options";
    EXPECT_EQ(reopened.lines()[0].find("по конверту") != std::string::npos, c.added) << reopened.lines()[0];

    RuleDialog editing(reopened.config(), &reopened.rules()[0]);
    EXPECT_EQ(editing.envelope, c.added) << "the box opens as the rule is";
    ASSERT_EQ(editing.ok(editing.headerName, editing.pattern, editing.stop, c.edited, f.prompt, rule),
              InnerOutcome::kAccepted);
    reopened.replace(0, rule);
    ASSERT_TRUE(reopened.moveDown(0));
    ASSERT_TRUE(reopened.ok());
    SorterDialog last(f.env);
    EXPECT_EQ(last.rules(), (sorting::SorterRuleTable{{"Subject", "счёт", "ivan", 0},
                                                          {"Delivered-To", "@office.ru", "postmaster", 1, c.edited}}));
  }
}

TEST(SorterDialog, UnsortedMailRecipientsReachQuelmaCfgWithOk) {
  DialogFixture f;
  SorterDialog d(f.env);
  {
    config::Configuration c = d.config();
    c.UNDISCLOSED_MAIL_TO = "petr,daemon,gone";
    f.store.publish(c);
  }
  UnsortedRecipientsDialog chooser(*f.store.current());
  EXPECT_EQ(chooser.recipients(), (std::vector<std::string>{"petr", "daemon"})) << "unknown names dropped";
  EXPECT_EQ(chooser.users(), (std::vector<std::string>{"postmaster", "ivan"})) << "never the daemon";
  chooser.choose("ivan");
  chooser.unchoose("daemon");
  chooser.choose("nobody");
  EXPECT_EQ(chooser.recipients(), (std::vector<std::string>{"petr", "ivan"}));
  EXPECT_EQ(chooser.users(), (std::vector<std::string>{"postmaster", "daemon"}));
  const std::string joined = JoinRecipients({"ivan", "petr"});  // as the sorted list shows them
  EXPECT_EQ(joined, "ivan,petr");
  d.setUnsortedRecipients(joined);
  EXPECT_EQ(f.store.current()->UNDISCLOSED_MAIL_TO, "ivan,petr") << "in effect at once";
  EXPECT_EQ(f.saved().UNDISCLOSED_MAIL_TO, "") << "not yet in the file";
  EXPECT_TRUE(d.ok());
  EXPECT_EQ(f.saved().UNDISCLOSED_MAIL_TO, "ivan,petr") << "OK saves it, so a session's reload keeps it";
}

}  // namespace
}  // namespace quelma::dialogs
