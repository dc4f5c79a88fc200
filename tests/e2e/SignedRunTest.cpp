// Whole-program runs of a patcher that trusts a publisher key (the registry value PublisherKey):
// lists, archives and payloads made and signed by the publisher's own tools, served by the real
// HTTP and FTP test servers, and what an attacker in a server's place can and cannot make it do.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "E2eFixtures.h"
#include "RunningProgram.h"
#include "TestServers.h"

namespace fs = std::filesystem;
using namespace e2e;

namespace
{
// The publisher's key pair and the steps 100 -> 101 -> 102, made once for every test.
class SignedRunFiles
{
public:
    SignedRunFiles() : m_temp("pelmo-signed-e2e"), m_root(m_temp.Path())
    {
        fs::create_directories(m_root / "served/steps");
        for (const char *version : {"100", "101", "102"})
        {
            const fs::path build = Build(version);
            RunTool({kBuild + "/zelk-mksample", build.string(), "--version", version}, &m_digests[version]);
            fs::remove(build / "unins000.dat");
        }
        for (const auto &[from, to] : {std::pair{"100", "101"}, {"101", "102"}})
            RunTool({kBuild + "/zelk-mkpatch", Build(from).string(), Build(to).string(), Step(from, to).string()});
        RunTool({kBuild + "/zelk-sign", "keygen", PrivateKey(), (m_root / "publisher.pub").string()});
        RunTool({kBuild + "/zelk-sign", "keygen", (m_root / "other.pem").string(), (m_root / "other.pub").string()});
    }

    const fs::path &Root() const { return m_root; }
    fs::path Build(const std::string &version) const { return m_root / ("build-" + version); }
    fs::path Step(const std::string &from, const std::string &to) const
    {
        return m_root / "served/steps" / (from + "_to_" + to + ".zip");
    }
    std::string PrivateKey() const { return (m_root / "publisher.pem").string(); }
    std::string OtherPrivateKey() const { return (m_root / "other.pem").string(); }
    std::string PublicKeyLine() const
    {
        const std::string text = ReadFile(m_root / "publisher.pub");
        return text.substr(0, text.find('\n'));
    }
    // The hash line zelk-mksample printed for the build's launcher.
    std::string BuildHash(const std::string &version) const
    {
        const std::string &digest = m_digests.at(version);
        return digest.substr(0, digest.find('\n'));
    }

private:
    testfiles::TempDirectory m_temp;
    fs::path m_root;
    std::map<std::string, std::string> m_digests;
};

class SignedRunTest : public e2e::PatcherRunTest
{
protected:
    static void SetUpTestSuite() { s_files = std::make_unique<SignedRunFiles>(); }
    static void TearDownTestSuite() { s_files.reset(); }

    void SetUp() override
    {
        MakeRunDirectory(s_files->Root());
        TrustPublisher();
    }

    // The machine trusts the publisher key; serial is the newest list it has accepted, if any.
    void TrustPublisher(const std::string &serial = std::string())
    {
        std::string registry = ReadFile(m_registry);
        registry += "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo]\n\"PublisherKey\"=\"" + s_files->PublicKeyLine() + "\"\n";
        if (!serial.empty())
            registry += "\"PatchListSerial\"=\"" + serial + "\"\n";
        WriteFile(m_registry, registry);
    }

    void StartServers()
    {
        ASSERT_TRUE(m_http.Start("http_server.py", {"--root", (s_files->Root() / "served").string()}))
            << m_http.Output();
        ASSERT_TRUE(m_ftp.Start("ftp_server.py", {"--root", (s_files->Root() / "served").string()}))
            << m_ftp.Output();
    }

    std::string HttpBase(const std::string &directory) const
    {
        return "http://127.0.0.1:" + std::to_string(m_http.Port()) + "/" + directory;
    }
    std::string FtpBase(const std::string &directory) const
    {
        return "ftp://127.0.0.1:" + std::to_string(m_ftp.Port()) + "/" + directory;
    }

    // A list made by zelk-mklist in the served directory, signed with signingKey unless it is empty.
    // steps are FROM:TO:ARCHIVE[:ADDRESS] as the tool takes them.
    fs::path PublishList(const std::string &directory, const std::vector<std::string> &steps,
                         const std::string &signingKey, const std::string &serial = std::string())
    {
        const fs::path list = s_files->Root() / "served" / directory / "patches.txt";
        fs::create_directories(list.parent_path());
        fs::remove(list);
        fs::remove(list.string() + ".sig");
        std::vector<std::string> arguments{kBuild + "/zelk-mklist", list.string()};
        for (const std::string &step : steps)
            arguments.insert(arguments.end(), {"--step", step});
        if (!serial.empty())
            arguments.insert(arguments.end(), {"--serial", serial});
        if (!signingKey.empty())
            arguments.insert(arguments.end(), {"--sign", signingKey});
        RunTool(arguments);
        return list;
    }

    std::string StepArgument(const std::string &from, const std::string &to, const std::string &address) const
    {
        return from + ":" + to + ":" + s_files->Step(from, to).string() + ":" + address;
    }

    int RunPatcher(const std::vector<std::string> &servers, const std::string &finalVersion, std::string &output)
    {
        std::vector<std::string> arguments{kBuild + "/pelmo-patcher", "-u"};
        for (const std::string &server : servers)
            arguments.push_back("--server=" + server);
        arguments.push_back("--final=" + finalVersion);
        arguments.push_back("100");
        arguments.push_back(m_install.string());
        RunningProgram patcher(arguments, Environment({"ZELK_TEST_TRANSFER_RETRY_PAUSE_MS=10", "no_proxy=127.0.0.1",
                                                       "NO_PROXY=127.0.0.1"}));
        const int status = patcher.Wait();
        output = patcher.Output();
        return status;
    }

    std::vector<std::string> DifferencesFrom(const std::string &version) const
    {
        return TreeDifferences(m_install, s_files->Build(version));
    }

    // What the run left in its temporary directory: no archive may outlive a refusal.
    std::vector<std::string> TemporaryFiles() const
    {
        std::vector<std::string> files;
        for (const fs::directory_entry &entry : fs::recursive_directory_iterator(m_dir / "temp"))
            if (entry.is_regular_file())
                files.push_back(entry.path().filename().string());
        return files;
    }

    static std::unique_ptr<SignedRunFiles> s_files;
    testservers::TestServer m_http;
    testservers::TestServer m_ftp;
};

std::unique_ptr<SignedRunFiles> SignedRunTest::s_files;

// The first step beside the list on the HTTP server, the second on the FTP server; the list
// served by FTP.
TEST_F(SignedRunTest, SignedChainInstallsAndItsSerialIsKept)
{
    StartServers();
    PublishList("signed", {StepArgument("100", "101", "../steps/100_to_101.zip"),
                           StepArgument("101", "102", HttpBase("steps/101_to_102.zip"))},
                s_files->PrivateKey(), "7");

    std::string output;
    EXPECT_EQ(RunPatcher({FtpBase("signed")}, "102", output), 0) << output;
    EXPECT_TRUE(Contains(output, "Patching completed.")) << output;
    EXPECT_EQ(DifferencesFrom("102"), std::vector<std::string>());
    EXPECT_TRUE(Contains(ReadFile(m_registry), "\"PatchListSerial\"=\"7\"")) << ReadFile(m_registry);
}

// What an attacker can serve in the publisher's place: each list is that server's failed list,
// and the run goes on to the next server, whose good list installs.
TEST_F(SignedRunTest, ABadListOnTheFirstServerLeadsToTheSecond)
{
    StartServers();
    const std::vector<std::string> steps{StepArgument("100", "101", HttpBase("steps/100_to_101.zip"))};
    PublishList("good", steps, s_files->PrivateKey(), "3");
    const struct
    {
        const char *name;
        std::string signingKey;
        std::string why;
    } cases[] = {
        {"signed by another key", s_files->OtherPrivateKey(), "the signature does not match the publisher key"},
        {"not signed", "", "its signature " + HttpBase("bad/patches.txt.sig") + " cannot be downloaded"},
        {"a list changed after signing", "changed", "the signature does not match the publisher key"},
        {"a signature file of other text", "garbage", "the signature is not well formed"},
    };
    for (const auto &c : cases)
    {
        SCOPED_TRACE(c.name);
        fs::remove_all(m_install);
        RunTool({kBuild + "/zelk-mksample", m_install.string(), "--version", "100"});
        const bool ownKey = c.signingKey == "changed" || c.signingKey == "garbage";
        const fs::path bad = PublishList("bad", steps, ownKey ? s_files->PrivateKey() : c.signingKey, "3");
        if (c.signingKey == "changed")
            WriteFile(bad, ReadFile(bad) + "\nsource-version: 101\ntarget-version: 102\n"
                                           "patch-exe-url: x\npatch-data-url: ../steps/101_to_102.zip\n");
        if (c.signingKey == "garbage")
            WriteFile(bad.string() + ".sig", "<html>not found</html>\n");

        std::string output;
        EXPECT_EQ(RunPatcher({HttpBase("bad"), FtpBase("good")}, "102", output), 0) << output;
        EXPECT_TRUE(Contains(output, "The patch list of " + HttpBase("bad") + " is refused: " + c.why)) << output;
        EXPECT_EQ(DifferencesFrom("101"), std::vector<std::string>());
    }
}

// An archive replaced on the server after the list was signed: of the same size, it is refused
// and deleted before anything unpacks it; longer, its download stops once it outgrows the listed
// size. Either way the installation is untouched.
TEST_F(SignedRunTest, AnArchiveReplacedAfterSigningIsDeletedUnopened)
{
    StartServers();
    const fs::path swapped = s_files->Root() / "served/swapped/100_to_101.zip";
    const std::string original = ReadFile(s_files->Step("100", "101"));
    const struct
    {
        const char *name;
        std::string served;
        const char *why;
    } cases[] = {
        {"same size, other bytes", original.substr(0, original.size() / 2) +
                                       static_cast<char>(original[original.size() / 2] ^ 0x5a) +
                                       original.substr(original.size() / 2 + 1),
         "the archive's SHA-256 differs from the list's."},
        {"longer", original + std::string(16 * 1024 * 1024, 'x'), "it is larger than the patch list says."},
    };
    for (const auto &c : cases)
    {
        SCOPED_TRACE(c.name);
        fs::create_directories(swapped.parent_path());
        WriteFile(swapped, original);
        PublishList("swapped", {"100:101:" + swapped.string()}, s_files->PrivateKey());
        WriteFile(swapped, c.served);

        std::string output;
        EXPECT_EQ(RunPatcher({FtpBase("swapped")}, "101", output), 1) << output;
        EXPECT_TRUE(Contains(output, "The downloaded archive " + FtpBase("swapped/100_to_101.zip") +
                                         " is refused and deleted: " + c.why))
            << output;
        EXPECT_FALSE(Contains(output, "Unpacking patch file...")) << output;
        EXPECT_TRUE(Contains(output, "Patching aborted.")) << output;
        EXPECT_EQ(DifferencesFrom("100"), std::vector<std::string>());
        EXPECT_EQ(TemporaryFiles(), std::vector<std::string>());
    }
}

// A list older than one the machine has accepted is an old chain served again; a list whose step
// gives no digest vouches for nothing. Neither is used, whatever its signature.
TEST_F(SignedRunTest, ReplayedListsAndStepsWithoutDigestAreRefused)
{
    StartServers();
    // The machine accepts serial 5 on a first run.
    PublishList("replay", {StepArgument("100", "101", "../steps/100_to_101.zip")}, s_files->PrivateKey(), "5");
    std::string output;
    ASSERT_EQ(RunPatcher({HttpBase("replay")}, "101", output), 0) << output;
    ASSERT_EQ(DifferencesFrom("101"), std::vector<std::string>());
    fs::remove_all(m_install);
    RunTool({kBuild + "/zelk-mksample", m_install.string(), "--version", "100"});

    // The older list 4, signed by the publisher in its day, served again.
    PublishList("replay", {StepArgument("100", "101", "../steps/100_to_101.zip")}, s_files->PrivateKey(), "4");
    EXPECT_EQ(RunPatcher({HttpBase("replay")}, "101", output), 1) << output;
    EXPECT_TRUE(Contains(output, "The patch list of " + HttpBase("replay") +
                                     " is refused: it is older than a list this machine has accepted "
                                     "(list-serial 4, newest accepted 5)."))
        << output;
    EXPECT_TRUE(Contains(output, "Unable to connect to any patch servers.")) << output;
    EXPECT_EQ(DifferencesFrom("100"), std::vector<std::string>());

    // A signed list whose step names no digest: the tool always writes one, so it is written here.
    const fs::path list = s_files->Root() / "served/nodigest/patches.txt";
    fs::create_directories(list.parent_path());
    WriteFile(list, "list-serial: 6\n\nsource-version: 100\ntarget-version: 101\npatch-exe-url: x\n"
                    "patch-data-url: ../steps/100_to_101.zip\n");
    RunTool({kBuild + "/zelk-sign", "sign", s_files->PrivateKey(), list.string()});
    EXPECT_EQ(RunPatcher({HttpBase("nodigest")}, "101", output), 1) << output;
    EXPECT_TRUE(Contains(output, "The step from 100 to 101 is not used: the list gives no SHA-256 for the archive."))
        << output;
    EXPECT_FALSE(Contains(output, "Downloading patch file...")) << output;
    EXPECT_EQ(DifferencesFrom("100"), std::vector<std::string>());
}

// A standalone patcher signed by the publisher runs; one with a byte of a step changed, one
// without a signature, and one signed by another key are refused before any file changes.
TEST_F(SignedRunTest, StandalonePayloads)
{
    const struct
    {
        const char *name;
        std::string signingKey;
        bool flipStepByte;
        int status;
        const char *message;
    } cases[] = {
        {"signed", s_files->PrivateKey(), false, 0, "Patching completed."},
        {"a byte of the step changed", s_files->PrivateKey(), true, 1,
         "The patch payload is refused: the signature does not match the publisher key."},
        {"unsigned", "", false, 1, "The patch payload is refused: there is no signature."},
        {"signed by another key", s_files->OtherPrivateKey(), false, 1,
         "The patch payload is refused: the signature does not match the publisher key."},
    };
    const std::string stepArchive = ReadFile(s_files->Step("100", "101"));
    for (const auto &c : cases)
    {
        SCOPED_TRACE(c.name);
        fs::remove_all(m_install);
        RunTool({kBuild + "/zelk-mksample", m_install.string(), "--version", "100"});
        const std::string patcher = (m_dir / "pelmo-patcher-101").string();
        fs::remove(patcher);
        std::vector<std::string> arguments{kBuild + "/zelk-mkpayload", kBuild + "/pelmo-patcher", patcher,
                                           "--target", "101", "--build", s_files->BuildHash("100") + "=100",
                                           "--step", "100:101:" + s_files->Step("100", "101").string()};
        if (!c.signingKey.empty())
            arguments.insert(arguments.end(), {"--sign", c.signingKey});
        RunTool(arguments);
        if (c.flipStepByte)
        {
            std::string bytes = ReadFile(fs::path(patcher));
            const size_t step = bytes.find(stepArchive.substr(0, 4096));
            ASSERT_NE(step, std::string::npos);
            bytes[step + stepArchive.size() / 2] ^= 1;
            WriteFile(fs::path(patcher), bytes);
            fs::permissions(patcher, fs::perms::owner_all);
        }

        RunningProgram run({patcher, "-u"}, Environment());
        EXPECT_EQ(run.Wait(), c.status) << run.Output();
        EXPECT_TRUE(Contains(run.Output(), c.message)) << run.Output();
        EXPECT_EQ(DifferencesFrom(c.status == 0 ? "101" : "100"), std::vector<std::string>());
        EXPECT_EQ(TemporaryFiles(), std::vector<std::string>());
    }
}

// A key that is configured but cannot be read is never taken for no key.
TEST_F(SignedRunTest, AnUnreadableKeyStopsTheRun)
{
    StartServers();
    PublishList("signed", {StepArgument("100", "101", "../steps/100_to_101.zip")}, s_files->PrivateKey());
    std::string registry = ReadFile(m_registry);
    const std::string line = s_files->PublicKeyLine();
    registry.replace(registry.find(line), line.size(), "not a key");
    WriteFile(m_registry, registry);

    std::string output;
    EXPECT_EQ(RunPatcher({HttpBase("signed")}, "101", output), 1) << output;
    EXPECT_TRUE(Contains(output, "The publisher key cannot be used, so nothing can be trusted: the registry value "
                                 "PublisherKey is not the base64 text of a 32-byte public key."))
        << output;
    EXPECT_EQ(DifferencesFrom("100"), std::vector<std::string>());
}
} // namespace
