// zelk-repair-server as a publisher starts it: the first line names where it listens, a restart
// with the cache reads nothing that did not change, SIGINT or SIGTERM end it cleanly, and its
// limits hold against clients that would wedge it.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <thread>

#include "E2eFixtures.h"
#include "LoopbackPeer.h"
#include "RunningProgram.h"

using namespace e2e;

namespace
{
class RepairServerToolTest : public ::testing::TestWithParam<int>
{
protected:
    void SetUp() override { RunTool({kBuild + "/zelk-mksample", m_dir / "reference", "--version", "100"}); }

    std::unique_ptr<RunningProgram> Start()
    {
        auto server = std::make_unique<RunningProgram>(std::vector<std::string>{
            kBuild + "/zelk-repair-server", m_dir / "reference", "--bind", "127.0.0.1", "--port", "0", "--cache",
            m_dir / "reference.cache"});
        EXPECT_TRUE(server->WaitForOutput(" of them from the cache\n", std::chrono::seconds(120))) << server->Output();
        return server;
    }

    testfiles::TempDirectory m_dir{"zelk-repair-server-e2e"};
};

TEST_P(RepairServerToolTest, NamesItsAddressFirstReusesItsCacheAndEndsCleanlyOnTheSignal)
{
    std::unique_ptr<RunningProgram> first = Start();
    EXPECT_EQ(first->Output().rfind("zelk-repair-server: listening on 127.0.0.1:", 0), 0u) << first->Output();
    EXPECT_TRUE(Contains(first->Output(), " 0 of them from the cache")) << first->Output();
    first->Signal(GetParam());
    EXPECT_EQ(first->Wait(), 0) << first->Output();
    EXPECT_TRUE(Contains(first->Output(), "zelk-repair-server: stopped\n")) << first->Output();

    // "N files, S segments, 0 of them from the cache" the first time, S of them the second.
    const std::string counts = first->Output().substr(first->Output().find(" files, ") + 8);
    const std::string segments = counts.substr(0, counts.find(' '));
    std::unique_ptr<RunningProgram> second = Start();
    EXPECT_TRUE(Contains(second->Output(), " " + segments + " segments, " + segments + " of them from the cache"))
        << second->Output();
    second->Signal(GetParam());
    EXPECT_EQ(second->Wait(), 0) << second->Output();
}

INSTANTIATE_TEST_SUITE_P(Signals, RepairServerToolTest, ::testing::Values(SIGINT, SIGTERM),
                         [](const ::testing::TestParamInfo<int> &info) {
                             return std::string(info.param == SIGINT ? "SIGINT" : "SIGTERM");
                         });

uint16_t ListeningPort(const std::string &output)
{
    const std::string mark = "listening on 127.0.0.1:";
    const size_t at = output.find(mark);
    return at == std::string::npos ? 0 : static_cast<uint16_t>(std::stoul(output.substr(at + mark.size())));
}

TEST(RepairServerToolLimits, ClosesWhatItCannotServeDropsATrickleAndServesNothingOutsideItsRoot)
{
    testfiles::TempDirectory dir("zelk-repair-server-limits");
    WriteFile(dir / "reference/a.txt", "a");
    fs::create_symlink("/etc/passwd", dir / "reference/leak.txt");
    RunningProgram server({kBuild + "/zelk-repair-server", dir / "reference", "--bind", "127.0.0.1", "--port", "0",
                           "--max-connections", "4", "--max-per-address", "2", "--memory-limit", "16"},
                          {"ZELK_TEST_REPAIR_SLOW_WINDOW_MS=1000"});
    ASSERT_TRUE(server.WaitForOutput(" of them from the cache\n", std::chrono::seconds(120))) << server.Output();
    const uint16_t port = ListeningPort(server.Output());
    EXPECT_TRUE(
        server.WaitForOutput(": 1 files not served, a link on their way leads out of ROOT or nowhere: leak.txt\n"))
        << server.Output();

    // More connections than the caps allow, opened at once and closed (the repair tests show that
    // hundreds of them wedge nothing either).
    std::vector<int> crowd;
    for (int i = 0; i < 30; ++i)
        crowd.push_back(loopback::ConnectFrom(port));
    for (const int fd : crowd)
        close(fd);
    EXPECT_TRUE(server.WaitForOutput(" refused: ")) << server.Output();

    // A client that sends its version a byte a second is dropped once its window has passed. It
    // comes from an address of its own, which the crowd's last connections cannot take.
    const int trickle = loopback::ConnectFrom(port, INADDR_LOOPBACK + 1);
    const char version[4] = {6, 0, 0, 0};
    for (int i = 0; i < 4 && !Contains(server.Output(), "slower than 1024 bytes a second"); ++i)
    {
        send(trickle, version + i, 1, MSG_NOSIGNAL);
        server.WaitForOutput("slower than 1024 bytes a second", std::chrono::seconds(1));
    }
    EXPECT_TRUE(server.WaitForOutput("slower than 1024 bytes a second")) << server.Output();
    close(trickle);

    // Version 6 and an empty summary: the reference's file comes back. While the last of
    // the crowd are still ending, the server may be full and close the connection at once; a
    // patcher tries again on its next run, and so does this client.
    const char request[12] = {6, 0, 0, 0, '0', 's', 't', 'f', 0, 0, 0, 0};
    std::string answer;
    for (int attempt = 0; attempt < 50 && answer.empty(); ++attempt)
    {
        if (attempt > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const int client = loopback::ConnectFrom(port, INADDR_LOOPBACK + 2);
        loopback::SendAll(client, std::string(request, sizeof request));
        answer = loopback::ReceiveAll(client);
        close(client);
    }
    ASSERT_GT(answer.size(), 8u);
    EXPECT_EQ(answer.substr(0, 4), std::string(version, 4));
    EXPECT_TRUE(server.WaitForOutput("s: done\n")) << server.Output();
    server.Signal(SIGTERM);
    EXPECT_EQ(server.Wait(), 0) << server.Output();
}

TEST(RepairServerToolLimits, RefusesALimitOutsideItsRange)
{
    for (const char *option : {"--max-connections", "--max-per-address", "--memory-limit"})
    {
        RunningProgram server({kBuild + "/zelk-repair-server", "/nonexistent", option, "0"});
        EXPECT_EQ(server.Wait(), 1) << server.Output();
        EXPECT_TRUE(Contains(server.Output(), std::string(option) + " takes a number from 1 to")) << server.Output();
    }
}
} // namespace
