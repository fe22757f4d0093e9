// GetLastError and SetLastError, and the one table that turns errno values into
// the ERROR_* codes the Windows calls would have reported.
#include "compat.h"

#include <errno.h>
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
