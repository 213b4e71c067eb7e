// Lists in the settings: one reader for every list, and one verdict on LISTEN_ADDRESSES from
// the servers dialog, the command line, the settings check and the servers.
#include "config/list_setting.h"

#include <gtest/gtest.h>

#include <sstream>

#include "app/console/config_command.h"
#include "app/local_side_check.h"
#include "config/config_file.h"
#include "dialogs/dialog_fixture.h"
#include "dialogs/servers_dialog.h"
#include "platform/byte_source.h"
#include "support/fake_remote_access.h"

namespace quelma::config {
namespace {

TEST(ListSetting, ItemsAreSplitAtCommasAndBlanksAndEmptyOnesDropped) {
  const struct Case {
    std::string text;
    std::vector<std::string> items;
  } cases[] = {
      {"", {}},
      {" ,\t, ", {}},
      {"ivan", {"ivan"}},
      {"ivan,petr", {"ivan", "petr"}},
      {" 10.0.0.0/8 ,\t::1/128  192.168.1.5,", {"10.0.0.0/8", "::1/128", "192.168.1.5"}},
      {",,a,,b,,", {"a", "b"}},
      {"a\r\nb", {"a", "b"}},
      {"анна,boss@other.ru", {"анна", "boss@other.ru"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ListItems(c.text), c.items) << c.text;
    EXPECT_EQ(ListItems(ListText(c.items)), c.items) << "written and read back: " << c.text;
  }
}

// Each text gets one verdict everywhere: taken (and listened on) or refused with the same words.
TEST(ListSetting, ListenAddressesGetOneVerdictFromEveryFrontEndAndTheServers) {
  const struct Case {
    std::string text;
    const char* badItem;  // nullptr: taken
    std::size_t addresses;  // what the servers listen on when taken
  } cases[] = {
      {"*", nullptr, 2},
      {"127.0.0.1", nullptr, 1},
      {"127.0.0.1,::1", nullptr, 2},
      {"127.0.0.1,,::1,", nullptr, 2},
      {"127.0.0.1,office.ru", "office.ru", 0},
      {"localhost", "localhost", 0},
      {"*,127.0.0.1", "*", 0},
      {"127.0.0.1,127.0.0.256", "127.0.0.256", 0},
  };
  for (const Case& c : cases) {
    const std::string refusal = c.badItem ? "\"" + std::string(c.badItem) + "\" не является IP-адресом." : std::string();
    // The servers (and the check of the ports) read it so.
    const auto listen = ReadListenAddresses(c.text);
    EXPECT_EQ(listen.has_value(), c.badItem == nullptr) << c.text;
    if (listen) {
      EXPECT_EQ(listen->addresses.size(), c.addresses) << c.text;
    }
    EXPECT_EQ(ListenAddressesProblem(c.text).value_or(""), refusal) << c.text;

    // The file reader keeps the list as written, items joined by commas.
    Configuration read;
    const std::string file = "[Parameters]\r\nLISTEN_ADDRESSES = " + c.text + "\r\n";
    platform::StringSource source(file);
    ReadConfiguration(source, read);
    EXPECT_EQ(ReadListenAddresses(read.LISTEN_ADDRESSES).has_value(), c.badItem == nullptr) << c.text;

    // The servers dialog.
    dialogs::DialogFixture dialog;
    dialogs::ServersDialog servers(dialog.env);
    dialogs::ServersFields fields = servers.fields();
    fields.listenAddresses = c.text;
    EXPECT_EQ(servers.ok(fields), c.badItem == nullptr) << c.text;
    if (c.badItem) {
      ASSERT_FALSE(dialog.prompt.shown.empty());
      EXPECT_TRUE(dialog.prompt.shown.back().text.starts_with("Адреса для соединений: " + refusal))
          << dialog.prompt.shown.back().text;
    }

    // The command line.
    testing::FakeRemoteAccess access;
    std::istringstream in;
    std::ostringstream out, err;
    const int code = app::ConfigCommand(dialog.dir.path(), access, {"set", "LISTEN_ADDRESSES", c.text}, in, out, err);
    EXPECT_EQ(code, c.badItem ? 1 : 0) << c.text << ": " << err.str();

    // The settings check of the ports.
    app::LocalCheckContext context;
    context.programDir = dialog.dir.path();
    Configuration checked = DefaultConfiguration(dialog.dir.path());
    checked.LISTEN_ADDRESSES = c.text;
    checked.SMTP_SRV_PORT = 0;  // out of range: the steps fail on the port alone when the list is taken
    checked.POP3_SRV_PORT = 0;
    checked.IMAP_SRV_PORT = 0;  // off: no port of its own
    const app::CheckTarget target = app::CheckLocalSide(checked, context);
    const bool listRefused = target.steps.at(1).detail.starts_with("LISTEN_ADDRESSES: " + refusal);
    EXPECT_EQ(listRefused, c.badItem != nullptr) << c.text << ": " << target.steps.at(1).detail;
  }
}

}  // namespace
}  // namespace quelma::config
