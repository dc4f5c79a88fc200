#include "patch/CurlLibrary.h"

#include "kernel/LoadableModule.h"
#include "kernel/ZelkSystemLog.h"

namespace
{
CurlLibrary g_curl;

template <typename Function> bool Resolve(void *library, const char *name, Function &function)
{
    function = reinterpret_cast<Function>(LoadableModule::Symbol(library, name));
    if (function == nullptr)
        ZelkSystemLog("CurlLibrary> %s lacks %s", ZELK_CURL_LIBRARY, name);
    return function != nullptr;
}

bool Load()
{
    // Never unloaded: the library keeps state (its global initialisation) for the process.
    const char *reason = nullptr;
    void *library = LoadableModule::Open(ZELK_CURL_LIBRARY, &reason);
    if (library == nullptr)
    {
        ZelkSystemLog("CurlLibrary> cannot load %s: %s", ZELK_CURL_LIBRARY, reason);
        return false;
    }
    return Resolve(library, "curl_global_init", g_curl.globalInit) &&
           Resolve(library, "curl_easy_init", g_curl.easyInit) &&
           Resolve(library, "curl_easy_setopt", g_curl.easySetopt) &&
           Resolve(library, "curl_easy_getinfo", g_curl.easyGetinfo) &&
           Resolve(library, "curl_easy_perform", g_curl.easyPerform) &&
           Resolve(library, "curl_easy_reset", g_curl.easyReset) &&
           Resolve(library, "curl_easy_cleanup", g_curl.easyCleanup) &&
           Resolve(library, "curl_slist_append", g_curl.slistAppend) &&
           Resolve(library, "curl_slist_free_all", g_curl.slistFreeAll);
}
} // namespace

const CurlLibrary *LoadCurlLibrary()
{
    static const bool loaded = Load();
    return loaded ? &g_curl : nullptr;
}

const CurlLibrary &Curl()
{
    return g_curl;
}

