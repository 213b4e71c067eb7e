// The append contract of maildrops.
#include "platform/exit_gate.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/unique_tick.h"
#include "spool/maildrop.h"
#include "spool/queue_file.h"

namespace quelma::spool {

std::string FormatMaildropSeparator(std::uint32_t tick) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out(kMaildropMarker);
  out.push_back(' ');
  for (int shift = 28; shift >= 0; shift -= 4) out.push_back(kDigits[(tick >> shift) & 15]);
  return out;
}

std::string NewSeparatorLine() { return FormatMaildropSeparator(platform::ProcessUniqueTicks().next()) + "\r\n"; }

std::string MaildropPath(const config::Configuration& config, std::string_view userName) {
  const int user = config::FindLocalUser(config, userName);
  return config.MailDropDir + (user >= 0 ? config.users[static_cast<std::size_t>(user)].name : std::string(userName));
}

AppendResult AppendToMaildropWith(const std::string& path, std::string_view separatorLine,
                                  const std::function<bool(MaildropTextWriter&)>& writeText, bool durable) {
  const platform::ExitGateHold whole;
  std::lock_guard<std::mutex> hold(MaildropLock(path));
  const auto existing = platform::FileSize(path);
  const std::uint64_t before = existing.value_or(0);
  auto file = platform::OutputFile::Create(path, platform::CreateMode::kAppend);
  if (!file) return AppendResult::kCannotOpen;
  MaildropTextWriter text(*file);
  const bool ok = file->write(separatorLine) && writeText(text) && text.finish() && (!durable || file->sync());
  if (!file->close() || !ok) {
    // The write's reason stays the one to tell, unless the cut fails too.
    return platform::TruncateFile(path, before) ? AppendResult::kWriteFailed : AppendResult::kTornTail;
  }
  if (durable && !existing && !platform::SyncParentDirectory(path)) return AppendResult::kWriteFailed;
  return AppendResult::kAppended;
}

AppendResult AppendToMaildrop(const std::string& path, std::string_view separatorLine, std::string_view text,
                              bool durable) {
  return AppendToMaildropWith(path, separatorLine, [text](MaildropTextWriter& w) { return w.write(text); }, durable);
}

}  // namespace quelma::spool
