// pppd, /etc/ppp and /sys/class/net behind the dialer's five operations.
#include "dialup/posix/pppd_remote_access.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include <fstream>
#include <sstream>

#include "platform/files.h"

extern char** environ;

namespace quelma::dialup {
namespace {

constexpr int kMaxPppInterfaces = 64;

std::string FirstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// The words of each line, without comments and quotes, as pppd's option files have them.
std::vector<std::vector<std::string>> OptionLines(std::istream& in) {
  std::vector<std::vector<std::string>> lines;
  std::string line;
  while (std::getline(in, line)) {
    line = line.substr(0, line.find('#'));
    std::istringstream words(line);
    std::vector<std::string> out;
    for (std::string w; words >> w;) {
      if (w.size() >= 2 && w.front() == '"' && w.back() == '"') w = w.substr(1, w.size() - 2);
      out.push_back(w);
    }
    if (!out.empty()) lines.push_back(std::move(out));
  }
  return lines;
}

bool SecretsHold(const std::string& path, const std::string& user) {
  std::ifstream in(path);
  for (const auto& words : OptionLines(in)) {
    if (words[0] == user) return true;
  }
  return false;
}

}  // namespace

std::vector<std::string> PppdRemoteAccess::entryNames() {
  return platform::ListDirectory(paths_.peersDir, "*");
}

ConnectionHandle PppdRemoteAccess::firstActiveConnection() {
  // /sys/class/net holds links, which the directory listing leaves out: the names are tried.
  for (int n = 0; n < kMaxPppInterfaces; ++n) {
    const std::string name = "ppp" + std::to_string(n);
    if (!platform::FileExists(paths_.netDir + name)) continue;
    const unsigned long flags = std::strtoul(FirstLine(paths_.netDir + name + "/flags").c_str(), nullptr, 16);
    if ((flags & 1u) == 0) continue;  // IFF_UP
    const unsigned long index = std::strtoul(FirstLine(paths_.netDir + name + "/ifindex").c_str(), nullptr, 10);
    if (index != 0) return index;
  }
  const long dialling = diallingPid_;
  return dialling > 0 ? kDiallingBit | static_cast<ConnectionHandle>(dialling) : 0;
}

std::optional<SavedDialParameters> PppdRemoteAccess::savedParameters(const std::string& entry) {
  std::ifstream in(paths_.peersDir + entry);
  if (!in) return std::nullopt;
  std::string user;
  for (const auto& words : OptionLines(in)) {
    if (words[0] == "password" && words.size() > 1) return SavedDialParameters{true};
    if (words[0] == "user" && words.size() > 1) user = words[1];
  }
  if (user.empty()) return SavedDialParameters{true};
  return SavedDialParameters{SecretsHold(paths_.secretsDir + "pap-secrets", user) ||
                             SecretsHold(paths_.secretsDir + "chap-secrets", user)};
}

DialOutcome PppdRemoteAccess::dial(const std::string& entry, const std::string& phoneNumber) {
  std::vector<std::string> args = {paths_.pppd, "call", entry, "updetach"};
  if (!phoneNumber.empty()) {
    args.push_back("telephone");
    args.push_back(phoneNumber);
  }
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, args[0].c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return {};
  diallingPid_ = pid;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  diallingPid_ = 0;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
  return {true, firstActiveConnection()};
}

void PppdRemoteAccess::hangUp(ConnectionHandle connection) {
  if ((connection & kDiallingBit) != 0) {
    kill(static_cast<pid_t>(connection & ~kDiallingBit), SIGTERM);
    return;
  }
  for (int n = 0; n < kMaxPppInterfaces; ++n) {
    const std::string name = "ppp" + std::to_string(n);
    if (std::strtoul(FirstLine(paths_.netDir + name + "/ifindex").c_str(), nullptr, 10) != connection) continue;
    const long pid = std::strtol(FirstLine(paths_.runDir + name + ".pid").c_str(), nullptr, 10);
    if (pid > 0) kill(static_cast<pid_t>(pid), SIGTERM);
    return;
  }
}

std::unique_ptr<RemoteAccess> CreateSystemRemoteAccess() { return std::make_unique<PppdRemoteAccess>(); }

}  // namespace quelma::dialup
