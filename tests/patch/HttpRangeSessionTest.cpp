// Parts of files fetched over HTTP by one session from the real HTTP test server: exactly the bytes
// asked for, over one connection however many requests, and what a server that does not answer as
// asked gets.
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "TestServers.h"
#include "net/ZelkDataBuffer.h"
#include "patch/HttpRangeSession.h"
#include "patch/TransferAddress.h"
#include "patch/TransferRetry.h"

using namespace testservers;

namespace
{
constexpr size_t kFileSize = 300000;
// A name that reaches the server only when every byte of it is escaped as it must be.
const std::string kName = "dir/a b#1%2F?x\xC3\xA9.bin";

std::string Contents(ZelkDataBufferMemoryDynamic &buffer)
{
    return std::string(reinterpret_cast<const char *>(buffer.GetData()), buffer.GetSize());
}

// Method, path, range, status, body bytes and client port of each answer.
std::vector<std::vector<std::string>> Answers(const std::string &log)
{
    std::vector<std::vector<std::string>> answers;
    std::istringstream lines(ReadFile(log));
    for (std::string line; std::getline(lines, line);)
    {
        std::istringstream fields(line);
        std::vector<std::string> answer;
        for (std::string field; fields >> field;)
            answer.push_back(field);
        answers.push_back(answer);
    }
    return answers;
}

class StopNow : public ZelkTransferCallback
{
public:
    bool ShouldStop() override { return true; }
};

class HttpRangeSessionTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_file = RandomBytes(kFileSize, 11);
        WriteFile(m_dir / ("root/" + kName), m_file);
        ZelkTransferTimings timings;
        timings.retryPause = std::chrono::milliseconds(10);
        SetTransferTimings(timings);
    }
    void TearDown() override { SetTransferTimings(ZelkTransferTimings()); }

    void Start(std::vector<std::string> options = {})
    {
        options.insert(options.end(), {"--root", m_dir / "root", "--access-log", m_dir / "access.log"});
        ASSERT_TRUE(m_server.Start("http_server.py", options)) << m_server.Output();
    }
    std::string Url(const std::string &name) const
    {
        return JoinUrl("http://127.0.0.1:" + std::to_string(m_server.Port()) + "/", EncodeUrlPath(name));
    }
    std::vector<std::vector<std::string>> ServerAnswers() const { return Answers(m_dir / "access.log"); }

    TempDirectory m_dir;
    TestServer m_server;
    std::string m_file;
};

TEST_F(HttpRangeSessionTest, PartsAreExactlyTheBytesAskedForAndShareOneConnection)
{
    Start();
    HttpRangeSession session;
    ZelkDataBufferMemoryDynamic parts;
    ASSERT_EQ(session.FetchRange(Url(kName), 0, 1, parts), ZELKRESULT_OK);
    ASSERT_EQ(session.FetchRange(Url(kName), 65536, 65536, parts), ZELKRESULT_OK);
    ASSERT_EQ(session.FetchRange(Url(kName), kFileSize - 7, 7, parts), ZELKRESULT_OK);
    EXPECT_TRUE(Contents(parts) == m_file.substr(0, 1) + m_file.substr(65536, 65536) + m_file.substr(kFileSize - 7));
    ZelkDataBufferMemoryDynamic whole;
    ASSERT_EQ(session.FetchWhole(Url(kName), kFileSize, true, whole), ZELKRESULT_OK);
    EXPECT_TRUE(Contents(whole) == m_file);

    const auto answers = ServerAnswers();
    ASSERT_EQ(answers.size(), 4u);
    EXPECT_EQ(answers[1][2], "bytes=65536-131071");
    std::set<std::string> ports;
    for (const auto &answer : answers)
        ports.insert(answer[5]);
    EXPECT_EQ(ports.size(), 1u) << "a request opened a connection of its own";
    EXPECT_EQ(session.GetRequestCount(), 4u);
    EXPECT_GT(session.GetBytesReceived(), 1 + 65536 + 7 + kFileSize);
}

TEST_F(HttpRangeSessionTest, AFileAskedForByItsVersionComesOnlyWhenItChanged)
{
    Start();
    HttpRangeSession session;
    HttpVersion first;
    bool unchanged = true;
    ZelkDataBufferMemoryDynamic bytes;
    ASSERT_EQ(session.FetchWholeIfChanged(Url(kName), kFileSize, HttpVersion(), first, unchanged, bytes),
              ZELKRESULT_OK);
    EXPECT_FALSE(unchanged);
    EXPECT_TRUE(Contents(bytes) == m_file);
    ASSERT_FALSE(first.etag.empty());

    HttpVersion sent;
    ZelkDataBufferMemoryDynamic again;
    ASSERT_EQ(session.FetchWholeIfChanged(Url(kName), kFileSize, first, sent, unchanged, again), ZELKRESULT_OK);
    EXPECT_TRUE(unchanged);
    EXPECT_EQ(again.GetSize(), 0u);
    EXPECT_TRUE(sent == first);

    // Another version, and a tag that would put a header line of its own into the request.
    m_file = RandomBytes(kFileSize, 12);
    WriteFile(m_dir / ("root/" + kName), m_file);
    for (const HttpVersion &known : {first, HttpVersion{"\"x\"\r\nX-Injected: 1"}})
    {
        HttpVersion sent;
        ZelkDataBufferMemoryDynamic changed;
        ASSERT_EQ(session.FetchWholeIfChanged(Url(kName), kFileSize, known, sent, unchanged, changed), ZELKRESULT_OK);
        EXPECT_FALSE(unchanged);
        EXPECT_TRUE(Contents(changed) == m_file);
        EXPECT_FALSE(sent == first);
    }
    const auto answers = ServerAnswers();
    ASSERT_EQ(answers.size(), 4u);
    EXPECT_EQ(answers[1][3], "304");
    EXPECT_EQ(answers[2][3], "200");
    EXPECT_EQ(answers[3][3], "200");
}

struct RefusalCase
{
    const char *what;
    std::vector<std::string> serverOptions;
    bool whole;
    uint64_t offset;
    uint64_t length; // of the part, or the most a whole file may hold
    const char *name;
    ZELKRESULT expected;
    size_t requests; // retried only when a retry may change the answer
};

class HttpRangeRefusalTest : public HttpRangeSessionTest, public testing::WithParamInterface<RefusalCase>
{
};

TEST_P(HttpRangeRefusalTest, AnswersOtherThanAskedFail)
{
    const RefusalCase &c = GetParam();
    Start(c.serverOptions);
    HttpRangeSession session;
    ZelkDataBufferMemoryDynamic destination;
    const std::string url = Url(c.name ? c.name : kName);
    EXPECT_EQ(c.whole ? session.FetchWhole(url, c.length, false, destination)
                      : session.FetchRange(url, c.offset, c.length, destination),
              c.expected);
    EXPECT_EQ(ServerAnswers().size(), c.requests);
    if (c.expected == ZELKRESULT_OK)
        EXPECT_TRUE(Contents(destination) == m_file.substr(c.offset, c.length));
    else
        EXPECT_LE(destination.GetSize(), c.length) << "more was written than asked for";
}

INSTANTIATE_TEST_SUITE_P(
    Answers, HttpRangeRefusalTest,
    testing::Values(
        RefusalCase{"whole_file_for_a_part", {"--no-range"}, false, 100, 50, nullptr, ZELKRESULT_UNSUPPORTED, 1},
        RefusalCase{"whole_file_that_is_the_part", {"--no-range"}, false, 0, kFileSize, nullptr, ZELKRESULT_OK, 1},
        RefusalCase{"no_such_file", {}, false, 0, 10, "dir/none.bin", ZELKRESULT_LIST_FAILED, 1},
        RefusalCase{"range_past_the_end", {}, false, kFileSize, 10, nullptr, ZELKRESULT_CONNECTION_LOST, 1},
        RefusalCase{"part_past_the_end", {}, false, kFileSize - 5, 10, nullptr, ZELKRESULT_BAD_FORMAT, 1},
        RefusalCase{"server_error_retried", {"--status", kName + "=503"}, false, 0, 10, nullptr,
                    ZELKRESULT_CONNECTION_LOST, 4},
        RefusalCase{"connection_cut_then_whole", {"--drop-after", "1000"}, false, 0, 100000, nullptr, ZELKRESULT_OK, 2},
        RefusalCase{"file_beyond_its_limit", {}, true, 0, kFileSize - 1, nullptr, ZELKRESULT_NO_MEMORY, 1}),
    [](const testing::TestParamInfo<RefusalCase> &info) { return std::string(info.param.what); });

TEST_F(HttpRangeSessionTest, ACallbackThatSaysStopEndsTheRequestWithoutRetry)
{
    Start({"--throttle", "2000"});
    StopNow stop;
    HttpRangeSession session(&stop);
    ZelkDataBufferMemoryDynamic destination;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(session.FetchRange(Url(kName), 0, kFileSize, destination), ZELKRESULT_ABORTED);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_EQ(session.GetRequestCount(), 1u);
}
} // namespace
