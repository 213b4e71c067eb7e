// The manifest's lines: "key=value", the format's name first.
#include "backup/backup_manifest.h"

#include "platform/paths.h"
#include "platform/text.h"

namespace quelma::backup {
namespace {

constexpr std::string_view kFormatLine = "Quelmar backup 1";
constexpr std::string_view kPlacePrefix = "place.";

}  // namespace

std::string FormatManifest(const BackupManifest& m) {
  std::string text = std::string(kFormatLine) + "\n";
  text += "created=" + std::to_string(m.created) + "\n";
  text += "program=" + m.programDir + "\n";
  for (const auto& [key, member] : m.places) text += std::string(kPlacePrefix) + key + "=" + member + "\n";
  text += std::string("tokens=") +
          (m.tokens == TokensKept::kPlain ? "plain" : m.tokens == TokensKept::kSealed ? "sealed" : "none") + "\n";
  return text;
}

std::optional<BackupManifest> ParseManifest(std::string_view text) {
  BackupManifest m;
  bool first = true;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    if (first) {
      if (line != kFormatLine) return std::nullopt;
      first = false;
      continue;
    }
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) return std::nullopt;
    const std::string_view key = line.substr(0, equals), value = line.substr(equals + 1);
    if (key == "created") {
      m.created = std::strtoll(std::string(value).c_str(), nullptr, 10);
    } else if (key == "program") {
      m.programDir = value;
    } else if (key.starts_with(kPlacePrefix)) {
      m.places[std::string(key.substr(kPlacePrefix.size()))] = value;
    } else if (key == "tokens") {
      m.tokens = value == "plain" ? TokensKept::kPlain : value == "sealed" ? TokensKept::kSealed : TokensKept::kNone;
    }
  }
  if (first) return std::nullopt;
  return m;
}

std::optional<std::string> MemberInside(const std::string& programDir, const std::string& path) {
  if (programDir.empty() || path.size() <= programDir.size()) return std::nullopt;
  // Windows file names are the same whatever their case.
  const bool inside = platform::kPathSeparator == '\\' ? platform::StartsWithIgnoreAsciiCase(path, programDir)
                                                       : path.starts_with(programDir);
  if (!inside) return std::nullopt;
  std::string member = path.substr(programDir.size());
  for (char& c : member) {
    if (c == '\\') c = '/';
  }
  if (member.front() == '/') return std::nullopt;
  return member;
}

std::string PathOfMember(const std::string& directory, std::string_view member) {
  std::string path = directory + std::string(member);
  for (std::size_t i = directory.size(); i < path.size(); ++i) {
    if (path[i] == '/') path[i] = platform::kPathSeparator;
  }
  return path;
}

}  // namespace quelma::backup
