#!/usr/bin/env python3
"""quelma.exe's OAuth 2.0 logins under Wine, against the peers of oauth_peers.py on 127.0.0.1:
Dovecot's POP3 (XOAUTH2 over POP3S, OAUTHBEARER after STLS) and Postfix submission (XOAUTH2
after STARTTLS), the tokens from a local identity platform reached with WinHTTP, first over
HTTPS (its certificate trusted only through TLS_CA_FILE), then over plain HTTP to 127.0.0.1.

The refresh tokens are given to the program by oauth_seed.exe, which stores them through the
program's own token store, sealed with DPAPI for the Wine user. The life of a token: sessions
before any login fail with "log in again" and keep every message; after the seeding a session
brings every message byte-identical and uploads the queue, the rotated refresh tokens stored at
once and used by the next session; access tokens the servers stop taking are renewed after the
refusal; a revoked login gives a clear log line and keeps the mail; and no token is in
quelma.log, quelma.cfg or, readable, in oauth.tokens. A token endpoint whose certificate no one
vouches for gets no token request's form. Last, a first login by device code made with the
account dialog's "Вход OAuth..." button is used by a session.

    oauth_wine_interop.py BINARY_DIR [SHOTS_DIR]    (BINARY_DIR: build/windows)"""
import os
import re
import shutil
import smtplib
import subprocess
import sys
import tempfile
import time
import types

sys.path.insert(0, os.path.dirname(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "interop"))
from oauth_peers import OAuthPeers, OAuthServer  # noqa: E402
from pop3_client_interop import maildrop_texts  # noqa: E402
from quelma_process import Checks, free_port  # noqa: E402
from smtp_client_interop import arrived_whole  # noqa: E402
from wine_desktop import ENV, WineDesktop, wait_for, wait_port  # noqa: E402

IVAN, PETR, OUTSIDE = "ivan@provider.test", "petr@provider.test", "friend@outside.test"
SECRET = "client-secret-7f3a"
CLIENT_ID = "quelmar-office-client"
COMMUNICATION, ACCOUNT = "Настройки связи", "Учетная запись POP3 клиента"
OAUTH_BOX = "Вход OAuth"  # the outcome of a first login
IDC_ACCOUNTS, IDC_ACCOUNT_EDIT, IDC_ACCOUNT_OAUTH_LOGIN = "1100", "1102", "2024"
OK, CANCEL = "1", "2"
SESSION, SETTINGS, EXIT = "40011", "40012", "40002"  # Команда > Отправить/получить почту, Настройки связи, Выход
POP3_HEADER, SMTP_HEADER = "*** Загрузка почты с POP3 сервера", "*** Отправка исходящих сообщений"


def windows(path):
    return "Z:" + path.replace("/", "\\")


def message(i, to):
    return ("From: <anna@office.ru>\r\nTo: <%s>\r\nSubject: oauth %d\r\n\r\n" % (to, i)
            + "Строка %d письма\r\n.leading dot\r\n" % i).encode("cp1251")


def uploaded(received, i):
    """Whether the sink got queued message `i` whole: Postfix's Received header, then the
    message's header, quelma's one trace line and the body."""
    header, body = message(i, OUTSIDE).split(b"\r\n\r\n", 1)
    lines = received.split(b"\r\n")
    n = 1
    while n < len(lines) and lines[n][:1] in (b" ", b"\t"):
        n += 1
    return lines[0].startswith(b"Received: ") and arrived_whole(b"\r\n".join(lines[n:]), header + b"\r\n", body)


def refresh_grants(oauth, since=0):
    """The refresh grants the platform took after the first `since` requests: (token, over TLS)."""
    return [((r["form"].get("refresh_token") or [""])[0], r["tls"]) for r in oauth.requests[since:]
            if r["path"] == "/token" and (r["form"].get("grant_type") or [""])[0] == "refresh_token"]


class Program:
    """quelma.exe in a directory of its own on the Wine desktop, and oauth_seed.exe beside it."""

    def __init__(self, binary_dir, shots, peers):
        self.exe = os.path.join(binary_dir, "quelma.exe")
        self.seed_exe = os.path.join(binary_dir, "tests", "oauth_seed.exe")
        self.desktop = WineDesktop(self.exe, os.path.join(binary_dir, "tests", "window_driver.exe"), shots, 110)
        self.dir = tempfile.mkdtemp(prefix="quelma-wine-oauth-")
        self.pop3, self.smtp = free_port(), free_port()
        shutil.copy(self.exe, self.dir)
        for sub in ("maildrop", "queue"):
            os.makedirs(os.path.join(self.dir, sub))
        o, w = peers.oauth, windows(self.dir)
        cfg = ["[Parameters]", "MailDropDir = %s\\maildrop\\" % w, "QueueDir = %s\\queue\\" % w,
               "LocalDomain = office.ru", "PostMaster = postmaster", "Daemon = daemon", "LogFileSize = 1000",
               "POP3_SRV_PORT = %d" % self.pop3, "SMTP_SRV_PORT = %d" % self.smtp, "IMAP_SRV_PORT = 0",
               "SchedulerRecord6 = 00:00--00:00--0000", "TLS_CA_FILE = " + windows(peers.material.ca["cert"]),
               "SMTPServer = localhost", "SMTPSport = %d" % peers.smtp.starttls_port, "SMTP_TLS = STARTTLS",
               "SMTP_USES_LOGIN = 1", "SMTP_LOGIN_NAME = " + IVAN, "SMTP_AUTH = XOAUTH2", "SMTP_OAUTH = testidp",
               "OAUTH_TESTIDP_TOKEN_URL = " + o.url("/token"), "OAUTH_TESTIDP_DEVICE_URL = " + o.url("/devicecode"),
               "OAUTH_TESTIDP_CLIENT_ID = " + CLIENT_ID, "OAUTH_TESTIDP_CLIENT_SECRET = " + SECRET,
               "OAUTH_TESTIDP_SCOPES = mail offline_access",
               "[Users]", "postmaster pm ; ", "daemon  ; ", "ivan iv ; ", "petr pe ; ", "anna an ; ",
               "[POP3accounts]",
               "localhost %s ; -%d-0-ivan tls=ssl auth=xoauth2 oauth=testidp" % (IVAN, peers.pop3.pop3s_port),
               "localhost %s ; -%d-0-petr tls=stls auth=oauthbearer oauth=testidp" % (PETR, peers.pop3.pop3_port)]
        with open(self.path("quelma.cfg"), "wb") as f:
            f.write("\r\n".join(cfg + [""]).encode("cp1251"))
        self.process = self.desktop.start(self.path("quelma.exe"), cwd=self.dir)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def log(self):
        try:
            with open(self.path("quelma.log"), "rb") as f:
                return f.read().decode("cp1251")
        except OSError:
            return ""

    def token_url(self, url):
        """Points the platform's token endpoint at `url` (the next session reads it)."""
        path = self.path("quelma.cfg")
        text = open(path, "rb").read().decode("cp1251")
        text = re.sub(r"(?m)^OAUTH_TESTIDP_TOKEN_URL = [^\r]*", "OAUTH_TESTIDP_TOKEN_URL = " + url, text)
        open(path, "wb").write(text.encode("cp1251"))

    def maildrop(self, user):
        return maildrop_texts(self.path("maildrop", user))

    def queued(self):
        return len(os.listdir(self.path("queue")))

    def queue(self, i):
        """A message for outside handed to quelma.exe's own SMTP server."""
        with smtplib.SMTP("127.0.0.1", self.smtp, timeout=30) as s:
            s.sendmail("anna@office.ru", [OUTSIDE], message(i, OUTSIDE))

    def session(self):
        """One communication session from the menu: whether it ended, and the log lines it wrote."""
        before = len(self.log())
        self.desktop.drive("command", SESSION)
        markers = [self.path("maildrop", m) for m in ("pop3_download.runs", "smtp_upload.runs")]

        def ended():
            new = self.log()[before:]
            return (new.count(POP3_HEADER) == 2 and SMTP_HEADER in new
                    and not any(os.path.exists(m) for m in markers))

        done = wait_for(ended, 120)
        time.sleep(1)
        return done, self.log()[before:]

    def seed(self, *words):
        """oauth_seed.exe on this program's directory: its exit code and what it printed."""
        done = subprocess.run(["wine", self.seed_exe, windows(self.dir) + "\\"] + list(words), env=ENV,
                              capture_output=True, timeout=60)
        return done.returncode, done.stdout.decode("utf-8", "replace").strip()

    def stored(self, kind, login):
        """The refresh token stored for the login at localhost ("" when none)."""
        code, printed = self.seed("--read", kind, "localhost", login)
        return printed if code == 0 else ""

    def stop(self, checks):
        self.desktop.drive("command", EXIT)
        self.desktop.drive("answer", "Выход из QUELMA", "yes")
        try:
            checks.check("quelma.exe exits 0", self.process.wait(timeout=60) == 0)
        except subprocess.TimeoutExpired:
            checks.check("quelma.exe exits 0", False, "still running")
            self.process.kill()
        self.desktop.stop()


LOGINS = (("pop3", IVAN), ("pop3", PETR), ("smtp", IVAN))


def run(q, peers, checks):
    pop3, smtp, oauth = peers.pop3, peers.smtp, peers.oauth
    first = [message(i, IVAN) for i in range(5)]
    for m in first:
        pop3.deliver(IVAN, m)
    petr_first = [message(100 + i, PETR) for i in range(3)]
    for m in petr_first:
        pop3.deliver(PETR, m)
    checks.check("quelma.exe serves SMTP and POP3", wait_port(q.smtp) and wait_port(q.pop3))
    time.sleep(2)
    q.queue(1)

    # Before any login: each login says what to do, and nothing moves.
    done, log = q.session()
    checks.check("before a login: the session ran through", done, log[-3000:])
    checks.check("before a login: POP3 error 49 for each account, SMTP error 34",
                 log.count("Ошибка 49: работа POP3 клиента") == 2 and "Error number 34" in log, log)
    checks.check("before a login: the log says how to log in, for each login",
                 log.count("не выполнен вход OAuth. Войдите заново: quelma --dir ") == 3 and
                 all(("oauth login " + words) in log for words in ("account 0", "account 1", "smtp")) and
                 "кнопка «Вход OAuth»" in log, log)
    statuses = (q.desktop.answer("status", "0"), q.desktop.answer("status", "2"))
    checks.check("before a login: the status bar asks for a login",
                 statuses == ("SMTP: нужен вход OAuth", "POP3: нужен вход OAuth"), repr(statuses))
    checks.check("before a login: the mail stays at the provider and in the queue, no token asked for",
                 len(pop3.messages(IVAN)) == 5 and len(pop3.messages(PETR)) == 3 and q.queued() == 1
                 and oauth.count("/token") == 0, str(oauth.counts))

    # The first logins, as the program's own first login stores them: sealed for this user.
    seeded = {login: oauth.grant(login[1])[1] for login in LOGINS}
    codes = [q.seed(kind, "localhost", user, seeded[(kind, user)])[0] for kind, user in LOGINS]
    tokens_file = q.path("oauth.tokens")
    sealed = open(tokens_file, "rb").read() if os.path.exists(tokens_file) else b""
    checks.check("oauth_seed stores three logins in oauth.tokens", codes == [0, 0, 0] and sealed, str(codes))
    checks.check("oauth.tokens is sealed: no token and no JSON in it",
                 not any(t.encode() in sealed for t in seeded.values()) and b"logins" not in sealed
                 and b"provider.test" not in sealed, repr(sealed[:120]))
    read = {login: q.stored(*login) for login in LOGINS}
    checks.check("each login's token unseals again under the key the program makes", read == seeded,
                 str([(k, v[:8]) for k, v in read.items()]))

    # Sessions with refreshed access tokens, from the token endpoint over HTTPS.
    asked = oauth.count()
    done, log = q.session()
    checks.check("XOAUTH2 over POP3S: every message, byte-identical", done and q.maildrop("ivan") == first, log)
    checks.check("OAUTHBEARER after STLS: every message, byte-identical", q.maildrop("petr") == petr_first, log)
    checks.check("the provider mailboxes are empty", pop3.messages(IVAN) == [] and pop3.messages(PETR) == [])
    received = smtp.wait_received(1)
    checks.check("SMTP XOAUTH2 after STARTTLS: the queued message reached the sink whole",
                 len(received) == 1 and uploaded(received[0][2], 1), str(received)[:300])
    checks.check("the queue is empty", q.queued() == 0)
    grants = refresh_grants(oauth, asked)
    checks.check("WinHTTP: three refresh grants over HTTPS, with the seeded tokens",
                 sorted(grants) == sorted((t, True) for t in seeded.values()), str([(t[:8], s) for t, s in grants]))
    checks.check("the client id and secret went to the token endpoint",
                 all((r["form"].get("client_id") or [""])[0] == CLIENT_ID and
                     (r["form"].get("client_secret") or [""])[0] == SECRET
                     for r in oauth.requests[asked:] if r["path"] == "/token"))
    rotated = {login: q.stored(*login) for login in LOGINS}
    checks.check("each rotated refresh token is stored at once, and it is the good one",
                 all(rotated[login] and rotated[login] != seeded[login] and
                     oauth._refresh.get(rotated[login], {}).get("state") == "good" for login in LOGINS),
                 str([(k, v[:8]) for k, v in rotated.items()]))
    checks.check("the log tells of the new tokens, not what they are",
                 log.count("Сервер авторизации выдал новый маркер обновления") == 3, log)

    # The servers stop taking the access tokens: one refusal each, a renewed token, the mail comes.
    second = [message(10 + i, IVAN) for i in range(3)]
    for m in second:
        pop3.deliver(IVAN, m)
    pop3.deliver(PETR, message(110, PETR))
    q.queue(2)
    oauth.expire_access_tokens()
    asked = oauth.count()
    done, log = q.session()
    checks.check("a refused access token is renewed: the new mail comes",
                 done and q.maildrop("ivan") == first + second and
                 q.maildrop("petr") == petr_first + [message(110, PETR)], log)
    received = smtp.wait_received(2)
    checks.check("a refused access token is renewed: the queued message goes up",
                 len(received) == 2 and uploaded(received[1][2], 2) and q.queued() == 0,
                 str(received)[-300:])
    checks.check("each refusal's status is logged",
                 log.count("Ответ сервера на маркер доступа: status 401") == 2 and
                 log.count("Ответ сервера на маркер доступа: status invalid_token") == 1, log)
    grants = refresh_grants(oauth, asked)
    checks.check("the second session renews with the rotated refresh tokens it stored",
                 sorted(grants) == sorted((t, True) for t in rotated.values()), str([(t[:8], s) for t, s in grants]))

    # A revoked login: a clear line and status, all mail kept; petr's login stays good.
    for m in second:
        pop3.deliver(IVAN, m)
    revoked = [oauth.revoke(q.stored("pop3", IVAN)), oauth.revoke(q.stored("smtp", IVAN))]
    checks.check("revoked: both of ivan's stored refresh tokens were known to the platform", revoked == [True, True])
    oauth.expire_access_tokens()
    q.queue(3)
    done, log = q.session()
    checks.check("revoked: the log says the login no longer holds and how to log in again",
                 done and log.count("больше не действует (invalid_grant") == 2 and
                 "oauth login account 0 (в Windows: кнопка «Вход OAuth»" in log and
                 "oauth login smtp (в Windows: кнопка «Вход OAuth»" in log, log)
    checks.check("revoked: POP3 error 49 and SMTP error 34, the other account still collects",
                 log.count("Ошибка 49: работа POP3 клиента") == 1 and "Error number 34" in log, log)
    checks.check("revoked: the mail stays at the provider and in the queue",
                 len(pop3.messages(IVAN)) == 3 and q.queued() == 1 and len(smtp.received()) == 2)

    # A token endpoint whose certificate no one vouches for: no token, and neither the refresh
    # token nor the client secret goes to it.
    rogue = OAuthServer(types.SimpleNamespace(good=peers.material.rogue), client_secret=SECRET, http=False)
    try:
        q.token_url(rogue.url("/token"))
        pop3.deliver(PETR, message(111, PETR))
        oauth.expire_access_tokens()
        done, log = q.session()
        # Each part on its own, so that a failure says which one it was before the log.
        seen = {"done": done, "no token": log.count("Не получен маркер доступа для "),
                "unknown issuer": log.count('HTTPS: сертификат сервера "127.0.0.1" выдан неизвестным издателем'),
                "rogue": log.count('(issuer "CN=Rogue CA,'), "error 48": log.count("Ошибка 48: работа POP3 клиента"),
                "error 33": "Error number 33" in log, "petr": len(pop3.messages(PETR)),
                "ivan": len(pop3.messages(IVAN)), "queued": q.queued()}
        wanted = {"done": True, "no token": 3, "unknown issuer": 3, "rogue": 3, "error 48": 2, "error 33": True,
                  "petr": 1, "ivan": 3, "queued": 1}
        checks.check("an untrusted token endpoint: each login says so, nothing moves", seen == wanted,
                     f"{ {k: v for k, v in seen.items() if wanted[k] != v} } {log}")
        # WinHTTP sends the request's head before the certificate can be judged: only that.
        checks.check("an untrusted token endpoint never gets the form or credentials",
                     all(not r["body"] and not r["form"] and "authorization" not in r["headers"]
                         for r in rogue.requests), str(rogue.requests)[:500])
    finally:
        rogue.stop()

    # A new login, and the token endpoint over plain HTTP to 127.0.0.1.
    q.token_url(oauth.url("/token", False))
    again = {("pop3", IVAN): oauth.grant(IVAN)[1], ("smtp", IVAN): oauth.grant(IVAN)[1]}
    for (kind, user), token in again.items():
        q.seed(kind, "localhost", user, token)
    oauth.expire_access_tokens()
    asked = oauth.count()
    done, log = q.session()
    checks.check("over HTTP: after the new login every kept message comes",
                 done and q.maildrop("ivan") == first + second + second, log)
    received = smtp.wait_received(3)
    checks.check("over HTTP: the kept queued message goes up",
                 len(received) == 3 and uploaded(received[2][2], 3) and q.queued() == 0,
                 str(received)[-300:])
    checks.check("over HTTP: petr's login was never revoked", len(q.maildrop("petr")) == 5, log)
    grants = refresh_grants(oauth, asked)
    checks.check("over HTTP: three refresh grants, none over TLS",
                 len(grants) == 3 and not any(tls for _, tls in grants) and
                 {t for t, _ in grants} >= set(again.values()), str([(t[:8], s) for t, s in grants]))


def dialog_login(q, peers, checks):
    """A first login by device code from the account dialog, agreed to by the platform at its
    first poll; the next session logs in with what it stored."""
    oauth, pop3, desktop = peers.oauth, peers.pop3, q.desktop
    drive = desktop.drive

    def device_grants():
        return oauth.count("/token", "urn:ietf:params:oauth:grant-type:device_code")

    q.token_url(oauth.url("/token"))
    old = q.stored("pop3", IVAN)
    oauth.revoke(old)
    oauth.expire_access_tokens()
    oauth.auto_consent_after = 1
    grants = device_grants()
    drive("command", SETTINGS)
    opened = drive("wait", "#32770", COMMUNICATION).returncode == 0
    drive("select", COMMUNICATION, IDC_ACCOUNTS, "0")
    drive("click", COMMUNICATION, IDC_ACCOUNT_EDIT)
    opened = opened and drive("wait", "#32770", ACCOUNT).returncode == 0
    time.sleep(0.5)
    drive("click", ACCOUNT, IDC_ACCOUNT_OAUTH_LOGIN)
    told = wait_for(lambda: desktop.count("#32770", OAUTH_BOX) == "1", 40)
    desktop.shot("oauth_wine_login_done.png")
    asked = [r["form"] for r in oauth.requests if r["path"] == "/devicecode" and r["tls"]]
    stored = q.stored("pop3", IVAN)
    checks.check("Вход OAuth in the account dialog: the device flow over HTTPS stores a new sealed login",
                 opened and told and stored and stored != old and device_grants() == grants + 1 and
                 [(f.get("client_id"), f.get("scope")) for f in asked] == [([CLIENT_ID], ["mail offline_access"])]
                 and stored.encode() not in open(q.path("oauth.tokens"), "rb").read(),
                 "opened %s, told %s, device grants %d, %s" % (opened, told, device_grants() - grants, asked))
    drive("post-command", "#32770", OAUTH_BOX, OK)
    wait_for(lambda: desktop.count("#32770", OAUTH_BOX) == "0", 10)
    for title in (ACCOUNT, COMMUNICATION):
        drive("click", title, CANCEL)
        wait_for(lambda: desktop.count("#32770", title) == "0", 10)
    third = [message(20 + i, IVAN) for i in range(2)]
    for m in third:
        pop3.deliver(IVAN, m)
    before, asked = len(q.maildrop("ivan")), oauth.count()
    done, log = q.session()
    checks.check("the session logs in with the dialog's login",
                 done and q.maildrop("ivan")[before:] == third and (stored, True) in refresh_grants(oauth, asked), log)


def main():
    binary_dir = sys.argv[1]
    shots = sys.argv[2] if len(sys.argv) > 2 else os.path.join(binary_dir, "shots")
    checks = Checks()
    started = time.time()
    with OAuthPeers(client_secret=SECRET) as peers:
        q = Program(binary_dir, shots, peers)
        try:
            run(q, peers, checks)
            dialog_login(q, peers, checks)
            # No token or secret anywhere a person or another program reads.
            oauth = peers.oauth
            secrets = list(oauth._access) + list(oauth._refresh)
            places = {"quelma.log": q.log(),
                      "quelma.cfg": open(q.path("quelma.cfg"), "rb").read().decode("cp1251"),
                      "oauth.tokens": open(q.path("oauth.tokens"), "rb").read().decode("latin-1")}
            for name, text in places.items():
                leaked = [s[:12] for s in secrets if s in text]
                checks.check("no token in %s (%d tokens issued)" % (name, len(secrets)), not leaked, str(leaked))
            checks.check("no client secret in quelma.log", SECRET not in q.log())
            if checks.failures:
                print(q.log()[-6000:])
                print(peers.pop3.log()[-2000:])
        finally:
            if os.environ.get("QUELMA_KEEP_LOG"):
                open(os.environ["QUELMA_KEEP_LOG"], "w").write(q.log())
            q.stop(checks)
            shutil.rmtree(q.dir, ignore_errors=True)
    print("oauth_wine_interop took %.0f s" % (time.time() - started))
    return checks.result()


if __name__ == "__main__":
    sys.exit(main())
