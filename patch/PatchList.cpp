// The patch list of a download run: which step starts at which version, and where its package is.
#include "patch/PatchList.h"

#include <cctype>

#include "kernel/FileUtil.h"
#include "kernel/TextConvert.h"
#include "kernel/UserText.h"
#include "kernel/UserTextIds.h"
#include "net/ZelkDataBuffer.h"
#include "patch/DetachedSignature.h"
#include "patch/InternetTransfer.h"
#include "patch/PelmoPatchTask.h"
#include "patch/PublisherTrust.h"

namespace
{
constexpr const char *kPatchListName = "patches.txt";
constexpr const char *kKeySourceVersion = "source-version";
constexpr const char *kKeyTargetVersion = "target-version";
constexpr const char *kKeyExeUrl = "patch-exe-url";
constexpr const char *kKeyDataUrl = "patch-data-url";
// Keys of signed lists; older patchers ignore them as unknown keys.
constexpr const char *kKeyDataSha256 = "patch-data-sha256";
constexpr const char *kKeyDataSize = "patch-data-size";
constexpr const char *kKeyListSerial = "list-serial";
// A list names a few lines per step. A server that sends more than this is not sending a list,
// and the run must not hold whatever it sends in memory.
constexpr uint64_t kMaxPatchListSize = 1024 * 1024;

// Memory for a download that refuses to grow past a bound.
class BoundedBuffer : public ZelkDataBufferMemoryDynamic
{
public:
    explicit BoundedBuffer(uint64_t limit) : m_limit(limit) {}

    ZELKRESULT Write(const void *source, uint32_t count) override
    {
        if (GetPosition() + count > m_limit)
            return ZELKRESULT_NO_MEMORY;
        return ZelkDataBufferMemoryDynamic::Write(source, count);
    }

private:
    uint64_t m_limit;
};

// Only the space character: a tab is part of the text.
std::string TrimSpaces(const std::string &text)
{
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos)
        return std::string();
    const size_t last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

bool StartsWithNoCase(const std::wstring &text, const std::wstring &prefix)
{
    if (text.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i)
    {
        if (std::towlower(text[i]) != std::towlower(prefix[i]))
            return false;
    }
    return true;
}

bool IsAbsoluteAddress(const std::wstring &address)
{
    return StartsWithNoCase(address, L"ftp://") || StartsWithNoCase(address, L"http://") ||
           StartsWithNoCase(address, L"https://");
}

std::string Lookup(const std::map<std::string, std::string> &values, const char *key)
{
    const auto found = values.find(key);
    return found == values.end() ? std::string() : found->second;
}

void AppendLine(ZelkDataBuffer &block, const std::string &line)
{
    const std::string withEnd = line + "\n";
    block.Write(withEnd.data(), static_cast<uint32_t>(withEnd.size()));
}

// The archive's digest and size as the entry gives them; an empty value counts as none.
void ReadArchiveIntegrity(const std::map<std::string, std::string> &values, PatchListEntry &entry)
{
    const std::string digest = Lookup(values, kKeyDataSha256);
    Sha256Digest parsedDigest;
    if (HexToDigest(digest, parsedDigest))
        entry.dataSha256 = parsedDigest;
    else if (!digest.empty())
        entry.integrityMalformed = true;
    const std::string size = Lookup(values, kKeyDataSize);
    uint64_t parsedSize = 0;
    if (ParseDecimal(size, parsedSize))
        entry.dataSize = parsedSize;
    else if (!size.empty())
        entry.integrityMalformed = true;
}
} // namespace

bool ReadLine(ZelkDataBuffer &buffer, std::string &line)
{
    line.clear();
    char c = 0;
    for (;;)
    {
        if (buffer.Read(&c, 1) != ZELKRESULT_OK)
            return false;
        if (c == '\r' || c == '\n')
            break;
        line += c;
    }
    // The other character of a two-character line end belongs to this one.
    const char other = c == '\r' ? '\n' : '\r';
    char next = 0;
    if (buffer.Read(&next, 1) == ZELKRESULT_OK && next != other)
        buffer.Seek(buffer.GetPosition() - 1);
    return true;
}

bool ParseKeyValues(ZelkDataBuffer &block, std::map<std::string, std::string> &values)
{
    values.clear();
    bool result = true;
    std::string line;
    bool more = true;
    while (more)
    {
        more = ReadLine(block, line);
        line = TrimSpaces(line);
        if (line.empty())
            continue;
        const size_t colon = line.find(':');
        if (colon == std::string::npos)
        {
            result = false;
            continue;
        }
        std::string key = TrimSpaces(line.substr(0, colon));
        for (char &c : key)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        std::string value = TrimSpaces(line.substr(colon + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        values[key] = value;
    }
    return result;
}

bool PelmoPatchTask::FetchPatchList(const std::vector<std::wstring> &servers)
{
    m_patchList.clear();
    for (const std::wstring &server : servers)
    {
        if (server.empty())
            continue;
        const std::string address = WideToNarrow(JoinPath(server, NarrowToWide(kPatchListName)));
        BoundedBuffer list(kMaxPatchListSize);
        if (DownloadAddress(address, list, kDownloadNoCache, nullptr) != ZELKRESULT_OK)
        {
            Report(MessageNormal, UserText(ZelkPatch::kIdUnableToDownload) + NarrowToWide(address));
            continue;
        }
        list.Seek(0);
        std::wstring refusal;
        if (m_listKey)
            refusal = RefuseUnsignedList(server, list);
        if (refusal.empty() && ParsePatchList(list, server))
        {
            if (m_listKey)
                refusal = RefuseOldList();
            if (refusal.empty())
            {
                m_currentServer = server;
                return true;
            }
            m_patchList.clear();
        }
        if (!refusal.empty())
            Report(MessageNormal, FormatUserText(ZelkPatch::kIdListRefused, server.c_str(), refusal.c_str()));
    }
    Report(MessageNormal, UserText(ZelkPatch::kIdNoPatchServer));
    m_currentServer.clear();
    return false;
}

bool PelmoPatchTask::ParsePatchList(ZelkDataBuffer &buffer, const std::wstring &base)
{
    m_listSerial.reset();
    m_listSerialMalformed = false;
    bool result = false;
    std::string line;
    bool more = true;
    while (more)
    {
        // Entries are separated by lines of no characters at all.
        do
            more = ReadLine(buffer, line);
        while (more && line.empty());
        if (line.empty())
            return result;

        ZelkDataBufferMemoryDynamic block;
        AppendLine(block, line);
        while (more)
        {
            more = ReadLine(buffer, line);
            if (line.empty())
                break;
            AppendLine(block, line);
        }
        block.Seek(0);
        if (ParsePatchEntry(block, base))
            result = true;
    }
    return result;
}

bool PelmoPatchTask::ParsePatchEntry(ZelkDataBuffer &block, const std::wstring &base)
{
    std::map<std::string, std::string> values;
    if (!ParseKeyValues(block, values))
        return false;
    // The serial may stand in an entry of its own, which older patchers pass over as incomplete.
    NoteListSerial(values);
    const std::string sourceVersion = Lookup(values, kKeySourceVersion);
    const std::string targetVersion = Lookup(values, kKeyTargetVersion);
    const std::wstring exeUrl = NarrowToWide(Lookup(values, kKeyExeUrl));
    std::wstring dataUrl = NarrowToWide(Lookup(values, kKeyDataUrl));
    if (sourceVersion.empty() || targetVersion.empty() || exeUrl.empty() || dataUrl.empty())
        return false;
    if (!IsAbsoluteAddress(dataUrl))
    {
        if (base.empty())
            return false;
        dataUrl = JoinPath(base, dataUrl);
    }
    PatchListEntry entry;
    entry.targetVersion = targetVersion;
    entry.exeUrl = exeUrl;
    entry.dataUrl = dataUrl;
    ReadArchiveIntegrity(values, entry);
    m_patchList[sourceVersion] = entry;
    return true;
}

void PelmoPatchTask::NoteListSerial(const std::map<std::string, std::string> &values)
{
    const auto found = values.find(kKeyListSerial);
    if (found == values.end())
        return;
    uint64_t serial = 0;
    if (!ParseDecimal(found->second, serial) || (m_listSerial && *m_listSerial != serial))
        m_listSerialMalformed = true;
    else
        m_listSerial = serial;
}

std::wstring PelmoPatchTask::RefuseUnsignedList(const std::wstring &server, ZelkDataBufferMemoryDynamic &list)
{
    std::string signatureFile;
    if (DownloadListSignature(server, signatureFile) != ZELKRESULT_OK)
        return FormatUserText(ZelkPatch::kIdListSignatureUnavailable,
                              JoinPath(server, NarrowToWide(std::string(kPatchListName) + kSignatureSuffix)).c_str());
    const std::string data(reinterpret_cast<const char *>(list.GetData()), static_cast<size_t>(list.GetSize()));
    const SignatureVerdict verdict = VerifyDetachedSignature(*m_listKey, data, signatureFile);
    if (verdict != SignatureVerdict::Good)
        return UserText(SignatureVerdictTextId(verdict)) + L".";
    return std::wstring();
}

std::wstring PelmoPatchTask::RefuseOldList()
{
    if (m_listSerialMalformed)
        return UserText(ZelkPatch::kIdListSerialMalformed);
    uint64_t newest = 0;
    switch (CheckListSerial(m_listSerial.value_or(0), newest))
    {
    case ListSerialVerdict::Accepted:
        return std::wstring();
    case ListSerialVerdict::Replayed:
        return FormatUserText(ZelkPatch::kIdListReplayed,
                              NarrowToWide(std::to_string(m_listSerial.value_or(0))).c_str(),
                              NarrowToWide(std::to_string(newest)).c_str());
    case ListSerialVerdict::Unreadable:
        break;
    }
    return UserText(ZelkPatch::kIdListSerialUnreadable);
}

const PatchListEntry *PelmoPatchTask::FindPatchEntry(const std::string &sourceVersion) const
{
    const auto found = m_patchList.find(sourceVersion);
    return found == m_patchList.end() ? nullptr : &found->second;
}

const char *DescribeArchiveVerdict(ArchiveVerdict verdict)
{
    switch (verdict)
    {
    case ArchiveVerdict::Good:
        return "the archive is the one the list names";
    case ArchiveVerdict::NoDigest:
        return "the list gives no SHA-256 for the archive";
    case ArchiveVerdict::Malformed:
        return "the list's SHA-256 or size of the archive is not well formed";
    case ArchiveVerdict::SizeDiffers:
        return "the archive's size differs from the list's";
    case ArchiveVerdict::DigestDiffers:
        return "the archive's SHA-256 differs from the list's";
    case ArchiveVerdict::Unreadable:
        return "the archive cannot be read";
    }
    return "unknown verdict";
}

ArchiveVerdict CheckListedArchive(const PatchListEntry &entry)
{
    if (entry.integrityMalformed)
        return ArchiveVerdict::Malformed;
    return entry.dataSha256 ? ArchiveVerdict::Good : ArchiveVerdict::NoDigest;
}

ArchiveVerdict VerifyDownloadedArchive(const std::wstring &path, const PatchListEntry &entry)
{
    ArchiveVerdict verdict = CheckListedArchive(entry);
    uint64_t size = 0;
    if (verdict == ArchiveVerdict::Good && GetFileSizeAt(path, size) != ZELKRESULT_OK)
        verdict = ArchiveVerdict::Unreadable;
    // The size is compared first: a wrong length needs no pass over the file.
    if (verdict == ArchiveVerdict::Good && entry.dataSize && size != *entry.dataSize)
        verdict = ArchiveVerdict::SizeDiffers;
    Sha256Digest digest;
    if (verdict == ArchiveVerdict::Good && HashFileSHA256(path, digest, size) != ZELKRESULT_OK)
        verdict = ArchiveVerdict::Unreadable;
    if (verdict == ArchiveVerdict::Good && digest != *entry.dataSha256)
        verdict = ArchiveVerdict::DigestDiffers;
    if (verdict != ArchiveVerdict::Good)
        DeleteFileAt(path);
    return verdict;
}

ZELKRESULT DownloadListSignature(const std::wstring &server, std::string &signatureFile)
{
    const std::string address =
        WideToNarrow(JoinPath(server, NarrowToWide(std::string(kPatchListName) + kSignatureSuffix)));
    BoundedBuffer buffer(kMaxSignatureFileSize);
    if (const ZELKRESULT result = DownloadAddress(address, buffer, kDownloadNoCache, nullptr))
        return result;
    signatureFile.assign(reinterpret_cast<const char *>(buffer.GetData()), static_cast<size_t>(buffer.GetSize()));
    return ZELKRESULT_OK;
}
