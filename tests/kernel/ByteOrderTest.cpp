#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "kernel/ByteOrder.h"

namespace
{
// Bytes with the high bit set too, so that a read through char that widened with a sign shows.
const unsigned char kBytes[] = {0x81, 0x02, 0xF3, 0x04, 0x85, 0x06, 0xFF, 0x08, 0x99};

struct OrderCase
{
    size_t at; // an odd offset reads unaligned
    uint16_t little16, big16;
    uint32_t little32, big32;
    uint64_t little64, big64;
};

const OrderCase kCases[] = {
    {0, 0x0281, 0x8102, 0x04F30281u, 0x8102F304u, 0x08FF068504F30281ull, 0x8102F3048506FF08ull},
    {1, 0xF302, 0x02F3, 0x8504F302u, 0x02F30485u, 0x9908FF068504F302ull, 0x02F3048506FF0899ull},
};
} // namespace

TEST(ByteOrder, ReadsWritesAndAppendsInTheStatedOrder)
{
    for (const OrderCase &c : kCases)
    {
        SCOPED_TRACE(c.at);
        const char *bytes = reinterpret_cast<const char *>(kBytes) + c.at;
        EXPECT_EQ(LittleEndian::Read16(bytes), c.little16);
        EXPECT_EQ(BigEndian::Read16(bytes), c.big16);
        EXPECT_EQ(LittleEndian::Read32(bytes), c.little32);
        EXPECT_EQ(BigEndian::Read32(bytes), c.big32);
        EXPECT_EQ(LittleEndian::Read64(bytes), c.little64);
        EXPECT_EQ(BigEndian::Read64(bytes), c.big64);

        // Each way of writing gives the bytes back, at an odd position too.
        const std::string expected(bytes, 8);
        unsigned char written[9] = {};
        LittleEndian::Write64(written + 1, c.little64);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(written + 1), 8), expected);
        BigEndian::Write64(written + 1, c.big64);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(written + 1), 8), expected);
        LittleEndian::Write32(written, c.little32);
        LittleEndian::Write16(written + 4, c.little16);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(written), 6), expected.substr(0, 4) + expected.substr(0, 2));
        BigEndian::Write32(written, c.big32);
        BigEndian::Write16(written + 4, c.big16);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(written), 6), expected.substr(0, 4) + expected.substr(0, 2));

        std::string text = "x";
        LittleEndian::Append16(text, c.little16);
        BigEndian::Append32(text, c.big32);
        LittleEndian::Append64(text, c.little64);
        EXPECT_EQ(text, "x" + expected.substr(0, 2) + expected.substr(0, 4) + expected);
        std::vector<uint8_t> vector;
        BigEndian::Append16(vector, c.big16);
        LittleEndian::Append32(vector, c.little32);
        BigEndian::Append64(vector, c.big64);
        EXPECT_EQ(std::string(vector.begin(), vector.end()), expected.substr(0, 2) + expected.substr(0, 4) + expected);
    }
}
