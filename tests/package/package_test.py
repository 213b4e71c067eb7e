#!/usr/bin/env python3
"""The Debian package on this machine: built with CPack from the Linux build, installed with apt-get
(policy-rc.d keeps its service from starting), its files, user and unit checked, the program run
the way the unit runs it (its user, capability and umask) on 127.0.0.1 ports 25 and 110 with mail
handed in and collected, a reload by SIGHUP, SIGTERM; then purged, the mail staying behind.
Needs root (CI and the development machine are throwaway root machines); prints "skip" otherwise.

Usage: package_test.py BUILD_DIR     (the Linux program's build, e.g. build/native)
"""
import glob
import gzip
import os
import poplib
import pwd
import re
import grp
import shlex
import signal
import smtplib
import socket
import stat
import subprocess
import sys
import tempfile
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "interop"))
from quelma_process import Checks  # noqa: E402

STATE = "/var/lib/quelma"
UNIT = "/lib/systemd/system/quelma.service"
MARK = os.path.join(STATE, ".made-by-package-test")  # tells a leftover of this test from real mail
# man-db re-indexes every manual page after each install and purge (seconds each) unless this
# file is gone; the test takes it away while it runs and puts it back.
MANDB_SWITCH = "/var/lib/man-db/auto-update"
ENV = dict(os.environ, DEBIAN_FRONTEND="noninteractive")


def run(command, **kw):
    started = time.monotonic()
    done = subprocess.run(command, capture_output=True, text=True, env=kw.pop("env", ENV), **kw)
    if time.monotonic() - started > 1:
        print("  (%s: %.1f s)" % (" ".join(command[:3]), time.monotonic() - started))
    return done


def installed():
    return run(["dpkg-query", "-W", "-f=${Status}", "quelma"]).stdout.startswith("install ok installed")


def known_to_dpkg():
    """Installed, or removed with its configuration left."""
    status = run(["dpkg-query", "-W", "-f=${Status}", "quelma"]).stdout
    return status != "" and not status.endswith("not-installed")


def remove_leftovers():
    """What an earlier, interrupted run of this test left; False when something else is there."""
    if known_to_dpkg() or os.path.exists(STATE):
        if not os.path.exists(MARK):
            return False
        if known_to_dpkg():
            run(["apt-get", "purge", "-y", "-qq", "quelma"])
        subprocess.run(["rm", "-rf", STATE])
    try:
        pwd.getpwnam("quelma")
        run(["deluser", "--system", "--quiet", "quelma"])
    except KeyError:
        pass
    try:
        grp.getgrnam("quelma")
        run(["delgroup", "--system", "--quiet", "quelma"])
    except KeyError:
        pass
    return True


def unit_settings(path):
    """[Service] of the unit: key -> list of values (assignments of a key add up)."""
    settings, section = {}, None
    for line in open(path):
        line = line.strip()
        if line.startswith("["):
            section = line
        elif section == "[Service]" and "=" in line and not line.startswith("#"):
            key, value = line.split("=", 1)
            settings.setdefault(key.strip(), []).append(value.strip())
    return settings


def as_unit_runs_it(unit):
    """The command line that starts ExecStart as the unit does: its user and group, its
    capabilities (ambient, inheritable, bounding), no new privileges, its umask."""
    caps = ",".join("+" + c.lower().replace("cap_", "") for c in unit["AmbientCapabilities"][0].split())
    bounding = ",".join("+" + c.lower().replace("cap_", "") for c in unit["CapabilityBoundingSet"][0].split())
    command = ["setpriv", "--reuid", unit["User"][0], "--regid", unit["Group"][0], "--init-groups",
               "--inh-caps", "-all," + caps, "--ambient-caps", "-all," + caps, "--bounding-set", "-all," + bounding]
    if unit.get("NoNewPrivileges", ["no"])[0] == "yes":
        command.append("--no-new-privs")
    return command + ["sh", "-c", "umask %s && exec %s" % (unit["UMask"][0], unit["ExecStart"][0])]


def as_quelma(function):
    """A subprocess preexec that runs `function` as the service's user (as an administrator
    editing its files by hand would after "su quelma")."""
    def become():
        entry = pwd.getpwnam("quelma")
        os.setgroups([])
        os.setgid(entry.pw_gid)
        os.setuid(entry.pw_uid)
        os.umask(0o077)
        function()
    return become


def write_as_quelma(path, data):
    pid = os.fork()
    if pid == 0:
        try:
            as_quelma(lambda: open(path, "wb").write(data))()
            os._exit(0)
        except Exception:  # noqa: BLE001
            os._exit(1)
    return os.waitpid(pid, 0)[1] == 0


def config_file(users):
    lines = ["[Parameters]", "MailDropDir = %s/maildrop/" % STATE, "QueueDir = %s/queue/" % STATE,
             "LocalDomain = office.test", "PostMaster = postmaster", "Daemon = daemon", "LogFileSize = 64",
             "POP3_SRV_PORT = 110", "SMTP_SRV_PORT = 25", "LISTEN_ADDRESSES = 127.0.0.1", "UseLAN = NO",
             "DialUpRecord = provider", "[POP3accounts]",
             "[Users]"] + users
    return ("\r\n".join(lines) + "\r\n").encode("cp1251")


def port_free(port):
    """Nobody listens there (connections of an earlier run waiting out TIME_WAIT do not count,
    as they do not for the program's own listening sockets)."""
    with socket.socket() as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind(("127.0.0.1", port))
            return True
        except OSError:
            return False


class Manager:
    """The service manager's end of NOTIFY_SOCKET: the states the program sends."""

    def __init__(self, directory):
        self.path = os.path.join(directory, "notify")
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.path)
        os.chmod(self.path, 0o666)
        self.sock.settimeout(0.2)
        self.states = []

    def wait_for(self, word, tries=300):
        """Until a datagram with the line `word` arrives (at most tries x 0.2 s); whether it did."""
        for _ in range(tries):
            if any(word in s.split("\n") for s in self.states):
                return True
            try:
                self.states.append(self.sock.recv(4096).decode())
            except socket.timeout:
                pass
        return any(word in s.split("\n") for s in self.states)


def pop3_login(user, password):
    """The maildrop's message count after a POP3 login, or the server's refusal."""
    client = poplib.POP3("127.0.0.1", 110, timeout=10)
    try:
        client.user(user)
        client.pass_(password)
        return client.stat()[0]
    except poplib.error_proto as refusal:
        return str(refusal)
    finally:
        try:
            client.quit()
        except Exception:  # noqa: BLE001
            pass


def mode(path):
    info = os.stat(path)
    return "%s:%s %o" % (pwd.getpwuid(info.st_uid).pw_name, grp.getgrgid(info.st_gid).gr_name,
                         stat.S_IMODE(info.st_mode))


def check_lintian(t, package):
    """No lintian error on the package (warnings are shown, not failed)."""
    lintian = run(["lintian", "--no-tag-display-limit", package])
    errors = [line for line in lintian.stdout.splitlines() if line.startswith("E:")]
    warnings = [line for line in lintian.stdout.splitlines() if line.startswith("W:")]
    if warnings:
        print("lintian warnings:\n  " + "\n  ".join(warnings))
    t.check("lintian: no errors", lintian.returncode in (0, 1) and not errors and "E:" not in lintian.stderr,
            "\n".join(errors) + lintian.stderr[-1000:])


def check_installed_files(t):
    t.check("/usr/sbin/quelma root:root 755", os.path.exists("/usr/sbin/quelma") and mode("/usr/sbin/quelma") == "root:root 755")
    t.check("the unit in /lib/systemd/system", os.path.exists(UNIT) and mode(UNIT) == "root:root 644")
    for page in ("/usr/share/man/man8/quelma.8.gz", "/usr/share/man/man5/quelma.cfg.5.gz"):
        text = gzip.open(page).read() if os.path.exists(page) else b""
        ok = text.startswith(b'.\\"')
        t.check("man page " + page, ok)
        t.check("its header names the package's version", b"@VERSION@" not in text and
                re.search(rb'\n\.TH .* "quelma [0-9]+\.[0-9]+\.[0-9]+"', text) is not None)
        if ok:
            warnings = run(["man", "--warnings", "-l", page], env=dict(ENV, MANWIDTH="80")).stderr.strip()
            t.check("man --warnings clean on " + os.path.basename(page), warnings == "", warnings)
    for doc in ("copyright", "README.md.gz", "README.Debian", "changelog.gz", "examples/dialup.conf",
                "examples/quelma-backup.service", "examples/quelma-backup.timer"):
        t.check("doc " + doc, os.path.exists("/usr/share/doc/quelma/" + doc))
    try:
        user = pwd.getpwnam("quelma")
        t.check("system user quelma (uid below 1000, no login, home %s)" % STATE,
                user.pw_uid < 1000 and user.pw_shell.endswith("nologin") and user.pw_dir == STATE,
                str(user))
        t.check("group quelma is its group", grp.getgrgid(user.pw_gid).gr_name == "quelma")
    except KeyError:
        t.check("system user quelma", False, "missing")
    t.check(STATE + " quelma:quelma 700", os.path.isdir(STATE) and mode(STATE) == "quelma:quelma 700",
            mode(STATE) if os.path.exists(STATE) else "missing")
    t.check("the service is enabled", os.path.islink("/etc/systemd/system/multi-user.target.wants/quelma.service"))
    t.check("the package started nothing", not running_programs("quelma"))
    verify = run(["systemd-analyze", "verify", UNIT])
    print("systemd-analyze verify: rc %d, output %r" % (verify.returncode, (verify.stdout + verify.stderr).strip()))
    t.check("systemd-analyze verify clean", verify.returncode == 0 and (verify.stdout + verify.stderr).strip() == "",
            verify.stdout + verify.stderr)


def check_service_run(t, work):
    """The program as the unit starts it: mail in and out, a reload, the stop."""
    if not (port_free(25) and port_free(110) and port_free(143)):
        t.check("ports 25, 110 and 143 on 127.0.0.1 are free for the test", False, "another server holds them")
        return
    t.check("quelma.cfg written as the service's user",
            write_as_quelma(os.path.join(STATE, "quelma.cfg"), config_file(["postmaster  ; ", "daemon  ; ", "ivan  ; "])))
    # An administrator's command as root, without --dir: the installed program's directory, and
    # the file it replaces stays the service's.
    command = run(["/usr/sbin/quelma", "set-password", "user", "ivan"], input="Secret7\n")
    t.check("set-password as root without --dir", command.returncode == 0, command.stderr)
    t.check("quelma.cfg stays quelma's own after it (quelma:quelma 600)",
            mode(os.path.join(STATE, "quelma.cfg")) == "quelma:quelma 600", mode(os.path.join(STATE, "quelma.cfg")))
    command = run(["/usr/sbin/quelma", "config", "set", "LocalDomain", "office.test"])
    t.check("config set as root without --dir", command.returncode == 0, command.stdout + command.stderr)
    t.check("quelma.cfg stays quelma's own after that too",
            mode(os.path.join(STATE, "quelma.cfg")) == "quelma:quelma 600", mode(os.path.join(STATE, "quelma.cfg")))
    t.check("the password is in quelma.cfg", b"\r\nivan secret7 ; " in open(os.path.join(STATE, "quelma.cfg"), "rb").read())
    # The check's probes of the folders run as the service's user too and leave nothing behind.
    # Before the first start: ports 25 and 110 are the service's to open (a warning, not a
    # failure), the folders it makes at start are not there yet (a warning too).
    before = set(os.listdir(STATE)) | {"quelma.lock"}
    command = run(["/usr/sbin/quelma", "check", "local"])
    report = command.stdout.splitlines()
    verdicts = {line[9:].strip(): line[3:7] for line in report if line.startswith("  [")}
    want = {"Порт SMTP 25": "ВНИМ", "Порт POP3 110": "ВНИМ", "Порт IMAP 143": "ВНИМ", "Папка почтовых ящиков": "ВНИМ", "Папка очереди": "ВНИМ",
            "Папка программы": " OK "}
    t.check("check local as root on the fresh install: low ports and folders to come are warnings",
            all(verdicts.get(k) == v for k, v in want.items()), command.stdout + command.stderr)
    t.check("its probes run as quelma and leave nothing in " + STATE,
            set(os.listdir(STATE)) <= before and all(os.stat(os.path.join(STATE, name)).st_uid != 0
                                                       for name in os.listdir(STATE) if os.path.join(STATE, name) != MARK),
            str(sorted(mode(os.path.join(STATE, name)) + " " + name for name in os.listdir(STATE))))

    unit = unit_settings(UNIT)
    manager = Manager(work)
    journal = open(os.path.join(work, "journal"), "wb")
    info = os.fstat(journal.fileno())
    env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "NOTIFY_SOCKET": manager.path,
           "JOURNAL_STREAM": "%d:%d" % (info.st_dev, info.st_ino)}
    command = as_unit_runs_it(unit)
    print("starting: " + " ".join(shlex.quote(c) for c in command))
    proc = subprocess.Popen(command, stdout=journal, stderr=subprocess.STDOUT, env=env, cwd="/")
    try:
        t.check("READY=1 once both servers listen", manager.wait_for("READY=1"), str(manager.states))
        t.check("it runs as quelma:quelma", runs_as_quelma(proc.pid))
        status = dict(line.split(":\t", 1) for line in open("/proc/%d/status" % proc.pid).read().splitlines() if ":\t" in line)
        t.check("its one capability is CAP_NET_BIND_SERVICE, no new privileges",
                all(int(status[key], 16) == 1 << 10 for key in ("CapEff", "CapBnd", "CapAmb")) and status["NoNewPrivs"] == "1",
                str({k: status.get(k) for k in ("CapEff", "CapBnd", "CapAmb", "NoNewPrivs")}))
        try:
            with smtplib.SMTP("127.0.0.1", 25, timeout=10) as smtp:
                refused = smtp.sendmail("anna@outside.test", ["ivan@office.test"],
                                        "From: anna@outside.test\r\nTo: ivan@office.test\r\nSubject: package\r\n\r\n"
                                        "handed in through the package\r\n")
            t.check("SMTP on 127.0.0.1:25 takes a message for ivan", refused == {})
        except (OSError, smtplib.SMTPException) as error:
            t.check("SMTP on 127.0.0.1:25 takes a message for ivan", False, repr(error))
        try:
            client = poplib.POP3("127.0.0.1", 110, timeout=10)
            client.user("ivan")
            client.pass_("secret7")
            text = b"\n".join(client.retr(1)[1])
            client.quit()
            t.check("POP3 on 127.0.0.1:110 gives it to ivan", b"handed in through the package" in text)
        except (OSError, poplib.error_proto) as error:
            t.check("POP3 on 127.0.0.1:110 gives it to ivan", False, repr(error))

        before = pop3_login("olga", "pass2")
        t.check("olga cannot log in before she is in quelma.cfg", isinstance(before, str), repr(before))
        cfg = open(os.path.join(STATE, "quelma.cfg"), "rb").read() + b"olga pass2 ; \r\n"
        write_as_quelma(os.path.join(STATE, "quelma.cfg"), cfg)
        proc.send_signal(signal.SIGHUP)
        t.check("RELOADING=1 then READY=1 around the reload",
                manager.wait_for("RELOADING=1") and _ready_after_reloading(manager), str(manager.states))
        t.check("olga logs in after SIGHUP, without a restart", pop3_login("olga", "pass2") == 0)
        log = open(os.path.join(STATE, "quelma.log"), "rb").read().decode("cp1251")
        t.check("quelma.log says the settings were read again", "Настройки перечитаны" in log)
    finally:
        proc.send_signal(signal.SIGTERM)
        try:
            code = proc.wait(timeout=60)
        except subprocess.TimeoutExpired:
            proc.kill()
            code = proc.wait()
    t.check("SIGTERM ends it with 0", code == 0, "exit %r" % code)
    t.check("STOPPING=1 on the way out", manager.wait_for("STOPPING=1", tries=5), str(manager.states))
    journal.close()
    lines = open(os.path.join(work, "journal"), "rb").read().decode("utf-8", "replace").splitlines()
    t.check("journal lines: priority info, no stamp, UTF-8",
            lines != [] and all(line.startswith("<6>") and line[3:].split("> ")[0].isupper() for line in lines)
            and any(line.startswith("<6>DIALER> Настройки перечитаны") for line in lines), "\n".join(lines[:5]))
    t.check("the log says dial-up cannot work under the unit's NoNewPrivileges",
            any(line.startswith("<6>DIALER> Дозвон невозможен") for line in lines))
    for path, want in (("quelma.cfg", "quelma:quelma 600"), ("maildrop", "quelma:quelma 700"),
                       ("maildrop/ivan", "quelma:quelma 600"), ("quelma.log", "quelma:quelma 600")):
        full = os.path.join(STATE, path)
        t.check("%s is %s (UMask 0077)" % (path, want), os.path.exists(full) and mode(full) == want,
                mode(full) if os.path.exists(full) else "missing")


def check_taken_port(t, work):
    """A server that cannot listen fails a start under the service manager (exit 1, no READY=1)."""
    directory = os.path.join(work, "taken")
    os.mkdir(directory)
    holder = socket.socket()
    holder.bind(("127.0.0.1", 0))
    holder.listen(1)
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        free = probe.getsockname()[1]
    with open(os.path.join(directory, "quelma.cfg"), "wb") as f:
        f.write(config_file(["postmaster  ; "]).replace(b"POP3_SRV_PORT = 110", b"POP3_SRV_PORT = %d" % holder.getsockname()[1])
                .replace(b"SMTP_SRV_PORT = 25", b"SMTP_SRV_PORT = %d" % free).replace(STATE.encode(), directory.encode())
                .replace(b"UseLAN = NO", b"UseLAN = NO\r\nIMAP_SRV_PORT = 0"))
    manager = Manager(directory)
    proc = subprocess.Popen(["/usr/sbin/quelma", "--dir", directory], stdout=subprocess.DEVNULL,
                            env={"PATH": "/usr/bin:/bin", "NOTIFY_SOCKET": manager.path})
    try:
        code = proc.wait(timeout=60)
    except subprocess.TimeoutExpired:
        proc.send_signal(signal.SIGTERM)
        code = proc.wait()
    holder.close()
    manager.wait_for("__all__", tries=2)
    t.check("a POP3 port taken: the start fails with 1 and says so, never READY=1",
            code == 1 and not any("READY=1" in s.split("\n") for s in manager.states)
            and any(s.startswith("STATUS=") for s in manager.states), "exit %r, %r" % (code, manager.states))


def running_programs(name):
    """The processes whose command is `name`."""
    found = []
    for comm in glob.glob("/proc/[0-9]*/comm"):
        try:
            if open(comm).read().strip() == name:
                found.append(comm)
        except OSError:
            pass
    return found


def runs_as_quelma(pid):
    """setpriv and sh exec in place: the started process is the program itself."""
    status = open("/proc/%d/status" % pid).read()
    entry = pwd.getpwnam("quelma")
    ids = {line.split(":")[0]: line.split()[1:] for line in status.splitlines() if line.startswith(("Uid:", "Gid:"))}
    return (open("/proc/%d/comm" % pid).read().strip() == "quelma" and ids["Uid"] == [str(entry.pw_uid)] * 4
            and ids["Gid"] == [str(entry.pw_gid)] * 4)


def _ready_after_reloading(manager):
    for _ in range(2):
        seen_reloading = False
        for state in manager.states:
            lines = state.split("\n")
            if "RELOADING=1" in lines:
                seen_reloading = any(line.startswith("MONOTONIC_USEC=") for line in lines)
            elif "READY=1" in lines and seen_reloading:
                return True
        manager.wait_for("__more__", tries=10)
    return False


def check_purge(t):
    purge = run(["apt-get", "-o", "Dpkg::Options::=--force-unsafe-io", "purge", "-y", "quelma"])
    t.check("apt-get purge quelma", purge.returncode == 0, purge.stdout[-500:] + purge.stderr[-500:])
    t.check("purge removes /usr/sbin/quelma and the unit", not os.path.exists("/usr/sbin/quelma") and not os.path.exists(UNIT))
    t.check("purge removes the service's enablement",
            not os.path.lexists("/etc/systemd/system/multi-user.target.wants/quelma.service"))
    drop = os.path.join(STATE, "maildrop", "ivan")
    t.check("purge keeps the mail in " + STATE,
            os.path.exists(drop) and b"handed in through the package" in open(drop, "rb").read())
    t.check("purge keeps quelma.cfg", os.path.exists(os.path.join(STATE, "quelma.cfg")))
    t.check("purge says where the mail is left", STATE in purge.stdout + purge.stderr)


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    t = Checks()
    if os.geteuid() != 0:
        print("skip package test: installing a package needs root")
        return 0
    if not remove_leftovers():
        print("skip package test: quelma is installed or %s exists, not made by this test" % STATE)
        return 0
    # Packages must not start services of their own on this machine.
    if not os.path.exists("/usr/sbin/policy-rc.d"):
        with open("/usr/sbin/policy-rc.d", "w") as f:
            f.write("#!/bin/sh\nexit 101\n")
        os.chmod("/usr/sbin/policy-rc.d", 0o755)
    if os.path.exists(MANDB_SWITCH + ".package-test") and not os.path.exists(MANDB_SWITCH):
        os.rename(MANDB_SWITCH + ".package-test", MANDB_SWITCH)  # left by a run that was killed
    # A time-out's SIGTERM still runs the clean-up below.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    mandb_was_on = os.path.exists(MANDB_SWITCH)
    if mandb_was_on:
        os.rename(MANDB_SWITCH, MANDB_SWITCH + ".package-test")
    try:
        return install_run_purge(t)
    finally:
        if mandb_was_on:
            os.rename(MANDB_SWITCH + ".package-test", MANDB_SWITCH)


def install_run_purge(t):
    build = run([os.path.join(ROOT, "packaging", "debian", "make-package"), sys.argv[1],
                 os.path.join(ROOT, "build", "package")])
    packages = build.stdout.split()
    t.check("the package is built", build.returncode == 0 and len(packages) == 1, build.stderr[-1000:])
    if t.failures:
        return t.result()
    print("package %s: %d bytes" % (packages[0], os.path.getsize(packages[0])))
    check_lintian(t, packages[0])
    # Unpacked files are not synced one by one: the machine is thrown away after the test.
    install = run(["apt-get", "-o", "Dpkg::Options::=--force-unsafe-io", "install", "-y", "-qq", packages[0]])
    t.check("apt-get install ./quelma_*.deb", install.returncode == 0 and installed(), install.stdout[-1000:] + install.stderr[-1000:])
    work = tempfile.mkdtemp(prefix="quelma-package-")
    os.chmod(work, 0o755)
    try:
        if installed():
            open(MARK, "w").close()
            check_installed_files(t)
            check_service_run(t, work)
            check_taken_port(t, work)
            check_purge(t)
    finally:
        subprocess.run(["rm", "-rf", work])
        remove_leftovers()
    t.check("cleaned up: no user quelma, no " + STATE,
            not os.path.exists(STATE) and run(["getent", "passwd", "quelma"]).returncode != 0)
    return t.result()


if __name__ == "__main__":
    start = time.monotonic()
    code = main()
    print("package test took %.1f s" % (time.monotonic() - start))
    sys.exit(code)
