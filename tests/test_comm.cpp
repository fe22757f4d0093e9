// The platform layer's side of the contract the worker relies on: device
// names, serial ports over termios, threads, and posted messages. Settings
// blocks are checked as Wine checks its comm functions: each call made with
// the output first filled with 0x00, then with 0xff, so a field never
// written shows up, and every failure quoting its input.
#include "compat.h"

#include "mascon_sim.h"
#include "support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>

namespace {

TEST(DeviceNames, ResolveByTheDevicesFolderOrTheSystemDefaults)
{
    struct Case {
        const char *name;
        CompatDevice kind;
        const char *with_dir;   // entry under the folder "/d"
        const char *without;    // system default
    } cases[] = {
        {"COM1", COMPAT_DEVICE_SERIAL, "/d/com1", "/dev/ttyS0"},
        {"com9", COMPAT_DEVICE_SERIAL, "/d/com9", "/dev/ttyS8"},
        {"CoM2", COMPAT_DEVICE_SERIAL, "/d/com2", "/dev/ttyS1"},
        {"\\\\.\\COM3", COMPAT_DEVICE_SERIAL, "/d/com3", "/dev/ttyS2"},
        {"\\\\.\\keytap.vxd", COMPAT_DEVICE_KEYDRV, "/d/keytap.vxd", "/dev/uinput"},
        {"\\\\.\\KEYTAP.VXD", COMPAT_DEVICE_KEYDRV, "/d/keytap.vxd", "/dev/uinput"},
        {"COM10", COMPAT_DEVICE_SERIAL, "/d/com10", "/dev/ttyS9"},
        {"\\\\.\\com256", COMPAT_DEVICE_SERIAL, "/d/com256", "/dev/ttyS255"},
        {"COM0", COMPAT_DEVICE_NONE, "", ""},
        {"COM257", COMPAT_DEVICE_NONE, "", ""},
        {"COM01", COMPAT_DEVICE_NONE, "", ""},
        {"COM1000", COMPAT_DEVICE_NONE, "", ""},
        {"COM2:", COMPAT_DEVICE_NONE, "", ""},
        {"COM", COMPAT_DEVICE_NONE, "", ""},
        {"COMX", COMPAT_DEVICE_NONE, "", ""},
        {"keytap.vxd", COMPAT_DEVICE_NONE, "", ""},
        {"log.txt", COMPAT_DEVICE_NONE, "", ""},
    };
    for (int with = 0; with < 2; ++with) {
        if (with)
            setenv("NOTCHKEY_DEVICES", "/d", 1);
        else
            unsetenv("NOTCHKEY_DEVICES");
        for (const Case &c : cases) {
            char path[256] = "";
            EXPECT_EQ(compat_resolve_device(c.name, path, sizeof path), c.kind) << c.name;
            if (c.kind != COMPAT_DEVICE_NONE) {
                EXPECT_STREQ(path, with ? c.with_dir : c.without) << c.name;
            }
        }
    }
    unsetenv("NOTCHKEY_DEVICES");
}

// Bytes for the mascon to send once the reader has gone to sleep in its read.
struct Later {
    MasconSim *sim;
    DWORD reader;
    const char *bytes;
};

DWORD WINAPI send_once_asleep(LPVOID parameter)
{
    Later *later = static_cast<Later *>(parameter);
    if (!wait_for([&] { return waiting_in_the_layer(later->reader); }))
        return 1;
    return sim_send(later->sim, later->bytes, strlen(later->bytes)) ? 0 : 2;
}

struct SerialPort : testing::Test {
    DeviceDir devices;
    MasconSim *sim = nullptr;
    int slave = -1; // our own look at the port's settings
    struct termios found;

    void SetUp() override
    {
        SimOptions options;
        options.answer = SIM_ANSWER_SILENT;
        sim = sim_open(devices.dir.path.c_str(), 3, &options);
        ASSERT_NE(sim, nullptr);
        slave = open(sim_slave_path(sim), O_RDWR | O_NOCTTY);
        ASSERT_GE(slave, 0);
        // A port as a terminal would leave it: cooked, echoing, 9600 baud, two
        // stop bits, XON/XOFF. (A pseudo-terminal is always eight bits without
        // parity, whatever it is told.)
        struct termios t;
        tcgetattr(slave, &t);
        t.c_lflag |= ICANON | ECHO | ISIG;
        t.c_iflag |= ICRNL | IXON;
        t.c_oflag |= OPOST;
        cfsetspeed(&t, B9600);
        t.c_cflag |= CSTOPB;
        tcsetattr(slave, TCSANOW, &t);
        tcgetattr(slave, &found);
    }

    void TearDown() override
    {
        close(slave);
        sim_close(sim);
    }

    HANDLE open_port(const char *name = "COM3")
    {
        return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    }

    struct termios now() const
    {
        struct termios t;
        tcgetattr(slave, &t);
        return t;
    }
};

TEST_F(SerialPort, OpenIsRawAndExclusiveCloseRestores)
{
    HANDLE port = open_port("com3");
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    struct termios t = now();
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_iflag & ICRNL, 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600)) << "line kept";
    EXPECT_EQ(t.c_cflag & CSTOPB, static_cast<tcflag_t>(CSTOPB)) << "line kept";
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY), 0u) << "no software flow control";
    DCB reported;
    ASSERT_TRUE(GetCommState(port, &reported));
    EXPECT_EQ(reported.fOutX, 0u) << "reported as the line has it";

    SetLastError(0xdeadbeef);
    EXPECT_EQ(open_port(), INVALID_HANDLE_VALUE) << "a port is never shared";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    EXPECT_TRUE(CloseHandle(port));
    EXPECT_TRUE(same_termios(found, now()));
}

TEST_F(SerialPort, MissingOrWrongEntriesAreNoPort)
{
    write_file(devices.dir.file("com4"), "not a tty");
    for (const char *name : {"COM1", "COM4", "COM10"}) {
        SetLastError(0xdeadbeef);
        EXPECT_EQ(open_port(name), INVALID_HANDLE_VALUE) << name;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << name;
    }
    EXPECT_TRUE(same_termios(found, now()));
}

// The speed, the byte size, the stop bits and the flow control reach the
// line; every other field is carried with the port as applied, and the line
// keeps its own.
TEST_F(SerialPort, SettingsBlockIsWrittenWholeAndReadsBackWhatWasApplied)
{
    HANDLE port = open_port();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    struct Case {
        DWORD baud;
        speed_t speed;
        BYTE stop;
        DWORD out_x;
    } cases[] = {
        {19200, B19200, ONESTOPBIT, 0}, {9600, B9600, TWOSTOPBITS, 1},
        {115200, B115200, ONESTOPBIT, 1}, {110, B110, TWOSTOPBITS, 0},
    };
    for (const Case &c : cases) {
        DCB first, second;
        memset(&first, 0x00, sizeof first);
        ASSERT_TRUE(GetCommState(port, &first));
        first.BaudRate = c.baud;
        first.ByteSize = 8;
        first.StopBits = c.stop;
        first.fOutX = c.out_x;
        first.XonLim = 77;
        ASSERT_TRUE(SetCommState(port, &first)) << c.baud;
        memset(&first, 0x00, sizeof first);
        memset(&second, 0xff, sizeof second);
        ASSERT_TRUE(GetCommState(port, &first));
        ASSERT_TRUE(GetCommState(port, &second));
        EXPECT_EQ(memcmp(&first, &second, sizeof first), 0) << "a field left unwritten, " << c.baud;
        EXPECT_EQ(first.DCBlength, sizeof(DCB));
        EXPECT_EQ(first.BaudRate, c.baud);
        EXPECT_EQ(first.ByteSize, 8) << c.baud;
        EXPECT_EQ(first.StopBits, c.stop) << c.baud;
        EXPECT_EQ(first.fOutX, c.out_x) << c.baud;
        EXPECT_EQ(first.XonLim, 77) << c.baud;
        struct termios t = now();
        EXPECT_EQ(cfgetospeed(&t), c.speed) << c.baud;
        EXPECT_EQ(t.c_cflag & (CSIZE | CSTOPB),
                  static_cast<tcflag_t>(CS8 | (c.stop == TWOSTOPBITS ? CSTOPB : 0)))
            << c.baud;
        EXPECT_EQ(t.c_iflag & IXON, c.out_x ? static_cast<tcflag_t>(IXON) : 0u) << c.baud;
    }
    CloseHandle(port);
}

TEST_F(SerialPort, ApplyingTheBlockReadAtOpenRestoresThePortExactly)
{
    HANDLE port = open_port();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    struct termios opened = now();
    DCB saved, work;
    ASSERT_TRUE(GetCommState(port, &saved));
    EXPECT_EQ(saved.BaudRate, 9600u);
    EXPECT_EQ(saved.ByteSize, 8);
    work = saved;
    work.BaudRate = 19200;
    ASSERT_TRUE(SetCommState(port, &work));
    struct termios t = now();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
    ASSERT_TRUE(SetCommState(port, &saved));
    EXPECT_TRUE(same_termios(opened, now()));
    CloseHandle(port);
}

TEST_F(SerialPort, ImpossibleSettingsAreRefusedAndChangeNothing)
{
    HANDLE port = open_port();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    struct termios before = now();
    DCB good;
    ASSERT_TRUE(GetCommState(port, &good));
    struct Case {
        const char *what;
        DWORD baud;
        BYTE size, parity, stop;
    } cases[] = {
        {"baud 12345", 12345, 8, NOPARITY, ONESTOPBIT},
        {"baud 0", 0, 8, NOPARITY, ONESTOPBIT},
        {"4 bits", 9600, 4, NOPARITY, ONESTOPBIT},
        {"9 bits", 9600, 9, NOPARITY, ONESTOPBIT},
        {"parity 5", 9600, 8, 5, ONESTOPBIT},
        {"stop 3", 9600, 8, NOPARITY, 3},
    };
    for (const Case &c : cases) {
        DCB dcb = good;
        dcb.BaudRate = c.baud;
        dcb.ByteSize = c.size;
        dcb.Parity = c.parity;
        dcb.StopBits = c.stop;
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(SetCommState(port, &dcb)) << c.what;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << c.what;
        EXPECT_TRUE(same_termios(before, now())) << c.what;
    }
    CloseHandle(port);
}

TEST_F(SerialPort, QueueCountReadsThatWaitAndHangUp)
{
    HANDLE port = open_port();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(sim_send(sim, "MCA50\rMC", 8));
    COMSTAT stat;
    memset(&stat, 0xff, sizeof stat);
    DWORD errors = 0xffffffff;
    ASSERT_TRUE(wait_for([&] { return ClearCommError(port, &errors, &stat) && stat.cbInQue == 8; }));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(stat.cbOutQue, 0u);

    // A read returns only once all it asked for has arrived.
    char got[16] = {};
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(port, got, 6, &n, NULL));
    EXPECT_EQ(std::string(got, n), "MCA50\r");
    Later later = {sim, GetCurrentThreadId(), "A55\r"};
    HANDLE sender = CreateThread(NULL, 0, send_once_asleep, &later, 0, NULL);
    ASSERT_TRUE(ReadFile(port, got, 6, &n, NULL));
    EXPECT_EQ(std::string(got, n), "MCA55\r");
    EXPECT_EQ(wait_thread(sender), 0u);
    CloseHandle(sender);

    // Written bytes reach the other end untouched: no CR/LF translation.
    ASSERT_TRUE(WriteFile(port, "RESET\r", 6, &n, NULL));
    EXPECT_EQ(n, 6u);
    ASSERT_TRUE(wait_for([&] { return sim_reset_count(sim) == 1; }));

    // Wine's answer on a line that hung up: success and no bytes, at once,
    // at every call.
    sim_hangup(sim);
    for (int i = 0; i < 3; ++i) {
        n = 99;
        EXPECT_TRUE(ReadFile(port, got, 6, &n, NULL)) << "read " << i << " after the hang-up";
        EXPECT_EQ(n, 0u);
    }
    CloseHandle(port);
}

// What a read of six bytes returns under each kind of time-outs, with "MCA"
// waiting and the rest never coming. The time-outs stay with the port, so a
// second opener finds what the first one left.
TEST_F(SerialPort, ReadsFollowThePortsTimeouts)
{
    struct Case {
        COMMTIMEOUTS timeouts;
        const char *read;
    } cases[] = {
        {{MAXDWORD, 0, 0, 0, 0}, "MCA"}, // at once, with what is there
        {{0, 0, 30, 0, 0}, "MCA"},       // after a total of 30 ms
        {{0, 5, 0, 0, 0}, "MCA"},        // 5 ms a byte asked for
        {{MAXDWORD, MAXDWORD, 30, 0, 0}, "MCA"}, // what is there, at once
    };
    for (const Case &c : cases) {
        HANDLE port = open_port();
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        COMMTIMEOUTS set = c.timeouts;
        ASSERT_TRUE(SetCommTimeouts(port, &set));
        CloseHandle(port);

        port = open_port();
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        COMMTIMEOUTS found;
        memset(&found, 0xff, sizeof found);
        ASSERT_TRUE(GetCommTimeouts(port, &found));
        EXPECT_EQ(memcmp(&found, &c.timeouts, sizeof found), 0)
            << "interval " << c.timeouts.ReadIntervalTimeout;
        ASSERT_TRUE(sim_send(sim, "MCA", 3));
        ASSERT_TRUE(wait_for([&] {
            COMSTAT stat = {};
            return ClearCommError(port, NULL, &stat) && stat.cbInQue == 3;
        }));
        char got[8] = {};
        DWORD n = 99;
        EXPECT_TRUE(ReadFile(port, got, 6, &n, NULL));
        EXPECT_EQ(std::string(got, n), c.read) << "interval " << c.timeouts.ReadIntervalTimeout;
        CloseHandle(port);
    }
    // Waiting for the first byte: it comes in pieces, the read returns with
    // the first piece.
    HANDLE port = open_port();
    COMMTIMEOUTS first_byte = {MAXDWORD, MAXDWORD, 5000, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &first_byte));
    Later later = {sim, GetCurrentThreadId(), "MC"};
    HANDLE sender = CreateThread(NULL, 0, send_once_asleep, &later, 0, NULL);
    char got[8] = {};
    DWORD n = 0;
    EXPECT_TRUE(ReadFile(port, got, 6, &n, NULL));
    EXPECT_EQ(std::string(got, n), "MC");
    EXPECT_EQ(wait_thread(sender), 0u);
    CloseHandle(sender);

    // All zero again: a read waits for every byte.
    COMMTIMEOUTS blocking = {};
    ASSERT_TRUE(SetCommTimeouts(port, &blocking));
    ASSERT_TRUE(sim_send(sim, "A50\rMCA55\r", 10));
    EXPECT_TRUE(ReadFile(port, got, 6, &n, NULL));
    EXPECT_EQ(std::string(got, n), "A50\rMC");
    CloseHandle(port);
}

// After a hang-up, as under Wine: a read with a time-out returns nothing once
// the time-out has run out, and every query of the port fails.
TEST_F(SerialPort, HungUpPortReadsNothingAfterItsTimeoutAndFailsQueries)
{
    HANDLE port = open_port();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    COMMTIMEOUTS first_byte = {MAXDWORD, MAXDWORD, 40, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &first_byte));
    sim_hangup(sim);
    char got[8];
    DWORD n = 99;
    auto begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(ReadFile(port, got, 6, &n, NULL));
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(35));
    EXPECT_EQ(n, 0u);
    COMSTAT stat;
    SetLastError(0);
    EXPECT_FALSE(ClearCommError(port, NULL, &stat));
    EXPECT_NE(GetLastError(), 0u);
    DCB dcb;
    EXPECT_FALSE(GetCommState(port, &dcb));
    COMMTIMEOUTS blocking = {};
    SetCommTimeouts(port, &blocking);
    CloseHandle(port);
}

// A handle once closed names nothing: every call on it fails as on Windows,
// whatever has been opened since; so does a value never handed out.
TEST(Handles, ClosedOrMadeUpHandlesAreInvalid)
{
    TempDir dir;
    HANDLE file = CreateFileA(dir.file("a").c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(CloseHandle(file));
    HANDLE thread = CreateThread(NULL, 0, [](LPVOID) -> DWORD { return 0; }, NULL, 0, NULL);
    ASSERT_NE(thread, file) << "the number just closed given out again";
    int local = 0;
    HANDLE made_up[] = {file, NULL, INVALID_HANDLE_VALUE, &local, reinterpret_cast<HANDLE>(0x10000)};
    for (HANDLE h : made_up) {
        DWORD n = 99;
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(WriteFile(h, "x", 1, &n, NULL)) << h;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE)) << h;
        EXPECT_EQ(n, 0u) << h;
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(CloseHandle(h)) << h;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE)) << h;
    }
    EXPECT_EQ(read_file(dir.file("a")), "") << "a write reached the closed file";

    DWORD code = 0;
    EXPECT_EQ(wait_thread(thread), 0u);
    ASSERT_TRUE(CloseHandle(thread));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(GetExitCodeThread(thread, &code)) << "a closed thread handle";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// Reads that wait for ever, or for a first byte, sleep in read() alone, with
// no poll() beside it; TerminateThread still gets the thread out at once,
// whatever signals the thread's maker blocked.
TEST_F(SerialPort, TerminateLeavesAReadAsleepInTheKernel)
{
    COMMTIMEOUTS shapes[] = {{0, 0, 0, 0, 0}, {MAXDWORD, MAXDWORD, 25000, 0, 0}};
    for (COMMTIMEOUTS &timeouts : shapes) {
        HANDLE port = open_port();
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
        DWORD reader_id = 0;
        HANDLE reader = create_thread_masked(
            [](LPVOID port) -> DWORD {
                char got[6];
                DWORD n = 0;
                ReadFile(port, got, sizeof got, &n, NULL);
                return 1;
            },
            port, &reader_id);
        ASSERT_NE(reader, nullptr);
        EXPECT_TRUE(wait_for([&] { return waiting_in_the_layer(reader_id); }));
        EXPECT_TRUE(TerminateThread(reader, 0));
        EXPECT_EQ(wait_thread(reader, 2000), 0u) << "interval " << timeouts.ReadIntervalTimeout;
        CloseHandle(reader);
        CloseHandle(port);
    }
}

// A write with a time-out gives up once it has run out on a line that takes
// nothing more (here a pseudo-terminal whose other end no one reads), and
// succeeds with what went out, as the system's does.
TEST_F(SerialPort, WriteWithATimeoutGivesUpOnALineThatTakesNothing)
{
    int master = -1, slave_end = -1;
    ASSERT_EQ(openpty(&master, &slave_end, NULL, NULL, NULL), 0);
    ASSERT_EQ(symlink(ttyname(slave_end), devices.dir.file("com4").c_str()), 0);
    HANDLE port = open_port("COM4");
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    COMMTIMEOUTS timeouts = {0, 0, 0, 0, 100};
    ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
    static char more_than_a_line_holds[1 << 20];
    DWORD written = 0;
    auto began = std::chrono::steady_clock::now();
    EXPECT_TRUE(WriteFile(port, more_than_a_line_holds, sizeof more_than_a_line_holds, &written,
                          NULL));
    EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(100));
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, sizeof more_than_a_line_holds);
    CloseHandle(port);
    close(slave_end);
    close(master);
}

// As the worker's stop uses them, and as each kind behaves: a manual-reset
// event stays set for every wait until it is reset; an auto-reset one lets
// one wait through and is reset by it. Set twice is set once.
TEST(Events, EachKindSetResetAndWaitedFor)
{
    struct Case {
        BOOL manual, initial;
        DWORD at_start, after_set_twice, next;
    } cases[] = {
        {TRUE, FALSE, WAIT_TIMEOUT, WAIT_OBJECT_0, WAIT_OBJECT_0},
        {TRUE, TRUE, WAIT_OBJECT_0, WAIT_OBJECT_0, WAIT_OBJECT_0},
        {FALSE, FALSE, WAIT_TIMEOUT, WAIT_OBJECT_0, WAIT_TIMEOUT},
        {FALSE, TRUE, WAIT_OBJECT_0, WAIT_OBJECT_0, WAIT_TIMEOUT},
    };
    for (const Case &c : cases) {
        HANDLE event = CreateEventA(NULL, c.manual, c.initial, NULL);
        ASSERT_NE(event, nullptr);
        EXPECT_EQ(WaitForSingleObject(event, 0), c.at_start) << c.manual << c.initial;
        EXPECT_TRUE(SetEvent(event));
        EXPECT_TRUE(SetEvent(event));
        EXPECT_EQ(WaitForSingleObject(event, 0), c.after_set_twice) << c.manual << c.initial;
        EXPECT_EQ(WaitForSingleObject(event, 0), c.next) << c.manual << c.initial;
        EXPECT_TRUE(ResetEvent(event));
        EXPECT_EQ(WaitForSingleObject(event, 10), WAIT_TIMEOUT) << c.manual << c.initial;
        EXPECT_TRUE(CloseHandle(event));
    }
    SetLastError(0xdeadbeef);
    EXPECT_EQ(CreateEventA(NULL, TRUE, FALSE, "named"), nullptr) << "only unnamed ones";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// The name of a port's object is the same for every user, so only where
// objects are the user's own does a second user's process (a script holding
// it) keep nobody off the port; a folder for them that another user made, or
// that others can write in, is not used at all.
TEST(NamedObjects, AreTheUsersOwn)
{
    if (getuid() != 0)
        GTEST_SKIP() << "needs root, to run a process as another user";
    TempDir runtime;
    ASSERT_EQ(chmod(runtime.path.c_str(), 01777), 0); // shared, as /tmp is
    const char *saved = getenv("XDG_RUNTIME_DIR");
    std::string restore = saved ? saved : "";
    setenv("XDG_RUNTIME_DIR", runtime.path.c_str(), 1);
    const char *name = "notchkey COM5";
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t other = fork();
    if (other == 0) {
        HANDLE held = setgid(65534) == 0 && setuid(65534) == 0 ? CreateMutexA(NULL, FALSE, name) : NULL;
        if (held && GetLastError() == ERROR_SUCCESS && write(ready[1], "x", 1) == 1)
            pause();
        _exit(1);
    }
    close(ready[1]);
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1) << "the other user took no object";
    close(ready[0]);
    SetLastError(0xdeadbeef);
    HANDLE mine = CreateMutexA(NULL, FALSE, name);
    EXPECT_NE(mine, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS)) << "another user's holder";
    HANDLE again = CreateMutexA(NULL, FALSE, name);
    EXPECT_NE(again, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    CloseHandle(again);
    CloseHandle(mine);
    kill(other, SIGKILL);
    waitpid(other, nullptr, 0);

    std::string folder = runtime.file("notchkey-0");
    for (uid_t owner : {65534u, 0u}) {
        std::filesystem::remove_all(folder);
        ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
        ASSERT_EQ(chown(folder.c_str(), owner, owner), 0);
        ASSERT_EQ(chmod(folder.c_str(), owner == 0 ? 0777 : 0700), 0);
        SetLastError(0xdeadbeef);
        EXPECT_EQ(CreateMutexA(NULL, FALSE, name), nullptr) << "a folder owned by " << owner;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << owner;
    }
    if (saved)
        setenv("XDG_RUNTIME_DIR", restore.c_str(), 1);
    else
        unsetenv("XDG_RUNTIME_DIR");
}

TEST(Threads, ExitCodesOfReturnExitThreadAndTerminate)
{
    HANDLE returned = CreateThread(NULL, 0, [](LPVOID) -> DWORD { return 7; }, NULL, 0, NULL);
    HANDLE exited = CreateThread(
        NULL, 0, [](LPVOID) -> DWORD { ExitThread(1); }, NULL, 0, NULL);
    HANDLE blocked = CreateThread(
        NULL, 0,
        [](LPVOID) -> DWORD {
            for (;;)
                Sleep(1000);
        },
        NULL, 0, NULL);
    ASSERT_NE(returned, nullptr);
    ASSERT_NE(exited, nullptr);
    ASSERT_NE(blocked, nullptr);
    EXPECT_EQ(wait_thread(returned), 7u);
    EXPECT_EQ(wait_thread(exited), 1u);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(blocked, &code));
    EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_TRUE(TerminateThread(blocked, 0));
    EXPECT_EQ(wait_thread(blocked), 0u);
    // The record outlives the thread until the handle goes.
    ASSERT_TRUE(GetExitCodeThread(exited, &code));
    EXPECT_EQ(code, 1u);
    // The id CreateThread gives is the one the thread sees.
    DWORD id = 0;
    HANDLE self = CreateThread(NULL, 0, [](LPVOID) -> DWORD { return GetCurrentThreadId(); }, NULL,
                               0, &id);
    EXPECT_NE(id, GetCurrentThreadId());
    EXPECT_EQ(wait_thread(self), id);
    for (HANDLE h : {returned, exited, blocked, self})
        EXPECT_TRUE(CloseHandle(h));
}

TEST(Messages, PostedFromAnotherThreadArriveInOrder)
{
    HWND window = make_window();
    struct Post {
        HWND window;
    } post = {window};
    HANDLE poster = CreateThread(
        NULL, 0,
        [](LPVOID p) -> DWORD {
            HWND w = static_cast<Post *>(p)->window;
            PostMessageA(w, WM_APP + 101, 0, 0);
            PostMessageA(w, WM_APP + 1, 2, 3);
            return 0;
        },
        &post, 0, NULL);
    EXPECT_EQ(wait_thread(poster), 0u);
    CloseHandle(poster);
    MSG msg;
    ASSERT_TRUE(wait_message(&msg));
    EXPECT_EQ(msg.hwnd, window);
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_APP + 101));
    ASSERT_TRUE(GetMessageA(&msg, NULL, 0, 0));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_APP + 1));
    EXPECT_EQ(msg.wParam, 2u);
    EXPECT_EQ(msg.lParam, 3);
    EXPECT_FALSE(PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE));

    DestroyWindow(window);
    SetLastError(0);
    EXPECT_FALSE(PostMessageA(window, WM_APP, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

TEST(MessageBox, OneLineOnStandardErrorAnsweredAtOnce)
{
    StderrCapture err;
    EXPECT_EQ(MessageBoxA(NULL, "COM9 is invalid COM port.", "Lever to keys!", MB_ICONWARNING), IDOK);
    EXPECT_EQ(err.text(), "Lever to keys!: COM9 is invalid COM port.\n");
}

} // namespace
