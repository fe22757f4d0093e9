// What the worker hands the keys: the settings once at start, then each
// message as it comes. Everything a message's keys depend on (the profile in
// front, the lever's place, steps under way) is kept here and below.
#pragma once

#include "common/notchkey.h"

// The next whole message that has come, without waiting for one: 1 with
// *message set, 0 when none is waiting, -1 when the line is gone. The
// worker's, for the messages that come while steps go out.
typedef int (*WaitingMessage)(const char **message);

// What handling a message came to.
#define KEYS_OK 1
#define KEYS_UNKNOWN 0    // a message in no table
#define KEYS_LINE_GONE (-1)
#define KEYS_STOPPED (-2) // the worker was asked to stop

// The lever's place as the messages left it, and the one before the last
// move; LEVER_UNKNOWN until the mascon has answered.
extern LONG g_lever_current;
extern LONG g_lever_previous;

// Takes the injector named in the settings, then the key settings
// (keys/keysettings.h): 0, or 1 after telling the user the name is none of
// the two or which key setting is wrong. Called before anything is opened.
int keydrv_select(const AppConfig *config);

// Before the mascon is asked: the lever is not known, and the keys it will
// be taken with are the front program's.
void keys_before_answer(void);
// The mascon answered with the lever there: its key goes down, or in steps
// the handle is taken to be there, or where steps left it before.
void keys_start(LONG lever);
// What a start owes in steps goes out, the messages that come meanwhile
// taken between the steps.
int keys_catch_up(WaitingMessage more);
// One message from the mascon (a NUL-terminated string): its keys, and in
// steps every step up to where the lever is by then, with the messages that
// come meanwhile.
int keys_message(const char *message, WaitingMessage more);
// The line is quiet: the keys follow a new program in front at once.
// FALSE once the worker is asked to stop.
BOOL keys_idle(void);
// The line is gone: every key comes up, and the buttons held are let go.
void keys_line_lost(void);

// For the note that the mascon answered: how the active profile's lever goes,
// and its name (NULL without profiles, "none" for the base sections).
const char *keys_lever_way(void);
const char *keys_profile_name(void);
