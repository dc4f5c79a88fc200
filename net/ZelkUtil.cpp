#include "net/ZelkUtil.h"

#include <algorithm>
#include <memory>
#include <new>
#include <zlib.h>

#include "kernel/ByteOrder.h"
#include "kernel/ZelkSystemLog.h"

namespace
{
constexpr uint32_t kFrameHeaderSize = 8;
// Deflate cannot expand better than about 1032:1 (a 258-byte match in two bits); the slack covers
// the stream's header, trailer and the last partial block of a tiny stream.
constexpr uint64_t kMaxExpansionRatio = 1032;
constexpr uint64_t kExpansionSlack = 4096;
// Bytes move through zlib in pieces of this size each way, whatever the block's size.
constexpr uint32_t kPieceSize = 256 * 1024;

// True when the two lengths can belong to a block that this program wrote.
bool PlausibleLengths(uint32_t compressed, uint32_t expanded)
{
    if (compressed > compressBound(expanded))
        return false;
    return expanded <= compressed * kMaxExpansionRatio + kExpansionSlack;
}

// The two pieces a block passes through: what goes into zlib and what comes out.
struct Pieces
{
    std::unique_ptr<uint8_t[]> in{new (std::nothrow) uint8_t[kPieceSize]};
    std::unique_ptr<uint8_t[]> out{new (std::nothrow) uint8_t[kPieceSize]};

    explicit operator bool() const { return in && out; }
};

// A block is written as it is made, so a failure finds part of it in the destination already.
// Where the block was the destination's end, that part is cut off again, and the destination is
// as it was before the block; bytes a block wrote over cannot be given back.
class BlockStart
{
public:
    explicit BlockStart(ZelkDataBuffer &destination)
        : m_destination(destination), m_position(destination.GetPosition()),
          m_atEnd(m_position == destination.GetSize())
    {
    }

    uint64_t Position() const { return m_position; }

    ZELKRESULT Undo(ZELKRESULT result)
    {
        if (m_atEnd && m_destination.GetSize() > m_position)
            m_destination.SetSize(m_position);
        return result;
    }

private:
    ZelkDataBuffer &m_destination;
    uint64_t m_position;
    bool m_atEnd;
};

struct DeflateStream
{
    z_stream stream{};
    int init = deflateInit(&stream, Z_DEFAULT_COMPRESSION);
    ~DeflateStream()
    {
        if (init == Z_OK)
            deflateEnd(&stream);
    }
};

struct InflateStream
{
    z_stream stream{};
    int init = inflateInit(&stream);
    ~InflateStream()
    {
        if (init == Z_OK)
            inflateEnd(&stream);
    }
};

// Reads and drops count bytes: what is left of a block behind the end of its zlib stream.
ZELKRESULT SkipBytes(ZelkDataBuffer &source, uint64_t count, uint8_t *piece)
{
    while (count > 0)
    {
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(count, kPieceSize));
        if (const ZELKRESULT result = source.Read(piece, n))
            return result;
        count -= n;
    }
    return ZELKRESULT_OK;
}
} // namespace

ZELKRESULT ZelkUtil::CompressData(ZelkDataBuffer &destination, ZelkDataBuffer &source)
{
    const uint64_t size = source.GetSize();
    const uint64_t position = source.GetPosition();
    const uint64_t length = size > position ? size - position : 0;
    if (length > kMaxBlockLength)
    {
        ZelkSystemLog("ZelkUtil::CompressData> block of %llu bytes is too large", static_cast<unsigned long long>(length));
        return ZELKRESULT_NO_MEMORY;
    }
    const uint32_t expanded = static_cast<uint32_t>(length);
    Pieces pieces;
    DeflateStream zlib;
    if (!pieces)
        return ZELKRESULT_NO_MEMORY;
    if (zlib.init != Z_OK)
    {
        ZelkSystemLog("ZelkUtil::CompressData> err %d", zlib.init);
        return ZELKRESULT_NO_MEMORY;
    }
    z_stream &stream = zlib.stream;

    BlockStart start(destination);
    uint8_t header[kFrameHeaderSize];
    LittleEndian::Write32(header, 0); // known only at the end
    LittleEndian::Write32(header + 4, expanded);
    if (const ZELKRESULT result = destination.Write(header, kFrameHeaderSize))
        return start.Undo(result);
    uint64_t unread = expanded;
    uint64_t compressed = 0;
    int err = Z_OK;
    while (err != Z_STREAM_END)
    {
        if (stream.avail_in == 0 && unread > 0)
        {
            const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(unread, kPieceSize));
            if (const ZELKRESULT result = source.Read(pieces.in.get(), n))
                return start.Undo(result);
            unread -= n;
            stream.next_in = pieces.in.get();
            stream.avail_in = n;
        }
        stream.next_out = pieces.out.get();
        stream.avail_out = kPieceSize;
        err = deflate(&stream, unread == 0 ? Z_FINISH : Z_NO_FLUSH);
        if (err != Z_OK && err != Z_STREAM_END && err != Z_BUF_ERROR)
        {
            ZelkSystemLog("ZelkUtil::CompressData> err %d", err);
            return start.Undo(ZELKRESULT_NO_MEMORY);
        }
        const uint32_t produced = kPieceSize - stream.avail_out;
        compressed += produced;
        // Data that does not compress can grow past what the frame's length can state.
        if (compressed > kMaxBlockLength)
        {
            ZelkSystemLog("ZelkUtil::CompressData> %u bytes compress to more than %llu", expanded,
                          static_cast<unsigned long long>(kMaxBlockLength));
            return start.Undo(ZELKRESULT_NO_MEMORY);
        }
        if (const ZELKRESULT result = destination.Write(pieces.out.get(), produced))
            return start.Undo(result);
    }
    const uint64_t end = destination.GetPosition();
    LittleEndian::Write32(header, static_cast<uint32_t>(compressed));
    ZELKRESULT result = destination.Seek(start.Position());
    if (result == ZELKRESULT_OK)
        result = destination.Write(header, 4);
    if (result == ZELKRESULT_OK)
        result = destination.Seek(end);
    return result == ZELKRESULT_OK ? ZELKRESULT_OK : start.Undo(result);
}

ZELKRESULT ZelkUtil::DecompressData(ZelkDataBuffer &destination, ZelkDataBuffer &source, uint64_t maxExpanded)
{
    uint8_t header[kFrameHeaderSize];
    if (const ZELKRESULT result = source.Read(header, kFrameHeaderSize))
    {
        ZelkSystemLog("ZelkUtil::DecompressData> ReadData returned %d", static_cast<int>(result));
        return result;
    }
    const uint32_t compressed = LittleEndian::Read32(header);
    const uint32_t expanded = LittleEndian::Read32(header + 4);
    if (!PlausibleLengths(compressed, expanded) || expanded > maxExpanded)
    {
        ZelkSystemLog("ZelkUtil::DecompressData> bad block lengths srcLen=%u, dstLen=%u", compressed, expanded);
        return ZELKRESULT_BAD_FORMAT;
    }
    // A source that knows its size (not a connection) shows a cut block before anything is written.
    const uint64_t size = source.GetSize();
    const uint64_t position = source.GetPosition();
    if (size != 0 && position <= size && compressed > size - position)
    {
        ZelkSystemLog("ZelkUtil::DecompressData> ReadData returned %d", static_cast<int>(ZELKRESULT_END_OF_DATA));
        return ZELKRESULT_END_OF_DATA;
    }
    Pieces pieces;
    InflateStream zlib;
    if (!pieces || zlib.init != Z_OK)
        return ZELKRESULT_NO_MEMORY;
    z_stream &stream = zlib.stream;

    // From a connection the compressed bytes are taken as they arrive, and expanded bytes exist
    // only for compressed bytes that did: no claim sizes anything.
    BlockStart start(destination);
    uint64_t unread = compressed;
    uint64_t produced = 0;
    int err = Z_OK;
    for (;;)
    {
        if (stream.avail_in == 0 && unread > 0)
        {
            const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(unread, kPieceSize));
            if (const ZELKRESULT result = source.Read(pieces.in.get(), n))
            {
                ZelkSystemLog("ZelkUtil::DecompressData> ReadData returned %d", static_cast<int>(result));
                return start.Undo(result);
            }
            unread -= n;
            stream.next_in = pieces.in.get();
            stream.avail_in = n;
        }
        // One byte of room beyond the expanded length shows a stream that runs past it.
        const uint32_t room = static_cast<uint32_t>(std::min<uint64_t>(kPieceSize, expanded - produced + 1));
        stream.next_out = pieces.out.get();
        stream.avail_out = room;
        err = inflate(&stream, Z_NO_FLUSH);
        const uint32_t got = room - stream.avail_out;
        if (produced + got > expanded)
        {
            err = Z_BUF_ERROR;
            produced = expanded;
            break;
        }
        if (const ZELKRESULT result = destination.Write(pieces.out.get(), got))
            return start.Undo(result);
        produced += got;
        if (err == Z_STREAM_END)
            break;
        // No progress although there was room: with nothing left to read the block ends inside
        // its stream, and input that cannot be taken is damage all the same.
        if (err == Z_BUF_ERROR && (stream.avail_in != 0 || unread == 0))
        {
            err = Z_DATA_ERROR;
            break;
        }
        if (err != Z_OK && err != Z_BUF_ERROR)
            break;
    }
    if (err != Z_STREAM_END)
    {
        ZelkSystemLog("ZelkUtil::DecompressData> err %d", err);
        ZelkSystemLog("ZelkUtil::DecompressData> srcLen=%u, dstLen=%u, actualDstLen=%u", compressed, expanded,
                      static_cast<uint32_t>(produced));
        return start.Undo(ZELKRESULT_NO_MEMORY);
    }
    // Bytes behind the stream's end still belong to the block: the next one starts after them.
    if (const ZELKRESULT result = SkipBytes(source, unread, pieces.in.get()))
    {
        ZelkSystemLog("ZelkUtil::DecompressData> ReadData returned %d", static_cast<int>(result));
        return start.Undo(result);
    }
    if (produced != expanded)
        return start.Undo(ZELKRESULT_END_OF_DATA);
    return ZELKRESULT_OK;
}
