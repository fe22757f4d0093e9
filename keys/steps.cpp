#include "keys/steps.h"

#include "keys/keydrv.h"

// Lever indices from one end: power notches 6 to 1, neutral, brake notches 1
// to 9, the last the emergency brake.
#define LEVER_NEUTRAL 6
#define LEVER_EMERGENCY 15

static LONG top_power(void)
{
    return g_keys->steps.power_map[LEVER_POWER_NOTCHES - 1];
}

static LONG emergency(void)
{
    return -(g_keys->steps.brake_map[LEVER_BRAKE_NOTCHES - 1] + 1);
}

LONG train_notch(LONG lever_index)
{
    const StepConfig *steps = &g_keys->steps;
    if (lever_index < LEVER_NEUTRAL)
        return steps->power_map[LEVER_NEUTRAL - 1 - lever_index];
    if (lever_index == LEVER_NEUTRAL)
        return 0;
    if (lever_index == LEVER_EMERGENCY)
        return emergency();
    return -steps->brake_map[lever_index - LEVER_NEUTRAL - 1];
}

// At an end, a full handle's travel more takes the simulator's handle there
// from wherever it really is, and a handle stops at its end.
static void owe_at_end(void)
{
    StepState *state = &g_keys->state;
    state->owed = 0;
    if (state->train_at == top_power()) {
        state->owed = top_power();
        state->owed_kind = STEP_POWER_UP;
    } else if (state->train_at == emergency()) {
        state->owed = -emergency();
        state->owed_kind = STEP_BRAKE_UP;
    }
}

void steps_start(LONG lever_index)
{
    g_keys->state.known = TRUE;
    g_keys->state.train_at = train_notch(lever_index);
    owe_at_end();
}

void steps_resume(LONG lever_index)
{
    if (!g_keys->state.known)
        steps_start(lever_index);
    else if (!g_keys->state.owed && g_keys->state.train_at == train_notch(lever_index))
        owe_at_end();
}

int next_step(LONG lever_index)
{
    StepState *state = &g_keys->state;
    // What an end owes goes out in full, wherever the lever has gone since:
    // until then the handle is only taken to be there.
    if (state->owed > 0) {
        --state->owed;
        return state->owed_kind;
    }
    LONG target = train_notch(lever_index);
    if (state->train_at == target)
        return -1;
    int kind;
    if (state->train_at > 0)
        kind = target < state->train_at ? STEP_POWER_DOWN : STEP_POWER_UP;
    else if (state->train_at < 0)
        kind = target > state->train_at ? STEP_BRAKE_DOWN : STEP_BRAKE_UP;
    else
        kind = target > 0 ? STEP_POWER_UP : STEP_BRAKE_UP;
    state->train_at += kind == STEP_POWER_UP || kind == STEP_BRAKE_DOWN ? 1 : -1;
    if (state->train_at == target)
        owe_at_end();
    return kind;
}

BOOL send_step(int kind)
{
    WORD press[1] = {g_keys->steps.keys[kind]};
    WORD release[1] = {static_cast<WORD>(press[0] | 0x80)};
    send_packet(press, 1);
    BOOL stopping = stop_wait(g_keys->steps.press_ms);
    send_packet(release, 1);
    return !stopping && !stop_wait(g_keys->steps.gap_ms);
}
