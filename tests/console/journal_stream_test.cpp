// Log lines for the journal: recognising the journal's stream on stdout, and the line's shape.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/console/journal_stream.h"
#include "support/temp_dir.h"

namespace quelma::app {
namespace {

TEST(JournalStream, NamesOnlyTheSameDeviceAndInode) {
  struct Case {
    const char* variable;
    bool names;
  };
  const Case cases[] = {
      {"2049:131077", true},   {"2049:131078", false}, {"2050:131077", false}, {"2049:", false},
      {":131077", false},      {"2049", false},        {"", false},            {nullptr, false},
      {"2049:131077x", false}, {"x2049:131077", false}, {"2049:-131077", false},
      {"99999999999999999999999:131077", false},  // beyond 64 bits
  };
  for (const Case& c : cases) {
    EXPECT_EQ(JournalStreamNames(c.variable, 2049, 131077), c.names) << (c.variable ? c.variable : "(unset)");
  }
}

TEST(JournalStream, RecognisesTheFileItIsGiven) {
  testing::TempDir dir;
  std::FILE* out = std::fopen(dir.file("stream").c_str(), "w");
  ASSERT_NE(out, nullptr);
  struct stat status {};
  ASSERT_EQ(::fstat(::fileno(out), &status), 0);
  const std::string mine = std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
  const std::string other = std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino + 1);
  ::setenv("JOURNAL_STREAM", mine.c_str(), 1);
  EXPECT_TRUE(WritesToJournal(out));
  ::setenv("JOURNAL_STREAM", other.c_str(), 1);
  EXPECT_FALSE(WritesToJournal(out));  // stdout handed on to something else: not the journal
  ::unsetenv("JOURNAL_STREAM");
  EXPECT_FALSE(WritesToJournal(out));
  std::fclose(out);
}

TEST(JournalStream, LinesGoAtInfoWithoutTheProgramsStamp) {
  struct Case {
    std::string line;
    std::string journal;
  };
  const Case cases[] = {
      {"05 Dec 2001 14:03:07 POP3SRV> [3] Соединение с 127.0.0.1", "<6>POP3SRV> [3] Соединение с 127.0.0.1"},
      {"31 May 2026 00:00:59 DIALER> ", "<6>DIALER> "},
      {"05 Dec 2001 14:03:07 ", "<6>"},
      // Anything not stamped as the log stamps is kept whole.
      {"05 Dec 2001 14:03:07", "<6>05 Dec 2001 14:03:07"},
      {"5 Dec 2001 14:03:07 SMTPSRV> x", "<6>5 Dec 2001 14:03:07 SMTPSRV> x"},
      {"05 Dec 2001 14-03-07 SMTPSRV> x", "<6>05 Dec 2001 14-03-07 SMTPSRV> x"},
      {"<3>text", "<6><3>text"},
      {"", "<6>"},
  };
  for (const Case& c : cases) EXPECT_EQ(JournalLine(c.line), c.journal) << c.line;
}

}  // namespace
}  // namespace quelma::app
