// The dialer: bring up the dial-up link for a session (a worker thread), hang it up at the
// session's end, and the user's "break the connection".
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "link/activity_log.h"
#include "link/main_window.h"
#include "config/configuration.h"
#include "dialup/remote_access.h"

namespace quelma::dialup {

// Shared by the dialer thread and the main thread.
struct DialerState {
  std::atomic<ConnectionHandle> rasConnection{0};
  std::atomic<int> dialedByUs{0};
  std::atomic<int> dialAbortRequest{0};
};

inline constexpr std::uint32_t kPauseAfterFailedDialMs = 4000;

struct DialerContext {
  link::MainWindow& window;
  link::ActivityLog& log;
  const config::Configuration& config;
  RemoteAccess& access;
  DialerState& state;
  std::function<void(std::uint32_t milliseconds)> sleep;  // the pause after a failed dial
};

// The thread body: posts UM_CONNECTED (1 = a link was up, 3 = dialled) when the link is up,
// then UM_WORKER_DONE (3) in every case.
void RunDialer(const DialerContext& context);

// Passes over the entry's own number and the additional numbers; non-zero when connected.
int DialWithAttempts(const DialerContext& context, int attempts);

ConnectionHandle FirstActiveConnection(RemoteAccess& access);

// Hangs up at the end of a dial-up session only a link the dialer dialled, with DialupAutoOff.
void HangUpAtSessionEnd(const config::Configuration& config, RemoteAccess& access, DialerState& state);

// "Прервать связь": the dialer stops before its next attempt, and the active link goes down.
void BreakConnection(RemoteAccess& access, DialerState& state);

}  // namespace quelma::dialup
