// Queue file names, envelopes, publication under a fresh name, and envelope reading.
#include "spool/queue_file.h"

#include <algorithm>

#include "platform/line_reader.h"
#include "platform/text.h"

namespace quelma::spool {

std::string QueueFileName(std::uint32_t tick) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string name;
  for (int shift = 28; shift >= 0; shift -= 4) name.push_back(kDigits[(tick >> shift) & 15]);
  return name;
}

bool IsQueueFileName(std::string_view name) {
  if (name.size() != 8) return false;
  for (const char c : name) {
    if (!platform::IsHexDigit(c)) return false;
  }
  return true;
}

std::vector<std::string> ListQueueFiles(const std::string& queueDir) {
  std::vector<std::string> names;
  for (auto& name : platform::ListDirectory(queueDir, "????????")) {
    if (IsQueueFileName(name)) names.push_back(std::move(name));
  }
  return names;
}

std::string FormatEnvelope(std::string_view sender, const std::vector<std::string>& recipients) {
  std::string out = "MAIL FROM:<" + std::string(sender) + ">\r\n";
  for (const auto& r : recipients) out += "RCPT TO:<" + r + ">\r\n";
  return out;
}

namespace {

constexpr char kSentMark[] = ".sent";

}  // namespace

bool MarkQueueFileSent(const std::string& queueDir, const std::string& name) {
  auto mark = platform::OutputFile::Create(queueDir + name + kSentMark, platform::CreateMode::kTruncate);
  return mark && mark->close();
}

bool IsQueueFileSent(const std::string& queueDir, const std::string& name) {
  return platform::FileExists(queueDir + name + kSentMark);
}

bool RemoveSentQueueFile(const std::string& queueDir, const std::string& name) {
  if (!platform::RemoveFile(queueDir + name) && platform::FileExists(queueDir + name)) return false;
  platform::RemoveFile(queueDir + name + kSentMark);
  return true;
}

void RemoveStaleSentMarks(const std::string& queueDir) {
  for (const auto& mark : platform::ListDirectory(queueDir, std::string("????????") + kSentMark)) {
    const std::string name = mark.substr(0, mark.size() - std::string_view(kSentMark).size());
    if (!platform::FileExists(queueDir + name)) platform::RemoveFile(queueDir + mark);
  }
}

std::optional<std::string> ChooseQueueFileName(const std::string& queueDir, std::uint32_t tick,
                                               const std::vector<std::string>& taken) {
  // A name left by an earlier run (the tick counter starts again at boot) is never replaced.
  for (std::uint32_t attempt = 0; attempt < 100000; ++attempt) {
    const std::string name = QueueFileName(tick + attempt);
    if (platform::FileExists(queueDir + name) || IsQueueFileSent(queueDir, name)) continue;
    if (std::find(taken.begin(), taken.end(), name) != taken.end()) continue;
    return name;
  }
  return std::nullopt;
}

std::optional<std::string> PublishQueueFile(const std::string& temporaryPath, const std::string& queueDir,
                                            std::uint32_t tick) {
  // A name left by an earlier run (the tick counter starts again at boot) is never replaced.
  for (std::uint32_t attempt = 0; attempt < 1000; ++attempt) {
    const std::string name = QueueFileName(tick + attempt);
    if (IsQueueFileSent(queueDir, name)) continue;
    if (platform::RenameNoReplace(temporaryPath, queueDir + name)) return name;
    if (!platform::FileExists(queueDir + name)) return std::nullopt;  // a failure of another kind
  }
  return std::nullopt;
}

std::string_view EnvelopeSender(std::string_view mailFromLine) {
  const std::string_view rest = mailFromLine.substr(std::min<std::size_t>(11, mailFromLine.size()));
  return rest.substr(0, rest.find_first_of(">\r\n"));
}

QueueFileKind ReadQueueEnvelope(platform::ByteSource& file, QueueEnvelope& envelope) {
  envelope = QueueEnvelope{};
  platform::LineReader reader(file, kMaxQueueLine);
  std::string line;
  if (!reader.next(line)) return QueueFileKind::kEmpty;
  if (!platform::StartsWithIgnoreAsciiCase(line, "MAIL FROM:")) return QueueFileKind::kNotAMessage;
  envelope.sender = std::string(EnvelopeSender(line));
  std::uint64_t offset = 0;
  do {
    const std::string_view l(line);
    if (l.starts_with("RCPT TO:<")) {
      envelope.recipientLines.push_back(line);
    } else if (!l.starts_with("MAIL FROM:<") && !l.starts_with("From ")) {
      break;  // the first line of the message
    }
    offset += line.size();
  } while (reader.next(line));
  envelope.messageOffset = offset;
  return QueueFileKind::kMessage;
}

}  // namespace quelma::spool
