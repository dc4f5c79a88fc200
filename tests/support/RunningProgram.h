// A program started by a test as a user would start it: arguments, extra environment, its
// standard output and standard error collected together, signals, and its exit status.
//
// The program never outlives the test process: it is killed when the test process dies, crashes
// included (the kernel sends it SIGKILL when the thread that started it ends), and its whole
// process group is killed when the object goes while it still runs.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

class RunningProgram
{
public:
    // environment entries "NAME=value" replace or add to the test's own environment. The program
    // path is used as it is (no search of PATH).
    RunningProgram(const std::vector<std::string> &arguments, const std::vector<std::string> &environment = {});
    ~RunningProgram();
    RunningProgram(const RunningProgram &) = delete;
    RunningProgram &operator=(const RunningProgram &) = delete;

    bool Started() const { return m_pid > 0; }
    pid_t Pid() const { return m_pid; }
    // To the program alone, not to its process group.
    void Signal(int signal);

    // Waits for text to appear in the collected output.
    bool WaitForOutput(const std::string &text, std::chrono::milliseconds limit = std::chrono::seconds(30));

    // The exit status, or 128 + signal when a signal ended it.
    int Wait();

    std::string Output();

private:
    void Collect(int fd);

    pid_t m_pid = -1;
    bool m_reaped = false;
    int m_status = -1;
    std::thread m_reader;
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::string m_output;
    bool m_ended = false;
};

// Runs one of the project's tools to its end, expects it to succeed and returns what it printed.
std::string RunToolForOutput(const std::vector<std::string> &arguments);
