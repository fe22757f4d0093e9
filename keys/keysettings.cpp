#include "keys/keysettings.h"

#include "keys/keydrv.h"
#include "keys/keynames.h"
#include "keys/steps.h"
#include "link/mascon_tables.h"

#include <stdio.h>
#include <string.h>

// Whether the way out takes extended keys; the driver's packets have no room
// for their prefix.
static BOOL g_extended_keys;

// Copies the blanks-trimmed text of [from, to) into out (of size bytes);
// false when it does not fit.
static bool copy_trimmed(const char *from, const char *to, char *out, size_t size)
{
    while (from < to && (*from == ' ' || *from == '\t'))
        ++from;
    while (to > from && (to[-1] == ' ' || to[-1] == '\t'))
        --to;
    size_t len = static_cast<size_t>(to - from);
    if (len >= size)
        return false;
    memcpy(out, from, len);
    out[len] = '\0';
    return true;
}

// A "name=value" entry's name and value, blanks trimmed, and the value
// without quotes around it, as every other value of the file. False without
// an '=' or when a part is too long to be right.
static bool split_entry(const char *entry, char (&name)[16], char (&value)[64])
{
    const char *equals = strchr(entry, '=');
    if (!equals || !copy_trimmed(entry, equals, name, sizeof name) ||
        !copy_trimmed(equals + 1, equals + strlen(equals), value, sizeof value))
        return false;
    size_t len = strlen(value);
    if (len >= 2 && (value[0] == '"' || value[0] == '\'') && value[len - 1] == value[0]) {
        memmove(value, value + 1, len - 2);
        value[len - 2] = '\0';
    }
    return true;
}

// The code of the key a value names, if the way out can send it; -1 if not.
static LONG entry_key(const char *value)
{
    LONG code = key_code_of(value);
    return code >= 0 && (!(code & KEY_EXTENDED) || g_extended_keys) ? code : -1;
}

// The table slot an entry's name gives a key: 0..15 a lever position, 16 +
// button index for a press message; -1 for any other name.
static int map_slot(const char *name)
{
    const size_t len = MASCON_MESSAGE_LEN - 1; // the message without its carriage return
    if (strlen(name) != len)
        return -1;
    char upper[MASCON_MESSAGE_LEN];
    for (size_t i = 0; i <= len; ++i)
        upper[i] = name[i] >= 'a' && name[i] <= 'z' ? name[i] - 'a' + 'A' : name[i];
    for (int i = 0; i < 16; ++i)
        if (strncmp(upper, lever_messages[i], len) == 0)
            return i;
    for (int i = 0; i < 8; i += 2)
        if (strncmp(upper, button_messages[i], len) == 0)
            return 16 + i;
    return -1;
}

// One "name=value" entry of the [keys] section into the tables, unless an
// earlier entry had the same name: the first one counts, as for every other
// setting. False when the entry is wrong. A lever in steps holds no key, so
// then a lever position takes none.
static bool apply_key_entry(const char *entry, bool *taken)
{
    char name[16], value[64];
    if (!split_entry(entry, name, value))
        return false;
    int slot = map_slot(name);
    LONG code = entry_key(value);
    if (slot < 0 || code < 0 || (slot < 16 && g_lever_steps))
        return false;
    if (taken[slot])
        return true;
    taken[slot] = true;
    if (slot < 16) {
        lever_scancodes[slot] = static_cast<WORD>(code);
    } else {
        button_scancodes[slot - 16] = static_cast<WORD>(code);
        button_scancodes[slot - 16 + 1] = static_cast<WORD>(code | 0x80);
    }
    return true;
}

// A whole number of decimal digits from 1 to max; -1 for anything else.
static LONG number_of(const char *text, LONG max)
{
    LONG number = 0;
    for (const char *c = text; *c; ++c) {
        if (*c < '0' || *c > '9')
            return -1;
        number = number * 10 + (*c - '0');
        if (number > max)
            return -1;
    }
    return number >= 1 ? number : -1;
}

// How each kind of [step] line reads its value into the settings; which
// says which of its kind the line is. False for a wrong value.
static bool read_key(const char *value, StepConfig *settings, int which)
{
    LONG code = entry_key(value);
    settings->keys[which] = static_cast<WORD>(code);
    return code >= 0;
}

static bool read_ms(const char *value, StepConfig *settings, int which)
{
    LONG ms = number_of(value, STEP_MS_MAX);
    *(which ? &settings->gap_ms : &settings->press_ms) = static_cast<DWORD>(ms);
    return ms > 0;
}

// The two handles' maps: power first, then brake.
static BYTE *handle_map(StepConfig *settings, int which, int *notches)
{
    *notches = which ? LEVER_BRAKE_NOTCHES : LEVER_POWER_NOTCHES;
    return which ? settings->brake_map : settings->power_map;
}

// The train's count of notches: the lever's notches past it all give its top one.
static bool read_notches(const char *value, StepConfig *settings, int which)
{
    int notches;
    BYTE *map = handle_map(settings, which, &notches);
    LONG count = number_of(value, notches);
    for (int i = 0; i < notches; ++i)
        map[i] = static_cast<BYTE>(i < count ? i + 1 : count);
    return count > 0;
}

// One train notch per lever notch, commas between, blanks around them.
static bool read_map(const char *value, StepConfig *settings, int which)
{
    int notches;
    BYTE *map = handle_map(settings, which, &notches);
    const char *from = value;
    for (int i = 0; i < notches; ++i) {
        const char *comma = strchr(from, ',');
        const char *to = comma ? comma : from + strlen(from);
        char text[8];
        LONG notch = copy_trimmed(from, to, text, sizeof text) ? number_of(text, TRAIN_NOTCH_MAX)
                                                               : -1;
        if (notch < 0 || (i > 0 && notch < map[i - 1]) || (i < notches - 1) != (comma != NULL))
            return false;
        map[i] = static_cast<BYTE>(notch);
        from = to + 1;
    }
    return true;
}

// The lines of [step], in the order of their slots in the seen flags; a map
// wins over the count of the same handle, wherever the two stand.
static const struct {
    const char *name;
    bool (*read)(const char *value, StepConfig *settings, int which);
    int which;
    int yields_to; // the slot of the line that wins over this one, or -1
} STEP_LINE_TABLE[STEP_LINES] = {
    {"power_up", read_key, STEP_POWER_UP, -1},
    {"power_down", read_key, STEP_POWER_DOWN, -1},
    {"brake_up", read_key, STEP_BRAKE_UP, -1},
    {"brake_down", read_key, STEP_BRAKE_DOWN, -1},
    {"press_ms", read_ms, 0, -1},
    {"gap_ms", read_ms, 1, -1},
    {"power_notches", read_notches, 0, 8},
    {"brake_notches", read_notches, 1, 9},
    {"power_map", read_map, 0, -1},
    {"brake_map", read_map, 1, -1},
};

bool read_step_line(const char *line, StepConfig *settings, bool *seen)
{
    char name[16], value[64];
    if (!split_entry(line, name, value))
        return false;
    int slot = 0;
    while (slot < STEP_LINES && !same_name(name, STEP_LINE_TABLE[slot].name))
        ++slot;
    if (slot == STEP_LINES)
        return false;
    // A line that does not count must still be right.
    StepConfig read = *settings;
    if (!STEP_LINE_TABLE[slot].read(value, &read, STEP_LINE_TABLE[slot].which))
        return false;
    int winner = STEP_LINE_TABLE[slot].yields_to;
    if (!seen[slot] && (winner < 0 || !seen[winner]))
        *settings = read;
    seen[slot] = true;
    return true;
}

static bool apply_step_entry(const char *entry, bool *taken)
{
    return read_step_line(entry, &g_steps, taken);
}

// Tells the user which setting is wrong, with enough of a long one to find it
// by; returns 1.
static int refuse(const AppConfig *config, const char *text, const char *what)
{
    snprintf(g_text, sizeof g_text, "%.*s is invalid %s.", key_text_cut(text, KEY_TEXT_SHOWN), text,
             what);
    MessageBoxA(config->hwnd, g_text, APP_TITLE, MB_ICONWARNING);
    return 1;
}

// Each entry of a section as the settings reader lists it (a NUL after each,
// an empty one last), through apply; 1 once the first wrong one is told.
static int apply_section(const AppConfig *config, const char *section, size_t size,
                         bool (*apply)(const char *entry, bool *taken), bool *taken,
                         const char *what)
{
    const char *end = section + size;
    const char *entry = section;
    while (entry < end && *entry) {
        const char *nul = static_cast<const char *>(memchr(entry, '\0', end - entry));
        if (!nul)
            break;
        // A section too long for the buffer comes with its last entry cut
        // (and one that just fills it looks the same): that entry cannot be
        // trusted, 0x1 may have been 0x10.
        bool cut = nul >= end - 2;
        const char *first = entry + strspn(entry, " \t");
        // Some systems hand comment lines over with the entries.
        if (*first != ';' && (cut || !apply(entry, taken)))
            return refuse(config, entry, what);
        entry = nul + 1;
    }
    return 0;
}

int apply_key_settings(const AppConfig *config, BOOL extended_keys)
{
    g_extended_keys = extended_keys;
    g_lever_steps = same_name(config->lever, LEVER_STEP);
    // An empty value is named by its line, as a missing step key is.
    if (!g_lever_steps && !same_name(config->lever, LEVER_HOLD))
        return refuse(config, config->lever[0] ? config->lever : "lever=", "lever");

    bool keys_taken[16 + 8] = {};
    if (apply_section(config, config->keys, sizeof config->keys, apply_key_entry, keys_taken,
                      "key"))
        return 1;
    // Without steps their section changes nothing.
    if (!g_lever_steps)
        return 0;

    step_defaults(&g_steps);
    bool step_taken[STEP_LINES] = {};
    if (apply_section(config, config->step, sizeof config->step, apply_step_entry, step_taken,
                      "step"))
        return 1;
    // A handle that cannot be moved both ways would drift from the lever
    // with no way back.
    for (int kind = 0; kind < STEP_KINDS; ++kind) {
        if (!step_taken[kind]) {
            char missing[16];
            snprintf(missing, sizeof missing, "%s=", STEP_LINE_TABLE[kind].name);
            return refuse(config, missing, "step");
        }
    }
    return 0;
}

int key_text_cut(const char *text, int limit)
{
    const char *end = text;
    while (*end) {
        const char *next = CharNextA(end);
        if (next - text > limit)
            break;
        end = next;
    }
    return static_cast<int>(end - text);
}
