// The publisher's Ed25519 public key, which a patcher trusts. It travels as one line of text, the
// base64 of its 32 bytes: the registry value, a publisher's PUBLIC file, the key built into the
// patcher. The private key that signs belongs to the publishing tools (PublisherSigningKey).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
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
// The same for the user: the catalogue id of the text (kernel/UserText.h); 0 for a good one.
unsigned SignatureVerdictTextId(SignatureVerdict verdict);

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
