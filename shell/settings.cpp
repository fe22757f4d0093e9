#include "keys/keydrv.h"
#include "keys/keysettings.h"
#include "shell/shell.h"

#include <stdio.h>
#include <string.h>

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
        snprintf(profile->section, sizeof profile->section, "%s", name);
        GetPrivateProfileSectionA(name, profile->lines, sizeof profile->lines, SETTINGS_FILE);
    }
}

int load_config(AppConfig *config)
{
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
    return 0;
}
