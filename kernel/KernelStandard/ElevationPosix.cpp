// Administrator rights on Linux: root is the administrator, and pkexec (polkit) starts the
// elevated copy.
#include "kernel/Elevation.h"

#include <cerrno>
#include <cstdlib>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "kernel/TextConvert.h"
#include "kernel/ZelkSystemLog.h"

extern char **environ;

namespace
{
constexpr const char *kElevationVariable = "PELMO_ELEVATE";
constexpr const char *kDefaultElevationProgram = "pkexec";
} // namespace

bool ProcessHasAdminRights()
{
    return geteuid() == 0;
}

std::string ElevationProgram()
{
    const char *replacement = getenv(kElevationVariable);
    if (replacement != nullptr && *replacement != 0)
        return replacement;
    return kDefaultElevationProgram;
}

bool ElevationProgramReplaced()
{
    const char *replacement = getenv(kElevationVariable);
    return replacement != nullptr && *replacement != 0;
}

int RunElevatedCopy(const std::wstring &executable, const std::vector<std::string> &arguments)
{
    const std::string program = ElevationProgram();
    std::vector<std::string> words;
    words.push_back(program);
    words.push_back(PathToNative(executable));
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    pid_t child = 0;
    const int error = posix_spawnp(&child, program.c_str(), nullptr, nullptr, argv.data(), environ);
    if (error != 0)
    {
        ZelkSystemLog("RunElevatedCopy> cannot start %s: error %d", program.c_str(), error);
        return kElevationUnavailable;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0)
    {
        if (errno != EINTR)
            return kElevationUnavailable;
    }
    if (!WIFEXITED(status))
        return kElevationUnavailable;
    return WEXITSTATUS(status);
}

bool SetCurrentDirectoryTo(const std::wstring &directory)
{
    return chdir(PathToNative(directory).c_str()) == 0;
}
