// Times FileTreeSummary::Save of a summary of ENTRIES entries into one destination and prints the
// bytes and the seconds it took:
//   summary_send_bench tcp ENTRIES        ->  "<bytes> <seconds>"  (to a reader on 127.0.0.1)
//   summary_send_bench file ENTRIES PATH  ->  "<bytes> <seconds>"  (into a file, closed)
// Over the connection the time runs until the reader has every byte.
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "kernel/ByteOrder.h"
#include "kernel/TextConvert.h"
#include "net/ZelkDataBufferTCP.h"
#include "repair/FileTreeSummary.h"

namespace
{
// Entries named like an installation's files: "data\dir012\file00345.pak#000" and so on.
void MakeSummary(FileTreeSummary &summary, uint32_t entries)
{
    std::string bytes = "0stf";
    LittleEndian::Append32(bytes, entries);
    for (uint32_t i = 0; i < entries; ++i)
    {
        char name[64];
        const int length = std::snprintf(name, sizeof name, "data\\dir%03u\\file%05u.pak#%03u", i / 1000, i % 1000, i % 3);
        LittleEndian::Append32(bytes, static_cast<uint32_t>(length));
        for (int c = 0; c < length; ++c)
        {
            bytes.push_back(name[c]);
            bytes.push_back('\0');
        }
        LittleEndian::Append32(bytes, 0x9E3779B9u * (i + 1));
        bytes.append("\x00\xF1\x53\x65\x00\x00\x00\x00", 8);
    }
    summary.Load(*MakeDataBufferFromString(bytes));
}

int Usage()
{
    std::fprintf(stderr, "usage: summary_send_bench tcp ENTRIES | file ENTRIES PATH\n");
    return 1;
}
} // namespace

int main(int argc, char **argv)
{
    if (argc < 3)
        return Usage();
    const std::string mode = argv[1];
    const uint32_t entries = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10));
    FileTreeSummary summary;
    MakeSummary(summary, entries);
    if (summary.GetEntryCount() != entries)
        return Usage();

    if (mode == "file" && argc == 4)
    {
        const auto start = std::chrono::steady_clock::now();
        ZelkDataBufferFile file(NativeToPath(argv[3]), ZelkDataBufferFile::AccessWrite);
        const bool saved = file.IsOpen() && summary.Save(file) == ZELKRESULT_OK;
        const uint64_t size = file.GetSize();
        if (!saved || file.Close() != ZELKRESULT_OK)
        {
            std::fprintf(stderr, "summary_send_bench: cannot write %s\n", argv[3]);
            return 1;
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        std::printf("%llu %.4f\n", static_cast<unsigned long long>(size), took.count());
        return 0;
    }
    if (mode != "tcp" || argc != 3)
        return Usage();

    // The reader: a plain socket that takes everything until the end of the stream.
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return Usage();
    auto reader = std::async(std::launch::async, [listener] {
        const int fd = accept(listener, nullptr, nullptr);
        uint64_t total = 0;
        char piece[65536];
        for (ssize_t got; (got = recv(fd, piece, sizeof piece, 0)) > 0;)
            total += static_cast<uint64_t>(got);
        close(fd);
        return total;
    });

    ZelkDataBufferTCP connection;
    if (connection.Connect({kLoopbackAddress, ntohs(address.sin_port)}) != ZELKRESULT_OK)
    {
        std::fprintf(stderr, "summary_send_bench: cannot connect\n");
        return 1;
    }
    const auto start = std::chrono::steady_clock::now();
    const ZELKRESULT saved = summary.Save(connection);
    connection.Disconnect(false);
    const uint64_t total = reader.get();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    close(listener);
    if (saved != ZELKRESULT_OK)
    {
        std::fprintf(stderr, "summary_send_bench: sending failed with %u\n", saved);
        return 1;
    }
    std::printf("%llu %.4f\n", static_cast<unsigned long long>(total), took.count());
    return 0;
}
