// Key injection: the driver handle or SendInput, the packets, and the keys
// they leave held. A packet is one or two set-1 scan codes, delivered in
// order; a code with bit 7 set is a release.
#pragma once

#include "common/notchkey.h"
#include "keys/keytap.h"

// Opened once at start-up, before the worker exists; only read afterwards.
extern HANDLE g_keydrv;

#define INJECTOR_DRIVER "driver"       // the key-injection driver (the old Windows family)
#define INJECTOR_SENDINPUT "sendinput" // SendInput with scan codes (every current Windows)

// Takes the injector a setting names: FALSE when it is none of the two or
// cannot be used here. Before anything is opened.
BOOL keydrv_choose(const char *injector);
// Whether the chosen way takes extended keys: the driver's packets have no
// room for their prefix.
BOOL keydrv_extended_keys(void);
// 0 when packets can be delivered; 1, after telling the user, when the
// driver cannot be opened. SendInput needs nothing opened.
int keydrv_open(const AppConfig *config);
int keydrv_close(void);

// One packet out the chosen way, in order, the held keys kept track of.
// Worker only.
void send_packet(const WORD *keys, DWORD len);
// Whether a packet pressed the key and none released it since.
bool key_held(WORD key);

// Releases, one packet each, every key a packet pressed and none released
// since; returns how many. On the worker, or once it has stopped.
int release_held_keys(void);
