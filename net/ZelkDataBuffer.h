// The positioned byte stream shared by files, memory blocks and connections, so that one piece of
// code can serialise, copy or compress to any of them.
#pragma once

#include <boost/noncopyable.hpp>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "kernel/ZelkTypes.h"

class ConfinedDirectory;

class ZelkDataBuffer : private boost::noncopyable
{
public:
    virtual ~ZelkDataBuffer() = default;

    virtual uint64_t GetSize() = 0;
    virtual ZELKRESULT SetSize(uint64_t size) = 0;
    virtual uint64_t GetPosition() = 0;
    virtual ZELKRESULT Seek(uint64_t position) = 0;
    // Read and Write start at the position and advance it by the bytes actually moved.
    virtual ZELKRESULT Write(const void *source, uint32_t count) = 0;
    virtual ZELKRESULT Read(void *destination, uint32_t count) = 0;
    virtual void Flush();
};

// A growable block in memory. Positions are 32-bit, so it holds at most 4 GiB - 1 bytes.
class ZelkDataBufferMemoryDynamic : public ZelkDataBuffer
{
public:
    ZelkDataBufferMemoryDynamic() = default;

    uint64_t GetSize() override;
    ZELKRESULT SetSize(uint64_t size) override;
    uint64_t GetPosition() override;
    ZELKRESULT Seek(uint64_t position) override;
    // Grows the block (new bytes zero) when the write runs past its end; ZELKRESULT_NO_MEMORY
    // when that allocation fails or the block would pass 4 GiB - 1.
    ZELKRESULT Write(const void *source, uint32_t count) override;
    ZELKRESULT Read(void *destination, uint32_t count) override;

    const uint8_t *GetData() const { return m_data.data(); }
    // The block itself, for reading into it in place; valid until the size changes.
    uint8_t *GetData() { return m_data.data(); }

private:
    std::vector<uint8_t> m_data;
    uint32_t m_position = 0;
};

// A block of fixed size; writes beyond its end are cut and reported as ZELKRESULT_NO_MEMORY.
class ZelkDataBufferMemoryStatic : public ZelkDataBuffer
{
public:
    // Copies size bytes into a block of its own.
    ZelkDataBufferMemoryStatic(const void *data, uint32_t size);
    // Takes over a block allocated with new uint8_t[] (ownsData set) or wraps a block that stays
    // the caller's and must outlive the buffer (ownsData clear).
    ZelkDataBufferMemoryStatic(uint8_t *data, uint32_t size, bool ownsData);
    ~ZelkDataBufferMemoryStatic() override;

    uint64_t GetSize() override;
    // Always ZELKRESULT_ACCESS: the block never changes size.
    ZELKRESULT SetSize(uint64_t size) override;
    uint64_t GetPosition() override;
    ZELKRESULT Seek(uint64_t position) override;
    ZELKRESULT Write(const void *source, uint32_t count) override;
    ZELKRESULT Read(void *destination, uint32_t count) override;

    const uint8_t *GetData() const { return m_data; }

private:
    uint8_t *m_data = nullptr;
    uint32_t m_position = 0;
    uint32_t m_size = 0;
    bool m_ownsData = false;
};

// An owning static buffer holding a copy of the bytes of text.
std::unique_ptr<ZelkDataBufferMemoryStatic> MakeDataBufferFromString(const std::string &text);

// A file on disk. The object is usable whether or not the open succeeded; test IsOpen right
// after construction. Every operation of an unopened buffer fails with ZELKRESULT_INVALID_STATE.
class ZelkDataBufferFile : public ZelkDataBuffer
{
public:
    enum AccessMode : uint32_t
    {
        AccessRead = 0,      // the file must exist; reads only
        AccessWrite = 1,     // creates or truncates; writes only
        AccessModify = 2,    // opens or creates, keeping the content; writes only
        AccessReadWrite = 3, // the file must exist; reads and writes
    };

    ZelkDataBufferFile(const std::wstring &path, AccessMode mode);
    // The file name names beneath the directory (see ConfinedDirectory::OpenStdioFile); its path is
    // the directory's path joined with name.
    ZelkDataBufferFile(const ConfinedDirectory &directory, const std::wstring &name, AccessMode mode);
    ~ZelkDataBufferFile() override;

    bool IsOpen() const { return m_file != nullptr; }
    // Closes the file now. Buffered output can fail only here (a full disk), so writers that
    // must know whether the file is complete close it themselves; the destructor cannot tell.
    ZELKRESULT Close();
    const std::wstring &GetPath() const { return m_path; }

    uint64_t GetSize() override;
    // Changes the file's length; growth fills with zero bytes.
    ZELKRESULT SetSize(uint64_t size) override;
    uint64_t GetPosition() override;
    // Seeking beyond the end is allowed; a later write leaves a gap of zero bytes.
    ZELKRESULT Seek(uint64_t position) override;
    // A short transfer is ZELKRESULT_IO; the bytes that moved are delivered and passed.
    ZELKRESULT Write(const void *source, uint32_t count) override;
    ZELKRESULT Read(void *destination, uint32_t count) override;
    // Pushes buffered output to the file; a writable file also waits until it is on the disk.
    void Flush() override;

private:
    // Opens the file by the access mode through openFile (an fopen mode in, a stream or null out).
    template <typename OpenFile>
    void Open(OpenFile openFile);
    // stdio needs a positioning call whenever the stream turns from reading to writing.
    ZELKRESULT TurnDirection(bool toRead);

    FILE *m_file = nullptr;
    AccessMode m_accessMode;
    uint64_t m_size = 0;
    uint64_t m_position = 0;
    bool m_lastOpWasRead = false;
    std::wstring m_path;
};

// Moves count bytes from the source's position to the destination's position; stops at the
// first failing read or write, whose result it returns. Never holds more than 128 KiB.
ZELKRESULT CopyData(ZelkDataBuffer &destination, ZelkDataBuffer &source, uint64_t count);
// CopyData of everything from the source's position to its end.
ZELKRESULT CopyRemaining(ZelkDataBuffer &destination, ZelkDataBuffer &source);

// A 32-bit number in little-endian order, the order of the program's cache files and of the repair
// protocol, read from the source's position or written at the destination's (kernel/ByteOrder.h).
namespace LittleEndian
{
ZELKRESULT Read32(ZelkDataBuffer &source, uint32_t &value);
ZELKRESULT Write32(ZelkDataBuffer &destination, uint32_t value);
} // namespace LittleEndian
