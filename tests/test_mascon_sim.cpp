// The simulated mascon, seen from a host that opens the pseudo-terminal itself.

#include "mascon_sim.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <libgen.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::string_literals;

int open_host(const std::string &path)
{
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio;
    if (fd >= 0 && tcgetattr(fd, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(fd, TCSANOW, &tio);
    }
    return fd;
}

void put(int fd, const std::string &s)
{
    ASSERT_EQ(write(fd, s.data(), s.size()), static_cast<ssize_t>(s.size()));
}

// Reads until want bytes arrived or nothing came for timeout_ms.
std::string take(int fd, size_t want, int timeout_ms = 2000)
{
    std::string got;
    char buf[256];
    pollfd p = {fd, POLLIN, 0};
    while (got.size() < want && poll(&p, 1, timeout_ms) == 1) {
        ssize_t n = read(fd, buf, std::min(sizeof buf, want - got.size()));
        if (n <= 0)
            break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

std::string make_temp_dir()
{
    char name[] = "/tmp/mascon-sim-test.XXXXXX";
    return mkdtemp(name) ? name : "";
}

void remove_tree(const std::string &dir)
{
    nftw(dir.c_str(), [](const char *path, const struct stat *, int, FTW *) { return remove(path); }, 8,
         FTW_DEPTH | FTW_PHYS);
}

std::string first_line(int fd)
{
    std::string line;
    for (std::string c; line.size() < 300 && (c = take(fd, 1)).size() == 1 && c != "\n";)
        line += c;
    return line;
}

// Waits until the simulator has read count bytes from the host.
bool wait_received(const MasconSim *sim, size_t count)
{
    char none;
    for (int i = 0; i < 400 && sim_received(sim, &none, 0) < count; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return sim_received(sim, &none, 0) >= count;
}

bool is_link(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

struct Line {
    MasconSim *sim = nullptr;
    int host = -1;
};

Line open_line(const SimOptions &options = SimOptions())
{
    Line line;
    line.sim = sim_open(nullptr, 1, &options);
    if (line.sim)
        line.host = open_host(sim_slave_path(line.sim));
    return line;
}

void close_line(Line &line)
{
    if (line.host >= 0)
        close(line.host);
    sim_close(line.sim);
}

TEST(SimUnescape, DecodesEscapesAndRejectsMalformedOnes)
{
    struct Case {
        const char *text;
        long result; // -1: rejected
        std::string bytes;
    };
    const Case cases[] = {
        {"MCA55", 5, "MCA55"},
        {"", 0, ""},
        {"MCA55\\r", 6, "MCA55\r"},
        {"\\r\\n\\t\\\\", 4, "\r\n\t\\"},
        {"a\\x00b\\xfF\\x7e", 5, "a\0b\xff~"s},
        {"\\q", -1, ""},
        {"MCA5\\", -1, ""},
        {"\\x", -1, ""},
        {"\\x4", -1, ""},
        {"\\xg0", -1, ""},
        {"\\x0g", -1, ""},
    };
    for (const Case &c : cases) {
        char out[32];
        long n = sim_unescape(c.text, out, sizeof out);
        EXPECT_EQ(n, c.result) << c.text;
        if (n >= 0) {
            EXPECT_EQ(std::string(out, static_cast<size_t>(n)), c.bytes) << c.text;
        }
    }
    char out[6];
    EXPECT_EQ(sim_unescape("MCA55\\r", out, 6), 6);
    EXPECT_EQ(sim_unescape("MCA55\\r", out, 5), -1);
    EXPECT_EQ(sim_unescape("\\x00", out, 0), -1);
}

TEST(SimReset, AnsweredWithLeverThenGstateFromCopiedOptions)
{
    char lever[] = "MCA55\r";
    char gstate[] = "MCG01\r";
    SimOptions options;
    options.lever = lever;
    options.gstate = gstate;
    Line line = open_line(options);
    ASSERT_GE(line.host, 0);
    lever[3] = gstate[3] = 'X'; // the caller's strings need not outlive sim_open
    put(line.host, "RESET\r");
    EXPECT_EQ(take(line.host, 12), "MCA55\rMCG01\r");
    EXPECT_TRUE(sim_wait_reset(line.sim, 2000));
    EXPECT_EQ(sim_reset_count(line.sim), 1);
    close_line(line);
}

TEST(SimReset, CountsEachResetInTheStreamOnce)
{
    struct Case {
        std::vector<std::string> writes;
        int resets;
    };
    const Case cases[] = {
        {{"RES", "ET\r"}, 1},
        {{"R", "E", "S", "E", "T", "\r"}, 1},
        {{"RESET\rRESET\r"}, 2},
        {{"RRESRESET\r"}, 1},
        {{"RRESET\r", "RESERESET\r"}, 2},
        {{"RESET\n", "RESET"}, 0},
        {{"MCA55\rRESET\rRES", "ET\r"}, 2},
    };
    for (const Case &c : cases) {
        Line line = open_line();
        ASSERT_GE(line.host, 0);
        size_t sent = 0;
        for (const std::string &w : c.writes) {
            put(line.host, w); // each write in a read of its own
            ASSERT_TRUE(wait_received(line.sim, sent += w.size()));
        }
        EXPECT_EQ(take(line.host, 12u * c.resets).size(), 12u * c.resets);
        EXPECT_EQ(sim_reset_count(line.sim), c.resets) << c.writes[0];
        close_line(line);
    }
}

TEST(SimReset, SilentRawAndDelayedAnswers)
{
    SimOptions silent;
    silent.answer = SIM_ANSWER_SILENT;
    Line line = open_line(silent);
    put(line.host, "RESET\r");
    EXPECT_TRUE(sim_wait_reset(line.sim, 2000));
    EXPECT_EQ(take(line.host, 1, 200), "");
    close_line(line);

    const std::string raw = "MCK99\r\0\xff"s;
    SimOptions answer;
    answer.answer = SIM_ANSWER_RAW;
    answer.raw_answer = raw.data();
    answer.raw_answer_len = raw.size();
    answer.answer_delay_ms = 150;
    line = open_line(answer);
    auto start = std::chrono::steady_clock::now();
    put(line.host, "RESET\r");
    EXPECT_FALSE(sim_wait_reset(line.sim, 50));
    EXPECT_EQ(take(line.host, raw.size()), raw);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
    close_line(line);
}

TEST(SimLine, BytesCrossUntranslatedBothWays)
{
    Line line;
    line.sim = sim_open(nullptr, 1, nullptr);
    ASSERT_NE(line.sim, nullptr);
    // A host that leaves the line settings alone.
    line.host = open(sim_slave_path(line.sim), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(line.host, 0);
    const std::string from_host = "a\r\nb\0\xff\x03\x1a"s;
    put(line.host, from_host);
    put(line.host, "RESET\r"); // the answer marks that everything before it was read
    ASSERT_TRUE(sim_wait_reset(line.sim, 2000));
    take(line.host, 12);
    char got[64];
    EXPECT_EQ(sim_received(line.sim, got, sizeof got), from_host.size() + 6);
    EXPECT_EQ(std::string(got, from_host.size()), from_host);
    EXPECT_EQ(sim_received(line.sim, got, 2), from_host.size() + 6);

    EXPECT_TRUE(sim_send_message(line.sim, "MCA55"));
    EXPECT_TRUE(sim_send_message(line.sim, "MCA5"));
    EXPECT_TRUE(sim_send(line.sim, "\n\0\xff", 3));
    EXPECT_EQ(take(line.host, 13), "MCA55\rMCA5\n\0\xff"s);
    close_line(line);
}

TEST(SimLine, SurvivesTheHostClosingAndReopeningThePort)
{
    Line line = open_line();
    ASSERT_GE(line.host, 0);
    close(line.host);
    EXPECT_TRUE(sim_send_message(line.sim, "MCA55"));
    line.host = open_host(sim_slave_path(line.sim));
    tcflush(line.host, TCIFLUSH);
    put(line.host, "RESET\r");
    EXPECT_EQ(take(line.host, 12), "MCA50\rMCG00\r");
    close_line(line);
}

TEST(SimHangup, HostReadsFailAndSendsStop)
{
    Line line = open_line();
    ASSERT_GE(line.host, 0);
    auto blocked_read = std::async(std::launch::async, [&] {
        char c;
        ssize_t n = read(line.host, &c, 1);
        return n == 0 || (n < 0 && errno == EIO);
    });
    auto waiting = std::async(std::launch::async, [&] { return sim_wait_reset(line.sim, 5000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(30)); // let both block first
    sim_hangup(line.sim);
    ASSERT_EQ(blocked_read.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_TRUE(blocked_read.get());
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_FALSE(waiting.get());
    EXPECT_FALSE(sim_send_message(line.sim, "MCA55"));
    EXPECT_FALSE(sim_wait_reset(line.sim, 5000)); // at once: no RESET can come any more
    sim_hangup(line.sim);
    close_line(line);
}

TEST(SimHangup, ReleasesASendStuckOnAFullLine)
{
    Line line = open_line(); // the host never reads
    auto stuck = std::async(std::launch::async, [&] {
        std::string lots(1 << 20, 'x');
        return sim_send(line.sim, lots.data(), lots.size());
    });
    EXPECT_EQ(stuck.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    sim_hangup(line.sim);
    ASSERT_EQ(stuck.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_FALSE(stuck.get());
    close_line(line);
}

TEST(SimLink, ReplacesStaleLinksLeavesFilesAndIsRemovedOnClose)
{
    std::string dir = make_temp_dir();
    ASSERT_FALSE(dir.empty());
    std::string link = dir + "/com3";
    ASSERT_EQ(symlink("/nonexistent", link.c_str()), 0);
    MasconSim *sim = sim_open(dir.c_str(), 3, nullptr);
    ASSERT_NE(sim, nullptr);
    EXPECT_EQ(sim_link_path(sim), link);
    char target[PATH_MAX] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, sim_slave_path(sim));
    int host = open_host(link);
    put(host, "RESET\r");
    EXPECT_EQ(take(host, 12), "MCA50\rMCG00\r");
    close(host);
    sim_close(sim);
    EXPECT_FALSE(is_link(link));

    std::string file = dir + "/com4";
    close(open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
    EXPECT_EQ(sim_open(dir.c_str(), 4, nullptr), nullptr);
    EXPECT_FALSE(is_link(file));
    remove_tree(dir);
}

// The tool, driven like the worker's tests drive it.
struct ToolRun {
    pid_t pid = -1;
    int out = -1; // its standard output
    std::string dir;
};

ToolRun start_tool(const std::vector<std::string> &args, const std::string &script)
{
    ToolRun run;
    run.dir = make_temp_dir();
    std::string script_path = run.dir + "/script";
    FILE *f = fopen(script_path.c_str(), "w");
    fputs(script.c_str(), f);
    fclose(f);
    char self[PATH_MAX] = {};
    readlink("/proc/self/exe", self, sizeof self - 1);
    std::string tool = std::string(dirname(self)) + "/../tools/mascon-sim";
    std::vector<std::string> argv = {tool, "--dir", run.dir, "--script", script_path};
    argv.insert(argv.end(), args.begin(), args.end());
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0)
        return run;
    run.pid = fork();
    if (run.pid == 0) {
        dup2(pipe_fds[1], 1);
        int err = open((run.dir + "/stderr").c_str(), O_CREAT | O_WRONLY, 0600);
        dup2(err, 2);
        std::vector<char *> cargv;
        for (std::string &a : argv)
            cargv.push_back(&a[0]);
        cargv.push_back(nullptr);
        execv(cargv[0], cargv.data());
        _exit(127);
    }
    close(pipe_fds[1]);
    run.out = pipe_fds[0];
    return run;
}

// Its exit code, or -1 if it does not end within two seconds.
int finish_tool(ToolRun &run, std::string *out, std::string *err)
{
    int status = 0;
    int code = -1;
    for (int i = 0; i < 200 && code < 0; ++i) {
        if (waitpid(run.pid, &status, WNOHANG) == run.pid)
            code = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (code < 0) {
        kill(run.pid, SIGKILL);
        waitpid(run.pid, &status, 0);
    }
    *out += take(run.out, 4096, 100);
    close(run.out);
    FILE *f = fopen((run.dir + "/stderr").c_str(), "r");
    char buf[512];
    while (f && fgets(buf, sizeof buf, f))
        *err += buf;
    if (f)
        fclose(f);
    remove_tree(run.dir);
    return code;
}

TEST(SimTool, RunsAScriptAgainstAHost)
{
    // A hangup drops what the host has not read yet, hence the second RESET.
    ToolRun run = start_tool({"--com", "2", "--verbose"},
                         "# a comment\n\nwait-reset 3000\n MCA55 \nraw \\x00Z\nwait-reset\nhangup\n");
    ASSERT_GT(run.pid, 0);
    std::string out = first_line(run.out);
    std::string link = run.dir + "/com2";
    EXPECT_NE(out.find(" linked as " + link), std::string::npos) << out;
    int host = open_host(link);
    ASSERT_GE(host, 0);
    put(host, "RESET\r");
    EXPECT_EQ(take(host, 20), "MCA50\rMCG00\rMCA55\r\0Z"s);
    put(host, "RESET\r");
    char buf[16];
    ssize_t n = 1;
    for (int i = 0; i < 20 && n > 0; ++i)
        n = read(host, buf, sizeof buf); // the second answer, then the hangup
    EXPECT_TRUE(n == 0 || (n < 0 && errno == EIO));
    close(host);
    std::string err;
    EXPECT_EQ(finish_tool(run, &out, &err), 0) << err;
    EXPECT_FALSE(is_link(link));
    EXPECT_NE(out.find("< RESET\\r\n> MCA50\\r\n> MCG00\\r\n"), std::string::npos) << out;
    EXPECT_NE(out.find("> MCA55\\r\n> \\x00Z\n"), std::string::npos) << out;
}

TEST(SimTool, FailuresEndWithTheirExitCodes)
{
    struct Case {
        std::vector<std::string> args;
        std::string script;
        int code;
        std::string message;
    };
    const Case cases[] = {
        {{}, "MCA55\nsleep x\n", 2, "line 2: cannot understand: sleep x"},
        {{}, "raw \\q\n", 2, "line 1: cannot understand"},
        {{}, "wait-reset 50\n", 1, "no RESET from the host"},
        {{}, "hangup\nMCA55\n", 1, "cannot send"},
        {{"--com", "0"}, "", 2, "usage:"},
        {{"--lever", "MCA5"}, "", 2, "usage:"},
    };
    for (const Case &c : cases) {
        ToolRun run = start_tool(c.args, c.script);
        std::string out, err;
        EXPECT_EQ(finish_tool(run, &out, &err), c.code) << c.script;
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
    }
}

TEST(SimTool, HoldsTheLineUntilTerminated)
{
    ToolRun run = start_tool({"--hold"}, "");
    std::string out = first_line(run.out);
    std::string link = run.dir + "/com1";
    EXPECT_TRUE(is_link(link));
    int host = open_host(link);
    put(host, "RESET\r");
    EXPECT_EQ(take(host, 12), "MCA50\rMCG00\r");
    kill(run.pid, SIGTERM);
    std::string err;
    EXPECT_EQ(finish_tool(run, &out, &err), 0) << err;
    EXPECT_FALSE(is_link(link));
    close(host);
}

} // namespace
