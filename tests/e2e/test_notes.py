"""What a native notchkey says beside its boxes, on standard error (which the
service's journal keeps): that the mascon answered, what it made of the
settings, and the system's cause of a failure. The Wine desk shows none of it
(a scenario of unknown settings, whose keys apply there too, is among the
scenarios of both desks)."""

import os
import shutil
import subprocess
import tempfile
import time

import pytest

from desks import NativeDesk, answered_note, box, wait_until
from test_scenarios import ride_mca55_to_the_end

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))

NOBODY = 65534


def test_without_settings_file_the_defaults_are_told(native):
    com2 = native.mascon(2)
    native.start()
    ride_mca55_to_the_end(native, com2)
    assert native.notes() == ["no notchkey.ini in %s: running on the defaults "
                              "(port=COM2, injector=driver)" % os.path.realpath(native.home),
                              answered_note(com2)]


def as_nobody(request):
    """What runs notchkey as another user, and the binary; skips where the
    tests cannot do that."""
    # Run as root, nothing is refused: the program runs as another user, who
    # may not open the pseudo-terminal (root's, mode 0620), as a user not yet
    # in group dialout may not open the adapter.
    setpriv = shutil.which("setpriv")
    if os.geteuid() != 0 or not setpriv:
        pytest.skip("needs root and setpriv to run notchkey as another user (%s)"
                    % ("no setpriv" if not setpriv else "not root"))
    binary = os.path.abspath(request.config.getoption("--native-binary"))
    prefix = [setpriv, "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups"]
    if subprocess.run(prefix + ["test", "-x", binary]).returncode != 0:
        pytest.skip("%s cannot be run by uid %d here" % (binary, NOBODY))
    return prefix, binary


@pytest.mark.parametrize("reconnect", ["no", "yes"])
def test_a_port_the_user_may_not_open_says_so(request, reconnect):
    prefix, binary = as_nobody(request)
    root = tempfile.mkdtemp(prefix="notchkey-nobody.")
    os.chmod(root, 0o755)
    desk = NativeDesk(root, binary)
    try:
        os.chmod(desk.screen, 0o666)  # the capture the keys would go to
        com2 = desk.mascon(2)
        desk.settings(logfile="", reconnect=reconnect)
        cause = ("%s -> %s: Permission denied: is your user in group dialout? "
                 "(log in again after adding it)" % (com2.link, com2.slave_path))
        started = time.monotonic()
        desk.start(prefix=prefix)
        if reconnect == "yes":
            # Waited for, and told why within the first try's time.
            told = "balloon Waiting for the mascon on COM2: " + cause
            wait_until(lambda: told in desk.events(), 20, "the balloon")
            assert time.monotonic() - started < 2
            desk.close()
        result = desk.finish()
        if reconnect == "yes":
            assert result.events == [told]
        else:
            assert result.events == box("COM2 is invalid COM port.")
            assert desk.notes()[-1] == cause
        assert result.exit_code == 0
        assert com2.wrote() == b""
    finally:
        desk.cleanup()
        shutil.rmtree(root, ignore_errors=True)


def test_without_settings_here_those_of_the_configuration_folder(native):
    # A notchkey.ini under $XDG_CONFIG_HOME/notchkey, none in the folder it
    # starts in; its log beside it.
    com5 = native.mascon(5)
    folder = os.path.join(native.root, "config", "notchkey")
    os.makedirs(folder)
    path = os.path.join(folder, "notchkey.ini")
    with open(path, "wb") as f:
        f.write(b"[config]\r\nport=COM5\r\n[debug]\r\nlogfile=notchkey.log\r\n")
    native.start()  # the desk's own configuration folder
    com5.wait_reset()
    assert native.wait_events(2) == ["press 52", "release 07"]
    native.close()
    assert native.finish().exit_code == 0
    assert native.notes()[0] == "settings from " + path
    with open(os.path.join(folder, "notchkey.log"), "rb") as f:
        assert f.read() == b"logging started.\r\nlogging ended.\r\n"


def test_port_named_by_its_devices_path(native):
    com2 = native.mascon(2)
    native.settings(port=com2.slave_path, logfile="")
    native.start()
    ride_mca55_to_the_end(native, com2)
    device = os.path.realpath(com2.slave_path)
    assert native.notes()[-1] == answered_note(com2).replace("COM2", com2.slave_path, 1)
    assert device in native.notes()[-1]


@pytest.mark.parametrize("option", ["--help", "--version"])
def test_help_and_version_answer_and_open_nothing(native, option):
    com2 = native.mascon(2)
    native.settings()
    native.start(args=[option])
    result = native.finish()
    assert result.exit_code == 0
    with open(os.path.join(ROOT, "VERSION")) as f:
        version = f.read().strip()
    said = [e[len("output "):] for e in result.events]
    assert len(said) == len(result.events), result.events  # no keys, no box
    if option == "--version":
        assert said == ["notchkey " + version]
    else:
        assert said[0] == "Usage: notchkey [--help | --version]"
        assert "notchkey.ini" in "\n".join(said) and "README.txt" in said[-1]
    assert result.log is None
    assert com2.wrote() == b""
