/* The least any program can do with notchkey's two devices, as the yardstick
 * its latency is measured against: open the port COM2 and the driver entry
 * found in NOTCHKEY_DEVICES, make the port raw, write "RESET\r", take the
 * twelve-byte answer, then for every six bytes read write one packet line.
 * It looks nothing up: a line costs the same whichever message it was. */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

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

int main(void)
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
