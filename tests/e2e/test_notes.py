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
