#!/usr/bin/env python3
"""The settings dialogs of quelma.exe under Wine, driven through their controls as a user would:
each opened from its menu command, edited, confirmed with OK (quelma.cfg and sorter.cfg hold the
edits) and, once more, ended with Cancel (both files stay as they were byte for byte). While one
dialog is open no second one opens. A provider preset fills an account; a first OAuth login by
device code runs against a token endpoint on 127.0.0.1. Screenshots of every dialog reachable
here are kept."""
import http.server
import json
import os
import shutil
import sys
import tempfile
import threading
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "interop"))
from wine_desktop import WineDesktop, wait_for, wait_port  # noqa: E402
from quelma_process import Checks, free_port, scramble  # noqa: E402

SERVERS, USER = "Настройки серверов POP3/SMTP", "Пользователь"
COMMUNICATION, LOGIN, ACCOUNT = "Настройки связи", "Параметры аутентификации SMTP", "Учетная запись POP3 клиента"
SORTER, RULE, UNSORTED = "Правила сортировщика", "Создать/изменить запись сортировщика", \
    "Выбор получателей нерассортированной почты"
SCHEDULER, DAY = "Планировщик сеансов связи", "Расписание сеансов связи"
DEVICE, OAUTH_BOX = "Вход OAuth 2.0: код устройства", "Вход OAuth"
OK, CANCEL = "1", "2"

USERS = ["postmaster pm ; ", "daemon  ; ", "ivanov iv ; i.ivanov@provider.ru", "petrova pe ; a.petrova@provider.ru",
         "director di ; director@provider.ru"]
SORTER_CFG = ("\r\nTo\r\nsales@office.ru\r\nivanov,petrova\r\n0\r\n"
              "\r\nSubject\r\nсчёт\r\npetrova,buh@partner.ru\r\n1\r\n").encode("cp1251")


class DeviceEndpoint:
    """An identity platform's device flow on 127.0.0.1 (plain HTTP, which the program allows to
    this computer only): each device code is pending until the test agrees to the first one."""

    def __init__(self):
        self.agreed, self.codes, self.forms = threading.Event(), 0, []
        endpoint = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                form = urllib.parse.parse_qs(self.rfile.read(int(self.headers["Content-Length"])).decode())
                endpoint.forms.append((self.path, form))
                status, reply = endpoint.answer(self.path, form)
                body = json.dumps(reply).encode()
                self.send_response(status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def answer(self, path, form):
        if path == "/device":
            self.codes += 1
            return 200, {"device_code": "dev-%d" % self.codes, "user_code": "QWER-%04d" % self.codes,
                         "verification_uri": "http://127.0.0.1:%d/verify" % self.port, "expires_in": 600, "interval": 1}
        if path == "/token" and form.get("device_code") == ["dev-1"] and self.agreed.is_set():
            return 200, {"access_token": "at-lab", "refresh_token": "rt-lab-secret", "expires_in": 3600,
                         "token_type": "Bearer"}
        return 400, {"error": "authorization_pending"}

    def stop(self):
        self.server.shutdown()


def main():
    exe, driver = sys.argv[1], sys.argv[2]
    checks = Checks()
    desktop = WineDesktop(exe, driver, sys.argv[3], 80)
    drive, shot = desktop.drive, desktop.shot
    endpoint = DeviceEndpoint()
    work = tempfile.mkdtemp(prefix="quelma-dialogs-")
    cfg_path, sorter_path = os.path.join(work, "quelma.cfg"), os.path.join(work, "sorter.cfg")

    def opened(command, title):
        drive("command", command)
        return drive("wait", "#32770", title).returncode == 0

    def fill(title, fields):
        for control, text in fields:
            drive("set-text", title, str(control), text)

    def count(title):
        return desktop.count("#32770", title)

    def text(title, control):
        return desktop.answer("text", title, str(control))

    def closed(title):
        for _ in range(50):
            if count(title) == "0":
                return True
            time.sleep(0.2)
        return False

    def files():
        return open(cfg_path, "rb").read(), open(sorter_path, "rb").read()

    def cfg_lines():
        return open(cfg_path, "rb").read().decode("cp1251").split("\r\n")

    def delete_then_cancel(command, title, row_list, row, delete_button):
        """Deletes a row (answering Да), then leaves with Cancel: both files stay as they were."""
        before = files()
        opened(command, title)
        drive("select", title, row_list, row)
        drive("click", title, delete_button)
        drive("answer", "Удаление", "yes")
        time.sleep(1)
        drive("click", title, CANCEL)
        checks.check("Cancel leaves the files as they were", closed(title) and files() == before)

    try:
        shutil.copy(exe, work)
        if os.path.exists(os.path.join(os.path.dirname(exe), "quelma.chm")):
            shutil.copy(os.path.join(os.path.dirname(exe), "quelma.chm"), work)
        for sub in ("maildrop", "queue"):
            os.makedirs(os.path.join(work, sub))
        smtp, pop3 = free_port(), free_port()
        windows = "Z:" + work.replace("/", "\\")
        cfg = ["[Parameters]", "MailDropDir = %s\\maildrop\\" % windows, "QueueDir = %s\\queue\\" % windows,
               "LocalDomain = office.ru", "PostMaster = postmaster", "Daemon = daemon", "LogFileSize = 16",
               "POP3_SRV_PORT = %d" % pop3, "SMTP_SRV_PORT = %d" % smtp, "IMAP_SRV_PORT = 0", "SMTPServer = 127.0.0.1",
               "OAUTH_LAB_TOKEN_URL = http://127.0.0.1:%d/token" % endpoint.port,
               "OAUTH_LAB_DEVICE_URL = http://127.0.0.1:%d/device" % endpoint.port,
               "OAUTH_LAB_CLIENT_ID = quelma-test", "[Users]"] + USERS + ["[POP3accounts]",
                                     "pop.provider.ru office ; %s-110-0-*" % scramble("secret"),
                                     "pop.provider.ru ivanov ; %s-110-1-ivanov" % scramble("secret2")]
        with open(cfg_path, "wb") as f:
            f.write("\r\n".join(cfg + [""]).encode("cp1251"))
        with open(sorter_path, "wb") as f:
            f.write(SORTER_CFG)
        program = desktop.start(os.path.join(work, "quelma.exe"), cwd=work)
        checks.check("quelma.exe runs", wait_port(smtp))

        # Servers and users: a new user, the boss role, log size and domain; then OK.
        checks.check("40008 opens the servers dialog", opened("40008", SERVERS))
        drive("command", "40013")
        time.sleep(1)
        checks.check("no second dialog while one is open", count(SORTER) == "0" and count(SERVERS) == "1")
        drive("type", "#32770", SERVERS, "112")
        checks.check("F1 in the servers dialog opens the help",
                     drive("wait", "HH Parent", "Quelmar Mail Server").returncode == 0)
        drive("close", "HH Parent", "Quelmar Mail Server")
        drive("click", SERVERS, "1905")
        drive("wait", "#32770", USER)
        fill(USER, [(1909, "Sidorov"), (1908, "pw"), (1917, "S.Sidorov@provider.ru")])
        shot("dialog_user.png")
        drive("click", USER, OK)
        closed(USER)
        drive("select", SERVERS, "1904", "2")
        drive("click", SERVERS, "1915")
        fill(SERVERS, [(1966, "64"), (1903, "Office.RU"), (2017, "1143"), (2018, "1993")])
        shot("dialog_servers.png")
        drive("click", SERVERS, OK)
        done = closed(SERVERS)
        lines = cfg_lines()
        checks.check("OK saves the servers dialog's edits",
                     done and "sidorov pw ; s.sidorov@provider.ru" in lines and "Boss = ivanov" in lines
                     and "LogFileSize = 64" in lines and "LocalDomain = office.ru" in lines
                     and "IMAP_SRV_PORT = 1143" in lines and "IMAP_SRV_TLS_PORT = 1993" in lines, "\n".join(lines))

        delete_then_cancel("40008", SERVERS, "1904", "5", "1907")

        # Communication: the provider's SMTP server, its login and one more account.
        checks.check("40012 opens the communication dialog", opened("40012", COMMUNICATION))
        fill(COMMUNICATION, [(1913, "smtp.provider.ru"), (1928, "2525")])
        drive("click", COMMUNICATION, "1001")
        drive("wait", "#32770", LOGIN)
        drive("click", LOGIN, "1003")
        fill(LOGIN, [(1000, "office"), (1001, "smtp-secret"), (1002, "smtp-secret")])
        checks.check("the SMTP login dialog offers the providers and the login methods",
                     text(LOGIN, 2025) == "Другой" and text(LOGIN, 2026) == "Пароль (CRAM-MD5, PLAIN, LOGIN)"
                     and drive("text", LOGIN, "2029").returncode == 0, text(LOGIN, 2025) + "|" + text(LOGIN, 2026))
        shot("dialog_smtp_login.png")
        drive("click", LOGIN, OK)
        closed(LOGIN)
        drive("click", COMMUNICATION, "1101")
        drive("wait", "#32770", ACCOUNT)
        fill(ACCOUNT, [(1104, "pop2.provider.ru"), (1105, "petrova"), (1106, "pw2"), (1107, "pw2"), (1108, "995"),
                       (2034, "5000"), (2036, "2048")])
        drive("select", ACCOUNT, "1983", "3")  # "* Сортировщик", postmaster, ivanov, petrova, ...
        drive("click", ACCOUNT, "1027")
        drive("click", ACCOUNT, OK)
        refused = drive("wait", "#32770", "Ошибка").returncode == 0
        shot("dialog_account_keep_refused.png")
        drive("post-command", "#32770", "Ошибка", OK)
        checks.check("OK refuses a keep of 5000 days with a message, the account dialog stays open",
                     refused and closed("Ошибка") and count(ACCOUNT) == "1")
        fill(ACCOUNT, [(2034, "14")])
        shot("dialog_account.png")
        drive("click", ACCOUNT, OK)
        closed(ACCOUNT)

        # A provider preset fills the server, TLS and login method; the login stays the user's.
        drive("click", COMMUNICATION, "1101")
        drive("wait", "#32770", ACCOUNT)
        fill(ACCOUNT, [(1105, "office@gmail.com")])
        checks.check("the account dialog offers the providers", drive("select", ACCOUNT, "2020", "1").returncode == 0)
        filled = wait_for(lambda: text(ACCOUNT, 1104) == "pop.gmail.com", 10)
        checks.check("Gmail fills the server, port and login method",
                     filled and text(ACCOUNT, 1108) == "995" and text(ACCOUNT, 2021) == "OAuth 2.0: XOAUTH2"
                     and text(ACCOUNT, 2022) == "google" and "POP" in text(ACCOUNT, 2023)
                     and text(ACCOUNT, 1105) == "office@gmail.com",
                     "|".join(text(ACCOUNT, c) for c in (1104, 1108, 2021, 2022, 2023, 1105)))
        drive("click", ACCOUNT, "2035")  # keep "всегда"
        shot("dialog_account_gmail.png")
        drive("click", ACCOUNT, OK)
        closed(ACCOUNT)

        # The first OAuth login of an account whose platform quelma.cfg defines: the code shown,
        # agreed to, the refresh token sealed in oauth.tokens; a second one given up with Отмена.
        drive("click", COMMUNICATION, "1101")
        drive("wait", "#32770", ACCOUNT)
        fill(ACCOUNT, [(1104, "pop.lab.test"), (1105, "ivan")])
        drive("select", ACCOUNT, "2004", "2")
        drive("select", ACCOUNT, "2021", "1")
        fill(ACCOUNT, [(2022, "lab")])
        time.sleep(0.5)
        drive("click", ACCOUNT, "2024")
        shown = drive("wait", "#32770", DEVICE).returncode == 0 and wait_for(lambda: text(DEVICE, 2031) == "QWER-0001", 30)
        checks.check("Вход OAuth shows the device code and the address",
                     shown and text(DEVICE, 2030) == "http://127.0.0.1:%d/verify" % endpoint.port, text(DEVICE, 2031))
        shot("dialog_oauth_device.png")
        endpoint.agreed.set()
        told = drive("wait", "#32770", OAUTH_BOX).returncode == 0
        tokens = os.path.join(work, "oauth.tokens")
        sealed = open(tokens, "rb").read() if os.path.exists(tokens) else b""
        checks.check("the agreed login keeps its refresh token in oauth.tokens, sealed",
                     told and closed(DEVICE) and sealed and b"rt-lab-secret" not in sealed
                     and endpoint.forms[0][1].get("client_id") == ["quelma-test"], str(endpoint.forms[:1]))
        shot("dialog_oauth_done.png")
        drive("post-command", "#32770", OAUTH_BOX, OK)
        closed(OAUTH_BOX)
        drive("click", ACCOUNT, "2024")
        shown = drive("wait", "#32770", DEVICE).returncode == 0 and wait_for(lambda: text(DEVICE, 2031) == "QWER-0002", 30)
        drive("click", DEVICE, CANCEL)
        checks.check("Отмена ends the login without a box and without a token",
                     shown and closed(DEVICE) and count(OAUTH_BOX) == "0" and open(tokens, "rb").read() == sealed)
        drive("click", ACCOUNT, OK)
        closed(ACCOUNT)
        shot("dialog_communication.png")
        drive("click", COMMUNICATION, OK)
        done = closed(COMMUNICATION)
        lines = cfg_lines()
        account = "pop2.provider.ru petrova ; %s-995-1-petrova keep=14 maxsize=2048" % scramble("pw2")
        checks.check("OK saves the communication dialog's edits",
                     done and "SMTPServer = smtp.provider.ru" in lines and "SMTPSport = 2525" in lines
                     and "SMTP_USES_LOGIN = 1" in lines and "SMTP_LOGIN_NAME = office" in lines and account in lines,
                     "\n".join(lines))
        checks.check("and the OAuth accounts with their login method and platform",
                     "pop.gmail.com office@gmail.com ; -995-0-* tls=ssl auth=xoauth2 oauth=google keep=forever" in lines
                     and "pop.lab.test ivan ; -995-0-* tls=ssl auth=xoauth2 oauth=lab" in lines, "\n".join(lines))

        delete_then_cancel("40012", COMMUNICATION, "1100", "0", "1103")

        # Sorter: a new rule with a user and a forwarding address, and the unsorted-mail recipients.
        checks.check("40013 opens the sorter dialog", opened("40013", SORTER))
        drive("click", SORTER, "1919")
        drive("wait", "#32770", RULE)
        fill(RULE, [(1018, "From"), (1922, "boss@partner.ru"), (1025, "archive@office-backup.ru")])
        drive("click", RULE, "1026")
        time.sleep(0.5)
        drive("select", RULE, "1923", "0")  # sorted: director first
        drive("click", RULE, "1925")
        drive("click", RULE, "1016")
        drive("click", RULE, "2037")  # the envelope recipients
        shot("dialog_rule.png")
        drive("click", RULE, OK)
        closed(RULE)
        drive("click", SORTER, "1020")
        drive("wait", "#32770", UNSORTED)
        drive("select", UNSORTED, "1022", "0")
        drive("click", UNSORTED, "1024")
        shot("dialog_unsorted.png")
        drive("click", UNSORTED, OK)
        closed(UNSORTED)
        shot("dialog_sorter.png")
        drive("click", SORTER, OK)
        done = closed(SORTER)
        sorter = open(sorter_path, "rb").read().decode("cp1251")
        checks.check("OK writes the rule to sorter.cfg",
                     done and "\r\nFrom\r\nboss@partner.ru\r\ndirector,archive@office-backup.ru\r\n1\r\noptions: envelope\r\n"
                     in sorter
                     and "\r\nSubject\r\nсчёт\r\n" in sorter, sorter)
        checks.check("and the unsorted-mail recipients to quelma.cfg",
                     "UNDISCLOSED_MAIL_TO = director" in cfg_lines(), "\n".join(cfg_lines()))

        delete_then_cancel("40013", SORTER, "1918", "0", "1921")

        # Scheduler: Tuesday 09:00 to 18:00 every 30 minutes.
        checks.check("40014 opens the scheduler dialog", opened("40014", SCHEDULER))
        drive("click", SCHEDULER, "1951")
        drive("wait", "#32770", DAY)
        fill(DAY, [(1971, "9"), (1972, "0"), (1973, "18"), (1974, "0"), (1979, "30")])
        shot("dialog_weekday.png")
        drive("click", DAY, OK)
        closed(DAY)
        shot("dialog_scheduler.png")
        drive("click", SCHEDULER, OK)
        done = closed(SCHEDULER)
        record = [line for line in cfg_lines() if line.startswith("SchedulerRecord1 ")]
        checks.check("OK saves Tuesday's timetable",
                     done and len(record) == 1 and "09:00" in record[0] and "18:00" in record[0]
                     and record[0].endswith("30"), str(record))

        before = files()
        opened("40014", SCHEDULER)
        drive("click", SCHEDULER, "1950")
        drive("wait", "#32770", DAY)
        drive("click", DAY, "1981")
        drive("click", DAY, OK)
        closed(DAY)
        drive("click", SCHEDULER, CANCEL)
        checks.check("Cancel leaves the files as they were", closed(SCHEDULER) and files() == before)

        drive("send", "1026")
        checks.check("quelma.exe ends with 1 after UM_SHUTDOWN", program.wait(timeout=60) == 1)
    finally:
        desktop.stop()
        endpoint.stop()
        shutil.rmtree(work, ignore_errors=True)
    return checks.result()


if __name__ == "__main__":
    sys.exit(main())
