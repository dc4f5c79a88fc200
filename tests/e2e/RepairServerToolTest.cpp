// zelk-repair-server as a publisher starts it: the first line names where it listens, a restart
// with the cache reads nothing that did not change, and SIGINT or SIGTERM end it cleanly.
#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "E2eFixtures.h"
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
} // namespace
