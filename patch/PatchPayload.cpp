#include "patch/PatchPayload.h"

#include <cstring>

using namespace PayloadLayout;

namespace
{
constexpr uint64_t kNoHeader = ~0ull;

uint32_t GetUint32(const uint8_t *in)
{
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = value << 8 | in[i];
    return value;
}

uint64_t GetUint64(const uint8_t *in)
{
    return GetUint32(in) | static_cast<uint64_t>(GetUint32(in + 4)) << 32;
}

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
    uint32_t TotalSize() const { return GetUint32(bytes + kHeaderTotalSize); }
    uint32_t BuildCount() const { return GetUint32(bytes + kHeaderBuildCount); }
    uint64_t BuildTable() const { return GetUint64(bytes + kHeaderBuildTable); }
    uint32_t StepCount() const { return GetUint32(bytes + kHeaderStepCount); }
    uint64_t StepTable() const { return GetUint64(bytes + kHeaderStepTable); }
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

    // Only 72 bytes are read per boundary: the step data of a large payload is never touched.
    auto header = std::make_unique<Header>();
    uint64_t position = 0;
    ZELKRESULT result = source->Read(header->bytes, kHeaderSize);
    for (;;)
    {
        if (result != ZELKRESULT_OK)
            return ZELKRESULT_UNSUPPORTED;
        if (memcmp(header->bytes, kMagic, sizeof kMagic) == 0)
            break;
        position += kAlignment;
        source->Seek(position);
        result = source->Read(header->bytes, kHeaderSize);
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
        step.dataOffset = GetUint64(record + kStepDataOffset);
        step.dataSize = GetUint64(record + kStepDataSize);
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
