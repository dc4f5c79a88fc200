// The segment digests kept beside the summary: a digest counts only for the checksum it was taken
// with, survives a save and a load, and a damaged file only costs the digests it held.
#include <gtest/gtest.h>

#include "ManifestFixtures.h"
#include "TestFiles.h"
#include "kernel/TextConvert.h"
#include "repair/SegmentDigestCache.h"

namespace
{
TEST(SegmentDigestCacheTest, DigestsCountForTheirChecksumAcrossSaveAndLoad)
{
    testfiles::TempDirectory temp("zelk-digests");
    const std::wstring path = NativeToPath((temp.Path() / "repair.sha").string());
    const Sha256Digest a = manifestfixtures::Digest("a");
    const Sha256Digest b = manifestfixtures::Digest("b");
    SegmentDigestCache written;
    written.Store(L"dir\\a.bin#000", 11, a);
    written.Store(L"b.bin#001", 22, b);
    written.Store(L"unreadable.bin#000", 0, a);
    ASSERT_EQ(written.Save(path), ZELKRESULT_OK);

    SegmentDigestCache read;
    ASSERT_EQ(read.Load(path), ZELKRESULT_OK);
    EXPECT_EQ(read.GetCount(), 2u);
    Sha256Digest found{};
    EXPECT_TRUE(read.Find(L"dir\\a.bin#000", 11, found));
    EXPECT_EQ(found, a);
    EXPECT_FALSE(read.Find(L"dir\\a.bin#000", 12, found)) << "the segment changed since its digest was taken";
    EXPECT_FALSE(read.Find(L"unreadable.bin#000", 0, found));

    FileTreeSummary::Entry kept;
    kept.name = L"b.bin#001";
    kept.checksum = 22;
    FileTreeSummary::Entry changed;
    changed.name = L"dir\\a.bin#000";
    changed.checksum = 99;
    read.KeepOnly({kept, changed});
    EXPECT_EQ(read.GetCount(), 1u);
    EXPECT_TRUE(read.Find(L"b.bin#001", 22, found));
}

TEST(SegmentDigestCacheTest, TheKeptManifestComesBackOnlyWholeAndTheDigestsWithoutIt)
{
    testfiles::TempDirectory temp("zelk-digests");
    const std::wstring path = NativeToPath((temp.Path() / "repair.sha").string());
    const KeptRepairManifest manifest{HttpVersion{"\"v1\""}, std::string("manifest\0bytes", 14), "signature"};
    SegmentDigestCache written;
    written.Store(L"a.bin#000", 11, manifestfixtures::Digest("a"));
    written.KeepManifest(manifest);
    ASSERT_TRUE(written.IsChanged());
    ASSERT_EQ(written.Save(path), ZELKRESULT_OK);
    const std::string whole = testfiles::ReadFile(temp.Path() / "repair.sha");
    const size_t manifestPart = 3 * 4 + manifest.version.etag.size() + manifest.bytes.size() + manifest.signature.size();

    std::string lineBreak = whole;
    lineBreak.replace(lineBreak.find("\"v1\""), 4, "\"\r\n\"");
    std::string firstForm = whole.substr(0, whole.size() - manifestPart);
    firstForm[0] = '0';
    struct
    {
        const char *what;
        std::string bytes;
        bool manifestKept;
    } const cases[] = {
        {"whole", whole, true},
        {"cut short", whole.substr(0, whole.size() - 1), false},
        {"a tag that would break the request's header", lineBreak, false},
        {"the first form, without a manifest", firstForm, false},
    };
    for (const auto &c : cases)
    {
        testfiles::WriteFile(temp.Path() / "repair.sha", c.bytes);
        SegmentDigestCache read;
        read.Load(path);
        Sha256Digest found{};
        EXPECT_TRUE(read.Find(L"a.bin#000", 11, found)) << c.what;
        EXPECT_EQ(read.GetKeptManifest() == manifest, c.manifestKept) << c.what;
        if (!c.manifestKept)
        {
            EXPECT_TRUE(read.GetKeptManifest().bytes.empty()) << c.what;
        }
    }
}

TEST(SegmentDigestCacheTest, DamagedFilesGiveNothingAndEndTheirRead)
{
    testfiles::TempDirectory temp("zelk-digests");
    const std::wstring path = NativeToPath((temp.Path() / "repair.sha").string());
    // The magic, then a count and a name length far beyond what the file holds.
    for (const std::string &bytes : {std::string("nope"), std::string("0sha\xff\xff\xff\x7f", 8),
                                     std::string("0sha\x01\0\0\0\xff\xff\xff\xff", 12)})
    {
        testfiles::WriteFile(temp.Path() / "repair.sha", bytes);
        SegmentDigestCache cache;
        EXPECT_NE(cache.Load(path), ZELKRESULT_OK);
        EXPECT_EQ(cache.GetCount(), 0u);
    }
}
} // namespace
