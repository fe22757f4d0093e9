#include "keys/keydrv.h"
#include "keys/keysettings.h"
#include "shell/shell.h"

#include <stdio.h>

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
    return read_reconnect(config, &config->reconnect);
}
