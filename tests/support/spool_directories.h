// A program directory for tests of the spool: "maildrop/" and "queue/" made, and a
// configuration that names them.
#pragma once

#include "config/configuration.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "support/temp_dir.h"

namespace quelma::testing {

struct SpoolDirectories {
  TempDir dir;
  config::Configuration config;
  SpoolDirectories() {
    platform::MakeDirectory(dir.file("maildrop"));
    platform::MakeDirectory(dir.file("queue"));
    config.MailDropDir = dir.file("maildrop") + platform::kPathSeparator;
    config.QueueDir = dir.file("queue") + platform::kPathSeparator;
  }
};

}  // namespace quelma::testing
