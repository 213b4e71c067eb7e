// A program directory with a configuration for the settings dialogs, and a prompt that
// records each box and gives scripted answers.
#pragma once

#include <deque>
#include <vector>

#include "config/config_file.h"
#include "config/config_store.h"
#include "dialogs/working_configuration.h"
#include "sorting/sorter_rules.h"
#include "support/temp_dir.h"

namespace quelma::dialogs {

struct RecordingPrompt final : Prompt {
  std::vector<Message> shown;
  std::deque<bool> answers;  // Yes when none is left
  bool ask(const Message& message) override {
    shown.push_back(message);
    if (answers.empty()) return true;
    const bool answer = answers.front();
    answers.pop_front();
    return answer;
  }
};

struct DialogFixture {
  quelma::testing::TempDir dir;
  sorting::SorterFile sorter{dir.file("sorter.cfg")};
  config::ConfigStore store;
  RecordingPrompt prompt;
  std::vector<std::string> directories;  // what the folder check finds
  DialogEnvironment env{store, dir.path(), sorter, prompt,
                        [this](const std::string& path) {
                          for (const auto& d : directories) {
                            if (d == path) return true;
                          }
                          return false;
                        }};

  // Users postmaster, daemon, ivan, petr; saved, so that Cancel has a file to read.
  DialogFixture() {
    config::Configuration c = config::DefaultConfiguration(dir.path());
    c.PostMaster = "postmaster";
    c.Daemon = "daemon";
    c.LocalDomain = "office.ru";
    c.users = {{"postmaster", "pm", ""}, {"daemon", "", ""}, {"ivan", "iv", "ivan@provider.ru"}, {"petr", "pe", ""}};
    c.accounts = {{"pop.provider.ru", "office", "secret", 110, "*", 0, {}, {}, {}, {}}};
    config::SaveConfiguration(dir.path(), c);
    store.publish(c);
  }

  config::Configuration saved() {
    config::Configuration c = config::DefaultConfiguration(dir.path());
    sorting::LoadConfigurationChecked(dir.path(), sorter, c);
    return c;
  }
};

}  // namespace quelma::dialogs
