"""notchkey end to end, as a user meets it, each scenario on both desks.

A scenario states the settings, what the mascon answers and sends and when
its line goes away, and what must be seen: the keys in order (a packet's
bytes one by one), the boxes and where they came among the keys, the exit
code, the log, and what was left untouched.
"""

import fcntl
import os
import re
import struct
import subprocess
import termios
import threading
import time
import tty

import pytest

from desks import (BOTH_LINES, answered_note, balloon, box, packets, wait_until,
                   without_balloons)

STARTED = b"logging started.\r\n"
# Synchronised on MCA50 (keypad 0 held, position 0's key let go), then MCA55,
# K pressed and a G-state.
RIDE = packets("52 87", "02 d2", "39")


def synchronised(desk, com=2, sync="52 87", answer_delay=0, preset=False, **settings):
    """Started and synchronised on MCA50: keypad 0 held (or the key the
    settings give it, in sync); with preset, on a port another program left
    with odd settings (Mascon.preset)."""
    mascon = desk.mascon(com, answer_delay=answer_delay)
    if preset:
        mascon.preset()
    desk.settings(**settings)
    desk.start()
    mascon.wait_reset()
    assert desk.wait_events(2) == packets(sync)
    return mascon


def ride(desk, **settings):
    """Started, synchronised, and two keys held: 1 by the lever, Space by K."""
    com2 = synchronised(desk, **settings)
    com2.send("MCA55", "MCK99", "MCG50")
    assert desk.wait_events(len(RIDE)) == RIDE
    return com2


def ride_mca55_to_the_end(desk, com2):
    """Started: MCA55, then closed; its key held and let go, exit 0."""
    com2.wait_reset()
    com2.send("MCA55")
    assert wait_keys(desk, 4) == packets("52 87", "02 d2")
    desk.close()
    result = desk.finish()
    assert without_balloons(result.events) == packets("52 87", "02 d2", "82")
    assert result.exit_code == 0
    return result


def expect_refused_at_start(result, text, port):
    """A failed start: its box, -1, and the port never touched. A result's
    events, or the events alone; a box's first line where text is one line,
    the setting's own, without what the setting takes."""
    events, code = (result, -1) if isinstance(result, list) else (result.events, result.exit_code)
    # A line passed over is told beside the refusal; the settings' table shows it.
    events = without_balloons(events)
    if "\n" not in text:
        events = [e.split("\n")[0] for e in events]
    assert events == box(text)
    assert code == -1
    assert port.wrote() == b""
    assert port.settings_untouched()


def refused_at_start(desk, text, **settings):
    """Started with these settings, a mascon on COM2, and refused."""
    com2 = desk.mascon(2)
    desk.settings(**settings)
    desk.start()
    result = desk.finish()
    expect_refused_at_start(result, text, com2)
    return result


# ---- rides and their ends

def test_ride_ended_by_exit_from_the_menu(desk):
    com2 = synchronised(desk, injector="sendinput")
    com2.send("MCA55", "MCK99", "MCK00", "MCG50", "MCB60", "MCB20", "MCX99", "MCX00",
              "MCY99", "MCY00", "MCZ99", "MCZ00")
    keys = packets("52 87", "02 d2", "39", "b9", "07 82", "49 87", "39", "b9", "1c", "9c",
                   "01", "81")
    # Exit only once every key is through, or it could overtake them.
    assert desk.wait_events(len(keys)) == keys
    desk.menu_exit()
    result = desk.finish()
    # The key the lever still holds comes up, and reaches the simulator: the
    # menu handed the foreground back.
    assert result.events == keys + packets("c9")
    assert result.exit_code == 0
    assert result.log == BOTH_LINES


def test_ride_ended_by_closing_releases_held_keys(desk):
    ride(desk)
    desk.close()
    result = desk.finish()
    assert result.events == RIDE + packets("82", "b9")
    assert result.exit_code == 0
    assert result.log == BOTH_LINES


def test_command_line_changes_nothing(desk):
    com2 = desk.mascon(2)
    desk.settings()
    desk.start(args=["COM9", "--log", "/nonexistent/x", "-h"])
    assert ride_mca55_to_the_end(desk, com2).log == BOTH_LINES


def test_exit_right_after_start(desk):
    synchronised(desk)
    # The worker waits in its read for a message that never comes.
    desk.menu_exit()
    result = desk.finish()
    assert result.events == packets("52 87", "d2")
    assert result.exit_code == 0
    assert result.log == BOTH_LINES


def test_icon_comes_back_when_the_taskbar_restarts(desk):
    synchronised(desk)
    desk.restart_taskbar()
    # Exit from the icon's menu still ends the program in order.
    desk.menu_exit()
    result = desk.finish()
    assert result.events == packets("52 87", "d2")
    assert result.exit_code == 0
    assert result.log == BOTH_LINES


@pytest.mark.parametrize("end", ["menu_exit", "close"])
def test_exit_while_the_key_reader_reads_nothing(native, end):
    """The driver's reader opens its FIFO and never reads (a key monitor
    paused): keys that cannot be written are given up, whole, and Exit or
    SIGTERM still ends the program. Native alone: the Wine desk has no driver
    FIFO; its keys go through SendInput, which never waits for ever on
    whoever reads them."""
    native.remove_driver()
    os.mkfifo(native.driver)
    reader = os.open(native.driver, os.O_RDONLY | os.O_NONBLOCK)
    try:
        com2 = native.mascon(2)
        native.settings()
        native.start()
        com2.wait_reset()
        sender = threading.Thread(target=com2.send, args=["MCA55", "MCA65"] * 6000, daemon=True)
        sender.start()
        sender.join(60)
        assert not sender.is_alive(), "the program stopped taking messages"
        # Full: every page of the FIFO holds as many six-byte lines as fit.
        full = fcntl.fcntl(reader, fcntl.F_GETPIPE_SZ) // 4096 * (4096 - 4096 % 6)
        wait_until(lambda: queued(reader) == full, 20, "the reader's FIFO full")
        getattr(native, end)()
        result = native.finish(timeout=10)
        assert result.exit_code == 0, "still running after Exit"
        assert result.log == BOTH_LINES
        taken = b""
        while chunk := os.read(reader, 65536):
            taken += chunk
        assert taken.endswith(b"\n")
        assert all(re.fullmatch(rb"[0-9a-f]{2}( [0-9a-f]{2})?", line)
                   for line in taken.splitlines()), "half a packet"
    finally:
        os.close(reader)


def queued(fd):
    return struct.unpack("i", fcntl.ioctl(fd, termios.FIONREAD, b"\0" * 4))[0]


# What a window's wParam carries for each key, written out here from
# Windows's published scan-code tables: the character keys as the US layout
# has them, the keypad by Num Lock (off, on), Shift, Ctrl and Alt as a
# window's messages name them whichever side, 0x45 as Pause (Num Lock is the
# extended 0x45), and the Japanese and Brazilian keys as their own layouts
# have them.
VIRTUAL_KEYS = {
    "01": 0x1B, "0c": 0xBD, "0d": 0xBB, "0e": 0x08, "0f": 0x09, "1a": 0xDB, "1b": 0xDD,
    "1c": 0x0D, "1d": 0x11, "27": 0xBA, "28": 0xDE, "29": 0xC0, "2a": 0x10, "2b": 0xDC,
    "33": 0xBC, "34": 0xBE, "35": 0xBF, "36": 0x10, "37": 0x6A, "38": 0x12, "39": 0x20,
    "3a": 0x14, "45": 0x13, "46": 0x91,
    "47": (0x24, 0x67), "48": (0x26, 0x68), "49": (0x21, 0x69), "4a": 0x6D,
    "4b": (0x25, 0x64), "4c": (0x0C, 0x65), "4d": (0x27, 0x66), "4e": 0x6B,
    "4f": (0x23, 0x61), "50": (0x28, 0x62), "51": (0x22, 0x63), "52": (0x2D, 0x60),
    "53": (0x2E, 0x6E), "56": 0xE2, "57": 0x7A, "58": 0x7B, "59": 0x0C, "5c": 0xEA,
    "70": 0xF2, "73": 0xC1, "76": 0x87, "79": 0x1C, "7b": 0x1D, "7d": 0xDC, "7e": 0xC2,
    "e0 1c": 0x0D, "e0 1d": 0x11, "e0 35": 0x6F, "e0 38": 0x12, "e0 47": 0x24,
    "e0 48": 0x26, "e0 49": 0x21, "e0 4b": 0x25, "e0 4d": 0x27, "e0 4f": 0x23,
    "e0 50": 0x28, "e0 51": 0x22, "e0 52": 0x2D, "e0 53": 0x2E, "e0 5b": 0x5B,
    "e0 5c": 0x5C, "e0 5d": 0x5D,
}
for _codes, _keys in ((range(0x02, 0x0C), b"1234567890"), (range(0x10, 0x1A), b"QWERTYUIOP"),
                      (range(0x1E, 0x27), b"ASDFGHJKL"), (range(0x2C, 0x33), b"ZXCVBNM"),
                      (range(0x3B, 0x45), range(0x70, 0x7A)),   # F1 to F10
                      (range(0x64, 0x6F), range(0x7C, 0x87))):  # F13 to F23
    VIRTUAL_KEYS.update(("%02x" % code, key) for code, key in zip(_codes, _keys))
# The codes no PC keyboard sends, those of keys no Windows gives a virtual
# key (0x77, 0x78), and SysRq (0x54), which Wine's keyboard has not.
REFUSED_ON_WINE = {0x54, 0x55, 0x5A, 0x5B, *range(0x5D, 0x64), 0x6F, 0x71, 0x72, 0x74, 0x75,
                   0x77, 0x78, 0x7A, 0x7C, 0x7F}
# Keys pressed by a button, alone and twice: a lever key stays held while the
# next goes down, and a modifier held so would make it a shortcut; a lock
# pressed twice leaves its light as it was. Buttons the locks and modifiers
# leave free take the keys the levers have no room for.
PRESSED_ALONE = {"1d", "2a", "36", "38", "3a", "46", "e0 1d", "e0 38", "e0 5b", "e0 5c"}
KEY_GROUPS = 7  # starts of the program, each with 16 lever keys and 4 buttons
LEVER = ["MCB60", "MCA95", "MCA85", "MCA75", "MCA65", "MCA55", "MCA50", "MCA45", "MCA35",
         "MCA25", "MCA15", "MCA05", "MCE99", "MCB40", "MCB30", "MCB20"]


def every_key(native_binary):
    """(what [keys] names it by, its code as events write it) for every key
    name the program lists (mascon-sim --key-names) and every code it takes."""
    sim = os.path.join(os.path.dirname(native_binary), "tools", "mascon-sim")
    listed = subprocess.run([sim, "--key-names"], capture_output=True, text=True, check=True)
    names = {line.rsplit(" ", 1)[0]: line.rsplit(" ", 1)[1] for line in listed.stdout.splitlines()}
    codes = {"%02x" % code for code in range(0x01, 0x80) if code not in REFUSED_ON_WINE}
    return [(names.get(code, "0x" + code), code) for code in sorted(codes | set(names))]


@pytest.mark.parametrize("group", range(KEY_GROUPS))
def test_every_key_arrives_with_its_virtual_key(wine, pytestconfig, group):
    keys = every_key(pytestconfig.getoption("--native-binary"))
    lever = [key for key in keys if key[1] not in PRESSED_ALONE]
    alone = [key for key in keys if key[1] in PRESSED_ALONE] + lever[16 * KEY_GROUPS:]
    assert len(alone) <= 4 * KEY_GROUPS, "more groups"
    lever, alone = lever[16 * group:16 * group + 16], alone[4 * group:4 * group + 4]
    buttons = ["MCK", "MCX", "MCY", "MCZ"][:len(alone)]
    com2 = wine.mascon(2, answer=("MCB60", "MCG00"))
    wine.settings(extra="[keys]\r\n" + "".join(
        "%s=%s\r\n" % (message, name) for message, (name, _) in
        list(zip(LEVER, lever)) + list(zip([b + "99" for b in buttons], alone))))
    wine.start()
    com2.wait_reset()
    com2.send(*LEVER[1:len(lever)], *[b + state for b in buttons for state in ("99", "00") * 2])
    # Each lever key down (the first at the start, where the lever rests),
    # and up once the next is down; each button's key pressed twice.
    held = [code for _, code in lever]
    events = ["press " + held[0]]
    for before, code in zip(held, held[1:]):
        events += ["press " + code, "release " + before]
    for _, code in alone:
        events += ["press " + code, "release " + code] * 2
    assert wine.wait_events(len(events)) == events
    wine.close()
    assert wine.finish().events == events + ["release " + held[-1]]
    wrong = []
    for event, virtual_key, numlock in wine.virtual_keys():
        want = VIRTUAL_KEYS[event.split(" ", 1)[1]]
        if isinstance(want, tuple):
            want = want[numlock]
        if virtual_key != want:
            wrong.append("%s came with %#x, not %#x" % (event, virtual_key, want))
    assert not wrong, wrong


def test_menu_dismissed_leaves_the_keys_to_the_simulator(desk):
    com2 = synchronised(desk)
    assert desk.menu_dismiss() == "menu dismissed"
    ride_mca55_to_the_end(desk, com2)


def test_menu_opened_while_a_profiles_key_is_held_keeps_the_profile(wine):
    com2 = wine.mascon(2)
    # Y works Q: a key the menu takes for nothing, while it is up.
    wine.settings(extra="[profile rail]\r\nprogram=PROBE.EXE\r\nMCA50=w\r\nMCY99=q\r\n")
    wine.start()
    com2.wait_reset()
    assert wine.wait_events(2) == packets("11 87")  # rail's w
    # Buttons pressed all the while the menu is up: each looks at what is in
    # front, which is notchkey's own menu.
    done = threading.Event()

    def press():
        while not done.is_set():
            com2.send("MCY99", "MCY00")
            time.sleep(0.05)
    presser = threading.Thread(target=press)
    presser.start()
    try:
        assert wine.menu_dismiss() == "menu dismissed"
    finally:
        done.set()
        presser.join()
    wine.close()
    result = wine.finish()
    # w held until the end, and only Q between.
    assert result.events[:2] == packets("11 87")
    assert [e for e in result.events[2:] if not e.endswith(" 10")] == packets("91")
    assert result.exit_code == 0


def test_short_flood_every_message_becomes_its_keys(desk):
    com2 = synchronised(desk, logfile="")
    lever_key = {"MCA55": 0x02, "MCA65": 0x03}
    sent, expected, held = [], packets("52 87"), 0x52
    for i in range(100):
        position = "MCA55" if i % 2 else "MCA65"
        sent += ["MCK99", position, "MCK00"]
        expected += packets("39", "%02x %02x" % (lever_key[position], held | 0x80), "b9")
        held = lever_key[position]
    com2.send(*sent)  # one write, as fast as the line takes it
    assert desk.wait_events(len(expected), timeout=60) == expected
    desk.close()
    result = desk.finish()
    assert result.events == expected + packets("%02x" % (held | 0x80))
    assert result.exit_code == 0


# ---- a key map

def test_ride_with_a_key_map(desk):
    com2 = desk.mascon(2)
    # Names and values in any case, blanks around them, a hex code in quotes, a comment,
    # and a second entry for a position, which the first one outranks.
    desk.settings(extra="[keys]\r\n MCA50 = q\r\nmca55=W \r\n; MCA65=e\r\nMCK99 = LShift\r\n"
                        "MCY99=\"0x23\"\r\nMCA50=z\r\n")
    desk.start()
    com2.wait_reset()
    com2.send("MCA55", "MCK99", "MCK00", "MCY99", "MCX99", "MCA65", "MCA55")
    # MCA65 keeps its 2; X keeps Space.
    keys = packets("10 87", "11 90", "2a", "aa", "23", "39", "03 91", "11 83")
    assert wait_keys(desk, len(keys)) == keys
    desk.close()
    result = desk.finish()
    assert without_balloons(result.events) == keys + packets("91", "a3", "b9")
    expect_balloons(desk, result.events, "notchkey.ini: [keys] MCA50=z: repeated entry, ignored")
    assert result.exit_code == 0
    assert result.log == BOTH_LINES


def test_two_positions_of_one_key_keep_it_held(desk):
    # A simulator with fewer notches than the lever.
    com2 = synchronised(desk, extra="[keys]\r\nMCA55=q\r\nMCA65=q\r\n")
    com2.send("MCA55", "MCA65", "MCA65", "MCA50")
    # Q down; held across to MCA65; the same message twice lets it go; keypad 0.
    keys = packets("52 87", "10 d2", "10 90", "52 90")
    assert desk.wait_events(len(keys)) == keys
    desk.close()
    result = desk.finish()
    assert result.events == keys + packets("d2")
    assert result.exit_code == 0


def test_extended_keys_with_sendinput(desk):
    com2 = desk.mascon(2)
    desk.settings(injector="sendinput",
                  extra="[keys]\r\nMCA50=up\r\nMCA55=kpenter\r\nMCK99=rctrl\r\nMCZ99=delete\r\n")
    desk.start()
    com2.wait_reset()
    com2.send("MCA55", "MCK99", "MCZ99", "MCZ00")
    keys = packets("e0 48 87", "e0 1c e0 c8", "e0 1d", "e0 53", "e0 d3")
    assert desk.wait_events(len(keys)) == keys
    desk.close()
    result = desk.finish()
    assert result.events == keys + packets("e0 9c", "e0 9d")
    assert result.exit_code == 0


@pytest.mark.parametrize("entry, shown, injector", [
    ("MCA55=foo", "MCA55=foo", None),
    ("  mca55 =  Foo  ", "mca55=Foo", None),   # as the settings reader gives it
    ('MCA55="foo"', 'MCA55="foo"', None),
    ("MCK00=space", "MCK00=space", None),     # a release message names no key
    ("MCG99=q", "MCG99=q", None),
    ("MCA55=0x80", "MCA55=0x80", None),       # a release code
    ("MCA55=0x5A", "MCA55=0x5A", None),       # a code no keyboard sends
    ("MCA55=0x77", "MCA55=0x77", None),       # a key no Windows gives a virtual key
    ("MCA55=0x54", "MCA55=0x54", None),       # SysRq: neither desk's keyboard has it
    ("MCA55", "MCA55", None),
    ("MCA55=up", "MCA55=up", "driver"),       # the driver takes plain codes only
])
def test_wrong_key_entry_opens_nothing(desk, entry, shown, injector):
    com2 = desk.mascon(2)
    settings = {"extra": "[keys]\r\nMCA50=q\r\n" + entry + "\r\n"}
    if injector:
        settings["injector"] = injector
    desk.settings(**settings)
    desk.start()
    result = desk.finish()
    expect_refused_at_start(result, shown + " is invalid key.", com2)
    assert result.log is None


def test_settings_saved_as_unicode(desk):
    synchronised(desk, com=5, sync="10 87", port="COM5", extra="[keys]\r\nMCA50=q\r\n",
                 encoding="utf-16")
    desk.close()
    result = desk.finish()
    assert result.events == packets("10 87", "90")
    assert result.log == BOTH_LINES


# A settings file as users get it wrong: what is passed over is told in one
# balloon at start, and the ride goes on; a refused value's box says on its
# second line what the setting takes. (config lines, other sections, the
# balloon or None, the box or None)
STEP_FOUR = "[step]\r\npower_up=a\r\npower_down=z\r\nbrake_up=.\r\nbrake_down=,\r\n"
TOLD = "notchkey.ini: "


@pytest.mark.parametrize("config, extra, told, refused", [
    # A misspelt port line, which leaves COM2 in force, and a stray [debug] line.
    ("prot=COM3\r\n", "verbose = 1\r\n",
     TOLD + "[config] prot=COM3: unknown entry, ignored\n"
     + TOLD + "[debug] verbose=1: unknown entry, ignored", None),
    ("", "[key]\r\nMCA50=q\r\n[stepp]\r\npower_up=a\r\n",
     TOLD + "unknown section [key], ignored\n" + TOLD + "unknown section [stepp], ignored", None),
    # The first of a name counts, as the system's reader takes it.
    ("port=COM4\r\n", "[keys]\r\nMCA65=w\r\nmca65 = e\r\n[profile a]\r\n[Profile  A]\r\n",
     TOLD + "[keys] mca65=e: repeated entry, ignored\n"
     + TOLD + "repeated section [Profile  A], ignored\n"
     + TOLD + "[config] port=COM4: repeated entry, ignored", None),
    ("profile=express\r\n", "[profil express]\r\n",
     TOLD + "unknown section [profil express], ignored",
     "profile=express is invalid profile.\nprofile= takes a [profile NAME] section's name."),
    ("lever=step\r\n", STEP_FOUR + "power_notches=9\r\n", None,
     "power_notches=9 is invalid step.\npower_notches takes 1 to 6."),
    ("lever=step\r\n", STEP_FOUR.replace("power_up=a\r\n", ""), None,
     "power_up= is invalid step.\nlever=step needs power_up, power_down, brake_up and brake_down."),
    ("", "".join("[profile p%d]\r\n" % i for i in range(17)), None,
     "profile p16 is invalid profile.\nAt most 16 profiles."),
    ("", "[profile bad!]\r\n", None,
     "profile bad! is invalid profile.\nA profile's name: letters, digits, - and _, up to 31."),
    ("lever=walk\r\n", "", None, "walk is invalid lever.\nlever takes hold or step."),
    ("reconnect=maybe\r\n", "", None, "maybe is invalid reconnect.\nreconnect takes yes or no."),
    ("", "[keys]\r\nMCA55=foo\r\n", None, "MCA55=foo is invalid key.\nA key line: a lever or "
     "button press message (MCA55, MCK99) = a key from the guide."),
])
def test_settings_tell_what_they_pass_over_and_refuse(desk, config, extra, told, refused):
    com2 = desk.mascon(2)
    injector = "injector=%s\r\n" % desk.injector if desk.injector else ""
    desk.write_settings(("[config]\r\nport=COM2\r\n%s%s[debug]\r\nlogfile=notchkey.log\r\n%s"
                         % (injector, config, extra)).encode())
    # Wine's notification area shows a balloon two seconds after it is asked
    # for: the box stays up longer, the ride goes on until it is there.
    desk.box_delay_ms = 3000
    desk.start()
    if refused:
        result = desk.finish()
        expect_refused_at_start(result, refused, com2)
    else:
        if told:
            wait_until(lambda: balloon(told)[0] in desk.events(), 20, "the balloon")
        result = ride_mca55_to_the_end(desk, com2)
        assert result.log == BOTH_LINES
        if desk.notes() is not None:
            assert desk.notes()[-1].startswith(answered_note(com2))
    # Told once, before anything else the user sees of the start (the Wine
    # desk looks at the screen now and then, and may see a key first).
    if told and desk.name == "native":
        assert result.events[0] == balloon(told)[0]
    assert [e for e in result.events if e.startswith("balloon ")] == (balloon(told) if told else [])


# ---- failed starts

def test_unknown_injector_opens_nothing(desk):
    result = refused_at_start(desk, "keyboard is invalid injector.", injector="keyboard")
    assert result.log is None


def test_log_in_a_missing_folder_stops_before_the_driver(desk):
    refused_at_start(desk, "can't open log file.", logfile="no\\such\\folder\\notchkey.log")
    assert not os.path.exists(os.path.join(desk.home, "no"))


def test_sendinput_without_a_keyboard_to_type_on_stops_at_start(native):
    """On Linux SendInput types on the driver's virtual keyboard: without one,
    every key would be lost unseen."""
    native.remove_driver()
    result = refused_at_start(native, "can't open keytap.vxd.", injector="sendinput")
    assert result.log == STARTED


def test_no_driver_stops_after_the_logs_first_line(desk):
    desk.remove_driver()
    result = refused_at_start(desk, "can't open keytap.vxd.", injector="driver")
    assert result.log == STARTED


def expect_defaults(desk, com2):
    """COM2, no log, the driver: where the driver exists the ride starts on
    COM2; where it does not, start-up ends before COM2 is touched."""
    desk.start()
    if desk.has_driver:
        com2.wait_reset()
        assert wait_keys(desk, 2) == packets("52 87")
        desk.close()
        result = desk.finish()
        # A line of a broken file may be told, as any line passed over.
        assert without_balloons(result.events) == packets("52 87", "d2")
        assert result.exit_code == 0
    else:
        expect_refused_at_start(desk.finish(), "can't open keytap.vxd.", com2)
    assert [n for n in os.listdir(desk.home) if n != "notchkey.ini"] == [], "a log was made"


def test_without_settings_file_the_defaults(desk):
    com2 = desk.mascon(2)
    expect_defaults(desk, com2)


def garbage():
    state, data = 12345, bytearray()
    for _ in range(4096):
        state = (state * 1103515245 + 12345) & 0xFFFFFFFF
        data.append((state >> 16) & 0xFF)
    return bytes(data)


BROKEN_SETTINGS = {
    "binary_garbage": garbage(),
    "very_long_lines": b"[config]\nname=" + b"x" * 100000 + b"\nport=COM2\n" + b";" * 200000
                       + b"\n[debug]\nlogfile=\n",
    "no_final_newline": b"[config]\nport=COM2",
}


@pytest.mark.parametrize("kind", list(BROKEN_SETTINGS) + ["a_directory"])
def test_broken_settings_file_means_the_defaults(desk, kind):
    com2 = desk.mascon(2)
    if kind == "a_directory":
        os.mkdir(os.path.join(desk.home, "notchkey.ini"))
    else:
        desk.write_settings(BROKEN_SETTINGS[kind])
    expect_defaults(desk, com2)


# ---- the port

def test_port_that_does_not_exist(desk):
    desk.settings(port="COM9")
    desk.box_delay_ms = 2500  # long enough to be photographed
    desk.start()
    desk.wait_box()
    # Time for the box to be drawn before the picture is taken.
    time.sleep(0.8)
    desk.screenshot("messagebox.png")
    result = desk.finish()
    assert result.events == box("COM9 is invalid COM port.")
    assert result.exit_code == 0
    assert result.log == BOTH_LINES


# Names that are no serial port: nothing is opened, nothing written.
@pytest.mark.parametrize("port", ["x", ".\\x", "LPT1", "NUL", "COM0", "COM257", "COM02"])
def test_port_that_is_no_serial_port_is_refused(desk, port):
    precious = os.path.join(desk.home, "x")
    with open(precious, "wb") as f:
        f.write(b"precious")
    desk.settings(port=port)
    desk.start()
    result = desk.finish()
    assert result.events == box(port + " is invalid COM port.")
    assert result.exit_code == 0
    assert result.log == BOTH_LINES
    with open(precious, "rb") as f:
        assert f.read() == b"precious"


def short_ride_on(desk, mascon, port):
    """Started with port=, synchronised on the mascon given, and closed."""
    desk.settings(port=port)
    desk.start()
    mascon.wait_reset()
    assert desk.wait_events(2) == packets("52 87")
    desk.close()
    result = desk.finish()
    assert result.events == packets("52 87", "d2")
    assert result.exit_code == 0
    return result


def test_two_digit_port_is_the_port_named(desk):
    com1 = desk.mascon(1)
    short_ride_on(desk, desk.mascon(12), "COM12")
    assert com1.wrote() == b"", "COM1 was written to"
    assert com1.settings_untouched()


# ---- the mascon fails

def test_silent_mascon(desk):
    com2 = desk.mascon(2, answer=None)
    desk.settings()
    desk.start()
    desk.wait_until_written(com2, b"RESET\r")
    asked = time.monotonic()
    desk.wait_box()
    # Given its second to answer, and not much more.
    assert time.monotonic() - asked < 3
    result = desk.finish()
    assert result.events == box("There is no mascon on COM2.")
    assert result.exit_code == 0
    assert result.log == BOTH_LINES
    assert com2.wrote() == b"RESET\r"


def test_a_slow_mascon_is_waited_for(desk):
    synchronised(desk, answer_delay=0.3)
    desk.close()
    result = desk.finish()
    assert result.events == packets("52 87", "d2")
    assert result.exit_code == 0


def test_too_much_waiting_input_never_sends_reset(desk):
    com2 = desk.mascon(2, pending=b"x" * 600)
    desk.settings()
    desk.start()
    result = desk.finish()
    assert result.events == box("There is no mascon on COM2.")
    assert result.exit_code == 0
    assert com2.wrote() == b""


def test_first_answer_not_a_lever_position(desk):
    desk.mascon(2, answer=("MCK99", "MCG00"))
    desk.settings()
    desk.start()
    result = desk.finish()
    assert result.events == box("There is no mascon on COM2.")
    assert result.exit_code == 0


def test_second_answer_not_a_gstate_presses_nothing(desk):
    desk.mascon(2, answer=("MCA50", "MCA50"))
    desk.settings()
    desk.start()
    result = desk.finish()
    # Only a whole answer is the mascon's: its lever is not taken.
    assert result.events == box("There is no mascon on COM2.")
    assert result.exit_code == 0


def test_invalid_message_releases_before_the_box(desk):
    com2 = ride(desk)
    com2.send("mca55")
    result = desk.finish()
    assert result.events == RIDE + packets("82", "b9") + box("Invalid message from mascon")
    assert result.exit_code == 0
    assert result.log == BOTH_LINES


def test_stream_out_of_step_releases_before_the_box(desk):
    com2 = ride(desk)
    com2.send(b"MCA5", "MCA55")
    result = desk.finish()
    assert result.events == RIDE + packets("82", "b9") + box("Invalid message from mascon")
    assert result.exit_code == 0


def test_flow_control_bytes_from_the_mascon_are_data(desk):
    """A fresh adapter's line has software flow control on; a Windows port
    carries XOFF and XON untouched, so here they are six bytes of a message
    that is none."""
    com2 = ride(desk)
    com2.send(b"\x13MCA5\x11")
    result = desk.finish()
    assert result.events == RIDE + packets("82", "b9") + box("Invalid message from mascon")
    assert result.exit_code == 0


def test_second_notchkey_on_a_held_port_is_refused(desk):
    com2 = ride(desk)
    second = desk.run_second(port="COM2")
    assert second.events == box("COM2 is invalid COM port.")
    assert second.exit_code == 0
    assert com2.wrote() == b"RESET\r", "the second one wrote to the port"
    # The first rides on.
    com2.send("MCA65")
    assert desk.wait_events(len(RIDE) + 2) == RIDE + packets("03 82")
    desk.close()
    result = desk.finish()
    assert result.events == RIDE + packets("03 82", "83", "b9")
    assert result.exit_code == 0


def test_line_gone_mid_ride_releases_and_ends_without_spinning(desk):
    com2 = ride(desk)
    before = desk.cpu_now()
    com2.hangup()
    result = desk.finish()
    assert result.events == RIDE + packets("82", "b9") + box("There is no mascon on COM2.")
    assert result.exit_code == 0
    assert result.log == BOTH_LINES
    assert result.cpu is not None and result.cpu - before < 0.5, \
        "%.2f s of CPU from the hang-up to the end" % (result.cpu - before)


# ---- the cable: port=auto and reconnect=yes

GONE = "The mascon on COM%d is gone: waiting for it."
BACK = "The mascon is back on COM%d."


def expect_balloons(desk, events, *texts):
    """The balloons, in order among the rest. Wine's notification area shows
    one at a time, each a while after it was asked for and for a while, and
    one asked for meanwhile may take its place: there only some, none other."""
    seen = [e for e in events if e.startswith("balloon ")]
    expected = [b for t in texts for b in balloon(t)]
    if desk.balloons_in_full:
        assert seen == expected
    else:
        rest = iter(expected)
        assert all(b in rest for b in seen), "balloons %r, not among %r in order" % (seen, expected)


def test_auto_finds_the_mascon_on_the_third_port(desk):
    # Above COM4: Wine may give those to the machine's own ports at boot.
    silent = desk.mascon(5, answer=None)
    garbage = desk.mascon(6, answer=b"AT\r\r\nERROR\r\n\x00\xff")
    # Its answer may come once the port has its settings back: a line left
    # echoing, as a fresh one is, would send it back as if written to it.
    tty.setraw(garbage.slave)
    result = short_ride_on(desk, desk.mascon(7), "Auto")
    assert result.log == BOTH_LINES
    assert silent.wrote() == b"RESET\r" and garbage.wrote() == b"RESET\r"


def test_auto_without_a_mascon_anywhere(desk):
    silent = desk.mascon(5, answer=None)
    desk.settings(port="auto")
    desk.start()
    result = desk.finish()
    assert result.events == box("There is no mascon on any COM port.")
    assert result.exit_code == 0
    assert result.log == BOTH_LINES
    assert silent.wrote() == b"RESET\r"


def wait_keys(desk, count):
    """The keys and boxes once there are count of them, balloons aside."""
    return wait_until(lambda: (lambda e: e if len(e) >= count else None)(
        without_balloons(desk.events())), 20, "%d keys on the %s desk" % (count, desk.name))


def pulled(desk, com2):
    """The adapter pulled in the middle of a ride: both held keys come up at
    once, no box, and the user is told."""
    com2.unplug()
    keys = RIDE + packets("82", "b9")
    assert wait_keys(desk, len(keys)) == keys
    wait_balloon(desk, re.escape(GONE % 2))


@pytest.mark.parametrize("port, back_on", [("COM2", 2), ("auto", 2), ("auto", 5)])
def test_line_pulled_and_plugged_back_rides_on(desk, port, back_on):
    com2 = ride(desk, port=port, reconnect="Yes")
    pulled(desk, com2)
    time.sleep(2)  # the user's hands, plugging the cable back
    back = desk.mascon(back_on, answer=("MCA65", "MCG00"))
    # A port under a new name is found by the look at every name, every eighth
    # try; under its old name, by the next try.
    back.wait_reset(timeout=40 if back_on != 2 else 6)
    # The lever was moved meanwhile: its new position's key, then on.
    back.send("MCA55")
    keys = RIDE + packets("82", "b9", "03 87", "02 83")
    assert wait_keys(desk, len(keys)) == keys
    desk.close()
    result = desk.finish()
    assert without_balloons(result.events) == keys + packets("82")
    expect_balloons(desk, result.events, GONE % 2, BACK % back_on)
    assert result.exit_code == 0
    assert result.log == BOTH_LINES
    assert back.wrote() == b"RESET\r"


def wait_balloon(desk, pattern):
    """The first balloon that matches; None where the desk cannot read them."""
    found = wait_until(lambda: "unreadable" if not desk.balloons_readable() else next(
        (e for e in desk.events() if e.startswith("balloon ") and re.fullmatch(pattern, e[8:])), None),
        20, "a balloon %r on the %s desk (have %r)" % (pattern, desk.name, desk.events()))
    return None if found == "unreadable" else found


def test_missing_at_start_is_waited_for(desk):
    desk.settings(reconnect="yes")
    desk.start()
    # Said once, while it is tried a second at a time.
    waiting = wait_balloon(desk, r"Waiting for the mascon on COM2: .+")
    time.sleep(1.5)
    com2 = desk.mascon(2)
    com2.wait_reset()
    assert wait_keys(desk, 2) == packets("52 87")
    desk.close()
    result = desk.finish()
    assert without_balloons(result.events) == packets("52 87", "d2")
    expect_balloons(desk, result.events, *[waiting[len("balloon "):]] if waiting else [], BACK % 2)
    assert result.exit_code == 0


def test_exit_while_waiting_for_the_mascon(desk):
    com2 = ride(desk, reconnect="yes")
    pulled(desk, com2)
    before = desk.cpu_now()
    time.sleep(2)  # at rest, a try a second
    asked = time.monotonic()
    desk.menu_exit()
    result = desk.finish()
    assert time.monotonic() - asked < 5
    assert without_balloons(result.events) == RIDE + packets("82", "b9")
    assert result.exit_code == 0
    assert result.log == BOTH_LINES
    assert result.cpu is not None and result.cpu - before < 0.5, \
        "%.2f s of CPU while waiting" % (result.cpu - before)


def test_second_notchkey_while_one_waits_is_refused(desk):
    # Asked again and again, the mascon never answers: the port is waited for.
    com2 = desk.mascon(2, answer=None)
    desk.settings(reconnect="yes")
    desk.start()
    wait_until(lambda: com2.wrote().count(b"RESET\r") >= 2, 20, "a second try")
    second = desk.run_second(port="COM2")
    assert second.events == box("COM2 is invalid COM port.")
    assert second.exit_code == 0
    desk.close()
    result = desk.finish()
    assert without_balloons(result.events) == []
    expect_balloons(desk, result.events, "Waiting for the mascon on COM2: it does not answer.")
    assert result.exit_code == 0



def test_wrong_reconnect_opens_nothing(desk):
    result = refused_at_start(desk, "maybe is invalid reconnect.", reconnect="maybe")
    assert result.log is None


# ---- Exit: the worker stops by itself, wherever it is

def nothing_held(events):
    """Every key pressed has come up again."""
    held = {}
    for event in events:
        kind, _, code = event.partition(" ")
        if kind in ("press", "release"):
            held[code] = held.get(code, 0) + (1 if kind == "press" else -1)
    return all(count <= 0 for count in held.values())


def exit_while_reading(desk):
    return [ride(desk, preset=True)]


def exit_while_stepping(desk):
    com2 = desk.mascon(2, answer=("MCA35", "MCG00"))
    com2.preset()
    desk.settings(lever="step", extra=STEP_KEYS + "press_ms=250\r\ngap_ms=250\r\n")
    desk.start()
    com2.wait_reset()
    com2.send("MCB20")  # sixteen steps, eight seconds
    desk.wait_events(1)
    return [com2]


def exit_while_waiting_for_the_cable(desk):
    pulled(desk, ride(desk, reconnect="yes"))
    return []


def exit_in_the_middle_of_a_search(desk):
    silent = [desk.mascon(com, answer=None) for com in (5, 6)]
    for port in silent:
        port.preset()
    desk.settings(port="auto", reconnect="yes")
    desk.start()
    # Each asked, and given its second to answer.
    for port in silent:
        desk.wait_until_written(port, b"RESET\r")
    return silent


@pytest.mark.parametrize("state", [exit_while_reading, exit_while_stepping,
                                   exit_while_waiting_for_the_cable,
                                   exit_in_the_middle_of_a_search],
                         ids=["reading", "stepping", "waiting", "searching"])
def test_exit_stops_the_worker_in_every_state(desk, state):
    """Within a second, every key up and every port as it was found; a
    worker that had to be forced would take two."""
    ports = state(desk)
    asked = desk.menu_exit()
    result = desk.finish()
    took = result.ended - asked
    assert took < 1, "%.2f s from Exit to the end" % took
    assert result.exit_code == 0
    assert result.log == BOTH_LINES
    assert not [e for e in result.events if e.startswith("box ")]
    assert nothing_held(result.events), result.events
    for port in ports:
        assert desk.port_as_found(port), "COM%d not as found" % port.com


def test_a_port_left_with_a_handshake_is_used_without_and_put_back(desk):
    """Two stop bits and RTS/CTS from another program: the mascon's line is
    19200 baud, 8N1 without handshake while notchkey runs."""
    com2 = synchronised(desk, preset=True)
    assert com2.line() == (termios.B19200, termios.B19200, termios.CS8, 0)
    desk.close()
    result = desk.finish()
    assert result.exit_code == 0
    assert desk.port_as_found(com2)


# ---- the lever in steps

STEP_KEYS = "[step]\r\npower_up=a\r\npower_down=z\r\nbrake_up=.\r\nbrake_down=,\r\n"
POWER_UP, POWER_DOWN, BRAKE_UP, BRAKE_DOWN = "1e", "2c", "34", "33"


def steps(key, times=1):
    """A step's events: its key pressed, then released."""
    return packets(*[key, "%02x" % (int(key, 16) | 0x80)] * times)


def started_in_steps(desk, extra="", answer=("MCA50", "MCG00")):
    """Started in steps with the keys a z . , and synchronised."""
    com2 = desk.mascon(2, answer=answer)
    desk.settings(lever="step", extra=STEP_KEYS + extra)
    desk.start()
    com2.wait_reset()
    return com2


def ride_in_steps(desk, com2, moves):
    """Each move sent once the steps of the one before are through."""
    keys = []
    for message, events in moves:
        com2.send(message)
        keys += events
        assert desk.wait_events(len(keys)) == keys, message
    return keys


def test_ride_in_steps(desk):
    com2 = started_in_steps(desk)
    # Neutral, power 1, power 3, brake 2, brake 9 and back to neutral.
    keys = ride_in_steps(desk, com2, [
        ("MCA55", steps(POWER_UP)),
        ("MCA75", steps(POWER_UP, 2)),
        ("MCA35", steps(POWER_DOWN, 3) + steps(BRAKE_UP, 2)),
        ("MCB20", steps(BRAKE_UP, 7 + 9)),  # brake 9, then the handle lined up
        ("MCA50", steps(BRAKE_DOWN, 9)),
    ])
    desk.menu_exit()
    result = desk.finish()
    assert result.events == keys  # nothing was left to let go of
    assert result.exit_code == 0
    assert result.log == BOTH_LINES


def test_ride_in_steps_on_a_train_with_fewer_notches(desk):
    com2 = started_in_steps(desk, "power_notches=4\r\nbrake_notches=7\r\n")
    keys = ride_in_steps(desk, com2, [
        ("MCB60", steps(POWER_UP, 4 + 4)),  # power 6 is the train's 4, then lined up
        ("MCA75", steps(POWER_DOWN)),        # power 3
        ("MCA95", steps(POWER_UP, 1 + 4)),   # power 5 is the train's 4 too
        ("MCB30", steps(POWER_DOWN, 4) + steps(BRAKE_UP, 7)),  # brake 8 is its 7
        ("MCB20", steps(BRAKE_UP, 1 + 8)),
        ("MCA50", steps(BRAKE_DOWN, 8)),
    ])
    desk.close()
    result = desk.finish()
    assert result.events == keys
    assert result.exit_code == 0


def test_buttons_go_out_between_steps(desk):
    com2 = started_in_steps(desk, "press_ms=150\r\ngap_ms=150\r\n")
    run = steps(BRAKE_UP, 9 + 9)
    buttons = packets("39", "b9", "1c", "9c")
    com2.send("MCB20")  # 5.4 s of steps
    desk.wait_events(1)
    com2.send("MCK99")
    wait_until(lambda: "press 39" in desk.events(), 20, "K pressed")
    com2.send("MCK00")
    wait_until(lambda: "release 39" in desk.events(), 20, "K released")
    com2.send("MCY99", "MCY00")  # pressed and let go at once
    events = desk.wait_events(len(run) + len(buttons))
    assert [e for e in events if e not in buttons] == run
    assert [e for e in events if e in buttons] == buttons
    # After how many step events each button event came: between two steps,
    # with steps still to come, Y's press and release together.
    after = [events[:i].count("press 34") + events[:i].count("release 34")
             for i, e in enumerate(events) if e in buttons]
    assert all(n % 2 == 0 and n < len(run) for n in after), events
    assert after[2] == after[3], events
    desk.close()
    result = desk.finish()
    assert result.events == events
    assert result.exit_code == 0


def test_swing_that_is_back_sends_nothing(desk):
    com2 = started_in_steps(desk)
    com2.send("MCB60", "MCA50", "MCK99")  # to power 6 and back, in one go
    assert desk.wait_events(1) == packets("39")
    # The handle is still at neutral: power 1 is one step.
    com2.send("MCA55")
    keys = packets("39") + steps(POWER_UP)
    assert desk.wait_events(len(keys)) == keys
    desk.close()
    result = desk.finish()
    assert result.events == keys + packets("b9")
    assert result.exit_code == 0


def handles(events, keys=(POWER_UP, POWER_DOWN, BRAKE_UP, BRAKE_DOWN), top=6, emergency=9):
    """Where a simulator with a power and a brake handle has them after these
    key events: each press moves one a notch, and a handle stops at its ends."""
    power = brake = 0
    for event in events:
        if event.startswith("press "):
            step = keys.index(event[6:]) if event[6:] in keys else None
            if step == 0:
                power = min(power + 1, top)
            elif step == 1:
                power = max(power - 1, 0)
            elif step == 2:
                brake = min(brake + 1, emergency)
            elif step == 3:
                brake = max(brake - 1, 0)
    return power, brake


@pytest.mark.parametrize("ridden, steps_out, back_at, end", [
    ("MCA75", 6, "MCA50", (0, 0)),  # power 3, back at neutral: the power comes off
    ("MCA55", 2, "MCB20", (0, 9)),  # power 1, back at the emergency brake: power off first
])
def test_cable_pulled_in_steps_the_handles_follow_the_lever(desk, ridden, steps_out, back_at, end):
    com2 = desk.mascon(2)  # neutral: nothing sent at start
    desk.settings(lever="step", extra=STEP_KEYS, reconnect="yes")
    desk.start()
    com2.wait_reset()
    com2.send(ridden)
    wait_keys(desk, steps_out)
    com2.unplug()
    # Plugged back with the lever moved meanwhile.
    back = desk.mascon(2, answer=(back_at, "MCG00"))
    back.wait_reset()
    wait_until(lambda: handles(without_balloons(desk.events())) == end, 20,
               "the handles at %s" % (end,))
    desk.close()
    result = desk.finish()
    assert handles(result.events) == end
    assert held_at_the_end(result.events) == []
    expect_balloons(desk, result.events, GONE % 2, BACK % 2)
    assert result.exit_code == 0


@pytest.mark.parametrize("lever, presses, back", [
    ("MCB20", steps(BRAKE_UP, 9), steps(BRAKE_DOWN, 9)),
    ("MCB60", steps(POWER_UP, 6), steps(POWER_DOWN, 6)),
])
def test_steps_at_start_only_at_the_ends(desk, lever, presses, back):
    com2 = started_in_steps(desk, answer=(lever, "MCG00"))
    assert desk.wait_events(len(presses)) == presses
    com2.send("MCA50")
    keys = presses + back
    assert desk.wait_events(len(keys)) == keys
    desk.close()
    result = desk.finish()
    assert result.events == keys
    assert result.exit_code == 0


def test_exit_during_steps_ends_within_a_step(desk):
    # At brake 2: nothing sent at start.
    com2 = started_in_steps(desk, "press_ms=250\r\ngap_ms=250\r\n", answer=("MCA35", "MCG00"))
    com2.send("MCB20")  # sixteen steps, eight seconds
    pressed = desk.wait_events(1)
    desk.menu_exit()
    result = desk.finish()
    assert result.exit_code == 0
    assert result.log == BOTH_LINES
    # Each press let go of, the last one's at the end; at most the step under
    # way when Exit came went on.
    presses = result.events.count("press 34")
    assert result.events == steps(BRAKE_UP, presses)
    assert presses <= pressed.count("press 34") + 1, result.events


def test_without_step_mode_a_step_section_changes_nothing(desk):
    ride(desk, lever="HOLD", extra="[step]\r\npower_up=foo\r\n")
    desk.close()
    result = desk.finish()
    assert result.events == RIDE + packets("82", "b9")
    assert result.exit_code == 0


@pytest.mark.parametrize("lever, extra, shown, injector", [
    ("walk", STEP_KEYS, "walk is invalid lever.", None),
    ("step", STEP_KEYS + "power_up=foo\r\n", "power_up=foo is invalid step.", None),
    ("step", STEP_KEYS + " Pace_ms = 30\r\n", "Pace_ms=30 is invalid step.", None),
    ("step", STEP_KEYS + "gap_ms=1001\r\n", "gap_ms=1001 is invalid step.", None),
    ("step", STEP_KEYS.replace("power_up=a", "power_up=up"), "power_up=up is invalid step.",
     "driver"),  # the driver takes plain codes only
    ("step", STEP_KEYS.replace("brake_down=,\r\n", ""), "brake_down= is invalid step.", None),
    ("step", STEP_KEYS + "[keys]\r\nMCA55=q\r\n", "MCA55=q is invalid key.", None),
    ("step", STEP_KEYS + "power_notches=9\r\n", "power_notches=9 is invalid step.", None),
    ("step", STEP_KEYS + "brake_map=1,3,2\r\n", "brake_map=1,3,2 is invalid step.", None),
    ("hold", "[profile express]\r\nlever=step\r\npower_up=foo\r\n",
     "express: power_up=foo is invalid step.", None),
])
def test_wrong_step_setting_opens_nothing(desk, lever, extra, shown, injector):
    settings = {"lever": lever, "extra": extra}
    if injector:
        settings["injector"] = injector
    result = refused_at_start(desk, shown, **settings)
    assert result.log is None


# ---- profiles

# A profile for another program: none of the desks' own.
METRO = "[profile metro]\r\nprogram=MetroSim.exe\r\nMCA50=w\r\n"


def test_profile_setting_chooses_when_no_program_does(desk):
    # Metro's own MCA50 over the base's; the base's K, which metro does not name.
    com2 = synchronised(desk, sync="11 87", profile="Metro",
                        extra="[keys]\r\nMCA50=q\r\nMCK99=lshift\r\n" + METRO)
    com2.send("MCA55", "MCK99")
    keys = packets("11 87", "02 91", "2a")
    assert desk.wait_events(len(keys)) == keys
    desk.close()
    assert desk.finish().events == keys + packets("82", "aa")
    if desk.notes() is not None:
        assert desk.notes()[-1] == answered_note(com2) + ", profile=metro"


def test_start_line_names_the_active_profiles_lever(native):
    com2 = native.mascon(2)
    native.settings(profile="express",
                    extra="[profile express]\r\nlever=step\r\n" + STEP_KEYS.split("\r\n", 1)[1])
    native.start()
    wait_until(native.notes, 20, "the start line")
    native.close()
    assert native.finish().exit_code == 0
    assert native.notes() == [answered_note(com2).replace("lever=hold", "lever=step")
                              + ", profile=express"]


def test_profile_setting_naming_no_profile_opens_nothing(desk):
    result = refused_at_start(desk, "profile=xyz is invalid profile.", profile="xyz", extra=METRO)
    assert result.log is None


def held_at_the_end(*event_lists):
    """The keys pressed and never released, over every window."""
    count = {}
    for event in (e for events in event_lists for e in events):
        kind, key = event.split(" ", 1)
        count[key] = count.get(key, 0) + (1 if kind == "press" else -1)
    return [key for key, n in count.items() if n > 0]


def test_a_simulator_back_in_front_is_stepped_from_where_its_handle_was(wine):
    com2 = wine.mascon(2)
    # Steps of a millisecond: once the last release is seen, they are done.
    wine.settings(extra="[profile metro]\r\nprogram=MetroSim.exe\r\nlever=step\r\n"
                        "press_ms=1\r\ngap_ms=1\r\n" + STEP_KEYS.split("\r\n", 1)[1])
    wine.start()
    com2.wait_reset()
    assert wine.wait_events(2) == packets("52 87")  # the base: keypad 0
    metro = wine.second_program("MetroSim.exe")
    com2.send("MCA65")  # power 2 under metro
    wait_until(lambda: len(metro.events()) == 5, 20, "metro at power 2")
    wine.front()
    com2.send("MCA55")  # power 1 under the base, metro away
    wait_until(lambda: "press 02" in wine.events(), 20, "the base's key 1")
    metro.front()
    com2.send("MCK99")  # metro again: from its power 2 to the lever's power 1
    wait_until(lambda: "press 39" in metro.events(), 20, "Space under metro")
    assert handles(metro.events()) == (1, 0)
    wine.close()
    result = wine.finish()
    metro.close()
    assert held_at_the_end(result.events, metro.events()) == []
    assert result.exit_code == 0


def test_each_program_in_front_gets_its_profiles_keys(wine):
    com2 = wine.mascon(2)
    wine.settings(extra="[keys]\r\nMCA50=q\r\n"
                        "[profile rail]\r\nprogram=PROBE.EXE\r\nMCA55=w\r\n"
                        "[profile metro]\r\nprogram=RailSim.exe, MetroSim.exe\r\nlever=step\r\n"
                        + STEP_KEYS.split("\r\n", 1)[1])
    wine.start()
    com2.wait_reset()
    assert wine.wait_events(2) == packets("10 87")  # the base's q, which rail takes
    metro = wine.second_program("MetroSim.exe")
    # Under metro: the lever's q comes up, power 1 is one step, Space goes down.
    metro_keys = packets("90") + steps(POWER_UP) + packets("39")
    for message, count in (("MCA55", 3), ("MCK99", 4)):
        com2.send(message)
        wait_until(lambda: len(metro.events()) >= count, 20, "metro's keys")
    wine.front()
    # Under rail again: Space comes up, power 1's w goes down as at start, then
    # power 2; K's release sends nothing more.
    com2.send("MCK00", "MCA65")
    rail_keys = packets("10 87", "b9", "11", "03 91")
    assert wine.wait_events(len(rail_keys)) == rail_keys
    wine.close()
    result = wine.finish()
    metro.close()
    assert result.events == rail_keys + packets("83")
    assert metro.events() == metro_keys
    assert held_at_the_end(result.events, metro.events()) == []
    assert result.exit_code == 0
