#include "publish/PatchListWriter.h"

#include <set>

#include "kernel/FileUtil.h"
#include "kernel/TextConvert.h"
#include "patch/DetachedSignature.h"
#include "patch/PublisherKey.h"
#include "patch/SHA256.h"
#include "publish/PublisherFiles.h"
#include "publish/PublisherSigningKey.h"

namespace
{
// The reader trims spaces, splits lines at any CR or LF and takes off one pair of enclosing
// quotes: a value that any of this would change is refused rather than written.
bool CheckValue(const std::string &value, const char *what, std::string &error)
{
    if (value.empty())
    {
        error = FormatText("%s is empty", what);
        return false;
    }
    for (char c : value)
    {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7E)
        {
            error = FormatText("%s \"%s\" holds a character outside printable ASCII", what, value.c_str());
            return false;
        }
    }
    if (value.front() == ' ' || value.back() == ' ')
    {
        error = FormatText("%s \"%s\" starts or ends with a space", what, value.c_str());
        return false;
    }
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
    {
        error = FormatText("%s %s is enclosed in double quotes", what, value.c_str());
        return false;
    }
    return true;
}

std::string Line(const char *key, const std::string &value)
{
    return std::string(key) + ": " + value + "\n";
}
} // namespace

bool FormatPatchList(const PatchListContents &contents, std::string &text, std::string &error)
{
    if (contents.steps.empty())
    {
        error = "a list needs at least one step";
        return false;
    }
    if (!contents.exeUrl.empty() && !CheckValue(contents.exeUrl, "the patcher address", error))
        return false;
    std::string list;
    if (contents.serial)
        list += Line("list-serial", std::to_string(*contents.serial)) + "\n";
    std::set<std::string> sources;
    for (const ListedStep &step : contents.steps)
    {
        const std::string address = step.address.empty() ? FileNamePart(step.archivePath) : step.address;
        if (!CheckValue(step.sourceVersion, "the source version", error) ||
            !CheckValue(step.targetVersion, "the target version", error) ||
            !CheckValue(address, "the data address", error))
            return false;
        if (!sources.insert(step.sourceVersion).second)
        {
            error = "two steps start at version " + step.sourceVersion;
            return false;
        }
        Sha256Digest digest;
        uint64_t size = 0;
        if (IsDirectory(step.archivePath) || HashFileSHA256(step.archivePath, digest, size) != ZELKRESULT_OK)
        {
            error = "cannot read the archive " + PathToNative(step.archivePath);
            return false;
        }
        list += Line("source-version", step.sourceVersion) + Line("target-version", step.targetVersion) +
                Line("patch-exe-url", contents.exeUrl.empty() ? address : contents.exeUrl) +
                Line("patch-data-url", address) + Line("patch-data-size", std::to_string(size)) +
                Line("patch-data-sha256", DigestToHex(digest)) + "\n";
    }
    text = list;
    return true;
}

bool WritePatchList(const std::wstring &outputPath, const PatchListContents &contents, std::string &error)
{
    std::string text;
    if (!FormatPatchList(contents, text, error))
        return false;
    // The signature is made from the text in memory, so the list and its signature always agree.
    std::vector<PublisherSignature> signatures;
    for (const PublisherSigningKey *signer : contents.signers)
        signatures.push_back(signer->Sign(text.data(), text.size()));
    if (!WritePublisherFile(outputPath, text, error))
        return false;
    return signatures.empty() ||
           WritePublisherFile(outputPath + NarrowToWide(kSignatureSuffix), FormatSignatureFile(signatures), error);
}
