// quelma.cfg: loading it into the configuration and saving the configuration back.
#pragma once

#include <string>
#include <vector>

#include "config/configuration.h"
#include "platform/byte_source.h"

namespace quelma::config {

enum class SaveResult {
  kSaved,
  kCannotCreate,  // the file could not be created: the program is to stop (UM_SHUTDOWN)
  kWriteFailed,   // writing failed part-way: the previous file is left whole
};

enum class LoadStatus {
  kLoaded,
  kCreatedDefaults,  // there was no file: the defaults were made and saved
  kUnreadable,       // the file exists but could not be read: nothing was changed or written
};

struct LoadResult {
  LoadStatus status = LoadStatus::kLoaded;
  SaveResult save = SaveResult::kSaved;  // how saving the defaults went, when they were made
};

std::string ConfigFilePath(const std::string& programDir);

// Replaces `config` with the file's content (read over the start values of ResetForLoad), or
// with the saved defaults when there is no file. The sorter's rule check, which a load from the
// file must be followed by, is the caller's (LoadConfigurationChecked of the sorter). A file that
// exists but cannot be read (locked, a directory, a read error) is never overwritten: `config`
// keeps what it held, so start-up passes in DefaultConfiguration and a reload keeps the last.
LoadResult LoadConfiguration(const std::string& programDir, Configuration& config);

// The line reader of LoadConfiguration over any bytes, without reset and rule check.
void ReadConfiguration(platform::ByteSource& source, Configuration& config);

// Lower-cases LocalDomain in memory, then replaces quelma.cfg atomically with the layout.
SaveResult SaveConfiguration(const std::string& programDir, Configuration& config);

// The exact bytes SaveConfiguration writes.
std::string FormatConfiguration(const Configuration& config);

struct ParameterLine {
  std::string key;    // as the file spells it
  std::string value;  // as the file writes it (bars for blanks, passwords scrambled)
};

// Every [Parameters] key with its value, in the file's order, the later keys also where they are
// at their defaults and the file leaves them out; lines this build does not know are not among
// them (Configuration::unknownParameters).
std::vector<ParameterLine> EveryParameter(const Configuration& config);

// The defaults, the maildrop and queue directories (an existing one is fine), and a save.
SaveResult CreateDefaultConfiguration(const std::string& programDir, Configuration& config);

}  // namespace quelma::config
