// The real notchkey binary run as a user would: its own folder with a
// settings file, mascon-sim on COM2, the capture driver, standard error
// kept in a file.
#pragma once

#include "mascon_sim.h"
#include "support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>


struct Program : testing::Test {
    TempDir home;      // the program's current directory
    DeviceDir devices; // COM2 and the driver
    std::string capture = devices.make_capture();
    std::string log = home.file("notchkey.log");
    std::string errors = home.file("stderr.txt");
    MasconSim *sim = nullptr;
    pid_t pid = -1;
    struct rusage usage = {}; // the program's, once it has ended

    void TearDown() override
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (sim)
            sim_close(sim);
    }

    void settings(const std::string &port, const std::string &logfile,
                  const std::string &injector = "")
    {
        write_file(home.file("notchkey.ini"),
                   "[config]\r\nport=" + port + "\r\n" +
                       (injector.empty() ? "" : "injector=" + injector + "\r\n") +
                       "[debug]\r\nlogfile=" + logfile + "\r\n");
    }

    void open_sim(const SimOptions &options = SimOptions())
    {
        sim = sim_open(devices.dir.path.c_str(), 2, &options);
        ASSERT_NE(sim, nullptr);
    }

    void start(std::vector<std::string> args = {})
    {
        pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (chdir(home.path.c_str()) != 0)
                _exit(120);
            int fd = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 2);
            std::vector<char *> argv = {const_cast<char *>(NOTCHKEY_BINARY)};
            for (std::string &arg : args)
                argv.push_back(&arg[0]);
            argv.push_back(nullptr);
            execv(NOTCHKEY_BINARY, argv.data());
            _exit(121);
        }
    }

    // The exit code, or -1 when the program has not ended in time.
    int wait_exit(int timeout_ms = 10000)
    {
        int status = 0;
        bool ended = wait_for(
            [&] { return wait4(pid, &status, WNOHANG, &usage) == pid; }, timeout_ms);
        if (!ended)
            return -1;
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    }

    int stop()
    {
        kill(pid, SIGTERM);
        return wait_exit();
    }

    std::string host_wrote() const
    {
        char buffer[256];
        size_t n = sim_received(sim, buffer, sizeof buffer);
        return std::string(buffer, n < sizeof buffer ? n : sizeof buffer);
    }

    // Started, synchronised, and two keys held: 1 by the lever, Space by K.
    void ride(std::vector<std::string> args = {}, const std::string &injector = "")
    {
        settings("COM2", "notchkey.log", injector);
        open_sim();
        start(args);
        ASSERT_TRUE(sim_wait_reset(sim, 5000));
        for (const char *message : {"MCA55", "MCK99", "MCG50"})
            ASSERT_TRUE(sim_send_message(sim, message));
        ASSERT_EQ(wait_packets(capture, 3).size(), 3u);
    }
};

const std::string BOTH_LINES = "logging started.\r\nlogging ended.\r\n";
