// quelma, the Linux program: program directory, configuration, then running until a signal.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <pthread.h>
#include <string>

#include "config/config_file.h"
#include "config/config_store.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "pop3_client/sorter_rules.h"

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

// Blocks SIGINT and SIGTERM before any thread starts, then waits for one of them.
int WaitForExitSignal(sigset_t& signals) {
  int received = 0;
  sigwait(&signals, &received);
  return received;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = ParseOptions(argc, argv);
  if (!options.valid) {
    std::fprintf(stderr, "usage: quelma [--dir DIR]\n");
    return 2;
  }
  // A shell starts background jobs with SIGINT ignored, and an ignored signal never reaches
  // sigwait: take both back to their defaults before blocking them.
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  const auto programDir = ProgramDirectory(options);
  if (!programDir || !platform::MakeCurrentDirectory(*programDir)) {
    std::fprintf(stderr, "quelma: cannot use the program directory %s\n", options.directory.c_str());
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
  std::printf("quelma: program directory %s; press Ctrl-C to stop\n", programDir->c_str());
  std::fflush(stdout);

  WaitForExitSignal(signals);
  return 0;
}
