#include "app/window/PageView.h"

#include "app/EmbeddedModule.h"

// The module's bytes, placed in the program by the build.
extern "C" const unsigned char _binary_zelk_page_view_so_start[];
extern "C" const unsigned char _binary_zelk_page_view_so_end[];

namespace ZelkPatch
{
const PageViewModule *LoadPageViewModule()
{
    static const PageViewModule *const module = [] {
        const auto entry = reinterpret_cast<const PageViewModule *(*)()>(
            LoadEmbeddedModule("pelmo-page-view", _binary_zelk_page_view_so_start, _binary_zelk_page_view_so_end,
                               kPageViewModuleEntry));
        return entry != nullptr ? entry() : nullptr;
    }();
    return module;
}
} // namespace ZelkPatch
