#!/usr/bin/env python3
"""quelma.exe under Wine on a virtual X display: it starts with its window, status bar and
servers; a Linux-side client hands mail in over SMTP and collects it over POP3; a second copy
ends with 1; "Выход" answered "Да" ends with 0; UM_SHUTDOWN ends with 1. A screenshot of the
window is kept under build/."""
import os
import poplib
import shutil
import smtplib
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "interop"))
from quelma_process import Checks, free_port  # noqa: E402

ENV = dict(os.environ, WINEDEBUG="-all", LANG="ru_RU.UTF-8", LC_ALL="ru_RU.UTF-8")


def wait_port(port, seconds=60):
    end = time.time() + seconds
    while time.time() < end:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            time.sleep(0.2)
    return False


class Program:
    def __init__(self, exe, work):
        self.work, self.pop3, self.smtp = work, free_port(), free_port()
        shutil.copy(exe, work)
        for sub in ("maildrop", "queue"):
            os.makedirs(os.path.join(work, sub), exist_ok=True)
        cfg = ["[Parameters]", "MailDropDir = Z:%s\\maildrop\\" % work.replace("/", "\\"),
               "QueueDir = Z:%s\\queue\\" % work.replace("/", "\\"), "LocalDomain = office.ru",
               "PostMaster = postmaster", "Daemon = daemon", "POP3_SRV_PORT = %d" % self.pop3,
               "SMTP_SRV_PORT = %d" % self.smtp, "[Users]", "postmaster pm ; ", "ivan iv ; "]
        with open(os.path.join(work, "quelma.cfg"), "wb") as f:
            f.write("\r\n".join(cfg + [""]).encode("cp1251"))

    def start(self):
        return subprocess.Popen(["wine", os.path.join(self.work, "quelma.exe")], cwd=self.work, env=ENV,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def main():
    exe, driver, shots = sys.argv[1], sys.argv[2], sys.argv[3]
    checks = Checks()
    display = ":%d" % (90 + os.getpid() % 9)
    xvfb = subprocess.Popen(["Xvfb", display, "-screen", "0", "800x600x24"], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    ENV["DISPLAY"] = display
    work = tempfile.mkdtemp(prefix="quelma-wine-")

    def drive(*args):
        return subprocess.run(["wine", driver] + list(args), env=ENV, capture_output=True, timeout=60)

    try:
        time.sleep(1)
        program = Program(exe, work)
        first = program.start()
        checks.check("quelma.exe serves SMTP and POP3", wait_port(program.smtp) and wait_port(program.pop3))
        with smtplib.SMTP("127.0.0.1", program.smtp, timeout=20) as s:
            s.sendmail("postmaster@office.ru", ["ivan@office.ru"], b"Subject: from Linux\r\n\r\nhello\r\n")
        box = poplib.POP3("127.0.0.1", program.pop3, timeout=20)
        box.user("ivan")
        box.pass_("iv")
        lines = box.retr(1)[1]
        box.quit()
        checks.check("a Linux client hands mail in and collects it", b"hello" in lines)
        labels = [drive("status", str(p)).stdout.decode("utf-8", "replace").strip() for p in (0, 2)]
        checks.check("the status bar shows both client labels", labels == ["SMTP клиент", "POP3 клиент"], str(labels))
        if shutil.which("import"):
            time.sleep(1)
            subprocess.run(["import", "-display", display, "-window", "root", os.path.join(shots, "main_window.png")],
                           capture_output=True)
        second = program.start()
        checks.check("a second copy ends with 1", second.wait(timeout=60) == 1)
        drive("command", "40002")
        drive("answer", "Выход из QUELMA", "yes")
        checks.check("Выход answered Да ends with 0", first.wait(timeout=60) == 0)
        again = program.start()
        checks.check("it starts again", wait_port(program.smtp))
        drive("send", "1026")
        checks.check("UM_SHUTDOWN ends with 1", again.wait(timeout=60) == 1)
    finally:
        subprocess.run(["wineserver", "-k"], env=ENV, capture_output=True)
        xvfb.terminate()
        shutil.rmtree(work, ignore_errors=True)
    return checks.result()


if __name__ == "__main__":
    sys.exit(main())
