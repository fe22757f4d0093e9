// Synchronisation alone, in-process: the worker's own mascon_sync() against
// mascon-sim, the port opened and set up as the worker does it, the driver a
// capture file. Polls are counted by wrapping ClearCommError at link time, so
// the calls from inside the program's library are the ones counted.
#include "compat.h"
#include "figures.h"
#include "keys/keydrv.h"
#include "keys/keys.h"
#include "keys/senders.h"
#include "link/mascon_worker.h"
#include "mascon_sim.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

static long g_polls;

extern "C" BOOL __real_ClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT stat);

extern "C" BOOL __wrap_ClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT stat)
{
    ++g_polls;
    return __real_ClearCommError(file, errors, stat);
}

[[noreturn]] static void fail(const std::string &what) { throw std::runtime_error(what); }

static std::string last_line(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::string line, last;
    while (std::getline(in, line))
        last = line;
    return last;
}

struct SyncFigures {
    std::vector<double> micros;
    std::vector<double> polls;
};

static SyncFigures measure(const std::string &devices, const std::string &capture, int delay_ms, int runs)
{
    SimOptions options;
    options.answer_delay_ms = delay_ms;
    MasconSim *sim = sim_open(devices.c_str(), 2, &options);
    if (!sim)
        fail("mascon-sim did not start");
    SyncFigures f;
    try {
        for (int i = 0; i < runs; ++i) {
            g_port = CreateFileA("COM2", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
            if (g_port == INVALID_HANDLE_VALUE)
                fail("cannot open COM2");
            GetCommState(g_port, &g_dcb_saved);
            g_dcb_work = g_dcb_saved;
            g_dcb_work.BaudRate = MASCON_BAUD_RATE;
            g_dcb_work.ByteSize = MASCON_BYTE_SIZE;
            SetCommState(g_port, &g_dcb_work);

            g_polls = 0;
            BenchClock::time_point start = BenchClock::now();
            int rc = mascon_sync();
            BenchClock::time_point end = BenchClock::now();
            long polls = g_polls;

            SetCommState(g_port, &g_dcb_saved);
            CloseHandle(g_port);
            if (rc != 0)
                fail(std::to_string(i) + ": mascon_sync() returned " + std::to_string(rc));
            if (polls == 0)
                fail("no ClearCommError call was counted: the link-time wrap did not take");
            std::string packet = last_line(capture);
            if (packet != sync_packet(6))
                fail("sync packet was '" + packet + "'");
            f.micros.push_back(micros_between(start, end));
            f.polls.push_back(static_cast<double>(polls));
            // The simulator counts the answer as sent only after writing it;
            // the next round starts with that settled.
            if (!sim_wait_resets(sim, i + 1, 5000))
                fail("mascon-sim did not finish answering");
        }
    } catch (...) {
        sim_close(sim);
        throw;
    }
    sim_close(sim);
    return f;
}

static void print(const std::string &line)
{
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

int main(int argc, char **argv)
{
    int runs = argc > 1 ? std::atoi(argv[1]) : 50;
    if (runs <= 0) {
        std::fprintf(stderr, "usage: notchkey_sync [RUNS]\n");
        return 2;
    }
    // A watchdog: a mascon_sync() that never returned would be a hang here.
    alarm(120);
    std::string dir;
    try {
        dir = make_temp_dir("sync");
        setenv("NOTCHKEY_DEVICES", dir.c_str(), 1);
        std::string capture = dir + "/keytap.vxd";
        std::ofstream(capture).close();
        AppConfig config;
        std::memset(&config, 0, sizeof config);
        std::snprintf(config.port, sizeof config.port, "COM2");
        std::snprintf(config.injector, sizeof config.injector, "%s", INJECTOR_DRIVER);
        std::snprintf(config.lever, sizeof config.lever, "hold");
        if (keydrv_select(&config) != 0 || keydrv_open(&config) != 0)
            fail("cannot open the capture driver " + capture);

        SyncFigures at_once = measure(dir, capture, 0, runs);
        SyncFigures delayed = measure(dir, capture, 5, runs);
        keydrv_close();
        remove_tree(dir);

        Spread ta = spread_of(at_once.micros), pa = spread_of(at_once.polls);
        Spread td = spread_of(delayed.micros), pd = spread_of(delayed.polls);
        print("");
        print(format("4b. Synchronisation alone, in-process: mascon_sync() from its call (RESET written first) to its "
                     "return, the sync packet written; polls = ClearCommError calls it made (the first one checks "
                     "for stale input before RESET). Median of %d runs each (min..max in brackets).",
                     runs));
        print(format("   mascon answers at once:     %.1f us (%.1f..%.1f), %.0f polls (%.0f..%.0f)", ta.median, ta.min,
                     ta.max, pa.median, pa.min, pa.max));
        print(format("   mascon answers after 5 ms:  %.1f us (%.1f..%.1f), %.0f polls (%.0f..%.0f)", td.median, td.min,
                     td.max, pd.median, pd.min, pd.max));
        print(format("   asleep in between, the answer is looked for after %d ms, then after pauses four times the "
                     "one before, and last when %d ms have passed",
                     MASCON_SYNC_FIRST_LOOK_MS, MASCON_SYNC_MS));
    } catch (const std::exception &e) {
        if (!dir.empty())
            remove_tree(dir);
        std::fprintf(stderr, "notchkey_sync: %s\n", e.what());
        return 1;
    }
    return 0;
}
