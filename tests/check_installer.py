#!/usr/bin/python3
"""The Windows installer on the Wine desk, as a user meets it: a silent
install with the start at sign-in; notchkey started from the Start-menu
shortcut reads the notchkey.ini of the shortcut's folder; an upgrade closes it
in order and keeps that file and the choice; started from the sign-in
shortcut, the silent uninstall closes it again and removes program, shortcuts
and Apps & features entry, keeping the settings.

  check_installer.py SETUP.EXE VERSION WINE   (wine64 for an installer for x86-64)
"""

import getpass
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "e2e"))
from desks import WineStage, wait_until  # noqa: E402


def check(stage, setup, version):
    user = os.path.join(stage.prefix, "drive_c/users", getpass.getuser())
    folder = os.path.join(user, "AppData/Local/Programs/notchkey")
    uninstaller = "C:\\users\\%s\\AppData\\Local\\Programs\\notchkey\\uninstall.exe" % getpass.getuser()
    programs = os.path.join(user, "AppData/Roaming/Microsoft/Windows/Start Menu/Programs")
    menu = [os.path.join(programs, "notchkey", n + ".lnk") for n in ("notchkey", "notchkey settings",
                                                                    "notchkey guide")]
    startup = os.path.join(programs, "StartUp/notchkey.lnk")
    ini, log = os.path.join(folder, "notchkey.ini"), os.path.join(folder, "notchkey.log")

    def wine(*args):
        done = subprocess.run([stage.loader, *args], env=stage.env, capture_output=True, timeout=120)
        subprocess.run(["wineserver", "-w"], env=stage.env, timeout=120)
        return done.returncode, done.stdout.decode(errors="replace")

    def entry():
        code, out = wine("reg", "query", r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\notchkey")
        return code == 0 and dict(f[::2] for f in (l.split(None, 2) for l in out.splitlines()) if len(f) == 3)

    def start_from(shortcut, then):
        """notchkey started as a click on the shortcut does, then closed by `then`."""
        if os.path.exists(log):
            os.unlink(log)
        subprocess.run([stage.loader, "start", "/unix", shortcut], env=stage.env, timeout=60, check=True)
        wait_until(lambda: os.path.exists(log) and open(log, "rb").read() == b"logging started.\r\n",
                   30, "notchkey started from %s writing the log its folder's notchkey.ini names" % shortcut)
        assert wine(*then)[0] == 0, "%s failed" % " ".join(then)
        assert open(log, "rb").read() == b"logging started.\r\nlogging ended.\r\n", \
            "%s did not close notchkey in order" % " ".join(then)

    assert wine(setup, "/S", "/STARTUP")[0] == 0, "the silent install failed"
    assert sorted(os.listdir(folder)) == ["README.txt", "notchkey.exe", "notchkey.ini", "uninstall.exe"], \
        os.listdir(folder)
    assert all(os.path.exists(s) for s in menu + [startup]), "shortcuts missing"
    want = {"DisplayName": "notchkey", "DisplayVersion": version, "UninstallString": '"%s"' % uninstaller,
            "QuietUninstallString": '"%s" /S' % uninstaller}
    got = entry()
    assert got and all(got.get(k) == v for k, v in want.items()), "Apps & features entry: %s" % got
    print("ok - installer: silent install (/S /STARTUP) into the user's programs folder, three Start-menu "
          "shortcuts and one for sign-in, an Apps & features entry with its uninstaller")

    # The user's own settings: a log in the folder notchkey starts in.
    settings = open(ini, "rb").read().replace(b"\r\nlogfile=\r\n", b"\r\nlogfile=notchkey.log\r\n")
    assert b"logfile=notchkey.log" in settings, "the installed notchkey.ini has no empty logfile line"
    open(ini, "wb").write(settings)
    start_from(menu[0], [setup, "/S"])
    assert open(ini, "rb").read() == settings, "the upgrade changed the user's notchkey.ini"
    assert os.path.exists(startup), "the upgrade dropped the start at sign-in"
    print("ok - installer: notchkey started from the Start-menu shortcut read its folder's notchkey.ini; "
          "the upgrade closed it in order and kept notchkey.ini and the start at sign-in")

    start_from(startup, [os.path.join(folder, "uninstall.exe"), "/S"])
    assert sorted(os.listdir(folder)) == ["notchkey.ini", "notchkey.log"], os.listdir(folder)
    left = [s for s in menu + [startup, os.path.dirname(menu[0])] if os.path.exists(s)]
    assert not left and not entry(), "the uninstaller left %s, entry %s" % (left, entry())
    print("ok - installer: notchkey started from the sign-in shortcut; the silent uninstall closed it in "
          "order and removed program, shortcuts and entry, keeping notchkey.ini (and the user's log)")


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    root = tempfile.mkdtemp(prefix="notchkey-installer.")
    stage = WineStage(root, None, None, None, sys.argv[3])
    try:
        stage.start()
        # No lasting server: "wineserver -w" then waits for every process the
        # installers start, the uninstaller's copy of itself too.
        subprocess.run(["wineserver", "-k"], env=stage.env, timeout=30)
        stage.clear_ports()
        check(stage, *sys.argv[1:3])
    except AssertionError as failure:
        sys.exit("FAIL - installer: %s" % failure)
    finally:
        stage.stop()
        shutil.rmtree(root, ignore_errors=True)
