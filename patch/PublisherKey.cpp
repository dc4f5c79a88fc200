#include "patch/PublisherKey.h"

#include <algorithm>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <vector>

#include "kernel/UserTextIds.h"
#include "patch/OpenSslHandles.h"

namespace
{
std::string Trim(const std::string &text)
{
    const char *const space = " \t\r\n";
    const size_t first = text.find_first_not_of(space);
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}
} // namespace

const char *DescribeSignatureVerdict(SignatureVerdict verdict)
{
    switch (verdict)
    {
    case SignatureVerdict::Good:
        return "the signature is good";
    case SignatureVerdict::Missing:
        return "there is no signature";
    case SignatureVerdict::Malformed:
        return "the signature is not well formed";
    case SignatureVerdict::Wrong:
        return "the signature does not match the publisher key";
    case SignatureVerdict::Unreadable:
        return "the signed data cannot be read";
    }
    return "unknown verdict";
}

unsigned SignatureVerdictTextId(SignatureVerdict verdict)
{
    switch (verdict)
    {
    case SignatureVerdict::Good:
        return 0;
    case SignatureVerdict::Missing:
        return ZelkPatch::kIdSignatureMissing;
    case SignatureVerdict::Malformed:
        return ZelkPatch::kIdSignatureMalformed;
    case SignatureVerdict::Wrong:
        return ZelkPatch::kIdSignatureWrong;
    case SignatureVerdict::Unreadable:
        return ZelkPatch::kIdSignatureUnreadable;
    }
    return ZelkPatch::kIdSignatureUnreadable;
}

std::string EncodeBase64(const void *data, size_t size)
{
    std::string text(4 * ((size + 2) / 3) + 1, '\0');
    const int length =
        EVP_EncodeBlock(reinterpret_cast<unsigned char *>(text.data()), static_cast<const unsigned char *>(data),
                        static_cast<int>(size));
    text.resize(static_cast<size_t>(length));
    return text;
}

bool DecodeBase64(const std::string &text, void *out, size_t size)
{
    // The decoder forgives spaces and odd padding; comparing with the one canonical encoding of
    // what it decoded refuses every other spelling of the same bytes.
    if (text.size() != 4 * ((size + 2) / 3))
        return false;
    std::vector<unsigned char> decoded(text.size() / 4 * 3);
    if (EVP_DecodeBlock(decoded.data(), reinterpret_cast<const unsigned char *>(text.data()),
                        static_cast<int>(text.size())) < 0)
        return false;
    if (EncodeBase64(decoded.data(), size) != text)
        return false;
    std::copy(decoded.begin(), decoded.begin() + static_cast<long>(size), static_cast<unsigned char *>(out));
    return true;
}

bool DecodeBase64Line(const std::string &line, void *out, size_t size)
{
    return DecodeBase64(Trim(line), out, size);
}

bool PublisherKey::FromText(const std::string &text, PublisherKey &key)
{
    PublisherKey parsed;
    if (!DecodeBase64Line(text, parsed.m_bytes.data(), parsed.m_bytes.size()))
        return false;
    key = parsed;
    return true;
}

PublisherKey PublisherKey::FromBytes(const std::array<uint8_t, kPublisherKeySize> &bytes)
{
    PublisherKey key;
    key.m_bytes = bytes;
    return key;
}

std::string PublisherKey::ToText() const
{
    return EncodeBase64(m_bytes.data(), m_bytes.size());
}

bool PublisherKey::Verify(const void *message, size_t size, const PublisherSignature &signature) const
{
    // Bytes that are no point of the curve make no key, and nothing verifies under them.
    OpenSslPkey key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, m_bytes.data(), m_bytes.size()));
    OpenSslMdContext context(EVP_MD_CTX_new());
    const bool good = key && context &&
                      EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
                      EVP_DigestVerify(context.get(), signature.data(), signature.size(),
                                       static_cast<const unsigned char *>(message), size) == 1;
    // A refused signature leaves errors queued on the thread, where the TLS code of the next
    // transfer would find them.
    ERR_clear_error();
    return good;
}
