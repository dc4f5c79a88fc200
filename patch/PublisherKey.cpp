#include "patch/PublisherKey.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <vector>

#include "kernel/ZelkAssert.h"

namespace
{
struct PkeyDeleter
{
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyDeleter>;

struct MdContextDeleter
{
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};
using MdContext = std::unique_ptr<EVP_MD_CTX, MdContextDeleter>;

struct BioDeleter
{
    void operator()(BIO *bio) const { BIO_free(bio); }
};
using Bio = std::unique_ptr<BIO, BioDeleter>;

// A key file is a few hundred bytes; anything far larger is not one.
constexpr size_t kMaxPemSize = 64 * 1024;

// Keeps a pass-phrase-protected key from prompting on the terminal: no pass phrase is given.
int NoPassphrase(char *, int, int, void *)
{
    return -1;
}

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
    Pkey key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, m_bytes.data(), m_bytes.size()));
    MdContext context(EVP_MD_CTX_new());
    const bool good = key && context &&
                      EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
                      EVP_DigestVerify(context.get(), signature.data(), signature.size(),
                                       static_cast<const unsigned char *>(message), size) == 1;
    // A refused signature leaves errors queued on the thread, where the TLS code of the next
    // transfer would find them.
    ERR_clear_error();
    return good;
}

struct PublisherSigningKey::Key
{
    Pkey key;
};

PublisherSigningKey::PublisherSigningKey() = default;
PublisherSigningKey::~PublisherSigningKey() = default;
PublisherSigningKey::PublisherSigningKey(PublisherSigningKey &&other) noexcept = default;
PublisherSigningKey &PublisherSigningKey::operator=(PublisherSigningKey &&other) noexcept = default;

PublisherSigningKey PublisherSigningKey::Generate()
{
    PublisherSigningKey generated;
    Pkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    ZelkAssert(key != nullptr, "EVP_PKEY_Q_keygen(ED25519)");
    generated.m_key = std::make_unique<Key>(Key{std::move(key)});
    return generated;
}

bool PublisherSigningKey::FromPem(const std::string &pem, std::string &error)
{
    if (pem.size() > kMaxPemSize)
    {
        error = "not a private key file (too large)";
        return false;
    }
    Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    ZelkAssert(bio != nullptr, "BIO_new_mem_buf");
    if (pem.find("ENCRYPTED") != std::string::npos)
    {
        error = "the private key is protected by a pass phrase, which is not supported";
        return false;
    }
    Pkey key(PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassphrase, nullptr));
    ERR_clear_error();
    if (!key)
    {
        error = "not a PEM private key";
        return false;
    }
    if (EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519)
    {
        error = "the private key is not an Ed25519 key";
        return false;
    }
    m_key = std::make_unique<Key>(Key{std::move(key)});
    return true;
}

std::string PublisherSigningKey::ToPem() const
{
    ZelkAssert(IsValid(), "PublisherSigningKey::ToPem without a key");
    Bio bio(BIO_new(BIO_s_mem()));
    ZelkAssert(bio != nullptr && PEM_write_bio_PrivateKey(bio.get(), m_key->key.get(), nullptr, nullptr, 0, nullptr,
                                                          nullptr) == 1,
               "PEM_write_bio_PrivateKey");
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(size));
}

PublisherKey PublisherSigningKey::PublicKey() const
{
    ZelkAssert(IsValid(), "PublisherSigningKey::PublicKey without a key");
    std::array<uint8_t, kPublisherKeySize> bytes{};
    size_t size = bytes.size();
    ZelkAssert(EVP_PKEY_get_raw_public_key(m_key->key.get(), bytes.data(), &size) == 1 && size == bytes.size(),
               "EVP_PKEY_get_raw_public_key");
    return PublisherKey::FromBytes(bytes);
}

PublisherSignature PublisherSigningKey::Sign(const void *message, size_t size) const
{
    ZelkAssert(IsValid(), "PublisherSigningKey::Sign without a key");
    MdContext context(EVP_MD_CTX_new());
    PublisherSignature signature{};
    size_t length = signature.size();
    ZelkAssert(context != nullptr &&
                   EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, m_key->key.get()) == 1 &&
                   EVP_DigestSign(context.get(), signature.data(), &length, static_cast<const unsigned char *>(message),
                                  size) == 1 &&
                   length == signature.size(),
               "EVP_DigestSign(ED25519)");
    return signature;
}
