#include "kernel/KernelStandard/FileDescriptor.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
constexpr size_t kReadPiece = 64 * 1024;
constexpr size_t kCopyPiece = 128 * 1024;
} // namespace

int FileDescriptor::Release()
{
    const int descriptor = m_descriptor;
    m_descriptor = -1;
    return descriptor;
}

void FileDescriptor::Reset(int descriptor)
{
    if (m_descriptor >= 0)
    {
        const int error = errno;
        close(m_descriptor);
        errno = error;
    }
    m_descriptor = descriptor;
}

bool WriteAll(int descriptor, const void *data, size_t size)
{
    const char *bytes = static_cast<const char *>(data);
    while (size > 0)
    {
        const ssize_t written = write(descriptor, bytes, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

bool SyncDescriptor(int descriptor)
{
    int result;
    do
        result = fsync(descriptor);
    while (result != 0 && errno == EINTR);
    return result == 0;
}

bool CopyDescriptorContent(int in, int out)
{
    char buffer[kCopyPiece];
    for (;;)
    {
        const ssize_t got = read(in, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return got == 0;
        if (!WriteAll(out, buffer, static_cast<size_t>(got)))
            return false;
    }
}

ZELKRESULT ReadWholeDescriptor(int descriptor, std::string &bytes, uint64_t limit)
{
    bytes.clear();
    struct stat info = {};
    if (fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode))
    {
        errno = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
        return ZELKRESULT_IO;
    }
    // The size on record sizes the block, but only the bytes read count: a file may grow, and
    // some report no size at all.
    if (static_cast<uint64_t>(info.st_size) > limit)
        return ZELKRESULT_NO_MEMORY;
    bytes.reserve(static_cast<size_t>(info.st_size));
    char piece[kReadPiece];
    for (;;)
    {
        const ssize_t got = read(descriptor, piece, sizeof piece);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
        {
            bytes.clear();
            return ZELKRESULT_IO;
        }
        if (got == 0)
            return ZELKRESULT_OK;
        if (bytes.size() + static_cast<size_t>(got) > limit)
        {
            bytes.clear();
            return ZELKRESULT_NO_MEMORY;
        }
        bytes.append(piece, static_cast<size_t>(got));
    }
}
