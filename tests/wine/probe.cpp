// probe.exe: starts notchkey.exe under Wine and writes down, one line at a
// time, what a user and a simulator in the foreground would see of it: its
// key events, its message boxes (answered with OK), the menu's Exit, and how it
// ended.
//
//   probe.exe NOTCHKEY_EXE WORKDIR OUTFILE [--commands FILE] [--window-keys FILE]
//             [--box-delay MS] [--timeout S]
//
// OUTFILE lines: "press 52" / "release 07" (scan code in hex, from the
// low-level hook), "box TEXT", "menu exit" or "menu not found", then
// "exit CODE" or "timeout". Key events that reach the probe's own window as
// WM_KEYDOWN/WM_KEYUP go to the --window-keys file in the same form, so no
// event is counted twice. The word "exit" in the --commands file asks for the
// tray menu's Exit.

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define PROBE_CLASS "notchkey probe"
// notchkey's names and numbers written out rather than taken from its
// headers, so that a change on its side shows up here as a failure.
#define APP_TITLE "Lever to keys!"
#define WM_TRAYNOTIFY 0x8064
#define TRAY_ICON_ID 1
#define IDM_EXIT 40001
#define TICK_MS 50
// How long the menu may take to appear before Exit is sent as a command.
#define MENU_WAIT_MS 5000
// Hook calls for events sent just before notchkey ended may still be queued.
#define EXIT_GRACE_MS 300

enum ExitStep { EXIT_IDLE, EXIT_MENU_ASKED, EXIT_DONE };

// Where the result lines go.
static HANDLE g_out = INVALID_HANDLE_VALUE;
// Where key messages seen by the probe's window go; may be absent.
static HANDLE g_window_keys = INVALID_HANDLE_VALUE;
// The file polled for "exit"; NULL when none was given.
static const char *g_commands;
// Milliseconds a box stays up before it is answered.
static DWORD g_box_delay_ms;
// The probe's visible window, which wants to be the foreground.
static HWND g_window;
// The low-level keyboard hook.
static HHOOK g_hook;
// notchkey.exe, started by the probe.
static PROCESS_INFORMATION g_child;
// The box being held open until it is answered.
static HWND g_box;
// When g_box is answered.
static DWORD g_box_due;
// The last box answered, ignored while it is still closing.
static HWND g_box_answered;
// Progress of the menu's Exit.
static ExitStep g_exit_step = EXIT_IDLE;
// When the menu was asked for.
static DWORD g_exit_asked;
// notchkey's hidden window, found when the menu is asked for.
static HWND g_tray_window;
// The thread of g_tray_window, which owns the menu once it is up.
static DWORD g_tray_thread;
// When the whole run is given up.
static DWORD g_deadline;
// When notchkey was seen gone; 0 while it runs.
static DWORD g_child_gone;

static void write_line(HANDLE file, const char *text)
{
    if (file == INVALID_HANDLE_VALUE)
        return;
    char line[600];
    int len = snprintf(line, sizeof line, "%s\n", text);
    if (len < 0)
        return;
    if (len >= static_cast<int>(sizeof line))
        len = sizeof line - 1;
    DWORD written = 0;
    WriteFile(file, line, static_cast<DWORD>(len), &written, NULL);
}

static void record(const char *text)
{
    write_line(g_out, text);
}

static void record_key(HANDLE file, BOOL up, DWORD scan, BOOL injected)
{
    char line[64];
    snprintf(line, sizeof line, "%s %02lx%s", up ? "release" : "press",
             static_cast<unsigned long>(scan & 0xff), injected ? "" : " (not injected)");
    write_line(file, line);
}

static HANDLE create_output(const char *path)
{
    return CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
}

static LRESULT CALLBACK keyboard_hook(int code, WPARAM wparam, LPARAM lparam)
{
    if (code == HC_ACTION) {
        const KBDLLHOOKSTRUCT *key = reinterpret_cast<const KBDLLHOOKSTRUCT *>(lparam);
        BOOL up = wparam == WM_KEYUP || wparam == WM_SYSKEYUP;
        record_key(g_out, up, key->scanCode, (key->flags & LLKHF_INJECTED) != 0);
    }
    return CallNextHookEx(g_hook, code, wparam, lparam);
}

static BOOL owned_by_child(HWND window)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    return pid == g_child.dwProcessId;
}

static BOOL class_is(HWND window, const char *name)
{
    char class_name[64];
    if (!GetClassNameA(window, class_name, sizeof class_name))
        return FALSE;
    return strcmp(class_name, name) == 0;
}

static BOOL CALLBACK find_box(HWND window, LPARAM found)
{
    char title[64];
    if (window == g_box_answered || !IsWindowVisible(window) || !class_is(window, "#32770") ||
        !owned_by_child(window))
        return TRUE;
    if (!GetWindowTextA(window, title, sizeof title) || strcmp(title, APP_TITLE) != 0)
        return TRUE;
    *reinterpret_cast<HWND *>(found) = window;
    return FALSE;
}

static BOOL CALLBACK find_menu(HWND window, LPARAM found)
{
    DWORD thread = GetWindowThreadProcessId(window, NULL);
    if (thread != g_tray_thread || !IsWindowVisible(window) || !class_is(window, "#32768"))
        return TRUE;
    *reinterpret_cast<HWND *>(found) = window;
    return FALSE;
}

static void watch_boxes(DWORD now)
{
    if (g_box) {
        if (static_cast<LONG>(now - g_box_due) < 0)
            return;
        PostMessageA(g_box, WM_COMMAND, IDOK, 0);
        g_box_answered = g_box;
        g_box = NULL;
        SetForegroundWindow(g_window);
        return;
    }
    if (g_box_answered && !IsWindow(g_box_answered))
        g_box_answered = NULL;
    HWND box = NULL;
    EnumWindows(find_box, reinterpret_cast<LPARAM>(&box));
    if (!box)
        return;
    char text[512] = "";
    GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
    char line[600];
    snprintf(line, sizeof line, "box %s", text);
    record(line);
    g_box = box;
    g_box_due = now + g_box_delay_ms;
}

static BOOL exit_asked_for(void)
{
    if (!g_commands)
        return FALSE;
    HANDLE file = CreateFileA(g_commands, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return FALSE;
    char text[65] = "";
    DWORD got = 0;
    ReadFile(file, text, sizeof text - 1, &got, NULL);
    CloseHandle(file);
    text[got] = '\0';
    return strstr(text, "exit") != NULL;
}

static BOOL CALLBACK find_tray_window(HWND window, LPARAM found)
{
    if (!class_is(window, APP_TITLE) || !owned_by_child(window))
        return TRUE;
    *reinterpret_cast<HWND *>(found) = window;
    return FALSE;
}

static void post_key(HWND window, UINT vk)
{
    LPARAM scan = static_cast<LPARAM>(MapVirtualKeyA(vk, MAPVK_VK_TO_VSC)) << 16;
    PostMessageA(window, WM_KEYDOWN, vk, scan | 1);
}

// The way a user leaves: right-click on the icon, then "Exit" from its menu.
static void drive_exit(DWORD now)
{
    if (g_exit_step == EXIT_IDLE) {
        if (!exit_asked_for())
            return;
        HWND window = NULL;
        EnumWindows(find_tray_window, reinterpret_cast<LPARAM>(&window));
        if (!window)
            return; // not up yet: asked again on the next tick
        g_tray_window = window;
        g_tray_thread = GetWindowThreadProcessId(window, NULL);
        PostMessageA(window, WM_TRAYNOTIFY, TRAY_ICON_ID, WM_RBUTTONDOWN);
        g_exit_step = EXIT_MENU_ASKED;
        g_exit_asked = now;
        return;
    }
    if (g_exit_step != EXIT_MENU_ASKED)
        return;
    HWND menu = NULL;
    EnumWindows(find_menu, reinterpret_cast<LPARAM>(&menu));
    if (menu) {
        record("menu exit");
        post_key(menu, VK_DOWN);
        post_key(menu, VK_RETURN);
        g_exit_step = EXIT_DONE;
    } else if (now - g_exit_asked > MENU_WAIT_MS) {
        record("menu not found");
        PostMessageA(g_tray_window, WM_COMMAND, IDM_EXIT, 0);
        g_exit_step = EXIT_DONE;
    }
}

static void on_tick(void)
{
    DWORD now = GetTickCount();
    if (g_child_gone) {
        if (now - g_child_gone < EXIT_GRACE_MS)
            return;
        DWORD code = 0;
        GetExitCodeProcess(g_child.hProcess, &code);
        char line[32];
        snprintf(line, sizeof line, "exit %ld", static_cast<long>(static_cast<LONG>(code)));
        record(line);
        // A tick already queued must not write a second last line.
        KillTimer(g_window, 1);
        PostQuitMessage(0);
        return;
    }
    if (WaitForSingleObject(g_child.hProcess, 0) == WAIT_OBJECT_0) {
        g_child_gone = now ? now : 1;
        return;
    }
    if (static_cast<LONG>(now - g_deadline) >= 0) {
        TerminateProcess(g_child.hProcess, 1);
        record("timeout");
        KillTimer(g_window, 1);
        PostQuitMessage(1);
        return;
    }
    watch_boxes(now);
    drive_exit(now);
}

static LRESULT CALLBACK probe_wndproc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
    case WM_KEYUP:
    case WM_SYSKEYUP:
        record_key(g_window_keys, message == WM_KEYUP || message == WM_SYSKEYUP,
                   static_cast<DWORD>(lparam >> 16), TRUE);
        return 0;
    case WM_TIMER: on_tick(); return 0;
    case WM_DESTROY: PostQuitMessage(0); return 0;
    default: return DefWindowProcA(window, message, wparam, lparam);
    }
}

static HWND create_probe_window(HINSTANCE instance)
{
    WNDCLASSA window_class;
    memset(&window_class, 0, sizeof window_class);
    window_class.lpfnWndProc = probe_wndproc;
    window_class.hInstance = instance;
    window_class.hCursor = LoadCursorA(NULL, IDC_ARROW);
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    window_class.lpszClassName = PROBE_CLASS;
    if (!RegisterClassA(&window_class))
        return NULL;
    HWND window = CreateWindowExA(0, PROBE_CLASS, "Simulator stand-in", WS_OVERLAPPEDWINDOW,
                                  40, 40, 360, 200, NULL, NULL, instance, NULL);
    if (!window)
        return NULL;
    ShowWindow(window, SW_SHOW);
    UpdateWindow(window);
    SetForegroundWindow(window);
    SetFocus(window);
    return window;
}

static BOOL parse_number(const char *text, DWORD *value)
{
    char *end = NULL;
    unsigned long v = strtoul(text, &end, 10);
    if (!*text || *end)
        return FALSE;
    *value = static_cast<DWORD>(v);
    return TRUE;
}

static BOOL start_child(const char *exe, const char *workdir)
{
    char command_line[MAX_PATH + 3];
    snprintf(command_line, sizeof command_line, "\"%s\"", exe);
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    return CreateProcessA(exe, command_line, NULL, NULL, FALSE, 0, NULL, workdir, &startup,
                          &g_child);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show)
{
    (void)previous;
    (void)command_line;
    (void)show;

    if (__argc < 4)
        return 2;
    const char *exe = __argv[1];
    const char *workdir = __argv[2];
    DWORD timeout_s = 60;
    for (int i = 4; i < __argc; i += 2) {
        if (i + 1 >= __argc)
            return 2;
        const char *value = __argv[i + 1];
        if (strcmp(__argv[i], "--commands") == 0) {
            g_commands = value;
        } else if (strcmp(__argv[i], "--window-keys") == 0) {
            g_window_keys = create_output(value);
            if (g_window_keys == INVALID_HANDLE_VALUE)
                return 2;
        } else if (strcmp(__argv[i], "--box-delay") == 0) {
            if (!parse_number(value, &g_box_delay_ms))
                return 2;
        } else if (strcmp(__argv[i], "--timeout") == 0) {
            if (!parse_number(value, &timeout_s))
                return 2;
        } else {
            return 2;
        }
    }
    g_out = create_output(__argv[3]);
    if (g_out == INVALID_HANDLE_VALUE)
        return 2;

    g_window = create_probe_window(instance);
    if (!g_window)
        return 3;
    g_hook = SetWindowsHookExA(WH_KEYBOARD_LL, keyboard_hook, instance, 0);
    if (!g_hook) {
        record("no keyboard hook");
        return 3;
    }
    if (!start_child(exe, workdir)) {
        char line[64];
        snprintf(line, sizeof line, "can't start notchkey: error %lu",
                 static_cast<unsigned long>(GetLastError()));
        record(line);
        return 3;
    }
    g_deadline = GetTickCount() + timeout_s * 1000;
    SetTimer(g_window, 1, TICK_MS, NULL);

    MSG msg;
    int result = 0;
    for (;;) {
        int got = GetMessageA(&msg, NULL, 0, 0);
        if (got <= 0) {
            result = got == 0 ? static_cast<int>(msg.wParam) : 3;
            break;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    UnhookWindowsHookEx(g_hook);
    CloseHandle(g_child.hThread);
    CloseHandle(g_child.hProcess);
    CloseHandle(g_out);
    if (g_window_keys != INVALID_HANDLE_VALUE)
        CloseHandle(g_window_keys);
    return result;
}
