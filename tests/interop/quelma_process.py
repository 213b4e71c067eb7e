"""Running quelma on a directory of its own for the interoperability checks, and their tally."""
import errno
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time


_ports = random.SystemRandom()  # not the tests' seeded sequence: parallel runs must differ
_given = set()


def _bindable(family, address, port):
    try:
        with socket.socket(family) as s:
            if family == socket.AF_INET6:
                s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
            s.bind((address, port))
        return True
    except OSError as e:
        # A machine without IPv6 cannot be in the way there.
        return family == socket.AF_INET6 and e.errno in (errno.EAFNOSUPPORT, errno.EADDRNOTAVAIL)


def free_port():
    """A port for a server quelma runs: below the range the system hands out for port 0 (so a
    test listening on port 0 beside this one is never given it before quelma binds it), free on
    every address quelma listens on (IPv4 and IPv6), and never the same twice in one run."""
    for _ in range(500):
        port = _ports.randint(10000, 19999)
        if port in _given:
            continue
        if _bindable(socket.AF_INET, "0.0.0.0", port) and _bindable(socket.AF_INET6, "::", port):
            _given.add(port)
            return port
    raise RuntimeError("no free port between 10000 and 19999")


SOURCE = os.path.join(os.path.dirname(__file__), "..", "..", "src", "config", "password_scramble.cpp")


def scramble(password):
    """The password as quelma.cfg stores it (the table is read from the program's source)."""
    text = open(SOURCE).read()
    body = text[text.index("kPasswordSubstitutionTable = {"):]
    table = [int(v, 16) for v in re.findall(r"0x([0-9A-F]{2})", body[:body.index("};")])]
    data = password.encode("cp1251")
    k = ord("8") if len(data) == 1 else data[-1]
    out = ""
    for c in data:
        k = table[c ^ k]
        out += "%02X" % k
    return out


def account_port():
    """A free port that an account may name (quelma.cfg keeps account ports 1 to 30000)."""
    for _ in range(200):
        port = random.randint(20000, 29999)
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", port))
                return port
            except OSError:
                continue
    raise RuntimeError("no free port below 30000")


def wait_listening(port, tries=200):
    """Until something accepts on 127.0.0.1:port (about 4 s at most by default)."""
    for _ in range(tries):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            time.sleep(0.02)
    return False


def eventually(condition, seconds=10.0):
    """Whether `condition()` holds within `seconds` (polled): deleted mail leaves the maildrop
    file shortly after the QUIT's answer, off the client's way."""
    end = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > end:
            return False
        time.sleep(0.02)
    return True


class Quelma:
    """quelma with the given [Parameters] lines and users (a name, or a whole [Users] line), its
    ports free ones on 127.0.0.1; `env`, when given, is its whole environment."""

    def __init__(self, binary, parameters, users, env=None):
        self.dir = tempfile.mkdtemp(prefix="quelma-interop-")
        self.pop3, self.smtp, self.imap = free_port(), free_port(), free_port()
        for sub in ("maildrop", "queue"):
            os.mkdir(os.path.join(self.dir, sub))
        cfg = ["[Parameters]", "MailDropDir = %s/maildrop/" % self.dir, "QueueDir = %s/queue/" % self.dir,
               "POP3_SRV_PORT = %d" % self.pop3, "SMTP_SRV_PORT = %d" % self.smtp, "LogFileSize = 64",
               "IMAP_SRV_PORT = %d" % self.imap, "Daemon = daemon"] + parameters + ["[Users]"] + [u if " ; " in u else "%s  ; " % u for u in users]
        with open(os.path.join(self.dir, "quelma.cfg"), "wb") as f:
            f.write("\r\n".join(cfg + [""]).encode("cp1251"))
        self.proc = subprocess.Popen([binary, "--dir", self.dir], stdout=subprocess.DEVNULL, env=env)
        for port in (self.pop3, self.smtp, self.imap):
            wait_listening(port)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def log(self):
        """quelma.log as text so far ("" before the first line)."""
        path = self.path("quelma.log")
        return open(path, "rb").read().decode("cp1251") if os.path.exists(path) else ""

    def wait_for_upload(self, tries=900):
        """Until the upload started by a session has ended (its marker file is gone); the log."""
        for _ in range(tries):
            log = self.log()
            if "*** Отправка исходящих сообщений" in log and not os.path.exists(self.path("maildrop", "smtp_upload.runs")):
                break
            time.sleep(0.1)
        time.sleep(0.2)
        return self.log()

    def upload(self, files):
        """Puts the queue files (name, bytes, ...) into the queue, starts an upload and waits
        (bounded) until it ends; the log."""
        for name, data, *_ in files:
            with open(self.path("queue", name), "wb") as f:
                f.write(data)
        self.proc.send_signal(signal.SIGUSR1)
        return self.wait_for_upload()

    def stop(self):
        self.proc.send_signal(signal.SIGINT)
        code = self.proc.wait(timeout=20)
        shutil.rmtree(self.dir, ignore_errors=True)
        return code


class Checks:
    def __init__(self):
        self.failures = []

    def check(self, what, ok, detail=""):
        print(("ok   " if ok else "FAIL ") + what + ("" if ok else "  " + detail))
        if not ok:
            self.failures.append(what)

    def result(self):
        """Prints the tally; the exit status of the script."""
        print("%d interoperability checks failed" % len(self.failures))
        return 1 if self.failures else 0

    def run(self, scenarios, start):
        """Each scenario (name, function) runs against a fresh quelma; `name` must be installed
        unless it is a Python module."""
        for name, run, needs in scenarios:
            if needs and shutil.which(needs) is None:
                self.check(needs + " is installed", False)
                continue
            server = start()
            try:
                run(server)
            finally:
                self.check(name + ": quelma exits 0 on SIGINT", server.stop() == 0)
        return self.result()
