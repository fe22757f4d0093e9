// The Windows build's formatting: every snprintf and vsnprintf of the program
// comes here, in place of the C runtime's own, whose full printf (floating
// point and all) takes more than a third of an exe that must stay within
// 64 KiB. The program formats text alone: %s, with a precision given or as *,
// %d and %ld, and %%. Anything else is written as it stands, so a format
// that asks for more shows at once in its text.
#include <stdarg.h>
#include <stddef.h>

namespace {

struct Out {
    char *text;
    size_t size;
    size_t length; // what the whole text takes, written or not
    void put(char c)
    {
        if (length + 1 < size)
            text[length] = c;
        ++length;
    }
};

} // namespace

extern "C" int __mingw_vsnprintf(char *text, size_t size, const char *format, va_list args)
{
    Out out = {text, size, 0};
    for (const char *at = format; *at; ++at) {
        const char *start = at;
        if (*at != '%' || !at[1]) {
            out.put(*at);
            continue;
        }
        ++at;
        int precision = -1;
        if (*at == '.') {
            precision = 0;
            if (*++at == '*') {
                precision = va_arg(args, int);
                ++at;
            }
            while (*at >= '0' && *at <= '9')
                precision = precision * 10 + (*at++ - '0');
        }
        bool wide = *at == 'l';
        at += wide;
        if (*at == 's') {
            const char *s = va_arg(args, const char *);
            for (int i = 0; s && s[i] && (precision < 0 || i < precision); ++i)
                out.put(s[i]);
        } else if (*at == 'd') {
            long value = wide ? va_arg(args, long) : va_arg(args, int);
            unsigned long left = value < 0 ? 0ul - static_cast<unsigned long>(value)
                                           : static_cast<unsigned long>(value);
            char digits[24];
            int count = 0;
            do
                digits[count++] = static_cast<char>('0' + left % 10);
            while (left /= 10);
            if (value < 0)
                out.put('-');
            while (count)
                out.put(digits[--count]);
        } else if (*at == '%') {
            out.put('%');
        } else {
            // Not ours to read: as written, its argument left alone.
            for (at = start; *at && (at == start || *at != '%'); ++at)
                out.put(*at);
            --at;
        }
    }
    if (size)
        text[out.length < size ? out.length : size - 1] = '\0';
    return static_cast<int>(out.length);
}
