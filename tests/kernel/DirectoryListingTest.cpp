#include <gtest/gtest.h>

#include <filesystem>
#include <utime.h>

#include "TestFiles.h"
#include "kernel/DirectoryListing.h"
#include "kernel/TextConvert.h"

namespace fs = std::filesystem;

TEST(DirectoryListing, TellsKindSizeAndTimeOfEveryEntryInNameOrder)
{
    testfiles::TempDirectory dir("zelk-listing");
    testfiles::WriteFile(dir.Path() / "b.bin", "12345");
    const utimbuf times = {1600000000, 1600000000};
    ASSERT_EQ(utime((dir / "b.bin").c_str(), &times), 0);
    fs::create_directory(dir.Path() / "a");
    fs::create_directory_symlink(dir.Path() / "a", dir.Path() / "c-dir-link");
    fs::create_symlink(dir.Path() / "b.bin", dir.Path() / "d-file-link");
    fs::create_symlink(dir.Path() / "missing", dir.Path() / "e-dangling");

    std::vector<DirectoryEntry> entries;
    ASSERT_EQ(ListDirectoryEntries(NativeToPath(dir.Path().string()), entries), ZELKRESULT_OK);
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_EQ(entries[0].name, L"a");
    EXPECT_TRUE(entries[0].known && entries[0].isDirectory && !entries[0].isLink);
    EXPECT_EQ(entries[1].name, L"b.bin");
    EXPECT_TRUE(entries[1].known && !entries[1].isDirectory && !entries[1].isLink);
    EXPECT_EQ(entries[1].size, 5u);
    EXPECT_EQ(entries[1].modifiedTime, 1600000000);
    EXPECT_TRUE(entries[2].known && entries[2].isDirectory && entries[2].isLink);
    // A link to a file describes its target.
    EXPECT_TRUE(entries[3].known && !entries[3].isDirectory && entries[3].isLink);
    EXPECT_EQ(entries[3].size, 5u);
    EXPECT_EQ(entries[3].modifiedTime, 1600000000);
    EXPECT_FALSE(entries[4].known);
    EXPECT_TRUE(entries[4].isLink);

    EXPECT_EQ(ListDirectoryEntries(NativeToPath((dir.Path() / "none").string()), entries), ZELKRESULT_LIST_FAILED);
    EXPECT_TRUE(entries.empty());
}
