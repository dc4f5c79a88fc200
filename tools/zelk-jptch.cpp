// zelk-jptch OLD DIFF OUT: applies one JojoDiff difference. An installation carries it as
// "bin/jpatchl-w32.exe"; the patcher reads only its exit status, so the codes 1 to 4 keep the
// meanings the patcher gives them, and every other failure uses a code outside that range.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "kernel/FileUtil.h"
#include "kernel/TextConvert.h"
#include "publish/JojoDiff.h"
#include "tools/ToolCommandLine.h"

namespace
{
// 0 and 1 are every tool's: success and a mistake on the command line.
constexpr int kExitOldFile = 2;
constexpr int kExitDiffFile = 3;
constexpr int kExitOutFile = 4;
constexpr int kExitCorrupt = 5;
constexpr int kExitInputOutput = 6;

const char kUsage[] =
    "Usage: zelk-jptch OLD DIFF OUT\n"
    "Applies the JojoDiff difference DIFF to the file OLD and writes the result to OUT.\n"
    "\n"
    "Exit status:\n"
    "  0  success\n"
    "  1  wrong arguments\n"
    "  2  OLD cannot be opened for reading\n"
    "  3  DIFF cannot be opened for reading\n"
    "  4  OUT cannot be opened for writing\n"
    "  5  DIFF is corrupt (OUT is not written)\n"
    "  6  reading or writing failed (OUT is not written)\n";

struct FileCloser
{
    void operator()(std::FILE *file) const
    {
        std::fclose(file);
    }
};
using FilePointer = std::unique_ptr<std::FILE, FileCloser>;

// fopen accepts a directory on some systems; only the first read fails there, and such a file
// cannot be read any more than a missing one.
FilePointer OpenForReading(const std::string &path)
{
    FilePointer file(std::fopen(path.c_str(), "rb"));
    if (!file)
        return nullptr;
    const int first = std::fgetc(file.get());
    if (first == EOF ? std::ferror(file.get()) != 0 : std::ungetc(first, file.get()) == EOF)
        return nullptr;
    return file;
}

// An existing OUT that cannot be written to (read-only, a directory) must fail as "cannot be
// opened" rather than be silently replaced by the rename.
bool ExistingOutputIsWritable(const std::string &out)
{
    FilePointer probe(std::fopen(out.c_str(), "rb"));
    if (!probe)
        return true;
    probe.reset(std::fopen(out.c_str(), "r+b"));
    return probe != nullptr;
}
} // namespace

int main(int argc, char **argv)
{
    ToolCommandLine line("zelk-jptch", kUsage, {"OLD", "DIFF", "OUT"});
    if (!line.Parse(argc, argv))
        return line.ExitStatus();
    const std::string &oldPath = line.Operands()[0];
    const std::string &diffPath = line.Operands()[1];
    const std::string &outPath = line.Operands()[2];

    FilePointer oldFile = OpenForReading(oldPath);
    if (!oldFile)
        return line.Failure(FormatText("Could not open data file %s for reading.", oldPath.c_str()), kExitOldFile);
    FilePointer diffFile = OpenForReading(diffPath);
    if (!diffFile)
        return line.Failure(FormatText("Could not open patch file %s for reading.", diffPath.c_str()), kExitDiffFile);
    // The result goes to a new file beside OUT and replaces it only when complete, so a failure
    // never leaves a partial output where the caller expects the patched file.
    std::unique_ptr<ReplacementFile> output;
    if (ExistingOutputIsWritable(outPath))
        output = std::make_unique<ReplacementFile>(NativeToPath(outPath));
    if (!output || !output->IsOpen() || !output->Stream())
        return line.Failure(FormatText("Could not open output file for writing. (%s: %s)", outPath.c_str(),
                                       std::strerror(errno)),
                            kExitOutFile);

    // The result is the next version of OLD: a program stays executable after its patch.
    std::error_code ignored;
    std::filesystem::permissions(PathToNative(output->TemporaryPath()),
                                 std::filesystem::status(oldPath, ignored).permissions(), ignored);

    std::string problem;
    ZELKRESULT result = ApplyJojoDiff(oldFile.get(), diffFile.get(), output->Stream(), problem);
    if (result == ZELKRESULT_OK && !output->Commit())
    {
        result = ZELKRESULT_IO;
        problem = FormatText("could not write the output: %s", std::strerror(errno));
    }
    if (result != ZELKRESULT_OK)
    {
        output->Discard();
        return line.Failure(diffPath + ": " + problem, result == ZELKRESULT_BAD_FORMAT ? kExitCorrupt : kExitInputOutput);
    }
    return kToolExitSuccess;
}
