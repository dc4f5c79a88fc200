#include "publish/RepairManifestBuilder.h"

#include <algorithm>
#include <deque>
#include <filesystem>
#include <system_error>

#include "kernel/DirectoryListing.h"
#include "kernel/FileUtil.h"
#include "kernel/TextConvert.h"
#include "net/ZelkDataBuffer.h"
#include "patch/DetachedSignature.h"
#include "patch/SHA256.h"
#include "publish/PublisherFiles.h"
#include "repair/FileTreeSummary.h"
#include "repair/RepairManifest.h"
#include "repair/RepairProtocol.h"

namespace
{
namespace fs = std::filesystem;

struct ListedFile
{
    std::string name; // the manifest's name: UTF-8, '/'
    std::wstring path;
    uint64_t size = 0;
};

fs::path Canonical(const std::wstring &path)
{
    std::error_code error;
    const fs::path canonical = fs::weakly_canonical(PathToNative(path), error);
    return error ? fs::path(PathToNative(path)) : canonical;
}

bool IsRegularFile(const std::wstring &path)
{
    std::error_code error;
    return fs::is_regular_file(PathToNative(path), error);
}

// Every file the manifest lists, in the order of their names.
bool ListTree(const std::wstring &root, const std::wstring &out, std::vector<ListedFile> &files, std::string &error)
{
    struct Directory
    {
        std::wstring path;
        std::wstring relative; // with its trailing '/'; empty for the root
    };
    const fs::path outPath = Canonical(out);
    std::deque<Directory> directories{{root, std::wstring()}};
    std::vector<DirectoryEntry> entries;
    while (!directories.empty())
    {
        const Directory directory = std::move(directories.front());
        directories.pop_front();
        if (ListDirectoryEntries(directory.path, entries) != ZELKRESULT_OK)
        {
            error = "cannot list " + PathToNative(directory.path);
            return false;
        }
        for (const DirectoryEntry &entry : entries)
        {
            const std::wstring path = JoinPath(directory.path, entry.name);
            const std::wstring relative = directory.relative + entry.name;
            if (!entry.known)
            {
                error = "cannot look at " + PathToNative(path);
                return false;
            }
            if (entry.isDirectory)
            {
                // As a repair server's walk: a linked directory may lead out of the tree or round it.
                if (!entry.isLink && Canonical(path) != outPath)
                    directories.push_back({path, relative + L'/'});
                continue;
            }
            std::wstring keyPath = relative;
            NormalizeSeparators(keyPath, L'\\');
            // Devices and pipes are no files a client could hold; reading one would never end.
            if (IsInstallationOwn(keyPath) || !IsRegularFile(path))
                continue;
            files.push_back({PathToNative(relative), path, entry.size});
        }
    }
    std::sort(files.begin(), files.end(),
              [](const ListedFile &left, const ListedFile &right) { return left.name < right.name; });
    return true;
}

// The digests of a file's segments; its block digests go to blocks.
bool HashFile(const ListedFile &file, ReplacementFile &blocks, std::vector<RepairManifest::Segment> &segments,
              std::string &error)
{
    segments.clear();
    ZelkDataBufferFile data(file.path, ZelkDataBufferFile::AccessRead);
    if (!data.IsOpen() || data.GetSize() != file.size)
    {
        error = "cannot read " + PathToNative(file.path) + ", or it changed while the tree was read";
        return false;
    }
    std::vector<uint8_t> block(kRepairBlockSize);
    SHA256 segmentHash;
    SHA256 blockHash;
    std::string blockDigests;
    for (uint64_t remaining = file.size; remaining > 0;)
    {
        uint64_t segmentLeft = std::min<uint64_t>(kSegmentSize, remaining);
        remaining -= segmentLeft;
        blockDigests.clear();
        while (segmentLeft > 0)
        {
            const uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(kRepairBlockSize, segmentLeft));
            if (data.Read(block.data(), length) != ZELKRESULT_OK)
            {
                error = "cannot read " + PathToNative(file.path);
                return false;
            }
            segmentHash.Update(block.data(), length);
            blockHash.Update(block.data(), length);
            const Sha256Digest digest = blockHash.Finish();
            blockDigests.append(reinterpret_cast<const char *>(digest.data()), digest.size());
            segmentLeft -= length;
        }
        RepairManifest::Segment segment;
        segment.digest = segmentHash.Finish();
        segment.blocksDigest = DigestOfBlockDigests(reinterpret_cast<const uint8_t *>(blockDigests.data()),
                                                    blockDigests.size() / kRepairDigestSize);
        segments.push_back(segment);
        if (!blocks.Write(blockDigests))
        {
            error = "cannot write " + PathToNative(blocks.Target());
            return false;
        }
    }
    return true;
}
} // namespace

bool WriteRepairManifest(const std::wstring &root, const std::wstring &out, const RepairManifestContents &contents,
                         RepairManifestReport &report, std::string &error)
{
    report = RepairManifestReport();
    if (!IsDirectory(root))
    {
        error = PathToNative(root) + " is no directory";
        return false;
    }
    std::vector<ListedFile> files;
    if (!ListTree(root, out, files, error))
        return false;

    if (!MakeDirectory(out))
    {
        error = "cannot make the directory " + PathToNative(out);
        return false;
    }
    const std::wstring manifestPath = JoinPath(out, NativeToPath(kRepairManifestFileName));
    ReplacementFile blocks(JoinPath(out, NativeToPath(kRepairBlocksFileName)));
    if (!blocks.IsOpen())
    {
        error = "cannot write " + PathToNative(blocks.Target());
        return false;
    }
    RepairManifest manifest;
    manifest.SetSerial(contents.serial);
    std::vector<RepairManifest::Segment> segments;
    for (const ListedFile &file : files)
    {
        if (!HashFile(file, blocks, segments, error) || !manifest.AddFile(file.name, file.size, segments, error))
            return false;
        ++report.files;
        report.segments += segments.size();
        report.bytes += file.size;
    }
    if (!blocks.Commit())
    {
        error = "cannot write " + PathToNative(blocks.Target());
        return false;
    }
    if (!WritePublisherFile(manifestPath, manifest.Encode(), error))
        return false;
    const std::wstring signaturePath = manifestPath + NarrowToWide(kSignatureSuffix);
    if (contents.signers.empty())
    {
        // A signature of an earlier manifest would only make patchers refuse this one.
        if (FileExists(signaturePath) && !DeleteFileAt(signaturePath))
        {
            error = "cannot remove the old " + PathToNative(signaturePath);
            return false;
        }
        return true;
    }
    return SignFile(contents.signers, manifestPath, error);
}
