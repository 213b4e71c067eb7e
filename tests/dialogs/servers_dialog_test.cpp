// The servers and users dialog: roles, refusals, folders, number ranges, OK and Cancel.
#include "dialogs/servers_dialog.h"

#include <gtest/gtest.h>

#include "dialogs/dialog_fixture.h"
#include "platform/paths.h"
#include "support/fixed_rsa_pair.h"

namespace quelma::dialogs {
namespace {

constexpr int kPostmaster = 0, kDaemon = 1, kIvan = 2, kPetr = 3;

std::vector<std::string> Roles(const ServersDialog& d) {
  std::vector<std::string> roles;
  for (const UserRow& row : d.rows()) roles.push_back(row.role);
  return roles;
}

TEST(ServersDialog, RoleColumnAndRoleButtons) {
  struct Case {
    const char* what;
    std::function<void(ServersDialog&)> act;
    std::vector<std::string> roles;
    std::vector<std::string> messages;
  };
  const Case cases[] = {
      {"opening", [](ServersDialog&) {}, {"(ПОСТМАСТЕР)", "(ДЕМОН)", "", ""}, {}},
      {"postmaster who is boss", [](ServersDialog& d) { d.makeBoss(kPostmaster); },
       {"(ПОСТМАСТЕР)[BOSS]", "(ДЕМОН)", "", ""}, {}},
      {"boss made daemon shows only the boss mark",
       [](ServersDialog& d) { d.makeBoss(kIvan), d.makeDaemon(kIvan); }, {"(ПОСТМАСТЕР)", "", "[BOSS]", ""}, {}},
      {"the daemon cannot be boss", [](ServersDialog& d) { d.makeBoss(kIvan), d.makeBoss(kDaemon); },
       {"(ПОСТМАСТЕР)", "(ДЕМОН)", "", ""}, {}},
      {"boss without a selection is nobody", [](ServersDialog& d) { d.makeBoss(kPetr), d.makeBoss(-1); },
       {"(ПОСТМАСТЕР)", "(ДЕМОН)", "", ""}, {}},
      {"the daemon cannot be postmaster", [](ServersDialog& d) { d.makePostmaster(kDaemon); },
       {"(ПОСТМАСТЕР)", "(ДЕМОН)", "", ""}, {"Демон не может быть постмастером"}},
      {"the postmaster cannot be daemon", [](ServersDialog& d) { d.makeDaemon(kPostmaster); },
       {"(ПОСТМАСТЕР)", "(ДЕМОН)", "", ""}, {"Постмастер не может быть демоном"}},
      {"a new postmaster", [](ServersDialog& d) { d.makePostmaster(kPetr); }, {"", "(ДЕМОН)", "", "(ПОСТМАСТЕР)"}, {}},
      {"no selection changes nothing", [](ServersDialog& d) { d.makePostmaster(-1), d.makeDaemon(7); },
       {"(ПОСТМАСТЕР)", "(ДЕМОН)", "", ""}, {}},
  };
  for (const Case& c : cases) {
    DialogFixture f;
    ServersDialog d(f.env);
    c.act(d);
    EXPECT_EQ(Roles(d), c.roles) << c.what;
    std::vector<std::string> texts;
    for (const Message& m : f.prompt.shown) {
      texts.push_back(m.text);
      EXPECT_EQ(m.caption, "Ошибка");
      EXPECT_EQ(m.icon, Icon::kError);
    }
    EXPECT_EQ(texts, c.messages) << c.what;
    EXPECT_EQ(f.store.current()->Boss, d.config().Boss) << "every change is published at once: " << c.what;
  }
}

TEST(ServersDialog, AddEditAndDeleteUsers) {
  DialogFixture f;
  ServersDialog d(f.env);
  d.add({"IVAN", "x", ""});
  ASSERT_EQ(f.prompt.shown.size(), 1u);
  EXPECT_EQ(f.prompt.shown[0].text, "Пользователь \"IVAN\" уже существует.\nВ список не добавлен.");
  EXPECT_EQ(d.config().users.size(), 4u) << "names compare without regard to case";

  d.makeBoss(kPostmaster);
  d.edit(kPostmaster, {"admin", "pw", ""});  // the roles follow the rename
  EXPECT_EQ(d.config().PostMaster, "admin");
  EXPECT_EQ(d.config().Boss, "admin");
  EXPECT_EQ(d.rows()[0].role, "(ПОСТМАСТЕР)[BOSS]");
  d.edit(kDaemon, {"robot", "", ""});
  EXPECT_EQ(d.config().Daemon, "robot");
  d.edit(kPetr, {"Ivan", "x", ""});
  EXPECT_EQ(d.config().users[kPetr].name, "petr") << "a rename onto another user's name is refused";
  d.edit(kPetr, {"petr", "new", ""});
  EXPECT_EQ(d.config().users[kPetr].password, "new") << "a user may keep its own name";

  f.prompt.shown.clear();
  d.remove(kPostmaster);
  d.remove(kDaemon);
  ASSERT_EQ(f.prompt.shown.size(), 2u);
  EXPECT_EQ(f.prompt.shown[0].text, "Удалять постмастера нельзя");
  EXPECT_EQ(f.prompt.shown[1].text, "Удалять демона нельзя");

  d.makeBoss(kIvan);
  f.prompt.answers = {false};
  d.remove(kIvan);
  EXPECT_EQ(d.config().users.size(), 4u);
  EXPECT_EQ(d.config().Boss, "ivan") << "No keeps the user and the role";
  d.remove(kIvan);
  EXPECT_EQ(f.prompt.shown.back(), (Message{"Удалить пользователя \"ivan\"?", "Удаление", Buttons::kYesNo}));
  ASSERT_EQ(d.config().users.size(), 3u);
  EXPECT_EQ(d.config().users[2].name, "petr") << "the users behind move up";
  EXPECT_EQ(d.config().Boss, "");

  d.cancel();
  EXPECT_EQ(f.store.current()->users.size(), 4u) << "Cancel reads the file again";
  EXPECT_EQ(f.store.current()->PostMaster, "postmaster");
}

// A password the POP3 server could never match is refused with the reason, not cut.
TEST(ServersDialog, PasswordsThePop3ServerCannotMatchAreRefused) {
  const std::pair<const char*, const char*> cases[] = {
      {"", nullptr}, {"abc123XYZ0", nullptr}, {"abc123XYZ01", "Пароль длиннее 10"},
      {"pass-word", "Пароль может состоять только из латинских букв и цифр: с символом \"-\""},
      {"пароль", "Пароль может состоять только"},
  };
  for (const auto& [password, problem] : cases) {
    const auto found = UserPasswordProblem(password);
    EXPECT_EQ(found.has_value(), problem != nullptr) << password;
    EXPECT_TRUE(!found || !problem || found->starts_with(problem)) << *found;
  }
}

TEST(ServersDialog, UserDialogFields) {
  EXPECT_EQ(AcceptUserFields(" Ivan ", "Pass Word", "Ivan.Petrov@Provider.RU"),
            (config::LocalUser{"ivan", "password", "ivan.petrov@provider.ru"}));
  EXPECT_EQ(AcceptUserFields("  ", "x", "y"), std::nullopt) << "an empty name is a cancel";
  EXPECT_EQ(AcceptUserFields("Жанна", "", "")->name, "Жанна") << "only A-Z are lowered";
  EXPECT_EQ(AcceptUserFields(std::string(40, 'a'), "", "")->name.size(), kUserNameField);
}

// Written with '|' for the platform's path separator.
std::string Path(std::string text) {
  std::replace(text.begin(), text.end(), '|', platform::kPathSeparator);
  return text;
}

TEST(ServersDialog, FolderFields) {
  const std::vector<std::string> existing = {Path("C:|"), Path("D:|mail")};
  auto exists = [&](const std::string& p) { return std::find(existing.begin(), existing.end(), p) != existing.end(); };
  const std::pair<const char*, std::optional<const char*>> cases[] = {
      {"C:", "C:|"},           {"C:|", "C:|"},           {"  D:|mail|", "D:|mail|"}, {"D:|mail", "D:|mail|"},
      {"E:|missing", std::nullopt}, {"", std::nullopt}, {"   ", std::nullopt},
  };
  for (const auto& [field, kept] : cases) {
    const auto expected = kept ? std::optional<std::string>(Path(*kept)) : std::nullopt;
    EXPECT_EQ(AcceptFolder(Path(field), exists), expected) << field;
  }
}

TEST(ServersDialog, OkTakesOnlyNumbersInRangeAndSavesEverything) {
  struct Case {
    ServersFields fields;
    std::uint32_t logSize;
    std::int32_t pop3, smtp;
    std::uint32_t timeout;
  };
  const Case cases[] = {
      {{"", "", "Office.RU", "12", "1", "65535", "10000", "", "", "", "", true, "20", "*", config::defaults::kRelayNetworks, "10", 0}, 12, 1, 65535, 10000},
      {{"", "", "office.ru", "", "0", "65536", "9999", "", "", "", "", true, "20", "*", config::defaults::kRelayNetworks, "10", 0}, 4, 110, 25, 45000},
      {{"", "", "office.ru", "999", "x", " 2 5 ", "240001", "", "", "", "", true, "20", "*", config::defaults::kRelayNetworks, "10", 0}, 999, 110, 25, 45000},
      {{"", "", "office.ru", "abc", "1 1 0 0", "2525", "240000", "", "", "", "", true, "20", "*", config::defaults::kRelayNetworks, "10", 0}, 4, 1100, 2525, 240000},
  };
  for (const Case& c : cases) {
    DialogFixture f;
    f.directories = {f.dir.path() + "other"};  // the fixture's path ends with the separator
    ServersDialog d(f.env);
    ServersFields fields = c.fields;
    fields.mailDropDir = f.dir.path() + "other";
    d.ok(fields);
    const config::Configuration saved = f.saved();
    EXPECT_EQ(saved.LogFileSize, c.logSize) << c.fields.logFileSize;
    EXPECT_EQ(saved.POP3_SRV_PORT, c.pop3) << c.fields.pop3Port;
    EXPECT_EQ(saved.SMTP_SRV_PORT, c.smtp) << c.fields.smtpPort;
    EXPECT_EQ(saved.SERVERS_TIMEOUT, c.timeout) << c.fields.timeout;
    EXPECT_EQ(saved.LocalDomain, "office.ru");
    EXPECT_EQ(saved.MailDropDir, f.dir.path() + "other" + platform::kPathSeparator);
    EXPECT_EQ(saved.QueueDir, f.store.current()->QueueDir) << "an empty field keeps the queue folder";
  }
}

// The IMAP server's two ports: shown as saved; an empty field or 0 turns the server (its TLS
// port) off, a number out of range keeps the port as it was.
TEST(ServersDialog, ImapPortsBesideThePop3Ones) {
  const struct Case {
    std::string imap, imaps;
    std::int32_t savedImap, savedImaps;
  } cases[] = {
      {"1143", "993", 1143, 993},
      {"65536", "-1", 1143, 993},
      {"143", "x", 143, 993},
      {"", "", 0, 0},
      {"0", "0", 0, 0},
  };  // in order: each OK starts from what the one before saved
  DialogFixture f;
  for (const Case& c : cases) {
    ServersDialog d(f.env);
    ServersFields fields = d.fields();
    fields.imapPort = c.imap;
    fields.imapTlsPort = c.imaps;
    ASSERT_TRUE(d.ok(fields)) << c.imap;
    const config::Configuration saved = f.saved();
    EXPECT_EQ(saved.IMAP_SRV_PORT, c.savedImap) << c.imap;
    EXPECT_EQ(saved.IMAP_SRV_TLS_PORT, c.savedImaps) << c.imaps;
    const ServersFields shown = ServersDialog(f.env).fields();
    EXPECT_EQ(shown.imapPort, std::to_string(c.savedImap));
    EXPECT_EQ(shown.imapTlsPort, std::to_string(c.savedImaps));
  }
}

// The certificate and its key go together, must be there and must be usable together (as the
// servers will load them); the TLS ports and EHLO are saved.
TEST(ServersDialog, TlsForLocalPrograms) {
  DialogFixture f;
  const quelma::testing::FixedRsaPair pair(f.dir.path());
  quelma::testing::WriteAll(f.dir.file("text.pem"), "x");
  const struct Case {
    std::string cert, key, pop3s, smtps;
    bool ehlo;
    bool saved;
    const char* message;  // the start of the refusal, or ""
  } cases[] = {
      {pair.cert, "", "995", "465", true, false, "Для TLS нужны оба файла"},
      {"", pair.key, "995", "465", true, false, "Для TLS нужны оба файла"},
      {pair.cert, f.dir.file("none.pem"), "995", "465", true, false, "Файл \""},
      {pair.key, pair.cert, "995", "465", true, false, "Сертификат и ключ для TLS не годятся: файлы перепутаны"},
      {pair.cert, pair.otherKey, "995", "465", true, false,
       "Сертификат и ключ для TLS не годятся: закрытый ключ из \""},
      {f.dir.file("text.pem"), pair.key, "995", "465", true, false,
       "Сертификат и ключ для TLS не годятся: в файле \""},
      {" " + pair.cert + " ", pair.key, "995", "465", false, true, ""},
      {"", "", "", "0", true, true, ""},
  };
  for (const Case& c : cases) {
    ServersDialog d(f.env);
    ServersFields fields = d.fields();
    fields.certFile = c.cert;
    fields.keyFile = c.key;
    fields.pop3TlsPort = c.pop3s;
    fields.smtpTlsPort = c.smtps;
    fields.ehlo = c.ehlo;
    const std::size_t shown = f.prompt.shown.size();
    EXPECT_EQ(d.ok(fields), c.saved) << c.cert << " " << c.key;
    if (!c.saved) {
      ASSERT_EQ(f.prompt.shown.size(), shown + 1);
      EXPECT_TRUE(f.prompt.shown.back().text.starts_with(c.message)) << f.prompt.shown.back().text;
      continue;
    }
    const config::Configuration saved = f.saved();
    EXPECT_EQ(saved.TLS_CERT_FILE, c.cert.empty() ? "" : pair.cert);
    EXPECT_EQ(saved.POP3_SRV_TLS_PORT, c.pop3s.empty() ? 0 : std::stoi(c.pop3s));
    EXPECT_EQ(saved.SMTP_SRV_TLS_PORT, std::stoi(c.smtps));
    EXPECT_EQ(saved.SMTP_EHLO, c.ehlo);
    EXPECT_EQ(ServersDialog(f.env).fields().certFile, saved.TLS_CERT_FILE) << "shown again as saved";
  }
}

// Sessions, listening addresses, relay networks, AUTH and the lock-out limit: saved when they
// can be used, refused with a message when not.
TEST(ServersDialog, AccessSettings) {
  DialogFixture f;
  const struct Case {
    std::string sessions, listen, relay, failLimit;
    int auth;
    const char* message;  // the start of the refusal, or nullptr when saved
  } cases[] = {
      {"50", "192.168.1.1, ::1", "192.168.1.0/24", "0", 2, nullptr},
      {"1", "", "", "1000", 1, nullptr},
      {"0", "*", "10.0.0.0/8", "10", 0, "Клиентов одновременно"},
      {"501", "*", "10.0.0.0/8", "10", 0, "Клиентов одновременно"},
      {"20", "*", "10.0.0.0/8", "1001", 0, "Неудачных входов"},
      {"20", "office.ru", "10.0.0.0/8", "10", 0, "Адреса для соединений: \"office.ru\""},
      {"20", "*", "10.0.0.0/33", "10", 0, "Сети для отправки наружу"},
  };
  for (const Case& c : cases) {
    ServersDialog d(f.env);
    ServersFields fields = d.fields();
    fields.maxSessions = c.sessions;
    fields.listenAddresses = c.listen;
    fields.relayNetworks = c.relay;
    fields.authFailLimit = c.failLimit;
    fields.smtpAuth = c.auth;
    const std::size_t shown = f.prompt.shown.size();
    EXPECT_EQ(d.ok(fields), c.message == nullptr) << c.sessions << " " << c.listen << " " << c.relay;
    if (c.message) {
      ASSERT_EQ(f.prompt.shown.size(), shown + 1);
      EXPECT_TRUE(f.prompt.shown.back().text.starts_with(c.message)) << f.prompt.shown.back().text;
      continue;
    }
    const config::Configuration saved = f.saved();
    EXPECT_EQ(saved.MAX_SESSIONS, std::stoi(c.sessions));
    EXPECT_EQ(saved.LISTEN_ADDRESSES, c.listen.empty() ? "*" : "192.168.1.1,::1");
    EXPECT_EQ(saved.RELAY_NETWORKS, c.relay);
    EXPECT_EQ(saved.AUTH_FAIL_LIMIT, std::stoi(c.failLimit));
    EXPECT_EQ(static_cast<int>(saved.SMTP_SRV_AUTH), c.auth);
    EXPECT_EQ(ServersDialog(f.env).fields(), d.fields()) << "shown again as saved";
  }
}

// A user left without a password is told about (it logs in only from this computer), the
// daemon aside, which never logs in.
TEST(ServersDialog, AUserLeftWithoutAPasswordIsToldAbout) {
  DialogFixture f;
  ServersDialog d(f.env);
  d.add({"olga", "", ""});
  d.add({"vera", "ve", ""});
  d.edit(kPetr, {"petr", "", ""});
  d.edit(kDaemon, {"daemon", "", "robot@provider.ru"});
  std::vector<std::string> texts;
  for (const Message& m : f.prompt.shown) {
    EXPECT_EQ(m.icon, Icon::kWarning);
    texts.push_back(m.text);
  }
  EXPECT_EQ(texts, (std::vector<std::string>{
                       "У пользователя \"olga\" нет пароля: забирать почту он сможет только с этого компьютера.",
                       "У пользователя \"petr\" нет пароля: забирать почту он сможет только с этого компьютера."}));
}

// The clear-text box shows PLAINTEXT_LOGIN as it applies; left as shown, the setting keeps
// following the certificate; changed (or given on the command line) it is kept, and a choice
// equal to the new default is the default again.
TEST(ServersDialog, PlaintextLoginFollowsTheCertificateUntilChosen) {
  using config::PlaintextLogin;
  const struct Case {
    const char* what;
    bool certBefore, certAfter;
    PlaintextLogin stored;
    int choice;  // -1: as shown
    bool chosen;
    int shown;
    PlaintextLogin storedAfter;
  } cases[] = {
      {"left alone, a certificate added", false, true, PlaintextLogin::kDefault, -1, false, 0, PlaintextLogin::kDefault},
      {"left alone, the certificate removed", true, false, PlaintextLogin::kDefault, -1, false, 1, PlaintextLogin::kDefault},
      {"NO with a certificate", true, true, PlaintextLogin::kDefault, 2, false, 1, PlaintextLogin::kNo},
      {"YES with a certificate", true, true, PlaintextLogin::kDefault, 0, false, 1, PlaintextLogin::kYes},
      {"YES chosen again without one", false, false, PlaintextLogin::kDefault, 0, true, 0, PlaintextLogin::kDefault},
      {"YES chosen as the certificate comes", false, true, PlaintextLogin::kDefault, 0, true, 0, PlaintextLogin::kYes},
      {"an explicit NO shown and kept", false, true, PlaintextLogin::kNo, -1, false, 2, PlaintextLogin::kNo},
  };
  for (const Case& c : cases) {
    DialogFixture f;
    const quelma::testing::FixedRsaPair pair(f.dir.path());
    const std::string cert = pair.cert, key = pair.key;
    config::Configuration start = *f.store.current();
    start.TLS_CERT_FILE = c.certBefore ? cert : "";
    start.TLS_KEY_FILE = c.certBefore ? key : "";
    start.PLAINTEXT_LOGIN = c.stored;
    config::SaveConfiguration(f.dir.path(), start);
    f.store.publish(start);
    ServersDialog d(f.env);
    ServersFields fields = d.fields();
    EXPECT_EQ(fields.plaintextLogin, c.shown) << c.what;
    fields.certFile = c.certAfter ? cert : "";
    fields.keyFile = c.certAfter ? key : "";
    if (c.choice >= 0) fields.plaintextLogin = c.choice;
    fields.plaintextLoginChosen = c.chosen;
    ASSERT_TRUE(d.ok(fields)) << c.what;
    EXPECT_EQ(f.saved().PLAINTEXT_LOGIN, c.storedAfter) << c.what;
  }
}

}  // namespace
}  // namespace quelma::dialogs
