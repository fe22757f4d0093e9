"""Message boxes on the desktop: the native program also sends each box as a
desktop notification over the session bus, and never waits more than a
second for one. The native desk alone: under Wine a box is a window."""

import os
import time

import pytest

import bus
from desks import BOTH_LINES, TITLE, NativeDesk, box

FAILURES = {
    # A failed start, before the worker exists, and the worker's own failure,
    # each with the cause the system gave for the device entry it missed.
    "start": ("can't open keytap.vxd.", -1, "keytap.vxd: No such file or directory"),
    "worker": ("COM9 is invalid COM port.", 0, "com9: No such file or directory"),
}


def fail(desk, where):
    desk.mascon(2)
    if where == "start":
        desk.remove_driver()
        desk.settings(injector="driver")
    else:
        desk.settings(port="COM9")
    desk.start()
    return desk.finish()


@pytest.mark.parametrize("where", list(FAILURES))
def test_each_box_is_one_notification_with_its_text(native, where):
    if not native.bus:
        pytest.skip("no session bus: " + (bus.missing() or "it did not start"))
    text, exit_code, cause = FAILURES[where]
    result = fail(native, where)
    assert result.events == box(text)
    assert result.exit_code == exit_code
    cause = os.path.join(native.devices, cause)
    assert native.notes()[-1] == cause
    assert native.notifications() == [{"app": "notchkey", "icon": "dialog-warning",
                                       "summary": TITLE, "body": text + "\n" + cause,
                                       "actions": [], "timeout": -1}]


@pytest.fixture
def silent_bus(tmp_path):
    why = bus.missing()
    if why:
        pytest.skip("no session bus: " + why)
    b = bus.Bus(str(tmp_path / "silent-bus"), silent=True)
    yield b
    b.stop()


@pytest.mark.parametrize("where", list(FAILURES))
def test_a_server_that_never_answers_delays_the_end_a_second_at_most(request, tmp_path,
                                                                     silent_bus, where):
    binary = os.path.abspath(request.config.getoption("--native-binary"))
    elapsed = {}
    for name, b in (("no bus", None), ("silent server", silent_bus)):
        desk = NativeDesk(str(tmp_path / name), binary, b)
        try:
            began = time.monotonic()
            result = fail(desk, where)
            elapsed[name] = time.monotonic() - began
        finally:
            desk.cleanup()
        assert result.events == box(FAILURES[where][0])
        assert result.exit_code == FAILURES[where][1]
    assert len(silent_bus.notifications()) == 1, "the server never had the notification"
    # The wait is the program's own second, not the bus's default 25 s; a
    # little is left for a loaded machine.
    assert elapsed["silent server"] < elapsed["no bus"] + 1.5, elapsed


def test_without_a_bus_nothing_changes(request, tmp_path):
    desk = NativeDesk(str(tmp_path), os.path.abspath(request.config.getoption("--native-binary")))
    try:
        result = fail(desk, "worker")
    finally:
        desk.cleanup()
    assert result.events == box("COM9 is invalid COM port.")
    assert result.exit_code == 0
    assert result.log == BOTH_LINES


def test_text_that_is_no_utf8_arrives_with_its_bad_bytes_replaced(native):
    if not native.bus:
        pytest.skip("no session bus: " + (bus.missing() or "it did not start"))
    native.settings(port="COM\xe9")  # a Latin-1 editor's byte
    native.start()
    result = native.finish()
    assert result.events == box("COM\xe9 is invalid COM port.")
    assert [n["body"] for n in native.notifications()] == ["COM\ufffd is invalid COM port."]
