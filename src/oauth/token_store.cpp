// The tokens file: one JSON object {"logins": {KEY: REFRESH_TOKEN}}, sealed for the user.
// Writers take turns (the threads of this process under a mutex, other processes, such as a
// login from the command line beside the running program, under a lock on "oauth.tokens.lock");
// each reads the file again, changes one login and replaces the file whole, so no change of
// another writer is lost.
#include "oauth/token_store.h"

#include <mutex>

#include <nlohmann/json.hpp>

#include "platform/cp1251_utf8.h"
#include "platform/file_lock.h"
#include "platform/files.h"
#include "platform/secret_protection.h"
#include "platform/text.h"

namespace quelma::oauth {
namespace {

using nlohmann::json;

std::mutex& FileTurn() {
  static std::mutex turn;
  return turn;
}

constexpr std::size_t kLargestFile = 4 * 1024 * 1024;

// In UTF-8, as JSON keeps its texts (a login may hold Cyrillic letters).
std::string Key(std::string_view kind, std::string_view server, std::string_view login) {
  return platform::Cp1251ToUtf8(std::string(kind) + " " + platform::ToLowerAscii(server) + " " + std::string(login));
}

// The logins of the file; nothing when it exists but cannot be read or unsealed.
std::optional<json> Load(const std::string& path) {
  if (!platform::FileExists(path)) return json::object();
  const std::optional<std::string> sealed = platform::ReadWholeFile(path, kLargestFile);
  if (!sealed) return std::nullopt;
  const std::optional<std::string> text = platform::UnsealForUser(*sealed);
  if (!text) return std::nullopt;
  json document = json::parse(*text, nullptr, false);
  if (!document.is_object()) return std::nullopt;
  auto logins = document.find("logins");
  if (logins == document.end() || !logins->is_object()) return json::object();
  return *logins;
}

bool Store(const std::string& path, const json& logins) {
  const std::optional<std::string> sealed = platform::SealForUser(json{{"logins", logins}}.dump());
  return sealed && platform::AtomicReplace(path, *sealed, platform::CreateMode::kPrivate) == platform::WriteResult::kWritten;
}

}  // namespace

std::string Pop3LoginKey(std::string_view server, std::string_view login) { return Key("pop3", server, login); }
std::string SmtpLoginKey(std::string_view server, std::string_view login) { return Key("smtp", server, login); }

TokenStore::TokenStore(std::string programDir) : path_(std::move(programDir) + "oauth.tokens") {}

TokenStore::Read TokenStore::refreshToken(const std::string& key, std::string& token) const {
  std::lock_guard lock(FileTurn());
  const std::optional<json> logins = Load(path_);
  if (!logins) return Read::kUnreadable;
  const auto found = logins->find(key);
  if (found == logins->end() || !found->is_string() || found->get_ref<const std::string&>().empty()) return Read::kMissing;
  token = found->get<std::string>();
  return Read::kFound;
}

bool TokenStore::save(const std::string& key, const std::string& token) {
  std::lock_guard lock(FileTurn());
  const auto others = platform::FileLock::Acquire(path_ + ".lock");
  if (!others) return false;
  std::optional<json> logins = Load(path_);
  if (!logins) logins = json::object();  // a file no one can read any more is replaced
  (*logins)[key] = token;
  return Store(path_, *logins);
}

bool TokenStore::remove(const std::string& key) {
  std::lock_guard lock(FileTurn());
  const auto others = platform::FileLock::Acquire(path_ + ".lock");
  if (!others) return false;
  std::optional<json> logins = Load(path_);
  if (!logins) return false;
  if (logins->erase(key) == 0) return true;
  return Store(path_, *logins);
}

}  // namespace quelma::oauth
