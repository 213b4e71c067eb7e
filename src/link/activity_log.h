// The activity log: stamped, tagged lines from every component, handed to the main window.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "link/main_window.h"
#include "link/server_control.h"
#include "platform/clock.h"

namespace quelma::link {

enum class LogSource : std::uintptr_t { kPop3Srv = 0, kSmtpSrv = 1, kPop3Client = 2, kSmtpClient = 3, kDialer = 4, kImapSrv = 5,
                                        kImapClient = 6, kSystem = 7 };

struct Rgb {
  std::uint8_t r, g, b;
};

std::string_view LogTag(LogSource source);
Rgb LogColour(LogSource source);

std::string FormatLogDate(const platform::LocalTime& time);  // "05 Dec 2001"
std::string FormatLogTime(const platform::LocalTime& time);  // "14:03:07"

// The Winsock constant name of an error code, or "unknown reason".
std::string WinsockErrorName(int code);

// While it lives, the lines the calling thread writes carry its session's number after the tag
// ("POP3SRV> [12] ..."): the servers serve several clients at once, and this is how a reader
// tells their lines apart. Numbers count from 1 each time a server starts.
class SessionLabel {
 public:
  explicit SessionLabel(std::uint64_t number);
  ~SessionLabel();
  SessionLabel(const SessionLabel&) = delete;
  SessionLabel& operator=(const SessionLabel&) = delete;

 private:
  std::uint64_t previous_;
};

class ActivityLog {
 public:
  ActivityLog(MainWindow& window, const ServerControl& control, platform::Clock& clock)
      : window_(window), control_(control), clock_(clock) {}

  // Texts of the servers and clients end with CR LF already; the dialer's do not.
  void LogPop3Srv(std::string_view text) { write(LogSource::kPop3Srv, text); }
  void LogSmtpSrv(std::string_view text) { write(LogSource::kSmtpSrv, text); }
  void LogPop3Client(std::string_view text) { write(LogSource::kPop3Client, text); }
  void LogSmtpClient(std::string_view text) { write(LogSource::kSmtpClient, text); }
  void LogDialer(std::string_view text) { write(LogSource::kDialer, text); }
  void LogImapSrv(std::string_view text) { write(LogSource::kImapSrv, text); }
  void LogImapClient(std::string_view text) { write(LogSource::kImapClient, text); }
  void LogSystem(std::string_view text) { write(LogSource::kSystem, text); }  // backups, the program's own state

  // The line as it reaches the main window, or nothing when the source is muted.
  void write(LogSource source, std::string_view text);

 private:
  bool muted(LogSource source) const;
  MainWindow& window_;
  const ServerControl& control_;
  platform::Clock& clock_;
};

}  // namespace quelma::link
