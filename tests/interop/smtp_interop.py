#!/usr/bin/env python3
"""Mail handed in with Python's smtplib, swaks and curl reaches the local maildrops and the
queue exactly, and comes back out through our POP3 server byte for byte."""
import os
import poplib
import shutil
import smtplib
import socket
import subprocess
import sys
import tempfile
import time

QUELMA = sys.argv[1]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server:
    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="quelma-smtp-interop-")
        self.pop3, self.smtp = free_port(), free_port()
        for sub in ("maildrop", "queue"):
            os.mkdir(os.path.join(self.dir, sub))
        with open(os.path.join(self.dir, "quelma.cfg"), "wb") as f:
            f.write(b"[Parameters]\r\nMailDropDir = %s/maildrop/\r\nQueueDir = %s/queue/\r\nLocalDomain = office.ru\r\n"
                    b"PostMaster = postmaster\r\nDaemon = daemon\r\nPOP3_SRV_PORT = %d\r\nSMTP_SRV_PORT = %d\r\n"
                    b"LogFileSize = 64\r\n[Users]\r\npostmaster  ; \r\nivan  ; \r\npetr  ; \r\n"
                    % (self.dir.encode(), self.dir.encode(), self.pop3, self.smtp))
        self.proc = subprocess.Popen([QUELMA, "--dir", self.dir], stdout=subprocess.DEVNULL)
        for _ in range(200):
            try:
                socket.create_connection(("127.0.0.1", self.smtp), timeout=1).close()
                break
            except OSError:
                time.sleep(0.02)

    def collect(self, user):
        p = poplib.POP3("127.0.0.1", self.pop3, timeout=10)
        p.user(user)
        p.pass_("x")
        count = p.stat()[0]
        texts = [b"\r\n".join(p.retr(n)[1]) + b"\r\n" for n in range(1, count + 1)]
        for n in range(1, count + 1):
            p.dele(n)
        p.quit()
        return texts

    def queue(self):
        q = os.path.join(self.dir, "queue")
        return {name: open(os.path.join(q, name), "rb").read() for name in sorted(os.listdir(q))}

    def stop(self):
        self.proc.send_signal(2)
        code = self.proc.wait(timeout=20)
        shutil.rmtree(self.dir, ignore_errors=True)
        return code


failures = []


def check(what, ok, detail=""):
    print(("ok   " if ok else "FAIL ") + what + ("" if ok else "  " + detail))
    if not ok:
        failures.append(what)


def split_long_lines(text):
    out = []
    for line in text.split(b"\r\n")[:-1]:
        while len(line) > 1199:
            out.append(line[:1199])
            line = line[1199:]
        out.append(line)
    return b"\r\n".join(out) + b"\r\n"


def with_smtplib(server):
    text = ("Subject: =?windows-1251?B?8uXx8g==?=\r\nFrom: ivan@office.ru\r\n\r\n.starts with a dot\r\n..two\r\n"
            "Привет, мир! Ёё\r\n" + "z" * 5000 + "\r\nend\r\n").encode("cp1251")
    s = smtplib.SMTP("127.0.0.1", server.smtp, timeout=10)
    refused = s.sendmail("ivan@office.ru", ["ivan@office.ru", "PETR@Office.RU", "far@example.com"], text)
    s.quit()
    check("smtplib: accepted (EHLO refused, HELO used)", refused == {})
    expected = split_long_lines(text)
    for user in ("ivan", "petr"):
        got = server.collect(user)
        check("smtplib -> POP3 %s: the same bytes" % user, got == [expected], repr(got[:1])[:200])
    queue = server.queue()
    check("smtplib: one queue file", len(queue) == 1)
    body = next(iter(queue.values()), b"")
    check("smtplib: envelope names only the outside address",
          body.startswith(b"MAIL FROM:<ivan@office.ru>\r\nRCPT TO:<far@example.com>\r\nSubject:"))


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


def main():
    for name, run in (("smtplib", with_smtplib), ("swaks", with_swaks), ("curl", with_curl)):
        if name != "smtplib" and shutil.which(name) is None:
            check(name + " is installed", False)
            continue
        server = Server()
        try:
            run(server)
        finally:
            check(name + ": quelma exits 0 on SIGINT", server.stop() == 0)
    print("%d interoperability checks failed" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
