// The real notchkey binary end to end: settings file, log file, driver,
// worker and shutdown, against mascon-sim on a pseudo-terminal and the
// capture driver.
#include "program.h"

namespace {


TEST_F(Program, RideEndedBySigtermReleasesHeldKeys)
{
    ride();
    EXPECT_EQ(stop(), 0);
    EXPECT_EQ(read_file(log), BOTH_LINES);
    EXPECT_EQ(read_lines(capture),
              (std::vector<std::string>{"52 87", "02 d2", "39", "82", "b9"}));
    EXPECT_EQ(read_file(errors), "");
}

TEST_F(Program, RideThroughSendInput)
{
    ride({}, "sendinput");
    EXPECT_EQ(stop(), 0);
    EXPECT_EQ(read_file(log), BOTH_LINES);
    EXPECT_EQ(read_lines(capture),
              (std::vector<std::string>{"52 87", "02 d2", "39", "82", "b9"}));
}

TEST_F(Program, UnknownInjectorOpensNothing)
{
    settings("COM2", "notchkey.log", "keyboard");
    open_sim();
    start();
    EXPECT_EQ(wait_exit(), 255);
    EXPECT_EQ(read_file(errors), "Lever to keys!: keyboard is invalid injector.\n");
    struct stat st;
    EXPECT_NE(stat(log.c_str(), &st), 0) << "the log was created";
    Sleep(50);
    EXPECT_EQ(host_wrote(), "") << "the port was touched";
    EXPECT_EQ(read_file(capture), "");
}

TEST_F(Program, CommandLineArgumentsChangeNothing)
{
    ride({"COM9", "--log", "/nonexistent/x", "-h"});
    EXPECT_EQ(stop(), 0);
    EXPECT_EQ(read_file(log), BOTH_LINES);
    EXPECT_EQ(read_lines(capture),
              (std::vector<std::string>{"52 87", "02 d2", "39", "82", "b9"}));
}

TEST_F(Program, LogInAMissingFolderStopsBeforeTheDriver)
{
    // A driver without a reader would complain if it were opened at all.
    unlink(capture.c_str());
    ASSERT_EQ(mkfifo(capture.c_str(), 0600), 0);
    settings("COM2", "no/such/folder/notchkey.log");
    open_sim();
    struct termios before;
    int slave = open(sim_slave_path(sim), O_RDWR | O_NOCTTY);
    tcgetattr(slave, &before);
    start();
    EXPECT_EQ(wait_exit(), 255);
    EXPECT_EQ(read_file(errors), "Lever to keys!: can't open log file.\n");
    struct termios after;
    tcgetattr(slave, &after);
    close(slave);
    EXPECT_TRUE(same_termios(before, after));
    EXPECT_EQ(host_wrote(), "");
}

TEST_F(Program, NoDriverStopsAfterTheLogsFirstLine)
{
    unlink(capture.c_str());
    settings("COM2", "notchkey.log");
    open_sim();
    start();
    EXPECT_EQ(wait_exit(), 255);
    EXPECT_EQ(read_file(errors), "Lever to keys!: can't open keytap.vxd.\n");
    EXPECT_EQ(read_file(log), "logging started.\r\n");
    Sleep(50);
    EXPECT_EQ(host_wrote(), "") << "the port was touched";
}

TEST_F(Program, WithoutSettingsItUsesCom2AndKeepsNoLog)
{
    open_sim();
    start();
    ASSERT_TRUE(sim_wait_reset(sim, 5000));
    ASSERT_EQ(wait_packets(capture, 1).size(), 1u);
    EXPECT_EQ(stop(), 0);
    EXPECT_EQ(read_lines(capture), (std::vector<std::string>{"52 87", "d2"}));
    struct stat st;
    EXPECT_NE(stat(log.c_str(), &st), 0);
}

struct WorkerFailure : Program {
    // Every failure of the worker ends the program in order once its message
    // has been shown.
    void expect_ended_with(const std::string &text)
    {
        EXPECT_EQ(wait_exit(), 0);
        EXPECT_EQ(read_file(errors), "Lever to keys!: " + text + "\n");
        EXPECT_EQ(read_file(log), BOTH_LINES);
    }
};

TEST_F(WorkerFailure, InvalidPort)
{
    settings("COM9", "notchkey.log");
    start();
    expect_ended_with("COM9 is invalid COM port.");
    EXPECT_EQ(read_file(capture), "");
}

TEST_F(WorkerFailure, SilentMascon)
{
    settings("COM2", "notchkey.log");
    SimOptions options;
    options.answer = SIM_ANSWER_SILENT;
    open_sim(options);
    start();
    expect_ended_with("There is no mascon on COM2.");
    EXPECT_EQ(read_file(capture), "");
}

TEST_F(WorkerFailure, InvalidMessageLeavesNoKeyDown)
{
    ride();
    ASSERT_TRUE(sim_send_message(sim, "MCA5\n"));
    expect_ended_with("Invalid message from mascon");
    EXPECT_EQ(read_lines(capture),
              (std::vector<std::string>{"52 87", "02 d2", "39", "82", "b9"}));
}

TEST_F(WorkerFailure, LineHangsUp)
{
    ride();
    sim_hangup(sim);
    expect_ended_with("There is no mascon on COM2.");
    EXPECT_EQ(read_lines(capture),
              (std::vector<std::string>{"52 87", "02 d2", "39", "82", "b9"}));
}

} // namespace
