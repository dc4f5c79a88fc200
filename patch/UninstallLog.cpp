#include "patch/UninstallLog.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <functional>

#include "kernel/ByteOrder.h"
#include "kernel/ConfinedDirectory.h"
#include "kernel/FileUtil.h"
#include "kernel/ProductFacts.h"
#include "kernel/TextConvert.h"
#include "kernel/ZelkSystemLog.h"

namespace
{
constexpr char kLogId32[] = "Inno Setup Uninstall Log (b)";
constexpr char kLogId64[] = "Inno Setup Uninstall Log (b) 64-bit";

constexpr size_t kIdOffset = 0;
constexpr size_t kIdSize = 64;
constexpr size_t kAppIdOffset = 64;
constexpr size_t kAppNameOffset = 192;
constexpr size_t kNameFieldSize = 128;
constexpr size_t kVersionOffset = 320;
constexpr size_t kNumRecsOffset = 324;
constexpr size_t kEndOffsetOffset = 328;
constexpr size_t kFlagsOffset = 332;
constexpr size_t kHeaderCrcOffset = 444;
constexpr size_t kRecordHeaderSize = 10;

constexpr uint8_t kListEnd = 0xFF;
constexpr uint8_t kLength16 = 0xFD;
constexpr uint8_t kLength32 = 0xFE;
constexpr uint8_t kLargestShortLength = 252;

// The closing end-install record holds one 16-byte time stamp.
constexpr uint32_t kEndInstallAnsiSize = 28;
constexpr uint32_t kEndInstallUnicodeSize = 32;
// Far beyond any real log (a few MiB), and short of what reading it whole would strain.
constexpr uint64_t kMaxLogFileSize = 256ull << 20;

std::string FieldText(const std::string &bytes, size_t offset, size_t size)
{
    std::string text = bytes.substr(offset, size);
    return text.substr(0, text.find('\0'));
}

bool IsKnownRecordType(uint16_t type)
{
    return type == 0x01 || type == kUninstallRecordStartInstall || type == kUninstallRecordEndInstall ||
           type == 0x20 || (type >= 0x80 && type <= 0x8C);
}

uint32_t EndInstallSize(uint32_t version)
{
    return version >= kUninstallUnicodeVersion ? kEndInstallUnicodeSize : kEndInstallAnsiSize;
}

struct LogBlock
{
    size_t headerOffset;
    size_t dataOffset; // where the block's data starts in the joined record data
    uint32_t size;
};

// The checks the uninstaller makes on the header; false with the reason.
bool CheckHeader(const std::string &bytes, std::string &error)
{
    if (bytes.size() < kUninstallHeaderSize)
    {
        error = "shorter than its header";
        return false;
    }
    const std::string id = FieldText(bytes, kIdOffset, kIdSize);
    if (id != kLogId32 && id != kLogId64)
    {
        error = "unknown ID";
        return false;
    }
    if (LittleEndian::Read32(bytes.data() + kVersionOffset) > kUninstallNewestVersion)
    {
        error = "format version too new";
        return false;
    }
    if (UninstallCrc32(bytes.data(), kHeaderCrcOffset) != LittleEndian::Read32(bytes.data() + kHeaderCrcOffset))
    {
        error = "header checksum wrong";
        return false;
    }
    const uint32_t endOffset = LittleEndian::Read32(bytes.data() + kEndOffsetOffset);
    if (endOffset > bytes.size() || endOffset < kUninstallHeaderSize)
    {
        error = "end offset outside the file";
        return false;
    }
    return true;
}

// Walks the blocks up to the end offset, checking each, and joins their data.
bool ReadBlocks(const std::string &bytes, std::vector<LogBlock> &blocks, std::string &data, std::string &error)
{
    const size_t endOffset = LittleEndian::Read32(bytes.data() + kEndOffsetOffset);
    size_t position = kUninstallHeaderSize;
    while (position < endOffset)
    {
        if (position + kUninstallBlockHeaderSize > endOffset)
        {
            error = "block header beyond the end offset";
            return false;
        }
        const uint32_t size = LittleEndian::Read32(bytes.data() + position);
        const uint32_t notSize = LittleEndian::Read32(bytes.data() + position + 4);
        const uint32_t crc = LittleEndian::Read32(bytes.data() + position + 8);
        if (size > kUninstallBlockDataSize || notSize != ~size)
        {
            error = "block size damaged";
            return false;
        }
        const size_t dataStart = position + kUninstallBlockHeaderSize;
        if (dataStart + size > endOffset)
        {
            error = "block data beyond the end offset";
            return false;
        }
        if (UninstallCrc32(bytes.data() + dataStart, size) != crc)
        {
            error = "block checksum wrong";
            return false;
        }
        blocks.push_back({position, data.size(), size});
        data.append(bytes, dataStart, size);
        position = dataStart + size;
    }
    return true;
}

// Reads a string list that fills data exactly; false when the data is not one.
bool DecodeStringList(const std::string &data, std::vector<std::wstring> &strings)
{
    size_t position = 0;
    while (position < data.size())
    {
        const uint8_t prefix = static_cast<uint8_t>(data[position++]);
        if (prefix == kListEnd)
            return position == data.size();
        int64_t length = prefix;
        if (prefix == kLength16)
        {
            if (position + 2 > data.size())
                return false;
            length = LittleEndian::Read16(data.data() + position);
            position += 2;
        }
        else if (prefix == kLength32)
        {
            if (position + 4 > data.size())
                return false;
            length = static_cast<int32_t>(LittleEndian::Read32(data.data() + position));
            position += 4;
        }
        // A negative length is a UTF-16LE string of that many bytes.
        const bool wide = length < 0;
        const uint64_t byteCount = wide ? static_cast<uint64_t>(-length) : static_cast<uint64_t>(length);
        if (byteCount > data.size() - position || (wide && byteCount % 2 != 0))
            return false;
        if (wide)
            strings.push_back(DecodeUtf16LE(data.data() + position, byteCount / 2));
        else
            strings.push_back(NarrowToWide(data.substr(position, byteCount)));
        position += byteCount;
    }
    return false;
}

// Walks exactly count records through the joined record data, as the uninstaller reads them, and
// stricter: every type known and nothing after the last. visit gets each record's start, type and
// data size. False with the reason at the first record that does not fit.
bool WalkRecords(const std::string &data, uint32_t count,
                 const std::function<void(size_t start, uint16_t type, uint32_t size)> &visit, std::string &error)
{
    size_t position = 0;
    for (uint32_t i = 0; i < count; ++i)
    {
        if (position + kRecordHeaderSize > data.size())
        {
            error = "fewer records than counted";
            return false;
        }
        const uint16_t type = LittleEndian::Read16(data.data() + position);
        const uint32_t size = LittleEndian::Read32(data.data() + position + 6);
        if (!IsKnownRecordType(type))
        {
            error = "unknown record type";
            return false;
        }
        if (size > data.size() - position - kRecordHeaderSize)
        {
            error = "record data beyond the log";
            return false;
        }
        visit(position, type, size);
        position += kRecordHeaderSize + size;
    }
    if (position != data.size())
    {
        error = "data after the last counted record";
        return false;
    }
    return true;
}

bool IsEndInstallRecord(const std::string &tail, uint32_t version)
{
    return tail.size() == EndInstallSize(version) && LittleEndian::Read16(tail.data()) == kUninstallRecordEndInstall &&
           LittleEndian::Read32(tail.data() + 2) == 0 &&
           LittleEndian::Read32(tail.data() + 6) == tail.size() - kRecordHeaderSize &&
           static_cast<uint8_t>(tail.back()) == kListEnd;
}

void AppendBlocks(std::string &out, const std::string &data, std::vector<uint32_t> sizes = {})
{
    size_t position = 0;
    size_t next = 0;
    while (position < data.size())
    {
        uint32_t size = next < sizes.size() ? sizes[next++] : kUninstallBlockDataSize;
        size = static_cast<uint32_t>(std::min<size_t>(size, data.size() - position));
        LittleEndian::Append32(out, size);
        LittleEndian::Append32(out, ~size);
        LittleEndian::Append32(out, UninstallCrc32(data.data() + position, size));
        out.append(data, position, size);
        position += size;
    }
}

} // namespace

uint32_t UninstallCrc32(const void *data, size_t size, uint32_t crc)
{
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> entries{};
        for (uint32_t i = 0; i < 256; ++i)
        {
            uint32_t value = i;
            for (int bit = 0; bit < 8; ++bit)
                value = (value & 1) ? (value >> 1) ^ 0xEDB88320u : value >> 1;
            entries[i] = value;
        }
        return entries;
    }();
    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    crc = ~crc;
    for (size_t i = 0; i < size; ++i)
        crc = table[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

std::string EncodeUninstallString(const std::wstring &text, uint32_t version)
{
    std::string out;
    if (version >= kUninstallUnicodeVersion)
    {
        const std::string wide = EncodeUtf16LE(text);
        out += static_cast<char>(kLength32);
        LittleEndian::Append32(out, static_cast<uint32_t>(-static_cast<int32_t>(wide.size())));
        return out + wide;
    }
    const std::string narrow = WideToNarrow(text);
    if (narrow.size() <= kLargestShortLength)
    {
        out += static_cast<char>(narrow.size());
    }
    else if (narrow.size() <= 0xFFFF)
    {
        out += static_cast<char>(kLength16);
        LittleEndian::Append16(out, static_cast<uint16_t>(narrow.size()));
    }
    else
    {
        out += static_cast<char>(kLength32);
        LittleEndian::Append32(out, static_cast<uint32_t>(narrow.size()));
    }
    return out + narrow;
}

std::string EncodeUninstallRecord(uint16_t type, uint32_t extraData, const std::vector<std::wstring> &strings,
                                  uint32_t version)
{
    std::string data;
    for (const std::wstring &text : strings)
        data += EncodeUninstallString(text, version);
    data += static_cast<char>(kListEnd);
    std::string record;
    LittleEndian::Append16(record, type);
    LittleEndian::Append32(record, extraData);
    LittleEndian::Append32(record, static_cast<uint32_t>(data.size()));
    return record + data;
}

std::string EncodeEndInstallRecord(const std::string &timeStamp, uint32_t version)
{
    std::string stamp = timeStamp;
    stamp.resize(16, '\0');
    std::string data;
    if (version >= kUninstallUnicodeVersion)
    {
        data += static_cast<char>(kLength32);
        LittleEndian::Append32(data, static_cast<uint32_t>(-static_cast<int32_t>(stamp.size())));
    }
    else
    {
        data += static_cast<char>(stamp.size());
    }
    data += stamp;
    data += static_cast<char>(kListEnd);
    std::string record;
    LittleEndian::Append16(record, kUninstallRecordEndInstall);
    LittleEndian::Append32(record, 0);
    LittleEndian::Append32(record, static_cast<uint32_t>(data.size()));
    return record + data;
}

std::string BuildUninstallLog(const UninstallLogContents &header, uint32_t recordCount, const std::string &recordData,
                              const std::vector<uint32_t> &blockSizes)
{
    std::string out(kUninstallHeaderSize, '\0');
    out.replace(kIdOffset, std::min(header.id.size(), kIdSize - 1), header.id, 0, kIdSize - 1);
    out.replace(kAppIdOffset, std::min(header.appId.size(), kNameFieldSize - 1), header.appId, 0, kNameFieldSize - 1);
    out.replace(kAppNameOffset, std::min(header.appName.size(), kNameFieldSize - 1), header.appName, 0,
                kNameFieldSize - 1);
    LittleEndian::Write32(out.data() + kVersionOffset, header.version);
    LittleEndian::Write32(out.data() + kNumRecsOffset, recordCount);
    LittleEndian::Write32(out.data() + kFlagsOffset, header.flags);
    AppendBlocks(out, recordData, blockSizes);
    LittleEndian::Write32(out.data() + kEndOffsetOffset, static_cast<uint32_t>(out.size()));
    LittleEndian::Write32(out.data() + kHeaderCrcOffset, UninstallCrc32(out.data(), kHeaderCrcOffset));
    return out;
}

bool ParseUninstallLog(const std::string &bytes, UninstallLogContents &log, std::string &error)
{
    log = UninstallLogContents();
    if (!CheckHeader(bytes, error))
        return false;
    log.id = FieldText(bytes, kIdOffset, kIdSize);
    log.appId = FieldText(bytes, kAppIdOffset, kNameFieldSize);
    log.appName = FieldText(bytes, kAppNameOffset, kNameFieldSize);
    log.version = LittleEndian::Read32(bytes.data() + kVersionOffset);
    log.endOffset = LittleEndian::Read32(bytes.data() + kEndOffsetOffset);
    log.flags = LittleEndian::Read32(bytes.data() + kFlagsOffset);

    std::vector<LogBlock> blocks;
    std::string data;
    if (!ReadBlocks(bytes, blocks, data, error))
        return false;
    return WalkRecords(data, LittleEndian::Read32(bytes.data() + kNumRecsOffset),
                       [&](size_t start, uint16_t type, uint32_t size) {
                           UninstallRecord record;
                           record.type = type;
                           record.extraData = LittleEndian::Read32(data.data() + start + 2);
                           record.data = data.substr(start + kRecordHeaderSize, size);
                           if (!DecodeStringList(record.data, record.strings))
                               record.strings.clear();
                           log.records.push_back(std::move(record));
                       },
                       error);
}

bool ReadUninstallLog(const std::wstring &path, UninstallLogContents &log, std::string &error)
{
    std::string bytes;
    if (ReadWholeFile(path, bytes, kMaxLogFileSize) != ZELKRESULT_OK)
    {
        error = "cannot be read";
        return false;
    }
    return ParseUninstallLog(bytes, log, error);
}

bool ReadUninstallLog(const ConfinedDirectory &installation, UninstallLogContents &log, std::string &error)
{
    std::string bytes;
    if (installation.ReadWholeFile(ProductFacts::kUninstallLogName, bytes, kMaxLogFileSize) != ZELKRESULT_OK)
    {
        error = errno == kNameLeadsOutside ? "leads outside the installation" : "cannot be read";
        return false;
    }
    return ParseUninstallLog(bytes, log, error);
}

bool ExtendUninstallLog(const std::wstring &installPath, const std::vector<std::wstring> &entries)
{
    return ExtendUninstallLog(ConfinedDirectory(installPath), entries);
}

bool ExtendUninstallLog(const ConfinedDirectory &installation, const std::vector<std::wstring> &entries)
{
    if (entries.empty())
        return true;
    const std::wstring logName = ProductFacts::kUninstallLogName;
    const std::wstring logPath = installation.PathOf(logName);
    std::string bytes;
    if (installation.ReadWholeFile(logName, bytes, kMaxLogFileSize) != ZELKRESULT_OK)
    {
        const int reason = errno;
        ZelkSystemLogW(L"UpdateUninstallLog> cannot read %ls\n", logPath.c_str());
        errno = reason;
        return false;
    }
    // Everything is checked before anything is written: a log that the uninstaller would reject,
    // or whose closing record is not where it belongs, is left exactly as it is.
    std::string error;
    std::vector<LogBlock> blocks;
    std::string data;
    if (!CheckHeader(bytes, error) || !ReadBlocks(bytes, blocks, data, error))
    {
        ZelkSystemLog("UpdateUninstallLog> unins000.dat: %s\n", error.c_str());
        return false;
    }
    // The closing record is found by walking the records: bytes at the end that merely look like
    // one may be the tail of another record, which new records written in front of them would cut
    // in two.
    size_t lastStart = data.size();
    if (!WalkRecords(data, LittleEndian::Read32(bytes.data() + kNumRecsOffset),
                     [&lastStart](size_t start, uint16_t, uint32_t) { lastStart = start; }, error))
    {
        ZelkSystemLog("UpdateUninstallLog> unins000.dat: %s\n", error.c_str());
        return false;
    }
    const uint32_t version = LittleEndian::Read32(bytes.data() + kVersionOffset);
    const uint32_t tailSize = EndInstallSize(version);
    if (data.size() < tailSize || lastStart != data.size() - tailSize ||
        !IsEndInstallRecord(data.substr(lastStart), version))
    {
        ZelkSystemLog("UpdateUninstallLog> unins000.dat does not end with its end-install record\n");
        return false;
    }

    // Rewriting starts at the block that holds the first byte of the closing record; the blocks
    // before it stay as they are, whatever their size.
    const size_t tailStart = data.size() - tailSize;
    size_t first = blocks.size() - 1;
    while (blocks[first].dataOffset > tailStart)
        --first;
    std::string working = data.substr(blocks[first].dataOffset, tailStart - blocks[first].dataOffset);
    for (const std::wstring &entry : entries)
    {
        std::wstring path = JoinPath(installation.Path(), entry);
        NormalizeSeparators(path);
        working += EncodeUninstallRecord(kUninstallRecordDeleteFile, 0, {path}, version);
    }
    working += data.substr(tailStart);

    std::string updated = bytes.substr(0, blocks[first].headerOffset);
    AppendBlocks(updated, working);
    if (updated.size() > UINT32_MAX)
    {
        ZelkSystemLog("UpdateUninstallLog> unins000.dat would outgrow its 32-bit offsets\n");
        return false;
    }
    LittleEndian::Write32(updated.data() + kNumRecsOffset,
                          LittleEndian::Read32(bytes.data() + kNumRecsOffset) + static_cast<uint32_t>(entries.size()));
    // The end offset is the new end of the record data, the file's length: anything more would
    // make the installer's next append leave a gap that its uninstaller rejects.
    LittleEndian::Write32(updated.data() + kEndOffsetOffset, static_cast<uint32_t>(updated.size()));
    LittleEndian::Write32(updated.data() + kHeaderCrcOffset, UninstallCrc32(updated.data(), kHeaderCrcOffset));

    // A crash leaves the old or the new log whole; the run holds the installation, so a new file
    // left by an earlier run that died is nobody's.
    RemoveAbandonedReplacements(installation, logName);
    if (!WriteWholeFile(installation, logName, updated))
    {
        const int reason = errno;
        ZelkSystemLogW(L"UpdateUninstallLog> cannot replace %ls: %s\n", logPath.c_str(), std::strerror(reason));
        errno = reason;
        return false;
    }
    return true;
}
