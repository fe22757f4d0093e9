// The hidden window's procedure and the settings file, in process.
#include "shell/shell.h"

#include "compat.h"
#include "res/resource.h"
#include "support.h"

#include <gtest/gtest.h>

#include <string.h>
#include <unistd.h>

#include <string>

// The notification area and the pop-up menu, stood in for: what the window
// procedure hands them is kept for the checks, and a menu is answered with
// the item a test chose.
static NOTIFYICONDATAA g_shown; // the icon as added, while g_icon_shown
static bool g_icon_shown;
static int g_popups;     // menus tracked
static int g_choice = -1; // the item the next menu is answered with, or -1
static NOTIFYICONDATAA g_balloon; // the last change of the icon asked for
static int g_balloons;

BOOL WINAPI Shell_NotifyIconA(DWORD message, PNOTIFYICONDATAA data)
{
    bool same = g_icon_shown && data->hWnd == g_shown.hWnd && data->uID == g_shown.uID;
    if (message == NIM_ADD && !g_icon_shown) {
        g_shown = *data;
        g_icon_shown = true;
        return TRUE;
    }
    if (message == NIM_DELETE && same) {
        g_icon_shown = false;
        return TRUE;
    }
    if (message == NIM_MODIFY && same) {
        g_balloon = *data;
        ++g_balloons;
        return TRUE;
    }
    return FALSE;
}

BOOL WINAPI TrackPopupMenu(HMENU menu, UINT, int, int, int, HWND owner, LPCRECT)
{
    ++g_popups;
    int choice = g_choice;
    g_choice = -1;
    if (menu != g_popup || choice != 0)
        return FALSE;
    // As on Windows, the command arrives once the menu has closed.
    PostMessageA(owner, WM_COMMAND, IDM_EXIT, 0);
    return TRUE;
}

namespace {

struct TrayWindow : testing::Test {
    HWND window = NULL;

    void SetUp() override
    {
        static ATOM atom = [] {
            WNDCLASSEXA window_class = {};
            window_class.cbSize = sizeof window_class;
            window_class.lpfnWndProc = tray_wndproc;
            window_class.lpszClassName = "tray test";
            return RegisterClassExA(&window_class);
        }();
        ASSERT_NE(atom, 0);
        drain();
        g_worker = 0;
        // Handles the window procedure passes on and never looks into.
        g_icon_small = reinterpret_cast<HICON>(&g_shown);
        g_popup = reinterpret_cast<HMENU>(&g_popups);
        window = CreateWindowExA(WS_EX_TOOLWINDOW, "tray test", APP_TITLE, WS_OVERLAPPEDWINDOW,
                                 CW_USEDEFAULT, CW_USEDEFAULT, 100, 100, NULL, NULL, NULL, NULL);
        ASSERT_NE(window, nullptr);
    }

    void TearDown() override
    {
        g_icon_shown = false;
        DestroyWindow(window);
        drain();
    }

    static void drain()
    {
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
        }
    }

    LRESULT send(UINT message, WPARAM wparam = 0, LPARAM lparam = 0)
    {
        return tray_wndproc(window, message, wparam, lparam);
    }

    // The program ends: the icon is gone and the quit message, with code 0,
    // is the one message waiting.
    void expect_ended()
    {
        EXPECT_FALSE(g_icon_shown);
        MSG msg;
        ASSERT_TRUE(PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE));
        EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
        EXPECT_EQ(msg.wParam, 0u);
        EXPECT_FALSE(PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE));
    }

    void expect_untouched(const char *what)
    {
        EXPECT_TRUE(g_icon_shown) << what;
        MSG msg;
        EXPECT_FALSE(PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) << what;
    }
};

TEST_F(TrayWindow, CreationAddsTheIcon)
{
    ASSERT_TRUE(g_icon_shown);
    const NOTIFYICONDATAA &icon = g_shown;
    EXPECT_EQ(icon.cbSize, NOTIFYICONDATAA_V1_SIZE);
    EXPECT_EQ(icon.hWnd, window);
    EXPECT_EQ(icon.uID, 1u);
    EXPECT_EQ(icon.uFlags, 7u);
    EXPECT_EQ(icon.uCallbackMessage, 0x8064u);
    EXPECT_EQ(icon.hIcon, g_icon_small);
    EXPECT_STREQ(icon.szTip, "NotchKey!");
}

TEST_F(TrayWindow, OnlyTheRightButtonsPressOpensTheMenu)
{
    int before = g_popups;
    for (LPARAM mouse : {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_MOUSEMOVE, WM_RBUTTONUP}) {
        EXPECT_EQ(send(WM_TRAYNOTIFY, 1, mouse), 0);
        EXPECT_EQ(g_popups, before) << "mouse message " << mouse;
    }
    EXPECT_EQ(send(WM_TRAYNOTIFY, 1, WM_RBUTTONDOWN), 0);
    EXPECT_EQ(g_popups, before + 1);
    // Dismissed without a choice: everything stays.
    expect_untouched("menu dismissed");
}

// The menu borrows the foreground for the hidden window and gives it back,
// whether an item was chosen or not.
TEST_F(TrayWindow, TheMenuHandsTheForegroundBack)
{
    HWND simulator = make_window();
    ASSERT_TRUE(SetForegroundWindow(simulator));
    EXPECT_EQ(send(WM_TRAYNOTIFY, 1, WM_RBUTTONDOWN), 0);
    EXPECT_EQ(GetForegroundWindow(), simulator) << "dismissed";
    expect_untouched("menu dismissed");

    // The menu again, "Exit" chosen this time.
    g_choice = 0;
    EXPECT_EQ(send(WM_TRAYNOTIFY, 1, WM_RBUTTONDOWN), 0);
    EXPECT_EQ(GetForegroundWindow(), simulator) << "chosen";
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_COMMAND));
    EXPECT_EQ(LOWORD(msg.wParam), IDM_EXIT);
    DispatchMessageA(&msg);
    expect_ended();
    DestroyWindow(simulator);
}

// With no window in the foreground before, the hidden one keeps it: there is
// nothing to give it back to.
TEST_F(TrayWindow, WithoutAForegroundBeforeTheMenuNoneIsInvented)
{
    HWND gone = make_window();
    SetForegroundWindow(gone);
    DestroyWindow(gone);
    ASSERT_EQ(GetForegroundWindow(), nullptr);
    send(WM_TRAYNOTIFY, 1, WM_RBUTTONDOWN);
    EXPECT_EQ(GetForegroundWindow(), window);
}

TEST_F(TrayWindow, ExitEndsTheProgram)
{
    EXPECT_EQ(send(WM_COMMAND, IDM_EXIT), 0);
    expect_ended();
}

TEST_F(TrayWindow, ExitIsKnownByItsLowWordAlone)
{
    EXPECT_EQ(send(WM_COMMAND, (1u << 16) | IDM_EXIT), 0);
    expect_ended();
}

TEST_F(TrayWindow, OtherCommandsDoNothing)
{
    for (WPARAM command : {0u, 40002u, 1u, 40001u << 16})
        EXPECT_EQ(send(WM_COMMAND, command), 0);
    expect_untouched("other commands");
}

TEST_F(TrayWindow, ClosingTheWindowEndsTheProgram)
{
    MSG msg = {};
    msg.hwnd = window;
    msg.message = WM_CLOSE;
    DispatchMessageA(&msg);
    expect_ended();
    window = NULL;
}

TEST_F(TrayWindow, WorkerEndedClosesItsHandleOnce)
{
    g_worker = CreateThread(NULL, 0, [](LPVOID) -> DWORD { ExitThread(1); }, NULL, 0, NULL);
    ASSERT_NE(g_worker, nullptr);
    EXPECT_EQ(WaitForSingleObject(g_worker, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(send(WM_WORKER_ENDED), 0);
    EXPECT_EQ(g_worker, nullptr);
    expect_ended();
    // A second notice finds no worker and still ends at once.
    EXPECT_EQ(send(WM_WORKER_ENDED), 0);
    EXPECT_EQ(g_worker, nullptr);
}

TEST_F(TrayWindow, WorkerEndedDoesNotHangOnAHandleThatCannotBeQueried)
{
    g_worker = reinterpret_cast<HANDLE>(0x10000); // fails every query
    EXPECT_EQ(send(WM_WORKER_ENDED), 0);
    EXPECT_EQ(g_worker, nullptr);
    expect_ended();
}

// Each change of the line, and each thing a wait waits on, is one balloon on
// the icon, in the record that has a balloon (the first one has none), and
// none once the program is ending. A wait's text is the worker's, however
// long, cut to what a balloon holds.
TEST_F(TrayWindow, TheLinesChangesAreBalloons)
{
    g_balloons = 0;
    snprintf(g_waiting[0], sizeof g_waiting[0], "Waiting for the mascon on COM2: Access is denied.");
    memset(g_waiting[1], 'x', sizeof g_waiting[1] - 1);
    g_waiting[1][sizeof g_waiting[1] - 1] = '\0';
    std::string cut(sizeof g_balloon.szInfo - 1, 'x');
    struct {
        UINT message;
        WPARAM wparam;
        LPARAM back;
        const char *text;
        DWORD icon;
    } cases[] = {
        {WM_MASCON_LINE, 5, 0, "The mascon on COM5 is gone: waiting for it.", NIIF_WARNING},
        {WM_MASCON_LINE, 256, 1, "The mascon is back on COM256.", NIIF_INFO},
        {WM_MASCON_WAITING, 0, 0, "Waiting for the mascon on COM2: Access is denied.", NIIF_WARNING},
        {WM_MASCON_WAITING, 1, 0, cut.c_str(), NIIF_WARNING},
    };
    for (const auto &c : cases) {
        memset(&g_balloon, 0x55, sizeof g_balloon);
        EXPECT_EQ(send(c.message, c.wparam, c.back), 0);
        EXPECT_EQ(g_balloon.cbSize, static_cast<DWORD>(NOTIFYICONDATAA_V2_SIZE));
        EXPECT_EQ(g_balloon.uFlags, static_cast<UINT>(NIF_INFO));
        EXPECT_STREQ(g_balloon.szInfo, c.text);
        EXPECT_STREQ(g_balloon.szInfoTitle, APP_TITLE);
        EXPECT_EQ(g_balloon.dwInfoFlags, c.icon);
        EXPECT_STREQ(g_balloon.szTip, APP_TIP) << "the tooltip stays";
    }
    EXPECT_EQ(g_balloons, 4);
    EXPECT_EQ(send(WM_COMMAND, IDM_EXIT), 0);
    send(WM_MASCON_LINE, 5, 0);
    send(WM_MASCON_WAITING, 0, 0);
    EXPECT_EQ(g_balloons, 4);
}

TEST_F(TrayWindow, OtherMessagesGoToTheDefaultProcedure)
{
    EXPECT_EQ(send(WM_NULL), 0);
    EXPECT_EQ(send(WM_APP + 7, 1, 2), 0);
    expect_untouched("other messages");
}

struct Settings : testing::Test {
    TempDir dir;
    std::string saved_cwd;
    AppConfig config;

    void SetUp() override
    {
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        saved_cwd = cwd;
        ASSERT_EQ(chdir(dir.path.c_str()), 0);
        memset(&config, 0x55, sizeof config);
    }
    void TearDown() override { EXPECT_EQ(chdir(saved_cwd.c_str()), 0); }

    void load(const std::string &ini)
    {
        write_file("notchkey.ini", ini);
        EXPECT_EQ(load_config(&config), 0);
    }
};

TEST_F(Settings, NoFileMeansCom2NoLogAndTheDriver)
{
    EXPECT_EQ(load_config(&config), 0);
    EXPECT_STREQ(config.port, "COM2");
    EXPECT_STREQ(config.logfile, "");
    EXPECT_STREQ(config.injector, "driver");
}

TEST_F(Settings, InjectorIsReadFromConfig)
{
    load("[config]\ninjector = sendinput\n");
    EXPECT_STREQ(config.injector, "sendinput");
    load("[debug]\ninjector = sendinput\n");
    EXPECT_STREQ(config.injector, "driver");
}

TEST_F(Settings, MissingKeysAndSectionsFallBack)
{
    load("[other]\nport=COM7\nlogfile=x.log\n[config]\n;port=COM8\nbaud=9600\n");
    EXPECT_STREQ(config.port, "COM2");
    EXPECT_STREQ(config.logfile, "");
}

TEST_F(Settings, TwoDigitPortsAreKeptWholeLongValuesAreCut)
{
    load("[config]\nport=COM12\n");
    EXPECT_STREQ(config.port, "COM12");
    load("[config]\nport=COM10" + std::string(300, '0') + "\n[debug]\nlogfile=" +
         std::string(300, 'a') + "\n");
    EXPECT_EQ(std::string(config.port), "COM10" + std::string(250, '0'));
    EXPECT_EQ(std::string(config.logfile), std::string(255, 'a'));
}

TEST_F(Settings, CaseSpacesQuotesAndLineEnds)
{
    load("\xEF\xBB\xBF; notchkey\r\n [ CONFIG ] \r\n  PoRt  =   com3   \r\n[Debug]\r\n"
         "LOGFILE = \"my log.txt\" \r\n");
    EXPECT_STREQ(config.port, "com3");
    EXPECT_STREQ(config.logfile, "my log.txt");
    load("[config]\nport='COM4'\n[debug]\nlogfile=\"unbalanced\n");
    EXPECT_STREQ(config.port, "COM4");
    EXPECT_STREQ(config.logfile, "\"unbalanced");
}

TEST_F(Settings, FirstOccurrenceWinsAndNoFinalNewlineIsFine)
{
    load("[config]\nport=COM5\nport=COM6\n[debug]\nlogfile=last");
    EXPECT_STREQ(config.port, "COM5");
    EXPECT_STREQ(config.logfile, "last");
    // A second section of a name is not read at all, as under Wine.
    load("[config]\ninjector=sendinput\n[debug]\n[config]\nport=COM7\n");
    EXPECT_STREQ(config.port, "COM2");
    EXPECT_STREQ(config.injector, "sendinput");
}

// Anything but yes or no, in any case, is told, with enough of a long value
// to find it by, and load_config fails.
TEST_F(Settings, ReconnectIsYesOrNo)
{
    std::string long_value(300, 'y');
    struct Case {
        std::string ini;
        int result;
        BOOL reconnect;
        std::string box;
    } cases[] = {
        {"", 0, FALSE, ""},
        {"[config]\nreconnect = YES \n", 0, TRUE, ""},
        {"[config]\nreconnect=No\n", 0, FALSE, ""},
        {"[other]\nreconnect=maybe\n", 0, FALSE, ""},
        {"[config]\nreconnect=maybe\n", -1, FALSE, "maybe"},
        {"[config]\nreconnect=\n", -1, FALSE, ""},
        {"[config]\nreconnect=yes!\n", -1, FALSE, "yes!"},
        {"[config]\nreconnect=" + long_value + "\n", -1, FALSE, long_value.substr(0, 100)},
    };
    for (const Case &c : cases) {
        write_file("notchkey.ini", c.ini);
        StderrCapture err;
        EXPECT_EQ(load_config(&config), c.result) << c.ini;
        EXPECT_EQ(config.reconnect, c.reconnect) << c.ini;
        EXPECT_EQ(err.text(), c.result ? "Lever to keys!: " + c.box +
                                             " is invalid reconnect.\nreconnect takes yes or no.\n"
                                       : "")
            << c.ini;
    }
}

// The [keys] section as one list of "name=value" strings, as the settings
// reader hands it over.
std::string section_list(const char *keys, size_t size)
{
    std::string list;
    for (size_t at = 0; at < size && keys[at]; at += strlen(keys + at) + 1)
        list += std::string(keys + at) + "|";
    return list;
}

TEST_F(Settings, KeysSectionIsReadAsItsEntries)
{
    // Only the first section of the name counts, as under Wine.
    load("[keys]\r\n  mca55 =  Q  \r\n; MCA65=e\r\n\r\nMCK99=\"lshift\"\r\nno equals\r\n"
         "[config]\r\nport=COM3\r\n[KEYS]\r\nMCZ99=h\r\n");
    EXPECT_EQ(section_list(config.keys, sizeof config.keys),
              "mca55=Q|MCK99=\"lshift\"|no equals|");
    load("[config]\nport=COM3\n");
    EXPECT_EQ(config.keys[0], '\0');
    EXPECT_EQ(config.keys[1], '\0');
}

TEST_F(Settings, KeysSectionTooLongIsCutWithItsLastEntry)
{
    std::string ini = "[keys]\n";
    for (int i = 0; i < 500; ++i)
        ini += "MCA55=pagedown\n";
    load(ini);
    // Each entry 15 bytes with its NUL: the list stops inside one, ends with
    // two NULs and leaves nothing written past the field.
    const size_t size = sizeof config.keys;
    EXPECT_EQ(config.keys[size - 1], '\0');
    EXPECT_EQ(config.keys[size - 2], '\0');
    EXPECT_EQ(std::string(config.keys + (size - 2) / 15 * 15), std::string("MCA55=pagedown").substr(0, (size - 2) % 15));
    EXPECT_EQ(GetPrivateProfileSectionA("keys", config.keys, sizeof config.keys, SETTINGS_FILE),
              size - 2);
}

} // namespace
