// The senders: a message's keys from the key set in use (g_keys), through
// the injection below. Worker only, with indices the lookups produced.
#pragma once

#include "keys/keyset.h"

int send_lever_change(LONG from, LONG to);
// At start: the lever's key goes down, as for a move from position 0.
int send_lever_start(LONG to);
int send_button_key(LONG index);
int on_gstate(LONG index);

// No button is down: before the first message.
void buttons_start(void);
// The buttons held are taken as let go (their keys come up with the rest):
// their release messages send nothing.
void drop_held_buttons(void);

// The lever taken where it is: its position's key goes down, or in steps the
// handle goes from where this set's steps left it (as at start if they never
// took it anywhere). FALSE once the worker is asked to stop.
BOOL take_lever(LONG index);
