// The real program when things around it go wrong: the port pulled out, the
// driver's reader gone, a full disk, a broken settings file, a mascon that
// never stops talking.
#include "program.h"

#include <sys/time.h>

#include <chrono>
#include <sstream>

#include <thread>

namespace {

double cpu_seconds(const struct rusage &usage)
{
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

TEST_F(Program, PortPulledOutMidRunEndsWithinASecond)
{
    ride();
    sim_hangup(sim);
    EXPECT_EQ(wait_exit(1000), 0) << "not ended within a second";
    EXPECT_EQ(read_file(errors), "Lever to keys!: There is no mascon on COM2.\n");
    EXPECT_EQ(read_file(log), BOTH_LINES);
    // A read that kept failing would have spun: the whole run used next to no CPU.
    EXPECT_LT(cpu_seconds(usage), 0.5);
}

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
    ASSERT_TRUE(sim_send_message(sim, "MCA55"));
    Sleep(100);
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
    EXPECT_EQ(read_file(errors), "");
}

std::string garbage()
{
    std::string bytes;
    unsigned state = 12345;
    for (int i = 0; i < 4096; ++i) {
        state = state * 1103515245u + 12345u;
        bytes += static_cast<char>(state >> 16);
    }
    return bytes;
}

// The settings file each case writes, by the case's name.
std::string broken_settings(const std::string &name)
{
    if (name == "binary_garbage")
        return garbage();
    if (name == "very_long_lines")
        return "[config]\nname=" + std::string(100000, 'x') + "\nport=COM2\n" +
               std::string(200000, ';') + "\n[debug]\nlogfile=\n";
    if (name == "no_final_newline")
        return "[config]\nport=COM2";
    return "<directory>";
}

struct BrokenSettings : Program, testing::WithParamInterface<const char *> {
};

// Whatever the file holds, the program runs on its defaults: COM2, no log.
TEST_P(BrokenSettings, RunOnTheDefaults)
{
    const std::string content = broken_settings(GetParam());
    std::string ini = home.file("notchkey.ini");
    if (content == "<directory>")
        ASSERT_EQ(mkdir(ini.c_str(), 0755), 0);
    else
        write_file(ini, content);
    open_sim();
    start();
    ASSERT_TRUE(sim_wait_reset(sim, 5000)) << "never reached COM2";
    EXPECT_EQ(wait_packets(capture, 1), std::vector<std::string>{"52 87"});
    EXPECT_EQ(stop(), 0);
    EXPECT_EQ(read_file(errors), "");
}

INSTANTIATE_TEST_SUITE_P(Files, BrokenSettings,
                         testing::Values("binary_garbage", "very_long_lines", "no_final_newline",
                                         "a_directory"),
                         [](const testing::TestParamInfo<const char *> &info) {
                             return std::string(info.param);
                         });

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
TEST_F(Program, FloodForThirtySeconds)
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

} // namespace
