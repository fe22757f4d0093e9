// The keys a [keys] entry can name, by the names the settings file and the
// key monitor use, with their set-1 make codes.
#pragma once

#include <windows.h>

// A key code as the key tables hold it: the set-1 make code in the low byte
// (bit 7 set for a release), and this prefix above it for a key that needs
// the extended prefix 0xE0.
#define KEY_EXTENDED 0xE000

struct KeyName {
    const char *name; // lower case, as documented
    WORD code;
};

extern const KeyName key_names[];
extern const int key_name_count;

// The code of a key name or of a make code written in hex ("0x10"), in any
// letter case; -1 for anything else, a key without a virtual key among it
// (a code no PC keyboard sends, or a key this keyboard lacks).
LONG key_code_of(const char *text);
// The virtual key Windows gives a code's key (release bit ignored), with
// Num Lock off; 0 for a key without one here.
WORD key_virtual_key(WORD code);
// The name of a make code (release bit ignored), or NULL.
const char *key_name_of(WORD code);
// Equal but for the letter case of ASCII letters; punctuation is compared as
// written.
bool same_name(const char *a, const char *b);
