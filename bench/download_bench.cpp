// Fetches one address into a file the way a download run does (PelmoPatchTask::DownloadToFile)
// and prints the seconds it took. Usage: download_bench ADDRESS FILE
#include <chrono>
#include <cstdio>
#include <string>

#include "kernel/TextConvert.h"
#include "patch/PelmoPatchTask.h"

namespace
{
class ConsoleTask : public PelmoPatchTask
{
public:
    void Report(MessageLevel, const std::string &text) override { std::fprintf(stderr, "%s\n", text.c_str()); }
    void Report(MessageLevel, const std::wstring &text) override { Report(MessageNormal, PathToNative(text)); }
};
} // namespace

int main(int argc, char **argv)
{
    if (argc != 3)
    {
        std::fprintf(stderr, "usage: download_bench ADDRESS FILE\n");
        return 2;
    }
    ConsoleTask task;
    const auto started = std::chrono::steady_clock::now();
    const bool done = task.DownloadToFile(NativeToPath(argv[1]), NativeToPath(argv[2]), nullptr);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started;
    if (!done)
        return 1;
    std::printf("%.3f\n", elapsed.count());
    return 0;
}
