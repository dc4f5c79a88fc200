#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "repair/SegmentChecksum.h"

namespace
{
// The checksum exactly as the repair server defines it: one bit at a time, no table. Every fast
// kernel is measured against this.
uint32_t BitByBitChecksum(const uint8_t *data, size_t length)
{
    uint32_t crc = 0;
    for (size_t i = 0; i < length; ++i)
    {
        crc ^= uint32_t(data[i]) << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc == 0 ? 1 : crc;
}

std::vector<uint8_t> RandomBytes(size_t size, uint32_t seed)
{
    std::mt19937 random(seed);
    std::vector<uint8_t> bytes(size);
    for (uint8_t &byte : bytes)
        byte = static_cast<uint8_t>(random());
    return bytes;
}

std::vector<ChecksumKernel> AvailableKernels()
{
    std::vector<ChecksumKernel> kernels;
    for (ChecksumKernel kernel : {ChecksumKernel::SlicingTables, ChecksumKernel::CarrylessMultiply})
        if (ChecksumKernelAvailable(kernel))
            kernels.push_back(kernel);
    return kernels;
}

uint32_t KernelChecksum(ChecksumKernel kernel, const uint8_t *data, size_t length)
{
    return FinishSegmentChecksum(UpdateSegmentCrcWith(kernel, 0, data, length));
}
} // namespace

struct CheckValue
{
    std::string bytes;
    uint32_t checksum;
};

class SegmentChecksumCheckValue : public ::testing::TestWithParam<CheckValue>
{
};

TEST_P(SegmentChecksumCheckValue, EveryKernelGivesTheServersValue)
{
    const CheckValue &check = GetParam();
    const auto *data = reinterpret_cast<const uint8_t *>(check.bytes.data());
    EXPECT_EQ(BitByBitChecksum(data, check.bytes.size()), check.checksum);
    EXPECT_EQ(SegmentChecksum(data, check.bytes.size()), check.checksum);
    for (ChecksumKernel kernel : AvailableKernels())
        EXPECT_EQ(KernelChecksum(kernel, data, check.bytes.size()), check.checksum) << ChecksumKernelName(kernel);
}

INSTANTIATE_TEST_SUITE_P(Values, SegmentChecksumCheckValue,
                         ::testing::Values(CheckValue{"123456789", 0x89A1897Fu}, CheckValue{"abc", 0x2C17398Cu},
                                           // A zero register would read as "no checksum".
                                           CheckValue{std::string(), 1u}, CheckValue{std::string(1, '\0'), 1u},
                                           CheckValue{std::string(4096, '\0'), 1u}));

TEST(SegmentChecksum, ProcessorsWithCarrylessMultiplyUseIt)
{
    if (ChecksumKernelAvailable(ChecksumKernel::CarrylessMultiply))
        EXPECT_EQ(ActiveChecksumKernel(), ChecksumKernel::CarrylessMultiply);
    else
        EXPECT_EQ(ActiveChecksumKernel(), ChecksumKernel::SlicingTables);
}

class SegmentChecksumLength : public ::testing::TestWithParam<size_t>
{
};

// Every length around the kernels' block sizes, started at every offset within a 16-byte line, so
// that head, fold and tail handling are each exercised misaligned.
TEST_P(SegmentChecksumLength, EqualsTheBitByBitOracleAtEveryAlignment)
{
    const size_t length = GetParam();
    const std::vector<uint8_t> bytes = RandomBytes(length + 16, static_cast<uint32_t>(length));
    for (size_t offset = 0; offset < 16; offset += (length > 65536 ? 5 : 1))
    {
        const uint32_t expected = BitByBitChecksum(bytes.data() + offset, length);
        for (ChecksumKernel kernel : AvailableKernels())
            ASSERT_EQ(KernelChecksum(kernel, bytes.data() + offset, length), expected)
                << ChecksumKernelName(kernel) << ", offset " << offset;
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, SegmentChecksumLength,
                         ::testing::Values(0, 1, 3, 7, 8, 15, 16, 17, 63, 64, 65, 79, 80, 127, 128, 129, 4095, 4096,
                                           4097, 4 * 1024 * 1024));

// A segment read in pieces gives the same checksum as one read whole, for any split.
TEST(SegmentChecksum, ContinuesAcrossPiecesOfAnyLength)
{
    const std::vector<uint8_t> bytes = RandomBytes(300000, 7);
    const uint32_t whole = BitByBitChecksum(bytes.data(), bytes.size());
    std::mt19937 random(11);
    for (ChecksumKernel kernel : AvailableKernels())
        for (int round = 0; round < 20; ++round)
        {
            uint32_t crc = 0;
            size_t done = 0;
            while (done < bytes.size())
            {
                const size_t piece = std::min<size_t>(bytes.size() - done, random() % 70000);
                crc = UpdateSegmentCrcWith(kernel, crc, bytes.data() + done, piece);
                done += piece;
            }
            ASSERT_EQ(FinishSegmentChecksum(crc), whole) << ChecksumKernelName(kernel) << ", round " << round;
        }
}

// Random data of random lengths: a fault that only some bit patterns reach shows here.
TEST(SegmentChecksum, RandomLengthsAndContentsMatchTheOracle)
{
    std::mt19937 random(2024);
    for (int round = 0; round < 200; ++round)
    {
        const size_t length = random() % 20000;
        const size_t offset = random() % 16;
        const std::vector<uint8_t> bytes = RandomBytes(length + offset, static_cast<uint32_t>(round));
        const uint32_t expected = BitByBitChecksum(bytes.data() + offset, length);
        for (ChecksumKernel kernel : AvailableKernels())
            ASSERT_EQ(KernelChecksum(kernel, bytes.data() + offset, length), expected)
                << ChecksumKernelName(kernel) << ", length " << length << ", offset " << offset;
    }
}
