// mascon-sim --interactive: the mascon played from the keyboard, full screen.
#pragma once

struct InteractiveOptions {
    const char *dir = nullptr;  // link the pseudo-terminal as dir/com<com>
    int com = 1;
    const char *port = nullptr; // a real serial port instead of a pseudo-terminal
    int lever = 6;              // index into the sixteen positions
    int gstate = 2;             // index into the G-states
    bool silent = false;        // never answer RESET
    int answer_delay_ms = 0;
};

// Runs until the user quits or a signal ends it; returns the exit code.
int run_interactive(const InteractiveOptions *options);
