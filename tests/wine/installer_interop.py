#!/usr/bin/env python3
"""quelma-setup.exe under Wine, as an administrator would use it without looking: a silent
install to a folder of one's choice, the files, the Start-menu shortcuts, the Add/Remove
Programs entry and the Run value; a logon that starts quelma.exe in the tray from that value,
serving SMTP and POP3 from its data folder; two silent upgrades over the running copy, which
ends by itself with 0 and keeps every mail and setting; a silent uninstall that removes the
program and its registry entries and keeps the mail; a new install that finds it again, and an
uninstall told to remove it.

Runs in a Wine prefix of its own (build/windows/wine-setup), so that nothing installed here,
least of all the Run value, reaches the prefix the other Wine checks share. With --long (by
hand, 80 s more) also a copy that never ends, which the installer must give up on.

    installer_interop.py build/windows/quelma-setup.exe build/windows/tests/window_driver.exe SHOTS [--long]"""
import os
import poplib
import re
import shutil
import smtplib
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "interop"))
from quelma_process import Checks, free_port  # noqa: E402
from wine_desktop import ENV, WineDesktop, port_closed, wait_for, wait_port  # noqa: E402

PRODUCT = "Quelmar Mail Server"
PROGRAM = r"C:\Mail Server Test"  # a blank in it, as in "Program Files"
DATA = r"C:\ProgramData\Quelmar Mail Server"
PRODUCT_KEY = r"HKLM\Software\Quelmar Mail Server"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quelmar Mail Server"
RUN_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Run"
START_MENU = r"C:\ProgramData\Microsoft\Windows\Start Menu\Programs\Quelmar Mail Server"
SHORTCUTS = {PRODUCT + ".lnk", "Справка " + PRODUCT + ".lnk", "Почта и настройки.lnk", "Удалить " + PRODUCT + ".lnk"}
RUN_LINE = r'"%s\quelma.exe" /tray /dir "%s"' % (PROGRAM, DATA)
HELP = ("HH Parent", PRODUCT)


def version():
    rc = open(os.path.join(os.path.dirname(__file__), "..", "..", "resources", "quelma.rc"), encoding="utf-8").read()
    return re.search(r'VALUE "ProductVersion", "([0-9.]+)"', rc).group(1)


def unix(windows_path):
    return os.path.join(ENV["WINEPREFIX"], "drive_c", *windows_path[3:].split("\\"))


def wine(*args, timeout=180):
    """Runs a Windows program to its end; what it prints is in `stdout`. Wine joins its
    arguments with blanks, quoting those that hold one; NSIS wants "/D=" and "_?=" unquoted at
    the end, so their paths are handed over as separate words. The output goes through a file:
    Wine's services, started by the first program, would keep a pipe open for the whole run."""
    with tempfile.TemporaryFile() as out:
        done = subprocess.run(["wine"] + list(args), env=ENV, stdout=out, stderr=subprocess.DEVNULL, timeout=timeout)
        out.seek(0)
        done.stdout = out.read()
    return done


def words(option, path):
    first, *rest = path.split(" ")
    return [option + first] + rest


def reg_values(key):
    out = wine("reg", "query", key, timeout=60).stdout.decode("utf-8", "replace")
    values = {}
    for line in out.splitlines():
        match = re.match(r"^\s+(.*?)\s{4}(REG_\w+)\s{4}(.*)$", line)
        if match:
            name, kind, value = match.groups()
            values[name] = int(value, 16) if kind == "REG_DWORD" else value
    return values


def reg_delete(key, value=None):
    wine("reg", "delete", key, *(["/v", value] if value else []), "/f", timeout=60)


def servers_closed(smtp, pop3):
    return port_closed(smtp) and port_closed(pop3)


def collect(port, user, password):
    """The texts in the maildrop, read without deleting them."""
    box = poplib.POP3("127.0.0.1", port, timeout=20)
    box.user(user)
    box.pass_(password)
    texts = [b"\r\n".join(box.retr(i + 1)[1]) for i in range(len(box.list()[1]))]
    box.rset()
    box.quit()
    return texts


def write_settings(smtp, pop3):
    """quelma.cfg in the data folder, written before the first start with test ports and the
    maildrop and queue where a first start puts them (quelma.cfg writes blanks as bars)."""
    data = DATA.replace(" ", "|")
    cfg = ["[Parameters]", "MailDropDir = %s\\maildrop\\" % data, "QueueDir = %s\\queue\\" % data,
           "LocalDomain = office.ru", "PostMaster = postmaster", "Daemon = daemon",
           "LogFileSize = 64", "POP3_SRV_PORT = %d" % pop3, "SMTP_SRV_PORT = %d" % smtp, "IMAP_SRV_PORT = 0",
           "[Users]", "postmaster pm ; ", "daemon  ; ", "ivan iv ; "]
    os.makedirs(unix(DATA), exist_ok=True)
    with open(os.path.join(unix(DATA), "quelma.cfg"), "wb") as f:
        f.write("\r\n".join(cfg + [""]).encode("cp1251"))


def mail_kept():
    """ivan's maildrop file in the data folder holds the message."""
    maildrop = os.path.join(unix(DATA), "maildrop")
    files = [os.path.join(maildrop, n) for n in os.listdir(maildrop)] if os.path.isdir(maildrop) else []
    return any(os.path.isfile(f) and b"kept across upgrades" in open(f, "rb").read() for f in files)


def clean_prefix():
    """What an earlier, interrupted run may have left in the kept prefix."""
    for path in (PROGRAM, DATA, START_MENU):
        shutil.rmtree(unix(path), ignore_errors=True)
    reg_delete(RUN_KEY, PRODUCT)
    reg_delete(UNINSTALL_KEY)
    reg_delete(PRODUCT_KEY)


def stuck_copy(checks, desktop, install):
    """A copy that never ends (its mutex held, no window to ask): the installer waits its 75
    seconds, then a silent one gives up with 2 and installs nothing. By hand only (--long)."""
    holder = desktop.start(desktop.driver, "hold-mutex", "Quelmar_mailserver_running", "150")
    time.sleep(3)  # the mutex exists before the installer looks
    result = install()
    checks.check("a copy that does not end: the silent installer gives up with 2 and installs nothing",
                 result == 2 and not os.path.exists(os.path.join(unix(PROGRAM), "quelma.exe")) and
                 not reg_values(UNINSTALL_KEY), str(result))
    holder.kill()


def main():
    setup, driver = sys.argv[1], sys.argv[2]
    checks = Checks()
    # A copy of the prefix the GUI checks made takes seconds; a new one, half a minute.
    here = os.path.dirname(os.path.abspath(setup))
    shared, own = os.path.join(here, "wine-gui"), os.path.join(here, "wine-setup")
    if not os.path.exists(os.path.join(own, "system.reg")) and os.path.exists(os.path.join(shared, "system.reg")):
        shutil.rmtree(own, ignore_errors=True)
        subprocess.run(["cp", "-a", shared, own], check=False)
    desktop = WineDesktop(setup, driver, sys.argv[3], 120, prefix="wine-setup")
    # One wineserver for the whole run: between two short "wine reg" calls it would otherwise
    # end, and each call would wait for Wine to start again.
    subprocess.run(["wineserver", "-p"], env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
    answer = desktop.answer
    smtp, pop3 = free_port(), free_port()
    settings = os.path.join(unix(DATA), "quelma.cfg")

    def install(*options):
        return wine(setup, "/S", *options, *words("/D=", PROGRAM)).returncode

    def start_from_shortcut():
        return desktop.start(PROGRAM + r"\quelma.exe", "/dir", DATA)

    try:
        clean_prefix()
        checks.check("a silent install to the chosen folder ends with 0", install() == 0)
        program_files = sorted(os.listdir(unix(PROGRAM))) if os.path.isdir(unix(PROGRAM)) else []
        checks.check("the program folder holds quelma.exe, quelma.chm and the uninstaller",
                     program_files == ["Uninstall.exe", "quelma.chm", "quelma.exe"], str(program_files))
        checks.check("the data folder is made and left empty", os.path.isdir(unix(DATA)) and not os.listdir(unix(DATA)))
        shortcuts = set(os.listdir(unix(START_MENU))) if os.path.isdir(unix(START_MENU)) else set()
        checks.check("the Start menu has the program, its help, the data folder and the uninstaller",
                     shortcuts == SHORTCUTS, str(shortcuts))
        link = open(os.path.join(unix(START_MENU), PRODUCT + ".lnk"), "rb").read() if shortcuts else b""
        checks.check("the program's shortcut starts it on the data folder",
                     ('/dir "%s"' % DATA).encode("utf-16-le") in link and b"quelma.exe" in link.replace(b"\0", b""))
        entry = reg_values(UNINSTALL_KEY)
        expected = {"DisplayName": PRODUCT, "DisplayVersion": version(), "Publisher": "Quelmar",
                    "InstallLocation": PROGRAM, "UninstallString": '"%s\\Uninstall.exe"' % PROGRAM,
                    "QuietUninstallString": '"%s\\Uninstall.exe" /S' % PROGRAM, "NoModify": 1, "NoRepair": 1}
        checks.check("the Add/Remove Programs entry", all(entry.get(k) == v for k, v in expected.items()) and
                     1000 < entry.get("EstimatedSize", 0) < 20000, str(entry))
        run = reg_values(RUN_KEY)
        checks.check("the Run value starts quelma.exe in the tray on the data folder",
                     run.get(PRODUCT) == RUN_LINE, str(run))

        # A logon: wineboot starts what the Run value names.
        write_settings(smtp, pop3)
        desktop.start("wineboot")
        serving = wait_port(smtp) and wait_port(pop3)
        checks.check("at logon quelma.exe starts from the Run value in the tray only",
                     serving and wait_for(lambda: answer("visible") == "0", 10), answer("visible"))
        with smtplib.SMTP("127.0.0.1", smtp, timeout=20) as s:
            s.sendmail("postmaster@office.ru", ["ivan@office.ru"],
                       b"Subject: installed\r\n\r\nkept across upgrades\r\n")
        mail = collect(pop3, "ivan", "iv")
        checks.check("the installed program takes mail in and hands it out",
                     len(mail) == 1 and b"kept across upgrades" in mail[0], str(mail))
        checks.check("the maildrop is in the data folder", mail_kept())
        settings_before = open(settings, "rb").read()

        # Upgrade over the copy the logon started: it is asked to end and does.
        result = install()
        checks.check("an upgrade over the running copy ends it and completes",
                     result == 0 and servers_closed(smtp, pop3), str(result))
        checks.check("the upgrade keeps autostart", reg_values(RUN_KEY).get(PRODUCT) == RUN_LINE)

        first = start_from_shortcut()
        serving = wait_port(smtp) and wait_port(pop3)
        checks.check("started from the shortcut, the window shows and the mail is still there",
                     serving and wait_for(lambda: answer("visible") == "1", 10) and
                     len(collect(pop3, "ivan", "iv")) == 1)
        desktop.drive("command", "40003")
        # The help viewer's first start in a fresh prefix can take Wine longer than one wait.
        checks.check("Справка finds quelma.chm beside quelma.exe, not in the data folder",
                     wait_for(lambda: desktop.drive("wait", *HELP).returncode == 0, 40))
        desktop.shot("installed_help.png")
        desktop.drive("close", *HELP)

        # The user left the exit question open: the installer's request ends the copy all the same.
        desktop.drive("command", "40002")
        asked = desktop.drive("wait", "#32770", "Выход из QUELMA").returncode == 0
        result = install("/NOAUTOSTART")
        code = wait_for(lambda: first.poll() is not None, 30) and first.returncode
        checks.check("a second upgrade, the exit question open: the copy ends by itself with 0",
                     asked and result == 0 and code == 0,
                     "asked %s, installer %s, quelma.exe %s" % (asked, result, code))
        checks.check("/NOAUTOSTART takes the Run value away", PRODUCT not in reg_values(RUN_KEY))
        checks.check("upgrades leave quelma.cfg as it was", open(settings, "rb").read() == settings_before)

        wrong = desktop.start(PROGRAM + r"\quelma.exe", "/dirr", DATA)
        told = desktop.drive("wait", "#32770", PRODUCT).returncode == 0
        desktop.drive("close", "#32770", PRODUCT)
        code = wait_for(lambda: wrong.poll() is not None, 30) and wrong.returncode
        checks.check("a mistyped option is named in a message and the program ends with 1", told and code == 1,
                     "message %s, quelma.exe %s" % (told, code))

        second = start_from_shortcut()
        serving = wait_port(smtp) and wait_port(pop3)
        checks.check("after the upgrades the mail is still there",
                     serving and len(collect(pop3, "ivan", "iv")) == 1)
        result = wine(PROGRAM + r"\Uninstall.exe", "/S", *words("_?=", PROGRAM)).returncode
        code = wait_for(lambda: second.poll() is not None, 30) and second.returncode
        checks.check("a silent uninstall over the running copy ends it with 0 and completes",
                     result == 0 and code == 0, "uninstaller %s, quelma.exe %s" % (result, code))
        left = sorted(os.listdir(unix(PROGRAM))) if os.path.isdir(unix(PROGRAM)) else []
        checks.check("the program is gone", not {"quelma.exe", "quelma.chm"} & set(left), str(left))
        checks.check("the shortcuts, the Run value and the registry entries are gone",
                     not os.path.exists(unix(START_MENU)) and not reg_values(UNINSTALL_KEY) and
                     not reg_values(PRODUCT_KEY) and PRODUCT not in reg_values(RUN_KEY))
        checks.check("the mail and quelma.cfg stay",
                     os.path.exists(settings) and open(settings, "rb").read() == settings_before and mail_kept())

        # Installed again, the program finds the kept mail; asked explicitly, the uninstaller
        # takes the data folder too.
        third = install() == 0 and start_from_shortcut()
        serving = third and wait_port(smtp) and wait_port(pop3)
        checks.check("installed again, the kept mail is there", serving and len(collect(pop3, "ivan", "iv")) == 1)
        result = wine(PROGRAM + r"\Uninstall.exe", "/S", "/REMOVEDATA", *words("_?=", PROGRAM)).returncode
        code = third and wait_for(lambda: third.poll() is not None, 30) and third.returncode
        checks.check("a silent uninstall with /REMOVEDATA removes the data folder as well",
                     result == 0 and code == 0 and not os.path.exists(unix(DATA)),
                     "uninstaller %s, quelma.exe %s" % (result, code))
        if "--long" in sys.argv:
            stuck_copy(checks, desktop, install)
    finally:
        desktop.stop()
        for path in (PROGRAM, DATA):
            shutil.rmtree(unix(path), ignore_errors=True)
    return checks.result()


if __name__ == "__main__":
    sys.exit(main())
