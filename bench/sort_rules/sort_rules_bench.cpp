// Sorting figures: 10,000 downloaded messages through 200 sorter rules, with plain headers
// (the rules of today) or with half of the matched headers RFC 2047-encoded (decoded before
// matching). Prints messages/s of the whole sorting run (rules, maildrop appends, the journal)
// and of the matching alone, and the process's peak memory. Usage:
//   sort_rules_bench plain|encoded [MESSAGES]
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "link/activity_log.h"
#include "link/main_window.h"
#include "link/server_control.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "sorting/message_header.h"
#include "sorting/sort_downloaded_mail.h"
#include "sorting/sorter_matching.h"

namespace {

using namespace quelma;
using Clock = std::chrono::steady_clock;

class QuietWindow final : public link::MainWindow {
 public:
  std::intptr_t send(unsigned, std::uintptr_t, std::intptr_t) override { return 0; }
  void post(unsigned, std::uintptr_t, std::intptr_t) override {}
  void setStatusText(int, const std::string&) override {}
  void setProgress(int, int) override {}
};

// The words the rules look for, in Windows-1251 as the rules hold them.
const char* const kWords[] = {"счёт", "оплата", "договор", "отчёт", "заказ", "поставка", "акт", "накладная",
                              "встреча", "совещание"};

// "счёт" in a sender's encoding: UTF-8 base64, KOI8-R quoted-printable, or Windows-1251 base64.
std::string Encoded(const std::string& cp1251, int kind) {
  static const char* const kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  auto base64 = [](const std::string& bytes) {
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
      const unsigned n = (static_cast<unsigned char>(bytes[i]) << 16) |
                         (i + 1 < bytes.size() ? static_cast<unsigned char>(bytes[i + 1]) << 8 : 0) |
                         (i + 2 < bytes.size() ? static_cast<unsigned char>(bytes[i + 2]) : 0);
      out += kAlphabet[(n >> 18) & 63];
      out += kAlphabet[(n >> 12) & 63];
      out += i + 1 < bytes.size() ? kAlphabet[(n >> 6) & 63] : '=';
      out += i + 2 < bytes.size() ? kAlphabet[n & 63] : '=';
    }
    return out;
  };
  std::string utf8;
  for (const char c : cp1251) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x80) {
      utf8 += c;
    } else {
      const unsigned cp = b >= 0xC0 ? 0x410 + (b - 0xC0) : b == 0xB8 ? 0x451 : b == 0xA8 ? 0x401 : 0x3F;
      utf8 += static_cast<char>(0xC0 | (cp >> 6));
      utf8 += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  if (kind == 0) return "=?UTF-8?B?" + base64(utf8) + "?=";
  if (kind == 1) return "=?windows-1251?B?" + base64(cp1251) + "?=";
  std::string q = "=?windows-1251?Q?";
  for (const char c : cp1251) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "=%02X", static_cast<unsigned char>(c));
    q += c == ' ' ? std::string("_") : static_cast<unsigned char>(c) >= 0x80 ? std::string(hex) : std::string(1, c);
  }
  return q + "?=";
}

std::string Message(int i, bool encoded) {
  const std::string word = kWords[i % 10];
  const std::string subject = "Re: " + word + " N " + std::to_string(i) + " от клиента";
  const std::string from = "Отдел " + std::to_string(i % 37);
  std::string m = "Received: from mx" + std::to_string(i % 7) + ".provider.test by box.provider.test; Mon, 7 Dec 2026\r\n";
  m += "Delivered-To: box@provider.test\r\nMessage-ID: <" + std::to_string(i) + ".bench@sender.test>\r\n";
  m += "From: " + (encoded && i % 2 ? Encoded(from, i % 3) : from) + " <s" + std::to_string(i % 37) + "@sender.test>\r\n";
  m += "To: office@office.test\r\nDate: Mon, 7 Dec 2026 09:00:00 +0300\r\n";
  m += "Subject: " + (encoded && i % 2 ? Encoded(subject, i % 3) : subject) + "\r\n";
  m += "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=windows-1251\r\n\r\n";
  for (int line = 0; line < 15; ++line) m += "Текст письма, строка " + std::to_string(line) + ": всё в порядке.\r\n";
  return m + ".\r\n";
}

// 200 rules: half on the subject and the sender's name (the headers the encoded case encodes),
// half on plain headers; none stops, so every message is tried against all of them.
sorting::SorterRuleTable Rules() {
  sorting::SorterRuleTable rules;
  for (int r = 0; r < 200; ++r) {
    const std::string user = "user" + std::to_string(r % 20);
    if (r < 100) {
      rules.push_back({r % 2 ? "From" : "Subject", r % 2 ? "отдел " + std::to_string(r % 37) + " " : std::string(kWords[r % 10]) + " n " + std::to_string(r),
                       user, 0});
    } else {
      rules.push_back({r % 2 ? "Received" : "Message-ID", r % 2 ? "mx" + std::to_string(r % 7) + ".provider" : "<" + std::to_string(r) + ".bench@", user, 0});
    }
  }
  return rules;
}

long PeakKilobytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: sort_rules_bench plain|encoded [MESSAGES]\n");
    return 1;
  }
  const bool encoded = std::string(argv[1]) == "encoded";
  const int count = argc > 2 ? std::atoi(argv[2]) : 10000;
  const std::string dir = (std::filesystem::temp_directory_path() / ("sort_rules_bench." + std::to_string(getpid()))).string() + "/";
  std::filesystem::create_directories(dir + "maildrop");
  std::filesystem::create_directories(dir + "queue");

  config::Configuration config;
  config.MailDropDir = dir + "maildrop/";
  config.QueueDir = dir + "queue/";
  config.PostMaster = "postmaster";
  config.LocalDomain = "office.test";
  config.users.push_back({"postmaster", "", ""});
  for (int u = 0; u < 20; ++u) config.users.push_back({"user" + std::to_string(u), "", ""});

  std::string mail;
  std::vector<std::string> headers;
  for (int i = 0; i < count; ++i) {
    const std::string m = Message(i, encoded);
    mail += m;
    headers.push_back(m.substr(0, m.find("\r\n\r\n") + 2));
  }
  platform::AtomicReplace(dir + "mail.txt", mail);
  sorting::SorterRuleTable rules = Rules();
  sorting::SorterFile sorter(sorting::SorterFilePath(dir));
  sorting::WriteSorterRules(sorter, rules);

  // The matching alone, over headers already in memory.
  auto start = Clock::now();
  std::size_t matched = 0;
  for (const auto& header : headers) {
    matched += sorting::MatchSorterRules(sorting::MessageHeader(header), rules, config).matched ? 1 : 0;
  }
  const double matching = std::chrono::duration<double>(Clock::now() - start).count();

  QuietWindow window;
  link::ServerControl control;
  link::ActivityLog log(window, control, platform::SystemClock());
  start = Clock::now();
  const auto result = sorting::SortMailFile({config, sorter, log, dir}, dir + "mail.txt", true, "*");
  const double sorting = std::chrono::duration<double>(Clock::now() - start).count();

  std::printf("%-8s %d messages, 200 rules: matched %zu; matching %.0f msg/s (%.3f s); whole sort %.0f msg/s (%.3f s)%s; peak %ld KB\n",
              encoded ? "encoded" : "plain", count, matched, count / matching, matching, count / sorting, sorting,
              result == sorting::SortResult::kSorted ? "" : " NOT SORTED", PeakKilobytes());
  std::filesystem::remove_all(dir);
  return result == sorting::SortResult::kSorted ? 0 : 1;
}
