// Each family with its TYPE and HELP, label values escaped, "# EOF" at the end.
#include "status/openmetrics.h"

#include <cstdio>

#include "platform/cp1251_utf8.h"

namespace quelma::status {
namespace {

// A label value: UTF-8 as the format wants, with its backslashes, quotes and line ends escaped.
std::string Escaped(const std::string& cp1251) {
  std::string out;
  for (const char c : platform::Cp1251ToUtf8(cp1251)) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

class Families {
 public:
  void family(const char* name, const char* type, const char* help) {
    text_ += std::string("# TYPE ") + name + " " + type + "\n# HELP " + name + " " + help + "\n";
  }
  void sample(const std::string& name, const std::string& labels, double value) {
    char number[64];
    std::snprintf(number, sizeof number, "%.17g", value);
    text_ += name + (labels.empty() ? "" : "{" + labels + "}") + " " + number + "\n";
  }
  std::string end() { return text_ + "# EOF\n"; }

 private:
  std::string text_;
};

std::string AccountLabels(std::size_t index, const AccountState& a) {
  return "account=\"" + std::to_string(index) + "\",server=\"" + Escaped(a.server) + "\",login=\"" + Escaped(a.login) +
         "\",protocol=\"" + Escaped(a.protocol) + "\"";
}

}  // namespace

std::string FormatOpenMetrics(const ProgramStatus& s) {
  Families m;
  m.family("quelma_up", "gauge", "Whether the program runs on its directory.");
  m.sample("quelma_up", "", s.running ? 1 : 0);
  // A gauge rather than OpenMetrics' info type: the textfile collector reads the older text
  // format, which has no such type; the text stays valid OpenMetrics.
  m.family("quelma_version_info", "gauge", "The program's version, as a label; always 1.");
  m.sample("quelma_version_info", "version=\"" + Escaped(s.version) + "\"", 1);
  m.family("quelma_start_time_seconds", "gauge", "When the program started.");
  m.sample("quelma_start_time_seconds", "", static_cast<double>(s.startedAt));
  m.family("quelma_account_last_session_time_seconds", "gauge", "When an account's last session ended.");
  for (std::size_t i = 0; i < s.accounts.size(); ++i) {
    m.sample("quelma_account_last_session_time_seconds", AccountLabels(i, s.accounts[i]), static_cast<double>(s.accounts[i].last.at));
  }
  m.family("quelma_account_last_session_ok", "gauge", "Whether an account's last session succeeded.");
  for (std::size_t i = 0; i < s.accounts.size(); ++i) {
    m.sample("quelma_account_last_session_ok", AccountLabels(i, s.accounts[i]), s.accounts[i].last.ok ? 1 : 0);
  }
  m.family("quelma_account_last_session_messages", "gauge", "Messages an account's last session stored.");
  for (std::size_t i = 0; i < s.accounts.size(); ++i) {
    m.sample("quelma_account_last_session_messages", AccountLabels(i, s.accounts[i]),
             static_cast<double>(s.accounts[i].last.messages));
  }
  m.family("quelma_account_failing_since_seconds", "gauge", "Since when an account's sessions fail (0: its last one succeeded).");
  for (std::size_t i = 0; i < s.accounts.size(); ++i) {
    m.sample("quelma_account_failing_since_seconds", AccountLabels(i, s.accounts[i]),
             static_cast<double>(s.accounts[i].last.failingSince));
  }
  m.family("quelma_account_oauth_login_needed", "gauge", "Whether an account's OAuth login no longer holds.");
  for (std::size_t i = 0; i < s.accounts.size(); ++i) {
    if (s.accounts[i].oauth.empty()) continue;
    m.sample("quelma_account_oauth_login_needed", AccountLabels(i, s.accounts[i]), s.accounts[i].oauth == "needs login" ? 1 : 0);
  }
  m.family("quelma_smtp_last_session_time_seconds", "gauge", "When the last upload to the provider ended (0: none yet).");
  m.sample("quelma_smtp_last_session_time_seconds", "", static_cast<double>(s.upload.at));
  m.family("quelma_smtp_last_session_ok", "gauge", "Whether the last upload to the provider succeeded.");
  m.sample("quelma_smtp_last_session_ok", "", s.upload.ok ? 1 : 0);
  m.family("quelma_next_session_time_seconds", "gauge", "When the timetable's next session falls (0: none planned).");
  m.sample("quelma_next_session_time_seconds", "", static_cast<double>(s.nextSession));
  m.family("quelma_queue_messages", "gauge", "Messages waiting in the queue.");
  m.sample("quelma_queue_messages", "", static_cast<double>(s.spool.queueMessages));
  m.family("quelma_queue_bytes", "gauge", "Bytes waiting in the queue.");
  m.sample("quelma_queue_bytes", "", static_cast<double>(s.spool.queueBytes));
  m.family("quelma_queue_oldest_time_seconds", "gauge", "When the oldest queue file was written (0: none).");
  m.sample("quelma_queue_oldest_time_seconds", "", static_cast<double>(s.spool.queueOldest));
  m.family("quelma_maildrops", "gauge", "Mailboxes of the local users.");
  m.sample("quelma_maildrops", "", static_cast<double>(s.spool.maildrops));
  m.family("quelma_maildrop_bytes", "gauge", "Bytes in the local users' mailboxes.");
  m.sample("quelma_maildrop_bytes", "", static_cast<double>(s.spool.maildropBytes));
  m.family("quelma_alerts_open", "gauge", "Alerts open now.");
  m.sample("quelma_alerts_open", "", static_cast<double>(s.alerts.size()));
  return m.end();
}

}  // namespace quelma::status
