// The serial worker against a simulated mascon on a real pseudo-terminal, with
// the capture driver: synchronisation, the read loop, and every way it gives up.
#include "link/mascon_worker.h"

#include "compat.h"
#include "keys/keydrv.h"
#include "keys/keys.h"
#include "keys/senders.h"
#include "common/mascon_tables.h"
#include "mascon_sim.h"
#include "support.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <limits.h>
#include <fcntl.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

// Every ClearCommError call of the test program passes here (it is wrapped at
// link time): the polls are counted, and from the poll after g_polls_before_hold
// on each one waits, at a point where its thread can be stopped.
static std::atomic<long> g_polls;
static std::atomic<long> g_polls_before_hold{LONG_MAX};

extern "C" BOOL __real_ClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT stat);

extern "C" BOOL __wrap_ClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT stat)
{
    if (++g_polls > g_polls_before_hold)
        for (;;)
            Sleep(1000);
    return __real_ClearCommError(file, errors, stat);
}

namespace {

struct Worker : testing::Test {
    DeviceDir devices;
    std::string capture = devices.make_capture();
    HWND window = make_window();
    AppConfig config = {"COM5", "", window, "driver", "", "hold", "", "", 0, {}, FALSE};
    MasconSim *sim = nullptr;
    HANDLE worker = NULL;
    DWORD worker_id = 0;
    StderrCapture *err = nullptr;
    bool keys_stuck = false; // a release that never came back: shutdown would hang too

    void SetUp() override
    {
        g_polls = 0;
        g_polls_before_hold = LONG_MAX;
        MSG stale;
        while (PeekMessageA(&stale, NULL, 0, 0, PM_REMOVE)) {
        }
        ASSERT_EQ(keydrv_select(&config), 0);
        ASSERT_EQ(keydrv_open(&config), 0);
    }

    void TearDown() override
    {
        if (worker) {
            TerminateThread(worker, 0);
            wait_thread(worker);
            CloseHandle(worker);
        }
        // As shutdown does, so that no test inherits keys another left down.
        if (!keys_stuck)
            release_held_keys();
        delete err;
        if (sim)
            sim_close(sim);
        keydrv_close();
        DestroyWindow(window);
    }

    void open_sim(const SimOptions &options = SimOptions(), int com = 5)
    {
        sim = sim_open(devices.dir.path.c_str(), com, &options);
        ASSERT_NE(sim, nullptr);
    }

    void start()
    {
        ASSERT_TRUE(stop_create()); // a stop asked of a worker before is no more
        err = new StderrCapture;
        worker = CreateThread(NULL, 0, mascon_worker, &config, 0, &worker_id);
        ASSERT_NE(worker, nullptr);
    }

    // The synchronised worker, its first packet already through.
    void start_synchronised(const SimOptions &options = SimOptions())
    {
        open_sim(options);
        start();
        ASSERT_TRUE(sim_wait_reset(sim, 5000));
        ASSERT_EQ(wait_packets(capture, 1).size(), 1u);
    }

    std::string host_wrote() const
    {
        char buffer[4096];
        size_t n = sim_received(sim, buffer, sizeof buffer);
        return std::string(buffer, n < sizeof buffer ? n : sizeof buffer);
    }

    // Bytes the worker has read from its port so far.
    long worker_read() const
    {
        return io_count("/proc/self/task/" + std::to_string(worker_id) + "/io", "rchar");
    }

    struct termios port_settings() const
    {
        struct termios t;
        int fd = open(sim_slave_path(sim), O_RDWR | O_NOCTTY);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(tcgetattr(fd, &t), 0);
        close(fd);
        return t;
    }

    // A failure is told in a box first, with the system's cause where an
    // open failed, then WM_WORKER_ENDED reaches the window's thread, and the
    // worker's exit code is 1.
    void expect_gave_up(const std::string &text, const std::string &cause = "")
    {
        MSG msg;
        ASSERT_TRUE(wait_message(&msg, 10000)) << "no WM_WORKER_ENDED";
        std::string said = err->text();
        // The note that the mascon answered comes first, where it did.
        if (said.rfind("notchkey: mascon answered on ", 0) == 0)
            said.erase(0, said.find('\n') + 1);
        EXPECT_EQ(said, "Lever to keys!: " + text + "\n" + (cause.empty() ? "" : "notchkey: " + cause + "\n"))
            << "box before the message";
        EXPECT_EQ(msg.hwnd, window);
        EXPECT_EQ(msg.message, static_cast<UINT>(WM_WORKER_ENDED));
        EXPECT_EQ(msg.wParam, 0u);
        EXPECT_EQ(msg.lParam, 0);
        EXPECT_EQ(wait_thread(worker), 1u);
        EXPECT_STREQ(g_text, text.c_str());
        EXPECT_FALSE(PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) << "posted once";
    }

    void send(const char *message) { ASSERT_TRUE(sim_send_message(sim, message)); }

    // The worker's own state may be looked at only once it has stopped.
    // As Exit does: the worker stops by itself.
    void stop_worker()
    {
        stop_ask();
        ASSERT_EQ(wait_thread(worker), 0u);
    }
};

TEST_F(Worker, SynchronisesAndHoldsTheLeversKey)
{
    SimOptions options;
    options.lever = "MCA45\r";
    options.gstate = "MCG50\r";
    start_synchronised(options);
    send("MCK99"); // through once the G-state has been read
    EXPECT_EQ(wait_packets(capture, 2), (std::vector<std::string>{"4f 87", "39"}));
    EXPECT_EQ(host_wrote(), "RESET\r");
    struct termios t = port_settings();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    stop_worker();
    EXPECT_EQ(g_lever_current, 7);
    EXPECT_EQ(g_gstate, 1);
}

TEST_F(Worker, AnswerThatTakesItsTimeIsWaitedFor)
{
    SimOptions options;
    options.answer_delay_ms = 5; // as a mascon at 19200 baud
    start_synchronised(options);
    EXPECT_EQ(read_lines(capture), std::vector<std::string>{"52 87"});
}

TEST_F(Worker, LeversButtonsAndGStatesBecomePackets)
{
    start_synchronised(); // MCA50: keypad 0 held
    for (const char *message : {"MCA55", "MCK99", "MCG99", "MCK00", "MCA65", "MCA65", "MCZ99",
                                "MCB20", "MCZ00", "MCX99", "MCY99", "MCY00", "MCX00", "MCB60"})
        send(message);
    std::vector<std::string> expected = {
        "52 87", // synchronised on MCA50
        "02 d2", // keypad 0 -> 1
        "39",    // K pressed
        "b9",    // K released; the G-state between sent nothing
        "03 82", // 1 -> 2: the button did not move the lever
        "03 83", // the same position again: pressed and released
        "01",    // Esc
        "49 83", // 2 -> keypad 9
        "81",    "39", "1c", "9c", "b9",
        "07 c9", // keypad 9 -> 6
    };
    EXPECT_EQ(wait_packets(capture, expected.size()), expected);
    stop_worker();
    EXPECT_EQ(g_lever_previous, 15);
    EXPECT_EQ(g_lever_current, 0);
}

// CPU ticks of every thread of the process but the calling one.
long other_threads_ticks()
{
    long total = 0;
    DIR *tasks = opendir("/proc/self/task");
    pid_t self = static_cast<pid_t>(GetCurrentThreadId());
    while (struct dirent *entry = readdir(tasks)) {
        if (entry->d_name[0] == '.' || atoi(entry->d_name) == self)
            continue;
        std::string stat = read_file(std::string("/proc/self/task/") + entry->d_name + "/stat");
        size_t at = stat.rfind(')');
        std::vector<std::string> fields;
        std::string field;
        for (char c : stat.substr(at + 2) + " ") {
            if (c == ' ') {
                fields.push_back(field);
                field.clear();
            } else {
                field += c;
            }
        }
        total += atol(fields[11].c_str()) + atol(fields[12].c_str()); // utime, stime
    }
    closedir(tasks);
    return total;
}

// At rest across more than two checks of the line: a worker that polled
// would burn every tick.
void expect_worker_at_rest()
{
    long before = other_threads_ticks();
    Sleep(2 * MASCON_LINE_CHECK_MS + 200);
    long used = other_threads_ticks() - before;
    testing::Test::RecordProperty("idle_ticks", static_cast<int>(used));
    EXPECT_LE(used, 2);
}

// Measured over a time: run with the slow tests.
using SlowWorker = Worker;

TEST_F(SlowWorker, IdleWorkerBlocksInItsRead)
{
    start_synchronised();
    expect_worker_at_rest();
}

// Another program left the port with time-outs that return a read at once;
// the worker sets its own, so it still blocks, and the ride goes on.
TEST_F(SlowWorker, TimeoutsLeftNonBlockingStillBlockTheRead)
{
    open_sim();
    HANDLE port = CreateFileA("COM5", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    COMMTIMEOUTS at_once = {MAXDWORD, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &at_once));
    CloseHandle(port);
    start();
    ASSERT_TRUE(sim_wait_reset(sim, 5000));
    ASSERT_EQ(wait_packets(capture, 1).size(), 1u);
    expect_worker_at_rest();
    send("MCA55");
    EXPECT_EQ(wait_packets(capture, 2), (std::vector<std::string>{"52 87", "02 d2"}));
    stop_worker();
    COMMTIMEOUTS ours = {MAXDWORD, MAXDWORD, MASCON_LINE_CHECK_MS, 0, MASCON_WRITE_MS};
    EXPECT_EQ(memcmp(&g_timeouts_work, &ours, sizeof ours), 0);
    EXPECT_EQ(memcmp(&g_timeouts_saved, &at_once, sizeof at_once), 0);
}

// Positions that share position 0's key: the lever's key is down from the
// start wherever it rests, and after any move between two of them, even one
// after the same message twice let go of it.
TEST_F(Worker, PositionsSharingPositionZerosKeyHoldItFromTheStart)
{
    const char keys[] = "MCB60=f1\0MCA95=f1\0";
    memcpy(config.keys, keys, sizeof keys);
    ASSERT_EQ(keydrv_select(&config), 0);
    const struct {
        const char *start;
        std::vector<const char *> moves;
        std::vector<std::string> packets;
    } rides[] = {
        {"MCA95\r", {"MCA95", "MCB60", "MCA85"}, {"3b", "3b bb", "3b", "05 bb"}},
        {"MCB60\r", {"MCA95", "MCA85"}, {"3b", "05 bb"}},
    };
    int com = 5; // a port stays taken until the process ends
    for (const auto &ride : rides) {
        SimOptions options;
        options.lever = ride.start;
        open_sim(options, com);
        snprintf(config.port, sizeof config.port, "COM%d", com++);
        start();
        ASSERT_TRUE(sim_wait_reset(sim, 5000));
        for (const char *message : ride.moves)
            send(message);
        EXPECT_EQ(wait_packets(capture, ride.packets.size()), ride.packets) << ride.start;
        stop_worker();
        CloseHandle(worker);
        worker = NULL;
        sim_close(sim);
        sim = nullptr;
        delete err;
        err = nullptr;
        release_held_keys();
        write_file(capture, "");
    }
}

TEST_F(Worker, InvalidMessageEndsTheWorker)
{
    start_synchronised();
    send("MCA55");
    send("mca55");
    send("MCA65"); // never looked at
    expect_gave_up("Invalid message from mascon");
    // The lever's key came up before the box.
    EXPECT_EQ(read_lines(capture), (std::vector<std::string>{"52 87", "02 d2", "82"}));
}

TEST_F(Worker, StreamOutOfStepEndsTheWorker)
{
    start_synchronised();
    ASSERT_TRUE(sim_send(sim, "MCA5", 4));
    send("MCA55");
    expect_gave_up("Invalid message from mascon");
    EXPECT_EQ(read_lines(capture), (std::vector<std::string>{"52 87", "d2"}));
}

// Each piece is taken off the line before the next is sent, and only the
// last one makes a packet.
TEST_F(Worker, MessageInPiecesIsReadWhole)
{
    start_synchronised();
    // The lever's packet goes out before the G-state is read: count from the
    // whole answer, "MCA50\rMCG00\r".
    long read = 12;
    ASSERT_TRUE(wait_for([&] { return worker_read() == read; })) << worker_read();
    for (std::string piece : {"MC", "A55", "\r"}) {
        EXPECT_EQ(read_lines(capture).size(), 1u) << "a packet before \"" << piece << '"';
        ASSERT_TRUE(sim_send(sim, piece.data(), piece.size()));
        read += static_cast<long>(piece.size());
        ASSERT_TRUE(wait_for([&] { return worker_read() == read; })) << piece;
    }
    EXPECT_EQ(wait_packets(capture, 2), (std::vector<std::string>{"52 87", "02 d2"}));
}

TEST_F(Worker, LineGoneEndsTheWorkerWithoutReplayingTheLastMessage)
{
    start_synchronised();
    send("MCZ99");
    ASSERT_EQ(wait_packets(capture, 2).size(), 2u);
    sim_hangup(sim);
    expect_gave_up("There is no mascon on COM5.");
    // Every key held comes up, once each, and nothing is replayed.
    EXPECT_EQ(read_lines(capture), (std::vector<std::string>{"52 87", "01", "81", "d2"}));
}

TEST_F(Worker, TerminatedWhileBlockedInItsRead)
{
    start_synchronised();
    EXPECT_EQ(TerminateThread(worker, 0), TRUE);
    EXPECT_EQ(WaitForSingleObject(worker, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(wait_thread(worker), 0u);
}

// Held in its second poll for the answer (the first look at the port is the
// check for pending input), the worker cannot run out of polls first.
TEST_F(Worker, TerminatedWhilePollingForTheAnswer)
{
    SimOptions options;
    options.answer = SIM_ANSWER_SILENT;
    open_sim(options);
    g_polls_before_hold = 2;
    start();
    ASSERT_TRUE(wait_for([] { return g_polls > 2; }));
    ASSERT_TRUE(sim_wait_reset(sim, 5000));
    EXPECT_EQ(TerminateThread(worker, 0), TRUE);
    EXPECT_EQ(WaitForSingleObject(worker, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(wait_thread(worker), 0u);
    MSG msg;
    EXPECT_FALSE(PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) << "it went on to fail";
}

struct SyncFailure : Worker {
    // Bytes written to the pseudo-terminal reach the port's queue a moment later.
    bool wait_pending(DWORD n)
    {
        return wait_for([&] {
            COMSTAT stat = {};
            HANDLE probe = CreateFileA("COM5", GENERIC_READ | GENERIC_WRITE, 0, NULL,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
            ClearCommError(probe, NULL, &stat);
            CloseHandle(probe);
            return stat.cbInQue == n;
        });
    }

    void fail_with(const SimOptions &options)
    {
        open_sim(options);
        start();
        expect_gave_up("There is no mascon on COM5.");
    }
};

TEST_F(SyncFailure, TooMuchPendingInputNeverSendsReset)
{
    open_sim();
    std::string flood(513, 'x');
    ASSERT_TRUE(sim_send(sim, flood.data(), flood.size()));
    ASSERT_TRUE(wait_pending(513));
    start();
    expect_gave_up("There is no mascon on COM5.");
    EXPECT_EQ(host_wrote(), "");
    EXPECT_EQ(read_file(capture), "");
}

TEST_F(SyncFailure, PendingInputUpToTheLimitIsThrownAway)
{
    open_sim();
    std::string noise(512, 'x');
    ASSERT_TRUE(sim_send(sim, noise.data(), noise.size()));
    ASSERT_TRUE(wait_pending(512));
    start();
    ASSERT_TRUE(sim_wait_reset(sim, 5000));
    EXPECT_EQ(wait_packets(capture, 1), std::vector<std::string>{"52 87"});
}

// A silent mascon is given its second, asleep between looks that grow
// apart: a look for pending input, then five looks, each pause four times the
// one before.
TEST_F(SyncFailure, SilentMasconIsGivenASecondAsleep)
{
    SimOptions options;
    options.answer = SIM_ANSWER_SILENT;
    DWORD began = GetTickCount();
    fail_with(options);
    DWORD took = GetTickCount() - began;
    EXPECT_GE(took, static_cast<DWORD>(MASCON_SYNC_MS));
    EXPECT_LE(g_polls, 1 + 5);
    EXPECT_EQ(host_wrote(), "RESET\r");
    EXPECT_EQ(read_file(capture), "");
}

TEST_F(SyncFailure, HalfAnAnswerIsNoAnswer)
{
    SimOptions options;
    options.answer = SIM_ANSWER_RAW;
    options.raw_answer = "MCA50\rMCG0";
    options.raw_answer_len = 10;
    fail_with(options);
    EXPECT_EQ(read_file(capture), "");
}

TEST_F(SyncFailure, FirstAnswerNotALeverPosition)
{
    SimOptions options;
    options.lever = "MCK99\r";
    fail_with(options);
    EXPECT_EQ(read_file(capture), "");
}

TEST_F(SyncFailure, SecondAnswerNotAGState)
{
    SimOptions options;
    options.gstate = "MCA50\r";
    fail_with(options);
    // Only a whole answer is taken: nothing went down.
    EXPECT_EQ(read_file(capture), "");
}

TEST_F(SyncFailure, PortSettingsArePutBack)
{
    SimOptions options;
    options.answer = SIM_ANSWER_SILENT;
    open_sim(options);
    int fd = open(sim_slave_path(sim), O_RDWR | O_NOCTTY);
    struct termios before;
    ASSERT_EQ(tcgetattr(fd, &before), 0);
    cfsetspeed(&before, B9600);
    before.c_cflag |= CSTOPB | CRTSCTS;
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &before), 0);
    ASSERT_EQ(tcgetattr(fd, &before), 0);
    COMMTIMEOUTS left = {10, 0, 5000, 0, 0};
    HANDLE port = CreateFileA("COM5", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_TRUE(SetCommTimeouts(port, &left));
    CloseHandle(port);
    start();
    ASSERT_TRUE(sim_wait_reset(sim, 5000));
    struct termios during = port_settings();
    EXPECT_EQ(cfgetospeed(&during), static_cast<speed_t>(B19200));
    EXPECT_EQ(during.c_cflag & (CSIZE | CSTOPB | PARENB | CRTSCTS), static_cast<tcflag_t>(CS8));
    expect_gave_up("There is no mascon on COM5.");
    struct termios after;
    ASSERT_EQ(tcgetattr(fd, &after), 0);
    EXPECT_TRUE(same_termios(before, after));
    close(fd);
    port = CreateFileA("COM5", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, NULL);
    COMMTIMEOUTS found = {};
    ASSERT_TRUE(GetCommTimeouts(port, &found));
    EXPECT_EQ(memcmp(&found, &left, sizeof found), 0) << "the time-outs were not put back";
    COMMTIMEOUTS blocking = {};
    SetCommTimeouts(port, &blocking);
    CloseHandle(port);
}

TEST_F(Worker, WrongPortNameLeavesThePortAlone)
{
    open_sim();
    struct termios before = port_settings();
    strcpy(config.port, "COM9");
    start();
    expect_gave_up("COM9 is invalid COM port.", devices.dir.file("com9") + ": No such file or directory");
    EXPECT_TRUE(same_termios(before, port_settings()));
    EXPECT_EQ(host_wrote(), "");
    EXPECT_EQ(read_file(capture), "");
}

// Only COM1 to COM256 are serial ports; anything else is not opened at all,
// however it resolves.
TEST_F(Worker, NamesThatAreNoPortAreNeitherOpenedNorWritten)
{
    TempDir folder;
    std::string file = folder.file("x");
    write_file(file, "precious");
    open_sim();
    for (std::string name : {file, std::string("LPT1"), std::string("NUL"),
                             std::string("COM0"), std::string("COM257"), std::string("COM05"),
                             std::string("\\\\.\\COM5"), std::string("COM5:"),
                             std::string(" COM5")}) {
        snprintf(config.port, sizeof config.port, "%s", name.c_str());
        start();
        expect_gave_up(name + " is invalid COM port.");
        CloseHandle(worker);
        worker = NULL;
        delete err;
        err = nullptr;
    }
    EXPECT_EQ(read_file(file), "precious");
    EXPECT_EQ(host_wrote(), "");
}

// A search of every name fails to open all but one: no box after it may
// carry one of those failures as its cause.
TEST_F(Worker, AutoSearchLeavesNoCauseBehind)
{
    strcpy(config.port, "AUTO");
    start();
    expect_gave_up("There is no mascon on any COM port.");
    CloseHandle(worker);
    worker = NULL;
    delete err;
    err = nullptr;
    open_sim(SimOptions(), 3);
    start();
    ASSERT_TRUE(sim_wait_reset(sim, 5000));
    send("mca55");
    expect_gave_up("Invalid message from mascon");
    EXPECT_EQ(host_wrote(), "RESET\r");
}

// COM10 and above are opened as named, never cut to COM1; the message keeps
// the name as written.
TEST_F(Worker, TwoDigitPortsAreThePortNamed)
{
    MasconSim *com1 = sim_open(devices.dir.path.c_str(), 1, nullptr);
    ASSERT_NE(com1, nullptr);
    open_sim(SimOptions(), 12);
    strcpy(config.port, "com12");
    start();
    ASSERT_TRUE(sim_wait_reset(sim, 5000));
    EXPECT_EQ(wait_packets(capture, 1), std::vector<std::string>{"52 87"});
    sim_hangup(sim);
    expect_gave_up("There is no mascon on com12.");
    char nothing[8];
    EXPECT_EQ(sim_received(com1, nothing, sizeof nothing), 0u) << "COM1 was written to";
    sim_close(com1);
}

// With reconnect=yes a start that finds no mascon says at once what it
// waits for and why, the same again a second later not, and a change again.
TEST_F(Worker, AWaitSaysWhatItWaitsOnOnceAndAgainWhenItChanges)
{
    config.reconnect = TRUE;
    MasconSim *com6 = sim_open(devices.dir.path.c_str(), 6, nullptr);
    HANDLE other = CreateMutexA(NULL, FALSE, "notchkey COM6"); // another notchkey's
    SimOptions silent;
    silent.answer = SIM_ANSWER_SILENT;
    struct {
        const char *port;
        std::string text;
        bool plug_silent; // then a silent mascon on COM5
    } cases[] = {
        {"COM6", "Waiting for the mascon: another notchkey uses COM6.", false},
        {"auto", "Waiting for the mascon: no mascon on any COM port yet; another notchkey uses COM6.", false},
        {"COM5", "Waiting for the mascon on COM5: " + devices.dir.file("com5") + ": No such file or directory", true},
    };
    for (const auto &c : cases) {
        snprintf(config.port, sizeof config.port, "%s", c.port);
        start();
        MSG msg;
        ASSERT_TRUE(wait_message(&msg, 3000)) << c.text;
        EXPECT_EQ(msg.message, static_cast<UINT>(WM_MASCON_WAITING)) << c.text;
        EXPECT_STREQ(g_waiting[msg.wParam & 1], c.text.c_str());
        if (c.plug_silent) {
            open_sim(silent);
            ASSERT_TRUE(wait_message(&msg, 3000));
            EXPECT_STREQ(g_waiting[msg.wParam & 1], "Waiting for the mascon on COM5: it does not answer.");
            // Two tries more: the second is through once its RESET has come.
            for (int i = 0; i < 500 && host_wrote() != "RESET\rRESET\rRESET\r"; ++i)
                Sleep(10);
            ASSERT_EQ(host_wrote(), "RESET\rRESET\rRESET\r");
            EXPECT_FALSE(PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) << "told again";
        }
        stop_worker();
        CloseHandle(worker);
        worker = NULL;
        delete err;
        err = nullptr;
    }
    CloseHandle(other);
    sim_close(com6);
}

TEST(PortNames, ComOneToTwoHundredFiftySixInAnyCase)
{
    struct Case {
        const char *name;
        int number;
    } cases[] = {
        {"COM1", 1},   {"com2", 2},   {"CoM9", 9},    {"COM10", 10}, {"COM12", 12},
        {"COM256", 256}, {"COM0", 0}, {"COM257", 0},  {"COM01", 0},  {"COM1000", 0},
        {"COM", 0},    {"COMX", 0},   {"COM1 ", 0},   {"LPT1", 0},   {"NUL", 0},
        {"", 0},       {"x", 0},      {"C:\\COM1", 0}, {"\\\\.\\COM1", 0}, {"COM-1", 0},
        {"CON", 0},    {"COM2:", 0},  {"COM+1", 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(com_port_number(c.name), c.number) << '"' << c.name << '"';
}

} // namespace
