// The patcher's start: a run without a window on the toolkit's base library alone, the window from
// the module the program carries (app/WindowModule.h).
#include <cstdio>
#include <cstring>

#include <wx/init.h>

#include "app/ConsoleHost.h"
#include "app/EmbeddedModule.h"
#include "app/PelmoConsoleApp.h"
#include "app/WindowModule.h"
#include "kernel/CrashHandler.h"

// The window module's bytes, placed in the program by the build.
extern "C" const unsigned char _binary_zelk_window_so_start[];
extern "C" const unsigned char _binary_zelk_window_so_end[];

int main(int argc, char **argv)
{
    using namespace ZelkPatch;
    if (PatcherStart::WantsUnattended(argc, argv))
    {
        wxAppConsole::SetInstance(new PelmoConsoleApp);
        return wxEntry(argc, argv);
    }
    const char *error = nullptr;
    const auto windowMain = reinterpret_cast<WindowMainFunction>(LoadEmbeddedModule(
        "pelmo-window", _binary_zelk_window_so_start, _binary_zelk_window_so_end, kWindowModuleEntry, &error));
    if (windowMain != nullptr)
        return windowMain(argc, argv);
    // Without the toolkit's graphics, the box of a crashed patcher can still name the report.
    if (argc == 3 && std::strcmp(argv[1], kZelkCrashReportSwitch) == 0)
    {
        ZelkPrintCrashReportPath(argv[2]);
        return 1;
    }
    fprintf(stderr, "pelmo-patcher: the window cannot be shown (%s); -u runs without a window\n", error);
    return kExitNoRun;
}
