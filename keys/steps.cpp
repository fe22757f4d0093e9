#include "keys/steps.h"

#include "keys/keydrv.h"

BOOL g_lever_steps;
StepConfig g_steps;

// Lever indices from one end: power notches 6 to 1, neutral, brake notches 1
// to 9, the last the emergency brake.
#define LEVER_NEUTRAL 6
#define LEVER_EMERGENCY 15

// The notch the handle has been brought to, and the presses still owed at
// the end it is at. The worker's alone.
static LONG g_train_at;
static LONG g_owed;
static int g_owed_kind;

void step_defaults(StepConfig *settings)
{
    for (int i = 0; i < STEP_KINDS; ++i)
        settings->keys[i] = 0;
    settings->press_ms = STEP_MS_DEFAULT;
    settings->gap_ms = STEP_MS_DEFAULT;
    for (int i = 0; i < LEVER_POWER_NOTCHES; ++i)
        settings->power_map[i] = static_cast<BYTE>(i + 1);
    for (int i = 0; i < LEVER_BRAKE_NOTCHES; ++i)
        settings->brake_map[i] = static_cast<BYTE>(i + 1);
}

static LONG top_power(void)
{
    return g_steps.power_map[LEVER_POWER_NOTCHES - 1];
}

static LONG emergency(void)
{
    return -(g_steps.brake_map[LEVER_BRAKE_NOTCHES - 1] + 1);
}

LONG train_notch(LONG lever_index)
{
    if (lever_index < LEVER_NEUTRAL)
        return g_steps.power_map[LEVER_NEUTRAL - 1 - lever_index];
    if (lever_index == LEVER_NEUTRAL)
        return 0;
    if (lever_index == LEVER_EMERGENCY)
        return emergency();
    return -g_steps.brake_map[lever_index - LEVER_NEUTRAL - 1];
}

// At an end, a full handle's travel more takes the simulator's handle there
// from wherever it really is, and a handle stops at its end.
static void owe_at_end(void)
{
    g_owed = 0;
    if (g_train_at == top_power()) {
        g_owed = top_power();
        g_owed_kind = STEP_POWER_UP;
    } else if (g_train_at == emergency()) {
        g_owed = -emergency();
        g_owed_kind = STEP_BRAKE_UP;
    }
}

void steps_start(LONG lever_index)
{
    g_train_at = train_notch(lever_index);
    owe_at_end();
}

int next_step(LONG lever_index)
{
    // What an end owes goes out in full, wherever the lever has gone since:
    // until then the handle is only taken to be there.
    if (g_owed > 0) {
        --g_owed;
        return g_owed_kind;
    }
    LONG target = train_notch(lever_index);
    if (g_train_at == target)
        return -1;
    int kind;
    if (g_train_at > 0)
        kind = target < g_train_at ? STEP_POWER_DOWN : STEP_POWER_UP;
    else if (g_train_at < 0)
        kind = target > g_train_at ? STEP_BRAKE_DOWN : STEP_BRAKE_UP;
    else
        kind = target > 0 ? STEP_POWER_UP : STEP_BRAKE_UP;
    g_train_at += kind == STEP_POWER_UP || kind == STEP_BRAKE_DOWN ? 1 : -1;
    if (g_train_at == target)
        owe_at_end();
    return kind;
}

// Sleep is where shutdown stops the worker: a press held then is let go by
// release_held_keys.
void send_step(int kind)
{
    WORD press[1] = {g_steps.keys[kind]};
    WORD release[1] = {static_cast<WORD>(press[0] | 0x80)};
    send_packet(press, 1);
    Sleep(g_steps.press_ms);
    send_packet(release, 1);
    Sleep(g_steps.gap_ms);
}
