#include "common/notchkey.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

char g_text[1024];
char g_waiting[2][WAITING_TEXT_MAX];

void note(const char *format, ...)
{
    char line[768] = "notchkey: ";
    size_t len = strlen(line);
    va_list args;
    va_start(args, format);
    vsnprintf(line + len, sizeof line - len - 1, format, args);
    va_end(args);
    // A line cut short still ends as a line.
    len = strlen(line);
    line[len] = '\n';
    line[len + 1] = '\0';
    OutputDebugStringA(line);
}

void (*system_proc(const char *module_name, const char *name))(void)
{
    HMODULE module = GetModuleHandleA(module_name);
    FARPROC proc = module ? GetProcAddress(module, name) : NULL;
    return reinterpret_cast<void (*)(void)>(proc);
}

// The stop as an event, for the waits, and as a flag, for the looks between
// them: a look at an event is a call into the system, which a check per
// message should not cost.
static HANDLE g_stop;
static volatile LONG g_stop_flag;

BOOL stop_create(void)
{
    InterlockedExchange(&g_stop_flag, 0);
    if (g_stop)
        return ResetEvent(g_stop);
    g_stop = CreateEventA(NULL, TRUE, FALSE, NULL);
    return g_stop != NULL;
}

void stop_ask(void)
{
    InterlockedExchange(&g_stop_flag, 1);
    if (g_stop)
        SetEvent(g_stop);
}

BOOL stop_wait(DWORD ms)
{
    if (stop_asked())
        return TRUE;
    // Without an event, a plain sleep: never a wait that fails at once and
    // leaves a caller's loop spinning.
    if (!g_stop) {
        Sleep(ms);
        return stop_asked();
    }
    return WaitForSingleObject(g_stop, ms) == WAIT_OBJECT_0 || stop_asked();
}

BOOL stop_asked(void)
{
    return InterlockedCompareExchange(&g_stop_flag, 0, 0) != 0;
}
