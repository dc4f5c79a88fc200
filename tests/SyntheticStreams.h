// Streams of any length made in little time and memory, for tests of blocks and files far larger
// than a test could hold or compress: a framed block whose zlib stream repeats one compressed
// piece, and a destination that checks what is written to it against the piece instead of
// keeping it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <zlib.h>

#include "kernel/ByteOrder.h"
#include "net/ZelkDataBuffer.h"

namespace synthetic
{
// Bytes that tell their place within a piece of the given size, with runs that deflate finds.
inline std::string Piece(size_t size)
{
    std::string piece(size, '\0');
    static const char kText[] = "the content of a very large file ";
    for (size_t i = 0; i < size; ++i)
        piece[i] = static_cast<char>(kText[i % (sizeof kText - 1)] ^ (i >> 12));
    return piece;
}

// One framed block (compressed length, expanded length, zlib stream) of count copies of piece.
// The piece is compressed once, raw and with a full flush, which ends it on a byte boundary and
// makes it refer to nothing before it, so that the same bytes stand for every copy. Level 0 makes
// stored blocks: the expansion is a plain copy, fast for long streams.
class RepeatedBlock : public ZelkDataBuffer
{
public:
    RepeatedBlock(const std::string &piece, uint64_t count, int level) : m_count(count)
    {
        z_stream stream{};
        EXPECT_EQ(deflateInit2(&stream, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
        m_compressed.resize(deflateBound(&stream, piece.size()) + 64);
        stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(piece.data()));
        stream.avail_in = static_cast<uInt>(piece.size());
        stream.next_out = reinterpret_cast<Bytef *>(m_compressed.data());
        stream.avail_out = static_cast<uInt>(m_compressed.size());
        EXPECT_EQ(deflate(&stream, Z_FULL_FLUSH), Z_OK);
        m_compressed.resize(m_compressed.size() - stream.avail_out);
        char last[16];
        stream.next_out = reinterpret_cast<Bytef *>(last);
        stream.avail_out = sizeof last;
        EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
        const std::string end(last, sizeof last - stream.avail_out);
        deflateEnd(&stream);

        const uLong pieceSum = adler32(1, reinterpret_cast<const Bytef *>(piece.data()), static_cast<uInt>(piece.size()));
        uLong sum = 1;
        for (uint64_t i = 0; i < count; ++i)
            sum = adler32_combine(sum, pieceSum, static_cast<z_off_t>(piece.size()));
        m_expanded = piece.size() * count;
        const uint64_t streamLength = 2 + m_compressed.size() * count + end.size() + 4;
        m_head = Frame(streamLength, m_expanded) + std::string("\x78\x9C", 2);
        m_tail = end;
        for (int shift = 24; shift >= 0; shift -= 8)
            m_tail += static_cast<char>(sum >> shift);
    }

    uint64_t ExpandedLength() const { return m_expanded; }

    // The frame with other lengths, for blocks that claim what their stream does not hold.
    void SetLengths(uint64_t compressed, uint64_t expanded)
    {
        m_head = Frame(compressed, expanded) + m_head.substr(8);
    }

    uint64_t GetSize() override { return m_head.size() + m_compressed.size() * m_count + m_tail.size(); }
    ZELKRESULT SetSize(uint64_t) override { return ZELKRESULT_UNSUPPORTED; }
    uint64_t GetPosition() override { return m_position; }
    ZELKRESULT Seek(uint64_t position) override
    {
        m_position = std::min(position, GetSize());
        return position > GetSize() ? ZELKRESULT_END_OF_DATA : ZELKRESULT_OK;
    }
    ZELKRESULT Write(const void *, uint32_t) override { return ZELKRESULT_ACCESS; }
    ZELKRESULT Read(void *destination, uint32_t count) override
    {
        char *out = static_cast<char *>(destination);
        const uint64_t body = m_compressed.size() * m_count;
        while (count > 0 && m_position < GetSize())
        {
            const char *from;
            uint64_t available;
            if (m_position < m_head.size())
            {
                from = m_head.data() + m_position;
                available = m_head.size() - m_position;
            }
            else if (m_position < m_head.size() + body)
            {
                const uint64_t inPiece = (m_position - m_head.size()) % m_compressed.size();
                from = m_compressed.data() + inPiece;
                available = m_compressed.size() - inPiece;
            }
            else
            {
                const uint64_t inTail = m_position - m_head.size() - body;
                from = m_tail.data() + inTail;
                available = m_tail.size() - inTail;
            }
            const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(available, count));
            std::memcpy(out, from, n);
            out += n;
            count -= n;
            m_position += n;
        }
        return count == 0 ? ZELKRESULT_OK : ZELKRESULT_END_OF_DATA;
    }

private:
    static std::string Frame(uint64_t compressed, uint64_t expanded)
    {
        std::string frame;
        LittleEndian::Append32(frame, static_cast<uint32_t>(compressed));
        LittleEndian::Append32(frame, static_cast<uint32_t>(expanded));
        return frame;
    }

    std::string m_compressed;
    uint64_t m_count;
    uint64_t m_expanded = 0;
    std::string m_head;
    std::string m_tail;
    uint64_t m_position = 0;
};

// A destination that keeps nothing: every byte written must be the byte of the repeated piece at
// its place, and the size is what was written.
class PieceCheckingSink : public ZelkDataBuffer
{
public:
    explicit PieceCheckingSink(const std::string &piece) : m_piece(piece) {}

    bool Matched() const { return m_matched; }

    uint64_t GetSize() override { return m_size; }
    ZELKRESULT SetSize(uint64_t size) override
    {
        m_size = size;
        m_position = std::min(m_position, size);
        return ZELKRESULT_OK;
    }
    uint64_t GetPosition() override { return m_position; }
    ZELKRESULT Seek(uint64_t position) override
    {
        m_position = position;
        return ZELKRESULT_OK;
    }
    ZELKRESULT Write(const void *source, uint32_t count) override
    {
        const char *bytes = static_cast<const char *>(source);
        while (count > 0)
        {
            const uint64_t inPiece = m_position % m_piece.size();
            const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(m_piece.size() - inPiece, count));
            m_matched = m_matched && std::memcmp(bytes, m_piece.data() + inPiece, n) == 0;
            bytes += n;
            count -= n;
            m_position += n;
        }
        m_size = std::max(m_size, m_position);
        return ZELKRESULT_OK;
    }
    ZELKRESULT Read(void *, uint32_t) override { return ZELKRESULT_ACCESS; }

private:
    std::string m_piece;
    uint64_t m_size = 0;
    uint64_t m_position = 0;
    bool m_matched = true;
};
} // namespace synthetic
