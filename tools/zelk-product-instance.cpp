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
#include <cstring>
#include <string>
#include <thread>

#include "kernel/AssetDbIpc.h"

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

int Usage()
{
    std::fprintf(stderr, "usage: zelk-product-instance PATH [--no-counting] [--hold-mutex] [--no-lock]\n");
    return 2;
}
} // namespace

int main(int argc, char **argv)
{
    std::string path;
    bool counting = true;
    bool holdMutex = false;
    bool livenessLock = true;
    for (int i = 1; i < argc; ++i)
    {
        if (std::strcmp(argv[i], "--no-counting") == 0)
            counting = false;
        else if (std::strcmp(argv[i], "--hold-mutex") == 0)
            holdMutex = true;
        else if (std::strcmp(argv[i], "--no-lock") == 0)
            livenessLock = false;
        else if (path.empty())
            path = argv[i];
        else
            return Usage();
    }
    if (path.empty())
        return Usage();
    if (!EndsWithDatabaseName(path))
        path += path.back() == '/' ? "assets.kdx" : "/assets.kdx";

    std::signal(SIGINT, RequestStop);
    std::signal(SIGTERM, RequestStop);
    if (!AssetDbIpc::Open(path, false))
    {
        std::fprintf(stderr, "zelk-product-instance: cannot register for %s\n", path.c_str());
        return 1;
    }
    if (AssetDbIpc::IsMaster() && !counting)
        AssetDbIpc::SetCountingEnabled(0);
    if (!livenessLock)
        AssetDbIpc::ReleaseLivenessLock();
    if (holdMutex && !AssetDbIpc::HoldRegistryMutex())
    {
        std::fprintf(stderr, "zelk-product-instance: cannot take the registry mutex\n");
        AssetDbIpc::Close();
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    while (!g_stopRequested)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    AssetDbIpc::Close();
    return 0;
}
