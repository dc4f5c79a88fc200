#include "patch/SHA256.h"

#include <algorithm>
#include <openssl/evp.h>
#include <vector>

#include "kernel/ZelkAssert.h"
#include "net/ZelkDataBuffer.h"

namespace
{
constexpr uint32_t kPieceSize = 128 * 1024;

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
} // namespace

struct SHA256::Context
{
    Context() : ctx(EVP_MD_CTX_new()) { ZelkAssert(ctx != nullptr, "EVP_MD_CTX_new"); }
    ~Context() { EVP_MD_CTX_free(ctx); }
    void Start() { ZelkAssert(EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) == 1, "EVP_DigestInit_ex"); }

    EVP_MD_CTX *ctx;
};

SHA256::SHA256() : m_context(std::make_unique<Context>())
{
    m_context->Start();
}

SHA256::~SHA256() = default;

void SHA256::Update(const void *data, size_t size)
{
    ZelkAssert(EVP_DigestUpdate(m_context->ctx, data, size) == 1, "EVP_DigestUpdate");
}

Sha256Digest SHA256::Finish()
{
    Sha256Digest digest;
    unsigned int length = 0;
    ZelkAssert(EVP_DigestFinal_ex(m_context->ctx, digest.data(), &length) == 1 && length == digest.size(),
               "EVP_DigestFinal_ex");
    m_context->Start();
    return digest;
}

std::string DigestToHex(const Sha256Digest &digest)
{
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (uint8_t byte : digest)
    {
        text += kHex[byte >> 4];
        text += kHex[byte & 15];
    }
    return text;
}

bool HexToDigest(const std::string &hex, Sha256Digest &digest)
{
    if (hex.size() != 2 * digest.size())
        return false;
    Sha256Digest parsed;
    for (size_t i = 0; i < parsed.size(); ++i)
    {
        const int high = HexValue(hex[2 * i]);
        const int low = HexValue(hex[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        parsed[i] = static_cast<uint8_t>(high << 4 | low);
    }
    digest = parsed;
    return true;
}

ZELKRESULT HashBufferSHA256(ZelkDataBuffer &buffer, uint64_t count, Sha256Digest &digest)
{
    SHA256 sha;
    std::vector<uint8_t> piece(static_cast<size_t>(std::min<uint64_t>(count, kPieceSize)));
    while (count > 0)
    {
        const uint32_t size = static_cast<uint32_t>(std::min<uint64_t>(count, kPieceSize));
        if (const ZELKRESULT result = buffer.Read(piece.data(), size))
            return result;
        sha.Update(piece.data(), size);
        count -= size;
    }
    digest = sha.Finish();
    return ZELKRESULT_OK;
}

ZELKRESULT HashFileSHA256(const std::wstring &path, Sha256Digest &digest, uint64_t &size)
{
    ZelkDataBufferFile file(path, ZelkDataBufferFile::AccessRead);
    if (!file.IsOpen())
        return ZELKRESULT_IO;
    const uint64_t fileSize = file.GetSize();
    if (HashBufferSHA256(file, fileSize, digest) != ZELKRESULT_OK)
        return ZELKRESULT_IO;
    size = fileSize;
    return ZELKRESULT_OK;
}
