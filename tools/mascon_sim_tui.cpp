// The interactive mascon: one thread, one loop. It waits in ppoll on the
// keyboard, the quit signals (a signalfd), the RESETs the simulator has
// answered, and, while messages wait, on the line taking bytes again; a
// host that stops reading fills the line without freezing the keyboard.
// Curses follows the terminal's size (KEY_RESIZE) and clips the picture,
// which is drawn on a pad as large as it needs.

#include "mascon_sim_tui.h"

#include "mascon_sim.h"

#include <curses.h>
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

const int k_lever_count = 16;
const char k_buttons[4] = {'K', 'X', 'Y', 'Z'};
const int k_full_cols = 80;
const int k_full_rows = 24;
const size_t k_log_keep = 1000;
// A message queued longer than this means the host has stopped reading.
const int k_stuck_ms = 250;

struct Outgoing {
    const char *message; // one of the tables'
    std::string note;
    Clock::time_point queued;
    size_t sent; // bytes of it the line has taken
};

MasconSim *g_sim = nullptr;      // the line
int g_lever = 6;                 // lever position, 0 to 15
bool g_pressed[4] = {};          // K X Y Z held down
int g_gstate = 2;                // index into gstate_messages
bool g_silent = false;           // RESETs go unanswered
int g_resets = 0;                // RESETs answered (or seen, when silent) so far
std::deque<std::string> g_log;   // what went over the line, newest last
std::string g_trouble;           // the last thing that went wrong, until a send succeeds
std::string g_device;            // the line as the header names it
bool g_colours = false;          // the terminal has colours

std::deque<Outgoing> g_outgoing;  // the front one is being sent
WINDOW *g_pad = nullptr;          // the picture, clipped to the screen by curses

// A message as the screen shows it: its five characters, without the "\r".
std::string shown_name(const char *message) { return std::string(message, MASCON_MESSAGE_LEN - 1); }

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

void queue(const char *message, const std::string &note)
{
    g_outgoing.push_back({message, note, Clock::now(), 0});
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

// Gives the line what it takes of the waiting messages, logging each one
// once it is all out.
void send_waiting()
{
    while (!g_outgoing.empty()) {
        Outgoing &out = g_outgoing.front();
        long n = sim_send_some(g_sim, out.message + out.sent, MASCON_MESSAGE_LEN - out.sent);
        if (n < 0) {
            log_line(wall_now(), "! " + shown_name(out.message) + " not sent");
            g_trouble = "cannot send: the line is down";
        } else if ((out.sent += static_cast<size_t>(n)) == MASCON_MESSAGE_LEN) {
            log_line(wall_now(), "> " + shown_name(out.message) + "  " + out.note);
            g_trouble.clear();
        } else {
            return; // the line is full
        }
        g_outgoing.pop_front();
    }
}

// The RESETs the simulator has answered since the last look.
void take_resets()
{
    eventfd_t count = 0;
    if (eventfd_read(sim_answered_fd(g_sim), &count) != 0)
        return;
    timespec when = wall_now();
    for (; count > 0; --count) {
        ++g_resets;
        if (g_silent) {
            log_line(when, "< RESET  unanswered");
        } else {
            log_line(when, "< RESET");
            log_line(when, "> " + answer_text() + "  answer");
        }
    }
}

// What the status line says about a stuck line; sets how long the main loop
// may sleep before it must look again.
std::string waiting_note(int *timeout_ms)
{
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
    case KEY_RESIZE: // curses has taken the new size; the pad follows
        delwin(g_pad);
        g_pad = nullptr;
        break;
    default:
        break;
    }
    return true;
}

// At most width characters; padded with blanks to width when pad. Past the
// screen's edge, curses clips.
void put(int y, int x, const std::string &text, int width, attr_t attr = A_NORMAL, bool pad = false)
{
    if (width <= 0)
        return;
    std::string shown = text.substr(0, static_cast<size_t>(width));
    if (pad)
        shown.resize(static_cast<size_t>(width), ' ');
    wattron(g_pad, attr);
    mvwaddstr(g_pad, y, x, shown.c_str());
    wattroff(g_pad, attr);
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
        mvwaddch(g_pad, y, log_x - 2, '|'); // plain: line drawing depends on the locale
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
    // Wide enough that no line of the picture wraps; what lies past the
    // screen is never shown.
    if (!g_pad)
        g_pad = newpad(LINES > k_full_rows ? LINES : k_full_rows, COLS + 256);
    werase(g_pad);
    if (COLS >= k_full_cols && LINES >= k_full_rows)
        draw_full(status);
    else
        draw_small(status);
    prefresh(g_pad, 0, 0, 0, 0, LINES - 1, COLS - 1);
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

// Returns on a quit key, a quit signal, or the terminal going away.
void main_loop(int quit_fd, const sigset_t *waiting_mask)
{
    for (;;) {
        take_resets();
        send_waiting();
        int timeout_ms = -1;
        std::string status = waiting_note(&timeout_ms);
        if (status.empty())
            status = g_trouble;
        draw(status);

        pollfd fds[4] = {{STDIN_FILENO, POLLIN, 0},
                         {quit_fd, POLLIN, 0},
                         {sim_answered_fd(g_sim), POLLIN, 0},
                         {g_outgoing.empty() ? -1 : sim_line_fd(g_sim), POLLOUT, 0}};
        timespec timeout = {timeout_ms / 1000, (timeout_ms % 1000) * 1000000L};
        // SIGWINCH only here, so curses' own handler never runs while the
        // loop could miss it; getch then brings KEY_RESIZE.
        if (ppoll(fds, 4, timeout_ms < 0 ? nullptr : &timeout, waiting_mask) < 0 && errno != EINTR)
            return;
        if (fds[1].revents & POLLIN)
            return;
        // Drained to the end: keys curses has buffered would not wake poll.
        for (int key = getch(); key != ERR; key = getch())
            if (!handle_key(key))
                return;
        if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL))
            return; // the terminal has gone
    }
}

} // namespace

int run_interactive(const InteractiveOptions *options)
{
    if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) {
        fprintf(stderr, "mascon-sim: --interactive needs a terminal\n");
        return 2;
    }
    g_lever = options->lever;
    g_gstate = options->gstate;
    g_silent = options->silent;

    SimOptions sim_options;
    sim_options.lever = lever_messages[g_lever];
    sim_options.gstate = gstate_messages[g_gstate];
    sim_options.answer = g_silent ? SIM_ANSWER_SILENT : SIM_ANSWER_LEVER_GSTATE;
    sim_options.answer_delay_ms = options->answer_delay_ms;

    // The quit signals are read from a descriptor, and SIGWINCH is let in
    // only while the loop waits; blocked before the simulator's thread
    // starts, so that it never takes one.
    sigset_t quit, blocked, waiting;
    sigemptyset(&quit);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&quit, sig);
    blocked = quit;
    sigaddset(&blocked, SIGWINCH);
    pthread_sigmask(SIG_BLOCK, &blocked, &waiting);
    sigdelset(&waiting, SIGWINCH);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&waiting, sig);
    int quit_fd = signalfd(-1, &quit, SFD_CLOEXEC | SFD_NONBLOCK);
    if (quit_fd < 0) {
        fprintf(stderr, "mascon-sim: signalfd: %s\n", strerror(errno));
        return 1;
    }
    g_sim = options->port ? sim_open_port(options->port, &sim_options)
                          : sim_open(options->dir, options->com, &sim_options);
    if (!g_sim) {
        close(quit_fd);
        return 1;
    }

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
        main_loop(quit_fd, &waiting);
        if (g_pad)
            delwin(g_pad);
        endwin();
        delscreen(screen);
    } else {
        fprintf(stderr, "mascon-sim: cannot drive this terminal (TERM=%s)\n",
                getenv("TERM") ? getenv("TERM") : "");
        code = 1;
    }
    close(quit_fd);
    sim_close(g_sim);
    g_sim = nullptr;
    return code;
}
