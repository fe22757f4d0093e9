#include "res/resource.h"
#include "shell/shell.h"

#include <stdio.h>

HICON g_icon_large;
HICON g_icon_small;
HMENU g_menu;
HMENU g_popup;
HANDLE g_worker;
const char *g_port_named = "";

NOTIFYICONDATAA g_nid;
POINT g_cursor;
UINT g_taskbar_created;

// Whether the icon is meant to be shown: from the window's creation until
// the program ends.
static BOOL g_icon_wanted;

static void on_create(HWND window)
{
    // Sent when the taskbar (re)starts, as after Explorer crashed: every icon
    // is gone then, and this one is the only way to stop notchkey.
    g_taskbar_created = RegisterWindowMessageA("TaskbarCreated");
    g_icon_wanted = TRUE;
    g_nid.cbSize = NOTIFYICONDATAA_V1_SIZE;
    g_nid.hWnd = window;
    g_nid.uID = 1;
    g_nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    g_nid.uCallbackMessage = WM_TRAYNOTIFY;
    g_nid.hIcon = g_icon_small;
    lstrcpyA(g_nid.szTip, APP_TIP);
    Shell_NotifyIconA(NIM_ADD, &g_nid);
}

// The worker starts on its way out while the message loop ends.
static void end_program(void)
{
    stop_ask();
    g_icon_wanted = FALSE;
    Shell_NotifyIconA(NIM_DELETE, &g_nid);
    PostQuitMessage(0);
}

static void on_tray_notify(HWND window, LPARAM mouse)
{
    if (mouse != WM_RBUTTONDOWN)
        return;
    GetCursorPos(&g_cursor);
    // Without the foreground the menu would not close when clicked away from.
    // It is only lent: a hidden window that kept it would take every key we
    // send, and the user's own, away from the simulator.
    HWND previous = GetForegroundWindow();
    SetForegroundWindow(window);
    TrackPopupMenu(g_popup, TPM_BOTTOMALIGN | TPM_RIGHTBUTTON, g_cursor.x, g_cursor.y, 0, window,
                   NULL);
    if (previous && previous != window && IsWindow(previous))
        SetForegroundWindow(previous);
}

// The worker has told the user why it gave up and is on its way out.
static void on_worker_ended(void)
{
    // A second notice finds no worker left to ask about.
    if (g_worker) {
        DWORD code = 0;
        for (int tries = 0; tries < WORKER_QUERY_TRIES; ++tries)
            if (GetExitCodeThread(g_worker, &code))
                break;
        CloseHandle(g_worker);
        g_worker = 0;
    }
    end_program();
}

// A balloon from the icon. The old family's notification area knows only
// the first record, which has no balloon: given the larger one, the call
// fails there, and nothing shows.
void show_balloon(const char *text, DWORD icon)
{
    if (!g_icon_wanted)
        return;
    NOTIFYICONDATAA balloon = g_nid;
    balloon.cbSize = NOTIFYICONDATAA_V2_SIZE;
    balloon.uFlags = NIF_INFO;
    snprintf(balloon.szInfo, sizeof balloon.szInfo, "%s", text);
    lstrcpyA(balloon.szInfoTitle, APP_TITLE);
    balloon.dwInfoFlags = icon;
    Shell_NotifyIconA(NIM_MODIFY, &balloon);
}

// A change of the mascon's line, told once in a balloon from the icon.
static void on_mascon_line(WPARAM number, LPARAM back)
{
    char port[256], text[sizeof g_nid.szInfo];
    if (number)
        snprintf(port, sizeof port, "COM%d", static_cast<int>(number));
    else
        lstrcpyA(port, g_port_named);
    if (back)
        snprintf(text, sizeof text, "The mascon is back on %.200s.", port);
    else
        snprintf(text, sizeof text, "The mascon on %.200s is gone: waiting for it.", port);
    show_balloon(text, back ? NIIF_INFO : NIIF_WARNING);
}

LRESULT CALLBACK tray_wndproc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (g_taskbar_created && message == g_taskbar_created) {
        if (g_icon_wanted)
            Shell_NotifyIconA(NIM_ADD, &g_nid);
        return 0;
    }
    switch (message) {
    case WM_CREATE: on_create(window); return 0;
    case WM_DESTROY: end_program(); return 0;
    case WM_COMMAND:
        if (LOWORD(wparam) == IDM_EXIT)
            end_program();
        return 0;
    case WM_TRAYNOTIFY: on_tray_notify(window, lparam); return 0;
    case WM_WORKER_ENDED: on_worker_ended(); return 0;
    case WM_MASCON_LINE: on_mascon_line(wparam, lparam); return 0;
    case WM_MASCON_WAITING: show_balloon(g_waiting[wparam & 1], NIIF_WARNING); return 0;
    default: return DefWindowProcA(window, message, wparam, lparam);
    }
}
