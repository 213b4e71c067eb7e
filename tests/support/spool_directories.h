// A program directory for tests of the spool: "maildrop/" and "queue/" made, and a
// configuration that names them.
#pragma once

#include "config/configuration.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/unique_tick.h"
#include "spool/delivery.h"
#include "spool/mailbox.h"
#include "spool/mailbox_keeper.h"
#include "support/temp_dir.h"

namespace quelma::testing {

// The delivery journals in `directory` that still say something: an empty one is kept for the
// next delivery and is nothing to recover.
inline std::vector<std::string> UnfinishedJournals(const std::string& directory) {
  std::vector<std::string> said;
  for (const std::string& name : platform::ListDirectory(directory, "delivery*.journal")) {
    if (platform::FileSize(directory + name).value_or(0) > 0) said.push_back(name);
  }
  return said;
}

struct SpoolDirectories {
  TempDir dir;
  config::Configuration config;
  SpoolDirectories() {
    platform::MakeDirectory(dir.file("maildrop"));
    platform::MakeDirectory(dir.file("queue"));
    config.MailDropDir = dir.file("maildrop") + platform::kPathSeparator;
    config.QueueDir = dir.file("queue") + platform::kPathSeparator;
  }
  // What the program does at start on this spool. The ids are not carried on in this
  // directory afterwards: the next test's directory is another one.
  bool restart(std::string* unfinished = nullptr) const {
    spool::WaitForCompactions();
    spool::Mailbox::ForgetIdle();
    const bool ready = spool::PrepareSpool(config, unfinished);
    platform::ProcessUniqueTicks().persistWith(std::nullopt, nullptr);
    return ready;
  }
};

}  // namespace quelma::testing
