#!/usr/bin/env python3
"""quelma's SMTP client uploads its queue to aiosmtpd on 127.0.0.1, logging in with AUTH PLAIN,
AUTH LOGIN and AUTH CRAM-MD5 (each offered alone), once with the right password and once with a
wrong one. Accepted: every message arrives byte-identical to its queue file's message part plus
the trace header, from the sender's alias, and the queue ends empty. Refused: the upload ends
with error 11 and the queue stays whole."""
import hmac
import warnings
import os
import signal
import sys
import time

from quelma_process import Checks, Quelma, account_port, scramble

try:
    from aiosmtpd.controller import Controller
    from aiosmtpd.smtp import MISSING, AuthResult, LoginPassword
except ImportError:  # reported as a failed check below
    Controller = None

PASSWORD = b"s3cret pass"
MECHANISMS = ("PLAIN", "LOGIN", "CRAM-MD5")
TRACE = b"X-Passed-Through: "
warnings.filterwarnings("ignore", message="Session.login_data is deprecated")


class Provider:
    """Keeps what it was handed; knows the account "office" with PASSWORD."""

    def __init__(self):
        self.received = []

    async def handle_DATA(self, server, session, envelope):
        self.received.append((envelope.mail_from, list(envelope.rcpt_tos), envelope.original_content))
        return "250 OK queued"

    async def auth_CRAM__MD5(self, server, args):
        challenge = "<%d.%d@provider.test>" % (os.getpid(), time.time_ns())
        answer = await server.challenge_auth(challenge)
        if answer is MISSING or b" " not in answer:
            return AuthResult(success=False, handled=False)
        user, digest = answer.split(b" ", 1)
        expected = hmac.new(PASSWORD, challenge.encode(), "md5").hexdigest().encode()
        ok = user == b"office" and hmac.compare_digest(digest, expected)
        return AuthResult(success=ok, handled=False)


def authenticator(server, session, envelope, mechanism, auth_data):
    ok = isinstance(auth_data, LoginPassword) and auth_data.login == b"office" and auth_data.password == PASSWORD
    return AuthResult(success=ok, handled=False)


def queue_files():
    """Queue files (name, bytes) and, for each, the message part as it is to arrive."""
    files = []
    line = "Строка с буквами ЁЁ и ёё\r\n".encode("cp1251")
    for i in range(20):
        header = b"From: <someone%d@example.com>\r\nTo: <far%d@far.away>\r\nSubject: n %d\r\n" % (i, i, i)
        body = b".leading dot\r\n..two dots\r\n.\r\n" + line * (i + 1) + b"end\r\n"
        if i == 7:
            body += (b"y" * 998 + b"\r\n") * 8000  # 8 MB
        envelope = b"MAIL FROM:<Ivan@office.ru>\r\nRCPT TO:<far%d@far.away>\r\nRCPT TO:<second@far.away>\r\n" % i
        files.append(("%08X" % (0x1000 + i), envelope + header + b"\r\n" + body, header, body))
    return files


def arrived_whole(received, header, body):
    """The header, one trace header line, the empty line and the body, nothing else."""
    if not received.startswith(header + TRACE):
        return False
    trace, rest = received[len(header):].split(b"\r\n", 1)
    return rest == b"\r\n" + body and TRACE not in trace[len(TRACE):]


def scenario(quelma_binary, checks, mechanism, right):
    what = "AUTH %s, %s password" % (mechanism, "right" if right else "wrong")
    provider = Provider()
    port = account_port()
    controller = Controller(provider, hostname="127.0.0.1", port=port, authenticator=authenticator,
                            auth_require_tls=False, auth_exclude_mechanism=[m for m in MECHANISMS if m != mechanism])
    controller.start()
    files = queue_files()
    password = PASSWORD.decode() if right else "wrong"
    server = Quelma(quelma_binary, ["LocalDomain = office.ru", "PostMaster = postmaster", "SMTPServer = 127.0.0.1",
                                    "SMTPSport = %d" % port, "SMTP_USES_LOGIN = 1", "SMTP_LOGIN_NAME = office",
                                    "SMTP_LOGIN_PASS = %s" % scramble(password)],
                    ["postmaster", "ivan  ; ivan.petrov@provider.test"])
    try:
        for name, data, _, _ in files:
            with open(server.path("queue", name), "wb") as f:
                f.write(data)
        server.proc.send_signal(signal.SIGUSR1)
        log = ""
        for _ in range(600):
            log = open(server.path("quelma.log"), "rb").read().decode("cp1251") if os.path.exists(
                server.path("quelma.log")) else ""
            if "Отключение от сервера." in log or "Error number" in log:
                break
            time.sleep(0.1)
        time.sleep(0.2)
        left = sorted(os.listdir(server.path("queue")))
        checks.check(what + ": logged in with " + mechanism, ("AUTH %s\r\n" % mechanism) in log)
        if right:
            checks.check(what + ": the queue is empty", left == [], str(left))
            checks.check(what + ": every message arrived", len(provider.received) == len(files),
                         "%d of %d" % (len(provider.received), len(files)))
            identical = all(arrived_whole(got[2], header, body)
                            for got, (_, _, header, body) in zip(provider.received, files))
            checks.check(what + ": byte-identical, plus the trace header", identical)
            checks.check(what + ": sent from the alias",
                         all(r[0] == "ivan.petrov@provider.test" for r in provider.received))
            checks.check(what + ": to both recipients",
                         all(r[1] == ["far%d@far.away" % i, "second@far.away"] for i, r in enumerate(provider.received)))
        else:
            checks.check(what + ": error 11", "Error number 11\r\n" in log)
            checks.check(what + ": the server's words logged", "535 5.7.8" in log)
            checks.check(what + ": the queue is whole", left == [f[0] for f in files], str(left))
            checks.check(what + ": nothing was sent", provider.received == [])
        if checks.failures:
            print(log[-2000:])
    finally:
        checks.check(what + ": quelma exits 0 on SIGINT", server.stop() == 0)
        controller.stop()


def main():
    checks = Checks()
    if Controller is None:
        checks.check("aiosmtpd is installed", False)
        return 1
    for mechanism in MECHANISMS:
        for right in (True, False):
            scenario(sys.argv[1], checks, mechanism, right)
    return checks.result()


if __name__ == "__main__":
    sys.exit(main())
