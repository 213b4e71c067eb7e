#!/usr/bin/env python3
"""quelma's POP3 client over TLS: Dovecot with ssl = required, on a POP3 port with STLS and on a
POP3S port, each with a USER/PASS and an APOP account; every message arrives byte-identical and
the provider mailboxes end up empty. Then every refusal, against Dovecot and against small fake
providers made with Python's ssl module: a wrong pin, a certificate of a CA not trusted, an
expired one, one for another host, a server without STLS, a plain-text answer to a handshake.
Each ends its account with its error number and log line, its mail stays at the provider, and
no password is ever sent in clear. A pinned self-signed certificate is taken."""
import os
import random
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time

from quelma_process import Checks, Quelma, account_port, scramble
from pop3_client_interop import dovecot, fill_maildir, maildrop_texts, messages
from tls_material import Material


def dovecot_tls(work, port, tls_port, material, required=True, users=None):
    """Dovecot's POP3 as in the plain checks, with TLS: STLS on `port` (required before a login
    unless `required` is false) and TLS from the first byte on `tls_port`."""
    conf = dovecot(work, port)
    if users:
        with open(os.path.join(work, "passwd"), "w") as f:
            f.writelines("%s:{PLAIN}pw-%s::::::\n" % (user, user) for user in users)
    text = open(conf).read()
    text = text.replace("ssl = no", "ssl = %s\nssl_cert = <%s\nssl_key = <%s\nssl_min_protocol = TLSv1.2"
                        % ("required" if required else "yes", material.good["cert"], material.good["key"]))
    if required:
        text = text.replace("disable_plaintext_auth = no", "disable_plaintext_auth = yes")
    text = text.replace("""    port = %d
  }""" % port, """    port = %d
  }
  inet_listener pop3s {
    address = 127.0.0.1
    port = %d
    ssl = yes
  }""" % (port, tls_port))
    with open(conf, "w") as f:
        f.write(text)
    return conf


class ChunkedTls:
    """TLS from the first byte whose bytes go out in pieces of 1 to 60 bytes (each its own send)
    and sometimes in bursts of several records: a client must join incomplete records and split
    what comes together."""

    def __init__(self, sock, context):
        self.sock, self.incoming, self.outgoing = sock, ssl.MemoryBIO(), ssl.MemoryBIO()
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.tls = context.wrap_bio(self.incoming, self.outgoing, server_side=True)
        self.pending, self.sends = b"", 0
        self._pump(self.tls.do_handshake)

    def _flush(self):
        data = self.outgoing.read()
        at = 0
        while at < len(data):
            size = random.randint(1, 60) if random.random() < 0.7 else random.randint(2000, 40000)
            self.sock.sendall(data[at:at + size])
            at += size
            self.sends += 1
            if self.sends % 40 == 0:
                time.sleep(0.001)  # lets the client see a record cut off

    def _pump(self, operation):
        while True:
            try:
                result = operation()
                self._flush()
                return result
            except ssl.SSLWantReadError:
                self._flush()
                data = self.sock.recv(65536)
                if not data:
                    raise ConnectionError("closed")
                self.incoming.write(data)

    def sendall(self, data):
        self.tls.write(data)
        self._flush()

    def readline(self):
        while b"\n" not in self.pending:
            chunk = self._pump(lambda: self.tls.read(65536))
            if not chunk:
                line, self.pending = self.pending, b""
                return line
            self.pending += chunk
        line, self.pending = self.pending.split(b"\n", 1)
        return line + b"\n"

    def makefile(self, mode):
        return iter(self.readline, b"")

    def close(self):
        self.sock.close()


class FakeProvider(threading.Thread):
    """One POP3 provider for a single connection: implicit TLS with `cert` (a dict of Material),
    STLS with it, or plain text whose CAPA lists no STLS, or "garbage" (a plain greeting to a TLS
    client). It keeps every line it received in clear, and serves `messages` once logged in."""

    MESSAGE = b"Subject: from the fake\r\n\r\nbody\r\n"

    def __init__(self, mode, cert=None, messages=None):
        super().__init__(daemon=True)
        self.mode, self.cert = mode, cert
        self.messages = messages or [self.MESSAGE]
        self.port = account_port()
        self.listener = socket.create_server(("127.0.0.1", self.port))
        self.listener.settimeout(120)
        self.clear_lines, self.deleted, self.handshake_error = [], False, None
        self.start()

    def run(self):
        try:
            conn, _ = self.listener.accept()
        except OSError:
            return
        conn.settimeout(20)
        try:
            if self.mode == "garbage":
                conn.sendall(b"+OK plain text greeting\r\n")
                time.sleep(0.5)
                return
            if self.mode == "stls":
                reader = conn.makefile("rb")
                conn.sendall(b"+OK fake ready\r\n")
                for line in reader:
                    self.clear_lines.append(line)
                    if line.upper().startswith(b"CAPA"):
                        conn.sendall(b"+OK\r\nUSER\r\nSTLS\r\n.\r\n")
                    elif line.upper().startswith(b"STLS"):
                        conn.sendall(b"+OK begin\r\n")
                        break
                    else:
                        conn.sendall(b"-ERR\r\n")
            if self.mode == "chunked":
                context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
                context.load_cert_chain(self.cert["cert"], self.cert["key"])
                conn = ChunkedTls(conn, context)
            if self.mode in ("tls", "stls"):
                context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
                context.load_cert_chain(self.cert["cert"], self.cert["key"])
                try:
                    conn = context.wrap_socket(conn, server_side=True)
                except (ssl.SSLError, OSError) as e:
                    self.handshake_error = str(e)
                    return
            self.serve(conn)
        except (ssl.SSLError, OSError, ConnectionError):
            pass  # the client left after it refused the certificate
        finally:
            conn.close()
            self.listener.close()

    def serve(self, conn):
        reader = conn.makefile("rb")
        if self.mode != "stls":
            conn.sendall(b"+OK fake ready\r\n")
        sizes = [len(m) for m in self.messages]
        number = lambda line: int(line.split()[1]) if len(line.split()) > 1 else 0
        for line in reader:
            if self.mode == "plain":
                self.clear_lines.append(line)
            verb = line.split(b" ", 1)[0].strip().upper()
            if verb == b"CAPA":
                conn.sendall(b"+OK\r\nUSER\r\nUIDL\r\n.\r\n")
            elif verb in (b"USER", b"PASS", b"NOOP"):
                conn.sendall(b"+OK\r\n")
            elif verb == b"STAT":
                conn.sendall(b"+OK %d %d\r\n" % (len(sizes), sum(sizes)))
            elif verb == b"LIST":
                conn.sendall(b"+OK\r\n" + b"".join(b"%d %d\r\n" % (i + 1, n) for i, n in enumerate(sizes)) + b".\r\n")
            elif verb == b"UIDL":
                conn.sendall(b"+OK\r\n" + b"".join(b"%d fake-uid-%d\r\n" % (i + 1, i) for i in range(len(sizes))) + b".\r\n")
            elif verb == b"RETR":
                text = self.messages[number(line) - 1].replace(b"\r\n.", b"\r\n..")
                conn.sendall(b"+OK\r\n" + (b".." + text[1:] if text.startswith(b".") else text) + b".\r\n")
            elif verb == b"DELE":
                self.deleted = True
                conn.sendall(b"+OK\r\n")
            elif verb == b"QUIT":
                conn.sendall(b"+OK bye\r\n")
                return
            else:
                conn.sendall(b"-ERR\r\n")


def account(host, login, port, deliver, options, apop=0, password=None):
    return "%s %s ; %s-%d-%d-%s %s" % (host, login, scramble(password or "pw-" + login), port, apop, deliver, options)


def main():
    quelma = sys.argv[1]
    checks = Checks()
    if shutil.which("dovecot") is None:
        checks.check("dovecot is installed", False)
        return 1
    work = tempfile.mkdtemp(prefix="quelma-tls-")
    os.chmod(work, 0o755)
    material = Material(work)
    for name in os.listdir(work):
        os.chmod(os.path.join(work, name), 0o644)
    plain_port, tls_port = account_port(), account_port()
    texts = messages()
    mailboxes = {"stlsuser": texts[:25], "stlsapop": texts[25:50], "ssluser": texts[50:75], "sslapop": texts[75:],
                 "pinuser": texts[:3]}
    for user, t in mailboxes.items():
        fill_maildir(work, user, t)
    subprocess.run(["chown", "-R", "dovecot:dovecot", os.path.join(work, "home")], check=True)
    conf = dovecot_tls(work, plain_port, tls_port, material,
                       users=("stlsuser", "stlsapop", "ssluser", "sslapop", "pinuser"))
    subprocess.run(["dovecot", "-c", conf], check=True)
    fakes = {
        "rogue": FakeProvider("tls", material.rogue),
        "expired": FakeProvider("tls", material.expired),
        "other": FakeProvider("tls", material.other),
        "nostls": FakeProvider("plain"),
        "garbage": FakeProvider("garbage"),
        "self": FakeProvider("tls", material.self_signed),
        "chunked": FakeProvider("chunked", material.good, texts[:12]),
    }
    refusals = [  # (fake or Dovecot user, error number, words in the log)
        ("pinuser", 42, "не совпадает с заданным " + "AB" * 32),
        ("rogue", 39, 'выдан неизвестным издателем "CN=Rogue CA,O=Quelmar interop"'),
        ("expired", 40, 'сертификат "CN=localhost,O=Quelmar interop" сейчас недействителен'),
        ("other", 41, 'сертификат выдан для other.example, а соединение установлено с "localhost"'),
        ("nostls", 37, "Сервер не предлагает STLS"),
        ("garbage", 38, 'не удалось установить защищенное соединение с "127.0.0.1"'),
    ]
    server = None
    try:
        time.sleep(0.5)
        accounts = [
            account("127.0.0.1", "stlsuser", plain_port, "ivan", "tls=stls"),
            account("127.0.0.1", "stlsapop", plain_port, "petr", "tls=stls", apop=1),
            account("localhost", "ssluser", tls_port, "anna", "tls=ssl"),
            account("localhost", "sslapop", tls_port, "olga", "tls=ssl", apop=1),
            account("127.0.0.1", "pinuser", tls_port, "boris", "tls=ssl fingerprint=" + "AB" * 32),
            account("127.0.0.1", "rogue", fakes["rogue"].port, "boris", "tls=ssl"),
            account("127.0.0.1", "expired", fakes["expired"].port, "boris", "tls=ssl"),
            account("localhost", "other", fakes["other"].port, "boris", "tls=ssl"),
            account("127.0.0.1", "nostls", fakes["nostls"].port, "boris", "tls=stls"),
            account("127.0.0.1", "garbage", fakes["garbage"].port, "boris", "tls=ssl"),
            account("127.0.0.1", "self", fakes["self"].port, "gleb", "tls=ssl fingerprint=" + material.self_signed["sha256"]),
            account("localhost", "chunked", fakes["chunked"].port, "vera", "tls=ssl"),
        ]
        server = Quelma(quelma, ["LocalDomain = office.ru", "PostMaster = postmaster",
                                 "TLS_CA_FILE = " + material.ca["cert"], "[POP3accounts]"] + accounts,
                        ["postmaster", "ivan", "petr", "anna", "olga", "boris", "gleb", "vera"])
        server.proc.send_signal(signal.SIGUSR1)
        log = ""
        for _ in range(1200):
            log = open(server.path("quelma.log"), "rb").read().decode("cp1251") if os.path.exists(
                server.path("quelma.log")) else ""
            if log.count("*** Загрузка почты с POP3 сервера") == len(accounts) and not os.path.exists(
                    server.path("maildrop", "pop3_download.runs")):
                break
            time.sleep(0.1)
        time.sleep(0.3)
        log = open(server.path("quelma.log"), "rb").read().decode("cp1251")
        # vera's provider sends its TLS bytes in pieces of 1 to 60 bytes and in bursts of records.
        want = {"ivan": mailboxes["stlsuser"], "petr": mailboxes["stlsapop"], "anna": mailboxes["ssluser"],
                "olga": mailboxes["sslapop"], "vera": texts[:12]}
        for user, texts_wanted in want.items():
            got = maildrop_texts(server.path("maildrop", user))
            checks.check("%s: every message over TLS, byte-identical" % user, got == texts_wanted,
                         "%d of %d" % (len(got), len(texts_wanted)))
        for user in ("stlsuser", "stlsapop", "ssluser", "sslapop"):
            left = os.listdir(os.path.join(work, "home", user, "Maildir", "cur"))
            checks.check("%s: the provider mailbox is empty" % user, left == [], str(len(left)))
        checks.check("STLS was used", "STLS\r\n" in log)
        checks.check("APOP went through TLS", "APOP stlsapop " in log and "APOP sslapop " in log)
        checks.check("the TLS version is logged", "Установлено защищенное соединение: TLSv1.3" in log)
        for name, number, words in refusals:
            checks.check("%s: error %d" % (name, number), ("Ошибка %d: работа POP3 клиента закончена" % number) in log)
            checks.check("%s: the log says why" % name, words in log)
        left = os.listdir(os.path.join(work, "home", "pinuser", "Maildir", "cur"))
        checks.check("pin mismatch: the mail stays at the provider", len(left) == 3, str(len(left)))
        checks.check("refusals: nothing delivered", maildrop_texts(server.path("maildrop", "boris")) == [])
        for name in ("rogue", "expired", "other", "nostls", "garbage"):
            checks.check(name + ": nothing deleted", not fakes[name].deleted)
        clear = b"".join(fakes["nostls"].clear_lines)
        checks.check("no STLS: only CAPA and QUIT in clear, no password", clear == b"CAPA\r\nquit\r\n", repr(clear))
        checks.check("a pinned self-signed certificate is taken",
                     maildrop_texts(server.path("maildrop", "gleb")) == [FakeProvider.MESSAGE] and fakes["self"].deleted)
        for mode, port in (("stls", plain_port), ("ssl", tls_port)):
            r = subprocess.run([quelma, "--dir", server.dir, "check-tls", "localhost", str(port), mode],
                               capture_output=True, timeout=60)
            out = r.stdout.decode("utf-8", "replace")
            checks.check("check-tls %s: the chain and the verdict" % mode, r.returncode == 0 and
                         "издатель: CN=Quelmar Interop CA" in out and "Итог: сертификат принят" in out, out)
        r = subprocess.run([quelma, "--dir", server.dir, "check-tls", "127.0.0.1", str(plain_port), "ssl"],
                           capture_output=True, timeout=60)
        checks.check("check-tls: a plain port asked for TLS fails with exit code 1",
                     r.returncode == 1 and "НЕ ПРИНЯТ" in r.stdout.decode("utf-8", "replace"))
        if checks.failures:
            print(log[-4000:])
            print(open(os.path.join(work, "dovecot.log")).read()[-1500:])
    finally:
        if server:
            checks.check("quelma exits 0 on SIGINT", server.stop() == 0)
        subprocess.run(["dovecot", "-c", conf, "stop"], capture_output=True)
        shutil.rmtree(work, ignore_errors=True)
    return checks.result()


if __name__ == "__main__":
    sys.exit(main())
