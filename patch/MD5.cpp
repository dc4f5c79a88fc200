#include "patch/MD5.h"

#include <bit>
#include <cstring>
#include <memory>

#include "kernel/ConfinedDirectory.h"
#include "kernel/StdioFile.h"
#include "kernel/TextConvert.h"

namespace
{
constexpr size_t kFileReadSize = 1024;
// A larger stdio buffer than the default page lets the 1,024-byte reads be served from memory
// with few system calls; its size does not depend on the file.
constexpr size_t kStreamBufferSize = 128 * 1024;

inline uint32_t RotateLeft(uint32_t x, int n)
{
    return std::rotl(x, n);
}

inline uint32_t LoadLittleEndian(const uint8_t *p)
{
    uint32_t value;
    memcpy(&value, p, 4);
    if constexpr (std::endian::native == std::endian::big)
        value = __builtin_bswap32(value);
    return value;
}

inline void StoreLittleEndian(uint8_t *p, uint32_t value)
{
    if constexpr (std::endian::native == std::endian::big)
        value = __builtin_bswap32(value);
    memcpy(p, &value, 4);
}

// The four auxiliary functions in their cheapest equivalent forms.
#define MD5_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define MD5_G(x, y, z) ((y) ^ ((z) & ((x) ^ (y))))
#define MD5_H(x, y, z) ((x) ^ (y) ^ (z))
#define MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))
#define MD5_STEP(f, a, b, c, d, x, t, s)                                                                               \
    (a) += f((b), (c), (d)) + (x) + (t);                                                                               \
    (a) = RotateLeft((a), (s)) + (b)

// Runs the compression function over count consecutive 64-byte blocks, keeping the state in
// registers between blocks.
void TransformBlocks(uint32_t state[4], const uint8_t *data, size_t count)
{
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (; count > 0; --count, data += 64)
    {
        uint32_t x[16];
        for (int i = 0; i < 16; ++i)
            x[i] = LoadLittleEndian(data + 4 * i);
        const uint32_t aa = a, bb = b, cc = c, dd = d;

        MD5_STEP(MD5_F, a, b, c, d, x[0], 0xd76aa478, 7);
        MD5_STEP(MD5_F, d, a, b, c, x[1], 0xe8c7b756, 12);
        MD5_STEP(MD5_F, c, d, a, b, x[2], 0x242070db, 17);
        MD5_STEP(MD5_F, b, c, d, a, x[3], 0xc1bdceee, 22);
        MD5_STEP(MD5_F, a, b, c, d, x[4], 0xf57c0faf, 7);
        MD5_STEP(MD5_F, d, a, b, c, x[5], 0x4787c62a, 12);
        MD5_STEP(MD5_F, c, d, a, b, x[6], 0xa8304613, 17);
        MD5_STEP(MD5_F, b, c, d, a, x[7], 0xfd469501, 22);
        MD5_STEP(MD5_F, a, b, c, d, x[8], 0x698098d8, 7);
        MD5_STEP(MD5_F, d, a, b, c, x[9], 0x8b44f7af, 12);
        MD5_STEP(MD5_F, c, d, a, b, x[10], 0xffff5bb1, 17);
        MD5_STEP(MD5_F, b, c, d, a, x[11], 0x895cd7be, 22);
        MD5_STEP(MD5_F, a, b, c, d, x[12], 0x6b901122, 7);
        MD5_STEP(MD5_F, d, a, b, c, x[13], 0xfd987193, 12);
        MD5_STEP(MD5_F, c, d, a, b, x[14], 0xa679438e, 17);
        MD5_STEP(MD5_F, b, c, d, a, x[15], 0x49b40821, 22);

        MD5_STEP(MD5_G, a, b, c, d, x[1], 0xf61e2562, 5);
        MD5_STEP(MD5_G, d, a, b, c, x[6], 0xc040b340, 9);
        MD5_STEP(MD5_G, c, d, a, b, x[11], 0x265e5a51, 14);
        MD5_STEP(MD5_G, b, c, d, a, x[0], 0xe9b6c7aa, 20);
        MD5_STEP(MD5_G, a, b, c, d, x[5], 0xd62f105d, 5);
        MD5_STEP(MD5_G, d, a, b, c, x[10], 0x02441453, 9);
        MD5_STEP(MD5_G, c, d, a, b, x[15], 0xd8a1e681, 14);
        MD5_STEP(MD5_G, b, c, d, a, x[4], 0xe7d3fbc8, 20);
        MD5_STEP(MD5_G, a, b, c, d, x[9], 0x21e1cde6, 5);
        MD5_STEP(MD5_G, d, a, b, c, x[14], 0xc33707d6, 9);
        MD5_STEP(MD5_G, c, d, a, b, x[3], 0xf4d50d87, 14);
        MD5_STEP(MD5_G, b, c, d, a, x[8], 0x455a14ed, 20);
        MD5_STEP(MD5_G, a, b, c, d, x[13], 0xa9e3e905, 5);
        MD5_STEP(MD5_G, d, a, b, c, x[2], 0xfcefa3f8, 9);
        MD5_STEP(MD5_G, c, d, a, b, x[7], 0x676f02d9, 14);
        MD5_STEP(MD5_G, b, c, d, a, x[12], 0x8d2a4c8a, 20);

        MD5_STEP(MD5_H, a, b, c, d, x[5], 0xfffa3942, 4);
        MD5_STEP(MD5_H, d, a, b, c, x[8], 0x8771f681, 11);
        MD5_STEP(MD5_H, c, d, a, b, x[11], 0x6d9d6122, 16);
        MD5_STEP(MD5_H, b, c, d, a, x[14], 0xfde5380c, 23);
        MD5_STEP(MD5_H, a, b, c, d, x[1], 0xa4beea44, 4);
        MD5_STEP(MD5_H, d, a, b, c, x[4], 0x4bdecfa9, 11);
        MD5_STEP(MD5_H, c, d, a, b, x[7], 0xf6bb4b60, 16);
        MD5_STEP(MD5_H, b, c, d, a, x[10], 0xbebfbc70, 23);
        MD5_STEP(MD5_H, a, b, c, d, x[13], 0x289b7ec6, 4);
        MD5_STEP(MD5_H, d, a, b, c, x[0], 0xeaa127fa, 11);
        MD5_STEP(MD5_H, c, d, a, b, x[3], 0xd4ef3085, 16);
        MD5_STEP(MD5_H, b, c, d, a, x[6], 0x04881d05, 23);
        MD5_STEP(MD5_H, a, b, c, d, x[9], 0xd9d4d039, 4);
        MD5_STEP(MD5_H, d, a, b, c, x[12], 0xe6db99e5, 11);
        MD5_STEP(MD5_H, c, d, a, b, x[15], 0x1fa27cf8, 16);
        MD5_STEP(MD5_H, b, c, d, a, x[2], 0xc4ac5665, 23);

        MD5_STEP(MD5_I, a, b, c, d, x[0], 0xf4292244, 6);
        MD5_STEP(MD5_I, d, a, b, c, x[7], 0x432aff97, 10);
        MD5_STEP(MD5_I, c, d, a, b, x[14], 0xab9423a7, 15);
        MD5_STEP(MD5_I, b, c, d, a, x[5], 0xfc93a039, 21);
        MD5_STEP(MD5_I, a, b, c, d, x[12], 0x655b59c3, 6);
        MD5_STEP(MD5_I, d, a, b, c, x[3], 0x8f0ccc92, 10);
        MD5_STEP(MD5_I, c, d, a, b, x[10], 0xffeff47d, 15);
        MD5_STEP(MD5_I, b, c, d, a, x[1], 0x85845dd1, 21);
        MD5_STEP(MD5_I, a, b, c, d, x[8], 0x6fa87e4f, 6);
        MD5_STEP(MD5_I, d, a, b, c, x[15], 0xfe2ce6e0, 10);
        MD5_STEP(MD5_I, c, d, a, b, x[6], 0xa3014314, 15);
        MD5_STEP(MD5_I, b, c, d, a, x[13], 0x4e0811a1, 21);
        MD5_STEP(MD5_I, a, b, c, d, x[4], 0xf7537e82, 6);
        MD5_STEP(MD5_I, d, a, b, c, x[11], 0xbd3af235, 10);
        MD5_STEP(MD5_I, c, d, a, b, x[2], 0x2ad7d2bb, 15);
        MD5_STEP(MD5_I, b, c, d, a, x[9], 0xeb86d391, 21);

        a += aa;
        b += bb;
        c += cc;
        d += dd;
    }
    state[0] = a;
    state[1] = b;
    state[2] = c;
    state[3] = d;
}

#undef MD5_STEP
#undef MD5_F
#undef MD5_G
#undef MD5_H
#undef MD5_I
} // namespace

MD5::MD5()
{
    init();
}

MD5::MD5(FILE *stream)
{
    init();
    unsigned char buffer[kFileReadSize];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, stream)) > 0)
        update(buffer, static_cast<unsigned>(got));
    fclose(stream);
    finalize();
}

void MD5::init()
{
    m_state[0] = 0x67452301;
    m_state[1] = 0xefcdab89;
    m_state[2] = 0x98badcfe;
    m_state[3] = 0x10325476;
    m_count[0] = m_count[1] = 0;
    memset(m_buffer, 0, sizeof m_buffer);
    memset(m_digest, 0, sizeof m_digest);
    m_finalized = false;
}

void MD5::update(const unsigned char *input, unsigned length)
{
    if (m_finalized)
    {
        fputs("MD5::update:  Can't update a finalized digest!\n", stderr);
        fflush(stderr);
        return;
    }
    unsigned index = (m_count[0] >> 3) & 63;
    const uint32_t addedBits = length << 3;
    m_count[0] += addedBits;
    if (m_count[0] < addedBits)
        ++m_count[1];
    m_count[1] += length >> 29;

    if (index > 0)
    {
        const unsigned room = 64 - index;
        if (length < room)
        {
            memcpy(m_buffer + index, input, length);
            return;
        }
        memcpy(m_buffer + index, input, room);
        TransformBlocks(m_state, m_buffer, 1);
        input += room;
        length -= room;
    }
    // Whole blocks are hashed straight from the caller's bytes, without a copy.
    const unsigned blocks = length / 64;
    TransformBlocks(m_state, input, blocks);
    memcpy(m_buffer, input + blocks * 64, length % 64);
}

void MD5::finalize()
{
    if (m_finalized)
    {
        fputs("MD5::finalize:  Already finalized this digest!\n", stderr);
        fflush(stderr);
        return;
    }
    uint8_t bits[8];
    StoreLittleEndian(bits, m_count[0]);
    StoreLittleEndian(bits + 4, m_count[1]);
    // Pad with 0x80 and zeros to 56 bytes modulo 64, then append the bit count.
    static const unsigned char kPadding[64] = {0x80};
    const unsigned index = (m_count[0] >> 3) & 63;
    const unsigned padLength = index < 56 ? 56 - index : 120 - index;
    update(kPadding, padLength);
    update(bits, 8);
    for (int i = 0; i < 4; ++i)
        StoreLittleEndian(m_digest + 4 * i, m_state[i]);
    memset(m_buffer, 0, sizeof m_buffer);
    m_finalized = true;
}

std::string MD5::hex_digest() const
{
    if (!m_finalized)
    {
        fputs("MD5::hex_digest:  Can't get digest if you haven't finalized the digest!\n", stderr);
        fflush(stderr);
        return std::string();
    }
    static const char kHex[] = "0123456789abcdef";
    std::string text(32, '0');
    for (int i = 0; i < 16; ++i)
    {
        text[2 * i] = kHex[m_digest[i] >> 4];
        text[2 * i + 1] = kHex[m_digest[i] & 15];
    }
    return text;
}

namespace
{
bool HashStream(FILE *stream, std::wstring &out)
{
    if (!stream)
        return false;
    std::unique_ptr<char[]> streamBuffer(new char[kStreamBufferSize]);
    setvbuf(stream, streamBuffer.get(), _IOFBF, kStreamBufferSize);
    // The digest object closes the stream before the buffer goes.
    const std::string digest = MD5(stream).hex_digest();
    out = NarrowToWide(digest);
    return !digest.empty();
}
} // namespace

bool HashFileMD5(const std::wstring &path, std::wstring &out)
{
    return HashStream(OpenStdioFile(path, "rb"), out);
}

bool HashFileMD5(const ConfinedDirectory &directory, const std::wstring &name, std::wstring &out)
{
    return HashStream(directory.OpenStdioFile(name, "rb"), out);
}
