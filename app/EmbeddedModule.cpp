#include "app/EmbeddedModule.h"

#include <cerrno>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "kernel/ZelkSystemLog.h"

namespace ZelkPatch
{
void *LoadEmbeddedModule(const char *name, const unsigned char *start, const unsigned char *end,
                         const char *entryName, const char **error)
{
    const char *ignored = nullptr;
    const char *&reason = error != nullptr ? *error : ignored;
    // Nothing is left on disk. The file stays open for the life of the process, so that its name
    // still leads to it when a crash report looks up the module's code.
    const int file = memfd_create(name, MFD_CLOEXEC);
    if (file < 0)
    {
        reason = std::strerror(errno);
        ZelkSystemLog("EmbeddedModule> no memory file for %s (errno %d)", name, errno);
        return nullptr;
    }
    for (const unsigned char *bytes = start; bytes < end;)
    {
        const ssize_t written = write(file, bytes, static_cast<size_t>(end - bytes));
        if (written <= 0)
        {
            reason = std::strerror(errno);
            ZelkSystemLog("EmbeddedModule> cannot write %s (errno %d)", name, errno);
            close(file);
            return nullptr;
        }
        bytes += written;
    }
    // The process's own number rather than "self": crash reports name the module by this path
    // and read it from another process.
    const std::string path = "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(file);
    // Never unloaded: the toolkit's libraries are not made to be.
    void *module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr)
    {
        reason = dlerror();
        ZelkSystemLog("EmbeddedModule> %s does not load: %s", name, reason);
        close(file);
        return nullptr;
    }
    void *entry = dlsym(module, entryName);
    if (entry == nullptr)
    {
        reason = "no entry point";
        ZelkSystemLog("EmbeddedModule> %s has no entry point %s", name, entryName);
    }
    return entry;
}
} // namespace ZelkPatch
