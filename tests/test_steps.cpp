// The lever in steps: which steps each move takes, and how they go out.
#include "keys/steps.h"

#include "keys/keydrv.h"
#include "support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

// Every key request of the test program passes here (it is wrapped at link
// time); while g_stamping is set, the moment each was made is kept.
static std::atomic<bool> g_stamping;
static std::vector<std::chrono::steady_clock::time_point> g_stamps;

extern "C" BOOL __real_DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD in_size,
                                       LPVOID out, DWORD out_size, LPDWORD returned,
                                       LPOVERLAPPED overlapped);

extern "C" BOOL __wrap_DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD in_size,
                                       LPVOID out, DWORD out_size, LPDWORD returned,
                                       LPOVERLAPPED overlapped)
{
    if (g_stamping)
        g_stamps.push_back(std::chrono::steady_clock::now());
    return __real_DeviceIoControl(device, code, in, in_size, out, out_size, returned,
                                  overlapped);
}

namespace {

// A move's steps as letters: P and p power up and down, B and b brake up and
// down.
std::string steps_of(LONG from, LONG to)
{
    BYTE steps[STEP_MAX];
    int count = lever_steps(from, to, steps);
    std::string text;
    for (int i = 0; i < count; ++i)
        text += "PpBb"[steps[i]];
    return text;
}

TEST(LeverSteps, EachMoveTakesItsNotchesAwayFirstThenAdds)
{
    const struct {
        LONG from, to;
        std::string steps;
    } moves[] = {
        {6, 5, "P"},                               // neutral to power 1
        {5, 3, "PP"},                              // power 1 to 3
        {3, 8, "pppBB"},                           // power 3 to brake 2
        {8, 15, "BBBBBBB" + std::string(9, 'B')},  // brake 2 to 9, and the alignment
        {15, 6, std::string(9, 'b')},              // brake 9 to neutral
        {12, 7, "bbbbb"},                          // brake 6 to 1
        {8, 4, "bbPP"},                            // brake 2 to power 2
        {0, 15, std::string(6, 'p') + std::string(18, 'B')}, // the longest
        {6, 6, ""},                                // the same message twice
        {15, 15, ""},
        {LEVER_AT_START, 6, ""},                   // at start the handle is where the lever is,
        {LEVER_AT_START, 0, ""},
        {LEVER_AT_START, 14, ""},
        {LEVER_AT_START, 15, std::string(9, 'B')}, // but for the emergency brake
    };
    for (const auto &move : moves)
        EXPECT_EQ(steps_of(move.from, move.to), move.steps) << move.from << " to " << move.to;
}

// Every move played on a simulator with a power and a brake handle that stop
// at their ends: it ends where the lever is, never with power and brake on
// together, in at most STEP_MAX steps.
TEST(LeverSteps, EveryMoveTakesBothHandlesWhereTheLeverIs)
{
    auto power = [](LONG index) { return index < 6 ? 6 - index : 0; };
    auto brake = [](LONG index) { return index > 6 ? index - 6 : 0; };
    for (LONG from = LEVER_AT_START; from < 16; ++from) {
        for (LONG to = 0; to < 16; ++to) {
            LONG at = from == LEVER_AT_START ? to : from;
            LONG p = power(at), b = brake(at);
            BYTE steps[STEP_MAX + 1];
            steps[STEP_MAX] = 0xA5;
            int count = lever_steps(from, to, steps);
            ASSERT_LE(count, STEP_MAX) << from << " to " << to;
            EXPECT_EQ(steps[STEP_MAX], 0xA5) << from << " to " << to;
            for (int i = 0; i < count; ++i) {
                p += steps[i] == STEP_POWER_UP ? (p < 6) : steps[i] == STEP_POWER_DOWN ? -(p > 0) : 0;
                b += steps[i] == STEP_BRAKE_UP ? (b < 9) : steps[i] == STEP_BRAKE_DOWN ? -(b > 0) : 0;
                EXPECT_FALSE(p > 0 && b > 0) << from << " to " << to << ", step " << i;
            }
            EXPECT_EQ(p, power(to)) << from << " to " << to;
            EXPECT_EQ(b, brake(to)) << from << " to " << to;
        }
    }
}

struct StepPackets : testing::Test {
    DeviceDir devices;
    std::string capture = devices.make_capture();
    AppConfig config = {"COM5", "", NULL, "driver", "", "step", "", "", 0, {}};

    void SetUp() override
    {
        const char section[] = "power_up=a\0power_down=z\0brake_up=.\0brake_down=,\0"
                               "press_ms=15\0gap_ms=40\0";
        memcpy(config.step, section, sizeof section);
        ASSERT_EQ(keydrv_select(&config), 0);
        ASSERT_EQ(keydrv_open(&config), 0);
    }
    void TearDown() override
    {
        g_stamping = false;
        g_stamps.clear();
        release_held_keys();
        strcpy(config.lever, "hold");
        keydrv_select(&config);
        keydrv_close();
    }
};

// Each press is held press_ms, each release followed by gap_ms, the last one
// too: the next packet, here a button's, waits for it.
TEST_F(StepPackets, EachPressIsHeldAndEachReleaseFollowedByItsGap)
{
    g_stamping = true;
    send_lever_steps(6, 4); // neutral to power 2
    send_lever_steps(4, 7); // power 2 to brake 1
    send_button_key(0);
    g_stamping = false;
    EXPECT_EQ(read_lines(capture),
              (std::vector<std::string>{"1e", "9e", "1e", "9e", "2c", "ac", "2c", "ac", "34", "b4",
                                        "39"}));
    ASSERT_EQ(g_stamps.size(), 11u);
    for (size_t i = 0; i + 1 < g_stamps.size(); ++i) {
        auto apart = std::chrono::duration_cast<std::chrono::microseconds>(g_stamps[i + 1] -
                                                                           g_stamps[i]);
        EXPECT_GE(apart.count(), (i % 2 ? 40 : 15) * 1000) << "after packet " << i;
    }
    EXPECT_EQ(release_held_keys(), 1) << "only Space is still down";
}

} // namespace
