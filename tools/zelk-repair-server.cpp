// zelk-repair-server ROOT [--port 6000] [--bind ADDRESS] [--cache FILE] [limits]: the publisher's
// repair server. It summarises ROOT once and sends each patcher that connects the segments that
// make its installation equal to ROOT, many patchers at once, until SIGINT or SIGTERM.
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <pthread.h>
#include <string>
#include <thread>
#include <vector>

#include "kernel/FileUtil.h"
#include "kernel/TextConvert.h"
#include "repair/RepairProtocol.h"
#include "repair/RepairServer.h"
#include "tools/ToolCommandLine.h"

namespace
{
// Each connection is a thread and a descriptor: beyond these the system's own limits bite first.
constexpr size_t kMaxConnections = 65536;
constexpr size_t kMaxMemoryLimitMb = 1024 * 1024;
constexpr const char *kSlowWindowVariable = "ZELK_TEST_REPAIR_SLOW_WINDOW_MS";
// The files a link leads out for that the start-up line names; the rest are counted.
constexpr size_t kLinksNamed = 10;

const char kUsage[] =
    "Usage: zelk-repair-server ROOT [--port PORT] [--bind ADDRESS] [--cache FILE] [--max-connections N]\n"
    "                          [--max-per-address N] [--memory-limit MB]\n"
    "Serves repair runs of the patcher: each client sends the checksums of its installation's 4 MiB\n"
    "segments and receives the segments in which it differs from ROOT, the order to cut files it\n"
    "has longer and to delete files ROOT lacks, and every empty file of ROOT. \"repair.cks\" and\n"
    "\"unins000.exe\" at the top of ROOT are never sent, as a repair run never lists them.\n"
    "\n"
    "The first line printed names the address and port the server listens on; then one line per\n"
    "connection: the client's address, its summary's entries, the records sent by kind, the bytes\n"
    "sent, the time taken, and how the connection ended. SIGINT or SIGTERM end the server: open\n"
    "connections are closed and their clients' next runs continue where they stopped.\n"
    "ROOT must not change while the server runs; restart it after a change. A file reached through\n"
    "a link that leads out of ROOT (or nowhere) is never served; a line at the start names them.\n"
    "\n"
    "  --port PORT     the TCP port (default 6000; 0 takes any free port)\n"
    "  --bind ADDRESS  the IPv4 address to listen on (default 0.0.0.0, every interface)\n"
    "  --cache FILE    keep the summary of ROOT in FILE: a restart reads only the files whose size\n"
    "                  or modification time changed (without it, every start reads all of ROOT)\n"
    "  --max-connections N  clients served at once (default 256); a connection beyond them is\n"
    "                  closed at once, and its patcher tries again on its next run\n"
    "  --max-per-address N  clients served at once from one IPv4 address (default 16)\n"
    "  --memory-limit MB  memory for the clients (default 512): segments prepared for one client\n"
    "                  and kept for the next take a quarter of it (64 MB at most), the connections\n"
    "                  the rest; a connection that comes while it is spent is closed at once, and\n"
    "                  one whose summary outgrows it is ended\n"
    "A client that moves nothing for two minutes, or fewer than 1024 bytes a second over 30 seconds\n"
    "in which the server waits on it, is disconnected.\n"
    "\n"
    "Exit status: 0 stopped by a signal, 1 wrong arguments, 2 ROOT could not be summarised or the\n"
    "address could not be listened on.\n";

std::wstring AbsolutePath(const std::string &path)
{
    std::error_code ignored;
    return NativeToPath(std::filesystem::absolute(path, ignored).lexically_normal().string());
}

std::string ParsePort(const std::string &text, uint16_t &port)
{
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(text) > 65535)
        return "--port takes a number from 0 to 65535, not '" + text + "'";
    port = static_cast<uint16_t>(std::stoul(text));
    return std::string();
}

std::string ParseAddress(const std::string &text, uint32_t &address)
{
    in_addr parsed{};
    if (inet_pton(AF_INET, text.c_str(), &parsed) != 1)
        return "--bind takes an IPv4 address such as 127.0.0.1, not '" + text + "'";
    address = ntohl(parsed.s_addr);
    return std::string();
}

// A count of at least 1 and at most limit.
std::string ParseCount(const std::string &option, const std::string &text, size_t limit, size_t &count)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(text) < 1 || std::stoul(text) > limit)
        return option + " takes a number from 1 to " + std::to_string(limit) + ", not '" + text + "'";
    count = std::stoul(text);
    return std::string();
}

void PrintLine(const std::string &line)
{
    static std::mutex lock;
    std::lock_guard<std::mutex> guard(lock);
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}
} // namespace

int main(int argc, char **argv)
{
    ToolCommandLine line("zelk-repair-server", kUsage, {"ROOT"});
    RepairServerOptions options;
    options.address.port = kRepairPort;
    std::string cacheFile;
    line.Each("--port", [&](const std::string &value) { return ParsePort(value, options.address.port); });
    line.Each("--bind", [&](const std::string &value) { return ParseAddress(value, options.address.address); });
    line.Value("--cache", cacheFile);
    line.Each("--max-connections", [&](const std::string &value) {
        return ParseCount("--max-connections", value, kMaxConnections, options.maxConnections);
    });
    line.Each("--max-per-address", [&](const std::string &value) {
        return ParseCount("--max-per-address", value, kMaxConnections, options.maxPerAddress);
    });
    size_t memoryLimitMb = options.memoryLimit >> 20;
    line.Each("--memory-limit", [&](const std::string &value) {
        return ParseCount("--memory-limit", value, kMaxMemoryLimitMb, memoryLimitMb);
    });
    if (!line.Parse(argc, argv))
        return line.ExitStatus();
    options.memoryLimit = memoryLimitMb << 20;
    // Tests shorten the window over which a client's pace is judged, so as not to wait half a minute.
    if (const char *window = std::getenv(kSlowWindowVariable))
        options.slowWindow = std::chrono::milliseconds(std::strtoul(window, nullptr, 10));

    // The signals are taken by a thread of their own, so every other thread must block them, and a
    // client that goes away mid-write must not end the server.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    const std::string &root = line.Operands()[0];
    ReferenceTree reference;
    std::string error;
    if (!reference.Build(AbsolutePath(root), cacheFile.empty() ? std::wstring() : AbsolutePath(cacheFile), error))
        return line.Failure(error);

    RepairServer server(reference, options, [](const std::string &text) { PrintLine(text); });
    if (const ZELKRESULT result = server.Listen())
        return line.Failure("cannot listen on " + FormatEndpoint(options.address) +
                            ": the port is in use or the address is not this machine's (error " +
                            std::to_string(result) + ")");
    PrintLine("zelk-repair-server: listening on " + FormatEndpoint(server.GetAddress()));
    const uint64_t fromCache = reference.GetSegmentCount() - reference.GetSegmentsRead();
    PrintLine("zelk-repair-server: " + root + ": " + std::to_string(reference.GetFiles().size()) + " files, " +
              std::to_string(reference.GetSegmentCount()) + " segments, " + std::to_string(fromCache) +
              " of them from the cache");
    // Once, as the tree is walked once: the publisher may have meant to serve these files.
    const std::vector<std::wstring> &linksOut = reference.GetLinksLeadingOut();
    if (!linksOut.empty())
    {
        std::string names;
        for (size_t i = 0; i < linksOut.size() && i < kLinksNamed; ++i)
        {
            std::wstring name = linksOut[i];
            NormalizeSeparators(name, L'/');
            names += (i == 0 ? "" : ", ") + PathToNative(name);
        }
        if (linksOut.size() > kLinksNamed)
            names += " and " + std::to_string(linksOut.size() - kLinksNamed) + " more";
        PrintLine("zelk-repair-server: " + root + ": " + std::to_string(linksOut.size()) +
                  " files not served, a link on their way leads out of ROOT or nowhere: " + names);
    }

    std::thread signals([&] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        if (signal == SIGINT || signal == SIGTERM)
            PrintLine(std::string("zelk-repair-server: ") + (signal == SIGINT ? "SIGINT" : "SIGTERM") + ", stopping");
        server.Stop();
    });
    server.Run();
    // Run ends only after a stop, which the signal thread made.
    signals.join();
    PrintLine("zelk-repair-server: stopped");
    return kToolExitSuccess;
}
