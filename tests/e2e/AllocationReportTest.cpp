// The allocation tracker's exit report of the built patcher, on the debugger output that
// ZELK_DEBUG_OUTPUT=stderr turns on: a run of each kind frees everything our code allocated, and
// what the libraries keep for themselves is counted, not listed.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>

#include "E2eFixtures.h"
#include "LoopbackPeer.h"
#include "RunningProgram.h"
#include "ScriptedRepairServer.h"

namespace fs = std::filesystem;
using namespace e2e;

namespace
{
class AllocationReportTest : public e2e::PatcherRunTest
{
protected:
    // A standalone patcher with the step 100 -> 101.
    static void SetUpTestSuite()
    {
        s_temp = std::make_unique<testfiles::TempDirectory>("pelmo-alloc-e2e");
        const fs::path root = s_temp->Path();
        std::string digest;
        for (const char *version : {"101", "100"})
        {
            RunTool({kBuild + "/zelk-mksample", (root / version).string(), "--version", version}, &digest);
            fs::remove(root / version / "unins000.dat");
        }
        RunTool({kBuild + "/zelk-mkpatch", (root / "100").string(), (root / "101").string(),
                 (root / "step.zip").string()});
        s_patcher = root / "pelmo-patcher-101";
        RunTool({kBuild + "/zelk-mkpayload", kBuild + "/pelmo-patcher", s_patcher.string(), "--target", "101",
                 "--build", digest.substr(0, digest.find('\n')) + "=100", "--step",
                 "100:101:" + (root / "step.zip").string()});
    }

    static void TearDownTestSuite() { s_temp.reset(); }

    void SetUp() override { MakeRunDirectory(s_temp->Path()); }

    static std::unique_ptr<testfiles::TempDirectory> s_temp;
    static fs::path s_patcher;
};

std::unique_ptr<testfiles::TempDirectory> AllocationReportTest::s_temp;
fs::path AllocationReportTest::s_patcher;

// Answers one repair client with one segment.
void ServeOneSegment(int fd)
{
    repairpeer::Handshake(fd);
    loopback::SendAll(fd, repairpeer::Uint32(1) + repairpeer::RawRecord(L"data\\restored.dat#000", 8, "restored"));
    loopback::ReceiveAll(fd);
}
} // namespace

TEST_F(AllocationReportTest, EachKindOfRunFreesWhatItAllocated)
{
    loopback::Peer repairServer(ServeOneSegment);
    std::ofstream(m_registry, std::ios::app) << "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo]\n\"RepairServer\"=\"127.0.0.1:"
                                             << repairServer.Port() << "\"\n";
    const struct
    {
        const char *name;
        std::vector<std::string> command;
        int status;
        const char *said;
    } runs[] = {
        {"no mode", {kBuild + "/pelmo-patcher", "-u"}, 2, "No valid patch operation was specified."},
        {"standalone", {s_patcher.string(), "-u"}, 0, "Patching from 100 to 101."},
        {"repair", {kBuild + "/pelmo-patcher", "-u", "-r"}, 0, "(1 / 1 segments updated.)"},
    };
    for (const auto &run : runs)
    {
        SCOPED_TRACE(run.name);
        RunningProgram patcher(run.command, Environment({"ZELK_DEBUG_OUTPUT=stderr"}));
        EXPECT_EQ(patcher.Wait(), run.status) << patcher.Output();
        const std::string output = patcher.Output();
        EXPECT_TRUE(Contains(output, run.said)) << output;
        EXPECT_TRUE(Contains(output, "\n\nA total of 0 leaks at 0 locations.\n")) << output;
        // The toolkit's start-up keeps its blocks for the life of the process.
        EXPECT_TRUE(std::regex_search(
            output, std::regex("\n[1-9][0-9]* memory blocks at [1-9][0-9]* locations were allocated by libraries "
                               "alone and are not listed\\.\n")))
            << output;
        EXPECT_FALSE(std::regex_search(output, std::regex("never freed|unknown memory block"))) << output;
    }
}
