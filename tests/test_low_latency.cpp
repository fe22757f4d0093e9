// Low latency asked of a serial port at open. A pseudo-terminal refuses the
// question, as every port without the setting does; a USB adapter's driver
// has it. No such adapter is on a test machine, so the calls into the kernel
// are watched, and for one port answered, by an ioctl() of this file, which
// every caller in this test program reaches before the C library's.
#include "compat.h"

#include "mascon_sim.h"
#include "support.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <vector>

namespace {

struct SerialCall {
    int fd;
    unsigned long request;
    int flags; // TIOCSSERIAL: the flags asked for
};

std::vector<SerialCall> g_serial_calls; // TIOCGSERIAL and TIOCSSERIAL, in order
dev_t g_answered_device;                // the port that pretends to have the setting, or 0
int g_answered_flags;                   // what it reports

} // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);
    static auto real = reinterpret_cast<int (*)(int, unsigned long, ...)>(dlsym(RTLD_NEXT, "ioctl"));
    if (request == TIOCGSERIAL || request == TIOCSSERIAL) {
        struct serial_struct *serial = static_cast<struct serial_struct *>(arg);
        g_serial_calls.push_back({fd, request, request == TIOCSSERIAL ? serial->flags : 0});
        struct stat st;
        if (g_answered_device && fstat(fd, &st) == 0 && st.st_rdev == g_answered_device) {
            if (request == TIOCGSERIAL) {
                memset(serial, 0, sizeof *serial);
                serial->flags = g_answered_flags;
            } else {
                g_answered_flags = serial->flags;
            }
            return 0;
        }
    }
    return real(fd, request, arg);
}

namespace {

struct LowLatency : testing::Test {
    DeviceDir devices;
    MasconSim *sim = nullptr;

    void SetUp() override
    {
        g_serial_calls.clear();
        g_answered_device = 0;
        sim = sim_open(devices.dir.path.c_str(), 2, nullptr);
        ASSERT_NE(sim, nullptr);
    }
    void TearDown() override { sim_close(sim); }

    HANDLE open_port()
    {
        return CreateFileA("COM2", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    }
};

TEST_F(LowLatency, RefusedByAPseudoTerminalThePortWorksAsItIs)
{
    HANDLE port = open_port();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_EQ(g_serial_calls.size(), 1u) << "asked once, and nothing set after the refusal";
    EXPECT_EQ(g_serial_calls[0].request, static_cast<unsigned long>(TIOCGSERIAL));
    int fd = compat_handle_get(port, COMPAT_SERIAL)->fd;
    EXPECT_EQ(g_serial_calls[0].fd, fd);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0) << "reads and writes block as Windows' do";

    // The line still carries what the mascon says.
    DWORD written = 0, got = 0;
    ASSERT_TRUE(WriteFile(port, "RESET\r", 6, &written, NULL));
    char answer[12];
    ASSERT_TRUE(ReadFile(port, answer, 12, &got, NULL));
    EXPECT_EQ(std::string(answer, got), "MCA50\rMCG00\r");
    EXPECT_TRUE(CloseHandle(port));
}

TEST_F(LowLatency, AskedOfAPortThatHasItOtherFlagsKept)
{
    struct stat st;
    ASSERT_EQ(stat(sim_slave_path(sim), &st), 0);
    g_answered_device = st.st_rdev;
    g_answered_flags = ASYNC_SKIP_TEST;
    HANDLE port = open_port();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_EQ(g_serial_calls.size(), 2u);
    EXPECT_EQ(g_serial_calls[1].request, static_cast<unsigned long>(TIOCSSERIAL));
    EXPECT_EQ(g_serial_calls[1].flags, ASYNC_SKIP_TEST | ASYNC_LOW_LATENCY);
    EXPECT_TRUE(CloseHandle(port));

    // Already low: nothing to change.
    g_serial_calls.clear();
    port = open_port();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_EQ(g_serial_calls.size(), 1u);
    EXPECT_EQ(g_serial_calls[0].request, static_cast<unsigned long>(TIOCGSERIAL));
    EXPECT_TRUE(CloseHandle(port));
}

} // namespace
