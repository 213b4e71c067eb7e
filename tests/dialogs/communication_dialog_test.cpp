// The communication dialog with its account, login and phone dialogs.
#include "dialogs/communication_dialog.h"
#include "dialogs/dialog_text.h"
#include "dialogs/provider_login.h"

#include <gtest/gtest.h>

#include "dialogs/dialog_fixture.h"
#include "support/fake_remote_access.h"

namespace quelma::dialogs {
namespace {

using quelma::testing::FakeRemoteAccess;

struct Communication : DialogFixture {
  FakeRemoteAccess access;
  void accounts(std::vector<config::ProviderAccount> list) {
    config::Configuration c = *store.current();
    c.accounts = std::move(list);
    store.publish(c);
  }
  void dialUp(bool useLan, std::vector<std::string> phones = {}) {
    config::Configuration c = *store.current();
    c.UseLAN = useLan;
    c.DialUpRecord = "Provider";
    c.DialupAutoOff = true;
    c.DialupAttempts = 7;
    for (std::size_t i = 0; i < phones.size(); ++i) c.DialupPhoneNumber[i] = phones[i];
    store.publish(c);
  }
};

TEST(CommunicationDialog, NetworkModeOkEmptiesTheDialUpChoiceButKeepsTheAttempts) {
  Communication f;
  f.dialUp(true);
  CommunicationDialog d(f.env, f.access);
  EXPECT_FALSE(d.dialUp().enabled);
  d.ok(d.fields());
  const config::Configuration saved = f.saved();
  EXPECT_TRUE(saved.UseLAN);
  EXPECT_EQ(saved.DialUpRecord, "");
  EXPECT_FALSE(saved.DialupAutoOff);
  EXPECT_EQ(saved.DialupAttempts, 7);
}

TEST(CommunicationDialog, TheLanBoxAndThePhonebook) {
  Communication f;
  f.dialUp(true, {"111", "222"});
  f.access.entries = {"Other", "Provider", "provider"};
  CommunicationDialog d(f.env, f.access);
  d.toggleLan();
  EXPECT_FALSE(d.useLan());
  EXPECT_EQ(d.dialUp(), (DialUpGroup{true, {"Other", "Provider", "provider"}, 1, true, {"111", "222"}}))
      << "the entry equal to DialUpRecord, case counting";
  d.toggleLan();
  EXPECT_TRUE(d.useLan());
  EXPECT_FALSE(d.dialUp().enabled);

  Communication none;
  none.dialUp(false);
  none.access.entries.clear();
  CommunicationDialog noEntries(none.env, none.access);
  EXPECT_TRUE(noEntries.useLan()) << "without entries the dialog stays in network mode";
  noEntries.toggleLan();
  EXPECT_TRUE(noEntries.useLan());
}

TEST(CommunicationDialog, OkReplacesWhatIsOutOfRange) {
  struct Case {
    const char* port;
    const char* server;
    const char* attempts;
    std::uint16_t savedPort;
    const char* savedServer;
    std::int32_t savedAttempts;
  };
  const Case cases[] = {
      {"2525", " smtp.provider.ru ", "3", 2525, "smtp.provider.ru", 3},
      {"0", "", "0", 25, "127.0.0.1", 1},
      {"30001", "   ", "11", 25, "127.0.0.1", 10},
      {"", "mail", "", 25, "mail", 1},  // no number keeps the attempts as they were
      {"30000", "mail", "10", 30000, "mail", 10},
  };
  for (const Case& c : cases) {
    Communication f;
    CommunicationDialog d(f.env, f.access);
    CommunicationFields fields = d.fields();
    fields.smtpPort = c.port;
    fields.smtpServer = c.server;
    fields.attempts = c.attempts;
    d.ok(fields);
    const config::Configuration saved = f.saved();
    EXPECT_EQ(saved.SMTPSport, c.savedPort) << c.port;
    EXPECT_EQ(saved.SMTPServer, c.savedServer) << c.server;
    EXPECT_EQ(saved.DialupAttempts, c.savedAttempts) << c.attempts;
  }
}

TEST(CommunicationDialog, AccountListLimitsAndDeletion) {
  Communication f;
  CommunicationDialog one(f.env, f.access);
  one.deleteAccount(0);
  ASSERT_EQ(f.prompt.shown.size(), 1u);
  EXPECT_EQ(f.prompt.shown[0], (Message{"Нельзя удалять последнюю учетную запись.", "Ошибка", Buttons::kOk, Icon::kError}));
  EXPECT_EQ(one.accounts().size(), 1u);
  EXPECT_EQ(one.accounts()[0], (AccountRow{"pop.provider.ru", "office", "******", "110", "(СОРТИРОВЩИК)"}));

  Communication three;
  three.accounts({{"a", "1", "x", 110, "ivan", 0, {}, {}, {}, {}}, {"b", "2", "x", 110, "*", 0, {}, {}, {}, {}}, {"c", "3", "x", 995, "petr", 1, {}, {}, {}, {}}});
  CommunicationDialog d(three.env, three.access);
  three.prompt.answers = {false};
  d.deleteAccount(1);
  EXPECT_EQ(d.accounts().size(), 3u) << "No keeps it";
  d.deleteAccount(1);
  EXPECT_EQ(three.prompt.shown.back(), (Message{"Вы действительно хотите удалить эту учетную запись?", "Удаление",
                                                Buttons::kYesNo, Icon::kQuestion}));
  ASSERT_EQ(three.store.current()->accounts.size(), 2u);
  EXPECT_EQ(three.store.current()->accounts[1], (config::ProviderAccount{"c", "3", "x", 995, "petr", 1, {}, {}, {}, {}}))
      << "the account behind keeps all its fields";

  Communication full;
  full.accounts(std::vector<config::ProviderAccount>(25, {"s", "l", "p", 110, "*", 0, {}, {}, {}, {}}));
  CommunicationDialog d25(full.env, full.access);
  EXPECT_FALSE(d25.mayAddAccount());
  EXPECT_EQ(full.prompt.shown.back().text, "Достигнуто максимальное количество учетных записей POP3 клиента.");
}

TEST(CommunicationDialog, AccountDialog) {
  Communication f;
  f.accounts({{"a", "1", "x", 110, "IV", 0, {}, {}, {}, {}}, {"b", "2", "x", 110, "gone", 0, {}, {}, {}, {}}});
  CommunicationDialog outer(f.env, f.access);
  AccountDialog existing(outer.working(), 0);
  EXPECT_EQ(existing.deliveryChoices(), (std::vector<std::string>{"* Сортировщик", "postmaster", "ivan", "petr"}))
      << "the sorter first, never the daemon";
  EXPECT_EQ(existing.opening(), (AccountFields{"a", "1", "x", "x", "110", false, 2, 0, "", 0, ""})) << "the first that begins so";
  EXPECT_EQ(AccountDialog(outer.working(), 1).opening().delivery, -1);

  struct Case {
    AccountFields fields;
    std::optional<config::ProviderAccount> stored;  // nothing: refused with the question
  };
  const Case cases[] = {
      {{" pop . x ", "me", "pw", "pw", "", true, 3, 0, "", 0, ""}, config::ProviderAccount{"pop.x", "me", "pw", 110, "petr", 1, {}, {}, {}, {}}},
      {{"pop", "me", "pw", "pw", "30001", false, 0, 0, "", 0, ""}, config::ProviderAccount{"pop", "me", "pw", 110, "*", 0, {}, {}, {}, {}}},
      {{"pop", "me", "pw", "pw", "995", false, -1, 0, "", 0, ""}, config::ProviderAccount{"pop", "me", "pw", 995, "*", 0, {}, {}, {}, {}}},
      {{"pop", "me", "pw", "PW", "110", false, 0, 0, "", 0, ""}, std::nullopt},
      {{"", "me", "pw", "pw", "110", false, 0, 0, "", 0, ""}, std::nullopt},
      {{"pop", "  ", "pw", "pw", "110", false, 0, 0, "", 0, ""}, std::nullopt},
  };
  for (const Case& c : cases) {
    Communication g;
    CommunicationDialog d(g.env, g.access);
    AccountDialog added(d.working(), -1);
    EXPECT_EQ(added.opening(), (AccountFields{"", "", "", "", "110", false, 0, 0, "", 0, ""}));
    g.prompt.answers = {true};
    const InnerOutcome outcome = added.ok(c.fields, g.prompt);
    const auto& accounts = g.store.current()->accounts;
    if (c.stored) {
      EXPECT_EQ(outcome, InnerOutcome::kAccepted);
      ASSERT_EQ(accounts.size(), 2u);
      EXPECT_EQ(accounts[1], *c.stored) << c.fields.server;
    } else {
      EXPECT_EQ(outcome, InnerOutcome::kEditAgain) << "Yes returns to the form";
      EXPECT_EQ(g.prompt.shown.back(), MissingParametersQuestion(Icon::kError));
      EXPECT_EQ(accounts.size(), 1u);
    }
  }
}

// The TLS choice and the fingerprint: kept when an account is edited, the port following the
// choice, a fingerprint that is not one refused with a message.
TEST(CommunicationDialog, TlsOfAnAccountAndOfTheSmtpServer) {
  const std::string pin(64, 'A');
  Communication f;
  f.accounts({{"pop.gmail.com", "me", "pw", 995, "*", 0, config::TlsMode::kImplicit, pin, {}, {}}});
  CommunicationDialog d(f.env, f.access);
  AccountDialog edited(d.working(), 0);
  AccountFields fields = edited.opening();
  EXPECT_EQ(fields.tls, 2);
  EXPECT_EQ(fields.fingerprint, pin);
  fields.password = fields.repeat = "new";
  EXPECT_EQ(edited.ok(fields, f.prompt), InnerOutcome::kAccepted);
  EXPECT_EQ(f.store.current()->accounts[0], (config::ProviderAccount{"pop.gmail.com", "me", "new", 995, "*", 0,
                                                                     config::TlsMode::kImplicit, pin, {}, {}}))
      << "editing the password keeps TLS and the pin";
  fields.fingerprint = "ab:cd";
  EXPECT_EQ(edited.ok(fields, f.prompt), InnerOutcome::kEditAgain);
  EXPECT_EQ(f.prompt.shown.back().icon, Icon::kError);
  fields.fingerprint = std::string(32, 'b') + ":" + std::string(32, 'c');
  fields.tls = 1;
  EXPECT_EQ(edited.ok(fields, f.prompt), InnerOutcome::kAccepted);
  EXPECT_EQ(f.store.current()->accounts[0].tls, config::TlsMode::kStartTls);
  EXPECT_EQ(f.store.current()->accounts[0].fingerprint, std::string(32, 'B') + std::string(32, 'C'));

  CommunicationFields smtp = d.fields();
  EXPECT_EQ(smtp.smtpTls, 0);
  smtp.smtpTls = 2;
  smtp.smtpPort = PortAfterTlsChoice(smtp.smtpPort, 0, 2, kSmtpUsualPorts);
  smtp.caFile = " /etc/ssl/office-ca.pem";
  smtp.smtpFingerprint = "not a fingerprint";
  EXPECT_FALSE(d.ok(smtp));
  smtp.smtpFingerprint = "";
  EXPECT_TRUE(d.ok(smtp));
  EXPECT_EQ(f.saved().SMTP_TLS, config::TlsMode::kImplicit);
  EXPECT_EQ(f.saved().SMTPSport, 465);
  EXPECT_EQ(f.saved().TLS_CA_FILE, "/etc/ssl/office-ca.pem");
}

TEST(CommunicationDialog, ThePortFollowsTheTlsChoiceUnlessItWasChanged) {
  const struct Case {
    const char* port;
    int from, to;
    const std::uint16_t (&usual)[3];
    const char* after;
  } cases[] = {
      {"110", 0, 2, kAccountUsualPorts, "995"}, {"995", 2, 1, kAccountUsualPorts, "110"},
      {"110", 0, 1, kAccountUsualPorts, "110"}, {"1110", 0, 2, kAccountUsualPorts, "1110"},
      {"", 1, 2, kAccountUsualPorts, "995"},    {"25", 0, 1, kSmtpUsualPorts, "587"},
      {"587", 1, 2, kSmtpUsualPorts, "465"},    {"465", 2, 0, kSmtpUsualPorts, "25"},
      {"2525", 0, 2, kSmtpUsualPorts, "2525"},  {"25", 0, 7, kSmtpUsualPorts, "25"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PortAfterTlsChoice(c.port, c.from, c.to, c.usual), c.after) << c.port << " " << c.from << "->" << c.to;
  }
}

TEST(CommunicationDialog, SmtpLogin) {
  Communication f;
  CommunicationDialog d(f.env, f.access);
  const SmtpServerFields server{"smtp.provider.ru", "25", 0, ""};
  EXPECT_EQ(AcceptSmtpLogin(d.working(), {"office", "pw 1", "pw 1", true, 0, ""}, server, f.prompt), InnerOutcome::kAccepted);
  EXPECT_EQ(SmtpLoginOpening(*f.store.current()), (SmtpLoginFields{"office", "pw 1", "pw 1", true, 0, ""})) << "blanks kept";
  f.prompt.answers = {false};
  EXPECT_EQ(AcceptSmtpLogin(d.working(), {"office", "a", "b", true, 0, ""}, server, f.prompt), InnerOutcome::kCancelled);
  EXPECT_EQ(AcceptSmtpLogin(d.working(), {"", "a", "a", true, 0, ""}, server, f.prompt), InnerOutcome::kEditAgain);
  EXPECT_EQ(f.store.current()->SMTP_LOGIN_PASS, "pw 1") << "refused input changes nothing";
  EXPECT_EQ(AcceptSmtpLogin(d.working(), {"ignored", "x", "y", false, 0, ""}, server, f.prompt), InnerOutcome::kAccepted);
  EXPECT_EQ(SmtpLoginOpening(*f.store.current()), (SmtpLoginFields{"", "", "", false, 0, ""})) << "the box clear erases both";
}

// Each provider choice as the account and SMTP login dialogs fill it: server, port, TLS and
// login method from the preset; the login, password and delivery as the user typed them.
TEST(CommunicationDialog, ProviderChoiceFillsTheServerAndKeepsTheLogin) {
  const struct Case {
    const char* title;
    const char* pop3;
    const char* pop3Port;
    int pop3Tls;
    const char* smtp;
    const char* smtpPort;
    int smtpTls;
    int auth;
    const char* platform;
  } cases[] = {
      {"Gmail", "pop.gmail.com", "995", 2, "smtp.gmail.com", "465", 2, 1, "google"},
      {"Microsoft 365 / Outlook.com", "outlook.office365.com", "995", 2, "smtp.office365.com", "587", 1, 1, "microsoft"},
      {"Yandex", "pop.yandex.ru", "995", 2, "smtp.yandex.ru", "465", 2, 0, ""},
      {"Mail.ru", "pop.mail.ru", "995", 2, "smtp.mail.ru", "465", 2, 0, ""},
  };
  ASSERT_EQ(ProviderChoices().size(), std::size(cases) + 1);
  EXPECT_EQ(ProviderChoices()[0], "Другой");
  const std::string pin(64, 'A');
  for (int choice = 1; choice <= static_cast<int>(std::size(cases)); ++choice) {
    const Case& c = cases[choice - 1];
    EXPECT_EQ(ProviderChoices()[choice], c.title);
    EXPECT_FALSE(ProviderNote(choice).empty()) << c.title;

    AccountFields account{"pop.old.ru", "me@x.ru", "pw", "pw", "110", true, 2, 0, pin, 2, "office"};
    AccountDialog::ApplyProvider(choice, account);
    EXPECT_EQ(account, (AccountFields{c.pop3, "me@x.ru", "pw", "pw", c.pop3Port, false, 2, c.pop3Tls, "", c.auth, c.platform}))
        << c.title << ": APOP and the pin belong to the old server";
    EXPECT_EQ(Pop3ProviderChoice(account.server), choice) << "the dialog opens on the preset again";

    Communication f;
    CommunicationDialog d(f.env, f.access);
    AccountDialog added(d.working(), -1);
    account.password = account.repeat = "";
    EXPECT_EQ(added.ok(account, f.prompt), InnerOutcome::kAccepted) << c.title << ": no password needed";
    EXPECT_TRUE(f.prompt.shown.empty()) << c.title;

    SmtpServerFields server{"smtp.old.ru", "25", 0, pin};
    SmtpLoginFields login{"me@x.ru", "pw", "pw", false, 2, "office"};
    ApplySmtpProvider(choice, server, login);
    EXPECT_EQ(server, (SmtpServerFields{c.smtp, c.smtpPort, c.smtpTls, ""})) << c.title;
    EXPECT_EQ(login, (SmtpLoginFields{"me@x.ru", "pw", "pw", true, c.auth, c.platform})) << c.title;
    EXPECT_EQ(SmtpProviderChoice(server.server), choice);
    EXPECT_EQ(AcceptSmtpLogin(d.working(), login, server, f.prompt), InnerOutcome::kAccepted) << c.title;
  }

  AccountFields other{"pop.old.ru", "me", "pw", "pw", "1110", true, 0, 1, pin, 0, ""};
  const AccountFields before = other;
  AccountDialog::ApplyProvider(0, other);
  EXPECT_EQ(other, before) << "\"Другой\" changes nothing";
  EXPECT_EQ(Pop3ProviderChoice("pop.old.ru"), 0);
  EXPECT_EQ(ProviderNote(0), "");
}

// What OK does with the login method: OAuth only over TLS and with a platform that is known
// or can be told from the server; the password not required then; APOP only for passwords.
TEST(CommunicationDialog, AccountLoginMethod) {
  const struct Case {
    AccountFields fields;
    std::optional<config::ProviderAccount> stored;  // nothing: refused with an error message
    const char* message;                            // part of it
  } cases[] = {
      {{"pop.gmail.com", "me", "", "", "995", false, 0, 2, "", 1, ""},
       config::ProviderAccount{"pop.gmail.com", "me", "", 995, "*", 0, config::TlsMode::kImplicit, "",
                               config::OauthMechanism::kXoauth2, ""},
       ""},
      {{"pop.gmail.com", "me", "", "", "110", false, 0, 0, "", 1, "google"}, std::nullopt, "STLS или SSL/TLS"},
      {{"mail.office.ru", "me", "", "", "995", false, 0, 2, "", 2, ""}, std::nullopt, "mail.office.ru"},
      {{"mail.office.ru", "me", "", "", "110", true, 0, 1, "", 2, " Office "},
       config::ProviderAccount{"mail.office.ru", "me", "", 110, "*", 0, config::TlsMode::kStartTls, "",
                               config::OauthMechanism::kOauthBearer, "office"},
       ""},
      {{"mail.office.ru", "me", "", "", "995", false, 0, 2, "", 1, "my office"}, std::nullopt, "латинских букв"},
      {{"pop.provider.ru", "me", "", "", "110", true, 0, 0, "", 0, "google"},
       config::ProviderAccount{"pop.provider.ru", "me", "", 110, "*", 1, config::TlsMode::kNone, "",
                               config::OauthMechanism::kNone, ""},
       ""},
  };
  for (const Case& c : cases) {
    Communication f;
    CommunicationDialog d(f.env, f.access);
    AccountDialog added(d.working(), -1);
    const InnerOutcome outcome = added.ok(c.fields, f.prompt);
    const auto& accounts = f.store.current()->accounts;
    if (c.stored) {
      EXPECT_EQ(outcome, InnerOutcome::kAccepted) << c.fields.server << " " << c.fields.oauth;
      ASSERT_EQ(accounts.size(), 2u);
      EXPECT_EQ(accounts[1], *c.stored) << c.fields.server << " " << c.fields.oauth;
    } else {
      EXPECT_EQ(outcome, InnerOutcome::kEditAgain) << c.fields.server << " " << c.fields.oauth;
      ASSERT_EQ(f.prompt.shown.size(), 1u);
      EXPECT_EQ(f.prompt.shown[0].icon, Icon::kError);
      EXPECT_NE(f.prompt.shown[0].text.find(c.message), std::string::npos) << f.prompt.shown[0].text;
      EXPECT_EQ(accounts.size(), 1u);
    }
  }

  Communication g;
  CommunicationDialog d(g.env, g.access);
  AccountDialog added(d.working(), -1);
  EXPECT_EQ(added.ok({"pop.gmail.com", "me", "a", "b", "995", false, 0, 2, "", 1, ""}, g.prompt), InnerOutcome::kEditAgain);
  EXPECT_EQ(g.prompt.shown.back(), MissingParametersQuestion(Icon::kError)) << "a password typed twice must still agree";
}

TEST(CommunicationDialog, SmtpOauthNeedsTls) {
  Communication f;
  CommunicationDialog d(f.env, f.access);
  const SmtpLoginFields oauth{"me@gmail.com", "", "", true, 1, ""};
  EXPECT_EQ(AcceptSmtpLogin(d.working(), oauth, {"smtp.gmail.com", "25", 0, ""}, f.prompt), InnerOutcome::kEditAgain);
  EXPECT_NE(f.prompt.shown.back().text.find("STARTTLS"), std::string::npos);
  EXPECT_EQ(AcceptSmtpLogin(d.working(), oauth, {"smtp.office.ru", "465", 2, ""}, f.prompt), InnerOutcome::kEditAgain)
      << "no platform named, none known for the server";
  EXPECT_EQ(f.store.current()->SMTP_AUTH, config::OauthMechanism::kNone) << "refused input changes nothing";
  EXPECT_EQ(AcceptSmtpLogin(d.working(), oauth, {"smtp.gmail.com", "465", 2, ""}, f.prompt), InnerOutcome::kAccepted);
  EXPECT_EQ(f.store.current()->SMTP_AUTH, config::OauthMechanism::kXoauth2);

  // TLS turned off in the communication dialog afterwards: its OK refuses and saves nothing.
  CommunicationFields fields = d.fields();
  fields.smtpServer = "smtp.gmail.com";
  fields.smtpTls = 0;
  const std::size_t shown = f.prompt.shown.size();
  EXPECT_FALSE(d.ok(fields));
  ASSERT_EQ(f.prompt.shown.size(), shown + 1);
  EXPECT_NE(f.prompt.shown.back().text.find("STARTTLS"), std::string::npos);
  EXPECT_EQ(f.saved().SMTP_AUTH, config::OauthMechanism::kNone);
  fields.smtpTls = 2;
  EXPECT_TRUE(d.ok(fields));

  EXPECT_EQ(AcceptSmtpLogin(d.working(), {"", "", "", false, 1, "google"}, {"smtp.gmail.com", "465", 2, ""}, f.prompt),
            InnerOutcome::kAccepted);
  EXPECT_EQ(f.store.current()->SMTP_AUTH, config::OauthMechanism::kNone) << "no login, no token either";
  EXPECT_EQ(f.store.current()->SMTP_OAUTH, "");
}

// The login methods through quelma.cfg: written by OK, read back, shown again by the dialogs.
TEST(CommunicationDialog, LoginMethodsSurviveTheFile) {
  Communication f;
  {
    CommunicationDialog d(f.env, f.access);
    AccountDialog edited(d.working(), 0);
    AccountFields account = edited.opening();
    account.tls = 2;
    account.port = "995";
    account.auth = 2;
    account.oauth = "microsoft";
    account.password = account.repeat = "";
    ASSERT_EQ(edited.ok(account, f.prompt), InnerOutcome::kAccepted);
    const SmtpServerFields server{"smtp.gmail.com", "465", 2, ""};
    ASSERT_EQ(AcceptSmtpLogin(d.working(), {"office@gmail.com", "", "", true, 1, "google"}, server, f.prompt),
              InnerOutcome::kAccepted);
    CommunicationFields fields = d.fields();
    fields.smtpServer = server.server;
    fields.smtpPort = server.port;
    fields.smtpTls = server.tls;
    ASSERT_TRUE(d.ok(fields));
    EXPECT_EQ(d.accounts()[0].password, "OAuth") << "the list shows how the account logs in";
  }
  const config::Configuration saved = f.saved();
  EXPECT_EQ(saved.accounts[0], (config::ProviderAccount{"pop.provider.ru", "office", "", 995, "*", 0,
                                                        config::TlsMode::kImplicit, "", config::OauthMechanism::kOauthBearer,
                                                        "microsoft"}));
  EXPECT_EQ(saved.SMTP_AUTH, config::OauthMechanism::kXoauth2);
  EXPECT_EQ(saved.SMTP_OAUTH, "google");
  EXPECT_TRUE(saved.SMTP_USES_LOGIN);

  f.store.publish(saved);
  CommunicationDialog again(f.env, f.access);
  const AccountFields shown = AccountDialog(again.working(), 0).opening();
  EXPECT_EQ(shown.auth, 2);
  EXPECT_EQ(shown.oauth, "microsoft");
  EXPECT_EQ(SmtpLoginOpening(again.working().get()), (SmtpLoginFields{"office@gmail.com", "", "", true, 1, "google"}));
}

// Mail left at the provider: the account's keep and size as the dialog and the list show them.
TEST(CommunicationDialog, KeepAndMaxSizeAreShown) {
  const struct Case {
    std::int32_t keepDays;
    std::uint32_t maxSizeKb;
    const char* keep;
    bool forever;
    const char* maxSize;
    const char* column;
  } cases[] = {
      {0, 0, "", false, "", ""},
      {14, 2048, "14", false, "2048", "14 дн."},
      {config::kKeepForever, 0, "", true, "", "всегда"},
      {config::kMaxKeepDays, config::kMaxSizeKb, "3650", false, "4194303", "3650 дн."},
  };
  for (const Case& c : cases) {
    Communication f;
    config::ProviderAccount a{"pop.provider.ru", "office", "secret", 110, "*", 0, {}, {}, {}, {}};
    a.keepDays = c.keepDays;
    a.maxSizeKb = c.maxSizeKb;
    f.accounts({a});
    CommunicationDialog d(f.env, f.access);
    EXPECT_EQ(d.accounts()[0].keep, c.column) << c.keepDays;
    const AccountFields shown = AccountDialog(d.working(), 0).opening();
    EXPECT_EQ(shown.keep, c.keep) << c.keepDays;
    EXPECT_EQ(shown.keepForever, c.forever) << c.keepDays;
    EXPECT_EQ(shown.maxSize, c.maxSize) << c.maxSizeKb;
  }
  Communication f;
  CommunicationDialog d(f.env, f.access);
  const AccountFields added = AccountDialog(d.working(), -1).opening();
  EXPECT_EQ(added.keep, "");
  EXPECT_FALSE(added.keepForever);
  EXPECT_EQ(added.maxSize, "") << "a new account deletes at once and takes every size";
}

// OK takes the keep and size fields, or refuses them with a message and changes nothing.
TEST(CommunicationDialog, KeepAndMaxSizeOk) {
  const std::string keepMessage = "число дней от 0 до 3650";
  const std::string sizeMessage = "число килобайт от 0 до 4194303";
  const struct Case {
    const char* keep;
    bool forever;
    const char* maxSize;
    std::int32_t keepDays;  // stored, when accepted
    std::uint32_t maxSizeKb;
    const std::string* refusal;  // part of the message; nullptr: accepted
  } cases[] = {
      {"", false, "", 0, 0, nullptr},
      {" 0 ", false, "0", 0, 0, nullptr},
      {"14", false, "", 14, 0, nullptr},
      {"0030", false, "1 024", 30, 1024, nullptr},
      {"3650", false, "4194303", 3650, 4194303, nullptr},
      {"", true, "500", config::kKeepForever, 500, nullptr},
      {"12x", true, "", config::kKeepForever, 0, nullptr},  // the days field is disabled then
      {"3651", false, "", 0, 0, &keepMessage},
      {"9999", false, "", 0, 0, &keepMessage},
      {"-1", false, "", 0, 0, &keepMessage},
      {"1.5", false, "", 0, 0, &keepMessage},
      {"всегда", false, "", 0, 0, &keepMessage},
      {"7", false, "4194304", 0, 0, &sizeMessage},
      {"7", false, "99999999999999999999", 0, 0, &sizeMessage},
      {"7", false, "10M", 0, 0, &sizeMessage},
  };
  for (const Case& c : cases) {
    Communication f;
    config::ProviderAccount before{"pop.provider.ru", "office", "secret", 110, "*", 0, {}, {}, {}, {}};
    before.keepDays = 7;
    before.maxSizeKb = 100;
    f.accounts({before});
    CommunicationDialog d(f.env, f.access);
    AccountDialog edited(d.working(), 0);
    AccountFields fields = edited.opening();
    fields.keep = c.keep;
    fields.keepForever = c.forever;
    fields.maxSize = c.maxSize;
    const InnerOutcome outcome = edited.ok(fields, f.prompt);
    const config::ProviderAccount& after = f.store.current()->accounts[0];
    if (!c.refusal) {
      EXPECT_EQ(outcome, InnerOutcome::kAccepted) << c.keep << " " << c.maxSize;
      EXPECT_TRUE(f.prompt.shown.empty()) << c.keep << " " << c.maxSize;
      EXPECT_EQ(after.keepDays, c.keepDays) << c.keep;
      EXPECT_EQ(after.maxSizeKb, c.maxSizeKb) << c.maxSize;
    } else {
      EXPECT_EQ(outcome, InnerOutcome::kEditAgain) << c.keep << " " << c.maxSize;
      ASSERT_EQ(f.prompt.shown.size(), 1u) << c.keep << " " << c.maxSize;
      EXPECT_EQ(f.prompt.shown[0].caption, "Ошибка");
      EXPECT_EQ(f.prompt.shown[0].buttons, Buttons::kOk);
      EXPECT_EQ(f.prompt.shown[0].icon, Icon::kError);
      EXPECT_NE(f.prompt.shown[0].text.find(*c.refusal), std::string::npos) << f.prompt.shown[0].text;
      EXPECT_EQ(after, before) << "refused input changes nothing: " << c.keep << " " << c.maxSize;
    }
  }

  Communication g;
  CommunicationDialog d(g.env, g.access);
  AccountDialog added(d.working(), -1);
  AccountFields fields{"pop.x", "me", "pw", "pw", "110", false, 0, 0, "", 0, ""};
  fields.keep = "5000";
  EXPECT_EQ(added.ok(fields, g.prompt), InnerOutcome::kEditAgain);
  EXPECT_EQ(g.store.current()->accounts.size(), 1u) << "a refused new account is not added";
}

// The keep and size fields through quelma.cfg and back into the dialog; a provider choice
// leaves them as typed.
TEST(CommunicationDialog, KeepAndMaxSizeSurviveTheFile) {
  const struct {
    const char* keep;
    bool forever;
    const char* maxSize;
    std::int32_t keepDays;
    std::uint32_t maxSizeKb;
  } cases[] = {{"30", false, "5000", 30, 5000}, {"", true, "", config::kKeepForever, 0}, {"", false, "", 0, 0}};
  for (const auto& c : cases) {
    Communication f;
    {
      config::ProviderAccount kept{"pop.provider.ru", "office", "secret", 110, "*", 0, {}, {}, {}, {}};
      kept.keepDays = 9;
      kept.maxSizeKb = 9;
      f.accounts({kept});
      CommunicationDialog d(f.env, f.access);
      AccountDialog edited(d.working(), 0);
      AccountFields fields = edited.opening();
      fields.keep = c.keep;
      fields.keepForever = c.forever;
      fields.maxSize = c.maxSize;
      AccountDialog::ApplyProvider(3, fields);  // Yandex: server, port and TLS only
      EXPECT_EQ(fields.keep, c.keep);
      EXPECT_EQ(fields.keepForever, c.forever);
      EXPECT_EQ(fields.maxSize, c.maxSize);
      ASSERT_EQ(edited.ok(fields, f.prompt), InnerOutcome::kAccepted);
      ASSERT_TRUE(d.ok(d.fields()));
    }
    const config::Configuration saved = f.saved();
    EXPECT_EQ(saved.accounts[0].keepDays, c.keepDays) << c.keep;
    EXPECT_EQ(saved.accounts[0].maxSizeKb, c.maxSizeKb) << c.maxSize;
    f.store.publish(saved);
    CommunicationDialog again(f.env, f.access);
    const AccountFields shown = AccountDialog(again.working(), 0).opening();
    EXPECT_EQ(shown.keep, c.keep);
    EXPECT_EQ(shown.keepForever, c.forever);
    EXPECT_EQ(shown.maxSize, c.maxSize);
  }
}

// What OK stores of the IMAP fields, and what it refuses with a message (nothing stored then).
TEST(CommunicationDialog, ImapAccountOk) {
  using Folders = std::vector<std::string>;
  const struct Case {
    const char* label;
    int proto;
    const char* folders;
    int after;
    const char* moveTo;
    bool idle;
    bool keepForever;
    Folders storedFolders;  // when accepted
    const char* storedMove;
    const char* refusal;  // part of the message; nullptr: accepted
  } cases[] = {
      {"empty field is INBOX", 1, "", 0, "", false, false, {}, "", nullptr},
      {"INBOX alone is the default", 1, " inbox ", 0, "", false, false, {}, "", nullptr},
      {"names with blanks", 1, "INBOX, Работа,  Old mail ,,", 0, "", true, false, {"INBOX", "Работа", "Old mail"}, "", nullptr},
      {"a name twice once", 1, "Работа, INBOX, Работа, Inbox", 0, "", false, false, {"Работа", "INBOX"}, "", nullptr},
      {"escaped comma and percent", 1, "A%2CB, 50%25, 7%", 0, "", false, false, {"A,B", "50%", "7%"}, "", nullptr},
      {"move elsewhere", 1, "INBOX, Работа", 1, " Archive ", false, false, {"INBOX", "Работа"}, "Archive", nullptr},
      {"the move field says nothing when deleting", 1, "", 0, "INBOX", false, false, {}, "", nullptr},
      {"POP3 keeps what its disabled fields hold", 0, "Работа", 1, "INBOX", true, false, {"Работа"}, "INBOX", nullptr},
      {"POP3 does not judge them", 0, "INBOX", 1, "", false, true, {}, "", nullptr},
      {"move into a collected folder", 1, "INBOX, Работа", 1, "Работа", false, false, {}, "", "сама загружается"},
      {"move into INBOX by another case", 1, "", 1, "inbox", false, false, {}, "", "сама загружается"},
      {"move without a folder", 1, "INBOX", 1, "  ", false, false, {}, "", "Укажите папку"},
      {"move while kept for ever", 1, "INBOX", 1, "Archive", false, true, {}, "", "всегда"},
      {"too long a name", 1, "INBOX, $", 0, "", false, false, {}, "", "не длиннее 200"},
      {"too long a move folder", 1, "INBOX", 1, "$", false, false, {}, "", "не длиннее 200"},
      {"too many folders", 1, "#", 0, "", false, false, {}, "", "не больше 32"},
  };
  std::string many;
  for (int i = 0; i <= 32; ++i) many += "F" + std::to_string(i) + ",";
  for (const Case& c : cases) {
    Communication f;
    const config::ProviderAccount before = f.store.current()->accounts[0];
    CommunicationDialog d(f.env, f.access);
    AccountDialog edited(d.working(), 0);
    AccountFields fields = edited.opening();
    fields.proto = c.proto;
    fields.folders = c.folders == std::string("#") ? many : std::string(c.folders);
    if (fields.folders == "INBOX, $") fields.folders = "INBOX, " + std::string(201, 'x');
    fields.after = c.after;
    fields.moveTo = c.moveTo == std::string("$") ? std::string(201, 'x') : std::string(c.moveTo);
    fields.idle = c.idle;
    fields.keepForever = c.keepForever;
    fields.apop = true;
    const InnerOutcome outcome = edited.ok(fields, f.prompt);
    const config::ProviderAccount& after = f.store.current()->accounts[0];
    if (!c.refusal) {
      ASSERT_EQ(outcome, InnerOutcome::kAccepted) << c.label;
      EXPECT_TRUE(f.prompt.shown.empty()) << c.label;
      EXPECT_EQ(after.proto, c.proto == 1 ? config::CollectProtocol::kImap : config::CollectProtocol::kPop3) << c.label;
      EXPECT_EQ(after.folders, c.storedFolders) << c.label;
      EXPECT_EQ(after.moveTo, c.storedMove) << c.label;
      EXPECT_EQ(after.idle, c.idle) << c.label;
      EXPECT_EQ(after.useApop, c.proto == 1 ? 0u : 1u) << c.label << ": APOP is POP3's";
    } else {
      EXPECT_EQ(outcome, InnerOutcome::kEditAgain) << c.label;
      ASSERT_EQ(f.prompt.shown.size(), 1u) << c.label;
      EXPECT_EQ(f.prompt.shown[0].icon, Icon::kError) << c.label;
      EXPECT_NE(f.prompt.shown[0].text.find(c.refusal), std::string::npos) << c.label << ": " << f.prompt.shown[0].text;
      EXPECT_EQ(after, before) << c.label << ": refused input changes nothing";
    }
  }
}

// Push works over the office network only: with dial-up OK warns and still stores it.
TEST(CommunicationDialog, PushWithDialUpIsStoredAfterAWarning) {
  for (const bool useLan : {true, false}) {
    Communication f;
    f.dialUp(useLan);
    f.access.entries = {"Provider"};
    CommunicationDialog d(f.env, f.access);
    AccountDialog edited(d.working(), 0);
    AccountFields fields = edited.opening();
    fields.proto = 1;
    fields.idle = true;
    ASSERT_EQ(edited.ok(fields, f.prompt), InnerOutcome::kAccepted);
    EXPECT_TRUE(f.store.current()->accounts[0].idle);
    ASSERT_EQ(f.prompt.shown.size(), useLan ? 0u : 1u);
    if (!useLan) {
      EXPECT_EQ(f.prompt.shown[0].icon, Icon::kWarning);
      EXPECT_NE(f.prompt.shown[0].text.find("локальную сеть"), std::string::npos);
    }
  }
}

// The protocol choice moves a usual port to the other protocol's usual port for the TLS shown,
// and a preset's server to the same provider's server; anything typed stays.
TEST(CommunicationDialog, TheProtocolChoiceMovesTheUsualPortAndThePresetServer) {
  const struct Case {
    const char* server;
    const char* port;
    int tls;
    int from, to;
    const char* afterServer;
    const char* afterPort;
    int afterTls;
  } cases[] = {
      {"mail.x.ru", "110", 0, 0, 1, "mail.x.ru", "143", 0},
      {"mail.x.ru", "110", 1, 0, 1, "mail.x.ru", "143", 1},
      {"mail.x.ru", "995", 2, 0, 1, "mail.x.ru", "993", 2},
      {"mail.x.ru", "", 2, 0, 1, "mail.x.ru", "993", 2},
      {"mail.x.ru", "993", 2, 1, 0, "mail.x.ru", "995", 2},
      {"mail.x.ru", "143", 1, 1, 0, "mail.x.ru", "110", 1},
      {"mail.x.ru", "1110", 0, 0, 1, "mail.x.ru", "1110", 0},
      {"mail.x.ru", "995", 0, 0, 1, "mail.x.ru", "995", 0},  // not the usual port of "Нет"
      {"mail.x.ru", "110", 0, 0, 0, "mail.x.ru", "110", 0},
      {"mail.x.ru", "110", 0, 0, 5, "mail.x.ru", "110", 0},
      {"POP.GMAIL.COM", "995", 2, 0, 1, "imap.gmail.com", "993", 2},
      {"imap.gmail.com", "993", 2, 1, 0, "pop.gmail.com", "995", 2},
      {"outlook.office365.com", "995", 2, 0, 1, "outlook.office365.com", "993", 2},
      {"pop.yandex.ru", "995", 2, 0, 1, "imap.yandex.ru", "993", 2},
  };
  for (const Case& c : cases) {
    AccountFields f{c.server, "me", "pw", "pw", c.port, false, 0, c.tls, "", 0, ""};
    f.proto = c.from;
    f.folders = "INBOX, Работа";
    f.idle = true;
    AccountDialog::ApplyProtocol(c.to, f);
    const std::string label = std::string(c.server) + ":" + c.port + " " + std::to_string(c.from) + "->" + std::to_string(c.to);
    EXPECT_EQ(f.proto, c.to >= 0 && c.to <= 1 ? c.to : c.from) << label;
    EXPECT_EQ(f.server, c.afterServer) << label;
    EXPECT_EQ(f.port, c.afterPort) << label;
    EXPECT_EQ(f.tls, c.afterTls) << label;
    EXPECT_EQ(f.folders, "INBOX, Работа") << label;
    EXPECT_EQ(f.idle, !(c.from == 1 && c.to == 0)) << label << ": push needs IMAP, nothing else changes it";
  }
  EXPECT_EQ(PortAfterTlsChoice("143", 0, 2, AccountUsualPorts(1)), "993");
  EXPECT_EQ(PortAfterTlsChoice("993", 2, 1, AccountUsualPorts(1)), "143");
  EXPECT_EQ(PortAfterTlsChoice("995", 2, 1, AccountUsualPorts(0)), "110");
  EXPECT_EQ(AccountDialog::TlsChoices(1)[1], "STARTTLS (порт 143)");
  EXPECT_EQ(AccountDialog::TlsChoices(0), AccountDialog::TlsChoices());
}

// Each preset over IMAP: its IMAP server, port and TLS, the login method of its POP3 preset,
// the note for IMAP; the dialog opens on the preset again.
TEST(CommunicationDialog, ProviderChoiceOverImap) {
  const struct {
    const char* host;
    int auth;
    const char* platform;
  } cases[] = {{"imap.gmail.com", 1, "google"},
               {"outlook.office365.com", 1, "microsoft"},
               {"imap.yandex.ru", 0, ""},
               {"imap.mail.ru", 0, ""}};
  for (int choice = 1; choice <= static_cast<int>(std::size(cases)); ++choice) {
    AccountFields f{"old", "me@x.ru", "pw", "pw", "143", true, 0, 0, "", 0, ""};
    f.proto = 1;
    f.folders = "INBOX, Sent";
    AccountDialog::ApplyProvider(choice, f);
    EXPECT_EQ(f.server, cases[choice - 1].host);
    EXPECT_EQ(f.port, "993");
    EXPECT_EQ(f.tls, 2);
    EXPECT_EQ(f.auth, cases[choice - 1].auth);
    EXPECT_EQ(f.oauth, cases[choice - 1].platform);
    EXPECT_EQ(f.proto, 1);
    EXPECT_EQ(f.folders, "INBOX, Sent");
    EXPECT_EQ(AccountProviderChoice(f.server, config::CollectProtocol::kImap), choice);
    EXPECT_EQ(AccountProviderNote(choice, config::CollectProtocol::kImap).find("IMAP") == std::string::npos, choice == 4)
        << "the note names IMAP where the provider must turn it on";
  }
  EXPECT_NE(AccountProviderNote(1, config::CollectProtocol::kImap).find("доступ по IMAP"), std::string::npos);
  EXPECT_EQ(AccountProviderNote(1, config::CollectProtocol::kPop3), ProviderNote(1));
  EXPECT_EQ(AccountProviderChoice("pop.gmail.com", config::CollectProtocol::kImap), 0);
}

// The IMAP fields through quelma.cfg and back into the dialog; the list shows the protocol.
TEST(CommunicationDialog, ImapFieldsSurviveTheFile) {
  Communication f;
  {
    CommunicationDialog d(f.env, f.access);
    AccountDialog edited(d.working(), 0);
    AccountFields fields = edited.opening();
    EXPECT_EQ(fields.proto, 0);
    EXPECT_EQ(fields.folders, "");
    AccountDialog::ApplyProtocol(1, fields);
    EXPECT_EQ(fields.port, "143");
    fields.folders = "INBOX, Работа, A%2CB 100%25";
    fields.after = 1;
    fields.moveTo = "Старое";
    fields.idle = true;
    fields.keep = "14";
    ASSERT_EQ(edited.ok(fields, f.prompt), InnerOutcome::kAccepted);
    ASSERT_TRUE(d.ok(d.fields()));
  }
  const config::Configuration saved = f.saved();
  const config::ProviderAccount& a = saved.accounts[0];
  EXPECT_EQ(a.proto, config::CollectProtocol::kImap);
  EXPECT_EQ(a.port, 143u);
  EXPECT_EQ(a.folders, (std::vector<std::string>{"INBOX", "Работа", "A,B 100%"}));
  EXPECT_EQ(a.moveTo, "Старое");
  EXPECT_TRUE(a.idle);
  EXPECT_EQ(a.keepDays, 14);
  f.store.publish(saved);
  CommunicationDialog again(f.env, f.access);
  const AccountFields shown = AccountDialog(again.working(), 0).opening();
  EXPECT_EQ(shown.proto, 1);
  EXPECT_EQ(shown.folders, "INBOX, Работа, A%2CB 100%25");
  EXPECT_EQ(shown.after, 1);
  EXPECT_EQ(shown.moveTo, "Старое");
  EXPECT_TRUE(shown.idle);
  EXPECT_EQ(again.accounts()[0].protocol, "IMAP, IDLE");
  EXPECT_EQ(again.accounts()[0].port, "143");
}

TEST(CommunicationDialog, PlatformChoices) {
  config::Configuration c;
  c.oauthSettings = {{"OAUTH_OFFICE_TOKEN_URL", "https://sso.office.ru/token"},
                     {"OAUTH_OFFICE_CLIENT_ID", "quelma"},
                     {"OAUTH_GOOGLE_TOKEN_URL", "https://127.0.0.1/token"},
                     {"OAUTH_LAB_CLIENT_ID", "no token URL, no platform"}};
  EXPECT_EQ(PlatformChoices(c, ""), (std::vector<std::string>{"", "microsoft", "google", "office"}));
  EXPECT_EQ(PlatformChoices(c, "custom"), (std::vector<std::string>{"", "microsoft", "google", "office", "custom"}));
  EXPECT_EQ(PlatformChoices(c, "office").size(), 4u);

  const struct {
    const char* field;
    std::optional<std::string> accepted;
  } names[] = {{"", ""}, {"  ", ""}, {" Google ", "google"}, {"my-idp_2", "my-idp_2"}, {"my idp", std::nullopt},
               {"почта", std::nullopt}, {"a.b", std::nullopt}};
  for (const auto& n : names) EXPECT_EQ(AcceptPlatformName(n.field), n.accepted) << n.field;
}

TEST(CommunicationDialog, PhoneNumbers) {
  Communication f;
  f.dialUp(false, {"1", "2", "3"});
  CommunicationDialog d(f.env, f.access);
  EXPECT_EQ(AcceptPhoneNumber(""), std::nullopt);
  EXPECT_EQ(AcceptPhoneNumber("8 800 100"), "8 800 100");
  d.deletePhone(1);
  EXPECT_EQ(d.dialUp().phones, (std::vector<std::string>{"1", "3"})) << "the later ones move up, without a question";
  EXPECT_TRUE(f.prompt.shown.empty());
  d.phoneChanged(0, "10");
  EXPECT_EQ(d.dialUp().phones, (std::vector<std::string>{"10", "3"}));
  for (int i = 2; i < 20; ++i) {
    ASSERT_EQ(d.newPhoneIndex(), i);
    d.phoneChanged(d.newPhoneIndex(), std::to_string(i));
  }
  EXPECT_EQ(d.newPhoneIndex(), -1) << "no 21st number";
  EXPECT_EQ(f.store.current()->DialupPhoneNumber[19], "19");
}

}  // namespace
}  // namespace quelma::dialogs
