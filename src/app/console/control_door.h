// The running program's door for commands that must run inside it (a backup takes the
// mailboxes' locks, which only the running program holds): a local socket "quelma.ctl" in the
// program directory, which only the directory's owner can reach.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace quelma::app {

// Opens the door in the current directory (the program directory) and answers one request at
// a time on a thread of its own until the process ends: a line in, with a file the asker may
// hand over (its descriptor, or -1; `answer` closes it), and `answer`'s text back. False when
// the socket cannot be made.
bool OpenControlDoor(std::function<std::string(const std::string& request, int handedFile)> answer);

// The answer of the program running in the current directory to `request` (one line), handing
// it the open file `handFile` unless it is -1 (a program in a sandbox writes where the asker
// can). Nothing, with the reason in `problem`, when it cannot be reached.
std::optional<std::string> AskRunningProgram(const std::string& request, int handFile, std::string& problem);

}  // namespace quelma::app
