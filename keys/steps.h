// The lever in steps, for a simulator whose handles move one notch per key
// press: the lever's position becomes presses of the notch-up and notch-down
// keys that take the train's handle there, one at a time, so that each next
// step can aim at where the lever is by then.
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

// Set by keydrv_select (lever=step and the [step] section); only read
// afterwards. Without step mode the lever holds its keys (keys/keydrv.h).
extern BOOL g_lever_steps;
extern StepConfig g_steps;

// Times of 30 ms, no keys, and the lever's notches one to one.
void step_defaults(StepConfig *settings);

// Where the train's handle goes for a lever index, on one line: power
// notches above 0, neutral 0, service brakes below, the emergency brake one
// below the last of them.
LONG train_notch(LONG lever_index);

// The worker keeps the notch it has brought the handle to. At start that is
// the lever's, and a lever at either end owes that end's presses, as a move
// there does (next_step).
void steps_start(LONG lever_index);

// The one step (a StepKind) that takes the handle on toward the lever index,
// taken as sent; -1 once it is there and nothing is owed. Power comes off
// before the brake goes on and the other way round. A step that reaches the
// top power notch or the emergency brake owes as many more as that end is
// far from neutral, so a handle the simulator stopped at the end, or one
// that was not where it was taken to be, is in line again; they go out
// first, even where the lever has left the end meanwhile.
int next_step(LONG lever_index);

// A step's press held press_ms, its release, then gap_ms before anything
// else. Worker only.
void send_step(int kind);
