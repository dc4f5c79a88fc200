#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "TestFiles.h"
#include "kernel/TextConvert.h"
#include "net/ZelkDataBuffer.h"
#include "patch/DetachedSignature.h"
#include "patch/PatchList.h"
#include "patch/PelmoPatchTask.h"
#include "patch/PublisherKey.h"
#include "publish/PatchListWriter.h"
#include "publish/PublisherSigningKey.h"

namespace
{
using testfiles::ReadFile;
using testfiles::WriteFile;

class SilentTask : public PelmoPatchTask
{
public:
    void Report(MessageLevel, const std::string &) override {}
    void Report(MessageLevel, const std::wstring &) override {}
};

class PatchListWriterTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        WriteFile(m_dir / "100_to_101.zip", "first archive");
        WriteFile(m_dir / "101_to_102.zip", std::string(200000, 'x'));
    }

    std::wstring Path(const std::string &name) const { return NativeToPath(m_dir / name); }

    // What a patcher reads from the text.
    void Parse(const std::string &text, SilentTask &task)
    {
        auto buffer = MakeDataBufferFromString(text);
        ASSERT_TRUE(task.ParsePatchList(*buffer, L"http://server/patches"));
    }

    testfiles::TempDirectory m_dir;
};
} // namespace

TEST_F(PatchListWriterTest, ThePatcherReadsWhatTheWriterWrote)
{
    PatchListContents contents;
    contents.steps = {{"100", "101", Path("100_to_101.zip"), ""},
                      {"101", "102", Path("101_to_102.zip"), "http://mirror:8080/steps/b.zip"}};
    contents.serial = 20240517;
    std::string text;
    std::string error;
    ASSERT_TRUE(FormatPatchList(contents, text, error)) << error;

    SilentTask task;
    Parse(text, task);
    EXPECT_EQ(task.ListSerial(), 20240517u);
    EXPECT_FALSE(task.ListSerialMalformed());
    const PatchListEntry *first = task.FindPatchEntry("100");
    const PatchListEntry *second = task.FindPatchEntry("101");
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->targetVersion, "101");
    EXPECT_EQ(first->dataUrl, L"http://server/patches/100_to_101.zip");
    EXPECT_EQ(second->dataUrl, L"http://mirror:8080/steps/b.zip");
    EXPECT_EQ(first->exeUrl, L"100_to_101.zip"); // as written: patchers never fetch it

    // Each entry vouches for exactly its archive.
    EXPECT_EQ(VerifyDownloadedArchive(Path("100_to_101.zip"), *first), ArchiveVerdict::Good);
    EXPECT_EQ(VerifyDownloadedArchive(Path("101_to_102.zip"), *second), ArchiveVerdict::Good);
    WriteFile(m_dir / "copy.zip", "first archive");
    EXPECT_EQ(VerifyDownloadedArchive(Path("copy.zip"), *second), ArchiveVerdict::SizeDiffers);
}

TEST_F(PatchListWriterTest, SignedListAndItsSignatureAgree)
{
    const PublisherSigningKey key = PublisherSigningKey::Generate();
    const PublisherSigningKey next = PublisherSigningKey::Generate();
    PatchListContents contents;
    contents.steps = {{"100", "101", Path("100_to_101.zip"), ""}};
    contents.signers = {&key, &next};
    contents.exeUrl = "http://server/patcher.exe";
    std::string error;
    ASSERT_TRUE(WritePatchList(Path("patches.txt"), contents, error)) << error;
    const std::string list = ReadFile(m_dir / "patches.txt");
    const std::string signature = ReadFile(m_dir / "patches.txt.sig");
    EXPECT_EQ(VerifyDetachedSignature(key.PublicKey(), list, signature), SignatureVerdict::Good);
    EXPECT_EQ(VerifyDetachedSignature(next.PublicKey(), list, signature), SignatureVerdict::Good);
    SilentTask task;
    Parse(list, task);
    EXPECT_EQ(task.FindPatchEntry("100")->exeUrl, L"http://server/patcher.exe");
    EXPECT_EQ(task.ListSerial(), std::nullopt);

    // Unsigned: no signature file is made.
    contents.signers.clear();
    ASSERT_TRUE(WritePatchList(Path("unsigned.txt"), contents, error)) << error;
    EXPECT_FALSE(std::filesystem::exists(m_dir / "unsigned.txt.sig"));
}

TEST_F(PatchListWriterTest, RefusesWhatTheReaderWouldReadDifferently)
{
    const std::wstring archive = Path("100_to_101.zip");
    struct Case
    {
        const char *name;
        ListedStep step;
        const char *error;
    };
    const Case cases[] = {
        {"empty version", {"", "101", archive, ""}, "the source version is empty"},
        {"spaces around a version", {"100 ", "101", archive, ""}, "starts or ends with a space"},
        {"quoted version", {"100", "\"101\"", archive, ""}, "enclosed in double quotes"},
        {"line break in an address", {"100", "101", archive, "a.zip\nsource-version: 1"}, "outside printable ASCII"},
        {"name outside ASCII", {"100", "101", Path("caf\xc3\xa9.zip"), ""}, "outside printable ASCII"},
        {"missing archive", {"100", "101", Path("missing.zip"), ""}, "cannot read the archive"},
        {"directory for an archive", {"100", "101", NativeToPath(m_dir.Path().string()), "a.zip"},
         "cannot read the archive"},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.name);
        PatchListContents contents;
        contents.steps = {c.step};
        std::string error;
        EXPECT_FALSE(WritePatchList(Path("patches.txt"), contents, error));
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
        EXPECT_FALSE(std::filesystem::exists(m_dir / "patches.txt"));
    }

    PatchListContents twice;
    twice.steps = {{"100", "101", archive, ""}, {"100", "102", archive, ""}};
    std::string error;
    EXPECT_FALSE(WritePatchList(Path("patches.txt"), twice, error));
    EXPECT_EQ(error, "two steps start at version 100");
    EXPECT_FALSE(WritePatchList(Path("patches.txt"), PatchListContents(), error));
    EXPECT_EQ(error, "a list needs at least one step");
}
