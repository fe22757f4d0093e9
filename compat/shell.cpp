// Resources, the notification area and pop-up menus.
//
// The native build carries no resource data: icons, cursors and brushes are
// handles the program passes around and never looks into, so any load
// succeeds; the pop-up menu's items are those of the resource script. The
// notification area keeps the icon added to it and hands it to the desktop's
// tray (tray.cpp), whose menu sends the program its commands. A click can
// also come from a signal (SIGUSR1: the menu is opened and dismissed;
// SIGUSR2: opened, and its first item chosen), and the pop-up menu it opens
// takes the choice the click brought. A restart of the notification area
// (SIGRTMIN, or the desktop's tray coming back) loses the icon and broadcasts
// "TaskbarCreated". A balloon from the icon is shown as a message box is: a
// line on standard error and a desktop notification.
#include "compat.h"

#include <pthread.h>
#include <stdio.h>
#include <string.h>

// Handles the program passes on and never looks into.
struct HICON__ {
    int unused;
};
struct MenuItem {
    const char *text;
    UINT id;
};

// The items of the pop-up, in order, as the resource script has them.
static const MenuItem g_menu_items[] = {
#include "menu_items.inc"
};

struct HMENU__ {
    HMENU__ *popup; // the one pop-up of a menu bar
};

static HICON__ g_icon;
static HMENU__ g_popup_menu;
static HMENU__ g_menu_bar = {&g_popup_menu};

static pthread_mutex_t g_shell_lock = PTHREAD_MUTEX_INITIALIZER;
static NOTIFYICONDATAA g_tray; // the icon shown, when g_tray_shown
static bool g_tray_shown;
static int g_menu_choice = -1; // what the next pop-up is answered with: an item, or -1

const char *compat_menu_item(int position, UINT *id)
{
    if (position < 0 || position >= static_cast<int>(sizeof g_menu_items / sizeof g_menu_items[0]))
        return nullptr;
    *id = g_menu_items[position].id;
    return g_menu_items[position].text;
}

HICON WINAPI LoadIconA(HINSTANCE, LPCSTR) { return &g_icon; }

HANDLE WINAPI LoadImageA(HINSTANCE, LPCSTR, UINT, int, int, UINT) { return &g_icon; }

HCURSOR WINAPI LoadCursorA(HINSTANCE, LPCSTR) { return &g_icon; }

HMENU WINAPI LoadMenuA(HINSTANCE, LPCSTR) { return &g_menu_bar; }

HMENU WINAPI GetSubMenu(HMENU menu, int position)
{
    return menu && position == 0 ? menu->popup : NULL;
}

HGDIOBJ WINAPI GetStockObject(int) { return reinterpret_cast<HGDIOBJ>(&g_icon); }

BOOL WINAPI TrackPopupMenu(HMENU menu, UINT, int, int, int, HWND owner, LPCRECT)
{
    if (!menu)
        return compat_fail(1401); // ERROR_INVALID_MENU_HANDLE
    pthread_mutex_lock(&g_shell_lock);
    int choice = g_menu_choice;
    g_menu_choice = -1;
    pthread_mutex_unlock(&g_shell_lock);
    if (menu != &g_popup_menu || choice < 0 ||
        choice >= static_cast<int>(sizeof g_menu_items / sizeof g_menu_items[0]))
        return FALSE; // dismissed without a choice
    // As on Windows, the command arrives once the menu has closed.
    PostMessageA(owner, WM_COMMAND, g_menu_items[choice].id, 0);
    return TRUE;
}

// A click is a message of the layer's own in the program's queue, so that it
// comes after whatever was posted before it (an icon added again first).
static UINT click_message(void) { return RegisterWindowMessageA("notchkey tray click"); }

static bool tray_clicked(const MSG *msg);

void compat_tray_click(int item)
{
    compat_dispatch_first(tray_clicked);
    PostMessageA(NULL, click_message(), static_cast<WPARAM>(item + 1), 0);
}

static bool tray_clicked(const MSG *msg)
{
    if (msg->hwnd || msg->message != click_message())
        return false;
    pthread_mutex_lock(&g_shell_lock);
    bool shown = g_tray_shown;
    NOTIFYICONDATAA icon = g_tray;
    if (shown)
        g_menu_choice = static_cast<int>(msg->wParam) - 1;
    pthread_mutex_unlock(&g_shell_lock);
    if (shown && (icon.uFlags & NIF_MESSAGE))
        PostMessageA(icon.hWnd, icon.uCallbackMessage, icon.uID, WM_RBUTTONDOWN);
    return true;
}

void compat_taskbar_restart(void)
{
    pthread_mutex_lock(&g_shell_lock);
    g_tray_shown = false;
    pthread_mutex_unlock(&g_shell_lock);
    compat_broadcast(RegisterWindowMessageA("TaskbarCreated"));
}

BOOL WINAPI Shell_NotifyIconA(DWORD message, PNOTIFYICONDATAA data)
{
    if (!data || data->cbSize < NOTIFYICONDATAA_V1_SIZE)
        return compat_fail(ERROR_INVALID_PARAMETER);
    pthread_mutex_lock(&g_shell_lock);
    bool same = g_tray_shown && g_tray.hWnd == data->hWnd && g_tray.uID == data->uID;
    BOOL done = FALSE;
    switch (message) {
    case NIM_ADD:
        if (!g_tray_shown) {
            memset(&g_tray, 0, sizeof g_tray);
            memcpy(&g_tray, data, NOTIFYICONDATAA_V1_SIZE);
            g_tray.szTip[63] = '\0';
            g_tray_shown = true;
            done = TRUE;
            compat_tray_publish(&g_tray, true);
        }
        break;
    case NIM_MODIFY:
        done = same;
        if (same && (data->uFlags & NIF_TIP)) {
            memcpy(g_tray.szTip, data->szTip, sizeof g_tray.szTip - 1);
            compat_tray_publish(&g_tray, false);
        }
        break;
    case NIM_DELETE:
        if (same) {
            g_tray_shown = false;
            done = TRUE;
            compat_tray_publish(nullptr, false);
        }
        break;
    default: break;
    }
    pthread_mutex_unlock(&g_shell_lock);
    if (!done)
        return compat_fail(ERROR_INVALID_PARAMETER);
    // Only the record that has a balloon's fields brings one.
    if (message == NIM_MODIFY && (data->uFlags & NIF_INFO) && data->cbSize >= NOTIFYICONDATAA_V2_SIZE &&
        data->szInfo[0]) {
        char title[sizeof data->szInfoTitle + 1] = {}, text[sizeof data->szInfo + 1] = {};
        memcpy(title, data->szInfoTitle, sizeof data->szInfoTitle);
        memcpy(text, data->szInfo, sizeof data->szInfo);
        fprintf(stderr, "%s: %s\n", title, text);
        fflush(stderr);
        compat_notify(title, text);
    }
    return TRUE;
}
