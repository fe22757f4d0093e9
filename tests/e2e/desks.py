"""The two desks a scenario runs on.

A desk is what the program meets on a user's machine, stood in for: the
native desk runs build/notchkey with the capture driver, the Wine desk runs
notchkey.exe under Wine on Xvfb with its keys going to a stand-in window. Both
show the same things to a scenario: the events a user would see in order
(key presses and releases by scan code, and message boxes), the exit code,
the log file, and the program's CPU time.
"""

import os
import re
import shutil
import signal
import subprocess
import time

from mascon import Mascon

TITLE = "Lever to keys!"
BOTH_LINES = b"logging started.\r\nlogging ended.\r\n"
DESK_CHOICE = object()  # the injector the desk works with

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def packets(*lines):
    """Events of key packets written as the capture writes them ("02 d2"):
    each byte a press, or with bit 7 set a release; an extended key's code
    follows its prefix e0 ("e0 48" is "press e0 48")."""
    events = []
    for line in lines:
        prefix = ""
        words = line.split()
        for i, byte in enumerate(words):
            code = int(byte, 16)
            if code == 0xE0 and i + 1 < len(words):
                prefix = "e0 "
                continue
            events.append(("release " if code & 0x80 else "press ") + prefix
                          + "%02x" % (code & 0x7F))
            prefix = ""
    return events


def box(text):
    return ["box " + text]


# What the notification icon's balloons say: of the mascon's line, of what a
# wait for it waits on, and of the settings' lines passed over.
BALLOON = re.compile(r"The mascon (on \S+ is gone: waiting for it|is back on \S+)\."
                     r"|Waiting for the mascon( on \S+)?: .*|notchkey\.ini: .*", re.S)


def balloon(text):
    return ["balloon " + text]


def without_balloons(events):
    return [e for e in events if not e.startswith("balloon ")]


def answered_note(mascon, injector="driver"):
    """A native notchkey's note that the mascon on COM2 answered at neutral."""
    return ("mascon answered on COM2 (%s): lever at position 6 (MCA50); injector=%s, lever=hold"
            % (os.path.realpath(mascon.slave_path), injector))


def cpu_seconds(pid):
    """utime + stime of a running process, or None once it is gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rpartition(")")[2].split()
    except OSError:
        return None
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def process_gone(pid):
    """Whether a process has ended (its parent may not have reaped it yet)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rpartition(")")[2].split()[0] in ("Z", "X")
    except OSError:
        return True


def wait_until(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise AssertionError("%s: not within %ss" % (what, timeout))
        time.sleep(0.01)


class Result:
    def __init__(self, events, exit_code, log, cpu, ended=None):
        self.events = events      # what the user saw, in order
        self.exit_code = exit_code  # signed, None when it had to be killed
        self.log = log            # the log file's bytes, None without one
        self.cpu = cpu            # the program's CPU seconds at its end (or last seen)
        self.ended = ended        # when its process was seen gone (monotonic, to 20 ms)


class Desk:
    name = None
    has_driver = False  # whether injector=driver can be opened here

    def __init__(self, root):
        self.root = root
        self.home = os.path.join(root, "home")  # the program's current folder
        os.makedirs(self.home)
        self.mascons = []
        self.started = False

    # ---- staging
    def mascon(self, com=2, **options):
        m = Mascon(self.devices, com, **options)
        self.mascons.append(m)
        return m

    def settings(self, port="COM2", logfile="notchkey.log", injector=DESK_CHOICE, extra="",
                 encoding="latin-1", lever=None, profile=None, reconnect=None):
        """The settings file; encoding="utf-16" saves it as Notepad's "Unicode"
        does, with its byte-order mark."""
        lines = ["[config]", "port=" + port]
        if reconnect is not None:
            lines.append("reconnect=" + reconnect)
        if injector is DESK_CHOICE:
            injector = self.injector
        if injector is not None:
            lines.append("injector=" + injector)
        if lever is not None:
            lines.append("lever=" + lever)
        if profile is not None:
            lines.append("profile=" + profile)
        lines += ["[debug]", "logfile=" + logfile]
        self.write_settings(("\r\n".join(lines) + "\r\n" + extra).encode(encoding))

    def write_settings(self, data):
        with open(os.path.join(self.home, "notchkey.ini"), "wb") as f:
            f.write(data)

    def log(self, name="notchkey.log"):
        path = os.path.join(self.home, name)
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            return f.read()

    def wait_events(self, count, timeout=20):
        """The events once there are at least count of them."""
        return wait_until(lambda: (lambda e: e if len(e) >= count else None)(self.events()),
                          timeout, "%d events on the %s desk (have %r)"
                          % (count, self.name, self.events()))

    def second_home(self, port):
        """The folder of a second notchkey on this desk, with its settings."""
        home = os.path.join(self.root, "second")
        os.makedirs(home)
        injector = "injector=%s\r\n" % self.injector if self.injector else ""
        with open(os.path.join(home, "notchkey.ini"), "wb") as f:
            f.write(("[config]\r\nport=%s\r\n%s" % (port, injector)).encode())
        return home

    def wait_until_written(self, mascon, data, timeout=20):
        """Until the program has written data to the mascon's line."""
        wait_until(lambda: data in mascon.wrote(), timeout,
                   "%r on COM%d (have %r)" % (data, mascon.com, mascon.wrote()))

    def wait_box(self, timeout=20):
        return wait_until(lambda: [e for e in self.events() if e.startswith("box ")],
                          timeout, "a box on the %s desk (have %r)" % (self.name, self.events()))

    def screenshot(self, name):
        """A picture of the screen, where there is one."""
        return None

    def notes(self):
        """The program's notes beside its boxes, where the desk shows them."""
        return None

    def cleanup(self):
        for m in self.mascons:
            m.close()


def signal_pending(pid, number):
    """Whether a signal waits for the process to take it."""
    with open("/proc/%d/status" % pid) as f:
        pending = next(l for l in f if l.startswith("ShdPnd:")).split()[1]
    return bool(int(pending, 16) >> (number - 1) & 1)


NOTE = "notchkey: "  # a native notchkey's own lines, beside its boxes


def screen_lines(screen):
    with open(screen, "rb") as f:
        return f.read().decode("latin-1").splitlines()


def screen_items(screen):
    """A native notchkey's standard error and capture, as (kind, text): "keys"
    for a packet, "shown" for a box or balloon with the lines of its text
    that followed, "note", and "output" for anything else."""
    items = []
    for line in screen_lines(screen):
        if re.fullmatch(r"[0-9a-f]{2}( [0-9a-f]{2})*", line):
            items.append(("keys", line))
        elif line.startswith(TITLE + ": "):
            items.append(("shown", line[len(TITLE) + 2:]))
        elif line.startswith(NOTE):
            items.append(("note", line[len(NOTE):]))
        elif items and items[-1][0] == "shown":
            items[-1] = ("shown", items[-1][1] + "\n" + line)
        else:
            items.append(("output", line))
    return items


def screen_events(screen):
    """What a native notchkey showed: its key packets (through the capture
    driver), boxes and balloons (standard error), in order. Its notes are no
    events: the Wine desk has none to show."""
    events = []
    for kind, text in screen_items(screen):
        if kind == "keys":
            events += packets(text)
        elif kind == "shown":
            events += balloon(text) if BALLOON.fullmatch(text) else box(text)
        elif kind == "output":
            events.append("output " + text)
    return events


def screen_notes(screen):
    """A native notchkey's notes, in order, each without its "notchkey: "."""
    return [text for kind, text in screen_items(screen) if kind == "note"]


def screen_bodies(screen):
    """The notification body each box must have had: its text and, from the
    note right after it, the cause the system gave."""
    items = screen_items(screen)
    bodies = []
    for i, (kind, text) in enumerate(items):
        if kind == "shown":
            # A balloon has no cause; a note after it is the worker's own.
            if not BALLOON.fullmatch(text) and i + 1 < len(items) and items[i + 1][0] == "note":
                text += "\n" + items[i + 1][1]
            bodies.append(text)
    return bodies


class NativeDesk(Desk):
    """build/notchkey; the mascon linked in NOTCHKEY_DEVICES; standard error and
    the capture driver are one file, so boxes and keys keep their order. With
    a bus, the desktop's notifications: each box must also arrive there, once."""

    name = "native"
    has_driver = True
    # The balloons, on standard error and the bus, every one as soon as it
    # is asked for.
    balloons_in_full = True
    injector = None  # the default: the driver, here the capture

    def __init__(self, root, binary, bus=None):
        super().__init__(root)
        self.binary = binary
        self.bus = bus
        self.seen_before = 0  # the bus's notifications from before this start
        self.devices = os.path.join(root, "devices")
        os.makedirs(self.devices)
        self.screen = os.path.join(root, "screen.txt")
        open(self.screen, "wb").close()
        self.driver = os.path.join(self.devices, "keytap.vxd")
        os.symlink(self.screen, self.driver)
        self.proc = None
        self.rusage_cpu = None
        self.exit_code = None

    def remove_driver(self):
        os.unlink(self.driver)

    def port_as_found(self, mascon):
        """Closing a port puts back every terminal setting it had."""
        return mascon.settings_untouched()

    def start(self, args=(), prefix=()):
        """prefix: what runs the program, e.g. setpriv as another user."""
        # The test's bus or none, never the desktop's of whoever runs the tests.
        env = {k: v for k, v in os.environ.items()
               if k not in ("DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR")}
        env["NOTCHKEY_DEVICES"] = self.devices
        env["XDG_RUNTIME_DIR"] = self.root  # its named objects go with the desk
        # No settings but the desk's, whatever the user running the tests keeps.
        env["XDG_CONFIG_HOME"] = os.path.join(self.root, "config")
        if self.bus:
            env.update(self.bus.env)
            self.seen_before = len(self.bus.notifications())
        with open(self.screen, "ab") as screen:
            self.proc = subprocess.Popen([*prefix, self.binary, *args], cwd=self.home, env=env,
                                         stdin=subprocess.DEVNULL, stdout=screen, stderr=screen)
        self.started = True

    def events(self):
        return screen_events(self.screen)

    def balloons_readable(self):
        return True

    def notes(self):
        return screen_notes(self.screen)

    def run_second(self, port="COM2", timeout=20):
        """Another notchkey, in a folder of its own, on this desk's devices and
        driver, with no desktop to notify: what it showed and how it ended."""
        home = self.second_home(port)
        screen = os.path.join(self.root, "second.txt")
        env = {k: v for k, v in os.environ.items()
               if k not in ("DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR")}
        env["NOTCHKEY_DEVICES"] = self.devices
        env["XDG_RUNTIME_DIR"] = self.root
        env["XDG_CONFIG_HOME"] = os.path.join(self.root, "config")
        with open(screen, "wb") as out:
            code = subprocess.run([self.binary], cwd=home, env=env, stdin=subprocess.DEVNULL,
                                  stdout=out, stderr=out, timeout=timeout).returncode
        return Result(screen_events(screen), code - 256 if code > 127 else code, None, None)

    def restart_taskbar(self):
        """The notification area restarts and loses the icon, as when
        Explorer does; the native layer takes it as SIGRTMIN. Returns once
        the program has taken it, so a click after it comes after it."""
        os.kill(self.proc.pid, signal.SIGRTMIN)
        wait_until(lambda: not signal_pending(self.proc.pid, signal.SIGRTMIN), 20,
                   "SIGRTMIN taken")

    # The notification icon's right-click, as the native layer takes it.
    def menu_exit(self):
        """Returns when Exit was chosen, on the monotonic clock."""
        os.kill(self.proc.pid, signal.SIGUSR2)
        return time.monotonic()

    def menu_dismiss(self):
        os.kill(self.proc.pid, signal.SIGUSR1)
        return "menu dismissed"

    def close(self):
        os.kill(self.proc.pid, signal.SIGTERM)

    def cpu_now(self):
        return cpu_seconds(self.proc.pid)

    def finish(self, timeout=20):
        deadline = time.monotonic() + timeout
        ended = None
        while self.exit_code is None and time.monotonic() < deadline:
            pid, status, usage = os.wait4(self.proc.pid, os.WNOHANG)
            if pid:
                ended = time.monotonic()
                self.proc.returncode = os.waitstatus_to_exitcode(status)
                self.rusage_cpu = usage.ru_utime + usage.ru_stime
                code = self.proc.returncode
                self.exit_code = code - 256 if code > 127 else code
                break
            time.sleep(0.01)
        result = Result(self.events(), self.exit_code, self.log(), self.rusage_cpu, ended)
        if self.bus and self.exit_code is not None:
            # A box returns once the server has it, so all are in by the end.
            shown = [(n["summary"], n["body"]) for n in self.notifications()]
            # The bus carries UTF-8 alone: what is not arrives replaced.
            boxes = [(TITLE, body.encode("latin-1").decode("utf-8", "replace"))
                     for body in screen_bodies(self.screen)]
            assert shown == boxes, "notifications %r for the boxes %r" % (shown, boxes)
        return result

    def notifications(self):
        """The desktop notifications since the program started."""
        return self.bus.notifications()[self.seen_before:]

    def cleanup(self):
        if self.proc and self.proc.returncode is None:
            self.proc.kill()
            self.proc.wait()
        super().cleanup()


def read_lines(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode("latin-1").splitlines()
    except FileNotFoundError:
        return []


def unescape(line):
    """A probe's line with its line breaks and backslashes as they were."""
    return re.sub(r"\\(.)", lambda m: "\n" if m.group(1) == "n" else m.group(1), line)


def winpath(path):
    return "Z:" + path.replace("/", "\\")


def find_exe_pid(prefix, name=b"notchkey.exe"):
    """The process of a notchkey.exe (or name) running in this Wine prefix, or None."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                argv = f.read().split(b"\0")
            with open("/proc/%s/environ" % entry, "rb") as f:
                environ = f.read().split(b"\0")
        except OSError:
            continue
        if (argv and argv[0].lower().endswith(name)
                and b"WINEPREFIX=" + prefix.encode() in environ):
            return int(entry)
    return None


class WineStage:
    """Xvfb and a Wine prefix, made once for every scenario of the Wine desk."""

    def __init__(self, root, exe, probe, shots, loader="wine"):
        self.root = root
        self.loader = loader  # the wine that runs exe: wine, or wine64 for a 64-bit one
        self.exe = exe
        self.probe = probe
        self.shots = shots
        self.prefix = os.path.join(root, "prefix")
        self.xvfb = None
        self.env = None
        self.count = 0

    def start(self):
        display_file = os.path.join(self.root, "display")
        with open(display_file, "w") as display, open(os.path.join(self.root, "xvfb.log"), "w") as log:
            self.xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(display.fileno()), "-screen",
                                          "0", "1024x768x24", "-nolisten", "tcp"],
                                         pass_fds=[display.fileno()], stdout=log, stderr=log)
        number = wait_until(lambda: open(display_file).read().strip(), 10, "Xvfb's display")
        self.env = dict(os.environ, DISPLAY=":" + number, WINEPREFIX=self.prefix, WINEDEBUG="-all",
                        TMPDIR=self.root,
                        # No installer prompts for .NET or HTML support, no menu entries.
                        WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d")
        if self.loader != "wine":
            # What Wine starts its own processes with, when it is not wine itself.
            self.env["WINELOADER"] = shutil.which(self.loader) or self.loader
        boot = subprocess.run([self.loader, "wineboot", "-i"], env=self.env, capture_output=True, timeout=180)
        if boot.returncode != 0:
            raise RuntimeError("wineboot failed: %s" % boot.stderr.decode(errors="replace")[-300:])
        subprocess.run(["wineserver", "-w"], env=self.env, timeout=60)
        # One server for every scenario; a pty it opened becomes its terminal,
        # and that terminal's hang-up makes it dump its objects, so its output
        # goes to a file.
        with open(os.path.join(self.root, "wineserver.log"), "a") as log:
            subprocess.run(["wineserver", "-p"], env=self.env, stdout=log, stderr=log)
        # This Wine looks for its own fonts in the prefix only; without Marlett
        # the caption buttons of a screenshot come out as letters.
        fonts = "/usr/share/wine/fonts"
        if os.path.isdir(fonts):
            target = os.path.join(self.prefix, "drive_c/windows/Fonts")
            for name in os.listdir(fonts):
                if not os.path.exists(os.path.join(target, name)):
                    shutil.copy(os.path.join(fonts, name), target)
        self.devices = os.path.join(self.prefix, "dosdevices")

    def clear_ports(self):
        """No serial port but those a scenario makes: Wine links the machine's
        own at boot."""
        for name in os.listdir(self.devices):
            if re.fullmatch(r"com\d+", name):
                os.unlink(os.path.join(self.devices, name))

    def kill_all(self):
        subprocess.run(["wineserver", "-k"], env=self.env, timeout=30)
        with open(os.path.join(self.root, "wineserver.log"), "a") as log:
            subprocess.run(["wineserver", "-p"], env=self.env, stdout=log, stderr=log)

    def stop(self):
        if self.env:
            subprocess.run(["wineserver", "-k"], env=self.env, timeout=30)
        if self.xvfb:
            self.xvfb.terminate()
            self.xvfb.wait(10)


class ProbeWindow:
    """What a probe.exe's window shows: its out file's lines, the keys it
    got, and the commands it takes."""

    name = None
    out = None
    commands = None

    def lines(self):
        return read_lines(self.out)

    def events(self):
        return [unescape(line) for line in self.lines()
                if line.startswith(("press ", "release ", "box ", "balloon "))]

    def balloons_readable(self):
        """False where the probe found the notification area of another
        width than its own, whose balloons it cannot read."""
        return "balloons unreadable" not in self.lines()

    def command(self, text):
        with open(self.commands, "a") as f:
            f.write(text + "\n")

    def front(self):
        """The probe's window brought to the foreground, as a user's click
        does; returns once it is there."""
        had = self.lines().count("front")
        self.command("front")
        wait_until(lambda: self.lines().count("front") > had or "front refused" in self.lines(),
                   20, "the %s window in front" % self.name)
        assert "front refused" not in self.lines()

    def virtual_keys(self):
        """(event, virtual key, Num Lock on) for each key the window got."""
        lines, keys = self.lines(), []
        for line, after in zip(lines, lines[1:]):
            if line.startswith(("press ", "release ")) and after.startswith("wparam "):
                words = after.split()
                keys.append((line, int(words[1], 16), words[3] == "1"))
        return keys


class WineDesk(Desk, ProbeWindow):
    """notchkey.exe under Wine on Xvfb, started by probe.exe, whose window is
    the simulator in the foreground; the mascon linked in dosdevices."""

    name = "wine"
    # Read from the notification area's balloons, which it shows one at a time.
    balloons_in_full = False
    injector = "sendinput"  # the one way keys go in on current Windows

    def __init__(self, root, stage):
        super().__init__(root)
        stage.count += 1
        self.stage = stage
        self.number = stage.count
        self.devices = stage.devices
        stage.clear_ports()
        self.out = os.path.join(root, "probe.out")
        self.commands = os.path.join(root, "commands")
        open(self.commands, "w").close()
        self.proc = None
        # Boxes stay up this long, so what happens meanwhile shows.
        self.box_delay_ms = 700
        self.pid = None      # notchkey.exe's own process, once seen
        self.last_cpu = None
        self.extra_programs = []  # stand-ins for other simulators

    def remove_driver(self):
        pass  # current Windows has none

    def port_as_found(self, mascon):
        """A Windows port is put back by its settings block, which says
        nothing of the rest of the terminal's settings."""
        return mascon.line_as_found()

    def start(self, args=()):
        command = [self.stage.loader, "explorer", "/desktop=nk-%d,1024x768" % self.number,
                   winpath(self.stage.probe), winpath(self.stage.exe), winpath(self.home),
                   winpath(self.out), "--commands", winpath(self.commands),
                   "--hook-keys", winpath(os.path.join(self.root, "hook.out")),
                   "--box-delay", str(self.box_delay_ms), "--timeout", "45"]
        if args:
            command += ["--args", " ".join(args)]
        with open(os.path.join(self.root, "wine.log"), "wb") as log:
            self.proc = subprocess.Popen(command, env=self.stage.env, stdin=subprocess.DEVNULL,
                                         stdout=log, stderr=log)
        self.started = True

    def run_second(self, port="COM2", timeout=60):
        """Another notchkey.exe, in a folder of its own, on this desk's ports,
        started by a probe that shows no window and leaves the foreground to
        this desk's: what it showed and how it ended."""
        home = self.second_home(port)
        out = os.path.join(self.root, "second.out")
        command = [self.stage.loader, winpath(self.stage.probe), winpath(self.stage.exe),
                   winpath(home), winpath(out),
                   "--window", "hidden", "--box-delay", "300", "--timeout", "45"]
        with open(os.path.join(self.root, "wine-second.log"), "wb") as log:
            subprocess.run(command, env=self.stage.env, stdin=subprocess.DEVNULL, stdout=log,
                           stderr=log, timeout=timeout)
        lines = read_lines(out)
        end = next((l for l in lines if l.startswith("exit ")), None)
        events = [unescape(l) for l in lines if l.startswith(("press ", "release ", "box "))]
        return Result(events, int(end.split()[1]) if end else None, None, None)

    def menu_exit(self):
        """Returns, once the probe has chosen Exit in the menu, when it did
        (to within 10 ms) on the monotonic clock."""
        wait_until(self.find_pid, 20, "notchkey.exe's process")  # for finish() to see it go
        self.command("menu exit")
        wait_until(lambda: "menu exit" in self.lines(), 20, "Exit chosen")
        return time.monotonic()

    def second_program(self, file_name):
        """Another simulator on this desk: the probe copied under file_name,
        started with nothing of its own, its window in front."""
        return SecondProgram(self, file_name)

    def restart_taskbar(self):
        """notchkey's icon taken out of the notification area and
        "TaskbarCreated" broadcast, as when Explorer restarts; returns once
        the icon is there again."""
        self.command("taskbar restart")
        found = wait_until(lambda: next((l for l in self.lines() if l.startswith("icon ")), None),
                           20, "the icon after the taskbar's restart")
        assert found == "icon back", found

    def menu_dismiss(self):
        """What became of the menu: "menu dismissed" once it has closed and the
        stand-in window has the foreground again."""
        self.command("menu dismiss")
        return wait_until(lambda: next((l for l in self.lines() if l.startswith("menu ")), None),
                          20, "the menu dismissed")

    def close(self):
        self.command("close")

    def find_pid(self):
        if not self.pid:
            self.pid = find_exe_pid(self.stage.prefix)
        return self.pid

    def cpu_now(self):
        pid = wait_until(self.find_pid, 20, "notchkey.exe's process")
        return cpu_seconds(pid)

    def finish(self, timeout=30):
        deadline = time.monotonic() + timeout
        end = ended = None
        while time.monotonic() < deadline:
            pid = self.find_pid()
            if pid:
                if ended is None and process_gone(pid):
                    ended = time.monotonic()
                cpu = cpu_seconds(pid)
                if cpu is not None:
                    self.last_cpu = cpu
            end = next((l for l in self.lines() if l.startswith("exit ") or l == "timeout"), None)
            if end:
                break
            time.sleep(0.02)
        try:
            self.proc.wait(15)
        except subprocess.TimeoutExpired:
            pass
        exit_code = int(end.split()[1]) if end and end.startswith("exit ") else None
        # A window that reads wParam, as most games do, must see every key too.
        unnamed = [event for event, virtual_key, _ in self.virtual_keys() if not virtual_key]
        assert not unnamed, "keys that came with virtual key 0: %r" % unnamed
        return Result(self.events(), exit_code, self.log(), self.last_cpu, ended)

    def screenshot(self, name):
        os.makedirs(self.stage.shots, exist_ok=True)
        path = os.path.join(self.stage.shots, name)
        # No time stamps in the file: the same picture gives the same bytes.
        subprocess.run(["import", "-window", "root", "-strip", "-define",
                        "png:exclude-chunks=date,time", "png:" + path],
                       env=self.stage.env, check=True, capture_output=True, timeout=30)
        return path

    def cleanup(self):
        for program in self.extra_programs:
            if program.proc.poll() is None:
                program.proc.kill()
        if self.proc and self.proc.poll() is None:
            self.stage.kill_all()
            self.proc.wait(30)
        super().cleanup()
        self.stage.clear_ports()


class SecondProgram(ProbeWindow):
    """A second stand-in simulator on a Wine desk's desktop, a program of
    another file name: the keys its window gets."""

    name = "second program"

    def __init__(self, desk, file_name):
        self.stage = desk.stage
        root = os.path.join(desk.root, file_name)
        os.makedirs(root)
        program = os.path.join(root, file_name)
        shutil.copy(self.stage.probe, program)
        self.out = os.path.join(root, "probe.out")
        self.commands = os.path.join(root, "commands")
        open(self.commands, "w").close()
        command = [self.stage.loader, "explorer", "/desktop=nk-%d,1024x768" % desk.number,
                   winpath(program), "-", winpath(root), winpath(self.out),
                   "--commands", winpath(self.commands), "--timeout", "45"]
        with open(os.path.join(root, "wine.log"), "wb") as log:
            self.proc = subprocess.Popen(command, env=self.stage.env, stdin=subprocess.DEVNULL,
                                         stdout=log, stderr=log)
        desk.extra_programs.append(self)
        self.front()

    def close(self):
        self.command("close")
        try:
            self.proc.wait(30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
