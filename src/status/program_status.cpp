// The status file and the JSON report, with nlohmann's JSON: the file keeps seconds, the report
// says times in ISO 8601.
#include "status/program_status.h"

#include <nlohmann/json.hpp>

#include <cstdio>

#include "mime/mail_date.h"
#include "platform/charset.h"
#include "platform/cp1251_utf8.h"

namespace quelma::status {
namespace {

using nlohmann::json;

constexpr int kFileFormat = 1;

// The program's texts are Windows-1251; JSON's are UTF-8.
std::string Utf8(const std::string& text) { return platform::Cp1251ToUtf8(text); }
std::string Cp1251(const std::string& text) { return platform::ConvertToCp1251(text, "UTF-8").value_or(""); }

json SessionFile(const LastSession& s) {
  return {{"at", s.at}, {"ok", s.ok}, {"error", s.error}, {"messages", s.messages}, {"failing_since", s.failingSince}};
}

LastSession SessionOf(const json& j) {
  LastSession s;
  s.at = j.value("at", std::int64_t{0});
  s.ok = j.value("ok", false);
  s.error = j.value("error", 0);
  s.messages = j.value("messages", std::uint64_t{0});
  s.failingSince = j.value("failing_since", std::int64_t{0});
  return s;
}

json Time(std::int64_t seconds) {
  if (seconds == 0) return nullptr;
  const mime::CivilTime t = mime::CivilFromUnix(seconds);
  char text[32];
  std::snprintf(text, sizeof text, "%04lld-%02d-%02dT%02d:%02d:%02dZ", static_cast<long long>(t.year), t.month, t.day,
                t.hour, t.minute, t.second);
  return text;
}

json SessionReport(const LastSession& s) {
  return {{"last_session", Time(s.at)},
          {"result", s.at == 0 ? json(nullptr) : json(s.ok ? "ok" : "failed")},
          {"error", s.ok || s.at == 0 ? json(nullptr) : json(s.error)},
          {"messages", s.messages},
          {"failing_since", Time(s.failingSince)}};
}

}  // namespace

std::string EncodeStatusFile(const ProgramStatus& s) {
  json accounts = json::array();
  for (const AccountState& a : s.accounts) {
    accounts.push_back({{"server", Utf8(a.server)}, {"login", Utf8(a.login)}, {"protocol", a.protocol},
                        {"last", SessionFile(a.last)}, {"push", a.push}, {"oauth", a.oauth}});
  }
  json alerts = json::array();
  for (const OpenAlert& a : s.alerts) {
    alerts.push_back({{"condition", Utf8(a.condition)}, {"text", Utf8(a.text)}, {"since", a.since}, {"sent", a.sentAt},
                      {"subject", Utf8(a.subject)}});
  }
  return json{{"format", kFileFormat}, {"pid", s.pid}, {"version", Utf8(s.version)}, {"started", s.startedAt},
              {"written", s.writtenAt}, {"accounts", accounts}, {"upload", SessionFile(s.upload)}, {"upload_oauth", s.uploadOauth},
              {"next_session", s.nextSession}, {"alerts", alerts}}
      .dump(-1, ' ', false, json::error_handler_t::replace);
}

std::optional<ProgramStatus> DecodeStatusFile(const std::string& bytes) {
  const json j = json::parse(bytes, nullptr, false);
  if (!j.is_object() || j.value("format", 0) != kFileFormat) return std::nullopt;
  try {
    ProgramStatus s;
    s.pid = j.value("pid", std::int64_t{0});
    s.version = Cp1251(j.value("version", ""));
    s.startedAt = j.value("started", std::int64_t{0});
    s.writtenAt = j.value("written", std::int64_t{0});
    for (const json& a : j.value("accounts", json::array())) {
      s.accounts.push_back({Cp1251(a.value("server", "")), Cp1251(a.value("login", "")), a.value("protocol", ""),
                            SessionOf(a.value("last", json::object())), a.value("push", ""), a.value("oauth", "")});
    }
    s.upload = SessionOf(j.value("upload", json::object()));
    s.uploadOauth = j.value("upload_oauth", "");
    s.nextSession = j.value("next_session", std::int64_t{0});
    for (const json& a : j.value("alerts", json::array())) {
      s.alerts.push_back({Cp1251(a.value("condition", "")), Cp1251(a.value("text", "")), a.value("since", std::int64_t{0}),
                          a.value("sent", std::int64_t{0}), Cp1251(a.value("subject", ""))});
    }
    return s;
  } catch (const json::exception&) {
    return std::nullopt;  // a value of the wrong kind
  }
}

std::string FormatStatusJson(const ProgramStatus& s) {
  json accounts = json::array();
  for (std::size_t i = 0; i < s.accounts.size(); ++i) {
    const AccountState& a = s.accounts[i];
    json one = SessionReport(a.last);
    one["account"] = i;
    one["server"] = Utf8(a.server);
    one["login"] = Utf8(a.login);
    one["protocol"] = a.protocol;
    one["push"] = a.push.empty() ? json(nullptr) : json(a.push);
    one["oauth"] = a.oauth.empty() ? json(nullptr) : json(a.oauth);
    accounts.push_back(one);
  }
  json alerts = json::array();
  for (const OpenAlert& a : s.alerts) {
    alerts.push_back({{"condition", Utf8(a.condition)}, {"text", Utf8(a.text)}, {"since", Time(a.since)}, {"sent", Time(a.sentAt)},
                      {"subject", Utf8(a.subject)}});
  }
  json smtp = SessionReport(s.upload);
  smtp["oauth"] = s.uploadOauth.empty() ? json(nullptr) : json(s.uploadOauth);
  const json report{{"running", s.running},
                    {"pid", s.running ? json(s.pid) : json(nullptr)},
                    {"version", Utf8(s.version)},
                    {"started", Time(s.startedAt)},
                    {"status_written", Time(s.writtenAt)},
                    {"accounts", accounts},
                    {"smtp", smtp},
                    {"queue", {{"messages", s.spool.queueMessages}, {"bytes", s.spool.queueBytes}, {"oldest", Time(s.spool.queueOldest)}}},
                    {"maildrops", {{"count", s.spool.maildrops}, {"bytes", s.spool.maildropBytes}}},
                    {"next_session", Time(s.nextSession)},
                    {"alerts", alerts}};
  return report.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace quelma::status
