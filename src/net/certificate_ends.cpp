#include "net/certificate_ends.h"

#include <cstdio>
#include <mutex>

#include "platform/clock.h"

namespace quelma::net {
namespace {

std::mutex& EndsMutex() {
  static std::mutex mutex;
  return mutex;
}

std::map<std::string, std::int64_t>& Ends() {
  static std::map<std::string, std::int64_t> ends;
  return ends;
}

}  // namespace

std::optional<std::int64_t> CertificateTimeSeconds(const std::string& text) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, length = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d UTC%n", &year, &month, &day, &hour, &minute, &second, &length) != 6 ||
      static_cast<std::size_t>(length) != text.size() || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 ||
      minute > 59 || second > 60) {
    return std::nullopt;
  }
  platform::LocalTime t;
  t.year = year;
  t.month = month;
  t.day = day;
  return static_cast<std::int64_t>(platform::DaysSinceEpoch(t)) * 86400 + hour * 3600 + minute * 60 + second;
}

void NoteProviderCertificate(const std::string& host, const std::string& notAfter) {
  const auto end = CertificateTimeSeconds(notAfter);
  if (!end) return;
  std::lock_guard<std::mutex> hold(EndsMutex());
  Ends()[host] = *end;
}

std::map<std::string, std::int64_t> ProviderCertificateEnds() {
  std::lock_guard<std::mutex> hold(EndsMutex());
  return Ends();
}

}  // namespace quelma::net
