#include "publish/PublisherSigningKey.h"

#include <array>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include "kernel/ZelkAssert.h"
#include "patch/OpenSslHandles.h"

namespace
{
// A key file is a few hundred bytes; anything far larger is not one.
constexpr size_t kMaxPemSize = 64 * 1024;

// Keeps a pass-phrase-protected key from prompting on the terminal: no pass phrase is given.
int NoPassphrase(char *, int, int, void *)
{
    return -1;
}
} // namespace

struct PublisherSigningKey::Key
{
    OpenSslPkey key;
};

PublisherSigningKey::PublisherSigningKey() = default;
PublisherSigningKey::~PublisherSigningKey() = default;
PublisherSigningKey::PublisherSigningKey(PublisherSigningKey &&other) noexcept = default;
PublisherSigningKey &PublisherSigningKey::operator=(PublisherSigningKey &&other) noexcept = default;

PublisherSigningKey PublisherSigningKey::Generate()
{
    PublisherSigningKey generated;
    OpenSslPkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
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
    OpenSslBio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    ZelkAssert(bio != nullptr, "BIO_new_mem_buf");
    if (pem.find("ENCRYPTED") != std::string::npos)
    {
        error = "the private key is protected by a pass phrase, which is not supported";
        return false;
    }
    OpenSslPkey key(PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassphrase, nullptr));
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
    OpenSslBio bio(BIO_new(BIO_s_mem()));
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
    OpenSslMdContext context(EVP_MD_CTX_new());
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
