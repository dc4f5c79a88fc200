// zelk-mklist OUT --step FROM:TO:ARCHIVE[:ADDRESS]... [--serial N] [--sign PRIVATE]... [--exe-url ADDRESS]
// Writes a patch list "patches.txt" for the step archives, signed on request.
#include <cstdio>
#include <string>
#include <vector>

#include "kernel/TextConvert.h"
#include "patch/PatchList.h"
#include "patch/PublisherKey.h"
#include "publish/PatchListWriter.h"
#include "publish/PublisherFiles.h"
#include "publish/PublisherSigningKey.h"
#include "tools/ToolCommandLine.h"

namespace
{
const char kUsage[] =
    "Usage: zelk-mklist OUT --step FROM:TO:ARCHIVE[:ADDRESS]... [--serial N] [--sign PRIVATE]...\n"
    "                   [--exe-url ADDRESS]\n"
    "Writes OUT, a patch list (\"patches.txt\"): one entry per step with its versions, the address\n"
    "of its package archive, and the archive's size and SHA-256, which a patcher with a publisher\n"
    "key requires.\n"
    "\n"
    "  --step FROM:TO:ARCHIVE[:ADDRESS]\n"
    "                     a step from version FROM to version TO; ARCHIVE is read for its size\n"
    "                     and digest (its path may hold no ':'); ADDRESS is where patchers fetch\n"
    "                     it, an ftp://, http:// or https:// address or one relative to the list;\n"
    "                     without it, ARCHIVE's file name, relative. Repeatable, one per version\n"
    "  --serial N         the list's serial (a decimal number): a patcher with a key refuses a\n"
    "                     signed list older than the newest it has taken, so raise it each time\n"
    "  --sign PRIVATE     write OUT.sig, signed with the Ed25519 private key PRIVATE\n"
    "                     (zelk-sign keygen); repeat it to sign with an old and a new key\n"
    "  --exe-url ADDRESS  the \"patch-exe-url\" of every entry, which every patcher requires and\n"
    "                     download runs do not use; without it, each entry's data address\n"
    "  --help             show this text\n"
    "\n"
    "Exit status: 0 success, 1 wrong arguments, 2 the list could not be made.\n";

// FROM and TO end at the first two colons and the archive's path at the next: the address is
// last, so it may hold colons of its own ("http://host:8080/a.zip").
bool ParseStep(const std::string &value, ListedStep &step)
{
    const size_t first = value.find(':');
    const size_t second = first == std::string::npos ? first : value.find(':', first + 1);
    if (second == std::string::npos)
        return false;
    const size_t third = value.find(':', second + 1);
    step.sourceVersion = value.substr(0, first);
    step.targetVersion = value.substr(first + 1, second - first - 1);
    const std::string archive = value.substr(second + 1, third == std::string::npos ? third : third - second - 1);
    if (archive.empty() || (third != std::string::npos && third + 1 == value.size()))
        return false;
    step.archivePath = NativeToPath(archive);
    step.address = third == std::string::npos ? std::string() : value.substr(third + 1);
    return true;
}
} // namespace

int main(int argc, char **argv)
{
    ToolCommandLine line("zelk-mklist", kUsage, {"OUT"});
    PatchListContents contents;
    line.Each("--step", [&contents](const std::string &value) {
        ListedStep step;
        if (!ParseStep(value, step))
            return "--step wants FROM:TO:ARCHIVE[:ADDRESS], got \"" + value + "\"";
        contents.steps.push_back(step);
        return std::string();
    });
    line.Each("--serial", [&contents](const std::string &value) {
        uint64_t serial = 0;
        if (!ParseDecimal(value, serial))
            return "--serial wants a decimal number, got \"" + value + "\"";
        contents.serial = serial;
        return std::string();
    });
    std::vector<std::string> keyFiles;
    line.Each("--sign", [&keyFiles](const std::string &value) {
        keyFiles.push_back(value);
        return std::string();
    });
    line.Value("--exe-url", contents.exeUrl);
    if (!line.Parse(argc, argv))
        return line.ExitStatus();
    if (contents.steps.empty())
        return line.UsageError("at least one --step is required");

    std::string error;
    std::vector<PublisherSigningKey> keys;
    if (!LoadSigningKeyFiles(keyFiles, keys, contents.signers, error))
        return line.Failure(error);
    if (!WritePatchList(NativeToPath(line.Operands()[0]), contents, error))
        return line.Failure(error);
    return kToolExitSuccess;
}
