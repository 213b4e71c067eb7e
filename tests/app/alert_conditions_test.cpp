// Which facts make which alert: each threshold at its edge and turned off, and the texts name
// what mends it.
#include "app/alert_conditions.h"

#include <gtest/gtest.h>

namespace quelma::app {
namespace {

constexpr std::int64_t kNow = 1796800000;
constexpr std::int64_t kHour = 3600;
constexpr std::uint64_t kMb = 1024 * 1024;

config::Configuration Settings() {
  config::Configuration c;
  c.SMTPServer = "smtp.example.org";
  c.TLS_CERT_FILE = "/etc/quelma/cert.pem";
  config::ProviderAccount a;
  a.server = "pop.example.org";
  a.login = "ivan";
  c.accounts.push_back(a);
  return c;
}

AlertFacts Calm() {
  AlertFacts f;
  f.now = kNow;
  f.places = {{"почтовые ящики (/m/)", 900 * kMb}, {"очередь (/q/)", std::nullopt}};
  status::AccountState ivan;
  ivan.server = "pop.example.org";
  ivan.login = "ivan";
  ivan.last = {kNow - 60, true, 0, 2, 0};
  f.board.accounts = {ivan};
  f.board.upload = {kNow - 60, true, 0, 1, 0};
  f.localCertificateEnd = kNow + 90 * 24 * kHour;
  return f;
}

std::string Keys(const std::vector<status::AlertCondition>& conditions) {
  std::string out;
  for (const auto& c : conditions) out += c.key + ";";
  return out;
}

TEST(AlertConditions, EachFactAtItsEdge) {
  struct Case {
    const char* what;
    void (*change)(config::Configuration&, AlertFacts&);
    const char* keys;
  };
  const Case cases[] = {
      {"all well", [](config::Configuration&, AlertFacts&) {}, ""},
      {"free space just under the floor",
       [](config::Configuration&, AlertFacts& f) { f.places[0].freeBytes = 500 * kMb - 1; }, "disk;"},
      {"free space at the floor", [](config::Configuration&, AlertFacts& f) { f.places[0].freeBytes = 500 * kMb; }, ""},
      {"disk alert off",
       [](config::Configuration& c, AlertFacts& f) {
         c.ALERT_DISK_MB = 0;
         f.places[0].freeBytes = 0;
       },
       ""},
      {"an account failing 11 h 59 min",
       [](config::Configuration&, AlertFacts& f) { f.board.accounts[0].last = {kNow, false, 10061, 0, kNow - 12 * kHour + 60}; }, ""},
      {"an account failing 12 h",
       [](config::Configuration&, AlertFacts& f) { f.board.accounts[0].last = {kNow, false, 10061, 0, kNow - 12 * kHour}; },
       "account pop.example.org ivan;"},
      {"failing alert off",
       [](config::Configuration& c, AlertFacts& f) {
         c.ALERT_FAIL_HOURS = 0;
         f.board.accounts[0].last = {kNow, false, 10061, 0, kNow - 100 * kHour};
       },
       ""},
      {"48 hours set: a whole day of failures is enough",
       [](config::Configuration& c, AlertFacts& f) {
         c.ALERT_FAIL_HOURS = 48;
         f.board.accounts[0].last = {kNow, false, 10061, 0, kNow - 24 * kHour};
       },
       "account pop.example.org ivan;"},
      {"the upload failing", [](config::Configuration&, AlertFacts& f) { f.board.upload = {kNow, false, 2, 0, kNow - 13 * kHour}; },
       "smtp;"},
      {"a revoked OAuth login", [](config::Configuration&, AlertFacts& f) { f.board.accounts[0].oauth = "needs login"; },
       "oauth pop.example.org ivan;"},
      {"the SMTP login revoked", [](config::Configuration&, AlertFacts& f) { f.board.uploadOauth = "needs login"; }, "oauth smtp;"},
      {"the local certificate ends in 13 days",
       [](config::Configuration&, AlertFacts& f) { f.localCertificateEnd = kNow + 13 * 24 * kHour; }, "certificate local;"},
      {"the local certificate ends in 15 days",
       [](config::Configuration&, AlertFacts& f) { f.localCertificateEnd = kNow + 15 * 24 * kHour; }, ""},
      {"a provider's certificate ends in 6 days",
       [](config::Configuration&, AlertFacts& f) { f.providerCertificateEnds["pop.example.org"] = kNow + 6 * 24 * kHour; },
       "certificate pop.example.org;"},
      {"a provider's certificate ends in 8 days",
       [](config::Configuration&, AlertFacts& f) { f.providerCertificateEnds["smtp.example.org"] = kNow + 8 * 24 * kHour; }, ""},
      {"a server no longer in the settings",
       [](config::Configuration&, AlertFacts& f) { f.providerCertificateEnds["old.example.org"] = kNow; }, ""},
      {"a queue file 24 h old",
       [](config::Configuration&, AlertFacts& f) {
         f.queueMessages = 2;
         f.queueOldest = kNow - 24 * kHour;
       },
       "queue;"},
      {"a queue file 23 h old",
       [](config::Configuration&, AlertFacts& f) {
         f.queueMessages = 2;
         f.queueOldest = kNow - 23 * kHour;
       },
       ""},
      {"a start after an unclean stop",
       [](config::Configuration&, AlertFacts& f) { f.recovered = {"отправка провайдеру была прервана"}; }, "unclean start;"},
  };
  for (const Case& c : cases) {
    config::Configuration settings = Settings();
    AlertFacts facts = Calm();
    c.change(settings, facts);
    EXPECT_EQ(Keys(CurrentAlertConditions(settings, facts)), c.keys) << c.what;
  }
}

TEST(AlertConditions, TheTextsSayWhatMendsIt) {
  config::Configuration settings = Settings();
  AlertFacts f = Calm();
  f.utcOffset = 3 * kHour;
  f.board.accounts[0].last = {kNow, false, 10061, 0, kNow - 13 * kHour};
  f.board.accounts[0].oauth = "needs login";
  f.places[0].freeBytes = 3 * kMb;
  f.queueMessages = 1;
  f.queueOldest = kNow - 30 * kHour;
  const auto conditions = CurrentAlertConditions(settings, f);
  auto text = [&](const std::string& key) {
    for (const auto& c : conditions) {
      if (c.key == key) return c.text;
    }
    return std::string("<none>");
  };
  const struct {
    const char* key;
    const char* words;
  } expected[] = {
      {"disk", "почтовые ящики (/m/): свободно 3 МБ"},
      {"disk", "quelma config set ALERT_DISK_MB"},
      {"account pop.example.org ivan", "не удаются с " /* since, in local time */},
      {"account pop.example.org ivan", "quelma check account 0"},
      {"account pop.example.org ivan", "ошибка 10061"},
      {"oauth pop.example.org ivan", "quelma oauth login account 0"},
      {"queue", "Отправить/получить почту"},
  };
  for (const auto& e : expected) EXPECT_NE(text(e.key).find(e.words), std::string::npos) << e.key << ": " << e.words;
  EXPECT_NE(text("account pop.example.org ivan").find(AlertTime(kNow - 13 * kHour, 3 * kHour)), std::string::npos);
  EXPECT_EQ(AlertTime(kNow, 3 * kHour), "09.12.2026 10:06");
}

}  // namespace
}  // namespace quelma::app
