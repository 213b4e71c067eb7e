// Log lines for the journal: when the service manager connected stdout to the journal, each line
// goes with its syslog priority and without the program's own date and time (the journal keeps
// its own, and the terminal's colours mean nothing there).
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace quelma::app {

// Whether JOURNAL_STREAM ("DEVICE:INODE", decimal) names the file open as `out`.
bool WritesToJournal(std::FILE* out);
bool JournalStreamNames(const char* journalStream, unsigned long long device, unsigned long long inode);

// "<6>TAG> text": the line at priority "info", the leading "DD Mon YYYY HH:MM:SS " taken off.
std::string JournalLine(std::string_view utf8Line);

}  // namespace quelma::app
