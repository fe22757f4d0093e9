#include "keys/senders.h"

#include "keys/keydrv.h"
#include "keys/steps.h"

// Each button's state as its messages left it; one let go at a profile
// switch is dropped, and its release message then sends nothing.
enum ButtonState { BUTTON_UP, BUTTON_DOWN, BUTTON_DROPPED };
static BYTE g_buttons[4];

int send_lever_change(LONG from, LONG to)
{
    const WORD *lever = g_keys->lever;
    // Two positions of one key (a simulator with fewer notches than the
    // lever): the key stays down, and goes down if the same message twice
    // let go of it.
    WORD key[1] = {lever[to]};
    if (from != to && key[0] == lever[from]) {
        if (!key_held(key[0]))
            send_packet(key, 1);
        return 1;
    }
    // The new key goes down before the old one comes up, so some lever key is
    // held at every moment.
    WORD keys[2] = {lever[to], static_cast<WORD>(lever[from] | 0x80)};
    send_packet(keys, 2);
    return 1;
}

// No lever key is down yet; the release of position 0's key has always come
// with the press, but not where it is the same key, which it would let go of
// again.
int send_lever_start(LONG to)
{
    if (g_keys->lever[to] != g_keys->lever[0])
        return send_lever_change(0, to);
    WORD key[1] = {g_keys->lever[to]};
    send_packet(key, 1);
    return 1;
}

int send_button_key(LONG index)
{
    BYTE *state = &g_buttons[index / 2];
    BYTE was = *state;
    *state = (index & 1) ? BUTTON_UP : BUTTON_DOWN;
    if ((index & 1) && was == BUTTON_DROPPED)
        return 1;
    WORD keys[1] = {g_keys->button[index]};
    send_packet(keys, 1);
    return 1;
}

int on_gstate(LONG index)
{
    (void)index;
    return 1;
}

void buttons_start(void)
{
    for (BYTE &state : g_buttons)
        state = BUTTON_UP;
}

void drop_held_buttons(void)
{
    for (BYTE &state : g_buttons)
        if (state == BUTTON_DOWN)
            state = BUTTON_DROPPED;
}

BOOL take_lever(LONG index)
{
    if (g_keys->lever_steps) {
        steps_resume(index);
        for (int kind; (kind = next_step(index)) >= 0;)
            if (!send_step(kind))
                return FALSE;
        return TRUE;
    }
    WORD keys[1] = {g_keys->lever[index]};
    send_packet(keys, 1);
    return TRUE;
}
