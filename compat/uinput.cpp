// The key-injection driver stand-in's way into the desktop: a virtual keyboard
// named "notchkey" made through libevdev on a uinput device.
//
// A desktop's input stack takes a moment to notice a new keyboard and opens
// it only once udev has made its event node; keys sent before then are lost.
// So the keyboard is made at start-up and handed out only once its node is
// there and a short settle time has passed, the whole wait bounded.
#include "compat.h"

#include <errno.h>
#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <time.h>
#include <unistd.h>

static const int NODE_WAIT_MS = 800; // for udev to make the event node
static const int SETTLE_MS = 200;    // for the desktop to open it

// A set-1 code and the Linux key it is.
struct KeyOfCode {
    BYTE scancode;
    int key;
};

// The keys that need the extended prefix, by their set-1 code after it.
static const KeyOfCode EXTENDED_KEYS[] = {
    {0x1C, KEY_KPENTER}, {0x1D, KEY_RIGHTCTRL}, {0x35, KEY_KPSLASH},  {0x38, KEY_RIGHTALT},
    {0x47, KEY_HOME},    {0x48, KEY_UP},        {0x49, KEY_PAGEUP},   {0x4B, KEY_LEFT},
    {0x4D, KEY_RIGHT},   {0x4F, KEY_END},       {0x50, KEY_DOWN},     {0x51, KEY_PAGEDOWN},
    {0x52, KEY_INSERT},  {0x53, KEY_DELETE},    {0x5B, KEY_LEFTMETA}, {0x5C, KEY_RIGHTMETA},
    {0x5D, KEY_COMPOSE},
};

// The plain codes above the main block's, by what a PC keyboard means by them
// (F13 to F24, the keypad's '=' and the Japanese and Brazilian keys); the
// two numberings part ways at 0x54. The codes no keyboard sends have none,
// nor those of keys without a virtual key on Windows. Nor has 0x54, SysRq:
// with Alt held, as a key map may hold it, SysRq and a key is a command to
// the kernel (reboot, power off); no other key here is one to the kernel or
// the desktop.
static const KeyOfCode UPPER_KEYS[] = {
    {0x56, KEY_102ND}, {0x57, KEY_F11}, {0x58, KEY_F12}, {0x59, KEY_KPEQUAL},
    {0x5C, KEY_KPJPCOMMA}, {0x64, KEY_F13}, {0x65, KEY_F14}, {0x66, KEY_F15},
    {0x67, KEY_F16}, {0x68, KEY_F17}, {0x69, KEY_F18}, {0x6A, KEY_F19},
    {0x6B, KEY_F20}, {0x6C, KEY_F21}, {0x6D, KEY_F22}, {0x6E, KEY_F23},
    {0x70, KEY_KATAKANAHIRAGANA}, {0x73, KEY_RO}, {0x76, KEY_F24}, {0x79, KEY_HENKAN},
    {0x7B, KEY_MUHENKAN}, {0x7D, KEY_YEN}, {0x7E, KEY_KPCOMMA},
};

template <size_t N> static int key_in(const KeyOfCode (&table)[N], int scancode)
{
    for (const KeyOfCode &entry : table)
        if (entry.scancode == scancode)
            return entry.key;
    return 0;
}

// The Linux key code of a set-1 make code's key (an extended one as
// COMPAT_EXTENDED | code), or 0 for none. Up to the keypad's point (0x53)
// the two numberings agree.
int compat_uinput_key_of(int scancode)
{
    if ((scancode & ~0x7f) == COMPAT_EXTENDED)
        return key_in(EXTENDED_KEYS, scancode & 0x7f);
    if (scancode > 0 && scancode <= 0x53)
        return scancode;
    return key_in(UPPER_KEYS, scancode);
}

// Not Sleep: this runs under SendInput's lock, where no thread may be stopped.
static void pause_ms(int ms)
{
    struct timespec wait = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

// Waits for the keyboard's event node; false if it never came.
static bool wait_for_node(struct libevdev_uinput *keyboard)
{
    long long deadline = compat_now_ms() + NODE_WAIT_MS;
    for (;;) {
        const char *node = libevdev_uinput_get_devnode(keyboard);
        if (node && access(node, F_OK) == 0)
            return true;
        if (compat_now_ms() >= deadline)
            return false;
        pause_ms(10);
    }
}

struct libevdev_uinput *compat_uinput_create(int fd)
{
    struct libevdev *device = libevdev_new();
    if (!device) {
        errno = ENOMEM;
        return nullptr;
    }
    libevdev_set_name(device, "notchkey");
    libevdev_set_id_bustype(device, BUS_VIRTUAL);
    libevdev_set_id_vendor(device, 0x6e6b);
    libevdev_set_id_product(device, 0x0001);
    int rc = libevdev_enable_event_type(device, EV_KEY);
    // Every key a packet can name, declared before the device exists.
    for (int scancode = 1; rc == 0 && scancode < 0x80; ++scancode) {
        int plain = compat_uinput_key_of(scancode);
        int extended = compat_uinput_key_of(COMPAT_EXTENDED | scancode);
        if (plain)
            rc = libevdev_enable_event_code(device, EV_KEY, static_cast<unsigned>(plain), nullptr);
        if (rc == 0 && extended)
            rc = libevdev_enable_event_code(device, EV_KEY, static_cast<unsigned>(extended), nullptr);
    }
    struct libevdev_uinput *keyboard = nullptr;
    if (rc == 0)
        rc = libevdev_uinput_create_from_device(device, fd, &keyboard);
    libevdev_free(device);
    if (rc != 0) {
        errno = -rc;
        return nullptr;
    }
    // Without a node (no udev, as in a bare container) the keyboard may still
    // reach whoever reads the kernel's devices directly: go on after the wait.
    wait_for_node(keyboard);
    pause_ms(SETTLE_MS);
    return keyboard;
}

bool compat_uinput_send(struct libevdev_uinput *keyboard, const BYTE *codes, DWORD count)
{
    for (DWORD i = 0; i < count; ++i) {
        // The prefix belongs to the code after it; last in a packet it is a
        // release of its own.
        int prefix = 0;
        if (codes[i] == COMPAT_EXTENDED >> 8 && i + 1 < count) {
            prefix = COMPAT_EXTENDED;
            ++i;
        }
        int key = compat_uinput_key_of(prefix | (codes[i] & 0x7f));
        if (!key) {
            errno = EINVAL;
            return false;
        }
        // Each event its own report, so a reader never merges a press with
        // the release that follows it.
        int rc = libevdev_uinput_write_event(keyboard, EV_KEY, static_cast<unsigned>(key),
                                             (codes[i] & 0x80) ? 0 : 1);
        if (rc == 0)
            rc = libevdev_uinput_write_event(keyboard, EV_SYN, SYN_REPORT, 0);
        if (rc != 0) {
            errno = -rc;
            return false;
        }
    }
    return true;
}

void compat_uinput_destroy(struct libevdev_uinput *keyboard)
{
    // The descriptor is the caller's, closed by it.
    libevdev_uinput_destroy(keyboard);
}
