// Dial-up on Linux through pppd: the entries are the peer files, a dial is "pppd call ENTRY",
// an active connection is a ppp interface that is up (or a pppd still dialling).
#pragma once

#include <atomic>
#include <string>

#include "dialup/remote_access.h"

namespace quelma::dialup {

struct PppdPaths {
  std::string peersDir = "/etc/ppp/peers/";  // one file per entry
  std::string secretsDir = "/etc/ppp/";      // pap-secrets, chap-secrets
  std::string netDir = "/sys/class/net/";    // the interfaces
  std::string runDir = "/run/";              // pppd writes INTERFACE.pid here
  std::string pppd = "/usr/sbin/pppd";
};

class PppdRemoteAccess final : public RemoteAccess {
 public:
  explicit PppdRemoteAccess(PppdPaths paths = {}) : paths_(std::move(paths)) {}

  std::vector<std::string> entryNames() override;
  ConnectionHandle firstActiveConnection() override;
  // A password counts as saved when the peer file gives one, names no user, or names a user
  // that pap-secrets or chap-secrets holds.
  std::optional<SavedDialParameters> savedParameters(const std::string& entry) override;
  // "pppd call ENTRY updetach [telephone NUMBER]": pppd returns once the link is up (0) or
  // has failed (its error status).
  DialOutcome dial(const std::string& entry, const std::string& phoneNumber) override;
  void hangUp(ConnectionHandle connection) override;

  // Handles of a pppd that is still dialling carry this bit above its process id.
  static constexpr ConnectionHandle kDiallingBit = ConnectionHandle{1} << 40;

 private:
  PppdPaths paths_;
  std::atomic<long> diallingPid_{0};
};

}  // namespace quelma::dialup
