#include "figures.h"

#include "common/mascon_tables.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <numeric>
#include <stdexcept>

#include <unistd.h>

// The codes are written down here from the keys the mascon's positions and
// buttons stand for, not taken from the program, so a wrong code in it shows
// as a mismatch. The messages are the program's own.
// 6 5 4 3 2 1, then keypad 0 to 9 (set 1).
static const unsigned k_lever_codes[16] = {
    0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x52, 0x4f, 0x50, 0x51, 0x4b, 0x4c, 0x4d, 0x47, 0x48, 0x49,
};
// Space, Space, Enter, Esc; bit 7 for a release.
static const unsigned k_button_codes[8] = {0x39, 0xb9, 0x39, 0xb9, 0x1c, 0x9c, 0x01, 0x81};

double micros_between(BenchClock::time_point from, BenchClock::time_point to)
{
    return std::chrono::duration<double, std::micro>(to - from).count();
}

std::string format(const char *fmt, ...)
{
    // A paragraph of the report is longer than any buffer one would guess.
    va_list args, again;
    va_start(args, fmt);
    va_copy(again, args);
    int len = vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    std::string text(len > 0 ? static_cast<std::size_t>(len) : 0, '\0');
    if (len > 0)
        vsnprintf(&text[0], text.size() + 1, fmt, again);
    va_end(again);
    return text;
}

static std::string lever_packet(int from, int to)
{
    return format("%02x %02x", k_lever_codes[to], k_lever_codes[from] | 0x80);
}

std::string sync_packet(int lever) { return lever_packet(0, lever); }

std::vector<Step> message_mix(std::size_t count, int start_lever, int *end_lever)
{
    std::vector<Step> steps;
    steps.reserve(count);
    int lever = start_lever;
    std::size_t levers = 0, buttons = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (i % 2 == 0) {
            int to = levers % 9 == 8 ? lever : (lever + 1 + static_cast<int>((levers * 5) % 15)) % 16;
            steps.push_back({std::string(lever_messages[to], 5), lever_packet(lever, to)});
            lever = to;
            ++levers;
        } else {
            std::size_t b = buttons++ % 8;
            steps.push_back({std::string(button_messages[b], 5), format("%02x", k_button_codes[b])});
        }
    }
    if (end_lever)
        *end_lever = lever;
    return steps;
}

Spread spread_of(std::vector<double> samples)
{
    Spread s;
    s.count = samples.size();
    if (samples.empty())
        return s;
    std::sort(samples.begin(), samples.end());
    auto rank = [&](double q) {
        std::size_t r = static_cast<std::size_t>(std::ceil(q * static_cast<double>(samples.size())));
        return samples[r == 0 ? 0 : r - 1];
    };
    s.min = samples.front();
    s.median = rank(0.5);
    s.p90 = rank(0.9);
    s.p99 = rank(0.99);
    s.p999 = rank(0.999);
    s.max = samples.back();
    s.mean = std::accumulate(samples.begin(), samples.end(), 0.0) / static_cast<double>(samples.size());
    return s;
}

std::string make_temp_dir(const char *tag)
{
    // tmpfs where there is one: the capture and the links live in memory.
    std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : std::filesystem::temp_directory_path().string();
    std::string pattern = base + "/notchkey-" + tag + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data()))
        throw std::runtime_error("cannot make a folder under " + base);
    return buffer.data();
}

void remove_tree(const std::string &path)
{
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}
