// Profiles: named key sets over the base one, each selected by the programs
// whose window is in front. The settings are read into them
// (keys/keysettings.h); the worker switches between them before it sends a
// message's keys, and each keeps its own step state.
#pragma once

#include "keys/keyset.h"

// Where the lever is when it is not known yet.
#define LEVER_UNKNOWN (-1)

// The key sets in use: made at start, then the worker's.
extern KeySettings g_key_settings;
// The profile whose set the senders use (g_keys). The worker's once it runs.
extern int g_profile_active;

// Takes read settings as the ones in use, the default profile active.
void profiles_install(const KeySettings *settings);

// The profile a program's path selects by its file name, as a program= entry
// names it (its folder and ".exe" aside, in any letter case); the default
// when none does.
int profile_of_program(const char *path);

// Looks up what naming the program in front takes, and asks the system to
// tell of a change of it where it can: on the thread that runs the message
// loop, before it. Nothing without profiles, or on a system without these.
void profile_watch_front(void);

// Switches to the profile of the program in front, if it is another (lever:
// the lever's place, LEVER_UNKNOWN before the first). notchkey's own windows
// (its menu, a box), no window in front, and a program whose name cannot be
// read keep the profile: a look at the menu is no change of simulator.
// FALSE once the worker is asked to stop.
BOOL profile_follow_front(LONG lever);

// Whether the system told of a change of the program in front since the
// last call.
BOOL profile_front_changed(void);

// Makes profile the active one: every key held comes up, the profile's set
// is taken, and a known lever is taken where it is (in steps from where this
// profile's handle was left). FALSE once the worker is asked to stop.
BOOL profile_switch(int profile, LONG lever);
