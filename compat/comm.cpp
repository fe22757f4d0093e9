// Serial ports over termios: opening a tty as COMn, GetCommState,
// SetCommState, ClearCommError, GetCommTimeouts, SetCommTimeouts.
//
// The port is opened without waiting for carrier, and asked for low latency
// where its driver has it. A Windows port carries bytes untouched, so opening
// puts the tty in raw mode, software flow control off (a freshly plugged
// adapter comes with it on, and would swallow a 0x13 from the line and stop
// our writes), and closing puts back the terminal settings found at open. Of
// the settings block, the speed, the byte size and the flow control reach the
// line, and GetCommState reports them as the line has them; every other field
// is kept with the handle as last applied and the line keeps what it had, so
// applying a block read earlier brings the port back exactly as it was.
#include "compat.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <pthread.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

// The standard rates; a port found at another reads as 0 and is left at it.
static const struct {
    DWORD rate;
    speed_t speed;
} g_bauds[] = {
    {110, B110},     {300, B300},     {600, B600},     {1200, B1200},
    {2400, B2400},   {4800, B4800},   {9600, B9600},   {19200, B19200},
    {38400, B38400}, {57600, B57600}, {115200, B115200},
};

static bool speed_of(DWORD rate, speed_t *speed)
{
    for (const auto &b : g_bauds)
        if (b.rate == rate) {
            *speed = b.speed;
            return true;
        }
    return false;
}

static DWORD rate_of(speed_t speed)
{
    for (const auto &b : g_bauds)
        if (b.speed == speed)
            return b.rate;
    return 0;
}

static const tcflag_t g_sizes[] = {CS5, CS6, CS7, CS8};

// A Windows port keeps its time-outs from one opener to the next; so does
// this table, by device, for the life of the process. A port never given any
// has them all zero, as a freshly started system does.
struct PortTimeouts {
    dev_t device;
    COMMTIMEOUTS timeouts;
};
static PortTimeouts g_port_timeouts[32]; // the first ports given any
static int g_port_timeouts_count;
static pthread_mutex_t g_port_timeouts_lock = PTHREAD_MUTEX_INITIALIZER;

// The time-outs the device has; with set, they become those first.
static COMMTIMEOUTS port_timeouts(dev_t device, const COMMTIMEOUTS *set)
{
    pthread_mutex_lock(&g_port_timeouts_lock);
    int i = 0;
    while (i < g_port_timeouts_count && g_port_timeouts[i].device != device)
        ++i;
    if (set && i == g_port_timeouts_count && i < 32)
        g_port_timeouts[g_port_timeouts_count++].device = device;
    if (set && i < g_port_timeouts_count)
        g_port_timeouts[i].timeouts = *set;
    COMMTIMEOUTS found = i < g_port_timeouts_count ? g_port_timeouts[i].timeouts : COMMTIMEOUTS{};
    pthread_mutex_unlock(&g_port_timeouts_lock);
    return found;
}

// The port behind a handle, given the record a call reads or fills; null,
// with the error set, for a handle that is no port or a missing record.
static CompatHandle *port_with_record(HANDLE file, const void *record)
{
    CompatHandle *handle = compat_handle_get(file, COMPAT_SERIAL);
    if (handle && !record) {
        compat_fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return handle;
}

static void make_raw(struct termios *t)
{
    t->c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IMAXBEL |
                    IXON | IXOFF | IXANY);
    t->c_oflag &= ~OPOST;
    t->c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    t->c_cflag |= CREAD | CLOCAL;
    t->c_cc[VMIN] = 1;
    t->c_cc[VTIME] = 0;
}

// Two shapes of read time-outs the tty can wait out itself, so that a read
// is a single read() that sleeps in the kernel: none at all (every byte, for
// ever: VMIN 1), and "what has arrived, else the first byte within the
// constant" (VMIN 0, VTIME the constant in tenths of a second, rounded up).
// Any other shape is waited out with poll() by ReadFile, over VMIN 1.
static bool tty_waits_out(const COMMTIMEOUTS *t, struct termios *tio)
{
    tio->c_cc[VMIN] = 1;
    tio->c_cc[VTIME] = 0;
    if (!t->ReadIntervalTimeout && !t->ReadTotalTimeoutMultiplier && !t->ReadTotalTimeoutConstant)
        return true;
    if (t->ReadIntervalTimeout == MAXDWORD && t->ReadTotalTimeoutMultiplier == MAXDWORD &&
        t->ReadTotalTimeoutConstant && t->ReadTotalTimeoutConstant <= 25500) {
        tio->c_cc[VMIN] = 0;
        tio->c_cc[VTIME] = static_cast<cc_t>((t->ReadTotalTimeoutConstant + 99) / 100);
        return true;
    }
    return false;
}

// A USB serial adapter holds what it receives until its latency timer runs
// out (16 ms on the common ones), five times as long as a message takes on
// the wire; asked for low latency, its driver sends each byte on at once.
// Ports that have no such setting (a pseudo-terminal) are used as they are.
static void ask_low_latency(int fd)
{
    struct serial_struct serial;
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0 || (serial.flags & ASYNC_LOW_LATENCY))
        return;
    serial.flags |= ASYNC_LOW_LATENCY;
    ioctl(fd, TIOCSSERIAL, &serial);
}

// Who may open a serial port: on Debian and most others, group dialout; a
// group joined counts from the next login on.
static const char DIALOUT_HINT[] = "is your user in group dialout? (log in again after adding it)";

static const char *serial_hint(int error)
{
    return error == EACCES || error == EPERM ? DIALOUT_HINT : nullptr;
}

HANDLE compat_serial_open(const char *path)
{
    struct stat st;
    if (stat(path, &st) != 0) {
        compat_set_cause_errno(path, errno, serial_hint(errno));
        return compat_fail_open(-1, compat_error_from_errno(errno));
    }
    if (!S_ISCHR(st.st_mode)) {
        compat_set_cause(path, "not a serial port", nullptr);
        return compat_fail_open(-1, ERROR_FILE_NOT_FOUND);
    }
    // A real line without carrier would hold open() for ever; reads and
    // writes block as Windows' do once it is open.
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        compat_set_cause_errno(path, errno, serial_hint(errno));
        return compat_fail_open(-1, compat_error_from_errno(errno));
    }
    if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        compat_set_cause_errno(path, errno, nullptr);
        return compat_fail_open(fd, compat_error_from_errno(errno));
    }
    struct termios found;
    if (tcgetattr(fd, &found) != 0) {
        compat_set_cause(path, "not a serial port", nullptr);
        return compat_fail_open(fd, ERROR_FILE_NOT_FOUND); // a character device, but no port
    }
    // A COM port is never shared. The lock holds between our own openers,
    // root included, which the tty's own exclusive mode does not.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        compat_set_cause(path, "another program has it open", nullptr);
        return compat_fail_open(fd, ERROR_ACCESS_DENIED);
    }
    COMMTIMEOUTS timeouts = port_timeouts(st.st_rdev, nullptr);
    struct termios raw = found;
    make_raw(&raw);
    bool tty_waits = tty_waits_out(&timeouts, &raw);
    if (tcsetattr(fd, TCSANOW, &raw) != 0) {
        compat_set_cause_errno(path, errno, nullptr);
        return compat_fail_open(fd, compat_error_from_errno(errno));
    }
    ask_low_latency(fd);
    CompatHandle *handle = compat_handle_new(COMPAT_SERIAL, fd);
    if (!handle) {
        tcsetattr(fd, TCSANOW, &found);
        return compat_fail_open(fd, ERROR_NOT_ENOUGH_MEMORY);
    }
    handle->found = found;
    handle->device = st.st_rdev;
    handle->timeouts = timeouts;
    handle->tty_waits = tty_waits;
    // What a freshly opened port reports beside its speed and byte size.
    handle->dcb.fBinary = 1;
    handle->dcb.fDtrControl = DTR_CONTROL_ENABLE;
    handle->dcb.fRtsControl = RTS_CONTROL_ENABLE;
    return handle->value;
}

BOOL compat_serial_close(CompatHandle *handle)
{
    // The line may already be gone; putting the settings back is best effort.
    tcsetattr(handle->fd, TCSANOW, &handle->found);
    return compat_handle_close(handle);
}

BOOL WINAPI GetCommState(HANDLE file, LPDCB dcb)
{
    CompatHandle *handle = port_with_record(file, dcb);
    if (!handle)
        return FALSE;
    struct termios t;
    if (tcgetattr(handle->fd, &t) != 0)
        return compat_fail_errno(errno);
    DCB d = handle->dcb;
    d.DCBlength = sizeof(DCB);
    d.BaudRate = rate_of(cfgetospeed(&t));
    for (BYTE size = 5; size <= 8; ++size)
        if ((t.c_cflag & CSIZE) == g_sizes[size - 5])
            d.ByteSize = size;
    d.fOutX = (t.c_iflag & IXON) != 0;
    d.fInX = (t.c_iflag & IXOFF) != 0;
    d.fOutxCtsFlow = (t.c_cflag & CRTSCTS) != 0;
    if (t.c_cflag & CRTSCTS)
        d.fRtsControl = RTS_CONTROL_HANDSHAKE;
    else if (d.fRtsControl == RTS_CONTROL_HANDSHAKE)
        d.fRtsControl = RTS_CONTROL_ENABLE;
    *dcb = d;
    return compat_succeed();
}

BOOL WINAPI SetCommState(HANDLE file, LPDCB dcb)
{
    CompatHandle *handle = port_with_record(file, dcb);
    if (!handle)
        return FALSE;
    speed_t speed;
    if (!speed_of(dcb->BaudRate, &speed) || dcb->ByteSize < 5 || dcb->ByteSize > 8 ||
        dcb->Parity > SPACEPARITY || dcb->StopBits > TWOSTOPBITS)
        return compat_fail(ERROR_INVALID_PARAMETER);
    struct termios t;
    if (tcgetattr(handle->fd, &t) != 0)
        return compat_fail_errno(errno);
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    t.c_cflag = (t.c_cflag & ~CSIZE) | g_sizes[dcb->ByteSize - 5];
    t.c_iflag = (t.c_iflag & ~(IXON | IXOFF | IXANY)) | (dcb->fOutX ? IXON : 0) |
                (dcb->fInX ? IXOFF : 0);
    bool handshake = dcb->fOutxCtsFlow || dcb->fRtsControl == RTS_CONTROL_HANDSHAKE;
    t.c_cflag = (t.c_cflag & ~CRTSCTS) | (handshake ? CRTSCTS : 0);
    if (tcsetattr(handle->fd, TCSANOW, &t) != 0)
        return compat_fail_errno(errno);
    handle->dcb = *dcb;
    return compat_succeed();
}

BOOL WINAPI ClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT stat)
{
    // Waiting for an answer polls this without a blocking call in between;
    // TerminateThread must be able to stop such a loop here.
    compat_wait_fd(-1, 0, 0);
    CompatHandle *handle = compat_handle_get(file, COMPAT_SERIAL);
    if (!handle)
        return FALSE;
    int in = 0, out = 0;
    if (ioctl(handle->fd, TIOCINQ, &in) != 0 || ioctl(handle->fd, TIOCOUTQ, &out) != 0)
        return compat_fail_errno(errno);
    if (errors)
        *errors = 0; // termios keeps no error flags to report
    if (stat) {
        memset(stat, 0, sizeof *stat);
        stat->cbInQue = static_cast<DWORD>(in);
        stat->cbOutQue = static_cast<DWORD>(out);
    }
    return compat_succeed();
}

BOOL WINAPI GetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts)
{
    CompatHandle *handle = port_with_record(file, timeouts);
    if (!handle)
        return FALSE;
    *timeouts = handle->timeouts;
    return compat_succeed();
}

BOOL WINAPI SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts)
{
    CompatHandle *handle = port_with_record(file, timeouts);
    if (!handle)
        return FALSE;
    struct termios t;
    if (tcgetattr(handle->fd, &t) != 0)
        return compat_fail_errno(errno);
    bool tty_waits = tty_waits_out(timeouts, &t);
    if (tcsetattr(handle->fd, TCSANOW, &t) != 0)
        return compat_fail_errno(errno);
    handle->timeouts = *timeouts;
    handle->tty_waits = tty_waits;
    port_timeouts(handle->device, timeouts);
    return compat_succeed();
}
