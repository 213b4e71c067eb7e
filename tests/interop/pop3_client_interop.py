#!/usr/bin/env python3
"""quelma's POP3 client collects from Dovecot's POP3 server on 127.0.0.1 (which takes pipelined
commands): a USER/PASS and an APOP account, 100 messages with dot lines, 8-bit text, "From "
lines, lines of every length around the readers' piece boundaries and one of 20 MB. Every
message must arrive byte-identical in the right maildrop, and the provider mailboxes must end
up empty."""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from quelma_process import Checks, Quelma, account_port, scramble

def messages():
    line = "Строка текста с буквами ЁЁ and dots\r\n".encode("cp1251")
    out = []
    for i in range(100):
        body = b"Subject: message %d\r\nFrom: <sender%d@example.com>\r\n\r\n.leading dot\r\n..two dots\r\n" % (i, i)
        body += line * (i + 1)
        out.append(body)
    out[50] = b"Subject: big\r\n\r\n" + (b"x" * 998 + b"\r\n") * 20000
    # "From " lines, and a line of every length around each piece boundary of the readers.
    out[51] = b"Subject: lengths\r\n\r\nFrom the desk of Ivan\r\nFrom \r\n" + b"".join(
        b"%d:" % n + b"z" * (n - len(b"%d:" % n)) + b"\r\n"
        for n in (996, 997, 998, 999, 1197, 1198, 1199, 1200, 1201, 1497, 1498, 1499, 1500, 1994, 1995, 1996, 1997,
                  65534, 65535, 65536, 65537, 65538))
    return out


def dovecot(work, port):
    conf = os.path.join(work, "dovecot.conf")
    with open(os.path.join(work, "passwd"), "w") as f:
        f.write("plainuser:{PLAIN}secret1::::::\napopuser:{PLAIN}secret2::::::\n")
    with open(conf, "w") as f:
        f.write(f"""protocols = pop3
listen = 127.0.0.1
base_dir = {work}/run
state_dir = {work}/state
log_path = {work}/dovecot.log
ssl = no
disable_plaintext_auth = no
auth_mechanisms = plain apop
first_valid_uid = 1
default_internal_user = dovecot
default_login_user = dovenull
passdb {{
  driver = passwd-file
  args = {work}/passwd
}}
userdb {{
  driver = static
  args = uid=dovecot gid=dovecot home={work}/home/%u
}}
mail_location = maildir:~/Maildir
service pop3-login {{
  inet_listener pop3 {{
    address = 127.0.0.1
    port = {port}
  }}
}}
""")
    return conf


def fill_maildir(work, user, texts):
    cur = os.path.join(work, "home", user, "Maildir", "cur")
    for sub in ("cur", "new", "tmp"):
        os.makedirs(os.path.join(work, "home", user, "Maildir", sub), exist_ok=True)
    for i, t in enumerate(texts):
        with open(os.path.join(cur, "%010d.M%dP1.test,S=%d:2," % (1700000000 + i, i, len(t))), "wb") as f:
            f.write(t)


def maildrop_texts(path):
    if not os.path.exists(path):
        return []
    data = open(path, "rb").read()
    marker = b"From \x01\x01\x02\x02\x01\x01\x03\x03"
    return [part.split(b"\r\n", 1)[1] for part in data.split(marker)[1:]]


def main():
    quelma = sys.argv[1]
    checks = Checks()
    if shutil.which("dovecot") is None:
        checks.check("dovecot is installed", False)
        return 1
    work = tempfile.mkdtemp(prefix="quelma-dovecot-")
    os.chmod(work, 0o755)  # Dovecot reads its passwd file and the homes as its own user
    port = account_port()
    texts = messages()
    fill_maildir(work, "plainuser", texts[:60])
    fill_maildir(work, "apopuser", texts[60:])
    subprocess.run(["chown", "-R", "dovecot:dovecot", os.path.join(work, "home")], check=True)
    conf = dovecot(work, port)
    subprocess.run(["dovecot", "-c", conf], check=True)
    server = None
    try:
        time.sleep(0.5)
        server = Quelma(quelma, ["LocalDomain = office.ru", "PostMaster = postmaster", "[POP3accounts]",
                                 "127.0.0.1 plainuser ; %s-%d-0-ivan" % (scramble("secret1"), port),
                                 "127.0.0.1 apopuser ; %s-%d-1-petr" % (scramble("secret2"), port)],
                        ["postmaster", "ivan", "petr"])
        server.proc.send_signal(signal.SIGUSR1)
        want = {"ivan": texts[:60], "petr": texts[60:]}
        for _ in range(600):
            got = {u: maildrop_texts(server.path("maildrop", u)) for u in want}
            if all(len(got[u]) == len(want[u]) for u in want):
                break
            time.sleep(0.1)
        for user in want:
            checks.check("%s: every message, byte-identical" % user, got[user] == want[user],
                         "%d of %d" % (len(got[user]), len(want[user])))
        for user in ("plainuser", "apopuser"):
            left = os.listdir(os.path.join(work, "home", user, "Maildir", "cur"))
            checks.check("%s: the provider mailbox is empty" % user, left == [], str(len(left)))
        log = open(server.path("quelma.log"), "rb").read().decode("cp1251")
        if checks.failures:
            print(log[-1500:])
            print(open(os.path.join(work, "dovecot.log")).read()[-1500:])
        checks.check("the APOP account logged in with APOP", "APOP apopuser " in log)
    finally:
        if server:
            checks.check("quelma exits 0 on SIGINT", server.stop() == 0)
        subprocess.run(["dovecot", "-c", conf, "stop"], capture_output=True)
        shutil.rmtree(work, ignore_errors=True)
    return checks.result()


if __name__ == "__main__":
    sys.exit(main())
