#include "keys/keyset.h"

#include <string.h>

KeySet *g_keys;

// Main row 6..1 towards one end, keypad 0..9 from the middle to the other.
static const WORD LEVER_KEYS_STANDARD[16] = {
    0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x52, 0x4F,
    0x50, 0x51, 0x4B, 0x4C, 0x4D, 0x47, 0x48, 0x49,
};

// K and X both work the Space key; Y is Enter, Z is Esc.
static const WORD BUTTON_KEYS_STANDARD[8] = {
    0x39, 0xB9, 0x39, 0xB9, 0x1C, 0x9C, 0x01, 0x81,
};

void step_defaults(StepConfig *settings)
{
    for (int i = 0; i < STEP_KINDS; ++i)
        settings->keys[i] = 0;
    settings->press_ms = STEP_MS_DEFAULT;
    settings->gap_ms = STEP_MS_DEFAULT;
    for (int i = 0; i < LEVER_POWER_NOTCHES; ++i)
        settings->power_map[i] = static_cast<BYTE>(i + 1);
    for (int i = 0; i < LEVER_BRAKE_NOTCHES; ++i)
        settings->brake_map[i] = static_cast<BYTE>(i + 1);
}

void key_set_start(KeySet *set, BOOL lever_steps)
{
    memset(set, 0, sizeof *set);
    memcpy(set->lever, LEVER_KEYS_STANDARD, sizeof set->lever);
    memcpy(set->button, BUTTON_KEYS_STANDARD, sizeof set->button);
    set->lever_steps = lever_steps;
    step_defaults(&set->steps);
}
