#!/usr/bin/env python3
"""Dovecot's imapd on 127.0.0.1 as the provider of quelma's IMAP collection, made afresh for each
check in a directory of its own:

    with ImapProvider({"ivan": "secret"}) as provider:
        provider.deliver("ivan", b"Subject: hi\\r\\n\\r\\nbody\\r\\n", folder="Work")
        ... quelma collects from 127.0.0.1:provider.imaps_port (TLS from the first byte) or
        ... provider.imap_port (STARTTLS), trusting provider.material.ca["cert"]; then
        provider.messages("ivan", "Work") -> [(flags, bytes), ...] in UID order

Mail lives in maildirs under WORK/home/USER/Maildir (Maildir++ folders, made when mail is
delivered into them). deliver() goes through Dovecot's own LDA, so IDLE clients are told as with
real delivery; fill() writes message files straight into a maildir (for bulk). recreate() deletes
a folder and makes it again with the same messages: a new UIDVALIDITY and new UIDs. restart()
stops Dovecot (every connection drops) and starts it again on the same ports.

With oauth=True an identity platform (oauth_peers.OAuthServer, keyword arguments go to it) runs
beside Dovecot and XOAUTH2 and OAUTHBEARER logins are checked at its introspection endpoint;
every user still has a password for PLAIN/LOGIN (the test's own look into the mailboxes).

Dovecot logs each IMAP connection's end with what it fetched: sessions(user) reads those lines,
so a check can tell what was downloaded from the provider's side.

    /usr/bin/python3 imap_provider.py --self-check   proves all this with imaplib."""
import contextlib
import imaplib
import os
import pwd
import re
import select
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from oauth_peers import OAuthServer, oauth2_passdb_block, oauthbearer, xoauth2  # noqa: E402
from pop3_client_interop import fill_maildir  # noqa: E402
from quelma_process import account_port, eventually, wait_listening  # noqa: E402
from tls_material import Material  # noqa: E402

LDA = "/usr/lib/dovecot/dovecot-lda"
OWN = "127.0.0.3"  # the address of the test's own looks into the mailboxes (apart in the counts)
SCRATCH = "Recreated-meanwhile"  # where recreate() keeps the messages while the folder is gone


class ImapProvider:
    def __init__(self, users, oauth=False, **oauth_args):
        """`users`: name -> password."""
        self.users = dict(users)
        self.work = tempfile.mkdtemp(prefix="quelma-imap-provider-")
        os.chmod(self.work, 0o755)  # Dovecot reads its files and the homes as its own user
        self.oauth, self.running = None, False
        try:
            self.material = Material(self.work)
            for name in os.listdir(self.work):
                os.chmod(os.path.join(self.work, name), 0o644)
            owner = pwd.getpwnam("dovecot")
            self.owner = (owner.pw_uid, owner.pw_gid)
            self.home = os.path.join(self.work, "home")
            os.mkdir(self.home)
            os.chown(self.home, *self.owner)
            with open(os.path.join(self.work, "passwd"), "w") as f:
                f.writelines("%s:{PLAIN}%s::::::\n" % item for item in self.users.items())
            passdbs, mechanisms = "", "plain login"
            if oauth:
                self.oauth = OAuthServer(self.material, **oauth_args)
                passdbs, mechanisms = oauth2_passdb_block(self.work, self.oauth, self.material) + "\n", mechanisms + " xoauth2 oauthbearer"
            # quelma.cfg keeps provider ports up to 30000.
            self.imap_port, self.imaps_port = account_port(), account_port()
            while self.imaps_port == self.imap_port:
                self.imaps_port = account_port()
            self.log_path = os.path.join(self.work, "dovecot.log")
            self.conf = os.path.join(self.work, "dovecot.conf")
            with open(self.conf, "w") as f:
                f.write(f"""protocols = imap
listen = 127.0.0.1
base_dir = {self.work}/run
state_dir = {self.work}/state
log_path = {self.log_path}
ssl = yes
ssl_cert = <{self.material.good["cert"]}
ssl_key = <{self.material.good["key"]}
disable_plaintext_auth = yes
auth_mechanisms = {mechanisms}
auth_failure_delay = 0
first_valid_uid = 1
default_internal_user = dovecot
default_login_user = dovenull
mail_location = maildir:~/Maildir
mail_log_prefix = "%s(%u)<%{{pid}}><%r>: "
imap_logout_format = in=%i out=%o bodies=%{{fetch_body_count}} body_bytes=%{{fetch_body_bytes}} expunged=%{{expunged}}
lda_mailbox_autocreate = yes
lda_mailbox_autosubscribe = yes
postmaster_address = postmaster@provider.test
{passdbs}passdb {{
  driver = passwd-file
  mechanisms = plain login
  args = {self.work}/passwd
}}
userdb {{
  driver = static
  args = uid=dovecot gid=dovecot home={self.home}/%u allow_all_users=yes
}}
service imap-login {{
  inet_listener imap {{
    address = 127.0.0.1
    port = {self.imap_port}
  }}
  inet_listener imaps {{
    address = 127.0.0.1
    port = {self.imaps_port}
    ssl = yes
  }}
}}
service anvil {{
  unix_listener anvil-auth-penalty {{
    mode = 0
  }}
}}
""")
            self.start()
        except BaseException:
            self.stop()
            raise

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    # -- the server

    def start(self):
        with open(os.path.join(self.work, "start.log"), "ab") as out:
            # Dovecot's daemons keep the descriptors they were given: no pipes here.
            started = subprocess.run(["dovecot", "-c", self.conf], stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                                     timeout=60)
        self.running = True
        if started.returncode != 0 or not all(wait_listening(p, 500) for p in (self.imap_port, self.imaps_port)):
            raise RuntimeError("dovecot did not start: " + open(os.path.join(self.work, "start.log")).read()
                               + self.log()[-2000:])

    def halt(self):
        """Stops Dovecot and waits until it is gone (its connections dropped, its ports closed)."""
        if not self.running:
            return
        subprocess.run(["dovecot", "-c", self.conf, "stop"], capture_output=True, timeout=60)
        self.running = False
        pid = os.path.join(self.work, "run", "master.pid")
        eventually(lambda: not os.path.exists(pid) and not any(_accepts(p) for p in (self.imap_port, self.imaps_port)),
                   30)

    def restart(self):
        self.halt()
        self.start()

    def stop(self):
        try:
            self.halt()
        finally:
            if self.oauth:
                self.oauth.stop()
                self.oauth = None
            shutil.rmtree(self.work, ignore_errors=True)

    def log(self):
        return open(self.log_path, errors="replace").read() if os.path.exists(self.log_path) else ""

    def sessions(self, user, own=False):
        """Each ended IMAP connection of `user` so far (but the test's own looks, or only those),
        as Dovecot logged it: dicts of bodies (messages whose body or whole text was fetched),
        body_bytes and expunged."""
        found = re.findall(r"imap\(%s\)<\d+><%s>: [^\n]*Disconnected[^\n]* bodies=(\d+) body_bytes=(\d+) expunged=(\d+)"
                           % (re.escape(user), re.escape(OWN) if own else r"(?!%s>)[^>]*" % re.escape(OWN)), self.log())
        return [{"bodies": int(b), "body_bytes": int(n), "expunged": int(e)} for b, n, e in found]

    def logins(self, user, tls=False):
        """How many times `user` logged in (with `tls`: over TLS, STARTTLS or IMAPS), the
        test's own looks aside."""
        lines = re.findall(r"imap-login: Info: Login: user=<%s>,[^\n]*" % re.escape(user), self.log())
        return sum(1 for line in lines if "rip=%s," % OWN not in line and (not tls or ", TLS," in line))

    # -- the mailboxes

    def maildir(self, user, folder="INBOX"):
        root = os.path.join(self.home, user, "Maildir")
        return root if folder == "INBOX" else os.path.join(root, "." + folder)

    def deliver(self, user, message, folder="INBOX"):
        """Delivers through Dovecot's LDA (folder made when missing)."""
        command = [LDA, "-c", self.conf, "-d", user, "-f", "sender@outside.test"]
        if folder != "INBOX":
            command += ["-m", folder]
        done = subprocess.run(command, input=message, capture_output=True, timeout=60)
        if done.returncode != 0:
            raise RuntimeError("dovecot-lda %s: exit %d %s" % (user, done.returncode, done.stderr.decode(errors="replace")))

    def fill(self, user, texts):
        """Writes the messages straight into the user's INBOX maildir (cur/, unseen): fast, but
        no IMAP client is told."""
        fill_maildir(self.work, user, texts)
        subprocess.run(["chown", "-R", "%d:%d" % self.owner, os.path.join(self.home, user)], check=True)

    def client(self, user):
        """imaplib logged in as `user` with the password over IMAPS, from the test's own address."""
        imap = _OwnImap("127.0.0.1", self.imaps_port, ssl_context=_context(self), timeout=60)
        imap.login(user, self.users[user])
        return imap

    @contextlib.contextmanager
    def _looking(self, user):
        """A client() for the test's own look, logged out when done and waited for until Dovecot
        logged its end: it never counts among the connections of a session that follows."""
        ended = len(self.sessions(user, own=True))
        imap = self.client(user)
        try:
            yield imap
        finally:
            imap.logout()
            eventually(lambda: len(self.sessions(user, own=True)) > ended, 10)

    def messages(self, user, folder="INBOX"):
        """[(flags, bytes)] in UID order, read with BODY.PEEK[] in a read-only SELECT; [] when
        the folder does not exist. flags: a set of strings such as "\\\\Seen"."""
        with self._looking(user) as imap:
            if imap.select(folder, readonly=True)[0] != "OK":
                return []
            return [(flags, text) for _, flags, text in _fetch_all(imap)]

    def uidvalidity(self, user, folder="INBOX"):
        with self._looking(user) as imap:
            return _uidvalidity(imap, folder)

    def create(self, user, folder):
        with self._looking(user) as imap:
            imap.create(folder)
            imap.subscribe(folder)

    def recreate(self, user, folder="INBOX"):
        """The folder deleted and made again, its messages (flags and dates kept) moved back in:
        they get new UIDs under a new UIDVALIDITY. INBOX cannot be deleted over IMAP: it is
        emptied and Dovecot gives it a new UIDVALIDITY."""
        before = self.uidvalidity(user, folder)
        with self._looking(user) as imap:
            imap.create(SCRATCH)
            _ok(imap.select(folder))
            _ok(imap.uid("MOVE", "1:*", SCRATCH))
            imap.close()
            if folder != "INBOX":
                _ok(imap.delete(folder))
                _ok(imap.create(folder))
            changed = _uidvalidity(imap, folder) != before
            if not changed:  # INBOX, or made again within the second that made it first
                subprocess.run(["doveadm", "-c", self.conf, "mailbox", "update", "-u", user, "--uid-validity",
                                str(max(before + 1, int(time.time()))), folder], check=True, capture_output=True)
            _ok(imap.select(SCRATCH))
            _ok(imap.uid("MOVE", "1:*", folder))
            imap.close()
            _ok(imap.delete(SCRATCH))
        after = self.uidvalidity(user, folder)
        if after == before:
            raise RuntimeError("UIDVALIDITY of %s/%s stayed %d" % (user, folder, before))
        return after


class _OwnImap(imaplib.IMAP4_SSL):
    def _create_socket(self, timeout):
        sock = socket.create_connection((self.host, self.port), timeout, source_address=(OWN, 0))
        return self.ssl_context.wrap_socket(sock, server_hostname=self.host)


def _ok(answer):
    if answer[0] != "OK":
        raise RuntimeError("IMAP: %r" % (answer,))
    return answer


def _uidvalidity(imap, folder):
    typ, data = imap.status(folder, "(UIDVALIDITY)")
    return int(re.search(rb"UIDVALIDITY (\d+)", data[0]).group(1)) if typ == "OK" else None


def _fetch_all(imap):
    """(uid, flags, bytes) of every message in the selected folder."""
    typ, data = imap.uid("FETCH", "1:*", "(UID FLAGS BODY.PEEK[])")
    _ok((typ, data))
    out = []
    for item in data:
        if isinstance(item, tuple):
            head = item[0]
            flags = set(re.search(rb"FLAGS \(([^)]*)\)", head).group(1).decode().split()) - {"\\Recent"}
            out.append((int(re.search(rb"UID (\d+)", head).group(1)), flags, item[1]))
    return sorted(out, key=lambda m: m[0])


def _accepts(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


class Idler:
    """A bare IMAP connection waiting in IDLE on a user's INBOX (imaplib has no IDLE)."""

    def __init__(self, provider, user):
        self.sock = socket.create_connection(("127.0.0.1", provider.imap_port), timeout=30)
        self.buf = b""
        self.line()
        for command in (b"a LOGIN %s %s" % (user.encode(), provider.users[user].encode()), b"b SELECT INBOX", b"c IDLE"):
            self.sock.sendall(command + b"\r\n")
            while not self.line().startswith((b"a OK", b"b OK", b"+ ")):
                pass

    def line(self, seconds=30):
        end = time.monotonic() + seconds
        while b"\r\n" not in self.buf:
            if not select.select([self.sock], [], [], max(0, end - time.monotonic()))[0]:
                return b""
            chunk = self.sock.recv(65536)
            if not chunk:
                return b""
            self.buf += chunk
        line, self.buf = self.buf.split(b"\r\n", 1)
        return line

    def close(self):
        self.sock.sendall(b"DONE\r\nd LOGOUT\r\n")
        self.sock.close()


def self_check():
    """Proves the provider with imaplib; exit status 0 when all holds."""
    failures = []

    def check(what, ok, detail=""):
        print(("ok   " if ok else "FAIL ") + what + ("" if ok else "  " + str(detail)[:2000]))
        if not ok:
            failures.append(what)

    text = b"From: <anna@outside.test>\r\nSubject: one\r\nMessage-ID: <1@outside.test>\r\n\r\n.dot\r\nline\r\n"
    with ImapProvider({"ivan": "pw-ivan", "ivan@provider.test": "pw-x"}, oauth=True) as p:
        idler = Idler(p, "ivan")
        p.deliver("ivan", text)
        pushed = idler.line()
        check("an IDLE client is told of an LDA delivery", pushed.endswith(b" EXISTS"), pushed)
        idler.close()
        p.deliver("ivan", text.replace(b"one", b"two"), folder="Work")
        check("INBOX over IMAP: byte-identical, not \\Seen", p.messages("ivan") == [(set(), text)], p.messages("ivan"))
        check("a folder made on delivery", [m for _, m in p.messages("ivan", "Work")] == [text.replace(b"one", b"two")])
        check("a missing folder reads as empty", p.messages("ivan", "Nowhere") == [])
        p.fill("ivan", [b"Subject: filled\r\n\r\nx\r\n"])
        check("fill(): the message is there", len(p.messages("ivan")) == 2)
        imap = p.client("ivan")
        imap.select("INBOX")
        imap.uid("STORE", "1", "+FLAGS", "(\\Seen \\Flagged)")
        uids = [u for u, _, _ in _fetch_all(imap)]
        imap.logout()
        for folder in ("INBOX", "Work"):
            before = p.messages("ivan", folder)
            old = p.uidvalidity("ivan", folder)
            imap = p.client("ivan")
            imap.select(folder, readonly=True)
            old_uids = [u for u, _, _ in _fetch_all(imap)]
            imap.logout()
            new = p.recreate("ivan", folder)
            imap = p.client("ivan")
            imap.select(folder, readonly=True)
            new_uids = [u for u, _, _ in _fetch_all(imap)]
            imap.logout()
            check("recreate %s: a new UIDVALIDITY (%d -> %d)" % (folder, old, new), new != old)
            check("recreate %s: the same messages and flags" % folder, p.messages("ivan", folder) == before,
                  (before, p.messages("ivan", folder)))
            if folder == "INBOX":  # a folder made anew numbers from 1 again
                check("recreate INBOX: new UIDs", not set(new_uids) & set(old_uids), (old_uids, new_uids))
        check("recreate: flags kept", p.messages("ivan")[0][0] == {"\\Seen", "\\Flagged"}, (uids, p.messages("ivan")))
        ended = len(p.sessions("ivan"))
        imap = imaplib.IMAP4("127.0.0.1", p.imap_port, timeout=30)  # not one of the test's own looks
        imap.login("ivan", p.users["ivan"])
        imap.select("INBOX")
        imap.uid("FETCH", "1:*", "(BODY.PEEK[])")
        imap.logout()
        eventually(lambda: len(p.sessions("ivan")) > ended, 10)  # Dovecot logs the end after the answer
        last = p.sessions("ivan")[-1] if len(p.sessions("ivan")) > ended else {}
        check("sessions(): the bodies a connection fetched", last.get("bodies") == 2 and last.get("body_bytes", 0) > len(text),
              p.sessions("ivan")[-2:])

        idler = Idler(p, "ivan")
        start = time.monotonic()
        p.restart()
        check("restart: the connections drop", eventually(lambda: idler.line() == b"", 30))
        check("restart: back on the same ports", _accepts(p.imap_port) and _accepts(p.imaps_port))
        check("restart: the mail is still there", len(p.messages("ivan")) == 2)
        print("     (restart took %.2f s)" % (time.monotonic() - start))

        user = "ivan@provider.test"
        p.deliver(user, text)
        access, _ = p.oauth.grant(user=user)
        for mechanism, payload in (("XOAUTH2", xoauth2(user, access)),
                                   ("OAUTHBEARER", oauthbearer(user, access, p.imaps_port))):
            imap = imaplib.IMAP4_SSL("127.0.0.1", p.imaps_port, ssl_context=_context(p), timeout=30)
            try:
                answer = imap.authenticate(mechanism, lambda _: payload)
                imap.select("INBOX", readonly=True)
                check("%s over IMAPS: logged in, INBOX read" % mechanism,
                      answer[0] == "OK" and [m for _, _, m in _fetch_all(imap)] == [text])
            except imaplib.IMAP4.error as e:
                check("%s over IMAPS" % mechanism, False, e)
            finally:
                imap.logout()
        check("logins(): counted, those over TLS apart", p.logins(user) == p.logins(user, tls=True) == 2 and
              p.logins("ivan") > 0 and p.logins("ivan", tls=True) == 0, (p.logins(user), p.logins("ivan")))
        imap = imaplib.IMAP4("127.0.0.1", p.imap_port, timeout=30)
        imap.starttls(ssl_context=_context(p))
        try:
            bad = imap.authenticate("XOAUTH2", lambda _: xoauth2(user, "not-a-token"))
        except imaplib.IMAP4.error as e:
            bad = ("NO", str(e))
        check("XOAUTH2 after STARTTLS: a bad token is refused", bad[0] != "OK", bad)
        imap.logout()
        if failures:
            print(p.log()[-3000:])
    print("%d provider checks failed" % len(failures))
    return 1 if failures else 0


def _context(provider):
    return ssl.create_default_context(cafile=provider.material.ca["cert"])


if __name__ == "__main__":
    if sys.argv[1:] == ["--self-check"]:
        sys.exit(self_check())
    print(__doc__)
