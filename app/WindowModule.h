// The window lives in a module of its own (app/EmbeddedModule.h) with everything it needs of the
// toolkit, so that the program itself uses only the toolkit's base library: a run without a window
// starts without loading the toolkit's graphics and the hundred libraries behind them.
#pragma once

namespace ZelkPatch
{
// The module's entry point: runs the window's application on the arguments (program first) and
// gives the process's exit status. When no window can be shown (no display can be opened) nothing
// has run: *unavailable is then set to why, in the user's language, and the status means nothing.
using WindowMainFunction = int (*)(int argc, char **argv, const char **unavailable);
constexpr char kWindowModuleEntry[] = "ZelkWindowMain";
} // namespace ZelkPatch
