// The notification icon on a Linux desktop: a StatusNotifierItem on the
// session bus, with the pop-up menu served as com.canonical.dbusmenu, through
// sd-bus. Subset: one icon, its tip and the pop-up's plain items; no balloons
// (those are notifications, notify.cpp), no attention or overlay icons, no
// scrolling, a menu that never changes.
//
// A thread of its own owns the connection and sleeps in poll() on the bus and
// on an eventfd that Shell_NotifyIconA pokes: neither the program's window
// nor its worker ever waits for the desktop. The host coming (back) is the
// taskbar restarting on Windows: "TaskbarCreated" goes to the program, which
// adds its icon again. With no bus or no host, one note says so, and nothing
// more is tried or waited for until a host appears.
#include "compat.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

static const char WATCHER[] = "org.kde.StatusNotifierWatcher";
static const char ITEM_PATH[] = "/StatusNotifierItem";
static const char ITEM_INTERFACE[] = "org.kde.StatusNotifierItem";
static const char MENU_PATH[] = "/MenuBar";
static const char MENU_INTERFACE[] = "com.canonical.dbusmenu";

struct TrayIcon {
    bool shown;
    unsigned adds; // NIM_ADDs so far: each one registers the item afresh
    HWND window;
    UINT id;
    UINT callback; // 0: the program wants no mouse messages
    char tip[64];
};

static pthread_mutex_t g_tray_lock = PTHREAD_MUTEX_INITIALIZER;
static TrayIcon g_wanted;                   // as the program last left the icon
static std::atomic<int> g_wake{-1};         // an eventfd: g_wanted changed
static pthread_once_t g_tray_once = PTHREAD_ONCE_INIT;

// The tray thread's own.
static sd_bus *g_bus;
static TrayIcon g_served; // what the bus has been told
static bool g_named;      // the item's bus name is ours
static char g_name[64];

// The stock Windows 16-colour palette, as the icon's pixel text indexes it.
static const uint8_t PALETTE[16][3] = {
    {0x00, 0x00, 0x00}, {0x80, 0x00, 0x00}, {0x00, 0x80, 0x00}, {0x80, 0x80, 0x00},
    {0x00, 0x00, 0x80}, {0x80, 0x00, 0x80}, {0x00, 0x80, 0x80}, {0xC0, 0xC0, 0xC0},
    {0x80, 0x80, 0x80}, {0xFF, 0x00, 0x00}, {0x00, 0xFF, 0x00}, {0xFF, 0xFF, 0x00},
    {0x00, 0x00, 0xFF}, {0xFF, 0x00, 0xFF}, {0x00, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF},
};

struct IconRows {
    int size;
    const char *rows[32]; // '.' transparent, else a palette index in hex
};

static const IconRows ICONS[] = {
#include "icon_rows.inc"
};

static void note_no_tray(const char *why)
{
    static bool said;
    if (said)
        return;
    said = true;
    fprintf(stderr,
            "notchkey: no tray to show the icon in (%s): stop notchkey with Ctrl+C, kill or "
            "its service\n",
            why);
    fflush(stderr);
}

// ---- the item

// Each size as the protocol has it: ARGB, 8 bits each, in network order.
static int append_pixmaps(sd_bus_message *m)
{
    int r = sd_bus_message_open_container(m, 'a', "(iiay)");
    for (const IconRows &icon : ICONS) {
        uint8_t argb[32 * 32 * 4];
        size_t n = 0;
        for (int y = 0; y < icon.size; ++y)
            for (int x = 0; x < icon.size; ++x) {
                char c = icon.rows[y][x];
                if (c == '.') {
                    memset(argb + n, 0, 4);
                } else {
                    const uint8_t *rgb = PALETTE[c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10];
                    argb[n] = 0xFF;
                    memcpy(argb + n + 1, rgb, 3);
                }
                n += 4;
            }
        if (r >= 0)
            r = sd_bus_message_open_container(m, 'r', "iiay");
        if (r >= 0)
            r = sd_bus_message_append(m, "ii", icon.size, icon.size);
        if (r >= 0)
            r = sd_bus_message_append_array(m, 'y', argb, n);
        if (r >= 0)
            r = sd_bus_message_close_container(m);
    }
    return r < 0 ? r : sd_bus_message_close_container(m);
}

static int item_property(sd_bus *, const char *, const char *, const char *property,
                         sd_bus_message *reply, void *, sd_bus_error *)
{
    static const char *const FIXED[][2] = {
        {"Category", "ApplicationStatus"}, {"Id", "notchkey"}, {"Status", "Active"},
        {"IconName", ""}, {"OverlayIconName", ""}, {"AttentionIconName", ""},
        {"AttentionMovieName", ""}, {"IconThemePath", ""},
    };
    for (const auto &fixed : FIXED)
        if (strcmp(property, fixed[0]) == 0)
            return sd_bus_message_append(reply, "s", fixed[1]);
    std::string tip = compat_as_utf8(g_served.tip);
    if (strcmp(property, "Title") == 0)
        return sd_bus_message_append(reply, "s", tip.c_str());
    if (strcmp(property, "ToolTip") == 0)
        return sd_bus_message_append(reply, "(sa(iiay)ss)", "", 0, tip.c_str(), "");
    if (strcmp(property, "WindowId") == 0)
        return sd_bus_message_append(reply, "i", 0);
    if (strcmp(property, "ItemIsMenu") == 0)
        return sd_bus_message_append(reply, "b", 1);
    if (strcmp(property, "Menu") == 0)
        return sd_bus_message_append(reply, "o", MENU_PATH);
    if (strcmp(property, "IconPixmap") == 0)
        return append_pixmaps(reply);
    return sd_bus_message_append(reply, "a(iiay)", 0); // attention and overlay
}

// Where the host asks for the menu, the program is clicked as on Windows, and
// opens its pop-up there itself.
static int open_menu(sd_bus_message *m, void *, sd_bus_error *)
{
    int32_t x = 0, y = 0;
    int r = sd_bus_message_read(m, "ii", &x, &y);
    if (r < 0)
        return r;
    r = sd_bus_reply_method_return(m, "");
    if (g_served.shown && g_served.callback) {
        compat_set_cursor(x, y);
        PostMessageA(g_served.window, g_served.callback, g_served.id, WM_RBUTTONDOWN);
    }
    return r;
}

static int ignored(sd_bus_message *m, void *, sd_bus_error *)
{
    return sd_bus_reply_method_return(m, "");
}

#define ITEM_PROPERTY(name, type) \
    SD_BUS_PROPERTY(name, type, item_property, 0, SD_BUS_VTABLE_PROPERTY_EMITS_INVALIDATION)

static const sd_bus_vtable ITEM_VTABLE[] = {
    SD_BUS_VTABLE_START(0),
    ITEM_PROPERTY("Category", "s"),
    ITEM_PROPERTY("Id", "s"),
    ITEM_PROPERTY("Title", "s"),
    ITEM_PROPERTY("Status", "s"),
    ITEM_PROPERTY("WindowId", "i"),
    ITEM_PROPERTY("IconThemePath", "s"),
    ITEM_PROPERTY("IconName", "s"),
    ITEM_PROPERTY("IconPixmap", "a(iiay)"),
    ITEM_PROPERTY("OverlayIconName", "s"),
    ITEM_PROPERTY("OverlayIconPixmap", "a(iiay)"),
    ITEM_PROPERTY("AttentionIconName", "s"),
    ITEM_PROPERTY("AttentionIconPixmap", "a(iiay)"),
    ITEM_PROPERTY("AttentionMovieName", "s"),
    ITEM_PROPERTY("ToolTip", "(sa(iiay)ss)"),
    ITEM_PROPERTY("ItemIsMenu", "b"),
    ITEM_PROPERTY("Menu", "o"),
    SD_BUS_METHOD("ContextMenu", "ii", "", open_menu, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Activate", "ii", "", open_menu, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("SecondaryActivate", "ii", "", ignored, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Scroll", "is", "", ignored, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_SIGNAL("NewTitle", "", 0),
    SD_BUS_SIGNAL("NewIcon", "", 0),
    SD_BUS_SIGNAL("NewAttentionIcon", "", 0),
    SD_BUS_SIGNAL("NewOverlayIcon", "", 0),
    SD_BUS_SIGNAL("NewToolTip", "", 0),
    SD_BUS_SIGNAL("NewStatus", "s", 0),
    SD_BUS_VTABLE_END,
};

// ---- the menu: the root (0) and the pop-up's items, each by its command

static const char *menu_text(int32_t id)
{
    UINT command = 0;
    for (int i = 0; const char *text = compat_menu_item(i, &command); ++i)
        if (id > 0 && command == static_cast<UINT>(id))
            return text;
    return nullptr;
}

static bool is_node(int32_t id) { return id == 0 || menu_text(id); }

// Whether name is among the properties asked for; none named is all.
static bool asked(char **names, const char *name)
{
    if (!names || !names[0])
        return true;
    for (char **at = names; *at; ++at)
        if (strcmp(*at, name) == 0)
            return true;
    return false;
}

static void free_strv(char **names)
{
    for (char **at = names; at && *at; ++at)
        free(*at);
    free(names);
}

static int append_properties(sd_bus_message *m, int32_t id, char **names)
{
    int r = sd_bus_message_open_container(m, 'a', "{sv}");
    if (id == 0) {
        if (r >= 0 && asked(names, "children-display"))
            r = sd_bus_message_append(m, "{sv}", "children-display", "s", "submenu");
    } else {
        if (r >= 0 && asked(names, "label"))
            r = sd_bus_message_append(m, "{sv}", "label", "s",
                                      compat_as_utf8(menu_text(id)).c_str());
        if (r >= 0 && asked(names, "enabled"))
            r = sd_bus_message_append(m, "{sv}", "enabled", "b", 1);
        if (r >= 0 && asked(names, "visible"))
            r = sd_bus_message_append(m, "{sv}", "visible", "b", 1);
    }
    return r < 0 ? r : sd_bus_message_close_container(m);
}

static int append_node(sd_bus_message *m, int32_t id, int32_t depth, char **names)
{
    int r = sd_bus_message_open_container(m, 'r', "ia{sv}av");
    if (r >= 0)
        r = sd_bus_message_append(m, "i", id);
    if (r >= 0)
        r = append_properties(m, id, names);
    if (r >= 0)
        r = sd_bus_message_open_container(m, 'a', "v");
    UINT command = 0;
    for (int i = 0; id == 0 && depth != 0 && r >= 0 && compat_menu_item(i, &command); ++i) {
        r = sd_bus_message_open_container(m, 'v', "(ia{sv}av)");
        if (r >= 0)
            r = append_node(m, static_cast<int32_t>(command), depth - 1, names);
        if (r >= 0)
            r = sd_bus_message_close_container(m);
    }
    if (r >= 0)
        r = sd_bus_message_close_container(m);
    return r < 0 ? r : sd_bus_message_close_container(m);
}

static int unknown_item(sd_bus_error *error, int32_t id)
{
    return sd_bus_error_setf(error, SD_BUS_ERROR_INVALID_ARGS, "no menu item %d", id);
}

static int get_layout(sd_bus_message *m, void *, sd_bus_error *error)
{
    int32_t parent = 0, depth = 0;
    char **names = nullptr;
    int r = sd_bus_message_read(m, "ii", &parent, &depth);
    if (r >= 0)
        r = sd_bus_message_read_strv(m, &names);
    sd_bus_message *reply = nullptr;
    if (r >= 0 && !is_node(parent))
        r = unknown_item(error, parent);
    if (r >= 0)
        r = sd_bus_message_new_method_return(m, &reply);
    if (r >= 0)
        r = sd_bus_message_append(reply, "u", 1u); // the menu never changes
    if (r >= 0)
        r = append_node(reply, parent, depth, names);
    if (r >= 0)
        r = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    free_strv(names);
    return r;
}

static int get_group_properties(sd_bus_message *m, void *, sd_bus_error *)
{
    const void *asked_ids = nullptr;
    size_t size = 0;
    char **names = nullptr;
    int r = sd_bus_message_read_array(m, 'i', &asked_ids, &size);
    if (r >= 0)
        r = sd_bus_message_read_strv(m, &names);
    // None asked for: every node.
    int32_t ids[64] = {0};
    size_t count = size / sizeof ids[0];
    if (count > 64)
        count = 64;
    if (count) {
        memcpy(ids, asked_ids, count * sizeof ids[0]);
    } else {
        UINT command = 0;
        for (count = 1; count < 64 && compat_menu_item(static_cast<int>(count) - 1, &command);)
            ids[count++] = static_cast<int32_t>(command);
    }
    sd_bus_message *reply = nullptr;
    if (r >= 0)
        r = sd_bus_message_new_method_return(m, &reply);
    if (r >= 0)
        r = sd_bus_message_open_container(reply, 'a', "(ia{sv})");
    for (size_t i = 0; r >= 0 && i < count; ++i) {
        if (!is_node(ids[i]))
            continue;
        r = sd_bus_message_open_container(reply, 'r', "ia{sv}");
        if (r >= 0)
            r = sd_bus_message_append(reply, "i", ids[i]);
        if (r >= 0)
            r = append_properties(reply, ids[i], names);
        if (r >= 0)
            r = sd_bus_message_close_container(reply);
    }
    if (r >= 0)
        r = sd_bus_message_close_container(reply);
    if (r >= 0)
        r = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    free_strv(names);
    return r;
}

static int get_property(sd_bus_message *m, void *, sd_bus_error *error)
{
    int32_t id = 0;
    const char *name = nullptr;
    int r = sd_bus_message_read(m, "is", &id, &name);
    if (r < 0)
        return r;
    if (id != 0 && menu_text(id)) {
        if (strcmp(name, "label") == 0)
            return sd_bus_reply_method_return(m, "v", "s",
                                              compat_as_utf8(menu_text(id)).c_str());
        if (strcmp(name, "enabled") == 0 || strcmp(name, "visible") == 0)
            return sd_bus_reply_method_return(m, "v", "b", 1);
    } else if (id == 0 && strcmp(name, "children-display") == 0) {
        return sd_bus_reply_method_return(m, "v", "s", "submenu");
    }
    return sd_bus_error_setf(error, SD_BUS_ERROR_INVALID_ARGS, "menu item %d has no %s", id, name);
}

// A click on an item ends as the Windows menu's does: its command, posted to
// the icon's window once the menu has closed.
static void menu_event(int32_t id, const char *event)
{
    if (strcmp(event, "clicked") == 0 && id != 0 && menu_text(id) && g_served.shown)
        PostMessageA(g_served.window, WM_COMMAND, static_cast<WPARAM>(id), 0);
}

static int event(sd_bus_message *m, void *, sd_bus_error *error)
{
    int32_t id = 0;
    const char *name = nullptr;
    int r = sd_bus_message_read(m, "is", &id, &name);
    if (r < 0)
        return r;
    if (!is_node(id))
        return unknown_item(error, id);
    // Answered first: the command may end the program.
    std::string copy = name;
    r = sd_bus_reply_method_return(m, "");
    menu_event(id, copy.c_str());
    return r;
}

static int event_group(sd_bus_message *m, void *, sd_bus_error *)
{
    int32_t clicked[8];
    int count = 0, r = sd_bus_message_enter_container(m, 'a', "(isvu)");
    int32_t unknown[8];
    int unknowns = 0;
    while (r >= 0 && (r = sd_bus_message_enter_container(m, 'r', "isvu")) > 0) {
        int32_t id = 0;
        const char *name = nullptr;
        r = sd_bus_message_read(m, "is", &id, &name);
        if (r >= 0)
            r = sd_bus_message_skip(m, "vu");
        if (r >= 0)
            r = sd_bus_message_exit_container(m);
        if (r >= 0 && !is_node(id) && unknowns < 8)
            unknown[unknowns++] = id;
        else if (r >= 0 && strcmp(name, "clicked") == 0 && count < 8)
            clicked[count++] = id;
    }
    if (r < 0)
        return r;
    sd_bus_message *reply = nullptr;
    r = sd_bus_message_new_method_return(m, &reply);
    if (r >= 0)
        r = sd_bus_message_append_array(reply, 'i', unknown, unknowns * sizeof unknown[0]);
    if (r >= 0)
        r = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    for (int i = 0; i < count; ++i)
        menu_event(clicked[i], "clicked");
    return r;
}

static int about_to_show(sd_bus_message *m, void *, sd_bus_error *)
{
    return sd_bus_reply_method_return(m, "b", 0);
}

static int about_to_show_group(sd_bus_message *m, void *, sd_bus_error *)
{
    return sd_bus_reply_method_return(m, "aiai", 0, 0);
}

static int menu_property(sd_bus *, const char *, const char *, const char *property,
                         sd_bus_message *reply, void *, sd_bus_error *)
{
    if (strcmp(property, "Version") == 0)
        return sd_bus_message_append(reply, "u", 3u);
    if (strcmp(property, "TextDirection") == 0)
        return sd_bus_message_append(reply, "s", "ltr");
    if (strcmp(property, "Status") == 0)
        return sd_bus_message_append(reply, "s", "normal");
    return sd_bus_message_append(reply, "as", 0); // IconThemePath
}

static const sd_bus_vtable MENU_VTABLE[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("Version", "u", menu_property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("TextDirection", "s", menu_property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Status", "s", menu_property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("IconThemePath", "as", menu_property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_METHOD("GetLayout", "iias", "u(ia{sv}av)", get_layout, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("GetGroupProperties", "aias", "a(ia{sv})", get_group_properties,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("GetProperty", "is", "v", get_property, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Event", "isvu", "", event, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("EventGroup", "a(isvu)", "ai", event_group, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("AboutToShow", "i", "b", about_to_show, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("AboutToShowGroup", "ai", "aiai", about_to_show_group,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_SIGNAL("ItemsPropertiesUpdated", "a(ia{sv})a(ias)", 0),
    SD_BUS_SIGNAL("LayoutUpdated", "ui", 0),
    SD_BUS_SIGNAL("ItemActivationRequested", "iu", 0),
    SD_BUS_VTABLE_END,
};

// ---- the host

static int registered(sd_bus_message *reply, void *, sd_bus_error *)
{
    const sd_bus_error *error = sd_bus_message_get_error(reply);
    if (error)
        note_no_tray(sd_bus_error_has_name(error, SD_BUS_ERROR_SERVICE_UNKNOWN) ||
                             sd_bus_error_has_name(error, SD_BUS_ERROR_NAME_HAS_NO_OWNER)
                         ? "no StatusNotifierWatcher on the session bus"
                         : error->message);
    return 0;
}

static int watcher_changed(sd_bus_message *m, void *, sd_bus_error *)
{
    const char *name = nullptr, *old_owner = nullptr, *new_owner = nullptr;
    if (sd_bus_message_read(m, "sss", &name, &old_owner, &new_owner) >= 0 && new_owner[0])
        compat_taskbar_restart();
    return 0;
}

static void register_item(void)
{
    if (!g_named) {
        int r = sd_bus_request_name(g_bus, g_name, 0);
        if (r < 0) {
            note_no_tray(strerror(-r));
            return;
        }
        g_named = true;
    }
    sd_bus_message *call = nullptr;
    int r = sd_bus_message_new_method_call(g_bus, &call, WATCHER, "/StatusNotifierWatcher",
                                           WATCHER, "RegisterStatusNotifierItem");
    if (r >= 0)
        r = sd_bus_message_append(call, "s", g_name);
    // Registering starts no host: there is one, or there is no tray.
    if (r >= 0)
        r = sd_bus_message_set_auto_start(call, 0);
    if (r >= 0)
        r = sd_bus_call_async(g_bus, nullptr, call, registered, nullptr, 0);
    sd_bus_message_unref(call);
    if (r < 0)
        note_no_tray(strerror(-r));
}

// Brings the bus up to what the program wants.
static void serve(const TrayIcon &wanted)
{
    bool again = wanted.shown && wanted.adds != g_served.adds;
    bool new_tip = wanted.shown && g_served.shown && strcmp(wanted.tip, g_served.tip) != 0;
    g_served = wanted;
    if (!wanted.shown && g_named) {
        // The host forgets an item whose name goes.
        sd_bus_release_name(g_bus, g_name);
        g_named = false;
    } else if (again) {
        register_item();
    } else if (new_tip) {
        sd_bus_emit_signal(g_bus, ITEM_PATH, ITEM_INTERFACE, "NewTitle", "");
        sd_bus_emit_signal(g_bus, ITEM_PATH, ITEM_INTERFACE, "NewToolTip", "");
    }
}

static int poll_timeout_ms(void)
{
    uint64_t until = 0;
    if (sd_bus_get_timeout(g_bus, &until) < 0 || until == UINT64_MAX)
        return -1;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t now_us = static_cast<uint64_t>(now.tv_sec) * 1000000u + now.tv_nsec / 1000;
    return until <= now_us ? 0 : static_cast<int>((until - now_us + 999) / 1000);
}

static bool tray_connect(void)
{
    int r = sd_bus_open_user(&g_bus);
    if (r < 0) {
        note_no_tray("no session bus");
        return false;
    }
    snprintf(g_name, sizeof g_name, "org.kde.StatusNotifierItem-%d-1", static_cast<int>(getpid()));
    r = sd_bus_add_object_vtable(g_bus, nullptr, ITEM_PATH, ITEM_INTERFACE, ITEM_VTABLE, nullptr);
    if (r >= 0)
        r = sd_bus_add_object_vtable(g_bus, nullptr, MENU_PATH, MENU_INTERFACE, MENU_VTABLE,
                                     nullptr);
    if (r >= 0)
        r = sd_bus_add_match(g_bus, nullptr,
                             "type='signal',sender='org.freedesktop.DBus',"
                             "interface='org.freedesktop.DBus',member='NameOwnerChanged',"
                             "arg0='org.kde.StatusNotifierWatcher'",
                             watcher_changed, nullptr);
    if (r < 0) {
        note_no_tray(strerror(-r));
        g_bus = sd_bus_close_unref(g_bus);
        return false;
    }
    return true;
}

static void *tray_main(void *)
{
    if (!tray_connect())
        return nullptr;
    for (;;) {
        pthread_mutex_lock(&g_tray_lock);
        TrayIcon wanted = g_wanted;
        pthread_mutex_unlock(&g_tray_lock);
        serve(wanted);
        int r;
        while ((r = sd_bus_process(g_bus, nullptr)) > 0) {
        }
        if (r < 0)
            break; // the session has ended: no tray any more
        struct pollfd fds[2] = {
            {sd_bus_get_fd(g_bus), static_cast<short>(sd_bus_get_events(g_bus)), 0},
            {g_wake, POLLIN, 0},
        };
        if (poll(fds, 2, poll_timeout_ms()) < 0 && errno != EINTR)
            break;
        uint64_t count = 0;
        if ((fds[1].revents & POLLIN) && read(g_wake, &count, sizeof count) < 0 && errno != EAGAIN)
            break;
    }
    g_bus = sd_bus_close_unref(g_bus);
    return nullptr;
}

static void tray_start(void)
{
    int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
        note_no_tray(strerror(errno));
        return;
    }
    g_wake = wake;
    pthread_t thread;
    if (pthread_create(&thread, nullptr, tray_main, nullptr) != 0) {
        note_no_tray("no thread to serve it");
        return;
    }
    pthread_detach(thread);
}

void compat_tray_publish(const NOTIFYICONDATAA *icon, bool added)
{
    if (added)
        pthread_once(&g_tray_once, tray_start);
    pthread_mutex_lock(&g_tray_lock);
    g_wanted.shown = icon != nullptr;
    if (icon) {
        g_wanted.adds += added;
        g_wanted.window = icon->hWnd;
        g_wanted.id = icon->uID;
        g_wanted.callback = (icon->uFlags & NIF_MESSAGE) ? icon->uCallbackMessage : 0;
        memcpy(g_wanted.tip, icon->szTip, sizeof g_wanted.tip);
        g_wanted.tip[sizeof g_wanted.tip - 1] = '\0';
    }
    pthread_mutex_unlock(&g_tray_lock);
    uint64_t one = 1;
    int wake = g_wake;
    if (wake >= 0 && write(wake, &one, sizeof one) < 0) {
        // Full only after 2^64 - 2 changes not yet served: the thread is awake.
    }
}
