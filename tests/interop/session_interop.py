#!/usr/bin/env python3
"""A whole working day in one run, all on 127.0.0.1: Dovecot is the provider's POP3 server with
two accounts (one delivering to ivan, one through the sorter), aiosmtpd its SMTP server.
A local user hands in mail through quelma's SMTP server for a local user and for an outside
address; mail to the daemon user starts a session; the outside message reaches the provider
from the alias; both accounts are downloaded and sorted; the local mail programs collect it
all through quelma's POP3 server. The passwords are set with "quelma set-password"."""
import os
import poplib
import shutil
import smtplib
import subprocess
import sys
import tempfile
import time

import pop3_client_interop as dove
import smtp_client_interop as provider_smtp
from quelma_process import Checks, Quelma, account_port, scramble

from aiosmtpd.controller import Controller


def set_password(binary, directory, what, password):
    return subprocess.run([binary, "--dir", directory, "set-password"] + what, input=password.encode() + b"\n",
                          capture_output=True).returncode


def collect(port, user, password):
    box = poplib.POP3("127.0.0.1", port, timeout=10)
    box.user(user)
    box.pass_(password)
    texts = [b"\r\n".join(box.retr(i + 1)[1]) for i in range(len(box.list()[1]))]
    box.quit()
    return texts


def wait_for(condition, seconds):
    end = time.time() + seconds
    while time.time() < end:
        if condition():
            return True
        time.sleep(0.1)
    return condition()


def main():
    binary = sys.argv[1]
    checks = Checks()
    if shutil.which("dovecot") is None:
        checks.check("dovecot is installed", False)
        return 1
    work = tempfile.mkdtemp(prefix="quelma-session-")
    os.chmod(work, 0o755)
    pop3_port, smtp_port = account_port(), account_port()
    dove.fill_maildir(work, "plainuser", [b"Subject: for ivan %d\r\n\r\nbody %d\r\n" % (i, i) for i in range(3)])
    dove.fill_maildir(work, "apopuser", [b"Subject: for petr\r\nTo: <office@provider.test>\r\n\r\nsorted\r\n",
                                         b"Subject: nobody's\r\n\r\nunsorted\r\n"])
    subprocess.run(["chown", "-R", "dovecot:dovecot", os.path.join(work, "home")], check=True)
    conf = dove.dovecot(work, pop3_port)
    subprocess.run(["dovecot", "-c", conf], check=True)
    smtp = provider_smtp.Provider()
    controller = Controller(smtp, hostname="127.0.0.1", port=smtp_port, authenticator=provider_smtp.authenticator,
                            auth_require_tls=False)
    controller.start()
    server = None
    try:
        server = Quelma(binary, ["LocalDomain = office.ru", "PostMaster = postmaster", "SMTPServer = 127.0.0.1",
                                 "SMTPSport = %d" % smtp_port, "SMTP_USES_LOGIN = 1", "SMTP_LOGIN_NAME = office",
                                 "SMTP_LOGIN_PASS = %s" % scramble("not yet"), "[POP3accounts]",
                                 "127.0.0.1 plainuser ; %s-%d-0-ivan" % (scramble("x"), pop3_port),
                                 "127.0.0.1 apopuser ; %s-%d-0-*" % (scramble("x"), pop3_port)],
                        ["postmaster pm ; ", "daemon  ; ", "ivan iv ; ivan.petrov@provider.test", "petr pe ; "])
        with open(server.path("sorter.cfg"), "wb") as f:
            f.write(b"\r\nSubject\r\nfor petr\r\npetr\r\n1\r\n")
        checks.check("set-password smtp", set_password(binary, server.dir, ["smtp"], provider_smtp.PASSWORD.decode()) == 0)
        checks.check("set-password account 0", set_password(binary, server.dir, ["account", "0"], "secret1") == 0)
        checks.check("set-password account 1", set_password(binary, server.dir, ["account", "1"], "secret2") == 0)
        checks.check("set-password refuses a password the file cannot keep",
                     set_password(binary, server.dir, ["smtp"], "x" * 33) != 0)
        checks.check("set-password for a missing account fails",
                     set_password(binary, server.dir, ["account", "2"], "x") != 0)

        with smtplib.SMTP("127.0.0.1", server.smtp, timeout=10) as s:
            s.sendmail("ivan@office.ru", ["petr@office.ru", "far@far.away"],
                       b"From: Ivan <ivan@office.ru>\r\nSubject: hello\r\n\r\nfor a colleague and a friend\r\n")
            checks.check("the outside message waits in the queue", len(os.listdir(server.path("queue"))) == 1)
            s.sendmail("ivan@office.ru", ["daemon@office.ru"], b"Subject: go\r\n\r\nsession, please\r\n")
        log_path = server.path("quelma.log")
        log = lambda: open(log_path, "rb").read().decode("cp1251") if os.path.exists(log_path) else ""
        checks.check("mail to the daemon starts a session within about two seconds",
                     wait_for(lambda: "*** Отправка исходящих сообщений по SMTP" in log(), 5))
        checks.check("the daemon's maildrop is gone", not os.path.exists(server.path("maildrop", "daemon")))
        done = wait_for(lambda: len(smtp.received) == 1
                        and not os.path.exists(server.path("maildrop", "pop3_download.runs"))
                        and "Отключение от сервера." in log(), 30)
        checks.check("the session ended", done)
        checks.check("the outside message reached the provider from the alias",
                     [r[0] for r in smtp.received] == ["ivan.petrov@provider.test"]
                     and smtp.received[0][1] == ["far@far.away"]
                     and b"From: Ivan <ivan.petrov@provider.test>" in smtp.received[0][2])
        for user in ("plainuser", "apopuser"):
            left = os.listdir(os.path.join(work, "home", user, "Maildir", "cur"))
            checks.check("the provider account %s is empty" % user, left == [], str(left))
        checks.check("the queue is empty", os.listdir(server.path("queue")) == [])
        checks.check("mail.txt is gone", not os.path.exists(server.path("mail.txt")))

        ivan = collect(server.pop3, "ivan", "iv")
        petr = collect(server.pop3, "petr", "pe")
        postmaster = collect(server.pop3, "postmaster", "pm")
        checks.check("ivan collects his three downloaded messages",
                     sorted(t.split(b"\r\n")[0] for t in ivan) == [b"Subject: for ivan %d" % i for i in range(3)])
        checks.check("petr collects the local message and the sorted one",
                     len(petr) == 2 and any(b"for a colleague" in t for t in petr) and any(b"sorted" in t for t in petr))
        checks.check("the message no rule took went to the postmaster", any(b"unsorted" in t for t in postmaster))
        text = log()
        for what, line in (("SMTP hand-in", "SMTPSRV>"), ("upload", "Сообщение отправлено."),
                           ("download", "Все сообщения загружены и удалены с сервера."), ("POP3 collection", "POP3SRV>")):
            checks.check("the log shows the %s" % what, line in text)
        if checks.failures:
            print(text[-4000:])
    finally:
        if server:
            checks.check("quelma exits 0 on SIGINT", server.stop() == 0)
        controller.stop()
        subprocess.run(["dovecot", "-c", conf, "stop"], capture_output=True)
        shutil.rmtree(work, ignore_errors=True)
    return checks.result()


if __name__ == "__main__":
    sys.exit(main())
