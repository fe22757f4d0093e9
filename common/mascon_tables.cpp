#include "common/mascon_tables.h"

#include <string.h>

// From the far end of the lever (index 0) to the other (index 15).
const char lever_messages[16][MASCON_MESSAGE_LEN + 1] = {
    "MCB60\r", "MCA95\r", "MCA85\r", "MCA75\r", "MCA65\r", "MCA55\r", "MCA50\r", "MCA45\r",
    "MCA35\r", "MCA25\r", "MCA15\r", "MCA05\r", "MCE99\r", "MCB40\r", "MCB30\r", "MCB20\r",
};

// For each of K, X, Y and Z: pressed (99), then released (00).
const char button_messages[8][MASCON_MESSAGE_LEN + 1] = {
    "MCK99\r", "MCK00\r", "MCX99\r", "MCX00\r", "MCY99\r", "MCY00\r", "MCZ99\r", "MCZ00\r",
};

const char gstate_messages[3][MASCON_MESSAGE_LEN + 1] = {
    "MCG99\r",
    "MCG50\r",
    "MCG00\r",
};

// Whole-string comparison: a message with anything after its six bytes is no
// message of ours.
static LONG index_in(const char (*table)[MASCON_MESSAGE_LEN + 1], LONG count, const char *message)
{
    for (LONG i = count - 1; i >= 0; --i)
        if (strcmp(message, table[i]) == 0)
            return i;
    return -1;
}

LONG lever_index_of(const char *message) { return index_in(lever_messages, 16, message); }

LONG button_index_of(const char *message) { return index_in(button_messages, 8, message); }

LONG gstate_index_of(const char *message) { return index_in(gstate_messages, 3, message); }
