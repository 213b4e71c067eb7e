#!/usr/bin/env python3
"""Mail handed in with Python's smtplib, swaks and curl reaches the local maildrops and the
queue exactly, and comes back out through our POP3 server byte for byte."""
import os
import poplib
import shutil
import smtplib
import subprocess
import sys
import tempfile

from quelma_process import Checks, Quelma

QUELMA = sys.argv[1]


def start():
    server = Quelma(QUELMA, ["LocalDomain = office.ru", "PostMaster = postmaster"], ["postmaster", "ivan", "petr"])
    server.collect = lambda user: collect(server, user)
    server.queue = lambda: {name: open(server.path("queue", name), "rb").read()
                            for name in sorted(os.listdir(server.path("queue")))}
    return server


def collect(server, user):
    p = poplib.POP3("127.0.0.1", server.pop3, timeout=10)
    p.user(user)
    p.pass_("x")
    count = p.stat()[0]
    texts = [b"\r\n".join(p.retr(n)[1]) + b"\r\n" for n in range(1, count + 1)]
    for n in range(1, count + 1):
        p.dele(n)
    p.quit()
    return texts


checks = Checks()
check = checks.check


# Line lengths around the limits of every reader on the way (the sorter's, the intake's, the
# POP3 client's receive, the 64 KiB pieces), each stored and collected as it was sent.
BOUNDARY_LENGTHS = [996, 997, 998, 999, 1197, 1198, 1199, 1200, 1201, 1497, 1498, 1499, 1500,
                    1994, 1995, 1996, 1997, 65534, 65535, 65536, 65537, 65538]


def with_smtplib(server):
    poplib._MAXLINE = 1 << 20  # the long lines come back whole
    lines = "".join("%d:" % n + "z" * (n - len("%d:" % n)) + "\r\n" for n in BOUNDARY_LENGTHS)
    text = ("Subject: =?windows-1251?B?8uXx8g==?=\r\nFrom: ivan@office.ru\r\n\r\n.starts with a dot\r\n..two\r\n"
            "From the desk of Ivan\r\nFrom \x01\x01\x02\x02\x01\x01\x03\x03 not a separator\r\n"
            "Привет, мир! Ёё\r\n" + lines + "end\r\n").encode("cp1251")
    s = smtplib.SMTP("127.0.0.1", server.smtp, timeout=10)
    refused = s.sendmail("ivan@office.ru", ["ivan@office.ru", "PETR@Office.RU", "far@example.com"], text)
    s.quit()
    check("smtplib: accepted", refused == {})
    modes = {name: oct(os.stat(server.path(*name.split("/"))).st_mode & 0o777)
             for name in ["maildrop/ivan", "maildrop/petr"] + ["queue/" + q for q in os.listdir(server.path("queue"))]}
    check("the maildrops and the queue file are for the program's user only (0600)",
          len(modes) == 3 and set(modes.values()) == {"0o600"}, str(modes))
    # The one change: a line that begins with the maildrop's separator marker gets ">" in front.
    expected = text.replace(b"\r\nFrom \x01", b"\r\n>From \x01")
    for user in ("ivan", "petr"):
        got = server.collect(user)
        check("smtplib -> POP3 %s: the same bytes, From lines and long lines whole" % user, got == [expected],
              repr(got[:1])[:200])
    queue = server.queue()
    check("smtplib: one queue file", len(queue) == 1)
    body = next(iter(queue.values()), b"")
    check("smtplib: envelope names only the outside address",
          body.startswith(b"MAIL FROM:<ivan@office.ru>\r\nRCPT TO:<far@example.com>\r\nSubject:"))
    check("smtplib: the queue file holds the text as sent", body.endswith(text))


def with_swaks(server):
    out = subprocess.run(["swaks", "--server", "127.0.0.1", "--port", str(server.smtp), "--from", "a@b.ru",
                          "--to", "petr@office.ru", "--helo", "pc1", "--body", "hello from swaks",
                          "--timeout", "10"], capture_output=True, text=True, errors="replace")
    got = server.collect("petr")
    check("swaks (plain, EHLO first): delivered", len(got) == 1 and b"hello from swaks" in got[0],
          out.stdout[-400:])
    out = subprocess.run(["swaks", "--server", "127.0.0.1", "--port", str(server.smtp), "--protocol", "SMTP",
                          "--from", "a@b.ru", "--to", "petr@office.ru", "--helo", "pc1", "--body", "with HELO",
                          "--timeout", "10"], capture_output=True, text=True, errors="replace")
    got = server.collect("petr")
    check("swaks --protocol SMTP (HELO): delivered", len(got) == 1 and b"with HELO" in got[0], out.stdout[-400:])


def with_curl(server):
    work = tempfile.mkdtemp()
    mail = os.path.join(work, "mail.txt")
    with open(mail, "wb") as f:
        f.write(b"Subject: curl\r\n\r\n.dot\r\nbody from curl\r\n")
    out = subprocess.run(["curl", "-s", "-S", "--max-time", "20", "smtp://127.0.0.1:%d" % server.smtp,
                          "--mail-from", "a@b.ru", "--mail-rcpt", "ivan@office.ru", "-T", mail],
                         capture_output=True, text=True)
    got = server.collect("ivan")
    check("curl smtp:// (falls back to HELO): delivered exactly",
          got == [b"Subject: curl\r\n\r\n.dot\r\nbody from curl\r\n"], out.stderr + repr(got)[:200])
    shutil.rmtree(work, ignore_errors=True)


def relay_networks():
    """With RELAY_NETWORKS = 127.0.0.1/32 a client from 127.0.0.2 hands in mail for local users
    only; one from 127.0.0.1 may send outside. Nothing from outside is queued."""
    server = Quelma(QUELMA, ["LocalDomain = office.ru", "PostMaster = postmaster", "RELAY_NETWORKS = 127.0.0.1/32"],
                    ["postmaster", "ivan"])
    try:
        for source, outside in (("127.0.0.2", 550), ("127.0.0.1", 250)):
            s = smtplib.SMTP("127.0.0.1", server.smtp, timeout=10, source_address=(source, 0))
            s.ehlo("pc")
            s.mail("a@office.ru")
            code, text = s.rcpt("far@example.com")
            check("from %s an outside recipient gets %d" % (source, outside), code == outside, "%d %s" % (code, text))
            check("from %s a local recipient is taken" % source, s.rcpt("ivan@office.ru")[0] == 250)
            s.data(b"Subject: relay\r\n\r\nbody\r\n")
            s.quit()
        queued = os.listdir(server.path("queue"))
        check("only the message from 127.0.0.1 is queued", len(queued) == 1, str(queued))
        log = open(server.path("quelma.log"), "rb").read().decode("cp1251")
        check("the refusal is logged with the client", "far@example.com клиенту 127.0.0.2" in log)
    finally:
        check("relay: quelma exits 0 on SIGINT", server.stop() == 0)


def main():
    relay_networks()
    return checks.run((("smtplib", with_smtplib, None), ("swaks", with_swaks, "swaks"), ("curl", with_curl, "curl")),
                      start)


if __name__ == "__main__":
    sys.exit(main())
