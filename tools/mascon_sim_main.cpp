// mascon-sim: a simulated mascon on a pseudo-terminal, driven by a script or,
// with --interactive, from the keyboard.

#include "mascon_sim.h"
#include "mascon_sim_tui.h"

#include "keys/keynames.h"

#include <errno.h>
#include <getopt.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace {

const char k_usage[] =
    "usage: mascon-sim [--dir DIR] [--com N] [--lever MSG] [--gstate MSG] [--silent]\n"
    "                  [--answer ESCAPED] [--answer-delay MS] [--script FILE] [--hold] [--verbose]\n"
    "       mascon-sim --interactive [--dir DIR] [--com N | --port TTY] [--lever MSG]\n"
    "                  [--gstate MSG] [--silent] [--answer-delay MS]\n"
    "       mascon-sim --key-names\n"
    "       mascon-sim --list\n"
    "--interactive, -i  play the mascon from the keyboard, full screen (q quits)\n"
    "--port TTY         with -i: a real serial port (19200 baud 8N1), not a pseudo-terminal\n"
    "--key-names        list the key names notchkey.ini's [keys] takes, each after its\n"
    "                   press as a capture line writes it (\"10 q\", \"e0 48 up\")\n"
    "--list             print every message the mascon knows: table, index, message\n"
    "Script lines (from FILE, or standard input without --script or with -):\n"
    "  MCA55            send a five-character message with its \\r\n"
    "  raw ESCAPED      send bytes exactly (\\r \\n \\t \\\\ \\xNN)\n"
    "  sleep MS         pause\n"
    "  wait-reset [MS]  wait for the host's next RESET\\r and the answer (default 10000)\n"
    "  hangup           hang the line up\n"
    "  # comment\n";

MasconSim *g_sim = nullptr;
bool g_verbose = false;
std::mutex g_out_mutex;
std::thread g_reset_printer;
// RESETs the printer has logged, so a script's wait-reset can let its next
// line be logged only after them, in the line's order.
int g_resets_printed = 0;
std::condition_variable g_printed;
// Copied for the signal thread, which must not touch g_sim while main frees it.
char g_link[PATH_MAX] = "";
char g_slave[PATH_MAX] = "";

[[noreturn]] void usage_error(const char *why, const char *arg)
{
    if (why)
        fprintf(stderr, "mascon-sim: %s%s%s\n", why, arg ? ": " : "", arg ? arg : "");
    fputs(k_usage, stderr);
    exit(2);
}

bool parse_int(const char *text, long low, long high, long *value)
{
    if (!text || !*text)
        return false;
    char *end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < low || v > high)
        return false;
    *value = v;
    return true;
}

// A bare five-character name gets its "\r"; anything else is escaped bytes
// that must make up a whole six-byte message.
bool parse_message(const char *text, char out[7])
{
    if (strlen(text) == 5 && !strchr(text, '\\')) {
        memcpy(out, text, 5);
        out[5] = '\r';
        out[6] = '\0';
        return true;
    }
    char buf[6];
    if (sim_unescape(text, buf, sizeof buf) != 6)
        return false;
    memcpy(out, buf, 6);
    out[6] = '\0';
    return memchr(buf, '\0', 6) == nullptr; // the library takes C strings
}

std::string shown(const char *p, size_t len)
{
    std::string s;
    for (size_t i = 0; i < len; ++i) {
        unsigned char c = static_cast<unsigned char>(p[i]);
        char hex[8];
        switch (c) {
        case '\r': s += "\\r"; break;
        case '\n': s += "\\n"; break;
        case '\t': s += "\\t"; break;
        case '\\': s += "\\\\"; break;
        default:
            if (c >= 0x20 && c < 0x7f) {
                s += static_cast<char>(c);
            } else {
                snprintf(hex, sizeof hex, "\\x%02x", c);
                s += hex;
            }
        }
    }
    return s;
}

// The caller holds g_out_mutex.
void say(const char *prefix, const char *p, size_t len)
{
    if (!g_verbose)
        return;
    printf("%s%s\n", prefix, shown(p, len).c_str());
    fflush(stdout);
}

// Splits the answer back into its messages so the log reads like the line.
void say_answer(const std::string &answer)
{
    for (size_t at = 0; at < answer.size();) {
        size_t end = answer.find('\r', at);
        end = end == std::string::npos ? answer.size() : end + 1;
        say("> ", answer.data() + at, end - at);
        at = end;
    }
}

void print_resets(std::string answer)
{
    for (int n = 1; sim_wait_resets(g_sim, n, -1); ++n) {
        std::lock_guard<std::mutex> lock(g_out_mutex);
        say("< ", "RESET\r", 6);
        say_answer(answer);
        g_resets_printed = n;
        g_printed.notify_all();
    }
}

// The process exit closes the master, which hangs the line up; only the link
// outlives us unless removed here.
void signal_main(sigset_t signals)
{
    int sig = 0;
    while (sigwait(&signals, &sig) != 0) {
    }
    sim_unlink_if_ours(g_link, g_slave);
    fflush(stdout);
    _exit(0);
}

[[noreturn]] void finish(int code)
{
    sim_hangup(g_sim);
    if (g_reset_printer.joinable())
        g_reset_printer.join();
    sim_close(g_sim);
    g_sim = nullptr;
    fflush(stdout);
    exit(code);
}

void trim(std::string &s)
{
    const char *space = " \t\r\n";
    size_t first = s.find_first_not_of(space);
    if (first == std::string::npos) {
        s.clear();
        return;
    }
    s = s.substr(first, s.find_last_not_of(space) - first + 1);
}

// Splits "word rest": the word, and the rest with leading blanks skipped.
std::string first_word(const std::string &line, std::string *rest)
{
    size_t end = line.find_first_of(" \t");
    if (end == std::string::npos) {
        rest->clear();
        return line;
    }
    size_t next = line.find_first_not_of(" \t", end);
    *rest = next == std::string::npos ? "" : line.substr(next);
    return line.substr(0, end);
}

bool send_or_fail(const char *p, size_t len)
{
    // Held across the send, so a RESET the host sends in reply is logged
    // after what provoked it.
    std::lock_guard<std::mutex> lock(g_out_mutex);
    if (!sim_send(g_sim, p, len)) {
        fprintf(stderr, "mascon-sim: cannot send %s: the line is down\n", shown(p, len).c_str());
        return false;
    }
    say("> ", p, len);
    return true;
}

// Returns -1 to go on, or the exit code.
int run_line(const std::string &raw_line, long number, int *waits)
{
    std::string line = raw_line;
    trim(line);
    if (line.empty() || line[0] == '#')
        return -1;
    std::string arg;
    std::string word = first_word(line, &arg);
    bool understood = true;
    if (word == "raw") {
        std::string bytes(arg.size() + 1, '\0');
        long n = sim_unescape(arg.c_str(), &bytes[0], bytes.size());
        if (arg.empty() || n < 0)
            understood = false;
        else if (!send_or_fail(bytes.data(), static_cast<size_t>(n)))
            return 1;
    } else if (word == "sleep") {
        long ms = 0;
        if (parse_int(arg.c_str(), 0, INT_MAX, &ms))
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        else
            understood = false;
    } else if (word == "wait-reset") {
        long ms = 10000;
        if (!arg.empty() && !parse_int(arg.c_str(), 0, INT_MAX, &ms)) {
            understood = false;
        } else {
            // Each wait-reset stands for one more RESET, so a script can
            // follow a host that reconnects.
            if (!sim_wait_resets(g_sim, *waits + 1, static_cast<int>(ms))) {
                fprintf(stderr, "mascon-sim: no RESET from the host\n");
                return 1;
            }
            ++*waits;
            if (g_verbose) {
                std::unique_lock<std::mutex> lock(g_out_mutex);
                g_printed.wait(lock, [waits] { return g_resets_printed >= *waits; });
            }
        }
    } else if (word == "hangup" && arg.empty()) {
        sim_hangup(g_sim);
    } else if (line.size() == 5) {
        char message[6];
        memcpy(message, line.data(), 5);
        message[5] = '\r';
        if (!send_or_fail(message, sizeof message))
            return 1;
    } else {
        understood = false;
    }
    if (!understood) {
        fprintf(stderr, "mascon-sim: line %ld: cannot understand: %s\n", number, line.c_str());
        return 2;
    }
    return -1;
}

} // namespace

// What notchkey's key monitor names the captured codes by: the program's own
// table, so the two cannot disagree.
int list_key_names()
{
    for (int i = 0; i < key_name_count; ++i) {
        WORD code = key_names[i].code;
        if (code & KEY_EXTENDED)
            printf("e0 ");
        printf("%02x %s\n", code & 0xff, key_names[i].name);
    }
    return fflush(stdout) == 0 ? 0 : 1;
}

// Every message the mascon knows, one a line: its table, its index there, and
// its five characters. Scripts take the vocabulary from here.
int list_messages()
{
    for (int i = 0; i < 16; ++i)
        printf("lever %d %.5s\n", i, lever_messages[i]);
    for (int i = 0; i < 8; ++i)
        printf("button %d %.5s\n", i, button_messages[i]);
    for (int i = 0; i < 3; ++i)
        printf("gstate %d %.5s\n", i, gstate_messages[i]);
    return 0;
}

int main(int argc, char **argv)
{
    const char *dir = nullptr;
    long com = 1;
    char lever[7], gstate[7];
    SimOptions defaults;
    snprintf(lever, sizeof lever, "%s", defaults.lever);
    snprintf(gstate, sizeof gstate, "%s", defaults.gstate);
    bool silent = false;
    bool hold = false;
    std::string raw_answer;
    bool have_raw = false;
    long delay = 0;
    const char *script = nullptr;
    bool interactive = false;
    const char *port = nullptr;
    const char *not_interactive = nullptr; // an option --interactive has no use for
    bool com_given = false;

    enum { DIR = 256, COM, PORT, LEVER, GSTATE, SILENT, ANSWER, DELAY, SCRIPT, HOLD, VERBOSE, LIST,
           KEY_NAMES };
    static const option long_options[] = {
        {"dir", required_argument, nullptr, DIR},       {"com", required_argument, nullptr, COM},
        {"port", required_argument, nullptr, PORT},     {"lever", required_argument, nullptr, LEVER},
        {"gstate", required_argument, nullptr, GSTATE}, {"silent", no_argument, nullptr, SILENT},
        {"answer", required_argument, nullptr, ANSWER},
        {"answer-delay", required_argument, nullptr, DELAY},
        {"script", required_argument, nullptr, SCRIPT}, {"hold", no_argument, nullptr, HOLD},
        {"verbose", no_argument, nullptr, VERBOSE},     {"list", no_argument, nullptr, LIST},
        {"key-names", no_argument, nullptr, KEY_NAMES},
        {"interactive", no_argument, nullptr, 'i'},     {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0; // the messages below name the option as the user wrote it
    for (int c; (c = getopt_long(argc, argv, ":ih", long_options, nullptr)) != -1;) {
        switch (c) {
        case DIR: dir = optarg; break;
        case COM:
            if (!parse_int(optarg, 1, 9, &com))
                usage_error("--com takes 1 to 9", optarg);
            com_given = true;
            break;
        case 'i': interactive = true; break;
        case PORT: port = optarg; break;
        case LEVER:
            if (!parse_message(optarg, lever))
                usage_error("--lever takes a six-byte message", optarg);
            break;
        case GSTATE:
            if (!parse_message(optarg, gstate))
                usage_error("--gstate takes a six-byte message", optarg);
            break;
        case SILENT: silent = true; break;
        case ANSWER: {
            raw_answer.assign(strlen(optarg) + 1, '\0');
            long n = sim_unescape(optarg, &raw_answer[0], raw_answer.size());
            if (n < 0)
                usage_error("--answer: bad escape", optarg);
            raw_answer.resize(static_cast<size_t>(n));
            have_raw = true;
            not_interactive = "--answer";
            break;
        }
        case DELAY:
            if (!parse_int(optarg, 0, INT_MAX, &delay))
                usage_error("--answer-delay takes milliseconds", optarg);
            break;
        case SCRIPT:
            script = optarg;
            not_interactive = "--script";
            break;
        case HOLD:
            hold = true;
            not_interactive = "--hold";
            break;
        case VERBOSE:
            g_verbose = true;
            not_interactive = "--verbose";
            break;
        case KEY_NAMES:
            if (argc != 2)
                usage_error("--key-names takes nothing else", nullptr);
            return list_key_names();
        case LIST: return list_messages();
        case 'h': fputs(k_usage, stdout); return 0;
        case ':': usage_error("missing value", argv[optind - 1]);
        default: usage_error("unknown argument", argv[optind - 1]);
        }
    }
    if (optind < argc)
        usage_error("unknown argument", argv[optind]);
    if (silent && have_raw)
        usage_error("--silent and --answer exclude each other", nullptr);
    if (port && !interactive)
        usage_error("--port needs --interactive", nullptr);
    if (interactive) {
        if (not_interactive)
            usage_error("not with --interactive", not_interactive);
        if (port && (dir || com_given))
            usage_error("--port excludes --dir and --com", nullptr);
        InteractiveOptions options;
        options.dir = dir;
        options.com = static_cast<int>(com);
        options.port = port;
        options.lever = lever_index_of(lever);
        options.gstate = gstate_index_of(gstate);
        options.silent = silent;
        options.answer_delay_ms = static_cast<int>(delay);
        if (options.lever < 0)
            usage_error("--lever with --interactive takes one of the sixteen positions", nullptr);
        if (options.gstate < 0)
            usage_error("--gstate with --interactive takes one of the three G-states", nullptr);
        return run_interactive(&options);
    }

    FILE *in = stdin;
    if (script && strcmp(script, "-") != 0) {
        in = fopen(script, "r");
        if (!in) {
            fprintf(stderr, "mascon-sim: %s: %s\n", script, strerror(errno));
            return 2;
        }
    }

    // Blocked before any thread starts, so only the signal thread takes them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    SimOptions options;
    options.lever = lever;
    options.gstate = gstate;
    options.answer_delay_ms = static_cast<int>(delay);
    std::string answer = std::string(lever) + gstate;
    if (silent) {
        options.answer = SIM_ANSWER_SILENT;
        answer.clear();
    } else if (have_raw) {
        options.answer = SIM_ANSWER_RAW;
        options.raw_answer = raw_answer.data();
        options.raw_answer_len = raw_answer.size();
        answer = raw_answer;
    }
    g_sim = sim_open(dir, static_cast<int>(com), &options);
    if (!g_sim)
        return 1;
    snprintf(g_slave, sizeof g_slave, "%s", sim_slave_path(g_sim));
    snprintf(g_link, sizeof g_link, "%s", sim_link_path(g_sim));
    std::thread(signal_main, signals).detach();
    if (g_verbose)
        g_reset_printer = std::thread(print_resets, answer);

    {
        std::lock_guard<std::mutex> lock(g_out_mutex);
        if (g_link[0])
            printf("mascon-sim: %s linked as %s\n", g_slave, g_link);
        else
            printf("mascon-sim: %s\n", g_slave);
        fflush(stdout);
    }

    char *buf = nullptr;
    size_t cap = 0;
    long number = 0;
    int waits = 0;
    while (getline(&buf, &cap, in) >= 0) {
        int code = run_line(buf, ++number, &waits);
        if (code >= 0) {
            free(buf);
            finish(code);
        }
    }
    free(buf);
    if (in != stdin)
        fclose(in);
    if (hold) {
        for (;;)
            pause(); // the signal thread ends the process
    }
    finish(0);
}
