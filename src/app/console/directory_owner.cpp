// Dropping root for the owner of the program directory.
#include "app/console/directory_owner.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quelma::app {
namespace {

std::string Reason(const char* step) { return std::string(step) + ": " + std::strerror(errno); }

}  // namespace

OwnerSwitch BecomeDirectoryOwner(const std::string& directory, std::string& problem) {
  if (::geteuid() != 0) return OwnerSwitch::kNotNeeded;
  struct stat status {};
  if (::stat(directory.c_str(), &status) != 0) {
    problem = Reason(directory.c_str());
    return OwnerSwitch::kFailed;
  }
  if (status.st_uid == 0) return OwnerSwitch::kNotNeeded;
  const uid_t user = status.st_uid;
  const passwd* account = ::getpwuid(user);
  // A user the system knows gets its own group and groups; an unknown one the directory's group.
  const gid_t group = account != nullptr ? account->pw_gid : status.st_gid;
  const int groupsSet = account != nullptr ? ::initgroups(account->pw_name, group) : ::setgroups(1, &group);
  if (groupsSet != 0) {
    problem = Reason("setgroups");
  } else if (::setgid(group) != 0) {
    problem = Reason("setgid");
  } else if (::setuid(user) != 0) {
    problem = Reason("setuid");
  } else if (::getuid() != user || ::geteuid() != user || ::getgid() != group || ::getegid() != group) {
    problem = "the user or group did not change";
  } else if (::setuid(0) == 0) {
    problem = "root could be taken back";
  } else {
    return OwnerSwitch::kSwitched;
  }
  return OwnerSwitch::kFailed;
}

}  // namespace quelma::app
