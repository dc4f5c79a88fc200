// The patch payload appended behind a standalone patcher's executable image: a header at a
// 4,096-byte boundary, the steps' package archives, a table of known builds and a table of steps.
// All integers little-endian, all offsets absolute from the start of the file.
#pragma once

#include <boost/noncopyable.hpp>
#include <cstdint>
#include <memory>
#include <string>

#include "kernel/ZelkTypes.h"
#include "net/ZelkDataBuffer.h"
#include "patch/PublisherKey.h"
#include "patch/SHA256.h"

namespace PayloadLayout
{
constexpr char kMagic[8] = {'Z', '0', 'e', '1', 'l', '2', 'k', '3'};
constexpr uint64_t kAlignment = 4096;

// Header: magic, version, total size, build count, build table offset, step count, step table
// offset, reserved (packed).
constexpr uint32_t kHeaderSize = 72;
constexpr uint32_t kHeaderVersion = 8;
constexpr uint32_t kHeaderTotalSize = 40;
constexpr uint32_t kHeaderBuildCount = 44;
constexpr uint32_t kHeaderBuildTable = 48;
constexpr uint32_t kHeaderStepCount = 56;
constexpr uint32_t kHeaderStepTable = 60;

// Text fields are NUL-padded; their last byte is always read as NUL.
constexpr uint32_t kVersionField = 32;
constexpr uint32_t kBuildHashField = 132;

// Build record: hash, version.
constexpr uint32_t kBuildRecordSize = kBuildHashField + kVersionField;
// Step record: source version, target version, data offset, data size.
constexpr uint32_t kStepRecordSize = 2 * kVersionField + 16;
constexpr uint32_t kStepDataOffset = 64;
constexpr uint32_t kStepDataSize = 72;

// A signed payload ends in a trailer that its total size counts, so a reader that knows nothing of
// signatures still finds everything through the header's offsets: the signatures (64 bytes each),
// their count (uint32) and this mark.
constexpr char kSignatureMagic[8] = {'Z', 'e', 'l', 'k', 'S', 'i', 'g', '1'};
constexpr uint32_t kSignatureTrailerFixed = 4 + sizeof kSignatureMagic;
constexpr uint32_t kMaxPayloadSignatures = 16;

// What each signature signs: a fixed label, the header's offset (uint64) and the SHA-256 of
// every byte from the header up to the trailer, so the signed bytes can be neither moved nor
// mistaken for a signed list.
std::string SignedPayloadMessage(uint64_t headerPosition, const Sha256Digest &digest);
} // namespace PayloadLayout

// Reads the payload of a patcher executable. Versions and build hashes are narrow texts compared
// for exact equality.
class PatchPayload : private boost::noncopyable
{
public:
    PatchPayload();
    ~PatchPayload();

    // ZELKRESULT_OK when a header sits at a 4,096-byte boundary and its total size matches the
    // file; ZELKRESULT_IO when the file cannot be opened or the size does not match;
    // ZELKRESULT_UNSUPPORTED when there is no payload. Any failure leaves the reader closed.
    ZELKRESULT Open(const std::wstring &path);
    bool IsOpen() const { return m_source != nullptr; }

    // The version of the build with this hash; empty when unknown or not open.
    std::string LookupBuild(const std::string &buildHash);
    // The version the payload finally brings the installation to; empty when not open.
    std::string TargetVersion() const;
    // The target of the first step from sourceVersion; empty when there is none.
    std::string NextVersion(const std::string &sourceVersion);
    // The size of the package archive of the first step from sourceVersion; false when there is none.
    bool StepSize(const std::string &sourceVersion, uint64_t &size);
    // Copies the package archive of the first step from sourceVersion into outputPath.
    // ZELKRESULT_INVALID_STATE when not open, ZELKRESULT_LIST_FAILED when no step starts there
    // (no file is made), ZELKRESULT_ACCESS when the output cannot be created; otherwise the
    // result of the seek and copy.
    ZELKRESULT ExtractStep(const std::string &sourceVersion, const std::wstring &outputPath);

    // Checks the payload's signature trailer with the publisher key before any step is used:
    // Good only when a signature is the key's over header, step data and tables, and every table
    // and step lies within the signed bytes. Reads the whole payload once, 128 KiB at a time.
    SignatureVerdict VerifySignature(const PublisherKey &key);

private:
    struct Header;
    struct StepRecord;

    void Close();
    ZELKRESULT FindStep(const std::string &sourceVersion, StepRecord &step);
    SignatureVerdict CheckSignedLayout(uint64_t signedStart, uint64_t signedEnd);

    std::unique_ptr<ZelkDataBufferFile> m_source;
    uint64_t m_headerPosition;
    std::unique_ptr<Header> m_header;
};
