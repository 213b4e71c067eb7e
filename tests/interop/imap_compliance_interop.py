"""Dovecot's imaptest against our IMAP server: its scripted compliance tests (every group whose
capabilities we announce must pass) and a short stress run of ten clients with its default
command mix (no errors, no desynchronised state).

usage: imap_compliance_interop.py QUELMA IMAPTEST_DIR
IMAPTEST_DIR holds imaptest and its tests (tests/tools/imaptest/build makes it); without it the
test is skipped (exit 77)."""
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(__file__))
from quelma_process import Checks, Quelma  # noqa: E402

STRESS_SECONDS = 10


def run_imaptest(imaptest, args, timeout):
    done = subprocess.run([imaptest] + args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          timeout=timeout, cwd=os.path.dirname(imaptest))
    return done.stdout.decode("utf-8", "replace")


def main():
    quelma, imaptest_dir = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    imaptest = os.path.join(imaptest_dir, "imaptest")
    if not os.access(imaptest, os.X_OK):
        print("skip imaptest is not built in %s" % imaptest_dir)
        return 77
    checks = Checks()
    q = Quelma(quelma, ["PLAINTEXT_LOGIN = YES", "MAX_SESSIONS = 40"], ["tester", "stress"])
    try:
        out = run_imaptest(imaptest, ["host=127.0.0.1", "port=%d" % q.imap, "user=tester", "pass=x",
                                      "test=%s" % os.path.join(imaptest_dir, "tests")], 600)
        groups = re.search(r"(\d+) test groups: (\d+) failed, (\d+) skipped", out)
        base = re.search(r"base protocol: (\d+)/(\d+) individual commands failed", out)
        ext = re.search(r"extensions: (\d+)/(\d+) individual commands failed", out)
        checks.check("imaptest's scripted tests: no group fails",
                     groups is not None and groups.group(2) == "0", out[-3000:])
        checks.check("base protocol: no command fails (%s)" % (base.group(0) if base else "no summary"),
                     base is not None and base.group(1) == "0", out[-2000:])
        checks.check("extensions: no command fails (%s)" % (ext.group(0) if ext else "no summary"),
                     ext is not None and ext.group(1) == "0", out[-2000:])

        mbox = os.path.join(q.dir, "stress.mbox")
        subprocess.run([sys.executable, os.path.join(os.path.dirname(__file__), "..", "tools", "imaptest",
                                                     "make-stress-mbox"), mbox], check=True, stdout=subprocess.DEVNULL)
        out = run_imaptest(imaptest, ["host=127.0.0.1", "port=%d" % q.imap, "user=stress", "pass=x",
                                      "mbox=%s" % mbox, "clients=10", "secs=%d" % STRESS_SECONDS], 120)
        errors = [line for line in out.splitlines() if line.startswith("Error:") or "desync" in line.lower()]
        # The last line of figures: each command's count over the whole run.
        figures = [line.split() for line in out.splitlines() if line.split() and all(w.isdigit() for w in line.split())]
        counts = [int(n) for n in figures[-1]] if figures else []
        checks.check("stress, ten clients: no errors and no desynchronised state", not errors, "\n".join(errors[:20]))
        checks.check("stress, ten clients: commands were answered (%d)" % sum(counts), sum(counts) > 0, out[-1500:])
        log = q.log()
        checks.check("the server logged no failed change of a mailbox", "Не удалось изменить" not in log,
                     "\n".join(l for l in log.splitlines() if "Не удалось" in l)[:1500])
    finally:
        code = q.stop()
    checks.check("quelma ends with 0", code == 0, str(code))
    return checks.result()


if __name__ == "__main__":
    sys.exit(main())
