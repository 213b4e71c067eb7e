#!/usr/bin/env python3
"""Local mail programs reach quelma over TLS on 127.0.0.1: Python's poplib and smtplib with STLS,
STARTTLS and the implicit-TLS ports, openssl s_client, msmtp and mpop, and mutt sending 8-bit
mail after EHLO. Every message comes back byte-identical; bytes a client sends before the
handshake are never answered through TLS. TLS 1.2 is taken with forward secrecy only; clients
that fail their handshake are logged in words; a certificate and key that do not go together
are refused by "config set" and "check local", and at the start are named in the log."""
import os
import poplib
import shutil
import smtplib
import socket
import ssl
import subprocess
import sys
import tempfile
import time

from quelma_process import Checks, Quelma, free_port, wait_listening
from tls_material import Material

QUELMA = sys.argv[1]
checks = Checks()
check = checks.check
BODY = "Привет, это письмо в восьми битах: Ёё\r\n".encode("cp1251")


def context(material):
    c = ssl.create_default_context(cafile=material.ca["cert"])
    c.check_hostname = True
    return c


def message(subject):
    return b"From: <a@office.ru>\r\nTo: <ivan@office.ru>\r\nSubject: " + subject.encode() + b"\r\n\r\n" + BODY


def retrieve_all(server, material):
    """Every message in ivan's maildrop (deleted after), read over POP3S."""
    p = poplib.POP3_SSL("localhost", server.pop3s, context=context(material), timeout=10)
    p.user("ivan")
    p.pass_("secret")
    texts = []
    for n in range(1, p.stat()[0] + 1):
        texts.append(b"\r\n".join(p.retr(n)[1]) + b"\r\n")
        p.dele(n)
    p.quit()
    return texts


def python_clients(server, material):
    s = smtplib.SMTP("localhost", server.smtp, timeout=10)
    code, text = s.ehlo("pc1")
    check("EHLO: 250 with STARTTLS and 8BITMIME", code == 250 and b"STARTTLS" in text and b"8BITMIME" in text)
    s.starttls(context=context(material))
    code, text = s.ehlo("pc1")
    check("EHLO over TLS: no STARTTLS any more", code == 250 and b"STARTTLS" not in text)
    s.sendmail("a@office.ru", ["ivan@office.ru"], message("starttls"))
    s.quit()
    s = smtplib.SMTP_SSL("localhost", server.smtps, context=context(material), timeout=10)
    s.sendmail("a@office.ru", ["ivan@office.ru"], message("smtps"))
    s.quit()
    p = poplib.POP3("localhost", server.pop3, timeout=10)
    check("CAPA lists STLS", "STLS" in p.capa())
    p.stls(context=context(material))
    check("CAPA over TLS: no STLS", "STLS" not in p.capa() and "UIDL" in p.capa())
    p.user("ivan")
    p.pass_("secret")
    got = [b"\r\n".join(p.retr(n)[1]) + b"\r\n" for n in range(1, p.stat()[0] + 1)]
    p.quit()
    check("smtplib STARTTLS and SMTPS, then poplib STLS: byte-identical",
          [g.split(b"Subject: ")[1] for g in got] == [m.split(b"Subject: ")[1] for m in
                                                      (message("starttls"), message("smtps"))], repr(got)[:300])
    check("POP3S: the same messages", len(retrieve_all(server, material)) == 2)


def s_client(server, material):
    for proto, port in (("pop3", server.pop3), ("smtp", server.smtp)):
        r = subprocess.run(["openssl", "s_client", "-starttls", proto, "-connect", "127.0.0.1:%d" % port,
                            "-CAfile", material.ca["cert"], "-verify_return_error", "-verify_hostname", "localhost",
                            "-brief"], input=b"QUIT\r\n", capture_output=True, timeout=20)
        check("openssl s_client -starttls %s verifies" % proto, r.returncode == 0 and b"Verification: OK" in r.stderr,
              r.stderr.decode(errors="replace")[-300:])
    r = subprocess.run(["openssl", "s_client", "-connect", "127.0.0.1:%d" % server.pop3s, "-CAfile",
                        material.ca["cert"], "-verify_return_error", "-tls1_1"], input=b"QUIT\r\n",
                       capture_output=True, timeout=20)
    check("TLS 1.1 is refused", r.returncode != 0)


def log_of(server):
    return open(server.path("quelma.log"), "rb").read().decode("cp1251")


def s_client_rsa(port, *words):
    return subprocess.run(["openssl", "s_client", "-connect", "127.0.0.1:%d" % port, "-brief"] + list(words),
                          input=b"QUIT\r\n", capture_output=True, timeout=20)


def forward_secrecy(material):
    """With an RSA key, so that static RSA key exchange could be chosen at all."""
    pop3s = free_port()
    server = Quelma(QUELMA, ["LocalDomain = office.ru", "TLS_CERT_FILE = " + material.good_rsa["cert"],
                             "TLS_KEY_FILE = " + material.good_rsa["key"], "POP3_SRV_TLS_PORT = %d" % pop3s],
                    ["ivan secret", "postmaster"])
    wait_listening(pop3s)
    try:
        ca = ["-CAfile", material.ca["cert"], "-verify_return_error"]
        for suite in ("AES128-GCM-SHA256", "AES256-SHA256", "DHE-RSA-AES128-GCM-SHA256", "ECDHE-RSA-AES128-SHA"):
            r = s_client_rsa(pop3s, "-tls1_2", "-cipher", suite, *ca)
            check("TLS 1.2 with %s is refused" % suite, r.returncode != 0, r.stderr.decode(errors="replace")[-300:])
        for words, suite in ((["-tls1_2", "-cipher", "ECDHE-RSA-AES128-GCM-SHA256"], b"ECDHE-RSA-AES128-GCM-SHA256"),
                             (["-tls1_2", "-cipher", "ECDHE-RSA-CHACHA20-POLY1305"], b"ECDHE-RSA-CHACHA20-POLY1305"),
                             (["-tls1_3"], b"TLS_AES_256_GCM_SHA384")):
            r = s_client_rsa(pop3s, *(words + ca))
            check("%s is taken" % suite.decode(), r.returncode == 0 and suite in r.stderr,
                  r.stderr.decode(errors="replace")[-300:])
        r = s_client_rsa(pop3s, "-verify_return_error")  # the test CA is not among the system's
        check("a client that does not trust the certificate fails", r.returncode != 0)
        plain = socket.create_connection(("127.0.0.1", pop3s), timeout=10)
        plain.sendall(b"CAPA\r\n")
        plain.recv(100)
        plain.close()
        for _ in range(100):
            log = log_of(server)
            if "открытый текст" in log:
                break
            time.sleep(0.05)
        for words in ("TLS: почтовая программа знает только устаревшие версии TLS или шифры без прямой секретности",
                      "TLS: почтовая программа не приняла сертификат сервера",
                      "TLS: почтовая программа прислала открытый текст вместо TLS"):
            lines = [line for line in log.splitlines() if words in line]
            check("logged in words: " + words, lines and all(line.endswith(")") for line in lines), log[-2000:])
    finally:
        check("quelma exits 0 on SIGINT (RSA key)", server.stop() == 0)


def unusable_certificate(material):
    """Certificate and key swapped: refused by "config set", failed by "check local", and at the
    start the log says why and that the TLS port stays closed."""
    pop3s = free_port()
    swapped = ["TLS_CERT_FILE = " + material.good["key"], "TLS_KEY_FILE = " + material.good["cert"]]
    server = Quelma(QUELMA, ["LocalDomain = office.ru", "POP3_SRV_TLS_PORT = %d" % pop3s] + swapped,
                    ["ivan secret", "postmaster"])
    try:
        for _ in range(100):
            if "не открыт" in server.log():
                break
            time.sleep(0.05)
        log = server.log()
        check("the start names the swapped files in words", "TLS выключен: файлы перепутаны" in log, log[-1000:])
        check("the closed TLS port is logged", ("Порт %d (TLS) не открыт" % pop3s) in log, log[-1000:])
        r = subprocess.run([QUELMA, "--dir", server.dir, "check", "local"], capture_output=True, timeout=60)
        report = r.stdout.decode("utf-8", "replace") + r.stderr.decode("utf-8", "replace")
        check("check local fails on the swapped files", r.returncode != 0 and "файлы перепутаны" in report, report)
        r = subprocess.run([QUELMA, "--dir", server.dir, "config", "set", "TLS_CERT_FILE", material.good["key"],
                            "TLS_KEY_FILE", material.good["cert"]], capture_output=True, timeout=60)
        check("config set refuses the swapped files", r.returncode != 0 and
              "файлы перепутаны" in r.stderr.decode("utf-8", "replace"), r.stderr.decode("utf-8", "replace"))
        r = subprocess.run([QUELMA, "--dir", server.dir, "config", "set", "TLS_CERT_FILE", material.good["cert"],
                            "TLS_KEY_FILE", material.good["key"]], capture_output=True, timeout=60)
        check("config set takes them the right way round", r.returncode == 0, r.stderr.decode("utf-8", "replace"))
    finally:
        check("quelma exits 0 on SIGINT (swapped files)", server.stop() == 0)


def injection(server, material):
    """A client that sends a command together with STARTTLS / STLS must never get its answer
    through TLS."""
    for proto, port, first, after, good in (
            ("smtp", server.smtp, b"EHLO pc1\r\n", b"EHLO pc2\r\n", b"250-Hello pc2"),
            ("pop3", server.pop3, b"", b"CAPA\r\n", b"+OK Capability")):
        raw = socket.create_connection(("127.0.0.1", port), timeout=10)
        f = raw.makefile("rb")
        f.readline()
        if proto == "smtp":
            f.readline()
            raw.sendall(first)
            while not f.readline().startswith(b"250 "):
                pass
            raw.sendall(b"STARTTLS\r\nNOOP\r\n")
        else:
            raw.sendall(b"STLS\r\nNOOP\r\n")
        f.readline()
        tls = context(material).wrap_socket(raw, server_hostname="localhost")
        tls.sendall(after)
        reply = tls.recv(200)
        check("%s: what was sent with the TLS command is dropped" % proto, reply.startswith(good), repr(reply))
        tls.close()


def msmtp_mpop(server, material, work):
    if shutil.which("msmtp") is None or shutil.which("mpop") is None:
        check("msmtp and mpop are installed", False)
        return
    for starttls, port in (("on", server.smtp), ("off", server.smtps)):
        r = subprocess.run(["msmtp", "--host=localhost", "--port=%d" % port, "--tls=on", "--tls-starttls=" + starttls,
                            "--tls-trust-file=" + material.ca["cert"], "--from=a@office.ru", "ivan@office.ru"],
                           input=message("msmtp " + starttls), capture_output=True, timeout=30)
        check("msmtp with tls-starttls=%s" % starttls, r.returncode == 0, r.stderr.decode(errors="replace"))
    mbox = os.path.join(work, "mbox")
    for starttls, port in (("on", server.pop3), ("off", server.pop3s)):
        open(mbox, "wb").close()
        r = subprocess.run(["mpop", "--host=localhost", "--port=%d" % port, "--tls=on", "--tls-starttls=" + starttls,
                            "--tls-trust-file=" + material.ca["cert"], "--auth=user", "--user=ivan",
                            "--passwordeval=echo secret", "--keep=on", "--delivery=mbox," + mbox, "--uidls-file=" +
                            os.path.join(work, "uidls" + starttls), "--received-header=off"],
                           capture_output=True, timeout=30)
        got = open(mbox, "rb").read()
        check("mpop with tls-starttls=%s gets both msmtp messages" % starttls,
              r.returncode == 0 and got.count(BODY.rstrip(b"\r\n")) == 2, r.stderr.decode(errors="replace") + repr(got[:200]))
    retrieve_all(server, material)


def mutt_8bit(server, material, work):
    if shutil.which("mutt") is None:
        check("mutt is installed", False)
        return
    rc = os.path.join(work, "muttrc")
    with open(rc, "w") as f:
        f.write(f"""set smtp_url = "smtp://127.0.0.1:{server.smtp}/"
set ssl_starttls = yes
set ssl_force_tls = yes
set ssl_ca_certificates_file = "{material.ca['cert']}"
set ssl_verify_host = no
set from = "a@office.ru"
set send_charset = "utf-8"
set use_from = yes
set record = ""
set allow_8bit = yes
""")
    body = os.path.join(work, "body")
    with open(body, "w", encoding="utf-8") as f:
        f.write("Восьмибитное письмо из mutt\n")
    env = dict(os.environ, HOME=work, LANG="C.UTF-8")
    r = subprocess.run(["mutt", "-n", "-F", rc, "-s", "mutt", "ivan@office.ru"], stdin=open(body, "rb"),
                       capture_output=True, timeout=60, env=env)
    got = retrieve_all(server, material)
    ok = r.returncode == 0 and len(got) == 1 and "Восьмибитное".encode("utf-8") in got[0] and b"8bit" in got[0]
    check("mutt sends 8-bit mail over STARTTLS", ok, r.stderr.decode(errors="replace") + repr(got)[:300])


def main():
    work = tempfile.mkdtemp(prefix="quelma-localtls-")
    material = Material(work)
    pop3s, smtps = free_port(), free_port()
    server = Quelma(QUELMA, ["LocalDomain = office.ru", "TLS_CERT_FILE = " + material.good["cert"],
                             "TLS_KEY_FILE = " + material.good["key"], "POP3_SRV_TLS_PORT = %d" % pop3s,
                             "SMTP_SRV_TLS_PORT = %d" % smtps], ["ivan secret", "postmaster"])
    server.pop3s, server.smtps = pop3s, smtps
    wait_listening(pop3s)
    wait_listening(smtps)
    try:
        for name, run in (("forward secrecy", lambda: forward_secrecy(material)),
                          ("unusable certificate", lambda: unusable_certificate(material)),
                          ("python", lambda: python_clients(server, material)),
                          ("s_client", lambda: s_client(server, material)),
                          ("injection", lambda: injection(server, material)),
                          ("msmtp/mpop", lambda: msmtp_mpop(server, material, work)),
                          ("mutt", lambda: mutt_8bit(server, material, work))):
            try:
                run()
            except Exception as e:  # a client that failed outright is a failed check, the rest still run
                check(name + " ran", False, repr(e))
        log = open(server.path("quelma.log"), "rb").read().decode("cp1251")
        check("the TLS ports are logged", ("порту %d (TLS)" % pop3s) in log and ("порту %d (TLS)" % smtps) in log)
        if checks.failures:
            print(log[-3000:])
    finally:
        check("quelma exits 0 on SIGINT", server.stop() == 0)
        shutil.rmtree(work, ignore_errors=True)
    return checks.result()


if __name__ == "__main__":
    sys.exit(main())
