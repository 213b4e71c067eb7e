// Gives quelma.exe a refresh token as its first OAuth login would leave it, for the Wine checks:
// stored through the program's own token store, so oauth.tokens is sealed for the user running
// this tool (who must be the one running quelma.exe). Also reads a stored token back, so a
// check can see which token a session left behind.
//
//   oauth_seed PROGRAM_DIR pop3|smtp SERVER LOGIN REFRESH_TOKEN   store; exit 0, 1 when not written
//   oauth_seed PROGRAM_DIR --read pop3|smtp SERVER LOGIN          print the stored token; exit 0,
//                                                                 1 when none, 2 when unreadable
//   oauth_seed PROGRAM_DIR --remove pop3|smtp SERVER LOGIN        forget it; exit 0, 1 on failure
//
// Exit 3 for anything else. The login key is made by the program's own functions, so a seeded
// token is found under exactly the key quelma.exe looks for.
#include <cstdio>
#include <optional>
#include <string>

#include "oauth/token_store.h"

namespace {

using quelma::oauth::TokenStore;

std::optional<std::string> KeyOf(const std::string& kind, const std::string& server, const std::string& login) {
  if (kind == "pop3") return quelma::oauth::Pop3LoginKey(server, login);
  if (kind == "smtp") return quelma::oauth::SmtpLoginKey(server, login);
  return std::nullopt;
}

int Usage() {
  std::fputs("usage: oauth_seed PROGRAM_DIR pop3|smtp SERVER LOGIN REFRESH_TOKEN\n"
             "       oauth_seed PROGRAM_DIR --read|--remove pop3|smtp SERVER LOGIN\n",
             stderr);
  return 3;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) return Usage();
  std::string dir = argv[1];
  if (dir.empty()) return Usage();
  if (dir.back() != '\\' && dir.back() != '/') dir += '\\';
  TokenStore store(dir);
  const std::string first = argv[2];
  if (first == "--read" || first == "--remove") {
    const std::optional<std::string> key = KeyOf(argv[3], argv[4], argv[5]);
    if (!key) return Usage();
    if (first == "--remove") return store.remove(*key) ? 0 : 1;
    std::string token;
    switch (store.refreshToken(*key, token)) {
      case TokenStore::Read::kFound:
        std::printf("%s\n", token.c_str());
        return 0;
      case TokenStore::Read::kMissing:
        return 1;
      case TokenStore::Read::kUnreadable:
        std::fputs("oauth_seed: the tokens file cannot be read or unsealed\n", stderr);
        return 2;
    }
    return 2;
  }
  const std::optional<std::string> key = KeyOf(argv[2], argv[3], argv[4]);
  if (!key || argv[5][0] == '\0') return Usage();
  if (!store.save(*key, argv[5])) {
    std::fprintf(stderr, "oauth_seed: %s not written\n", store.path().c_str());
    return 1;
  }
  return 0;
}
