// The native notchkey run as a user would, against mascon-sim on a
// pseudo-terminal, with a FIFO as its key driver read here: latency of one
// message at a time side by side with the two floor programs (floor.c, alone
// and with notchkey's threads), throughput back to back, cost at rest, and
// the time from start to the sync packet.
//
// Every wait has a deadline and a watchdog bounds the whole run; the program
// dies with this process (PR_SET_PDEATHSIG) whatever happens.
#include "figures.h"
#include "mascon_sim.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
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
// What the floor writes for every message, and for the answer to its reset.
const char k_floor_line[] = "00 00";
// The goals, as ratios to the floor's figures from the same run.
const double k_median_ratio_goal = 1.25;
const double k_p99_ratio_goal = 1.5;
// Messages at the start of each block of the side-by-side latency, not counted.
const std::size_t k_warm_up = 20;
// A floor's processor time a message beyond which it no longer measures the
// least a program can do: a few microseconds on a quiet machine.
const double k_floor_cost_us = 8;

struct Options {
    std::string program = NOTCHKEY_BINARY;
    std::string floor = NOTCHKEY_FLOOR_BINARY;
    std::string floor_threads = NOTCHKEY_FLOOR_THREADS_BINARY;
    bool floor_is_notchkey = false; // --baseline: another build of notchkey in the plain floor's place
    // Per program, place and reader, the messages 2 ms apart as a mascon
    // sends them (it cannot send two closer than the wire time, 3.125 ms);
    // then back to back, as no mascon can.
    std::size_t messages = 1500;
    std::size_t back_to_back = 3000;
    int rounds = 15; // short ones: the machine's other load changes by the second
    long spacing_us = 2000;
    std::size_t throughput = 1000000;
    int rest_seconds = 10;
    int sync_runs = 20;
    std::string plot_dir; // latency samples and the plot's tables go here
    int watchdog_seconds = 330;
};

struct Program {
    std::string binary;
    bool floor = false; // the floor program: every line is k_floor_line
    int lever = k_sync_lever; // where the mascon's lever is now
    std::string root, home, devices, fifo;
    int fifo_fd = -1;
    MasconSim *sim = nullptr;
    pid_t pid = -1;
    std::string pending; // read from the FIFO, lines from pending_at on not yet taken
    std::size_t pending_at = 0;
    BenchClock::time_point started;
    int exit_status = -1;
    // The reader in another process, and its two pipes.
    pid_t reader = -1;
    int reader_control = -1, reader_records = -1;
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

const char k_settings[] = "[config]\r\nport=COM2\r\n[debug]\r\nlogfile=\r\n";

void start_program(Program &p, int answer_delay_ms, const std::string &binary = g_options.program,
                   const char *settings = k_settings)
{
    p.binary = binary;
    p.root = make_temp_dir("e2e");
    p.home = p.root + "/home";
    p.devices = p.root + "/dev";
    if (mkdir(p.home.c_str(), 0700) != 0 || mkdir(p.devices.c_str(), 0700) != 0)
        fail("cannot make folders in " + p.root);
    write_text(p.home + "/notchkey.ini", settings);
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
    const char *program = p.binary.c_str();
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
    if (p.reader > 0) {
        close(p.reader_control);
        close(p.reader_records);
        kill(p.reader, SIGKILL);
        waitpid(p.reader, nullptr, 0);
        p.reader = -1;
    }
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
        // Spinning asks poll() without waiting rather than read(): a read
        // takes the pipe's lock even when it finds nothing, and the program's
        // write would then queue behind it, which is a cost no user's reader puts
        // on it.
        int rc = poll(&fd, 1, spin ? 0 : static_cast<int>(left) + 1);
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
    std::string expected = p.floor ? k_floor_line : sync_packet(k_sync_lever);
    if (line != expected)
        fail(p.binary + ": sync packet was '" + line + "', not '" + expected + "'");
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

// Time on a processor of every thread of the process, in nanoseconds: finer
// than the clock ticks, which a program that runs a few microseconds at a
// time mostly escapes, and what a program spends of its own on a message
// whatever its wake-ups cost; and its time slices, each a wake-up or a
// return after being preempted.
struct Cost {
    long long ns = 0, slices = 0;
};

Cost cost_of(pid_t pid)
{
    std::string dir = format("/proc/%d/task", static_cast<int>(pid));
    DIR *d = opendir(dir.c_str());
    if (!d)
        fail("cannot list " + dir);
    Cost total;
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.') {
            long long ns = 0, waited = 0, slices = 0;
            std::istringstream(read_text(dir + "/" + e->d_name + "/schedstat")) >> ns >> waited >> slices;
            total.ns += ns;
            total.slices += slices;
        }
    closedir(d);
    return total;
}

long long cpu_ns(pid_t pid) { return cost_of(pid).ns; }

long status_value(const std::string &path, const char *key)
{
    std::istringstream in(read_text(path));
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, strlen(key), key) == 0 && line[strlen(key)] == ':')
            return std::stol(line.substr(strlen(key) + 1));
    return -1;
}

// Voluntary and involuntary context switches of every thread: each is a
// wake-up or a preemption.
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
    long long cpu_ns_at_sync = 0, rest_cpu_ns = 0;
    long rest_switches = 0;
    int threads = 0;
    long hwm_kib = 0, rss_kib = 0;
};

void rest_phase(Program &p, RunFigures &f)
{
    // The sync packet goes out before the G-state answer is read; the
    // worker is synchronised once it has read that and waits for a message.
    std::this_thread::sleep_for(std::chrono::milliseconds(k_settle_ms));
    f.cpu_ns_at_sync = cpu_ns(p.pid);
    long switches_before = context_switches(p.pid, &f.threads);
    std::this_thread::sleep_for(std::chrono::seconds(g_options.rest_seconds));
    f.rest_cpu_ns = cpu_ns(p.pid) - f.cpu_ns_at_sync;
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

// The readers a packet line is taken by. The harness's own wake-up is in
// every figure but the spinning one's; a reader in another process shows
// whether sharing a process with the writer hides or makes a difference.
enum Reader { READER_POLL, READER_PROCESS, READER_SPIN, READER_COUNT };

const char *const k_reader_names[READER_COUNT] = {
    "this process, sleeping in poll()",
    "another process, sleeping in read()",
    "this process, spinning on poll()",
};

std::int64_t monotonic_ns()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// What the reader in another process hands back for every line: when the
// read that completed it returned, and the line.
struct LineRecord {
    std::int64_t at_ns;
    char line[24];
};

// Forks a reader in another process that waits for a count on its control
// pipe, takes that many lines from the driver FIFO with plain blocking reads,
// writing a LineRecord for each to its records pipe, and waits again; it ends
// when the control pipe closes. Forked once, so that no copy-on-write faults
// fall into the time measured. Only system calls after fork: the parent has
// threads.
void start_reader(Program &p)
{
    int control[2], records[2];
    if (pipe2(control, O_CLOEXEC) != 0)
        fail("pipe");
    if (pipe2(records, O_CLOEXEC) != 0) {
        close(control[0]);
        close(control[1]);
        fail("pipe");
    }
    const char *fifo = p.fifo.c_str();
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(126);
        int fd = open(fifo, O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            _exit(125);
        char buffer[4096];
        std::size_t have = 0, lines = 0;
        while (read(control[0], &lines, sizeof lines) == static_cast<ssize_t>(sizeof lines)) {
            while (lines > 0) {
                std::size_t from = 0;
                while (lines > 0) {
                    const char *nl = static_cast<const char *>(memchr(buffer + from, '\n', have - from));
                    if (!nl)
                        break;
                    LineRecord record;
                    memset(&record, 0, sizeof record);
                    record.at_ns = monotonic_ns();
                    std::size_t len = static_cast<std::size_t>(nl - (buffer + from));
                    memcpy(record.line, buffer + from, std::min(len, sizeof record.line - 1));
                    if (write(records[1], &record, sizeof record) != static_cast<ssize_t>(sizeof record))
                        _exit(123);
                    from += len + 1;
                    --lines;
                }
                memmove(buffer, buffer + from, have - from);
                have -= from;
                if (lines == 0)
                    break;
                if (have == sizeof buffer)
                    _exit(122);
                ssize_t n = read(fd, buffer + have, sizeof buffer - have);
                if (n <= 0)
                    _exit(n == 0 ? 0 : 124);
                have += static_cast<std::size_t>(n);
            }
        }
        _exit(0);
    }
    close(control[0]);
    close(records[1]);
    if (pid < 0) {
        close(control[1]);
        close(records[0]);
        fail("fork");
    }
    p.reader = pid;
    p.reader_control = control[1];
    p.reader_records = records[0];
}

bool read_record(int fd, LineRecord *record)
{
    pollfd ready = {fd, POLLIN, 0};
    int rc;
    do
        rc = poll(&ready, 1, k_line_timeout_ms);
    while (rc < 0 && errno == EINTR);
    return rc == 1 && read(fd, record, sizeof *record) == static_cast<ssize_t>(sizeof *record);
}

// Hands the next count lines of the program's FIFO to its reader in another
// process, which is then asleep in its read before the first message goes.
void reader_takes(Program &p, std::size_t count)
{
    if (p.pending_at != p.pending.size())
        fail("lines left over before the reader in another process takes over");
    if (write(p.reader_control, &count, sizeof count) != static_cast<ssize_t>(sizeof count))
        fail("the reader in another process is gone");
}

// One message, sent once the previous packet is read, in microseconds to its
// line; the floor's lines are only counted.
double one_message(Program &p, const Step &step, Reader reader)
{
    std::int64_t sent = monotonic_ns();
    if (!sim_send_message(p.sim, step.message.c_str()))
        fail("mascon-sim could not write");
    std::string line;
    std::int64_t read_at = 0;
    if (reader == READER_PROCESS) {
        LineRecord record;
        if (!read_record(p.reader_records, &record))
            fail(format("%s: no packet from the reader for %s", p.binary.c_str(), step.message.c_str()));
        line = record.line;
        read_at = record.at_ns;
    } else {
        BenchClock::time_point at;
        line = expect_line(p, &at, step.message.c_str(), reader == READER_SPIN);
        read_at = std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
    }
    const std::string &expected = p.floor ? std::string(k_floor_line) : step.packet;
    if (line != expected)
        fail(format("%s: %s made '%s', not '%s'", p.binary.c_str(), step.message.c_str(), line.c_str(),
                    expected.c_str()));
    return static_cast<double>(read_at - sent) / 1000;
}

// The programs side by side: the plain floor (or the baseline), the floor
// with notchkey's threads, and notchkey.
const int k_programs = 3;
enum { FLOOR_PLAIN, FLOOR_THREADS, NOTCHKEY };

// count messages to each program, the floors and notchkey in turn, message by
// message, so that whatever else the machine does falls on all alike; the
// first `skip` of each are not kept. Each lever ends where its mix left it.
// With spacing_us, each message goes that long after the one before it (to
// whichever program), so every program is asleep when its message comes, as
// with a real mascon; with 0, as soon as the one before was read. The turn
// is shuffled for every message, so that no program always follows another.
void latency_block(Program *const programs[k_programs], std::size_t count, std::size_t skip, Reader reader,
                   long spacing_us, std::vector<double> *kept[k_programs])
{
    static std::mt19937 shuffled(20261210);
    std::vector<Step> steps[k_programs];
    for (int which = 0; which < k_programs; ++which) {
        steps[which] = message_mix(count, programs[which]->lever, &programs[which]->lever);
        if (reader == READER_PROCESS)
            reader_takes(*programs[which], count);
    }
    int turn[k_programs];
    for (int which = 0; which < k_programs; ++which)
        turn[which] = which;
    for (std::size_t i = 0; i < count; ++i) {
        std::shuffle(turn, turn + k_programs, shuffled);
        for (int which : turn) {
            std::int64_t next = monotonic_ns() + spacing_us * 1000;
            double us = one_message(*programs[which], steps[which][i], reader);
            if (i >= skip)
                kept[which]->push_back(us);
            if (spacing_us) {
                timespec until = {static_cast<time_t>(next / 1000000000), static_cast<long>(next % 1000000000)};
                while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
                }
            }
        }
    }
}

// Where the programs run, against the benchmark's own thread that writes the
// messages and reads the lines. Left to itself, the scheduler keeps a process
// that sleeps and wakes on whichever processor it landed on first: on the
// benchmark's, a message is served by one processor in turn; on the other,
// every message wakes an idle processor twice, which on this kind of machine
// costs more than all the rest. So a comparison of one process with another is
// only fair with both in the same place, and the benchmark puts them in each.
//
// With everything on one processor, the pseudo-terminal's kernel worker that
// hands each message on to the program is still free to run anywhere. Once
// that processor has been busy for a while (some 60 ms of messages on the
// machines this was measured on) the kernel runs it on the idle one, and every
// message then crosses processors twice, to the worker and back to the
// program; after a pause it stays on the busy one again for a while. That
// comes with the processor's recent past, not with the program: measured one
// after the other, whichever program comes first after a pause looks two to
// three times as fast as the ones after it. Taking the messages in turn, the
// programs share that past.
enum Placement { PLACE_FREE, PLACE_ONE, PLACE_OTHER, PLACE_COUNT };

const char *const k_placement_names[PLACE_COUNT] = {
    "where the scheduler puts them",
    "everything on one processor",
    "programs on another processor",
};

// Every thread of the process.
void set_affinity(pid_t pid, const cpu_set_t &cpus)
{
    std::string dir = format("/proc/%d/task", static_cast<int>(pid));
    DIR *d = opendir(dir.c_str());
    if (!d)
        fail("cannot list " + dir);
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.' && sched_setaffinity(std::atoi(e->d_name), sizeof cpus, &cpus) != 0)
            fail(format("cannot place thread %s", e->d_name));
    closedir(d);
}

struct Places {
    cpu_set_t all, bench, other;
    bool pinned; // two processors to put things on
};

Places find_places()
{
    Places places;
    CPU_ZERO(&places.all);
    CPU_ZERO(&places.bench);
    CPU_ZERO(&places.other);
    if (sched_getaffinity(0, sizeof places.all, &places.all) != 0)
        fail("sched_getaffinity");
    int here = sched_getcpu();
    int there = -1;
    for (int cpu = 0; cpu < CPU_SETSIZE && there < 0; ++cpu)
        if (cpu != here && CPU_ISSET(cpu, &places.all))
            there = cpu;
    places.pinned = here >= 0 && there >= 0;
    if (places.pinned) {
        CPU_SET(here, &places.bench);
        CPU_SET(there, &places.other);
    }
    return places;
}

// The benchmark goes with every thread of its own (mascon-sim's included)
// and its readers in other processes.
void place(const Places &places, Placement where, Program *const programs[k_programs])
{
    const cpu_set_t &harness = where == PLACE_FREE ? places.all : places.bench;
    const cpu_set_t &program = where == PLACE_FREE ? places.all : where == PLACE_ONE ? places.bench : places.other;
    set_affinity(getpid(), harness);
    for (int which = 0; which < k_programs; ++which) {
        set_affinity(programs[which]->pid, program);
        set_affinity(programs[which]->reader, harness);
    }
}

// A reader spinning on the very processor the program needs would measure
// how long the scheduler lets it spin.
bool measured(Placement where, Reader reader) { return !(where == PLACE_ONE && reader == READER_SPIN); }

// Messages over 1 ms: the slow tail, which a percentile can hide.
std::size_t over_a_millisecond(const std::vector<double> &samples)
{
    return static_cast<std::size_t>(std::count_if(samples.begin(), samples.end(), [](double us) { return us > 1000; }));
}

void latency_phase(Program *const programs[k_programs], const char *section, std::size_t messages, long spacing_us)
{
    for (int which = 0; which < k_programs; ++which)
        start_reader(*programs[which]);
    const char *names[k_programs] = {g_options.floor_is_notchkey ? "baseline" : "floor", "floor, 3 threads",
                                     "notchkey"};
    Places places = find_places();
    int placements = places.pinned ? PLACE_COUNT : 1;
    long long cpu_before[k_programs];
    for (int which = 0; which < k_programs; ++which)
        cpu_before[which] = cpu_ns(programs[which]->pid);
    // Rounds through every place and reader, so that no place or reader has
    // the machine to itself.
    std::vector<double> samples[PLACE_COUNT][READER_COUNT][k_programs];
    Cost costs[PLACE_COUNT][READER_COUNT][k_programs];
    std::size_t per_block = std::max<std::size_t>(1, messages / g_options.rounds);
    // Left to the scheduler, a program wakes on the processor it last ran
    // on: after the programs' block on the other processor, the free block
    // was that block again. It comes after the one on the benchmark's
    // processor, and the scheduler takes it from there.
    const Placement order[PLACE_COUNT] = {PLACE_OTHER, PLACE_ONE, PLACE_FREE};
    for (int round = 0; round < g_options.rounds; ++round)
        for (Placement where : order) {
            if (where >= placements)
                continue;
            place(places, where, programs);
            for (int reader = 0; reader < READER_COUNT; ++reader) {
                if (!measured(where, Reader(reader)))
                    continue;
                // The first messages after a switch of place or reader find
                // caches and idle processors left by the last.
                std::vector<double> *kept[k_programs];
                for (int which = 0; which < k_programs; ++which)
                    kept[which] = &samples[where][reader][which];
                latency_block(programs, k_warm_up, k_warm_up, Reader(reader), spacing_us, kept);
                Cost before[k_programs];
                for (int which = 0; which < k_programs; ++which)
                    before[which] = cost_of(programs[which]->pid);
                latency_block(programs, per_block, 0, Reader(reader), spacing_us, kept);
                for (int which = 0; which < k_programs; ++which) {
                    Cost after = cost_of(programs[which]->pid);
                    costs[where][reader][which].ns += after.ns - before[which].ns;
                    costs[where][reader][which].slices += after.slices - before[which].slices;
                }
            }
        }
    place(places, PLACE_FREE, programs);
    std::size_t cells = 0;
    for (int where = 0; where < placements; ++where)
        for (int reader = 0; reader < READER_COUNT; ++reader)
            cells += measured(Placement(where), Reader(reader));
    double sent = static_cast<double>(g_options.rounds * cells * (k_warm_up + per_block));
    double cpu_us[k_programs];
    for (int which = 0; which < k_programs; ++which)
        cpu_us[which] = static_cast<double>(cpu_ns(programs[which]->pid) - cpu_before[which]) / sent / 1000;

    print("");
    std::string pace = spacing_us ? format("each sent %.1f ms after the one before it, to whichever program, as a "
                                           "mascon sends them (it cannot send two closer than the %.3f ms a message "
                                           "takes on the wire), so that every program is asleep when its message "
                                           "comes", static_cast<double>(spacing_us) / 1000, k_wire_us / 1000)
                                  : std::string("each sent once the previous line was read: back to back, as no mascon "
                                                "can, where a program may still be awake from the last");
    print(format("%s End-to-end latency, side by side with two floors: from mascon-sim's write of one message on the "
                 "pseudo-terminal to the packet's line read from the driver FIFO; one message at a time, %s "
                 "(lever moves and button presses/releases alternating, the three programs in a turn shuffled "
                 "for every message), every packet's bytes checked. The floor (bench/floor.c) is the least a program can do with the same two "
                 "devices: the port made raw, \"RESET\\r\", then one line written for every six bytes read; the "
                 "floor with 3 threads does that in a worker thread while its main thread sleeps on a condition "
                 "variable and a third waits for signals, as notchkey's do. "
                 "The three run at once and take the messages in turn, one each; %d rounds, each: %zu messages each "
                 "(after %zu not counted) in every place with every reader; %zu messages per program, place and "
                 "reader. Placed, the benchmark (every thread of it) and its readers in another process stay on "
                 "one processor, and the programs go with them (everything on one processor) or to the other one. "
                 "Goals: "
                 "notchkey's median <= %.2fx and its p99 <= %.2fx the floor with 3 threads', with all in the same "
                 "place, with every reader.",
                 section, pace.c_str(), g_options.rounds, per_block, k_warm_up, samples[0][0][NOTCHKEY].size(), k_median_ratio_goal,
                 k_p99_ratio_goal));
    print(format("   %-30s %-36s %-23s %9s %9s %9s %9s", "place", "reader", "program", "median", "p99", "max",
                 "> 1 ms"));
    bool all_met = true;
    int floors_slowed = 0;
    for (int where = 0; where < placements; ++where)
        for (int reader = 0; reader < READER_COUNT; ++reader) {
            if (!measured(Placement(where), Reader(reader)))
                continue;
            std::vector<double>(&cell)[k_programs] = samples[where][reader];
            Spread spread[k_programs];
            for (int which = 0; which < k_programs; ++which) {
                spread[which] = spread_of(cell[which]);
                print(format("   %-30s %-36s %-23s %6.1f us %6.1f us %6.0f us %9zu",
                             which || reader ? "" : k_placement_names[where], which ? "" : k_reader_names[reader],
                             names[which], spread[which].median, spread[which].p99, spread[which].max,
                             over_a_millisecond(cell[which])));
            }
            const Spread &own = spread[NOTCHKEY], &plain = spread[FLOOR_PLAIN], &threads = spread[FLOOR_THREADS];
            double median_ratio = own.median / threads.median, p99_ratio = own.p99 / threads.p99;
            bool met = median_ratio <= k_median_ratio_goal && p99_ratio <= k_p99_ratio_goal;
            // Left to the scheduler, each program is as fast as the place it
            // happened to land on.
            bool judged = where != PLACE_FREE || !places.pinned;
            all_met = all_met && (met || !judged);
            print(format("   %-30s %-36s %-23s %8.2fx %8.2fx", "", "", format("notchkey / %s", names[FLOOR_PLAIN]).c_str(),
                         own.median / plain.median, own.p99 / plain.p99));
            print(format("   %-30s %-36s %-23s %8.2fx %8.2fx           %s", "", "", "notchkey / 3 threads",
                         median_ratio, p99_ratio, judged ? verdict(met) : "(each as fast as where it landed)"));
            const Cost(&cost)[k_programs] = costs[where][reader];
            double counted = static_cast<double>(cell[NOTCHKEY].size());
            double us[k_programs];
            for (int which = 0; which < k_programs; ++which)
                us[which] = static_cast<double>(cost[which].ns) / counted / 1000;
            print(format("   %-30s %-36s processor time a message: %.1f us, %.1f us, notchkey %.1f us (%.2fx the "
                         "floor with 3 threads); time slices a message: %.2f, %.2f, %.2f",
                         "", "", us[FLOOR_PLAIN], us[FLOOR_THREADS], us[NOTCHKEY], us[NOTCHKEY] / us[FLOOR_THREADS],
                         static_cast<double>(cost[FLOOR_PLAIN].slices) / counted,
                         static_cast<double>(cost[FLOOR_THREADS].slices) / counted,
                         static_cast<double>(cost[NOTCHKEY].slices) / counted));
            // The baseline in the plain floor's place is notchkey, not a floor.
            double floor_us = std::max(g_options.floor_is_notchkey ? 0.0 : us[FLOOR_PLAIN], us[FLOOR_THREADS]);
            floors_slowed += floor_us > k_floor_cost_us;
            if (floor_us > k_floor_cost_us)
                print(format("   %-30s %-36s WARNING: a floor costs %.1f us a message here, over %.0f us: the "
                             "machine or the place slows every program alike, and the ratios hide what notchkey adds",
                             "", "", floor_us, k_floor_cost_us));
        }
    print(format("   notchkey against the floor with 3 threads, all in the same place, with every reader: %s%s",
                 verdict(all_met), floors_slowed ? format("; in %d places and readers the floors cost over %.0f us a "
                                                          "message, and there the ratios do not judge notchkey",
                                                          floors_slowed, k_floor_cost_us).c_str() : ""));
    print(format("   CPU time per message (every thread, from /proc/PID/task/*/schedstat over the %.0f messages "
                 "each): %s %.2f us, %s %.2f us, notchkey %.2f us (%.2fx and %.2fx)",
                 sent, names[FLOOR_PLAIN], cpu_us[FLOOR_PLAIN], names[FLOOR_THREADS], cpu_us[FLOOR_THREADS],
                 cpu_us[NOTCHKEY], cpu_us[NOTCHKEY] / cpu_us[FLOOR_PLAIN], cpu_us[NOTCHKEY] / cpu_us[FLOOR_THREADS]));
}

// notchkey alone, as a user runs it: where the scheduler put it at its start
// (so before anything else places it), the reader asleep in poll() in this
// process.
std::vector<double> alone_samples(Program &p)
{
    std::vector<Step> steps = message_mix(g_options.messages, p.lever, &p.lever);
    std::vector<double> own;
    own.reserve(steps.size());
    for (const Step &step : steps)
        own.push_back(one_message(p, step, READER_POLL));
    return own;
}

// The same against the line itself.
void print_alone(const std::vector<double> &own)
{
    if (!g_options.plot_dir.empty())
        write_plot_data(own, g_options.plot_dir);
    Spread s = spread_of(own);
    double median_share = 100 * s.median / k_wire_us, p99_share = 100 * s.p99 / k_wire_us;
    print(format("   notchkey alone, %zu messages, %s, reader in %s, against the line itself (a message takes %.0f "
                 "us on the wire: 6 bytes at 19200 baud, 10 bits a byte):",
                 s.count, k_placement_names[PLACE_FREE], k_reader_names[READER_POLL], k_wire_us));
    print(format("   min %.1f us, median %.1f us, p90 %.1f us, p99 %.1f us, p99.9 %.1f us, max %.1f us, mean %.1f us",
                 s.min, s.median, s.p90, s.p99, s.p999, s.max, s.mean));
    print(format("   median = %.2f %% of the wire time (goal <= 1 %%): %s", median_share, verdict(median_share <= 1)));
    print(format("   p99    = %.2f %% of the wire time (goal <= 3 %%): %s", p99_share, verdict(p99_share <= 3)));
    print("   for context: a polling mapper reads its device every 10 ms to 50 ms, i.e. 3.2 to 16 wire times.");
}

void throughput_phase(Program &p)
{
    int end_lever = 0;
    std::vector<Step> steps = message_mix(g_options.throughput, p.lever, &end_lever);
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
    p.lever = end_lever;
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
    Program p, floor, floor_threads;
    try {
        start_program(p, 0);
        f.start_to_sync_ms = micros_between(p.started, wait_synchronised(p)) / 1000;
        rest_phase(p, f);
        std::vector<double> alone = alone_samples(p);
        floor.floor = !g_options.floor_is_notchkey;
        start_program(floor, 0, g_options.floor);
        wait_synchronised(floor);
        floor_threads.floor = true;
        start_program(floor_threads, 0, g_options.floor_threads);
        wait_synchronised(floor_threads);
        Program *programs[k_programs] = {&floor, &floor_threads, &p};
        latency_phase(programs, "1.", g_options.messages, g_options.spacing_us);
        latency_phase(programs, "1b.", g_options.back_to_back, 0);
        discard(floor_threads);
        discard(floor);
        print_alone(alone);
        throughput_phase(p);
        f.hwm_kib = status_value(format("/proc/%d/status", static_cast<int>(p.pid)), "VmHWM");
        f.rss_kib = status_value(format("/proc/%d/status", static_cast<int>(p.pid)), "VmRSS");
        long long cpu_ns_total = cpu_ns(p.pid);
        std::vector<std::string> released = stop_program(p);
        // Whatever is still held goes up on the way out, one release a packet.
        for (const std::string &line : released) {
            unsigned code = 0;
            if (line.size() != 2 || std::sscanf(line.c_str(), "%x", &code) != 1 || !(code & 0x80))
                fail("on SIGTERM the program wrote '" + line + "', not a single release");
        }
        if (p.exit_status != 0)
            fail(format("the program exited with %d after SIGTERM", p.exit_status));

        double rest_us = static_cast<double>(f.rest_cpu_ns) / 1000;
        print("");
        print(format("3. Cost at rest: time on a processor of the notchkey process (all %d threads, from "
                     "/proc/PID/task/*/schedstat, in microseconds: a clock tick is 10 ms, which wake-ups of a few "
                     "microseconds mostly escape) over %d s after synchronisation (from %d ms after the sync packet).",
                     f.threads, g_options.rest_seconds, k_settle_ms));
        print(format("   %.0f us at rest: %.1f us a second, %.4f %% of one processor; %ld context switches (%.1f a "
                     "second: the worker waking to check that the line is still there), %.1f us each",
                     rest_us, rest_us / g_options.rest_seconds, rest_us / g_options.rest_seconds / 1e4,
                     f.rest_switches, static_cast<double>(f.rest_switches) / g_options.rest_seconds,
                     f.rest_switches ? rest_us / static_cast<double>(f.rest_switches) : 0.0));
        print(format("   (start-up to sync used %.0f us; the whole run, %zu + %zu messages included, %.0f ms)",
                     static_cast<double>(f.cpu_ns_at_sync) / 1000, g_options.messages, g_options.throughput,
                     static_cast<double>(cpu_ns_total) / 1e6));
        print(format("   peak resident memory (VmHWM, end of the run, before SIGTERM): %ld KiB = %.2f MiB, goal <= 4 "
                     "MiB: %s (VmRSS then %ld KiB)",
                     f.hwm_kib, static_cast<double>(f.hwm_kib) / 1024, verdict(f.hwm_kib <= 4096), f.rss_kib));
        print(format("   SIGTERM: exit code 0; keys still held, released on the way out: %zu", released.size()));
    } catch (...) {
        discard(floor_threads);
        discard(floor);
        discard(p);
        throw;
    }
    discard(p);
}

// With reconnect=yes and port=auto, the line pulled: the worker tries once a
// second, all 256 names every eighth try, until the mascon is back.
void waiting_phase(const RunFigures &f)
{
    Program p;
    long long waited_ns = 0;
    try {
        start_program(p, 0, g_options.program,
                      "[config]\r\nport=auto\r\nreconnect=yes\r\n[debug]\r\nlogfile=\r\n");
        wait_synchronised(p);
        sim_hangup(p.sim);
        std::this_thread::sleep_for(std::chrono::milliseconds(k_settle_ms));
        long long before = cpu_ns(p.pid);
        std::this_thread::sleep_for(std::chrono::seconds(g_options.rest_seconds));
        waited_ns = cpu_ns(p.pid) - before;
        stop_program(p);
        if (p.exit_status != 0)
            fail(format("the waiting program exited with %d after SIGTERM", p.exit_status));
    } catch (...) {
        discard(p);
        throw;
    }
    discard(p);
    double waited_us = static_cast<double>(waited_ns) / 1000;
    double rest_us = static_cast<double>(f.rest_cpu_ns) / 1000;
    print(format("   waiting for a pulled mascon (port=auto, reconnect=yes: a try a second, every COM name every eighth) "
                 "over %d s: %.0f us, %.1f us a second, %.2f times the cost at rest",
                 g_options.rest_seconds, waited_us, waited_us / g_options.rest_seconds,
                 rest_us > 0 ? waited_us / rest_us : 0.0));
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
                 "usage: notchkey_e2e [--program PATH] [--floor PATH | --baseline PATH] [--floor-threads PATH]\n"
                 "                    [--messages N] [--back-to-back N] [--spacing-us US] [--rounds N]\n"
                 "                    [--throughput N] [--rest-seconds S] [--sync-runs N] [--plot-dir DIR]\n"
                 "                    [--watchdog S]\n");
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
        else if (a == "--floor")
            g_options.floor = v;
        else if (a == "--floor-threads")
            g_options.floor_threads = v;
        else if (a == "--baseline") {
            g_options.floor = v;
            g_options.floor_is_notchkey = true;
        }
        else if (a == "--messages")
            g_options.messages = std::stoul(v);
        else if (a == "--back-to-back")
            g_options.back_to_back = std::stoul(v);
        else if (a == "--spacing-us")
            g_options.spacing_us = std::stol(v);
        else if (a == "--rounds")
            g_options.rounds = std::stoi(v);
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
    if (g_options.messages == 0 || g_options.back_to_back == 0 || g_options.spacing_us < 0 ||
        g_options.rounds <= 0 || g_options.throughput == 0 || g_options.sync_runs <= 0)
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
        waiting_phase(f);
        start_figures(f);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "notchkey_e2e: %s\n", e.what());
        return 1;
    }
    return 0;
}
