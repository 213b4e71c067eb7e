#!/usr/bin/env python3
"""quelma collecting mail over IMAP from Dovecot's imapd on 127.0.0.1 (imap_provider.py), each
case against a fresh provider and a fresh quelma: two folders; keep= over three sessions; moving
collected mail to an Archive folder; \\Seen left as it was; a folder re-created under a new
UIDVALIDITY; a message over maxsize= left with one notice; push (IDLE) while quelma runs, also
after the provider restarted; XOAUTH2 over IMAPS and OAUTHBEARER after STARTTLS.

What quelma did is read from the local maildrops and the provider's mailboxes, and what it
downloaded from the provider's own account of each connection (Dovecot logs the message bodies
every connection fetched): "nothing fetched twice" does not rest on the sorter, which would
hide a second copy of a message with a Message-ID it has seen."""
import os
import re
import signal
import sys
import time

from imap_provider import ImapProvider
from oauth_interop import device_login
from pop3_client_interop import maildrop_texts
from quelma_process import Checks, Quelma, eventually, scramble

QUELMA = sys.argv[1] if len(sys.argv) > 1 else None
SESSION_SECONDS = 180  # bound of one session's wait (a sanitizer build is slow)
PUSH_SECONDS = 60      # bound of the wait for a pushed message
SECRET = "client-secret-imap"

checks = Checks()


def check(what, ok, detail=""):
    checks.check(what, ok, str(detail)[:1500])


def message(tag, size=0, message_id=True):
    """A message with CR LF lines, a dot line, a "From " line and Windows-1251 text, padded to
    about `size` bytes."""
    text = (b"From: Anna <anna@outside.test>\r\nTo: <box@provider.test>\r\nSubject: " + tag.encode() + b"\r\n" +
            (b"Message-ID: <%s@outside.test>\r\n" % tag.encode() if message_id else b"") +
            b"X-Test-Tag: " + tag.encode() + b"\r\n\r\n.leading dot\r\nFrom the desk of Anna\r\n" +
            "Текст письма: ёЁ\r\n".encode("cp1251"))
    while len(text) < size:
        text += b"x" * 98 + b"\r\n"
    return text


def size(texts):
    return sum(len(t) for t in texts)


def tags(texts):
    return sorted(re.search(rb"X-Test-Tag: (\S+)", t).group(1).decode() for t in texts)


class Office:
    """quelma with provider accounts (account lines) collecting from `provider`."""

    def __init__(self, provider, accounts, parameters=()):
        self.provider = provider
        self.users = [re.split(r"\s+", a)[1] for a in accounts]  # the logins at the provider
        self.q = Quelma(QUELMA, ["LocalDomain = office.ru", "PostMaster = postmaster",
                                 "TLS_CA_FILE = " + provider.material.ca["cert"]] + list(parameters) +
                        ["[POP3accounts]"] + accounts, ["postmaster", "ivan", "petr"])
        self.failures = len(checks.failures)

    def maildrop(self, user="ivan"):
        return maildrop_texts(self.q.path("maildrop", user))

    def busy(self):
        """A download marker is there, or a connection to the provider is open."""
        drop = self.q.path("maildrop")
        return (any(n.endswith(".runs") for n in os.listdir(drop)) or
                any(self.provider.logins(u) > len(self.provider.sessions(u)) for u in self.users))

    def session(self):
        """One communication session (SIGUSR1). Waits, bounded, until it is over: no download
        running, no connection open to the provider and the log quiet for a second after every
        account's provider connection ended (five seconds when some never did, as when quelma
        cannot collect at all). What each account fetched in it: {login: bytes of message
        text}, which is the size of the messages downloaded when each was downloaded once."""
        before = {u: len(self.provider.sessions(u)) for u in self.users}
        start = len(self.q.log())
        self.q.proc.send_signal(signal.SIGUSR1)
        seen = {"size": start, "at": time.monotonic()}

        def over():
            if self.q.proc.poll() is not None:
                return True
            size = len(self.q.log())
            if size != seen["size"]:
                seen.update(size=size, at=time.monotonic())
                return False
            if size == start or self.busy():
                return False
            every = all(len(self.provider.sessions(u)) > n for u, n in before.items())
            return time.monotonic() - seen["at"] >= (1 if every else 5)

        ended = eventually(over, SESSION_SECONDS)
        check("the session ended", ended and self.q.proc.poll() is None)
        return {u: sum(s["body_bytes"] for s in self.provider.sessions(u)[n:]) for u, n in before.items()}

    def stop(self):
        if len(checks.failures) > self.failures:
            print(self.q.log()[-5000:])
            print(self.provider.log()[-3000:])
        check("quelma exits 0 on SIGINT", self.q.stop() == 0)


def account(provider, login, deliver_to, options, tls="ssl", host="127.0.0.1"):
    port = provider.imaps_port if tls == "ssl" else provider.imap_port
    return "%s %s ; %s-%d-0-%s tls=%s proto=imap %s" % (host, login, scramble(provider.users[login]), port, deliver_to,
                                                       tls, options)


# ---------------------------------------------------------------------------------------------
# The cases: each gets a fresh provider.


def two_folders(p):
    inbox = [message("inbox-%d" % i) for i in range(3)] + [message("inbox-big", size=300000)]
    work = [message("work-%d" % i) for i in range(2)]
    for m in inbox:
        p.deliver("box", m)
    for m in work:
        p.deliver("box", m, folder="Work")
    office = Office(p, [account(p, "box", "ivan", "folders=INBOX,Work", tls="stls")])
    try:
        fetched = office.session()
        got = office.maildrop()
        check("INBOX and Work: every message once", tags(got) == tags(inbox + work), tags(got))
        check("INBOX and Work: byte-identical", sorted(got) == sorted(inbox + work))
        check("INBOX and Work: each folder's mail in its order",
              [m for m in got if m in inbox] == inbox and [m for m in got if m in work] == work)
        check("collected mail is gone from the provider",
              p.messages("box") == [] and p.messages("box", "Work") == [])
        check("each message fetched once", fetched["box"] == size(inbox + work), fetched)
        check("every login after STARTTLS", 0 < p.logins("box", tls=True) == p.logins("box"))
    finally:
        office.stop()


def keep_three_sessions(p):
    office = Office(p, [account(p, "box", "ivan", "keep=3")])
    try:
        delivered, total = [], 0
        for n, batch in enumerate(([message("keep-1", message_id=False), message("keep-2", message_id=False)],
                                   [message("keep-3", message_id=False)], [message("keep-4", message_id=False)]), 1):
            for m in batch:
                p.deliver("box", m)
            delivered += batch
            fetched = office.session()
            total += fetched["box"]
            check("keep, session %d: each message once in the maildrop" % n, office.maildrop() == delivered,
                  tags(office.maildrop()))
            check("keep, session %d: only the new messages fetched" % n, fetched["box"] == size(batch), fetched)
            held = p.messages("box")
            check("keep, session %d: every message still at the provider" % n, [m for _, m in held] == delivered)
            check("keep, session %d: no message marked \\Seen" % n, all("\\Seen" not in f for f, _ in held),
                  [f for f, _ in held])
        check("keep: nothing fetched twice in three sessions", total == size(delivered), total)
    finally:
        office.stop()


def move_to_archive(p):
    texts = [message("move-%d" % i) for i in range(3)]
    for m in texts:
        p.deliver("box", m)
    p.create("box", "Archive")
    office = Office(p, [account(p, "box", "ivan", "after=move:Archive")])
    try:
        office.session()
        check("move: every message in the maildrop", office.maildrop() == texts, tags(office.maildrop()))
        check("move: INBOX empty at the provider", p.messages("box") == [])
        check("move: the messages in Archive, byte-identical", [m for _, m in p.messages("box", "Archive")] == texts)
        p.deliver("box", message("move-later"))
        fetched = office.session()
        check("move: a second session fetches only the new message",
              fetched["box"] == size([message("move-later")]) and tags(office.maildrop()) == tags(texts + [message("move-later")]), fetched)
        check("move: Archive holds all four", len(p.messages("box", "Archive")) == 4)
    finally:
        office.stop()


def uidvalidity_change(p):
    first = [message("uv-%d" % i) for i in range(3)]
    for m in first:
        p.deliver("box", m)
    office = Office(p, [account(p, "box", "ivan", "keep=forever")])
    try:
        office.session()
        check("UIDVALIDITY: the first session collects all", office.maildrop() == first)
        later = message("uv-new")
        p.deliver("box", later)
        before = p.uidvalidity("box")
        after = p.recreate("box")
        check("UIDVALIDITY: the provider's INBOX was re-created (%d -> %d)" % (before, after), after != before)
        fetched = office.session()
        check("UIDVALIDITY: after the change only the new message is fetched", fetched["box"] == size([later]),
              fetched)
        check("UIDVALIDITY: each message once in the maildrop", tags(office.maildrop()) == tags(first + [later]),
              tags(office.maildrop()))
        fetched = office.session()
        check("UIDVALIDITY: the next session fetches nothing", fetched["box"] == 0, fetched)
        check("UIDVALIDITY: every message kept at the provider", len(p.messages("box")) == 4)
    finally:
        office.stop()


def over_maxsize(p):
    small, big = [message("small-1"), message("small-2")], message("too-big", size=60 * 1024)
    for m in (small[0], big, small[1]):
        p.deliver("box", m)
    office = Office(p, [account(p, "box", "ivan", "maxsize=50")])
    try:
        fetched = office.session()
        check("maxsize: the small messages collected", office.maildrop() == small, tags(office.maildrop()))
        check("maxsize: the large one is never downloaded", fetched["box"] == size(small), fetched)
        check("maxsize: the large one left at the provider", [m for _, m in p.messages("box")] == [big])
        check("maxsize: the postmaster has a notice", len(office.maildrop("postmaster")) == 1)
        fetched = office.session()
        check("maxsize: a second session gives no second notice", len(office.maildrop("postmaster")) == 1)
        check("maxsize: ... and downloads nothing", fetched["box"] == 0 and [m for _, m in p.messages("box")] == [big])
    finally:
        office.stop()


def push(p):
    office = Office(p, [account(p, "box", "ivan", "idle=yes")])
    try:
        connected = eventually(lambda: p.logins("box") > 0, PUSH_SECONDS)
        check("push: quelma connects to the provider without a session", connected)
        if not connected:
            return
        time.sleep(1)  # into IDLE (a message that came before it must come all the same)
        for n, when in enumerate(("while idling", "after the provider restarted")):
            if n:
                p.restart()
            text = message("push-%d" % n)
            start = time.monotonic()
            p.deliver("box", text)
            arrived = eventually(lambda: text in office.maildrop(), PUSH_SECONDS)
            print("     push latency %s: %s" % (when, "%.2f s" % (time.monotonic() - start) if arrived else "never"))
            check("push: a message delivered %s is in the maildrop" % when, arrived)
        check("push: each message once", tags(office.maildrop()) == ["push-0", "push-1"], tags(office.maildrop()))
        check("push: the provider's INBOX emptied", eventually(lambda: p.messages("box") == [], 30))
    finally:
        office.stop()


IVAN, PETR = "ivan@provider.test", "petr@provider.test"


def oauth(p):
    o = p.oauth
    parameters = ["OAUTH_TESTIDP_TOKEN_URL = " + o.url("/token"), "OAUTH_TESTIDP_DEVICE_URL = " + o.url("/devicecode"),
                  "OAUTH_TESTIDP_AUTHORIZE_URL = " + o.url("/authorize"),
                  "OAUTH_TESTIDP_CLIENT_ID = quelmar-office-client", "OAUTH_TESTIDP_CLIENT_SECRET = " + SECRET,
                  "OAUTH_TESTIDP_SCOPES = mail offline_access"]
    accounts = ["localhost %s ; -%d-0-ivan tls=ssl proto=imap auth=xoauth2 oauth=testidp" % (IVAN, p.imaps_port),
                "localhost %s ; -%d-0-petr tls=stls proto=imap auth=oauthbearer oauth=testidp" % (PETR, p.imap_port)]
    office = Office(p, accounts, parameters)
    try:
        for number, user in enumerate((IVAN, PETR)):
            code, printed = device_login(QUELMA, office.q.dir, o, ["account", str(number)], user)
            check("oauth login account %d: exit 0" % number, code == 0, printed)
        texts = {IVAN: [message("xoauth2-%d" % i) for i in range(3)], PETR: [message("oauthbearer-%d" % i) for i in range(2)]}
        for user, mail in texts.items():
            for m in mail:
                p.deliver(user, m)
        office.session()
        for user, local, mechanism in ((IVAN, "ivan", "XOAUTH2"), (PETR, "petr", "OAUTHBEARER")):
            check("%s: every message, byte-identical" % mechanism, office.maildrop(local) == texts[user],
                  tags(office.maildrop(local)))
            check("%s: the provider's INBOX emptied" % mechanism, p.messages(user) == [])
            check("%s: the provider saw that login, over TLS" % mechanism,
                  "Login: user=<%s>, method=%s" % (user, mechanism) in p.log() and
                  0 < p.logins(user, tls=True) == p.logins(user))
    finally:
        office.stop()


CASES = [
    ("two folders over STARTTLS", two_folders, {}),
    ("keep=3, three sessions", keep_three_sessions, {}),
    ("after=move:Archive", move_to_archive, {}),
    ("UIDVALIDITY change", uidvalidity_change, {}),
    ("maxsize=", over_maxsize, {}),
    ("push", push, {}),
    ("XOAUTH2 and OAUTHBEARER", oauth, {"oauth": True, "client_secret": SECRET}),
]


def main():
    if not QUELMA:
        print("usage: imap_collect_interop.py QUELMA_BINARY")
        return 2
    if not os.path.exists("/usr/lib/dovecot/imap"):
        check("Dovecot's imapd is installed", False)
        return checks.result()
    only = os.environ.get("IMAP_COLLECT_ONLY")  # a word of the cases' names picks some of them
    for name, run, options in CASES:
        if only and only not in name:
            continue
        print("--- " + name)
        users = {IVAN: "pw-ivan", PETR: "pw-petr"} if options.get("oauth") else {"box": "pw-box"}
        with ImapProvider(users, **options) as provider:
            try:
                run(provider)
            except Exception as e:  # one case's fault must not hide the others
                check(name + ": ran to its end", False, repr(e))
    return checks.result()


if __name__ == "__main__":
    sys.exit(main())
