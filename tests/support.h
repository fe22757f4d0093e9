// What the tests share: scratch folders, a captured standard error, the
// capture driver's packets, and waiting with a deadline instead of sleeping.
#pragma once

#include <windows.h>

#include <termios.h>

#include <chrono>
#include <string>
#include <vector>

// A fresh folder under the system's temporary one, removed with its contents.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    std::string file(const std::string &name) const { return path + "/" + name; }
};

// Points the platform layer's device names at a folder for the life of the
// object: COMn is DIR/comn, the driver DIR/keytap.vxd; and its named objects,
// which then go with it.
struct DeviceDir {
    TempDir dir;
    DeviceDir();
    ~DeviceDir();
    // An empty regular file as driver entry: every packet becomes a line.
    std::string make_capture() const;
};

// Standard error goes to a file while the object lives.
struct StderrCapture {
    int saved_fd = -1;
    std::string path;
    StderrCapture();
    ~StderrCapture();
    std::string text() const;
};

std::string read_file(const std::string &path);
// A box's first line on standard error, with its newline: the setting's own
// message, without the line of what the setting takes.
std::string first_line(const std::string &text);
std::vector<std::string> read_lines(const std::string &path);
void write_file(const std::string &path, const std::string &text);

// Every terminal setting, speeds included.
bool same_termios(const struct termios &a, const struct termios &b);

// Polls until cond() holds or timeout_ms passes; returns the last cond().
template <typename Cond> bool wait_for(Cond cond, int timeout_ms = 5000)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        if (cond())
            return true;
        Sleep(2);
    }
    return cond();
}

// The capture driver's packets once there are at least n of them.
std::vector<std::string> wait_packets(const std::string &capture, size_t n, int timeout_ms = 5000);

// A counter of /proc's io accounting ("rchar", "syscw", ...) at path, e.g.
// /proc/self/task/TID/io for one thread; -1 when it cannot be read.
long io_count(const std::string &path, const char *field);
// The thread (of this process) is asleep where the platform layer waits: in
// poll(), or in the read or write of a tty or a pipe that waits itself;
// rather than running or blocked elsewhere.
bool waiting_in_the_layer(DWORD thread_id);
// What has arrived at a tty and is not read yet.
int pending_input(const char *tty);

// A bare window of this thread, for messages to be posted to; DestroyWindow
// ends it.
HWND make_window();

// Takes the next message posted to this thread, waiting up to timeout_ms.
bool wait_message(MSG *msg, int timeout_ms = 5000);

// Waits until the thread has ended; returns its exit code, or STILL_ACTIVE.
DWORD wait_thread(HANDLE thread, int timeout_ms = 5000);

// CreateThread as the program's worker is made: from a thread that blocks
// every signal (the program's first blocks those it takes by sigwait), whose
// mask the new thread inherits.
HANDLE create_thread_masked(LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD *id);
