"""The notification icon on a Linux desktop: an item on the tray of the
session bus (StatusNotifierItem), its menu served over the bus as a panel
reads it, and Exit from that menu. Each test has a bus and a tray of its own.
The native desk alone: under Wine the icon is Windows'."""

import os
import sys
import time

import pytest

import bus
from conftest import ROOT, unavailable
from desks import BOTH_LINES, NativeDesk, answered_note, packets, wait_until
from test_scenarios import RIDE, ride, synchronised

ITEM = "org.kde.StatusNotifierItem"
TIP = "NotchKey!"

sys.path.insert(0, os.path.join(ROOT, "scripts"))
import make_icon  # noqa: E402


@pytest.fixture
def tray_desk(request, tmp_path):
    """A desk whose bus has a tray (param True) or none (False), or no bus (None)."""
    tray = getattr(request, "param", True)
    why = bus.missing()
    if why:
        unavailable(why, "a session bus")
    b = bus.Bus(str(tmp_path / "bus"), tray=tray) if tray is not None else None
    desk = NativeDesk(str(tmp_path / "desk"),
                      os.path.abspath(request.config.getoption("--native-binary")), b)
    yield desk
    desk.cleanup()
    if b:
        b.stop()


def argb(size):
    """The icon's pixels from res/, as the tray protocol has them."""
    rows = make_icon.read_pixels(os.path.join(ROOT, "res", "icon-%d.txt" % size), size)
    return b"".join(b"\0\0\0\0" if p is None else bytes((255, *make_icon.PALETTE[p]))
                    for row in rows for p in row)


def registrations(desk):
    service = "%s-%d-1" % (ITEM, desk.proc.pid)
    return [r for r in desk.bus.items_registered() if r["service"] == service]


def wait_registered(desk, count=1):
    """The item as a panel reaches it, once registered count times."""
    import dbus
    wait_until(lambda: len(registrations(desk)) >= count, 20, "item registered %d times" % count)
    connection = dbus.bus.BusConnection(desk.bus.address)
    return connection.get_object(registrations(desk)[-1]["service"], "/StatusNotifierItem")


def menu_of(desk, item):
    import dbus
    path = item.Get(ITEM, "Menu", dbus_interface="org.freedesktop.DBus.Properties")
    return dbus.bus.BusConnection(desk.bus.address).get_object(item.bus_name, path)


def labels(menu):
    _, (_, _, children) = menu.GetLayout(0, -1, [], dbus_interface="com.canonical.dbusmenu")
    return {str(props["label"]): int(id_) for id_, props, _ in children}


def test_the_icon_is_on_the_tray_and_its_exit_ends_the_ride(tray_desk):
    ride(tray_desk)
    item = wait_registered(tray_desk)
    props = item.GetAll(ITEM, dbus_interface="org.freedesktop.DBus.Properties")
    assert (props["Id"], props["Category"], props["Status"], props["Title"]) == \
        ("notchkey", "ApplicationStatus", "Active", TIP)
    assert props["ToolTip"][2] == TIP
    # Both sizes of the program's own icon, as the Windows build draws them.
    assert [(w, h, bytes(data)) for w, h, data in props["IconPixmap"]] == \
        [(size, size, argb(size)) for size in (32, 16)]
    menu = menu_of(tray_desk, item)
    exit_id = labels(menu)["Exit"]
    assert list(labels(menu)) == ["Exit"]
    menu.Event(exit_id, "clicked", "", 0, dbus_interface="com.canonical.dbusmenu")
    result = tray_desk.finish()
    assert result.events == RIDE + packets("82", "b9")
    assert result.exit_code == 0
    assert result.log == BOTH_LINES
    assert tray_desk.notes() == [answered_note(tray_desk.mascons[0])]


def test_a_tray_that_restarts_gets_the_icon_again(tray_desk):
    synchronised(tray_desk)
    wait_registered(tray_desk)
    tray_desk.bus.stop_tray()
    tray_desk.bus.start_tray()
    item = wait_registered(tray_desk, 2)
    menu = menu_of(tray_desk, item)
    menu.Event(labels(menu)["Exit"], "clicked", "", 0, dbus_interface="com.canonical.dbusmenu")
    result = tray_desk.finish()
    assert result.events == packets("52 87", "d2")
    assert result.exit_code == 0


NO_TRAY = {False: "no StatusNotifierWatcher on the session bus", None: "no session bus"}


@pytest.mark.parametrize("tray_desk", list(NO_TRAY), indirect=True,
                         ids=["no tray on the bus", "no bus"])
def test_without_a_tray_one_note_and_the_ride_as_before(tray_desk):
    ride(tray_desk)
    why = NO_TRAY[False if tray_desk.bus else None]
    note = "no tray to show the icon in (%s): stop notchkey with Ctrl+C, kill or its service" % why
    wait_until(lambda: note in tray_desk.notes(), 20, "the note of no tray")
    before = tray_desk.cpu_now()
    time.sleep(1)  # at rest: nothing to serve, nothing to wait for
    cpu_at_rest = tray_desk.cpu_now() - before
    if tray_desk.bus:
        # A panel that starts after notchkey (at login) gets its icon.
        tray_desk.bus.start_tray()
        wait_registered(tray_desk)
    tray_desk.close()
    result = tray_desk.finish()
    assert result.events == RIDE + packets("82", "b9")
    assert result.exit_code == 0
    assert sorted(tray_desk.notes()) == [answered_note(tray_desk.mascons[0]), note]
    assert cpu_at_rest < 0.3, "%.2f s of CPU at rest" % cpu_at_rest
