// The entry point of the window's module (app/WindowModule.h).
#include <string>
#include <type_traits>

#include <wx/app.h>
#include <wx/init.h>

#include "app/WindowModule.h"
#include "app/window/PelmoPatcherApp.h"

extern "C" __attribute__((visibility("default"))) int ZelkWindowMain(int argc, char **argv, const char **unavailable)
{
    static_assert(std::is_same_v<decltype(&ZelkWindowMain), ZelkPatch::WindowMainFunction>);
    // Outlives the application, which the toolkit deletes when it cannot start.
    static std::string reason;
    wxAppConsole::SetInstance(new ZelkPatch::PelmoPatcherApp(reason));
    const int status = wxEntry(argc, argv);
    if (!reason.empty())
        *unavailable = reason.c_str();
    return status;
}
