// Any bytes at all as the settings file: every field comes back a string that
// fits its limit, no byte outside the given buffers changes, a value cut to a
// small buffer is the start of the same value read whole, and the [keys],
// [step] and profile sections are well-ended lists the key settings take or
// refuse.
//
// The run happens in a temp dir, the settings file being found relative to
// the working directory; paths on the command line are made absolute first.
#include "keys/keydrv.h"
#include "keys/keys.h"
#include "keys/senders.h"
#include "keys/keysettings.h"
#include "shell/shell.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#define CHECK(condition)                                                                     \
    do {                                                                                     \
        if (!(condition)) {                                                                  \
            fprintf(stderr, "fuzz_settings: %s:%d: %s\n", __FILE__, __LINE__, #condition); \
            __builtin_trap();                                                                \
        }                                                                                    \
    } while (0)

static const unsigned char PATTERN = 0xA5;
// Larger than any value the file can hold, so "whole" means whole.
static const DWORD WHOLE = 1 << 16;

static char g_dir[512];
static char g_whole[WHOLE];

static void remove_dir(void)
{
    unlink("notchkey.ini");
    rmdir(g_dir);
}

static bool has_prefix(const char *text, const char *prefix)
{
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

// libFuzzer reads its arguments only after this initialisation, and by then
// relative paths would point into the temp dir: inputs, corpora, and where a
// crashing input is saved.
static void absolute_paths(int *argc, char ***argv, const std::string &from)
{
    static std::vector<std::string> texts;
    static std::vector<char *> args;
    static const char *const PATH_FLAGS[] = {"-artifact_prefix=", "-exact_artifact_path=", "-dict="};
    bool saved_somewhere = false;
    for (int i = 0; i < *argc; ++i) {
        std::string arg = (*argv)[i];
        const char *flag = "";
        for (const char *candidate : PATH_FLAGS)
            if (has_prefix(arg.c_str(), candidate))
                flag = candidate;
        saved_somewhere = saved_somewhere || (*flag && flag != PATH_FLAGS[2]);
        size_t value = strlen(flag);
        bool is_path = i > 0 && (*flag || arg[0] != '-');
        if (is_path && arg.size() > value && arg[value] != '/')
            arg.insert(value, from + "/");
        texts.push_back(arg);
    }
    if (!saved_somewhere)
        texts.push_back("-artifact_prefix=" + from + "/");
    for (std::string &text : texts)
        args.push_back(&text[0]);
    args.push_back(NULL);
    *argc = static_cast<int>(texts.size());
    *argv = args.data();
}

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    char cwd[4096];
    CHECK(getcwd(cwd, sizeof cwd) != NULL);
    absolute_paths(argc, argv, cwd);
    struct stat st;
    const char *base = getenv("TMPDIR");
    if (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && access("/dev/shm", W_OK) == 0)
        base = "/dev/shm";
    if (!base || !*base)
        base = "/tmp";
    snprintf(g_dir, sizeof g_dir, "%s/notchkey-fuzz-XXXXXX", base);
    CHECK(mkdtemp(g_dir) != NULL);
    CHECK(chdir(g_dir) == 0);
    atexit(remove_dir);
    return 0;
}

static bool untouched(const void *bytes, size_t len)
{
    const unsigned char *at = static_cast<const unsigned char *>(bytes);
    for (size_t i = 0; i < len; ++i)
        if (at[i] != PATTERN)
            return false;
    return true;
}

static void write_settings(const uint8_t *data, size_t size)
{
    FILE *file = fopen("notchkey.ini", "wb");
    CHECK(file != NULL);
    CHECK(fwrite(data, 1, size, file) == size);
    CHECK(fclose(file) == 0);
}

struct Query {
    const char *section;
    const char *key;
    const char *fallback;
};

static const Query QUERIES[] = {
    {"config", "port", PORT_DEFAULT},
    {"debug", "logfile", ""},
    {"config", "injector", INJECTOR_DRIVER},
    {"config", "lever", LEVER_HOLD},
};

// The value read whole; returns its length.
static DWORD read_whole(const Query &query)
{
    DWORD n = GetPrivateProfileStringA(query.section, query.key, query.fallback, g_whole, WHOLE,
                                       SETTINGS_FILE);
    CHECK(n < WHOLE && g_whole[n] == '\0');
    return n;
}

// A field load_config filled: the whole value cut to size - 1, terminated,
// and nothing written from size on.
static void check_field(const char *field, size_t size, size_t capacity, const Query &query)
{
    DWORD whole = read_whole(query);
    size_t len = whole < size ? whole : size - 1;
    CHECK(memchr(field, '\0', size) != NULL);
    CHECK(memcmp(field, g_whole, len) == 0);
    CHECK(field[len] == '\0');
    CHECK(untouched(field + size, capacity - size));
}

static void check_small_buffers(const Query &query)
{
    DWORD whole = read_whole(query);
    static const DWORD SIZES[] = {1, 2, 5};
    for (DWORD size : SIZES) {
        char out[5 + 16];
        memset(out, PATTERN, sizeof out);
        DWORD n = GetPrivateProfileStringA(query.section, query.key, query.fallback, out, size,
                                           SETTINGS_FILE);
        CHECK(n < size);
        CHECK(n == (whole < size ? whole : size - 1));
        CHECK(out[n] == '\0');
        CHECK(memcmp(out, g_whole, n) == 0);
        CHECK(untouched(out + size, sizeof out - size));
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Values longer than the whole-value buffer would be cut there too and
    // tell nothing more.
    if (size >= WHOLE)
        return 0;
    write_settings(data, size);

    struct {
        unsigned char before[64];
        AppConfig config;
        unsigned char after[64];
    } guarded;
    memset(&guarded, PATTERN, sizeof guarded);
    HWND hwnd;
    memcpy(&hwnd, &guarded.config.hwnd, sizeof hwnd);

    // Only a reconnect= that is neither yes nor no is refused.
    char reconnect[WHOLE];
    GetPrivateProfileStringA("config", "reconnect", "no", reconnect, WHOLE, SETTINGS_FILE);
    BOOL known = lstrcmpiA(reconnect, "yes") == 0 || lstrcmpiA(reconnect, "no") == 0;
    CHECK(load_config(&guarded.config) == (known ? 0 : -1));

    CHECK(untouched(guarded.before, sizeof guarded.before));
    CHECK(untouched(guarded.after, sizeof guarded.after));
    CHECK(memcmp(&guarded.config.hwnd, &hwnd, sizeof hwnd) == 0);
    const AppConfig &config = guarded.config;
    check_field(config.port, sizeof config.port, sizeof config.port, QUERIES[0]);
    check_field(config.logfile, LOGFILE_MAX + 1, sizeof config.logfile, QUERIES[1]);
    check_field(config.injector, sizeof config.injector, sizeof config.injector, QUERIES[2]);
    check_field(config.lever, sizeof config.lever, sizeof config.lever, QUERIES[3]);
    // Only now that each has its terminator inside.
    CHECK(strlen(config.port) < sizeof config.port);
    CHECK(strlen(config.logfile) <= LOGFILE_MAX);
    CHECK(strlen(config.injector) <= 63);
    CHECK(strlen(config.lever) <= 63);

    for (const Query &query : QUERIES)
        check_small_buffers(query);

    // The [keys] and [step] lists end inside their fields, with two NULs,
    // whatever the file; the settings taken from them are either applied or
    // refused with their message.
    CHECK(config.profile_count >= 0 && config.profile_count <= PROFILE_MAX + 1);
    std::vector<std::pair<const char *, size_t>> lists = {{config.keys, sizeof config.keys},
                                                          {config.step, sizeof config.step}};
    for (int i = 0; i < config.profile_count; ++i) {
        CHECK(strnlen(config.profiles[i].section, sizeof config.profiles[i].section) <
              sizeof config.profiles[i].section);
        lists.push_back({config.profiles[i].lines, sizeof config.profiles[i].lines});
    }
    for (const auto &[list, size] : lists) {
        size_t at = 0;
        while (at < size && list[at])
            at += strnlen(list + at, size - at) + 1;
        CHECK(at < size && list[at] == '\0');
    }
    AppConfig copy = config;
    snprintf(copy.injector, sizeof copy.injector, "%s", INJECTOR_DRIVER);
    int selected = keydrv_select(&copy);
    CHECK(selected == 0 ||
          (selected == 1 && (strstr(g_text, " is invalid key.") ||
                             strstr(g_text, " is invalid lever.") ||
                             strstr(g_text, " is invalid step.") ||
                             strstr(g_text, " is invalid profile."))));
    return 0;
}
