// The maker's page at the top of the window. The web engine is a large library that only this page
// needs, and loading it (with the hundred libraries it depends on) costs every window a tenth of a
// second: it lives in a module of its own (app/EmbeddedModule.h), carried inside the window's and
// loaded when a window first shows a page. A machine without the engine still gets the window,
// without the page.
#pragma once

#include <functional>

#include <wx/gdicmn.h>
#include <wx/string.h>

class wxWindow;

namespace ZelkPatch
{
// What the page tells the window; each runs on the GUI thread.
struct PageViewEvents
{
    std::function<void(const wxString &url)> loaded;
    std::function<void()> failed;
    // Whether a link the user follows opens inside the page.
    std::function<bool()> followLink;
};

// What the module offers, the same build on both sides.
struct PageViewModule
{
    // A hidden page view on parent that runs script in every page it shows; null when the engine
    // has no backend here.
    wxWindow *(*create)(wxWindow *parent, int id, const wxSize &size, const char *script, PageViewEvents events);
    void (*load)(wxWindow *view, const wxString &url);
};

// The module's entry point, found by name.
constexpr char kPageViewModuleEntry[] = "ZelkPageViewModule";

// Loads the module the first time (later calls give the same answer); null when it cannot be
// loaded, with the reason in the log.
const PageViewModule *LoadPageViewModule();
} // namespace ZelkPatch
