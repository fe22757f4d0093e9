#include "keys/keydrv.h"

#include "keys/keynames.h"
#include "keys/keysettings.h"
#include "keys/steps.h"

#include <stdio.h>
#include <string.h>

HANDLE g_keydrv;

// Through SendInput rather than the driver: chosen once, before the worker.
static BOOL g_sendinput;

// SendInput, looked up when it is chosen: the first releases of the old
// family have only the driver, and an exe that imported it would not load
// there at all.
static decltype(&SendInput) g_send_input;

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

// The injector named in the settings: TRUE once it is known and usable.
static BOOL select_injector(const char *name)
{
    g_sendinput = FALSE;
    if (lstrcmpiA(name, INJECTOR_DRIVER) == 0)
        return TRUE;
    if (lstrcmpiA(name, INJECTOR_SENDINPUT) != 0)
        return FALSE;
    g_send_input = system_function<decltype(&SendInput)>("user32.dll", "SendInput");
    if (!g_send_input)
        return FALSE;
    g_sendinput = TRUE;
    return TRUE;
}

// Each button's state as its messages left it; one let go at a profile
// switch is dropped, and its release message then sends nothing.
enum ButtonState { BUTTON_UP, BUTTON_DOWN, BUTTON_DROPPED };
static BYTE g_buttons[4];

int keydrv_select(const AppConfig *config)
{
    if (!select_injector(config->injector)) {
        // An empty value names its line, so the user knows which one.
        snprintf(g_text, sizeof g_text, "%s is invalid injector.\ninjector takes driver or sendinput.",
                 config->injector[0] ? config->injector : "injector=");
        MessageBoxA(config->hwnd, g_text, APP_TITLE, MB_ICONWARNING);
        return 1;
    }
    // The settings go over the standard maps, resolved here, once, so a
    // message costs what it always did.
    memcpy(lever_scancodes, LEVER_KEYS_STANDARD, sizeof lever_scancodes);
    memcpy(button_scancodes, BUTTON_KEYS_STANDARD, sizeof button_scancodes);
    // Before the first message no button is down.
    memset(g_buttons, BUTTON_UP, sizeof g_buttons);
    // The driver's packets have no room for the extended prefix.
    return apply_key_settings(config, g_sendinput);
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
    return key_virtual_key(key);
}

// A failed request is not retried: that key event is lost, the next one may
// get through.
void send_packet(const WORD *keys, DWORD len)
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
    // lever): the key stays down, and goes down if the same message twice
    // let go of it.
    WORD key[1] = {lever_scancodes[to]};
    if (from != to && key[0] == lever_scancodes[from]) {
        if (!g_held[held_slot(key[0])])
            send_packet(key, 1);
        return 1;
    }
    // The new key goes down before the old one comes up, so some lever key is
    // held at every moment.
    WORD keys[2] = {lever_scancodes[to], static_cast<WORD>(lever_scancodes[from] | 0x80)};
    send_packet(keys, 2);
    return 1;
}

// No lever key is down yet; the release of position 0's key has always come
// with the press, but not where it is the same key, which it would let go of
// again.
int send_lever_start(LONG to)
{
    if (lever_scancodes[to] != lever_scancodes[0])
        return send_lever_change(0, to);
    WORD key[1] = {lever_scancodes[to]};
    send_packet(key, 1);
    return 1;
}

int send_button_key(LONG index)
{
    BYTE *state = &g_buttons[index / 2];
    BYTE was = *state;
    *state = (index & 1) ? BUTTON_UP : BUTTON_DOWN;
    if ((index & 1) && was == BUTTON_DROPPED)
        return 1;
    WORD keys[1] = {button_scancodes[index]};
    send_packet(keys, 1);
    return 1;
}

void drop_held_buttons(void)
{
    for (BYTE &state : g_buttons)
        if (state == BUTTON_DOWN)
            state = BUTTON_DROPPED;
}

int take_lever(LONG index)
{
    if (g_lever_steps) {
        steps_start(index);
        for (int kind; (kind = next_step(index)) >= 0;)
            send_step(kind);
        return 1;
    }
    WORD keys[1] = {lever_scancodes[index]};
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
