// Telling the service manager (systemd's Type=notify) how the program stands: ready, reloading,
// stopping. Without NOTIFY_SOCKET in the environment nothing is sent.
#pragma once

#include <string>
#include <string_view>

namespace quelma::app {

// Sends one datagram of "NAME=VALUE" lines to $NOTIFY_SOCKET (a path, or "@name" for the abstract
// namespace). False when there is no such socket or the datagram could not be sent.
bool NotifyServiceManager(std::string_view state);

// "RELOADING=1" with the monotonic time the manager wants beside it.
std::string ReloadingState();

}  // namespace quelma::app
