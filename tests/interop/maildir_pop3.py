"""Dovecot's POP3 server on 127.0.0.1 serving maildirs under WORK/home/USER/Maildir (that the
test, or a Postfix of its own, fills), for the interop tests that play a provider's mailbox."""
import os
import subprocess
import time

import pop3_client_interop as dove
from quelma_process import account_port


def wait_for(condition, seconds):
    """True once `condition` holds, polled for at most `seconds`."""
    end = time.time() + seconds
    while time.time() < end:
        if condition():
            return True
        time.sleep(0.05)
    return condition()


class MaildirPop3:
    def __init__(self, work, users, extra_conf=()):
        """`users`: name -> password. `extra_conf`: lines added to dovecot.conf."""
        self.work, self.port = work, account_port()
        for user in users:
            for sub in ("cur", "new", "tmp"):
                os.makedirs(self.maildir(user, sub), exist_ok=True)
        subprocess.run(["chown", "-R", "dovecot:dovecot", os.path.join(work, "home")], check=True)
        self.conf = dove.dovecot(work, self.port)
        with open(os.path.join(work, "passwd"), "w") as f:
            f.writelines("%s:{PLAIN}%s::::::\n" % item for item in users.items())
        with open(self.conf, "a") as f:
            f.writelines(line + "\n" for line in extra_conf)
        subprocess.run(["dovecot", "-c", self.conf], check=True)
        self.log_path = os.path.join(work, "dovecot.log")
        wait_for(lambda: "starting up" in self.log(), 10)

    def maildir(self, user, sub=""):
        return os.path.join(self.work, "home", user, "Maildir", sub)

    def messages(self, user):
        """The messages in the user's maildir now, by maildir base name, as POP3 gives them
        (CR LF lines; Postfix writes LF)."""
        held = {}
        for sub in ("cur", "new"):
            for entry in os.listdir(self.maildir(user, sub)):
                with open(os.path.join(self.maildir(user, sub), entry), "rb") as f:
                    held[entry.split(":")[0]] = f.read().replace(b"\n", b"\r\n")
        return held

    def disconnects(self, user):
        """How many of the user's POP3 sessions Dovecot has ended."""
        mark = "pop3(%s)" % user
        return sum(1 for line in self.log().splitlines() if mark in line and "Disconnected" in line)

    def log(self):
        if not os.path.exists(self.log_path):
            return ""
        with open(self.log_path, errors="replace") as f:
            return f.read()

    def stop(self):
        subprocess.run(["dovecot", "-c", self.conf, "stop"], capture_output=True)
