// repair_load_bench ADDRESS:PORT INSTALLATION CLIENTS: the server's side of many repairs at once.
// The installation is summarised once, as a repair run would; then CLIENTS connections at once each
// send that summary and read every record the server sends (the payloads are checked against their
// headers and dropped). Prints the total time, and per client the records and bytes received.
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "kernel/TextConvert.h"
#include "net/ZelkDataBufferTCP.h"
#include "repair/FileTreeSummary.h"
#include "repair/RepairProtocol.h"

namespace
{
class Discard : public ZelkDataBuffer
{
public:
    uint64_t GetSize() override { return 0; }
    ZELKRESULT SetSize(uint64_t) override { return ZELKRESULT_OK; }
    uint64_t GetPosition() override { return 0; }
    ZELKRESULT Seek(uint64_t) override { return ZELKRESULT_OK; }
    ZELKRESULT Write(const void *, uint32_t) override { return ZELKRESULT_OK; }
    ZELKRESULT Read(void *, uint32_t) override { return ZELKRESULT_ACCESS; }
};

struct ClientResult
{
    bool ok = false;
    uint32_t records = 0;
    uint64_t bytes = 0;
};

ClientResult RunClient(const IPv4Endpoint &server, const std::string &request)
{
    ClientResult result;
    ZelkDataBufferTCP connection;
    uint32_t version = 0;
    uint32_t count = 0;
    if (connection.Connect(server) != ZELKRESULT_OK ||
        connection.Write(request.data(), static_cast<uint32_t>(request.size())) != ZELKRESULT_OK ||
        ReadRepairUint32(connection, version) != ZELKRESULT_OK || version != kRepairProtocolVersion ||
        ReadRepairUint32(connection, count) != ZELKRESULT_OK)
        return result;
    Discard sink;
    for (uint32_t i = 0; i < count; ++i)
    {
        RepairRecordHeader header;
        RepairRecordFault fault = RepairRecordFault::None;
        if (ReadRepairRecordHeader(connection, header, fault) != ZELKRESULT_OK ||
            CopyData(sink, connection, header.payloadLength) != ZELKRESULT_OK)
            return result;
        ++result.records;
    }
    result.bytes = connection.received;
    result.ok = true;
    connection.Disconnect(true);
    return result;
}

// What a patcher sends: the version, then its summary.
class RequestBytes : public ZelkDataBuffer
{
public:
    uint64_t GetSize() override { return bytes.size(); }
    ZELKRESULT SetSize(uint64_t) override { return ZELKRESULT_UNSUPPORTED; }
    uint64_t GetPosition() override { return bytes.size(); }
    ZELKRESULT Seek(uint64_t) override { return ZELKRESULT_UNSUPPORTED; }
    ZELKRESULT Write(const void *source, uint32_t count) override
    {
        bytes.append(static_cast<const char *>(source), count);
        return ZELKRESULT_OK;
    }
    ZELKRESULT Read(void *, uint32_t) override { return ZELKRESULT_ACCESS; }
    std::string bytes;
};
} // namespace

int main(int argc, char **argv)
{
    if (argc != 4)
    {
        std::fprintf(stderr, "Usage: repair_load_bench ADDRESS:PORT INSTALLATION CLIENTS\n");
        return 1;
    }
    const std::string address = argv[1];
    const size_t colon = address.rfind(':');
    in_addr parsed{};
    if (colon == std::string::npos || inet_pton(AF_INET, address.substr(0, colon).c_str(), &parsed) != 1)
    {
        std::fprintf(stderr, "repair_load_bench: %s is no ADDRESS:PORT\n", argv[1]);
        return 1;
    }
    const IPv4Endpoint server{ntohl(parsed.s_addr), static_cast<uint16_t>(std::stoul(address.substr(colon + 1)))};
    const int clients = std::stoi(argv[3]);

    FileTreeSummary summary;
    summary.Scan(NativeToPath(argv[2]), {L"repair.cks", L"unins000.exe"});
    RequestBytes request;
    WriteRepairUint32(request, kRepairProtocolVersion);
    summary.Save(request);

    std::vector<ClientResult> results(clients);
    std::vector<std::thread> threads;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < clients; ++i)
        threads.emplace_back([&, i] { results[i] = RunClient(server, request.bytes); });
    for (std::thread &thread : threads)
        thread.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    int failed = 0;
    uint64_t bytes = 0;
    for (const ClientResult &result : results)
    {
        failed += result.ok ? 0 : 1;
        bytes += result.bytes;
    }
    std::printf("%d clients, %d failed, %.3f s, %u records and %llu bytes each (first client)\n", clients, failed,
                seconds, results.empty() ? 0 : results[0].records,
                static_cast<unsigned long long>(results.empty() ? 0 : results[0].bytes));
    return failed == 0 ? 0 : 1;
}
