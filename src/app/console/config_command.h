// "quelma config ...": every setting of the settings dialogs from the command line, changed
// through the dialogs' own logic, with their checks and their messages.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace quelma::dialup {
class RemoteAccess;
}

namespace quelma::app {

// `words` follow "config". Messages go to `out` and `err` in UTF-8; passwords are read from
// `in`, one line each. 0: done; 1: refused or failed, the files as they were; 2: not a command
// (the usage said why).
int ConfigCommand(const std::string& programDir, const std::vector<std::string>& words, std::istream& in,
                  std::ostream& out, std::ostream& err);

// The same with the dial-up entries of `access` (a fake in tests).
int ConfigCommand(const std::string& programDir, dialup::RemoteAccess& access, const std::vector<std::string>& words,
                  std::istream& in, std::ostream& out, std::ostream& err);

// The usage lines of the command, for the program's usage text.
const char* ConfigUsage();

}  // namespace quelma::app
