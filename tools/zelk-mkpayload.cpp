// zelk-mkpayload PATCHER OUT --target VERSION [--build HASH=VERSION]... [--step FROM:TO:ARCHIVE]...
// Makes a standalone patcher: PATCHER's bytes with a patch payload appended.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "kernel/TextConvert.h"
#include "patch/PayloadWriter.h"

namespace
{
constexpr int kExitSuccess = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "Usage: zelk-mkpayload PATCHER OUT --target VERSION [--build HASH=VERSION]... [--step FROM:TO:ARCHIVE]...\n"
    "Writes OUT: the patcher executable PATCHER followed by a patch payload that brings an\n"
    "installation to VERSION. OUT gets PATCHER's permissions.\n"
    "\n"
    "  --target VERSION        the version the payload finally installs (at most 31 characters)\n"
    "  --build HASH=VERSION    a known build: the MD5 of its launcher and its version\n"
    "                          (hash at most 131, version at most 31 characters); repeatable\n"
    "  --step FROM:TO:ARCHIVE  a step from version FROM to version TO with its package archive;\n"
    "                          repeatable, stored in the order given\n"
    "  --help                  show this text\n"
    "\n"
    "Exit status: 0 success, 1 the payload could not be made, 2 wrong arguments.\n";

int UsageError(const std::string &message)
{
    fprintf(stderr, "zelk-mkpayload: %s\nTry 'zelk-mkpayload --help'.\n", message.c_str());
    return kExitUsage;
}
} // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> positional;
    PayloadContents contents;
    bool haveTarget = false;
    for (int i = 1; i < argc; ++i)
    {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h")
        {
            fputs(kUsage, stdout);
            return kExitSuccess;
        }
        if (arg == "--target" || arg == "--build" || arg == "--step")
        {
            if (i + 1 >= argc)
                return UsageError(arg + " needs a value");
            const std::string value = argv[++i];
            if (arg == "--target")
            {
                contents.targetVersion = value;
                haveTarget = true;
            }
            else if (arg == "--build")
            {
                const size_t equals = value.find('=');
                if (equals == std::string::npos)
                    return UsageError("--build wants HASH=VERSION, got \"" + value + "\"");
                contents.builds.push_back({value.substr(0, equals), value.substr(equals + 1)});
            }
            else
            {
                // The archive path comes last, so it may itself contain colons.
                const size_t first = value.find(':');
                const size_t second = first == std::string::npos ? first : value.find(':', first + 1);
                if (second == std::string::npos || second + 1 == value.size())
                    return UsageError("--step wants FROM:TO:ARCHIVE, got \"" + value + "\"");
                contents.steps.push_back({value.substr(0, first), value.substr(first + 1, second - first - 1),
                                          NativeToPath(value.substr(second + 1))});
            }
            continue;
        }
        if (arg.size() > 1 && arg[0] == '-')
            return UsageError("unknown option " + arg);
        positional.push_back(arg);
    }
    if (positional.size() != 2)
        return UsageError("PATCHER and OUT are required");
    if (!haveTarget)
        return UsageError("--target is required");

    std::string error;
    if (!WritePayload(NativeToPath(positional[0]), NativeToPath(positional[1]), contents, error))
    {
        fprintf(stderr, "zelk-mkpayload: %s\n", error.c_str());
        return kExitFailed;
    }
    return kExitSuccess;
}
