#!/usr/bin/env python3
"""The running program's status and its alerts to the postmaster, against a provider of our
own (POP3 over TLS, a certificate that ends in 3 days) and a spool made to look troubled:
`quelma status --json` checked field by field while sessions run, the OpenMetrics file read by
promtool, each alert (an account failing for 13 hours, a queue message 30 hours old, both
certificates ending in 3 days, a start after an unclean stop, a full small disk) one message
each, none twice in a day (a restart included), and its end told in the log and by mail."""
import base64
import datetime
import json
import os
import re
import shutil
import signal
import socket
import socketserver
import ssl
import subprocess
import sys
import tempfile
import threading
import time

from cryptography.hazmat.primitives import serialization

from quelma_process import Checks, account_port, free_port, scramble, wait_listening
from tls_material import Material, _make

QUELMA = sys.argv[1]
HOUR = 3600
checks = Checks()
check = checks.check


class Provider(socketserver.ThreadingTCPServer):
    """A provider's POP3 server with implicit TLS and an empty mailbox; `refuse` turns its
    passwords down."""
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, cert, key):
        self.refuse = True
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(cert, key)
        super().__init__(("127.0.0.1", account_port()), Pop3Session)
        self.port = self.server_address[1]
        threading.Thread(target=self.serve_forever, daemon=True).start()


class Pop3Session(socketserver.StreamRequestHandler):
    timeout = 30

    def setup(self):
        self.request = self.server.context.wrap_socket(self.request, server_side=True)
        super().setup()

    def handle(self):
        self.wfile.write(b"+OK ready\r\n")
        for raw in self.rfile:
            word = raw.split(b" ", 1)[0].strip().upper()
            if word == b"PASS" and self.server.refuse:
                self.wfile.write(b"-ERR [AUTH] wrong password\r\n")
            elif word in (b"UIDL", b"LIST"):
                self.wfile.write(b"+OK\r\n.\r\n")
            elif word == b"CAPA":
                self.wfile.write(b"+OK\r\nUSER\r\nUIDL\r\n.\r\n")
            elif word == b"QUIT":
                self.wfile.write(b"+OK bye\r\n")
                return
            else:
                self.wfile.write(b"+OK 0 0\r\n" if word == b"STAT" else b"+OK\r\n")


def write_pem(directory, name, made):
    key, cert = made
    paths = (os.path.join(directory, name + ".pem"), os.path.join(directory, name + ".key"))
    with open(paths[0], "wb") as f:
        f.write(cert.public_bytes(serialization.Encoding.PEM))
    with open(paths[1], "wb") as f:
        f.write(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                  serialization.NoEncryption()))
    return paths


def iso(seconds):
    return datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def decoded_subject(value):
    words = re.findall(r"=\?windows-1251\?B\?([^?]*)\?=", value)
    plain = value.split("=?")[0]
    return plain + b"".join(base64.b64decode(w) for w in words).decode("cp1251")


class Program:
    """quelma on a program directory made here, started and stopped as the test says."""

    def __init__(self, directory, lines):
        self.dir = directory
        self.pop3, self.smtp, self.imap = free_port(), free_port(), free_port()
        for sub in ("maildrop", "queue"):
            os.makedirs(os.path.join(directory, sub), exist_ok=True)
        self.lines = lines
        self.proc = None
        self.configure()

    def configure(self, extra=()):
        cfg = ["[Parameters]", "QueueDir = %s/queue/" % self.dir, "POP3_SRV_PORT = %d" % self.pop3,
               "SMTP_SRV_PORT = %d" % self.smtp, "IMAP_SRV_PORT = %d" % self.imap, "LogFileSize = 256",
               "Daemon = daemon"] + list(extra) + self.lines
        with open(self.path("quelma.cfg"), "wb") as f:
            f.write("\r\n".join(cfg + [""]).encode("cp1251"))

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def start(self):
        self.proc = subprocess.Popen([QUELMA, "--dir", self.dir], stdout=subprocess.DEVNULL)
        wait_listening(self.smtp)

    def stop(self):
        self.proc.send_signal(signal.SIGINT)
        return self.proc.wait(timeout=30)

    def log(self):
        path = self.path("quelma.log")
        return open(path, "rb").read().decode("cp1251") if os.path.exists(path) else ""

    def status(self, *words):
        done = subprocess.run([QUELMA, "--dir", self.dir, "status"] + list(words), capture_output=True, timeout=30)
        return done.returncode, done.stdout.decode("utf-8", "replace")

    def session(self):
        """Starts a session and waits (bounded) until its ends are in the status file (the
        upload's, and the account's when there is one); the status file then."""
        asked = int(time.time())
        self.proc.send_signal(signal.SIGUSR1)
        for _ in range(300):
            now = self.written()
            if now and now["upload"].get("at", 0) >= asked and all(a["last"].get("at", 0) >= asked for a in now["accounts"]):
                break
            time.sleep(0.1)
        time.sleep(3)  # the watch looks on the next tick of the timer
        return self.written()

    def written(self):
        try:
            return json.load(open(self.path("quelma.status")))
        except (OSError, ValueError):
            return None


def alerts(maildrop):
    """The subjects of the alerts in a maildrop, decoded, in order."""
    if not os.path.exists(maildrop):
        return []
    text = open(maildrop, "rb").read().decode("cp1251", "replace")
    return [decoded_subject(m) for m in re.findall(r"\r\nSubject: (\[Quelmar\][^\r]*(?:\r\n [^\r]*)*)", text)]


def wait_alerts(maildrop, count, seconds=20):
    end = time.time() + seconds
    while time.time() < end and len(alerts(maildrop)) < count:
        time.sleep(0.2)
    return alerts(maildrop)


def main():
    work = tempfile.mkdtemp(prefix="quelma-alerts-")
    os.chmod(work, 0o755)
    material = Material(work)
    ca = _make("Quelmar Alerts CA", None, None, -1, 3650, ca=True)
    ca_path = write_pem(work, "alerts-ca", ca)[0]
    local_cert, local_key = write_pem(work, "local-3d", _make("localhost", Material.LOCAL, ca, -1, 3))
    provider_cert, provider_key = write_pem(work, "provider-3d", _make("localhost", Material.LOCAL, ca, -1, 3))
    provider = Provider(provider_cert, provider_key)
    closed_smtp = account_port()
    program_dir = os.path.join(work, "program")
    os.mkdir(program_dir)
    q = Program(program_dir, [
        "MailDropDir = %s/maildrop/" % program_dir, "LocalDomain = office.ru", "PostMaster = postmaster",
        "TLS_CA_FILE = " + ca_path, "TLS_CERT_FILE = " + local_cert, "TLS_KEY_FILE = " + local_key,
        "SMTPServer = 127.0.0.1", "SMTPSport = %d" % closed_smtp, "ALERT_DISK_MB = 0",
        "[POP3accounts]", "127.0.0.1 ivan ; %s-%d-0-ivan tls=ssl" % (scramble("pw"), provider.port),
        "[Users]", "postmaster  ; ", "ivan  ; "])
    # Every day one session at 03:00 local time: the next one is what status names.
    q.configure(["SchedulerRecord%d = 03:00--03:00--0000" % d for d in range(7)])
    postmaster = q.path("maildrop", "postmaster")
    try:
        # What the last program left: an account failing since 13 hours ago, an upload cut short
        # by the stop, and a message handed in 30 hours ago still in the queue.
        now = int(time.time())
        with open(q.path("quelma.status"), "w") as f:
            json.dump({"format": 1, "pid": 1, "version": "old", "started": now - 20 * HOUR, "written": now - HOUR,
                       "accounts": [{"server": "127.0.0.1", "login": "ivan", "protocol": "pop3",
                                     "last": {"at": now - HOUR, "ok": False, "error": 17, "messages": 0,
                                              "failing_since": now - 13 * HOUR}}],
                       "upload": {"at": 0}, "next_session": 0, "alerts": []}, f)
        open(q.path("maildrop", "smtp_upload.runs"), "w").close()
        queued = q.path("queue", "0000A001")
        with open(queued, "wb") as f:
            f.write(b"MAIL FROM:<ivan@office.ru>\r\nRCPT TO:<friend@example.org>\r\nDATA\r\nSubject: old\r\n\r\nhello\r\n.\r\n")
        os.utime(queued, (now - 30 * HOUR, now - 30 * HOUR))
        queued_size = os.path.getsize(queued)

        q.start()
        got = wait_alerts(postmaster, 4)
        check("at the start: the unclean stop, the old queue message, the local certificate and the account failing "
              "since before the stop, one message each",
              sorted(got) == sorted(["[Quelmar] запуск после аварийной остановки", "[Quelmar] письма долго ждут отправки",
                                     "[Quelmar] сертификат TLS этих серверов кончается",
                                     "[Quelmar] Счет 0 (POP3 127.0.0.1, ivan): связь не удается"]), str(got))
        text = open(postmaster, "rb").read().decode("cp1251")
        check("the unclean stop's alert says what the start did",
              "отправка провайдеру была прервана" in text, text[-2000:])
        check("each alert names what mends it",
              "Отправить/получить почту" in text and "TLS_CERT_FILE" in text, text[-3000:])
        check("a log line for each", q.log().count("SYSTEM> Предупреждение постмастеру:") >= 3, q.log()[-2000:])

        written = q.session()
        got = wait_alerts(postmaster, 5)
        check("after a session refused by the provider: the provider's certificate, and the account not again",
              len(got) == 5 and got[4] == "[Quelmar] сертификат сервера 127.0.0.1 кончается", str(got))
        text = open(postmaster, "rb").read().decode("cp1251")
        since = datetime.datetime.fromtimestamp(now - 13 * HOUR).strftime("%d.%m.%Y %H:%M")
        check("the failing alert says since when and the check command",
              ("не удаются с " + since) in text and "quelma check account 0" in text, text[-3000:])

        # The status, field by field, while the program runs.
        code, out = q.status("--json")
        s = json.loads(out) if code == 0 else {}
        account = (s.get("accounts") or [{}])[0]
        expected = [("running", s.get("running"), True), ("pid", s.get("pid"), q.proc.pid),
                    ("version", bool(re.match(r"^\d+\.\d+\.\d+$", s.get("version", ""))), True),
                    ("started", bool(s.get("started")) and s["started"] >= iso(now - 5), True),
                    ("account server", account.get("server"), "127.0.0.1"), ("account login", account.get("login"), "ivan"),
                    ("account protocol", account.get("protocol"), "pop3"), ("account result", account.get("result"), "failed"),
                    ("account error", isinstance(account.get("error"), int) and account["error"] > 0, True),
                    ("account failing since", account.get("failing_since"), iso(now - 13 * HOUR)),
                    ("account last session", account.get("last_session"), iso(written["accounts"][0]["last"]["at"])),
                    ("account push", account.get("push"), None), ("account oauth", account.get("oauth"), None),
                    ("smtp result", s.get("smtp", {}).get("result"), "failed"),
                    ("queue messages", s.get("queue", {}).get("messages"), 1),
                    ("queue bytes", s.get("queue", {}).get("bytes"), queued_size),
                    ("queue oldest", s.get("queue", {}).get("oldest"), iso(now - 30 * HOUR)),
                    ("maildrops", s.get("maildrops", {}).get("count"), 1),
                    ("maildrop bytes", s.get("maildrops", {}).get("bytes"), os.path.getsize(postmaster)),
                    ("open alerts", sorted(a["condition"] for a in s.get("alerts", [])),
                     sorted(["account 127.0.0.1 ivan", "certificate 127.0.0.1", "certificate local", "queue"]))]
        local_now = datetime.datetime.now().astimezone()
        three = local_now.replace(hour=3, minute=0, second=0, microsecond=0)
        if three <= local_now:
            three += datetime.timedelta(days=1)
        expected.append(("next session", s.get("next_session"), iso(int(three.timestamp()))))
        for name, got_value, want in expected:
            check("status --json: " + name, got_value == want, "%r, wanted %r" % (got_value, want))
        code, out = q.status()
        check("status as text", code == 0 and "Программа работает (процесс %d)" % q.proc.pid in out and
              "Очередь: сообщений 1" in out and "Предупреждение с " in out, out)
        metrics = os.path.join(work, "quelma.prom")
        code, _ = q.status("--openmetrics", metrics)
        promtool = shutil.which("promtool")
        if promtool:
            done = subprocess.run([promtool, "check", "metrics"], stdin=open(metrics, "rb"), capture_output=True)
            check("promtool check metrics reads the OpenMetrics file", code == 0 and done.returncode == 0,
                  done.stdout.decode() + done.stderr.decode())
        else:
            check("promtool is installed", False)
        text = open(metrics).read() if os.path.exists(metrics) else ""
        check("the metrics say it runs, with its queue and alerts",
              "\nquelma_up 1\n" in text and "\nquelma_queue_messages 1\n" in text and "\nquelma_alerts_open 4\n" in text
              and text.endswith("# EOF\n"), text)

        # The same conditions again, and a restart: nothing twice in a day.
        q.session()
        q.stop()
        q.start()
        q.session()
        got = alerts(postmaster)
        check("no alert twice in a day, across a session and a restart", len(got) == 5, str(got))

        # The provider takes the password again and the old message is gone: both end.
        provider.refuse = False
        os.remove(queued)
        q.session()
        got = wait_alerts(postmaster, 7)
        check("their ends by mail", sorted(got[5:]) == sorted(["[Quelmar] исправлено: Счет 0 (POP3 127.0.0.1, ivan): связь не удается",
                                                             "[Quelmar] исправлено: письма долго ждут отправки"]), str(got))
        log = q.log()
        check("and a clearing line each", "SYSTEM> Предупреждение снято, все в порядке: письма долго ждут отправки" in log and
              "SYSTEM> Предупреждение снято, все в порядке: Счет 0 (POP3 127.0.0.1, ivan): связь не удается" in log, log[-3000:])
        code, out = q.status("--json")
        s = json.loads(out)
        check("status: the account good again, the certificates' alerts still open",
              s["accounts"][0]["result"] == "ok" and s["accounts"][0]["failing_since"] is None and
              sorted(a["condition"] for a in s["alerts"]) == ["certificate 127.0.0.1", "certificate local"], out)
        check("quelma exits 0 on SIGINT", q.stop() == 0)
        code, out = q.status("--json")
        check("status of a stopped program", code == 0 and json.loads(out)["running"] is False and json.loads(out)["pid"] is None, out)

        small_disk(work, ca_path)
    finally:
        if q.proc and q.proc.poll() is None:
            q.proc.kill()
        provider.shutdown()
        shutil.rmtree(work, ignore_errors=True)
    return checks.result()


def small_disk(work, ca_path):
    """Maildrops on a 6 MB tmpfs with ALERT_DISK_MB = 3: filled to the last byte, the alert still
    reaches the postmaster (from the space kept for it); emptied, its end is told."""
    small = os.path.join(work, "small")
    os.mkdir(small)
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=6m", "tmpfs", small]).returncode != 0:
        check("a small tmpfs can be mounted (root)", False)
        return
    program_dir = os.path.join(work, "program2")
    os.mkdir(program_dir)
    q = Program(program_dir, ["MailDropDir = %s/" % small, "LocalDomain = office.ru", "PostMaster = postmaster",
                              "ALERT_DISK_MB = 3", "SMTPServer = 127.0.0.1", "SMTPSport = %d" % account_port(),
                              "[Users]", "postmaster  ; "])
    filler = os.path.join(small, "filler.tmp")
    try:
        q.start()
        time.sleep(3)
        check("small disk: room enough, no alert, space kept for one",
              alerts(os.path.join(small, "postmaster")) == [] and os.path.getsize(os.path.join(small, "alert.reserve")) == 256 * 1024)
        # Filled in pieces down to single bytes, so that not one block is left.
        fd = os.open(filler, os.O_WRONLY | os.O_CREAT, 0o600)
        for piece in (65536, 4096, 512, 1):
            try:
                while True:
                    os.write(fd, b"\0" * piece)
            except OSError:
                pass
        os.close(fd)
        check("small disk: filled to the last byte", os.statvfs(small).f_bavail * os.statvfs(small).f_frsize < 65536)
        q.session()
        got = wait_alerts(os.path.join(small, "postmaster"), 1)
        check("small disk: the alert reached the postmaster on a full disk", got == ["[Quelmar] мало места на диске"], str(got))
        os.remove(filler)
        q.session()
        got = wait_alerts(os.path.join(small, "postmaster"), 2)
        check("small disk: room again, its end told", got[1:] == ["[Quelmar] исправлено: мало места на диске"], str(got))
        check("small disk: space kept again", os.path.getsize(os.path.join(small, "alert.reserve")) == 256 * 1024)
        check("small disk: quelma exits 0 on SIGINT", q.stop() == 0)
    finally:
        if q.proc and q.proc.poll() is None:
            q.proc.kill()
            q.proc.wait()
        subprocess.run(["umount", small])


if __name__ == "__main__":
    sys.exit(main())
