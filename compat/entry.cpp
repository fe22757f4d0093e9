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
#include "compat.h"

#include <pthread.h>
#include <signal.h>
#include <string.h>


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

int main()
{
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
