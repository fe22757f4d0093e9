// The per-message work of the worker, piece by piece: the three lookups, and
// the packet senders as they run in the program, i.e. packet built, held keys
// noted, hex line formatted and written (one write()) to a capture file on
// tmpfs. The bare write() of such a line is measured too, so what the program
// adds on top of the system call can be read off.
#include "compat.h"
#include "keys/keydrv.h"
#include "keys/keys.h"
#include "keys/senders.h"
#include "keys/senders.h"
#include "common/mascon_tables.h"
#include "link/mascon_worker.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

static std::string g_dir;
static std::string g_capture;

// Every benchmark starts on an empty capture; the file only grows by a few
// MB in one benchmark's run.
static void empty_capture()
{
    if (truncate(g_capture.c_str(), 0) != 0)
        std::perror(g_capture.c_str());
}

static void lookup(benchmark::State &state, LONG (*index_of)(const char *), const char *message)
{
    for (auto _ : state) {
        const char *m = message;
        benchmark::DoNotOptimize(m);
        benchmark::DoNotOptimize(index_of(m));
    }
}

// Tables are searched from their last entry down: "last" is found first.
BENCHMARK_CAPTURE(lookup, lever_first_MCB60, lever_index_of, lever_messages[0]);
BENCHMARK_CAPTURE(lookup, lever_last_MCB20, lever_index_of, lever_messages[15]);
BENCHMARK_CAPTURE(lookup, lever_unknown, lever_index_of, button_messages[0]);
BENCHMARK_CAPTURE(lookup, button_first_MCK99, button_index_of, button_messages[0]);
BENCHMARK_CAPTURE(lookup, button_last_MCZ00, button_index_of, button_messages[7]);
BENCHMARK_CAPTURE(lookup, button_unknown, button_index_of, lever_messages[5]);
BENCHMARK_CAPTURE(lookup, gstate_first_MCG99, gstate_index_of, gstate_messages[0]);
BENCHMARK_CAPTURE(lookup, gstate_last_MCG00, gstate_index_of, gstate_messages[2]);
BENCHMARK_CAPTURE(lookup, gstate_unknown, gstate_index_of, lever_messages[5]);

static void send_lever_change_to_capture(benchmark::State &state)
{
    empty_capture();
    LONG from = 6;
    LONG step = 0;
    for (auto _ : state) {
        LONG to = (from + 1 + step) % 16;
        step = (step + 5) % 15;
        benchmark::DoNotOptimize(send_lever_change(from, to));
        from = to;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(send_lever_change_to_capture);

static void send_button_key_to_capture(benchmark::State &state)
{
    empty_capture();
    LONG index = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(send_button_key(index));
        index = (index + 1) % 8;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(send_button_key_to_capture);

// The worker's whole reaction to a message already read: lookups, then the
// packet. A lever message goes through one table, a button through two.
static void dispatch(benchmark::State &state, const char *first, const char *second)
{
    empty_capture();
    bool flip = false;
    for (auto _ : state) {
        std::memcpy(g_rx, flip ? second : first, 7);
        flip = !flip;
        benchmark::DoNotOptimize(mascon_dispatch());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK_CAPTURE(dispatch, lever_MCA55_MCA45, lever_messages[5], lever_messages[7]);
BENCHMARK_CAPTURE(dispatch, button_MCK99_MCK00, button_messages[0], button_messages[1]);

// The system call alone: a line of the same length appended to the same file.
static void bare_write_of_a_line(benchmark::State &state)
{
    empty_capture();
    int fd = open(g_capture.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) {
        state.SkipWithError("cannot open the capture");
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(write(fd, "02 d2\n", 6));
    close(fd);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(bare_write_of_a_line);

int main(int argc, char **argv)
{
    std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : std::filesystem::temp_directory_path().string();
    std::string pattern = base + "/notchkey-micro-XXXXXX";
    if (!mkdtemp(&pattern[0])) {
        std::fprintf(stderr, "notchkey_micro: cannot make a folder under %s\n", base.c_str());
        return 1;
    }
    g_dir = pattern;
    g_capture = g_dir + "/keytap.vxd";
    std::fclose(std::fopen(g_capture.c_str(), "w"));
    setenv("NOTCHKEY_DEVICES", g_dir.c_str(), 1);
    AppConfig config;
    std::memset(&config, 0, sizeof config);
    std::snprintf(config.injector, sizeof config.injector, "%s", INJECTOR_DRIVER);
    std::snprintf(config.lever, sizeof config.lever, "hold");
    int rc = 1;
    if (keydrv_select(&config) == 0 && keydrv_open(&config) == 0) {
        std::printf("capture file: %s (%s)\n", g_capture.c_str(), base == "/dev/shm" ? "tmpfs" : "temporary folder");
        benchmark::Initialize(&argc, argv);
        if (!benchmark::ReportUnrecognizedArguments(argc, argv)) {
            benchmark::RunSpecifiedBenchmarks();
            benchmark::Shutdown();
            rc = 0;
        }
        keydrv_close();
    }
    std::error_code ignored;
    std::filesystem::remove_all(g_dir, ignored);
    return rc;
}
