#!/usr/bin/env python3
"""quelma's two provider clients logging in with OAuth 2.0 tokens, against real servers on
127.0.0.1: Dovecot's POP3 with its oauth2 passdb (XOAUTH2 over POP3S, OAUTHBEARER after STLS)
and Postfix submission with SASL through that Dovecot (XOAUTH2 after STARTTLS, OAUTHBEARER over
implicit TLS), the tokens checked at a local identity platform over HTTPS (oauth_peers.py).

The whole life of a token: sessions before any login fail with "log in again" and keep every
message; the first login by the device flow on the command line (the test plays the user's
consent); sessions with a refreshed access token, the rotated refresh token stored at once; an
access token the server stops taking is renewed after the refusal; a revoked refresh token gives
a clear log line and status while all mail stays; a new login by the loopback redirect with PKCE
(the test plays the browser); and no token or secret in quelma.log, the terminal or quelma.cfg."""
import base64
import json
import os
import re
import signal
import smtplib
import ssl
import stat
import subprocess
import sys
import time
import urllib.request

from oauth_peers import OAuthPeers
from quelma_process import Checks, Quelma
from pop3_client_interop import maildrop_texts

IVAN, PETR = "ivan@provider.test", "petr@provider.test"
SECRET = "client-secret-7f3a"


def field(request, part, name):
    """The first value of `name` in a recorded request's form or query ("" when none)."""
    return (request[part].get(name) or [""])[0]


def message(i, to):
    return ("From: <anna@office.ru>\r\nTo: <%s>\r\nSubject: oauth %d\r\n\r\n" % (to, i)
            + "Строка %d письма\r\n.leading dot\r\n" % i).encode("cp1251")


def command(binary, directory, words, until, act, timeout=90):
    """Runs `quelma --dir DIRECTORY WORDS`, hands the first printed line matching `until` to
    `act`, and returns the exit code and all it printed."""
    p = subprocess.Popen([binary, "--dir", directory] + words, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    printed = ""
    deadline = time.time() + timeout
    for raw in p.stdout:
        line = raw.decode("utf-8", "replace")
        printed += line
        found = re.search(until, line)
        if found:
            act(found)
            break
        if time.time() > deadline:
            break
    try:
        out, err = p.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        p.kill()
        out, err = p.communicate()
    return p.returncode, printed + out.decode("utf-8", "replace") + err.decode("utf-8", "replace")


def device_login(binary, directory, oauth, words, user):
    """`quelma oauth login WORDS` by the device flow, `user` giving consent at `oauth`."""
    return command(binary, directory, ["oauth", "login"] + words, r"введите код (\S+)",
                   lambda m: oauth.consent(m.group(1), user=user))


class Driver:
    def __init__(self, binary, peers, checks):
        self.binary, self.peers, self.checks = binary, peers, checks
        self.outputs = []  # everything the command line printed
        o = peers.oauth
        parameters = [
            "LocalDomain = office.ru", "PostMaster = postmaster", "TLS_CA_FILE = " + peers.material.ca["cert"],
            "SMTPServer = localhost", "SMTPSport = %d" % peers.smtp.starttls_port, "SMTP_TLS = STARTTLS",
            "SMTP_USES_LOGIN = 1", "SMTP_LOGIN_NAME = " + IVAN, "SMTP_AUTH = XOAUTH2", "SMTP_OAUTH = testidp",
            "OAUTH_TESTIDP_TOKEN_URL = " + o.url("/token"), "OAUTH_TESTIDP_DEVICE_URL = " + o.url("/devicecode"),
            "OAUTH_TESTIDP_AUTHORIZE_URL = " + o.url("/authorize"), "OAUTH_TESTIDP_CLIENT_ID = quelmar-office-client",
            "OAUTH_TESTIDP_CLIENT_SECRET = " + SECRET, "OAUTH_TESTIDP_SCOPES = mail offline_access",
            "[POP3accounts]",
            "localhost %s ; -%d-0-ivan tls=ssl auth=xoauth2 oauth=testidp" % (IVAN, peers.pop3.pop3s_port),
            "localhost %s ; -%d-0-petr tls=stls auth=oauthbearer oauth=testidp" % (PETR, peers.pop3.pop3_port),
        ]
        self.q = Quelma(binary, parameters, ["postmaster", "ivan", "petr", "anna"])

    def cfg(self, old, new):
        path = self.q.path("quelma.cfg")
        text = open(path, "rb").read().decode("cp1251")
        open(path, "wb").write(text.replace(old, new).encode("cp1251"))

    def queue(self, i):
        with smtplib.SMTP("127.0.0.1", self.q.smtp, timeout=30) as s:
            s.sendmail("anna@office.ru", ["friend@outside.test"], message(i, "friend@outside.test"))

    def session(self):
        """One communication session: the log lines it wrote."""
        before = len(self.q.log())
        self.q.proc.send_signal(signal.SIGUSR1)
        markers = [self.q.path("maildrop", m) for m in ("pop3_download.runs", "smtp_upload.runs")]
        for _ in range(1200):
            new = self.q.log()[before:]
            if (new.count("*** Загрузка почты с POP3 сервера") == 2 and "*** Отправка" in new
                    and not any(os.path.exists(m) for m in markers)):
                break
            time.sleep(0.1)
        time.sleep(0.5)
        return self.q.log()[before:]

    def command(self, words, until, act, timeout=90):
        code, printed = command(self.binary, self.q.dir, words, until, act, timeout)
        self.outputs.append(printed)
        return code, printed

    def device_login(self, words, user):
        code, printed = device_login(self.binary, self.q.dir, self.peers.oauth, words, user)
        self.outputs.append(printed)
        return code, printed

    def loopback_login(self, words):
        pages = []

        class NoRedirect(urllib.request.HTTPRedirectHandler):
            def redirect_request(self, *args):
                return None

        def browse(found):
            context = ssl.create_default_context(cafile=self.peers.material.ca["cert"])
            opener = urllib.request.build_opener(urllib.request.HTTPSHandler(context=context), NoRedirect)
            try:
                opener.open(found.group(0), timeout=20)
                location = None
            except urllib.error.HTTPError as e:  # the 302 back to the loopback address
                location = e.headers.get("Location")
            if location:
                pages.append(urllib.request.urlopen(location, timeout=20).read().decode("cp1251"))

        code, printed = self.command(["oauth", "login"] + words, r"https://\S+/authorize\S+", browse)
        return code, printed, pages


def main():
    binary = sys.argv[1]
    checks = Checks()
    with OAuthPeers(client_secret=SECRET) as peers:
        d = Driver(binary, peers, checks)
        try:
            run(d, peers, checks)
        finally:
            checks.check("quelma exits 0 on SIGINT", d.q.stop() == 0)
    return checks.result()


def alert_subjects(maildrop):
    """The decoded subjects of the program's alerts in a maildrop."""
    if not os.path.exists(maildrop):
        return []
    text = open(maildrop, "rb").read().decode("cp1251", "replace")
    return [value.split("=?")[0] + b"".join(base64.b64decode(w) for w in re.findall(r"=\?windows-1251\?B\?([^?]*)\?=", value)).decode("cp1251")
            for value in re.findall(r"\r\nSubject: (\[Quelmar\][^\r]*(?:\r\n [^\r]*)*)", text)]


def run(d, peers, checks):
    pop3, smtp, oauth = peers.pop3, peers.smtp, peers.oauth
    first = [message(i, IVAN) for i in range(5)]
    for m in first:
        pop3.deliver(IVAN, m)
    for i in range(3):
        pop3.deliver(PETR, message(100 + i, PETR))
    d.queue(1)

    # Before any login: each login says what to do, and nothing moves.
    log = d.session()
    checks.check("before a login: POP3 error 49 for each account", log.count("Ошибка 49: работа POP3 клиента") == 2, log)
    checks.check("before a login: SMTP error 34", "Error number 34" in log, log)
    checks.check("before a login: the log says how to log in",
                 "не выполнен вход OAuth. Войдите заново: quelma --dir %s/ oauth login account 0" % d.q.dir in log, log)
    checks.check("before a login: the mail stays at the provider and in the queue",
                 len(pop3.messages(IVAN)) == 5 and len(os.listdir(d.q.path("queue"))) == 1)

    # The first login of each, by the device flow.
    for words, user in ((["account", "0"], IVAN), (["account", "1"], PETR), (["smtp"], IVAN)):
        code, printed = d.device_login(words, user)
        checks.check("device login %s: exit 0" % " ".join(words), code == 0 and "Вход выполнен" in printed, printed)
    checks.check("the device flow asked with our client id and scopes",
                 all(field(r, "form", "client_id") == "quelmar-office-client" and field(r, "form", "scope") == "mail offline_access"
                     for r in oauth.requests if r["path"] == "/devicecode"))
    tokens_file = d.q.path("oauth.tokens")
    checks.check("the refresh tokens are in a file for the owner alone",
                 os.path.exists(tokens_file) and stat.S_IMODE(os.stat(tokens_file).st_mode) == 0o600)
    stored_before = open(tokens_file).read()

    # Sessions with refreshed access tokens: every message, byte-identical.
    log = d.session()
    checks.check("XOAUTH2 over POP3S: every message, byte-identical",
                 maildrop_texts(d.q.path("maildrop", "ivan")) == first, log)
    checks.check("OAUTHBEARER after STLS: every message",
                 len(maildrop_texts(d.q.path("maildrop", "petr"))) == 3, log)
    checks.check("the provider mailboxes are empty", pop3.messages(IVAN) == [] and pop3.messages(PETR) == [])
    received = smtp.wait_received(1)
    checks.check("SMTP XOAUTH2 after STARTTLS: the queued message reached the sink",
                 len(received) == 1 and b"Subject: oauth 1" in received[0][2], str(received)[:300])
    checks.check("the queue is empty", os.listdir(d.q.path("queue")) == [])
    checks.check("three refresh grants", oauth.count("/token", "refresh_token") == 3, str(oauth.counts))
    stored_after = open(tokens_file).read()
    rotated = [field(r, "form", "refresh_token") for r in oauth.requests if field(r, "form", "grant_type") == "refresh_token"]
    checks.check("each rotated refresh token is stored at once",
                 stored_after != stored_before and all(t not in stored_after for t in rotated), "")
    checks.check("the client secret went to the token endpoint",
                 all(field(r, "form", "client_secret") == SECRET for r in oauth.requests if r["path"] == "/token"))

    # The server stops taking the access tokens: one refusal, a renewed token, the mail comes.
    second = [message(10 + i, IVAN) for i in range(3)]
    for m in second:
        pop3.deliver(IVAN, m)
    oauth.expire_access_tokens()
    grants = oauth.count("/token", "refresh_token")
    log = d.session()
    checks.check("a refused access token is renewed: the new mail comes",
                 maildrop_texts(d.q.path("maildrop", "ivan")) == first + second, log)
    checks.check("the refusal's status is logged", "Ответ сервера на маркер доступа: status 401" in log, log)
    checks.check("renewed with the refresh token", oauth.count("/token", "refresh_token") > grants)

    # A revoked refresh token: a clear line and status, all mail kept.
    for m in second:
        pop3.deliver(IVAN, m)
    stored = json.load(open(tokens_file))["logins"]
    for login in ("pop3 localhost " + IVAN, "smtp localhost " + IVAN):  # petr's stays good
        checks.check("revoked: %s's refresh token was known" % login, oauth.revoke(stored.get(login, "")))
    oauth.expire_access_tokens()
    d.queue(2)
    log = d.session()
    checks.check("revoked: the log says the login no longer holds and how to log in again",
                 "больше не действует (invalid_grant" in log and
                 "Войдите заново: quelma --dir %s/ oauth login account 0" % d.q.dir in log, log)
    checks.check("revoked: POP3 error 49 and SMTP error 34", "Ошибка 49: работа POP3 клиента" in log and
                 "Error number 34" in log, log)
    checks.check("revoked: the mail stays at the provider and in the queue",
                 len(pop3.messages(IVAN)) == 3 and len(os.listdir(d.q.path("queue"))) == 1)
    status = subprocess.run([d.binary, "--dir", d.q.dir, "status", "--json"], capture_output=True)
    s = json.loads(status.stdout) if status.returncode == 0 else {"accounts": [{}, {}], "smtp": {}}
    checks.check("revoked: status --json names the logins that need a new login, and the one that holds",
                 [a.get("oauth") for a in s["accounts"]] == ["needs login", "good"] and s["smtp"].get("oauth") == "needs login",
                 status.stdout.decode(errors="replace"))
    revoked = "[Quelmar] Счет 0 (POP3 localhost, %s): нужен новый вход OAuth" % IVAN
    for _ in range(100):  # the watch looks on the timer's next tick
        if alert_subjects(d.q.path("maildrop", "postmaster")).count(revoked) >= 2:
            break
        time.sleep(0.1)
    subjects = alert_subjects(d.q.path("maildrop", "postmaster"))
    checks.check("revoked: the postmaster is told again (the first time was before any login), with the command",
                 subjects.count(revoked) == 2 and "quelma oauth login account 0" in open(
                     d.q.path("maildrop", "postmaster"), "rb").read().decode("cp1251"), str(subjects))

    # A new login by the browser (loopback redirect with PKCE); SMTP again, by OAUTHBEARER over TLS.
    d.cfg("OAUTH_TESTIDP_SCOPES", "OAUTH_TESTIDP_FLOW = LOOPBACK\r\nOAUTH_TESTIDP_SCOPES")
    code, printed, pages = d.loopback_login(["account", "0"])
    checks.check("loopback login: exit 0 and the browser's page", code == 0 and pages and "Вход выполнен" in pages[0],
                 printed + repr(pages))
    authorize = [r for r in oauth.requests if r["path"] == "/authorize"]
    checks.check("loopback login: PKCE S256 and a 127.0.0.1 redirect",
                 authorize and field(authorize[-1], "query", "code_challenge_method") == "S256" and
                 field(authorize[-1], "query", "redirect_uri").startswith("http://127.0.0.1:"), str(authorize[-1:]))
    code, printed, pages = d.loopback_login(["smtp"])
    checks.check("loopback login smtp: exit 0", code == 0, printed)
    for m in second:
        pop3.deliver(PETR, m)
    d.cfg("SMTPSport = %d" % smtp.starttls_port, "SMTPSport = %d" % smtp.tls_port)
    d.cfg("SMTP_TLS = STARTTLS", "SMTP_TLS = SSL")
    d.cfg("SMTP_AUTH = XOAUTH2", "SMTP_AUTH = OAUTHBEARER")
    log = d.session()
    checks.check("after the new login every kept message comes",
                 maildrop_texts(d.q.path("maildrop", "ivan")) == first + second + second, log)
    checks.check("petr's login was never revoked", len(maildrop_texts(d.q.path("maildrop", "petr"))) == 6, log)
    for _ in range(100):
        if ("[Quelmar] исправлено: " + revoked[10:]) in alert_subjects(d.q.path("maildrop", "postmaster")):
            break
        time.sleep(0.1)
    checks.check("after the new login the alert's end is told",
                 ("[Quelmar] исправлено: " + revoked[10:]) in alert_subjects(d.q.path("maildrop", "postmaster")),
                 str(alert_subjects(d.q.path("maildrop", "postmaster"))))
    received = smtp.wait_received(2)
    checks.check("SMTP OAUTHBEARER over implicit TLS: the kept message reached the sink",
                 len(received) == 2 and b"Subject: oauth 2" in received[1][2])

    # Presets from the command line: the account and the SMTP settings filled, the login kept.
    preset = subprocess.run([d.binary, "--dir", d.q.dir, "preset", "account", "1", "gmail"], capture_output=True)
    cfg = open(d.q.path("quelma.cfg"), "rb").read().decode("cp1251")
    checks.check("preset account 1 gmail", preset.returncode == 0 and
                 re.search(r"\r\npop\.gmail\.com petr@provider\.test ; [^\r]*-995-0-petr tls=ssl auth=xoauth2 oauth=google\r\n", cfg)
                 is not None and "oauth login account 1" in preset.stdout.decode(), cfg)
    preset = subprocess.run([d.binary, "--dir", d.q.dir, "preset", "smtp", "microsoft"], capture_output=True)
    cfg = open(d.q.path("quelma.cfg"), "rb").read().decode("cp1251")
    checks.check("preset smtp microsoft", preset.returncode == 0 and "SMTPServer = smtp.office365.com\r\n" in cfg and
                 "SMTPSport = 587\r\n" in cfg and "SMTP_TLS = STARTTLS\r\n" in cfg and "SMTP_OAUTH = microsoft\r\n" in cfg, cfg)
    for words in (["account", "9", "gmail"], ["smtp", "aol"], ["account", "0"]):
        wrong = subprocess.run([d.binary, "--dir", d.q.dir, "preset"] + words, capture_output=True)
        checks.check("preset %s: refused" % " ".join(words), wrong.returncode == 2, wrong.stderr.decode())

    # A platform's client id (an office's own registered application) from the command line.
    set_id = subprocess.run([d.binary, "--dir", d.q.dir, "oauth", "set", "microsoft", "client_id", "0f1e2d3c-app"],
                            capture_output=True)
    cfg = open(d.q.path("quelma.cfg"), "rb").read().decode("cp1251")
    checks.check("oauth set microsoft client_id", set_id.returncode == 0 and
                 "OAUTH_MICROSOFT_CLIENT_ID = 0f1e2d3c-app\r\n" in cfg, cfg)
    subprocess.run([d.binary, "--dir", d.q.dir, "oauth", "set", "microsoft", "client_id"], capture_output=True)
    cfg = open(d.q.path("quelma.cfg"), "rb").read().decode("cp1251")
    checks.check("oauth set without a value removes the key", "OAUTH_MICROSOFT_CLIENT_ID" not in cfg, cfg)
    wrong = subprocess.run([d.binary, "--dir", d.q.dir, "oauth", "set", "microsoft", "password", "x"], capture_output=True)
    checks.check("oauth set of an unknown field: refused", wrong.returncode == 2, wrong.stderr.decode())

    # No token or secret anywhere a person or another program reads.
    secrets = list(oauth._access) + list(oauth._refresh) + [SECRET]
    places = {"quelma.log": d.q.log(), "the terminal": "".join(d.outputs),
              "quelma.cfg": open(d.q.path("quelma.cfg"), "rb").read().decode("cp1251").replace(SECRET, "")}
    for name, text in places.items():
        leaked = [s[:12] for s in secrets if s in text]
        checks.check("no token in %s" % name, not leaked, str(leaked))
    if checks.failures:
        print(d.q.log()[-6000:])
        print(pop3.log()[-2000:])


if __name__ == "__main__":
    sys.exit(main())
