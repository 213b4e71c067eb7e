#!/usr/bin/env python3
"""quelma.exe's TLS under Wine (Schannel on the host's GnuTLS): a session downloads over STLS and
over implicit TLS from fake providers made with Python's ssl module and uploads over STARTTLS to
aiosmtpd; every refusal (a CA not trusted, an expired certificate, one for another host, a
server without STLS, a plain answer to a handshake) ends its account with its error number and
log line, and a pinned self-signed certificate is taken. Then local programs reach quelma.exe
over STLS, STARTTLS and the POP3S port with an RSA certificate, and over IMAP's STARTTLS and the
IMAPS port."""
import imaplib
import os
import poplib
import shutil
import smtplib
import ssl
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "interop"))
from quelma_process import Checks, account_port, free_port, scramble  # noqa: E402
from smtp_client_interop import PASSWORD, Provider, arrived_whole, authenticator, queue_files  # noqa: E402
from tls_client_interop import FakeProvider  # noqa: E402
from tls_material import Material  # noqa: E402
from wine_desktop import ENV, WineDesktop, wait_for, wait_port  # noqa: E402

from aiosmtpd.controller import Controller  # noqa: E402


def windows(path):
    return "Z:" + path.replace("/", "\\")


def main():
    exe, driver = sys.argv[1], sys.argv[2]
    checks = Checks()
    desktop = WineDesktop(exe, driver, sys.argv[3], 100)
    work = tempfile.mkdtemp(prefix="quelma-wine-tls-")
    material = Material(work)
    big = b"Subject: big\r\n\r\n" + b"".join(b"%06d " % i + b"x" * 90 + b"\r\n" for i in range(3000))
    texts = [b"Subject: one\r\n\r\n.dot line\r\n", big, "Subject: три\r\n\r\nПривет\r\n".encode("cp1251")]
    fakes = {
        "stls": FakeProvider("stls", material.good, texts),
        "tls": FakeProvider("tls", material.good, texts),
        "rogue": FakeProvider("tls", material.rogue),
        "expired": FakeProvider("tls", material.expired),
        "other": FakeProvider("tls", material.other),
        "nostls": FakeProvider("plain"),
        "garbage": FakeProvider("garbage"),
        "self": FakeProvider("tls", material.self_signed),
        "chunked": FakeProvider("chunked", material.good, texts),
    }
    refusals = [("rogue", 39, 'выдан неизвестным издателем'), ("expired", 40, "сейчас недействителен"),
                ("other", 41, 'сертификат выдан для other.example, а соединение установлено с "localhost"'),
                ("nostls", 37, "Сервер не предлагает STLS"), ("garbage", 38, "не удалось установить защищенное соединение")]
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(material.good["cert"], material.good["key"])
    provider = Provider()
    smtp_port = account_port()
    controller = Controller(provider, hostname="127.0.0.1", port=smtp_port, authenticator=authenticator,
                            auth_require_tls=True, tls_context=context, require_starttls=True)
    controller.start()
    pop3, smtp, pop3s, imap, imaps = free_port(), free_port(), free_port(), free_port(), free_port()
    shutil.copy(exe, work)
    for sub in ("maildrop", "queue"):
        os.makedirs(os.path.join(work, sub))

    def account(host, login, name, deliver, options):
        return "%s %s ; %s-%d-0-%s %s" % (host, login, scramble("pw"), fakes[name].port, deliver, options)

    cfg = ["[Parameters]", "MailDropDir = %s\\maildrop\\" % windows(work), "QueueDir = %s\\queue\\" % windows(work),
           "LocalDomain = office.ru", "PostMaster = postmaster", "Daemon = daemon", "LogFileSize = 200",
           "POP3_SRV_PORT = %d" % pop3, "SMTP_SRV_PORT = %d" % smtp, "IMAP_SRV_PORT = %d" % imap, "SMTPServer = localhost",
           "SMTPSport = %d" % smtp_port, "SMTP_USES_LOGIN = 1", "SMTP_LOGIN_NAME = office",
           "SMTP_LOGIN_PASS = %s" % scramble(PASSWORD.decode()), "SchedulerRecord6 = 00:00--00:00--0000",
           "SMTP_TLS = STARTTLS", "TLS_CA_FILE = " + windows(material.ca["cert"]),
           "TLS_CERT_FILE = " + windows(material.good_rsa["cert"]), "TLS_KEY_FILE = " + windows(material.good_rsa["key"]),
           "POP3_SRV_TLS_PORT = %d" % pop3s, "IMAP_SRV_TLS_PORT = %d" % imaps,
           "[Users]", "postmaster pm ; ", "daemon  ; ", "ivan iv ; ivan.petrov@provider.test", "petr pe ; ",
           "boris bo ; ", "gleb gl ; ", "olga ol ; ",
           "[POP3accounts]",
           account("localhost", "stls", "stls", "ivan", "tls=stls"),
           account("127.0.0.1", "tls", "tls", "petr", "tls=ssl"),
           account("127.0.0.1", "rogue", "rogue", "boris", "tls=ssl"),
           account("127.0.0.1", "expired", "expired", "boris", "tls=ssl"),
           account("localhost", "other", "other", "boris", "tls=ssl"),
           account("127.0.0.1", "nostls", "nostls", "boris", "tls=stls"),
           account("127.0.0.1", "garbage", "garbage", "boris", "tls=ssl"),
           account("127.0.0.1", "self", "self", "gleb", "tls=ssl fingerprint=" + material.self_signed["sha256"]),
           account("localhost", "chunked", "chunked", "olga", "tls=ssl")]
    with open(os.path.join(work, "quelma.cfg"), "wb") as f:
        f.write("\r\n".join(cfg + [""]).encode("cp1251"))
    files = queue_files()[:4]
    for name, data, _, _ in files:
        with open(os.path.join(work, "queue", name), "wb") as f:
            f.write(data)
    program = desktop.start(os.path.join(work, "quelma.exe"), cwd=work)
    log_path = os.path.join(work, "quelma.log")

    def log():
        try:
            with open(log_path, "rb") as f:
                return f.read().decode("cp1251")
        except OSError:
            return ""

    def collect(port, user, password, secure, plain=False):
        if plain:
            client = poplib.POP3("localhost", port, timeout=30)
        elif secure:
            client = poplib.POP3_SSL("localhost", port, context=ssl.create_default_context(cafile=material.ca["cert"]),
                                     timeout=30)
        else:
            client = poplib.POP3("localhost", port, timeout=30)
            client.stls(context=ssl.create_default_context(cafile=material.ca["cert"]))
        client.user(user)
        client.pass_(password)
        got = [b"\r\n".join(client.retr(n)[1]) + b"\r\n" for n in range(1, client.stat()[0] + 1)]
        client.quit()
        return got

    def read_imap(port, secure):
        """petr's INBOX over IMAP with TLS: the literals of FETCH 1:* BODY.PEEK[]."""
        context = ssl.create_default_context(cafile=material.ca["cert"])
        if secure:
            client = imaplib.IMAP4_SSL("localhost", port, ssl_context=context, timeout=30)
        else:
            client = imaplib.IMAP4("localhost", port, timeout=30)
            client.starttls(ssl_context=context)
        try:
            client.login("petr", "pe")
            client.select("INBOX", readonly=True)
            return [part[1] for part in client.fetch("1:*", "(BODY.PEEK[])")[1] if isinstance(part, tuple)]
        finally:
            client.logout()

    def imap_tls_refusals():
        return sum(1 for line in log().splitlines() if "IMAPSRV>" in line and "с клиентом (0x80090302" in line)

    try:
        checks.check("quelma.exe serves SMTP, POP3, POP3S, IMAP and IMAPS",
                     wait_port(smtp) and wait_port(pop3) and wait_port(pop3s) and wait_port(imap) and wait_port(imaps))
        time.sleep(2)
        desktop.drive("command", "40011")  # Команда > Отправить/получить почту
        done = wait_for(lambda: log().count("*** Загрузка почты с POP3 сервера") == len(fakes) and
                        "*** Отправка исходящих сообщений" in log() and
                        not os.path.exists(os.path.join(work, "maildrop", "smtp_upload.runs")) and
                        not os.path.exists(os.path.join(work, "maildrop", "pop3_download.runs")), 180)
        time.sleep(1)
        text = log()
        checks.check("the session ran through every account", done, text[-3000:])
        checks.check("Schannel logs the TLS version", "Установлено защищенное соединение: TLSv1." in text)
        # olga's account sends its TLS bytes in pieces of 1 to 60 bytes and in bursts of records.
        for user, password in (("ivan", "iv"), ("petr", "pe"), ("olga", "ol")):
            got = collect(pop3, user, password, False, plain=True)
            checks.check("%s: every message over TLS, byte-identical" % user, got == texts,
                         "%d of %d" % (len(got), len(texts)))
        checks.check("STLS: only CAPA and STLS in clear", b"".join(fakes["stls"].clear_lines) == b"CAPA\r\nSTLS\r\n",
                     repr(fakes["stls"].clear_lines))
        for name, number, words in refusals:
            checks.check("%s: error %d and why" % (name, number),
                         ("Ошибка %d: работа POP3 клиента закончена" % number) in text and words in text)
            checks.check("%s: nothing deleted" % name, not fakes[name].deleted)
        checks.check("no STLS: no password in clear", b"".join(fakes["nostls"].clear_lines) == b"CAPA\r\nquit\r\n")
        checks.check("a pinned self-signed certificate is taken",
                     collect(pop3, "gleb", "gl", False, plain=True) == [FakeProvider.MESSAGE] and fakes["self"].deleted)
        identical = len(provider.received) == len(files) and all(
            arrived_whole(got[2], header, body) for got, (_, _, header, body) in zip(provider.received, files))
        checks.check("STARTTLS upload: every message byte-identical", identical,
                     "%d of %d" % (len(provider.received), len(files)))
        # The local side: Wine's Schannel has no server side (AcceptSecurityContext answers
        # SEC_E_UNSUPPORTED_FUNCTION), so there the check is that the refusal is said clearly.
        try:
            with smtplib.SMTP("localhost", smtp, timeout=30) as s:
                s.starttls(context=ssl.create_default_context(cafile=material.ca["cert"]))
                s.sendmail("ivan@office.ru", ["boris@office.ru"], b"Subject: local\r\n\r\nover STARTTLS\r\n")
            got = collect(pop3s, "boris", "bo", True)
            checks.check("a local client hands in over STARTTLS and collects over POP3S",
                         got == [b"Subject: local\r\n\r\nover STARTTLS\r\n"], repr(got))
        except (ssl.SSLError, OSError, smtplib.SMTPException):
            time.sleep(1)
            unsupported = "с клиентом (0x80090302" in log()
            print("skip local TLS: this Schannel has no server side" if unsupported else "local TLS failed")
            checks.check("the local side says why TLS failed", unsupported, log()[-1500:])
        # IMAP: STARTTLS is offered in clear once there is a certificate; then petr's downloaded
        # mail is read over STARTTLS and over the IMAPS port, or the refusal is said as above.
        with imaplib.IMAP4("localhost", imap, timeout=30) as clear:
            checks.check("IMAP offers STARTTLS with a certificate", "STARTTLS" in clear.capabilities,
                         repr(clear.capabilities))
        for name, secure in (("STARTTLS", False), ("IMAPS", True)):
            before = imap_tls_refusals()
            try:
                got = read_imap(imaps if secure else imap, secure)
                checks.check("IMAP over %s: petr's mail byte-identical" % name, got == texts,
                             "%d of %d" % (len(got), len(texts)))
            except (ssl.SSLError, OSError, imaplib.IMAP4.error):
                said = wait_for(lambda: imap_tls_refusals() > before, 10)
                print("skip IMAP over %s: this Schannel has no server side" % name if said else
                      "IMAP over %s failed" % name)
                checks.check("IMAP over %s: the local side says why TLS failed" % name, said, log()[-1500:])
        if checks.failures:
            print(log()[-6000:])
            open("/tmp/wine_tls.log", "w").write(log())
    finally:
        if os.environ.get("QUELMA_KEEP_LOG"):
            open(os.environ["QUELMA_KEEP_LOG"], "w").write(log())
        desktop.drive("command", "40002")
        desktop.drive("answer", "Выход из QUELMA", "yes")
        try:
            checks.check("quelma.exe exits 0", program.wait(timeout=60) == 0)
        except Exception:
            program.kill()
        controller.stop()
        desktop.stop()
        shutil.rmtree(work, ignore_errors=True)
    return checks.result()


if __name__ == "__main__":
    sys.exit(main())
