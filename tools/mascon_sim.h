// mascon-sim: a simulated mascon on a pseudo-terminal.
//
// The pseudo-terminal is raw on both sides. The simulator keeps the slave open
// itself, so the master never reads EIO while the host has the port closed, and
// it reads everything the host writes on a thread of its own: it answers
// "RESET\r" as configured and keeps every byte for tests to inspect.
#pragma once

#include "common/mascon_tables.h"

#include <stddef.h>

enum SimAnswer {
    SIM_ANSWER_LEVER_GSTATE, // answer "RESET\r" with the lever message, then the G-state message
    SIM_ANSWER_SILENT,       // never answer
    SIM_ANSWER_RAW,          // answer with raw_answer/raw_answer_len, exactly
};

struct SimOptions {
    SimAnswer answer = SIM_ANSWER_LEVER_GSTATE;
    const char *lever = lever_messages[6];   // six bytes
    const char *gstate = gstate_messages[2]; // six bytes
    const char *raw_answer = nullptr;
    size_t raw_answer_len = 0;
    int answer_delay_ms = 0; // pause between seeing "RESET\r" and answering
};

struct MasconSim;

// Creates the pseudo-terminal. With dir non-null, links dir/com<com_number> to
// the slave (replacing a stale link). Returns nullptr with a message on stderr
// on failure.
MasconSim *sim_open(const char *dir, int com_number, const SimOptions *options);

// Serves a serial port (any tty) instead of a pseudo-terminal: raw, 19200
// baud, 8N1, no flow control, answering "RESET\r" as sim_open does; no link.
// The port's settings are restored when it is hung up. sim_slave_path names
// the port. Returns nullptr with a message on stderr on failure.
MasconSim *sim_open_port(const char *path, const SimOptions *options);

// Path of the slave (/dev/pts/N) and of the link (empty without one).
const char *sim_slave_path(const MasconSim *sim);
const char *sim_link_path(const MasconSim *sim);

// Writes bytes to the host, all of them, in order. False once hung up or on error.
bool sim_send(MasconSim *sim, const void *bytes, size_t len);
// Writes what the line takes now, without waiting: the number of bytes
// written (0 when the line is full), or -1 once hung up or on error.
long sim_send_some(MasconSim *sim, const void *bytes, size_t len);
// For poll(): the line (POLLOUT once it takes bytes again; -1 once hung up),
// and a descriptor readable once a RESET has been answered (seen, when
// silent), cleared by reading its eight-byte count.
int sim_line_fd(const MasconSim *sim);
int sim_answered_fd(const MasconSim *sim);
// A five-character message name such as "MCA55": sends it with its "\r".
// Anything else is sent as given.
bool sim_send_message(MasconSim *sim, const char *message);

// Six-byte lever and G-state messages for the answers to "RESET\r"s still to
// come, as the mascon's lever moves. False (and nothing changed) unless the
// simulator answers with the lever and G-state.
bool sim_set_answer(MasconSim *sim, const char *lever, const char *gstate);

// Waits until the host has written "RESET\r" and, unless silent, the answer has
// been sent. False on timeout.
bool sim_wait_reset(MasconSim *sim, int timeout_ms);
// The same for the count-th "RESET\r" (1 is the first). A negative timeout
// waits for ever; false as soon as the line is hung up short of count.
bool sim_wait_resets(MasconSim *sim, int count, int timeout_ms);
// Number of "RESET\r" seen so far.
int sim_reset_count(const MasconSim *sim);
// Copies up to cap bytes of everything the host has written; returns the total
// number of bytes the host has written (which may exceed cap).
size_t sim_received(const MasconSim *sim, char *out, size_t cap);

// The line goes away: the master is closed, the host's reads fail. Idempotent.
void sim_hangup(MasconSim *sim);
// Removes the link unless another simulator has taken the name over since
// (it no longer points at slave). Touches nothing but the file system, so a
// signal thread may call it while the simulator is being freed.
void sim_unlink_if_ours(const char *link, const char *slave);
// Hangs up, removes the link, frees everything.
void sim_close(MasconSim *sim);

// Decodes C-like escapes (\r \n \t \\ \xNN) of text into out; returns the
// decoded length, or -1 for a malformed escape or when out is too small.
long sim_unescape(const char *text, char *out, size_t cap);
