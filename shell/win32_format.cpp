// Bounded formatting by the system's C library. The toolchain's snprintf
// and vsnprintf, which the C++ headers always choose, bring a formatter of
// their own (floating point and all, a third of the exe); its wrapper of the
// system's counts a cut text with _vscprintf, which the first msvcrt.dll
// lacks. The program formats only integers and strings, and looks at no
// result: the system's _vsnprintf, with the end of the buffer always a NUL,
// is all it needs. Defined here, the toolchain's are never linked.
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>

extern "C" int __cdecl __mingw_vsnprintf(char *buffer, size_t size, const char *format, va_list args)
{
    if (!size)
        return 0;
    int len = _vsnprintf(buffer, size - 1, format, args);
    buffer[size - 1] = '\0';
    return len < 0 ? static_cast<int>(size) : len;
}

extern "C" int __cdecl __mingw_snprintf(char *buffer, size_t size, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int len = __mingw_vsnprintf(buffer, size, format, args);
    va_end(args);
    return len;
}
