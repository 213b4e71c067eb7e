"""What our IMAP server's FETCH answers (ENVELOPE, BODYSTRUCTURE, BODY, BODY[section], BINARY)
beside Dovecot's imapd on the same messages, byte for byte. Dovecot's `imap` runs in PREAUTH mode
on stdin/stdout over a maildir of its own (no daemon, no network); our answers come from the
imap_render_dump program. Differences are sorted into the deliberate kinds listed in KNOWN; any
other difference fails the test.

usage: imap_render_vs_dovecot.py IMAP_RENDER_DUMP [--show]"""
import os
import pwd
import re
import shutil
import subprocess
import sys
import tempfile

IMAP = "/usr/lib/dovecot/imap"

# ---- The corpus ----

def crlf(text):
    return text.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")


def m(text, lf=False):
    return text if lf else crlf(text)


CORPUS = {
    "plain": m(b"From: Ann <ann@example.org>\nTo: bob@example.org\nSubject: hello\nDate: Mon, 1 Jan 2024 10:00:00 +0000\nMessage-ID: <1@example.org>\n\nline one\nline two\n"),
    "nested": m(b"From: a@b.c\nSubject: nested\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"outer\"\n\npreamble\n--outer\nContent-Type: multipart/alternative; boundary=inner\n\n--inner\nContent-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: quoted-printable\n\nHello =C3=A9 w=\norld\n--inner\nContent-Type: text/html; charset=utf-8\n\n<p>Hello</p>\n--inner--\n--outer\nContent-Type: application/pdf; name=\"doc.pdf\"\nContent-Disposition: attachment; filename=\"doc.pdf\"\nContent-Transfer-Encoding: base64\n\nJVBERi0xLjQK\nJSVFT0YK\n--outer--\nepilogue\n"),
    "rfc822": m(b"From: fwd@x.org\nSubject: Fwd\nContent-Type: multipart/mixed; boundary=b1\n\n--b1\n\nsee attached\n--b1\nContent-Type: message/rfc822\nContent-Description: forwarded\n\nFrom: orig@y.org\nTo: z@y.org\nSubject: original\nContent-Type: multipart/alternative; boundary=b2\n\n--b2\nContent-Type: text/plain\n\norig text\n--b2\nContent-Type: text/html\n\n<b>orig</b>\n--b2--\n--b1--\n"),
    "digest": m(b"From: list@x\nContent-Type: multipart/digest; boundary=D\n\n--D\n\nFrom: one@x\nSubject: first\n\nbody one\n--D\nContent-Type: text/plain\n\nnot a message\n--D\n\nSubject: third\n\nbody three\n\n--D--\n"),
    "no-content-type": m(b"Subject: bare\n\nno content type here\n"),
    "rfc2231": m(b"From: a@b\nContent-Type: multipart/mixed; boundary=X\n\n--X\nContent-Type: application/octet-stream; name*0=\"long\"; name*1=\"name.bin\"; x-a=1\nContent-Disposition: attachment; filename*0*=utf-8''%D0%B0; filename*1=\"b c.txt\"; size=12\n\nbinary\n--X\nContent-Type: text/plain; title*=us-ascii'en'This%20is; charset=\"ISO-8859-1\"\nContent-Disposition: inline; a*1=\"y\"; a*0=\"x\"; b*1=z\n\ntext\n--X--\n"),
    "8bit-header": m("From: Иван <ivan@x.ru>\nSubject: Привет\nTo: \"Пётр\" <p@x.ru>\nContent-Type: text/plain; charset=utf-8\nContent-Description: описание\n\nтекст\n".encode()),
    "groups": m(b"From: a@b.c\nTo: Friends: x@y.z, \"Y\" <y@y.z>;, undisclosed-recipients:;\nCc: Empty:;, solo@z\nBcc: G: (comment) ;\n\nb\n"),
    "empty-fields": m(b"From:\nTo:\nSubject:\nDate:\nMessage-ID:\nIn-Reply-To:\nSender:\nReply-To:\n\nbody\n"),
    "missing-fields": m(b"X-Only: 1\n\nbody\n"),
    "comments": m(b"From: a@b.c (John Smith)\nTo: x@y (c1) (c2), \"Q\" (cm) <q@r>, (lead) c@d.e\nCc: <@r1,@r2:u@h.org>, bare, x@, <>\nReply-To: =?utf-8?q?J=C3=A9?= <j@h>\nSender: \"John \\\"Q\\\" Doe\" <john@x.org>\n\nb\n"),
    "folded": m(b"From: a@b.c\nSubject: two\n  lines\nX-Long: one\n\ttwo\n three\nTo: x@y,\n z@w\nReceived: from a\n  by b\n\nbody\n"),
    "fields-case": m(b"FROM: a@b\nsubject: lower\nSuBjEcT: second\nX-A: 1\nx-a: 2\nX-AB: 3\n\nbody\n"),
    "bare-lf": m(b"From: lf@x\nSubject: lf\nContent-Type: multipart/mixed; boundary=L\n\n--L\n\nlf part\n--L--\n", lf=True),
    "no-body": m(b"From: a@b\nSubject: no body\n"),
    "no-body-blank": m(b"From: a@b\nSubject: no body\n\n"),
    "boundary-missing": m(b"From: a@b\nContent-Type: multipart/mixed\n\n--x\n\nnothing\n--x--\n"),
    "boundary-absent": m(b"From: a@b\nContent-Type: multipart/mixed; boundary=nowhere\n\njust text\n"),
    "deep": m(b"From: a@b\nContent-Type: multipart/mixed; boundary=a\n\n--a\nContent-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: multipart/mixed; boundary=c\n\n--c\nContent-Type: message/rfc822\n\nSubject: in\nContent-Type: multipart/mixed; boundary=d\n\n--d\nContent-Type: multipart/alternative; boundary=e\n\n--e\n\ndeep text\n--e--\n--d--\n--c--\n--b--\n--a--\n"),
    "base64-ok": m(b"From: a@b\nContent-Type: application/octet-stream\nContent-Transfer-Encoding: base64\n\naGVsbG8g\nd29ybGQ=\n"),
    "base64-spaces": m(b"From: a@b\nContent-Type: image/png\nContent-Transfer-Encoding: Base64\n\naGVs bG8g\n\td29y bGQ=\n\n"),
    "base64-bad": m(b"From: a@b\nContent-Type: image/png\nContent-Transfer-Encoding: base64\n\naGVs*bG8=\n"),
    "base64-after-pad": m(b"From: a@b\nContent-Type: image/png\nContent-Transfer-Encoding: base64\n\naGk=\naGk=\n"),
    "qp": m(b"From: a@b\nContent-Type: text/plain\nContent-Transfer-Encoding: quoted-printable\n\na=3Db=\nc =\nd  \ntabs\t\t\n=E9t=e9 x=20\nsoft= \nend\n"),
    "qp-bad": m(b"From: a@b\nContent-Type: text/plain\nContent-Transfer-Encoding: quoted-printable\n\nf=ZZ g\n"),
    "unknown-cte": m(b"From: a@b\nContent-Type: text/plain\nContent-Transfer-Encoding: x-uuencode\n\nbegin 644 x\n"),
    "cte-8bit": m(b"From: a@b\nContent-Type: text/plain; charset=koi8-r\nContent-Transfer-Encoding: 8BIT\n\n\xf0\xd2\xc9\xd7\xc5\xd4\n"),
    "cte-comment": m(b"From: a@b\nContent-Transfer-Encoding: 7bit (plain)\n\nx\n"),
    "extension-fields": m(b"From: a@b\nContent-Type: multipart/related; boundary=R; type=\"text/html\"; start=\"<s@x>\"\nContent-Disposition: inline\nContent-Language: en\nContent-Location: http://x/\n\n--R\nContent-Type: TEXT/HTML; CHARSET=UTF-8\nContent-ID: <s@x>\nContent-Description: the page\nContent-MD5: Q2hlY2sgSW50ZWdyaXR5IQ==\nContent-Language: en, de-DE (German)\nContent-Location: page.html\nContent-Disposition: INLINE; FileName=page.html\n\n<html></html>\n--R\nContent-Type: image/gif\nContent-ID: <i@x>\nContent-Transfer-Encoding: base64\n\nR0lGODlh\n--R--\n"),
    "text-html-nocharset": m(b"From: a@b\nContent-Type: text/html\n\n<p>x</p>\n"),
    "rfc822-top": m(b"From: outer@x\nContent-Type: message/rfc822\n\nFrom: inner@x\nSubject: inner\nContent-Type: multipart/mixed; boundary=I\n\n--I\n\npart one\n--I\nContent-Type: text/plain\n\npart two\n--I--\n"),
    "rfc822-empty": m(b"From: a@b\nContent-Type: multipart/mixed; boundary=E\n\n--E\nContent-Type: message/rfc822\n\n--E--\n"),
    "rfc822-base64": m(b"From: a@b\nContent-Type: multipart/mixed; boundary=E\n\n--E\nContent-Type: message/rfc822\nContent-Transfer-Encoding: base64\n\nRnJvbTogeEB5DQoNCmJvZHkNCg==\n--E--\n"),
    "addresses-odd": m(b"From: \"a,b\" <ab@x>, <<>>, ;garbage\nTo: \"quoted local\"@x.org, user@[127.0.0.1], a.b.c@d\nCc: Mary Q. Public <mq@x>, \"\" <y@z>, @\n\nb\n"),
    "encoded-words": m(b"From: =?utf-8?B?0JjQstCw0L0=?= <i@x>\nSubject: =?koi8-r?b?8NLJ18XU?= and =?utf-8?q?caf=C3=A9?=\nTo: =?x?q?a?= =?x?q?b?= <ab@x>\n\nb\n"),
    "quotes-in-subject": m(b"From: a@b\nSubject: say \"hi\" \\ and \"bye\" \\ ok\n\nb\n"),
    "header-only-colonless": m(b"From: a@b\nNot a field line\nSubject: s\n\nb\n"),
    "long-multipart": m(b"From: a@b\nContent-Type: multipart/mixed; boundary=P\n\n" + b"".join(b"--P\nContent-Type: text/plain; name=p%d\n\npart %d\n" % (i, i) for i in range(1, 13)) + b"--P--\n"),
    "boundary-no-close": m(b"From: a@b\nContent-Type: multipart/mixed; boundary=N\n\n--N\n\nfirst\n--N\nContent-Type: text/html\n\n<p>unclosed"),
    "message-global": m(b"From: a@b\nContent-Type: multipart/mixed; boundary=G\n\n--G\nContent-Type: message/global\n\nFrom: g@x\nSubject: global\n\nglobal body\n--G--\n"),
    "disposition-only": m(b"From: a@b\nContent-Type: multipart/mixed; boundary=Q\n\n--Q\nContent-Disposition: attachment\n\nno type\n--Q\nContent-Type: application/json\n\n{}\n--Q--\n"),
}

HEADER_ITEMS = ["ENVELOPE", "BODYSTRUCTURE", "BODY", "BODY.PEEK[]", "BODY.PEEK[HEADER]", "BODY.PEEK[TEXT]",
                "BODY.PEEK[HEADER.FIELDS (FROM SUBJECT X-A)]", "BODY.PEEK[HEADER.FIELDS.NOT (FROM SUBJECT TO)]",
                "BODY.PEEK[HEADER.FIELDS (NOTHERE)]"]
PART_PATHS = ["1", "2", "3", "1.1", "1.2", "2.1", "2.2", "2.3", "1.1.1", "2.1.1", "2.2.1", "1.1.1.1", "9", "2.9"]


def items_for(name):
    items = list(HEADER_ITEMS)
    for path in PART_PATHS:
        items += ["BODY.PEEK[%s]" % path, "BODY.PEEK[%s.MIME]" % path, "BODY.PEEK[%s.HEADER]" % path,
                  "BODY.PEEK[%s.TEXT]" % path, "BODY.PEEK[%s.HEADER.FIELDS (SUBJECT)]" % path,
                  "BINARY.PEEK[%s]" % path, "BINARY.SIZE[%s]" % path]
    return items

# ---- IMAP answers as values ----

TOKEN = re.compile(rb'\s*(NIL|[0-9]+|\(|\)|"(?:[^"\\]|\\.)*"|~?\{[0-9]+\}\r\n)')


def parse_value(data, at):
    """The value at `at` as nested lists of ('s', bytes) / ('n', int) / None; and where it ends."""
    match = TOKEN.match(data, at)
    if not match:
        raise ValueError("cannot read at %d: %r" % (at, data[at:at + 40]))
    token, at = match.group(1), match.end()
    if token == b"(":
        out = []
        while True:
            while data[at:at + 1] == b" ":
                at += 1
            if data[at:at + 1] == b")":
                return out, at + 1
            value, at = parse_value(data, at)
            out.append(value)
    if token == b"NIL":
        return None, at
    if token.isdigit():
        return ("n", int(token)), at
    if token.startswith(b'"'):
        return ("s", re.sub(rb"\\(.)", rb"\1", token[1:-1])), at
    size = int(token[token.index(b"{") + 1:token.index(b"}")])
    return ("s", data[at:at + size]), at + size


def split_answers(data, items):
    """Item -> ("OK", raw bytes of its value), ("NO", code) or ("NONE", b""), from a stream of
    FETCH answers (matched by item name: a server may answer pipelined commands out of order)
    and tagged lines "tN OK" or "tN NO [code] ..."."""
    values, refused, at = {}, {}, 0
    while at < len(data):
        if data.startswith(b"* 1 FETCH (", at):
            at += len(b"* 1 FETCH (")
            while data[at:at + 1] != b")":
                depth, name_start = 0, at
                while depth or data[at:at + 1] != b" ":
                    depth += {b"[": 1, b"]": -1}.get(data[at:at + 1], 0)
                    at += 1
                name, value_start = data[name_start:at].decode(), at + 1
                _, at = parse_value(data, value_start)
                values[name] = data[value_start:at]
                while data[at:at + 1] == b" ":
                    at += 1
            at = data.index(b"\r\n", at) + 2
            continue
        end = data.find(b"\r\n", at)
        end = len(data) if end == -1 else end
        tagged = re.match(rb"t([0-9]+) (NO|BAD)(.*)", data[at:end])
        if tagged:
            code = re.search(rb"\[[A-Z-]+\]", tagged.group(3))
            refused[int(tagged.group(1))] = code.group(0) if code else tagged.group(2)
        at = end + 2
    answers = {}
    for index, item in enumerate(items):
        name = item.replace(".PEEK", "")
        if index in refused:
            answers[item] = ("NO", refused[index])
        elif name in values:
            answers[item] = ("OK", values[name])
        else:
            answers[item] = ("NONE", b"")
    return answers

# ---- The two servers ----


def dovecot_answers(work, message, items):
    """Dovecot's answers, one PREAUTH session per message (a broken body can end a session)."""
    box = os.path.join(work, "dovecot")
    shutil.rmtree(box, ignore_errors=True)
    for sub in ("cur", "new", "tmp"):
        os.makedirs(os.path.join(box, "Maildir", sub))
    with open(os.path.join(box, "Maildir", "cur", "1.host:2,S"), "wb") as f:
        f.write(message)
    conf = os.path.join(box, "dovecot.conf")
    with open(conf, "w") as f:
        f.write("base_dir = %s/run\nstate_dir = %s/state\nlog_path = %s/log\nmail_location = maildir:%s/Maildir\n"
                "ssl = no\nprotocols = imap\n" % (box, box, box, box))
    user = pwd.getpwuid(os.getuid()).pw_name
    command = ["env", "-i", "HOME=" + box, "USER=" + user, IMAP, "-c", conf]
    if os.getuid() == 0:
        # Dovecot will not serve mail as root.
        subprocess.run(["chown", "-R", "nobody:nogroup", box], check=True)
        command = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                   "env", "-i", "HOME=" + box, "USER=nobody", IMAP, "-c", conf]
    script = b"s SELECT INBOX\r\n" + b"".join(b"t%d FETCH 1 (%s)\r\n" % (i, item.encode())
                                               for i, item in enumerate(items)) + b"z LOGOUT\r\n"
    result = subprocess.run(command, input=script, capture_output=True, timeout=60)
    out = result.stdout
    return split_answers(out, items)


def our_answers(dump, work, message, items):
    path = os.path.join(work, "message")
    with open(path, "wb") as f:
        f.write(message)
    result = subprocess.run([dump, path] + items, capture_output=True, timeout=60, check=True)
    return split_answers(result.stdout, items)

# ---- Deliberate differences ----

def value_of(raw):
    try:
        value, end = parse_value(raw, 0)
        return value if end == len(raw) else raw
    except (ValueError, IndexError):
        return raw


def folded(s):
    return re.sub(rb"[ \t]+", b" ", s).strip()


def explain(ours, theirs):
    """Why two answers that are not the same bytes may differ, or None."""
    if ours == theirs:
        return "string form (quoted/literal/literal8)"
    if isinstance(ours, tuple) and isinstance(theirs, tuple) and ours[0] == theirs[0] == "s":
        if ours[1] == b"7BIT" and theirs[1] == b"7bit":
            return "default encoding written 7BIT"
        if folded(ours[1]) == folded(theirs[1]):
            return "white space of folded or padded values kept as written"
    if isinstance(ours, tuple) and isinstance(theirs, tuple) and ours[0] == theirs[0] == "n" and ours[1] == theirs[1] + 1:
        return "a last line without its line break counted as a line"
    if isinstance(ours, tuple) and isinstance(theirs, tuple) and ours[0] == theirs[0] and (
            (ours[0] == "n" and ours[1] + 2 == theirs[1]) or (ours[0] == "s" and ours[1] + b"\r\n" == theirs[1])):
        return BOUNDARY_BREAK
    if isinstance(ours, list) and isinstance(theirs, list) and len(ours) == len(theirs):
        reasons = set()
        for a, b in zip(ours, theirs):
            if a != b:
                reason = explain(a, b)
                if reason is None:
                    return None
                reasons.update(reason.split("; "))
        return "; ".join(sorted(reasons)) if reasons else "string form (quoted/literal/literal8)"
    return None


BOUNDARY_BREAK = ("the line break before a boundary left to the boundary, also after an inner message's last "
                  "delimiter (Dovecot counts it into a message/rfc822 part)")

ENCODED_MESSAGE = "an encoded message/rfc822 part holds no message to name (Dovecot answers its encoded body)"

# Messages or items where the difference is known and deliberate, with the reason.
KNOWN = {
    "bare-lf": "bare LF lines served as stored (Dovecot converts them to CR LF)",
    "message-global": "message/global answered as a message (RFC 9051's grammar, where Dovecot 2.3 gives a plain part)",
}
KNOWN_ITEMS = {
    ("fields-case", "ENVELOPE"): "the first of two Subject fields counts (Dovecot takes the last)",
    ("rfc822-base64", "BINARY.PEEK[1]"): "a base64 message/rfc822 part decoded (Dovecot sends it encoded)",
    ("rfc822-base64", "BINARY.SIZE[1]"): "a base64 message/rfc822 part decoded (Dovecot says 0)",
    ("rfc822-base64", "BODY.PEEK[1.HEADER]"): ENCODED_MESSAGE,
    ("rfc822-base64", "BODY.PEEK[1.1.MIME]"): ENCODED_MESSAGE,
}
LEAF_ONE = "no part N.1 below a single part N (Dovecot answers part N itself)"
NONLEAF_BINARY = "BINARY of a multipart or message part as stored (Dovecot decodes the parts inside)"


def item_path(item):
    match = re.match(r"[A-Z.]+\[([0-9.]+?)(\.[A-Z].*)?\]$", item)
    return (match.group(1), match.group(2) or "") if match else (None, None)


def explain_item(name, item, ours, theirs, all_ours, all_theirs):
    """Why one item's answers differ, or None."""
    reason = KNOWN.get(name) or KNOWN_ITEMS.get((name, item))
    if reason:
        return reason
    path, rest = item_path(item)
    empty = ours in (("OK", b"{0}\r\n"), ("OK", b"0"))
    if path and path.endswith(".1") and empty:
        parent = item.replace("[" + path + rest + "]", "[" + path[:-2] + rest + "]")
        if all_theirs.get(parent) == theirs:
            return LEAF_ONE
    if path and item.startswith("BINARY"):
        body = all_ours.get("BODY.PEEK[%s]" % path, ("", b""))[1]
        theirs_body = all_theirs.get("BINARY.PEEK[%s]" % path, ("", b""))[1]
        ours_binary = all_ours.get("BINARY.PEEK[%s]" % path, ("", b""))[1]
        if ours_binary == body and b"Content-Transfer-Encoding: binary" in theirs_body:
            return NONLEAF_BINARY
    if ours[0] == theirs[0] == "OK":
        return explain(value_of(ours[1]), value_of(theirs[1]))
    return None


def main():
    dump, show = sys.argv[1], "--show" in sys.argv
    if not os.path.exists(IMAP):
        print("skip: Dovecot's imap is not installed")
        return 77
    work = tempfile.mkdtemp(prefix="imap-render-")
    os.chmod(work, 0o755)
    unexplained, explained, same = 0, {}, 0
    try:
        for name, message in CORPUS.items():
            items = items_for(name)
            theirs = dovecot_answers(work, message, items)
            ours = our_answers(dump, work, message, items)
            for item in items:
                a, b = ours[item], theirs[item]
                if a == b:
                    same += 1
                    continue
                reason = explain_item(name, item, a, b, ours, theirs)
                if reason is None:
                    unexplained += 1
                    print("DIFF %s %s\n  ours:    %r\n  dovecot: %r" % (name, item, a[1][:600], b[1][:600]))
                else:
                    for kind in reason.split("; "):
                        explained[kind] = explained.get(kind, 0) + 1
                    if show:
                        print("known %s %s (%s)\n  ours:    %r\n  dovecot: %r" % (name, item, reason, a[1][:300], b[1][:300]))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("%d messages, %d answers byte-identical" % (len(CORPUS), same))
    for reason, count in sorted(explained.items()):
        print("  %d answers with a deliberate difference: %s" % (count, reason))
    print("%d unexplained differences" % unexplained)
    return 1 if unexplained else 0


if __name__ == "__main__":
    sys.exit(main())
