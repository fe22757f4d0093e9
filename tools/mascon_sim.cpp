#include "mascon_sim.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

const char k_reset[] = "RESET\r";
const int k_reset_len = 6;

} // namespace

struct MasconSim {
    int master = -1;
    int slave = -1;
    int stop_pipe[2] = {-1, -1}; // written once at hangup, never drained
    int answered_fd = -1;        // an eventfd counting RESETs answered (or seen, when silent)
    std::string slave_path;
    std::string link_path;
    bool restore_port = false; // a real port, whose settings we found in port_settings
    termios port_settings;

    SimAnswer answer = SIM_ANSWER_LEVER_GSTATE;
    std::string answer_bytes; // guarded by mutex: sim_set_answer changes it
    int answer_delay_ms = 0;

    std::thread reader;
    std::mutex write_mutex; // guards master against hangup and serialises writes

    mutable std::mutex mutex; // guards everything below
    std::condition_variable changed;
    std::string received;
    int reset_match = 0; // bytes of "RESET\r" matched at the end of received
    int resets_seen = 0;
    int resets_done = 0; // seen and answered
    bool hung_up = false;
};

namespace {

void report(const char *what, const char *detail)
{
    fprintf(stderr, "mascon-sim: %s%s%s\n", what, detail ? ": " : "", detail ? detail : "");
}

int ms_until(Clock::time_point when)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now()).count();
    // Round up so the deadline has passed when poll returns.
    return left < 0 ? 0 : static_cast<int>(left) + 1;
}

bool write_all(MasconSim *sim, const char *p, size_t len)
{
    std::lock_guard<std::mutex> lock(sim->write_mutex);
    if (sim->master < 0)
        return false;
    while (len > 0) {
        ssize_t n = write(sim->master, p, len);
        if (n > 0) {
            p += n;
            len -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
        // The host is not reading and the line is full: wait for room, but
        // give up at once if the line is being hung up meanwhile.
        pollfd fds[2] = {{sim->master, POLLOUT, 0}, {sim->stop_pipe[0], POLLIN, 0}};
        if (poll(fds, 2, 50) < 0 && errno != EINTR)
            return false;
        if (fds[1].revents)
            return false;
    }
    return true;
}

// Records bytes from the host; returns how many "RESET\r" they completed.
int record(MasconSim *sim, const char *p, size_t len)
{
    int found = 0;
    std::lock_guard<std::mutex> lock(sim->mutex);
    sim->received.append(p, len);
    for (size_t i = 0; i < len; ++i) {
        // "RESET\r" has no prefix that is also a suffix, so a mismatch can
        // only restart the match at this very byte.
        if (p[i] == k_reset[sim->reset_match])
            ++sim->reset_match;
        else
            sim->reset_match = p[i] == k_reset[0] ? 1 : 0;
        if (sim->reset_match == k_reset_len) {
            sim->reset_match = 0;
            ++found;
        }
    }
    sim->resets_seen += found;
    if (found > 0 && sim->answer == SIM_ANSWER_SILENT) {
        sim->resets_done += found;
        sim->changed.notify_all();
        eventfd_write(sim->answered_fd, static_cast<eventfd_t>(found));
    }
    return found;
}

void reader_main(MasconSim *sim)
{
    std::deque<Clock::time_point> answers_due;
    bool line_failed = false;
    char buf[512];
    for (;;) {
        int timeout = answers_due.empty() ? -1 : ms_until(answers_due.front());
        pollfd fds[2] = {{sim->stop_pipe[0], POLLIN, 0}, {sim->master, POLLIN, 0}};
        // After a read failure only wait for the deadline or the stop, so a
        // dead master cannot turn this loop into a spin.
        int rc = poll(fds, line_failed ? 1 : 2, line_failed && timeout < 0 ? 100 : timeout);
        if (rc < 0 && errno != EINTR) {
            report("poll", strerror(errno));
            return;
        }
        if (fds[0].revents)
            return;
        if (!line_failed && fds[1].revents) {
            ssize_t n = read(sim->master, buf, sizeof buf);
            if (n > 0) {
                int found = record(sim, buf, static_cast<size_t>(n));
                if (sim->answer != SIM_ANSWER_SILENT)
                    for (int i = 0; i < found; ++i)
                        answers_due.push_back(Clock::now() + std::chrono::milliseconds(sim->answer_delay_ms));
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
                line_failed = true;
            }
        } else if (line_failed && rc == 0 && answers_due.empty()) {
            line_failed = false; // try the line again now and then
        }
        while (!answers_due.empty() && answers_due.front() <= Clock::now()) {
            answers_due.pop_front();
            std::string answer;
            {
                std::lock_guard<std::mutex> lock(sim->mutex);
                answer = sim->answer_bytes;
            }
            if (!write_all(sim, answer.data(), answer.size()))
                continue; // the waiter times out: the answer never went out
            std::lock_guard<std::mutex> lock(sim->mutex);
            ++sim->resets_done;
            sim->changed.notify_all();
            eventfd_write(sim->answered_fd, 1);
        }
    }
}

bool make_link(MasconSim *sim, const char *dir, int com_number)
{
    sim->link_path = std::string(dir) + "/com" + std::to_string(com_number);
    const char *path = sim->link_path.c_str();
    struct stat st;
    if (lstat(path, &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            report("not a link, left alone", path);
            sim->link_path.clear();
            return false;
        }
        unlink(path);
    }
    if (symlink(sim->slave_path.c_str(), path) != 0) {
        report(path, strerror(errno));
        sim->link_path.clear();
        return false;
    }
    return true;
}

void remove_link(MasconSim *sim)
{
    if (sim->link_path.empty())
        return;
    sim_unlink_if_ours(sim->link_path.c_str(), sim->slave_path.c_str());
    sim->link_path.clear();
}

// TCSANOW: draining could wait for ever on a port nobody reads.
void close_master(MasconSim *sim)
{
    if (sim->restore_port)
        tcsetattr(sim->master, TCSANOW, &sim->port_settings);
    close(sim->master);
    sim->master = -1;
}

void free_sim(MasconSim *sim)
{
    remove_link(sim);
    if (sim->master >= 0)
        close_master(sim);
    if (sim->slave >= 0)
        close(sim->slave);
    for (int fd : sim->stop_pipe)
        if (fd >= 0)
            close(fd);
    if (sim->answered_fd >= 0)
        close(sim->answered_fd);
    delete sim;
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

void set_lever_gstate(MasconSim *sim, const char *lever, const char *gstate)
{
    SimOptions defaults;
    sim->answer_bytes = lever ? lever : defaults.lever;
    sim->answer_bytes += gstate ? gstate : defaults.gstate;
}

MasconSim *new_sim(const SimOptions &opt)
{
    if (opt.answer == SIM_ANSWER_RAW && !opt.raw_answer && opt.raw_answer_len > 0) {
        report("raw answer without bytes", nullptr);
        return nullptr;
    }
    MasconSim *sim = new MasconSim;
    sim->answered_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    sim->answer = opt.answer;
    sim->answer_delay_ms = opt.answer_delay_ms > 0 ? opt.answer_delay_ms : 0;
    if (opt.answer == SIM_ANSWER_LEVER_GSTATE)
        set_lever_gstate(sim, opt.lever, opt.gstate);
    else if (opt.answer == SIM_ANSWER_RAW && opt.raw_answer_len > 0)
        sim->answer_bytes.assign(opt.raw_answer, opt.raw_answer_len);
    return sim;
}

} // namespace

MasconSim *sim_open(const char *dir, int com_number, const SimOptions *options)
{
    SimOptions defaults;
    const SimOptions &opt = options ? *options : defaults;
    if (opt.answer == SIM_ANSWER_RAW && !opt.raw_answer && opt.raw_answer_len > 0) {
        report("raw answer without bytes", nullptr);
        return nullptr;
    }
    if (dir && com_number < 0) {
        report("bad port number", nullptr);
        return nullptr;
    }

    MasconSim *sim = new_sim(opt);

    // Close-on-exec throughout: a child holding a copy of the master would
    // keep the line up after our hangup.
    sim->master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (sim->master < 0) {
        report("posix_openpt", strerror(errno));
        free_sim(sim);
        return nullptr;
    }
    char name[128];
    if (grantpt(sim->master) != 0 || unlockpt(sim->master) != 0
        || ptsname_r(sim->master, name, sizeof name) != 0) {
        report("pseudo-terminal setup", strerror(errno));
        free_sim(sim);
        return nullptr;
    }
    sim->slave_path = name;
    sim->slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (sim->slave < 0) {
        report(name, strerror(errno));
        free_sim(sim);
        return nullptr;
    }
    termios tio;
    if (tcgetattr(sim->slave, &tio) != 0) {
        report("tcgetattr", strerror(errno));
        free_sim(sim);
        return nullptr;
    }
    cfmakeraw(&tio);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(sim->slave, TCSANOW, &tio) != 0) {
        report("tcsetattr", strerror(errno));
        free_sim(sim);
        return nullptr;
    }
    int flags = fcntl(sim->master, F_GETFL);
    if (flags < 0 || fcntl(sim->master, F_SETFL, flags | O_NONBLOCK) != 0
        || pipe2(sim->stop_pipe, O_CLOEXEC) != 0) {
        report("fcntl/pipe", strerror(errno));
        free_sim(sim);
        return nullptr;
    }
    if (dir && !make_link(sim, dir, com_number)) {
        free_sim(sim);
        return nullptr;
    }
    sim->reader = std::thread(reader_main, sim);
    return sim;
}

MasconSim *sim_open_port(const char *path, const SimOptions *options)
{
    SimOptions defaults;
    MasconSim *sim = new_sim(options ? *options : defaults);
    if (!sim)
        return nullptr;
    sim->slave_path = path;
    // Non-blocking, so a port without carrier opens at once; the reader
    // polls anyway.
    sim->master = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (sim->master < 0) {
        report(path, strerror(errno));
        free_sim(sim);
        return nullptr;
    }
    if (tcgetattr(sim->master, &sim->port_settings) != 0) {
        report(path, errno == ENOTTY ? "not a serial port" : strerror(errno));
        free_sim(sim);
        return nullptr;
    }
    sim->restore_port = true;
    termios tio = sim->port_settings;
    cfmakeraw(&tio);
    tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    // tcsetattr succeeds if any of it took, so the result is read back.
    termios got;
    if (cfsetispeed(&tio, B19200) != 0 || cfsetospeed(&tio, B19200) != 0
        || tcsetattr(sim->master, TCSANOW, &tio) != 0 || tcgetattr(sim->master, &got) != 0
        || cfgetospeed(&got) != B19200 || (got.c_cflag & (CSIZE | PARENB | CSTOPB)) != CS8) {
        report(path, "cannot set 19200 baud 8N1");
        free_sim(sim);
        return nullptr;
    }
    if (pipe2(sim->stop_pipe, O_CLOEXEC) != 0) {
        report("pipe", strerror(errno));
        free_sim(sim);
        return nullptr;
    }
    sim->reader = std::thread(reader_main, sim);
    return sim;
}

const char *sim_slave_path(const MasconSim *sim)
{
    return sim->slave_path.c_str();
}

const char *sim_link_path(const MasconSim *sim)
{
    return sim->link_path.c_str();
}

bool sim_send(MasconSim *sim, const void *bytes, size_t len)
{
    return write_all(sim, static_cast<const char *>(bytes), len);
}

void sim_unlink_if_ours(const char *link, const char *slave)
{
    char target[PATH_MAX];
    ssize_t n = link[0] ? readlink(link, target, sizeof target - 1) : -1;
    if (n < 0)
        return;
    target[n] = '\0';
    if (strcmp(target, slave) == 0)
        unlink(link);
}

long sim_send_some(MasconSim *sim, const void *bytes, size_t len)
{
    std::lock_guard<std::mutex> lock(sim->write_mutex);
    if (sim->master < 0)
        return -1;
    ssize_t n = write(sim->master, bytes, len);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return 0;
    return n;
}

int sim_line_fd(const MasconSim *sim) { return sim->master; }

int sim_answered_fd(const MasconSim *sim) { return sim->answered_fd; }

bool sim_send_message(MasconSim *sim, const char *message)
{
    size_t len = strlen(message);
    if (len != 5)
        return sim_send(sim, message, len);
    char line[6];
    memcpy(line, message, 5);
    line[5] = '\r';
    return sim_send(sim, line, sizeof line);
}

bool sim_set_answer(MasconSim *sim, const char *lever, const char *gstate)
{
    std::lock_guard<std::mutex> lock(sim->mutex);
    if (sim->answer != SIM_ANSWER_LEVER_GSTATE)
        return false;
    set_lever_gstate(sim, lever, gstate);
    return true;
}

bool sim_wait_resets(MasconSim *sim, int count, int timeout_ms)
{
    std::unique_lock<std::mutex> lock(sim->mutex);
    auto ready = [&] { return sim->resets_done >= count || sim->hung_up; };
    if (timeout_ms < 0)
        sim->changed.wait(lock, ready);
    else
        sim->changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), ready);
    return sim->resets_done >= count;
}

bool sim_wait_reset(MasconSim *sim, int timeout_ms)
{
    return sim_wait_resets(sim, 1, timeout_ms);
}

int sim_reset_count(const MasconSim *sim)
{
    std::lock_guard<std::mutex> lock(sim->mutex);
    return sim->resets_seen;
}

size_t sim_received(const MasconSim *sim, char *out, size_t cap)
{
    std::lock_guard<std::mutex> lock(sim->mutex);
    size_t n = sim->received.size() < cap ? sim->received.size() : cap;
    if (n > 0)
        memcpy(out, sim->received.data(), n);
    return sim->received.size();
}

void sim_hangup(MasconSim *sim)
{
    {
        std::lock_guard<std::mutex> lock(sim->mutex);
        if (sim->hung_up)
            return;
        sim->hung_up = true;
    }
    // Also releases a sim_send waiting for room on a full line.
    ssize_t rc;
    do {
        rc = write(sim->stop_pipe[1], "x", 1);
    } while (rc < 0 && errno == EINTR);
    if (sim->reader.joinable())
        sim->reader.join();
    {
        std::lock_guard<std::mutex> lock(sim->write_mutex);
        close_master(sim);
    }
    std::lock_guard<std::mutex> lock(sim->mutex);
    sim->changed.notify_all();
}

void sim_close(MasconSim *sim)
{
    if (!sim)
        return;
    sim_hangup(sim);
    free_sim(sim);
}

long sim_unescape(const char *text, char *out, size_t cap)
{
    size_t n = 0;
    for (const char *p = text; *p; ++p) {
        char c = *p;
        if (c == '\\') {
            ++p;
            switch (*p) {
            case 'r': c = '\r'; break;
            case 'n': c = '\n'; break;
            case 't': c = '\t'; break;
            case '\\': c = '\\'; break;
            case 'x': {
                int hi = hex_digit(p[1]);
                int lo = hi < 0 ? -1 : hex_digit(p[2]);
                if (lo < 0)
                    return -1;
                c = static_cast<char>(hi * 16 + lo);
                p += 2;
                break;
            }
            default:
                return -1; // includes a lone trailing backslash
            }
        }
        if (n == cap)
            return -1;
        out[n++] = c;
    }
    return static_cast<long>(n);
}
