// Whole-program runs of the preflight check, `pelmo-patcher --check -u`, on a sample installation
// of version 100 with the steps 100 -> 101 -> 102 on a real HTTP server: the report's figures, the
// exit status a script reads, and that the check changes nothing.
#include <gtest/gtest.h>

#include <sys/statvfs.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "E2eFixtures.h"
#include "RunningProgram.h"
#include "TestServers.h"

namespace fs = std::filesystem;
using namespace e2e;

namespace
{
class PreflightCheckTest : public e2e::PatcherRunTest
{
protected:
    static void SetUpTestSuite()
    {
        s_temp = std::make_unique<testfiles::TempDirectory>("pelmo-preflight-e2e");
        s_root = s_temp->Path();
        fs::create_directories(s_root / "served/steps");
        fs::create_directories(s_root / "served/list");
        for (const char *version : {"100", "101", "102"})
        {
            RunTool({kBuild + "/zelk-mksample", (s_root / ("build-" + std::string(version))).string(), "--version",
                     version});
            fs::remove(s_root / ("build-" + std::string(version)) / "unins000.dat");
        }
        for (const auto &[from, to] : {std::pair{"100", "101"}, {"101", "102"}})
            RunTool({kBuild + "/zelk-mkpatch", (s_root / ("build-" + std::string(from))).string(),
                     (s_root / ("build-" + std::string(to))).string(), Step(from, to).string()});
        RunTool({kBuild + "/zelk-mklist", (s_root / "served/list/patches.txt").string(), "--step",
                 "100:101:" + Step("100", "101").string() + ":../steps/100_to_101.zip", "--step",
                 "101:102:" + Step("101", "102").string() + ":../steps/101_to_102.zip"});
    }

    static void TearDownTestSuite() { s_temp.reset(); }

    static fs::path Step(const std::string &from, const std::string &to)
    {
        return s_root / "served/steps" / (from + "_to_" + to + ".zip");
    }

    void SetUp() override
    {
        MakeRunDirectory(s_root);
        ASSERT_TRUE(m_http.Start("http_server.py", {"--root", (s_root / "served").string()})) << m_http.Output();
    }

    // The check's exit status; output holds what it printed. The installation, the registry and
    // the temporary directory are as they were afterwards, whatever the check found.
    int Check(const std::string &finalVersion, std::string &output, std::vector<std::string> environment = {})
    {
        const std::string registry = ReadFile(m_registry);
        const auto installation = TreeContents(m_install, {});
        environment.insert(environment.end(), {"no_proxy=127.0.0.1", "NO_PROXY=127.0.0.1"});
        RunningProgram patcher({kBuild + "/pelmo-patcher", "--check", "-u",
                                "--server=http://127.0.0.1:" + std::to_string(m_http.Port()) + "/list",
                                "--final=" + finalVersion, "100", m_install.string()},
                               Environment(environment));
        const int status = patcher.Wait();
        output = patcher.Output();
        EXPECT_EQ(ReadFile(m_registry), registry);
        EXPECT_TRUE(TreeContents(m_install, {}) == installation) << "the check changed the installation";
        EXPECT_TRUE(fs::is_empty(m_dir / "temp")) << "the check left temporary files";
        EXPECT_FALSE(Contains(output, "Patching")) << output;
        return status;
    }

    static std::unique_ptr<testfiles::TempDirectory> s_temp;
    static fs::path s_root;
    testservers::TestServer m_http;
};

std::unique_ptr<testfiles::TempDirectory> PreflightCheckTest::s_temp;
fs::path PreflightCheckTest::s_root;

TEST_F(PreflightCheckTest, AReportOfARunThatWouldGoAhead)
{
    std::string output;
    EXPECT_EQ(Check("102", output), 0) << output;
    const uintmax_t first = fs::file_size(Step("100", "101"));
    const uintmax_t second = fs::file_size(Step("101", "102"));
    const std::string list = "http://127.0.0.1:" + std::to_string(m_http.Port()) + "/list";
    for (const std::string &expected :
         {"Installation: " + m_install.string(), std::string("Current version: 100"), std::string("Target version: 102"),
          std::string("Elevation needed: no"), std::string("A product program holds the installation: no"),
          std::string("Mode: download"), "Patch list: " + list,
          "Step: 100 to 101, " + std::to_string(first) + " bytes, " + list + "/../steps/100_to_101.zip",
          "Step: 101 to 102, " + std::to_string(second) + " bytes, " + list + "/../steps/101_to_102.zip",
          "Bytes to download: " + std::to_string(first + second), std::string("Would go ahead: yes")})
        EXPECT_TRUE(Contains(output, expected + "\n")) << expected << "\n" << output;

    // The temporary files and the installation share the test's volume: its free space as the
    // system gives it, give or take what other programs write meanwhile.
    const std::regex volume("Volume of the temporary files and the installation \\(([^)]*)\\): to write " +
                            std::to_string(first + second) +
                            " bytes of step archives, then the packages' files; free ([0-9]+) bytes; "
                            "required 4294967296 bytes\n");
    std::smatch match;
    ASSERT_TRUE(std::regex_search(output, match, volume)) << output;
    EXPECT_EQ(match[1].str(), m_install.string());
    struct statvfs info;
    ASSERT_EQ(statvfs(m_install.c_str(), &info), 0);
    const double actual = static_cast<double>(info.f_bavail) * info.f_frsize;
    EXPECT_NEAR(std::stod(match[2].str()), actual, 256.0 * 1048576) << output;
}

// Exit status 1 with the reason, for each thing that stops a run.
TEST_F(PreflightCheckTest, ReasonsARunWouldNotGoAhead)
{
    std::string output;
    EXPECT_EQ(Check("102", output, {"ZELK_TEST_FREE_SPACE_MB=100"}), 1) << output;
    EXPECT_TRUE(Contains(output, "free 104857600 bytes; required 4294967296 bytes\n")) << output;
    EXPECT_TRUE(Contains(output, "Would go ahead: no, too little free space on the volume of the temporary files and "
                                 "the installation.\n"))
        << output;

    EXPECT_EQ(Check("100", output), 1) << output;
    EXPECT_TRUE(Contains(output, "Bytes to download: 0\n")) << output;
    EXPECT_TRUE(Contains(output, "Would go ahead: no, the installation is already at the target version 100.\n"))
        << output;

    {
        RunningProgram product({kBuild + "/zelk-product-instance", m_install.string()});
        ASSERT_TRUE(product.WaitForOutput("ready")) << product.Output();
        EXPECT_EQ(Check("102", output), 1) << output;
        EXPECT_TRUE(Contains(output, "A product program holds the installation: yes\n")) << output;
        EXPECT_TRUE(Contains(output, "Would go ahead: no, a product program holds the installation.\n")) << output;
        product.Signal(SIGTERM);
        EXPECT_EQ(product.Wait(), 0);
    }

    // With a publisher key, the list is verified as a run would: this one is not signed.
    RunTool({kBuild + "/zelk-sign", "keygen", (m_dir / "key.pem").string(), (m_dir / "key.pub").string()});
    const std::string key = ReadFile(m_dir / "key.pub");
    WriteFile(m_registry, ReadFile(m_registry) + "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo]\n\"PublisherKey\"=\"" +
                              key.substr(0, key.find('\n')) + "\"\n");
    EXPECT_EQ(Check("102", output), 1) << output;
    EXPECT_TRUE(Contains(output, "/list is refused: its signature ")) << output;
    EXPECT_TRUE(Contains(output, "Would go ahead: no, no patch server serves a usable patch list.\n")) << output;
}
} // namespace
