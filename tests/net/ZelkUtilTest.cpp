#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include <zlib.h>

#include "AddressSpaceLimit.h"
#include "SyntheticStreams.h"
#include "kernel/ByteOrder.h"
#include "kernel/ZelkSystemLog.h"
#include "net/ZelkDataBuffer.h"
#include "net/ZelkUtil.h"

namespace
{
class LogCapture : public ZelkSystemLogObserver
{
public:
    LogCapture() { ZelkAddSystemLogObserver(this); }
    ~LogCapture() override { ZelkRemoveSystemLogObserver(this); }
    void OnSystemLog(const std::wstring &text) override { lines.push_back(text); }
    std::vector<std::wstring> lines;
};

// A connection-like source: its size is unknown (0), its position counts what was read.
class StreamSource : public ZelkDataBufferMemoryDynamic
{
public:
    explicit StreamSource(const std::string &bytes)
    {
        Write(bytes.data(), static_cast<uint32_t>(bytes.size()));
        Seek(0);
    }
    uint64_t GetSize() override { return 0; }
};

std::string Frame(uint32_t compressed, uint32_t expanded, const std::string &stream)
{
    std::string out;
    LittleEndian::Append32(out, compressed);
    LittleEndian::Append32(out, expanded);
    return out + stream;
}

std::string ZlibStream(const std::string &plain)
{
    uLongf length = compressBound(plain.size());
    std::string out(length, '\0');
    compress2(reinterpret_cast<Bytef *>(out.data()), &length, reinterpret_cast<const Bytef *>(plain.data()),
              plain.size(), Z_DEFAULT_COMPRESSION);
    out.resize(length);
    return out;
}

std::string Contents(ZelkDataBufferMemoryDynamic &buffer)
{
    return std::string(reinterpret_cast<const char *>(buffer.GetData()), buffer.GetSize());
}

std::string Sample(size_t size, bool compressible)
{
    std::string text(size, '\0');
    uint32_t seed = 12345;
    for (size_t i = 0; i < size; ++i)
    {
        seed = seed * 1103515245 + 12345;
        text[i] = compressible ? "patch step "[i % 11] : static_cast<char>(seed >> 16);
    }
    return text;
}

} // namespace

TEST(ZelkUtil, CompressedBlocksRoundTripFromThePosition)
{
    for (const std::string &plain : {std::string(), Sample(1, false), Sample(100000, false), Sample(1 << 20, true)})
    {
        SCOPED_TRACE(plain.size());
        const std::string prefix = "skip me";
        ZelkDataBufferMemoryDynamic source;
        source.Write((prefix + plain).data(), static_cast<uint32_t>(prefix.size() + plain.size()));
        source.Seek(prefix.size());
        ZelkDataBufferMemoryDynamic framed;
        framed.Write("head", 4);
        ASSERT_EQ(ZelkUtil::CompressData(framed, source), ZELKRESULT_OK);

        const std::string block = Contents(framed).substr(4);
        uint32_t compressed, expanded;
        memcpy(&compressed, block.data(), 4);
        memcpy(&expanded, block.data() + 4, 4);
        EXPECT_EQ(compressed, block.size() - 8);
        EXPECT_EQ(expanded, plain.size());
        // The stream is plain zlib: any zlib reader expands it.
        std::string check(plain.size() + 1, '\0');
        uLongf checkLength = check.size();
        ASSERT_EQ(uncompress(reinterpret_cast<Bytef *>(check.data()), &checkLength,
                             reinterpret_cast<const Bytef *>(block.data() + 8), compressed),
                  Z_OK);
        EXPECT_EQ(check.substr(0, checkLength), plain);

        framed.Seek(4);
        ZelkDataBufferMemoryDynamic expandedOut;
        ASSERT_EQ(ZelkUtil::DecompressData(expandedOut, framed), ZELKRESULT_OK);
        EXPECT_EQ(Contents(expandedOut), plain);
        EXPECT_EQ(framed.GetPosition(), framed.GetSize());
    }
}

TEST(ZelkUtil, ExpandedLengthTooLargeWritesNothing)
{
    const std::string plain = Sample(10000, true);
    const std::string stream = ZlibStream(plain);
    auto source = MakeDataBufferFromString(Frame(stream.size(), plain.size() + 1, stream));
    ZelkDataBufferMemoryDynamic destination;
    EXPECT_EQ(ZelkUtil::DecompressData(destination, *source), ZELKRESULT_END_OF_DATA);
    EXPECT_EQ(destination.GetSize(), 0u);
}

TEST(ZelkUtil, ExpandedLengthTooSmallFailsInZlibAndSaysWhy)
{
    const std::string plain = Sample(10000, true);
    const std::string stream = ZlibStream(plain);
    auto source = MakeDataBufferFromString(Frame(stream.size(), plain.size() - 1, stream));
    ZelkDataBufferMemoryDynamic destination;
    LogCapture log;
    EXPECT_EQ(ZelkUtil::DecompressData(destination, *source), ZELKRESULT_NO_MEMORY);
    EXPECT_EQ(destination.GetSize(), 0u);
    const std::wstring sizes = L"ZelkUtil::DecompressData> srcLen=" + std::to_wstring(stream.size()) +
                               L", dstLen=9999, actualDstLen=9999\n";
    EXPECT_EQ(log.lines, (std::vector<std::wstring>{L"ZelkUtil::DecompressData> err -5\n", sizes}));
}

TEST(ZelkUtil, DamagedOrCutBlocksFail)
{
    const std::string plain = Sample(5000, false);
    std::string stream = ZlibStream(plain);
    {
        std::string damaged = stream;
        damaged[damaged.size() / 2] ^= 0x55;
        auto source = MakeDataBufferFromString(Frame(damaged.size(), plain.size(), damaged));
        ZelkDataBufferMemoryDynamic destination;
        EXPECT_EQ(ZelkUtil::DecompressData(destination, *source), ZELKRESULT_NO_MEMORY);
        EXPECT_EQ(destination.GetSize(), 0u);
    }
    {
        // The compressed bytes stop early: the read's result comes back.
        StreamSource source(Frame(stream.size(), plain.size(), stream.substr(0, 100)));
        ZelkDataBufferMemoryDynamic destination;
        LogCapture log;
        EXPECT_EQ(ZelkUtil::DecompressData(destination, source), ZELKRESULT_END_OF_DATA);
        EXPECT_EQ(log.lines, std::vector<std::wstring>{L"ZelkUtil::DecompressData> ReadData returned 8\n"});
    }
    {
        auto source = MakeDataBufferFromString(Frame(stream.size(), plain.size(), "").substr(0, 6));
        ZelkDataBufferMemoryDynamic destination;
        EXPECT_EQ(ZelkUtil::DecompressData(destination, *source), ZELKRESULT_END_OF_DATA);
    }
}

namespace
{
// Returns 0 when every claim gives its expected result and writes nothing, else the case number.
int DecompressClaims()
{
    const std::string stream = ZlibStream(Sample(1000, true));
    const uint32_t streamSize = static_cast<uint32_t>(stream.size());
    struct Claim
    {
        uint32_t compressed;
        uint32_t expanded;
        bool knownSize;
        ZELKRESULT expected;
    };
    const Claim claims[] = {
        {streamSize, 3u << 30, true, ZELKRESULT_BAD_FORMAT}, // 3 GiB expanded
        {streamSize, 3u << 30, false, ZELKRESULT_BAD_FORMAT},
        {1u << 30, 100, false, ZELKRESULT_BAD_FORMAT}, // beyond any compressed bound
        {0xF0000000u, 0xE0000000u, false, ZELKRESULT_BAD_FORMAT},
        {16, 64u << 20, false, ZELKRESULT_BAD_FORMAT},                 // 64 MiB out of 16 bytes
        {(1u << 30) - 1, 1u << 30, true, ZELKRESULT_END_OF_DATA},      // plausible, beyond the source
        // Plausible, from a connection that ends after a few bytes: nothing the size of the claim
        // may be allocated before the bytes are there.
        {(1u << 30) - 1, 1u << 30, false, ZELKRESULT_END_OF_DATA},
        // The largest lengths the frame can state are plausible, and still allocate nothing.
        {0xFFFFFFFFu, 0xFFFFFFFFu, true, ZELKRESULT_END_OF_DATA},
        {0xFFFFFFFFu, 0xFFFFFFFFu, false, ZELKRESULT_END_OF_DATA},
    };
    for (size_t i = 0; i < std::size(claims); ++i)
    {
        const std::string bytes = Frame(claims[i].compressed, claims[i].expanded, stream);
        ZelkDataBufferMemoryDynamic destination;
        ZELKRESULT result;
        if (claims[i].knownSize)
        {
            result = ZelkUtil::DecompressData(destination, *MakeDataBufferFromString(bytes));
        }
        else
        {
            StreamSource source(bytes);
            result = ZelkUtil::DecompressData(destination, source);
        }
        if (result != claims[i].expected || destination.GetSize() != 0)
            return static_cast<int>(i + 1);
    }
    return 0;
}
} // namespace

// Lengths come from files and from the network; a claim no real block can make is refused before
// a byte is allocated for it, and a plausible one is allocated only as its bytes arrive. The child
// runs with an address space too small for the claims, so an implementation that allocated first
// would fail with NO_MEMORY (or die) instead.
TEST(ZelkUtilDeathTest, ClaimedLengthsAllocateNothingBeforeTheirBytesArrive)
{
    EXPECT_EXIT(std::_Exit(RunWithAddressSpaceLimit(DecompressClaims)), ::testing::ExitedWithCode(0), "");
}

namespace
{
// A source that claims more bytes than it holds, like a file cut while it is read.
class ShortSource : public ZelkDataBufferMemoryDynamic
{
public:
    explicit ShortSource(const std::string &bytes)
    {
        Write(bytes.data(), static_cast<uint32_t>(bytes.size()));
        Seek(0);
    }
    uint64_t GetSize() override { return ZelkDataBufferMemoryDynamic::GetSize() + 1000; }
};
} // namespace

// A block is written as it is made; one that fails halfway must not stay in its destination.
TEST(ZelkUtil, BlockThatFailsHalfwayLeavesNothingBehind)
{
    ShortSource source(Sample(3 << 20, false));
    ZelkDataBufferMemoryDynamic framed;
    framed.Write("head", 4);
    EXPECT_EQ(ZelkUtil::CompressData(framed, source), ZELKRESULT_END_OF_DATA);
    EXPECT_EQ(Contents(framed), "head");
    EXPECT_EQ(framed.GetPosition(), 4u);

    // The same for an expansion whose stream stops inside its last piece.
    const std::string plain = Sample(3 << 20, false);
    const std::string stream = ZlibStream(plain);
    const std::string cut = stream.substr(0, stream.size() - 1000);
    auto cutSource = MakeDataBufferFromString(Frame(cut.size(), plain.size(), cut));
    ZelkDataBufferMemoryDynamic destination;
    destination.Write("head", 4);
    EXPECT_EQ(ZelkUtil::DecompressData(destination, *cutSource), ZELKRESULT_NO_MEMORY);
    EXPECT_EQ(Contents(destination), "head");
}

// Blocks pass through in pieces: a block beyond 2 GiB (past every signed 32-bit count) expands
// with little address space to spare, and a source beyond what the frame can state is refused
// before a byte of it is read.
TEST(ZelkUtilDeathTest, BlocksUpToTheFrameLimitPassInConstantMemory)
{
    const std::string piece = synthetic::Piece(1 << 20);
    EXPECT_EXIT(std::_Exit(RunWithAddressSpaceLimit(
                    [&] {
                        // Stored blocks: the expansion is a plain copy, quick for 2 GiB.
                        synthetic::RepeatedBlock block(piece, 2049, 0);
                        synthetic::PieceCheckingSink sink(piece);
                        if (ZelkUtil::DecompressData(sink, block) != ZELKRESULT_OK)
                            return 1;
                        if (sink.GetSize() != block.ExpandedLength() || !sink.Matched())
                            return 2;
                        return block.GetPosition() == block.GetSize() ? 0 : 3;
                    },
                    64u << 20)),
                ::testing::ExitedWithCode(0), "");

    synthetic::RepeatedBlock beyond(piece, 4097, 0);
    ASSERT_GT(beyond.GetSize(), ZelkUtil::kMaxBlockLength);
    ZelkDataBufferMemoryDynamic framed;
    EXPECT_EQ(ZelkUtil::CompressData(framed, beyond), ZELKRESULT_NO_MEMORY);
    EXPECT_EQ(framed.GetSize(), 0u);
    EXPECT_EQ(beyond.GetPosition(), 0u);
}
