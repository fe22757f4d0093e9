// Key packets as the driver receives them, through the capture stand-in.
#include "keys/keydrv.h"
#include "keys/keys.h"
#include "keys/senders.h"

#include "support.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace {

struct KeyPackets : testing::Test {
    DeviceDir devices;
    std::string capture = devices.make_capture();
    AppConfig config = {"COM5", "", NULL, "driver", "", "hold", "", "", 0, {}, FALSE};

    void SetUp() override
    {
        ASSERT_EQ(keydrv_select(&config), 0);
        ASSERT_EQ(keydrv_open(&config), 0);
    }
    void TearDown() override { keydrv_close(); }
    std::vector<std::string> packets() const { return read_lines(capture); }
    // The driver entry made a FIFO, with *reader its reading end, and reopened.
    void use_fifo(int *reader)
    {
        keydrv_close();
        std::string fifo = devices.dir.file("keytap.vxd");
        unlink(fifo.c_str());
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        *reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        ASSERT_GE(*reader, 0);
        ASSERT_EQ(keydrv_open(&config), 0);
    }
};

TEST_F(KeyPackets, LeverMovePressesTheNewKeyBeforeReleasingTheOld)
{
    EXPECT_EQ(send_lever_change(6, 5), 1);   // MCA50 -> MCA55: 1 down, keypad 0 up
    EXPECT_EQ(send_lever_change(0, 7), 1);   // synchronised on MCA45
    EXPECT_EQ(send_lever_change(12, 15), 1); // keypad 6 -> keypad 9
    EXPECT_EQ(send_lever_change(3, 3), 1);   // the same position again
    EXPECT_EQ(packets(), (std::vector<std::string>{"02 d2", "4f 87", "49 cd", "04 84"}));
}

TEST_F(KeyPackets, EachLeverPositionHoldsItsKey)
{
    // Main row 6..1, then keypad 0..9.
    const char *expected[16] = {"07", "06", "05", "04", "03", "02", "52", "4f",
                                "50", "51", "4b", "4c", "4d", "47", "48", "49"};
    for (LONG to = 0; to < 16; ++to)
        send_lever_change(0, to);
    std::vector<std::string> lines = packets();
    ASSERT_EQ(lines.size(), 16u);
    for (LONG to = 0; to < 16; ++to)
        EXPECT_EQ(lines[to], std::string(expected[to]) + " 87") << "lever index " << to;
}

TEST_F(KeyPackets, ButtonsSendOneByteEachAndGStatesNothing)
{
    for (LONG index = 0; index < 8; ++index)
        EXPECT_EQ(send_button_key(index), 1);
    for (LONG index = 0; index < 3; ++index)
        EXPECT_EQ(on_gstate(index), 1);
    // K and X share Space; then Enter and Esc, each pressed then released.
    EXPECT_EQ(packets(),
              (std::vector<std::string>{"39", "b9", "39", "b9", "1c", "9c", "01", "81"}));
}

TEST_F(KeyPackets, ALostReaderLosesPacketsNotTheProgram)
{
    int reader = -1;
    ASSERT_NO_FATAL_FAILURE(use_fifo(&reader));
    send_button_key(6);
    char got[16] = {};
    EXPECT_EQ(read(reader, got, sizeof got), 3);
    EXPECT_STREQ(got, "01\n");
    close(reader);
    // Nobody reads any more: the packet is lost, and the process lives on.
    EXPECT_EQ(send_button_key(7), 1);
}

// A reader that takes nothing fills the FIFO. A packet waits for it a while,
// where TerminateThread still gets its sender out, and is then given up; so
// a thread the layer did not make (shutdown's, releasing the held keys) is
// held no longer. Given-up packets leave no half line, and once the reader
// takes again, packets get through.
TEST_F(KeyPackets, TerminateLeavesAPacketWaitingForAStalledReader)
{
    int reader = -1;
    ASSERT_NO_FATAL_FAILURE(use_fifo(&reader));
    DWORD sender_id = 0;
    HANDLE sender = create_thread_masked(
        [](LPVOID) -> DWORD {
            for (;;)
                send_button_key(7); // a release: nothing is left held
        },
        NULL, &sender_id);
    ASSERT_NE(sender, nullptr);
    EXPECT_TRUE(wait_for([&] { return waiting_in_the_layer(sender_id); }));
    EXPECT_TRUE(TerminateThread(sender, 0));
    EXPECT_EQ(wait_thread(sender, 2000), 0u);
    CloseHandle(sender);

    std::atomic<bool> done{false};
    std::thread shutdown([&] {
        send_lever_change(0, 6); // keypad 0 held, then released at the end
        release_held_keys();
        done = true;
    });
    std::string taken;
    auto take = [&] {
        char buffer[4096];
        for (ssize_t n; (n = read(reader, buffer, sizeof buffer)) > 0;)
            taken.append(buffer, static_cast<size_t>(n));
    };
    if (!wait_for([&] { return done.load(); }, 10000)) {
        ADD_FAILURE() << "a packet waits for ever";
        while (!done.load())
            take(); // room, so the test ends
    }
    take();
    shutdown.join();
    ASSERT_FALSE(taken.empty());
    EXPECT_EQ(taken.find_first_not_of("81\n"), std::string::npos);
    EXPECT_EQ(taken.size() % 3, 0u) << "half a line";

    send_button_key(6);
    char got[16] = {};
    EXPECT_TRUE(wait_for([&] { return read(reader, got, sizeof got) > 0; }));
    EXPECT_STREQ(got, "01\n");
    close(reader);
}

// The keys the module holds down, released at the end.
struct HeldKeys : KeyPackets {
    void SetUp() override
    {
        KeyPackets::SetUp();
        release_held_keys(); // whatever earlier tests left down
        write_file(capture, "");
    }
};

TEST_F(HeldKeys, EveryKeyLeftDownIsReleasedOnce)
{
    send_lever_change(0, 6);  // keypad 0 down
    send_button_key(0);       // Space down (K)
    send_button_key(4);       // Enter down
    send_button_key(5);       // Enter up
    send_button_key(2);       // Space down again (X)
    EXPECT_EQ(release_held_keys(), 2);
    EXPECT_EQ(release_held_keys(), 0);
    EXPECT_EQ(read_lines(capture),
              (std::vector<std::string>{"52 87", "39", "1c", "9c", "39", "b9", "d2"}));
}

TEST_F(HeldKeys, ALeverPressedAndReleasedInOnePacketIsNotHeld)
{
    send_lever_change(3, 3);
    send_button_key(6);
    send_button_key(7);
    EXPECT_EQ(release_held_keys(), 0);
}

// The same packets through SendInput, which the platform layer hands to the
// same capture; the driver itself is never opened.
struct SendInputPackets : KeyPackets {
    void SetUp() override
    {
        strcpy(config.injector, "SendInput");
        g_keydrv = INVALID_HANDLE_VALUE;
        ASSERT_EQ(keydrv_select(&config), 0);
        ASSERT_EQ(keydrv_open(&config), 0);
        EXPECT_EQ(g_keydrv, INVALID_HANDLE_VALUE);
    }
};

TEST_F(SendInputPackets, EachPacketIsOneCallInOrder)
{
    send_lever_change(6, 5);
    send_button_key(6);
    send_button_key(7);
    send_lever_change(3, 3);
    EXPECT_EQ(packets(), (std::vector<std::string>{"02 d2", "01", "81", "04 84"}));
}

struct DriverMissing : testing::Test {
    DeviceDir devices;
    AppConfig config = {"COM5", "", NULL, "driver", "", "hold", "", "", 0, {}, FALSE};
    void SetUp() override { ASSERT_EQ(keydrv_select(&config), 0); }
    // The box, then the cause the system gave, naming the entry.
    std::string told(const std::string &cause) const
    {
        return "Lever to keys!: can't open keytap.vxd.\nnotchkey: " +
               devices.dir.file("keytap.vxd") + cause + "\n";
    }
};

TEST_F(DriverMissing, UnknownInjectorIsReportedBeforeAnythingOpens)
{
    for (const char *name : {"", "drivers", "send input", "uinput"}) {
        strcpy(config.injector, name);
        StderrCapture err;
        EXPECT_EQ(keydrv_select(&config), 1) << name;
        // An empty value is named by its line.
        std::string shown = *name ? name : "injector=";
        EXPECT_EQ(err.text(), "Lever to keys!: " + shown +
                                  " is invalid injector.\ninjector takes driver or sendinput.\n");
    }
}

TEST_F(DriverMissing, NoEntryIsReportedAndFails)
{
    StderrCapture err;
    EXPECT_EQ(keydrv_open(&config), 1);
    EXPECT_EQ(g_keydrv, INVALID_HANDLE_VALUE);
    EXPECT_EQ(err.text(), told(": No such file or directory"));
    EXPECT_STREQ(g_text, "can't open keytap.vxd.");
}

TEST_F(DriverMissing, AFifoWithoutReaderFailsAtOnceInsteadOfWaiting)
{
    ASSERT_EQ(mkfifo(devices.dir.file("keytap.vxd").c_str(), 0600), 0);
    StderrCapture err;
    EXPECT_EQ(keydrv_open(&config), 1);
    EXPECT_EQ(err.text(), told(": No such device or address"));
}

// A character device is taken for uinput; one that refuses to become a
// keyboard is a driver that cannot be loaded, and nothing is left open.
TEST_F(DriverMissing, ACharacterDeviceThatIsNoUinputIsReportedAndFails)
{
    ASSERT_EQ(symlink("/dev/null", devices.dir.file("keytap.vxd").c_str()), 0);
    StderrCapture err;
    auto open_fds = [] {
        int n = 0;
        for (int fd = 0; fd < 1024; ++fd)
            n += fcntl(fd, F_GETFD) != -1;
        return n;
    };
    int before = open_fds();
    EXPECT_EQ(keydrv_open(&config), 1);
    EXPECT_EQ(open_fds(), before) << "a descriptor left open";
    EXPECT_EQ(g_keydrv, INVALID_HANDLE_VALUE);
    EXPECT_EQ(err.text(), told(" -> /dev/null: can't make a virtual keyboard: " + std::string(strerror(ENOTTY))));
}

} // namespace
