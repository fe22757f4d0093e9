// Files and devices: CreateFileA, ReadFile (of a port), WriteFile, CloseHandle,
// QueryDosDeviceA, GetDefaultCommConfigA, GetFileAttributesA,
// GetCurrentDirectoryA, and the handle table behind every HANDLE.
//
// Device names are resolved the way Wine's dosdevices folder does it: with
// NOTCHKEY_DEVICES naming a folder, COMn is its entry "comn" and the driver
// path \\.\keytap.vxd its entry "keytap.vxd", and nothing else is consulted;
// without it, COM1 to COM32 are /dev/ttyS0 to /dev/ttyS31, COM33 on the
// machine's USB serial devices in turn (so that port=auto finds an adapter)
// and past them /dev/ttyS(n-1) again, and the driver is /dev/uinput. A
// device's own path after \\.\ (\\.\/dev/ttyUSB0), the way a user names a
// port here, is a serial port too. Every other name is an ordinary path, its
// backslashes taken as slashes.
//
// Named objects (CreateMutexA) live where the devices do, as a Wine prefix
// holds both its dosdevices and its wineserver's objects: one name space per
// device folder, and one for the system's own devices; and they are the
// user's own, as a Windows session's are. An object is a lock on a file,
// named after the two, in a folder only the user can write in.
#include "compat.h"
#include "keys/keytap.h"

#include <errno.h>
#include <fcntl.h>
#include <glob.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

// The process's handle table. A HANDLE is the number of a slot, not an
// address: a closed or stale handle finds its slot empty, or holding
// something of another kind, and the call fails with ERROR_INVALID_HANDLE as
// on Windows rather than reading freed memory. Slots are handed out round
// the table, so a number just closed is not soon given out again.
static CompatHandle *g_handles[256];
static unsigned g_next_slot;
static pthread_mutex_t g_handles_lock = PTHREAD_MUTEX_INITIALIZER;

static const unsigned SLOTS = sizeof g_handles / sizeof g_handles[0];

// The slot a handle names, or SLOTS for a value that names none.
static unsigned slot_of(HANDLE value)
{
    uintptr_t n = reinterpret_cast<uintptr_t>(value);
    return n % 4 == 0 && n >= 4 && n / 4 <= SLOTS ? static_cast<unsigned>(n / 4 - 1) : SLOTS;
}

CompatHandle *compat_handle_new(CompatHandleKind kind, int fd)
{
    CompatHandle *handle = static_cast<CompatHandle *>(calloc(1, sizeof(CompatHandle)));
    if (!handle)
        return nullptr;
    handle->kind = kind;
    handle->fd = fd;
    pthread_mutex_lock(&g_handles_lock);
    for (unsigned tried = 0; tried < SLOTS && !handle->value; ++tried, ++g_next_slot) {
        unsigned slot = g_next_slot % SLOTS;
        if (!g_handles[slot]) {
            g_handles[slot] = handle;
            handle->value = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(slot + 1) * 4);
        }
    }
    pthread_mutex_unlock(&g_handles_lock);
    if (!handle->value) {
        free(handle);
        return nullptr;
    }
    return handle;
}

static CompatHandle *handle_in_table(HANDLE value)
{
    unsigned slot = slot_of(value);
    pthread_mutex_lock(&g_handles_lock);
    CompatHandle *handle = slot < SLOTS ? g_handles[slot] : nullptr;
    pthread_mutex_unlock(&g_handles_lock);
    return handle;
}

CompatHandle *compat_handle_get(HANDLE value, CompatHandleKind kind)
{
    CompatHandle *handle = handle_in_table(value);
    if (!handle || handle->kind != kind) {
        compat_fail(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return handle;
}

BOOL compat_handle_close(CompatHandle *handle)
{
    int rc = handle->fd >= 0 ? close(handle->fd) : 0;
    int error = errno;
    compat_handle_free(handle);
    return rc == 0 ? TRUE : compat_fail_errno(error);
}

void compat_handle_free(CompatHandle *handle)
{
    unsigned slot = slot_of(handle->value);
    pthread_mutex_lock(&g_handles_lock);
    if (slot < SLOTS && g_handles[slot] == handle)
        g_handles[slot] = nullptr;
    pthread_mutex_unlock(&g_handles_lock);
    free(handle);
}

// "COM1".."COM256", in any letter case, with or without the \\.\ prefix;
// 0 for any other name.
static int com_number(const char *name)
{
    if (strncmp(name, "\\\\.\\", 4) == 0)
        name += 4;
    if (strncasecmp(name, "COM", 3) != 0 || name[3] < '1' || name[3] > '9')
        return 0;
    int n = 0;
    for (const char *c = name + 3; *c; ++c) {
        if (*c < '0' || *c > '9' || c - name >= 6)
            return 0;
        n = n * 10 + (*c - '0');
    }
    return n <= 256 ? n : 0;
}

// The COM numbers of the machine's own serial ports; the USB ones follow.
static const int TTYS_PORTS = 32;

// The index'th (from 0) of the machine's USB serial devices into path: each
// once, those of /dev/serial/by-id by their names there (which stay the same
// from one plug-in to the next), then any /dev/ttyUSB* and /dev/ttyACM* not
// among them. False past the last.
static bool usb_serial(int index, char *path, size_t cap)
{
    glob_t found;
    int flags = 0;
    for (const char *pattern : {"/dev/serial/by-id/*", "/dev/ttyUSB*", "/dev/ttyACM*"}) {
        glob(pattern, flags, nullptr, &found);
        flags = GLOB_APPEND;
    }
    std::vector<std::string> seen;
    char device[PATH_MAX];
    for (size_t i = 0; i < found.gl_pathc && static_cast<int>(seen.size()) <= index; ++i) {
        if (!realpath(found.gl_pathv[i], device))
            continue;
        bool again = false;
        for (const std::string &other : seen)
            again = again || other == device;
        if (!again && static_cast<int>(seen.size()) == index)
            snprintf(path, cap, "%s", found.gl_pathv[i]);
        if (!again)
            seen.push_back(device);
    }
    globfree(&found);
    return static_cast<int>(seen.size()) > index;
}

CompatDevice compat_resolve_device(const char *name, char *path, size_t cap)
{
    const char *dir = getenv("NOTCHKEY_DEVICES");
    if (dir && !*dir)
        dir = nullptr;
    int n = com_number(name);
    if (n) {
        if (dir)
            snprintf(path, cap, "%s/com%d", dir, n);
        else if (n <= TTYS_PORTS || !usb_serial(n - TTYS_PORTS - 1, path, cap))
            snprintf(path, cap, "/dev/ttyS%d", n - 1);
        return COMPAT_DEVICE_SERIAL;
    }
    if (strncmp(name, "\\\\.\\/", 5) == 0) {
        snprintf(path, cap, "%s", name + 4);
        return COMPAT_DEVICE_SERIAL;
    }
    if (strcasecmp(name, KEYDRV_PATH) == 0) {
        snprintf(path, cap, "%s%s", dir ? dir : "/dev/uinput", dir ? "/keytap.vxd" : "");
        return COMPAT_DEVICE_KEYDRV;
    }
    return COMPAT_DEVICE_NONE;
}

// The folder of this user's named objects, as a Windows session's objects
// are the session's: in the session's runtime folder where there is one,
// else in /tmp. Made by this user and for this user alone (as Wine keeps its
// server's), or not used at all: in a folder another user made or can write
// in, they could take our objects first.
static bool objects_folder(char *path, size_t cap)
{
    const char *runtime = getenv("XDG_RUNTIME_DIR");
    if (!runtime || runtime[0] != '/')
        runtime = "/tmp";
    uid_t uid = getuid();
    int len = snprintf(path, cap, "%s/notchkey-%u", runtime, static_cast<unsigned>(uid));
    if (len < 0 || static_cast<size_t>(len) >= cap)
        return false;
    struct stat st;
    if (mkdir(path, 0700) != 0 && errno != EEXIST)
        return false;
    return lstat(path, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == uid &&
           (st.st_mode & 077) == 0;
}

HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL, LPCSTR name)
{
    // Unnamed ones are nobody else's business; nothing here needs them.
    if (!name || !*name) {
        compat_fail(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    const char *dir = getenv("NOTCHKEY_DEVICES");
    char space[PATH_MAX] = "/dev";
    if (dir && *dir && !realpath(dir, space))
        snprintf(space, sizeof space, "%s", dir);
    // FNV-1a over the name space and the name: a folder's path and a name
    // together may not fit in a file name.
    unsigned long long hash = 14695981039346656037ull;
    const char *parts[] = {space, "\n", name};
    for (const char *part : parts)
        for (const char *c = part; *c; ++c)
            hash = (hash ^ static_cast<unsigned char>(*c)) * 1099511628211ull;
    char folder[PATH_MAX - 32];
    if (!objects_folder(folder, sizeof folder)) {
        compat_fail(ERROR_ACCESS_DENIED);
        return NULL;
    }
    char path[PATH_MAX];
    snprintf(path, sizeof path, "%s/object-%016llx", folder, hash);
    int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        compat_fail_errno(errno);
        return NULL;
    }
    // The object is the lock on its file; the kernel lets go of it when the
    // process ends, however it ends.
    bool exists = flock(fd, LOCK_EX | LOCK_NB) != 0;
    if (exists && errno != EWOULDBLOCK) {
        compat_fail_open(fd, compat_error_from_errno(errno));
        return NULL;
    }
    if (exists) {
        char quoted[300];
        snprintf(quoted, sizeof quoted, "\"%s\"", name);
        compat_set_cause(quoted, "another process holds it", nullptr);
    }
    CompatHandle *handle = compat_handle_new(COMPAT_OBJECT, fd);
    if (!handle) {
        compat_fail_open(fd, ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    // Another holder: the handle stands for the same object.
    if (exists)
        compat_fail(ERROR_ALREADY_EXISTS);
    else
        compat_succeed();
    return handle->value;
}

void compat_native_path(const char *name, char *path, size_t cap)
{
    snprintf(path, cap, "%s", name);
    for (char *c = path; *c; ++c)
        if (*c == '\\')
            *c = '/';
}

static HANDLE open_file(const char *name, DWORD access, DWORD share, DWORD disposition)
{
    int flags = O_CLOEXEC | (!(access & GENERIC_WRITE) ? O_RDONLY
                             : (access & GENERIC_READ) ? O_RDWR : O_WRONLY);
    switch (disposition) {
    case CREATE_NEW: flags |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS: flags |= O_CREAT | O_TRUNC; break;
    case OPEN_EXISTING: break;
    default: return compat_fail_open(-1, ERROR_INVALID_PARAMETER);
    }
    // Windows checks sharing before it truncates; take the lock on an
    // untruncated descriptor so a refused open leaves the file as it was.
    int fd = open(name, flags & ~O_TRUNC, 0666);
    if (fd < 0) {
        compat_set_cause_errno(name, errno, nullptr);
        return compat_fail_open(-1, compat_error_from_errno(errno));
    }
    int lock = (share & FILE_SHARE_WRITE) ? LOCK_SH : LOCK_EX;
    if (flock(fd, lock | LOCK_NB) != 0) {
        compat_set_cause(name, "another program has it open", nullptr);
        return compat_fail_open(fd, ERROR_SHARING_VIOLATION);
    }
    // Only a regular file has a length to cut; a device such as /dev/full is
    // opened as it is.
    struct stat st;
    if ((flags & O_TRUNC) && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ftruncate(fd, 0) != 0) {
        compat_set_cause_errno(name, errno, nullptr);
        return compat_fail_open(fd, compat_error_from_errno(errno));
    }
    CompatHandle *handle = compat_handle_new(COMPAT_FILE, fd);
    if (!handle)
        return compat_fail_open(fd, ERROR_NOT_ENOUGH_MEMORY);
    return handle->value;
}

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                          DWORD disposition, DWORD, HANDLE)
{
    compat_clear_cause();
    if (!name)
        return compat_fail_open(-1, ERROR_INVALID_PARAMETER);
    char path[4096];
    switch (compat_resolve_device(name, path, sizeof path)) {
    case COMPAT_DEVICE_SERIAL: return compat_serial_open(path);
    case COMPAT_DEVICE_KEYDRV: return compat_keydrv_open(path);
    case COMPAT_DEVICE_NONE: break;
    }
    compat_native_path(name, path, sizeof path);
    return open_file(path, access, share, disposition);
}

DWORD WINAPI QueryDosDeviceA(LPCSTR name, LPSTR out, DWORD size)
{
    char path[4096];
    char device[PATH_MAX];
    if (!name || !out)
        return compat_fail(ERROR_INVALID_PARAMETER);
    // A device's own path is a name of its own, as COMn is.
    snprintf(device, sizeof device, "\\\\.\\%s", name);
    if (strncmp(name, "\\\\.\\", 4) == 0 ||
        compat_resolve_device(name[0] == '/' ? device : name, path, sizeof path) !=
            COMPAT_DEVICE_SERIAL ||
        !realpath(path, device))
        return compat_fail(ERROR_FILE_NOT_FOUND);
    size_t len = strlen(device);
    if (len + 2 > size)
        return compat_fail(ERROR_INSUFFICIENT_BUFFER);
    memcpy(out, device, len);
    out[len] = out[len + 1] = '\0';
    compat_succeed();
    return static_cast<DWORD>(len + 2);
}

BOOL WINAPI GetDefaultCommConfigA(LPCSTR name, LPCOMMCONFIG config, LPDWORD size)
{
    char device[4096], path[4096];
    struct stat st;
    if (!name || !config || !size)
        return compat_fail(ERROR_INVALID_PARAMETER);
    if (*size < sizeof *config) {
        *size = sizeof *config;
        return compat_fail(ERROR_INSUFFICIENT_BUFFER);
    }
    snprintf(device, sizeof device, "\\\\.\\%s", name);
    if (compat_resolve_device(device, path, sizeof path) != COMPAT_DEVICE_SERIAL ||
        stat(path, &st) != 0 || !S_ISCHR(st.st_mode))
        return compat_fail(ERROR_FILE_NOT_FOUND);
    memset(config, 0, sizeof *config);
    config->dwSize = sizeof *config;
    config->dcb.DCBlength = sizeof config->dcb;
    return compat_succeed();
}

DWORD WINAPI GetFileAttributesA(LPCSTR name)
{
    char path[4096];
    struct stat st;
    if (!name) {
        compat_fail(ERROR_INVALID_PARAMETER);
        return INVALID_FILE_ATTRIBUTES;
    }
    compat_native_path(name, path, sizeof path);
    if (stat(path, &st) != 0) {
        compat_fail_errno(errno);
        return INVALID_FILE_ATTRIBUTES;
    }
    return S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
}

DWORD WINAPI GetCurrentDirectoryA(DWORD size, LPSTR out)
{
    char path[PATH_MAX];
    if (!getcwd(path, sizeof path))
        return compat_fail_errno(errno);
    size_t len = strlen(path);
    // Too small a buffer gets nothing, and the size it needs.
    if (!out || len + 1 > size)
        return static_cast<DWORD>(len + 1);
    memcpy(out, path, len + 1);
    return static_cast<DWORD>(len);
}

// How long a port's read may still wait for its next bytes: -1 for ever, 0
// not at all, else milliseconds. With an interval of MAXDWORD the read takes
// what has arrived, waiting up to the constant for a first byte when the
// multiplier is MAXDWORD too; otherwise the total (multiplier times bytes
// asked for, plus constant, 0 for none) bounds it. Other intervals are kept
// and not applied.
static int port_wait_ms(const COMMTIMEOUTS *t, DWORD to_read, DWORD done, long long began)
{
    long long total = static_cast<long long>(t->ReadTotalTimeoutMultiplier) * to_read +
                      t->ReadTotalTimeoutConstant;
    if (t->ReadIntervalTimeout == MAXDWORD) {
        if (done || t->ReadTotalTimeoutMultiplier != MAXDWORD)
            return 0;
        total = t->ReadTotalTimeoutConstant;
    } else if (!total) {
        return -1;
    }
    long long left = began + total - compat_now_ms();
    return left <= 0 ? 0 : left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

// A port whose tty waits out the time-outs itself, with no poll() before the
// read(): sleeping in poll() and then reading costs a third again of what the
// program does for a message. A read that brings nothing has timed out or
// found the line hung up; the latter comes back at once, and is held to the
// time-out as in ReadFile's loop.
static DWORD read_port_direct(CompatHandle *handle, char *at, DWORD to_read, DWORD *done)
{
    const COMMTIMEOUTS *t = &handle->timeouts;
    bool first_within = t->ReadIntervalTimeout == MAXDWORD;
    long long began = first_within ? compat_now_ms() : 0;
    while (*done < to_read) {
        ssize_t n = compat_blocking_read(handle->fd, at + *done, to_read - *done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return compat_error_from_errno(errno);
        if (n == 0) {
            long long left = first_within ? began + t->ReadTotalTimeoutConstant - compat_now_ms() : 0;
            if (left > 0)
                compat_wait_fd(-1, 0, static_cast<int>(left));
            break;
        }
        *done += static_cast<DWORD>(n);
        if (first_within)
            break;
    }
    return ERROR_SUCCESS;
}

// Ports only: the program reads nothing else. A read returns once every byte
// has arrived or its time-outs say so.
BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD to_read, LPDWORD read_count, LPOVERLAPPED)
{
    if (read_count)
        *read_count = 0;
    CompatHandle *handle = compat_handle_get(file, COMPAT_SERIAL);
    if (!handle)
        return FALSE;
    char *at = static_cast<char *>(buffer);
    DWORD done = 0;
    DWORD error = ERROR_SUCCESS;
    if (handle->tty_waits) {
        if (to_read > 0)
            error = read_port_direct(handle, at, to_read, &done);
        if (read_count)
            *read_count = done;
        SetLastError(error);
        return error == ERROR_SUCCESS ? TRUE : FALSE;
    }
    long long began = compat_now_ms();
    while (done < to_read) {
        int ready = compat_wait_fd(handle->fd, POLLIN,
                                   port_wait_ms(&handle->timeouts, to_read, done, began));
        if (ready <= 0) {
            if (ready < 0)
                error = compat_error_from_errno(errno);
            break; // timed out: what has arrived is the result
        }
        ssize_t n = read(handle->fd, at + done, to_read - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = compat_error_from_errno(errno);
            break;
        }
        // The line hung up. The port answers as Wine's does, success with
        // what has arrived, down to nothing, once the read's time-out has run
        // out; without one (where Wine's read would spin for ever) at once.
        if (n == 0) {
            int left = port_wait_ms(&handle->timeouts, to_read, done, began);
            if (left > 0)
                compat_wait_fd(-1, 0, left);
            break;
        }
        done += static_cast<DWORD>(n);
    }
    if (read_count)
        *read_count = done;
    SetLastError(error);
    return error == ERROR_SUCCESS ? TRUE : FALSE;
}

int compat_write_all(int fd, const void *data, size_t len, size_t *done, int timeout_ms)
{
    const char *at = static_cast<const char *>(data);
    // A whole millisecond more: the clock's reading may be nearly one old.
    long long until = compat_now_ms() + timeout_ms + 1;
    for (*done = 0; *done < len;) {
        // A reader that stalls must not keep a terminated thread here; the
        // write waits itself, with no poll() before it, where it can.
        ssize_t n = compat_blocking_write(fd, at + *done, len - *done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            long long left = timeout_ms < 0 ? -1 : until - compat_now_ms();
            if (timeout_ms >= 0 && left <= 0)
                return ETIMEDOUT;
            compat_wait_fd(fd, POLLOUT, static_cast<int>(left));
            continue;
        }
        if (n <= 0)
            return n < 0 ? errno : EIO;
        *done += static_cast<size_t>(n);
    }
    return 0;
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD to_write, LPDWORD written, LPOVERLAPPED)
{
    if (written)
        *written = 0;
    CompatHandle *handle = compat_handle_get(file, COMPAT_SERIAL);
    if (!handle)
        handle = compat_handle_get(file, COMPAT_FILE);
    if (!handle)
        return FALSE;
    size_t done = 0;
    int error;
    long long total = handle->kind == COMPAT_SERIAL
                          ? static_cast<long long>(handle->timeouts.WriteTotalTimeoutMultiplier) *
                                    to_write +
                                handle->timeouts.WriteTotalTimeoutConstant
                          : 0;
    if (total > 0) {
        // A port's write with a time-out waits in poll() rather than in a
        // write() the line may never let return; past the time-out it
        // succeeds with what went out, as the system's does.
        int flags = fcntl(handle->fd, F_GETFL);
        fcntl(handle->fd, F_SETFL, flags | O_NONBLOCK);
        error = compat_write_all(handle->fd, buffer, to_write, &done,
                                 total > INT_MAX ? INT_MAX : static_cast<int>(total));
        fcntl(handle->fd, F_SETFL, flags);
        if (error == ETIMEDOUT)
            error = 0;
    } else {
        error = compat_write_all(handle->fd, buffer, to_write, &done, -1);
    }
    if (written)
        *written = static_cast<DWORD>(done);
    if (error)
        return compat_fail_errno(error);
    return compat_succeed();
}

BOOL WINAPI CloseHandle(HANDLE object)
{
    CompatHandle *handle = handle_in_table(object);
    if (!handle)
        return compat_fail(ERROR_INVALID_HANDLE);
    switch (handle->kind) {
    case COMPAT_SERIAL: return compat_serial_close(handle);
    case COMPAT_KEYDRV: return compat_keydrv_close(handle);
    case COMPAT_THREAD: return compat_thread_close(handle);
    case COMPAT_FILE:
    case COMPAT_OBJECT:
    case COMPAT_EVENT: break;
    }
    return compat_handle_close(handle);
}
