// quelma, the Linux program: start-up, the servers, signals in place of the menu, shutdown.
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <functional>
#include <cstring>
#include <optional>
#include <string>
#include <iostream>
#include <thread>
#include <vector>

#include "link/activity_log.h"
#include "app/console/backup_commands.h"
#include "app/console/check_command.h"
#include "app/console/control_door.h"
#include "app/console/check_tls.h"
#include "app/console/config_command.h"
#include "app/console/oauth_commands.h"
#include "app/console/console_main_window.h"
#include "app/console/dialup_permission.h"
#include "app/console/directory_owner.h"
#include "app/console/existing_settings.h"
#include "app/console/program_directory.h"
#include "app/console/service_notify.h"
#include "app/console/status_command.h"
#include "app/console/settings_reload.h"
#include "app/console/terminal_log_view.h"
#include "app/alert_watch.h"
#include "app/main_window_procedure.h"
#include "app/session_control.h"
#include "app/session_workers.h"
#include "dialup/remote_access.h"
#include "link/server_control.h"
#include "dialogs/servers_dialog.h"
#include "config/config_file.h"
#include "config/config_store.h"
#include "platform/cp1251_utf8.h"
#include "platform/exit_gate.h"
#include "platform/files.h"
#include "platform/instance_lock.h"
#include "platform/paths.h"
#include "spool/delivery.h"
#include "spool/delivery_journals.h"
#include "spool/mailbox_keeper.h"
#include "sorting/sorter_rules.h"
#include "status/status_board.h"
#include "status/status_file.h"
#include "imap_server/imap_server.h"
#include "pop3_server/pop3_server.h"
#include "smtp_server/smtp_server.h"
#include "quelma_version.h"

namespace {

using namespace quelma;

struct Options {
  std::string directory;                  // empty: the executable's own directory
  std::vector<std::string> setPassword;   // "smtp", or "account" and an index
  std::vector<std::string> checkTls;      // HOST PORT [stls|starttls|ssl]
  bool checkTlsAsked = false;
  std::vector<std::string> check;         // all | smtp | account N | local
  bool checkAsked = false;
  std::vector<std::string> oauth;         // "login", then "account N" or "smtp"
  std::vector<std::string> preset;        // "account N" or "smtp", then a provider
  std::vector<std::string> config;        // what follows "config"
  std::vector<std::string> backup;        // what follows "backup"
  bool backupAsked = false;
  std::vector<std::string> status;        // what follows "status"
  bool statusAsked = false;
  std::vector<std::string> restore;       // what follows "restore"
  bool restoreAsked = false;
  bool version = false;                   // --version or -V
  bool valid = true;
};

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--dir") == 0 && i + 1 < argc) {
      options.directory = argv[++i];
    } else if (std::strcmp(argv[i], "--version") == 0 || std::strcmp(argv[i], "-V") == 0) {
      options.version = true;
    } else if (std::strcmp(argv[i], "set-password") == 0 && i + 1 < argc) {
      options.setPassword.assign(argv + i + 1, argv + argc);
      break;
    } else if (std::strcmp(argv[i], "oauth") == 0 && i + 1 < argc) {
      options.oauth.assign(argv + i + 1, argv + argc);
      break;
    } else if (std::strcmp(argv[i], "preset") == 0 && i + 1 < argc) {
      options.preset.assign(argv + i + 1, argv + argc);
      break;
    } else if (std::strcmp(argv[i], "config") == 0 && i + 1 < argc) {
      options.config.assign(argv + i + 1, argv + argc);
      break;
    } else if (std::strcmp(argv[i], "check") == 0) {
      options.check.assign(argv + i + 1, argv + argc);
      options.checkAsked = true;
      break;
    } else if (std::strcmp(argv[i], "status") == 0) {
      options.status.assign(argv + i + 1, argv + argc);
      options.statusAsked = true;
      break;
    } else if (std::strcmp(argv[i], "backup") == 0 || std::strcmp(argv[i], "restore") == 0) {
      const bool backup = argv[i][0] == 'b';
      (backup ? options.backup : options.restore).assign(argv + i + 1, argv + argc);
      (backup ? options.backupAsked : options.restoreAsked) = true;
      break;
    } else if (std::strcmp(argv[i], "check-tls") == 0) {
      options.checkTls.assign(argv + i + 1, argv + argc);
      options.checkTlsAsked = true;
      break;
    } else {
      options.valid = false;
    }
  }
  const auto& p = options.setPassword;
  if (!p.empty() && !(p.size() == 1 && p[0] == "smtp") && !(p.size() == 2 && (p[0] == "account" || p[0] == "user"))) {
    options.valid = false;
  }
  return options;
}

constexpr int kProgramSignals[] = {SIGINT, SIGTERM, SIGUSR1, SIGUSR2, SIGHUP};

sigset_t ProgramSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  for (const int s : kProgramSignals) sigaddset(&signals, s);
  return signals;
}

// An administrator's command run as root works as the program directory's owner, so that the
// files it writes stay the service's own. False (after saying why) when that fails.
bool ActAsDirectoryOwner(const std::string& directory) {
  std::string problem;
  if (app::BecomeDirectoryOwner(directory, problem) != app::OwnerSwitch::kFailed) return true;
  std::fprintf(stderr, "quelma: cannot act as the owner of %s: %s\n", directory.c_str(), problem.c_str());
  return false;
}

// A local server as the start-up sees it: whether it runs at all, and the port it listens on
// once it does (0 until then).
struct StartedServer {
  const char* name;
  const link::ServerFlags& flags;
  const std::atomic<std::uint16_t>& port;
  bool started;
};

// Under a service manager (Type=notify): ready once every server started listens. A server
// that cannot listen (its port taken) fails the start with exit code 1, the log saying why,
// rather than a service that looks healthy and serves half. Without a manager nothing changes:
// the other servers keep serving. True once settled either way.
bool AnnounceReadiness(const std::vector<StartedServer>& servers, app::MainWindowProcedure& procedure) {
  std::string ports, failed;
  for (const StartedServer& server : servers) {
    if (!server.started) continue;
    if (server.port == 0 && !server.flags.stopped) return false;
    if (server.port != 0) {
      ports += (ports.empty() ? "" : ", ") + std::string(server.name) + ": порт " + std::to_string(server.port);
    } else if (failed.empty()) {
      failed = std::string(server.name) + "-сервер не запущен";
    }
  }
  if (failed.empty()) {
    app::NotifyServiceManager("READY=1\nSTATUS=" + platform::Cp1251ToUtf8(ports));
  } else if (app::NotifyServiceManager("STATUS=" + platform::Cp1251ToUtf8(failed))) {
    procedure.handle(link::UM_SHUTDOWN, 0, 0);
  }
  return true;
}

// A dial-up that cannot work where the program runs is said at start and at each reload.
void WarnIfDialUpBlocked(const config::ConfigStore& store, link::ActivityLog& log) {
  if (const auto text = app::DialUpBlockedText(*store.current(), app::RunsWithoutNewPrivileges())) log.LogDialer(*text);
}

// Signals stand in for the menu: SIGINT and SIGTERM are the user's exit, SIGUSR1 is
// "send/receive mail", SIGUSR2 "break the connection", SIGHUP "reload the settings now". The
// thread lives until the process ends.
void WatchSignals(link::MainWindow& window, sigset_t signals) {
  std::thread([&window, signals] {
    for (;;) {
      int received = 0;
      if (sigwait(&signals, &received) != 0) continue;
      if (received == SIGUSR1) {
        window.post(link::kWmCommand, link::kCommandSendReceive, 0);
      } else if (received == SIGUSR2) {
        window.post(link::kWmCommand, app::kCommandBreakConnection, 0);
      } else if (received == SIGHUP) {
        window.post(link::kWmCommand, app::kCommandReloadSettings, 0);
      } else {
        window.post(link::kWmClose, 0, 0);
      }
    }
  }).detach();
}

// "set-password smtp", "set-password account INDEX" or "set-password user NAME": the password
// from one line of standard input into quelma.cfg (the provider's scrambled as the file keeps
// them). The running server (if any) takes it at its next session start. A local user's
// password that the POP3 server could never match is refused, as the servers dialog does.
int SetPassword(const std::string& programDir, const std::vector<std::string>& what) {
  std::optional<config::Configuration> loaded = app::LoadExistingSettings(programDir);
  if (!loaded) return 1;
  config::Configuration& config = *loaded;
  std::string password;
  std::getline(std::cin, password);
  if (!password.empty() && password.back() == '\r') password.pop_back();
  if (what[0] == "user") {
    const int user = config::FindLocalUser(config, what[1]);
    if (user < 0) {
      std::fprintf(stderr, "quelma: there is no local user %s\n", what[1].c_str());
      return 1;
    }
    if (const auto problem = dialogs::UserPasswordProblem(password)) {
      std::fprintf(stderr, "quelma: %s\n", platform::Cp1251ToUtf8(*problem).c_str());
      return 1;
    }
    // Stored as the servers dialog stores it: A-Z lower-cased (the POP3 server ignores case).
    // The running program reads it with the file, at its next communication session or start.
    for (char& ch : password) {
      if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    }
    config.users[static_cast<std::size_t>(user)].password = password;
    if (config::SaveConfiguration(programDir, config) != config::SaveResult::kSaved) return 1;
    if (const auto warning = dialogs::NoPasswordWarning(config, config.users[static_cast<std::size_t>(user)])) {
      std::printf("%s\n", platform::Cp1251ToUtf8(*warning).c_str());
    }
    return 0;
  }
  // quelma.cfg keeps 32 characters of the SMTP password and 24 of an account's: a longer
  // one would be cut without a word, and the login would fail later.
  const std::size_t keeps =
      what[0] == "smtp" ? config::limits::kStoredSmtpPassword : config::limits::kStoredAccountPassword;
  if (password.size() > keeps) {
    std::fprintf(stderr, "quelma: quelma.cfg keeps at most %zu characters of this password\n", keeps);
    return 1;
  }
  if (what[0] == "smtp") {
    config.SMTP_LOGIN_PASS = password;
  } else {
    char* end = nullptr;
    const unsigned long index = std::strtoul(what[1].c_str(), &end, 10);
    if (what[1].empty() || *end != '\0' || index >= config.accounts.size()) {
      std::fprintf(stderr, "quelma: there is no provider account %s (the file has %zu)\n", what[1].c_str(),
                   config.accounts.size());
      return 1;
    }
    config.accounts[index].password = password;
  }
  if (config::SaveConfiguration(programDir, config) != config::SaveResult::kSaved) {
    std::fprintf(stderr, "quelma: %s could not be written\n", config::ConfigFilePath(programDir).c_str());
    return 1;
  }
  return 0;
}

void PrintUsage() {
  std::fprintf(stderr,
               "usage: quelma [--dir DIR]\n"
               "       quelma --version | -V\n"
               "       quelma [--dir DIR] set-password smtp | account INDEX | user NAME  (password on stdin)\n"
               "       quelma [--dir DIR] check [all | smtp | account INDEX | local]\n"
               "       quelma [--dir DIR] check-tls HOST PORT [stls|starttls|ssl]\n"
               "       quelma [--dir DIR] status [--json] [--openmetrics FILE]\n"
               "       quelma [--dir DIR] backup [--with-tokens] FILE\n"
               "       quelma restore FILE DIR  (DIR empty or new)\n"
               "       quelma [--dir DIR] oauth login account INDEX | smtp\n"
               "       quelma [--dir DIR] oauth set PLATFORM client_id|client_secret|token_url|device_url|authorize_url|scopes|flow [VALUE]\n"
               "       quelma [--dir DIR] preset account INDEX | smtp gmail|microsoft|yandex|mailru\n");
  std::fputs(app::ConfigUsage(), stderr);
}

// A command on the program directory, run as the directory's owner; its exit code (2 for words
// it does not know: the usage follows unless the command said its own).
int RunAsDirectoryOwner(const Options& options, const std::function<int(const std::string& directory)>& command,
                        bool usageOnTwo = true) {
  const auto directory = app::ProgramDirectory(options.directory);
  if (!directory) {
    std::fprintf(stderr, "quelma: cannot use the program directory %s\n", options.directory.c_str());
    return 1;
  }
  if (!ActAsDirectoryOwner(*directory)) return 1;
  const int code = command(*directory);
  if (code == 2 && usageOnTwo) PrintUsage();
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  // quelma.cfg holds the local passwords, the maildrops and the queue the mail: whatever the
  // program makes is for its own user only (0600 files, 0700 folders).
  umask(077);
  const Options options = ParseOptions(argc, argv);
  if (!options.valid) {
    PrintUsage();
    return 2;
  }
  if (options.version) {
    std::printf("quelma %s\n", QUELMA_VERSION);
    return 0;
  }
  // The first OAuth login waits for the user for minutes: Ctrl-C must end it as usual, so it
  // runs before the program's signals are taken over.
  if (!options.oauth.empty() || !options.preset.empty()) {
    return RunAsDirectoryOwner(options, [&](const std::string& directory) {
      return options.oauth.empty() ? app::PresetCommand(directory, options.preset) : app::OauthCommand(directory, options.oauth);
    });
  }
  // A provider that does not answer holds the check for its time-out: Ctrl-C ends it as usual.
  // Run by root, it looks at the folders and ports as the program's own user does.
  if (options.checkAsked) {
    return RunAsDirectoryOwner(
        options, [&](const std::string& directory) { return app::CheckCommand(directory, options.check); }, false);
  }
  // Run as the caller: it only reads, and the metrics file goes where the caller may write.
  if (options.statusAsked) {
    const auto directory = app::ProgramDirectory(options.directory);
    if (!directory) {
      std::fprintf(stderr, "quelma: cannot use the program directory %s\n", options.directory.c_str());
      return 1;
    }
    const int code = app::StatusCommand(*directory, options.status);
    if (code == 2) PrintUsage();
    return code;
  }
  if (options.restoreAsked) {
    const int code = app::RestoreCommand(options.restore);
    if (code == 2) PrintUsage();
    return code;
  }
  if (options.backupAsked) {
    return RunAsDirectoryOwner(options, [&](const std::string& directory) { return app::BackupCommand(directory, options.backup); });
  }
  // A shell starts background jobs with SIGINT ignored, and an ignored signal never reaches
  // sigwait: take them back to their defaults, then block them for every thread.
  for (const int s : kProgramSignals) std::signal(s, SIG_DFL);
  const sigset_t signals = ProgramSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  const auto programDir = app::ProgramDirectory(options.directory);
  if (!programDir) {
    std::fprintf(stderr, "quelma: cannot use the program directory %s\n", options.directory.c_str());
    return 1;
  }
  if (!options.setPassword.empty() || !options.config.empty() || options.checkTlsAsked) {
    if (!ActAsDirectoryOwner(*programDir)) return 1;
    if (!options.config.empty()) return app::ConfigCommand(*programDir, options.config, std::cin, std::cout, std::cerr);
    return options.checkTlsAsked ? app::CheckTls(*programDir, options.checkTls)
                                 : SetPassword(*programDir, options.setPassword);
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

  sorting::SorterFile sorterFile(sorting::SorterFilePath(*programDir));
  config::Configuration working = config::DefaultConfiguration(*programDir);
  const config::LoadResult loaded = sorting::LoadConfigurationChecked(*programDir, sorterFile, working);
  if (loaded.status == config::LoadStatus::kUnreadable) {
    std::fprintf(stderr, "quelma: %s cannot be read; running on the defaults without saving\n",
                 config::ConfigFilePath(*programDir).c_str());
  } else if (loaded.save != config::SaveResult::kSaved) {
    std::fprintf(stderr, "quelma: %s could not be written\n", config::ConfigFilePath(*programDir).c_str());
  }
  // The spool's directories, and what a crash left unfinished there, before any server runs.
  std::string unfinished;
  std::vector<std::string> recovered;
  if (!spool::PrepareSpool(working, &unfinished, &recovered)) {
    std::fprintf(stderr, "quelma: %s or %s could not be made; mail cannot be stored there\n",
                 working.MailDropDir.c_str(), working.QueueDir.c_str());
  } else if (!unfinished.empty()) {
    std::fprintf(stderr, "quelma: an interrupted delivery could not be finished (%s); no mail is stored until it is\n",
                 unfinished.c_str());
  }
  spool::CompactLeftovers(working);
  config::ConfigStore store(std::move(working));

  link::ServerControl control;
  app::ConsoleMainWindow window;
  app::TerminalLogView view(stdout);
  app::MainWindowProcedure procedure(*programDir + "quelma.log", store, control, view,
                                     [&window] { window.pumpOne(std::chrono::milliseconds(50)); });
  link::ActivityLog log(window, control, platform::SystemClock());
  bool announcedReady = false;
  window.setHandler([&](unsigned m, std::uintptr_t w, std::intptr_t l) -> std::intptr_t {
    if (m != link::kWmCommand || w != app::kCommandReloadSettings) return procedure.handle(m, w, l);
    if (procedure.shuttingDown()) return 0;
    if (announcedReady) app::NotifyServiceManager(app::ReloadingState());
    if (app::ReloadSettings(*programDir, sorterFile, store, log)) WarnIfDialUpBlocked(store, log);
    if (announcedReady) app::NotifyServiceManager("READY=1");
    return 0;
  });

  // Running from here on, so that an exit right away still waits for both.
  control.pop3Srv.stopped = false;
  control.smtpSrv.stopped = false;
  // IMAP_SRV_PORT 0 turns the IMAP server off: its thread never starts and its flags stay stopped.
  const bool imapOn = store.current()->IMAP_SRV_PORT != 0;
  control.imapSrv.stopped = !imapOn;
  std::atomic<std::uint16_t> pop3Port{0};
  std::atomic<std::uint16_t> smtpPort{0};
  std::atomic<std::uint16_t> imapPort{0};
  serving::LoginGuard loginGuard;  // failed logins counted per address across the servers
  std::thread pop3Server([&] {
    pop3_server::RunPop3Server({window, log, control.pop3Srv, store, platform::SystemClock(), loginGuard, &pop3Port});
  });
  std::thread smtpServer([&] {
    smtp_server::RunSmtpServer({window, log, control.smtpSrv, store, platform::SystemClock(), loginGuard, &smtpPort});
  });
  std::thread imapServer;
  if (imapOn) {
    imapServer = std::thread([&] {
      imap_server::RunImapServer({window, log, control.imapSrv, store, platform::SystemClock(), loginGuard, &imapPort});
    });
  }
  const std::vector<StartedServer> servers = {{"POP3", control.pop3Srv, pop3Port, true},
                                              {"SMTP", control.smtpSrv, smtpPort, true},
                                              {"IMAP", control.imapSrv, imapPort, imapOn}};
  // Communication sessions: the menu (SIGUSR1), daemon mail and the timetable on the timer.
  const auto remoteAccess = dialup::CreateSystemRemoteAccess();
  dialup::DialerState dialerState;
  app::ThreadWorkers workers(window, log, sorterFile, *programDir, *remoteAccess, dialerState);
  app::SessionControl session({store,
                               [&] {
                                 config::Configuration fresh = *store.current();
                                 sorting::LoadConfigurationChecked(*programDir, sorterFile, fresh);
                                 store.publish(std::move(fresh));
                               },
                               log, workers, *remoteAccess, dialerState, platform::SystemClock()});
  procedure.session = &session;
  // The status file and the postmaster's alerts, from the figures the last program left.
  status::StatusBoard board(*programDir, QUELMA_VERSION, static_cast<std::int64_t>(getpid()));
  if (const auto previous = status::ReadStatusFile(*programDir)) board.carryOn(*previous);
  workers.board = &board;
  app::AlertWatch watch({store, *programDir, board, log, platform::SystemClock(),
                         [&workers] { return workers.pushConnections(); }, {}, std::move(recovered)});
  procedure.onSessionTimer = [&watch] { watch.tick(); };
  // Commands that must run inside the program (a backup) come through its door.
  if (!app::OpenControlDoor([&](const std::string& request, int handedFile) {
        return app::AnswerBackupRequest(request, handedFile, *programDir, *store.current(), log);
      })) {
    log.LogSystem("Не удалось открыть quelma.ctl: команда quelma backup работать не будет\r\n");
  }
  workers.startPush(store);
  watch.check();
  WatchSignals(window, signals);
  WarnIfDialUpBlocked(store, log);
  // A quelma.cfg written by hand or by an older build may be open to every user of the machine,
  // with the passwords in it: the program's own saves make it 0600, and so does the start.
  if (platform::MakeOwnerOnly(config::ConfigFilePath(*programDir)) == platform::OwnerOnly::kMade) {
    log.LogPop3Srv("Файл quelma.cfg с паролями был доступен другим пользователям: теперь он только для "
                   "пользователя программы (права 0600).\r\n");
  }

  auto nextTick = std::chrono::steady_clock::now() + std::chrono::milliseconds(app::kSessionTimerMs);
  while (!procedure.exitCode()) {
    if (!announcedReady) announcedReady = AnnounceReadiness(servers, procedure);
    const auto now = std::chrono::steady_clock::now();
    if (now >= nextTick) {
      procedure.handle(app::kWmTimer, app::kSessionTimerId, 0);
      nextTick = now + std::chrono::milliseconds(app::kSessionTimerMs);
      continue;
    }
    window.pumpOne(std::chrono::duration_cast<std::chrono::milliseconds>(nextTick - now));
  }
  app::NotifyServiceManager("STOPPING=1");
  workers.stopPush();
  // Workers still at work get a short while to finish what they write; their log lines are
  // still handled meanwhile. What runs on after that holds its own settings snapshot, and
  // the rest it uses is never destroyed: the process ends without running destructors.
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (workers.running() > 0 && std::chrono::steady_clock::now() < giveUp) {
    window.pumpOne(std::chrono::milliseconds(50));
  }
  // No message is left half-written in a maildrop or in "mail.txt": writes in progress end
  // first, and none begins after.
  platform::ProgramExitGate().close(std::chrono::seconds(30), [&window] { window.pumpOne(std::chrono::milliseconds(10)); });
  // A server may still be in a send (an UM_SHUTDOWN of its own): it returns at once now.
  window.close();
  pop3Server.join();
  smtpServer.join();
  if (imapServer.joinable()) imapServer.join();
  // Expunged mail leaves the files, so that an older build never shows it again.
  spool::FinishCompactions();
  spool::RemoveIdleJournals();
  // The signal thread still waits on the window; end here rather than destroy it under it.
  std::fflush(stdout);
  std::_Exit(*procedure.exitCode());
}
