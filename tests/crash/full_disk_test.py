#!/usr/bin/python3
"""The Linux program on a full disk: its program directory on a small tmpfs made here, mail
handed in, downloaded and collected until the disk is full, then room made and the traffic
goes on. Every message is counted where it belongs.

    full_disk_test.py QUELMA_BINARY

  intake    messages of 150 kB, each to two local users and one outside address, until the
            disk refuses them: every one answered 250 is whole in both maildrops and the
            queue, every other one in none of them; the log names the file and "No space
            left on device"; no work file stays. With room again, the next one is taken.
  download  a provider (127.0.0.1) holds 12 messages of 400 kB for an account delivering to
            a user, more than the disk holds: the session stops with a log line that names
            the file and the reason, nothing is lost and nothing half-written stays; with
            room again, later sessions bring every message, each once.
  commit    a full disk when a POP3 client deletes a message and QUITs: "+OK" with the
            message gone from the listing, or "-ERR" with it still listed and a log line with
            the reason; the maildrop holds whole messages, no work file; with room again, the
            QUIT deletes and the file is compacted.

It needs root (mount); without it, it says so and exits 77 (skipped). Exit 1 on any fault."""
import os
import random
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import crash_test as ct  # noqa: E402

NO_SPACE = "No space left on device"
USERS = ["postmaster  ; ", "ivan x ; ", "petr x ; "]
faults = []


def check(what, ok, detail=""):
    print("%s %s%s" % ("ok  " if ok else "FAIL", what, (": " + detail) if detail and not ok else ""))
    if not ok:
        faults.append(what)


class Disk:
    """A tmpfs of `size` at a fresh directory; `grow` gives it room."""

    def __init__(self, root, name, size):
        self.path = os.path.join(root, name)
        os.mkdir(self.path)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%s,mode=0755" % size, "tmpfs", self.path], check=True)

    def grow(self):
        subprocess.run(["mount", "-o", "remount,size=64m", self.path], check=True)

    def unmount(self):
        subprocess.run(["umount", "-l", self.path], check=False)


def start(disk, root, parameters):
    smtp, pop3 = ct.free_port(), ct.free_port()
    ct.write_config(disk.path, smtp, pop3, parameters, USERS)
    program = ct.Program(BINARY, disk.path, os.path.join(root, os.path.basename(disk.path) + ".out"))
    program.start()
    if not program.wait_ready():
        raise RuntimeError("the program did not start")
    return program, smtp, pop3


def output(program):
    with program.out_lock:
        program.out.flush()
    with open(program.out.name, "rb") as f:
        return f.read().decode("utf-8", "replace")


def leftovers(directory):
    """Work and unpublished files anywhere under the program directory (an empty delivery
    journal is one kept for the next delivery, and says nothing)."""
    found = []
    for base, _, names in os.walk(directory):
        for n in names:
            path = os.path.join(base, n)
            if n.endswith(".journal") and os.path.getsize(path) == 0:
                continue
            if n.endswith((".tmp", ".part", ".journal")) or n == "sorter.tmp":
                found.append(path)
    return found


def hand_in(port, text, recipients):
    """One SMTP transaction; True when the text got 250."""
    conn = ct.LineConnection(port)
    try:
        conn.smtp_reply()
        for command in [b"HELO test\r\n", b"MAIL FROM:<me@office.ru>\r\n"] + \
                       [b"RCPT TO:<%s>\r\n" % r.encode() for r in recipients] + [b"DATA\r\n"]:
            conn.send(command)
            if not conn.smtp_reply()[:1] in (b"2", b"3"):
                return False
        conn.send(ct.dot_stuffed(text) + b".\r\n")
        return conn.smtp_reply().startswith(b"250")
    except (ct.Broken, ct.Stall):
        return False
    finally:
        conn.close()


def texts(maker, prefix, count, size):
    out = []
    for n in range(count):
        lines = [b"X-Crash-Id: %s-%d\r\n" % (prefix.encode(), n), b"Subject: disk\r\n", b"\r\n"]
        while sum(map(len, lines)) < size:
            lines.append(maker.line() + b"\r\n")
        out.append(("%s-%d" % (prefix, n), b"".join(lines)))
    return out


def ids_in_maildrop(path):
    return [ct.crash_id(text) for _, text in ct.parse_maildrop(path)[1]]


def intake(root, maker):
    disk = Disk(root, "intake", "2m")
    program, smtp, _ = start(disk, root, ["SMTPServer = 127.0.0.1", "SMTPSport = 9"])
    try:
        sent = texts(maker, "in", 40, 150_000)
        acked, refused = [], []
        for ident, text in sent:
            (acked if hand_in(smtp, text, ["ivan@office.ru", "petr@office.ru", "far@away.test"]) else refused).append(
                (ident, text))
            if len(refused) >= 3:
                break
        check("intake: mail taken until the disk was full, then refused", acked and refused,
              "%d taken, %d refused" % (len(acked), len(refused)))
        queue = disk.path + "/queue/"
        queued = [open(queue + n, "rb").read() for n in os.listdir(queue) if n.isdigit() or len(n) == 8]
        for user in ("ivan", "petr"):
            stored = dict((ct.crash_id(t), t) for _, t in ct.parse_maildrop(disk.path + "/maildrop/" + user)[1])
            check("intake: every message answered 250 whole in %s's maildrop" % user,
                  all(stored.get(i) == ct.maildrop_form(t) for i, t in acked))
            check("intake: no refused message in %s's maildrop" % user, not any(i in stored for i, _ in refused))
        check("intake: every message answered 250 in the queue, once",
              all(sum(q.count(b"X-Crash-Id: %s\r\n" % i.encode()) for q in queued) == 1 for i, _ in acked))
        check("intake: no refused message in the queue",
              not any(b"X-Crash-Id: %s\r\n" % i.encode() in q for i, _ in refused for q in queued))
        log = output(program)
        check("intake: the log names the file and the reason", NO_SPACE in log and disk.path in log,
              log[-400:])
        check("intake: no work file left", not leftovers(disk.path), str(leftovers(disk.path)))
        disk.grow()
        check("intake: with room again the next message is taken",
              hand_in(smtp, sent[-1][1], ["ivan@office.ru"]))
        check("intake: the program stops cleanly", program.stop() == 0)
    finally:
        program.cleanup()
        disk.unmount()


def session(program, provider, until):
    marker = program.path("maildrop", "pop3_download.runs")
    began = time.monotonic()
    program.signal(signal.SIGUSR1)
    while time.monotonic() < until:
        if provider.connection_over(began) and not os.path.exists(marker):
            return True
        time.sleep(0.01)
    return False


def download(root, maker):
    disk = Disk(root, "download", "3m")
    provider = ct.ProviderPop3(ct.account_port(), random.Random(5), ("office",))
    port = provider.listener.getsockname()[1]
    program, _, _ = start(disk, root, ["[POP3accounts]",
                                       "127.0.0.1 office ; %s-%d-0-ivan" % (ct.scramble(ct.PROVIDER_PASSWORD), port)])
    try:
        mail = texts(maker, "dl", 12, 400_000)
        for ident, text in mail:
            provider.add("office", ident, text)
        idents = {i for i, _ in mail}
        check("download: the first session ends", session(program, provider, time.monotonic() + 60))
        waiting = b"".join(open(os.path.join(disk.path, n), "rb").read()
                           for n in os.listdir(disk.path) if n.endswith(".popfile"))
        kept = set(ids_in_maildrop(disk.path + "/maildrop/ivan"))
        kept |= {i for i in idents if b"X-Crash-Id: %s\r\n" % i.encode() in waiting}
        check("download: the disk was too small for everything", provider.held() != set())
        check("download: nothing lost (at the provider, in the maildrop or waiting to be sorted)",
              idents <= provider.held() | kept, str(idents - provider.held() - kept))
        log = output(program)
        check("download: the log names the file and the reason", NO_SPACE in log and disk.path in log, log[-400:])
        check("download: nothing half-written stays", not leftovers(disk.path), str(leftovers(disk.path)))
        disk.grow()
        for _ in range(5):
            if not provider.held() and not [n for n in os.listdir(disk.path) if ".popfile" in n]:
                break
            session(program, provider, time.monotonic() + 60)
        stored = ids_in_maildrop(disk.path + "/maildrop/ivan")
        check("download: with room again every message arrives, each once",
              sorted(stored) == sorted(idents) and not provider.held(),
              "%d stored, %d distinct, %d at the provider" % (len(stored), len(set(stored)), len(provider.held())))
        texts_by_id = dict(mail)
        check("download: every message whole", all(t == ct.maildrop_form(texts_by_id[ct.crash_id(t)])
                                                  for _, t in ct.parse_maildrop(disk.path + "/maildrop/ivan")[1]))
        check("download: the program stops cleanly", program.stop() == 0)
        check("download: nothing left behind", not leftovers(disk.path), str(leftovers(disk.path)))
    finally:
        program.cleanup()
        provider.close()
        disk.unmount()


def commit(root, maker):
    disk = Disk(root, "commit", "2m")
    program, smtp, pop3 = start(disk, root, [])
    try:
        mail = texts(maker, "po", 5, 150_000)
        for _, text in mail:
            hand_in(smtp, text, ["ivan@office.ru"])
        drop = disk.path + "/maildrop/ivan"
        before = ids_in_maildrop(drop)
        filler = os.path.join(disk.path, "filler")
        with open(filler, "wb") as f:
            try:
                while True:
                    f.write(b"x" * 65536)
                    f.flush()
            except OSError:
                pass

        def session(*commands):
            conn = ct.LineConnection(pop3)
            try:
                conn.line()
                for command in (b"USER ivan\r\n", b"PASS x\r\n"):
                    conn.send(command)
                    conn.line()
                replies = []
                for command in commands:
                    conn.send(command + b"\r\n")
                    replies.append(conn.line())
                    if command == b"UIDL":
                        while replies[-1] != b".\r\n":
                            replies.append(conn.line())
                return replies
            finally:
                conn.close()

        def listed():
            return len(session(b"UIDL", b"QUIT")) - 3

        def compacted(wanted):
            for _ in range(100):
                if ids_in_maildrop(drop) == wanted:
                    return True
                time.sleep(0.05)
            return False

        # The deletion needs only a record after the mailbox index (it fits where a copy of
        # the maildrop would not); the file is compacted once there is room.
        reply = session(b"DELE 1", b"QUIT")[-1]
        deleted = reply.startswith(b"+OK")
        check("commit: QUIT on a full disk says what became of the deletion",
              reply.startswith(b"+OK") or reply.startswith(b"-ERR"), repr(reply))
        check("commit: the listing shows the deletion exactly when it was acknowledged",
              listed() == (4 if deleted else 5))
        check("commit: the maildrop holds whole messages", ids_in_maildrop(drop) in (before, before[1:]))
        if not deleted:
            log = output(program)
            check("commit: the log gives the reason", NO_SPACE in log, log[-400:])
        check("commit: no work file left", not leftovers(disk.path), str(leftovers(disk.path)))
        os.remove(filler)
        reply = session(b"DELE 1", b"QUIT")[-1]
        wanted = before[2:] if deleted else before[1:]
        check("commit: with room again QUIT deletes, and the file follows",
              reply.startswith(b"+OK") and compacted(wanted), repr(reply))
        check("commit: the program stops cleanly", program.stop() == 0)
    finally:
        program.cleanup()
        disk.unmount()


def main():
    global BINARY
    BINARY = os.path.abspath(sys.argv[1])
    root = tempfile.mkdtemp(prefix="quelma-disk-")
    probe = os.path.join(root, "probe")
    os.mkdir(probe)
    if os.geteuid() != 0 or subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", probe],
                                           capture_output=True).returncode != 0:
        print("skipped: a tmpfs cannot be mounted here (root is needed)")
        return 77
    subprocess.run(["umount", probe])
    maker = ct.TextMaker(random.Random(11))
    for scenario in (intake, download, commit):
        try:
            scenario(root, maker)
        except Exception as e:  # a harness fault is a fault too
            check("%s: ran to the end" % scenario.__name__, False, repr(e))
    print("%d faults" % len(faults))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
