#!/usr/bin/env python3
"""Real POP3 clients (poplib, curl, fetchmail) collect mail from quelma on 127.0.0.1 and must
get exactly the stored bytes: lines that begin with "." and 8-bit Windows-1251 text included."""
import os
import poplib
import shutil
import subprocess
import sys
import tempfile

from quelma_process import Checks, Quelma, eventually

QUELMA = sys.argv[1]
MARKER = b"From \x01\x01\x02\x02\x01\x01\x03\x03"

MESSAGES = [
    b"Subject: one\r\n\r\n.starts with a dot\r\n.\r\n..two dots\r\nend\r\n",
    "Subject: =?windows-1251?B?7/Do4uXy?=\r\n\r\nПривет, мир! Ёё\r\n".encode("cp1251"),
    b"Subject: three\r\n\r\n" + b"x" * 998 + b"\r\n" + b"line\r\n" * 2000,
]


def start():
    server = Quelma(QUELMA, [], ["ivan secret"])
    server.fill = lambda: fill(server)
    server.maildrop_exists = lambda: os.path.exists(server.path("maildrop", "ivan"))
    server.port = server.pop3
    return server


def fill(server):
    with open(server.path("maildrop", "ivan"), "wb") as f:
        for i, m in enumerate(MESSAGES):
            f.write(MARKER + b" %08X\r\n" % (0x100 + i) + m)


checks = Checks()
check = checks.check


def with_poplib(server):
    server.fill()
    p = poplib.POP3("127.0.0.1", server.port, timeout=10)
    p.user("ivan")
    p.pass_("secret")
    check("poplib STAT", p.stat() == (3, sum(len(m) for m in MESSAGES)))
    uids = [u.split()[1] for u in p.uidl()[1]]
    check("poplib UIDL", uids == [b"00000100", b"00000101", b"00000102"])
    for n, m in enumerate(MESSAGES, 1):
        lines = p.retr(n)[1]
        check("poplib RETR %d bytes" % n, b"\r\n".join(lines) + b"\r\n" == m)
    check("poplib TOP", p.top(1, 1)[1] == [b"Subject: one", b"", b".starts with a dot"])
    p.dele(2)
    p.quit()
    p = poplib.POP3("127.0.0.1", server.port, timeout=10)
    p.user("ivan")
    p.pass_("secret")
    check("poplib commit kept 1 and 3", p.stat()[0] == 2 and b"\r\n".join(p.retr(2)[1]) + b"\r\n" == MESSAGES[2])
    p.quit()


def with_curl(server):
    server.fill()
    for n, m in enumerate(MESSAGES, 1):
        out = subprocess.run(["curl", "-s", "--max-time", "20", "-u", "ivan:secret",
                              "pop3://127.0.0.1:%d/%d" % (server.port, n)], capture_output=True).stdout
        check("curl RETR %d bytes" % n, out == m)
    listing = subprocess.run(["curl", "-s", "--max-time", "20", "-u", "ivan:secret",
                              "pop3://127.0.0.1:%d/" % server.port], capture_output=True).stdout
    check("curl LIST", listing.splitlines() == [b"1 %d" % len(MESSAGES[0]), b"2 %d" % len(MESSAGES[1]),
                                                b"3 %d" % len(MESSAGES[2])])


def fetchmail(server, work, keep):
    rc = os.path.join(work, "fetchmailrc")
    with open(rc, "w") as f:
        f.write("set no syslog\npoll 127.0.0.1 protocol pop3 port %d %s auth password\n"
                "  user ivan password secret is ivan here %s sslproto ''\n"
                "  mda \"%s %s\"\n" % (server.port, "uidl" if keep else "", "keep" if keep else "nokeep fetchall",
                                       sys.executable, os.path.join(work, "save.py")))
    os.chmod(rc, 0o600)
    env = dict(os.environ, HOME=work, FETCHMAILHOME=work)
    return subprocess.run(["fetchmail", "-f", rc, "--invisible", "--nosoftbounce"], env=env,
                          capture_output=True, timeout=60)


def delivered(work):
    out = []
    for name in sorted(os.listdir(work)):
        if name.startswith("msg-"):
            with open(os.path.join(work, name), "rb") as f:
                data = f.read()
            # fetchmail puts a Received line of its own in front; the rest must be the stored text.
            out.append(data.split(b"\n", 1)[1] if data.startswith(b"Received:") else data)
    return out


def with_fetchmail(server):
    work = tempfile.mkdtemp(prefix="quelma-fetchmail-")
    with open(os.path.join(work, "save.py"), "w") as f:
        f.write("import sys, os, time\nd = sys.stdin.buffer.read()\n"
                "open(os.path.join(%r, 'msg-%%.6f' %% time.time()), 'wb').write(d)\n" % work)
    server.fill()
    first = fetchmail(server, work, keep=True)
    got = delivered(work)
    check("fetchmail keep: all three", len(got) == 3)
    norm = [m.replace(b"\r\n", b"\n") for m in MESSAGES]
    check("fetchmail keep: exact text", [g.replace(b"\r\n", b"\n") for g in got] == norm)
    if len(got) != 3:
        print(first.stdout.decode(errors="replace"), first.stderr.decode(errors="replace"))
    fetchmail(server, work, keep=True)
    check("fetchmail keep + uidl: nothing twice", len(delivered(work)) == 3)
    check("fetchmail keep: maildrop still there", server.maildrop_exists())
    fetchmail(server, work, keep=False)
    check("fetchmail delete mode: maildrop emptied", eventually(lambda: not server.maildrop_exists()))
    check("fetchmail delete mode: fetched all three again", len(delivered(work)) == 6)
    shutil.rmtree(work, ignore_errors=True)


def main():
    return checks.run((("poplib", with_poplib, None), ("curl", with_curl, "curl"),
                       ("fetchmail", with_fetchmail, "fetchmail")), start)


if __name__ == "__main__":
    sys.exit(main())
