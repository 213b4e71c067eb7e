// The first member of every backup: what made it, when, and where in the archive the program's
// places are (the maildrop and queue directories, the certificate files), so that a restore can
// point quelma.cfg at the same places inside its new directory.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace quelma::backup {

inline constexpr char kManifestMember[] = "quelma-backup.txt";

enum class TokensKept { kNone, kPlain, kSealed };

struct BackupManifest {
  std::int64_t created = 0;  // seconds since 1970
  std::string programDir;    // where the program directory was
  // Settings that name a place, by key (MailDropDir, QueueDir, TLS_CERT_FILE, ...): the member
  // (a directory's with a trailing "/") that holds it in the archive.
  std::map<std::string, std::string> places;
  TokensKept tokens = TokensKept::kNone;
};

std::string FormatManifest(const BackupManifest& manifest);
// Nothing when the text is not a manifest of a format this build reads.
std::optional<BackupManifest> ParseManifest(std::string_view text);

// `path` as a member name when it lies inside `programDir` (a directory's ends with "/"),
// nothing when it lies elsewhere. The separators become "/".
std::optional<std::string> MemberInside(const std::string& programDir, const std::string& path);

// A member name as a path under `directory` (which ends with the separator).
std::string PathOfMember(const std::string& directory, std::string_view member);

}  // namespace quelma::backup
