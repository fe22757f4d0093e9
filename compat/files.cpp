// Files and devices: CreateFileA, ReadFile, WriteFile, CloseHandle.
//
// Device names are resolved the way Wine's dosdevices folder does it: with
// NOTCHKEY_DEVICES naming a folder, COMn is its entry "comn" and the driver
// path \\.\keytap.vxd its entry "keytap.vxd", and nothing else is consulted;
// without it, COMn is /dev/ttyS(n-1) and the driver is /dev/uinput. Every
// other name is an ordinary path, its backslashes taken as slashes.
#include "compat.h"
#include "keys/keytap.h"

#include <errno.h>
#include <fcntl.h>
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

static const DWORD HANDLE_MAGIC = 0x6e6b6864; // "nkhd"

// Every open handle, as the process's handle table: one left open on purpose
// (the program leaves some to the end of the process) is still held here.
static CompatHandle *g_handles;
static pthread_mutex_t g_handles_lock = PTHREAD_MUTEX_INITIALIZER;

CompatHandle *compat_handle_new(CompatHandleKind kind, int fd)
{
    CompatHandle *handle = static_cast<CompatHandle *>(calloc(1, sizeof(CompatHandle)));
    if (!handle)
        return nullptr;
    handle->magic = HANDLE_MAGIC;
    handle->kind = kind;
    handle->fd = fd;
    pthread_mutex_lock(&g_handles_lock);
    handle->next = g_handles;
    if (g_handles)
        g_handles->prev = handle;
    g_handles = handle;
    pthread_mutex_unlock(&g_handles_lock);
    return handle;
}

CompatHandle *compat_handle_get(HANDLE object, CompatHandleKind kind)
{
    CompatHandle *handle = static_cast<CompatHandle *>(object);
    if (!handle || object == INVALID_HANDLE_VALUE || handle->magic != HANDLE_MAGIC ||
        handle->kind != kind) {
        compat_fail(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return handle;
}

void compat_handle_free(CompatHandle *handle)
{
    pthread_mutex_lock(&g_handles_lock);
    if (handle->prev)
        handle->prev->next = handle->next;
    else
        g_handles = handle->next;
    if (handle->next)
        handle->next->prev = handle->prev;
    pthread_mutex_unlock(&g_handles_lock);
    handle->magic = 0;
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

CompatDevice compat_resolve_device(const char *name, char *path, size_t cap)
{
    const char *dir = getenv("NOTCHKEY_DEVICES");
    if (dir && !*dir)
        dir = nullptr;
    int n = com_number(name);
    if (n) {
        if (dir)
            snprintf(path, cap, "%s/com%d", dir, n);
        else
            snprintf(path, cap, "/dev/ttyS%d", n - 1);
        return COMPAT_DEVICE_SERIAL;
    }
    if (strcasecmp(name, KEYDRV_PATH) == 0) {
        if (dir)
            snprintf(path, cap, "%s/keytap.vxd", dir);
        else
            snprintf(path, cap, "/dev/uinput");
        return COMPAT_DEVICE_KEYDRV;
    }
    return COMPAT_DEVICE_NONE;
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
    int flags = O_CLOEXEC;
    if ((access & GENERIC_READ) && (access & GENERIC_WRITE))
        flags |= O_RDWR;
    else if (access & GENERIC_WRITE)
        flags |= O_WRONLY;
    else
        flags |= O_RDONLY;
    switch (disposition) {
    case CREATE_NEW: flags |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS: flags |= O_CREAT | O_TRUNC; break;
    case OPEN_EXISTING: break;
    case OPEN_ALWAYS: flags |= O_CREAT; break;
    case TRUNCATE_EXISTING: flags |= O_TRUNC; break;
    default: compat_fail(ERROR_INVALID_PARAMETER); return INVALID_HANDLE_VALUE;
    }
    // Windows checks sharing before it truncates; take the lock on an
    // untruncated descriptor so a refused open leaves the file as it was.
    int fd = open(name, flags & ~O_TRUNC, 0666);
    if (fd < 0) {
        compat_fail_errno(errno);
        return INVALID_HANDLE_VALUE;
    }
    int lock = (share & FILE_SHARE_WRITE) ? LOCK_SH : LOCK_EX;
    if (flock(fd, lock | LOCK_NB) != 0) {
        close(fd);
        compat_fail(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    // Only a regular file has a length to cut; a device such as /dev/full is
    // opened as it is.
    struct stat st;
    if ((flags & O_TRUNC) && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ftruncate(fd, 0) != 0) {
        int error = errno;
        close(fd);
        compat_fail_errno(error);
        return INVALID_HANDLE_VALUE;
    }
    CompatHandle *handle = compat_handle_new(COMPAT_FILE, fd);
    if (!handle) {
        close(fd);
        compat_fail(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD flags, HANDLE template_file)
{
    (void)security;
    (void)flags;
    (void)template_file;
    if (!name) {
        compat_fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    char path[4096];
    switch (compat_resolve_device(name, path, sizeof path)) {
    case COMPAT_DEVICE_SERIAL: return compat_serial_open(path);
    case COMPAT_DEVICE_KEYDRV: return compat_keydrv_open(path);
    case COMPAT_DEVICE_NONE: break;
    }
    compat_native_path(name, path, sizeof path);
    return open_file(path, access, share, disposition);
}

// The record behind a handle ReadFile and WriteFile take: a port or a file.
static CompatHandle *transfer_handle(HANDLE file)
{
    CompatHandle *handle = compat_handle_get(file, COMPAT_SERIAL);
    return handle ? handle : compat_handle_get(file, COMPAT_FILE);
}

static long long now_ms(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

// How long a port's read may still wait for its next bytes under the port's
// time-outs: -1 for ever, 0 not at all, else milliseconds.
static int port_wait_ms(const COMMTIMEOUTS *t, DWORD to_read, DWORD done, long long began,
                        long long last_byte)
{
    if (t->ReadIntervalTimeout == MAXDWORD && !t->ReadTotalTimeoutMultiplier &&
        !t->ReadTotalTimeoutConstant)
        return 0;
    long long now = now_ms();
    // Whatever has arrived at once, else the first byte within the constant.
    if (t->ReadIntervalTimeout == MAXDWORD && t->ReadTotalTimeoutMultiplier == MAXDWORD &&
        t->ReadTotalTimeoutConstant && t->ReadTotalTimeoutConstant < MAXDWORD) {
        long long end = began + t->ReadTotalTimeoutConstant;
        return done || end <= now ? 0 : static_cast<int>(end - now);
    }
    long long wait = -1;
    long long total = static_cast<long long>(t->ReadTotalTimeoutMultiplier) * to_read +
                      t->ReadTotalTimeoutConstant;
    if (total)
        wait = began + total > now ? began + total - now : 0;
    if (done && t->ReadIntervalTimeout && t->ReadIntervalTimeout != MAXDWORD) {
        long long interval = last_byte + t->ReadIntervalTimeout > now
                                 ? last_byte + t->ReadIntervalTimeout - now
                                 : 0;
        if (wait < 0 || interval < wait)
            wait = interval;
    }
    return wait > INT_MAX ? INT_MAX : static_cast<int>(wait);
}

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD to_read, LPDWORD read_count,
                     LPOVERLAPPED overlapped)
{
    (void)overlapped;
    if (read_count)
        *read_count = 0;
    CompatHandle *handle = transfer_handle(file);
    if (!handle)
        return FALSE;
    bool port = handle->kind == COMPAT_SERIAL;
    char *at = static_cast<char *>(buffer);
    DWORD done = 0;
    DWORD error = ERROR_SUCCESS;
    long long began = port ? now_ms() : 0;
    long long last_byte = began;
    // A port returns once every byte has arrived or its time-outs say so; a
    // file returns what it has, and 0 bytes at its end.
    while (done < to_read) {
        if (port) {
            int ready = compat_wait_fd(handle->fd, POLLIN,
                                       port_wait_ms(&handle->timeouts, to_read, done, began,
                                                    last_byte));
            if (ready < 0) {
                error = compat_error_from_errno(errno);
                break;
            }
            if (ready == 0)
                break; // timed out: what has arrived is the result
        }
        ssize_t n = read(handle->fd, at + done, to_read - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = compat_error_from_errno(errno);
            break;
        }
        // A file's end, or a port whose line hung up. The port answers as
        // Wine's does, success with what has arrived, down to nothing, once
        // the read's time-out has run out; without one (where Wine's read
        // would spin for ever) at once.
        if (n == 0) {
            int left = port ? port_wait_ms(&handle->timeouts, to_read, done, began, last_byte) : 0;
            if (left > 0)
                compat_wait_fd(-1, 0, left);
            break;
        }
        done += static_cast<DWORD>(n);
        if (port)
            last_byte = now_ms();
        else
            break;
    }
    if (read_count)
        *read_count = done;
    SetLastError(error);
    return error == ERROR_SUCCESS ? TRUE : FALSE;
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD to_write, LPDWORD written,
                      LPOVERLAPPED overlapped)
{
    (void)overlapped;
    if (written)
        *written = 0;
    CompatHandle *handle = transfer_handle(file);
    if (!handle)
        return FALSE;
    const char *at = static_cast<const char *>(buffer);
    DWORD done = 0;
    while (done < to_write) {
        if (handle->kind == COMPAT_SERIAL)
            compat_wait_fd(handle->fd, POLLOUT, -1);
        ssize_t n = write(handle->fd, at + done, to_write - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            int error = n < 0 ? errno : EIO;
            if (written)
                *written = done;
            return compat_fail_errno(error);
        }
        done += static_cast<DWORD>(n);
    }
    if (written)
        *written = done;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE object)
{
    CompatHandle *handle = static_cast<CompatHandle *>(object);
    if (!object || object == INVALID_HANDLE_VALUE || handle->magic != HANDLE_MAGIC)
        return compat_fail(ERROR_INVALID_HANDLE);
    switch (handle->kind) {
    case COMPAT_SERIAL: return compat_serial_close(handle);
    case COMPAT_KEYDRV: return compat_keydrv_close(handle);
    case COMPAT_THREAD: return compat_thread_close(handle);
    case COMPAT_FILE: break;
    }
    int rc = close(handle->fd);
    int error = errno;
    compat_handle_free(handle);
    return rc == 0 ? TRUE : compat_fail_errno(error);
}
