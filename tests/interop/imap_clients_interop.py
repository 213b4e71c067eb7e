#!/usr/bin/env python3
"""Real IMAP clients read and change the mail of two users on quelma's IMAP server on 127.0.0.1
(plain port with STARTTLS, and the TLS port), with certificates made for the run.

Mail handed in by smtplib to ivan and olga: 8-bit Cyrillic text (UTF-8), a 5,000-byte line, lines
that begin with "." and "From ", a MIME multipart with a windows-1251 part and an attachment, and
a 5 MB message. Each client must get each of them byte-identical to what was sent (a client that
keeps mail in a Maildir keeps LF line ends: compared with LF for CR LF; mbsync adds its X-TUID
line to each message it copies, left out of the comparison).

Named checks:
- imaplib (olga, whose password is Cyrillic, sent as UTF-8): LOGIN after STARTTLS; SELECT counts
  the five; FETCH BODY.PEEK[] byte-identical and leaves \\Seen off, BODY[] and BODY[TEXT] set it;
  ENVELOPE names sender and subject; STORE flags and a keyword; APPEND with flags and date gives
  APPENDUID and the same bytes back; COPY gives COPYUID; MOVE gives COPYUID and the message
  leaves; UID EXPUNGE removes only the UIDs named; SEARCH CHARSET UTF-8 with a Cyrillic word finds
  it in UTF-8 and windows-1251 bodies and in an encoded subject.
- curl (ivan): imap:// and imaps:// fetch every message by UID byte-identical; LIST shows
  the folders; EXAMINE reports the count.
- openssl s_client -starttls imap: the certificate is shown and verified; LOGIN, SELECT and a
  FETCH of a whole message work after it.
- offlineimap3 (ivan, IMAPS): a sync into a Maildir gets every message; a second run changes
  nothing on either side.
- mbsync (ivan, IMAPS): two-way sync of INBOX, Archive and Projects; a flag set in the Maildir,
  a message deleted on the server and a message put into the Maildir's Projects all carried over
  by the next run, the last byte-identical on the server.
- neomutt (ivan) over IMAP with STARTTLS and over IMAPS, driven in a pseudo-terminal: pipes a
  message out byte-identical, reads one (\\Seen), flags one (\\Flagged), moves one to Projects
  and deletes one.
- imapflow (olga, IMAPS): IDLE is told of a message handed in by SMTP; CONDSTORE's changedSince
  returns only the message another session changed; QRESYNC: a reconnect with the kept
  UIDVALIDITY/HIGHESTMODSEQ hears VANISHED for what another client expunged; MOVE with COPYUID;
  downloads byte-identical.
- flags across clients: \\Seen, \\Flagged and a keyword set by imapflow are seen by imaplib, and
  flags imaplib removes are gone for imapflow; a deletion by imapflow reaches imaplib's open
  session as EXPUNGE.

usage: imap_clients_interop.py QUELMA NODE_DIR
NODE_DIR is where imapflow is installed from npm (a directory under the build tree). When npm
cannot reach its registry the imapflow checks are left out and, if nothing else failed, the
script ends with 77 (skipped)."""
import base64
import imaplib
import json
import os
import pty
import random
import re
import select
import shutil
import signal
import smtplib
import socket
import ssl
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from quelma_process import Checks, Quelma, free_port, wait_listening  # noqa: E402
from tls_material import Material  # noqa: E402

QUELMA = os.path.abspath(sys.argv[1])
NODE_DIR = os.path.abspath(sys.argv[2])
DRIVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "imapflow_driver.js")
checks = Checks()
check = checks.check
USERS = {"ivan": "secret", "olga": "Пароль-2"}  # olga's typed in UTF-8 by the clients


# ---------------------------------------------------------------- the mail handed in by SMTP

def _message(name, subject, body, headers=b""):
    return (b"From: =?UTF-8?B?0JHRg9GF0LPQsNC70YLQtdGA0LjRjw==?= <a@office.ru>\r\n"
            b"To: ivan@office.ru, olga@office.ru\r\nSubject: " + subject + b"\r\n"
            b"Date: Mon, 3 Jun 2024 10:00:00 +0300\r\nMessage-ID: <" + name.encode() + b"@office.ru>\r\n"
            b"MIME-Version: 1.0\r\n" + headers + b"\r\n" + body)


def _base64_lines(data):
    text = base64.b64encode(data)
    return b"".join(text[i:i + 76] + b"\r\n" for i in range(0, len(text), 76))


def make_mail():
    """The five messages by name (their Message-ID's local part), as sent."""
    rnd = random.Random(32)
    text_plain = b"Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: 8bit\r\n"
    cyrillic = _message("cyrillic", "=?UTF-8?B?{}?=".format(
        base64.b64encode("Отчёт за май".encode()).decode()).encode(),
        "Добрый день!\r\nСчёт за май в приложении, оплатите до пятницы.\r\nЁлки-палки: ёЁ №5\r\n".encode(),
        text_plain)
    long_line = _message("long-line", b"A long line", b"Short first line\r\n" +
                         b"".join(b"%05d " % i for i in range(834)) + b"\r\nlast line\r\n", text_plain)
    dots = _message("dots-and-from", b"Dots and From", b".a line that begins with a dot\r\n..two dots\r\n.\r\n"
                    b"From the office, a line that begins with From\r\n>From already quoted\r\n. \r\nend\r\n",
                    text_plain)
    boundary = b"=-=quelma-boundary-1=-="
    attachment = bytes(rnd.getrandbits(8) for _ in range(30000))
    multipart = _message("multipart", b"Invoice attached",
                         b"This is a MIME message.\r\n--" + boundary + b"\r\n"
                         b"Content-Type: text/plain; charset=windows-1251\r\nContent-Transfer-Encoding: 8bit\r\n\r\n" +
                         "Счёт №17 во вложении.\r\n".encode("cp1251") + b"--" + boundary + b"\r\n"
                         b"Content-Type: application/pdf; name=\"invoice.pdf\"\r\nContent-Transfer-Encoding: base64\r\n"
                         b"Content-Disposition: attachment; filename*=utf-8''%D1%81%D1%87%D1%91%D1%82.pdf\r\n\r\n" +
                         _base64_lines(attachment) + b"--" + boundary + b"--\r\n",
                         b"Content-Type: multipart/mixed; boundary=\"" + boundary + b"\"\r\n")
    big = _message("five-megabytes", b"Five megabytes", _base64_lines(rnd.randbytes(3_800_000)),
                   b"Content-Type: application/octet-stream\r\nContent-Transfer-Encoding: base64\r\n")
    return {"cyrillic": cyrillic, "long-line": long_line, "dots-and-from": dots, "multipart": multipart,
            "five-megabytes": big}


MAIL = make_mail()


def name_of(message):
    """The name a message was sent under ("" for another one); its Message-ID tells."""
    found = re.search(rb"(?im)^Message-ID: <([^@>]+)@office\.ru>", message)
    return found.group(1).decode() if found else ""


def hand_in(server, messages, recipients=("ivan@office.ru", "olga@office.ru")):
    s = smtplib.SMTP("127.0.0.1", server.smtp, timeout=30)
    s.ehlo("pc1")
    for message in messages:
        s.sendmail("a@office.ru", list(recipients), message, mail_options=["BODY=8BITMIME"])
    s.quit()


def lf(data):
    return data.replace(b"\r\n", b"\n")


def without_tuid(data):
    """A message without the X-TUID line mbsync adds to each message it copies (to find it again
    should its copy be cut short)."""
    return re.sub(rb"(?m)^X-TUID: [^\r\n]*\r?\n", b"", data, count=1)


# ---------------------------------------------------------------- helpers for imaplib

def tls_context(material):
    return ssl.create_default_context(cafile=material.ca["cert"])


def imap_login(server, material, user, tls_port=False):
    if tls_port:
        m = imaplib.IMAP4_SSL("localhost", server.imaps, ssl_context=tls_context(material), timeout=30)
    else:
        m = imaplib.IMAP4("localhost", server.imap, timeout=30)
        m.starttls(tls_context(material))
    m._encoding = "utf-8"
    m.login(user, USERS[user])
    return m


def fetch_parts(m, uid, items):
    """The literals of a UID FETCH and its whole text (one message)."""
    typ, data = m.uid("FETCH", str(uid), items)
    literals = [d[1] for d in data if isinstance(d, tuple)]
    text = b" ".join(d[0] if isinstance(d, tuple) else d for d in data if d)
    return typ, literals, text


def whole(m, uid):
    typ, literals, _ = fetch_parts(m, uid, "(BODY.PEEK[])")
    return literals[0] if typ == "OK" and literals else None


def flags_of(m, uid):
    typ, _, text = fetch_parts(m, uid, "(FLAGS)")
    found = re.search(rb"FLAGS \(([^)]*)\)", text)
    return set(found.group(1).decode().split()) if found else None


def uids_by_name(m):
    """UID of each message in the selected mailbox, by the name it was sent under."""
    typ, data = m.uid("FETCH", "1:*", "(UID BODY.PEEK[HEADER.FIELDS (MESSAGE-ID)])")
    result = {}
    for d in data:
        if isinstance(d, tuple):
            uid = int(re.search(rb"UID (\d+)", d[0]).group(1))
            result[name_of(d[1]) or "uid%d" % uid] = uid
    return result


def select_count(m, box):
    typ, data = m.select(box)
    return int(data[0]) if typ == "OK" else None


def all_uids(m):
    typ, data = m.uid("SEARCH", "ALL")
    return [int(u) for u in data[0].split()] if typ == "OK" else None


def detail(r):
    return (r.stdout + r.stderr).decode("utf-8", "replace")[-1500:]


# ---------------------------------------------------------------- imaplib

def imaplib_checks(server, material):
    m = imap_login(server, material, "olga")
    check("imaplib: LOGIN after STARTTLS", m.state == "AUTH")
    check("imaplib: SELECT INBOX counts the five", select_count(m, "INBOX") == 5)
    uids = uids_by_name(m)
    check("imaplib: every message has its UID", sorted(uids) == sorted(MAIL), repr(uids))
    for name, sent in MAIL.items():
        got = whole(m, uids.get(name, 0))
        check("imaplib: BODY.PEEK[] of %s byte-identical" % name, got == sent,
              "got %r bytes" % (len(got) if got is not None else None))
    flags = flags_of(m, uids["cyrillic"])
    check("imaplib: BODY.PEEK[] leaves \\Seen off", flags is not None and "\\Seen" not in flags, repr(flags))
    typ, literals, text = fetch_parts(m, uids["dots-and-from"], "(BODY[TEXT])")
    check("imaplib: BODY[TEXT] byte-identical and it sets \\Seen",
          literals == [MAIL["dots-and-from"].split(b"\r\n\r\n", 1)[1]] and "\\Seen" in flags_of(m, uids["dots-and-from"]),
          repr(text[:200]))
    typ, literals, _ = fetch_parts(m, uids["five-megabytes"], "(BODY[])")
    check("imaplib: BODY[] byte-identical and it sets \\Seen",
          literals == [MAIL["five-megabytes"]] and "\\Seen" in flags_of(m, uids["five-megabytes"]))
    typ, _, text = fetch_parts(m, uids["cyrillic"], "(ENVELOPE)")
    check("imaplib: ENVELOPE names sender, subject and Message-ID",
          typ == "OK" and b'"a" "office.ru"' in text and b"=?UTF-8?B?" in text and b"<cyrillic@office.ru>" in text,
          repr(text[:400]))

    typ, data = m.uid("STORE", str(uids["long-line"]), "+FLAGS", "(\\Flagged $Invoice)")
    check("imaplib: STORE +FLAGS with a keyword", typ == "OK" and
          {"\\Flagged", "$Invoice"} <= (flags_of(m, uids["long-line"]) or set()), repr(data))
    typ, data = m.uid("STORE", str(uids["long-line"]), "-FLAGS.SILENT", "($Invoice)")
    check("imaplib: STORE -FLAGS.SILENT", typ == "OK" and flags_of(m, uids["long-line"]) == {"\\Flagged"})

    typ, _ = m.create("Projects")
    check("imaplib: CREATE Projects", typ == "OK")
    appended = _message("appended", "=?UTF-8?B?0J/RgNC+0LXQutGC?=".encode(), "Черновик проекта\r\n".encode())
    typ, data = m.append("Projects", "(\\Seen $Draft)", imaplib.Time2Internaldate(1717398000), appended)
    code = re.search(rb"APPENDUID (\d+) (\d+)", data[0] or b"")
    check("imaplib: APPEND with flags and date gives APPENDUID", typ == "OK" and code is not None, repr(data))
    if code:
        select_count(m, "Projects")
        got = whole(m, int(code.group(2)))
        typ2, _, text = fetch_parts(m, int(code.group(2)), "(FLAGS INTERNALDATE)")
        check("imaplib: the appended message comes back byte-identical, with its flags and date",
              got == appended and b"$Draft" in text and b"\\Seen" in text and b"03-Jun-2024" in text, repr(text))
    select_count(m, "INBOX")
    typ, data = m._simple_command("UID", "COPY", str(uids["cyrillic"]), "Projects")  # keeps the tagged text
    copied = re.search(rb"COPYUID (\d+) (\d+) (\d+)", data[0] or b"")
    check("imaplib: COPY gives COPYUID", typ == "OK" and copied is not None and int(copied.group(2)) == uids["cyrillic"],
          repr(data))
    typ, data = m._simple_command("UID", "MOVE", str(uids["multipart"]), "Archive")
    moved = m.untagged_responses.pop("COPYUID", [None])[-1] or (data[0] if data else b"")
    moved_to = re.search(rb"(\d+) (\d+) (\d+)", moved or b"")
    check("imaplib: MOVE gives COPYUID and the message leaves INBOX",
          typ == "OK" and moved_to is not None and uids["multipart"] not in all_uids(m), repr((typ, data, moved)))
    if moved_to:
        select_count(m, "Archive")
        check("imaplib: the moved message is byte-identical in Archive", whole(m, int(moved_to.group(3))) == MAIL["multipart"])
    if copied:
        select_count(m, "Projects")
        check("imaplib: the copied message is byte-identical in Projects",
              whole(m, int(copied.group(3))) == MAIL["cyrillic"])

    # UID EXPUNGE: of two messages marked \Deleted only the one named goes.
    select_count(m, "Projects")
    in_projects = all_uids(m)
    m.uid("STORE", "1:*", "+FLAGS.SILENT", "(\\Deleted)")
    typ, data = m.uid("EXPUNGE", str(in_projects[0]))
    left = all_uids(m)
    check("imaplib: UID EXPUNGE removes only the UIDs named", typ == "OK" and left == in_projects[1:],
          repr((in_projects, left)))
    m.uid("STORE", "1:*", "-FLAGS.SILENT", "(\\Deleted)")

    select_count(m, "INBOX")
    for word, expected in (("счёт", {"cyrillic"}), ("СЧЁТ", {"cyrillic"}), ("отчёт", {"cyrillic"})):
        m.literal = word.encode("utf-8")
        typ, data = m.uid("SEARCH", "CHARSET", "UTF-8", "TEXT")
        found = {n for n, u in uids.items() if str(u).encode() in (data[0] or b"").split()}
        check("imaplib: SEARCH CHARSET UTF-8 TEXT %s finds %s" % (word, sorted(expected)), typ == "OK" and found == expected,
              repr(data))
    m.literal = "отчёт".encode("utf-8")
    typ, data = m.uid("SEARCH", "CHARSET", "UTF-8", "SUBJECT")
    check("imaplib: SEARCH SUBJECT finds a word of an encoded subject", typ == "OK" and
          (data[0] or b"").split() == [str(uids["cyrillic"]).encode()], repr(data))
    select_count(m, "Archive")
    m.literal = "счёт".encode("utf-8")
    typ, data = m.uid("SEARCH", "CHARSET", "UTF-8", "BODY")
    check("imaplib: SEARCH BODY finds a Cyrillic word in a windows-1251 part", typ == "OK" and len((data[0] or b"").split()) == 1,
          repr(data))
    m.logout()


# ---------------------------------------------------------------- curl

def curl(*words, timeout=60):
    return subprocess.run(["curl", "-s", "-S", "--max-time", "50"] + list(words), capture_output=True, timeout=timeout)


def curl_checks(server, material, uids):
    login = ["-u", "ivan:secret"]
    for scheme, port, extra in (("imap", server.imap, []), ("imaps", server.imaps, ["--cacert", material.ca["cert"]]),
                                ("imap+STARTTLS", server.imap, ["--ssl-reqd", "--cacert", material.ca["cert"]])):
        base = "%s://localhost:%d/" % (scheme.split("+")[0], port)
        bad = [name for name, sent in MAIL.items()
               if curl(*(login + extra + ["--url", base + "INBOX;UID=%d" % uids[name]])).stdout != sent]
        check("curl %s: every message by UID byte-identical" % scheme, not bad, repr(bad))
    r = curl(*(login + ["--url", "imap://localhost:%d/" % server.imap]))
    check("curl imap: LIST shows INBOX and the special-use folders", r.returncode == 0 and b"INBOX" in r.stdout
          and b"\\Sent" in r.stdout and b"Trash" in r.stdout, detail(r))
    r = curl(*(login + ["--cacert", material.ca["cert"], "--url", "imaps://localhost:%d/" % server.imaps,
                        "-X", "EXAMINE INBOX"]))
    check("curl imaps: EXAMINE reports the count and UIDVALIDITY", r.returncode == 0 and b"* 5 EXISTS" in r.stdout and
          b"UIDVALIDITY" in r.stdout, detail(r))


# ---------------------------------------------------------------- openssl s_client

def s_client_checks(server, material, uids):
    commands = (b"a LOGIN ivan secret\r\nb SELECT INBOX\r\nc UID FETCH %d BODY.PEEK[]\r\nd LOGOUT\r\n"
                % uids["dots-and-from"])
    r = subprocess.run(["openssl", "s_client", "-starttls", "imap", "-connect", "127.0.0.1:%d" % server.imap,
                        "-CAfile", material.ca["cert"], "-verify_return_error", "-verify_hostname", "localhost",
                        "-ign_eof"], input=commands, capture_output=True, timeout=60)
    out = r.stdout
    check("openssl s_client -starttls imap: the certificate is shown and verified",
          b"-----BEGIN CERTIFICATE-----" in out and b"CN = localhost" in out and b"Verify return code: 0 (ok)" in out,
          detail(r))
    literal = re.search(rb"BODY\[\] \{(\d+)\}\r\n", out)
    body = out[literal.end():literal.end() + int(literal.group(1))] if literal else None
    check("openssl s_client: LOGIN, SELECT and FETCH after STARTTLS",
          b"a OK" in out and b"b OK" in out and b"c OK" in out and body == MAIL["dots-and-from"], detail(r))


# ---------------------------------------------------------------- Maildir clients

def maildir_messages(folder):
    """Every message file of a Maildir folder: path -> bytes."""
    result = {}
    for sub in ("cur", "new"):
        d = os.path.join(folder, sub)
        for f in sorted(os.listdir(d)) if os.path.isdir(d) else []:
            result[os.path.join(d, f)] = open(os.path.join(d, f), "rb").read()
    return result


def maildir_by_name(folder):
    return {name_of(data) or path: (path, data) for path, data in maildir_messages(folder).items()}


def snapshot(root):
    """Names and contents of every file under root (for "nothing changed")."""
    result = {}
    for d, _, files in os.walk(root):
        for f in files:
            result[os.path.relpath(os.path.join(d, f), root)] = open(os.path.join(d, f), "rb").read()
    return result


def server_state(server, material, user, boxes):
    """UIDs and flags of every message in each folder, as the server has them."""
    m = imap_login(server, material, user, tls_port=True)
    state = {}
    for box in boxes:
        select_count(m, box)
        typ, data = m.uid("FETCH", "1:*", "(UID FLAGS)")
        state[box] = sorted(d.decode() for d in data if isinstance(d, bytes))
    m.logout()
    return state


def offlineimap_checks(server, material, work):
    home = os.path.join(work, "offlineimap")
    os.makedirs(home)
    conf = os.path.join(home, "rc")
    with open(conf, "w") as f:
        f.write(f"""[general]
accounts = office
metadata = {home}/meta
[Account office]
localrepository = local
remoterepository = remote
[Repository local]
type = Maildir
localfolders = {home}/mail
[Repository remote]
type = IMAP
remotehost = localhost
remoteport = {server.imaps}
ssl = yes
sslcacertfile = {material.ca['cert']}
remoteuser = ivan
remotepass = secret
folderfilter = lambda folder: folder in ['INBOX', 'Archive']
""")
    env = dict(os.environ, HOME=home)
    run = ["offlineimap", "-c", conf, "-o", "-u", "basic"]
    before = server_state(server, material, "ivan", ["INBOX", "Archive"])
    r = subprocess.run(run, capture_output=True, timeout=120, env=env)
    got = maildir_by_name(os.path.join(home, "mail", "INBOX"))
    bad = [name for name, sent in MAIL.items() if lf(got.get(name, ("", b""))[1]) != lf(sent)]
    check("offlineimap: a sync into a Maildir gets every message byte-identical",
          r.returncode == 0 and len(got) == len(MAIL) and not bad, repr(bad) + detail(r))
    files = snapshot(os.path.join(home, "mail"))
    r = subprocess.run(run, capture_output=True, timeout=120, env=env)
    check("offlineimap: a second run changes nothing on either side",
          r.returncode == 0 and snapshot(os.path.join(home, "mail")) == files and
          server_state(server, material, "ivan", ["INBOX", "Archive"]) == before and
          b"Copy message" not in r.stdout + r.stderr, detail(r))


def mbsync_run(rc, env):
    return subprocess.run(["mbsync", "-c", rc, "-a"], capture_output=True, timeout=120, env=env)


def mbsync_checks(server, material, work):
    home = os.path.join(work, "mbsync")
    local = os.path.join(home, "mail")
    os.makedirs(local)
    rc = os.path.join(home, "mbsyncrc")
    with open(rc, "w") as f:
        f.write(f"""IMAPAccount office
Host localhost
Port {server.imaps}
User ivan
Pass secret
SSLType IMAPS
CertificateFile {material.ca['cert']}

IMAPStore remote
Account office

MaildirStore local
Path {local}/
Inbox {local}/INBOX
SubFolders Verbatim

Channel office
Far :remote:
Near :local:
Patterns INBOX Archive Projects
Create Both
Expunge Both
SyncState *
Sync All
""")
    env = dict(os.environ, HOME=home)
    m = imap_login(server, material, "ivan", tls_port=True)
    m.create("Projects")
    on_server = _message("server-projects", b"Made on the server", "Папка проекта\r\n".encode())
    m.append("Projects", None, None, on_server)
    r = mbsync_run(rc, env)
    inbox = maildir_by_name(os.path.join(local, "INBOX"))
    bad = [name for name, sent in MAIL.items() if lf(without_tuid(inbox.get(name, ("", b""))[1])) != lf(sent)]
    check("mbsync: the first sync gets INBOX byte-identical", r.returncode == 0 and not bad, repr(bad) + detail(r))
    projects = maildir_by_name(os.path.join(local, "Projects"))
    check("mbsync: the first sync gets the folders", "server-projects" in projects and
          os.path.isdir(os.path.join(local, "Archive", "cur")), repr(sorted(projects)))

    # A flag set in the Maildir, a message deleted on the server, one put into the Maildir.
    path, _ = inbox["long-line"]
    base = path.rsplit(":2,", 1)
    flagged = (base[0] + ":2," + "".join(sorted(set(base[1] + "F")))) if len(base) == 2 else path + ":2,F"
    os.rename(path, flagged)
    select_count(m, "INBOX")
    uids = uids_by_name(m)
    m.uid("STORE", str(uids["dots-and-from"]), "+FLAGS.SILENT", "(\\Deleted)")
    m.expunge()
    local_new = _message("local-projects", b"Made in the Maildir", "Сделано локально\r\n.точка\r\n".encode())
    with open(os.path.join(local, "Projects", "new", "1717398000.1_1.pc1"), "wb") as f:
        f.write(lf(local_new))
    r = mbsync_run(rc, env)
    check("mbsync: the second run succeeds", r.returncode == 0, detail(r))
    select_count(m, "INBOX")
    check("mbsync: a flag set in the Maildir reaches the server",
          "\\Flagged" in (flags_of(m, uids["long-line"]) or set()), repr(flags_of(m, uids["long-line"])))
    check("mbsync: a message deleted on the server leaves the Maildir",
          "dots-and-from" not in maildir_by_name(os.path.join(local, "INBOX")) and
          "cyrillic" in maildir_by_name(os.path.join(local, "INBOX")))
    select_count(m, "Projects")
    by_name = uids_by_name(m)
    got = without_tuid(whole(m, by_name["local-projects"])) if "local-projects" in by_name else None
    check("mbsync: a message put into the Maildir's Projects is on the server byte-identical (CR LF)",
          got == local_new, repr(got)[:300])
    m.logout()
    r = mbsync_run(rc, env)
    check("mbsync: a third run has nothing left to carry", r.returncode == 0 and
          len(maildir_messages(os.path.join(local, "Projects"))) == 2, detail(r))


# ---------------------------------------------------------------- neomutt in a pseudo-terminal

def run_in_pty(argv, env, seconds):
    """Runs argv on a pseudo-terminal of 40x120 until it ends (killed after `seconds`); its
    exit status (None when it had to be killed) and everything it drew."""
    import fcntl
    import struct
    import termios
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 40, 120, 0, 0))
    proc = subprocess.Popen(argv, stdin=slave, stdout=slave, stderr=slave, env=env, start_new_session=True)
    os.close(slave)
    screen = b""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        ready, _, _ = select.select([master], [], [], 0.5)
        if ready:
            try:
                chunk = os.read(master, 65536)
            except OSError:
                chunk = b""
            if not chunk:
                break
            screen += chunk
        elif proc.poll() is not None:
            break
    try:
        code = proc.wait(timeout=5)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        code = None
    os.close(master)
    return code, screen


def neomutt_checks(server, material, work):
    m = imap_login(server, material, "ivan", tls_port=True)
    for run, (url, tls) in enumerate((("imap://ivan@localhost:%d/INBOX" % server.imap, "set ssl_starttls = yes"),
                                      ("imaps://ivan@localhost:%d/INBOX" % server.imaps, "set ssl_starttls = no"))):
        how = "IMAP with STARTTLS" if run == 0 else "IMAPS"
        tag = "nm%d" % run
        for what in ("read", "flag", "move", "delete"):
            m.append("INBOX", None, None, _message("%s-%s" % (tag, what), ("%s-%s" % (tag, what)).encode(),
                                                   ("Письмо для neomutt: %s\r\n" % what).encode()))
        home = os.path.join(work, "neomutt%d" % run)
        os.makedirs(home)
        piped = os.path.join(home, "piped")
        rc = os.path.join(home, "muttrc")
        with open(rc, "w") as f:
            f.write(f"""set imap_user = "ivan"
set imap_pass = "secret"
{tls}
set ssl_force_tls = yes
set ssl_ca_certificates_file = "{material.ca['cert']}"
set folder = "{url.rsplit('/', 1)[0]}/"
set spoolfile = "{url}"
set header_cache = ""
set message_cachedir = ""
set confirmappend = no
set confirmcreate = no
set delete = yes
set quit = yes
set move = no
set wait_key = no
set mark_old = no
set pipe_decode = no
set imap_check_subscribed = no
set sort = date-sent
set mail_check = 0
set timeout = 1
""")
        keys = ("<search>~i {t}-read<enter><display-message><exit>"
                "<search>~i {t}-flag<enter><flag-message>"
                "<search>~i {t}-move<enter><save-message>=Projects<enter>"
                "<search>~i {t}-delete<enter><delete-message>"
                "<search>~i cyrillic<enter><pipe-message>cat > {p}<enter>"
                "<sync-mailbox><quit>").format(t=tag, p=piped)
        env = dict(os.environ, HOME=home, TERM="xterm", LANG="C.UTF-8", LC_ALL="C.UTF-8")
        code, screen = run_in_pty(["neomutt", "-n", "-F", rc, "-e", 'push "%s"' % keys], env, 60)
        text = screen.decode("utf-8", "replace")
        check("neomutt over %s: it ends by itself" % how, code == 0, text[-1500:])
        got = open(piped, "rb").read() if os.path.exists(piped) else None
        check("neomutt over %s: a piped message is byte-identical" % how,
              got is not None and lf(got) == lf(MAIL["cyrillic"]), repr(got)[:300])
        select_count(m, "INBOX")
        uids = uids_by_name(m)
        check("neomutt over %s: the message read is \\Seen" % how,
              "\\Seen" in (flags_of(m, uids.get(tag + "-read", 0)) or set()))
        check("neomutt over %s: the message flagged is \\Flagged" % how,
              "\\Flagged" in (flags_of(m, uids.get(tag + "-flag", 0)) or set()))
        check("neomutt over %s: the message deleted is gone" % how, tag + "-delete" not in uids and
              tag + "-read" in uids, repr(sorted(uids)))
        check("neomutt over %s: the message moved is gone from INBOX" % how, tag + "-move" not in uids)
        select_count(m, "Projects")
        moved = uids_by_name(m)
        check("neomutt over %s: the message moved is in Projects" % how, tag + "-move" in moved, repr(sorted(moved)))
    m.logout()


# ---------------------------------------------------------------- imapflow and flags across clients

def install_imapflow():
    """imapflow installed under the build tree (once); whether it is there."""
    if os.path.isfile(os.path.join(NODE_DIR, "node_modules", "imapflow", "package.json")):
        return True
    if shutil.which("npm") is None or shutil.which("node") is None:
        return False
    os.makedirs(NODE_DIR, exist_ok=True)
    try:
        r = subprocess.run(["npm", "install", "--prefix", NODE_DIR, "--no-audit", "--no-fund", "--no-save",
                            "--fetch-timeout=20000", "--fetch-retries=1", "imapflow@2"], capture_output=True, timeout=150)
    except subprocess.TimeoutExpired:
        return False
    if r.returncode != 0:
        print("npm install imapflow failed:", detail(r))
    return os.path.isfile(os.path.join(NODE_DIR, "node_modules", "imapflow", "package.json"))


class Flow:
    """One imapflow step at a time, as user olga on the TLS port."""

    def __init__(self, server, material):
        self.base = {"port": server.imaps, "ca": material.ca["cert"], "user": "olga", "pass": USERS["olga"]}
        self.env = dict(os.environ, NODE_PATH=os.path.join(NODE_DIR, "node_modules"))

    def start(self, step, **args):
        # Unbuffered: select() must see every line that is not read yet.
        return subprocess.Popen(["node", DRIVER, step, json.dumps(dict(self.base, **args))], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=self.env, bufsize=0)

    @staticmethod
    def line(proc, seconds=60):
        """The next JSON line of a step ({"error": ...} when none came in time)."""
        ready, _, _ = select.select([proc.stdout], [], [], seconds)
        text = proc.stdout.readline() if ready else b""
        try:
            return json.loads(text)
        except ValueError:
            return {"error": "no answer: %r" % text[-300:]}

    def run(self, step, **args):
        proc = self.start(step, **args)
        answer = self.line(proc)
        try:
            proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        if "error" in answer:
            answer["stderr"] = proc.stderr.read().decode("utf-8", "replace")[-800:]
        return answer


def imapflow_checks(server, material):
    flow = Flow(server, material)
    m = imap_login(server, material, "olga")
    select_count(m, "INBOX")
    uids = uids_by_name(m)
    for name in ("cyrillic", "five-megabytes"):
        got = flow.run("download", uid=uids[name])
        check("imapflow: %s downloaded byte-identical" % name,
              bytes.fromhex(got.get("source", "")) == MAIL[name], repr(got)[:300])

    idle = flow.start("idle")
    ready = flow.line(idle)
    news = _message("idle-news", b"News for an idling client", "Новое письмо\r\n".encode())
    if ready.get("ready"):
        hand_in(server, [news], ["olga@office.ru"])
    told = flow.line(idle)
    idle.wait(timeout=30)
    check("imapflow: IDLE is told of a message handed in by SMTP",
          ready.get("ready") is True and told.get("told") is True and told.get("whileIdling") is True and
          told.get("count") == ready.get("before", -1) + 1, repr((ready, told)))

    answer = flow.run("condstore", uid=uids["long-line"])
    changed = answer.get("changed", [])
    check("imapflow: CONDSTORE changedSince returns only the message another session changed",
          # (the flag change may come twice: told as news, and as the fetch's answer)
          changed and {c.get("uid") for c in changed} == {uids["long-line"]} and
          all("$Checked" in c["flags"] and int(c["modseq"]) > int(answer["highestModseq"]) for c in changed),
          repr(answer))

    state = flow.run("qresyncState")
    check("imapflow: QRESYNC is enabled", "QRESYNC" in state.get("enabled", []), repr(state))
    uids = uids_by_name(m)
    gone = uids["idle-news"]
    m.uid("STORE", str(gone), "+FLAGS.SILENT", "(\\Deleted)")
    m.expunge()
    answer = flow.run("qresyncResume", uidValidity=state.get("uidValidity", "1"), modseq=state.get("highestModseq", "1"))
    check("imapflow: QRESYNC reconnect hears VANISHED for another client's expunge",
          answer.get("qresync") is True and set(answer.get("vanished", [])) & set(state.get("uids", [])) == {gone},
          repr(answer))

    select_count(m, "Projects")
    before = set(all_uids(m))
    answer = flow.run("move", uid=uids["dots-and-from"], folder="Projects")
    uid_map = dict(answer.get("uidMap") or [])
    new_uid = uid_map.get(uids["dots-and-from"])
    m.noop()
    check("imapflow: MOVE gives COPYUID and the message leaves INBOX",
          new_uid is not None and new_uid not in before and uids["dots-and-from"] not in answer.get("left", [0]),
          repr(answer))
    if new_uid:
        check("imapflow: the moved message is byte-identical in Projects", whole(m, new_uid) == MAIL["dots-and-from"])

    # Flags across clients: imapflow sets, imaplib sees and takes some off, imapflow sees that.
    select_count(m, "INBOX")
    target = uids["cyrillic"]
    answer = flow.run("setFlags", uid=target, flags=["\\Seen", "\\Flagged", "$Work"])
    check("flags across clients: \\Seen, \\Flagged and $Work set by imapflow are seen by imaplib",
          {"\\Seen", "\\Flagged", "$Work"} <= (flags_of(m, target) or set()), repr((answer, flags_of(m, target))))
    m.uid("STORE", str(target), "-FLAGS", "(\\Flagged $Work)")
    answer = flow.run("getFlags", uid=target)
    check("flags across clients: flags imaplib took off are gone for imapflow",
          answer.get("flags") == ["\\Seen"], repr(answer))

    # A deletion by imapflow reaches imaplib's open session at its next command.
    victim = uids["long-line"]
    position = sorted(all_uids(m)).index(victim) + 1
    m.untagged_responses.pop("EXPUNGE", None)
    answer = flow.run("remove", uid=victim)
    m.noop()
    expunged = m.untagged_responses.pop("EXPUNGE", [])
    check("flags across clients: a deletion by imapflow reaches imaplib's session as EXPUNGE",
          answer.get("deleted") is True and str(position).encode() in expunged and victim not in all_uids(m),
          repr((answer, expunged)))
    m.logout()


# ---------------------------------------------------------------- the run

def start(material, work):
    imaps = free_port()
    server = Quelma(QUELMA, ["LocalDomain = office.ru", "TLS_CERT_FILE = " + material.good["cert"],
                             "TLS_KEY_FILE = " + material.good["key"], "IMAP_SRV_TLS_PORT = %d" % imaps,
                             "PLAINTEXT_LOGIN = YES", "MAX_SESSIONS = 40"],
                    ["ivan secret", "olga " + USERS["olga"], "postmaster"])
    server.imaps = imaps
    wait_listening(imaps)
    return server


def main():
    missing = [tool for tool in ("curl", "openssl", "offlineimap", "mbsync", "neomutt") if shutil.which(tool) is None]
    for tool in missing:
        check(tool + " is installed", False)
    have_imapflow = install_imapflow()
    work = tempfile.mkdtemp(prefix="quelma-imapclients-")
    material = Material(work)
    server = start(material, work)
    try:
        hand_in(server, MAIL.values())
        m = imap_login(server, material, "ivan")
        select_count(m, "INBOX")
        ivan = uids_by_name(m)
        m.logout()
        steps = [("imaplib", lambda: imaplib_checks(server, material)),
                 ("curl", lambda: curl_checks(server, material, ivan)),
                 ("s_client", lambda: s_client_checks(server, material, ivan)),
                 ("offlineimap", lambda: offlineimap_checks(server, material, work)),
                 ("mbsync", lambda: mbsync_checks(server, material, work)),
                 ("neomutt", lambda: neomutt_checks(server, material, work))]
        if have_imapflow:
            steps.append(("imapflow", lambda: imapflow_checks(server, material)))
        for name, step in steps:
            if name in missing:
                continue
            began = time.monotonic()
            try:
                step()
            except Exception as e:  # a client that failed outright is a failed check, the rest still run
                check(name + " ran", False, repr(e))
            print("     (%s: %.1f s)" % (name, time.monotonic() - began))
        log = server.log()
        check("the server logged no failed change of a mailbox", "Не удалось изменить" not in log,
              "\n".join(line for line in log.splitlines() if "Не удалось" in line)[:1500])
        if checks.failures:
            print(log[-3000:])
    finally:
        check("quelma exits 0 on SIGINT", server.stop() == 0)
        shutil.rmtree(work, ignore_errors=True)
    if not have_imapflow and not checks.failures:
        print("skip imapflow: npm could not install it (no registry?)")
        return 77
    if not have_imapflow:
        check("imapflow is installed from npm", False)
    return checks.result()


if __name__ == "__main__":
    sys.exit(main())
