#!/usr/bin/env python3
"""The QUIT benchmark (see bench/quit_vs_dovecot): quelma beside Dovecot (Maildir and mbox) on
the same mail, all on 127.0.0.1. Usage: quit_bench.py QUELMA_BINARY WORK_DIR [BASELINE_BINARY]"""
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time

MARKER = b"From \x01\x01\x02\x02\x01\x01\x03\x03"
LINE = b"The quick brown fox jumps over the lazy dog; 0123456789 abcdefghijklmnopq\r\n"
RUNS = 5


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def texts(count, size):
    for i in range(count):
        head = b"Subject: message %d\r\nFrom: bench@example.com\r\n\r\n" % i
        yield i, head + LINE * max(1, (size - len(head)) // len(LINE))


def make_data(work, name, count, size):
    """The same texts as a quelma maildrop, a Maildir and an mbox."""
    base = os.path.join(work, "data", name)
    if os.path.exists(base):
        return base
    for sub in ("cur", "new", "tmp"):
        os.makedirs(os.path.join(base, "Maildir", sub))
    with open(os.path.join(base, "maildrop"), "wb") as drop, open(os.path.join(base, "mbox"), "wb") as mbox:
        for i, text in texts(count, size):
            drop.write(MARKER + b" %08X\r\n" % (i + 1) + text)
            mbox.write(b"From bench@example.com Thu Jan  1 00:00:00 2026\n" + text.replace(b"\r\n", b"\n") + b"\n")
            name_ = "%010d.M%dP1.bench,S=%d:2," % (1700000000 + i, i, len(text))
            with open(os.path.join(base, "Maildir", "cur", name_), "wb") as f:
                f.write(text)
    return base


class Pop3:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=120)
        self.buf = b""
        self.line()

    def line(self):
        while b"\r\n" not in self.buf:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError("closed")
            self.buf += chunk
        line, self.buf = self.buf.split(b"\r\n", 1)
        return line

    def command(self, text):
        self.sock.sendall(text + b"\r\n")
        return self.line()

    def login(self, user):
        self.command(b"USER " + user.encode())
        reply = self.command(b"PASS pw")
        if not reply.startswith(b"+OK"):
            raise RuntimeError(reply)

    def quit_timed(self):
        start = time.perf_counter()
        reply = self.command(b"QUIT")
        elapsed = time.perf_counter() - start
        self.sock.close()
        if not reply.startswith(b"+OK"):
            raise RuntimeError(reply)
        return elapsed


class Servers:
    """quelma (and a baseline build) and Dovecot, each with its own directory."""

    def __init__(self, work, quelma, baseline, users, protocol="pop3", sessions=100, lmtp=False):
        self.work, self.users, self.procs, self.protocol, self.lmtp = work, users, {}, protocol, lmtp
        self.ports = {}
        for label, binary in (("quelma", quelma), ("before", baseline)):
            if not binary:
                continue
            d = os.path.join(work, label)
            os.makedirs(os.path.join(d, "maildrop"), exist_ok=True)
            os.makedirs(os.path.join(d, "queue"), exist_ok=True)
            port, smtp, imap = free_port(), free_port(), free_port()
            with open(os.path.join(d, "quelma.cfg"), "wb") as f:
                f.write(("[Parameters]\r\nMailDropDir = %s/maildrop/\r\nQueueDir = %s/queue/\r\nLocalDomain = office.ru\r\n"
                         "PostMaster = postmaster\r\nPOP3_SRV_PORT = %d\r\nSMTP_SRV_PORT = %d\r\nLogFileSize = 0\r\n"
                         "IMAP_SRV_PORT = %d\r\nSERVERS_TIMEOUT = 120000\r\nMAX_SESSIONS = %d\r\nDaemon = daemon\r\n"
                         "[Users]\r\npostmaster  ; \r\n" % (d, d, port, smtp, imap, sessions) + "".join("%s  ; \r\n" % u for u in users)).encode())
            self.procs[label] = subprocess.Popen([binary, "--dir", d], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.ports[label] = port
            self.ports[label + "-smtp"] = smtp
            self.ports[label + "-imap"] = imap
        for kind in ("maildir", "mbox"):
            self.start_dovecot(kind)
        time.sleep(1.5)

    def start_dovecot(self, kind):
        d = os.path.join(self.work, "dovecot-" + kind)
        os.makedirs(d, exist_ok=True)
        port, lmtp = free_port(), free_port()
        with open(os.path.join(d, "passwd"), "w") as f:
            f.write("".join("%s:{PLAIN}pw::::::\n" % u for u in self.users))
        location = "maildir:~/Maildir" if kind == "maildir" else "mbox:~/mail:INBOX=~/mbox"
        with open(os.path.join(d, "dovecot.conf"), "w") as f:
            f.write("""protocols = {protocol}{lmtp_protocol}
listen = 127.0.0.1
base_dir = {d}/run
state_dir = {d}/state
log_path = {d}/dovecot.log
ssl = no
disable_plaintext_auth = no
first_valid_uid = 1
default_internal_user = dovecot
default_login_user = dovenull
passdb {{
  driver = passwd-file
  args = {d}/passwd
}}
userdb {{
  driver = static
  args = uid=dovecot gid=dovecot home={d}/home/%u
}}
mail_location = {location}
pop3_uidl_format = %08Xu%08Xv
service {protocol}-login {{
  inet_listener {protocol} {{
    address = 127.0.0.1
    port = {port}
  }}
  process_min_avail = 4
  process_limit = 1000
}}
service {protocol} {{
  process_limit = 1000
}}
protocol {protocol} {{
  mail_max_userip_connections = 1000
}}
""".format(d=d, location=location, port=port, protocol=self.protocol, lmtp_protocol=" lmtp" if self.lmtp else ""))
            if self.lmtp:
                f.write("""service lmtp {{
  inet_listener lmtp {{
    address = 127.0.0.1
    port = {port}
  }}
}}
""".format(port=lmtp))
        subprocess.run(["dovecot", "-c", os.path.join(d, "dovecot.conf")], check=True)
        self.ports["dovecot-" + kind] = port
        self.ports["dovecot-" + kind + "-lmtp"] = lmtp

    def labels(self):
        return [label for label in ("quelma", "before") if label in self.procs] + ["dovecot-maildir", "dovecot-mbox"]

    def place(self, label, user, data):
        """Fresh mail for `user` in the form `label` reads."""
        if label in ("quelma", "before"):
            d = os.path.join(self.work, label, "maildrop")
            for name in os.listdir(d):
                if name == user or name.startswith(user + "."):
                    path = os.path.join(d, name)
                    shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)
            shutil.copy(os.path.join(data, "maildrop"), os.path.join(d, user))
            return
        home = os.path.join(self.work, label, "home", user)
        shutil.rmtree(home, ignore_errors=True)
        os.makedirs(home)
        if label == "dovecot-maildir":
            shutil.copytree(os.path.join(data, "Maildir"), os.path.join(home, "Maildir"))
        else:
            os.makedirs(os.path.join(home, "mail"))
            shutil.copy(os.path.join(data, "mbox"), os.path.join(home, "mbox"))
        subprocess.run(["chown", "-R", "dovecot:dovecot", home], check=True)

    def stop(self):
        for proc in self.procs.values():
            proc.send_signal(signal.SIGINT)
        for proc in self.procs.values():
            proc.wait(60)
        for kind in ("maildir", "mbox"):
            subprocess.run(["dovecot", "-c", os.path.join(self.work, "dovecot-" + kind, "dovecot.conf"), "stop"],
                           capture_output=True)


def quit_time(servers, label, user, data, deleted):
    servers.place(label, user, data)
    client = Pop3(servers.ports[label])
    client.login(user)
    client.command(b"STAT")  # the listing is built before the clock starts
    for n in deleted:
        client.command(b"DELE %d" % n)
    return client.quit_timed()


def quit_figures(servers, data):
    cases = [("the oldest 10 %", range(1, 101)), ("the newest 10 %", range(901, 1001)),
             ("every 10th", range(10, 1001, 10))]
    for c, (what, deleted) in enumerate(cases):
        row = {}
        for label in servers.labels():
            # A mailbox of its own each time: none still being compacted from the run before.
            row[label] = statistics.median(quit_time(servers, label, "quit%d" % (c * RUNS + r), data, deleted)
                                           for r in range(RUNS))
        maildir = row["dovecot-maildir"]
        print("QUIT deleting %-16s " % what + "  ".join(
            "%s %.1f ms (%.2f x maildir)" % (label, ms * 1000, ms / maildir) for label, ms in row.items()))
        sys.stdout.flush()


def smtp_intake(port, seconds, stop, counted):
    """Hands in 4 kB messages to a local user in one session until `stop` is set."""
    sock = socket.create_connection(("127.0.0.1", port), timeout=60)
    f = sock.makefile("rb")
    while not f.readline().startswith(b"220 "):
        pass
    sock.sendall(b"HELO bench\r\n")
    f.readline()
    text = b"Subject: intake\r\n\r\n" + LINE * 50 + b".\r\n"
    begin = time.perf_counter()
    while not stop.is_set() and time.perf_counter() - begin < seconds:
        sock.sendall(b"MAIL FROM:<a@office.ru>\r\nRCPT TO:<intake@office.ru>\r\nDATA\r\n")
        for _ in range(3):
            f.readline()
        sock.sendall(text)
        if f.readline().startswith(b"250"):
            counted[0] += 1
    counted[1] = time.perf_counter() - begin
    sock.sendall(b"QUIT\r\n")
    sock.close()


def logins_during_quit(servers, label, big, small, with_quit):
    """50 logins of 50 users while (with_quit) another user's QUIT deletes the oldest 10 % of
    200 MB, and intake runs: the login waits and the intake rate."""
    servers.place(label, "heavy", big)
    for i in range(50):
        servers.place(label, "user%d" % i, small)
    waits, counted, stop = [], [0, 0.0], threading.Event()
    intake = threading.Thread(target=smtp_intake, args=(servers.ports[label + "-smtp"], 3.0, stop, counted))
    heavy = Pop3(servers.ports[label])
    heavy.login("heavy")
    heavy.command(b"STAT")
    for n in range(1, 201):
        heavy.command(b"DELE %d" % n)
    intake.start()
    time.sleep(0.3)
    quitter = threading.Thread(target=heavy.quit_timed) if with_quit else None
    if quitter:
        quitter.start()
    lock = threading.Lock()

    def one(i):
        start = time.perf_counter()
        c = Pop3(servers.ports[label])
        c.login("user%d" % i)
        with lock:
            waits.append(time.perf_counter() - start)
        c.command(b"QUIT")

    threads = [threading.Thread(target=one, args=(i,)) for i in range(50)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if quitter:
        quitter.join()
    intake.join()
    waits.sort()
    return waits[len(waits) // 2], waits[int(len(waits) * 0.99) - 1], counted[0] / counted[1]


def main():
    quelma, work, baseline = sys.argv[1], sys.argv[2], sys.argv[3] if len(sys.argv) > 3 else ""
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    hundred = make_data(work, "hundred", 1000, 100_000)
    users = ["quit%d" % i for i in range(3 * RUNS)] + ["heavy", "intake"] + ["user%d" % i for i in range(50)]
    servers = Servers(work, quelma, baseline, users)
    try:
        quit_figures(servers, hundred)
        big = make_data(work, "twohundred", 2000, 100_000)
        small = make_data(work, "small", 5, 2000)
        for label in [label for label in ("quelma", "before") if label in servers.procs]:
            for with_quit in (False, True):
                p50, p99, rate = logins_during_quit(servers, label, big, small, with_quit)
                print("%-7s 50 logins %-28s p50 %.1f ms  p99 %.1f ms  intake %.0f msgs/s" % (
                    label, "during a 200 MB QUIT:" if with_quit else "without it:", p50 * 1000, p99 * 1000, rate))
                sys.stdout.flush()
    finally:
        servers.stop()


if __name__ == "__main__":
    main()
