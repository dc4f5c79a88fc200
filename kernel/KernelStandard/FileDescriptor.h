// A descriptor that closes itself, and the loops around read, write and fsync that the Linux layers
// share: every one of them must retry an interrupted call and go on after a short transfer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "kernel/ZelkTypes.h"

class FileDescriptor
{
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int descriptor) : m_descriptor(descriptor) {}
    ~FileDescriptor() { Reset(); }
    FileDescriptor(FileDescriptor &&other) noexcept : m_descriptor(other.Release()) {}
    FileDescriptor &operator=(FileDescriptor &&other) noexcept
    {
        Reset(other.Release());
        return *this;
    }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;

    bool IsValid() const { return m_descriptor >= 0; }
    int Get() const { return m_descriptor; }
    // The caller owns the descriptor from here on.
    int Release();
    // Closes the descriptor held (errno survives) and takes another.
    void Reset(int descriptor = -1);

private:
    int m_descriptor = -1;
};

bool WriteAll(int descriptor, const void *data, size_t size);
bool SyncDescriptor(int descriptor);
// Copies everything from in's position to out's; false on the first failed read or write.
bool CopyDescriptorContent(int in, int out);
// Reads a regular file to its end. ZELKRESULT_IO (errno says why; EISDIR for a directory) when it
// cannot be read or is no regular file, ZELKRESULT_NO_MEMORY when it holds more than limit bytes;
// bytes is empty on failure.
ZELKRESULT ReadWholeDescriptor(int descriptor, std::string &bytes, uint64_t limit);
