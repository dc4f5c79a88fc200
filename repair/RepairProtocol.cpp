#include "repair/RepairProtocol.h"

#include "kernel/ByteOrder.h"
#include "kernel/FileUtil.h"
#include "kernel/ProductFacts.h"
#include "kernel/TextConvert.h"

namespace
{
constexpr wchar_t kIndexMark = L'#';
constexpr size_t kMinIndexDigits = 3;

bool IsSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

// Every component between separators is a name: not empty and not ".", which would give one file
// two keys (".." is refused with the other ways out of the directory).
bool HasOnlyNamedComponents(const std::wstring &path)
{
    size_t start = 0;
    while (start <= path.size())
    {
        size_t end = start;
        while (end < path.size() && !IsSeparator(path[end]))
            ++end;
        if (end == start || path.compare(start, end - start, L".") == 0)
            return false;
        start = end + 1;
    }
    return true;
}
} // namespace

bool IsSafeSegmentKey(const std::wstring &key)
{
    if (!IsWithinUntrustedNameBounds(key))
        return false;
    const size_t mark = key.rfind(kIndexMark);
    if (mark == std::wstring::npos || key.size() - mark - 1 < kMinIndexDigits)
        return false;
    for (size_t i = mark + 1; i < key.size(); ++i)
    {
        if (key[i] < L'0' || key[i] > L'9')
            return false;
    }
    if (SegmentKeyIndex(key) < 0)
        return false;
    const std::wstring path = key.substr(0, mark);
    return IsContainedRelativeName(path) && HasOnlyNamedComponents(path);
}

bool IsInstallationOwn(const std::wstring &relative)
{
    return relative == ProductFacts::kRepairSummaryName || relative == ProductFacts::kRepairDigestsName ||
           relative == ProductFacts::kUninstallerName || relative == ProductFacts::kUninstallLogName ||
           relative == ProductFacts::kStepJournalName;
}

RepairRecordFault CheckRepairRecordHeader(const RepairRecordHeader &header)
{
    if (header.name.size() > kMaxUntrustedNameUnits)
        return RepairRecordFault::NameTooLong;
    if (header.checksum == 0 && (header.compressed || header.payloadLength != 0))
        return RepairRecordFault::MismatchedFlags;
    if (header.compressed && header.payloadLength == 0)
        return RepairRecordFault::MismatchedFlags;
    const uint32_t limit = header.compressed ? kMaxCompressedRecordPayload : kMaxRawRecordPayload;
    if (header.payloadLength > limit)
        return RepairRecordFault::PayloadTooLong;
    if (!IsSafeSegmentKey(header.name))
        return RepairRecordFault::UnsafeName;
    return RepairRecordFault::None;
}

ZELKRESULT ReadRepairRecordHeader(ZelkDataBuffer &source, RepairRecordHeader &header, RepairRecordFault &fault)
{
    fault = RepairRecordFault::None;
    header = RepairRecordHeader();
    uint8_t lead[kRepairRecordLeadSize];
    if (const ZELKRESULT result = source.Read(lead, sizeof lead))
        return result;
    header.compressed = lead[0] != 0;
    const uint32_t nameLength = LittleEndian::Read32(lead + 1);
    if (nameLength > kMaxUntrustedNameUnits)
    {
        fault = RepairRecordFault::NameTooLong;
        return ZELKRESULT_BAD_FORMAT;
    }
    std::string name(static_cast<size_t>(nameLength) * 2, '\0');
    if (nameLength != 0)
    {
        if (const ZELKRESULT result = source.Read(name.data(), nameLength * 2))
            return result;
    }
    uint8_t trail[kRepairRecordTrailSize];
    if (const ZELKRESULT result = source.Read(trail, sizeof trail))
        return result;
    header.name = DecodeUtf16LE(name.data(), nameLength);
    header.checksum = LittleEndian::Read32(trail);
    header.payloadLength = LittleEndian::Read32(trail + 4);
    fault = CheckRepairRecordHeader(header);
    return fault == RepairRecordFault::None ? ZELKRESULT_OK : ZELKRESULT_BAD_FORMAT;
}

std::string EncodeRepairRecordHeader(const RepairRecordHeader &header)
{
    const std::string name = EncodeUtf16LE(header.name);
    std::string bytes;
    bytes.reserve(kRepairRecordLeadSize + name.size() + kRepairRecordTrailSize);
    bytes.push_back(header.compressed ? 1 : 0);
    LittleEndian::Append32(bytes, static_cast<uint32_t>(name.size() / 2));
    bytes += name;
    LittleEndian::Append32(bytes, header.checksum);
    LittleEndian::Append32(bytes, header.payloadLength);
    return bytes;
}

const char *DescribeRepairRecordFault(RepairRecordFault fault)
{
    switch (fault)
    {
    case RepairRecordFault::None:
        return "none";
    case RepairRecordFault::NameTooLong:
        return "name too long";
    case RepairRecordFault::UnsafeName:
        return "name outside the installation";
    case RepairRecordFault::MismatchedFlags:
        return "mismatched flags";
    case RepairRecordFault::PayloadTooLong:
        return "payload too long";
    }
    return "unknown";
}

bool IsSegmentSizedBlock(const uint8_t *payload, uint32_t length)
{
    if (length < kFramedBlockHeaderSize)
        return false;
    const uint32_t compressed = LittleEndian::Read32(payload);
    const uint32_t expanded = LittleEndian::Read32(payload + 4);
    return compressed == length - kFramedBlockHeaderSize && expanded <= kSegmentSize;
}

ZELKRESULT ReadRepairUint32(ZelkDataBuffer &source, uint32_t &value)
{
    return LittleEndian::Read32(source, value);
}

ZELKRESULT WriteRepairUint32(ZelkDataBuffer &destination, uint32_t value)
{
    return LittleEndian::Write32(destination, value);
}
