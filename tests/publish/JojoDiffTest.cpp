#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "TestFiles.h"
#include "kernel/ByteOrder.h"
#include "kernel/TextConvert.h"
#include "publish/JojoDiff.h"

namespace fs = std::filesystem;

namespace
{
using Bytes = std::string;

const std::string kPatchTool = std::string(ZELK_BUILD_DIR) + "/zelk-jptch";
const std::string kDiffTool = std::string(ZELK_BUILD_DIR) + "/zelk-jdiff";

Bytes FromHex(const std::string &hex)
{
    Bytes bytes;
    std::string digits;
    for (char c : hex)
        if (std::isxdigit(static_cast<unsigned char>(c)))
            digits.push_back(c);
    for (size_t index = 0; index + 1 < digits.size(); index += 2)
        bytes.push_back(static_cast<char>(std::stoi(digits.substr(index, 2), nullptr, 16)));
    return bytes;
}

// Pseudo-random bytes, none of them an escape or opcode byte when plain is set, so that a
// difference can carry them as literal data without escapes.
Bytes RandomBytes(size_t count, uint32_t seed, bool plain = false)
{
    std::mt19937 random(seed);
    Bytes bytes;
    bytes.reserve(count);
    while (bytes.size() < count)
    {
        auto byte = static_cast<unsigned char>(random());
        if (plain && byte >= 0xA2 && byte <= 0xA7)
            continue;
        bytes.push_back(static_cast<char>(byte));
    }
    return bytes;
}

using testfiles::ReadFile;
using testfiles::WriteFile;

std::string Quote(const std::string &text)
{
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Runs a tool with its output kept out of the test log; returns its exit status.
int RunTool(const std::string &tool, const std::vector<std::string> &arguments)
{
    std::string command = Quote(tool);
    for (const std::string &argument : arguments)
        command += " " + Quote(argument);
    command += " >/dev/null 2>&1";
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class JojoDiffTool : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_FALSE(m_directory.empty()); }

    fs::path Path(const std::string &name) const
    {
        return m_directory / name;
    }

    // Applies diff to old with the patch tool; returns the exit status and fills result.
    int Apply(const Bytes &old, const Bytes &diff, Bytes &result)
    {
        WriteFile(Path("old"), old);
        WriteFile(Path("diff"), diff);
        fs::remove(Path("out"));
        int status = RunTool(kPatchTool, {Path("old"), Path("diff"), Path("out")});
        result = fs::exists(Path("out")) ? ReadFile(Path("out")) : Bytes();
        return status;
    }

    std::vector<std::string> DirectoryNames() const
    {
        std::vector<std::string> names;
        for (const auto &entry : fs::directory_iterator(m_directory))
            names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }

    testfiles::TempDirectory m_temp{"jojodiff-test"};
    const fs::path m_directory = m_temp.Path();
};

const Bytes kHello = "Hello, world! This is a test file.\n";
const Bytes kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
const Bytes kPlain2000 = RandomBytes(2000, 7, true);
const Bytes kPlain400 = RandomBytes(400, 8, true);

struct DecodeCase
{
    const char *name;
    Bytes old;
    Bytes diff;
    Bytes expected;
};

const DecodeCase kDecodeCases[] = {
    {"OneByteChanged", kHello, FromHex("a7a306 a7a657 a7a31a"), "Hello, World! This is a test file.\n"},
    {"ModifyWithoutOpcode", kHello, FromHex("a7a306 57 a7a31a"), "Hello, World! This is a test file.\n"},
    {"EscapeBytes", kAlphabet,
     FromHex("a7a313 a7a6 a7a7a6a75aa7a7a7a7 a7a309 a7a5a7a7"),
     kAlphabet.substr(0, 20) + FromHex("a7a6a75aa7a7") + "0123456789" + FromHex("a7")},
    {"DeletionAndLongLengths", kPlain2000, FromHex("a7a3fd0258 a7a4fc2f a7a3fd044c"),
     kPlain2000.substr(0, 600) + kPlain2000.substr(900)},
    {"Backtrack", kPlain2000, FromHex("a7a3fd03e8 a7a2fd0320 a7a3fd0258"),
     kPlain2000.substr(0, 1000) + kPlain2000.substr(200, 600)},
    {"IdenticalFiles", kAlphabet, FromHex("a7a323"), kAlphabet},
    {"EmptyNew", kAlphabet, "", ""},
    {"EmptyOld", "", FromHex("a7a5") + kAlphabet, kAlphabet},
    {"Insertion", kPlain2000, FromHex("a7a3fd02bc a7a5") + kPlain400 + FromHex("a7a3fd0514"),
     kPlain2000.substr(0, 700) + kPlain400 + kPlain2000.substr(700)},
    // Every length form, the longer ones also where a shorter one would do.
    {"LengthForms", kPlain2000, FromHex("a7a3fb a7a2fd00fc a7a3fc00 a7a2fe000000fd a7a3ff00000000000000ff"),
     kPlain2000.substr(0, 252) + kPlain2000.substr(0, 253) + kPlain2000.substr(0, 255)},
    {"EscapeBeforeOrdinaryByte", "", FromHex("a7a5 41a75a42"), FromHex("41a75a42")},
    {"EscapeBeforeCurrentOpcode", "", FromHex("a7a5 41a7a542"), FromHex("41a7a542")},
    // A modify run moves the old position with it; an insert run does not.
    {"ModifyAdvancesInsertKeeps", "abcdef", FromHex("a7a6 5859 a7a300 a7a5 5a a7a301"), "XYcZde"},
    {"ModifyPastTheOldEnd", "ab", FromHex("a7a301 a7a6 636465"), "abcde"},
};

class JojoDiffDecode : public JojoDiffTool, public ::testing::WithParamInterface<DecodeCase>
{
};

TEST_P(JojoDiffDecode, PatchToolRebuildsTheNewFile)
{
    const DecodeCase &example = GetParam();
    Bytes result;
    ASSERT_EQ(Apply(example.old, example.diff, result), 0);
    EXPECT_EQ(result, example.expected);
}

INSTANTIATE_TEST_SUITE_P(Examples, JojoDiffDecode, ::testing::ValuesIn(kDecodeCases),
                         [](const auto &info) { return std::string(info.param.name); });

struct CorruptCase
{
    const char *name;
    Bytes diff;
};

const CorruptCase kCorruptCases[] = {
    {"LoneEscapeEndsDataRun", FromHex("a7a5 41 a7")},
    {"LoneEscapeAfterOperation", FromHex("a7a302 a7")},
    {"EndsAfterOpcode", FromHex("a7a300 a7a3")},
    {"EndsInsideLength", FromHex("a7a300 a7a3fd00")},
    {"CopyPastOldEnd", FromHex("a7a6 41 a7a305")},
    {"BacktrackBeforeStart", FromHex("a7a301 a7a205")},
    {"DeleteThenCopyPastEnd", FromHex("a7a5 41 a7a403 a7a300")},
};

class JojoDiffCorrupt : public JojoDiffTool, public ::testing::WithParamInterface<CorruptCase>
{
};

// A corrupt difference fails with its own code and leaves neither OUT nor a partial file behind;
// an OUT that was there before keeps its content.
TEST_P(JojoDiffCorrupt, FailsWithoutTouchingTheOutput)
{
    Bytes result;
    EXPECT_EQ(Apply("XYZ", GetParam().diff, result), 5);
    EXPECT_FALSE(fs::exists(Path("out")));
    EXPECT_EQ(DirectoryNames(), (std::vector<std::string>{"diff", "old"}));

    WriteFile(Path("out"), "previous");
    EXPECT_EQ(RunTool(kPatchTool, {Path("old"), Path("diff"), Path("out")}), 5);
    EXPECT_EQ(ReadFile(Path("out")), "previous");
}

INSTANTIATE_TEST_SUITE_P(Differences, JojoDiffCorrupt, ::testing::ValuesIn(kCorruptCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(JojoDiffTool, ExitCodesFollowTheOpeningOrder)
{
    WriteFile(Path("old"), "XYZ");
    WriteFile(Path("diff"), FromHex("a7a302"));
    const std::string old = Path("old"), diff = Path("diff"), out = Path("out"), missing = Path("missing");

    EXPECT_EQ(RunTool(kPatchTool, {}), 1);
    EXPECT_EQ(RunTool(kPatchTool, {old, diff}), 1);
    EXPECT_EQ(RunTool(kPatchTool, {missing, missing, out}), 2);
    EXPECT_EQ(RunTool(kPatchTool, {old, missing, out}), 3);
    EXPECT_EQ(RunTool(kPatchTool, {m_directory, diff, out}), 2);
    EXPECT_EQ(RunTool(kPatchTool, {old, m_directory, out}), 3);
    EXPECT_FALSE(fs::exists(out)) << "the output is created only after both inputs opened";
    EXPECT_EQ(RunTool(kPatchTool, {old, diff, Path("nodir/out")}), 4);
    fs::create_directory(Path("directory"));
    EXPECT_EQ(RunTool(kPatchTool, {old, diff, Path("directory")}), 4);
    EXPECT_EQ(RunTool(kPatchTool, {"--help"}), 0);

    EXPECT_EQ(RunTool(kPatchTool, {old, diff, out}), 0);
    EXPECT_EQ(ReadFile(out), "XYZ");
    // The output takes the permissions of the old file, and replaces its file only when
    // complete, so a file can be patched in place.
    fs::permissions(old, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
    EXPECT_EQ(RunTool(kPatchTool, {old, diff, out}), 0);
    EXPECT_EQ(fs::status(out).permissions(), fs::status(old).permissions());
    WriteFile(diff, FromHex("a7a300 a7a5 41 a7a301"));
    EXPECT_EQ(RunTool(kPatchTool, {old, diff, old}), 0);
    EXPECT_EQ(ReadFile(old), "XAYZ");
}

// The 64-bit length form and offsets beyond 4 GiB: a sparse old file costs no disk space.
TEST_F(JojoDiffTool, LengthsBeyondFourGigabytes)
{
    const uint64_t kFourGigabytes = uint64_t(1) << 32;
    {
        std::ofstream file(Path("old"), std::ios::binary);
    }
    fs::resize_file(Path("old"), kFourGigabytes);
    {
        std::ofstream file(Path("old"), std::ios::binary | std::ios::in | std::ios::out);
        file.seekp(static_cast<std::streamoff>(kFourGigabytes));
        file.write("XYZ", 3);
    }
    WriteFile(Path("diff"), FromHex("a7a4 ff0000000100000000 a7a302"));
    ASSERT_EQ(RunTool(kPatchTool, {Path("old"), Path("diff"), Path("out")}), 0);
    EXPECT_EQ(ReadFile(Path("out")), "XYZ");

    // Back from beyond 4 GiB to the start of the file.
    WriteFile(Path("diff"), FromHex("a7a4 ff0000000100000000 a7a300 a7a2 ff0000000100000001 a7a301"));
    ASSERT_EQ(RunTool(kPatchTool, {Path("old"), Path("diff"), Path("out")}), 0);
    EXPECT_EQ(ReadFile(Path("out")), Bytes("X") + Bytes(2, '\0'));
}

// Reads a difference the way the strictest applier does (data only after an opcode, an escape
// before the current opcode repeats the operation) and fails on every construct the appliers
// disagree about or that is longer than needed: data without an opcode, the current opcode
// escaped inside its run, a lone final escape, a length of 0 or not in its shortest form, a
// final DEL. A difference that passes gives the same output with every applier.
::testing::AssertionResult ApplyStrictly(const Bytes &old, const Bytes &diff, Bytes &out)
{
    out.clear();
    uint64_t position = 0;
    int operation = 0;
    size_t next = 0;
    auto fail = [&](const std::string &what) {
        return ::testing::AssertionFailure() << what << " at difference offset " << next;
    };
    auto byteAt = [&](size_t index) { return static_cast<uint8_t>(diff[index]); };
    auto data = [&](uint8_t byte) {
        out.push_back(static_cast<char>(byte));
        if (operation == JojoDiff::kModify)
            ++position;
    };
    while (next < diff.size())
    {
        uint8_t byte = byteAt(next);
        if (byte != JojoDiff::kEscape)
        {
            if (operation != JojoDiff::kModify && operation != JojoDiff::kInsert)
                return fail("data without an opcode");
            data(byte);
            ++next;
            continue;
        }
        if (next + 1 == diff.size())
            return fail("lone final escape");
        uint8_t code = byteAt(next + 1);
        if (code == JojoDiff::kEscape || code < JojoDiff::kBacktrack || code > JojoDiff::kModify)
        {
            if (operation != JojoDiff::kModify && operation != JojoDiff::kInsert)
                return fail("data without an opcode");
            data(JojoDiff::kEscape);
            if (code != JojoDiff::kEscape)
                data(code);
            next += 2;
            continue;
        }
        if (code == operation)
            return fail("escaped current opcode inside its run");
        operation = code;
        next += 2;
        if (code == JojoDiff::kModify || code == JojoDiff::kInsert)
            continue;
        // A length: decode it, then check that it is written in its shortest form.
        if (next >= diff.size())
            return fail("length cut short");
        uint8_t first = byteAt(next);
        size_t extra = first < 252 ? 0 : first == 252 ? 1 : first == 253 ? 2 : first == 254 ? 4 : 8;
        if (next + 1 + extra > diff.size())
            return fail("length cut short");
        uint64_t length = 0;
        if (first < 252)
            length = first + 1;
        else if (first == 252)
            length = 253 + byteAt(next + 1);
        else
        {
            // The extra bytes are the low end of a big-endian 64-bit number.
            unsigned char field[8] = {};
            for (size_t index = 1; index <= extra; ++index)
                field[8 - extra + index - 1] = static_cast<unsigned char>(byteAt(next + index));
            length = BigEndian::Read64(field);
        }
        std::string shortest;
        JojoDiff::AppendLength(shortest, length);
        if (length == 0 || shortest != diff.substr(next, 1 + extra))
            return fail("length not in its shortest form");
        next += 1 + extra;
        if (code == JojoDiff::kBacktrack)
        {
            if (length > position)
                return fail("back-track before the start");
            position -= length;
        }
        else if (code == JojoDiff::kDelete)
        {
            if (next == diff.size())
                return fail("final DEL");
            position += length;
        }
        else
        {
            if (position + length > old.size())
                return fail("copy past the end of the old file");
            out.append(old, position, length);
            position += length;
        }
    }
    return ::testing::AssertionSuccess();
}

// New content from old by a list of edits, so that a case reads as what changed.
Bytes Splice(const Bytes &old, size_t at, size_t erase, const Bytes &insert)
{
    Bytes result = old;
    result.replace(at, erase, insert);
    return result;
}

Bytes EscapeHeavy(size_t count, uint32_t seed)
{
    const char alphabet[] = "\xa2\xa3\xa4\xa5\xa6\xa7\xa7\xa7x\0";
    std::mt19937 random(seed);
    Bytes bytes;
    for (size_t index = 0; index < count; ++index)
        bytes.push_back(alphabet[random() % (sizeof alphabet - 1)]);
    return bytes;
}

const Bytes kRandom = RandomBytes(200000, 11);
const Bytes kEscapes = EscapeHeavy(30000, 12);

struct RoundTripCase
{
    const char *name;
    Bytes old;
    Bytes now;
};

const RoundTripCase kRoundTripCases[] = {
    {"BothEmpty", "", ""},
    {"EmptyOld", "", kRandom.substr(0, 5000)},
    {"EmptyNew", kRandom.substr(0, 5000), ""},
    {"Identical", kRandom, kRandom},
    {"Unrelated", kRandom.substr(0, 50000), RandomBytes(60000, 13)},
    {"ScatteredEdits", kRandom,
     Splice(Splice(Splice(kRandom, 150000, 4, "ABCD"), 90000, 3000, RandomBytes(700, 14)), 20000, 0,
            RandomBytes(1000, 15))},
    {"Deletions", kRandom, Splice(Splice(kRandom, 180000, 20000, ""), 1000, 5000, "")},
    {"MovedBlock", kRandom, kRandom.substr(100000) + kRandom.substr(0, 100000)},
    {"RepeatedBlock", kRandom, kRandom + kRandom.substr(50000, 30000) + kRandom.substr(0, 80000)},
    {"TruncatedAndExtended", kRandom, kRandom.substr(0, 120000) + RandomBytes(300, 16)},
    {"EscapeBytesEverywhere", kEscapes, Splice(Splice(kEscapes, 20000, 10, EscapeHeavy(50, 17)), 5000, 0, EscapeHeavy(400, 18))},
    {"EscapesIntoUnrelated", kEscapes, EscapeHeavy(30000, 19)},
    {"RunsEndingInEscape", kRandom.substr(0, 3000),
     Splice(Splice(kRandom.substr(0, 3000), 2000, 2, "xyz\xa7"), 1000, 0, "\xa7\xa7\xa7") + "\xa7"},
    {"OnlyEscapeBytes", "\xa7", "\xa7\xa7\xa7"},
    {"EscapeBeforeOpcodeBytes", "", "\xa7\xa6\xa7\xa5\xa7\xa2q\xa7"},
};

class JojoDiffRoundTrip : public JojoDiffTool, public ::testing::WithParamInterface<RoundTripCase>
{
};

// zelk-jdiff's difference rebuilds the new file with zelk-jptch and with the strictest reading.
TEST_P(JojoDiffRoundTrip, RebuildsTheNewFile)
{
    const RoundTripCase &example = GetParam();
    WriteFile(Path("old"), example.old);
    WriteFile(Path("new"), example.now);
    ASSERT_EQ(RunTool(kDiffTool, {Path("old"), Path("new"), Path("diff")}), 0);
    const Bytes diff = ReadFile(Path("diff"));
    if (example.now.empty())
    {
        EXPECT_EQ(diff, "");
    }

    Bytes strict;
    EXPECT_TRUE(ApplyStrictly(example.old, diff, strict));
    EXPECT_TRUE(strict == example.now) << "strict reading differs";
    ASSERT_EQ(RunTool(kPatchTool, {Path("old"), Path("diff"), Path("out")}), 0);
    EXPECT_TRUE(ReadFile(Path("out")) == example.now) << "zelk-jptch's output differs";
}

INSTANTIATE_TEST_SUITE_P(Pairs, JojoDiffRoundTrip, ::testing::ValuesIn(kRoundTripCases),
                         [](const auto &info) { return std::string(info.param.name); });

// Files larger than the generator's window on the new file: copies that run across its edges
// and data longer than it keeps waiting for a copy, escape bytes included.
TEST_F(JojoDiffTool, LargeFilesRoundTrip)
{
    const size_t kMegabyte = 1024 * 1024;
    const Bytes old = RandomBytes(20 * kMegabyte, 21);
    struct LargePair
    {
        Bytes now;
        uint64_t copied;
    };
    const LargePair pairs[] = {
        {Splice(Splice(old, 17 * kMegabyte, 0, "inserted"), 3 * kMegabyte, 1000, ""), old.size() - 1000},
        {EscapeHeavy(20 * kMegabyte + 12345, 22) + old.substr(kMegabyte, 4 * kMegabyte), 4 * kMegabyte},
    };
    WriteFile(Path("old"), old);
    for (const LargePair &pair : pairs)
    {
        WriteFile(Path("new"), pair.now);
        std::string problem;
        JojoDiffStatistics statistics;
        ASSERT_EQ(MakeJojoDiff(Path("old").wstring(), Path("new").wstring(), Path("diff").wstring(), problem,
                               &statistics),
                  ZELKRESULT_OK)
            << problem;
        EXPECT_GE(statistics.copiedBytes, pair.copied);
        const Bytes diff = ReadFile(Path("diff"));
        Bytes strict;
        EXPECT_TRUE(ApplyStrictly(old, diff, strict));
        EXPECT_TRUE(strict == pair.now) << "strict reading differs";
        ASSERT_EQ(RunTool(kPatchTool, {Path("old"), Path("diff"), Path("out")}), 0);
        EXPECT_TRUE(ReadFile(Path("out")) == pair.now) << "zelk-jptch's output differs";
    }
}

// Copies are found, not just data carried: a small edit gives a small difference.
TEST_F(JojoDiffTool, SmallEditsGiveSmallDifferences)
{
    WriteFile(Path("old"), kRandom);
    WriteFile(Path("new"), Splice(Splice(kRandom, 150000, 4, "ABCD"), 20000, 0, RandomBytes(1000, 15)) +
                               kRandom.substr(30000, 5000));
    ASSERT_EQ(RunTool(kDiffTool, {Path("old"), Path("new"), Path("diff")}), 0);
    EXPECT_LT(fs::file_size(Path("diff")), 1100u);
}

TEST_F(JojoDiffTool, DiffToolReportsUnusableFiles)
{
    WriteFile(Path("old"), "old");
    WriteFile(Path("new"), "new");
    EXPECT_EQ(RunTool(kDiffTool, {Path("old"), Path("new")}), 1);
    EXPECT_EQ(RunTool(kDiffTool, {Path("missing"), Path("new"), Path("diff")}), 2);
    EXPECT_EQ(RunTool(kDiffTool, {Path("old"), Path("missing"), Path("diff")}), 2);
    EXPECT_EQ(RunTool(kDiffTool, {Path("old"), Path("new"), Path("nodir/diff")}), 2);
    EXPECT_EQ(DirectoryNames(), (std::vector<std::string>{"new", "old"}));
    EXPECT_EQ(RunTool(kDiffTool, {"--help"}), 0);
}
} // namespace
