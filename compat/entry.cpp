// The process entry: main() calls WinMain, and its result is the exit code.
//
// SIGINT, SIGTERM and SIGHUP close the windows, as a user closing them
// would, so the program shuts down in its own order. SIGUSR1 and SIGUSR2 are
// the user's right-click on the notification icon: the first closes the menu
// without a choice, the second chooses its first item. SIGRTMIN is a restart
// of the notification area, as when Explorer restarts. They are taken by a
// thread of their own, which may post messages as no signal handler could;
// every other thread starts with them blocked. SIGPIPE is ignored: a capture
// whose reader goes away, or a closed line, loses what was written to it
// and does not end the program.
//
// The settings file is the current folder's notchkey.ini, as on Windows; a
// Linux user keeps it in the configuration folder instead, so without one
// here, a notchkey.ini under $XDG_CONFIG_HOME/notchkey (~/.config/notchkey)
// is read, its folder becoming the current one, as a shortcut's "Start in"
// does on Windows (a relative logfile= goes beside it), and named at start.
// --help and
// --version answer and end before anything is opened.
#include "compat.h"

#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>


static sigset_t g_user_signals;

static void *signal_main(void *)
{
    for (;;) {
        int signal_number = 0;
        if (sigwait(&g_user_signals, &signal_number) != 0)
            continue;
        if (signal_number == SIGUSR1 || signal_number == SIGUSR2)
            compat_tray_click(signal_number == SIGUSR2 ? 0 : -1);
        else if (signal_number == SIGRTMIN)
            compat_taskbar_restart();
        else
            compat_close_windows();
    }
    return nullptr;
}

static const char SETTINGS[] = "notchkey.ini";

static bool is_file(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

// The folder of the user's own settings: $XDG_CONFIG_HOME/notchkey, or
// ~/.config/notchkey; a relative $XDG_CONFIG_HOME is no such folder.
static bool config_folder(char *path, size_t cap)
{
    const char *base = getenv("XDG_CONFIG_HOME");
    const char *home = getenv("HOME");
    int len = base && base[0] == '/' ? snprintf(path, cap, "%s/notchkey", base)
              : home && home[0]      ? snprintf(path, cap, "%s/.config/notchkey", home)
                                     : -1;
    return len > 0 && static_cast<size_t>(len) < cap;
}

// The configuration folder's settings, where the current folder has none:
// named on standard error at start, as the user may not look there.
static void find_settings(void)
{
    char folder[PATH_MAX], path[PATH_MAX + 16];
    if (is_file(SETTINGS) || !config_folder(folder, sizeof folder))
        return;
    snprintf(path, sizeof path, "%s/%s", folder, SETTINGS);
    if (!is_file(path))
        return;
    // The device folder, if named relatively, stays the one it named.
    const char *devices = getenv("NOTCHKEY_DEVICES");
    char devices_path[PATH_MAX];
    if (devices && *devices && realpath(devices, devices_path))
        setenv("NOTCHKEY_DEVICES", devices_path, 1);
    if (chdir(folder) == 0)
        fprintf(stderr, "notchkey: settings from %s\n", path);
}

// --help and --version: true once answered.
static bool answered(int argc, char **argv)
{
    if (argc < 2)
        return false;
    if (strcmp(argv[1], "--version") == 0) {
        printf("notchkey %s\n", NOTCHKEY_VERSION);
        return true;
    }
    if (strcmp(argv[1], "--help") != 0)
        return false;
    char folder[PATH_MAX];
    if (!config_folder(folder, sizeof folder))
        snprintf(folder, sizeof folder, "$XDG_CONFIG_HOME/notchkey");
    printf("Usage: notchkey [--help | --version]\n"
           "notchkey %s: a train master controller (mascon) on a serial port drives a\n"
           "keyboard-driven train simulator; each of its messages becomes key strokes.\n"
           "It reads its settings from notchkey.ini in the current folder, else from\n"
           "%s/notchkey.ini.\n"
           "The guide: README.txt, beside notchkey.ini in the package.\n",
           NOTCHKEY_VERSION, folder);
    return true;
}

int main(int argc, char **argv)
{
    if (answered(argc, argv))
        return 0;
    find_settings();

    sigemptyset(&g_user_signals);
    sigaddset(&g_user_signals, SIGINT);
    sigaddset(&g_user_signals, SIGTERM);
    sigaddset(&g_user_signals, SIGHUP);
    sigaddset(&g_user_signals, SIGUSR1);
    sigaddset(&g_user_signals, SIGUSR2);
    sigaddset(&g_user_signals, SIGRTMIN);
    pthread_sigmask(SIG_BLOCK, &g_user_signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    pthread_t signals;
    pthread_create(&signals, nullptr, signal_main, nullptr);
    pthread_detach(signals);

    // The program ignores its command line, so it is handed none.
    static char command_line[] = "";
    static int module; // any address names this one module
    return WinMain(reinterpret_cast<HINSTANCE>(&module), NULL, command_line, SW_SHOWDEFAULT);
}
