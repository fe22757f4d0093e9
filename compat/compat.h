// What the pieces of the native platform layer share, and the entry points of
// the process's start (signals) it takes. Nothing in the program includes it.
#pragma once

#include <windows.h>

#include <sys/types.h>
#include <termios.h>

#include <atomic>
#include <string>

enum CompatHandleKind {
    COMPAT_FILE,   // an ordinary file
    COMPAT_SERIAL, // a tty opened as COMn
    COMPAT_KEYDRV, // the key-injection driver stand-in
    COMPAT_THREAD,
    COMPAT_OBJECT, // a named object (CreateMutexA)
    COMPAT_EVENT,  // an unnamed event (CreateEventA): its eventfd counts while set
};

struct CompatThread;
struct libevdev_uinput;

// What every HANDLE the layer gives out stands for in its table.
struct CompatHandle {
    HANDLE value; // its number in the table
    CompatHandleKind kind;
    int fd;
    // COMPAT_SERIAL: the terminal settings found at open, put back at close, and
    // the last settings block applied, whose fields termios has no place for.
    struct termios found;
    DCB dcb;
    // COMPAT_SERIAL: the port's time-outs, which outlive the handle as on
    // Windows (the next opener finds them).
    COMMTIMEOUTS timeouts;
    dev_t device;
    // COMPAT_SERIAL: the tty waits out the read time-outs itself (VMIN and
    // VTIME), so a read is one read() with no poll() before it.
    bool tty_waits;
    // COMPAT_KEYDRV: the virtual keyboard, or null for a capture file.
    struct libevdev_uinput *uinput;
    // COMPAT_KEYDRV: the capture's reader left the last packet waiting until
    // it was given up.
    std::atomic<bool> stalled;
    // COMPAT_THREAD
    CompatThread *thread;
    // COMPAT_EVENT: stays set until ResetEvent, rather than let one wait through.
    bool manual_reset;
};

// A record entered in the handle table, or null when it is full.
CompatHandle *compat_handle_new(CompatHandleKind kind, int fd);
// The record behind a handle of the given kind, or null with
// ERROR_INVALID_HANDLE set.
CompatHandle *compat_handle_get(HANDLE handle, CompatHandleKind kind);
// Takes the record out of the table and frees it.
void compat_handle_free(CompatHandle *handle);
// The same, its descriptor closed first; FALSE with the error when that fails.
BOOL compat_handle_close(CompatHandle *handle);

// Clears the thread's last error, as a call that succeeds does; returns TRUE.
BOOL compat_succeed(void);
// Sets the thread's last error from an errno value; returns FALSE for the
// caller to pass on.
BOOL compat_fail_errno(int error);
BOOL compat_fail(DWORD error);
// A failed open: closes fd (when there is one, -1 otherwise), sets the error
// and returns INVALID_HANDLE_VALUE for the caller to pass on.
HANDLE compat_fail_open(int fd, DWORD error);
DWORD compat_error_from_errno(int error);

// Why the thread's last open failed, as the system said it, for the message
// box that follows: "<path>: <reason>", then ": <hint>" where what to check
// is clear. Each open starts it afresh; a message box says it and clears it.
// For a symbolic link the path names its target too, since the link itself
// is rarely what is wrong.
void compat_set_cause(const char *path, const char *reason, const char *hint);
// The same, the reason being errno's text.
void compat_set_cause_errno(const char *path, int error, const char *hint);
void compat_clear_cause(void);
// The cause, or an empty string; cleared once taken.
void compat_take_cause(char *out, size_t cap);

// Device names. COMPAT_DEVICE_NONE: an ordinary path. Otherwise the entry that
// stands for the device is written to path (it may not exist).
enum CompatDevice { COMPAT_DEVICE_NONE, COMPAT_DEVICE_SERIAL, COMPAT_DEVICE_KEYDRV };
CompatDevice compat_resolve_device(const char *name, char *path, size_t cap);

// A path in the Windows manner, its backslashes turned into slashes.
void compat_native_path(const char *name, char *path, size_t cap);

HANDLE compat_serial_open(const char *path);
BOOL compat_serial_close(CompatHandle *handle);
HANDLE compat_keydrv_open(const char *path);
BOOL compat_keydrv_close(CompatHandle *handle);
BOOL compat_thread_close(CompatHandle *handle);

// The virtual keyboard on an open uinput descriptor, ready for the first key
// once this returns; null with errno set. Sends are of set-1 scan codes, an
// extended key's after the prefix 0xE0.
struct libevdev_uinput *compat_uinput_create(int fd);
bool compat_uinput_send(struct libevdev_uinput *keyboard, const BYTE *codes, DWORD count);
void compat_uinput_destroy(struct libevdev_uinput *keyboard);
#define COMPAT_EXTENDED 0xE000 // an extended key's set-1 code, for compat_uinput_key_of
int compat_uinput_key_of(int scancode);

// The character at text, of len bytes at most, in the system's narrow
// characters (UTF-8): its length in bytes when it is a valid one; otherwise
// minus the length of its broken beginning (the longest run of bytes that
// could still have become a character, at least one), read as one.
int compat_utf8_char(const char *text, size_t len);

// Text for the session bus, which takes UTF-8 only and refuses a message with
// anything else in it: the program's text is the settings' bytes (a Latin-1
// port name, say), its broken sequences replaced.
std::string compat_as_utf8(const char *text);

// Shows a message box's text as a desktop notification where a session bus
// answers; returns within a second whatever the bus does.
void compat_notify(const char *summary, const char *body);

// The monotonic clock, in milliseconds.
long long compat_now_ms(void);
// Writes all of data, waiting where the descriptor is full (a point where a
// thread can be stopped), for ever (timeout_ms -1) or up to timeout_ms in
// all: 0, or the errno of the failure (ETIMEDOUT once the wait is over),
// with *done bytes written either way.
int compat_write_all(int fd, const void *data, size_t len, size_t *done, int timeout_ms);
// poll() on one descriptor for every call that may block or spin: on a
// thread made by CreateThread it also leaves the thread if TerminateThread has
// asked it to stop. Returns the descriptor's revents, 0 on time-out, -1 on
// error. fd may be -1: just wait (0: only look whether to leave).
int compat_wait_fd(int fd, short events, int timeout_ms);
// read() and write() that leave the thread as above, by a signal that
// interrupts them: for a descriptor the call itself may wait on, with no
// poll() before it.
ssize_t compat_blocking_read(int fd, void *buffer, size_t len);
ssize_t compat_blocking_write(int fd, const void *buffer, size_t len);

// Posts WM_CLOSE to every window, as a user closing them would; with none yet,
// the first window made gets it.
void compat_close_windows(void);

// Posts message to every window, as a broadcast to the top-level windows.
void compat_broadcast(UINT message);

// The user right-clicks the notification icon and, in the menu that opens,
// chooses the item at that position, or none (-1). The click waits its turn
// in the queue behind what came before it; without an icon then, nothing.
void compat_tray_click(int item);
// A handler DispatchMessageA asks first about each message: true when it
// was the layer's own and has been carried out (a click of compat_tray_click).
void compat_dispatch_first(bool (*handler)(const MSG *msg));
// The notification area restarts, as when Explorer does: every icon is gone,
// and "TaskbarCreated" is broadcast for their programs to add them again.
void compat_taskbar_restart(void);

// The icon as the notification area now has it (null once it is gone; added:
// by NIM_ADD), for the desktop's tray on the session bus. Returns at once:
// a thread of the tray's own does the rest.
void compat_tray_publish(const NOTIFYICONDATAA *icon, bool added);
// The text and command of the pop-up menu's item at position; null past the
// last.
const char *compat_menu_item(int position, UINT *id);
// Where GetCursorPos finds the cursor from now on: where the desktop asked
// for the icon's menu.
void compat_set_cursor(int x, int y);
