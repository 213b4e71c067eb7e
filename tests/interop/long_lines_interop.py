#!/usr/bin/env python3
"""quelma's SMTP client uploads queue files with lines longer than SMTP allows (a header line of
1,500 bytes, body lines of 999 to 12,000 bytes, lines that begin with a dot) to two providers on
127.0.0.1: aiosmtpd, which answers "500 Line too long" to a line over 1,000 bytes with its CR LF,
and a private Postfix that relays to aiosmtpd. Each message arrives once, no line of it longer
than 1,000 bytes, every long line broken as Postfix's own SMTP client breaks it (after 998 bytes,
CR LF and a space), the queue ends empty and the postmaster gets no notice.

The Postfix set-up is shared with postfix_tls_interop."""
import os
import shutil
import signal
import sys
import tempfile
import time
import warnings

from quelma_process import Checks, Quelma, account_port
from postfix_tls_interop import Postfix, Sink, below_received, ensure_postfix, wait_port
from smtp_client_interop import arrived_whole

try:
    from aiosmtpd.controller import Controller
except ImportError:  # reported as a failed check below
    Controller = None
warnings.filterwarnings("ignore", message="Session.login_data is deprecated")

LIMIT = 998  # bytes of a line on the wire before its CR LF


def as_received(line):
    """A message line (without its CR LF) as the provider keeps it: its wire form (a dot in front
    when it begins with one) broken after LIMIT bytes, each further piece a space and LIMIT - 1
    bytes; the provider takes the transparency dot off again."""
    wire = b"." + line if line.startswith(b".") else line
    pieces, rest = [wire[:LIMIT]], wire[LIMIT:]
    while rest:
        pieces.append(b" " + rest[:LIMIT - 1])
        rest = rest[LIMIT - 1:]
    if line.startswith(b"."):
        pieces[0] = pieces[0][1:]
    return b"\r\n".join(pieces)


def queue_files():
    """(name, queue file, header as received, body as received) for each message."""
    bodies = [
        [b"x" * 2000],
        [b"a" * LIMIT + b".after the break", b"." * 2500],
        [b"b" * LIMIT, b"c" * (LIMIT + 1), b"." + b"d" * (LIMIT - 1), b"." + b"e" * (LIMIT - 2)],
        [b"short", b"f" * 12000, b"..", b"."],
        [("Кириллица " * 300).encode("cp1251")],
    ]
    files = []
    for i, lines in enumerate(bodies):
        subject = b"Subject: long %d " % i + b"s" * (1500 if i == 0 else 10)
        header_lines = [b"From: <someone%d@example.com>" % i, b"To: <far%d@far.away>" % i, subject]
        header = b"".join(l + b"\r\n" for l in header_lines)
        body = b"".join(l + b"\r\n" for l in lines)
        queued = b"MAIL FROM:<ivan@office.ru>\r\nRCPT TO:<far%d@far.away>\r\n" % i + header + b"\r\n" + body
        files.append(("%08X" % (0x2000 + i), queued, b"".join(as_received(l) + b"\r\n" for l in header_lines),
                      b"".join(as_received(l) + b"\r\n" for l in lines)))
    return files


def longest_line(data):
    return max(len(l) + 2 for l in data.split(b"\r\n"))


def scenario(binary, checks, what, port, received, relayed):
    """One upload to the provider on `port`; `received` is the list its messages land in (as
    (sender, recipients, bytes)), `relayed` whether a Received header is put in front."""
    files = queue_files()
    before = len(received)
    server = Quelma(binary, ["LocalDomain = office.ru", "PostMaster = postmaster", "SMTPServer = 127.0.0.1",
                             "SMTPSport = %d" % port, "SMTP_USES_LOGIN = 0"], ["postmaster", "ivan"])
    try:
        log = server.upload(files)
        for _ in range(300):  # Postfix relays after it has accepted
            if len(received) - before >= len(files):
                break
            time.sleep(0.1)
        got = [g[2] for g in received[before:]]
        if relayed:
            got = [below_received(g) for g in got]
        left = sorted(os.listdir(server.path("queue")))
        notices = server.path("maildrop", "postmaster")
        checks.check(what + ": the queue is empty", left == [], str(left))
        checks.check(what + ": no notice for the postmaster", not os.path.exists(notices) or
                     b"Message delivery error" not in open(notices, "rb").read())
        checks.check(what + ": every message arrived once", len(got) == len(files), "%d of %d" % (len(got), len(files)))
        checks.check(what + ": no line over 1,000 bytes", all(g is not None and longest_line(g) <= 1000 for g in got),
                     str([longest_line(g) for g in got if g is not None]))
        unmatched = [name for name, _, header, body in files
                     if sum(1 for g in got if g is not None and arrived_whole(g, header, body)) != 1]
        checks.check(what + ": long lines broken as Postfix breaks them, nothing else changed", unmatched == [],
                     str(unmatched))
        checks.check(what + ": no refusal logged", "Line too long" not in log and "Повторяю попытку" not in log)
        if checks.failures:
            print(log[-2500:])
    finally:
        checks.check(what + ": quelma exits 0 on SIGINT", server.stop() == 0)


def main():
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))  # still stop Postfix
    checks = Checks()
    if Controller is None:
        checks.check("aiosmtpd is installed", False)
        return 1
    binary = sys.argv[1]
    sink = Sink()  # aiosmtpd with its default line limit
    postfix = None
    work = tempfile.mkdtemp(prefix="quelma-long-lines-")
    os.chmod(work, 0o755)  # Postfix works in it as its own user
    try:
        scenario(binary, checks, "aiosmtpd", sink.port, sink.received, False)
        ensure_postfix()
        if shutil.which("postfix") is None:
            checks.check("postfix is installed", False)
            return checks.result()
        port = account_port()
        postfix = Postfix(work, "provider", {port: ["smtpd_relay_restrictions=permit_mynetworks,reject"]},
                          ["default_transport = smtp:[127.0.0.1]:%d" % sink.port,
                           "relay_transport = smtp:[127.0.0.1]:%d" % sink.port])
        checks.check("Postfix listens", wait_port(port, 1))
        scenario(binary, checks, "Postfix", port, sink.received, True)
        if checks.failures:
            print(postfix.maillog()[-3000:])
    finally:
        if postfix:
            postfix.stop()
        sink.stop()
        shutil.rmtree(work, ignore_errors=True)
    return checks.result()


if __name__ == "__main__":
    sys.exit(main())
