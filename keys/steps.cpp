#include "keys/steps.h"

#include "keys/keydrv.h"

BOOL g_lever_steps;
WORD step_keys[STEP_KINDS];
DWORD g_step_press_ms = STEP_MS_DEFAULT;
DWORD g_step_gap_ms = STEP_MS_DEFAULT;

// Lever indices from one end: power notches 6 to 1, neutral, brake notches 1
// to 9, the last the emergency brake.
#define LEVER_NEUTRAL 6
#define LEVER_EMERGENCY 15
#define BRAKE_NOTCHES 9

static LONG power_notch(LONG index)
{
    return index < LEVER_NEUTRAL ? LEVER_NEUTRAL - index : 0;
}

static LONG brake_notch(LONG index)
{
    return index > LEVER_NEUTRAL ? index - LEVER_NEUTRAL : 0;
}

static int add_steps(BYTE *steps, int count, StepKind kind, LONG times)
{
    for (; times > 0; --times)
        steps[count++] = static_cast<BYTE>(kind);
    return count;
}

int lever_steps(LONG from, LONG to, BYTE *steps)
{
    int count = 0;
    if (from != LEVER_AT_START) {
        if (from == to)
            return 0;
        // Power comes off before the brake goes on, and the brake off before
        // power goes on, so the simulator never has both at once.
        count = add_steps(steps, count, STEP_POWER_DOWN, power_notch(from) - power_notch(to));
        count = add_steps(steps, count, STEP_BRAKE_DOWN, brake_notch(from) - brake_notch(to));
        count = add_steps(steps, count, STEP_POWER_UP, power_notch(to) - power_notch(from));
        count = add_steps(steps, count, STEP_BRAKE_UP, brake_notch(to) - brake_notch(from));
    }
    // The simulator's handle may not be where we think (a key it missed, a
    // handle moved by hand, its own start): a full brake's worth more takes
    // it to its emergency end from anywhere, and a handle stops there.
    if (to == LEVER_EMERGENCY)
        count = add_steps(steps, count, STEP_BRAKE_UP, BRAKE_NOTCHES);
    return count;
}

// Sleep is where shutdown stops the worker: a press held then is let go by
// release_held_keys, and the steps not yet sent are dropped.
int send_lever_steps(LONG from, LONG to)
{
    BYTE steps[STEP_MAX];
    int count = lever_steps(from, to, steps);
    for (int i = 0; i < count; ++i) {
        WORD press[1] = {step_keys[steps[i]]};
        WORD release[1] = {static_cast<WORD>(press[0] | 0x80)};
        send_packet(press, 1);
        Sleep(g_step_press_ms);
        send_packet(release, 1);
        Sleep(g_step_gap_ms);
    }
    return 1;
}
