// The key settings: what each [keys] entry makes the lever and the buttons
// send, what lever=step and the [step] section make the steps, and the
// message for each kind of wrong entry.
#include "keys/keydrv.h"
#include "keys/keys.h"
#include "keys/senders.h"
#include "keys/keynames.h"
#include "keys/profiles.h"
#include "keys/steps.h"

#include "compat.h"
#include "support.h"

#include <linux/input-event-codes.h>

#include <gtest/gtest.h>

#include <ctype.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

struct KeyMap : testing::Test {
    DeviceDir devices;
    std::string capture = devices.make_capture();
    AppConfig config = {"COM5", "", NULL, "driver", "", "hold", "", "", 0, {}, FALSE};

    void TearDown() override
    {
        // The next test starts from the standard map.
        config.keys[0] = config.keys[1] = '\0';
        config.step[0] = config.step[1] = '\0';
        config.profile[0] = '\0';
        config.profile_count = 0;
        strcpy(config.injector, "driver");
        strcpy(config.lever, "hold");
        keydrv_select(&config);
        keydrv_close();
    }

    // The entries as the settings reader lists them: NUL after each, one more
    // at the end.
    static void entries(const std::vector<std::string> &list, char *section, size_t size)
    {
        std::string all;
        for (const std::string &entry : list)
            all += entry + '\0';
        all += '\0';
        ASSERT_LE(all.size(), size);
        memcpy(section, all.data(), all.size());
    }
    void entries(const std::vector<std::string> &list)
    {
        entries(list, config.keys, sizeof config.keys);
    }

    // The packets are watched through the driver: the SendInput stand-in
    // keeps the first target it opened in the process.
    int select(const std::vector<std::string> &list, const char *injector = "driver")
    {
        strcpy(config.injector, injector);
        entries(list);
        int result = keydrv_select(&config);
        if (result == 0) {
            EXPECT_EQ(keydrv_open(&config), 0);
            release_held_keys(); // whatever earlier tests left down
            write_file(capture, "");
        }
        return result;
    }

    std::vector<std::string> packets() const { return read_lines(capture); }
};

TEST_F(KeyMap, LeverPositionsAndPressMessagesTakeTheirKeys)
{
    ASSERT_EQ(select({"MCA55=q", "MCB20=0x10", "MCK99=lshift", "MCZ99=h"}, "driver"), 0);
    send_lever_change(6, 5);   // keypad 0 -> Q
    send_lever_change(5, 15);  // Q -> 0x10, Q again by code: it stays down
    send_lever_change(15, 15); // the same message twice still lets go of it
    send_lever_change(15, 0);  // the standard 6
    for (LONG index = 0; index < 8; ++index)
        send_button_key(index);
    EXPECT_EQ(packets(), (std::vector<std::string>{"10 d2", "10 90", "07 90", "2a", "aa", "39",
                                                   "b9", "1c", "9c", "23", "a3"}));
}

TEST_F(KeyMap, CaseBlanksQuotesAndCommentsAsElsewhereInTheFile)
{
    ASSERT_EQ(select({"mca55=Q", "  McK99 \t=\t LSHIFT  ", "MCY99=\"0X1F\"", "  ; MCA50=w",
                      "MCZ99='/'"}),
              0);
    send_lever_change(6, 5);
    send_lever_change(5, 6);
    send_button_key(0);
    send_button_key(4);
    send_button_key(7);
    send_button_key(6);
    EXPECT_EQ(packets(), (std::vector<std::string>{"10 d2", "52 90", "2a", "1f", "b5", "35"}));
}

TEST_F(KeyMap, TheFirstEntryForAMessageCounts)
{
    ASSERT_EQ(select({"MCA55=q", "mca55=w", "MCK99=a", "MCK99=b"}), 0);
    send_lever_change(5, 5);
    send_button_key(0);
    EXPECT_EQ(packets(), (std::vector<std::string>{"10 90", "1e"}));
}

// Their packets through SendInput are seen end to end, on both desks.
TEST_F(KeyMap, ExtendedKeysTakeThePrefixWithSendInput)
{
    ASSERT_EQ(select({"MCA55=up", "MCA50=kpenter", "MCK99=rctrl", "MCY99=a"}, "sendinput"), 0);
    EXPECT_EQ(g_keys->lever[5], 0xE048);
    EXPECT_EQ(g_keys->lever[6], 0xE01C);
    EXPECT_EQ(g_keys->button[0], 0xE01D);
    EXPECT_EQ(g_keys->button[1], 0xE09D);
    EXPECT_EQ(g_keys->button[4], 0x1E);
    EXPECT_EQ(g_keys->button[5], 0x9E);
}

TEST_F(KeyMap, NoSectionLeavesTheStandardKeys)
{
    ASSERT_EQ(select({}), 0);
    for (LONG to = 0; to < 16; ++to)
        send_lever_change(to, to);
    for (LONG index = 0; index < 8; ++index)
        send_button_key(index);
    EXPECT_EQ(packets(),
              (std::vector<std::string>{"07 87", "06 86", "05 85", "04 84", "03 83", "02 82",
                                        "52 d2", "4f cf", "50 d0", "51 d1", "4b cb", "4c cc",
                                        "4d cd", "47 c7", "48 c8", "49 c9", "39", "b9", "39",
                                        "b9", "1c", "9c", "01", "81"}));
}

// Each kind of wrong entry, shown as the settings reader gave it; nothing
// after it is looked at.
TEST_F(KeyMap, WrongEntriesAreNamedInTheWarning)
{
    struct Case {
        const char *entry;
        const char *injector;
    };
    const Case cases[] = {
        {"MCA55=foo", "sendinput"},     // no key name
        {"MCA55=", "sendinput"},        // no value
        {"MCA55", "sendinput"},         // no '='
        {"=q", "sendinput"},            // no name
        {"MCA5=q", "sendinput"},        // no message
        {"MCA55\r=q", "sendinput"},     // the carriage return is not written
        {"MCK00=q", "sendinput"},       // a release message
        {"MCG99=q", "sendinput"},       // a G-state
        {"MCA00=q", "sendinput"},       // in no table
        {"MCA55=0x", "sendinput"},      // codes: no digits,
        {"MCA55=0x0", "sendinput"},     //   no key,
        {"MCA55=0x80", "sendinput"},    //   a release,
        {"MCA55=0x100", "sendinput"},   //   too long,
        {"MCA55=0x1g", "sendinput"},    //   no hex,
        {"MCA55=10", "sendinput"},      //   without 0x
        {"MCA55=q w", "sendinput"},     // two keys
        {"MCA55=keypad 0", "sendinput"},
        {"MCA55=up", "driver"},         // the driver takes plain codes only
        {"MCK99=kp/", "DRIVER"},
    };
    for (const Case &c : cases) {
        StderrCapture err;
        EXPECT_EQ(select({"MCA50=q", c.entry, "MCB60=bad too"}, c.injector), 1) << c.entry;
        EXPECT_EQ(first_line(err.text()), "Lever to keys!: " + std::string(c.entry) + " is invalid key.\n");
    }
}

TEST_F(KeyMap, ALongWrongEntryIsShownCut)
{
    std::string entry = "MCA55=" + std::string(300, 'x');
    StderrCapture err;
    EXPECT_EQ(select({entry}), 1);
    EXPECT_EQ(first_line(err.text()), "Lever to keys!: " + entry.substr(0, 100) + " is invalid key.\n");
    // A character across the hundredth byte is left out whole, not halved;
    // a stray byte is a character of its own.
    entry = "MCA55=" + std::string(92, 'x') + "\xE2\x82\xAC" + std::string(10, 'x');
    StderrCapture err2;
    EXPECT_EQ(select({entry}), 1);
    EXPECT_EQ(first_line(err2.text()), "Lever to keys!: " + entry.substr(0, 98) + " is invalid key.\n");
    entry = "MCA55=" + std::string(93, 'x') + "\xE9" + std::string(10, 'x');
    StderrCapture err3;
    EXPECT_EQ(select({entry}), 1);
    EXPECT_EQ(first_line(err3.text()), "Lever to keys!: " + entry.substr(0, 100) + " is invalid key.\n");
}

TEST_F(KeyMap, ASectionCutByTheBufferEndsWithAWrongEntry)
{
    // What the reader hands over when the section did not fit: the last entry
    // cut, two NULs at the very end.
    memset(config.keys, 0, sizeof config.keys);
    size_t at = 0;
    while (at + 8 <= sizeof config.keys - 2) {
        memcpy(config.keys + at, "MCA55=q", 8);
        at += 8;
    }
    memcpy(config.keys + at, "MCA55=0x10", sizeof config.keys - 2 - at);
    StderrCapture err;
    EXPECT_EQ(keydrv_select(&config), 1);
    EXPECT_EQ(first_line(err.text()), "Lever to keys!: " +
                              std::string("MCA55=0x10").substr(0, sizeof config.keys - 2 - at) +
                              " is invalid key.\n");
}

TEST_F(KeyMap, ASectionIsTakenUpToTheLastByteOfItsRoom)
{
    // Through the settings reader: 4095 bytes, all the record's 4096 hold
    // with the final NUL, are taken; one more cannot be told from a cut one.
    TempDir dir;
    std::string path = dir.file("notchkey.ini");
    for (size_t size : {4095u, 4096u}) {
        std::string text = "[keys]\r\n";
        size_t left = size - sizeof "MCA55=0x10";
        // Lines of 8 bytes as read, and of 9 where 8 do not come out even.
        for (; left % 8; left -= 9)
            text += "MCA65=f1\r\n";
        for (; left; left -= 8)
            text += "MCA65=w\r\n";
        write_file(path, text + "MCA55=0x10\r\n");
        ASSERT_EQ(GetPrivateProfileSectionA("keys", config.keys, sizeof config.keys, path.c_str()),
                  size == 4095 ? 4095u : sizeof config.keys - 2);
        StderrCapture err;
        EXPECT_EQ(keydrv_select(&config), size == 4095 ? 0 : 1) << size;
        if (size == 4095)
            EXPECT_EQ(g_keys->lever[5], 0x10);
        else
            EXPECT_EQ(first_line(err.text()), "Lever to keys!: MCA55=0x10 is invalid key.\n");
    }
}

TEST_F(KeyMap, AWrongInjectorIsToldBeforeTheMap)
{
    StderrCapture err;
    EXPECT_EQ(select({"MCA55=foo"}, "keyboard"), 1);
    EXPECT_EQ(first_line(err.text()), "Lever to keys!: keyboard is invalid injector.\n");
}

// lever= and the [step] section, with the [keys] section beside them.
struct StepSettings : KeyMap {
    int select_steps(const char *lever, const std::vector<std::string> &steps,
                     const std::vector<std::string> &keys = {}, const char *injector = "driver")
    {
        strcpy(config.lever, lever);
        entries(steps, config.step, sizeof config.step);
        return select(keys, injector);
    }
};

TEST_F(StepSettings, KeysAndTimesAsTheFileWritesThem)
{
    // Names and values in any case, blanks, quotes and comments as in
    // [keys], the first line of a name counting; one key for two steps that
    // go one way (a combined handle); buttons still take their [keys] entries.
    ASSERT_EQ(select_steps("Step",
                           {"  Power_Up = A ", "POWER_DOWN='d'", "brake_up=d", "; brake_down=x",
                            "brake_down=0x10", "brake_down=e", "press_ms=1", "gap_ms = 1000"},
                           {"MCK99=lshift"}),
              0);
    EXPECT_TRUE(g_keys->lever_steps);
    EXPECT_EQ(std::vector<WORD>(g_keys->steps.keys, g_keys->steps.keys + STEP_KINDS),
              (std::vector<WORD>{0x1E, 0x20, 0x20, 0x10}));
    EXPECT_EQ(g_keys->steps.press_ms, 1u);
    EXPECT_EQ(g_keys->steps.gap_ms, 1000u);
    EXPECT_EQ(g_keys->button[0], 0x2A);
    // The times' default; extended keys with SendInput.
    ASSERT_EQ(select_steps("step", {"power_up=up", "power_down=down", "brake_up=.",
                                    "brake_down=,"}, {}, "sendinput"),
              0);
    EXPECT_EQ(g_keys->steps.keys[STEP_POWER_UP], 0xE048);
    EXPECT_EQ(g_keys->steps.press_ms, 30u);
    EXPECT_EQ(g_keys->steps.gap_ms, 30u);
    // Without lever=step the section is not looked at.
    ASSERT_EQ(select_steps("HOLD", {"power_up=foo"}), 0);
    EXPECT_FALSE(g_keys->lever_steps);
}

// The train's notches: a count stands for a map, a map wins over the count
// of its handle whichever comes first, the first line of a name counts. The
// power map, then the brake map.
TEST_F(StepSettings, TrainNotchesByCountOrMap)
{
    auto maps = [&](std::vector<std::string> lines) {
        lines.insert(lines.begin(), {"power_up=a", "power_down=z", "brake_up=.", "brake_down=,"});
        EXPECT_EQ(select_steps("step", lines), 0);
        std::vector<int> got(g_keys->steps.power_map, g_keys->steps.power_map + 6);
        got.insert(got.end(), g_keys->steps.brake_map, g_keys->steps.brake_map + 8);
        return got;
    };
    EXPECT_EQ(maps({}), (std::vector<int>{1, 2, 3, 4, 5, 6, /**/ 1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(maps({"Power_Notches = 4", "brake_notches=7", "power_notches=5"}),
              (std::vector<int>{1, 2, 3, 4, 4, 4, /**/ 1, 2, 3, 4, 5, 6, 7, 7}));
    EXPECT_EQ(maps({"power_map = 1, 2,2 ,3,4,4", "power_notches=1", "brake_notches=1",
                    "brake_map=1,3,5,7,9,11,13,99", "brake_map=1,1,1,1,1,1,1,1"}),
              (std::vector<int>{1, 2, 2, 3, 4, 4, /**/ 1, 3, 5, 7, 9, 11, 13, 99}));
    EXPECT_EQ(maps({"power_notches=1", "brake_map='2,2,2,2,2,2,2,2'"}),
              (std::vector<int>{1, 1, 1, 1, 1, 1, /**/ 2, 2, 2, 2, 2, 2, 2, 2}));
}

TEST_F(StepSettings, WrongSettingsAreNamedInTheWarning)
{
    const std::vector<std::string> four = {"power_up=a", "power_down=z", "brake_up=.",
                                           "brake_down=,"};
    auto with = [&](std::vector<std::string> more) {
        more.insert(more.begin(), four.begin(), four.end());
        return more;
    };
    const struct {
        const char *lever;
        std::vector<std::string> steps, keys;
        const char *injector;
        std::string message;
    } cases[] = {
        {"walk", four, {}, "driver", "walk is invalid lever."},
        {"", four, {}, "driver", "lever= is invalid lever."},
        {"steps", four, {}, "driver", "steps is invalid lever."},
        {"step", {"power_up=foo", "bad=too"}, {}, "driver", "power_up=foo is invalid step."},
        {"step", with({"power=a"}), {}, "driver", "power=a is invalid step."},
        {"step", with({"power_up"}), {}, "driver", "power_up is invalid step."},
        {"step", with({"brake_up=0x80"}), {}, "driver", "brake_up=0x80 is invalid step."},
        {"step", with({"power_up=up"}), {}, "driver", "power_up=up is invalid step."},
        {"step", with({"press_ms=0"}), {}, "sendinput", "press_ms=0 is invalid step."},
        {"step", with({"press_ms=1001"}), {}, "driver", "press_ms=1001 is invalid step."},
        {"step", with({"gap_ms=99999999999"}), {}, "driver", "gap_ms=99999999999 is invalid step."},
        {"step", with({"gap_ms="}), {}, "driver", "gap_ms= is invalid step."},
        {"step", with({"gap_ms=30ms"}), {}, "driver", "gap_ms=30ms is invalid step."},
        {"step", with({"gap_ms=-1"}), {}, "driver", "gap_ms=-1 is invalid step."},
        {"step", with({"power_notches=9"}), {}, "driver", "power_notches=9 is invalid step."},
        {"step", with({"brake_notches=0"}), {}, "driver", "brake_notches=0 is invalid step."},
        {"step", with({"power_notches=7"}), {}, "driver", "power_notches=7 is invalid step."},
        {"step", with({"brake_notches=9"}), {}, "driver", "brake_notches=9 is invalid step."},
        {"step", with({"brake_map=1,3,2"}), {}, "driver", "brake_map=1,3,2 is invalid step."},
        {"step", with({"power_map=1,2,3,4,6,5"}), {}, "driver",
         "power_map=1,2,3,4,6,5 is invalid step."},
        {"step", with({"power_map=0,1,2,3,4,5"}), {}, "driver",
         "power_map=0,1,2,3,4,5 is invalid step."},
        {"step", with({"power_map=1,2,3,4,5,6,7"}), {}, "driver",
         "power_map=1,2,3,4,5,6,7 is invalid step."},
        {"step", with({"power_map=1,2,3,4,5,"}), {}, "driver",
         "power_map=1,2,3,4,5, is invalid step."},
        {"step", with({"power_map=1,2,3,4,5,100"}), {}, "driver",
         "power_map=1,2,3,4,5,100 is invalid step."},
        {"step", with({"power_map=1,2,3,4,5 6"}), {}, "driver",
         "power_map=1,2,3,4,5 6 is invalid step."},
        // A map that would win must still be right where a count came first.
        {"step", with({"power_notches=4", "power_map=1,1"}), {}, "driver",
         "power_map=1,1 is invalid step."},
        {"step", {"power_up=a", "power_down=z", "brake_up=."}, {}, "driver",
         "brake_down= is invalid step."},
        {"step", {"power_up=a", "brake_up=.", "brake_down=,"}, {}, "driver",
         "power_down= is invalid step."},
        // A lever in steps holds no key; a wrong [keys] line is told first.
        {"step", four, {"MCA55=q"}, "driver", "MCA55=q is invalid key."},
        {"step", {"power_up=foo"}, {"MCK99=foo"}, "driver", "MCK99=foo is invalid key."},
        // A key for two steps that go opposite ways, or a button's: the later line.
        {"step", {"power_up=a", "power_down=a", "brake_up=.", "brake_down=,"}, {}, "driver",
         "power_down=a is invalid step."},
        {"step", {"brake_down=,", "power_up=a", "brake_up=,", "power_down=z"}, {}, "driver",
         "brake_up=, is invalid step."},
        {"step", {"power_up=space", "power_down=z", "brake_up=.", "brake_down=,"}, {}, "driver",
         "power_up=space is invalid step."},
        {"step", four, {"MCY99=z"}, "driver", "power_down=z is invalid step."},
    };
    for (const auto &c : cases) {
        StderrCapture err;
        EXPECT_EQ(select_steps(c.lever, c.steps, c.keys, c.injector), 1) << c.message;
        EXPECT_EQ(first_line(err.text()), "Lever to keys!: " + c.message + "\n");
    }
}

// Profiles over the base sections, each with its own lines first.
struct Profiles : StepSettings {
    void profile(const std::string &section, const std::vector<std::string> &lines)
    {
        ProfileText *text = &config.profiles[config.profile_count++];
        strcpy(text->section, section.c_str());
        entries(lines, text->lines, sizeof text->lines);
    }
    const KeySet &keys_of(int profile) { return g_key_settings.profiles[profile].keys; }
};

TEST_F(Profiles, WhatAProfileDoesNotSayComesFromTheBase)
{
    strcpy(config.profile, "TRAM_2");
    profile("profile express", {"program=RailSim.exe, RailSim2.exe ", "lever=step",
                                "power_up=x", "power_notches=4", "MCK99=space", "; MCY99=foo"});
    profile("profile  metro", {"program=\"MetroSim.exe\"", "MCA50=w", "power_up=foo"});
    profile("Profile Tram_2", {"lever=hold"});
    ASSERT_EQ(select_steps("hold",
                           {"power_up=a", "power_down=z", "brake_up=.", "brake_down=,",
                            "press_ms=50", "power_map=1,1,2,2,3,3"},
                           {"MCA55=q", "MCK99=lshift"}),
              0);
    ASSERT_EQ(g_key_settings.count, 3);
    EXPECT_EQ(g_key_settings.default_profile, 3);
    EXPECT_EQ(g_profile_active, 3);
    EXPECT_STREQ(g_key_settings.profiles[1].name, "express");
    EXPECT_STREQ(g_key_settings.profiles[2].name, "metro");
    // express: in steps, its power_up over the base's, its count of notches
    // over the base's map, the rest and the time from the base; the base's
    // lever keys are no step mode's.
    const StepConfig &steps = keys_of(1).steps;
    EXPECT_TRUE(keys_of(1).lever_steps);
    EXPECT_EQ(std::vector<WORD>(steps.keys, steps.keys + STEP_KINDS),
              (std::vector<WORD>{0x2D, 0x2C, 0x34, 0x33}));
    EXPECT_EQ(steps.press_ms, 50u);
    EXPECT_EQ(steps.gap_ms, 30u);
    EXPECT_EQ(std::vector<BYTE>(steps.power_map, steps.power_map + LEVER_POWER_NOTCHES),
              (std::vector<BYTE>{1, 2, 3, 4, 4, 4}));
    EXPECT_EQ(keys_of(1).button[0], 0x39);
    // metro: held keys, its own and the base's; a step line not looked at.
    EXPECT_FALSE(keys_of(2).lever_steps);
    EXPECT_EQ(keys_of(2).lever[5], 0x10);
    EXPECT_EQ(keys_of(2).lever[6], 0x11);
    EXPECT_EQ(keys_of(2).button[0], 0x2A);
    // Tram_2 is the base again; the base itself is as without profiles.
    EXPECT_EQ(memcmp(&keys_of(3), &keys_of(PROFILE_BASE), sizeof(KeySet)), 0);
    EXPECT_EQ(g_keys->lever[5], 0x10);
    EXPECT_FALSE(g_keys->lever_steps);
    // Programs by their file names, in any case; none of them: the default.
    EXPECT_EQ(profile_of_program("C:\\Games\\RAILSIM2.EXE"), 1);
    EXPECT_EQ(profile_of_program("Z:/tmp/railsim.exe"), 1);
    EXPECT_EQ(profile_of_program("metrosim.exe"), 2);
    EXPECT_EQ(profile_of_program("C:\\RailSim.exe.bak"), 3);
    EXPECT_EQ(profile_of_program("C:\\MetroSim\\other.exe"), 3);
}

TEST_F(Profiles, WrongProfilesAreNamedInTheWarning)
{
    const std::vector<std::string> four = {"power_up=a", "power_down=z", "brake_up=.",
                                           "brake_down=,"};
    const struct {
        std::string section;
        std::vector<std::string> lines;
        const char *profile;
        std::vector<std::string> base_steps;
        std::string message;
    } cases[] = {
        {"profile express", {"lever=step", "power_up=foo"}, "", four,
         "express: power_up=foo is invalid step."},
        {"profile express", {"MCA55=foo"}, "", {}, "express: MCA55=foo is invalid key."},
        {"profile express", {"lever=walk"}, "", {}, "express: walk is invalid lever."},
        {"profile express", {"program="}, "", {}, "express: program= is invalid profile."},
        {"profile express", {"program=a.exe,,b.exe"}, "", {}, "express: program= is invalid profile."},
        {"profile express", {"program=" + std::string(256, 'x')}, "", {},
         "express: program= is invalid profile."},
        {"profile express", {"lever=step", "MCA55=q"}, "", four, "express: MCA55=q is invalid key."},
        {"profile express", {"lever=step", "power_up=a"}, "", {},
         "express: power_down= is invalid step."},
        {"profile express", {"lever=step", "brake_up=a"}, "", four,
         "express: power_up=a is invalid step."},
        // A line of the base's is named as the base's.
        {"profile express", {"lever=step"}, "", {"power_up=foo"}, "power_up=foo is invalid step."},
        {"profile express", {}, "xyz", {}, "profile=xyz is invalid profile."},
        {"profile bad!", {}, "", {}, "profile bad! is invalid profile."},
        {"profile " + std::string(32, 'n'), {}, "", {},
         "profile " + std::string(32, 'n') + " is invalid profile."},
    };
    for (const auto &c : cases) {
        config.profile_count = 0;
        strcpy(config.profile, c.profile);
        profile(c.section, c.lines);
        StderrCapture err;
        EXPECT_EQ(select_steps("hold", c.base_steps), 1) << c.message;
        EXPECT_EQ(first_line(err.text()), "Lever to keys!: " + c.message + "\n");
    }
    // Sixteen at most; a second section of a name is not read, as Windows
    // reads the first.
    config.profile[0] = '\0';
    for (const char *second : {"profile P0", "profile p16"}) {
        config.profile_count = 0;
        for (int i = 0; i < PROFILE_MAX; ++i)
            profile("profile p" + std::to_string(i), {"MCA55=q"});
        profile(second, {"MCA55=foo"});
        StderrCapture err;
        EXPECT_EQ(select_steps("hold", {}), second[9] == '1') << second;
        EXPECT_EQ(err.text(), second[9] == '1' ? "Lever to keys!: profile p16 is invalid profile.\n"
                                                 "At most 16 profiles.\n"
                                               : "") << second;
    }
}

// program= as users write it: with or without ".exe", a full path by its
// file name, in any letter case.
TEST_F(Profiles, ProgramsAreMatchedAsUsersWriteThem)
{
    profile("profile sims", {"program=MetroSim, C:\\sims\\RailSim.exe, Tram.EXE"});
    ASSERT_EQ(select_steps("hold", {}), 0);
    const struct {
        const char *front;
        int profile;
    } cases[] = {
        {"D:\\Games\\METROSIM.exe", 1}, {"Z:/tmp/railsim.exe", 1}, {"C:\\x\\tram.exe", 1},
        {"C:\\MetroSim.exe.bak", PROFILE_BASE}, {"C:\\MetroSim2.exe", PROFILE_BASE},
        {"C:\\sims\\.exe", PROFILE_BASE},
    };
    for (const auto &c : cases)
        EXPECT_EQ(profile_of_program(c.front), c.profile) << c.front;
}

// The line after a refusal says what the setting takes, with the limits the
// reader holds it to (the end-to-end table has the other kinds).
TEST_F(Profiles, EachRefusalSaysWhatTheSettingTakes)
{
    const std::vector<std::string> four = {"power_up=a", "power_down=z", "brake_up=.",
                                           "brake_down=,"};
    auto with = [&](std::string line) {
        std::vector<std::string> more = four;
        more.push_back(line);
        return more;
    };
    const struct {
        const char *lever;
        std::vector<std::string> steps;
        std::string section; // a profile's, or none
        std::string rule;
    } cases[] = {
        {"step", with("power=a"), "",
         "[step] takes power_up, power_down, brake_up, brake_down, press_ms, gap_ms, "
         "power_notches, brake_notches, power_map and brake_map."},
        {"step", with("brake_up=up"), "", "brake_up takes a key, as a [keys] line does."},
        {"step", with("gap_ms=1001"), "", "gap_ms takes 1 to 1000 (milliseconds)."},
        {"step", with("brake_notches=9"), "", "brake_notches takes 1 to 8."},
        {"step", with("brake_map=1,3,2"), "",
         "brake_map takes 8 notches of 1 to 99, commas between, none below the one before."},
        {"hold", {}, "profile a", "program= takes file names, commas between."},
    };
    for (const auto &c : cases) {
        config.profile_count = 0;
        if (!c.section.empty())
            profile(c.section, {"program= ,"});
        StderrCapture err;
        EXPECT_EQ(select_steps(c.lever, c.steps), 1) << c.rule;
        std::string text = err.text();
        EXPECT_EQ(text.substr(text.find('\n') + 1), c.rule + "\n");
    }
}

// At a switch every key held comes up, the new profile takes the lever (in
// steps from where its handle was left, as at start the first time), and a
// button held across it sends nothing when let go.
TEST_F(Profiles, ASwitchLetsGoOfEverythingAndStepsFromWhereTheHandleWasLeft)
{
    profile("profile express", {"lever=step", "power_up=a", "power_down=z", "brake_up=.",
                                "brake_down=,", "press_ms=1", "gap_ms=1"});
    profile("profile metro", {"MCA50=w"});
    ASSERT_EQ(select({}), 0);
    take_lever(6);           // the base: keypad 0
    send_button_key(0);      // Space
    profile_switch(1, 6);    // both up; in steps nothing at neutral
    send_button_key(1);      // nothing: let go already
    for (int kind; (kind = next_step(5)) >= 0;)
        send_step(kind);     // power 1
    profile_switch(2, 5);    // nothing held; 5 by the standard map
    send_lever_change(5, 6); // w
    send_button_key(0);
    profile_switch(1, 15);   // w and Space up; from power 1 to the emergency brake, aligned
    send_button_key(0);      // pressed anew: its release is sent
    send_button_key(1);
    std::vector<std::string> want = {"52", "39", "b9", "d2", "1e", "9e", "02", "11 82", "39",
                                     "91", "b9", "2c", "ac"};
    for (int i = 0; i < 9 + 9; ++i)
        want.insert(want.end(), {"34", "b4"});
    want.insert(want.end(), {"39", "b9"});
    EXPECT_EQ(packets(), want);
    EXPECT_EQ(release_held_keys(), 0);
}

// Every name, against its set-1 code written out here.
TEST(KeyNames, EveryNameIsItsKey)
{
    const struct {
        const char *name;
        LONG code;
    } expected[] = {
        {"esc", 0x01}, {"1", 0x02}, {"2", 0x03}, {"3", 0x04}, {"4", 0x05}, {"5", 0x06},
        {"6", 0x07}, {"7", 0x08}, {"8", 0x09}, {"9", 0x0A}, {"0", 0x0B}, {"-", 0x0C},
        {"=", 0x0D}, {"backspace", 0x0E}, {"tab", 0x0F}, {"q", 0x10}, {"w", 0x11},
        {"e", 0x12}, {"r", 0x13}, {"t", 0x14}, {"y", 0x15}, {"u", 0x16}, {"i", 0x17},
        {"o", 0x18}, {"p", 0x19}, {"[", 0x1A}, {"]", 0x1B}, {"enter", 0x1C},
        {"lctrl", 0x1D}, {"a", 0x1E}, {"s", 0x1F}, {"d", 0x20}, {"f", 0x21}, {"g", 0x22},
        {"h", 0x23}, {"j", 0x24}, {"k", 0x25}, {"l", 0x26}, {";", 0x27}, {"'", 0x28},
        {"`", 0x29}, {"lshift", 0x2A}, {"\\", 0x2B}, {"z", 0x2C}, {"x", 0x2D}, {"c", 0x2E},
        {"v", 0x2F}, {"b", 0x30}, {"n", 0x31}, {"m", 0x32}, {",", 0x33}, {".", 0x34},
        {"/", 0x35}, {"rshift", 0x36}, {"kp*", 0x37}, {"lalt", 0x38}, {"space", 0x39},
        {"capslock", 0x3A}, {"f1", 0x3B}, {"f2", 0x3C}, {"f3", 0x3D}, {"f4", 0x3E},
        {"f5", 0x3F}, {"f6", 0x40}, {"f7", 0x41}, {"f8", 0x42}, {"f9", 0x43}, {"f10", 0x44},
        {"scrolllock", 0x46}, {"kp7", 0x47}, {"kp8", 0x48}, {"kp9", 0x49}, {"kp-", 0x4A},
        {"kp4", 0x4B}, {"kp5", 0x4C}, {"kp6", 0x4D}, {"kp+", 0x4E}, {"kp1", 0x4F},
        {"kp2", 0x50}, {"kp3", 0x51}, {"kp0", 0x52}, {"kp.", 0x53}, {"f11", 0x57},
        {"f12", 0x58}, {"kpenter", 0xE01C}, {"rctrl", 0xE01D}, {"kp/", 0xE035},
        {"ralt", 0xE038}, {"home", 0xE047}, {"up", 0xE048}, {"pageup", 0xE049},
        {"left", 0xE04B}, {"right", 0xE04D}, {"end", 0xE04F}, {"down", 0xE050},
        {"pagedown", 0xE051}, {"insert", 0xE052}, {"delete", 0xE053}, {"lwin", 0xE05B},
        {"rwin", 0xE05C}, {"menu", 0xE05D},
    };
    const int count = sizeof expected / sizeof expected[0];
    EXPECT_EQ(key_name_count, count) << "a name without its line here";
    for (const auto &key : expected) {
        EXPECT_EQ(key_code_of(key.name), key.code) << key.name;
        std::string upper = key.name;
        for (char &c : upper)
            c = static_cast<char>(toupper(c));
        EXPECT_EQ(key_code_of(upper.c_str()), key.code) << upper;
        EXPECT_STREQ(key_name_of(static_cast<WORD>(key.code | 0x80)), key.name);
    }
    // Punctuation is compared as written, not passed over.
    EXPECT_EQ(key_code_of("kp"), -1);
    EXPECT_EQ(key_code_of("kp-+"), -1);
    EXPECT_EQ(key_code_of(""), -1);
    EXPECT_EQ(key_name_of(0x5A), nullptr);
}

TEST(KeyNames, HexCodesAreMakeCodes)
{
    EXPECT_EQ(key_code_of("0x1"), 0x01);
    EXPECT_EQ(key_code_of("0x10"), 0x10);
    EXPECT_EQ(key_code_of("0X7e"), 0x7E);
    EXPECT_EQ(key_code_of("0x64"), 0x64);
    // Codes no PC keyboard sends, then what is no make code.
    for (const char *wrong : {"0x55", "0x5A", "0x5d", "0x63", "0x74", "0x7F", "0x", "0x0", "0x00",
                              "0x80", "0xff", "0x010", "0xe048", "x10", "10", "0x-1", "0x 1",
                              " 0x1"})
        EXPECT_EQ(key_code_of(wrong), -1) << wrong;
}

// What the virtual keyboard makes of the codes: plain ones are the Linux key
// codes, extended ones are looked up.
TEST(VirtualKeyboardCodes, PlainCodesStayExtendedOnesAreTheirKeys)
{
    EXPECT_EQ(compat_uinput_key_of(0x02), KEY_1);
    EXPECT_EQ(compat_uinput_key_of(0x52), KEY_KP0);
    EXPECT_EQ(compat_uinput_key_of(0x58), KEY_F12);
    const struct {
        int scancode;
        int key;
    } extended[] = {
        {0x1C, KEY_KPENTER}, {0x1D, KEY_RIGHTCTRL}, {0x35, KEY_KPSLASH}, {0x38, KEY_RIGHTALT},
        {0x47, KEY_HOME}, {0x48, KEY_UP}, {0x49, KEY_PAGEUP}, {0x4B, KEY_LEFT},
        {0x4D, KEY_RIGHT}, {0x4F, KEY_END}, {0x50, KEY_DOWN}, {0x51, KEY_PAGEDOWN},
        {0x52, KEY_INSERT}, {0x53, KEY_DELETE}, {0x5B, KEY_LEFTMETA}, {0x5C, KEY_RIGHTMETA},
        {0x5D, KEY_COMPOSE},
    };
    for (const auto &key : extended)
        EXPECT_EQ(compat_uinput_key_of(COMPAT_EXTENDED | key.scancode), key.key) << key.scancode;
    // Every name's code has its key.
    for (int i = 0; i < key_name_count; ++i)
        EXPECT_NE(compat_uinput_key_of(key_names[i].code), 0) << key_names[i].name;
    EXPECT_EQ(compat_uinput_key_of(COMPAT_EXTENDED | 0x02), 0);
    EXPECT_EQ(compat_uinput_key_of(0), 0);
    EXPECT_EQ(compat_uinput_key_of(0x80), 0);
}

// Every plain code the key map takes types the key a PC keyboard means by it,
// and never one the kernel or the desktop takes as a command (SysRq, with
// Alt held, reboots), plain or extended; the key map takes no code that has
// no key.
TEST(VirtualKeyboardCodes, TheWholePlainRangeAsAPcKeyboardMeansIt)
{
    const struct {
        int scancode;
        int key;
    } upper[] = {
        {0x56, KEY_102ND}, {0x57, KEY_F11}, {0x58, KEY_F12},
        {0x59, KEY_KPEQUAL}, {0x5C, KEY_KPJPCOMMA}, {0x64, KEY_F13}, {0x6E, KEY_F23},
        {0x70, KEY_KATAKANAHIRAGANA}, {0x73, KEY_RO}, {0x76, KEY_F24}, {0x79, KEY_HENKAN},
        {0x7B, KEY_MUHENKAN}, {0x7D, KEY_YEN}, {0x7E, KEY_KPCOMMA},
    };
    for (const auto &key : upper)
        EXPECT_EQ(compat_uinput_key_of(key.scancode), key.key) << std::hex << key.scancode;
    for (int code = 0x01; code <= 0x7F; ++code) {
        char text[8];
        snprintf(text, sizeof text, "0x%02X", code);
        int key = compat_uinput_key_of(code);
        EXPECT_EQ(key_code_of(text) >= 0, key != 0) << text << " is taken, or has a key";
        EXPECT_TRUE(code > 0x53 || key == code) << text;
        int extended = compat_uinput_key_of(COMPAT_EXTENDED | code);
        for (int system : {KEY_SYSRQ, KEY_POWER, KEY_SLEEP, KEY_WAKEUP, KEY_SUSPEND}) {
            EXPECT_NE(key, system) << text;
            EXPECT_NE(extended, system) << "e0 " << text;
        }
    }
}

} // namespace
