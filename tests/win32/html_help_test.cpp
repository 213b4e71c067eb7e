// The HTML Help control as the program finds it: through the registry, with its ANSI entry at
// ordinal 14.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "win32_ui/html_help.h"

namespace quelma::app {
namespace {

TEST(HtmlHelp, TheRegisteredControlIsFoundAndHasItsAnsiEntry) {
  char path[MAX_PATH];
  std::memset(path, 'x', sizeof path);
  ASSERT_EQ(win32_ui::LocateHelpControl(path), 1);
  const std::string found = path;  // terminated within the buffer
  ASSERT_GE(found.size(), 10u);
  EXPECT_EQ(_stricmp(found.substr(found.size() - 10).c_str(), "hhctrl.ocx"), 0) << found;
  HMODULE module = LoadLibraryA(found.c_str());
  ASSERT_NE(module, nullptr) << found;
  EXPECT_NE(reinterpret_cast<void*>(GetProcAddress(module, MAKEINTRESOURCEA(14))), nullptr);
  FreeLibrary(module);
}

}  // namespace
}  // namespace quelma::app
