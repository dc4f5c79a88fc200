#include "kernel/LoadableModule.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <dlfcn.h>
#include <link.h>
#include <mutex>
#include <string>
#include <sys/auxv.h>
#include <sys/mman.h>
#include <unistd.h>

namespace
{
// The window and the page view: a handful is plenty.
constexpr size_t kMaxOwnModules = 8;

struct CodeRange
{
    uint64_t start;
    uint64_t end;
};

// Ranges are only added, and published by the count, so that a reader needs no lock.
CodeRange g_ownModules[kMaxOwnModules];
std::atomic<size_t> g_ownModuleCount{0};
std::mutex g_ownModulesLock;

bool RangeOfModuleHolding(const void *address, CodeRange &range)
{
    dl_find_object found;
    if (_dl_find_object(const_cast<void *>(address), &found) != 0)
        return false;
    range = {reinterpret_cast<uint64_t>(found.dlfo_map_start), reinterpret_cast<uint64_t>(found.dlfo_map_end)};
    return true;
}

// The executable is the module that holds the process's entry point.
const CodeRange &Executable()
{
    static const CodeRange range = [] {
        CodeRange found{0, 0};
        RangeOfModuleHolding(reinterpret_cast<const void *>(getauxval(AT_ENTRY)), found);
        return found;
    }();
    return range;
}

void AddOwnModule(const void *symbol)
{
    CodeRange range;
    if (!RangeOfModuleHolding(symbol, range))
        return;
    std::lock_guard<std::mutex> lock(g_ownModulesLock);
    const size_t count = g_ownModuleCount.load(std::memory_order_relaxed);
    if (count == kMaxOwnModules)
        return;
    g_ownModules[count] = range;
    g_ownModuleCount.store(count + 1, std::memory_order_release);
}
} // namespace

void *LoadableModule::Open(const char *name, const char **reason)
{
    // Never unloaded: neither the toolkit's libraries nor the transfer library are made to be.
    void *module = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr)
        *reason = dlerror();
    return module;
}

void *LoadableModule::OpenFromMemory(const char *name, const unsigned char *start, const unsigned char *end,
                                     const char **reason)
{
    // The file stays open for the life of the process, so that its name still leads to it when a
    // crash report looks up the module's code.
    const int file = memfd_create(name, MFD_CLOEXEC);
    if (file < 0)
    {
        *reason = std::strerror(errno);
        return nullptr;
    }
    for (const unsigned char *bytes = start; bytes < end;)
    {
        const ssize_t written = write(file, bytes, static_cast<size_t>(end - bytes));
        if (written <= 0)
        {
            *reason = written < 0 ? std::strerror(errno) : "the module was not written whole";
            close(file);
            return nullptr;
        }
        bytes += written;
    }
    // The process's own number rather than "self": crash reports name the module by this path
    // and read it from another process.
    const std::string path = "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(file);
    void *module = Open(path.c_str(), reason);
    if (module == nullptr)
    {
        close(file);
        return nullptr;
    }
    // Its dynamic section lies in its mapping, as every module's does.
    link_map *map = nullptr;
    if (dlinfo(module, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr)
        AddOwnModule(map->l_ld);
    return module;
}

void *LoadableModule::Symbol(void *module, const char *name)
{
    return dlsym(module, name);
}

bool LoadableModule::IsOwnCode(uint64_t address)
{
    const CodeRange &executable = Executable();
    if (address >= executable.start && address < executable.end)
        return true;
    const size_t count = g_ownModuleCount.load(std::memory_order_acquire);
    for (size_t i = 0; i < count; ++i)
    {
        if (address >= g_ownModules[i].start && address < g_ownModules[i].end)
            return true;
    }
    return false;
}
