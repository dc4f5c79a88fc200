#include "publish/PayloadWriter.h"

#include <cstring>
#include <map>
#include <vector>

#include "kernel/ByteOrder.h"
#include "kernel/FileUtil.h"
#include "kernel/TextConvert.h"
#include "net/ZelkDataBuffer.h"
#include "patch/PatchPayload.h"
#include "patch/PublisherKey.h"
#include "patch/SHA256.h"
#include "patch/StepChain.h"
#include "publish/PublisherSigningKey.h"

using namespace PayloadLayout;

namespace
{
constexpr uint64_t kMaxTotalSize = 0xFFFFFFFFull; // the header's total size field is 32-bit

void PutText(uint8_t *out, const std::string &text)
{
    memcpy(out, text.data(), text.size());
}

bool CheckText(const std::string &text, uint32_t field, const char *what, std::string &error)
{
    if (text.empty())
    {
        error = FormatText("%s is empty", what);
        return false;
    }
    if (text.size() > field - 1)
    {
        error = FormatText("%s \"%s\" is longer than %u characters", what, text.c_str(), field - 1);
        return false;
    }
    if (text.find('\0') != std::string::npos)
    {
        error = FormatText("%s contains a NUL character", what);
        return false;
    }
    return true;
}

// A patcher follows the steps from the installed version as far as the target and refuses a
// payload whose steps lead back to a version they already reached: such a payload is not made.
// Every version a step starts from may be where a patcher starts.
bool CheckChains(const PayloadContents &contents, std::string &error)
{
    struct Step
    {
        std::string source;
        std::string target;
    };
    // As the reader does: the first step from a version is its step.
    std::map<std::string, std::string> next;
    for (const PayloadStep &step : contents.steps)
        next.emplace(step.sourceVersion, step.targetVersion);
    const auto lookup = [&next](const std::string &version, Step &step) {
        const auto found = next.find(version);
        if (found == next.end())
            return false;
        step.target = found->second;
        return true;
    };
    for (const auto &[start, target] : next)
    {
        std::vector<Step> steps;
        Step back;
        if (FollowStepChain(start, contents.targetVersion, lookup, steps, back) == StepChainEnd::LeadsBack)
        {
            error = FormatText("the step from version %s leads back to version %s, which the steps before it reach "
                               "(starting from version %s); a patcher would refuse the payload",
                               back.source.c_str(), back.target.c_str(), start.c_str());
            return false;
        }
    }
    return true;
}

bool CheckContents(const PayloadContents &contents, std::string &error)
{
    if (contents.signers.size() > kMaxPayloadSignatures)
    {
        error = FormatText("a payload holds at most %u signatures", kMaxPayloadSignatures);
        return false;
    }
    if (!CheckText(contents.targetVersion, kVersionField, "target version", error))
        return false;
    for (const PayloadBuild &build : contents.builds)
    {
        if (!CheckText(build.hash, kBuildHashField, "build hash", error) ||
            !CheckText(build.version, kVersionField, "build version", error))
            return false;
    }
    for (const PayloadStep &step : contents.steps)
    {
        if (!CheckText(step.sourceVersion, kVersionField, "step source version", error) ||
            !CheckText(step.targetVersion, kVersionField, "step target version", error))
            return false;
    }
    return CheckChains(contents, error);
}

// A magic already at a boundary of the patcher would be found before ours.
bool HasMagicAtBoundary(ZelkDataBuffer &patcher, uint64_t &where)
{
    for (where = 0; where + sizeof kMagic <= patcher.GetSize(); where += kAlignment)
    {
        char bytes[sizeof kMagic];
        if (patcher.Seek(where) != ZELKRESULT_OK || patcher.Read(bytes, sizeof bytes) != ZELKRESULT_OK)
            return false;
        if (memcmp(bytes, kMagic, sizeof kMagic) == 0)
            return true;
    }
    return false;
}

// Signs what is on the disk, read back, so the signature covers the bytes a patcher will read.
bool WriteSignatures(ZelkDataBuffer &out, uint64_t headerAt, uint64_t signedEnd,
                     const std::vector<const PublisherSigningKey *> &signers, std::string &error)
{
    Sha256Digest digest;
    out.Flush();
    if (out.Seek(headerAt) != ZELKRESULT_OK || HashBufferSHA256(out, signedEnd - headerAt, digest) != ZELKRESULT_OK)
    {
        error = "cannot read back the payload to sign it";
        return false;
    }
    const std::string message = SignedPayloadMessage(headerAt, digest);
    std::string trailer;
    for (const PublisherSigningKey *signer : signers)
    {
        const PublisherSignature signature = signer->Sign(message.data(), message.size());
        trailer.append(reinterpret_cast<const char *>(signature.data()), signature.size());
    }
    uint8_t count[4];
    LittleEndian::Write32(count, static_cast<uint32_t>(signers.size()));
    trailer.append(reinterpret_cast<const char *>(count), sizeof count);
    trailer.append(kSignatureMagic, sizeof kSignatureMagic);
    if (out.Seek(signedEnd) != ZELKRESULT_OK ||
        out.Write(trailer.data(), static_cast<uint32_t>(trailer.size())) != ZELKRESULT_OK)
    {
        error = "cannot write the payload signatures";
        return false;
    }
    return true;
}

bool WriteLayout(ZelkDataBuffer &out, uint64_t patcherSize, const PayloadContents &contents,
                 const std::vector<uint64_t> &archiveSizes, std::string &error)
{
    const uint64_t headerAt = (patcherSize + kAlignment - 1) / kAlignment * kAlignment;
    uint64_t dataEnd = headerAt + kHeaderSize;
    for (uint64_t size : archiveSizes)
        dataEnd += size;
    const uint64_t buildTable = dataEnd;
    const uint64_t stepTable = buildTable + contents.builds.size() * kBuildRecordSize;
    const uint64_t signedEnd = stepTable + contents.steps.size() * kStepRecordSize;
    const uint64_t trailer =
        contents.signers.empty() ? 0 : kSignatureTrailerFixed + contents.signers.size() * kSignatureSize;
    const uint64_t total = signedEnd + trailer;
    if (total > kMaxTotalSize || contents.builds.size() > kMaxTotalSize || contents.steps.size() > kMaxTotalSize)
    {
        error = FormatText("the patcher would be %llu bytes; its size field holds at most %llu",
                           static_cast<unsigned long long>(total), static_cast<unsigned long long>(kMaxTotalSize));
        return false;
    }

    std::string filler(headerAt - patcherSize, '\0');
    uint8_t header[kHeaderSize] = {};
    memcpy(header, kMagic, sizeof kMagic);
    PutText(header + kHeaderVersion, contents.targetVersion);
    LittleEndian::Write32(header + kHeaderTotalSize, static_cast<uint32_t>(total));
    LittleEndian::Write32(header + kHeaderBuildCount, static_cast<uint32_t>(contents.builds.size()));
    LittleEndian::Write64(header + kHeaderBuildTable, buildTable);
    LittleEndian::Write32(header + kHeaderStepCount, static_cast<uint32_t>(contents.steps.size()));
    LittleEndian::Write64(header + kHeaderStepTable, stepTable);
    if (out.Seek(patcherSize) != ZELKRESULT_OK ||
        out.Write(filler.data(), static_cast<uint32_t>(filler.size())) != ZELKRESULT_OK ||
        out.Write(header, kHeaderSize) != ZELKRESULT_OK)
    {
        error = "cannot write the payload header";
        return false;
    }

    std::vector<uint8_t> steps(contents.steps.size() * kStepRecordSize);
    uint64_t dataAt = headerAt + kHeaderSize;
    for (size_t i = 0; i < contents.steps.size(); ++i)
    {
        const PayloadStep &step = contents.steps[i];
        ZelkDataBufferFile archive(step.archivePath, ZelkDataBufferFile::AccessRead);
        if (!archive.IsOpen() || CopyData(out, archive, archiveSizes[i]) != ZELKRESULT_OK)
        {
            error = "cannot copy the archive " + PathToNative(step.archivePath);
            return false;
        }
        uint8_t *record = steps.data() + i * kStepRecordSize;
        PutText(record, step.sourceVersion);
        PutText(record + kVersionField, step.targetVersion);
        LittleEndian::Write64(record + kStepDataOffset, dataAt);
        LittleEndian::Write64(record + kStepDataSize, archiveSizes[i]);
        dataAt += archiveSizes[i];
    }

    std::vector<uint8_t> builds(contents.builds.size() * kBuildRecordSize);
    for (size_t i = 0; i < contents.builds.size(); ++i)
    {
        PutText(builds.data() + i * kBuildRecordSize, contents.builds[i].hash);
        PutText(builds.data() + i * kBuildRecordSize + kBuildHashField, contents.builds[i].version);
    }
    if (out.Write(builds.data(), static_cast<uint32_t>(builds.size())) != ZELKRESULT_OK ||
        out.Write(steps.data(), static_cast<uint32_t>(steps.size())) != ZELKRESULT_OK)
    {
        error = "cannot write the payload tables";
        return false;
    }
    return contents.signers.empty() || WriteSignatures(out, headerAt, signedEnd, contents.signers, error);
}
} // namespace

bool WritePayload(const std::wstring &patcherPath, const std::wstring &outputPath, const PayloadContents &contents,
                  std::string &error)
{
    if (!CheckContents(contents, error))
        return false;

    ZelkDataBufferFile patcher(patcherPath, ZelkDataBufferFile::AccessRead);
    if (!patcher.IsOpen())
    {
        error = "cannot read the patcher " + PathToNative(patcherPath);
        return false;
    }
    uint64_t where = 0;
    if (HasMagicAtBoundary(patcher, where))
    {
        error = FormatText("the patcher already holds a payload mark at offset %llu", static_cast<unsigned long long>(where));
        return false;
    }
    std::vector<uint64_t> archiveSizes;
    for (const PayloadStep &step : contents.steps)
    {
        uint64_t size = 0;
        if (IsDirectory(step.archivePath) || GetFileSizeAt(step.archivePath, size) != ZELKRESULT_OK)
        {
            error = "cannot read the archive " + PathToNative(step.archivePath);
            return false;
        }
        archiveSizes.push_back(size);
    }

    // Built beside the output and renamed over it when complete, so the output may even be the
    // patcher itself and a failure never leaves a half-written patcher.
    ReplacementFile output(outputPath);
    const std::wstring temporary = output.TemporaryPath();
    if (!output.IsOpen() || !CopyFileAt(patcherPath, temporary))
    {
        error = "cannot create " + PathToNative(outputPath);
        return false;
    }
    // A read-only patcher gives a read-only copy, which must stay writable until it is complete.
    const bool readOnly = IsReadOnly(temporary);
    if (readOnly)
        ClearReadOnly(temporary);
    bool written = false;
    {
        ZelkDataBufferFile out(temporary, ZelkDataBufferFile::AccessReadWrite);
        if (!out.IsOpen())
        {
            error = "cannot write " + PathToNative(outputPath);
        }
        else
        {
            written = WriteLayout(out, patcher.GetSize(), contents, archiveSizes, error);
            if (out.Close() != ZELKRESULT_OK && written)
            {
                error = "cannot write " + PathToNative(outputPath);
                written = false;
            }
        }
    }
    if (written && readOnly)
        SetReadOnly(temporary);
    if (written && !output.Commit())
    {
        error = "cannot rename the result to " + PathToNative(outputPath);
        written = false;
    }
    return written;
}
