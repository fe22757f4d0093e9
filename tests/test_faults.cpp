// The real program when things only the native build meets go wrong: the
// driver's reader gone, a full disk, a mascon that never stops talking for
// thirty seconds. Everything a Windows user can meet is a scenario of both
// desks (tests/e2e).
#include "mascon_sim.h"
#include "support.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <libevdev/libevdev.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>

namespace {

// The real notchkey binary run as a user would: its own folder with a
// settings file, mascon-sim on COM2, the capture driver, standard error
// kept in a file.
struct Program : testing::Test {
    TempDir home;      // the program's current directory
    DeviceDir devices; // COM2 and the driver
    std::string capture = devices.make_capture();
    std::string log = home.file("notchkey.log");
    std::string errors = home.file("stderr.txt");
    MasconSim *sim = nullptr;
    pid_t pid = -1;

    void TearDown() override
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (sim)
            sim_close(sim);
    }

    void settings(const std::string &port, const std::string &logfile)
    {
        write_file(home.file("notchkey.ini"),
                   "[config]\r\nport=" + port + "\r\n[debug]\r\nlogfile=" + logfile + "\r\n");
    }

    void open_sim(const SimOptions &options = SimOptions())
    {
        sim = sim_open(devices.dir.path.c_str(), 2, &options);
        ASSERT_NE(sim, nullptr);
    }

    void start()
    {
        pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (chdir(home.path.c_str()) != 0)
                _exit(120);
            int fd = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 2);
            char *argv[] = {const_cast<char *>(NOTCHKEY_BINARY), nullptr};
            execv(NOTCHKEY_BINARY, argv);
            _exit(121);
        }
    }

    // The exit code, or -1 when the program has not ended in time.
    int wait_exit(int timeout_ms = 10000)
    {
        int status = 0;
        bool ended = wait_for(
            [&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeout_ms);
        if (!ended)
            return -1;
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    }

    int stop()
    {
        kill(pid, SIGTERM);
        return wait_exit();
    }
};

const std::string BOTH_LINES = "logging started.\r\nlogging ended.\r\n";

TEST_F(Program, PacketsTheDriverCannotTakeAreLostAndTheRideGoesOn)
{
    unlink(capture.c_str());
    ASSERT_EQ(mkfifo(capture.c_str(), 0600), 0);
    int reader = open(capture.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    settings("COM2", "notchkey.log");
    open_sim();
    start();
    ASSERT_TRUE(sim_wait_reset(sim, 5000));
    auto read_some = [&](int fd) {
        std::string got;
        wait_for([&] {
            char buffer[256];
            ssize_t n = read(fd, buffer, sizeof buffer);
            if (n > 0)
                got.append(buffer, static_cast<size_t>(n));
            return !got.empty() && got.back() == '\n';
        });
        return got;
    };
    EXPECT_EQ(read_some(reader), "52 87\n");
    close(reader); // nobody takes packets now
    std::string io = "/proc/" + std::to_string(pid) + "/io";
    long writes = io_count(io, "syscw");
    ASSERT_TRUE(sim_send_message(sim, "MCA55"));
    ASSERT_TRUE(wait_for([&] { return io_count(io, "syscw") > writes; })) << "no packet tried";
    reader = open(capture.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_TRUE(sim_send_message(sim, "MCZ99"));
    EXPECT_EQ(read_some(reader), "01\n") << "the ride did not go on";
    EXPECT_EQ(stop(), 0);
    close(reader);
    EXPECT_EQ(read_file(log), BOTH_LINES);
}

TEST_F(Program, LogOnAFullDevice)
{
    settings("COM2", "/dev/full");
    open_sim();
    start();
    ASSERT_TRUE(sim_wait_reset(sim, 5000));
    ASSERT_TRUE(sim_send_message(sim, "MCA55"));
    EXPECT_EQ(wait_packets(capture, 2).size(), 2u);
    EXPECT_EQ(stop(), 0);
    EXPECT_EQ(read_file(errors).find("Lever to keys!"), std::string::npos) << read_file(errors);
}

long resident_kib(pid_t pid)
{
    std::istringstream status(read_file("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return atol(line.c_str() + 6);
    return -1;
}

// Thirty seconds of messages as fast as the line takes them: every one
// becomes its packet, and the program's memory does not grow.
using SlowProgram = Program;
TEST_F(SlowProgram, FloodForThirtySeconds)
{
    settings("COM2", "");
    open_sim();
    start();
    ASSERT_TRUE(sim_wait_reset(sim, 5000));
    ASSERT_EQ(wait_packets(capture, 1).size(), 1u);

    // Alternating lever positions and a button, sent in large writes.
    std::string block;
    for (int i = 0; i < 1000; ++i)
        block += (i % 3 == 0) ? "MCK99\rMCK00\r" : (i % 2 ? "MCA55\r" : "MCA65\r");
    const long per_block_packets = 1000 + 334; // two button packets for every third
    long sent_blocks = 0;
    long early_kib = 0;
    auto begin = std::chrono::steady_clock::now();
    for (;;) {
        double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        if (elapsed >= 30)
            break;
        ASSERT_TRUE(sim_send(sim, block.data(), block.size()));
        ++sent_blocks;
        if (!early_kib && elapsed >= 5)
            early_kib = resident_kib(pid);
    }
    // "52 87\n" first; each block makes 666 lever lines of six bytes and 668
    // button lines of three.
    off_t expected_bytes = 6 + sent_blocks * (666 * 6 + 668 * 3);
    wait_for([&] {
        struct stat st;
        return stat(capture.c_str(), &st) == 0 && st.st_size >= expected_bytes;
    }, 30000);
    long late_kib = resident_kib(pid);
    size_t expected = 1 + static_cast<size_t>(sent_blocks * per_block_packets);
    std::vector<std::string> packets = read_lines(capture);
    EXPECT_EQ(packets.size(), expected) << "packets lost";
    EXPECT_GT(early_kib, 0);
    EXPECT_LE(late_kib - early_kib, 256) << "memory grew from " << early_kib << " KiB";
    RecordProperty("messages", static_cast<int>(sent_blocks * 1334));
    RecordProperty("rss_kib", static_cast<int>(late_kib));
    EXPECT_EQ(stop(), 0);
}

// The virtual keyboard as the desktop sees it, read back from its event node:
// the synchronisation's press comes first, not lost to a keyboard still
// being set up, then the ride, then the releases at exit.
struct VirtualKeyboard : Program {
    struct libevdev *reader = nullptr;

    void TearDown() override
    {
        if (reader) {
            close(libevdev_get_fd(reader));
            libevdev_free(reader);
        }
        Program::TearDown();
    }

    // The event node of the keyboard named "notchkey", opened.
    bool find_keyboard()
    {
        DIR *dir = opendir("/dev/input");
        for (struct dirent *entry; dir && !reader && (entry = readdir(dir));) {
            if (strncmp(entry->d_name, "event", 5) != 0)
                continue;
            int fd = open(("/dev/input/" + std::string(entry->d_name)).c_str(), O_RDONLY | O_NONBLOCK);
            if (fd >= 0 && libevdev_new_from_fd(fd, &reader) == 0 &&
                strcmp(libevdev_get_name(reader), "notchkey") != 0) {
                libevdev_free(reader);
                reader = nullptr;
            }
            if (fd >= 0 && !reader)
                close(fd);
        }
        if (dir)
            closedir(dir);
        return reader != nullptr;
    }

    // The next n events, each a key event and its report: "+52" a press, "-07" a release.
    std::vector<std::string> keys(size_t n)
    {
        std::vector<std::string> got;
        bool reported = true;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (got.size() < n || !reported) {
            struct input_event ev;
            int rc = libevdev_next_event(reader, LIBEVDEV_READ_FLAG_NORMAL, &ev);
            if (rc == -EAGAIN) {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now()).count();
                struct pollfd p = {libevdev_get_fd(reader), POLLIN, 0};
                if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
                    break;
                continue;
            }
            if (rc != LIBEVDEV_READ_STATUS_SUCCESS)
                break;
            if (ev.type == EV_KEY) {
                EXPECT_TRUE(reported) << "no report after the key before " << ev.code;
                char text[8];
                snprintf(text, sizeof text, "%c%02x", ev.value ? '+' : '-', ev.code);
                got.push_back(text);
                reported = false;
            } else if (ev.type == EV_SYN && ev.code == SYN_REPORT) {
                reported = true;
            }
        }
        return got;
    }
};

TEST_F(VirtualKeyboard, SeenFromTheFirstKeyToTheReleasesAtExit)
{
    int probe = open("/dev/uinput", O_RDWR | O_CLOEXEC);
    if (probe < 0)
        GTEST_SKIP() << "/dev/uinput cannot be opened here (" << strerror(errno)
                     << "): this kernel has no uinput, so there is no virtual keyboard to read";
    close(probe);
    unlink(capture.c_str());
    ASSERT_EQ(symlink("/dev/uinput", capture.c_str()), 0);
    settings("COM2", "");
    open_sim();
    start();
    ASSERT_TRUE(wait_for([&] { return find_keyboard(); }, 2000)) << "no event node named notchkey";
    ASSERT_TRUE(sim_wait_reset(sim, 5000));
    EXPECT_EQ(keys(2), (std::vector<std::string>{"+52", "-07"}));
    ASSERT_TRUE(sim_send_message(sim, "MCA55"));
    ASSERT_TRUE(sim_send_message(sim, "MCY99"));
    EXPECT_EQ(keys(3), (std::vector<std::string>{"+02", "-52", "+1c"}));
    EXPECT_EQ(stop(), 0);
    EXPECT_EQ(keys(2), (std::vector<std::string>{"-02", "-1c"}));
}

} // namespace
