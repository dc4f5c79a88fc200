#include "app/PageView.h"

#include <cerrno>
#include <dlfcn.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "kernel/ZelkSystemLog.h"

// The module's bytes, placed in the program by the build.
extern "C" const unsigned char _binary_zelk_page_view_so_start[];
extern "C" const unsigned char _binary_zelk_page_view_so_end[];

namespace ZelkPatch
{
namespace
{
const PageViewModule *Load()
{
    // Loaded from memory: the program stays one file, and nothing is left on disk. The file stays
    // open for the life of the process, so that its name still leads to it when a crash report
    // looks up the module's code.
    const int file = memfd_create("pelmo-page-view", MFD_CLOEXEC);
    if (file < 0)
    {
        ZelkSystemLog("PageView> no memory file for the page module (errno %d)", errno);
        return nullptr;
    }
    const unsigned char *bytes = _binary_zelk_page_view_so_start;
    while (bytes < _binary_zelk_page_view_so_end)
    {
        const ssize_t written = write(file, bytes, static_cast<size_t>(_binary_zelk_page_view_so_end - bytes));
        if (written <= 0)
        {
            ZelkSystemLog("PageView> cannot write the page module (errno %d)", errno);
            close(file);
            return nullptr;
        }
        bytes += written;
    }
    const std::string name = "/proc/self/fd/" + std::to_string(file);
    // Never closed: the engine's libraries are not made to be unloaded.
    void *module = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr)
    {
        ZelkSystemLog("PageView> the page module does not load: %s", dlerror());
        close(file);
        return nullptr;
    }
    const auto entry = reinterpret_cast<const PageViewModule *(*)()>(dlsym(module, kPageViewModuleEntry));
    if (entry == nullptr)
    {
        ZelkSystemLog("PageView> the page module has no entry point");
        return nullptr;
    }
    return entry();
}
} // namespace

const PageViewModule *LoadPageViewModule()
{
    static const PageViewModule *const module = Load();
    return module;
}
} // namespace ZelkPatch
