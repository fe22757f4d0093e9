// Text formatting through the system's own _vsnprintf. The C++ headers choose
// a C99 formatter of the toolchain's for every snprintf, floating point and
// all, which the exe would carry: 12 KB of a 64 KB budget for conversions the
// program never uses. The program formats strings and integers alone (%s,
// %.Ns, %.*s, %d, %ld, %lu), which every msvcrt has, and never reads what
// snprintf returns; so each call is sent here at link time.
#include <stdarg.h>
#include <stdio.h>

extern "C" int __wrap___mingw_vsnprintf(char *to, size_t size, const char *format, va_list args)
{
    if (!size)
        return 0;
    int len = _vsnprintf(to, size, format, args);
    // A text that fills the buffer is left without its end; a longer one is
    // cut there, as C99's is.
    to[size - 1] = '\0';
    return len;
}
