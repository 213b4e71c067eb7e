"""quelma.exe's surroundings in the Wine checks: a Wine prefix of its own whose programs share one
800x600 virtual desktop (so frames are drawn as on Windows) on an Xvfb display, the window driver
that acts on quelma.exe from outside, screenshots, and the waits on 127.0.0.1."""
import os
import shutil
import socket
import subprocess
import time

ENV = dict(os.environ, WINEDEBUG="-all", LANG="ru_RU.UTF-8", LC_ALL="ru_RU.UTF-8")


def wait_port(port, seconds=60):
    end = time.time() + seconds
    while time.time() < end:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            time.sleep(0.2)
    return False


def port_closed(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return False
    except OSError:
        return True


def wait_for(condition, seconds):
    end = time.time() + seconds
    while time.time() < end:
        if condition():
            return True
        time.sleep(0.2)
    return condition()


def program_directory(exe, work):
    """quelma.exe copied into `work` with its maildrop and queue folders: the [Parameters] lines
    that name those folders as Wine sees them."""
    shutil.copy(exe, work)
    for sub in ("maildrop", "queue"):
        os.makedirs(os.path.join(work, sub))
    windows = "Z:" + work.replace("/", "\\")
    return ["[Parameters]", "MailDropDir = %s\\maildrop\\" % windows, "QueueDir = %s\\queue\\" % windows]


def prepare_prefix(prefix):
    """Made once and kept in build/."""
    ENV["WINEPREFIX"] = prefix
    if os.path.exists(os.path.join(prefix, "system.reg")):
        return
    subprocess.run(["wineboot", "-i"], env=ENV, capture_output=True, timeout=300)
    for key, name, value in (("HKCU\\Software\\Wine\\Explorer", "Desktop", "Default"),
                             ("HKCU\\Software\\Wine\\Explorer\\Desktops", "Default", "800x600")):
        subprocess.run(["wine", "reg", "add", key, "/v", name, "/d", value, "/f"], env=ENV, capture_output=True)
    # The caption buttons are drawn with Marlett, which Debian keeps outside the prefix.
    marlett = "/usr/share/wine/fonts/marlett.ttf"
    if os.path.exists(marlett):
        shutil.copy(marlett, os.path.join(prefix, "drive_c", "windows", "Fonts"))
    subprocess.run(["wineserver", "-w"], env=ENV, capture_output=True, timeout=120)


class WineDesktop:
    def __init__(self, exe, driver, shots, display_base, prefix="wine-gui"):
        self.driver, self.shots = driver, shots
        os.makedirs(shots, exist_ok=True)
        self.display = ":%d" % (display_base + os.getpid() % 9)
        self.xvfb = subprocess.Popen(["Xvfb", self.display, "-screen", "0", "800x600x24"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        ENV["DISPLAY"] = self.display
        prepare_prefix(os.path.join(os.path.dirname(os.path.abspath(exe)), prefix))

    def start(self, *args, stdout=subprocess.DEVNULL, cwd=None):
        return subprocess.Popen(["wine"] + list(args), cwd=cwd, env=ENV, stdout=stdout, stderr=subprocess.DEVNULL)

    def drive(self, *args):
        return subprocess.run(["wine", self.driver] + list(args), env=ENV, capture_output=True, timeout=60)

    def answer(self, *args):
        """What the driver printed."""
        return self.drive(*args).stdout.decode("utf-8", "replace").strip()

    def count(self, window_class, title):
        return self.answer("count", window_class, title)

    def shot(self, name):
        time.sleep(1)
        subprocess.run(["import", "-display", self.display, "-window", "root", os.path.join(self.shots, name)],
                       capture_output=True)

    def stop(self):
        subprocess.run(["wineserver", "-k"], env=ENV, capture_output=True)
        self.xvfb.terminate()
