// Whole-program repair runs: the unattended patcher (-u -r) against the built zelk-repair-server,
// on sample installations damaged with zelk-damage, checked by exit status, output, the registry
// file and the installation's bytes.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <thread>

#include "E2eFixtures.h"
#include "RunningProgram.h"

namespace fs = std::filesystem;
using namespace e2e;

namespace
{
constexpr uint64_t kSegment = 4194304;

// The files the repair leaves to the installation.
const std::set<std::string> kInstallationOwn = {"unins000.dat", "repair.cks"};

// Files only: records name files, so a directory emptied by a deletion stays.
std::map<std::string, std::string> Files(const fs::path &root)
{
    auto files = TreeContents(root, kInstallationOwn);
    std::erase_if(files, [](const auto &entry) { return entry.second == "<dir>"; });
    return files;
}

std::vector<std::string> Differences(const fs::path &actual, const fs::path &expected)
{
    const auto left = Files(actual);
    const auto right = Files(expected);
    std::vector<std::string> differences;
    for (const auto &[path, content] : left)
        if (right.count(path) == 0 || right.at(path) != content)
            differences.push_back((right.count(path) ? "differs " : "extra ") + path);
    for (const auto &[path, content] : right)
        if (left.count(path) == 0)
            differences.push_back("missing " + path);
    return differences;
}

class RepairRunTest : public PatcherRunTest
{
protected:
    // The reference build, and beside it files of many segments for the run that is cut off.
    static void SetUpTestSuite()
    {
        s_temp = std::make_unique<testfiles::TempDirectory>("pelmo-repair-e2e");
        RunTool({kBuild + "/zelk-mksample", (s_temp->Path() / "reference").string(), "--version", "100"});
        std::vector<std::string> bulk = {kBuild + "/zelk-damage", (s_temp->Path() / "reference").string()};
        for (int i = 0; i < kBulkFiles; ++i)
            bulk.insert(bulk.end(), {"--add", "data/bulk/part" + std::to_string(10 + i) + ".bin:" +
                                                  std::to_string(2 * kSegment + 1000 * i)});
        RunTool(bulk);
    }
    static void TearDownTestSuite() { s_temp.reset(); }

    static fs::path Reference() { return s_temp->Path() / "reference"; }

    void SetUp() override
    {
        MakeRunDirectory(s_temp->Path());
        m_baseRegistry = ReadFile(m_registry);
    }

    void StartServer()
    {
        m_server = std::make_unique<RunningProgram>(std::vector<std::string>{
            kBuild + "/zelk-repair-server", Reference().string(), "--bind", "127.0.0.1", "--port", "0", "--cache",
            (s_temp->Path() / "reference.cache").string()});
        ASSERT_TRUE(m_server->WaitForOutput(" of them from the cache\n", std::chrono::seconds(120)))
            << m_server->Output();
        const std::string output = m_server->Output();
        const size_t colon = output.find("127.0.0.1:") + 10;
        UseServerPort(output.substr(colon, output.find('\n') - colon));
    }

    // The registry names the repair server and says that a patch was under way.
    void UseServerPort(const std::string &port)
    {
        std::string registry = m_baseRegistry;
        registry += "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo]\n\"RepairServer\"=\"127.0.0.1:" + port + "\"\n";
        registry += "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo\\Products\\KorvilSimulator]\n\"IsPatching\"=dword:00000001\n";
        WriteFile(m_registry, registry);
    }

    // The server's line for the connection just served.
    std::string LastConnectionLine(size_t connections)
    {
        EXPECT_TRUE(m_server->WaitForOutput("entries", std::chrono::seconds(30)));
        for (int i = 0; i < 300; ++i)
        {
            std::string output = m_server->Output();
            size_t count = 0;
            for (size_t at = output.find(" entries "); at != std::string::npos; at = output.find(" entries ", at + 1))
                ++count;
            if (count >= connections)
            {
                output.pop_back();
                return output.substr(output.rfind('\n') + 1);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return std::string();
    }

    int Repair(std::string &output)
    {
        RunningProgram patcher({kBuild + "/pelmo-patcher", "-u", "-r"}, Environment());
        const int status = patcher.Wait();
        output = patcher.Output();
        return status;
    }

    static constexpr int kBulkFiles = 12;
    static inline std::unique_ptr<testfiles::TempDirectory> s_temp;
    std::unique_ptr<RunningProgram> m_server;
    std::string m_baseRegistry;
};

TEST_F(RepairRunTest, MakesADamagedInstallationTheReferenceAndASecondRunReadsNothingUnchanged)
{
    RunTool({kBuild + "/zelk-damage", m_install.string(), "--flip", "data/textures/terrain.pak:1", "--cut",
             "data/models/aircraft.mdl:1000", "--grow", "data/levels/region0.lvl:5000", "--delete",
             "data/scripts/missions.scr", "--add", "data/extra/notes.txt:300", "--grow", "data/config/empty.cfg:20"});
    const std::string uninstallLog = ReadFile(m_install / "unins000.dat");
    StartServer();

    std::string output;
    EXPECT_EQ(Repair(output), 0) << output;
    EXPECT_TRUE(Contains(output, "segments updated.)")) << output;
    EXPECT_EQ(Differences(m_install, Reference()), std::vector<std::string>());
    EXPECT_EQ(ReadFile(m_install / "unins000.dat"), uninstallLog) << "the installation keeps its own log";
    EXPECT_FALSE(Contains(ReadFile(m_registry), "IsPatching")) << ReadFile(m_registry);
    const std::string first = LastConnectionLine(1);
    EXPECT_TRUE(Contains(first, "cut 0, deleted 1, empty 1)")) << first;

    // Changed bytes behind an unchanged time: a run that read the file would fetch its segment.
    // The repair wrote the file within the second of its time, which a later change could share,
    // so its time counts only once it is an earlier one and a run has seen it.
    const fs::path terrain = m_install / "data/textures/terrain.pak";
    const auto time = fs::last_write_time(terrain) - std::chrono::minutes(1);
    fs::last_write_time(terrain, time);
    EXPECT_EQ(Repair(output), 0) << output;
    RunTool({kBuild + "/zelk-damage", m_install.string(), "--flip", "data/textures/terrain.pak:0"});
    fs::last_write_time(terrain, time);
    const std::string altered = ReadFile(terrain);

    EXPECT_EQ(Repair(output), 0) << output;
    const std::string third = LastConnectionLine(3);
    EXPECT_TRUE(Contains(third, "(raw 0, compressed 0, cut 0, deleted 0, empty 1)")) << third;
    EXPECT_TRUE(ReadFile(terrain) == altered) << "the unchanged file was read";
}

TEST_F(RepairRunTest, AServerThatIsNotRunningGivesTheConnectErrorAndStatus1)
{
    StartServer();
    m_server->Signal(SIGTERM);
    ASSERT_EQ(m_server->Wait(), 0);
    std::string output;
    EXPECT_EQ(Repair(output), 1) << output;
    EXPECT_TRUE(Contains(output, "Unable to connect to patch servers.")) << output;
    EXPECT_TRUE(Contains(output, "(Error ")) << output;
    EXPECT_TRUE(Contains(ReadFile(m_registry), "IsPatching")) << "the marker stays after a failed repair";
}

// Cut off after the first new file appeared, every file is as it was or the reference's up to a
// segment boundary; the next run completes the repair.
TEST_F(RepairRunTest, AServerKilledMidRepairLeavesWholeSegmentsAndTheNextRunCompletes)
{
    RunTool({kBuild + "/zelk-damage", m_install.string(), "--flip", "data/textures/terrain.pak:2"});
    const auto before = TreeContents(m_install, kInstallationOwn);
    StartServer();
    RunningProgram patcher({kBuild + "/pelmo-patcher", "-u", "-r"}, Environment());
    const fs::path firstNew = m_install / "data/bulk/part10.bin";
    for (int i = 0; i < 60000 && !fs::exists(firstNew); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    m_server->Signal(SIGKILL);
    EXPECT_EQ(patcher.Wait(), 1) << "the repair ended before the server was killed: " << patcher.Output();

    const auto reference = TreeContents(Reference(), kInstallationOwn);
    size_t partial = 0;
    for (const auto &[path, content] : TreeContents(m_install, kInstallationOwn))
    {
        if (content == "<dir>" || (before.count(path) && before.at(path) == content) ||
            (reference.count(path) && reference.at(path) == content))
            continue;
        // A file on its way: the reference's first segments, or the old bytes with some segments
        // replaced, never a segment in part.
        ASSERT_TRUE(reference.count(path)) << path;
        const std::string &expected = reference.at(path);
        const std::string old = before.count(path) ? before.at(path) : std::string();
        for (uint64_t start = 0; start < content.size(); start += kSegment)
        {
            const std::string piece = content.substr(start, kSegment);
            EXPECT_TRUE(piece == expected.substr(start, kSegment) || piece == old.substr(start, kSegment))
                << path << " segment " << start / kSegment;
        }
        ++partial;
    }
    EXPECT_LE(partial, 1u) << "segments are written one file after the other";

    StartServer();
    std::string output;
    EXPECT_EQ(Repair(output), 0) << output;
    EXPECT_EQ(Differences(m_install, Reference()), std::vector<std::string>());
}
} // namespace
