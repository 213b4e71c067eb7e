// Reading and writing sorter.cfg under the sorter-file lock.
#include "sorting/sorter_rules.h"

#include "platform/cp1251_utf8.h"
#include "spool/folder_names.h"

#include "platform/files.h"
#include "platform/line_reader.h"
#include "platform/text.h"
#include "spool/folder_names.h"

namespace quelma::sorting {
namespace {

constexpr std::size_t kMaxRuleLine = 1498;  // longer lines arrive in pieces

// User names and addresses follow the A-Z rule, as the user lookup does; a folder's name keeps
// its case ("anna/Projects" makes the folder Projects, and finds it in any case).
std::string LowerRecipients(std::string_view recipients) {
  std::string out;
  out.reserve(recipients.size());
  while (true) {
    const std::size_t comma = recipients.find(',');
    const std::string_view item = recipients.substr(0, comma);
    const std::size_t slash = item.find('@') == std::string_view::npos ? item.find(spool::kHierarchySeparator)
                                                                        : std::string_view::npos;
    out += platform::ToLowerAscii(item.substr(0, slash));
    if (slash != std::string_view::npos) out += item.substr(slash);
    if (comma == std::string_view::npos) return out;
    out += ',';
    recipients.remove_prefix(comma + 1);
  }
}

constexpr char kWarningLines[] =
    "# Редактирование этого файла вручную может привести к непредсказуемому\r\n"
    "# поведению программы. Используйте диалоги!\r\n";

enum class ReadState { kOutside, kHeaderName, kPattern, kRecipients, kStop, kOptions };

// The line after a rule's stop line that holds its options. An older build reads it outside any
// rule and passes over it; the rule itself it reads as before.
constexpr std::string_view kOptionsLine = "options:";

// "options: envelope ...": the options this build knows; others are passed over.
void ReadOptions(std::string_view line, SorterRule& rule) {
  line.remove_prefix(kOptionsLine.size());
  while (!line.empty()) {
    const std::size_t start = line.find_first_not_of(" \t\r\n");
    if (start == std::string_view::npos) break;
    line.remove_prefix(start);
    const std::string_view word = line.substr(0, line.find_first_of(" \t\r\n"));
    if (platform::EqualsIgnoreAsciiCase(word, "envelope")) rule.envelope = true;
    line.remove_prefix(word.size());
  }
}

// A text line as the fields keep it: without CR LF, up to a NUL, cut to the capacity.
std::string FieldText(const std::string& piece, std::size_t capacity) {
  const std::string_view text(piece.data(), piece.size() - 2);
  return std::string(platform::Cut(platform::UpToNul(text), capacity));
}

}  // namespace

std::string SorterFilePath(const std::string& programDir) { return programDir + "sorter.cfg"; }

SorterRuleTable ParseSorterRules(platform::ByteSource& source) {
  // Every complete rule needs an empty line of its own before it, so there are never more
  // rules than empty lines: the table needs no count read ahead of it.
  SorterRuleTable rules;
  SorterRule rule;
  ReadState state = ReadState::kOutside;
  platform::LineReader reader(source, kMaxRuleLine);
  std::string piece;
  while (reader.next(piece)) {
    if (piece == "\r\n") {
      state = ReadState::kHeaderName;
      rule = SorterRule{};
      continue;
    }
    if (!platform::EndsWithCrLf(piece)) {
      state = ReadState::kOutside;  // the rule being read is abandoned
      continue;
    }
    switch (state) {
      case ReadState::kOutside: break;
      case ReadState::kHeaderName:
        rule.headerName = FieldText(piece, limits::kHeaderName);
        state = ReadState::kPattern;
        break;
      case ReadState::kPattern:
        rule.pattern = platform::ToLowerCp1251(FieldText(piece, limits::kPattern));
        state = ReadState::kRecipients;
        break;
      case ReadState::kRecipients:
        rule.recipients = LowerRecipients(FieldText(piece, limits::kRecipients));
        state = ReadState::kStop;
        break;
      case ReadState::kStop:
        rule.stop = piece[0] == '1' ? 1 : 0;
        rules.push_back(std::move(rule));
        rule = SorterRule{};
        state = ReadState::kOptions;
        break;
      case ReadState::kOptions:
        if (platform::StartsWithIgnoreAsciiCase(piece, kOptionsLine)) ReadOptions(piece, rules.back());
        state = ReadState::kOutside;
        break;
    }
  }
  return rules;
}

std::optional<SorterRuleTable> ReadSorterRules(SorterFile& file) {
  std::lock_guard<std::mutex> hold(file.lock());
  auto input = platform::InputFile::Open(file.path());
  if (!input) {
    if (platform::FileExists(file.path())) return std::nullopt;  // a directory, or unreadable
    auto created = platform::OutputFile::Create(file.path(), platform::CreateMode::kAppend);
    if (!created || !created->close()) return std::nullopt;
    input = platform::InputFile::Open(file.path());
    if (!input) return std::nullopt;
  }
  SorterRuleTable rules = ParseSorterRules(*input);
  if (input->failed()) return std::nullopt;
  return rules;
}

bool IsWritableRule(const SorterRule& rule) {
  // An empty text line would read as the empty line that starts a rule, and a line feed
  // would split the field: either would shift this rule's lines onto the next fields.
  for (const std::string* text : {&rule.headerName, &rule.pattern, &rule.recipients}) {
    if (text->empty() || text->find('\n') != std::string::npos) return false;
  }
  return true;
}

std::string FormatSorterRules(const SorterRuleTable& rules) {
  std::string out = kWarningLines;
  for (const SorterRule& rule : rules) {
    if (!IsWritableRule(rule)) continue;
    out += "\r\n";
    out += rule.headerName + "\r\n";
    out += rule.pattern + "\r\n";
    out += rule.recipients + "\r\n";
    out += rule.stop ? "1\r\n" : "0\r\n";
    if (rule.envelope) out += std::string(kOptionsLine) + " envelope\r\n";
  }
  return out;
}

bool WriteSorterRules(SorterFile& file, SorterRuleTable& rules) {
  for (SorterRule& rule : rules) {
    platform::LowerCp1251InPlace(rule.pattern);
    // Patterns match Cyrillic text.
    rule.recipients = LowerRecipients(rule.recipients);
  }
  const std::string bytes = FormatSorterRules(rules);
  std::lock_guard<std::mutex> hold(file.lock());
  // The rules name every user and whom their mail goes to: for the program's user alone.
  return platform::AtomicReplace(file.path(), bytes, platform::CreateMode::kPrivate) == platform::WriteResult::kWritten;
}

void AppendSorterRule(SorterRuleTable& rules, SorterRule rule) {
  rule.headerName = std::string(platform::Cut(rule.headerName, limits::kHeaderName));
  rule.pattern = std::string(platform::Cut(rule.pattern, limits::kPattern));
  rule.recipients = std::string(platform::Cut(rule.recipients, limits::kRecipients));
  rules.push_back(std::move(rule));
}

std::optional<FolderRecipient> SplitFolderRecipient(std::string_view item) {
  const std::size_t slash = item.find(spool::kHierarchySeparator);
  if (slash == std::string_view::npos || item.find('@') != std::string_view::npos) return std::nullopt;
  return FolderRecipient{std::string(item.substr(0, slash)), std::string(item.substr(slash + 1))};
}

bool IsPossibleFolder(std::string_view folder, std::string* refusal) {
  return spool::FolderFileName(platform::Cp1251ToUtf8(folder), refusal).has_value();
}

}  // namespace quelma::sorting
