// A program started by a test as a user would start it: arguments, extra environment, its
// standard output and standard error collected together, signals, and its exit status.
#pragma once

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mutex>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

class RunningProgram
{
public:
    // environment entries "NAME=value" replace or add to the test's own environment.
    RunningProgram(const std::vector<std::string> &arguments, const std::vector<std::string> &environment = {})
    {
        int pipeFds[2];
        if (pipe2(pipeFds, O_CLOEXEC) != 0)
            return;
        std::vector<std::string> env = environment;
        for (char **entry = environ; *entry; ++entry)
        {
            const std::string text = *entry;
            const std::string name = text.substr(0, text.find('='));
            bool replaced = false;
            for (const std::string &own : environment)
                replaced = replaced || own.compare(0, name.size() + 1, name + "=") == 0;
            if (!replaced)
                env.push_back(text);
        }
        std::vector<char *> argv;
        for (const std::string &argument : arguments)
            argv.push_back(const_cast<char *>(argument.c_str()));
        argv.push_back(nullptr);
        std::vector<char *> envp;
        for (const std::string &entry : env)
            envp.push_back(const_cast<char *>(entry.c_str()));
        envp.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
        if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(pipeFds[1]);
        m_reader = std::thread([this, fd = pipeFds[0]] { Collect(fd); });
    }

    ~RunningProgram()
    {
        if (m_pid > 0 && !m_reaped)
        {
            kill(m_pid, SIGKILL);
            Wait();
        }
        if (m_reader.joinable())
            m_reader.join();
    }

    bool Started() const { return m_pid > 0; }
    int Pid() const { return m_pid; }
    void Signal(int signal) { kill(m_pid, signal); }

    // Waits for text to appear in the collected output.
    bool WaitForOutput(const std::string &text, std::chrono::milliseconds limit = std::chrono::seconds(30))
    {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_changed.wait_for(lock, limit, [&] { return m_output.find(text) != std::string::npos || m_ended; }) &&
               m_output.find(text) != std::string::npos;
    }

    // The exit status, or 128 + signal when a signal ended it.
    int Wait()
    {
        if (m_pid <= 0)
            return -1;
        if (!m_reaped)
        {
            int status = 0;
            while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR)
            {
            }
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            m_reaped = true;
        }
        if (m_reader.joinable())
            m_reader.join();
        return m_status;
    }

    std::string Output()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_output;
    }

private:
    void Collect(int fd)
    {
        char buffer[4096];
        for (;;)
        {
            const ssize_t got = read(fd, buffer, sizeof(buffer));
            if (got < 0 && errno == EINTR)
                continue;
            std::lock_guard<std::mutex> lock(m_lock);
            if (got <= 0)
            {
                m_ended = true;
                m_changed.notify_all();
                break;
            }
            m_output.append(buffer, static_cast<size_t>(got));
            m_changed.notify_all();
        }
        close(fd);
    }

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
inline std::string RunToolForOutput(const std::vector<std::string> &arguments)
{
    RunningProgram tool(arguments);
    const int status = tool.Wait();
    EXPECT_EQ(status, 0) << arguments[0] << ": " << tool.Output();
    return tool.Output();
}
