// Key injection: the scan-code maps, the key packets, and the driver handle
// they go through. A packet is one or two set-1 scan codes, delivered in
// order; a code with bit 7 set is a release.
#pragma once

#include "common/notchkey.h"
#include "keys/keytap.h"

// Opened once at start-up, before the worker exists; only read afterwards.
extern HANDLE g_keydrv;

// The key held down while the lever rests in each position, and the key
// event sent for each button message, press or release already in it. Set-1
// codes, with KEY_EXTENDED (keys/keynames.h) for a key that needs the
// extended prefix. The standard map with the [keys] section's entries over
// it, made by keydrv_select; only read afterwards. With lever=step the lever
// holds none (keys/steps.h).
extern WORD lever_scancodes[16];
extern WORD button_scancodes[8];

#define INJECTOR_DRIVER "driver"       // the key-injection driver (the old Windows family)
#define INJECTOR_SENDINPUT "sendinput" // SendInput with scan codes (every current Windows)

// Takes the injector named in the settings, then the key settings
// (keys/keysettings.h): 0, or 1 after telling the user the name is none of
// the two or which key setting is wrong. Called before anything is opened.
int keydrv_select(const AppConfig *config);
// 0 when packets can be delivered; 1, after telling the user, when the
// driver cannot be opened. SendInput needs nothing opened.
int keydrv_open(const AppConfig *config);
int keydrv_close(void);

// One packet out the chosen way, in order, the held keys kept track of.
// Worker only, as are the senders built on it.
void send_packet(const WORD *keys, DWORD len);

// The senders run on the worker only, with indices the lookups produced.
int send_lever_change(LONG from, LONG to);
// At start: the lever's key goes down, as for a move from position 0.
int send_lever_start(LONG to);
int send_button_key(LONG index);
int on_gstate(LONG index);

// The lever taken where it is, as at start: its position's key goes down, or
// in steps, nothing but the alignment of a lever at an end.
int take_lever(LONG index);
// The buttons held are taken as let go (their keys come up with the rest):
// their release messages send nothing.
void drop_held_buttons(void);

// Releases, one packet each, every key a packet pressed and none released
// since; returns how many. On the worker, or once it has stopped.
int release_held_keys(void);
