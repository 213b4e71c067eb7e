// Printing log lines converted from Windows-1251, with 24-bit colour escapes on a terminal and
// with a priority prefix when stdout is the journal.
#include "app/console/terminal_log_view.h"

#include <unistd.h>

#include <string>

#include "app/console/journal_stream.h"
#include "platform/cp1251_utf8.h"

namespace quelma::app {

TerminalLogView::TerminalLogView(std::FILE* out)
    : out_(out), journal_(WritesToJournal(out)), colour_(!journal_ && ::isatty(::fileno(out)) != 0) {}

void TerminalLogView::showLine(link::LogSource source, std::string_view lineWithoutCrLf) {
  std::string text = platform::Cp1251ToUtf8(lineWithoutCrLf);
  if (journal_) {
    text = JournalLine(text);
  } else if (colour_) {
    const link::Rgb c = link::LogColour(source);
    text = "\x1b[38;2;" + std::to_string(c.r) + ";" + std::to_string(c.g) + ";" + std::to_string(c.b) + "m" + text +
           "\x1b[0m";
  }
  text.push_back('\n');
  std::fwrite(text.data(), 1, text.size(), out_);
  std::fflush(out_);
}

}  // namespace quelma::app
