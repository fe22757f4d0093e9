// The mascon's vocabulary: which message is which index, and that nothing but
// an exact six-byte message is recognised.
#include "common/mascon_tables.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Row {
    const char *message;
    LONG lever, button, gstate;
};

// Written out independently of the tables: one row for every known message.
const Row ROWS[] = {
    {"MCB60\r", 0, -1, -1},  {"MCA95\r", 1, -1, -1},  {"MCA85\r", 2, -1, -1},
    {"MCA75\r", 3, -1, -1},  {"MCA65\r", 4, -1, -1},  {"MCA55\r", 5, -1, -1},
    {"MCA50\r", 6, -1, -1},  {"MCA45\r", 7, -1, -1},  {"MCA35\r", 8, -1, -1},
    {"MCA25\r", 9, -1, -1},  {"MCA15\r", 10, -1, -1}, {"MCA05\r", 11, -1, -1},
    {"MCE99\r", 12, -1, -1}, {"MCB40\r", 13, -1, -1}, {"MCB30\r", 14, -1, -1},
    {"MCB20\r", 15, -1, -1}, {"MCK99\r", -1, 0, -1},  {"MCK00\r", -1, 1, -1},
    {"MCX99\r", -1, 2, -1},  {"MCX00\r", -1, 3, -1},  {"MCY99\r", -1, 4, -1},
    {"MCY00\r", -1, 5, -1},  {"MCZ99\r", -1, 6, -1},  {"MCZ00\r", -1, 7, -1},
    {"MCG99\r", -1, -1, 0},  {"MCG50\r", -1, -1, 1},  {"MCG00\r", -1, -1, 2},
};

void expect_unknown(const std::string &message)
{
    EXPECT_EQ(lever_index_of(message.c_str()), -1) << '"' << message << '"';
    EXPECT_EQ(button_index_of(message.c_str()), -1) << '"' << message << '"';
    EXPECT_EQ(gstate_index_of(message.c_str()), -1) << '"' << message << '"';
}

TEST(Tables, EveryMessageHasItsIndexInOneTableOnly)
{
    for (const Row &row : ROWS) {
        EXPECT_EQ(lever_index_of(row.message), row.lever) << row.message;
        EXPECT_EQ(button_index_of(row.message), row.button) << row.message;
        EXPECT_EQ(gstate_index_of(row.message), row.gstate) << row.message;
    }
}

TEST(Tables, EntriesAreSevenBytesBackToBack)
{
    EXPECT_EQ(sizeof lever_messages, 16u * 7);
    EXPECT_EQ(sizeof button_messages, 8u * 7);
    EXPECT_EQ(sizeof gstate_messages, 3u * 7);
    const char *flat = &lever_messages[0][0];
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(std::string(flat + 7 * i, 7), std::string(ROWS[i].message, 7)) << "entry " << i;
        EXPECT_EQ(flat[7 * i + 6], '\0');
    }
}

TEST(Tables, AnyChangedByteIsNoMessage)
{
    const char replacements[] = {'\x01', 'a', 'm', 'c', '0', '9', ' ', '\n', '\x7f', '\x8d'};
    for (const Row &row : ROWS) {
        for (int at = 0; at < 6; ++at) {
            for (char with : replacements) {
                std::string message = row.message;
                if (message[at] == with)
                    continue;
                message[at] = with;
                bool is_known = false;
                for (const Row &other : ROWS)
                    is_known |= message == other.message;
                if (!is_known)
                    expect_unknown(message);
            }
        }
    }
}

TEST(Tables, CaseLineEndsAndLengthMatter)
{
    for (const char *message : {"mca50\r", "MCa50\r", "mcz00\r", "MCA50\n", "MCA50", "MCA50\r\n",
                                "MCA5\r", "", "\r", "RESET\r"})
        expect_unknown(message);
}

TEST(Tables, WellFormedMessagesOutsideTheTablesAreUnknown)
{
    for (const char *message : {"MCA00\r", "MCB50\r", "MCG10\r", "MCK50\r", "MCE00\r", "MCZ01\r",
                                "MCA99\r", "MCB00\r"})
        expect_unknown(message);
}

TEST(Tables, BytesAfterTheSixMatchNothing)
{
    for (const Row &row : ROWS)
        for (const char *tail : {"X", "\r", "MCA50\r", "\x01"})
            expect_unknown(std::string(row.message) + tail);
}

} // namespace
