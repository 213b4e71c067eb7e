// "Reload settings now" (SIGHUP, systemctl reload): quelma.cfg and sorter.cfg read again at once,
// as a communication session's start reads them, and published to every thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "link/activity_log.h"
#include "config/config_store.h"
#include "sorting/sorter_rules.h"

namespace quelma::app {

// The menu command the signal thread posts to the main thread for SIGHUP.
inline constexpr std::uintptr_t kCommandReloadSettings = 40090;

// The keys the servers take only when they start (listening sockets, certificate, session
// limits): a change to them waits for a restart.
std::vector<std::string> KeysTakenAtStart(const config::Configuration& running, const config::Configuration& read);

// Main thread: reads the files again over the current settings and publishes them; logs what
// happened. An unreadable quelma.cfg leaves the current settings. True when the files were read.
bool ReloadSettings(const std::string& programDir, sorting::SorterFile& sorterFile, config::ConfigStore& store,
                    link::ActivityLog& log);

}  // namespace quelma::app
