// What is wrong now, for the postmaster's alerts: each check's facts in, the conditions out
// with their texts. The watch gathers the facts; nothing here touches the disk or the network.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "config/configuration.h"
#include "status/alert_book.h"
#include "status/program_status.h"

namespace quelma::app {

inline constexpr std::int64_t kLocalCertificateWarningSeconds = 14 * 24 * 3600;
inline constexpr std::int64_t kProviderCertificateWarningSeconds = 7 * 24 * 3600;

struct PlaceSpace {
  std::string what;  // "почтовые ящики (/var/lib/quelma/maildrop/)"
  std::optional<std::uint64_t> freeBytes;
};

struct AlertFacts {
  std::int64_t now = 0;
  std::int64_t utcOffset = 0;  // of the local time the texts say
  std::vector<PlaceSpace> places;
  status::ProgramStatus board;             // the accounts' and the upload's last sessions
  std::optional<std::int64_t> localCertificateEnd;
  std::map<std::string, std::int64_t> providerCertificateEnds;  // by host
  std::uint64_t queueMessages = 0;
  std::int64_t queueOldest = 0;            // 0: the queue is empty
  std::vector<std::string> recovered;      // what the start did after an unclean stop
};

std::vector<status::AlertCondition> CurrentAlertConditions(const config::Configuration& config, const AlertFacts& facts);

// "05.12.2026 14:03" in the local time of `utcOffset`.
std::string AlertTime(std::int64_t seconds, std::int64_t utcOffset);

}  // namespace quelma::app
