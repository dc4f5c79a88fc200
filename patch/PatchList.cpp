// The patch list of a download run: which step starts at which version, and where its package is.
#include "patch/PatchList.h"

#include <cctype>

#include "kernel/FileUtil.h"
#include "kernel/TextConvert.h"
#include "net/ZelkDataBuffer.h"
#include "patch/FixedTexts.h"
#include "patch/InternetTransfer.h"
#include "patch/PelmoPatchTask.h"

namespace
{
constexpr const char *kPatchListName = "patches.txt";
constexpr const char *kKeySourceVersion = "source-version";
constexpr const char *kKeyTargetVersion = "target-version";
constexpr const char *kKeyExeUrl = "patch-exe-url";
constexpr const char *kKeyDataUrl = "patch-data-url";
// A list names a few lines per step. A server that sends more than this is not sending a list,
// and the run must not hold whatever it sends in memory.
constexpr uint64_t kMaxPatchListSize = 1024 * 1024;

// Memory for a downloaded list that refuses to grow past kMaxPatchListSize.
class PatchListBuffer : public ZelkDataBufferMemoryDynamic
{
public:
    ZELKRESULT Write(const void *source, uint32_t count) override
    {
        if (GetPosition() + count > kMaxPatchListSize)
            return ZELKRESULT_NO_MEMORY;
        return ZelkDataBufferMemoryDynamic::Write(source, count);
    }
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
        PatchListBuffer list;
        if (DownloadAddress(address, list, kDownloadNoCache, nullptr) != ZELKRESULT_OK)
        {
            Report(MessageNormal, kTextUnableToDownload + NarrowToWide(address));
            continue;
        }
        list.Seek(0);
        if (ParsePatchList(list, server))
        {
            m_currentServer = server;
            return true;
        }
    }
    Report(MessageNormal, kTextNoPatchServer);
    m_currentServer.clear();
    return false;
}

bool PelmoPatchTask::ParsePatchList(ZelkDataBuffer &buffer, const std::wstring &base)
{
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
    m_patchList[sourceVersion] = PatchListEntry{targetVersion, exeUrl, dataUrl};
    return true;
}

const PatchListEntry *PelmoPatchTask::FindPatchEntry(const std::string &sourceVersion) const
{
    const auto found = m_patchList.find(sourceVersion);
    return found == m_patchList.end() ? nullptr : &found->second;
}
