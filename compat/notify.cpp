// A message box's text as a desktop notification, for a user who started
// notchkey from a launcher or on plug-in and never sees standard error:
// org.freedesktop.Notifications on the session bus, through sd-bus.
//
// Best effort and bounded: without a bus, or with no answer within a second,
// the box has still been shown as its line, and the program goes on.
#include "compat.h"

#include <stdint.h>
#include <string.h>
#include <systemd/sd-bus.h>
#include <time.h>

static const uint64_t ANSWER_WAIT_US = 1000000; // a box never holds the program longer

static uint64_t now_us(void) { return static_cast<uint64_t>(compat_now_ms()) * 1000u; }

// Each invalid sequence becomes U+FFFD, the longest broken beginning of a
// character as one, as browsers and Python read such text.
std::string compat_as_utf8(const char *text)
{
    size_t len = strlen(text);
    std::string out;
    for (size_t i = 0; i < len;) {
        int length = compat_utf8_char(text + i, len - i);
        if (length > 0)
            out.append(text + i, static_cast<size_t>(length));
        else
            out += "\xEF\xBF\xBD";
        i += static_cast<size_t>(length < 0 ? -length : length);
    }
    return out;
}

static int answered(sd_bus_message *, void *done, sd_bus_error *)
{
    *static_cast<bool *>(done) = true;
    return 0;
}

void compat_notify(const char *summary, const char *body)
{
    uint64_t deadline = now_us() + ANSWER_WAIT_US;
    // A connection of its own: boxes come from either thread, and sd-bus
    // objects are not to be shared between them.
    sd_bus *bus = nullptr;
    if (sd_bus_open_user(&bus) < 0)
        return;
    bool done = false;
    // Asynchronous, so that the wait below bounds the whole exchange, the
    // bus's greeting included, not only the server's reply.
    int rc = sd_bus_call_method_async(bus, nullptr, "org.freedesktop.Notifications",
                                      "/org/freedesktop/Notifications",
                                      "org.freedesktop.Notifications", "Notify", answered, &done,
                                      "susssasa{sv}i", "notchkey", 0u, "dialog-warning",
                                      compat_as_utf8(summary).c_str(), compat_as_utf8(body).c_str(), 0, 0, -1);
    while (rc >= 0 && !done) {
        rc = sd_bus_process(bus, nullptr);
        if (rc != 0)
            continue;
        uint64_t now = now_us();
        if (now >= deadline)
            break;
        rc = sd_bus_wait(bus, deadline - now);
    }
    // No flush: it could wait on a server that does not read.
    sd_bus_close_unref(bus);
}
