/* The least any program can do with notchkey's two devices, as the yardstick
 * its latency is measured against: open the port COM2 and the driver entry
 * found in NOTCHKEY_DEVICES, make the port raw, write "RESET\r", take the
 * twelve-byte answer, then for every six bytes read write one packet line.
 * It looks nothing up: a line costs the same whichever message it was.
 *
 * Built with FLOOR_THREADS, the same work is done by a worker thread while
 * two more threads sleep as notchkey's do: the main thread on a condition
 * variable, and one waiting for the quit signals in sigwait(). So what a
 * process's sleeping threads cost, if anything, is in both floors' ratio and
 * not charged to notchkey. */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>
#ifdef FLOOR_THREADS
#include <pthread.h>
#include <signal.h>
#endif

static int read_all(int fd, char *at, int len)
{
    for (int have = 0; have < len;) {
        ssize_t n = read(fd, at + have, (size_t)(len - have));
        if (n <= 0)
            return 0;
        have += (int)n;
    }
    return 1;
}

static int floor_main(void)
{
    const char *dir = getenv("NOTCHKEY_DEVICES");
    char path[4096], message[12];
    struct termios raw;
    snprintf(path, sizeof path, "%s/com2", dir ? dir : ".");
    int port = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    snprintf(path, sizeof path, "%s/keytap.vxd", dir ? dir : ".");
    int keys = open(path, O_WRONLY | O_CLOEXEC);
    if (port < 0 || keys < 0 || tcgetattr(port, &raw) != 0)
        return 1;
    cfmakeraw(&raw);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(port, TCSANOW, &raw) != 0 || write(port, "RESET\r", 6) != 6)
        return 1;
    for (int len = 12; read_all(port, message, len); len = 6)
        if (write(keys, "00 00\n", 6) != 6)
            return 1;
    return 0;
}

#ifdef FLOOR_THREADS
static sigset_t g_quit_signals;

static void *worker_main(void *unused)
{
    (void)unused;
    exit(floor_main());
}

static void *signal_main(void *unused)
{
    (void)unused;
    int signal_number;
    while (sigwait(&g_quit_signals, &signal_number) != 0)
        ;
    exit(0);
}

int main(void)
{
    static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    static pthread_cond_t never = PTHREAD_COND_INITIALIZER;
    pthread_t signals, worker;
    sigemptyset(&g_quit_signals);
    sigaddset(&g_quit_signals, SIGINT);
    sigaddset(&g_quit_signals, SIGTERM);
    sigaddset(&g_quit_signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &g_quit_signals, NULL);
    if (pthread_create(&signals, NULL, signal_main, NULL) != 0 ||
        pthread_create(&worker, NULL, worker_main, NULL) != 0)
        return 1;
    pthread_mutex_lock(&lock);
    for (;;)
        pthread_cond_wait(&never, &lock);
}
#else
int main(void) { return floor_main(); }
#endif
