// The serial worker: the thread that owns the mascon's port. It finds,
// opens and configures the port, synchronises with the mascon, then turns
// each message into key packets until Exit asks it to stop (stop_ask), when
// it lets its keys up, gives the port back and returns 0. On any failure it
// tells the user, posts WM_WORKER_ENDED to the main window and exits with
// code 1; with reconnect=yes a mascon that is missing or gone is waited for
// instead.
#pragma once

#include "common/notchkey.h"
#include "keys/keys.h"

#define MASCON_BAUD_RATE CBR_19200
#define MASCON_BYTE_SIZE 8
// More input than this waiting before the RESET is no mascon talking to us.
#define MASCON_DRAIN_MAX 512
// How long a read waits for the first byte of a message before the worker
// asks the port whether its line is still there.
#define MASCON_LINE_CHECK_MS 200
// How long the answer to RESET is waited for before the mascon counts as
// silent, and when it is first looked for: a mascon that answers at once has
// its twelve bytes on the wire within 6.25 ms.
#define MASCON_SYNC_MS 1000
#define MASCON_SYNC_FIRST_LOOK_MS 8
// How long a write may wait for the line before the port counts as silent.
#define MASCON_WRITE_MS 100
// port=auto: every port from COM1 to this one is tried.
#define PORT_AUTO "auto"
#define MASCON_PORTS 256
// reconnect=yes: how long the worker sleeps between tries while it waits,
// and (port=auto) every how many tries it looks at the names that were no
// port at the last look.
#define MASCON_RETRY_MS 1000
#define MASCON_SCAN_TRIES 8

extern HANDLE g_port;
extern DCB g_dcb_saved; // the port's settings as found, put back on failure
extern DCB g_dcb_work;  // the same with the mascon's line settings
extern COMMTIMEOUTS g_timeouts_saved; // the port's time-outs as found, put back on failure
extern COMMTIMEOUTS g_timeouts_work;  // reads return what has come, waiting a while for it
// Six message bytes and a zero that is never written: always a string.
extern char g_rx[8];
extern char g_drain[MASCON_DRAIN_MAX];
extern LONG g_gstate;
// Transfer counts and error flags land here; nothing decides on them.
extern DWORD g_io;

// The number n of a port name "COMn", 1 to 256, in any letter case and
// without leading zeros; 0 for any other name (a file, a path, LPT1, NUL).
int com_port_number(const char *name);

// The thread procedure; the parameter is the AppConfig, which outlives it.
// Returns 0 once stopped.
DWORD WINAPI mascon_worker(LPVOID parameter);

// Hands the message in g_rx to the keys (keys/keys.h): KEYS_UNKNOWN when it,
// or one that came while its steps went out, is in none of the tables.
// Worker only.
int mascon_dispatch(void);

// 0 once synchronised; -1 for too much pending input, RESET not written or
// an answer of the wrong kind; -2 when the mascon did not answer within
// MASCON_SYNC_MS, or the stop was asked.
int mascon_sync(void);
