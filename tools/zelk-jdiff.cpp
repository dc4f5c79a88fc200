// zelk-jdiff OLD NEW DIFF: writes the JojoDiff difference that turns OLD into NEW, for the
// patch tool an installation carries (zelk-jptch).
#include <cstdio>
#include <cstring>
#include <string>

#include "kernel/TextConvert.h"
#include "patch/JojoDiff.h"

namespace
{
constexpr int kExitSuccess = 0;
constexpr int kExitArguments = 1;
constexpr int kExitFailure = 2;

const char kUsage[] =
    "Usage: zelk-jdiff [--verbose] OLD NEW DIFF\n"
    "Writes the JojoDiff difference that turns the file OLD into the file NEW to DIFF\n"
    "(apply it with: zelk-jptch OLD DIFF NEW).\n"
    "  --verbose  print the sizes of the files and how much of NEW is copied from OLD\n"
    "\n"
    "Exit status: 0 success, 1 wrong arguments, 2 a file could not be read or written\n"
    "or there was not enough memory.\n";
} // namespace

int main(int argc, char **argv)
{
    bool verbose = false;
    int first = 1;
    for (; first < argc && argv[first][0] == '-' && argv[first][1] == '-'; ++first)
    {
        if (std::strcmp(argv[first], "--help") == 0)
        {
            std::fputs(kUsage, stdout);
            return kExitSuccess;
        }
        if (std::strcmp(argv[first], "--verbose") == 0)
        {
            verbose = true;
            continue;
        }
        if (std::strcmp(argv[first], "--") == 0)
        {
            ++first;
            break;
        }
        std::fprintf(stderr, "zelk-jdiff: unknown option %s\n", argv[first]);
        std::fputs(kUsage, stderr);
        return kExitArguments;
    }
    if (argc - first != 3)
    {
        std::fputs("zelk-jdiff: expected three file names\n", stderr);
        std::fputs(kUsage, stderr);
        return kExitArguments;
    }

    std::string problem;
    JojoDiffStatistics statistics;
    if (MakeJojoDiff(NativeToPath(argv[first]), NativeToPath(argv[first + 1]), NativeToPath(argv[first + 2]),
                     problem, &statistics) != ZELKRESULT_OK)
    {
        std::fprintf(stderr, "zelk-jdiff: %s\n", problem.c_str());
        return kExitFailure;
    }
    if (verbose)
        std::printf("old %llu bytes, new %llu bytes, difference %llu bytes; %llu bytes copied, %llu bytes as data\n",
                    static_cast<unsigned long long>(statistics.oldSize),
                    static_cast<unsigned long long>(statistics.newSize),
                    static_cast<unsigned long long>(statistics.diffSize),
                    static_cast<unsigned long long>(statistics.copiedBytes),
                    static_cast<unsigned long long>(statistics.literalBytes));
    return kExitSuccess;
}
