#include "keys/keys.h"

#include "common/mascon_tables.h"
#include "keys/keydrv.h"
#include "keys/keysettings.h"
#include "keys/profiles.h"
#include "keys/senders.h"
#include "keys/steps.h"

#include <stdio.h>

LONG g_lever_current = LEVER_UNKNOWN;
LONG g_lever_previous = LEVER_UNKNOWN;

// While steps go out, a lever message read between two of them only moves
// where the next ones aim, and the profile stays: its steps are under way.
static BOOL g_stepping;

int keydrv_select(const AppConfig *config)
{
    if (!keydrv_choose(config->injector)) {
        // An empty value names its line, so the user knows which one.
        snprintf(g_text, sizeof g_text, "%s is invalid injector.\ninjector takes driver or sendinput.",
                 config->injector[0] ? config->injector : "injector=");
        MessageBoxA(config->hwnd, g_text, APP_TITLE, MB_ICONWARNING);
        return 1;
    }
    // Read aside, so that settings refused leave the ones in use as they were.
    static KeySettings read;
    if (read_key_settings(config, keydrv_extended_keys(), &read))
        return 1;
    profiles_install(&read);
    buttons_start();
    return 0;
}

void keys_before_answer(void)
{
    g_lever_current = LEVER_UNKNOWN;
    profile_follow_front(LEVER_UNKNOWN);
}

void keys_start(LONG lever)
{
    g_lever_previous = g_lever_current = lever;
    if (g_keys->lever_steps)
        steps_resume(lever);
    else
        send_lever_start(lever);
}

// The messages that have come, handled in order. A button's release read
// with its press waits press_ms after it, so the simulator sees it held as
// it sees a step.
static int take_waiting(WaitingMessage more)
{
    int pressed = 0; // the buttons pressed here, a bit each
    for (;;) {
        const char *message;
        int got = more(&message);
        if (got <= 0)
            return got == 0 ? KEYS_OK : KEYS_LINE_GONE;
        LONG button = button_index_of(message);
        if (button >= 0 && (button & 1) && ((pressed >> (button / 2)) & 1) &&
            stop_wait(g_keys->steps.press_ms))
            return KEYS_STOPPED;
        if (button >= 0 && !(button & 1))
            pressed |= 1 << (button / 2);
        int handled = keys_message(message, more);
        if (handled != KEYS_OK)
            return handled;
    }
}

// Steps toward the lever until the handle is where the lever is, looking for
// messages before each: a button goes out between two steps, and a lever
// that has moved again is followed from where the handle is, so a swing
// that is back before its steps went out sends nothing more. A line gone
// stops the steps; the next read tells.
static int follow_lever(WaitingMessage more)
{
    g_stepping = TRUE;
    int taken;
    int kind;
    while ((taken = take_waiting(more)) == KEYS_OK && (kind = next_step(g_lever_current)) >= 0) {
        if (!send_step(kind)) {
            taken = KEYS_STOPPED;
            break;
        }
    }
    g_stepping = FALSE;
    return taken == KEYS_LINE_GONE ? KEYS_OK : taken;
}

int keys_catch_up(WaitingMessage more)
{
    return g_keys->lever_steps ? follow_lever(more) : KEYS_OK;
}

int keys_message(const char *message, WaitingMessage more)
{
    // Lever positions first, then buttons, then G-states: the first table
    // that knows the message decides.
    LONG index = lever_index_of(message);
    if (index >= 0) {
        if (!g_stepping && !profile_follow_front(g_lever_current))
            return KEYS_STOPPED;
        g_lever_previous = g_lever_current;
        g_lever_current = index;
        if (!g_keys->lever_steps)
            send_lever_change(g_lever_previous, g_lever_current);
        else if (!g_stepping)
            return follow_lever(more);
        return KEYS_OK;
    }
    index = button_index_of(message);
    if (index >= 0) {
        if (!g_stepping && !profile_follow_front(g_lever_current))
            return KEYS_STOPPED;
        send_button_key(index);
        return KEYS_OK;
    }
    index = gstate_index_of(message);
    if (index >= 0) {
        on_gstate(index);
        return KEYS_OK;
    }
    return KEYS_UNKNOWN;
}

BOOL keys_idle(void)
{
    return g_stepping || !profile_front_changed() || profile_follow_front(g_lever_current);
}

void keys_line_lost(void)
{
    release_held_keys();
    drop_held_buttons();
}

const char *keys_lever_way(void)
{
    return g_keys->lever_steps ? LEVER_STEP : LEVER_HOLD;
}

const char *keys_profile_name(void)
{
    if (!g_key_settings.count)
        return NULL;
    return g_profile_active != PROFILE_BASE ? g_key_settings.profiles[g_profile_active].name
                                            : "none";
}
