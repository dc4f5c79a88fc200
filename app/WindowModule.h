// The window lives in a module of its own (app/EmbeddedModule.h) with everything it needs of the
// toolkit, so that the program itself uses only the toolkit's base library: a run without a window
// starts without loading the toolkit's graphics and the hundred libraries behind them.
#pragma once

namespace ZelkPatch
{
// The module's entry point: runs the window's application on the arguments (program first) and
// gives the process's exit status.
using WindowMainFunction = int (*)(int argc, char **argv);
constexpr char kWindowModuleEntry[] = "ZelkWindowMain";
} // namespace ZelkPatch
