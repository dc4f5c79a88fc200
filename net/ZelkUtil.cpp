#include "net/ZelkUtil.h"

#include <algorithm>
#include <memory>
#include <new>
#include <vector>
#include <zlib.h>

#include "kernel/ZelkSystemLog.h"

namespace
{
constexpr uint32_t kFrameHeaderSize = 8;
// Deflate cannot expand better than about 1032:1 (a 258-byte match in two bits); the slack covers
// the stream's header, trailer and the last partial block of a tiny stream.
constexpr uint64_t kMaxExpansionRatio = 1032;
constexpr uint64_t kExpansionSlack = 4096;
// Compressed bytes of unknown availability are taken in pieces of this size.
constexpr size_t kClaimedReadPiece = 256 * 1024;

void PutUint32(uint8_t *out, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t GetUint32(const uint8_t *in)
{
    return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 | static_cast<uint32_t>(in[2]) << 16 |
           static_cast<uint32_t>(in[3]) << 24;
}

std::unique_ptr<uint8_t[]> Allocate(uint64_t size)
{
    return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[size ? size : 1]);
}

// Reads count bytes that a header claims. From a source whose size showed that they are there the
// block is allocated at once; from one that cannot tell (a connection) it grows with what arrives,
// so that a header alone never sizes an allocation.
ZELKRESULT ReadClaimedBytes(ZelkDataBuffer &source, bool sizeKnown, uint32_t count, std::vector<uint8_t> &bytes)
{
    try
    {
        if (sizeKnown)
        {
            bytes.resize(count);
            return count == 0 ? ZELKRESULT_OK : source.Read(bytes.data(), count);
        }
        while (bytes.size() < count)
        {
            const size_t done = bytes.size();
            const uint32_t piece = static_cast<uint32_t>(std::min<size_t>(kClaimedReadPiece, count - done));
            bytes.resize(done + piece);
            if (const ZELKRESULT result = source.Read(bytes.data() + done, piece))
                return result;
        }
        return ZELKRESULT_OK;
    }
    catch (const std::bad_alloc &)
    {
        return ZELKRESULT_NO_MEMORY;
    }
}

// True when the two lengths can belong to a block that this program wrote.
bool PlausibleLengths(uint32_t compressed, uint32_t expanded)
{
    if (expanded > ZelkUtil::kMaxExpandedBlock)
        return false;
    if (compressed > compressBound(expanded))
        return false;
    return expanded <= compressed * kMaxExpansionRatio + kExpansionSlack;
}
} // namespace

ZELKRESULT ZelkUtil::CompressData(ZelkDataBuffer &destination, ZelkDataBuffer &source)
{
    const uint64_t size = source.GetSize();
    const uint64_t position = source.GetPosition();
    const uint64_t length = size > position ? size - position : 0;
    // The reader refuses larger blocks, so none is written.
    if (length > kMaxExpandedBlock)
    {
        ZelkSystemLog("ZelkUtil::CompressData> block of %llu bytes is too large", static_cast<unsigned long long>(length));
        return ZELKRESULT_NO_MEMORY;
    }
    const uint32_t expanded = static_cast<uint32_t>(length);
    std::unique_ptr<uint8_t[]> plain = Allocate(expanded);
    uLongf bound = compressBound(expanded);
    // The frame header sits in front of the compressed bytes so the block leaves in one write.
    std::unique_ptr<uint8_t[]> frame = Allocate(kFrameHeaderSize + static_cast<uint64_t>(bound));
    if (!plain || !frame)
        return ZELKRESULT_NO_MEMORY;
    if (const ZELKRESULT result = source.Read(plain.get(), expanded))
        return result;
    const int err = compress2(frame.get() + kFrameHeaderSize, &bound, plain.get(), expanded, Z_DEFAULT_COMPRESSION);
    if (err != Z_OK)
    {
        ZelkSystemLog("ZelkUtil::CompressData> err %d", err);
        return ZELKRESULT_NO_MEMORY;
    }
    const uint32_t compressed = static_cast<uint32_t>(bound);
    PutUint32(frame.get(), compressed);
    PutUint32(frame.get() + 4, expanded);
    return destination.Write(frame.get(), kFrameHeaderSize + compressed);
}

ZELKRESULT ZelkUtil::DecompressData(ZelkDataBuffer &destination, ZelkDataBuffer &source)
{
    uint8_t header[kFrameHeaderSize];
    if (const ZELKRESULT result = source.Read(header, kFrameHeaderSize))
    {
        ZelkSystemLog("ZelkUtil::DecompressData> ReadData returned %d", static_cast<int>(result));
        return result;
    }
    const uint32_t compressed = GetUint32(header);
    const uint32_t expanded = GetUint32(header + 4);
    if (!PlausibleLengths(compressed, expanded))
    {
        ZelkSystemLog("ZelkUtil::DecompressData> bad block lengths srcLen=%u, dstLen=%u", compressed, expanded);
        return ZELKRESULT_BAD_FORMAT;
    }
    // A source that knows its size (not a connection) can show a cut block before allocation.
    const uint64_t size = source.GetSize();
    const uint64_t position = source.GetPosition();
    if (size != 0 && position <= size && compressed > size - position)
    {
        ZelkSystemLog("ZelkUtil::DecompressData> ReadData returned %d", static_cast<int>(ZELKRESULT_END_OF_DATA));
        return ZELKRESULT_END_OF_DATA;
    }

    std::vector<uint8_t> packed;
    if (const ZELKRESULT result = ReadClaimedBytes(source, size != 0, compressed, packed))
    {
        ZelkSystemLog("ZelkUtil::DecompressData> ReadData returned %d", static_cast<int>(result));
        return result;
    }
    // Allocated only once the compressed bytes are really there: the ratio check then ties the
    // expanded size to data received, not to a claim.
    std::unique_ptr<uint8_t[]> plain = Allocate(expanded);
    if (!plain)
        return ZELKRESULT_NO_MEMORY;
    uLongf produced = expanded;
    const int err = uncompress(plain.get(), &produced, packed.data(), compressed);
    if (err != Z_OK)
    {
        ZelkSystemLog("ZelkUtil::DecompressData> err %d", err);
        ZelkSystemLog("ZelkUtil::DecompressData> srcLen=%d, dstLen=%d, actualDstLen=%d", static_cast<int>(compressed),
                      static_cast<int>(expanded), static_cast<int>(produced));
        return ZELKRESULT_NO_MEMORY;
    }
    if (produced != expanded)
        return ZELKRESULT_END_OF_DATA;
    return destination.Write(plain.get(), expanded);
}
