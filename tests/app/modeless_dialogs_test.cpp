#include "app/modeless_dialogs.h"

#include <gtest/gtest.h>

namespace quelma::app {
namespace {

using Opening = ModelessDialogs::Opening;

TEST(ModelessDialogs, AtMostOneOpenAndTheOpenOneIsFocused) {
  int about = 0, servers = 0;
  ModelessDialogs dialogs;
  EXPECT_EQ(dialogs.request(ModelessDialog::kServers), Opening::kCreate);
  dialogs.opened(ModelessDialog::kServers, &servers);
  struct Case {
    ModelessDialog asked;
    Opening expected;
  };
  for (const Case& c : {Case{ModelessDialog::kServers, Opening::kFocus},
                        Case{ModelessDialog::kCommunication, Opening::kOtherOpen},
                        Case{ModelessDialog::kAbout, Opening::kOtherOpen},
                        Case{ModelessDialog::kScheduler, Opening::kOtherOpen}}) {
    EXPECT_EQ(dialogs.request(c.asked), c.expected) << static_cast<int>(c.asked);
  }
  dialogs.closed(ModelessDialog::kServers);
  EXPECT_EQ(dialogs.request(ModelessDialog::kAbout), Opening::kCreate);
  dialogs.opened(ModelessDialog::kAbout, &about);
  EXPECT_EQ(dialogs.all()[0], &about);
  EXPECT_EQ(dialogs.request(ModelessDialog::kSorter), Opening::kOtherOpen);
}

TEST(ModelessDialogs, OnlyTheThreeSettingsDialogsHoldBackTheReload) {
  int handle = 0;
  for (auto [which, holds] : {std::pair{ModelessDialog::kAbout, false}, {ModelessDialog::kServers, true},
                              {ModelessDialog::kCommunication, true}, {ModelessDialog::kSorter, true},
                              {ModelessDialog::kScheduler, false}}) {
    ModelessDialogs dialogs;
    dialogs.opened(which, &handle);
    EXPECT_EQ(dialogs.settingsDialogOpen(), holds) << static_cast<int>(which);
  }
}

}  // namespace
}  // namespace quelma::app
