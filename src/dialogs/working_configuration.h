// The configuration a settings dialog edits: a copy of the current snapshot, published anew
// after every change so that servers and clients see it at once, saved by OK and read back
// from the file by Cancel.
#pragma once

#include <functional>
#include <string>

#include "config/config_store.h"
#include "config/configuration.h"
#include "dialogs/prompt.h"
#include "platform/files.h"

namespace quelma::sorting {
class SorterFile;
}

namespace quelma::dialogs {

// What every dialog works with; made once by the front end.
struct DialogEnvironment {
  config::ConfigStore& store;
  std::string programDir;
  sorting::SorterFile& sorter;
  Prompt& prompt;
  // Whether a folder the user typed exists (the platform's check; a fake in tests).
  std::function<bool(const std::string&)> isDirectory = platform::IsDirectory;
  // quelma.cfg could not be created: the program is to stop, as after a fatal server fault.
  std::function<void()> cannotSave = [] {};
};

class WorkingConfiguration {
 public:
  explicit WorkingConfiguration(DialogEnvironment& env) : env_(env), config_(*env.store.current()) {}

  config::Configuration& get() { return config_; }
  const config::Configuration& get() const { return config_; }

  void publish() { env_.store.publish(config_); }
  // The snapshot current now: a dialog that does not hold back the session's reload (the
  // scheduler) changes what is in effect when it is confirmed, not what was when it opened.
  void retake() { config_ = *env_.store.current(); }
  // Cancel: the file's content replaces every change.
  void reload();
  // OK: the whole configuration into quelma.cfg, and published. False (after a message) when
  // the file could not be written: the old one is kept whole, and the dialog stays open so
  // that nothing confirmed is lost at the next reload.
  bool save();

 private:
  DialogEnvironment& env_;
  config::Configuration config_;
};

}  // namespace quelma::dialogs
