#!/usr/bin/env python3
"""The backup benchmark (see bench/backup_vs_tar). Usage: backup_bench.py QUELMA WORK_DIR [ROUNDS]"""
import multiprocessing
import os
import poplib
import random
import shutil
import signal
import smtplib
import socket
import statistics
import subprocess
import sys
import time

MARKER = b"From \x01\x01\x02\x02\x01\x01\x03\x03"
LINE = b"The quick brown fox jumps over the lazy dog; 0123456789 abcdefghijklmnopq\r\n"
USERS = ["u%02d" % i for i in range(20)]
SENDERS, COLLECTORS = USERS[:10], USERS[10:]
PER_USER = 50 << 20
MESSAGE = 100 << 10


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def fill(directory):
    """20 maildrops of 50 MB in 100 kB messages, each with an id of its own."""
    body = LINE * (MESSAGE // len(LINE))
    serial = 0x10000000
    for user in USERS:
        with open(os.path.join(directory, "maildrop", user), "wb") as f:
            for n in range(PER_USER // MESSAGE):
                serial += 1
                f.write(b"%s %08X\r\nSubject: old %s %d\r\n\r\n" % (MARKER, serial, user.encode(), n) + body)


def start(binary, directory):
    ports = {"SMTP_SRV_PORT": free_port(), "POP3_SRV_PORT": free_port(), "IMAP_SRV_PORT": free_port()}
    cfg = ["[Parameters]", "MailDropDir = %s/maildrop/" % directory, "QueueDir = %s/queue/" % directory,
           "LocalDomain = office.ru", "MAX_SESSIONS = 100", "LogFileSize = 4096"] + \
          ["%s = %d" % kv for kv in ports.items()] + ["[Users]"] + ["%s pw  ; " % u for u in USERS]
    with open(os.path.join(directory, "quelma.cfg"), "wb") as f:
        f.write("\r\n".join(cfg + [""]).encode())
    proc = subprocess.Popen([binary, "--dir", directory], stdout=subprocess.DEVNULL)
    for _ in range(500):
        try:
            socket.create_connection(("127.0.0.1", ports["POP3_SRV_PORT"]), 1).close()
            break
        except OSError:
            time.sleep(0.02)
    return proc, ports


def sender(port, user, stop, out):
    """Hands in 10 kB messages to `user` until told to stop: (sent at, wait, subject) each."""
    body = "x" * 76 + "\r\n"
    done = []
    with smtplib.SMTP("127.0.0.1", port) as s:
        n = 0
        while not stop.is_set():
            subject = "new %s %d" % (user, n)
            began = time.monotonic()
            s.sendmail("a@example.org", ["%s@office.ru" % user], "Subject: %s\r\n\r\n%s" % (subject, body * 130))
            done.append((began, time.monotonic() - began, subject))
            n += 1
    out.put(("smtp", user, done))


def collector(port, user, stop, out):
    """Logs in, fetches a random message, quits, over and over: (began, wait) of each session."""
    done = []
    rng = random.Random(user)
    while not stop.is_set():
        began = time.monotonic()
        p = poplib.POP3("127.0.0.1", port)
        p.user(user)
        p.pass_("pw")
        count = p.stat()[0]
        p.retr(rng.randint(1, count))
        p.quit()
        done.append((began, time.monotonic() - began, ""))
    out.put(("pop3", user, done))


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(p / 100.0 * len(values)))] * 1000 if values else float("nan")


def messages_whole(data):
    """Whether the maildrop bytes are whole messages: they begin with a separator line."""
    return not data or data.startswith(MARKER)


def round_once(binary, work, number):
    directory = os.path.join(work, "office")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(os.path.join(directory, "maildrop"))
    os.makedirs(os.path.join(directory, "queue"))
    fill(directory)
    proc, ports = start(binary, directory)
    stop, out = multiprocessing.Event(), multiprocessing.Queue()
    workers = [multiprocessing.Process(target=sender, args=(ports["SMTP_SRV_PORT"], u, stop, out)) for u in SENDERS] + \
              [multiprocessing.Process(target=collector, args=(ports["POP3_SRV_PORT"], u, stop, out)) for u in COLLECTORS]
    for w in workers:
        w.start()
    time.sleep(3)
    archive = os.path.join(work, "office.tar")
    began = time.monotonic()
    taken = subprocess.run([binary, "--dir", directory, "backup", archive], capture_output=True, text=True)
    ended = time.monotonic()
    time.sleep(1)
    stop.set()
    results = [out.get() for _ in workers]
    for w in workers:
        w.join()
    proc.send_signal(signal.SIGINT)
    proc.wait(timeout=60)
    if taken.returncode != 0:
        sys.exit("backup failed: " + taken.stderr + taken.stdout)
    size = os.path.getsize(archive)
    # The stopped tree beside what the archive restores.
    restored = os.path.join(work, "restored")
    subprocess.run([binary, "restore", archive, restored], check=True, capture_output=True)
    identical, acknowledged_missing, torn = 0, 0, 0
    for user in USERS:
        stopped = open(os.path.join(directory, "maildrop", user), "rb").read()
        copy = open(os.path.join(restored, "maildrop", user), "rb").read()
        if stopped.startswith(copy) and messages_whole(stopped[len(copy):]):
            identical += 1
        else:
            torn += 1
    for kind, user, done in results:
        if kind != "smtp":
            continue
        copy = open(os.path.join(restored, "maildrop", user), "rb").read()
        acknowledged_missing += sum(1 for at, wait, subject in done if at + wait < began and
                                    ("Subject: %s\r\n" % subject).encode() not in copy)
    waits = {"smtp": {"before": [], "during": []}, "pop3": {"before": [], "during": []}}
    for kind, user, done in results:
        for at, wait, _ in done:
            if at + wait < began and at > began - 3:
                waits[kind]["before"].append(wait)
            elif at < ended and at + wait > began:
                waits[kind]["during"].append(wait)
    # The same tree stopped: GNU tar to a file synced as the backup's is, and quelma's backup
    # (the command takes it itself then), by turns, three times each.
    tar_rates, quiet_rates = [], []
    for _ in range(3):
        for which in ("tar", "quelma"):
            target = os.path.join(work, which + ".tar")
            subprocess.run(["sync"])
            t0 = time.monotonic()
            if which == "tar":
                subprocess.run(["tar", "cf", target, "-C", directory, "quelma.cfg", "maildrop", "queue"], check=True)
                with open(target, "rb") as f:
                    os.fsync(f.fileno())
            else:
                subprocess.run([binary, "--dir", directory, "backup", target], check=True, capture_output=True)
            rate = os.path.getsize(target) / (1 << 20) / (time.monotonic() - t0)
            (tar_rates if which == "tar" else quiet_rates).append(rate)
            os.remove(target)
    mb = 1 << 20
    quiet, tar = statistics.median(quiet_rates), statistics.median(tar_rates)
    print("round %d: backup under load %.0f MB in %.2f s = %.0f MB/s; the stopped tree (medians of 3): quelma %.0f MB/s, "
          "GNU tar %.0f MB/s (%.2f x)" % (number, size / mb, ended - began, size / mb / (ended - began), quiet, tar, quiet / tar))
    for kind in ("smtp", "pop3"):
        w = waits[kind]
        print("  %s waits (ms): before p50 %.1f p99 %.1f (n=%d); during the backup p50 %.1f p99 %.1f max %.1f (n=%d)" % (
            kind, percentile(w["before"], 50), percentile(w["before"], 99), len(w["before"]),
            percentile(w["during"], 50), percentile(w["during"], 99), percentile(w["during"], 100), len(w["during"])))
    handed = sum(len(done) for kind, _, done in results if kind == "smtp")
    print("  maildrops identical to the stopped copy up to the backup's moment: %d of %d, torn %d; "
          "acknowledged before the backup and missing: %d (of %d handed in)" % (identical, len(USERS), torn,
                                                                                acknowledged_missing, handed))
    return ended - began


if __name__ == "__main__":
    binary, work = sys.argv[1], sys.argv[2]
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    for n in range(1, rounds + 1):
        round_once(binary, work, n)
    shutil.rmtree(work, ignore_errors=True)
