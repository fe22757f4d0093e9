#include "link/mascon_worker.h"

#include "common/mascon_tables.h"
#include "keys/keydrv.h"
#include "keys/profiles.h"
#include "keys/steps.h"

#include <stdio.h>
#include <string.h>

HANDLE g_port;
DCB g_dcb_saved;
DCB g_dcb_work;
COMMTIMEOUTS g_timeouts_saved;
COMMTIMEOUTS g_timeouts_work;
char g_rx[8];
char g_drain[MASCON_DRAIN_MAX];
LONG g_lever_current;
LONG g_lever_previous;
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

// While steps go out, a lever message read between two of them only moves
// where the next ones aim, and the profile stays: its steps are under way.
static BOOL g_stepping;

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
// inside. The caller must not look at g_rx again, or it would replay the last
// message.
static BOOL read_message(void)
{
    DWORD have = 0;
    while (have < MASCON_MESSAGE_LEN) {
        DWORD got = 0;
        if (!ReadFile(g_port, g_rx + have, MASCON_MESSAGE_LEN - have, &got, NULL))
            return FALSE;
        if (got == 0 && !line_is_up())
            return FALSE;
        // The system's word of a new program in front, taken while the line
        // is quiet, so the keys held follow it at once.
        if (got == 0 && !g_stepping && profile_front_changed())
            profile_follow_front(g_lever_current);
        have += got;
    }
    return TRUE;
}

// Drains what waits on g_port and sends RESET: FALSE, with nothing
// written, when more is waiting than a mascon at rest would have sent.
static BOOL mascon_ask(void)
{
    COMSTAT stat;
    memset(&stat, 0, sizeof stat);
    ClearCommError(g_port, &g_io, &stat);
    if (stat.cbInQue > MASCON_DRAIN_MAX)
        return FALSE;
    ReadFile(g_port, g_drain, stat.cbInQue, &g_io, NULL);
    WriteFile(g_port, RESET_COMMAND, MASCON_MESSAGE_LEN, &g_io, NULL);
    return TRUE;
}

// The ports asked at once: the search's, or mascon_sync's one.
static AskedPort g_asked[MASCON_PORTS];
static int g_asked_count;

// The answer is two messages: the lever's position, then the G-state. The
// index in g_asked of the first port whose whole answer is in, or -1 once
// none has answered within the polls and the least time since began.
static int await_answer(DWORD began, int *polls)
{
    for (;;) {
        for (int i = 0; i < g_asked_count; ++i) {
            COMSTAT stat;
            memset(&stat, 0, sizeof stat);
            ClearCommError(g_asked[i].port, &g_io, &stat);
            if (stat.cbInQue >= 2 * MASCON_MESSAGE_LEN)
                return i;
        }
        ++*polls;
        // Where a poll is slow (under Wine, with the server busy, one can
        // take 10 ms) the count alone would make the wait last many minutes.
        DWORD waited = GetTickCount() - began;
        if (waited >= MASCON_SYNC_MAX_MS)
            return -1;
        if (*polls > MASCON_SYNC_POLLS) {
            if (waited >= MASCON_SYNC_MIN_MS)
                return -1;
            Sleep(MASCON_SYNC_PAUSE_MS);
        }
    }
}

// Reads the answer waiting on g_port: 0 once synchronised, -1 for an answer
// of the wrong kind.
static int mascon_take_answer(void)
{
    if (!read_message())
        return -1;
    g_lever_current = lever_index_of(g_rx);
    if (g_lever_current == -1)
        return -1;
    // Hold the key of the lever's present position from the start; a handle
    // moved in steps is taken to be where the lever is, and what an end owes
    // goes out once the G-state is in.
    if (g_lever_steps)
        steps_start(g_lever_current);
    else
        send_lever_start(g_lever_current);

    if (!read_message())
        return -1;
    g_gstate = gstate_index_of(g_rx);
    if (g_gstate == -1)
        return -1;
    return 0;
}

int mascon_sync(void)
{
    if (!mascon_ask())
        return -1;
    g_asked[0].port = g_port;
    g_asked_count = 1;
    int polls = 0;
    if (await_answer(GetTickCount(), &polls) < 0)
        return -polls;
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

// The whole messages that have come, read without waiting for more and
// handled in order: 1, or 0 at one in no table, -1 when the line is gone. A
// button's release read with its press waits press_ms after it, so the
// simulator sees it held as it sees a step.
static int take_waiting_messages(void)
{
    int pressed = 0; // the buttons pressed here, a bit each
    for (;;) {
        COMSTAT stat;
        memset(&stat, 0, sizeof stat);
        if (!ClearCommError(g_port, &g_io, &stat))
            return -1;
        if (stat.cbInQue < MASCON_MESSAGE_LEN)
            return 1;
        if (!read_message())
            return -1;
        LONG button = button_index_of(g_rx);
        if (button >= 0 && (button & 1) && ((pressed >> (button / 2)) & 1))
            Sleep(g_steps.press_ms);
        if (button >= 0 && !(button & 1))
            pressed |= 1 << (button / 2);
        if (!mascon_dispatch())
            return 0;
    }
}

// Steps toward the lever until the handle is where the lever is, looking for
// messages before each: a button goes out between two steps, and a lever
// that has moved again is followed from where the handle is, so a swing
// that is back before its steps went out sends nothing more. 0 at a message
// in no table. A line gone stops the steps; the next read tells.
static int follow_lever(void)
{
    g_stepping = TRUE;
    int taken;
    int kind;
    while ((taken = take_waiting_messages()) > 0 && (kind = next_step(g_lever_current)) >= 0)
        send_step(kind);
    g_stepping = FALSE;
    return taken != 0;
}

int mascon_dispatch(void)
{
    // Lever positions first, then buttons, then G-states: the first table
    // that knows the message decides.
    LONG index = lever_index_of(g_rx);
    if (index >= 0) {
        if (!g_stepping)
            profile_follow_front(g_lever_current);
        g_lever_previous = g_lever_current;
        g_lever_current = index;
        if (!g_lever_steps)
            send_lever_change(g_lever_previous, g_lever_current);
        else if (!g_stepping)
            return follow_lever();
        return 1;
    }
    index = button_index_of(g_rx);
    if (index >= 0) {
        if (!g_stepping)
            profile_follow_front(g_lever_current);
        send_button_key(index);
        return 1;
    }
    index = gstate_index_of(g_rx);
    if (index >= 0) {
        on_gstate(index);
        return 1;
    }
    return 0;
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
    if (g_profile_count)
        snprintf(profile, sizeof profile, ", profile=%s",
                 g_profile_active != PROFILE_BASE ? g_profiles[g_profile_active].name : "none");
    note("mascon answered on %s (%s): lever at position %ld (%.5s); injector=%s, lever=%s%s",
         name, device, static_cast<long>(g_lever_current),
         lever_messages[g_lever_current], config->injector, config->lever, profile);
}

// The speed and the byte size are ours to choose; everything else stays as
// the port had it, but for software flow control: a port can come with it on
// (a freshly plugged adapter does), and then a 0x13 from the line would
// vanish and stop our writes.
static void set_up_port(void)
{
    GetCommState(g_port, &g_dcb_saved);
    g_dcb_work = g_dcb_saved;
    g_dcb_work.BaudRate = MASCON_BAUD_RATE;
    g_dcb_work.ByteSize = MASCON_BYTE_SIZE;
    g_dcb_work.fOutX = FALSE;
    g_dcb_work.fInX = FALSE;
    SetCommState(g_port, &g_dcb_work);
    // A port keeps the time-outs the last program gave it; ones that let a
    // read return at once would make the read loop spin. Ours: a read returns
    // as soon as any byte is there, and waits a while for the first one.
    GetCommTimeouts(g_port, &g_timeouts_saved);
    memset(&g_timeouts_work, 0, sizeof g_timeouts_work);
    g_timeouts_work.ReadIntervalTimeout = MAXDWORD;
    g_timeouts_work.ReadTotalTimeoutMultiplier = MAXDWORD;
    g_timeouts_work.ReadTotalTimeoutConstant = MASCON_LINE_CHECK_MS;
    SetCommTimeouts(g_port, &g_timeouts_work);
}

// The port the mascon was last found on, and our named object for it, kept
// while it is waited for there, so that a second notchkey stays out.
static int g_port_number;
static HANDLE g_port_lock;

// Opens COMn (0: the port named otherwise) for the search: the port and its
// named object in *asked, or
// FALSE when it does not open or another notchkey holds it. The object is
// asked for once the port has opened, so that a search of 256 names makes
// none for the ports that are not there; nothing is written before it is
// ours. The \\.\ form reaches COM10 and above, which the plain name does
// not, and every port below.
static BOOL open_port(const AppConfig *config, int number, AskedPort *asked)
{
    char name[256], device[260];
    port_name(config, number, name);
    snprintf(device, sizeof device, "\\\\.\\%s", name);
    asked->port = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (asked->port == INVALID_HANDLE_VALUE)
        return FALSE;
    asked->number = number;
    asked->lock = NULL;
    if (number == g_port_number && g_port_lock)
        asked->lock = g_port_lock;
    else if (!take_port(name, &asked->lock)) {
        CloseHandle(asked->port);
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

enum Search { SEARCH_FOUND, SEARCH_NONE_OPENED, SEARCH_NONE_ANSWERED };

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
    g_dcb_saved = found.dcb_saved;
    g_timeouts_saved = found.timeouts_saved;
    return SEARCH_FOUND;
}

// Looks for the mascon on the port named or, with port=auto, on every port
// from COM1 to COM256 that opens. Each is set up, drained and sent RESET, and
// then all are given the usual time to answer at once, so that a search
// takes a second however many ports there are. The first whose answer is a
// lever position and a G-state becomes g_port, synchronised; every other is
// put back and closed. Nothing but RESET is written to any of them.
static Search search_mascon(const AppConfig *config)
{
    BOOL automatic = lstrcmpiA(config->port, PORT_AUTO) == 0;
    int first = automatic ? 1 : com_port_number(config->port);
    int last = automatic ? MASCON_PORTS : first;
    BOOL opened = FALSE;
    g_asked_count = 0;
    // A port named other than COMn is number 0, and was found a serial
    // port's name before the search.
    for (int number = first; number <= last; ++number) {
        AskedPort *asked = &g_asked[g_asked_count];
        if (!open_port(config, number, asked))
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
    g_lever_current = LEVER_UNKNOWN;
    profile_follow_front(LEVER_UNKNOWN);
    DWORD began = GetTickCount();
    int polls = 0;
    int index;
    while (g_asked_count > 0 && (index = await_answer(began, &polls)) >= 0) {
        g_port = g_asked[index].port;
        if (mascon_take_answer() == 0)
            return keep_found(index);
        // Whatever its first answer pressed comes up.
        release_held_keys();
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
    if (g_lever_steps && !follow_lever())
        invalid_message(config);
}

// reconnect=yes: a try a second, in blocking sleeps, until the mascon
// answers; it is then synchronised as at start.
static void wait_for_mascon(const AppConfig *config)
{
    do
        Sleep(MASCON_RETRY_MS);
    while (search_mascon(config) != SEARCH_FOUND);
    tell_user(config, TRUE);
    start_riding(config);
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
    Search search = search_mascon(config);
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
    if (search != SEARCH_FOUND)
        wait_for_mascon(config);
    else
        start_riding(config);

    // In steps, a lever message is handled once the handle is where the
    // lever is by then, with the messages that came meanwhile; a message in
    // no table among them ends the program here as well.
    for (;;) {
        if (!read_message()) {
            if (!config->reconnect)
                no_mascon(config);
            release_held_keys();
            put_back(g_port, &g_dcb_saved, &g_timeouts_saved);
            tell_user(config, FALSE);
            wait_for_mascon(config);
            continue;
        }
        if (!mascon_dispatch())
            invalid_message(config);
    }
}
