// The tray shell: start-up, settings, the log file, the hidden window with its
// notification icon and menu, the message loop, and shutdown.
#pragma once

#include "common/notchkey.h"

#include <shellapi.h>

#define SETTINGS_FILE ".\\notchkey.ini"
#define PORT_DEFAULT "COM2"
#define RECONNECT_YES "yes"
#define RECONNECT_NO "no"
// The longest log path kept, although its field holds more.
#define LOGFILE_MAX 255

// How many times a failing exit-code query of the ended worker is repeated.
#define WORKER_QUERY_TRIES 10
// How long shutdown waits for the worker to stop by itself, and then for
// the forced one to be gone.
#define WORKER_STOP_WAIT_MS 2000

// Loaded at start-up and held for the life of the process.
extern HICON g_icon_large;
extern HICON g_icon_small;
extern HMENU g_menu;
extern HMENU g_popup; // the pop-up holding "Exit"
// The serial worker; 0 when there is none.
extern HANDLE g_worker;
// The settings' port=, for the balloons of a port named other than COMn.
extern const char *g_port_named;

// The notification icon's record, shared with start-up for removing it.
extern NOTIFYICONDATAA g_nid;
// Where the mouse was when the menu was asked for.
extern POINT g_cursor;
// The message the taskbar sends when it (re)starts; 0 until the window exists.
extern UINT g_taskbar_created;

// Fills port, logfile, injector, keys, lever, step, profile, the profile
// sections and reconnect from the settings file: 0, or -1 after telling the
// user reconnect is neither yes nor no. Called before anything is opened.
int load_config(AppConfig *config);

// A balloon from the notification icon, with an icon of NIIF_*, while the
// icon is meant to be shown. The old family's notification area knows only
// the first record, which has no balloon: given the larger one, the call
// fails there, and nothing shows.
void show_balloon(const char *text, DWORD icon);

LRESULT CALLBACK tray_wndproc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
