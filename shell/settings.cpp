#include "keys/keydrv.h"
#include "keys/keysettings.h"
#include "shell/shell.h"

#include <stdio.h>
#include <string.h>

// What [config] and [debug] know. Anything else is named at start, as it is
// most likely a misspelt line whose setting silently keeps its default.
static const char *const CONFIG_ENTRIES[] = {"port", "injector", "lever", "profile", "reconnect"};
static const char *const DEBUG_ENTRIES[] = {"logfile"};

static char g_section[4096]; // one section's entries, for naming the unknown ones

static void note_unknown_entries(const char *section, const char *const *known, size_t count)
{
    GetPrivateProfileSectionA(section, g_section, sizeof g_section, SETTINGS_FILE);
    for (const char *entry = g_section; *entry; entry += strlen(entry) + 1) {
        char name[64];
        size_t len = strcspn(entry, "=");
        if (len >= sizeof name)
            len = sizeof name - 1;
        memcpy(name, entry, len);
        name[len] = '\0';
        size_t i = 0;
        while (i < count && lstrcmpiA(name, known[i]) != 0)
            ++i;
        if (i == count)
            note("[%s] %.200s: unknown entry, ignored", section, entry);
    }
}

// Whether a section of that name is loaded already: a second one is not
// read, the first is.
static bool loaded(const AppConfig *config, const char *section)
{
    for (int i = 0; i < config->profile_count; ++i)
        if (lstrcmpiA(config->profiles[i].section, section) == 0)
            return true;
    return false;
}

// Every [profile NAME] section, in file order, up to one more than may be.
static void load_profiles(AppConfig *config)
{
    config->profile_count = 0;
    char names[4096];
    DWORD got = GetPrivateProfileSectionNamesA(names, sizeof names, SETTINGS_FILE);
    // A list too long for the buffer ends with a name cut short: no name of ours.
    bool cut = got == sizeof names - 2;
    for (const char *name = names; *name; name += strlen(name) + 1) {
        if (cut && name + strlen(name) >= names + got)
            break;
        if (!profile_section(name) || config->profile_count > PROFILE_MAX || loaded(config, name))
            continue;
        ProfileText *profile = &config->profiles[config->profile_count++];
        // A name too long to keep is no profile's: cut, it is refused all the same.
        size_t len = strnlen(name, sizeof profile->section - 1);
        memcpy(profile->section, name, len);
        profile->section[len] = '\0';
        GetPrivateProfileSectionA(name, profile->lines, sizeof profile->lines, SETTINGS_FILE);
    }
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
    snprintf(g_text, sizeof g_text, "%.*s is invalid reconnect.",
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
    note_unknown_entries("config", CONFIG_ENTRIES, sizeof CONFIG_ENTRIES / sizeof *CONFIG_ENTRIES);
    note_unknown_entries("debug", DEBUG_ENTRIES, sizeof DEBUG_ENTRIES / sizeof *DEBUG_ENTRIES);
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
    load_profiles(config);
    return read_reconnect(config, &config->reconnect);
}
