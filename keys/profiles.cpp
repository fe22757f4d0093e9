#include "keys/profiles.h"

#include "keys/keydrv.h"
#include "keys/keynames.h"
#include "keys/senders.h"

#include <string.h>

KeySettings g_key_settings;
int g_profile_active;

// What names the program in front, looked up at run time: the old family of
// Windows has no QueryFullProcessImageNameA, and an exe that imported it
// would not load there. All of them, or none.
static decltype(&GetForegroundWindow) g_foreground_window;
static decltype(&GetWindowThreadProcessId) g_window_process;
static decltype(&OpenProcess) g_open_process;
static decltype(&QueryFullProcessImageNameA) g_process_image;

// The window in front at the worker's last look, and the profile its program
// selects: a window's program is its own for as long as it lives. Only a
// program that could be named is kept.
static HWND g_front_window;
static int g_front_profile;

// A program's path as the system gives it: a path may be as long as the
// system's longest, far over MAX_PATH.
static char g_front_path[32768];

// Set by the system's word of a new window in front, on the thread of the
// message loop; taken by the worker.
static volatile LONG g_front_changed;

void profiles_install(const KeySettings *settings)
{
    g_key_settings = *settings;
    g_profile_active = g_key_settings.default_profile;
    g_keys = &g_key_settings.profiles[g_profile_active].keys;
}

// A program's file name, its folder and its ".exe" left off, into out: the
// system names the program in front by its full path, and users write it
// with or without either.
static void program_name(const char *path, char (&out)[MAX_PATH])
{
    const char *file = path;
    for (const char *c = path; *c; ++c)
        if (*c == '\\' || *c == '/')
            file = c + 1;
    size_t len = strnlen(file, sizeof out - 1);
    if (len > 4 && lstrcmpiA(file + len - 4, ".exe") == 0)
        len -= 4;
    memcpy(out, file, len);
    out[len] = '\0';
}

int profile_of_program(const char *path)
{
    char front[MAX_PATH], listed[MAX_PATH];
    program_name(path, front);
    for (int i = 1; i <= g_key_settings.count; ++i)
        for (const char *name = g_key_settings.profiles[i].programs; *name; name += strlen(name) + 1) {
            program_name(name, listed);
            if (lstrcmpiA(front, listed) == 0)
                return i;
        }
    return g_key_settings.default_profile;
}

static void CALLBACK on_front_changed(HWINEVENTHOOK hook, DWORD event, HWND window, LONG object,
                                      LONG child, DWORD thread, DWORD time)
{
    (void)hook, (void)event, (void)window, (void)object, (void)child, (void)thread, (void)time;
    InterlockedExchange(&g_front_changed, 1);
}

void profile_watch_front(void)
{
    if (!g_key_settings.count)
        return;
    // Each variable has the type of the function it names.
    g_foreground_window =
        system_function<decltype(g_foreground_window)>("user32.dll", "GetForegroundWindow");
    g_window_process =
        system_function<decltype(g_window_process)>("user32.dll", "GetWindowThreadProcessId");
    g_open_process = system_function<decltype(g_open_process)>("kernel32.dll", "OpenProcess");
    g_process_image = system_function<decltype(g_process_image)>("kernel32.dll",
                                                                 "QueryFullProcessImageNameA");
    if (!g_foreground_window || !g_window_process || !g_open_process || !g_process_image) {
        g_process_image = NULL;
        return;
    }
    // Without the system's word (or where it never comes), the worker still
    // looks before every message's keys.
    auto set_hook = system_function<decltype(&SetWinEventHook)>("user32.dll", "SetWinEventHook");
    if (set_hook)
        set_hook(EVENT_SYSTEM_FOREGROUND, EVENT_SYSTEM_FOREGROUND, NULL, on_front_changed, 0, 0,
                 WINEVENT_OUTOFCONTEXT);
}

BOOL profile_front_changed(void)
{
    return InterlockedExchange(&g_front_changed, 0) != 0;
}

// The profile the program in front selects; -1 where nothing in front can
// be named, to keep the one in use.
static int front_profile(void)
{
    if (!g_process_image)
        return g_key_settings.default_profile;
    HWND window = g_foreground_window();
    if (window && window == g_front_window)
        return g_front_profile;
    DWORD process_id = 0;
    if (!window || !g_window_process(window, &process_id) ||
        process_id == GetCurrentProcessId())
        return -1;
    HANDLE process = g_open_process(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id);
    if (!process)
        return -1;
    DWORD size = sizeof g_front_path;
    BOOL named = g_process_image(process, 0, g_front_path, &size);
    CloseHandle(process);
    if (!named)
        return -1;
    g_front_window = window;
    g_front_profile = profile_of_program(g_front_path);
    return g_front_profile;
}

BOOL profile_follow_front(LONG lever)
{
    if (!g_key_settings.count)
        return TRUE;
    int profile = front_profile();
    if (profile < 0 || profile == g_profile_active)
        return TRUE;
    return profile_switch(profile, lever);
}

BOOL profile_switch(int profile, LONG lever)
{
    release_held_keys();
    drop_held_buttons();
    g_profile_active = profile;
    g_keys = &g_key_settings.profiles[profile].keys;
    return lever == LEVER_UNKNOWN || take_lever(lever);
}
