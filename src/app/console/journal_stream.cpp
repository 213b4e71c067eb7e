// Recognising the journal on stdout and shaping lines for it.
#include "app/console/journal_stream.h"

#include <sys/stat.h>

#include <cstdlib>
#include <charconv>

namespace quelma::app {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The stamp the activity log puts first: "05 Dec 2001 14:03:07 " ('0' a digit, 'A' a letter).
bool StartsWithStamp(std::string_view line) {
  static constexpr std::string_view kShape = "00 AAA 0000 00:00:00 ";
  if (line.size() < kShape.size()) return false;
  for (std::size_t i = 0; i < kShape.size(); ++i) {
    const bool fits = kShape[i] == '0'   ? IsDigit(line[i])
                      : kShape[i] == 'A' ? IsLetter(line[i])
                                         : line[i] == kShape[i];
    if (!fits) return false;
  }
  return true;
}

bool ParseNumber(std::string_view text, unsigned long long& value) {
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

bool JournalStreamNames(const char* journalStream, unsigned long long device, unsigned long long inode) {
  if (journalStream == nullptr) return false;
  const std::string_view text(journalStream);
  const auto colon = text.find(':');
  if (colon == std::string_view::npos) return false;
  unsigned long long wantDevice = 0;
  unsigned long long wantInode = 0;
  return ParseNumber(text.substr(0, colon), wantDevice) && ParseNumber(text.substr(colon + 1), wantInode) &&
         wantDevice == device && wantInode == inode;
}

bool WritesToJournal(std::FILE* out) {
  struct stat status {};
  if (::fstat(::fileno(out), &status) != 0) return false;
  return JournalStreamNames(std::getenv("JOURNAL_STREAM"), static_cast<unsigned long long>(status.st_dev),
                            static_cast<unsigned long long>(status.st_ino));
}

std::string JournalLine(std::string_view utf8Line) {
  static constexpr std::size_t kStampLength = 21;
  if (StartsWithStamp(utf8Line)) utf8Line.remove_prefix(kStampLength);
  std::string line = "<6>";
  line += utf8Line;
  return line;
}

}  // namespace quelma::app
