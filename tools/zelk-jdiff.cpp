// zelk-jdiff OLD NEW DIFF: writes the JojoDiff difference that turns OLD into NEW, for the
// patch tool an installation carries (zelk-jptch).
#include <cstdio>
#include <string>

#include "kernel/TextConvert.h"
#include "publish/JojoDiff.h"
#include "tools/ToolCommandLine.h"

namespace
{
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
    ToolCommandLine line("zelk-jdiff", kUsage, {"OLD", "NEW", "DIFF"});
    bool verbose = false;
    line.Flag("--verbose", verbose);
    if (!line.Parse(argc, argv))
        return line.ExitStatus();
    const std::vector<std::string> &files = line.Operands();

    std::string problem;
    JojoDiffStatistics statistics;
    if (MakeJojoDiff(NativeToPath(files[0]), NativeToPath(files[1]), NativeToPath(files[2]), problem, &statistics) !=
        ZELKRESULT_OK)
        return line.Failure(problem);
    if (verbose)
        std::printf("old %llu bytes, new %llu bytes, difference %llu bytes; %llu bytes copied, %llu bytes as data\n",
                    static_cast<unsigned long long>(statistics.oldSize),
                    static_cast<unsigned long long>(statistics.newSize),
                    static_cast<unsigned long long>(statistics.diffSize),
                    static_cast<unsigned long long>(statistics.copiedBytes),
                    static_cast<unsigned long long>(statistics.literalBytes));
    return kToolExitSuccess;
}
