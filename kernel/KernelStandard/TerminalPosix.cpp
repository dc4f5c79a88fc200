#include "kernel/Terminal.h"

#include <csignal>
#include <sys/ioctl.h>
#include <unistd.h>

namespace
{
constexpr int kDefaultColumns = 80;

volatile sig_atomic_t g_interruptRequested = 0;

void RecordInterrupt(int)
{
    g_interruptRequested = 1;
}
} // namespace

bool StandardOutputIsTerminal()
{
    return isatty(STDOUT_FILENO) == 1;
}

bool StandardErrorIsTerminal()
{
    return isatty(STDERR_FILENO) == 1;
}

int TerminalColumns()
{
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0)
        return kDefaultColumns;
    return size.ws_col;
}

void InstallInterruptHandlers()
{
    struct sigaction action{};
    action.sa_handler = RecordInterrupt;
    sigemptyset(&action.sa_mask);
    // The signal may land on any thread; restarting keeps a worker's file calls from failing with
    // EINTR, and the main thread polls the flag.
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A reader of the output that goes away must not end a run in the middle of a package.
    signal(SIGPIPE, SIG_IGN);
}

bool InterruptRequested()
{
    return g_interruptRequested != 0;
}

void ClearInterruptRequest()
{
    g_interruptRequested = 0;
}
