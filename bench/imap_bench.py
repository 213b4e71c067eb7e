#!/usr/bin/env python3
"""The IMAP benchmark (see bench/imap_vs_dovecot): quelma's IMAP server beside Dovecot's imapd
(Maildir, and mbox where it says something) on the same mail, in the same run, all on 127.0.0.1:
- imaptest's stress run with its default command mix, one client and ten: commands per second;
- SELECT and FETCH 1:* (FLAGS ENVELOPE BODYSTRUCTURE) of a 10,000-message INBOX, the first time
  (nothing indexed or cached) and the second (a new session);
- one 50 MB message's BODY[]: MB/s;
- 200 sessions in IDLE at once: memory per session, and the time from a hand-in (quelma's SMTP,
  Dovecot's LMTP) to "* n EXISTS" in all 200, p50 and p99.
Usage: imap_bench.py QUELMA_BINARY WORK_DIR IMAPTEST_BINARY [STRESS_SECONDS]
(BENCH_ONLY=stress,fetch,body,idle picks some of them.)"""
import os
import re
import selectors
import shutil
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import quit_bench as qb  # noqa: E402

LABELS = ("quelma", "dovecot-maildir", "dovecot-mbox")
IDLERS = 200
IDLE_MESSAGES = 20


class Imap:
    """A client that reads whole answers as bytes: no parsing beyond finding the tagged line."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=300)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buf, self.n = b"", 0
        self.until(b"\r\n")

    def until(self, end):
        while end not in self.buf:
            chunk = self.sock.recv(1 << 20)
            if not chunk:
                raise ConnectionError("closed")
            self.buf += chunk
        at = self.buf.index(end) + len(end)
        head, self.buf = self.buf[:at], self.buf[at:]
        return head

    def command(self, text):
        """Sends one command; returns (bytes of the answer, seconds until its tagged line)."""
        self.n += 1
        tag = b"b%d" % self.n
        start = time.perf_counter()
        self.sock.sendall(tag + b" " + text + b"\r\n")
        total, tail = 0, b""
        while True:
            chunk = self.sock.recv(1 << 20)
            if not chunk:
                raise ConnectionError("closed")
            total += len(chunk)
            tail = (tail + chunk)[-4096:]
            at = tail.rfind(b"\r\n" + tag + b" ")
            if at >= 0 and tail.endswith(b"\r\n") or tail.startswith(tag + b" ") and tail.endswith(b"\r\n"):
                line = tail[at + 2:] if at >= 0 else tail
                if not line.split(b" ", 2)[1].startswith(b"OK"):
                    raise RuntimeError(line)
                return total, time.perf_counter() - start

    def login(self, user, password):
        self.command(b"LOGIN %s %s" % (user.encode(), password.encode()))

    def close(self):
        try:
            self.sock.sendall(b"z LOGOUT\r\n")
        finally:
            self.sock.close()


def password(label):
    return "x" if label == "quelma" else "pw"


def imap_port(servers, label):
    return servers.ports[label + "-imap" if label == "quelma" else label]


def stress(servers, imaptest, mbox, clients, seconds):
    row = {}
    for label in ("quelma", "dovecot-maildir"):
        user = "stress%d" % clients
        servers.place(label, user, os.path.join(servers.work, "data", "empty"))
        out = subprocess.run([imaptest, "host=127.0.0.1", "port=%d" % imap_port(servers, label), "user=" + user,
                              "pass=" + password(label), "mbox=" + mbox, "clients=%d" % clients, "secs=%d" % seconds],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=seconds + 120,
                             cwd=os.path.dirname(imaptest)).stdout.decode("utf-8", "replace")
        errors = [line for line in out.splitlines() if line.startswith("Error:") or "desync" in line.lower()]
        figures = [line.split() for line in out.splitlines() if line.split() and all(w.isdigit() for w in line.split())]
        total = sum(int(n) for n in figures[-1]) if figures else 0
        row[label] = (total / seconds, len(errors))
    print("imaptest stress, clients=%-2d %ds: " % (clients, seconds) + "  ".join(
        "%s %.0f cmd/s (%d errors)" % (label, rate, errors) for label, (rate, errors) in row.items()) +
        "  (%.2f x maildir)" % (row["quelma"][0] / max(row["dovecot-maildir"][0], 1e-9)))
    sys.stdout.flush()


def select_and_fetch(servers, data):
    for label in LABELS:
        servers.place(label, "big", data)
    row = {}
    for label in LABELS:
        times = []
        for _ in range(2):
            client = Imap(imap_port(servers, label))
            client.login("big", password(label))
            _, select = client.command(b"SELECT INBOX")
            size, fetch = client.command(b"FETCH 1:* (FLAGS ENVELOPE BODYSTRUCTURE)")
            client.close()
            times.append((select, fetch, size))
        row[label] = times
    for which, n in (("first", 0), ("second", 1)):
        print("10,000 messages, %-6s SELECT / FETCH 1:* (FLAGS ENVELOPE BODYSTRUCTURE): " % which + "  ".join(
            "%s %.1f / %.1f ms" % (label, t[n][0] * 1000, t[n][1] * 1000) for label, t in row.items()))
    print("  answer sizes: " + "  ".join("%s %.1f MB" % (label, t[0][2] / 1e6) for label, t in row.items()))
    sys.stdout.flush()


def body_rate(servers, data):
    row = {}
    for label in ("quelma", "dovecot-maildir", "dovecot-mbox"):
        servers.place(label, "fifty", data)
        client = Imap(imap_port(servers, label))
        client.login("fifty", password(label))
        client.command(b"SELECT INBOX")
        client.command(b"FETCH 1 RFC822.SIZE")
        best = 0.0
        # Loopback TCP widens its window over the first few: the best of eight, on one connection.
        for _ in range(8):
            size, took = client.command(b"FETCH 1 BODY.PEEK[]")
            best = max(best, size / took / 1e6)
        client.close()
        row[label] = best
    print("one 50 MB message, FETCH BODY.PEEK[] (best of 8): " + "  ".join(
        "%s %.0f MB/s" % (label, rate) for label, rate in row.items()) +
        "  (%.2f x maildir)" % (row["quelma"] / row["dovecot-maildir"]))
    sys.stdout.flush()


def status_kb(pid, field, name="status"):
    try:
        with open("/proc/%d/%s" % (pid, name)) as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def dovecot_imap_pss():
    pids = subprocess.run(["pgrep", "-x", "imap"], capture_output=True, text=True).stdout.split()
    return sum(status_kb(int(p), "Pss", "smaps_rollup") for p in pids), len(pids)


def hand_in(port, lmtp, n):
    sock = socket.create_connection(("127.0.0.1", port), timeout=60)
    f = sock.makefile("rb")

    def reply():
        while True:
            line = f.readline()
            if line[3:4] != b"-":
                return line

    reply()
    sock.sendall(b"LHLO bench\r\n" if lmtp else b"HELO bench\r\n")
    reply()
    # Dovecot's users have no domain.
    sock.sendall(b"MAIL FROM:<a@office.ru>\r\nRCPT TO:<%s>\r\nDATA\r\n" % (b"idle" if lmtp else b"idle@office.ru"))
    for _ in range(3):
        reply()
    start = time.perf_counter()
    sock.sendall(b"Subject: idle %d\r\nMessage-ID: <idle%d@office.ru>\r\n\r\n" % (n, n) + qb.LINE * 20 + b".\r\n")
    answer = reply()
    if not answer.startswith(b"250"):
        raise RuntimeError(answer)
    sock.sendall(b"QUIT\r\n")
    sock.close()
    return start


def idlers(servers, label, hand_in_port, lmtp):
    servers.place(label, "idle", os.path.join(servers.work, "data", "empty"))
    pid = servers.procs["quelma"].pid
    before = status_kb(pid, "VmRSS") if label == "quelma" else dovecot_imap_pss()[0]
    sessions = []
    for _ in range(IDLERS):
        client = Imap(imap_port(servers, label))
        client.login("idle", password(label))
        client.command(b"SELECT INBOX")
        client.sock.sendall(b"i IDLE\r\n")
        client.until(b"+ ")
        client.until(b"\r\n")
        sessions.append(client)
    time.sleep(1)
    after = status_kb(pid, "VmRSS") if label == "quelma" else dovecot_imap_pss()[0]
    selector = selectors.DefaultSelector()
    for i, client in enumerate(sessions):
        client.sock.setblocking(False)
        selector.register(client.sock, selectors.EVENT_READ, i)
    waits, missed = [], 0
    for n in range(1, IDLE_MESSAGES + 1):
        start = hand_in(hand_in_port, lmtp, n)
        pending, want = set(range(IDLERS)), b"* %d EXISTS" % n
        deadline = time.perf_counter() + 10
        while pending and time.perf_counter() < deadline:
            for key, _ in selector.select(0.5):
                client = sessions[key.data]
                try:
                    client.buf += client.sock.recv(65536)
                except BlockingIOError:
                    continue
                if key.data in pending and want in client.buf:
                    waits.append(time.perf_counter() - start)
                    pending.discard(key.data)
                    client.buf = client.buf[client.buf.index(want) + len(want):]
        missed += len(pending)
    for client in sessions:
        selector.unregister(client.sock)
        client.sock.close()
    waits.sort()
    p = lambda q: waits[min(len(waits) - 1, int(len(waits) * q))] * 1000 if waits else float("nan")  # noqa: E731
    return (after - before) / IDLERS, p(0.5), p(0.99), missed


def idle_figures(servers):
    for label, port, lmtp in (("quelma", servers.ports["quelma-smtp"], False),
                              ("dovecot-maildir", servers.ports["dovecot-maildir-lmtp"], True)):
        kb, p50, p99, missed = idlers(servers, label, port, lmtp)
        print("%d sessions in IDLE, %-16s %6.1f kB/session (%s), hand-in (%s) to EXISTS in all: p50 %.1f ms "
              "p99 %.1f ms, %d not told within 10 s" % (
                  IDLERS, label + ":", kb, "RSS growth" if label == "quelma" else "PSS of its imap processes",
                  "LMTP" if lmtp else "SMTP", p50, p99, missed))
        sys.stdout.flush()


def main():
    quelma, work, imaptest = sys.argv[1], sys.argv[2], sys.argv[3]
    seconds = int(sys.argv[4]) if len(sys.argv) > 4 else 30
    os.makedirs(work, exist_ok=True)
    for name in ("quelma", "dovecot-maildir", "dovecot-mbox"):
        shutil.rmtree(os.path.join(work, name), ignore_errors=True)
    qb.make_data(work, "empty", 0, 0)
    ten_thousand = qb.make_data(work, "fivehundred", 10_000, 50_000)
    fifty = qb.make_data(work, "fifty", 1, 50_000_000)
    mbox = os.path.join(work, "data", "stress.mbox")
    if not os.path.exists(mbox):
        subprocess.run([sys.executable, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "tools",
                                                     "imaptest", "make-stress-mbox"), mbox], check=True,
                       stdout=subprocess.DEVNULL)
    users = ["big", "fifty", "idle", "stress1", "stress10"]
    servers = qb.Servers(work, quelma, "", users, protocol="imap", sessions=IDLERS + 50, lmtp=True)
    only = os.environ.get("BENCH_ONLY", "stress,fetch,body,idle").split(",")
    try:
        if "stress" in only:
            for clients in (1, 10):
                stress(servers, imaptest, mbox, clients, seconds)
        if "fetch" in only:
            select_and_fetch(servers, ten_thousand)
        if "body" in only:
            body_rate(servers, fifty)
        if "idle" in only:
            idle_figures(servers)
    finally:
        servers.stop()


if __name__ == "__main__":
    main()
