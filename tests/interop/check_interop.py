#!/usr/bin/env python3
"""quelma check against real providers on 127.0.0.1: Dovecot's POP3 (implicit TLS, passwords and
XOAUTH2) and Postfix submission (STARTTLS, SASL through that Dovecot), from oauth_peers.py. A
good account and the SMTP login pass every step with exit code 0; a wrong password fails the
login with the set-password hint; an account never authorised fails it with the "oauth login"
hint, and once authorised passes, and with its refresh token revoked fails again with that hint;
a mistaken port fails the connect; a certificate no trusted authority signed fails the TLS
step; the running program's own ports pass, another program's port fails; a disk almost full
fails the disk step (on a small tmpfs, as root). The mail at the provider stays where it was,
and nothing is sent."""
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile

from oauth_peers import OAuthPeers
from quelma_process import Checks, Quelma, account_port, free_port, scramble

ANNA, IVAN = "anna@provider.test", "ivan@provider.test"


def run_check(binary, directory, words):
    p = subprocess.run([binary, "--dir", directory, "check"] + words, capture_output=True, timeout=120)
    return p.returncode, p.stdout.decode("utf-8", "replace") + p.stderr.decode("utf-8", "replace")


def step(report, mark, name):
    """Whether the report has the step line `name` with the verdict mark."""
    return any(line.strip() == mark + " " + name for line in report.splitlines())


def main():
    binary = sys.argv[1]
    checks = Checks()
    with OAuthPeers(passwords={ANNA: "anna-pw"}) as peers:
        o, pop3s = peers.oauth, peers.pop3.pop3s_port
        closed = account_port()  # nothing listens there
        parameters = [
            "LocalDomain = office.ru", "PostMaster = postmaster", "TLS_CA_FILE = " + peers.material.ca["cert"],
            "SMTPServer = localhost", "SMTPSport = %d" % peers.smtp.starttls_port, "SMTP_TLS = STARTTLS",
            "SMTP_USES_LOGIN = 1", "SMTP_LOGIN_NAME = " + ANNA, "SMTP_LOGIN_PASS = " + scramble("anna-pw"),
            "OAUTH_TESTIDP_TOKEN_URL = " + o.url("/token"), "OAUTH_TESTIDP_CLIENT_ID = quelmar-office-client",
            "[POP3accounts]",
            "localhost %s ; %s-%d-0-anna tls=ssl" % (ANNA, scramble("anna-pw"), pop3s),
            "localhost %s ; %s-%d-0-anna tls=ssl" % (ANNA, scramble("wrong-pw"), pop3s),
            "localhost %s ; -%d-0-ivan tls=ssl auth=xoauth2 oauth=testidp" % (IVAN, pop3s),
            "127.0.0.1 %s ; %s-%d-0-anna" % (ANNA, scramble("anna-pw"), closed),
        ]
        message = b"Subject: stays\r\n\r\nat the provider\r\n"
        peers.pop3.deliver(ANNA, message)
        q = Quelma(binary, parameters, ["postmaster pm ; ", "anna an ; "])
        other = tempfile.mkdtemp(prefix="quelma-check-")
        try:
            code, report = run_check(binary, q.dir, ["account", "0"])
            checks.check("a good account passes every step: exit 0", code == 0 and report.count("[ OK ]") == 6
                         and step(report, "[ OK ]", "TLS") and step(report, "[ OK ]", "Вход"), report)
            checks.check("the TLS step names the certificate seen", "CN=localhost" in report, report)

            code, report = run_check(binary, q.dir, ["smtp"])
            checks.check("the SMTP login after STARTTLS passes: exit 0",
                         code == 0 and step(report, "[ OK ]", "TLS") and step(report, "[ OK ]", "Вход")
                         and "AUTH PLAIN" in report, report)

            code, report = run_check(binary, q.dir, ["account", "1"])
            checks.check("a wrong password fails the login with the set-password hint: exit 1",
                         code == 1 and step(report, "[СБОЙ]", "Вход")
                         and "quelma set-password account 1" in report, report)

            code, report = run_check(binary, q.dir, ["account", "2"])
            checks.check("an account never authorised fails the login with the oauth login hint",
                         code == 1 and step(report, "[ OK ]", "Возможности") and step(report, "[СБОЙ]", "Вход")
                         and "quelma oauth login account 2" in report, report)

            # Authorised: the refresh token where "oauth login" puts it.
            _, refresh = o.grant(user=IVAN)
            with open(os.path.join(q.dir, "oauth.tokens"), "w") as f:
                json.dump({"logins": {"pop3 localhost " + IVAN: refresh}}, f)
            os.chmod(os.path.join(q.dir, "oauth.tokens"), 0o600)
            code, report = run_check(binary, q.dir, ["account", "2"])
            checks.check("the account once authorised passes its XOAUTH2 login: exit 0",
                         code == 0 and step(report, "[ OK ]", "Вход"), report)
            o.revoke(json.load(open(os.path.join(q.dir, "oauth.tokens")))["logins"]["pop3 localhost " + IVAN])
            code, report = run_check(binary, q.dir, ["account", "2"])
            checks.check("its refresh token revoked: the login fails with the oauth login hint",
                         code == 1 and step(report, "[СБОЙ]", "Вход") and "quelma oauth login account 2" in report,
                         report)

            code, report = run_check(binary, q.dir, ["account", "3"])
            checks.check("a port where nothing listens fails the connect",
                         code == 1 and step(report, "[СБОЙ]", "Соединение") and step(report, "[ -- ]", "Вход"),
                         report)

            code, report = run_check(binary, q.dir, ["local"])
            checks.check("the running program's ports pass as its own: exit 0",
                         code == 0 and report.count("занят работающей программой quelma") == 3, report)

            code, report = run_check(binary, q.dir, [])
            checks.check("all: every target in one report, exit 1 for the failing accounts",
                         code == 1 and report.count("Счет ") == 4 and "SMTP сервер провайдера" in report
                         and "Эта машина" in report, report)

            # Another directory, no program running on it, its SMTP port held by someone else.
            for sub in ("maildrop", "queue"):
                os.mkdir(os.path.join(other, sub))
            with socket.socket() as holder:
                holder.bind(("0.0.0.0", 0))
                holder.listen(1)
                cfg = ["[Parameters]", "MailDropDir = %s/maildrop/" % other, "QueueDir = %s/queue/" % other,
                       "LocalDomain = office.ru", "SMTP_SRV_PORT = %d" % holder.getsockname()[1],
                       "POP3_SRV_PORT = %d" % free_port(), "IMAP_SRV_PORT = %d" % free_port(),
                       "[Users]", "postmaster pm ; "]
                with open(os.path.join(other, "quelma.cfg"), "wb") as f:
                    f.write("\r\n".join(cfg + [""]).encode("cp1251"))
                code, report = run_check(binary, other, ["local"])
            checks.check("another program's port fails the port step: exit 1",
                         code == 1 and any(line.strip().startswith("[СБОЙ] Порт SMTP") for line in report.splitlines()),
                         report)

            # The same directory without the test authority: the provider's certificate is untrusted.
            with open(os.path.join(other, "quelma.cfg"), "wb") as f:
                f.write("\r\n".join(cfg[:-2] + ["[POP3accounts]", "localhost %s ; %s-%d-0-postmaster tls=ssl"
                                                  % (ANNA, scramble("anna-pw"), pop3s)] + cfg[-2:] + [""]).encode("cp1251"))
            code, report = run_check(binary, other, ["account", "0"])
            checks.check("an untrusted certificate fails the TLS step, no login tried: exit 1",
                         code == 1 and step(report, "[СБОЙ]", "TLS") and step(report, "[ -- ]", "Вход"), report)

            if os.geteuid() == 0:
                disk = os.path.join(other, "disk")
                os.mkdir(disk)
                subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", disk], check=True)
                try:
                    os.mkdir(os.path.join(disk, "maildrop"))
                    with open(os.path.join(other, "quelma.cfg"), "wb") as f:
                        f.write("\r\n".join(cfg + [""]).replace("%s/maildrop/" % other, "%s/maildrop/" % disk)
                                .encode("cp1251"))
                    code, report = run_check(binary, other, ["local"])
                finally:
                    subprocess.run(["umount", "-l", disk], check=False)
                checks.check("a disk almost full fails the disk step with its hint: exit 1",
                             code == 1 and step(report, "[СБОЙ]", "Место на диске")
                             and "Освободите место" in report, report)
            else:
                print("skip a disk almost full (mounting a small tmpfs needs root)")

            checks.check("the message is still at the provider", peers.pop3.messages(ANNA) == [message],
                         repr(peers.pop3.messages(ANNA)))
            checks.check("nothing was sent", peers.smtp.received() == [], repr(peers.smtp.received()))
        finally:
            checks.check("quelma exits 0 on SIGINT", q.stop() == 0)
            shutil.rmtree(other, ignore_errors=True)
    return checks.result()


if __name__ == "__main__":
    sys.exit(main())
