#include "keys/keynames.h"

#include <string.h>

#define EXT(code) (KEY_EXTENDED | (code))

// Every key of a standard 104-key keyboard that has a single make code: so
// not Print Screen and Pause, whose set-1 codes are sequences, nor Num Lock,
// which Windows reads as Pause when it comes as a scan code without the
// extended prefix. A hex code still reaches any of them.
const KeyName key_names[] = {
    {"esc", 0x01},
    {"1", 0x02}, {"2", 0x03}, {"3", 0x04}, {"4", 0x05}, {"5", 0x06},
    {"6", 0x07}, {"7", 0x08}, {"8", 0x09}, {"9", 0x0A}, {"0", 0x0B},
    {"-", 0x0C}, {"=", 0x0D}, {"backspace", 0x0E}, {"tab", 0x0F},
    {"q", 0x10}, {"w", 0x11}, {"e", 0x12}, {"r", 0x13}, {"t", 0x14},
    {"y", 0x15}, {"u", 0x16}, {"i", 0x17}, {"o", 0x18}, {"p", 0x19},
    {"[", 0x1A}, {"]", 0x1B}, {"enter", 0x1C}, {"lctrl", 0x1D},
    {"a", 0x1E}, {"s", 0x1F}, {"d", 0x20}, {"f", 0x21}, {"g", 0x22},
    {"h", 0x23}, {"j", 0x24}, {"k", 0x25}, {"l", 0x26},
    {";", 0x27}, {"'", 0x28}, {"`", 0x29}, {"lshift", 0x2A}, {"\\", 0x2B},
    {"z", 0x2C}, {"x", 0x2D}, {"c", 0x2E}, {"v", 0x2F}, {"b", 0x30},
    {"n", 0x31}, {"m", 0x32}, {",", 0x33}, {".", 0x34}, {"/", 0x35},
    {"rshift", 0x36}, {"kp*", 0x37}, {"lalt", 0x38}, {"space", 0x39},
    {"capslock", 0x3A},
    {"f1", 0x3B}, {"f2", 0x3C}, {"f3", 0x3D}, {"f4", 0x3E}, {"f5", 0x3F},
    {"f6", 0x40}, {"f7", 0x41}, {"f8", 0x42}, {"f9", 0x43}, {"f10", 0x44},
    {"scrolllock", 0x46},
    {"kp7", 0x47}, {"kp8", 0x48}, {"kp9", 0x49}, {"kp-", 0x4A},
    {"kp4", 0x4B}, {"kp5", 0x4C}, {"kp6", 0x4D}, {"kp+", 0x4E},
    {"kp1", 0x4F}, {"kp2", 0x50}, {"kp3", 0x51}, {"kp0", 0x52}, {"kp.", 0x53},
    {"f11", 0x57}, {"f12", 0x58},
    {"kpenter", EXT(0x1C)}, {"rctrl", EXT(0x1D)}, {"kp/", EXT(0x35)}, {"ralt", EXT(0x38)},
    {"home", EXT(0x47)}, {"up", EXT(0x48)}, {"pageup", EXT(0x49)},
    {"left", EXT(0x4B)}, {"right", EXT(0x4D)},
    {"end", EXT(0x4F)}, {"down", EXT(0x50)}, {"pagedown", EXT(0x51)},
    {"insert", EXT(0x52)}, {"delete", EXT(0x53)},
    {"lwin", EXT(0x5B)}, {"rwin", EXT(0x5C)}, {"menu", EXT(0x5D)},
};
const int key_name_count = sizeof key_names / sizeof key_names[0];

// ASCII letters alone fold: lstrcmpiA sorts as words and passes over
// hyphens and apostrophes, so "kp-" would come out equal to "kp".
bool same_name(const char *a, const char *b)
{
    for (; *a && *b; ++a, ++b) {
        char x = *a >= 'A' && *a <= 'Z' ? *a | 0x20 : *a;
        char y = *b >= 'A' && *b <= 'Z' ? *b | 0x20 : *b;
        if (x != y)
            return false;
    }
    return *a == *b;
}

static int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c |= 0x20;
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// Set-1 make codes that no PC keyboard sends (no key of any layout has them):
// a simulator would see nothing or, where a system maps codes loosely, an
// unrelated key.
static bool no_key_has(LONG code)
{
    return code == 0x55 || code == 0x5A || code == 0x5B || (code >= 0x5D && code <= 0x63) ||
           code == 0x6F || code == 0x71 || code == 0x72 || code == 0x74 || code == 0x75 ||
           code == 0x7A || code == 0x7C || code == 0x7F;
}

LONG key_code_of(const char *text)
{
    for (int i = 0; i < key_name_count; ++i)
        if (same_name(text, key_names[i].name))
            return key_names[i].code;
    // A make code: bit 7 would turn the key's press into its release.
    if (text[0] != '0' || (text[1] | 0x20) != 'x' || !text[2])
        return -1;
    LONG code = 0;
    for (const char *c = text + 2; *c; ++c) {
        int digit = hex_digit(*c);
        if (digit < 0 || c - text >= 4)
            return -1;
        code = code * 16 + digit;
    }
    return code >= 0x01 && code <= 0x7F && !no_key_has(code) ? code : -1;
}

const char *key_name_of(WORD code)
{
    code &= ~0x80;
    for (int i = 0; i < key_name_count; ++i)
        if (key_names[i].code == code)
            return key_names[i].name;
    return NULL;
}
