#include "keys/keydrv.h"
#include "keys/keys.h"
#include "keys/profiles.h"
#include "link/mascon_worker.h"
#include "res/resource.h"
#include "shell/shell.h"

#include <stdio.h>
#include <string.h>

static const char LOG_STARTED[] = "logging started.\r\n";
static const char LOG_ENDED[] = "logging ended.\r\n";

static void write_log(HANDLE log, const char *line)
{
    DWORD written = 0;
    WriteFile(log, line, static_cast<DWORD>(strlen(line)), &written, NULL);
}

static BOOL load_resources(HINSTANCE instance)
{
    g_icon_large = LoadIconA(instance, MAKEINTRESOURCEA(IDI_APP));
    g_icon_small = static_cast<HICON>(
        LoadImageA(instance, MAKEINTRESOURCEA(IDI_APP), IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR));
    g_menu = LoadMenuA(instance, MAKEINTRESOURCEA(IDR_TRAYMENU));
    if (!g_icon_large || !g_icon_small || !g_menu)
        return FALSE;
    g_popup = GetSubMenu(g_menu, 0);
    return TRUE;
}

static HWND create_main_window(HINSTANCE instance)
{
    WNDCLASSEXA window_class;
    memset(&window_class, 0, sizeof window_class);
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = tray_wndproc;
    window_class.hInstance = instance;
    window_class.hIcon = g_icon_large;
    window_class.hIconSm = g_icon_small;
    window_class.hCursor = LoadCursorA(NULL, IDC_ARROW);
    window_class.hbrBackground = static_cast<HBRUSH>(GetStockObject(LTGRAY_BRUSH));
    window_class.lpszClassName = APP_TITLE;
    if (!RegisterClassExA(&window_class))
        return NULL;
    // A tool window gets no taskbar button; the icon is all the user sees.
    HWND window = CreateWindowExA(WS_EX_TOOLWINDOW, APP_TITLE, APP_TITLE, WS_OVERLAPPEDWINDOW,
                                  CW_USEDEFAULT, CW_USEDEFAULT, 100, 100, NULL, NULL, instance,
                                  NULL);
    ShowWindow(window, SW_HIDE);
    UpdateWindow(window);
    return window;
}

static void warn(HWND owner, const char *text)
{
    snprintf(g_text, sizeof g_text, "%s", text);
    MessageBoxA(owner, g_text, APP_TITLE, MB_ICONWARNING);
}

// Asks the worker to stop and gives it the time to let its keys up and its
// ports back. Forcing it is the last resort: wherever it was cut off, a lock
// it held stays held and its ports stay as it set them.
static void stop_worker(void)
{
    stop_ask();
    if (g_worker) {
        if (WaitForSingleObject(g_worker, WORKER_STOP_WAIT_MS) != WAIT_OBJECT_0) {
            note("the serial worker did not stop within %d ms; it is ended as it is",
                 WORKER_STOP_WAIT_MS);
            TerminateThread(g_worker, 0);
            WaitForSingleObject(g_worker, WORKER_STOP_WAIT_MS);
        }
        CloseHandle(g_worker);
        g_worker = 0;
    }
    // After a worker that was ended, or one that never ran, nothing else would.
    release_held_keys();
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show)
{
    (void)previous;
    (void)command_line;
    (void)show;

    AppConfig config;
    memset(&config, 0, sizeof config);
    BOOL logging = FALSE;
    HANDLE log = INVALID_HANDLE_VALUE;

    if (!load_resources(instance))
        return -1;
    config.hwnd = create_main_window(instance);
    if (!config.hwnd)
        return -1;

    if (load_config(&config) != 0 || keydrv_select(&config) != 0) {
        Shell_NotifyIconA(NIM_DELETE, &g_nid);
        return -1;
    }

    if (config.logfile[0]) {
        logging = TRUE;
        log = CreateFileA(config.logfile, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, NULL);
        if (log == INVALID_HANDLE_VALUE) {
            warn(config.hwnd, "can't open log file.");
            Shell_NotifyIconA(NIM_DELETE, &g_nid);
            return -1;
        }
    }
    if (logging)
        write_log(log, LOG_STARTED);

    if (keydrv_open(&config) != 0) {
        Shell_NotifyIconA(NIM_DELETE, &g_nid);
        return -1;
    }

    g_port_named = config.port;
    profile_watch_front();
    stop_create();
    g_worker = CreateThread(NULL, 0, mascon_worker, &config, 0, NULL);

    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }

    if (logging) {
        write_log(log, LOG_ENDED);
        CloseHandle(log);
    }
    stop_worker();
    return 0;
}
