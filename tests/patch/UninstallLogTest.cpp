#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>

#include "TestFiles.h"
#include "kernel/ByteOrder.h"
#include "kernel/FileUtil.h"
#include "kernel/TextConvert.h"
#include "patch/UninstallLog.h"

namespace
{
constexpr uint32_t kAnsiVersion = 48;
constexpr uint32_t kUnicodeVersion = 1048;

// Record data of exactly size bytes that ends with the end-install record: user-defined records
// of any length fill the space before it.
std::string RecordData(uint32_t size, uint32_t version, uint32_t &count)
{
    const std::string closing = EncodeEndInstallRecord(std::string("\xEA\x07\x0C\0\x04\0\x0A\0\x04\0\x0F", 11), version);
    count = 1;
    std::string data;
    size_t rest = size - closing.size();
    uint8_t fill = 1;
    while (rest > 0)
    {
        size_t take = std::min<size_t>(rest, 300);
        if (rest - take > 0 && rest - take < 10)
            take = rest - 10;
        std::string record;
        record += '\x01';
        record += '\0';
        record.append(4, '\0');
        const uint32_t dataSize = static_cast<uint32_t>(take - 10);
        LittleEndian::Append32(record, dataSize);
        record.append(dataSize, static_cast<char>(fill++));
        data += record;
        rest -= take;
        ++count;
    }
    return data + closing;
}

using testfiles::ReadFile;
using testfiles::WriteFile;

uint32_t U32At(const std::string &bytes, size_t offset)
{
    return LittleEndian::Read32(bytes.data() + offset);
}

// Sizes of the blocks of a log, in order.
std::vector<uint32_t> BlockSizes(const std::string &log)
{
    std::vector<uint32_t> sizes;
    for (size_t position = kUninstallHeaderSize; position + kUninstallBlockHeaderSize <= log.size();)
    {
        sizes.push_back(U32At(log, position));
        position += kUninstallBlockHeaderSize + sizes.back();
    }
    return sizes;
}

class UninstallLogTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_FALSE(m_temp.Path().empty());
        m_install = NativeToPath(m_temp.Path().string());
        m_logPath = JoinPath(m_install, L"unins000.dat");
    }

    // Nothing but the log: no new log left beside it.
    std::set<std::wstring> InstallationEntries() const
    {
        std::set<std::wstring> entries;
        ListDirectory(m_install, entries);
        return entries;
    }

    std::string MakeLog(uint32_t version, uint32_t dataSize, const std::vector<uint32_t> &blockSizes = {})
    {
        UninstallLogContents header;
        header.id = "Inno Setup Uninstall Log (b)";
        header.appId = "KorvilSimulator";
        header.appName = "Korvil";
        header.version = version;
        uint32_t count = 0;
        const std::string data = RecordData(dataSize, version, count);
        const std::string log = BuildUninstallLog(header, count, data, blockSizes);
        WriteFile(m_logPath, log);
        return log;
    }

    // Extends the log and checks what every extension must give: a log that passes the reader,
    // with the old records, then one delete-file record per entry, then the closing record.
    void ExtendAndCheck(const std::string &before, const std::vector<std::wstring> &entries)
    {
        ASSERT_TRUE(ExtendUninstallLog(m_install, entries));
        const std::string after = ReadFile(m_logPath);
        UninstallLogContents old;
        UninstallLogContents updated;
        std::string error;
        ASSERT_TRUE(ParseUninstallLog(before, old, error)) << error;
        ASSERT_TRUE(ParseUninstallLog(after, updated, error)) << error;
        EXPECT_EQ(updated.endOffset, after.size());
        ASSERT_EQ(updated.records.size(), old.records.size() + entries.size());
        for (size_t i = 0; i + 1 < old.records.size(); ++i)
            EXPECT_TRUE(updated.records[i].data == old.records[i].data) << "record " << i;
        for (size_t i = 0; i < entries.size(); ++i)
        {
            const UninstallRecord &record = updated.records[old.records.size() - 1 + i];
            EXPECT_EQ(record.type, kUninstallRecordDeleteFile);
            EXPECT_EQ(record.extraData, 0u);
            ASSERT_EQ(record.strings.size(), 1u);
            std::wstring expected = m_install + L"/" + entries[i];
            NormalizeSeparators(expected);
            EXPECT_EQ(record.strings[0], expected);
        }
        EXPECT_EQ(updated.records.back().type, kUninstallRecordEndInstall);
        EXPECT_TRUE(updated.records.back().data == old.records.back().data);
        EXPECT_EQ(InstallationEntries(), std::set<std::wstring>{m_logPath});
        const std::vector<uint32_t> sizes = BlockSizes(after);
        for (size_t i = 0; i + 1 < sizes.size(); ++i)
            EXPECT_LE(sizes[i], kUninstallBlockDataSize);
    }

    // An entry that makes the full path exactly length characters long.
    std::wstring EntryForPathLength(size_t length) const
    {
        const size_t prefix = m_install.size() + 1;
        std::wstring entry = L"data/";
        entry += std::wstring(length - prefix - entry.size() - 4, L'a');
        return entry + L".pak";
    }

    testfiles::TempDirectory m_temp{"ulog"};
    std::wstring m_install;
    std::wstring m_logPath;
};
} // namespace

TEST_F(UninstallLogTest, OneRecordJoinsTheLastShortBlockAheadOfTheClosingRecord)
{
    const std::string before = MakeLog(kAnsiVersion, 4096 + 100);
    ExtendAndCheck(before, {EntryForPathLength(28)});
    const std::string after = ReadFile(m_logPath);
    EXPECT_EQ(BlockSizes(after), (std::vector<uint32_t>{4096, 140}));
    EXPECT_EQ(U32At(after, 324), U32At(before, 324) + 1);
    // The full block is untouched, the final one is the old 72 bytes, the new 40-byte record and
    // the 28 held back.
    const size_t lastData = kUninstallHeaderSize + 2 * kUninstallBlockHeaderSize + 4096;
    EXPECT_TRUE(after.substr(kUninstallHeaderSize, 4096 + 12) == before.substr(kUninstallHeaderSize, 4096 + 12));
    EXPECT_TRUE(after.substr(lastData, 72) == before.substr(lastData, 72));
    EXPECT_TRUE(after.substr(lastData + 112) == before.substr(lastData + 72));
    EXPECT_EQ(after[lastData + 72 + 10], 28) << "one-byte length prefix";
}

TEST_F(UninstallLogTest, ManyRecordsFillWholeBlocksAndEndWithAPartialOne)
{
    const std::string before = MakeLog(kAnsiVersion, 100);
    std::vector<std::wstring> entries;
    for (int i = 0; i < 60; ++i)
        entries.push_back(L"data/levels/region" + std::to_wstring(i) + L"/" + std::wstring(150, L'x') + L".pak");
    ExtendAndCheck(before, entries);
    const std::vector<uint32_t> sizes = BlockSizes(ReadFile(m_logPath));
    ASSERT_GE(sizes.size(), 3u);
    for (size_t i = 0; i + 1 < sizes.size(); ++i)
        EXPECT_EQ(sizes[i], 4096u);
    EXPECT_LT(sizes.back(), 4096u);
}

TEST_F(UninstallLogTest, LengthPrefixGrowsAfter252Bytes)
{
    struct Case
    {
        size_t length;
        std::vector<uint8_t> prefix;
    };
    const Case cases[] = {{252, {252}}, {253, {0xFD, 253, 0}}};
    for (const Case &test : cases)
    {
        SCOPED_TRACE(test.length);
        const std::string before = MakeLog(kAnsiVersion, 600);
        ExtendAndCheck(before, {EntryForPathLength(test.length)});
        UninstallLogContents log;
        std::string error;
        ASSERT_TRUE(ReadUninstallLog(m_logPath, log, error)) << error;
        const std::string &data = log.records[log.records.size() - 2].data;
        EXPECT_EQ(data.size(), test.length + test.prefix.size() + 1);
        EXPECT_EQ(std::vector<uint8_t>(data.begin(), data.begin() + test.prefix.size()), test.prefix);
    }
}

TEST_F(UninstallLogTest, UnicodeLogsGetUnicodeRecords)
{
    const std::string before = MakeLog(kUnicodeVersion, 5000);
    ExtendAndCheck(before, {L"bin/Neu\u00E9.dll", L"data\\sub\\file.pak"});
    UninstallLogContents log;
    std::string error;
    ASSERT_TRUE(ReadUninstallLog(m_logPath, log, error)) << error;
    const std::string &data = log.records[log.records.size() - 3].data;
    EXPECT_EQ(static_cast<uint8_t>(data[0]), 0xFE);
    EXPECT_EQ(static_cast<int32_t>(U32At(data, 1)), -2 * static_cast<int32_t>(m_install.size() + 13));
    EXPECT_EQ(log.records[log.records.size() - 2].strings[0], m_install + L"/data/sub/file.pak");
}

TEST_F(UninstallLogTest, TheClosingRecordMayStartInAnEarlierBlock)
{
    struct Case
    {
        const char *name;
        uint32_t dataSize;
        std::vector<uint32_t> blockSizes;
        size_t keptBlocks; // blocks before the one holding the closing record's first byte
    };
    const Case cases[] = {
        {"last block shorter than the closing record", 4096 + 4096 + 10, {}, 1},
        {"short blocks in the middle", 100 + 4096 + 50 + 20, {100, 4096, 50, 20}, 2},
        {"data ending on a block boundary", 8192, {}, 1},
    };
    for (const Case &test : cases)
    {
        SCOPED_TRACE(test.name);
        const std::string before = MakeLog(kUnicodeVersion, test.dataSize, test.blockSizes);
        ExtendAndCheck(before, {L"bin/added.dll"});
        const std::string after = ReadFile(m_logPath);
        size_t kept = kUninstallHeaderSize;
        const std::vector<uint32_t> sizes = BlockSizes(before);
        for (size_t i = 0; i < test.keptBlocks; ++i)
            kept += kUninstallBlockHeaderSize + sizes[i];
        EXPECT_TRUE(after.substr(kUninstallHeaderSize, kept - kUninstallHeaderSize) ==
                    before.substr(kUninstallHeaderSize, kept - kUninstallHeaderSize));
    }
}

TEST_F(UninstallLogTest, LogsThatCannotBeExtendedSafelyAreLeftAlone)
{
    const std::string good = MakeLog(kAnsiVersion, 500);
    std::string wrongTail = good;
    // The last record is no longer an end-install record, so its header fixes nothing.
    UninstallLogContents header;
    header.id = "Inno Setup Uninstall Log (b)";
    header.version = kAnsiVersion;
    uint32_t count = 0;
    std::string data = RecordData(500, kAnsiVersion, count);
    data[data.size() - 28] = 0x10;
    wrongTail = BuildUninstallLog(header, count, data);
    std::string damagedBlock = good;
    damagedBlock[kUninstallHeaderSize + kUninstallBlockHeaderSize + 5] ^= 1;
    std::string damagedHeader = good;
    damagedHeader[200] ^= 1;
    // A Unicode version on an ANSI log: the closing record is not of the size that version needs.
    std::string wrongVersion = good;
    wrongVersion[320] = static_cast<char>(0xE8);
    wrongVersion[321] = 0x03;
    LittleEndian::Write32(wrongVersion.data() + 444, UninstallCrc32(wrongVersion.data(), 444));
    // The last record is a user-defined one whose data ends with the bytes of a closing record: the
    // tail looks right, but it is no record of its own, and writing in front of it would cut that
    // record in two.
    std::string hiddenTail;
    {
        std::string tailData = RecordData(400, kAnsiVersion, count);
        const std::string closing = EncodeEndInstallRecord(std::string(16, '\x07'), kAnsiVersion);
        tailData += std::string("\x01\x00\x00\x00\x00\x00", 6);
        LittleEndian::Append32(tailData, static_cast<uint32_t>(closing.size()));
        tailData += closing;
        hiddenTail = BuildUninstallLog(header, count + 1, tailData);
        UninstallLogContents parsed;
        std::string error;
        ASSERT_TRUE(ParseUninstallLog(hiddenTail, parsed, error)) << error;
        ASSERT_EQ(parsed.records.back().type, 0x01);
    }
    const std::pair<const char *, std::string> cases[] = {
        {"not an end-install record", wrongTail},
        {"closing record's bytes at the end of another record", hiddenTail},
        {"damaged block", damagedBlock},
        {"damaged header", damagedHeader},
        {"closing record of the wrong size", wrongVersion},
        {"too short for a closing record", std::string(good, 0, kUninstallHeaderSize)},
    };
    for (const auto &[name, bytes] : cases)
    {
        SCOPED_TRACE(name);
        WriteFile(m_logPath, bytes);
        EXPECT_FALSE(ExtendUninstallLog(m_install, {L"bin/added.dll"}));
        EXPECT_TRUE(ReadFile(m_logPath) == bytes);
        EXPECT_EQ(InstallationEntries(), std::set<std::wstring>{m_logPath});
    }
    EXPECT_FALSE(ExtendUninstallLog(m_install + L"/missing", {L"bin/added.dll"}));
}

TEST_F(UninstallLogTest, NoAddedFilesLeaveTheLogUnchanged)
{
    const std::string before = MakeLog(kAnsiVersion, 4096 + 100);
    EXPECT_TRUE(ExtendUninstallLog(m_install, {}));
    EXPECT_TRUE(ReadFile(m_logPath) == before);
}

TEST_F(UninstallLogTest, TheReaderRejectsWhatTheUninstallerWould)
{
    const std::string good = MakeLog(kUnicodeVersion, 5000);
    UninstallLogContents log;
    std::string error;
    ASSERT_TRUE(ParseUninstallLog(good, log, error)) << error;
    EXPECT_EQ(log.version, kUnicodeVersion);
    EXPECT_EQ(log.appId, "KorvilSimulator");

    auto withCount = [&](uint32_t count) {
        std::string bytes = good;
        LittleEndian::Write32(bytes.data() + 324, count);
        LittleEndian::Write32(bytes.data() + 444, UninstallCrc32(bytes.data(), 444));
        return bytes;
    };
    std::string shortEnd = good;
    LittleEndian::Write32(shortEnd.data() + 328, U32At(good, 328) - 1);
    const std::pair<const char *, std::string> cases[] = {
        {"more records counted than present", withCount(static_cast<uint32_t>(log.records.size() + 1))},
        {"fewer records counted than present", withCount(static_cast<uint32_t>(log.records.size() - 1))},
        {"header checksum", shortEnd},
        {"foreign ID", "X" + good.substr(1)},
    };
    for (const auto &[name, bytes] : cases)
    {
        SCOPED_TRACE(name);
        UninstallLogContents ignored;
        EXPECT_FALSE(ParseUninstallLog(bytes, ignored, error));
    }
}
