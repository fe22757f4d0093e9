// The lever in steps, for a simulator whose handles move one notch per key
// press: a lever move becomes presses of the notch-up and notch-down keys,
// as many as notches were passed.
#pragma once

#include "common/notchkey.h"

// The step keys' places in step_keys.
enum StepKind { STEP_POWER_UP, STEP_POWER_DOWN, STEP_BRAKE_UP, STEP_BRAKE_DOWN, STEP_KINDS };

#define STEP_MS_DEFAULT 30
#define STEP_MS_MAX 1000
// The most steps one move takes: from power 6 to brake 9, and the alignment.
#define STEP_MAX (6 + 9 + 9)
// The "from" of the lever's position found at start.
#define LEVER_AT_START (-1)

// Set by keydrv_select (lever=step and the [step] section); only read
// afterwards. Without step mode the lever holds its keys (keys/keydrv.h).
extern BOOL g_lever_steps;
extern WORD step_keys[STEP_KINDS]; // codes as the key maps hold them
extern DWORD g_step_press_ms;      // how long each press is held
extern DWORD g_step_gap_ms;        // the pause after each release

// The steps (StepKind values) a move from one lever index to another takes,
// in order, into steps, which has room for STEP_MAX; returns how many.
int lever_steps(LONG from, LONG to, BYTE *steps);

// Sends those steps: each a press held g_step_press_ms, its release, then
// g_step_gap_ms before anything else. Worker only; returns 1.
int send_lever_steps(LONG from, LONG to);
