#!/usr/bin/python3
"""The Windows installer on the Wine desk, as a user meets it: installed
silently with the start at sign-in ticked; notchkey started from the
Start-menu shortcut reads the notchkey.ini of the shortcut's folder; an
upgrade closes it in order and keeps that file and the choice; started from
the sign-in shortcut, the silent uninstall closes it again and removes
program, shortcuts and Apps & features entry, keeping the settings.

  check_installer.py SETUP.EXE VERSION WINE    (WINE: wine, or wine64 for an
                                               installer built for x86-64)
"""

import getpass
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "e2e"))
from desks import WineStage, wait_until  # noqa: E402

KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\notchkey"
PROGRAM = {"notchkey.exe", "notchkey.ini", "README.txt", "uninstall.exe"}


def main(setup, version, loader):
    root = tempfile.mkdtemp(prefix="notchkey-installer.")
    stage = WineStage(root, None, None, None, loader)
    try:
        stage.start()
        # No lasting server: "wineserver -w" then waits for every process
        # the installers start, the uninstaller's copy of itself too.
        subprocess.run(["wineserver", "-k"], env=stage.env, timeout=30)
        stage.clear_ports()
        check(stage, setup, version)
    finally:
        stage.stop()
        shutil.rmtree(root, ignore_errors=True)


def check(stage, setup, version):
    env, user = stage.env, os.path.join(stage.prefix, "drive_c/users", getpass.getuser())
    folder = os.path.join(user, "AppData/Local/Programs/notchkey")
    windows_folder = "C:\\users\\%s\\AppData\\Local\\Programs\\notchkey" % getpass.getuser()
    programs = os.path.join(user, "AppData/Roaming/Microsoft/Windows/Start Menu/Programs")
    menu = [os.path.join(programs, "notchkey", n + ".lnk")
            for n in ("notchkey", "notchkey settings", "notchkey guide")]
    startup = os.path.join(programs, "StartUp/notchkey.lnk")
    ini, log = os.path.join(folder, "notchkey.ini"), os.path.join(folder, "notchkey.log")

    def wine(*args):
        done = subprocess.run([stage.loader, *args], env=env, capture_output=True, timeout=120)
        subprocess.run(["wineserver", "-w"], env=env, timeout=120)
        return done.returncode, done.stdout.decode(errors="replace")

    def entry():
        code, out = wine("reg", "query", KEY)
        return dict(line.split(None, 2)[::2] for line in out.splitlines()
                    if len(line.split(None, 2)) == 3) if code == 0 else None

    def start_from(shortcut, then):
        """notchkey started as a click on the shortcut starts it, then closed by `then`."""
        if os.path.exists(log):
            os.unlink(log)
        subprocess.run([stage.loader, "start", "/unix", shortcut], env=env, timeout=60, check=True)
        wait_until(lambda: os.path.exists(log) and open(log, "rb").read() == b"logging started.\r\n",
                   30, "notchkey started from %s writing the log its notchkey.ini names" % shortcut)
        code, _ = wine(*then)
        assert code == 0, "%s ended with %d" % (then, code)
        with open(log, "rb") as f:
            assert f.read() == b"logging started.\r\nlogging ended.\r\n", \
                "%s did not close notchkey in order" % " ".join(then)

    code, _ = wine(setup, "/S", "/STARTUP")
    assert code == 0, "the silent install ended with %d" % code
    assert set(os.listdir(folder)) == PROGRAM, os.listdir(folder)
    for shortcut in menu + [startup]:
        assert os.path.exists(shortcut), "no shortcut %s" % shortcut
    want = {"DisplayName": "notchkey", "DisplayVersion": version,
            "UninstallString": '"%s\\uninstall.exe"' % windows_folder,
            "QuietUninstallString": '"%s\\uninstall.exe" /S' % windows_folder}
    got = entry()
    assert got and all(got.get(k) == v for k, v in want.items()), "Apps & features entry: %s" % got
    print("ok - installer: silent install (/S /STARTUP) into %s, three Start-menu shortcuts, one for "
          "sign-in, an Apps & features entry with its uninstaller" % windows_folder)

    # The user's own settings: a log in the folder notchkey starts in.
    with open(ini, "rb") as f:
        settings = f.read()
    assert b"\r\nlogfile=\r\n" in settings, "the installed notchkey.ini sets a log file"
    settings = settings.replace(b"\r\nlogfile=\r\n", b"\r\nlogfile=notchkey.log\r\n")
    with open(ini, "wb") as f:
        f.write(settings)
    start_from(menu[0], [setup, "/S"])
    with open(ini, "rb") as f:
        assert f.read() == settings, "the upgrade changed the user's notchkey.ini"
    assert os.path.exists(startup), "the upgrade dropped the start at sign-in"
    print("ok - installer: notchkey started from the Start-menu shortcut read its folder's notchkey.ini; "
          "the upgrade closed it in order and kept notchkey.ini and the start at sign-in")

    start_from(startup, [os.path.join(folder, "uninstall.exe"), "/S"])
    assert set(os.listdir(folder)) == {"notchkey.ini", "notchkey.log"}, os.listdir(folder)
    left = [s for s in menu + [startup, os.path.dirname(menu[0])] if os.path.exists(s)]
    assert not left, "the uninstaller left %s" % left
    assert entry() is None, "the uninstaller left the Apps & features entry"
    print("ok - installer: notchkey started from the sign-in shortcut; the silent uninstall closed it in "
          "order and removed program, shortcuts and entry, keeping notchkey.ini (and the user's log)")


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    try:
        main(*sys.argv[1:])
    except AssertionError as failure:
        sys.exit("FAIL - installer: %s" % failure)
