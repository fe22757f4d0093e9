#include "keys/keydrv.h"
#include "keys/keysettings.h"
#include "shell/shell.h"

#include <stdio.h>
#include <string.h>

// What [config] and [debug] know. Anything else is told at start, as it is
// most likely a misspelt line whose setting silently keeps its default.
static const char *const CONFIG_ENTRIES[] = {"port", "injector", "lever", "profile", "reconnect"};
static const char *const DEBUG_ENTRIES[] = {"logfile"};
// The sections read, those whose entries are listed above first; [profile
// NAME] ones besides.
static const char *const SECTIONS[] = {"config", "debug", "keys", "step"};

static char g_section[4096]; // one section's entries, for naming the lines passed over

// The lines of the file passed over, told at once in one balloon: one
// balloon each would hide the one before. What does not fit is counted.
static char g_notices[sizeof g_nid.szInfo];
static int g_notices_more;

// One line passed over: entry (of section) as kind, or without an entry the
// section itself.
static void notice(const char *section, const char *entry, const char *kind)
{
    char line[240];
    snprintf(line, sizeof line,
             entry ? "notchkey.ini: [%s] %.100s: %s entry, ignored"
                   : "notchkey.ini: %s section [%.100s], ignored%s",
             entry ? section : kind, entry ? entry : section, entry ? kind : "");
    size_t used = strlen(g_notices);
    // Room for the count of those that do not fit.
    if (used + strlen(line) + 48 < sizeof g_notices)
        snprintf(g_notices + used, sizeof g_notices - used, used ? "\n%s" : "%s", line);
    else
        ++g_notices_more;
}

// Whether name is one of known's count names, in any letter case; from
// known, the index of the first such, or count.
static size_t find_name(const char *name, const char *const *known, size_t count)
{
    size_t i = 0;
    while (i < count && lstrcmpiA(name, known[i]) != 0)
        ++i;
    return i;
}

// Tells the entries of a section that known does not have (with a list), and
// those of a name that came before in it: the first one counts.
static void note_entries(const char *section, const char *const *known, size_t count)
{
    GetPrivateProfileSectionA(section, g_section, sizeof g_section, SETTINGS_FILE);
    const char *names[128];
    char kept[sizeof g_section];
    size_t seen = 0;
    memcpy(kept, g_section, sizeof kept);
    for (char *entry = g_section; *entry && seen < 128; entry += strlen(entry) + 1) {
        // The names alone, in a copy: the reader hands them over trimmed.
        char *name = kept + (entry - g_section);
        name[strcspn(name, "=")] = '\0';
        // Some systems hand comment lines over with the entries.
        if (*name == ';')
            continue;
        if (known && find_name(name, known, count) == count)
            notice(section, entry, "unknown");
        else if (find_name(name, names, seen) < seen)
            notice(section, entry, "repeated");
        names[seen++] = name;
    }
}

// Every section in file order: one of a name not known, and a second one of
// a name or of a profile's name, which the reader passes over, is told; so is
// each entry passed over, then all of them at once. Every [profile NAME]
// section is kept in config, up to one more than may be.
static void read_sections(AppConfig *config)
{
    config->profile_count = 0;
    char names[sizeof g_section];
    DWORD got = GetPrivateProfileSectionNamesA(names, sizeof names, SETTINGS_FILE);
    // A list too long for the buffer ends with a name cut short: no name of ours.
    bool cut = got == sizeof names - 2;
    const char *read[64];
    size_t count = 0;
    for (char *name = names; *name && count < 64; name += strlen(name) + 1) {
        if (cut && name + strlen(name) >= names + got)
            break;
        // A profile by its own name: "profile  a" is "profile a" too.
        bool profile = profile_section(name);
        const char *key = profile ? name + 7 + strspn(name + 7, " \t") : name;
        if (!profile && find_name(name, SECTIONS, 4) == 4) {
            notice(name, NULL, "unknown");
            continue;
        }
        if (find_name(key, read, count) < count) {
            notice(name, NULL, "repeated");
            continue;
        }
        read[count++] = key;
        if (profile || find_name(name, SECTIONS, 2) == 2)
            note_entries(name, NULL, 0);
        if (!profile || config->profile_count > PROFILE_MAX)
            continue;
        ProfileText *text = &config->profiles[config->profile_count++];
        // A name too long to keep is no profile's: cut, it is refused all the same.
        size_t len = strnlen(name, sizeof text->section - 1);
        memcpy(text->section, name, len);
        text->section[len] = '\0';
        GetPrivateProfileSectionA(name, text->lines, sizeof text->lines, SETTINGS_FILE);
    }
    note_entries("config", CONFIG_ENTRIES, sizeof CONFIG_ENTRIES / sizeof *CONFIG_ENTRIES);
    note_entries("debug", DEBUG_ENTRIES, sizeof DEBUG_ENTRIES / sizeof *DEBUG_ENTRIES);
    size_t used = strlen(g_notices);
    if (g_notices_more)
        snprintf(g_notices + used, sizeof g_notices - used,
                 "\nnotchkey.ini: %d more lines passed over", g_notices_more);
    if (g_notices[0])
        show_balloon(g_notices, NIIF_WARNING);
}

// reconnect= as written, or "no" without the line: TRUE or FALSE in
// *reconnect, or -1 once the user has been told it is neither.
static int read_reconnect(const AppConfig *config, BOOL *reconnect)
{
    char value[256];
    GetPrivateProfileStringA("config", "reconnect", RECONNECT_NO, value, sizeof value,
                             SETTINGS_FILE);
    *reconnect = lstrcmpiA(value, RECONNECT_YES) == 0;
    if (*reconnect || lstrcmpiA(value, RECONNECT_NO) == 0)
        return 0;
    snprintf(g_text, sizeof g_text, "%.*s is invalid reconnect.\nreconnect takes yes or no.",
             key_text_cut(value, KEY_TEXT_SHOWN), value);
    MessageBoxA(config->hwnd, g_text, APP_TITLE, MB_ICONWARNING);
    return -1;
}

int load_config(AppConfig *config)
{
    if (GetFileAttributesA(SETTINGS_FILE) == INVALID_FILE_ATTRIBUTES) {
        char folder[MAX_PATH];
        if (!GetCurrentDirectoryA(sizeof folder, folder))
            strcpy(folder, ".");
        note("no notchkey.ini in %s: running on the defaults (port=%s, injector=%s)", folder,
             PORT_DEFAULT, INJECTOR_DRIVER);
    }
    read_sections(config);
    GetPrivateProfileStringA("config", "port", PORT_DEFAULT, config->port, sizeof config->port,
                             SETTINGS_FILE);
    GetPrivateProfileStringA("debug", "logfile", "", config->logfile, LOGFILE_MAX + 1,
                             SETTINGS_FILE);
    GetPrivateProfileStringA("config", "injector", INJECTOR_DRIVER, config->injector,
                             sizeof config->injector, SETTINGS_FILE);
    GetPrivateProfileSectionA("keys", config->keys, sizeof config->keys, SETTINGS_FILE);
    GetPrivateProfileStringA("config", "lever", LEVER_HOLD, config->lever, sizeof config->lever,
                             SETTINGS_FILE);
    GetPrivateProfileSectionA("step", config->step, sizeof config->step, SETTINGS_FILE);
    GetPrivateProfileStringA("config", "profile", "", config->profile, sizeof config->profile,
                             SETTINGS_FILE);
    return read_reconnect(config, &config->reconnect);
}
