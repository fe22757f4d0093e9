// The lever in steps: which steps each move takes on trains of other
// notches, how they go out, and the worker following the lever with them.
#include "keys/steps.h"

#include "keys/keydrv.h"
#include "keys/keys.h"
#include "keys/senders.h"
#include "keys/keysettings.h"
#include "link/mascon_worker.h"
#include "mascon_sim.h"
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <random>
#include <string>
#include <vector>

// Every key request of the test program passes here (it is wrapped at link
// time); while g_stamping is set, the moment each was done is kept.
static std::atomic<bool> g_stamping;
static std::mutex g_stamps_lock;
static std::vector<std::chrono::steady_clock::time_point> g_stamps;

extern "C" BOOL __real_DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD in_size,
                                       LPVOID out, DWORD out_size, LPDWORD returned,
                                       LPOVERLAPPED overlapped);

extern "C" BOOL __wrap_DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD in_size,
                                       LPVOID out, DWORD out_size, LPDWORD returned,
                                       LPOVERLAPPED overlapped)
{
    BOOL done = __real_DeviceIoControl(device, code, in, in_size, out, out_size, returned,
                                       overlapped);
    if (g_stamping) {
        std::lock_guard<std::mutex> hold(g_stamps_lock);
        g_stamps.push_back(std::chrono::steady_clock::now());
    }
    return done;
}

namespace {

// A train by its [step] lines, over the defaults.
void train(const std::vector<std::string> &lines)
{
    static KeySet set;
    key_set_start(&set, TRUE);
    g_keys = &set;
    bool seen[STEP_LINES] = {};
    for (const std::string &line : lines)
        ASSERT_TRUE(read_step_line(line.c_str(), &g_keys->steps, seen)) << line;
}

// Steps as letters: P and p power up and down, B and b brake up and down.
std::string steps_to(LONG lever)
{
    std::string text;
    for (int kind; (kind = next_step(lever)) >= 0;) {
        text += "PpBb"[kind];
        if (text.size() > 1000)
            break;
    }
    return text;
}

// A move's steps, the handle taken to be in line at from.
std::string move(LONG from, LONG to)
{
    steps_start(from);
    steps_to(from); // what the start owes
    return steps_to(to);
}

std::string times(char step, int count)
{
    return std::string(count, step);
}

// Lever indices: power 6 to 1 are 0 to 5, neutral 6, brake 1 to 9 are 7 to 15.
TEST(TrainSteps, EachMoveStepsBetweenTheTrainsNotchesAndLinesUpAtTheEnds)
{
    const struct {
        std::vector<std::string> train;
        LONG from, to; // -1: at start
        std::string steps;
    } moves[] = {
        // The lever's own notches, as ever: power off before brake on.
        {{}, 6, 5, "P"},
        {{}, 3, 8, "pppBB"},
        {{}, 12, 7, "bbbbb"},
        {{}, 8, 4, "bbPP"},
        {{}, 6, 6, ""},
        {{}, 15, 15, ""},
        {{}, 1, 0, "P" + times('P', 6)},
        {{}, 8, 15, times('B', 7) + times('B', 9)},
        {{}, -1, 6, ""},
        {{}, -1, 0, times('P', 6)},
        {{}, -1, 15, times('B', 9)},
        // Four power notches, seven brakes.
        {{"power_notches=4", "brake_notches=7"}, 6, 0, times('P', 4) + times('P', 4)},
        {{"power_notches=4", "brake_notches=7"}, 0, 3, "p"},
        {{"power_notches=4", "brake_notches=7"}, 0, 1, ""},
        {{"power_notches=4", "brake_notches=7"}, 3, 2, "P" + times('P', 4)},
        {{"power_notches=4", "brake_notches=7"}, 3, 15, "ppp" + times('B', 8) + times('B', 8)},
        {{"power_notches=4", "brake_notches=7"}, 15, 14, "b"},
        {{"power_notches=4", "brake_notches=7"}, 14, 13, ""},
        {{"power_notches=4", "brake_notches=7"}, 13, 6, times('b', 7)},
        {{"power_notches=4", "brake_notches=7"}, -1, 1, times('P', 4)},
        {{"power_notches=4", "brake_notches=7"}, -1, 14, ""},
        {{"power_notches=4", "brake_notches=7"}, -1, 15, times('B', 8)},
        // Five and eight.
        {{"power_notches=5"}, 6, 0, times('P', 10)},
        {{"power_notches=5"}, 1, 0, ""},
        {{"power_notches=5"}, 0, 15, times('p', 5) + times('B', 18)},
        // A map with repeats.
        {{"power_map=1,2,2,3,4,4", "brake_map=1,2,3,4,5,6,7,7"}, 6, 3, "PP"},
        {{"power_map=1,2,2,3,4,4", "brake_map=1,2,3,4,5,6,7,7"}, 3, 4, ""},
        {{"power_map=1,2,2,3,4,4", "brake_map=1,2,3,4,5,6,7,7"}, 4, 2, "P"},
        {{"power_map=1,2,2,3,4,4", "brake_map=1,2,3,4,5,6,7,7"}, 2, 1, "P" + times('P', 4)},
        {{"power_map=1,2,2,3,4,4", "brake_map=1,2,3,4,5,6,7,7"}, 8, 15, times('B', 6 + 8)},
        // One notch each.
        {{"power_notches=1", "brake_notches=1"}, 6, 5, "PP"},
        {{"power_notches=1", "brake_notches=1"}, 5, 0, ""},
        {{"power_notches=1", "brake_notches=1"}, 0, 7, "pB"},
        {{"power_notches=1", "brake_notches=1"}, 7, 15, "B" + times('B', 2)},
        {{"power_notches=1", "brake_notches=1"}, 15, 8, "b"},
    };
    for (const auto &m : moves) {
        train(m.train);
        std::string got;
        if (m.from < 0) {
            steps_start(m.to);
            got = steps_to(m.to);
        } else {
            got = move(m.from, m.to);
        }
        EXPECT_EQ(got, m.steps) << testing::PrintToString(m.train) << ": " << m.from << " to "
                                << m.to;
    }
}

// A simulator's two handles, with the train's notches: each stops at its
// end, the brake's last notch the emergency brake.
struct Handles {
    int top_power, emergency;
    int power = 0, brake = 0;
    bool both_on = false;

    Handles()
        : top_power(g_keys->steps.power_map[LEVER_POWER_NOTCHES - 1]),
          emergency(g_keys->steps.brake_map[LEVER_BRAKE_NOTCHES - 1] + 1)
    {
    }
    void step(int kind)
    {
        if (kind == STEP_POWER_UP)
            power += power < top_power;
        if (kind == STEP_POWER_DOWN)
            power -= power > 0;
        if (kind == STEP_BRAKE_UP)
            brake += brake < emergency;
        if (kind == STEP_BRAKE_DOWN)
            brake -= brake > 0;
        both_on |= power > 0 && brake > 0;
    }
    LONG at() const { return power - brake; }
};

// Every move on every train takes the handles where the lever is, never
// with power and brake on together; a move to an end does so from wherever
// the simulator's handle really was.
TEST(TrainSteps, EveryMoveEndsWhereTheLeverIs)
{
    const std::vector<std::vector<std::string>> trains = {
        {}, {"power_notches=4", "brake_notches=7"}, {"power_notches=1", "brake_notches=1"},
        {"power_map=1,2,2,3,4,4", "brake_map=2,3,5,7,9,11,13,13"}};
    for (const auto &lines : trains) {
        train(lines);
        const Handles ends;
        for (LONG from = 0; from < 16; ++from) {
            for (LONG to = 0; to < 16; ++to) {
                // Where the simulator's handle may really be: in line, or
                // anywhere on the handle a move to its end goes to.
                LONG at = train_notch(from), goal = train_notch(to);
                LONG low = at, high = at;
                if (goal == ends.top_power && at >= 0 && at != goal)
                    low = 0, high = goal;
                if (goal == -ends.emergency && at <= 0 && at != goal)
                    low = goal, high = 0;
                for (LONG real = low; real <= high; ++real) {
                    steps_start(from);
                    steps_to(from);
                    Handles handles;
                    (real > 0 ? handles.power : handles.brake) = real > 0 ? real : -real;
                    for (int kind; (kind = next_step(to)) >= 0;)
                        handles.step(kind);
                    EXPECT_EQ(handles.at(), train_notch(to))
                        << testing::PrintToString(lines) << ": " << from << " to " << to
                        << ", the handle at " << real;
                    EXPECT_FALSE(handles.both_on) << from << " to " << to;
                }
            }
        }
    }
    step_defaults(&g_keys->steps);
}

struct StepPackets : testing::Test {
    DeviceDir devices;
    std::string capture = devices.make_capture();
    HWND window = make_window();
    AppConfig config = {"COM5", "", window, "driver", "", "step", "", "", 0, {}, FALSE};
    MasconSim *sim = nullptr;
    HANDLE worker = NULL;

    void select(const std::vector<std::string> &lines)
    {
        const char keys[] = "power_up=a\0power_down=z\0brake_up=.\0brake_down=,\0"
                            "press_ms=15\0gap_ms=40\0";
        std::string section(keys, sizeof keys - 1);
        for (const std::string &line : lines)
            section += line + '\0';
        section += '\0';
        ASSERT_LE(section.size(), sizeof config.step);
        memcpy(config.step, section.data(), section.size());
        ASSERT_EQ(keydrv_select(&config), 0);
        ASSERT_EQ(keydrv_open(&config), 0);
    }

    // The worker on a train of these lines, synchronised on the lever at
    // start; its packets from then on are timed.
    void start(const std::vector<std::string> &lines, const char *lever = "MCA50\r")
    {
        select(lines);
        SimOptions options;
        options.lever = lever;
        sim = sim_open(devices.dir.path.c_str(), 5, &options);
        ASSERT_NE(sim, nullptr);
        g_stamping = true;
        worker = CreateThread(NULL, 0, mascon_worker, &config, 0, NULL);
        ASSERT_NE(worker, nullptr);
        ASSERT_TRUE(sim_wait_reset(sim, 5000));
    }

    void send(const std::string &messages)
    {
        ASSERT_TRUE(sim_send(sim, messages.data(), messages.size()));
    }

    void TearDown() override
    {
        if (worker) {
            TerminateThread(worker, 0);
            wait_thread(worker);
            CloseHandle(worker);
        }
        g_stamping = false;
        g_stamps.clear();
        release_held_keys();
        if (sim)
            sim_close(sim);
        strcpy(config.lever, "hold");
        keydrv_select(&config);
        keydrv_close();
        DestroyWindow(window);
    }
};

// Each press is held press_ms, each release followed by gap_ms, the last one
// too: the next packet, here a button's, waits for it.
TEST_F(StepPackets, EachPressIsHeldAndEachReleaseFollowedByItsGap)
{
    select({});
    g_stamping = true;
    for (int kind : {STEP_POWER_DOWN, STEP_BRAKE_UP, STEP_BRAKE_DOWN})
        send_step(kind);
    send_button_key(0);
    g_stamping = false;
    EXPECT_EQ(read_lines(capture),
              (std::vector<std::string>{"2c", "ac", "34", "b4", "33", "b3", "39"}));
    ASSERT_EQ(g_stamps.size(), 7u);
    for (size_t i = 0; i + 1 < g_stamps.size(); ++i) {
        auto apart = std::chrono::duration_cast<std::chrono::microseconds>(g_stamps[i + 1] -
                                                                           g_stamps[i]);
        EXPECT_GE(apart.count(), (i % 2 ? 40 : 15) * 1000) << "after packet " << i;
    }
    EXPECT_EQ(release_held_keys(), 1) << "only Space is still down";
}

// A swing that is back before its steps went out sends nothing; a button
// pressed and released together comes through held; the lever is where the
// simulator's handle is, so the next move takes one step.
TEST_F(StepPackets, SwingThatIsBackSendsNothing)
{
    start({});
    send("MCB60\rMCA50\rMCK99\rMCK00\r");
    EXPECT_EQ(wait_packets(capture, 2), (std::vector<std::string>{"39", "b9"}));
    send("MCA55\r");
    EXPECT_EQ(wait_packets(capture, 4), (std::vector<std::string>{"39", "b9", "1e", "9e"}));
}

// A message in no table read between two steps ends the worker as one read
// at rest does, with no key left down.
TEST_F(StepPackets, InvalidMessageBetweenStepsEndsTheWorker)
{
    StderrCapture err;
    start({});
    send("MCB20\r");
    ASSERT_EQ(wait_packets(capture, 1).size(), 1u);
    send("MCQ99\r");
    EXPECT_EQ(wait_thread(worker), 1u);
    std::string said = err.text();
    said.erase(0, said.find("Lever to keys!"));
    EXPECT_EQ(said, "Lever to keys!: Invalid message from mascon\n");
    MSG msg;
    ASSERT_TRUE(wait_message(&msg)) << "no WM_WORKER_ENDED";
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_WORKER_ENDED));
    std::vector<std::string> lines = read_lines(capture);
    ASSERT_LT(lines.size(), 32u) << "the steps went on";
    for (size_t i = 0; i < lines.size(); ++i)
        EXPECT_EQ(lines[i], i % 2 ? "b4" : "34") << "packet " << i;
    EXPECT_EQ(lines.size() % 2, 0u) << "a step's key left down";
}

// A ride of random moves at random moments, buttons among them, on a train
// with fewer notches than the lever: once the lever rests, the simulator's
// handles are where it is, though they stopped at their ends on the way,
// and every button was seen held at least press_ms.
TEST_F(StepPackets, RandomRideEndsWhereTheLeverRests)
{
    start({"power_notches=4", "brake_notches=7", "press_ms=6", "gap_ms=2"}, "MCB20\r");
    std::mt19937 rng(25);
    const char *const buttons[] = {"MCK99\rMCK00\r", "MCX99\rMCX00\r", "MCY99\rMCY00\r",
                                   "MCZ99\rMCZ00\r"};
    LONG lever = 15;
    for (int i = 0; i < 60; ++i) {
        lever = rng() % 16;
        std::string messages = lever_messages[lever];
        // Sent with a lever message, a button's press and release are read
        // together, between two steps.
        if (rng() % 3 == 0)
            messages += buttons[rng() % 4];
        send(messages);
        Sleep(rng() % 25); // the hand's pace, not a wait for the program
    }
    // The simulator's handles, at neutral when notchkey starts: the presses
    // at start line them up.
    auto replay = [&](bool *both_on) {
        Handles handles;
        const char *const codes[] = {"1e", "2c", "34", "33"};
        for (const std::string &line : read_lines(capture))
            for (int kind = 0; kind < STEP_KINDS; ++kind)
                if (line == codes[kind])
                    handles.step(kind);
        if (both_on)
            *both_on = handles.both_on;
        return handles.at();
    };
    EXPECT_TRUE(wait_for([&] { return replay(nullptr) == train_notch(lever); }, 20000))
        << "the handle at " << replay(nullptr) << ", the lever's notch " << train_notch(lever);
    TerminateThread(worker, 0);
    ASSERT_EQ(wait_thread(worker), 0u);
    g_stamping = false;
    bool both_on = false;
    EXPECT_EQ(replay(&both_on), train_notch(lever));
    EXPECT_FALSE(both_on);

    std::vector<std::string> lines = read_lines(capture);
    // A request the stop cut short may have no moment kept.
    lines.resize(std::min(lines.size(), g_stamps.size()));
    int buttons_seen = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        int code = std::stoi(lines[i], nullptr, 16);
        if (code != 0x39 && code != 0x1c && code != 0x01)
            continue;
        size_t release = i + 1;
        while (release < lines.size() && std::stoi(lines[release], nullptr, 16) != (code | 0x80))
            ++release;
        if (release == lines.size())
            break; // the stop came first
        auto held = std::chrono::duration_cast<std::chrono::microseconds>(g_stamps[release] -
                                                                          g_stamps[i]);
        EXPECT_GE(held.count(), 6000) << "button " << lines[i] << ", packet " << i;
        ++buttons_seen;
    }
    EXPECT_GT(buttons_seen, 10);
}

} // namespace
