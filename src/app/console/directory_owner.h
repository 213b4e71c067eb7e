// The administrator's commands run as root would leave root's files in the program directory
// (quelma.cfg replaced by a root-owned 0600 copy), which the service's own user could no longer
// read. So as root they first become the directory's owner.
#pragma once

#include <string>

namespace quelma::app {

enum class OwnerSwitch {
  kNotNeeded,  // not root, or the directory is root's own
  kSwitched,   // now running as the owner, with the owner's groups
  kFailed,     // `problem` says why; nothing may be touched then
};

// As root, takes on the user and group of `directory`'s owner (supplementary groups, group,
// user, in that order, each checked, and root cannot be regained).
OwnerSwitch BecomeDirectoryOwner(const std::string& directory, std::string& problem);

}  // namespace quelma::app
