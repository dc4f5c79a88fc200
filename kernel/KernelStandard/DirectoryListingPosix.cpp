// Directory listings on Linux: each entry is looked at relative to the open directory, so the
// kernel does not walk the whole path again for every entry.
#include "kernel/DirectoryListing.h"

#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kernel/FileUtil.h"
#include "kernel/TextConvert.h"

namespace
{
void Describe(int directory, const char *name, DirectoryEntry &entry)
{
    struct stat info;
    if (fstatat(directory, name, &info, AT_SYMLINK_NOFOLLOW) != 0)
        return;
    if (S_ISLNK(info.st_mode))
    {
        entry.isLink = true;
        if (fstatat(directory, name, &info, 0) != 0)
            return;
    }
    entry.known = true;
    entry.isDirectory = S_ISDIR(info.st_mode);
    entry.size = static_cast<uint64_t>(info.st_size);
    entry.modifiedTime = static_cast<int64_t>(info.st_mtime);
}
} // namespace

ZELKRESULT ListDirectoryEntries(const std::wstring &directory, std::vector<DirectoryEntry> &entries)
{
    entries.clear();
    std::wstring path = directory;
    NormalizeSeparators(path);
    DIR *dir = opendir(PathToNative(path).c_str());
    if (!dir)
        return ZELKRESULT_LIST_FAILED;
    const int descriptor = dirfd(dir);
    while (dirent *found = readdir(dir))
    {
        const std::string name = found->d_name;
        if (name == "." || name == "..")
            continue;
        DirectoryEntry entry;
        entry.name = NativeToPath(name);
        Describe(descriptor, found->d_name, entry);
        entries.push_back(std::move(entry));
    }
    closedir(dir);
    std::sort(entries.begin(), entries.end(),
              [](const DirectoryEntry &a, const DirectoryEntry &b) { return a.name < b.name; });
    return ZELKRESULT_OK;
}
