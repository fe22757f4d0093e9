// The native notchkey run as a user would, against mascon-sim on a
// pseudo-terminal, with a FIFO as its key driver read here: latency of one
// message at a time, throughput back to back, cost at rest, and the time
// from start to the sync packet.
//
// Every wait has a deadline and a watchdog bounds the whole run; the program
// dies with this process (PR_SET_PDEATHSIG) whatever happens.
#include "figures.h"
#include "mascon_sim.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

// One six-byte message at 19200 baud, ten bits a byte.
const double k_wire_us = 6 * 10 * 1e6 / 19200;
const int k_sync_lever = 6; // mascon-sim's default answer, MCA50
const int k_line_timeout_ms = 5000;
const int k_settle_ms = 100;

struct Options {
    std::string program = NOTCHKEY_BINARY;
    std::size_t messages = 10000;
    std::size_t throughput = 1000000;
    int rest_seconds = 10;
    int sync_runs = 20;
    std::string plot_dir; // latency samples and the plot's tables go here
    int watchdog_seconds = 170;
};

struct Program {
    std::string root, home, devices, fifo;
    int fifo_fd = -1;
    MasconSim *sim = nullptr;
    pid_t pid = -1;
    std::string pending; // read from the FIFO, lines from pending_at on not yet taken
    std::size_t pending_at = 0;
    BenchClock::time_point started;
    int exit_status = -1;
};

Options g_options;
// For the watchdog: the program to kill when this process gives up.
volatile pid_t g_child = -1;

[[noreturn]] void fail(const std::string &what) { throw std::runtime_error(what); }

void on_watchdog(int)
{
    pid_t child = g_child;
    if (child > 0)
        kill(child, SIGKILL);
    const char text[] = "notchkey_e2e: watchdog: the run took too long\n";
    ssize_t ignored = write(2, text, sizeof text - 1);
    (void)ignored;
    _exit(3);
}

void write_text(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out)
        fail("cannot write " + path);
}

std::string read_text(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void start_program(Program &p, int answer_delay_ms)
{
    p.root = make_temp_dir("e2e");
    p.home = p.root + "/home";
    p.devices = p.root + "/dev";
    if (mkdir(p.home.c_str(), 0700) != 0 || mkdir(p.devices.c_str(), 0700) != 0)
        fail("cannot make folders in " + p.root);
    write_text(p.home + "/notchkey.ini", "[config]\r\nport=COM2\r\n[debug]\r\nlogfile=\r\n");
    p.fifo = p.devices + "/keytap.vxd";
    if (mkfifo(p.fifo.c_str(), 0600) != 0)
        fail("mkfifo " + p.fifo);
    // The reader must be there before the program opens the driver.
    p.fifo_fd = open(p.fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (p.fifo_fd < 0)
        fail("cannot open " + p.fifo);
    SimOptions options;
    options.answer_delay_ms = answer_delay_ms;
    p.sim = sim_open(p.devices.c_str(), 2, &options);
    if (!p.sim)
        fail("mascon-sim did not start");
    // Everything the child needs is made before fork: it only execs.
    setenv("NOTCHKEY_DEVICES", p.devices.c_str(), 1);
    std::string errors = p.home + "/stderr.txt";
    const char *program = g_options.program.c_str();
    pid_t parent = getpid();
    p.started = BenchClock::now();
    p.pid = fork();
    if (p.pid < 0)
        fail("fork");
    if (p.pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(126);
        if (chdir(p.home.c_str()) != 0)
            _exit(125);
        int err = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int none = open("/dev/null", O_RDWR);
        if (err < 0 || none < 0)
            _exit(124);
        dup2(none, 0);
        dup2(none, 1);
        dup2(err, 2);
        execl(program, program, static_cast<char *>(nullptr));
        _exit(127);
    }
    g_child = p.pid;
}

bool reap(Program &p, int timeout_ms)
{
    auto deadline = BenchClock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int status = 0;
        if (waitpid(p.pid, &status, WNOHANG) == p.pid) {
            p.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
            p.pid = -1;
            g_child = -1;
            return true;
        }
        if (BenchClock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Kills what is still running and removes the folder; safe to call twice.
void discard(Program &p)
{
    if (p.pid > 0) {
        kill(p.pid, SIGKILL);
        reap(p, 5000);
    }
    if (p.sim) {
        sim_close(p.sim);
        p.sim = nullptr;
    }
    if (p.fifo_fd >= 0) {
        close(p.fifo_fd);
        p.fifo_fd = -1;
    }
    if (!p.root.empty()) {
        remove_tree(p.root);
        p.root.clear();
    }
}

enum LineResult { LINE_OK, LINE_TIMEOUT, LINE_EOF };

// The next capture line, and when the read that completed it returned.
// Spinning reads without sleeping in between, so no wake-up of this process
// is in the time measured.
LineResult next_line(Program &p, std::string *line, BenchClock::time_point *at,
                     int timeout_ms = k_line_timeout_ms, bool spin = false)
{
    auto deadline = BenchClock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        std::size_t nl = p.pending.find('\n', p.pending_at);
        if (nl != std::string::npos) {
            line->assign(p.pending, p.pending_at, nl - p.pending_at);
            p.pending_at = nl + 1;
            return LINE_OK;
        }
        p.pending.erase(0, p.pending_at);
        p.pending_at = 0;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - BenchClock::now()).count();
        if (left <= 0)
            return LINE_TIMEOUT;
        pollfd fd = {p.fifo_fd, POLLIN, 0};
        int rc = spin ? 1 : poll(&fd, 1, static_cast<int>(left) + 1);
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc < 0)
            fail("poll on the driver FIFO");
        if (rc == 0)
            continue;
        char buffer[65536];
        ssize_t n = read(p.fifo_fd, buffer, sizeof buffer);
        *at = BenchClock::now();
        if (n > 0)
            p.pending.append(buffer, static_cast<std::size_t>(n));
        else if (n == 0)
            return LINE_EOF; // the program has closed the driver
        else if (errno != EAGAIN && errno != EINTR)
            fail("read from the driver FIFO");
    }
}

std::string expect_line(Program &p, BenchClock::time_point *at, const char *waiting_for, bool spin = false)
{
    std::string line;
    LineResult r = next_line(p, &line, at, k_line_timeout_ms, spin);
    if (r != LINE_OK) {
        std::string errors = read_text(p.home + "/stderr.txt");
        fail(format("no packet while waiting for %s (%s); the program said: %s", waiting_for,
                    r == LINE_EOF ? "driver closed" : "timed out", errors.c_str()));
    }
    return line;
}

BenchClock::time_point wait_synchronised(Program &p)
{
    BenchClock::time_point at;
    std::string line = expect_line(p, &at, "the sync packet");
    if (line != sync_packet(k_sync_lever))
        fail("sync packet was '" + line + "', not '" + sync_packet(k_sync_lever) + "'");
    return at;
}

// SIGTERM, the packets written on the way out, and the exit status.
std::vector<std::string> stop_program(Program &p)
{
    std::vector<std::string> lines;
    kill(p.pid, SIGTERM);
    for (;;) {
        std::string line;
        BenchClock::time_point at;
        LineResult r = next_line(p, &line, &at);
        if (r == LINE_OK)
            lines.push_back(line);
        else if (r == LINE_EOF)
            break;
        else
            fail("the program did not close the driver after SIGTERM");
    }
    if (!reap(p, 5000))
        fail("the program did not end after SIGTERM");
    return lines;
}

// ---------------------------------------------------------------- /proc

std::vector<std::string> stat_fields(pid_t pid)
{
    std::string text = read_text(format("/proc/%d/stat", static_cast<int>(pid)));
    std::size_t paren = text.rfind(')');
    if (paren == std::string::npos)
        fail("cannot read /proc/PID/stat");
    std::istringstream in(text.substr(paren + 2));
    std::vector<std::string> fields;
    for (std::string f; in >> f;)
        fields.push_back(f);
    return fields;
}

// utime + stime of every thread, in clock ticks.
long cpu_ticks(pid_t pid)
{
    std::vector<std::string> f = stat_fields(pid);
    // Field 14 (utime) and 15 (stime); the list starts at field 3.
    if (f.size() < 13)
        fail("short /proc/PID/stat");
    return std::stol(f[11]) + std::stol(f[12]);
}

long status_value(const std::string &path, const char *key)
{
    std::istringstream in(read_text(path));
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, strlen(key), key) == 0 && line[strlen(key)] == ':')
            return std::stol(line.substr(strlen(key) + 1));
    return -1;
}

// Voluntary and involuntary context switches of every thread: each is a
// wake-up or a preemption, none of which a program at rest should have.
long context_switches(pid_t pid, int *threads)
{
    std::string dir = format("/proc/%d/task", static_cast<int>(pid));
    DIR *d = opendir(dir.c_str());
    if (!d)
        fail("cannot list " + dir);
    long total = 0;
    *threads = 0;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        std::string status = dir + "/" + e->d_name + "/status";
        total += status_value(status, "voluntary_ctxt_switches") + status_value(status, "nonvoluntary_ctxt_switches");
        ++*threads;
    }
    closedir(d);
    return total;
}

// ---------------------------------------------------------------- figures

void print(const std::string &line)
{
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

const char *verdict(bool met) { return met ? "met" : "NOT MET"; }

struct RunFigures {
    double start_to_sync_ms = 0;
    long ticks_at_sync = 0, rest_ticks = 0, rest_switches = 0;
    int threads = 0;
    long hwm_kib = 0, rss_kib = 0;
    int end_lever = k_sync_lever;
};

void rest_phase(Program &p, RunFigures &f)
{
    // The sync packet goes out before the G-state answer is read; the
    // worker is synchronised once it has read that and waits for a message.
    std::this_thread::sleep_for(std::chrono::milliseconds(k_settle_ms));
    f.ticks_at_sync = cpu_ticks(p.pid);
    long switches_before = context_switches(p.pid, &f.threads);
    std::this_thread::sleep_for(std::chrono::seconds(g_options.rest_seconds));
    f.rest_ticks = cpu_ticks(p.pid) - f.ticks_at_sync;
    f.rest_switches = context_switches(p.pid, &f.threads) - switches_before;
}

// For the plot: the samples as measured, the share slower than each, and a
// histogram in bins of equal width on a log scale (20 a decade).
void write_plot_data(std::vector<double> samples, const std::string &dir)
{
    std::string raw;
    for (double s : samples)
        raw += format("%.3f\n", s);
    write_text(dir + "/latency_samples.txt", raw);

    std::sort(samples.begin(), samples.end());
    std::string tail = "# latency_us share_slower\n";
    double n = static_cast<double>(samples.size());
    for (std::size_t i = 0; i < samples.size(); ++i)
        tail += format("%.3f %.6g\n", samples[i], (n - static_cast<double>(i)) / n);
    write_text(dir + "/latency_tail.txt", tail);

    const int per_decade = 20;
    std::map<int, std::size_t> bins;
    for (double s : samples)
        ++bins[static_cast<int>(std::floor(std::log10(std::max(s, 0.001)) * per_decade))];
    std::string hist = "# from_us to_us count\n";
    for (const auto &b : bins)
        hist += format("%.4g %.4g %zu\n", std::pow(10.0, b.first / double(per_decade)),
                       std::pow(10.0, (b.first + 1) / double(per_decade)), b.second);
    write_text(dir + "/latency_hist.txt", hist);
}

// One message at a time, each once the previous packet is read; the lever
// ends where the mix left it.
std::vector<double> latency_samples(Program &p, int *lever, bool spin)
{
    std::vector<Step> steps = message_mix(g_options.messages, *lever, lever);
    std::vector<double> samples;
    samples.reserve(steps.size());
    for (std::size_t i = 0; i < steps.size(); ++i) {
        BenchClock::time_point sent = BenchClock::now();
        if (!sim_send_message(p.sim, steps[i].message.c_str()))
            fail("mascon-sim could not write");
        BenchClock::time_point read_at;
        std::string line = expect_line(p, &read_at, steps[i].message.c_str(), spin);
        if (line != steps[i].packet)
            fail(format("message %zu (%s) made '%s', not '%s'", i, steps[i].message.c_str(), line.c_str(),
                        steps[i].packet.c_str()));
        samples.push_back(micros_between(sent, read_at));
    }
    return samples;
}

void latency_phase(Program &p, RunFigures &f)
{
    std::vector<double> samples = latency_samples(p, &f.end_lever, false);
    std::vector<double> spun = latency_samples(p, &f.end_lever, true);
    if (!g_options.plot_dir.empty())
        write_plot_data(samples, g_options.plot_dir);
    Spread s = spread_of(samples), t = spread_of(spun);
    double median_share = 100 * s.median / k_wire_us, p99_share = 100 * s.p99 / k_wire_us;
    print("");
    print(format("1. End-to-end latency: from mascon-sim's write of one message on the pseudo-terminal to the "
                 "packet's line read from the driver FIFO; %zu messages (lever moves and button presses/releases "
                 "alternating), each sent once the previous packet was read, every packet's bytes checked. "
                 "The reader sleeps in poll() between packets, as a real consumer would.",
                 s.count));
    print(format("   wire time of one message (6 bytes at 19200 baud, 10 bits a byte): %.0f us", k_wire_us));
    print(format("   min %.1f us, median %.1f us, p90 %.1f us, p99 %.1f us, p99.9 %.1f us, max %.1f us, mean %.1f us",
                 s.min, s.median, s.p90, s.p99, s.p999, s.max, s.mean));
    print(format("   median = %.2f %% of the wire time (goal <= 1 %%): %s", median_share, verdict(median_share <= 1)));
    print(format("   p99    = %.2f %% of the wire time (goal <= 3 %%): %s", p99_share, verdict(p99_share <= 3)));
    print(format("   max    = %.2f %% of the wire time", 100 * s.max / k_wire_us));
    print(format("   the same %zu again with the reader spinning instead of sleeping (no wake-up of the reader in the "
                 "time): median %.1f us, p99 %.1f us, max %.1f us",
                 t.count, t.median, t.p99, t.max));
    print("   for context: a polling mapper reads its device every 10 ms to 50 ms, i.e. 3.2 to 16 wire times.");
}

void throughput_phase(Program &p, RunFigures &f)
{
    int end_lever = 0;
    std::vector<Step> steps = message_mix(g_options.throughput, f.end_lever, &end_lever);
    std::string bytes;
    bytes.reserve(steps.size() * 6);
    for (const Step &s : steps)
        bytes += s.message + "\r";
    // Chunks well inside what the pseudo-terminal buffers; mascon-sim waits
    // for room when the program falls behind, so nothing is dropped here.
    const std::size_t chunk = 6 * 512;
    std::atomic<bool> writer_failed(false);
    BenchClock::time_point started = BenchClock::now();
    std::thread writer([&] {
        for (std::size_t at = 0; at < bytes.size(); at += chunk)
            if (!sim_send(p.sim, bytes.data() + at, std::min(chunk, bytes.size() - at))) {
                writer_failed = true;
                return;
            }
    });
    std::size_t received = 0, wrong = 0;
    std::string first_wrong;
    BenchClock::time_point last = started;
    LineResult r = LINE_OK;
    for (; received < steps.size(); ++received) {
        std::string line;
        r = next_line(p, &line, &last);
        if (r != LINE_OK)
            break;
        if (line != steps[received].packet && wrong++ == 0)
            first_wrong = format("packet %zu was '%s', not '%s'", received, line.c_str(), steps[received].packet.c_str());
    }
    if (received < steps.size())
        sim_hangup(p.sim); // releases a writer waiting for room
    writer.join();
    if (writer_failed || received < steps.size() || wrong > 0)
        fail(format("throughput: %zu of %zu packets arrived, %zu wrong%s%s", received, steps.size(), wrong,
                    wrong ? ": " : "", first_wrong.c_str()));
    f.end_lever = end_lever;
    double seconds = micros_between(started, last) / 1e6;
    double rate = static_cast<double>(steps.size()) / seconds;
    print("");
    print(format("2. Throughput: %zu messages written back to back (chunks of %zu bytes) while the driver FIFO is read; "
                 "every packet counted and its bytes checked.",
                 steps.size(), chunk));
    print(format("   %zu of %zu packets arrived, 0 lost, 0 wrong, in %.3f s: %.0f messages/s", received, steps.size(),
                 seconds, rate));
    print(format("   the line itself carries %.0f messages/s at most: %.0f times that", 1e6 / k_wire_us,
                 rate * k_wire_us / 1e6));
}

void main_run(RunFigures &f)
{
    Program p;
    try {
        start_program(p, 0);
        f.start_to_sync_ms = micros_between(p.started, wait_synchronised(p)) / 1000;
        rest_phase(p, f);
        latency_phase(p, f);
        throughput_phase(p, f);
        f.hwm_kib = status_value(format("/proc/%d/status", static_cast<int>(p.pid)), "VmHWM");
        f.rss_kib = status_value(format("/proc/%d/status", static_cast<int>(p.pid)), "VmRSS");
        long ticks_total = cpu_ticks(p.pid);
        std::vector<std::string> released = stop_program(p);
        // Whatever is still held goes up on the way out, one release a packet.
        for (const std::string &line : released) {
            unsigned code = 0;
            if (line.size() != 2 || std::sscanf(line.c_str(), "%x", &code) != 1 || !(code & 0x80))
                fail("on SIGTERM the program wrote '" + line + "', not a single release");
        }
        if (p.exit_status != 0)
            fail(format("the program exited with %d after SIGTERM", p.exit_status));

        long hz = sysconf(_SC_CLK_TCK);
        print("");
        print(format("3. Cost at rest: CPU time of the notchkey process (all %d threads; utime+stime from "
                     "/proc/PID/stat, %ld ticks a second) over %d s after synchronisation (from %d ms after the "
                     "sync packet).",
                     f.threads, hz, g_options.rest_seconds, k_settle_ms));
        print(format("   %ld ticks (%.0f ms) at rest, goal 0 ticks: %s; %ld context switches at rest", f.rest_ticks,
                     1000.0 * static_cast<double>(f.rest_ticks) / static_cast<double>(hz), verdict(f.rest_ticks == 0),
                     f.rest_switches));
        print(format("   (start-up to sync used %ld ticks; the whole run, %zu + %zu messages included, %ld ticks)",
                     f.ticks_at_sync, g_options.messages, g_options.throughput, ticks_total));
        print(format("   peak resident memory (VmHWM, end of the run, before SIGTERM): %ld KiB = %.2f MiB, goal <= 4 "
                     "MiB: %s (VmRSS then %ld KiB)",
                     f.hwm_kib, static_cast<double>(f.hwm_kib) / 1024, verdict(f.hwm_kib <= 4096), f.rss_kib));
        print(format("   SIGTERM: exit code 0; keys still held, released on the way out: %zu", released.size()));
    } catch (...) {
        discard(p);
        throw;
    }
    discard(p);
}

void start_runs(int delay_ms, std::vector<double> *times_ms)
{
    for (int i = 0; i < g_options.sync_runs; ++i) {
        Program p;
        try {
            start_program(p, delay_ms);
            times_ms->push_back(micros_between(p.started, wait_synchronised(p)) / 1000);
            stop_program(p);
            if (p.exit_status != 0)
                fail(format("the program exited with %d after SIGTERM", p.exit_status));
        } catch (...) {
            discard(p);
            throw;
        }
        discard(p);
    }
}

void start_figures(const RunFigures &f)
{
    std::vector<double> at_once, delayed;
    start_runs(0, &at_once);
    start_runs(5, &delayed);
    Spread a = spread_of(at_once), d = spread_of(delayed);
    print("");
    print(format("4a. Synchronisation, whole program: from fork+exec to the sync packet read, %d runs each "
                 "(4b times the synchronisation alone and counts its polls).",
                 g_options.sync_runs));
    print(format("   mascon answers at once:      median %.2f ms, max %.2f ms (the long run's start: %.2f ms)", a.median,
                 a.max, f.start_to_sync_ms));
    print(format("   mascon answers after 5 ms:   median %.2f ms, max %.2f ms", d.median, d.max));
}

void usage()
{
    std::fprintf(stderr,
                 "usage: notchkey_e2e [--program PATH] [--messages N] [--throughput N] [--rest-seconds S]\n"
                 "                    [--sync-runs N] [--plot-dir DIR] [--watchdog S]\n");
    std::exit(2);
}

void parse(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (i + 1 >= argc)
            usage();
        std::string v = argv[++i];
        if (a == "--program")
            g_options.program = v;
        else if (a == "--messages")
            g_options.messages = std::stoul(v);
        else if (a == "--throughput")
            g_options.throughput = std::stoul(v);
        else if (a == "--rest-seconds")
            g_options.rest_seconds = std::stoi(v);
        else if (a == "--sync-runs")
            g_options.sync_runs = std::stoi(v);
        else if (a == "--plot-dir")
            g_options.plot_dir = v;
        else if (a == "--watchdog")
            g_options.watchdog_seconds = std::stoi(v);
        else
            usage();
    }
    if (g_options.messages == 0 || g_options.throughput == 0 || g_options.sync_runs <= 0)
        usage();
}

} // namespace

int main(int argc, char **argv)
{
    parse(argc, argv);
    signal(SIGALRM, on_watchdog);
    alarm(static_cast<unsigned>(g_options.watchdog_seconds));
    // The driver FIFO may lose its reader when a run is cut short.
    signal(SIGPIPE, SIG_IGN);
    try {
        RunFigures f;
        main_run(f);
        start_figures(f);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "notchkey_e2e: %s\n", e.what());
        return 1;
    }
    return 0;
}
