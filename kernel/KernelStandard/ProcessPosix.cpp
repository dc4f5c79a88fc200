// Child processes on Linux: posix_spawn, waitpid and two poll'ed pipes.
#include "kernel/ProcessUtil.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "kernel/FileUtil.h"
#include "kernel/TextConvert.h"
#include "kernel/ZelkSystemLog.h"

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
// Identity of programs from an installation ---------------------------------------------------------

constexpr char kUnprivilegedUser[] = "nobody";
constexpr uid_t kUnprivilegedFallbackId = 65534;
// What a program run as another account finds in its environment: nothing of root's but the
// language of its texts.
constexpr char kCleanSearchPath[] = "PATH=/usr/local/bin:/usr/bin:/bin";
constexpr const char *kKeptVariables[] = {"LANG", "LC_ALL", "LC_MESSAGES"};
// Descriptors handed to such a program are numbered from here in the child.
constexpr int kFirstHandedDescriptor = STDERR_FILENO + 1;
// In the parent they are moved above this first, so that putting them in place in the child can
// overwrite none of the others.
constexpr int kHandedDescriptorStaging = 100;

std::string RealPath(const std::string &path)
{
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

bool IsBelow(const std::string &path, const std::string &directory)
{
    if (directory == "/")
        return path.size() > 1 && path[0] == '/';
    return path.size() > directory.size() + 1 && path.compare(0, directory.size(), directory) == 0 &&
           path[directory.size()] == '/';
}

// "/", "/a", "/a/b", ... up to the path itself (absolute, without links).
std::vector<std::string> PathChain(const std::string &path)
{
    std::vector<std::string> chain = {"/"};
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        chain.push_back(path.substr(0, slash));
    if (path.size() > 1)
        chain.push_back(path);
    return chain;
}

// True when no account but root can change the entry, or replace what it names. Members of group
// 0 are root's; in a sticky directory the others may add entries but not touch root's.
bool OnlyRootMayChange(const struct stat &info)
{
    if (info.st_uid != 0 || S_ISLNK(info.st_mode))
        return false;
    const bool groupWrites = (info.st_mode & S_IWGRP) != 0 && info.st_gid != 0;
    const bool othersWrite = (info.st_mode & S_IWOTH) != 0;
    if (!groupWrites && !othersWrite)
        return true;
    return S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX) != 0;
}

// The account, its primary group, its supplementary groups and its home, from the user database;
// an id without an entry keeps the group found on disk and no others.
void FillAccount(ProgramIdentity &identity, uid_t uid, gid_t gidOnDisk)
{
    identity.uid = uid;
    identity.gid = gidOnDisk;
    identity.home = "/";
    identity.userName.clear();
    identity.groups.clear();
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd entry{};
    passwd *found = nullptr;
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return;
    identity.gid = found->pw_gid;
    identity.userName = found->pw_name;
    if (found->pw_dir && *found->pw_dir)
        identity.home = found->pw_dir;
    int count = 32;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    if (getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0)
    {
        groups.resize(static_cast<size_t>(count));
        if (getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0)
            count = 0;
    }
    identity.groups.assign(groups.begin(), groups.begin() + count);
}

void FillUnprivilegedAccount(ProgramIdentity &identity)
{
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd entry{};
    passwd *found = nullptr;
    if (getpwnam_r(kUnprivilegedUser, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        FillAccount(identity, found->pw_uid, found->pw_gid);
    else
        FillAccount(identity, kUnprivilegedFallbackId, kUnprivilegedFallbackId);
    // The unprivileged account is no one's home and no group's member but its own.
    identity.groups = {identity.gid};
}

// The account that owns the installation, or failing that the first account other than root that
// owns anything on the way from the root directory to the program.
bool PickOwner(const std::string &installation, const std::vector<std::string> &chain, uid_t &uid, gid_t &gid)
{
    struct stat info;
    if (!installation.empty() && stat(installation.c_str(), &info) == 0 && info.st_uid != 0)
    {
        uid = info.st_uid;
        gid = info.st_gid;
        return true;
    }
    for (const std::string &entry : chain)
    {
        if (lstat(entry.c_str(), &info) == 0 && info.st_uid != 0)
        {
            uid = info.st_uid;
            gid = info.st_gid;
            return true;
        }
    }
    return false;
}

// The arguments as a program run as another account gets them: each that names an existing file
// outside the installation is opened here, read-only, and replaced by the path of the descriptor
// the child inherits. A file this run made in its private directory (which the account cannot
// enter) is made readable: only a holder of the descriptor can reach it there.
class HandedInputs
{
public:
    // installation: its path as given and with its links resolved.
    HandedInputs(std::vector<std::string> &arguments, const std::vector<std::string> &installation)
    {
        for (size_t i = 1; i < arguments.size(); ++i)
        {
            const std::string &argument = arguments[i];
            if (argument.empty() || argument[0] != '/' ||
                std::any_of(installation.begin(), installation.end(),
                            [&](const std::string &path) { return !path.empty() && IsBelow(argument, path); }))
                continue;
            const int opened = open(argument.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
            if (opened < 0)
                continue;
            struct stat info;
            const int staged = fcntl(opened, F_DUPFD_CLOEXEC, kHandedDescriptorStaging);
            close(opened);
            if (staged < 0)
                continue;
            if (fstat(staged, &info) != 0 || !S_ISREG(info.st_mode))
            {
                close(staged);
                continue;
            }
            if (IsInRunTempDirectory(argument) && info.st_uid == geteuid())
                fchmod(staged, (info.st_mode & 07777) | S_IRUSR | S_IRGRP | S_IROTH);
            arguments[i] = "/proc/self/fd/" + std::to_string(kFirstHandedDescriptor + static_cast<int>(m_fds.size()));
            m_fds.push_back(staged);
        }
    }
    ~HandedInputs()
    {
        for (int fd : m_fds)
            close(fd);
    }
    HandedInputs(const HandedInputs &) = delete;
    HandedInputs &operator=(const HandedInputs &) = delete;

    const std::vector<int> &Descriptors() const { return m_fds; }

private:
    std::vector<int> m_fds;
};

// Everything the child needs, made before the fork: after it only async-signal-safe calls.
struct ChildPlan
{
    std::string program;
    std::vector<char *> argv;
    std::vector<std::string> environmentTexts;
    std::vector<char *> envp;
    std::vector<gid_t> groups;
    uid_t uid = 0;
    gid_t gid = 0;
    int outputFd = -1;
    int errorFd = -1;
    std::vector<int> handed;
};

// The child's side: descriptors, signals, directory, then the account (groups first: once the
// user id is dropped no group can be changed), then the program. The raw system calls change only
// this thread's credentials, which in a forked child is the whole process, and take no lock.
[[noreturn]] void RunChild(const ChildPlan &plan, int reportFd)
{
    int failure = 0;
    if (plan.outputFd >= 0 && dup2(plan.outputFd, STDOUT_FILENO) < 0)
        failure = errno;
    if (!failure && plan.errorFd >= 0 && dup2(plan.errorFd, STDERR_FILENO) < 0)
        failure = errno;
    for (size_t i = 0; !failure && i < plan.handed.size(); ++i)
        if (dup2(plan.handed[i], kFirstHandedDescriptor + static_cast<int>(i)) < 0)
            failure = errno;
    if (!failure)
    {
        const unsigned keep = kFirstHandedDescriptor + static_cast<unsigned>(plan.handed.size());
        // The report pipe stays open until the exec closes it (close-on-exec).
        for (int fd = static_cast<int>(keep); fd < reportFd; ++fd)
            close(fd);
        syscall(SYS_close_range, static_cast<unsigned>(reportFd) + 1, ~0U, 0);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        struct sigaction standard{};
        standard.sa_handler = SIG_DFL;
        for (int signal = 1; signal < NSIG; ++signal)
            if (signal != SIGKILL && signal != SIGSTOP)
                sigaction(signal, &standard, nullptr);
        if (chdir("/") != 0)
            failure = errno;
    }
    if (!failure && syscall(SYS_setgroups, plan.groups.size(), plan.groups.data()) != 0)
        failure = errno;
    if (!failure && syscall(SYS_setresgid, plan.gid, plan.gid, plan.gid) != 0)
        failure = errno;
    if (!failure && syscall(SYS_setresuid, plan.uid, plan.uid, plan.uid) != 0)
        failure = errno;
    if (!failure)
    {
        execve(plan.program.c_str(), plan.argv.data(), plan.envp.data());
        failure = errno;
    }
    while (write(reportFd, &failure, sizeof failure) < 0 && errno == EINTR)
    {
    }
    _exit(127);
}

// Starts the plan in a forked child; the process id, or -1 when the child could not become the
// account or start the program (its error is reported back through a close-on-exec pipe).
pid_t ForkAs(ChildPlan &plan)
{
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0)
        return -1;
    // The report pipe must lie above every descriptor the child puts in place.
    const int reportFd = fcntl(report[1], F_DUPFD_CLOEXEC, kHandedDescriptorStaging + 64);
    close(report[1]);
    if (reportFd < 0)
    {
        close(report[0]);
        return -1;
    }
    // No handler of ours may run in the child before it has set every signal back.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    const pid_t child = fork();
    if (child == 0)
        RunChild(plan, reportFd);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    close(reportFd);
    if (child < 0)
    {
        close(report[0]);
        return -1;
    }
    int failure = 0;
    ssize_t got;
    do
        got = read(report[0], &failure, sizeof failure);
    while (got < 0 && errno == EINTR);
    close(report[0]);
    if (got == 0)
        return child;
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR)
    {
    }
    ZelkSystemLog("ZelkProcess> cannot start %s as user %u: %s", plan.program.c_str(), plan.uid,
                  std::strerror(failure));
    return -1;
}

ChildPlan PlanFor(const std::vector<std::string> &arguments, const ProgramIdentity &identity, int outputFd,
                  int errorFd, const std::vector<int> &handed)
{
    ChildPlan plan;
    plan.program = identity.resolvedProgram.empty() ? arguments[0] : identity.resolvedProgram;
    for (const std::string &argument : arguments)
        plan.argv.push_back(const_cast<char *>(argument.c_str()));
    plan.argv.push_back(nullptr);
    plan.environmentTexts = {kCleanSearchPath, "HOME=" + identity.home};
    if (!identity.userName.empty())
    {
        plan.environmentTexts.push_back("USER=" + identity.userName);
        plan.environmentTexts.push_back("LOGNAME=" + identity.userName);
    }
    for (const char *name : kKeptVariables)
        if (const char *value = std::getenv(name))
            plan.environmentTexts.push_back(std::string(name) + "=" + value);
    for (std::string &text : plan.environmentTexts)
        plan.envp.push_back(text.data());
    plan.envp.push_back(nullptr);
    plan.groups.assign(identity.groups.begin(), identity.groups.end());
    plan.uid = identity.uid;
    plan.gid = identity.gid;
    plan.outputFd = outputFd;
    plan.errorFd = errorFd;
    plan.handed = handed;
    return plan;
}
} // namespace

ProgramIdentity IdentityForInstalledProgram(const std::wstring &installation, const std::string &program)
{
    ProgramIdentity identity;
    if (geteuid() != 0)
        return identity;
    const std::string installPath = RealPath(PathToNative(installation));
    identity.resolvedProgram = RealPath(program);
    // A program that is missing has nothing to be trusted for; the installation's chain decides.
    const bool inside = !identity.resolvedProgram.empty() && !installPath.empty() &&
                        IsBelow(identity.resolvedProgram, installPath);
    bool trusted = inside || (identity.resolvedProgram.empty() && !installPath.empty());
    const std::vector<std::string> chain = PathChain(inside ? identity.resolvedProgram : installPath);
    for (const std::string &entry : chain)
    {
        struct stat info;
        if (!trusted)
            break;
        trusted = lstat(entry.c_str(), &info) == 0 && OnlyRootMayChange(info);
    }
    if (trusted)
        return identity;

    identity.switched = true;
    uid_t uid = 0;
    gid_t gid = 0;
    if (PickOwner(installPath, chain, uid, gid))
        FillAccount(identity, uid, gid);
    else
        FillUnprivilegedAccount(identity);
    ZelkSystemLog("ZelkProcess> %s can be changed by an account other than root: it runs as user %u", program.c_str(),
                  identity.uid);
    return identity;
}

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

std::unique_ptr<ZelkProcess> ZelkProcess::StartInstalled(const std::wstring &installation,
                                                         const std::string &commandLine)
{
    return Spawn(SplitCommandLine(commandLine), -1, -1, &installation);
}

std::unique_ptr<ZelkProcess> ZelkProcess::Spawn(const std::vector<std::string> &arguments, int outputFd, int errorFd,
                                                const std::wstring *installation)
{
    if (arguments.empty() || arguments[0].empty())
        return nullptr;
    ProgramIdentity identity;
    if (installation)
        identity = IdentityForInstalledProgram(*installation, arguments[0]);
    if (identity.switched)
    {
        std::vector<std::string> handedArguments = arguments;
        const std::string given = PathToNative(*installation);
        const HandedInputs inputs(handedArguments, {given, RealPath(given)});
        ChildPlan plan = PlanFor(handedArguments, identity, outputFd, errorFd, inputs.Descriptors());
        const pid_t child = ForkAs(plan);
        if (child < 0)
            return nullptr;
        return std::unique_ptr<ZelkProcess>(new ZelkProcess(child));
    }
    // Root starts the program it checked, not whatever a link on the way names by now.
    const std::string program = identity.resolvedProgram.empty() ? arguments[0] : identity.resolvedProgram;
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
    const int result = posix_spawnp(&processId, program.c_str(), &actions, &attributes, argv.data(), environ);
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
    return StartCaptured(program, arguments, nullptr);
}

std::unique_ptr<CapturedProcess> CapturedProcess::StartCapturedProcess(const std::wstring &program,
                                                                       const std::string &arguments,
                                                                       const std::wstring &installation)
{
    return StartCaptured(program, arguments, &installation);
}

std::unique_ptr<CapturedProcess> CapturedProcess::StartCaptured(const std::wstring &program,
                                                                const std::string &arguments,
                                                                const std::wstring *installation)
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
    std::unique_ptr<ZelkProcess> process =
        ZelkProcess::Spawn(SplitCommandLine(commandLine), output[1], errors[1], installation);
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
