// Dial-up in a service that may not gain privileges: said ahead, and only then.
#include <gtest/gtest.h>

#include "app/console/dialup_permission.h"

namespace quelma::app {
namespace {

TEST(DialUpPermission, OnlyDialUpWithoutNewPrivilegesIsReported) {
  struct Case {
    bool useLan;
    bool withoutNewPrivileges;
    bool reported;
  };
  const Case cases[] = {{true, true, false}, {true, false, false}, {false, false, false}, {false, true, true}};
  for (const Case& c : cases) {
    config::Configuration config;
    config.UseLAN = c.useLan;
    const auto text = DialUpBlockedText(config, c.withoutNewPrivileges);
    EXPECT_EQ(text.has_value(), c.reported) << c.useLan << c.withoutNewPrivileges;
    if (text) {
      EXPECT_NE(text->find("dialup.conf"), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace quelma::app
