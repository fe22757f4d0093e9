// The key settings: how the lever's keys go (lever=), other keys for the
// lever and the buttons ([keys]), and the keys and times of the lever's
// steps ([step]), read into key sets, one for the base sections and one for
// each [profile NAME] section.
#pragma once

#include "common/notchkey.h"
#include "keys/keyset.h"

#define LEVER_HOLD "hold" // one key held per lever position
#define LEVER_STEP "step" // notch-up and notch-down presses (keys/steps.h)

// Reads the settings over the standard maps into *settings, with extended
// keys only where the way out takes them: 0, or 1 after telling the user
// which setting is wrong. Called before anything is opened.
// With the base sections, every profile is read and checked, its name
// before what is wrong in it, and profile= taken.
int read_key_settings(const AppConfig *config, BOOL extended_keys, KeySettings *settings);

// Whether a section's name is a profile's: "profile", blanks, a name.
int profile_section(const char *section);

// The kinds of line a [step] section holds: the four keys in StepKind
// order, press_ms, gap_ms, power_notches, brake_notches, power_map,
// brake_map.
#define STEP_LINES 10
// One "name=value" line of the [step] kinds, from whichever section carries
// them, into settings; seen (STEP_LINES flags, all clear for a new section)
// keeps which kinds have come, so the first line of a kind counts, as for
// every other setting. False when the line is wrong, counted or not.
bool read_step_line(const char *line, StepConfig *settings, bool *seen);

// How many bytes of a wrong entry its message shows, at most.
#define KEY_TEXT_SHOWN 100
// The length of text's longest beginning of at most limit bytes that ends
// between two characters, so a message never shows half of one.
int key_text_cut(const char *text, int limit);
