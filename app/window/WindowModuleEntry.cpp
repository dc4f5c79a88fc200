// The entry point of the window's module (app/WindowModule.h).
#include <type_traits>

#include <wx/app.h>
#include <wx/init.h>

#include "app/WindowModule.h"
#include "app/window/PelmoPatcherApp.h"

extern "C" __attribute__((visibility("default"))) int ZelkWindowMain(int argc, char **argv)
{
    static_assert(std::is_same_v<decltype(&ZelkWindowMain), ZelkPatch::WindowMainFunction>);
    wxAppConsole::SetInstance(new ZelkPatch::PelmoPatcherApp);
    return wxEntry(argc, argv);
}
