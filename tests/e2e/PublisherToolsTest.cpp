// The publisher's tools as a publisher runs them: zelk-sign's keys and signatures (also with the
// openssl tool on either side), zelk-mklist's signed lists, and zelk-mkpayload's signed payloads,
// which a patcher without a configured key still installs.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "E2eFixtures.h"
#include "RunningProgram.h"
#include "kernel/TextConvert.h"
#include "net/ZelkDataBuffer.h"
#include "patch/PatchList.h"
#include "patch/PelmoPatchTask.h"
#include "patch/PublisherKey.h"

namespace fs = std::filesystem;
using namespace e2e;

namespace
{
struct ToolRun
{
    int status;
    std::string output;
};

ToolRun RunProgram(const std::vector<std::string> &arguments)
{
    RunningProgram program(arguments);
    const int status = program.Wait();
    return ToolRun{status, program.Output()};
}

ToolRun Sign(const std::vector<std::string> &arguments)
{
    std::vector<std::string> command{kBuild + "/zelk-sign"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return RunProgram(command);
}

class SilentTask : public PelmoPatchTask
{
public:
    void Report(MessageLevel, const std::string &) override {}
    void Report(MessageLevel, const std::wstring &) override {}
};

class PublisherToolsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_private = (m_dir / "publisher.pem");
        m_public = (m_dir / "publisher.pub");
        ASSERT_EQ(Sign({"keygen", m_private, m_public}).status, 0);
    }

    std::string Path(const std::string &name) const { return m_dir / name; }

    // The PEM form of the public key line, for the openssl tool.
    std::string PublicPem()
    {
        PublisherKey key;
        EXPECT_TRUE(PublisherKey::FromText(ReadFile(fs::path(m_public)), key));
        std::string raw(kPublisherKeySize, '\0');
        const std::string text = key.ToText();
        DecodeBase64(text, raw.data(), raw.size());
        const std::string der = std::string("\x30\x2a\x30\x05\x06\x03\x2b\x65\x70\x03\x21\x00", 12) + raw;
        const std::string pem = Path("publisher-public.pem");
        WriteFile(fs::path(pem), "-----BEGIN PUBLIC KEY-----\n" + EncodeBase64(der.data(), der.size()) +
                                     "\n-----END PUBLIC KEY-----\n");
        return pem;
    }

    testfiles::TempDirectory m_dir;
    std::string m_private;
    std::string m_public;
};
} // namespace

TEST_F(PublisherToolsTest, SignAndVerifyRoundTrip)
{
    WriteFile(fs::path(Path("patches.txt")), "source-version: 100\n");
    ASSERT_EQ(Sign({"sign", m_private, Path("patches.txt")}).status, 0);
    const ToolRun good = Sign({"verify", m_public, Path("patches.txt")});
    EXPECT_EQ(good.status, 0) << good.output;
    EXPECT_EQ(good.output, Path("patches.txt") + ": the signature is good\n");

    // The public line the tool prints is the one keygen wrote.
    const ToolRun printed = Sign({"public", m_private});
    EXPECT_EQ(printed.status, 0);
    EXPECT_EQ(printed.output, ReadFile(fs::path(m_public)));

    WriteFile(fs::path(Path("patches.txt")), "source-version: 101\n");
    const ToolRun changed = Sign({"verify", m_public, Path("patches.txt")});
    EXPECT_EQ(changed.status, 1);
    EXPECT_TRUE(Contains(changed.output, "the signature does not match the publisher key")) << changed.output;
    fs::remove(Path("patches.txt.sig"));
    const ToolRun missing = Sign({"verify", m_public, Path("patches.txt")});
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(Contains(missing.output, "there is no signature")) << missing.output;
}

TEST_F(PublisherToolsTest, OpensslSignaturesVerifyWithTheToolAndTheOtherWayRound)
{
    const std::string file = Path("patches.txt");
    WriteFile(fs::path(file), "source-version: 100\r\ntarget-version: 101\r\n");

    // openssl signs with the tool's key; the tool verifies.
    ASSERT_EQ(RunProgram({"/usr/bin/openssl", "pkeyutl", "-sign", "-rawin", "-inkey", m_private, "-in", file, "-out",
                          Path("raw.sig")})
                  .status,
              0);
    const std::string raw = ReadFile(fs::path(Path("raw.sig")));
    ASSERT_EQ(raw.size(), kSignatureSize);
    WriteFile(fs::path(file + ".sig"), EncodeBase64(raw.data(), raw.size()) + "\n");
    EXPECT_EQ(Sign({"verify", m_public, file}).status, 0);

    // The tool signs; openssl verifies with the public line made PEM.
    ASSERT_EQ(Sign({"sign", m_private, file}).status, 0);
    PublisherSignature signature{};
    ASSERT_TRUE(DecodeBase64(ReadFile(fs::path(file + ".sig")).substr(0, 88), signature.data(), signature.size()));
    WriteFile(fs::path(Path("tool.sig")), std::string(signature.begin(), signature.end()));
    const std::string publicPem = PublicPem();
    const ToolRun verified = RunProgram({"/usr/bin/openssl", "pkeyutl", "-verify", "-pubin", "-inkey", publicPem, "-rawin",
                                     "-in", file, "-sigfile", Path("tool.sig")});
    EXPECT_EQ(verified.status, 0) << verified.output;
    EXPECT_TRUE(Contains(verified.output, "Signature Verified Successfully")) << verified.output;
    WriteFile(fs::path(file), "source-version: 100\r\ntarget-version: 102\r\n");
    EXPECT_NE(RunProgram({"/usr/bin/openssl", "pkeyutl", "-verify", "-pubin", "-inkey", publicPem, "-rawin", "-in",
                          file, "-sigfile", Path("tool.sig")})
                  .status,
              0);

    // A key openssl made signs with the tool.
    ASSERT_EQ(RunProgram({"/usr/bin/openssl", "genpkey", "-algorithm", "ed25519", "-out", Path("openssl.pem")}).status,
              0);
    const ToolRun line = Sign({"public", Path("openssl.pem")});
    ASSERT_EQ(line.status, 0);
    WriteFile(fs::path(Path("openssl.pub")), line.output);
    ASSERT_EQ(Sign({"sign", Path("openssl.pem"), file}).status, 0);
    EXPECT_EQ(Sign({"verify", Path("openssl.pub"), file}).status, 0);
    EXPECT_EQ(Sign({"verify", m_public, file}).status, 1);
}

TEST_F(PublisherToolsTest, SignedListFromArchives)
{
    WriteFile(fs::path(Path("100_to_101.zip")), "archive one");
    WriteFile(fs::path(Path("101_to_102.zip")), "archive two, longer");
    const std::string list = Path("patches.txt");
    const ToolRun made = RunProgram({kBuild + "/zelk-mklist", list, "--step", "100:101:" + Path("100_to_101.zip"),
                                 "--step", "101:102:" + Path("101_to_102.zip") + ":https://cdn.example:8443/b.zip",
                                 "--serial", "7", "--sign", m_private});
    ASSERT_EQ(made.status, 0) << made.output;
    EXPECT_EQ(Sign({"verify", m_public, list}).status, 0);

    SilentTask task;
    auto buffer = MakeDataBufferFromString(ReadFile(fs::path(list)));
    ASSERT_TRUE(task.ParsePatchList(*buffer, L"ftp://files.example/patches"));
    EXPECT_EQ(task.ListSerial(), 7u);
    const PatchListEntry *first = task.FindPatchEntry("100");
    const PatchListEntry *second = task.FindPatchEntry("101");
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->dataUrl, L"ftp://files.example/patches/100_to_101.zip");
    EXPECT_EQ(second->dataUrl, L"https://cdn.example:8443/b.zip");
    EXPECT_EQ(first->dataSize, 11u);
    EXPECT_EQ(VerifyDownloadedArchive(NarrowToWide(Path("100_to_101.zip")), *first), ArchiveVerdict::Good);
    EXPECT_EQ(VerifyDownloadedArchive(NarrowToWide(Path("101_to_102.zip")), *second), ArchiveVerdict::Good);
}

TEST_F(PublisherToolsTest, WrongArgumentsAreRefusedClearly)
{
    WriteFile(fs::path(Path("a.zip")), "a");
    WriteFile(fs::path(Path("file")), "f");
    const std::string mklist = kBuild + "/zelk-mklist";
    const std::string sign = kBuild + "/zelk-sign";
    struct Case
    {
        std::vector<std::string> arguments;
        int status;
        std::string message;
    };
    const Case cases[] = {
        {{sign}, 1, "zelk-sign: expected COMMAND\nTry 'zelk-sign --help'."},
        {{sign, "--help"}, 0, "Usage: zelk-sign keygen PRIVATE PUBLIC"},
        {{sign, "--bogus"}, 1, "unknown option --bogus"},
        {{sign, "make", "x"}, 1, "unknown command make"},
        {{sign, "keygen", Path("only-one")}, 1, "expected PRIVATE PUBLIC"},
        {{sign, "verify", "--help"}, 0, "Usage: zelk-sign keygen PRIVATE PUBLIC"},
        {{sign, "keygen", m_private, Path("new.pub")}, 2, "exists already; a key file is never replaced"},
        {{sign, "sign", Path("file")}, 1, "expected PRIVATE FILE"},
        {{sign, "sign", m_public, Path("file")}, 2, "not a PEM private key"},
        {{sign, "verify", m_private, Path("file")}, 2, "does not hold a public key"},
        {{sign, "verify", m_public, Path("missing")}, 1, "the signed data cannot be read"},
        {{sign, "verify-payload", m_public, Path("file")}, 1, "the signed data cannot be read"},
        {{mklist, Path("out.txt")}, 1, "at least one --step is required"},
        {{mklist, "--step", "1:2:" + Path("a.zip")}, 1, "expected OUT"},
        {{mklist, Path("out.txt"), "--step", "1:2"}, 1, "--step wants FROM:TO:ARCHIVE[:ADDRESS]"},
        {{mklist, Path("out.txt"), "--step", "1:2:" + Path("a.zip") + ":"}, 1, "--step wants"},
        {{mklist, Path("out.txt"), "--step", "1:2:" + Path("a.zip"), "--serial", "x1"}, 1,
         "--serial wants a decimal number"},
        {{mklist, Path("out.txt"), "--step", "1:2:" + Path("missing.zip")}, 2, "cannot read the archive"},
        {{mklist, Path("out.txt"), "--step", "1:2:" + Path("a.zip"), "--sign", Path("missing.pem")}, 2,
         "No such file or directory"},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.arguments.back());
        const ToolRun run = RunProgram(c.arguments);
        EXPECT_EQ(run.status, c.status);
        EXPECT_TRUE(Contains(run.output, c.message)) << run.output;
    }
    EXPECT_FALSE(fs::exists(Path("out.txt")));
    EXPECT_FALSE(fs::exists(Path("new.pub")));
}

// A patcher that has no key configured runs a signed standalone patcher as any other.
class SignedStandaloneTest : public e2e::PatcherRunTest
{
protected:
    void SetUp() override { MakeRunDirectory(m_root.Path()); }

    testfiles::TempDirectory m_root;
};

TEST_F(SignedStandaloneTest, PatcherWithoutKeyInstallsASignedPayload)
{
    const fs::path build101 = m_dir / "build-101";
    std::string digest;
    RunTool({kBuild + "/zelk-mksample", build101.string(), "--version", "101"});
    RunTool({kBuild + "/zelk-mksample", (m_dir / "build-100").string(), "--version", "100"}, &digest);
    fs::remove(build101 / "unins000.dat");
    fs::remove(m_dir / "build-100" / "unins000.dat");
    RunTool({kBuild + "/zelk-mkpatch", (m_dir / "build-100").string(), build101.string(),
             (m_dir / "100_to_101.zip").string()});
    RunTool({kBuild + "/zelk-sign", "keygen", (m_dir / "key.pem").string(), (m_dir / "key.pub").string()});
    const std::string patcher = (m_dir / "pelmo-patcher-101").string();
    RunTool({kBuild + "/zelk-mkpayload", kBuild + "/pelmo-patcher", patcher, "--target", "101", "--build",
             digest.substr(0, digest.find('\n')) + "=100", "--step", "100:101:" + (m_dir / "100_to_101.zip").string(),
             "--sign", (m_dir / "key.pem").string()});
    RunTool({kBuild + "/zelk-sign", "verify-payload", (m_dir / "key.pub").string(), patcher});

    RunningProgram run({patcher, "-u"}, Environment());
    EXPECT_EQ(run.Wait(), 0) << run.Output();
    EXPECT_TRUE(Contains(run.Output(), "Patching completed.")) << run.Output();
    EXPECT_EQ(TreeDifferences(m_install, build101), std::vector<std::string>());

    // A changed byte anywhere in the payload shows.
    std::string bytes = ReadFile(fs::path(patcher));
    bytes[bytes.size() - 200] ^= 1;
    WriteFile(fs::path(patcher), bytes);
    const ToolRun changed =
        RunProgram({kBuild + "/zelk-sign", "verify-payload", (m_dir / "key.pub").string(), patcher});
    EXPECT_EQ(changed.status, 1);
    EXPECT_TRUE(Contains(changed.output, "the signature does not match the publisher key")) << changed.output;
}
