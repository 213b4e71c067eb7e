#!/usr/bin/env python3
"""quelma.exe under Wine on a virtual X display, driven as a user would drive it: start, mail
handed in and collected from Linux, mail read over IMAP (flags, folders, IDLE), the status bar, the exit question, the About box, help,
the tray icon and its menu, a communication session against a provider on 127.0.0.1, a second
copy, the start in the tray, both ways out, and push from Dovecot with its status bar part. Screenshots are kept in the given directory.

Runs under Debian's Python (aiosmtpd is a Debian package), in a Wine prefix of its own that
shows every window inside one virtual desktop, so window frames are drawn as on Windows."""
import asyncio
import imaplib
import os
import poplib
import shutil
import smtplib
import socket
import socketserver
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "interop"))
from imap_provider import ImapProvider  # noqa: E402
from quelma_process import Checks, account_port, free_port, scramble  # noqa: E402
from wine_desktop import ENV, WineDesktop, port_closed, wait_for, wait_port  # noqa: E402

from aiosmtpd.controller import Controller  # noqa: E402

SC_MINIMIZE, WM_LBUTTONDOWN, WM_RBUTTONDOWN, VK_ESCAPE, VK_F1 = 61472, 513, 516, 27, 112
ABOUT = ("#32770", "О программе")
HELP = ("HH Parent", "Quelmar Mail Server")


class SlowProvider:
    """The provider: an SMTP server (aiosmtpd) and one POP3 mailbox, both slow enough that the
    status bar can be watched while a session runs."""

    def __init__(self, messages):
        self.smtp_port, self.pop3_port = account_port(), account_port()
        self.received = []
        self.mailbox = list(messages)
        self.deleted = set()
        self.quit = threading.Event()
        provider = self

        class Handler:
            async def handle_DATA(self, server, session, envelope):
                await asyncio.sleep(0.5)
                provider.received.append((envelope.mail_from, list(envelope.rcpt_tos), envelope.content))
                return "250 OK"

        self.smtp = Controller(Handler(), hostname="127.0.0.1", port=self.smtp_port)

        class Pop3(socketserver.StreamRequestHandler):
            def reply(self, text):
                self.wfile.write(text.encode() + b"\r\n")

            def handle(self):
                self.reply("+OK provider")
                for raw in self.rfile:
                    words = raw.decode("ascii", "replace").split()
                    verb = words[0].lower() if words else ""
                    if verb in ("user", "pass"):
                        self.reply("+OK")
                    elif verb == "stat":
                        self.reply("+OK %d %d" % (len(provider.mailbox), sum(map(len, provider.mailbox))))
                    elif verb == "list" and len(words) > 1:
                        self.reply("+OK %s %d" % (words[1], len(provider.mailbox[int(words[1]) - 1])))
                    elif verb == "list":
                        self.reply("+OK")
                        for n, body in enumerate(provider.mailbox, 1):
                            self.reply("%d %d" % (n, len(body)))
                        self.reply(".")
                    elif verb == "retr":
                        body = provider.mailbox[int(words[1]) - 1]
                        self.reply("+OK")
                        half = len(body) // 2
                        for piece in (body[:half], body[half:] + b".\r\n"):
                            self.wfile.write(piece)
                            self.wfile.flush()
                            time.sleep(0.4)
                    elif verb == "dele":
                        provider.deleted.add(int(words[1]))
                        self.reply("+OK")
                    elif verb == "quit":
                        self.reply("+OK bye")
                        provider.quit.set()
                        return
                    else:
                        self.reply("-ERR")

        socketserver.ThreadingTCPServer.allow_reuse_address = True
        self.pop3 = socketserver.ThreadingTCPServer(("127.0.0.1", self.pop3_port), Pop3)
        self.pop3.daemon_threads = True

    def start(self):
        self.smtp.start()
        threading.Thread(target=self.pop3.serve_forever, daemon=True).start()

    def stop(self):
        self.smtp.stop()
        self.pop3.shutdown()


class Program:
    def __init__(self, exe, work, provider):
        self.work, self.pop3, self.smtp, self.imap = work, free_port(), free_port(), free_port()
        shutil.copy(exe, work)
        chm = os.path.join(os.path.dirname(exe), "quelma.chm")
        if os.path.exists(chm):
            shutil.copy(chm, work)
        for sub in ("maildrop", "queue"):
            os.makedirs(os.path.join(work, sub), exist_ok=True)
        windows = "Z:" + work.replace("/", "\\")
        cfg = ["[Parameters]", "MailDropDir = %s\\maildrop\\" % windows, "QueueDir = %s\\queue\\" % windows,
               "LocalDomain = office.ru", "PostMaster = postmaster", "Daemon = daemon", "LogFileSize = 64",
               "POP3_SRV_PORT = %d" % self.pop3, "SMTP_SRV_PORT = %d" % self.smtp,
               "IMAP_SRV_PORT = %d" % self.imap, "SMTPServer = 127.0.0.1", "SMTPSport = %d" % provider.smtp_port, "SMTP_USES_LOGIN = 0",
               "[Users]", "postmaster pm ; ", "daemon  ; ", "ivan iv ; ivan.petrov@provider.test", "olga ol ; ",
               "[POP3accounts]"]
        self.head = cfg
        self.configure(["127.0.0.1 office ; %s-%d-0-ivan" % (scramble("secret"), provider.pop3_port)])

    def configure(self, accounts):
        with open(os.path.join(self.work, "quelma.cfg"), "wb") as f:
            f.write("\r\n".join(self.head + accounts + [""]).encode("cp1251"))

    def start(self):
        return subprocess.Popen(["wine", os.path.join(self.work, "quelma.exe")], cwd=self.work, env=ENV,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def log_lines(self):
        try:
            with open(os.path.join(self.work, "quelma.log"), "rb") as f:
                return f.read().decode("cp1251").splitlines()
        except OSError:
            return []


def collect(port, user, password):
    box = poplib.POP3("127.0.0.1", port, timeout=20)
    box.user(user)
    box.pass_(password)
    texts = [b"\r\n".join(box.retr(i + 1)[1]) for i in range(len(box.list()[1]))]
    box.quit()
    return texts


def check_push(checks, program, desktop):
    """Push under Windows: an IMAP account with idle=yes at Dovecot. The status bar's sixth part
    says push is on, mail delivered at the provider reaches the maildrop without a session, and
    the part says so when the provider goes away."""
    label = lambda: desktop.answer("status", "5")  # noqa: E731
    with ImapProvider({"box": "boxpw"}) as dovecot:
        program.configure(["127.0.0.1 box ; %s-%d-0-olga tls=none proto=imap idle=yes"
                           % (scramble("boxpw"), dovecot.imap_port)])
        running = program.start()
        checks.check("with an idle=yes account the push label says on",
                     wait_port(program.pop3) and wait_for(lambda: label() == "Push: включен", 60), label())
        dovecot.deliver("box", b"Subject: pushed\r\n\r\nat once\r\n")
        checks.check("mail delivered at the provider reaches the maildrop without a session",
                     wait_for(lambda: any(b"pushed" in m for m in collect(program.pop3, "olga", "ol")), 30))
        desktop.shot("push.png")
        dovecot.halt()
        checks.check("the push label says there is no connection once the provider is gone",
                     wait_for(lambda: label() == "Push: нет связи", 30), label())
        desktop.drive("send", "1026")
        checks.check("UM_SHUTDOWN ends the program with push running", running.wait(timeout=60) == 1)


def chm_pages(path):
    """The pages a compiled help file holds, by the names its directory lists."""
    try:
        data = open(path, "rb").read()
    except OSError:
        return set()
    return {page for page in ("index.htm", "nastr_servers.htm", "nastr_comm.htm", "nastr_sort.htm",
                              "nastr_sched.htm", "disclaimer.htm") if ("/" + page).encode() in data}


def check_imap_label(checks, program, answer):
    """The status bar's third label: the IMAP server's sessions, one while a client is connected
    (when the server keeps it past its greeting), none again once it has gone."""
    label = lambda: answer("status", "4")  # noqa: E731
    checks.check("quelma.exe serves IMAP, and its label counts no session yet",
                 wait_port(program.imap) and label() == "IMAP сеансов: 0", label())
    with socket.create_connection(("127.0.0.1", program.imap), timeout=20) as client:
        greeting = client.recv(4096)
        held = b"* BYE" not in greeting
        if held:
            checks.check("one IMAP session while a client is connected",
                         wait_for(lambda: label() == "IMAP сеансов: 1", 20), label())
            client.sendall(b"a1 LOGOUT\r\n")
        while client.recv(4096):
            pass
    checks.check("no IMAP session once the client has gone", wait_for(lambda: label() == "IMAP сеансов: 0", 20),
                 label())


def imap_session(program):
    client = imaplib.IMAP4("127.0.0.1", program.imap, timeout=20)
    client.login("olga", "ol")
    return client


def fetched(client, command, *args):
    """The literals of a FETCH answer (imaplib gives each as a pair of prefix and bytes)."""
    typ, data = client.uid(command, *args)
    return typ, [part[1] for part in data if isinstance(part, tuple)], data


def read_until(client, wanted, seconds):
    """The first line of a session's answers that is `wanted`, read line by line until it comes or
    `seconds` have gone (each read is bounded by the session's own 20-second time-out)."""
    end = time.time() + seconds
    while time.time() < end:
        line = client.readline()
        if not line or wanted(line):
            return line or None
    return None


def check_imap_clients(checks, program, label):
    """A Linux mail program (Python's imaplib) reads olga's mail from quelma.exe over IMAP: what
    SMTP took in comes back byte for byte, \\Seen set by one session shows in another, APPEND
    into a folder of her own reads back whole with its flag, a session in IDLE is told of new
    mail, and a POP3 deletion leaves the INBOX that IMAP shows."""
    cyrillic = "Subject: wine imap\r\nFrom: ivan@office.ru\r\n\r\nПривет из Linux\r\n".encode("cp1251")
    handed = cyrillic + b".a dot line\r\n" + b"y" * 990 + b"\r\n" + bytes(range(128, 256)) + b"\r\n"
    with smtplib.SMTP("127.0.0.1", program.smtp, timeout=20) as s:
        s.sendmail("ivan@office.ru", ["olga@office.ru"], handed)
    first, second = imap_session(program), imap_session(program)
    try:
        typ, data = first.select("INBOX")
        checks.check("IMAP: olga logs in and SELECTs INBOX with the message handed in",
                     typ == "OK" and data == [b"1"], repr((typ, data)))
        typ, uids = first.uid("SEARCH", None, "SUBJECT", "wine")
        uid = uids[0].split()[-1] if typ == "OK" and uids[0] else b"1"
        typ, bodies, data = fetched(first, "FETCH", uid, "(BODY.PEEK[])")
        checks.check("IMAP: FETCH gives the message SMTP took in, byte-identical", bodies == [handed], repr(data)[:300])

        first.uid("STORE", uid, "+FLAGS", "(\\Seen)")
        second.select("INBOX", readonly=True)
        typ, data = second.uid("FETCH", uid, "(FLAGS)")
        checks.check("IMAP: \\Seen stored in one session shows in a second one", b"\\Seen" in b"".join(
            part for part in data if isinstance(part, bytes)), repr(data))

        typ, data = first.list()
        attributes = {line.rsplit(b" ", 1)[-1].strip(b'"'): line.split(b")")[0] for line in data}
        checks.check("IMAP: the special-use folders are there after the first login, with their attributes",
                     all(b"\\" + name in attributes.get(name, b"")
                         for name in (b"Sent", b"Drafts", b"Trash", b"Junk", b"Archive")), repr(data))
        appended = "Subject: отчет\r\n\r\nОтчет за неделю\r\n".encode("cp1251") + b"\r\n".join(
            b"line %04d" % i for i in range(500)) + b"\r\n"
        created = first.create("Reports")[0]
        typ, data = first.append("Reports", "(\\Flagged)", imaplib.Time2Internaldate(time.time()), appended)
        checks.check("IMAP: CREATE and APPEND into a folder answer APPENDUID",
                     created == "OK" and typ == "OK" and b"APPENDUID" in data[0], repr((created, typ, data)))
        first.select("Reports")
        typ, bodies, data = fetched(first, "FETCH", "1:*", "(FLAGS BODY[])")
        checks.check("IMAP: the appended message reads back whole, \\Flagged",
                     bodies == [appended] and b"\\Flagged" in data[0][0], repr(data)[:300])

        # IDLE: the second session waits, a message comes in by SMTP, and is announced.
        second.select("INBOX")
        second.send(b"i1 IDLE\r\n")
        idling = second.readline().startswith(b"+")
        checks.check("two IMAP sessions on the status bar", wait_for(lambda: label() == "IMAP сеансов: 2", 20), label())
        start = time.time()
        with smtplib.SMTP("127.0.0.1", program.smtp, timeout=20) as s:
            s.sendmail("ivan@office.ru", ["olga@office.ru"], b"Subject: while idling\r\n\r\npush\r\n")
        exists = idling and read_until(second, lambda line: line.startswith(b"* ") and b"EXISTS" in line, 30)
        print("IMAP IDLE: EXISTS %.2f s after the SMTP hand-in began" % (time.time() - start))
        second.send(b"DONE\r\n")
        done = read_until(second, lambda line: line.startswith(b"i1 "), 30)
        checks.check("IMAP: a session in IDLE is told \"* 2 EXISTS\" after an SMTP hand-in, and DONE ends it",
                     exists == b"* 2 EXISTS\r\n" and done is not None and done.startswith(b"i1 OK"),
                     repr((exists, done)))
    finally:
        for client in (first, second):
            try:
                client.logout()
            except (imaplib.IMAP4.error, OSError):
                pass

    # POP3 reads the same INBOX: what a POP3 QUIT deletes is gone for IMAP too.
    box = poplib.POP3("127.0.0.1", program.pop3, timeout=20)
    box.user("olga")
    box.pass_("ol")
    listed = len(box.list()[1])
    box.dele(1)
    box.quit()
    third = imap_session(program)
    try:
        typ, data = third.select("INBOX")
        typ, bodies, _ = fetched(third, "FETCH", "1:*", "(BODY.PEEK[])")
        checks.check("IMAP shows the INBOX POP3 reads, without what a POP3 QUIT deleted",
                     listed == 2 and data == [b"1"] and bodies == [b"Subject: while idling\r\n\r\npush\r\n"],
                     repr((listed, data, bodies)))
    finally:
        third.logout()


def main():
    exe, driver = sys.argv[1], sys.argv[2]
    checks = Checks()
    desktop = WineDesktop(exe, driver, sys.argv[3], 90)
    drive, answer, shot = desktop.drive, desktop.answer, desktop.shot
    work = tempfile.mkdtemp(prefix="quelma-wine-")
    provider = SlowProvider([b"Subject: from the provider %d\r\n\r\n%s\r\n" % (i, b"line of text\r\n" * 400)
                             for i in range(3)])

    def count(window):
        return desktop.count(*window)

    try:
        provider.start()
        program = Program(exe, work, provider)
        checks.check("the help file holds all six pages", len(chm_pages(os.path.join(work, "quelma.chm"))) == 6,
                     str(chm_pages(os.path.join(work, "quelma.chm"))))
        first = program.start()
        checks.check("quelma.exe serves SMTP and POP3", wait_port(program.smtp) and wait_port(program.pop3))
        with smtplib.SMTP("127.0.0.1", program.smtp, timeout=20) as s:
            s.sendmail("postmaster@office.ru", ["ivan@office.ru"], b"Subject: from Linux\r\n\r\nhello\r\n")
        checks.check("a Linux client hands mail in and collects it", b"hello" in collect(program.pop3, "ivan", "iv")[0])
        checks.check("the status bar shows both labels with empty bars",
                     answer("watch", "1") == "SMTP клиент|0|POP3 клиент|0", answer("watch", "1"))
        check_imap_label(checks, program, answer)
        check_imap_clients(checks, program, lambda: answer("status", "4"))

        drive("command", "40002")
        drive("answer", "Выход из QUELMA", "no")
        time.sleep(1)
        checks.check("answering Нет to the exit question leaves it running",
                     first.poll() is None and wait_port(program.smtp, 5) and answer("visible") == "1")

        # About: Escape leaves it open, a second "О программе" opens no second box, OK closes it.
        drive("command", "40007")
        drive("wait", *ABOUT)
        drive("key", *ABOUT, str(VK_ESCAPE))
        drive("command", "40007")
        time.sleep(1)
        checks.check("Escape leaves the About box open, and it opens once", count(ABOUT) == "1")
        shot("about.png")
        drive("type", *ABOUT, str(VK_F1))
        checks.check("F1 in the About box opens the help", drive("wait", *HELP).returncode == 0)
        drive("close", *HELP)
        drive("post-command", *ABOUT, "1")
        time.sleep(1)
        closed = count(ABOUT) == "0"
        drive("command", "40007")
        time.sleep(1)
        checks.check("OK closes the About box and the menu opens it again", closed and count(ABOUT) == "1")
        drive("post-command", *ABOUT, "1")

        drive("command", "40003")
        checks.check("Справка (F1) opens the help window", drive("wait", *HELP).returncode == 0)
        shot("help.png")
        drive("close", *HELP)
        time.sleep(1)
        drive("type", "MailServer", "Quelmar mail server", str(VK_F1))
        checks.check("F1 in the main window opens the help window", drive("wait", *HELP).returncode == 0)
        drive("close", *HELP)

        # The tray: minimising hides the window, a left click brings it back, a right click
        # shows the tray menu.
        drive("syscommand", str(SC_MINIMIZE))
        time.sleep(1)
        hidden = answer("visible") == "0"
        drive("tray", str(WM_LBUTTONDOWN))
        time.sleep(1)
        checks.check("minimised into the tray and back by a left click", hidden and answer("visible") == "1")
        drive("tray", str(WM_RBUTTONDOWN))
        time.sleep(1)
        checks.check("a right click on the tray icon shows the tray menu", count(("#32768", "-")) == "1")
        shot("tray_menu.png")
        drive("key", "#32768", "-", str(VK_ESCAPE))

        # A communication session from the menu: three queued messages go up, three come down.
        with smtplib.SMTP("127.0.0.1", program.smtp, timeout=20) as s:
            for i in range(3):
                s.sendmail("ivan@office.ru", ["friend%d@far.away" % i], b"Subject: out %d\r\n\r\nbye\r\n" % i)
        watcher = desktop.start(driver, "watch", "30", stdout=subprocess.PIPE)
        time.sleep(2)
        drive("command", "40011")
        delivered = wait_for(lambda: len(provider.received) == 3 and provider.quit.is_set(), 60)
        states = [line.split("|") for line in watcher.communicate(timeout=90)[0].decode("utf-8", "replace").splitlines()
                  if line.count("|") == 3]
        checks.check("the session uploads the queue, from the alias", delivered and all(
            sender == "ivan.petrov@provider.test" for sender, _, _ in provider.received), str(provider.received))
        checks.check("the SMTP label and bar move during the upload",
                     any(s[0] == "SMTP сеанс:" and 0 < int(s[1]) for s in states) and
                     states[-1][0] == "SMTP клиент успех", str(states))
        checks.check("the POP3 label and bar move during the download",
                     any(s[2] == "POP3 клиент сеанс:" and 0 < int(s[3]) < 100 for s in states) and
                     states[-1][2] == "POP3 клиент успех" and states[-1][3] == "0", str(states))
        shot("main_window.png")
        # ivan's first message, from Linux, was read but not deleted.
        mail = wait_for(lambda: len(collect(program.pop3, "ivan", "iv")) == 4, 20) and collect(program.pop3, "ivan", "iv")
        checks.check("the downloaded mail reaches ivan's maildrop",
                     bool(mail) and all(b"from the provider %d" % i in mail[i + 1] for i in range(3)) and
                     provider.deleted == {1, 2, 3}, str(len(mail or [])))
        checks.check("a screenful of log lines, so the view has scrolled", len(program.log_lines()) > 20,
                     str(len(program.log_lines())))

        drive("syscommand", str(SC_MINIMIZE))
        time.sleep(1)
        second = program.start()
        checks.check("a second copy ends with 1 and brings the first back from the tray",
                     second.wait(timeout=60) == 1 and wait_for(lambda: answer("visible") == "1", 10))

        drive("command", "40002")
        drive("answer", "Выход из QUELMA", "yes")
        checks.check("Выход answered Да ends with 0 once both servers stopped",
                     first.wait(timeout=60) == 0 and port_closed(program.smtp) and port_closed(program.pop3))

        windows_exe = "Z:" + os.path.join(work, "quelma.exe").replace("/", "\\")
        tray_start = desktop.start(driver, "launch", windows_exe, "7")
        started = wait_port(program.smtp)
        checks.check("show command 7 starts in the tray only", started and answer("visible") == "0")
        drive("tray", str(WM_LBUTTONDOWN))
        checks.check("a left click on the tray icon shows the window", wait_for(lambda: answer("visible") == "1", 10))
        drive("send", "1026")
        checks.check("UM_SHUTDOWN ends with 1", tray_start.wait(timeout=60) == 1)
        check_push(checks, program, desktop)
    finally:
        desktop.stop()
        provider.stop()
        shutil.rmtree(work, ignore_errors=True)
    return checks.result()


if __name__ == "__main__":
    sys.exit(main())
