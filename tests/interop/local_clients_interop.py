#!/usr/bin/env python3
"""The office's own mail programs against quelma's local servers on 127.0.0.1, with other 127.x
addresses standing for other machines (the client socket bound to them):
- SMTP AUTH and relaying: msmtp (STARTTLS, AUTH PLAIN) and smtplib (CRAM-MD5, PLAIN, LOGIN) may
  send to outside addresses once logged in, not before; local recipients need no login;
  RELAY_NETWORKS as an office writes it; SMTP_SRV_AUTH = REQUIRED refuses MAIL and RCPT until AUTH;
- passwords in clear: with a certificate USER/PASS from 127.0.0.2 only after STLS; a user without
  a password only from 127.0.0.1;
- POP3 clients: a mail reader's sequence (CAPA, STLS, USER/PASS, UIDL, TOP, RETR, DELE) through
  poplib, fetchmail with its defaults (STLS with certificate checks), mpop with pipelining and
  APOP; every message comes back as it was handed in and the maildrop is empty after;
- many clients at once: 50 POP3 and 50 SMTP sessions, mail that comes while its maildrop is
  being emptied, slow and idle clients beside a normal one, one session per maildrop, and a
  burst of 400 connections that all get an answer;
- failed logins: a thousand wrong POP3 passwords, a hundred wrong SMTP AUTHs, SMTP AUTH exchanges
  begun before the lock-out and answered after it, and fifty wrong passwords sent at the same
  moment, each from one address: only AUTH_FAIL_LIMIT are checked, the rest refused, for that
  address only and on both servers."""
import base64
import hashlib
import hmac
import os
import poplib
import shutil
import smtplib
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import traceback
from collections import Counter

from quelma_process import Checks, Quelma
from tls_material import Material

QUELMA = sys.argv[1]
checks = Checks()
check = checks.check

INSIDE, OUTSIDE, OTHER = "127.0.0.1", "127.0.0.2", "127.0.0.3"
POP3_BUSY = "-ERR [SYS/TEMP] Too many sessions, try again later"
SMTP_BUSY = "421 4.3.2 Too many sessions, try again later"
POP3_LOCKED_OUT = "-ERR [SYS/TEMP] Too many failed logins from your address, try again later"
SMTP_LOCKED_OUT = "535 5.7.8 Too many failed logins from your address, try again later"
SMTP_BAD_LOGIN = "535 5.7.8 Authentication credentials invalid"
IN_USE = "-ERR [IN-USE] maildrop already locked"
POP3_CAPABILITIES = ["TOP", "USER", "UIDL", "PIPELINING", "RESP-CODES", "AUTH-RESP-CODE"]
IVAN = ("ivan", "Secret7")


def message(tag, to="ivan@office.ru"):
    """A message with what tends to go wrong on the way: 8-bit text, lines that start with a dot
    or with "From ", empty lines, a long line; its size grows with the tag."""
    body = ["Привет, это письмо %s" % tag, ".a line with a leading dot", ".", "..", "From the desk of Ivan", "",
            "x" * 900, ""] + ["line %d of %s" % (i, tag) for i in range(len(tag) % 7)] + ["end"]
    head = ["Date: Mon, 07 Dec 2026 10:00:00 +0300", "Message-ID: <%s@office.ru>" % tag, "From: <a@office.ru>",
            "To: <%s>" % to, "Subject: %s" % tag]
    return "".join(line + "\r\n" for line in head + [""] + body).encode("cp1251")


def unix(text):
    """A message as clients that deliver with Unix line ends write it."""
    return text.replace(b"\r\n", b"\n")


class Line:
    """A plain connection to 127.0.0.1 from a chosen address, one line at a time."""

    def __init__(self, port, source=INSIDE, timeout=20):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout, source_address=(source, 0))
        self.file = self.sock.makefile("rb")

    def send(self, text):
        self.sock.sendall(text.encode("latin-1") + b"\r\n")

    def line(self):
        raw = self.file.readline()
        if not raw:
            raise EOFError("connection closed")
        return raw.decode("latin-1").rstrip("\r\n")

    def reply(self):
        """An SMTP reply, all its lines."""
        lines = [self.line()]
        while len(lines[-1]) > 3 and lines[-1][3] == "-":
            lines.append(self.line())
        return lines

    def close(self):
        self.file.close()
        self.sock.close()


class POP3From(poplib.POP3):
    """poplib from a chosen local address."""

    def __init__(self, port, source=INSIDE, timeout=20):
        self.source = source
        super().__init__("127.0.0.1", port, timeout=timeout)

    def _create_socket(self, timeout):
        return socket.create_connection((self.host, self.port), timeout, source_address=(self.source, 0))


def smtp_from(port, source=INSIDE):
    return smtplib.SMTP("127.0.0.1", port, timeout=20, source_address=(source, 0))


def hand_in(server, messages):
    """Messages for ivan, handed in from 127.0.0.1."""
    with smtp_from(server.smtp) as s:
        for m in messages:
            s.sendmail("a@office.ru", ["ivan@office.ru"], m)


def retrieve(p):
    """Every message of the open session, in order, each deleted after."""
    texts = []
    for n in range(1, p.stat()[0] + 1):
        texts.append(b"\r\n".join(p.retr(n)[1]) + b"\r\n")
        p.dele(n)
    return texts


def maildrop(server, user, password):
    """What the user's maildrop holds, taken out of it."""
    p = POP3From(server.pop3)
    p.user(user)
    p.pass_(password)
    texts = retrieve(p)
    p.quit()
    return texts


def queued(server):
    return set(os.listdir(server.path("queue")))


def queue_file(server, name):
    return open(server.path("queue", name), "rb").read()


def cram_response(challenge_line, user, password):
    challenge = base64.b64decode(challenge_line[4:])
    digest = hmac.new(password.encode(), challenge, hashlib.md5).hexdigest()
    return base64.b64encode(("%s %s" % (user, digest)).encode()).decode()


def tls_context(material):
    return ssl.create_default_context(cafile=material.ca["cert"])


def error_text(call):
    """The reply of a POP3 command that poplib took for an error ("" when it succeeded)."""
    try:
        call()
        return ""
    except poplib.error_proto as e:
        return e.args[0].decode("latin-1") if isinstance(e.args[0], bytes) else str(e.args[0])


# --- SMTP AUTH and relaying ------------------------------------------------------------------

def msmtp_send(server, material, work, name, password, recipient, auth="plain"):
    """msmtp from 127.0.0.2 over STARTTLS; (exit status, output)."""
    rc = os.path.join(work, "msmtprc-" + name)
    with open(rc, "w") as f:
        f.write("account office\nhost 127.0.0.1\nport %d\nsource_ip %s\nuser ivan\n%s"
                % (server.smtp, OUTSIDE, "password %s\n" % password if password else ""))
    os.chmod(rc, 0o600)
    r = subprocess.run(["msmtp", "--file=" + rc, "--account=office", "--tls=on", "--tls-starttls=on",
                        "--tls-trust-file=" + material.ca["cert"], "--auth=" + auth, "--from=a@office.ru",
                        recipient], input=message(name, recipient), env=dict(os.environ, HOME=work),
                       capture_output=True, timeout=60)
    return r.returncode, (r.stdout + r.stderr).decode(errors="replace")


def new_queue_file(server, before, tag, recipient):
    """The one file that came to the queue since `before`: it holds the envelope and the
    message as handed in."""
    added = sorted(queued(server) - before)
    if len(added) != 1:
        return False, "new queue files: %s" % added
    data = queue_file(server, added[0])
    ok = data.startswith(b"MAIL FROM:<a@office.ru>\r\nRCPT TO:<%s>\r\n" % recipient.encode()) and data.endswith(
        message(tag, recipient))
    return ok, repr(data[:300])


def relay_and_auth(server, material, work):
    # What EHLO offers, and PLAIN / LOGIN refused in clear, from outside.
    s = smtp_from(server.smtp, OUTSIDE)
    s.ehlo("pc2")
    check("EHLO in clear offers AUTH CRAM-MD5 only", s.esmtp_features.get("auth", "").split() == ["CRAM-MD5"],
          str(s.esmtp_features))
    for mechanism in ("PLAIN AGl2YW4AU2VjcmV0Nw==", "LOGIN"):
        code, text = s.docmd("AUTH", mechanism)
        check("AUTH %s in clear: 538" % mechanism.split()[0], code == 538, "%d %s" % (code, text))
    s.starttls(context=tls_context(material))
    s.ehlo("pc2")
    check("EHLO over TLS offers AUTH PLAIN LOGIN CRAM-MD5",
          s.esmtp_features.get("auth", "").split() == ["PLAIN", "LOGIN", "CRAM-MD5"] and "starttls" not in
          s.esmtp_features, str(s.esmtp_features))
    s.quit()

    # msmtp, a real sending client, from outside the relay networks.
    before = queued(server)
    code, output = msmtp_send(server, material, work, "msmtp-plain", IVAN[1], "friend@far.away")
    check("msmtp STARTTLS + AUTH PLAIN from outside: sent", code == 0, output[-1500:])
    ok, detail = new_queue_file(server, before, "msmtp-plain", "friend@far.away")
    check("msmtp: the message to the outside address is queued byte-identical", ok, detail)
    check("msmtp: the login is logged", '"ivan" (AUTH PLAIN)' in server.log())
    before = queued(server)
    code, output = msmtp_send(server, material, work, "msmtp-wrong", "Wrong99", "friend@far.away")
    check("msmtp with a wrong password: fails, nothing queued", code != 0 and queued(server) == before,
          "exit %d %s" % (code, output[-500:]))
    code, output = msmtp_send(server, material, work, "msmtp-none", None, "friend@far.away", auth="off")
    check("msmtp without AUTH from outside: refused, nothing queued",
          code != 0 and "5.7.1" in output and queued(server) == before, "exit %d %s" % (code, output[-500:]))

    # smtplib from outside without a login: outside refused, local accepted.
    before = queued(server)
    with smtp_from(server.smtp, OUTSIDE) as s:
        s.ehlo("pc2")
        s.mail("a@office.ru")
        reply = s.rcpt("friend@far.away")
        check("no AUTH from outside: RCPT to an outside address gets 550 5.7.1",
              reply == (550, b"5.7.1 Relaying denied"), str(reply))
        reply = s.rcpt("ivan@office.ru")
        check("no AUTH from outside: RCPT to a local user is accepted", reply[0] == 250, str(reply))
        reply = s.data(message("local-from-outside"))
        check("no AUTH from outside: the local message is taken", reply[0] == 250, str(reply))
    check("no AUTH from outside: nothing queued", queued(server) == before)
    check("the refusal is logged with the client's address",
          "Отказано в пересылке письма для friend@far.away клиенту 127.0.0.2" in server.log())

    # Inside RELAY_NETWORKS no login is needed.
    with smtp_from(server.smtp, INSIDE) as s:
        s.sendmail("a@office.ru", ["friend@far.away"], message("inside", "friend@far.away"))
    ok, detail = new_queue_file(server, before, "inside", "friend@far.away")
    check("no AUTH from 127.0.0.1 (in RELAY_NETWORKS): the outside message is queued", ok, detail)

    # Every mechanism from outside; the password compares ignoring the case of ASCII letters
    # (CRAM-MD5 can only use it as stored).
    for mechanism, password in (("CRAM-MD5", "Secret7"), ("PLAIN", "SECRET7"), ("LOGIN", "secret7")):
        tag = "auth-" + mechanism.lower()
        before = queued(server)
        s = smtp_from(server.smtp, OUTSIDE)
        s.ehlo("pc2")
        s.starttls(context=tls_context(material))
        s.ehlo("pc2")
        s.user, s.password = "ivan", password
        method = {"CRAM-MD5": s.auth_cram_md5, "PLAIN": s.auth_plain, "LOGIN": s.auth_login}[mechanism]
        try:
            reply = s.auth(mechanism, method, initial_response_ok=mechanism != "LOGIN")
        except smtplib.SMTPException as e:
            reply = e.args
        check("AUTH %s over TLS with %s: 235" % (mechanism, password),
              tuple(reply) == (235, b"2.7.0 Authentication successful"), str(reply))
        try:
            s.sendmail("a@office.ru", ["friend@far.away"], message(tag, "friend@far.away"))
        except smtplib.SMTPException as e:
            check("AUTH %s: the outside message is taken" % mechanism, False, repr(e))
        s.quit()
        ok, detail = new_queue_file(server, before, tag, "friend@far.away")
        check("AUTH %s from outside: the outside message is queued byte-identical" % mechanism, ok, detail)

    # Who may not log in: a user without a password, a wrong password, the wrong user (each
    # from an address of its own, so the delays after failures stay short).
    for what, user, password, source in (("a user without a password", "nopass", "", "127.0.0.5"),
                                         ("a wrong password", "ivan", "Secret8", "127.0.0.6"),
                                         ("an unknown user", "nobody", "Secret7", "127.0.0.7")):
        with smtp_from(server.smtp, source) as s:
            s.ehlo("pc1")
            s.starttls(context=tls_context(material))
            s.ehlo("pc1")
            for mechanism in ("CRAM-MD5", "PLAIN"):
                s.user, s.password = user, password
                method = s.auth_cram_md5 if mechanism == "CRAM-MD5" else s.auth_plain
                try:
                    reply = tuple(s.auth(mechanism, method))
                except smtplib.SMTPAuthenticationError as e:
                    reply = (e.smtp_code, e.smtp_error)
                check("AUTH %s for %s: 535" % (mechanism, what), reply == (535, SMTP_BAD_LOGIN[4:].encode()),
                      str(reply))

    texts = maildrop(server, *IVAN)
    check("the local message from outside arrives byte-identical", texts == [message("local-from-outside")],
          repr(texts)[:300])


# RELAY_NETWORKS as an office writes it, and who may then send outside without a login.
RELAY_TABLE = [
    (None, {INSIDE: True, OUTSIDE: True}),  # loopback is in the default
    ("127.0.0.0/31", {INSIDE: True, OUTSIDE: False}),
    ("10.0.0.0/8,127.0.0.2", {INSIDE: False, OUTSIDE: True}),  # an address alone is that host
    ("10.0.0.0/8, 127.0.0.2", {INSIDE: False, OUTSIDE: True}),
    ("::1/128 127.0.0.1", {INSIDE: True, OUTSIDE: False}),
]


def relay_networks(work):
    for networks, allowed in RELAY_TABLE:
        server = Quelma(QUELMA, ["LocalDomain = office.ru"] + (["RELAY_NETWORKS = " + networks] if networks else []),
                        ["ivan Secret7", "postmaster"])
        try:
            for source, may in allowed.items():
                with smtp_from(server.smtp, source) as s:
                    s.ehlo("pc")
                    s.mail("a@office.ru")
                    outside, local = s.rcpt("friend@far.away")[0], s.rcpt("ivan@office.ru")[0]
                check("RELAY_NETWORKS = %s: from %s outside %s, local taken"
                      % (networks or "(default)", source, "taken" if may else "refused"),
                      outside == (250 if may else 550) and local == 250, "outside %d, local %d" % (outside, local))
        finally:
            check("RELAY_NETWORKS = %s: quelma exits 0 on SIGINT" % (networks or "(default)"), server.stop() == 0)


def auth_required(server, material, work):
    before = queued(server)
    with smtp_from(server.smtp, INSIDE) as s:
        s.ehlo("pc1")
        check("REQUIRED: EHLO offers AUTH", "CRAM-MD5" in s.esmtp_features.get("auth", ""), str(s.esmtp_features))
        for command, argument in (("MAIL", "FROM:<a@office.ru>"), ("RCPT", "TO:<ivan@office.ru>")):
            reply = s.docmd(command, argument)
            check("REQUIRED: %s without AUTH gets 530 5.7.0" % command,
                  reply == (530, b"5.7.0 Authentication required"), str(reply))
        reply = s.login("ivan", "Secret7")  # smtplib takes CRAM-MD5 when it is offered
        check("REQUIRED: smtplib logs in (CRAM-MD5)", reply[0] == 235 and '"ivan" (AUTH CRAM-MD5)' in server.log(),
              str(reply))
        refused = s.sendmail("a@office.ru", ["ivan@office.ru", "friend@far.away"], message("required"))
        check("REQUIRED: after AUTH both recipients are accepted", refused == {}, str(refused))
    added = sorted(queued(server) - before)
    check("REQUIRED: the outside copy is queued", len(added) == 1 and queue_file(server, added[0]).endswith(
        message("required")), str(added))
    check("REQUIRED: the local copy arrives byte-identical", maildrop(server, *IVAN) == [message("required")])
    before = queued(server)
    code, output = msmtp_send(server, material, work, "required-none", None, "ivan@office.ru", auth="off")
    check("REQUIRED: msmtp without AUTH fails", code != 0 and "530" in output, "exit %d %s" % (code, output[-500:]))
    code, output = msmtp_send(server, material, work, "required-plain", IVAN[1], "ivan@office.ru")
    check("REQUIRED: msmtp with AUTH PLAIN sends", code == 0, output[-1000:])
    check("REQUIRED: msmtp's message arrives", maildrop(server, *IVAN) == [message("required-plain")])
    check("REQUIRED: nothing else queued", queued(server) == before)


# --- POP3 clients ----------------------------------------------------------------------------

def mail_reader(server, material, work):
    """What a desktop mail reader does: capabilities, TLS, login, ids, headers, then the
    messages, deleted after."""
    sent = [message("reader-%d" % i) for i in range(6)]
    hand_in(server, sent)
    p = POP3From(server.pop3)
    capa = p.capa()
    check("reader: CAPA in clear lists STLS and the rest",
          all(c in capa for c in POP3_CAPABILITIES + ["STLS"]), str(capa))
    p.stls(context=tls_context(material))
    capa = p.capa()
    check("reader: CAPA over TLS has no STLS", "STLS" not in capa and all(c in capa for c in POP3_CAPABILITIES),
          str(capa))
    p.user(IVAN[0])
    check("reader: USER/PASS over TLS", p.pass_(IVAN[1]).startswith(b"+OK"))
    count, size = p.stat()
    check("reader: STAT counts every message", (count, size) == (len(sent), sum(map(len, sent))), str((count, size)))
    ids = [line.split()[1] for line in p.uidl()[1]]
    check("reader: UIDL gives one id per message", len(set(ids)) == len(sent), str(ids))
    tops = [b"\r\n".join(p.top(n, 0)[1]) + b"\r\n" for n in range(1, count + 1)]
    check("reader: TOP n 0 gives each message's header", tops == [m.split(b"\r\n\r\n")[0] + b"\r\n\r\n" for m in sent],
          repr(tops)[:300])
    got = retrieve(p)
    check("reader: RETR gives each message byte-identical", got == sent, repr(got)[:300])
    check("reader: QUIT", p.quit().startswith(b"+OK"))
    p = POP3From(server.pop3)
    p.user(IVAN[0])
    p.pass_(IVAN[1])
    check("reader: the maildrop is empty after", p.stat() == (0, 0))
    p.quit()


PLAINTEXT_REFUSED = "-ERR [AUTH] Plaintext authentication disallowed on non-secure connections"


def plaintext_logins(server, material, work):
    """With a certificate USER/PASS in clear is taken only from this computer (PLAINTEXT_LOGIN
    defaults to LOCAL); a user without a password logs in only from this computer, TLS or not."""
    hand_in(server, [message("plaintext")])
    p = POP3From(server.pop3, OUTSIDE)
    capa = p.capa()
    check("from 127.0.0.2 in clear: CAPA has STLS but no USER", "STLS" in capa and "USER" not in capa, str(capa))
    check("from 127.0.0.2 in clear: USER refused", error_text(lambda: p.user(IVAN[0])) == PLAINTEXT_REFUSED)
    p.stls(context=tls_context(material))
    check("from 127.0.0.2 over TLS: CAPA has USER", "USER" in p.capa())
    p.user(IVAN[0])
    check("from 127.0.0.2 over TLS: USER/PASS logs in", p.pass_(IVAN[1]).startswith(b"+OK"))
    check("from 127.0.0.2 over TLS: the message byte-identical", retrieve(p) == [message("plaintext")])
    p.quit()
    p = POP3From(server.pop3, OUTSIDE)
    p.stls(context=tls_context(material))
    p.user("nopass")
    check("no password from 127.0.0.2, even over TLS: a wrong password",
          "Password incorrect" in error_text(lambda: p.pass_("anything")))
    p.quit()
    p = POP3From(server.pop3, INSIDE)
    check("from 127.0.0.1 in clear: CAPA has USER", "USER" in p.capa())
    p.user("nopass")
    check("no password from 127.0.0.1 in clear: logs in", p.pass_("anything").startswith(b"+OK"))
    p.quit()
    check("the refusal is logged", "Вход USER/PASS без TLS отклонен (PLAINTEXT_LOGIN) для адреса 127.0.0.2" in server.log())


def bsmtp_messages(data):
    """The message texts of a BSMTP file (dot-stuffing undone)."""
    texts, current = [], None
    for line in data.split(b"\r\n")[:-1]:
        if current is None:
            current = [] if line == b"DATA" else None
        elif line == b".":
            texts.append(b"".join(part + b"\r\n" for part in current))
            current = None
        else:
            current.append(line[1:] if line.startswith(b".") else line)
    return texts


def fetchmail(server, material, work):
    sent = [message("fetchmail-%d" % i) for i in range(8)]
    hand_in(server, sent)
    rc, out = os.path.join(work, "fetchmailrc"), os.path.join(work, "fetched.bsmtp")
    with open(rc, "w") as f:
        # No TLS settings but the CA to check the certificate against: fetchmail takes STLS
        # when it is offered. Delivered into a BSMTP file, with no header of its own.
        f.write("set no syslog\npoll localhost protocol pop3 port %d\n  user %s password %s is root here\n"
                "  sslcertfile %s\n" % (server.pop3, IVAN[0], IVAN[1], material.ca["cert"]))
    os.chmod(rc, 0o600)
    r = subprocess.run(["fetchmail", "-f", rc, "-v", "--invisible", "--bsmtp", out],
                       env=dict(os.environ, HOME=work, FETCHMAILHOME=work), capture_output=True, timeout=60)
    output = (r.stdout + r.stderr).decode(errors="replace")
    check("fetchmail: exits 0", r.returncode == 0, output[-2000:])
    check("fetchmail: took STLS and checked the certificate", "upgrade to TLS succeeded" in output, output[-2000:])
    got = bsmtp_messages(open(out, "rb").read()) if os.path.exists(out) else []
    check("fetchmail: every message byte-identical", got == sent, repr(got)[:300])
    check("fetchmail: the maildrop is empty after", maildrop(server, *IVAN) == [])


def mpop_pipelining(server, material, work):
    sent = [message("mpop-%02d" % i) for i in range(50)]
    hand_in(server, sent)
    box = os.path.join(work, "maildir")
    for sub in ("cur", "new", "tmp"):
        os.makedirs(os.path.join(box, sub))
    rc = os.path.join(work, "mpoprc")
    with open(rc, "w") as f:
        f.write("account office\nhost 127.0.0.1\nport %d\ntls on\ntls_starttls on\ntls_trust_file %s\nauth user\n"
                "user %s\npassword %s\npipelining on\nkeep off\nreceived_header off\ndelivery maildir %s\n"
                "uidls_file %s\n" % (server.pop3, material.ca["cert"], IVAN[0], IVAN[1], box,
                                     os.path.join(work, "mpop-uidls")))
    os.chmod(rc, 0o600)
    r = subprocess.run(["mpop", "--file=" + rc, "--debug", "office"], env=dict(os.environ, HOME=work),
                       capture_output=True, timeout=60)
    output = (r.stdout + r.stderr).decode(errors="replace")
    check("mpop: exits 0", r.returncode == 0, output[-2000:])
    lines = output.splitlines()
    sends = [i for i, line in enumerate(lines) if line.startswith("--> RETR ")]
    first_answer = next((i for i, line in enumerate(lines) if line.startswith("<-- +OK message text follows")), -1)
    check("mpop: RETR commands went out pipelined", len(sends) == 50 and sends[1] < first_answer,
          "RETRs at %s, first answer at %d" % (sends[:3], first_answer))
    got = [open(os.path.join(box, "new", name), "rb").read() for name in os.listdir(os.path.join(box, "new"))]
    # mpop writes Unix line ends into a maildir.
    check("mpop: 50 messages, each as handed in", sorted(got) == sorted(unix(m) for m in sent),
          "%d files" % len(got))
    check("mpop: the maildrop is empty after", maildrop(server, *IVAN) == [])


def apop(server, material, work):
    hand_in(server, [message("apop")])
    p = POP3From(server.pop3)
    check("APOP: the greeting carries a time stamp", p.timestamp.search(p.getwelcome()) is not None,
          repr(p.getwelcome()))
    check("APOP with the wrong password is refused",
          "Password incorrect" in error_text(lambda: p.apop("ivan", "Secret8")))
    check("APOP with the right password logs in", p.apop(*IVAN).startswith(b"+OK"))
    check("APOP: the message byte-identical", retrieve(p) == [message("apop")])
    p.quit()


def over_ipv6(server, material, work):
    """Hand-in and collection on ::1 (the servers listen on every IPv4 and IPv6 address by
    default); ::1 is among the default relay networks; the log names the client as ::1."""
    try:
        probe = socket.socket(socket.AF_INET6)
        probe.bind(("::1", 0))
        probe.close()
    except OSError:
        print("skip IPv6: this machine has no ::1")
        return
    try:
        socket.create_connection(("::1", server.pop3), 5).close()
    except OSError as e:
        check("the POP3 server answers on ::1", False, repr(e))
        return
    with smtplib.SMTP("::1", server.smtp, timeout=20) as s:
        s.sendmail("a@office.ru", ["ivan@office.ru", "friend@far.away"], message("ipv6"))
    p = poplib.POP3("::1", server.pop3, timeout=20)
    p.user(IVAN[0])
    p.pass_(IVAN[1])
    check("over IPv6: handed in and collected byte-identical", retrieve(p) == [message("ipv6")])
    p.quit()
    check("over IPv6: the outside copy is queued", len(queued(server)) == 1)
    check("the log names the client ::1", "Запрос соединения от ::1" in server.log())


# --- many clients at once --------------------------------------------------------------------

USERS = [("u%02d" % i, "Pass%02d" % i) for i in range(1, 51)]


def in_threads(count, work, timeout=90):
    """Runs work(i) for i in range(count) on threads that start together; the errors by i."""
    barrier = threading.Barrier(count, timeout=30)
    errors = {}

    def run(i):
        try:
            barrier.wait()
            work(i)
        except Exception as e:  # every failure is reported with its client
            errors[i] = repr(e)

    threads = [threading.Thread(target=run, args=(i,), daemon=True) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout)
    for i, t in enumerate(threads):
        if t.is_alive():
            errors[i] = "still running"
    return errors


def many_clients(server, material, work):
    first = {u: [message("%s-%02d" % (u, n), u + "@office.ru") for n in range(20)] for u, _ in USERS}
    late = {u: [message("%s-late-%d" % (u, n), u + "@office.ru") for n in range(5)] for u, _ in USERS}

    def send(batch):
        def work(i):
            user = USERS[i][0]
            with smtp_from(server.smtp) as s:
                for m in batch[user]:
                    s.sendmail("a@office.ru", [user + "@office.ru"], m)
        return work

    errors = in_threads(len(USERS), send(first))
    check("50 SMTP clients at once: all served", errors == {}, str(errors)[:1000])

    # 50 readers empty their maildrops while 50 senders bring more mail to the same ones: what
    # a reader saw goes, what came during its session stays.
    seen = {}

    def read(i):
        user, password = USERS[i]
        p = POP3From(server.pop3, timeout=60)
        p.user(user)
        p.pass_(password)
        seen[user] = retrieve(p)
        p.quit()

    def both(i):
        (read if i < len(USERS) else send(late))(i % len(USERS))

    errors = in_threads(2 * len(USERS), both)
    check("50 POP3 and 50 SMTP clients at once: all served", errors == {}, str(errors)[:1000])
    wrong = []
    for user, password in USERS:
        got, left = seen.get(user, []), maildrop(server, user, password)
        if got[:20] != first[user] or sorted(got + left) != sorted(first[user] + late[user]):
            wrong.append("%s: read %d, left %d" % (user, len(got), len(left)))
    check("every message read once or left, none lost, none twice", wrong == [], str(wrong)[:1000])
    # The log keeps its last 64 KB: the sessions still in it.
    starts = [line for line in server.log().splitlines()
              if "POP3SRV>" in line and "Запрос соединения от" in line]
    numbers = [line.split("POP3SRV> [")[1].split("] ")[0] if "POP3SRV> [" in line else line for line in starts]
    check("POP3 sessions logged with a number each", len(numbers) > 10 and all(n.isdigit() for n in numbers)
          and len(set(numbers)) == len(numbers), str(numbers[:20]))


def slow_clients(server, material, work):
    """An idle client and one that drips a byte every 100 ms do not hold up a normal session."""
    hand_in(server, [message("beside-slow")])
    idle = [Line(server.pop3), Line(server.smtp)]
    normal_done, dripping = threading.Event(), threading.Event()
    drip_replies = []

    def drip():
        c = Line(server.pop3, timeout=30)
        drip_replies.append(c.line())
        commands = ["USER olga", "PASS olga1"] + ["NOOP"] * 200
        for command in commands:  # at most about two minutes of dripping, a safety net only
            for byte in (command + "\r\n").encode():
                c.sock.sendall(bytes([byte]))
                dripping.set()
                normal_done.wait(0.1)
            drip_replies.append(c.line())
            if normal_done.is_set() and command == "NOOP":
                break
        c.send("QUIT")
        drip_replies.append(c.line())
        c.close()

    dripper = threading.Thread(target=drip, daemon=True)
    dripper.start()
    dripping.wait(20)
    try:
        got = maildrop(server, *IVAN)
        check("beside an idle and a dripping client: a POP3 session completes", got == [message("beside-slow")])
        with smtp_from(server.smtp) as s:
            refused = s.sendmail("a@office.ru", ["ivan@office.ru"], message("beside-slow-2"))
        check("beside an idle and a dripping client: an SMTP session completes", refused == {})
    finally:
        normal_done.set()
    dripper.join(30)
    check("the dripping client is served right too",
          not dripper.is_alive() and len(drip_replies) >= 4 and all(r.startswith("+OK") for r in drip_replies),
          str(drip_replies))
    for c in idle:
        c.close()
    check("the second message arrived", maildrop(server, *IVAN) == [message("beside-slow-2")])


def maildrop_in_use(server, material, work):
    hand_in(server, [message("in-use")])
    first = POP3From(server.pop3)
    first.user(IVAN[0])
    first.pass_(IVAN[1])
    second = POP3From(server.pop3)
    second.user(IVAN[0])
    check("a second login to a maildrop in use: IN-USE", error_text(lambda: second.pass_(IVAN[1])) == IN_USE)
    check("a second APOP login to it: IN-USE", error_text(lambda: second.apop(*IVAN)) == IN_USE)
    check("the first session still reads its message", retrieve(first) == [message("in-use")])
    first.quit()
    second.user(IVAN[0])
    check("once the first session ended, the second logs in", second.pass_(IVAN[1]).startswith(b"+OK"))
    check("and finds the maildrop emptied by the first", second.stat() == (0, 0))
    second.quit()
    check("the refused login is logged",
          'Почтовый ящик пользователя "ivan" уже открыт другим сеансом' in server.log())


def burst(server, material, work):
    """400 connections at once (200 to each server, with the default of 20 sessions): those that
    get a place keep it until every client has its answer, so the rest wait and get the busy
    reply; none is left without an answer."""
    all_answered = threading.Event()
    answers = {}

    def client(key, port, smtp):
        try:
            c = Line(port, timeout=60)
        except OSError as e:
            answers[key] = "connect failed: %r" % e
            return
        try:
            lines = c.reply() if smtp else [c.line()]
            answers[key] = lines[0]
            if lines[0].startswith("+OK") or lines[0].startswith("220"):
                while not all_answered.wait(2):  # keeps the session alive meanwhile
                    c.send("NOOP")
                    c.line()
                c.send("QUIT")
                c.line()
        except (OSError, EOFError) as e:
            answers.setdefault(key, "no answer: %r" % e)
        finally:
            c.close()

    threads = [threading.Thread(target=client, args=((name, i), port, name == "smtp"), daemon=True)
               for name, port in (("pop3", server.pop3), ("smtp", server.smtp)) for i in range(200)]
    for t in threads:
        t.start()
    for _ in range(900):  # the busy replies come after SERVERS_TIMEOUT (10 s); at most 90 s
        if len(answers) == len(threads):
            break
        threading.Event().wait(0.1)
    all_answered.set()
    for t in threads:
        t.join(20)
    for name, greeting, busy in (("pop3", "+OK POP3 server ready", POP3_BUSY),
                                 ("smtp", "220-SMTP server ready", SMTP_BUSY)):
        got = Counter("greeting" if a.startswith(greeting) else "busy" if a == busy else a
                      for (n, _), a in answers.items() if n == name)
        check("burst of 200 on %s: every connection answered" % name, sum(got.values()) == 200, str(got))
        check("burst on %s: 20 greeted (the default MAX_SESSIONS), 180 busy" % name,
              got == Counter(greeting=20, busy=180), str(got))
    check("after the burst the server serves again", maildrop(server, *IVAN) == [])

    # Clients that leave after the greeting: those that wait get the places that free up.
    answers.clear()

    def quick(key, port, smtp):
        try:
            c = Line(port, timeout=60)
            answers[key] = c.reply()[0] if smtp else c.line()
            c.send("QUIT")
            c.line()
            c.close()
        except (OSError, EOFError) as e:
            answers.setdefault(key, "no answer: %r" % e)

    threads = [threading.Thread(target=quick, args=((name, i), port, name == "smtp"), daemon=True)
               for name, port in (("pop3", server.pop3), ("smtp", server.smtp)) for i in range(200)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    for name, greeting in (("pop3", "+OK POP3 server ready"), ("smtp", "220-SMTP server ready")):
        got = Counter("greeting" if a.startswith(greeting) else a for (n, _), a in answers.items() if n == name)
        check("burst of 200 short sessions on %s: every one greeted" % name, got == Counter(greeting=200), str(got))


# --- failed logins ---------------------------------------------------------------------------

def pop3_guesses(server, source, count):
    """`count` wrong passwords for ivan, as many on one connection as the server takes;
    the replies counted, and the connections it took."""
    replies, tried, connections = Counter(), 0, 0
    while tried < count and connections < 50:
        connections += 1
        try:
            c = Line(server.pop3, source)
            c.line()
            while tried < count:
                c.send("USER ivan")
                answer = c.line()
                if answer.startswith("+OK"):
                    c.send("PASS wrong%d" % tried)
                    answer = c.line()
                tried += 1
                replies["incorrect" if "Password incorrect" in answer else "locked out"
                        if answer == POP3_LOCKED_OUT else answer] += 1
            c.send("QUIT")
            c.close()
        except (OSError, EOFError):
            continue
    return replies, connections


def lockout_lines(server, address):
    return [line for line in server.log().splitlines() if "Вход с адреса %s заблокирован" % address in line]


def pop3_brute_force(server, material, work):
    hand_in(server, [message("brute")])
    replies, connections = pop3_guesses(server, OUTSIDE, 1000)
    print("     (1000 wrong passwords on %d connection(s))" % connections)
    check("1000 wrong POP3 passwords: exactly AUTH_FAIL_LIMIT (10) checked, the rest locked out",
          replies == Counter({"incorrect": 10, "locked out": 990}), str(replies))
    p = POP3From(server.pop3, OUTSIDE)
    p.user(IVAN[0])
    check("the right password from the locked-out address is refused unchecked",
          error_text(lambda: p.pass_(IVAN[1])) == POP3_LOCKED_OUT)
    check("so is APOP from there", error_text(lambda: p.apop(*IVAN)) == POP3_LOCKED_OUT)
    p.quit()
    c = Line(server.smtp, OUTSIDE)
    c.reply()
    c.send("EHLO pc2")
    c.reply()
    c.send("AUTH CRAM-MD5")
    check("the SMTP server refuses the locked-out address too", c.reply() == [SMTP_LOCKED_OUT])
    c.close()
    check("the right password from 127.0.0.1 still works", maildrop(server, *IVAN) == [message("brute")])
    lines = lockout_lines(server, OUTSIDE)
    check("one lock-out line for 127.0.0.2",
          len(lines) == 1 and "10 неудачных попыток (AUTH_FAIL_LIMIT)" in lines[0], str(lines))
    check("no lock-out for 127.0.0.1", lockout_lines(server, INSIDE) == [])


def smtp_brute_force(server, material, work):
    replies, connections = Counter(), 0
    tried = 0
    while tried < 100 and connections < 20:
        connections += 1
        try:
            c = Line(server.smtp, OTHER)
            c.reply()
            c.send("EHLO pc3")
            c.reply()
            while tried < 100:
                c.send("AUTH CRAM-MD5")
                answer = c.reply()[-1]
                if answer.startswith("334 "):
                    c.send(cram_response(answer, "ivan", "Wrong%d" % tried))
                    answer = c.reply()[-1]
                tried += 1
                replies["invalid" if answer == SMTP_BAD_LOGIN else "locked out" if answer == SMTP_LOCKED_OUT
                        else answer] += 1
            c.close()
        except (OSError, EOFError):
            continue
    print("     (100 wrong AUTHs on %d connection(s))" % connections)
    check("100 wrong SMTP AUTHs with AUTH_FAIL_LIMIT = 3: 3 checked, 97 locked out",
          replies == Counter({"invalid": 3, "locked out": 97}), str(replies))
    c = Line(server.smtp, OTHER)
    c.reply()
    c.send("EHLO pc3")
    c.reply()
    c.send("AUTH CRAM-MD5")
    check("the right login from 127.0.0.3 is refused unchecked", c.reply() == [SMTP_LOCKED_OUT])
    c.close()
    p = POP3From(server.pop3, OTHER)
    p.user(IVAN[0])
    check("the POP3 server refuses 127.0.0.3 too", error_text(lambda: p.pass_(IVAN[1])) == POP3_LOCKED_OUT)
    p.quit()
    with smtp_from(server.smtp, INSIDE) as s:
        s.ehlo("pc1")
        check("CRAM-MD5 from 127.0.0.1 still works", s.login(*IVAN)[0] == 235)
    lines = lockout_lines(server, OTHER)
    check("one lock-out line for 127.0.0.3",
          len(lines) == 1 and "3 неудачных попыток (AUTH_FAIL_LIMIT)" in lines[0], str(lines))

    # AUTH exchanges started before the lock-out and answered after it: the answers that come
    # once the limit is reached are refused unchecked as well.
    pending = []
    for _ in range(6):
        c = Line(server.smtp, "127.0.0.8")
        c.reply()
        c.send("EHLO pc8")
        c.reply()
        c.send("AUTH CRAM-MD5")
        pending.append((c, c.reply()[-1]))
    replies = Counter()
    for c, challenge in pending:
        if challenge.startswith("334 "):
            c.send(cram_response(challenge, "ivan", "Wrong"))
            challenge = c.reply()[-1]
        replies["invalid" if challenge == SMTP_BAD_LOGIN else "locked out" if challenge == SMTP_LOCKED_OUT
                else challenge] += 1
        c.close()
    check("6 AUTH exchanges begun together, answered one by one: 3 checked, 3 locked out",
          replies == Counter({"invalid": 3, "locked out": 3}), str(replies))

    # 50 connections from one address send their wrong password at the same moment: still
    # only AUTH_FAIL_LIMIT of them are checked.
    parallel = "127.0.0.4"
    connections = []
    for _ in range(50):
        c = Line(server.pop3, parallel)
        c.line()
        c.send("USER ivan")
        c.line()
        connections.append(c)
    replies, tally = Counter(), threading.Lock()

    def guess(i):
        connections[i].send("PASS wrong%d" % i)
        answer = connections[i].line()
        with tally:
            replies["incorrect" if "Password incorrect" in answer else "locked out" if answer == POP3_LOCKED_OUT
                    else answer] += 1

    errors = in_threads(len(connections), guess)
    for c in connections:
        c.close()
    check("50 wrong POP3 passwords at once from one address: 3 checked, 47 locked out",
          errors == {} and replies == Counter({"incorrect": 3, "locked out": 47}), "%s %s" % (replies, errors))
    check("one lock-out line for 127.0.0.4", len(lockout_lines(server, parallel)) == 1)


def set_user_password(server, material, work):
    """`set-password user NAME` refuses what the POP3 server could never match and stores the
    rest (lower-cased, as the servers dialog stores it)."""
    def run(name, password):
        return subprocess.run([QUELMA, "--dir", server.dir, "set-password", "user", name], input=password.encode(),
                              capture_output=True, timeout=30)
    for password, why in (("pass-word\n", "only Latin letters and digits"), ("abcdefghijk\n", "longer than 10")):
        done = run("ivan", password)
        check("set-password user refuses a password " + why,
              done.returncode == 1 and "POP3" in done.stderr.decode("utf-8", "replace"), done.stderr)
    check("set-password user: an unknown user", run("nobody", "abc\n").returncode == 1)
    check("set-password user: a good password is stored", run("IVAN", "NewPass9\n").returncode == 0)
    with open(server.path("quelma.cfg"), "rb") as f:
        users = f.read().split(b"[Users]")[1]
    check("quelma.cfg holds it for ivan, lower-cased", b"\r\nivan newpass9" in users, users[:200])


def main():
    work = tempfile.mkdtemp(prefix="quelma-localclients-")
    material = Material(work)
    tls = ["TLS_CERT_FILE = " + material.good["cert"], "TLS_KEY_FILE = " + material.good["key"]]
    users = ["ivan Secret7", "olga olga1", "nopass", "postmaster"]
    outside_relay = ["RELAY_NETWORKS = 127.0.0.1/32"]
    scenarios = [
        ("SMTP AUTH and relaying", tls + outside_relay + ["SMTP_SRV_AUTH = YES"], users, relay_and_auth),
        ("SMTP_SRV_AUTH = REQUIRED", tls + ["SMTP_SRV_AUTH = REQUIRED"], users, auth_required),
        ("a mail reader", tls, users, mail_reader),
        ("fetchmail", tls, users, fetchmail),
        ("mpop", tls, users, mpop_pipelining),
        ("APOP", tls, users, apop),
        ("passwords in clear", tls, users, plaintext_logins),
        ("set-password user", [], users, set_user_password),
        ("IPv6", [], users, over_ipv6),
        ("many clients", ["MAX_SESSIONS = 60"], ["%s %s" % u for u in USERS] + ["postmaster"], many_clients),
        ("slow clients", ["SERVERS_TIMEOUT = 10000"], users, slow_clients),
        ("one session per maildrop", [], users, maildrop_in_use),
        ("a burst of connections", ["SERVERS_TIMEOUT = 10000"], users, burst),
        ("POP3 password guessing", outside_relay + ["SMTP_SRV_AUTH = YES"], users, pop3_brute_force),
        ("SMTP AUTH guessing", ["SMTP_SRV_AUTH = YES", "AUTH_FAIL_LIMIT = 3", "MAX_SESSIONS = 60"], users,
         smtp_brute_force),
    ]
    try:
        try:
            relay_networks(work)
        except Exception:
            check("RELAY_NETWORKS table: ran to the end", False, traceback.format_exc())
        for name, parameters, table, run in scenarios:
            needs = {"SMTP AUTH and relaying": "msmtp", "SMTP_SRV_AUTH = REQUIRED": "msmtp", "fetchmail": "fetchmail",
                     "mpop": "mpop"}.get(name)
            if needs and shutil.which(needs) is None:
                check(needs + " is installed", False)
                continue
            server = Quelma(QUELMA, ["LocalDomain = office.ru", "PostMaster = postmaster"] + parameters, table)
            failed = len(checks.failures)
            try:
                run(server, material, work)
            except Exception:  # a client that failed outright is a failed check; the rest still run
                check(name + ": ran to the end", False, traceback.format_exc())
            finally:
                if len(checks.failures) > failed:
                    print(server.log()[-4000:])
                check(name + ": quelma exits 0 on SIGINT", server.stop() == 0)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return checks.result()


if __name__ == "__main__":
    sys.exit(main())
