#!/usr/bin/env python3
"""Two offices relaying to each other through one real provider on 127.0.0.1: a private Postfix
takes mail for a.test and b.test and delivers each domain into one maildir (box-a, box-b), which
one Dovecot serves by POP3. Office A (quelma, LocalDomain a.test, account box-a, delivery "*")
keeps "report" mail for ivan and relays it to petr@b.test; office B (LocalDomain b.test, account
box-b) relays "report" mail to office@a.test, an address that lands in box-a again. Both upload
to the same Postfix.

- One "report" message from outside to ivan@a.test, then sessions A, B, A, B, ... (eight in
  all): it goes A -> B -> A once and stops there. Every copy Postfix delivers is kept from the
  maildirs between sessions and counted against Postfix's log: exactly three (the original, A's
  relay to petr@b.test, B's relay to office@a.test). A's copy is the message A downloaded with
  "X-Loop: a.test" above it, B's the message B downloaded with "X-Loop: b.test" above it (so
  both lines), each with the SMTP client's trace line and without the Return-Path line Postfix
  removes; A's second download is not relayed (its log says why), ivan has the message
  once, byte-identical to the provider's copy, and both queues end empty.
- An auto-reply ("Auto-Submitted: auto-replied") to ivan is delivered to him and never relayed;
  one with "Auto-Submitted: no" is relayed to petr@b.test with A's X-Loop line; an
  auto-generated one that reaches B, whose rule names no local user, goes to B's fallback
  (UNDISCLOSED_MAIL_TO = petr) and is not relayed."""
import os
import pwd
import re
import shutil
import signal
import smtplib
import sys
import tempfile
import time

import pop3_client_interop as dove
from maildir_pop3 import MaildirPop3, wait_for
from multidrop_interop import body_of, fields, header_of, message_id
from postfix_tls_interop import Postfix, ensure_postfix
from quelma_process import Checks, Quelma, account_port, scramble
from smtp_client_interop import arrived_whole

BOXES = {"box-a": "box-a-secret", "box-b": "box-b-secret"}
SESSION_SECONDS = 120  # bound of one session's wait (a sanitizer build is slower)
SENDER = "lena@outside.test"

checks = Checks()
check = checks.check


# ---------------------------------------------------------------------------------------------
# Messages

BODY = ("Отчет за неделю.\r\n"
        ".leading dot\r\n"
        "From the desk of Lena\r\n"
        "Строка с буквами ёЁ\r\n").encode("cp1251") + b"".join(b"line %03d of the report\r\n" % i for i in range(20))


def message(to, mid, extra=b""):
    return (b"From: Lena <" + SENDER.encode() + b">\r\n"
            b"To: " + to.encode() + b"\r\n"
            b"Subject: report\r\n"
            b"Message-ID: <" + mid.encode() + b">\r\n"
            b"Date: Mon, 01 Jun 2026 10:00:00 +0000\r\n" + extra +
            b"\r\n" + BODY)


def below_postfix(text):
    """The message as the client gave it to Postfix: without the Return-Path, X-Original-To and
    Delivered-To lines its virtual agent writes and the Received header its smtpd writes
    (folded); None when the message does not start with those four."""
    rest = text
    for name in (b"Return-Path: ", b"X-Original-To: ", b"Delivered-To: ", b"Received: "):
        if not rest.startswith(name):
            return None
        end = 0
        while True:
            end = rest.index(b"\r\n", end) + 2
            if rest[end:end + 1] not in (b" ", b"\t"):
                break
        rest = rest[end:]
    return rest


def delivered_to(text):
    return (fields(text, "Delivered-To") or [""])[0]


def describe(texts):
    return ", ".join("%s to %s" % (message_id(t), delivered_to(t)) for t in texts) or "nothing"


# ---------------------------------------------------------------------------------------------
# The provider


class Provider:
    """Postfix on a port of its own delivering a.test into box-a and b.test into box-b, and
    Dovecot's POP3 server serving both boxes. Every copy Postfix delivers is kept in `delivered`
    (by its maildir name) when `collect` runs, before a session can take it away."""

    def __init__(self, work):
        self.work = work
        owner = pwd.getpwnam("dovecot")
        self.dovecot = MaildirPop3(work, BOXES)
        self.pop3 = self.dovecot.port
        self.smtp = account_port()
        main = ["virtual_mailbox_domains = a.test, b.test",
                "virtual_mailbox_maps = inline:{ {@a.test = box-a/Maildir/}, {@b.test = box-b/Maildir/} }",
                "virtual_mailbox_base = " + os.path.join(work, "home"),
                "virtual_uid_maps = static:%d" % owner.pw_uid, "virtual_gid_maps = static:%d" % owner.pw_gid,
                "virtual_minimum_uid = 1", "virtual_mailbox_limit = 0"]
        self.postfix = Postfix(work, "provider",
                               {self.smtp: ["smtpd_relay_restrictions=permit_mynetworks,reject_unauth_destination"]},
                               main)
        self.delivered = {}

    def box(self, name):
        """The messages in a box now, by maildir base name."""
        return self.dovecot.messages(name)

    def collect(self):
        """Waits (bounded) until Postfix has delivered everything it took, then keeps every copy
        in the boxes."""
        settled = wait_for(lambda: self.postfix.pending() == 0, 30)
        before = set(self.delivered)
        for name in BOXES:
            self.delivered.update(self.box(name))
        self.arrived = [self.delivered[n] for n in sorted(set(self.delivered) - before)]
        return settled

    def copies(self, mid):
        """Every copy of the message Postfix delivered so far."""
        return sorted((t for t in self.delivered.values() if message_id(t) == "<%s>" % mid), key=delivered_to)

    def sent_in_log(self):
        """Deliveries into a maildir in Postfix's log."""
        return len(re.findall(r"status=sent \(delivered to maildir\)", self.postfix.maillog()))

    def disconnects(self, box):
        return self.dovecot.disconnects(box)

    def send(self, to, text):
        with smtplib.SMTP("127.0.0.1", self.smtp, timeout=30) as s:
            refused = s.sendmail(SENDER, [to], text)
        check("Postfix took the message for " + to, refused == {}, str(refused))
        check("Postfix delivered it", self.collect())

    def stop(self):
        self.postfix.stop()
        self.dovecot.stop()


# ---------------------------------------------------------------------------------------------
# The offices


class Office:
    """quelma for one domain, its sorter rule "Subject" / "report" / `recipients` / stop, and
    the log of each of its sessions."""

    def __init__(self, binary, provider, domain, box, users, recipients, extra=()):
        self.domain, self.box, self.users, self.provider = domain, box, users, provider
        self.quelma = Quelma(binary, ["LocalDomain = " + domain, "PostMaster = postmaster", "SMTPServer = 127.0.0.1",
                                      "SMTPSport = %d" % provider.smtp] + list(extra) +
                             ["[POP3accounts]", "127.0.0.1 %s ; %s-%d-0-*" % (box, scramble(BOXES[box]), provider.pop3)],
                             users)
        with open(self.quelma.path("sorter.cfg"), "wb") as f:
            f.write(("\r\nSubject\r\nreport\r\n%s\r\n1\r\n" % recipients).encode("ascii"))
        self.sessions = []

    def session(self):
        """One send/receive session, then Postfix's deliveries collected; the log it wrote, or
        None when it did not end."""
        q = self.quelma
        start, seen = len(q.log()), self.provider.disconnects(self.box)
        q.proc.send_signal(signal.SIGUSR1)

        def ended():
            new = q.log()[start:]
            return ("*** Загрузка почты с POP3 сервера" in new
                    and ("Отключаюсь от сервера" in new or "работа POP3 клиента закончена" in new)
                    and "*** Отправка исходящих сообщений по SMTP" in new
                    and not os.path.exists(q.path("maildrop", "smtp_upload.runs"))
                    and not os.path.exists(q.path("maildrop", "pop3_download.runs")))

        done = wait_for(ended, SESSION_SECONDS) and wait_for(lambda: self.provider.disconnects(self.box) > seen, 30)
        check("%s session %d ended" % (self.domain, len(self.sessions) + 1), done)
        check("%s session %d: Postfix delivered what it took" % (self.domain, len(self.sessions) + 1),
              self.provider.collect())
        print("     Postfix delivered: " + describe(self.provider.arrived))
        log = q.log()
        check("%s session %d: quelma.log was not trimmed" % (self.domain, len(self.sessions) + 1), len(log) >= start)
        self.sessions.append(log[start:] if done else "")
        return self.sessions[-1]

    def log(self):
        return "".join(self.sessions)

    def maildrop(self, user):
        return dove.maildrop_texts(self.quelma.path("maildrop", user))

    def queue(self):
        return sorted(os.listdir(self.quelma.path("queue")))

    def stop(self):
        check(self.domain + ": quelma exits 0 on SIGINT", self.quelma.stop() == 0)


# ---------------------------------------------------------------------------------------------
# Scenarios


def check_relayed(what, copy, downloaded, domain):
    """A relayed copy is the message the office downloaded with its X-Loop line above it and
    the SMTP client's trace line below its header. Postfix's cleanup removes every Return-Path
    line a message arrives with (its final delivery writes its own), here the one that was at
    the top of the downloaded copy."""
    below = below_postfix(copy or b"")
    header = re.sub(rb"^Return-Path: [^\r\n]*\r\n", b"", header_of(downloaded or b"") + b"\r\n", flags=re.M)
    check(what + " is the downloaded message with \"X-Loop: %s\" above it" % domain,
          below is not None and downloaded is not None and
          arrived_whole(below, b"X-Loop: " + domain.encode() + b"\r\n" + header, body_of(downloaded)),
          "got %r" % (below or b"")[:800])


LOOPED = "report-1@outside.test"


def loop_stops(provider, a, b):
    mid = LOOPED
    sent = message("ivan@a.test", mid)
    provider.send("ivan@a.test", sent)
    for _ in range(4):
        a.session()
        b.session()
    copies = {delivered_to(t): t for t in provider.copies(mid)}
    check("loop: Postfix delivered exactly the original, A's relay to petr@b.test and B's relay to office@a.test",
          sorted(copies) == ["ivan@a.test", "office@a.test", "petr@b.test"] and len(provider.copies(mid)) == 3,
          "got %s" % describe(provider.copies(mid)))
    check("loop: Postfix's log counts as many deliveries as were kept (nothing delivered unseen)",
          wait_for(lambda: provider.sent_in_log() == len(provider.delivered), 10),
          "log %d, kept %d" % (provider.sent_in_log(), len(provider.delivered)))
    check("loop: nothing bounced or deferred", not re.search(r"status=(bounced|deferred)", provider.postfix.maillog()))
    original = below_postfix(copies.get("ivan@a.test", b""))
    check("loop: the provider's copy for ivan is the message sent", original == sent)
    to_b, to_a = copies.get("petr@b.test"), copies.get("office@a.test")
    check_relayed("loop: A's copy to petr@b.test", to_b, copies.get("ivan@a.test"), "a.test")
    check_relayed("loop: B's copy to office@a.test", to_a, to_b, "b.test")
    check("loop: A's copy carries exactly \"X-Loop: a.test\"", to_b is not None and fields(to_b, "X-Loop") == ["a.test"],
          str(to_b and fields(to_b, "X-Loop")))
    check("loop: B's copy carries \"X-Loop: b.test\" and then \"X-Loop: a.test\"",
          to_a is not None and fields(to_a, "X-Loop") == ["b.test", "a.test"], str(to_a and fields(to_a, "X-Loop")))
    check("loop: every copy's body is the one sent", all(body_of(t) == BODY for t in copies.values()))
    alog, blog = a.log(), b.log()
    check("loop: A relayed it once", alog.count("пересылается petr@b.test") == 1, alog[-3000:])
    check("loop: B relayed it once", blog.count("пересылается office@a.test") == 1, blog[-3000:])
    check("loop: A's second download is not relayed, and the log says why",
          alog.count("не пересылается повторно (X-Loop: a.test)") == 1, alog[-3000:])
    check("loop: B never refused to relay", "не пересылается повторно" not in blog, blog[-3000:])
    check("loop: A's second download is not delivered to ivan again",
          "для ivan уже доставлено (Message-ID <%s>)" % mid in alog, alog[-3000:])
    check("loop: ivan has the message once, byte-identical to the provider's copy",
          a.maildrop("ivan") == [copies.get("ivan@a.test")], describe(a.maildrop("ivan")))
    others = {"a.test postmaster": a.maildrop("postmaster"), "b.test postmaster": b.maildrop("postmaster"),
              "b.test petr": b.maildrop("petr")}
    check("loop: nobody else has anything", all(v == [] for v in others.values()),
          str({k: describe(v) for k, v in others.items()}))
    check("loop: both queues are empty", a.queue() == [] and b.queue() == [], str((a.queue(), b.queue())))
    check("loop: both boxes are empty", provider.box("box-a") == {} and provider.box("box-b") == {},
          str((describe(provider.box("box-a").values()), describe(provider.box("box-b").values()))))


def auto_submitted(provider, a, b):
    replied, no, generated = "auto-replied-1@outside.test", "auto-no-1@outside.test", "auto-generated-1@outside.test"
    texts = {replied: message("ivan@a.test", replied, b"Auto-Submitted: auto-replied\r\n"),
             no: message("ivan@a.test", no, b"Auto-Submitted: no\r\n"),
             generated: message("someone@b.test", generated, b"Auto-Submitted: auto-generated (notice)\r\n")}
    for mid, text in texts.items():
        provider.send("someone@b.test" if mid == generated else "ivan@a.test", text)
    before_a, before_b = len(a.sessions), len(b.sessions)
    a.session()
    b.session()
    a.session()
    alog, blog = "".join(a.sessions[before_a:]), "".join(b.sessions[before_b:])
    copies = {mid: {delivered_to(t): t for t in provider.copies(mid)} for mid in texts}
    check("auto-reply: Postfix delivered it only to ivan@a.test (nothing went to B)",
          list(copies[replied]) == ["ivan@a.test"], describe(provider.copies(replied)))
    check("auto-reply: A's log says it is not relayed",
          alog.count("не пересылается повторно (Auto-Submitted: auto-replied)") == 1, alog[-3000:])
    ivan = a.maildrop("ivan")
    check("auto-reply: ivan has it, byte-identical to the provider's copy",
          ivan.count(copies[replied].get("ivan@a.test")) == 1, describe(ivan))
    check("\"Auto-Submitted: no\": Postfix delivered it to ivan@a.test and A's relay to petr@b.test",
          sorted(copies[no]) == ["ivan@a.test", "petr@b.test"], describe(provider.copies(no)))
    check_relayed("\"Auto-Submitted: no\": A's copy to petr@b.test", copies[no].get("petr@b.test"),
                  copies[no].get("ivan@a.test"), "a.test")
    check("\"Auto-Submitted: no\": ivan has it", ivan.count(copies[no].get("ivan@a.test")) == 1, describe(ivan))
    check("\"Auto-Submitted: no\": A's log says it is relayed once",
          alog.count("пересылается petr@b.test") == 1 and "(Auto-Submitted: no" not in alog, alog[-3000:])
    check("auto-generated to B: Postfix delivered it only to someone@b.test",
          list(copies[generated]) == ["someone@b.test"], describe(provider.copies(generated)))
    check("auto-generated to B: B's log says it is not relayed",
          blog.count("не пересылается повторно (Auto-Submitted: auto-generated (notice))") == 1, blog[-3000:])
    check("auto-generated to B: B's fallback petr has it, byte-identical to the provider's copy, the postmaster nothing",
          b.maildrop("petr") == [copies[generated].get("someone@b.test")] and b.maildrop("postmaster") == [],
          str((describe(b.maildrop("petr")), describe(b.maildrop("postmaster")))))
    check("auto-submitted: both queues are empty", a.queue() == [] and b.queue() == [], str((a.queue(), b.queue())))
    check("auto-submitted: the looped report never reached Postfix again in these sessions",
          len(provider.copies(LOOPED)) == 3, describe(provider.copies(LOOPED)))


def main():
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))  # still stop Postfix and Dovecot
    ensure_postfix()
    for needed in ("postfix", "dovecot"):
        if shutil.which(needed) is None:
            check(needed + " is installed", False)
            return checks.result()
    binary = sys.argv[1]
    started = time.time()
    work = tempfile.mkdtemp(prefix="quelma-relayloop-")
    os.chmod(work, 0o755)  # Postfix and Dovecot work in it as their own users
    provider, offices = None, []
    try:
        provider = Provider(work)
        a = Office(binary, provider, "a.test", "box-a", ["postmaster", "ivan"], "ivan,petr@b.test")
        offices.append(a)
        b = Office(binary, provider, "b.test", "box-b", ["postmaster", "petr"], "office@a.test",
                   ["UNDISCLOSED_MAIL_TO = petr"])
        offices.append(b)
        loop_stops(provider, a, b)
        auto_submitted(provider, a, b)
        if checks.failures:
            for office in offices:
                print("---- %s, its sessions:\n%s" % (office.domain, office.log()[-6000:]))
            print(provider.postfix.maillog()[-4000:])
    finally:
        for office in offices:
            office.stop()
        if provider:
            provider.stop()
        shutil.rmtree(work, ignore_errors=True)
    print("%.0f seconds" % (time.time() - started))
    return checks.result()


if __name__ == "__main__":
    sys.exit(main())
