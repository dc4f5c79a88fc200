// repair_abuse_bench PORT SERVER_PID INSTALLATION [WAVES] [HOLD_SECONDS]: zelk-repair-server on
// 127.0.0.1:PORT under hostile load. Each wave opens, from addresses spread over 127.0.0.0/8, 32
// clients of each hostile kind at once beside 8 well-behaved ones (200 connections a wave, 5
// waves by default):
//   open-close  connects and closes at once;
//   silent      connects and says nothing;
//   unknown     sends a summary of 200,000 files the reference lacks, then reads nothing;
//   trickle     sends its request a byte every half second;
//   non-reader  asks for every segment of the reference and reads nothing;
//   garbage     sends a broken request (random bytes, another version, a bad magic, a huge count
//               or name, a request cut short) and goes;
//   well-behaved sends the installation's summary and reads every record.
// The hostile clients hold their connections for HOLD_SECONDS (default 5), then close. Meanwhile
// the server's resident size, descriptors and threads are sampled from /proc; at the end, after
// the server has had a few seconds to return what it freed, its resident size again. Prints the
// figures, and exits 1 when a well-behaved client failed.
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "LoopbackConnect.h"
#include "kernel/ByteOrder.h"
#include "kernel/TextConvert.h"
#include "net/ZelkDataBuffer.h"
#include "repair/FileTreeSummary.h"
#include "repair/RepairProtocol.h"

namespace
{
constexpr int kHostilePerKind = 32;
constexpr int kWellBehavedPerWave = 8;
constexpr uint32_t kUnknownFiles = 200000;

using Clock = std::chrono::steady_clock;

void AppendName(std::string &bytes, const std::string &ascii)
{
    LittleEndian::Append32(bytes, static_cast<uint32_t>(ascii.size()));
    for (const char c : ascii)
    {
        bytes.push_back(c);
        bytes.push_back('\0');
    }
}

std::string SummaryHead(uint32_t count)
{
    std::string bytes;
    LittleEndian::Append32(bytes, kRepairProtocolVersion);
    LittleEndian::Append32(bytes, SummaryMagic);
    LittleEndian::Append32(bytes, count);
    return bytes;
}

// Names like an installation's, none of them in the reference.
std::string UnknownFilesRequest()
{
    std::string bytes = SummaryHead(kUnknownFiles);
    char name[64];
    for (uint32_t i = 0; i < kUnknownFiles; ++i)
    {
        std::snprintf(name, sizeof name, "data\\unknown%03u\\file-%06u.bin#000", i / 1000, i);
        AppendName(bytes, name);
        LittleEndian::Append32(bytes, 0x9E3779B9u * (i + 1));
        bytes.append(8, '\0');
    }
    return bytes;
}

std::vector<std::string> GarbageRequests()
{
    std::mt19937 random(7);
    std::string noise(4096, '\0');
    for (char &c : noise)
        c = static_cast<char>(random());
    std::string otherVersion;
    LittleEndian::Append32(otherVersion, 5);
    std::string badMagic;
    LittleEndian::Append32(badMagic, kRepairProtocolVersion);
    badMagic += "XXXX";
    std::string hugeName = SummaryHead(1);
    LittleEndian::Append32(hugeName, 0xFFFFFFF0u);
    std::string cutShort = SummaryHead(1000);
    AppendName(cutShort, "..\\..\\etc\\passwd#000");
    return {noise, otherVersion, badMagic, SummaryHead(0xFFFFFFFFu), hugeName, cutShort};
}

bool SendAll(int fd, const char *bytes, size_t size)
{
    while (size > 0)
    {
        const ssize_t sent = send(fd, bytes, size, MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        bytes += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

// Reads exactly size bytes within the deadline.
bool ReceiveExactly(int fd, char *bytes, size_t size, Clock::time_point deadline)
{
    while (size > 0)
    {
        const int left =
            static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        pollfd ready = {fd, POLLIN, 0};
        if (left <= 0 || poll(&ready, 1, left) != 1)
            return false;
        const ssize_t got = recv(fd, bytes, size, 0);
        if (got <= 0)
            return false;
        bytes += got;
        size -= static_cast<size_t>(got);
    }
    return true;
}

// The whole exchange of a patcher: true when every announced record arrived whole.
bool WellBehaved(uint16_t port, uint32_t source, const std::string &request)
{
    const int fd = loopback::ConnectFrom(port, source);
    if (fd < 0)
        return false;
    const auto deadline = Clock::now() + std::chrono::seconds(120);
    char field[8];
    bool ok = SendAll(fd, request.data(), request.size()) && ReceiveExactly(fd, field, 8, deadline) &&
              LittleEndian::Read32(field) == kRepairProtocolVersion;
    std::vector<char> payload;
    for (uint32_t i = 0, count = ok ? LittleEndian::Read32(field + 4) : 0; ok && i < count; ++i)
    {
        char lead[kRepairRecordLeadSize];
        ok = ReceiveExactly(fd, lead, sizeof lead, deadline);
        const uint32_t nameUnits = ok ? LittleEndian::Read32(lead + 1) : 0;
        ok = ok && nameUnits <= kMaxSummaryNameLength;
        payload.resize(size_t(nameUnits) * 2 + kRepairRecordTrailSize);
        ok = ok && ReceiveExactly(fd, payload.data(), payload.size(), deadline);
        const uint32_t length = ok ? LittleEndian::Read32(payload.data() + payload.size() - 4) : 0;
        ok = ok && length <= kMaxCompressedRecordPayload;
        payload.resize(length);
        ok = ok && ReceiveExactly(fd, payload.data(), length, deadline);
    }
    close(fd);
    return ok;
}

struct Sample
{
    uint64_t residentKib = 0;
    uint64_t peakKib = 0;
    int threads = 0;
    int descriptors = 0;
};

bool ReadSample(int pid, Sample &sample)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    if (!status)
        return false;
    std::string key;
    while (status >> key)
    {
        if (key == "VmRSS:")
            status >> sample.residentKib;
        else if (key == "VmHWM:")
            status >> sample.peakKib;
        else if (key == "Threads:")
            status >> sample.threads;
        status.ignore(4096, '\n');
    }
    sample.descriptors = 0;
    if (DIR *fds = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str()))
    {
        while (const dirent *entry = readdir(fds))
            sample.descriptors += entry->d_name[0] != '.' ? 1 : 0;
        closedir(fds);
    }
    return true;
}

// What a patcher sends: the version, then its summary.
std::string PatcherRequest(const std::string &installation)
{
    FileTreeSummary summary;
    summary.Scan(NativeToPath(installation), {L"repair.cks", L"unins000.exe"});
    ZelkDataBufferMemoryDynamic bytes;
    WriteRepairUint32(bytes, kRepairProtocolVersion);
    summary.Save(bytes);
    return std::string(reinterpret_cast<const char *>(bytes.GetData()), bytes.GetSize());
}
} // namespace

int main(int argc, char **argv)
{
    if (argc < 4)
    {
        std::fprintf(stderr, "Usage: repair_abuse_bench PORT SERVER_PID INSTALLATION [WAVES] [HOLD_SECONDS]\n");
        return 2;
    }
    const uint16_t port = static_cast<uint16_t>(std::stoul(argv[1]));
    const int serverPid = std::stoi(argv[2]);
    const int waves = argc > 4 ? std::stoi(argv[4]) : 5;
    const int holdSeconds = argc > 5 ? std::stoi(argv[5]) : 5;

    const std::string patcher = PatcherRequest(argv[3]);
    const std::string unknown = UnknownFilesRequest();
    const std::string everything = SummaryHead(0);
    const std::vector<std::string> garbage = GarbageRequests();

    Sample start;
    if (!ReadSample(serverPid, start))
    {
        std::fprintf(stderr, "repair_abuse_bench: no process %d\n", serverPid);
        return 2;
    }
    Sample highest = start;
    std::atomic<bool> sampling{true};
    std::thread sampler([&] {
        while (sampling)
        {
            Sample now;
            if (ReadSample(serverPid, now))
            {
                highest.peakKib = std::max(highest.peakKib, now.peakKib);
                highest.residentKib = std::max(highest.residentKib, now.residentKib);
                highest.threads = std::max(highest.threads, now.threads);
                highest.descriptors = std::max(highest.descriptors, now.descriptors);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });

    std::mutex lock;
    std::vector<double> completions;
    int failed = 0;
    int connections = 0;
    uint32_t nextAddress = 0;
    // 127.1.0.0 and up, one address per client: each counts as a host of its own.
    const auto address = [&] { return 0x7F010000u + ++nextAddress; };
    const auto began = Clock::now();
    for (int wave = 0; wave < waves; ++wave)
    {
        const auto waveEnd = Clock::now() + std::chrono::seconds(holdSeconds);
        std::vector<std::thread> clients;
        const auto hold = [&](int fd) {
            std::this_thread::sleep_until(waveEnd);
            if (fd >= 0)
                close(fd);
        };
        for (int i = 0; i < kHostilePerKind; ++i)
        {
            clients.emplace_back([&, source = address()] { close(loopback::ConnectFrom(port, source)); });
            clients.emplace_back([&, source = address()] { hold(loopback::ConnectFrom(port, source)); });
            clients.emplace_back([&, source = address()] {
                const int fd = loopback::ConnectFrom(port, source, 4096);
                SendAll(fd, unknown.data(), unknown.size());
                hold(fd);
            });
            clients.emplace_back([&, source = address()] {
                const int fd = loopback::ConnectFrom(port, source);
                for (size_t at = 0; fd >= 0 && Clock::now() < waveEnd; ++at)
                {
                    if (!SendAll(fd, everything.data() + at % everything.size(), 1))
                        break;
                    std::this_thread::sleep_for(std::chrono::milliseconds(500));
                }
                hold(fd);
            });
            clients.emplace_back([&, source = address()] {
                const int fd = loopback::ConnectFrom(port, source, 4096);
                SendAll(fd, everything.data(), everything.size());
                hold(fd);
            });
            clients.emplace_back([&, source = address(), i] {
                const int fd = loopback::ConnectFrom(port, source);
                const std::string &request = garbage[i % garbage.size()];
                SendAll(fd, request.data(), request.size());
                close(fd);
            });
        }
        for (int i = 0; i < kWellBehavedPerWave; ++i)
            clients.emplace_back([&, source = address()] {
                const auto started = Clock::now();
                const bool ok = WellBehaved(port, source, patcher);
                const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
                std::lock_guard<std::mutex> guard(lock);
                (ok ? completions.push_back(seconds) : void(++failed));
            });
        connections += static_cast<int>(clients.size());
        for (std::thread &client : clients)
            client.join();
    }
    const double total = std::chrono::duration<double>(Clock::now() - began).count();
    // The server joins ended connections and returns their memory once a second.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    sampling = false;
    sampler.join();
    Sample after;
    ReadSample(serverPid, after);

    std::sort(completions.begin(), completions.end());
    const auto at = [&](double share) {
        return completions.empty() ? 0.0
                                   : completions[std::min(completions.size() - 1, size_t(share * completions.size()))];
    };
    std::printf("%d connections in %d waves of %d hostile clients of each of 6 kinds and %d well-behaved, %.1f s\n",
                connections, waves, kHostilePerKind, kWellBehavedPerWave, total);
    std::printf("well-behaved clients: %zu completed, %d failed; seconds: median %.2f, 90%% %.2f, slowest %.2f\n",
                completions.size(), failed, at(0.5), at(0.9), completions.empty() ? 0.0 : completions.back());
    std::printf("server: peak resident %.1f MiB (before %.1f MiB), at most %d threads and %d descriptors\n",
                highest.peakKib / 1024.0, start.residentKib / 1024.0, highest.threads, highest.descriptors);
    std::printf("server after the clients left: resident %.1f MiB, %d threads, %d descriptors\n",
                after.residentKib / 1024.0, after.threads, after.descriptors);
    return failed == 0 ? 0 : 1;
}
