// The repair manifest's format: what a publisher's manifest reads back as, what a hostile one is
// refused for (before it costs more than its own bytes), and which changes it vouches for.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "AddressSpaceLimit.h"
#include "ManifestFixtures.h"
#include "TestFiles.h"
#include "kernel/ByteOrder.h"
#include "repair/RepairManifest.h"

namespace
{
using testfiles::Pattern;
using manifestfixtures::ManifestOf;

// A little-endian number of 2, 4 or 8 bytes.
void PutNumber(std::string &bytes, size_t at, uint64_t value, size_t width)
{
    unsigned char field[8];
    LittleEndian::Write64(field, value);
    bytes.replace(at, width, reinterpret_cast<const char *>(field), width);
}

// A manifest written field by field, names and sizes as given (no rule checked), zero digests.
std::string RawManifest(const std::vector<std::pair<std::string, uint64_t>> &files)
{
    std::string bytes = ManifestOf({}).Encode();
    PutNumber(bytes, 24, files.size(), 4);
    for (const auto &[name, size] : files)
    {
        std::string entry(2 + name.size() + 8, '\0');
        PutNumber(entry, 0, name.size(), 2);
        entry.replace(2, name.size(), name);
        PutNumber(entry, 2 + name.size(), size, 8);
        bytes += entry + std::string(SegmentCount(size) * 2 * kRepairDigestSize, '\0');
    }
    return bytes;
}

const std::string kBig = Pattern(kSegmentSize + 70000, 'b');

TEST(RepairManifestTest, EncodedManifestReadsBackWithItsLayout)
{
    std::string blocks;
    const RepairManifest written = ManifestOf(
        {{"data/big.bin", kBig}, {"bin/Launcher.exe", "launcher!!"}, {"data/empty.cfg", ""}, {"zz.txt", "zzz"}}, 42,
        &blocks);
    const std::string bytes = written.Encode();
    // The header, then per file its name and size, and 64 bytes per segment.
    EXPECT_EQ(bytes.size(), 28u + (2 + 16 + 8) + (2 + 12 + 8) + (2 + 14 + 8) + (2 + 6 + 8) + 4 * 64u);

    RepairManifest read;
    std::string problem;
    ASSERT_EQ(read.Parse(bytes.data(), bytes.size(), problem), ZELKRESULT_OK) << problem;
    EXPECT_EQ(read.Encode(), bytes);
    EXPECT_EQ(read.GetSerial(), 42u);
    ASSERT_EQ(read.GetFiles().size(), 4u);
    EXPECT_EQ(read.GetFiles()[0].name, "bin/Launcher.exe");
    EXPECT_EQ(read.GetBlockCount() * kRepairDigestSize, blocks.size());

    const RepairManifest::File *big = read.FindFile(L"data\\big.bin");
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(big->size, kBig.size());
    EXPECT_EQ(RepairManifest::SegmentLength(*big, 1), 70000u);
    // The second segment's block digests follow the launcher's one block and the first segment's 64.
    EXPECT_EQ(RepairManifest::BlocksOffset(*big, 1), (1 + 64) * 32u);
    EXPECT_EQ(RepairManifest::BlocksLength(*big, 1), 2 * 32u);
    const std::string range = blocks.substr(RepairManifest::BlocksOffset(*big, 1), 64);
    EXPECT_EQ(DigestOfBlockDigests(reinterpret_cast<const uint8_t *>(range.data()), 2),
              read.GetSegment(*big, 1).blocksDigest);
    EXPECT_EQ(read.GetSegment(*big, 1).digest, manifestfixtures::Digest(kBig.substr(kSegmentSize)));
    EXPECT_EQ(read.FindFile(L"data\\nothing.bin"), nullptr);
}

struct HostileCase
{
    const char *what;
    std::function<std::string()> bytes;
};

class HostileManifestTest : public testing::TestWithParam<HostileCase>
{
};

TEST_P(HostileManifestTest, IsRefusedAndLeavesNothing)
{
    const std::string bytes = GetParam().bytes();
    RepairManifest manifest;
    std::string problem;
    EXPECT_EQ(manifest.Parse(bytes.data(), bytes.size(), problem), ZELKRESULT_BAD_FORMAT);
    EXPECT_FALSE(problem.empty());
    EXPECT_TRUE(manifest.GetFiles().empty());
}

std::string Valid()
{
    return ManifestOf({{"a/b.bin", "hello"}}).Encode();
}

std::string With(std::string bytes, size_t at, uint64_t value, size_t width)
{
    PutNumber(bytes, at, value, width);
    return bytes;
}

// The size of the first file when its name is one byte long.
std::string WithSize(const std::string &bytes, uint64_t size)
{
    return With(bytes, 28 + 2 + 1, size, 8);
}

INSTANTIATE_TEST_SUITE_P(
    Manifests, HostileManifestTest,
    testing::Values(
        HostileCase{"empty", [] { return std::string(); }},
        HostileCase{"other_magic", [] { return With(Valid(), 0, 0x666D7231, 4); }},
        HostileCase{"version_2", [] { return With(Valid(), 4, 2, 4); }},
        HostileCase{"other_segment_size", [] { return With(Valid(), 8, 1 << 20, 4); }},
        HostileCase{"other_block_size", [] { return With(Valid(), 12, 4096, 4); }},
        HostileCase{"count_beyond_the_bound", [] { return With(Valid(), 24, kMaxRepairManifestFiles + 1, 4); }},
        HostileCase{"count_beyond_the_bytes", [] { return With(Valid(), 24, kMaxRepairManifestFiles, 4); }},
        HostileCase{"byte_after_the_last_file", [] { return Valid() + '\0'; }},
        HostileCase{"cut_inside_a_digest", [] { return Valid().substr(0, Valid().size() - 1); }},
        HostileCase{"name_length_beyond_the_bytes", [] { return With(Valid(), 28, 0xFFFF, 2); }},
        HostileCase{"empty_name", [] { return RawManifest({{"", 1}}); }},
        HostileCase{"name_too_long",
                    [] { return RawManifest({{std::string(kMaxRepairManifestNameBytes + 1, 'a'), 1}}); }},
        HostileCase{"parent_component", [] { return RawManifest({{"../outside.bin", 1}}); }},
        HostileCase{"absolute_name", [] { return RawManifest({{"/etc/passwd", 1}}); }},
        HostileCase{"backslash", [] { return RawManifest({{"a\\..\\..\\b", 1}}); }},
        HostileCase{"empty_component", [] { return RawManifest({{"a//b", 1}}); }},
        HostileCase{"dot_component", [] { return RawManifest({{"a/./b", 1}}); }},
        HostileCase{"control_character", [] { return RawManifest({{"a\nb", 1}}); }},
        HostileCase{"not_utf8", [] { return RawManifest({{"\xC0\xAF", 1}}); }},
        HostileCase{"installation_own_file", [] { return RawManifest({{"repair.cks", 1}}); }},
        HostileCase{"names_out_of_order", [] { return RawManifest({{"b", 1}, {"a", 1}}); }},
        HostileCase{"name_twice", [] { return RawManifest({{"a", 1}, {"a", 1}}); }},
        HostileCase{"segments_beyond_the_bound",
                    [] { return WithSize(RawManifest({{"a", 1}}), (kMaxRepairManifestSegments + 1) * kSegmentSize); }},
        HostileCase{"segments_beyond_the_bytes", [] { return WithSize(RawManifest({{"a", 1}}), 3 * kSegmentSize); }},
        HostileCase{"size_beyond_a_file_offset", [] { return WithSize(RawManifest({{"a", 1}}), 1ull << 63); }}),
    [](const testing::TestParamInfo<HostileCase> &info) { return std::string(info.param.what); });

// What a hostile manifest claims never sizes an allocation: refused with little address space to
// spare, not by a failed allocation.
TEST(RepairManifestBoundsTest, ClaimsAllocateNothing)
{
    const auto body = [] {
        for (const std::string &bytes :
             {With(Valid(), 24, kMaxRepairManifestFiles, 4),
              WithSize(RawManifest({{"a", 1}}), kMaxRepairManifestSegments * kSegmentSize)})
        {
            RepairManifest manifest;
            std::string problem;
            if (manifest.Parse(bytes.data(), bytes.size(), problem) != ZELKRESULT_BAD_FORMAT)
                return 1;
        }
        return 0;
    };
    EXPECT_EXIT(std::_Exit(RunWithAddressSpaceLimit(body, 64u << 20)), testing::ExitedWithCode(0), "");
}

struct VouchCase
{
    const char *what;
    std::wstring key;
    uint32_t checksum;
    std::string data;
    uint64_t localSize;
    RecordVouch expected;
};

class VouchTest : public testing::TestWithParam<VouchCase>
{
};

const std::string kWhole = Pattern(kSegmentSize, 'w');
const std::string kTwo = Pattern(kSegmentSize + 10, 't');

TEST_P(VouchTest, ManifestVouchesOnlyForItsOwnChanges)
{
    static const RepairManifest manifest =
        ManifestOf({{"a.bin", "hello"}, {"whole.bin", kWhole}, {"dir/two.bin", kTwo}, {"empty.cfg", ""}});
    const VouchCase &c = GetParam();
    EXPECT_EQ(manifest.Vouch(c.key, c.checksum, reinterpret_cast<const uint8_t *>(c.data.data()), c.data.size(),
                             c.localSize),
              c.expected)
        << DescribeRecordVouch(c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Records, VouchTest,
    testing::Values(
        VouchCase{"its_segment", L"a.bin#000", 7, "hello", 0, RecordVouch::Vouched},
        VouchCase{"other_bytes", L"a.bin#000", 7, "hellp", 5, RecordVouch::OtherBytes},
        VouchCase{"more_bytes", L"a.bin#000", 7, "hello!", 5, RecordVouch::OtherBytes},
        VouchCase{"segment_past_its_end", L"a.bin#001", 7, "", 5, RecordVouch::NotListed},
        VouchCase{"file_it_lacks", L"new.bin#000", 7, "x", 0, RecordVouch::NotListed},
        VouchCase{"deletion_of_a_file_it_lacks", L"old.bin#000", 0, "", 9, RecordVouch::Vouched},
        VouchCase{"deletion_of_its_file", L"a.bin#000", 0, "", 5, RecordVouch::NotCalledFor},
        VouchCase{"deletion_of_the_uninstall_log", L"unins000.dat#000", 0, "", 9, RecordVouch::InstallationOwn},
        VouchCase{"segment_of_the_summary", L"repair.cks#000", 7, "x", 0, RecordVouch::InstallationOwn},
        VouchCase{"cut_where_it_ends", L"whole.bin#001", 0, "", 2 * kSegmentSize, RecordVouch::Vouched},
        VouchCase{"cut_where_it_goes_on", L"dir\\two.bin#001", 0, "", 2 * kSegmentSize, RecordVouch::NotCalledFor},
        VouchCase{"cut_of_a_file_it_lacks", L"old.bin#001", 0, "", 2 * kSegmentSize, RecordVouch::NotCalledFor},
        VouchCase{"its_empty_file", L"empty.cfg#000", 1, "", 7, RecordVouch::Vouched},
        VouchCase{"bytes_for_its_empty_file", L"empty.cfg#000", 7, "x", 0, RecordVouch::NotListed},
        VouchCase{"last_segment_after_the_first", L"dir\\two.bin#001", 7, kTwo.substr(kSegmentSize), kSegmentSize,
                  RecordVouch::Vouched},
        VouchCase{"last_segment_leaving_a_gap", L"dir\\two.bin#001", 7, kTwo.substr(kSegmentSize), 100,
                  RecordVouch::LeavesGap}),
    [](const testing::TestParamInfo<VouchCase> &info) { return std::string(info.param.what); });
} // namespace
