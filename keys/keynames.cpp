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

// A code whose key's virtual key the layout in use decides (the character
// keys), and one whose key no Windows has: none that a PC keyboard sends,
// or one that no layout gives a virtual key, so a simulator would see
// nothing of it.
#define BY_LAYOUT 0
#define NO_KEY 0xFF
// Virtual keys that only keyboard layouts name.
#define VK_ABNT_C1 0xC1
#define VK_ABNT_C2 0xC2
#define VK_DBE_HIRAGANA 0xF2

// The virtual key of each plain code's key, from Windows's own scan-code
// tables: the one every layout is built on and, for the keys only Japanese
// and Brazilian keyboards have, theirs. Asking the layout instead is wrong
// for these on some systems (one gives kp* as Print Screen, F13 up as IME
// keys). Caps Lock and 0x54 (Print Screen's code with Alt) are the
// layout's too: some give them other keys or none. The keypad as with Num
// Lock off; 0x45 without the extended prefix is Pause to Windows, Num Lock
// being the extended one.
#define L BY_LAYOUT
#define NO NO_KEY
static const BYTE PLAIN_VIRTUAL_KEYS[0x80] = {
    NO, VK_ESCAPE, L, L, L, L, L, L, // 0x00
    L, L, L, L, L, L, VK_BACK, VK_TAB,
    L, L, L, L, L, L, L, L, // 0x10
    L, L, L, L, VK_RETURN, VK_LCONTROL, L, L,
    L, L, L, L, L, L, L, L, // 0x20
    L, L, VK_LSHIFT, L, L, L, L, L,
    L, L, L, L, L, L, VK_RSHIFT, VK_MULTIPLY, // 0x30
    VK_LMENU, VK_SPACE, L, VK_F1, VK_F2, VK_F3, VK_F4, VK_F5,
    VK_F6, VK_F7, VK_F8, VK_F9, VK_F10, VK_PAUSE, VK_SCROLL, VK_HOME, // 0x40
    VK_UP, VK_PRIOR, VK_SUBTRACT, VK_LEFT, VK_CLEAR, VK_RIGHT, VK_ADD, VK_END,
    VK_DOWN, VK_NEXT, VK_INSERT, VK_DELETE, L, NO, L, VK_F11, // 0x50
    VK_F12, VK_CLEAR, NO, NO, VK_OEM_JUMP, NO, NO, NO,
    NO, NO, NO, NO, VK_F13, VK_F14, VK_F15, VK_F16, // 0x60
    VK_F17, VK_F18, VK_F19, VK_F20, VK_F21, VK_F22, VK_F23, NO,
    VK_DBE_HIRAGANA, NO, NO, VK_ABNT_C1, NO, NO, VK_F24, NO, // 0x70
    NO, VK_CONVERT, NO, VK_NONCONVERT, NO, VK_OEM_5, VK_ABNT_C2, NO,
};
#undef L
#undef NO

// The extended keys that have names, and their virtual keys.
static const BYTE EXTENDED_VIRTUAL_KEYS[][2] = {
    {0x1C, VK_RETURN}, {0x1D, VK_RCONTROL}, {0x35, VK_DIVIDE}, {0x38, VK_RMENU},
    {0x47, VK_HOME},   {0x48, VK_UP},       {0x49, VK_PRIOR},  {0x4B, VK_LEFT},
    {0x4D, VK_RIGHT},  {0x4F, VK_END},      {0x50, VK_DOWN},   {0x51, VK_NEXT},
    {0x52, VK_INSERT}, {0x53, VK_DELETE},   {0x5B, VK_LWIN},   {0x5C, VK_RWIN},
    {0x5D, VK_APPS},
};

WORD key_virtual_key(WORD code)
{
    BYTE scan = static_cast<BYTE>(code & 0x7f);
    if (code & KEY_EXTENDED) {
        for (const BYTE(&key)[2] : EXTENDED_VIRTUAL_KEYS)
            if (key[0] == scan)
                return key[1];
        return 0;
    }
    BYTE virtual_key = PLAIN_VIRTUAL_KEYS[scan];
    if (virtual_key == BY_LAYOUT)
        return static_cast<WORD>(MapVirtualKeyA(scan, MAPVK_VSC_TO_VK_EX));
    return virtual_key == NO_KEY ? 0 : virtual_key;
}

LONG key_code_of(const char *text)
{
    // A key this keyboard lacks is refused by name as by code: a simulator
    // would see nothing of it.
    for (int i = 0; i < key_name_count; ++i)
        if (same_name(text, key_names[i].name))
            return key_virtual_key(key_names[i].code) ? key_names[i].code : -1;
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
    return code <= 0x7F && key_virtual_key(static_cast<WORD>(code)) ? code : -1;
}

const char *key_name_of(WORD code)
{
    code &= ~0x80;
    for (int i = 0; i < key_name_count; ++i)
        if (key_names[i].code == code)
            return key_names[i].name;
    return NULL;
}
