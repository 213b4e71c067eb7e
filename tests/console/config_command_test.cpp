// "quelma config": each command leaves quelma.cfg and sorter.cfg byte for byte as the same edit
// made through the settings dialogs' logic, refuses what the dialogs refuse with their message,
// and leaves both files untouched when it refuses.
#include "app/console/config_command.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <sstream>

#include "config/config_file.h"
#include "config/config_store.h"
#include "dialogs/communication_dialog.h"
#include "dialogs/dialog_fixture.h"
#include "dialogs/scheduler_dialog.h"
#include "dialogs/servers_dialog.h"
#include "dialogs/sorter_dialog.h"
#include "platform/cp1251_utf8.h"
#include "platform/files.h"
#include "sorting/sorter_rules.h"
#include "support/fake_remote_access.h"
#include "support/fixed_rsa_pair.h"
#include "support/temp_dir.h"

namespace quelma::app {
namespace {

using testing::ReadAll;

// The dialogs on one program directory, as quelma.exe opens them.
struct DialogSide {
  explicit DialogSide(const std::string& dir) : sorter(sorting::SorterFilePath(dir)), env{store, dir, sorter, prompt} {
    config::Configuration c = config::DefaultConfiguration(dir);
    sorting::LoadConfigurationChecked(dir, sorter, c);
    store.publish(c);
  }
  sorting::SorterFile sorter;
  config::ConfigStore store;
  dialogs::RecordingPrompt prompt;
  testing::FakeRemoteAccess access;
  dialogs::DialogEnvironment env;
};

struct Office {
  testing::TempDir dir;
  std::string cfg() const { return dir.file("quelma.cfg"); }
  std::string sorterCfg() const { return dir.file("sorter.cfg"); }

  // Users postmaster, daemon, ivan, petr; two accounts; two rules.
  Office() {
    config::Configuration c = config::DefaultConfiguration(dir.path());
    c.LocalDomain = "office.test";
    c.users = {{"postmaster", "pm", ""}, {"daemon", "", ""}, {"ivan", "iv", "ivan@provider.ru"}, {"petr", "pe", ""}};
    c.accounts = {{"pop.provider.ru", "office", "secret", 110, "*", 0, {}, {}, {}, {}},
                  {"pop.other.ru", "ivan", "pw", 995, "ivan", 0, config::TlsMode::kImplicit, {}, {}, {}}};
    config::SaveConfiguration(dir.path(), c);
    testing::WriteAll(sorterCfg(), sorting::FormatSorterRules(
                                       {{"Subject", "report", "ivan,petr", 1, false}, {"To", "sales", "petr", 0, false}}));
  }

  struct Run {
    int code;
    std::string out, err;
  };
  Run cli(const std::vector<std::string>& words, const std::string& input = "") {
    testing::FakeRemoteAccess access;
    std::istringstream in(input);
    std::ostringstream out, err;
    const int code = ConfigCommand(dir.path(), access, words, in, out, err);
    return {code, out.str(), err.str()};
  }
};

using DialogEdit = std::function<void(DialogSide&)>;

struct Edit {
  const char* what;
  std::vector<std::string> words;
  std::string input;
  DialogEdit dialog;
  std::vector<std::string> before{};  // a command the CLI side runs first
};

std::string Utf8(const char* cp1251) { return platform::Cp1251ToUtf8(cp1251); }

TEST(ConfigCommand, EachEditWritesTheFilesTheDialogsWrite) {
  const testing::TempDir certificates;
  const testing::FixedRsaPair pair(certificates.path());
  using namespace dialogs;
  const Edit edits[] = {
      {"user add", {"user", "add", "Sidor", "--alias", "sidor@provider.ru", "--password-stdin"}, "Pw12\n",
       [](DialogSide& s) {
         ServersDialog d(s.env);
         d.add(*AcceptUserFields("Sidor", "Pw12", "sidor@provider.ru"));
         d.ok(d.fields());
       }},
      {"renaming the postmaster renames the role",
       {"user", "edit", "postmaster", "--name", "boss"}, "",
       [](DialogSide& s) {
         ServersDialog d(s.env);
         d.edit(0, *AcceptUserFields("boss", "pm", ""));
         d.ok(d.fields());
       }},
      {"user delete", {"user", "delete", "PETR"}, "",
       [](DialogSide& s) {
         ServersDialog d(s.env);
         d.remove(3);
         d.ok(d.fields());
       }},
      {"role boss", {"role", "boss", "ivan"}, "",
       [](DialogSide& s) {
         ServersDialog d(s.env);
         d.makeBoss(2);
         d.ok(d.fields());
       }},
      {"role postmaster", {"role", "postmaster", "petr"}, "",
       [](DialogSide& s) {
         ServersDialog d(s.env);
         d.makePostmaster(3);
         d.ok(d.fields());
       }},
      {"account add from a preset",
       {"account", "add", "--preset", "gmail", "--login", "office@gmail.com", "--deliver", "petr", "--keep", "14"}, "",
       [](DialogSide& s) {
         CommunicationDialog c(s.env, s.access);
         AccountDialog a(c.working(), -1);
         AccountFields f = a.opening();
         AccountDialog::ApplyProvider(1, f);
         f.login = "office@gmail.com";
         f.delivery = 3;  // "* Сортировщик", postmaster, ivan, petr
         f.keep = "14";
         a.ok(f, s.prompt);
         c.ok(c.fields());
       }},
      {"account edit: the usual port follows TLS, password and size",
       {"account", "edit", "0", "--tls", "ssl", "--maxsize", "2048", "--keep", "forever", "--password-stdin"},
       "new\n",
       [](DialogSide& s) {
         CommunicationDialog c(s.env, s.access);
         AccountDialog a(c.working(), 0);
         AccountFields f = a.opening();
         f.port = "995";
         f.tls = 2;
         f.maxSize = "2048";
         f.keepForever = true;
         f.password = f.repeat = "new";
         a.ok(f, s.prompt);
         c.ok(c.fields());
       }},
      {"account edit to IMAP: the usual port follows, folders, a move and push",
       {"account", "edit", "0", "--proto", "imap", "--folders", Utf8("INBOX, Работа"), "--after", "move:Archive",
        "--idle", "yes", "--keep", "7"},
       "",
       [](DialogSide& s) {
         CommunicationDialog c(s.env, s.access);
         AccountDialog a(c.working(), 0);
         AccountFields f = a.opening();
         AccountDialog::ApplyProtocol(1, f);
         f.folders = "INBOX, Работа";
         f.after = 1;
         f.moveTo = "Archive";
         f.idle = true;
         f.keep = "7";
         a.ok(f, s.prompt);
         c.ok(c.fields());
       }},
      {"account add over IMAP from a preset",
       {"account", "add", "--proto", "imap", "--preset", "gmail", "--login", "office@gmail.com"}, "",
       [](DialogSide& s) {
         CommunicationDialog c(s.env, s.access);
         AccountDialog a(c.working(), -1);
         AccountFields f = a.opening();
         AccountDialog::ApplyProtocol(1, f);
         AccountDialog::ApplyProvider(1, f);
         f.login = "office@gmail.com";
         a.ok(f, s.prompt);
         c.ok(c.fields());
       }},
      {"account delete", {"account", "delete", "1"}, "",
       [](DialogSide& s) {
         CommunicationDialog c(s.env, s.access);
         c.deleteAccount(1);
         c.ok(c.fields());
       }},
      {"smtp from a preset with a login",
       {"smtp", "set", "--preset", "yandex", "--login", "office@yandex.ru", "--password-stdin"}, "app-password\n",
       [](DialogSide& s) {
         CommunicationDialog c(s.env, s.access);
         CommunicationFields f = c.fields();
         SmtpServerFields server{f.smtpServer, f.smtpPort, f.smtpTls, f.smtpFingerprint};
         SmtpLoginFields login = SmtpLoginOpening(c.working().get());
         ApplySmtpProvider(3, server, login);
         login.name = "office@yandex.ru";
         login.password = login.repeat = "app-password";
         AcceptSmtpLogin(c.working(), login, server, s.prompt);
         f.smtpServer = server.server, f.smtpPort = server.port, f.smtpTls = server.tls;
         c.ok(f);
       }},
      {"SMTP STARTTLS moves the usual port", {"set", "SMTP_TLS", "starttls"}, "",
       [](DialogSide& s) {
         CommunicationDialog c(s.env, s.access);
         CommunicationFields f = c.fields();
         f.smtpTls = 1;
         f.smtpPort = "587";
         c.ok(f);
       }},
      {"dial-up", {"set", "UseLAN", "no"}, "",
       [](DialogSide& s) {
         CommunicationDialog c(s.env, s.access);
         c.toggleLan();
         c.ok(c.fields());
       }},
      {"a phone number for dial-up", {"phone", "add", "+7 495 123-45-67"}, "",
       [](DialogSide& s) {
         CommunicationDialog c(s.env, s.access);
         c.toggleLan();
         c.ok(c.fields());
         CommunicationDialog again(s.env, s.access);
         again.phoneChanged(again.newPhoneIndex(), "+7 495 123-45-67");
         again.ok(again.fields());
       },
       {"set", "UseLAN", "no"}},
      {"servers fields", {"set", "RELAY_NETWORKS", "192.168.1.0/24, 10.0.0.5"}, "",
       [](DialogSide& s) {
         ServersDialog d(s.env);
         ServersFields f = d.fields();
         f.relayNetworks = "192.168.1.0/24, 10.0.0.5";
         d.ok(f);
       }},
      {"a certificate and its key in one OK", {"set", "TLS_CERT_FILE", pair.cert, "TLS_KEY_FILE", pair.key, "POP3_SRV_TLS_PORT", "995"}, "",
       [pair](DialogSide& s) {
         ServersDialog d(s.env);
         ServersFields f = d.fields();
         f.certFile = pair.cert, f.keyFile = pair.key, f.pop3TlsPort = "995";
         d.ok(f);
       }},
      {"the IMAP server off and its TLS port set", {"set", "IMAP_SRV_PORT", "0", "IMAP_SRV_TLS_PORT", "993"}, "",
       [](DialogSide& s) {
         ServersDialog d(s.env);
         ServersFields f = d.fields();
         f.imapPort = "0", f.imapTlsPort = "993";
         d.ok(f);
       }},
      {"passwords in clear only from this computer", {"set", "PLAINTEXT_LOGIN", "local"}, "",
       [](DialogSide& s) {
         ServersDialog d(s.env);
         ServersFields f = d.fields();
         f.plaintextLogin = 1;
         d.ok(f);
       }},
      {"YES given with a certificate stays YES", {"set", "TLS_CERT_FILE", pair.cert, "TLS_KEY_FILE", pair.key, "PLAINTEXT_LOGIN", "YES"}, "",
       [pair](DialogSide& s) {
         ServersDialog d(s.env);
         ServersFields f = d.fields();
         f.certFile = pair.cert, f.keyFile = pair.key, f.plaintextLoginChosen = true;
         d.ok(f);
       }},
      {"local domain, lower-cased", {"set", "localdomain", "Office.Example"}, "",
       [](DialogSide& s) {
         ServersDialog d(s.env);
         ServersFields f = d.fields();
         f.localDomain = "Office.Example";
         d.ok(f);
       }},
      {"rule add", {"rule", "add", "Subject", Utf8("Отчет"), "petr, boss@other.ru,ivan", "--stop", "--envelope"}, "",
       [](DialogSide& s) {
         SorterDialog d(s.env);
         RuleDialog r(d.config(), nullptr);
         r.addUser("petr");
         r.addAddress("boss@other.ru");
         r.addUser("ivan");
         sorting::SorterRule rule;
         r.ok("Subject", "Отчет", true, true, s.prompt, rule);
         d.add(rule);
         d.ok();
       }},
      {"rule add into a folder", {"rule", "add", "Subject", "x", "ivan/" + Utf8("Архив") + ",petr"}, "",
       [](DialogSide& s) {
         SorterDialog d(s.env);
         RuleDialog r(d.config(), nullptr);
         r.addAddress("ivan/Архив");
         r.addUser("petr");
         sorting::SorterRule rule;
         r.ok("Subject", "x", false, false, s.prompt, rule);
         d.add(rule);
         d.ok();
       }},
      {"rule edit keeps what is not named", {"rule", "edit", "1", "--deliver", "ivan", "--stop", "yes"}, "",
       [](DialogSide& s) {
         SorterDialog d(s.env);
         RuleDialog r(d.config(), &d.rules()[1]);
         r.removeDelivery(0);
         r.addUser("ivan");
         sorting::SorterRule rule;
         r.ok(r.headerName, r.pattern, true, r.envelope, s.prompt, rule);
         d.replace(1, rule);
         d.ok();
       }},
      {"rule move", {"rule", "move", "1", "up"}, "",
       [](DialogSide& s) {
         SorterDialog d(s.env);
         d.moveUp(1);
         d.ok();
       }},
      {"rule delete", {"rule", "delete", "0"}, "",
       [](DialogSide& s) {
         SorterDialog d(s.env);
         d.remove(0);
         d.ok();
       }},
      {"unsorted mail, in the list's order", {"unsorted", "set", "petr,IVAN"}, "",
       [](DialogSide& s) {
         SorterDialog d(s.env);
         d.setUnsortedRecipients(JoinRecipients({"ivan", "petr"}));
         d.ok();
       }},
      {"schedule", {"schedule", "set", "wed", "08:30", "18:00", "45"}, "",
       [](DialogSide& s) {
         SchedulerDialog d(s.env);
         d.setDay(2, {"08", "30", "18", "00", "45"}, s.prompt);
         d.ok();
       }},
  };
  for (const Edit& edit : edits) {
    Office office;
    const std::string cfg = ReadAll(office.cfg()), sorter = ReadAll(office.sorterCfg());
    {
      DialogSide side(office.dir.path());
      edit.dialog(side);
      for (const dialogs::Message& m : side.prompt.shown) {  // only the question before a deletion
        EXPECT_TRUE(m.buttons == dialogs::Buttons::kYesNo && (m.icon == dialogs::Icon::kNone || m.icon == dialogs::Icon::kQuestion))
            << edit.what << ": the dialog said " << m.text;
      }
    }
    const std::string dialogCfg = ReadAll(office.cfg()), dialogSorter = ReadAll(office.sorterCfg());
    EXPECT_TRUE(dialogCfg != cfg || dialogSorter != sorter) << edit.what << ": the dialog changed nothing";
    testing::WriteAll(office.cfg(), cfg);
    testing::WriteAll(office.sorterCfg(), sorter);

    if (!edit.before.empty()) {
      EXPECT_EQ(office.cli(edit.before).code, 0) << edit.what;
    }
    const Office::Run run = office.cli(edit.words, edit.input);
    EXPECT_EQ(run.code, 0) << edit.what << ": " << run.err;
    EXPECT_EQ(ReadAll(office.cfg()), dialogCfg) << edit.what;
    EXPECT_EQ(ReadAll(office.sorterCfg()), dialogSorter) << edit.what;
  }
}

struct Refusal {
  const char* what;
  std::vector<std::string> words;
  std::string input;
  const char* message;  // what the dialog shows, without its "edit again?" line
  DialogEdit dialog;    // the same through the dialogs, when they can be given it
  int code = 1;
  std::vector<std::string> setup{};  // a command run first
};

ino_t Inode(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

TEST(ConfigCommand, RefusesWhatTheDialogsRefuseAndTouchesNoFile) {
  const testing::TempDir certificates;
  const testing::FixedRsaPair pair(certificates.path());
  const std::string swapped = "Сертификат и ключ для TLS не годятся: файлы перепутаны: в \"" + pair.key +
                              "\" закрытый ключ, а сертификат - в файле, указанном для ключа.";
  using namespace dialogs;
  const Refusal refusals[] = {
      {"a user who exists", {"user", "add", "Ivan"}, "", "Пользователь \"ivan\" уже существует.\nВ список не добавлен.",
       [](DialogSide& s) { ServersDialog(s.env).add(*AcceptUserFields("Ivan", "", "")); }},
      {"a password no mail program can use", {"user", "edit", "ivan", "--password-stdin"}, "pass-word\n",
       "Пароль может состоять только из латинских букв и цифр: с символом \"-\" почтовая программа не сможет войти на "
       "POP3 сервер.\nПароль не сохранен.",
       nullptr},
      {"a name with a blank", {"user", "add", "bad name"}, "",
       "Имя пользователя \"bad name\": допустимы только латинские буквы, цифры и знаки _ - . (с другими знаками "
       "POP3-сервер не примет вход).",
       nullptr},
      {"a rename to a name no login matches", {"user", "edit", "ivan", "--name", "ivan@office"}, "",
       "Имя пользователя \"ivan@office\": допустимы только латинские буквы, цифры и знаки _ - . (с другими знаками "
       "POP3-сервер не примет вход).",
       nullptr},
      {"the postmaster", {"user", "delete", "postmaster"}, "", "Удалять постмастера нельзя",
       [](DialogSide& s) { ServersDialog(s.env).remove(0); }},
      {"the daemon as postmaster", {"role", "postmaster", "daemon"}, "", "Демон не может быть постмастером",
       [](DialogSide& s) { ServersDialog(s.env).makePostmaster(1); }},
      {"an account without a login", {"account", "add", "--server", "pop.x.ru"}, "",
       "Не введены некоторые необходимые параметры.",
       [](DialogSide& s) {
         CommunicationDialog c(s.env, s.access);
         AccountDialog a(c.working(), -1);
         AccountFields f = a.opening();
         f.server = "pop.x.ru";
         a.ok(f, s.prompt);
       }},
      {"a keep of 5000 days", {"account", "edit", "0", "--keep", "5000"}, "",
       "Срок хранения писем на сервере - число дней от 0 до 3650. Пустое поле или 0 - письма удаляются с сервера сразу "
       "после загрузки; чтобы они не удалялись никогда, отметьте \"всегда\".",
       [](DialogSide& s) {
         CommunicationDialog c(s.env, s.access);
         AccountDialog a(c.working(), 0);
         AccountFields f = a.opening();
         f.keep = "5000";
         a.ok(f, s.prompt);
       }},
      {"OAuth without TLS", {"account", "edit", "0", "--auth", "xoauth2", "--oauth", "google"}, "",
       "Вход OAuth 2.0 передает маркер доступа и возможен только по защищенному соединению: выберите шифрование STLS "
       "или SSL/TLS.",
       [](DialogSide& s) {
         CommunicationDialog c(s.env, s.access);
         AccountDialog a(c.working(), 0);
         AccountFields f = a.opening();
         f.auth = 1, f.oauth = "google";
         a.ok(f, s.prompt);
       }},
      {"a move into a folder that is collected", {"account", "edit", "0", "--proto", "imap", "--folders", "Work, inbox",
                                                   "--after", "move:INBOX"}, "",
       "Папка \"INBOX\" сама загружается: перенесенные в нее письма загружались бы снова. Выберите для переноса "
       "другую папку или удаление.",
       [](DialogSide& s) {
         CommunicationDialog c(s.env, s.access);
         AccountDialog a(c.working(), 0);
         AccountFields f = a.opening();
         AccountDialog::ApplyProtocol(1, f);
         f.folders = "Work, inbox", f.after = 1, f.moveTo = "INBOX";
         a.ok(f, s.prompt);
       }},
      {"the last account", {"account", "delete", "0"}, "", "Нельзя удалять последнюю учетную запись.",
       [](DialogSide& s) { CommunicationDialog(s.env, s.access).deleteAccount(0); }, 1, {"account", "delete", "1"}},
      {"a fingerprint that is not one", {"smtp", "set", "--fingerprint", "12:AB"}, "",
       "Отпечаток сертификата - это 64 шестнадцатеричные цифры (SHA-256), двоеточия допускаются. Оставьте поле "
       "пустым, если сертификат проверяется по доверенным издателям.",
       [](DialogSide& s) {
         CommunicationDialog c(s.env, s.access);
         CommunicationFields f = c.fields();
         f.smtpFingerprint = "12:AB";
         c.ok(f);
       }},
      {"a certificate without its key", {"set", "TLS_CERT_FILE", "/etc/hostname"}, "",
       "Для TLS нужны оба файла: сертификат и его закрытый ключ (PEM).",
       [](DialogSide& s) {
         ServersDialog d(s.env);
         ServersFields f = d.fields();
         f.certFile = "/etc/hostname";
         d.ok(f);
       }},
      {"a certificate and its key swapped", {"set", "TLS_CERT_FILE", pair.key, "TLS_KEY_FILE", pair.cert}, "",
       swapped.c_str(),
       [pair](DialogSide& s) {
         ServersDialog d(s.env);
         ServersFields f = d.fields();
         f.certFile = pair.key, f.keyFile = pair.cert;
         d.ok(f);
       }},
      {"relay networks it cannot read", {"set", "RELAY_NETWORKS", "office"}, "",
       "Сети для отправки наружу: не понимаю \"office\". Пишите сети через запятую, например 192.168.1.0/24,10.0.0.5.",
       [](DialogSide& s) {
         ServersDialog d(s.env);
         ServersFields f = d.fields();
         f.relayNetworks = "office";
         d.ok(f);
       }},
      {"no sessions at all", {"set", "MAX_SESSIONS", "0"}, "", "Клиентов одновременно: от 1 до 500.",
       [](DialogSide& s) {
         ServersDialog d(s.env);
         ServersFields f = d.fields();
         f.maxSessions = "0";
         d.ok(f);
       }},
      {"a rule on a Cyrillic header", {"rule", "add", Utf8("Тема"), "x", "ivan"}, "",
       "Не введены некоторые необходимые параметры.",
       [](DialogSide& s) {
         SorterDialog d(s.env);
         RuleDialog r(d.config(), nullptr);
         r.addUser("ivan");
         sorting::SorterRule rule;
         r.ok("Тема", "x", false, false, s.prompt, rule);
       }},
      {"a day that ends before it starts", {"schedule", "set", "mon", "18:00", "08:00", "30"}, "",
       "Неправильно введены некоторые параметры.",
       [](DialogSide& s) { SchedulerDialog(s.env).setDay(0, {"18", "00", "08", "00", "30"}, s.prompt); }},
      // What the dialogs' fields and lists never let through, refused here in words of its own.
      {"a port out of range", {"set", "POP3_SRV_PORT", "99999"}, "", "POP3_SRV_PORT: число от 1 до 65535.", nullptr},
      {"an IMAP port out of range", {"set", "IMAP_SRV_PORT", "65536"}, "", "IMAP_SRV_PORT: число от 0 до 65535.", nullptr},
      {"a clear-text rule it does not know", {"set", "PLAINTEXT_LOGIN", "sometimes"}, "", "PLAINTEXT_LOGIN: YES, LOCAL или NO.", nullptr},
      {"a rule for nobody known", {"rule", "add", "To", "x", "sidor"}, "", "Нет пользователя \"sidor\".", nullptr},
      {"a folder that cannot be one", {"rule", "add", "To", "x", "ivan/a/../b"}, "",
       "Папка \"ivan/a/../b\" не принята: часть имени папки \".\" или \"..\".", nullptr},
      {"a folder of nobody known", {"rule", "add", "To", "x", "sidor/x"}, "", "Нет пользователя \"sidor\".", nullptr},
      {"the daemon's unsorted mail", {"unsorted", "set", "daemon"}, "",
       "Демон не получает неотсортированную почту.", nullptr},
      {"a user for an account that is not", {"account", "edit", "0", "--deliver", "sidor"}, "",
       "Нет пользователя \"sidor\", которому можно доставлять почту счета (* - сортировщик).", nullptr},
      {"an account password longer than the file keeps", {"account", "edit", "0", "--password-stdin"},
       "123456789012345678901234567890\n", "quelma.cfg хранит не больше 24 символов пароля счета.", nullptr},
      {"an unknown protocol", {"account", "edit", "0", "--proto", "smtp"}, "", "--proto: pop3 или imap", nullptr},
      {"folders of a POP3 account", {"account", "edit", "0", "--folders", "Work"}, "",
       "--folders - только для счета IMAP (--proto imap)", nullptr},
      {"push on a POP3 account", {"account", "edit", "0", "--idle", "yes"}, "",
       "--idle yes - только для счета IMAP (--proto imap)", nullptr},
      {"an after-download word it does not know", {"account", "edit", "0", "--proto", "imap", "--after", "archive"}, "",
       "--after: delete или move:ПАПКА", nullptr},
      {"a key set elsewhere", {"set", "PostMaster", "ivan"}, "", "PostMaster: quelma config role postmaster NAME",
       nullptr, 2},
      {"two dialogs in one set", {"set", "LocalDomain", "x.test", "SMTPServer", "smtp.x.test"}, "",
       "параметры серверов и параметры связи задаются разными командами", nullptr, 2},
      {"an unknown option", {"account", "edit", "0", "--colour", "red"}, "", "неизвестный параметр --colour", nullptr,
       2},
  };
  for (const Refusal& refusal : refusals) {
    Office office;
    if (!refusal.setup.empty()) {
      ASSERT_EQ(office.cli(refusal.setup).code, 0) << refusal.what;
    }
    const std::string cfg = ReadAll(office.cfg()), sorter = ReadAll(office.sorterCfg());
    if (refusal.dialog) {
      DialogSide side(office.dir.path());
      refusal.dialog(side);
      ASSERT_FALSE(side.prompt.shown.empty()) << refusal.what;
      std::string shown = side.prompt.shown.back().text;
      if (const auto edit = shown.find("\nПовторить редактирование?"); edit != std::string::npos) shown.resize(edit);
      EXPECT_EQ(shown, refusal.message) << refusal.what;
      ASSERT_EQ(ReadAll(office.cfg()), cfg) << refusal.what;
    }
    const ino_t cfgInode = Inode(office.cfg()), sorterInode = Inode(office.sorterCfg());
    const Office::Run run = office.cli(refusal.words, refusal.input);
    EXPECT_EQ(run.code, refusal.code) << refusal.what;
    EXPECT_EQ(run.err, "quelma: " + platform::Cp1251ToUtf8(refusal.message) + "\n") << refusal.what;
    EXPECT_EQ(ReadAll(office.cfg()), cfg) << refusal.what;
    EXPECT_EQ(ReadAll(office.sorterCfg()), sorter) << refusal.what;
    EXPECT_EQ(Inode(office.cfg()), cfgInode) << refusal.what << ": quelma.cfg was written again";
    EXPECT_EQ(Inode(office.sorterCfg()), sorterInode) << refusal.what << ": sorter.cfg was written again";
  }
}

TEST(ConfigCommand, ListsShowWhatTheFilesHold) {
  Office office;
  const auto show = office.cli({"show"});
  EXPECT_EQ(show.code, 0);
  for (const char* line : {"LocalDomain = office.test\n", "ivan  <ivan@provider.ru>\n",
                           "1: pop.other.ru:995 ivan ssl -> ivan\n",
                           "0: Если \"Subject\" содержит \"report\" - Доставить: ivan,petr  и СТОП\n",
                           "mon (Понедельник): нет сеансов\n"}) {
    EXPECT_NE(show.out.find(platform::Cp1251ToUtf8(line)), std::string::npos) << line;
  }
  EXPECT_EQ(show.out.find("secret"), std::string::npos) << "no password is shown";
  office.cli({"smtp", "set", "--login", "office"}, "");
  ASSERT_EQ(office.cli({"smtp", "set", "--password-stdin"}, "smtp-secret\n").code, 0);
  const auto again = office.cli({"show"});
  EXPECT_NE(again.out.find("SMTP_LOGIN_PASS = ********\n"), std::string::npos);
  EXPECT_EQ(again.out.find("smtp-secret"), std::string::npos);
  EXPECT_EQ(office.cli({"schedule", "set", "all", "09:00", "17:00", "60"}).code, 0);
  EXPECT_NE(office.cli({"schedule", "list"}).out.find(Utf8("sun (Воскресенье): 09:00-17:00, каждые 60 мин.")),
            std::string::npos);
  ASSERT_EQ(office.cli({"account", "edit", "1", "--proto", "imap", "--folders", "INBOX,Sent", "--after", "move:Old",
                        "--idle", "yes"}).code, 0);
  EXPECT_NE(office.cli({"account", "list"}).out.find(
                Utf8("1: pop.other.ru:993 ivan ssl -> ivan, IMAP: INBOX, Sent, затем перенести в \"Old\", IDLE\n")),
            std::string::npos)
      << office.cli({"account", "list"}).out;
  EXPECT_NE(office.cli({"account", "list"}).out.find("0: pop.provider.ru:110 office -> "), std::string::npos)
      << "a POP3 account's line as before";
}

// "show" lists every key, also the later ones that quelma.cfg leaves out at their defaults, with
// the defaults marked; lines the program does not know are shown as such.
TEST(ConfigCommand, ShowListsEveryKeyWithItsValueAndMarksTheDefaults) {
  Office office;
  std::string cfg = ReadAll(office.cfg());
  cfg.insert(cfg.find("[POP3accounts]"), "MAX_SESION = 40\r\n");
  testing::WriteAll(office.cfg(), cfg);
  const auto show = office.cli({"show"});
  ASSERT_EQ(show.code, 0) << show.err;
  for (const char* line : {"LocalDomain = office.test\n", "LogFileSize = 4  (по умолчанию)\n",
                           "POP3_SRV_PORT = 110  (по умолчанию)\n", "MAX_SESSIONS = 20  (по умолчанию)\n",
                           "LISTEN_ADDRESSES = *  (по умолчанию)\n", "AUTH_FAIL_LIMIT = 10  (по умолчанию)\n",
                           "SMTP_SRV_AUTH = NO  (по умолчанию)\n", "SMTP_TLS = NONE  (по умолчанию)\n",
                           "POP3_SRV_TLS_PORT = 0  (по умолчанию)\n", "SMTP_EHLO = YES  (по умолчанию)\n",
                           "IMAP_SRV_PORT = 143  (по умолчанию)\n", "IMAP_SRV_TLS_PORT = 0  (по умолчанию)\n",
                           "MAX_SESION = 40  (неизвестный параметр: программа его не использует)\n"}) {
    EXPECT_NE(show.out.find(Utf8(line)), std::string::npos) << line << "\n" << show.out;
  }
  EXPECT_NE(show.out.find("RELAY_NETWORKS = 127.0.0.0/8,"), std::string::npos);
  EXPECT_EQ(show.out.find("LocalDomain = office.test  ("), std::string::npos) << "not a default";
}

// Keys and account words of a later version (or typos) stay where they were through the
// commands' saves, as through the dialogs'.
TEST(ConfigCommand, UnknownKeysAndAccountWordsSurviveEveryCommand) {
  Office office;
  std::string cfg = ReadAll(office.cfg());
  cfg.insert(cfg.find("QueueDir = "), "SIEVE_SRV_PORT = 4190\r\n");
  cfg.insert(cfg.find("\r\npop.other.ru"), " sieve=yes");
  testing::WriteAll(office.cfg(), cfg);
  for (const std::vector<std::string>& words :
       {std::vector<std::string>{"set", "LocalDomain", "office.ru"}, {"account", "edit", "0", "--port", "995"},
        {"account", "edit", "1", "--keep", "7"}, {"user", "add", "anna"}, {"smtp", "set", "--server", "smtp.office.ru"}}) {
    const auto run = office.cli(words);
    ASSERT_EQ(run.code, 0) << words[0] << " " << words[1] << ": " << run.err;
    const std::string now = ReadAll(office.cfg());
    EXPECT_NE(now.find("\r\nSIEVE_SRV_PORT = 4190\r\nQueueDir = "), std::string::npos) << words[0] << "\n" << now;
    EXPECT_NE(now.find(" sieve=yes\r\n"), std::string::npos) << words[0] << "\n" << now;
  }
}

}  // namespace
}  // namespace quelma::app
