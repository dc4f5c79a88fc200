// The Linux half of the stdio helpers.
#include "kernel/StdioFile.h"

#include <cerrno>
#include <cstdint>
#include <limits>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "kernel/FileUtil.h"
#include "kernel/TextConvert.h"

namespace
{
constexpr uint64_t kMaxOffset = static_cast<uint64_t>(std::numeric_limits<off_t>::max());
}

FILE *OpenStdioFile(const std::wstring &path, const char *mode)
{
    std::wstring native = path;
    NormalizeSeparators(native);
    // "e" (close-on-exec) keeps the patcher's open files out of the patch tool and other children.
    const std::string withCloseOnExec = std::string(mode) + "e";
    FILE *file = fopen(PathToNative(native).c_str(), withCloseOnExec.c_str());
    if (!file)
        return nullptr;
    // glibc opens a directory for reading; it would then read as an empty file.
    struct stat info;
    if (fstat(fileno(file), &info) != 0 || S_ISDIR(info.st_mode))
    {
        fclose(file);
        errno = EISDIR;
        return nullptr;
    }
    return file;
}

bool SeekStdioFile(FILE *file, uint64_t offset)
{
    if (offset > kMaxOffset)
        return false;
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

bool SeekStdioFileEnd(FILE *file, uint64_t &offset)
{
    if (fseeko(file, 0, SEEK_END) != 0)
        return false;
    const off_t end = ftello(file);
    if (end < 0)
        return false;
    offset = static_cast<uint64_t>(end);
    return true;
}

bool TruncateStdioFile(FILE *file, uint64_t size)
{
    if (size > kMaxOffset || fflush(file) != 0)
        return false;
    int result;
    do
        result = ftruncate(fileno(file), static_cast<off_t>(size));
    while (result != 0 && errno == EINTR);
    return result == 0;
}

bool SyncStdioFile(FILE *file)
{
    if (fflush(file) != 0)
        return false;
    int result;
    do
        result = fdatasync(fileno(file));
    while (result != 0 && errno == EINTR);
    return result == 0;
}
