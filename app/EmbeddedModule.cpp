#include "app/EmbeddedModule.h"

#include "kernel/LoadableModule.h"
#include "kernel/ZelkSystemLog.h"

namespace ZelkPatch
{
void *LoadEmbeddedModule(const char *name, const unsigned char *start, const unsigned char *end,
                         const char *entryName, const char **error)
{
    const char *ignored = nullptr;
    const char *&reason = error != nullptr ? *error : ignored;
    void *module = LoadableModule::OpenFromMemory(name, start, end, &reason);
    if (module == nullptr)
    {
        ZelkSystemLog("EmbeddedModule> %s does not load: %s", name, reason);
        return nullptr;
    }
    void *entry = LoadableModule::Symbol(module, entryName);
    if (entry == nullptr)
    {
        reason = "no entry point";
        ZelkSystemLog("EmbeddedModule> %s has no entry point %s", name, entryName);
    }
    return entry;
}
} // namespace ZelkPatch
