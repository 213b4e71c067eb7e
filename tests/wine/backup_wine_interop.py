#!/usr/bin/env python3
""""Резервная копия..." of quelma.exe under Wine: the menu command asks where to save, takes the
backup while the servers run, and shows its outcome in a report window; the archive holds the
mail handed in and is read by GNU tar. "Восстановить из копии..." asks for the archive first."""
import os
import shutil
import smtplib
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "interop"))
from wine_desktop import WineDesktop, program_directory, wait_port  # noqa: E402
from quelma_process import Checks, free_port  # noqa: E402

BACKUP, RESTORE = "40018", "40019"
REPORT_CLASS, REPORT_TITLE, REPORT_EDIT = "QuelmaBackup", "Резервная копия", "1"
FILE_NAME, OK, CANCEL = "1148", "1", "2"  # the file dialog's name field and buttons


def main():
    exe, driver = sys.argv[1], sys.argv[2]
    checks = Checks()
    desktop = WineDesktop(exe, driver, sys.argv[3], 130)
    work = tempfile.mkdtemp(prefix="quelma-backup-")
    try:
        smtp, pop3 = free_port(), free_port()
        cfg = program_directory(exe, work) + [
            "LocalDomain = office.ru", "PostMaster = postmaster", "Daemon = daemon",
            "POP3_SRV_PORT = %d" % pop3, "SMTP_SRV_PORT = %d" % smtp, "IMAP_SRV_PORT = 0",
            "[Users]", "postmaster pm ; ", "daemon dm ; ", "ivanov iv ; "]
        with open(os.path.join(work, "quelma.cfg"), "wb") as f:
            f.write("\r\n".join(cfg + [""]).encode("cp1251"))
        desktop.start(os.path.join(work, "quelma.exe"), cwd=work)
        checks.check("quelma.exe runs", wait_port(smtp))
        with smtplib.SMTP("127.0.0.1", smtp) as s:
            for i in range(5):
                s.sendmail("a@example.org", ["ivanov@office.ru"], "Subject: kept %d\r\n\r\ntext\r\n" % i)

        archive = os.path.join(work, "office.tar")
        desktop.drive("command", BACKUP)
        asked = desktop.drive("set-text", "-", FILE_NAME, "Z:" + archive.replace("/", "\\")).returncode == 0
        checks.check("Резервная копия asks where to save the archive", asked)
        desktop.shot("backup_save.png")
        desktop.drive("click", "-", OK)
        report = ""
        for _ in range(60):
            report = desktop.answer("window-text", REPORT_CLASS, REPORT_TITLE, REPORT_EDIT)
            if "записана" in report or "не сделана" in report:
                break
            time.sleep(0.5)
        desktop.shot("backup_report.png")
        checks.check("the report window says the backup is written", "Резервная копия записана в" in report, report)
        listed = subprocess.run(["tar", "tf", archive], capture_output=True, text=True)
        checks.check("GNU tar reads the archive, the maildrop in it", "maildrop/ivanov" in listed.stdout.split(),
                     listed.stdout[:300] + listed.stderr)
        unpacked = subprocess.run(["tar", "xOf", archive, "maildrop/ivanov"], capture_output=True)
        checks.check("the maildrop in it holds the mail handed in",
                     all(b"Subject: kept %d\r\n" % i in unpacked.stdout for i in range(5)))

        desktop.drive("command", RESTORE)
        asked = desktop.drive("set-text", "-", FILE_NAME, "x").returncode == 0
        checks.check("Восстановить из копии asks for the archive", asked)
        desktop.drive("click", "-", CANCEL)
        checks.check("the main window answers afterwards", desktop.answer("visible") in ("0", "1"))
    finally:
        desktop.stop()
        shutil.rmtree(work, ignore_errors=True)
    return checks.result()


if __name__ == "__main__":
    sys.exit(main())
