// The patcher's start: a run without a window on the toolkit's base library alone, the window from
// the module the program carries (app/WindowModule.h).
#include <cstdio>
#include <cstring>
#include <string>

#include <wx/init.h>

#include "app/ConsoleHost.h"
#include "app/EmbeddedModule.h"
#include "app/PelmoConsoleApp.h"
#include "app/WindowModule.h"
#include "kernel/CrashHandler.h"
#include "kernel/TextConvert.h"
#include "run/MessageCatalogue.h"
#include "run/MessageIds.h"

// The window module's bytes, placed in the program by the build.
extern "C" const unsigned char _binary_zelk_window_so_start[];
extern "C" const unsigned char _binary_zelk_window_so_end[];

int main(int argc, char **argv)
{
    using namespace ZelkPatch;
    if (!PatcherStart::WantsWindow(argc, argv))
    {
        wxAppConsole::SetInstance(new PelmoConsoleApp);
        return wxEntry(argc, argv);
    }
    // Why no window can be shown: the module does not load (no GTK), or it finds no display.
    const char *unavailable = nullptr;
    const auto windowMain = reinterpret_cast<WindowMainFunction>(LoadEmbeddedModule(
        "pelmo-window", _binary_zelk_window_so_start, _binary_zelk_window_so_end, kWindowModuleEntry, &unavailable));
    if (windowMain != nullptr)
    {
        const int status = windowMain(argc, argv, &unavailable);
        if (unavailable == nullptr)
            return status;
    }
    // Without a window, the box of a crashed patcher can still name the report.
    if (argc == 3 && std::strcmp(argv[1], kZelkCrashReportSwitch) == 0)
    {
        ZelkPrintCrashReportPath(argv[2]);
        return 1;
    }
    const std::wstring reason = NativeToPath(unavailable);
    std::fputs((PathToNative(FormatCatalogueText(kIdWindowUnavailable, reason.c_str())) + "\n").c_str(), stderr);
    return kExitNoRun;
}
