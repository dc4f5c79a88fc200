#include "patch/PatchPayload.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "kernel/ByteOrder.h"

using namespace PayloadLayout;

namespace
{
constexpr uint64_t kNoHeader = ~0ull;
// Bytes of boundaries searched per read for the header.
constexpr uint64_t kScanBlock = 64 * kAlignment;

// A NUL-padded text field whose last byte counts as NUL whatever the file holds.
std::string FieldText(uint8_t *field, uint32_t size)
{
    field[size - 1] = 0;
    return std::string(reinterpret_cast<const char *>(field));
}
} // namespace

struct PatchPayload::Header
{
    uint8_t bytes[kHeaderSize];
    std::string Version() const { return std::string(reinterpret_cast<const char *>(bytes + kHeaderVersion)); }
    uint32_t TotalSize() const { return LittleEndian::Read32(bytes + kHeaderTotalSize); }
    uint32_t BuildCount() const { return LittleEndian::Read32(bytes + kHeaderBuildCount); }
    uint64_t BuildTable() const { return LittleEndian::Read64(bytes + kHeaderBuildTable); }
    uint32_t StepCount() const { return LittleEndian::Read32(bytes + kHeaderStepCount); }
    uint64_t StepTable() const { return LittleEndian::Read64(bytes + kHeaderStepTable); }
};

struct PatchPayload::StepRecord
{
    std::string target;
    uint64_t dataOffset = 0;
    uint64_t dataSize = 0;
};

PatchPayload::PatchPayload() : m_headerPosition(kNoHeader)
{
}

PatchPayload::~PatchPayload() = default;

void PatchPayload::Close()
{
    m_source.reset();
    m_header.reset();
    m_headerPosition = kNoHeader;
}

ZELKRESULT PatchPayload::Open(const std::wstring &path)
{
    Close();
    auto source = std::make_unique<ZelkDataBufferFile>(path, ZelkDataBufferFile::AccessRead);
    if (!source->IsOpen())
        return ZELKRESULT_IO;

    // The boundaries are searched a block of them per read: a read per boundary would cost a large
    // program thousands of reads at every start. The search ends with the block that holds the
    // header, so the step data of a large payload is not read.
    auto header = std::make_unique<Header>();
    const uint64_t fileSize = source->GetSize();
    std::vector<uint8_t> block;
    uint64_t position = kNoHeader;
    for (uint64_t start = 0; position == kNoHeader; start += kScanBlock)
    {
        if (start >= fileSize || fileSize - start < kHeaderSize)
            return ZELKRESULT_UNSUPPORTED;
        block.resize(static_cast<size_t>(std::min(kScanBlock, fileSize - start)));
        if (source->Seek(start) != ZELKRESULT_OK ||
            source->Read(block.data(), static_cast<uint32_t>(block.size())) != ZELKRESULT_OK)
            return ZELKRESULT_UNSUPPORTED;
        for (size_t at = 0; at + kHeaderSize <= block.size(); at += kAlignment)
        {
            if (memcmp(block.data() + at, kMagic, sizeof kMagic) == 0)
            {
                memcpy(header->bytes, block.data() + at, kHeaderSize);
                position = start + at;
                break;
            }
        }
    }
    // A total size that disagrees with the file is a cut or damaged patcher, not a plain program.
    if (source->GetSize() != header->TotalSize())
        return ZELKRESULT_IO;
    header->bytes[kHeaderVersion + kVersionField - 1] = 0;
    m_source = std::move(source);
    m_header = std::move(header);
    m_headerPosition = position;
    return ZELKRESULT_OK;
}

std::string PatchPayload::LookupBuild(const std::string &buildHash)
{
    if (!IsOpen())
        return std::string();
    for (uint32_t i = 0; i < m_header->BuildCount(); ++i)
    {
        uint8_t record[kBuildRecordSize];
        if (m_source->Seek(m_header->BuildTable() + static_cast<uint64_t>(i) * kBuildRecordSize) != ZELKRESULT_OK ||
            m_source->Read(record, kBuildRecordSize) != ZELKRESULT_OK)
            return std::string();
        if (FieldText(record, kBuildHashField) == buildHash)
            return FieldText(record + kBuildHashField, kVersionField);
    }
    return std::string();
}

std::string PatchPayload::TargetVersion() const
{
    return IsOpen() ? m_header->Version() : std::string();
}

ZELKRESULT PatchPayload::FindStep(const std::string &sourceVersion, StepRecord &step)
{
    for (uint32_t i = 0; i < m_header->StepCount(); ++i)
    {
        uint8_t record[kStepRecordSize];
        if (const ZELKRESULT result =
                m_source->Seek(m_header->StepTable() + static_cast<uint64_t>(i) * kStepRecordSize))
            return result;
        if (const ZELKRESULT result = m_source->Read(record, kStepRecordSize))
            return result;
        if (FieldText(record, kVersionField) != sourceVersion)
            continue;
        step.target = FieldText(record + kVersionField, kVersionField);
        step.dataOffset = LittleEndian::Read64(record + kStepDataOffset);
        step.dataSize = LittleEndian::Read64(record + kStepDataSize);
        return ZELKRESULT_OK;
    }
    return ZELKRESULT_LIST_FAILED;
}

std::string PatchPayload::NextVersion(const std::string &sourceVersion)
{
    StepRecord step;
    if (!IsOpen() || FindStep(sourceVersion, step) != ZELKRESULT_OK)
        return std::string();
    return step.target;
}

bool PatchPayload::StepSize(const std::string &sourceVersion, uint64_t &size)
{
    StepRecord step;
    if (!IsOpen() || FindStep(sourceVersion, step) != ZELKRESULT_OK)
        return false;
    size = step.dataSize;
    return true;
}

ZELKRESULT PatchPayload::ExtractStep(const std::string &sourceVersion, const std::wstring &outputPath)
{
    if (!IsOpen())
        return ZELKRESULT_INVALID_STATE;
    StepRecord step;
    if (const ZELKRESULT result = FindStep(sourceVersion, step))
        return result;
    ZelkDataBufferFile output(outputPath, ZelkDataBufferFile::AccessWrite);
    if (!output.IsOpen())
        return ZELKRESULT_ACCESS;
    if (const ZELKRESULT result = m_source->Seek(step.dataOffset))
        return result;
    if (const ZELKRESULT result = CopyData(output, *m_source, step.dataSize))
        return result;
    // A full disk shows only when the last buffered bytes go out.
    return output.Close();
}

std::string PayloadLayout::SignedPayloadMessage(uint64_t headerPosition, const Sha256Digest &digest)
{
    static const char kLabel[] = "Zelk payload signature 1";
    std::string message(kLabel, sizeof kLabel); // the NUL ends the label
    uint8_t position[8];
    LittleEndian::Write64(position, headerPosition);
    message.append(reinterpret_cast<const char *>(position), sizeof position);
    message.append(reinterpret_cast<const char *>(digest.data()), digest.size());
    return message;
}

SignatureVerdict PatchPayload::VerifySignature(const PublisherKey &key)
{
    if (!IsOpen())
        return SignatureVerdict::Unreadable;
    const uint64_t total = m_header->TotalSize();
    const uint64_t signedStart = m_headerPosition;
    if (total < signedStart + kHeaderSize + kSignatureTrailerFixed)
        return SignatureVerdict::Missing;
    uint8_t fixed[kSignatureTrailerFixed];
    if (m_source->Seek(total - kSignatureTrailerFixed) != ZELKRESULT_OK ||
        m_source->Read(fixed, kSignatureTrailerFixed) != ZELKRESULT_OK)
        return SignatureVerdict::Unreadable;
    if (memcmp(fixed + 4, kSignatureMagic, sizeof kSignatureMagic) != 0)
        return SignatureVerdict::Missing;
    const uint32_t count = LittleEndian::Read32(fixed);
    const uint64_t trailer = kSignatureTrailerFixed + static_cast<uint64_t>(count) * kSignatureSize;
    if (count == 0 || count > kMaxPayloadSignatures || total - signedStart - kHeaderSize < trailer)
        return SignatureVerdict::Malformed;
    const uint64_t signedEnd = total - trailer;

    std::vector<PublisherSignature> signatures(count);
    if (m_source->Seek(signedEnd) != ZELKRESULT_OK)
        return SignatureVerdict::Unreadable;
    for (PublisherSignature &signature : signatures)
    {
        if (m_source->Read(signature.data(), kSignatureSize) != ZELKRESULT_OK)
            return SignatureVerdict::Unreadable;
    }
    Sha256Digest digest;
    if (m_source->Seek(signedStart) != ZELKRESULT_OK ||
        HashBufferSHA256(*m_source, signedEnd - signedStart, digest) != ZELKRESULT_OK)
        return SignatureVerdict::Unreadable;
    const std::string message = SignedPayloadMessage(signedStart, digest);
    bool good = false;
    for (const PublisherSignature &signature : signatures)
        good = good || key.Verify(message.data(), message.size(), signature);
    if (!good)
        return SignatureVerdict::Wrong;
    // Signed offsets may still point at bytes that nobody signed, such as the executable image
    // or the trailer: the reader must never be led there.
    return CheckSignedLayout(signedStart, signedEnd);
}

SignatureVerdict PatchPayload::CheckSignedLayout(uint64_t signedStart, uint64_t signedEnd)
{
    const uint64_t first = signedStart + kHeaderSize;
    const auto inside = [&](uint64_t offset, uint64_t size) {
        return offset >= first && offset <= signedEnd && size <= signedEnd - offset;
    };
    if (!inside(m_header->BuildTable(), static_cast<uint64_t>(m_header->BuildCount()) * kBuildRecordSize) ||
        !inside(m_header->StepTable(), static_cast<uint64_t>(m_header->StepCount()) * kStepRecordSize))
        return SignatureVerdict::Malformed;
    for (uint32_t i = 0; i < m_header->StepCount(); ++i)
    {
        uint8_t record[kStepRecordSize];
        if (m_source->Seek(m_header->StepTable() + static_cast<uint64_t>(i) * kStepRecordSize) != ZELKRESULT_OK ||
            m_source->Read(record, kStepRecordSize) != ZELKRESULT_OK)
            return SignatureVerdict::Unreadable;
        if (!inside(LittleEndian::Read64(record + kStepDataOffset), LittleEndian::Read64(record + kStepDataSize)))
            return SignatureVerdict::Malformed;
    }
    return SignatureVerdict::Good;
}
