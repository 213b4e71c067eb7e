"""Reads the mailbox index the program keeps beside a maildrop (its snapshot and the change
records after it, each checked; a torn or damaged tail is left out), for the crash harness's
UID checks."""
import hashlib
import struct

MAGIC = b"QMIX"


def _check(data):
    return hashlib.md5(data).digest()[:4]


class _Reader:
    def __init__(self, data):
        self.data, self.at = data, 0

    def take(self, fmt):
        size = struct.calcsize("<" + fmt)
        if self.at + size > len(self.data):
            raise ValueError("short")
        value = struct.unpack_from("<" + fmt, self.data, self.at)
        self.at += size
        return value if len(value) > 1 else value[0]

    def text(self):
        n = self.take("B")
        if self.at + n > len(self.data):
            raise ValueError("short")
        value = self.data[self.at:self.at + n]
        self.at += n
        return value.decode("latin-1")

    def message(self):
        uid, offset, size, flags, keywords, modseq, arrival = self.take("IQQIQQq")
        return {"uid": uid, "offset": offset, "size": size, "flags": flags, "id": self.text()}


def read(path):
    """{'validity', 'next', 'messages': {uid: id}, 'expunged': {uid: id}}, or None."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError:
        return None
    if data[:4] != MAGIC or len(data) < 10:
        return None
    version, length = struct.unpack_from("<HI", data, 4)
    end = 10 + length
    if version != 1 or len(data) < end + 4 or data[end:end + 4] != _check(data[:end]):
        return None
    r = _Reader(data[10:end])
    validity, uid_next, _, _ = r.take("IIQQ")
    for _ in range(r.take("H")):
        r.text()
    messages = [r.message() for _ in range(r.take("I"))]
    expunged = [r.message() for _ in range(r.take("I"))]
    index = {"validity": validity, "next": uid_next, "messages": {m["uid"]: m["id"] for m in messages},
             "expunged": {m["uid"]: m["id"] for m in expunged}}
    rest = data[end + 4:]
    while len(rest) >= 5:
        kind, n = struct.unpack_from("<cI", rest, 0)
        whole = 5 + n
        if len(rest) < whole + 4 or rest[whole:whole + 4] != _check(rest[:whole]):
            break
        p = _Reader(rest[5:whole])
        if kind == b"A":
            m = p.message()
            index["messages"][m["uid"]] = m["id"]
            index["next"] = m["uid"] + 1
        elif kind == b"X":
            uid = p.take("I")
            if uid in index["messages"]:
                index["expunged"][uid] = index["messages"].pop(uid)
        rest = rest[whole + 4:]
    return index
