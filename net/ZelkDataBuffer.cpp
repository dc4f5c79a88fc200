#include "net/ZelkDataBuffer.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "kernel/ByteOrder.h"
#include "kernel/ConfinedDirectory.h"
#include "kernel/StdioFile.h"

namespace
{
constexpr uint64_t kMaxMemoryPosition = 0xFFFFFFFFull;
// Copies of up to kStackCopyLimit bytes run through a stack chunk; larger ones through one heap
// chunk of at most kMaxCopyChunk bytes.
constexpr uint64_t kStackCopyLimit = 8192;
constexpr uint32_t kStackChunk = 4096;
constexpr uint64_t kMaxCopyChunk = 131072;

// Both memory buffers seek the same way: out of range leaves the position at the end.
ZELKRESULT SeekMemory(uint64_t position, uint64_t size, uint32_t &current)
{
    if (position > kMaxMemoryPosition || position > size)
    {
        current = static_cast<uint32_t>(size);
        return ZELKRESULT_END_OF_DATA;
    }
    current = static_cast<uint32_t>(position);
    return ZELKRESULT_OK;
}
} // namespace

void ZelkDataBuffer::Flush()
{
}

// Dynamic memory ----------------------------------------------------------------------------------

uint64_t ZelkDataBufferMemoryDynamic::GetSize()
{
    return m_data.size();
}

ZELKRESULT ZelkDataBufferMemoryDynamic::SetSize(uint64_t size)
{
    // A size the 32-bit position cannot reach is refused rather than cut to its low bits.
    if (size > kMaxMemoryPosition)
        return ZELKRESULT_NO_MEMORY;
    try
    {
        m_data.resize(static_cast<size_t>(size));
    }
    catch (const std::bad_alloc &)
    {
        return ZELKRESULT_NO_MEMORY;
    }
    if (size < m_position)
        m_position = static_cast<uint32_t>(size);
    return ZELKRESULT_OK;
}

uint64_t ZelkDataBufferMemoryDynamic::GetPosition()
{
    return m_position;
}

ZELKRESULT ZelkDataBufferMemoryDynamic::Seek(uint64_t position)
{
    return SeekMemory(position, m_data.size(), m_position);
}

ZELKRESULT ZelkDataBufferMemoryDynamic::Write(const void *source, uint32_t count)
{
    if (count == 0)
        return ZELKRESULT_OK;
    const uint64_t end = static_cast<uint64_t>(m_position) + count;
    if (end > kMaxMemoryPosition)
        return ZELKRESULT_NO_MEMORY;
    if (end > m_data.size())
    {
        try
        {
            m_data.resize(static_cast<size_t>(end));
        }
        catch (const std::bad_alloc &)
        {
            return ZELKRESULT_NO_MEMORY;
        }
    }
    memcpy(m_data.data() + m_position, source, count);
    m_position = static_cast<uint32_t>(end);
    return ZELKRESULT_OK;
}

ZELKRESULT ZelkDataBufferMemoryDynamic::Read(void *destination, uint32_t count)
{
    const uint64_t available = m_data.size() - m_position;
    const uint32_t copied = static_cast<uint32_t>(std::min<uint64_t>(count, available));
    if (copied > 0)
        memcpy(destination, m_data.data() + m_position, copied);
    m_position += copied;
    return copied == count ? ZELKRESULT_OK : ZELKRESULT_END_OF_DATA;
}

// Static memory -----------------------------------------------------------------------------------

ZelkDataBufferMemoryStatic::ZelkDataBufferMemoryStatic(const void *data, uint32_t size)
    : m_data(new uint8_t[size]), m_size(size), m_ownsData(true)
{
    Write(data, size);
    m_position = 0;
}

ZelkDataBufferMemoryStatic::ZelkDataBufferMemoryStatic(uint8_t *data, uint32_t size, bool ownsData)
    : m_data(data), m_size(size), m_ownsData(ownsData)
{
}

ZelkDataBufferMemoryStatic::~ZelkDataBufferMemoryStatic()
{
    if (m_ownsData)
        delete[] m_data;
}

uint64_t ZelkDataBufferMemoryStatic::GetSize()
{
    return m_size;
}

ZELKRESULT ZelkDataBufferMemoryStatic::SetSize(uint64_t)
{
    return ZELKRESULT_ACCESS;
}

uint64_t ZelkDataBufferMemoryStatic::GetPosition()
{
    return m_position;
}

ZELKRESULT ZelkDataBufferMemoryStatic::Seek(uint64_t position)
{
    return SeekMemory(position, m_size, m_position);
}

ZELKRESULT ZelkDataBufferMemoryStatic::Write(const void *source, uint32_t count)
{
    const uint32_t copied = std::min(count, m_size - m_position);
    if (copied > 0)
        memcpy(m_data + m_position, source, copied);
    m_position += copied;
    return copied == count ? ZELKRESULT_OK : ZELKRESULT_NO_MEMORY;
}

ZELKRESULT ZelkDataBufferMemoryStatic::Read(void *destination, uint32_t count)
{
    const uint32_t copied = std::min(count, m_size - m_position);
    if (copied > 0)
        memcpy(destination, m_data + m_position, copied);
    m_position += copied;
    return copied == count ? ZELKRESULT_OK : ZELKRESULT_END_OF_DATA;
}

std::unique_ptr<ZelkDataBufferMemoryStatic> MakeDataBufferFromString(const std::string &text)
{
    return std::make_unique<ZelkDataBufferMemoryStatic>(text.data(), static_cast<uint32_t>(text.size()));
}

// File --------------------------------------------------------------------------------------------

ZelkDataBufferFile::ZelkDataBufferFile(const std::wstring &path, AccessMode mode)
    : m_accessMode(mode), m_path(path)
{
    Open([&path](const char *fopenMode) { return OpenStdioFile(path, fopenMode); });
}

ZelkDataBufferFile::ZelkDataBufferFile(const ConfinedDirectory &directory, const std::wstring &name, AccessMode mode)
    : m_accessMode(mode), m_path(directory.PathOf(name))
{
    Open([&directory, &name](const char *fopenMode) { return directory.OpenStdioFile(name, fopenMode); });
}

template <typename OpenFile>
void ZelkDataBufferFile::Open(OpenFile openFile)
{
    switch (m_accessMode)
    {
    case AccessRead:
        m_file = openFile("rb");
        break;
    case AccessWrite:
        m_file = openFile("wb");
        break;
    case AccessModify:
        m_file = openFile("r+b");
        if (!m_file)
            m_file = openFile("wb");
        break;
    case AccessReadWrite:
        m_file = openFile("r+b");
        break;
    default:
        printf("ZelkDataBufferFile> unknown access mode %u\n", static_cast<unsigned>(m_accessMode));
        fflush(stdout);
        return;
    }
    if (!m_file || m_accessMode == AccessWrite)
        return;
    uint64_t end = 0;
    if (!SeekStdioFileEnd(m_file, end) || !SeekStdioFile(m_file, 0))
    {
        fclose(m_file);
        m_file = nullptr;
        return;
    }
    m_size = end;
    m_lastOpWasRead = true;
}

ZelkDataBufferFile::~ZelkDataBufferFile()
{
    if (m_file)
        fclose(m_file);
}

ZELKRESULT ZelkDataBufferFile::Close()
{
    if (!m_file)
        return ZELKRESULT_INVALID_STATE;
    const int result = fclose(m_file);
    m_file = nullptr;
    return result == 0 ? ZELKRESULT_OK : ZELKRESULT_IO;
}

uint64_t ZelkDataBufferFile::GetSize()
{
    return m_file ? m_size : 0;
}

ZELKRESULT ZelkDataBufferFile::SetSize(uint64_t size)
{
    if (!m_file)
        return ZELKRESULT_INVALID_STATE;
    const uint64_t position = m_position;
    if (!TruncateStdioFile(m_file, size))
        return ZELKRESULT_IO;
    m_position = std::min(position, size);
    m_size = size;
    if (!SeekStdioFile(m_file, m_position))
        return ZELKRESULT_IO;
    return ZELKRESULT_OK;
}

uint64_t ZelkDataBufferFile::GetPosition()
{
    return m_file ? m_position : 0;
}

ZELKRESULT ZelkDataBufferFile::Seek(uint64_t position)
{
    if (!m_file)
        return ZELKRESULT_INVALID_STATE;
    if (!SeekStdioFile(m_file, position))
        return ZELKRESULT_IO;
    m_position = position;
    return ZELKRESULT_OK;
}

ZELKRESULT ZelkDataBufferFile::TurnDirection(bool toRead)
{
    if (m_lastOpWasRead == toRead)
        return ZELKRESULT_OK;
    // A seek to where we are is the positioning call that stdio requires between reading and
    // writing the same stream; it keeps the stream instead of reopening the file.
    if (!SeekStdioFile(m_file, m_position))
        return ZELKRESULT_IO;
    m_lastOpWasRead = toRead;
    return ZELKRESULT_OK;
}

ZELKRESULT ZelkDataBufferFile::Read(void *destination, uint32_t count)
{
    if (!m_file)
        return ZELKRESULT_INVALID_STATE;
    if (m_accessMode == AccessWrite || m_accessMode == AccessModify)
        return ZELKRESULT_ACCESS;
    if (count == 0)
        return ZELKRESULT_OK;
    if (const ZELKRESULT result = TurnDirection(true))
        return result;
    const size_t got = fread(destination, 1, count, m_file);
    m_position += got;
    return got == count ? ZELKRESULT_OK : ZELKRESULT_IO;
}

ZELKRESULT ZelkDataBufferFile::Write(const void *source, uint32_t count)
{
    if (!m_file)
        return ZELKRESULT_INVALID_STATE;
    if (m_accessMode == AccessRead)
        return ZELKRESULT_ACCESS;
    if (count == 0)
        return ZELKRESULT_OK;
    if (const ZELKRESULT result = TurnDirection(false))
        return result;
    const size_t written = fwrite(source, 1, count, m_file);
    m_position += written;
    m_size = std::max(m_size, m_position);
    return written == count ? ZELKRESULT_OK : ZELKRESULT_IO;
}

void ZelkDataBufferFile::Flush()
{
    if (!m_file)
        return;
    if (m_accessMode == AccessRead)
        fflush(m_file);
    else
        SyncStdioFile(m_file);
}

// Copies ------------------------------------------------------------------------------------------

ZELKRESULT CopyData(ZelkDataBuffer &destination, ZelkDataBuffer &source, uint64_t count)
{
    if (count == 0)
        return ZELKRESULT_OK;
    uint8_t stackChunk[kStackChunk];
    std::unique_ptr<uint8_t[]> heapChunk;
    uint8_t *chunk = stackChunk;
    uint32_t chunkSize = kStackChunk;
    if (count > kStackCopyLimit)
    {
        chunkSize = static_cast<uint32_t>(std::min(count, kMaxCopyChunk));
        heapChunk.reset(new (std::nothrow) uint8_t[chunkSize]);
        if (!heapChunk)
            return ZELKRESULT_NO_MEMORY;
        chunk = heapChunk.get();
    }
    for (uint64_t remaining = count; remaining > 0;)
    {
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(remaining, chunkSize));
        if (const ZELKRESULT result = source.Read(chunk, n))
            return result;
        if (const ZELKRESULT result = destination.Write(chunk, n))
            return result;
        remaining -= n;
    }
    return ZELKRESULT_OK;
}

ZELKRESULT CopyRemaining(ZelkDataBuffer &destination, ZelkDataBuffer &source)
{
    const uint64_t size = source.GetSize();
    const uint64_t position = source.GetPosition();
    return CopyData(destination, source, size > position ? size - position : 0);
}

ZELKRESULT LittleEndian::Read32(ZelkDataBuffer &source, uint32_t &value)
{
    unsigned char bytes[4];
    if (const ZELKRESULT result = source.Read(bytes, sizeof bytes))
        return result;
    value = Read32(bytes);
    return ZELKRESULT_OK;
}

ZELKRESULT LittleEndian::Write32(ZelkDataBuffer &destination, uint32_t value)
{
    unsigned char bytes[4];
    Write32(bytes, value);
    return destination.Write(bytes, sizeof bytes);
}
