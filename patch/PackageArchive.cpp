#include "patch/PackageArchive.h"

#include <vector>

#include "kernel/FileUtil.h"
#include "kernel/TextConvert.h"
#include "kernel/UserText.h"
#include "kernel/UserTextIds.h"
#include "kernel/ZelkSystemLog.h"
#include "net/ZelkDataBuffer.h"
#include "net/ZelkUtil.h"

namespace
{
constexpr wchar_t kArchiveSeparator = L'\\';
// The name block holds the unit count before the units.
constexpr uint64_t kNameCountSize = 4;
// A name block longer than this holds no name this program takes; it is refused unexpanded.
constexpr uint64_t kMaxNameBlock = kNameCountSize + 2 * kMaxUntrustedNameUnits;


// What the reader accepts, so that no archive is written that it would refuse.
bool IsCarriableName(const std::wstring &name)
{
    return IsWithinUntrustedNameBounds(name) && IsContainedRelativeName(name);
}
} // namespace

bool ArchiveNameDenotesDirectory(const std::wstring &name)
{
    std::wstring path = name;
    NormalizeSeparators(path, kArchiveSeparator);
    if (path.empty() || path.back() == kArchiveSeparator)
        return true;
    const size_t lastDot = path.rfind(L'.');
    if (lastDot == std::wstring::npos)
        return true;
    const size_t lastSeparator = path.rfind(kArchiveSeparator);
    return lastSeparator != std::wstring::npos && lastDot < lastSeparator;
}

namespace
{
// Reads the name of the next record. A block longer than any name is refused before it is
// expanded, and the count is checked against the block before the name is taken from it, so a
// damaged count can neither overrun the block nor demand a huge allocation; a name beyond the
// bounds of any path is damage, never a directory chain to make.
bool ReadRecordName(ZelkDataBuffer &archive, std::wstring &name)
{
    ZelkDataBufferMemoryDynamic block;
    const ZELKRESULT result = ZelkUtil::DecompressData(block, archive, kMaxNameBlock);
    if (result != ZELKRESULT_OK)
    {
        ZelkSystemLog("UnpackPackageArchive> name block unreadable: %u", result);
        return false;
    }
    block.Seek(0);
    uint32_t count = 0;
    if (block.Read(&count, sizeof count) != ZELKRESULT_OK)
        return false;
    if (uint64_t(count) * 2 + kNameCountSize > block.GetSize())
    {
        ZelkSystemLog("UnpackPackageArchive> name of %u units does not fit its block of %llu bytes", count,
                      static_cast<unsigned long long>(block.GetSize()));
        return false;
    }
    name = DecodeUtf16LE(reinterpret_cast<const char *>(block.GetData()) + kNameCountSize, count);
    if (!IsWithinUntrustedNameBounds(name))
    {
        ZelkSystemLog("UnpackPackageArchive> name of %u units is deeper than any path", count);
        return false;
    }
    return true;
}

// Expands the next block into a file of its own, piece by piece: a file of any size the block can
// hold takes the same memory. A block that fails leaves no file behind, so nothing cut short
// lies in the package as if it were whole.
bool UnpackFile(ZelkDataBuffer &archive, const std::wstring &path)
{
    ZelkDataBufferFile output(path, ZelkDataBufferFile::AccessWrite);
    if (!output.IsOpen())
    {
        ZelkSystemLogW(L"UnpackPackageArchive> cannot create %ls", path.c_str());
        return false;
    }
    ZELKRESULT result = ZelkUtil::DecompressData(output, archive);
    const ZELKRESULT closed = output.Close();
    if (result == ZELKRESULT_OK)
        result = closed;
    if (result == ZELKRESULT_OK)
        return true;
    ZelkSystemLogW(L"UnpackPackageArchive> cannot unpack %ls: %u", path.c_str(), result);
    DeleteFileAt(path);
    return false;
}
} // namespace

bool UnpackPackageArchive(const std::wstring &archive, const std::wstring &destination)
{
    ZelkDataBufferFile input(archive, ZelkDataBufferFile::AccessRead);
    if (!input.IsOpen())
        return false;
    uint32_t version = 0;
    input.Seek(0);
    if (input.Read(&version, sizeof version) != ZELKRESULT_OK)
        version = 0;
    if (version != kPackageArchiveVersion)
    {
        ZelkSystemLog("UnpackPackageArchive> unknown archive version %u", version);
        return false;
    }
    while (input.GetPosition() < input.GetSize())
    {
        std::wstring name;
        if (!ReadRecordName(input, name))
            return false;
        if (!IsContainedRelativeName(name))
        {
            ZelkSystemLogW(L"UnpackPackageArchive> refused the name %ls", name.c_str());
            ReportMessage(MessageError, UserText(ZelkPatch::kIdRefusedArchiveName) + name);
            return false;
        }
        std::wstring path = destination;
        if (path.empty() || (path.back() != L'/' && path.back() != L'\\'))
            path += kArchiveSeparator;
        path += name;
        if (ArchiveNameDenotesDirectory(path))
        {
            NormalizeSeparators(path);
            MakeDirectory(path);
            continue;
        }
        NormalizeSeparators(path);
        if (!UnpackFile(input, path))
            return false;
    }
    return true;
}

PackageArchiveWriter::PackageArchiveWriter(const std::wstring &archive)
    : m_archive(std::make_unique<ZelkDataBufferFile>(archive, ZelkDataBufferFile::AccessWrite))
{
    if (!m_archive->IsOpen())
        return;
    const uint32_t version = kPackageArchiveVersion;
    m_result = m_archive->Write(&version, sizeof version);
}

PackageArchiveWriter::~PackageArchiveWriter() = default;

bool PackageArchiveWriter::IsOpen() const
{
    return m_archive->IsOpen();
}

ZELKRESULT PackageArchiveWriter::WriteName(const std::wstring &name)
{
    if (!m_archive->IsOpen())
        return ZELKRESULT_INVALID_STATE;
    if (m_result != ZELKRESULT_OK)
        return m_result;
    std::wstring archiveName = name;
    NormalizeSeparators(archiveName, kArchiveSeparator);
    const std::string units = EncodeUtf16LE(archiveName);
    const uint32_t count = static_cast<uint32_t>(units.size() / 2);
    ZelkDataBufferMemoryDynamic block;
    block.Write(&count, sizeof count);
    block.Write(units.data(), static_cast<uint32_t>(units.size()));
    block.Seek(0);
    m_result = ZelkUtil::CompressData(*m_archive, block);
    return m_result;
}

ZELKRESULT PackageArchiveWriter::AddDirectory(const std::wstring &name)
{
    if (!IsCarriableName(name) || !ArchiveNameDenotesDirectory(name))
        return ZELKRESULT_INVALID_ARGUMENT;
    return WriteName(name);
}

ZELKRESULT PackageArchiveWriter::AddFile(const std::wstring &name, const std::wstring &path)
{
    if (!IsCarriableName(name) || ArchiveNameDenotesDirectory(name))
        return ZELKRESULT_INVALID_ARGUMENT;
    ZelkDataBufferFile content(path, ZelkDataBufferFile::AccessRead);
    if (!content.IsOpen())
        return ZELKRESULT_IO;
    const ZELKRESULT result = WriteName(name);
    if (result != ZELKRESULT_OK)
        return result;
    m_result = ZelkUtil::CompressData(*m_archive, content);
    return m_result;
}

ZELKRESULT PackageArchiveWriter::Close()
{
    if (!m_archive->IsOpen())
        return m_result == ZELKRESULT_OK ? ZELKRESULT_INVALID_STATE : m_result;
    const ZELKRESULT closed = m_archive->Close();
    return m_result != ZELKRESULT_OK ? m_result : closed;
}
