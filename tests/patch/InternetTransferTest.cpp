#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "TestServers.h"
#include "kernel/TextConvert.h"
#include "net/ZelkDataBuffer.h"
#include "patch/FtpTransfer.h"
#include "patch/HttpTransfer.h"
#include "patch/InternetTransfer.h"
#include "patch/PelmoPatchTask.h"
#include "patch/TransferAddress.h"

using namespace testservers;

namespace
{
constexpr size_t kFileSize = 300000;

std::string Contents(ZelkDataBufferMemoryDynamic &buffer)
{
    return std::string(reinterpret_cast<const char *>(buffer.GetData()), buffer.GetSize());
}

// Notes the largest piece written, to show that data reaches the destination in small pieces.
class PieceRecordingBuffer : public ZelkDataBufferMemoryDynamic
{
public:
    ZELKRESULT Write(const void *source, uint32_t count) override
    {
        largestPiece = std::max(largestPiece, count);
        return ZelkDataBufferMemoryDynamic::Write(source, count);
    }
    uint32_t largestPiece = 0;
};

// Asks to stop once the transfer has run for a while.
class StopAfter : public ZelkTransferCallback
{
public:
    explicit StopAfter(std::chrono::milliseconds delay) : m_deadline(std::chrono::steady_clock::now() + delay) {}
    bool ShouldStop() override
    {
        ++calls;
        return std::chrono::steady_clock::now() >= m_deadline;
    }
    std::atomic<int> calls{0};

private:
    std::chrono::steady_clock::time_point m_deadline;
};

std::vector<std::string> LogLines(const std::string &path)
{
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(path));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

size_t CountLinesStartingWith(const std::vector<std::string> &lines, const std::string &prefix)
{
    size_t count = 0;
    for (const std::string &line : lines)
        count += line.compare(0, prefix.size(), prefix) == 0;
    return count;
}

// Puts an environment variable back as it was.
class EnvironmentGuard
{
public:
    explicit EnvironmentGuard(const char *name) : m_name(name)
    {
        const char *value = std::getenv(name);
        m_set = value != nullptr;
        if (m_set)
            m_value = value;
    }
    ~EnvironmentGuard()
    {
        if (m_set)
            setenv(m_name.c_str(), m_value.c_str(), 1);
        else
            unsetenv(m_name.c_str());
    }

private:
    std::string m_name;
    std::string m_value;
    bool m_set = false;
};

class TransferTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_FALSE(m_dir.Path().empty());
        m_file = RandomBytes(kFileSize, 7);
        WriteFile(m_dir / "root/dir/a.zip", m_file);
        ZelkTransferTimings timings;
        timings.retryPause = std::chrono::milliseconds(10);
        SetTransferTimings(timings);
    }
    void TearDown() override { SetTransferTimings(ZelkTransferTimings()); }

    void StartFtp(std::vector<std::string> options = {})
    {
        options.insert(options.end(), {"--root", m_dir / "root", "--log", m_dir / "server.log"});
        ASSERT_TRUE(m_server.Start("ftp_server.py", options)) << m_server.Output();
    }
    void StartHttp(std::vector<std::string> options = {})
    {
        options.insert(options.end(), {"--root", m_dir / "root", "--log", m_dir / "server.log"});
        ASSERT_TRUE(m_server.Start("http_server.py", options)) << m_server.Output();
    }
    std::string Address(const std::string &scheme, const std::string &path, const std::string &login = "") const
    {
        return scheme + "://" + login + "127.0.0.1:" + std::to_string(m_server.Port()) + "/" + path;
    }
    std::vector<std::string> ServerLog() const { return LogLines(m_dir / "server.log"); }

    // Stops a transfer once the server has logged this many requests.
    class StopWhenServerHasRequests : public ZelkTransferCallback
    {
    public:
        StopWhenServerHasRequests(const TransferTest &test, size_t requests) : m_test(test), m_requests(requests) {}
        bool ShouldStop() override { return m_test.ServerLog().size() >= m_requests; }

    private:
        const TransferTest &m_test;
        size_t m_requests;
    };

    TempDirectory m_dir;
    TestServer m_server;
    std::string m_file;
};

// Addresses ----------------------------------------------------------------------------------------

struct AddressCase
{
    const char *address;
    ZELKRESULT result;
    const char *scheme; // after DefaultScheme
    const char *user;
    const char *password;
    const char *host;
    int port; // after DefaultPort
    const char *path;
};

class AddressTest : public ::testing::TestWithParam<AddressCase>
{
};

TEST_P(AddressTest, SplitsAndCompletesTheAddress)
{
    const AddressCase &c = GetParam();
    ZelkAddress parts;
    ASSERT_EQ(ParseAddress(c.address, parts), c.result);
    if (c.result != ZELKRESULT_OK)
        return;
    DefaultScheme(parts);
    DefaultPort(parts);
    EXPECT_EQ(parts.scheme, c.scheme);
    EXPECT_EQ(parts.user, c.user);
    EXPECT_EQ(parts.password, c.password);
    EXPECT_EQ(parts.host, c.host);
    EXPECT_EQ(parts.port, c.port);
    EXPECT_EQ(parts.path, c.path);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, AddressTest,
    ::testing::Values(
        AddressCase{"ftp://user:pw@files.example:2121/dir/a.zip", 0, "ftp", "user", "pw", "files.example", 2121,
                    "dir/a.zip"},
        AddressCase{"HTTP://Host.example/a/b.zip", 0, "http", "", "", "Host.example", 80, "a/b.zip"},
        AddressCase{"https://host.example", 0, "https", "", "", "host.example", 443, ""},
        AddressCase{"anon@ftp.example/x", 0, "ftp", "anon", "", "ftp.example", 21, "x"},
        AddressCase{"FTPmirror.example/x", 0, "ftp", "", "", "FTPmirror.example", 21, "x"},
        AddressCase{"https-mirror.example/x", 0, "https", "", "", "https-mirror.example", 443, "x"},
        AddressCase{"www.example/x", 0, "http", "", "", "www.example", 80, "x"},
        AddressCase{"www.example:443/x", 0, "https", "", "", "www.example", 443, "x"},
        AddressCase{"ftp-less.example:80/x", 0, "http", "", "", "ftp-less.example", 80, "x"},
        AddressCase{"www.example:21/x", 0, "ftp", "", "", "www.example", 21, "x"},
        AddressCase{"http://host.example:port/x", 0, "http", "", "", "host.example", 80, "x"},
        AddressCase{"http://u:p:q@host.example/x", 0, "http", "u", "p:q", "host.example", 80, "x"},
        AddressCase{"http://:secret@host.example/x", ZELKRESULT_INVALID_ARGUMENT, "", "", "", "", 0, ""},
        AddressCase{"http:///x", ZELKRESULT_INVALID_ARGUMENT, "", "", "", "", 0, ""},
        AddressCase{"hvt:65536es/", ZELKRESULT_INVALID_ARGUMENT, "", "", "", "", 0, ""},
        AddressCase{"ftp://host.example:-21/x", ZELKRESULT_INVALID_ARGUMENT, "", "", "", "", 0, ""},
        AddressCase{"http://host.example:99999999999/x", ZELKRESULT_INVALID_ARGUMENT, "", "", "", "", 0, ""},
        AddressCase{"http://host.example:65535/x", 0, "http", "", "", "host.example", 65535, "x"},
        AddressCase{"", ZELKRESULT_INVALID_ARGUMENT, "", "", "", "", 0, ""}));

// An address that cannot be used never reaches the server.
TEST_F(TransferTest, UnusableAddressesFailWithoutConnecting)
{
    StartHttp();
    const std::string port = std::to_string(m_server.Port());
    const struct
    {
        std::string address;
        ZELKRESULT result;
    } cases[] = {
        {"http://:secret@127.0.0.1:" + port + "/dir/a.zip", ZELKRESULT_INVALID_ARGUMENT},
        {"ftp://:secret@127.0.0.1:" + port + "/dir/a.zip", ZELKRESULT_INVALID_ARGUMENT},
        {"gopher://127.0.0.1:" + port + "/dir/a.zip", ZELKRESULT_BAD_FORMAT},
    };
    for (const auto &c : cases)
    {
        ZelkDataBufferMemoryDynamic destination;
        EXPECT_EQ(DownloadAddress(c.address, destination, 0, nullptr), c.result) << c.address;
        uint64_t size = 1;
        EXPECT_EQ(QueryAddressSize(c.address, size), c.result) << c.address;
        EXPECT_EQ(size, 0u);
    }
    EXPECT_TRUE(ServerLog().empty());
}

// FTP -----------------------------------------------------------------------------------------------

// The server listens on the port written in the address, not on 21.
TEST_F(TransferTest, FtpDownloadAndSizeUseTheAddressPort)
{
    StartFtp();
    for (const std::string login : {"", "user:secret@"})
    {
        PieceRecordingBuffer destination;
        ASSERT_EQ(DownloadAddress(Address("ftp", "dir/a.zip", login), destination, 0, nullptr), ZELKRESULT_OK);
        EXPECT_TRUE(Contents(destination) == m_file);
        EXPECT_LE(destination.largestPiece, 16384u);
        uint64_t size = 0;
        EXPECT_EQ(QueryAddressSize(Address("ftp", "dir/a.zip", login), size), ZELKRESULT_OK);
        EXPECT_EQ(size, kFileSize);
    }
    // The address's credentials log in; without them the login is anonymous.
    EXPECT_GE(CountLinesStartingWith(ServerLog(), "USER user"), 2u);
    EXPECT_GE(CountLinesStartingWith(ServerLog(), "USER anonymous"), 2u);
}

TEST_F(TransferTest, FtpFailuresAreConnectionLost)
{
    StartFtp();
    ZelkDataBufferMemoryDynamic destination;
    EXPECT_EQ(DownloadAddress(Address("ftp", "dir/missing.zip"), destination, 0, nullptr),
              ZELKRESULT_CONNECTION_LOST);
    EXPECT_EQ(DownloadAddress(Address("ftp", "dir/a.zip", "user:wrong@"), destination, 0, nullptr),
              ZELKRESULT_CONNECTION_LOST);
    EXPECT_EQ(destination.GetSize(), 0u);
    uint64_t size = 1;
    EXPECT_EQ(QueryAddressSize(Address("ftp", "dir/missing.zip"), size), ZELKRESULT_CONNECTION_LOST);
    EXPECT_EQ(size, 0u);
}

// A file that already holds part of the download is completed from where it ends; when the server
// cannot restart there, the file is emptied and fetched whole.
struct ResumeCase
{
    const char *name;
    bool refuseRest;
    size_t existing;    // bytes already in the file
    bool existingValid; // the start of the real file, or other bytes
    size_t restCommands;  // "REST <existing>" sent to the server
};

class FtpResumeTest : public TransferTest, public ::testing::WithParamInterface<ResumeCase>
{
};

TEST_P(FtpResumeTest, CompletesThePartialFileOnce)
{
    const ResumeCase &c = GetParam();
    if (c.refuseRest)
        StartFtp({"--refuse-rest"});
    else
        StartFtp();
    const std::string path = m_dir / "partial.zip";
    WriteFile(path, c.existingValid ? m_file.substr(0, c.existing) : std::string(c.existing, 'x'));
    {
        ZelkDataBufferFile file(NativeToPath(path), ZelkDataBufferFile::AccessModify);
        ASSERT_TRUE(file.IsOpen());
        ASSERT_EQ(DownloadAddress(Address("ftp", "dir/a.zip"), file, 0, nullptr), ZELKRESULT_OK);
        EXPECT_EQ(file.GetPosition(), kFileSize);
        ASSERT_EQ(file.Close(), ZELKRESULT_OK);
    }
    EXPECT_TRUE(ReadFile(path) == m_file);
    const std::string rest = "REST " + std::to_string(c.existing);
    EXPECT_EQ(CountLinesStartingWith(ServerLog(), rest), c.restCommands);
}

INSTANTIATE_TEST_SUITE_P(Cases, FtpResumeTest,
                         ::testing::Values(ResumeCase{"Continued", false, 1000, true, 1},
                                           ResumeCase{"Refused", true, 1000, false, 1},
                                           ResumeCase{"LongerThanFile", false, kFileSize + 5000, false, 0}),
                         [](const auto &info) { return std::string(info.param.name); });

// Files beyond 2 GiB: sizes and the restart offset are 64-bit. Both files are sparse up to 2 GiB,
// so only the last MiB moves.
TEST_F(TransferTest, OffsetsBeyondTwoGigabytes)
{
    constexpr uint64_t kTwoGiB = uint64_t(1) << 31;
    const std::string tail = RandomBytes(1 << 20, 11);
    const std::string served = m_dir / "root/dir/big.zip";
    WriteFile(served, "");
    std::filesystem::resize_file(served, kTwoGiB);
    {
        std::ofstream out(served, std::ios::binary | std::ios::app);
        out.write(tail.data(), static_cast<std::streamsize>(tail.size()));
    }
    const std::string partial = m_dir / "big.zip";
    WriteFile(partial, "");
    std::filesystem::resize_file(partial, kTwoGiB);

    StartFtp();
    uint64_t size = 0;
    EXPECT_EQ(QueryAddressSize(Address("ftp", "dir/big.zip"), size), ZELKRESULT_OK);
    EXPECT_EQ(size, kTwoGiB + tail.size());
    {
        ZelkDataBufferFile file(NativeToPath(partial), ZelkDataBufferFile::AccessModify);
        ASSERT_TRUE(file.IsOpen());
        ASSERT_EQ(DownloadAddress(Address("ftp", "dir/big.zip"), file, 0, nullptr), ZELKRESULT_OK);
        ASSERT_EQ(file.Close(), ZELKRESULT_OK);
    }
    EXPECT_EQ(CountLinesStartingWith(ServerLog(), "REST " + std::to_string(kTwoGiB)), 1u);
    ASSERT_EQ(std::filesystem::file_size(partial), kTwoGiB + tail.size());
    std::ifstream in(partial, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(kTwoGiB));
    std::string got(tail.size(), '\0');
    in.read(got.data(), static_cast<std::streamsize>(got.size()));
    EXPECT_TRUE(got == tail);
    m_server.Stop();

    StartHttp();
    EXPECT_EQ(QueryAddressSize(Address("http", "dir/big.zip"), size), ZELKRESULT_OK);
    EXPECT_EQ(size, kTwoGiB + tail.size());
}

TEST_F(TransferTest, FtpDroppedConnectionIsResumed)
{
    StartFtp({"--drop-after", "100000"});
    ZelkDataBufferMemoryDynamic destination;
    ASSERT_EQ(DownloadAddress(Address("ftp", "dir/a.zip"), destination, 0, nullptr), ZELKRESULT_OK);
    EXPECT_TRUE(Contents(destination) == m_file);
    const std::vector<std::string> log = ServerLog();
    EXPECT_EQ(CountLinesStartingWith(log, "RETR"), 2u);
    EXPECT_EQ(CountLinesStartingWith(log, "REST 100000"), 1u);
}

// HTTP ----------------------------------------------------------------------------------------------

TEST_F(TransferTest, HttpDownloadAndSize)
{
    StartHttp();
    PieceRecordingBuffer destination;
    ASSERT_EQ(DownloadAddress(Address("http", "dir/a.zip"), destination, kDownloadNoCache, nullptr), ZELKRESULT_OK);
    EXPECT_TRUE(Contents(destination) == m_file);
    EXPECT_LE(destination.largestPiece, 16384u);
    uint64_t size = 0;
    EXPECT_EQ(QueryAddressSize(Address("http", "dir/a.zip"), size), ZELKRESULT_OK);
    EXPECT_EQ(size, kFileSize);
}

// An error page is not the file: nothing of it is stored, and its length is no file size.
TEST_F(TransferTest, HttpErrorStatusFailsWithoutStoringTheBody)
{
    StartHttp({"--status", "dir/gone.zip=404", "--status", "dir/busy.zip=503"});
    for (const char *name : {"dir/gone.zip", "dir/busy.zip", "dir/missing.zip"})
    {
        ZelkDataBufferMemoryDynamic destination;
        EXPECT_EQ(DownloadAddress(Address("http", name), destination, 0, nullptr), ZELKRESULT_CONNECTION_LOST);
        EXPECT_EQ(destination.GetSize(), 0u) << name;
        uint64_t size = 1;
        EXPECT_EQ(QueryAddressSize(Address("http", name), size), ZELKRESULT_CONNECTION_LOST);
        EXPECT_EQ(size, 0u);
    }
}

// A status that says the file is not there for this client (or never will be) fails the transfer
// at the first answer; only a time-out, too many requests or a server error are worth the retries.
TEST_F(TransferTest, HttpStatusesThatNoRetryCanChangeFailAtOnce)
{
    const struct
    {
        int status;
        size_t requests;
    } cases[] = {
        {400, 1}, {401, 1}, {403, 1}, {404, 1}, {410, 1}, {416, 1}, {499, 1},
        {408, 11}, {429, 11}, {500, 11}, {503, 11},
    };
    std::vector<std::string> options;
    for (const auto &test : cases)
        options.insert(options.end(), {"--status", "dir/" + std::to_string(test.status) + ".zip=" + std::to_string(test.status)});
    StartHttp(options);
    for (const auto &test : cases)
    {
        SCOPED_TRACE(test.status);
        const std::string name = "dir/" + std::to_string(test.status) + ".zip";
        ZelkDataBufferMemoryDynamic destination;
        EXPECT_EQ(DownloadAddress(Address("http", name), destination, 0, nullptr), ZELKRESULT_CONNECTION_LOST);
        uint64_t size = 1;
        EXPECT_EQ(QueryAddressSize(Address("http", name), size), ZELKRESULT_CONNECTION_LOST);
        EXPECT_EQ(CountLinesStartingWith(ServerLog(), "GET /" + name), test.requests);
        EXPECT_EQ(CountLinesStartingWith(ServerLog(), "HEAD /" + name), test.requests);
    }
}

// A retried attempt continues where the destination ends, or starts again when the server cannot
// send a range; either way no byte is written twice.
TEST_F(TransferTest, HttpDroppedConnectionIsRetriedWithoutDuplicates)
{
    for (const bool ranges : {true, false})
    {
        SCOPED_TRACE(ranges ? "ranges" : "no ranges");
        std::remove((m_dir / "server.log").c_str());
        if (ranges)
            StartHttp({"--drop-after", "100000"});
        else
            StartHttp({"--drop-after", "100000", "--no-range"});
        ZelkDataBufferMemoryDynamic destination;
        const std::string header = "prefix";
        destination.Write(header.data(), static_cast<uint32_t>(header.size()));
        ASSERT_EQ(DownloadAddress(Address("http", "dir/a.zip"), destination, 0, nullptr), ZELKRESULT_OK);
        EXPECT_EQ(destination.GetSize(), header.size() + kFileSize);
        EXPECT_TRUE(Contents(destination) == header + m_file);
        const std::vector<std::string> log = ServerLog();
        ASSERT_EQ(log.size(), 2u);
        EXPECT_EQ(log[1], "GET /dir/a.zip bytes=100000-");
        m_server.Stop();
    }
}

TEST_F(TransferTest, HttpCallbackStopEndsWithoutRetry)
{
    // Slow enough that the transfer is as good as stalled when the stop comes; the stop waits for
    // the server to have the request, so that a loaded machine cannot stop it before it is sent.
    StartHttp({"--throttle", "2000"});
    StopWhenServerHasRequests stop(*this, 1);
    ZelkDataBufferMemoryDynamic destination;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(DownloadAddress(Address("http", "dir/a.zip"), destination, 0, &stop), ZELKRESULT_ABORTED);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_LT(destination.GetSize(), kFileSize);
    EXPECT_EQ(ServerLog().size(), 1u);
}

TEST_F(TransferTest, FtpCallbackStopEndsWithoutRetry)
{
    StartFtp();
    StopAfter stop(std::chrono::milliseconds(0));
    ZelkDataBufferMemoryDynamic destination;
    EXPECT_EQ(DownloadAddress(Address("ftp", "dir/a.zip"), destination, 0, &stop), ZELKRESULT_ABORTED);
    EXPECT_EQ(CountLinesStartingWith(ServerLog(), "USER"), 1u);
}

TEST_F(TransferTest, StalledTransferFails)
{
    StartHttp({"--throttle", "0.01"});
    ZelkTransferTimings timings = GetTransferTimings();
    timings.stallTime = std::chrono::seconds(1);
    SetTransferTimings(timings);
    ZelkDataBufferMemoryDynamic destination;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(HttpGet(Address("http", "dir/a.zip"), destination, false, nullptr), ZELKRESULT_CONNECTION_LOST);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
}

// HTTPS is verified: a server whose authority is unknown fails, one signed by a trusted authority
// serves.
TEST_F(TransferTest, HttpsVerifiesTheServerCertificate)
{
    TestAuthority authority;
    ASSERT_TRUE(MakeTestAuthority(m_dir.Path(), authority));
    StartHttp({"--tls", authority.serverCertificate, authority.serverKey});
    const std::string address = Address("https", "dir/a.zip");
    const EnvironmentGuard bundle("CURL_CA_BUNDLE");
    const EnvironmentGuard certificates("SSL_CERT_FILE");
    unsetenv("CURL_CA_BUNDLE");

    unsetenv("SSL_CERT_FILE");
    ZelkDataBufferMemoryDynamic untrusted;
    EXPECT_EQ(HttpGet(address, untrusted, false, nullptr), ZELKRESULT_CONNECTION_LOST);
    EXPECT_EQ(untrusted.GetSize(), 0u);

    setenv("SSL_CERT_FILE", authority.caCertificate.c_str(), 1);
    ZelkDataBufferMemoryDynamic trusted;
    EXPECT_EQ(DownloadAddress(address, trusted, 0, nullptr), ZELKRESULT_OK);
    EXPECT_TRUE(Contents(trusted) == m_file);
    uint64_t size = 0;
    EXPECT_EQ(QueryAddressSize(address, size), ZELKRESULT_OK);
    EXPECT_EQ(size, kFileSize);
}
// The run's task ---------------------------------------------------------------------------------

class RecordingTask : public PelmoPatchTask
{
public:
    void Report(MessageLevel level, const std::string &text) override { messages.emplace_back(level, NarrowToWide(text)); }
    void Report(MessageLevel level, const std::wstring &text) override { messages.emplace_back(level, text); }
    std::vector<std::pair<MessageLevel, std::wstring>> messages;
};

// Reads the task's progress from another thread while the download runs, as the window does.
class ProgressWatcher : public ZelkTransferCallback
{
public:
    explicit ProgressWatcher(PelmoPatchTask &task) : m_task(task) {}
    bool ShouldStop() override
    {
        std::thread reader([this] { seen.push_back(m_task.GetTransferProgress()); });
        reader.join();
        return false;
    }
    std::vector<TransferProgress> seen;

private:
    PelmoPatchTask &m_task;
};

// The archive file of a step is completed, never left with stray bytes, and its progress is shown.
TEST_F(TransferTest, DownloadToFileLeavesExactlyTheFile)
{
    for (const char *scheme : {"http", "ftp"})
    {
        SCOPED_TRACE(scheme);
        if (std::string(scheme) == "http")
            StartHttp({"--throttle", "2000000"});
        else
            StartFtp();
        const std::string path = m_dir / (std::string(scheme) + ".zip");
        // A longer file from an earlier attempt; for FTP it is not the start of this file at all.
        WriteFile(path, std::string(kFileSize + 777, 'x'));
        RecordingTask task;
        const std::wstring address = NarrowToWide(Address(scheme, "dir/a.zip"));
        ASSERT_TRUE(task.QueryFileSize(address));
        EXPECT_EQ(task.ExpectedSize(), kFileSize);
        ProgressWatcher watcher(task);
        ASSERT_TRUE(task.DownloadToFile(address, NativeToPath(path), &watcher));
        EXPECT_TRUE(ReadFile(path) == m_file);
        EXPECT_TRUE(task.messages.empty());

        ASSERT_FALSE(watcher.seen.empty());
        uint64_t previous = 0;
        for (const TransferProgress &progress : watcher.seen)
        {
            EXPECT_EQ(progress.expectedSize, kFileSize);
            EXPECT_EQ(progress.percent, progress.bytesDone * 100 / kFileSize);
            if (std::string(scheme) == "http")
            {
                EXPECT_GE(progress.bytesDone, previous);
                previous = progress.bytesDone;
            }
        }
        const TransferProgress done = task.GetTransferProgress();
        EXPECT_EQ(done.bytesDone, kFileSize);
        EXPECT_EQ(done.percent, 100u);
        m_server.Stop();
    }
}

TEST_F(TransferTest, DownloadToFileReportsItsFailure)
{
    StartHttp({"--status", "dir/gone.zip=404"});
    RecordingTask task;
    const std::wstring address = NarrowToWide(Address("http", "dir/gone.zip"));
    EXPECT_FALSE(task.QueryFileSize(address));
    EXPECT_EQ(task.ExpectedSize(), 0u);
    EXPECT_EQ(task.GetTransferProgress().percent, 0u);

    const std::wstring path = NativeToPath(m_dir / "gone.zip");
    EXPECT_FALSE(task.DownloadToFile(address, path, nullptr));
    EXPECT_EQ(ReadFile(m_dir / "gone.zip"), "");
    const std::wstring unwritable = NativeToPath(m_dir / "no-such-directory/a.zip");
    EXPECT_FALSE(task.DownloadToFile(address, unwritable, nullptr));
    ASSERT_EQ(task.messages.size(), 2u);
    EXPECT_EQ(task.messages[0].first, MessageError);
    EXPECT_EQ(task.messages[0].second, L"Unable to download patch file: " + address);
    EXPECT_EQ(task.messages[1].first, MessageError);
    EXPECT_EQ(task.messages[1].second, L"Unable to open the patch file for writing: " + unwritable);
}
} // namespace
