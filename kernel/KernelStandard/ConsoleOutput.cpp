#include "kernel/KernelStandard/ConsoleOutput.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kernel/FileUtil.h"
#include "kernel/TextConvert.h"

namespace
{
// A reader that went away must cost the line, not the process: SIGPIPE is held back for the
// write and a SIGPIPE that the write raised is taken off this thread before the mask comes back.
// On the non-blocking FIFO a write that would block ends the line there: the rest is dropped.
void WriteAll(int fd, const char *data, size_t size)
{
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    sigset_t pendingBefore;
    sigpending(&pendingBefore);
    const bool wasPending = sigismember(&pendingBefore, SIGPIPE) == 1;
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    bool broken = false;
    while (size > 0)
    {
        const ssize_t written = write(fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
        {
            broken = written < 0 && errno == EPIPE;
            break;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    if (broken && !wasPending)
    {
        const timespec noWait{0, 0};
        while (sigtimedwait(&pipeSignal, nullptr, &noWait) < 0 && errno == EINTR)
        {
        }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

// Where the log goes without a FIFO; read by signal handlers, hence a lock-free atomic.
std::atomic<int> g_consoleDescriptor{STDOUT_FILENO};

// The FIFO's owner must be a reader the log may go to: this process's own account, or the user
// who asked for the elevation. Anyone can make a FIFO of that name in the shared directory.
bool MayReceiveLog(uid_t owner)
{
    if (owner == geteuid())
        return true;
    const char *requester = std::getenv("PKEXEC_UID");
    if (!requester || !*requester)
        return false;
    char *end = nullptr;
    const unsigned long uid = std::strtoul(requester, &end, 10);
    return *end == '\0' && uid == owner;
}

// Opened once, before main, as a parent that wants the log expects: it must have created the
// FIFO under our process id before we start.
struct ConsolePipe
{
    int fd = -1;

    ConsolePipe()
    {
        const std::string name = PathToNative(TempBaseDirectory()) + "/" + std::to_string(getpid()) + "cout";
        struct stat info;
        if (lstat(name.c_str(), &info) != 0 || !S_ISFIFO(info.st_mode) || !MayReceiveLog(info.st_uid))
            return;
        // Non-blocking: the open fails at once when no reader is there instead of hanging
        // start-up, and later a reader that stops reading costs lines, never a stalled program.
        const int opened = open(name.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        if (opened < 0)
            return;
        struct stat openedInfo;
        // What was opened must be what was checked, not a FIFO put in its place meanwhile.
        if (fstat(opened, &openedInfo) != 0 || openedInfo.st_dev != info.st_dev || openedInfo.st_ino != info.st_ino)
        {
            close(opened);
            return;
        }
        fd = opened;
    }

    ~ConsolePipe()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
};

// Made on first use, so that a line logged during another file's static initialisation finds the
// pipe open instead of a zero-initialised descriptor (0, standard input).
ConsolePipe &ThePipe()
{
    static ConsolePipe pipe;
    return pipe;
}

// Opens the pipe during static initialisation even when nothing logs then.
const bool g_consolePipeOpened = (ThePipe(), true);
} // namespace

void WriteConsoleOutput(const std::string &narrow, const std::wstring &wide)
{
    const int fifo = ThePipe().fd;
    if (fifo >= 0)
    {
        const std::string utf16 = EncodeUtf16LE(wide);
        WriteAll(fifo, utf16.data(), utf16.size());
        return;
    }
    const int descriptor = g_consoleDescriptor.load();
    fflush(descriptor == STDOUT_FILENO ? stdout : stderr);
    WriteAll(descriptor, narrow.data(), narrow.size());
}

void SendConsoleOutputToStandardError()
{
    fflush(stdout);
    g_consoleDescriptor.store(STDERR_FILENO);
}

bool IsDebuggerAttached()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
    {
        if (line.rfind("TracerPid:", 0) == 0)
            return std::atoi(line.c_str() + 10) != 0;
    }
    return false;
}

bool DebuggerOutputEnabled()
{
    static const bool enabled = [] {
        const char *forced = std::getenv("ZELK_DEBUG_OUTPUT");
        return (forced && std::strcmp(forced, "stderr") == 0) || IsDebuggerAttached();
    }();
    return enabled;
}

void WriteDebuggerOutput(const std::string &narrow)
{
    if (DebuggerOutputEnabled())
        WriteAll(STDERR_FILENO, narrow.data(), narrow.size());
}

bool ConsoleOutputOnStandardError()
{
    return ThePipe().fd < 0 && g_consoleDescriptor.load() == STDERR_FILENO;
}

void WriteConsoleOutputFromSignal(const char *ascii, size_t size)
{
    if (DebuggerOutputEnabled() && !ConsoleOutputOnStandardError())
        WriteAll(STDERR_FILENO, ascii, size);
    const int fifo = ThePipe().fd;
    if (fifo < 0)
    {
        WriteAll(g_consoleDescriptor.load(), ascii, size);
        return;
    }
    char utf16[512];
    while (size > 0)
    {
        size_t used = 0;
        for (; size > 0 && used + 2 <= sizeof utf16; ++ascii, --size)
        {
            utf16[used++] = *ascii;
            utf16[used++] = 0;
        }
        WriteAll(fifo, utf16, used);
    }
}
