// Windows as message targets, each thread's message queue, and message boxes.
//
// A window belongs to the thread that made it, and a message posted to it
// lands in that thread's queue, whichever thread posts. That is all the worker
// needs to hand its WM_WORKER_ENDED to the user-interface thread. A message
// box has no one to show it to: it is one line on standard error and is
// answered with OK at once.
#include "compat.h"

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <deque>

struct MessageQueue {
    std::deque<MSG> messages;
    pthread_cond_t arrived;
};

struct HWND__ {
    DWORD magic;
    MessageQueue *queue; // the owning thread's
};

static const DWORD WINDOW_MAGIC = 0x6e6b776e; // "nkwn"

// One lock for every queue and the window list: traffic is a handful of
// messages per run.
static pthread_mutex_t g_user_lock = PTHREAD_MUTEX_INITIALIZER;
// Queues are kept for the life of the process; a message posted to a window of
// a thread that has ended just waits there, as on Windows.
static thread_local MessageQueue *g_own_queue;

static MessageQueue *own_queue(void)
{
    if (!g_own_queue) {
        MessageQueue *queue = new MessageQueue;
        pthread_cond_init(&queue->arrived, nullptr);
        g_own_queue = queue;
    }
    return g_own_queue;
}

static bool window_valid(HWND window) { return window && window->magic == WINDOW_MAGIC; }

HWND compat_window_new(void)
{
    HWND window = static_cast<HWND>(calloc(1, sizeof(HWND__)));
    if (!window) {
        compat_fail(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    window->magic = WINDOW_MAGIC;
    window->queue = own_queue();
    return window;
}

void compat_window_free(HWND window)
{
    pthread_mutex_lock(&g_user_lock);
    if (window_valid(window))
        window->magic = 0;
    pthread_mutex_unlock(&g_user_lock);
    // Freed only once nothing can post to it: windows live until the process ends.
}

BOOL WINAPI PostMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    MessageQueue *queue = window ? nullptr : own_queue();
    pthread_mutex_lock(&g_user_lock);
    if (window) {
        if (!window_valid(window)) {
            pthread_mutex_unlock(&g_user_lock);
            return compat_fail(ERROR_INVALID_WINDOW_HANDLE);
        }
        queue = window->queue;
    }
    MSG msg = {};
    msg.hwnd = window;
    msg.message = message;
    msg.wParam = wparam;
    msg.lParam = lparam;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    msg.time = static_cast<DWORD>(now.tv_sec * 1000 + now.tv_nsec / 1000000);
    queue->messages.push_back(msg);
    pthread_cond_signal(&queue->arrived);
    pthread_mutex_unlock(&g_user_lock);
    return TRUE;
}

static bool matches(const MSG &msg, HWND window, UINT first, UINT last)
{
    if (window && msg.hwnd != window)
        return false;
    if (first == 0 && last == 0)
        return true;
    return msg.message >= first && msg.message <= last;
}

// Takes (or only looks at) the first matching message; false when there is none.
static bool take(MessageQueue *queue, LPMSG msg, HWND window, UINT first, UINT last, bool remove)
{
    for (auto it = queue->messages.begin(); it != queue->messages.end(); ++it) {
        if (!matches(*it, window, first, last))
            continue;
        *msg = *it;
        if (remove)
            queue->messages.erase(it);
        return true;
    }
    return false;
}

BOOL WINAPI PeekMessageA(LPMSG msg, HWND window, UINT first, UINT last, UINT remove)
{
    MessageQueue *queue = own_queue();
    pthread_mutex_lock(&g_user_lock);
    bool found = take(queue, msg, window, first, last, (remove & PM_REMOVE) != 0);
    pthread_mutex_unlock(&g_user_lock);
    return found ? TRUE : FALSE;
}

BOOL WINAPI GetMessageA(LPMSG msg, HWND window, UINT first, UINT last)
{
    MessageQueue *queue = own_queue();
    pthread_mutex_lock(&g_user_lock);
    if (window && !window_valid(window)) {
        pthread_mutex_unlock(&g_user_lock);
        compat_fail(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    while (!take(queue, msg, window, first, last, true))
        pthread_cond_wait(&queue->arrived, &g_user_lock);
    pthread_mutex_unlock(&g_user_lock);
    return msg->message == WM_QUIT ? FALSE : TRUE;
}

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type)
{
    (void)owner;
    (void)type;
    fprintf(stderr, "%s: %s\n", caption ? caption : "Error", text ? text : "");
    fflush(stderr);
    return IDOK;
}
