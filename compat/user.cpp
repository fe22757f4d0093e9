// Windows, window classes, the message queue, and message boxes.
//
// The program's windows all belong to its one user-interface thread, the only
// thread that takes messages: so there is one queue, into which a message
// posted to any window lands, whichever thread posts; dispatching calls the
// window procedure of its class. Nothing is drawn: a window is a message
// target. A message box has no one to answer it: it is one line on standard
// error, also a desktop notification where there is a desktop (notify.cpp),
// and is answered with OK.
#include "compat.h"

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <atomic>
#include <deque>

struct HWND__ {
    DWORD magic;
    WNDPROC proc;        // its class's
    HWND__ *next;        // every live window, for closing them all
};

struct WindowClass {
    char name[256];
    WNDPROC proc;
};

static const DWORD WINDOW_MAGIC = 0x6e6b776e; // "nkwn"

// One lock for the queue and the window list: traffic is a handful of
// messages per run.
static pthread_mutex_t g_user_lock = PTHREAD_MUTEX_INITIALIZER;
static std::deque<MSG> g_messages;                       // posted, oldest first
static pthread_cond_t g_arrived = PTHREAD_COND_INITIALIZER; // a message was posted
static HWND g_windows;              // live windows, newest first
static HWND g_retired;              // destroyed ones, kept so old handles stay readable
static WindowClass g_classes[16];   // registered classes
static int g_class_count;
static bool g_close_pending;        // a close came before any window existed
static HWND g_foreground;           // the window last brought to the foreground

static bool window_valid(HWND window) { return window && window->magic == WINDOW_MAGIC; }

static bool is_window(HWND window)
{
    pthread_mutex_lock(&g_user_lock);
    bool valid = window_valid(window);
    pthread_mutex_unlock(&g_user_lock);
    return valid;
}

// The caller holds g_user_lock.
static void post_locked(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    MSG msg = {window, message, wparam, lparam};
    g_messages.push_back(msg);
    pthread_cond_signal(&g_arrived);
}

static HWND window_new(void)
{
    HWND window = static_cast<HWND>(calloc(1, sizeof(HWND__)));
    if (!window) {
        compat_fail(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    window->magic = WINDOW_MAGIC;
    pthread_mutex_lock(&g_user_lock);
    window->next = g_windows;
    g_windows = window;
    pthread_mutex_unlock(&g_user_lock);
    return window;
}

void compat_close_windows(void)
{
    pthread_mutex_lock(&g_user_lock);
    if (!g_windows)
        g_close_pending = true;
    for (HWND window = g_windows; window; window = window->next)
        post_locked(window, WM_CLOSE, 0, 0);
    pthread_mutex_unlock(&g_user_lock);
}

void compat_broadcast(UINT message)
{
    pthread_mutex_lock(&g_user_lock);
    for (HWND window = g_windows; window; window = window->next)
        post_locked(window, message, 0, 0);
    pthread_mutex_unlock(&g_user_lock);
}

UINT WINAPI RegisterWindowMessageA(LPCSTR name)
{
    static char names[16][64];
    static int count;
    if (!name || !*name || strlen(name) >= sizeof names[0]) {
        compat_fail(ERROR_INVALID_PARAMETER);
        return 0;
    }
    pthread_mutex_lock(&g_user_lock);
    int i = 0;
    while (i < count && strcasecmp(names[i], name) != 0)
        ++i;
    if (i == count && count < 16)
        strcpy(names[count++], name);
    pthread_mutex_unlock(&g_user_lock);
    if (i == 16) {
        compat_fail(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    // Above the class atoms, in the range Windows gives registered messages.
    return 0xC800u + static_cast<UINT>(i);
}

// The procedure of a registered class, or null; the caller holds g_user_lock.
static WNDPROC class_proc(const char *name)
{
    for (int i = 0; name && i < g_class_count; ++i)
        if (strcasecmp(g_classes[i].name, name) == 0)
            return g_classes[i].proc;
    return nullptr;
}

ATOM WINAPI RegisterClassExA(const WNDCLASSEXA *window_class)
{
    if (!window_class || window_class->cbSize != sizeof(WNDCLASSEXA) ||
        !window_class->lpszClassName || !window_class->lpfnWndProc ||
        strlen(window_class->lpszClassName) >= sizeof g_classes[0].name) {
        compat_fail(ERROR_INVALID_PARAMETER);
        return 0;
    }
    pthread_mutex_lock(&g_user_lock);
    bool taken = class_proc(window_class->lpszClassName) != nullptr;
    ATOM atom = 0;
    if (!taken && g_class_count < 16) {
        WindowClass &c = g_classes[g_class_count++];
        strcpy(c.name, window_class->lpszClassName);
        c.proc = window_class->lpfnWndProc;
        atom = static_cast<ATOM>(0xc000 + g_class_count);
    }
    pthread_mutex_unlock(&g_user_lock);
    if (!atom)
        compat_fail(taken ? 1410 /* ERROR_CLASS_ALREADY_EXISTS */ : ERROR_NOT_ENOUGH_MEMORY);
    return atom;
}

HWND WINAPI CreateWindowExA(DWORD, LPCSTR class_name, LPCSTR, DWORD, int, int, int, int, HWND,
                            HMENU, HINSTANCE, LPVOID)
{
    pthread_mutex_lock(&g_user_lock);
    WNDPROC proc = class_proc(class_name);
    pthread_mutex_unlock(&g_user_lock);
    if (!proc) {
        compat_fail(1407); // ERROR_CANNOT_FIND_WND_CLASS
        return nullptr;
    }
    HWND window = window_new();
    if (!window)
        return nullptr;
    window->proc = proc;
    if (proc(window, WM_CREATE, 0, 0) == -1) {
        DestroyWindow(window);
        return nullptr;
    }
    pthread_mutex_lock(&g_user_lock);
    bool close_now = g_close_pending;
    g_close_pending = false;
    pthread_mutex_unlock(&g_user_lock);
    if (close_now)
        PostMessageA(window, WM_CLOSE, 0, 0);
    return window;
}

BOOL WINAPI DestroyWindow(HWND window)
{
    if (!is_window(window))
        return compat_fail(ERROR_INVALID_WINDOW_HANDLE);
    window->proc(window, WM_DESTROY, 0, 0);
    pthread_mutex_lock(&g_user_lock);
    window->magic = 0;
    for (HWND *at = &g_windows; *at; at = &(*at)->next)
        if (*at == window) {
            *at = window->next;
            break;
        }
    // The memory stays: a stale handle must read as invalid, not as garbage.
    window->next = g_retired;
    g_retired = window;
    pthread_mutex_unlock(&g_user_lock);
    return TRUE;
}

BOOL WINAPI ShowWindow(HWND, int) { return FALSE; } // it was not visible before

BOOL WINAPI UpdateWindow(HWND window) { return is_window(window) ? TRUE : FALSE; }

LRESULT WINAPI DefWindowProcA(HWND window, UINT message, WPARAM, LPARAM)
{
    if (message == WM_CLOSE)
        DestroyWindow(window);
    return 0;
}

// No key messages come to a hidden window here.
BOOL WINAPI TranslateMessage(const MSG *) { return FALSE; }

// Set (by another thread) before the message it handles is first posted.
static std::atomic<bool (*)(const MSG *msg)> g_dispatch_first;

void compat_dispatch_first(bool (*handler)(const MSG *msg)) { g_dispatch_first = handler; }

LRESULT WINAPI DispatchMessageA(const MSG *msg)
{
    bool (*handler)(const MSG *) = g_dispatch_first;
    if (msg && handler && handler(msg))
        return 0;
    if (!msg || !is_window(msg->hwnd))
        return 0;
    return msg->hwnd->proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

void WINAPI PostQuitMessage(int exit_code)
{
    PostMessageA(NULL, WM_QUIT, static_cast<WPARAM>(exit_code), 0);
}

static POINT g_cursor; // where the desktop last asked for a menu

void compat_set_cursor(int x, int y)
{
    pthread_mutex_lock(&g_user_lock);
    g_cursor.x = x;
    g_cursor.y = y;
    pthread_mutex_unlock(&g_user_lock);
}

BOOL WINAPI GetCursorPos(LPPOINT point)
{
    if (!point)
        return compat_fail(ERROR_INVALID_PARAMETER);
    pthread_mutex_lock(&g_user_lock);
    *point = g_cursor;
    pthread_mutex_unlock(&g_user_lock);
    return TRUE;
}

BOOL WINAPI SetForegroundWindow(HWND window)
{
    pthread_mutex_lock(&g_user_lock);
    bool valid = window_valid(window);
    if (valid)
        g_foreground = window;
    pthread_mutex_unlock(&g_user_lock);
    return valid ? TRUE : FALSE;
}

HWND WINAPI GetForegroundWindow(void)
{
    pthread_mutex_lock(&g_user_lock);
    HWND window = window_valid(g_foreground) ? g_foreground : NULL;
    pthread_mutex_unlock(&g_user_lock);
    return window;
}

BOOL WINAPI IsWindow(HWND window) { return is_window(window) ? TRUE : FALSE; }

BOOL WINAPI PostMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    pthread_mutex_lock(&g_user_lock);
    bool valid = !window || window_valid(window);
    if (valid)
        post_locked(window, message, wparam, lparam);
    pthread_mutex_unlock(&g_user_lock);
    return valid ? TRUE : compat_fail(ERROR_INVALID_WINDOW_HANDLE);
}

// Takes (or only looks at) the first message; false when there is none.
// The program asks for every message, so there are no filters.
static bool take(LPMSG msg, bool remove)
{
    if (g_messages.empty())
        return false;
    *msg = g_messages.front();
    if (remove)
        g_messages.pop_front();
    return true;
}

BOOL WINAPI PeekMessageA(LPMSG msg, HWND, UINT, UINT, UINT remove)
{
    pthread_mutex_lock(&g_user_lock);
    bool found = take(msg, (remove & PM_REMOVE) != 0);
    pthread_mutex_unlock(&g_user_lock);
    return found ? TRUE : FALSE;
}

BOOL WINAPI GetMessageA(LPMSG msg, HWND, UINT, UINT)
{
    pthread_mutex_lock(&g_user_lock);
    while (!take(msg, true))
        pthread_cond_wait(&g_arrived, &g_user_lock);
    pthread_mutex_unlock(&g_user_lock);
    return msg->message == WM_QUIT ? FALSE : TRUE;
}

// The box's text is the program's own, the same as on Windows; the cause
// the system gave for the open that failed before it (compat_set_cause) is
// what a Linux user needs besides: it follows as a line of its own, and in
// the notification below the text.
int WINAPI MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT)
{
    char cause[1024];
    compat_take_cause(cause, sizeof cause);
    if (!caption)
        caption = "Error";
    if (!text)
        text = "";
    fprintf(stderr, "%s: %s\n", caption, text);
    if (cause[0])
        fprintf(stderr, "notchkey: %s\n", cause);
    fflush(stderr);
    char body[2048];
    snprintf(body, sizeof body, "%s%s%s", text, cause[0] ? "\n" : "", cause);
    compat_notify(caption, body);
    return IDOK;
}

void WINAPI OutputDebugStringA(LPCSTR text)
{
    if (!text)
        return;
    fputs(text, stderr);
    fflush(stderr);
}
