#include "support.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

// The test programs' entry is GoogleTest's: what the program's entry sets up
// for every device (a reader that goes away loses packets, it does not end
// the process) is set up here.
[[maybe_unused]] static const bool g_sigpipe_ignored = signal(SIGPIPE, SIG_IGN) != SIG_ERR;

TempDir::TempDir()
{
    std::string pattern = std::filesystem::temp_directory_path().string() + "/notchkey-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data()))
        abort();
    path = buffer.data();
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

DeviceDir::DeviceDir()
{
    setenv("NOTCHKEY_DEVICES", dir.path.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", dir.path.c_str(), 1);
}

DeviceDir::~DeviceDir()
{
    unsetenv("NOTCHKEY_DEVICES");
    unsetenv("XDG_RUNTIME_DIR");
}

std::string DeviceDir::make_capture() const
{
    std::string capture = dir.file("keytap.vxd");
    write_file(capture, "");
    return capture;
}

StderrCapture::StderrCapture()
{
    char name[] = "/tmp/notchkey-stderr-XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0)
        abort();
    path = name;
    fflush(stderr);
    saved_fd = dup(2);
    dup2(fd, 2);
    close(fd);
}

StderrCapture::~StderrCapture()
{
    fflush(stderr);
    dup2(saved_fd, 2);
    close(saved_fd);
    unlink(path.c_str());
}

std::string StderrCapture::text() const
{
    fflush(stderr);
    return read_file(path);
}

bool same_termios(const struct termios &a, const struct termios &b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 &&
           cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b);
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string first_line(const std::string &text)
{
    return text.substr(0, text.find('\n') + 1);
}

std::vector<std::string> read_lines(const std::string &path)
{
    std::vector<std::string> lines;
    std::istringstream in(read_file(path));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

void write_file(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::vector<std::string> wait_packets(const std::string &capture, size_t n, int timeout_ms)
{
    std::vector<std::string> lines;
    wait_for([&] { return (lines = read_lines(capture)).size() >= n; }, timeout_ms);
    return lines;
}

long io_count(const std::string &path, const char *field)
{
    std::istringstream io(read_file(path));
    std::string name = std::string(field) + ":";
    for (std::string line; std::getline(io, line);)
        if (line.rfind(name, 0) == 0)
            return atol(line.c_str() + name.size());
    return -1;
}

bool waiting_in_the_layer(DWORD thread_id)
{
    std::string task = "/proc/self/task/" + std::to_string(thread_id);
    std::string stat = read_file(task + "/stat");
    size_t end = stat.rfind(')');
    if (end == std::string::npos || end + 2 >= stat.size() || stat[end + 2] != 'S')
        return false;
    std::string where = read_file(task + "/wchan");
    for (const char *wait : {"poll", "n_tty_read", "wait_woken", "pipe_write"})
        if (where.find(wait) != std::string::npos)
            return true;
    return false;
}

int pending_input(const char *tty)
{
    int fd = open(tty, O_RDWR | O_NOCTTY | O_CLOEXEC);
    int n = -1;
    if (fd >= 0 && ioctl(fd, TIOCINQ, &n) != 0)
        n = -1;
    if (fd >= 0)
        close(fd);
    return n;
}

HWND make_window()
{
    static ATOM atom = [] {
        WNDCLASSEXA window_class = {};
        window_class.cbSize = sizeof window_class;
        window_class.lpfnWndProc = DefWindowProcA;
        window_class.lpszClassName = "notchkey test window";
        return RegisterClassExA(&window_class);
    }();
    if (!atom)
        return NULL;
    return CreateWindowExA(0, "notchkey test window", "", 0, 0, 0, 0, 0, NULL, NULL, NULL, NULL);
}

bool wait_message(MSG *msg, int timeout_ms)
{
    return wait_for([&] { return PeekMessageA(msg, NULL, 0, 0, PM_REMOVE) != FALSE; },
                    timeout_ms);
}

DWORD wait_thread(HANDLE thread, int timeout_ms)
{
    DWORD code = STILL_ACTIVE;
    wait_for([&] { return GetExitCodeThread(thread, &code) && code != STILL_ACTIVE; },
             timeout_ms);
    return code;
}

HANDLE create_thread_masked(LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD *id)
{
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    HANDLE thread = CreateThread(NULL, 0, start, parameter, 0, id);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return thread;
}
