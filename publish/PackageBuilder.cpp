#include "publish/PackageBuilder.h"

#include <map>
#include <set>
#include <vector>

#include "kernel/FileUtil.h"
#include "kernel/ProductFacts.h"
#include "kernel/TextConvert.h"
#include "net/ZelkDataBuffer.h"
#include "net/ZelkUtil.h"
#include "publish/JojoDiff.h"
#include "patch/MD5.h"
#include "patch/PackageArchive.h"

const std::wstring kUninstallLogFileName = ProductFacts::kUninstallLogName;

namespace
{
const std::wstring kArchiveRoot = L".\\";
const std::wstring kDataName = L"data";
const std::wstring kListNames[] = {L"addedFiles.txt", L"deletedFiles.txt", L"patchedFiles.txt"};
const std::wstring kDifferenceSuffix = L".diff";
const char kLineEnd[] = "\r\n";

// Relative '/' path -> full path of every regular file below a tree.
using FileTree = std::map<std::wstring, std::wstring>;

bool CollectFiles(const std::wstring &directory, const std::wstring &prefix, FileTree &files, std::wstring &problem)
{
    std::set<std::wstring> entries;
    if (ListDirectory(directory, entries) != ZELKRESULT_OK)
    {
        problem = L"cannot list the directory " + directory;
        return false;
    }
    for (const std::wstring &entry : entries)
    {
        const std::wstring relative = prefix + entry.substr(entry.rfind(kPathSeparator) + 1);
        if (IsDirectory(entry))
        {
            if (!CollectFiles(entry, relative + kPathSeparator, files, problem))
                return false;
        }
        else
        {
            files[relative] = entry;
        }
    }
    return true;
}

// "\"-separated as the archive and the lists write it.
std::wstring ListPath(const std::wstring &relative)
{
    std::wstring path = relative;
    NormalizeSeparators(path, L'\\');
    return path;
}

// A name goes into a three-line list and, on Windows, becomes a path again: a line end would
// shift every later record and a "\" inside a name would turn into a separator.
bool CheckListable(const std::wstring &relative, std::wstring &problem)
{
    if (relative.find_first_of(L"\r\n\\") == std::wstring::npos)
        return true;
    problem = L"the name cannot be written to a list (line end or backslash in it): " + relative;
    return false;
}

// Directories of the archive must be names without "." and files names with an extension, since
// unpacking tells them apart by that alone.
bool CheckCarriable(const std::wstring &relative, const std::wstring &archiveName, std::wstring &problem)
{
    if (!CheckListable(relative, problem))
        return false;
    if (ArchiveNameDenotesDirectory(archiveName))
    {
        problem = L"a file without an extension cannot be carried by a package archive: " + relative;
        return false;
    }
    for (size_t separator = relative.find(kPathSeparator); separator != std::wstring::npos;
         separator = relative.find(kPathSeparator, separator + 1))
    {
        const std::wstring directory = relative.substr(0, separator);
        if (!ArchiveNameDenotesDirectory(directory))
        {
            problem = L"a directory name with a \".\" cannot be carried by a package archive: " + directory;
            return false;
        }
    }
    return true;
}

// An added file travels as one compressed block, whose lengths are 32-bit.
bool CheckFitsOneBlock(const std::wstring &relative, const std::wstring &path, std::wstring &problem)
{
    uint64_t size = 0;
    if (GetFileSizeAt(path, size) != ZELKRESULT_OK)
    {
        problem = L"cannot read " + path;
        return false;
    }
    if (size <= ZelkUtil::kMaxBlockLength)
        return true;
    problem = FormatTextW(L"%ls has %llu bytes, more than one archive block can hold (%llu)", relative.c_str(),
                          static_cast<unsigned long long>(size), static_cast<unsigned long long>(ZelkUtil::kMaxBlockLength));
    return false;
}

bool Digest(const std::wstring &path, std::string &digest, std::wstring &problem)
{
    std::wstring text;
    if (!HashFileMD5(path, text))
    {
        problem = L"cannot read " + path;
        return false;
    }
    digest = WideToNarrow(text);
    return true;
}

void AppendRecord(std::string &list, const std::wstring &relative, const std::string &newChecksum,
                  const std::string &oldChecksum)
{
    list += PathToNative(ListPath(relative)) + kLineEnd + newChecksum + kLineEnd + oldChecksum + kLineEnd;
}

bool WriteText(const std::wstring &path, const std::string &text, std::wstring &problem)
{
    ZelkDataBufferFile file(path, ZelkDataBufferFile::AccessWrite);
    if (file.IsOpen() && file.Write(text.data(), static_cast<uint32_t>(text.size())) == ZELKRESULT_OK &&
        file.Close() == ZELKRESULT_OK)
        return true;
    problem = L"cannot write " + path;
    return false;
}

// One file of the archive's "data" tree: its record name and where its content comes from.
struct DataFile
{
    std::wstring relative;
    std::wstring archiveName;
    std::wstring source;
};

class ArchiveBuild
{
public:
    ArchiveBuild(const std::wstring &archive, std::wstring &problem)
        : m_archive(archive), m_writer(archive), m_problem(problem)
    {
    }

    bool Write(const std::vector<DataFile> &dataFiles, const std::wstring &listDirectory)
    {
        if (!m_writer.IsOpen())
            return Fail(L"cannot create " + m_archive);
        if (!AddDirectory(kDataName))
            return false;
        for (const DataFile &file : dataFiles)
        {
            // Every directory of a file gets its record before the file itself.
            for (size_t separator = file.relative.find(kPathSeparator); separator != std::wstring::npos;
                 separator = file.relative.find(kPathSeparator, separator + 1))
            {
                if (!AddDirectory(kDataName + kPathSeparator + file.relative.substr(0, separator)))
                    return false;
            }
            if (!AddFile(file.archiveName, file.source))
                return false;
        }
        for (const std::wstring &list : kListNames)
        {
            if (!AddFile(kArchiveRoot + list, JoinPath(listDirectory, list)))
                return false;
        }
        const ZELKRESULT result = m_writer.Close();
        return result == ZELKRESULT_OK || Fail(FormatTextW(L"cannot finish the archive (error %u)", result));
    }

private:
    bool AddDirectory(const std::wstring &relative)
    {
        if (!m_directories.insert(relative).second)
            return true;
        const ZELKRESULT result = m_writer.AddDirectory(kArchiveRoot + ListPath(relative));
        return result == ZELKRESULT_OK ||
               Fail(FormatTextW(L"cannot add the directory %ls (error %u)", relative.c_str(), result));
    }
    bool AddFile(const std::wstring &archiveName, const std::wstring &source)
    {
        const ZELKRESULT result = m_writer.AddFile(archiveName, source);
        return result == ZELKRESULT_OK ||
               Fail(FormatTextW(L"cannot add %ls (error %u%ls)", source.c_str(), result,
                                result == ZELKRESULT_NO_MEMORY ? L", too large for one archive block" : L""));
    }
    bool Fail(const std::wstring &text)
    {
        m_problem = text;
        return false;
    }

    std::wstring m_archive;
    PackageArchiveWriter m_writer;
    std::set<std::wstring> m_directories;
    std::wstring &m_problem;
};

bool BuildInWorkDirectory(const std::wstring &oldDirectory, const std::wstring &newDirectory,
                          const std::wstring &archive, const std::wstring &work, const std::set<std::wstring> &excluded,
                          std::wstring &problem, PackageBuildSummary &summary)
{
    FileTree oldFiles;
    FileTree newFiles;
    if (!IsDirectory(oldDirectory) || !IsDirectory(newDirectory))
    {
        problem = L"not a directory: " + (IsDirectory(oldDirectory) ? newDirectory : oldDirectory);
        return false;
    }
    if (!CollectFiles(oldDirectory, L"", oldFiles, problem) || !CollectFiles(newDirectory, L"", newFiles, problem))
        return false;
    for (const std::wstring &relative : excluded)
    {
        oldFiles.erase(relative);
        newFiles.erase(relative);
    }

    std::string addedList;
    std::string deletedList;
    std::string patchedList;
    std::vector<DataFile> dataFiles;
    for (const auto &[relative, newPath] : newFiles)
    {
        const auto old = oldFiles.find(relative);
        // Told before the file is read through for its digest, which takes long for such a file.
        if (old == oldFiles.end() && !CheckFitsOneBlock(relative, newPath, problem))
            return false;
        std::string newDigest;
        if (!Digest(newPath, newDigest, problem))
            return false;
        if (old == oldFiles.end())
        {
            DataFile file{relative, kArchiveRoot + ListPath(kDataName + kPathSeparator + relative), newPath};
            if (!CheckCarriable(relative, file.archiveName, problem))
                return false;
            AppendRecord(addedList, relative, newDigest, std::string());
            dataFiles.push_back(file);
            ++summary.added;
            continue;
        }
        std::string oldDigest;
        if (!Digest(old->second, oldDigest, problem))
            return false;
        if (oldDigest == newDigest)
        {
            ++summary.unchanged;
            continue;
        }
        DataFile file{relative, kArchiveRoot + ListPath(kDataName + kPathSeparator + relative) + kDifferenceSuffix,
                      MakeUniqueName(work) + kDifferenceSuffix};
        if (!CheckCarriable(relative, file.archiveName, problem))
            return false;
        std::string diffProblem;
        if (MakeJojoDiff(old->second, newPath, file.source, diffProblem) != ZELKRESULT_OK)
        {
            problem = L"cannot make the difference of " + relative + L": " + NarrowToWide(diffProblem);
            return false;
        }
        AppendRecord(patchedList, relative, newDigest, oldDigest);
        dataFiles.push_back(file);
        ++summary.patched;
    }
    for (const auto &[relative, oldPath] : oldFiles)
    {
        if (newFiles.count(relative))
            continue;
        std::string oldDigest;
        if (!CheckListable(relative, problem) || !Digest(oldPath, oldDigest, problem))
            return false;
        AppendRecord(deletedList, relative, std::string(), oldDigest);
        ++summary.deleted;
    }

    if (!WriteText(JoinPath(work, kListNames[0]), addedList, problem) ||
        !WriteText(JoinPath(work, kListNames[1]), deletedList, problem) ||
        !WriteText(JoinPath(work, kListNames[2]), patchedList, problem))
        return false;
    ArchiveBuild build(archive, problem);
    return build.Write(dataFiles, work);
}
} // namespace

bool BuildPackageArchive(const std::wstring &oldDirectory, const std::wstring &newDirectory,
                         const std::wstring &archive, std::wstring &problem, PackageBuildSummary *summary,
                         const std::set<std::wstring> &excluded)
{
    // The archive grows under a name of its own, so a failure never leaves a partial archive
    // where a complete one is expected, nor destroys one that was there.
    ReplacementFile output(archive);
    if (!output.IsOpen())
    {
        problem = L"cannot create " + archive;
        return false;
    }
    const std::wstring runDirectory = RunTempDirectory();
    if (runDirectory.empty())
    {
        problem = L"cannot make a temporary directory";
        return false;
    }
    const std::wstring work = MakeUniqueName(runDirectory);
    if (!MakeDirectory(work))
    {
        problem = L"cannot make the directory " + work;
        return false;
    }
    PackageBuildSummary counts;
    const bool built =
        BuildInWorkDirectory(oldDirectory, newDirectory, output.TemporaryPath(), work, excluded, problem, counts);
    DeleteTree(work);
    if (!built)
        return false;
    if (!output.Commit())
    {
        problem = L"cannot rename the finished archive to " + archive;
        return false;
    }
    if (summary)
        *summary = counts;
    return true;
}
