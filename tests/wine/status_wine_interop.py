#!/usr/bin/env python3
""""Состояние" of quelma.exe under Wine: the menu command opens a window with the lines
"quelma status" prints, from the running program's own figures; "Обновить" reads them again;
quelma.status in the program directory holds the same process. A second start with a free-disk
limit no disk can meet raises the postmaster's alert: a line in the window, a balloon at the
tray icon, a message in the postmaster's maildrop, and the alert in quelma.status."""
import json
import os
import re
import shutil
import smtplib
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "interop"))
from wine_desktop import WineDesktop, program_directory, wait_for, wait_port  # noqa: E402
from quelma_process import Checks, free_port  # noqa: E402

STATUS, EXIT_QUIETLY = "40020", "40016"
WINDOW_CLASS, WINDOW_TITLE, TEXT_EDIT, REFRESH = "QuelmaStatus", "Состояние", "1", "2"
BALLOON_CLASS = "tooltips_class32"  # the balloon Wine's taskbar shows at the tray icon
MAX_ALERT_DISK_MB = 1000000  # the largest ALERT_DISK_MB the settings take
RUNNING = re.compile(r"^Программа работает \(процесс (\d+)\)$", re.M)
STARTED = re.compile(r"^Запущена: \d\d\.\d\d\.\d{4} \d\d:\d\d$", re.M)


def built_version(exe):
    """The version the build put into quelma.exe, from the header CMake wrote beside it."""
    header = os.path.join(os.path.dirname(os.path.abspath(exe)), "generated", "quelma_version.h")
    with open(header, encoding="utf-8") as f:
        found = re.search(r'#define QUELMA_VERSION "([^"]+)"', f.read())
    return found.group(1) if found else None


def status_file(work):
    try:
        with open(os.path.join(work, "quelma.status"), "rb") as f:
            return json.loads(f.read().decode("utf-8"))
    except (OSError, ValueError):
        return None


class Run:
    """One quelma.exe on the program directory, with its settings."""

    def __init__(self, desktop, exe, work):
        self.desktop, self.work = desktop, work
        self.smtp, self.pop3 = free_port(), free_port()
        self.cfg = program_directory(exe, work) + [
            "LocalDomain = office.ru", "PostMaster = postmaster", "Daemon = daemon",
            "POP3_SRV_PORT = %d" % self.pop3, "SMTP_SRV_PORT = %d" % self.smtp, "IMAP_SRV_PORT = 0",
            "LISTEN_ADDRESSES = 127.0.0.1"]
        self.process = None

    def start(self, extra):
        with open(os.path.join(self.work, "quelma.cfg"), "wb") as f:
            f.write("\r\n".join(self.cfg + extra + ["[Users]", "postmaster pm ; ", "daemon dm ; ", "ivanov iv ; ", ""])
                    .encode("cp1251"))
        self.process = self.desktop.start(os.path.join(self.work, "quelma.exe"), cwd=self.work)
        return wait_port(self.smtp)

    def status_text(self, until=None):
        """The window's text once it holds the status (and `until`, when given), as the edit
        control holds it: lines end with CR LF."""
        text = ""
        for _ in range(40):
            # The driver writes to a text-mode stdout, which turns each LF into CR LF.
            text = self.desktop.answer("window-text", WINDOW_CLASS, WINDOW_TITLE, TEXT_EDIT).replace("\r\n", "\n")
            if "Версия:" in text and (until is None or until in text):
                break
            time.sleep(0.5)
        return text

    def stop(self):
        self.desktop.drive("command", EXIT_QUIETLY)
        try:
            return self.process.wait(timeout=60) == 0
        except Exception:  # noqa: BLE001 - a hang is reported as a failed check
            return False


def lines_of(shown):
    """The edit control's text as lines; None when a line end is not CR LF (the control would
    show it run together or with a box)."""
    if shown.count("\n") != shown.count("\r\n") or shown.count("\r") != shown.count("\r\n"):
        return None
    return shown.replace("\r\n", "\n")


def check_first_start(checks, desktop, run, version):
    checks.check("quelma.exe runs", run.start(["ALERT_DISK_MB = 0"]))
    desktop.drive("command", STATUS)
    checks.check("Состояние opens its window", desktop.drive("wait", WINDOW_CLASS, WINDOW_TITLE).returncode == 0)
    shown = run.status_text()
    desktop.shot("status_window.png")
    text = lines_of(shown)
    checks.check("every line of the window ends with CR LF", text is not None, repr(shown))
    text = text or shown
    running = RUNNING.search(text)
    checks.check("the window says the program runs, with its process number", running is not None, text)
    checks.check("the window names the version of this build", ("Версия: %s\n" % version) in text + "\n", text)
    checks.check("the window tells when the program started", STARTED.search(text) is not None, text)
    checks.check("the window shows an empty queue", "Очередь: сообщений 0, 0.0 МБ" in text, text)
    checks.check("the window shows no open alerts on a fresh directory", "Открытых предупреждений нет" in text, text)
    checks.check("no balloon at the tray icon without an alert", desktop.count(BALLOON_CLASS, "-") == "0")

    written = wait_for(lambda: status_file(run.work) is not None, 10) and status_file(run.work)
    checks.check("quelma.status is in the program directory as JSON", bool(written))
    written = written or {}
    checks.check("quelma.status has format 1, the version and the window's process",
                 written.get("format") == 1 and written.get("version") == version and running is not None
                 and written.get("pid") == int(running.group(1)), json.dumps(written)[:300])

    # Mail for the provider waits in the queue: "Обновить" reads the spool again.
    with smtplib.SMTP("127.0.0.1", run.smtp, timeout=20) as s:
        s.sendmail("ivanov@office.ru", ["someone@example.org"], b"Subject: out\r\n\r\ntext\r\n")
    desktop.drive("post-command", WINDOW_CLASS, WINDOW_TITLE, REFRESH)
    text = run.status_text("Очередь: сообщений 1,")
    checks.check("Обновить shows the message handed in for the provider in the queue",
                 "Очередь: сообщений 1," in text, text)
    # Closed and chosen again, the window opens anew with the same figures.
    desktop.drive("close", WINDOW_CLASS, WINDOW_TITLE)
    wait_for(lambda: desktop.count(WINDOW_CLASS, WINDOW_TITLE) == "0", 10)
    desktop.drive("command", STATUS)
    text = run.status_text("Очередь: сообщений 1,")
    checks.check("the window opens again after it was closed", "Очередь: сообщений 1," in text, text)
    checks.check("Выход ends the program with 0", run.stop())


def check_disk_alert(checks, desktop, run):
    free_mb = shutil.disk_usage(run.work).free // (1024 * 1024)
    if free_mb >= MAX_ALERT_DISK_MB:
        print("skip the disk alert: %d MB free is more than ALERT_DISK_MB can name" % free_mb)
        return
    checks.check("quelma.exe starts again on the same directory", run.start(["ALERT_DISK_MB = %d" % MAX_ALERT_DISK_MB]))
    postmaster = os.path.join(run.work, "maildrop", "postmaster")

    def told():
        try:
            with open(postmaster, "rb") as f:
                return b"[Quelmar]" in f.read()
        except OSError:
            return False

    checks.check("the postmaster gets the disk alert in his maildrop", wait_for(told, 30))
    checks.check("a balloon at the tray icon tells of the alert",
                 wait_for(lambda: desktop.count(BALLOON_CLASS, "-") != "0", 15))
    desktop.shot("status_alert_balloon.png")  # its title and first line
    desktop.drive("command", STATUS)
    shown = run.status_text("Предупреждение с ")
    text = lines_of(shown)
    checks.check("the alert's lines end with CR LF in the window too", text is not None, repr(shown))
    text = text or shown
    desktop.shot("status_window_alert.png")
    checks.check("the window shows the open alert", re.search(r"^Предупреждение с .+: .+$", text, re.M) is not None,
                 text)
    checks.check("the alert replaces the line that there are none", "Открытых предупреждений нет" not in text, text)
    checks.check("the queue's message is still counted after the restart", "Очередь: сообщений 1," in text, text)
    written = status_file(run.work) or {}
    checks.check("quelma.status holds the open alert", bool(written.get("alerts")), json.dumps(written)[:500])
    checks.check("the second run ends with 0", run.stop())


def main():
    exe, driver = sys.argv[1], sys.argv[2]
    checks = Checks()
    desktop = WineDesktop(exe, driver, sys.argv[3], 140)
    work = tempfile.mkdtemp(prefix="quelma-status-")
    try:
        run = Run(desktop, exe, work)
        check_first_start(checks, desktop, run, built_version(exe))
        check_disk_alert(checks, desktop, run)
    finally:
        desktop.stop()
        shutil.rmtree(work, ignore_errors=True)
    return checks.result()


if __name__ == "__main__":
    sys.exit(main())
