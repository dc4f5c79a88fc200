// Whole-program runs in download mode: the unattended patcher asks patch servers on 127.0.0.1 for
// "patches.txt" and the steps 100 -> 101 -> 102, made by the project's own tools, and is checked
// by exit status, output and the installation's bytes.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <thread>

#include "E2eFixtures.h"
#include "RunningProgram.h"
#include "TestServers.h"

namespace fs = std::filesystem;
using namespace e2e;

namespace
{
std::string ListEntry(const std::string &source, const std::string &target, const std::string &data)
{
    return "source-version: " + source + "\ntarget-version: " + target +
           "\npatch-exe-url: http://unused.example/patcher.exe\npatch-data-url: " + data + "\n\n";
}

class DownloadRunTest : public e2e::PatcherRunTest
{
protected:
    // The reference builds and the packages are made once, into the directory the servers serve.
    static void SetUpTestSuite()
    {
        s_temp = std::make_unique<testfiles::TempDirectory>("pelmo-download-e2e");
        s_root = s_temp->Path();
        fs::create_directories(s_root / "served/steps");
        for (const char *version : {"100", "101", "102"})
        {
            const fs::path build = s_root / ("build-" + std::string(version));
            RunTool({kBuild + "/zelk-mksample", build.string(), "--version", version});
            fs::remove(build / "unins000.dat");
        }
        for (const auto &[from, to] : {std::pair{"100", "101"}, {"101", "102"}, {"101", "100"}})
            RunTool({kBuild + "/zelk-mkpatch", (s_root / ("build-" + std::string(from))).string(),
                     (s_root / ("build-" + std::string(to))).string(),
                     (s_root / "served/steps" / (std::string(from) + "_to_" + to + ".zip")).string()});
    }

    static void TearDownTestSuite() { s_temp.reset(); }

    void SetUp() override
    {
        MakeRunDirectory(s_root);
        // A port that answered a moment ago and now refuses: a patch server that is down.
        testservers::TestServer gone;
        ASSERT_TRUE(gone.Start("http_server.py", {"--root", m_dir.string()}));
        m_downServer = "http://127.0.0.1:" + std::to_string(gone.Port()) + "/patches";
    }

    void StartHttp(std::vector<std::string> options = {})
    {
        options.insert(options.end(), {"--root", (s_root / "served").string()});
        ASSERT_TRUE(m_http.Start("http_server.py", options)) << m_http.Output();
    }

    std::string HttpBase(const std::string &directory) const
    {
        return "http://127.0.0.1:" + std::to_string(m_http.Port()) + "/" + directory;
    }

    // The list of a server lives in its own directory beside the served steps.
    std::string PublishList(const std::string &directory, const std::string &text) const
    {
        WriteFile(s_root / "served" / directory / "patches.txt", text);
        return HttpBase(directory);
    }

    std::unique_ptr<RunningProgram> StartPatcher(const std::vector<std::string> &servers,
                                                 const std::string &finalVersion = "102")
    {
        std::vector<std::string> arguments{kBuild + "/pelmo-patcher", "-u"};
        for (const std::string &server : servers)
            arguments.push_back("--server=" + server);
        arguments.push_back("--final=" + finalVersion);
        arguments.push_back("100");
        arguments.push_back(m_install.string());
        return std::make_unique<RunningProgram>(
            arguments, Environment({"ZELK_TEST_TRANSFER_RETRY_PAUSE_MS=10", "no_proxy=127.0.0.1", "NO_PROXY=127.0.0.1"}));
    }

    int RunPatcher(const std::vector<std::string> &servers, std::string &output)
    {
        auto patcher = StartPatcher(servers);
        const int status = patcher->Wait();
        output = patcher->Output();
        return status;
    }

    std::vector<std::string> DifferencesFrom(const char *version) const
    {
        return TreeDifferences(m_install, s_root / ("build-" + std::string(version)));
    }

    static std::unique_ptr<testfiles::TempDirectory> s_temp;
    static fs::path s_root;
    std::string m_downServer;
    testservers::TestServer m_http;
};

std::unique_ptr<testfiles::TempDirectory> DownloadRunTest::s_temp;
fs::path DownloadRunTest::s_root;

// The first server is down; the second lists the first step beside itself (HTTP) and the second
// step on an FTP server.
TEST_F(DownloadRunTest, ChainOfTwoStepsFromTheSecondServer)
{
    StartHttp();
    testservers::TestServer ftp;
    ASSERT_TRUE(ftp.Start("ftp_server.py", {"--root", (s_root / "served").string()})) << ftp.Output();
    const std::string list = PublishList(
        "chain", ListEntry("100", "101", "../steps/100_to_101.zip") +
                     ListEntry("101", "102", "ftp://127.0.0.1:" + std::to_string(ftp.Port()) + "/steps/101_to_102.zip"));

    std::string output;
    EXPECT_EQ(RunPatcher({m_downServer, list}, output), 0) << output;
    EXPECT_TRUE(Contains(output, "Searching for patches...")) << output;
    EXPECT_TRUE(Contains(output, "Unable to download patch file: " + m_downServer + "/patches.txt")) << output;
    EXPECT_TRUE(Contains(output, "Client is at the final version: 102")) << output;
    EXPECT_TRUE(Contains(output, "Patching completed.")) << output;
    EXPECT_FALSE(Contains(output, "Patching aborted.")) << output;
    EXPECT_EQ(DifferencesFrom("102"), std::vector<std::string>());
    EXPECT_EQ(ReadFile(m_utilityLog), "repairdatabase patcher\n") << "the database is rebuilt once, at the end";
    EXPECT_FALSE(fs::exists(m_install / "patch-journal.txt"));
}

// Runs that end without reaching the final version but without a fault complete; the database is
// rebuilt only when a step was installed.
TEST_F(DownloadRunTest, EndOfTheChainBeforeTheFinalVersion)
{
    StartHttp();
    const struct
    {
        const char *name;
        std::string list;
        const char *message;
        const char *installed;
        bool rebuilt;
    } cases[] = {
        {"no step for the installed version", ListEntry("101", "102", "../steps/101_to_102.zip"),
         "No (more) patches at server for version: 100", "100", false},
        // A list that leads back to an installed version would patch for ever.
        {"a step back", ListEntry("100", "101", "../steps/100_to_101.zip") + ListEntry("101", "100", "../steps/101_to_100.zip"),
         "The patch list's step from version 101 leads back to version 100, which was already reached; it is not "
         "taken.\nNo (more) patches at server for version: 101",
         "101", true},
    };
    for (const auto &c : cases)
    {
        SCOPED_TRACE(c.name);
        fs::remove_all(m_install);
        RunTool({kBuild + "/zelk-mksample", m_install.string(), "--version", "100"});
        fs::remove(m_utilityLog);
        std::string output;
        EXPECT_EQ(RunPatcher({PublishList("end", c.list)}, output), 0) << output;
        EXPECT_TRUE(Contains(output, c.message)) << output;
        EXPECT_TRUE(Contains(output, "Patching completed.")) << output;
        EXPECT_EQ(DifferencesFrom(c.installed), std::vector<std::string>());
        EXPECT_EQ(fs::exists(m_utilityLog), c.rebuilt);
    }
}

// The second step arrives shorter than its server announced: the run fails and the first step
// stays installed.
TEST_F(DownloadRunTest, ShortDownloadAbortsAfterTheEarlierStep)
{
    const uintmax_t size = fs::file_size(s_root / "served/steps/101_to_102.zip");
    StartHttp({"--announce", "steps/101_to_102.zip=" + std::to_string(size + 1000)});
    const std::string list = PublishList(
        "short", ListEntry("100", "101", "../steps/100_to_101.zip") + ListEntry("101", "102", "../steps/101_to_102.zip"));

    std::string output;
    EXPECT_EQ(RunPatcher({list}, output), 1) << output;
    EXPECT_TRUE(Contains(output, "Patch download failed.")) << output;
    EXPECT_TRUE(Contains(output, "Patching aborted.")) << output;
    EXPECT_FALSE(Contains(output, "Patching completed.")) << output;
    EXPECT_EQ(DifferencesFrom("101"), std::vector<std::string>());
    EXPECT_FALSE(fs::exists(m_utilityLog)) << "no rebuild after a failed run";
}

TEST_F(DownloadRunTest, NoUsableServerAborts)
{
    std::string output;
    EXPECT_EQ(RunPatcher({m_downServer}, output), 1) << output;
    EXPECT_TRUE(Contains(output, "Unable to connect to any patch servers.")) << output;
    EXPECT_TRUE(Contains(output, "Patching aborted.")) << output;
    EXPECT_EQ(DifferencesFrom("100"), std::vector<std::string>());
}

// An interrupt stops a download that crawls along, and the installation is left as it was.
TEST_F(DownloadRunTest, InterruptEndsTheDownload)
{
    StartHttp({"--throttle", "4000"});
    const std::string list = PublishList("slow", ListEntry("100", "101", "../steps/100_to_101.zip"));
    auto patcher = StartPatcher({list});
    ASSERT_TRUE(patcher->WaitForOutput("Downloading patch file...")) << patcher->Output();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto interrupted = std::chrono::steady_clock::now();
    patcher->Signal(SIGINT);
    EXPECT_EQ(patcher->Wait(), 1) << patcher->Output();
    EXPECT_LT(std::chrono::steady_clock::now() - interrupted, std::chrono::seconds(10));
    EXPECT_TRUE(Contains(patcher->Output(), "Patch download failed.")) << patcher->Output();
    EXPECT_TRUE(Contains(patcher->Output(), "Patching aborted.")) << patcher->Output();
    EXPECT_EQ(DifferencesFrom("100"), std::vector<std::string>());
}
} // namespace
