// sorter.cfg: reading good and broken files, the exact bytes written, and the rule check.
#include <gtest/gtest.h>

#include "platform/files.h"
#include "sorting/sorter_rules.h"
#include "support/temp_dir.h"

namespace quelma::sorting {
namespace {

using quelma::testing::ReadAll;
using quelma::testing::TempDir;
using quelma::testing::WriteAll;

const std::string kHead =
    "# Редактирование этого файла вручную может привести к непредсказуемому\r\n"
    "# поведению программы. Используйте диалоги!\r\n";

std::string Rule(const std::string& header, const std::string& pattern, const std::string& recipients,
                 const std::string& stop) {
  return "\r\n" + header + "\r\n" + pattern + "\r\n" + recipients + "\r\n" + stop + "\r\n";
}

SorterRuleTable Parse(const std::string& bytes) {
  platform::StringSource source(bytes);
  return ParseSorterRules(source);
}

TEST(SorterRules, ReadsGoodAndBrokenFiles) {
  using T = SorterRuleTable;
  struct Case {
    std::string bytes;
    T rules;
    const char* what;
  };
  const Case cases[] = {
      {kHead + Rule("Subject", "СРОЧНО Urgent", "Ivan,Boss@Example.COM", "1") + Rule("From", "x", "petr", "0"),
       T{{"Subject", "срочно urgent", "ivan,boss@example.com", 1}, {"From", "x", "petr", 0}}, "two good rules"},
      {kHead + Rule("To", "a", "Anna/Projects,B@C.D/x,Ivan", "1"), T{{"To", "a", "anna/Projects,b@c.d/x,ivan", 1}},
       "a folder's name keeps its case"},
      {kHead, T{}, "comment lines only"},
      {"", T{}, "empty file"},
      {kHead + Rule("To", "a", "b", "1") + "\r\nFrom\r\nlast\r\n", T{{"To", "a", "b", 1}}, "file ends after a pattern"},
      {"\r\n" + Rule("To", "a", "b", "x"), T{{"To", "a", "b", 0}}, "two empty lines, then a rule"},
      {"\r\nTo\r\na\nb\r\n1\r\n" + Rule("Cc", "c", "d", "1"), T{{"Cc", "c", "d", 1}}, "a bare LF abandons the rule"},
      {"\r\nTo\r\nx\r\n" + Rule("Cc", "c", "d", "1"), T{{"Cc", "c", "d", 1}}, "a missing line before the next rule"},
      {Rule("To", "a", "b", "1") + "\r\nTo\r\na\r\nb\r\n1", T{{"To", "a", "b", 1}}, "last line without CR LF"},
      {Rule(std::string(40, 'H'), std::string(80, 'P'), std::string(600, 'r'), "1"),
       T{{std::string(28, 'H'), std::string(63, 'p'), std::string(498, 'r'), 1}}, "texts cut"},
      {Rule(std::string("Sub\0ject", 8), "a", "b", "1"), T{{"Sub", "a", "b", 1}}, "a NUL ends the text"},
      {Rule("To", std::string(1496, 'a'), "b", "1"), T{{"To", std::string(63, 'a'), "b", 1}}, "1496 bytes + CR LF fit"},
  };
  for (const auto& c : cases) EXPECT_EQ(Parse(c.bytes), c.rules) << c.what;
}

TEST(SorterRules, AnOverLongLineArrivesInPiecesAndResyncsAtTheNextRule) {
  // 1498 bytes then CR LF: the first piece has no CR LF, the second is an empty line.
  const std::string bytes = "\r\nTo\r\n" + std::string(1498, 'p') + "\r\nrcpt\r\nTo\r\nb\r\n1\r\n" + Rule("Cc", "c", "d", "1");
  EXPECT_EQ(Parse(bytes), (SorterRuleTable{{"rcpt", "to", "b", 1}, {"Cc", "c", "d", 1}}));
}

TEST(SorterRules, MissingFileIsCreatedEmptyAndADirectoryGivesNoTable) {
  TempDir dir;
  SorterFile file(SorterFilePath(dir.path()));
  const auto rules = ReadSorterRules(file);
  ASSERT_TRUE(rules);
  EXPECT_TRUE(rules->empty());
  EXPECT_EQ(ReadAll(file.path()), "");

  SorterFile directory(dir.file("dir.cfg"));
  ASSERT_TRUE(platform::MakeDirectory(directory.path()));
  EXPECT_FALSE(ReadSorterRules(directory));
  SorterRuleTable none;
  EXPECT_FALSE(WriteSorterRules(directory, none));
}

TEST(SorterRules, WriteGivesTheExactBytesAndLowerCasesInPlace) {
  TempDir dir;
  SorterFile file(SorterFilePath(dir.path()));
  SorterRuleTable rules = {{"Subject", "ПРИВЕТ", "Ivan,X@Y.RU", 1}, {"X-ResentFrom", "a", "b", 0}};
  ASSERT_TRUE(WriteSorterRules(file, rules));
  EXPECT_EQ(rules[0].pattern, "привет");
  EXPECT_EQ(rules[0].recipients, "ivan,x@y.ru");
  EXPECT_EQ(ReadAll(file.path()), kHead + Rule("Subject", "привет", "ivan,x@y.ru", "1") + Rule("X-ResentFrom", "a", "b", "0"));
  EXPECT_EQ(ReadSorterRules(file), rules);

  SorterRuleTable empty;
  ASSERT_TRUE(WriteSorterRules(file, empty));
  EXPECT_EQ(ReadAll(file.path()), kHead);
}

TEST(SorterRules, RulesTheFileCannotHoldAreLeftOutInsteadOfShiftingTheNextOnes) {
  const SorterRuleTable rules = {{"From", "", "ivan", 1}, {"To", "a\nb", "ivan", 1}, {"Cc", "c", "ivan", 0}};
  EXPECT_EQ(Parse(FormatSorterRules(rules)), (SorterRuleTable{{"Cc", "c", "ivan", 0}}));
}

TEST(SorterRules, AppendCutsToWhatTheFileHolds) {
  SorterRuleTable rules;
  AppendSorterRule(rules, {std::string(30, 'h'), std::string(70, 'p'), std::string(600, 'r'), 1});
  AppendSorterRule(rules, {"To", "p", "r", 0});
  ASSERT_EQ(rules.size(), 2u);
  EXPECT_EQ(rules[0].headerName.size(), 28u);
  EXPECT_EQ(rules[0].pattern.size(), 63u);
  EXPECT_EQ(rules[0].recipients.size(), 498u);
  EXPECT_EQ(rules[1].headerName, "To");
}

config::Configuration UsersIvanAndBoss() {
  config::Configuration c;
  c.users = {{"Ivan", "", ""}, {"boss", "", ""}};
  c.UNDISCLOSED_MAIL_TO = "gone,ivan";
  c.accounts = {{"h", "l", "", 110, "*", 0, {}, {}, {}, {}}, {"h", "l", "", 110, "gone", 0, {}, {}, {}, {}}, {"h", "l", "", 110, "BOSS", 0, {}, {}, {}, {}}};
  return c;
}

TEST(CheckSorterRules, CleansRecipientsRulesAndDeliveryTargets) {
  TempDir dir;
  SorterFile file(SorterFilePath(dir.path()));
  WriteAll(file.path(), kHead + Rule("From", "a", "gone,x@y.ru", "1") + Rule("To", "b", "gone,old", "1") +
                            Rule("Cc", "c", "IVAN,,boss", "0") + Rule("Subject", "d", "ivan", "1") +
                            Rule("Bcc", "e", "IVAN/Archive,gone/x,ivan/a/../b", "0"));
  config::Configuration c = UsersIvanAndBoss();
  EXPECT_TRUE(CheckSorterRules(file, c));
  EXPECT_EQ(ReadSorterRules(file), (SorterRuleTable{{"From", "a", "x@y.ru", 1},
                                                    {"Cc", "c", "ivan,boss", 0},
                                                    {"Subject", "d", "ivan", 1},
                                                    {"Bcc", "e", "ivan/Archive", 0}}));
  EXPECT_EQ(c.accounts[0].deliverTo, "*");
  EXPECT_EQ(c.accounts[1].deliverTo, "*");
  EXPECT_EQ(c.accounts[2].deliverTo, "BOSS");
  EXPECT_EQ(c.UNDISCLOSED_MAIL_TO, "gone,ivan") << "the check leaves the unsorted-mail list alone";
}

TEST(CheckSorterRules, UserNamesFollowTheAsciiCaseRule) {
  // Only A-Z fold: a user with Cyrillic capitals keeps the rules that name them.
  for (const std::string name : {"Ivan", "Иван"}) {
    TempDir dir;
    SorterFile file(SorterFilePath(dir.path()));
    WriteAll(file.path(), kHead + Rule("From", "ПРИВЕТ", name + ",X@Y.RU", "1"));
    config::Configuration c;
    c.users = {{name, "", ""}};
    CheckSorterRules(file, c);
    const auto rules = ReadSorterRules(file);
    ASSERT_TRUE(rules);
    ASSERT_EQ(rules->size(), 1u) << name;
    EXPECT_EQ((*rules)[0].pattern, "привет") << "patterns fold Cyrillic letters too";
  }
}

TEST(CheckSorterRules, NothingToChangeWritesNothing) {
  TempDir dir;
  SorterFile file(SorterFilePath(dir.path()));
  const std::string bytes = kHead + Rule("From", "a", "ivan", "1");
  WriteAll(file.path(), bytes);
  config::Configuration c = UsersIvanAndBoss();
  c.accounts.clear();
  EXPECT_FALSE(CheckSorterRules(file, c));
  EXPECT_EQ(ReadAll(file.path()), bytes);
}

TEST(CheckSorterRules, WithoutATableNeitherRulesNorAccountsAreExamined) {
  TempDir dir;
  SorterFile file(dir.file("sorter-dir"));
  ASSERT_TRUE(platform::MakeDirectory(file.path()));
  config::Configuration c = UsersIvanAndBoss();
  EXPECT_FALSE(CheckSorterRules(file, c));
  EXPECT_EQ(c.accounts[1].deliverTo, "gone");
}

}  // namespace
}  // namespace quelma::sorting
