// SHA-256: the digest a signed patch list gives for each package archive, and the digest a
// payload signature covers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "kernel/ZelkTypes.h"

class ZelkDataBuffer;

using Sha256Digest = std::array<uint8_t, 32>;

class SHA256
{
public:
    SHA256();
    ~SHA256();
    SHA256(const SHA256 &) = delete;
    SHA256 &operator=(const SHA256 &) = delete;

    void Update(const void *data, size_t size);
    // The digest of everything given since construction or the last Finish; starts over.
    Sha256Digest Finish();

private:
    struct Context;
    std::unique_ptr<Context> m_context;
};

// 64 lowercase hexadecimal digits.
std::string DigestToHex(const Sha256Digest &digest);
// Exactly 64 hexadecimal digits, in either case; false (digest unchanged) otherwise.
bool HexToDigest(const std::string &hex, Sha256Digest &digest);

// Hashes count bytes of the buffer from its position on, in pieces of 128 KiB; the failing read's
// result when the buffer holds fewer.
ZELKRESULT HashBufferSHA256(ZelkDataBuffer &buffer, uint64_t count, Sha256Digest &digest);
// The digest and the size of a whole file; ZELKRESULT_IO when it cannot be opened or read.
ZELKRESULT HashFileSHA256(const std::wstring &path, Sha256Digest &digest, uint64_t &size);
