#!/usr/bin/env python3
"""Real POP3 clients that keep track of what they fetched by UIDL (mpop, getmail6, fetchmail)
collect the postmaster's maildrop: ordinary messages handed in over SMTP, delivery-failure
notices that the upload left when aiosmtpd on 127.0.0.1 refused recipients, and one message
stored under the short separator (no id of its own). Every message LIST counts has a unique id
that stays the same across sessions, restarts and deletions of other messages; each client
fetches each message exactly once in keep mode run twice, then only a message that came since,
and delete mode empties the maildrop; a poll of a user without a maildrop is no error.
Every client works on its own copy of the same maildrop."""
import email
import mailbox
import os
import poplib
import pwd
import re
import shutil
import signal
import smtplib
import socket
import subprocess
import sys
import tempfile
import time
import traceback
from types import SimpleNamespace

from quelma_process import Checks, Quelma, account_port, eventually, free_port, wait_listening

try:
    from aiosmtpd.controller import Controller
except ImportError:  # reported as a failed check below
    Controller = None

QUELMA = sys.argv[1]
MARKER = b"From \x01\x01\x02\x02\x01\x01\x03\x03"
TAG = "X-Office-Test-Id"
NOTICE_SUBJECT = "Message delivery error notification"
PLAIN = ["plain-%d" % i for i in range(1, 5)]
REFUSED = ["refused-%d" % i for i in range(1, 4)]
PARTLY = "partly-refused"
SHORT = "short-form"
# Every message the postmaster's maildrop is to hold, as the clients' outputs name them.
EXPECTED = sorted([SHORT] + PLAIN + ["notice:" + r for r in REFUSED + [PARTLY]])

checks = Checks()
check = checks.check


class Provider:
    """The provider's SMTP server: every address at refuse.test is unknown to it."""

    def __init__(self):
        self.received = []

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.lower().endswith("@refuse.test"):
            return "550 5.1.1 <%s>: no such user here" % address
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.received.append((envelope.mail_from, list(envelope.rcpt_tos), envelope.original_content))
        return "250 OK queued"


class Office(Quelma):
    """quelma that can be stopped and started again on the same directory (new ports each time)."""

    def halt(self):
        self.proc.send_signal(signal.SIGINT)
        return self.proc.wait(timeout=20)

    def launch(self):
        self.pop3, self.smtp, self.imap = free_port(), free_port(), free_port()
        path = self.path("quelma.cfg")
        cfg = open(path, "rb").read().decode("cp1251")
        cfg = re.sub(r"POP3_SRV_PORT = \d+", "POP3_SRV_PORT = %d" % self.pop3, cfg)
        cfg = re.sub(r"SMTP_SRV_PORT = \d+", "SMTP_SRV_PORT = %d" % self.smtp, cfg)
        cfg = re.sub(r"IMAP_SRV_PORT = \d+", "IMAP_SRV_PORT = %d" % self.imap, cfg)
        with open(path, "wb") as f:
            f.write(cfg.encode("cp1251"))
        self.proc = subprocess.Popen([QUELMA, "--dir", self.dir], stdout=subprocess.DEVNULL)
        for port in (self.pop3, self.smtp):
            wait_listening(port, tries=500)

    def maildrop(self):
        return self.path("maildrop", "postmaster")

    def log(self):
        path = self.path("quelma.log")
        return open(path, "rb").read().decode("cp1251", "replace") if os.path.exists(path) else ""


def wait_for(condition, seconds):
    end = time.time() + seconds
    while time.time() < end:
        if condition():
            return True
        time.sleep(0.1)
    return condition()


def text(tag, subject, body_lines):
    return ("From: Ivan <ivan@office.ru>\r\nTo: <postmaster@office.ru>\r\nSubject: %s\r\n%s: %s\r\n\r\n"
            % (subject, TAG, tag) + "".join(line + "\r\n" for line in body_lines)).encode("cp1251")


def key_of(message):
    """The test id of one delivered message; a notice is named after the message it carries."""
    parts = re.split(rb"\r?\n\r?\n", message, maxsplit=1)
    head, body = parts[0], parts[1] if len(parts) > 1 else b""
    parsed = email.message_from_bytes(head + b"\n\n")
    if parsed[TAG]:
        return parsed[TAG].strip()
    if (parsed["Subject"] or "").strip() == NOTICE_SUBJECT:
        found = re.search(rb"^" + TAG.encode() + rb": (\S+)", body, re.M)
        return "notice:" + (found.group(1).decode() if found else "?")
    return "?"


def session(port):
    p = poplib.POP3("127.0.0.1", port, timeout=10)
    p.user("postmaster")
    p.pass_("pm")
    return p


def uidl_of(p, n):
    try:
        return p.uidl(n).split()[2].decode("ascii", "replace")
    except poplib.error_proto as e:
        return "(%s)" % e


def listing(port):
    """One session, nothing deleted: LIST's sizes, UIDL's numbers and ids, the id that UIDL n
    gives for each message, and the test id of each message's text."""
    p = session(port)
    sizes = [int(line.split()[1]) for line in p.list()[1]]
    uidl = [line.split() for line in p.uidl()[1]]
    found = SimpleNamespace(sizes=sizes, numbers=[int(u[0]) for u in uidl],
                            ids=[u[1].decode("ascii", "replace") for u in uidl],
                            single=[uidl_of(p, n) for n in range(1, len(sizes) + 1)],
                            keys=[key_of(b"\r\n".join(p.retr(n)[1]) + b"\r\n") for n in range(1, len(sizes) + 1)])
    p.quit()
    return found


def build_maildrop(server, provider):
    """The postmaster's maildrop, made as the program makes it; returns its bytes."""
    with smtplib.SMTP("127.0.0.1", server.smtp, timeout=10) as s:
        for i, tag in enumerate(PLAIN):
            s.sendmail("ivan@office.ru", ["postmaster@office.ru"],
                       text(tag, "ordinary %d" % i, ["hello %d" % i, "From the desk of Ivan", ".a dot", "end"]))
        for i, tag in enumerate(REFUSED):
            s.sendmail("ivan@office.ru", ["nobody%d@refuse.test" % i],
                       text(tag, "to nobody %d" % i, ["will not go", "Строка ЁЁ ёё"]))
        s.sendmail("ivan@office.ru", ["friend@far.away", "nobody@refuse.test"],
                   text(PARTLY, "half", ["goes to one of two"]))
    check("the outside messages wait in the queue", len(os.listdir(server.path("queue"))) == len(REFUSED) + 1,
          str(os.listdir(server.path("queue"))))
    server.proc.send_signal(signal.SIGUSR1)
    done = wait_for(lambda: os.listdir(server.path("queue")) == []
                    and not os.path.exists(server.path("maildrop", "smtp_upload.runs"))
                    and "Отключение от сервера." in server.log(), 30)
    check("the session uploaded the queue and ended", done, server.log()[-3000:])
    check("the provider took only the message with one good recipient",
          [(r[0], r[1]) for r in provider.received] == [("ivan@office.ru", ["friend@far.away"])],
          str([(r[0], r[1]) for r in provider.received]))
    check("quelma exits 0 on SIGINT after the session", server.halt() == 0)
    data = open(server.maildrop(), "rb").read()
    check("the maildrop holds a separator for every message",
          data.count(b"\r\n" + MARKER) + data.startswith(MARKER) == len(EXPECTED))
    return data


def with_poplib(server, original):
    first = listing(server.pop3)
    ids, keys = first.ids, first.keys
    check("poplib: LIST counts every message", sorted(keys) == EXPECTED, str(keys))
    check("poplib: UIDL lists every message LIST counts",
          first.numbers == list(range(1, len(first.sizes) + 1)), "LIST %d, UIDL %s" % (len(first.sizes), first.numbers))
    check("poplib: ids unique", len(set(ids)) == len(ids), str(ids))
    check("poplib: ids of 1 to 70 printable characters",
          all(0 < len(i) <= 70 and all(0x21 <= ord(c) <= 0x7E for c in i) for i in ids), str(ids))
    check("poplib: UIDL n answers as the listing", first.single == ids, "%s / %s" % (first.single, ids))
    again = listing(server.pop3)
    check("poplib: the same ids in a second session", again.ids == ids and again.keys == keys, str(again.ids))

    # Another message deleted: the others keep their ids, the short-form one included.
    victim = keys.index(PLAIN[0]) + 1
    p = session(server.pop3)
    p.dele(victim)
    p.quit()
    after = listing(server.pop3)
    expected_ids = ids[:victim - 1] + ids[victim:]
    check("poplib: after a deletion the rest keep their ids", after.ids == expected_ids,
          "%s, wanted %s" % (after.ids, expected_ids))
    check("quelma exits 0 on SIGINT", server.halt() == 0)
    with open(server.maildrop(), "wb") as f:
        f.write(original)
    server.launch()
    restarted = listing(server.pop3)
    check("poplib: the same ids after a restart", restarted.ids == ids and restarted.keys == keys, str(restarted.ids))
    return dict(zip(keys, ids))


# Each client: a function (work dir, POP3 port, keep) that runs it once and returns
# (exit status, output), and a function (work dir) that returns the test ids of what it delivered.

def mpop_run(work, port, keep):
    rc = os.path.join(work, "mpoprc")
    with open(rc, "w") as f:
        f.write("defaults\ntls off\nauth user\n\naccount quelma\nhost 127.0.0.1\nport %d\nuser postmaster\n"
                "password pm\nuidls_file %s\ndelivery mbox %s\nkeep %s\n"
                % (port, os.path.join(work, "uidls"), os.path.join(work, "inbox.mbox"), "on" if keep else "off"))
    os.chmod(rc, 0o600)
    result = subprocess.run(["mpop", "--file=" + rc, "--quiet", "quelma"], env=dict(os.environ, HOME=work),
                            capture_output=True, timeout=60)
    return result.returncode, result.stdout + result.stderr


def mbox_keys(path):
    if not os.path.exists(path):
        return []
    box = mailbox.mbox(path, create=False)
    keys = [key_of(box.get_bytes(k)) for k in box.keys()]
    box.close()
    return keys


def getmail_run(work, port, keep):
    directory = os.path.join(work, "getmail")
    os.makedirs(directory, exist_ok=True)
    target = os.path.join(work, "inbox.mboxrd")
    # getmail never writes an mbox as root: run as root, it writes as nobody, whose file it is then.
    as_user = ""
    if not os.path.exists(target):
        open(target, "wb").close()
    if os.geteuid() == 0:
        nobody = pwd.getpwnam("nobody")
        os.chmod(work, 0o755)
        os.chown(target, nobody.pw_uid, nobody.pw_gid)
        as_user = "user = nobody\n"
    with open(os.path.join(directory, "getmailrc"), "w") as f:
        f.write("[retriever]\ntype = SimplePOP3Retriever\nserver = 127.0.0.1\nport = %d\nusername = postmaster\n"
                "password = pm\n\n[destination]\ntype = Mboxrd\npath = %s\n%s\n"
                "[options]\nread_all = false\ndelete = %s\nverbose = 2\nmessage_log_verbose = false\n"
                % (port, target, as_user, "false" if keep else "true"))
    try:
        result = subprocess.run(["getmail", "--getmaildir", directory, "--rcfile", "getmailrc"],
                                env=dict(os.environ, HOME=work), capture_output=True, timeout=60)
    except subprocess.TimeoutExpired as e:  # what it printed so far, as a failed run
        return 124, b"getmail did not end in 60 s: " + (e.stdout or b"") + (e.stderr or b"")
    return result.returncode, result.stdout + result.stderr


def fetchmail_run(work, port, keep):
    rc = os.path.join(work, "fetchmailrc")
    out = os.path.join(work, "delivered")
    os.makedirs(out, exist_ok=True)
    with open(rc, "w") as f:
        # nokeep with flush: what was fetched before goes from the server without a second copy.
        f.write("set no syslog\nset idfile %s\npoll 127.0.0.1 protocol pop3 port %d uidl auth password\n"
                "  user postmaster password pm is postmaster here %s sslproto ''\n"
                "  mda \"cat > $(mktemp -p %s msg.XXXXXXXX)\"\n"
                % (os.path.join(work, "fetchids"), port, "keep" if keep else "nokeep flush", out))
    os.chmod(rc, 0o600)
    result = subprocess.run(["fetchmail", "-f", rc, "--invisible", "--nosoftbounce"],
                            env=dict(os.environ, HOME=work, FETCHMAILHOME=work), capture_output=True, timeout=60)
    # 1 is "no new mail", which the second keep run is to say.
    return (0 if result.returncode == 1 else result.returncode), result.stdout + result.stderr


def fetchmail_keys(work):
    out = os.path.join(work, "delivered")
    if not os.path.isdir(out):
        return []
    return [key_of(open(os.path.join(out, name), "rb").read()) for name in sorted(os.listdir(out))]


CLIENTS = [
    ("mpop", mpop_run, lambda work: mbox_keys(os.path.join(work, "inbox.mbox"))),
    ("getmail", getmail_run, lambda work: mbox_keys(os.path.join(work, "inbox.mboxrd"))),
    ("fetchmail", fetchmail_run, fetchmail_keys),
]


def log_tail(server, lines=30):
    """The last lines of the program's log, to tell a client's fault from the server's."""
    try:
        return "\n".join(open(server.path("quelma.log"), "rb").read().decode("cp1251").splitlines()[-lines:])
    except OSError:
        return "(no quelma.log)"


def with_client(server, original, uids, name, run, delivered):
    if shutil.which(name) is None:
        check(name + " is installed", False)
        return
    with open(server.maildrop(), "wb") as f:
        f.write(original)
    server.launch()
    work = tempfile.mkdtemp(prefix="quelma-uidl-%s-" % name)
    try:
        copy = listing(server.pop3)
        check(name + ": the copy lists the same ids", dict(zip(copy.keys, copy.ids)) == uids, str(copy.ids))
        for step in ("keep", "keep again"):
            code, output = run(work, server.pop3, keep=True)
            got = delivered(work)
            check("%s %s: runs without an error" % (name, step), code == 0,
                  output.decode(errors="replace")[-2000:] + "\n" + log_tail(server))
            check("%s %s: every message delivered exactly once" % (name, step), sorted(got) == EXPECTED,
                  "got %s" % sorted(got))
            check("%s %s: the maildrop stays whole" % (name, step),
                  os.path.exists(server.maildrop()) and open(server.maildrop(), "rb").read() == original)
        # Mail that comes later gets an id of its own, and the ids already fetched stay.
        late = "late-" + name
        with smtplib.SMTP("127.0.0.1", server.smtp, timeout=10) as s:
            s.sendmail("ivan@office.ru", ["postmaster@office.ru"], text(late, "later", ["one more"]))
        code, output = run(work, server.pop3, keep=True)
        got = delivered(work)
        check(name + " keep after new mail: runs without an error", code == 0, output.decode(errors="replace")[-2000:])
        check(name + " keep after new mail: only the new message fetched", sorted(got) == sorted(EXPECTED + [late]),
              "got %s" % sorted(got))
        code, output = run(work, server.pop3, keep=False)
        got = delivered(work)
        check(name + " delete mode: runs without an error", code == 0, output.decode(errors="replace")[-2000:])
        check(name + " delete mode: nothing fetched a second time", sorted(got) == sorted(EXPECTED + [late]),
              "got %s" % sorted(got))
        check(name + " delete mode: the maildrop is emptied",
              eventually(lambda: not os.path.exists(server.maildrop())))
        p = session(server.pop3)
        check(name + " delete mode: POP3 shows no message", p.stat() == (0, 0))
        p.quit()
        # With no maildrop at all a poll finds nothing and says no error (getmail asks UIDL first).
        code, output = run(work, server.pop3, keep=True)
        check(name + " with no maildrop: runs without an error", code == 0, output.decode(errors="replace")[-2000:])
    finally:
        check(name + ": quelma exits 0 on SIGINT", server.halt() == 0)
        shutil.rmtree(work, ignore_errors=True)


def main():
    if Controller is None:
        check("aiosmtpd is installed", False)
        return checks.result()
    provider = Provider()
    port = account_port()
    controller = Controller(provider, hostname="127.0.0.1", port=port)
    controller.start()
    server = Office(QUELMA, ["LocalDomain = office.ru", "PostMaster = postmaster", "SMTPServer = 127.0.0.1",
                             "SMTPSport = %d" % port, "SMTP_USES_LOGIN = 0"],
                    ["postmaster pm ; ", "ivan iv ; "])
    try:
        # A message of an older version: the short separator and no id, there before the start.
        check("quelma exits 0 on SIGINT before the maildrop is laid", server.halt() == 0)
        with open(server.maildrop(), "wb") as f:
            f.write(MARKER + b"\r\n" + text(SHORT, "stored long ago", ["an old message", "without an id"]))
        server.launch()
        original = build_maildrop(server, provider)
        server.launch()
        uids = with_poplib(server, original)
        check("quelma exits 0 on SIGINT after poplib", server.halt() == 0)
        for name, run, delivered in CLIENTS:
            try:
                with_client(server, original, uids, name, run, delivered)
            except Exception:  # the next client still gets its turn
                check(name + ": ran to the end", False, traceback.format_exc())
    except Exception:
        check("the maildrop was built and listed", False, traceback.format_exc())
    finally:
        if server.proc.poll() is None:
            server.halt()
        shutil.rmtree(server.dir, ignore_errors=True)
        controller.stop()
    return checks.result()


if __name__ == "__main__":
    sys.exit(main())
