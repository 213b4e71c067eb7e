#!/usr/bin/env python3
"""Mail left at the provider for some days ("keep=" on the account line) and messages too large
to download ("maxsize="), against Dovecot's POP3 server on 127.0.0.1 (maildir, UIDL
"%08Xu%08Xv"). quelma runs under libfaketime: a file holds its clock's offset, which the test
moves before every session, in a zone ten hours east of UTC, so that a local calendar day is
neither a UTC day nor 24 hours. After every session the test compares a model of what must be
with quelma's maildrop (each message once, byte-identical), with Dovecot's mailbox (a message
stays until the first session on or after its download day plus the days kept) and with the
postmaster's notices (one per message too large, its subject decoded).
Connections are broken (a relay cuts one in the middle of a large message; quelma is killed
with SIGKILL while another one comes), a message gets a new UID at Dovecot, and a relay hides
UIDL from quelma.
The messages carry no Message-ID: only the UIDL ledger tells them apart here (the sorter's
memory of recent Message-IDs would hide a second copy)."""
import calendar
import collections
import datetime
import glob
import math
import os
import pwd
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

import pop3_client_interop as dove
from maildir_pop3 import MaildirPop3, wait_for
from quelma_process import Checks, Quelma, account_port, free_port, scramble

QUELMA = sys.argv[1]
PASSWORD = "secret"
TAG = b"X-Office-Test-Id"
ZONE = "QLM-10"  # POSIX TZ: ten hours east of UTC, no tzdata needed
ZONE_SECONDS = 10 * 3600
MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]
NOTICE_SUBJECT = b"Subject: Message left on the provider's server\r\n"
BASE = datetime.date(2031, 6, 1)  # the first day of the scenarios that need no particular date
SESSION_SECONDS = 180  # bound of one session's wait (a sanitizer build is slow with megabytes)


class CountedChecks(Checks):
    def __init__(self):
        super().__init__()
        self.count = 0

    def check(self, what, ok, detail=""):
        self.count += 1
        super().check(what, ok, detail)

    def result(self):
        print("%d checks, %d failed" % (self.count, len(self.failures)))
        return super().result()


checks = CountedChecks()
check = checks.check


# ---------------------------------------------------------------------------------------------
# Messages


def message(tag, subject=None, size=0):
    """A message with CR LF lines, dot lines and Windows-1251 text; `size` pads it to exactly
    that many bytes."""
    head = (b"From: Sender <sender@provider.test>\r\nTo: <ivan@office.ru>\r\nSubject: " +
            (subject or "message " + tag).encode("ascii") + b"\r\n" + TAG + b": " + tag.encode() + b"\r\n\r\n" +
            b".leading dot\r\n" + "Текст письма: ёЁ\r\n".encode("cp1251"))
    if size == 0:
        return head
    assert size >= len(head) + 2
    remaining, body = size - len(head), []
    while remaining >= 102:
        body.append(b"x" * 98 + b"\r\n")
        remaining -= 100
    body.append(b"z" * (remaining - 2) + b"\r\n")
    return head + b"".join(body)


def tag_of(text):
    found = re.search(rb"^" + TAG + rb": (\S+)", text, re.M)
    return found.group(1).decode() if found else "?"


# ---------------------------------------------------------------------------------------------
# The fake clock


def libfaketime():
    found = sorted(glob.glob("/usr/lib/*/faketime/libfaketime.so.1"))
    return found[0] if found else None


class FakeClock:
    """The local time quelma sees. libfaketime reads the offset file at every call
    (FAKETIME_NO_CACHE), so the clock moves in a running program and goes on at the real pace;
    the monotonic clock (the program's tick count) stays real."""

    def __init__(self, work):
        self.path = os.path.join(work, "faketime.offset")
        self.set(datetime.datetime(2031, 1, 1, 12, 0))

    def set(self, when):
        target = calendar.timegm(when.timetuple()) - ZONE_SECONDS
        with open(self.path + ".new", "w") as f:
            f.write("%+d\n" % math.ceil(target - time.time()))  # never before `when`
        os.replace(self.path + ".new", self.path)

    def environment(self):
        env = dict(os.environ)
        env["LD_PRELOAD"] = (libfaketime() + " " + env.get("LD_PRELOAD", "")).strip()
        env.update(FAKETIME_TIMESTAMP_FILE=self.path, FAKETIME_NO_CACHE="1", FAKETIME_DONT_FAKE_MONOTONIC="1", TZ=ZONE)
        # AddressSanitizer wants to be first among the libraries; libfaketime is preloaded before it.
        env["ASAN_OPTIONS"] = ":".join(o for o in (env.get("ASAN_OPTIONS", ""), "verify_asan_link_order=0") if o)
        return env


def log_stamp(when):
    return "%02d %s %d %02d:%02d" % (when.day, MONTHS[when.month - 1], when.year, when.hour, when.minute)


# ---------------------------------------------------------------------------------------------
# The provider: Dovecot, its users' maildirs, and a relay that can break a connection


class Mailbox:
    """One user's maildir at Dovecot: what the test puts in, takes out and finds there."""
    serial = 0

    def __init__(self, dovecot, user):
        self.user = user
        self.dir = dovecot.maildir(user)
        entry = pwd.getpwnam("dovecot")
        self.owner = (entry.pw_uid, entry.pw_gid)

    def deliver(self, text):
        Mailbox.serial += 1
        name = "%d.M%dP%d.quelmatest,S=%d" % (time.time(), Mailbox.serial, os.getpid(), len(text))
        staged = os.path.join(self.dir, "tmp", name)
        with open(staged, "wb") as f:
            f.write(text)
        os.chown(staged, *self.owner)
        os.rename(staged, os.path.join(self.dir, "new", name))

    def remove(self, text):
        for sub in ("cur", "new"):
            for name in os.listdir(os.path.join(self.dir, sub)):
                path = os.path.join(self.dir, sub, name)
                if open(path, "rb").read() == text:
                    os.remove(path)

    def held(self):
        return sorted(open(os.path.join(self.dir, sub, name), "rb").read()
                      for sub in ("cur", "new") for name in os.listdir(os.path.join(self.dir, sub)))


class Relay:
    """A TCP relay on 127.0.0.1 between quelma and Dovecot. Each connection takes the next plan:
    ("cut", marker, n) passes n bytes of the server's stream after `marker` and then closes both
    sides; ("stall", marker, n) passes them and then nothing more until quelma's side closes;
    None relays everything. With `hide_uidl` quelma's UIDL command reaches Dovecot as XUIDL, which
    it refuses."""

    def __init__(self, target, plans=(), hide_uidl=False):
        self.target, self.plans, self.hide_uidl = target, list(plans), hide_uidl
        self.stalled, self.closed = threading.Event(), threading.Event()
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.port = account_port()
        self.listener.bind(("127.0.0.1", self.port))
        self.listener.listen(8)
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            plan = self.plans.pop(0) if self.plans else None
            upstream = socket.create_connection(("127.0.0.1", self.target))
            threading.Thread(target=self.up, args=(client, upstream), daemon=True).start()
            threading.Thread(target=self.down, args=(upstream, client, plan), daemon=True).start()

    @staticmethod
    def close(*sockets):
        for s in sockets:
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            s.close()

    def up(self, client, upstream):
        pending = b""
        try:
            while True:
                data = client.recv(65536)
                if not data:
                    break
                if self.hide_uidl:
                    pending += data
                    lines = pending.split(b"\n")
                    pending = lines.pop()
                    data = b"".join((b"XUIDL\r" if line.strip().lower() == b"uidl" else line) + b"\n" for line in lines)
                upstream.sendall(data)
        except OSError:
            pass
        self.close(client, upstream)
        self.closed.set()

    def down(self, upstream, client, plan):
        seen, stop_at = b"", None
        passed = 0
        try:
            while True:
                data = upstream.recv(65536)
                if not data:
                    break
                if plan and stop_at is None:
                    seen = (seen + data)[-(len(plan[1]) + len(data)):]
                    at = seen.find(plan[1])
                    if at >= 0:
                        stop_at = passed + len(data) - (len(seen) - at) + len(plan[1]) + plan[2]
                if stop_at is not None and passed + len(data) >= stop_at:
                    client.sendall(data[:stop_at - passed])
                    if plan[0] == "cut":
                        self.close(client, upstream)
                    else:
                        self.stalled.set()
                    return
                client.sendall(data)
                passed += len(data)
        except OSError:
            pass
        self.close(client, upstream)

    def stop(self):
        self.listener.close()


# ---------------------------------------------------------------------------------------------
# quelma on the fake clock


class Office(Quelma):
    """quelma with one provider account delivering to ivan, on the fake clock; it can be killed
    and started again on the same directory."""

    def __init__(self, clock, dovecot, user, port, options, start):
        self.clock, self.dovecot, self.user = clock, dovecot, user
        self.failures = len(checks.failures)
        clock.set(datetime.datetime.combine(start, datetime.time(6, 0)))
        super().__init__(QUELMA, ["LocalDomain = office.ru", "PostMaster = postmaster", "SMTPServer = 127.0.0.1",
                                  "[POP3accounts]",
                                  "127.0.0.1 %s ; %s-%d-0-ivan %s" % (user, scramble(PASSWORD), port, options)],
                         ["postmaster", "ivan"], env=clock.environment())

    def launch(self):
        self.pop3, self.smtp, self.imap = free_port(), free_port(), free_port()
        path = self.path("quelma.cfg")
        cfg = open(path, "rb").read().decode("cp1251")
        cfg = re.sub(r"POP3_SRV_PORT = \d+", "POP3_SRV_PORT = %d" % self.pop3, cfg)
        cfg = re.sub(r"SMTP_SRV_PORT = \d+", "SMTP_SRV_PORT = %d" % self.smtp, cfg)
        cfg = re.sub(r"IMAP_SRV_PORT = \d+", "IMAP_SRV_PORT = %d" % self.imap, cfg)
        with open(path, "wb") as f:
            f.write(cfg.encode("cp1251"))
        self.proc = subprocess.Popen([QUELMA, "--dir", self.dir], stdout=subprocess.DEVNULL,
                                     env=self.clock.environment())
        for port in (self.pop3, self.smtp):
            wait_for(lambda: self.accepts(port), 20)

    @staticmethod
    def accepts(port):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            return False

    def log(self):
        path = self.path("quelma.log")
        return open(path, "rb").read().decode("cp1251", "replace") if os.path.exists(path) else ""

    def counts(self):
        log = self.log()
        return (log.count("*** Загрузка почты с POP3 сервера"),
                log.count("Отключаюсь от сервера") + log.count("работа POP3 клиента закончена"),
                log.count("Заканчиваю работу SMTP клиента.") + log.count("работа SMTP клиента окончена."))

    def session(self, when):
        """One send/receive session at local time `when`; the log it wrote (None when it did not
        end)."""
        self.clock.set(when)
        before, start, seen = self.counts(), len(self.log()), self.dovecot.disconnects(self.user)
        self.proc.send_signal(signal.SIGUSR1)
        ended = wait_for(lambda: self.proc.poll() is not None or (
            all(n > b for n, b in zip(self.counts(), before))
            and not os.path.exists(self.path("maildrop", "pop3_download.runs"))), SESSION_SECONDS)
        ended = ended and self.proc.poll() is None and wait_for(lambda: self.dovecot.disconnects(self.user) > seen, 30)
        return self.log()[start:] if ended else None

    def killed_session(self, when, relay):
        """A session whose download the relay holds up; quelma is killed with SIGKILL then, and
        started again. Whether the relay held it up."""
        self.clock.set(when)
        seen = self.dovecot.disconnects(self.user)
        self.proc.send_signal(signal.SIGUSR1)
        held = relay.stalled.wait(SESSION_SECONDS)
        self.proc.kill()
        self.proc.wait(timeout=20)
        wait_for(lambda: self.dovecot.disconnects(self.user) > seen, 30)
        self.launch()
        return held

    def maildrop(self, user):
        return dove.maildrop_texts(self.path("maildrop", user))

    def stop(self):
        if len(checks.failures) > self.failures:
            print(self.log()[-6000:])
        return super().stop()


# ---------------------------------------------------------------------------------------------
# The model


class Item:
    def __init__(self, text, large):
        self.text, self.large, self.removed, self.arrived = text, large, False, None


class Model:
    """Every message given to the provider, and the day it reached ivan's maildrop. `keep` is
    the account's days (None: forever)."""

    def __init__(self, mailbox, keep):
        self.mailbox, self.keep, self.items = mailbox, keep, []

    def deliver(self, text, large=False):
        self.items.append(Item(text, large))
        self.mailbox.deliver(text)

    def rewrite(self, text):
        """The message gets a new UID: its file goes and the same text comes again."""
        for item in self.items:
            if item.text == text and not item.removed:
                item.removed = True
        self.mailbox.remove(text)
        self.deliver(text)

    def note_arrivals(self, got, day):
        counts = collections.Counter(got)
        for text, n in counts.items():
            for item in [i for i in self.items if i.text == text and not i.large][:n]:
                if item.arrived is None:
                    item.arrived = day

    def expected_maildrop(self):
        return sorted(i.text for i in self.items if not i.large)

    def expected_at_provider(self, day):
        return sorted(i.text for i in self.items if not i.removed and (
            i.large or i.arrived is None or self.keep is None or day < i.arrived + self.keep))

    def twice(self, got):
        """Tags of the messages the maildrop holds more often than the provider had them."""
        counts = collections.Counter(got)
        return [tag_of(t) for t, n in counts.items() if n > sum(1 for i in self.items if i.text == t and not i.large)]


def tags(texts):
    return sorted(tag_of(t) for t in texts)


def compare(what, got, want):
    check(what, got == want, "got %s, want %s" % (tags(got), tags(want)))


def after_session(name, office, model, day, when, log):
    """The checks after a session that must have ended normally."""
    label = "%s, day %d (%s)" % (name, day, log_stamp(when))
    check(label + ": the session ended", log is not None)
    if log is None:
        print(office.log()[-3000:])
        return
    line = next((l for l in log.splitlines() if "*** Загрузка почты с POP3 сервера" in l), "")
    # The day, not the minute: libfaketime read from several threads at once now and then
    # shows a line's hour shifted (seen under load), and the day is what "keep=" counts.
    check(label + ": quelma's clock shows the fake day", line.startswith(log_stamp(when)[:11]), line)
    got = sorted(office.maildrop("ivan"))
    model.note_arrivals(got, day)
    compare(label + ": ivan's maildrop holds every message once, byte-identical", got, model.expected_maildrop())
    compare(label + ": Dovecot holds exactly the messages not yet due", model.mailbox.held(),
            model.expected_at_provider(day))


def run_plan(name, office, model, base, plan, after=None):
    """Each step: (day, "HH:MM", what to do first, how the session goes: "ok", or a relay for
    "killed", or "cut" when the relay cuts this session's connection)."""
    for day, hour, prepare, how in plan:
        when = datetime.datetime.combine(base + datetime.timedelta(days=day),
                                         datetime.time(*map(int, hour.split(":"))))
        if prepare:
            prepare(model)
        label = "%s, day %d (%s)" % (name, day, log_stamp(when))
        if how == "ok":
            log = office.session(when)
            after_session(name, office, model, day, when, log)
            if after:
                after(label, office, model, log)
        elif how == "cut":
            log = office.session(when)
            check(label + ": the connection cut in the middle of a message ends the session with an error",
                  log is not None and "работа POP3 клиента закончена" in log, (log or "")[-1500:])
            check(label + ": no message is twice in ivan's maildrop", model.twice(office.maildrop("ivan")) == [],
                  str(model.twice(office.maildrop("ivan"))))
        else:
            check(label + ": quelma is killed in the middle of a large message",
                  office.killed_session(when, how))
            check(label + ": no message is twice in ivan's maildrop after the kill",
                  model.twice(office.maildrop("ivan")) == [], str(model.twice(office.maildrop("ivan"))))


def deliver(*texts, large=False):
    return lambda model: [model.deliver(t, large) for t in texts]


# ---------------------------------------------------------------------------------------------
# Scenarios


def keep_three_days(dovecot, clock):
    """keep=3: sessions at 23:50, 23:58 and just after midnight, so the due day is a calendar
    day: two days and eleven minutes after its download a message can be due."""
    m = [message("keep-%d" % i) for i in range(1, 7)]
    plan = [(0, "23:50", deliver(m[0], m[1]), "ok"),
            (1, "12:00", None, "ok"),
            (2, "23:58", deliver(m[2]), "ok"),   # m1, m2 stay until the day is over
            (3, "00:01", None, "ok"),            # m1, m2 due
            (4, "09:00", deliver(m[3], m[4]), "ok"),
            (5, "00:00", None, "ok"),            # m3 due (across the end of February)
            (6, "12:00", None, "ok"),
            (7, "07:00", deliver(m[5]), "ok"),   # m4, m5 due
            (8, "12:00", None, "ok"),
            (9, "23:58", None, "ok")]            # m6 stays (due on day 10)
    base = datetime.date(2031, 2, 25)
    office = Office(clock, dovecot, "keepthree", dovecot.port, "keep=3", base)
    model = Model(Mailbox(dovecot, "keepthree"), 3)
    try:
        run_plan("keep=3", office, model, base, plan)
        ledgers = glob.glob(office.path("*.uidl"))
        lines = open(ledgers[0]).read().split("\n") if len(ledgers) == 1 else []
        day = (base + datetime.timedelta(days=7) - datetime.date(1970, 1, 1)).days
        check("keep=3: the ledger keeps only the message still at the provider, with its download day",
              len([l for l in lines if l.startswith("U ")]) == 1 and
              any(re.fullmatch(r"D %d \S+" % day, l) for l in lines), "%s %s" % (ledgers, lines))
    finally:
        check("keep=3: quelma exits 0 on SIGINT", office.stop() == 0)


def keep_forever(dovecot, clock):
    """keep=forever: ten sessions over thirty days, across the end of the year."""
    m = [message("forever-%d" % i) for i in range(1, 8)]
    arrivals = {0: m[0:3], 9: m[3:5], 18: m[5:6], 27: m[6:7]}
    plan = [(d, "10:00", deliver(*arrivals[d]) if d in arrivals else None, "ok") for d in range(0, 30, 3)]
    base = datetime.date(2031, 12, 20)
    office = Office(clock, dovecot, "forever", dovecot.port, "keep=forever", base)
    model = Model(Mailbox(dovecot, "forever"), None)
    try:
        run_plan("keep=forever", office, model, base, plan)
    finally:
        check("keep=forever: quelma exits 0 on SIGINT", office.stop() == 0)


def broken_connections(dovecot, clock):
    """A connection cut 1 MB into a 3 MB message, then quelma killed 1 MB into another one, and
    the sessions after: each message reaches the maildrop once, with keep=0 (each DELE is lost
    with the connection) and with keep=2."""
    for keep in (0, 2):
        user = "cut%d" % keep
        small = [message("%s-small-%d" % (user, i)) for i in range(1, 6)]
        big = [message("%s-big-%d" % (user, i), size=3 << 20) for i in (1, 2)]
        relay = Relay(dovecot.port, [("cut", TAG + b": %s-big-1" % user.encode(), 1 << 20),
                                     ("stall", TAG + b": %s-big-2" % user.encode(), 1 << 20)])
        office = Office(clock, dovecot, user, relay.port, "keep=%d" % keep, BASE)
        model = Model(Mailbox(dovecot, user), keep)

        def whole_ones_kept(model, office=office, small=small, keep=keep):
            got = sorted(office.maildrop("ivan"))
            check("broken connections, keep=%d: the three messages that came whole before the cut were kept" % keep,
                  got == sorted(small[:3]), str(tags(got)))

        plan = [(0, "09:00", deliver(small[0], small[1], small[2], big[0], small[3], big[1], small[4]), "cut"),
                (0, "10:00", None, relay),
                (0, "11:00", whole_ones_kept, "ok"),
                (1, "09:00", None, "ok"),
                (2, "09:00", None, "ok")]
        try:
            run_plan("broken connections, keep=%d" % keep, office, model, BASE, plan)
        finally:
            check("broken connections, keep=%d: quelma exits 0 on SIGINT" % keep, office.stop() == 0)
            relay.stop()


def rewritten_mailbox(dovecot, clock):
    """A message gets a new UID at Dovecot (its file removed, the same text delivered again):
    it is downloaded once more, counted from its new download day; the others are not."""
    m = [message("rewrite-%d" % i) for i in range(1, 5)]
    plan = [(0, "10:00", deliver(*m), "ok"),
            (1, "10:00", None, "ok"),
            (2, "10:00", lambda model: model.rewrite(m[1]), "ok"),
            (3, "10:00", None, "ok"),
            (5, "10:00", None, "ok"),   # the three others due
            (7, "10:00", None, "ok")]   # the one downloaded again due
    office = Office(clock, dovecot, "rewrite", dovecot.port, "keep=5", BASE)
    model = Model(Mailbox(dovecot, "rewrite"), 5)
    try:
        run_plan("rewritten mailbox", office, model, BASE, plan)
        got = collections.Counter(tags(office.maildrop("ivan")))
        check("rewritten mailbox: the message with a new UID came twice, the others once",
              got == {"rewrite-1": 1, "rewrite-2": 2, "rewrite-3": 1, "rewrite-4": 1}, str(got))
    finally:
        check("rewritten mailbox: quelma exits 0 on SIGINT", office.stop() == 0)


LIMIT = 100 * 1024  # maxsize=100
LARGE = [("=?UTF-8?B?0YHRh9GR0YI=?=", "счёт", 200 * 1024),
         ("=?windows-1251?Q?=CE=F2=F7=E5=F2?=", "Отчет", LIMIT + 1),
         ("Quarterly report", "Quarterly report", 150 * 1024)]


def notices(office):
    return [t for t in office.maildrop("postmaster") if NOTICE_SUBJECT in t]


def too_large(dovecot, clock):
    """maxsize=100 with keep=1: messages over 102,400 bytes stay at Dovecot session after session,
    and the postmaster gets one notice for each, its subject decoded; one of exactly 102,400
    bytes is downloaded."""
    large = [message("large-%d" % i, subject=s, size=n) for i, (s, _, n) in enumerate(LARGE, 1)]
    small = [message("small-%d" % i) for i in range(1, 4)]
    edge = message("edge", size=LIMIT)

    def deliver_first(model):
        deliver(small[0], edge, small[1])(model)
        deliver(large[0], large[1], large=True)(model)

    def deliver_later(model):
        deliver(small[2])(model)
        deliver(large[2], large=True)(model)

    plan = [(0, "10:00", deliver_first, "ok"),
            (1, "10:00", None, "ok"),
            (2, "10:00", deliver_later, "ok"),
            (3, "10:00", None, "ok"),
            (4, "10:00", None, "ok")]

    def notice_checks(label, office, model, log):
        given = [t for t in large if any(item.text == t for item in model.items)]
        found = notices(office)
        check(label + ": the postmaster has one notice per message too large", len(found) == len(given),
              "%d notices for %d messages" % (len(found), len(given)))
        for (_, decoded, size), text in zip(LARGE, given):
            line = ("Тема: " + decoded + "\r\n").encode("cp1251")
            with_it = [t for t in found if line in t and b" %d " % len(text) in t]
            check(label + ": one notice names \"%s\" (%d bytes)" % (decoded, len(text)), len(with_it) == 1,
                  "%d notices; first: %r" % (len(with_it), found[0][:600] if found else b""))
        check(label + ": the notices are in Windows-1251",
              all(b"Content-Type: text/plain; charset=Windows-1251" in t for t in found))

    office = Office(clock, dovecot, "maxsize", dovecot.port, "keep=1 maxsize=100", BASE)
    model = Model(Mailbox(dovecot, "maxsize"), 1)
    try:
        run_plan("maxsize=100", office, model, BASE, plan, notice_checks)
    finally:
        check("maxsize=100: quelma exits 0 on SIGINT", office.stop() == 0)


def without_uidl(dovecot, clock):
    """A provider that refuses UIDL (a relay renames the command): keep=3 cannot be kept, the
    log says so, and every message is deleted after its download."""
    m = [message("nouidl-%d" % i) for i in range(1, 4)]
    relay = Relay(dovecot.port, hide_uidl=True)
    plan = [(0, "10:00", deliver(m[0], m[1]), "ok"),
            (1, "10:00", deliver(m[2]), "ok")]

    def says_so(label, office, model, log):
        check(label + ": the log says the server does not support UIDL",
              log is not None and "Сервер не поддерживает UIDL" in log)

    office = Office(clock, dovecot, "nouidl", relay.port, "keep=3", BASE)
    model = Model(Mailbox(dovecot, "nouidl"), 0)
    try:
        run_plan("no UIDL, keep=3", office, model, BASE, plan, says_so)
    finally:
        check("no UIDL: quelma exits 0 on SIGINT", office.stop() == 0)
        relay.stop()


SCENARIOS = [keep_three_days, keep_forever, broken_connections, rewritten_mailbox, too_large, without_uidl]
USERS = ["keepthree", "forever", "cut0", "cut2", "rewrite", "maxsize", "nouidl"]


def main():
    if shutil.which("dovecot") is None:
        check("dovecot is installed", False)
        return checks.result()
    if libfaketime() is None:
        check("libfaketime is installed (package faketime)", False)
        return checks.result()
    started = time.time()
    work = tempfile.mkdtemp(prefix="quelma-keep-")
    os.chmod(work, 0o755)  # Dovecot reads its passwd file and the homes as its own user
    dovecot = MaildirPop3(work, {user: PASSWORD for user in USERS}, ["pop3_uidl_format = %08Xu%08Xv"])
    clock = FakeClock(work)
    try:
        for scenario in SCENARIOS:
            scenario(dovecot, clock)
    finally:
        if checks.failures:
            print(dovecot.log()[-2000:])
        dovecot.stop()
        shutil.rmtree(work, ignore_errors=True)
    print("%.0f seconds" % (time.time() - started))
    return checks.result()


if __name__ == "__main__":
    sys.exit(main())
