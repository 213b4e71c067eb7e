// Session control: when a communication session starts (the menu, daemon mail, the
// timetable), which workers it starts, how it moves through the accounts, and its end.
// Everything here runs on the main thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "link/activity_log.h"
#include "link/main_window.h"
#include "config/config_store.h"
#include "dialup/dialer.h"
#include "dialup/scheduler.h"
#include "platform/clock.h"

namespace quelma::app {

inline constexpr unsigned kWmTimer = 0x0113;
inline constexpr std::uintptr_t kSessionTimerId = 1;
inline constexpr std::uint32_t kSessionTimerMs = 2000;
inline constexpr std::uintptr_t kCommandBreakConnection = 40015;

// The halves of a dial-up session: the link goes down once both are done.
inline constexpr std::uint32_t kPop3ClientDone = 1;  // every account's run has ended
inline constexpr std::uint32_t kSmtpClientDone = 2;  // the upload has ended

// How the workers are started: threads in the program, fakes in tests. Each worker reports
// its end with UM_WORKER_DONE as its last act.
class SessionWorkers {
 public:
  virtual ~SessionWorkers() = default;
  virtual void startDialer(std::shared_ptr<const config::Configuration> config) = 0;
  virtual void startSmtpClient(std::shared_ptr<const config::Configuration> config) = 0;
  // The account the client works on (CurrentPop3Account) is config->accounts[accountIndex].
  virtual void startPop3Client(std::shared_ptr<const config::Configuration> config, std::size_t accountIndex) = 0;
};

struct SessionContext {
  config::ConfigStore& store;
  std::function<void()> reloadConfiguration;  // reads quelma.cfg again and publishes it
  link::ActivityLog& log;
  SessionWorkers& workers;
  dialup::RemoteAccess& access;
  dialup::DialerState& dialer;
  platform::Clock& clock;
};

class SessionControl {
 public:
  explicit SessionControl(SessionContext context) : c_(std::move(context)) {}

  void tick();  // the 2000 ms timer: daemon mail first, then the timetable
  void startSession();
  void connected();
  void workerDone(link::WorkerId worker);
  void breakConnection();

  // Set while a settings dialog (servers, communication, sorter) is open: a session then
  // runs on the settings in memory instead of re-reading the file.
  bool settingsDialogOpen = false;

  std::uint32_t sessionDoneMask() const { return sessionDoneMask_; }
  std::size_t currentAccountIndex() const { return currentAccountIndex_; }
  dialup::ScheduleMinute lastTrigger() const { return lastTrigger_; }

 private:
  bool takeDaemonMail(const config::Configuration& config);
  void startClients();
  void startPop3Client();
  void accountDone();
  void endIfDone();

  SessionContext c_;
  std::shared_ptr<const config::Configuration> session_;  // the settings of the running session
  bool dialerRunning_ = false;
  std::uint32_t sessionDoneMask_ = 0;
  std::size_t currentAccountIndex_ = 0;
  dialup::ScheduleMinute lastTrigger_ = dialup::kNoTrigger;
  // The size of daemon mail that could not be removed and has had its session.
  std::optional<std::uint64_t> keptDaemonMail_;
};

}  // namespace quelma::app
