// Whole-program repair runs against a repair manifest made by zelk-mkmanifest: the unattended
// patcher (-u -r) repairing from the HTTP test server, and checking zelk-repair-server's records
// against a signed manifest. What counts: the exit status and the messages, the installation's
// bytes, and the requests the web server answered.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "E2eFixtures.h"
#include "RunningProgram.h"
#include "TestServers.h"

namespace fs = std::filesystem;
using namespace e2e;

namespace
{
constexpr uint64_t kSegment = 4194304;
constexpr uint64_t kBlock = 65536;
constexpr size_t kTransfers = 4;
constexpr const char *kSerial = "5";

// The files a repair leaves to the installation.
const std::set<std::string> kInstallationOwn = {"unins000.dat", "repair.cks", "repair.sha"};

std::map<std::string, std::string> Files(const fs::path &root)
{
    auto files = TreeContents(root, kInstallationOwn);
    std::erase_if(files, [](const auto &entry) { return entry.second == "<dir>"; });
    return files;
}

// Every byte of after is as it was before or, segment by segment, the reference's; every file
// that went is one the reference lacks. The problems found, by path.
std::vector<std::string> UnvouchedChanges(const std::map<std::string, std::string> &before,
                                          const std::map<std::string, std::string> &after,
                                          const std::map<std::string, std::string> &reference)
{
    std::vector<std::string> problems;
    for (const auto &[path, content] : after)
    {
        const auto old = before.find(path);
        if (old != before.end() && old->second == content)
            continue;
        const auto wanted = reference.find(path);
        if (wanted == reference.end())
        {
            problems.push_back("unvouched file " + path);
            continue;
        }
        const std::string previous = old == before.end() ? std::string() : old->second;
        for (uint64_t start = 0; start < content.size(); start += kSegment)
        {
            const std::string piece = content.substr(start, kSegment);
            if (piece != wanted->second.substr(std::min<uint64_t>(start, wanted->second.size()), kSegment) &&
                piece != previous.substr(std::min<uint64_t>(start, previous.size()), kSegment))
                problems.push_back("unvouched bytes in " + path + " segment " + std::to_string(start / kSegment));
        }
    }
    for (const auto &[path, content] : before)
        if (after.count(path) == 0 && reference.count(path) != 0)
            problems.push_back("deleted " + path);
    return problems;
}

// One line of the HTTP test server's access log.
struct Answer
{
    std::string method;
    std::string path;
    std::string range;
    int status = 0;
    uint64_t bytes = 0;
    int port = 0;
};

std::vector<Answer> Answers(const fs::path &log)
{
    std::vector<Answer> answers;
    std::istringstream lines(ReadFile(log));
    Answer answer;
    while (lines >> answer.method >> answer.path >> answer.range >> answer.status >> answer.bytes >> answer.port)
        answers.push_back(answer);
    return answers;
}

// The reference (a sample installation with a file of exactly two segments), published twice by
// zelk-mkmanifest: signed by the publisher in served/, unsigned in unsigned/.
class HttpRepairFiles
{
public:
    HttpRepairFiles() : m_temp("pelmo-httprepair-e2e"), m_root(m_temp.Path())
    {
        RunTool({kBuild + "/zelk-mksample", Reference().string(), "--version", "100"});
        RunTool({kBuild + "/zelk-damage", Reference().string(), "--add",
                 "data/bulk/whole.bin:" + std::to_string(2 * kSegment)});
        RunTool({kBuild + "/zelk-sign", "keygen", Key("publisher.pem"), Key("publisher.pub")});
        RunTool({kBuild + "/zelk-sign", "keygen", Key("other.pem"), Key("other.pub")});
        RunTool({kBuild + "/zelk-mkmanifest", Reference().string(), Served().string(), "--serial", kSerial, "--sign",
                 Key("publisher.pem")});
        m_referenceFiles = Files(Reference());
    }

    const fs::path &Root() const { return m_root; }
    fs::path Served() const { return m_root / "served"; }
    fs::path Reference() const { return Served() / "files"; }
    std::string Key(const std::string &name) const { return (m_root / name).string(); }
    std::string PublicKeyLine() const
    {
        const std::string text = ReadFile(m_root / "publisher.pub");
        return text.substr(0, text.find('\n'));
    }
    const std::map<std::string, std::string> &ReferenceFiles() const { return m_referenceFiles; }

private:
    testfiles::TempDirectory m_temp;
    fs::path m_root;
    std::map<std::string, std::string> m_referenceFiles;
};

// A copy of a tree whose files are links to the original's, so that a variant costs nothing;
// a file to be changed is replaced, never written through its link.
void LinkTree(const fs::path &from, const fs::path &to)
{
    fs::create_directories(to);
    for (const fs::directory_entry &entry : fs::recursive_directory_iterator(from))
    {
        const fs::path target = to / fs::relative(entry.path(), from);
        if (entry.is_directory())
            fs::create_directories(target);
        else
            fs::create_hard_link(entry.path(), target);
    }
}

void ReplaceFile(const fs::path &path, const std::string &bytes)
{
    fs::remove(path);
    WriteFile(path, bytes);
}

// The file with the byte at offset inverted.
std::string Flipped(const fs::path &path, uint64_t offset)
{
    std::string bytes = ReadFile(path);
    bytes[offset] = static_cast<char>(~bytes[offset]);
    return bytes;
}

// Made once for each suite.
std::unique_ptr<HttpRepairFiles> g_files;

class HttpRepairRunTest : public PatcherRunTest
{
protected:
    static void SetUpTestSuite() { g_files = std::make_unique<HttpRepairFiles>(); }
    static void TearDownTestSuite() { g_files.reset(); }

    // The installation starts as a copy of the reference.
    void SetUp() override
    {
        MakeRunDirectory(g_files->Root());
        fs::remove_all(m_install);
        fs::copy(g_files->Reference(), m_install, fs::copy_options::recursive);
        m_baseRegistry = ReadFile(m_registry);
    }

    // The damage of every kind the repair must undo, one flipped byte among them.
    void Damage()
    {
        RunTool({kBuild + "/zelk-damage", m_install.string(), "--flip-byte", "data/textures/terrain.pak:1", "--cut",
                 "data/models/aircraft.mdl:1000", "--grow", "data/levels/region0.lvl:5000", "--delete",
                 "data/scripts/missions.scr", "--add", "data/extra/notes.txt:300", "--grow", "data/config/empty.cfg:20",
                 "--grow", "data/bulk/whole.bin:100", "--cut", "data/sounds/ambient.bnk:5000000"});
    }

    void StartWebServer(const fs::path &root)
    {
        ASSERT_TRUE(m_web.Start("http_server.py", {"--root", root.string(), "--access-log", AccessLog().string()}))
            << m_web.Output();
    }
    std::string WebBase() const { return "http://127.0.0.1:" + std::to_string(m_web.Port()) + "/"; }
    fs::path AccessLog() const { return m_dir / "access.log"; }

    // The registry's settings below HKEY_LOCAL_MACHINE\SOFTWARE\Pelmo: "Name"="value" lines.
    void UseSettings(const std::vector<std::pair<std::string, std::string>> &values)
    {
        std::string registry = m_baseRegistry + "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo]\n";
        for (const auto &[name, value] : values)
            registry += "\"" + name + "\"=\"" + value + "\"\n";
        WriteFile(m_registry, registry);
    }

    int Repair(std::string &output)
    {
        RunningProgram patcher({kBuild + "/pelmo-patcher", "-u", "-r"},
                               Environment({"ZELK_TEST_TRANSFER_RETRY_PAUSE_MS=10", "no_proxy=127.0.0.1",
                                            "NO_PROXY=127.0.0.1"}));
        const int status = patcher.Wait();
        output = patcher.Output();
        return status;
    }

    testservers::TestServer m_web;
    std::string m_baseRegistry;
};

TEST_F(HttpRepairRunTest, RepairsEveryKindOfDamageFetchingOnlyWhatDiffersAndASecondRunOnlyTheManifest)
{
    Damage();
    StartWebServer(g_files->Served());
    UseSettings({{"RepairServer", WebBase()}});

    std::string output;
    ASSERT_EQ(Repair(output), 0) << output;
    EXPECT_TRUE(Contains(output, "Receiving updated files.")) << output;
    EXPECT_TRUE(Contains(output, "Patching completed.")) << output;
    EXPECT_EQ(Files(m_install), g_files->ReferenceFiles());

    const std::vector<Answer> answers = Answers(AccessLog());
    ASSERT_FALSE(answers.empty());
    EXPECT_EQ(answers[0].path, "/repair-manifest");
    std::set<int> connections;
    std::vector<std::string> terrainRanges;
    for (const Answer &answer : answers)
    {
        connections.insert(answer.port);
        EXPECT_EQ(answer.status, answer.path == "/repair-manifest" ? 200 : 206) << answer.path;
        if (answer.path == "/files/data/textures/terrain.pak")
            terrainRanges.push_back(answer.range);
    }
    // The flipped byte in the middle of the segment costs its one block.
    const uint64_t block = kSegment + (kSegment - 1) / 2 / kBlock * kBlock;
    EXPECT_EQ(terrainRanges,
              std::vector<std::string>{"bytes=" + std::to_string(block) + "-" + std::to_string(block + kBlock - 1)});
    // The manifest's connection and one per transfer, each reused for many requests.
    EXPECT_LE(connections.size(), 1 + kTransfers);
    EXPECT_LT(connections.size(), answers.size());

    fs::remove(AccessLog());
    ASSERT_EQ(Repair(output), 0) << output;
    EXPECT_TRUE(Contains(output, "(0 / 0 segments updated.)")) << output;
    EXPECT_TRUE(Contains(output, "0 segments read for their digests")) << "an unchanged segment was read";
    // The manifest kept from the first run is still the server's: the answer says so and no more.
    const std::vector<Answer> second = Answers(AccessLog());
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].path, "/repair-manifest");
    EXPECT_EQ(second[0].status, 304);
    EXPECT_EQ(second[0].bytes, 0u);
    EXPECT_EQ(Files(m_install), g_files->ReferenceFiles());
}

// A web server that answers a range with the whole file is no source for a repair.
TEST_F(HttpRepairRunTest, AServerWithoutRangesIsNamedAndNothingIsWritten)
{
    Damage();
    const auto before = Files(m_install);
    ASSERT_TRUE(m_web.Start("http_server.py", {"--root", g_files->Served().string(), "--no-range"}))
        << m_web.Output();
    UseSettings({{"RepairServer", WebBase()}});
    std::string output;
    EXPECT_EQ(Repair(output), 1) << output;
    EXPECT_TRUE(Contains(output, "The web server at " + WebBase() + " sends whole files")) << output;
    EXPECT_EQ(UnvouchedChanges(before, Files(m_install), g_files->ReferenceFiles()), std::vector<std::string>());
}

struct SignedCase
{
    const char *what;
    // Makes the directory served in the publisher's place from the publisher's (a link copy).
    std::function<void(const fs::path &served)> serve;
    // The newest serial this machine has accepted; empty for none.
    const char *acceptedSerial;
    int status;
    const char *message; // in the output; "%s" stands for the web address
    // Refused before anything is written.
    bool untouched;
};

class SignedHttpRepairTest : public HttpRepairRunTest, public testing::WithParamInterface<SignedCase>
{
};

TEST_P(SignedHttpRepairTest, NothingIsWrittenThatTheSignedManifestDoesNotVouchFor)
{
    const SignedCase &c = GetParam();
    Damage();
    const auto before = Files(m_install);
    const fs::path served = m_dir / "served";
    LinkTree(g_files->Served(), served);
    c.serve(served);
    StartWebServer(served);
    std::vector<std::pair<std::string, std::string>> settings{{"RepairServer", WebBase()},
                                                              {"PublisherKey", g_files->PublicKeyLine()}};
    if (*c.acceptedSerial)
        settings.push_back({"RepairManifestSerial", c.acceptedSerial});
    UseSettings(settings);

    std::string output;
    EXPECT_EQ(Repair(output), c.status) << output;
    std::string message = c.message;
    if (const size_t at = message.find("%s"); at != std::string::npos)
        message.replace(at, 2, WebBase());
    EXPECT_TRUE(Contains(output, message)) << output;
    const auto after = Files(m_install);
    if (c.status == 0)
    {
        EXPECT_EQ(after, g_files->ReferenceFiles());
        EXPECT_TRUE(Contains(ReadFile(m_registry), "\"RepairManifestSerial\"=\"5\"")) << ReadFile(m_registry);
        return;
    }
    EXPECT_EQ(UnvouchedChanges(before, after, g_files->ReferenceFiles()), std::vector<std::string>());
    if (c.untouched)
    {
        EXPECT_TRUE(after == before);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SignedHttpRepairTest,
    testing::Values(
        SignedCase{"signed_and_current", [](const fs::path &) {}, "", 0, "Patching completed.", false},
        SignedCase{"file_changed_after_signing",
                   [](const fs::path &served) {
                       // The very block the repair fetches.
                       const fs::path terrain = served / "files/data/textures/terrain.pak";
                       ReplaceFile(terrain, Flipped(terrain, kSegment + kSegment / 2 - 5));
                   },
                   "", 1, "The bytes served for data/textures/terrain.pak are not the ones the repair manifest names",
                   false},
        SignedCase{"block_digests_changed_after_signing",
                   [](const fs::path &served) {
                       const std::string blocks = ReadFile(served / "repair-blocks");
                       ReplaceFile(served / "repair-blocks", std::string(blocks.size(), '\0'));
                   },
                   "", 1, "are not the ones the repair manifest names", false},
        SignedCase{"unsigned", [](const fs::path &served) { fs::remove(served / "repair-manifest.sig"); }, "", 1,
                   "The repair manifest from %s is not signed; the repair is refused.", true},
        SignedCase{"signed_by_another_key",
                   [](const fs::path &served) {
                       fs::remove(served / "repair-manifest.sig");
                       RunTool({kBuild + "/zelk-sign", "sign", g_files->Key("other.pem"),
                                (served / "repair-manifest").string()});
                   },
                   "", 1, "The repair manifest from %s is not signed with the publisher's key", true},
        SignedCase{"serial_raised_after_signing",
                   [](const fs::path &served) {
                       // A replayed manifest dressed up as a new one.
                       std::string bytes = ReadFile(served / "repair-manifest");
                       bytes[16] = 9;
                       ReplaceFile(served / "repair-manifest", bytes);
                   },
                   "", 1, "The repair manifest from %s is not signed with the publisher's key", true},
        SignedCase{"older_than_the_newest_accepted", [](const fs::path &) {}, "6", 1,
                   "The repair manifest from %s is older than one this computer has already accepted", true}),
    [](const testing::TestParamInfo<SignedCase> &info) { return std::string(info.param.what); });

// The manifest kept from an accepted run must pass the checks of each later run as a fetched one
// does: under another key it is fetched whole again, and refused.
TEST_F(HttpRepairRunTest, AKeptManifestIsCheckedAgainUnderTheKeyOfTheRun)
{
    StartWebServer(g_files->Served());
    UseSettings({{"RepairServer", WebBase()}, {"PublisherKey", g_files->PublicKeyLine()}});
    std::string output;
    ASSERT_EQ(Repair(output), 0) << output;

    const std::string other = ReadFile(g_files->Key("other.pub"));
    UseSettings({{"RepairServer", WebBase()}, {"PublisherKey", other.substr(0, other.find('\n'))}});
    fs::remove(AccessLog());
    EXPECT_EQ(Repair(output), 1) << output;
    EXPECT_TRUE(Contains(output, "is not signed with the publisher's key")) << output;
    std::vector<std::pair<std::string, int>> asked;
    for (const Answer &answer : Answers(AccessLog()))
        asked.push_back({answer.path, answer.status});
    EXPECT_EQ(asked, (std::vector<std::pair<std::string, int>>{
                         {"/repair-manifest", 304}, {"/repair-manifest", 200}, {"/repair-manifest.sig", 200}}));
}

// A repair server checked against the publisher's signed manifest: its records are written only as
// far as the manifest vouches for them.
struct ServerCase
{
    const char *what;
    // Makes the tree the server repairs towards from the reference (a link copy).
    std::function<void(const fs::path &tree)> alter;
    int status;
    const char *message;
};

class CheckedRepairServerTest : public HttpRepairRunTest, public testing::WithParamInterface<ServerCase>
{
};

TEST_P(CheckedRepairServerTest, RecordsAreWrittenOnlyAsFarAsTheManifestVouches)
{
    const ServerCase &c = GetParam();
    Damage();
    const auto before = Files(m_install);
    const fs::path tree = m_dir / "server-tree";
    LinkTree(g_files->Reference(), tree);
    c.alter(tree);
    StartWebServer(g_files->Served());
    RunningProgram server({kBuild + "/zelk-repair-server", tree.string(), "--bind", "127.0.0.1", "--port", "0"});
    ASSERT_TRUE(server.WaitForOutput(" of them from the cache\n", std::chrono::seconds(120))) << server.Output();
    const std::string announced = server.Output();
    const size_t colon = announced.find("127.0.0.1:") + 10;
    UseSettings({{"RepairServer", "127.0.0.1:" + announced.substr(colon, announced.find('\n') - colon)},
                 {"RepairManifest", WebBase()},
                 {"PublisherKey", g_files->PublicKeyLine()}});

    std::string output;
    EXPECT_EQ(Repair(output), c.status) << output;
    EXPECT_TRUE(Contains(output, c.message)) << output;
    const auto after = Files(m_install);
    if (c.status == 0)
    {
        EXPECT_EQ(after, g_files->ReferenceFiles());
    }
    else
    {
        EXPECT_EQ(UnvouchedChanges(before, after, g_files->ReferenceFiles()), std::vector<std::string>());
    }
    // Only the manifest and its signature are fetched from the web.
    EXPECT_EQ(Answers(AccessLog()).size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CheckedRepairServerTest,
    testing::Values(
        ServerCase{"serving_the_reference", [](const fs::path &) {}, 0, "Patching completed."},
        ServerCase{"serving_other_bytes",
                   [](const fs::path &tree) {
                       const fs::path terrain = tree / "data/textures/terrain.pak";
                       ReplaceFile(terrain, Flipped(terrain, kSegment + 1000));
                   },
                   1,
                   "The repair server asked for a change to data/textures/terrain.pak that the signed repair manifest "
                   "does not call for"},
        ServerCase{"deleting_a_listed_file",
                   [](const fs::path &tree) { fs::remove(tree / "data/config/defaults.cfg"); }, 1,
                   "The repair server asked for a change to data/config/defaults.cfg"}),
    [](const testing::TestParamInfo<ServerCase> &info) { return std::string(info.param.what); });

TEST_F(HttpRepairRunTest, ARepairServerWithAKeyButNoManifestIsRefusedBeforeAnythingIsAsked)
{
    Damage();
    const auto before = Files(m_install);
    UseSettings({{"RepairServer", "127.0.0.1:9"}, {"PublisherKey", g_files->PublicKeyLine()}});
    std::string output;
    EXPECT_EQ(Repair(output), 1) << output;
    EXPECT_TRUE(Contains(output, "A publisher key is configured, but no signed repair manifest")) << output;
    EXPECT_FALSE(Contains(output, "Scanning installed files.")) << output;
    EXPECT_TRUE(Files(m_install) == before);
}
} // namespace
