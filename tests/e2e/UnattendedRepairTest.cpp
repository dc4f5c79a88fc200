// The built patcher in unattended repair mode ("-u -r") against a repair server the test scripts
// byte by byte: the stage texts and the segments line on standard output, the exit status, the
// segments written and the "IsPatching" marker cleared.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "E2eFixtures.h"
#include "LoopbackPeer.h"
#include "RunningProgram.h"
#include "ScriptedRepairServer.h"

namespace fs = std::filesystem;
using namespace e2e;

namespace
{
class UnattendedRepairTest : public e2e::PatcherRunTest
{
protected:
    void SetUp() override { MakeRunDirectory(m_root.Path()); }

    // The registry names the server and carries the marker of an earlier failed run.
    void UseServer(uint16_t port)
    {
        std::ofstream(m_registry, std::ios::app)
            << "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo]\n\"RepairServer\"=\"127.0.0.1:" << port << "\"\n"
            << "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo\\Products\\KorvilSimulator]\n\"IsPatching\"=dword:00000001\n";
    }

    int RunRepair(std::string &output)
    {
        RunningProgram patcher({kBuild + "/pelmo-patcher", "-u", "-r"}, Environment());
        const int status = patcher.Wait();
        output = patcher.Output();
        return status;
    }

    testfiles::TempDirectory m_root{"pelmo-repair-e2e"};
};
} // namespace

TEST_F(UnattendedRepairTest, RepairWritesTheSegmentsAndExitsZero)
{
    loopback::Peer server([](int fd) {
        repairpeer::Handshake(fd);
        loopback::SendAll(fd, repairpeer::Uint32(2) + repairpeer::RawRecord(L"bin\\Launcher.exe#000", 7, "mended") +
                                  repairpeer::RawRecord(L"data\\restored.dat#000", 8, "restored"));
        loopback::ReceiveAll(fd);
    });
    UseServer(server.Port());
    std::string output;
    EXPECT_EQ(RunRepair(output), 0) << output;
    size_t at = 0;
    for (const char *line : {"Scanning installed files. This may take a while.\n", "Connecting to patch servers.\n",
                             "Preparing download list.\n", "Receiving updated files.\n",
                             "(2 / 2 segments updated.)\n", "Patching completed.\n"})
    {
        const size_t found = output.find(line, at);
        ASSERT_NE(found, std::string::npos) << line << "\n" << output;
        at = found;
    }
    EXPECT_EQ(ReadFile(m_install / "bin" / "Launcher.exe"), "mended");
    EXPECT_EQ(ReadFile(m_install / "data" / "restored.dat"), "restored");
    EXPECT_TRUE(fs::exists(m_install / "repair.cks"));
    EXPECT_FALSE(Contains(ReadFile(m_registry), "IsPatching")) << ReadFile(m_registry);
}

TEST_F(UnattendedRepairTest, NoServerListeningExitsOneWithTheConnectError)
{
    UseServer(loopback::UnusedPort());
    std::string output;
    EXPECT_EQ(RunRepair(output), 1) << output;
    EXPECT_TRUE(Contains(output, "Unable to connect to patch servers.\n(Error 12 in stage 3)\n")) << output;
    EXPECT_TRUE(Contains(output, "Patching aborted.")) << output;
    EXPECT_TRUE(Contains(ReadFile(m_registry), "IsPatching")) << ReadFile(m_registry);
}
