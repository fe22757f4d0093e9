#include "keys/keydrv.h"

#include "keys/keynames.h"
#include "link/mascon_tables.h"

#include <stdio.h>
#include <string.h>

HANDLE g_keydrv;

// Through SendInput rather than the driver: chosen once, before the worker.
static BOOL g_sendinput;

// SendInput, looked up when it is chosen: the first releases of the old
// family have only the driver, and an exe that imported it would not load
// there at all.
typedef UINT(WINAPI *SendInputProc)(UINT count, LPINPUT inputs, int size);
static SendInputProc g_send_input;

// Main row 6..1 towards one end, keypad 0..9 from the middle to the other.
static const WORD LEVER_KEYS_STANDARD[16] = {
    0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x52, 0x4F,
    0x50, 0x51, 0x4B, 0x4C, 0x4D, 0x47, 0x48, 0x49,
};

// K and X both work the Space key; Y is Enter, Z is Esc.
static const WORD BUTTON_KEYS_STANDARD[8] = {
    0x39, 0xB9, 0x39, 0xB9, 0x1C, 0x9C, 0x01, 0x81,
};

WORD lever_scancodes[16];
WORD button_scancodes[8];

// Copies the blanks-trimmed text of [from, to) into out (of size bytes);
// false when it does not fit.
static bool copy_trimmed(const char *from, const char *to, char *out, size_t size)
{
    while (from < to && (*from == ' ' || *from == '\t'))
        ++from;
    while (to > from && (to[-1] == ' ' || to[-1] == '\t'))
        --to;
    size_t len = static_cast<size_t>(to - from);
    if (len >= size)
        return false;
    memcpy(out, from, len);
    out[len] = '\0';
    return true;
}

// The table slot an entry's name gives a key: 0..15 a lever position, 16 +
// button index for a press message; -1 for any other name.
static int map_slot(const char *name)
{
    const size_t len = MASCON_MESSAGE_LEN - 1; // the message without its carriage return
    if (strlen(name) != len)
        return -1;
    char upper[MASCON_MESSAGE_LEN];
    for (size_t i = 0; i <= len; ++i)
        upper[i] = name[i] >= 'a' && name[i] <= 'z' ? name[i] - 'a' + 'A' : name[i];
    for (int i = 0; i < 16; ++i)
        if (strncmp(upper, lever_messages[i], len) == 0)
            return i;
    for (int i = 0; i < 8; i += 2)
        if (strncmp(upper, button_messages[i], len) == 0)
            return 16 + i;
    return -1;
}

// One "name=value" entry of the [keys] section into the tables, unless an
// earlier entry had the same name: the first one counts, as for every other
// setting. False when the entry is wrong.
static bool apply_key_entry(const char *entry, bool *taken)
{
    const char *equals = strchr(entry, '=');
    char name[16], value[32];
    if (!equals || !copy_trimmed(entry, equals, name, sizeof name) ||
        !copy_trimmed(equals + 1, equals + strlen(equals), value, sizeof value))
        return false;
    // Quotes around a value go, as around every other value of the file.
    size_t len = strlen(value);
    if (len >= 2 && (value[0] == '"' || value[0] == '\'') && value[len - 1] == value[0]) {
        memmove(value, value + 1, len - 2);
        value[len - 2] = '\0';
    }
    int slot = map_slot(name);
    LONG code = key_code_of(value);
    // The driver's packets have no room for the extended prefix.
    if (slot < 0 || code < 0 || ((code & KEY_EXTENDED) && !g_sendinput))
        return false;
    if (taken[slot])
        return true;
    taken[slot] = true;
    if (slot < 16) {
        lever_scancodes[slot] = static_cast<WORD>(code);
    } else {
        button_scancodes[slot - 16] = static_cast<WORD>(code);
        button_scancodes[slot - 16 + 1] = static_cast<WORD>(code | 0x80);
    }
    return true;
}

// The standard map with the [keys] section's entries applied over it. The
// tables are resolved here, once, so a message costs what it always did.
static int apply_key_map(const AppConfig *config)
{
    memcpy(lever_scancodes, LEVER_KEYS_STANDARD, sizeof lever_scancodes);
    memcpy(button_scancodes, BUTTON_KEYS_STANDARD, sizeof button_scancodes);
    bool taken[16 + 8] = {};
    const char *end = config->keys + sizeof config->keys;
    const char *entry = config->keys;
    while (entry < end && *entry) {
        const char *nul = static_cast<const char *>(memchr(entry, '\0', end - entry));
        if (!nul)
            break;
        // A section too long for the buffer comes with its last entry cut:
        // that entry cannot be trusted, 0x1 may have been 0x10.
        bool cut = nul >= end - 2;
        const char *first = entry + strspn(entry, " \t");
        // Some systems hand comment lines over with the entries.
        if (*first != ';' && (cut || !apply_key_entry(entry, taken))) {
            // Enough of a long entry to find it by.
            snprintf(g_text, sizeof g_text, "%.*s is invalid key.",
                     key_text_cut(entry, KEY_TEXT_SHOWN), entry);
            MessageBoxA(config->hwnd, g_text, APP_TITLE, MB_ICONWARNING);
            return 1;
        }
        entry = nul + 1;
    }
    return 0;
}

int key_text_cut(const char *text, int limit)
{
    const char *end = text;
    while (*end) {
        const char *next = CharNextA(end);
        if (next - text > limit)
            break;
        end = next;
    }
    return static_cast<int>(end - text);
}

int keydrv_select(const AppConfig *config)
{
    g_sendinput = FALSE;
    if (lstrcmpiA(config->injector, INJECTOR_DRIVER) == 0)
        return apply_key_map(config);
    if (lstrcmpiA(config->injector, INJECTOR_SENDINPUT) == 0) {
        HMODULE user32 = GetModuleHandleA("user32.dll");
        FARPROC proc = user32 ? GetProcAddress(user32, "SendInput") : NULL;
        if (proc) {
            // Through void (*)(void), the one function type any other converts from
            // without a warning.
            g_send_input =
                reinterpret_cast<SendInputProc>(reinterpret_cast<void (*)(void)>(proc));
            g_sendinput = TRUE;
            return apply_key_map(config);
        }
    }
    snprintf(g_text, sizeof g_text, "%s is invalid injector.", config->injector);
    MessageBoxA(config->hwnd, g_text, APP_TITLE, MB_ICONWARNING);
    return 1;
}

int keydrv_open(const AppConfig *config)
{
    if (g_sendinput) {
        // SendInput needs nothing opened, but a keyboard to type on: without
        // one (a system that makes it for us and could not) every key would
        // be lost unseen. Where that can happen, it is the driver's device.
        if (GetKeyboardType(0))
            return 0;
    } else {
        // Opening the device loads the driver; closing the last handle unloads it.
        g_keydrv = CreateFileA(KEYDRV_PATH, 0, 0, NULL, CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE,
                               NULL);
        if (g_keydrv != INVALID_HANDLE_VALUE)
            return 0;
    }
    snprintf(g_text, sizeof g_text, "can't open keytap.vxd.");
    MessageBoxA(config->hwnd, g_text, APP_TITLE, MB_ICONWARNING);
    return 1;
}

int keydrv_close(void)
{
    CloseHandle(g_keydrv);
    g_keydrv = INVALID_HANDLE_VALUE;
    return 0;
}

// Keys pressed and not released since, so nothing stays held down when the
// program ends: make codes, and from 0x80 on the extended keys' make codes.
// The worker's alone while it runs; shutdown reads it once the worker has
// stopped.
static bool g_held[0x100];

static int held_slot(WORD key)
{
    return (key & 0x7f) | ((key & KEY_EXTENDED) ? 0x80 : 0);
}

// The virtual key Windows gives a key's scan code. Windows itself ignores it
// beside KEYEVENTF_SCANCODE and works it out from the layout, but Wine does
// not, and a window that reads wParam would see key 0. The keypad's digits
// and point are their own keys only while Num Lock is on.
static WORD virtual_key_of(WORD key)
{
    static const BYTE KEYPAD[] = {
        VK_NUMPAD7, VK_NUMPAD8, VK_NUMPAD9, 0, VK_NUMPAD4, VK_NUMPAD5, VK_NUMPAD6, 0,
        VK_NUMPAD1, VK_NUMPAD2, VK_NUMPAD3, VK_NUMPAD0, VK_DECIMAL,
    };
    UINT scan = key & 0x7f;
    if (!(key & KEY_EXTENDED) && scan >= 0x47 && scan <= 0x53 && KEYPAD[scan - 0x47] &&
        (GetKeyState(VK_NUMLOCK) & 1))
        return KEYPAD[scan - 0x47];
    return static_cast<WORD>(MapVirtualKeyA((key & KEY_EXTENDED) ? 0xE000 | scan : scan,
                                            MAPVK_VSC_TO_VK_EX));
}

// A failed request is not retried: that key event is lost, the next one may
// get through.
static void send_packet(const WORD *keys, DWORD len)
{
    // A press counts as held before the request and a release as done only
    // after it: a key released once too often is harmless, one left down is not.
    for (DWORD i = 0; i < len; ++i)
        if (!(keys[i] & 0x80))
            g_held[held_slot(keys[i])] = true;
    if (g_sendinput) {
        // One call for the whole packet keeps its events together and in order.
        INPUT inputs[2];
        memset(inputs, 0, sizeof inputs);
        for (DWORD i = 0; i < len; ++i) {
            inputs[i].type = INPUT_KEYBOARD;
            inputs[i].ki.wVk = virtual_key_of(keys[i]);
            inputs[i].ki.wScan = keys[i] & 0x7f;
            inputs[i].ki.dwFlags = KEYEVENTF_SCANCODE |
                                   ((keys[i] & KEY_EXTENDED) ? KEYEVENTF_EXTENDEDKEY : 0) |
                                   ((keys[i] & 0x80) ? KEYEVENTF_KEYUP : 0);
        }
        g_send_input(len, inputs, sizeof(INPUT));
    } else {
        // Only plain codes get here: the map refuses extended keys for the driver.
        BYTE packet[2];
        for (DWORD i = 0; i < len; ++i)
            packet[i] = static_cast<BYTE>(keys[i]);
        DWORD returned = 0;
        DeviceIoControl(g_keydrv, KEYDRV_SEND_PACKET, packet, len, NULL, 0, &returned, NULL);
    }
    for (DWORD i = 0; i < len; ++i)
        if (keys[i] & 0x80)
            g_held[held_slot(keys[i])] = false;
}

int send_lever_change(LONG from, LONG to)
{
    // Two positions of one key (a simulator with fewer notches than the
    // lever): the key is already down and stays so.
    if (from != to && lever_scancodes[from] == lever_scancodes[to])
        return 1;
    // The new key goes down before the old one comes up, so some lever key is
    // held at every moment.
    WORD keys[2] = {lever_scancodes[to], static_cast<WORD>(lever_scancodes[from] | 0x80)};
    send_packet(keys, 2);
    return 1;
}

int send_button_key(LONG index)
{
    WORD keys[1] = {button_scancodes[index]};
    send_packet(keys, 1);
    return 1;
}

int on_gstate(LONG index)
{
    (void)index;
    return 1;
}

int release_held_keys(void)
{
    int released = 0;
    for (int slot = 0; slot < 0x100; ++slot) {
        if (!g_held[slot])
            continue;
        WORD keys[1] = {static_cast<WORD>((slot & 0x7f) | 0x80 | ((slot & 0x80) ? KEY_EXTENDED : 0))};
        send_packet(keys, 1);
        ++released;
    }
    return released;
}
