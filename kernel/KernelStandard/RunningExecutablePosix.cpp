// The Linux half of the running-executable lookup: /proc/self/exe.
#include "kernel/RunningExecutable.h"

#include <climits>
#include <unistd.h>

#include "kernel/TextConvert.h"

namespace
{
constexpr char kSelfExe[] = "/proc/self/exe";
}

std::wstring RunningExecutablePath()
{
    char buffer[PATH_MAX + 1];
    const ssize_t length = readlink(kSelfExe, buffer, PATH_MAX);
    if (length <= 0)
        return std::wstring();
    return NativeToPath(std::string(buffer, static_cast<size_t>(length)));
}

std::wstring RunningExecutableImage()
{
    return NativeToPath(kSelfExe);
}
