#!/usr/bin/env python3
"""One provider mailbox shared by the whole office ("multi-drop"), from a real provider on
127.0.0.1: a private Postfix takes mail for every address at office.test and delivers it all into
one maildir with its virtual agent, and Dovecot's POP3 server serves that maildir to quelma,
whose account delivers by the sorter rules (delivery "*").

A list message goes to three office people in one SMTP transaction, and a second message reaches
one of them only as a blind copy. What the provider writes depends on how it is set up, and the
test checks that it really wrote it before quelma sees the box:
- a catch-all alias to box@provider.test: one copy per original recipient, each with
  "X-Original-To: <that recipient>" and "Delivered-To: box@provider.test" (no office address);
- the same with enable_original_recipient = no: one copy per message, no X-Original-To, so the
  topmost Received's "for <...>" (Postfix writes it only for a single recipient) and then To
  and Cc must decide;
- a catch-all mailbox for office.test: one copy per recipient with Delivered-To and
  X-Original-To both naming it (here one recipient is petr+team@office.test).
Then one session runs, and every maildrop is compared with the copies the provider made:
- with the rule "To" / "@" / postmaster / stop and "options: envelope", each person gets the
  list message once, byte-identical to a copy at the provider, the blind copy reaches only its
  recipient and the postmaster gets nothing; the list message sent to the box again is not
  delivered again in a second session;
- the same rule without the option gives everything to the postmaster, and of the three copies
  of the list message (one Message-ID) only one, as the sorter keeps one copy per Message-ID
  per user and day;
- after every session the shared box at the provider is empty."""
import os
import pwd
import re
import shutil
import signal
import smtplib
import sys
import tempfile
import time

import pop3_client_interop as dove
from maildir_pop3 import MaildirPop3, wait_for
from postfix_tls_interop import Postfix, ensure_postfix
from quelma_process import Checks, Quelma, account_port, scramble

PASSWORD = "box-secret"
PEOPLE = ["ivan", "petr", "anna"]
USERS = ["postmaster"] + PEOPLE
BOX = "box@provider.test"
ANNA = "anna@office.test"
SESSION_SECONDS = 120  # bound of one session's wait (a sanitizer build is slower)

checks = Checks()
check = checks.check


# ---------------------------------------------------------------------------------------------
# Messages

BODY = ("Коллеги, план на неделю во вложении не нужен: он здесь.\r\n"
        ".leading dot\r\n"
        "From the desk of the list\r\n"
        "Строка с буквами ёЁ\r\n").encode("cp1251") + b"".join(b"line %03d of the body\r\n" % i for i in range(40))


def list_message(tag):
    return (b"From: Lena <lena@lists.test>\r\n"
            b"To: team@lists.test\r\n"
            b"Cc: Ivan Petrov <ivan@office.test>, petr@office.test,\r\n"
            b"\t\"Anna K.\" <anna@office.test>\r\n"
            b"Subject: plan " + tag.encode() + b"\r\n"
            b"Message-ID: <list-" + tag.encode() + b"@lists.test>\r\n"
            b"Date: Mon, 01 Jun 2026 10:00:00 +0000\r\n"
            b"\r\n" + BODY)


def bcc_message(tag):
    return (b"From: Lena <lena@lists.test>\r\n"
            b"To: Someone Else <someone@elsewhere.test>\r\n"
            b"Subject: blind copy " + tag.encode() + b"\r\n"
            b"Message-ID: <bcc-" + tag.encode() + b"@lists.test>\r\n"
            b"Date: Mon, 01 Jun 2026 10:05:00 +0000\r\n"
            b"\r\n" + BODY)


def header_of(text):
    return text.split(b"\r\n\r\n", 1)[0]


def body_of(text):
    return text.split(b"\r\n\r\n", 1)[1] if b"\r\n\r\n" in text else None


def fields(text, name):
    """The values of the header fields `name` (any case, folded lines joined)."""
    unfolded = re.sub(rb"\r\n[ \t]", b" ", header_of(text))
    return [m.group(1).strip().decode("latin-1")
            for m in re.finditer(rb"^" + name.encode() + rb":(.*)$", unfolded, re.M | re.I)]


def received_for(text):
    found = re.search(r"\bfor <([^>]*)>", (fields(text, "Received") or [""])[0])
    return found.group(1) if found else None


def message_id(text):
    return (fields(text, "Message-ID") or [""])[0]


def describe(text):
    return "%s [%s]" % (message_id(text), ", ".join(
        "%s: %s" % (n, v) for n in ("Delivered-To", "X-Original-To") for v in fields(text, n)) +
        (", Received for <%s>" % received_for(text) if received_for(text) else ""))


# ---------------------------------------------------------------------------------------------
# The provider: Postfix delivering office.test into one maildir, Dovecot serving it by POP3


class Dovecot(MaildirPop3):
    """Dovecot's POP3 server on 127.0.0.1 for the one user "box", whose maildir Postfix fills."""

    def __init__(self, work):
        super().__init__(work, {"box": PASSWORD})

    def held(self):
        return sorted(self.messages("box").values())

    def disconnects(self):
        return super().disconnects("box")


# How each Postfix hands office.test to the box (main.cf lines beside the common ones).
DELIVERY = {
    "alias": ["virtual_alias_domains = office.test",
              "virtual_alias_maps = inline:{ {@office.test = box@provider.test} }",
              "virtual_mailbox_domains = provider.test",
              "virtual_mailbox_maps = inline:{ {box@provider.test = box/Maildir/} }"],
    "mailbox": ["virtual_mailbox_domains = office.test",
                "virtual_mailbox_maps = inline:{ {@office.test = box/Maildir/} }"],
}
DELIVERY["alias-single"] = DELIVERY["alias"] + ["enable_original_recipient = no"]


def provider(work, flavour):
    """A Postfix of its own on a port of its own that delivers every address at office.test
    into the box's maildir with its virtual agent, as DELIVERY says."""
    owner = pwd.getpwnam("dovecot")
    port = account_port()
    main = DELIVERY[flavour] + [
        "virtual_mailbox_base = " + os.path.join(work, "home"),
        "virtual_uid_maps = static:%d" % owner.pw_uid, "virtual_gid_maps = static:%d" % owner.pw_gid,
        "virtual_minimum_uid = 1", "virtual_mailbox_limit = 0"]
    postfix = Postfix(work, "provider-" + flavour,
                      {port: ["smtpd_relay_restrictions=permit_mynetworks,reject_unauth_destination"]}, main)
    postfix.port = port
    return postfix


def send_to_provider(postfix, dovecot, label, tag, people, copies):
    """The list message to `people` at office.test in one transaction, then the blind copy to
    anna, both marked with `tag`; the box once it holds the `copies` Postfix is expected to make
    (or after a bounded wait)."""
    before = len(dovecot.held())
    with smtplib.SMTP("127.0.0.1", postfix.port, timeout=30) as s:
        refused = s.sendmail("lena@lists.test", [p + "@office.test" for p in people], list_message(tag))
        refused.update(s.sendmail("lena@lists.test", [ANNA], bcc_message(tag)))
    check(label + ": Postfix took every recipient", refused == {}, str(refused))
    wait_for(lambda: postfix.pending() == 0 and len(dovecot.held()) >= before + copies, 30)
    time.sleep(0.3)  # time for a copy more than expected to show
    return dovecot.held()


# ---------------------------------------------------------------------------------------------
# quelma and one session


def start_office(binary, dovecot, envelope):
    office = Quelma(binary, ["LocalDomain = office.test", "PostMaster = postmaster", "SMTPServer = 127.0.0.1",
                             "[POP3accounts]", "127.0.0.1 box ; %s-%d-0-*" % (scramble(PASSWORD), dovecot.port)],
                    USERS)
    office.failures = len(checks.failures)
    rule = "\r\nTo\r\n@\r\npostmaster\r\n1\r\n" + ("options: envelope\r\n" if envelope else "")
    with open(office.path("sorter.cfg"), "wb") as f:
        f.write(rule.encode("ascii"))
    return office


def session(office, dovecot):
    """One send/receive session; the log it wrote, or None when it did not end."""
    start, seen = len(office.log()), dovecot.disconnects()
    office.proc.send_signal(signal.SIGUSR1)

    def ended():
        new = office.log()[start:]
        return ("*** Загрузка почты с POP3 сервера" in new
                and ("Отключаюсь от сервера" in new or "работа POP3 клиента закончена" in new)
                and ("Заканчиваю работу SMTP клиента." in new or "работа SMTP клиента окончена." in new)
                and not os.path.exists(office.path("maildrop", "pop3_download.runs")))

    done = wait_for(ended, SESSION_SECONDS) and wait_for(lambda: dovecot.disconnects() > seen, 30)
    return office.log()[start:] if done else None


def maildrops(office):
    return {user: sorted(dove.maildrop_texts(office.path("maildrop", user))) for user in USERS}


def names(texts):
    return [describe(t) for t in texts]


# ---------------------------------------------------------------------------------------------
# Scenarios

# What each way of running the provider writes on its copies, checked before quelma sees them:
# per copy (message, Delivered-To, X-Original-To, the topmost Received's "for"), None for none.
WRITTEN = {
    # Catch-all alias to the box: a copy per original recipient.
    "alias": [("list", BOX, p, None) for p in ("ivan@office.test", "petr@office.test", ANNA)] +
             [("bcc", BOX, ANNA, ANNA)],
    # The same with enable_original_recipient = no: a copy per message.
    "alias-single": [("list", BOX, None, None), ("bcc", BOX, None, ANNA)],
    # Catch-all mailbox: every office address is delivered into the box as itself.
    "mailbox": [("list", p, p, None) for p in ("ivan@office.test", "petr+team@office.test", ANNA)] +
               [("bcc", ANNA, ANNA, ANNA)],
}


def signature(text):
    kind = message_id(text)[1:].split("-", 1)[0]
    return (kind, (fields(text, "Delivered-To") or [None])[0], (fields(text, "X-Original-To") or [None])[0],
            received_for(text))


def check_written(tag, flavour, copies):
    """That the provider wrote what WRITTEN says; its copies by signature."""
    got = sorted(map(signature, copies), key=str)
    check("%s: the provider's copies carry %s" % (tag, WRITTEN[flavour]),
          got == sorted(WRITTEN[flavour], key=str) and len(copies) == len(set(map(signature, copies))),
          "got %s" % got)
    return {signature(c): c for c in copies}


def the_copy(copies, kind, who):
    """The provider's copy of `kind` that names `who` in Delivered-To or X-Original-To (None:
    the copy that names nobody there)."""
    for (k, delivered, original, _), text in copies.items():
        if k == kind and (who in (delivered, original) or (who is None and delivered == BOX and original is None)):
            return text
    return b""


def envelope_alias(binary, postfix, dovecot):
    tag = "alias, envelope"
    copies = check_written(tag, "alias", send_to_provider(postfix, dovecot, tag, "a1", PEOPLE, 4))
    office = start_office(binary, dovecot, envelope=True)
    try:
        run_session(tag, office, dovecot)
        want = {"postmaster": [], "ivan": [the_copy(copies, "list", "ivan@office.test")],
                "petr": [the_copy(copies, "list", "petr@office.test")],
                "anna": [the_copy(copies, "list", ANNA), the_copy(copies, "bcc", ANNA)]}
        compare_maildrops(tag, office, want)
        # The list sends its message to ivan once more (the same Message-ID): the next session
        # takes it from the box and gives it to nobody.
        with smtplib.SMTP("127.0.0.1", postfix.port, timeout=30) as s:
            s.sendmail("lena@lists.test", ["ivan@office.test"], list_message("a1"))
        again = tag + ", the list message again for ivan"
        check(again + ": it is in the box",
              wait_for(lambda: postfix.pending() == 0 and len(dovecot.held()) == 1, 30), str(names(dovecot.held())))
        log = run_session(again, office, dovecot)
        compare_maildrops(again, office, want)
        check(again + ": the log says it was not delivered again",
              "для ivan уже доставлено (Message-ID <list-a1@lists.test>)" in log, log[-2000:])
    finally:
        finish(tag, office)


def no_option_alias(binary, postfix, dovecot):
    tag = "alias, no option"
    copies = check_written(tag, "alias", send_to_provider(postfix, dovecot, tag, "a2", PEOPLE, 4))
    office = start_office(binary, dovecot, envelope=False)
    try:
        log = run_session(tag, office, dovecot)
        got = maildrops(office)
        lists = [c for (kind, _, _, _), c in copies.items() if kind == "list"]
        pm = got["postmaster"]
        check(tag + ": the postmaster has the blind copy and one of the list message's three copies",
              len(pm) == 2 and the_copy(copies, "bcc", ANNA) in pm and sum(1 for t in pm if t in lists) == 1,
              "got %s" % names(pm))
        check(tag + ": nobody else has anything", all(got[u] == [] for u in PEOPLE),
              str({u: names(got[u]) for u in PEOPLE}))
        check(tag + ": every delivered body is byte-identical to the one sent", all(body_of(t) == BODY for t in pm))
        check(tag + ": the log says the two other copies of the list message were not delivered again",
              log.count("для postmaster уже доставлено (Message-ID <list-a2@lists.test>)") == 2, log[-2000:])
    finally:
        finish(tag, office)


def envelope_alias_single(binary, postfix, dovecot):
    tag = "one copy per message, envelope"
    copies = check_written(tag, "alias-single", send_to_provider(postfix, dovecot, tag, "s1", PEOPLE, 2))
    the_list, the_bcc = the_copy(copies, "list", None), the_copy(copies, "bcc", None)
    office = start_office(binary, dovecot, envelope=True)
    try:
        run_session(tag, office, dovecot)
        compare_maildrops(tag, office, {"postmaster": [], "ivan": [the_list], "petr": [the_list],
                                        "anna": [the_list, the_bcc]})
    finally:
        finish(tag, office)


def envelope_mailbox(binary, postfix, dovecot):
    tag = "catch-all mailbox, envelope"
    copies = check_written(tag, "mailbox",
                           send_to_provider(postfix, dovecot, tag, "m1", ["ivan", "petr+team", "anna"], 4))
    office = start_office(binary, dovecot, envelope=True)
    try:
        run_session(tag, office, dovecot)
        compare_maildrops(tag, office, {"postmaster": [],
                                        "ivan": [the_copy(copies, "list", "ivan@office.test")],
                                        "petr": [the_copy(copies, "list", "petr+team@office.test")],
                                        "anna": [the_copy(copies, "list", ANNA), the_copy(copies, "bcc", ANNA)]})
    finally:
        finish(tag, office)


def run_session(tag, office, dovecot):
    """One session, and the provider's box empty after it; the log it wrote."""
    log = session(office, dovecot)
    check(tag + ": the session ended", log is not None)
    check(tag + ": the shared box at the provider is empty afterwards", dovecot.held() == [],
          str(names(dovecot.held())))
    return log or ""


def compare_maildrops(tag, office, want):
    """Each user's maildrop against the provider's copies the user must have, byte for byte."""
    got = maildrops(office)
    for user in USERS:
        check("%s: %s has exactly %s" % (tag, user, names(want[user]) or "nothing"),
              got[user] == sorted(want[user]) and b"" not in want[user], "got %s" % names(got[user]))
    check(tag + ": every delivered body is byte-identical to the one sent",
          all(body_of(t) == BODY for texts in got.values() for t in texts))


SCENARIOS = [("alias", envelope_alias), ("alias", no_option_alias), ("alias-single", envelope_alias_single),
             ("mailbox", envelope_mailbox)]


def finish(tag, office):
    if len(checks.failures) > office.failures:
        print(office.log()[-4000:])
    check(tag + ": quelma exits 0 on SIGINT", office.stop() == 0)


def main():
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))  # still stop Postfix and Dovecot
    ensure_postfix()
    for needed in ("postfix", "dovecot"):
        if shutil.which(needed) is None:
            check(needed + " is installed", False)
            return checks.result()
    binary = sys.argv[1]
    started = time.time()
    work = tempfile.mkdtemp(prefix="quelma-multidrop-")
    os.chmod(work, 0o755)  # Postfix and Dovecot work in it as their own users
    dovecot = None
    postfixes = []
    try:
        dovecot = Dovecot(work)
        for flavour in DELIVERY:
            postfixes.append(provider(work, flavour))
        by_flavour = dict(zip(DELIVERY, postfixes))
        for flavour, scenario in SCENARIOS:
            scenario(binary, by_flavour[flavour], dovecot)
        if checks.failures:
            for postfix in postfixes:
                print(postfix.maillog()[-3000:])
            print(dovecot.log()[-2000:])
    finally:
        for postfix in postfixes:
            postfix.stop()
        if dovecot:
            dovecot.stop()
        shutil.rmtree(work, ignore_errors=True)
    print("%.0f seconds" % (time.time() - started))
    return checks.result()


if __name__ == "__main__":
    sys.exit(main())
