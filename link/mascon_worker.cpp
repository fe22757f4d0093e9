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

int mascon_sync(void)
{
    COMSTAT stat;
    memset(&stat, 0, sizeof stat);
    ClearCommError(g_port, &g_io, &stat);
    if (stat.cbInQue > MASCON_DRAIN_MAX)
        return -1;
    ReadFile(g_port, g_drain, stat.cbInQue, &g_io, NULL);
    WriteFile(g_port, RESET_COMMAND, MASCON_MESSAGE_LEN, &g_io, NULL);

    // The answer is two messages: the lever's position, then the G-state.
    DWORD began = GetTickCount();
    int polls = 0;
    for (;;) {
        memset(&stat, 0, sizeof stat);
        ClearCommError(g_port, &g_io, &stat);
        ++polls;
        if (stat.cbInQue >= 2 * MASCON_MESSAGE_LEN)
            break;
        if (polls > MASCON_SYNC_POLLS) {
            if (GetTickCount() - began >= MASCON_SYNC_MIN_MS)
                return -polls;
            Sleep(MASCON_SYNC_PAUSE_MS);
        }
    }

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

// Windows lets one program at a time open a port, but not every system that
// runs us does (Wine lets a second one in, which then writes RESET into the
// first one's line): a named object per port, taken before the port is
// opened, keeps a second notchkey out. Held until the process ends.
static BOOL take_port(int number)
{
    char name[32];
    snprintf(name, sizeof name, "notchkey COM%d", number);
    HANDLE taken = CreateMutexA(NULL, FALSE, name);
    if (taken && GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(taken);
        return FALSE;
    }
    // An object that cannot be made at all leaves it to the port's own rule.
    return TRUE;
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

// Failures once the port is ours: put its settings back (where the line
// still lets us) and let go of it before saying why.
[[noreturn]] static void worker_fail_open(const AppConfig *config)
{
    SetCommState(g_port, &g_dcb_saved);
    SetCommTimeouts(g_port, &g_timeouts_saved);
    CloseHandle(g_port);
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
static DWORD port_device(int number, char *device, DWORD size)
{
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    FARPROC proc = kernel32 ? GetProcAddress(kernel32, "QueryDosDeviceA") : NULL;
    if (!proc)
        return 0;
    char name[8];
    snprintf(name, sizeof name, "COM%d", number);
    return reinterpret_cast<decltype(&QueryDosDeviceA)>(reinterpret_cast<void (*)(void)>(proc))(
        name, device, size);
}

// Whoever watches the program run learns that the mascon is there, on which
// device, and with which settings it is served.
static void note_mascon_answered(const AppConfig *config, int number)
{
    char device[MAX_PATH];
    if (!port_device(number, device, sizeof device))
        strcpy(device, "?");
    // A file with profiles names the one the keys are taken from.
    char profile[48] = "";
    if (g_profile_count)
        snprintf(profile, sizeof profile, ", profile=%s",
                 g_profile_active != PROFILE_BASE ? g_profiles[g_profile_active].name : "none");
    note("mascon answered on %s (%s): lever at position %ld (%.5s); injector=%s, lever=%s%s",
         config->port, device, static_cast<long>(g_lever_current),
         lever_messages[g_lever_current], config->injector, config->lever, profile);
}

DWORD WINAPI mascon_worker(LPVOID parameter)
{
    const AppConfig *config = static_cast<const AppConfig *>(parameter);

    // Only a serial port is opened: any other name could be a file or a
    // device that RESET would be written into. The \\.\ form reaches COM10
    // and above, which the plain name does not, and every port below.
    int number = com_port_number(config->port);
    char device[20];
    snprintf(device, sizeof device, "\\\\.\\COM%d", number);
    g_port = number && take_port(number) ? CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, NULL,
                                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL)
                                         : INVALID_HANDLE_VALUE;
    if (g_port == INVALID_HANDLE_VALUE) {
        snprintf(g_text, sizeof g_text, "%s is invalid COM port.", config->port);
        worker_fail(config);
    }

    // The speed and the byte size are ours to choose; everything else stays
    // as the port had it, but for software flow control: a port can come
    // with it on (a freshly plugged adapter does), and then a 0x13 from the
    // line would vanish and stop our writes.
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

    // The keys the lever is taken with at start are the front program's.
    g_lever_current = LEVER_UNKNOWN;
    profile_follow_front(LEVER_UNKNOWN);
    if (mascon_sync() != 0)
        no_mascon(config);
    note_mascon_answered(config, number);
    // What the start owes in steps goes out as a move's steps do, with the
    // messages that come meanwhile taken between them.
    if (g_lever_steps && !follow_lever())
        invalid_message(config);

    // In steps, a lever message is handled once the handle is where the
    // lever is by then, with the messages that came meanwhile; a message in
    // no table among them ends the program here as well.
    for (;;) {
        if (!read_message())
            no_mascon(config);
        if (!mascon_dispatch())
            invalid_message(config);
    }
}
