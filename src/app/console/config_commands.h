// The parts of "quelma config", one per settings dialog; `words` follow the part's own word
// ("user", "account", ...). Each returns what ConfigCommand returns.
#pragma once

#include <span>
#include <string>

#include "app/console/config_session.h"

namespace quelma::app {

using Words = std::span<const std::string>;

int ShowCommand(ConfigSession& session);
int SetCommand(ConfigSession& session, Words words);        // the servers and communication dialogs
int UserCommand(ConfigSession& session, Words words);       // the user list
int RoleCommand(ConfigSession& session, Words words);       // postmaster, daemon, boss
int AccountCommand(ConfigSession& session, Words words);    // the provider accounts
int SmtpCommand(ConfigSession& session, Words words);       // the provider's SMTP server and login
int PhoneCommand(ConfigSession& session, Words words);      // the dial-up entry's phone numbers
int RuleCommand(ConfigSession& session, Words words);       // the sorter's rules
int UnsortedCommand(ConfigSession& session, Words words);   // the recipients of unsorted mail
int ScheduleCommand(ConfigSession& session, Words words);   // the weekly timetable

// The lists as "show" and the "list" commands print them (Windows-1251 lines).
std::vector<std::string> UserLines(const config::Configuration& config);
std::vector<std::string> AccountLines(const config::Configuration& config);
std::vector<std::string> RuleLines(ConfigSession& session);
std::vector<std::string> ScheduleLines(const config::Configuration& config);

}  // namespace quelma::app
