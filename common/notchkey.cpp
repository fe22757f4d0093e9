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

BOOL stop_wait(DWORD ms)
{
    Sleep(ms);
    return FALSE;
}

BOOL stop_asked(void)
{
    return FALSE;
}
