// Platform end of the diagnostic log: the console FIFO and the debugger output.
#pragma once

#include <string>

// Standard output (standard error once SendConsoleOutputToStandardError was called), or the FIFO
// "<pid>cout" in the temporary base directory when one existed at start-up; the FIFO receives
// UTF-16LE text without terminator or byte-order mark.
void WriteConsoleOutput(const std::string &narrow, const std::wstring &wide);
// For a program whose standard output carries its own messages: the log then keeps out of it.
void SendConsoleOutputToStandardError();
// Standard error while a debugger is attached or ZELK_DEBUG_OUTPUT=stderr; dropped otherwise.
void WriteDebuggerOutput(const std::string &narrow);
// True when the console output goes to standard error, where the debugger output goes as well:
// a line meant for both is then written once.
bool ConsoleOutputOnStandardError();
// True when a tracer (debugger) is attached to this process.
bool IsDebuggerAttached();
// Whether debugger output is written; decided on the first call, which must not come from a
// signal handler.
bool DebuggerOutputEnabled();
// For signal handlers (no allocation, no lock): an ASCII line, line end included, to the console
// output and the debugger output.
void WriteConsoleOutputFromSignal(const char *ascii, size_t size);
