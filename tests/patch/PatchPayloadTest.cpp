#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "TestFiles.h"
#include "kernel/ByteOrder.h"
#include "kernel/FileUtil.h"
#include "kernel/RunningExecutable.h"
#include "kernel/TextConvert.h"
#include "net/ZelkDataBuffer.h"
#include "patch/PatchPayload.h"
#include "patch/PublisherKey.h"
#include "publish/PayloadWriter.h"
#include "publish/PublisherSigningKey.h"

namespace
{
namespace fs = std::filesystem;
using namespace PayloadLayout;

const std::string kHashA = "00f055f854ef2658747111f540d13021";
const std::string kHashB = "0123456789abcdef0123456789abcdef";

using testfiles::Pattern;
using testfiles::ReadFile;
using testfiles::WriteFile;

void Overwrite(const std::wstring &path, uint64_t offset, const std::string &bytes)
{
    ZelkDataBufferFile file(path, ZelkDataBufferFile::AccessReadWrite);
    ASSERT_TRUE(file.IsOpen());
    ASSERT_EQ(file.Seek(offset), ZELKRESULT_OK);
    ASSERT_EQ(file.Write(bytes.data(), static_cast<uint32_t>(bytes.size())), ZELKRESULT_OK);
}

std::string Uint32Bytes(uint32_t value)
{
    std::string bytes;
    LittleEndian::Append32(bytes, value);
    return bytes;
}

uint64_t Uint64At(const std::string &bytes, uint64_t offset)
{
    return LittleEndian::Read64(bytes.data() + offset);
}

class PatchPayloadTest : public ::testing::Test
{
protected:
    static constexpr size_t kPatcherSize = 10000;
    static constexpr uint64_t kHeaderAt = 12288; // the patcher rounded up to 4,096

    void SetUp() override
    {
        WriteFile(Path(L"patcher"), Pattern(kPatcherSize, 1));
        m_archives = {Pattern(5000, 2), Pattern(200001, 3), Pattern(17, 4), std::string()};
        for (size_t i = 0; i < m_archives.size(); ++i)
            WriteFile(Path(L"step" + std::to_wstring(i)), m_archives[i]);
        m_contents.targetVersion = "38285";
        m_contents.builds = {{kHashA, "38272"}, {kHashB, "38280"}};
        m_contents.steps = {
            {"38272", "38280", Path(L"step0")},
            {"38280", "38285", Path(L"step1")},
            {"38280", "99999", Path(L"step2")}, // a second step from the same version is never used
            {"empty", "38285", Path(L"step3")},
        };
    }

    std::wstring Path(const std::wstring &name) const { return JoinPath(m_dir, name); }
    // Files whose name starts with prefix: what a writer may have left beside its output.
    size_t EntriesNamed(const std::wstring &prefix) const
    {
        std::set<std::wstring> entries;
        ListDirectory(m_dir, entries);
        return std::count_if(entries.begin(), entries.end(),
                             [&](const std::wstring &entry) { return entry.rfind(Path(prefix), 0) == 0; });
    }

    std::wstring WriteStandalone(const std::wstring &name = L"standalone")
    {
        std::string error;
        EXPECT_TRUE(WritePayload(Path(L"patcher"), Path(name), m_contents, error)) << error;
        return Path(name);
    }

    testfiles::TempDirectory m_temp;
    std::wstring m_dir = m_temp.WidePath();
    std::vector<std::string> m_archives;
    PayloadContents m_contents;
};

void ExpectClosed(PatchPayload &payload, const std::wstring &output)
{
    EXPECT_FALSE(payload.IsOpen());
    EXPECT_EQ(payload.TargetVersion(), "");
    EXPECT_EQ(payload.NextVersion("38272"), "");
    EXPECT_EQ(payload.LookupBuild(kHashA), "");
    EXPECT_EQ(payload.ExtractStep("38272", output), ZELKRESULT_INVALID_STATE);
    EXPECT_FALSE(FileExists(output));
}
} // namespace

TEST_F(PatchPayloadTest, ReadsWhatTheWriterWrote)
{
    const std::wstring standalone = WriteStandalone();
    const std::string bytes = ReadFile(standalone);
    // The patcher's bytes, zero filler, then the header at the next boundary.
    EXPECT_EQ(bytes.substr(0, kPatcherSize), Pattern(kPatcherSize, 1));
    EXPECT_EQ(bytes.substr(kPatcherSize, kHeaderAt - kPatcherSize), std::string(kHeaderAt - kPatcherSize, '\0'));
    EXPECT_EQ(bytes.substr(kHeaderAt, 8), "Z0e1l2k3");
    EXPECT_EQ(bytes.substr(kHeaderAt + kHeaderTotalSize, 4), Uint32Bytes(static_cast<uint32_t>(bytes.size())));

    PatchPayload payload;
    ASSERT_EQ(payload.Open(standalone), ZELKRESULT_OK);
    EXPECT_EQ(payload.TargetVersion(), "38285");

    const std::pair<std::string, std::string> builds[] = {
        {kHashA, "38272"}, {kHashB, "38280"}, {"00F055F854EF2658747111F540D13021", ""},
        {kHashA.substr(0, 31), ""}, {kHashA + "0", ""}, {"", ""},
    };
    for (const auto &[hash, version] : builds)
        EXPECT_EQ(payload.LookupBuild(hash), version) << hash;

    const std::pair<std::string, std::string> next[] = {
        {"38272", "38280"}, {"38280", "38285"}, {"38285", ""}, {"3828", ""}, {"empty", "38285"},
    };
    for (const auto &[from, to] : next)
        EXPECT_EQ(payload.NextVersion(from), to) << from;

    const std::pair<std::string, size_t> steps[] = {{"38272", 0}, {"38280", 1}, {"empty", 3}};
    for (const auto &[from, archive] : steps)
    {
        SCOPED_TRACE(from);
        const std::wstring output = Path(L"out-" + NarrowToWide(from));
        ASSERT_EQ(payload.ExtractStep(from, output), ZELKRESULT_OK);
        EXPECT_EQ(ReadFile(output), m_archives[archive]);
    }
}

TEST_F(PatchPayloadTest, OpenTellsPlainProgramsFromDamagedPatchers)
{
    const std::string good = ReadFile(WriteStandalone());
    struct Case
    {
        const char *name;
        std::string bytes;
        ZELKRESULT expected;
    };
    std::string longer = good;
    longer.replace(kHeaderAt + kHeaderTotalSize, 4, Uint32Bytes(static_cast<uint32_t>(good.size() + 1)));
    const Case cases[] = {
        {"plain program", Pattern(50000, 9), ZELKRESULT_UNSUPPORTED},
        {"empty file", "", ZELKRESULT_UNSUPPORTED},
        {"header cut short at the end", good.substr(0, kHeaderAt + 71), ZELKRESULT_UNSUPPORTED},
        {"magic off the boundary", "x" + good, ZELKRESULT_UNSUPPORTED},
        {"total size one more than the file", longer, ZELKRESULT_IO},
        {"last byte missing", good.substr(0, good.size() - 1), ZELKRESULT_IO},
        {"one byte appended", good + "x", ZELKRESULT_IO},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.name);
        WriteFile(Path(L"candidate"), c.bytes);
        PatchPayload payload;
        ASSERT_EQ(payload.Open(Path(L"candidate")), c.expected);
        ExpectClosed(payload, Path(L"extracted"));
    }
    PatchPayload payload;
    EXPECT_EQ(payload.Open(Path(L"does-not-exist")), ZELKRESULT_IO);
}

TEST_F(PatchPayloadTest, FindsTheHeaderAtEveryBoundaryOfALargeProgram)
{
    // The boundaries are searched many at a time: a header on either side of where one search
    // block ends and the next begins must be found the same.
    for (const uint64_t boundary : {1, 63, 64, 65, 127, 128, 300})
    {
        SCOPED_TRACE(boundary);
        WriteFile(Path(L"patcher"), Pattern(boundary * kAlignment - 1, 1));
        const std::wstring standalone = WriteStandalone();
        ASSERT_EQ(ReadFile(standalone).substr(boundary * kAlignment, 8), "Z0e1l2k3");
        PatchPayload payload;
        ASSERT_EQ(payload.Open(standalone), ZELKRESULT_OK);
        EXPECT_EQ(payload.TargetVersion(), "38285");
        EXPECT_EQ(payload.NextVersion("38272"), "38280");
    }
}

TEST_F(PatchPayloadTest, FailedOpenClosesAnOpenReader)
{
    const std::wstring standalone = WriteStandalone();
    PatchPayload payload;
    ASSERT_EQ(payload.Open(standalone), ZELKRESULT_OK);
    ASSERT_EQ(payload.Open(Path(L"patcher")), ZELKRESULT_UNSUPPORTED);
    ExpectClosed(payload, Path(L"extracted"));
    ASSERT_EQ(payload.Open(standalone), ZELKRESULT_OK);
    EXPECT_EQ(payload.TargetVersion(), "38285");
}

TEST_F(PatchPayloadTest, FullTextFieldsCountOnlyTheirFirstCharacters)
{
    // A patcher of one whole page: the header sits right behind it, with no filler.
    WriteFile(Path(L"patcher"), Pattern(4096, 5));
    const std::wstring standalone = WriteStandalone();
    const std::string bytes = ReadFile(standalone);
    ASSERT_EQ(bytes.substr(4096, 8), "Z0e1l2k3");
    const uint64_t buildTable = Uint64At(bytes, 4096 + kHeaderBuildTable);
    const uint64_t stepTable = Uint64At(bytes, 4096 + kHeaderStepTable);
    Overwrite(standalone, 4096 + kHeaderVersion, std::string(32, 'V'));
    Overwrite(standalone, buildTable, std::string(132, 'h'));
    Overwrite(standalone, stepTable, std::string(32, 's'));

    PatchPayload payload;
    ASSERT_EQ(payload.Open(standalone), ZELKRESULT_OK);
    EXPECT_EQ(payload.TargetVersion(), std::string(31, 'V'));
    EXPECT_EQ(payload.LookupBuild(std::string(131, 'h')), "38272");
    EXPECT_EQ(payload.LookupBuild(std::string(132, 'h')), "");
    EXPECT_EQ(payload.NextVersion(std::string(31, 's')), "38280");
    EXPECT_EQ(payload.NextVersion(std::string(32, 's')), "");
    EXPECT_EQ(payload.NextVersion("38272"), "");
}

TEST_F(PatchPayloadTest, ExtractStepFailures)
{
    const std::wstring standalone = WriteStandalone();
    PatchPayload payload;
    ASSERT_EQ(payload.Open(standalone), ZELKRESULT_OK);
    // Only a target, never a source: nothing is created.
    EXPECT_EQ(payload.ExtractStep("38285", Path(L"out")), ZELKRESULT_LIST_FAILED);
    EXPECT_EQ(payload.ExtractStep("99999", Path(L"out")), ZELKRESULT_LIST_FAILED);
    EXPECT_FALSE(FileExists(Path(L"out")));
    EXPECT_EQ(payload.ExtractStep("38272", Path(L"no/such/dir/out")), ZELKRESULT_ACCESS);

    // A step whose data runs past the end of the file fails with the copy's result.
    const std::string bytes = ReadFile(standalone);
    const uint64_t stepTable = Uint64At(bytes, kHeaderAt + kHeaderStepTable);
    std::string huge(8, '\0');
    huge[4] = 1; // 4 GiB
    Overwrite(standalone, stepTable + kStepDataSize, huge);
    ASSERT_EQ(payload.Open(standalone), ZELKRESULT_OK);
    EXPECT_EQ(payload.ExtractStep("38272", Path(L"out")), ZELKRESULT_IO);

    // A payload without steps.
    m_contents.steps.clear();
    ASSERT_EQ(payload.Open(WriteStandalone(L"nosteps")), ZELKRESULT_OK);
    EXPECT_EQ(payload.ExtractStep("38272", Path(L"out2")), ZELKRESULT_LIST_FAILED);
    EXPECT_EQ(payload.NextVersion("38272"), "");
    EXPECT_EQ(payload.LookupBuild(kHashB), "38280");
}

TEST_F(PatchPayloadTest, TheRunningTestProgramHasNoPayload)
{
    EXPECT_EQ(fs::canonical(PathToNative(RunningExecutablePath())),
              fs::canonical(std::string(ZELK_BUILD_DIR) + "/patch_tests"));
    PatchPayload payload;
    EXPECT_EQ(payload.Open(RunningExecutableImage()), ZELKRESULT_UNSUPPORTED);
}

// Signed payloads ----------------------------------------------------------------------------------

namespace
{
class SignedPayloadTest : public PatchPayloadTest
{
protected:
    // Signs the bytes from the header to the trailer again with key, after a test changed them:
    // what a publisher who signs a payload with bad offsets would ship.
    void Resign(const std::wstring &path, const PublisherSigningKey &key)
    {
        const std::string bytes = ReadFile(path);
        const uint64_t signedEnd = bytes.size() - kSignatureTrailerFixed - kSignatureSize;
        SHA256 sha;
        sha.Update(bytes.data() + kHeaderAt, signedEnd - kHeaderAt);
        const std::string message = SignedPayloadMessage(kHeaderAt, sha.Finish());
        const PublisherSignature signature = key.Sign(message.data(), message.size());
        Overwrite(path, signedEnd, std::string(signature.begin(), signature.end()));
    }

    std::wstring WriteSigned(const std::wstring &name = L"signed")
    {
        m_contents.signers = {&m_key};
        return WriteStandalone(name);
    }

    PublisherSigningKey m_key = PublisherSigningKey::Generate();
};
} // namespace

TEST_F(SignedPayloadTest, SignedPayloadReadsAsBeforeAndVerifies)
{
    const std::string unsigned_ = ReadFile(WriteStandalone(L"unsigned"));
    const std::wstring signedPath = WriteSigned();
    const std::string bytes = ReadFile(signedPath);
    // The same payload with the trailer behind it, counted in the total size.
    ASSERT_EQ(bytes.size(), unsigned_.size() + kSignatureTrailerFixed + kSignatureSize);
    EXPECT_EQ(bytes.substr(bytes.size() - 8), std::string(kSignatureMagic, 8));
    EXPECT_EQ(bytes.substr(kHeaderAt + kHeaderTotalSize, 4), Uint32Bytes(static_cast<uint32_t>(bytes.size())));

    // A reader that knows nothing of signatures finds every step and build.
    PatchPayload payload;
    ASSERT_EQ(payload.Open(signedPath), ZELKRESULT_OK);
    EXPECT_EQ(payload.TargetVersion(), "38285");
    EXPECT_EQ(payload.LookupBuild(kHashB), "38280");
    EXPECT_EQ(payload.NextVersion("38272"), "38280");
    ASSERT_EQ(payload.ExtractStep("38280", Path(L"out")), ZELKRESULT_OK);
    EXPECT_EQ(ReadFile(Path(L"out")), m_archives[1]);

    EXPECT_EQ(payload.VerifySignature(m_key.PublicKey()), SignatureVerdict::Good);
    EXPECT_EQ(payload.VerifySignature(PublisherSigningKey::Generate().PublicKey()), SignatureVerdict::Wrong);
    // Verifying leaves the reader as it was.
    ASSERT_EQ(payload.ExtractStep("38272", Path(L"out")), ZELKRESULT_OK);
    EXPECT_EQ(ReadFile(Path(L"out")), m_archives[0]);

    ASSERT_EQ(payload.Open(Path(L"unsigned")), ZELKRESULT_OK);
    EXPECT_EQ(payload.VerifySignature(m_key.PublicKey()), SignatureVerdict::Missing);
    EXPECT_EQ(PatchPayload().VerifySignature(m_key.PublicKey()), SignatureVerdict::Unreadable);
}

TEST_F(SignedPayloadTest, OldAndNewKeyBothVerify)
{
    const PublisherSigningKey next = PublisherSigningKey::Generate();
    m_contents.signers = {&m_key, &next};
    PatchPayload payload;
    ASSERT_EQ(payload.Open(WriteStandalone()), ZELKRESULT_OK);
    EXPECT_EQ(payload.VerifySignature(m_key.PublicKey()), SignatureVerdict::Good);
    EXPECT_EQ(payload.VerifySignature(next.PublicKey()), SignatureVerdict::Good);
    EXPECT_EQ(payload.VerifySignature(PublisherSigningKey::Generate().PublicKey()), SignatureVerdict::Wrong);
}

TEST_F(SignedPayloadTest, EveryChangeToThePayloadIsRefused)
{
    const std::string good = ReadFile(WriteSigned());
    const uint64_t buildTable = Uint64At(good, kHeaderAt + kHeaderBuildTable);
    const uint64_t stepTable = Uint64At(good, kHeaderAt + kHeaderStepTable);
    const uint64_t step1 = Uint64At(good, stepTable + kStepRecordSize + kStepDataOffset);
    const uint64_t signatureAt = good.size() - kSignatureTrailerFixed - kSignatureSize;
    struct Case
    {
        const char *name;
        uint64_t offset;
        std::string bytes; // written over the good payload at offset
        SignatureVerdict verdict;
    };
    const Case cases[] = {
        {"a byte in the first step", kHeaderAt + kHeaderSize + 10, "\xff", SignatureVerdict::Wrong},
        {"a byte in the middle of a large step", step1 + 150000, "\x01", SignatureVerdict::Wrong},
        {"the target version", kHeaderAt + kHeaderVersion, "9", SignatureVerdict::Wrong},
        {"a build's version", buildTable + kBuildHashField, "9", SignatureVerdict::Wrong},
        {"a step's size", stepTable + kStepDataSize, "\x01", SignatureVerdict::Wrong},
        {"the signature", signatureAt + 5, "\xAA\x55", SignatureVerdict::Wrong},
        {"signature count", good.size() - 12, Uint32Bytes(2), SignatureVerdict::Wrong},
        {"signature count zero", good.size() - 12, Uint32Bytes(0), SignatureVerdict::Malformed},
        {"signature count absurd", good.size() - 12, Uint32Bytes(1000000), SignatureVerdict::Malformed},
        {"the mark", good.size() - 1, "2", SignatureVerdict::Missing},
        // The executable image is the program itself, not part of what a publisher signs.
        {"the executable image", 100, "\xAA", SignatureVerdict::Good},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.name);
        ASSERT_NE(good.substr(c.offset, c.bytes.size()), c.bytes);
        WriteFile(Path(L"candidate"), good);
        Overwrite(Path(L"candidate"), c.offset, c.bytes);
        PatchPayload payload;
        ASSERT_EQ(payload.Open(Path(L"candidate")), ZELKRESULT_OK);
        EXPECT_EQ(payload.VerifySignature(m_key.PublicKey()), c.verdict);
    }
}

TEST_F(SignedPayloadTest, SignedOffsetsMustStayInsideTheSignedBytes)
{
    const std::string good = ReadFile(WriteSigned());
    const uint64_t stepTable = Uint64At(good, kHeaderAt + kHeaderStepTable);
    const uint64_t signedEnd = good.size() - kSignatureTrailerFixed - kSignatureSize;
    const auto bytesOf = [](uint64_t value) {
        std::string bytes;
        LittleEndian::Append64(bytes, value);
        return bytes;
    };
    struct Case
    {
        const char *name;
        uint64_t at;
        std::string bytes;
    };
    const Case cases[] = {
        {"step data in the executable image", stepTable + kStepDataOffset, bytesOf(0)},
        {"step data over the header", stepTable + kStepDataOffset, bytesOf(kHeaderAt)},
        {"step data into the trailer", stepTable + kStepDataSize, bytesOf(signedEnd)},
        {"step data beyond 64 bits", stepTable + kStepDataSize, bytesOf(~0ull)},
        {"build table in the image", kHeaderAt + kHeaderBuildTable, bytesOf(64)},
        {"step table into the trailer", kHeaderAt + kHeaderStepTable, bytesOf(signedEnd - 10)},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.name);
        WriteFile(Path(L"candidate"), good);
        Overwrite(Path(L"candidate"), c.at, c.bytes);
        Resign(Path(L"candidate"), m_key);
        PatchPayload payload;
        ASSERT_EQ(payload.Open(Path(L"candidate")), ZELKRESULT_OK);
        EXPECT_EQ(payload.VerifySignature(m_key.PublicKey()), SignatureVerdict::Malformed);
    }
    // Re-signing alone changes nothing: the check above is the offsets'.
    WriteFile(Path(L"candidate"), good);
    Resign(Path(L"candidate"), m_key);
    PatchPayload payload;
    ASSERT_EQ(payload.Open(Path(L"candidate")), ZELKRESULT_OK);
    EXPECT_EQ(payload.VerifySignature(m_key.PublicKey()), SignatureVerdict::Good);
}

// The publishers' tool ------------------------------------------------------------------------------

namespace
{
struct ToolRun
{
    int status;
    std::string output; // standard output and standard error together
};

ToolRun RunMkPayload(const std::string &arguments)
{
    const std::string command = std::string(ZELK_BUILD_DIR) + "/zelk-mkpayload " + arguments + " 2>&1";
    ToolRun run{-1, ""};
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe)
        return run;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        run.output.append(buffer, got);
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}
} // namespace

TEST_F(PatchPayloadTest, ToolWritesAnExecutablePatcher)
{
    const std::string dir = PathToNative(m_dir);
    fs::permissions(dir + "/patcher", fs::perms(0755));
    const ToolRun run = RunMkPayload(dir + "/patcher " + dir + "/out --target 38285 --build " + kHashA +
                                     "=38272 --step 38272:38285:" + dir + "/step1");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(fs::status(dir + "/out").permissions(), fs::perms(0755));
    EXPECT_EQ(EntriesNamed(L"out."), 0u);

    PatchPayload payload;
    ASSERT_EQ(payload.Open(Path(L"out")), ZELKRESULT_OK);
    EXPECT_EQ(payload.LookupBuild(kHashA), "38272");
    ASSERT_EQ(payload.ExtractStep("38272", Path(L"archive")), ZELKRESULT_OK);
    EXPECT_EQ(ReadFile(Path(L"archive")), m_archives[1]);
}

TEST_F(PatchPayloadTest, ToolRefusesWhatTheReaderCouldNotUse)
{
    const std::string dir = PathToNative(m_dir);
    // An archive beyond what the 32-bit total size can describe; sparse, so it costs no disk.
    {
        ZelkDataBufferFile huge(Path(L"huge"), ZelkDataBufferFile::AccessWrite);
        ASSERT_EQ(huge.Seek(0xFFFFFFFFull), ZELKRESULT_OK);
        ASSERT_EQ(huge.Write("x", 1), ZELKRESULT_OK);
    }
    ASSERT_EQ(RunMkPayload(dir + "/patcher " + dir + "/first --target 2").status, 0);
    const std::string base = dir + "/patcher " + dir + "/out ";
    struct Case
    {
        std::string arguments;
        int status;
        std::string message;
    };
    const Case cases[] = {
        {"--help", 0, "Usage: zelk-mkpayload PATCHER OUT"},
        {base, 1, "--target is required"},
        {dir + "/patcher --target 1", 1, "expected PATCHER OUT"},
        {base + "--target 1 --bogus", 1, "unknown option --bogus"},
        {base + "--target 1 --build nohash", 1, "--build wants HASH=VERSION"},
        {base + "--target 1 --step 1:2", 1, "--step wants FROM:TO:ARCHIVE"},
        {base + "--target " + std::string(32, '9'), 2, "is longer than 31 characters"},
        {base + "--target 1 --build " + std::string(132, 'a') + "=1", 2, "is longer than 131 characters"},
        {base + "--target 1 --step 1:" + std::string(32, '2') + ":" + dir + "/step0", 2, "longer than 31 characters"},
        {base + "--target 1 --step 1:2:" + dir + "/missing", 2, "cannot read the archive"},
        {base + "--target 1 --step 1:2:" + dir + "/huge", 2, "its size field holds at most 4294967295"},
        {dir + "/missing " + dir + "/out --target 1", 2, "cannot read the patcher"},
        {dir + "/first " + dir + "/out --target 1", 2, "already holds a payload mark at offset 12288"},
        // A patcher would take 1 -> 2 -> 3 and then refuse the step back to 2.
        {base + "--target 9 --step 1:2:" + dir + "/step0 --step 2:3:" + dir + "/step0 --step 3:2:" + dir + "/step0", 2,
         "the step from version 3 leads back to version 2, which the steps before it reach (starting from version 1)"},
        {base + "--target 9 --step 5:5:" + dir + "/step0", 2, "the step from version 5 leads back to version 5"},
        // A step back from the target is never taken: the steps end there.
        {base + "--target 2 --step 1:2:" + dir + "/step0 --step 2:1:" + dir + "/step0", 0, ""},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.arguments);
        const ToolRun run = RunMkPayload(c.arguments);
        EXPECT_EQ(run.status, c.status);
        EXPECT_NE(run.output.find(c.message), std::string::npos) << run.output;
        if (c.status != 0)
        {
            EXPECT_FALSE(FileExists(Path(L"out")));
            EXPECT_EQ(EntriesNamed(L"out."), 0u);
        }
    }
}
