// The lever in steps, for a simulator whose handles move one notch per key
// press: the lever's position becomes presses of the notch-up and notch-down
// keys that take the train's handle there, one at a time, so that each next
// step can aim at where the lever is by then. They work on the key set in
// use (g_keys), whose StepState remembers where the handle was left.
#pragma once

#include "keys/keyset.h"

// Where the train's handle goes for a lever index, on one line: power
// notches above 0, neutral 0, service brakes below, the emergency brake one
// below the last of them.
LONG train_notch(LONG lever_index);

// The handle taken to be where the lever is, as at start: a lever at either
// end owes that end's presses, as a move there does (next_step).
void steps_start(LONG lever_index);

// The handle's notch known from before (a line back, a profile come back):
// steps go on from there; one that is where the lever is lines up an end
// again, as at start.
void steps_resume(LONG lever_index);

// The one step (a StepKind) that takes the handle on toward the lever index,
// taken as sent; -1 once it is there and nothing is owed. Power comes off
// before the brake goes on and the other way round. A step that reaches the
// top power notch or the emergency brake owes as many more as that end is
// far from neutral, so a handle the simulator stopped at the end, or one
// that was not where it was taken to be, is in line again; they go out
// first, even where the lever has left the end meanwhile.
int next_step(LONG lever_index);

// A step's press held press_ms, its release, then gap_ms before anything
// else: FALSE, with the press let go, once the worker is asked to stop.
// Worker only.
BOOL send_step(int kind);
