#include "link/mascon_worker.h"

#include "common/mascon_tables.h"
#include "keys/keydrv.h"

#include <stdio.h>
#include <string.h>

HANDLE g_port;
DCB g_dcb_saved;
DCB g_dcb_work;
COMMTIMEOUTS g_timeouts_saved;
COMMTIMEOUTS g_timeouts_work;
char g_rx[8];
char g_drain[MASCON_DRAIN_MAX];
LONG g_gstate;
DWORD g_io;

static const char RESET_COMMAND[] = "RESET\r";

// A port opened by the search for the mascon, and what it had before.
struct AskedPort {
    HANDLE port;
    HANDLE lock; // its named object, or NULL
    int number;
    DCB dcb_saved;
    COMMTIMEOUTS timeouts_saved;
};

// Whether the port's line is still there: a port whose line has gone (a
// pulled adapter, a closed pseudo-terminal) fails every query.
static BOOL line_is_up(void)
{
    COMSTAT stat;
    return ClearCommError(g_port, &g_io, &stat);
}

// Framing is by count alone. A read returns with what has arrived, so reading
// goes on until all six bytes are here. A read that fails means the line is
// gone; one that brings nothing has waited its while, and the port is asked
// whether the line is still there. A read that simply waited for its bytes
// could not tell: Wine's, on a line that has hung up, never returns and spins
// inside. The same while is how soon the worker sees that Exit asked it to
// stop; it then reads no more, as if the line were gone, and its callers look
// at stop_asked() before they take it so. The caller must not look at g_rx
// again, or it would replay the last message.
static BOOL read_message(void)
{
    DWORD have = 0;
    while (have < MASCON_MESSAGE_LEN) {
        if (stop_asked())
            return FALSE;
        DWORD got = 0;
        if (!ReadFile(g_port, g_rx + have, MASCON_MESSAGE_LEN - have, &got, NULL))
            return FALSE;
        if (got == 0 && !line_is_up())
            return FALSE;
        // The system's word of a new program in front, taken while the line
        // is quiet, so the keys held follow it at once.
        if (got == 0)
            keys_idle();
        have += got;
    }
    return TRUE;
}

// Drains what waits on g_port and sends RESET: FALSE, with nothing
// written, when more is waiting than a mascon at rest would have sent, and
// FALSE when RESET does not go out whole within the write's time-out (a line
// held by a handshake no mascon answers).
static BOOL mascon_ask(void)
{
    COMSTAT stat;
    memset(&stat, 0, sizeof stat);
    ClearCommError(g_port, &g_io, &stat);
    if (stat.cbInQue > MASCON_DRAIN_MAX)
        return FALSE;
    // Under Wine even a read of nothing is a trip to its server, for each
    // silent port at each try.
    if (stat.cbInQue)
        ReadFile(g_port, g_drain, stat.cbInQue, &g_io, NULL);
    return WriteFile(g_port, RESET_COMMAND, MASCON_MESSAGE_LEN, &g_io, NULL) &&
           g_io == MASCON_MESSAGE_LEN;
}

// The ports asked at once: the search's, or mascon_sync's one.
static AskedPort g_asked[MASCON_PORTS];
static int g_asked_count;

// The answer is two messages: the lever's position, then the G-state. The
// index in g_asked of the first port whose whole answer is in, or -1 once
// none has answered within MASCON_SYNC_MS since began, or the stop is asked.
// The first look is when a mascon that answers at once is done; the pauses
// after it grow fourfold, so that a silent port costs five looks a try; the
// last look is at the end of the time.
static int await_answer(DWORD began)
{
    DWORD pause = MASCON_SYNC_FIRST_LOOK_MS;
    for (;;) {
        DWORD waited = GetTickCount() - began;
        DWORD left = waited < MASCON_SYNC_MS ? MASCON_SYNC_MS - waited : 0;
        if (stop_wait(pause < left ? pause : left))
            return -1;
        for (int i = 0; i < g_asked_count; ++i) {
            COMSTAT stat;
            memset(&stat, 0, sizeof stat);
            ClearCommError(g_asked[i].port, &g_io, &stat);
            if (stat.cbInQue >= 2 * MASCON_MESSAGE_LEN)
                return i;
        }
        if (left <= pause)
            return -1;
        pause *= 4;
    }
}

// Reads the answer waiting on g_port: 0 once synchronised, -1 for an answer
// of the wrong kind. The keys take the lever only from a whole answer: a port
// that is no mascon must not move where steps left the handle.
static int mascon_take_answer(void)
{
    if (!read_message())
        return -1;
    LONG lever = lever_index_of(g_rx);
    if (lever == -1 || !read_message())
        return -1;
    g_gstate = gstate_index_of(g_rx);
    if (g_gstate == -1)
        return -1;
    // Hold the key of the lever's present position from the start; a handle
    // moved in steps is taken to be where the lever is (or where steps left
    // it before), and what that owes goes out once the mascon is ours.
    keys_start(lever);
    return 0;
}

int mascon_sync(void)
{
    if (!mascon_ask())
        return -1;
    g_asked[0].port = g_port;
    g_asked_count = 1;
    if (await_answer(GetTickCount()) < 0)
        return -2;
    return mascon_take_answer();
}

// Windows lets one program at a time open a port, but not every system that
// runs us does (Wine lets a second one in, which then writes RESET into the
// first one's line): a named object per port, taken before anything is
// written, keeps a second notchkey out. *lock is the object, or NULL.
static BOOL take_port(const char *port, HANDLE *lock)
{
    char name[300];
    snprintf(name, sizeof name, "notchkey %s", port);
    HANDLE taken = CreateMutexA(NULL, FALSE, name);
    if (taken && GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(taken);
        return FALSE;
    }
    // An object that cannot be made at all leaves it to the port's own rule.
    *lock = taken;
    return TRUE;
}

// A port's name as the user reads it: COMn, or for number 0 the port the
// settings name otherwise, a device the system knows as a serial port.
static void port_name(const AppConfig *config, int number, char (&name)[256])
{
    if (number)
        snprintf(name, sizeof name, "COM%d", number);
    else
        lstrcpyA(name, config->port);
}

// Whether the system knows a name as a serial port's: its defaults can be
// had without opening it. Looked up, as the old family may lack it.
static BOOL serial_device(const char *name)
{
    COMMCONFIG defaults;
    DWORD size = sizeof defaults;
    auto get = system_function<decltype(&GetDefaultCommConfigA)>("kernel32.dll",
                                                                 "GetDefaultCommConfigA");
    return get && get(name, &defaults, &size);
}

int com_port_number(const char *name)
{
    if ((name[0] | 0x20) != 'c' || (name[1] | 0x20) != 'o' || (name[2] | 0x20) != 'm')
        return 0;
    int number = 0;
    int digits = 0;
    for (const char *c = name + 3; *c; ++c, ++digits) {
        if (*c < '0' || *c > '9' || digits == 3 || (digits == 0 && *c == '0'))
            return 0;
        number = number * 10 + (*c - '0');
    }
    return number >= 1 && number <= 256 ? number : 0;
}

// The keys' way to the messages that come while steps go out: a whole
// message that has come, read without waiting for more.
static int waiting_message(const char **message)
{
    COMSTAT stat;
    memset(&stat, 0, sizeof stat);
    if (!ClearCommError(g_port, &g_io, &stat))
        return -1;
    if (stat.cbInQue < MASCON_MESSAGE_LEN)
        return 0;
    if (!read_message())
        return -1;
    *message = g_rx;
    return 1;
}

int mascon_dispatch(void)
{
    return keys_message(g_rx, waiting_message);
}

// The message is already in g_text. The box comes first: the program ends
// only once the user has read why. The keys come up before it: the box may
// wait a long time for the user, and takes the focus from the simulator.
[[noreturn]] static void worker_fail(const AppConfig *config)
{
    release_held_keys();
    MessageBoxA(config->hwnd, g_text, APP_TITLE, MB_ICONWARNING);
    PostMessageA(config->hwnd, WM_WORKER_ENDED, 0, 0);
    ExitThread(1);
}

// A port opened for the mascon gets its settings back (where the line still
// lets us) and is let go of.
static void put_back(HANDLE port, DCB *dcb, COMMTIMEOUTS *timeouts)
{
    SetCommState(port, dcb);
    SetCommTimeouts(port, timeouts);
    CloseHandle(port);
}

// Failures once the port is ours: put it back before saying why.
[[noreturn]] static void worker_fail_open(const AppConfig *config)
{
    put_back(g_port, &g_dcb_saved, &g_timeouts_saved);
    worker_fail(config);
}

[[noreturn]] static void no_mascon(const AppConfig *config)
{
    snprintf(g_text, sizeof g_text, "There is no mascon on %s.", config->port);
    worker_fail_open(config);
}

[[noreturn]] static void invalid_message(const AppConfig *config)
{
    snprintf(g_text, sizeof g_text, "Invalid message from mascon");
    worker_fail_open(config);
}

// QueryDosDeviceA, looked up: the old family's first releases may lack it,
// and an exe that imported it would not load there at all.
static DWORD port_device(const char *name, char *device, DWORD size)
{
    auto query = system_function<decltype(&QueryDosDeviceA)>("kernel32.dll", "QueryDosDeviceA");
    return query ? query(name, device, size) : 0;
}

// Whoever watches the program run learns that the mascon is there, on which
// device, and with which settings it is served.
static void note_mascon_answered(const AppConfig *config, int number)
{
    char device[MAX_PATH], name[256];
    port_name(config, number, name);
    if (!port_device(name, device, sizeof device))
        strcpy(device, "?");
    // A file with profiles names the one the keys are taken from.
    char profile[48] = "";
    if (keys_profile_name())
        snprintf(profile, sizeof profile, ", profile=%s", keys_profile_name());
    note("mascon answered on %s (%s): lever at position %ld (%.5s); injector=%s, lever=%s%s",
         name, device, static_cast<long>(g_lever_current),
         lever_messages[g_lever_current], config->injector, keys_lever_way(), profile);
}

// The line as the mascon speaks, whatever the last program left: a port can
// come with software flow control on (a freshly plugged adapter does), and a
// 0x13 from the line would vanish and stop our writes; with a hardware
// handshake and nothing at the other end to raise CTS or DSR, RESET would
// never leave; with the wrong parity or stop bits every byte would come
// garbled; and with abort-on-error one garbled byte would fail every call
// after it.
static void set_up_port(void)
{
    GetCommState(g_port, &g_dcb_saved);
    g_dcb_work = g_dcb_saved;
    g_dcb_work.BaudRate = MASCON_BAUD_RATE;
    g_dcb_work.ByteSize = MASCON_BYTE_SIZE;
    g_dcb_work.Parity = NOPARITY;
    g_dcb_work.StopBits = ONESTOPBIT;
    g_dcb_work.fParity = FALSE;
    g_dcb_work.fOutxCtsFlow = FALSE;
    g_dcb_work.fOutxDsrFlow = FALSE;
    g_dcb_work.fDtrControl = DTR_CONTROL_ENABLE;
    g_dcb_work.fRtsControl = RTS_CONTROL_ENABLE;
    g_dcb_work.fDsrSensitivity = FALSE;
    g_dcb_work.fOutX = FALSE;
    g_dcb_work.fInX = FALSE;
    g_dcb_work.fAbortOnError = FALSE;
    SetCommState(g_port, &g_dcb_work);
    // A port keeps the time-outs the last program gave it; ones that let a
    // read return at once would make the read loop spin. Ours: a read returns
    // as soon as any byte is there, and waits a while for the first one; a
    // write that cannot leave (a line still held, whatever we set) gives up
    // rather than hold the worker, and Exit with it.
    GetCommTimeouts(g_port, &g_timeouts_saved);
    memset(&g_timeouts_work, 0, sizeof g_timeouts_work);
    g_timeouts_work.ReadIntervalTimeout = MAXDWORD;
    g_timeouts_work.ReadTotalTimeoutMultiplier = MAXDWORD;
    g_timeouts_work.ReadTotalTimeoutConstant = MASCON_LINE_CHECK_MS;
    g_timeouts_work.WriteTotalTimeoutConstant = MASCON_WRITE_MS;
    SetCommTimeouts(g_port, &g_timeouts_work);
}

// The port the mascon was last found on, and our named object for it, kept
// while it is waited for there, so that a second notchkey stays out.
static int g_port_number;
static HANDLE g_port_lock;
// Whether g_port is the mascon's and open (from its finding until its line goes).
static BOOL g_port_ours;

// Exit has asked the worker to stop: every key up, and the mascon's port,
// where it is open, given its settings back and closed. A search puts back
// each port it touched before it returns, stopped or not.
static DWORD worker_stopped(void)
{
    release_held_keys();
    if (g_port_ours)
        put_back(g_port, &g_dcb_saved, &g_timeouts_saved);
    g_port_ours = FALSE;
    if (g_port_lock)
        CloseHandle(g_port_lock);
    g_port_lock = NULL;
    return 0;
}

// The first port of the last search that would not open, and why, for the
// balloon of a wait; empty when none. With port=auto only a port that
// refused us counts: most of the 256 names have no port behind them.
static char g_refusal[256];
static BOOL g_refusal_held; // by another notchkey; else the system's words

static void note_refusal(const char *name, BOOL automatic, BOOL held)
{
    // Taken at once: the next call may put another error in its place.
    DWORD error = GetLastError();
    if (g_refusal[0] || (automatic && !held && error != ERROR_ACCESS_DENIED))
        return;
    g_refusal_held = held;
    if (held) {
        snprintf(g_refusal, sizeof g_refusal, "another notchkey uses %.60s.", name);
        return;
    }
    char cause[512];
    if (!FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, error, 0,
                        cause, sizeof cause, NULL))
        snprintf(cause, sizeof cause, "error %lu.", static_cast<unsigned long>(error));
    // The system's texts end with a line end.
    size_t len = strlen(cause);
    while (len && static_cast<unsigned char>(cause[len - 1]) <= ' ')
        cause[--len] = '\0';
    // A balloon holds 255 characters; a long path is cut short.
    snprintf(g_refusal, sizeof g_refusal, "%.60s: %.180s", name, cause);
}

// Opens COMn (0: the port named otherwise) for the search: the port and its
// named object in *asked, or
// FALSE when it does not open or another notchkey holds it. The object is
// asked for once the port has opened, so that a search of 256 names makes
// none for the ports that are not there; nothing is written before it is
// ours. The \\.\ form reaches COM10 and above, which the plain name does
// not, and every port below.
static BOOL open_port(const AppConfig *config, int number, AskedPort *asked, BOOL automatic)
{
    char name[256], device[260];
    port_name(config, number, name);
    snprintf(device, sizeof device, "\\\\.\\%s", name);
    asked->port = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (asked->port == INVALID_HANDLE_VALUE) {
        note_refusal(name, automatic, FALSE);
        return FALSE;
    }
    asked->number = number;
    asked->lock = NULL;
    if (number == g_port_number && g_port_lock)
        asked->lock = g_port_lock;
    else if (!take_port(name, &asked->lock)) {
        CloseHandle(asked->port);
        note_refusal(name, automatic, TRUE);
        // As the open of a port another program holds fails.
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return TRUE;
}

// A port of the search that is not the mascon's, put back and closed.
static void drop_asked(int index)
{
    AskedPort *asked = &g_asked[index];
    put_back(asked->port, &asked->dcb_saved, &asked->timeouts_saved);
    if (asked->lock && asked->lock != g_port_lock)
        CloseHandle(asked->lock);
    memmove(asked, asked + 1, (g_asked_count - index - 1) * sizeof *asked);
    --g_asked_count;
}

// SEARCH_GONE: the mascon's line went, and nothing has been searched yet.
enum Search { SEARCH_FOUND, SEARCH_NONE_OPENED, SEARCH_NONE_ANSWERED, SEARCH_GONE };

// The port of the search at index is the mascon's: it becomes g_port, with
// its settings as found and its named object; every other is put back.
static Search keep_found(int index)
{
    AskedPort found = g_asked[index];
    memmove(g_asked + index, g_asked + index + 1, (g_asked_count - index - 1) * sizeof found);
    --g_asked_count;
    while (g_asked_count > 0)
        drop_asked(0);
    if (g_port_lock && g_port_lock != found.lock)
        CloseHandle(g_port_lock);
    g_port_number = found.number;
    g_port_lock = found.lock;
    g_port = found.port;
    g_port_ours = TRUE;
    g_dcb_saved = found.dcb_saved;
    g_timeouts_saved = found.timeouts_saved;
    return SEARCH_FOUND;
}

// port=auto: the ports that opened at the last look at every name. A name
// that is no port costs as much to try as a port that is silent (under Wine,
// 250 of them cost more than the rest of a search), so while the mascon is
// waited for, they are looked at again only every MASCON_SCAN_TRIES tries. A
// port seen there that fails to open is still tried each time, and so is the
// port the mascon was last found on: an adapter pulled and plugged back in
// comes back under its name.
static BOOL g_port_seen[MASCON_PORTS + 1];

// Looks for the mascon on the port named or, with port=auto, on every port
// from COM1 to COM256 that opens (with every_name FALSE, on those that opened
// at the last look at every name). Each is set up, drained and sent RESET,
// and then all are given the usual time to answer at once, so that a search
// takes a second however many ports there are. The first whose answer is a
// lever position and a G-state becomes g_port, synchronised; every other is
// put back and closed. Nothing but RESET is written to any of them.
static Search search_mascon(const AppConfig *config, BOOL every_name)
{
    BOOL automatic = lstrcmpiA(config->port, PORT_AUTO) == 0;
    int first = automatic ? 1 : com_port_number(config->port);
    int last = automatic ? MASCON_PORTS : first;
    BOOL opened = FALSE;
    g_asked_count = 0;
    // With port=auto a try that names only the ports seen before keeps the
    // refusal the last whole search found. A port named other than COMn is
    // number 0, and was found a serial port's name before the search.
    if (!automatic || every_name)
        g_refusal[0] = '\0';
    for (int number = first; number <= last && !stop_asked(); ++number) {
        AskedPort *asked = &g_asked[g_asked_count];
        if (automatic && !every_name && !g_port_seen[number] && number != g_port_number)
            continue;
        BOOL seen = open_port(config, number, asked, automatic);
        if (every_name)
            g_port_seen[number] = seen;
        if (!seen)
            continue;
        // The port named is ours from its first opening on.
        if (!automatic && !g_port_lock)
            g_port_number = number, g_port_lock = asked->lock;
        opened = TRUE;
        g_port = asked->port;
        set_up_port();
        asked->dcb_saved = g_dcb_saved;
        asked->timeouts_saved = g_timeouts_saved;
        ++g_asked_count;
        if (!mascon_ask())
            drop_asked(g_asked_count - 1);
    }
    // The keys the lever is taken with at start are the front program's.
    keys_before_answer();
    DWORD began = GetTickCount();
    int index;
    while (g_asked_count > 0 && (index = await_answer(began)) >= 0) {
        g_port = g_asked[index].port;
        if (mascon_take_answer() == 0)
            return keep_found(index);
        drop_asked(index);
    }
    while (g_asked_count > 0)
        drop_asked(0);
    return opened ? SEARCH_NONE_ANSWERED : SEARCH_NONE_OPENED;
}

// The user is told of each change of the line once, by the notification icon.
static void tell_user(const AppConfig *config, BOOL back)
{
    PostMessageA(config->hwnd, WM_MASCON_LINE, static_cast<WPARAM>(g_port_number), back);
}

// The mascon has answered: whoever watches the program learns of it, and
// what a start owes in steps goes out as a move's steps do, with the
// messages that come meanwhile taken between them.
static void start_riding(const AppConfig *config)
{
    note_mascon_answered(config, g_port_number);
    if (keys_catch_up(waiting_message) == KEYS_UNKNOWN)
        invalid_message(config);
}

// What the wait is for and why, after a search that found no mascon, in
// the next of the two texts: TRUE when it differs from the last one told.
static BOOL waiting_reason(const AppConfig *config, Search search, int *next)
{
    char *text = g_waiting[*next & 1];
    const char *last = g_waiting[(*next + 1) & 1];
    if (lstrcmpiA(config->port, PORT_AUTO) == 0)
        snprintf(text, WAITING_TEXT_MAX, "Waiting for the mascon: no mascon on any COM port yet%s%.200s",
                 g_refusal[0] ? "; " : ".", g_refusal);
    else if (search == SEARCH_NONE_ANSWERED) {
        char name[256];
        port_name(config, com_port_number(config->port), name);
        snprintf(text, WAITING_TEXT_MAX, "Waiting for the mascon on %.60s: it does not answer.",
                 name);
    } else
        snprintf(text, WAITING_TEXT_MAX, "Waiting for the mascon%s%.200s",
                 g_refusal_held ? ": " : " on ", g_refusal);
    if (strcmp(text, last) == 0)
        return FALSE;
    ++*next;
    return TRUE;
}

// reconnect=yes: a try a second, asleep in between, until the mascon
// answers; it is then synchronised as at start. The user is told what it
// waits for once, and again whenever that changes. The balloon of a line
// gone has said it waits: what the first try after it finds is not told.
// That first try looks at every name again; a wait at start has just done so.
// FALSE once the stop is asked before it answers.
static BOOL wait_for_mascon(const AppConfig *config, Search search)
{
    BOOL quiet = search == SEARCH_GONE;
    int next = 0;
    int tries = search == SEARCH_GONE ? 0 : 1;
    g_waiting[1][0] = '\0';
    for (;;) {
        if (search != SEARCH_GONE) {
            if (waiting_reason(config, search, &next) && !quiet)
                PostMessageA(config->hwnd, WM_MASCON_WAITING, static_cast<WPARAM>((next - 1) & 1), 0);
            quiet = FALSE;
        }
        if (stop_wait(MASCON_RETRY_MS))
            return FALSE;
        if ((search = search_mascon(config, tries++ % MASCON_SCAN_TRIES == 0)) == SEARCH_FOUND)
            break;
    }
    tell_user(config, TRUE);
    start_riding(config);
    return TRUE;
}

DWORD WINAPI mascon_worker(LPVOID parameter)
{
    const AppConfig *config = static_cast<const AppConfig *>(parameter);

    // Only a serial port is opened: any other name could be a file or a
    // device that RESET would be written into. Such a name never becomes a
    // port, so it is not waited for either.
    BOOL automatic = lstrcmpiA(config->port, PORT_AUTO) == 0;
    if (!automatic && !com_port_number(config->port) && !serial_device(config->port)) {
        snprintf(g_text, sizeof g_text, "%s is invalid COM port.", config->port);
        worker_fail(config);
    }
    Search search = search_mascon(config, TRUE);
    // A search cut short by Exit found nothing the user needs to hear of.
    if (stop_asked())
        return worker_stopped();
    if (search != SEARCH_FOUND && !config->reconnect) {
        if (automatic) {
            snprintf(g_text, sizeof g_text, "There is no mascon on any COM port.");
            // No one port's failure to open is the cause.
            SetLastError(ERROR_SUCCESS);
        } else if (search == SEARCH_NONE_OPENED)
            snprintf(g_text, sizeof g_text, "%s is invalid COM port.", config->port);
        else
            snprintf(g_text, sizeof g_text, "There is no mascon on %s.", config->port);
        worker_fail(config);
    }
    if (search != SEARCH_FOUND) {
        if (!wait_for_mascon(config, search))
            return worker_stopped();
    } else {
        start_riding(config);
    }

    // In steps, a lever message is handled once the handle is where the
    // lever is by then, with the messages that came meanwhile; a message in
    // no table among them ends the program here as well.
    for (;;) {
        if (!read_message()) {
            if (stop_asked())
                return worker_stopped();
            if (!config->reconnect)
                no_mascon(config);
            keys_line_lost();
            put_back(g_port, &g_dcb_saved, &g_timeouts_saved);
            g_port_ours = FALSE;
            tell_user(config, FALSE);
            if (!wait_for_mascon(config, SEARCH_GONE))
                return worker_stopped();
            continue;
        }
        if (mascon_dispatch() == KEYS_UNKNOWN)
            invalid_message(config);
    }
}
