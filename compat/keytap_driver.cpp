// The key-injection driver, stood in for: DeviceIoControl with control code 1
// takes a packet of set-1 scan codes and delivers them in order, each a press
// (bit 7 clear) or a release (bit 7 set).
//
// Two mechanisms, chosen by what the driver entry is:
// - a character device is uinput: a virtual keyboard (uinput.cpp);
// - anything else (a regular file, a FIFO) is a capture: each packet is
//   appended as one line of lower-case hex bytes, e.g. "02 d2".
// SendInput's scan-code key events take the same way, a call for a packet,
// KEYEVENTF_EXTENDEDKEY as the 0xE0 prefix before the code; it is found
// through GetProcAddress, as on Windows.
#include "compat.h"
#include "keys/keytap.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

static int open_capture(const char *path, const struct stat *st)
{
    // Without a reader there is no one to deliver to: fail now rather than
    // block the start-up until one comes. Left non-blocking, so a packet
    // waits for a stalled reader no longer than send_capture lets it.
    if (S_ISFIFO(st->st_mode))
        return open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    return open(path, O_WRONLY | O_APPEND | O_CLOEXEC);
}

// What to check when the virtual keyboard cannot be made: the install steps
// load uinput and give /dev/uinput to group input.
static const char *uinput_hint(int error)
{
    if (error == EACCES || error == EPERM)
        return "is your user in group input? (log in again after adding it)";
    if (error == ENOENT || error == ENODEV || error == ENXIO)
        return "is the uinput module loaded? (sudo modprobe uinput)";
    return nullptr;
}

HANDLE compat_keydrv_open(const char *path)
{
    struct stat st;
    if (stat(path, &st) != 0) {
        int error = errno;
        char target[256] = "";
        ssize_t len = readlink(path, target, sizeof target - 1);
        target[len > 0 ? len : 0] = '\0';
        bool uinput = strstr(path, "uinput") || strstr(target, "uinput");
        compat_set_cause_errno(path, error, uinput ? uinput_hint(error) : nullptr);
        return compat_fail_open(-1, compat_error_from_errno(error));
    }
    bool is_uinput = S_ISCHR(st.st_mode);
    int fd = is_uinput ? open(path, O_RDWR | O_CLOEXEC) : open_capture(path, &st);
    if (fd < 0)
        compat_set_cause_errno(path, errno, is_uinput ? uinput_hint(errno) : nullptr);
    struct libevdev_uinput *keyboard = nullptr;
    if (fd >= 0 && is_uinput && !(keyboard = compat_uinput_create(fd))) {
        int error = errno;
        close(fd);
        char reason[256];
        snprintf(reason, sizeof reason, "can't make a virtual keyboard: %s", strerror(error));
        compat_set_cause(path, reason, uinput_hint(error));
        errno = error;
        fd = -1;
    }
    if (fd < 0)
        return compat_fail_open(-1, compat_error_from_errno(errno));
    CompatHandle *handle = compat_handle_new(COMPAT_KEYDRV, fd);
    if (!handle) {
        if (keyboard)
            compat_uinput_destroy(keyboard);
        return compat_fail_open(fd, ERROR_NOT_ENOUGH_MEMORY);
    }
    handle->uinput = keyboard;
    return handle->value;
}

BOOL compat_keydrv_close(CompatHandle *handle)
{
    if (handle->uinput)
        compat_uinput_destroy(handle->uinput);
    return compat_handle_close(handle);
}

// How long a packet waits for a reader that takes nothing. A key sent on
// Windows never waits on whoever reads it; a reader that stops (its
// terminal paused) must not hold the worker, nor a shutdown releasing the
// held keys, for ever.
#define CAPTURE_WAIT_MS 1000

// A packet the reader has no room for waits a while and is then given up;
// once one has been, the next ones wait no more until one gets through, so
// a shutdown releasing several keys still ends within that while.
static bool send_capture(CompatHandle *handle, const BYTE *codes, DWORD count)
{
    // By hand: through snprintf this line took more instructions than all
    // the rest of a message's own work.
    static const char HEX[] = "0123456789abcdef";
    char line[3 * 256];
    if (count == 0 || count > 256)
        return false;
    size_t len = 0;
    for (DWORD i = 0; i < count; ++i) {
        line[len++] = HEX[codes[i] >> 4];
        line[len++] = HEX[codes[i] & 15];
        line[len++] = ' ';
    }
    line[len - 1] = '\n';
    // One write per packet: a reader never sees half a line (a FIFO takes
    // a line this short whole or not at all).
    size_t done = 0;
    int error = compat_write_all(handle->fd, line, len, &done,
                                 handle->stalled.load() ? 0 : CAPTURE_WAIT_MS);
    handle->stalled.store(error == ETIMEDOUT);
    errno = error;
    return error == 0;
}

// SendInput goes to the same stand-in as the driver's packets, one call, one
// packet. It is opened when the program looks SendInput up, at start-up, so
// a virtual keyboard is seen before the first key; failing that, at its first
// use. The lock covers the opening alone: a packet may wait on a stalled
// reader, and a thread stopped there must not keep every later call (the
// release of the held keys at shutdown) out.
static pthread_mutex_t g_input_lock = PTHREAD_MUTEX_INITIALIZER; // guards g_input_target
static HANDLE g_input_target = INVALID_HANDLE_VALUE; // where SendInput's packets go

static HANDLE input_target(void)
{
    pthread_mutex_lock(&g_input_lock);
    if (g_input_target == INVALID_HANDLE_VALUE) {
        char path[4096];
        compat_resolve_device(KEYDRV_PATH, path, sizeof path);
        g_input_target = compat_keydrv_open(path);
    }
    HANDLE target = g_input_target;
    pthread_mutex_unlock(&g_input_lock);
    return target;
}

UINT WINAPI SendInput(UINT count, LPINPUT inputs, int size)
{
    if (!inputs || size != static_cast<int>(sizeof(INPUT)) || count == 0 || count > 128) {
        compat_fail(ERROR_INVALID_PARAMETER);
        return 0;
    }
    BYTE codes[256];
    DWORD len = 0;
    for (UINT i = 0; i < count; ++i) {
        const KEYBDINPUT &key = inputs[i].ki;
        // Only scan-code key events have a place in a packet.
        if (inputs[i].type != INPUT_KEYBOARD || !(key.dwFlags & KEYEVENTF_SCANCODE) ||
            key.wScan == 0 || key.wScan > 0x7f) {
            compat_fail(ERROR_INVALID_PARAMETER);
            return 0;
        }
        if (key.dwFlags & KEYEVENTF_EXTENDEDKEY)
            codes[len++] = COMPAT_EXTENDED >> 8;
        codes[len++] = static_cast<BYTE>(key.wScan | ((key.dwFlags & KEYEVENTF_KEYUP) ? 0x80 : 0));
    }
    HANDLE target = input_target();
    DWORD returned = 0;
    BOOL sent = target != INVALID_HANDLE_VALUE &&
                DeviceIoControl(target, KEYDRV_SEND_PACKET, codes, len, NULL, 0, &returned,
                                NULL);
    return sent ? count : 0;
}

BOOL WINAPI DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID, DWORD,
                            LPDWORD returned, LPOVERLAPPED)
{
    if (returned)
        *returned = 0;
    CompatHandle *handle = compat_handle_get(device, COMPAT_KEYDRV);
    if (!handle)
        return FALSE;
    if (code != KEYDRV_SEND_PACKET)
        return compat_fail(ERROR_INVALID_FUNCTION);
    if (!in || in_size == 0 || in_size > 256)
        return compat_fail(ERROR_INVALID_PARAMETER);
    const BYTE *codes = static_cast<const BYTE *>(in);
    bool sent = handle->uinput ? compat_uinput_send(handle->uinput, codes, in_size)
                               : send_capture(handle, codes, in_size);
    if (!sent)
        return compat_fail_errno(errno);
    return compat_succeed();
}

// The US layout, the one the virtual keyboard's keys are named after, for
// the keys whose virtual key a layout decides: the main block's characters,
// Caps Lock and the 102nd key. A key the virtual keyboard does not have has
// none.
UINT WINAPI MapVirtualKeyA(UINT code, UINT map_type)
{
    // From 0x02, a blank where the key is not a character's.
    static const char ROWS[] = "1234567890-=  QWERTYUIOP[]  ASDFGHJKL;'` \\ZXCVBNM,./";
    static const char PUNCTUATION[] = "-=[];'`\\,./";
    static const BYTE PUNCTUATION_KEYS[] = {
        VK_OEM_MINUS, VK_OEM_PLUS, VK_OEM_4, VK_OEM_6, VK_OEM_1, VK_OEM_7,
        VK_OEM_3,     VK_OEM_5,    VK_OEM_COMMA, VK_OEM_PERIOD, VK_OEM_2,
    };
    if (map_type != MAPVK_VSC_TO_VK_EX || code > 0x7f ||
        !compat_uinput_key_of(static_cast<int>(code)))
        return 0;
    if (code == 0x3A)
        return VK_CAPITAL;
    if (code == 0x56)
        return VK_OEM_102;
    if (code < 0x02 || code - 0x02 >= sizeof ROWS - 1 || ROWS[code - 0x02] == ' ')
        return 0;
    char key = ROWS[code - 0x02];
    const char *punctuation = strchr(PUNCTUATION, key);
    return punctuation ? PUNCTUATION_KEYS[punctuation - PUNCTUATION] : static_cast<BYTE>(key);
}

SHORT WINAPI GetKeyState(int) { return 0; }

// The keyboard SendInput types on is the driver's: none when it cannot be made.
int WINAPI GetKeyboardType(int type_flag)
{
    if (type_flag != 0)
        return 0;
    return input_target() != INVALID_HANDLE_VALUE ? 4 : 0;
}

// The loader, for the functions the program looks up at run time: each
// module is a distinct address that is no real one.
static HINSTANCE__ *const USER32 = reinterpret_cast<HINSTANCE__ *>(&g_input_target);
static HINSTANCE__ *const KERNEL32 = reinterpret_cast<HINSTANCE__ *>(&g_input_lock);

HMODULE WINAPI GetModuleHandleA(LPCSTR name)
{
    if (name && strcasecmp(name, "user32.dll") == 0)
        return USER32;
    if (name && strcasecmp(name, "kernel32.dll") == 0)
        return KERNEL32;
    compat_fail(ERROR_MOD_NOT_FOUND);
    return NULL;
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name)
{
    if (module == USER32 && name && strcmp(name, "SendInput") == 0) {
        // Only a head start: a failure here is tried and told again where the
        // program asks for the keyboard, and must not trail a box about
        // something else (a wrong key line) in between.
        input_target();
        compat_clear_cause();
        return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)(void)>(SendInput));
    }
    if (module == KERNEL32 && name && strcmp(name, "QueryDosDeviceA") == 0)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)(void)>(QueryDosDeviceA));
    if (module == KERNEL32 && name && strcmp(name, "GetDefaultCommConfigA") == 0)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)(void)>(GetDefaultCommConfigA));
    compat_fail(ERROR_PROC_NOT_FOUND);
    return NULL;
}
