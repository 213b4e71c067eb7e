// quelma, the Linux program: start-up, the servers, signals in place of the menu, shutdown.
#include <pthread.h>

#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "app/activity_log.h"
#include "app/console/console_main_window.h"
#include "app/console/terminal_log_view.h"
#include "app/main_window_procedure.h"
#include "app/server_control.h"
#include "config/config_file.h"
#include "config/config_store.h"
#include "platform/files.h"
#include "platform/instance_lock.h"
#include "platform/paths.h"
#include "pop3_client/sorter_rules.h"
#include "pop3_client/pop3_client_run.h"
#include "pop3_server/pop3_server.h"
#include "smtp_client/queue_upload.h"
#include "smtp_server/smtp_server.h"

namespace {

using namespace quelma;

struct Options {
  std::string directory;  // empty: the executable's own directory
  bool valid = true;
};

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--dir") == 0 && i + 1 < argc) {
      options.directory = argv[++i];
    } else {
      options.valid = false;
    }
  }
  return options;
}

std::optional<std::string> ProgramDirectory(const Options& options) {
  if (options.directory.empty()) return platform::ExecutableDirectory();
  if (!platform::IsDirectory(options.directory)) platform::MakeDirectory(options.directory);
  return platform::AbsoluteDirectory(options.directory);
}

sigset_t ProgramSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  for (const int s : {SIGINT, SIGTERM, SIGUSR1}) sigaddset(&signals, s);
  return signals;
}

// Signals stand in for the menu: SIGINT and SIGTERM are the user's exit, SIGUSR1 is
// "send/receive mail". The thread lives until the process ends.
void WatchSignals(app::MainWindow& window, sigset_t signals) {
  std::thread([&window, signals] {
    for (;;) {
      int received = 0;
      if (sigwait(&signals, &received) != 0) continue;
      if (received == SIGUSR1) {
        window.post(app::WM_COMMAND, app::kCommandSendReceive, 0);
      } else {
        window.post(app::WM_CLOSE, 0, 0);
      }
    }
  }).detach();
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = ParseOptions(argc, argv);
  if (!options.valid) {
    std::fprintf(stderr, "usage: quelma [--dir DIR]\n");
    return 2;
  }
  // A shell starts background jobs with SIGINT ignored, and an ignored signal never reaches
  // sigwait: take them back to their defaults, then block them for every thread.
  for (const int s : {SIGINT, SIGTERM, SIGUSR1}) std::signal(s, SIG_DFL);
  const sigset_t signals = ProgramSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  const auto programDir = ProgramDirectory(options);
  if (!programDir) {
    std::fprintf(stderr, "quelma: cannot use the program directory %s\n", options.directory.c_str());
    return 1;
  }
  const auto instance = platform::InstanceLock::TryAcquire(*programDir);
  if (!instance) {
    std::fprintf(stderr, "quelma: another quelma is running on %s\n", programDir->c_str());
    return 1;
  }
  if (!platform::MakeCurrentDirectory(*programDir)) {
    std::fprintf(stderr, "quelma: cannot enter %s\n", programDir->c_str());
    return 1;
  }

  pop3_client::SorterFile sorterFile(pop3_client::SorterFilePath(*programDir));
  config::Configuration working = config::DefaultConfiguration(*programDir);
  const config::LoadResult loaded = config::LoadConfiguration(*programDir, sorterFile, working);
  if (loaded.status == config::LoadStatus::kUnreadable) {
    std::fprintf(stderr, "quelma: %s cannot be read; running on the defaults without saving\n",
                 config::ConfigFilePath(*programDir).c_str());
  } else if (loaded.save != config::SaveResult::kSaved) {
    std::fprintf(stderr, "quelma: %s could not be written\n", config::ConfigFilePath(*programDir).c_str());
  }
  config::ConfigStore store(std::move(working));

  app::ServerControl control;
  app::ConsoleMainWindow window;
  app::TerminalLogView view(stdout);
  app::MainWindowProcedure procedure(*programDir + "quelma.log", store, control, view,
                                     [&window] { window.pumpOne(std::chrono::milliseconds(50)); });
  window.setHandler([&procedure](unsigned m, std::uintptr_t w, std::intptr_t l) { return procedure.handle(m, w, l); });
  app::ActivityLog log(window, control, platform::SystemClock());

  // Running from here on, so that an exit right away still waits for both.
  control.pop3Srv.stopped = false;
  control.smtpSrv.stopped = false;
  std::thread pop3Server([&] {
    pop3_server::RunPop3Server({window, log, control.pop3Srv, store, platform::SystemClock()});
  });
  std::thread smtpServer([&] {
    smtp_server::RunSmtpServer({window, log, control.smtpSrv, store, platform::SystemClock()});
  });
  // Until session control exists, "send/receive mail" (SIGUSR1) uploads the queue and, beside
  // it, downloads every provider account in turn; a second request while a run is active is
  // ignored by the guards.
  procedure.onStartSession = [&] {
    std::thread([&, config = store.current()] { smtp_client::RunQueueUpload({window, log, *config}); }).detach();
    std::thread([&, config = store.current()] {
      for (const auto& account : config->accounts) {
        pop3_client::RunPop3Client({window, log, *config, sorterFile, *programDir, account});
      }
    }).detach();
  };
  WatchSignals(window, signals);

  while (!procedure.exitCode()) window.pumpOne(std::chrono::milliseconds(500));
  // A server may still be in a send (an UM_SHUTDOWN of its own): it returns at once now.
  window.close();
  pop3Server.join();
  smtpServer.join();
  // The signal thread still waits on the window; end here rather than destroy it under it.
  std::fflush(stdout);
  std::_Exit(*procedure.exitCode());
}
