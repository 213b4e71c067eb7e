#!/usr/bin/env python3
"""The open benchmark (see bench/open_vs_dovecot): a 10,000-message, 500 MB mailbox opened
the first time (its index built) and again, in quelma (a POP3 login and STAT: the mailbox and
its index, the same store IMAP will use) beside Dovecot's IMAP SELECT of the same mail (Maildir
and mbox); time and the serving process's memory; the index's size per message. Then the
summaries of every message (envelope and MIME structure) made and made again: quelma's
summary_bench beside Dovecot's FETCH 1:* (ENVELOPE BODYSTRUCTURE), first and second time.
Usage: open_bench.py QUELMA_BINARY WORK_DIR [SUMMARY_BENCH]"""
import imaplib
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import quit_bench as qb  # noqa: E402


def status_kb(pid, field):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def quelma_open(servers):
    start = time.perf_counter()
    client = qb.Pop3(servers.ports["quelma"])
    client.login("big")
    client.command(b"STAT")
    elapsed = time.perf_counter() - start
    client.command(b"QUIT")
    return elapsed


def dovecot_select(servers, label):
    imap = imaplib.IMAP4("127.0.0.1", servers.ports[label])
    imap.login("big", "pw")
    pids = subprocess.run(["pgrep", "-n", "-x", "imap"], capture_output=True, text=True).stdout.split()
    start = time.perf_counter()
    typ, data = imap.select("INBOX", readonly=True)
    elapsed = time.perf_counter() - start
    peak = status_kb(int(pids[0]), "VmHWM") if pids else 0
    imap.logout()
    return elapsed, peak, int(data[0])


def dovecot_fetch(servers, label):
    imap = imaplib.IMAP4("127.0.0.1", servers.ports[label])
    imap.login("big", "pw")
    imap.select("INBOX", readonly=True)
    took = []
    for _ in range(2):
        start = time.perf_counter()
        typ, data = imap.fetch("1:*", "(ENVELOPE BODYSTRUCTURE)")
        took.append(time.perf_counter() - start)
    imap.logout()
    return took


def main():
    quelma, work = sys.argv[1], sys.argv[2]
    os.makedirs(work, exist_ok=True)
    data = qb.make_data(work, "fivehundred", 10_000, 50_000)
    servers = qb.Servers(work, quelma, "", ["big"], protocol="imap")
    try:
        pid = servers.procs["quelma"].pid
        for label in ("quelma", "dovecot-maildir", "dovecot-mbox"):
            servers.place(label, "big", data)
        rss0 = status_kb(pid, "VmRSS")
        first = quelma_open(servers)
        rss1 = status_kb(pid, "VmRSS")
        second = quelma_open(servers)
        index = os.path.join(work, "quelma", "maildrop", "big.folders", ".INBOX.index")
        size = os.path.getsize(index)
        print("quelma           first open %7.1f ms  second %6.1f ms  peak %d MB, index in memory ~%d B/message"
              % (first * 1000, second * 1000, status_kb(pid, "VmHWM") // 1024, (rss1 - rss0) * 1024 // 10_000))
        print("quelma           index on disk %d B (%.1f B/message)" % (size, size / 10_000))
        servers.stop()
        servers = qb.Servers(work, quelma, "", ["big"], protocol="imap")
        third = quelma_open(servers)
        print("quelma           open after a restart (index read from disk) %.1f ms" % (third * 1000))
        for label in ("dovecot-maildir", "dovecot-mbox"):
            servers.place(label, "big", data)
            t1, p1, n = dovecot_select(servers, label)
            t2, p2, _ = dovecot_select(servers, label)
            print("%-16s first SELECT %7.1f ms  second %6.1f ms  peak %d MB / %d MB (%d messages)"
                  % (label, t1 * 1000, t2 * 1000, p1 // 1024, p2 // 1024, n))
        if len(sys.argv) > 3:
            servers.stop()
            subprocess.run([sys.argv[3], os.path.join(work, "quelma", "maildrop", "big")], check=True)
            servers = qb.Servers(work, quelma, "", ["big"], protocol="imap")
            for label in ("dovecot-maildir", "dovecot-mbox"):
                servers.place(label, "big", data)
                f1, f2 = dovecot_fetch(servers, label)
                print("%-16s FETCH 1:* (ENVELOPE BODYSTRUCTURE): first %7.1f ms  second %6.1f ms"
                      % (label, f1 * 1000, f2 * 1000))
    finally:
        servers.stop()


if __name__ == "__main__":
    main()
