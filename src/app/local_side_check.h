// The settings check of this machine's side: the local servers' ports, the folders the mail
// is kept in, the free disk space, local users without passwords, the relay networks, the
// local domain and the dial-up entry.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/check_mends.h"
#include "app/check_report.h"
#include "config/configuration.h"

namespace quelma::app {

// Below this much free space the disk is a warning, below the second a failure.
inline constexpr std::uint64_t kDiskWarningBytes = 100ull << 20;
inline constexpr std::uint64_t kDiskFailureBytes = 10ull << 20;

struct LocalCheckContext {
  std::string programDir;  // ends with the separator
  // Free bytes on the disk of a folder; nothing when the system cannot tell.
  std::function<std::optional<std::uint64_t>(const std::string&)> freeBytes;
  // Whether a quelma runs on this program directory (it holds the instance lock): a port it
  // holds is its own.
  std::function<bool()> programRunning;
  // The dial-up entries of this machine.
  std::function<std::vector<std::string>()> dialUpEntries;
  // How the front end names the way to change a setting in a hint (the command line's when empty).
  MendWords mend;
};

CheckTarget CheckLocalSide(const config::Configuration& config, const LocalCheckContext& context);

}  // namespace quelma::app
