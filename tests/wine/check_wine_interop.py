#!/usr/bin/env python3
""""Проверить настройки" of quelma.exe under Wine: the menu command opens the report window
without blocking the main window, and the report shows a line per step for the provider's SMTP
server, a good POP3 account and one with a wrong password (played on 127.0.0.1), and the local
side, whose ports are held by the running program itself."""
import os
import shutil
import socketserver
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "interop"))
from wine_desktop import WineDesktop, program_directory, wait_port  # noqa: E402
from quelma_process import Checks, account_port, free_port, scramble  # noqa: E402

REPORT_CLASS, REPORT_TITLE, REPORT_EDIT = "QuelmaSettingsCheck", "Проверка настроек", "1"
CHECK_SETTINGS = "40017"


class Provider(socketserver.ThreadingTCPServer):
    """A provider that answers line by line: POP3 takes ivan/secret, SMTP any AUTH PLAIN."""
    allow_reuse_address = True
    daemon_threads = True

    def __init__(self, port, pop3):
        self.pop3, self.commands = pop3, []
        super().__init__(("127.0.0.1", port), Handler)
        threading.Thread(target=self.serve_forever, daemon=True).start()


class Handler(socketserver.StreamRequestHandler):
    def handle(self):
        pop3 = self.server.pop3
        self.wfile.write(b"+OK ready\r\n" if pop3 else b"220 smtp.test ESMTP\r\n")
        user = b""
        for _ in range(20):
            line = self.rfile.readline(1000)
            if not line:
                return
            word = line.split(b" ")[0].strip().upper()
            self.server.commands.append(word)
            if pop3:
                if word == b"USER":
                    user = line.split(b" ", 1)[1].strip()
                    reply = b"+OK\r\n"
                elif word == b"PASS":
                    good = user == b"ivan" and line.split(b" ", 1)[1].strip() == b"secret"
                    reply = b"+OK logged in\r\n" if good else b"-ERR [AUTH] invalid password\r\n"
                elif word == b"CAPA":
                    reply = b"+OK\r\nUSER\r\nUIDL\r\n.\r\n"
                else:
                    reply = b"+OK bye\r\n" if word == b"QUIT" else b"-ERR\r\n"
            else:
                replies = {b"EHLO": b"250-smtp.test\r\n250 AUTH PLAIN\r\n", b"AUTH": b"235 ok\r\n", b"QUIT": b"221 bye\r\n"}
                reply = replies.get(word, b"500 no\r\n")
            self.wfile.write(reply)
            if word == b"QUIT":
                return


def main():
    exe, driver = sys.argv[1], sys.argv[2]
    checks = Checks()
    desktop = WineDesktop(exe, driver, sys.argv[3], 120)
    work = tempfile.mkdtemp(prefix="quelma-check-")
    pop3_provider, smtp_provider = Provider(account_port(), True), Provider(account_port(), False)
    try:
        smtp, pop3 = free_port(), free_port()
        port = pop3_provider.server_address[1]
        cfg = program_directory(exe, work) + [
            "LocalDomain = office.ru", "PostMaster = postmaster", "Daemon = daemon",
            "POP3_SRV_PORT = %d" % pop3, "SMTP_SRV_PORT = %d" % smtp, "IMAP_SRV_PORT = 0", "SMTPServer = 127.0.0.1",
            "SMTPSport = %d" % smtp_provider.server_address[1], "SMTP_USES_LOGIN = 1",
            "SMTP_LOGIN_NAME = office", "SMTP_LOGIN_PASS = %s" % scramble("smtp-secret"),
            "[Users]", "postmaster pm ; ", "daemon dm ; ", "ivanov iv ; ",
            "[POP3accounts]", "127.0.0.1 ivan ; %s-%d-0-*" % (scramble("secret"), port),
            "127.0.0.1 ivan ; %s-%d-0-*" % (scramble("wrong"), port)]
        with open(os.path.join(work, "quelma.cfg"), "wb") as f:
            f.write("\r\n".join(cfg + [""]).encode("cp1251"))
        desktop.start(os.path.join(work, "quelma.exe"), cwd=work)
        checks.check("quelma.exe runs", wait_port(smtp))

        desktop.drive("command", CHECK_SETTINGS)
        opened = desktop.drive("wait", REPORT_CLASS, REPORT_TITLE).returncode == 0
        checks.check("Проверить настройки opens the report window", opened)
        report = ""
        for _ in range(120):  # the check ends within seconds: every peer is on 127.0.0.1
            report = desktop.answer("window-text", REPORT_CLASS, REPORT_TITLE, REPORT_EDIT)
            if "Итог:" in report:
                break
            time.sleep(0.5)
        desktop.shot("settings_check.png")
        checks.check("the report is complete", "Итог:" in report, report[-500:])
        checks.check("the main window answers while and after the check runs",
                     desktop.answer("visible") in ("0", "1"))
        lines = report.splitlines()
        for step in ("Поиск адреса", "Соединение", "Приветствие", "Возможности", "Вход"):
            checks.check("the report has step lines for " + step,
                         sum(1 for line in lines if line.strip().endswith("] " + step)) == 3, report)
        checks.check("the good account and the SMTP login pass",
                     report.count("[ OK ] Вход") == 2, report)
        checks.check("the wrong password fails the second account's login with the dialog's field as its hint",
                     "[СБОЙ] Вход" in report
                     and 'в окне "Настройки > Связь": счет 1, кнопка "Изменить", поля "Пароль"' in report, report)
        checks.check("no hint of the Windows window names a Linux command",
                     "quelma set-password" not in report and "quelma config" not in report
                     and "quelma oauth" not in report, report)
        checks.check("the program's own ports pass as held by it",
                     report.count("занят работающей программой quelma") == 2, report)
        checks.check("no mail was fetched or sent",
                     not set(pop3_provider.commands) & {b"STAT", b"LIST", b"UIDL", b"RETR", b"DELE"}
                     and not set(smtp_provider.commands) & {b"MAIL", b"RCPT", b"DATA"},
                     repr(pop3_provider.commands + smtp_provider.commands))
    finally:
        desktop.stop()
        pop3_provider.shutdown()
        smtp_provider.shutdown()
        shutil.rmtree(work, ignore_errors=True)
    return checks.result()


if __name__ == "__main__":
    sys.exit(main())
