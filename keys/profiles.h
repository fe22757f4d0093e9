// Profiles: named sets of key settings over the base ones, each selected by
// the programs whose window is in front. The settings make them
// (keys/keysettings.h); the worker switches between them before it sends a
// message's keys.
#pragma once

#include "common/notchkey.h"
#include "keys/steps.h"

// Everything the senders look a key up in, as one profile has it.
struct KeySet {
    WORD lever[16];
    WORD button[8];
    StepConfig steps;
    BOOL lever_steps;
};

// The longest program= list kept.
#define PROGRAMS_MAX 255

struct Profile {
    char name[32];
    char programs[PROGRAMS_MAX + 2]; // file names, NUL after each, an empty one last
    KeySet keys;
};

// The base sections' tables are profile 0, the profiles follow in file order.
#define PROFILE_BASE 0
// Where the lever is when it is not known yet.
#define LEVER_UNKNOWN (-1)

// Made at start by the settings, only read afterwards.
extern Profile g_profiles[PROFILE_MAX + 1];
extern int g_profile_count;   // profiles besides the base
extern int g_profile_default; // the one profile= names, else PROFILE_BASE
// The profile whose tables the senders use. The worker's once it runs.
extern int g_profile_active;

void save_key_set(KeySet *set);
void load_key_set(const KeySet *set);

// The place of the profile of a name, in any letter case; -1 for none.
int profile_named(const char *name);

// The profile a program's path selects by its file name, as a program= entry
// names it (its folder and ".exe" aside, in any letter case); the default
// when none does.
int profile_of_program(const char *path);

// Looks up what naming the program in front takes, and asks the system to
// tell of a change of it where it can: on the thread that runs the message
// loop, before it. Nothing without profiles, or on a system without these.
void profile_watch_front(void);

// The worker's, before it sends a message's keys (lever: the lever's place
// before the message, LEVER_UNKNOWN before the first), and where its reads
// wait: switches to the profile of the program in front, if it is another.
void profile_follow_front(LONG lever);

// Whether the system told of a change of the program in front since the
// last call.
BOOL profile_front_changed(void);

// Makes profile the active one: every key held comes up, the profile's
// tables are taken, and a known lever is taken where it is as at start.
// Worker only.
void profile_switch(int profile, LONG lever);
