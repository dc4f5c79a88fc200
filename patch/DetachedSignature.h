// Detached signatures: a signed file travels with a second file named after it plus ".sig"
// ("patches.txt.sig"). That file is text, one line per signature, each line the base64 of a
// 64-byte Ed25519 signature over the exact bytes of the signed file. Text survives transfers and
// servers that touch line ends, and more than one line lets a file carry the signatures of an old
// and a new publisher key while patchers move from one to the other.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "patch/PublisherKey.h"

constexpr const char *kSignatureSuffix = ".sig";
// A few lines of base64; a server that sends more than this is not sending a signature file.
constexpr size_t kMaxSignatureFileSize = 4096;
constexpr size_t kMaxSignatures = 16;

// One line per signature, each ended by a line feed.
std::string FormatSignatureFile(const std::vector<PublisherSignature> &signatures);
// The signatures of a signature file; empty lines and spaces around a line are allowed. False
// when a line is not a signature, or the file is larger than any signature file can be.
bool ParseSignatureFile(const std::string &text, std::vector<PublisherSignature> &signatures);

// Good when one of the signatures in signatureFile is the key's over the exact bytes of data;
// Missing when the file holds none.
SignatureVerdict VerifyDetachedSignature(const PublisherKey &key, const std::string &data,
                                         const std::string &signatureFile);
// The same over size bytes at data, for signed files held in buffers of their own.
SignatureVerdict VerifyDetachedSignature(const PublisherKey &key, const void *data, size_t size,
                                         const std::string &signatureFile);
