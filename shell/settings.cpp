#include "keys/keydrv.h"
#include "keys/keysettings.h"
#include "shell/shell.h"

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
    return 0;
}
