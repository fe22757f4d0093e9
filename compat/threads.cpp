// Threads over pthreads: CreateThread, ExitThread, TerminateThread,
// GetExitCodeThread, unnamed events over eventfd (CreateEventA, SetEvent,
// ResetEvent), WaitForSingleObject on either, and the small helpers Sleep,
// GetCurrentThreadId and GetCurrentProcessId.
//
// A thread's record outlives both its handle and the thread itself until the
// last of the two lets go, so GetExitCodeThread stays answerable after the
// thread ended and a thread may end after its handle was closed.
//
// ExitThread jumps back to where the thread started. TerminateThread asks the
// thread to do the same and wakes it: every call of this layer that can
// block or spin (ReadFile and WriteFile on a port, DeviceIoControl and
// SendInput, ClearCommError, Sleep) either waits on the thread's wake
// descriptor too, or blocks in a single system call that the wake signal
// interrupts, and leaves the thread. So the thread stops at its next such
// call, which is as far as the program ever gets without one. The jump out of
// the signal's handler is the one the sanitizers know of, siglongjmp, taken
// only inside that call.
//
// The rule that makes this sound, kept by the layer and the program alike:
// between a thread's start and any point where it can be stopped, no lock is
// held and no destructor is pending. The jump skips whatever would have run
// on the way out, so a lock held there stays held for ever and an object
// built there is never torn down. The layer takes its locks only around work
// that cannot wait (SendInput opens its target under its lock and sends
// without it); the program's worker holds neither.
#include "compat.h"

#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

struct CompatThread {
    LPTHREAD_START_ROUTINE start;
    LPVOID parameter;
    pthread_mutex_t lock;
    pthread_cond_t started_cond; // signalled once started
    int ended_fd;                // readable once ended
    DWORD id;            // the kernel's, as GetCurrentThreadId gives it on the thread
    DWORD exit_code;
    bool started;
    bool ended;
    bool code_set;    // ExitThread or TerminateThread has chosen the exit code
    int refs;         // the handle and the running thread
    int wake_fd;      // readable once TerminateThread has asked the thread to stop
    sigjmp_buf leave; // back to the thread's start
    pthread_t pthread; // for the wake signal
    // Set by TerminateThread before it wakes the thread; in_call while the
    // thread sits in a system call only the wake signal gets it out of.
    std::atomic<bool> stopping;
    std::atomic<bool> in_call;
};

static thread_local CompatThread *g_self; // null on threads we did not make

static void thread_release(CompatThread *thread)
{
    pthread_mutex_lock(&thread->lock);
    bool last = --thread->refs == 0;
    pthread_mutex_unlock(&thread->lock);
    if (last) {
        close(thread->wake_fd);
        close(thread->ended_fd);
        pthread_cond_destroy(&thread->started_cond);
        pthread_mutex_destroy(&thread->lock);
        free(thread);
    }
}

// The caller holds the thread's lock.
static void set_exit_code_locked(CompatThread *thread, DWORD code)
{
    if (!thread->code_set) {
        thread->exit_code = code;
        thread->code_set = true;
    }
}

// Not SIGRTMIN, which the process takes as the notification area's restart
// on a thread of its own: a thread that let it through could swallow that.
static int wake_signal(void) { return SIGRTMIN + 1; }

static void *thread_main(void *value)
{
    // The thread comes with its maker's mask, and the process's first thread
    // blocks the signals it takes by sigwait: were the wake signal among
    // them, it would stay pending and a stop request would never get the
    // thread out of a system call.
    sigset_t wake;
    sigemptyset(&wake);
    sigaddset(&wake, wake_signal());
    pthread_sigmask(SIG_UNBLOCK, &wake, nullptr);
    CompatThread *thread = static_cast<CompatThread *>(value);
    g_self = thread;
    pthread_mutex_lock(&thread->lock);
    thread->id = GetCurrentThreadId();
    thread->started = true;
    pthread_cond_broadcast(&thread->started_cond);
    pthread_mutex_unlock(&thread->lock);
    // Left by a jump, the exit code is already chosen.
    if (sigsetjmp(thread->leave, 0) == 0) {
        DWORD code = thread->start(thread->parameter);
        pthread_mutex_lock(&thread->lock);
        set_exit_code_locked(thread, code);
        pthread_mutex_unlock(&thread->lock);
    }
    g_self = nullptr; // a late wake signal finds no thread to leave
    pthread_mutex_lock(&thread->lock);
    thread->ended = true;
    eventfd_write(thread->ended_fd, 1);
    pthread_mutex_unlock(&thread->lock);
    thread_release(thread);
    return nullptr;
}

// Leaves the thread only from inside a blocking call: anywhere else it would
// cut the program off mid-step, and the thread's next call of this layer
// leaves it instead. No restart: where the handler runs late (under
// ThreadSanitizer, once the call is over) the call must come back with EINTR
// for its caller to try again, and be left then.
static void on_wake_signal(int)
{
    CompatThread *self = g_self;
    if (self && self->in_call.load() && self->stopping.load())
        siglongjmp(self->leave, 1);
}

static void install_wake_signal(void)
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_wake_signal;
    sigemptyset(&action.sa_mask);
    sigaction(wake_signal(), &action, nullptr);
}

// The stop request is looked at only after in_call is raised: made before,
// it is seen here; made after, its signal finds the thread inside the call.
template <typename Call> static ssize_t blocking_call(Call call)
{
    CompatThread *self = g_self;
    if (!self)
        return call();
    self->in_call.store(true);
    if (self->stopping.load())
        siglongjmp(self->leave, 1);
    ssize_t n = call();
    self->in_call.store(false);
    return n;
}

ssize_t compat_blocking_read(int fd, void *buffer, size_t len)
{
    return blocking_call([&] { return read(fd, buffer, len); });
}

ssize_t compat_blocking_write(int fd, const void *buffer, size_t len)
{
    return blocking_call([&] { return write(fd, buffer, len); });
}

int compat_wait_fd(int fd, short events, int timeout_ms)
{
    struct pollfd fds[2] = {{fd, events, 0}, {g_self ? g_self->wake_fd : -1, POLLIN, 0}};
    for (;;) {
        int n = poll(fds, 2, timeout_ms);
        if (n < 0 && errno == EINTR)
            continue;
        if (n > 0 && fds[1].revents)
            siglongjmp(g_self->leave, 1);
        if (n < 0)
            return -1;
        return n == 0 ? 0 : fds[0].revents;
    }
}

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, size_t stack_size, LPTHREAD_START_ROUTINE start,
                           LPVOID parameter, DWORD, LPDWORD thread_id)
{
    static pthread_once_t wake_signal_once = PTHREAD_ONCE_INIT;
    pthread_once(&wake_signal_once, install_wake_signal);
    CompatThread *thread = static_cast<CompatThread *>(calloc(1, sizeof(CompatThread)));
    int wake_fd = thread ? eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK) : -1;
    int ended_fd = wake_fd >= 0 ? eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK) : -1;
    if (ended_fd < 0) {
        if (wake_fd >= 0)
            close(wake_fd);
        free(thread);
        compat_fail(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    thread->start = start;
    thread->parameter = parameter;
    thread->exit_code = STILL_ACTIVE;
    thread->refs = 2;
    thread->wake_fd = wake_fd;
    thread->ended_fd = ended_fd;
    pthread_mutex_init(&thread->lock, nullptr);
    pthread_cond_init(&thread->started_cond, nullptr);

    CompatHandle *handle = compat_handle_new(COMPAT_THREAD, -1);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (stack_size)
        pthread_attr_setstacksize(&attr, stack_size < 65536 ? 65536 : stack_size);
    int rc = handle ? pthread_create(&thread->pthread, &attr, thread_main, thread) : ENOMEM;
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        if (handle)
            compat_handle_free(handle);
        thread->refs = 1;
        thread_release(thread);
        compat_fail_errno(rc);
        return nullptr;
    }
    handle->thread = thread;
    // The id is the one the thread itself will see, so it is known only once
    // the thread runs.
    pthread_mutex_lock(&thread->lock);
    while (!thread->started)
        pthread_cond_wait(&thread->started_cond, &thread->lock);
    if (thread_id)
        *thread_id = thread->id;
    pthread_mutex_unlock(&thread->lock);
    return handle->value;
}

void WINAPI ExitThread(DWORD exit_code)
{
    if (!g_self)
        pthread_exit(nullptr);
    pthread_mutex_lock(&g_self->lock);
    set_exit_code_locked(g_self, exit_code);
    pthread_mutex_unlock(&g_self->lock);
    siglongjmp(g_self->leave, 1);
}

BOOL WINAPI TerminateThread(HANDLE object, DWORD exit_code)
{
    CompatHandle *handle = compat_handle_get(object, COMPAT_THREAD);
    if (!handle)
        return FALSE;
    CompatThread *thread = handle->thread;
    pthread_mutex_lock(&thread->lock);
    if (!thread->ended) {
        set_exit_code_locked(thread, exit_code);
        thread->stopping.store(true);
        eventfd_write(thread->wake_fd, 1);
        // Still running: it has not marked itself ended, which needs the lock.
        pthread_kill(thread->pthread, wake_signal());
    }
    pthread_mutex_unlock(&thread->lock);
    return compat_succeed();
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
    return compat_succeed();
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manual_reset, BOOL initial_state,
                           LPCSTR name)
{
    // A name would make it reachable from other processes; nothing here needs that.
    if (name) {
        compat_fail(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    int fd = eventfd(initial_state ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
        compat_fail_errno(errno);
        return NULL;
    }
    CompatHandle *handle = compat_handle_new(COMPAT_EVENT, fd);
    if (!handle) {
        compat_fail_open(fd, ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    handle->manual_reset = manual_reset != FALSE;
    compat_succeed();
    return handle->value;
}

// Set: the counter is above zero. A second SetEvent only counts higher.
BOOL WINAPI SetEvent(HANDLE event)
{
    CompatHandle *handle = compat_handle_get(event, COMPAT_EVENT);
    if (!handle)
        return FALSE;
    if (eventfd_write(handle->fd, 1) != 0)
        return compat_fail_errno(errno);
    return compat_succeed();
}

BOOL WINAPI ResetEvent(HANDLE event)
{
    CompatHandle *handle = compat_handle_get(event, COMPAT_EVENT);
    if (!handle)
        return FALSE;
    eventfd_t count;
    if (eventfd_read(handle->fd, &count) != 0 && errno != EAGAIN)
        return compat_fail_errno(errno);
    return compat_succeed();
}

// A thread is signalled once it has ended, an event while it is set. An
// auto-reset event lets one wait through and is reset by it: of two waiters
// woken together, the one whose read finds the counter at zero waits on.
DWORD WINAPI WaitForSingleObject(HANDLE object, DWORD milliseconds)
{
    CompatHandle *handle = compat_handle_get(object, COMPAT_THREAD);
    int fd = handle ? handle->thread->ended_fd : -1;
    bool consume = false;
    if (!handle && (handle = compat_handle_get(object, COMPAT_EVENT)) != nullptr) {
        fd = handle->fd;
        consume = !handle->manual_reset;
    }
    if (!handle)
        return WAIT_FAILED;
    long long until = compat_now_ms() + milliseconds;
    for (long long left = milliseconds;; left = until - compat_now_ms()) {
        int timeout = milliseconds == INFINITE ? -1
                      : left <= 0        ? 0
                      : left > INT_MAX   ? INT_MAX
                                         : static_cast<int>(left);
        int ready = compat_wait_fd(fd, POLLIN, timeout);
        if (ready < 0) {
            compat_fail_errno(errno);
            return WAIT_FAILED;
        }
        if (ready == 0)
            return WAIT_TIMEOUT;
        eventfd_t count;
        if (!consume || eventfd_read(fd, &count) == 0)
            return WAIT_OBJECT_0;
    }
}

BOOL compat_thread_close(CompatHandle *handle)
{
    CompatThread *thread = handle->thread;
    compat_handle_free(handle);
    thread_release(thread);
    return TRUE;
}

DWORD WINAPI GetCurrentThreadId(void) { return static_cast<DWORD>(syscall(SYS_gettid)); }
DWORD WINAPI GetCurrentProcessId(void) { return static_cast<DWORD>(getpid()); }

DWORD WINAPI GetTickCount(void) { return static_cast<DWORD>(compat_now_ms()); }

long long compat_now_ms(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

void WINAPI Sleep(DWORD milliseconds)
{
    // A poll returns no earlier than its time-out; only signals cut it short.
    long long until = compat_now_ms() + milliseconds;
    for (long long left = milliseconds; left > 0; left = until - compat_now_ms())
        compat_wait_fd(-1, 0, left > 60000 ? 60000 : static_cast<int>(left));
}
