#include "RunningProgram.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace
{
// The test's environment with the given entries put in place of those of the same name.
std::vector<std::string> MergedEnvironment(const std::vector<std::string> &own)
{
    std::vector<std::string> merged = own;
    for (char **entry = environ; *entry; ++entry)
    {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('=') + 1);
        bool replaced = false;
        for (const std::string &given : own)
            replaced = replaced || given.compare(0, name.size(), name) == 0;
        if (!replaced)
            merged.push_back(text);
    }
    return merged;
}

std::vector<char *> PointersTo(const std::vector<std::string> &texts)
{
    std::vector<char *> pointers;
    for (const std::string &text : texts)
        pointers.push_back(const_cast<char *>(text.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}
} // namespace

RunningProgram::RunningProgram(const std::vector<std::string> &arguments, const std::vector<std::string> &environment)
{
    if (arguments.empty())
        return;
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return;
    // Everything the child needs is made before the fork: after it, in a process with threads,
    // only async-signal-safe calls are allowed.
    const std::vector<std::string> env = MergedEnvironment(environment);
    const std::vector<char *> argv = PointersTo(arguments);
    const std::vector<char *> envp = PointersTo(env);
    const pid_t parent = getpid();

    m_pid = fork();
    if (m_pid == 0)
    {
        // Its own process group, so that whatever it starts goes with it.
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        // The test may have died between the fork and the line above.
        if (getppid() != parent)
            _exit(127);
        dup2(pipeFds[1], STDOUT_FILENO);
        dup2(pipeFds[1], STDERR_FILENO);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(pipeFds[1]);
    if (m_pid < 0)
    {
        close(pipeFds[0]);
        return;
    }
    m_reader = std::thread([this, fd = pipeFds[0]] { Collect(fd); });
}

RunningProgram::~RunningProgram()
{
    if (m_pid > 0 && !m_reaped)
    {
        kill(-m_pid, SIGKILL);
        kill(m_pid, SIGKILL);
        Wait();
    }
    if (m_reader.joinable())
        m_reader.join();
}

void RunningProgram::Signal(int signal)
{
    if (m_pid > 0 && !m_reaped)
        kill(m_pid, signal);
}

bool RunningProgram::WaitForOutput(const std::string &text, std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, limit, [&] { return m_output.find(text) != std::string::npos || m_ended; }) &&
           m_output.find(text) != std::string::npos;
}

int RunningProgram::Wait()
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

std::string RunningProgram::Output()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_output;
}

void RunningProgram::Collect(int fd)
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

std::string RunToolForOutput(const std::vector<std::string> &arguments)
{
    RunningProgram tool(arguments);
    const int status = tool.Wait();
    EXPECT_EQ(status, 0) << arguments[0] << ": " << tool.Output();
    return tool.Output();
}
