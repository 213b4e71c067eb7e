#!/usr/bin/env python3
"""A backup taken from a running quelma while a client hands mail in: GNU tar reads the archive
and unpacks what the restore writes; the restore refuses a directory with anything in it; the
restored directory passes "check local" and, run, serves the same mail with the same flags,
folders and UIDs over IMAP and POP3; every message acknowledged before the backup began is in
it, and the busy maildrop is what the live one held at one moment, never a torn message."""
import filecmp
import imaplib
import os
import poplib
import re
import shutil
import smtplib
import subprocess
import sys
import tempfile
import threading
import time

from quelma_process import Checks, Quelma, free_port, wait_listening

QUELMA = sys.argv[1]
MARKER = b"From \x01\x01\x02\x02\x01\x01\x03\x03"
USERS = ["ivan secret", "olga secret2", "postmaster pm"]

checks = Checks()
check = checks.check


def hand_in(port, to, subjects):
    with smtplib.SMTP("127.0.0.1", port) as s:
        for subject in subjects:
            s.sendmail("a@example.org", [to], "Subject: %s\r\n\r\n%s\r\n" % (subject, "line\r\n" * 300))


def imap_view(port, user, password):
    """Every folder's messages: UID, flags (\\Recent, a session's own, left out) and whole text."""
    m = imaplib.IMAP4("127.0.0.1", port)
    m.login(user, password)
    view = {}
    for folder in ("INBOX", "Work"):
        m.select(folder, readonly=True)
        typ, data = m.uid("FETCH", "1:*", "(FLAGS BODY.PEEK[])")
        items = [d for d in data if isinstance(d, tuple)]
        view[folder] = sorted((re.search(rb"UID (\d+)", h).group(1), re.search(rb"FLAGS \(([^)]*)\)", h).group(1).replace(b"\\Recent", b"").strip(), body)
                              for h, body in items)
    m.logout()
    return view


def pop3_uidls(port, user, password):
    p = poplib.POP3("127.0.0.1", port)
    p.user(user)
    p.pass_(password)
    listing = [line.split()[1] for line in p.uidl()[1]]
    p.quit()
    return listing


def files_under(root):
    found = {}
    for base, _, names in os.walk(root):
        for name in names:
            path = os.path.join(base, name)
            found[os.path.relpath(path, root)] = path
    return found


def run():
    live = Quelma(QUELMA, ["LocalDomain = office.ru", "PostMaster = postmaster"], USERS)
    work = tempfile.mkdtemp(prefix="quelma-backup-")
    try:
        hand_in(live.smtp, "ivan@office.ru", ["ivan-%d" % i for i in range(12)])
        m = imaplib.IMAP4("127.0.0.1", live.imap)
        m.login("ivan", "secret")
        m.create("Work")
        m.select("INBOX")
        m.store("1:4", "+FLAGS", "(\\Seen)")
        m.store("5", "+FLAGS", "(\\Flagged $Important)")
        m.copy("6:8", "Work")
        m.store("12", "+FLAGS", "(\\Deleted)")
        m.expunge()
        m.logout()

        # olga's mail keeps coming while the backup is taken.
        acknowledged = []
        stop = threading.Event()

        def sender():
            with smtplib.SMTP("127.0.0.1", live.smtp) as s:
                for i in range(100000):
                    if stop.is_set():
                        return
                    s.sendmail("a@example.org", ["olga@office.ru"], "Subject: olga-%d\r\n\r\n%s\r\n" % (i, "x" * 2000))
                    acknowledged.append((time.monotonic(), "olga-%d" % i))

        thread = threading.Thread(target=sender)
        thread.start()
        time.sleep(0.3)
        archive = os.path.join(work, "office.tar")
        began = time.monotonic()
        taken = subprocess.run([QUELMA, "--dir", live.dir, "backup", archive], capture_output=True, text=True)
        time.sleep(0.2)
        stop.set()
        thread.join()
        check("backup of the running program: exit 0", taken.returncode == 0, taken.stderr + taken.stdout)
        check("the backup is in the running program's log", "SYSTEM> Резервная копия записана в " + archive in live.log())

        listed = subprocess.run(["tar", "tf", archive], capture_output=True, text=True)
        names = listed.stdout.split()
        check("GNU tar lists the archive", listed.returncode == 0 and "quelma.cfg" in names and "maildrop/ivan" in names
              and "maildrop/ivan.folders/Work" in names, listed.stderr + listed.stdout[:300])

        restored = os.path.join(work, "restored")
        done = subprocess.run([QUELMA, "restore", archive, restored], capture_output=True, text=True)
        check("restore into a new directory: exit 0", done.returncode == 0, done.stderr)
        before = files_under(restored)
        again = subprocess.run([QUELMA, "restore", archive, restored], capture_output=True, text=True)
        check("restore into a directory with files in it is refused, nothing changed",
              again.returncode == 1 and files_under(restored) == before, again.stderr)

        unpacked = os.path.join(work, "unpacked")
        os.mkdir(unpacked)
        subprocess.run(["tar", "xf", archive, "-C", unpacked], check=True)
        tar_files = files_under(unpacked)
        for own in ("quelma-backup.txt", "quelma-backup.sums", "quelma.cfg"):
            tar_files.pop(own, None)
        ours = dict(before)
        ours.pop("quelma.cfg", None)
        same = sorted(tar_files) == sorted(ours) and all(filecmp.cmp(tar_files[k], ours[k], shallow=False) for k in ours)
        check("GNU tar unpacks the same files the restore writes", same, "%s vs %s" % (sorted(tar_files)[:5], sorted(ours)[:5]))

        # olga's maildrop: every message acknowledged before the backup began, and nothing but
        # what the live maildrop held up to a message's end.
        olga_copy = open(os.path.join(restored, "maildrop", "olga"), "rb").read()
        olga_live = open(live.path("maildrop", "olga"), "rb").read()
        check("the busy maildrop is the live one as it stood at one moment",
              olga_live.startswith(olga_copy) and (len(olga_copy) == len(olga_live) or olga_live[len(olga_copy):].startswith(MARKER)))
        early = [name for at, name in acknowledged if at < began]
        missing = [name for name in early if ("Subject: %s\r\n" % name).encode() not in olga_copy]
        check("every message acknowledged before the backup began is in it (%d of %d sent)" % (len(early), len(acknowledged)),
              early and not missing, str(missing[:5]))

        live_view = imap_view(live.imap, "ivan", "secret")
        live_olga = pop3_uidls(live.pop3, "olga", "secret2")
        ports = {"SMTP_SRV_PORT": free_port(), "POP3_SRV_PORT": free_port(), "IMAP_SRV_PORT": free_port()}
        subprocess.run([QUELMA, "--dir", restored, "config", "set"] + [str(v) for kv in ports.items() for v in kv], check=True,
                       capture_output=True)
        checked = subprocess.run([QUELMA, "--dir", restored, "check", "local"], capture_output=True, text=True)
        check("the restored directory passes check local", checked.returncode == 0, checked.stdout[-600:])
        proc = subprocess.Popen([QUELMA, "--dir", restored], stdout=subprocess.DEVNULL)
        try:
            wait_listening(ports["IMAP_SRV_PORT"])
            wait_listening(ports["POP3_SRV_PORT"])
            view = imap_view(ports["IMAP_SRV_PORT"], "ivan", "secret")
            check("the restored program serves ivan's folders, UIDs, flags and texts as before", view == live_view,
                  "%s vs %s" % ([(k, u, f, len(b)) for k in view for u, f, b in view[k]],
                                [(k, u, f, len(b)) for k in live_view for u, f, b in live_view[k]]))
            olga = pop3_uidls(ports["POP3_SRV_PORT"], "olga", "secret2")
            check("the restored program serves olga's mail under the same ids", olga == live_olga[:len(olga)] and len(olga) >= len(early),
                  "%d vs %d" % (len(olga), len(live_olga)))
        finally:
            proc.terminate()
            proc.wait(timeout=20)
    finally:
        check("quelma exits 0 on SIGINT", live.stop() == 0)
        shutil.rmtree(work, ignore_errors=True)


def stopped_backup():
    """With no program running the command takes the backup itself, and no program can start
    on the directory meanwhile."""
    live = Quelma(QUELMA, ["LocalDomain = office.ru", "PostMaster = postmaster"], USERS)
    hand_in(live.smtp, "ivan@office.ru", ["quiet-1", "quiet-2"])
    directory = live.dir
    live.proc.terminate()
    live.proc.wait(timeout=20)
    work = tempfile.mkdtemp(prefix="quelma-backup-")
    try:
        archive = os.path.join(work, "quiet.tar")
        taken = subprocess.run([QUELMA, "--dir", directory, "backup", "--with-tokens", archive], capture_output=True, text=True)
        check("backup with no program running: exit 0", taken.returncode == 0, taken.stderr)
        restored = os.path.join(work, "r")
        subprocess.run([QUELMA, "restore", archive, restored], capture_output=True, check=True)
        check("its maildrop is the stopped one", open(os.path.join(restored, "maildrop", "ivan"), "rb").read()
              == open(os.path.join(directory, "maildrop", "ivan"), "rb").read())
        bad = subprocess.run([QUELMA, "--dir", directory, "backup", os.path.join(directory, "maildrop", "x.tar")],
                             capture_output=True, text=True)
        check("an archive inside the maildrop directory is refused", bad.returncode == 1 and not os.path.exists(
            os.path.join(directory, "maildrop", "x.tar")), bad.stderr)
    finally:
        shutil.rmtree(work, ignore_errors=True)
        shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    for scenario in (run, stopped_backup):
        try:
            scenario()
        except Exception as e:  # a scenario that breaks is one failed check, the rest still run
            import traceback
            traceback.print_exc()
            check(scenario.__name__ + " ran through", False, repr(e))
    sys.exit(checks.result())
