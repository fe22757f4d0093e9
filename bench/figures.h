// What the benchmark drivers share: the message mix they send, the packet
// each message must produce, and order statistics of timings.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

using BenchClock = std::chrono::steady_clock;

double micros_between(BenchClock::time_point from, BenchClock::time_point to);

// One message and the capture line it must produce.
struct Step {
    std::string message; // five characters, sent with its "\r"
    std::string packet;  // e.g. "02 d2"
};

// Alternates lever moves and button presses/releases, starting from the lever
// at start_lever; every ninth lever message repeats the position it is in.
// Leaves the final lever position in *end_lever.
std::vector<Step> message_mix(std::size_t count, int start_lever, int *end_lever);

// The sync packet for a mascon answering with the given lever index.
std::string sync_packet(int lever);

// Nearest-rank order statistics over samples (sorted by the call).
struct Spread {
    std::size_t count = 0;
    double min = 0, median = 0, p90 = 0, p99 = 0, p999 = 0, max = 0, mean = 0;
};
Spread spread_of(std::vector<double> samples);

// Formats like printf into a std::string.
std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// A fresh folder under /dev/shm (or the temporary folder), removed by remove_tree.
std::string make_temp_dir(const char *tag);
void remove_tree(const std::string &path);
