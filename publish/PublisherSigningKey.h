// The publisher's Ed25519 private key, which signs lists and payloads. It is kept in a PKCS #8 PEM
// file, the form the openssl tool reads and writes, so either can sign with a key the other made.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "patch/PublisherKey.h"

class PublisherSigningKey
{
public:
    PublisherSigningKey();
    ~PublisherSigningKey();
    PublisherSigningKey(PublisherSigningKey &&other) noexcept;
    PublisherSigningKey &operator=(PublisherSigningKey &&other) noexcept;

    // A new key from the system's random source.
    static PublisherSigningKey Generate();

    // Takes the key from PEM text holding an unencrypted Ed25519 private key; error says why it
    // cannot be used (a pass phrase is never asked for).
    bool FromPem(const std::string &pem, std::string &error);
    // PKCS #8 PEM; the key must be valid.
    std::string ToPem() const;

    bool IsValid() const { return m_key != nullptr; }
    PublisherKey PublicKey() const;
    // Ed25519 over the exact bytes of message; the key must be valid.
    PublisherSignature Sign(const void *message, size_t size) const;

private:
    struct Key;
    std::unique_ptr<Key> m_key;
};
