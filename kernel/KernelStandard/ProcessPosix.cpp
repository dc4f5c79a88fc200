// Child processes on Linux: posix_spawn, waitpid and two poll'ed pipes.
#include "kernel/ProcessUtil.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "kernel/TextConvert.h"

extern char **environ;

namespace
{
bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

// Sleeps in short steps up to the deadline; used when pidfd is not available.
void SleepMilliseconds(long milliseconds)
{
    timespec pause{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR)
    {
    }
}

int64_t NowMilliseconds()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void CloseFd(int &fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

// Waits until the process may be reaped or the time is up. The child stays a zombie until we
// collect it, so its pid cannot be reused meanwhile.
void WaitReadable(int processId, uint32_t milliseconds)
{
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, processId, 0));
    if (pidfd >= 0)
    {
        pollfd entry{pidfd, POLLIN, 0};
        const int64_t deadline = NowMilliseconds() + milliseconds;
        for (;;)
        {
            const int64_t left = deadline - NowMilliseconds();
            const int result = poll(&entry, 1, left > 0 ? static_cast<int>(left) : 0);
            if (result >= 0 || errno != EINTR)
                break;
        }
        close(pidfd);
        return;
    }
    const int64_t deadline = NowMilliseconds() + milliseconds;
    long step = 1;
    for (;;)
    {
        siginfo_t info;
        info.si_pid = 0;
        if (waitid(P_PID, static_cast<id_t>(processId), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != 0)
            return;
        const int64_t left = deadline - NowMilliseconds();
        if (left <= 0)
            return;
        SleepMilliseconds(std::min<long>(step, static_cast<long>(left)));
        step = std::min<long>(step * 2, 20);
    }
}
} // namespace

std::vector<std::string> SplitCommandLine(const std::string &commandLine)
{
    std::vector<std::string> arguments;
    size_t i = 0;
    const size_t size = commandLine.size();
    while (i < size && IsBlank(commandLine[i]))
        ++i;
    if (i == size)
        return arguments;

    // The program name: quotes group, backslashes are part of the path.
    std::string program;
    bool quoted = false;
    for (; i < size; ++i)
    {
        const char c = commandLine[i];
        if (c == '"')
            quoted = !quoted;
        else if (!quoted && IsBlank(c))
            break;
        else
            program += c;
    }
    arguments.push_back(program);

    for (;;)
    {
        while (i < size && IsBlank(commandLine[i]))
            ++i;
        if (i == size)
            break;
        std::string argument;
        quoted = false;
        while (i < size)
        {
            const char c = commandLine[i];
            if (c == '\\')
            {
                size_t count = 0;
                while (i < size && commandLine[i] == '\\')
                {
                    ++count;
                    ++i;
                }
                if (i < size && commandLine[i] == '"')
                {
                    argument.append(count / 2, '\\');
                    if (count % 2 == 1)
                    {
                        argument += '"';
                        ++i;
                    }
                    // An even count leaves the quote to open or close a quoted part.
                }
                else
                {
                    argument.append(count, '\\');
                }
                continue;
            }
            if (c == '"')
            {
                if (quoted && i + 1 < size && commandLine[i + 1] == '"')
                {
                    argument += '"';
                    i += 2;
                    continue;
                }
                quoted = !quoted;
                ++i;
                continue;
            }
            if (!quoted && IsBlank(c))
                break;
            argument += c;
            ++i;
        }
        arguments.push_back(argument);
    }
    return arguments;
}

// ZelkProcess -------------------------------------------------------------------------------------

ZelkProcess::ZelkProcess(int processId) : m_processId(processId)
{
}

ZelkProcess::~ZelkProcess()
{
    Poll();
}

std::unique_ptr<ZelkProcess> ZelkProcess::Start(const std::string &commandLine)
{
    return Spawn(SplitCommandLine(commandLine), -1, -1);
}

std::unique_ptr<ZelkProcess> ZelkProcess::Spawn(const std::vector<std::string> &arguments, int outputFd, int errorFd)
{
    if (arguments.empty() || arguments[0].empty())
        return nullptr;
    std::vector<char *> argv;
    for (const std::string &argument : arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (outputFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, outputFd, STDOUT_FILENO);
    if (errorFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, errorFd, STDERR_FILENO);
    // Only the standard descriptors go to the child: a pipe end of another captured child that
    // leaked into this one would keep that pipe open and its reader waiting.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);

    // The child starts with a clean signal state whatever this process blocks or ignores.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes, &signals);
    sigfillset(&signals);
    sigdelset(&signals, SIGKILL);
    sigdelset(&signals, SIGSTOP);
    posix_spawnattr_setsigdefault(&attributes, &signals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    // glibc's posix_spawn reports a failed exec as its own result, so a missing or unrunnable
    // program never shows up as a child that exits with 127.
    pid_t processId = 0;
    const int result = posix_spawnp(&processId, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (result != 0)
        return nullptr;
    return std::unique_ptr<ZelkProcess>(new ZelkProcess(processId));
}

bool ZelkProcess::Poll() const
{
    if (m_ended)
        return true;
    int status = 0;
    pid_t result;
    do
        result = waitpid(m_processId, &status, WNOHANG);
    while (result < 0 && errno == EINTR);
    if (result == 0)
        return false;
    m_ended = true;
    // Someone else reaped the child (ECHILD): it ended, but its status is lost, which is a failure.
    m_status = result == m_processId ? status : -1;
    return true;
}

bool ZelkProcess::Wait(uint32_t milliseconds)
{
    if (m_ended)
        return true;
    if (milliseconds == kWaitForever)
    {
        int status = 0;
        pid_t result;
        do
            result = waitpid(m_processId, &status, 0);
        while (result < 0 && errno == EINTR);
        m_ended = true;
        m_status = result == m_processId ? status : -1;
        return true;
    }
    if (Poll())
        return true;
    WaitReadable(m_processId, milliseconds);
    return Poll();
}

uint32_t ZelkProcess::ExitCode() const
{
    if (!Poll())
        return kStillActive;
    if (m_status == -1 || !WIFEXITED(m_status))
        return kExitCodeFailed;
    return static_cast<uint32_t>(WEXITSTATUS(m_status));
}

bool ZelkProcess::EndedBySignal() const
{
    return Poll() && m_status != -1 && WIFSIGNALED(m_status);
}

int ZelkProcess::ProcessId() const
{
    return m_processId;
}

// CapturedProcess ---------------------------------------------------------------------------------

CapturedProcess::CapturedProcess(std::unique_ptr<ZelkProcess> process, int outputFd, int errorFd)
    : m_process(std::move(process))
{
    m_output.fd = outputFd;
    m_errors.fd = errorFd;
}

CapturedProcess::~CapturedProcess()
{
    Close();
}

std::unique_ptr<CapturedProcess> CapturedProcess::StartCapturedProcess(const std::wstring &program,
                                                                       const std::string &arguments)
{
    const std::string commandLine = "\"" + PathToNative(program) + "\" " + arguments;
    // Our ends are close-on-exec, so no child (this one or another started meanwhile) inherits
    // them; the child's ends are duplicated onto its descriptors 1 and 2 by the spawn.
    int output[2];
    int errors[2];
    if (pipe2(output, O_CLOEXEC) != 0)
        return nullptr;
    if (pipe2(errors, O_CLOEXEC) != 0)
    {
        close(output[0]);
        close(output[1]);
        return nullptr;
    }
    std::unique_ptr<ZelkProcess> process = ZelkProcess::Spawn(SplitCommandLine(commandLine), output[1], errors[1]);
    // Our copies of the write ends go, so that reads see the end once the child's are closed.
    close(output[1]);
    close(errors[1]);
    if (!process)
    {
        close(output[0]);
        close(errors[0]);
        return nullptr;
    }
    return std::unique_ptr<CapturedProcess>(new CapturedProcess(std::move(process), output[0], errors[0]));
}

bool CapturedProcess::ReadOutput(std::string &text)
{
    return Read(m_output, m_errors, text);
}

bool CapturedProcess::ReadErrors(std::string &text)
{
    return Read(m_errors, m_output, text);
}

bool CapturedProcess::Read(Stream &own, Stream &other, std::string &text)
{
    char buffer[kCapturedPieceSize];
    size_t got = 0;
    if (!own.pending.empty())
    {
        got = std::min(own.pending.size(), sizeof buffer);
        memcpy(buffer, own.pending.data(), got);
        own.pending.erase(0, got);
    }
    else
    {
        if (own.fd < 0)
            return false;
        for (;;)
        {
            pollfd entries[2] = {{own.fd, POLLIN, 0}, {other.fd, POLLIN, 0}};
            const nfds_t count = other.fd >= 0 ? 2 : 1;
            if (poll(entries, count, -1) < 0)
            {
                if (errno == EINTR)
                    continue;
                return false;
            }
            if (entries[0].revents != 0)
            {
                const ssize_t result = read(own.fd, buffer, sizeof buffer);
                if (result < 0 && errno == EINTR)
                    continue;
                if (result <= 0)
                {
                    CloseFd(own.fd);
                    return false;
                }
                got = static_cast<size_t>(result);
                break;
            }
            if (count == 2 && entries[1].revents != 0)
            {
                // Keep the other stream flowing so the child never blocks on it.
                const ssize_t result = read(other.fd, buffer, sizeof buffer);
                if (result < 0 && errno == EINTR)
                    continue;
                if (result <= 0)
                    CloseFd(other.fd);
                else
                    other.pending.append(buffer, static_cast<size_t>(result));
                return true;
            }
        }
    }
    text.append(buffer, strnlen(buffer, got));
    return true;
}

bool CapturedProcess::Wait(uint32_t milliseconds)
{
    return m_process && m_process->Wait(milliseconds);
}

uint32_t CapturedProcess::ExitCode() const
{
    return m_process ? m_process->ExitCode() : kExitCodeFailed;
}

bool CapturedProcess::EndedBySignal() const
{
    return m_process && m_process->EndedBySignal();
}

int CapturedProcess::ProcessId() const
{
    return m_process->ProcessId();
}

void CapturedProcess::Close()
{
    CloseFd(m_output.fd);
    CloseFd(m_errors.fd);
    m_output.pending.clear();
    m_errors.pending.clear();
}
