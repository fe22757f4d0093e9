// The mascon's whole vocabulary: every six-byte message it can send, in three
// tables, and the lookups that turn a received message into a table index.
// The indices are what the key side picks its scan codes by: the contract
// between the serial side (link/) and the key side (keys/), kept below both.
#pragma once

#include <windows.h>

#define MASCON_MESSAGE_LEN 6

// Seven-byte entries back to back: six message bytes and a NUL.
extern const char lever_messages[16][MASCON_MESSAGE_LEN + 1];
extern const char button_messages[8][MASCON_MESSAGE_LEN + 1];
extern const char gstate_messages[3][MASCON_MESSAGE_LEN + 1];

// Each takes the received message as a NUL-terminated string and returns its
// index in that table, or -1.
LONG lever_index_of(const char *message);
LONG button_index_of(const char *message);
LONG gstate_index_of(const char *message);
