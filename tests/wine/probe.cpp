// probe.exe: the Wine desk's stand-in for a simulator. It starts notchkey.exe
// and writes down, one line at a time, what a simulator in the foreground and
// a user at the desk would see of it: the keys its window receives, the
// message boxes (answered with OK after a pause), and how notchkey ended.
//
//   probe.exe NOTCHKEY_EXE WORKDIR OUTFILE [--commands FILE] [--hook-keys FILE]
//             [--box-delay MS] [--timeout S] [--args TEXT] [--window hidden]
//
// OUTFILE lines, in the order they happened:
//   "press 52" / "release 07"  a WM_KEYDOWN / WM_KEYUP of the probe's window,
//                              scan code in hex; "press e0 48" for a key with
//                              the extended bit (bit 24 of lParam)
//   "wparam 2d numlock 0"      after each key line: the virtual key the
//                              window got with it, and the Num Lock light
//   "box TEXT"                 a message box of notchkey's, found and read
//   "balloon TEXT"             a balloon the notification area shows, read
//                              from its tool tip window (another process's)
//   "balloons unreadable"      at the start, where the notification area's
//                              process is of another width than the probe
//                              (a 64-bit one beside a 32-bit probe)
// TEXT has its line breaks as \n, and its backslashes doubled.
//   "menu exit" / "menu dismissed" / "menu not found" / "close"
//                              a command of the --commands file carried out
//   "exit CODE" or "timeout"   the last line
// "menu dismissed" is written once the menu is gone and the probe's window is
// the foreground again, or, when notchkey keeps it, as "menu dismissed,
// foreground kept". The --commands file is read line by line as it grows:
// "menu exit" (right-click the icon, choose Exit), "menu dismiss" (right-click,
// then Esc), "close" (WM_CLOSE to notchkey's windows, as taskkill does),
// "taskbar restart" (notchkey's icon taken out of the notification area and
// "TaskbarCreated" broadcast, as when Explorer restarts; then "icon back" once
// the icon is there again, or "icon lost" after 5 s). The
// low-level hook's view of every key event, flagged when not injected, goes
// to --hook-keys, for when the window saw less than it should have.
//
// The probe brings its window to the foreground at the start, and again only
// on the command "front" ("front" once it has it, or "front refused"):
// whatever takes the foreground from it keeps it, as on a user's desk. With
// "-" for NOTCHKEY_EXE it starts nothing and stands in for a second
// simulator, a program of its own file name; "close" then closes it.
// With "--window hidden" it shows no window and leaves the foreground alone:
// a second notchkey started beside a probe that has it.

#include <windows.h>

#include <commctrl.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define PROBE_CLASS "notchkey probe"
// notchkey's names and numbers written out rather than taken from its
// headers, so that a change on its side shows up here as a failure.
#define APP_TITLE "Lever to keys!"
#define WM_TRAYNOTIFY 0x8064
#define TRAY_ICON_ID 1
#define TICK_MS 50
// How long the menu may take to appear, and the foreground to come back.
#define MENU_WAIT_MS 5000
// Hook calls and key messages for events sent just before notchkey ended may
// still be queued.
#define EXIT_GRACE_MS 300

enum MenuStep { MENU_IDLE, MENU_ASKED, MENU_CLOSING };

// Where the result lines go.
static HANDLE g_out = INVALID_HANDLE_VALUE;
// Where the hook's key events go; may be absent.
static HANDLE g_hook_keys = INVALID_HANDLE_VALUE;
// The file of commands; NULL when none was given.
static const char *g_commands;
// How many bytes of it have been carried out.
static DWORD g_commands_done;
// Milliseconds a box stays up before it is answered.
static DWORD g_box_delay_ms;
// The probe's visible window, the simulator stand-in.
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
// The menu command under way: where it stands, whether it chooses Exit, and
// when its present step began.
static MenuStep g_menu_step = MENU_IDLE;
static BOOL g_menu_exit;
static DWORD g_menu_since;
// notchkey's hidden window and its thread, which owns the menu once it is up.
static HWND g_tray_window;
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

// A text of several lines as one line: prefix, then the text, each line break
// as \n and each backslash doubled.
static void record_text(const char *prefix, const char *text)
{
    char line[1200];
    size_t at = snprintf(line, sizeof line, "%s ", prefix);
    for (const char *c = text; *c && at + 3 < sizeof line; ++c) {
        if (*c == '\r')
            continue;
        if (*c == '\n' || *c == '\\')
            line[at++] = '\\';
        line[at++] = *c == '\n' ? 'n' : *c;
    }
    line[at] = '\0';
    record(line);
}

static void record_key(HANDLE file, BOOL up, DWORD scan, BOOL extended, BOOL injected)
{
    char line[64];
    snprintf(line, sizeof line, "%s %s%02lx%s", up ? "release" : "press", extended ? "e0 " : "",
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
        record_key(g_hook_keys, up, key->scanCode, (key->flags & LLKHF_EXTENDED) != 0,
                   (key->flags & LLKHF_INJECTED) != 0);
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

static BOOL CALLBACK find_tray_window(HWND window, LPARAM found)
{
    if (!class_is(window, APP_TITLE) || !owned_by_child(window))
        return TRUE;
    *reinterpret_cast<HWND *>(found) = window;
    return FALSE;
}

static BOOL CALLBACK close_child_window(HWND window, LPARAM unused)
{
    (void)unused;
    if (owned_by_child(window))
        PostMessageA(window, WM_CLOSE, 0, 0);
    return TRUE;
}

static void watch_boxes(DWORD now)
{
    if (g_box) {
        if (static_cast<LONG>(now - g_box_due) < 0)
            return;
        PostMessageA(g_box, WM_COMMAND, IDOK, 0);
        g_box_answered = g_box;
        g_box = NULL;
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
    record_text("box", text);
    g_box = box;
    g_box_due = now + g_box_delay_ms;
}

// The balloons the notification area has shown: its tool tip windows, and
// the text each had when last read.
#define BALLOONS_MAX 16
static HWND g_balloon_windows[BALLOONS_MAX];
static WCHAR g_balloon_texts[BALLOONS_MAX][1024];

static BOOL CALLBACK find_tooltips(HWND window, LPARAM list)
{
    HWND *found = reinterpret_cast<HWND *>(list);
    if (!IsWindowVisible(window) || !class_is(window, TOOLTIPS_CLASSA))
        return TRUE;
    for (int i = 0; i < BALLOONS_MAX; ++i)
        if (!found[i]) {
            found[i] = window;
            break;
        }
    return TRUE;
}

// A tool tip window keeps its text in its own process: asked for it into
// memory lent there, and read back.
static BOOL read_tooltip(HWND tip, WCHAR *text, DWORD cap)
{
    struct Lent {
        TTTOOLINFOW info;
        WCHAR text[1024];
    };
    DWORD pid = 0;
    GetWindowThreadProcessId(tip, &pid);
    HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
    if (!process)
        return FALSE;
    Lent *lent = static_cast<Lent *>(VirtualAllocEx(process, NULL, sizeof(Lent), MEM_COMMIT, PAGE_READWRITE));
    Lent here;
    memset(&here, 0, sizeof here);
    here.info.cbSize = sizeof here.info;
    BOOL read = FALSE;
    if (lent && WriteProcessMemory(process, lent, &here, sizeof here, NULL) &&
        SendMessageW(tip, TTM_ENUMTOOLSW, 0, reinterpret_cast<LPARAM>(&lent->info)) &&
        ReadProcessMemory(process, &lent->info, &here.info, sizeof here.info, NULL)) {
        here.info.lpszText = lent->text;
        WriteProcessMemory(process, &lent->info, &here.info, sizeof here.info, NULL);
        SendMessageW(tip, TTM_GETTEXTW, 1024, reinterpret_cast<LPARAM>(&lent->info));
        read = ReadProcessMemory(process, lent->text, here.text, sizeof here.text, NULL);
    }
    if (lent)
        VirtualFreeEx(process, lent, 0, MEM_RELEASE);
    CloseHandle(process);
    if (!read)
        return FALSE;
    here.text[1023] = 0;
    lstrcpynW(text, here.text, static_cast<int>(cap));
    return TRUE;
}

// Whether the notification area's records are laid out as the probe's: a
// process of another width reads them otherwise.
static BOOL g_balloons_readable = TRUE;

static void check_balloons_readable(void)
{
    DWORD pid = 0;
    HWND tray = FindWindowA("Shell_TrayWnd", NULL);
    if (!tray || !GetWindowThreadProcessId(tray, &pid))
        return;
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid);
    BOOL tray_wow64 = FALSE, own_wow64 = FALSE;
    if (process && IsWow64Process(process, &tray_wow64) && IsWow64Process(GetCurrentProcess(), &own_wow64) &&
        tray_wow64 != own_wow64) {
        g_balloons_readable = FALSE;
        record("balloons unreadable");
    }
    if (process)
        CloseHandle(process);
}

static void watch_balloons(void)
{
    if (!g_balloons_readable)
        return;
    HWND found[BALLOONS_MAX] = {};
    EnumWindows(find_tooltips, reinterpret_cast<LPARAM>(found));
    for (int i = 0; i < BALLOONS_MAX && found[i]; ++i) {
        WCHAR text[1024];
        if (!read_tooltip(found[i], text, 1024) || !text[0])
            continue;
        int slot = 0;
        while (slot < BALLOONS_MAX - 1 && g_balloon_windows[slot] && g_balloon_windows[slot] != found[i])
            ++slot;
        if (g_balloon_windows[slot] == found[i] && lstrcmpW(g_balloon_texts[slot], text) == 0)
            continue;
        g_balloon_windows[slot] = found[i];
        lstrcpynW(g_balloon_texts[slot], text, 1024);
        char line[2048];
        WideCharToMultiByte(CP_ACP, 0, text, -1, line, sizeof line, NULL, NULL);
        record_text("balloon", line);
    }
}

// The next whole line of the commands file not yet carried out, without its
// line end; FALSE when there is none.
static BOOL next_command(char *command, DWORD cap)
{
    if (!g_commands)
        return FALSE;
    HANDLE file = CreateFileA(g_commands, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return FALSE;
    char text[256] = "";
    DWORD got = 0;
    SetFilePointer(file, static_cast<LONG>(g_commands_done), NULL, FILE_BEGIN);
    ReadFile(file, text, sizeof text - 1, &got, NULL);
    CloseHandle(file);
    text[got] = '\0';
    char *end = strchr(text, '\n');
    if (!end)
        return FALSE;
    *end = '\0';
    g_commands_done += static_cast<DWORD>(end - text) + 1;
    if (end > text && end[-1] == '\r')
        end[-1] = '\0';
    snprintf(command, cap, "%s", text);
    return TRUE;
}

static void post_key(HWND window, UINT vk)
{
    LPARAM scan = static_cast<LPARAM>(MapVirtualKeyA(vk, MAPVK_VK_TO_VSC)) << 16;
    PostMessageA(window, WM_KEYDOWN, vk, scan | 1);
}

// The way a user reaches the menu: a right-click on the icon. Exit is then
// chosen (down to the first item, Enter), or the menu closed with Esc.
static void drive_menu(DWORD now)
{
    if (g_menu_step == MENU_ASKED) {
        HWND menu = NULL;
        EnumWindows(find_menu, reinterpret_cast<LPARAM>(&menu));
        if (menu) {
            if (g_menu_exit) {
                record("menu exit");
                post_key(menu, VK_DOWN);
                post_key(menu, VK_RETURN);
                g_menu_step = MENU_IDLE;
            } else {
                post_key(menu, VK_ESCAPE);
                g_menu_step = MENU_CLOSING;
                g_menu_since = now;
            }
        } else if (now - g_menu_since > MENU_WAIT_MS) {
            record("menu not found");
            g_menu_step = MENU_IDLE;
        }
        return;
    }
    // Dismissed: done once the menu is gone and the foreground has come back
    // to the window that had it.
    HWND menu = NULL;
    EnumWindows(find_menu, reinterpret_cast<LPARAM>(&menu));
    if (menu && now - g_menu_since <= MENU_WAIT_MS)
        return;
    if (!menu && GetForegroundWindow() == g_window) {
        record("menu dismissed");
        g_menu_step = MENU_IDLE;
    } else if (now - g_menu_since > MENU_WAIT_MS) {
        record(menu ? "menu not closed" : "menu dismissed, foreground kept");
        g_menu_step = MENU_IDLE;
    }
}

// The taskbar restart under way: when it began, 0 for none.
static DWORD g_taskbar_since;

static NOTIFYICONDATAA child_icon(HWND window)
{
    NOTIFYICONDATAA icon;
    memset(&icon, 0, sizeof icon);
    icon.cbSize = NOTIFYICONDATAA_V1_SIZE;
    icon.hWnd = window;
    icon.uID = TRAY_ICON_ID;
    return icon;
}

static void restart_taskbar(DWORD now)
{
    HWND window = NULL;
    EnumWindows(find_tray_window, reinterpret_cast<LPARAM>(&window));
    NOTIFYICONDATAA icon = child_icon(window);
    if (!window || !Shell_NotifyIconA(NIM_DELETE, &icon)) {
        record("icon not found");
        return;
    }
    g_tray_window = window;
    PostMessageA(HWND_BROADCAST, RegisterWindowMessageA("TaskbarCreated"), 0, 0);
    g_taskbar_since = now ? now : 1;
}

// An icon that is there takes a change of nothing.
static void watch_taskbar(DWORD now)
{
    NOTIFYICONDATAA icon = child_icon(g_tray_window);
    if (Shell_NotifyIconA(NIM_MODIFY, &icon)) {
        record("icon back");
        g_taskbar_since = 0;
    } else if (now - g_taskbar_since >= MENU_WAIT_MS) {
        record("icon lost");
        g_taskbar_since = 0;
    }
}

static void run_commands(DWORD now)
{
    if (g_menu_step != MENU_IDLE) {
        drive_menu(now);
        return;
    }
    char command[256];
    if (!next_command(command, sizeof command))
        return;
    if (strcmp(command, "close") == 0) {
        record("close");
        if (g_child.hProcess)
            EnumWindows(close_child_window, 0);
        else
            DestroyWindow(g_window);
        return;
    }
    if (strcmp(command, "front") == 0) {
        SetForegroundWindow(g_window);
        SetFocus(g_window);
        record(GetForegroundWindow() == g_window ? "front" : "front refused");
        return;
    }
    if (strcmp(command, "taskbar restart") == 0) {
        restart_taskbar(now);
        return;
    }
    if (strcmp(command, "menu exit") != 0 && strcmp(command, "menu dismiss") != 0) {
        char line[300];
        snprintf(line, sizeof line, "unknown command %s", command);
        record(line);
        return;
    }
    HWND window = NULL;
    EnumWindows(find_tray_window, reinterpret_cast<LPARAM>(&window));
    if (!window) {
        record("menu not found");
        return;
    }
    g_tray_window = window;
    g_tray_thread = GetWindowThreadProcessId(window, NULL);
    g_menu_exit = strcmp(command, "menu exit") == 0;
    PostMessageA(window, WM_TRAYNOTIFY, TRAY_ICON_ID, WM_RBUTTONDOWN);
    g_menu_step = MENU_ASKED;
    g_menu_since = now;
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
    if (g_child.hProcess && WaitForSingleObject(g_child.hProcess, 0) == WAIT_OBJECT_0) {
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
    watch_balloons();
    if (g_taskbar_since)
        watch_taskbar(now);
    run_commands(now);
}

static LRESULT CALLBACK probe_wndproc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
    case WM_KEYUP:
    case WM_SYSKEYUP:
        record_key(g_out, message == WM_KEYUP || message == WM_SYSKEYUP,
                   static_cast<DWORD>(lparam >> 16), (lparam & (1 << 24)) != 0, TRUE);
        {
            char line[64];
            snprintf(line, sizeof line, "wparam %02lx numlock %d",
                     static_cast<unsigned long>(wparam), GetKeyState(VK_NUMLOCK) & 1);
            record(line);
        }
        return 0;
    case WM_TIMER: on_tick(); return 0;
    case WM_DESTROY: PostQuitMessage(0); return 0;
    default: return DefWindowProcA(window, message, wparam, lparam);
    }
}

static HWND create_probe_window(HINSTANCE instance, BOOL shown)
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
    if (!window || !shown)
        return window;
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

static BOOL start_child(const char *exe, const char *workdir, const char *args)
{
    char command_line[MAX_PATH + 1024];
    snprintf(command_line, sizeof command_line, "\"%s\"%s%s", exe, *args ? " " : "", args);
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
    const char *args = "";
    DWORD timeout_s = 60;
    BOOL shown = TRUE;
    for (int i = 4; i < __argc; i += 2) {
        if (i + 1 >= __argc)
            return 2;
        const char *value = __argv[i + 1];
        if (strcmp(__argv[i], "--commands") == 0) {
            g_commands = value;
        } else if (strcmp(__argv[i], "--hook-keys") == 0) {
            g_hook_keys = create_output(value);
            if (g_hook_keys == INVALID_HANDLE_VALUE)
                return 2;
        } else if (strcmp(__argv[i], "--box-delay") == 0) {
            if (!parse_number(value, &g_box_delay_ms))
                return 2;
        } else if (strcmp(__argv[i], "--timeout") == 0) {
            if (!parse_number(value, &timeout_s))
                return 2;
        } else if (strcmp(__argv[i], "--args") == 0) {
            args = value;
        } else if (strcmp(__argv[i], "--window") == 0 && strcmp(value, "hidden") == 0) {
            shown = FALSE;
        } else {
            return 2;
        }
    }
    g_out = create_output(__argv[3]);
    if (g_out == INVALID_HANDLE_VALUE)
        return 2;

    g_window = create_probe_window(instance, shown);
    if (!g_window)
        return 3;
    g_hook = SetWindowsHookExA(WH_KEYBOARD_LL, keyboard_hook, instance, 0);
    if (!g_hook) {
        record("no keyboard hook");
        return 3;
    }
    if (strcmp(exe, "-") != 0 && !start_child(exe, workdir, args)) {
        char line[64];
        snprintf(line, sizeof line, "can't start notchkey: error %lu",
                 static_cast<unsigned long>(GetLastError()));
        record(line);
        return 3;
    }
    check_balloons_readable();
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
    if (g_child.hProcess) {
        CloseHandle(g_child.hThread);
        CloseHandle(g_child.hProcess);
    }
    CloseHandle(g_out);
    if (g_hook_keys != INVALID_HANDLE_VALUE)
        CloseHandle(g_hook_keys);
    return result;
}
