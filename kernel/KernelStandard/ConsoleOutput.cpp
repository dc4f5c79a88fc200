#include "kernel/KernelStandard/ConsoleOutput.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "kernel/FileUtil.h"
#include "kernel/TextConvert.h"

namespace
{
void WriteAll(int fd, const char *data, size_t size)
{
    while (size > 0)
    {
        const ssize_t written = write(fd, data, size);
        if (written <= 0)
            return;
        data += written;
        size -= static_cast<size_t>(written);
    }
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
        if (lstat(name.c_str(), &info) != 0 || !S_ISFIFO(info.st_mode))
            return;
        // Non-blocking open fails at once when no reader is there instead of hanging start-up.
        fd = open(name.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0)
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    }

    ~ConsolePipe()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
};

ConsolePipe g_consolePipe;
} // namespace

void WriteConsoleOutput(const std::string &narrow, const std::wstring &wide)
{
    if (g_consolePipe.fd >= 0)
    {
        const std::string utf16 = EncodeUtf16LE(wide);
        WriteAll(g_consolePipe.fd, utf16.data(), utf16.size());
        return;
    }
    fflush(stdout);
    WriteAll(STDOUT_FILENO, narrow.data(), narrow.size());
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

void WriteDebuggerOutput(const std::string &narrow)
{
    static const bool enabled = [] {
        const char *forced = std::getenv("ZELK_DEBUG_OUTPUT");
        return (forced && std::strcmp(forced, "stderr") == 0) || IsDebuggerAttached();
    }();
    if (enabled)
        WriteAll(STDERR_FILENO, narrow.data(), narrow.size());
}
