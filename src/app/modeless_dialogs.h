// The five modeless dialogs of the main window, of which at most one is open at a time.
#pragma once

#include <array>
#include <cstddef>

namespace quelma::app {

// In the order in which the message loop offers them messages.
enum class ModelessDialog : std::size_t { kAbout, kServers, kCommunication, kSorter, kScheduler };
constexpr std::size_t kModelessDialogCount = 5;

class ModelessDialogs {
 public:
  enum class Opening {
    kCreate,     // none is open: create it and call opened()
    kFocus,      // this one is open already: give it the keyboard focus
    kOtherOpen,  // another one is open: nothing happens
  };

  Opening request(ModelessDialog which) const {
    if (handle(which) != nullptr) return Opening::kFocus;
    for (void* open : handles_) {
      if (open != nullptr) return Opening::kOtherOpen;
    }
    return Opening::kCreate;
  }

  void opened(ModelessDialog which, void* handle) { handles_[static_cast<std::size_t>(which)] = handle; }
  void closed(ModelessDialog which) { handles_[static_cast<std::size_t>(which)] = nullptr; }
  void* handle(ModelessDialog which) const { return handles_[static_cast<std::size_t>(which)]; }

  // The handles in the message loop's order; closed ones are null.
  const std::array<void*, kModelessDialogCount>& all() const { return handles_; }

  // While the servers, communication or sorter dialog holds unsaved edits, a session start
  // must not read the configuration files over them.
  bool settingsDialogOpen() const {
    return handle(ModelessDialog::kServers) || handle(ModelessDialog::kCommunication) ||
           handle(ModelessDialog::kSorter);
  }

 private:
  std::array<void*, kModelessDialogCount> handles_{};
};

}  // namespace quelma::app
