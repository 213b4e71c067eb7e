// What quelma.exe is told on its command line: start in the tray, and which program directory
// to use (an installed copy keeps its mail and settings outside the program folder).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quelma::app {

struct StartOptions {
  bool tray = false;       // "/tray": start hidden in the notification area, as show command 7 does
  std::string directory;   // "/dir PATH": the program directory; empty = the executable's own
};

struct StartOptionsResult {
  std::optional<StartOptions> options;
  std::string error;  // the argument that could not be taken, when `options` is empty
};

// Splits the command line (without the program's own name) into words: blanks separate them,
// double quotes group blanks into a word and are removed; a backslash is an ordinary character,
// so "C:\Mail\" stays a path. Switches are taken with '/' or '-', in any letter case.
StartOptionsResult ParseStartOptions(std::string_view commandLine);

}  // namespace quelma::app
