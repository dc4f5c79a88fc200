// zelk-mkpayload PATCHER OUT --target VERSION [--build HASH=VERSION]... [--step FROM:TO:ARCHIVE]...
//                [--sign PRIVATE]...
// Makes a standalone patcher: PATCHER's bytes with a patch payload appended, signed on request.
#include <cstdio>
#include <string>
#include <vector>

#include "kernel/TextConvert.h"
#include "patch/PublisherKey.h"
#include "publish/PayloadWriter.h"
#include "publish/PublisherFiles.h"
#include "publish/PublisherSigningKey.h"
#include "tools/ToolCommandLine.h"

namespace
{
const char kUsage[] =
    "Usage: zelk-mkpayload PATCHER OUT --target VERSION [--build HASH=VERSION]... [--step FROM:TO:ARCHIVE]...\n"
    "                      [--sign PRIVATE]...\n"
    "Writes OUT: the patcher executable PATCHER followed by a patch payload that brings an\n"
    "installation to VERSION. OUT gets PATCHER's permissions.\n"
    "\n"
    "  --target VERSION        the version the payload finally installs (at most 31 characters)\n"
    "  --build HASH=VERSION    a known build: the MD5 of its launcher and its version\n"
    "                          (hash at most 131, version at most 31 characters); repeatable\n"
    "  --step FROM:TO:ARCHIVE  a step from version FROM to version TO with its package archive;\n"
    "                          repeatable, stored in the order given\n"
    "  --sign PRIVATE          sign the payload with the Ed25519 private key in the PEM file\n"
    "                          PRIVATE (zelk-sign keygen); repeat it to sign with an old and a new\n"
    "                          key while patchers move from one to the other\n"
    "  --help                  show this text\n"
    "\n"
    "Exit status: 0 success, 1 wrong arguments, 2 the payload could not be made.\n";
} // namespace

int main(int argc, char **argv)
{
    ToolCommandLine line("zelk-mkpayload", kUsage, {"PATCHER", "OUT"});
    PayloadContents contents;
    line.Value("--target", contents.targetVersion, true);
    line.Each("--build", [&contents](const std::string &value) {
        const size_t equals = value.find('=');
        if (equals == std::string::npos)
            return "--build wants HASH=VERSION, got \"" + value + "\"";
        contents.builds.push_back({value.substr(0, equals), value.substr(equals + 1)});
        return std::string();
    });
    line.Each("--step", [&contents](const std::string &value) {
        // The archive path comes last, so it may itself contain colons.
        const size_t first = value.find(':');
        const size_t second = first == std::string::npos ? first : value.find(':', first + 1);
        if (second == std::string::npos || second + 1 == value.size())
            return "--step wants FROM:TO:ARCHIVE, got \"" + value + "\"";
        contents.steps.push_back({value.substr(0, first), value.substr(first + 1, second - first - 1),
                                  NativeToPath(value.substr(second + 1))});
        return std::string();
    });
    std::vector<std::string> keyFiles;
    line.Each("--sign", [&keyFiles](const std::string &value) {
        keyFiles.push_back(value);
        return std::string();
    });
    if (!line.Parse(argc, argv))
        return line.ExitStatus();

    std::string error;
    std::vector<PublisherSigningKey> keys;
    if (!LoadSigningKeyFiles(keyFiles, keys, contents.signers, error))
        return line.Failure(error);
    if (!WritePayload(NativeToPath(line.Operands()[0]), NativeToPath(line.Operands()[1]), contents, error))
        return line.Failure(error);
    return kToolExitSuccess;
}
