// Whatever the line delivers once the worker is synchronised, taken six bytes
// at a time as its read loop takes it: each known message leaves exactly its
// key packet in the capture, and the first unknown one ends the stream with
// nothing sent.
#include "keys/keydrv.h"
#include "keys/keys.h"
#include "keys/senders.h"
#include "common/mascon_tables.h"
#include "link/mascon_worker.h"

#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#define CHECK(condition)                                                                     \
    do {                                                                                     \
        if (!(condition)) {                                                                  \
            fprintf(stderr, "fuzz_messages: %s:%d: %s\n", __FILE__, __LINE__, #condition); \
            __builtin_trap();                                                                \
        }                                                                                    \
    } while (0)

// Any valid position does; a fixed one makes every input replay the same way.
static const LONG LEVER_AT_START = 6;
// The capture is emptied past this, so long runs stay in memory.
static const off_t CAPTURE_LIMIT = 1 << 20;

// Our own descriptor of the capture the driver appends to. The file has no
// name left once the driver has it open, so a run leaves nothing behind.
static int g_capture = -1;

static off_t capture_size(void)
{
    struct stat st;
    CHECK(fstat(g_capture, &st) == 0);
    return st.st_size;
}

static void make_temp_dir(char *dir, size_t cap)
{
    struct stat st;
    const char *base = getenv("TMPDIR");
    // Memory-backed when there is such a place: a packet is a write.
    if (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && access("/dev/shm", W_OK) == 0)
        base = "/dev/shm";
    if (!base || !*base)
        base = "/tmp";
    snprintf(dir, cap, "%s/notchkey-fuzz-XXXXXX", base);
    CHECK(mkdtemp(dir) != NULL);
}

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    (void)argc;
    (void)argv;
    char dir[512];
    make_temp_dir(dir, sizeof dir);
    char path[600];
    snprintf(path, sizeof path, "%s/keytap.vxd", dir);
    g_capture = open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    CHECK(g_capture >= 0);
    setenv("NOTCHKEY_DEVICES", dir, 1);

    static AppConfig config;
    snprintf(config.injector, sizeof config.injector, "%s", INJECTOR_DRIVER);
    snprintf(config.lever, sizeof config.lever, "hold");
    CHECK(keydrv_select(&config) == 0);
    CHECK(keydrv_open(&config) == 0);
    CHECK(unlink(path) == 0);
    CHECK(rmdir(dir) == 0);
    return 0;
}

// The index of the six bytes in a table, found without the lookups under test.
static LONG find(const char (*table)[MASCON_MESSAGE_LEN + 1], LONG count, const uint8_t *message)
{
    for (LONG i = 0; i < count; ++i)
        if (memcmp(table[i], message, MASCON_MESSAGE_LEN) == 0)
            return i;
    return -1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (capture_size() > CAPTURE_LIMIT)
        CHECK(ftruncate(g_capture, 0) == 0);
    g_lever_current = LEVER_AT_START;
    g_lever_previous = LEVER_AT_START;

    // A trailing part of a message is dropped: the read would still wait for it.
    for (size_t at = 0; at + MASCON_MESSAGE_LEN <= size; at += MASCON_MESSAGE_LEN) {
        const uint8_t *message = data + at;
        memcpy(g_rx, message, MASCON_MESSAGE_LEN);

        LONG lever = find(lever_messages, 16, message);
        LONG button = find(button_messages, 8, message);
        LONG gstate = find(gstate_messages, 3, message);
        CHECK((lever >= 0) + (button >= 0) + (gstate >= 0) <= 1);
        CHECK(lever_index_of(g_rx) == lever);
        CHECK(button_index_of(g_rx) == button);
        CHECK(gstate_index_of(g_rx) == gstate);

        LONG before = g_lever_current;
        off_t start = capture_size();
        int handled = mascon_dispatch();
        off_t end = capture_size();
        CHECK(g_rx[6] == 0 && g_rx[7] == 0);
        CHECK(memcmp(g_rx, message, MASCON_MESSAGE_LEN) == 0);
        CHECK(g_lever_current >= 0 && g_lever_current < 16);

        char want[16] = "";
        if (lever >= 0) {
            CHECK(g_lever_current == lever);
            CHECK(g_lever_previous == before);
            snprintf(want, sizeof want, "%02x %02x\n", g_keys->lever[lever],
                     g_keys->lever[before] | 0x80);
        } else {
            CHECK(g_lever_current == before);
            if (button >= 0)
                snprintf(want, sizeof want, "%02x\n", g_keys->button[button]);
        }

        if (lever < 0 && button < 0 && gstate < 0) {
            CHECK(handled == 0);
            CHECK(end == start);
            // The worker gives up here; nothing after it is read.
            break;
        }
        CHECK(handled == 1);
        size_t len = strlen(want);
        CHECK(end - start == static_cast<off_t>(len));
        char got[16];
        CHECK(pread(g_capture, got, len, start) == static_cast<ssize_t>(len));
        CHECK(memcmp(got, want, len) == 0);
    }
    return 0;
}
