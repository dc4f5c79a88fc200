// The publisher's files, read and written whole: key files, and signed files with their detached
// signatures. Every function that fails says why in error, as one line the tools print.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "patch/PublisherKey.h"
#include "publish/PublisherSigningKey.h"

// Files that are signed whole are held in memory to be signed (Ed25519 reads its message twice);
// lists are far smaller than this. Payloads carry their signature inside instead.
constexpr uint64_t kMaxSignedFileSize = 256ull * 1024 * 1024;

// The public key file: one line, the base64 of the key's 32 bytes.
bool LoadPublicKeyFile(const std::wstring &path, PublisherKey &key, std::string &error);
bool LoadSigningKeyFile(const std::wstring &path, PublisherSigningKey &key, std::string &error);
// One key per file, as the tools name them (native paths): keys is sized here, so that the pointers
// this appends to signers stay valid for as long as keys lives.
bool LoadSigningKeyFiles(const std::vector<std::string> &nativePaths, std::vector<PublisherSigningKey> &keys,
                         std::vector<const PublisherSigningKey *> &signers, std::string &error);
// Writes a new key's private file (owner only) and its public line. Refuses when either file
// exists already, so no key is ever overwritten; a failure leaves neither file behind.
bool WriteNewKeyPair(const PublisherSigningKey &key, const std::wstring &privatePath, const std::wstring &publicPath,
                     std::string &error);

// Writes path + ".sig" with one signature per key over the file's exact bytes.
bool SignFile(const std::vector<const PublisherSigningKey *> &keys, const std::wstring &path, std::string &error);
// The verdict of path + ".sig" on path: Missing when there is no signature file, Unreadable when
// path cannot be read (or is larger than kMaxSignedFileSize).
SignatureVerdict VerifyFileSignature(const PublisherKey &key, const std::wstring &path);

// A whole file of at most limit bytes; false with a reason when it is missing, larger or
// unreadable.
bool ReadPublisherFile(const std::wstring &path, uint64_t limit, std::string &bytes, std::string &error);
// Writes a new file, or replaces one as a whole; the old one stays when this fails.
bool WritePublisherFile(const std::wstring &path, const std::string &bytes, std::string &error);
