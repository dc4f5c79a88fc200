// Runs a piece of the test in a child process, as a crash or an exit needs: in a directory of its
// own, with extra environment, its standard output and error collected together in order.
#pragma once

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

struct ChildOutcome
{
    int status = -1;
    int pid = -1;
    std::string output;

    bool KilledBy(int signal) const { return WIFSIGNALED(status) && WTERMSIG(status) == signal; }
    bool ExitedWith(int code) const { return WIFEXITED(status) && WEXITSTATUS(status) == code; }
    std::string Describe() const
    {
        const std::string how = WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status))
                                                    : "exit " + std::to_string(WEXITSTATUS(status));
        return how + ", output:\n" + output;
    }
};

// body runs in the child, which ends with status 0 when body returns.
inline ChildOutcome RunInChild(const std::string &directory, const std::function<void()> &body,
                               const std::vector<std::pair<std::string, std::string>> &environment = {})
{
    ChildOutcome outcome;
    int output[2];
    if (pipe(output) != 0)
        return outcome;
    fflush(stdout);
    fflush(stderr);
    const pid_t child = fork();
    if (child == 0)
    {
        dup2(output[1], STDOUT_FILENO);
        dup2(output[1], STDERR_FILENO);
        close(output[0]);
        close(output[1]);
        for (const auto &[name, value] : environment)
            setenv(name.c_str(), value.c_str(), 1);
        if (chdir(directory.c_str()) != 0)
            _exit(120);
        body();
        fflush(stdout);
        _exit(0);
    }
    close(output[1]);
    outcome.pid = child;
    char buffer[4096];
    ssize_t got;
    while ((got = read(output[0], buffer, sizeof buffer)) != 0)
    {
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            break;
        outcome.output.append(buffer, static_cast<size_t>(got));
    }
    close(output[0]);
    while (waitpid(child, &outcome.status, 0) < 0 && errno == EINTR)
    {
    }
    return outcome;
}

// The number of the line of a test source that holds the marker text outside a string literal
// (lines with a double quote are passed over); 0 when none does.
inline int SourceLineOf(const std::string &sourceFile, const std::string &marker)
{
    std::ifstream source(std::string(ZELK_SOURCE_DIR) + "/" + sourceFile);
    std::string line;
    for (int number = 1; std::getline(source, line); ++number)
    {
        if (line.find(marker) != std::string::npos && line.find('"') == std::string::npos)
            return number;
    }
    return 0;
}
