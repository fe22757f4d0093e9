// The interactive mascon. Only the main thread touches the screen. Messages
// go out on a sender thread, so a host that stops reading can fill the line
// without freezing the keyboard, and a watcher thread follows the host's
// RESETs; both, and the signal handlers, wake the main loop through a pipe.

#include "mascon_sim_tui.h"

#include "mascon_sim.h"

#include <curses.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

const int k_lever_count = 16;
const char k_buttons[4] = {'K', 'X', 'Y', 'Z'};
const int k_full_cols = 80;
const int k_full_rows = 24;
const size_t k_log_keep = 1000;
// A message queued longer than this means the host has stopped reading.
const int k_stuck_ms = 250;

enum EventKind { EVENT_SENT, EVENT_NOT_SENT, EVENT_RESET };

struct Event {
    EventKind kind;
    std::string message;
    std::string note;
    timespec when;
};

struct Outgoing {
    std::string message;
    std::string note;
    Clock::time_point queued;
};

MasconSim *g_sim = nullptr;      // the line
int g_lever = 6;                 // lever position, 0 to 15
bool g_pressed[4] = {};          // K X Y Z held down
int g_gstate = 2;                // index into gstate_messages
bool g_silent = false;           // RESETs go unanswered
int g_resets = 0;                // RESETs the watcher has reported
std::deque<std::string> g_log;   // what went over the line, newest last
std::string g_trouble;           // the last thing that went wrong, until a send succeeds
std::string g_device;            // the line as the header names it
bool g_colours = false;          // the terminal has colours

int g_wake[2] = {-1, -1};                 // self-pipe: threads and signal handlers wake the main loop
volatile sig_atomic_t g_quit_signal = 0;  // SIGINT, SIGTERM or SIGHUP arrived
volatile sig_atomic_t g_resized = 0;      // SIGWINCH arrived

std::mutex g_mutex;                 // guards the four below
std::condition_variable g_queued;   // something was queued, or g_stopping set
std::deque<Outgoing> g_outgoing;    // the front one is being sent
std::deque<Event> g_events;         // for the main loop to log
bool g_stopping = false;            // the sender must end

// A message as the screen shows it: its five characters, without the "\r".
std::string shown_name(const char *message) { return std::string(message, MASCON_MESSAGE_LEN - 1); }

void wake()
{
    // A full pipe already holds a wake-up.
    ssize_t rc = write(g_wake[1], "x", 1);
    (void)rc;
}

void on_signal(int sig)
{
    int saved = errno;
    if (sig == SIGWINCH)
        g_resized = 1;
    else
        g_quit_signal = 1;
    wake();
    errno = saved;
}

timespec wall_now()
{
    timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return t;
}

std::string stamp(const timespec &t)
{
    tm local;
    time_t seconds = t.tv_sec;
    localtime_r(&seconds, &local);
    char text[32];
    snprintf(text, sizeof text, "%02d:%02d:%02d.%03ld", local.tm_hour, local.tm_min,
             local.tm_sec, t.tv_nsec / 1000000);
    return text;
}

void post(const Event &event)
{
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_events.push_back(event);
    }
    wake();
}

void sender_main()
{
    for (;;) {
        Outgoing out;
        {
            std::unique_lock<std::mutex> lock(g_mutex);
            g_queued.wait(lock, [] { return g_stopping || !g_outgoing.empty(); });
            if (g_stopping)
                return;
            out = g_outgoing.front();
        }
        bool sent = sim_send_message(g_sim, out.message.c_str());
        timespec when = wall_now();
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            g_outgoing.pop_front();
            g_events.push_back({sent ? EVENT_SENT : EVENT_NOT_SENT, out.message, out.note, when});
        }
        wake();
    }
}

// Ends when the line is hung up.
void watcher_main()
{
    for (int n = 1; sim_wait_resets(g_sim, n, -1); ++n)
        post({EVENT_RESET, "", "", wall_now()});
}

void queue(const char *message, const std::string &note)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_outgoing.push_back({message, note, Clock::now()});
    g_queued.notify_one();
}

std::string answer_text()
{
    return shown_name(lever_messages[g_lever]) + " " + shown_name(gstate_messages[g_gstate]);
}

void update_answer()
{
    sim_set_answer(g_sim, lever_messages[g_lever], gstate_messages[g_gstate]);
}

void log_line(const timespec &when, const std::string &text)
{
    g_log.push_back(stamp(when) + " " + text);
    if (g_log.size() > k_log_keep)
        g_log.pop_front();
}

void take_events()
{
    std::deque<Event> events;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        events.swap(g_events);
    }
    for (const Event &e : events) {
        switch (e.kind) {
        case EVENT_SENT:
            log_line(e.when, "> " + shown_name(e.message.c_str()) + "  " + e.note);
            g_trouble.clear();
            break;
        case EVENT_NOT_SENT:
            log_line(e.when, "! " + shown_name(e.message.c_str()) + " not sent");
            g_trouble = "cannot send: the line is down";
            break;
        case EVENT_RESET:
            ++g_resets;
            if (g_silent) {
                log_line(e.when, "< RESET  unanswered");
            } else {
                log_line(e.when, "< RESET");
                log_line(e.when, "> " + answer_text() + "  answer");
            }
            break;
        }
    }
}

// What the status line says about a stuck line; sets how long the main loop
// may sleep before it must look again.
std::string waiting_note(int *timeout_ms)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    *timeout_ms = -1;
    if (g_outgoing.empty())
        return "";
    auto age = std::chrono::duration_cast<std::chrono::milliseconds>(
                   Clock::now() - g_outgoing.front().queued).count();
    if (age < k_stuck_ms) {
        *timeout_ms = static_cast<int>(k_stuck_ms - age) + 1;
        return "";
    }
    return std::to_string(g_outgoing.size()) + " waiting: the host is not reading";
}

void move_lever(int to)
{
    to = to < 0 ? 0 : to >= k_lever_count ? k_lever_count - 1 : to;
    if (to == g_lever)
        return; // against the end stop: the lever does not move
    g_lever = to;
    update_answer();
    queue(lever_messages[g_lever], "lever " + std::to_string(g_lever));
}

void toggle_button(int i)
{
    g_pressed[i] = !g_pressed[i];
    queue(button_messages[2 * i + (g_pressed[i] ? 0 : 1)],
          std::string(1, k_buttons[i]) + (g_pressed[i] ? " pressed" : " released"));
}

void cycle_gstate()
{
    g_gstate = (g_gstate + 1) % 3;
    update_answer();
    queue(gstate_messages[g_gstate], "G-state");
}

// False to quit.
bool handle_key(int key)
{
    switch (key) {
    case KEY_UP:
    case KEY_LEFT:
        move_lever(g_lever - 1);
        break;
    case KEY_DOWN:
    case KEY_RIGHT:
        move_lever(g_lever + 1);
        break;
    case KEY_PPAGE:
    case KEY_HOME:
    case KEY_FIND: // what some terminals call Home
        move_lever(0);
        break;
    case KEY_NPAGE:
    case KEY_END:
    case KEY_SELECT: // and End
        move_lever(k_lever_count - 1);
        break;
    case 'k': case 'K': toggle_button(0); break;
    case 'x': case 'X': toggle_button(1); break;
    case 'y': case 'Y': toggle_button(2); break;
    case 'z': case 'Z': toggle_button(3); break;
    case 'g': case 'G': cycle_gstate(); break;
    case 'r':
    case 'R':
        queue(lever_messages[g_lever], "lever " + std::to_string(g_lever) + " again");
        break;
    case 'q':
    case 'Q':
    case 3: // Ctrl-C, a key in raw mode
        return false;
    case 12: // Ctrl-L
        clearok(curscr, TRUE);
        break;
    default:
        break;
    }
    return true;
}

// Clipped to the screen and to width; padded with blanks to width when pad.
void put(int y, int x, const std::string &text, int width, attr_t attr = A_NORMAL, bool pad = false)
{
    if (y < 0 || y >= LINES || x < 0 || x >= COLS)
        return;
    if (x + width > COLS)
        width = COLS - x;
    if (width <= 0)
        return;
    std::string shown = text.substr(0, static_cast<size_t>(width));
    if (pad)
        shown.resize(static_cast<size_t>(width), ' ');
    attron(attr);
    mvaddstr(y, x, shown.c_str());
    attroff(attr);
}

// Long paths keep their informative end.
std::string tail(const std::string &text, int width)
{
    if (width <= 3 || static_cast<int>(text.size()) <= width)
        return text;
    return "..." + text.substr(text.size() - static_cast<size_t>(width - 3));
}

attr_t lever_attr()
{
    return (g_colours ? COLOR_PAIR(1) : A_REVERSE) | A_BOLD;
}

attr_t pressed_attr()
{
    return (g_colours ? COLOR_PAIR(2) : A_REVERSE) | A_BOLD;
}

void draw_bars(const std::string &help)
{
    put(0, 0, " mascon-sim: a simulated mascon", COLS, A_REVERSE, true);
    std::string resets = "RESETs from the host: " + std::to_string(g_resets) + " ";
    put(0, COLS - static_cast<int>(resets.size()), resets, static_cast<int>(resets.size()), A_REVERSE);
    put(1, 1, tail(g_device, COLS - 2), COLS - 2);
    put(LINES - 1, 0, help, COLS, A_REVERSE, true);
}

void draw_log(int top, int bottom, int x)
{
    int rows = bottom - top + 1;
    if (g_log.empty()) {
        put(top, x, "(nothing sent yet)", COLS - x, A_DIM);
        return;
    }
    size_t first = g_log.size() > static_cast<size_t>(rows) ? g_log.size() - static_cast<size_t>(rows) : 0;
    for (size_t i = first; i < g_log.size(); ++i)
        put(top + static_cast<int>(i - first), x, g_log[i], COLS - x);
}

void draw_full(const std::string &status)
{
    const int lever_x = 2, middle_x = 22, log_x = 44, top = 4;
    std::string help = " Up/Down lever  Home/End ends  k x y z buttons  g G-state  r resend  q quit";
    std::string longer = " Up/Down lever  Home/End PgUp/PgDn ends  k x y z buttons  g G-state"
                         "  r resend  q quit";
    draw_bars(COLS > static_cast<int>(longer.size()) ? longer : help);
    put(3, lever_x, "LEVER", 10, A_BOLD);
    put(3, middle_x, "BUTTONS", 10, A_BOLD);
    put(3, log_x, "LOG", 10, A_BOLD);
    for (int i = 0; i < k_lever_count; ++i) {
        bool here = i == g_lever;
        char row[32];
        snprintf(row, sizeof row, "%s%2d  %.5s%s", here ? ">" : " ", i, lever_messages[i],
                 here ? " <" : "  ");
        put(top + i, lever_x - 1, row, 12, here ? lever_attr() : A_NORMAL);
    }
    for (int i = 0; i < 4; ++i) {
        std::string text = std::string(" ") + k_buttons[i] + (g_pressed[i] ? "  pressed " : "  released");
        put(top + i, middle_x - 1, text, 12, g_pressed[i] ? pressed_attr() : A_NORMAL);
    }
    put(top + 5, middle_x, "G-STATE", 10, A_BOLD);
    for (int i = 0; i < 3; ++i) {
        bool here = i == g_gstate;
        std::string text = std::string(here ? ">" : " ") + " " + shown_name(gstate_messages[i]) +
                           (here ? " <" : "  ");
        put(top + 6 + i, middle_x - 1, text, 9, here ? lever_attr() : A_NORMAL);
    }
    put(top + 10, middle_x, "ANSWER TO RESET", 16, A_BOLD);
    put(top + 11, middle_x, g_silent ? "none (--silent)" : answer_text(), 16);
    for (int y = 3; y <= LINES - 3; ++y)
        mvaddch(y, log_x - 2, '|'); // plain: line drawing depends on the locale
    draw_log(top, LINES - 3, log_x);
    put(LINES - 2, 1, status, COLS - 2, A_BOLD);
}

// Keys keep working in a small window; only the picture shrinks.
void draw_small(const std::string &status)
{
    draw_bars(" arrows, PgUp/PgDn, k x y z, g, r, q");
    std::string state = "lever " + std::to_string(g_lever) + " " + shown_name(lever_messages[g_lever]) + "  ";
    for (int i = 0; i < 4; ++i)
        state += std::string(1, k_buttons[i]) + (g_pressed[i] ? "* " : "- ");
    state += shown_name(gstate_messages[g_gstate]);
    put(2, 1, state, COLS - 2, A_BOLD);
    put(3, 1, "(" + std::to_string(k_full_cols) + "x" + std::to_string(k_full_rows)
                  + " shows the whole mascon)", COLS - 2, A_DIM);
    if (!status.empty())
        put(4, 1, status, COLS - 2, A_BOLD);
    draw_log(status.empty() ? 4 : 5, LINES - 2, 1);
}

void draw(const std::string &status)
{
    erase();
    if (COLS >= k_full_cols && LINES >= k_full_rows)
        draw_full(status);
    else
        draw_small(status);
    refresh();
}

void follow_resize()
{
    winsize size;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 0)
        resizeterm(size.ws_row, size.ws_col);
    clearok(curscr, TRUE);
}

void start_screen()
{
    raw();
    noecho();
    nonl();
    keypad(stdscr, TRUE);
    nodelay(stdscr, TRUE);
    set_escdelay(25); // Esc means nothing here; arrows must not lag
    curs_set(0);
    if (has_colors() && start_color() == OK) {
        use_default_colors(); // keeps a light terminal light
        g_colours = true;
        init_pair(1, COLOR_BLACK, COLOR_YELLOW);
        init_pair(2, COLOR_BLACK, COLOR_GREEN);
    }
}

void main_loop()
{
    for (;;) {
        take_events();
        int timeout_ms = -1;
        std::string status = waiting_note(&timeout_ms);
        if (status.empty())
            status = g_trouble;
        draw(status);

        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {g_wake[0], POLLIN, 0}};
        if (poll(fds, 2, timeout_ms) < 0 && errno != EINTR)
            return;
        if (fds[1].revents & POLLIN) {
            char buf[64];
            while (read(g_wake[0], buf, sizeof buf) > 0) {
            }
        }
        if (g_quit_signal)
            return;
        if (g_resized) {
            g_resized = 0;
            follow_resize();
        }
        // Drained to the end: keys curses has buffered would not wake poll.
        for (int key = getch(); key != ERR; key = getch())
            if (!handle_key(key))
                return;
        if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL))
            return; // the terminal has gone
    }
}

void stop_threads(std::thread *sender, std::thread *watcher)
{
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_stopping = true;
        g_queued.notify_all();
    }
    // Also frees a send stuck on a full line, and ends the watcher.
    sim_hangup(g_sim);
    if (sender->joinable())
        sender->join();
    if (watcher->joinable())
        watcher->join();
}

} // namespace

int run_interactive(const InteractiveOptions *options)
{
    if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) {
        fprintf(stderr, "mascon-sim: --interactive needs a terminal\n");
        return 2;
    }
    if (pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        fprintf(stderr, "mascon-sim: pipe: %s\n", strerror(errno));
        return 1;
    }
    g_lever = options->lever;
    g_gstate = options->gstate;
    g_silent = options->silent;

    SimOptions sim_options;
    sim_options.lever = lever_messages[g_lever];
    sim_options.gstate = gstate_messages[g_gstate];
    sim_options.answer = g_silent ? SIM_ANSWER_SILENT : SIM_ANSWER_LEVER_GSTATE;
    sim_options.answer_delay_ms = options->answer_delay_ms;

    // Blocked while the threads start, so the handlers run on this one.
    sigset_t signals, old;
    sigemptyset(&signals);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGWINCH})
        sigaddset(&signals, sig);
    pthread_sigmask(SIG_BLOCK, &signals, &old);
    g_sim = options->port ? sim_open_port(options->port, &sim_options)
                          : sim_open(options->dir, options->com, &sim_options);
    if (!g_sim) {
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        return 1;
    }
    std::thread sender(sender_main);
    std::thread watcher(watcher_main);
    // Installed before curses starts, so curses keeps its own off them.
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGWINCH})
        sigaction(sig, &action, nullptr);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);

    if (options->port)
        g_device = std::string("port ") + options->port + ", 19200 baud 8N1";
    else if (*sim_link_path(g_sim))
        g_device = std::string("line ") + sim_slave_path(g_sim) + ", linked as " + sim_link_path(g_sim);
    else
        g_device = std::string("line ") + sim_slave_path(g_sim) + " (--dir DIR --com N links it)";

    int code = 0;
    SCREEN *screen = newterm(nullptr, stdout, stdin);
    if (screen) {
        start_screen();
        main_loop();
        endwin();
        delscreen(screen);
    } else {
        fprintf(stderr, "mascon-sim: cannot drive this terminal (TERM=%s)\n",
                getenv("TERM") ? getenv("TERM") : "");
        code = 1;
    }
    stop_threads(&sender, &watcher);
    sim_close(g_sim);
    g_sim = nullptr;
    return code;
}
