#include "keys/keysettings.h"

#include "common/mascon_tables.h"
#include "keys/keynames.h"

#include <stdio.h>
#include <string.h>

// Whether the way out takes extended keys; the driver's packets have no room
// for their prefix.
static BOOL g_extended_keys;

// The settings being read, and the key set whose lines are being read.
static KeySettings *g_read;
static KeySet *g_set;

// The step lines that counted, by kind, and the order they were read in:
// two step keys on one key are told by the later line.
static const char *g_step_entry[STEP_KINDS];
static int g_step_order[STEP_KINDS];
static int g_step_read;

// The profile whose lines are being read, named before what is wrong in
// them; NULL for the base sections.
static const char *g_section;

// Slots of the entries already taken: the [keys] ones (lever positions,
// then the buttons' press messages), then the [step] ones.
#define KEY_SLOTS (16 + 8)
#define TAKEN_SLOTS (KEY_SLOTS + STEP_LINES)

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
static bool split_entry(const char *entry, char *name, size_t name_size, char *value,
                        size_t value_size)
{
    const char *equals = strchr(entry, '=');
    if (!equals || !copy_trimmed(entry, equals, name, name_size) ||
        !copy_trimmed(equals + 1, equals + strlen(equals), value, value_size))
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
    if (!split_entry(entry, name, sizeof name, value, sizeof value))
        return false;
    int slot = map_slot(name);
    LONG code = entry_key(value);
    if (slot < 0 || code < 0)
        return false;
    // A lever position taken already may be one of the base's, which a
    // profile in steps leaves aside.
    if (taken[slot])
        return true;
    if (slot < 16 && g_set->lever_steps)
        return false;
    taken[slot] = true;
    if (slot < 16) {
        g_set->lever[slot] = static_cast<WORD>(code);
    } else {
        g_set->button[slot - 16] = static_cast<WORD>(code);
        g_set->button[slot - 16 + 1] = static_cast<WORD>(code | 0x80);
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
    if (!split_entry(line, name, sizeof name, value, sizeof value))
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

// One [step] line, its seen flags after those of [keys]; a key line that
// counts is kept to be named if its key clashes.
static bool apply_step_entry(const char *entry, bool *taken)
{
    bool *seen = taken + KEY_SLOTS;
    bool keys_seen[STEP_KINDS];
    memcpy(keys_seen, seen, sizeof keys_seen);
    if (!read_step_line(entry, &g_set->steps, seen))
        return false;
    for (int kind = 0; kind < STEP_KINDS; ++kind) {
        if (seen[kind] && !keys_seen[kind]) {
            g_step_entry[kind] = entry;
            g_step_order[kind] = g_step_read++;
        }
    }
    return true;
}

static const char *profile_entry_kind(const char *entry);
static bool entry_name(const char *entry, char (&name)[16]);

// What each kind of line takes, for the line after a refusal: the user
// learns the range, not only that the value is wrong. A [step] line's rule
// follows from its place in STEP_LINE_TABLE: four keys, two times, two
// counts, two maps, power before brake.
static_assert(STEP_LINES == 10 && TRAIN_NOTCH_MAX == 99, "the rules below");
static const char *const RULES[] = {
    "A key line: a lever or button press message (MCA55, MCK99) = a key from the guide.",
    "lever takes hold or step.",
    ("[step] takes power_up, power_down, brake_up, brake_down, press_ms, gap_ms, power_notches, "
     "brake_notches, power_map and brake_map."),
    "%s takes a key, as a [keys] line does.",
    "%s takes 1 to %d (milliseconds).",
    "%s takes 1 to %d.",
    "%s takes %d notches of 1 to 99, commas between, none below the one before.",
};

// Tells the user which setting is wrong, with enough of a long one to find it
// by, and on the next line what it takes: rule, or its kind's; returns 1.
static int refuse(const AppConfig *config, const char *text, const char *what,
                  const char *rule = NULL)
{
    char name[16] = "", own[160];
    int slot = 0, kind = *what == 'k' ? 0 : *what == 'l' ? 1 : 2;
    if (kind == 2 && entry_name(text, name))
        while (slot < STEP_LINES && !same_name(name, STEP_LINE_TABLE[slot].name))
            ++slot;
    if (kind == 2 && name[0] && slot < STEP_LINES)
        kind = slot < 4 ? 3 : 4 + (slot - 4) / 2;
    snprintf(own, sizeof own, RULES[kind], name,
             kind == 4 ? STEP_MS_MAX : slot & 1 ? LEVER_BRAKE_NOTCHES : LEVER_POWER_NOTCHES);
    snprintf(g_text, sizeof g_text, "%s%s%.*s is invalid %s.\n%s", g_section ? g_section : "",
             g_section ? ": " : "", key_text_cut(text, KEY_TEXT_SHOWN), text, what,
             rule ? rule : own);
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
            return refuse(config, entry, what ? what : profile_entry_kind(entry));
        entry = nul + 1;
    }
    return 0;
}

// The step keys a lever in steps needs, once every line is read: a handle
// that cannot be moved both ways would drift from the lever with no way back.
static int check_steps(const AppConfig *config, const bool *taken)
{
    for (int kind = 0; kind < STEP_KINDS; ++kind) {
        if (!taken[KEY_SLOTS + kind]) {
            char missing[16];
            snprintf(missing, sizeof missing, "%s=", STEP_LINE_TABLE[kind].name);
            return refuse(config, missing, "step",
                          "lever=step needs power_up, power_down, brake_up and brake_down.");
        }
    }
    return 0;
}

// Whether a step moves the handle towards power: power up, brake down.
static bool towards_power(int kind)
{
    return kind == STEP_POWER_UP || kind == STEP_BRAKE_DOWN;
}

// One key for two steps that move the handle opposite ways leaves it no way
// back (a combined handle's one key for power down and brake up is right);
// a step on a button's key lets go of the button while it is held. The
// later line is told; one that clashes with a button names itself.
static int check_step_clashes(const AppConfig *config)
{
    const StepConfig *steps = &g_set->steps;
    for (int kind = 0; kind < STEP_KINDS; ++kind) {
        for (int other = 0; other < STEP_KINDS; ++other)
            if (towards_power(other) != towards_power(kind) &&
                steps->keys[other] == steps->keys[kind] &&
                g_step_order[other] < g_step_order[kind])
                return refuse(config, g_step_entry[kind], "step",
                              "Two steps share a key only where both move the handle one way "
                              "(power_up and brake_down, power_down and brake_up).");
        for (int button = 0; button < 8; button += 2)
            if (g_set->button[button] == steps->keys[kind])
                return refuse(config, g_step_entry[kind], "step",
                              "A step's key is none of the buttons' keys.");
    }
    return 0;
}

// The step keys a lever in steps needs, all there and apart.
static int check_step_keys(const AppConfig *config, const bool *taken)
{
    return check_steps(config, taken) || check_step_clashes(config);
}

// The lever's way: TRUE for steps, FALSE for held keys, -1 for neither.
static int lever_way(const char *lever)
{
    if (same_name(lever, LEVER_STEP))
        return TRUE;
    return same_name(lever, LEVER_HOLD) ? FALSE : -1;
}

// Starts the set that lines are read into from the standard maps and the
// times' default.
static void start_tables(KeySet *set, BOOL steps)
{
    g_set = set;
    key_set_start(set, steps);
    g_step_read = 0;
}

// The base sections' lines into the tables, after whatever took slots before
// them; [step] only for a lever in steps, which a lever position's key is
// not for.
static int apply_base(const AppConfig *config, bool *taken)
{
    const char *section = g_section;
    g_section = NULL;
    int wrong = apply_section(config, config->keys, sizeof config->keys, apply_key_entry, taken,
                              "key") ||
                (g_set->lever_steps && apply_section(config, config->step, sizeof config->step,
                                                apply_step_entry, taken, "step"));
    g_section = section;
    return wrong;
}

// An entry's name, blanks trimmed; false without an '=' or when too long.
static bool entry_name(const char *entry, char (&name)[16])
{
    const char *equals = strchr(entry, '=');
    return equals && copy_trimmed(entry, equals, name, sizeof name);
}

static const char *profile_entry_kind(const char *entry)
{
    char name[16];
    if (!entry_name(entry, name))
        return "key";
    if (same_name(name, "program"))
        return "profile";
    if (same_name(name, "lever"))
        return "lever";
    for (int slot = 0; slot < STEP_LINES; ++slot)
        if (same_name(name, STEP_LINE_TABLE[slot].name))
            return "step";
    return "key";
}

// One line of a profile: a [step] line (looked at in steps only), or a
// [keys] line; its program= and lever= lines were read before.
static bool apply_profile_entry(const char *entry, bool *taken)
{
    const char *kind = profile_entry_kind(entry);
    if (strcmp(kind, "step") == 0)
        return !g_set->lever_steps || apply_step_entry(entry, taken);
    return strcmp(kind, "key") != 0 || apply_key_entry(entry, taken);
}

// The value of a profile's first line of a name, blanks and quotes off, into
// out; false when there is none. A value too long for out comes cut.
static bool profile_value(const char *lines, size_t size, const char *name, char *out,
                          size_t out_size)
{
    const char *end = lines + size;
    for (const char *entry = lines; entry < end && *entry; entry += strlen(entry) + 1) {
        char line_name[16];
        if (!entry_name(entry, line_name) || !same_name(line_name, name))
            continue;
        if (!split_entry(entry, line_name, sizeof line_name, out, out_size)) {
            const char *value = strchr(entry, '=') + 1;
            snprintf(out, out_size, "%s", value + strspn(value, " \t"));
        }
        return true;
    }
    return false;
}

// A program= list into programs: file names between commas, blanks around
// them off, NUL after each and an empty one last. False for an empty list,
// an empty name or a list too long.
static bool read_programs(const char *list, char *programs)
{
    char *out = programs;
    for (const char *name = list;;) {
        const char *comma = strchr(name, ',');
        const char *end = comma ? comma : name + strlen(name);
        if (!copy_trimmed(name, end, out, PROGRAMS_MAX + 1 - (out - programs)) || !*out)
            return false;
        out += strlen(out) + 1;
        if (!comma)
            break;
        name = comma + 1;
    }
    *out = '\0';
    return true;
}

// A name of letters, digits, '-' and '_', short enough to keep.
static bool profile_name_ok(const char *name)
{
    size_t len = strlen(name);
    if (len == 0 || len >= sizeof g_read->profiles[0].name)
        return false;
    for (const char *c = name; *c; ++c)
        if (!((*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9') ||
              *c == '-' || *c == '_'))
            return false;
    return true;
}

// An empty value is named by its line, as a missing step key is.
static int refuse_lever(const AppConfig *config, const char *lever)
{
    return refuse(config, lever[0] ? lever : "lever=", "lever");
}

static int profile_named(const KeySettings *settings, const char *name)
{
    for (int i = 1; i <= settings->count; ++i)
        if (same_name(settings->profiles[i].name, name))
            return i;
    return -1;
}

// One [profile NAME] section over the base into the next place of the
// settings' profiles: 0, or 1 once what is wrong is told.
static int apply_profile(const AppConfig *config, const ProfileText *text)
{
    g_section = NULL;
    const char *name = text->section + strlen("profile");
    name += strspn(name, " \t");
    // A second section of a name is one Windows does not read.
    if (profile_name_ok(name) && profile_named(g_read, name) >= 0)
        return 0;
    static_assert(PROFILE_MAX == 16 && sizeof g_read->profiles[0].name == 32, "the rules below");
    if (!profile_name_ok(name))
        return refuse(config, text->section, "profile",
                      "A profile's name: letters, digits, - and _, up to 31.");
    if (g_read->count == PROFILE_MAX)
        return refuse(config, text->section, "profile", "At most 16 profiles.");
    Profile *profile = &g_read->profiles[g_read->count + 1];
    memset(profile, 0, sizeof *profile);
    snprintf(profile->name, sizeof profile->name, "%s", name);
    g_section = profile->name;

    char value[PROGRAMS_MAX + 2];
    if (profile_value(text->lines, sizeof text->lines, "program", value, sizeof value) &&
        !read_programs(value, profile->programs))
        return refuse(config, "program=", "profile",
                      "program= takes file names, commas between.");
    const char *lever = config->lever;
    if (profile_value(text->lines, sizeof text->lines, "lever", value, sizeof config->lever))
        lever = value;
    int steps = lever_way(lever);
    if (steps < 0)
        return refuse_lever(config, lever);

    start_tables(&profile->keys, steps);
    bool taken[TAKEN_SLOTS] = {};
    if (apply_section(config, text->lines, sizeof text->lines, apply_profile_entry, taken, NULL))
        return 1;
    // The base's lever positions are for held keys; a handle's notches the
    // profile gives, as a count or a map, are the profile's alone.
    if (steps)
        memset(taken, true, 16);
    for (int slot = 0; slot < STEP_LINES; ++slot)
        if (taken[KEY_SLOTS + slot] && STEP_LINE_TABLE[slot].yields_to >= 0)
            taken[KEY_SLOTS + STEP_LINE_TABLE[slot].yields_to] = true;
    if (apply_base(config, taken) || (steps && check_step_keys(config, taken)))
        return 1;
    ++g_read->count;
    return 0;
}

int profile_section(const char *section)
{
    for (int i = 0; i < 7; ++i)
        if ((section[i] | 0x20) != "profile"[i])
            return FALSE;
    return section[7] == ' ' || section[7] == '\t';
}

int read_key_settings(const AppConfig *config, BOOL extended_keys, KeySettings *settings)
{
    g_extended_keys = extended_keys;
    g_section = NULL;
    g_read = settings;
    settings->count = 0;
    settings->default_profile = PROFILE_BASE;
    int steps = lever_way(config->lever);
    if (steps < 0)
        return refuse_lever(config, config->lever);
    start_tables(&settings->profiles[PROFILE_BASE].keys, steps);
    bool taken[TAKEN_SLOTS] = {};
    if (apply_base(config, taken) || (steps && check_step_keys(config, taken)))
        return 1;

    int wrong = 0;
    for (int i = 0; i < config->profile_count && !wrong; ++i)
        wrong = apply_profile(config, &config->profiles[i]);
    g_section = NULL;
    if (wrong)
        return 1;
    if (config->profile[0]) {
        settings->default_profile = profile_named(settings, config->profile);
        if (settings->default_profile < 0) {
            char shown[80];
            snprintf(shown, sizeof shown, "profile=%s", config->profile);
            return refuse(config, shown, "profile",
                          "profile= takes a [profile NAME] section's name.");
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
