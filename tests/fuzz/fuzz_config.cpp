// Fuzz target: any bytes as quelma.cfg, then a save and a second load of what was read.
#include <cstddef>
#include <cstdint>
#include <string>

#include "config/config_file.h"
#include "platform/byte_source.h"

using namespace quelma;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  config::Configuration first;
  platform::StringSource source(bytes);
  config::ReadConfiguration(source, first);

  namespace L = config::limits;
  bool withinCapacity = first.MailDropDir.size() <= L::kPath && first.QueueDir.size() <= L::kPath &&
                        first.LocalDomain.size() <= L::kLocalDomain && first.SMTPServer.size() <= L::kHost &&
                        first.Boss.size() <= L::kSpecialUser && first.DialUpRecord.size() <= L::kDialUpRecord &&
                        first.SMTP_LOGIN_PASS.size() <= 32 && first.UNDISCLOSED_MAIL_TO.size() <= L::kUndisclosedMailTo &&
                        first.users.size() <= L::kUsers && first.accounts.size() <= L::kAccounts;
  for (const auto& u : first.users) {
    withinCapacity = withinCapacity && !u.name.empty() && u.name.size() <= L::kUserName &&
                     u.password.size() <= L::kUserPassword && u.alias.size() <= L::kUserAlias;
  }
  for (const auto& a : first.accounts) {
    withinCapacity = withinCapacity && a.port >= 1 && a.port <= 30000 && a.login.size() <= L::kAccountLogin &&
                     a.password.size() <= 24 && !a.deliverTo.empty();
  }
  for (const auto& phone : first.DialupPhoneNumber) withinCapacity = withinCapacity && phone.size() <= L::kPhoneNumber;
  if (!withinCapacity) __builtin_trap();

  // Whatever was read must survive the writer and the reader again; the rule check and the
  // file itself are left out, they are exercised by the unit tests.
  const std::string written = config::FormatConfiguration(first);
  config::Configuration second;
  config::ResetForLoad(second);
  platform::StringSource again(written);
  config::ReadConfiguration(again, second);
  if (second.users.size() != first.users.size() || second.accounts.size() != first.accounts.size()) __builtin_trap();
  return 0;
}
