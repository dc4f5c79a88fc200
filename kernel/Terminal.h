// The terminal of a run without a window: whether the standard streams are terminals, how wide
// the terminal is, and the interrupt signals that ask the run to stop.
#pragma once

bool StandardOutputIsTerminal();
bool StandardErrorIsTerminal();
// Columns of the terminal on standard error; 80 when it cannot be read.
int TerminalColumns();

// Installs handlers for SIGINT and SIGTERM that only record the request (async-signal-safe), and
// ignores SIGPIPE so that a closed output does not end the run.
void InstallInterruptHandlers();
// True once SIGINT or SIGTERM has arrived since the handlers were installed.
bool InterruptRequested();
// Forgets a recorded request (tests).
void ClearInterruptRequest();
