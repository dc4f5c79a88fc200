// The checksum of one file segment: a CRC-32 with polynomial 0x04C11DB7, most significant bit
// first, register starting at 0, no reflection and no final inversion, whose value 0 is replaced
// by 1 so that 0 can stand for "no checksum". The repair server compares these values with its
// own, so every way of computing them must give exactly the same bits.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t kSegmentChecksumPolynomial = 0x04C11DB7u;

// The ways of computing the register. The fastest one the processor offers is chosen once, when
// the program starts; the others stay reachable so that each can be checked against the rest.
enum class ChecksumKernel
{
    SlicingTables,     // eight tables of 256 entries, eight bytes per step; runs everywhere
    CarrylessMultiply, // folds 64 bytes per step with carry-less multiplication (x86-64)
};

bool ChecksumKernelAvailable(ChecksumKernel kernel);
ChecksumKernel ActiveChecksumKernel();
const char *ChecksumKernelName(ChecksumKernel kernel);

// Continues the register crc over length more bytes, as if they followed the bytes already in it.
uint32_t UpdateSegmentCrc(uint32_t crc, const void *data, size_t length);
// The same with a chosen kernel, which must be available.
uint32_t UpdateSegmentCrcWith(ChecksumKernel kernel, uint32_t crc, const void *data, size_t length);

// The register over the bytes with 0 replaced by 1: never 0, and 1 for an empty or all-zero segment.
uint32_t FinishSegmentChecksum(uint32_t crc);
uint32_t SegmentChecksum(const void *data, size_t length);
