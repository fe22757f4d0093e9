// One home for what a profile's keys depend on: the lever's and the buttons'
// keys, the step settings, and where steps have left the train's handle. The
// settings are read into such values (keys/keysettings.h), a profile owns one
// (keys/profiles.h), and the senders and the steps work on the one in use.
#pragma once

#include "common/notchkey.h"

// The step keys' places in StepConfig.keys.
enum StepKind { STEP_POWER_UP, STEP_POWER_DOWN, STEP_BRAKE_UP, STEP_BRAKE_DOWN, STEP_KINDS };

#define STEP_MS_DEFAULT 30
#define STEP_MS_MAX 1000
// The lever's power notches and service brakes; its brake 9 is the emergency
// brake, which every train has.
#define LEVER_POWER_NOTCHES 6
#define LEVER_BRAKE_NOTCHES 8
// The highest notch a map may give: a train may have more notches than the
// lever, but not without end.
#define TRAIN_NOTCH_MAX 99

// What a [step] section sets; the maps take a count as a map too.
struct StepConfig {
    WORD keys[STEP_KINDS]; // codes as the key maps hold them
    DWORD press_ms;        // how long each press is held
    DWORD gap_ms;          // the pause after each release
    // The train's notch for each of the lever's, from 1 up; never falling.
    BYTE power_map[LEVER_POWER_NOTCHES];
    BYTE brake_map[LEVER_BRAKE_NOTCHES];
};

// Where steps have brought the simulator's handle: kept for as long as the
// program runs, so that a mascon back after a pulled cable, or a simulator
// come back to the front, is stepped from where its handle was left.
struct StepState {
    BOOL known;     // steps have taken the handle somewhere since start
    LONG train_at;  // the notch the handle has been brought to
    LONG owed;      // presses still owed at the end it is at
    int owed_kind;  // the StepKind they are
};

struct KeySet {
    // The key held down while the lever rests in each position, and the key
    // event sent for each button message, press or release already in it.
    // Set-1 codes, with KEY_EXTENDED (keys/keynames.h) for a key that needs
    // the extended prefix.
    WORD lever[16];
    WORD button[8];
    BOOL lever_steps; // the lever in steps: it holds no key, steps move the handle
    StepConfig steps;
    StepState state;
};

// The longest program= list kept.
#define PROGRAMS_MAX 255

struct Profile {
    char name[32];
    char programs[PROGRAMS_MAX + 2]; // file names, NUL after each, an empty one last
    KeySet keys;
};

// The base sections are profile 0, the profiles follow in file order.
#define PROFILE_BASE 0

// Every profile of a settings file, as read.
struct KeySettings {
    Profile profiles[PROFILE_MAX + 1];
    int count;          // profiles besides the base
    int default_profile; // the one profile= names, else PROFILE_BASE
};

// The key set the senders and the steps use: the active profile's. Set by
// keys/profiles.h; the worker's once it runs.
extern KeySet *g_keys;

// Times of 30 ms, no keys, and the lever's notches one to one.
void step_defaults(StepConfig *settings);
// A set from the standard maps and the step defaults, the handle where no
// step has taken it yet.
void key_set_start(KeySet *set, BOOL lever_steps);
