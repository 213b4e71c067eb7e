// The platform's dial-up service, reduced to the five operations the dialer needs.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quelma::dialup {

using ConnectionHandle = std::uintptr_t;  // 0 = no connection

inline constexpr std::size_t kMaxEntries = 20;  // phonebook entries a list first has room for

struct SavedDialParameters {
  bool hasPassword = false;
};

struct DialOutcome {
  bool connected = false;
  ConnectionHandle handle = 0;  // may be set after a failed dial too; it must be hung up
};

class RemoteAccess {
 public:
  virtual ~RemoteAccess() = default;
  // The names of the phonebook entries; empty when there are none or they cannot be listed.
  virtual std::vector<std::string> entryNames() = 0;
  // The first active dial-up connection; 0 when there is none or they cannot be listed.
  virtual ConnectionHandle firstActiveConnection() = 0;
  // The entry's saved dial parameters; nothing when they cannot be read.
  virtual std::optional<SavedDialParameters> savedParameters(const std::string& entry) = 0;
  // Dials the entry (its own number when `phoneNumber` is empty) and returns when the link is
  // up or the dial has failed.
  virtual DialOutcome dial(const std::string& entry, const std::string& phoneNumber) = 0;
  virtual void hangUp(ConnectionHandle connection) = 0;
};

// The machine's service: rasapi32 on Windows, pppd and /etc/ppp/peers on Linux.
std::unique_ptr<RemoteAccess> CreateSystemRemoteAccess();

}  // namespace quelma::dialup
