#!/usr/bin/env python3
"""The settings dialogs of quelma.exe under Wine, driven through their controls as a user would:
each opened from its menu command, edited, confirmed with OK (quelma.cfg and sorter.cfg hold the
edits) and, once more, ended with Cancel (both files stay as they were byte for byte). While one
dialog is open no second one opens. Screenshots of every dialog reachable here are kept."""
import os
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "interop"))
from wine_desktop import WineDesktop, wait_port  # noqa: E402
from quelma_process import Checks, free_port, scramble  # noqa: E402

SERVERS, USER = "Настройки серверов POP3/SMTP", "Пользователь"
COMMUNICATION, LOGIN, ACCOUNT = "Настройки связи", "Параметры аутентификации SMTP", "Учетная запись POP3 клиента"
SORTER, RULE, UNSORTED = "Правила сортировщика", "Создать/изменить запись сортировщика", \
    "Выбор получателей нерассортированной почты"
SCHEDULER, DAY = "Планировщик сеансов связи", "Расписание сеансов связи"
OK, CANCEL = "1", "2"

USERS = ["postmaster pm ; ", "daemon  ; ", "ivanov iv ; i.ivanov@provider.ru", "petrova pe ; a.petrova@provider.ru",
         "director di ; director@provider.ru"]
SORTER_CFG = ("\r\nTo\r\nsales@office.ru\r\nivanov,petrova\r\n0\r\n"
              "\r\nSubject\r\nсчёт\r\npetrova,buh@partner.ru\r\n1\r\n").encode("cp1251")


def main():
    exe, driver = sys.argv[1], sys.argv[2]
    checks = Checks()
    desktop = WineDesktop(exe, driver, sys.argv[3], 80)
    drive, shot = desktop.drive, desktop.shot
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
               "POP3_SRV_PORT = %d" % pop3, "SMTP_SRV_PORT = %d" % smtp, "SMTPServer = 127.0.0.1",
               "[Users]"] + USERS + ["[POP3accounts]",
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
        fill(SERVERS, [(1966, "64"), (1903, "Office.RU")])
        shot("dialog_servers.png")
        drive("click", SERVERS, OK)
        done = closed(SERVERS)
        lines = cfg_lines()
        checks.check("OK saves the servers dialog's edits",
                     done and "sidorov pw ; s.sidorov@provider.ru" in lines and "Boss = ivanov" in lines
                     and "LogFileSize = 64" in lines and "LocalDomain = office.ru" in lines, "\n".join(lines))

        delete_then_cancel("40008", SERVERS, "1904", "5", "1907")

        # Communication: the provider's SMTP server, its login and one more account.
        checks.check("40012 opens the communication dialog", opened("40012", COMMUNICATION))
        fill(COMMUNICATION, [(1913, "smtp.provider.ru"), (1928, "2525")])
        drive("click", COMMUNICATION, "1001")
        drive("wait", "#32770", LOGIN)
        drive("click", LOGIN, "1003")
        fill(LOGIN, [(1000, "office"), (1001, "smtp-secret"), (1002, "smtp-secret")])
        shot("dialog_smtp_login.png")
        drive("click", LOGIN, OK)
        closed(LOGIN)
        drive("click", COMMUNICATION, "1101")
        drive("wait", "#32770", ACCOUNT)
        fill(ACCOUNT, [(1104, "pop2.provider.ru"), (1105, "petrova"), (1106, "pw2"), (1107, "pw2"), (1108, "995")])
        drive("select", ACCOUNT, "1983", "3")  # "* Сортировщик", postmaster, ivanov, petrova, ...
        drive("click", ACCOUNT, "1027")
        shot("dialog_account.png")
        drive("click", ACCOUNT, OK)
        closed(ACCOUNT)
        shot("dialog_communication.png")
        drive("click", COMMUNICATION, OK)
        done = closed(COMMUNICATION)
        lines = cfg_lines()
        account = "pop2.provider.ru petrova ; %s-995-1-petrova" % scramble("pw2")
        checks.check("OK saves the communication dialog's edits",
                     done and "SMTPServer = smtp.provider.ru" in lines and "SMTPSport = 2525" in lines
                     and "SMTP_USES_LOGIN = 1" in lines and "SMTP_LOGIN_NAME = office" in lines and account in lines,
                     "\n".join(lines))

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
                     done and "\r\nFrom\r\nboss@partner.ru\r\ndirector,archive@office-backup.ru\r\n1\r\n" in sorter
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
        shutil.rmtree(work, ignore_errors=True)
    return checks.result()


if __name__ == "__main__":
    sys.exit(main())
