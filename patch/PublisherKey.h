// The publisher's Ed25519 keys. The public key is what a patcher trusts; it travels as one line of
// text, the base64 of its 32 bytes (the registry value, a publisher's PUBLIC file, the key built
// into the patcher). The private key signs; it is kept in a PKCS #8 PEM file, the form the openssl
// tool reads and writes, so either can sign with a key the other made.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

constexpr size_t kPublisherKeySize = 32;
constexpr size_t kSignatureSize = 64;

using PublisherSignature = std::array<uint8_t, kSignatureSize>;

// How a signature check came out. Everything but Good refuses what was checked.
enum class SignatureVerdict
{
    Good,
    Missing,    // nothing signs it
    Malformed,  // the signature, or what it is said to cover, is not in the expected form
    Wrong,      // no signature is the trusted key's over these bytes
    Unreadable, // the bytes could not be read to be checked
};

// A short English reason, for diagnostics and the publisher tools.
const char *DescribeSignatureVerdict(SignatureVerdict verdict);

// Standard base64 with padding.
std::string EncodeBase64(const void *data, size_t size);
// Only the canonical base64 of exactly size bytes: no spaces, no missing or extra padding, no
// stray bits. False (out unchanged) otherwise.
bool DecodeBase64(const std::string &text, void *out, size_t size);
// The same for one line of a text file: spaces, tabs and line ends around it are allowed.
bool DecodeBase64Line(const std::string &line, void *out, size_t size);

class PublisherKey
{
public:
    // The key's line: base64 of 32 bytes; spaces, tabs and line ends around it are allowed.
    static bool FromText(const std::string &text, PublisherKey &key);
    std::string ToText() const;
    static PublisherKey FromBytes(const std::array<uint8_t, kPublisherKeySize> &bytes);

    // Ed25519 over the exact bytes of message.
    bool Verify(const void *message, size_t size, const PublisherSignature &signature) const;

    bool operator==(const PublisherKey &other) const { return m_bytes == other.m_bytes; }

private:
    std::array<uint8_t, kPublisherKeySize> m_bytes{};
};

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
