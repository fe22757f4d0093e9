// What every part of notchkey shares: the settings record, the buffer message
// box texts are formatted in, the program's title, and its private window
// messages.
#pragma once

#include <windows.h>

#include <stddef.h>

// The window class name, the window title and every message box's caption.
#define APP_TITLE "Lever to keys!"
// The notification icon's tool tip.
#define APP_TIP "NotchKey!"

// The notification icon's callback.
#define WM_TRAYNOTIFY (WM_APP + 100)
// Posted by the serial worker when it gives up.
#define WM_WORKER_ENDED (WM_APP + 101)
// Posted by the serial worker when the mascon's line goes (lparam 0) or the
// mascon answers again after a wait (lparam 1); wparam is its port's number,
// 0 for a port the settings name otherwise.
#define WM_MASCON_LINE (WM_APP + 102)
// Posted by the serial worker when a wait for the mascon begins, and when
// what it waits on changes; wparam is the index in g_waiting of the text.
#define WM_MASCON_WAITING (WM_APP + 103)

// The most [profile NAME] sections a settings file may have.
#define PROFILE_MAX 16

// A [profile NAME] section as read.
struct ProfileText {
    char section[48]; // the section's name as written, "profile" and all
    // Its lines in the form of [keys]: room for every key and step line a
    // profile can use, and a list of programs; a byte to spare, as for keys.
    char lines[2048 + 1];
};

// The settings, filled at start-up and only read once the worker runs.
struct AppConfig {
    char port[256];     // as the user wrote it: COM1 to COM256, or a serial device's name
    char logfile[1024]; // empty: no log
    HWND hwnd;          // the hidden main window, owner of every message box
    char injector[64];  // how key packets are delivered: "driver" or "sendinput"
    // The [keys] section as read: "name=value" strings, each NUL-terminated,
    // an empty one last. Room for ten times the entries a map can use, and a
    // byte to spare: a reader gives a section that fills its buffer to the
    // last byte back as it gives one it had to cut, so 4096 bytes would hold
    // a section of 4095 and not take it.
    char keys[4096 + 1];
    char lever[64]; // how the lever's keys go: "hold" (one held per position) or "step"
    // The [step] section as read, in the form of keys: the step keys and
    // times, looked at only with lever=step. A byte to spare, as for keys.
    char step[1024 + 1];
    char profile[64]; // the profile taken when no profile's program is in front; empty: none
    // The [profile NAME] sections in file order; one more than may be, so
    // that one too many can be told.
    int profile_count;
    ProfileText profiles[PROFILE_MAX + 1];
    BOOL reconnect; // reconnect=yes: a mascon that is gone is waited for
};

static_assert(offsetof(AppConfig, port) == 0, "port comes first");
static_assert(offsetof(AppConfig, logfile) == 256, "logfile follows port");
static_assert(offsetof(AppConfig, hwnd) >= 1280, "hwnd follows logfile");

// A function that only newer systems have, looked up at run time so that the
// exe still loads on the old family; NULL where the system lacks it. Called
// through decltype(&TheFunction), its calling convention the system headers'.
// Through void (*)(void), the one function type any other converts from
// without a warning.
void (*system_proc(const char *module_name, const char *name))(void);
template <typename Function> Function system_function(const char *module_name, const char *name)
{
    return reinterpret_cast<Function>(system_proc(module_name, name));
}

// The worker's stop: Exit asks for it, and every wait of the worker (a read,
// a step's pause, the wait between tries, a search's wait) watches it, so the
// worker lets its keys up, gives its ports back and returns by itself.
// Made at start-up, before the worker (made again, it is no longer asked);
// FALSE when the system has no event to give, and then the stop is only
// looked at between waits.
BOOL stop_create(void);
// Asks for the stop; from any thread, as often as the way out passes here.
void stop_ask(void);
// Waits ms, or until the stop is asked: TRUE once it has been (at once, then).
BOOL stop_wait(DWORD ms);
// Whether the stop has been asked, without waiting: cheap enough for every
// message.
BOOL stop_asked(void);

// Message box texts are formatted here. Start-up and the worker's failure
// never overlap, so one buffer serves both.
extern char g_text[1024];

// What the worker waits for and why, as the balloon says it. The worker
// writes one and posts its index, then writes the other next time: a text is
// not written over before the window has shown it (a second later at the
// soonest), and nothing else is shared.
#define WAITING_TEXT_MAX 256
extern char g_waiting[2][WAITING_TEXT_MAX];

// One line for whoever watches the program run, "notchkey: " and the text,
// through OutputDebugStringA: for a debugger, or whatever the system puts in
// its place. Facts a user may need when something is not as expected;
// nothing waits for them, and the boxes stay as they are.
__attribute__((format(printf, 1, 2))) void note(const char *format, ...);
