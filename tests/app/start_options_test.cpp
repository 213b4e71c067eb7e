// quelma.exe's command line as the installer's shortcuts and Run value write it, and as people
// mistype it.
#include <gtest/gtest.h>

#include "app/start_options.h"

namespace quelma::app {
namespace {

TEST(StartOptions, TakesTrayAndDirectoryAsShortcutsWriteThem) {
  struct Case {
    const char* line;
    bool tray;
    const char* directory;
  };
  const Case cases[] = {
      {"", false, ""},
      {"   \t ", false, ""},
      {"/tray", true, ""},
      {"-TRAY", true, ""},
      {"/Tray /tray", true, ""},
      {"/dir C:\\Data", false, "C:\\Data"},
      {"/tray /dir \"C:\\ProgramData\\Quelmar Mail Server\"", true, "C:\\ProgramData\\Quelmar Mail Server"},
      {"/DIR \"C:\\Почта\\\" /tray", true, "C:\\Почта\\"},  // a trailing backslash does not swallow the quote
      {"/dir \"C:\\a b\"c\\d", false, "C:\\a bc\\d"},
      {"/dir=C:\\x", false, nullptr},
      {"/dir", false, nullptr},
      {"/dir \"\"", false, nullptr},
      {"/dir C:\\a /dir C:\\b", false, nullptr},
      {"/exit", false, nullptr},
      {"tray", false, nullptr},
      {"/trayx", false, nullptr},
  };
  for (const Case& c : cases) {
    const StartOptionsResult result = ParseStartOptions(c.line);
    if (!c.directory) {
      EXPECT_FALSE(result.options) << c.line;
      EXPECT_FALSE(result.error.empty()) << c.line << ": the refusal names the argument";
      continue;
    }
    ASSERT_TRUE(result.options) << c.line << " refused at " << result.error;
    EXPECT_EQ(result.options->tray, c.tray) << c.line;
    EXPECT_EQ(result.options->directory, c.directory) << c.line;
  }
}

TEST(StartOptions, RefusesACommandLineLongerThanWindowsAllows) {
  const std::string line = "/dir " + std::string(40000, 'a');
  const StartOptionsResult result = ParseStartOptions(line);
  EXPECT_FALSE(result.options);
  EXPECT_LE(result.error.size(), 64u);
}

}  // namespace
}  // namespace quelma::app
