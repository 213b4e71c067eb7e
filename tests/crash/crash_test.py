#!/usr/bin/python3
"""Crash injection: the Linux program is killed with SIGKILL at random instants while mail
flows, started again on the same program directory, and the traffic goes on; at the end
every message is counted where it belongs.

    crash_test.py QUELMA_BINARY [--kills N] [--seed S] [--scenario intake|pop3|download|upload|imap|imap-download|push|all]

Each scenario has a program directory of its own (under a temporary directory) and runs on
127.0.0.1 only:

  intake    a client hands in numbered messages over SMTP, each to two or three local users
            and one outside address, and sends again whatever got no 250. Every local
            maildrop and the queue are counted.
  pop3      on a maildrop of many messages, a client logs in, RETRs some, DELEs them and
            QUITs (now and then RSET, or drops the line), while another client hands in more
            mail for the same user. A message may be gone only after a QUIT that deleted it.
  download  a provider POP3 server written here (deletions at QUIT only) keeps getting mail
            for two accounts, one delivering to a user, one through the sorter's rules (to
            two users and relayed to an outside address, to one user, or to the postmaster);
            sessions start with SIGUSR1, and after the kills they go on until the provider is
            empty and nothing waits to be sorted. Every maildrop and the queue are counted.
  imap      on a maildrop of many messages, an IMAP client sets and clears flags and keywords,
            and deletes and expunges now and then, while another client hands in more mail
            for the same user. A flag change or an expunge answered OK must still be there in
            the next life; one whose answer the kill prevented may have happened or not.
  upload    a provider SMTP server written here; queue files keep coming, sessions start with
            SIGUSR1, and after the kills they go on until the queue is empty. The provider's
            mail is counted.
  imap-download
            a provider IMAP server written here keeps getting mail for three accounts: one
            collects INBOX and Work for a user (UID EXPUNGE), one goes through the sorter as in
            download (a server without UIDPLUS or MOVE: EXPUNGE), one moves what it stored to
            the provider's Archive. Sessions start with SIGUSR1 as in download.
  push      the same provider, two accounts with idle=yes: mail keeps coming while the
            program runs and while it is down, and the watchers in IDLE bring it; now and then
            a session too, or the provider drops every connection. The last life must bring
            what comes across such a drop by push alone.

A kill comes at a uniformly random instant 0-300 ms after the program started (--max-delay),
or, for half of them (--aimed), within the next critical step of the traffic that follows
such an instant: the end of a text handed in, a QUIT that deletes, the start of the provider's
answer to a RETR or its QUIT, the provider's 250 for an uploaded text, the start of a message
text in an IMAP FETCH answer and the end of that answer, the answer to an EXPUNGE or a MOVE.
An aimed kill comes within 1.2 times the length of one of the recent such steps (from the
step to the program's answer or next command), and at least within 10 ms (--aim-window).

The figures:
  lost          acknowledged (queued, or the provider's) mail missing from a place it belongs
                in; for the intake, one per missing copy
  torn          a stored or received copy whose bytes differ from what was sent
  partial       a message in some of its places but not all, or in some more often than in
                others (every attempt must store in all of its places or in none)
  misdelivered  a copy in a maildrop (or with an envelope) it was not addressed to
  duplicates    copies beyond the first in one place. Inherent ones are explained by the
                protocols: the client sent the text again after it got no 250; a provider
                message was fetched again after a QUIT the kill prevented, and the program
                had not yet recorded it as stored (in its download ledger); an IMAP message
                was fetched again after a kill cut off the connection that had it whole before
                the program had its UID in that folder's ledger (pending counts only once its
                download file is published); an upload's text reached the provider, and the
                kill came before the program said anything more and before it marked the queue
                file sent.
Other faults are named when they occur: maildrop ids given twice ("id clashes"), mail a QUIT
answered +OK for still there, replies that never came, the program ending by itself, mail
the drain left behind. The exit status is 1 when any figure other than inherent duplicates
is non-zero. --seed repeats the kill plan, the mail and the clients' choices (what the program
has done by each kill still depends on timing); a run prints its seed."""
import argparse
import collections
import hashlib
import imaplib
import os
import random
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import traceback

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "interop"))
from quelma_process import account_port, free_port, scramble  # noqa: E402
import mailbox_index  # noqa: E402

MARKER = b"From \x01\x01\x02\x02\x01\x01\x03\x03"
DOMAIN = "office.ru"
REPLY_TIMEOUT = 30        # seconds a live peer may keep us waiting for one reply
SESSION_TIMEOUT = 60      # seconds a communication session may take
READY_TIMEOUT = 20        # seconds from start until both servers listen
PROVIDER_PASSWORD = "secret"
TRACE_LINE = re.compile(rb"X-Passed-Through: [^\r\n]*\r\n")

# Text bytes: printable ASCII and Windows-1251 letters; never CR, LF or the marker's bytes.
ALPHABET = (bytes(range(0x20, 0x7F)) + "АБВГДЕЁЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯабвгдеёжзийклмнопрстуфхцчшщъыьэюя№"
            .encode("cp1251"))

PROCESSES = []  # every program started, for the clean-up


# ---------------------------------------------------------------------------------------------
# Message texts and the storage formats

def lines_of(data):
    """The lines of `data`, each with its line feed (the last one may lack it)."""
    parts = data.split(b"\n")
    out = [p + b"\n" for p in parts[:-1]]
    if parts[-1]:
        out.append(parts[-1])
    return out


def maildrop_form(text):
    """The text as a maildrop keeps it: a line that begins with the marker gets ">" in front."""
    return b"".join(b">" + line if line.startswith(MARKER) else line for line in lines_of(text))


def dot_stuffed(text):
    return b"".join(b"." + line if line.startswith(b".") else line for line in lines_of(text))


def parse_maildrop(path):
    """(bytes before the first separator, [(id or None, text)]) of a maildrop file."""
    if not os.path.exists(path):
        return b"", []
    with open(path, "rb") as f:
        data = f.read()
    stray, messages = [], []
    for line in lines_of(data):
        if line.startswith(MARKER):
            rest = line[len(MARKER):].rstrip(b"\r\n")
            uid = rest[1:9].decode("latin-1") if rest.startswith(b" ") and len(rest) >= 9 else None
            messages.append((uid, []))
        elif messages:
            messages[-1][1].append(line)
        else:
            stray.append(line)
    # Each restart after a kill is an unclean stop, which the program tells the postmaster of:
    # its own alerts are no test message.
    return b"".join(stray), [(uid, b"".join(text)) for uid, text in messages if not is_alert(b"".join(text))]


def is_alert(text):
    """Whether a maildrop message is one of the program's alerts to the postmaster."""
    header = text.split(b"\r\n\r\n", 1)[0]
    return b"\r\nSubject: [Quelmar] " in b"\r\n" + header and b"<MAILER-DAEMON@" in header


def crash_id(text):
    """The X-Crash-Id of a text, looked for in its header; None when it has none."""
    header = text.split(b"\r\n\r\n", 1)[0]
    found = re.search(rb"(?:^|\n)X-Crash-Id: (\S+)\r?\n", header + b"\n")
    return found.group(1).decode("ascii", "replace") if found else None


class TextMaker:
    """Numbered message texts of many shapes: "From " lines, dot lines, a line that looks like a
    maildrop separator, empty lines, 8-bit text, lines of every length up to a few thousand
    bytes, and now and then a text of a few hundred kilobytes."""

    def __init__(self, rng):
        self.rng = rng
        self.pool = bytes(rng.choice(ALPHABET) for _ in range(1 << 16)) * 8

    def line(self):
        rng = self.rng
        n = rng.choice((0, 1, rng.randint(2, 78), rng.randint(2, 78), rng.randint(79, 998),
                        rng.randint(999, 2500) if rng.random() < 0.1 else 40))
        at = rng.randrange(len(self.pool) - n)
        return self.pool[at:at + n]

    def text(self, ident, sender, recipients):
        rng = self.rng
        head = [b"X-Crash-Id: " + ident.encode(), b"From: <" + sender.encode() + b">",
                b"To: " + b", ".join(b"<" + r.encode() + b">" for r in recipients),
                b"Subject: crash test " + ident.encode(), b"Message-Id: <" + ident.encode() + b"@crash.test>", b""]
        body = [b"From the desk of " + ident.encode() + b": a line that begins with From", b".a leading dot",
                b"..two leading dots", b".", b""]
        if rng.random() < 0.3:
            body.append(MARKER + b" " + ident.encode() + b" is no separator")
        target = rng.randint(64 << 10, 256 << 10) if rng.random() < 0.03 else rng.randint(100, 6000)
        size = 0
        while size < target:
            line = self.line()
            body.append(line)
            size += len(line) + 2
        body.append(b"end of " + ident.encode())
        return b"\r\n".join(head + body) + b"\r\n"


# ---------------------------------------------------------------------------------------------
# The program under test

class Program:
    """quelma on one program directory, started again and again. Its terminal output (all its
    lives) goes to `out_path`."""

    def __init__(self, binary, directory, out_path):
        self.binary, self.dir = binary, directory
        self.out = open(out_path, "ab")
        self.out_lock = threading.Lock()
        self.cond = threading.Condition()
        self.lock = threading.Lock()  # the killer thread and the sessions' signals
        self.proc = None
        self.life = 0
        self.listening = set()
        self.spawned = 0.0
        self.kill_times = []
        self.after_kill = None  # called with the kill's instant while the program is down
        self.self_exits = []  # (life, exit status) of lives that ended without our signal
        PROCESSES.append(self)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def start(self):
        with self.cond:
            self.life += 1
            self.listening = set()
        self.spawned = time.monotonic()
        self.proc = subprocess.Popen([self.binary, "--dir", self.dir], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        threading.Thread(target=self._read, args=(self.proc, self.life), daemon=True).start()

    def _read(self, proc, life):
        for line in proc.stdout:
            with self.out_lock:
                self.out.write(b"[%d] " % life + line)
            text = line.decode("utf-8", "replace")
            with self.cond:
                if life == self.life:
                    if "SMTP сервер работает на порту" in text:
                        self.listening.add("smtp")
                    if "POP3 сервер работает на порту" in text:
                        self.listening.add("pop3")
                self.cond.notify_all()
        with self.cond:
            self.cond.notify_all()

    def ready(self):
        return self.listening >= {"smtp", "pop3"}

    def wait_ready(self, timeout=READY_TIMEOUT):
        with self.cond:
            return self.cond.wait_for(lambda: self.ready() or self.proc.poll() is not None, timeout) and self.ready()

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    def note_exit(self):
        """A life that ended by itself is a fault (a crash after recovery, an exit 1)."""
        if self.proc is not None and self.proc.poll() is not None:
            if not self.self_exits or self.self_exits[-1][0] != self.life:
                self.self_exits.append((self.life, self.proc.returncode))
            return True
        return False

    def kill(self):
        with self.lock:
            if self.note_exit():
                return None
            moment = time.monotonic()
            self.proc.kill()
            self.proc.wait()
        self.kill_times.append(moment)
        if self.after_kill:
            self.after_kill(moment)
        return moment

    def signal(self, number):
        with self.lock:
            if self.alive():
                self.proc.send_signal(number)

    def stop(self):
        """SIGINT; the exit status (None when it did not end in time, and it is killed)."""
        if not self.alive():
            self.note_exit()
            return self.proc.returncode if self.proc else None
        self.proc.send_signal(signal.SIGINT)
        try:
            return self.proc.wait(timeout=40)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            return None

    def cleanup(self):
        if self.alive():
            self.proc.kill()
            self.proc.wait()
        with self.out_lock:
            self.out.close()


def write_config(directory, smtp_port, pop3_port, parameters, users, imap_port=0):
    for sub in ("maildrop", "queue"):
        os.makedirs(os.path.join(directory, sub), exist_ok=True)
    lines = ["[Parameters]", "MailDropDir = %s/maildrop/" % directory, "QueueDir = %s/queue/" % directory,
             "POP3_SRV_PORT = %d" % pop3_port, "SMTP_SRV_PORT = %d" % smtp_port, "LogFileSize = 64", "IMAP_SRV_PORT = %d" % imap_port,
             "Daemon = daemon", "LocalDomain = %s" % DOMAIN, "PostMaster = postmaster", "UseLAN = YES"]
    lines += parameters + ["[Users]"] + users
    with open(os.path.join(directory, "quelma.cfg"), "wb") as f:
        f.write("\r\n".join(lines + [""]).encode("cp1251"))


# ---------------------------------------------------------------------------------------------
# Client side: line connections, SMTP hand-in, POP3 collection

class Broken(Exception):
    """The connection ended (the program was killed)."""


class Stall(Exception):
    """A live peer did not answer in REPLY_TIMEOUT seconds."""


class Refused(Exception):
    """A reply the traffic did not expect."""


class LineConnection:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=REPLY_TIMEOUT)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)  # the end of a text goes at once
        self.file = self.sock.makefile("rb")

    def line(self):
        try:
            line = self.file.readline(1 << 22)
        except socket.timeout:
            raise Stall()
        except OSError:
            raise Broken()
        if not line.endswith(b"\n"):
            raise Broken()
        return line

    def send(self, data):
        try:
            self.sock.sendall(data)
        except socket.timeout:
            raise Stall()
        except OSError:
            raise Broken()

    def smtp_reply(self):
        while True:
            line = self.line()
            if line[3:4] != b"-":
                return line

    def multiline(self):
        """A POP3 multi-line answer after its status line, dot-unstuffed."""
        out = []
        while True:
            line = self.line()
            if line == b".\r\n":
                return b"".join(out)
            out.append(line[1:] if line.startswith(b".") else line)

    def close(self):
        try:
            self.file.close()
            self.sock.close()
        except OSError:
            pass


def connect(port, deadline):
    """Connects as soon as the program listens; None at the deadline."""
    while time.monotonic() < deadline:
        try:
            return LineConnection(port)
        except OSError:
            time.sleep(0.003)
    return None


class Submitter(threading.Thread):
    """Hands in messages one after another over SMTP; a message that got no 250 (the connection
    broke) is sent again on a new connection until one comes. `compose(n)` gives the n-th
    message as (ident, sender, recipients, text)."""

    def __init__(self, port, compose, rng, deadline, pause=None, on_end=None, took=None):
        super().__init__(daemon=True)
        self.port, self.compose, self.rng, self.deadline, self.pause = port, compose, rng, deadline, pause
        self.on_end = on_end  # called as the end of a text goes out
        self.took = took      # told how long the program took to answer it
        self.stop = threading.Event()
        self.messages = {}                    # ident -> (sender, recipients, text)
        self.ends_sent = collections.Counter()  # ident -> times its text was sent to its end
        self.acked = []
        self.breaks = 0
        self.stalls = 0
        self.refusals = []
        self.error = None
        self.unfinished = None

    def run(self):
        try:
            self._run()
        except Exception:
            self.error = traceback.format_exc()

    def _run(self):
        conn, current, n = None, None, 0
        while time.monotonic() < self.deadline:
            if current is None:
                if self.stop.is_set():
                    break
                if self.pause:
                    time.sleep(self.pause())
                current = self.compose(n)
                n += 1
                self.messages[current[0]] = current[1:]
            try:
                if conn is None:
                    conn = self._connect()
                    if conn is None:
                        continue
                if self._transaction(conn, current):
                    current = None
                    if self.rng.random() < 0.1:
                        conn.send(b"QUIT\r\n")
                        conn.smtp_reply()
                        conn.close()
                        conn = None
            except (Broken, Stall, Refused) as e:
                if isinstance(e, Broken):
                    self.breaks += 1
                elif isinstance(e, Stall):
                    self.stalls += 1
                else:
                    self.refusals.append(str(e))
                    time.sleep(0.05)
                if conn is not None:
                    conn.close()
                conn = None
        if conn is not None:
            conn.close()
        self.unfinished = current

    def _connect(self):
        conn = connect(self.port, self.deadline)
        if conn is None:
            return None
        try:
            self._expect(conn, b"220", "greeting")
            conn.send(b"HELO crash.test\r\n")
            self._expect(conn, b"250", "HELO")
        except (Broken, Stall, Refused):
            conn.close()
            raise
        return conn

    @staticmethod
    def _expect(conn, code, what):
        reply = conn.smtp_reply()
        if not reply.startswith(code):
            raise Refused("%s: %r" % (what, reply[:200]))
        return reply

    def _transaction(self, conn, message):
        ident, sender, recipients, text = message
        conn.send(b"MAIL FROM:<%s>\r\n" % sender.encode())
        self._expect(conn, b"250", "MAIL for " + ident)
        for r in recipients:
            conn.send(b"RCPT TO:<%s>\r\n" % r.encode())
            self._expect(conn, b"25", "RCPT %s for %s" % (r, ident))
        conn.send(b"DATA\r\n")
        self._expect(conn, b"354", "DATA for " + ident)
        conn.send(dot_stuffed(text))
        self.ends_sent[ident] += 1  # from here on the program may have the whole text
        if self.on_end:
            self.on_end()
        began = time.monotonic()
        conn.send(b".\r\n")
        reply = conn.smtp_reply()
        if self.took:
            self.took(time.monotonic() - began)
        if reply.startswith(b"250"):
            self.acked.append(ident)
            return True
        raise Refused("end of text for %s: %r" % (ident, reply[:200]))


class Collector(threading.Thread):
    """POP3 sessions on one maildrop: UIDL, RETR of a few messages (each checked byte for byte),
    DELE of some of them while the maildrop holds more than 250 (now and then of all), then QUIT
    (now and then RSET first, or no QUIT at all)."""

    def __init__(self, port, user, password, expected, rng, deadline, on_quit=None, took=None):
        super().__init__(daemon=True)
        self.on_quit = on_quit  # called as a QUIT that deletes goes out
        self.took = took        # told how long the program took to answer it
        self.port, self.user, self.password = port, user, password
        self.expected = expected  # ident -> the text as the maildrop keeps it (shared, growing)
        self.rng, self.deadline = rng, deadline
        self.stop = threading.Event()
        self.retr_ident = {}       # maildrop id -> the ident its RETR carried
        self.confirmed = set()     # ids deleted by a QUIT answered +OK
        self.unanswered = set()    # ids deleted by a QUIT whose answer never came
        self.commit_refused = 0
        self.sessions = 0
        self.quits_ok = 0
        self.torn = []             # (id, ident) of RETR answers that differ
        self.clashes = []          # (session, id) given to two messages in one listing
        self.resurrected = set()   # ids listed again after a QUIT answered +OK deleted them
        self.stalls = 0
        self.refusals = []
        self.error = None

    def run(self):
        try:
            while not self.stop.is_set() and time.monotonic() < self.deadline:
                conn = connect(self.port, self.deadline)
                if conn is None:
                    break
                try:
                    self._session(conn)
                except Broken:
                    pass
                except Stall:
                    self.stalls += 1
                except Refused as e:
                    self.refusals.append(str(e))
                    time.sleep(0.05)
                finally:
                    conn.close()
        except Exception:
            self.error = traceback.format_exc()

    def _command(self, conn, line, what):
        conn.send(line)
        reply = conn.line()
        if not reply.startswith(b"+OK"):
            raise Refused("%s: %r" % (what, reply[:200]))
        return reply

    def _session(self, conn):
        rng = self.rng
        greeting = conn.line()
        if not greeting.startswith(b"+OK"):
            raise Refused("greeting: %r" % greeting[:200])
        self._command(conn, b"USER %s\r\n" % self.user.encode(), "USER")
        self._command(conn, b"PASS %s\r\n" % self.password.encode(), "PASS")
        self.sessions += 1
        conn.send(b"UIDL\r\n")
        reply = conn.line()
        if reply.startswith(b"-ERR maildrop empty"):
            return  # every message was deleted: the maildrop is gone until new mail comes
        if not reply.startswith(b"+OK"):
            raise Refused("UIDL: %r" % reply[:200])
        listing = {}
        for row in conn.multiline().split(b"\r\n"):
            if row:
                number, uid = row.split(b" ", 1)
                uid = uid.decode("latin-1")
                if uid in listing.values():
                    self.clashes.append((self.sessions, uid))
                listing[int(number)] = uid
        self.resurrected |= self.confirmed & set(listing.values())
        # The maildrop stays at a few hundred messages; now and then it is cleared out.
        deleting = 0.6 if len(listing) > 250 else 0.0
        picks = rng.sample(sorted(listing), min(len(listing), rng.randint(1, 4)))
        if deleting and rng.random() < 0.005:
            picks, deleting = sorted(listing), 1.0
        pending = set()
        for number in picks:
            uid = listing[number]
            self._command(conn, b"RETR %d\r\n" % number, "RETR")
            text = conn.multiline()
            ident = crash_id(text)
            self.retr_ident[uid] = ident
            if self.expected.get(ident) != text:
                self.torn.append((uid, ident))
            if rng.random() < deleting:
                self._command(conn, b"DELE %d\r\n" % number, "DELE")
                pending.add(uid)
        ending = rng.random()
        if ending < 0.08:
            self._command(conn, b"RSET\r\n", "RSET")
            pending = set()
        elif ending < 0.16:
            return  # the line dropped without QUIT: nothing may be deleted
        self.unanswered |= pending
        if pending and self.on_quit:
            self.on_quit()
        began = time.monotonic()
        conn.send(b"QUIT\r\n")
        reply = conn.line()
        if pending and self.took:
            self.took(time.monotonic() - began)
        self.unanswered -= pending
        if reply.startswith(b"+OK"):
            self.quits_ok += 1
            self.confirmed |= pending
        else:
            self.commit_refused += 1


# ---------------------------------------------------------------------------------------------
# Provider side: a POP3 server and an SMTP server on 127.0.0.1

class ProviderServer:
    """One thread per connection; remembers when each connection began and ended."""

    def __init__(self, port):
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", port))
        self.listener.listen(32)
        self.listener.settimeout(0.2)
        self.lock = threading.Lock()
        self.connections = []  # [began, ended or None, number]
        self.errors = []
        self.stopping = False
        self.on_step = None  # called at each step the program must make safe next
        self.took = None     # told how long the program took from such a step to its next command
        threading.Thread(target=self._accept, daemon=True).start()

    def send_message(self, sock, answer):
        """A message's answer, at times in 3 or 4 pieces a moment apart (a kill may fall between
        them); the step the program must make safe next begins with it: its time is returned."""
        with self.lock:
            pieces = self.rng.randint(3, 4) if self.rng.random() < 0.35 else 1
        if self.on_step:
            self.on_step()
        step = time.monotonic()
        for k in range(pieces):
            if k:
                time.sleep(0.002)
            sock.sendall(answer[len(answer) * k // pieces:len(answer) * (k + 1) // pieces])
        return step

    def _accept(self):
        while not self.stopping:
            try:
                sock, _ = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            with self.lock:
                record = [time.monotonic(), None, len(self.connections)]  # began, ended, number
                self.connections.append(record)
            threading.Thread(target=self._serve, args=(sock, record), daemon=True).start()

    def _serve(self, sock, record):
        sock.settimeout(120)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        f = sock.makefile("rb")
        try:
            self.serve(sock, f, record)
        except OSError:
            pass
        except Exception:
            self.errors.append(traceback.format_exc())
        finally:
            try:
                f.close()
                sock.close()
            except OSError:
                pass
            record[1] = time.monotonic()
            self.ended()

    def ended(self):
        pass

    def connection_over(self, since):
        """Whether a connection made after `since` has ended."""
        with self.lock:
            return any(began >= since and ended is not None for began, ended, _ in self.connections)

    def close(self):
        self.stopping = True
        self.listener.close()


class ProviderPop3(ProviderServer):
    """The provider's POP3 server: a mailbox per login (password PROVIDER_PASSWORD), locked
    while a session holds it, deletions made only at QUIT; pipelined commands for the first
    login's mailbox. Like a provider far away, it sends
    about a third of its RETR answers in a few pieces a couple of milliseconds apart."""

    def __init__(self, port, rng, logins):
        super().__init__(port)
        self.rng = rng
        self.mailboxes = {login.encode(): [] for login in logins}  # login -> [(ident, text)]
        self.all = {}                            # ident -> text, everything it ever held
        self.busy = set()
        self.retr_whole = collections.Counter()  # ident -> RETR answers sent to their end
        self.history = collections.defaultdict(list)  # ident -> [(instant, connection record, event)]
        self.quits = 0
        self.locked_out = 0

    def add(self, login, ident, text):
        with self.lock:
            self.mailboxes[login.encode()].append((ident, text))
            self.all[ident] = text

    def held(self):
        """The idents it still holds."""
        with self.lock:
            return {ident for box in self.mailboxes.values() for ident, _ in box}

    def serve(self, sock, f, record):
        sock.sendall(b"+OK provider POP3 ready <%d.%d@provider.test>\r\n" % (os.getpid(), time.monotonic_ns()))
        user, view, deleted, holder, step, connection = None, None, set(), False, None, record
        try:
            while True:
                line = f.readline(1 << 16)
                if not line:
                    return
                if step is not None and self.took:
                    self.took(time.monotonic() - step)
                step = None
                words = line.rstrip(b"\r\n").split(b" ")
                command, args = words[0].upper(), words[1:]
                if view is None:
                    if command == b"USER" and args:
                        user = args[0]
                        sock.sendall(b"+OK\r\n")
                    elif (command == b"PASS" and user in self.mailboxes
                          and b" ".join(args) == PROVIDER_PASSWORD.encode()):
                        with self.lock:
                            if user in self.busy:
                                self.locked_out += 1
                            else:
                                self.busy.add(user)
                                holder = True
                                view = list(self.mailboxes[user])
                        sock.sendall(b"+OK mailbox ready\r\n" if view is not None else b"-ERR [IN-USE] locked\r\n")
                    elif command == b"QUIT":
                        sock.sendall(b"+OK bye\r\n")
                        return
                    else:
                        sock.sendall(b"-ERR\r\n")
                    continue
                number = int(args[0]) if args and args[0].isdigit() else None
                live = (lambda n: n is not None and 1 <= n <= len(view) and n not in deleted)
                if command == b"STAT":
                    kept = [view[i][1] for i in range(len(view)) if i + 1 not in deleted]
                    sock.sendall(b"+OK %d %d\r\n" % (len(kept), sum(map(len, kept))))
                elif command in (b"LIST", b"UIDL") and args:
                    if live(number):
                        what = len(view[number - 1][1]) if command == b"LIST" else view[number - 1][0].encode()
                        sock.sendall(b"+OK %d %s\r\n" % (number, str(what).encode() if command == b"LIST" else what))
                    else:
                        sock.sendall(b"-ERR no such message\r\n")
                elif command in (b"LIST", b"UIDL"):
                    rows = [b"%d %s\r\n" % (i + 1, str(len(t)).encode() if command == b"LIST" else ident.encode())
                            for i, (ident, t) in enumerate(view) if i + 1 not in deleted]
                    sock.sendall(b"+OK\r\n" + b"".join(rows) + b".\r\n")
                elif command == b"RETR":
                    if live(number):
                        ident, text = view[number - 1]
                        answer = b"+OK %d octets\r\n" % len(text) + dot_stuffed(text) + b".\r\n"
                        step = self.send_message(sock, answer)
                        with self.lock:
                            self.retr_whole[ident] += 1
                            self.history[ident].append((time.monotonic(), connection, "RETR sent whole"))
                    else:
                        sock.sendall(b"-ERR no such message\r\n")
                elif command == b"DELE":
                    if live(number):
                        deleted.add(number)
                        with self.lock:
                            self.history[view[number - 1][0]].append((time.monotonic(), connection, "DELE"))
                        sock.sendall(b"+OK deleted\r\n")
                    else:
                        sock.sendall(b"-ERR no such message\r\n")
                elif command == b"CAPA":
                    # One account's provider takes pipelined commands, the other's knows no CAPA.
                    sock.sendall(b"+OK\r\nUSER\r\nUIDL\r\nPIPELINING\r\n.\r\n" if user == sorted(self.mailboxes)[0]
                                 else b"-ERR unknown command\r\n")
                elif command == b"RSET":
                    deleted.clear()
                    sock.sendall(b"+OK\r\n")
                elif command == b"NOOP":
                    sock.sendall(b"+OK\r\n")
                elif command == b"QUIT":
                    gone = {view[n - 1][0] for n in deleted}
                    with self.lock:
                        self.mailboxes[user] = [m for m in self.mailboxes[user] if m[0] not in gone]
                        self.quits += 1
                        for ident in gone:
                            self.history[ident].append((time.monotonic(), connection, "deleted at QUIT"))
                    sock.sendall(b"+OK bye\r\n")
                    if self.on_step:
                        self.on_step()
                    return
                else:
                    sock.sendall(b"-ERR unknown command\r\n")
        finally:
            if holder:
                with self.lock:
                    self.busy.discard(user)


class ImapBox:
    """One folder at the provider: its UIDVALIDITY, the next UID, and uid -> [ident, text, flags]."""

    def __init__(self, validity):
        self.validity, self.next, self.messages = validity, 1, {}


def imap_words(text):
    """The arguments of a command line: atoms, quoted strings (unquoted) and parenthesized
    lists (as they are)."""
    words, at = [], 0
    while at < len(text):
        if text[at:at + 1] == b" ":
            at += 1
        elif text[at:at + 1] == b'"':
            end, word = at + 1, b""
            while end < len(text) and text[end:end + 1] != b'"':
                if text[end:end + 1] == b"\\":
                    end += 1
                word += text[end:end + 1]
                end += 1
            words.append(word)
            at = end + 1
        else:
            end, depth = at, 0
            while end < len(text) and (depth or text[end:end + 1] != b" "):
                depth += {b"(": 1, b"[": 1, b")": -1, b"]": -1}.get(text[end:end + 1], 0)
                end += 1
            words.append(text[at:end])
            at = end
    return words


def uid_set(text, highest):
    """A predicate for the UIDs of a sequence set ("*" is the highest UID the session knows)."""
    ranges = []
    for part in text.split(b","):
        ends = [highest if e == b"*" else int(e) for e in part.split(b":")]
        ranges.append((min(ends), max(ends)))
    return lambda uid: any(low <= uid <= high for low, high in ranges)


class ProviderImap(ProviderServer):
    """The provider's IMAP server: folders per login (password PROVIDER_PASSWORD), each with its
    UIDVALIDITY; a selected folder's session is told of messages added (EXISTS) and expunged
    by other sessions (EXPUNGE, at the commands where that may come), also in IDLE. After the
    login each login has capabilities of its own (`capabilities`), as providers differ. Like a
    provider far away, it sends about a third of its message texts in a few pieces. restart()
    drops every connection at once, as a provider's restart does."""

    BEFORE_LOGIN = b"IMAP4rev1 UIDPLUS MOVE IDLE"

    def __init__(self, port, rng, folders, capabilities):
        super().__init__(port)
        self.rng = rng
        self.changed = threading.Condition(self.lock)
        self.boxes = {(login.encode(), folder.upper().encode()): ImapBox(rng.randint(1, 1 << 30))
                      for login, names in folders.items() for folder in names}
        self.capabilities = {login.encode(): caps.encode() for login, caps in capabilities.items()}
        self.all = {}      # ident -> text, everything it ever held
        self.where = {}    # ident -> (login, folder, uid) where it was put
        self.history = collections.defaultdict(list)  # ident -> [(instant, connection record, event)]
        self.logins = []   # (connection record, login) of each login that succeeded
        self.logouts = 0
        self.live = set()  # sockets of the connections open now

    def add(self, login, folder, ident, text):
        with self.lock:
            box = self.boxes[(login.encode(), folder.upper().encode())]
            box.messages[box.next] = [ident, text, set()]
            self.where[ident] = (login, folder, box.next)
            self.all[ident] = text
            box.next += 1
            self.changed.notify_all()

    def held(self, but=(b"ARCHIVE",)):
        """The idents still in the folders collected from."""
        with self.lock:
            return {m[0] for (_, folder), box in self.boxes.items() if folder not in but for m in box.messages.values()}

    def in_folder(self, folder):
        with self.lock:
            return collections.Counter(m[0] for (_, name), box in self.boxes.items() if name == folder.upper().encode()
                                       for m in box.messages.values())

    def login_over(self, login, since):
        """Whether a connection that logged in as `login` after `since` has ended."""
        with self.lock:
            return any(r[0] >= since and r[1] is not None for r, who in self.logins if who == login.encode())

    def restart(self):
        with self.lock:
            live = list(self.live)
        for sock in live:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def serve(self, sock, f, record):
        with self.lock:
            self.live.add(sock)
        try:
            self.converse(sock, f, record)
        finally:
            with self.lock:
                self.live.discard(sock)

    def converse(self, sock, f, record):
        sock.sendall(b"* OK provider IMAP ready\r\n")
        session = {"user": None, "box": None, "view": [], "top": 0}
        step = None

        def sync(expunges):
            """What changed in the selected folder since the session last heard (under the lock)."""
            box, out = session["box"], []
            if box is None:
                return b""
            view = session["view"]
            if expunges:
                at = 0
                while at < len(view):
                    if view[at] in box.messages:
                        at += 1
                    else:
                        out.append(b"* %d EXPUNGE\r\n" % (at + 1))
                        del view[at]
            new = sorted(uid for uid in box.messages if uid > session["top"])
            if new:
                view += new
                session["top"] = new[-1]
                out.append(b"* %d EXISTS\r\n" % len(view))
            return b"".join(out)

        while True:
            line = f.readline(1 << 16)
            if not line:
                return
            if step is not None and self.took:
                self.took(time.monotonic() - step)
            step = None
            tag, _, rest = line.rstrip(b"\r\n").partition(b" ")
            command, _, args = rest.partition(b" ")
            command = command.upper()
            if command == b"UID":
                sub, _, args = args.partition(b" ")
                command = b"UID " + sub.upper()
            words = imap_words(args)
            user, box = session["user"], session["box"]
            if command == b"CAPABILITY":
                caps = self.capabilities[user] if user else self.BEFORE_LOGIN
                sock.sendall(b"* CAPABILITY %s\r\n%s OK done\r\n" % (caps, tag))
            elif command == b"NOOP":
                with self.lock:
                    news = sync(True)
                sock.sendall(news + tag + b" OK done\r\n")
            elif command == b"LOGOUT":
                with self.lock:
                    self.logouts += 1
                sock.sendall(b"* BYE see you\r\n%s OK done\r\n" % tag)
                return
            elif command == b"LOGIN":
                if (user is None and len(words) == 2 and words[0] in self.capabilities
                        and words[1] == PROVIDER_PASSWORD.encode()):
                    session["user"] = words[0]
                    with self.lock:
                        self.logins.append((record, words[0]))
                    sock.sendall(tag + b" OK logged in\r\n")
                else:
                    sock.sendall(tag + b" NO [AUTHENTICATIONFAILED] no\r\n")
            elif user is None:
                sock.sendall(tag + b" BAD log in first\r\n")
            elif command in (b"SELECT", b"EXAMINE") and len(words) == 1:
                with self.lock:
                    found = self.boxes.get((user, words[0].upper()))
                    session["box"] = found
                    if found is None:
                        sock.sendall(tag + b" NO [NONEXISTENT] no such folder\r\n")
                        continue
                    session["view"] = sorted(found.messages)
                    session["top"] = session["view"][-1] if session["view"] else 0
                    sock.sendall(b"* FLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft)\r\n"
                                 b"* %d EXISTS\r\n* 0 RECENT\r\n* OK [UIDVALIDITY %d] ok\r\n* OK [UIDNEXT %d] ok\r\n"
                                 b"%s OK [READ-WRITE] selected\r\n" % (len(session["view"]), found.validity, found.next, tag))
            elif command == b"IDLE":  # also before a folder is selected: then it tells nothing
                self.idle(sock, f, tag, sync)
            elif box is None:
                sock.sendall(tag + b" BAD select a folder first\r\n")
            elif command == b"UID FETCH" and len(words) >= 2:
                step = self.fetch(sock, tag, words[0], b" ".join(words[1:]).upper(), session, record, sync)
            elif command == b"UID STORE" and len(words) >= 3:
                how = words[1].upper()
                flags = {w.decode() for w in words[2].strip(b"()").split() if w}
                with self.lock:
                    wanted = uid_set(words[0], session["top"])
                    out = []
                    for seq, uid in enumerate(session["view"], 1):
                        if wanted(uid) and uid in box.messages:
                            m = box.messages[uid]
                            m[2] = m[2] | flags if how.startswith(b"+") else m[2] - flags if how.startswith(b"-") else set(flags)
                            if not how.endswith(b".SILENT"):
                                out.append(b"* %d FETCH (UID %d FLAGS (%s))\r\n" % (seq, uid, " ".join(sorted(m[2])).encode()))
                    out.append(sync(False))
                sock.sendall(b"".join(out) + tag + b" OK stored\r\n")
            elif command == b"UID SEARCH" and len(words) == 2 and words[0].upper() == b"UID":
                with self.lock:
                    wanted = uid_set(words[1], session["top"])
                    found = [uid for uid in session["view"] if wanted(uid) and uid in box.messages]
                    news = sync(False)
                sock.sendall(b"* SEARCH" + b"".join(b" %d" % uid for uid in found) + b"\r\n" + news + tag + b" OK done\r\n")
            elif command == b"UID SEARCH" and [w.upper() for w in words] == [b"DELETED"]:
                with self.lock:
                    found = [uid for uid in session["view"] if uid in box.messages and "\\Deleted" in box.messages[uid][2]]
                    news = sync(False)
                sock.sendall(b"* SEARCH" + b"".join(b" %d" % uid for uid in found) + b"\r\n" + news + tag + b" OK done\r\n")
            elif command in (b"EXPUNGE", b"UID EXPUNGE"):
                with self.lock:
                    wanted = uid_set(words[0], session["top"]) if command == b"UID EXPUNGE" else (lambda uid: True)
                    for uid in [u for u, m in box.messages.items() if wanted(u) and "\\Deleted" in m[2]]:
                        self.history[box.messages.pop(uid)[0]].append((time.monotonic(), record, "expunged"))
                    news = sync(True)
                    self.changed.notify_all()
                step = self.answered(sock, news + tag + b" OK expunged\r\n")
            elif command in (b"UID MOVE", b"UID COPY") and len(words) == 2:
                with self.lock:
                    target = self.boxes.get((user, words[1].upper()))
                    if target is None:
                        sock.sendall(tag + b" NO [TRYCREATE] no such folder\r\n")
                        continue
                    wanted = uid_set(words[0], session["top"])
                    for uid in [u for u in session["view"] if wanted(u) and u in box.messages]:
                        m = box.messages.pop(uid) if command == b"UID MOVE" else box.messages[uid]
                        target.messages[target.next] = [m[0], m[1], set(m[2])]
                        target.next += 1
                        self.history[m[0]].append((time.monotonic(), record, command.decode()[4:].lower() + "d"))
                    news = sync(command == b"UID MOVE")
                    self.changed.notify_all()
                step = self.answered(sock, news + tag + b" OK done\r\n")
            else:
                sock.sendall(tag + b" BAD unknown command\r\n")

    def answered(self, sock, answer):
        """Sends an answer after which the program must make what it did safe; its instant."""
        if self.on_step:
            self.on_step()
        sock.sendall(answer)
        return time.monotonic()

    def fetch(self, sock, tag, which, items, session, record, sync):
        box = session["box"]
        if b"BODY[]" in items or b"RFC822 " in items + b" " or b"RFC822)" in items:
            self.errors.append("a fetch that marks the message read: %r" % items)
        with self.lock:
            wanted = uid_set(which, session["top"])
            chosen = [(seq, uid, box.messages[uid][0], box.messages[uid][1]) for seq, uid in enumerate(session["view"], 1)
                      if wanted(uid) and uid in box.messages]
        whole = b"BODY.PEEK[]" in items
        step = None
        for seq, uid, ident, text in chosen:
            parts = [b"UID %d" % uid]
            if b"RFC822.SIZE" in items:
                parts.append(b"RFC822.SIZE %d" % len(text))
            if b"HEADER.FIELDS (MESSAGE-ID)" in items:
                found = re.search(rb"(?im)^Message-Id:[^\r\n]*\r\n", text.split(b"\r\n\r\n", 1)[0] + b"\r\n")
                field = (found.group(0) if found else b"") + b"\r\n"
                parts.append(b"BODY[HEADER.FIELDS (MESSAGE-ID)] {%d}\r\n" % len(field) + field)
            if b"BODY.PEEK[HEADER]" in items:
                header = text.split(b"\r\n\r\n", 1)[0] + b"\r\n\r\n"
                parts.append(b"BODY[HEADER] {%d}\r\n" % len(header) + header)
            answer = b"* %d FETCH (" % seq + b" ".join(parts)
            if not whole:
                sock.sendall(answer + b")\r\n")
                continue
            answer += b" BODY[] {%d}\r\n" % len(text) + text + b")\r\n"
            step = self.send_message(sock, answer)
            with self.lock:
                self.history[ident].append((time.monotonic(), record, "FETCH sent whole"))
        with self.lock:
            news = sync(False)
        if whole and chosen:
            return self.answered(sock, news + tag + b" OK fetched\r\n")
        sock.sendall(news + tag + b" OK fetched\r\n")
        return step

    def idle(self, sock, f, tag, sync):
        """Tells what changes in the selected folder until DONE (or the connection ends)."""
        sock.sendall(b"+ idling\r\n")
        while not self.stopping:
            with self.changed:
                news = sync(True)
                if not news:
                    self.changed.wait(0.05)
                    news = sync(True)
            if news:
                sock.sendall(news)
            readable, _, _ = select.select([sock], [], [], 0)
            if readable:
                line = f.readline(1 << 16)
                if not line:
                    return
                sock.sendall(tag + (b" OK idle done\r\n" if line.rstrip(b"\r\n").upper() == b"DONE" else b" BAD DONE expected\r\n"))
                return


class Received:
    def __init__(self, ident, sender, recipients, data, connection):
        self.ident, self.sender, self.recipients, self.data = ident, sender, recipients, data
        self.connection = connection  # [began, ended]
        self.t250 = None
        self.followed = False         # another command came on its connection after its 250
        self.at_kill = None           # its queue file when the kill cut the connection off:
                                      # "marked", "removed" or "untouched"


class ProviderSmtp(ProviderServer):
    """The provider's SMTP server: takes every message, keeps what it got and when it said 250."""

    def __init__(self, port):
        super().__init__(port)
        self.received = []

    def serve(self, sock, f, record):
        sock.sendall(b"220 provider.test ESMTP\r\n")
        sender, recipients, last = None, [], None
        while True:
            line = f.readline(1 << 16)
            if not line:
                return
            if last is not None:
                last.followed = True
                if self.took:
                    self.took(time.monotonic() - last.t250)
                last = None
            command = line[:4].upper()
            if command == b"HELO":
                sock.sendall(b"250 provider.test\r\n")
            elif command == b"EHLO":
                sock.sendall(b"250-provider.test\r\n250 8BITMIME\r\n")
            elif command == b"MAIL":
                sender, recipients = line[line.find(b"<") + 1:line.rfind(b">")].decode("latin-1"), []
                sock.sendall(b"250 sender ok\r\n")
            elif command == b"RCPT":
                recipients.append(line[line.find(b"<") + 1:line.rfind(b">")].decode("latin-1"))
                sock.sendall(b"250 recipient ok\r\n")
            elif command == b"DATA":
                if sender is None or not recipients:
                    sock.sendall(b"503 no envelope\r\n")
                    continue
                sock.sendall(b"354 go on\r\n")
                lines = []
                while True:
                    text_line = f.readline()
                    if not text_line:
                        return  # cut off: nothing taken
                    if text_line == b".\r\n":
                        break
                    lines.append(text_line[1:] if text_line.startswith(b".") else text_line)
                data = b"".join(lines)
                copy = Received(crash_id(data), sender, recipients, data, record)
                copy.t250 = time.monotonic()
                with self.lock:
                    self.received.append(copy)
                sock.sendall(b"250 2.0.0 queued\r\n")
                last = copy
                if self.on_step:
                    self.on_step()
                sender, recipients = None, []
            elif command in (b"RSET", b"NOOP"):
                sender, recipients = (None, []) if command == b"RSET" else (sender, recipients)
                sock.sendall(b"250 ok\r\n")
            elif command == b"QUIT":
                sock.sendall(b"221 bye\r\n")
                return
            else:
                sock.sendall(b"500 unknown command\r\n")


# ---------------------------------------------------------------------------------------------
# Scenarios

class Result:
    def __init__(self, name):
        self.name = name
        self.figures = []     # (label, number, counts as a fault)
        self.notes = []       # details of what went wrong
        self.suffix = ""

    def add(self, label, number, fault=True, always=True):
        if always or number:
            self.figures.append((label, number, fault))

    def failed(self):
        return any(fault and number for _, number, fault in self.figures)

    def line(self, head):
        parts = [head] + ["%s %d" % (label, number) for label, number, _ in self.figures]
        return "%s: %s%s" % (self.name, ", ".join(parts), self.suffix)


def duplicates_text(total, inherent, unexpected, why):
    if total == 0:
        return "duplicates 0"
    if unexpected == 0:
        return "duplicates %d (all inherent: %s)" % (total, why)
    return "duplicates %d (%d inherent: %s; %d unexpected)" % (total, inherent, why, unexpected)


class Scenario:
    users = ["postmaster  ; "]

    def __init__(self, args, root, name):
        self.args, self.name = args, name
        self.rng = random.Random("%s-%s" % (args.seed, name))  # the main thread's choices
        self.kill_rng = random.Random("%s-%s-kills" % (args.seed, name))
        self.dir = os.path.join(root, name)
        os.mkdir(self.dir)
        self.smtp_port, self.pop3_port = free_port(), free_port()
        self.program = Program(args.binary, self.dir, os.path.join(root, name + "-output.log"))
        self.result = Result(name)
        self.kills = 0
        self.started = time.monotonic()
        self.kill_deadline = self.started + args.time_limit
        self.stalled_sessions = 0
        self.step = threading.Event()  # the traffic reached a critical step
        self.step_lengths = collections.deque(maxlen=64)  # how long the program took over such steps
        self.aimed = 0

    def critical_step(self):
        self.step.set()

    def step_took(self, seconds):
        self.step_lengths.append(seconds)

    def kill_life(self):
        """Kills the life just started: at a random instant after its start, or, aimed, within
        the next critical step of the traffic that comes after such an instant (or at once when
        none comes within a second). An aimed kill falls within 1.2 times the length of one of
        the recent such steps, and at least within --aim-window."""
        aimed = self.kill_rng.random() < self.args.aimed
        delay = self.kill_rng.uniform(0, self.args.max_delay / 1000.0)
        fraction, pick = self.kill_rng.random(), self.kill_rng.random()
        time.sleep(max(0.0, self.program.spawned + delay - time.monotonic()))
        if aimed:
            self.aimed += 1
            lengths = list(self.step_lengths)
            window = max(self.args.aim_window / 1000.0, 1.2 * lengths[int(pick * len(lengths))] if lengths else 0)
            self.step.clear()
            if self.step.wait(1.0):
                time.sleep(fraction * window)
        self.program.kill()
        self.kills += 1

    def kills_text(self):
        return "%d kills (%d aimed)" % (self.kills, self.aimed)

    def common_faults(self, submitters=()):
        r = self.result
        r.add("program ended by itself", len(self.program.self_exits), always=False)
        for life, code in self.program.self_exits[:5]:
            r.notes.append("life %d ended by itself with status %s" % (life, code))
        r.add("stalled sessions", self.stalled_sessions, always=False)
        for s in submitters:
            r.add("replies that never came", s.stalls, always=False)
            r.add("refusals", len(s.refusals), always=False)
            r.notes += ["refused: " + t for t in s.refusals[:5]]
            if s.error:
                r.add("harness errors", 1)
                r.notes.append(s.error)
        if self.kills < self.args.kills:
            r.add("kills missing at the time limit", self.args.kills - self.kills)
        journals = [n for n in os.listdir(self.program.path("maildrop")) if n.startswith("delivery") and n.endswith(".journal")]
        r.add("journal left after a clean stop", len(journals), always=False)

    def stop_program(self):
        code = self.program.stop()
        if code != 0:
            self.result.add("clean stop failed", 1)
            self.result.notes.append("SIGINT ended the last life with status %s" % code)

    def feeder_for_ivan(self, expected, end, longest_pause):
        """A client handing in numbered mail from petr to ivan ("feed-N"), pausing up to
        `longest_pause` seconds between messages; their texts go into `expected`."""
        feed_maker = TextMaker(random.Random("%s-%s-feed" % (self.args.seed, self.name)))

        def compose(n):
            ident = "feed-%d" % n
            text = feed_maker.text(ident, "petr@" + DOMAIN, ["ivan@" + DOMAIN])
            expected[ident] = maildrop_form(text)
            return ident, "petr@" + DOMAIN, ["ivan@" + DOMAIN], text

        pace = random.Random("%s-%s-pace" % (self.args.seed, self.name))
        return Submitter(self.smtp_port, compose, random.Random("%s-%s-client" % (self.args.seed, self.name)), end,
                         pause=lambda: pace.uniform(0, longest_pause))

    def maildrop_ids(self, user, messages):
        """Counts maildrop ids given to more than one message of one maildrop."""
        counts = collections.Counter(uid for uid, _ in messages if uid is not None)
        clashes = [uid for uid, n in counts.items() if n > 1]
        for uid in clashes[:3]:
            self.result.notes.append("maildrop %s: id %s is on %d messages" % (user, uid, counts[uid]))
        return sum(counts[uid] - 1 for uid in clashes)

    # Sessions started with SIGUSR1 -----------------------------------------------------------

    def session(self, provider, marker, until):
        """SIGUSR1, then wait until a connection to the provider made since has ended and the
        session's marker file is gone, or `until`. True when the session ended."""
        began = time.monotonic()
        self.program.signal(signal.SIGUSR1)
        while time.monotonic() < until:
            if provider.connection_over(began) and not os.path.exists(marker):
                return True
            if not self.program.alive():
                return False
            time.sleep(0.002)
        return False

    def kill_with_sessions(self, provider, marker, feed):
        """The kills: each life gets sessions one after another (after `feed()` put new mail
        in) until the killer thread ends it."""
        provider.on_step, provider.took = self.critical_step, self.step_took
        while self.kills < self.args.kills and time.monotonic() < self.kill_deadline:
            self.program.start()
            killer = threading.Thread(target=self.kill_life, daemon=True)
            killer.start()
            while killer.is_alive():
                if not self.program.alive():
                    time.sleep(0.001)
                    continue
                if not self.program.ready():
                    with self.program.cond:
                        self.program.cond.wait(0.01)
                    continue
                feed()
                self.session(provider, marker, time.monotonic() + SESSION_TIMEOUT)
            killer.join()
        provider.on_step = provider.took = None

    def drain(self, provider, marker, done, feed_first=None):
        """A last life with sessions until `done()`; the program then stops cleanly."""
        self.program.start()
        if not self.program.wait_ready():
            self.program.note_exit()
            self.result.add("last start failed", 1)
            return
        deadline = time.monotonic() + self.args.drain_limit
        first = True
        while not done() and time.monotonic() < deadline:
            if first and feed_first:
                feed_first()
            first = False
            if not self.session(provider, marker, min(deadline, time.monotonic() + SESSION_TIMEOUT)):
                if not self.program.alive():
                    self.program.note_exit()
                    self.program.start()
                    self.program.wait_ready()
                else:
                    self.stalled_sessions += 1
        self.stop_program()


class Intake(Scenario):
    locals = ["ivan", "petr", "anna", "boris"]
    users = ["postmaster  ; "] + ["%s x ; " % u for u in locals]

    def run(self):
        write_config(self.dir, self.smtp_port, self.pop3_port, [], self.users)
        maker = TextMaker(random.Random("%s-intake-text" % self.args.seed))
        pick = random.Random("%s-intake-rcpt" % self.args.seed)

        def compose(n):
            ident = "in-%d" % n
            users = pick.sample(self.locals, pick.choice((2, 3)))
            recipients = ["%s@%s" % (u, DOMAIN) for u in users] + ["far%d@far.away" % n]
            pick.shuffle(recipients)
            sender = "%s@%s" % (pick.choice(self.locals), DOMAIN)
            return ident, sender, recipients, maker.text(ident, sender, recipients)

        client = Submitter(self.smtp_port, compose, random.Random("%s-intake-client" % self.args.seed),
                           self.started + self.args.time_limit + self.args.drain_limit, on_end=self.critical_step,
                           took=self.step_took)
        client.start()
        while self.kills < self.args.kills and time.monotonic() < self.kill_deadline:
            self.program.start()
            self.kill_life()
        self.program.start()
        self.program.wait_ready()
        client.stop.set()
        client.join(self.args.drain_limit)
        self.stop_program()
        self.count(client)

    def count(self, client):
        r = self.result
        found = collections.defaultdict(collections.Counter)  # ident -> place -> copies
        torn, misdelivered, clashes = [], [], 0
        local_of = {ident: {a.split("@")[0] for a in rcpts if a.endswith("@" + DOMAIN)}
                    for ident, (_, rcpts, _) in client.messages.items()}
        for user in ["postmaster"] + self.locals:
            stray, messages = parse_maildrop(self.program.path("maildrop", user))
            if stray:
                torn.append("%s: %d bytes before the first separator" % (user, len(stray)))
            clashes += self.maildrop_ids(user, messages)
            for uid, text in messages:
                ident = crash_id(text)
                if ident not in client.messages:
                    torn.append("%s: message %s without a known id" % (user, uid))
                    continue
                if text != maildrop_form(client.messages[ident][2]):
                    torn.append("%s: %s (id %s)" % (user, ident, uid))
                if user not in local_of[ident]:
                    misdelivered.append("%s in %s" % (ident, user))
                    continue
                found[ident][user] += 1
        others = []
        queue = self.program.path("queue")
        for name in sorted(os.listdir(queue)):
            if not re.fullmatch(r"[0-9A-Fa-f]{8}", name):
                others.append(name)
                continue
            with open(os.path.join(queue, name), "rb") as f:
                data = f.read()
            envelope = re.match(rb"MAIL FROM:<([^>]*)>\r\n((?:RCPT TO:<[^>]*>\r\n)*)", data)
            ident = crash_id(data[envelope.end():]) if envelope else None
            if ident not in client.messages:
                torn.append("queue file %s without a known id" % name)
                continue
            sender, rcpts, text = client.messages[ident]
            outside = [a for a in rcpts if not a.endswith("@" + DOMAIN)]
            expected = ("MAIL FROM:<%s>\r\n" % sender + "".join("RCPT TO:<%s>\r\n" % a for a in outside)).encode()
            if data[envelope.end():] != text:
                torn.append("queue file %s (%s)" % (name, ident))
            if data[:envelope.end()] != expected:
                misdelivered.append("queue file %s (%s): envelope %r" % (name, ident, data[:envelope.end()]))
                continue
            found[ident]["queue"] += 1
        lost, partial, inherent, unexpected, total = [], [], 0, 0, 0
        acked = set(client.acked)
        for ident in client.messages:
            places = sorted(local_of[ident]) + ["queue"]
            copies = found[ident]
            missing = [p for p in places if copies[p] == 0]
            if ident in acked:
                lost += ["%s from %s" % (ident, p) for p in missing]
            # Every attempt stores in all places or in none: the copy counts of one message's
            # places are equal, whatever the client sent again.
            if len({copies[p] for p in places}) > 1:
                partial.append("%s: copies %s" % (ident, {p: copies[p] for p in places}))
            for p in places:
                extra = max(0, copies[p] - 1)
                total += extra
                explained = min(extra, max(0, client.ends_sent[ident] - 1))
                inherent += explained
                unexpected += extra - explained
                if extra > explained:
                    r.notes.append("%s: %d copies in %s, its text sent %d times" %
                                   (ident, copies[p], p, client.ends_sent[ident]))
        r.add("lost", len(lost))
        r.add("torn", len(torn))
        r.add("partial", len(partial))
        r.add("misdelivered", len(misdelivered))
        r.notes += ["lost: " + x for x in lost[:10]] + ["torn: " + x for x in torn[:10]]
        r.notes += ["partial: " + x for x in partial[:10]] + ["misdelivered: " + x for x in misdelivered[:10]]
        r.add("unexpected duplicates", unexpected, always=False)
        r.add("id clashes", clashes, always=False)
        r.add("never acknowledged", int(client.unfinished is not None), always=False)
        self.common_faults([client])
        r.suffix = ", " + duplicates_text(total, inherent, unexpected, "resent after no 250")
        if others:
            r.notes.append("other files in the queue: %s" % others[:10])
        self.head = "%s, %d messages acknowledged" % (self.kills_text(), len(acked))


class Pop3(Scenario):
    users = ["postmaster  ; ", "ivan x ; "]

    def run(self):
        write_config(self.dir, self.smtp_port, self.pop3_port, [], self.users)
        maker = TextMaker(random.Random("%s-pop3-text" % self.args.seed))
        # Ids of their own, far from the program's own (ticks since boot).
        with open("/proc/uptime") as f:
            base = (int(float(f.read().split()[0]) * 1000) + (1 << 31)) & 0xFFFFFFFF
        self.initial = {}  # maildrop id -> ident
        expected = {}
        with open(self.program.path("maildrop", "ivan"), "wb") as f:
            for n in range(400):
                ident = "pre-%d" % n
                uid = "%08X" % ((base + n) & 0xFFFFFFFF)
                text = maker.text(ident, "someone@far.away", ["ivan@" + DOMAIN])
                expected[ident] = maildrop_form(text)
                self.initial[uid] = ident
                f.write(MARKER + b" " + uid.encode() + b"\r\n" + expected[ident])
        end = self.started + self.args.time_limit + self.args.drain_limit
        feeder = self.feeder_for_ivan(expected, end, 0.03)
        collector = Collector(self.pop3_port, "ivan", "x", expected,
                              random.Random("%s-pop3-collector" % self.args.seed), end, on_quit=self.critical_step,
                              took=self.step_took)
        feeder.start()
        collector.start()
        while self.kills < self.args.kills and time.monotonic() < self.kill_deadline:
            self.program.start()
            self.kill_life()
            self.note_uids()
        self.program.start()
        self.program.wait_ready()
        feeder.stop.set()
        collector.stop.set()
        feeder.join(self.args.drain_limit)
        collector.join(self.args.drain_limit)
        self.stop_program()
        self.note_uids()
        self.count(feeder, collector, expected)
        self.count_uids()

    # What the index says after each life: a UID names one message for good (within its
    # UIDVALIDITY), and is never given again.
    uid_names = None
    uid_faults = None

    def note_uids(self):
        if self.uid_names is None:
            self.uid_names, self.uid_faults = {}, []
        index = mailbox_index.read(self.program.path("maildrop", "ivan.folders", ".INBOX.index"))
        if index is None:
            return
        names = self.uid_names.setdefault(index["validity"], {})
        for uid, ident in list(index["messages"].items()) + list(index["expunged"].items()):
            if names.setdefault(uid, ident) != ident:
                self.uid_faults.append("UID %d of UIDVALIDITY %d named %s, then %s" % (uid, index["validity"],
                                                                                      names[uid], ident))
            if uid >= index["next"]:
                self.uid_faults.append("UID %d at or above UIDNEXT %d" % (uid, index["next"]))

    def count_uids(self):
        r = self.result
        index = mailbox_index.read(self.program.path("maildrop", "ivan.folders", ".INBOX.index"))
        _, messages = parse_maildrop(self.program.path("maildrop", "ivan"))
        if index is None:
            r.add("index unreadable after a clean stop", 1)
            return
        listed = sorted(index["messages"].values())
        stored = sorted(uid for uid, _ in messages)
        r.add("UIDs that changed their message", len(self.uid_faults))
        r.add("index unlike the maildrop after a clean stop", 0 if listed == stored and not index["expunged"] else 1)
        r.add("UIDVALIDITY changes", len(self.uid_names) - 1, fault=False, always=False)
        r.notes += self.uid_faults[:10]

    def count(self, feeder, collector, expected):
        r = self.result
        stray, messages = parse_maildrop(self.program.path("maildrop", "ivan"))
        torn = ["RETR of %s gave other bytes (id %s)" % (ident, uid) for uid, ident in collector.torn]
        if stray:
            torn.append("%d bytes before the first separator" % len(stray))
        clashes = self.maildrop_ids("ivan", messages) + len(collector.clashes)
        present = collections.Counter()
        copies = collections.Counter()  # ident -> copies at the end
        for uid, text in messages:
            ident = crash_id(text)
            present[uid] += 1
            copies[ident] += 1
            if expected.get(ident) != text:
                torn.append("%s (id %s) at the end" % (ident, uid))
        known = dict(self.initial)
        known.update(collector.retr_ident)
        lost, undeleted, gone_unanswered = [], set(collector.resurrected), 0
        deleted = collections.Counter()  # ident -> copies deleted
        for uid, ident in known.items():
            if uid in collector.confirmed:
                deleted[ident] += 1
                if present[uid]:
                    undeleted.add(uid)
            elif uid in collector.unanswered and not present[uid]:
                deleted[ident] += 1
                gone_unanswered += 1
            elif not present[uid]:
                lost.append("%s (id %s), never deleted" % (ident, uid))
        lost_idents = {known[uid] for uid in known if not present[uid] and uid not in collector.confirmed
                       and uid not in collector.unanswered}
        inherent = unexpected = total = 0
        for ident in feeder.acked:
            n = copies[ident] + deleted[ident]
            if n == 0 and ident not in lost_idents:
                lost.append("%s (acknowledged, never seen)" % ident)
            extra = max(0, n - 1)
            explained = min(extra, max(0, feeder.ends_sent[ident] - 1))
            total += extra
            inherent += explained
            unexpected += extra - explained
        for uid, ident in self.initial.items():
            extra = max(0, copies[ident] + deleted[ident] - 1)
            total += extra
            unexpected += extra
        r.add("lost", len(lost))
        r.add("torn", len(torn))
        r.add("deleted yet still there", len(undeleted))
        r.notes += ["lost: " + x for x in lost[:10]] + ["torn: " + x for x in torn[:10]]
        r.notes += ["deleted by a QUIT answered +OK, yet listed or stored again: %s (id %s)" % (known.get(u), u)
                    for u in sorted(undeleted)[:10]]
        r.add("unexpected duplicates", unexpected, always=False)
        r.add("id clashes", clashes, always=False)
        r.add("QUITs answered -ERR", collector.commit_refused, always=False)
        r.add("collector replies that never came", collector.stalls, always=False)
        r.add("collector refusals", len(collector.refusals), always=False)
        r.notes += ["collector refused: " + t for t in collector.refusals[:5]]
        if collector.error:
            r.add("harness errors", 1)
            r.notes.append(collector.error)
        self.common_faults([feeder])
        r.suffix = ", %s, gone after a QUIT whose answer the kill prevented %d (inherent)" % (
            duplicates_text(total, inherent, unexpected, "resent after no 250"), gone_unanswered)
        self.head = "%s, %d sessions, %d QUITs answered +OK deleting %d messages, %d messages handed in" % (
            self.kills_text(), collector.sessions, collector.quits_ok, len(collector.confirmed), len(feeder.acked))


class Download(Scenario):
    """Two provider accounts: "office" delivers to ivan; "sorted" goes through the sorter, whose
    rules send a message to petr and anna and relay it to an outside address, or to petr
    alone, or into anna's folder Projects, or (no rule matches) to the postmaster. While the
    program is down, anna's folders are now and then taken away (kept aside for the count), so
    that the next life makes them again: kills land in the making of folders too."""
    users = ["postmaster  ; ", "ivan x ; ", "petr x ; ", "anna x ; "]
    maildrops = ("postmaster", "ivan", "petr", "anna")
    folder = "anna/Projects"
    routes = {"to-petr-anna-relay": ("petr", "anna", "queue"), "to-petr": ("petr",), "nowhere": ("postmaster",),
              "to-folder": (folder,)}
    relay_to = "fwd@far.away"

    def run(self):
        provider = ProviderPop3(account_port(), random.Random("%s-download-provider" % self.args.seed),
                                ("office", "sorted"))
        # Relayed mail waits in the queue: the upload finds a port that refuses connections.
        refuser = socket.socket()
        refuser.bind(("127.0.0.1", account_port()))
        try:
            port = provider.listener.getsockname()[1]
            write_config(self.dir, self.smtp_port, self.pop3_port,
                         ["SMTPServer = 127.0.0.1", "SMTPSport = %d" % refuser.getsockname()[1], "[POP3accounts]",
                          "127.0.0.1 office ; %s-%d-0-ivan" % (scramble(PROVIDER_PASSWORD), port),
                          "127.0.0.1 sorted ; %s-%d-0-*" % (scramble(PROVIDER_PASSWORD), port)], self.users)
            self.write_sorter()
            maker = TextMaker(random.Random("%s-download-text" % self.args.seed))
            self.places = {}  # ident -> {place: the bytes a copy there must have}

            def feed(low=0, high=8):
                for _ in range(self.rng.randint(low, high)):
                    n = len(self.places)
                    if self.rng.random() < 0.5:
                        ident = "dl-%d" % n
                        text = maker.text(ident, "someone@far.away", ["office@provider.test"])
                        self.places[ident] = {"ivan": maildrop_form(text)}
                        provider.add("office", ident, text)
                        continue
                    ident = "ds-%d" % n
                    provider.add("sorted", ident, self.routed(maker, self.rng, ident, n))

            feed(20, 40)
            marker = self.program.path("maildrop", "pop3_download.runs")
            self.cut_retrs = collections.defaultdict(list)  # ident -> [recorded as stored at the kill]

            def note_ledgers(moment):
                # The program is down: which messages its download ledgers hold is final now.
                ledgered = set()
                for name in os.listdir(self.dir):
                    if name.endswith(".uidl"):
                        with open(os.path.join(self.dir, name), "rb") as f:
                            ledgered |= {line.split(b" ")[-1].decode("latin-1") for line in f.read().split(b"\n")
                                         if line[:2] in (b"U ", b"P ")}
                with provider.lock:
                    for ident, events in provider.history.items():
                        for t, (began, ended, _), what in events:
                            if what == "RETR sent whole" and began <= t <= moment and (ended is None or ended >= moment):
                                self.cut_retrs[ident].append(ident in ledgered)

            self.set_aside = []  # folder files taken away while the program was down
            self.folders_made = 0

            def after_kill(moment):
                note_ledgers(moment)
                self.take_folders_away()

            self.program.after_kill = after_kill
            self.kill_with_sessions(provider, marker, feed)
            waiting = lambda: [n for n in os.listdir(self.dir) if ".popfile" in n]
            self.drain(provider, marker, lambda: not provider.held() and not waiting())
            self.count(provider, waiting())
        finally:
            provider.close()
            refuser.close()

    def write_sorter(self):
        with open(self.program.path("sorter.cfg"), "wb") as f:
            f.write(b"\r\nX-Route\r\nto-petr-anna-relay\r\npetr,anna,%s\r\n1\r\n"
                    b"\r\nX-Route\r\nto-petr\r\npetr\r\n1\r\n"
                    b"\r\nX-Route\r\nto-folder\r\n%s\r\n1\r\n" % (self.relay_to.encode(), self.folder.encode()))

    def routed(self, maker, rng, ident, n):
        """The text of a message for the sorter, with a route of `rng`'s choice; its places."""
        route = rng.choice(sorted(self.routes))
        text = maker.text(ident, "someone%d@far.away" % n, ["sorted@provider.test"])
        text = b"X-Route: " + route.encode() + b"\r\n" + text
        # A relayed copy carries the office's X-Loop line after its envelope.
        envelope = b"MAIL FROM:<someone%d@far.away>\r\nRCPT TO:<%s>\r\nX-Loop: %s\r\n" % (
            n, self.relay_to.encode(), DOMAIN.encode())
        self.places[ident] = {place: envelope + text if place == "queue" else maildrop_form(text)
                              for place in self.routes[route]}
        return text

    def take_folders_away(self):
        """Now and then anna's folder file, or her whole folder, goes aside; the next delivery
        into it makes it again (the special-use folders too when the whole folder went)."""
        folders = self.program.path("maildrop", "anna.folders")
        choice = self.rng.random()
        if not os.path.isdir(folders) or choice > 0.4:
            return
        # A delivery the kill cut off is the next life's to finish: its files stay.
        drops = self.program.path("maildrop")
        for name in os.listdir(drops):
            if name.startswith("delivery") and name.endswith(".journal"):
                with open(os.path.join(drops, name), "rb") as f:
                    if b"anna.folders" in f.read():
                        return
        aside = os.path.join(self.dir, "aside-%d" % len(self.set_aside))
        if choice < 0.2:
            os.rename(folders, aside)
            taken = os.path.join(aside, "Projects")
        else:
            os.mkdir(aside)
            taken = os.path.join(aside, "Projects")
            for name in ("Projects", ".Projects.index", ".Projects.summary"):
                if os.path.exists(os.path.join(folders, name)):
                    os.rename(os.path.join(folders, name), os.path.join(aside, name))
        self.set_aside.append(taken)
        self.folders_made += 1

    def count(self, provider, waiting):
        r = self.result
        copies = collections.defaultdict(collections.Counter)  # ident -> place -> copies
        torn, misdelivered, clashes, others = [], [], 0, []

        def found(place, ident, data, where):
            if ident not in self.places:
                torn.append("%s without a known id" % where)
            elif place not in self.places[ident]:
                misdelivered.append("%s in %s" % (ident, place))
            else:
                if data != self.places[ident][place]:
                    torn.append("%s: %s" % (where, ident))
                copies[ident][place] += 1

        folder_files = [self.program.path("maildrop", "anna.folders", "Projects")] + self.set_aside
        for place, path in [(user, self.program.path("maildrop", user)) for user in self.maildrops] + \
                [(self.folder, path) for path in folder_files]:
            stray, messages = parse_maildrop(path)
            if stray:
                torn.append("%s: %d bytes before the first separator" % (path, len(stray)))
            clashes += self.maildrop_ids(place, messages)
            for uid, text in messages:
                found(place, crash_id(text), text, "%s (id %s)" % (path, uid))
        queue = self.program.path("queue")
        for name in sorted(os.listdir(queue)):
            if not re.fullmatch(r"[0-9A-Fa-f]{8}", name):
                others.append(name)
                continue
            with open(os.path.join(queue, name), "rb") as f:
                data = f.read()
            found("queue", crash_id(data.split(b"\r\n", 2)[-1]), data, "queue file " + name)
        held = provider.held()
        lost, partial = [], []
        redownloaded = unexpected = 0
        for ident, places in self.places.items():
            counts = {place: copies[ident][place] for place in places}
            if ident not in held:
                lost += ["%s from %s" % (ident, p) for p, n in counts.items() if n == 0]
            if len(set(counts.values())) > 1:
                partial.append("%s: copies %s" % (ident, counts))
            # A copy is fetched again only after a kill cut off the session that fetched it,
            # before its QUIT, and before the program had it in its download ledger.
            not_recorded = sum(1 for recorded in self.cut_retrs[ident] if not recorded)
            noted = False
            for place, n in counts.items():
                extra = max(0, n - 1)
                explained = min(extra, not_recorded)
                redownloaded += explained
                unexpected += extra - explained
                if extra > explained and not noted:
                    noted = True
                    r.notes.append("%s: copies %s; sessions cut off after it was sent whole: %d, with it in the "
                                   "download ledger at the kill: %d; at the provider: %s" % (
                                       ident, counts, len(self.cut_retrs[ident]),
                                       len(self.cut_retrs[ident]) - not_recorded,
                                       ", ".join("conn %d %s" % (c[2], what) for _, c, what in provider.history[ident])))
        r.add("lost", len(lost))
        r.add("torn", len(torn))
        r.add("partial", len(partial))
        r.add("misdelivered", len(misdelivered))
        r.notes += ["lost: " + x for x in lost[:10]] + ["torn: " + x for x in torn[:10]]
        r.notes += ["partial: " + x for x in partial[:10]] + ["misdelivered: " + x for x in misdelivered[:10]]
        r.add("unexpected duplicates", unexpected, always=False)
        r.add("id clashes", clashes, always=False)
        r.add("left at the provider", len(held), always=False)
        r.add("left waiting to be sorted", len(waiting), always=False)
        r.add("folders taken away to be made again", self.folders_made, fault=False)
        if others:
            r.notes.append("other files in the queue: %s" % others[:10])
        if provider.errors:
            r.add("provider errors", len(provider.errors))
            r.notes += provider.errors[:3]
        self.common_faults()
        total = redownloaded + unexpected
        r.suffix = ", duplicates %d (%d %s, %d other)" % (total, redownloaded, self.cut_why, unexpected)
        self.head = "%s, %s" % (self.kills_text(), self.head_text(provider))

    cut_why = "re-downloaded after an interrupted QUIT before the program recorded them"

    def head_text(self, provider):
        return "%d messages, %d sessions, %d provider QUITs" % (len(provider.all), len(provider.connections), provider.quits)


class ImapDownload(Download):
    """Three IMAP accounts at a provider IMAP server written here: "office" collects INBOX and
    Work into ivan's maildrop, deleting with UID EXPUNGE; "sorted" goes through the sorter (as
    in download) at a server without UIDPLUS or MOVE (EXPUNGE after UID SEARCH DELETED);
    "archive" delivers to boris and moves what is stored to the provider's folder Archive."""
    users = Download.users + ["boris x ; "]
    maildrops = Download.maildrops + ("boris",)
    folders = {"office": ["INBOX", "Work"], "sorted": ["INBOX"], "archive": ["INBOX", "Archive"]}
    capabilities = {"office": "IMAP4rev1 UIDPLUS MOVE IDLE", "sorted": "IMAP4rev1 IDLE",
                    "archive": "IMAP4rev1 UIDPLUS MOVE IDLE"}
    options = {"office": "folders=INBOX,Work", "sorted": "", "archive": "after=move:Archive"}
    deliver_to = {"office": "ivan", "sorted": "*", "archive": "boris"}
    last_login = "archive"  # a session ends with its connection
    cut_why = "fetched whole again after a kill cut its connection off before the folder's ledger had it"

    def run(self):
        provider = ProviderImap(account_port(), random.Random("%s-%s-provider" % (self.args.seed, self.name)),
                                self.folders, self.capabilities)
        refuser = socket.socket()  # relayed mail waits in the queue
        refuser.bind(("127.0.0.1", account_port()))
        try:
            port = provider.listener.getsockname()[1]
            write_config(self.dir, self.smtp_port, self.pop3_port,
                         ["SMTPServer = 127.0.0.1", "SMTPSport = %d" % refuser.getsockname()[1], "[POP3accounts]"] +
                         ["127.0.0.1 %s ; %s-%d-0-%s proto=imap %s" % (login, scramble(PROVIDER_PASSWORD), port,
                                                                       self.deliver_to[login], self.options[login])
                          for login in self.folders], self.users)
            self.write_sorter()
            self.maker = TextMaker(random.Random("%s-%s-text" % (self.args.seed, self.name)))
            self.places = {}  # ident -> {place: the bytes a copy there must have}
            self.cut_retrs = collections.defaultdict(list)  # ident -> [in the folder's ledger at the kill]
            self.set_aside = []
            self.folders_made = 0
            self.feed(provider, self.rng, 20, 40)

            def after_kill(moment):
                self.note_ledgers(provider, moment)
                self.take_folders_away()

            self.program.after_kill = after_kill
            self.traffic(provider)
            self.count(provider, self.waiting())
            self.count_archive(provider)
        finally:
            provider.close()
            refuser.close()

    def traffic(self, provider):
        self.kill_with_sessions(provider, None, lambda: self.feed(provider, self.rng, 0, 8))
        self.drain(provider, None, lambda: not provider.held() and not self.waiting())

    def waiting(self):
        return [n for n in os.listdir(self.dir) if ".popfile" in n]

    def feed(self, provider, rng, low, high):
        for _ in range(rng.randint(low, high)):
            n = len(self.places)
            login = rng.choice(sorted(self.folders))
            if login == "sorted":
                ident = "is-%d" % n
                provider.add(login, "INBOX", ident, self.routed(self.maker, rng, ident, n))
                continue
            ident = "i%s-%d" % (login[0], n)
            folder = "Work" if login == "office" and rng.random() < self.work_share else "INBOX"
            text = self.maker.text(ident, "someone@far.away", ["%s@provider.test" % login])
            self.places[ident] = {self.deliver_to[login]: maildrop_form(text)}
            provider.add(login, folder, ident, text)

    work_share = 0.3  # of the office's mail, what goes into its second folder

    def session(self, provider, marker, until):
        """SIGUSR1, then wait until the last account's connection made since has ended and
        nothing waits to be sorted, or `until`. True when the session ended."""
        began = time.monotonic()
        self.program.signal(signal.SIGUSR1)
        while time.monotonic() < until:
            if provider.login_over(self.last_login, began) and not self.waiting():
                return True
            if not self.program.alive():
                return False
            time.sleep(0.002)
        return False

    def note_ledgers(self, provider, moment):
        """The program is down: which UIDs its folders' ledgers hold is final now. A pending
        UID counts only when its download file was published."""
        recorded = set()
        for login, names in self.folders.items():
            key = hashlib.md5(("127.0.0.1\n" + login).encode()).hexdigest()[:8]
            for folder in names:
                path = os.path.join(self.dir, "%s~%s.uidl" % (key, hashlib.md5((folder + "\n~").encode()).hexdigest()[:8]))
                if not os.path.exists(path):
                    continue
                with open(path, "rb") as f:
                    for line in f.read().split(b"\n"):
                        words = line.decode("latin-1").split(" ")
                        if words[0] == "U" and len(words) == 2 or (
                                words[0] == "P" and len(words) == 3 and
                                os.path.exists(os.path.join(self.dir, "%s-%s.popfile" % (key, words[1])))):
                            recorded.add((login, folder, int(words[-1])))
        with provider.lock:
            for ident, events in provider.history.items():
                login, folder, uid = provider.where[ident]
                if uid not in provider.boxes[(login.encode(), folder.upper().encode())].messages:
                    continue  # expunged or moved already: never fetched again
                for t, (began, ended, _), what in events:
                    if what == "FETCH sent whole" and began <= t <= moment and (ended is None or ended >= moment):
                        self.cut_retrs[ident].append(provider.where[ident] in recorded)

    def count_archive(self, provider):
        """The archive account's mail, stored and gone from INBOX, is in Archive once."""
        r = self.result
        archived = provider.in_folder("Archive")
        held = provider.held()
        ours = [i for i in self.places if provider.where[i][0] == "archive" and i not in held]
        missing = [i for i in ours if not archived[i]]
        twice = [i for i in ours if archived[i] > 1]
        if "archive" in self.folders:
            r.add("not moved to Archive", len(missing))
            r.add("in Archive more than once", len(twice))
            r.notes += ["not in Archive: " + i for i in missing[:5]] + ["in Archive %d times: %s" % (archived[i], i)
                                                                         for i in twice[:5]]

    def cut_text(self):
        cut = [recorded for ledgered in self.cut_retrs.values() for recorded in ledgered]
        return "%d fetched whole on connections a kill cut off and still at the provider (%d of them in the ledger by then)" % (
            len(cut), sum(cut))

    def head_text(self, provider):
        return "%d messages, %d provider connections, %d LOGOUTs, %s" % (
            len(provider.all), len(provider.connections), provider.logouts, self.cut_text())


class Push(ImapDownload):
    """Two IMAP accounts with idle=yes ("office": INBOX and Work into ivan's maildrop; "sorted":
    through the sorter): mail keeps coming at the provider while the program runs and while it
    is down, and reaches the maildrops through push alone (the watcher IDLEs on INBOX) but for
    a session now and then, which also collects Work. Now and then the provider drops every
    connection. After the kills a last life gets more mail, one such drop and more mail, and
    must bring everything in INBOX by push; one session then collects Work."""
    folders = {"office": ["INBOX", "Work"], "sorted": ["INBOX"]}
    capabilities = {"office": "IMAP4rev1 UIDPLUS MOVE IDLE", "sorted": "IMAP4rev1 IDLE"}
    options = {"office": "folders=INBOX,Work idle=yes", "sorted": "idle=yes"}
    last_login = "sorted"
    work_share = 0.1

    def traffic(self, provider):
        feed_rng = random.Random("%s-%s-feed" % (self.args.seed, self.name))
        stop = threading.Event()

        def feeder():
            while not stop.wait(feed_rng.uniform(0, 0.06)):
                self.feed(provider, feed_rng, 1, 1)

        feeding = threading.Thread(target=feeder, daemon=True)
        feeding.start()
        self.restarts = self.sessions_started = 0
        provider.on_step, provider.took = self.critical_step, self.step_took
        while self.kills < self.args.kills and time.monotonic() < self.kill_deadline:
            self.program.start()
            killer = threading.Thread(target=self.kill_life, daemon=True)
            killer.start()
            action, pause = self.rng.random(), self.rng.uniform(0, 0.2)
            if action < 0.3 and self.program.wait_ready(1.0):
                time.sleep(pause)
                with self.program.lock:  # not while the killer kills
                    if killer.is_alive() and self.program.alive():
                        if action < 0.15:
                            provider.restart()
                            self.restarts += 1
                        else:
                            self.program.proc.send_signal(signal.SIGUSR1)
                            self.sessions_started += 1
            killer.join()
        provider.on_step = provider.took = None
        # The last life: push alone, across one drop of every connection.
        self.program.start()
        if not self.program.wait_ready():
            self.program.note_exit()
            self.result.add("last start failed", 1)
            stop.set()
            return
        deadline = time.monotonic() + self.args.drain_limit
        time.sleep(1.0)
        provider.restart()
        self.restarts += 1
        time.sleep(1.0)
        stop.set()
        feeding.join()
        pushed = lambda: not provider.held(but=(b"ARCHIVE", b"WORK")) and not self.waiting()
        while not pushed() and time.monotonic() < deadline and self.program.alive():
            time.sleep(0.01)
        self.result.add("left in INBOX after the last life's push", len(provider.held(but=(b"ARCHIVE", b"WORK"))),
                        always=False)
        if not self.session(provider, None, deadline):
            self.stalled_sessions += 1
        self.stop_program()

    def head_text(self, provider):
        return "%d messages, %d provider connections, %d provider restarts, %d sessions started, %s" % (
            len(provider.all), len(provider.connections), self.restarts, self.sessions_started + 1, self.cut_text())


WIRE_LIMIT = 998  # bytes of a line on the wire before its CR LF


def as_uploaded(text):
    """A stored text as the provider gets it: each line over 998 bytes on the wire (its
    transparency dot counted) broken by CR LF and a space, as Postfix's SMTP client breaks it."""
    lines = []
    for line in text[:-2].split(b"\r\n"):
        wire = b"." + line if line.startswith(b".") else line
        pieces, rest = [wire[:WIRE_LIMIT]], wire[WIRE_LIMIT:]
        while rest:
            pieces.append(b" " + rest[:WIRE_LIMIT - 1])
            rest = rest[WIRE_LIMIT - 1:]
        if line.startswith(b"."):
            pieces[0] = pieces[0][1:]
        lines += pieces
    return b"\r\n".join(lines) + b"\r\n"


class Upload(Scenario):
    users = ["postmaster  ; ", "ivan x ; "]

    def run(self):
        provider = ProviderSmtp(account_port())
        try:
            write_config(self.dir, self.smtp_port, self.pop3_port,
                         ["SMTPServer = 127.0.0.1", "SMTPSport = %d" % provider.listener.getsockname()[1],
                          "SMTP_USES_LOGIN = 0"], self.users)
            maker = TextMaker(random.Random("%s-upload-text" % self.args.seed))
            self.queued = {}  # ident -> (queue file name, recipients, text)
            queue = self.program.path("queue")

            def feed(low=1, high=6):
                # Written beside the queue, then renamed in: the upload never sees half a file.
                for _ in range(self.rng.randint(low, high)):
                    n = len(self.queued)
                    ident, name = "up-%d" % n, "%08X" % (0xA0000000 + n)
                    recipients = ["far%d@far.away" % n] + (["second%d@far.away" % n] if n % 3 == 0 else [])
                    text = maker.text(ident, "ivan@" + DOMAIN, recipients)
                    envelope = "MAIL FROM:<ivan@%s>\r\n" % DOMAIN + "".join("RCPT TO:<%s>\r\n" % a for a in recipients)
                    staging = os.path.join(self.dir, "staging.tmp")
                    with open(staging, "wb") as f:
                        f.write(envelope.encode() + text)
                    os.rename(staging, os.path.join(queue, name))
                    self.queued[ident] = (name, recipients, text)

            feed(30, 50)
            marker = self.program.path("maildrop", "smtp_upload.runs")

            def note_queue_files(moment):
                # The program is down: what it did to the queue files it sent is final now.
                with provider.lock:
                    cut = [c for c in provider.received if not c.followed and c.at_kill is None
                           and c.t250 <= moment and c.connection[0] <= moment
                           and (c.connection[1] is None or c.connection[1] >= moment)]
                for c in cut:
                    name = self.queued[c.ident][0] if c.ident in self.queued else None
                    if name:
                        c.at_kill = ("marked" if os.path.exists(os.path.join(queue, name + ".sent")) else
                                     "removed" if not os.path.exists(os.path.join(queue, name)) else "untouched")

            self.program.after_kill = note_queue_files
            self.kill_with_sessions(provider, marker, feed)
            names = lambda: [n for n in os.listdir(queue) if re.fullmatch(r"[0-9A-Fa-f]{8}", n)]
            # The first session after the kills gets a new file, so that it connects even when
            # everything left was sent already.
            self.drain(provider, marker, lambda: not names(), feed_first=lambda: feed(1, 1))
            self.count(provider, sorted(os.listdir(queue)))
        finally:
            provider.close()

    def count(self, provider, left):
        r = self.result
        copies = collections.defaultdict(list)
        torn = []
        for c in provider.received:
            if c.ident not in self.queued:
                torn.append("a message without a known id")
                continue
            name, recipients, text = self.queued[c.ident]
            trace = TRACE_LINE.search(c.data)
            data = c.data[:trace.start()] + c.data[trace.end():] if trace else c.data
            if data != as_uploaded(text) or c.sender != "ivan@" + DOMAIN or c.recipients != recipients:
                torn.append("%s (queue file %s)" % (c.ident, name))
            copies[c.ident].append(c)
        lost = ["%s (queue file %s)" % (i, v[0]) for i, v in self.queued.items() if not copies[i]]
        inherent = unexpected = 0
        for ident, got in copies.items():
            got.sort(key=lambda c: c.t250)
            extra = len(got) - 1
            explained = 0
            for c in got[:-1]:
                # A kill cut its connection off before the program said anything more, and
                # left its queue file unmarked (or the provider read the end of the text from
                # its buffer only after the kill): the program could not know it had gone.
                began, ended = c.connection[0], c.connection[1] if c.connection[1] is not None else float("inf")
                if (not c.followed and c.at_kill in (None, "untouched")
                        and any(began <= k <= ended for k in self.program.kill_times)):
                    explained += 1
            explained = min(extra, explained)
            inherent += explained
            unexpected += extra - explained
            if extra > explained:
                r.notes.append("%s (queue file %s): %d copies at the provider; the queue file at each kill: %s" %
                               (ident, self.queued[ident][0], len(got),
                                ", ".join("followed" if c.followed else str(c.at_kill) for c in got[:-1])))
        notices = parse_maildrop(self.program.path("maildrop", "postmaster"))[1]
        r.add("lost", len(lost))
        r.add("torn", len(torn))
        r.notes += ["lost: " + x for x in lost[:10]] + ["torn: " + x for x in torn[:10]]
        r.add("unexpected duplicates", unexpected, always=False)
        r.add("left in the queue", len(left), always=False)
        if left:
            r.notes.append("left in the queue: %s" % left[:10])
        r.add("delivery-failure notices", len(notices), always=False)
        if provider.errors:
            r.add("provider errors", len(provider.errors))
            r.notes += provider.errors[:3]
        self.common_faults()
        r.suffix = ", " + duplicates_text(inherent + unexpected, inherent, unexpected,
                                          "killed after the end of the text, before the mark")
        self.head = "%s, %d messages queued, %d received by the provider, %d sessions" % (
            self.kills_text(), len(self.queued), len(provider.received), len(provider.connections))


class Flagger(threading.Thread):
    """An IMAP client on one maildrop: in each session it checks what the store kept of what it
    was told before (flags, expunges, which message each UID names), then changes flags and
    expunges at random. A change whose OK came is certain; one whose answer the kill prevented
    may have been made or not, and the next session tells which."""

    FLAGS = ["\\Seen", "\\Flagged", "\\Answered", "$Label1", "$Todo"]

    def __init__(self, port, rng, deadline, on_step, took):
        super().__init__(daemon=True)
        self.port, self.rng, self.deadline, self.on_step, self.took = port, rng, deadline, on_step, took
        self.stop = threading.Event()
        self.flags = {}        # UID -> set of flags certain now
        self.maybe = {}        # UID -> (flags before, flags after) of a change not answered
        self.idents = {}       # UID -> the message's X-Crash-Id
        self.expunged = set()  # UIDs whose expunge was answered OK
        self.maybe_gone = set()
        self.validities = set()
        self.faults = []
        self.sessions = self.stores_ok = self.expunges_ok = 0
        self.error = None

    def run(self):
        try:
            while not self.stop.is_set() and time.monotonic() < self.deadline:
                try:
                    self.session()
                except (OSError, imaplib.IMAP4.abort, imaplib.IMAP4.error, EOFError):
                    time.sleep(0.01)
            for attempt in range(200):  # what the last life kept, once more
                try:
                    self.session(last=True)
                    break
                except (OSError, imaplib.IMAP4.abort, imaplib.IMAP4.error, EOFError):
                    time.sleep(0.1)
        except Exception:
            self.error = traceback.format_exc()

    def fetch_all(self, imap):
        typ, data = imap.uid("FETCH", "1:*", "(FLAGS BODY.PEEK[HEADER.FIELDS (X-CRASH-ID)])")
        if typ != "OK":
            raise imaplib.IMAP4.error("FETCH: %r" % data)
        found = {}
        for item in data:
            if not isinstance(item, tuple):
                continue
            head = item[0].decode("ascii", "replace")
            uid = re.search(r"UID (\d+)", head)
            flags = re.search(r"FLAGS \(([^)]*)\)", head)
            ident = re.search(rb"X-Crash-Id: (\S+)", item[1])
            if uid and flags:
                found[int(uid.group(1))] = ({f for f in flags.group(1).split() if f != "\\Recent"},
                                            ident.group(1).decode() if ident else None)
        return found

    def check(self, found):
        for uid, (flags, ident) in found.items():
            if self.idents.setdefault(uid, ident) != ident:
                self.faults.append("UID %d named %s, then %s" % (uid, self.idents[uid], ident))
            if uid in self.expunged:
                self.faults.append("UID %d back after an expunge answered OK" % uid)
            if uid in self.maybe:
                before, after = self.maybe.pop(uid)
                if flags not in (before, after):
                    self.faults.append("UID %d has %s; its unanswered change left %s or %s" % (
                        uid, sorted(flags), sorted(before), sorted(after)))
            elif uid in self.flags and flags != self.flags[uid]:
                self.faults.append("UID %d has %s after a change to %s answered OK" % (
                    uid, sorted(flags), sorted(self.flags[uid])))
            self.flags[uid] = flags
        for uid in list(self.maybe_gone):
            if uid not in found:
                self.expunged.add(uid)
            self.maybe_gone.discard(uid)
        for uid in list(self.flags):
            if uid not in found and uid not in self.expunged:
                self.faults.append("UID %d gone, never expunged" % uid)
                del self.flags[uid]

    def session(self, last=False):
        imap = imaplib.IMAP4("127.0.0.1", self.port, timeout=REPLY_TIMEOUT)
        try:
            imap.login("ivan", "x")
            typ, _ = imap.select("INBOX")
            if typ != "OK":
                raise imaplib.IMAP4.error("SELECT")
            self.validities.add(int(imap.untagged_responses.get("UIDVALIDITY", [b"0"])[-1]))
            self.check(self.fetch_all(imap))
            self.sessions += 1
            if last:
                return
            for _ in range(self.rng.randint(5, 40)):
                if self.stop.is_set():
                    return
                uids = sorted(self.flags)
                if not uids:
                    time.sleep(0.01)
                    self.check(self.fetch_all(imap))
                    continue
                uid = self.rng.choice(uids)
                before = set(self.flags[uid])
                if self.rng.random() < 0.1:
                    self.expunge(imap, uid, before)
                    continue
                flag = self.rng.choice(self.FLAGS)
                adding = flag not in before
                after = before | {flag} if adding else before - {flag}
                self.maybe[uid] = (before, after)
                self.on_step()
                began = time.monotonic()
                typ, data = imap.uid("STORE", str(uid), "+FLAGS" if adding else "-FLAGS", "(%s)" % flag)
                self.took(time.monotonic() - began)
                if typ != "OK":
                    raise imaplib.IMAP4.error("STORE: %r" % data)
                del self.maybe[uid]
                self.flags[uid] = after
                self.stores_ok += 1
        finally:
            try:
                imap.shutdown()
            except OSError:
                pass

    def expunge(self, imap, uid, before):
        self.maybe[uid] = (before, before | {"\\Deleted"})
        typ, _ = imap.uid("STORE", str(uid), "+FLAGS.SILENT", "(\\Deleted)")
        if typ != "OK":
            raise imaplib.IMAP4.error("STORE \\Deleted")
        del self.maybe[uid]
        self.flags[uid] = before | {"\\Deleted"}
        self.maybe_gone.add(uid)
        self.on_step()
        began = time.monotonic()
        typ, _ = imap.uid("EXPUNGE", str(uid))
        self.took(time.monotonic() - began)
        if typ != "OK":
            raise imaplib.IMAP4.error("UID EXPUNGE")
        self.maybe_gone.discard(uid)
        self.expunged.add(uid)
        del self.flags[uid]
        self.expunges_ok += 1


class Imap(Scenario):
    users = ["postmaster  ; ", "ivan x ; "]

    def run(self):
        self.imap_port = free_port()
        write_config(self.dir, self.smtp_port, self.pop3_port, ["PLAINTEXT_LOGIN = YES"], self.users, self.imap_port)
        maker = TextMaker(random.Random("%s-imap-text" % self.args.seed))
        expected = {}
        with open(self.program.path("maildrop", "ivan"), "wb") as f:
            for n in range(200):
                ident = "pre-%d" % n
                expected[ident] = maildrop_form(maker.text(ident, "someone@far.away", ["ivan@" + DOMAIN]))
                f.write(MARKER + b" %08X\r\n" % (0x7000000 + n) + expected[ident])
        end = self.started + self.args.time_limit + self.args.drain_limit
        feeder = self.feeder_for_ivan(expected, end, 0.1)
        flagger = Flagger(self.imap_port, random.Random("%s-imap-flagger" % self.args.seed), end,
                          self.critical_step, self.step_took)
        feeder.start()
        flagger.start()
        while self.kills < self.args.kills and time.monotonic() < self.kill_deadline:
            self.program.start()
            self.kill_life()
        self.program.start()
        self.program.wait_ready()
        feeder.stop.set()
        flagger.stop.set()
        feeder.join(self.args.drain_limit)
        flagger.join(self.args.drain_limit)
        self.stop_program()
        self.count(feeder, flagger, expected)

    def count(self, feeder, flagger, expected):
        r = self.result
        stray, messages = parse_maildrop(self.program.path("maildrop", "ivan"))
        torn = ["%d bytes before the first separator" % len(stray)] if stray else []
        present = collections.Counter()
        for _, text in messages:
            ident = crash_id(text)
            present[ident] += 1
            if expected.get(ident) != text:
                torn.append("%s at the end" % ident)
        gone = {flagger.idents.get(uid) for uid in flagger.expunged | flagger.maybe_gone}
        lost = [ident for ident in ["pre-%d" % n for n in range(200)] + feeder.acked
                if not present[ident] and ident not in gone]
        r.add("lost", len(lost))
        r.add("torn", len(torn))
        r.add("flag changes or expunges not kept", len(flagger.faults))
        r.add("UIDVALIDITY changes", len(flagger.validities) - 1)
        r.notes += ["lost: " + x for x in lost[:10]] + ["torn: " + x for x in torn[:10]] + flagger.faults[:10]
        extra = sum(max(0, n - 1) for n in present.values())
        inherent = sum(min(max(0, present[i] - 1), max(0, feeder.ends_sent[i] - 1)) for i in present)
        if flagger.error:
            r.add("harness errors", 1)
            r.notes.append(flagger.error)
        self.common_faults([feeder])
        r.suffix = ", " + duplicates_text(extra, inherent, extra - inherent, "resent after no 250")
        self.head = "%s, %d IMAP sessions, %d flag changes and %d expunges answered OK, %d messages handed in" % (
            self.kills_text(), flagger.sessions, flagger.stores_ok, flagger.expunges_ok, len(feeder.acked))


SCENARIOS = {"intake": Intake, "pop3": Pop3, "download": Download, "upload": Upload, "imap": Imap,
             "imap-download": ImapDownload, "push": Push}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("binary")
    parser.add_argument("--kills", type=int, default=20, help="kills per scenario (20)")
    parser.add_argument("--seed", type=int, default=None, help="makes a run repeat (default: random)")
    parser.add_argument("--scenario", choices=list(SCENARIOS) + ["all"], default="all")
    parser.add_argument("--max-delay", type=float, default=300, help="kill instants from 0 to this many ms (300)")
    parser.add_argument("--aimed", type=float, default=0.5,
                        help="share of the kills aimed at a critical step of the traffic (0.5)")
    parser.add_argument("--aim-window", type=float, default=10,
                        help="an aimed kill comes at least within this many ms after the step (10)")
    parser.add_argument("--time-limit", type=float, default=None,
                        help="seconds for one scenario's kills (default 60 + 2 per kill)")
    parser.add_argument("--drain-limit", type=float, default=120, help="seconds for the traffic to end after them")
    parser.add_argument("--keep", action="store_true", help="keep the program directories")
    args = parser.parse_args()
    args.binary = os.path.abspath(args.binary)
    if args.seed is None:
        args.seed = random.SystemRandom().randrange(1 << 31)
    if args.time_limit is None:
        args.time_limit = 60 + 2 * args.kills
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    root = tempfile.mkdtemp(prefix="quelma-crash-")
    print("crash test: seed %d, %d kills per scenario, kill instants 0-%g ms (%d%% of them aimed, at least "
          "0-%g ms after a critical step), in %s" % (args.seed, args.kills, args.max_delay, args.aimed * 100,
                                            args.aim_window, root), flush=True)
    failed = False
    try:
        for name in (SCENARIOS if args.scenario == "all" else [args.scenario]):
            scenario = SCENARIOS[name](args, root, name)
            try:
                scenario.run()
            finally:
                scenario.program.cleanup()
            r = scenario.result
            print(r.line(scenario.head), flush=True)
            if r.failed():
                failed = True
                for note in r.notes[:12]:
                    print("    " + note.rstrip())
                print("    again: %s %s --seed %d --kills %d --scenario %s" %
                      (sys.argv[0], args.binary, args.seed, args.kills, name))
            elif r.notes:
                for note in r.notes[:10]:
                    print("    note: " + note.rstrip())
    finally:
        for program in PROCESSES:
            program.cleanup()
        if failed or args.keep:
            print("program directories and their output kept in %s" % root)
        else:
            shutil.rmtree(root, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
