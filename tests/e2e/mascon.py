"""A mascon on a real pseudo-terminal, played by the test.

The slave is linked as DIR/comN, where both desks look for COMn. The line
starts with the terminal settings a freshly made tty has (echo, line editing,
CR to LF, software flow control: what a freshly plugged adapter comes with),
not ones the test chose: the program must make it a Windows port itself. Only
a line that must hold bytes before the program opens it is raw, as a line no
one has opened neither echoes nor edits. The mascon keeps the slave open itself, so its master never reads EIO
while the program has the port closed. A thread reads everything the program
writes, keeps it, and answers each "RESET\\r" as told.
"""

import fcntl
import os
import select
import struct
import termios
import threading
import time
import tty

RESET = b"RESET\r"


def message(text):
    """A five-character name such as "MCA55" gets its carriage return;
    anything else is sent as it is."""
    data = text.encode("latin-1") if isinstance(text, str) else bytes(text)
    return data + b"\r" if len(data) == 5 and b"\\" not in data else data


class Mascon:
    def __init__(self, link_dir, com, answer=("MCA50", "MCG00"), pending=b"", answer_delay=0):
        """answer: the two messages sent after each RESET, None for a mascon
        that stays silent, or bytes sent exactly. pending: bytes already
        waiting on the line when the program opens it. answer_delay: how
        long, in seconds, a slow mascon takes to answer."""
        self.answer_delay = answer_delay
        self.com = com
        self.master, self.slave = os.openpty()
        if pending:
            tty.setraw(self.slave)
        self.slave_path = os.ttyname(self.slave)
        self.link = os.path.join(link_dir, "com%d" % com)
        if os.path.lexists(self.link):
            os.unlink(self.link)
        os.symlink(self.slave_path, self.link)
        if answer is None:
            self.answer = b""
        elif isinstance(answer, bytes):
            self.answer = answer
        else:
            self.answer = b"".join(message(m) for m in answer)
        self.received = bytearray()
        self.resets = 0
        self.hung_up = False
        self.found = termios.tcgetattr(self.slave)
        self._lock = threading.Condition()
        self._stop_r, self._stop_w = os.pipe()
        if pending:
            self.send_raw(pending)
            self._wait_queued(len(pending))
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _wait_queued(self, count):
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            queued = struct.unpack("i", fcntl.ioctl(self.slave, termios.FIONREAD, b"\0" * 4))[0]
            if queued >= count:
                return
            time.sleep(0.005)
        raise AssertionError("the pending bytes never reached the port's queue")

    def _serve(self):
        while True:
            ready, _, _ = select.select([self.master, self._stop_r], [], [])
            if self._stop_r in ready:
                return
            try:
                data = os.read(self.master, 4096)
            except OSError:
                return
            if not data:
                return
            with self._lock:
                self.received += data
                resets = bytes(self.received).count(RESET)
                new = resets - self.resets
            for _ in range(new):
                if self.answer_delay:
                    time.sleep(self.answer_delay)  # the mascon's own slowness
                if self.answer:
                    os.write(self.master, self.answer)
                with self._lock:
                    self.resets += 1
                    self._lock.notify_all()

    def send_raw(self, data):
        view = memoryview(data)
        while view:
            done = os.write(self.master, view)
            view = view[done:]

    def send(self, *texts):
        """Messages by name ("MCA55") or raw bytes, in one write."""
        self.send_raw(b"".join(message(t) for t in texts))

    def wait_reset(self, timeout=20):
        """Until the program has written "RESET\\r" and been answered."""
        deadline = time.monotonic() + timeout
        with self._lock:
            while self.resets < 1:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError("no RESET on COM%d within %ss (got %r)"
                                         % (self.com, timeout, bytes(self.received)))
                self._lock.wait(left)

    def wrote(self):
        with self._lock:
            return bytes(self.received)

    def settings_untouched(self):
        """Every terminal setting as it was when the mascon was made."""
        return termios.tcgetattr(self.slave) == self.found

    def preset(self, speed=termios.B9600, cflags=termios.CSTOPB | termios.CRTSCTS):
        """The port as another program left it (by default 9600 baud, two
        stop bits, RTS/CTS; this kernel refuses parity on a pty), taken as
        found."""
        t = termios.tcgetattr(self.slave)
        t[2] |= cflags
        t[4] = t[5] = speed
        termios.tcsetattr(self.slave, termios.TCSANOW, t)
        self.found = termios.tcgetattr(self.slave)

    def line(self, t=None):
        """What a Windows port's settings block can say of the line (now, or
        in t): speeds, byte size, parity, stop bits, flow control."""
        t = t or termios.tcgetattr(self.slave)
        return (t[4], t[5], t[2] & (termios.CSIZE | termios.CSTOPB | termios.PARENB | termios.CRTSCTS),
                t[0] & (termios.IXON | termios.IXOFF))

    def line_as_found(self):
        return self.line() == self.line(self.found)

    def hangup(self):
        """The line goes away, as a pulled cable or a closed adapter would."""
        if self.hung_up:
            return
        self.hung_up = True
        os.write(self._stop_w, b"x")
        self._thread.join()
        os.close(self.master)
        os.close(self.slave)

    def unplug(self):
        """The adapter pulled out: the line goes, and its port with it."""
        self.hangup()
        if os.path.islink(self.link) and os.readlink(self.link) == self.slave_path:
            os.unlink(self.link)

    def close(self):
        self.hangup()
        os.close(self._stop_r)
        os.close(self._stop_w)
        if os.path.islink(self.link) and os.readlink(self.link) == self.slave_path:
            os.unlink(self.link)
