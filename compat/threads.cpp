// Threads over pthreads: CreateThread, ExitThread, TerminateThread,
// GetExitCodeThread, and the two small helpers Sleep and GetCurrentThreadId.
//
// A thread's record outlives both its handle and the thread itself until the
// last of the two lets go, so GetExitCodeThread stays answerable after the
// thread ended and a thread may end after its handle was closed.
// TerminateThread is a deferred cancellation: the thread stops at its next
// blocking call (a read, a message box) or at ClearCommError, which is as far
// as the program ever gets without one.
#include "compat.h"

#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

struct CompatThread {
    pthread_t id;
    LPTHREAD_START_ROUTINE start;
    LPVOID parameter;
    pthread_mutex_t lock;
    pthread_cond_t done; // signalled once ended
    DWORD exit_code;
    bool ended;
    bool code_set; // ExitThread or TerminateThread has chosen the exit code
    int refs;      // the handle and the running thread
};

static pthread_key_t g_self_key;          // the running thread's record
static pthread_once_t g_self_once = PTHREAD_ONCE_INIT;

static void thread_release(CompatThread *thread)
{
    pthread_mutex_lock(&thread->lock);
    bool last = --thread->refs == 0;
    pthread_mutex_unlock(&thread->lock);
    if (last) {
        pthread_cond_destroy(&thread->done);
        pthread_mutex_destroy(&thread->lock);
        free(thread);
    }
}

// Runs however the thread ends: return, ExitThread or cancellation.
static void thread_ended(void *value)
{
    CompatThread *thread = static_cast<CompatThread *>(value);
    pthread_mutex_lock(&thread->lock);
    thread->ended = true;
    pthread_cond_broadcast(&thread->done);
    pthread_mutex_unlock(&thread->lock);
    thread_release(thread);
}

static void make_self_key(void) { pthread_key_create(&g_self_key, thread_ended); }

static void *thread_main(void *value)
{
    CompatThread *thread = static_cast<CompatThread *>(value);
    pthread_setspecific(g_self_key, thread);
    DWORD code = thread->start(thread->parameter);
    pthread_mutex_lock(&thread->lock);
    if (!thread->code_set) {
        thread->exit_code = code;
        thread->code_set = true;
    }
    pthread_mutex_unlock(&thread->lock);
    return nullptr;
}

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES security, size_t stack_size,
                           LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                           LPDWORD thread_id)
{
    (void)security;
    (void)flags;
    pthread_once(&g_self_once, make_self_key);
    CompatThread *thread = static_cast<CompatThread *>(calloc(1, sizeof(CompatThread)));
    CompatHandle *handle = thread ? compat_handle_new(COMPAT_THREAD, -1) : nullptr;
    if (!handle) {
        free(thread);
        compat_fail(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    thread->start = start;
    thread->parameter = parameter;
    thread->exit_code = STILL_ACTIVE;
    thread->refs = 2;
    pthread_mutex_init(&thread->lock, nullptr);
    pthread_condattr_t clock;
    pthread_condattr_init(&clock);
    pthread_condattr_setclock(&clock, CLOCK_MONOTONIC);
    pthread_cond_init(&thread->done, &clock);
    pthread_condattr_destroy(&clock);
    handle->thread = thread;

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (stack_size)
        pthread_attr_setstacksize(&attr, stack_size < 65536 ? 65536 : stack_size);
    int rc = pthread_create(&thread->id, &attr, thread_main, thread);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        pthread_cond_destroy(&thread->done);
        pthread_mutex_destroy(&thread->lock);
        free(thread);
        compat_handle_free(handle);
        compat_fail_errno(rc);
        return nullptr;
    }
    if (thread_id)
        *thread_id = static_cast<DWORD>(reinterpret_cast<uintptr_t>(thread) & 0x7fffffff);
    return handle;
}

void WINAPI ExitThread(DWORD exit_code)
{
    CompatThread *thread = static_cast<CompatThread *>(pthread_getspecific(g_self_key));
    if (thread) {
        pthread_mutex_lock(&thread->lock);
        if (!thread->code_set) {
            thread->exit_code = exit_code;
            thread->code_set = true;
        }
        pthread_mutex_unlock(&thread->lock);
    }
    pthread_exit(nullptr);
}

BOOL WINAPI TerminateThread(HANDLE object, DWORD exit_code)
{
    CompatHandle *handle = compat_handle_get(object, COMPAT_THREAD);
    if (!handle)
        return FALSE;
    CompatThread *thread = handle->thread;
    pthread_mutex_lock(&thread->lock);
    bool running = !thread->ended;
    if (running && !thread->code_set) {
        thread->exit_code = exit_code;
        thread->code_set = true;
    }
    // Cancelled under the lock: the record, and so the thread, cannot be gone
    // yet while it is held.
    if (running)
        pthread_cancel(thread->id);
    pthread_mutex_unlock(&thread->lock);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI GetExitCodeThread(HANDLE object, LPDWORD exit_code)
{
    CompatHandle *handle = compat_handle_get(object, COMPAT_THREAD);
    if (!handle)
        return FALSE;
    if (!exit_code)
        return compat_fail(ERROR_INVALID_PARAMETER);
    CompatThread *thread = handle->thread;
    pthread_mutex_lock(&thread->lock);
    *exit_code = thread->ended ? thread->exit_code : STILL_ACTIVE;
    pthread_mutex_unlock(&thread->lock);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE object, DWORD milliseconds)
{
    CompatHandle *handle = compat_handle_get(object, COMPAT_THREAD);
    if (!handle)
        return WAIT_FAILED;
    CompatThread *thread = handle->thread;
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += milliseconds / 1000;
    until.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    pthread_mutex_lock(&thread->lock);
    while (!thread->ended) {
        if (milliseconds == INFINITE)
            pthread_cond_wait(&thread->done, &thread->lock);
        else if (pthread_cond_timedwait(&thread->done, &thread->lock, &until) == ETIMEDOUT)
            break;
    }
    bool ended = thread->ended;
    pthread_mutex_unlock(&thread->lock);
    return ended ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

BOOL compat_thread_close(CompatHandle *handle)
{
    CompatThread *thread = handle->thread;
    compat_handle_free(handle);
    thread_release(thread);
    return TRUE;
}

DWORD WINAPI GetCurrentThreadId(void) { return static_cast<DWORD>(syscall(SYS_gettid)); }

void WINAPI Sleep(DWORD milliseconds)
{
    struct timespec left = {static_cast<time_t>(milliseconds / 1000),
                            static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
