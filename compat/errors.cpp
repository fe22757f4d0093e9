// GetLastError and SetLastError, the one table that turns errno values into
// the ERROR_* codes the Windows calls would have reported, and the cause of a
// failed open in the system's own words, which an ERROR_* code loses and
// FormatMessageA gives back.
#include "compat.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static thread_local DWORD g_last_error; // per thread, as on Windows

DWORD WINAPI GetLastError(void) { return g_last_error; }

void WINAPI SetLastError(DWORD error) { g_last_error = error; }

DWORD compat_error_from_errno(int error)
{
    switch (error) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_FILE_EXISTS;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EBADF: return ERROR_INVALID_HANDLE;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case EPIPE: return ERROR_BROKEN_PIPE;
    case EBUSY:
    case EWOULDBLOCK: return ERROR_SHARING_VIOLATION;
    case ENXIO:
    case ENODEV: return ERROR_DEVICE_NOT_CONNECTED;
    case ETIMEDOUT: return ERROR_SEM_TIMEOUT;
    case ENOTTY:
    case ENOSYS: return ERROR_INVALID_FUNCTION;
    default: return ERROR_GEN_FAILURE;
    }
}

BOOL compat_succeed(void)
{
    g_last_error = ERROR_SUCCESS;
    return TRUE;
}

BOOL compat_fail_errno(int error) { return compat_fail(compat_error_from_errno(error)); }

BOOL compat_fail(DWORD error)
{
    g_last_error = error;
    return FALSE;
}

HANDLE compat_fail_open(int fd, DWORD error)
{
    if (fd >= 0)
        close(fd);
    compat_fail(error);
    return INVALID_HANDLE_VALUE;
}

// Thread by thread, as the last error is: the worker's failure to open the
// port must not be told with the main thread's box, nor the other way round.
// Kept as given and worded only when asked for: a search of every port name
// fails hundreds of opens a second, and only a box ever tells one.
struct Cause {
    char path[512]; // empty: no cause
    char reason[256];
    const char *hint; // a fixed text, or NULL
};
static thread_local Cause g_cause;

void compat_set_cause(const char *path, const char *reason, const char *hint)
{
    int error = errno; // the caller's, still to be turned into the last error
    snprintf(g_cause.path, sizeof g_cause.path, "%s", path);
    snprintf(g_cause.reason, sizeof g_cause.reason, "%s", reason);
    g_cause.hint = hint;
    errno = error;
}

void compat_set_cause_errno(const char *path, int error, const char *hint)
{
    compat_set_cause(path, strerror(error), hint);
}

void compat_clear_cause(void) { g_cause.path[0] = '\0'; }

// The cause in words, left in place.
static void word_cause(char *out, size_t cap)
{
    out[0] = '\0';
    // Only while the last error still reports that failure: a call that
    // succeeded since (a port searched after it) has left it behind.
    if (g_last_error != ERROR_SUCCESS && g_cause.path[0]) {
        int error = errno;
        char target[512];
        ssize_t len = readlink(g_cause.path, target, sizeof target - 1);
        if (len > 0)
            target[len] = '\0';
        snprintf(out, cap, "%s%s%s: %s%s%s", g_cause.path, len > 0 ? " -> " : "",
                 len > 0 ? target : "", g_cause.reason, g_cause.hint ? ": " : "",
                 g_cause.hint ? g_cause.hint : "");
        errno = error;
    }
}

void compat_take_cause(char *out, size_t cap)
{
    word_cause(out, cap);
    g_cause.path[0] = '\0';
}

// The text of an error that has a cause is the cause: what the system said of
// the open that failed, path and hint and all, which is what a Linux user
// needs and no table of ERROR_* texts could say. The few errors the program
// meets without one have Windows' words; any other has none, as an unknown
// code has none on Windows.
DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID, DWORD message_id, DWORD, LPSTR buffer, DWORD size,
                            void *)
{
    static const struct {
        DWORD error;
        const char *text;
    } texts[] = {
        {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
        {ERROR_ACCESS_DENIED, "Access is denied."},
        {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command."},
    };
    if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || !buffer || !size)
        return compat_fail(ERROR_INVALID_PARAMETER);
    char text[2048]; // a cause's path and link target, its reason and hint
    text[0] = '\0';
    // Left for the box that may follow, which tells it too.
    if (message_id == g_last_error)
        word_cause(text, sizeof text);
    for (const auto &known : texts)
        if (!text[0] && known.error == message_id)
            snprintf(text, sizeof text, "%s", known.text);
    if (!text[0])
        return compat_fail(ERROR_MR_MID_NOT_FOUND);
    // Windows' texts end with a line end; one that does not fit is not cut.
    int len = snprintf(buffer, size, "%s\r\n", text);
    if (len < 0 || static_cast<DWORD>(len) >= size) {
        buffer[0] = '\0';
        return compat_fail(ERROR_INSUFFICIENT_BUFFER);
    }
    return static_cast<DWORD>(len);
}
