// The link from every thread to the main window: its messages, and the status bar.
#pragma once

#include <cstdint>
#include <string>

namespace quelma::link {

inline constexpr unsigned kWmUser = 1024;
inline constexpr unsigned UM_LOG_LINE = kWmUser + 0;       // wParam LogSource, lParam const std::string*
inline constexpr unsigned UM_START_SESSION = kWmUser + 1;
inline constexpr unsigned UM_SHUTDOWN = kWmUser + 2;       // a fatal fault: exit code 1
inline constexpr unsigned UM_TRAY_ICON = kWmUser + 3;
inline constexpr unsigned UM_WORKER_DONE = kWmUser + 4;    // wParam WorkerId
inline constexpr unsigned UM_CONNECTED = kWmUser + 5;      // wParam 1 = link was up, 3 = dialled

// The Windows message numbers (WM_CLOSE, WM_COMMAND) that the console front end borrows for
// the same events; named apart from the Windows macros so both can be in sight.
inline constexpr unsigned kWmClose = 0x0010;
inline constexpr unsigned kWmCommand = 0x0111;
inline constexpr std::uintptr_t kCommandExit = 40002;
inline constexpr std::uintptr_t kCommandSendReceive = 40011;

// The status bar: a label and a progress bar for each of the two mail clients, then a label
// with the number of IMAP sessions and one for push.
inline constexpr int kSmtpLabelPart = 0;
inline constexpr int kSmtpProgressPart = 1;
inline constexpr int kPop3LabelPart = 2;
inline constexpr int kPop3ProgressPart = 3;
inline constexpr int kImapLabelPart = 4;
inline constexpr int kPushLabelPart = 5;

enum class WorkerId : std::uintptr_t { kPop3Client = 1, kSmtpClient = 2, kDialer = 3 };

class MainWindow {
 public:
  virtual ~MainWindow() = default;
  // Returns once the main thread has handled the message (called on the main thread, it is
  // handled at once).
  virtual std::intptr_t send(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) = 0;
  virtual void post(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) = 0;
  virtual void setStatusText(int part, const std::string& text) = 0;
  virtual void setProgress(int part, int percent) = 0;
};

}  // namespace quelma::link
