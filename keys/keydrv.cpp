#include "keys/keydrv.h"

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
const BYTE lever_scancodes[16] = {
    0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x52, 0x4F,
    0x50, 0x51, 0x4B, 0x4C, 0x4D, 0x47, 0x48, 0x49,
};

// K and X both work the Space key; Y is Enter, Z is Esc.
const BYTE button_scancodes[8] = {
    0x39, 0xB9, 0x39, 0xB9, 0x1C, 0x9C, 0x01, 0x81,
};

int keydrv_select(const AppConfig *config)
{
    g_sendinput = FALSE;
    if (lstrcmpiA(config->injector, INJECTOR_DRIVER) == 0)
        return 0;
    if (lstrcmpiA(config->injector, INJECTOR_SENDINPUT) == 0) {
        HMODULE user32 = GetModuleHandleA("user32.dll");
        FARPROC proc = user32 ? GetProcAddress(user32, "SendInput") : NULL;
        if (proc) {
            // Through void (*)(void), the one function type any other converts from
            // without a warning.
            g_send_input =
                reinterpret_cast<SendInputProc>(reinterpret_cast<void (*)(void)>(proc));
            g_sendinput = TRUE;
            return 0;
        }
    }
    snprintf(g_text, sizeof g_text, "%s is invalid injector.", config->injector);
    MessageBoxA(config->hwnd, g_text, APP_TITLE, MB_ICONWARNING);
    return 1;
}

int keydrv_open(const AppConfig *config)
{
    if (g_sendinput)
        return 0;
    // Opening the device loads the driver; closing the last handle unloads it.
    g_keydrv = CreateFileA(KEYDRV_PATH, 0, 0, NULL, CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE, NULL);
    if (g_keydrv == INVALID_HANDLE_VALUE) {
        snprintf(g_text, sizeof g_text, "can't open keytap.vxd.");
        MessageBoxA(config->hwnd, g_text, APP_TITLE, MB_ICONWARNING);
        return 1;
    }
    return 0;
}

int keydrv_close(void)
{
    CloseHandle(g_keydrv);
    g_keydrv = INVALID_HANDLE_VALUE;
    return 0;
}

// Make codes pressed and not released since, so nothing stays held down when
// the program ends. The worker's alone while it runs; shutdown reads it once
// the worker has stopped.
static bool g_held[0x80];

// A failed request is not retried: that key event is lost, the next one may
// get through.
static void send_packet(BYTE *packet, DWORD len)
{
    // A press counts as held before the request and a release as done only
    // after it: a key released once too often is harmless, one left down is not.
    for (DWORD i = 0; i < len; ++i)
        if (!(packet[i] & 0x80))
            g_held[packet[i]] = true;
    if (g_sendinput) {
        // One call for the whole packet keeps its events together and in order.
        INPUT inputs[2];
        memset(inputs, 0, sizeof inputs);
        for (DWORD i = 0; i < len; ++i) {
            inputs[i].type = INPUT_KEYBOARD;
            inputs[i].ki.wScan = packet[i] & 0x7f;
            inputs[i].ki.dwFlags = KEYEVENTF_SCANCODE | ((packet[i] & 0x80) ? KEYEVENTF_KEYUP : 0);
        }
        g_send_input(len, inputs, sizeof(INPUT));
    } else {
        DWORD returned = 0;
        DeviceIoControl(g_keydrv, KEYDRV_SEND_PACKET, packet, len, NULL, 0, &returned, NULL);
    }
    for (DWORD i = 0; i < len; ++i)
        if (packet[i] & 0x80)
            g_held[packet[i] & 0x7f] = false;
}

int send_lever_change(LONG from, LONG to)
{
    // The new key goes down before the old one comes up, so some lever key is
    // held at every moment.
    BYTE packet[2] = {lever_scancodes[to], static_cast<BYTE>(lever_scancodes[from] | 0x80)};
    send_packet(packet, 2);
    return 1;
}

int send_button_key(LONG index)
{
    BYTE packet[1] = {button_scancodes[index]};
    send_packet(packet, 1);
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
    for (BYTE code = 0; code < 0x80; ++code) {
        if (!g_held[code])
            continue;
        BYTE packet[1] = {static_cast<BYTE>(code | 0x80)};
        send_packet(packet, 1);
        ++released;
    }
    return released;
}
