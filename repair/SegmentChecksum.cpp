#include "repair/SegmentChecksum.h"

#include <array>
#include <cstring>

#include "kernel/ByteOrder.h"

#if defined(__x86_64__)
#include <immintrin.h>
#define ZELK_HAVE_CLMUL_KERNEL 1
#endif

namespace
{
using Tables = std::array<std::array<uint32_t, 256>, 8>;

// tables[k][b]: the register after the byte b followed by k zero bytes, from a zero register.
constexpr Tables MakeTables()
{
    Tables tables{};
    for (uint32_t b = 0; b < 256; ++b)
    {
        uint32_t crc = b << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ kSegmentChecksumPolynomial : crc << 1;
        tables[0][b] = crc;
    }
    for (int k = 1; k < 8; ++k)
        for (uint32_t b = 0; b < 256; ++b)
        {
            const uint32_t previous = tables[k - 1][b];
            tables[k][b] = (previous << 8) ^ tables[0][previous >> 24];
        }
    return tables;
}

constexpr Tables kTables = MakeTables();

uint32_t UpdateWithTables(uint32_t crc, const uint8_t *p, size_t length)
{
    for (; length >= 8; p += 8, length -= 8)
    {
        const uint32_t x = crc ^ BigEndian::Read32(p);
        crc = kTables[7][x >> 24] ^ kTables[6][(x >> 16) & 0xFF] ^ kTables[5][(x >> 8) & 0xFF] ^
              kTables[4][x & 0xFF] ^ kTables[3][p[4]] ^ kTables[2][p[5]] ^ kTables[1][p[6]] ^
              kTables[0][p[7]];
    }
    for (; length > 0; ++p, --length)
        crc = (crc << 8) ^ kTables[0][(crc >> 24) ^ *p];
    return crc;
}

#if ZELK_HAVE_CLMUL_KERNEL
// x^n mod P, with bit i standing for x^i as in the register.
constexpr uint64_t PowerModPolynomial(unsigned n)
{
    uint32_t value = 1;
    for (unsigned i = 0; i < n; ++i)
        value = (value & 0x80000000u) ? (value << 1) ^ kSegmentChecksumPolynomial : value << 1;
    return value;
}

constexpr long long kFoldBy64High = PowerModPolynomial(512 + 64);
constexpr long long kFoldBy64Low = PowerModPolynomial(512);
constexpr long long kFoldBy16High = PowerModPolynomial(128 + 64);
constexpr long long kFoldBy16Low = PowerModPolynomial(128);

// Sixteen bytes taken as one polynomial of degree below 128, the first byte's top bit highest,
// which puts the bytes in the reverse of memory order.
__attribute__((target("pclmul,sse4.1"))) __m128i LoadBlock(const uint8_t *p, __m128i reverse)
{
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)), reverse);
}

// value * x^distance + next, reduced to 128 bits (not yet modulo P): the upper and lower halves of
// value are multiplied by x^(distance + 64) mod P and x^distance mod P.
__attribute__((target("pclmul,sse4.1"))) __m128i Fold(__m128i value, __m128i constants, __m128i next)
{
    const __m128i high = _mm_clmulepi64_si128(value, constants, 0x11);
    const __m128i low = _mm_clmulepi64_si128(value, constants, 0x00);
    return _mm_xor_si128(_mm_xor_si128(high, low), next);
}

// A sum of folded products stays congruent to the message modulo P, and the register of a message
// is (message * x^32) mod P, so the last 128-bit value is finished by running its own sixteen
// bytes through the tables from a zero register. Needs at least 64 bytes.
__attribute__((target("pclmul,sse4.1"))) uint32_t UpdateWithCarrylessMultiply(uint32_t crc, const uint8_t *p,
                                                                               size_t length)
{
    const __m128i reverse = _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    const __m128i fold4 = _mm_set_epi64x(kFoldBy64High, kFoldBy64Low);
    const __m128i fold1 = _mm_set_epi64x(kFoldBy16High, kFoldBy16Low);

    // A register carried in from earlier bytes acts as if it were added to the first four bytes.
    __m128i a0 = _mm_xor_si128(LoadBlock(p, reverse), _mm_set_epi32(static_cast<int>(crc), 0, 0, 0));
    __m128i a1 = LoadBlock(p + 16, reverse);
    __m128i a2 = LoadBlock(p + 32, reverse);
    __m128i a3 = LoadBlock(p + 48, reverse);
    p += 64;
    length -= 64;
    for (; length >= 64; p += 64, length -= 64)
    {
        a0 = Fold(a0, fold4, LoadBlock(p, reverse));
        a1 = Fold(a1, fold4, LoadBlock(p + 16, reverse));
        a2 = Fold(a2, fold4, LoadBlock(p + 32, reverse));
        a3 = Fold(a3, fold4, LoadBlock(p + 48, reverse));
    }
    __m128i value = Fold(a0, fold1, a1);
    value = Fold(value, fold1, a2);
    value = Fold(value, fold1, a3);
    for (; length >= 16; p += 16, length -= 16)
        value = Fold(value, fold1, LoadBlock(p, reverse));

    alignas(16) uint8_t bytes[16];
    _mm_store_si128(reinterpret_cast<__m128i *>(bytes), _mm_shuffle_epi8(value, reverse));
    return UpdateWithTables(UpdateWithTables(0, bytes, sizeof bytes), p, length);
}

bool ProcessorHasCarrylessMultiply()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
}
#endif

constexpr size_t kCarrylessMinimum = 64;

ChecksumKernel ChooseKernel()
{
#if ZELK_HAVE_CLMUL_KERNEL
    if (ProcessorHasCarrylessMultiply())
        return ChecksumKernel::CarrylessMultiply;
#endif
    return ChecksumKernel::SlicingTables;
}

const ChecksumKernel g_activeKernel = ChooseKernel();
} // namespace

bool ChecksumKernelAvailable(ChecksumKernel kernel)
{
    switch (kernel)
    {
    case ChecksumKernel::SlicingTables:
        return true;
    case ChecksumKernel::CarrylessMultiply:
#if ZELK_HAVE_CLMUL_KERNEL
        return ProcessorHasCarrylessMultiply();
#else
        return false;
#endif
    }
    return false;
}

ChecksumKernel ActiveChecksumKernel()
{
    return g_activeKernel;
}

const char *ChecksumKernelName(ChecksumKernel kernel)
{
    return kernel == ChecksumKernel::CarrylessMultiply ? "carry-less multiply" : "slicing tables";
}

uint32_t UpdateSegmentCrcWith(ChecksumKernel kernel, uint32_t crc, const void *data, size_t length)
{
    const uint8_t *bytes = static_cast<const uint8_t *>(data);
#if ZELK_HAVE_CLMUL_KERNEL
    if (kernel == ChecksumKernel::CarrylessMultiply && length >= kCarrylessMinimum)
        return UpdateWithCarrylessMultiply(crc, bytes, length);
#else
    (void)kernel;
#endif
    return UpdateWithTables(crc, bytes, length);
}

uint32_t UpdateSegmentCrc(uint32_t crc, const void *data, size_t length)
{
    return UpdateSegmentCrcWith(g_activeKernel, crc, data, length);
}

uint32_t FinishSegmentChecksum(uint32_t crc)
{
    return crc == 0 ? 1 : crc;
}

uint32_t SegmentChecksum(const void *data, size_t length)
{
    return FinishSegmentChecksum(UpdateSegmentCrc(0, data, length));
}
