// The invariant check: a broken invariant ends the process with a report, never a returned error.
#pragma once

// Called by a failed assertion under the system log lock, after the "Assertion failed" line and
// before the process ends; the crash handling installs the writer of the dump and call stack here.
using AssertReportFunction = void (*)();
extern AssertReportFunction ZelkAssertReportHook;

// Returns when the condition holds; otherwise logs "Assertion failed: <text>", runs the report
// hook and aborts.
void ZelkAssert(bool condition, const char *text);
