// Serial ports over termios: opening a tty as COMn, GetCommState,
// SetCommState, ClearCommError, GetCommTimeouts, SetCommTimeouts.
//
// The port is opened without waiting for carrier, and asked for low latency
// where its driver has it. A Windows port carries bytes untouched, so opening
// puts the tty in raw mode and closing puts back the terminal settings found
// at open. The settings block maps onto termios where termios has a place
// for a field (speed, byte size, parity, stop bits, flow control, XON/XOFF
// characters); every other field is kept with the handle as last applied, so
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

struct BaudMap {
    DWORD rate;
    speed_t speed;
};

static const BaudMap g_bauds[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},
    {150, B150},       {200, B200},       {300, B300},       {600, B600},
    {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

static bool speed_of(DWORD rate, speed_t *speed)
{
    for (const BaudMap &b : g_bauds)
        if (b.rate == rate) {
            *speed = b.speed;
            return true;
        }
    return false;
}

static DWORD rate_of(speed_t speed)
{
    for (const BaudMap &b : g_bauds)
        if (b.speed == speed)
            return b.rate;
    return 0; // B0: the line is being hung up
}

// A Windows port keeps its time-outs from one opener to the next; so does
// this table, by device, for the life of the process. A port never given any
// has them all zero, as a freshly started system does.
struct PortTimeouts {
    dev_t device;
    COMMTIMEOUTS timeouts;
};
static PortTimeouts g_port_timeouts[32];
static int g_port_timeouts_count;
static pthread_mutex_t g_port_timeouts_lock = PTHREAD_MUTEX_INITIALIZER;

static COMMTIMEOUTS timeouts_of(dev_t device)
{
    COMMTIMEOUTS found;
    memset(&found, 0, sizeof found);
    pthread_mutex_lock(&g_port_timeouts_lock);
    for (int i = 0; i < g_port_timeouts_count; ++i)
        if (g_port_timeouts[i].device == device)
            found = g_port_timeouts[i].timeouts;
    pthread_mutex_unlock(&g_port_timeouts_lock);
    return found;
}

static void remember_timeouts(dev_t device, const COMMTIMEOUTS *timeouts)
{
    pthread_mutex_lock(&g_port_timeouts_lock);
    int i = 0;
    while (i < g_port_timeouts_count && g_port_timeouts[i].device != device)
        ++i;
    if (i < static_cast<int>(sizeof g_port_timeouts / sizeof g_port_timeouts[0])) {
        g_port_timeouts[i].device = device;
        g_port_timeouts[i].timeouts = *timeouts;
        if (i == g_port_timeouts_count)
            ++g_port_timeouts_count;
    }
    pthread_mutex_unlock(&g_port_timeouts_lock);
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
    t->c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IMAXBEL);
    t->c_oflag &= ~OPOST;
    t->c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    t->c_cflag |= CREAD | CLOCAL;
    t->c_cc[VMIN] = 1;
    t->c_cc[VTIME] = 0;
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

HANDLE compat_serial_open(const char *path)
{
    struct stat st;
    if (stat(path, &st) != 0) {
        compat_fail_errno(errno);
        return INVALID_HANDLE_VALUE;
    }
    if (!S_ISCHR(st.st_mode)) {
        compat_fail(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // A real line without carrier would hold open() for ever; reads and
    // writes block as Windows' do once it is open.
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        compat_fail_errno(errno);
        return INVALID_HANDLE_VALUE;
    }
    if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        int error = errno;
        close(fd);
        compat_fail_errno(error);
        return INVALID_HANDLE_VALUE;
    }
    struct termios found;
    if (tcgetattr(fd, &found) != 0) {
        close(fd);
        compat_fail(ERROR_FILE_NOT_FOUND); // a character device, but no port
        return INVALID_HANDLE_VALUE;
    }
    // A COM port is never shared. The lock holds between our own openers,
    // root included, which the tty's own exclusive mode does not.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        compat_fail(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    struct termios raw = found;
    make_raw(&raw);
    if (tcsetattr(fd, TCSANOW, &raw) != 0) {
        int error = errno;
        close(fd);
        compat_fail_errno(error);
        return INVALID_HANDLE_VALUE;
    }
    ask_low_latency(fd);
    CompatHandle *handle = compat_handle_new(COMPAT_SERIAL, fd);
    if (!handle) {
        tcsetattr(fd, TCSANOW, &found);
        close(fd);
        compat_fail(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    handle->found = found;
    handle->device = st.st_rdev;
    handle->timeouts = timeouts_of(st.st_rdev);
    DCB &dcb = handle->dcb;
    dcb.DCBlength = sizeof(DCB);
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fTXContinueOnXoff = 1;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    return handle;
}

BOOL compat_serial_close(CompatHandle *handle)
{
    // The line may already be gone; putting the settings back is best effort.
    tcsetattr(handle->fd, TCSANOW, &handle->found);
    int rc = close(handle->fd);
    int error = errno;
    compat_handle_free(handle);
    return rc == 0 ? TRUE : compat_fail_errno(error);
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
    switch (t.c_cflag & CSIZE) {
    case CS5: d.ByteSize = 5; break;
    case CS6: d.ByteSize = 6; break;
    case CS7: d.ByteSize = 7; break;
    default: d.ByteSize = 8; break;
    }
    if (!(t.c_cflag & PARENB))
        d.Parity = NOPARITY;
    else if (t.c_cflag & CMSPAR)
        d.Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    else
        d.Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    if (!(t.c_cflag & CSTOPB))
        d.StopBits = ONESTOPBIT;
    else if (d.StopBits != ONE5STOPBITS || d.ByteSize != 5)
        d.StopBits = TWOSTOPBITS;
    d.fParity = (t.c_iflag & INPCK) ? 1 : 0;
    d.fOutX = (t.c_iflag & IXON) ? 1 : 0;
    d.fInX = (t.c_iflag & IXOFF) ? 1 : 0;
    if (t.c_cflag & CRTSCTS) {
        d.fOutxCtsFlow = 1;
        d.fRtsControl = RTS_CONTROL_HANDSHAKE;
    } else {
        d.fOutxCtsFlow = 0;
        if (d.fRtsControl == RTS_CONTROL_HANDSHAKE)
            d.fRtsControl = RTS_CONTROL_ENABLE;
    }
    d.XonChar = static_cast<char>(t.c_cc[VSTART]);
    d.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
    *dcb = d;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI SetCommState(HANDLE file, LPDCB dcb)
{
    CompatHandle *handle = port_with_record(file, dcb);
    if (!handle)
        return FALSE;
    speed_t speed;
    if (!speed_of(dcb->BaudRate, &speed) || dcb->ByteSize < 5 || dcb->ByteSize > 8 ||
        dcb->Parity > SPACEPARITY || dcb->StopBits > TWOSTOPBITS ||
        (dcb->StopBits == ONE5STOPBITS && dcb->ByteSize != 5) ||
        (dcb->StopBits == TWOSTOPBITS && dcb->ByteSize == 5))
        return compat_fail(ERROR_INVALID_PARAMETER);
    struct termios t;
    if (tcgetattr(handle->fd, &t) != 0)
        return compat_fail_errno(errno);
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag = (t.c_cflag & ~CSIZE) | sizes[dcb->ByteSize - 5];
    t.c_cflag &= ~(PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    switch (dcb->Parity) {
    case ODDPARITY: t.c_cflag |= PARENB | PARODD; break;
    case EVENPARITY: t.c_cflag |= PARENB; break;
    case MARKPARITY: t.c_cflag |= PARENB | PARODD | CMSPAR; break;
    case SPACEPARITY: t.c_cflag |= PARENB | CMSPAR; break;
    default: break;
    }
    if (dcb->StopBits != ONESTOPBIT)
        t.c_cflag |= CSTOPB;
    if (dcb->fOutxCtsFlow || dcb->fRtsControl == RTS_CONTROL_HANDSHAKE)
        t.c_cflag |= CRTSCTS;
    t.c_iflag &= ~(INPCK | IXON | IXOFF);
    if (dcb->fParity)
        t.c_iflag |= INPCK;
    if (dcb->fOutX)
        t.c_iflag |= IXON;
    if (dcb->fInX)
        t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = static_cast<cc_t>(dcb->XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(dcb->XoffChar);
    if (tcsetattr(handle->fd, TCSANOW, &t) != 0)
        return compat_fail_errno(errno);
    handle->dcb = *dcb;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI ClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT stat)
{
    // Waiting for an answer polls this without a blocking call in between;
    // TerminateThread must be able to stop such a loop here.
    compat_thread_checkpoint();
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
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI GetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts)
{
    CompatHandle *handle = port_with_record(file, timeouts);
    if (!handle)
        return FALSE;
    *timeouts = handle->timeouts;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts)
{
    CompatHandle *handle = port_with_record(file, timeouts);
    if (!handle)
        return FALSE;
    handle->timeouts = *timeouts;
    remember_timeouts(handle->device, timeouts);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}
