// What every "quelma config" command works with: the program directory's settings loaded as the
// program loads them, the settings dialogs' environment over them, and the terminal. The
// dialogs' message boxes become lines: an error refuses the command, a question before a
// deletion is answered Yes (the command is the user's answer), the question that offers to
// edit again is answered No.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "config/config_store.h"
#include "dialogs/prompt.h"
#include "dialogs/working_configuration.h"
#include "dialup/remote_access.h"
#include "sorting/sorter_rules.h"

namespace quelma::app {

class TerminalPrompt final : public dialogs::Prompt {
 public:
  TerminalPrompt(std::ostream& out, std::ostream& err) : out_(out), err_(err) {}
  bool ask(const dialogs::Message& message) override;
  bool refused() const { return refused_; }

 private:
  std::ostream& out_;
  std::ostream& err_;
  bool refused_ = false;
};

class ConfigSession {
 public:
  ConfigSession(const std::string& programDir, dialup::RemoteAccess& access, std::istream& in, std::ostream& out,
                std::ostream& err);
  ConfigSession(const ConfigSession&) = delete;
  ConfigSession& operator=(const ConfigSession&) = delete;

  // False (after a line saying so) when quelma.cfg exists but cannot be read.
  bool loaded() const { return loaded_; }
  std::shared_ptr<const config::Configuration> config() const { return store_.current(); }
  dialogs::DialogEnvironment& env() { return env_; }
  dialogs::Prompt& prompt() { return prompt_; }
  dialup::RemoteAccess& access() { return access_; }
  const std::string& programDir() const { return programDir_; }

  // Whether a dialog refused what it was given (its message is on the terminal already), or the
  // file could not be created.
  bool refused() const { return prompt_.refused() || cannotSave_; }

  void say(const std::string& cp1251);      // a line to the terminal
  int refuse(const std::string& cp1251);    // "quelma: " and the line to the error stream; 1
  int usage(const std::string& cp1251);     // the same; 2
  // One line of standard input (UTF-8) in Windows-1251, the line end dropped; nothing at its
  // end or (after a line saying so) when it cannot be written in Windows-1251.
  std::optional<std::string> readLine();
  // The result of a dialog's step: 0 when it was taken (and saved by `ok`), 1 when refused.
  int finish(bool ok);

 private:
  std::string programDir_;
  dialup::RemoteAccess& access_;
  std::istream& in_;
  std::ostream& out_;
  std::ostream& err_;
  sorting::SorterFile sorter_;
  config::ConfigStore store_;
  TerminalPrompt prompt_;
  bool loaded_ = false;
  bool cannotSave_ = false;
  dialogs::DialogEnvironment env_;
};

}  // namespace quelma::app
