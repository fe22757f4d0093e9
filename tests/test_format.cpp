// The Windows build's own formatting, against this system's snprintf for
// every conversion the program uses, cut to every buffer size.
#include <gtest/gtest.h>

#include <stdarg.h>
#include <stdio.h>

#include <string>

extern "C" int __mingw_vsnprintf(char *text, size_t size, const char *format, va_list args);

namespace {

int ours(char *text, size_t size, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int length = __mingw_vsnprintf(text, size, format, args);
    va_end(args);
    return length;
}

#define SAME_AS_SNPRINTF(...)                                                                   \
    for (size_t size = 0; size < 48; ++size) {                                                 \
        char got[48], want[48];                                                                \
        memset(got, 'x', sizeof got);                                                          \
        memset(want, 'x', sizeof want);                                                        \
        EXPECT_EQ(ours(got, size, __VA_ARGS__), snprintf(want, size, __VA_ARGS__)) << size;    \
        EXPECT_EQ(std::string(got, sizeof got), std::string(want, sizeof want)) << size;       \
    }

TEST(Format, EveryConversionTheProgramUsesAsTheCLibrary)
{
    SAME_AS_SNPRINTF("COM%d is gone", 256);
    SAME_AS_SNPRINTF("%d %d %d", 0, -7, -2147483647 - 1);
    SAME_AS_SNPRINTF("position %ld (%.5s)", 15L, "MCB20\r");
    SAME_AS_SNPRINTF("%s%s%.*s is invalid %s.", "express", ": ", 3, "MCA55=foo", "key");
    SAME_AS_SNPRINTF("[%.100s] %.2s|%s", "a", "", "100%");
    SAME_AS_SNPRINTF("100%% %s", "sure");
    SAME_AS_SNPRINTF("%.*s", 0, "nothing");
}

TEST(Format, WhatItDoesNotReadIsWrittenAsItStands)
{
    char text[64];
    EXPECT_EQ(ours(text, sizeof text, "%x and %d, then 50%", 12), 19);
    EXPECT_STREQ(text, "%x and 12, then 50%");
}

} // namespace
