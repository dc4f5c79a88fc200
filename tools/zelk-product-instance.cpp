// Stands in for a running product program (the simulator, Assetry, the utility): it registers in
// the installation's instance registry as they do and stays registered until it is told to stop.
//
//   zelk-product-instance PATH [--no-counting] [--hold-mutex] [--no-lock]
//
// PATH is the installation folder or its "assets.kdx". --no-counting creates the registry without
// a user count (countingEnabled 0); --hold-mutex keeps the registry mutex taken, so that a test can
// kill the holder and see the mutex released; --no-lock drops the shared lock on the block that
// tells others it is alive, as a product program that keeps only the block's rules would. Prints
// "ready" once registered; SIGINT or SIGTERM detach and end it.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>

#include "kernel/AssetDbIpc.h"
#include "tools/ToolCommandLine.h"

namespace
{
volatile std::sig_atomic_t g_stopRequested = 0;

void RequestStop(int)
{
    g_stopRequested = 1;
}

bool EndsWithDatabaseName(const std::string &path)
{
    return !AssetDbIpc::RegistryKey(path).empty();
}

const char kUsage[] =
    "Usage: zelk-product-instance PATH [--no-counting] [--hold-mutex] [--no-lock]\n"
    "Registers in the instance registry of the installation PATH (or of PATH's \"assets.kdx\") as a\n"
    "running product program does, prints \"ready\", and stays registered until SIGINT or SIGTERM.\n"
    "\n"
    "  --no-counting  create the registry without a user count\n"
    "  --hold-mutex   keep the registry mutex taken\n"
    "  --no-lock      drop the shared lock on the block that tells others it is alive\n"
    "\n"
    "Exit status: 0 success, 1 wrong arguments, 2 it could not register.\n";
} // namespace

int main(int argc, char **argv)
{
    ToolCommandLine line("zelk-product-instance", kUsage, {"PATH"});
    bool noCounting = false;
    bool holdMutex = false;
    bool noLock = false;
    line.Flag("--no-counting", noCounting);
    line.Flag("--hold-mutex", holdMutex);
    line.Flag("--no-lock", noLock);
    if (!line.Parse(argc, argv))
        return line.ExitStatus();
    std::string path = line.Operands()[0];
    if (!EndsWithDatabaseName(path))
        path += path.back() == '/' ? "assets.kdx" : "/assets.kdx";

    std::signal(SIGINT, RequestStop);
    std::signal(SIGTERM, RequestStop);
    if (!AssetDbIpc::Open(path, false))
        return line.Failure("cannot register for " + path);
    if (AssetDbIpc::IsMaster() && noCounting)
        AssetDbIpc::SetCountingEnabled(0);
    if (noLock)
        AssetDbIpc::ReleaseLivenessLock();
    if (holdMutex && !AssetDbIpc::HoldRegistryMutex())
    {
        AssetDbIpc::Close();
        return line.Failure("cannot take the registry mutex");
    }
    std::printf("ready\n");
    std::fflush(stdout);
    while (!g_stopRequested)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    AssetDbIpc::Close();
    return kToolExitSuccess;
}
