#!/usr/bin/env python3
"""quelma's SMTP client uploads its queue over TLS to a private Postfix on 127.0.0.1 playing the
provider's submission server: one smtpd with implicit TLS (wrapper mode, as on port 465) and one
that requires STARTTLS (as on port 587), both taking AUTH only over TLS and checking the password
through the auth socket of a private Dovecot. Postfix relays what it accepts to aiosmtpd, which
keeps it. Each way every message arrives byte-identical to its queue file's message part plus the
trace header (below the Received header Postfix prepends), from the sender's alias to both
recipients, the queue ends empty and the login comes only after TLS is up. An smtpd that offers
no STARTTLS ends the upload with error 25, the queue whole and no password sent.

The Postfix and Dovecot set-up is shared with bench/tls_upload_vs_postfix."""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import warnings

from quelma_process import Checks, Quelma, account_port, scramble
from smtp_client_interop import PASSWORD, arrived_whole, queue_files
from tls_material import Material

try:
    from aiosmtpd.controller import Controller
except ImportError:  # reported as a failed check below
    Controller = None
warnings.filterwarnings("ignore", message="Session.login_data is deprecated")

LOGIN = "office"

# Every daemon of the private instance runs outside a chroot: it works in the temporary directory,
# where a chroot would lack /etc/services, /etc/hosts and the rest.
MASTER = """pickup    unix  n       -       n       60      1       pickup
cleanup   unix  n       -       n       -       0       cleanup
qmgr      unix  n       -       n       300     1       qmgr
tlsmgr    unix  -       -       n       1000?   1       tlsmgr
rewrite   unix  -       -       n       -       -       trivial-rewrite
bounce    unix  -       -       n       -       0       bounce
defer     unix  -       -       n       -       0       bounce
trace     unix  -       -       n       -       0       bounce
verify    unix  -       -       n       -       1       verify
flush     unix  n       -       n       1000?   0       flush
proxymap  unix  -       -       n       -       -       proxymap
proxywrite unix -       -       n       -       1       proxymap
smtp      unix  -       -       n       -       -       smtp
relay     unix  -       -       n       -       -       smtp
showq     unix  n       -       n       -       -       showq
error     unix  -       -       n       -       -       error
retry     unix  -       -       n       -       -       error
discard   unix  -       -       n       -       -       discard
local     unix  -       n       n       -       -       local
virtual   unix  -       n       n       -       -       virtual
lmtp      unix  -       -       n       -       -       lmtp
anvil     unix  -       -       n       -       1       anvil
scache    unix  -       -       n       -       1       scache
postlog   unix-dgram n  -       n       -       1       postlogd
"""

# How each kind of submission port differs from main.cf (which asks for TLS before AUTH).
WRAPPER = ["smtpd_tls_wrappermode=yes"]                 # implicit TLS, as on port 465
STARTTLS = ["smtpd_tls_security_level=encrypt"]         # STARTTLS required, as on port 587
NO_TLS = ["smtpd_tls_security_level=none"]              # no STARTTLS offered, so no AUTH either
PLAIN_AUTH = ["smtpd_tls_security_level=none", "smtpd_tls_auth_only=no"]  # AUTH over plain text


def ensure_postfix():
    """Installs Postfix if it is missing, its own service kept from starting by policy-rc.d."""
    if shutil.which("postfix"):
        return
    if not os.path.exists("/usr/sbin/policy-rc.d"):
        with open("/usr/sbin/policy-rc.d", "w") as f:
            f.write("#!/bin/sh\nexit 101\n")
        os.chmod("/usr/sbin/policy-rc.d", 0o755)
    subprocess.run("echo 'postfix postfix/main_mailer_type select No configuration' | debconf-set-selections",
                   shell=True, check=True)
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    if subprocess.run(["apt-get", "install", "-y", "-qq", "postfix"], env=env).returncode != 0:
        subprocess.run(["apt-get", "update", "-qq"], env=env)
        subprocess.run(["apt-get", "install", "-y", "-qq", "postfix"], env=env)


def wait_port(port, tries=300):
    for _ in range(tries):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            time.sleep(0.05)
    return False


class DovecotAuth:
    """A Dovecot of its own that serves no protocol, only its auth socket for Postfix, with the
    users of a passwd-file (name: password) and the PLAIN and LOGIN mechanisms."""

    def __init__(self, work, users):
        self.dir = os.path.join(work, "dovecot")
        os.makedirs(self.dir)
        os.chmod(self.dir, 0o755)  # its auth process reads the passwd file as the dovecot user
        with open(os.path.join(self.dir, "passwd"), "w") as f:
            f.writelines("%s:{PLAIN}%s::::::\n" % (u, p) for u, p in users.items())
        self.socket = os.path.join(self.dir, "run", "auth-postfix")
        self.conf = os.path.join(self.dir, "dovecot.conf")
        with open(self.conf, "w") as f:
            f.write(f"""protocols = none
listen = 127.0.0.1
base_dir = {self.dir}/run
state_dir = {self.dir}/state
log_path = {self.dir}/dovecot.log
ssl = no
disable_plaintext_auth = no
auth_mechanisms = plain login
first_valid_uid = 1
default_internal_user = dovecot
default_login_user = dovenull
passdb {{
  driver = passwd-file
  args = {self.dir}/passwd
}}
userdb {{
  driver = static
  args = uid=dovecot gid=dovecot home={self.dir}/home/%u
}}
service auth {{
  unix_listener auth-postfix {{
    mode = 0666
  }}
}}
""")
        subprocess.run(["dovecot", "-c", self.conf], check=True)
        for _ in range(300):
            if os.path.exists(self.socket):
                break
            time.sleep(0.05)

    def log(self):
        path = os.path.join(self.dir, "dovecot.log")
        return open(path, errors="replace").read() if os.path.exists(path) else ""

    def stop(self):
        subprocess.run(["dovecot", "-c", self.conf, "stop"], capture_output=True)


class Postfix:
    """A Postfix instance of its own in `work`/`name`: config directory, queue and data directory
    there, listening on 127.0.0.1 only. `smtpd` maps a port to the -o settings of the smtpd on it;
    `main` holds further main.cf lines. AUTH goes to Dovecot's socket `sasl`, and is taken only
    over TLS unless a port says otherwise."""

    def __init__(self, work, name, smtpd, main, sasl=None, material=None):
        self.dir = os.path.join(work, name)
        self.conf = os.path.join(self.dir, "conf")
        self.queue = os.path.join(self.dir, "queue")
        for d in (self.conf, self.queue, os.path.join(self.dir, "data")):
            os.makedirs(d, exist_ok=True)
        os.chmod(self.dir, 0o755)
        shutil.chown(os.path.join(self.dir, "data"), "postfix")
        self.ports = list(smtpd)
        lines = ["compatibility_level = 3.6", "queue_directory = " + self.queue,
                 "data_directory = %s/data" % self.dir, "mail_owner = postfix", "setgid_group = postdrop",
                 "myhostname = %s.provider.test" % name, "mydomain = provider.test", "myorigin = provider.test",
                 "mydestination =", "relay_domains =", "local_recipient_maps =", "alias_maps =", "alias_database =",
                 "inet_interfaces = 127.0.0.1", "inet_protocols = ipv4", "mynetworks = 127.0.0.1/32",
                 "maillog_file = %s/maillog" % self.dir, "maillog_file_prefixes = " + work,
                 "message_size_limit = 200000000", "mailbox_size_limit = 0", "smtputf8_enable = no", "biff = no",
                 # Leave the header alone: no Date/Message-ID added, no address rewriting, no 8-bit
                 # text turned into quoted-printable on the way out.
                 "local_header_rewrite_clients =", "disable_mime_output_conversion = yes",
                 "smtpd_relay_restrictions = permit_sasl_authenticated, reject"]
        if material:
            lines += ["smtpd_tls_cert_file = " + material.good["cert"], "smtpd_tls_key_file = " + material.good["key"],
                      "smtpd_tls_security_level = may", "smtpd_tls_loglevel = 1"]
        if sasl:
            lines += ["smtpd_sasl_auth_enable = yes", "smtpd_sasl_type = dovecot", "smtpd_sasl_path = " + sasl,
                      "smtpd_tls_auth_only = yes"]
        with open(os.path.join(self.conf, "main.cf"), "w") as f:
            f.write("\n".join(lines + main) + "\n")
        with open(os.path.join(self.conf, "master.cf"), "w") as f:
            f.write(MASTER)
            for port, options in smtpd.items():
                f.write("127.0.0.1:%d inet n - n - - smtpd\n" % port)
                f.writelines("  -o %s\n" % o for o in options)
        subprocess.run(["postfix", "-c", self.conf, "start"], check=True, capture_output=True)
        self.started = True
        for port in self.ports:
            wait_port(port)

    def queued(self, *queues):
        return sum(len(files) for q in queues for _, _, files in os.walk(os.path.join(self.queue, q)))

    def pending(self):
        return self.queued("maildrop", "incoming", "active", "deferred", "hold")

    def maillog(self):
        path = os.path.join(self.dir, "maillog")
        return open(path, errors="replace").read() if os.path.exists(path) else ""

    def master_pid(self):
        return int(open(os.path.join(self.queue, "pid", "master.pid")).read().split()[0])

    def stop(self):
        if self.started:
            subprocess.run(["postfix", "-c", self.conf, "stop"], capture_output=True)
            self.started = False


class Sink:
    """aiosmtpd on 127.0.0.1 that keeps what Postfix relays: (sender, recipients, bytes)."""

    def __init__(self):
        self.received = []
        self.port = account_port()
        self.controller = Controller(self, hostname="127.0.0.1", port=self.port, data_size_limit=None)
        self.controller.start()

    async def handle_DATA(self, server, session, envelope):
        self.received.append((envelope.mail_from, list(envelope.rcpt_tos), envelope.original_content))
        return "250 OK kept"

    def stop(self):
        self.controller.stop()


def below_received(data):
    """The message as quelma sent it. Postfix's smtpd prepends exactly one header, its Received,
    folded over several lines ("from" the EHLO name and the client's address, "by" its host name
    "with ESMTPSA" and the queue id, "for" the recipient when there is one, the date); with the
    set-up above it changes nothing else. None when the first header is not that."""
    if not data.startswith(b"Received: from "):
        return None
    end = 0
    while True:
        end = data.index(b"\r\n", end) + 2
        if data[end:end + 1] not in (b" ", b"\t"):
            return data[end:]


def quelma_parameters(host, port, mode, ca, login=LOGIN, password=PASSWORD.decode()):
    return ["LocalDomain = office.ru", "PostMaster = postmaster", "SMTPServer = " + host, "SMTPSport = %d" % port,
            "SMTP_USES_LOGIN = 1", "SMTP_LOGIN_NAME = " + login, "SMTP_LOGIN_PASS = " + scramble(password),
            "SMTP_TLS = " + mode, "TLS_CA_FILE = " + ca]


def scenario(binary, checks, material, postfix, sink, what, host, port, mode, error=None):
    files = queue_files()[:8]  # the eighth is 8 MB
    before, logged = len(sink.received), len(postfix.maillog())
    server = Quelma(binary, quelma_parameters(host, port, mode, material.ca["cert"]),
                    ["postmaster", "ivan  ; ivan.petrov@provider.test"])
    try:
        log = server.upload(files)
        left = sorted(os.listdir(server.path("queue")))
        if error is None:
            checks.check(what + ": the queue is empty", left == [], str(left))
            for _ in range(600):  # Postfix relays to the sink after it has accepted
                if len(sink.received) - before >= len(files) and postfix.pending() == 0:
                    break
                time.sleep(0.1)
            got = sink.received[before:]
            checks.check(what + ": Postfix relayed every message once", len(got) == len(files),
                         "%d of %d" % (len(got), len(files)))
            unmatched = []
            for _, _, header, body in files:
                hits = [g for g in got if below_received(g[2]) is not None and arrived_whole(below_received(g[2]), header, body)]
                if len(hits) != 1:
                    unmatched.append(header.split(b"\r\n")[2].decode())
            checks.check(what + ": every message byte-identical below Postfix's Received", unmatched == [],
                         str(unmatched))
            checks.check(what + ": sent from the alias", all(g[0] == "ivan.petrov@provider.test" for g in got),
                         str([g[0] for g in got]))
            wanted = sorted(sorted(["far%d@far.away" % i, "second@far.away"]) for i in range(len(files)))
            checks.check(what + ": to both recipients", sorted(sorted(g[1]) for g in got) == wanted,
                         str([g[1] for g in got]))
            up, auth = log.find("Установлено защищенное соединение"), log.find("AUTH ")
            checks.check(what + ": logged in only over TLS", 0 <= up < auth, log[max(0, up - 200):auth + 60])
            seen = postfix.maillog()[logged:]
            checks.check(what + ": Postfix saw an authenticated TLS client",
                         "sasl_username=" + LOGIN in seen and "TLS connection established" in seen, seen[-1500:])
        else:
            checks.check(what + ": error %d" % error, ("Error number %d\r\n" % error) in log, log[-600:])
            checks.check(what + ": the queue is whole", left == [f[0] for f in files], str(left))
            time.sleep(0.5)
            checks.check(what + ": nothing sent, no login tried",
                         len(sink.received) == before and "AUTH " not in log and postfix.pending() == 0)
        if checks.failures:
            print(log[-2500:])
    finally:
        checks.check(what + ": quelma exits 0 on SIGINT", server.stop() == 0)


def main():
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))  # still stop Postfix and Dovecot
    checks = Checks()
    if Controller is None:
        checks.check("aiosmtpd is installed", False)
        return 1
    ensure_postfix()
    for needed in ("postfix", "dovecot"):
        if shutil.which(needed) is None:
            checks.check(needed + " is installed", False)
            return checks.result()
    binary = sys.argv[1]
    work = tempfile.mkdtemp(prefix="quelma-postfix-")
    os.chmod(work, 0o755)  # Postfix and Dovecot work in it as their own users
    dovecot = postfix = sink = None
    try:
        material = Material(work)
        for name in os.listdir(work):
            os.chmod(os.path.join(work, name), 0o644)
        sink = Sink()
        dovecot = DovecotAuth(work, {LOGIN: PASSWORD.decode()})
        wrapper, starttls, none = account_port(), account_port(), account_port()
        postfix = Postfix(work, "provider", {wrapper: WRAPPER, starttls: STARTTLS, none: NO_TLS},
                          ["default_transport = smtp:[127.0.0.1]:%d" % sink.port,
                           "relay_transport = smtp:[127.0.0.1]:%d" % sink.port],
                          sasl=dovecot.socket, material=material)
        checks.check("Postfix listens on its three ports", all(wait_port(p, 1) for p in (wrapper, starttls, none)))
        scenario(binary, checks, material, postfix, sink, "implicit TLS", "127.0.0.1", wrapper, "SSL")
        scenario(binary, checks, material, postfix, sink, "STARTTLS", "localhost", starttls, "STARTTLS")
        scenario(binary, checks, material, postfix, sink, "no STARTTLS offered", "127.0.0.1", none, "STARTTLS",
                 error=25)
        if checks.failures:
            print(postfix.maillog()[-3000:])
            print(dovecot.log()[-1500:])
    finally:
        if postfix:
            postfix.stop()
        if dovecot:
            dovecot.stop()
        if sink:
            sink.stop()
        shutil.rmtree(work, ignore_errors=True)
    return checks.result()


if __name__ == "__main__":
    sys.exit(main())
